// The module host's process and its pipe, as thin as the platform allows:
// starting `tokenhub-host MODULE` with its standard input and output on a
// private pipe, moving bytes, and ending the process. One implementation per
// platform (hostprocess_posix.cpp, hostprocess_win32.cpp).
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tokenhub {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Both directions of a pipe: one socket on Linux (read and write the same),
// two pipe handles on Windows.
struct HostPipe {
  intptr_t in = -1;
  intptr_t out = -1;
#ifdef _WIN32
  // The events that its reads and its writes wait on (each way moves one
  // transfer at a time); 0: each transfer makes one of its own.
  intptr_t reading = 0, writing = 0;
#endif
};

// Reads what has come, at least one byte and at most size, waiting for it up
// to timeoutMs: the count; 0 at the pipe's end or on an error; kPipeWaited
// when nothing came in time.
constexpr int64_t kPipeWaited = -1;
int64_t pipeReadSome(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs = kWaitForever);
// Reads exactly size bytes: false on end of file, an error, or (with a
// bound) when they have not all come within timeoutMs.
inline bool pipeRead(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs = kWaitForever) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (auto *p = static_cast<char *>(data); size;) {
    int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int64_t n = pipeReadSome(pipe, p, size, timeoutMs == kWaitForever ? kWaitForever
                                            : static_cast<uint32_t>(left > 0 ? left : 0));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
bool pipeWrite(const HostPipe &pipe, const void *data, size_t size);
// Ends the pipe both ways without giving its descriptors or handles back:
// the host sees its end, and a read or write of ours on it returns. Whoever
// holds the pipe last then closes it (closePipe), so that no thread ever
// reads or writes a number that has gone to another file meanwhile.
void shutPipe(const HostPipe &pipe);
// Gives the pipe's descriptors or handles back; the pipe is empty after.
void closePipe(HostPipe &pipe);
// The host's own side: its standard input and output, moved to descriptors
// (handles) of their own that no program it starts inherits; the standard
// input and output then read and write the null device, so that nothing a
// module prints reaches the peer. Called once, before the module is loaded.
HostPipe standardPipe();
#ifdef _WIN32
// The host's own side on Windows: the pipe the router named on its command
// line (in == out; both -1 when it cannot be opened).
HostPipe namedPipe(const wchar_t *name);
#endif

// The host's exit code when its module did not load (not found, no
// PKCS#11 module).
constexpr int kHostNoModule = 3;

struct HostChild {
  HostPipe pipe;
  intptr_t process = 0;  // the process handle on Windows; unused on Linux
  intptr_t job = 0;      // Windows: the job object that ends the host with its last handle
  uint32_t pid = 0;
  uint32_t owner = 0;    // the pid of the process that started it
  unsigned bits = 0;     // 32 or 64: the host program's bitness; 0 when unknown
  char failure[160] = "";  // why the last start failed (the system's error and its text); may be empty
};

// Starts program with the one argument `module`; only the child's ends of
// the pipe reach it (on Windows the host is handed `--pipe NAME` before it
// and opens the pipe itself). The host lives until its pipe ends (the
// application closes it, or ends): no thread's end reaches it.
bool startHost(const char *program, const char *module, HostChild &child);
// Closes our ends of the pipe if child.pipe still holds them (the caller may
// have taken them and shut them), gives the host graceMs to leave, then ends
// it and collects it. *how: "exit N", "signal N", or "ended" (killed by us).
void endHost(HostChild &child, uint32_t graceMs, char *how, size_t size);
// Windows: lets the host take the foreground (for a dialog of its module)
// when this process may; nothing elsewhere.
void allowForeground(const HostChild &child);
// Whether the calling process is the one that started the host (a forked
// child of the application is not, and never talks to its parent's host).
bool ownsHost(const HostChild &child);

// The host's module: a full path as it is; a plain file name beside the
// host, then through the system's own search, as the router looks for its
// backends (never the current directory or PATH). Null when none loads.
void *loadHostedModule(const char *module);
void *hostedModuleSymbol(void *handle, const char *name);

// Where the host is to find the backend module `fileName`, by full path, in
// the order of the router's own search: beside the router, then where the
// system's loader looks (Linux: the loader's own search list for this
// process, that is LD_LIBRARY_PATH unless privileged, the program's run path
// and the system's folders of its architecture, then ld.so.conf's folders;
// only a module of the process's architecture counts). False when no place
// holds the file.
bool hostModulePath(const char *fileName, char *path, size_t size);

// Windows: when `fileName` is installed only for the other bitness (the
// PE32 module in SysWOW64 for a 64-bit process, the PE32+ module in the
// native System32 for a 32-bit process on 64-bit Windows): the host of that
// bitness in that folder and the module's full path. False elsewhere, and
// on Linux.
bool otherBitnessModule(const char *fileName, char *program, size_t programSize, char *path, size_t pathSize);

// tokenhub-host beside the code that holds the router; false when unknown.
bool hostProgramPath(char *path, size_t size);

}  // namespace tokenhub
