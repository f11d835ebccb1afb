#include "state/slottable.h"

#include <cstring>
#include <initializer_list>

namespace tokenhub {

namespace {

constexpr size_t kDescriptionSize = sizeof(CK_SLOT_INFO::slotDescription);  // 64
constexpr size_t kSuffixLength = 15;                                        // " common profile"
constexpr size_t kCutNameLength = 48;

bool equalIgnoringCase(const char *a, const char *b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// The reader name followed by the suffix; a name too long for both to fit
// in 64 characters is cut to its first 48, giving a 63-character label.
void buildLabel(const char *readerName, const char *suffix, char (&label)[kNameSize]) {
  size_t nameLength = std::strlen(readerName);
  if (nameLength + kSuffixLength > kDescriptionSize) nameLength = kCutNameLength;
  std::memcpy(label, readerName, nameLength);
  std::memcpy(label + nameLength, suffix, kSuffixLength);
  label[nameLength + kSuffixLength] = '\0';
}

CK_SLOT_ID &backendSlotField(SlotEntry &row, CardFamily family) {
  return family == 1 ? row.backendSlotFamily1 : row.backendSlotFamily2;
}

void fillRow(SlotEntry &row, const char *readerName, const char *suffix, uint32_t profile) {
  row.id = static_cast<CK_SLOT_ID>(&row - router.slotTable) + 1;
  std::memcpy(row.readerName, readerName, std::strlen(readerName) + 1);
  std::memcpy(row.description, readerName, std::strlen(readerName) + 1);
  row.profile = profile;
  buildLabel(readerName, suffix, row.label);
}

// The common row of the reader's pair, the pair added at the end of the
// table when there is none yet; null when the table is full. Pairs are
// found by the whole description: two readers whose names differ only
// after the 48th character share a label but are two pairs of slots. A
// description of 64 characters may be the cut name of several readers (two
// units of one long-named model, the slots of a two-slot reader): a backend
// that describes a second slot so means the next such reader, the next pair
// of that description whose field for the backend's role is still free.
SlotEntry *findOrAddPair(const char *description, uint32_t profile, CardFamily family, CK_SLOT_ID backendSlotId) {
  bool cut = std::strlen(description) == kDescriptionSize;
  const uint32_t count = router.slotCount;
  for (uint32_t i = 0; i + 1 < count; i += 2) {
    SlotEntry &common = router.slotTable[i];
    if (!equalIgnoringCase(common.description, description)) continue;
    // A cut description that this backend gives another slot too is a twin;
    // the same slot listed again is no twin.
    CK_SLOT_ID held = backendSlotField(router.slotTable[i + (profile == Common ? 0 : 1)], family);
    if (!cut || held == 0 || held == backendSlotId) return &common;
  }
  if (count + 2 > kMaxSlots) return nullptr;
  SlotEntry *common = &router.slotTable[count];
  fillRow(common[0], description, " common profile", Common);
  fillRow(common[1], description, " secure profile", Secure);
  // A reader attached while the library runs: its common slot is reported
  // by the next slot-event wait, so that the application learns of it.
  common[0].unannounced = initialised() ? 1 : 0;
  router.slotCount = count + 2;  // last: the rows are complete when a reader sees them
  return common;
}

// What each role's backend slots were last registered as: a backend that
// lists a slot again under the same description changes nothing, so the
// rows keep what registration and the twin rules decided for it.
struct Registered {
  CK_SLOT_ID backendSlotId;
  char description[kNameSize];
};
constexpr unsigned kRegisteredPerRole = kMaxSlots;
Registered registered[kRoleCount][kRegisteredPerRole];
unsigned registeredCount[kRoleCount];

// True when the role's slot was registered under this description last;
// otherwise remembers it so (while there is room).
bool registeredBefore(unsigned role, CK_SLOT_ID backendSlotId, const char *description) {
  Registered *entries = registered[role];
  unsigned i = 0;
  while (i < registeredCount[role] && entries[i].backendSlotId != backendSlotId) ++i;
  if (i < registeredCount[role] && std::strcmp(entries[i].description, description) == 0) return true;
  if (i == kRegisteredPerRole) return false;
  if (i == registeredCount[role]) ++registeredCount[role];
  entries[i].backendSlotId = backendSlotId;
  std::memcpy(entries[i].description, description, std::strlen(description) + 1);
  return false;
}

}  // namespace

int registerBackendSlot(uint32_t profile, CardFamily family, CK_SLOT_ID backendSlotId, const CK_SLOT_INFO &slotInfo) {
  const unsigned char *description = slotInfo.slotDescription;
  // The last non-blank among the 2nd to 64th characters ends the name; a
  // description blank from its 2nd character on names no reader.
  size_t end = kDescriptionSize;
  while (end > 1 && description[end - 1] == ' ') --end;
  if (end == 1) return 1;
  char readerName[kNameSize] = {};
  std::memcpy(readerName, description, end);  // stops at an earlier NUL when read as text

  const unsigned role = roleIndex(family, profile);
  if (registeredBefore(role, backendSlotId, readerName)) return 3;
  SlotEntry *common = findOrAddPair(readerName, profile, family, backendSlotId);
  if (!common) return 2;
  const unsigned side = profile == Common ? 0 : 1;
  // A backend that numbers a reader attached later with the slot id of one
  // it no longer lists: the id serves the new reader only.
  for (uint32_t row = side; row < router.slotCount; row += 2) {
    CK_SLOT_ID &field = backendSlotField(router.slotTable[row], family);
    if (&router.slotTable[row] != &common[side] && field == backendSlotId) field = 0;
  }
  // Written only when it changes: other threads read the field without a lock.
  CK_SLOT_ID &field = backendSlotField(common[side], family);
  if (field != backendSlotId) field = backendSlotId;
  return 0;
}

CK_RV findSlot(CK_SLOT_ID slotId, SlotEntry **row) {
  if (slotId == 0) return CKR_SLOT_ID_INVALID;
  for (uint32_t i = 0; i < router.slotCount; ++i) {
    if (router.slotTable[i].id == slotId) {
      *row = &router.slotTable[i];
      return CKR_OK;
    }
  }
  return CKR_SLOT_ID_INVALID;
}

namespace {

// The service's names that a cut description begins, in the service's
// order, up to `max`; their number, also beyond `max`. A name too long for
// readerName is no candidate.
unsigned namesBegunBy(const char *description, const char *names, const char **found, unsigned max) {
  unsigned count = 0;
  for (const char *name = names; *name; name += std::strlen(name) + 1) {
    if (std::strncmp(name, description, kDescriptionSize) != 0 || std::strlen(name) >= kReaderNameSize) continue;
    if (count < max) found[count] = name;
    ++count;
  }
  return count;
}

bool listed(const char *names, const char *reader) {
  for (const char *name = names; *name; name += std::strlen(name) + 1)
    if (std::strcmp(name, reader) == 0) return true;
  return false;
}

// Completes the pairs whose description is `description`: twins[0..pairs)
// are their common rows, in table order. The k-th twin is the k-th reader
// that the service lists under that description, as long as the service
// lists as many as there are pairs; a role that describes fewer of them
// cannot say which ones it means and serves none of them.
void completeTwins(SlotEntry *const *twins, unsigned pairs, const char *names, void (*report)(const CutName &)) {
  const char *description = twins[0]->description;
  if (pairs == 1 && listed(names, description)) return;  // the service knows the reader by it
  const char *whole[kMaxReaders];
  unsigned count = namesBegunBy(description, names, whole, kMaxReaders);
  if (count != pairs) {
    if (count > 0 && report) report({CutName::Ambiguous, twins[0], nullptr, pairs, count, 0});
    return;
  }
  for (unsigned role = 0; role < kRoleCount; ++role) {
    unsigned described = 0;
    for (unsigned k = 0; k < pairs; ++k)
      described += backendSlotField(twins[k][backendRoles[role].profile], backendRoles[role].family) != 0;
    if (described == 0 || described == pairs) continue;
    for (unsigned k = 0; k < pairs; ++k)
      backendSlotField(twins[k][backendRoles[role].profile], backendRoles[role].family) = 0;
    if (report) report({CutName::RoleDropped, twins[0], nullptr, pairs, described, role});
  }
  for (unsigned k = 0; k < pairs; ++k) {
    for (SlotEntry *entry : {twins[k], twins[k] + 1})
      std::memcpy(entry->readerName, whole[k], std::strlen(whole[k]) + 1);
    if (report) report({CutName::Completed, twins[k], whole[k], pairs, count, 0});
  }
}

// A cut description that no whole name has replaced yet.
bool incomplete(const SlotEntry &row) {
  return std::strlen(row.description) == kDescriptionSize && std::strcmp(row.readerName, row.description) == 0;
}

}  // namespace

void completeReaderNames(const char *names, void (*report)(const CutName &)) {
  for (uint32_t row = 0; row + 1 < router.slotCount; row += 2) {
    SlotEntry &first = router.slotTable[row];
    // Only cut descriptions not completed yet; each description once, at its first pair.
    if (!incomplete(first)) continue;
    bool seen = false;
    for (uint32_t earlier = 0; earlier < row && !seen; earlier += 2)
      seen = equalIgnoringCase(router.slotTable[earlier].description, first.description);
    if (seen) continue;
    SlotEntry *twins[kMaxReaders] = {};
    unsigned pairs = 0;
    for (uint32_t other = row; other + 1 < router.slotCount; other += 2)
      if (equalIgnoringCase(router.slotTable[other].description, first.description))
        twins[pairs++] = &router.slotTable[other];
    completeTwins(twins, pairs, names, report);
  }
}

bool readerServed(const char *reader) {
  for (uint32_t row = 0; row + 1 < router.slotCount; row += 2) {
    const SlotEntry &common = router.slotTable[row];
    if (std::strcmp(common.readerName, reader) == 0) return true;
    // A twin not told apart yet is the ambiguity's, not a reader without slots.
    if (incomplete(common) && std::strncmp(reader, common.description, kDescriptionSize) == 0) return true;
  }
  return false;
}

bool nameIncomplete(const SlotEntry &row) {
  LockGuard hold(tableLock);
  return incomplete(row);
}

void copyReaderName(const SlotEntry &row, char (&name)[kReaderNameSize]) {
  LockGuard hold(tableLock);
  std::memcpy(name, row.readerName, sizeof name);
}

void clearSlotTable() {
  std::memset(router.slotTable, 0, sizeof router.slotTable);
  router.slotCount = 0;
  std::memset(registered, 0, sizeof registered);
  std::memset(registeredCount, 0, sizeof registeredCount);
}

}  // namespace tokenhub
