// Windows: WinSCard (the ...A functions), backend modules by full path and
// critical sections.
#include <windows.h>
#include <aclapi.h>
#include <winscard.h>

#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <new>

#include "platform/platform.h"

namespace tokenhub {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "lock storage too small");

PcscResult establishContext(PcscContext *context) {
  SCARDCONTEXT c = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c);
  *context = static_cast<PcscContext>(c);
  return rv;
}

PcscResult releaseContext(PcscContext context) { return SCardReleaseContext(static_cast<SCARDCONTEXT>(context)); }

PcscResult getStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState *states, uint32_t count) {
  SCARD_READERSTATEA native[32] = {};
  if (count > 32) count = 32;
  for (uint32_t i = 0; i < count; ++i) {
    native[i].szReader = states[i].reader;
    native[i].dwCurrentState = states[i].currentState;
  }
  LONG rv = SCardGetStatusChangeA(static_cast<SCARDCONTEXT>(context), timeoutMs, native, count);
  for (uint32_t i = 0; i < count; ++i) {
    states[i].eventState = native[i].dwEventState;
    DWORD n = native[i].cbAtr <= sizeof(states[i].atr) ? native[i].cbAtr : sizeof(states[i].atr);
    states[i].atrLength = n;
    CopyMemory(states[i].atr, native[i].rgbAtr, n);
  }
  return rv;
}

PcscResult connect(PcscContext context, const char *reader, uint32_t shareMode, uint32_t preferredProtocols,
                   PcscCard *card, uint32_t *activeProtocol) {
  SCARDHANDLE h = 0;
  DWORD protocol = 0;
  LONG rv = SCardConnectA(static_cast<SCARDCONTEXT>(context), reader, shareMode, preferredProtocols, &h, &protocol);
  *card = static_cast<PcscCard>(h);
  *activeProtocol = protocol;
  return rv;
}

PcscResult beginTransaction(PcscCard card) { return SCardBeginTransaction(static_cast<SCARDHANDLE>(card)); }
PcscResult endTransaction(PcscCard card, uint32_t disposition) {
  return SCardEndTransaction(static_cast<SCARDHANDLE>(card), disposition);
}

PcscResult status(PcscCard card, char *readerName, uint32_t *readerLength, uint32_t *state, uint32_t *protocol,
                  uint8_t *atr, uint32_t *atrLength) {
  DWORD nameLength = *readerLength, st = 0, proto = 0, atrLen = *atrLength;
  LONG rv = SCardStatusA(static_cast<SCARDHANDLE>(card), readerName, &nameLength, &st, &proto, atr, &atrLen);
  *readerLength = nameLength;
  *state = st;
  *protocol = proto;
  *atrLength = atrLen;
  return rv;
}

PcscResult reconnect(PcscCard card, uint32_t shareMode, uint32_t preferredProtocols, uint32_t initialization,
                     uint32_t *activeProtocol) {
  DWORD protocol = 0;
  LONG rv = SCardReconnect(static_cast<SCARDHANDLE>(card), shareMode, preferredProtocols, initialization, &protocol);
  *activeProtocol = protocol;
  return rv;
}

PcscResult transmit(PcscCard card, uint32_t protocol, const uint8_t *command, uint32_t commandLength,
                    uint8_t *response, uint32_t *responseLength) {
  SCARD_IO_REQUEST sendPci = {protocol, sizeof(SCARD_IO_REQUEST)};
  DWORD length = *responseLength;
  LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(card), &sendPci, command, commandLength, nullptr, response, &length);
  *responseLength = length;
  return rv;
}

PcscResult disconnect(PcscCard card, uint32_t disposition) {
  return SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition);
}

PcscResult cancel(PcscContext context) { return SCardCancel(static_cast<SCARDCONTEXT>(context)); }

PcscResult listReaders(PcscContext context, char *names, uint32_t *length) {
  DWORD n = *length;
  LONG rv = SCardListReadersA(static_cast<SCARDCONTEXT>(context), nullptr, names, &n);
  *length = static_cast<uint32_t>(n);
  return rv;
}

// The card service's started event, set while the service runs. It is
// taken for each wait only: holding it would keep nothing alive, and a
// module unloaded without C_Finalize leaves no reference behind.
bool awaitService(uint32_t timeoutMs) {
  HANDLE started = SCardAccessStartedEvent();
  if (!started) return true;
  DWORD waited = WaitForSingleObject(started, timeoutMs);
  SCardReleaseStartedEvent();
  return waited != WAIT_TIMEOUT;
}

const PcscApi winscard = {establishContext, releaseContext, getStatusChange, connect,    beginTransaction,
                          endTransaction,   status,         reconnect,       transmit,   disconnect,
                          cancel,           listReaders,    awaitService};

// Paths are built in fixed buffers: loading a backend allocates nothing, so
// a host that is short of memory gets an answer, not an exception.
constexpr DWORD kPathRoom = 8192;

// The folder that holds this code (tokenhub.dll, or the test program that
// links the router in), without the final backslash, in `folder`; its length,
// 0 when unknown.
size_t ownFolder(wchar_t (&folder)[kPathRoom]) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ownFolder), &self))
    return 0;
  DWORD length = GetModuleFileNameW(self, folder, kPathRoom);
  if (length == 0 || length >= kPathRoom) return 0;  // cut to the buffer: no folder to trust
  while (length > 0 && folder[length - 1] != L'\\') --length;
  if (length == 0) return 0;
  folder[--length] = L'\0';
  return length;
}

// The system directory, as the folder the loader really searches: a 32-bit
// process on 64-bit Windows is given SysWOW64 when it asks for System32, so
// it names SysWOW64 (and the trace says where a backend was looked for).
size_t systemFolder(wchar_t (&folder)[kPathRoom]) {
  BOOL wow64 = FALSE;
  auto ask = IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? GetSystemWow64DirectoryW : GetSystemDirectoryW;
  UINT length = ask(folder, kPathRoom);
  return length == 0 || length >= kPathRoom ? 0 : length;
}

void (*loadObserver)(const char *path, void *module) = nullptr;

// A full path as UTF-8 for the observer, keeping the loader's error for it.
void reportLoad(const wchar_t *path, HMODULE module) {
  DWORD error = GetLastError();
  char text[3 * kPathRoom];
  if (WideCharToMultiByte(CP_UTF8, 0, path, -1, text, sizeof text, nullptr, nullptr) == 0) text[0] = '\0';
  SetLastError(error);
  loadObserver(text, reinterpret_cast<void *>(module));
}

// The first candidate that loads wins: a file that is there but cannot be
// loaded (another architecture, a dependency missing) gives way to the next
// place. The DLLs that the backend imports are looked for only in its own
// folder and the system directory, never in the current directory or on
// PATH, where a planted helper DLL would run with the card and the PIN. The
// process's DLL search stays as the host set it (no SetDllDirectory).
// Those search flags need Windows 8, or Windows 7 with its loader update
// (KB2533623), which is when kernel32 has AddDllDirectory; a Windows 7
// without it refuses them, and gets the backend's own folder first as before.
// Asked at each load, not kept in a function's static: its guard would start
// the threads library's per-thread record, which an unload cannot give back.
DWORD backendSearch() {
  return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory")
             ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
             : LOAD_WITH_ALTERED_SEARCH_PATH;
}

// Where a backend module is looked for, as full paths in order: beside
// tokenhub.dll, then in the system directory. Never the current directory or
// PATH: a DLL planted in a document folder would run inside the process that
// holds the card and the PIN.
void *load(const char *fileName) {
  size_t nameLength = std::strlen(fileName);  // the backends' file names are ASCII
  for (auto folderOf : {ownFolder, systemFolder}) {
    wchar_t path[kPathRoom];
    size_t length = folderOf(path);
    if (length == 0 || length + 1 + nameLength >= kPathRoom) continue;
    path[length++] = L'\\';
    for (size_t i = 0; i <= nameLength; ++i) path[length + i] = static_cast<wchar_t>(fileName[i]);
    HMODULE module = LoadLibraryExW(path, nullptr, backendSearch());
    if (loadObserver) reportLoad(path, module);
    if (module) return reinterpret_cast<void *>(module);
  }
  return nullptr;
}
void *symbol(void *module, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void unload(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }

const ModuleApi loader = {load, symbol, unload};

CRITICAL_SECTION *section(unsigned char *storage) { return reinterpret_cast<CRITICAL_SECTION *>(storage); }

wchar_t tracePath[1024];
HANDLE traceFile = INVALID_HANDLE_VALUE;
// Group Policy writes the machine's switches here, and removes them when the
// policy is no longer configured; the package, reg.exe and an administrator
// by hand write the settings key. A value under the policy key wins.
const wchar_t kPolicyKey[] = L"Software\\Policies\\Varenzo\\tokenhub";
const wchar_t kSettingsKey[] = L"Software\\Varenzo\\tokenhub";

// Always the machine's own (64-bit) view of a key: a 32-bit tokenhub on
// 64-bit Windows would otherwise read the separate WOW6432Node copy, which
// reg.exe, the package and Group Policy do not set.
HKEY openSettings(HKEY root, const wchar_t *name) {
  HKEY key = nullptr;
  return RegOpenKeyExW(root, name, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS ? key : nullptr;
}

// The value's text when it names something (a REG_EXPAND_SZ value comes
// expanded, %TEMP% with this process's own variables).
bool registryPath(HKEY root, const wchar_t *name) {
  HKEY key = openSettings(root, name);
  if (!key) return false;
  DWORD bytes = sizeof tracePath;
  bool named = RegGetValueW(key, nullptr, L"LogFile", RRF_RT_REG_SZ, nullptr, tracePath, &bytes) == ERROR_SUCCESS &&
               tracePath[0] != L'\0';
  RegCloseKey(key);
  return named;
}

bool machinePath() {
  return registryPath(HKEY_LOCAL_MACHINE, kPolicyKey) || registryPath(HKEY_LOCAL_MACHINE, kSettingsKey);
}

// A full path: a drive letter, a colon and a backslash, or \\server\. A
// relative one (an unset variable left as %NAME%, a bare file name) would
// name a file in whatever folder each program happens to run in.
bool fullPath(const wchar_t *path) {
  const bool drive = ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' && path[2] == L'\\';
  const bool share = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\0' && path[2] != L'\\' &&
                     wcschr(path + 3, L'\\') != nullptr;
  return drive || share;
}

}  // namespace

const PcscApi &platformPcsc() { return winscard; }
const ModuleApi &platformModules() { return loader; }
void setModuleLoadObserver(void (*observer)(const char *path, void *module)) { loadObserver = observer; }
const char *moduleSuffix() { return ".dll"; }
void afterForkInChild(void (*)()) {}
void platformSleepMilliseconds(uint32_t ms) { Sleep(ms); }
uint64_t monotonicMilliseconds() { return GetTickCount64(); }

uint32_t moduleLoadError(char *text, uint32_t size) {
  DWORD code = GetLastError();
  if (size == 0) return code;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, size,
                           nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  text[n < size ? n : size - 1] = '\0';
  return code;
}

bool modulePath(void *module, char *path, uint32_t size) {
  DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), path, size);
  return n > 0 && n < size;
}

LocalTime localTime() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

uint32_t processId() { return GetCurrentProcessId(); }
uint64_t threadId() { return GetCurrentThreadId(); }

// An elevated process: an administrator's full token, or a service's.
bool elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool result = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return result;
}

// The environment variable wins: a Java program started by the launcher has
// only the launcher's reduced environment, so the registry is the other way
// in. An elevated process takes the switch only from the machine's value:
// the environment and the current user's value are the user's to set, and
// would let a program without rights make an elevated one write where it
// cannot.
// A path from the registry counts only when it is a full path.
bool readTraceSwitch() {
  if (elevated()) return machinePath() && fullPath(tracePath);
  DWORD n = GetEnvironmentVariableW(L"TOKENHUB_LOG", tracePath, ARRAYSIZE(tracePath));
  if (n > 0 && n < ARRAYSIZE(tracePath)) return true;
  return (registryPath(HKEY_CURRENT_USER, kSettingsKey) || machinePath()) && fullPath(tracePath);
}

namespace {
// 1, 0, or -1 when the key holds no such number.
int registryFlag(HKEY root, const wchar_t *keyName, const wchar_t *name) {
  HKEY key = openSettings(root, keyName);
  if (!key) return -1;
  DWORD value = 0, bytes = sizeof value;
  bool read = RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) == ERROR_SUCCESS;
  RegCloseKey(key);
  return read ? value == 1 : -1;
}

// The policy's value when it has one (a disabled policy's 0 included).
bool machineFlag(const wchar_t *name) {
  int policy = registryFlag(HKEY_LOCAL_MACHINE, kPolicyKey, name);
  return policy >= 0 ? policy == 1 : registryFlag(HKEY_LOCAL_MACHINE, kSettingsKey, name) == 1;
}
}  // namespace

bool readHostBackendsSwitch() {
  if (elevated()) return machineFlag(L"HostBackends");
  return registryFlag(HKEY_CURRENT_USER, kSettingsKey, L"HostBackends") == 1 || machineFlag(L"HostBackends");
}

// The file's identity: its volume and its index there.
bool fileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION *info) {
  return GetFileInformationByHandle(file, info) != 0;
}

namespace {
// Whether an elevated process may write the file: owned by SYSTEM, the
// Administrators, or this process's own account (a file it created itself).
// A file that a user without rights created, or that such a user owns, in a
// folder every user may write (C:\Windows\Temp) would otherwise take an
// elevated program's lines wherever that user wants them.
bool ownedByAdministrators(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  bool trusted = IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  HANDLE token = nullptr;
  if (!trusted && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD bytes = 0;
    trusted = GetTokenInformation(token, TokenUser, user, sizeof user, &bytes) &&
              EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
    CloseHandle(token);
  }
  LocalFree(descriptor);
  return trusted;
}
}  // namespace

bool traceFileOpen(uint64_t *size) {
  traceFileClose();
  // A name in the device namespace (\\.\pipe\..., \\?\GLOBALROOT\...) would
  // connect to whatever serves it: refused before anything is opened. A pipe
  // reached otherwise (a share's \pipe) would meet an anonymous client only.
  if (wcsncmp(tracePath, L"\\\\.\\", 4) == 0 || wcsncmp(tracePath, L"\\\\?\\", 4) == 0) return false;
  // Shared for deletion too, so that another process can rotate the file.
  // The reparse point itself is opened, never what it points to, and then refused.
  traceFile = CreateFileW(tracePath, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                              SECURITY_ANONYMOUS,
                          nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER existing{};
  if (traceFile == INVALID_HANDLE_VALUE || GetFileType(traceFile) != FILE_TYPE_DISK ||
      !fileIdentity(traceFile, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ||
      // A second name (a hard link a user made to a file of someone else's)
      // is no file of the trace's.
      info.nNumberOfLinks > 1 || (elevated() && !ownedByAdministrators(traceFile)) ||
      !GetFileSizeEx(traceFile, &existing)) {
    traceFileClose();
    return false;
  }
  *size = static_cast<uint64_t>(existing.QuadPart);
  return true;
}

uint32_t traceFileHead(char *text, uint32_t size) {
  OVERLAPPED at{};  // offset 0
  DWORD n = 0;
  if (traceFile == INVALID_HANDLE_VALUE || !ReadFile(traceFile, text, size, &n, &at)) return 0;
  return n;
}

bool traceFileSize(uint64_t *size) {
  LARGE_INTEGER existing{};
  if (traceFile == INVALID_HANDLE_VALUE || !GetFileSizeEx(traceFile, &existing)) return false;
  *size = static_cast<uint64_t>(existing.QuadPart);
  return true;
}

bool traceFileWrite(const char *text, uint32_t length) {
  DWORD written = 0;
  return traceFile != INVALID_HANDLE_VALUE && WriteFile(traceFile, text, length, &written, nullptr) &&
         written == length;
}

void traceFileClose() {
  if (traceFile != INVALID_HANDLE_VALUE) CloseHandle(traceFile);
  traceFile = INVALID_HANDLE_VALUE;
}

// The name still names the open file (no other process has rotated it away).
bool nameNamesOpenFile() {
  HANDLE named = CreateFileW(tracePath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  bool same = fileIdentity(named, &a) && fileIdentity(traceFile, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
              a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

bool traceFileRotate(bool (*isOurs)(const char *head, uint32_t length), bool *reopened) {
  *reopened = false;
  if (traceFile == INVALID_HANDLE_VALUE) return false;
  // The lock is on the open file's last possible byte, far past what is
  // written: every process that has the file open waits here, and the one
  // after the rename finds the name naming another file.
  OVERLAPPED lockAt{};
  lockAt.Offset = 0xFFFFFFFEu;
  lockAt.OffsetHigh = 0x7FFFFFFFu;
  if (!LockFileEx(traceFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt)) return true;
  bool current = nameNamesOpenFile();
  char head[256];
  bool renamed = false;
  if (current && isOurs(head, traceFileHead(head, sizeof head))) {
    wchar_t older[ARRAYSIZE(tracePath) + 2];
    size_t n = wcslen(tracePath);
    wmemcpy(older, tracePath, n);
    wmemcpy(older + n, L".1", 3);
    renamed = MoveFileExW(tracePath, older, MOVEFILE_REPLACE_EXISTING) != 0;
  }
  if (current && !renamed) {
    UnlockFileEx(traceFile, 0, 1, 0, &lockAt);
    return true;
  }
  HANDLE locked = traceFile;
  traceFile = INVALID_HANDLE_VALUE;
  uint64_t size = 0;
  bool opened = traceFileOpen(&size);
  UnlockFileEx(locked, 0, 1, 0, &lockAt);
  CloseHandle(locked);
  *reopened = opened;
  return opened;
}

void Lock::create() {
  InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
  created_ = true;
}
void Lock::destroy() {
  if (created_) DeleteCriticalSection(section(storage_));
  created_ = false;
}
void Lock::enter() { EnterCriticalSection(section(storage_)); }
bool Lock::tryEnter() { return TryEnterCriticalSection(section(storage_)) != 0; }
void Lock::leave() { LeaveCriticalSection(section(storage_)); }

}  // namespace tokenhub
