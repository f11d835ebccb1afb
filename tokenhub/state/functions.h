// The 68 Cryptoki 2.x functions in CK_FUNCTION_LIST order (the order of the
// export ordinals in tokenhub.def). TOKENHUB_FUNCTIONS(X) expands X(name) for each.
#pragma once

#define TOKENHUB_FUNCTIONS(X) \
  X(C_Initialize) \
  X(C_Finalize) \
  X(C_GetInfo) \
  X(C_GetFunctionList) \
  X(C_GetSlotList) \
  X(C_GetSlotInfo) \
  X(C_GetTokenInfo) \
  X(C_GetMechanismList) \
  X(C_GetMechanismInfo) \
  X(C_InitToken) \
  X(C_InitPIN) \
  X(C_SetPIN) \
  X(C_OpenSession) \
  X(C_CloseSession) \
  X(C_CloseAllSessions) \
  X(C_GetSessionInfo) \
  X(C_GetOperationState) \
  X(C_SetOperationState) \
  X(C_Login) \
  X(C_Logout) \
  X(C_CreateObject) \
  X(C_CopyObject) \
  X(C_DestroyObject) \
  X(C_GetObjectSize) \
  X(C_GetAttributeValue) \
  X(C_SetAttributeValue) \
  X(C_FindObjectsInit) \
  X(C_FindObjects) \
  X(C_FindObjectsFinal) \
  X(C_EncryptInit) \
  X(C_Encrypt) \
  X(C_EncryptUpdate) \
  X(C_EncryptFinal) \
  X(C_DecryptInit) \
  X(C_Decrypt) \
  X(C_DecryptUpdate) \
  X(C_DecryptFinal) \
  X(C_DigestInit) \
  X(C_Digest) \
  X(C_DigestUpdate) \
  X(C_DigestKey) \
  X(C_DigestFinal) \
  X(C_SignInit) \
  X(C_Sign) \
  X(C_SignUpdate) \
  X(C_SignFinal) \
  X(C_SignRecoverInit) \
  X(C_SignRecover) \
  X(C_VerifyInit) \
  X(C_Verify) \
  X(C_VerifyUpdate) \
  X(C_VerifyFinal) \
  X(C_VerifyRecoverInit) \
  X(C_VerifyRecover) \
  X(C_DigestEncryptUpdate) \
  X(C_DecryptDigestUpdate) \
  X(C_SignEncryptUpdate) \
  X(C_DecryptVerifyUpdate) \
  X(C_GenerateKey) \
  X(C_GenerateKeyPair) \
  X(C_WrapKey) \
  X(C_UnwrapKey) \
  X(C_DeriveKey) \
  X(C_SeedRandom) \
  X(C_GenerateRandom) \
  X(C_GetFunctionStatus) \
  X(C_CancelFunction) \
  X(C_WaitForSlotEvent)

#include <type_traits>

#include "tokenhub/pkcs11.h"

namespace tokenhub {

constexpr unsigned kFunctionCount = 68;

// Position of each function in the list (C_Initialize is 0, its ordinal 1).
enum class Fn : unsigned {
#define TOKENHUB_ENUM(name) name,
  TOKENHUB_FUNCTIONS(TOKENHUB_ENUM)
#undef TOKENHUB_ENUM
};

// Whether two CK_FUNCTION_LIST members are the same one, at compile time.
template <typename A, typename B>
constexpr bool sameMember(A a, B b) {
  if constexpr (std::is_same_v<A, B>)
    return a == b;
  else
    return false;
}

// The name of a CK_FUNCTION_LIST member, found at compile time.
template <auto Member>
constexpr const char *functionName() {
#define TOKENHUB_MEMBER_NAME(name) \
  if (sameMember(Member, &CK_FUNCTION_LIST::name)) return #name;
  TOKENHUB_FUNCTIONS(TOKENHUB_MEMBER_NAME)
#undef TOKENHUB_MEMBER_NAME
  return "?";
}

}  // namespace tokenhub
