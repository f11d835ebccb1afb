// Load and unload of the shared object. glibc runs a library's atexit
// handlers before its destructors when the process exits, but after them
// when the library is unloaded with dlclose; the flag below tells the two
// apart. At exit the backend modules' own destructors may already have run,
// so they are neither called nor unloaded then.
#include <cstdlib>

#include "../init.h"

namespace {
bool processEnding = false;
void noteProcessEnding() { processEnding = true; }
}  // namespace

__attribute__((constructor)) static void tokenhubAttach() {
  tokenhub::routerProcessAttach();
  std::atexit(noteProcessEnding);
}

__attribute__((destructor)) static void tokenhubDetach() { tokenhub::routerProcessDetach(processEnding); }
