// Linux: a socket pair whose ends are close-on-exec, fork and exec, a death
// signal so that the host never outlives the application.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostprocess.h"

namespace tokenhub {

namespace {

uint64_t nowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000;
}

bool waitReadable(int fd, uint64_t deadline) {
  for (;;) {
    uint64_t now = nowMs();
    if (now >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(deadline - now));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool pipeRead(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs) {
  int fd = static_cast<int>(pipe.in);
  uint64_t deadline = timeoutMs == kWaitForever ? 0 : nowMs() + timeoutMs;
  auto *p = static_cast<char *>(data);
  while (size) {
    // With a bound the descriptor is the router's own socket: what has come
    // already is taken without a wait.
    ssize_t n = deadline ? recv(fd, p, size, MSG_DONTWAIT) : read(fd, p, size);
    if (deadline && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReadable(fd, deadline)) return false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool pipeWrite(const HostPipe &pipe, const void *data, size_t size) {
  int fd = static_cast<int>(pipe.out);
  auto *p = static_cast<const char *>(data);
  while (size) {
    // A host that has gone must not end the application with SIGPIPE.
    ssize_t n = fd == 1 ? write(fd, p, size) : send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

HostPipe standardPipe() { return HostPipe{0, 1}; }

namespace {

// The ELF class of the program file: 32 or 64, 0 when it is no ELF file (a script).
unsigned programBits(const char *program) {
  unsigned char ident[5] = {};
  int fd = open(program, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, ident, sizeof ident);
  close(fd);
  if (n != 5 || std::memcmp(ident, "\x7f" "ELF", 4) != 0) return 0;
  return ident[4] == 1 ? 32 : ident[4] == 2 ? 64 : 0;
}

}  // namespace

bool startHost(const char *program, const char *module, HostChild &child) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  pid_t parent = getpid();
  char *const argv[] = {const_cast<char *>(program), const_cast<char *>(module), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (dup2(ends[1], 0) < 0 || dup2(ends[1], 1) < 0) _exit(127);
    // Nothing else of the application's reaches the host: its own
    // descriptors that lack close-on-exec neither.
    syscall(SYS_close_range, 3u, ~0u, 0u);
    signal(SIGPIPE, SIG_DFL);
    execv(program, argv);
    _exit(127);
  }
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return false;
  }
  child.pipe = HostPipe{ends[0], ends[0]};
  child.pid = static_cast<uint32_t>(pid);
  child.owner = static_cast<uint32_t>(parent);
  child.bits = programBits(program);
  return true;
}

void endHost(HostChild &child, uint32_t graceMs, char *how, size_t size) {
  if (child.pipe.in >= 0) close(static_cast<int>(child.pipe.in));
  child.pipe = HostPipe{};
  if (!child.pid) return;
  pid_t pid = static_cast<pid_t>(child.pid);
  int status = 0;
  pid_t got = 0;
  uint64_t deadline = nowMs() + graceMs;
  while ((got = waitpid(pid, &status, WNOHANG)) == 0 && nowMs() < deadline) {
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  bool killed = false;
  if (got == 0) {
    kill(pid, SIGKILL);
    got = waitpid(pid, &status, 0);
    killed = true;
  }
  if (how && size) {
    if (got != pid) std::snprintf(how, size, "lost");
    else if (killed) std::snprintf(how, size, "ended");
    else if (WIFEXITED(status)) std::snprintf(how, size, "exit %d", WEXITSTATUS(status));
    else std::snprintf(how, size, "signal %d", WTERMSIG(status));
  }
  child.pid = 0;
}

void *loadHostedModule(const char *module) {
  if (std::strchr(module, '/')) return dlopen(module, RTLD_NOW | RTLD_LOCAL);
  char path[4096];
  if (hostProgramPath(path, sizeof path)) {
    char *slash = std::strrchr(path, '/');
    std::snprintf(slash + 1, sizeof path - static_cast<size_t>(slash + 1 - path), "%s", module);
    if (void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL)) return handle;
  }
  return dlopen(module, RTLD_NOW | RTLD_LOCAL);
}

void *hostedModuleSymbol(void *handle, const char *name) { return dlsym(handle, name); }

bool hostModulePath(const char *fileName, char *path, size_t size) {
  auto tryFolder = [&](const char *folder, size_t length) {
    int n = std::snprintf(path, size, "%.*s/%s", static_cast<int>(length), folder, fileName);
    return n > 0 && static_cast<size_t>(n) < size && access(path, R_OK) == 0;
  };
  char own[4096];
  if (hostProgramPath(own, sizeof own) && tryFolder(own, std::strrchr(own, '/') - own)) return true;
  if (const char *list = getauxval(AT_SECURE) ? nullptr : std::getenv("LD_LIBRARY_PATH")) {
    for (const char *at = list; *at;) {
      const char *end = std::strchr(at, ':');
      size_t length = end ? static_cast<size_t>(end - at) : std::strlen(at);
      if (length && at[0] == '/' && tryFolder(at, length)) return true;
      at += length + (end ? 1 : 0);
    }
  }
  static const char *const system[] = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib", "/usr/lib"};
  for (const char *folder : system)
    if (tryFolder(folder, std::strlen(folder))) return true;
  return false;
}

void killHost(const HostChild &child) {
  if (child.pid) kill(static_cast<pid_t>(child.pid), SIGKILL);
}

bool otherBitnessModule(const char *, char *, size_t, char *, size_t) { return false; }

bool ownsHost(const HostChild &child) { return child.owner == static_cast<uint32_t>(getpid()); }

// The folder of the code that holds this function: the loader's origin of
// a shared object loaded by a relative name, else its absolute path.
bool hostProgramPath(char *path, size_t size) {
  Dl_info info;
  link_map *map = nullptr;
  if (!dladdr1(reinterpret_cast<void *>(&hostProgramPath), &info, reinterpret_cast<void **>(&map),
               RTLD_DL_LINKMAP) ||
      !info.dli_fname)
    return false;
  char folder[PATH_MAX + 1] = "";
  if (info.dli_fname[0] == '/') {
    const char *slash = std::strrchr(info.dli_fname, '/');
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - info.dli_fname), info.dli_fname);
  } else if (map && map->l_name && map->l_name[0]) {
    if (dlinfo(map, RTLD_DI_ORIGIN, folder) != 0 || folder[0] != '/') return false;
  } else {
    // The main program (a program that links the router in).
    ssize_t n = readlink("/proc/self/exe", folder, sizeof folder - 1);
    if (n <= 0) return false;
    folder[n] = 0;
    *std::strrchr(folder, '/') = 0;
  }
  int n = std::snprintf(path, size, "%s/tokenhub-host", folder);
  return n > 0 && static_cast<size_t>(n) < size;
}

}  // namespace tokenhub
