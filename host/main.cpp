// tokenhub-host MODULE: loads one card module and serves it on standard
// input and output over the module host protocol, for tokenhub or for
// p11-kit's remote: modules.
#include <cstdio>
#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/hostprocess.h"
#include "rpc/server.h"

using namespace tokenhub;

int main(int argc, char **argv) {
#ifdef _WIN32
  // A module that crashes ends the host at once: no error box waits for a
  // user who never sees this process.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
#endif
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
