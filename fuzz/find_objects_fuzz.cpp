// The backend's answers to C_FindObjects: the handles it finds, the count
// it claims (also above what the caller has room for) and the caller's
// maximum (also far beyond the object table), with the table empty or
// nearly full. The router must write no more than the caller's maximum,
// hand out only handles that stand for what the backend found, give one
// backend object one router handle, and on a full table leave the count alone.
#include <algorithm>
#include <map>

#include "handles/objects.h"
#include "router_rig.h"

using namespace tokenhub;

namespace {

constexpr CK_OBJECT_HANDLE kUnwritten = 0xA5A5A5A5u;
constexpr CK_ULONG kRoom = kMaxObjects + 64;  // the caller's real array

// Rows in use by objects of the secure slot, all but `freeRows` of the table.
void fillTable(unsigned freeRows) {
  unsigned used = freeRows < kMaxObjects ? kMaxObjects - freeRows : 0;
  objects.lastObjectHandle = 0x1000000u;  // router handles far from the backend's
  for (unsigned i = 0; i < used; ++i) mapObject(&router.slotTable[1], 0x900000u + i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const CK_SESSION_HANDLE session = fuzzrig::sessionOnFamily1Card();
  fuzzrig::Input in(data, size);
  const uint8_t flags = in.byte();
  clearObjectTable();
  if (flags & 1) fillTable(in.byte());
  // The caller's maximum: usually within its array, sometimes a wild claim.
  CK_ULONG max = flags & 2 ? CK_ULONG(in.u32()) : in.u16() % kRoom;
  if (flags & 4) max = ~CK_ULONG(0) - in.byte();
  mock::Backend &backend = mock::mockControl()->backends[0];
  // A claimed count: mostly small, sometimes any number.
  backend.findReported = flags & 8 ? (flags & 32 ? in.u32() : in.byte()) : 0;
  backend.handleCount = backend.handleNext = 0;
  std::vector<CK_ULONG> queued;
  while (!in.empty() && queued.size() < mock::kMaxHandles) queued.push_back(flags & 16 ? in.byte() : in.u32());
  mock::mockQueueHandles(1, queued.data(), static_cast<uint32_t>(queued.size()));
  mock::mockControl()->logCount = 0;

  std::vector<CK_OBJECT_HANDLE> out(kRoom, kUnwritten);
  CK_ULONG count = kUnwritten;
  // A caller never has room for more than its array; what it claims beyond
  // that is only checked against what the router writes.
  CK_RV rv = C_FindObjects(session, out.data(), max, &count);
  if (max == 0) {
    FUZZ_CHECK(rv == CKR_ARGUMENTS_BAD);
    return 0;
  }
  const CK_ULONG written = std::min<CK_ULONG>(backend.handleNext, max);  // what the backend put in the array
  CK_ULONG mapped = 0;
  if (rv == CKR_OK) {
    FUZZ_CHECK(count <= max && count <= kMaxObjects);
    mapped = count;
  } else {
    FUZZ_CHECK(rv == CKR_FUNCTION_FAILED);
    FUZZ_CHECK(count == kUnwritten);
    bool full = std::none_of(std::begin(objects.rows), std::end(objects.rows),
                             [](const ObjectEntry &row) { return row.routerHandle == 0; });
    FUZZ_CHECK(full);
    while (mapped < kRoom && out[mapped] != 0 && out[mapped] != kUnwritten) ++mapped;
    FUZZ_CHECK(mapped < kRoom && out[mapped] == 0);  // the failing position holds 0
  }
  for (CK_ULONG i = mapped + (rv == CKR_OK ? 0 : 1); i < kRoom; ++i) FUZZ_CHECK(out[i] == kUnwritten);

  std::map<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> routerOf;
  for (CK_ULONG i = 0; i < mapped; ++i) {
    ObjectEntry object;
    FUZZ_CHECK(findObject(out[i], HandleKind::Object, object) == CKR_OK);
    FUZZ_CHECK(object.slot == &router.slotTable[0]);
    // What the backend wrote there; a position it claimed but left alone names no backend object.
    FUZZ_CHECK(object.backendHandle == (i < written ? queued[i] : 0));
    auto known = routerOf.emplace(object.backendHandle, out[i]);
    FUZZ_CHECK(known.first->second == out[i]);
  }
  FUZZ_CHECK(routerOf.size() <= mapped);
  return 0;
}
