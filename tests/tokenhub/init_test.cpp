// Library initialisation and finalisation with the four mock modules and the
// scripted card service; C_GetInfo and C_GetFunctionList.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "cards/cardcontext.h"
#include "module/entrypoints.h"
#include "handles/objects.h"
#include "router_fixture.h"
#include "handles/sessions.h"
#include "cards/slotevents.h"

using namespace tokenhub;
using namespace testkit;

namespace {

constexpr CK_RV rv(CK_RV v) { return v; }

class Init : public RouterTest {};

TEST_F(Init, CountedInitialisationTwiceThenFinaliseThreeTimes) {
  addReader("Reader", {1});
  EXPECT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(router.initCount.load(), 2u);
  EXPECT_EQ(mocks().backends[0].initializeCalls, 1u) << "the second call reaches no backend";
  EXPECT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  EXPECT_EQ(router.slotCount, 2u) << "still initialised, slots still there";
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 0u);
  EXPECT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  EXPECT_EQ(router.slotCount, 0u);
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 1u);
  EXPECT_EQ(C_Finalize(nullptr), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_EQ(pcsc().releaseCalls, 1);
  EXPECT_EQ(pcsc().lastReleased, pcsc().issuedContext);
  EXPECT_EQ(router.cardContext, 0u);
}

TEST_F(Init, FinaliseWaits30msAfterTearDownOnly) {
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  C_Finalize(nullptr);
  EXPECT_TRUE(SleepRecorder::sleeps().empty());
  C_Finalize(nullptr);
  EXPECT_EQ(SleepRecorder::sleeps(), std::vector<uint32_t>{30});
}

TEST_F(Init, ArgumentsAreCheckedOnlyByTheFirstCall) {
  CK_C_INITIALIZE_ARGS bad = {};
  bad.pReserved = &bad;
  EXPECT_EQ(C_Initialize(&bad), rv(CKR_ARGUMENTS_BAD));
  EXPECT_EQ(router.initCount.load(), 0u);
  EXPECT_EQ(pcsc().establishCalls, 0) << "nothing is started for bad arguments";
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_Initialize)), 0u);

  CK_C_INITIALIZE_ARGS noThreads = {};
  noThreads.flags = CKF_LIBRARY_CANT_CREATE_OS_THREADS | CKF_OS_LOCKING_OK;
  noThreads.pReserved = &bad;
  EXPECT_EQ(C_Initialize(&noThreads), rv(CKR_ARGUMENTS_BAD));

  // The four locking functions come all or none: any of the 14 other subsets is refused.
  auto stub = reinterpret_cast<CK_CREATEMUTEX>(+[](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; });
  for (unsigned given = 1; given < 15; ++given) {
    CK_C_INITIALIZE_ARGS some = {};
    if (given & 1) some.CreateMutex = stub;
    if (given & 2) some.DestroyMutex = reinterpret_cast<CK_DESTROYMUTEX>(stub);
    if (given & 4) some.LockMutex = reinterpret_cast<CK_LOCKMUTEX>(stub);
    if (given & 8) some.UnlockMutex = reinterpret_cast<CK_UNLOCKMUTEX>(stub);
    EXPECT_EQ(C_Initialize(&some), rv(CKR_ARGUMENTS_BAD)) << "functions given: " << given;
  }
  EXPECT_EQ(pcsc().establishCalls, 0);
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_Initialize)), 0u);

  EXPECT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(C_Initialize(&bad), rv(CKR_OK)) << "a further call counts without looking at its arguments";
  EXPECT_EQ(router.initCount.load(), 2u);
}

TEST_F(Init, NoThreadsFlagIsAcceptedAndLeftToTheBackends) {
  // The router creates no threads; a backend that needs them refuses for itself.
  addReader("Rd", {1, 2});
  mock::mockForce(2, fn(Fn::C_Initialize), CKR_NEED_TO_CREATE_THREADS);
  CK_C_INITIALIZE_ARGS args = {};
  args.flags = CKF_LIBRARY_CANT_CREATE_OS_THREADS | CKF_OS_LOCKING_OK;
  ASSERT_EQ(C_Initialize(&args), rv(CKR_OK));
  EXPECT_EQ(mocks().backends[0].lastInitArgs, &args);
  EXPECT_NE(router.backends[0].functionList, nullptr);
  EXPECT_EQ(router.backends[1].functionList, nullptr);
  EXPECT_EQ(row(0).backendSlotFamily1, 1u);
  EXPECT_EQ(row(1).backendSlotFamily1, 0u);
}

TEST_F(Init, OsLockingArgumentsReachEveryBackendUnchanged) {
  CK_C_INITIALIZE_ARGS args = {};
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(C_Initialize(&args), rv(CKR_OK));
  for (const mock::Backend &b : mocks().backends) {
    EXPECT_EQ(b.lastInitArgs, &args);
    EXPECT_EQ(b.initializeCalls, 1u);
  }
  const mock::Call *first = mock::mockFind(0, fn(Fn::C_Initialize), 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->role, 1u) << "modules load in role order";
  EXPECT_EQ(mock::mockFind(0, fn(Fn::C_Initialize), 3)->role, 4u);
}

// Windows stops the card service while no reader is attached.
TEST_F(Init, WithoutACardServiceTheLibraryStartsAndTakesItsContextLater) {
  addReader("Rd", {1});
  pcsc().stopService();
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(router.cardContext, 0u);
  EXPECT_EQ(router.slotCount, 2u) << "the slots that the backends report";
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_TOKEN_NOT_PRESENT)) << "a service gone has no cards";
  pcsc().startService();
  pcsc().insert("Rd", kAtrFamily1);
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(router.cardContext, pcsc().issuedContext);
  EXPECT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  EXPECT_EQ(pcsc().lastReleased, pcsc().issuedContext);
}

// pcsc-lite's names carry the interface and serial number; the backends'
// slot descriptions hold 64 characters of them.
TEST_F(Init, AReaderNameCutByTheDescriptionIsCompletedFromTheService) {
  const std::string whole = "Vendor Reader Model 3121 [CCID Interface] (53691324212792) 00 00";
  const std::string longer = whole.substr(0, 63) + "12) 00 00 and its twin";
  addReader(whole + " twin", {1});
  addReader(longer, {1}, 2);
  mock::mockAddSlot(1, 3, "Rd", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);  // whole, though unplugged now
  pcsc().addReader("Rd B");
  pcsc().insert(longer, kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 6u);
  EXPECT_STREQ(row(0).readerName, (whole + " twin").c_str());
  EXPECT_STREQ(row(2).readerName, longer.c_str());
  EXPECT_STREQ(row(3).readerName, longer.c_str());
  EXPECT_EQ(row(2).cardPresent, 1u);
  EXPECT_STREQ(row(4).readerName, "Rd");
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(3, &info), rv(CKR_OK));
}

// Twin readers (names alike in the 64 characters the backends describe)
// that the service does not list as many as the backends: served by neither
// until it does, then each under its own name. The real daemon's twins prove
// their serials and events (tokenhub_twin_readers).
TEST_F(Init, TwinReadersAreServedOnceTheServiceListsThemAll) {
  const std::string model(62, 'M'), twin0 = model + " 00 00", twin1 = model + " 00 01";
  for (uint32_t role : {1u, 3u}) {
    mock::mockAddSlot(role, 10 * role + 1, twin0.c_str(), 0);
    mock::mockAddSlot(role, 10 * role + 2, twin1.c_str(), 0);
  }
  mock::mockAddSlot(2, 21, twin1.c_str(), 0);  // one slot so described: which of the two?
  addReader(twin0, {});
  pcsc().insert(twin0, kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 4u) << "a pair per backend slot so described";
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_TOKEN_NOT_PRESENT)) << "two pairs, one name: served by neither";
  pcsc().addReader(model + " 00 02");
  pcsc().addReader(twin1);
  EXPECT_EQ(C_GetTokenInfo(1, &info), rv(CKR_TOKEN_NOT_PRESENT)) << "two pairs, three names: nor now";
  pcsc().unplug(model + " 00 02");

  pcsc().addReader(twin1);  // the wait finds the whole names and both cards
  pcsc().insert(twin1, kAtrFamily2);
  CK_SLOT_ID slot = 0;
  for (CK_SLOT_ID expected : {1u, 2u, 3u, 4u}) {
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
    EXPECT_EQ(slot, expected);
  }
  EXPECT_STREQ(row(1).readerName, twin0.c_str());
  EXPECT_STREQ(row(2).readerName, twin1.c_str());
  CK_ULONG count = 0;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), rv(CKR_OK));  // the backends asked again
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(row(1).backendSlotFamily1 + row(3).backendSlotFamily1, 0u) << "role 2 cannot say which twin it means";
  EXPECT_EQ(C_GetTokenInfo(3, &info), rv(CKR_OK));
}

// Survivors of the completion: the exact name wins, a name too long is none.
TEST_F(Init, ACutNameListedExactlyStaysAndOneTooLongIsNoCandidate) {
  const std::string exact(64, 'E'), tooLong = std::string(64, 'L') + std::string(192, 'x');
  addReader(exact + " later in the list", {});
  addReader(exact, {1});
  addReader(tooLong, {});
  mock::mockAddSlot(1, 2, tooLong.c_str(), 0);
  const std::string late = std::string(64, 'A') + " plugged in after C_Initialize";
  mock::mockAddSlot(1, 3, late.c_str(), 0);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_STREQ(row(0).readerName, exact.c_str());
  EXPECT_STREQ(row(2).readerName, tooLong.substr(0, 64).c_str()) << "256 characters do not fit readerName";
  addReader(late, {});
  pcsc().insert(late, kAtrFamily1);
  CK_TOKEN_INFO info;
  EXPECT_EQ(C_GetTokenInfo(5, &info), rv(CKR_OK)) << "found by the query that missed the cut name";
}

TEST_F(Init, SlotsAreNumberedByRoleOrderThenBackendOrder) {
  pcsc().addReader("Rd3");
  pcsc().addReader("Rd1");
  pcsc().addReader("Rd2");
  mock::mockAddSlot(3, 30, "Rd3", 0);  // only role 3 knows R3
  mock::mockAddSlot(1, 10, "Rd1", 0);
  mock::mockAddSlot(2, 21, "Rd2", 0);
  mock::mockAddSlot(2, 20, "Rd1", 0);
  mock::mockAddSlot(4, 40, "rd1", 0);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 6u);
  EXPECT_STREQ(row(0).label, "Rd1 common profile");
  EXPECT_STREQ(row(2).label, "Rd2 common profile");
  EXPECT_STREQ(row(4).label, "Rd3 common profile");
  EXPECT_EQ(row(0).backendSlotFamily1, 10u);
  EXPECT_EQ(row(1).backendSlotFamily1, 20u);
  EXPECT_EQ(row(1).backendSlotFamily2, 40u);
  EXPECT_EQ(row(3).backendSlotFamily1, 21u);
  EXPECT_EQ(row(4).backendSlotFamily2, 30u);
  EXPECT_EQ(row(5).backendSlotFamily1 | row(5).backendSlotFamily2, 0u)
      << "a reader known only to role 3 has a secure row without backend slots";
  EXPECT_EQ(mock::mockFind(2, fn(Fn::C_GetSlotList), 0)->args[0], static_cast<uintptr_t>(CK_FALSE));
  EXPECT_EQ(mock::mockFind(2, fn(Fn::C_GetSlotInfo), 0)->args[0], 21u) << "slots asked in the module's order";
}

TEST_F(Init, InitialCardPresenceFromTheReaderState) {
  addReader("Full", {1}, 1);
  addReader("Empty", {1}, 2);
  pcsc().insert("Full", kAtrFamily1);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(row(0).cardPresent, 1u);
  EXPECT_EQ(row(1).cardPresent, 1u);
  EXPECT_EQ(row(2).cardPresent, 0u);
  EXPECT_EQ(row(3).cardPresent, 0u);
  EXPECT_EQ(pcsc().statusChangeCalls, 2) << "one query per reader";
  EXPECT_EQ(pcsc().timeouts, (std::vector<uint32_t>{0, 0}));
}

TEST_F(Init, FailedPresenceQueryLeavesTheCardAbsent) {
  addReader("Full", {1});
  pcsc().insert("Full", kAtrFamily1);
  pcsc().statusChangeResult = kScardENoService;
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(row(0).cardPresent, 0u);
}

// A module initialised already (by the host that loaded it too) serves; one
// that fails its C_Initialize is unloaded and left out. Neither is finalised.
TEST_F(Init, ABackendInitialisedAlreadyServesAndAFailingOneIsLeftOut) {
  addReader("Rd", {1, 2, 3, 4});
  mock::mockForce(2, fn(Fn::C_Initialize), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  mock::mockForce(3, fn(Fn::C_Initialize), CKR_DEVICE_ERROR);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_NE(router.backends[1].functionList, nullptr);
  EXPECT_EQ(router.backends[2].functionList, nullptr);
  EXPECT_EQ(router.backends[2].handle, nullptr);
  EXPECT_EQ(row(1).backendSlotFamily1, 1u) << "the adopted module's slot";
  EXPECT_EQ(row(0).backendSlotFamily2, 0u);
  EXPECT_EQ(mock::mockCount(3, fn(Fn::C_GetSlotList)), 0u);
  C_Finalize(nullptr);
  EXPECT_EQ(mock::mockCount(2, fn(Fn::C_Finalize)), 0u) << "the host's initialisation is the host's";
  EXPECT_EQ(mock::mockCount(3, fn(Fn::C_Finalize)), 0u) << "a module that failed is not finalised";
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_Finalize)), 1u);
}

// The child's handler after fork(): whatever the count, the parent's
// backends, context and tables are dropped unfinalised, and the child's
// C_Initialize adopts its copies of the modules, which still count
// themselves initialised.
TEST_F(Init, AForkedChildStartsUninitialisedAndAdoptsItsCopiesOfTheBackends) {
  addReader("Rd", {1, 2, 3, 4});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  BackendModule parents[kRoleCount];
  std::copy(std::begin(router.backends), std::end(router.backends), parents);
  ASSERT_TRUE(enlistWait(0x7A17, router.generation)) << "a wait of the parent's, running as it forks";
  routerAfterFork();
  EXPECT_EQ(router.initCount.load(), 0u);
  EXPECT_EQ(router.cardContext, 0u);
  CK_ULONG count = 0;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(C_Finalize(nullptr), rv(CKR_OK));
  EXPECT_EQ(pcsc().cancelCalls, 0) << "the parent's wait is not the child's to cancel";
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  for (const BackendModule &module : router.backends) EXPECT_TRUE(module.adopted);
  EXPECT_EQ(row(1).backendSlotFamily2, 1u) << "role 4 serves";
  BackendModule childs[kRoleCount];
  std::copy(std::begin(router.backends), std::end(router.backends), childs);
  router.initCount = 0;  // as C_Finalize sets it before its tear-down
  routerAfterFork();
  for (const BackendModule &module : router.backends) EXPECT_EQ(module.handle, nullptr);
  EXPECT_EQ(router.cardContext, 0u);
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_Finalize)), 0u);
  for (BackendModule &module : childs) unloadBackend(module);  // adopted: unloaded only
  for (BackendModule &module : parents) unloadBackend(module);  // the parent's part, for the next test
}

TEST_F(Init, SlotListFailuresAndTooManySlots) {
  addReader("Rd", {1, 2, 3});
  mock::mockForce(1, fn(Fn::C_GetSlotList), CKR_BUFFER_TOO_SMALL);
  mock::mockForce(2, fn(Fn::C_GetSlotList), CKR_DEVICE_ERROR);
  mocks().backends[2].slots[0].slotInfoResult = CKR_SLOT_ID_INVALID;
  mock::mockAddSlot(3, 2, "Other", 0);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(router.slotCount, 2u) << "only role 3's second slot registered";
  EXPECT_STREQ(row(0).readerName, "Other");
}

TEST_F(Init, ACountAbove64ReadsOnlyTheFirst64Ids) {
  for (int i = 0; i < 70; ++i) mock::mockAddSlot(1, 100 + i, ("Reader " + std::to_string(i)).c_str(), 0);
  mocks().backends[0].reportedSlotCount = 70;  // answers CKR_OK with a count above the list's room
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_GetSlotInfo)), 64u);
  EXPECT_EQ(router.slotCount, 64u);
  EXPECT_EQ(row(62).backendSlotFamily1, 131u);
}

TEST_F(Init, MissingModulesWithoutExportOrFailingFunctionList) {
  static const ModuleApi filter = {
      [](const char *name) -> void * {
        std::string n = name;
        if (n.rfind("aetpkss1", 0) == 0) return nullptr;  // not installed
        if (n.rfind("LumeraSecurePKCS11", 0) == 0)
          return platformModules().load((std::string("mock_noexport") + moduleSuffix()).c_str());
        return platformModules().load(name);
      },
      [](void *m, const char *s) { return platformModules().symbol(m, s); },
      [](void *m) { platformModules().unload(m); }};
  setModuleApi(&filter);
  mocks().backends[2].getFunctionListResult = CKR_GENERAL_ERROR;
  addReader("Rd", {1, 2, 3, 4});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(router.backends[0].functionList, nullptr);
  EXPECT_EQ(router.backends[1].functionList, nullptr);
  EXPECT_EQ(router.backends[2].functionList, nullptr);
  EXPECT_NE(router.backends[3].functionList, nullptr);
  EXPECT_EQ(router.slotCount, 2u);
  EXPECT_EQ(row(1).backendSlotFamily2, 1u);
  EXPECT_EQ(mock::mockCount(3, fn(Fn::C_Initialize)), 0u);
}

TEST_F(Init, LoadBackendResults) {
  BackendModule m{reinterpret_cast<void *>(1), nullptr, false};
  EXPECT_EQ(loadBackend("no-such-module.dll", nullptr, m), kLoadFailed);
  EXPECT_EQ(m.handle, nullptr);
  std::string noexport = std::string("mock_noexport") + moduleSuffix();
  EXPECT_EQ(loadBackend(noexport.c_str(), nullptr, m), kNoFunctionListExport);
  std::string role1 = std::string("aetpkss1") + moduleSuffix();
  mocks().backends[0].getFunctionListResult = CKR_HOST_MEMORY;
  EXPECT_EQ(loadBackend(role1.c_str(), nullptr, m), kFunctionListFailed);
  mocks().backends[0].getFunctionListResult = CKR_OK;
  mock::mockForce(1, fn(Fn::C_Initialize), CKR_DEVICE_ERROR);
  EXPECT_EQ(loadBackend(role1.c_str(), nullptr, m), rv(CKR_DEVICE_ERROR));
  EXPECT_EQ(m.functionList, nullptr);
  mocks().backends[0].forced[fn(Fn::C_Initialize)] = 0;
  ASSERT_EQ(loadBackend(role1.c_str(), nullptr, m), 0u);
  EXPECT_NE(m.handle, nullptr);
  EXPECT_NE(m.functionList, nullptr);
  unloadBackend(m);
  EXPECT_EQ(m.handle, nullptr);
  EXPECT_EQ(m.functionList, nullptr);
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 1u);
  unloadBackend(m);  // an empty record is left alone
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 1u);
}

TEST_F(Init, NoModuleNoReaderStillInitialises) {
  static const ModuleApi none = {[](const char *) -> void * { return nullptr; },
                                 [](void *, const char *) -> void * { return nullptr; }, [](void *) {}};
  setModuleApi(&none);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(router.slotCount, 0u);
  CK_INFO info;
  EXPECT_EQ(C_GetInfo(&info), rv(CKR_OK));
}

TEST_F(Init, HandlesStartAtOneAgainAndNoEarlierHandleSurvives) {
  addReader("Reader", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  SlotEntry *slot = &router.slotTable[0];
  CK_FUNCTION_LIST_PTR list = router.backends[0].functionList;
  auto known = [](CK_ULONG h) {
    SessionEntry s;
    ObjectEntry o;
    return (findSession(h, s) == CKR_OK) + (findObject(h, HandleKind::Object, o) == CKR_OK);
  };
  for (CK_ULONG h = 1; h <= 3; ++h) {
    ASSERT_EQ(addSession(slot, 0x100 + h, list), h);
    ASSERT_EQ(mapObject(slot, 0x200 + h), h);
  }
  C_Finalize(nullptr);
  for (CK_ULONG h = 1; h <= 3; ++h) EXPECT_EQ(known(h), 0) << "handle " << h << " outlived the library";
  // A call that was under way in another thread enters its session and
  // object after the library ended: the next initialisation drops them too.
  EXPECT_EQ(addSession(slot, 0x300, list), 1u) << "the numbering restarts at the end";
  EXPECT_EQ(mapObject(slot, 0x300), 1u);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(known(1), 0) << "left over from before the initialisation";
  EXPECT_EQ(addSession(slot, 0x400, list), 1u) << "and restarts at the beginning";
  EXPECT_EQ(mapObject(slot, 0x400), 1u);
}

TEST_F(Init, GetInfoFields) {
  CK_INFO info;
  EXPECT_EQ(C_GetInfo(&info), rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  EXPECT_EQ(C_GetInfo(nullptr), rv(CKR_ARGUMENTS_BAD));
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(C_GetInfo(&info), rv(CKR_OK));
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 11);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.manufacturerID), 32),
            "Varenzo Technologies SA         ");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(info.libraryDescription), 32),
            "PKCS#11 Cryptoki Library        ");
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(info.libraryVersion.major, 1);
  EXPECT_EQ(info.libraryVersion.minor, 0);
}

TEST_F(Init, FunctionListBeforeInitialisationStableAndInStandardOrder) {
  EXPECT_EQ(C_GetFunctionList(nullptr), rv(CKR_ARGUMENTS_BAD));
  CK_FUNCTION_LIST_PTR a = nullptr, b = nullptr;
  ASSERT_EQ(C_GetFunctionList(&a), rv(CKR_OK));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(C_GetFunctionList(&b), rv(CKR_OK));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->version.major, 2);
  EXPECT_EQ(a->version.minor, 11);
  EXPECT_EQ(a->C_Initialize, &C_Initialize);
  EXPECT_EQ(a->C_GetFunctionList, &C_GetFunctionList);
  EXPECT_EQ(a->C_Sign, &C_Sign);
  EXPECT_EQ(a->C_WaitForSlotEvent, &C_WaitForSlotEvent);
  // 68 pointers in a row, none missing; on Windows right after the 2-byte version.
  auto *entries = reinterpret_cast<const unsigned char *>(a) + offsetof(CK_FUNCTION_LIST, C_Initialize);
  for (unsigned i = 0; i < kFunctionCount; ++i) {
    void *p;
    std::memcpy(&p, entries + i * sizeof(void *), sizeof p);
    EXPECT_NE(p, nullptr) << "entry " << i;
  }
  EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent) - offsetof(CK_FUNCTION_LIST, C_Initialize),
            (kFunctionCount - 1) * sizeof(void *));
#ifdef _WIN32
  EXPECT_EQ(sizeof(CK_FUNCTION_LIST), sizeof(CK_VERSION) + kFunctionCount * sizeof(void *));
#endif
}

// Every entry point but C_Initialize and C_GetFunctionList answers
// CKR_CRYPTOKI_NOT_INITIALIZED before looking at its (here null) arguments.
template <typename... A>
CK_RV callWithZeros(CK_RV (*f)(A...)) {
  return f(A{}...);
}

TEST_F(Init, EveryEntryPointBeforeInitialisation) {
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(C_GetFunctionList(&list), rv(CKR_OK));
  int checked = 0;
#define CHECK_ONE(name)                                                                  \
  if (std::string(#name) != "C_Initialize" && std::string(#name) != "C_GetFunctionList") { \
    EXPECT_EQ(callWithZeros(list->name), rv(CKR_CRYPTOKI_NOT_INITIALIZED)) << #name;        \
    ++checked;                                                                            \
  }
  TOKENHUB_FUNCTIONS(CHECK_ONE)
  EXPECT_EQ(checked, 66);
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  C_Finalize(nullptr);
  TOKENHUB_FUNCTIONS(CHECK_ONE)
#undef CHECK_ONE
  EXPECT_EQ(C_Finalize(reinterpret_cast<CK_VOID_PTR>(1)), rv(CKR_ARGUMENTS_BAD)) << "pReserved is checked first";
}

TEST_F(Init, ProcessDetach) {
  addReader("Rd", {1});
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  routerProcessDetach(false);  // a dynamic unload finalises the one outstanding initialisation
  routerProcessAttach();
  EXPECT_EQ(router.initCount.load(), 0u);
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 1u);

  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  ASSERT_EQ(C_Initialize(nullptr), rv(CKR_OK));
  routerProcessDetach(false);  // only lowers the count
  routerProcessAttach();
  EXPECT_EQ(router.initCount.load(), 1u);
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 1u);

  routerProcessDetach(true);  // process ending: the backends are left alone
  routerProcessAttach();
  EXPECT_EQ(mocks().backends[0].finalizeCalls, 1u);
  EXPECT_EQ(router.initCount.load(), 1u);
}

}  // namespace
