// Slot, token and mechanism queries, the card serial read and slot events,
// with the four mock modules and the scripted card service.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cards/cardcontext.h"
#include "router_fixture.h"
#include "cards/serial.h"

using namespace tokenhub;
using namespace testkit;

namespace {

constexpr CK_RV rv(CK_RV v) { return v; }
constexpr CK_FLAGS kSlotFlags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
constexpr CK_FLAGS kTokenFlags = kSlotFlags | CKF_TOKEN_PRESENT;

const Bytes kSelectMf = fromHex("00 A4 00 0C 02 3F 00");
const Bytes kSelectEf1 = fromHex("00 A4 00 0C 02 2F 01");
const Bytes kSelectEf2 = fromHex("00 A4 02 0C 02 2F 01");
const Bytes kRead = fromHex("00 B0 00 00 14");

std::string field(const unsigned char *bytes, size_t size) { return std::string(reinterpret_cast<const char *>(bytes), size); }
std::string padded(const std::string &text, size_t size) { return text + std::string(size - text.size(), ' '); }

class Slots : public RouterTest {
 protected:
  // "Rd" served by all four roles as backend slot 7, with a token present in each.
  void oneReaderAllRoles() { addReader("Rd", {1, 2, 3, 4}, 7, kTokenFlags); }

  std::vector<CK_SLOT_ID> slotList(CK_BBOOL tokenPresent) {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetSlotList(tokenPresent, nullptr, &count), rv(CKR_OK));
    std::vector<CK_SLOT_ID> ids(count);
    EXPECT_EQ(C_GetSlotList(tokenPresent, ids.data(), &count), rv(CKR_OK));
    return ids;
  }

  CK_SLOT_INFO slotInfo(CK_SLOT_ID id) {
    CK_SLOT_INFO info;
    std::memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(C_GetSlotInfo(id, &info), rv(CKR_OK));
    return info;
  }
};

using SlotList = Slots;

TEST_F(SlotList, CountsAllSlotsAndRefusesAShortListWritingNothing) {
  addReader("Rd A", {1});
  addReader("Rd B", {3});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  CK_ULONG count = 99;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), rv(CKR_OK));
  EXPECT_EQ(count, 4u);

  CK_SLOT_ID ids[4] = {77, 77, 77, 77};
  count = 3;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, ids, &count), rv(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(count, 4u) << "the count needed";
  EXPECT_EQ(ids[0], 77u);
  EXPECT_EQ(ids[2], 77u);
  count = 4;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, ids, &count), rv(CKR_OK));
  EXPECT_EQ(std::vector<CK_SLOT_ID>(ids, ids + 4), (std::vector<CK_SLOT_ID>{1, 2, 3, 4}));
  EXPECT_EQ(C_GetSlotList(CK_FALSE, ids, nullptr), rv(CKR_ARGUMENTS_BAD));
  EXPECT_EQ(pcsc().statusChangeCalls, 2) << "only C_Initialize asked PC/SC; listing all slots reads no card";
}

TEST_F(SlotList, WithTokensListsOnlyRecognisedCardsWhoseBackendHasTheToken) {
  addReader("Family1", {1}, 5, kTokenFlags);          // role 2 lacks the reader: secure slot unserved
  addReader("Unknown", {1, 2, 3, 4}, 6, kTokenFlags);  // a card of no known family
  addReader("Family2", {3, 4}, 8, kTokenFlags);
  addReader("Empty", {1, 2, 3, 4}, 9, kTokenFlags);
  mocks().backends[3].slots[1].flags = kSlotFlags;      // role 4 sees no token in "Family2"
  pcsc().insert("Family1", kAtrFamily1);
  pcsc().insert("Unknown", fromHex("3B 02 14 50"));
  pcsc().insert("Family2", kAtrFamily2);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(slotList(CK_TRUE), (std::vector<CK_SLOT_ID>{1, 7})) << "role 3's reader comes after role 1's";
  EXPECT_EQ(slotList(0x80), (std::vector<CK_SLOT_ID>{1, 7})) << "any non-zero value asks for tokens";
  const mock::Call *asked = mock::mockFind(3, fn(Fn::C_GetSlotInfo), mock::mockCount(3, fn(Fn::C_GetSlotInfo)) - 1);
  ASSERT_NE(asked, nullptr);
  EXPECT_EQ(asked->args[0], 8u) << "the backend is asked about its own slot id";

  mock::mockForce(1, fn(Fn::C_GetSlotInfo), CKR_DEVICE_ERROR);
  EXPECT_EQ(slotList(CK_TRUE), (std::vector<CK_SLOT_ID>{7}));
}

TEST_F(Slots, SlotInfoReportsTheRoutersOwnDescriptionFlagsAndVersions) {
  oneReaderAllRoles();
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  CK_SLOT_INFO info = slotInfo(2);
  EXPECT_EQ(field(info.slotDescription, 64), padded("Rd secure profile", 64));
  EXPECT_EQ(field(info.manufacturerID, 32), std::string(32, ' '));
  EXPECT_EQ(info.flags, kSlotFlags);
  EXPECT_EQ(info.hardwareVersion.major, 0);
  EXPECT_EQ(info.hardwareVersion.minor, 0);
  EXPECT_EQ(info.firmwareVersion.major, 0);
  EXPECT_EQ(info.firmwareVersion.minor, 0);

  pcsc().insert("Rd", kAtrFamily2b);
  info = slotInfo(1);
  EXPECT_EQ(info.flags, kTokenFlags);
  EXPECT_EQ(info.hardwareVersion.major, 3);
  EXPECT_EQ(info.hardwareVersion.minor, 0);
  EXPECT_EQ(info.firmwareVersion.major, 0) << "nothing else of the backend's slot information";
  pcsc().insert("Rd", kAtrFamily1);
  EXPECT_EQ(slotInfo(2).hardwareVersion.major, 2);

  mocks().backends[1].slots[0].flags = kSlotFlags;  // role 2 sees no token
  info = slotInfo(2);
  EXPECT_EQ(info.flags, kSlotFlags);
  EXPECT_EQ(info.hardwareVersion.major, 0);
  pcsc().insert("Rd", fromHex("3B 00"));
  EXPECT_EQ(slotInfo(1).flags, kSlotFlags) << "an unrecognised card is no token";
  pcsc().statusChangeResult = kScardENoService;
  EXPECT_EQ(slotInfo(1).flags, kSlotFlags);
}

TEST_F(Slots, SlotInfoArgumentsAndALabelOfExactly64Characters) {
  std::string name49(49, 'N');
  addReader(name49, {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(field(slotInfo(1).slotDescription, 64), name49 + " common profile");
  CK_SLOT_INFO info;
  EXPECT_EQ(C_GetSlotInfo(1, nullptr), rv(CKR_ARGUMENTS_BAD));
  EXPECT_EQ(C_GetSlotInfo(0, &info), rv(CKR_SLOT_ID_INVALID));
  EXPECT_EQ(C_GetSlotInfo(3, &info), rv(CKR_SLOT_ID_INVALID));
  EXPECT_EQ(C_GetSlotInfo(3, nullptr), rv(CKR_SLOT_ID_INVALID)) << "the slot is looked up first";
}

TEST_F(Slots, EverySlotCallNeedsTheLibraryInitialised) {
  CK_ULONG count = 0;
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, nullptr), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(C_GetSlotInfo(1, nullptr), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(C_GetTokenInfo(1, nullptr), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(C_GetMechanismList(1, nullptr, &count), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(C_GetMechanismInfo(1, CKM_RSA_PKCS, nullptr), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(C_InitToken(1, nullptr, 0, nullptr), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(C_WaitForSlotEvent(0, nullptr, &slot), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
}

// The three calls that reach the backend unchanged but for the slot id.
TEST_F(Slots, MechanismCallsAndInitTokenGoToTheResolvedBackend) {
  addReader("Rd", {1, 2}, 7, kTokenFlags);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  CK_MECHANISM_TYPE list[4];
  CK_ULONG count = 4;
  CK_MECHANISM_INFO info;
  CK_UTF8CHAR pin[] = "1234", label[32] = {};
  struct Case {
    Fn function;
    std::function<CK_RV(CK_SLOT_ID)> call;
    std::vector<uintptr_t> restArgs;
  } cases[] = {
      {Fn::C_GetMechanismList, [&](CK_SLOT_ID s) { return C_GetMechanismList(s, list, &count); },
       {uintptr_t(list), uintptr_t(&count)}},
      {Fn::C_GetMechanismInfo, [&](CK_SLOT_ID s) { return C_GetMechanismInfo(s, CKM_SHA256_RSA_PKCS, &info); },
       {CKM_SHA256_RSA_PKCS, uintptr_t(&info)}},
      {Fn::C_InitToken, [&](CK_SLOT_ID s) { return C_InitToken(s, pin, 4, label); },
       {uintptr_t(pin), 4, uintptr_t(label)}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.function));
    mock::mockReset();
    mock::mockAddSlot(1, 7, "Rd", kTokenFlags);
    EXPECT_EQ(c.call(0), rv(CKR_SLOT_ID_INVALID));
    EXPECT_EQ(c.call(1), rv(CKR_TOKEN_NOT_PRESENT)) << "empty reader";
    pcsc().insert("Rd", kAtrFamily2);
    EXPECT_EQ(c.call(1), rv(CKR_TOKEN_NOT_RECOGNIZED)) << "no family-2 backend knows the reader";
    EXPECT_EQ(mock::mockCount(0, fn(c.function)), 0u);

    pcsc().insert("Rd", kAtrFamily1);
    EXPECT_EQ(c.call(1), rv(CKR_OK));
    const mock::Call *call = mock::mockFind(0, fn(c.function), 0);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->role, 1u);
    EXPECT_EQ(call->args[0], 7u);
    EXPECT_EQ(std::vector<uintptr_t>(call->args + 1, call->args + call->argCount), c.restArgs);
    EXPECT_EQ(c.call(2), rv(CKR_OK));
    EXPECT_EQ(mock::mockFind(0, fn(c.function), 1)->role, 2u);

    mock::mockForce(1, fn(c.function), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(c.call(1), rv(CKR_TOKEN_NOT_RECOGNIZED));
    mock::mockForce(1, fn(c.function), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.call(1), rv(CKR_BUFFER_TOO_SMALL));
    pcsc().remove("Rd");
  }
}

class TokenInfo : public Slots {
 protected:
  void SetUp() override {
    Slots::SetUp();
    oneReaderAllRoles();
    std::strcpy(mock::mockToken(1)->model, "Backend model");
    std::strcpy(mock::mockToken(1)->serialNumber, "BACKEND-SERIAL");
  }
  void insertCard(int layout, const Bytes &file, const Bytes &atr = kAtrFamily1) {
    pcsc().insert("Rd", atr);
    pcsc().reader("Rd").card.layout = layout;
    pcsc().reader("Rd").card.file = file;
  }
  CK_RV tokenInfo(CK_SLOT_ID id = 1) {
    if (router.initCount == 0) {
      EXPECT_EQ(C_Initialize(nullptr), rv(CKR_OK));
    }
    std::memset(&info, 0, sizeof info);
    return C_GetTokenInfo(id, &info);
  }
  std::string model() { return field(info.model, 16); }
  std::string serial() { return field(info.serialNumber, 16); }
  std::vector<Op> ops() {
    std::vector<Op> out;
    for (const PcscCall &c : pcsc().calls) out.push_back(c.op);
    return out;
  }
  CK_TOKEN_INFO info;
};

TEST_F(TokenInfo, Layout1SerialReadInOneTransactionOnASharedConnection) {
  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
  pcsc().reader("Rd").activeProtocol = 1;  // the connection's protocol is used, whatever it is
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), "1A2B3C4D5E      ");
  EXPECT_EQ(model(), "LumeraSecure 2.0");
  EXPECT_EQ(field(info.label, 32), padded("Mock token 1", 32)) << "the rest is the backend's";

  const PcscCall &connect = pcsc().calls.at(0);
  EXPECT_EQ(connect.reader, "Rd");
  EXPECT_EQ(connect.shareMode, kScardShareShared) << "other programs keep using the card";
  EXPECT_EQ(connect.protocols, kScardProtocolT1) << "T=1 only";
  EXPECT_EQ(pcsc().commands(), (std::vector<Bytes>{kSelectMf, kSelectEf1, kRead}));
  // Every exchange inside an open transaction, on the connection's protocol;
  // the transaction ended and the card left as it was.
  bool inTransaction = false;
  for (const PcscCall &c : pcsc().calls) {
    if (c.op == Op::Begin) inTransaction = true;
    if (c.op == Op::End) inTransaction = false;
    if (c.op == Op::Transmit) {
      EXPECT_TRUE(inTransaction) << "an exchange outside the transaction";
      EXPECT_EQ(c.protocols, 1u);
      EXPECT_EQ(c.card, connect.card);
    }
    if (c.op == Op::End || c.op == Op::Disconnect) {
      EXPECT_EQ(c.disposition, kScardLeaveCard);
    }
  }
  EXPECT_FALSE(inTransaction) << "the transaction stays open";
  EXPECT_TRUE(pcsc().cards.empty()) << "nothing stays connected";
  EXPECT_TRUE(SleepRecorder::sleeps().empty());

  const mock::Call *call = mock::mockFind(0, fn(Fn::C_GetTokenInfo), 0);
  EXPECT_EQ(call->role, 1u);
  EXPECT_EQ(call->args[0], 7u);
  EXPECT_EQ(call->args[1], reinterpret_cast<uintptr_t>(&info));
}

TEST_F(TokenInfo, Layout1WithALeadingZeroByteGivesEightDigits) {
  insertCard(1, serialFile(fromHex("00 2B 3C 4D 5E")));
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), "2B3C4D5E        ");
}

TEST_F(TokenInfo, Layout2WhenForm1IsRefusedTakesBytes13To15ThenTheFirstFive) {
  insertCard(2, serialFile(fromHex("01 02 03 04 05"), fromHex("AB CD EF")), kAtrFamily2);
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), "ABCDEF0102030405");
  EXPECT_EQ(pcsc().commands(), (std::vector<Bytes>{kSelectMf, kSelectEf1, kSelectEf2, kRead}));
  EXPECT_EQ(mock::mockFind(0, fn(Fn::C_GetTokenInfo), 0)->role, 3u);
}

TEST_F(TokenInfo, TheStarcos3ModelsAreKept) {
  insertCard(1, serialFile(fromHex("11 22 33 44 55")), kAtrFamily2);
  for (const char *kept : {"LumeraSecure 3.0", "LumeraSecure 3.2"}) {
    std::strcpy(mock::mockToken(3)->model, kept);
    ASSERT_EQ(tokenInfo(), rv(CKR_OK));
    EXPECT_EQ(model(), kept);
    EXPECT_EQ(serial(), "1122334455      ");
  }
  std::strcpy(mock::mockToken(3)->model, "LumeraSecure 3.1");
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(model(), "LumeraSecure 2.0");
}

TEST_F(TokenInfo, AnUnreadableSerialLeavesTheBackendsModelAndSerial) {
  struct Case {
    const char *what;
    std::function<void(FakeReader &)> script;
    std::vector<Bytes> commands;
  } cases[] = {
      {"SELECT MF refused", [](FakeReader &r) { r.card.mfStatus = 0x6A82; }, {kSelectMf}},
      {"SELECT MF answered with data", [](FakeReader &r) { r.answers[kSelectMf] = fromHex("3F 00 90 00"); },
       {kSelectMf}},
      {"SELECT MF exchange failed", [](FakeReader &r) { r.transmitFailures[kSelectMf] = kScardECommError; },
       {kSelectMf}},
      {"both forms refused", [](FakeReader &r) { r.card.layout = 0; }, {kSelectMf, kSelectEf1, kSelectEf2}},
      {"form 1 answered with 3 bytes", [](FakeReader &r) { r.answers[kSelectEf1] = fromHex("00 90 00"); },
       {kSelectMf, kSelectEf1}},
      {"form 1 exchange failed", [](FakeReader &r) { r.transmitFailures[kSelectEf1] = kScardECommError; },
       {kSelectMf, kSelectEf1}},
      {"READ of 21 bytes", [](FakeReader &r) { r.card.file.resize(19); }, {kSelectMf, kSelectEf1, kRead}},
      {"READ exchange failed", [](FakeReader &r) { r.transmitFailures[kRead] = kScardECommError; },
       {kSelectMf, kSelectEf1, kRead}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    pcsc().calls.clear();
    pcsc().reader("Rd") = FakeReader();
    insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
    c.script(pcsc().reader("Rd"));
    ASSERT_EQ(tokenInfo(), rv(CKR_OK));
    EXPECT_EQ(model(), padded("Backend model", 16));
    EXPECT_EQ(serial(), padded("BACKEND-SERIAL", 16));
    EXPECT_EQ(pcsc().commands(), c.commands);
    EXPECT_EQ(pcsc().callsOf(Op::End).size(), 2u) << "the transaction is ended";
    EXPECT_EQ(pcsc().callsOf(Op::Disconnect).size(), 1u);
  }
}

TEST_F(TokenInfo, TheReadsStatusWordIsNotExamined) {
  insertCard(1, {});
  pcsc().reader("Rd").answers[kRead] = serialFile(fromHex("99 88 77 66 55"));
  pcsc().reader("Rd").answers[kRead].insert(pcsc().reader("Rd").answers[kRead].end(), {0x62, 0x82});
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), "9988776655      ");
}

TEST_F(TokenInfo, AResetCardIsReconnectedAndTheTransactionRetried) {
  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
  pcsc().reader("Rd").begin.next = {kScardWResetCard};
  pcsc().reader("Rd").status.next = {kScardWResetCard};
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), "1A2B3C4D5E      ");
  EXPECT_EQ(ops(), (std::vector<Op>{Op::Connect, Op::End, Op::Begin, Op::Reconnect, Op::End, Op::Begin, Op::Status,
                                    Op::Reconnect, Op::End, Op::Begin, Op::Status, Op::Transmit, Op::Transmit,
                                    Op::Transmit, Op::End, Op::Disconnect}));
  for (const PcscCall &r : pcsc().callsOf(Op::Reconnect)) {
    EXPECT_EQ(r.shareMode, kScardShareShared);
    EXPECT_EQ(r.protocols, kScardProtocolT1);
    EXPECT_EQ(r.disposition, kScardLeaveCard);
  }
  EXPECT_EQ(SleepRecorder::sleeps(), (std::vector<uint32_t>{10, 10}));
}

TEST_F(TokenInfo, TheTransactionIsGivenUpAfterTenAttempts) {
  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
  pcsc().reader("Rd").begin.otherwise = kScardESharingViolation;
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), padded("BACKEND-SERIAL", 16));
  EXPECT_EQ(pcsc().callsOf(Op::Begin).size(), 10u);
  EXPECT_TRUE(pcsc().callsOf(Op::Reconnect).empty()) << "only a reset card is reconnected";
  EXPECT_TRUE(pcsc().commands().empty());
  EXPECT_EQ(SleepRecorder::sleeps(), std::vector<uint32_t>(10, 10));
  EXPECT_EQ(pcsc().callsOf(Op::End).size(), 11u);
  EXPECT_EQ(pcsc().callsOf(Op::Disconnect).size(), 1u);

  // A reconnect that keeps failing makes each attempt's result its own.
  pcsc().calls.clear();
  SleepRecorder::sleeps().clear();
  pcsc().reader("Rd").begin.otherwise = kScardWResetCard;
  pcsc().reader("Rd").reconnect.otherwise = kScardENoSmartcard;
  EXPECT_EQ(beginCardTransaction(0xCA01), kScardEInvalidHandle) << "an unknown handle";
  pcsc().calls.clear();
  PcscCard card = 0;
  uint32_t protocol = 0;
  ASSERT_EQ(tokenhub::pcsc().connect(router.cardContext, "Rd", 2, 2, &card, &protocol), kScardSuccess);
  EXPECT_EQ(beginCardTransaction(card), kScardENoSmartcard);
  EXPECT_EQ(pcsc().callsOf(Op::Reconnect).size(), 10u);

  // A card reset at every attempt is never read without a transaction.
  pcsc().reader("Rd").reconnect.otherwise = kScardSuccess;
  EXPECT_EQ(beginCardTransaction(card), kScardWResetCard);
  pcsc().calls.clear();
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_TRUE(pcsc().commands().empty());
  EXPECT_EQ(serial(), padded("BACKEND-SERIAL", 16));
}

TEST_F(TokenInfo, AFailedConnectionReadsNothingAndLeavesNothingToClose) {
  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
  pcsc().reader("Rd").connect.otherwise = kScardESharingViolation;
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), padded("BACKEND-SERIAL", 16));
  EXPECT_EQ(ops(), std::vector<Op>{Op::Connect});
}

TEST_F(TokenInfo, ResultsOfTheLookUpAndOfTheBackend) {
  EXPECT_EQ(tokenInfo(0), rv(CKR_SLOT_ID_INVALID));
  EXPECT_EQ(tokenInfo(5), rv(CKR_SLOT_ID_INVALID));
  EXPECT_EQ(tokenInfo(1), rv(CKR_TOKEN_NOT_PRESENT));
  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")), fromHex("3B 02 14 50"));
  EXPECT_EQ(tokenInfo(1), rv(CKR_TOKEN_NOT_RECOGNIZED));
  EXPECT_TRUE(pcsc().calls.empty()) << "no card is read without a backend";

  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
  mock::mockForce(1, fn(Fn::C_GetTokenInfo), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(tokenInfo(1), rv(CKR_TOKEN_NOT_RECOGNIZED));
  EXPECT_EQ(serial(), std::string(16, '\0')) << "not adjusted when the backend failed";
  mock::mockForce(1, fn(Fn::C_GetTokenInfo), CKR_DEVICE_ERROR);
  EXPECT_EQ(tokenInfo(1), rv(CKR_DEVICE_ERROR));
  EXPECT_EQ(model(), std::string(16, '\0'));
  mock::mockForce(1, fn(Fn::C_GetTokenInfo), CKR_OK);  // answers OK and writes nothing
  EXPECT_EQ(C_GetTokenInfo(1, nullptr), rv(CKR_OK)) << "nothing is written through a null pointer";
}

TEST_F(TokenInfo, TheSerialIsKeptWhileTheSameCardStaysInserted) {
  pcsc().countEvents = true;
  insertCard(1, serialFile(fromHex("1A 2B 3C 4D 5E")));
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  pcsc().reader("Rd").connect.otherwise = kScardESharingViolation;  // another program holds the card
  ASSERT_EQ(tokenInfo(2), rv(CKR_OK));
  EXPECT_EQ(serial() + model(), "1A2B3C4D5E      LumeraSecure 2.0") << "kept for both slots of the reader";
  insertCard(1, serialFile(fromHex("99 88 77 66 55")));  // the next insertion
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), padded("BACKEND-SERIAL", 16)) << "unreadable, and nothing kept";
  pcsc().reader("Rd").connect.otherwise = kScardSuccess;
  pcsc().reader("Rd").connect.next = {kScardEServiceStopped};  // repeated once on a new context
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(serial(), "9988776655      ");
  EXPECT_EQ(pcsc().establishCalls, 2);
  pcsc().reader("Rd").atr = kAtrFamily2;  // read again: a changed ATR, then every call uncounted
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  pcsc().countEvents = false;
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  ASSERT_EQ(tokenInfo(), rv(CKR_OK));
  EXPECT_EQ(pcsc().callsOf(Op::Connect).size(), 7u);
}

TEST(HexEncode, UpperCaseDigitsHighNibbleFirstAndAClosingNul) {
  char text[12];
  std::memset(text, 'x', sizeof text);
  const uint8_t bytes[] = {0x00, 0x9F, 0xA0, 0xFF, 0x5C};
  hexEncode(bytes, 5, text);
  EXPECT_STREQ(text, "009FA0FF5C");
  std::memset(text, 'x', sizeof text);
  hexEncode(bytes, 0, text);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], 'x');
}

class WaitForSlotEvent : public Slots {
 protected:
  CK_RV wait(CK_FLAGS flags = 0) {
    slot = 0;
    return C_WaitForSlotEvent(flags, &slot, nullptr);
  }
  // Script: while the wait waits, a card arrives in or leaves reader "Rd B".
  static void changeReaderB(int) {
    if (FakePcsc::get().readers["Rd B"].present)
      FakePcsc::get().remove("Rd B");
    else
      FakePcsc::get().insert("Rd B", fromHex("3B 00"));
  }
  // A blocking wait on another thread, and C_Finalize 50 ms after it began
  // (then `afterFinalize`): the wait's result, how long after the C_Finalize
  // began it ended, and whether it ended before C_Finalize returned.
  struct FinalisedWait {
    CK_RV result;
    std::chrono::steady_clock::duration sinceFinalising;
    bool endedFirst;
  };
  FinalisedWait finaliseAWait(const std::function<void(const std::atomic<CK_RV> &)> &afterFinalize = {}) {
    std::atomic<CK_RV> result{0};
    std::chrono::steady_clock::time_point ended;
    std::thread waiter([&] {
      result = wait();
      ended = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto finalising = std::chrono::steady_clock::now();
    EXPECT_EQ(C_Finalize(nullptr), rv(CKR_OK));
    auto finalised = std::chrono::steady_clock::now();
    if (afterFinalize) afterFinalize(result);
    waiter.join();
    return {result.load(), ended - finalising, ended <= finalised};
  }
  static int changeAt;
  CK_SLOT_ID slot = 0;
};
int WaitForSlotEvent::changeAt = 0;

TEST_F(WaitForSlotEvent, InsertionAndRemovalGiveTheCommonThenTheSecureSlot) {
  addReader("Rd A", {1}, 1);
  addReader("Rd B", {1}, 2);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  int before = pcsc().statusChangeCalls;
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT));
  EXPECT_TRUE(SleepRecorder::sleeps().empty()) << "a non-blocking call never sleeps";
  EXPECT_EQ(pcsc().statusChangeCalls, before + 1);
  EXPECT_EQ(pcsc().timeouts.back(), 0u);
  EXPECT_EQ(pcsc().statusChangeCounts.back(), 2u) << "one record per reader";

  for (bool inserting : {true, false}) {
    SCOPED_TRACE(inserting ? "insertion" : "removal");
    SleepRecorder::sleeps().clear();
    pcsc().timeouts.clear();
    pcsc().waitContexts.clear();
    pcsc().whileWaiting = changeReaderB;
    EXPECT_EQ(wait(), rv(CKR_OK));
    EXPECT_EQ(slot, 3u);
    // Asked, waited for inside the service, asked again. (pcsc-lite's
    // notice does not count the readers: the wait looks at the list each 500 ms.)
    EXPECT_EQ(pcsc().timeouts, (std::vector<uint32_t>{0, 500, 0}));
    EXPECT_TRUE(SleepRecorder::sleeps().empty());
    ASSERT_EQ(pcsc().waitContexts.size(), 1u);
    EXPECT_NE(pcsc().waitContexts[0], router.cardContext) << "on a context of its own";
    EXPECT_EQ(pcsc().lastReleased, pcsc().waitContexts[0]);
    EXPECT_EQ(row(2).cardPresent, inserting ? 1u : 0u);
    EXPECT_EQ(row(3).cardPresent, inserting ? 0u : 1u) << "the secure slot is reported next";
    EXPECT_EQ(wait(), rv(CKR_OK));
    EXPECT_EQ(slot, 4u);
    EXPECT_EQ(pcsc().timeouts.size(), 4u) << "the second event comes at once";
    EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT));
    EXPECT_EQ(row(0).cardPresent + row(1).cardPresent, 0u);
  }
  C_Finalize(nullptr);
  EXPECT_EQ(pcsc().cancelCalls, 0) << "a wait that ended by an event stayed enlisted";
}

TEST_F(WaitForSlotEvent, ACardPresentAtInitialisationIsNoEvent) {
  addReader("Rd A", {1});
  pcsc().insert("Rd A", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT));
  pcsc().remove("Rd A");
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  EXPECT_EQ(slot, 1u);
}

// A blocking wait returns on an event or at the end only: a service that
// fails its queries is asked on, a hundred times a second for a second,
// then twenty.
TEST_F(WaitForSlotEvent, ArgumentsAndAFailingService) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  int reserved = 0;
  EXPECT_EQ(C_WaitForSlotEvent(0, nullptr, nullptr), rv(CKR_ARGUMENTS_BAD));
  EXPECT_EQ(C_WaitForSlotEvent(0, &slot, &reserved), rv(CKR_ARGUMENTS_BAD));
  pcsc().statusChangeResult = kScardEInvalidValue;
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_FUNCTION_FAILED));
  EXPECT_TRUE(SleepRecorder::sleeps().empty());
  changeAt = pcsc().statusChangeCalls + 150;
  pcsc().afterStatusChange = [](int call) {
    if (call != changeAt) return;
    FakePcsc::get().statusChangeResult = 0;
    FakePcsc::get().insert("Rd A", kAtrFamily1);
  };
  EXPECT_EQ(wait(), rv(CKR_OK));
  std::vector<uint32_t> pauses(100, 10);
  pauses.resize(150, 50);
  EXPECT_EQ(SleepRecorder::sleeps(), pauses);
  // A wait inside the service that fails is tried again after 20 polls, on its own context.
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  pcsc().waitQueryResult = kScardEInvalidValue;
  pcsc().waitContexts.clear();
  SleepRecorder::sleeps().clear();
  int established = pcsc().establishCalls;
  changeAt = pcsc().statusChangeCalls + 70;
  pcsc().afterStatusChange = [](int call) {
    if (call == changeAt) FakePcsc::get().remove("Rd A");
  };
  EXPECT_EQ(wait(), rv(CKR_OK));
  EXPECT_EQ(pcsc().waitContexts.size(), 1 + SleepRecorder::sleeps().size() / 20);
  EXPECT_EQ(pcsc().establishCalls, established + 1);
}

// Up to the last reader of the last, partly filled group.
TEST_F(WaitForSlotEvent, ReadersAreQueriedTenAtATime) {
  for (int readers : {11, 21, 31}) {
    SCOPED_TRACE(readers);
    pcsc().install();
    mock::mockReset();
    for (int i = 0; i < readers; ++i) addReader("Rd " + std::to_string(i), {1}, i + 1);
    pcsc().insert("Rd " + std::to_string(readers - 1), kAtrFamily1);
    ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
    pcsc().statusChangeCounts.clear();
    pcsc().insert("Rd 9", kAtrFamily1);
    pcsc().remove("Rd " + std::to_string(readers - 1));
    for (CK_SLOT_ID expected : {19, 20, 2 * readers - 1, 2 * readers}) {
      EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
      EXPECT_EQ(slot, expected);
    }
    std::vector<uint32_t> groups(readers / 10, 10);
    groups.push_back(readers % 10);
    EXPECT_EQ(std::vector<uint32_t>(pcsc().statusChangeCounts.begin(), pcsc().statusChangeCounts.begin() + groups.size()),
              groups);
    C_Finalize(nullptr);
  }
  // Up to ten readers, a blocking wait waits inside the service; more are polled.
  for (int readers : {10, 11}) {
    SCOPED_TRACE(readers);
    pcsc().install();
    mock::mockReset();
    for (int i = 0; i < readers; ++i) addReader("Rd " + std::to_string(i), {1}, i + 1);
    ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
    changeAt = pcsc().statusChangeCalls + 3;
    pcsc().afterStatusChange = [](int call) {
      if (call == changeAt) FakePcsc::get().insert("Rd 0", kAtrFamily1);
    };
    pcsc().whileWaiting = [](int) { FakePcsc::get().insert("Rd 0", kAtrFamily1); };
    EXPECT_EQ(wait(), rv(CKR_OK));
    EXPECT_EQ(pcsc().waitContexts.size(), readers == 10 ? 1u : 0u);
    C_Finalize(nullptr);
  }
}

// pcsc-lite answers a call that the daemon left by ending with these two.
TEST_F(WaitForSlotEvent, EveryServiceGoneAnswerMeansNoCards) {
  addReader("Rd A", {1});
  pcsc().insert("Rd A", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  for (PcscResult gone : {kScardEServiceStopped, kScardENoService, kScardEInvalidHandle, kScardFCommError,
                          kScardWSecurityViolation, kScardESystemCancelled, kErrorBrokenPipe, kErrorInvalidHandle}) {
    pcsc().statusChangeResult = gone;
    EXPECT_NE(wait(CKF_DONT_BLOCK), rv(CKR_FUNCTION_FAILED)) << std::hex << gone;
  }
  EXPECT_EQ(row(0).cardPresent + row(1).cardPresent, 0u);
}

// Every answer of a dead context, to the router's on a slot call and to the
// wait's own inside the service: a new context, and the call goes on.
TEST_F(WaitForSlotEvent, EveryDeadContextIsRenewedOnSlotCallsAndInTheWait) {
  addReader("Rd A", {1}, 1, kTokenFlags);
  addReader("Rd B", {1}, 2, kTokenFlags);
  pcsc().insert("Rd A", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  static PcscResult dead;
  for (PcscResult code : {kScardEServiceStopped, kScardENoService, kScardEInvalidHandle, kScardFCommError,
                          kScardWSecurityViolation, kScardESystemCancelled, kErrorBrokenPipe, kErrorInvalidHandle}) {
    SCOPED_TRACE(code);
    dead = code;
    pcsc().killContexts(code);
    CK_TOKEN_INFO info;
    EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_OK));
    pcsc().whileWaiting = [](int call) {
      FakePcsc::get().whileWaiting = nullptr;
      FakePcsc::get().killContexts(dead);
      changeReaderB(call);
    };
    EXPECT_EQ(wait(), rv(CKR_OK));
    EXPECT_EQ(slot, 3u);
    EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  }
}

// Two threads that met the same stale context: the one that loses the race
// repeats its call on the winner's context, and only one new context is kept.
TEST_F(WaitForSlotEvent, ARenewalLostToAnotherThreadUsesTheWinnersContext) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  static ContextUse stale;
  static PcscContext won;
  stale = currentCardContext();
  pcsc().stopService();
  pcsc().startService();
  pcsc().onEstablish = [] {  // the other thread renews while this one establishes
    FakePcsc::get().onEstablish = nullptr;
    won = renewCardContext(stale);
  };
  EXPECT_EQ(renewCardContext(stale), won);
  EXPECT_EQ(renewCardContext(stale), won) << "found renewed already";
  EXPECT_EQ(router.cardContext, won);
  EXPECT_NE(won, 0u);
  EXPECT_EQ(pcsc().establishCalls, 3);
  EXPECT_EQ(pcsc().releaseCalls, 2) << "the stale context and the loser's own";
}

// With more than ten readers: the groups it answered keep their cards.
TEST_F(WaitForSlotEvent, AServiceGoneAfterAnsweringOneGroupKeepsThatGroupsCards) {
  for (int i = 0; i < 12; ++i) addReader("Rd " + std::to_string(i), {1}, i + 1);
  pcsc().insert("Rd 0", kAtrFamily1);
  pcsc().insert("Rd 11", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().failQueryCount = 2;  // the second group
  pcsc().failQueryResult = kScardEServiceStopped;
  pcsc().insert("Rd 2", kAtrFamily1);
  for (CK_SLOT_ID inserted : {5, 6}) {
    EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
    EXPECT_EQ(slot, inserted);
  }
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT)) << "neither Rd 0's card nor the unanswered Rd 11's was taken for removed";
}

// Two waits at once: an answer older than one already applied is not applied.
TEST_F(WaitForSlotEvent, AnOlderAnswerIsNotAppliedOverANewerOne) {
  addReader("Rd A", {1});
  pcsc().insert("Rd A", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  static CK_SLOT_ID newer[2];
  pcsc().afterStatusChange = [](int) {  // this wait has its answer, card present; another one runs now
    FakePcsc::get().afterStatusChange = nullptr;
    FakePcsc::get().remove("Rd A");
    for (CK_SLOT_ID &s : newer) C_WaitForSlotEvent(CKF_DONT_BLOCK, &s, nullptr);
  };
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT)) << "no insertion after the removal";
  EXPECT_EQ(newer[0], 1u);
  EXPECT_EQ(newer[1], 2u);
}

// A stopped service has no cards; the wait goes on, asks for a new context
// every 20th poll, and reports the card once the service is back.
TEST_F(WaitForSlotEvent, TheWaitOutlivesARestartOfTheCardService) {
  addReader("Rd A", {1});
  pcsc().insert("Rd A", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().stopService();
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  EXPECT_EQ(slot, 1u);
  changeAt = pcsc().statusChangeCalls + 45;
  pcsc().afterStatusChange = [](int call) {
    if (call == changeAt) FakePcsc::get().startService();
    // Back, but without its readers for a while.
    FakePcsc::get().statusChangeResult = call >= changeAt && call < changeAt + 20 ? kScardEUnknownReader : 0;
  };
  EXPECT_EQ(wait(), rv(CKR_OK));
  EXPECT_EQ(slot, 2u);
  EXPECT_EQ(wait(), rv(CKR_OK));
  EXPECT_EQ(slot, 1u);
  // While the service was away the wait polled 10 ms apart and asked for a
  // new context on every 20th poll only: besides those, the library's own,
  // the one that found the service back and the contexts of two waits
  // inside the service (the readers' absence made one fail, and the wait
  // polled again instead of asking the service at once).
  const size_t polls = SleepRecorder::sleeps().size();
  EXPECT_GE(polls, 45u);
  EXPECT_LE(pcsc().establishCalls, static_cast<int>(5 + polls / 20)) << polls << " polls";
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  // Gone again while the wait waits inside it; the library is finalised at
  // the next query on the router's context.
  pcsc().whileWaiting = [](int) { FakePcsc::get().stopService(); };
  pcsc().afterStatusChange = [](int) {
    if (FakePcsc::get().serviceStopped && FakePcsc::get().timeouts.back() == 0) C_Finalize(nullptr);
  };
  EXPECT_EQ(wait(), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_LE(pcsc().establishCalls, static_cast<int>(6 + polls / 20)) << "no renewal for a finalised library";
  EXPECT_EQ(pcsc().releaseCalls, pcsc().issuedContexts) << "every context established was released";
}

// Windows tells when its card service starts again: a wait while it is
// stopped asks the service nothing until then, takes a context of the new
// service at once, and ends when the library is finalised meanwhile.
TEST_F(WaitForSlotEvent, WhileTheServiceIsStoppedTheWaitWaitsForItsStart) {
  addReader("Rd A", {1});
  pcsc().insert("Rd A", kAtrFamily1);
  pcsc().announcesStart = true;
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  changeAt = pcsc().statusChangeCalls + 40;  // a wait that polls gets the service back all the same
  pcsc().afterStatusChange = [](int call) {
    if (call == changeAt) FakePcsc::get().startService();
  };
  for (int absence : {1, 2}) {
    SCOPED_TRACE(absence);
    pcsc().stopService();
    for (CK_SLOT_ID removed : {1, 2}) {
      EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
      EXPECT_EQ(slot, removed);
    }
    pcsc().startAsks = 0;
    if (absence == 1)
      pcsc().whileStopped = [](int ask) {
        if (ask == 5) FakePcsc::get().startService();
      };
    else
      pcsc().whileStopped = [](int ask) {
        if (ask == 8) C_Finalize(nullptr);
        if (ask == 30) FakePcsc::get().startService();  // a wait that never ends would end here
      };
    EXPECT_EQ(wait(), rv(absence == 1 ? CKR_OK : CKR_CRYPTOKI_NOT_INITIALIZED));
    EXPECT_EQ(slot, absence == 1 ? 1u : 0u);
    EXPECT_EQ(pcsc().startAsks, absence == 1 ? 5 : 8);
    EXPECT_EQ(SleepRecorder::sleeps().size(), absence == 1 ? 0u : 1u) << "no polling; only C_Finalize's own pause";
    if (absence == 1) {
      EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
      EXPECT_EQ(slot, 2u);
    }
  }
}

// Under Remote Desktop the local service may stay stopped while the
// redirected calls work: a wait for its start asks the service every 3 s.
TEST_F(WaitForSlotEvent, AWaitForTheServicesStartLooksAgainEveryThreeSeconds) {
  addReader("Rd A", {1});
  pcsc().insert("Rd A", kAtrFamily1);
  pcsc().announcesStart = true;
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().stopService();
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  pcsc().localServiceStopped = true;
  pcsc().whileStopped = [](int ask) {
    if (ask == 2) FakePcsc::get().startService();
  };
  EXPECT_EQ(wait(), rv(CKR_OK));
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(pcsc().startAsks, 60);
}

// A reader attached while the library runs gets the next pair: the wait
// reports its common slot (with a card in it, an insertion) once the list
// holds it; ids never move, the list never shrinks, and a reader that comes
// back under its backend slot gets its old pair.
TEST_F(WaitForSlotEvent, AReaderAttachedLaterGetsTheNextPairAndIdsNeverMove) {
  addReader("Rd A", {1, 3}, 1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().whileWaiting = [](int) {
    mock::mockAddSlot(1, 2, "Rd B", kSlotFlags);
    FakePcsc::get().addReader("Rd B");
    FakePcsc::get().insert("Rd B", kAtrFamily1);
  };
  std::atomic<bool> returned{false};
  std::thread guard([&] {  // a wait that missed the reader ends here, not at CTest's time-out
    for (int i = 0; i < 500 && !returned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!returned) C_Finalize(nullptr);
  });
  EXPECT_EQ(wait(), rv(CKR_OK));
  returned = true;
  guard.join();
  EXPECT_EQ(slot, 3u);
  EXPECT_EQ(router.slotCount, 4u);
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  EXPECT_EQ(slot, 4u) << "its card: an insertion";
  addReader("Rd C", {3}, 7);  // empty, seen by a non-blocking wait
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  EXPECT_EQ(slot, 5u);
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT));
  const std::vector<CK_SLOT_ID> all{1, 2, 3, 4, 5, 6};
  pcsc().unplug("Rd B");
  mocks().backends[0].slotCount = 1;
  EXPECT_EQ(slotList(CK_FALSE), all) << "gone: no shorter";
  addReader("Rd B", {1}, 2);
  EXPECT_EQ(slotList(CK_FALSE), all) << "back: its old pair";
  mocks().backends[0].slots[1].description[3] = 'D';  // slot 2 renumbered to another reader (not listed yet)
  mock::mockForce(3, fn(Fn::C_GetSlotList), CKR_DEVICE_ERROR);
  EXPECT_EQ(slotList(CK_FALSE).size(), 8u);
  EXPECT_STREQ(row(6).readerName, "Rd D");
  EXPECT_EQ(row(6).backendSlotFamily1, 2u);
  EXPECT_EQ(row(2).backendSlotFamily1, 0u) << "slot 2 serves its new reader only";
  EXPECT_EQ(row(4).backendSlotFamily2, 7u) << "a backend whose list fails keeps its pairs";
  for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(row(i).id, i + 1);
}

// The service counts a reader's card events in 16 bits: a card swapped
// across the count's wrap is still a removal and an insertion.
TEST_F(WaitForSlotEvent, ACardSwappedAcrossTheEventCountsWrapIsSeen) {
  pcsc().countEvents = true;
  addReader("Rd A", {1});
  pcsc().reader("Rd A").events = 0xFFFE;
  pcsc().insert("Rd A", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().remove("Rd A");
  pcsc().insert("Rd A", kAtrFamily1);  // counted 0x10001: 1
  for (CK_SLOT_ID expected : {1, 1, 2, 2}) {
    EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
    EXPECT_EQ(slot, expected);
  }
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT));
}

// A polling wait slows after a second without change; a wait inside the
// service that saw a change (a reader attached) makes it quick again.
TEST_F(WaitForSlotEvent, PollingIsQuickAgainAfterAWaitThatSawAChange) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  static size_t changedAt;
  changedAt = 0;
  pcsc().waitQueryResult = kScardECommError;  // the waits inside the service fail: the wait polls
  pcsc().afterStatusChange = [](int) {
    size_t slept = SleepRecorder::sleeps().size();
    if (slept == 150 && changedAt == 0) FakePcsc::get().waitQueryResult = 0;
    if (changedAt && slept == changedAt + 5) FakePcsc::get().insert("Rd A", kAtrFamily1);
  };
  pcsc().whileWaiting = [](int) {
    changedAt = SleepRecorder::sleeps().size();
    FakePcsc::get().waitQueryResult = kScardECommError;
    FakePcsc::get().addReader("Rd X");
  };
  EXPECT_EQ(wait(), rv(CKR_OK));
  const std::vector<uint32_t> &sleeps = SleepRecorder::sleeps();
  ASSERT_GT(changedAt, 0u);
  ASSERT_GT(sleeps.size(), changedAt);
  EXPECT_EQ(sleeps[changedAt - 1], 50u);
  EXPECT_EQ(sleeps[changedAt], 10u);
}

// The service answers a query naming an unplugged reader with
// SCARD_E_UNKNOWN_READER for all of its readers.
TEST_F(WaitForSlotEvent, AnUnpluggedReaderIsEmptyAndServedAgainWhenBack) {
  addReader("Rd A", {1}, 1, kTokenFlags);
  addReader("Rd B", {1}, 2, kTokenFlags);
  pcsc().insert("Rd A", kAtrFamily1);
  pcsc().insert("Rd B", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().whileWaiting = [](int) { FakePcsc::get().unplug("Rd A"); };
  for (CK_SLOT_ID removed : {1, 2}) {
    EXPECT_EQ(wait(), rv(CKR_OK));
    EXPECT_EQ(slot, removed);
  }
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_TOKEN_NOT_PRESENT));
  // The other reader keeps reporting; the wait leaves the unplugged one out.
  pcsc().whileWaiting = [](int) { FakePcsc::get().remove("Rd B"); };
  pcsc().timeouts.clear();
  pcsc().statusChangeCounts.clear();
  EXPECT_EQ(wait(), rv(CKR_OK));
  EXPECT_EQ(slot, 3u);
  // The group's query, each reader's alone, then the wait.
  // The wait's query holds the present reader and the reader-change notice.
  EXPECT_EQ(pcsc().statusChangeCounts, (std::vector<uint32_t>{2, 1, 1, 2, 2, 1, 1}));
  EXPECT_EQ(pcsc().timeouts[3], 1000u);
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_OK));
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT)) << "the unplugged reader's removal was reported once";
  // Plugged in again, with a card, while the wait waits: found at once, on
  // the service's notice.
  pcsc().whileWaiting = [](int) {
    FakePcsc::get().addReader("Rd A");
    FakePcsc::get().insert("Rd A", kAtrFamily1);
  };
  auto plugging = std::chrono::steady_clock::now();
  EXPECT_EQ(wait(), rv(CKR_OK));
  EXPECT_LT(std::chrono::steady_clock::now() - plugging, std::chrono::milliseconds(500));
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_OK));
}

// pcsc-lite answers a query over no reader at once: a blocking wait without
// readers waits inside the service for its reader-change notice alone, or,
// where the service knows none, pauses a second between looks.
TEST_F(WaitForSlotEvent, WithoutReadersABlockingWaitCostsNothing) {
  setSleepHook(nullptr);  // real pauses
  for (bool notice : {true, false}) {
    SCOPED_TRACE(notice);
    pcsc().install();
    pcsc().knowsReaderNotice = notice;
    ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
    EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_NO_EVENT));
    EXPECT_EQ(pcsc().statusChangeCounts.back(), 0u) << "the query is still made, over no reader";
    std::thread waiter([&] { EXPECT_EQ(wait(), rv(CKR_CRYPTOKI_NOT_INITIALIZED)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto finalising = std::chrono::steady_clock::now();
    EXPECT_EQ(C_Finalize(nullptr), rv(CKR_OK));
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - finalising, std::chrono::milliseconds(100));
    // Asked, waited inside the service; without the notice, its refusal and
    // the probe, then one query more before the pause.
    EXPECT_EQ(pcsc().statusChangeCalls, notice ? 3 : 5);
    EXPECT_EQ(pcsc().establishCalls, 2) << "the library's context and the wait's own";
  }
}

TEST_F(WaitForSlotEvent, AnInitialisationThatEndedDuringTheQueryEndsTheWait) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  static bool restarted;
  restarted = false;
  pcsc().afterStatusChange = [](int) {
    if (restarted) return;
    restarted = true;  // C_Initialize queries the reader too
    C_Finalize(nullptr);
    C_Initialize(nullptr);
  };
  EXPECT_EQ(wait(CKF_DONT_BLOCK), rv(CKR_CRYPTOKI_NOT_INITIALIZED)) << "the answer belongs to the ended one";
  EXPECT_EQ(router.initCount.load(), 1u);
}

// A C_Finalize between the wait's last look and the enlisting of its own
// context: the wait never enters the service.
TEST_F(WaitForSlotEvent, AWaitFinalisedBeforeItIsEnlistedNeverWaits) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  pcsc().onEstablish = [] {
    FakePcsc::get().onEstablish = nullptr;
    C_Finalize(nullptr);
  };
  pcsc().whileWaiting = [](int) {
    ADD_FAILURE() << "waits inside the service after C_Finalize";
    FakePcsc::get().insert("Rd A", kAtrFamily1);
  };
  EXPECT_EQ(wait(), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(pcsc().releaseCalls, pcsc().issuedContexts);
}

// pcsc-lite drops a cancellation that comes before the wait is inside the
// service: C_Finalize cancels until the wait has left, however late it got there.
TEST_F(WaitForSlotEvent, AWaitThatEntersTheServiceLateStillEndsAtFinalisation) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  setSleepHook(nullptr);
  pcsc().enterDelayMs = 300;
  FinalisedWait finalised = finaliseAWait([](const std::atomic<CK_RV> &result) {
    if (result == 0) FakePcsc::get().insert("Rd A", kAtrFamily1);  // a wait left behind ends now, to fail below
  });
  EXPECT_EQ(finalised.result, rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_TRUE(finalised.endedFirst) << "C_Finalize returned before the wait left";
  EXPECT_LT(finalised.sinceFinalising, std::chrono::milliseconds(300 + 100));
}

TEST_F(WaitForSlotEvent, FinalisingFromAnotherThreadEndsABlockingWait) {
  addReader("Rd A", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  setSleepHook(nullptr);  // real 10 ms pauses
  FinalisedWait finalised = finaliseAWait();
  EXPECT_EQ(finalised.result, rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_LT(finalised.sinceFinalising, std::chrono::milliseconds(100));
  EXPECT_EQ(pcsc().statusChangeCalls, 3) << "it waited inside the card service";
  EXPECT_GE(pcsc().cancelCalls, 1) << "cancelled by C_Finalize";
}

}  // namespace
