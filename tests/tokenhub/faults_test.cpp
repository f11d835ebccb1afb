// Backend faults, one at a time: every backend function that the router
// calls is made to fail through the mock with each plausible code, and the
// router must answer by its rules (session-level codes unchanged, 0xE0 as
// 0xE1 on slot-level calls, the close codes that mean "gone" forgetting the
// session) while its session and object tables change only where a rule says
// so and no output of the caller is written. The cases are generated from the
// function list, so a function added to the router is covered at once.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "session_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

// How the router handles a failure of the backend function of the same name.
enum class Rule {
  NotCalled,     // the router never calls the backend's function
  Session,       // session-level: the code unchanged, tables unchanged
  SlotLevel,     // the code unchanged but 0xE0 turned into 0xE1
  OpenSession,   // as SlotLevel, and no session is made
  CloseSession,  // the code unchanged; the session is forgotten on the codes that mean "gone"
  CloseAll,      // the same for all sessions and objects of the slot
  Presence,      // the backend's slot information decides only whether a token is present
  AtInitialize,  // a failure while C_Initialize builds the slot table
  AtFinalize,    // a failure while C_Finalize unloads the modules
};

Rule ruleOf(Fn f) {
  switch (f) {
    case Fn::C_GetFunctionList:  // reached through the module's export, not its list
    case Fn::C_GetInfo:
    case Fn::C_WaitForSlotEvent:
      return Rule::NotCalled;
    case Fn::C_Initialize:
    case Fn::C_GetSlotList:
      return Rule::AtInitialize;
    case Fn::C_Finalize:
      return Rule::AtFinalize;
    case Fn::C_GetSlotInfo:
      return Rule::Presence;
    case Fn::C_GetTokenInfo:
    case Fn::C_GetMechanismList:
    case Fn::C_GetMechanismInfo:
    case Fn::C_InitToken:
      return Rule::SlotLevel;
    case Fn::C_OpenSession:
      return Rule::OpenSession;
    case Fn::C_CloseSession:
      return Rule::CloseSession;
    case Fn::C_CloseAllSessions:
      return Rule::CloseAll;
    default:
      return Rule::Session;
  }
}

bool takesSlot(Rule rule) {
  return rule == Rule::SlotLevel || rule == Rule::OpenSession || rule == Rule::CloseAll || rule == Rule::Presence;
}

// The arguments of one generated call. The first argument is the session
// handle or slot id; every other integer is a known object's router handle
// (small enough to be a harmless length or count too); every data pointer
// gets a buffer of its own, filled with a pattern that must survive a failure.
struct Inputs {
  static constexpr unsigned char kPattern = 0xA5;
  static constexpr unsigned kBuffers = 8;
  CK_ULONG target = 0;
  CK_ULONG handle = 0;
  alignas(16) unsigned char buffers[kBuffers][512];
  unsigned used = 0;

  Inputs() { std::memset(buffers, kPattern, sizeof buffers); }
  bool untouched() const {
    for (const auto &buffer : buffers)
      for (unsigned char b : buffer)
        if (b != kPattern) return false;
    return true;
  }
  template <typename T>
  T argument(size_t position) {
    if constexpr (std::is_pointer_v<T>) {
      if constexpr (std::is_function_v<std::remove_pointer_t<T>>)
        return nullptr;  // the notification callback
      else
        return reinterpret_cast<T>(buffers[used++]);
    } else {
      return static_cast<T>(position == 0 ? target : handle);
    }
  }
};

template <typename P>
struct Invoker;
template <typename... A>
struct Invoker<CK_RV (*)(A...)> {
  template <size_t... I>
  static CK_RV call(CK_RV (*f)(A...), Inputs &in, std::index_sequence<I...>) {
    return f(in.template argument<A>(I)...);
  }
  static CK_RV call(CK_RV (*f)(A...), Inputs &in) { return call(f, in, std::index_sequence_for<A...>{}); }
};

// The router's entry point of one function, called with generated arguments.
CK_RV callRouter(Fn f, Inputs &in) {
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (C_GetFunctionList(&list) != CKR_OK) return CKR_GENERAL_ERROR;
  switch (f) {
#define FAULT_CALL(name) \
  case Fn::name:         \
    return Invoker<decltype(list->name)>::call(list->name, in);
    TOKENHUB_FUNCTIONS(FAULT_CALL)
#undef FAULT_CALL
  }
  return CKR_GENERAL_ERROR;
}

const char *const kFunctionNames[] = {
#define FAULT_NAME(name) #name,
    TOKENHUB_FUNCTIONS(FAULT_NAME)
#undef FAULT_NAME
};

struct Code {
  CK_RV value;
  const char *name;
};
const Code kCodes[] = {
    {CKR_HOST_MEMORY, "HOST_MEMORY"},
    {CKR_GENERAL_ERROR, "GENERAL_ERROR"},
    {CKR_FUNCTION_FAILED, "FUNCTION_FAILED"},
    {CKR_DEVICE_ERROR, "DEVICE_ERROR"},
    {CKR_DEVICE_REMOVED, "DEVICE_REMOVED"},
    {CKR_SESSION_CLOSED, "SESSION_CLOSED"},
    {CKR_SESSION_HANDLE_INVALID, "SESSION_HANDLE_INVALID"},
    {CKR_TOKEN_NOT_PRESENT, "TOKEN_NOT_PRESENT"},
};

struct Fault {
  Fn function;
  Code code;
  friend void PrintTo(const Fault &f, std::ostream *os) {
    *os << kFunctionNames[fn(f.function)] << " failing with " << f.code.name;
  }
};

std::vector<Fault> faultsUnder(std::initializer_list<Rule> rules) {
  std::vector<Fault> faults;
  for (unsigned f = 0; f < kFunctionCount; ++f)
    for (Rule rule : rules)
      if (ruleOf(static_cast<Fn>(f)) == rule)
        for (const Code &code : kCodes) faults.push_back({static_cast<Fn>(f), code});
  return faults;
}

// One case per function, for a module whose function list leaves it empty.
std::vector<Fault> entriesUnder(std::initializer_list<Rule> rules) {
  std::vector<Fault> faults;
  for (unsigned f = 0; f < kFunctionCount; ++f)
    for (Rule rule : rules)
      if (ruleOf(static_cast<Fn>(f)) == rule) faults.push_back({static_cast<Fn>(f), {0, "ABSENT"}});
  return faults;
}

std::string faultName(const ::testing::TestParamInfo<Fault> &info) {
  return std::string(kFunctionNames[fn(info.param.function)]) + "_" + info.param.code.name;
}

bool closeForgets(CK_RV rv) {
  return rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_CLOSED || rv == CKR_SESSION_HANDLE_INVALID ||
         rv == CKR_TOKEN_NOT_PRESENT;
}
bool closeAllForgets(CK_RV rv) { return rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT; }

// The rows in use of both tables, with their positions, and the slots' session families.
struct Tables {
  std::vector<std::tuple<unsigned, CK_ULONG, CK_FUNCTION_LIST_PTR, CK_ULONG, const SlotEntry *>> sessionRows;
  std::vector<std::tuple<unsigned, CK_ULONG, const SlotEntry *, CK_ULONG>> objectRows;
  std::vector<uint32_t> sessionFamilies;

  bool operator==(const Tables &o) const {
    return sessionRows == o.sessionRows && objectRows == o.objectRows && sessionFamilies == o.sessionFamilies;
  }
  friend void PrintTo(const Tables &t, std::ostream *os) {
    *os << t.sessionRows.size() << " sessions " << ::testing::PrintToString(t.sessionRows) << ", "
        << t.objectRows.size() << " objects " << ::testing::PrintToString(t.objectRows) << ", families "
        << ::testing::PrintToString(t.sessionFamilies);
  }

  static Tables now() {
    Tables t;
    for (unsigned i = 0; i < kMaxSessions; ++i) {
      const SessionEntry &r = sessions.rows[i];
      if (r.routerHandle) t.sessionRows.emplace_back(i, r.routerHandle, r.functionList, r.backendHandle, r.slot);
    }
    for (unsigned i = 0; i < kMaxObjects; ++i) {
      const ObjectEntry &r = objects.rows[i];
      if (r.routerHandle) t.objectRows.emplace_back(i, r.routerHandle, r.slot, r.backendHandle);
    }
    for (uint32_t i = 0; i < router.slotCount; ++i) t.sessionFamilies.push_back(router.slotTable[i].sessionFamily);
    return t;
  }

  void dropSession(CK_ULONG handle) {
    eraseIf(sessionRows, [handle](const auto &r) { return std::get<1>(r) == handle; });
  }
  void dropSlot(const SlotEntry *slot) {
    eraseIf(sessionRows, [slot](const auto &r) { return std::get<4>(r) == slot; });
    eraseIf(objectRows, [slot](const auto &r) { return std::get<2>(r) == slot; });
  }
  template <typename Rows, typename Match>
  static void eraseIf(Rows &rows, Match match) {
    rows.erase(std::remove_if(rows.begin(), rows.end(), match), rows.end());
  }
};

// Two sessions on the common slot of a family-1 card (role 1), two objects
// found through the first, and a session on the secure slot (role 2) that no
// fault touches. Every module reports the token present.
class BackendFaults : public SessionTest, public ::testing::WithParamInterface<Fault> {
 protected:
  void openAndFind() {
    start();
    for (mock::Backend &backend : mocks().backends) backend.slots[0].flags |= CKF_TOKEN_PRESENT;
    first = open(1);
    second = open(1);
    bystander = open(2);
    keys = find(first, 1, {0x501, 0x502});
    ASSERT_EQ(keys.size(), 2u);
  }
  // The forced answer taken back, so that the router's state can be used again.
  void heal() { mocks().backends[0].forced[fn(GetParam().function)] = 0; }

  CK_SESSION_HANDLE first = 0, second = 0, bystander = 0;
  std::vector<CK_OBJECT_HANDLE> keys;
};

using FailingCall = BackendFaults;

TEST_P(FailingCall, AnswersByTheRouterRulesAndChangesOnlyWhatTheyAllow) {
  const Fault fault = GetParam();
  const Rule rule = ruleOf(fault.function);
  const CK_RV code = fault.code.value;
  openAndFind();

  Inputs in;
  in.target = takesSlot(rule) ? 1 : first;
  in.handle = keys[0];
  Tables expected = Tables::now();
  const uint32_t callsBefore = mock::mockCount(1, fn(fault.function));
  mock::mockForce(1, fn(fault.function), code);

  const CK_RV rv = callRouter(fault.function, in);

  EXPECT_GT(mock::mockCount(1, fn(fault.function)), callsBefore) << "the call reached the failing backend";
  CK_RV expectedResult = code;
  switch (rule) {
    case Rule::SlotLevel:
    case Rule::OpenSession:
      if (code == CKR_TOKEN_NOT_PRESENT) expectedResult = CKR_TOKEN_NOT_RECOGNIZED;
      break;
    case Rule::CloseSession:
      if (closeForgets(code)) expected.dropSession(first);  // the second keeps the slot's objects
      break;
    case Rule::CloseAll:
      if (closeAllForgets(code)) expected.dropSlot(&row(0));  // the slot's family stays
      break;
    case Rule::Presence:
      expectedResult = CKR_OK;
      break;
    case Rule::Session:  // a backend that has lost the session: the router forgets it too
      if (code == CKR_SESSION_CLOSED || code == CKR_SESSION_HANDLE_INVALID) expected.dropSession(first);
      break;
    default:
      break;
  }
  EXPECT_EQ(rv, expectedResult);
  EXPECT_EQ(Tables::now(), expected);

  if (rule == Rule::Presence) {
    const auto *info = reinterpret_cast<const CK_SLOT_INFO *>(in.buffers[0]);
    EXPECT_EQ(info->flags & CKF_TOKEN_PRESENT, 0u) << "a backend that cannot tell shows no token";
    CK_SLOT_ID present[4] = {};
    CK_ULONG count = 4;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, present, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(present[0], 2u) << "only the secure slot, served by the healthy role 2";
  } else {
    EXPECT_TRUE(in.untouched()) << "the router wrote to the caller's outputs after a failure";
  }

  // The router is still usable: the healthy sessions answer with the right slots.
  heal();
  CK_SESSION_INFO info{};
  ASSERT_EQ(C_GetSessionInfo(bystander, &info), CKR_OK);
  EXPECT_EQ(info.slotID, 2u);
  const bool slotForgotten = rule == Rule::CloseAll && closeAllForgets(code);
  EXPECT_EQ(C_GetSessionInfo(second, &info), slotForgotten ? CKR_SESSION_HANDLE_INVALID : CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(EveryBackendFunction, FailingCall,
                         ::testing::ValuesIn(faultsUnder({Rule::Session, Rule::SlotLevel, Rule::OpenSession,
                                                          Rule::CloseSession, Rule::CloseAll, Rule::Presence})),
                         faultName);

// A role-1 module failing while the slot table is built loses only its own
// backend slot: the reader's rows come from the other roles, the common slot
// no longer resolves a family-1 card, the secure one still does.
using FailingAtInitialize = BackendFaults;

TEST_P(FailingAtInitialize, CostsOnlyThatModulesSlots) {
  const Fault fault = GetParam();
  mock::mockForce(1, fn(fault.function), fault.code.value);
  start();
  EXPECT_GT(mock::mockCount(1, fn(fault.function)), 0u);
  ASSERT_EQ(router.slotCount, 2u);
  EXPECT_EQ(row(0).backendSlotFamily1, 0u);
  EXPECT_EQ(row(0).backendSlotFamily2, kBackendSlot);
  EXPECT_EQ(row(1).backendSlotFamily1, kBackendSlot);
  if (fault.function == Fn::C_Initialize) {
    EXPECT_EQ(router.backends[0].functionList, nullptr) << "a module that refused is unloaded";
    EXPECT_EQ(mocks().backends[0].finalizeCalls, 0u) << "and not finalised";
  }
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(C_OpenSession(1, kSerial, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED);
  EXPECT_EQ(h, 0u);
  EXPECT_NE(open(2), 0u);
}

INSTANTIATE_TEST_SUITE_P(SlotTableBuilding, FailingAtInitialize,
                         ::testing::ValuesIn(faultsUnder({Rule::AtInitialize, Rule::Presence})), faultName);

// A module whose C_Finalize fails is unloaded all the same, and the router
// forgets everything: its result does not depend on the module's.
using FailingAtFinalize = BackendFaults;

TEST_P(FailingAtFinalize, StillEndsTheLibraryCompletely) {
  const Fault fault = GetParam();
  openAndFind();
  mock::mockForce(1, fn(Fn::C_Finalize), fault.code.value);
  ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_Finalize)), 1u);
  EXPECT_EQ(router.initCount, 0u);
  EXPECT_EQ(router.slotCount, 0u);
  for (const BackendModule &module : router.backends) EXPECT_EQ(module.functionList, nullptr);
  EXPECT_EQ(Tables::now(), Tables{});
  heal();
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  CK_SESSION_INFO info{};
  EXPECT_EQ(C_GetSessionInfo(first, &info), CKR_SESSION_HANDLE_INVALID) << "no session outlives the library";
}

INSTANTIATE_TEST_SUITE_P(Unloading, FailingAtFinalize, ::testing::ValuesIn(faultsUnder({Rule::AtFinalize})),
                         faultName);

// An empty entry in a module's function list: the router answers for the
// function without calling through it, and keeps its tables as a failure
// that means "gone" would (a session it could not close is forgotten).
using MissingEntry = BackendFaults;

TEST_P(MissingEntry, IsNotSupportedAndNeverCalled) {
  const Fn f = GetParam().function;
  const Rule rule = ruleOf(f);
  openAndFind();
  Inputs in;
  in.target = takesSlot(rule) ? 1 : first;
  in.handle = keys[0];
  Tables expected = Tables::now();
  // The router holds the module's own list: empty the entry there.
  auto *entries = reinterpret_cast<unsigned char *>(router.backends[0].functionList) + offsetof(CK_FUNCTION_LIST, C_Initialize);
  std::memset(entries + fn(f) * sizeof(void *), 0, sizeof(void *));
  EXPECT_EQ(callRouter(f, in), CKR_FUNCTION_NOT_SUPPORTED);
  if (rule == Rule::CloseSession) expected.dropSession(first);
  if (rule == Rule::CloseAll) expected.dropSlot(&row(0));
  EXPECT_EQ(Tables::now(), expected);
  EXPECT_TRUE(in.untouched());
}

INSTANTIATE_TEST_SUITE_P(EveryBackendFunction, MissingEntry,
                         ::testing::ValuesIn(entriesUnder({Rule::Session, Rule::SlotLevel, Rule::OpenSession,
                                                           Rule::CloseSession, Rule::CloseAll})),
                         faultName);

// Without an entry that starting, listing or stopping needs, a module is no
// backend: unloaded before its C_Initialize, its role left empty.
using MissingAtInitialize = BackendFaults;

TEST_P(MissingAtInitialize, LeavesTheRoleEmpty) {
  mocks().backends[0].absent[fn(GetParam().function)] = 1;
  start();
  EXPECT_EQ(router.backends[0].functionList, nullptr);
  EXPECT_EQ(mocks().backends[0].initializeCalls, 0u);
  EXPECT_EQ(row(0).backendSlotFamily1, 0u);
  EXPECT_NE(open(2), 0u) << "the other roles serve on";
}

INSTANTIATE_TEST_SUITE_P(SlotTableBuilding, MissingAtInitialize,
                         ::testing::ValuesIn(entriesUnder({Rule::AtInitialize, Rule::AtFinalize, Rule::Presence})),
                         faultName);

}  // namespace
