// The readers' whole names from the card service's list: the backends
// describe a reader in 64 characters, and the service's names (with
// interface and serial number) often run longer. Asked at C_Initialize and
// again whenever a query names a reader that the service does not know, so
// that a reader whose name was cut, or whose twin was not there yet, is
// found once the service lists it.
#pragma once
#include "state/state.h"

namespace tokenhub {

// Lists the service's readers; when the list differs from the last one
// seen while the library runs, or when `askBackends`, asks the backends for
// their slot lists again first (a reader attached later gets its pair:
// `askBackends` waits for libraryLock, a changed list alone does not and is
// looked at again by the next call while another holds it). Then completes
// the cut reader names and tells the trace, once per reader, of those that
// no virtual slot serves. True when a name was completed or a pair added.
bool refreshReaderNames(bool askBackends = false);

// Whether the service lists its readers otherwise than the last
// refreshReaderNames saw them (an empty or failed list counts as no change).
bool readerListChanged();

// A changed reader list whose backends could not be asked yet (libraryLock
// was held): the next refreshReaderNames asks them.
bool readerListPending();

// refreshReaderNames when one of the readers' states says the service does
// not know it; true when a name was completed.
bool refreshReaderNamesIfUnknown(const ReaderState *states, uint32_t count);

// Forgets the last list, with the tables. The caller holds tableLock or is C_Initialize.
void forgetReaderList();

}  // namespace tokenhub
