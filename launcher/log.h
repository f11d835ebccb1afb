// The launcher's diagnostic log: one file per machine and executable name
// below the program-data directory, appended to by every run. Problems of the
// log itself go to the debugger output.
#pragma once

#include <windows.h>

namespace launcher {

// `sourceFile` may carry directories and an extension; the line shows only
// the file's base name.
void logMessage(const char *sourceFile, int line, const char *function, const char *pattern, ...)
    __attribute__((format(ms_printf, 4, 5)));
void logSystemError(const char *sourceFile, int line, const char *function, DWORD errorCode, const char *pattern,
                    ...) __attribute__((format(ms_printf, 5, 6)));

}  // namespace launcher

#define LOG_MESSAGE(...) ::launcher::logMessage(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define LOG_MESSAGE_IN(function, ...) ::launcher::logMessage(__FILE__, __LINE__, function, __VA_ARGS__)
#define LOG_SYSTEM_ERROR(code, ...) ::launcher::logSystemError(__FILE__, __LINE__, __func__, code, __VA_ARGS__)
#define LOG_SYSTEM_ERROR_IN(function, code, ...) \
  ::launcher::logSystemError(__FILE__, __LINE__, function, code, __VA_ARGS__)
