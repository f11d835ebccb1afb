#include "rpc/server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "rpc/calls.h"
#include "rpc/framing.h"

namespace tokenhub::rpc {

namespace {

// A job writes the call's outputs and says whether any call of the module
// may wait for a PIN from now on.
using Job = std::function<CK_RV(Writer &out, bool &anyCallMayAskForPin)>;

Job fails(CK_RV rv) {
  return [rv](Writer &, bool &) { return rv; };
}

// One call of the table: every part decoded now; the job calls the module
// and writes the outputs.
template <typename C, typename List, size_t... I>
Job prepareCall(const List &module, Reader &in, bool &readable, std::index_sequence<I...>) {
  struct State {
    std::tuple<typename std::tuple_element_t<I, typename C::PartList>::Held...> held;
    Arena arena;
  };
  auto state = std::make_shared<State>();
  readable = (std::get<I>(state->held).decode(in, state->arena) && ...) && in.atEnd();
  if (!readable) return fails(in.refusal != CKR_OK ? in.refusal : kParseError);
  auto function = module.*C::member;
  if (!function) return fails(CKR_FUNCTION_NOT_SUPPORTED);
  return [state, function](Writer &out, bool &anyCallMayAsk) {
    auto &held = state->held;
    auto args = std::tuple_cat(std::get<I>(held).args()...);
    CK_RV rv = std::apply(function, args);
    anyCallMayAsk = anyCallMayAskForPin<C::id>(rv, args);
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
  return [&module, text](Writer &out, bool &) {
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
  return [&module](Writer &out, bool &) {
    CK_RV rv = module.C_Finalize(nullptr);
    if (rv == CKR_OK) beginBody(out, kCallFinalize, "");
    return rv;
  };
}

template <typename Table, typename List, size_t... I>
bool prepareFrom(const List &module, uint32_t id, const std::string &signature, Reader &in,
                 bool &readable, Job &job, std::index_sequence<I...>) {
  return ((id == std::tuple_element_t<I, Table>::id &&
           (job = (readable = signature == std::tuple_element_t<I, Table>::request())
                      ? prepareCall<std::tuple_element_t<I, Table>>(
                            module, in, readable,
                            std::make_index_sequence<
                                std::tuple_size_v<typename std::tuple_element_t<I, Table>::PartList>>{})
                      : fails(kParseError),
            true)) ||
          ...);
}

template <typename Table, typename List>
bool prepareFrom(const List &module, uint32_t id, const std::string &signature, Reader &in,
                 bool &readable, Job &job) {
  return prepareFrom<Table>(module, id, signature, in, readable, job,
                            std::make_index_sequence<std::tuple_size_v<Table>>{});
}

}  // namespace

Request prepare(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &body, Dialect dialect,
                const FunctionList30 *module30) {
  Reader in(body.data(), body.size(), dialect);
  uint32_t id = 0;
  std::string signature;
  Request request;
  request.readable = readBodyStart(in, id, signature);
  Job job = fails(kParseError);
  if (request.readable) {
    request.exclusive = id == kCallInitialize || id == kCallFinalize;
    request.mayWait = mayWaitForPerson(id);
    if (id == kCallInitialize)
      job = (request.readable = signature == "ayyay") ? prepareInitialize(module, in, request.readable) : job;
    else if (id == kCallFinalize)
      job = (request.readable = signature.empty()) ? prepareFinalize(module, in, request.readable) : job;
    else if (!prepareFrom<Calls>(module, id, signature, in, request.readable, job) &&
             !prepareFrom<LaterCalls>(module, id, signature, in, request.readable, job) &&
             !(module30 && prepareFrom<Calls30>(*module30, id, signature, in, request.readable, job)))
      job = fails(CKR_FUNCTION_NOT_SUPPORTED);  // a call this host does not serve
  }
  request.run = [job](std::vector<uint8_t> &response) {
    Writer out;
    bool anyCallMayAsk = false;
    CK_RV rv = job(out, anyCallMayAsk);
    if (rv == CKR_OK && out.failed()) rv = kPrepareError;
    if (rv != CKR_OK) {
      out = Writer();
      beginBody(out, kCallError, "u");
      out.uint64(rv);
    }
    response = std::move(out.bytes());
    return anyCallMayAsk;
  };
  return request;
}

bool answer(const CK_FUNCTION_LIST &module, const std::vector<uint8_t> &request, std::vector<uint8_t> &response,
            Dialect dialect, const FunctionList30 *module30) {
  Request prepared = prepare(module, request, dialect, module30);
  prepared.run(response);
  return prepared.readable;
}

namespace {

// The answer to a frame too long to read: its call fails, nothing else.
Request refuseTooLong() {
  Request request;
  request.run = [](std::vector<uint8_t> &response) {
    Writer out;
    beginBody(out, kCallError, "u");
    out.uint64(CKR_DATA_LEN_RANGE);
    response = std::move(out.bytes());
    return false;
  };
  return request;
}

// The threads that serve the pipe, leader and followers: one reads the next
// request and runs its call itself. A call that may wait for a person (a
// PIN, a reader's event) first hands the reading to an idle thread (or a
// new one, up to kMaxThreads), so that it holds up no other; so does every
// call once the module has shown that any call may ask for a PIN, or has
// been slow. A quick call thus costs no hand-over.
class Server {
 public:
  Server(const CK_FUNCTION_LIST &module, const FunctionList30 *module30, const HostPipe &pipe, Dialect dialect)
      : module_(module), module30_(module30), pipe_(pipe), dialect_(dialect) {}

  int run() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++threads_;
    }
    serve();
    std::unique_lock<std::mutex> hold(lock_);
    // The peer has gone. A call that never returns keeps the host no longer
    // than kLeaveMs: nothing else ends a host whose application has gone.
    if (!changed_.wait_for(hold, std::chrono::milliseconds(kLeaveMs), [this] { return threads_ == 0; }))
      std::_Exit(result_);
    return result_;
  }

 private:
  static constexpr unsigned kMaxThreads = 32;
  static constexpr unsigned kLeaveMs = 3000;
  static constexpr unsigned kSlowMs = 1000;  // a call this long may have waited for a person

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
      using Got = FrameReader::Got;
      Got read = reader_.next(pipe_, code, body);
      Request request = read == Got::Frame     ? prepare(module_, body, dialect_, module30_)
                        : read == Got::TooLong ? refuseTooLong()
                                               : Request{};
      hold.lock();
      if (read != Got::Frame && read != Got::TooLong) {
        finish(read == Got::End ? 0 : 1);
        break;
      }
      if (request.exclusive) {
        // C_Initialize and C_Finalize run alone.
        changed_.wait(hold, [this] { return running_ == 0; });
        hold.unlock();
        bool unused;
        bool written = answer(code, request, unused);
        hold.lock();
        if (!written) {
          finish(1);
          break;
        }
        reading_ = false;
        turn_.notify_one();
        continue;
      }
      ++running_;
      bool handOver = request.mayWait || patient_;
      if (handOver) {
        reading_ = false;
        if (idle_ == 0 && threads_ < kMaxThreads) {
          ++threads_;
          std::thread([this] { serve(); }).detach();
        }
        turn_.notify_one();
      }
      hold.unlock();
      auto begun = std::chrono::steady_clock::now();
      bool anyCallMayAsk = false;
      bool written = answer(code, request, anyCallMayAsk);
      bool slow = !handOver && std::chrono::steady_clock::now() - begun >= std::chrono::milliseconds(kSlowMs);
      hold.lock();
      if (anyCallMayAsk || slow) patient_ = true;
      if (!handOver) reading_ = false;  // and this thread reads on
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

  bool answer(uint32_t code, const Request &request, bool &anyCallMayAsk) {
    std::vector<uint8_t> response;
    anyCallMayAsk = request.run(response);
    std::vector<uint8_t> bytes = frame(code, response);
    std::lock_guard<std::mutex> hold(writeLock_);
    return pipeWrite(pipe_, bytes.data(), bytes.size());
  }

  const CK_FUNCTION_LIST &module_;
  const FunctionList30 *module30_;
  HostPipe pipe_;
  FrameReader reader_{true};  // the reading thread's
  Dialect dialect_;
  std::mutex lock_, writeLock_;
  std::condition_variable turn_;     // the reading passes to one idle thread
  std::condition_variable changed_;  // no call runs; a thread has ended
  unsigned threads_ = 0, idle_ = 0, running_ = 0;
  bool reading_ = false, done_ = false;
  bool patient_ = false;  // every call is handed over
  int result_ = 1;
};

}  // namespace

int serve(const CK_FUNCTION_LIST &module, const HostPipe &pipe, const FunctionList30 *module30) {
  uint8_t offered;
  if (!pipeRead(pipe, &offered, 1)) return 1;
  // The peer offers its highest version and speaks the lower of its and
  // ours; what it offered also names its mechanism layout.
  Dialect dialect{std::min(offered, kProtocolVersion)};
  if (!pipeWrite(pipe, &dialect.version, 1)) return 1;
  Server server(module, module30, pipe, dialect);
  return server.run();
}

}  // namespace tokenhub::rpc
