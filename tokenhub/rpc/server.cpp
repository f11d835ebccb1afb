#include "rpc/server.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "rpc/calls.h"

namespace tokenhub::rpc {

namespace {

using Job = std::function<CK_RV(Writer &out)>;

Job fails(CK_RV rv) {
  return [rv](Writer &) { return rv; };
}

// One call of the table: every part decoded now; the job calls the module
// and writes the outputs.
template <typename C, size_t... I>
Job prepareCall(const CK_FUNCTION_LIST &module, Reader &in, bool &readable, std::index_sequence<I...>) {
  struct State {
    std::tuple<typename std::tuple_element_t<I, typename C::PartList>::Held...> held;
    Arena arena;
  };
  auto state = std::make_shared<State>();
  readable = (std::get<I>(state->held).decode(in, state->arena) && ...) && in.atEnd();
  if (!readable) return fails(kParseError);
  auto function = module.*C::member;
  if (!function) return fails(CKR_FUNCTION_NOT_SUPPORTED);
  return [state, function](Writer &out) {
    auto &held = state->held;
    CK_RV rv = std::apply(function, std::tuple_cat(std::get<I>(held).args()...));
    beginBody(out, C::id, C::response());
    ((rv = std::get<I>(held).respond(out, rv)), ...);
    return rv;
  };
}

// The handshake: the protocol string, whether a reserved string follows, the string.
Job prepareInitialize(const CK_FUNCTION_LIST &module, Reader &in, bool &readable) {
  InBytes::Held handshake, reserved;
  uint8_t hasReserved;
  Arena arena;
  readable = handshake.decode(in, arena) && in.byte(hasReserved) && reserved.decode(in, arena) && in.atEnd();
  if (!readable) return fails(kParseError);
  if (handshake.length != sizeof kHandshake - 1 || std::memcmp(handshake.data, kHandshake, handshake.length) != 0)
    return fails(CKR_GENERAL_ERROR);
  auto text = std::make_shared<std::vector<char>>();
  if (hasReserved && reserved.data) text->assign(reserved.data, reserved.data + reserved.length), text->push_back(0);
  return [&module, text](Writer &out) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = text->empty() ? nullptr : text->data();
    CK_RV rv = module.C_Initialize(&args);
    if (rv == CKR_OK) beginBody(out, kCallInitialize, "");
    return rv;
  };
}

Job prepareFinalize(const CK_FUNCTION_LIST &module, Reader &in, bool &readable) {
  if (!(readable = in.atEnd())) return fails(kParseError);
  return [&module](Writer &out) {
    CK_RV rv = module.C_Finalize(nullptr);
    if (rv == CKR_OK) beginBody(out, kCallFinalize, "");
    return rv;
  };
}

template <size_t... I>
Job prepareTableCall(const CK_FUNCTION_LIST &module, uint32_t id, const std::string &signature, Reader &in,
                     bool &readable, std::index_sequence<I...>) {
  Job job = fails(CKR_FUNCTION_NOT_SUPPORTED);  // a later protocol's call
  ((id == std::tuple_element_t<I, Calls>::id &&
    (job = (readable = signature == std::tuple_element_t<I, Calls>::request())
               ? prepareCall<std::tuple_element_t<I, Calls>>(
                     module, in, readable,
                     std::make_index_sequence<std::tuple_size_v<typename std::tuple_element_t<I, Calls>::PartList>>{})
               : fails(kParseError),
     true)) ||
   ...);
  return job;
}

}  // namespace

Request prepare(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &body) {
  Reader in(body.data(), body.size());
  uint32_t id = 0;
  std::string signature;
  Request request;
  request.readable = readBodyStart(in, id, signature);
  Job job = fails(kParseError);
  if (request.readable) {
    request.exclusive = id == kCallInitialize || id == kCallFinalize;
    if (id == kCallInitialize)
      job = (request.readable = signature == "ayyay") ? prepareInitialize(module, in, request.readable) : job;
    else if (id == kCallFinalize)
      job = (request.readable = signature.empty()) ? prepareFinalize(module, in, request.readable) : job;
    else
      job = prepareTableCall(module, id, signature, in, request.readable,
                             std::make_index_sequence<std::tuple_size_v<Calls>>{});
  }
  request.run = [job](std::vector<uint8_t> &response) {
    Writer out;
    CK_RV rv = job(out);
    if (rv == CKR_OK && out.failed()) rv = kPrepareError;
    if (rv != CKR_OK) {
      out = Writer();
      beginBody(out, kCallError, "u");
      out.uint64(rv);
    }
    response = std::move(out.bytes());
  };
  return request;
}

bool answer(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &request, std::vector<uint8_t> &response) {
  Request prepared = prepare(module, request);
  prepared.run(response);
  return prepared.readable;
}

namespace {

// The calls running on threads of their own, and the pipe they answer on.
class Running {
 public:
  explicit Running(const HostPipe &pipe) : pipe_(pipe) {}

  void start(uint32_t code, Request request) {
    std::unique_lock<std::mutex> hold(lock_);
    ++running_;
    hold.unlock();
    std::thread([this, code, request = std::move(request)] {
      bool written = run(code, request);
      std::lock_guard<std::mutex> done(lock_);
      failed_ = failed_ || !written;
      if (--running_ == 0) idle_.notify_all();
    }).detach();
  }

  bool run(uint32_t code, const Request &request) {
    std::vector<uint8_t> response;
    request.run(response);
    std::vector<uint8_t> bytes = frame(code, response);
    std::lock_guard<std::mutex> hold(writeLock_);
    return pipeWrite(pipe_, bytes.data(), bytes.size());
  }

  void waitIdle() {
    std::unique_lock<std::mutex> hold(lock_);
    idle_.wait(hold, [this] { return running_ == 0; });
  }

  // A peer that sends more at once than this waits for its answers in turn.
  bool full() {
    std::lock_guard<std::mutex> hold(lock_);
    return running_ >= 32;
  }

  bool failed() {
    std::lock_guard<std::mutex> hold(lock_);
    return failed_;
  }

 private:
  HostPipe pipe_;
  std::mutex lock_, writeLock_;
  std::condition_variable idle_;
  unsigned running_ = 0;
  bool failed_ = false;
};

}  // namespace

int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe) {
  uint8_t version;
  if (!pipeRead(pipe, &version, 1)) return 1;
  // A peer that speaks a later version learns ours and speaks it.
  uint8_t ours = kProtocolVersion;
  if (!pipeWrite(pipe, &ours, 1)) return 1;
  int result = 1;
  Running calls(pipe);
  std::vector<uint8_t> options, body;
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
    body.resize(bodyLength);
    if (!pipeRead(pipe, options.data(), optionsLength) || !pipeRead(pipe, body.data(), bodyLength)) break;
    Request request = prepare(module, body);
    if (request.exclusive || !request.readable) {
      calls.waitIdle();
      if (!calls.run(code, request) || !request.readable) break;
    } else if (calls.full()) {
      if (!calls.run(code, request)) break;
    } else {
      calls.start(code, std::move(request));
    }
    if (calls.failed()) break;
  }
  calls.waitIdle();
  // A peer that went without C_Finalize leaves a module that may hold a
  // login on the card: finalise it (a module not initialised refuses).
  module.C_Finalize(nullptr);
  return result;
}

}  // namespace tokenhub::rpc
