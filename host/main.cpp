// tokenhub-host MODULE: loads one card module and serves it on standard
// input and output over the module host protocol, for tokenhub or for
// p11-kit's remote: modules.
#include <cstdio>

#include "platform/hostprocess.h"
#include "rpc/server.h"

using namespace tokenhub;

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tokenhub-host MODULE\n");
    return 2;
  }
  void *handle = loadHostedModule(argv[1]);
  auto getFunctionList =
      handle ? reinterpret_cast<CK_C_GetFunctionList>(hostedModuleSymbol(handle, "C_GetFunctionList")) : nullptr;
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (!getFunctionList || getFunctionList(&list) != CKR_OK || !list || !list->C_Initialize || !list->C_Finalize) {
    std::fprintf(stderr, "tokenhub-host: %s is no PKCS#11 module\n", argv[1]);
    return 3;
  }
  return rpc::serve(*list, standardPipe());
}
