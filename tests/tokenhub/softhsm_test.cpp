// Real keys behind the router: role 1's module is the SoftHSM2-backed
// backend, its token served in reader "Virtual PCD 00 00", where the
// scripted card service shows a family-1 card. Each test has a token
// directory of its own.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "session_fixture.h"

using namespace tokenhub;
using namespace testkit;

namespace {

const char kReader[] = "Virtual PCD 00 00";
CK_UTF8CHAR kPin[] = "123456";
const CK_ULONG kPinLength = 6;

class SoftHsm : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    char pattern[] = "/tmp/tokenhub-softhsm-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    std::filesystem::create_directory(dir / "tokens");
    std::ofstream(dir / "softhsm2.conf") << "directories.tokendir = " << (dir / "tokens").string()
                                          << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    setenv("SOFTHSM2_CONF", (dir / "softhsm2.conf").c_str(), 1);
    unsetenv("TOKENHUB_TEST_READER");
    ASSERT_EQ(std::system("softhsm2-util --init-token --free --label router-test --pin 123456 "
                          "--so-pin 12345678 >/dev/null"),
              0);
    pcsc().addReader(kReader);
    pcsc().insert(kReader, kAtrFamily1);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(router.slotCount, 2u) << "the SoftHSM2 token's reader, twice";
    ASSERT_STREQ(row(0).readerName, kReader);
  }
  void TearDown() override {
    SessionTest::TearDown();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  CK_SESSION_HANDLE loggedIn() {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
    EXPECT_EQ(C_Login(h, CKU_USER, kPin, kPinLength), CKR_OK);
    return h;
  }

  // A token key pair; the router's handles of the public and private key.
  void generate(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE &pub, CK_OBJECT_HANDLE &priv) {
    static CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    CK_ULONG bits = 2048;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE id[] = {0x42};
    CK_MECHANISM mech = {type, nullptr, 0};
    CK_ATTRIBUTE pubTemplate[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ID, id, sizeof id},
        type == CKM_EC_KEY_PAIR_GEN ? CK_ATTRIBUTE{CKA_EC_PARAMS, p256, sizeof p256}
                                    : CK_ATTRIBUTE{CKA_MODULUS_BITS, &bits, sizeof bits}};
    CK_ATTRIBUTE privTemplate[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_SIGN, &yes, sizeof yes},
                                   {CKA_PRIVATE, &yes, sizeof yes}, {CKA_ID, id, sizeof id}};
    ASSERT_EQ(C_GenerateKeyPair(h, &mech, pubTemplate, 4, privTemplate, 4, &pub, &priv), CKR_OK);
  }

  // Signs and verifies through the router; a changed message must not verify.
  void signAndVerify(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE pub, CK_OBJECT_HANDLE priv,
                     CK_ULONG expectedLength) {
    CK_MECHANISM mech = {type, nullptr, 0};
    CK_BYTE message[32];
    for (unsigned i = 0; i < sizeof message; ++i) message[i] = static_cast<CK_BYTE>(i * 7);
    ASSERT_EQ(C_SignInit(h, &mech, priv), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(C_Sign(h, message, sizeof message, nullptr, &length), CKR_OK) << "the length first";
    EXPECT_EQ(length, expectedLength);
    std::vector<CK_BYTE> signature(length);
    ASSERT_EQ(C_Sign(h, message, sizeof message, signature.data(), &length), CKR_OK);
    ASSERT_EQ(C_VerifyInit(h, &mech, pub), CKR_OK);
    EXPECT_EQ(C_Verify(h, message, sizeof message, signature.data(), length), CKR_OK);
    message[0] ^= 1;
    ASSERT_EQ(C_VerifyInit(h, &mech, pub), CKR_OK);
    EXPECT_EQ(C_Verify(h, message, sizeof message, signature.data(), length), CKR_SIGNATURE_INVALID);
  }

  std::filesystem::path dir;
};

TEST_F(SoftHsm, EcdsaSignatureWithAKeyGeneratedThroughTheRouter) {
  CK_SESSION_HANDLE h = loggedIn();
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  generate(h, CKM_EC_KEY_PAIR_GEN, pub, priv);
  EXPECT_EQ(pub, 1u);
  EXPECT_EQ(priv, 2u);
  EXPECT_NE(backendObject(priv), priv) << "the application sees the router's numbering only";
  signAndVerify(h, CKM_ECDSA, pub, priv, 64);
}

TEST_F(SoftHsm, RsaSignatureAndDigestThroughTheRouter) {
  CK_SESSION_HANDLE h = loggedIn();
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  generate(h, CKM_RSA_PKCS_KEY_PAIR_GEN, pub, priv);
  signAndVerify(h, CKM_SHA256_RSA_PKCS, pub, priv, 256);

  CK_MECHANISM sha256 = {CKM_SHA256, nullptr, 0};
  CK_BYTE abc[] = {'a', 'b', 'c'};
  CK_BYTE digest[32];
  CK_ULONG length = sizeof digest;
  ASSERT_EQ(C_DigestInit(h, &sha256), CKR_OK);
  ASSERT_EQ(C_Digest(h, abc, 3, digest, &length), CKR_OK);
  EXPECT_EQ(length, 32u);
  EXPECT_EQ(digest[0], 0xBA);
  EXPECT_EQ(digest[31], 0xAD);
  CK_BYTE random[32] = {};
  EXPECT_EQ(C_GenerateRandom(h, random, sizeof random), CKR_OK);
}

TEST_F(SoftHsm, KeysAreFoundAgainUnderTheirHandlesAndDestroyed) {
  CK_SESSION_HANDLE h = loggedIn();
  CK_OBJECT_HANDLE pub = 0, priv = 0;
  generate(h, CKM_EC_KEY_PAIR_GEN, pub, priv);
  CK_SESSION_HANDLE second = 0;
  ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &second), CKR_OK);
  CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE byClass = {CKA_CLASS, &privateKey, sizeof privateKey};
  CK_OBJECT_HANDLE found[8];
  CK_ULONG count = 0;
  ASSERT_EQ(C_FindObjectsInit(second, &byClass, 1), CKR_OK);
  ASSERT_EQ(C_FindObjects(second, found, 8, &count), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(second), CKR_OK);
  ASSERT_EQ(count, 1u) << "the login holds for every session of the token";
  EXPECT_EQ(found[0], priv) << "the same object through the same slot keeps its handle";

  CK_BYTE id[4] = {};
  CK_ATTRIBUTE idAttribute = {CKA_ID, id, sizeof id};
  ASSERT_EQ(C_GetAttributeValue(second, priv, &idAttribute, 1), CKR_OK);
  EXPECT_EQ(idAttribute.ulValueLen, 1u);
  EXPECT_EQ(id[0], 0x42);

  EXPECT_EQ(C_DestroyObject(second, priv), CKR_SESSION_READ_ONLY) << "the backend's refusal";
  EXPECT_NE(backendObject(priv), 0u) << "its row stays";
  ASSERT_EQ(C_DestroyObject(h, priv), CKR_OK) << "the handle stayed usable";
  ASSERT_EQ(C_FindObjectsInit(h, &byClass, 1), CKR_OK);
  ASSERT_EQ(C_FindObjects(h, found, 8, &count), CKR_OK);
  ASSERT_EQ(C_FindObjectsFinal(h), CKR_OK);
  EXPECT_EQ(count, 0u);
  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  EXPECT_EQ(C_SignInit(h, &ecdsa, priv), CKR_KEY_HANDLE_INVALID);

  ASSERT_EQ(C_CloseSession(second), CKR_OK);
  ASSERT_EQ(C_CloseSession(h), CKR_OK);
  EXPECT_EQ(backendObject(pub), 0u) << "the slot's last session took its handles";
}

TEST_F(SoftHsm, AWrongPinIsTheBackendsAnswer) {
  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
  CK_UTF8CHAR wrong[] = "000000";
  EXPECT_EQ(C_Login(h, CKU_USER, wrong, 6), CKR_PIN_INCORRECT);
  EXPECT_EQ(C_Login(h, CKU_USER, kPin, kPinLength), CKR_OK);
  EXPECT_EQ(C_Logout(h), CKR_OK);
  EXPECT_EQ(C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_TOKEN_NOT_RECOGNIZED)
      << "the secure profile of a family-1 card is role 2's, a module without this reader";
}

}  // namespace
