// Diagnostic log: dated lines appended to
// <programData>\Orvane\Penwick\launcher<moduleName>.log. Several launchers
// may run at once (a second user on a terminal server, a double double-click),
// all appending to the one file: it is opened for appending only and shared
// for writing, and each line goes out whole in one write, which Windows
// appends at the end of the file as one piece. Each piece of a line is
// formatted into an exactly sized heap block and gathered into the line.
// Every line carries the process id, so that the lines of launchers started
// at the same moment by many users can be told apart.
#include "log.h"
#include "logfile.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "loadconfig.h"

namespace launcher {
namespace {

// None until the first line tries to open the file; afterwards the open
// handle or INVALID_HANDLE_VALUE, and never tried again.
HANDLE logFile = nullptr;
WideString logName;

class LogLock {
public:
  LogLock() {
    created = InitializeCriticalSectionAndSpinCount(&section, 1024) != 0;
    OutputDebugStringA(created ? "OK InitializeCriticalSectionAndSpinCount\n"
                               : "ERROR InitializeCriticalSectionAndSpinCount\n");
  }
  ~LogLock() {
    if (!created) return;
    DeleteCriticalSection(&section);
    OutputDebugStringA("OK DeleteCriticalSection\n");
  }
  LogLock(const LogLock &) = delete;
  LogLock &operator=(const LogLock &) = delete;

  // Without a lock the launcher still logs: it has a single thread.
  void enter() {
    if (created) EnterCriticalSection(&section);
  }
  void leave() {
    if (created) LeaveCriticalSection(&section);
  }

private:
  CRITICAL_SECTION section{};
  bool created = false;
};

// Created after the configuration strings of JobSettings and destroyed before
// them (see loadconfig.cpp).
LogLock logLock __attribute__((init_priority(1001)));

class LockedLine {
public:
  LockedLine() { logLock.enter(); }
  ~LockedLine() { logLock.leave(); }
  LockedLine(const LockedLine &) = delete;
  LockedLine &operator=(const LockedLine &) = delete;
};

// The base name of a source file, without directories and extension.
struct SourceName {
  const char *start;
  int length;
};

SourceName sourceName(const char *path) {
  const char *base = path;
  for (const char *p = path; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  const char *dot = std::strrchr(base, '.');
  return {base, static_cast<int>(dot ? dot - base : static_cast<int>(std::strlen(base)))};
}

// The line being formed: its pieces are gathered here and written by one
// WriteFile when the line is complete, so that the lines of launchers running
// at the same time never interleave.
class PendingLine {
public:
  PendingLine() = default;
  ~PendingLine() { release(); }
  PendingLine(const PendingLine &) = delete;
  PendingLine &operator=(const PendingLine &) = delete;

  bool add(const char *bytes, DWORD count) {
    if (count == 0) return true;
    const SIZE_T needed = static_cast<SIZE_T>(size) + count;
    char *grown = needed > MAXDWORD ? nullptr
                  : static_cast<char *>(line ? HeapReAlloc(GetProcessHeap(), 0, line, needed)
                                             : HeapAlloc(GetProcessHeap(), 0, needed));
    if (!grown) {
      OutputDebugStringA("ERROR HeapAlloc\n");
      return false;
    }
    CopyMemory(grown + size, bytes, count);
    line = grown;
    size = static_cast<DWORD>(needed);
    return true;
  }

  // What was gathered, in one write.
  void write() {
    DWORD written = 0;
    if (size && !WriteFile(logFile, line, size, &written, nullptr)) OutputDebugStringA("ERROR WriteFile\n");
    release();
  }

private:
  void release() {
    if (line && !HeapFree(GetProcessHeap(), 0, line)) OutputDebugStringA("ERROR HeapFree\n");
    line = nullptr;
    size = 0;
  }

  char *line = nullptr;
  DWORD size = 0;
};

enum class Piece { written, unformatted, lost };

// A zero-filled block of the process heap, freed when its owner goes.
template <typename Char>
class HeapBlock {
public:
  // Room for `units` characters and a NUL; none when that many bytes cannot
  // even be counted.
  explicit HeapBlock(int units)
      : block(static_cast<SIZE_T>(units) < static_cast<SIZE_T>(-1) / sizeof(Char) - 1
                  ? static_cast<Char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                  (static_cast<SIZE_T>(units) + 1) * sizeof(Char)))
                  : nullptr) {
    if (!block) OutputDebugStringA("ERROR HeapAlloc\n");
  }
  ~HeapBlock() {
    if (block && !HeapFree(GetProcessHeap(), 0, block)) OutputDebugStringA("ERROR HeapFree\n");
  }
  HeapBlock(HeapBlock &&other) noexcept : block(other.block) { other.block = nullptr; }
  HeapBlock(const HeapBlock &) = delete;
  HeapBlock &operator=(const HeapBlock &) = delete;

  Char *block;
};

// Formats one piece of a line into an exactly sized heap block and writes it.
// `formatError` names the formatting step on the debugger output.
Piece writePiece(PendingLine &out, const char *formatError, const char *pattern, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int count = _vscprintf(pattern, measure);
  va_end(measure);
  if (count < 0) {
    OutputDebugStringA(formatError);
    return Piece::unformatted;
  }
  HeapBlock<char> buffer(count);
  if (!buffer.block) return Piece::lost;
  const int formatted = _vsnprintf(buffer.block, static_cast<size_t>(count) + 1, pattern, args);
  if (formatted < 0) {
    OutputDebugStringA(formatError);
    return Piece::unformatted;
  }
  return out.add(buffer.block, static_cast<DWORD>(formatted)) ? Piece::written : Piece::lost;
}

// The narrow pattern as a wide one that reads the same arguments: in the
// runtime library's wide formatting %s and %c take UTF-16 and %S and %C
// 8-bit text, the other way round from the narrow one. A size prefix (h, l,
// w) fixes the kind of text whichever the function, and stays as it is.
HeapBlock<wchar_t> widePattern(const char *pattern) {
  const int length = static_cast<int>(std::strlen(pattern));
  HeapBlock<wchar_t> wide(length);
  if (!wide.block) return wide;
  bool inSpec = false, sized = false;
  for (int i = 0; i < length; ++i) {
    wchar_t c = static_cast<unsigned char>(pattern[i]);
    if (!inSpec) {
      inSpec = c == L'%';
      sized = false;
    } else if (c == L'h' || c == L'l' || c == L'w') {
      sized = true;
    } else if (std::wcschr(L"sScC", c)) {
      if (!sized) c ^= 0x20;  // the other letter case
      inSpec = false;
    } else if (!std::wcschr(L"-+ #0123456789.*IL", c)) {
      inSpec = false;  // another conversion, or "%%"
    }
    wide.block[i] = c;
  }
  return wide;
}

// UTF-16 text as UTF-8 into the line: every name in full, whatever the
// system's 8-bit code page.
Piece addUtf8(PendingLine &out, const wchar_t *text, int count) {
  if (count == 0) return Piece::written;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
  HeapBlock<char> utf8(bytes);
  if (bytes <= 0 || !utf8.block) return Piece::lost;
  WideCharToMultiByte(CP_UTF8, 0, text, count, utf8.block, bytes, nullptr, nullptr);
  return out.add(utf8.block, static_cast<DWORD>(bytes)) ? Piece::written : Piece::lost;
}

// The caller's message, formatted as UTF-16 (a %S argument is taken whole)
// and written as UTF-8. 8-bit %s arguments are the launcher's own ASCII texts.
void writeMessage(PendingLine &out, const char *pattern, va_list args) {
  HeapBlock<wchar_t> wide = widePattern(pattern);
  if (!wide.block) return;
  va_list measure;
  va_copy(measure, args);
  const int count = _vscwprintf(wide.block, measure);
  va_end(measure);
  HeapBlock<wchar_t> text(count < 0 ? 0 : count);
  if (!text.block) return;
  if (count < 0 || _vsnwprintf(text.block, static_cast<size_t>(count) + 1, wide.block, args) < 0) {
    OutputDebugStringA("ERROR vsnprintf\n");
    return;
  }
  addUtf8(out, text.block, count);
}

bool writeHeader(PendingLine &out, const char *pattern, ...) {
  va_list args;
  va_start(args, pattern);
  const bool written = writePiece(out, "ERROR snprintf\n", pattern, args) == Piece::written;
  va_end(args);
  return written;
}

#define LINE_TIME_PATTERN "%d-%02d-%02d %02d:%02d:%02d [%lu] %.*s:%d:%s "

bool writePlainHeader(PendingLine &out, const char *sourceFile, int line, const char *function) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const SourceName source = sourceName(sourceFile);
  return writeHeader(out, LINE_TIME_PATTERN, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                     static_cast<unsigned long>(GetCurrentProcessId()), source.length, source.start, line, function);
}

bool writeErrorHeader(PendingLine &out, const char *sourceFile, int line, const char *function, DWORD errorCode) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const SourceName source = sourceName(sourceFile);
  return writeHeader(out, LINE_TIME_PATTERN "err:%d ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                     now.wSecond, static_cast<unsigned long>(GetCurrentProcessId()), source.length, source.start, line,
                     function, static_cast<int>(errorCode));
}

// The system's own text for an error code; it brings its CR LF.
void writeSystemText(PendingLine &out, DWORD errorCode) {
  wchar_t *text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, errorCode, 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) {
    OutputDebugStringA("ERROR FormatMessage\n");
    return;
  }
  addUtf8(out, text, static_cast<int>(length));
  LocalFree(text);
}

}  // namespace

void openLog() {
  if (logFile != nullptr) return;
  // Before prepareJob has located the executable there is no log to open yet.
  if (jobSettings.moduleName == nullptr || jobSettings.programData[0] == L'\0') return;
  // Building the path can fail for want of memory, and that failure is
  // logged: the nested line finds the log still closed and is dropped.
  static bool opening = false;
  if (opening) return;
  opening = true;
  WideString path;
  const bool built = append(path, jobSettings.programData) == kOk &&
                     append(path, L"\\Orvane\\Penwick\\launcher") == kOk &&
                     append(path, jobSettings.moduleName) == kOk && append(path, L".log") == kOk;
  opening = false;
  if (!built) {
    OutputDebugStringA(kAllocationError);
    return;
  }
  logName = std::move(path);
  // Appending only: every write lands at the end of the file, whoever else
  // appends to it, and a user needs no more than the right to append to the
  // log that the package created and only administrators may read.
  logFile = CreateFileW(logName.get(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (logFile == INVALID_HANDLE_VALUE) OutputDebugStringA("ERROR CreateFile\n");
}

const wchar_t *logPath() { return logName.get(); }

bool logUsable() { return logFile != nullptr && logFile != INVALID_HANDLE_VALUE; }

void forgetLogFile() {
  LockedLine locked;
  if (logUsable()) CloseHandle(logFile);
  logFile = nullptr;
}

void logMessage(const char *sourceFile, int line, const char *function, const char *pattern, ...) {
  LockedLine locked;
  openLog();
  if (!logUsable()) return;
  PendingLine out;
  if (!writePlainHeader(out, sourceFile, line, function)) return;
  va_list args;
  va_start(args, pattern);
  writeMessage(out, pattern, args);
  va_end(args);
  out.write();
}

// Unlike a plain line, every piece is tried even when an earlier one failed:
// the error code and the system's text are what support staff look for.
void logSystemError(const char *sourceFile, int line, const char *function, DWORD errorCode, const char *pattern,
                    ...) {
  LockedLine locked;
  openLog();
  if (!logUsable()) return;
  PendingLine out;
  writeErrorHeader(out, sourceFile, line, function, errorCode);
  va_list args;
  va_start(args, pattern);
  writeMessage(out, pattern, args);
  va_end(args);
  writeSystemText(out, errorCode);
  out.write();
}

}  // namespace launcher
