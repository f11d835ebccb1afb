// The router's only view of the operating system: PC/SC, backend module
// loading, locks and sleeping. One implementation per platform
// (platform_win32.cpp, platform_posix.cpp); nothing above this header has an
// #ifdef. The PC/SC and module functions are reached through tables so that
// the unit suites can put a scripted card service or a module filter in
// their place.
#pragma once
#include <cstdint>

namespace tokenhub {

using PcscResult = int32_t;   // LONG on both platforms
using PcscContext = uintptr_t;
using PcscCard = uintptr_t;

// Values shared by WinSCard and pcsc-lite.
constexpr PcscResult kScardSuccess = 0;
constexpr PcscResult kScardECancelled = static_cast<PcscResult>(0x80100002);
constexpr PcscResult kScardETimeout = static_cast<PcscResult>(0x8010000A);
constexpr PcscResult kScardWResetCard = static_cast<PcscResult>(0x80100068);
constexpr PcscResult kScardEInvalidHandle = static_cast<PcscResult>(0x80100003);
constexpr PcscResult kScardEUnknownReader = static_cast<PcscResult>(0x80100009);
constexpr PcscResult kScardESystemCancelled = static_cast<PcscResult>(0x80100012);
constexpr PcscResult kScardFCommError = static_cast<PcscResult>(0x80100013);
constexpr PcscResult kScardENoService = static_cast<PcscResult>(0x8010001D);
constexpr PcscResult kScardEServiceStopped = static_cast<PcscResult>(0x8010001E);
constexpr PcscResult kScardENoReadersAvailable = static_cast<PcscResult>(0x8010002E);
constexpr PcscResult kScardWSecurityViolation = static_cast<PcscResult>(0x8010006A);
// Windows' own error codes, which WinSCard passes on from its transport.
constexpr PcscResult kErrorInvalidHandle = 6;
constexpr PcscResult kErrorBrokenPipe = 0x6D;
constexpr uint32_t kScardStateUnaware = 0x0000;
constexpr uint32_t kScardStateChanged = 0x0002;
constexpr uint32_t kScardStateUnknown = 0x0004;  // the reader is not there
constexpr uint32_t kScardInfinite = 0xFFFFFFFF;  // a status query's time-out: wait for a change
constexpr uint32_t kScardStatePresent = 0x0020;
// The reader name under which a status query also waits for a reader to be
// attached or detached.
constexpr const char *kPnpNotification = "\\\\?PnP?\\Notification";
constexpr uint32_t kScardShareShared = 2;
constexpr uint32_t kScardProtocolT1 = 2;
constexpr uint32_t kScardLeaveCard = 0;

// One reader's state for getStatusChange, reduced to what the router reads.
struct ReaderState {
  const char *reader;
  uint32_t currentState;
  uint32_t eventState;
  uint32_t atrLength;
  uint8_t atr[36];
};

struct PcscApi {
  PcscResult (*establishContext)(PcscContext *context);  // user scope
  PcscResult (*releaseContext)(PcscContext context);
  PcscResult (*getStatusChange)(PcscContext context, uint32_t timeoutMs, ReaderState *states, uint32_t count);
  PcscResult (*connect)(PcscContext context, const char *reader, uint32_t shareMode, uint32_t preferredProtocols,
                        PcscCard *card, uint32_t *activeProtocol);
  PcscResult (*beginTransaction)(PcscCard card);
  PcscResult (*endTransaction)(PcscCard card, uint32_t disposition);
  // Reader name buffer of readerLength characters and ATR buffer of atrLength bytes.
  PcscResult (*status)(PcscCard card, char *readerName, uint32_t *readerLength, uint32_t *state,
                       uint32_t *protocol, uint8_t *atr, uint32_t *atrLength);
  PcscResult (*reconnect)(PcscCard card, uint32_t shareMode, uint32_t preferredProtocols, uint32_t initialization,
                          uint32_t *activeProtocol);
  // The send protocol-control record is {protocol, the platform's record size}; no receive record.
  PcscResult (*transmit)(PcscCard card, uint32_t protocol, const uint8_t *command, uint32_t commandLength,
                         uint8_t *response, uint32_t *responseLength);
  PcscResult (*disconnect)(PcscCard card, uint32_t disposition);
  // Ends a status query that waits on the context, from another thread.
  PcscResult (*cancel)(PcscContext context);
  // The service's readers: NUL-terminated names followed by an empty one,
  // in a buffer of *length characters (*length: the characters written).
  PcscResult (*listReaders)(PcscContext context, char *names, uint32_t *length);
  // Waits up to timeoutMs for the card service to run: true when it runs,
  // or at once when the system cannot tell (the caller then asks the
  // service itself). Windows tells: it stops its card service with the
  // last reader and starts it again with the next.
  bool (*awaitService)(uint32_t timeoutMs);
};

struct ModuleApi {
  // A backend module by its plain file name, looked for only in safe places:
  // the folder that holds the router itself, then the system's own (the
  // system directory on Windows, the loader's search on Linux); never the
  // current directory or PATH. Null when no place holds a loadable file.
  void *(*load)(const char *fileName);
  void *(*symbol)(void *module, const char *name);     // null when there is no such export
  void (*unload)(void *module);
};

// The tables in force; the platform's own until a test replaces them.
const PcscApi &pcsc();        // through the watch while one is set
const PcscApi &pcscService(); // the table in force, unwatched
const ModuleApi &modules();
void setPcscApi(const PcscApi *api);      // null restores the platform's
void setModuleApi(const ModuleApi *api);  // null restores the platform's
// A table put in front of the service (the diagnostic trace's, which writes
// each failed call and passes it on to pcscService()); null removes it.
void setPcscWatch(const PcscApi *watch);
const PcscApi &platformPcsc();
const ModuleApi &platformModules();
// Told of every attempt of the platform's loader: the full path tried (UTF-8)
// and the module, null on failure (moduleLoadError then tells why). Null: none.
void setModuleLoadObserver(void (*observer)(const char *path, void *module));

// The loader's reason for the last failed load on this thread: the system's
// error code (0 where the loader gives none) and its text.
uint32_t moduleLoadError(char *text, uint32_t size);
// The full path of a loaded module; false when the system does not say.
bool modulePath(void *module, char *path, uint32_t size);

// What the diagnostic trace needs of the system: its switch, one append-only
// file per process, the local time and the ids of the writing process and thread.
struct LocalTime {
  uint16_t year, month, day, hour, minute, second, millisecond;
};
LocalTime localTime();
uint32_t processId();
uint64_t threadId();
// Reads the switch: TOKENHUB_LOG, then on Windows the LogFile value under
// HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE, \Software\Varenzo\tokenhub.
// A privileged process (Windows: an elevated token; Linux: set-user-id or
// set-group-id) takes it only from HKEY_LOCAL_MACHINE, never from the
// environment or the current user's registry, which a less privileged
// process controls; on Linux it has no switch then.
// True when one names a file; the name is kept for the calls below.
bool readTraceSwitch();
// The module host switch: every backend served by a host process of its
// own, whatever its bitness. Windows: the DWORD value HostBackends = 1 beside
// LogFile, read by the same rules (an elevated process takes it from
// HKEY_LOCAL_MACHINE only); Linux: TOKENHUB_HOST_BACKENDS=1, through
// secure_getenv.
bool readHostBackendsSwitch();
// Opens the switch's file for appending, creating it readable by its owner
// only (Linux): only a regular disk file, never through a symbolic link,
// junction or other reparse point, never a pipe or a device. *size is what
// the file holds.
bool traceFileOpen(uint64_t *size);
// The first bytes of the open file, up to size; the count read.
uint32_t traceFileHead(char *text, uint32_t size);
// What the open file holds now, with every process's lines.
bool traceFileSize(uint64_t *size);
bool traceFileWrite(const char *text, uint32_t length);  // one write; false unless all was written
void traceFileClose();
// Rotation among all the processes that write the file. With the open file
// locked against them: when the name still names it and isOurs approves its
// first bytes, renames it to the name with ".1" added (replacing an older
// copy). When it was renamed, or another process had rotated it away
// meanwhile, opens the name afresh (*reopened). A rename that fails (a viewer
// holds the file without sharing it) keeps the open file, to be tried again.
// False when no file is open any more.
bool traceFileRotate(bool (*isOurs)(const char *head, uint32_t length), bool *reopened);

// "aetpkss1" -> "aetpkss1.dll" on Windows, "aetpkss1.so" elsewhere.
const char *moduleSuffix();

// Runs handler in the child process after every fork() (POSIX); nothing on Windows.
void afterForkInChild(void (*handler)());

void sleepMilliseconds(uint32_t ms);
void setSleepHook(void (*hook)(uint32_t ms));  // tests count sleeps; null restores
void platformSleepMilliseconds(uint32_t ms);
// Milliseconds from a fixed point in the past, never going back.
uint64_t monotonicMilliseconds();

// A recursive process-local lock (a critical section on Windows).
class Lock {
 public:
  void create();
  void destroy();
  void enter();
  // Enters only when no other thread holds the lock.
  bool tryEnter();
  void leave();

 private:
  alignas(16) unsigned char storage_[64];
  bool created_ = false;
};

class LockGuard {
 public:
  explicit LockGuard(Lock &lock) : lock_(lock) { lock_.enter(); }
  ~LockGuard() { lock_.leave(); }
  LockGuard(const LockGuard &) = delete;
  LockGuard &operator=(const LockGuard &) = delete;

 private:
  Lock &lock_;
};

}  // namespace tokenhub
