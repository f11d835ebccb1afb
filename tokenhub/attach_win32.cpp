// The DLL entry point. Process detach leaves the backends alone: at the
// process's end (a non-null reserved argument) they may already have been
// torn down, and at a FreeLibrary without C_Finalize the entry point runs
// under the loader lock, which a backend's C_Finalize that ends a thread of
// its own would wait for (the ending thread needs the lock). Only what is
// safe under the lock is released: the locks and the trace file. The
// backends stay loaded and initialised, and the card-service context open,
// until the process ends; a tokenhub loaded again adopts them.
#include <windows.h>

#include "entrypoints.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) tokenhub::routerProcessAttach();
  if (reason == DLL_PROCESS_DETACH) tokenhub::routerProcessDetach(true);
  return TRUE;
}
