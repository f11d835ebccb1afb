// A PKCS#11 3.0 module for the host's tests: SoftHSM2 (which stops at 2.40)
// serves the 2.x calls, and the 3.0 calls are made of them. C_LoginUser logs
// in under the user name "user" only; each message operation runs its 2.x
// counterpart on the whole message (the Begin and Next calls gather the
// parts first); C_SessionCancel ends the message operations its flags
// name. A message parameter or a mechanism parameter is refused: what
// arrives here is checked as strictly as a card module would.
#include <dlfcn.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "tokenhub/pkcs11v3.h"

using namespace tokenhub;

namespace {

constexpr CK_FLAGS kEndOfMessage = 1;  // CKF_END_OF_MESSAGE
enum Kind { kEncrypt, kDecrypt, kSign, kVerify, kKinds };
constexpr CK_FLAGS kCancelFlags[kKinds] = {0x2, 0x4, 0x8, 0x10};  // CKF_MESSAGE_ENCRYPT ... _VERIFY

CK_FUNCTION_LIST *soft = nullptr;
FunctionList30 list30;
CK_CHAR interfaceName[] = "PKCS 11";
Interface30 interface30Record = {interfaceName, &list30, 0};

struct Operation {
  CK_MECHANISM_TYPE mechanism = 0;
  CK_OBJECT_HANDLE key = 0;
  std::vector<CK_BYTE> parts;
};
std::mutex lock;
std::map<std::pair<CK_SESSION_HANDLE, int>, Operation> operations;

CK_RV begin(CK_SESSION_HANDLE s, int kind, CK_MECHANISM *m, CK_OBJECT_HANDLE key) {
  if (!m || m->pParameter || m->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
  std::lock_guard<std::mutex> hold(lock);
  operations[{s, kind}] = Operation{m->mechanism, key, {}};
  return CKR_OK;
}

CK_RV end(CK_SESSION_HANDLE s, int kind) {
  std::lock_guard<std::mutex> hold(lock);
  return operations.erase({s, kind}) ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

// The 2.x operation over `data`: its output into out/outLen as the standard
// has it (a null buffer asks for the length), or for verification the check
// of the signature in out/signatureLen. `gather`: the parts so far come first.
CK_RV run(CK_SESSION_HANDLE s, int kind, void *param, CK_ULONG paramLen, const CK_BYTE *data, CK_ULONG length,
          CK_BYTE *out, CK_ULONG *outLen, CK_ULONG signatureLen = 0, bool gather = false) {
  if (param || paramLen) return CKR_ARGUMENTS_BAD;
  Operation op;
  {
    std::lock_guard<std::mutex> hold(lock);
    auto found = operations.find({s, kind});
    if (found == operations.end()) return CKR_OPERATION_NOT_INITIALIZED;
    if (gather) {
      found->second.parts.insert(found->second.parts.end(), data, data + length);
      op = found->second;
      found->second.parts.clear();
    } else {
      op = found->second;
      op.parts.assign(data, data + length);
    }
  }
  CK_MECHANISM m = {op.mechanism, nullptr, 0};
  CK_BYTE result[8192];
  CK_ULONG n = sizeof result;
  CK_BYTE *in = op.parts.data();
  CK_ULONG inLen = op.parts.size();
  CK_RV rv;
  switch (kind) {
    case kEncrypt:
      rv = soft->C_EncryptInit(s, &m, op.key);
      if (rv == CKR_OK) rv = soft->C_Encrypt(s, in, inLen, result, &n);
      break;
    case kDecrypt:
      rv = soft->C_DecryptInit(s, &m, op.key);
      if (rv == CKR_OK) rv = soft->C_Decrypt(s, in, inLen, result, &n);
      break;
    case kSign:
      rv = soft->C_SignInit(s, &m, op.key);
      if (rv == CKR_OK) rv = soft->C_Sign(s, in, inLen, result, &n);
      break;
    default:
      rv = soft->C_VerifyInit(s, &m, op.key);
      return rv == CKR_OK ? soft->C_Verify(s, in, inLen, out, signatureLen) : rv;
  }
  if (rv != CKR_OK) return rv;
  if (!outLen) return CKR_ARGUMENTS_BAD;
  CK_ULONG room = *outLen;
  *outLen = n;
  if (!out) return CKR_OK;
  if (room < n) return CKR_BUFFER_TOO_SMALL;
  std::memcpy(out, result, n);
  return CKR_OK;
}

// A Begin call: the parts start empty.
CK_RV restart(CK_SESSION_HANDLE s, int kind, void *param, CK_ULONG paramLen) {
  if (param || paramLen) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> hold(lock);
  auto found = operations.find({s, kind});
  if (found == operations.end()) return CKR_OPERATION_NOT_INITIALIZED;
  found->second.parts.clear();
  return CKR_OK;
}

// A Next call that is not the last: its part kept.
CK_RV keep(CK_SESSION_HANDLE s, int kind, void *param, CK_ULONG paramLen, const CK_BYTE *data, CK_ULONG length) {
  if (param || paramLen) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> hold(lock);
  auto found = operations.find({s, kind});
  if (found == operations.end()) return CKR_OPERATION_NOT_INITIALIZED;
  found->second.parts.insert(found->second.parts.end(), data, data + length);
  return CKR_OK;
}

template <int Kind>
CK_RV messageNext(CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *in, CK_ULONG inLen, CK_BYTE *out,
                  CK_ULONG *outLen, CK_FLAGS flags) {
  if (!(flags & kEndOfMessage)) {
    if (outLen) *outLen = 0;
    return keep(s, Kind, p, pl, in, inLen);
  }
  return run(s, Kind, p, pl, in, inLen, out, outLen, 0, true);
}

void fill() {
  std::memcpy(&list30, soft, sizeof *soft);  // the 2.x part has the same layout
  list30.version = {3, 0};
  list30.C_GetInterfaceList = [](Interface30 *list, CK_ULONG *count) -> CK_RV {
    if (!count) return CKR_ARGUMENTS_BAD;
    CK_ULONG room = *count;
    *count = 1;
    if (!list) return CKR_OK;
    if (room < 1) return CKR_BUFFER_TOO_SMALL;
    list[0] = interface30Record;
    return CKR_OK;
  };
  list30.C_GetInterface = nullptr;  // set below, from the exported one
  list30.C_LoginUser = [](CK_SESSION_HANDLE s, CK_USER_TYPE type, CK_UTF8CHAR *pin, CK_ULONG pinLen,
                          CK_UTF8CHAR *user, CK_ULONG userLen) -> CK_RV {
    if (userLen != 4 || !user || std::memcmp(user, "user", 4) != 0) return CKR_ARGUMENTS_BAD;
    return soft->C_Login(s, type, pin, pinLen);
  };
  list30.C_SessionCancel = [](CK_SESSION_HANDLE s, CK_FLAGS flags) -> CK_RV {
    for (int kind = 0; kind < kKinds; ++kind)
      if (flags & kCancelFlags[kind]) end(s, kind);
    return CKR_OK;
  };
  list30.C_MessageEncryptInit = [](CK_SESSION_HANDLE s, CK_MECHANISM *m, CK_OBJECT_HANDLE k) { return begin(s, kEncrypt, m, k); };
  list30.C_MessageDecryptInit = [](CK_SESSION_HANDLE s, CK_MECHANISM *m, CK_OBJECT_HANDLE k) { return begin(s, kDecrypt, m, k); };
  list30.C_MessageSignInit = [](CK_SESSION_HANDLE s, CK_MECHANISM *m, CK_OBJECT_HANDLE k) { return begin(s, kSign, m, k); };
  list30.C_MessageVerifyInit = [](CK_SESSION_HANDLE s, CK_MECHANISM *m, CK_OBJECT_HANDLE k) { return begin(s, kVerify, m, k); };
  list30.C_MessageEncryptFinal = [](CK_SESSION_HANDLE s) { return end(s, kEncrypt); };
  list30.C_MessageDecryptFinal = [](CK_SESSION_HANDLE s) { return end(s, kDecrypt); };
  list30.C_MessageSignFinal = [](CK_SESSION_HANDLE s) { return end(s, kSign); };
  list30.C_MessageVerifyFinal = [](CK_SESSION_HANDLE s) { return end(s, kVerify); };
  list30.C_EncryptMessage = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *, CK_ULONG aadLen, CK_BYTE *in,
                               CK_ULONG inLen, CK_BYTE *out, CK_ULONG *outLen) {
    return aadLen ? CKR_ARGUMENTS_BAD : run(s, kEncrypt, p, pl, in, inLen, out, outLen);
  };
  list30.C_DecryptMessage = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *, CK_ULONG aadLen, CK_BYTE *in,
                               CK_ULONG inLen, CK_BYTE *out, CK_ULONG *outLen) {
    return aadLen ? CKR_ARGUMENTS_BAD : run(s, kDecrypt, p, pl, in, inLen, out, outLen);
  };
  list30.C_EncryptMessageBegin = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *, CK_ULONG aadLen) {
    return aadLen ? CKR_ARGUMENTS_BAD : restart(s, kEncrypt, p, pl);
  };
  list30.C_DecryptMessageBegin = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *, CK_ULONG aadLen) {
    return aadLen ? CKR_ARGUMENTS_BAD : restart(s, kDecrypt, p, pl);
  };
  list30.C_EncryptMessageNext = messageNext<kEncrypt>;
  list30.C_DecryptMessageNext = messageNext<kDecrypt>;
  list30.C_SignMessage = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *data, CK_ULONG len, CK_BYTE *sig,
                            CK_ULONG *sigLen) { return run(s, kSign, p, pl, data, len, sig, sigLen); };
  list30.C_SignMessageBegin = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl) { return restart(s, kSign, p, pl); };
  list30.C_SignMessageNext = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *data, CK_ULONG len, CK_BYTE *sig,
                                CK_ULONG *sigLen) {
    return sigLen ? run(s, kSign, p, pl, data, len, sig, sigLen, 0, true) : keep(s, kSign, p, pl, data, len);
  };
  list30.C_VerifyMessage = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *data, CK_ULONG len, CK_BYTE *sig,
                              CK_ULONG sigLen) { return run(s, kVerify, p, pl, data, len, sig, nullptr, sigLen); };
  list30.C_VerifyMessageBegin = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl) { return restart(s, kVerify, p, pl); };
  list30.C_VerifyMessageNext = [](CK_SESSION_HANDLE s, void *p, CK_ULONG pl, CK_BYTE *data, CK_ULONG len,
                                  CK_BYTE *sig, CK_ULONG sigLen) {
    return sig ? run(s, kVerify, p, pl, data, len, sig, nullptr, sigLen, true) : keep(s, kVerify, p, pl, data, len);
  };
}

bool loaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    void *module = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
    auto get = module ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList")) : nullptr;
    if (get && get(&soft) == CKR_OK && soft) fill();
  });
  return soft != nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST **list) {
  if (!list) return CKR_ARGUMENTS_BAD;
  if (!loaded()) return CKR_GENERAL_ERROR;
  *list = soft;
  return CKR_OK;
}

extern "C" __attribute__((visibility("default"))) CK_RV C_GetInterface(CK_UTF8CHAR *name, CK_VERSION *version,
                                                                        Interface30 **found, CK_FLAGS) {
  if (!found) return CKR_ARGUMENTS_BAD;
  if (!loaded()) return CKR_GENERAL_ERROR;
  if ((name && std::strcmp(reinterpret_cast<char *>(name), "PKCS 11") != 0) || (version && version->major != 3))
    return CKR_ARGUMENTS_BAD;
  list30.C_GetInterface = C_GetInterface;
  *found = &interface30Record;
  return CKR_OK;
}

extern "C" __attribute__((visibility("default"))) CK_RV C_GetInterfaceList(Interface30 *list, CK_ULONG *count) {
  return loaded() ? list30.C_GetInterfaceList(list, count) : CKR_GENERAL_ERROR;
}
