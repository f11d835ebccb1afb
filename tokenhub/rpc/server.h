// The host's side of the protocol: serves one module's function list to the
// peer at the other end of a pipe.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/hostprocess.h"
#include "tokenhub/pkcs11.h"

namespace tokenhub::rpc {

// Answers one request body. False when the request is malformed: the
// response then holds the error that ends the connection.
bool answer(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &request, std::vector<uint8_t> &response);

// Serves until the peer hangs up or sends what cannot be read, then
// finalises the module if the peer left it initialised. 0 when the peer
// hung up between messages, 1 otherwise.
int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe);

}  // namespace tokenhub::rpc
