// The host's side of the protocol: serves one module's function list to the
// peer at the other end of a pipe. Requests are read and decoded in order on
// one thread; each call then runs on a thread of its own, so that a call
// that waits (a PIN pad's C_Login) holds up no other. C_Initialize and
// C_Finalize wait until no call runs.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/hostprocess.h"
#include "tokenhub/pkcs11.h"

namespace tokenhub::rpc {

// One decoded request: `run` calls the module and writes the response body.
struct Request {
  bool readable = false;   // false: malformed; `run` writes the error that ends the connection
  bool exclusive = false;  // C_Initialize, C_Finalize
  std::function<void(std::vector<uint8_t> &response)> run;
};
Request prepare(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &body);

// Decodes, runs and answers one request body at once; false when it was malformed.
bool answer(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &request, std::vector<uint8_t> &response);

// Serves until the peer hangs up or sends what cannot be read, then
// finalises the module if the peer left it initialised. 0 when the peer
// hung up between messages, 1 otherwise.
int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe);

}  // namespace tokenhub::rpc
