// Windows: a named pipe that the host opens by its name (nothing is
// inherited), overlapped transfers that wait on an event up to their
// deadline, a job object that ends the host with the application's last
// handle to it, and no window. Paths are UTF-8 above this file and wide
// below it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "platform/hostprocess.h"

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

// How long a host that we ended may take to be gone.
constexpr DWORD kTerminateMs = 500;
// How long a host may take to open its pipe: a 32-bit host on an emulated
// system takes most of a minute to start.
constexpr DWORD kConnectMs = 60000;

// One overlapped transfer on the pipe, waited for on the pipe's event for
// its way (or one of its own) until the deadline (0: none): the count
// moved; 0 on an error or the end of the pipe; kPipeWaited at the deadline.
// A transfer still in flight is cancelled and collected first, so that
// nothing lands in the caller's buffer after the return.
int64_t transfer(HANDLE file, intptr_t pipeEvent, bool reading, void *data, DWORD size, ULONGLONG deadline) {
  HANDLE own = pipeEvent ? nullptr : CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED pending{};
  pending.hEvent = pipeEvent ? handle(pipeEvent) : own;
  if (!pending.hEvent) return 0;
  BOOL ok = reading ? ReadFile(file, data, size, nullptr, &pending) : WriteFile(file, data, size, nullptr, &pending);
  bool waited = false;
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    ULONGLONG now = GetTickCount64();
    DWORD wait = !deadline ? INFINITE : now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(pending.hEvent, wait) != WAIT_OBJECT_0) {
      CancelIoEx(file, &pending);
      waited = true;
    }
    ok = TRUE;
  }
  DWORD done = 0;
  ok = ok && GetOverlappedResult(file, &pending, &done, TRUE);
  if (own) CloseHandle(own);
  return ok && done > 0 ? done : waited && deadline ? kPipeWaited : 0;
}

// A pipe over these handles, with an event for each way.
HostPipe pipeOf(HANDLE in, HANDLE out) {
  HostPipe pipe{reinterpret_cast<intptr_t>(in), reinterpret_cast<intptr_t>(out)};
  pipe.reading = reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  pipe.writing = reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return pipe;
}

// The last error of `call` with the system's text for it, for the trace.
void noteFailure(HostChild &child, const char *call) {
  DWORD code = GetLastError();
  char text[sizeof child.failure] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  text[std::strcspn(text, "\r\n")] = '\0';
  std::snprintf(child.failure, sizeof child.failure, "%s: error %lu: %s", call, static_cast<unsigned long>(code), text);
}

// The router's end of a new pipe that nobody else can have made first: one
// instance, local clients only, never inherited. The host opens it by name,
// so that no handle of ours is ever inheritable, not even while the host
// starts (another thread's CreateProcess would take it).
HANDLE createPipe(std::wstring &name) {
  static volatile LONG serial = 0;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  wchar_t text[96];
  std::swprintf(text, 96, L"\\\\.\\pipe\\tokenhub-host-%lu-%ld-%llx", GetCurrentProcessId(),
                InterlockedIncrement(&serial), static_cast<unsigned long long>(counter.QuadPart));
  name = text;
  return CreateNamedPipeW(text, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
                          65536, 0, nullptr);
}

// The host, suspended, in a job that ends it with our last handle to the
// job; the job lets the host's own children (a module's helpers) leave it.
// Where the application's job refuses another job (Windows 7), the host
// breaks away from that job if it allows, else runs without a job of ours:
// the end of its pipe ends it all the same.
bool createInJob(const std::wstring &program, std::wstring &commandLine, PROCESS_INFORMATION &process, HANDLE &job,
                 HostChild &child) {
  job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (job && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    job = nullptr;
  }
  STARTUPINFOW start{};
  start.cb = sizeof start;
  const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &start,
                      &process)) {
    noteFailure(child, "CreateProcess");
    if (job) CloseHandle(job);
    return false;
  }
  if (!job || AssignProcessToJobObject(job, process.hProcess)) return true;
  bool joined = false;
  PROCESS_INFORMATION apart{};
  if (CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB,
                     nullptr, nullptr, &start, &apart)) {
    if ((joined = AssignProcessToJobObject(job, apart.hProcess))) std::swap(process, apart);
    TerminateProcess(apart.hProcess, 1);  // the one not taken
    CloseHandle(apart.hThread);
    CloseHandle(apart.hProcess);
  }
  if (!joined) {
    CloseHandle(job);
    job = nullptr;
  }
  return true;
}

}  // namespace

int64_t pipeReadSome(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs) {
  ULONGLONG deadline = timeoutMs == kWaitForever ? 0 : GetTickCount64() + timeoutMs;
  DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
  return transfer(handle(pipe.in), pipe.reading, true, data, chunk, deadline);
}

bool pipeWrite(const HostPipe &pipe, const void *data, size_t size) {
  auto *p = static_cast<char *>(const_cast<void *>(data));
  while (size) {
    DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    int64_t n = transfer(handle(pipe.out), pipe.writing, false, p, chunk, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void shutPipe(const HostPipe &pipe) {
  // A read or write of ours waiting on the pipe returns, and the host sees
  // the connection end (our side of a named pipe disconnects it); the
  // handles stay ours until the last holder closes them.
  if (pipe.in != -1) CancelIoEx(handle(pipe.in), nullptr);
  if (pipe.out != -1 && pipe.out != pipe.in) CancelIoEx(handle(pipe.out), nullptr);
  if (pipe.in != -1) DisconnectNamedPipe(handle(pipe.in));
}

void closePipe(HostPipe &pipe) {
  if (pipe.in != -1) CloseHandle(handle(pipe.in));
  if (pipe.out != -1 && pipe.out != pipe.in) CloseHandle(handle(pipe.out));
  for (intptr_t event : {pipe.reading, pipe.writing})
    if (event) CloseHandle(handle(event));
  pipe = HostPipe{};
}

HostPipe standardPipe() {
  // The protocol moves to handles of its own that no child inherits; the
  // standard handles and the runtime's descriptors 0 and 1 then lead to the
  // null device, so that nothing a module prints reaches the peer.
  HANDLE self = GetCurrentProcess(), in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(self, GetStdHandle(STD_INPUT_HANDLE), self, &in, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
      !DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &out, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    return HostPipe{};
  }
  int null = _open("NUL", _O_RDWR | _O_BINARY);
  if (null != -1) {
    std::fflush(stdout);
    _dup2(null, 0);
    _dup2(null, 1);
    _close(null);
    SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(0)));
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  }
  return pipeOf(in, out);
}

HostPipe namedPipe(const wchar_t *name) {
  HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return HostPipe{};
  return pipeOf(pipe, pipe);
}

bool startHost(const char *program, const char *module, HostChild &child) {
  child.failure[0] = '\0';
  std::wstring name;
  HANDLE pipe = createPipe(name);
  if (pipe == INVALID_HANDLE_VALUE) {
    noteFailure(child, "CreateNamedPipe");
    return false;
  }
  HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED connecting{};
  connecting.hEvent = connected;
  bool waiting = connected && !ConnectNamedPipe(pipe, &connecting) && GetLastError() == ERROR_IO_PENDING;
  std::wstring path = wide(program);
  std::wstring commandLine = L"\"" + path + L"\" --pipe " + name + L" \"" + wide(module) + L"\"";
  PROCESS_INFORMATION process{};
  HANDLE job = nullptr;
  bool ok = waiting && createInJob(path, commandLine, process, job, child);
  if (ok) {
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    // Until the host has opened the pipe, or has ended without.
    HANDLE either[2] = {connected, process.hProcess};
    DWORD which = WaitForMultipleObjects(2, either, FALSE, kConnectMs);
    DWORD client = 0, transferred = 0;
    ok = which == WAIT_OBJECT_0 && GetOverlappedResult(pipe, &connecting, &transferred, FALSE) &&
         GetNamedPipeClientProcessId(pipe, &client) && client == process.dwProcessId;
    if (!ok) {
      DWORD code = 0;
      if (which == WAIT_OBJECT_0 + 1 && GetExitCodeProcess(process.hProcess, &code))
        std::snprintf(child.failure, sizeof child.failure, "the host ended before it opened its pipe: exit %lu",
                      static_cast<unsigned long>(code));
      else if (which == WAIT_TIMEOUT)
        std::snprintf(child.failure, sizeof child.failure, "the host did not open its pipe within %lu s",
                      static_cast<unsigned long>(kConnectMs / 1000));
      else
        std::snprintf(child.failure, sizeof child.failure, "another process than the host opened its pipe");
      TerminateProcess(process.hProcess, 1);
      CloseHandle(process.hProcess);
      if (job) CloseHandle(job);
    }
  } else if (!child.failure[0]) {
    noteFailure(child, "ConnectNamedPipe");
  }
  if (!ok) {
    DWORD transferred = 0;
    if (waiting && CancelIoEx(pipe, &connecting)) GetOverlappedResult(pipe, &connecting, &transferred, TRUE);
    CloseHandle(pipe);
    if (connected) CloseHandle(connected);
    return false;
  }
  CloseHandle(connected);
  child.pipe = pipeOf(pipe, pipe);
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

// A host that does not leave when it is ended (a process held in a reader
// driver's I/O ends only when that returns): its handles are closed all the
// same and its job ends it when it can. Nothing here waits longer than
// graceMs and a short moment after the termination.
void endHost(HostChild &child, uint32_t graceMs, char *how, size_t size) {
  closePipe(child.pipe);
  if (!child.process) return;
  HANDLE process = handle(child.process);
  bool killed = WaitForSingleObject(process, graceMs) != WAIT_OBJECT_0;
  bool gone = !killed;
  if (killed) gone = TerminateProcess(process, 1) && WaitForSingleObject(process, kTerminateMs) == WAIT_OBJECT_0;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  if (how && size) {
    if (killed) std::snprintf(how, size, gone ? "ended" : "ended, still running");
    else if (code >= 0xC0000000u) std::snprintf(how, size, "exception 0x%08lX", static_cast<unsigned long>(code));
    else std::snprintf(how, size, "exit %lu", static_cast<unsigned long>(code));
  }
  CloseHandle(process);
  if (child.job) CloseHandle(handle(child.job));
  child.process = child.job = 0;
  child.pid = 0;
}

// Taken from user32 where the application has loaded it: one without it
// has no window in the foreground to give, and tokenhub imports no user32.
void allowForeground(const HostChild &child) {
  HMODULE user = GetModuleHandleW(L"user32.dll");
  void *found = user ? reinterpret_cast<void *>(GetProcAddress(user, "AllowSetForegroundWindow")) : nullptr;
  auto allow = reinterpret_cast<BOOL(WINAPI *)(DWORD)>(found);
  if (allow && child.pid) allow(child.pid);
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
  // The folder as this process sees it, and as the host of the other
  // bitness sees it.
  std::wstring other, theirs;
#ifdef _WIN64
  wchar_t wow[MAX_PATH];
  UINT n = GetSystemWow64DirectoryW(wow, MAX_PATH);
  if (n && n < MAX_PATH) theirs = other.assign(wow, n);
#else
  // A 32-bit process on 64-bit Windows sees the native System32 as
  // Sysnative, an alias that exists for 32-bit processes only: the 64-bit
  // host is started from there and handed the module in System32.
  BOOL wow64 = FALSE;
  wchar_t windows[MAX_PATH];
  UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64 && n && n < MAX_PATH) {
    other = std::wstring(windows, n) + L"\\Sysnative";
    theirs = std::wstring(windows, n) + L"\\System32";
  }
#endif
  if (other.empty() || !isFile(other + L"\\" + name) || !isFile(other + L"\\tokenhub-host.exe")) return false;
  return narrow(other + L"\\tokenhub-host.exe", program, programSize) && narrow(theirs + L"\\" + name, path, pathSize);
}

bool hostProgramPath(char *path, size_t size) {
  std::wstring folder = ownFolder();
  return !folder.empty() && narrow(folder + L"\\tokenhub-host.exe", path, size);
}

}  // namespace tokenhub
