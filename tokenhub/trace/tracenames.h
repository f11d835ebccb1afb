// The names of the codes that the diagnostic trace writes.
#pragma once
#include "platform/platform.h"
#include "tokenhub/pkcs11.h"

namespace tokenhub::trace {

// The name of a code, or null when it has none.
const char *ckrName(CK_RV code);
const char *ckmName(CK_MECHANISM_TYPE type);
const char *ckaName(CK_ATTRIBUTE_TYPE type);
const char *scardName(PcscResult code);

}  // namespace tokenhub::trace
