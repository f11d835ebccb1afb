#include "hosting.h"

#include <cstring>
#include <string>

#include "init.h"
#include "platform/hostprocess.h"
#include "rpc/client.h"

namespace tokenhub {

namespace {

// The role whose module bears this file name; kRoleCount when none.
unsigned roleOf(const char *fileName) {
  for (unsigned role = 0; role < kRoleCount; ++role)
    if (std::string(backendRoles[role].baseName) + moduleSuffix() == fileName) return role;
  return kRoleCount;
}

}  // namespace

bool loadHostedBackend(const char *fileName, CK_VOID_PTR pInitArgs, BackendModule &module, CK_RV &rv) {
  unsigned role = roleOf(fileName);
  if (role == kRoleCount) return false;
  char program[4096], path[4096];
  // A module installed only for the other bitness is served by the host of
  // that bitness; with the switch, every module by the host beside the router.
  if (!otherBitnessModule(fileName, program, sizeof program, path, sizeof path)) {
    if (!readHostBackendsSwitch()) return false;
    if (!hostProgramPath(program, sizeof program) || !hostModulePath(fileName, path, sizeof path)) {
      rv = kLoadFailed;
      return true;
    }
  }
  CK_FUNCTION_LIST_PTR list = rpc::hostedFunctionList(role, program, path);
  rv = list->C_Initialize(pInitArgs);
  if (rv == CKR_OK) {
    module.functionList = list;
    module.adopted = false;
  }
  return true;
}

}  // namespace tokenhub
