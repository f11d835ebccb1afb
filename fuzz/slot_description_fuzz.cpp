// Registration of backend slots with arbitrary 64-byte descriptions, ids,
// families and profiles: labels stay NUL-terminated and within 64
// characters, rows stay paired, and two rows of one profile under one reader
// name (compared whole, ignoring case) are twins, which never hold the same
// backend slots.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include "state/slottable.h"
#include "state/state.h"

using namespace tokenhub;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  clearSlotTable();
  // Each record: 1 byte (profile, family), 1 byte slot id, 64 bytes description.
  constexpr size_t kRecord = 66;
  for (size_t at = 0; at + kRecord <= size; at += kRecord) {
    CK_SLOT_INFO info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.slotDescription, data + at + 2, 64);
    int result = registerBackendSlot(data[at] & 1, (data[at] >> 1 & 1) + 1, data[at + 1], info);
    if (result < 0 || result > 3) __builtin_trap();
  }
  if (router.slotCount % 2 != 0 || router.slotCount > kMaxSlots) __builtin_trap();
  for (uint32_t i = 0; i < router.slotCount; ++i) {
    const SlotEntry &row = router.slotTable[i];
    if (row.id != i + 1 || row.profile != (i % 2)) __builtin_trap();
    if (std::memchr(row.label, 0, sizeof row.label) == nullptr || std::strlen(row.label) > 64) __builtin_trap();
    if (std::strcmp(row.readerName, router.slotTable[i & ~1u].readerName) != 0) __builtin_trap();
    for (uint32_t j = 0; j < i; ++j)
      if (router.slotTable[j].profile == row.profile && strcasecmp(router.slotTable[j].readerName, row.readerName) == 0 &&
          (row.backendSlotFamily1 || row.backendSlotFamily2) &&
          router.slotTable[j].backendSlotFamily1 == row.backendSlotFamily1 &&
          router.slotTable[j].backendSlotFamily2 == row.backendSlotFamily2)
        __builtin_trap();
  }
  for (uint32_t i = router.slotCount; i < kMaxSlots; ++i)
    if (router.slotTable[i].id != 0) __builtin_trap();
  return 0;
}
