// Who runs this launcher: the account and the Windows session. Many users
// share one machine and one log folder; their lines and files are told apart
// by these.
#pragma once

#include <windows.h>

#include <string>

namespace launcher {

struct Account {
  std::wstring domain;  // empty when the system names none
  std::wstring name;    // the account name, or its SID when it has no name
  // The name in characters that every code page keeps: ASCII letters,
  // digits, ".", "-" and "_" as they are, any other character as "~" and its
  // four hex digits (Łukasz is ~0141ukasz). Java reads its options through
  // the system's 8-bit code page, where a name beyond it would become "?".
  std::wstring portableName;
  DWORD session = 0;
};

// Looked up once, at the first call.
const Account &runningAccount();

}  // namespace launcher
