// A child gets PATH as composed from the configuration and only the system
// variables below from the launcher's own environment: Java and the signing
// application must not see whatever the user's session happens to define.
#include "startProcess.h"

#include "account.h"
#include "notice.h"

namespace launcher {
namespace {

struct Prefix {
  const wchar_t *text;
  size_t length;
};

// Compared with the start of each entry, "=" included, in any letter case:
// Windows' own names are case-blind, and a program that starts the launcher
// may hand on SYSTEMROOT or Temp as it spells them. Java's sockets need
// SystemRoot; its Kerberos (proxy and domain sign-in) finds the realm and the
// domain controller through USERDNSDOMAIN and LOGONSERVER; windir, PATHEXT
// and ComSpec are what programs Java starts expect of any Windows.
constexpr Prefix kPassedVariables[] = {
    {L"ALLUSERSPROFILE=", 16}, {L"APPDATA=", 8},         {L"COMPUTERNAME=", 13},      {L"LOCALAPPDATA=", 13},
    {L"OS=", 3},               {L"ProgramData=", 12},    {L"ProgramFiles=", 13},      {L"ProgramFiles(x86)=", 18},
    {L"ProgramW6432=", 13},    {L"PUBLIC=", 7},          {L"SystemDrive=", 12},       {L"SystemRoot=", 11},
    {L"TEMP=", 5},             {L"TMP=", 4},             {L"USERDOMAIN=", 11},        {L"USERNAME=", 9},
    {L"USERPROFILE=", 12},     {L"USERDNSDOMAIN=", 14},  {L"LOGONSERVER=", 12},       {L"windir=", 7},
    {L"PATHEXT=", 8},          {L"ComSpec=", 8},
};

// CreateProcessW takes a command line of at most 32767 characters, its NUL
// included. Windows refuses a longer one, but Wine cuts it and starts the
// child with part of its options and no -jar, so the launcher refuses it
// itself, as Windows does.
constexpr size_t kCommandLineUnits = 32767;
// A current directory holds at most MAX_PATH characters with the backslash
// Windows adds and the NUL. Wine corrupts its heap on a longer one and the
// launcher dies without a word, so such a start is refused the same way.
constexpr size_t kDirectoryUnits = MAX_PATH - 2;

bool beyondLimits(const wchar_t *commandLine, const wchar_t *currentDirectory) {
  return std::wcslen(commandLine) >= kCommandLineUnits || std::wcslen(currentDirectory) > kDirectoryUnits;
}

bool isPassed(const wchar_t *entry) {
  for (const Prefix &prefix : kPassedVariables)
    if (_wcsnicmp(entry, prefix.text, prefix.length) == 0) return true;
  return false;
}

// Children's standard handles are inherited, so each start opens its own.
SECURITY_ATTRIBUTES inheritable() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;
  return attributes;
}

// An output log is emptied at each start and then written by the child
// alone: others may read it, not write it, so that while one child still
// writes its log, another start cannot open it.
HANDLE openOutput(const wchar_t *name) {
  SECURITY_ATTRIBUTES attributes = inheritable();
  return CreateFileW(name, FILE_APPEND_DATA, FILE_SHARE_READ, &attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// A log that another running Java still writes (it shares no writing), or
// that this user may not open (another user's, or read-only), is left alone:
// the child writes beside it, to the name with this user's account before the
// last extension (out_launcher.alice.log), and when this user's other Java
// still writes that one, to the name with this launcher's process id as well
// (out_launcher.alice.4711.log), which no other running launcher can take.
bool takenByAnother(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED; }

HANDLE openOutputOrBeside(const char *key, const wchar_t *name) {
  HANDLE file = openOutput(name);
  if (file != INVALID_HANDLE_VALUE || !takenByAnother(GetLastError())) return file;
  LOG_SYSTEM_ERROR_IN("startProcess", GetLastError(), "%S ", name);
  const wchar_t *base = name;
  for (const wchar_t *p = name; *p; ++p)
    if (*p == L'\\' || *p == L'/') base = p + 1;
  const wchar_t *dot = std::wcsrchr(base, L'.');
  const int stem = static_cast<int>((dot ? dot : base + std::wcslen(base)) - name);
  const wchar_t *user = runningAccount().name.c_str();
  const unsigned long pid = GetCurrentProcessId();
  for (const bool withPid : {false, true}) {
    WideString beside;
    const int formed = withPid ? format(beside, L"%.*s.%s.%lu%s", stem, name, user, pid, name + stem)
                               : format(beside, L"%.*s.%s%s", stem, name, user, name + stem);
    if (formed != kOk) return INVALID_HANDLE_VALUE;
    file = openOutput(beside.get());
    if (file != INVALID_HANDLE_VALUE) {
      LOG_MESSAGE_IN("startProcess", "%s=%S\n", key, beside.get());
      return file;
    }
    if (!takenByAnother(GetLastError())) break;
    LOG_SYSTEM_ERROR_IN("startProcess", GetLastError(), "%S ", beside.get());
  }
  return INVALID_HANDLE_VALUE;
}

// What the person is told when CreateProcessW refuses the start.
void noteRefusedStart(DWORD error, const wchar_t *application, const wchar_t *currentDirectory) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME)
    noteFailure(Failure::javaMissing, application);
  else if (error == ERROR_DIRECTORY)
    noteFailure(Failure::dataFolder, currentDirectory);
  else
    noteFailure(Failure::startRefused, application, static_cast<int>(error));
}

// The handles a child may inherit, as a thread attribute list: its three
// standard handles and nothing else. Handle inheritance on its own would hand
// on every inheritable handle the launcher holds, the standard handles its
// own parent gave it among them; a parent that captures the launcher's output
// would then wait for the end of it until Java exits. Clearing the inherit
// flag of the launcher's own standard handles would not do: any other handle
// its parent let it inherit would still reach Java.
class HandleList {
public:
  HandleList() = default;
  ~HandleList() {
    if (initialised) DeleteProcThreadAttributeList(list);
    std::free(list);
  }
  HandleList(const HandleList &) = delete;
  HandleList &operator=(const HandleList &) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list; }

  // The list refers to `handles`, which must outlive the start.
  int build(HANDLE *handles, size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // measures
    list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(allocateBlock(size ? size : 1, 1));
    if (!list) {
      LOG_MESSAGE_IN("startProcess", "%s", kAllocationError);
      return kFailed;
    }
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      LOG_SYSTEM_ERROR_IN("startProcess", GetLastError(), "InitializeProcThreadAttributeList ");
      return kFailed;
    }
    initialised = true;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                   nullptr, nullptr)) {
      LOG_SYSTEM_ERROR_IN("startProcess", GetLastError(), "UpdateProcThreadAttribute ");
      return kFailed;
    }
    return kOk;
  }

private:
  LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
  bool initialised = false;
};

// Adds the passed variables of the launcher's own environment. A block that
// cannot be built whole is no block: the caller starts nothing with it.
int addPassedVariables(MultiString &environment) {
  wchar_t *own = GetEnvironmentStringsW();
  if (!own) {
    LOG_SYSTEM_ERROR_IN("startProcess", GetLastError(), " ");
    return kFailed;
  }
  int result = kOk;
  for (const wchar_t *entry = own; *entry && result == kOk; entry += std::wcslen(entry) + 1)
    if (isPassed(entry)) result = add(environment, entry);
  FreeEnvironmentStringsW(own);
  return result;
}

}  // namespace

int startProcess(const wchar_t *outLog, const wchar_t *errLog, const wchar_t *application,
                 const wchar_t *currentDirectory, const wchar_t *command, MultiString &environment) {
  // An absent block would hand Java the launcher's whole environment.
  if (!application || !currentDirectory) noteFailure(Failure::settingMissing, application ? L"data_dir" : L"exec");
  if (!application || !currentDirectory || !command || !environment.get()) return kFailed;
  if (addPassedVariables(environment) != kOk) return kFailed;

  LOG_MESSAGE("----\n");
  for (const wchar_t *entry = environment.get(); entry && *entry; entry += std::wcslen(entry) + 1)
    LOG_MESSAGE("%S\n", entry);
  LOG_MESSAGE("----\n");

  const wchar_t *outName = outLog ? outLog : L"NUL";
  const wchar_t *errName = errLog ? errLog : L"NUL";
  LOG_MESSAGE("outLog=%S\n", outName);
  LOG_MESSAGE("errLog=%S\n", errName);

  OwnedHandle output(openOutputOrBeside("outLog", outName));
  if (!output.valid()) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    noteFailure(Failure::outputLog, outName);
    return kFailed;
  }
  OwnedHandle error(openOutputOrBeside("errLog", errName));
  if (!error.valid()) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    noteFailure(Failure::outputLog, errName);
    return kFailed;
  }
  SECURITY_ATTRIBUTES attributes = inheritable();
  OwnedHandle input(CreateFileW(L"NUL", FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = output.get();
  startup.StartupInfo.hStdError = error.get();
  // Only valid handles may be listed; a null device that did not open leaves
  // the child without standard input, as before.
  HANDLE standard[3] = {output.get(), error.get(), input.get()};
  HandleList inheritedHandles;
  if (inheritedHandles.build(standard, input.valid() ? 3 : 2) != kOk) return kFailed;
  startup.lpAttributeList = inheritedHandles.get();

  // CreateProcessW may write into the command line, so it gets its own copy.
  WideString commandLine;
  if (format(commandLine, L"\"%s\" %s", application, command) != kOk) return kFailed;

  LOG_MESSAGE("application=%S\n", application);
  LOG_MESSAGE("commandLine=%S\n", commandLine.get());
  LOG_MESSAGE("currentDirectory=%S\n", currentDirectory);

  if (beyondLimits(commandLine.get(), currentDirectory)) {
    LOG_SYSTEM_ERROR(ERROR_FILENAME_EXCED_RANGE, "CreateProcess ");
    noteRefusedStart(ERROR_FILENAME_EXCED_RANGE, application, currentDirectory);
    return kFailed;
  }
  // The child's standard handles are the logs and the null device, so a
  // console Java (java.exe) gets no console window of its own beside the
  // application.
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(application, commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW,
                      const_cast<wchar_t *>(environment.get()), currentDirectory, &startup.StartupInfo, &started)) {
    const DWORD error = GetLastError();
    LOG_SYSTEM_ERROR(error, "CreateProcess ");
    noteRefusedStart(error, application, currentDirectory);
    return kFailed;
  }
  CloseHandle(started.hProcess);
  CloseHandle(started.hThread);
  return kOk;
}

}  // namespace launcher
