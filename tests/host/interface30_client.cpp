// The PKCS#11 3.0 calls through p11-kit's proxy and a remote module (the
// host in front of testkit/interface30_module): C_LoginUser, the message
// calls of each kind one-part and in parts, C_SessionCancel, a message
// parameter refused with the connection kept. Prints each step; exit 0
// when every one gives what the module gives directly.
//   interface30_client PROXY TOKEN_LABEL PIN
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tokenhub/pkcs11v3.h"

using namespace tokenhub;

namespace {

int failures = 0;
const FunctionList30 *p = nullptr;

void expect(const char *step, CK_RV got, CK_RV want = CKR_OK) {
  std::printf("%s: 0x%lx%s\n", step, static_cast<unsigned long>(got), got == want ? "" : " (unexpected)");
  failures += got != want;
}

CK_SLOT_ID slotOf(const char *label) {
  CK_SLOT_ID slots[16];
  CK_ULONG count = 16;
  if (p->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return ~0ul;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info;
    if (p->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    std::string name(reinterpret_cast<char *>(info.label), sizeof info.label);
    if (name.substr(0, name.find_last_not_of(' ') + 1) == label) return slots[i];
  }
  return ~0ul;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: interface30_client PROXY TOKEN_LABEL PIN\n");
    return 2;
  }
  void *proxy = dlopen(argv[1], RTLD_NOW);
  p = proxy ? interface30(reinterpret_cast<GetInterfaceFn>(dlsym(proxy, "C_GetInterface"))) : nullptr;
  if (!p || p->C_Initialize(nullptr) != CKR_OK) {
    std::fprintf(stderr, "interface30_client: no PKCS#11 3.0 interface in %s\n", argv[1]);
    return 1;
  }
  CK_SLOT_ID slot = slotOf(argv[2]);
  CK_SESSION_HANDLE s = 0;
  expect("C_OpenSession", p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
  CK_UTF8CHAR *pin = reinterpret_cast<CK_UTF8CHAR *>(argv[3]);
  CK_ULONG pinLen = std::strlen(argv[3]);
  CK_UTF8CHAR nobody[] = "nobody", user[] = "user";
  expect("C_LoginUser (another user)", p->C_LoginUser(s, CKU_USER, pin, pinLen, nobody, 6), CKR_ARGUMENTS_BAD);
  expect("C_LoginUser", p->C_LoginUser(s, CKU_USER, pin, pinLen, user, 4));

  // Session keys: an EC pair (P-256) and an AES key.
  CK_BYTE curve[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
  CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
  CK_ATTRIBUTE pubTemplate[] = {{CKA_EC_PARAMS, curve, sizeof curve}, {CKA_TOKEN, &no, 1}, {CKA_VERIFY, &yes, 1}};
  CK_ATTRIBUTE privTemplate[] = {{CKA_TOKEN, &no, 1}, {CKA_SIGN, &yes, 1}};
  CK_MECHANISM ecGen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub = 0, priv = 0, aes = 0;
  expect("C_GenerateKeyPair", p->C_GenerateKeyPair(s, &ecGen, pubTemplate, 3, privTemplate, 2, &pub, &priv));
  CK_ULONG aesLen = 16;
  CK_ATTRIBUTE aesTemplate[] = {{CKA_VALUE_LEN, &aesLen, sizeof aesLen}, {CKA_TOKEN, &no, 1},
                                {CKA_ENCRYPT, &yes, 1}, {CKA_DECRYPT, &yes, 1}};
  CK_MECHANISM aesGen = {CKM_AES_KEY_GEN, nullptr, 0};
  expect("C_GenerateKey", p->C_GenerateKey(s, &aesGen, aesTemplate, 4, &aes));

  // Signing by message: one part, then two parts; verified both ways.
  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  CK_BYTE hash[32], sig[128];
  std::memset(hash, 0x5A, sizeof hash);
  CK_ULONG sigLen = sizeof sig;
  expect("C_MessageSignInit", p->C_MessageSignInit(s, &ecdsa, priv));
  expect("C_SignMessage", p->C_SignMessage(s, nullptr, 0, hash, 32, sig, &sigLen));
  expect("C_MessageVerifyInit", p->C_MessageVerifyInit(s, &ecdsa, pub));
  expect("C_VerifyMessage", p->C_VerifyMessage(s, nullptr, 0, hash, 32, sig, sigLen));
  sig[5] ^= 1;
  expect("C_VerifyMessage (a bit changed)", p->C_VerifyMessage(s, nullptr, 0, hash, 32, sig, sigLen),
         CKR_SIGNATURE_INVALID);
  sigLen = sizeof sig;
  expect("C_SignMessageBegin", p->C_SignMessageBegin(s, nullptr, 0));
  expect("C_SignMessageNext (a part)", p->C_SignMessageNext(s, nullptr, 0, hash, 16, nullptr, nullptr));
  expect("C_SignMessageNext (the last)", p->C_SignMessageNext(s, nullptr, 0, hash + 16, 16, sig, &sigLen));
  expect("C_VerifyMessageBegin", p->C_VerifyMessageBegin(s, nullptr, 0));
  expect("C_VerifyMessageNext (a part)", p->C_VerifyMessageNext(s, nullptr, 0, hash, 20, nullptr, 0));
  expect("C_VerifyMessageNext (the last)", p->C_VerifyMessageNext(s, nullptr, 0, hash + 20, 12, sig, sigLen));
  expect("C_MessageSignFinal", p->C_MessageSignFinal(s));
  expect("C_MessageVerifyFinal", p->C_MessageVerifyFinal(s));

  // A cancelled message operation is gone.
  expect("C_MessageSignInit", p->C_MessageSignInit(s, &ecdsa, priv));
  expect("C_SessionCancel", p->C_SessionCancel(s, 0x8 /* CKF_MESSAGE_SIGN */));
  sigLen = sizeof sig;
  expect("C_SignMessage (cancelled)", p->C_SignMessage(s, nullptr, 0, hash, 32, sig, &sigLen),
         CKR_OPERATION_NOT_INITIALIZED);

  // Encryption by message, a length asked first, and decryption in parts.
  CK_MECHANISM ecb = {CKM_AES_ECB, nullptr, 0};
  CK_BYTE plain[32], cipher[64], back[64];
  for (unsigned i = 0; i < sizeof plain; ++i) plain[i] = static_cast<CK_BYTE>(i * 7);
  CK_ULONG cipherLen = 0, backLen = sizeof back;
  expect("C_MessageEncryptInit", p->C_MessageEncryptInit(s, &ecb, aes));
  expect("C_EncryptMessage (length)", p->C_EncryptMessage(s, nullptr, 0, nullptr, 0, plain, 32, nullptr, &cipherLen));
  expect("C_EncryptMessage", p->C_EncryptMessage(s, nullptr, 0, nullptr, 0, plain, 32, cipher, &cipherLen));
  expect("C_MessageDecryptInit", p->C_MessageDecryptInit(s, &ecb, aes));
  expect("C_DecryptMessageBegin", p->C_DecryptMessageBegin(s, nullptr, 0, nullptr, 0));
  CK_ULONG none = sizeof back;
  expect("C_DecryptMessageNext (a part)", p->C_DecryptMessageNext(s, nullptr, 0, cipher, 16, back, &none, 0));
  expect("C_DecryptMessageNext (the last)",
         p->C_DecryptMessageNext(s, nullptr, 0, cipher + 16, cipherLen - 16, back, &backLen, 1));
  bool same = cipherLen == 32 && backLen == 32 && std::memcmp(back, plain, 32) == 0;
  std::printf("decrypted as encrypted: %s\n", same ? "yes" : "no");
  failures += !same;

  // A message parameter (a GCM message's IV and tag pointers) fails its
  // call; the next call is served.
  CK_BYTE param[40] = {};
  cipherLen = sizeof cipher;
  CK_RV refused = p->C_EncryptMessage(s, param, sizeof param, nullptr, 0, plain, 32, cipher, &cipherLen);
  std::printf("C_EncryptMessage (a parameter): %s\n", refused != CKR_OK ? "refused" : "taken (unexpected)");
  failures += refused == CKR_OK;
  CK_SESSION_INFO info;
  expect("C_GetSessionInfo", p->C_GetSessionInfo(s, &info));
  expect("C_MessageEncryptFinal", p->C_MessageEncryptFinal(s));
  expect("C_MessageDecryptFinal", p->C_MessageDecryptFinal(s));
  expect("C_CloseSession", p->C_CloseSession(s));
  p->C_Finalize(nullptr);
  return failures ? 1 : 0;
}
