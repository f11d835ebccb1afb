// A serial reader driver for pcscd whose reader can be pulled out and put
// back by the tests. The reader is one slot of the virtual reader driver
// (vpcd), so that it holds the card emulator's cards, and its device is gone
// while a file exists: the presence query then answers "no such device" and
// the channel cannot be opened, as for a serial reader that was unplugged.
// pcscd learns of it only at its next re-check of the reader entries (`pcscd
// --hotplug`), which drops the reader: the reader's own event thread, which
// waits for card events in this driver, is still told the card's presence of
// before, so that clients see the reader go away at once rather than first
// turn unavailable.
//
// Reader entry:  DEVICENAME <gone file>:<vpcd slot>:<port>
// The card emulator connects to <port>. Every entry needs a copy of this
// library of its own: pcscd calls every serial entry's driver with Lun 0, so
// one copy could not tell two entries apart. All copies share vpcd (one
// library, one connection per vpcd slot), so every entry names a vpcd slot
// of its own.
#include <dlfcn.h>
#include <sys/stat.h>
extern "C" {
#include <ifdhandler.h>
}

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

const char *const kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

constexpr int kEventStepMs = 50;

std::mutex entryLock;
bool opened = false;
DWORD vpcdSlot = 0;
std::string goneFile;
// pcscd calls the event wait on its own thread, beside the other calls: vpcd
// gets one call at a time.
std::mutex vpcdLock;
std::atomic<bool> stopWaiting{false};
std::atomic<RESPONSECODE> lastPresence{IFD_ICC_NOT_PRESENT};
thread_local bool onEventThread = false;

template <typename F>
F vpcd(const char *name) {
  static void *library = dlopen(kVpcdDriver, RTLD_NOW | RTLD_LOCAL);
  return library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

bool gone(const std::string &file) {
  struct stat info;
  return stat(file.c_str(), &info) == 0;
}

bool slotOfEntry(DWORD *slot, std::string *file = nullptr) {
  std::lock_guard<std::mutex> hold(entryLock);
  *slot = vpcdSlot;
  if (file) *file = goneFile;
  return opened;
}

// The reader's event thread waits here for a card inserted or removed, for
// `timeoutMs` at most, or until pcscd stops the thread. While the device is
// gone it only waits to be stopped.
RESPONSECODE waitForCardEvent(DWORD, int timeoutMs) {
  DWORD slot = 0;
  std::string file;
  auto presence = vpcd<RESPONSECODE (*)(DWORD)>("IFDHICCPresence");
  if (!presence || !slotOfEntry(&slot, &file)) return IFD_COMMUNICATION_ERROR;
  onEventThread = true;
  RESPONSECODE before = IFD_ICC_NOT_PRESENT;
  {
    std::lock_guard<std::mutex> hold(vpcdLock);
    before = presence(slot);
  }
  for (int waited = 0;; waited += kEventStepMs) {
    if (stopWaiting.exchange(false)) return IFD_SUCCESS;
    usleep(kEventStepMs * 1000);
    if (gone(file)) continue;
    if (waited >= timeoutMs) return IFD_SUCCESS;
    std::lock_guard<std::mutex> hold(vpcdLock);
    if (presence(slot) != before) return IFD_SUCCESS;
  }
}

RESPONSECODE stopEventWait(DWORD) {
  stopWaiting = true;
  return IFD_SUCCESS;
}

}  // namespace

#define FORWARD(name, type, ...)                                   \
  DWORD slot = 0;                                                  \
  auto call = vpcd<type>(name);                                    \
  if (!call || !slotOfEntry(&slot)) return IFD_COMMUNICATION_ERROR; \
  std::lock_guard<std::mutex> hold(vpcdLock);                     \
  return call(slot, __VA_ARGS__)

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD, LPSTR DeviceName) {
  std::string device(DeviceName);
  size_t portAt = device.rfind(':');
  size_t slotAt = portAt == std::string::npos || portAt == 0 ? std::string::npos : device.rfind(':', portAt - 1);
  if (slotAt == std::string::npos) return IFD_COMMUNICATION_ERROR;
  DWORD slot = std::strtoul(device.c_str() + slotAt + 1, nullptr, 0);
  DWORD port = std::strtoul(device.c_str() + portAt + 1, nullptr, 0);
  std::string file = device.substr(0, slotAt);
  if (gone(file)) return IFD_NO_SUCH_DEVICE;
  // vpcd listens on its channel number plus the slot number.
  auto create = vpcd<RESPONSECODE (*)(DWORD, DWORD)>("IFDHCreateChannel");
  if (!create || port < slot) return IFD_COMMUNICATION_ERROR;
  RESPONSECODE result = IFD_COMMUNICATION_ERROR;
  {
    std::lock_guard<std::mutex> hold(vpcdLock);
    result = create(slot, port - slot);
  }
  if (result == IFD_SUCCESS) {
    stopWaiting = false;
    std::lock_guard<std::mutex> hold(entryLock);
    opened = true;
    vpcdSlot = slot;
    goneFile = file;
  }
  return result;
}

RESPONSECODE IFDHCreateChannel(DWORD, DWORD) { return IFD_NOT_SUPPORTED; }

RESPONSECODE IFDHCloseChannel(DWORD) {
  DWORD slot = 0;
  auto close = vpcd<RESPONSECODE (*)(DWORD)>("IFDHCloseChannel");
  if (!close || !slotOfEntry(&slot)) return IFD_COMMUNICATION_ERROR;
  {
    std::lock_guard<std::mutex> hold(entryLock);
    opened = false;
  }
  std::lock_guard<std::mutex> hold(vpcdLock);
  return close(slot);
}

RESPONSECODE IFDHGetCapabilities(DWORD, DWORD Tag, PDWORD Length, PUCHAR Value) {
  if (Tag == TAG_IFD_SLOTS_NUMBER && Length && *Length >= 1 && Value) {
    *Value = 1;  // one reader per entry
    *Length = 1;
    return IFD_SUCCESS;
  }
  // The reader's event thread waits in the driver, and pcscd stops it there.
  auto function = [&](auto pointer) {
    std::memcpy(Value, &pointer, sizeof pointer);
    *Length = sizeof pointer;
    return IFD_SUCCESS;
  };
  if (Length && Value && *Length >= sizeof(void *)) {
    if (Tag == TAG_IFD_POLLING_THREAD_WITH_TIMEOUT) return function(&waitForCardEvent);
    if (Tag == TAG_IFD_STOP_POLLING_THREAD) return function(&stopEventWait);
  }
  FORWARD("IFDHGetCapabilities", RESPONSECODE (*)(DWORD, DWORD, PDWORD, PUCHAR), Tag, Length, Value);
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD Tag, DWORD Length, PUCHAR Value) {
  FORWARD("IFDHSetCapabilities", RESPONSECODE (*)(DWORD, DWORD, DWORD, PUCHAR), Tag, Length, Value);
}

RESPONSECODE IFDHSetProtocolParameters(DWORD, DWORD Protocol, UCHAR Flags, UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
  FORWARD("IFDHSetProtocolParameters", RESPONSECODE (*)(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR), Protocol,
          Flags, PTS1, PTS2, PTS3);
}

RESPONSECODE IFDHPowerICC(DWORD, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  FORWARD("IFDHPowerICC", RESPONSECODE (*)(DWORD, DWORD, PUCHAR, PDWORD), Action, Atr, AtrLength);
}

RESPONSECODE IFDHTransmitToICC(DWORD, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  FORWARD("IFDHTransmitToICC",
          RESPONSECODE (*)(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD, PSCARD_IO_HEADER), SendPci,
          TxBuffer, TxLength, RxBuffer, RxLength, RecvPci);
}

RESPONSECODE IFDHControl(DWORD, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  FORWARD("IFDHControl", RESPONSECODE (*)(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD), dwControlCode,
          TxBuffer, TxLength, RxBuffer, RxLength, pdwBytesReturned);
}

RESPONSECODE IFDHICCPresence(DWORD) {
  DWORD slot = 0;
  auto presence = vpcd<RESPONSECODE (*)(DWORD)>("IFDHICCPresence");
  std::string file;
  if (!presence || !slotOfEntry(&slot, &file)) return IFD_COMMUNICATION_ERROR;
  if (gone(file)) return onEventThread ? lastPresence.load() : IFD_NO_SUCH_DEVICE;
  std::lock_guard<std::mutex> hold(vpcdLock);
  lastPresence = presence(slot);
  return lastPresence;
}

}  // extern "C"
