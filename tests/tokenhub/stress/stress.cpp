// Load through the router: eight application threads of mixed calls (open,
// session info, create, find, sign, destroy, close, token info), a thread
// pulling and reinserting a card, and a thread blocked in C_WaitForSlotEvent
// while the library is finalised and initialised again.
//
//   tokenhub_stress mock|softhsm|emulator SECONDS [THREADS]
//
// mock:     the four mock modules behind four readers of the scripted card
//           service, one slot per thread; every 250 ms the application
//           threads pause and C_Finalize/C_Initialize run while the waiting
//           thread is blocked.
// softhsm:  the SoftHSM2-backed module as role 1 (its folder first on the
//           loader path), every thread signing with a key of its own on the
//           one token and verifying the signature.
// emulator: as softhsm, but through the real PC/SC daemon: the card is the
//           card emulator in "Virtual PCD 00 00" of a running pcscd with
//           vpcd, pulled and reinserted over its socket.
//
// A crossed handle (a session on another slot, an object of another thread,
// a backend object behind two router handles), a lost session, a signature
// that does not verify or an unexpected result code is a fault; the program
// prints its figures and exits 1 when there was any.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include "../integration/daemon.h"
#include "cardemu.h"
#endif
#include "fake_pcsc.h"
#include "state/functions.h"
#include "module/entrypoints.h"
#include "calls/init.h"
#include "mockctl.h"
#include "handles/objects.h"
#include "handles/sessions.h"
#include "state/state.h"

using namespace tokenhub;
using namespace testkit;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<uint64_t> calls{0};
std::atomic<uint64_t> faults{0};
std::atomic<uint64_t> refusals{0};  // expected refusals while a card is out
std::atomic<bool> stopping{false};

void fault(unsigned thread, const char *what, CK_RV rv) {
  if (++faults <= 20) std::fprintf(stderr, "FAULT thread %u: %s (0x%lx)\n", thread, what, static_cast<unsigned long>(rv));
}

// Counts every call into the router.
CK_RV counted(CK_RV rv) {
  ++calls;
  return rv;
}

// Pulls and reinsertions so far, counted before a pull and after a reinsertion.
std::atomic<uint64_t> cardChanges{0};

// A round on the pulled reader's card: once the router has seen the card
// go, the round's session and objects are gone with it, and their handles
// are refused from then on (expected refusals, not faults).
// A pull counts from its start, before the daemon has seen the card go:
// a session opened meanwhile is the pulled card's too.
thread_local bool roundOnPulledCard = false;
thread_local uint64_t roundChanges = 0;
thread_local bool roundOutAtStart = false;
thread_local const std::atomic<bool> *roundOut = nullptr;
thread_local bool roundLost = false;
struct RoundCard {
  RoundCard(bool pulled, const std::atomic<bool> &out) {
    roundOnPulledCard = pulled;
    roundChanges = cardChanges;
    roundOut = &out;
    roundOutAtStart = out;
    roundLost = false;
  }
  ~RoundCard() { roundOnPulledCard = false; }
};
bool lostWithTheCard() {
  return roundOnPulledCard && (roundOutAtStart || *roundOut || cardChanges != roundChanges);
}
bool goneWithTheCard(CK_RV rv) {
  return lostWithTheCard() &&
         (rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID || rv == CKR_KEY_HANDLE_INVALID);
}

void expect(unsigned thread, CK_RV rv, CK_RV wanted, const char *what) {
  if (counted(rv) == wanted) return;
  if (goneWithTheCard(rv)) {
    roundLost = true;
    ++refusals;
    return;
  }
  fault(thread, what, rv);
}

// Application threads pass the gate for each round; the lifecycle closes it
// and waits until no round is running, so that C_Finalize meets only the
// waiting thread.
class Gate {
 public:
  bool enter() {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !closed_ || stopping; });
    if (stopping) return false;
    ++inside_;
    return true;
  }
  void leave() {
    std::lock_guard<std::mutex> hold(lock_);
    --inside_;
    changed_.notify_all();
  }
  void close() {
    std::unique_lock<std::mutex> hold(lock_);
    closed_ = true;
    changed_.wait(hold, [this] { return inside_ == 0; });
  }
  void open() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = false;
    changed_.notify_all();
  }
  void wake() {
    std::lock_guard<std::mutex> hold(lock_);
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool closed_ = false;
  unsigned inside_ = 0;
};
Gate gate;

// Which thread holds each backend object and router handle now: two holders
// at once is a crossed handle.
enum class Claim { Held, Unknown, HeldTwice };
class Holdings {
 public:
  Claim claim(unsigned thread, CK_OBJECT_HANDLE routerHandle) {
    ObjectEntry entry{};
    if (findObject(routerHandle, HandleKind::Object, entry) != CKR_OK) return Claim::Unknown;
    std::lock_guard<std::mutex> hold(lock_);
    auto key = std::make_pair(static_cast<const SlotEntry *>(entry.slot), entry.backendHandle);
    // Both or neither: half a claim would let a release drop the other holder's.
    if (byRouter_.count(routerHandle) || byBackend_.count(key)) return Claim::HeldTwice;
    byRouter_.emplace(routerHandle, key);
    byBackend_.emplace(key, thread);
    return Claim::Held;
  }
  // The thread's own claim only; also for an object whose row went with its card.
  void release(unsigned thread, CK_OBJECT_HANDLE routerHandle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto held = byRouter_.find(routerHandle);
    if (held == byRouter_.end() || byBackend_[held->second] != thread) return;
    byBackend_.erase(held->second);
    byRouter_.erase(held);
  }

 private:
  std::mutex lock_;
  std::map<CK_OBJECT_HANDLE, std::pair<const SlotEntry *, CK_OBJECT_HANDLE>> byRouter_;
  std::map<std::pair<const SlotEntry *, CK_OBJECT_HANDLE>, unsigned> byBackend_;
};
Holdings holdings;

// Claims an object the round has just made. A handle held twice is always a
// fault. One the router no longer knows is expected once the round's card may
// be gone: the router drops the rows of a card it has seen leave at any call
// of any thread, also between the creation and this claim.
void claimNew(unsigned t, CK_OBJECT_HANDLE o) {
  Claim claimed = holdings.claim(t, o);
  if (claimed == Claim::HeldTwice) {
    fault(t, "object handle held twice", o);
  } else if (claimed == Claim::Unknown && lostWithTheCard()) {
    roundLost = true;
    ++refusals;
  } else if (claimed == Claim::Unknown) {
    fault(t, "new object handle unknown", o);
  }
}

struct ThreadCounts {
  uint64_t opened = 0, closed = 0, signatures = 0;
};

size_t sessionRowsInUse() {
  size_t n = 0;
  for (const SessionEntry &row : sessions.rows) n += row.routerHandle != 0;
  return n;
}

size_t objectRowsInUse() {
  size_t n = 0;
  for (const ObjectEntry &row : objects.rows) n += row.routerHandle != 0;
  return n;
}

// Whether a call may meet the card out: it was out when the call began, or
// it changed during the call.
class CardWatch {
 public:
  explicit CardWatch(const std::atomic<bool> &out) : out_(out), outAtStart_(out), changes_(cardChanges) {}
  bool mayRefuse(CK_RV rv) const {
    bool absent = rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_DEVICE_REMOVED;
    return absent && (outAtStart_ || out_ || cardChanges != changes_);
  }

 private:
  const std::atomic<bool> &out_;
  bool outAtStart_;
  uint64_t changes_;
};

// Opens a session on the thread's slot; false when the card is out (an
// expected refusal) or on a fault.
bool openSession(unsigned t, CK_SLOT_ID slot, CK_FLAGS flags, const std::atomic<bool> &cardMayBeOut,
                 CK_SESSION_HANDLE &s) {
  CardWatch watch(cardMayBeOut);
  CK_RV rv = counted(C_OpenSession(slot, flags, nullptr, nullptr, &s));
  if (rv == CKR_OK) {
    CK_SESSION_INFO info{};
    CK_RV info_rv = counted(C_GetSessionInfo(s, &info));
    if (goneWithTheCard(info_rv)) {
      roundLost = true;
      ++refusals;
    } else if (info_rv != CKR_OK || info.slotID != slot) {
      fault(t, "session reports another slot", info_rv);
    }
    return true;
  }
  if (watch.mayRefuse(rv))
    ++refusals;
  else
    fault(t, "C_OpenSession", rv);
  // A thread without a card asks again a little later, as an application would.
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return false;
}

// A reader whose card the card thread pulls and puts back.
class PulledReader {
 public:
  virtual ~PulledReader() = default;
  virtual void pull() = 0;
  virtual bool reinsert() = 0;  // false when the card could not go back in
};

// A reader of the scripted card service: the change is seen at once.
class ScriptedReader : public PulledReader {
 public:
  explicit ScriptedReader(std::string name) : name_(std::move(name)) {}
  void pull() override { FakePcsc::get().remove(name_); }
  bool reinsert() override {
    FakePcsc::get().insert(name_, kAtrFamily1);
    return true;
  }

 private:
  std::string name_;
};

// The card thread: the reader's card out for `away`, back in for `in`.
std::atomic<uint64_t> removals{0};
void pullAndReinsert(PulledReader &reader, std::atomic<bool> &out, std::chrono::milliseconds away,
                     std::chrono::milliseconds in) {
  while (!stopping) {
    std::this_thread::sleep_for(in);
    out = true;
    ++cardChanges;
    reader.pull();
    ++removals;
    std::this_thread::sleep_for(away);
    if (!reader.reinsert()) {
      fault(0, "card not reinserted", 0);
      return;
    }
    ++cardChanges;
    out = false;
  }
}

// The waiting thread: slot events only from the pulled reader's slots, and
// CKR_CRYPTOKI_NOT_INITIALIZED whenever the library is finalised under it.
// At the end it leaves only through that answer: a slot event that ends its
// wait after the last C_Finalize was asked for finds it waiting again.
constexpr unsigned kWaiterThread = 99;  // in fault reports
std::atomic<bool> libraryUp{false};
std::atomic<bool> waiting{false};
std::atomic<uint64_t> slotEvents{0}, waitsEnded{0};
void waitForEvents(std::set<CK_SLOT_ID> changing) {
  while (true) {
    while (!libraryUp && !stopping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CK_SLOT_ID slot = 0;
    waiting = true;
    CK_RV rv = counted(C_WaitForSlotEvent(0, &slot, nullptr));
    waiting = false;
    if (rv == CKR_OK) {
      ++slotEvents;
      if (!changing.count(slot)) fault(kWaiterThread, "event for a slot whose card did not change", slot);
    } else if (rv == CKR_CRYPTOKI_NOT_INITIALIZED) {
      ++waitsEnded;
      if (stopping) return;
      while (libraryUp && !stopping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      fault(kWaiterThread, "C_WaitForSlotEvent", rv);
    }
  }
}

CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};

// Threads call at once: the router passes this on, and a backend without it
// (SoftHSM2 among them) may do without locks of its own.
CK_C_INITIALIZE_ARGS osLocking = {nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};

// ---- mock modules -----------------------------------------------------------

constexpr unsigned kMockReaders = 4;
const std::string kPulledReader = "Rd3";  // slots 7 and 8

void mockRound(unsigned t, CK_SLOT_ID slot, const std::atomic<bool> &cardOut, ThreadCounts &counts, uint64_t round) {
  CK_SESSION_HANDLE s = 0;
  RoundCard card(slot > 2 * (kMockReaders - 1), cardOut);  // before the open: a pull may come at once
  if (!openSession(t, slot, CKF_SERIAL_SESSION, cardOut, s)) return;
  ++counts.opened;
  CK_OBJECT_HANDLE created[3] = {};
  for (CK_OBJECT_HANDLE &o : created) {
    expect(t, C_CreateObject(s, nullptr, 0, &o), CKR_OK, "C_CreateObject");
    if (roundLost) continue;
    ObjectEntry entry{};
    CK_RV found = findObject(o, HandleKind::Object, entry);
    if (found != CKR_OK && lostWithTheCard()) {
      roundLost = true;
      continue;
    }
    if (found != CKR_OK || entry.slot->id != slot) fault(t, "object of another slot", o);
    claimNew(t, o);
  }
  CK_OBJECT_HANDLE found[4];
  CK_ULONG count = 99;
  expect(t, C_FindObjectsInit(s, nullptr, 0), CKR_OK, "C_FindObjectsInit");
  expect(t, C_FindObjects(s, found, 4, &count), CKR_OK, "C_FindObjects");
  if (count != 0 && !roundLost) fault(t, "search found objects nobody queued", count);
  expect(t, C_FindObjectsFinal(s), CKR_OK, "C_FindObjectsFinal");
  CK_BYTE message[16] = {static_cast<CK_BYTE>(t)}, signature[64];
  CK_ULONG length = sizeof signature;
  expect(t, C_SignInit(s, &ecdsa, created[0]), CKR_OK, "C_SignInit");
  expect(t, C_Sign(s, message, sizeof message, signature, &length), CKR_OK, "C_Sign");
  ++counts.signatures;
  if (round % 16 == 0) {
    CK_TOKEN_INFO info;
    CardWatch watch(cardOut);
    CK_RV rv = counted(C_GetTokenInfo(slot, &info));
    if (rv != CKR_OK && !watch.mayRefuse(rv))
      fault(t, "C_GetTokenInfo", rv);
    CK_ULONG slots = 0;
    expect(t, C_GetSlotList(CK_FALSE, nullptr, &slots), CKR_OK, "C_GetSlotList");
    if (slots != 2 * kMockReaders) fault(t, "slot count", slots);
  }
  for (CK_OBJECT_HANDLE o : created) {
    if (o) holdings.release(t, o);
    expect(t, C_DestroyObject(s, o), CKR_OK, "C_DestroyObject");
    expect(t, C_DestroyObject(s, o), roundLost ? CKR_SESSION_HANDLE_INVALID : CKR_OBJECT_HANDLE_INVALID,
           "C_DestroyObject twice");
  }
  expect(t, C_CloseSession(s), CKR_OK, "C_CloseSession");
  ++counts.closed;
}

// No session or object may outlive the rounds that made them.
void checkNothingLost(const std::vector<ThreadCounts> &counts, size_t keptSessions) {
  for (unsigned t = 0; t < counts.size(); ++t)
    if (counts[t].opened != counts[t].closed) fault(t, "sessions opened and closed differ", counts[t].opened);
  if (sessionRowsInUse() != keptSessions) fault(0, "session rows left in use", sessionRowsInUse());
}

uint64_t runMock(unsigned threads, double seconds, uint64_t &cycles) {
  for (unsigned r = 0; r < kMockReaders; ++r) {
    std::string name = "Rd" + std::to_string(r);
    FakePcsc::get().addReader(name);
    mock::mockAddSlot(1, 10 + r, name.c_str(), CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    mock::mockAddSlot(2, 10 + r, name.c_str(), CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    FakePcsc::get().insert(name, kAtrFamily1);
  }
  if (counted(C_Initialize(&osLocking)) != CKR_OK || router.slotCount != 2 * kMockReaders) {
    fault(0, "C_Initialize", router.slotCount);
    return 0;
  }
  libraryUp = true;
  std::atomic<bool> cardOut{false};
  std::vector<ThreadCounts> counts(threads);
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([t, &cardOut, &counts] {
      CK_SLOT_ID slot = t % (2 * kMockReaders) + 1;
      // Only the threads on the pulled reader's slots see the card out.
      const std::atomic<bool> never{false};
      const std::atomic<bool> &out = slot > 2 * (kMockReaders - 1) ? cardOut : never;
      for (uint64_t round = 0; gate.enter(); ++round) {
        mockRound(t, slot, out, counts[t], round);
        gate.leave();
      }
    });
  ScriptedReader pulled(kPulledReader);
  std::thread card(pullAndReinsert, std::ref(pulled), std::ref(cardOut), std::chrono::milliseconds(20),
                   std::chrono::milliseconds(40));
  std::thread waiter(waitForEvents, std::set<CK_SLOT_ID>{2 * kMockReaders - 1, 2 * kMockReaders});

  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    // The library ends and starts again under the blocked waiting thread.
    gate.close();
    checkNothingLost(counts, 0);
    if (objectRowsInUse() != 0) fault(0, "object rows left in use", objectRowsInUse());
    for (int i = 0; i < 100 && !waiting; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    libraryUp = false;
    expect(0, C_Finalize(nullptr), CKR_OK, "C_Finalize");
    expect(0, C_Initialize(&osLocking), CKR_OK, "C_Initialize again");
    if (router.slotCount != 2 * kMockReaders) fault(0, "slots after C_Initialize", router.slotCount);
    libraryUp = true;
    ++cycles;
    gate.open();
  }
  stopping = true;
  gate.wake();
  for (std::thread &t : pool) t.join();
  card.join();
  checkNothingLost(counts, 0);
  libraryUp = false;
  expect(0, C_Finalize(nullptr), CKR_OK, "C_Finalize at the end");
  waiter.join();
  if (cycles && !waitsEnded) fault(0, "no wait was ended by C_Finalize", cycles);
  uint64_t signatures = 0;
  for (const ThreadCounts &c : counts) signatures += c.signatures;
  return signatures;
}

// ---- SoftHSM2 keys (Linux) ------------------------------------------------
#ifndef _WIN32

// The card emulator in a virtual reader of the real daemon, the router's
// slot 1. While the router runs, a change counts once the router's slot
// reports it (the daemon polls the reader a few times a second); the card
// thread asks the router as an application would, which also keeps every
// PC/SC call of the process on the router's one context.
class EmulatedReader : public PulledReader {
 public:
  explicit EmulatedReader(const char *name) : name_(name) {}
  // Before C_Initialize and after C_Finalize: the daemon itself is asked.
  // A card an earlier test left in the reader must be gone first, or the
  // daemon would report that one.
  bool insertFirst() {
    if (!daemonSees(name_, false)) {
      fault(0, "the reader still holds another card", 0);
      return false;
    }
    return emulator_.insert(EmulatedCard{kAtrFamily1}) && daemonSees(name_, true);
  }
  void takeOut() {
    emulator_.remove();
    if (!daemonSees(name_, false)) fault(0, "the daemon still sees the card at the end", 0);
  }
  void pull() override {
    emulator_.remove();
    if (!slotSees(false)) fault(0, "the slot still reports the pulled card", 0);
  }
  bool reinsert() override { return emulator_.insert(EmulatedCard{kAtrFamily1}) && slotSees(true); }

 private:
  static bool slotSees(bool present) {
    for (int i = 0; i < 100; ++i) {
      CK_SLOT_INFO info{};
      if (counted(C_GetSlotInfo(1, &info)) == CKR_OK && ((info.flags & CKF_TOKEN_PRESENT) != 0) == present)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  const char *name_;
  CardEmulator emulator_{CardEmulator::kReader0Port};
};


const char kHsmReader[] = "Virtual PCD 00 00";

std::string labelOf(unsigned t) { return "stress-" + std::to_string(t); }

// Exactly one object of the class with the thread's label; 0 on a fault.
CK_OBJECT_HANDLE findOwn(unsigned t, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::string &label) {
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_LABEL, const_cast<char *>(label.data()), label.size()}};
  CK_OBJECT_HANDLE found[4] = {};
  CK_ULONG count = 0;
  expect(t, C_FindObjectsInit(s, query, 2), CKR_OK, "C_FindObjectsInit");
  expect(t, C_FindObjects(s, found, 4, &count), CKR_OK, "C_FindObjects");
  expect(t, C_FindObjectsFinal(s), CKR_OK, "C_FindObjectsFinal");
  if (count != 1) {
    if (!roundLost) fault(t, "own object not found exactly once", count);
    return 0;
  }
  return found[0];
}

bool generateKeys(unsigned t, CK_SESSION_HANDLE s) {
  static CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_BYTE id[] = {static_cast<CK_BYTE>(t)};
  std::string label = labelOf(t);
  CK_MECHANISM mech = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &no, sizeof no},
                        {CKA_VERIFY, &yes, sizeof yes},
                        {CKA_ID, id, sizeof id},
                        {CKA_LABEL, label.data(), label.size()},
                        {CKA_EC_PARAMS, p256, sizeof p256}};
  CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &no, sizeof no},         {CKA_SIGN, &yes, sizeof yes},
                         {CKA_PRIVATE, &yes, sizeof yes},     {CKA_ID, id, sizeof id},
                         {CKA_LABEL, label.data(), label.size()}};
  CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
  return counted(C_GenerateKeyPair(s, &mech, pub, 5, priv, 5, &hPub, &hPriv)) == CKR_OK;
}

void hsmRound(unsigned t, const std::atomic<bool> &cardOut, ThreadCounts &counts, uint64_t round) {
  CK_SESSION_HANDLE s = 0;
  RoundCard card(true, cardOut);
  if (!openSession(t, 1, CKF_SERIAL_SESSION | CKF_RW_SESSION, cardOut, s)) return;
  ++counts.opened;
  std::string label = labelOf(t);
  CK_OBJECT_HANDLE priv = findOwn(t, s, CKO_PRIVATE_KEY, label), pub = findOwn(t, s, CKO_PUBLIC_KEY, label);
  if (priv && pub) {
    CK_BYTE id[4] = {};
    CK_ATTRIBUTE idAttribute = {CKA_ID, id, sizeof id};
    expect(t, C_GetAttributeValue(s, priv, &idAttribute, 1), CKR_OK, "C_GetAttributeValue");
    if (!roundLost && (idAttribute.ulValueLen != 1 || id[0] != t)) fault(t, "key of another thread", id[0]);
    CK_BYTE message[32] = {};
    std::snprintf(reinterpret_cast<char *>(message), sizeof message, "thread %u round %llu", t,
                  static_cast<unsigned long long>(round));
    CK_BYTE signature[64];
    CK_ULONG length = sizeof signature;
    expect(t, C_SignInit(s, &ecdsa, priv), CKR_OK, "C_SignInit");
    expect(t, C_Sign(s, message, sizeof message, signature, &length), CKR_OK, "C_Sign");
    expect(t, C_VerifyInit(s, &ecdsa, pub), CKR_OK, "C_VerifyInit");
    expect(t, C_Verify(s, message, sizeof message, signature, length), CKR_OK, "signature does not verify");
    if (!roundLost) ++counts.signatures;
  }
  if (round % 4 == 0) {
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL no = CK_FALSE;
    // Each round's own: a round whose card was pulled leaves its object in
    // the backend's session, which the router no longer holds or closes.
    std::string dataLabel = label + "-data-" + std::to_string(round);
    CK_ATTRIBUTE object[] = {{CKA_CLASS, &data, sizeof data},
                             {CKA_TOKEN, &no, sizeof no},
                             {CKA_LABEL, dataLabel.data(), dataLabel.size()}};
    CK_OBJECT_HANDLE o = 0;
    expect(t, C_CreateObject(s, object, 3, &o), CKR_OK, "C_CreateObject");
    if (!roundLost) claimNew(t, o);
    if (findOwn(t, s, CKO_DATA, dataLabel) != o && !roundLost) fault(t, "own object found under another handle", o);
    if (o) holdings.release(t, o);
    expect(t, C_DestroyObject(s, o), CKR_OK, "C_DestroyObject");
    expect(t, C_DestroyObject(s, o), CKR_OBJECT_HANDLE_INVALID, "C_DestroyObject twice");
  }
  expect(t, C_CloseSession(s), CKR_OK, "C_CloseSession");
  ++counts.closed;
}

// `real`: the card emulator in the real daemon's reader, else the scripted
// card service.
uint64_t runSoftHsm(unsigned threads, double seconds, bool real) {
  char pattern[] = "/tmp/tokenhub-stress-XXXXXX";
  if (!mkdtemp(pattern)) return fault(0, "mkdtemp", 0), 0;
  std::filesystem::path dir = pattern;
  std::filesystem::create_directory(dir / "tokens");
  std::ofstream(dir / "softhsm2.conf") << "directories.tokendir = " << (dir / "tokens").string()
                                        << "\nobjectstore.backend = file\nlog.level = ERROR\n";
  setenv("SOFTHSM2_CONF", (dir / "softhsm2.conf").c_str(), 1);
  unsetenv("TOKENHUB_TEST_READER");
  uint64_t signatures = 0;
  if (std::system("softhsm2-util --init-token --free --label stress --pin 123456 --so-pin 12345678 >/dev/null") != 0) {
    fault(0, "softhsm2-util", 0);
  } else {
    EmulatedReader emulated(kHsmReader);
    ScriptedReader scripted(kHsmReader);
    PulledReader &pulled = real ? static_cast<PulledReader &>(emulated) : scripted;
    if (!real) {
      FakePcsc::get().addReader(kHsmReader);
      FakePcsc::get().insert(kHsmReader, kAtrFamily1);
    } else if (!emulated.insertFirst()) {
      fault(0, "no card of ours in the daemon's reader (is pcscd with vpcd running?)", 0);
    }
    CK_SESSION_HANDLE keeper = 0;
    CK_UTF8CHAR pin[] = "123456";
    if (counted(C_Initialize(&osLocking)) != CKR_OK || router.slotCount != 2 ||
        counted(C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &keeper)) != CKR_OK ||
        counted(C_Login(keeper, CKU_USER, pin, 6)) != CKR_OK) {
      fault(0, "SoftHSM2 token behind slot 1", router.slotCount);
    } else {
      libraryUp = true;
      // The keeper session holds the login and the threads' session keys.
      for (unsigned t = 0; t < threads; ++t)
        if (!generateKeys(t, keeper)) fault(t, "C_GenerateKeyPair", 0);
      std::atomic<bool> cardOut{false};
      std::vector<ThreadCounts> counts(threads);
      std::vector<std::thread> pool;
      for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([t, &cardOut, &counts] {
          for (uint64_t round = 0; gate.enter(); ++round) {
            hsmRound(t, cardOut, counts[t], round);
            gate.leave();
          }
        });
      std::thread card(pullAndReinsert, std::ref(pulled), std::ref(cardOut), std::chrono::milliseconds(20),
                       std::chrono::milliseconds(200));
      std::thread waiter(waitForEvents, std::set<CK_SLOT_ID>{1, 2});
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      stopping = true;
      gate.wake();
      for (std::thread &t : pool) t.join();
      card.join();
      // The keeper session ended with the first pull of its card (the backend keeps the login).
      checkNothingLost(counts, removals ? 0 : 1);
      expect(0, C_CloseSession(keeper), removals ? CKR_SESSION_HANDLE_INVALID : CKR_OK, "C_CloseSession of the keeper");
      if (objectRowsInUse() != 0) fault(0, "object rows left after the last session", objectRowsInUse());
      // C_Finalize while the other thread waits.
      for (int i = 0; i < 100 && !waiting; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      libraryUp = false;
      expect(0, C_Finalize(nullptr), CKR_OK, "C_Finalize");
      waiter.join();
      if (!waitsEnded) fault(0, "the wait was not ended by C_Finalize", 0);
      for (const ThreadCounts &c : counts) signatures += c.signatures;
    }
    while (router.initCount) C_Finalize(nullptr);
    if (real) emulated.takeOut();
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return signatures;
}

#endif  // _WIN32

// Runs the arrangement; the number of signatures made.
#ifdef _WIN32
const char kUsage[] = "usage: %s mock SECONDS [THREADS]\n";
bool knownArrangement(const std::string &config) { return config == "mock"; }
uint64_t run(const std::string &, unsigned threads, double seconds, uint64_t &cycles) {
  return runMock(threads, seconds, cycles);
}
#else
const char kUsage[] = "usage: %s mock|softhsm|emulator SECONDS [THREADS]\n";
bool knownArrangement(const std::string &config) {
  return config == "mock" || config == "softhsm" || config == "emulator";
}
uint64_t run(const std::string &config, unsigned threads, double seconds, uint64_t &cycles) {
  return config == "mock" ? runMock(threads, seconds, cycles) : runSoftHsm(threads, seconds, config == "emulator");
}
#endif

}  // namespace

int main(int argc, char **argv) {
  std::string config = argc > 1 ? argv[1] : "";
  double seconds = argc > 2 ? std::atof(argv[2]) : 0;
  unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 8;
  if (!knownArrangement(config) || seconds <= 0 || threads == 0 || threads > 64) {
    std::fprintf(stderr, kUsage, argv[0]);
    return 2;
  }
  // The router's locks, as the shipped module makes them when it is loaded.
  routerProcessAttach();
  if (config == "emulator") {
    setPcscApi(nullptr);
  } else {
    FakePcsc::get().install();
    FakePcsc::get().countEvents = true;  // as Windows and pcsc-lite count
    FakePcsc::get().recordCalls = false;
  }
  mock::mockReset();
  setModuleApi(nullptr);

  uint64_t cycles = 0;
  Clock::time_point start = Clock::now();
  uint64_t signatures = run(config, threads, seconds, cycles);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "stress %s: %u threads, %.1f s, %llu calls, %.0f calls/s, %llu signatures, %llu card removals, "
      "%llu expected refusals, %llu slot events, %llu finalize cycles, %llu waits ended by C_Finalize, %llu faults\n",
      config.c_str(), threads, elapsed, static_cast<unsigned long long>(calls.load()), calls / elapsed,
      static_cast<unsigned long long>(signatures), static_cast<unsigned long long>(removals.load()),
      static_cast<unsigned long long>(refusals.load()), static_cast<unsigned long long>(slotEvents.load()),
      static_cast<unsigned long long>(cycles), static_cast<unsigned long long>(waitsEnded.load()),
      static_cast<unsigned long long>(faults.load()));
  return faults ? 1 : 0;
}
