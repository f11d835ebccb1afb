// A consumer that loads tokenhub.dll as an installed program would: by file
// name from its own system folder only (for a 32-bit program on a 64-bit
// Windows, SysWOW64). It prints the module it got and the result of
// C_GetFunctionList with the function list's Cryptoki version, or the error
// that stopped the load (a PE32+ module there fails with ERROR_BAD_EXE_FORMAT).
#include <windows.h>

#include <cstdio>

#include "tokenhub/pkcs11.h"

int main() {
  HMODULE module = LoadLibraryExW(L"tokenhub.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) {
    std::printf("LoadLibraryExW error %lu\n", GetLastError());
    return 1;
  }
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(module, path, MAX_PATH);
  auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  const CK_RV rv = getFunctionList ? getFunctionList(&list) : CKR_GENERAL_ERROR;
  std::printf("module %ls\nC_GetFunctionList %lu version %u.%u\n", path, static_cast<unsigned long>(rv),
              list ? list->version.major : 0, list ? list->version.minor : 0);
  return rv == CKR_OK ? 0 : 1;
}
