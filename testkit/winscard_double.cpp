// winscard.dll for Windows test runs under Wine, whose own WinSCard has no
// service behind it: the scripted card service of the unit suites behind the
// WinSCard calls that tokenhub makes. Loaded in place of Wine's with
// WINEDLLOVERRIDES=winscard=n from the test program's directory.
//
// The card service is scripted with lines of text, from the file that
// TOKENHUB_WINSCARD_SCRIPT names (read at the first call) or at run time
// through the export WinscardDoubleScript:
//   reader NAME                          an empty reader
//   insert NAME|ATR[|LAYOUT|SERIAL FILE]  a card (hex ATR; serial file layout 0-2 and hex contents)
//   remove NAME                          the reader becomes empty
//   unplug NAME                          the reader is gone (plugged in again by `reader NAME`)
//   fail statuschange|connect|begin HEX  every such call fails with that result (0 ends it)
//   service stop|start                   the service stops; started again, it refuses its old contexts
//                                        (its started event, SCardAccessStartedEvent, is set while it runs)
//   service kill HEX                     the contexts issued so far answer every call with that result
//   clear                                no readers, no failures, no recorded calls
// WinscardDoubleLog returns the card calls recorded so far, one per line.
#include <windows.h>
#include <winscard.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "fake_pcsc.h"

using namespace testkit;

namespace {

std::recursive_mutex serviceLock;  // the router calls from several threads
bool scriptRead = false;
std::string logText;

FakePcsc &service() { return FakePcsc::get(); }

// Set while the service runs, as Windows' own.
HANDLE startedEvent() {
  static HANDLE event = CreateEventW(nullptr, TRUE, service().serviceStopped ? FALSE : TRUE, nullptr);
  return event;
}
const tokenhub::PcscApi &api() { return fakePcscApi(); }

std::string trim(const std::string &text) {
  size_t a = text.find_first_not_of(" \t\r\n"), b = text.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
}

std::vector<std::string> fields(const std::string &text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, '|')) out.push_back(trim(part));
  return out;
}

tokenhub::PcscResult hexResult(const std::string &text) {
  return static_cast<tokenhub::PcscResult>(std::strtoul(text.c_str(), nullptr, 16));
}

bool applyLine(const std::string &raw) {
  std::string line = trim(raw);
  if (line.empty() || line[0] == '#') return true;
  size_t space = line.find(' ');
  std::string command = line.substr(0, space), rest = space == std::string::npos ? "" : trim(line.substr(space));
  if (command == "clear") {
    service().reset();
  } else if (command == "reader") {
    service().addReader(rest);
  } else if (command == "insert") {
    std::vector<std::string> f = fields(rest);
    if (f.size() < 2) return false;
    service().insert(f[0], fromHex(f[1]));
    if (f.size() >= 3) service().reader(f[0]).card.layout = std::atoi(f[2].c_str());
    if (f.size() >= 4) service().reader(f[0]).card.file = fromHex(f[3]);
  } else if (command == "unplug") {
    service().unplug(rest);
  } else if (command == "remove") {
    service().remove(rest);
  } else if (command == "service" && (rest == "stop" || rest == "start")) {
    if (rest == "stop") {
      service().stopService();
      ResetEvent(startedEvent());
    } else {
      service().startService();
      SetEvent(startedEvent());
    }
  } else if (command == "service" && rest.rfind("kill ", 0) == 0) {
    service().killContexts(hexResult(trim(rest.substr(5))));
  } else if (command == "fail") {
    std::stringstream words(rest);
    std::string what, code;
    words >> what >> code;
    if (what == "statuschange") {
      service().statusChangeResult = hexResult(code);
    } else if (what == "connect" || what == "begin") {
      for (auto &entry : service().readers) (what == "connect" ? entry.second.connect : entry.second.begin).otherwise = hexResult(code);
    } else {
      return false;
    }
  } else {
    return false;
  }
  return true;
}

bool applyScript(const std::string &text) {
  std::stringstream in(text);
  std::string line;
  bool ok = true;
  while (std::getline(in, line)) ok = applyLine(line) && ok;
  return ok;
}

// The first call of the process reads the script file, if one is named.
std::unique_lock<std::recursive_mutex> enter() {
  std::unique_lock<std::recursive_mutex> hold(serviceLock);
  if (!scriptRead) {
    scriptRead = true;
    if (const char *path = std::getenv("TOKENHUB_WINSCARD_SCRIPT")) {
      std::ifstream file(path);
      std::stringstream text;
      text << file.rdbuf();
      applyScript(text.str());
    }
  }
  return hold;
}

const char *opName(Op op) {
  static const char *names[] = {"connect", "begin", "end", "status", "reconnect", "transmit", "disconnect"};
  return names[static_cast<int>(op)];
}

void logCall(const PcscCall &c, tokenhub::PcscResult result) {
  char line[512];
  std::snprintf(line, sizeof line, "%s reader=%s share=%u protocols=%u disposition=%u apdu=%s capacity=%u atr=%u pci=%u recv=%s rv=%08lX\n",
                opName(c.op), c.reader.c_str(), c.shareMode, c.protocols, c.disposition, toHex(c.command).c_str(),
                c.capacity, c.atrCapacity, c.pciLength, c.receiveRecord ? "yes" : "none",
                static_cast<unsigned long>(static_cast<uint32_t>(result)));
  logText += line;
}

// Runs one card call and logs it as recorded by the service.
template <typename Call>
LONG cardCall(Call call) {
  auto hold = enter();
  size_t before = service().calls.size();
  tokenhub::PcscResult rv = call();
  if (service().calls.size() > before) logCall(service().calls.back(), rv);
  return rv;
}

}  // namespace

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  auto hold = enter();
  tokenhub::PcscContext c = 0;
  LONG rv = api().establishContext(&c);
  if (rv == SCARD_S_SUCCESS) *context = c;
  logText += "establish scope=" + std::to_string(scope) + "\n";
  return rv;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
  auto hold = enter();
  logText += "release\n";
  return api().releaseContext(context);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states, DWORD count) {
  // Not under the double's lock: a query that waits is ended by SCardCancel
  // or a scripted change from another thread.
  enter().unlock();
  std::vector<tokenhub::ReaderState> mine(count);
  for (DWORD i = 0; i < count; ++i) {
    mine[i].reader = states[i].szReader;
    mine[i].currentState = states[i].dwCurrentState;
  }
  LONG rv = api().getStatusChange(context, timeout, mine.data(), count);
  for (DWORD i = 0; i < count && rv == SCARD_S_SUCCESS; ++i) {
    states[i].dwEventState = mine[i].eventState;
    states[i].cbAtr = mine[i].atrLength;
    CopyMemory(states[i].rgbAtr, mine[i].atr, mine[i].atrLength);
  }
  return rv;
}

HANDLE WINAPI SCardAccessStartedEvent() { return enter(), startedEvent(); }

void WINAPI SCardReleaseStartedEvent() {}

LONG WINAPI SCardCancel(SCARDCONTEXT context) {
  enter().unlock();
  return api().cancel(context);
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR names, LPDWORD length) {
  enter().unlock();
  char scratch[8192];
  uint32_t n = names ? *length : sizeof scratch;
  LONG rv = api().listReaders(context, names ? names : scratch, &n);
  *length = n;
  return rv;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                          LPDWORD active) {
  return cardCall([&] {
    tokenhub::PcscCard c = 0;
    uint32_t protocol = 0;
    tokenhub::PcscResult rv = api().connect(context, reader, share, protocols, &c, &protocol);
    if (rv == SCARD_S_SUCCESS) {
      *card = c;
      *active = protocol;
    }
    return rv;
  });
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) {
  return cardCall([&] { return api().beginTransaction(card); });
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
  return cardCall([&] { return api().endTransaction(card, disposition); });
}

LONG WINAPI SCardStatusA(SCARDHANDLE card, LPSTR readerName, LPDWORD readerLength, LPDWORD state, LPDWORD protocol,
                         LPBYTE atr, LPDWORD atrLength) {
  return cardCall([&] {
    uint32_t nameLength = *readerLength, st = 0, proto = 0, atrLen = *atrLength;
    tokenhub::PcscResult rv = api().status(card, readerName, &nameLength, &st, &proto, atr, &atrLen);
    *readerLength = nameLength;
    *state = st;
    *protocol = proto;
    *atrLength = atrLen;
    return rv;
  });
}

LONG WINAPI SCardReconnect(SCARDHANDLE card, DWORD share, DWORD protocols, DWORD initialization, LPDWORD active) {
  return cardCall([&] {
    uint32_t protocol = 0;
    tokenhub::PcscResult rv = api().reconnect(card, share, protocols, initialization, &protocol);
    *active = protocol;
    return rv;
  });
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE command, DWORD commandLength,
                          LPSCARD_IO_REQUEST receivePci, LPBYTE response, LPDWORD responseLength) {
  return cardCall([&] {
    uint32_t length = *responseLength;
    tokenhub::PcscResult rv = api().transmit(card, sendPci->dwProtocol, command, commandLength, response, &length);
    *responseLength = length;
    PcscCall &recorded = service().calls.back();
    recorded.pciLength = sendPci->cbPciLength;
    recorded.receiveRecord = receivePci != nullptr;
    return rv;
  });
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
  return cardCall([&] { return api().disconnect(card, disposition); });
}

// The test program's handles on the double.
__declspec(dllexport) int WinscardDoubleScript(const char *text) {
  auto hold = enter();
  return applyScript(text) ? 1 : 0;
}

__declspec(dllexport) const char *WinscardDoubleLog() {
  auto hold = enter();
  static std::string copy;
  copy = logText;
  return copy.c_str();
}

__declspec(dllexport) void WinscardDoubleClearLog() {
  auto hold = enter();
  logText.clear();
}

}  // extern "C"
