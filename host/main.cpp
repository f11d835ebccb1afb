// tokenhub-host MODULE: loads one card module and serves it on standard
// input and output over the module host protocol, for tokenhub or for
// p11-kit's remote: modules. On Windows tokenhub starts it as
// `tokenhub-host --pipe NAME MODULE`: it serves the pipe of that name, and
// its arguments are taken in UTF-16, so that a module path in any script
// reaches the loader as it is.
#include <cstdio>
#include <string>
#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#endif

#include "platform/hostprocess.h"
#include "rpc/server.h"

using namespace tokenhub;

namespace {

int serveModule(const char *module, const HostPipe &pipe) {
  void *handle = loadHostedModule(module);
  auto getFunctionList =
      handle ? reinterpret_cast<CK_C_GetFunctionList>(hostedModuleSymbol(handle, "C_GetFunctionList")) : nullptr;
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (!getFunctionList || getFunctionList(&list) != CKR_OK || !list || !list->C_Initialize || !list->C_Finalize) {
    std::fprintf(stderr, "tokenhub-host: %s is no PKCS#11 module\n", module);
    return kHostNoModule;
  }
  // A module of PKCS#11 3.0 offers its new calls through C_GetInterface.
  auto getInterface = reinterpret_cast<GetInterfaceFn>(hostedModuleSymbol(handle, "C_GetInterface"));
  return rpc::serve(*list, pipe, interface30(getInterface));
}

}  // namespace

#ifdef _WIN32
static LONG WINAPI endAtOnce(EXCEPTION_POINTERS *) { return EXCEPTION_EXECUTE_HANDLER; }

int wmain(int argc, wchar_t **argv) {
  // A module that crashes ends the host at once, with the exception's code:
  // no error box or debugger waits for a user who never sees this process.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(endAtOnce);
  bool named = argc == 4 && std::wcscmp(argv[1], L"--pipe") == 0;
  if (argc != 2 && !named) {
    std::fprintf(stderr, "usage: tokenhub-host [--pipe NAME] MODULE\n");
    return 2;
  }
  // Before the module is there: on standard input and output, whatever it
  // prints goes to the null device and a program it starts inherits no end
  // of the protocol's pipe (a named pipe is opened uninheritable).
  HostPipe pipe = named ? namedPipe(argv[2]) : standardPipe();
  if (pipe.in == -1) return 4;
  // The loader takes the module path in UTF-8 and hands it on in UTF-16.
  const wchar_t *path = argv[argc - 1];
  int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
  std::string module(n > 0 ? n : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, path, -1, &module[0], n, nullptr, nullptr);
  return serveModule(module.c_str(), pipe);
}
#else
int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tokenhub-host MODULE\n");
    return 2;
  }
  // Before the module is there: whatever it prints goes to the null device,
  // and a program it starts inherits no end of the protocol's pipe.
  return serveModule(argv[1], standardPipe());
}
#endif
