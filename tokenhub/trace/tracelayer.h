// The trace as a layer: a function list whose every entry writes the call's
// line around the same entry of a lower list (the router's own), with the
// numbers shown by their meaning: slot ids, session and object handles with
// the backend's numbers, flags, mechanisms, and no PIN, data or attribute value.
#pragma once
#include "tokenhub/pkcs11.h"

namespace tokenhub::trace {

// The traced list over `lower`, which outlives it.
const CK_FUNCTION_LIST &layer(const CK_FUNCTION_LIST &lower);

}  // namespace tokenhub::trace
