// With a PC/SC daemon whose two readers are two units of one long-named
// model (scripts/pcscd-hotplug with PCSCD_HOTPLUG_NAMES), named alike in the
// 64 characters that the backends describe: each keeps its own name,
// backend slot, serial and events.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>

#include "cardemu.h"
#include "daemon.h"
#include "state/functions.h"
#include "mockctl.h"
#include "state/state.h"

using namespace tokenhub;
using namespace testkit;

namespace {

EmulatedCard cardOf(const char *atr, int layout, const Bytes &file) {
  EmulatedCard card{fromHex(atr)};
  card.card.layout = layout;
  card.card.file = file;
  return card;
}

std::string serialOf(CK_SLOT_ID slot) {
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(slot, &info), static_cast<CK_RV>(CKR_OK));
  return std::string(reinterpret_cast<char *>(info.serialNumber), 16);
}

TEST(TwinReaders, EachKeepsItsOwnNameBackendSlotSerialAndEvents) {
  const std::string twin0 = TWIN_MODEL "SN0001 00 00", twin1 = TWIN_MODEL "SN0002 00 00";
  setPcscApi(nullptr);
  CardEmulator reader0{TWIN_PORT}, reader1{TWIN_PORT + 2};
  ASSERT_TRUE(reader0.insert(cardOf("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1", 1,
                                    serialFile(fromHex("1A 2B 3C 4D 5E")))))
      << "is the twin readers' daemon of pcscd-hotplug running?";
  ASSERT_TRUE(reader1.insert(cardOf("3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C", 2,
                                    serialFile(fromHex("01 02 03 04 05"), fromHex("AB CD EF")))));
  ASSERT_TRUE(daemonSees(twin0.c_str(), true) && daemonSees(twin1.c_str(), true));

  // The backends describe the readers as a card vendor's module does: in the
  // order the service lists them, each cut at 64 characters.
  PcscContext context = 0;
  char names[1024] = {};
  uint32_t length = sizeof names - 2;
  ASSERT_EQ(platformPcsc().establishContext(&context), kScardSuccess);
  ASSERT_EQ(platformPcsc().listReaders(context, names, &length), kScardSuccess);
  platformPcsc().releaseContext(context);
  mock::mockReset();
  CK_SLOT_ID id = 0, twin0Id = 0;
  for (const char *name = names; *name; name += std::strlen(name) + 1, ++id) {
    for (uint32_t role : {1u, 3u})  // family 1 and family 2, common profile
      mock::mockAddSlot(role, 10 * role + id, name, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    if (twin0 == name) twin0Id = id;
  }

  ASSERT_EQ(C_Initialize(nullptr), static_cast<CK_RV>(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u);
  const CK_SLOT_ID slot0 = 2 * twin0Id + 1, slot1 = 4 - slot0;  // the daemon's order is the rows' order
  EXPECT_STREQ(router.slotTable[slot0 - 1].readerName, twin0.c_str());
  EXPECT_STREQ(router.slotTable[slot1 - 1].readerName, twin1.c_str());
  EXPECT_EQ(serialOf(slot0), "1A2B3C4D5E      ");
  EXPECT_EQ(serialOf(slot1), "ABCDEF0102030405");
  const mock::Call *family1 = mock::mockFind(1, static_cast<uint32_t>(Fn::C_GetTokenInfo), 0);
  const mock::Call *family2 = mock::mockFind(3, static_cast<uint32_t>(Fn::C_GetTokenInfo), 0);
  ASSERT_TRUE(family1 && family2);
  EXPECT_EQ(family1->args[0], 10 + twin0Id);
  EXPECT_EQ(family2->args[0], 30 + (1 - twin0Id));

  // The second twin's removal is its own, seen by a wait inside the daemon.
  auto waited = std::async(std::launch::async, [] {
    CK_SLOT_ID slot = 0;
    return C_WaitForSlotEvent(0, &slot, nullptr) == CKR_OK ? slot : 0;
  });
  reader1.remove();
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waited.get(), slot1);
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), static_cast<CK_RV>(CKR_OK));
  EXPECT_EQ(slot, slot1 + 1);
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), static_cast<CK_RV>(CKR_NO_EVENT));
  while (router.initCount) C_Finalize(nullptr);
  reader0.remove();
}

}  // namespace
