// Stands in for the Java runtime in the launcher's end-to-end tests: it
// records what it received (command line, whole environment block, current
// directory, whether it has a console window) and writes one line to each of
// standard output and standard error. The record goes to
// <current directory>\<jar file name>.record, the jar being the quoted path
// after -jar, so that two jobs keep apart. With --sleep=<ms> among its
// arguments it then sleeps that long and leaves <jar file name>.awake, so
// tests can see it outlive the launcher. The record also names every file
// the process holds a handle to, so tests can see which handles it inherited.
#include <windows.h>
#include <winternl.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <string>

#include "utf8.h"

namespace {

using launcher_testkit::utf8;

std::wstring jarName(const std::wstring &commandLine) {
  const size_t jar = commandLine.find(L"-jar \"");
  if (jar == std::wstring::npos) return L"nojar";
  const size_t start = jar + 6;
  const size_t end = commandLine.find(L'"', start);
  const std::wstring path = commandLine.substr(start, end - start);
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void writeTo(HANDLE handle, const std::string &text) {
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The milliseconds after --sleep=, 0 without it.
DWORD sleepTime(const std::wstring &commandLine) {
  const size_t at = commandLine.find(L"--sleep=");
  return at == std::wstring::npos ? 0 : static_cast<DWORD>(std::wcstoul(commandLine.c_str() + at + 8, nullptr, 10));
}

// Sized by asking first: the directory may be longer than MAX_PATH.
std::wstring currentDirectory() {
  std::wstring directory(GetCurrentDirectoryW(0, nullptr), L'\0');
  directory.resize(GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data()));
  return directory;
}

void writeFile(const std::wstring &path, const std::string &text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  writeTo(file, text);
  CloseHandle(file);
}

// One "handle" line per file this process holds open, found by trying every
// small handle value: inherited handles keep their values from the parent,
// and Wine and Windows both hand out the lowest free ones.
std::string heldFiles() {
  std::string lines;
  for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    wchar_t name[1024];
    if (!GetHandleInformation(handle, &flags)) continue;
    const DWORD length = GetFinalPathNameByHandleW(handle, name, 1024, FILE_NAME_NORMALIZED);
    if (length > 0 && length < 1024) lines += "handle\t" + utf8(name) + "\n";
  }
  return lines;
}

// The command line of the console host started for this process, or "none".
std::string consoleHost() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  std::string found = "none";
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != GetCurrentProcessId() || _wcsicmp(entry.szExeFile, L"conhost.exe") != 0) continue;
    // Read from the host's own process parameters.
    HANDLE host = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    if (host && NtQueryInformationProcess(host, ProcessBasicInformation, &basic, sizeof basic, nullptr) == 0 &&
        ReadProcessMemory(host, basic.PebBaseAddress, &peb, sizeof peb, nullptr) &&
        ReadProcessMemory(host, peb.ProcessParameters, &parameters, sizeof parameters, nullptr)) {
      std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
      if (ReadProcessMemory(host, parameters.CommandLine.Buffer, text.data(), parameters.CommandLine.Length, nullptr))
        found = utf8(text);
    }
    if (host) CloseHandle(host);
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int wmain() {
  const std::wstring commandLine = GetCommandLineW();
  const std::wstring directory = currentDirectory();

  // One field per line, the environment entries in block order; the fields'
  // texts never hold a line feed.
  // Ticks count from system start in every process, so tests can set this
  // against the moment the splash window went away.
  std::string record = "startTick\t" + std::to_string(GetTickCount()) + "\n";
  record += "commandLine\t" + utf8(commandLine) + "\n";
  record += "currentDirectory\t" + utf8(directory) + "\n";
  // Whether this console program has a console window: Windows' own answer,
  // and the command line of the console host it got, which under Wine says
  // --headless when the host shows no window (without a display both answer
  // "no window").
  record += std::string("consoleWindow\t") + (GetConsoleWindow() ? "yes" : "no") + "\n";
  record += "consoleHost\t" + consoleHost() + "\n";
  wchar_t *block = GetEnvironmentStringsW();
  for (const wchar_t *entry = block; entry && *entry; entry += wcslen(entry) + 1)
    record += "environment\t" + utf8(entry) + "\n";
  FreeEnvironmentStringsW(block);
  record += heldFiles();

  const std::wstring name = jarName(commandLine);
  writeFile(directory + L"\\" + name + L".record", record);

  writeTo(GetStdHandle(STD_OUTPUT_HANDLE), "stdout of " + utf8(name) + "\n");
  writeTo(GetStdHandle(STD_ERROR_HANDLE), "stderr of " + utf8(name) + "\n");
  if (const DWORD milliseconds = sleepTime(commandLine)) {
    Sleep(milliseconds);
    writeFile(directory + L"\\" + name + L".awake", "awake\n");
  }
  return 0;
}
