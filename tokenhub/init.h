// Library initialisation and finalisation, and the process attach/detach
// hooks that the platform's module entry calls.
#pragma once
#include "state.h"

namespace tokenhub {

// Results of loadBackend besides 0 and a backend's own C_Initialize code.
constexpr CK_RV kLoadFailed = 513;
constexpr CK_RV kNoFunctionListExport = 514;
constexpr CK_RV kFunctionListFailed = 515;

CK_RV loadBackend(const char *fileName, CK_VOID_PTR pInitArgs, BackendModule &module);
void unloadBackend(BackendModule &module);

// Process attach: creates the two locks.
void routerProcessAttach();
// In a child process after fork(): the library is not initialised there.
void routerAfterFork();
// Process detach. Unless the backends are to be left alone, the outstanding
// initialisation is finalised. They are left alone when the process is
// ending (the backend modules may already be gone) and on Windows at every
// unload: the DLL entry point runs under the loader lock, where a backend
// that ends a thread of its own in C_Finalize would hang the process.
void routerProcessDetach(bool leaveBackends);

}  // namespace tokenhub
