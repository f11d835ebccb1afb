// With the real PC/SC daemon, the two virtual readers and emulated cards:
// the card serial read over a real connection, and card insertion and
// removal seen by C_WaitForSlotEvent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "cardemu.h"
#include "daemon.h"
#include "state/functions.h"
#include "mockctl.h"
#include "state/state.h"

using namespace tokenhub;
using namespace testkit;
using Clock = std::chrono::steady_clock;

namespace {

constexpr CK_RV rv(CK_RV v) { return v; }
const char *kReader0 = "Virtual PCD 00 00";
const char *kReader1 = "Virtual PCD 00 01";
const Bytes kAtrPattern1 = fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1");
const Bytes kAtrPattern3 = fromHex("3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C");


EmulatedCard cardOf(const Bytes &atr, int layout, const Bytes &file) {
  EmulatedCard card{atr};
  card.card.layout = layout;
  card.card.file = file;
  return card;
}

class RealReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    setPcscApi(nullptr);
    setSleepHook(nullptr);
    // A card that an earlier test took out may still be seen by the daemon.
    ASSERT_TRUE(daemonSees(kReader0, false));
    ASSERT_TRUE(daemonSees(kReader1, false));
    mock::mockReset();
    // Every role lists both readers: reader 0 is backend slot 1, reader 1 slot 2.
    for (uint32_t role = 1; role <= 4; ++role) {
      mock::mockAddSlot(role, 1, kReader0, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
      mock::mockAddSlot(role, 2, kReader1, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    }
  }
  void TearDown() override {
    while (router.initCount) C_Finalize(nullptr);
    // The daemon must see the readers empty before the next test's card,
    // or it takes a quick re-insertion for the same card.
    for (auto [reader, name] : {std::pair{&reader0, kReader0}, std::pair{&reader1, kReader1}}) {
      if (!reader->inserted()) continue;
      reader->remove();
      EXPECT_TRUE(daemonSees(name, false));
    }
  }
  void insert(CardEmulator &reader, const char *name, const EmulatedCard &card) {
    ASSERT_TRUE(reader.insert(card)) << "no vpcd listening: is pcscd running with the vpcd driver?";
    ASSERT_TRUE(daemonSees(name, true));
  }
  std::string serialOf(CK_SLOT_ID slot, std::string *model = nullptr) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(C_GetTokenInfo(slot, &info), rv(CKR_OK));
    if (model) *model = std::string(reinterpret_cast<char *>(info.model), 16);
    return std::string(reinterpret_cast<char *>(info.serialNumber), 16);
  }
  CardEmulator reader0{CardEmulator::kReader0Port};
  CardEmulator reader1{CardEmulator::kReader1Port};
};

TEST_F(RealReaders, SerialNumbersOfBothLayoutsAreReadFromTheCards) {
  insert(reader0, kReader0, cardOf(kAtrPattern1, 1, serialFile(fromHex("1A 2B 3C 4D 5E"))));
  insert(reader1, kReader1, cardOf(kAtrPattern3, 2, serialFile(fromHex("01 02 03 04 05"), fromHex("AB CD EF"))));
  std::strcpy(mock::mockToken(4)->model, "LumeraSecure 3.2");
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u);

  std::string model;
  EXPECT_EQ(serialOf(1, &model), "1A2B3C4D5E      ");
  EXPECT_EQ(model, "LumeraSecure 2.0");
  EXPECT_EQ(reader0.commands(), (std::vector<Bytes>{fromHex("00A4000C023F00"), fromHex("00A4000C022F01"),
                                                    fromHex("00B0000014")}));
  // The daemon counts the insertion: while the card stays in, its serial is
  // kept, also while another program holds the card alone.
  PcscContext other = 0;
  PcscCard held = 0;
  uint32_t protocol = 0;
  ASSERT_EQ(platformPcsc().establishContext(&other), kScardSuccess);
  ASSERT_EQ(platformPcsc().connect(other, kReader0, 1 /* exclusive */, kScardProtocolT1, &held, &protocol), kScardSuccess);
  EXPECT_EQ(serialOf(2, &model), "1A2B3C4D5E      ");
  EXPECT_EQ(model, "LumeraSecure 2.0");
  EXPECT_EQ(reader0.commands().size(), 3u) << "not read again";
  platformPcsc().disconnect(held, kScardLeaveCard);
  platformPcsc().releaseContext(other);
  EXPECT_EQ(serialOf(4, &model), "ABCDEF0102030405");
  EXPECT_EQ(model, "LumeraSecure 3.2") << "role 4's own model stays";
  EXPECT_EQ(reader1.commands().size(), 4u) << "form 1 refused, then form 2";
  EXPECT_EQ(serialOf(3, &model), "ABCDEF0102030405");
  EXPECT_EQ(model, "LumeraSecure 2.0");

  CK_ULONG count = 0;
  EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), rv(CKR_OK));
  EXPECT_EQ(count, 4u);
  CK_SLOT_INFO slot;
  ASSERT_EQ(C_GetSlotInfo(4, &slot), rv(CKR_OK));
  EXPECT_EQ(slot.hardwareVersion.major, 3);
}

TEST_F(RealReaders, ALeadingZeroAShortReadAndTheLongestAtr) {
  insert(reader0, kReader0, cardOf(kAtrPattern1, 1, serialFile(fromHex("00 2B 3C 4D 5E"))));
  // A 33-byte ATR, the longest there is, beginning with pattern 3.
  Bytes longAtr = kAtrPattern3;
  longAtr.resize(33, 0x42);
  insert(reader1, kReader1, cardOf(longAtr, 1, serialFile(fromHex("11 22 33 44 55"))));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(serialOf(1), "2B3C4D5E        ");
  EXPECT_EQ(serialOf(3), "1122334455      ");

  reader0.remove();
  ASSERT_TRUE(daemonSees(kReader0, false));
  Bytes shortFile = serialFile(fromHex("1A 2B 3C 4D 5E"));
  shortFile.resize(19);
  insert(reader0, kReader0, cardOf(kAtrPattern1, 1, shortFile));
  EXPECT_EQ(serialOf(1), "MOCK0001        ") << "a READ answer of 21 bytes gives no serial";
}

TEST_F(RealReaders, NearMissesAndAnEmptyReaderHaveNoToken) {
  Bytes prefix20(kAtrPattern3.begin(), kAtrPattern3.begin() + 20);
  insert(reader0, kReader0, cardOf(prefix20, 1, serialFile(fromHex("1A 2B 3C 4D 5E"))));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_TOKEN_NOT_RECOGNIZED));
  EXPECT_EQ(C_GetTokenInfo(3, &info), rv(CKR_TOKEN_NOT_PRESENT));
  CK_ULONG count = 0;
  EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), rv(CKR_OK));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(reader0.commands().empty()) << "an unrecognised card is not read";
}

TEST_F(RealReaders, WaitForSlotEventSeesInsertionAndRemoval) {
  ASSERT_TRUE(daemonSees(kReader0, false));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT));

  for (bool inserting : {true, false}) {
    SCOPED_TRACE(inserting ? "insertion" : "removal");
    auto waited = std::async(std::launch::async, [] {
      CK_SLOT_ID s = 0;
      CK_RV r = C_WaitForSlotEvent(0, &s, nullptr);
      return std::make_pair(r, s);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (inserting)
      ASSERT_TRUE(reader0.insert(cardOf(kAtrPattern1, 1, {})));
    else
      reader0.remove();
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto [result, first] = waited.get();
    EXPECT_EQ(result, rv(CKR_OK));
    EXPECT_EQ(first, 1u) << "the common slot first";
    auto before = Clock::now();
    EXPECT_EQ(C_WaitForSlotEvent(0, &slot, nullptr), rv(CKR_OK));
    EXPECT_EQ(slot, 2u) << "then the secure slot";
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(50)) << "at once";
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT));
  }
}

// pcscd stopped and started again under an initialised library: a blocking
// wait goes on through it and reports the card inserted afterwards, and the
// slot calls reach the new daemon, all without a new C_Initialize.
TEST_F(RealReaders, TheLibraryOutlivesARestartOfTheDaemon) {
  insert(reader0, kReader0, cardOf(kAtrPattern1, 1, serialFile(fromHex("1A 2B 3C 4D 5E"))));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(serialOf(1), "1A2B3C4D5E      ");
  auto waited = std::async(std::launch::async, [] {
    // Until the common slot is reported with its card in: the removal comes first.
    for (int events = 0; events < 8; ++events) {
      CK_SLOT_ID s = 0;
      CK_RV r = C_WaitForSlotEvent(0, &s, nullptr);
      if (r != CKR_OK) return r;
      if (s == 1 && router.slotTable[0].cardPresent) return r;
    }
    return rv(CKR_GENERAL_ERROR);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(std::system("bash " PCSCD_RIG " restart"), 0);
  // Not through daemonSees: pcsc-lite's client shares reader-state memory
  // between contexts, and two threads querying at once race in it.
  ASSERT_TRUE(reader0.insert(cardOf(kAtrPattern1, 1, serialFile(fromHex("0A 0B 0C 0D 0E")))));
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waited.get(), rv(CKR_OK));
  EXPECT_EQ(serialOf(1), "0A0B0C0D0E      ") << "the card inserted after the restart";
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), rv(CKR_OK));
}

// Readers whose names run past the backends' 64-character slot description,
// as pcsc-lite's names with interface and serial number do: the daemon's
// vpcd entry bears a long name for this test, and its two readers (" 00 00",
// " 00 01") agree in their first 64 characters, as the two slots of a
// two-slot reader do. Each backend describes both; each pair of slots keeps
// its own reader's whole name.
TEST_F(RealReaders, AReaderNamedBeyondItsDescriptionIsServed) {
  const std::string base = "Orvane Virtual Card Reader Model 3121 [CCID Interface] (53691324212792)";
  const std::string reader = base + " 00 00";
  ASSERT_GT(reader.size(), 64u);
  const std::string folder = ::testing::TempDir() + "tokenhub-long-reader";
  struct Restore {
    ~Restore() {  // the default readers again
      if (std::system("bash " PCSCD_RIG " restart >/dev/null") != 0) ADD_FAILURE() << "the rig's default readers";
    }
  } restore;
  std::string command = "mkdir -p " + folder + " && sed 's/^FRIENDLYNAME.*/FRIENDLYNAME \"" + base +
                        "\"/' /etc/reader.conf.d/vpcd > " + folder + "/vpcd && PCSCD_RIG_CONFIG=" + folder +
                        " PCSCD_RIG_READERS='" + base + " 00 0' bash " PCSCD_RIG " restart >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  mock::mockReset();
  const std::string twin = base + " 00 01";
  for (uint32_t role : {1u, 2u})
    for (CK_SLOT_ID slot : {1u, 2u})
      mock::mockAddSlot(role, slot, (slot == 1 ? reader : twin).c_str(),
                        CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u);
  std::set<std::string> names = {router.slotTable[0].readerName, router.slotTable[2].readerName};
  EXPECT_EQ(names, (std::set<std::string>{reader, twin}));
  const CK_SLOT_ID common = router.slotTable[0].readerName == reader ? 1 : 3;

  auto waited = std::async(std::launch::async, [] {
    CK_SLOT_ID s = 0;
    CK_RV r = C_WaitForSlotEvent(0, &s, nullptr);
    return std::make_pair(r, s);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(reader0.insert(cardOf(kAtrPattern1, 1, serialFile(fromHex("1A 2B 3C 4D 5E")))));
  if (waited.wait_for(std::chrono::seconds(5)) != std::future_status::ready) C_Finalize(nullptr);
  EXPECT_EQ(waited.get(), std::make_pair(rv(CKR_OK), common));
  EXPECT_EQ(serialOf(common), "1A2B3C4D5E      ");
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(C_OpenSession(common + 1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), rv(CKR_OK));
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(common == 1 ? 3 : 1, &info), rv(CKR_TOKEN_NOT_PRESENT)) << "the twin's card is not its";
  C_Finalize(nullptr);
  reader0.remove();
  EXPECT_TRUE(daemonSees(reader.c_str(), false));
}

TEST_F(RealReaders, FinalisingEndsABlockingWaitWithin100ms) {
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  auto waited = std::async(std::launch::async, [] {
    CK_SLOT_ID s = 0;
    CK_RV r = C_WaitForSlotEvent(0, &s, nullptr);
    return std::make_pair(r, Clock::now());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto finalising = Clock::now();
  ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  auto [result, ended] = waited.get();
  EXPECT_EQ(result, rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_LT(ended - finalising, std::chrono::milliseconds(100));
}

TEST_F(RealReaders, WithoutAnyReaderTheWaitEndsOnlyByFinalising) {
  mock::mockReset();  // no backend lists a reader
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 0u);
  CK_SLOT_ID slot = 0;
  CK_RV nonBlocking = C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
  EXPECT_EQ(nonBlocking, rv(CKR_NO_EVENT)) << "pcsc-lite answers an empty reader list with success";
  auto waited = std::async(std::launch::async, [] {
    CK_SLOT_ID s = 0;
    return C_WaitForSlotEvent(0, &s, nullptr);
  });
  EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  EXPECT_EQ(waited.get(), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
}

}  // namespace
