// The virtual slot table's operations: two rows per reader (common and
// secure profile), found or added by the backends' slot descriptions while
// C_Initialize registers their slots, and found by slot id afterwards.
#pragma once
#include "state.h"

namespace tokenhub {

// Finds or adds both rows of the reader that slotInfo names and records
// backendSlotId under family in the row of the given profile.
// 0 done, 1 blank description, 2 table full.
int registerBackendSlot(uint32_t profile, CardFamily family, CK_SLOT_ID backendSlotId, const CK_SLOT_INFO &slotInfo);

// CKR_OK and the row whose id is slotId, or CKR_SLOT_ID_INVALID.
CK_RV findSlot(CK_SLOT_ID slotId, SlotEntry **row);

void clearSlotTable();

// Gives each reader whose description was cut at its 64th character the
// whole name, among the service's (`names`: NUL-terminated, ending with an
// empty one), that the description begins; the first such name when several
// do. A reader that the service knows by its description keeps it.
void completeReaderNames(const char *names);

}  // namespace tokenhub
