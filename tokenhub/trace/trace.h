// The diagnostic trace that support staff switch on: one line per backend
// module load, slot registration, card recognition, failed PC/SC call, serial
// read and entry point, in the file that TOKENHUB_LOG (or, on Windows, the
// LogFile registry value) names when the library is started.
//
// It is a layer above the router: the entry points' lines come from a
// function list over the router's own (tracelayer), the event lines from
// what the units report through their trace points and from a watch in
// front of the card service (traceevents), each line is built by traceline
// and written by tracefile. With the trace off, each costs one load.
#pragma once
#include "tokenhub/pkcs11.h"
#include "trace/tracefile.h"
#include "trace/tracenames.h"

namespace tokenhub::trace {

// First in C_Initialize: when the library is not initialised yet, reads the
// switch and opens the file it names (or ends the trace when it names none);
// once the file is open, the event lines are installed.
void beginInitialize();
// Process attach and detach: the trace's lock, and the file closed.
void attach();
void detach();
// In a forked child: the child's own C_Initialize opens the file again.
void afterFork();
// A call that an exception ended at the module's boundary, and its result.
void exception(const char *function, const char *what, CK_RV result);

}  // namespace tokenhub::trace
