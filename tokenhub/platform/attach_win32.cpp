// The DLL entry point. A non-null reserved argument at process detach means
// the process is ending: the backend modules may already have been torn down.
#include <windows.h>

#include "../init.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) tokenhub::routerProcessAttach();
  if (reason == DLL_PROCESS_DETACH) tokenhub::routerProcessDetach(reserved != nullptr);
  return TRUE;
}
