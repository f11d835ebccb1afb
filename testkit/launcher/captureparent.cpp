// Starts a program the way a script that captures its output does: one
// inheritable file as its standard output and error (its standard input reads
// the same file) and one more inheritable handle to that file, with handle
// inheritance on. While the program runs it reports whether the program's
// standard output and error are still that file, then waits for it to end.
// Usage: captureparent <capture file> <program> [arguments]
// Output lines: "stdout capture|other", "stderr capture|other", "exit N".
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <string>

namespace {

HANDLE openCapture(const wchar_t *path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition, 0, nullptr);
}

bool sameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// The program's own standard handle (read from its process parameters),
// compared with the capture file.
const char *standardHandleOf(HANDLE process, size_t slot, HANDLE capture) {
  PROCESS_BASIC_INFORMATION basic{};
  PEB peb{};
  HANDLE params[5] = {};  // console handle, console flags, input, output, error
  RTL_USER_PROCESS_PARAMETERS *where = nullptr;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0 ||
      !ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr))
    return "other";
  where = peb.ProcessParameters;
  if (!ReadProcessMemory(process, reinterpret_cast<BYTE *>(where) + 16, params, sizeof params, nullptr))
    return "other";
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, params[slot], GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return "other";
  const bool same = sameFile(copy, capture);
  CloseHandle(copy);
  return same ? "capture" : "other";
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc < 3) return 2;
  HANDLE capture = openCapture(argv[1], GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE input = openCapture(argv[1], GENERIC_READ, OPEN_EXISTING);
  HANDLE spare = openCapture(argv[1], GENERIC_READ, OPEN_EXISTING);
  std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";
  for (int i = 3; i < argc; ++i) commandLine += L" " + std::wstring(argv[i]);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = capture;
  startup.hStdError = capture;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
    return 3;
  // Idle once its message loop waits: the jobs have been started by then.
  WaitForInputIdle(started.hProcess, 60000);
  std::printf("stdout %s\n", standardHandleOf(started.hProcess, 3, capture));
  std::printf("stderr %s\n", standardHandleOf(started.hProcess, 4, capture));
  DWORD code = 0;
  WaitForSingleObject(started.hProcess, 120000);
  GetExitCodeProcess(started.hProcess, &code);
  std::printf("exit %lu\n", code);
  CloseHandle(spare);
  return 0;
}
