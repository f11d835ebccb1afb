// The diagnostic log's bytes: line headers, error lines with the system's
// text, the file's place and name, appending across runs, and what goes to
// the debugger output when the log cannot be used.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "debugcapture.h"
#include "log.h"
#include "logfile.h"
#include "logfixture.h"

using namespace launcher;
using launcher_testkit::DebugOutputCapture;
using launcher_testkit::LogFixture;

namespace {

// Date, time and the process id.
const char *const kTime = "(\\d{4})-(\\d\\d)-(\\d\\d) (\\d\\d):(\\d\\d):(\\d\\d) \\[(?:\\d+)\\] ";

class Log : public LogFixture {};

TEST_F(Log, PlainLineHasDateTimeSourceLineFunctionAndMessage) {
  const int line = __LINE__ + 1;
  LOG_MESSAGE("systemDir=%S\n", L"C:\\windows\\system32");
  const std::string text = logText();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, std::regex(std::string(kTime) + "log_test:(\\d+):TestBody (.*)\n")))
      << text;
  EXPECT_EQ(std::stoi(m[7]), line);
  EXPECT_EQ(m[8], "systemDir=C:\\windows\\system32");
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_EQ(std::stoi(m[1]), now.wYear);
  EXPECT_EQ(m[2].length(), 2u);
  EXPECT_NE(text.find(" [" + std::to_string(GetCurrentProcessId()) + "] log_test:"), std::string::npos) << text;
}

TEST_F(Log, ErrorLineCarriesCodeMessageAndSystemTextWithCrLf) {
  LOG_MESSAGE("plain\n");
  LOG_SYSTEM_ERROR(2, "CreateProcess ");
  LOG_SYSTEM_ERROR(2, " ");
  const std::string text = logText();
  const std::string header = std::string(kTime) + "log_test:\\d+:TestBody ";
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m,
                               std::regex(header + "plain\n" + header + "err:2 CreateProcess ([^\r\n]+)\r\n" +
                                          header + "err:2  ([^ \r\n][^\r\n]*)\r\n")))
      << text;
  EXPECT_EQ(m[13], m[20]) << "the same system text for the same code";
  char *expected = nullptr;
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                 2, 0x400, reinterpret_cast<LPSTR>(&expected), 0, nullptr);
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(std::string(m[13]) + "\r\n", expected);
  LocalFree(expected);
}

TEST_F(Log, NegativeErrorCodesAreSigned) {
  LOG_SYSTEM_ERROR(0x80070005, "x ");
  EXPECT_NE(logText().find(" err:-2147024891 x "), std::string::npos) << logText();
}

TEST_F(Log, FileLiesBelowProgramDataWithoutSeparatorBeforeModuleName) {
  pointLogAt(scratch.path(), L"Launcher\x00E9");
  LOG_MESSAGE("here\n");
  const std::wstring expected = scratch / L"Orvane\\Penwick\\launcherLauncher\x00E9.log";
  EXPECT_NE(GetFileAttributesW(expected.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(launcher_testkit::readFile(expected).find("here\n"), std::string::npos);
}

TEST_F(Log, RunsAppendToTheSameFile) {
  launcher_testkit::writeFile(logPath(), "earlier run\n");
  LOG_MESSAGE("first\n");
  forgetLogFile();  // as a new process would
  LOG_MESSAGE("second\n");
  const std::string text = logText();
  EXPECT_EQ(text.rfind("earlier run\n", 0), 0u) << text;
  const size_t first = text.find("first\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(text.find("second\n", first), std::string::npos);
}

// Another launcher appends to the same log while this one has it open; each
// line lands whole at the end, after what the other wrote.
TEST_F(Log, AnotherLauncherAppendsWhileTheLogIsOpen) {
  LOG_MESSAGE("open\n");
  HANDLE other = CreateFileW(logPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(other, "other\n", 6, &written, nullptr);
  CloseHandle(other);
  LOG_MESSAGE("after\n");
  const std::string text = logText();
  const size_t open = text.find("open\n"), theOther = text.find("\nother\n"), after = text.find("after\n");
  EXPECT_TRUE(open < theOther && theOther < after && after != std::string::npos) << text;
}

TEST_F(Log, MissingDirectoryIsReportedOnceAndNothingIsWritten) {
  launcher_testkit::ScratchDir bare;  // no Orvane\Penwick below it
  pointLogAt(bare.path(), L"suite");
  DebugOutputCapture debug;
  LOG_MESSAGE("one\n");
  LOG_SYSTEM_ERROR(2, " ");
  LOG_MESSAGE("three\n");
  EXPECT_EQ(debug.count("ERROR CreateFile\n"), 1u);
  EXPECT_EQ(debug.texts().size(), 1u);
  EXPECT_EQ(GetFileAttributesW((bare / L"Orvane").c_str()), INVALID_FILE_ATTRIBUTES);
}

// The log is UTF-8: a name beyond any 8-bit code page (a user Łukasz, a
// folder in Chinese, a surrogate pair) is written in full, and the line ends
// as its message ends.
TEST_F(Log, WideArgumentsAreWrittenInFullAsUtf8) {
  DebugOutputCapture debug;
  LOG_MESSAGE("path=%S %s %d%%\n", L"C:\\\x0141ukasz\\\xD83D\xDE00\x00E9", "narrow", -7);
  LOG_SYSTEM_ERROR(5, "%S ", L"\x4E2D");
  LOG_MESSAGE("next\n");
  EXPECT_TRUE(debug.texts().empty());
  const std::string text = logText();
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string(kTime) +
                                                "log_test:\\d+:TestBody path=C:\\\\\xC5\x81ukasz\\\\\xF0\x9F\x98\x80\xC3\xA9 "
                                                "narrow -7%\n" +
                                                kTime + "log_test:\\d+:TestBody err:5 \xE4\xB8\xAD [^\r\n]+\r\n" + kTime +
                                                "log_test:\\d+:TestBody next\n")))
      << text;
}

TEST_F(Log, NothingIsWrittenBeforeTheLauncherKnowsItsName) {
  jobSettings.moduleName = nullptr;
  forgetLogFile();
  DebugOutputCapture debug;
  LOG_MESSAGE("too early\n");
  EXPECT_TRUE(debug.texts().empty());
  jobSettings.moduleName = L"suite";
  LOG_MESSAGE("in time\n");
  EXPECT_NE(logText().find("in time\n"), std::string::npos);
  EXPECT_EQ(logText().find("too early"), std::string::npos);
}

}  // namespace
