// The host's side of the protocol: serves one module's function list to the
// peer at the other end of a pipe. Requests are read and decoded in order;
// a quick call runs on the thread that read it, one that may wait (a PIN
// pad's C_Login) on a thread of its own, so that it holds up no other.
// C_Initialize and C_Finalize wait until no call runs.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/hostprocess.h"
#include "rpc/codec.h"
#include "tokenhub/pkcs11v3.h"

namespace tokenhub::rpc {

// One decoded request: `run` calls the module and writes the response body;
// true when the answer shows that any call of the module may wait for a PIN
// from now on.
struct Request {
  bool readable = false;   // false: malformed; `run` writes that call's error
  bool exclusive = false;  // C_Initialize, C_Finalize
  bool mayWait = false;    // may wait for a person: a PIN, a reader's event
  std::function<bool(std::vector<uint8_t> &response)> run;
};
// `module30`: the module's 3.0 interface, whose calls are served too; null
// when it offers none (they are then CKR_FUNCTION_NOT_SUPPORTED).
Request prepare(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &body, Dialect dialect,
                const FunctionList30 *module30 = nullptr);

// Decodes, runs and answers one request body at once; false when it was malformed.
bool answer(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &request, std::vector<uint8_t> &response,
            Dialect dialect, const FunctionList30 *module30 = nullptr);

// Serves until the peer hangs up or sends a frame that cannot be delimited, then
// finalises the module if the peer left it initialised. 0 when the peer
// hung up between messages, 1 otherwise.
int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe, const FunctionList30 *module30 = nullptr);

}  // namespace tokenhub::rpc
