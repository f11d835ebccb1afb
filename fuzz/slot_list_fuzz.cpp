// The backends' answers while C_Initialize builds the slot table: slot
// lists of any length (also counts above 64 and above what was written),
// any slot ids, descriptions of any bytes, refused slot queries. The table
// must stay paired and within 64 rows, every virtual slot must answer the
// slot queries with its label, and every backend slot id recorded must be
// one that the module serving that row reported.
#include <cstring>
#include <set>

#include "router_rig.h"

using namespace tokenhub;

namespace {

const CK_RV kSlotInfoResults[] = {CKR_OK, CKR_SLOT_ID_INVALID, CKR_DEVICE_ERROR, CKR_OK};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool installed = (fuzzrig::installRig(), true);
  (void)installed;
  fuzzrig::Input in(data, size);
  mock::mockReset();
  std::set<CK_SLOT_ID> idsOf[mock::kRoles];
  for (uint32_t role = 1; role <= mock::kRoles; ++role) {
    mock::Backend &b = mock::mockControl()->backends[role - 1];
    uint8_t header = in.byte();
    b.reportedSlotCount = header & 0x80 ? in.u16() : 0;
    b.slotCount = (header & 0x7F) % (mock::kMaxSlots + 1);
    for (CK_ULONG i = 0; i < b.slotCount; ++i) {
      mock::Slot &s = b.slots[i];
      uint8_t shape = in.byte();
      s.id = in.byte();
      s.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (shape & 1 ? CKF_TOKEN_PRESENT : 0);
      s.slotInfoResult = kSlotInfoResults[shape >> 1 & 3];
      std::memset(s.description, ' ', sizeof s.description);
      std::vector<uint8_t> text = in.bytes(in.byte() % 65);  // up to 64 bytes, any of them
      if (!text.empty()) std::memcpy(s.description, text.data(), text.size());
      idsOf[role - 1].insert(s.id);
    }
  }
  mock::mockControl()->logCount = 0;

  FUZZ_CHECK(C_Initialize(nullptr) == CKR_OK);
  const uint32_t rows = router.slotCount;
  FUZZ_CHECK(rows % 2 == 0 && rows <= kMaxSlots);
  CK_SLOT_ID list[kMaxSlots + 1] = {};
  CK_ULONG count = kMaxSlots + 1;
  FUZZ_CHECK(C_GetSlotList(CK_FALSE, list, &count) == CKR_OK && count == rows);
  for (uint32_t i = 0; i < rows; ++i) {
    FUZZ_CHECK(list[i] == i + 1);
    CK_SLOT_INFO info;
    FUZZ_CHECK(C_GetSlotInfo(list[i], &info) == CKR_OK);
    const SlotEntry &row = router.slotTable[i];
    size_t labelLength = std::strlen(row.label);
    FUZZ_CHECK(labelLength <= sizeof info.slotDescription);
    FUZZ_CHECK(std::memcmp(info.slotDescription, row.label, labelLength) == 0);
    for (size_t j = labelLength; j < sizeof info.slotDescription; ++j) FUZZ_CHECK(info.slotDescription[j] == ' ');
    const char *suffix = i % 2 == 0 ? " common profile" : " secure profile";
    FUZZ_CHECK(labelLength >= 15 && std::strcmp(row.label + labelLength - 15, suffix) == 0);
    unsigned family1Role = roleIndex(1, row.profile), family2Role = roleIndex(2, row.profile);
    FUZZ_CHECK(row.backendSlotFamily1 == 0 || idsOf[family1Role].count(row.backendSlotFamily1));
    FUZZ_CHECK(row.backendSlotFamily2 == 0 || idsOf[family2Role].count(row.backendSlotFamily2));
  }
  FUZZ_CHECK(C_Finalize(nullptr) == CKR_OK);
  return 0;
}
