// Loads the shipped module the way a consumer does, initialises it once and
// then either unloads it (argument "unload") or ends the process while it is
// still loaded and initialised (argument "exit"). The mock modules' call
// trace tells whether the router finalised them on the way out.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "tokenhub/pkcs11.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: module_lifecycle MODULE unload|exit\n");
    return 2;
  }
  const tokenhub::ModuleApi &loader = tokenhub::platformModules();
  void *module = loader.load(argv[1]);
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
  if (std::strcmp(argv[2], "unload") == 0) loader.unload(module);
  return 0;
}
