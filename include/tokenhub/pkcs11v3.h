// The PKCS#11 3.0 interface as a module offers it through C_GetInterface:
// the function list of version 3.0 (the 2.x functions, then the new ones)
// and the interface record. Debian 12's copy of the standard header stops
// at 2.40, so the layout is written out here, under names of our own, packed
// as that header packs on Windows.
#pragma once
#include <initializer_list>

#include "tokenhub/pkcs11.h"

namespace tokenhub {

#ifdef _WIN32
#pragma pack(push, 1)
#endif

struct Interface30 {
  CK_CHAR *name;  // "PKCS 11"
  void *functionList;
  CK_FLAGS flags;
};

using GetInterfaceFn = CK_RV (*)(CK_UTF8CHAR *name, CK_VERSION *version, Interface30 **found, CK_FLAGS flags);

struct FunctionList30 {
  CK_VERSION version;
#define TOKENHUB_V2_MEMBER(name) CK_##name name;
  TOKENHUB_V2_MEMBER(C_Initialize) TOKENHUB_V2_MEMBER(C_Finalize) TOKENHUB_V2_MEMBER(C_GetInfo)
  TOKENHUB_V2_MEMBER(C_GetFunctionList) TOKENHUB_V2_MEMBER(C_GetSlotList) TOKENHUB_V2_MEMBER(C_GetSlotInfo)
  TOKENHUB_V2_MEMBER(C_GetTokenInfo) TOKENHUB_V2_MEMBER(C_GetMechanismList) TOKENHUB_V2_MEMBER(C_GetMechanismInfo)
  TOKENHUB_V2_MEMBER(C_InitToken) TOKENHUB_V2_MEMBER(C_InitPIN) TOKENHUB_V2_MEMBER(C_SetPIN)
  TOKENHUB_V2_MEMBER(C_OpenSession) TOKENHUB_V2_MEMBER(C_CloseSession) TOKENHUB_V2_MEMBER(C_CloseAllSessions)
  TOKENHUB_V2_MEMBER(C_GetSessionInfo) TOKENHUB_V2_MEMBER(C_GetOperationState)
  TOKENHUB_V2_MEMBER(C_SetOperationState) TOKENHUB_V2_MEMBER(C_Login) TOKENHUB_V2_MEMBER(C_Logout)
  TOKENHUB_V2_MEMBER(C_CreateObject) TOKENHUB_V2_MEMBER(C_CopyObject) TOKENHUB_V2_MEMBER(C_DestroyObject)
  TOKENHUB_V2_MEMBER(C_GetObjectSize) TOKENHUB_V2_MEMBER(C_GetAttributeValue)
  TOKENHUB_V2_MEMBER(C_SetAttributeValue) TOKENHUB_V2_MEMBER(C_FindObjectsInit) TOKENHUB_V2_MEMBER(C_FindObjects)
  TOKENHUB_V2_MEMBER(C_FindObjectsFinal) TOKENHUB_V2_MEMBER(C_EncryptInit) TOKENHUB_V2_MEMBER(C_Encrypt)
  TOKENHUB_V2_MEMBER(C_EncryptUpdate) TOKENHUB_V2_MEMBER(C_EncryptFinal) TOKENHUB_V2_MEMBER(C_DecryptInit)
  TOKENHUB_V2_MEMBER(C_Decrypt) TOKENHUB_V2_MEMBER(C_DecryptUpdate) TOKENHUB_V2_MEMBER(C_DecryptFinal)
  TOKENHUB_V2_MEMBER(C_DigestInit) TOKENHUB_V2_MEMBER(C_Digest) TOKENHUB_V2_MEMBER(C_DigestUpdate)
  TOKENHUB_V2_MEMBER(C_DigestKey) TOKENHUB_V2_MEMBER(C_DigestFinal) TOKENHUB_V2_MEMBER(C_SignInit)
  TOKENHUB_V2_MEMBER(C_Sign) TOKENHUB_V2_MEMBER(C_SignUpdate) TOKENHUB_V2_MEMBER(C_SignFinal)
  TOKENHUB_V2_MEMBER(C_SignRecoverInit) TOKENHUB_V2_MEMBER(C_SignRecover) TOKENHUB_V2_MEMBER(C_VerifyInit)
  TOKENHUB_V2_MEMBER(C_Verify) TOKENHUB_V2_MEMBER(C_VerifyUpdate) TOKENHUB_V2_MEMBER(C_VerifyFinal)
  TOKENHUB_V2_MEMBER(C_VerifyRecoverInit) TOKENHUB_V2_MEMBER(C_VerifyRecover)
  TOKENHUB_V2_MEMBER(C_DigestEncryptUpdate) TOKENHUB_V2_MEMBER(C_DecryptDigestUpdate)
  TOKENHUB_V2_MEMBER(C_SignEncryptUpdate) TOKENHUB_V2_MEMBER(C_DecryptVerifyUpdate)
  TOKENHUB_V2_MEMBER(C_GenerateKey) TOKENHUB_V2_MEMBER(C_GenerateKeyPair) TOKENHUB_V2_MEMBER(C_WrapKey)
  TOKENHUB_V2_MEMBER(C_UnwrapKey) TOKENHUB_V2_MEMBER(C_DeriveKey) TOKENHUB_V2_MEMBER(C_SeedRandom)
  TOKENHUB_V2_MEMBER(C_GenerateRandom) TOKENHUB_V2_MEMBER(C_GetFunctionStatus)
  TOKENHUB_V2_MEMBER(C_CancelFunction) TOKENHUB_V2_MEMBER(C_WaitForSlotEvent)
#undef TOKENHUB_V2_MEMBER
  CK_RV (*C_GetInterfaceList)(Interface30 *list, CK_ULONG *count);
  GetInterfaceFn C_GetInterface;
  CK_RV (*C_LoginUser)(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR *pin, CK_ULONG pinLen, CK_UTF8CHAR *user,
                       CK_ULONG userLen);
  CK_RV (*C_SessionCancel)(CK_SESSION_HANDLE, CK_FLAGS);
  // Encryption, decryption, signing and verification by message: for each
  // an Init (mechanism and key), the one-part call, Begin, Next, and Final.
  CK_RV (*C_MessageEncryptInit)(CK_SESSION_HANDLE, CK_MECHANISM *, CK_OBJECT_HANDLE);
  CK_RV (*C_EncryptMessage)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *aad, CK_ULONG aadLen,
                            CK_BYTE *in, CK_ULONG inLen, CK_BYTE *out, CK_ULONG *outLen);
  CK_RV (*C_EncryptMessageBegin)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *aad, CK_ULONG aadLen);
  CK_RV (*C_EncryptMessageNext)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *in, CK_ULONG inLen,
                                CK_BYTE *out, CK_ULONG *outLen, CK_FLAGS flags);
  CK_RV (*C_MessageEncryptFinal)(CK_SESSION_HANDLE);
  CK_RV (*C_MessageDecryptInit)(CK_SESSION_HANDLE, CK_MECHANISM *, CK_OBJECT_HANDLE);
  CK_RV (*C_DecryptMessage)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *aad, CK_ULONG aadLen,
                            CK_BYTE *in, CK_ULONG inLen, CK_BYTE *out, CK_ULONG *outLen);
  CK_RV (*C_DecryptMessageBegin)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *aad, CK_ULONG aadLen);
  CK_RV (*C_DecryptMessageNext)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *in, CK_ULONG inLen,
                                CK_BYTE *out, CK_ULONG *outLen, CK_FLAGS flags);
  CK_RV (*C_MessageDecryptFinal)(CK_SESSION_HANDLE);
  CK_RV (*C_MessageSignInit)(CK_SESSION_HANDLE, CK_MECHANISM *, CK_OBJECT_HANDLE);
  CK_RV (*C_SignMessage)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *data, CK_ULONG dataLen,
                         CK_BYTE *signature, CK_ULONG *signatureLen);
  CK_RV (*C_SignMessageBegin)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen);
  CK_RV (*C_SignMessageNext)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *data, CK_ULONG dataLen,
                             CK_BYTE *signature, CK_ULONG *signatureLen);
  CK_RV (*C_MessageSignFinal)(CK_SESSION_HANDLE);
  CK_RV (*C_MessageVerifyInit)(CK_SESSION_HANDLE, CK_MECHANISM *, CK_OBJECT_HANDLE);
  CK_RV (*C_VerifyMessage)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *data, CK_ULONG dataLen,
                           CK_BYTE *signature, CK_ULONG signatureLen);
  CK_RV (*C_VerifyMessageBegin)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen);
  CK_RV (*C_VerifyMessageNext)(CK_SESSION_HANDLE, void *param, CK_ULONG paramLen, CK_BYTE *data, CK_ULONG dataLen,
                               CK_BYTE *signature, CK_ULONG signatureLen);
  CK_RV (*C_MessageVerifyFinal)(CK_SESSION_HANDLE);
};

#ifdef _WIN32
#pragma pack(pop)
#endif

// The 3.x interface of a module's C_GetInterface, or null: a module of 2.x, or
// one whose "PKCS 11" interface is of another major version. Version 3.0 is
// asked for first, then the module's own choice (p11-kit's proxy offers 3.2):
// every 3.x list begins as 3.0's does.
inline const FunctionList30 *interface30(GetInterfaceFn getInterface) {
  static CK_UTF8CHAR name[] = "PKCS 11";
  if (!getInterface) return nullptr;
  CK_VERSION version = {3, 0};
  for (CK_VERSION *asked : {&version, static_cast<CK_VERSION *>(nullptr)}) {
    Interface30 *found = nullptr;
    if (getInterface(name, asked, &found, 0) != CKR_OK || !found || !found->functionList) continue;
    auto *list = static_cast<const FunctionList30 *>(found->functionList);
    if (list->version.major == 3) return list;
  }
  return nullptr;
}

}  // namespace tokenhub
