#include "rpc/client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/hostprocess.h"
#include "rpc/answer.h"

namespace tokenhub::rpc {

namespace {

std::atomic<HostEventHook> eventHook{nullptr};
std::atomic<uint32_t> callBoundMs{60000};
std::atomic<uint32_t> pinBoundMs{300000};

void report(const HostEvent &event) {
  if (HostEventHook hook = eventHook.load()) hook(event);
}

uint64_t nowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// A host whose pipe broke is usually gone already: a moment to collect how
// it ended before it is ended for sure.
constexpr uint32_t kDyingMs = 200;

// The router finalises its backends one after the other; together they
// take at most kFinalizeBoundMs less a margin for ending the hosts.
uint32_t finalizeTimeLeft() {
  static std::atomic<uint64_t> windowEnd{0};
  uint64_t now = nowMs(), end = windowEnd;
  if (now >= end + 1000) windowEnd = end = now + kFinalizeBoundMs - 800;
  return now < end ? static_cast<uint32_t>(end - now) : 1;
}

// Calls that name a session; the others name a slot or nothing.
constexpr bool namesSession(uint32_t id) {
  return id >= kCallCloseSession && id != kCallCloseAllSessions && id != kCallWaitForSlotEvent;
}
constexpr bool mayWaitForPin(uint32_t id) {
  return id == kCallLogin || id == kCallInitPIN || id == kCallSetPIN || id == kCallInitToken;
}
// What the module answers when a session is gone.
bool sessionGone(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_SESSION_CLOSED || rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED ||
         rv == CKR_TOKEN_NOT_PRESENT;
}

// One hosted backend: the host process, its pipe, and the sessions opened
// through it. The router sees session handles of this backend's own (1, 2,
// 3...), never the host's: a session of a host that has gone can never
// reach its successor, which numbers its sessions afresh.
class HostedBackend {
 public:
  void configure(unsigned index, const char *program, const char *module) {
    std::lock_guard<std::mutex> hold(lock_);
    index_ = index;
    std::snprintf(program_, sizeof program_, "%s", program);
    std::snprintf(module_, sizeof module_, "%s", module);
  }

  CK_RV initialize() {
    std::lock_guard<std::mutex> hold(lock_);
    // A forked child starts its own host; the parent's stays the parent's.
    if (initialised_ && !ownsHost(child_)) {
      abandon();
      initialised_ = false;
    }
    if (initialised_) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    startCount_ = 0;
    leftOut_ = false;
    CK_RV rv = start();
    if (rv == CKR_OK) initialised_ = true;
    return rv;
  }

  CK_RV finalize() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!initialised_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    initialised_ = false;
    uint32_t left = finalizeTimeLeft();
    if (open_ && ownsHost(child_)) {
      Writer body;
      beginBody(body, kCallFinalize, "");
      std::vector<uint8_t> response;
      roundTrip(body.bytes(), response, left);
    }
    stop(std::min<uint32_t>(finalizeTimeLeft(), 200));
    return CKR_OK;
  }

  // Before a call: the host's generation to send it to. A call naming a
  // session of a host that has gone finds none; a slot-level call starts a
  // new host within the limit.
  CK_RV enter(bool sessionCall, uint32_t &generation) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!initialised_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (open_ && !ownsHost(child_)) abandon();  // a forked child: the parent's host is not ours
    if (!open_) {
      if (sessionCall) return CKR_SESSION_HANDLE_INVALID;
      CK_RV rv = start();
      if (rv != CKR_OK) return rv;
    }
    generation = generation_;
    return CKR_OK;
  }

  // One request and its answer, with other threads' calls in flight on the
  // same pipe: a caller waiting for its answer reads the pipe for all
  // waiters while no other does, and keeps the answers of others for them.
  // False when the host has gone, hung past the caller's bound or answered
  // what cannot be read: the host is then ended, its sessions forgotten.
  bool exchange(uint32_t generation, const std::vector<uint8_t> &request, std::vector<uint8_t> &response,
                uint32_t boundMs) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!open_ || generation != generation_) return false;
    uint32_t code = ++code_;
    HostPipe pipe = child_.pipe;
    uint64_t deadline = nowMs() + boundMs;
    hold.unlock();
    std::vector<uint8_t> bytes = frame(code, request);
    bool written;
    {
      std::lock_guard<std::mutex> writing(writeLock_);
      written = pipeWrite(pipe, bytes.data(), bytes.size());
    }
    hold.lock();
    if (!written) return fail(hold, generation);
    for (;;) {
      if (!open_ || generation != generation_) return false;
      auto found = arrived_.find(code);
      if (found != arrived_.end()) {
        response = std::move(found->second);
        arrived_.erase(found);
        return true;
      }
      if (!reading_) {
        reading_ = true;
        hold.unlock();
        uint32_t answered;
        std::vector<uint8_t> body;
        bool ok = readFrame(pipe, answered, body, deadline);
        hold.lock();
        reading_ = false;
        if (!ok) return fail(hold, generation);
        if (generation == generation_) arrived_[answered] = std::move(body);
        answers_.notify_all();
        continue;
      }
      if (answers_.wait_until(hold, std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline))) ==
              std::cv_status::timeout &&
          !arrived_.count(code))
        return fail(hold, generation);
    }
  }

  void malformed(uint32_t generation) {
    std::unique_lock<std::mutex> hold(lock_);
    fail(hold, generation);
  }

  bool toHost(CK_SESSION_HANDLE session, uint32_t generation, CK_SESSION_HANDLE &hostSession) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = sessions_.find(session);
    if (found == sessions_.end() || generation != generation_) return false;
    hostSession = found->second.hostHandle;
    return true;
  }

  CK_SESSION_HANDLE addSession(CK_SESSION_HANDLE hostSession, CK_SLOT_ID slot, uint32_t generation) {
    std::lock_guard<std::mutex> hold(lock_);
    if (generation != generation_) return 0;
    if (++lastSession_ == 0) ++lastSession_;
    sessions_[lastSession_] = Session{hostSession, slot};
    return lastSession_;
  }

  void dropSession(CK_SESSION_HANDLE session) {
    std::lock_guard<std::mutex> hold(lock_);
    sessions_.erase(session);
  }

  void dropSlotSessions(CK_SLOT_ID slot) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto each = sessions_.begin(); each != sessions_.end();)
      each = each->second.slot == slot ? sessions_.erase(each) : std::next(each);
  }

 private:
  struct Session {
    CK_SESSION_HANDLE hostHandle;
    CK_SLOT_ID slot;
  };

  // Starts the host and opens the connection: the version byte each way,
  // then C_Initialize with the protocol's handshake.
  CK_RV start() {
    uint64_t now = nowMs();
    if (leftOut_) return CKR_DEVICE_ERROR;
    if (startCount_ >= kMaxStarts && now - starts_[startCount_ % kMaxStarts] < kStartWindowMs) {
      leftOut_ = true;
      report(HostEvent{HostEventKind::LeftOut, index_, program_, module_, 0, nullptr, startCount_, 0});
      return CKR_DEVICE_ERROR;
    }
    starts_[startCount_++ % kMaxStarts] = now;
    if (!startHost(program_, module_, child_)) return CKR_DEVICE_ERROR;
    ++generation_;
    open_ = true;
    report(HostEvent{HostEventKind::Started, index_, program_, module_, child_.pid, nullptr, startCount_, child_.bits});
    uint8_t version = kProtocolVersion;
    Writer body;
    beginBody(body, kCallInitialize, "ayyay");
    body.byte(1);
    body.byteArray(kHandshake, sizeof kHandshake - 1);
    body.byte(0);  // no reserved string: an empty one follows
    body.byte(1);
    body.byteArray("", 1);
    std::vector<uint8_t> response;
    uint8_t answer;
    if (!pipeWrite(child_.pipe, &version, 1) || !pipeRead(child_.pipe, &answer, 1, callBoundMs) ||
        answer != kProtocolVersion || !roundTrip(body.bytes(), response, callBoundMs)) {
      stop(0);
      return CKR_DEVICE_ERROR;
    }
    Reader in(response.data(), response.size());
    uint32_t id;
    std::string signature;
    CK_ULONG rv = CKR_DEVICE_ERROR;
    if (readBodyStart(in, id, signature) && id == kCallError && signature == "u" && in.ulong(rv) && in.atEnd()) {
      stop(500);
      return rv == CKR_OK ? CKR_DEVICE_ERROR : rv;
    }
    if (id != kCallInitialize || !signature.empty() || !in.atEnd()) {
      stop(0);
      return CKR_DEVICE_ERROR;
    }
    return CKR_OK;
  }

  // Ends the host (after graceMs to leave of its own accord) and forgets
  // every session opened through it.
  void stop(uint32_t graceMs) {
    if (!open_) return;
    char how[32] = "";
    uint32_t pid = child_.pid;
    if (ownsHost(child_)) endHost(child_, graceMs, how, sizeof how);
    open_ = false;
    sessions_.clear();
    arrived_.clear();
    answers_.notify_all();
    report(HostEvent{HostEventKind::Ended, index_, program_, module_, pid, how, startCount_, 0});
  }

  // In a forked child: the descriptors are the parent's; leave them alone.
  void abandon() {
    child_ = HostChild{};
    open_ = false;
    sessions_.clear();
  }

  // The host failed this call: it is ended. While another caller reads its
  // pipe, that caller sees the end and collects it.
  bool fail(std::unique_lock<std::mutex> &hold, uint32_t generation) {
    if (!open_ || generation != generation_) return false;
    if (reading_) {
      killHost(child_);
      answers_.wait(hold, [&] { return !reading_ || !open_ || generation != generation_; });
    }
    if (open_ && generation == generation_) stop(kDyingMs);
    return false;
  }

  // One whole frame by the deadline; its options are read and left aside.
  static bool readFrame(const HostPipe &pipe, uint32_t &code, std::vector<uint8_t> &body, uint64_t deadline) {
    auto left = [deadline] {
      uint64_t now = nowMs();
      return now < deadline ? static_cast<uint32_t>(deadline - now) : 1u;
    };
    uint8_t header[kHeaderSize];
    uint32_t optionsLength, bodyLength;
    Reader h(header, sizeof header);
    if (!pipeRead(pipe, header, sizeof header, left()) || !h.uint32(code) || !h.uint32(optionsLength) ||
        !h.uint32(bodyLength) || optionsLength > kMaxOptions || bodyLength > kMaxMessage)
      return false;
    std::vector<uint8_t> options(optionsLength);
    body.resize(bodyLength);
    return pipeRead(pipe, options.data(), optionsLength, left()) && pipeRead(pipe, body.data(), bodyLength, left());
  }

  // A request and its answer while no other call is in flight (opening and
  // closing the connection).
  bool roundTrip(const std::vector<uint8_t> &request, std::vector<uint8_t> &response, uint32_t boundMs) {
    uint32_t code = ++code_, answered;
    std::vector<uint8_t> bytes = frame(code, request);
    return pipeWrite(child_.pipe, bytes.data(), bytes.size()) &&
           readFrame(child_.pipe, answered, response, nowMs() + boundMs) && answered == code;
  }

  std::mutex lock_;
  std::mutex writeLock_;  // one frame at a time into the pipe
  std::condition_variable answers_;
  bool reading_ = false;  // a caller reads the pipe for all
  std::unordered_map<uint32_t, std::vector<uint8_t>> arrived_;  // answers kept for their callers
  unsigned index_ = 0;
  char program_[4096] = "";
  char module_[1024] = "";
  HostChild child_;
  bool initialised_ = false;
  bool open_ = false;
  bool leftOut_ = false;
  uint32_t generation_ = 0;
  uint32_t code_ = 0;
  unsigned startCount_ = 0;
  uint64_t starts_[kMaxStarts] = {};
  std::unordered_map<CK_SESSION_HANDLE, Session> sessions_;
  CK_SESSION_HANDLE lastSession_ = 0;
};

HostedBackend hosted[kMaxHosted];

template <typename C, typename Args, size_t... I>
CK_RV writeParts(Writer &out, const Args &args, std::index_sequence<I...>) {
  constexpr auto at = C::offsets();
  CK_RV rv = CKR_OK;
  ((rv == CKR_OK && (rv = std::tuple_element_t<I, typename C::PartList>::template write<at[I]>(out, args))), ...);
  return rv;
}

// One call of the table through hosted backend `b`.
template <typename C, typename... Args>
CK_RV clientCall(HostedBackend &b, Args... arguments) {
  std::tuple<Args...> args{arguments...};
  constexpr bool sessionCall = namesSession(C::id);
  uint32_t generation;
  CK_RV rv = b.enter(sessionCall, generation);
  if (rv != CKR_OK) return rv;
  CK_SESSION_HANDLE ours = 0;
  if constexpr (sessionCall) {
    ours = std::get<0>(args);
    if (!b.toHost(ours, generation, std::get<0>(args))) return CKR_SESSION_HANDLE_INVALID;
  }
  constexpr auto parts = std::make_index_sequence<std::tuple_size_v<typename C::PartList>>{};
  Writer out;
  beginBody(out, C::id, C::request());
  rv = writeParts<C>(out, args, parts);
  if (rv != CKR_OK) return rv;
  if (out.failed()) return CKR_ARGUMENTS_BAD;
  std::vector<uint8_t> response;
  if (!b.exchange(generation, out.bytes(), response, mayWaitForPin(C::id) ? pinBoundMs : callBoundMs))
    return CKR_DEVICE_ERROR;
  bool ok = readAnswer<C>(response.data(), response.size(), args, rv);
  if (!ok) {
    // A host that answers what cannot be read is not to be trusted further.
    b.malformed(generation);
    return CKR_DEVICE_ERROR;
  }
  if constexpr (C::id == kCallOpenSession) {
    if (rv == CKR_OK) {
      CK_SESSION_HANDLE_PTR out = std::get<4>(args);
      *out = b.addSession(*out, std::get<0>(args), generation);
      if (!*out) return CKR_DEVICE_ERROR;
    }
  } else if constexpr (C::id == kCallCloseSession) {
    if (sessionGone(rv)) b.dropSession(ours);
  } else if constexpr (C::id == kCallCloseAllSessions) {
    if (sessionGone(rv)) b.dropSlotSessions(std::get<0>(args));
  }
  return rv;
}

template <unsigned N, typename C, typename F = std::remove_reference_t<decltype(std::declval<CK_FUNCTION_LIST &>().*C::member)>>
struct Thunk;
template <unsigned N, typename C, typename... Args>
struct Thunk<N, C, CK_RV (*)(Args...)> {
  static CK_RV call(Args... args) { return clientCall<C>(hosted[N], args...); }
};

template <unsigned N>
struct HostedList {
  static CK_RV initialize(CK_VOID_PTR) { return hosted[N].initialize(); }
  static CK_RV finalize(CK_VOID_PTR reserved) { return reserved ? CKR_ARGUMENTS_BAD : hosted[N].finalize(); }
  static CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
  }
  static CK_RV notParallel(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }
  // A wait would hold the pipe; the router takes card events from PC/SC.
  static CK_RV noSlotEvents(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) { return CKR_FUNCTION_NOT_SUPPORTED; }

  template <size_t... I>
  static CK_FUNCTION_LIST make(std::index_sequence<I...>) {
    CK_FUNCTION_LIST list{};
    list.version = CK_VERSION{2, 11};
    list.C_Initialize = initialize;
    list.C_Finalize = finalize;
    list.C_GetFunctionList = getFunctionList;
    list.C_GetFunctionStatus = notParallel;
    list.C_CancelFunction = notParallel;
    ((list.*std::tuple_element_t<I, Calls>::member = Thunk<N, std::tuple_element_t<I, Calls>>::call), ...);
    list.C_WaitForSlotEvent = noSlotEvents;
    return list;
  }
  static CK_FUNCTION_LIST functions;
};
template <unsigned N>
CK_FUNCTION_LIST HostedList<N>::functions = HostedList<N>::make(std::make_index_sequence<std::tuple_size_v<Calls>>{});

template <size_t... N>
CK_FUNCTION_LIST_PTR listOf(unsigned index, std::index_sequence<N...>) {
  CK_FUNCTION_LIST_PTR lists[] = {&HostedList<N>::functions...};
  return lists[index];
}

}  // namespace

void setHostEventHook(HostEventHook hook) { eventHook = hook; }

void setCallBounds(uint32_t callMs, uint32_t pinMs) {
  callBoundMs = callMs;
  pinBoundMs = pinMs;
}

CK_FUNCTION_LIST_PTR hostedFunctionList(unsigned index, const char *program, const char *module) {
  if (index >= kMaxHosted) return nullptr;
  hosted[index].configure(index, program, module);
  return listOf(index, std::make_index_sequence<kMaxHosted>{});
}

}  // namespace tokenhub::rpc
