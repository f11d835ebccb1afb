// Many application threads opening, searching, creating, destroying and
// closing through the router at once: no session or object handle may be
// given out twice at the same time, reach another thread's slot, or get lost.
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "session_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

class Concurrency : public SessionTest {};

TEST_F(Concurrency, EightThreadsNeverCrossHandles) {
  constexpr unsigned kThreads = 8, kRounds = 1500;
  for (unsigned r = 0; r < kThreads / 2; ++r) addReader("Rd" + std::to_string(r), {1, 2}, 10 + r);
  for (unsigned r = 0; r < kThreads / 2; ++r) pcsc().insert("Rd" + std::to_string(r), kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  ASSERT_EQ(router.slotCount, kThreads);

  std::mutex heldLock;
  std::set<CK_ULONG> heldSessions, heldObjects;
  std::atomic<unsigned> faults{0};
  auto claim = [&](std::set<CK_ULONG> &held, CK_ULONG h) {
    std::lock_guard<std::mutex> hold(heldLock);
    if (h == 0 || !held.insert(h).second) ++faults;
  };
  auto release = [&](std::set<CK_ULONG> &held, CK_ULONG h) {
    std::lock_guard<std::mutex> hold(heldLock);
    held.erase(h);
  };

  auto worker = [&](CK_SLOT_ID slot) {
    for (unsigned round = 0; round < kRounds; ++round) {
      CK_SESSION_HANDLE s = 0;
      if (C_OpenSession(slot, kSerial, nullptr, nullptr, &s) != CKR_OK) { ++faults; continue; }
      claim(heldSessions, s);
      CK_SESSION_INFO info{};
      if (C_GetSessionInfo(s, &info) != CKR_OK || info.slotID != slot) ++faults;
      CK_OBJECT_HANDLE created[3] = {};
      for (CK_OBJECT_HANDLE &o : created) {
        if (C_CreateObject(s, nullptr, 0, &o) != CKR_OK) ++faults;
        claim(heldObjects, o);
        ObjectEntry entry{};
        if (findObject(o, HandleKind::Object, entry) != CKR_OK || entry.slot->id != slot) ++faults;
      }
      CK_OBJECT_HANDLE found[4];
      CK_ULONG count = 0;
      if (C_FindObjects(s, found, 4, &count) != CKR_OK) ++faults;
      for (CK_OBJECT_HANDLE o : created) {
        release(heldObjects, o);
        if (C_DestroyObject(s, o) != CKR_OK) ++faults;
        if (C_DestroyObject(s, o) != CKR_OBJECT_HANDLE_INVALID) ++faults;
      }
      release(heldSessions, s);
      if (C_CloseSession(s) != CKR_OK) ++faults;
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) threads.emplace_back(worker, t + 1);
  for (std::thread &t : threads) t.join();

  EXPECT_EQ(faults.load(), 0u);
  EXPECT_EQ(sessions.lastSessionHandle, kThreads * kRounds) << "no handle lost or issued twice";
  EXPECT_EQ(objects.lastObjectHandle, kThreads * kRounds * 3);
  for (const SessionEntry &s : sessions.rows) EXPECT_EQ(s.routerHandle, 0u);
  EXPECT_EQ(objectRowsInUse(), 0u);
}

// Readers attached between rounds in which threads list the slots, wait for
// events and open and close sessions at once: the first to look adds the
// pair, the list never shrinks and no slot changes its reader.
TEST_F(Concurrency, SlotsAddedWhileThreadsListWaitAndCloseNeverMove) {
  constexpr unsigned kThreads = 4, kReaders = 12;
  addReader("Rd0", {1, 2}, 10);
  pcsc().insert("Rd0", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  std::atomic<unsigned> faults{0};
  for (unsigned r = 1; r < kReaders; ++r) {
    addReader("Rd" + std::to_string(r), {1, 2}, 10 + r);  // no thread reads the modules' lists meanwhile
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        CK_ULONG before = 0;
        for (int i = 0; i < 40; ++i) {
          CK_SLOT_ID slot = 0, ids[kMaxSlots];
          CK_ULONG count = t % 2 ? kMaxSlots : 0;  // half of them only read the table
          if (C_GetSlotList(CK_FALSE, t % 2 ? ids : nullptr, &count) != CKR_OK || count < before) ++faults;
          before = count;
          C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
          CK_SLOT_INFO info;
          for (CK_SLOT_ID id = 1; id <= count; id += 2) {
            std::string label = "Rd" + std::to_string(id / 2) + " common profile";
            if (C_GetSlotInfo(id, &info) != CKR_OK || std::string(reinterpret_cast<char *>(info.slotDescription),
                                                                  label.size()) != label)
              ++faults;
          }
          CK_SESSION_HANDLE s = 0;
          if (C_OpenSession(1, kSerial, nullptr, nullptr, &s) != CKR_OK || C_CloseSession(s) != CKR_OK) ++faults;
        }
      });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(router.slotCount, 2 * (r + 1));
  }
  EXPECT_EQ(faults.load(), 0u);
}

}  // namespace
