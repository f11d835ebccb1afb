// With a PC/SC daemon that keeps running while one of its two readers is
// unplugged and plugged in again (scripts/pcscd-hotplug): a blocking
// C_WaitForSlotEvent reports the unplugged reader's card removed, once; its
// slots have no token; the other reader keeps reporting; the reader that
// comes back is served again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

#include "cardemu.h"
#include "daemon.h"
#include "state/functions.h"
#include "mockctl.h"
#include "state/state.h"

using namespace tokenhub;
using namespace testkit;

namespace {

constexpr CK_RV rv(CK_RV v) { return v; }
const char *kUnpluggable = "Unpluggable Reader 00 00";
const char *kStaying = "Staying Reader 00 00";
constexpr uint16_t kUnpluggablePort = 35975;
constexpr uint16_t kStayingPort = 35977;
const Bytes kAtrPattern1 = fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1");
const std::string kRescan = std::string("bash " PCSCD_HOTPLUG " rescan ") + HOTPLUG_DIR;
const std::string kUnplugged = std::string(HOTPLUG_DIR) + "/unplugged-a";
constexpr auto kDeadline = std::chrono::seconds(15);

std::atomic<long> statusQueries{0};
std::atomic<long> contextsTaken{0};

// The platform's card service with the router's status queries and contexts counted.
PcscApi countingPcsc() {
  PcscApi api = platformPcsc();
  api.getStatusChange = [](PcscContext c, uint32_t t, ReaderState *s, uint32_t n) {
    ++statusQueries;
    return platformPcsc().getStatusChange(c, t, s, n);
  };
  api.establishContext = [](PcscContext *c) {
    ++contextsTaken;
    return platformPcsc().establishContext(c);
  };
  return api;
}

// A thread's processor time so far (user and system), in seconds.
double cpuSeconds(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // After the command's closing parenthesis: state, then fields 4 to 13; utime and stime follow.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  unsigned long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

EmulatedCard cardWithSerial(const char *first5) {
  EmulatedCard card{kAtrPattern1};
  card.card.layout = 1;
  card.card.file = serialFile(fromHex(first5));
  return card;
}

// Every return of a blocking C_WaitForSlotEvent, run again and again on a
// thread of its own until one does not answer CKR_OK.
class Waiter {
 public:
  Waiter() : thread_([this] { run(); }) {}
  ~Waiter() {
    while (router.initCount) C_Finalize(nullptr);  // ends the wait
    thread_.join();
  }
  // The next `slots.size()` returns report these slots, in this order.
  void expect(const std::vector<CK_SLOT_ID> &slots) {
    std::unique_lock<std::mutex> hold(lock_);
    // Not beyond a return that ended the waiting.
    changed_.wait_for(hold, kDeadline, [&] {
      return returns_.size() >= taken_ + slots.size() || (!returns_.empty() && returns_.back().result != CKR_OK);
    });
    std::vector<Return> next(returns_.begin() + taken_, returns_.end());
    std::string seen;
    for (const Return &r : next) seen += " (rv " + std::to_string(r.result) + ", slot " + std::to_string(r.slot) + ")";
    ASSERT_GE(next.size(), slots.size()) << "returns:" << seen;
    for (size_t i = 0; i < slots.size(); ++i) {
      EXPECT_EQ(next[i].result, rv(CKR_OK)) << "event " << i;
      EXPECT_EQ(next[i].slot, slots[i]) << "event " << i;
    }
    taken_ += slots.size();
  }
  // After C_Finalize: nothing but the events expected, then the end.
  void expectEnd() {
    thread_.join();
    thread_ = std::thread([] {});
    ASSERT_EQ(returns_.size(), taken_ + 1) << "returns beyond the events";
    EXPECT_EQ(returns_.back().result, rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  }

 private:
  struct Return {
    CK_RV result;
    CK_SLOT_ID slot;
  };
  void run() {
    tid_ = static_cast<pid_t>(syscall(SYS_gettid));
    for (;;) {
      CK_SLOT_ID slot = 0;
      CK_RV result = C_WaitForSlotEvent(0, &slot, nullptr);
      std::lock_guard<std::mutex> hold(lock_);
      returns_.push_back({result, slot});
      changed_.notify_all();
      if (result != CKR_OK) return;
    }
  }
  std::mutex lock_;
  std::condition_variable changed_;

 public:
  std::atomic<pid_t> tid_{0};

 private:
  std::vector<Return> returns_;
  size_t taken_ = 0;
  std::thread thread_;
};

std::string serialOf(CK_SLOT_ID slot) {
  CK_TOKEN_INFO info;
  std::memset(&info, 0, sizeof info);
  EXPECT_EQ(C_GetTokenInfo(slot, &info), rv(CKR_OK));
  return std::string(reinterpret_cast<char *>(info.serialNumber), 16);
}

// A status query naming only this reader, as the card service answers it.
PcscResult daemonAnswers(const char *reader) {
  PcscContext context = 0;
  if (platformPcsc().establishContext(&context) != kScardSuccess) return kScardENoService;
  ReaderState state;
  std::memset(&state, 0, sizeof state);
  state.reader = reader;
  PcscResult result = platformPcsc().getStatusChange(context, 0, &state, 1);
  platformPcsc().releaseContext(context);
  return result;
}

// The card emulator's connection, once vpcd listens again on the port of a
// reader that came back.
bool insertWhenListening(CardEmulator &reader, const EmulatedCard &card) {
  for (auto until = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < until;) {
    if (reader.insert(card)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(UnpluggedReader, IsAnEmptyReaderWhileGoneAndIsServedAgainWhenBack) {
  static const PcscApi counting = countingPcsc();
  setPcscApi(&counting);
  std::remove(kUnplugged.c_str());
  mock::mockReset();
  for (uint32_t role = 1; role <= 4; ++role) {
    mock::mockAddSlot(role, 1, kUnpluggable, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    mock::mockAddSlot(role, 2, kStaying, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
  }
  CardEmulator unpluggable{kUnpluggablePort}, staying{kStayingPort};
  ASSERT_TRUE(unpluggable.insert(cardWithSerial("11 11 11 11 11"))) << "is the daemon of pcscd-hotplug running?";
  ASSERT_TRUE(staying.insert(cardWithSerial("22 22 22 22 22")));
  ASSERT_TRUE(daemonSees(kUnpluggable, true));
  ASSERT_TRUE(daemonSees(kStaying, true));

  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u);
  ASSERT_STREQ(router.slotTable[0].readerName, kUnpluggable);
  const CK_SLOT_ID unplug1 = router.slotTable[0].id, unplug2 = router.slotTable[1].id;
  const CK_SLOT_ID stay1 = router.slotTable[2].id, stay2 = router.slotTable[3].id;
  EXPECT_EQ(serialOf(unplug1), "1111111111      ");
  EXPECT_EQ(serialOf(stay1), "2222222222      ");
  Waiter waiter;

  // Unplugged (its device gone, then the daemon's re-check): the daemon no
  // longer knows the reader, and its card is reported removed, once.
  std::ofstream(kUnplugged).put('\n');
  ASSERT_EQ(std::system(kRescan.c_str()), 0);
  waiter.expect({unplug1, unplug2});
  EXPECT_EQ(daemonAnswers(kUnpluggable), kScardEUnknownReader) << "the reader is unknown, not unavailable";
  unpluggable.remove();
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(unplug1, &info), rv(CKR_TOKEN_NOT_PRESENT));
  EXPECT_EQ(C_GetTokenInfo(unplug2, &info), rv(CKR_TOKEN_NOT_PRESENT));
  // The other reader keeps reporting and serving.
  EXPECT_EQ(serialOf(stay1), "2222222222      ");
  staying.remove();
  waiter.expect({stay1, stay2});
  ASSERT_TRUE(staying.insert(cardWithSerial("33 33 33 33 33")));
  waiter.expect({stay1, stay2});
  // Waiting with a reader gone costs a few queries a second, not a spin; and
  // once nothing happens (no card read of late, whose end the daemon reports
  // as a change), only the wait's own look for the reader's return can tell
  // that it is back.
  long before = statusQueries;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_LT(statusQueries - before, 30) << "status queries in 2 s with one reader gone";

  // Plugged in again: served under its name, its card reported inserted.
  std::remove(kUnplugged.c_str());
  ASSERT_EQ(std::system(kRescan.c_str()), 0);
  ASSERT_TRUE(insertWhenListening(unpluggable, cardWithSerial("44 44 44 44 44")));
  waiter.expect({unplug1, unplug2});
  EXPECT_EQ(serialOf(unplug1), "4444444444      ");
  EXPECT_EQ(serialOf(stay1), "3333333333      ");

  ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  waiter.expectEnd();
  setPcscApi(nullptr);
}

// A blocking wait while no reader can be watched: its only reader
// unplugged, or backends that list none. Over 10 s it takes no context
// after its first, uses no measurable processor time and asks the service
// a few times a second at most; the reader that comes back is served again.
TEST(UnpluggedReader, AWaitWithNoReaderToWatchCostsNothing) {
  static const PcscApi counting = countingPcsc();
  setPcscApi(&counting);
  std::remove(kUnplugged.c_str());
  CardEmulator unpluggable{kUnpluggablePort};
  for (bool listed : {true, false}) {
    SCOPED_TRACE(listed ? "its only reader unplugged" : "no reader listed");
    mock::mockReset();
    if (listed)
      for (uint32_t role = 1; role <= 4; ++role)
        mock::mockAddSlot(role, 1, kUnpluggable, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    if (listed) ASSERT_TRUE(insertWhenListening(unpluggable, cardWithSerial("55 55 55 55 55")));
    ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
    ASSERT_EQ(router.slotCount, listed ? 2u : 0u);
    Waiter waiter;
    if (listed) {
      std::ofstream(kUnplugged).put('\n');
      ASSERT_EQ(std::system(kRescan.c_str()), 0);
      waiter.expect({1, 2});
      unpluggable.remove();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_NE(waiter.tid_.load(), 0);
    long contexts = contextsTaken, queries = statusQueries;
    double cpu = cpuSeconds(waiter.tid_);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    contexts = contextsTaken - contexts;
    queries = statusQueries - queries;
    cpu = cpuSeconds(waiter.tid_) - cpu;
    std::printf("[ figures  ] %s: in 10 s %ld contexts taken, %ld status queries, %.2f s processor time\n",
                listed ? "only reader unplugged" : "no reader listed", contexts, queries, cpu);
    EXPECT_LE(contexts, 1);
    EXPECT_LE(queries, 60);
    EXPECT_LT(cpu, 0.05);
    if (listed) {
      // Plugged in again: found on the service's notice, well within the second.
      std::remove(kUnplugged.c_str());
      ASSERT_EQ(std::system(kRescan.c_str()), 0);
      ASSERT_TRUE(insertWhenListening(unpluggable, cardWithSerial("66 66 66 66 66")));
      waiter.expect({1, 2});
      EXPECT_EQ(serialOf(1), "6666666666      ");
    }
    ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
    waiter.expectEnd();
  }
  setPcscApi(nullptr);
}

// pcsc-lite counts the readers when a wait starts inside the service: a
// reader attached just before that start ends no wait of its own. The
// router finds it all the same, at its next look at the list.
TEST(UnpluggedReader, AReaderAttachedJustBeforeAWaitStartsIsFound) {
  static std::atomic<bool> plugNext{false};
  static const PcscApi plugging = [] {
    PcscApi api = platformPcsc();
    api.getStatusChange = [](PcscContext c, uint32_t t, ReaderState *s, uint32_t n) {
      if (t != 0 && n && std::strcmp(s[n - 1].reader, kPnpNotification) == 0 && plugNext.exchange(false)) {
        mock::mockAddSlot(1, 2, kUnpluggable, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
        std::remove(kUnplugged.c_str());
        EXPECT_EQ(std::system(kRescan.c_str()), 0);  // returns once the daemon lists it
      }
      return platformPcsc().getStatusChange(c, t, s, n);
    };
    return api;
  }();
  mock::mockReset();
  mock::mockAddSlot(1, 1, kStaying, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  std::ofstream(kUnplugged).put('\n');
  ASSERT_EQ(std::system(kRescan.c_str()), 0);
  setPcscApi(&plugging);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 2u);
  plugNext = true;
  Waiter waiter;
  waiter.expect({3});
  EXPECT_FALSE(plugNext) << "the wait inside the service was reached";
  EXPECT_EQ(router.slotCount, 4u);
  ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  waiter.expectEnd();
  setPcscApi(nullptr);
}

// The daemon counts each reader's card events: a card pulled and another
// inserted within half a second, between two polls, is the first card's
// removal and an insertion.
TEST(UnpluggedReader, ACardSwappedBetweenTwoPollsIsARemovalAndAnInsertion) {
  mock::mockReset();
  for (uint32_t role = 1; role <= 4; ++role)
    mock::mockAddSlot(role, 1, kStaying, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
  CardEmulator staying{kStayingPort};
  ASSERT_TRUE(staying.insert(cardWithSerial("1A 1A 1A 1A 1A")));
  ASSERT_TRUE(daemonSees(kStaying, true));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT));
  auto swapping = std::chrono::steady_clock::now();
  staying.remove();
  ASSERT_TRUE(daemonSees(kStaying, false));
  ASSERT_TRUE(staying.insert(cardWithSerial("2B 2B 2B 2B 2B")));
  ASSERT_TRUE(daemonSees(kStaying, true));
  EXPECT_LT(std::chrono::steady_clock::now() - swapping, std::chrono::milliseconds(500));
  for (CK_SLOT_ID expected : {1, 1, 2, 2}) {
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
    EXPECT_EQ(slot, expected);
  }
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT));
  EXPECT_EQ(serialOf(1), "2B2B2B2B2B      ");
  ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  staying.remove();
}

}  // namespace
