// Records what the process writes to the debugger output while an instance
// lives. OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text's length
// and address; a first vectored handler sees it before the system's own
// handler turns it into debugger output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace launcher_testkit {

class DebugOutputCapture {
public:
  DebugOutputCapture() {
    current() = this;
    handler = AddVectoredExceptionHandler(1, &DebugOutputCapture::onException);
  }
  ~DebugOutputCapture() {
    RemoveVectoredExceptionHandler(handler);
    current() = nullptr;
  }
  DebugOutputCapture(const DebugOutputCapture &) = delete;
  DebugOutputCapture &operator=(const DebugOutputCapture &) = delete;

  const std::vector<std::string> &texts() const { return captured; }
  size_t count(const std::string &text) const {
    size_t n = 0;
    for (const std::string &t : captured) n += t == text;
    return n;
  }

private:
  static DebugOutputCapture *&current() {
    static DebugOutputCapture *instance = nullptr;
    return instance;
  }

  static LONG CALLBACK onException(EXCEPTION_POINTERS *info) {
    const EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 && current()) {
      const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
      const auto *text = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
      current()->captured.emplace_back(text, length ? length - 1 : 0);
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }

  PVOID handler = nullptr;
  std::vector<std::string> captured;
};

}  // namespace launcher_testkit
