// How the router reads the host's answer to one call of the table into the
// caller's outputs. Internal to the router's side of the protocol (and its
// fuzz target): the answer is the host's, so nothing in it is trusted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "rpc/calls.h"

namespace tokenhub::rpc {

template <typename C, typename Args, size_t... I>
CK_RV readParts(Reader &in, Args &args, bool &ok, std::index_sequence<I...>) {
  constexpr auto at = C::offsets();
  CK_RV rv = CKR_OK;
  CK_RV part = CKR_OK;
  ((part = std::tuple_element_t<I, typename C::PartList>::template read<at[I]>(in, args, ok),
    rv = rv == CKR_OK ? part : rv),
   ...);
  return rv;
}

// Reads the answer body to call C into the outputs among `args` (the call's
// arguments as the caller passed them) and sets `rv` to the call's result.
// False when the answer is malformed: neither an error answer (id 0, one
// code other than CKR_OK) nor C's own id and response signature with parts
// that read to its end. The connection is then not to be trusted further.
template <typename C, typename Args>
bool readAnswer(const uint8_t *body, size_t size, Dialect dialect, Args &args, CK_RV &rv) {
  Reader in(body, size, dialect);
  uint32_t id;
  std::string signature;
  bool ok = readBodyStart(in, id, signature);
  if (ok && id == kCallError) {
    CK_ULONG code = CKR_OK;
    ok = signature == "u" && in.ulong(code) && in.atEnd() && code != CKR_OK;
    rv = code;
    return ok;
  }
  ok = ok && id == C::id && signature == C::response();
  if (ok) rv = readParts<C>(in, args, ok, std::make_index_sequence<std::tuple_size_v<typename C::PartList>>{});
  return ok && in.atEnd();
}

}  // namespace tokenhub::rpc
