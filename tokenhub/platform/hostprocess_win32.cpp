// Windows: two anonymous pipes whose child ends are the only handles the host
// inherits (a handle list), a job object that ends the host with the
// application's last handle to it, and no window. Paths are UTF-8 above
// this file and wide below it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hostprocess.h"

namespace tokenhub {

namespace {

std::wstring wide(const char *text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
  return out;
}

bool narrow(const std::wstring &text, char *out, size_t size) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, static_cast<int>(size), nullptr, nullptr);
  return n > 0;
}

// The folder of the module that holds this code, without the final backslash.
std::wstring ownFolder() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ownFolder), &self))
    return {};
  wchar_t path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(self, path, MAX_PATH * 4);
  if (n == 0 || n >= MAX_PATH * 4) return {};
  std::wstring folder(path, n);
  return folder.substr(0, folder.rfind(L'\\'));
}

std::wstring systemFolder() {
  wchar_t path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  return n && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

bool isFile(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HANDLE handle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

bool pipeRead(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs) {
  ULONGLONG deadline = timeoutMs == kWaitForever ? 0 : GetTickCount64() + timeoutMs;
  auto *p = static_cast<char *>(data);
  while (size) {
    // Anonymous pipes have no overlapped reads: with a bound, wait until bytes are there.
    while (deadline) {
      DWORD ready = 0;
      if (!PeekNamedPipe(handle(pipe.in), nullptr, 0, nullptr, &ready, nullptr)) return false;
      if (ready) break;
      if (GetTickCount64() >= deadline) return false;
      Sleep(1);
    }
    DWORD n = 0;
    DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!ReadFile(handle(pipe.in), p, chunk, &n, nullptr) || n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

bool pipeWrite(const HostPipe &pipe, const void *data, size_t size) {
  auto *p = static_cast<const char *>(data);
  while (size) {
    DWORD n = 0;
    DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!WriteFile(handle(pipe.out), p, chunk, &n, nullptr) || n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

HostPipe standardPipe() {
  return HostPipe{reinterpret_cast<intptr_t>(GetStdHandle(STD_INPUT_HANDLE)),
                  reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE))};
}

bool startHost(const char *program, const char *module, HostChild &child) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE toHostRead, toHostWrite, fromHostRead, fromHostWrite;
  if (!CreatePipe(&toHostRead, &toHostWrite, &inherit, 0)) return false;
  if (!CreatePipe(&fromHostRead, &fromHostWrite, &inherit, 0)) {
    CloseHandle(toHostRead);
    CloseHandle(toHostWrite);
    return false;
  }
  // Our ends stay ours.
  SetHandleInformation(toHostWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(fromHostRead, HANDLE_FLAG_INHERIT, 0);

  HANDLE childEnds[2] = {toHostRead, fromHostWrite};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string storage(size, '\0');
  auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&storage[0]);
  bool ok = InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
            UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, childEnds, sizeof childEnds,
                                      nullptr, nullptr);
  STARTUPINFOEXW start{};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.StartupInfo.hStdInput = toHostRead;
  start.StartupInfo.hStdOutput = fromHostWrite;
  start.StartupInfo.hStdError = nullptr;
  start.lpAttributeList = attributes;
  std::wstring commandLine = L"\"" + wide(program) + L"\" \"" + wide(module) + L"\"";
  PROCESS_INFORMATION process{};
  HANDLE job = ok ? CreateJobObjectW(nullptr, nullptr) : nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ok = job && SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
       CreateProcessW(wide(program).c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &start.StartupInfo, &process);
  if (ok && !AssignProcessToJobObject(job, process.hProcess)) {
    TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    ok = false;
  }
  if (attributes && size) DeleteProcThreadAttributeList(attributes);
  CloseHandle(toHostRead);
  CloseHandle(fromHostWrite);
  if (!ok) {
    if (job) CloseHandle(job);
    CloseHandle(toHostWrite);
    CloseHandle(fromHostRead);
    return false;
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  child.pipe = HostPipe{reinterpret_cast<intptr_t>(fromHostRead), reinterpret_cast<intptr_t>(toHostWrite)};
  child.process = reinterpret_cast<intptr_t>(process.hProcess);
  child.job = reinterpret_cast<intptr_t>(job);
  child.pid = process.dwProcessId;
  child.owner = GetCurrentProcessId();
  // On 64-bit Windows a 32-bit process runs under WOW64; a native one is
  // 64-bit there (where this process is 64-bit or itself under WOW64).
  BOOL hostWow64 = FALSE, selfWow64 = FALSE;
  if (IsWow64Process(process.hProcess, &hostWow64) && IsWow64Process(GetCurrentProcess(), &selfWow64))
    child.bits = hostWow64 ? 32 : sizeof(void *) == 8 || selfWow64 ? 64 : 32;
  return true;
}

void endHost(HostChild &child, uint32_t graceMs, char *how, size_t size) {
  if (child.pipe.in != -1) CloseHandle(handle(child.pipe.in));
  if (child.pipe.out != -1) CloseHandle(handle(child.pipe.out));
  child.pipe = HostPipe{};
  if (!child.process) return;
  HANDLE process = handle(child.process);
  bool killed = WaitForSingleObject(process, graceMs) != WAIT_OBJECT_0;
  if (killed) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  if (how && size) {
    if (killed) std::snprintf(how, size, "ended");
    else if (code >= 0xC0000000u) std::snprintf(how, size, "exception 0x%08lX", static_cast<unsigned long>(code));
    else std::snprintf(how, size, "exit %lu", static_cast<unsigned long>(code));
  }
  CloseHandle(process);
  if (child.job) CloseHandle(handle(child.job));
  child.process = child.job = 0;
  child.pid = 0;
}

void killHost(const HostChild &child) {
  if (child.process) TerminateProcess(handle(child.process), 1);
}

bool ownsHost(const HostChild &child) { return child.owner == GetCurrentProcessId(); }

void *loadHostedModule(const char *module) {
  std::wstring name = wide(module);
  // The module's own imports come from its folder and the system's only.
  DWORD search = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory")
                     ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                     : LOAD_WITH_ALTERED_SEARCH_PATH;
  if (name.find_first_of(L"\\/") != std::wstring::npos) {
    for (wchar_t &c : name) c = c == L'/' ? L'\\' : c;  // the loader wants a path of backslashes
    return reinterpret_cast<void *>(LoadLibraryExW(name.c_str(), nullptr, search));
  }
  for (const std::wstring &folder : {ownFolder(), systemFolder()}) {
    if (folder.empty()) continue;
    if (HMODULE loaded = LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, search))
      return reinterpret_cast<void *>(loaded);
  }
  return nullptr;
}

void *hostedModuleSymbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool hostModulePath(const char *fileName, char *path, size_t size) {
  std::wstring name = wide(fileName);
  for (const std::wstring &folder : {ownFolder(), systemFolder()})
    if (!folder.empty() && isFile(folder + L"\\" + name)) return narrow(folder + L"\\" + name, path, size);
  return false;
}

bool otherBitnessModule(const char *fileName, char *program, size_t programSize, char *path, size_t pathSize) {
  std::wstring name = wide(fileName);
  for (const std::wstring &folder : {ownFolder(), systemFolder()})
    if (!folder.empty() && isFile(folder + L"\\" + name)) return false;  // the own bitness's module is there
  std::wstring other;
#ifdef _WIN64
  wchar_t wow[MAX_PATH];
  UINT n = GetSystemWow64DirectoryW(wow, MAX_PATH);
  if (n && n < MAX_PATH) other.assign(wow, n);
#else
  // A 32-bit process on 64-bit Windows sees the native System32 as Sysnative.
  BOOL wow64 = FALSE;
  wchar_t windows[MAX_PATH];
  UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64 && n && n < MAX_PATH)
    other = std::wstring(windows, n) + L"\\Sysnative";
#endif
  if (other.empty() || !isFile(other + L"\\" + name) || !isFile(other + L"\\tokenhub-host.exe")) return false;
  return narrow(other + L"\\tokenhub-host.exe", program, programSize) && narrow(other + L"\\" + name, path, pathSize);
}

bool hostProgramPath(char *path, size_t size) {
  std::wstring folder = ownFolder();
  return !folder.empty() && narrow(folder + L"\\tokenhub-host.exe", path, size);
}

}  // namespace tokenhub
