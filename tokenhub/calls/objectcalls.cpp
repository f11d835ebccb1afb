// Object and key management calls: every handle the application passes in is
// translated to the backend's, and every handle a backend hands back is
// entered in the object table before the application sees it.
#include <memory>
#include <new>

#include "state/core.h"
#include "calls/forwarding.h"

namespace tokenhub {

CK_OBJECT_HANDLE BackendCall::lookUp(CK_OBJECT_HANDLE handle, HandleKind kind) {
  if (result_ != CKR_OK) return 0;
  ObjectEntry object;
  result_ = findObject(handle, kind, object, session_.slot);
  return result_ == CKR_OK ? object.backendHandle : 0;
}

CK_OBJECT_HANDLE_PTR BackendCall::translate(NewObject object) {
  if (result_ == CKR_OK && !object.out) result_ = CKR_ARGUMENTS_BAD;
  Created &created = created_[createdCount_++];
  created.out = object.out;
  return &created.backendHandle;
}

CK_MECHANISM_PTR BackendCall::translate(DeriveMechanism derive) {
  CK_MECHANISM_PTR given = derive.mechanism;
  if (result_ != CKR_OK || !given || given->mechanism != CKM_CONCATENATE_BASE_AND_KEY) return given;
  if (!given->pParameter || given->ulParameterLen != sizeof(CK_OBJECT_HANDLE)) {
    result_ = CKR_MECHANISM_PARAM_INVALID;
    return given;
  }
  mechanismKey_ = lookUp(*static_cast<const CK_OBJECT_HANDLE *>(given->pParameter), HandleKind::Key);
  mechanism_ = {given->mechanism, &mechanismKey_, sizeof mechanismKey_};
  return &mechanism_;
}

CK_RV BackendCall::registerNewObjects() {
  CK_OBJECT_HANDLE routerHandles[2] = {};
  for (unsigned i = 0; i < createdCount_; ++i) {
    routerHandles[i] = mapObject(session_.slot, created_[i].backendHandle, session_.cardEpoch, session_.functionList);
    if (routerHandles[i] != 0) continue;
    for (unsigned j = 0; j < i; ++j) removeObject(ObjectEntry{routerHandles[j], session_.slot, created_[j].backendHandle, 0});
    // The session's card left its reader during the call: the session is gone
    // with it, and its backend handle may already be a new card's.
    if (!cardStillIn(session_.slot, session_.cardEpoch)) return CKR_SESSION_HANDLE_INVALID;
    if (supports<&CK_FUNCTION_LIST::C_DestroyObject>(*session_.functionList))
      for (unsigned j = 0; j < createdCount_; ++j)
        session_.functionList->C_DestroyObject(session_.backendHandle, created_[j].backendHandle);
    return CKR_FUNCTION_FAILED;
  }
  for (unsigned i = 0; i < createdCount_; ++i) *created_[i].out = routerHandles[i];
  return CKR_OK;
}

namespace {

// Enters a batch of found backend handles, in order, into the caller's array.
// A full table stops the batch: that position gets 0, the earlier ones keep
// their handles (and rows), the count is not written.
CK_RV mapFoundObjects(const SessionEntry &session, const CK_OBJECT_HANDLE *found, CK_ULONG count,
                      CK_OBJECT_HANDLE_PTR phObject, CK_ULONG_PTR pulObjectCount) {
  for (CK_ULONG i = 0; i < count; ++i) {
    phObject[i] = mapObject(session.slot, found[i], session.cardEpoch, session.functionList);
    if (phObject[i] == 0) return cardStillIn(session.slot, session.cardEpoch) ? CKR_FUNCTION_FAILED : CKR_SESSION_HANDLE_INVALID;
  }
  *pulObjectCount = count;
  return CKR_OK;
}

}  // namespace

}  // namespace tokenhub

namespace tokenhub::core {

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
  return forward<&CK_FUNCTION_LIST::C_CreateObject>(hSession, pTemplate, ulCount, NewObject{phObject});
}

CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE_PTR phNewObject) {
  return forward<&CK_FUNCTION_LIST::C_CopyObject>(hSession, ObjectHandle{hObject}, pTemplate, ulCount,
                                                  NewObject{phNewObject});
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  SessionEntry session;
  ObjectEntry object;
  CK_RV rv = enterSession(hSession, session);
  if (rv != CKR_OK) return rv;
  if (!supports<&CK_FUNCTION_LIST::C_DestroyObject>(*session.functionList)) return CKR_FUNCTION_NOT_SUPPORTED;
  rv = beginDestroy(hObject, session.slot, object);
  if (rv != CKR_OK) return rv;
  rv = sessionAnswer(session, session.functionList->C_DestroyObject(session.backendHandle, object.backendHandle));
  // A refusal keeps the row: the object still exists and its handle stays usable.
  endDestroy(object, rv == CKR_OK);
  return rv;
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  return forward<&CK_FUNCTION_LIST::C_GetObjectSize>(hSession, ObjectHandle{hObject}, pulSize);
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return forward<&CK_FUNCTION_LIST::C_GetAttributeValue>(hSession, ObjectHandle{hObject}, pTemplate, ulCount);
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return forward<&CK_FUNCTION_LIST::C_SetAttributeValue>(hSession, ObjectHandle{hObject}, pTemplate, ulCount);
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return forward<&CK_FUNCTION_LIST::C_FindObjectsInit>(hSession, pTemplate, ulCount);
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  SessionEntry session;
  CK_RV rv = enterSession(hSession, session);
  if (rv != CKR_OK) return rv;
  if (!supports<&CK_FUNCTION_LIST::C_FindObjects>(*session.functionList)) return CKR_FUNCTION_NOT_SUPPORTED;
  if (!phObject || ulMaxObjectCount == 0 || !pulObjectCount) return CKR_ARGUMENTS_BAD;
  // One batch never holds more than the object table can: the caller's
  // maximum alone (it may be any number) does not decide how much heap the
  // router takes, and a backend may always return fewer than asked for.
  const CK_ULONG batch = ulMaxObjectCount < kMaxObjects ? ulMaxObjectCount : kMaxObjects;
  // Zeroed, so that positions a backend counts but leaves unwritten name no
  // object (0 is never a backend's handle) rather than whatever the heap held.
  std::unique_ptr<CK_OBJECT_HANDLE[]> found(new (std::nothrow) CK_OBJECT_HANDLE[batch]());
  if (!found) return CKR_HOST_MEMORY;
  CK_ULONG count = 0;
  rv = session.functionList->C_FindObjects(session.backendHandle, found.get(), batch, &count);
  if (rv != CKR_OK) return sessionAnswer(session, rv);
  // A backend that claims more than the array holds has written at most that
  // many; neither array is read or written beyond it.
  if (count > batch) count = batch;
  return mapFoundObjects(session, found.get(), count, phObject, pulObjectCount);
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  return forward<&CK_FUNCTION_LIST::C_FindObjectsFinal>(hSession);
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
  return forward<&CK_FUNCTION_LIST::C_GenerateKey>(hSession, pMechanism, pTemplate, ulCount, NewObject{phKey});
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                        CK_ULONG ulPublicKeyAttributeCount, CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                        CK_ULONG ulPrivateKeyAttributeCount, CK_OBJECT_HANDLE_PTR phPublicKey,
                        CK_OBJECT_HANDLE_PTR phPrivateKey) {
  return forward<&CK_FUNCTION_LIST::C_GenerateKeyPair>(hSession, pMechanism, pPublicKeyTemplate,
                                                       ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                                                       ulPrivateKeyAttributeCount, NewObject{phPublicKey},
                                                       NewObject{phPrivateKey});
}

CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
  return forward<&CK_FUNCTION_LIST::C_WrapKey>(hSession, pMechanism, KeyHandle{hWrappingKey}, KeyHandle{hKey},
                                               pWrappedKey, pulWrappedKeyLen);
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                  CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                  CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  return forward<&CK_FUNCTION_LIST::C_UnwrapKey>(hSession, pMechanism, KeyHandle{hUnwrappingKey}, pWrappedKey,
                                                 ulWrappedKeyLen, pTemplate, ulAttributeCount, NewObject{phKey});
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  return forward<&CK_FUNCTION_LIST::C_DeriveKey>(hSession, DeriveMechanism{pMechanism}, KeyHandle{hBaseKey}, pTemplate,
                                                 ulAttributeCount, NewObject{phKey});
}

}  // namespace tokenhub::core
