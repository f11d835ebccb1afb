// The diagnostic trace: its switch, what it never writes, whole lines from
// many threads, its bound, and a file that cannot be written.
#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "session_fixture.h"
#include "trace/trace.h"

using namespace tokenhub;
using namespace testkit;

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool beginsWithFirstLine(const std::string &text) {
  return std::regex_search(text.substr(0, text.find('\n')), std::regex(R"(^\d{4}-.* tid \d+ trace on: tokenhub )"));
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
  EXPECT_NE(text.find("C_Login(" + session + ", 1, buffer) = CKR_OK"), std::string::npos) << "no PIN length\n"
                                                                                       << text;
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

// Readers that no slot serves, each told once: twins whose descriptions
// cannot tell them apart, one no backend reports, also when attached later;
// a reader attached later that a backend reports gets its pair, told once.
TEST_F(Trace, ReadersThatNoSlotServesAreToldOnce) {
  const std::string model(62, 'M');
  mock::mockAddSlot(1, 11, (model + " 00 00").c_str(), 0);
  mock::mockAddSlot(1, 12, (model + " 01 00").c_str(), 0);
  pcsc().addReader(model + " 00 00");
  pcsc().addReader("Reader no backend reports");
  start();
  CK_ULONG count = 0;
  mock::mockAddSlot(1, 13, "Another reader attached later", 0);
  for (const char *later : {"Reader attached later", "Another reader attached later"}) {
    pcsc().addReader(later);
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  }
  EXPECT_EQ(count, 8u);
  std::string text = readFile(path);
  auto times = [&text](const std::string &line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(times("(virtual slots 1 and 2): the description of 2 readers, which the backends' descriptions "
                  "cannot tell apart while the card service lists 1 names it begins"),
            1u)
      << text;
  EXPECT_EQ(times("reader \"Reader no backend reports\": listed by the card service, no virtual slot serves it "
                  "(no backend reports it)"),
            1u);
  EXPECT_EQ(times("reader \"Reader attached later\": listed by the card service, no virtual slot serves it "
                  "(no backend reports it)"),
            1u);
  EXPECT_EQ(times("slots 7 and 8 for reader \"Another reader attached later\" from role 1 (aetpkss1) backend "
                  "slot 13 (attached after C_Initialize)"),
            1u);
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
  EXPECT_TRUE(beginsWithFirstLine(current)) << "the new file is marked as tokenhub's own";
  // Another process rotates it away and another program's file takes the
  // name: that file is not added to, and the trace ends.
  ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
  std::ofstream(path) << "another program's file\n";
  for (int i = 0; i < 400; ++i) C_GetInfo(&info);
  EXPECT_EQ(readFile(path), "another program's file\n");
  EXPECT_FALSE(trace::active());
}

// A slot polled again and again: its card's recognition is written once,
// then once per hundred repeats; a line that differs is written at once.
TEST_F(Trace, RepeatedEventLinesAreSummarised) {
  start();
  CK_SLOT_INFO info;
  for (int i = 0; i < 250; ++i) C_GetSlotInfo(1, &info);
  pcsc().remove("Rd");
  C_GetSlotInfo(1, &info);
  std::string text = readFile(path);
  auto count = [&text](const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("recognition: slot 1 reader \"Rd\" common profile: ATR"), 3u) << text;
  EXPECT_EQ(count("-> CKR_OK (repeated 100 times)\n"), 2u) << text;
  EXPECT_EQ(count("no card -> CKR_TOKEN_NOT_PRESENT\n"), 1u) << text;
}

// Only a regular file that tokenhub made is written: a link at the name, a
// FIFO or another program's file is neither followed, written, renamed nor
// replaced. A new file is its owner's only.
TEST_F(Trace, OnlyItsOwnRegularFileIsWritten) {
  const std::string target = path + ".target", foreign(11u << 20, 'x');
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  start();
  EXPECT_FALSE(trace::active()) << "symbolic link";
  EXPECT_NE(access(target.c_str(), F_OK), 0) << "nothing made where the link points";
  std::remove(target.c_str());
  for (int kind : {1, 2}) {  // a FIFO (no reader), another program's 11 MiB file
    while (router.initCount) C_Finalize(nullptr);
    std::remove(path.c_str());
    if (kind == 1) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else {
      std::ofstream(path) << foreign;
    }
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_FALSE(trace::active()) << kind;
  }
  EXPECT_EQ(readFile(path), foreign);
  EXPECT_NE(access((path + ".1").c_str(), F_OK), 0) << "never renamed";
  while (router.initCount) C_Finalize(nullptr);
  std::remove(path.c_str());
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Two processes write one file; one of them rotates it while the other
// holds it open. The other goes on in the new file: no line is lost, and the
// rotation is by the size on disk.
TEST_F(Trace, TwoProcessesShareOneFileAcrossARotation) {
  constexpr uint64_t kLimit = 64 * 1024;
  trace::setSizeLimit(kLimit);
  start();
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::fflush(nullptr);
  pid_t child = fork();
  CK_INFO info;
  char byte = 0;
  if (child == 0) {  // the fork handler left the library uninitialised
    // Nor does it keep the parent's file: no line of this process's before its start.
    C_GetInfo(&info);
    bool ok = C_Initialize(nullptr) == CKR_OK;
    for (int i = 0; i < 300; ++i) C_GetInfo(&info);
    ok = ok && read(go[0], &byte, 1) == 1;  // the parent has rotated the file
    for (int i = 0; i < 300; ++i) C_GetInfo(&info);
    _exit(ok ? 0 : 1);
  }
  int mine = 0;
  while (access((path + ".1").c_str(), F_OK) != 0 && mine < 5000) C_GetInfo(&info), ++mine;
  ASSERT_EQ(write(go[1], &byte, 1), 1);
  int status = 1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  std::string current = readFile(path), older = readFile(path + ".1");
  EXPECT_LE(older.size(), kLimit + 200) << "a line of the other process may pass the bound";
  EXPECT_GT(older.size(), kLimit - 200) << "rotated by the size on disk";
  EXPECT_TRUE(beginsWithFirstLine(current) && beginsWithFirstLine(older));
  std::map<std::string, int> byProcess;
  std::smatch pid;
  std::istringstream lines(older + current);
  for (std::string line; std::getline(lines, line);)
    if (std::regex_search(line, pid, std::regex(R"(pid (\d+) tid \d+ C_GetInfo)"))) ++byProcess[pid[1]];
  EXPECT_EQ(byProcess[std::to_string(getpid())], mine);
  EXPECT_EQ(byProcess[std::to_string(child)], 600);
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
