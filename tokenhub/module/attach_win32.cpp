// The DLL entry point. Process detach leaves the backends alone: at the
// process's end (a non-null reserved argument) they may already have been
// torn down, and at a FreeLibrary without C_Finalize the entry point runs
// under the loader lock, which a backend's C_Finalize that ends a thread of
// its own would wait for (the ending thread needs the lock). Only what is
// safe under the lock is released: the locks and the trace file. The
// backends stay loaded and initialised, and the card-service context open,
// until the process ends; a tokenhub loaded again adopts them. Backends in
// module hosts are other processes: their pipes are closed and each host
// finalises its module and leaves (or is ended), whatever the lock.
//
// The threads library linked into the module (the C++ runtime and the
// unwinder stand on it) takes a TLS index, and for each thread that reaches
// it a record holding two handles, and gives neither back when the module
// is unloaded: a host that loads and frees the module per job would run out
// of TLS indexes and fill its handle table. The module's TlsAlloc import is
// wrapped at the link (tokenhub/CMakeLists.txt), so the indexes it takes
// are known; at a FreeLibrary the unloading thread's record goes back
// through the library's own thread-end callback, and the indexes are freed.
#include <windows.h>

#include "module/entrypoints.h"
#include "rpc/client.h"

#ifdef _WIN64
#define TLS_ALLOC_IMPORT(side) "__" side "___imp_TlsAlloc"
#define THREADS_LIBRARY_CALLBACK "__xl_f"
#else
#define TLS_ALLOC_IMPORT(side) "___" side "__imp__TlsAlloc@0"
#define THREADS_LIBRARY_CALLBACK "___xl_f"
#endif

namespace {

DWORD taken[4];
LONG takenCount = 0;

}  // namespace

extern "C" {
extern DWORD(WINAPI *const systemTlsAlloc)() __asm__(TLS_ALLOC_IMPORT("real"));
// The threads library's TLS callback: at a thread's end it gives back that
// thread's record.
extern const PIMAGE_TLS_CALLBACK threadsLibraryCallback __asm__(THREADS_LIBRARY_CALLBACK);

static DWORD WINAPI recordingTlsAlloc() {
  DWORD index = systemTlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return index;
  LONG at = InterlockedIncrement(&takenCount) - 1;
  if (at < LONG{ARRAYSIZE(taken)}) taken[at] = index;
  return index;
}
extern DWORD(WINAPI *const wrappedTlsAlloc)() __asm__(TLS_ALLOC_IMPORT("wrap")) = recordingTlsAlloc;

// Before the threads library's own callback (.CRT$XLF), which frees its
// records' memory at process detach but closes none of their handles.
static void WINAPI releaseUnloadingThread(PVOID module, DWORD reason, PVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && !reserved) threadsLibraryCallback(module, DLL_THREAD_DETACH, nullptr);
}
__attribute__((section(".CRT$XLE"), used)) extern const PIMAGE_TLS_CALLBACK tokenhubReleaseCallback =
    releaseUnloadingThread;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) tokenhub::routerProcessAttach();
  // At the process's end (a non-null reserved argument) the other threads
  // are gone, perhaps in the middle of a router lock or the trace file's:
  // taking one would make Windows end the process at once, before the other
  // DLLs' detach. Nothing is released then; the system closes the file.
  if (reason == DLL_PROCESS_DETACH && reserved) return TRUE;
  if (reason == DLL_PROCESS_DETACH) {
    if (!reserved) tokenhub::rpc::endHostsAtUnload();
    tokenhub::routerProcessDetach(true);
    // The TLS callbacks have run; what follows (the static destructors, the
    // unwinder's deregistration) only takes locks, which need no index.
    LONG count = takenCount < LONG{ARRAYSIZE(taken)} ? takenCount : LONG{ARRAYSIZE(taken)};
    if (!reserved)
      for (LONG i = 0; i < count; ++i) TlsFree(taken[i]);
  }
  return TRUE;
}
