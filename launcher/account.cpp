// The account comes from the process token, not from USERNAME: the
// environment is the caller's to set, and one user could otherwise write
// under another's name.
#include "account.h"

#include <sddl.h>

#include <cwchar>
#include <vector>

#include "CppTool.h"

namespace launcher {
namespace {

// The token's user SID, in a block that `buffer` owns; none when the token
// cannot be read.
PSID tokenUser(std::vector<BYTE> &buffer) {
  OwnedHandle token;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    LOG_SYSTEM_ERROR_IN("runningAccount", GetLastError(), "OpenProcessToken ");
    return nullptr;
  }
  token.reset(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);  // measures
  buffer.resize(size ? size : 1);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    LOG_SYSTEM_ERROR_IN("runningAccount", GetLastError(), "GetTokenInformation ");
    return nullptr;
  }
  return reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid;
}

void nameAccount(Account &account, PSID sid) {
  DWORD nameUnits = 0, domainUnits = 0;
  SID_NAME_USE use;
  LookupAccountSidW(nullptr, sid, nullptr, &nameUnits, nullptr, &domainUnits, &use);  // measures
  std::wstring name(nameUnits, L'\0'), domain(domainUnits, L'\0');
  if (nameUnits && LookupAccountSidW(nullptr, sid, name.data(), &nameUnits, domain.data(), &domainUnits, &use)) {
    name.resize(nameUnits);
    domain.resize(domainUnits);
    account.name = name;
    account.domain = domain;
    return;
  }
  LOG_SYSTEM_ERROR_IN("runningAccount", GetLastError(), "LookupAccountSid ");
  wchar_t *text = nullptr;
  if (ConvertSidToStringSidW(sid, &text)) {
    account.name = text;
    LocalFree(text);
  }
}

std::wstring portable(const std::wstring &name) {
  std::wstring kept;
  for (wchar_t c : name) {
    if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' || c == L'-' ||
        c == L'_') {
      kept += c;
      continue;
    }
    wchar_t escaped[6];
    std::swprintf(escaped, 6, L"~%04X", static_cast<unsigned>(c));
    kept += escaped;
  }
  return kept;
}

Account lookUp() {
  Account account;
  std::vector<BYTE> buffer;
  if (PSID sid = tokenUser(buffer)) nameAccount(account, sid);
  account.portableName = portable(account.name);
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &account.session))
    LOG_SYSTEM_ERROR_IN("runningAccount", GetLastError(), "ProcessIdToSessionId ");
  return account;
}

}  // namespace

const Account &runningAccount() {
  static const Account account = lookUp();
  return account;
}

}  // namespace launcher
