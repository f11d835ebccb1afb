// The readers' whole names from the card service's list: the backends
// describe a reader in 64 characters, and the service's names (with
// interface and serial number) often run longer. Asked at C_Initialize and
// again whenever a query names a reader that the service does not know, so
// that a reader whose name was cut, or whose twin was not there yet, is
// found once the service lists it.
#pragma once
#include "state.h"

namespace tokenhub {

// Lists the service's readers; when the list differs from the last one
// seen, completes the cut reader names and tells the trace, once per
// reader, of those that no virtual slot serves (slots are built at
// C_Initialize only). True when a name was completed.
bool refreshReaderNames();

// refreshReaderNames when one of the readers' states says the service does
// not know it; true when a name was completed.
bool refreshReaderNamesIfUnknown(const ReaderState *states, uint32_t count);

// Forgets the last list, with the tables. The caller holds tableLock or is C_Initialize.
void forgetReaderList();

}  // namespace tokenhub
