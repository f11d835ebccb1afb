// Card recognition from the ATR and the choice of backend by family and profile.
#include <vector>

#include "cards/recognition.h"
#include "router_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

CardFamily recognise(const std::vector<uint8_t> &atr) { return recogniseAtr(atr.data(), uint32_t(atr.size())); }

TEST(Recognition, ThePatternsAndTheirNearMisses) {
  EXPECT_EQ(recognise(kAtrFamily1), 1u);
  std::vector<uint8_t> longer = kAtrFamily1;
  longer.push_back(0x00);
  EXPECT_EQ(recognise(longer), 0u) << "pattern 1 is the whole ATR";
  std::vector<uint8_t> p2(kAtrFamily2.begin(), kAtrFamily2.begin() + 15);
  EXPECT_EQ(recognise(p2), 2u);
  p2.resize(14);
  EXPECT_EQ(recognise(p2), 0u);
  std::vector<uint8_t> p3(kAtrFamily2b.begin(), kAtrFamily2b.begin() + 21);
  EXPECT_EQ(recognise(p3), 2u);
  p3.resize(20);
  EXPECT_EQ(recognise(p3), 0u);
  EXPECT_EQ(recognise(kAtrFamily2b), 2u);
  std::vector<uint8_t> bent = kAtrFamily1;
  bent[9] ^= 1;
  EXPECT_EQ(recognise(bent), 0u);
  EXPECT_EQ(recognise({}), 0u);
}

class Resolve : public RouterTest {};

TEST_F(Resolve, FamilyAndProfileChooseTheModule) {
  addReader("Rd", {1, 2, 3, 4});
  mock::mockAddSlot(3, 0, "Rd", 0);  // role 3 reports its slot with id 0 as well
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SLOT_ID slot = 0;
  CardFamily family = 9;

  EXPECT_EQ(resolveBackend(row(0), &list, &slot, &family), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(family, 9u) << "outputs untouched on failure";
  pcsc().insert("Rd", {0x3B, 0x00});
  EXPECT_EQ(resolveBackend(row(0), &list, &slot, &family), CKR_TOKEN_NOT_RECOGNIZED);
  pcsc().insert("Rd", {});
  EXPECT_EQ(resolveBackend(row(0), &list, &slot, &family), CKR_TOKEN_NOT_PRESENT) << "present with an empty ATR";

  pcsc().insert("Rd", kAtrFamily1);
  ASSERT_EQ(resolveBackend(row(0), &list, &slot, &family), CKR_OK);
  EXPECT_EQ(list, router.backends[0].functionList);
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(family, 1u);
  ASSERT_EQ(resolveBackend(row(1), &list, &slot, nullptr), CKR_OK);
  EXPECT_EQ(list, router.backends[1].functionList);

  pcsc().insert("Rd", kAtrFamily2b);
  EXPECT_EQ(resolveBackend(row(0), &list, &slot, &family), CKR_TOKEN_NOT_RECOGNIZED)
      << "role 3's later slot id 0 replaced its id 1: no backend slot";
  ASSERT_EQ(resolveBackend(row(1), &list, &slot, &family), CKR_OK);
  EXPECT_EQ(list, router.backends[3].functionList);
  EXPECT_EQ(family, 2u);

  pcsc().statusChangeResult = kScardENoService;
  EXPECT_EQ(resolveBackend(row(1), &list, &slot, &family), CKR_TOKEN_NOT_PRESENT) << "a service gone has no cards";
  pcsc().statusChangeResult = kScardEInvalidValue;
  EXPECT_EQ(resolveBackend(row(1), &list, &slot, &family), CKR_FUNCTION_FAILED);
}

TEST_F(Resolve, AMissingModuleLeavesItsRoleUnrecognised) {
  addReader("Rd", {1, 2, 3, 4});
  mock::mockForce(3, fn(Fn::C_Initialize), CKR_GENERAL_ERROR);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  pcsc().insert("Rd", kAtrFamily2);
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(resolveBackend(row(0), &list, &slot, nullptr), CKR_TOKEN_NOT_RECOGNIZED);
  EXPECT_EQ(resolveBackend(row(1), &list, &slot, nullptr), CKR_OK);
}

}  // namespace
