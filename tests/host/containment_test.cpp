// A backend that fails in its host costs only its own calls: the mock
// modules run in tokenhub-host processes (TOKENHUB_HOST_BACKENDS=1) and
// crash, exit or hang on demand; the family-1 card in "Rd" is served by
// role 1 in the common profile (slot 1) and role 2 in the secure one (slot 2).
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hostprocess.h"
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
unsigned long entries(const std::string &folder) {
  unsigned long n = 0;
  for (const auto &entry : std::filesystem::directory_iterator(folder)) n += !entry.path().empty();
  return n;
}
unsigned long openHandles() { return entries("/proc/self/fd") + entries("/proc/self/task"); }  // and threads
unsigned long threadsOf(uint32_t pid) { return entries("/proc/" + std::to_string(pid) + "/task"); }
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
  static CK_OBJECT_HANDLE create(CK_SESSION_HANDLE h) {
    CK_OBJECT_CLASS type = CKO_DATA;
    CK_ATTRIBUTE data[] = {{CKA_CLASS, &type, sizeof type}};
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(C_CreateObject(h, data, 1, &object), CKR_OK);
    return object;
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
  // How long five calls of session `other` take while `call` runs on
  // another thread.
  static long heldUpMs(CK_SESSION_HANDLE other, const std::function<void()> &call) {
    std::thread running(call);
    std::this_thread::sleep_for(milliseconds(300));  // the call is in the module now
    auto begun = steady_clock::now();
    CK_SESSION_INFO info;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(C_GetSessionInfo(other, &info), CKR_OK);
    long took = static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - begun).count());
    running.join();
    return took;
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
  CK_OBJECT_HANDLE key = create(failing);
  ASSERT_EQ(sign(failing), CKR_OK);
  setFault(std::string("1 C_Sign ") + GetParam().action);
  auto begun = steady_clock::now();
  EXPECT_EQ(sign(failing), CKR_DEVICE_ERROR);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 3000);
  EXPECT_EQ(sign(other), CKR_OK);  // role 2's host carries on
  setFault("");
  // The next slot-level call starts a new host, which numbers its sessions
  // and objects as the old one did: the old handles reach none of them.
  CK_SESSION_HANDLE again = open(1);
  CK_SESSION_INFO info;
  EXPECT_EQ(C_GetSessionInfo(failing, &info), CKR_SESSION_HANDLE_INVALID);
  CK_MECHANISM ecdsa{CKM_ECDSA, nullptr, 0};
  EXPECT_EQ(C_SignInit(again, &ecdsa, key), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(C_DestroyObject(again, key), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_NE(create(again), 0u);
  EXPECT_EQ(sign(again), CKR_OK);
  EXPECT_EQ(count(HostEventKind::Started, 0), 2u);
  EXPECT_EQ(firstEnding(0).rfind(GetParam().ending, 0), 0u) << firstEnding(0);
}

INSTANTIATE_TEST_SUITE_P(Host, EachFailure,
                         testing::Values(Failure{"crash", kCrashEnding}, Failure{"exit", "exit 3"},
                                         Failure{"hang", "ended"}),
                         [](const auto &info) { return std::string(info.param.action); });

// A request over the host's limit (a whole file in one call) fails unsent;
// the host and its session go on.
TEST_F(Containment, AnOverLongRequestFailsAloneUnsent) {
  CK_SESSION_HANDLE h = open(1);
  std::vector<CK_BYTE> whole((16u << 20) + 1);
  CK_BYTE signature[64];
  CK_ULONG length = sizeof signature;
  EXPECT_EQ(C_Sign(h, whole.data(), whole.size(), signature, &length), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(sign(h), CKR_OK);
  EXPECT_EQ(count(HostEventKind::Started, 0), 1u);
}

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

// Each role's module takes two seconds in C_Initialize: the hosts start
// side by side, and the router's C_Initialize takes no eight seconds.
TEST_F(Containment, HostsOfTheRolesStartSideBySide) {
  tokenhub::rpc::setCallBounds(5000, 5000);
  ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
  setFault("1 C_Initialize slow\n2 C_Initialize slow\n3 C_Initialize slow\n4 C_Initialize slow");
  auto begun = steady_clock::now();
  ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 5000);
  setFault("");
  EXPECT_EQ(sign(open(1)), CKR_OK);
  EXPECT_EQ(sign(open(2)), CKR_OK);
}

TEST_F(Containment, FinalizeReturnsWithinThreeSecondsWhateverTheHostDoes) {
  open(1);
  setFault("1 C_Finalize hang\n2 C_Finalize hang\n3 C_Finalize hang\n4 C_Finalize hang");
  auto begun = steady_clock::now();
  EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 3000);
}

#ifdef _WIN32
// A host that Windows does not end (a process held in a driver's I/O; here
// one whose handle may not terminate it, suspended for ever): ending it
// still returns at once, and its job ends it.
TEST(EndHost, ReturnsAtOnceWhenTheHostOutlivesItsTermination) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &start,
                             &process));
  HANDLE job = CreateJobObjectW(nullptr, nullptr), waitOnly;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
  ASSERT_TRUE(AssignProcessToJobObject(job, process.hProcess));
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &waitOnly,
                              SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0));
  tokenhub::HostChild child;
  child.process = reinterpret_cast<intptr_t>(waitOnly);
  child.job = reinterpret_cast<intptr_t>(job);
  char how[32] = "";
  auto begun = steady_clock::now();
  tokenhub::endHost(child, 200, how, sizeof how);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 1500);
  EXPECT_STREQ(how, "ended, still running");
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 5000), WAIT_OBJECT_0) << "the job did not end it";
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// The trace's reason for a start that failed: the call, the system's error
// and its text.
TEST(StartHost, AFailedStartSaysWhy) {
  tokenhub::HostChild child;
  EXPECT_FALSE(tokenhub::startHost("C:\\no such folder\\tokenhub-host.exe", "module.dll", child));
  EXPECT_TRUE(std::regex_match(child.failure, std::regex("CreateProcess: error [0-9]+: [^\r\n]+"))) << child.failure;
}
#else
// A forked child of the application starts hosts of its own and leaves its
// parent's alone: both sign, and the parent's host is the one it had. The
// fork comes while a parent thread is inside a host's start (the module's
// C_Initialize takes two seconds) and another inside a call: the child holds
// none of its parent's pipes, and its own start never waits on the parent's.
TEST_F(Containment, AForkedChildNeverTalksToItsParentsHost) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a process with threads";
#endif
  tokenhub::rpc::setCallBounds(5000, 5000);
  setFault("1 C_OpenSession exit");
  CK_SESSION_HANDLE parents = 0;
  EXPECT_EQ(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &parents), CKR_DEVICE_ERROR);
  CK_SESSION_HANDLE logging = open(2);  // and another inside a call of role 2's host
  setFault("1 C_Initialize slow\n2 C_Login slow");
  std::thread starting([&] { parents = open(1); });
  std::thread login([&] { EXPECT_EQ(C_Login(logging, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK); });
  std::this_thread::sleep_for(milliseconds(500));
  unsigned startsBefore = count(HostEventKind::Started, 0);
  pid_t child = fork();
  if (child == 0) {
    alarm(30);
    unsigned pipes = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
      pipes += std::filesystem::read_symlink(entry.path()).string().rfind("socket:", 0) == 0;
    events.clear();
    bool ok = pipes == 0 && C_Initialize(nullptr) == CKR_OK && count(HostEventKind::Started, 0) == 1 &&
              sign(open(1)) == CKR_OK && C_Finalize(nullptr) == CKR_OK;
    _exit(ok ? 0 : 1);
  }
  starting.join();
  login.join();
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(sign(parents), CKR_OK);
  EXPECT_EQ(count(HostEventKind::Started, 0), startsBefore);
}
#endif

// Calls on other threads go on while one call waits in the same host.
TEST_F(Containment, ASlowLoginHoldsUpNoOtherCallOfItsHost) {
  tokenhub::rpc::setCallBounds(1500, 5000);
  CK_SESSION_HANDLE waiting = open(1), other = open(1);
  setFault("1 C_Login slow");
  std::thread login([&] { EXPECT_EQ(C_Login(waiting, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK); });
  std::this_thread::sleep_for(milliseconds(300));  // the login is in the module now
  auto begun = steady_clock::now();
  CK_SESSION_INFO info;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(C_GetSessionInfo(other, &info), CKR_OK);
    EXPECT_EQ(sign(other), CKR_OK);
  }
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 1000);
  login.join();
  EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - begun).count(), 1500);
}

// A module that serialises its calls: a poll queued behind a login that
// waits for its PIN far beyond the call bound ends nothing; the host is
// judged by its answers, not by one slow call.
TEST_F(Containment, APollQueuedBehindALongLoginEndsNothing) {
  tokenhub::rpc::setCallBounds(500, 5000);
  CK_SESSION_HANDLE waiting = open(1), other = open(1);
  setFault("1 * serial\n1 C_Login slow");
  std::atomic<bool> done{false};
  std::thread login([&] {
    EXPECT_EQ(C_Login(waiting, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK);
    done = true;
  });
  CK_SESSION_INFO info;
  for (int polls = 0; polls < 50 && !done; ++polls) {
    EXPECT_EQ(C_GetSessionInfo(other, &info), CKR_OK);
    std::this_thread::sleep_for(milliseconds(100));
  }
  login.join();
  EXPECT_EQ(sign(waiting), CKR_OK);
  EXPECT_EQ(count(HostEventKind::Started, 0), 1u);
}

// Once the token has reported a PIN pad, any call of its host may wait for
// the PIN (a signature with a key that asks at each use): it gets the PIN
// bound, not the call bound.
// Its host runs them on threads of their own, so that a signature that
// waits holds up no call of another session.
TEST_F(Containment, ACallOfAPinPadTokenWaitsForItsPin) {
  tokenhub::rpc::setCallBounds(500, 5000);
  CK_SESSION_HANDLE h = open(1), other = open(1);
  setFault("1 C_GetTokenInfo pinpad\n1 C_Sign slow");
  CK_TOKEN_INFO info;
  ASSERT_EQ(C_GetTokenInfo(1, &info), CKR_OK);
  EXPECT_TRUE(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
  EXPECT_LT(heldUpMs(other, [&] { EXPECT_EQ(sign(h), CKR_OK); }), 1000);
  EXPECT_EQ(count(HostEventKind::Started, 0), 1u);
}

// A quick call runs on the thread that read it: only a call that may wait
// for a person has a thread of its own. A call that took a second makes
// every later one run on a thread of its own.
TEST_F(Containment, OnlyACallThatMayWaitHasAThreadOfItsOwn) {
  tokenhub::rpc::setCallBounds(3000, 5000);
  CK_SESSION_HANDLE h = open(1), other = open(1);
#ifndef _WIN32
  CK_SESSION_INFO info;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(C_GetSessionInfo(other, &info), CKR_OK);
  EXPECT_EQ(sign(h), CKR_OK);
  uint32_t host = 0;
  {
    std::lock_guard<std::mutex> hold(eventsLock);
    for (const HostEvent &e : events) host = e.kind == HostEventKind::Started && e.index == 0 ? e.pid : host;
  }
  unsigned long threads = threadsOf(host);
  EXPECT_EQ(C_Login(h, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK);
  EXPECT_GT(threadsOf(host), threads);  // the first that the host starts
#endif
  setFault("1 C_Sign slow");
  EXPECT_EQ(sign(h), CKR_OK);
  EXPECT_LT(heldUpMs(other, [&] { EXPECT_EQ(sign(h), CKR_OK); }), 1000);
}

// A host lives on when the thread that started it ends, whatever prints on
// its standard output, and holds nothing of the application's but its pipe.
TEST_F(Containment, AHostOutlivesItsStarterAndKeepsItsPipeToItself) {
  ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
  unsigned starts = count(HostEventKind::Started, 0);
#ifndef _WIN32
  const std::string marker = faults + ".inherited";
  int inheritable = ::open(marker.c_str(), O_CREAT | O_RDWR, 0600);  // no close-on-exec
  ASSERT_GE(inheritable, 0);
#endif
  std::thread([] { EXPECT_EQ(C_Initialize(nullptr), CKR_OK); }).join();
  setFault("1 * print");
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(sign(open(1)), CKR_OK);
  EXPECT_EQ(count(HostEventKind::Started, 0), starts + 1);
#ifndef _WIN32
  close(inheritable);
  std::remove(marker.c_str());
  uint32_t pid = 0;
  for (const HostEvent &e : events) pid = e.kind == HostEventKind::Started && e.index == 0 ? e.pid : pid;
  std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  for (const auto &entry : std::filesystem::directory_iterator(folder)) {
    int fd = std::stoi(entry.path().filename().string());
    std::string target = std::filesystem::read_symlink(entry.path()).string();
    EXPECT_NE(target, marker) << "the application's descriptor reached the host";
    if (fd <= 1) EXPECT_EQ(target, "/dev/null") << fd;
    if (fd <= 2) continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {}
    EXPECT_TRUE(std::stoul(flags, nullptr, 8) & O_CLOEXEC) << fd << " " << target << " reaches what the module starts";
  }
#endif
}

}  // namespace
