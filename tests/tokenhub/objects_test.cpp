// The object handle table and the object and key management calls.
#include <utility>

#include "session_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

class Objects : public SessionTest {
 protected:
  // Fills every row of the object table but `free` (in use by other slots' objects).
  void fillTable(unsigned freeRows) {
    for (unsigned i = 0; i + freeRows < kMaxObjects; ++i) ASSERT_NE(mapObject(&row(2), 0x100000 + i), 0u);
  }
};

TEST_F(Objects, MappingKeepsOneHandlePerSlotAndBackendObject) {
  start();
  EXPECT_EQ(mapObject(&row(0), 0x55), 1u);
  EXPECT_EQ(mapObject(&row(0), 0x56), 2u);
  EXPECT_EQ(mapObject(&row(0), 0x55), 1u) << "seen again through the same slot";
  EXPECT_EQ(mapObject(&row(1), 0x55), 3u) << "another slot's object of the same backend handle";
  ObjectEntry o{};
  ASSERT_EQ(findObject(3, HandleKind::Key, o), CKR_OK);
  EXPECT_EQ(o.slot, &row(1));
  EXPECT_EQ(o.backendHandle, 0x55u);
  EXPECT_EQ(findObject(0, HandleKind::Key, o), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(findObject(0, HandleKind::Object, o), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(findObject(4, HandleKind::Object, o), CKR_OBJECT_HANDLE_INVALID);

  removeObject(ObjectEntry{1, &row(0), 0x55, 0});
  EXPECT_EQ(findObject(1, HandleKind::Object, o), CKR_OBJECT_HANDLE_INVALID);
  removeObject(ObjectEntry{1, &row(0), 0x55, 0});  // already free: nothing happens
  EXPECT_EQ(mapObject(&row(0), 0x57), 4u);
  EXPECT_EQ(objects.rows[0].routerHandle, 4u) << "the lowest free row, a new handle";

  removeSlotObjects(&row(0));
  EXPECT_EQ(findObject(2, HandleKind::Object, o), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(findObject(3, HandleKind::Object, o), CKR_OK);

  C_Finalize(nullptr);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(mapObject(&row(0), 0x55), 1u);
}

TEST_F(Objects, TheLastFreeRowThenAFullTable) {
  start();
  fillTable(1);
  EXPECT_EQ(mapObject(&row(0), 0x1), kMaxObjects);
  EXPECT_EQ(objects.rows[kMaxObjects - 1].routerHandle, kMaxObjects);
  EXPECT_EQ(mapObject(&row(0), 0x2), 0u);
  EXPECT_EQ(mapObject(&row(0), 0x1), kMaxObjects) << "a known object is still found";
  EXPECT_EQ(objects.lastObjectHandle, kMaxObjects);
}

TEST_F(Objects, AFullTableThinnedAndRefilledStillFindsEveryRowBothWays) {
  start();
  // Both slots' objects share backend handles: pair i is (slot i % 2, backend i / 2), in row i.
  auto pair = [this](unsigned i) { return std::make_pair(&row(i % 2), CK_OBJECT_HANDLE(0x1000 + i / 2)); };
  for (unsigned i = 0; i < kMaxObjects; ++i) ASSERT_EQ(mapObject(pair(i).first, pair(i).second), i + 1);
  for (unsigned i = 0; i < kMaxObjects; i += 3) removeObject(ObjectEntry{i + 1, pair(i).first, pair(i).second, 0});
  EXPECT_EQ(indexed(objects.byHandle), objectRowsInUse());
  EXPECT_EQ(indexed(objects.byBackend), objectRowsInUse());
  for (unsigned i = 0; i < kMaxObjects; ++i) {
    ObjectEntry o{};
    bool kept = i % 3 != 0;
    ASSERT_EQ(findObject(i + 1, HandleKind::Object, o), kept ? CKR_OK : CKR_OBJECT_HANDLE_INVALID) << "row " << i;
    if (kept) {
      EXPECT_EQ(o.slot, pair(i).first);
      EXPECT_EQ(o.backendHandle, pair(i).second);
      EXPECT_EQ(mapObject(pair(i).first, pair(i).second), i + 1) << "row " << i << ": known again";
    }
  }
  CK_OBJECT_HANDLE next = kMaxObjects + 1;
  for (unsigned i = 0; i < kMaxObjects; i += 3, ++next) {
    ASSERT_EQ(mapObject(&row(0), 0x9000 + i), next);
    EXPECT_EQ(objects.rows[i].routerHandle, next) << "the lowest free row";
  }
  EXPECT_EQ(mapObject(&row(0), 0x8FFF), 0u) << "full again";
}

TEST_F(Objects, TheCounterWrapsPastZeroAndHandlesInUse) {
  start();
  ASSERT_EQ(mapObject(&row(0), 0x10), 1u);
  objects.lastObjectHandle = 0xFFFFFFFFu;
  EXPECT_EQ(mapObject(&row(0), 0x11), 2u) << "0 and 1 (in use) are skipped";
  EXPECT_EQ(mapObject(&row(0), 0x12), 3u);
}

TEST_F(Objects, CallsCheckSessionThenHandleThenOutputThenReachTheBackend) {
  start();
  CK_SESSION_HANDLE h = open();
  CK_OBJECT_HANDLE out = 5;
  CK_ATTRIBUTE attr = {};
  CK_MECHANISM mech = {};
  uint32_t before = mocks().logCount;
  EXPECT_EQ(C_CreateObject(0, &attr, 1, nullptr), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(C_CreateObject(h, &attr, 1, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_CopyObject(h, 42, &attr, 1, nullptr), CKR_OBJECT_HANDLE_INVALID) << "the handle before the output";
  EXPECT_EQ(C_CopyObject(h, 0, &attr, 1, &out), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_DestroyObject(h, 42), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_GetObjectSize(h, 42, nullptr), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_GetAttributeValue(h, 42, nullptr, 0), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_SetAttributeValue(h, 42, nullptr, 0), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_GenerateKey(h, &mech, &attr, 1, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_GenerateKeyPair(h, &mech, &attr, 1, &attr, 1, &out, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_GenerateKeyPair(h, &mech, &attr, 1, &attr, 1, nullptr, &out), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_WrapKey(h, &mech, 42, 43, nullptr, nullptr), CKR_KEY_HANDLE_INVALID)
      << "not CKR_WRAPPING_KEY_HANDLE_INVALID";
  EXPECT_EQ(C_UnwrapKey(h, &mech, 42, nullptr, 0, &attr, 1, nullptr), CKR_KEY_HANDLE_INVALID)
      << "not CKR_UNWRAPPING_KEY_HANDLE_INVALID";
  EXPECT_EQ(C_DeriveKey(h, &mech, 42, &attr, 1, nullptr), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_FindObjects(h, nullptr, 1, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_FindObjects(h, &out, 0, &out), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_FindObjects(h, &out, 1, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(mocks().logCount, before) << "no backend was called";
  EXPECT_EQ(out, 5u);

  CK_OBJECT_HANDLE key = find(h, 1, {0x700})[0];
  EXPECT_EQ(C_WrapKey(h, &mech, key, 43, nullptr, nullptr), CKR_KEY_HANDLE_INVALID) << "the key to wrap is checked too";
  EXPECT_EQ(C_WrapKey(h, &mech, 43, key, nullptr, nullptr), CKR_KEY_HANDLE_INVALID) << "a good second key cures no first";
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_WrapKey)), 0u);
  EXPECT_EQ(C_UnwrapKey(h, &mech, key, nullptr, 0, &attr, 1, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_DeriveKey(h, &mech, key, &attr, 1, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(Objects, NewObjectsAreRegisteredAndArgumentsPassUnchanged) {
  start();
  CK_SESSION_HANDLE h = open(2);
  CK_ULONG bs = backendSession(h);
  CK_OBJECT_HANDLE base = find(h, 2, {0x300})[0];
  CK_ATTRIBUTE attr[2] = {};
  CK_MECHANISM mech = {};
  CK_BYTE wrapped[8];
  CK_OBJECT_HANDLE created = 0, copied = 0, generated = 0, pub = 0, priv = 0, unwrapped = 0, derived = 0;
  const CK_ULONG newBackend[] = {0x401, 0x402, 0x403, 0x404, 0x405, 0x406, 0x407};
  mock::mockQueueHandles(2, newBackend, 7);

  ASSERT_EQ(C_CreateObject(h, attr, 2, &created), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_CreateObject).args[0], bs);
  EXPECT_EQ(lastCall(2, Fn::C_CreateObject).args[1], word(attr));
  EXPECT_EQ(lastCall(2, Fn::C_CreateObject).args[2], 2u);
  ASSERT_EQ(C_CopyObject(h, created, attr, 1, &copied), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_CopyObject).args[1], 0x401u);
  ASSERT_EQ(C_GenerateKey(h, &mech, attr, 1, &generated), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_GenerateKey).args[1], word(&mech));
  ASSERT_EQ(C_GenerateKeyPair(h, &mech, attr, 1, attr + 1, 1, &pub, &priv), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_GenerateKeyPair).args[4], word(attr + 1));
  ASSERT_EQ(C_UnwrapKey(h, &mech, base, wrapped, 8, attr, 1, &unwrapped), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_UnwrapKey).args[2], 0x300u);
  EXPECT_EQ(lastCall(2, Fn::C_UnwrapKey).args[3], word(wrapped));
  ASSERT_EQ(C_DeriveKey(h, &mech, base, attr, 1, &derived), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_DeriveKey).args[2], 0x300u);
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{created, copied, generated, pub, priv, unwrapped, derived}),
            (std::vector<CK_OBJECT_HANDLE>{2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(backendObject(priv), 0x405u);
  EXPECT_EQ(backendObject(derived), 0x407u);
  // A second key named in the mechanism's parameter is translated too; the caller's parameter stays.
  CK_OBJECT_HANDLE second = priv;
  CK_MECHANISM concat = {CKM_CONCATENATE_BASE_AND_KEY, &second, sizeof second};
  ASSERT_EQ(C_DeriveKey(h, &concat, base, attr, 1, &derived), CKR_OK);
  EXPECT_EQ(mocks().backends[1].concatenatedKey, 0x405u);
  EXPECT_EQ(second, priv);
  second = 99;
  EXPECT_EQ(C_DeriveKey(h, &concat, base, attr, 1, &derived), CKR_KEY_HANDLE_INVALID);
  concat.ulParameterLen = 1;
  EXPECT_EQ(C_DeriveKey(h, &concat, base, attr, 1, &derived), CKR_MECHANISM_PARAM_INVALID);

  CK_ULONG length = 8;
  ASSERT_EQ(C_WrapKey(h, &mech, base, priv, wrapped, &length), CKR_OK);
  const mock::Call &wrap = lastCall(2, Fn::C_WrapKey);
  EXPECT_EQ(wrap.args[2], 0x300u);
  EXPECT_EQ(wrap.args[3], 0x405u);
  EXPECT_EQ(wrap.args[5], word(&length));
  CK_ULONG size = 0;
  ASSERT_EQ(C_GetObjectSize(h, copied, &size), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_GetObjectSize).args[1], 0x402u);
  mock::mockForce(2, fn(Fn::C_GetAttributeValue), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(C_GetAttributeValue(h, priv, attr, 2), CKR_ATTRIBUTE_SENSITIVE) << "backend codes pass unchanged";
  EXPECT_EQ(lastCall(2, Fn::C_GetAttributeValue).args[2], word(attr));
  ASSERT_EQ(C_SetAttributeValue(h, pub, attr, 1), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_SetAttributeValue).args[1], 0x404u);
  ASSERT_EQ(C_FindObjectsInit(h, attr, 2), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_FindObjectsInit).args[1], word(attr));
  ASSERT_EQ(C_FindObjectsFinal(h), CKR_OK);
  EXPECT_EQ(lastCall(2, Fn::C_FindObjectsFinal).args[0], bs);

  mock::mockForce(2, fn(Fn::C_CreateObject), CKR_TEMPLATE_INCOMPLETE);
  created = 77;
  EXPECT_EQ(C_CreateObject(h, attr, 2, &created), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(created, 77u) << "nothing written when the backend failed";
}

TEST_F(Objects, DestroyFreesTheRowOnlyWhenTheBackendDid) {
  start();
  CK_SESSION_HANDLE h = open();
  std::vector<CK_OBJECT_HANDLE> found = find(h, 1, {0x11, 0x12});
  mock::mockForce(1, fn(Fn::C_DestroyObject), CKR_ACTION_PROHIBITED);
  EXPECT_EQ(C_DestroyObject(h, found[0]), CKR_ACTION_PROHIBITED);
  EXPECT_EQ(backendObject(found[0]), 0x11u) << "still usable";
  EXPECT_EQ(find(h, 1, {0x11})[0], found[0]) << "found again: the same handle, not a second one";
  mock::mockForce(1, fn(Fn::C_DestroyObject), CKR_OK);
  EXPECT_EQ(C_DestroyObject(h, found[0]), CKR_OK);
  EXPECT_EQ(lastCall(1, Fn::C_DestroyObject).args[1], 0x11u);
  EXPECT_EQ(C_DestroyObject(h, found[0]), CKR_OBJECT_HANDLE_INVALID);
  CK_MECHANISM mech = {};
  EXPECT_EQ(C_WrapKey(h, &mech, found[1], found[0], nullptr, nullptr), CKR_KEY_HANDLE_INVALID);
  CK_OBJECT_HANDLE fresh = 0;
  ASSERT_EQ(C_CreateObject(h, nullptr, 0, &fresh), CKR_OK);
  EXPECT_EQ(fresh, 3u);
  EXPECT_EQ(objects.rows[0].routerHandle, 3u) << "the freed row, with a new handle";
}

TEST_F(Objects, AFullTableUndoesTheNewBackendObject) {
  start();
  CK_SESSION_HANDLE h = open();
  fillTable(0);
  CK_OBJECT_HANDLE out = 9;
  const CK_ULONG fresh = 0x999;
  mock::mockQueueHandles(1, &fresh, 1);
  EXPECT_EQ(C_CreateObject(h, nullptr, 0, &out), CKR_FUNCTION_FAILED);
  EXPECT_EQ(out, 9u);
  EXPECT_EQ(lastCall(1, Fn::C_DestroyObject).args[0], backendSession(h));
  EXPECT_EQ(lastCall(1, Fn::C_DestroyObject).args[1], 0x999u);
}

TEST_F(Objects, AKeyPairWithOneFreeRowDestroysBothAndFreesThePublicRow) {
  start();
  CK_SESSION_HANDLE h = open();
  fillTable(1);
  const CK_ULONG pair[] = {0xA1, 0xA2};
  mock::mockQueueHandles(1, pair, 2);
  CK_OBJECT_HANDLE pub = 9, priv = 9;
  CK_MECHANISM mech = {};
  EXPECT_EQ(C_GenerateKeyPair(h, &mech, nullptr, 0, nullptr, 0, &pub, &priv), CKR_FUNCTION_FAILED);
  EXPECT_EQ(pub, 9u);
  EXPECT_EQ(priv, 9u);
  ASSERT_EQ(mock::mockCount(1, fn(Fn::C_DestroyObject)), 2u);
  EXPECT_EQ(mock::mockFind(1, fn(Fn::C_DestroyObject), 0)->args[1], 0xA1u) << "public first";
  EXPECT_EQ(mock::mockFind(1, fn(Fn::C_DestroyObject), 1)->args[1], 0xA2u);
  EXPECT_EQ(objectRowsInUse(), kMaxObjects - 1u) << "the public key's row is free again";
  EXPECT_NE(mapObject(&row(0), 0x5), 0u);
}

TEST_F(Objects, SearchResultsAreTranslatedInOrder) {
  start();
  CK_SESSION_HANDLE h = open();
  const CK_ULONG three[] = {0x21, 0x22, 0x21};
  mock::mockQueueHandles(1, three, 3);
  CK_OBJECT_HANDLE out[10] = {};
  CK_ULONG count = 99;
  ASSERT_EQ(C_FindObjects(h, out, 10, &count), CKR_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(out[0], 1u);
  EXPECT_EQ(out[1], 2u);
  EXPECT_EQ(out[2], 1u) << "the same object twice, the same handle";
  EXPECT_EQ(out[3], 0u);
  const mock::Call &call = lastCall(1, Fn::C_FindObjects);
  EXPECT_EQ(call.args[0], backendSession(h));
  EXPECT_NE(call.args[1], word(out)) << "the backend fills a temporary array";
  EXPECT_EQ(call.args[2], 10u);

  ASSERT_EQ(C_FindObjects(h, out, 10, &count), CKR_OK);
  EXPECT_EQ(count, 0u) << "nothing more found";
  mock::mockForce(1, fn(Fn::C_FindObjects), CKR_OPERATION_NOT_INITIALIZED);
  count = 99;
  EXPECT_EQ(C_FindObjects(h, out, 10, &count), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(count, 99u);
}

TEST_F(Objects, ABackendClaimingMoreThanTheArrayHoldsIsCutToIt) {
  start();
  CK_SESSION_HANDLE h = open();
  const CK_ULONG four[] = {0x31, 0x32, 0x33, 0x34};
  mock::mockQueueHandles(1, four, 4);
  mocks().backends[0].findReported = 1000;
  CK_OBJECT_HANDLE out[4] = {0, 0, 0, 0xDEAD};
  CK_ULONG count = 0;
  ASSERT_EQ(C_FindObjects(h, out, 3, &count), CKR_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(out[2], 3u);
  EXPECT_EQ(out[3], 0xDEADu) << "nothing written past the caller's room";
  EXPECT_EQ(objectRowsInUse(), 3u);
}

TEST_F(Objects, PositionsABackendCountsButLeavesUnwrittenNameNoObjectOfItsOwn) {
  start();
  CK_SESSION_HANDLE h = open();
  const CK_ULONG one[] = {0x51};
  mock::mockQueueHandles(1, one, 1);
  mocks().backends[0].findReported = 3;
  CK_OBJECT_HANDLE out[3] = {};
  CK_ULONG count = 0;
  ASSERT_EQ(C_FindObjects(h, out, 3, &count), CKR_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(backendObject(out[0]), 0x51u);
  ObjectEntry o{};
  ASSERT_EQ(findObject(out[1], HandleKind::Object, o), CKR_OK);
  EXPECT_EQ(o.backendHandle, 0u) << "not left-over heap contents";
  EXPECT_EQ(out[2], out[1]);
}

TEST_F(Objects, TheCallersMaximumDoesNotSizeTheBatchBeyondTheTable) {
  start();
  CK_SESSION_HANDLE h = open();
  const CK_ULONG two[] = {0x61, 0x62};
  mock::mockQueueHandles(1, two, 2);
  CK_OBJECT_HANDLE out[2] = {};
  CK_ULONG count = 0;
  // The caller promises room it does not have; only what is found is written.
  ASSERT_EQ(C_FindObjects(h, out, ~CK_ULONG(0), &count), CKR_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(lastCall(1, Fn::C_FindObjects).args[2], kMaxObjects) << "one batch is at most a full table";
}

TEST_F(Objects, ASearchThatFillsTheTableStopsAtTheFailingPosition) {
  start();
  CK_SESSION_HANDLE h = open();
  fillTable(2);
  const CK_ULONG found[] = {0x41, 0x42, 0x43, 0x44};
  mock::mockQueueHandles(1, found, 4);
  CK_OBJECT_HANDLE out[4] = {7, 7, 7, 7};
  CK_ULONG count = 99;
  EXPECT_EQ(C_FindObjects(h, out, 4, &count), CKR_FUNCTION_FAILED);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(out[0], kMaxObjects - 1u);
  EXPECT_EQ(out[1], kMaxObjects + 0u);
  EXPECT_EQ(out[2], 0u);
  EXPECT_EQ(out[3], 7u);
  EXPECT_EQ(backendObject(out[1]), 0x42u) << "the rows made before the failure stay";
}

TEST_F(Objects, ARowBeingDestroyedIsNotHandedToANewObjectOfTheSameBackendHandle) {
  start();
  CK_OBJECT_HANDLE h = mapObject(&row(0), 0x55);
  ObjectEntry o;
  for (bool destroyed : {false, true}) {
    ASSERT_EQ(beginDestroy(h, &row(0), o), CKR_OK);
    // Meanwhile the backend reuses its handle for a new object.
    CK_OBJECT_HANDLE fresh = mapObject(&row(0), 0x55);
    EXPECT_NE(fresh, h);
    endDestroy(o, destroyed);
    EXPECT_EQ(findObject(h, HandleKind::Object, o), destroyed ? CKR_OBJECT_HANDLE_INVALID : CKR_OK);
    EXPECT_EQ(findObject(fresh, HandleKind::Object, o), CKR_OK) << "the new object's handle stays valid";
    if (!destroyed) removeObject(o);
  }
}

// A row outlives no card: once the router has seen the card leave, the row
// is gone, and a handle the backend gave for the old card enters no row.
TEST_F(Objects, ARowOutlivesNoCard) {
  pcsc().countEvents = true;  // the same kind of card again: only the count tells
  start();
  open(1);  // the router notes the card; the row is the secure slot's, which has no session
  CK_OBJECT_HANDLE h = mapObject(&row(1), 0x55);
  uint32_t epoch = readerCardEpoch(&row(1));
  pcsc().remove("Rd");
  pcsc().insert("Rd", kAtrFamily1);
  open(1);  // the router looks at the reader
  ASSERT_NE(readerCardEpoch(&row(1)), epoch);
  ObjectEntry o;
  EXPECT_EQ(findObject(h, HandleKind::Object, o), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(mapObject(&row(1), 0x56, epoch), 0u) << "an object found through the old card's session";
  EXPECT_NE(mapObject(&row(1), 0x55), 0u);
}

TEST_F(Objects, AHandleOfAnotherSlotIsUnknownThere) {
  start();
  CK_SESSION_HANDLE common = open(1), secure = open(2);
  CK_OBJECT_HANDLE key = find(common, 1, {0x66})[0];
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  CK_ULONG size = 0;
  EXPECT_EQ(C_GetObjectSize(secure, key, &size), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(C_SignInit(secure, &mech, key), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_DestroyObject(secure, key), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(mock::mockCount(2, fn(Fn::C_GetObjectSize)) + mock::mockCount(2, fn(Fn::C_SignInit)) +
                mock::mockCount(2, fn(Fn::C_DestroyObject)),
            0u);
  EXPECT_EQ(C_GetObjectSize(common, key, &size), CKR_OK) << "the handle stays good on its own slot";
}

}  // namespace
