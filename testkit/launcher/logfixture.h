// A scratch folder per test case and a diagnostic log redirected into it:
// programData points at the folder, so the log is
// <folder>\Orvane\Penwick\launcher<moduleName>.log.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "loadconfig.h"
#include "log.h"
#include "logfile.h"
#include "utf8.h"

namespace launcher_testkit {

inline void removeTree(const std::wstring &dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        removeTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(dir.c_str());
}

class ScratchDir {
public:
  ScratchDir() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static unsigned serial = 0;
    path_ = std::wstring(temp) + L"launcher-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++serial);
    removeTree(path_);  // left by an earlier process with the same id
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchDir() { removeTree(path_); }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::wstring &path() const { return path_; }
  std::wstring operator/(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
  std::wstring path_;
};

// Wide file calls throughout: the runtime library's narrow names use the ANSI
// code page, which cannot name every file the launcher may meet.
inline void writeFile(const std::wstring &path, const std::string &bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

inline std::string readFile(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

class LogFixture : public ::testing::Test {
protected:
  void SetUp() override {
    CreateDirectoryW((scratch / L"Orvane").c_str(), nullptr);
    CreateDirectoryW((scratch / L"Orvane\\Penwick").c_str(), nullptr);
    pointLogAt(scratch.path(), L"suite");
  }
  void TearDown() override {
    launcher::forgetLogFile();
    launcher::jobSettings.moduleName = nullptr;
    launcher::jobSettings.programData[0] = L'\0';
  }

  void pointLogAt(const std::wstring &programData, const wchar_t *moduleName) {
    launcher::forgetLogFile();
    wcsncpy(launcher::jobSettings.programData, programData.c_str(), launcher::kPathUnits - 1);
    launcher::jobSettings.moduleName = moduleName;
  }

  std::wstring logPath() const { return scratch / L"Orvane\\Penwick\\launchersuite.log"; }
  std::string logText() const { return readFile(logPath()); }

  ScratchDir scratch;
};

}  // namespace launcher_testkit
