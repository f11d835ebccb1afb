// Linux: a socket pair whose ends are close-on-exec, fork and exec. The host
// leaves when its end of the pair reads the end of file: when the
// application closes its end, or ends. (A parent-death signal would end it
// with the thread that started it, not with the application.)
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hostprocess.h"

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

int64_t pipeReadSome(const HostPipe &pipe, void *data, size_t size, uint32_t timeoutMs) {
  int fd = static_cast<int>(pipe.in);
  uint64_t deadline = timeoutMs == kWaitForever ? 0 : nowMs() + timeoutMs;
  for (;;) {
    // With a bound the descriptor is the router's own socket: it waits for
    // what comes, then takes it without a wait.
    if (deadline && !waitReadable(fd, deadline)) return nowMs() >= deadline ? kPipeWaited : 0;
    ssize_t n = deadline ? recv(fd, data, size, MSG_DONTWAIT) : read(fd, data, size);
    if (n < 0 && (errno == EINTR || (deadline && (errno == EAGAIN || errno == EWOULDBLOCK)))) continue;
    return n < 0 ? 0 : n;
  }
}

bool pipeWrite(const HostPipe &pipe, const void *data, size_t size) {
  int fd = static_cast<int>(pipe.out);
  auto *p = static_cast<const char *>(data);
  while (size) {
    // A host that has gone must not end the application with SIGPIPE; a
    // host served over plain pipes (p11-kit's remote: modules) writes.
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void shutPipe(const HostPipe &pipe) {
  if (pipe.in >= 0) shutdown(static_cast<int>(pipe.in), SHUT_RDWR);
  if (pipe.out >= 0 && pipe.out != pipe.in) shutdown(static_cast<int>(pipe.out), SHUT_RDWR);
}

void closePipe(HostPipe &pipe) {
  if (pipe.in >= 0) close(static_cast<int>(pipe.in));
  if (pipe.out >= 0 && pipe.out != pipe.in) close(static_cast<int>(pipe.out));
  pipe = HostPipe{};
}

HostPipe standardPipe() {
  int in = fcntl(0, F_DUPFD_CLOEXEC, 3), out = fcntl(1, F_DUPFD_CLOEXEC, 3);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (in < 0 || out < 0 || null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) {
    for (int fd : {in, out, null})
      if (fd >= 0) close(fd);
    return HostPipe{0, 1};  // as it came: the module then shares the stream
  }
  close(null);
  return HostPipe{in, out};
}

namespace {

// The ELF class and machine of a file (bytes 4 and 18-19 of its header);
// 0 when it is no ELF file.
unsigned elfKind(const char *file) {
  unsigned char header[20] = {};
  int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, header, sizeof header);
  close(fd);
  if (n != sizeof header || std::memcmp(header, "\x7f" "ELF", 4) != 0) return 0;
  return header[4] << 16 | header[18] << 8 | header[19];
}

// The ELF class of the program file: 32 or 64, 0 when it is no ELF file (a script).
unsigned programBits(const char *program) {
  unsigned elfClass = elfKind(program) >> 16;
  return elfClass == 1 ? 32 : elfClass == 2 ? 64 : 0;
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
  closePipe(child.pipe);
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

namespace {

// The folders of ld.so.conf and the files it includes, in their order.
void configuredFolders(const char *file, std::vector<std::string> &folders, int depth = 0) {
  std::ifstream in(file);
  for (std::string line; depth < 4 && std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    if (word != "include") {
      folders.push_back(word);
      continue;
    }
    while (words >> word) {
      glob_t found{};
      if (glob(word.c_str(), 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i) configuredFolders(found.gl_pathv[i], folders, depth + 1);
      globfree(&found);
    }
  }
}

}  // namespace

bool hostModulePath(const char *fileName, char *path, size_t size) {
  // Beside the router; then where the loader looks for this process (its
  // library path unless privileged, the program's run path, the system's
  // folders of this architecture), then ld.so.conf's folders. Only a module
  // of this process's architecture counts.
  std::vector<std::string> folders;
  char own[4096];
  if (hostProgramPath(own, sizeof own)) folders.emplace_back(own, std::strrchr(own, '/'));
  if (void *program = dlopen(nullptr, RTLD_LAZY)) {
    Dl_serinfo room;
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, &room) == 0) {
      std::vector<char> storage(room.dls_size);
      auto *info = reinterpret_cast<Dl_serinfo *>(storage.data());
      if (dlinfo(program, RTLD_DI_SERINFOSIZE, info) == 0 && dlinfo(program, RTLD_DI_SERINFO, info) == 0)
        for (unsigned i = 0; i < info->dls_cnt; ++i) folders.emplace_back(info->dls_serpath[i].dls_name);
    }
    dlclose(program);
  }
  configuredFolders("/etc/ld.so.conf", folders);
  unsigned ours = elfKind("/proc/self/exe");
  for (const std::string &folder : folders) {
    int n = std::snprintf(path, size, "%s/%s", folder.c_str(), fileName);
    if (!folder.empty() && folder[0] == '/' && n > 0 && static_cast<size_t>(n) < size && elfKind(path) == ours)
      return true;
  }
  return false;
}

bool otherBitnessModule(const char *, char *, size_t, char *, size_t) { return false; }

void allowForeground(const HostChild &) {}

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
