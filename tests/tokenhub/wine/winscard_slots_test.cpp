// The built tokenhub.dll under Wine, with the four mock backends and the
// winscard double beside this program: slot queries, the serial read and
// slot events through the Windows structures and the WinSCard interface.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "mockctl.h"
#include "serialcard.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr CK_RV rv(CK_RV v) { return v; }
const char *kAtrPattern1 = "3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1";
const char *kAtrPattern3 = "3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C";

using ScriptFn = int (*)(const char *);
using LogFn = const char *(*)();
using ClearFn = void (*)();

// An export of a loaded module, as the function type it has.
template <typename F>
F exported(HMODULE module, const char *name) {
  return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

class WinscardDouble : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string path = TOKENHUB_DLL;
    for (char &c : path)
      if (c == '/') c = '\\';
    module = LoadLibraryA(("Z:" + path).c_str());
    ASSERT_NE(module, nullptr) << "cannot load " << path;
    auto getList = exported<CK_C_GetFunctionList>(module, "C_GetFunctionList");
    ASSERT_NE(getList, nullptr);
    ASSERT_EQ(getList(&p11), rv(CKR_OK));
    HMODULE winscard = GetModuleHandleA("winscard.dll");
    ASSERT_NE(winscard, nullptr);
    script = exported<ScriptFn>(winscard, "WinscardDoubleScript");
    log = exported<LogFn>(winscard, "WinscardDoubleLog");
    clearLog = exported<ClearFn>(winscard, "WinscardDoubleClearLog");
    ASSERT_NE(script, nullptr) << "Wine's own winscard.dll was loaded: WINEDLLOVERRIDES=winscard=n missing?";
  }
  static void TearDownTestSuite() {
    if (module) FreeLibrary(module);
  }
  void SetUp() override {
    ASSERT_NE(script, nullptr);
    mock::mockReset();
    for (uint32_t role = 1; role <= 4; ++role) {
      mock::mockAddSlot(role, 1, "Reader A", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
      mock::mockAddSlot(role, 2, "Reader B", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    }
    ASSERT_EQ(script("clear\nreader Reader A\nreader Reader B\n"), 1);
    clearLog();
  }
  void TearDown() override {
    while (p11->C_Finalize(nullptr) == CKR_OK) {
    }
  }
  std::string serialOf(CK_SLOT_ID slot, std::string *model = nullptr) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &info), rv(CKR_OK));
    if (model) *model = std::string(reinterpret_cast<char *>(info.model), 16);
    return std::string(reinterpret_cast<char *>(info.serialNumber), 16);
  }

  static HMODULE module;
  static CK_FUNCTION_LIST_PTR p11;
  static ScriptFn script;
  static LogFn log;
  static ClearFn clearLog;
};
HMODULE WinscardDouble::module = nullptr;
CK_FUNCTION_LIST_PTR WinscardDouble::p11 = nullptr;
ScriptFn WinscardDouble::script = nullptr;
LogFn WinscardDouble::log = nullptr;
ClearFn WinscardDouble::clearLog = nullptr;

TEST_F(WinscardDouble, SlotsTokensAndTheSerialReadThroughWinSCard) {
  std::string card1 = std::string("insert Reader A|") + kAtrPattern1 + "|1|1A2B3C4D5E" + std::string(30, 'E');
  std::string card2 = std::string("insert Reader B|") + kAtrPattern3 + "|2|0102030405" + std::string(16, 'E') +
                      "ABCDEF" + std::string(8, 'E');
  ASSERT_EQ(script((card1 + "\n" + card2).c_str()), 1);
  std::strcpy(mock::mockToken(4)->model, "LumeraSecure 3.0");
  ASSERT_EQ(p11->C_Initialize(nullptr), rv(CKR_OK));

  CK_SLOT_ID ids[4] = {};
  CK_ULONG count = 3;
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, ids, &count), rv(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, ids, &count), rv(CKR_OK));
  EXPECT_EQ(ids[3], 4u);

  CK_SLOT_INFO slot;
  ASSERT_EQ(p11->C_GetSlotInfo(3, &slot), rv(CKR_OK));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(slot.slotDescription), 64),
            "Reader B common profile" + std::string(41, ' '));
  EXPECT_EQ(slot.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
  EXPECT_EQ(slot.hardwareVersion.major, 3);

  std::string model;
  clearLog();
  EXPECT_EQ(serialOf(1, &model), "1A2B3C4D5E      ");
  EXPECT_EQ(model, "LumeraSecure 2.0");
  std::string calls = log();
  EXPECT_NE(calls.find("connect reader=Reader A share=2 protocols=2"), std::string::npos) << calls;
  EXPECT_NE(calls.find("status reader=Reader A share=0 protocols=0 disposition=0 apdu= capacity=256 atr=33"),
            std::string::npos)
      << calls;
  for (const char *apdu : {"00A4000C023F00", "00A4000C022F01", "00B0000014"}) {
    std::string sent = std::string("transmit reader=Reader A share=0 protocols=2 disposition=0 apdu=") + apdu +
                       " capacity=256 atr=0 pci=8 recv=none rv=00000000";
    EXPECT_NE(calls.find(sent), std::string::npos) << sent << "\n" << calls;
  }
  EXPECT_NE(calls.find("disconnect reader=Reader A share=0 protocols=0 disposition=0"), std::string::npos);

  EXPECT_EQ(serialOf(4, &model), "ABCDEF0102030405");
  EXPECT_EQ(model, "LumeraSecure 3.0");

  ASSERT_EQ(script("fail begin 80100068"), 1);  // the card is reset at every attempt
  EXPECT_EQ(serialOf(1), "MOCK0001        ");
}

TEST_F(WinscardDouble, WaitForSlotEventInsertionRemovalAndFinalisation) {
  ASSERT_EQ(p11->C_Initialize(nullptr), rv(CKR_OK));
  CK_SLOT_ID slot = 0;
  EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT));
  for (const char *change : {"insert Reader B|3B 00", "remove Reader B"}) {
    SCOPED_TRACE(change);
    auto waited = std::async(std::launch::async, [] {
      CK_SLOT_ID s = 0;
      CK_RV r = p11->C_WaitForSlotEvent(0, &s, nullptr);
      return std::make_pair(r, s);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(script(change), 1);
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    auto [result, first] = waited.get();
    EXPECT_EQ(result, rv(CKR_OK));
    EXPECT_EQ(first, 3u);
    EXPECT_EQ(p11->C_WaitForSlotEvent(0, &slot, nullptr), rv(CKR_OK));
    EXPECT_EQ(slot, 4u);
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_NO_EVENT));
  }

  // The card service stops and starts again under a blocking wait; a card
  // inserted meanwhile is reported once it is back, on a new context.
  auto restarted = std::async(std::launch::async, [] {
    CK_SLOT_ID s = 0;
    return p11->C_WaitForSlotEvent(0, &s, nullptr) == CKR_OK ? s : 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(script("service stop\ninsert Reader A|3B 00"), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(script("service start"), 1);
  ASSERT_EQ(restarted.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(restarted.get(), 1u);
  EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK)) << "its secure slot";

  auto waited = std::async(std::launch::async, [] {
    CK_SLOT_ID s = 0;
    CK_RV r = p11->C_WaitForSlotEvent(0, &s, nullptr);
    return std::make_pair(r, Clock::now());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto finalising = Clock::now();
  ASSERT_EQ(p11->C_Finalize(nullptr), rv(CKR_OK));
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  auto [result, ended] = waited.get();
  EXPECT_EQ(result, rv(CKR_CRYPTOKI_NOT_INITIALIZED));
  EXPECT_LT(ended - finalising, std::chrono::milliseconds(100));
}

// What a context of a Remote Desktop session answers once the session was
// disconnected and reconnected, to a slot call and to a wait inside the
// service: the call is repeated on a new context, and the wait goes on.
TEST_F(WinscardDouble, EveryDeadContextAnswerTakesANewContext) {
  ASSERT_EQ(script((std::string("insert Reader A|") + kAtrPattern1).c_str()), 1);
  ASSERT_EQ(p11->C_Initialize(nullptr), rv(CKR_OK));
  for (const char *dead : {"80100012", "6D", "6"}) {
    SCOPED_TRACE(dead);
    ASSERT_EQ(script((std::string("service kill ") + dead).c_str()), 1);
    CK_TOKEN_INFO info;
    EXPECT_EQ(p11->C_GetTokenInfo(1, &info), rv(CKR_OK));
    auto waited = std::async(std::launch::async, [] {
      CK_SLOT_ID s = 0;
      CK_RV r = p11->C_WaitForSlotEvent(0, &s, nullptr);
      return std::make_pair(r, s);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(script((std::string("service kill ") + dead + "\ninsert Reader B|3B 00").c_str()), 1);
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waited.get(), std::make_pair(rv(CKR_OK), CK_SLOT_ID{3}));
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
    ASSERT_EQ(script("remove Reader B"), 1);
    for (CK_SLOT_ID removed : {3, 4}) {
      EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
      EXPECT_EQ(slot, removed);
    }
  }
}

// Windows stops the card service while no reader is attached: the library
// starts all the same and takes its context once the service is there. A
// wait meanwhile waits for the service's started event: it asks nothing of
// the stopped service (which would cost a new context every 200 ms).
TEST_F(WinscardDouble, InitialiseWithoutTheCardServiceThenServeItsReaders) {
  ASSERT_EQ(script("service stop"), 1);
  ASSERT_EQ(p11->C_Initialize(nullptr), rv(CKR_OK));
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), rv(CKR_OK));
  EXPECT_EQ(count, 4u);
  CK_SLOT_ID slot = 0;
  auto waited = std::async(std::launch::async, [&] { return p11->C_WaitForSlotEvent(0, &slot, nullptr); });
  Sleep(1000);
  clearLog();
  Sleep(1000);
  EXPECT_EQ(std::string(log()), "") << "asked the stopped service";
  ASSERT_EQ(script("service start\ninsert Reader A|3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1"), 1);
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(waited.get(), rv(CKR_OK));
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(std::string(log()), "establish scope=0\n") << "one context of the new service, at once";
  EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), rv(CKR_OK));
  EXPECT_EQ(slot, 2u);
  CK_TOKEN_INFO info;
  EXPECT_EQ(p11->C_GetTokenInfo(1, &info), rv(CKR_OK));
}

std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The trace's switch, read by the C_Initialize that starts the library:
// TOKENHUB_LOG, then HKEY_CURRENT_USER's LogFile, then HKEY_LOCAL_MACHINE's.
// An elevated process (Wine runs programs elevated) reads only the machine's.
TEST_F(WinscardDouble, TraceSwitchFromTheRegistryAndTheEnvironment) {
  const char key[] = "Software\\Varenzo\\tokenhub";
  char temp[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string user = std::string(temp) + "th-user.log", machine = std::string(temp) + "th-machine.log",
                    environment = std::string(temp) + "th-env.log", policy = std::string(temp) + "th-policy.log";
  for (const std::string *file : {&user, &machine, &environment, &policy}) DeleteFileA(file->c_str());
  auto setValue = [&](HKEY root, const std::string &file) {
    return RegSetKeyValueA(root, key, "LogFile", REG_SZ, file.c_str(), static_cast<DWORD>(file.size() + 1));
  };
  ASSERT_EQ(setValue(HKEY_CURRENT_USER, user), ERROR_SUCCESS);
  ASSERT_EQ(setValue(HKEY_LOCAL_MACHINE, machine), ERROR_SUCCESS);
  SetEnvironmentVariableA("TOKENHUB_LOG", environment.c_str());
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  ASSERT_TRUE(GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size));
  CloseHandle(token);
  const bool elevated = elevation.TokenIsElevated != 0;
  std::printf("this process is %selevated\n", elevated ? "" : "not ");
  // The files that a start of the library wrote to.
  const std::map<std::string, const std::string *> files = {
      {"user", &user}, {"machine", &machine}, {"environment", &environment}, {"policy", &policy}};
  auto written = [&] {
    std::map<std::string, size_t> before;
    for (const auto &[name, file] : files) before[name] = fileText(*file).size();
    EXPECT_EQ(p11->C_Initialize(nullptr), rv(CKR_OK));
    EXPECT_EQ(p11->C_Finalize(nullptr), rv(CKR_OK));
    std::string grown;
    for (const auto &[name, file] : files)
      if (fileText(*file).size() != before[name]) grown += name;
    return grown;
  };
  EXPECT_EQ(written(), elevated ? "machine" : "environment");
  EXPECT_NE(fileText(elevated ? machine : environment).find("\\aetpkss1.dll\": loaded"), std::string::npos);
  SetEnvironmentVariableA("TOKENHUB_LOG", nullptr);
  EXPECT_EQ(written(), elevated ? "machine" : "user");
  RegDeleteKeyValueA(HKEY_CURRENT_USER, key, "LogFile");
  EXPECT_EQ(written(), "machine");
  // A file of tokenhub's that is already at its bound (written by other
  // processes) is rotated at the next line, over the older copy that an
  // earlier rotation left; while a viewer holds it open without sharing
  // deletion it cannot be, and the trace goes on in it.
  const std::string older = machine + ".1";
  std::ofstream(older, std::ios::binary | std::ios::trunc) << "an older copy\n";
  {
    std::ofstream full(machine, std::ios::binary | std::ios::trunc);
    full << "2026-01-01 00:00:00.000 pid 1 tid 1 trace on: tokenhub 2.0.0.11, rotated at 10485760 bytes\n"
         << std::string(10u << 20, '.') << "\n";
  }
  HANDLE viewer = CreateFileA(machine.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(written(), "machine");
  std::string text = fileText(machine);
  EXPECT_NE(text.find("C_Finalize(NULL) = CKR_OK", text.size() - 100), std::string::npos) << "the trace went on";
  EXPECT_EQ(fileText(older), "an older copy\n");
  CloseHandle(viewer);
  EXPECT_EQ(written(), "machine");
  EXPECT_GT(fileText(older).size(), 10u << 20) << "rotated over the older copy once the viewer let go";
  text = fileText(machine);
  EXPECT_NE(text.substr(0, text.find('\n')).find(" trace on: tokenhub "), std::string::npos) << "the new file is marked";
  DeleteFileA(older.c_str());
  // Group Policy's key wins over the machine's settings, its value expanded
  // (%TEMP% as this process has it); a relative path switches nothing on.
  const char policies[] = "Software\\Policies\\Varenzo\\tokenhub";
  const char expandable[] = "%TEMP%\\th-policy.log";
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, policies, "LogFile", REG_EXPAND_SZ, expandable, sizeof expandable),
            ERROR_SUCCESS);
  EXPECT_EQ(written(), "policy");
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, policies, "LogFile", REG_SZ, "th-relative.log", 16), ERROR_SUCCESS);
  EXPECT_EQ(written(), "");
  EXPECT_EQ(GetFileAttributesA("th-relative.log"), INVALID_FILE_ATTRIBUTES);
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, policies, "LogFile");
  // A file with a second name (a hard link someone made to another file) is
  // not written. (An elevated process's refusal of a file that a user owns
  // cannot be shown here: Wine keeps no owner that a program sets.)
  const std::string linked = std::string(temp) + "th-linked.log", other = std::string(temp) + "th-other.log";
  DeleteFileA(linked.c_str());
  std::ofstream(other, std::ios::binary | std::ios::trunc) << "someone else's file\n";
  ASSERT_TRUE(CreateHardLinkA(linked.c_str(), other.c_str(), nullptr));
  ASSERT_EQ(setValue(HKEY_LOCAL_MACHINE, linked), ERROR_SUCCESS);
  EXPECT_EQ(written(), "");
  EXPECT_EQ(fileText(other), "someone else's file\n");
  DeleteFileA(linked.c_str());
  DeleteFileA(other.c_str());
  ASSERT_EQ(setValue(HKEY_LOCAL_MACHINE, machine), ERROR_SUCCESS);
  // Another program's file at the name is left as it is; a pipe's name is
  // refused before anything connects to its server.
  std::ofstream(machine, std::ios::binary | std::ios::trunc) << "another program's file\n";
  EXPECT_EQ(written(), "");
  EXPECT_EQ(fileText(machine), "another program's file\n");
  const char pipeName[] = "\\\\.\\pipe\\tokenhub-trace-test";
  HANDLE server = CreateNamedPipeA(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  ASSERT_EQ(setValue(HKEY_LOCAL_MACHINE, pipeName), ERROR_SUCCESS);
  EXPECT_EQ(written(), "");
  EXPECT_FALSE(ConnectNamedPipe(server, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING)) << "no client ever connected";
  CloseHandle(server);
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, key, "LogFile");
  EXPECT_EQ(written(), "") << "off again";
}

}  // namespace
