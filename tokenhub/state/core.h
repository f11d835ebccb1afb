// The router's own entry points, one for each Cryptoki function, defined in
// the units of their concern (init, slots, slotevents, sessions, objectcalls,
// forwarded; C_GetFunctionList in entrypoints). The exported functions reach
// them through one function list, with the trace layer in between while the
// trace is on; none of them is exported itself.
#pragma once
#include "tokenhub/pkcs11.h"

namespace tokenhub::core {

#define TOKENHUB_ENTRY(name, parameters, arguments) CK_RV name parameters;
#include "signatures.inc"
#undef TOKENHUB_ENTRY

}  // namespace tokenhub::core
