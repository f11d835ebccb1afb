// The session handle table and the session entry points, with the mock
// modules behind a family-1 card in reader "Rd".
#include <set>

#include "session_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

class Sessions : public SessionTest {};

TEST_F(Sessions, HandlesRiseAndAFreedRowTakesTheNextHandle) {
  start();
  CK_SESSION_HANDLE a = open(), b = open();
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  EXPECT_EQ(sessions.rows[0].routerHandle, 1u);
  EXPECT_EQ(backendSession(a), 0x10001u) << "the backend's own handle is kept";
  EXPECT_EQ(backendSession(b), 0x10002u);
  ASSERT_EQ(C_CloseSession(a), CKR_OK);
  EXPECT_EQ(lastCall(1, Fn::C_CloseSession).args[0], 0x10001u) << "the backend closes its own handle";
  EXPECT_EQ(open(), 3u);
  EXPECT_EQ(sessions.rows[0].routerHandle, 3u) << "the lowest free row";
  EXPECT_EQ(C_CloseSession(a), CKR_SESSION_HANDLE_INVALID) << "a closed handle is never valid again";

  C_Finalize(nullptr);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(open(), 1u) << "numbering restarts with a new initialisation";
}

TEST_F(Sessions, OpenReachesTheBackendOfTheCardAndProfile) {
  start(kAtrFamily2);
  int application = 0;
  CK_NOTIFY notify = reinterpret_cast<CK_NOTIFY>(0x1234);
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(C_OpenSession(2, kSerial | CKF_RW_SESSION, &application, notify, &h), CKR_OK);
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_OpenSession)), 1u);
  const mock::Call &call = lastCall(4, Fn::C_OpenSession);
  EXPECT_EQ(call.args[0], kBackendSlot);
  EXPECT_EQ(call.args[1], kSerial | CKF_RW_SESSION);
  EXPECT_EQ(call.args[2], word(&application));
  EXPECT_EQ(call.args[3], word(notify));
  EXPECT_EQ(row(1).sessionFamily, 2u);
  EXPECT_EQ(row(0).sessionFamily, 0u);
  EXPECT_EQ(backendSession(h), 0x40001u);
}

TEST_F(Sessions, OpenFailuresInTheirOrder) {
  CK_SESSION_HANDLE h = 77;
  addReader("Rd", {1, 2}, kBackendSlot);
  addReader("Other", {1, 2}, 8);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(C_OpenSession(0, kSerial, nullptr, nullptr, nullptr), CKR_SLOT_ID_INVALID) << "slot before pointer";
  EXPECT_EQ(C_OpenSession(5, kSerial, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
  pcsc().insert("Rd", {0x3B, 0x00});
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED);
  pcsc().insert("Rd", kAtrFamily2);
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED) << "role 3 has no slot here";
  pcsc().statusChangeResult = kScardEInvalidValue;
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_FUNCTION_FAILED);
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_OpenSession)), 0u) << "no backend was asked";
  pcsc().statusChangeResult = 0;
  pcsc().insert("Rd", kAtrFamily1);

  // The router saw a card; a backend that does not is answered as an unrecognised token.
  mock::mockForce(1, fn(Fn::C_OpenSession), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED);
  mock::mockForce(1, fn(Fn::C_OpenSession), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(C_OpenSession(1, 0, nullptr, nullptr, &h), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(h, 77u) << "no handle is written on failure";
  EXPECT_EQ(row(0).sessionFamily, 0u);
  EXPECT_EQ(sessions.lastSessionHandle, 0u);
}

TEST_F(Sessions, AFullTableClosesTheNewBackendSessionAgain) {
  start();
  for (unsigned i = 0; i < kMaxSessions; ++i) ASSERT_EQ(open(1 + i % 2), i + 1);
  CK_SESSION_HANDLE h = 55;
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_SESSION_COUNT);
  EXPECT_EQ(h, 0u);
  const mock::Call *last = &mocks().log[mocks().logCount - 1];
  const mock::Call *before = last - 1;
  EXPECT_EQ(before->function, fn(Fn::C_OpenSession));
  EXPECT_EQ(last->function, fn(Fn::C_CloseSession));
  EXPECT_EQ(last->role, 1u);
  EXPECT_EQ(last->args[0], 0x10000u + kMaxSessions / 2 + 1) << "the session the backend just opened";
  ASSERT_EQ(C_CloseSession(1000), CKR_OK);
  EXPECT_EQ(indexed(sessions.byHandle), kMaxSessions - 1u);
  EXPECT_EQ(open(), kMaxSessions + 1) << "a full table used up no handle";
}

TEST_F(Sessions, CloseForgetsTheSessionOnlyWhenTheBackendSaysItIsGone) {
  start();
  for (CK_RV answer : {CKR_OK, CKR_DEVICE_REMOVED, CKR_SESSION_CLOSED, CKR_SESSION_HANDLE_INVALID, CKR_TOKEN_NOT_PRESENT}) {
    CK_SESSION_HANDLE h = open();
    mock::mockForce(1, fn(Fn::C_CloseSession), answer);
    EXPECT_EQ(C_CloseSession(h), answer) << "answered unchanged";
    EXPECT_EQ(backendSession(h), 0u) << std::hex << answer;
  }
  for (CK_RV answer : {CKR_FUNCTION_FAILED, CKR_GENERAL_ERROR, CKR_DEVICE_ERROR}) {
    CK_SESSION_HANDLE h = open();
    mock::mockForce(1, fn(Fn::C_CloseSession), answer);
    EXPECT_EQ(C_CloseSession(h), answer);
    EXPECT_NE(backendSession(h), 0u) << std::hex << answer;
    mock::mockForce(1, fn(Fn::C_CloseSession), CKR_OK);
    EXPECT_EQ(C_CloseSession(h), CKR_OK) << "the kept handle can be closed again";
  }
  uint32_t calls = mock::mockCount(0, fn(Fn::C_CloseSession));
  EXPECT_EQ(C_CloseSession(0), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(C_CloseSession(12345), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_CloseSession)), calls);
}

TEST_F(Sessions, TheLastSessionOfASlotTakesItsObjectsAndFamily) {
  start();
  CK_SESSION_HANDLE a = open(1), b = open(1), other = open(2);
  std::vector<CK_OBJECT_HANDLE> mine = find(a, 1, {0x501, 0x502});
  std::vector<CK_OBJECT_HANDLE> theirs = find(other, 2, {0x501});
  EXPECT_EQ(row(0).sessionFamily, 1u);
  ASSERT_EQ(C_CloseSession(a), CKR_OK);
  EXPECT_EQ(backendObject(mine[0]), 0x501u) << "slot 1 still has a session";
  EXPECT_EQ(row(0).sessionFamily, 1u);
  ASSERT_EQ(C_CloseSession(b), CKR_OK);
  EXPECT_EQ(backendObject(mine[0]), 0u);
  EXPECT_EQ(backendObject(mine[1]), 0u);
  EXPECT_EQ(row(0).sessionFamily, 0u);
  EXPECT_EQ(backendObject(theirs[0]), 0x501u) << "the other slot keeps its objects";
  EXPECT_EQ(row(1).sessionFamily, 1u);

  CK_SESSION_HANDLE again = open(1);
  EXPECT_EQ(find(again, 1, {0x501})[0], 4u) << "found again: a new, larger handle";
}

TEST_F(Sessions, CloseAllUsesTheFamilyOfTheSlotsSessionsNotTheCard) {
  start(kAtrFamily2);
  uint32_t calls = mock::mockCount(0, fn(Fn::C_CloseAllSessions));
  EXPECT_EQ(C_CloseAllSessions(1), CKR_OK) << "no session ever opened: no backend";
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_CloseAllSessions)), calls);
  EXPECT_EQ(C_CloseAllSessions(0), CKR_SLOT_ID_INVALID);
  EXPECT_EQ(C_CloseAllSessions(3), CKR_SLOT_ID_INVALID);

  CK_SESSION_HANDLE common = open(1), secure = open(2);
  std::vector<CK_OBJECT_HANDLE> objs = find(common, 3, {0x77});
  std::vector<CK_OBJECT_HANDLE> secureObjs = find(secure, 4, {0x77});
  pcsc().remove("Rd");
  for (CK_RV refused : {CKR_SESSION_CLOSED, CKR_FUNCTION_FAILED}) {
    mock::mockForce(3, fn(Fn::C_CloseAllSessions), refused);
    EXPECT_EQ(C_CloseAllSessions(1), refused);
    EXPECT_NE(backendSession(common), 0u);
    EXPECT_NE(backendObject(objs[0]), 0u);
  }
  mock::mockForce(3, fn(Fn::C_CloseAllSessions), CKR_DEVICE_REMOVED);
  EXPECT_EQ(C_CloseAllSessions(1), CKR_DEVICE_REMOVED) << "works without the card";
  EXPECT_EQ(lastCall(3, Fn::C_CloseAllSessions).args[0], kBackendSlot);
  EXPECT_EQ(backendSession(common), 0u);
  EXPECT_EQ(backendObject(objs[0]), 0u);
  EXPECT_EQ(row(0).sessionFamily, 2u) << "kept: a later call reaches the backend again";
  EXPECT_NE(backendSession(secure), 0u);
  EXPECT_NE(backendObject(secureObjs[0]), 0u);

  for (CK_RV accepted : {CKR_OK, CKR_TOKEN_NOT_PRESENT}) {
    mock::mockForce(3, fn(Fn::C_CloseAllSessions), accepted);
    EXPECT_EQ(C_CloseAllSessions(1), accepted);
  }
  EXPECT_EQ(mock::mockCount(3, fn(Fn::C_CloseAllSessions)), 5u);
  EXPECT_EQ(mock::mockCount(4, fn(Fn::C_CloseAllSessions)), 0u);
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_CloseAllSessions)), 0u) << "role 1 holds no session of the slot";
  ASSERT_EQ(C_CloseAllSessions(2), CKR_OK);
  EXPECT_EQ(lastCall(4, Fn::C_CloseAllSessions).args[0], kBackendSlot);
  EXPECT_EQ(backendSession(secure), 0u);
}

// A session ends with its card: once another card is seen in the reader,
// only the new card's backend has sessions of the slot to close.
TEST_F(Sessions, CloseAllReachesTheBackendOfTheCardTheSessionsWereOpenedOn) {
  // Role 3 numbers the reader otherwise: each backend gets its own slot id.
  addReader("Rd", {1, 2, 4}, kBackendSlot);
  mock::mockAddSlot(3, kBackendSlot + 1, "Rd", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  pcsc().insert("Rd", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  CK_SESSION_HANDLE before = open(1);
  pcsc().insert("Rd", kAtrFamily2);
  CK_SESSION_HANDLE after = open(1);
  EXPECT_EQ(backendSession(before), 0u) << "the first card's session ended with it";
  mock::mockForce(3, fn(Fn::C_CloseAllSessions), CKR_FUNCTION_FAILED);
  EXPECT_EQ(C_CloseAllSessions(1), CKR_FUNCTION_FAILED);
  EXPECT_EQ(lastCall(3, Fn::C_CloseAllSessions).args[0], kBackendSlot + 1);
  EXPECT_NE(backendSession(after), 0u) << "kept while its backend still holds it";
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_CloseAllSessions)), 0u) << "role 1 holds no session of the slot any more";
}

// A backend that numbers sessions and objects afresh for each card: once
// the router has seen the card go, its handles reach no backend, and the
// next card's session 1 and object 1 get handles of their own.
TEST_F(Sessions, HandlesOfACardThatLeftItsReaderReachNoBackend) {
  pcsc().countEvents = true;  // the same kind of card again: only the count tells
  start();
  const CK_ULONG one[] = {1};
  mock::mockQueueHandles(1, one, 1);
  CK_SESSION_HANDLE old = open(1);
  CK_OBJECT_HANDLE oldKey = find(old, 1, {1})[0];
  pcsc().remove("Rd");
  pcsc().insert("Rd", kAtrFamily1);
  mock::mockQueueHandles(1, one, 1);
  CK_SESSION_HANDLE fresh = open(1);
  ASSERT_EQ(backendSession(fresh), 1u) << "the backend's numbering started again";
  CK_OBJECT_HANDLE freshKey = find(fresh, 1, {1})[0];
  EXPECT_NE(freshKey, oldKey);
  CK_MECHANISM mechanism{CKM_ECDSA, nullptr, 0};
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  const uint32_t calls = mocks().logCount;
  EXPECT_EQ(C_SignInit(old, &mechanism, freshKey), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(C_SignInit(fresh, &mechanism, oldKey), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_GetAttributeValue(fresh, oldKey, &label, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(mocks().logCount, calls) << "no backend saw the old handles";

  pcsc().remove("Rd");  // seen by the slot-event wait alone
  CK_SLOT_ID slot = 0;
  ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
  EXPECT_EQ(C_CloseSession(fresh), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(mocks().logCount, calls);
  EXPECT_EQ(objectRowsInUse(), 0u);
}

// A renewed card-service context counts card events afresh: the same card,
// still in its reader, keeps its sessions.
TEST_F(Sessions, TheSameCardKeepsItsSessionsAcrossARenewedContext) {
  pcsc().countEvents = true;
  start();
  CK_SESSION_HANDLE h = open(1);
  pcsc().killContexts(kScardEServiceStopped);
  pcsc().reader("Rd").events += 7;
  CK_TOKEN_INFO info;
  ASSERT_EQ(C_GetTokenInfo(1, &info), CKR_OK);  // looks at the card on a new context
  EXPECT_NE(backendSession(h), 0u);
}

// A long-running host whose card is pulled again and again, with a backend
// that refuses every close of a pulled card's session (CKR_DEVICE_ERROR)
// and a host that never retries: no row stays, so the tables never fill.
TEST_F(Sessions, ClosesRefusedForAPulledCardLeaveNoRows) {
  start();
  for (unsigned round = 0; round < 400; ++round) {  // 1200 sessions: more than the table holds
    pcsc().insert("Rd", kAtrFamily1);
    mock::mockForce(1, fn(Fn::C_CloseSession), CKR_OK);
    CK_SESSION_HANDLE h[3] = {open(1), open(1), open(1)};
    find(h[0], 1, {0x700 + round, 0x800 + round});
    pcsc().remove("Rd");
    mock::mockForce(1, fn(Fn::C_CloseSession), CKR_DEVICE_ERROR);
    for (CK_SESSION_HANDLE each : h) C_CloseSession(each);
    ASSERT_FALSE(HasFailure()) << "round " << round;
  }
  EXPECT_EQ(indexed(sessions.byHandle), 0u);
  EXPECT_EQ(objectRowsInUse(), 0u);
}

TEST_F(Sessions, SessionInfoCarriesTheVirtualSlotId) {
  start();
  CK_SESSION_HANDLE h = open(2);
  CK_SESSION_INFO info = {};
  info.slotID = 999;
  ASSERT_EQ(C_GetSessionInfo(h, &info), CKR_OK);
  EXPECT_EQ(info.slotID, 2u);
  EXPECT_EQ(lastCall(2, Fn::C_GetSessionInfo).args[0], backendSession(h));
  EXPECT_EQ(lastCall(2, Fn::C_GetSessionInfo).args[1], word(&info));
  info.slotID = 999;
  mock::mockForce(2, fn(Fn::C_GetSessionInfo), CKR_DEVICE_REMOVED);
  EXPECT_EQ(C_GetSessionInfo(h, &info), CKR_DEVICE_REMOVED);
  EXPECT_EQ(info.slotID, 999u) << "nothing written when the backend failed";
  EXPECT_EQ(C_GetSessionInfo(0, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Sessions, OperationStateTranslatesGivenKeys) {
  start();
  CK_SESSION_HANDLE h = open();
  std::vector<CK_OBJECT_HANDLE> keys = find(h, 1, {0x901, 0x902});
  CK_BYTE state[4];
  CK_ULONG length = sizeof state;
  mock::mockForce(1, fn(Fn::C_GetOperationState), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(C_GetOperationState(h, state, &length), CKR_BUFFER_TOO_SMALL);
  const mock::Call &get = lastCall(1, Fn::C_GetOperationState);
  EXPECT_EQ(get.args[0], backendSession(h));
  EXPECT_EQ(get.args[1], word(state));
  EXPECT_EQ(get.args[2], word(&length));

  EXPECT_EQ(C_SetOperationState(h, state, 4, keys[1], 0), CKR_OK);
  const mock::Call &set = lastCall(1, Fn::C_SetOperationState);
  EXPECT_EQ(set.args[0], backendSession(h));
  EXPECT_EQ(set.args[1], word(state));
  EXPECT_EQ(set.args[2], 4u);
  EXPECT_EQ(set.args[3], 0x902u);
  EXPECT_EQ(set.args[4], 0u) << "0 means no key";
  uint32_t calls = mock::mockCount(1, fn(Fn::C_SetOperationState));
  EXPECT_EQ(C_SetOperationState(h, state, 4, 0, 999), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_SetOperationState(h, state, 4, 999, keys[1]), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_SetOperationState)), calls);
  EXPECT_EQ(C_SetOperationState(0, state, 4, 0, 0), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Sessions, TheCounterWrapsPastZeroAndHandlesInUse) {
  start();
  CK_SESSION_HANDLE one = open(), two = open();
  sessions.lastSessionHandle = 0xFFFFFFFEu;
  EXPECT_EQ(open(), 0xFFFFFFFFu);
  EXPECT_EQ(open(), 3u) << "0 is skipped, and so are 1 and 2, still open";
  ASSERT_EQ(C_CloseSession(one), CKR_OK);
  sessions.lastSessionHandle = 0xFFFFFFFFu;
  EXPECT_EQ(open(), 1u) << "a closed handle may come back only after the counter went round";
  EXPECT_EQ(backendSession(two), 0x10002u);
}

}  // namespace
