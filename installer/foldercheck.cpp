// The package's custom action that refuses folders a user prepared below
// ProgramData before the first install. Every user may create folders in
// ProgramData: an Orvane or Orvane\Penwick folder that is a link to another
// place (a junction, a symbolic link) would make the installer, as SYSTEM,
// give the log folder's permissions and write files there; one that a user
// owns keeps files of that user's inside (a diagnostic log with the user's
// own permissions, through which the user reads every user's command
// lines). Run in the installation's script, as SYSTEM, before any folder is
// made. A diagnostic log that is there already (a removal keeps it, a user
// may have planted one) is taken over: owned by the Administrators, with
// the package's permissions for it; one that is a link to another file
// stops the install too. CustomActionData: the ProgramData folder
// ([CommonAppDataFolder]), "|", the log's security descriptor (SDDL).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

// The installation's own account counts too: on Windows that is SYSTEM (the
// check runs in the installer service), under Wine the one user of the
// prefix, who owns every file there.
bool ownAccount(PSID owner) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD bytes = 0;
  const bool same = GetTokenInformation(token, TokenUser, user, sizeof user, &bytes) &&
                    EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user)->User.Sid);
  CloseHandle(token);
  return same;
}

bool ownedByAdministrators(const std::wstring &path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const bool trusted = IsWellKnownSid(owner, WinLocalSystemSid) ||
                       IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ownAccount(owner);
  LocalFree(descriptor);
  return trusted;
}

// Why the folder may not be used, or nothing when it is absent or sound.
const wchar_t *refusal(const std::wstring &path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;  // the package makes it
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"is a link to another place (a junction or symbolic link)";
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return L"is a file, not a folder";
  if (!ownedByAdministrators(path)) return L"is owned neither by SYSTEM nor by the Administrators";
  return nullptr;
}

// Why the diagnostic log cannot be taken over, or nothing when it is absent or now the package's.
const wchar_t *takeOver(const std::wstring &path, const std::wstring &sddl) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;  // the package makes it
  BY_HANDLE_FILE_INFORMATION info{};
  const bool read = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!read) return L"cannot be read";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"is a link to another place";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return L"is a folder, not a file";
  if (info.nNumberOfLinks > 1) return L"is a hard link to another file";
  // Setting an owner other than oneself needs the restore privilege (SYSTEM holds it).
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid))
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return L"cannot be given the package's permissions";
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  DWORD result = ERROR_INVALID_SECURITY_DESCR;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) &&
      GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present)
    result = SetNamedSecurityInfoW(const_cast<wchar_t *>(path.c_str()), SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                       PROTECTED_DACL_SECURITY_INFORMATION,
                                   owner, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return result == ERROR_SUCCESS ? nullptr : L"cannot be given the package's owner and permissions";
}

// An error message (a box with a user interface, a line in the log in any
// case) and an information line for the log.
void report(MSIHANDLE install, const std::wstring &text) {
  for (INSTALLMESSAGE kind : {INSTALLMESSAGE_INFO, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR)}) {
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, text.c_str());
    MsiProcessMessage(install, kind, record);
  }
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckDataFolders(MSIHANDLE install) {
  wchar_t data[MAX_PATH + 1] = L"";
  DWORD length = MAX_PATH;
  if (MsiGetPropertyW(install, L"CustomActionData", data, &length) != ERROR_SUCCESS || length == 0) {
    report(install, L"Penwick: the ProgramData folder is not known.");
    return ERROR_INSTALL_FAILURE;
  }
  std::wstring given(data, length);
  const size_t bar = given.find(L'|');
  std::wstring folder = given.substr(0, bar), sddl = bar == std::wstring::npos ? L"" : given.substr(bar + 1);
  if (folder.empty() || sddl.empty()) {
    report(install, L"Penwick: the ProgramData folder is not known.");
    return ERROR_INSTALL_FAILURE;
  }
  if (folder.back() != L'\\') folder += L'\\';
  for (const wchar_t *below : {L"Orvane", L"Orvane\\Penwick"}) {
    const std::wstring path = folder + below;
    if (const wchar_t *why = refusal(path)) {
      report(install, L"Penwick cannot be installed: the folder " + path + L" " + why +
                          L". Someone made it before Penwick was installed; an administrator should check it "
                          L"and delete it, then install again.");
      return ERROR_INSTALL_FAILURE;
    }
  }
  const std::wstring log = folder + L"Orvane\\Penwick\\launcherlauncher.log";
  if (const wchar_t *why = takeOver(log, sddl)) {
    report(install, L"Penwick cannot be installed: the diagnostic log " + log + L" " + why +
                        L". An administrator should check it and delete it, then install again.");
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}
