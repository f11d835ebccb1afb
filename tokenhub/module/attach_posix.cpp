// Load and unload of the shared object. glibc runs a library's atexit
// handlers before its destructors when the process exits, but after them
// when the library is unloaded with dlclose; the flag below tells the two
// apart. At exit the backend modules' own destructors may already have run,
// so they are neither called nor unloaded then.

#include "module/entrypoints.h"

extern "C" {
extern void *__dso_handle;  // this shared object, as the C++ runtime knows it
int __cxa_atexit(void (*handler)(void *), void *argument, void *dso);
}

namespace {
bool processEnding = false;
void noteProcessEnding(void *) { processEnding = true; }
}  // namespace

__attribute__((constructor)) static void tokenhubAttach() {
  tokenhub::routerProcessAttach();
  // What atexit does in a shared object, spelt out: the handler belongs to
  // this object and goes with it at dlclose. ThreadSanitizer's atexit drops
  // that tie, and its process end then called the handler of an unloaded module.
  __cxa_atexit(noteProcessEnding, nullptr, &__dso_handle);
}

__attribute__((destructor)) static void tokenhubDetach() { tokenhub::routerProcessDetach(processEnding); }
