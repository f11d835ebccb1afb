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
// Process detach. On a dynamic unload the outstanding initialisation is
// finalised; when the process is ending, the backend modules may already be
// gone, so they are neither called nor freed.
void routerProcessDetach(bool processEnding);

}  // namespace tokenhub
