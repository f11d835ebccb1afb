// When a backend runs in a module host instead of the router's process:
// on Linux when TOKENHUB_HOST_BACKENDS=1; on Windows also when only the
// other bitness's module is installed. The hosted backend is one more
// function list: nothing above the backend changes.
#pragma once
#include "state/state.h"

namespace tokenhub {

// Whether the backend of `fileName` is to run in a host.
bool runsHosted(const char *fileName);

// When the backend of `fileName` is to run in a host: starts the host
// (tokenhub-host beside the router, serving the module), initialises it and
// fills `module`, or leaves the role empty; true, with the result in rv.
// False when the backend is to be loaded in process.
bool loadHostedBackend(const char *fileName, CK_VOID_PTR pInitArgs, BackendModule &module, CK_RV &rv);

}  // namespace tokenhub
