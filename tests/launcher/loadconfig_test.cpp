// The configuration file: which keys land where, exact TOML types, arrays up
// to the first non-string, the composed PATH entry, and the single log line of
// a file that cannot be opened or parsed.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "loadconfig.h"
#include "logfixture.h"

using namespace launcher;
using launcher_testkit::LogFixture;

namespace {

// The places loadConfig fills, as prepareJob hands them over: configPath
// already holds "PATH=".
struct Loaded {
  int32_t millisec = 0;
  WideString image, exec, data_dir, log_dir, configPath, main_jar, main_jar2, options;
  Loaded() { append(configPath, L"PATH="); }
};

std::wstring text(const WideString &s) { return s.present() ? s.get() : L"<absent>"; }

class LoadConfig : public LogFixture {
protected:
  int load(const std::string &toml, Loaded &out, const wchar_t *moduleDir = L"D:\\app") {
    launcher_testkit::writeFile(configFile(), toml);
    return loadFile(configFile(), out, moduleDir);
  }
  int loadFile(const std::wstring &path, Loaded &out, const wchar_t *moduleDir = L"D:\\app") {
    return loadConfig(path.c_str(), moduleDir, out.millisec, out.image, out.exec, out.data_dir, out.log_dir,
                      out.configPath, out.main_jar, out.main_jar2, out.options);
  }
  std::wstring configFile() const { return scratch / L"launcher.toml"; }
};

const char *const kFull = R"([splash]
image = "splash.png"
millisec = 3000

[env]
PATH = ["E:\\tools"]
LOCALPATH = ["bin", "lib"]

[jre]
main_jar = "app.jar"
main_jar2 = "second.jar"
options = ["-Xmx512m", "-Dfile.encoding=UTF-8"]

[app]
exec = "D:\\jre\\bin\\javaw.exe"
log_dir = "D:\\logs"
data_dir = "D:\\data"
)";

TEST_F(LoadConfig, EveryKeyLandsInItsPlace) {
  Loaded out;
  ASSERT_EQ(load(kFull, out), kOk);
  EXPECT_EQ(out.millisec, 3000);
  EXPECT_EQ(text(out.image), L"splash.png");
  EXPECT_EQ(text(out.configPath), L"PATH=D:\\app\\bin;D:\\app\\lib;E:\\tools;");
  EXPECT_EQ(text(out.main_jar), L"app.jar");
  EXPECT_EQ(text(out.main_jar2), L"second.jar");
  EXPECT_EQ(text(out.options), L"-Xmx512m -Dfile.encoding=UTF-8 ");
  EXPECT_EQ(text(out.exec), L"D:\\jre\\bin\\javaw.exe");
  EXPECT_EQ(text(out.log_dir), L"D:\\logs");
  EXPECT_EQ(text(out.data_dir), L"D:\\data");
  EXPECT_EQ(logText(), "");
}

TEST_F(LoadConfig, TableOrderAndCrLfLineEndsDoNotMatter) {
  std::string crlf;
  for (const char *p = "[app]\nexec = \"j\"\n[env]\nPATH = [\"P\"]\n[splash]\nmillisec = 5\n"
                       "[env2]\n[jre]\nmain_jar = \"a.jar\"\n";
       *p; ++p)
    crlf += *p == '\n' ? std::string("\r\n") : std::string(1, *p);
  Loaded out;
  ASSERT_EQ(load(crlf + "[x]\nLOCALPATH = [\"no\"]\r\n", out), kOk);
  EXPECT_EQ(text(out.exec), L"D:\\app\\j");
  EXPECT_EQ(text(out.configPath), L"PATH=P;");
  EXPECT_EQ(out.millisec, 5);
  EXPECT_EQ(text(out.main_jar), L"a.jar");
}

TEST_F(LoadConfig, LocalPathsComeFirstWhateverTheKeyOrder) {
  Loaded out;
  ASSERT_EQ(load("[env]\nPATH = [\"E:\\\\tools\", \"F:\\\\x\"]\nLOCALPATH = [\"bin\"]\n", out, L"C:\\A b"), kOk);
  EXPECT_EQ(text(out.configPath), L"PATH=C:\\A b\\bin;E:\\tools;F:\\x;");
}

// Only a drive with its backslash or a share names a place of its own; any
// other exec lies below the launcher's folder, never the current one.
TEST_F(LoadConfig, RelativeExecLiesBelowTheLaunchersFolder) {
  const std::pair<const char *, const wchar_t *> cases[] = {
      {"runtime\\\\bin\\\\javaw.exe", L"D:\\app\\runtime\\bin\\javaw.exe"},
      {"javaw.exe", L"D:\\app\\javaw.exe"},
      {"\\\\jre\\\\javaw.exe", L"D:\\app\\\\jre\\javaw.exe"},
      {"C:javaw.exe", L"D:\\app\\C:javaw.exe"},
      {"c:/jre/javaw.exe", L"c:/jre/javaw.exe"},
      {"C:\\\\jre\\\\javaw.exe", L"C:\\jre\\javaw.exe"},
      {"\\\\\\\\server\\\\jre\\\\javaw.exe", L"\\\\server\\jre\\javaw.exe"},
  };
  for (const auto &[written, used] : cases) {
    Loaded out;
    ASSERT_EQ(load(std::string("[app]\nexec = \"") + written + "\"\n", out), kOk);
    EXPECT_EQ(text(out.exec), used) << written;
  }
}

TEST_F(LoadConfig, EmptyOrMissingEnvAddsNothing) {
  Loaded empty, none;
  ASSERT_EQ(load("[env]\n", empty), kOk);
  EXPECT_EQ(text(empty.configPath), L"PATH=");
  ASSERT_EQ(load("[app]\nexec = \"x\"\n", none), kOk);
  EXPECT_EQ(text(none.configPath), L"PATH=");
}

TEST_F(LoadConfig, MillisecKeepsTheLow32BitsAsSigned) {
  Loaded big, negative, wraps;
  ASSERT_EQ(load("[splash]\nmillisec = 4294967396\n", big), kOk);
  EXPECT_EQ(big.millisec, 100);
  ASSERT_EQ(load("[splash]\nmillisec = -5\n", negative), kOk);
  EXPECT_EQ(negative.millisec, -5);  // bounded later by prepareJob
  ASSERT_EQ(load("[splash]\nmillisec = 2147483648\n", wraps), kOk);
  EXPECT_EQ(wraps.millisec, INT32_MIN);
}

// Every key of another TOML type counts as absent: earlier values stay.
TEST_F(LoadConfig, WrongTypesCountAsAbsent) {
  Loaded out;
  out.millisec = 42;
  append(out.image, L"old.png");
  append(out.exec, L"old.exe");
  const char *const wrong = R"([splash]
image = 1
millisec = "3000"
[env]
LOCALPATH = "bin"
PATH = { a = "b" }
[jre]
main_jar = ["a.jar"]
main_jar2 = true
options = [1, 2]
[app]
exec = 2024-01-01
log_dir = 1.5
data_dir = { d = "x" }
)";
  ASSERT_EQ(load(wrong, out), kOk);
  EXPECT_EQ(out.millisec, 42);
  EXPECT_EQ(text(out.image), L"old.png");
  EXPECT_EQ(text(out.exec), L"old.exe");
  EXPECT_EQ(text(out.configPath), L"PATH=");
  EXPECT_FALSE(out.main_jar.present());
  EXPECT_FALSE(out.main_jar2.present());
  EXPECT_FALSE(out.options.present());
  EXPECT_FALSE(out.log_dir.present());
  EXPECT_FALSE(out.data_dir.present());
  EXPECT_EQ(logText(), "");
}

TEST_F(LoadConfig, TablesOfAnotherTypeAndOtherLetterCaseAreIgnored) {
  Loaded out;
  ASSERT_EQ(load("splash = 5\nenv = [\"x\"]\n[[jre]]\nmain_jar = \"a.jar\"\n[App]\nexec = \"x\"\n"
                 "[app]\nEXEC = \"y\"\nLog_dir = \"z\"\n",
                 out),
            kOk);
  EXPECT_EQ(out.millisec, 0);
  EXPECT_EQ(text(out.configPath), L"PATH=");
  EXPECT_FALSE(out.main_jar.present());
  EXPECT_FALSE(out.exec.present());
  EXPECT_FALSE(out.log_dir.present());
}

TEST_F(LoadConfig, ArraysStopAtTheFirstNonString) {
  Loaded out;
  ASSERT_EQ(load("[env]\nLOCALPATH = [\"a\", 1, \"b\"]\nPATH = [\"P\", [\"Q\"], \"R\"]\n"
                 "[jre]\noptions = [\"-a\", false, \"-b\"]\n",
                 out),
            kOk);
  EXPECT_EQ(text(out.configPath), L"PATH=D:\\app\\a;P;");
  EXPECT_EQ(text(out.options), L"-a ");
}

TEST_F(LoadConfig, TextsAreConvertedFromUtf8) {
  Loaded out;
  ASSERT_EQ(load("\xEF\xBB\xBF[app]\nexec = \"C:\\\\J\xC3\xA9\\\\\xE2\x82\xAC.exe\"\n", out), kOk);
  EXPECT_EQ(text(out.exec), L"C:\\J\x00E9\\\x20AC.exe");
}

TEST_F(LoadConfig, EmptyFileSetsNothing) {
  Loaded out;
  ASSERT_EQ(load("", out), kOk);
  EXPECT_EQ(out.millisec, 0);
  EXPECT_EQ(text(out.configPath), L"PATH=");
  EXPECT_FALSE(out.exec.present());
}

TEST_F(LoadConfig, MissingFileGivesOneFopenLine) {
  Loaded out;
  EXPECT_EQ(loadFile(scratch / L"absent.toml", out), kFailed);
  EXPECT_TRUE(std::regex_match(
      logText(), std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] loadconfig:\\d+:loadConfig "
                            "fopen No such file or directory\n")))
      << logText();
}

TEST_F(LoadConfig, SyntaxErrorGivesOneParserLineAndReadsNothing) {
  Loaded out;
  EXPECT_EQ(load("[app]\nexec = \"x\"\n[splash\nmillisec = 3\n", out), kFailed);
  EXPECT_FALSE(out.exec.present());
  EXPECT_TRUE(std::regex_match(logText(), std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] "
                                                     "loadconfig:\\d+:loadConfig toml_parse_file [^\n]*line 3[^\n]*\n")))
      << logText();
}

// The name is beyond any 8-bit code page: the file is opened by its wide name.
TEST_F(LoadConfig, FileNameOutsideTheAnsiCodePageIsRead) {
  Loaded out;
  const std::wstring path = scratch / L"lanc\x00E9r\x5E94\xD83D\xDE80.toml";
  launcher_testkit::writeFile(path, "[splash]\nmillisec = 7\n");
  ASSERT_EQ(loadFile(path, out), kOk) << "ANSI code page " << GetACP() << " " << logText();
  EXPECT_EQ(out.millisec, 7);
}

}  // namespace
