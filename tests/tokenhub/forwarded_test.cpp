// The token operations forwarded whole to the session's backend, checked
// member by member from the function list: the backend gets its own session
// (and key) handle and every other argument as given, and its answer comes
// back unchanged.
#include <tuple>
#include <utility>

#include "session_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

constexpr Fn kForwarded[] = {
    Fn::C_InitPIN,          Fn::C_SetPIN,           Fn::C_Login,           Fn::C_Logout,
    Fn::C_EncryptInit,      Fn::C_Encrypt,          Fn::C_EncryptUpdate,   Fn::C_EncryptFinal,
    Fn::C_DecryptInit,      Fn::C_Decrypt,          Fn::C_DecryptUpdate,   Fn::C_DecryptFinal,
    Fn::C_DigestInit,       Fn::C_Digest,           Fn::C_DigestUpdate,    Fn::C_DigestKey,
    Fn::C_DigestFinal,      Fn::C_SignInit,         Fn::C_Sign,            Fn::C_SignUpdate,
    Fn::C_SignFinal,        Fn::C_SignRecoverInit,  Fn::C_SignRecover,     Fn::C_VerifyInit,
    Fn::C_Verify,           Fn::C_VerifyUpdate,     Fn::C_VerifyFinal,     Fn::C_VerifyRecoverInit,
    Fn::C_VerifyRecover,    Fn::C_DigestEncryptUpdate, Fn::C_DecryptDigestUpdate, Fn::C_SignEncryptUpdate,
    Fn::C_DecryptVerifyUpdate, Fn::C_SeedRandom,    Fn::C_GenerateRandom,  Fn::C_GetFunctionStatus,
    Fn::C_CancelFunction};
// These take a key handle as their last argument.
constexpr Fn kKeyTaking[] = {Fn::C_EncryptInit, Fn::C_DecryptInit,       Fn::C_DigestKey,  Fn::C_SignInit,
                             Fn::C_SignRecoverInit, Fn::C_VerifyInit, Fn::C_VerifyRecoverInit};

template <size_t N>
constexpr bool among(const Fn (&list)[N], Fn f) {
  for (Fn g : list)
    if (g == f) return true;
  return false;
}

struct Handles {
  CK_SESSION_HANDLE session;
  CK_OBJECT_HANDLE key;
  uint32_t role;  // of the session's backend
};

// A distinct value for argument i: pointers the backend never follows,
// numbers, or the session and key handles in their places.
template <typename T>
T argument(size_t i, size_t keyPosition, CK_ULONG session, CK_ULONG key) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<T>(static_cast<uintptr_t>(0x7000 + 0x10 * i));
  else
    return static_cast<T>(i == 0 ? session : i == keyPosition ? key : 0x300 + i);
}

class Forwarded : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    start();
    other = open(1);
    h.session = open(2);
    h.role = 2;
    h.key = find(h.session, 2, {0x5150})[0];
  }

  // One member: every argument and the forced answer, then the refusals
  // that never reach the backend.
  template <Fn F, typename... A, size_t... I>
  void check(CK_RV (*member)(A...), const char *name, std::index_sequence<I...>) {
    constexpr bool takesKey = among(kKeyTaking, F);
    constexpr size_t keyPosition = takesKey ? sizeof...(A) - 1 : 0;
    SCOPED_TRACE(name);
    std::tuple<A...> given{argument<A>(I, keyPosition, h.session, h.key)...};
    const uintptr_t expected[] = {word(argument<A>(I, keyPosition, backendSession(h.session), 0x5150))...};
    for (CK_RV answer : {CKR_OK, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED, CKR_PIN_INCORRECT}) {
      mock::mockForce(h.role, fn(F), answer);
      EXPECT_EQ(std::apply(member, given), answer);
      const mock::Call &call = lastCall(h.role, F);
      ASSERT_EQ(call.argCount, sizeof...(A));
      for (size_t i = 0; i < sizeof...(A); ++i) EXPECT_EQ(call.args[i], expected[i]) << "argument " << i;
    }
    EXPECT_EQ(mock::mockCount(1, fn(F)), 0u) << "only the session's own module is called";

    uint32_t calls = mock::mockCount(0, fn(F));
    std::get<0>(given) = 0;
    EXPECT_EQ(std::apply(member, given), CKR_SESSION_HANDLE_INVALID);
    std::get<0>(given) = 4242;
    EXPECT_EQ(std::apply(member, given), CKR_SESSION_HANDLE_INVALID);
    if constexpr (takesKey) {
      std::get<0>(given) = h.session;
      for (CK_OBJECT_HANDLE bad : {CK_OBJECT_HANDLE(0), CK_OBJECT_HANDLE(999), h.key + 1}) {
        std::get<keyPosition>(given) = bad;
        EXPECT_EQ(std::apply(member, given), CKR_KEY_HANDLE_INVALID) << bad;
      }
    }
    EXPECT_EQ(mock::mockCount(0, fn(F)), calls) << "refused before the backend";
    ++checked;
  }

  template <Fn F, typename R, typename... A>
  void checkIfForwarded(R (*member)(A...), const char *name) {
    if constexpr (among(kForwarded, F)) check<F>(member, name, std::index_sequence_for<A...>{});
  }

  Handles h{};
  CK_SESSION_HANDLE other = 0;  // a session on the common slot, served by role 1
  unsigned checked = 0;
};

TEST_F(Forwarded, EveryMemberTranslatesHandlesAndPassesTheRestUnchanged) {
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(C_GetFunctionList(&list), CKR_OK);
#define CHECK_MEMBER(name) checkIfForwarded<Fn::name>(list->name, #name);
  TOKENHUB_FUNCTIONS(CHECK_MEMBER)
#undef CHECK_MEMBER
  EXPECT_EQ(checked, 37u);
}

TEST_F(Forwarded, ADestroyedKeyIsRefusedAndTheSessionStaysWithItsModule) {
  CK_MECHANISM mech = {CKM_ECDSA, nullptr, 0};
  ASSERT_EQ(C_SignInit(h.session, &mech, h.key), CKR_OK);
  ASSERT_EQ(C_DestroyObject(h.session, h.key), CKR_OK);
  uint32_t calls = mock::mockCount(0, fn(Fn::C_SignInit));
  EXPECT_EQ(C_SignInit(h.session, &mech, h.key), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_DigestKey(h.session, h.key), CKR_KEY_HANDLE_INVALID) << "not CKR_OBJECT_HANDLE_INVALID";
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_SignInit)), calls);

  // A card of the other family now in the reader changes nothing for open sessions.
  pcsc().insert("Rd", kAtrFamily2);
  CK_BYTE data[4] = {1, 2, 3, 4};
  CK_ULONG length = 0;
  mock::mockForce(2, fn(Fn::C_Sign), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(C_Sign(h.session, data, 4, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(C_Sign(other, data, 4, nullptr, &length), CKR_OK);
  EXPECT_EQ(mock::mockCount(2, fn(Fn::C_Sign)), 1u);
  EXPECT_EQ(mock::mockCount(1, fn(Fn::C_Sign)), 1u);
  EXPECT_EQ(mock::mockCount(0, fn(Fn::C_Sign)), 2u);
  EXPECT_NE(backendSession(h.session), 0u) << "a failing operation leaves the session in place";
}

}  // namespace
