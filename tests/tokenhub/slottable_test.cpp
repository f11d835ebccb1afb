// The virtual slot table: registration of backend slots and look-up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "state/slottable.h"
#include "state/state.h"

using namespace tokenhub;

namespace {

CK_SLOT_INFO infoFor(const std::string &description) {
  CK_SLOT_INFO info;
  std::memset(&info, 0, sizeof info);
  std::memset(info.slotDescription, ' ', sizeof info.slotDescription);
  std::memcpy(info.slotDescription, description.data(), std::min<size_t>(description.size(), 64));
  return info;
}

class SlotTable : public ::testing::Test {
 protected:
  void SetUp() override { clearSlotTable(); }
  void TearDown() override { clearSlotTable(); }
  int add(uint32_t profile, CardFamily family, CK_SLOT_ID id, const std::string &description) {
    return registerBackendSlot(profile, family, id, infoFor(description));
  }
  SlotEntry &row(unsigned i) { return router.slotTable[i]; }
};

TEST_F(SlotTable, FirstReaderGetsIdsOneAndTwoSecondReaderThreeAndFour) {
  EXPECT_EQ(add(Common, 1, 7, "Reader A"), 0);
  EXPECT_EQ(add(Common, 1, 8, "Reader B"), 0);
  ASSERT_EQ(router.slotCount, 4u);
  EXPECT_EQ(row(0).id, 1u);
  EXPECT_STREQ(row(0).label, "Reader A common profile");
  EXPECT_EQ(row(0).profile, static_cast<uint32_t>(Common));
  EXPECT_EQ(row(0).backendSlotFamily1, 7u);
  EXPECT_EQ(row(1).id, 2u);
  EXPECT_STREQ(row(1).label, "Reader A secure profile");
  EXPECT_EQ(row(1).profile, static_cast<uint32_t>(Secure));
  EXPECT_EQ(row(1).backendSlotFamily1, 0u) << "a common-profile backend fills only the common row";
  EXPECT_STREQ(row(1).readerName, "Reader A");
  EXPECT_EQ(row(2).id, 3u);
  EXPECT_EQ(row(3).id, 4u);
  EXPECT_STREQ(row(3).label, "Reader B secure profile");
}

TEST_F(SlotTable, EachRoleFillsItsOwnFieldOfTheSameReader) {
  add(Common, 1, 11, "Rd");
  add(Secure, 1, 12, "Rd");
  add(Common, 2, 13, "Rd");
  add(Secure, 2, 14, "Rd");
  ASSERT_EQ(router.slotCount, 2u);
  EXPECT_EQ(row(0).backendSlotFamily1, 11u);
  EXPECT_EQ(row(0).backendSlotFamily2, 13u);
  EXPECT_EQ(row(1).backendSlotFamily1, 12u);
  EXPECT_EQ(row(1).backendSlotFamily2, 14u);
  EXPECT_EQ(row(0).cardPresent, 0u);
  EXPECT_EQ(row(0).sessionFamily, 0u);
}

TEST_F(SlotTable, LabelsMatchIgnoringCaseAndTheFirstNameIsKept) {
  add(Common, 1, 1, "Virtual PCD 00 00");
  add(Common, 2, 5, "VIRTUAL pcd 00 00");
  ASSERT_EQ(router.slotCount, 2u);
  EXPECT_STREQ(row(0).readerName, "Virtual PCD 00 00");
  EXPECT_EQ(row(0).backendSlotFamily2, 5u);
}

TEST_F(SlotTable, SameDescriptionTwiceInOneBackendKeepsTheLaterSlotId) {
  add(Common, 1, 3, "Twin");
  add(Common, 1, 9, "Twin");
  ASSERT_EQ(router.slotCount, 2u);
  EXPECT_EQ(row(0).backendSlotFamily1, 9u);
}

TEST_F(SlotTable, LabelLengthsAt48To64CharacterNames) {
  const std::string n48(48, 'a'), n49(49, 'b'), n50(50, 'c'), n64(64, 'd');
  add(Common, 1, 1, n48);
  add(Common, 1, 2, n49);
  add(Common, 1, 3, n50);
  add(Common, 1, 4, n64);
  ASSERT_EQ(router.slotCount, 8u);
  EXPECT_EQ(std::strlen(row(0).label), 63u);
  EXPECT_EQ(std::string(row(0).label), n48 + " common profile");
  EXPECT_EQ(std::strlen(row(2).label), 64u);
  EXPECT_EQ(std::string(row(3).label), n49 + " secure profile");
  EXPECT_EQ(std::string(row(4).label), std::string(48, 'c') + " common profile");
  EXPECT_EQ(std::strlen(row(4).label), 63u);
  EXPECT_EQ(std::string(row(4).readerName), n50) << "the reader name itself is not cut";
  EXPECT_EQ(std::string(row(6).label), std::string(48, 'd') + " common profile");
  EXPECT_EQ(std::string(row(6).readerName), n64);
}

TEST_F(SlotTable, TwinReadersWithLongNamesGetAPairEachUnderOneLabel) {
  const std::string first = std::string(48, 'x') + "-first-reader";
  const std::string second = std::string(48, 'X') + "-other-reader";
  add(Common, 1, 1, first);
  add(Secure, 1, 2, second);
  add(Common, 2, 3, std::string(48, 'x') + "-FIRST-reader");
  ASSERT_EQ(router.slotCount, 4u);
  EXPECT_EQ(std::string(row(2).readerName), second);
  EXPECT_STRCASEEQ(row(0).label, row(2).label);
  EXPECT_EQ(row(3).backendSlotFamily1, 2u);
  EXPECT_EQ(row(1).backendSlotFamily1, 0u);
  EXPECT_EQ(row(0).backendSlotFamily2, 3u) << "the whole name is compared without case";
}

TEST_F(SlotTable, BlankDescriptionsRegisterNothing) {
  EXPECT_EQ(add(Common, 1, 1, std::string(64, ' ')), 1);
  EXPECT_EQ(add(Common, 1, 1, "A"), 1) << "only the 2nd to 64th characters are scanned";
  EXPECT_EQ(router.slotCount, 0u);
  EXPECT_EQ(add(Common, 1, 1, "AB"), 0);
  EXPECT_STREQ(row(0).readerName, "AB");
}

TEST_F(SlotTable, TrailingBlanksAreCutAndAnEarlierNulEndsTheName) {
  CK_SLOT_INFO info = infoFor("Reader  X");
  info.slotDescription[6] = 0;  // "Reader" NUL " X"
  EXPECT_EQ(registerBackendSlot(Common, 1, 4, info), 0);
  EXPECT_STREQ(row(0).readerName, "Reader");
  EXPECT_STREQ(row(0).label, "Reader common profile");
  CK_SLOT_INFO full;
  std::memset(full.slotDescription, 'z', 64);  // no blank, no NUL anywhere
  EXPECT_EQ(registerBackendSlot(Common, 1, 5, full), 0);
  EXPECT_EQ(std::string(row(2).readerName), std::string(64, 'z'));
}

TEST_F(SlotTable, The33rdReaderIsNotRegistered) {
  for (int i = 0; i < 32; ++i) ASSERT_EQ(add(Common, 1, i + 1, "Reader " + std::to_string(i)), 0);
  EXPECT_EQ(router.slotCount, 64u);
  EXPECT_EQ(add(Common, 1, 99, "Reader 32"), 2);
  EXPECT_EQ(add(Secure, 2, 99, "Reader 32"), 2);
  EXPECT_EQ(router.slotCount, 64u);
  EXPECT_EQ(add(Secure, 2, 77, "reader 31"), 0) << "a known reader still gets its field filled";
  EXPECT_EQ(row(63).backendSlotFamily2, 77u);
  EXPECT_EQ(row(63).id, 64u);
}

TEST_F(SlotTable, FindSlotBounds) {
  add(Common, 1, 1, "A reader");
  SlotEntry *found = nullptr;
  EXPECT_EQ(findSlot(0, &found), static_cast<CK_RV>(CKR_SLOT_ID_INVALID));
  EXPECT_EQ(findSlot(3, &found), static_cast<CK_RV>(CKR_SLOT_ID_INVALID));
  EXPECT_EQ(found, nullptr);
  ASSERT_EQ(findSlot(2, &found), static_cast<CK_RV>(CKR_OK));
  EXPECT_EQ(found, &router.slotTable[1]);
  clearSlotTable();
  EXPECT_EQ(findSlot(1, &found), static_cast<CK_RV>(CKR_SLOT_ID_INVALID));
}

}  // namespace
