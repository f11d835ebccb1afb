// The module host's request decoder over arbitrary bodies, in every
// version's layout (the first byte): whatever a peer
// sends, the host answers or refuses it, never reads beyond the message and
// never allocates beyond the budget. The module answers every call with
// CKR_OK, so that the outputs are written too.
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "rpc/calls.h"
#include "rpc/server.h"

using namespace tokenhub;

namespace {

template <typename F>
struct Stub;
template <typename... Args>
struct Stub<CK_RV (*)(Args...)> {
  static CK_RV call(Args...) { return CKR_OK; }
};

template <size_t... I>
CK_FUNCTION_LIST stubModule(std::index_sequence<I...>) {
  CK_FUNCTION_LIST list{};
  list.C_Initialize = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
  list.C_Finalize = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
  ((list.*std::tuple_element_t<I, rpc::Calls>::member =
        Stub<std::remove_reference_t<decltype(list.*std::tuple_element_t<I, rpc::Calls>::member)>>::call),
   ...);
  return list;
}

const CK_FUNCTION_LIST module = stubModule(std::make_index_sequence<std::tuple_size_v<rpc::Calls>>{});

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The first byte: the version the connection agreed on (and so its layout).
  if (size < 1) return 0;
  rpc::Dialect dialect{static_cast<uint8_t>(data[0] % (rpc::kProtocolVersion + 1))};
  std::vector<uint8_t> request(data + 1, data + size), response;
  bool readable = rpc::answer(module, request, response, dialect);
  // Every answer opens with a call id and a signature, even a refusal.
  rpc::Reader in(response.data(), response.size());
  uint32_t id;
  std::string signature;
  if (!rpc::readBodyStart(in, id, signature)) __builtin_trap();
  if (!readable && id != rpc::kCallError) __builtin_trap();
  return 0;
}
