// Library initialisation and finalisation: the backend modules loaded and
// unloaded, and the locks made and deleted with the process.
#pragma once
#include "state/state.h"

namespace tokenhub {

CK_RV loadBackend(const char *fileName, CK_VOID_PTR pInitArgs, BackendModule &module);
void unloadBackend(BackendModule &module);

// Process attach: creates the two locks.
void libraryAttach();
// In a child process after fork(): the library is not initialised there.
void libraryAfterFork();
// Process detach, after any finalisation: deletes the locks.
void libraryDetach();

}  // namespace tokenhub
