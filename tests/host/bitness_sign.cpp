// A 64-bit consumer of the installed PE32+ tokenhub.dll whose card module is
// installed only as a PE32 module: it lists the slots, reads the token's
// serial, finds the module host serving the module (and its bitness),
// signs the file DATA with the private key labelled LABEL and writes the
// signature to SIGNATURE. With `unload`, it then loads the DLL again,
// initialises it and frees it without C_Finalize: no host may be left.
//   bitness_sign DLL PIN LABEL DATA SIGNATURE [unload]
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tokenhub/pkcs11.h"

namespace {

CK_FUNCTION_LIST_PTR p11 = nullptr;

bool ok(CK_RV rv, const char *what) {
  if (rv != CKR_OK) std::printf("%s: 0x%lX\n", what, static_cast<unsigned long>(rv));
  return rv == CKR_OK;
}

// The bitness of the running module host: 32, 64, or 0 when none runs.
unsigned hostBitness() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{sizeof entry};
  unsigned bits = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !bits; more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"tokenhub-host.exe") != 0) continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    BOOL wow64 = FALSE;
    if (process && IsWow64Process(process, &wow64)) bits = wow64 ? 32 : 64;
    if (process) CloseHandle(process);
  }
  CloseHandle(snapshot);
  return bits;
}

bool initialize(HMODULE module) {
  auto get = module ? reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(module, "C_GetFunctionList")) : nullptr;
  return get && ok(get(&p11), "C_GetFunctionList") && ok(p11->C_Initialize(nullptr), "C_Initialize");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6 && !(argc == 7 && std::strcmp(argv[6], "unload") == 0)) return 2;
  HMODULE module = LoadLibraryA(argv[1]);
  if (!initialize(module)) return 1;
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  if (!ok(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList") || count == 0) return 1;
  CK_TOKEN_INFO token;
  if (!ok(p11->C_GetTokenInfo(slots[0], &token), "C_GetTokenInfo")) return 1;
  std::printf("slots with a token: %lu\nslot %lu serial \"%.16s\"\n", static_cast<unsigned long>(count),
              static_cast<unsigned long>(slots[0]), token.serialNumber);
  CK_SESSION_HANDLE session;
  if (!ok(p11->C_OpenSession(slots[0], CKF_SERIAL_SESSION, nullptr, nullptr, &session), "C_OpenSession") ||
      !ok(p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(argv[2]), std::strlen(argv[2])),
          "C_Login"))
    return 1;
  std::printf("host: %u-bit\n", hostBitness());
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE find[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_LABEL, argv[3], std::strlen(argv[3])}};
  CK_OBJECT_HANDLE key;
  CK_ULONG found = 0;
  if (!ok(p11->C_FindObjectsInit(session, find, 2), "C_FindObjectsInit") ||
      !ok(p11->C_FindObjects(session, &key, 1, &found), "C_FindObjects") ||
      !ok(p11->C_FindObjectsFinal(session), "C_FindObjectsFinal") || found != 1)
    return 1;
  std::ifstream in(argv[4], std::ios::binary);
  std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  unsigned char signature[512];
  CK_ULONG length = sizeof signature;
  if (!ok(p11->C_SignInit(session, &mechanism, key), "C_SignInit") ||
      !ok(p11->C_Sign(session, data.data(), data.size(), signature, &length), "C_Sign"))
    return 1;
  std::ofstream(argv[5], std::ios::binary).write(reinterpret_cast<char *>(signature), length);
  std::printf("signed %lu bytes: %lu-byte signature\n", static_cast<unsigned long>(data.size()),
              static_cast<unsigned long>(length));
  p11->C_CloseSession(session);
  if (!ok(p11->C_Finalize(nullptr), "C_Finalize")) return 1;
  std::printf("module hosts left after C_Finalize: %s\n", hostBitness() ? "one" : "none");
  FreeLibrary(module);
  if (argc == 7) {
    module = LoadLibraryA(argv[1]);
    if (!initialize(module)) return 1;
    std::printf("module host before FreeLibrary: %u-bit\n", hostBitness());
    FreeLibrary(module);
    for (int i = 0; i < 50 && hostBitness(); ++i) Sleep(100);
    std::printf("module hosts left after FreeLibrary: %s\n", hostBitness() ? "one" : "none");
  }
  return 0;
}
