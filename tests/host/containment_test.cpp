// A backend that fails in its host costs only its own calls: the mock
// modules run in tokenhub-host processes (TOKENHUB_HOST_BACKENDS=1) and
// crash, exit or hang on demand; the family-1 card in "Rd" is served by
// role 1 in the common profile (slot 1) and role 2 in the secure one (slot 2).
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "router_fixture.h"
#include "rpc/client.h"

namespace {

using namespace std::chrono;
using tokenhub::rpc::HostEvent;
using tokenhub::rpc::HostEventKind;

std::mutex eventsLock;
std::vector<HostEvent> events;  // `how` kept as text of its own
std::vector<std::string> texts;

void record(const HostEvent &e) {
  std::lock_guard<std::mutex> hold(eventsLock);
  texts.push_back(e.how ? e.how : "");
  events.push_back(e);
  events.back().how = nullptr;
}

#ifdef _WIN32
// Windows takes the switch from the registry; Wine's processes are elevated
// and read the machine's value.
constexpr wchar_t kSettings[] = L"Software\\Varenzo\\tokenhub";
void hostSwitch(bool on) {
  DWORD one = 1;
  if (on) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettings, L"HostBackends", REG_DWORD, &one, sizeof one);
  else RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettings, L"HostBackends");
}
void setVariable(const char *name, const char *value) { _putenv_s(name, value); }
unsigned long ownPid() { return GetCurrentProcessId(); }
bool running(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  bool alive = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  if (process) CloseHandle(process);
  return alive;
}
const char *const kCrashEnding = "exception 0xC0000005";
unsigned long openHandles() { return 0; }  // Wine counts none (GetProcessHandleCount answers 0)
#else
void hostSwitch(bool on) { on ? setenv("TOKENHUB_HOST_BACKENDS", "1", 1) : unsetenv("TOKENHUB_HOST_BACKENDS"); }
void setVariable(const char *name, const char *value) { setenv(name, value, 1); }
unsigned long ownPid() { return static_cast<unsigned long>(getpid()); }
bool running(uint32_t pid) { return kill(static_cast<pid_t>(pid), 0) == 0; }
const char *const kCrashEnding = "signal ";
unsigned long openHandles() {  // descriptors and threads
  unsigned long n = 0;
  for (const char *folder : {"/proc/self/fd", "/proc/self/task"})
    for (const auto &entry : std::filesystem::directory_iterator(folder)) n += !entry.path().empty();
  return n;
}
#endif

class Containment : public testkit::RouterTest {
 protected:
  void SetUp() override {
    RouterTest::SetUp();
    faults = testing::TempDir() + "tokenhub-host-faults-" + std::to_string(ownPid());
    setFault("");
    hostSwitch(true);
    setVariable("TOKENHUB_MOCK_FAULT_FILE", faults.c_str());
    setVariable("TOKENHUB_MOCK_SLOTS", "1:7:Rd;2:7:Rd;3:7:Rd;4:7:Rd");
    // A sanitizer in the host would turn its crash into an exit of its own.
    for (const char *name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
      const char *options = std::getenv(name);
      setVariable(name, ((options ? std::string(options) + ":" : std::string()) + "handle_segv=0").c_str());
    }
    tokenhub::rpc::setHostEventHook(record);
    tokenhub::rpc::setCallBounds(1500, 1500);
    events.clear();
    texts.clear();
    addReader("Rd", {});
    pcsc().insert("Rd", testkit::kAtrFamily1);
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first thread
    handles = openHandles();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override {
    RouterTest::TearDown();
    EXPECT_EQ(openHandles(), handles) << "handles (and on Linux threads) left after C_Finalize";
    // Every host that was started has been collected: none is left.
    for (const HostEvent &e : events)
      if (e.kind == HostEventKind::Started) {
        EXPECT_FALSE(running(e.pid)) << e.pid;
        EXPECT_EQ(e.bits, 8 * sizeof(void *));
      }
    hostSwitch(false);
    std::remove(faults.c_str());
  }
  void setFault(const std::string &line) { std::ofstream(faults) << line << "\n"; }
  CK_SESSION_HANDLE open(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
    return h;
  }
  static CK_RV sign(CK_SESSION_HANDLE h) {
    CK_BYTE data[32] = {1}, signature[64];
    CK_ULONG length = sizeof signature;
    return C_Sign(h, data, sizeof data, signature, &length);
  }
  std::string firstEnding(unsigned index) {
    std::lock_guard<std::mutex> hold(eventsLock);
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i].kind == HostEventKind::Ended && events[i].index == index) return texts[i];
    return "";
  }
  unsigned count(HostEventKind kind, unsigned index) {
    std::lock_guard<std::mutex> hold(eventsLock);
    unsigned n = 0;
    for (const HostEvent &e : events) n += e.kind == kind && e.index == index;
    return n;
  }
  std::string faults;
  unsigned long handles = 0;
};

struct Failure {
  const char *action;
  const char *ending;  // how the host's end is reported
};

class EachFailure : public Containment, public testing::WithParamInterface<Failure> {};

TEST_P(EachFailure, CostsOnlyTheFailedBackendsCallAndSessions) {
  CK_SESSION_HANDLE failing = open(1), other = open(2);
  ASSERT_EQ(sign(failing), CKR_OK);
  setFault(std::string("1 C_Sign ") + GetParam().action);
  auto begun = steady_clock::now();
  EXPECT_EQ(sign(failing), CKR_DEVICE_ERROR);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 3000);
  EXPECT_EQ(sign(other), CKR_OK);  // role 2's host carries on
  CK_SESSION_INFO info;
  EXPECT_EQ(C_GetSessionInfo(failing, &info), CKR_SESSION_HANDLE_INVALID);
  setFault("");
  // The next slot-level call starts a new host; the card signs again.
  CK_SESSION_HANDLE again = open(1);
  EXPECT_EQ(sign(again), CKR_OK);
  EXPECT_EQ(C_GetSessionInfo(failing, &info), CKR_SESSION_HANDLE_INVALID);  // never the new host's session
  EXPECT_EQ(count(HostEventKind::Started, 0), 2u);
  EXPECT_EQ(firstEnding(0).rfind(GetParam().ending, 0), 0u) << firstEnding(0);
}

INSTANTIATE_TEST_SUITE_P(Host, EachFailure,
                         testing::Values(Failure{"crash", kCrashEnding}, Failure{"exit", "exit 3"},
                                         Failure{"hang", "ended"}),
                         [](const auto &info) { return std::string(info.param.action); });

TEST_F(Containment, AtMostThreeStartsAMinuteThenTheRoleIsLeftOut) {
  setFault("1 C_OpenSession exit");
  CK_SESSION_HANDLE h;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_DEVICE_ERROR);
  EXPECT_EQ(count(HostEventKind::Started, 0), 3u);
  EXPECT_EQ(count(HostEventKind::LeftOut, 0), 1u);
  setFault("");
  EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_DEVICE_ERROR);
  EXPECT_EQ(sign(open(2)), CKR_OK);
}

TEST_F(Containment, FinalizeReturnsWithinThreeSecondsWhateverTheHostDoes) {
  open(1);
  setFault("1 C_Finalize hang\n2 C_Finalize hang\n3 C_Finalize hang\n4 C_Finalize hang");
  auto begun = steady_clock::now();
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 3000);
}

#ifndef _WIN32
// A forked child of the application starts hosts of its own and leaves its
// parent's alone: both sign, and the parent's host is the one it had.
TEST_F(Containment, AForkedChildNeverTalksToItsParentsHost) {
  CK_SESSION_HANDLE parents = open(1);
  unsigned startsBefore = count(HostEventKind::Started, 0);
  pid_t child = fork();
  if (child == 0) {
    events.clear();
    bool ok = C_Initialize(nullptr) == CKR_OK && count(HostEventKind::Started, 0) == 1 && sign(open(1)) == CKR_OK &&
              C_Finalize(nullptr) == CKR_OK;
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(sign(parents), CKR_OK);
  EXPECT_EQ(count(HostEventKind::Started, 0), startsBefore);
  EXPECT_EQ(count(HostEventKind::Ended, 0), 0u);
}
#endif

// Calls on other threads go on while one call waits in the same host.
TEST_F(Containment, ASlowLoginHoldsUpNoOtherCallOfItsHost) {
  tokenhub::rpc::setCallBounds(1500, 5000);
  CK_SESSION_HANDLE waiting = open(1), other = open(1);
  setFault("1 C_Login slow");
  auto begun = steady_clock::now();
  std::thread login([&] { EXPECT_EQ(C_Login(waiting, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK); });
  CK_SESSION_INFO info;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(C_GetSessionInfo(other, &info), CKR_OK);
    EXPECT_EQ(sign(other), CKR_OK);
  }
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 1000);
  login.join();
  EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 2000);
}

}  // namespace
