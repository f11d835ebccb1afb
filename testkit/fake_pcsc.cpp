#include "fake_pcsc.h"

#include <strings.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace testkit {

using tokenhub::PcscCard;
using tokenhub::PcscContext;
using tokenhub::PcscResult;
using tokenhub::ReaderState;


const Bytes kAtrFamily1 = {0x3B, 0xB7, 0x94, 0x00, 0x81, 0x31, 0xFE, 0x65,
                                          0x53, 0x50, 0x4B, 0x32, 0x33, 0x90, 0x00, 0xD1};
const Bytes kAtrFamily2 = {0x3B, 0xBB, 0x18, 0x00, 0xC0, 0x10, 0x31, 0xFE, 0x45, 0x80,
                                          0x67, 0x04, 0x12, 0xB0, 0x03, 0x03, 0x00, 0x00, 0x81, 0x05, 0x3C};
const Bytes kAtrFamily2b = {0x3B, 0x9F, 0x96, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x07,
                                           0x00, 0x64, 0x05, 0x1E, 0xB2, 0x00, 0x31, 0xB0, 0x73,
                                           0x96, 0x21, 0xDB, 0x05, 0x90, 0x00, 0x5C};

namespace {

FakePcsc &fake() { return FakePcsc::get(); }

// Application threads of the concurrency and stress tests use the service at
// once, and a stress thread pulls and inserts cards meanwhile. Recursive
// because an afterStatusChange hook may call the router again.
std::recursive_mutex serviceLock;
// Status queries that wait are woken by every change of the service.
std::condition_variable_any serviceChanged;
std::set<PcscContext> cancelled;  // contexts whose waiting query is to end
std::set<PcscContext> released;   // answered as unknown handles

PcscResult establishContext(PcscContext *context) {
  if (fake().onEstablish) fake().onEstablish();
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  ++fake().establishCalls;
  if (fake().serviceStopped) return kScardENoService;
  if (fake().establishResult != 0) return fake().establishResult;
  *context = fake().issuedContext = 0x5C0000 + fake().establishCalls;
  ++fake().issuedContexts;
  return 0;
}

PcscResult releaseContext(PcscContext context) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  ++fake().releaseCalls;
  fake().lastReleased = context;
  released.insert(context);
  return 0;
}

PcscResult contextAnswer(PcscContext context) {
  if (fake().serviceStopped) return kScardENoService;
  if (released.count(context)) return kScardEInvalidHandle;
  return context < fake().firstLiveContext ? fake().deadContextResult : 0;
}

// A reader that is not there fails the query as it begins; one unplugged
// while the query waits is reported in the state unknown, as pcsc-lite does.
bool isReaderNotice(const ReaderState &state) {
  return state.reader && strcasecmp(state.reader, tokenhub::kPnpNotification) == 0;
}

PcscResult answerStatusChange(PcscContext context, ReaderState *states, uint32_t count, bool waiting = false) {
  if (PcscResult gone = contextAnswer(context)) return gone;
  if (count > fake().maxQueryReaders) return kScardEInvalidValue;
  if (fake().statusChangeResult != 0) return fake().statusChangeResult;
  if (fake().failQueryCount != 0 && count == fake().failQueryCount) return fake().failQueryResult;
  for (uint32_t i = 0; i < count; ++i) {
    if (fake().knowsReaderNotice && isReaderNotice(states[i])) {
      states[i].eventState = 0;
      continue;
    }
    auto it = fake().readers.find(states[i].reader ? states[i].reader : "");
    if (it == fake().readers.end()) {
      if (!waiting) return kScardEUnknownReader;
      states[i].eventState = tokenhub::kScardStateUnknown;
      states[i].atrLength = 0;
      continue;
    }
    const FakeReader &r = it->second;
    states[i].eventState = r.present ? tokenhub::kScardStatePresent : 0x10 /* empty */;
    if (fake().countEvents) states[i].eventState |= (r.events & 0xFFFF) << 16;
    states[i].atrLength = r.present ? static_cast<uint32_t>(r.atr.size()) : 0;
    if (r.present && !r.atr.empty()) std::memcpy(states[i].atr, r.atr.data(), r.atr.size());
  }
  return 0;
}

// Whether every reader is as the caller last saw it (its current state).
bool asSeen(const ReaderState *states, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (isReaderNotice(states[i])) continue;
    if (states[i].currentState == tokenhub::kScardStateUnaware ||
        (states[i].eventState & ~tokenhub::kScardStateChanged) != states[i].currentState)
      return false;
  }
  return true;
}

// A query with a time-out: while nothing differs from the current states,
// wait for a change of the service, the context's cancellation or the time-out.
PcscResult waitForChange(std::unique_lock<std::recursive_mutex> &hold, PcscContext context, uint32_t timeoutMs,
                         ReaderState *states, uint32_t count, int call) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool hookRun = false;
  // pcsc-lite answers a query over no reader at once.
  if (count == 0) return contextAnswer(context);
  const size_t readersAtStart = fake().readers.size();
  for (bool waiting = false;; waiting = true) {
    PcscResult rv = answerStatusChange(context, states, count, waiting);
    bool listChanged = rv == 0 && fake().readers.size() != readersAtStart;
    for (uint32_t i = 0; i < count && listChanged; ++i) {
      if (!isReaderNotice(states[i])) continue;
      states[i].eventState |= tokenhub::kScardStateChanged;
      return 0;
    }
    if (rv != 0 || !asSeen(states, count)) {
      for (uint32_t i = 0; i < count && rv == 0; ++i)
        if ((states[i].eventState & ~tokenhub::kScardStateChanged) != states[i].currentState)
          states[i].eventState |= tokenhub::kScardStateChanged;
      return rv;
    }
    if (cancelled.erase(context)) return tokenhub::kScardECancelled;
    if (!hookRun && fake().whileWaiting) {
      hookRun = true;
      hold.unlock();
      fake().whileWaiting(call);
      hold.lock();
      continue;
    }
    if (timeoutMs == tokenhub::kScardInfinite)
      serviceChanged.wait(hold);
    else if (serviceChanged.wait_until(hold, deadline) == std::cv_status::timeout)
      return tokenhub::kScardETimeout;
  }
}

PcscResult getStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState *states, uint32_t count) {
  int call = 0;
  PcscResult rv = 0;
  {
    std::unique_lock<std::recursive_mutex> hold(serviceLock);
    call = ++fake().statusChangeCalls;
    if (fake().recordCalls) {
      fake().timeouts.push_back(timeoutMs);
      fake().statusChangeCounts.push_back(count);
      if (timeoutMs != 0) fake().waitContexts.push_back(context);
    }
    cancelled.erase(context);  // a cancellation ends only a query under way
    if (timeoutMs == tokenhub::kScardInfinite && fake().enterDelayMs) {
      hold.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(fake().enterDelayMs));
      hold.lock();
      cancelled.erase(context);
    }
    if (timeoutMs != 0 && fake().waitQueryResult != 0)
      rv = fake().waitQueryResult;
    else
      rv = timeoutMs == 0 ? answerStatusChange(context, states, count)
                          : waitForChange(hold, context, timeoutMs, states, count, call);
  }
  // Outside the service's lock: a hook that finalises the router takes the
  // router's locks, and the router calls the service under its table lock.
  if (fake().afterStatusChange) fake().afterStatusChange(call);
  return rv;
}

// The reader of a connected card handle; null for a handle not issued or
// already disconnected.
FakeReader *readerOf(PcscCard card, PcscCall &call) {
  auto it = fake().cards.find(card);
  if (it == fake().cards.end()) return nullptr;
  call.reader = it->second;
  return &fake().readers[it->second];
}

PcscResult record(PcscCall call, PcscResult result) {
  if (fake().recordCalls) fake().calls.push_back(std::move(call));
  return result;
}

PcscResult connect(PcscContext context, const char *reader, uint32_t shareMode, uint32_t protocols, PcscCard *card,
                   uint32_t *activeProtocol) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::Connect);
  call.reader = reader ? reader : "";
  call.shareMode = shareMode;
  call.protocols = protocols;
  if (PcscResult gone = contextAnswer(context)) return record(call, gone);
  auto it = fake().readers.find(call.reader);
  if (it == fake().readers.end()) return record(call, kScardEUnknownReader);
  FakeReader &r = it->second;
  PcscResult rv = r.connect.take();
  if (rv == 0 && !r.present) rv = kScardENoSmartcard;
  if (rv != 0) return record(call, rv);
  *card = call.card = ++fake().lastCard + 0xCA00;
  *activeProtocol = r.activeProtocol;
  fake().cards[call.card] = call.reader;
  return record(call, 0);
}

PcscResult beginTransaction(PcscCard card) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::Begin);
  call.card = card;
  FakeReader *r = readerOf(card, call);
  return record(call, r ? r->begin.take() : kScardEInvalidHandle);
}

PcscResult endTransaction(PcscCard card, uint32_t disposition) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::End);
  call.card = card;
  call.disposition = disposition;
  return record(call, readerOf(card, call) ? 0 : kScardEInvalidHandle);
}

PcscResult status(PcscCard card, char *readerName, uint32_t *readerLength, uint32_t *state, uint32_t *protocol,
                  uint8_t *atr, uint32_t *atrLength) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::Status);
  call.card = card;
  call.capacity = *readerLength;
  call.atrCapacity = *atrLength;
  FakeReader *r = readerOf(card, call);
  if (!r) return record(call, kScardEInvalidHandle);
  PcscResult rv = r->status.take();
  if (rv == 0 && (call.reader.size() + 1 > *readerLength || r->atr.size() > *atrLength))
    rv = kScardEInsufficientBuffer;
  if (rv == 0) {
    std::memcpy(readerName, call.reader.c_str(), call.reader.size() + 1);
    *readerLength = static_cast<uint32_t>(call.reader.size() + 1);
    *state = 0x34;  // present, powered, specific mode
    *protocol = r->activeProtocol;
    if (!r->atr.empty()) std::memcpy(atr, r->atr.data(), r->atr.size());
    *atrLength = static_cast<uint32_t>(r->atr.size());
  }
  return record(call, rv);
}

PcscResult reconnect(PcscCard card, uint32_t shareMode, uint32_t protocols, uint32_t initialization,
                     uint32_t *activeProtocol) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::Reconnect);
  call.card = card;
  call.shareMode = shareMode;
  call.protocols = protocols;
  call.disposition = initialization;
  FakeReader *r = readerOf(card, call);
  if (!r) return record(call, kScardEInvalidHandle);
  PcscResult rv = r->reconnect.take();
  if (rv == 0) *activeProtocol = r->activeProtocol;
  return record(call, rv);
}

PcscResult transmit(PcscCard card, uint32_t protocol, const uint8_t *command, uint32_t commandLength,
                    uint8_t *response, uint32_t *responseLength) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::Transmit);
  call.card = card;
  call.protocols = protocol;
  call.command.assign(command, command + commandLength);
  call.capacity = *responseLength;
  FakeReader *r = readerOf(card, call);
  if (!r) return record(call, kScardEInvalidHandle);
  auto failure = r->transmitFailures.find(call.command);
  if (failure != r->transmitFailures.end()) return record(call, failure->second);
  auto scripted = r->answers.find(call.command);
  Bytes answer = scripted != r->answers.end() ? scripted->second : r->card.answer(call.command);
  if (answer.size() > *responseLength) return record(call, kScardEInsufficientBuffer);
  if (!answer.empty()) std::memcpy(response, answer.data(), answer.size());
  *responseLength = static_cast<uint32_t>(answer.size());
  return record(call, 0);
}

PcscResult disconnect(PcscCard card, uint32_t disposition) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  PcscCall call(Op::Disconnect);
  call.card = card;
  call.disposition = disposition;
  if (!readerOf(card, call)) return record(call, kScardEInvalidHandle);
  fake().cards.erase(card);
  return record(call, 0);
}

PcscResult listReaders(PcscContext context, char *names, uint32_t *length) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  if (PcscResult gone = contextAnswer(context)) return gone;
  if (fake().readers.empty()) return tokenhub::kScardENoReadersAvailable;
  std::string list;
  for (const auto &reader : fake().readers) list += reader.first + '\0';
  list += '\0';
  if (list.size() > *length) return kScardEInsufficientBuffer;
  std::memcpy(names, list.data(), list.size());
  *length = static_cast<uint32_t>(list.size());
  return 0;
}

// Ends the waiting query on the context, if one is under way.
PcscResult cancel(PcscContext context) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  ++fake().cancelCalls;
  cancelled.insert(context);
  serviceChanged.notify_all();
  return 0;
}

bool awaitService(uint32_t) {
  if (!fake().announcesStart) return true;
  int ask = ++fake().startAsks;
  if (fake().whileStopped) fake().whileStopped(ask);
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  return !fake().serviceStopped && !fake().localServiceStopped;
}

const tokenhub::PcscApi api = {establishContext, releaseContext, getStatusChange, connect,    beginTransaction,
                               endTransaction,   status,         reconnect,       transmit,   disconnect,
                               cancel,           listReaders,    awaitService};

}  // namespace

const tokenhub::PcscApi &fakePcscApi() { return api; }

FakePcsc &FakePcsc::get() {
  static FakePcsc instance;
  return instance;
}

void FakePcsc::reset() {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  *this = FakePcsc();
  cancelled.clear();
  released.clear();
}

void FakePcsc::changed() {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  serviceChanged.notify_all();
}

PcscResult Script::take() {
  if (next.empty()) return otherwise;
  PcscResult rv = next.front();
  next.pop_front();
  return rv;
}

std::vector<PcscCall> FakePcsc::callsOf(Op op) const {
  std::vector<PcscCall> out;
  for (const PcscCall &c : calls)
    if (c.op == op) out.push_back(c);
  return out;
}

std::vector<Bytes> FakePcsc::commands() const {
  std::vector<Bytes> out;
  for (const PcscCall &c : callsOf(Op::Transmit)) out.push_back(c.command);
  return out;
}

void FakePcsc::addReader(const std::string &name) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  readers[name];
  serviceChanged.notify_all();
}

void FakePcsc::insert(const std::string &name, const Bytes &atr) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  FakeReader &r = readers[name];
  r.present = true;
  r.atr = atr;
  ++r.events;
  serviceChanged.notify_all();
}

void FakePcsc::remove(const std::string &name) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  FakeReader &r = readers[name];
  r.present = false;
  r.atr.clear();
  ++r.events;
  serviceChanged.notify_all();
}

void FakePcsc::unplug(const std::string &name) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  readers.erase(name);
  serviceChanged.notify_all();
}

void FakePcsc::stopService() {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  serviceStopped = true;
  serviceChanged.notify_all();
}

void FakePcsc::startService() {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  serviceStopped = false;
  killContexts(tokenhub::kScardEServiceStopped);
}

void FakePcsc::killContexts(PcscResult dead) {
  std::lock_guard<std::recursive_mutex> hold(serviceLock);
  deadContextResult = dead;
  firstLiveContext = 0x5C0000 + establishCalls + 1;
  serviceChanged.notify_all();
}

}  // namespace testkit
