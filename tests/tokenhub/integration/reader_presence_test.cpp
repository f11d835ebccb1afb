// With the real PC/SC daemon and the virtual readers: C_Initialize takes each
// reader's card presence from the daemon, for readers named by the backends'
// slot descriptions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "cardemu.h"
#include "daemon.h"
#include "state/functions.h"
#include "mockctl.h"
#include "state/state.h"

using namespace tokenhub;
using namespace testkit;

namespace {

const char *kReader0 = "Virtual PCD 00 00";
const char *kReader1 = "Virtual PCD 00 01";


class ReaderPresence : public ::testing::Test {
 protected:
  void SetUp() override {
    setPcscApi(nullptr);  // the platform's own, talking to pcscd
    mock::mockReset();
    mock::mockAddSlot(1, 1, kReader0, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    mock::mockAddSlot(3, 4, kReader1, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  }
  void TearDown() override {
    while (router.initCount) C_Finalize(nullptr);
  }
  CardEmulator reader0{CardEmulator::kReader0Port};
};

TEST_F(ReaderPresence, InitialPresenceComesFromTheDaemon) {
  ASSERT_TRUE(daemonSees(kReader0, false));
  ASSERT_TRUE(reader0.insert({fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1")}))
      << "no vpcd listening: is pcscd running with the vpcd driver?";
  ASSERT_TRUE(daemonSees(kReader0, true));

  ASSERT_EQ(C_Initialize(nullptr), static_cast<CK_RV>(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u);
  EXPECT_STREQ(router.slotTable[0].readerName, kReader0);
  EXPECT_EQ(router.slotTable[0].cardPresent, 1u);
  EXPECT_EQ(router.slotTable[1].cardPresent, 1u);
  EXPECT_STREQ(router.slotTable[2].readerName, kReader1);
  EXPECT_EQ(router.slotTable[2].cardPresent, 0u);
  EXPECT_EQ(router.slotTable[3].cardPresent, 0u);
  EXPECT_NE(router.cardContext, 0u);
  ASSERT_EQ(C_Finalize(nullptr), static_cast<CK_RV>(CKR_OK));

  reader0.remove();
  ASSERT_TRUE(daemonSees(kReader0, false));
  ASSERT_EQ(C_Initialize(nullptr), static_cast<CK_RV>(CKR_OK));
  EXPECT_EQ(router.slotTable[0].cardPresent, 0u);
  EXPECT_EQ(router.slotTable[1].cardPresent, 0u);
}

TEST_F(ReaderPresence, AReaderUnknownToTheDaemonIsReportedEmpty) {
  mock::mockAddSlot(2, 9, "No Such Reader 99", 0);
  ASSERT_EQ(C_Initialize(nullptr), static_cast<CK_RV>(CKR_OK));
  ASSERT_EQ(router.slotCount, 6u);
  EXPECT_STREQ(router.slotTable[2].readerName, "No Such Reader 99");
  EXPECT_EQ(router.slotTable[2].cardPresent, 0u) << "role 2 registers before role 3";
}

}  // namespace
