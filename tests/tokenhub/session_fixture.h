// Router tests that work on open sessions: one reader "Rd" known to all four
// mock modules as their slot 7, virtual slots 1 (common) and 2 (secure).
#pragma once
#include <algorithm>
#include <iterator>
#include <vector>

#include "handles/objects.h"
#include "router_fixture.h"
#include "handles/sessions.h"

namespace testkit {

constexpr CK_SLOT_ID kBackendSlot = 7;
constexpr CK_FLAGS kSerial = CKF_SERIAL_SESSION;

class SessionTest : public RouterTest {
 protected:
  // Initialises the router with the card of `atr` in "Rd".
  void start(const std::vector<uint8_t> &atr = kAtrFamily1) {
    addReader("Rd", {1, 2, 3, 4}, kBackendSlot);
    pcsc().insert("Rd", atr);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  }

  CK_SESSION_HANDLE open(CK_SLOT_ID slot = 1) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(C_OpenSession(slot, kSerial, nullptr, nullptr, &h), CKR_OK);
    return h;
  }

  // The backend's handle behind a router session handle; 0 if none.
  static CK_SESSION_HANDLE backendSession(CK_SESSION_HANDLE h) {
    tokenhub::SessionEntry s;
    return tokenhub::findSession(h, s) == CKR_OK ? s.backendHandle : 0;
  }
  static CK_OBJECT_HANDLE backendObject(CK_OBJECT_HANDLE h) {
    tokenhub::ObjectEntry o;
    return tokenhub::findObject(h, tokenhub::HandleKind::Object, o) == CKR_OK ? o.backendHandle : 0;
  }

  // Router handles of the given backend objects, as a search on session h finds them.
  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE h, uint32_t role, std::vector<CK_ULONG> backendHandles) {
    mock::mockQueueHandles(role, backendHandles.data(), static_cast<uint32_t>(backendHandles.size()));
    std::vector<CK_OBJECT_HANDLE> found(backendHandles.size() + 1, 0);
    CK_ULONG count = 99;
    EXPECT_EQ(C_FindObjects(h, found.data(), static_cast<CK_ULONG>(found.size()), &count), CKR_OK);
    EXPECT_EQ(count, backendHandles.size());
    found.resize(count);
    return found;
  }

  static size_t objectRowsInUse() {
    size_t n = 0;
    for (const tokenhub::ObjectEntry &row : tokenhub::objects.rows) n += row.routerHandle != 0;
    return n;
  }

  // Rows an index names: the rows in use, no more, or freed rows stay in it.
  template <unsigned N>
  static size_t indexed(const tokenhub::RowIndex<N> &index) {
    return std::count_if(std::begin(index.buckets), std::end(index.buckets), [](uint16_t b) { return b != 0; });
  }

  // The last logged call of f by role, as words.
  static const mock::Call &lastCall(uint32_t role, tokenhub::Fn f) {
    uint32_t n = mock::mockCount(role, fn(f));
    const mock::Call *c = n ? mock::mockFind(role, fn(f), n - 1) : nullptr;
    static const mock::Call none{};
    EXPECT_NE(c, nullptr) << "no call of function " << fn(f) << " by role " << role;
    return c ? *c : none;
  }
};

template <typename T>
uintptr_t word(T value) {
  return mock::toWord(value);
}

}  // namespace testkit
