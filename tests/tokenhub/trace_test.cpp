// The diagnostic trace: its switch, what it never writes, whole lines from
// many threads, its bound, and a file that cannot be written.
#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "session_fixture.h"
#include "trace.h"

using namespace tokenhub;
using namespace testkit;

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Trace : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    path = testing::TempDir() + "tokenhub-trace-" + std::to_string(getpid()) + ".log";
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
    setenv("TOKENHUB_LOG", path.c_str(), 1);
  }
  void TearDown() override {
    SessionTest::TearDown();
    unsetenv("TOKENHUB_LOG");
    trace::setSizeLimit(trace::kDefaultSizeLimit);
    trace::beginInitialize();  // reads the switch, now off
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
  }
  std::string path;
};

TEST_F(Trace, SwitchIsReadOncePerStartingInitialize) {
  unsetenv("TOKENHUB_LOG");
  start();
  EXPECT_FALSE(trace::active());
  setenv("TOKENHUB_LOG", path.c_str(), 1);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);  // counted only: the switch is not read again
  EXPECT_FALSE(trace::active());
  while (router.initCount) C_Finalize(nullptr);
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_TRUE(trace::active());
  std::string text = readFile(path);
  EXPECT_NE(text.find("/aetpkss1.so\": loaded"), std::string::npos) << text;
  EXPECT_NE(text.find("slot registration: role 4 backend slot 7 \"Rd"), std::string::npos) << text;
  EXPECT_NE(text.find("virtual slots 1 (common) and 2 (secure)"), std::string::npos) << text;
  EXPECT_NE(text.find("C_Initialize(NULL) = CKR_OK"), std::string::npos) << text;
}

// A PIN, data, a signature and attribute values pass through; the trace keeps
// only their lengths, the handles on both sides and the results.
TEST_F(Trace, NeverHoldsPinsDataOrAttributeValues) {
  start();
  CK_SESSION_HANDLE h = open();
  CK_UTF8CHAR pin[] = "Pin-7Q3x";
  CK_BYTE data[] = "Data-9Zk4", signature[64] = "Sig-5Wm2";
  CK_ULONG signatureLength = sizeof signature;
  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  CK_OBJECT_HANDLE key = find(h, 1, {0x51})[0];
  CK_BYTE label[] = "Label-3Vn8";
  CK_ATTRIBUTE attribute = {CKA_LABEL, label, sizeof label - 1};
  EXPECT_EQ(C_Login(h, CKU_USER, pin, sizeof pin - 1), CKR_OK);
  EXPECT_EQ(C_SetAttributeValue(h, key, &attribute, 1), CKR_OK);
  EXPECT_EQ(C_SignInit(h, &ecdsa, key), CKR_OK);
  EXPECT_EQ(C_Sign(h, data, sizeof data - 1, signature, &signatureLength), CKR_OK);
  std::string text = readFile(path);
  std::string session = "session " + std::to_string(h) + "/b" + std::to_string(backendSession(h));
  EXPECT_NE(text.find("C_Login(" + session + ", 1, buffer, 8) = CKR_OK"), std::string::npos) << text;
  EXPECT_NE(text.find("C_SetAttributeValue(" + session + ", object " + std::to_string(key) +
                      "/b81, {CKA_LABEL/10}[1]) = CKR_OK"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("C_SignInit(" + session + ", CKM_ECDSA, key " + std::to_string(key) + "/b81) = CKR_OK"),
            std::string::npos)
      << text;
  for (const char *secret : {"Pin-7Q3x", "Data-9Zk4", "Sig-5Wm2", "Label-3Vn8"}) {
    std::string hex, lower;
    for (const char *c = secret; *c; ++c) {
      char two[3];
      std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(*c));
      hex += two;
    }
    for (char c : hex) lower += static_cast<char>(std::tolower(c));
    for (const std::string &form : {std::string(secret), hex, lower})
      EXPECT_EQ(text.find(form.substr(0, 6)), std::string::npos) << form << " in\n" << text;
  }
}

// Eight threads at once: every line complete, none lost.
TEST_F(Trace, LinesFromManyThreadsStayWhole) {
  start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([] {
      CK_INFO info;
      for (int i = 0; i < 300; ++i) C_GetInfo(&info);
    });
  for (std::thread &t : threads) t.join();
  std::istringstream lines(readFile(path));
  const std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} pid \d+ tid \d+ \S.*)");
  std::string line;
  std::map<std::string, int> getInfoByThread;
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
    std::smatch tid;
    if (std::regex_search(line, tid, std::regex(R"(tid (\d+) C_GetInfo\(pointer\) = CKR_OK$)"))) ++getInfoByThread[tid[1]];
  }
  ASSERT_EQ(getInfoByThread.size(), 8u);
  for (const auto &[thread, count] : getInfoByThread) EXPECT_EQ(count, 300) << "thread " << thread;
}

TEST_F(Trace, FileIsRotatedToOneOlderCopy) {
  trace::setSizeLimit(4096);
  start();
  CK_INFO info;
  for (int i = 0; i < 400; ++i) C_GetInfo(&info);
  std::string current = readFile(path), older = readFile(path + ".1");
  EXPECT_LE(current.size(), 4096u);
  EXPECT_GT(older.size(), 4096u - 200);
  EXPECT_LE(older.size(), 4096u);
  EXPECT_EQ(older.back(), '\n');
}

// The trace gives up silently; the router answers as it would without it.
TEST_F(Trace, FileThatCannotBeOpenedOrWrittenChangesNothing) {
  for (const char *unusable : {"/nonexistent-folder/trace.log", "/dev/full"}) {
    setenv("TOKENHUB_LOG", unusable, 1);
    start();
    EXPECT_FALSE(trace::active()) << unusable;
    CK_TOKEN_INFO info;
    EXPECT_EQ(C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_NE(open(), 0u);
    while (router.initCount) C_Finalize(nullptr);
    mock::mockReset();
    pcsc().install();
  }
}

// Every PC/SC code that pcsc-lite defines has its name (or its Windows
// twin's, for a value pcsc-lite gives two names).
TEST(TraceNames, EveryPcscCodeAndThePkcs11Codes) {
  std::istringstream header(readFile("/usr/include/PCSC/pcsclite.h"));
  std::multimap<unsigned long, std::string> defined;
  std::smatch m;
  std::string line;
  const std::regex code(R"(#define (SCARD_[EFWPS]_\w+)\s+\(\(LONG\)(0x[0-9A-Fa-f]+)\))");
  while (std::getline(header, line))
    if (std::regex_search(line, m, code)) defined.emplace(std::stoul(m[2], nullptr, 16), m[1]);
  ASSERT_GT(defined.size(), 60u);
  for (const auto &[value, name] : defined) {
    const char *ours = trace::scardName(static_cast<PcscResult>(value));
    ASSERT_NE(ours, nullptr) << name;
    auto names = defined.equal_range(value);
    EXPECT_TRUE(std::any_of(names.first, names.second, [&](const auto &n) { return n.second == ours; })) << name;
  }
  EXPECT_STREQ(trace::ckrName(CKR_PIN_INCORRECT), "CKR_PIN_INCORRECT");
  EXPECT_STREQ(trace::ckmName(CKM_SHA256_RSA_PKCS), "CKM_SHA256_RSA_PKCS");
  EXPECT_STREQ(trace::ckaName(CKA_VALUE_LEN), "CKA_VALUE_LEN");
  EXPECT_EQ(trace::ckrName(0x7FFF0000), nullptr);
}

}  // namespace
