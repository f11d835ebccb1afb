#include "slottable.h"

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

// The reader's row of the profile, added at the end of the table when there
// is none yet; null when the table is full. Rows are found by the whole
// reader name: two readers whose names differ only after the 48th character
// (twin readers with long names) share a label but are two pairs of slots.
SlotEntry *findOrAddRow(const char *readerName, const char *suffix, uint32_t profile) {
  for (uint32_t i = 0; i < router.slotCount; ++i) {
    SlotEntry &row = router.slotTable[i];
    if (row.profile == profile && equalIgnoringCase(row.readerName, readerName)) return &row;
  }
  if (router.slotCount == kMaxSlots) return nullptr;
  char label[kNameSize];
  buildLabel(readerName, suffix, label);
  SlotEntry &row = router.slotTable[router.slotCount];
  row.id = router.slotCount + 1;
  std::memcpy(row.readerName, readerName, std::strlen(readerName) + 1);
  row.profile = profile;
  std::memcpy(row.label, label, sizeof label);
  ++router.slotCount;
  return &row;
}

void recordBackendSlot(SlotEntry &row, CardFamily family, CK_SLOT_ID backendSlotId) {
  if (family == 1)
    row.backendSlotFamily1 = backendSlotId;
  else
    row.backendSlotFamily2 = backendSlotId;
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

  SlotEntry *common = findOrAddRow(readerName, " common profile", Common);
  if (!common) return 2;
  if (profile == Common) recordBackendSlot(*common, family, backendSlotId);
  SlotEntry *secure = findOrAddRow(readerName, " secure profile", Secure);
  if (!secure) return 2;
  if (profile == Secure) recordBackendSlot(*secure, family, backendSlotId);
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

void completeReaderNames(const char *names) {
  for (uint32_t row = 0; row + 1 < router.slotCount; row += 2) {
    const char *cut = router.slotTable[row].readerName;
    size_t length = std::strlen(cut);
    if (length != kDescriptionSize) continue;  // the whole name fitted
    const char *whole = nullptr;
    for (const char *name = names; *name; name += std::strlen(name) + 1) {
      if (std::strcmp(name, cut) == 0) {
        whole = nullptr;
        break;
      }
      if (!whole && std::strncmp(name, cut, length) == 0 && std::strlen(name) < kReaderNameSize) whole = name;
    }
    if (!whole) continue;
    for (SlotEntry *entry : {&router.slotTable[row], &router.slotTable[row + 1]})
      std::memcpy(entry->readerName, whole, std::strlen(whole) + 1);
  }
}

void clearSlotTable() {
  std::memset(router.slotTable, 0, sizeof router.slotTable);
  router.slotCount = 0;
}

}  // namespace tokenhub
