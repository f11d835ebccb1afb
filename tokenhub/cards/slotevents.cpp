// Slot events: C_WaitForSlotEvent, the waits that wait inside the card
// service with their registry, and the end of every wait when the library
// ends (C_Finalize, or a fork in the child).
#include "cards/slotevents.h"

#include <cstring>
#include <initializer_list>

#include "cards/cardcontext.h"
#include "state/core.h"
#include "cards/readercards.h"
#include "cards/readernames.h"

namespace tokenhub {

namespace {

constexpr uint32_t kPollIntervalMs = 10;
// A wait that polls (more readers than one query takes, more waits than are
// kept, a card service that fails its queries or is gone) polls more slowly
// after a second without change: it may last for hours.
constexpr unsigned kQuickPolls = 100;
constexpr uint32_t kSlowPollIntervalMs = 50;
// pcsc-lite refuses more than 16 readers in one status query, Windows'
// remote-desktop redirection more than 10.
constexpr uint32_t kReadersPerQuery = 10;
// While the card service is gone, a waiting thread asks for a new context
// on every 20th poll only: establishing one may be slow then. A wait whose
// own query inside the service failed polls as long before it tries again.
constexpr unsigned kPollsPerRenewal = 20;
// While a reader is unplugged, a wait inside the card service looks for it
// again this often, if the service has not told of a reader attached before.
constexpr uint32_t kUnpluggedRecheckMs = 1000;
// pcsc-lite counts the readers when a wait starts inside the service, and
// its notice's state does not carry the count: a reader attached between
// the router's look at the list and that start ends no wait. Such a wait
// looks at the list this often.
constexpr uint32_t kReaderListRecheckMs = 500;
// While the system tells when its card service starts, a waiting thread
// looks this often whether the library was finalised meanwhile, and a wait
// with nothing to watch inside the service, whether it ended.
constexpr uint32_t kServiceStartSliceMs = 50;
// ... and asks the service itself this often all the same: under Remote
// Desktop the calls go to the client's service while the local one stays
// stopped.
constexpr uint32_t kServiceLookAgainMs = 3000;

// The contexts of the running waits; 0 a free place. Guarded by tableLock.
constexpr unsigned kMaxWaits = 8;
PcscContext waitContexts[kMaxWaits];
// How long C_Finalize keeps cancelling waits that have not left yet: the
// service drops a cancellation that comes before the wait is inside it, and
// a waiting thread descheduled just before may get there late.
constexpr uint64_t kCancelLimitMs = 5000;
constexpr uint32_t kCancelPauseMs = 1;

}  // namespace

bool enlistWait(PcscContext context, uint32_t generation) {
  LockGuard hold(tableLock);
  if (endedSince(generation)) return false;
  for (PcscContext &place : waitContexts) {
    if (place == 0) {
      place = context;
      return true;
    }
  }
  return false;
}

void delistWait(PcscContext context) {
  LockGuard hold(tableLock);
  for (PcscContext &place : waitContexts)
    if (place == context) place = 0;
}

namespace {

bool roomForWait() {
  LockGuard hold(tableLock);
  for (PcscContext place : waitContexts)
    if (place == 0) return true;
  return false;
}

// Cancels every enlisted wait, again until each has left.
void cancelWaits() {
  const uint64_t until = monotonicMilliseconds() + kCancelLimitMs;
  for (;;) {
    PcscContext running[kMaxWaits];
    unsigned count = 0;
    {
      LockGuard hold(tableLock);
      for (PcscContext place : waitContexts)
        if (place) running[count++] = place;
    }
    if (count == 0) return;
    for (unsigned i = 0; i < count; ++i) pcsc().cancel(running[i]);
    if (monotonicMilliseconds() >= until) return;
    // Not the library's sleep: the tests count that one, and this pause
    // only waits for another thread.
    platformSleepMilliseconds(kCancelPauseMs);
  }
}

PcscResult queryGroup(ReaderState *states, uint32_t count, bool mayRenew) {
  return onCardContext([&](PcscContext context) { return pcsc().getStatusChange(context, 0, states, count); },
                       mayRenew);
}

// A group whose query named a reader that is not there: each reader alone,
// and a missing one counts as an empty reader (its state unknown).
PcscResult queryOneByOne(ReaderState *states, uint32_t count, bool mayRenew) {
  for (uint32_t i = 0; i < count; ++i) {
    PcscResult rv = queryGroup(states + i, 1, mayRenew);
    if (readersMissing(rv))
      states[i].eventState = kScardStateUnknown;
    else if (rv != kScardSuccess)
      return rv;
  }
  return kScardSuccess;
}

// The readers' states, one status query per group of readers; with no
// readers, one query over none. The first failure ends it; `answered`
// tells how many readers, from the first, have their state. An unplugged
// reader costs only its own state: the other readers keep reporting.
PcscResult queryReaders(ReaderState *states, uint32_t readers, bool mayRenew, uint32_t *answered) {
  uint32_t first = 0;
  *answered = 0;
  do {
    uint32_t count = readers - first < kReadersPerQuery ? readers - first : kReadersPerQuery;
    PcscResult rv = queryGroup(states + first, count, mayRenew);
    if (readersMissing(rv) && count > 0) rv = queryOneByOne(states + first, count, mayRenew);
    if (rv != kScardSuccess) return rv;
    first += count;
    *answered = first;
  } while (first < readers);
  return kScardSuccess;
}

// The row's card as the service reports it now differs from the one last
// reported: it came or went, or, where the service counts the reader's card
// events, another card took its place (reported as its removal first); or
// the row is the common slot of a reader attached while the library runs,
// not reported yet (with its card, if one is in: an insertion).
// Records what is reported; true when there is something to report.
bool noteChange(SlotEntry &row, uint32_t eventState) {
  uint32_t present = (eventState & kScardStatePresent) ? 1 : 0;
  uint32_t events = eventState >> 16;
  bool swapped = present && row.cardPresent && events != row.cardEvents;
  if (row.cardPresent == present && !swapped && !row.unannounced) return false;
  row.unannounced = 0;
  row.cardPresent = swapped ? 0 : present;
  row.cardEvents = events;
  return true;
}

// The reader whose card changed since it was last reported, as the slot to
// report now: the common row first, its secure row on the next call.
SlotEntry *changedSlot(const ReaderState *states, uint32_t readers) {
  for (uint32_t j = 0; j < readers; ++j)
    for (SlotEntry *row : {&router.slotTable[2 * j], &router.slotTable[2 * j + 1]})
      if (noteChange(*row, states[j].eventState)) return row;
  return nullptr;
}

// The ticket (readerQueryTicket) of the latest slot-event query whose answer
// was applied. Guarded by tableLock.
uint64_t queriesApplied = 0;

enum class ServiceWait { Changed, Ended, Failed };

// The context on which one C_WaitForSlotEvent waits inside the card service:
// taken at its first such wait, enlisted for C_Finalize to cancel, and kept
// until the call returns, so that a wait that looks again every second for
// an unplugged reader costs no new context each time.
class OwnContext {
 public:
  OwnContext() = default;
  OwnContext(const OwnContext &) = delete;
  OwnContext &operator=(const OwnContext &) = delete;
  ~OwnContext() { drop(); }

  ServiceWait take(uint32_t generation, PcscContext *context) {
    if (!context_) {
      // With every place taken, a context would only be released again.
      if (!roomForWait()) return ServiceWait::Failed;
      PcscContext fresh = 0;
      if (pcsc().establishContext(&fresh) != kScardSuccess) return ServiceWait::Failed;
      if (!enlistWait(fresh, generation)) {
        pcsc().releaseContext(fresh);
        LockGuard hold(tableLock);
        return endedSince(generation) ? ServiceWait::Ended : ServiceWait::Failed;
      }
      context_ = fresh;
    }
    *context = context_;
    return ServiceWait::Changed;
  }
  // A context of a service that went away is dead; the next wait takes a new
  // one. Delisted last: C_Finalize waits for that, and the host may unload
  // the library as soon as C_Finalize has returned.
  void drop() {
    if (!context_) return;
    pcsc().releaseContext(context_);
    delistWait(context_);
    context_ = 0;
  }

 private:
  PcscContext context_ = 0;
};

// What one C_WaitForSlotEvent learnt of the service's reader-change notice.
struct ReaderListWatch {
  bool refused = false;  // the service knows no such reader name
  uint32_t state = 0;    // its last event state (Windows counts the readers in the upper 16 bits)
};

// Pauses up to `ms` in slices, until the library of `generation` ends.
bool pauseUnlessEnded(uint32_t generation, uint32_t ms) {
  for (uint32_t slept = 0; slept < ms; slept += kServiceStartSliceMs) {
    sleepMilliseconds(kServiceStartSliceMs);
    LockGuard hold(tableLock);
    if (endedSince(generation)) return false;
  }
  return true;
}

// Waits inside the card service until a reader's state differs from what
// the last query saw (in `states`). The card service is asked once, however
// long nothing happens.
ServiceWait waitInCardService(OwnContext &own, uint32_t generation, const ReaderState *states, uint32_t readers,
                              ReaderListWatch &list) {
  // An unplugged reader would fail the query at once: it is left out, and
  // the wait ends on the service's notice of a reader attached, or after a
  // second, to look for its return. Without any reader to watch, only the
  // notice is waited for (pcsc-lite answers a query over no reader at once).
  ReaderState watched[kMaxReaders + 1];
  uint32_t count = 0;
  for (uint32_t j = 0; j < readers; ++j) {
    if (states[j].eventState & kScardStateUnknown) continue;
    watched[count] = states[j];
    watched[count].currentState = states[j].eventState & ~kScardStateChanged;
    ++count;
  }
  const bool missing = count < readers;
  // The notice also ends the wait when a reader is attached: it may be one
  // that a backend lists, which gets a pair of slots of its own.
  const bool notice = !list.refused;
  if (notice) {
    std::memset(&watched[count], 0, sizeof watched[count]);
    watched[count].reader = kPnpNotification;
    watched[count].currentState = list.state;
    ++count;
  }
  // Windows counts the readers in the notice's upper 16 bits and compares
  // them with what the caller saw: nothing is missed there.
  const bool listRecheck = notice && !missing && (list.state >> 16) == 0;
  const uint32_t timeout = missing ? kUnpluggedRecheckMs : listRecheck ? kReaderListRecheckMs : kScardInfinite;
  if (count == 0)  // nothing the service can watch: look again after a while
    return pauseUnlessEnded(generation, kUnpluggedRecheckMs) ? ServiceWait::Changed : ServiceWait::Ended;
  PcscContext context = 0;
  ServiceWait taken = own.take(generation, &context);
  if (taken != ServiceWait::Changed) return taken;
  for (;;) {
    PcscResult rv = pcsc().getStatusChange(context, timeout, watched, count);
    if (notice && readersMissing(rv)) {
      // The notice unknown to the service, or a reader unplugged meanwhile.
      ReaderState probe;
      std::memset(&probe, 0, sizeof probe);
      probe.reader = kPnpNotification;
      list.refused = readersMissing(pcsc().getStatusChange(context, 0, &probe, 1));
      rv = kScardSuccess;  // look again
    }
    // A slice of a wait that looks at the list: the list as the router saw it.
    const bool listUnchanged = rv == kScardETimeout && listRecheck && !readerListChanged();
    bool dead = false;
    {
      LockGuard hold(tableLock);
      if (endedSince(generation)) return ServiceWait::Ended;
      // A cancellation meant for an earlier wait on this context, or a
      // service that ends infinite waits after a while: wait again.
      if (rv == kScardECancelled || (rv == kScardETimeout && (timeout == kScardInfinite || listUnchanged))) continue;
      if (notice && rv == kScardSuccess) list.state = watched[count - 1].eventState & ~kScardStateChanged;
      if (rv == kScardETimeout) rv = kScardSuccess;  // time to look for the unplugged readers
      dead = cardServiceGone(rv);
    }
    if (dead) own.drop();
    return rv == kScardSuccess ? ServiceWait::Changed : ServiceWait::Failed;
  }
}

enum class ServiceStart { Running, Started, Ended };

// Where the system tells when its card service starts, waits for that
// instead of asking the service, in slices that a C_Finalize ends, and
// looks again now and then all the same (Started).
// Running: the system says at once that it runs, or cannot tell.
ServiceStart awaitServiceStart(uint32_t generation) {
  for (uint32_t waited = 0;; waited += kServiceStartSliceMs) {
    if (pcsc().awaitService(kServiceStartSliceMs)) return waited ? ServiceStart::Started : ServiceStart::Running;
    LockGuard hold(tableLock);
    if (endedSince(generation)) return ServiceStart::Ended;
    if (waited + kServiceStartSliceMs >= kServiceLookAgainMs) return ServiceStart::Started;
  }
}

}  // namespace

bool endedSince(uint32_t generation) { return !initialised() || router.generation != generation; }

void endWaits(WaitsEnd how) {
  {
    LockGuard hold(tableLock);
    ++router.generation;
    if (how == WaitsEnd::InForkedChild)
      for (PcscContext &place : waitContexts) place = 0;
  }
  if (how == WaitsEnd::Finalized) cancelWaits();
}

}  // namespace tokenhub

namespace tokenhub::core {

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!pSlot || pReserved) return CKR_ARGUMENTS_BAD;
  uint32_t generation = 0;
  {
    LockGuard hold(tableLock);
    if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    generation = router.generation;
  }
  OwnContext own;  // released when the call returns
  ReaderListWatch readerList;
  unsigned pollsWithoutService = 0;
  unsigned pollsBeforeServiceWait = 0;
  unsigned quietPolls = 0;
  // Whether a pass that the service answered looks at its reader list: the
  // first, one after each wait inside the service, those while a changed
  // list waits for its backends, and every 20th poll.
  bool lookAtList = true;
  unsigned pollsSinceList = 0;
  for (;;) {
    // The queries run on copies of the reader names, taken under the table
    // lock: a C_Finalize on another thread clears the rows and releases the
    // context meanwhile, and their answer is then not used.
    char names[kMaxReaders][kReaderNameSize];
    ReaderState states[kMaxReaders];
    std::memset(states, 0, sizeof states);
    uint32_t readers = 0;
    uint64_t ticket = 0;
    {
      LockGuard hold(tableLock);
      if (endedSince(generation)) return CKR_CRYPTOKI_NOT_INITIALIZED;
      ticket = readerQueryTicket();
      readers = router.slotCount / 2;
      for (uint32_t j = 0; j < readers; ++j) {
        std::memcpy(names[j], router.slotTable[2 * j].readerName, kReaderNameSize);
        states[j].reader = names[j];
        states[j].currentState = kScardStateUnaware;
      }
    }
    uint32_t answered = 0;
    PcscResult queried = queryReaders(states, readers, pollsWithoutService % kPollsPerRenewal == 0, &answered);
    if (refreshReaderNamesIfUnknown(states, answered)) continue;  // asked again under the whole names found
    if (queried == kScardSuccess && (lookAtList || readerListPending() || ++pollsSinceList >= kPollsPerRenewal)) {
      lookAtList = false;
      pollsSinceList = 0;
      if (refreshReaderNames()) continue;  // a reader attached meanwhile got its pair: asked again with it
    }
    bool serviceGone = cardServiceGone(queried);
    bool failed = queried != kScardSuccess && !serviceGone;
    pollsWithoutService = serviceGone ? pollsWithoutService + 1 : 0;
    // A card service that is gone has no cards: the application learns that
    // its tokens left, and the cards found once the service is back (and has
    // found its readers again) are reported as inserted. One that answered
    // some groups of readers before it went is not gone for those: only the
    // readers it answered for are looked at.
    bool noCards = serviceGone && answered == 0;
    uint32_t known = queried == kScardSuccess || noCards ? readers : answered;
    {
      LockGuard hold(tableLock);
      if (endedSince(generation)) return CKR_CRYPTOKI_NOT_INITIALIZED;
      // A blocking wait returns on an event or at the library's end only:
      // an application whose wait failed stops watching the slots for good.
      if (failed && (flags & CKF_DONT_BLOCK)) return CKR_FUNCTION_FAILED;
      if (noCards)
        for (uint32_t j = 0; j < readers; ++j) states[j].eventState = 0;
      // Under the lock: two waiting threads must not both report one change,
      // nor apply an answer older than one already applied (a card pulled
      // and then reported present again).
      if (!failed) {
        if (ticket < queriesApplied) continue;
        queriesApplied = ticket;
        for (uint32_t j = 0; j < known; ++j) noteReaderCard(j, states[j], ticket);  // sessions end with their card
        if (SlotEntry *row = changedSlot(states, known)) {
          *pSlot = row->id;
          return CKR_OK;
        }
      }
    }
    if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
    if (serviceGone) {
      own.drop();  // its service went too
      ServiceStart start = awaitServiceStart(generation);
      if (start == ServiceStart::Ended) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (start == ServiceStart::Started) {
        pollsWithoutService = 0;  // the next query takes a context of the new service
        continue;
      }
    }
    // Nothing changed: the card service tells when something does. Its
    // answer is not used as such; the next pass asks again, as above.
    // A reader list whose backends could not be asked yet is looked at again by the next polls.
    if (queried == kScardSuccess && readers <= kReadersPerQuery && pollsBeforeServiceWait == 0 &&
        !readerListPending()) {
      ServiceWait waited = waitInCardService(own, generation, states, readers, readerList);
      if (waited == ServiceWait::Ended) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (waited == ServiceWait::Changed) {
        quietPolls = 0;
        lookAtList = true;
        continue;
      }
      pollsBeforeServiceWait = kPollsPerRenewal;  // it failed: poll for a while
    }
    if (pollsBeforeServiceWait > 0) --pollsBeforeServiceWait;
    sleepMilliseconds(++quietPolls > kQuickPolls ? kSlowPollIntervalMs : kPollIntervalMs);
  }
}

}  // namespace tokenhub::core
