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
  (void)((id == std::tuple_element_t<I, Calls>::id &&
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

// Reads one whole frame: its code and body (its options read and left aside).
// False at the end of the pipe (*between: between two frames) or when a
// length is beyond what a frame may hold.
bool readFrame(const HostPipe &pipe, uint32_t &code, std::vector<uint8_t> &body, bool &between) {
  uint8_t header[kHeaderSize];
  between = !pipeRead(pipe, header, 1);
  if (between) return false;
  uint32_t optionsLength, bodyLength;
  Reader h(header, sizeof header);
  if (!pipeRead(pipe, header + 1, sizeof header - 1) || !h.uint32(code) || !h.uint32(optionsLength) ||
      !h.uint32(bodyLength) || optionsLength > kMaxOptions || bodyLength > kMaxMessage)
    return false;
  std::vector<uint8_t> options(optionsLength);
  body.resize(bodyLength);
  return pipeRead(pipe, options.data(), optionsLength) && pipeRead(pipe, body.data(), bodyLength);
}

// The threads that serve the pipe, leader and followers: one reads the next
// request, hands the reading to an idle thread (or a new one, up to
// kMaxThreads) and runs its call itself, so that a call costs no hand-over
// and one that waits holds up no other.
class Server {
 public:
  Server(const CK_FUNCTION_LIST &module, const HostPipe &pipe) : module_(module), pipe_(pipe) {}

  int run() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++threads_;
    }
    serve();
    std::unique_lock<std::mutex> hold(lock_);
    // A call that never returns keeps the host until it is ended.
    changed_.wait(hold, [this] { return threads_ == 0; });
    return result_;
  }

 private:
  static constexpr unsigned kMaxThreads = 32;

  void serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      ++idle_;
      turn_.wait(hold, [this] { return done_ || !reading_; });
      --idle_;
      if (done_) break;
      reading_ = true;
      hold.unlock();
      uint32_t code = 0;
      std::vector<uint8_t> body;
      bool between = false;
      bool read = readFrame(pipe_, code, body, between);
      Request request = read ? prepare(module_, body) : Request{};
      hold.lock();
      if (!read) {
        finish(between ? 0 : 1);
        break;
      }
      if (request.exclusive || !request.readable) {
        // C_Initialize and C_Finalize run alone; a malformed request's
        // refusal is the connection's last answer.
        changed_.wait(hold, [this] { return running_ == 0; });
        hold.unlock();
        bool written = answer(code, request);
        hold.lock();
        if (!written || !request.readable) {
          finish(1);
          break;
        }
        reading_ = false;
        turn_.notify_one();
        continue;
      }
      ++running_;
      reading_ = false;
      if (idle_ == 0 && threads_ < kMaxThreads) {
        ++threads_;
        std::thread([this] { serve(); }).detach();
      }
      turn_.notify_one();
      hold.unlock();
      bool written = answer(code, request);
      hold.lock();
      if (--running_ == 0) changed_.notify_all();
      if (!written) finish(1);
    }
    if (--threads_ == 0) {
      // The last thread: no call runs any more. A peer that went without
      // C_Finalize leaves a module that may hold a login on the card.
      hold.unlock();
      module_.C_Finalize(nullptr);
      hold.lock();
    }
    changed_.notify_all();
  }

  void finish(int result) {
    if (!done_) result_ = result;
    done_ = true;
    reading_ = false;
    turn_.notify_all();
    changed_.notify_all();
  }

  bool answer(uint32_t code, const Request &request) {
    std::vector<uint8_t> response;
    request.run(response);
    std::vector<uint8_t> bytes = frame(code, response);
    std::lock_guard<std::mutex> hold(writeLock_);
    return pipeWrite(pipe_, bytes.data(), bytes.size());
  }

  const CK_FUNCTION_LIST &module_;
  HostPipe pipe_;
  std::mutex lock_, writeLock_;
  std::condition_variable turn_;     // the reading passes to one idle thread
  std::condition_variable changed_;  // no call runs; a thread has ended
  unsigned threads_ = 0, idle_ = 0, running_ = 0;
  bool reading_ = false, done_ = false;
  int result_ = 1;
};

}  // namespace

int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe) {
  uint8_t version;
  if (!pipeRead(pipe, &version, 1)) return 1;
  // A peer that speaks a later version learns ours and speaks it.
  uint8_t ours = kProtocolVersion;
  if (!pipeWrite(pipe, &ours, 1)) return 1;
  Server server(module, pipe);
  return server.run();
}

}  // namespace tokenhub::rpc
