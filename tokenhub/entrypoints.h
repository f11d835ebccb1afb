// Shared by the units that define exported entry points.
#pragma once
#include "state.h"

namespace tokenhub {

// The result of an entry point that this build does not offer yet.
inline CK_RV notBuiltYet() { return initialised() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED; }

}  // namespace tokenhub
