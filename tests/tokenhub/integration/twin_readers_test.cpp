// With a PC/SC daemon whose two readers are two units of one long-named
// model (scripts/pcscd-hotplug with PCSCD_HOTPLUG_NAMES): their names differ
// only in the unit's serial number, after the 64 characters that the
// backends describe. Each keeps its own name, backend slot, serial and events.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>

#include "cardemu.h"
#include "daemon.h"
#include "functions.h"
#include "mockctl.h"
#include "state.h"

using namespace tokenhub;
using namespace testkit;

namespace {

constexpr CK_RV rv(CK_RV v) { return v; }
constexpr uint32_t fn(Fn f) { return static_cast<uint32_t>(f); }

TEST(TwinReaders, EachKeepsItsOwnNameBackendSlotSerialAndEvents) {
  const std::string twin0 = TWIN_MODEL "SN0001 00 00", twin1 = TWIN_MODEL "SN0002 00 00";
  ASSERT_EQ(twin0.substr(0, 64), twin1.substr(0, 64));
  setPcscApi(nullptr);
  EmulatedCard first{fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1")};
  first.card.layout = 1;
  first.card.file = serialFile(fromHex("1A 2B 3C 4D 5E"));
  EmulatedCard second{fromHex("3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C")};
  second.card.layout = 2;
  second.card.file = serialFile(fromHex("01 02 03 04 05"), fromHex("AB CD EF"));
  CardEmulator reader0{TWIN_PORT}, reader1{TWIN_PORT + 2};
  ASSERT_TRUE(reader0.insert(first)) << "is the twin readers' daemon of pcscd-hotplug running?";
  ASSERT_TRUE(reader1.insert(second));
  ASSERT_TRUE(daemonSees(twin0.c_str(), true));
  ASSERT_TRUE(daemonSees(twin1.c_str(), true));

  // The backends describe the readers as card vendors' modules do: each
  // reader the service lists, in its order, cut at 64 characters.
  PcscContext context = 0;
  ASSERT_EQ(platformPcsc().establishContext(&context), kScardSuccess);
  char names[1024] = {};
  uint32_t length = sizeof names - 2;
  ASSERT_EQ(platformPcsc().listReaders(context, names, &length), kScardSuccess);
  platformPcsc().releaseContext(context);
  mock::mockReset();
  CK_SLOT_ID id = 0, firstId = 0;  // firstId: the backend slot of twin0 in role 1
  for (const char *name = names; *name; name += std::strlen(name) + 1, ++id) {
    for (uint32_t role : {1u, 3u})  // family 1 and family 2, common profile
      mock::mockAddSlot(role, 10 * role + id, name, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    if (twin0 == name) firstId = 10 + id;
  }
  ASSERT_EQ(id, 2u);

  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u);
  const CK_SLOT_ID slot0 = twin0 == router.slotTable[0].readerName ? 1 : 3, slot1 = 4 - slot0;
  EXPECT_STREQ(router.slotTable[slot0 - 1].readerName, twin0.c_str());
  EXPECT_STREQ(router.slotTable[slot1 - 1].readerName, twin1.c_str());
  CK_TOKEN_INFO info;
  ASSERT_EQ(C_GetTokenInfo(slot0, &info), rv(CKR_OK));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.serialNumber), 16), "1A2B3C4D5E      ");
  ASSERT_EQ(mock::mockCount(1, fn(Fn::C_GetTokenInfo)), 1u);
  EXPECT_EQ(mock::mockFind(1, fn(Fn::C_GetTokenInfo), 0)->args[0], firstId);
  ASSERT_EQ(C_GetTokenInfo(slot1, &info), rv(CKR_OK));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.serialNumber), 16), "ABCDEF0102030405");
  ASSERT_EQ(mock::mockCount(3, fn(Fn::C_GetTokenInfo)), 1u);
  EXPECT_EQ(mock::mockFind(3, fn(Fn::C_GetTokenInfo), 0)->args[0], 30 + (firstId == 10 ? 1u : 0u));

  // The second twin's removal is its own, seen by a wait inside the daemon.
  auto waited = std::async(std::launch::async, [] {
    CK_SLOT_ID slot = 0;
    CK_RV result = C_WaitForSlotEvent(0, &slot, nullptr);
    return result == CKR_OK ? slot : 1000 + result;
  });
  reader1.remove();
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waited.get(), slot1);
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
  EXPECT_EQ(slot, slot1 + 1);
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT)) << "the first twin's card stays";
  while (router.initCount) C_Finalize(nullptr);
  reader0.remove();
}

}  // namespace
