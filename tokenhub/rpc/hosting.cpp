#include "rpc/hosting.h"

#include <cstring>

#include "platform/hostprocess.h"
#include "rpc/client.h"

namespace tokenhub {

namespace {

// The role whose module bears this file name; kRoleCount when none.
unsigned roleOf(const char *fileName) {
  for (unsigned role = 0; role < kRoleCount; ++role) {
    size_t base = std::strlen(backendRoles[role].baseName);
    if (std::strncmp(fileName, backendRoles[role].baseName, base) == 0 &&
        std::strcmp(fileName + base, moduleSuffix()) == 0)
      return role;
  }
  return kRoleCount;
}

}  // namespace

bool runsHosted(const char *fileName) {
  char program[4096], path[4096];
  return roleOf(fileName) != kRoleCount &&
         (otherBitnessModule(fileName, program, sizeof program, path, sizeof path) || readHostBackendsSwitch());
}

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
