// Malformed and hostile configuration files (made by make_toml_corpus.py):
// each is read without a crash or a hang and gives at most one log line,
// and a good file is still read correctly afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "loadconfig.h"
#include "logfixture.h"

using namespace launcher;

namespace {

class HostileConfig : public launcher_testkit::LogFixture {};

TEST_F(HostileConfig, EachFileGivesAtMostOneLogLine) {
  const wchar_t *dir = _wgetenv(L"LAUNCHER_TOML_CORPUS");
  ASSERT_NE(dir, nullptr) << "LAUNCHER_TOML_CORPUS names the corpus folder";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((std::wstring(dir) + L"\\*.toml").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  int files = 0, failed = 0;
  size_t logged = 0;
  do {
    const std::wstring path = std::wstring(dir) + L"\\" + found.cFileName;
    const std::string name = launcher_testkit::utf8(found.cFileName);
    int32_t millisec = 0;
    WideString image, exec, data_dir, log_dir, configPath, main_jar, main_jar2, options;
    const DWORD started = GetTickCount();
    const int result =
        loadConfig(path.c_str(), L"C:\\app", millisec, image, exec, data_dir, log_dir, configPath, main_jar,
                   main_jar2, options);
    const DWORD took = GetTickCount() - started;
    if (took > 2000) std::printf("slow: %s took %lu ms\n", name.c_str(), static_cast<unsigned long>(took));
    const std::string log = logText();
    const std::string added = log.substr(logged);
    logged = log.size();
    const auto lines = std::count(added.begin(), added.end(), '\n');
    EXPECT_LE(lines, 1) << name << ": " << added;
    EXPECT_EQ(lines, result == kOk ? 0 : 1) << name << ": " << added;
    ++files;
    failed += result != kOk;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_GE(files, 200);
  std::printf("corpus: %d files, %d refused with one log line, %d read\n", files, failed, files - failed);

  launcher_testkit::writeFile(scratch / L"good.toml", "[splash]\nmillisec = 9\n");
  int32_t millisec = 0;
  WideString image, exec, data_dir, log_dir, configPath, main_jar, main_jar2, options;
  EXPECT_EQ(loadConfig((scratch / L"good.toml").c_str(), L"C:\\app", millisec, image, exec,
                       data_dir, log_dir, configPath, main_jar, main_jar2, options),
            kOk);
  EXPECT_EQ(millisec, 9);
}

}  // namespace
