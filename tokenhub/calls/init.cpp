// C_Initialize, C_Finalize, C_GetInfo and the backend modules' loading and
// unloading.
#include "calls/init.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <thread>

#include "cards/backendslots.h"
#include "cards/cardcontext.h"
#include "state/core.h"
#include "rpc/client.h"
#include "rpc/hosting.h"
#include "handles/objects.h"
#include "cards/readercards.h"
#include "cards/readernames.h"
#include "cards/serial.h"
#include "handles/sessions.h"
#include "cards/slotevents.h"
#include "state/slottable.h"
#include "state/tracepoints.h"

namespace tokenhub {

namespace {

void clearTables() {
  clearSlotTable();
  forgetReaderList();
  forgetReaderCards();
  forgetCardSerials();
  clearSessionTable();
  clearObjectTable();
}

void releaseCardContext() {
  if (router.cardContext) pcsc().releaseContext(router.cardContext);
  router.cardContext = 0;
}

// Both rows of each reader start with the reader's present state.
void noteInitialCardPresence() {
  for (uint32_t row = 0; row + 1 < router.slotCount; row += 2) {
    ReaderState state;
    std::memset(&state, 0, sizeof state);
    state.reader = router.slotTable[row].readerName;
    state.currentState = kScardStateUnaware;
    PcscResult queried =
        onCardContext([&state](PcscContext context) { return pcsc().getStatusChange(context, 0, &state, 1); });
    if (queried != kScardSuccess) continue;
    for (uint32_t r : {row, row + 1}) {
      router.slotTable[r].cardPresent = (state.eventState & kScardStatePresent) ? 1 : 0;
      router.slotTable[r].cardEvents = state.eventState >> 16;
    }
  }
}

// The locking functions come all four or none; pReserved must be null.
bool initArgumentsValid(const CK_C_INITIALIZE_ARGS &args) {
  if (args.pReserved) return false;
  int given = (args.CreateMutex != nullptr) + (args.DestroyMutex != nullptr) + (args.LockMutex != nullptr) +
              (args.UnlockMutex != nullptr);
  return given == 0 || given == 4;
}

void padCopy(unsigned char *field, size_t size, const char *text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::strlen(text));
}

void tearDown() {
  for (BackendModule &module : router.backends) unloadBackend(module);
  // A C_WaitForSlotEvent on another thread reads the slot rows and the
  // context under this lock.
  {
    LockGuard hold(tableLock);
    clearTables();
    releaseCardContext();
    router.initCount = 0;
  }
  // A slot-event wait inside the card service ends now, not at the next card event.
  endWaits(WaitsEnd::Finalized);
}

// The first C_Initialize's work: the context, the backends, the tables.
void startLibrary(CK_VOID_PTR pInitArgs) {
  // Without a card service (Windows stops it while no reader is attached)
  // the library starts all the same: the first call that needs the service
  // takes the context once the service is there.
  if (pcsc().establishContext(&router.cardContext) != kScardSuccess) router.cardContext = 0;

  // The roles' hosts start side by side: a module whose C_Initialize takes
  // its time in its host holds up no other role. Modules in process load
  // one after the other on this thread.
  char fileNames[kRoleCount][64];
  CK_RV loaded[kRoleCount] = {};
  std::exception_ptr failures[kRoleCount];
  std::thread starts[kRoleCount];
  auto load = [&](unsigned role) {
    try {
      loaded[role] = loadBackend(fileNames[role], pInitArgs, router.backends[role]);
    } catch (...) {
      failures[role] = std::current_exception();
    }
  };
  for (unsigned role = 0; role < kRoleCount; ++role) {
    std::snprintf(fileNames[role], sizeof fileNames[role], "%s%s", backendRoles[role].baseName, moduleSuffix());
    if (runsHosted(fileNames[role])) starts[role] = std::thread(load, role);
  }
  for (unsigned role = 0; role < kRoleCount; ++role)
    if (!starts[role].joinable()) load(role);
  for (std::thread &start : starts)
    if (start.joinable()) start.join();
  for (const std::exception_ptr &failure : failures)
    if (failure) std::rethrow_exception(failure);
  for (unsigned role = 0; role < kRoleCount; ++role) tracepoint::backend(role, loaded[role]);
  clearTables();
  registerBackendSlots();
  refreshReaderNames();
  noteInitialCardPresence();
}

// An exception out of the start (the host out of memory, a backend's own)
// leaves nothing half done: the library stays uninitialised, the backends
// loaded so far are finalised and unloaded, and C_Initialize can be called
// again.
void abandonStart() {
  for (BackendModule &module : router.backends) {
    try {
      unloadBackend(module);
    } catch (...) {
      module = BackendModule{};  // a backend that throws again is let go as it is
    }
  }
  LockGuard hold(tableLock);
  clearTables();
  releaseCardContext();
}

}  // namespace

CK_RV loadBackend(const char *fileName, CK_VOID_PTR pInitArgs, BackendModule &module) {
  module.handle = nullptr;
  module.functionList = nullptr;
  if (CK_RV hosted; loadHostedBackend(fileName, pInitArgs, module, hosted)) return hosted;
  void *handle = modules().load(fileName);  // the platform traces each full path it tries
  if (!handle) return kLoadFailed;
  auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(modules().symbol(handle, "C_GetFunctionList"));
  if (!getFunctionList) {
    modules().unload(handle);
    return kNoFunctionListExport;
  }
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (getFunctionList(&list) != CKR_OK || !list) {
    modules().unload(handle);
    return kFunctionListFailed;
  }
  // Without these four the module can be neither started, listed nor
  // stopped: it is no backend, as if it exported no function list at all.
  if (!list->C_Initialize || !list->C_Finalize || !list->C_GetSlotList || !list->C_GetSlotInfo) {
    modules().unload(handle);
    return kNoFunctionListExport;
  }
  CK_RV rv = list->C_Initialize(pInitArgs);
  // A module that is initialised already is shared with its initialiser: a
  // browser that loaded a card vendor's module itself, or, in a forked child,
  // the parent (whose card-service connection the child's copy holds). It
  // serves the router as it is and is never finalised by it.
  bool adopted = rv == CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (rv != CKR_OK && !adopted) {
    modules().unload(handle);
    return rv;
  }
  module.handle = handle;
  module.functionList = list;
  module.adopted = adopted;
  return 0;
}

void unloadBackend(BackendModule &module) {
  if (module.functionList && !module.adopted) module.functionList->C_Finalize(nullptr);
  module.functionList = nullptr;
  module.adopted = false;
  if (module.handle) modules().unload(module.handle);
  module.handle = nullptr;
}

void libraryAttach() {
  libraryLock.create();
  tableLock.create();
}

void libraryAfterFork() {
  // The child has only the forking thread: a lock that another of the
  // parent's threads held stays held for ever, so both are made anew.
  libraryLock.create();
  tableLock.create();
  // The loaded backends, the card-service context and the tables belong to
  // the parent, whatever the count says (a fork while another thread is in
  // C_Initialize or C_Finalize finds it 0 with backends loaded): the child
  // neither uses nor releases nor finalises them, and starts as a process
  // that has not initialised the library. Its copies of the modules stay
  // loaded and still count themselves initialised, so its own C_Initialize
  // adopts them and never finalises them.
  for (BackendModule &module : router.backends) module = BackendModule{};
  rpc::hostsAfterFork();
  router.cardContext = 0;
  endWaits(WaitsEnd::InForkedChild);
  clearTables();
  router.initCount = 0;
}

void libraryDetach() {
  tableLock.destroy();
  libraryLock.destroy();
}

}  // namespace tokenhub

namespace tokenhub::core {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  LockGuard hold(libraryLock);
  if (router.initCount != 0) {
    ++router.initCount;
    return CKR_OK;
  }
  for (BackendModule &module : router.backends) module = BackendModule{};

  // The router creates no threads, so CKF_LIBRARY_CANT_CREATE_OS_THREADS
  // (which p11-kit and GnuTLS always set) is no reason to refuse: the flags
  // reach each backend, and a backend that needs threads refuses for itself.
  if (pInitArgs && !initArgumentsValid(*static_cast<CK_C_INITIALIZE_ARGS_PTR>(pInitArgs))) {
    releaseCardContext();
    clearSlotTable();
    return CKR_ARGUMENTS_BAD;
  }
  try {
    startLibrary(pInitArgs);
  } catch (...) {
    abandonStart();
    throw;
  }
  // Last: a thread that sees the library initialised sees its complete tables.
  router.initCount = 1;
  return CKR_OK;
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  LockGuard hold(libraryLock);
  if (pReserved) return CKR_ARGUMENTS_BAD;
  if (router.initCount == 0) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (--router.initCount > 0) return CKR_OK;
  tearDown();
  // Gives a C_WaitForSlotEvent on another thread time to see the end (it polls every 10 ms).
  sleepMilliseconds(30);
  return CKR_OK;
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  pInfo->cryptokiVersion.major = 2;
  pInfo->cryptokiVersion.minor = 11;
  padCopy(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Varenzo Technologies SA");
  pInfo->flags = 0;
  padCopy(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "PKCS#11 Cryptoki Library");
  pInfo->libraryVersion.major = 1;
  pInfo->libraryVersion.minor = 0;
  return CKR_OK;
}

}  // namespace tokenhub::core
