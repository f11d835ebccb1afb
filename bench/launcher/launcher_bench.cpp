// How long the launcher takes from its own process start to its child's
// creation, compared with a bare CreateProcessW of the same child. Both are
// measured from just before CreateProcessW to the tick the child records
// first (childprobe.exe), so the child's own start-up cost is in both.
// Usage: launcher_bench <launcher.exe in a folder with its .toml> <childprobe.exe> <data folder> [runs]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring recordPath(const std::wstring &data) { return data + L"\\bench.jar.record"; }

// The tick childprobe wrote first, waiting for its record to appear.
DWORD childStartTick(const std::wstring &data) {
  for (int i = 0; i < 3000; ++i) {
    HANDLE file = CreateFileW(recordPath(data).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char text[64] = {};
      DWORD got = 0;
      ReadFile(file, text, sizeof text - 1, &got, nullptr);
      CloseHandle(file);
      unsigned long tick = 0;
      if (std::sscanf(text, "startTick\t%lu\n", &tick) == 1 && std::string(text).find('\n') != std::string::npos)
        return static_cast<DWORD>(tick);
    }
    Sleep(5);
  }
  return 0;
}

DWORD startAndMeasure(const std::wstring &application, std::wstring commandLine, const std::wstring &directory,
                      const std::wstring &data) {
  DeleteFileW(recordPath(data).c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const DWORD before = GetTickCount();
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &started))
    return 0;
  const DWORD tick = childStartTick(data);
  WaitForSingleObject(started.hProcess, 30000);
  CloseHandle(started.hProcess);
  CloseHandle(started.hThread);
  Sleep(300);  // let the child finish too
  return tick - before;
}

DWORD median(std::vector<DWORD> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc < 4) return 2;
  const std::wstring launcher = argv[1], child = argv[2], data = argv[3];
  const int runs = argc > 4 ? _wtoi(argv[4]) : 5;
  const std::wstring launcherDir = launcher.substr(0, launcher.find_last_of(L'\\'));
  std::vector<DWORD> viaLauncher, bare;
  for (int i = 0; i < runs; ++i) {
    viaLauncher.push_back(startAndMeasure(launcher, L"\"" + launcher + L"\"", launcherDir, data));
    bare.push_back(startAndMeasure(child, L"\"" + child + L"\"  -jar \"" + launcherDir + L"\\bench.jar\" ", data, data));
  }
  const DWORD a = median(viaLauncher), b = median(bare);
  std::printf("launcher to child: median %lu ms over %d runs\n", static_cast<unsigned long>(a), runs);
  std::printf("bare CreateProcess to child: median %lu ms over %d runs\n", static_cast<unsigned long>(b), runs);
  std::printf("ratio %.2f (target at most 1.5)\n", b ? static_cast<double>(a) / b : 0.0);
  return 0;
}
