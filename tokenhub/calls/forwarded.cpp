// Token operations that the session's backend does whole: PIN management and
// login, encryption, decryption, digesting, signing and verification, random
// numbers and the parallel-function calls. Each one is the backend function
// of the same name, reached with the backend's session handle (and, for the
// seven that take a key, the backend's key handle); the backend writes the
// caller's buffers and lengths itself and its result is returned unchanged.
#include "state/core.h"
#include "calls/forwarding.h"


#define TOKENHUB_TO(name) forward<&CK_FUNCTION_LIST::name>

namespace tokenhub::core {
CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) { return TOKENHUB_TO(C_InitPIN)(h, pin, pinLen); }
CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin, CK_ULONG newLen) { return TOKENHUB_TO(C_SetPIN)(h, oldPin, oldLen, newPin, newLen); }
CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) { return TOKENHUB_TO(C_Login)(h, userType, pin, pinLen); }
CK_RV C_Logout(CK_SESSION_HANDLE h) { return TOKENHUB_TO(C_Logout)(h); }
CK_RV C_EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_EncryptInit)(h, mechanism, KeyHandle{key}); }
CK_RV C_Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_Encrypt)(h, data, dataLen, out, outLen); }
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_EncryptUpdate)(h, part, partLen, out, outLen); }
CK_RV C_EncryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_EncryptFinal)(h, out, outLen); }
CK_RV C_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_DecryptInit)(h, mechanism, KeyHandle{key}); }
CK_RV C_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_Decrypt)(h, data, dataLen, out, outLen); }
CK_RV C_DecryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_DecryptUpdate)(h, part, partLen, out, outLen); }
CK_RV C_DecryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_DecryptFinal)(h, out, outLen); }
CK_RV C_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism) { return TOKENHUB_TO(C_DigestInit)(h, mechanism); }
CK_RV C_Digest(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_Digest)(h, data, dataLen, out, outLen); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen) { return TOKENHUB_TO(C_DigestUpdate)(h, part, partLen); }
CK_RV C_DigestKey(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_DigestKey)(h, KeyHandle{key}); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_DigestFinal)(h, out, outLen); }
CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_SignInit)(h, mechanism, KeyHandle{key}); }
CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_Sign)(h, data, dataLen, out, outLen); }
CK_RV C_SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen) { return TOKENHUB_TO(C_SignUpdate)(h, part, partLen); }
CK_RV C_SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_SignFinal)(h, out, outLen); }
CK_RV C_SignRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_SignRecoverInit)(h, mechanism, KeyHandle{key}); }
CK_RV C_SignRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_SignRecover)(h, data, dataLen, out, outLen); }
CK_RV C_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_VerifyInit)(h, mechanism, KeyHandle{key}); }
CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR signature, CK_ULONG signatureLen) { return TOKENHUB_TO(C_Verify)(h, data, dataLen, signature, signatureLen); }
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen) { return TOKENHUB_TO(C_VerifyUpdate)(h, part, partLen); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR signature, CK_ULONG signatureLen) { return TOKENHUB_TO(C_VerifyFinal)(h, signature, signatureLen); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) { return TOKENHUB_TO(C_VerifyRecoverInit)(h, mechanism, KeyHandle{key}); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR signature, CK_ULONG signatureLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_VerifyRecover)(h, signature, signatureLen, out, outLen); }
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_DigestEncryptUpdate)(h, part, partLen, out, outLen); }
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_DecryptDigestUpdate)(h, part, partLen, out, outLen); }
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_SignEncryptUpdate)(h, part, partLen, out, outLen); }
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG partLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) { return TOKENHUB_TO(C_DecryptVerifyUpdate)(h, part, partLen, out, outLen); }
CK_RV C_SeedRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR seed, CK_ULONG seedLen) { return TOKENHUB_TO(C_SeedRandom)(h, seed, seedLen); }
CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG outLen) { return TOKENHUB_TO(C_GenerateRandom)(h, out, outLen); }
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE h) { return TOKENHUB_TO(C_GetFunctionStatus)(h); }
CK_RV C_CancelFunction(CK_SESSION_HANDLE h) { return TOKENHUB_TO(C_CancelFunction)(h); }

CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState, CK_ULONG_PTR pulOperationStateLen) {
  return forward<&CK_FUNCTION_LIST::C_GetOperationState>(hSession, pOperationState, pulOperationStateLen);
}

// The two keys of a restored operation are router handles like any other the
// application holds; the backend needs its own (0 stays "no key").
CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pOperationState, CK_ULONG ulOperationStateLen,
                          CK_OBJECT_HANDLE hEncryptionKey, CK_OBJECT_HANDLE hAuthenticationKey) {
  return forward<&CK_FUNCTION_LIST::C_SetOperationState>(hSession, pOperationState, ulOperationStateLen,
                                                         OptionalKeyHandle{hEncryptionKey},
                                                         OptionalKeyHandle{hAuthenticationKey});
}

}  // namespace tokenhub::core
