#include "cards/backendslots.h"

#include <cstring>

#include "state/slottable.h"
#include "state/tracepoints.h"

namespace tokenhub {

namespace {

struct ListedSlot {
  CK_SLOT_ID id;
  CK_SLOT_INFO info;
};

// The role's slots with their descriptions; none when its list fails. A
// module that finds its readers through the card service looks for new
// ones when it is asked how many slots it has (`lookForNew`).
unsigned listSlots(unsigned role, ListedSlot (&slots)[kMaxSlots], bool lookForNew) {
  CK_FUNCTION_LIST_PTR functions = router.backends[role].functionList;
  if (!functions) return 0;
  CK_ULONG count = 0;
  if (lookForNew) functions->C_GetSlotList(CK_FALSE, nullptr, &count);  // the listing below tells
  CK_SLOT_ID list[kMaxSlots] = {};
  count = kMaxSlots;
  if (functions->C_GetSlotList(CK_FALSE, list, &count) != CKR_OK) return 0;
  // A module that claims more than the list holds gets only its first 64 ids read.
  if (count > kMaxSlots) count = kMaxSlots;
  unsigned listed = 0;
  for (CK_ULONG i = 0; i < count; ++i) {
    ListedSlot &slot = slots[listed];
    std::memset(&slot.info, 0, sizeof slot.info);
    slot.id = list[i];
    if (functions->C_GetSlotInfo(list[i], &slot.info) == CKR_OK) ++listed;
  }
  return listed;
}

// Holds libraryLock: waits for it, or takes it only when it is free.
class LibraryHold {
 public:
  explicit LibraryHold(bool wait) : held_(wait ? (libraryLock.enter(), true) : libraryLock.tryEnter()) {}
  ~LibraryHold() {
    if (held_) libraryLock.leave();
  }
  LibraryHold(const LibraryHold &) = delete;
  LibraryHold &operator=(const LibraryHold &) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace

void registerBackendSlots() {
  for (unsigned role = 0; role < kRoleCount; ++role) {
    ListedSlot slots[kMaxSlots];
    unsigned listed = listSlots(role, slots, false);
    const BackendRole &served = backendRoles[role];
    for (unsigned i = 0; i < listed; ++i)
      tracepoint::slotRegistration(served, slots[i].id, slots[i].info,
                                   registerBackendSlot(served.profile, served.family, slots[i].id, slots[i].info));
  }
}

Relisted relistBackendSlots(bool wait) {
  LibraryHold hold(wait);
  if (!hold.held()) return Relisted::Busy;
  if (!initialised()) return Relisted::Unchanged;
  bool added = false;
  for (unsigned role = 0; role < kRoleCount; ++role) {
    ListedSlot slots[kMaxSlots];
    unsigned listed = listSlots(role, slots, true);  // no table lock held across a backend's call
    const BackendRole &served = backendRoles[role];
    int results[kMaxSlots];
    uint32_t pairAdded[kMaxSlots];  // the common row of the pair that the slot added, or kMaxSlots
    {
      LockGuard table(tableLock);
      for (unsigned i = 0; i < listed; ++i) {
        uint32_t rows = router.slotCount;
        results[i] = registerBackendSlot(served.profile, served.family, slots[i].id, slots[i].info);
        pairAdded[i] = router.slotCount > rows ? rows : kMaxSlots;
      }
    }
    // Told after the table lock (rows never move): a new pair, or a reader's
    // pair that this role serves from now on.
    for (unsigned i = 0; i < listed; ++i) {
      if (pairAdded[i] < kMaxSlots)
        tracepoint::slotsAdded(router.slotTable[pairAdded[i]], role, slots[i].id);
      else if (results[i] == 0)
        tracepoint::slotRegistration(served, slots[i].id, slots[i].info, 0);
      added |= pairAdded[i] < kMaxSlots;
    }
  }
  return added ? Relisted::Added : Relisted::Unchanged;
}

}  // namespace tokenhub
