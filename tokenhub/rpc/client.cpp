#include "rpc/client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/hostprocess.h"
#include "rpc/answer.h"
#include "rpc/framing.h"
#include "state/state.h"

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

// How long a host may take to finalise its module when the router is
// unloaded without C_Finalize.
constexpr uint32_t kUnloadGraceMs = 250;

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
// The opening of the connection (the version byte each way) is bounded on
// its own: a host that does not answer it is no host.
constexpr uint32_t kHandshakeMs = 5000;

// The pipe to one host, shared by the calls that use it: its descriptors
// are given back only when the last of them lets go, so that no call ever
// writes to a number that has meanwhile gone to another file or host.
struct Connection {
  explicit Connection(const HostPipe &p) : pipe(p) {}
  ~Connection() { closePipe(pipe); }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  HostPipe pipe;
  FrameReader reader{false};  // the reading call's
};
using ConnectionRef = std::shared_ptr<Connection>;
// Calls in which a module may show a dialog of its own: a PIN, or the
// confirmation of a signature or decryption with a key that asks each time.
constexpr bool mayShowDialog(uint32_t id) {
  return mayWaitForPin(id) || id == kCallSign || id == kCallSignFinal || id == kCallSignRecover ||
         id == kCallDecrypt || id == kCallDecryptFinal;
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
    // The module is finalised in the host unless other threads' calls are
    // still on the pipe (their host is ended under them).
    if (open_ && ownsHost(child_) && inFlight_ == 0) {
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
  CK_RV enter(bool sessionCall, uint32_t &generation, Dialect &dialect) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!initialised_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (open_ && !ownsHost(child_)) abandon();  // a forked child: the parent's host is not ours
    if (!open_) {
      if (sessionCall) return CKR_SESSION_HANDLE_INVALID;
      CK_RV rv = start();
      if (rv != CKR_OK) return rv;
    }
    generation = generation_;
    dialect = dialect_;
    return CKR_OK;
  }

  // One request and its answer, with other threads' calls in flight on the
  // same pipe: a caller waiting for its answer reads the pipe for all
  // waiters while no other does, and keeps the answers of others for them.
  // The host is judged by its progress, not by one slow call: it counts as
  // hung only when it has answered nothing for the call bound while calls
  // are in flight, or for the PIN bound while one of them may wait for a
  // PIN. False when the host has gone, hung or answered what cannot be read:
  // it is then ended, its sessions forgotten.
  bool exchange(uint32_t generation, const std::vector<uint8_t> &request, std::vector<uint8_t> &response,
                bool mayAskForPin) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!open_ || generation != generation_) return false;
    ConnectionRef connection = connection_;
    uint32_t code = ++code_;
    InFlight inFlight(*this, mayAskForPin || patient_);
    hold.unlock();
    std::vector<uint8_t> bytes = frame(code, request);
    bool written;
    {
      std::lock_guard<std::mutex> writing(writeLock_);
      written = pipeWrite(connection->pipe, bytes.data(), bytes.size());
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
      if (reading_) {
        answers_.wait(hold);
        continue;
      }
      uint64_t now = nowMs(), until = lastProgress_ + (pinCalls_ ? pinBoundMs : callBoundMs);
      if (now >= until) return fail(hold, generation);
      reading_ = true;
      hold.unlock();
      uint32_t answered;
      std::vector<uint8_t> body;
      // Till the host's time is up as it stands now; a PIN call that comes
      // meanwhile lengthens it, and the wait then goes on.
      int got = readFrame(*connection, answered, body, static_cast<uint32_t>(until - now));
      hold.lock();
      reading_ = false;
      answers_.notify_all();
      if (got < 0) return fail(hold, generation);
      if (got > 0 && generation == generation_) {
        lastProgress_ = nowMs();
        arrived_[answered] = std::move(body);
      }
    }
  }

  uint8_t version() {
    std::lock_guard<std::mutex> hold(lock_);
    return dialect_.version;
  }

  // Any call of a host whose token has a PIN pad, or that holds a key that
  // asks for its PIN at each use, may wait for a PIN from then on.
  void mayAskForPin(uint32_t generation) {
    std::lock_guard<std::mutex> hold(lock_);
    if (generation == generation_) patient_ = true;
  }

  uint32_t generation() const { return generation_; }

  // In a forked child, which has only the forking thread: a lock another of
  // the parent's threads held (inside a host's start, a call) stays held for
  // ever, so the locks are made anew; the parent's host is let go.
  void afterFork() {
    new (&lock_) std::mutex;
    new (&writeLock_) std::mutex;
    new (&answers_) std::condition_variable;
    reading_ = false;
    inFlight_ = pinCalls_ = 0;
    arrived_.clear();
    abandon();
    initialised_ = false;
  }

  // The module is unloaded without C_Finalize: the host sees its pipe's
  // end, finalises its module and leaves, or is ended.
  void unload() {
    std::lock_guard<std::mutex> hold(lock_);
    initialised_ = false;
    stop(kUnloadGraceMs);
  }

  // The host may take the foreground from the application (Windows): a
  // dialog of its module then opens in front of it.
  void giveForeground() {
    std::lock_guard<std::mutex> hold(lock_);
    if (open_) allowForeground(child_);
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
    Writer body;
    beginBody(body, kCallInitialize, "ayyay");
    body.byte(1);
    body.byteArray(kHandshake, sizeof kHandshake - 1);
    body.byte(0);  // no reserved string: an empty one follows
    body.byte(1);
    body.byteArray("", 1);
    std::vector<uint8_t> response;
    // Our highest version first; a host that hangs up on it (p11-kit's
    // servers before 0.25 take only 0) is started again and offered 0.
    for (uint8_t offer : {offer_, uint8_t{0}}) {
      if (!startHost(program_, module_, child_)) {
        report(HostEvent{HostEventKind::NotStarted, index_, program_, module_, 0, child_.failure, startCount_, 0});
        return CKR_DEVICE_ERROR;
      }
      connection_ = std::make_shared<Connection>(child_.pipe);
      child_.pipe = HostPipe{};
      generation_.store(generation_ + 1);
      open_ = true;
      // A new host owes nothing yet (calls of the old one may still be
      // leaving, counted until they have).
      lastProgress_ = nowMs();
      patient_ = false;
      report(HostEvent{HostEventKind::Started, index_, program_, module_, child_.pid, nullptr, startCount_,
                       child_.bits});
      uint8_t answer;
      const HostPipe &pipe = connection_->pipe;
      uint64_t asked = nowMs();
      if (!pipeWrite(pipe, &offer, 1) || !pipeRead(pipe, &answer, 1, kHandshakeMs)) {
        // Refused, not hung: the pipe ended before the bound.
        bool hungUp = nowMs() - asked < kHandshakeMs;
        // A host that found no module to load says so by its exit code.
        stop(kDyingMs);
        int code = 0;
        if (std::sscanf(lastEnding_, "exit %d", &code) == 1 && code == kHostNoModule) return kLoadFailed;
        if (hungUp && offer != 0) continue;
        return CKR_DEVICE_ERROR;
      }
      if (answer > offer || !roundTrip(body.bytes(), response, callBoundMs)) {
        stop(0);
        return CKR_DEVICE_ERROR;
      }
      offer_ = offer;
      dialect_ = Dialect{answer};
      break;
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
    // The host sees the end of its pipe at once; a call of ours still on it
    // returns, and the descriptors go back when the last such call lets go.
    shutPipe(connection_->pipe);
    connection_.reset();
    if (ownsHost(child_)) endHost(child_, graceMs, how, sizeof how);
    open_ = false;
    sessions_.clear();
    arrived_.clear();
    answers_.notify_all();
    std::snprintf(lastEnding_, sizeof lastEnding_, "%s", how);
    report(HostEvent{HostEventKind::Ended, index_, program_, module_, pid, how, startCount_, 0});
  }

  // In a forked child: the host is the parent's. The child's copies of the
  // pipe's descriptors are closed, so that the parent's host sees the end of
  // its pipe when the parent closes it, whatever the child does meanwhile.
  void abandon() {
    if (connection_) {
      closePipe(connection_->pipe);
      connection_.reset();
    }
    child_ = HostChild{};
    open_ = false;
    sessions_.clear();
  }

  // The host failed this call: it is ended. While another caller reads its
  // pipe, that caller sees the end and collects it.
  bool fail(std::unique_lock<std::mutex> &hold, uint32_t generation) {
    if (!open_ || generation != generation_) return false;
    if (reading_) {
      // The caller that reads the pipe for all returns at its end.
      shutPipe(connection_->pipe);
      answers_.wait(hold, [&] { return !reading_ || !open_ || generation != generation_; });
    }
    if (open_ && generation == generation_) stop(kDyingMs);
    return false;
  }

  // One whole frame, its options read and left aside: 1 when it came, 0
  // when nothing came within waitMs, -1 when the pipe ended or broke off
  // within a frame, or a length is beyond what a frame may hold. Once a
  // frame has begun, the rest is due within the call bound.
  static int readFrame(Connection &connection, uint32_t &code, std::vector<uint8_t> &body, uint32_t waitMs) {
    using Got = FrameReader::Got;
    Got got = connection.reader.next(connection.pipe, code, body, waitMs, callBoundMs);
    return got == Got::Frame ? 1 : got == Got::Waited ? 0 : -1;
  }

  // A request and its answer while no other call is in flight (opening and
  // closing the connection).
  bool roundTrip(const std::vector<uint8_t> &request, std::vector<uint8_t> &response, uint32_t boundMs) {
    uint32_t code = ++code_, answered;
    std::vector<uint8_t> bytes = frame(code, request);
    return pipeWrite(connection_->pipe, bytes.data(), bytes.size()) &&
           readFrame(*connection_, answered, response, boundMs) > 0 &&
           answered == code;
  }

  // The calls in flight and what the host's bound is meanwhile; under lock_.
  struct InFlight {
    InFlight(HostedBackend &b, bool pin) : b(b), pin(pin) {
      if (b.inFlight_++ == 0) b.lastProgress_ = nowMs();  // an idle host owed nothing till now
      b.pinCalls_ += pin;
    }
    ~InFlight() {
      --b.inFlight_;
      b.pinCalls_ -= pin;
    }
    HostedBackend &b;
    bool pin;
  };

  std::mutex lock_;
  std::mutex writeLock_;  // one frame at a time into the pipe
  std::condition_variable answers_;
  bool reading_ = false;  // a caller reads the pipe for all
  std::unordered_map<uint32_t, std::vector<uint8_t>> arrived_;  // answers kept for their callers
  unsigned index_ = 0;
  char program_[4096] = "";
  char module_[1024] = "";
  HostChild child_;
  char lastEnding_[32] = "";  // how the last host ended
  ConnectionRef connection_;
  unsigned inFlight_ = 0, pinCalls_ = 0;
  uint64_t lastProgress_ = 0;  // when the host last answered, or began to owe an answer
  // The token guards its keys with a PIN pad or a key asks for its PIN at
  // each use: any call of this host may wait for a PIN.
  bool patient_ = false;
  uint8_t offer_ = kProtocolVersion;  // the version offered to the host
  Dialect dialect_;                   // what the open connection speaks
  bool initialised_ = false;
  bool open_ = false;
  bool leftOut_ = false;
  std::atomic<uint32_t> generation_{0};  // read without the lock by the object table
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
  Dialect dialect;
  CK_RV rv = b.enter(sessionCall, generation, dialect);
  if (rv != CKR_OK) return rv;
  CK_SESSION_HANDLE ours = 0;
  if constexpr (sessionCall) {
    ours = std::get<0>(args);
    if (!b.toHost(ours, generation, std::get<0>(args))) return CKR_SESSION_HANDLE_INVALID;
  }
  constexpr auto parts = std::make_index_sequence<std::tuple_size_v<typename C::PartList>>{};
  Writer out(dialect);
  beginBody(out, C::id, C::request());
  rv = writeParts<C>(out, args, parts);
  if (rv != CKR_OK) return rv;
  if (out.failed()) return CKR_ARGUMENTS_BAD;
  // The host would refuse it after reading it all: refused here, unsent.
  if (out.bytes().size() > kMaxMessage) return CKR_DATA_LEN_RANGE;
  std::vector<uint8_t> response;
  if constexpr (mayShowDialog(C::id)) b.giveForeground();
  if (!b.exchange(generation, out.bytes(), response, mayWaitForPin(C::id))) return CKR_DEVICE_ERROR;
  bool ok = readAnswer<C>(response.data(), response.size(), dialect, args, rv);
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
  } else if (anyCallMayAskForPin<C::id>(rv, args)) {
    b.mayAskForPin(generation);
  }
  return rv;
}

template <unsigned N, typename C, typename F = std::remove_reference_t<decltype(std::declval<CK_FUNCTION_LIST &>().*C::member)>>
struct Thunk;
template <unsigned N, typename C, typename... Args>
struct Thunk<N, C, CK_RV (*)(Args...)> {
  static CK_RV call(Args... args) { return clientCall<C>(hosted[N], args...); }
};
// A call of the table that a later version replaces: the replacement when
// the host agreed on that version.
template <unsigned N, typename Later, typename C = typename Later::Older,
          typename F = std::remove_reference_t<decltype(std::declval<CK_FUNCTION_LIST &>().*C::member)>>
struct LaterThunk;
template <unsigned N, typename Later, typename C, typename... Args>
struct LaterThunk<N, Later, C, CK_RV (*)(Args...)> {
  static CK_RV call(Args... args) {
    return hosted[N].version() >= Later::since ? clientCall<Later>(hosted[N], args...)
                                               : clientCall<C>(hosted[N], args...);
  }
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
  static void replaceLater(CK_FUNCTION_LIST &list, std::index_sequence<I...>) {
    ((list.*std::tuple_element_t<I, LaterCalls>::member = LaterThunk<N, std::tuple_element_t<I, LaterCalls>>::call),
     ...);
  }
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
    replaceLater(list, std::make_index_sequence<std::tuple_size_v<LaterCalls>>{});
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

void endHostsAtUnload() {
  for (HostedBackend &backend : hosted) backend.unload();
}

void setCallBounds(uint32_t callMs, uint32_t pinMs) {
  callBoundMs = callMs;
  pinBoundMs = pinMs;
}

uint32_t hostGeneration(CK_FUNCTION_LIST_PTR list) {
  for (unsigned index = 0; index < kMaxHosted; ++index)
    if (list == listOf(index, std::make_index_sequence<kMaxHosted>{})) return hosted[index].generation();
  return 0;
}

void endHosts() {
  for (HostedBackend &backend : hosted) backend.finalize();
}

void hostsAfterFork() {
  for (HostedBackend &backend : hosted) backend.afterFork();
}

CK_FUNCTION_LIST_PTR hostedFunctionList(unsigned index, const char *program, const char *module) {
  if (index >= kMaxHosted) return nullptr;
  hosted[index].configure(index, program, module);
  return listOf(index, std::make_index_sequence<kMaxHosted>{});
}

}  // namespace tokenhub::rpc
