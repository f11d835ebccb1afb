// The Linux flow that a signing application goes through, repeated, for a
// memory checker: load the module, then several rounds of initialise, list
// the slots with a token, open a session on the token labelled LABEL, log
// in, find the private key, sign, close and finalise.
//
//   memcheck_flow MODULE LABEL PIN ROUNDS
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tokenhub/pkcs11.h"

namespace {

CK_FUNCTION_LIST_PTR p11 = nullptr;

bool ok(CK_RV rv, const char *what) {
  if (rv == CKR_OK) return true;
  std::fprintf(stderr, "%s failed: 0x%lX\n", what, static_cast<unsigned long>(rv));
  return false;
}

// The slot whose token carries the label; 0 when none.
CK_SLOT_ID slotOf(const char *label) {
  CK_SLOT_ID slots[64];
  CK_ULONG count = 64;
  if (!ok(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList")) return 0;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info;
    if (p11->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    size_t n = std::strlen(label);
    if (std::memcmp(info.label, label, n) == 0 && (n == 32 || info.label[n] == ' ')) return slots[i];
  }
  std::fprintf(stderr, "no token labelled %s among %lu slots\n", label, static_cast<unsigned long>(count));
  return 0;
}

bool round(const char *label, const char *pin) {
  if (!ok(p11->C_Initialize(nullptr), "C_Initialize")) return false;
  bool good = false;
  CK_SESSION_HANDLE session = 0;
  CK_SLOT_ID slot = slotOf(label);
  if (slot && ok(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), "C_OpenSession")) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
    unsigned char digest[32] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char signature[128];
    CK_ULONG signatureLength = sizeof signature;
    good = ok(p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, std::strlen(pin)), "C_Login") &&
           ok(p11->C_FindObjectsInit(session, query, 1), "C_FindObjectsInit") &&
           ok(p11->C_FindObjects(session, &key, 1, &found), "C_FindObjects") &&
           ok(p11->C_FindObjectsFinal(session), "C_FindObjectsFinal") && found == 1 &&
           ok(p11->C_SignInit(session, &ecdsa, key), "C_SignInit") &&
           ok(p11->C_Sign(session, digest, sizeof digest, signature, &signatureLength), "C_Sign") &&
           signatureLength == 64;
    if (!ok(p11->C_CloseSession(session), "C_CloseSession")) good = false;
  }
  if (!ok(p11->C_Finalize(nullptr), "C_Finalize")) good = false;
  return good;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s MODULE LABEL PIN ROUNDS\n", argv[0]);
    return 2;
  }
  void *module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  if (!getList || !ok(getList(&p11), "C_GetFunctionList")) return 1;
  int rounds = std::atoi(argv[4]);
  for (int i = 0; i < rounds; ++i) {
    if (!round(argv[2], argv[3])) return 1;
    std::printf("round %d: signed\n", i + 1);
  }
  dlclose(module);
  return 0;
}
