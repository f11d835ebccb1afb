// The one way a session-level entry point reaches its backend: check that
// the library is initialised, look the session up, translate the handles the
// call carries from the router's numbering to the backend's, call the
// backend function of the same name with the backend session handle, and
// enter every handle the backend creates in the object table before the
// caller sees it.
//
// An entry point marks its handle arguments by wrapping them:
//   forward<&CK_FUNCTION_LIST::C_SignInit>(hSession, pMechanism, KeyHandle{hKey});
// Unwrapped arguments reach the backend as the caller gave them. Handles are
// looked up left to right, so the first unknown one decides the code, and a
// null output for a new handle is refused after the look-ups and before the
// backend is called.
#pragma once
#include <tuple>

#include "handles/objects.h"
#include "handles/sessions.h"

namespace tokenhub {

struct KeyHandle {  // translated; unknown gives CKR_KEY_HANDLE_INVALID
  CK_OBJECT_HANDLE handle;
};
struct ObjectHandle {  // translated; unknown gives CKR_OBJECT_HANDLE_INVALID
  CK_OBJECT_HANDLE handle;
};
struct OptionalKeyHandle {  // 0 means no key and passes as 0; any other is translated as a key
  CK_OBJECT_HANDLE handle;
};
struct DeriveMechanism {  // a derivation's mechanism: a key that its parameter names is translated
  CK_MECHANISM_PTR mechanism;
};
struct NewObject {  // where the router handle of an object that the backend creates goes
  CK_OBJECT_HANDLE_PTR out;
};

// One call's translation state: the first failure and the new objects.
class BackendCall {
 public:
  explicit BackendCall(const SessionEntry &session) : session_(session) {}

  CK_RV result() const { return result_; }

  template <typename T>
  T translate(T argument) {
    return argument;
  }
  CK_OBJECT_HANDLE translate(KeyHandle key) { return lookUp(key.handle, HandleKind::Key); }
  CK_OBJECT_HANDLE translate(ObjectHandle object) { return lookUp(object.handle, HandleKind::Object); }
  CK_OBJECT_HANDLE translate(OptionalKeyHandle key) { return key.handle ? lookUp(key.handle, HandleKind::Key) : 0; }
  CK_OBJECT_HANDLE_PTR translate(NewObject object);
  // CKM_CONCATENATE_BASE_AND_KEY names its second key in its parameter: the
  // backend gets a copy that names the backend's key, the caller's is not
  // touched. Other mechanisms pass as given.
  CK_MECHANISM_PTR translate(DeriveMechanism derive);

  // After the backend succeeded: maps every new backend object, then writes
  // the router handles. When one cannot be mapped, every new object is
  // destroyed in the backend again, the rows made for the others are freed,
  // nothing is written and the result is CKR_FUNCTION_FAILED.
  CK_RV registerNewObjects();

 private:
  CK_OBJECT_HANDLE lookUp(CK_OBJECT_HANDLE handle, HandleKind kind);

  struct Created {
    CK_OBJECT_HANDLE_PTR out;
    CK_OBJECT_HANDLE backendHandle;
  };
  const SessionEntry &session_;
  CK_RV result_ = CKR_OK;
  Created created_[2] = {};  // a key pair makes two
  CK_MECHANISM mechanism_ = {};
  CK_OBJECT_HANDLE mechanismKey_ = 0;
  unsigned createdCount_ = 0;
};

// The session's backend function `Member`, called with the backend session
// handle and the translated arguments; no router lock is held during the call.
template <auto Member, typename... Args>
CK_RV callBackend(const SessionEntry &session, Args... args) {
  if (!supports<Member>(*session.functionList)) return CKR_FUNCTION_NOT_SUPPORTED;
  BackendCall call(session);
  // Braced initialisation evaluates the translations left to right.
  std::tuple<decltype(call.translate(args))...> backendArgs{call.translate(args)...};
  if (call.result() != CKR_OK) return call.result();
  CK_RV rv = std::apply(
      [&session](auto... backendArg) { return (session.functionList->*Member)(session.backendHandle, backendArg...); },
      backendArgs);
  return rv == CKR_OK ? call.registerNewObjects() : sessionAnswer(session, rv);
}

template <auto Member, typename... Args>
CK_RV forward(CK_SESSION_HANDLE hSession, Args... args) {
  SessionEntry session;
  CK_RV rv = enterSession(hSession, session);
  return rv == CKR_OK ? callBackend<Member>(session, args...) : rv;
}

}  // namespace tokenhub
