// Every allocation that the initialisation and the calls after it make, made
// to fail in turn: each call ends with a result (CKR_HOST_MEMORY where the
// failure reached the router's boundary), never with an exception in the
// host's frames, and the library is never left half started.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "session_fixture.h"

// The replacement below pairs malloc with free throughout.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> allocationsMade{0};
std::atomic<long> failingAllocation{0};  // 0: none fails
std::atomic<bool> counting{false};

bool failsNow() {
  if (!counting.load()) return false;
  return ++allocationsMade == failingAllocation.load();
}
}  // namespace

void *operator new(std::size_t size) {
  if (failsNow()) throw std::bad_alloc();
  if (void *p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return failsNow() ? nullptr : std::malloc(size ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept { return operator new(size, tag); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace testkit {
namespace {

void setTraceSwitch(const char *path) {
#ifdef _WIN32
  _putenv_s("TOKENHUB_LOG", path);
#else
  if (*path)
    setenv("TOKENHUB_LOG", path, 1);
  else
    unsetenv("TOKENHUB_LOG");
#endif
}

class AllocationFailures : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    addReader("Rd", {1, 2, 3, 4}, kBackendSlot);
    pcsc().insert("Rd", kAtrFamily1);
    tracePath = ::testing::TempDir() + "allocation_trace.log";
    std::remove(tracePath.c_str());
    setTraceSwitch(tracePath.c_str());
  }
  void TearDown() override {
    setTraceSwitch("");
    SessionTest::TearDown();
  }

  // The initialisation, a slot list, a token's information, a session with
  // a search that finds two objects, its close and the finalisation; with
  // the allocation numbered `failing` (counted from the first call) failing.
  std::vector<CK_RV> run(long failing) {
    const CK_ULONG queued[] = {0x51, 0x52};
    mock::mockQueueHandles(1, queued, 2);
    std::vector<CK_RV> results;
    results.reserve(9);
    allocationsMade = 0;
    failingAllocation = failing;
    counting = true;
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    CK_TOKEN_INFO token;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE found[4];
    CK_ULONG foundCount = 0;
    results.push_back(C_Initialize(nullptr));
    results.push_back(C_GetSlotList(CK_FALSE, slots, &count));
    results.push_back(C_GetTokenInfo(1, &token));
    results.push_back(C_OpenSession(1, kSerial, nullptr, nullptr, &session));
    results.push_back(C_FindObjectsInit(session, nullptr, 0));
    results.push_back(C_FindObjects(session, found, 4, &foundCount));
    results.push_back(C_FindObjectsFinal(session));
    results.push_back(C_CloseSession(session));
    results.push_back(C_Finalize(nullptr));
    counting = false;
    while (C_Finalize(nullptr) == CKR_OK) {
    }
    return results;
  }

  std::string tracePath;
};

TEST_F(AllocationFailures, EachEndsInAResultAndTheLibraryStartsAgainWhole) {
  ASSERT_EQ(run(0), std::vector<CK_RV>(9, CKR_OK));
  const long made = allocationsMade;
  ASSERT_GT(made, 0) << "the sequence allocates nothing: the proof would prove nothing";
  const std::set<CK_RV> allowed = {CKR_OK, CKR_HOST_MEMORY, CKR_CRYPTOKI_NOT_INITIALIZED,
                                   CKR_SESSION_HANDLE_INVALID, CKR_OPERATION_NOT_INITIALIZED};
  long reachedBoundary = 0;
  for (long n = 1; n <= made; ++n) {
    std::vector<CK_RV> results;
    ASSERT_NO_THROW(results = run(n)) << "allocation " << n;
    for (CK_RV rv : results) EXPECT_TRUE(allowed.count(rv)) << "allocation " << n << ": 0x" << std::hex << rv;
    for (CK_RV rv : results) reachedBoundary += rv == CKR_HOST_MEMORY;
    // A start that failed finalised every backend it had started.
    for (uint32_t role = 1; role <= 4; ++role)
      EXPECT_EQ(mock::mockCount(role, fn(tokenhub::Fn::C_Initialize)),
                mock::mockCount(role, fn(tokenhub::Fn::C_Finalize)))
          << "allocation " << n << ", role " << role;
    // Whatever failed, the next start is whole: both slots, and a session.
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK) << "allocation " << n;
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u) << "allocation " << n;
    EXPECT_NE(open(), 0u) << "allocation " << n;
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED) << "allocation " << n << ": initialised twice";
  }
  EXPECT_GT(reachedBoundary, 0) << "no failure reached the boundary of " << made << " allocations";
#ifndef _WIN32  // Wine runs every program elevated: the switch then comes from the machine's registry only
  std::ifstream trace(tracePath);
  std::stringstream text;
  text << trace.rdbuf();
  EXPECT_NE(text.str().find("ended by an exception (out of memory) -> CKR_HOST_MEMORY"), std::string::npos);
#endif
  std::printf("%ld allocations, each failed in turn; %ld calls answered CKR_HOST_MEMORY\n", made, reachedBoundary);
}

// The start itself allocates nothing; a card service whose reader list ends
// in an exception stands for any failure in its middle, after the backends
// were started.
TEST_F(AllocationFailures, AStartEndedByAnExceptionFinalisesWhatItStarted) {
  static tokenhub::PcscApi throwing;
  const tokenhub::PcscApi *service = &tokenhub::pcscService();
  throwing = *service;
  throwing.listReaders = [](tokenhub::PcscContext, char *, uint32_t *) -> tokenhub::PcscResult {
    throw std::bad_alloc();
  };
  tokenhub::setPcscApi(&throwing);
  EXPECT_EQ(C_Initialize(nullptr), CKR_HOST_MEMORY);
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  for (uint32_t role = 1; role <= 4; ++role) {
    EXPECT_EQ(mock::mockCount(role, fn(tokenhub::Fn::C_Initialize)), 1u) << "role " << role;
    EXPECT_EQ(mock::mockCount(role, fn(tokenhub::Fn::C_Finalize)), 1u) << "role " << role;
  }
  tokenhub::setPcscApi(service);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_NE(open(), 0u);
}

}  // namespace
}  // namespace testkit
