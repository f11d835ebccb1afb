// The module itself: its exported functions (the C boundary, where no
// exception passes into the host's C frames) and its life with the process.
// The attach units (DllMain, the shared object's constructor and destructor)
// and the programs that link the router in call these.
#pragma once

namespace tokenhub {

// Process attach: the locks and the trace's lock, the fork rule.
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
