// Loads the shipped module the way a consumer does, initialises it once and
// then:
//   unload  unloads it without C_Finalize and fails when that takes a second;
//   exit    ends the process while it is still loaded and initialised;
//   shared  first loads and initialises the role-1 backend beside the module
//           itself, as a browser with a card vendor's module does: the module
//           must serve that backend and leave its finalisation to the host;
//   fork    (POSIX) forks once after the initialisation and once while another
//           thread is inside C_Finalize: each child must find the library not
//           initialised and start it on its own, and the parent's card-service
//           context must answer still. Each child's id is printed;
//   rounds N  (Windows) after one round of load, C_Initialize, C_Finalize
//           and unload, runs N more, prints what the process holds and fails
//           unless it holds no more than after the first; (Linux, backends
//           in hosts) the same without C_Finalize: no descriptor and no host
//           process left.
// The mock modules' call trace (role, function, process id) tells who
// initialised and finalised which backend.
#ifdef _WIN32
#include <windows.h>

#include <tlhelp32.h>  // after windows.h
#else
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tokenhub/pkcs11.h"

namespace {

const tokenhub::ModuleApi &loader = tokenhub::platformModules();

// By path, as a consumer does (the platform's load takes backends' plain names only).
CK_FUNCTION_LIST_PTR functionsOf(const std::string &path, void **module) {
#ifdef _WIN32
  *module = reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
#else
  *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  if (!*module) return nullptr;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(loader.symbol(*module, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  return getList && getList(&list) == CKR_OK ? list : nullptr;
}

int fail(const char *what) {
  std::fprintf(stderr, "FAIL: %s\n", what);
  return 1;
}

#ifdef _WIN32
// What a module could leak: TLS indexes (those still free), handles (probed
// by value: Wine's GetProcessHandleCount answers 0, and a leaked handle takes
// the lowest free value) and threads.
struct Holdings {
  size_t tlsFree = 0, handles = 0, threads = 0;
};
Holdings holdings() {
  Holdings held;
  std::vector<DWORD> taken;
  for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
  for (DWORD index : taken) TlsFree(index);
  held.tlsFree = taken.size();
  DWORD flags = 0;
  for (uintptr_t value = 4; value < 0x10000; value += 4)
    held.handles += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    held.threads += entry.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return held;
}

int rounds(const std::string &path, int count) {
  // The mocks' shared state stays loaded, as real backends share none: its
  // own runtime's leaks are not the module's.
  void *mocks = nullptr, *module = nullptr;
  functionsOf(path.substr(0, path.find_last_of('\\') + 1) + "mockctl.dll", &mocks);
  Holdings before;
  for (int i = 0; i <= count; ++i) {  // round 0 loads what stays loaded anyway
    CK_FUNCTION_LIST_PTR list = functionsOf(path, &module);
    if (!list || list->C_Initialize(nullptr) != CKR_OK || list->C_Finalize(nullptr) != CKR_OK) return fail("a round");
    loader.unload(module);
    if (i == 0) before = holdings();
  }
  Holdings after = holdings();
  std::printf("%d rounds: TLS indexes free %zu -> %zu, handles %zu -> %zu, threads %zu -> %zu\n", count, before.tlsFree,
              after.tlsFree, before.handles, after.handles, before.threads, after.threads);
  bool kept = after.tlsFree == before.tlsFree && after.handles <= before.handles && after.threads <= before.threads;
  return kept ? 0 : fail("the rounds left something behind");
}
#endif

#ifndef _WIN32
// With the backends in hosts (TOKENHUB_HOST_BACKENDS=1): each round loads
// the module, starts and uses its hosts, and unloads it without C_Finalize.
// The rounds leave no descriptor and no host process, not even a zombie.
size_t descriptors() {
  size_t n = 0;
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) n += !entry.path().empty();
  return n;
}
size_t children() {
  size_t n = 0;
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, name, state;
    long parent = 0;
    n += stat >> pid >> name >> state >> parent && parent == static_cast<long>(getpid());
  }
  return n;
}

int rounds(const std::string &path, int count) {
  void *module = nullptr;
  size_t before = 0;
  for (int i = 0; i <= count; ++i) {  // round 0 loads what stays loaded anyway
    CK_FUNCTION_LIST_PTR list = functionsOf(path, &module);
    CK_ULONG slots = 0;
    if (!list || list->C_Initialize(nullptr) != CKR_OK || list->C_GetSlotList(CK_FALSE, nullptr, &slots) != CKR_OK ||
        slots == 0)
      return fail("a round");
    loader.unload(module);
    if (i == 0) before = descriptors();
  }
  size_t after = descriptors(), left = children();
  std::printf("%d rounds: descriptors %zu -> %zu, host processes left %zu\n", count, before, after, left);
  return after <= before && left == 0 ? 0 : fail("the rounds left something behind");
}

bool childStartsAfresh(CK_FUNCTION_LIST_PTR list) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    CK_ULONG count = 0;
    bool fresh = list->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_CRYPTOKI_NOT_INITIALIZED &&
                 list->C_Initialize(nullptr) == CKR_OK &&
                 list->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && list->C_Finalize(nullptr) == CKR_OK;
    _exit(fresh ? 0 : 3);
  }
  std::printf("child %ld\n", static_cast<long>(child));
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[2], "rounds") == 0) return rounds(argv[1], std::atoi(argv[3]));
  if (argc != 3) {
    std::fprintf(stderr, "usage: module_lifecycle MODULE unload|exit|shared|fork|rounds N\n");
    return 2;
  }
  std::string mode = argv[2], modulePath = argv[1];
  void *hostModule = nullptr, *module = nullptr;
  CK_FUNCTION_LIST_PTR hostBackend = nullptr;
  if (mode == "shared") {
    std::string folder = modulePath.substr(0, modulePath.find_last_of("/\\") + 1);
    hostBackend = functionsOf(folder + "aetpkss1" + tokenhub::moduleSuffix(), &hostModule);
    if (!hostBackend || hostBackend->C_Initialize(nullptr) != CKR_OK) return fail("the host's own backend");
  }
  CK_FUNCTION_LIST_PTR list = functionsOf(modulePath, &module);
  if (!list) return fail("cannot load the module");
  CK_RV rv = list->C_Initialize(nullptr);
  std::printf("C_Initialize: 0x%lx\n", static_cast<unsigned long>(rv));
  if (rv != CKR_OK) return 1;

  if (mode == "shared") {
    CK_ULONG count = 0;
    if (list->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK || count != 2)
      return fail("the backend that the host initialised does not serve its reader");
    list->C_Finalize(nullptr);
    loader.unload(module);
    // Had the module finalised it, the backend would answer CKR_CRYPTOKI_NOT_INITIALIZED.
    if (hostBackend->C_Finalize(nullptr) != CKR_OK) return fail("the module finalised the host's backend");
    return 0;
  }
#ifndef _WIN32
  if (mode == "fork") {
    CK_ULONG count = 0;
    if (!childStartsAfresh(list)) return fail("a child forked after C_Initialize");
    if (list->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return fail("the parent's card service after fork");
    // The script makes role 1's C_Finalize take half a second.
    std::thread finalizing([list] { list->C_Finalize(nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool fresh = childStartsAfresh(list);
    finalizing.join();
    if (!fresh) return fail("a child forked while another thread was in C_Finalize");
  }
#endif
  if (mode == "unload" || mode == "fork") {
    auto start = std::chrono::steady_clock::now();
    loader.unload(module);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("unload took %ld ms\n", static_cast<long>(ms));
    if (ms > 1000) return fail("the unload took more than a second");
  }
  return 0;
}
