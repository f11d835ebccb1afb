// UTF-16 to UTF-8 for the launcher's test programs: paths handed to the
// standard library, records and messages.
#pragma once

#include <windows.h>

#include <string>

namespace launcher_testkit {

inline std::string utf8(const std::wstring &text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace launcher_testkit
