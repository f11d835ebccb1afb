// Starting one Java process with a reduced environment, its output in log
// files and its own current directory. The launcher never waits for it.
#pragma once

#include "CppTool.h"

namespace launcher {

// `environment` holds the composed PATH entry; the inherited system variables
// that are passed are added to it. 0 when the child was started, else 7.
int startProcess(const wchar_t *outLog, const wchar_t *errLog, const wchar_t *application,
                 const wchar_t *currentDirectory, const wchar_t *command, MultiString &environment);

}  // namespace launcher
