// A backend module for the unit suites, built once per role under the
// role's file name (MOCK_ROLE 1..4). Every call of its function list is
// logged with its arguments in the shared control library; any function can
// be forced to answer a given result. Slot queries answer from the scripted
// slots. Only C_GetFunctionList is exported, so that its function list never
// binds to another module's functions of the same name.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif
#include <type_traits>

#include "state/functions.h"
#include "mockctl.h"

#ifndef MOCK_ROLE
#error "MOCK_ROLE must name the module's role, 1 to 4"
#endif

namespace {

using tokenhub::Fn;
constexpr uint32_t kRole = MOCK_ROLE;

mock::Backend &self() { return mock::mockControl()->backends[kRole - 1]; }

using mock::toWord;

// How many new handles a function hands out through its last arguments.
constexpr unsigned newHandles(Fn f) {
  switch (f) {
    case Fn::C_OpenSession:
    case Fn::C_CreateObject:
    case Fn::C_CopyObject:
    case Fn::C_GenerateKey:
    case Fn::C_UnwrapKey:
    case Fn::C_DeriveKey:
      return 1;
    case Fn::C_GenerateKeyPair:
      return 2;
    default:
      return 0;
  }
}

// What a function does besides logging: CKR_OK, and a function that makes
// sessions or objects writes the next handles to its last arguments.
template <Fn F, typename... A>
struct Behaviour {
  static CK_RV run(A... args) {
    constexpr unsigned count = newHandles(F);
    if constexpr (count > 0) {
      auto all = std::tie(args...);
      writeHandle(std::get<sizeof...(A) - count>(all));
      if constexpr (count == 2) writeHandle(std::get<sizeof...(A) - 1>(all));
    }
    return CKR_OK;
  }
  static void writeHandle(CK_ULONG_PTR out) {
    if (out) *out = mock::mockNextHandle(kRole);
  }
};

// A search finds the queued handles, as many at a time as the caller has room for.
template <>
struct Behaviour<Fn::C_FindObjects, CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG, CK_ULONG_PTR> {
  static CK_RV run(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR found, CK_ULONG max, CK_ULONG_PTR count) {
    CK_ULONG n = mock::mockTakeHandles(kRole, found, max);
    *count = self().findReported ? self().findReported : n;
    return CKR_OK;
  }
};

// Out of process, TOKENHUB_MOCK_WORKER=1 makes C_Initialize start a thread
// of the module's own that C_Finalize ends and waits for, as card vendors'
// modules do for their slot watch; TOKENHUB_MOCK_SLOW_FINALIZE names a role
// whose C_Finalize takes half a second first. No std::string and no C++
// thread library here: with them in the mocks, the 32-bit Windows fault
// suite, which loads and unloads the mocks hundreds of times, ended midway.
bool environmentSays(const char *name, const char *value) {
  const char *text = std::getenv(name);
  return text && std::strcmp(text, value) == 0;
}

std::atomic<bool> workerStop{false};
#ifdef _WIN32
HANDLE worker = nullptr;  // left running at the process's end, as a module's own thread may be
DWORD WINAPI workerMain(LPVOID) {
  while (!workerStop) Sleep(5);
  return 0;
}
void startWorker() { worker = CreateThread(nullptr, 0, workerMain, nullptr, 0, nullptr); }
void endWorker() {
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
}
void pause(unsigned ms) { Sleep(ms); }
#else
pthread_t worker;
bool workerRunning = false;
void *workerMain(void *) {
  while (!workerStop) usleep(5000);
  return nullptr;
}
void startWorker() { workerRunning = pthread_create(&worker, nullptr, workerMain, nullptr) == 0; }
void endWorker() {
  if (workerRunning) pthread_join(worker, nullptr);
  workerRunning = false;
}
void pause(unsigned ms) { usleep(ms * 1000); }
#endif
bool workerStarted = false;

template <>
struct Behaviour<Fn::C_Initialize, CK_VOID_PTR> {
  static CK_RV run(CK_VOID_PTR args) {
    if (self().initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    self().initialised = 1;
    self().lastInitArgs = args;
    ++self().initializeCalls;
    if (environmentSays("TOKENHUB_MOCK_WORKER", "1")) {
      workerStop = false;
      startWorker();
      workerStarted = true;
    }
    return CKR_OK;
  }
};

template <>
struct Behaviour<Fn::C_Finalize, CK_VOID_PTR> {
  static CK_RV run(CK_VOID_PTR) {
    if (!self().initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    const char role[] = {static_cast<char>('0' + kRole), '\0'};
    if (environmentSays("TOKENHUB_MOCK_SLOW_FINALIZE", role)) pause(500);
    if (workerStarted) {
      workerStop = true;
      endWorker();
      workerStarted = false;
    }
    self().initialised = 0;
    ++self().finalizeCalls;
    return CKR_OK;
  }
};

template <>
struct Behaviour<Fn::C_GetSlotList, CK_BBOOL, CK_SLOT_ID_PTR, CK_ULONG_PTR> {
  static CK_RV run(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    mock::Backend &b = self();
    CK_ULONG n = 0;
    CK_SLOT_ID ids[mock::kMaxSlots];
    for (CK_ULONG i = 0; i < b.slotCount; ++i)
      if (!tokenPresent || (b.slots[i].flags & CKF_TOKEN_PRESENT)) ids[n++] = b.slots[i].id;
    CK_ULONG reported = b.reportedSlotCount ? b.reportedSlotCount : n;
    if (!list) {
      *count = reported;
      return CKR_OK;
    }
    // A module that breaks the contract: it answers a count larger than the
    // caller's list but writes only the slots the list has room for.
    CK_ULONG capacity = *count;
    if (reported > capacity && !b.reportedSlotCount) {
      *count = reported;
      return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < n && i < capacity; ++i) list[i] = ids[i];
    *count = reported;
    return CKR_OK;
  }
};

template <>
struct Behaviour<Fn::C_GetSlotInfo, CK_SLOT_ID, CK_SLOT_INFO_PTR> {
  static CK_RV run(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
    mock::Backend &b = self();
    for (CK_ULONG i = 0; i < b.slotCount; ++i) {
      const mock::Slot &s = b.slots[i];
      if (s.id != id) continue;
      if (s.slotInfoResult != CKR_OK) return s.slotInfoResult;
      std::memcpy(info->slotDescription, s.description, sizeof info->slotDescription);
      std::memset(info->manufacturerID, ' ', sizeof info->manufacturerID);
      info->flags = s.flags;
      info->hardwareVersion = {1, 0};
      info->firmwareVersion = {1, 0};
      return CKR_OK;
    }
    return CKR_SLOT_ID_INVALID;
  }
};

// A derivation keeps the key that CKM_CONCATENATE_BASE_AND_KEY names.
template <>
struct Behaviour<Fn::C_DeriveKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                 CK_OBJECT_HANDLE_PTR> {
  static CK_RV run(CK_SESSION_HANDLE, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                   CK_OBJECT_HANDLE_PTR out) {
    bool concatenated = m && m->mechanism == CKM_CONCATENATE_BASE_AND_KEY && m->pParameter;
    self().concatenatedKey = concatenated ? *static_cast<CK_OBJECT_HANDLE *>(m->pParameter) : 0;
    if (out) *out = mock::mockNextHandle(kRole);
    return CKR_OK;
  }
};

// Token information: the scripted texts blank-padded, the rest fixed.
// Whether the fault file asks C_GetTokenInfo to report a PIN pad. (No
// thread_local here: on Windows each load of a DLL with one keeps a TLS
// index and handles after its unload, which the life-cycle test counts.)
bool pinPadAsked();

void padInto(unsigned char *field, size_t size, const char *text) {
  std::memset(field, ' ', size);
  size_t n = std::strlen(text);
  std::memcpy(field, text, n < size ? n : size);
}

template <>
struct Behaviour<Fn::C_GetTokenInfo, CK_SLOT_ID, CK_TOKEN_INFO_PTR> {
  static CK_RV run(CK_SLOT_ID, CK_TOKEN_INFO_PTR info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    const mock::TokenScript &t = *mock::mockToken(kRole);
    std::memset(info, 0, sizeof *info);
    padInto(info->label, sizeof info->label, t.label);
    padInto(info->manufacturerID, sizeof info->manufacturerID, "Mock backend");
    padInto(info->model, sizeof info->model, t.model);
    padInto(info->serialNumber, sizeof info->serialNumber, t.serialNumber);
    info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED |
                  (pinPadAsked() ? CKF_PROTECTED_AUTHENTICATION_PATH : 0);
    info->ulMaxPinLen = 8;
    info->ulMinPinLen = 4;
    info->hardwareVersion = {1, 0};
    info->firmwareVersion = {1, 0};
    return CKR_OK;
  }
};

// Out of process (in a module host), TOKENHUB_MOCK_FAULT_FILE names a file
// whose lines "ROLE FUNCTION crash|exit|hang|slow|print|serial" make that
// role's function (every function for "*") write through a null pointer,
// call _exit(3), never return, return after two seconds (a PIN pad waiting
// for the PIN), print a line on its standard output, or run while no other
// call of the module runs (a module that serialises its calls), or (for
// C_GetTokenInfo) report a PIN pad. It is read
// at every call, so that a test can make a running host fail on demand.
// The crash itself, a write through a null pointer, unchecked even in the
// sanitizer builds (which would end the host with a report instead).
// The pointer comes from memory, so that the optimiser cannot drop the write.
volatile int *volatile nowhere = nullptr;
__attribute__((noinline, no_sanitize("undefined"))) void nullWrite() { *nowhere = 1; }

#ifdef _WIN32
SRWLOCK serialLock = SRWLOCK_INIT;
void serialise(bool on) { on ? AcquireSRWLockExclusive(&serialLock) : ReleaseSRWLockExclusive(&serialLock); }
#else
pthread_mutex_t serialLock = PTHREAD_MUTEX_INITIALIZER;
void serialise(bool on) { on ? pthread_mutex_lock(&serialLock) : pthread_mutex_unlock(&serialLock); }
#endif

enum Fault : unsigned { kCrash = 1, kExit = 2, kHang = 4, kSlow = 8, kPrint = 16, kSerial = 32, kPinPad = 64 };

// The faults that the file names for f.
unsigned faultsFor(Fn f) {
  const char *path = std::getenv("TOKENHUB_MOCK_FAULT_FILE");
  FILE *file = path ? std::fopen(path, "r") : nullptr;
  if (!file) return 0;
#define MOCK_NAME(name) #name,
  static const char *const names[] = {TOKENHUB_FUNCTIONS(MOCK_NAME)};
#undef MOCK_NAME
  static const char *const actions[] = {"crash", "exit", "hang", "slow", "print", "serial", "pinpad"};
  unsigned role, faults = 0;
  char name[64], action[16];
  while (std::fscanf(file, "%u %63s %15s", &role, name, action) == 3)
    if (role == kRole && (std::strcmp(name, "*") == 0 || std::strcmp(name, names[static_cast<unsigned>(f)]) == 0))
      for (unsigned i = 0; i < sizeof actions / sizeof *actions; ++i)
        if (std::strcmp(action, actions[i]) == 0) faults |= 1u << i;
  std::fclose(file);
  return faults;
}

bool pinPadAsked() { return faultsFor(Fn::C_GetTokenInfo) & kPinPad; }

void faultOnDemand(unsigned faults) {
  if (faults & kCrash) nullWrite();
  if (faults & kExit) _exit(3);
  if (faults & kPrint) std::printf("mock module %u: a line on standard output\n", kRole), std::fflush(stdout);
  while (faults & kHang) pause(1000);
  if (faults & kSlow) pause(2000);
}

template <Fn F, typename P>
struct Entry;

template <Fn F, typename... A>
struct Entry<F, CK_RV (*)(A...)> {
  static CK_RV call(A... args) {
    uintptr_t words[sizeof...(A) + 1] = {toWord(args)...};
    mock::mockLogCall(kRole, static_cast<uint32_t>(F), words, sizeof...(A));
    unsigned faults = faultsFor(F);
    if (faults & kSerial) serialise(true);
    faultOnDemand(faults);
    mock::Backend &b = self();
    CK_RV rv = b.forced[static_cast<unsigned>(F)] ? b.results[static_cast<unsigned>(F)] : Behaviour<F, A...>::run(args...);
    if (faults & kSerial) serialise(false);
    return rv;
  }
};

CK_FUNCTION_LIST functionList;

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppList) {
  uintptr_t word = toWord(ppList);
  mock::mockLogCall(kRole, static_cast<uint32_t>(Fn::C_GetFunctionList), &word, 1);
  if (self().getFunctionListResult != CKR_OK) return self().getFunctionListResult;
  functionList.version = {2, 11};
#define MOCK_FILL(name)                                                                                      \
  functionList.name = self().absent[static_cast<unsigned>(Fn::name)] ? nullptr                            \
                                                                     : &Entry<Fn::name, decltype(functionList.name)>::call;
  TOKENHUB_FUNCTIONS(MOCK_FILL)
#undef MOCK_FILL
  *ppList = &functionList;
  return CKR_OK;
}
