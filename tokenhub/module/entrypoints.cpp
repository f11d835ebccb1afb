// The 68 exported functions. Each one hands its call to the list in force,
// the router's own or the trace layer over it, and is the boundary to the
// host's C code: an exception that a call ends with (the host is out of
// memory; a backend written in C++ lets one out) becomes a result, with a
// trace line, and never unwinds into the host, which would end it.
#include "module/entrypoints.h"

#include <new>

#include "state/core.h"
#include "state/functions.h"
#include "calls/init.h"
#include "rpc/client.h"
#include "trace/trace.h"
#include "trace/tracelayer.h"

namespace tokenhub {

namespace {

// The router's own entry points, in list order.
const CK_FUNCTION_LIST coreList = {
    {2, 11},
#define TOKENHUB_CORE(name) core::name,
    TOKENHUB_FUNCTIONS(TOKENHUB_CORE)
#undef TOKENHUB_CORE
};

// What C_GetFunctionList hands out: the exported functions themselves.
const CK_FUNCTION_LIST exported = {
    {2, 11},
#define TOKENHUB_EXPORTED(name) ::name,
    TOKENHUB_FUNCTIONS(TOKENHUB_EXPORTED)
#undef TOKENHUB_EXPORTED
};
CK_FUNCTION_LIST routerFunctionList;

const CK_FUNCTION_LIST *traced = &coreList;  // the trace layer, from process attach on

const CK_FUNCTION_LIST &inForce() { return trace::active() ? *traced : coreList; }

template <auto Member, typename... Arguments>
CK_RV enter(Arguments... arguments) {
  try {
    if constexpr (sameMember(Member, &CK_FUNCTION_LIST::C_Initialize)) trace::beginInitialize();
    return (inForce().*Member)(arguments...);
  } catch (const std::bad_alloc &) {
    trace::exception(functionName<Member>(), "out of memory", CKR_HOST_MEMORY);
    return CKR_HOST_MEMORY;
  } catch (...) {
    trace::exception(functionName<Member>(), "unexpected", CKR_GENERAL_ERROR);
    return CKR_GENERAL_ERROR;
  }
}

}  // namespace

void routerProcessAttach() {
  trace::attach();
  libraryAttach();
  traced = &trace::layer(coreList);
  afterForkInChild(routerAfterFork);
}

void routerAfterFork() {
  libraryAfterFork();
  trace::afterFork();  // the trace file's lock, likewise made anew
}

void routerProcessDetach(bool leaveBackends) {
  if (!leaveBackends) {
    C_Finalize(nullptr);
    // Initialised more than once: the hosts end with the router all the same.
    rpc::endHosts();
  }
  libraryDetach();
  trace::detach();
}

}  // namespace tokenhub

namespace tokenhub::core {

// The list is written afresh on every call: a consumer that wrote into it
// changes nothing for the next one.
CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
  routerFunctionList = exported;
  *ppFunctionList = &routerFunctionList;
  return CKR_OK;
}

}  // namespace tokenhub::core

using namespace tokenhub;

extern "C" {
#define TOKENHUB_ENTRY(name, parameters, arguments) \
  CK_RV name parameters { return enter<&CK_FUNCTION_LIST::name> arguments; }
#include "signatures.inc"
#undef TOKENHUB_ENTRY
}
