// Time per call of one module reached three ways: loaded in process, through
// tokenhub's module host, and through p11-kit's proxy (its remote: path).
//   host_bench direct MODULE | hosted HOST MODULE | proxy PROXY   [LABEL PIN ROUNDS]
// finds the token LABEL, logs in with PIN and prints microseconds per
// C_GetSessionInfo, per search (init, find, final) and per ECDSA signature
// (init and sign) on its first EC private key (the call alone with a token
// that has none, as the mock modules under Wine).
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rpc/client.h"

namespace {

CK_FUNCTION_LIST_PTR open(int argc, char **argv, int &next) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hosted" && argc > 3) {
    next = 4;
    return tokenhub::rpc::hostedFunctionList(0, argv[2], argv[3]);
  }
  if ((mode == "direct" || mode == "proxy") && argc > 2) {
    next = 3;
#ifdef _WIN32
    HMODULE module = LoadLibraryA(argv[2]);
    void *symbol = module ? reinterpret_cast<void *>(GetProcAddress(module, "C_GetFunctionList")) : nullptr;
#else
    void *module = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    void *symbol = module ? dlsym(module, "C_GetFunctionList") : nullptr;
#endif
    auto get = reinterpret_cast<CK_C_GetFunctionList>(symbol);
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (get && get(&list) == CKR_OK) return list;
  }
  return nullptr;
}

template <typename F>
double microseconds(unsigned rounds, F f) {
  auto begun = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < rounds; ++i)
    if (f() != CKR_OK) {
      std::fprintf(stderr, "a call failed\n");
      std::exit(1);
    }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begun).count() / rounds;
}

}  // namespace

int main(int argc, char **argv) {
  int next = 0;
  CK_FUNCTION_LIST_PTR p = open(argc, argv, next);
  if (!p) {
    std::fprintf(stderr, "usage: host_bench direct MODULE | hosted HOST MODULE | proxy PROXY [LABEL PIN ROUNDS]\n");
    return 2;
  }
  const char *label = argc > next ? argv[next] : "bench";
  const char *pin = argc > next + 1 ? argv[next + 1] : "1234";
  unsigned rounds = argc > next + 2 ? static_cast<unsigned>(std::atoi(argv[next + 2])) : 2000;
  if (p->C_Initialize(nullptr) != CKR_OK) return 1;
  CK_SLOT_ID slots[64];
  CK_ULONG count = 64;
  CK_SLOT_ID slot = 0;
  bool found = false;
  p->C_GetSlotList(CK_TRUE, slots, &count);
  for (CK_ULONG i = 0; i < count && !found; ++i) {
    CK_TOKEN_INFO info;
    if (p->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    size_t n = std::strlen(label);
    found = std::memcmp(info.label, label, n) == 0 && (n == 32 || info.label[n] == ' ');
    slot = slots[i];
  }
  CK_SESSION_HANDLE s;
  if (!found || p->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK ||
      p->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)pin, std::strlen(pin)) != CKR_OK) {
    std::fprintf(stderr, "no token '%s' to log in to\n", label);
    return 1;
  }
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE keyType = CKK_EC;
  CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_KEY_TYPE, &keyType, sizeof keyType}};
  CK_OBJECT_HANDLE key = 0;
  auto find = [&] {
    CK_ULONG n = 0;
    CK_RV rv = p->C_FindObjectsInit(s, search, 2);
    if (rv == CKR_OK) rv = p->C_FindObjects(s, &key, 1, &n);
    if (rv == CKR_OK) rv = p->C_FindObjectsFinal(s);
    return rv == CKR_OK && n != 1 ? CKR_GENERAL_ERROR : rv;
  };
  CK_SESSION_INFO info;
  double sessionInfo = microseconds(rounds, [&] { return p->C_GetSessionInfo(s, &info); });
  if (find() != CKR_OK) {
    std::printf("%s session_info_us=%.2f\n", argv[1], sessionInfo);
    return 0;
  }
  double search3 = microseconds(rounds, find);
  CK_BYTE digest[32] = {1, 2, 3}, signature[128];
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  double sign = microseconds(rounds / 4 + 1, [&] {
    CK_ULONG length = sizeof signature;
    CK_RV rv = p->C_SignInit(s, &ecdsa, key);
    return rv == CKR_OK ? p->C_Sign(s, digest, sizeof digest, signature, &length) : rv;
  });
  std::printf("%s session_info_us=%.2f find_us=%.2f sign_us=%.2f\n", argv[1], sessionInfo, search3, sign);
  p->C_Logout(s);
  p->C_CloseSession(s);
  p->C_Finalize(nullptr);
  return 0;
}
