// The virtual slot table's operations: two rows per reader (common and
// secure profile), found or added by the backends' slot descriptions while
// C_Initialize registers their slots, and found by slot id afterwards.
#pragma once
#include "state/state.h"

namespace tokenhub {

// Finds or adds both rows of the reader that slotInfo names and records
// backendSlotId under family in the row of the given profile. A pair added
// while the library runs comes after every pair there is, and its common
// row is marked to be announced by the slot-event wait.
// 0 done, 1 blank description, 2 table full, 3 the role's slot registered
// under this description before (nothing changes). The caller is
// C_Initialize, or holds libraryLock and tableLock.
int registerBackendSlot(uint32_t profile, CardFamily family, CK_SLOT_ID backendSlotId, const CK_SLOT_INFO &slotInfo);

// CKR_OK and the row whose id is slotId, or CKR_SLOT_ID_INVALID.
CK_RV findSlot(CK_SLOT_ID slotId, SlotEntry **row);

void clearSlotTable();

// What completing a cut description found, for the trace.
struct CutName {
  enum Kind { Completed, Ambiguous, RoleDropped } kind;
  const SlotEntry *row;  // the (first) pair's common row
  const char *name;      // Completed: the service's whole name
  unsigned pairs;        // pairs of rows with the description
  unsigned count;        // Ambiguous: the service's readers it begins; RoleDropped: the role's slots so described
  unsigned role;         // RoleDropped: the role index 0..3
};

// Gives the readers whose description was cut at its 64th character their
// whole names among the service's (`names`: NUL-terminated, ending with an
// empty one). A reader that the service knows by its description keeps it.
// Several pairs of one description (twin readers) take the names that it
// begins in the service's order, when the service lists as many; otherwise
// they keep the description, which the service does not know, and serve
// no card until a later list tells them apart. Pairs completed already keep
// their names. The caller holds tableLock or is C_Initialize.
void completeReaderNames(const char *names, void (*report)(const CutName &) = nullptr);

// Whether a pair of rows stands for the service's reader of that name (or
// may, once its twins are told apart). Under tableLock.
bool readerServed(const char *reader);

// Whether the row's reader name is a cut description still to be completed. Takes tableLock.
bool nameIncomplete(const SlotEntry &row);

// A copy of the row's reader name, taken under tableLock: the name may be
// completed while another thread asks the service about the reader.
void copyReaderName(const SlotEntry &row, char (&name)[kReaderNameSize]);

}  // namespace tokenhub
