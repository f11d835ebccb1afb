#include "rpc/server.h"

#include <cstring>

#include "rpc/calls.h"

namespace tokenhub::rpc {

namespace {

// One call of the table: decode every part, call the module, write the outputs.
template <typename C, size_t... I>
CK_RV serveCall(const CK_FUNCTION_LIST &module, Reader &in, Writer &out, bool &readable,
                std::index_sequence<I...>) {
  std::tuple<typename std::tuple_element_t<I, typename C::PartList>::Held...> held;
  Arena arena;
  readable = (std::get<I>(held).decode(in, arena) && ...) && in.atEnd();
  if (!readable) return kParseError;
  auto function = module.*C::member;
  if (!function) return CKR_FUNCTION_NOT_SUPPORTED;
  CK_RV rv = std::apply(function, std::tuple_cat(std::get<I>(held).args()...));
  beginBody(out, C::id, C::response());
  ((rv = std::get<I>(held).respond(out, rv)), ...);
  return rv;
}

// The handshake: the protocol string, whether a reserved string follows, the string.
CK_RV initialize(const CK_FUNCTION_LIST &module, Reader &in, Writer &out, bool &readable) {
  InBytes::Held handshake, reserved;
  uint8_t hasReserved;
  Arena arena;
  readable = handshake.decode(in, arena) && in.byte(hasReserved) && reserved.decode(in, arena) && in.atEnd();
  if (!readable) return kParseError;
  if (handshake.length != sizeof kHandshake - 1 || std::memcmp(handshake.data, kHandshake, handshake.length) != 0)
    return CKR_GENERAL_ERROR;
  std::vector<char> text;
  if (hasReserved && reserved.data) text.assign(reserved.data, reserved.data + reserved.length), text.push_back(0);
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  args.pReserved = text.empty() ? nullptr : text.data();
  CK_RV rv = module.C_Initialize(&args);
  if (rv == CKR_OK) beginBody(out, kCallInitialize, "");
  return rv;
}

CK_RV finalize(const CK_FUNCTION_LIST &module, Reader &in, Writer &out, bool &readable) {
  readable = in.atEnd();
  if (!readable) return kParseError;
  CK_RV rv = module.C_Finalize(nullptr);
  if (rv == CKR_OK) beginBody(out, kCallFinalize, "");
  return rv;
}

template <size_t... I>
CK_RV dispatch(const CK_FUNCTION_LIST &module, uint32_t id, const std::string &signature, Reader &in, Writer &out,
               bool &readable, std::index_sequence<I...>) {
  CK_RV rv = CKR_FUNCTION_NOT_SUPPORTED;
  bool known = ((id == std::tuple_element_t<I, Calls>::id &&
                 ((readable = signature == std::tuple_element_t<I, Calls>::request()) &&
                      (rv = serveCall<std::tuple_element_t<I, Calls>>(
                           module, in, out, readable,
                           std::make_index_sequence<std::tuple_size_v<typename std::tuple_element_t<I, Calls>::PartList>>{})),
                  true)) ||
                ...);
  if (known && !readable) return kParseError;
  return rv;
}

}  // namespace

bool answer(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &request, std::vector<uint8_t> &response) {
  Reader in(request.data(), request.size());
  Writer out;
  uint32_t id = 0;
  std::string signature;
  bool readable = readBodyStart(in, id, signature);
  CK_RV rv = kParseError;
  if (readable) {
    if (id == kCallInitialize)
      rv = (readable = signature == "ayyay") ? initialize(module, in, out, readable) : kParseError;
    else if (id == kCallFinalize)
      rv = (readable = signature.empty()) ? finalize(module, in, out, readable) : kParseError;
    else
      rv = dispatch(module, id, signature, in, out, readable, std::make_index_sequence<std::tuple_size_v<Calls>>{});
  }
  if (rv == CKR_OK && out.failed()) rv = kPrepareError;
  if (rv != CKR_OK) {
    out = Writer();
    beginBody(out, kCallError, "u");
    out.uint64(rv);
  }
  response = std::move(out.bytes());
  return readable;
}

int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe) {
  uint8_t version;
  if (!pipeRead(pipe, &version, 1)) return 1;
  // A peer that speaks a later version learns ours and speaks it.
  uint8_t ours = kProtocolVersion;
  if (!pipeWrite(pipe, &ours, 1)) return 1;
  int result = 1;
  std::vector<uint8_t> options, request, response;
  for (;;) {
    uint8_t header[kHeaderSize];
    if (!pipeRead(pipe, header, 1)) {
      result = 0;  // the peer hung up between messages
      break;
    }
    uint32_t code, optionsLength, bodyLength;
    Reader h(header, sizeof header);
    if (!pipeRead(pipe, header + 1, sizeof header - 1) || !h.uint32(code) || !h.uint32(optionsLength) ||
        !h.uint32(bodyLength) || optionsLength > kMaxOptions || bodyLength > kMaxMessage)
      break;
    options.resize(optionsLength);
    request.resize(bodyLength);
    if (!pipeRead(pipe, options.data(), optionsLength) || !pipeRead(pipe, request.data(), bodyLength)) break;
    bool readable = answer(module, request, response);
    std::vector<uint8_t> bytes = frame(code, response);
    if (!pipeWrite(pipe, bytes.data(), bytes.size()) || !readable) break;
  }
  // A peer that went without C_Finalize leaves a module that may hold a
  // login on the card: finalise it (a module not initialised refuses).
  module.C_Finalize(nullptr);
  return result;
}

}  // namespace tokenhub::rpc
