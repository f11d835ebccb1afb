// The module host's process and its pipe, as thin as the platform allows:
// starting `tokenhub-host MODULE` with its standard input and output on a
// private pipe, moving bytes, and ending the process. One implementation per
// platform (hostprocess_posix.cpp, hostprocess_win32.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

namespace tokenhub {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Both directions of a pipe: one socket on Linux (read and write the same),
// two pipe handles on Windows.
struct HostPipe {
  intptr_t in = -1;
  intptr_t out = -1;
};

// Reads exactly size bytes: false on end of file, an error, or (with a
// bound) when they have not all come within timeoutMs.
bool pipeRead(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs = kWaitForever);
bool pipeWrite(const HostPipe &pipe, const void *data, size_t size);
// The host's own side: its standard input and output.
HostPipe standardPipe();

struct HostChild {
  HostPipe pipe;
  intptr_t process = 0;  // the process handle on Windows; unused on Linux
  intptr_t job = 0;      // Windows: the job object that ends the host with its last handle
  uint32_t pid = 0;
  uint32_t owner = 0;    // the pid of the process that started it
  unsigned bits = 0;     // 32 or 64: the host program's bitness; 0 when unknown
};

// Starts program with the one argument `module`; only the child's ends of
// the pipe reach it (Linux: it also ends when its starter does).
bool startHost(const char *program, const char *module, HostChild &child);
// Closes our ends of the pipe, gives the host graceMs to leave, then ends it
// and collects it. *how: "exit N", "signal N", or "ended" (killed by us).
void endHost(HostChild &child, uint32_t graceMs, char *how, size_t size);
// Ends the host at once, leaving the pipe to whoever reads it (who then
// sees its end).
void killHost(const HostChild &child);
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
// system's loader looks (Linux: LD_LIBRARY_PATH unless privileged, then the
// system's library folders). False when no place holds the file.
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
