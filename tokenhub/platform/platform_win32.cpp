// Windows: WinSCard (the ...A functions), LoadLibraryA and critical sections.
#include <windows.h>
#include <winscard.h>

#include <new>

#include "platform.h"

namespace tokenhub {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");

PcscResult establishContext(PcscContext *context) {
  SCARDCONTEXT c = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c);
  *context = static_cast<PcscContext>(c);
  return rv;
}

PcscResult releaseContext(PcscContext context) { return SCardReleaseContext(static_cast<SCARDCONTEXT>(context)); }

PcscResult getStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState *states, uint32_t count) {
  SCARD_READERSTATEA native[32] = {};
  if (count > 32) count = 32;
  for (uint32_t i = 0; i < count; ++i) {
    native[i].szReader = states[i].reader;
    native[i].dwCurrentState = states[i].currentState;
  }
  LONG rv = SCardGetStatusChangeA(static_cast<SCARDCONTEXT>(context), timeoutMs, native, count);
  for (uint32_t i = 0; i < count; ++i) {
    states[i].eventState = native[i].dwEventState;
    DWORD n = native[i].cbAtr <= sizeof(states[i].atr) ? native[i].cbAtr : sizeof(states[i].atr);
    states[i].atrLength = n;
    CopyMemory(states[i].atr, native[i].rgbAtr, n);
  }
  return rv;
}

PcscResult connect(PcscContext context, const char *reader, uint32_t shareMode, uint32_t preferredProtocols,
                   PcscCard *card, uint32_t *activeProtocol) {
  SCARDHANDLE h = 0;
  DWORD protocol = 0;
  LONG rv = SCardConnectA(static_cast<SCARDCONTEXT>(context), reader, shareMode, preferredProtocols, &h, &protocol);
  *card = static_cast<PcscCard>(h);
  *activeProtocol = protocol;
  return rv;
}

PcscResult beginTransaction(PcscCard card) { return SCardBeginTransaction(static_cast<SCARDHANDLE>(card)); }
PcscResult endTransaction(PcscCard card, uint32_t disposition) {
  return SCardEndTransaction(static_cast<SCARDHANDLE>(card), disposition);
}

PcscResult status(PcscCard card, char *readerName, uint32_t *readerLength, uint32_t *state, uint32_t *protocol,
                  uint8_t *atr, uint32_t *atrLength) {
  DWORD nameLength = *readerLength, st = 0, proto = 0, atrLen = *atrLength;
  LONG rv = SCardStatusA(static_cast<SCARDHANDLE>(card), readerName, &nameLength, &st, &proto, atr, &atrLen);
  *readerLength = nameLength;
  *state = st;
  *protocol = proto;
  *atrLength = atrLen;
  return rv;
}

PcscResult reconnect(PcscCard card, uint32_t shareMode, uint32_t preferredProtocols, uint32_t initialization,
                     uint32_t *activeProtocol) {
  DWORD protocol = 0;
  LONG rv = SCardReconnect(static_cast<SCARDHANDLE>(card), shareMode, preferredProtocols, initialization, &protocol);
  *activeProtocol = protocol;
  return rv;
}

PcscResult transmit(PcscCard card, uint32_t protocol, const uint8_t *command, uint32_t commandLength,
                    uint8_t *response, uint32_t *responseLength) {
  SCARD_IO_REQUEST sendPci = {protocol, sizeof(SCARD_IO_REQUEST)};
  DWORD length = *responseLength;
  LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(card), &sendPci, command, commandLength, nullptr, response, &length);
  *responseLength = length;
  return rv;
}

PcscResult disconnect(PcscCard card, uint32_t disposition) {
  return SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition);
}

const PcscApi winscard = {establishContext, releaseContext, getStatusChange, connect, beginTransaction,
                          endTransaction,   status,         reconnect,       transmit, disconnect};

void *load(const char *fileName) { return reinterpret_cast<void *>(LoadLibraryA(fileName)); }
void *symbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void unload(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }

const ModuleApi loader = {load, symbol, unload};

CRITICAL_SECTION *section(unsigned char *storage) { return reinterpret_cast<CRITICAL_SECTION *>(storage); }

}  // namespace

const PcscApi &platformPcsc() { return winscard; }
const ModuleApi &platformModules() { return loader; }
const char *moduleSuffix() { return ".dll"; }
void afterForkInChild(void (*)()) {}
void platformSleepMilliseconds(uint32_t ms) { Sleep(ms); }

void Lock::create() {
  InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
  created_ = true;
}
void Lock::destroy() {
  if (created_) DeleteCriticalSection(section(storage_));
  created_ = false;
}
void Lock::enter() { EnterCriticalSection(section(storage_)); }
void Lock::leave() { LeaveCriticalSection(section(storage_)); }

}  // namespace tokenhub
