// Linux: pcsc-lite (no A suffix, DWORD is unsigned long), dlopen and a
// recursive pthread mutex.
#include <PCSC/winscard.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tokenhub {
namespace {

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

PcscResult establishContext(PcscContext *context) {
  SCARDCONTEXT c = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c);
  *context = static_cast<PcscContext>(c);
  return static_cast<PcscResult>(rv);
}

PcscResult releaseContext(PcscContext context) {
  return static_cast<PcscResult>(SCardReleaseContext(static_cast<SCARDCONTEXT>(context)));
}

PcscResult getStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState *states, uint32_t count) {
  SCARD_READERSTATE native[32];
  std::memset(native, 0, sizeof native);
  if (count > 32) count = 32;
  for (uint32_t i = 0; i < count; ++i) {
    native[i].szReader = states[i].reader;
    native[i].dwCurrentState = states[i].currentState;
  }
  LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context), timeoutMs, native, count);
  for (uint32_t i = 0; i < count; ++i) {
    states[i].eventState = static_cast<uint32_t>(native[i].dwEventState);
    DWORD n = native[i].cbAtr <= sizeof(states[i].atr) ? native[i].cbAtr : sizeof(states[i].atr);
    states[i].atrLength = static_cast<uint32_t>(n);
    std::memcpy(states[i].atr, native[i].rgbAtr, n);
  }
  return static_cast<PcscResult>(rv);
}

PcscResult connect(PcscContext context, const char *reader, uint32_t shareMode, uint32_t preferredProtocols,
                   PcscCard *card, uint32_t *activeProtocol) {
  SCARDHANDLE h = 0;
  DWORD protocol = 0;
  LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(context), reader, shareMode, preferredProtocols, &h, &protocol);
  *card = static_cast<PcscCard>(h);
  *activeProtocol = static_cast<uint32_t>(protocol);
  return static_cast<PcscResult>(rv);
}

PcscResult beginTransaction(PcscCard card) {
  return static_cast<PcscResult>(SCardBeginTransaction(static_cast<SCARDHANDLE>(card)));
}
PcscResult endTransaction(PcscCard card, uint32_t disposition) {
  return static_cast<PcscResult>(SCardEndTransaction(static_cast<SCARDHANDLE>(card), disposition));
}

PcscResult status(PcscCard card, char *readerName, uint32_t *readerLength, uint32_t *state, uint32_t *protocol,
                  uint8_t *atr, uint32_t *atrLength) {
  DWORD nameLength = *readerLength, st = 0, proto = 0, atrLen = *atrLength;
  LONG rv = SCardStatus(static_cast<SCARDHANDLE>(card), readerName, &nameLength, &st, &proto, atr, &atrLen);
  *readerLength = static_cast<uint32_t>(nameLength);
  *state = static_cast<uint32_t>(st);
  *protocol = static_cast<uint32_t>(proto);
  *atrLength = static_cast<uint32_t>(atrLen);
  return static_cast<PcscResult>(rv);
}

PcscResult reconnect(PcscCard card, uint32_t shareMode, uint32_t preferredProtocols, uint32_t initialization,
                     uint32_t *activeProtocol) {
  DWORD protocol = 0;
  LONG rv = SCardReconnect(static_cast<SCARDHANDLE>(card), shareMode, preferredProtocols, initialization, &protocol);
  *activeProtocol = static_cast<uint32_t>(protocol);
  return static_cast<PcscResult>(rv);
}

PcscResult transmit(PcscCard card, uint32_t protocol, const uint8_t *command, uint32_t commandLength,
                    uint8_t *response, uint32_t *responseLength) {
  SCARD_IO_REQUEST sendPci = {protocol, sizeof(SCARD_IO_REQUEST)};
  DWORD length = *responseLength;
  LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(card), &sendPci, command, commandLength, nullptr, response, &length);
  *responseLength = static_cast<uint32_t>(length);
  return static_cast<PcscResult>(rv);
}

PcscResult disconnect(PcscCard card, uint32_t disposition) {
  return static_cast<PcscResult>(SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition));
}

PcscResult cancel(PcscContext context) { return static_cast<PcscResult>(SCardCancel(static_cast<SCARDCONTEXT>(context))); }

PcscResult listReaders(PcscContext context, char *names, uint32_t *length) {
  DWORD n = *length;
  LONG rv = SCardListReaders(static_cast<SCARDCONTEXT>(context), nullptr, names, &n);
  *length = static_cast<uint32_t>(n);
  return static_cast<PcscResult>(rv);
}

// pcsc-lite gives no sign of a daemon that is about to start.
bool awaitService(uint32_t) { return true; }

const PcscApi pcscLite = {establishContext, releaseContext, getStatusChange, connect,    beginTransaction,
                          endTransaction,   status,         reconnect,       transmit,   disconnect,
                          cancel,           listReaders,    awaitService};

// Paths are built in fixed buffers: loading a backend allocates nothing, so
// a host that is short of memory gets an answer, not an exception.
constexpr size_t kPathRoom = 2 * PATH_MAX + 2;

// The folder that holds this code, as an absolute path without the final
// slash, in `folder`; false when unknown. A shared object loaded by a
// relative name keeps the folder the loader resolved it in (its origin), so a
// later change of the current directory does not move it. A program that
// links the router in (the test suites) has only its absolute argv[0].
bool ownFolder(char (&folder)[kPathRoom]) {
  Dl_info info;
  link_map *map = nullptr;
  if (!dladdr1(reinterpret_cast<void *>(&ownFolder), &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) ||
      !info.dli_fname)
    return false;
  const char *path = info.dli_fname;
  if (path[0] != '/') {
    // The main program has no origin of its own here; glibc leaves it unset.
    if (!map || !map->l_name || map->l_name[0] == '\0') return false;
    std::memset(folder, 0, sizeof folder);
    return dlinfo(map, RTLD_DI_ORIGIN, folder) == 0 && folder[0] == '/';
  }
  const char *slash = std::strrchr(path, '/');
  size_t length = static_cast<size_t>(slash - path);
  if (length >= sizeof folder) return false;
  std::memcpy(folder, path, length);
  folder[length] = '\0';
  return true;
}

void (*loadObserver)(const char *path, void *module) = nullptr;

// Where a backend module is looked for, in order: beside libtokenhub.so by
// full path, then the bare name through the loader's own search
// (LD_LIBRARY_PATH, the run path, the cache), which never looks in the
// current directory unless LD_LIBRARY_PATH says so. The first that loads
// wins, as on Windows.
void *load(const char *fileName) {
  char beside[kPathRoom];
  bool known = ownFolder(beside);
  size_t length = known ? std::strlen(beside) : 0;
  known = known && length + 1 + std::strlen(fileName) < sizeof beside;
  if (known) {
    beside[length] = '/';
    std::memcpy(beside + length + 1, fileName, std::strlen(fileName) + 1);
  }
  const char *candidates[] = {known ? beside : nullptr, fileName};
  for (const char *path : candidates) {
    if (!path) continue;
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (loadObserver) loadObserver(path, module);
    if (module) return module;
  }
  return nullptr;
}
void *symbol(void *module, const char *name) { return dlsym(module, name); }
void unload(void *module) { dlclose(module); }

const ModuleApi loader = {load, symbol, unload};

pthread_mutex_t *mutex(unsigned char *storage) { return reinterpret_cast<pthread_mutex_t *>(storage); }

char tracePath[4096];
int traceFd = -1;

void copyText(const char *from, char *to, uint32_t size) {
  if (size == 0) return;
  size_t n = std::strlen(from);
  if (n >= size) n = size - 1;
  std::memcpy(to, from, n);
  to[n] = '\0';
}

}  // namespace

const PcscApi &platformPcsc() { return pcscLite; }
const ModuleApi &platformModules() { return loader; }
void setModuleLoadObserver(void (*observer)(const char *path, void *module)) { loadObserver = observer; }
const char *moduleSuffix() { return ".so"; }

void afterForkInChild(void (*handler)()) { pthread_atfork(nullptr, nullptr, handler); }

uint32_t moduleLoadError(char *text, uint32_t size) {
  const char *reason = dlerror();
  copyText(reason ? reason : "", text, size);
  return 0;  // dlopen gives a text only
}

bool modulePath(void *module, char *path, uint32_t size) {
  link_map *map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return false;
  copyText(map->l_name, path, size);
  return true;
}

LocalTime localTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  return {static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint16_t>(parts.tm_mon + 1),
          static_cast<uint16_t>(parts.tm_mday),        static_cast<uint16_t>(parts.tm_hour),
          static_cast<uint16_t>(parts.tm_min),         static_cast<uint16_t>(parts.tm_sec),
          static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

uint32_t processId() { return static_cast<uint32_t>(getpid()); }
uint64_t threadId() { return static_cast<uint64_t>(gettid()); }

// secure_getenv: a set-user-id or set-group-id program gets no switch from
// the environment of the user who started it.
bool readTraceSwitch() {
  const char *path = secure_getenv("TOKENHUB_LOG");
  if (!path || !*path || std::strlen(path) >= sizeof tracePath) return false;
  copyText(path, tracePath, sizeof tracePath);
  return true;
}

bool readHostBackendsSwitch() {
  const char *value = secure_getenv("TOKENHUB_HOST_BACKENDS");
  return value && std::strcmp(value, "1") == 0;
}

bool traceFileOpen(uint64_t *size) {
  traceFileClose();
  // Not blocking: a FIFO at the name is refused at once instead of waiting for a reader.
  traceFd = open(tracePath, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  struct stat info {};
  if (traceFd < 0 || fstat(traceFd, &info) != 0 || !S_ISREG(info.st_mode)) {
    traceFileClose();
    return false;
  }
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

uint32_t traceFileHead(char *text, uint32_t size) {
  ssize_t n = traceFd < 0 ? -1 : pread(traceFd, text, size, 0);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

bool traceFileSize(uint64_t *size) {
  struct stat info {};
  if (traceFd < 0 || fstat(traceFd, &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool traceFileWrite(const char *text, uint32_t length) {
  if (traceFd < 0) return false;
  ssize_t written = write(traceFd, text, length);
  return written == static_cast<ssize_t>(length);
}

void traceFileClose() {
  if (traceFd >= 0) close(traceFd);
  traceFd = -1;
}

bool traceFileRotate(bool (*isOurs)(const char *head, uint32_t length), bool *reopened) {
  *reopened = false;
  if (traceFd < 0) return false;
  // The lock is the open file's own: every process that has it open waits
  // here, and the one after the rename finds the name naming another file.
  while (flock(traceFd, LOCK_EX) != 0)
    if (errno != EINTR) return true;
  struct stat held {}, named {};
  bool current = fstat(traceFd, &held) == 0 && lstat(tracePath, &named) == 0 && held.st_dev == named.st_dev &&
                 held.st_ino == named.st_ino;
  char head[256];
  bool renamed = false;
  if (current && isOurs(head, traceFileHead(head, sizeof head))) {
    char older[sizeof tracePath + 2];
    std::snprintf(older, sizeof older, "%s.1", tracePath);
    renamed = rename(tracePath, older) == 0;
  }
  if (current && !renamed) {
    flock(traceFd, LOCK_UN);
    return true;
  }
  int locked = traceFd;
  traceFd = -1;
  uint64_t size = 0;
  bool opened = traceFileOpen(&size);
  close(locked);  // and with it the lock, once the new file is there
  *reopened = opened;
  return opened;
}

void platformSleepMilliseconds(uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) == -1 && errno == EINTR) {
  }
}

uint64_t monotonicMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

void Lock::create() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
  created_ = true;
}
void Lock::destroy() {
  if (created_) pthread_mutex_destroy(mutex(storage_));
  created_ = false;
}
void Lock::enter() { pthread_mutex_lock(mutex(storage_)); }
bool Lock::tryEnter() { return pthread_mutex_trylock(mutex(storage_)) == 0; }
void Lock::leave() { pthread_mutex_unlock(mutex(storage_)); }

}  // namespace tokenhub
