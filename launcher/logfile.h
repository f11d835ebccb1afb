// The diagnostic log's file: where it lies, when it is opened, whether lines
// reach it. The two logging operations (log.h) write through it; it builds its
// path with the string utilities, which themselves report through log.h.
#pragma once

#include <windows.h>

namespace launcher {

// Opens the log file on first use; later calls keep the first outcome.
void openLog();

// The log file's path once a line has tried to open it (none before), and
// whether lines reach it.
const wchar_t *logPath();
bool logUsable();

// Forgets the open log file, so that the next line opens it again. The
// launcher itself never reopens its log; the test suites move it between runs.
void forgetLogFile();

}  // namespace launcher
