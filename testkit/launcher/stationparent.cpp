// Starts a program on a window station of its own, which nobody sees, as a
// scheduled task that runs whether the user is logged on or not does, and
// waits for it to end.
// Usage: stationparent <program> [arguments]
// Output: "visible 0|1" (the new station's flags), then "exit N".
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t **argv) {
  if (argc < 2) return 2;
  HWINSTA station = CreateWindowStationW(L"PenwickUnseen", 0, WINSTA_ALL_ACCESS, nullptr);
  HWINSTA own = GetProcessWindowStation();
  if (!station || !SetProcessWindowStation(station)) return 3;
  HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed);
  SetProcessWindowStation(own);
  if (!desktop) return 4;
  std::printf("visible %d\n", (flags.dwFlags & WSF_VISIBLE) ? 1 : 0);
  std::fflush(stdout);

  std::wstring commandLine;
  for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  wchar_t place[] = L"PenwickUnseen\\Default";
  startup.lpDesktop = place;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    return 5;
  WaitForSingleObject(started.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  std::printf("exit %lu\n", code);
  return 0;
}
