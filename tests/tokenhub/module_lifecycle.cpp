// Loads the shipped module the way a consumer does, initialises it once and
// then either unloads it (argument "unload") or ends the process while it is
// still loaded and initialised (argument "exit"). The mock modules' call
// trace tells whether the router finalised them on the way out. On POSIX,
// "fork" forks after the initialisation: the child must find the library not
// initialised, initialise and finalise it on its own, and leave the parent's
// card-service context and backends usable.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "tokenhub/pkcs11.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: module_lifecycle MODULE unload|exit|fork\n");
    return 2;
  }
  // By path, as a consumer does (the platform's load takes backends' plain names only).
#ifdef _WIN32
  void *module = reinterpret_cast<void *>(LoadLibraryA(argv[1]));
#else
  void *module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
#endif
  const tokenhub::ModuleApi &loader = tokenhub::platformModules();
  if (!module) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(loader.symbol(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (!getList || getList(&list) != CKR_OK) return 1;
  CK_RV rv = list->C_Initialize(nullptr);
  std::printf("C_Initialize: 0x%lx\n", static_cast<unsigned long>(rv));
  if (rv != CKR_OK) return 1;
#ifndef _WIN32
  if (std::strcmp(argv[2], "fork") == 0) {
    CK_ULONG count = 0;
    pid_t child = fork();
    if (child == 0) {
      bool fresh = list->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_CRYPTOKI_NOT_INITIALIZED &&
                   list->C_Initialize(nullptr) == CKR_OK &&
                   list->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && list->C_Finalize(nullptr) == CKR_OK;
      _exit(fresh ? 0 : 3);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "the forked child did not start the library afresh\n");
      return 1;
    }
    // The parent's card-service context answers still.
    if (list->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return 1;
  }
#endif
  if (std::strcmp(argv[2], "unload") == 0 || std::strcmp(argv[2], "fork") == 0) loader.unload(module);
  return 0;
}
