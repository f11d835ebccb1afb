// Slot events: C_WaitForSlotEvent, the waits that wait inside the card
// service with their registry, and the end of every wait when the library
// ends (C_Finalize, or a fork in the child).
#include "slotevents.h"

#include <cstring>
#include <initializer_list>

#include "cardcontext.h"
#include "core.h"
#include "readercards.h"
#include "readernames.h"

namespace tokenhub {

namespace {

constexpr uint32_t kPollIntervalMs = 10;
// pcsc-lite refuses more than 16 readers in one status query, Windows'
// remote-desktop redirection more than 10.
constexpr uint32_t kReadersPerQuery = 10;
// While the card service is gone, a waiting thread asks for a new context
// on every 20th poll (200 ms) only: establishing one may be slow then.
constexpr unsigned kPollsPerRenewal = 20;
// While a reader is unplugged, a wait inside the card service looks for it
// again this often.
constexpr uint32_t kUnpluggedRecheckMs = 1000;
// While the system tells when its card service starts, a waiting thread
// looks this often whether the library was finalised meanwhile.
constexpr uint32_t kServiceStartSliceMs = 50;

// The contexts of the running waits; 0 a free place. Guarded by tableLock.
constexpr unsigned kMaxWaits = 8;
PcscContext waitContexts[kMaxWaits];
// How long C_Finalize keeps cancelling waits that have not left yet.
constexpr unsigned kCancelRounds = 100;
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

// Cancels every enlisted wait, again until each has left (a cancellation
// that reaches the service just before the wait does is lost).
void cancelWaits() {
  for (unsigned round = 0; round < kCancelRounds; ++round) {
    PcscContext running[kMaxWaits];
    unsigned count = 0;
    {
      LockGuard hold(tableLock);
      for (PcscContext place : waitContexts)
        if (place) running[count++] = place;
    }
    if (count == 0) return;
    for (unsigned i = 0; i < count; ++i) pcsc().cancel(running[i]);
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

// The reader whose presence changed since it was last reported, as the slot
// to report now: the common row first, its secure row on the next call.
SlotEntry *changedSlot(const ReaderState *states, uint32_t readers) {
  for (uint32_t j = 0; j < readers; ++j) {
    uint32_t present = (states[j].eventState & kScardStatePresent) ? 1 : 0;
    for (SlotEntry *row : {&router.slotTable[2 * j], &router.slotTable[2 * j + 1]}) {
      if (row->cardPresent != present) {
        row->cardPresent = present;
        return row;
      }
    }
  }
  return nullptr;
}

// Queries of the slot-event waits, numbered as they begin; the number of the
// latest one whose answer was applied. Guarded by tableLock.
uint64_t queriesBegun = 0;
uint64_t queriesApplied = 0;

enum class ServiceWait { Changed, Ended, Failed };

// Waits inside the card service until a reader's state differs from what
// the last query saw (in `states`), on a context of the wait's own that
// C_Finalize can cancel. The card service is asked once, however long
// nothing happens.
ServiceWait waitInCardService(uint32_t generation, const ReaderState *states, uint32_t readers) {
  // An unplugged reader would fail the query at once: it is left out, and
  // the wait ends every second to look for its return.
  ReaderState present[kMaxReaders];
  uint32_t count = 0;
  for (uint32_t j = 0; j < readers; ++j) {
    if (states[j].eventState & kScardStateUnknown) continue;
    present[count] = states[j];
    present[count].currentState = states[j].eventState & ~kScardStateChanged;
    ++count;
  }
  uint32_t timeout = count == readers ? kScardInfinite : kUnpluggedRecheckMs;
  PcscContext own = 0;
  if (pcsc().establishContext(&own) != kScardSuccess) return ServiceWait::Failed;
  ServiceWait outcome = ServiceWait::Failed;
  if (!enlistWait(own, generation)) {
    outcome = endedSince(generation) ? ServiceWait::Ended : ServiceWait::Failed;
  } else {
    for (;;) {
      PcscResult rv = pcsc().getStatusChange(own, timeout, present, count);
      LockGuard hold(tableLock);
      if (endedSince(generation)) {
        outcome = ServiceWait::Ended;
        break;
      }
      // A cancellation meant for an earlier wait on this context, or a
      // service that ends infinite waits after a while: wait again.
      if (rv == kScardECancelled || (rv == kScardETimeout && timeout == kScardInfinite)) continue;
      if (rv == kScardETimeout) rv = kScardSuccess;  // time to look for the unplugged readers
      outcome = rv == kScardSuccess ? ServiceWait::Changed : ServiceWait::Failed;
      break;
    }
    delistWait(own);
  }
  pcsc().releaseContext(own);
  return outcome;
}

enum class ServiceStart { Running, Started, Ended };

// Where the system tells when its card service starts, waits for that
// instead of asking the service, in slices that a C_Finalize ends.
// Running: the system says at once that it runs, or cannot tell.
ServiceStart awaitServiceStart(uint32_t generation) {
  for (bool waited = false;; waited = true) {
    if (pcsc().awaitService(kServiceStartSliceMs)) return waited ? ServiceStart::Started : ServiceStart::Running;
    LockGuard hold(tableLock);
    if (endedSince(generation)) return ServiceStart::Ended;
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
  unsigned pollsWithoutService = 0;
  unsigned pollsBeforeServiceWait = 0;
  for (;;) {
    // The queries run on copies of the reader names, taken under the table
    // lock: a C_Finalize on another thread clears the rows and releases the
    // context meanwhile, and their answer is then not used.
    char names[kMaxReaders][kReaderNameSize];
    ReaderState states[kMaxReaders];
    std::memset(states, 0, sizeof states);
    uint32_t readers = 0;
    uint64_t ticket = 0, cardTicket = 0;
    {
      LockGuard hold(tableLock);
      if (endedSince(generation)) return CKR_CRYPTOKI_NOT_INITIALIZED;
      ticket = ++queriesBegun;
      cardTicket = readerQueryTicket();
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
    bool serviceGone = cardServiceGone(queried);
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
      if (queried != kScardSuccess && !serviceGone) return CKR_FUNCTION_FAILED;
      if (noCards)
        for (uint32_t j = 0; j < readers; ++j) states[j].eventState = 0;
      // Under the lock: two waiting threads must not both report one change,
      // nor apply an answer older than one already applied (a card pulled
      // and then reported present again).
      if (ticket < queriesApplied) continue;
      queriesApplied = ticket;
      for (uint32_t j = 0; j < known; ++j) noteReaderCard(j, states[j], cardTicket);  // sessions end with their card
      if (SlotEntry *row = changedSlot(states, known)) {
        *pSlot = row->id;
        return CKR_OK;
      }
    }
    if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
    if (serviceGone) {
      ServiceStart start = awaitServiceStart(generation);
      if (start == ServiceStart::Ended) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (start == ServiceStart::Started) {
        pollsWithoutService = 0;  // the next query takes a context of the new service
        continue;
      }
    }
    // Nothing changed: the card service tells when something does. Its
    // answer is not used as such; the next pass asks again, as above.
    if (queried == kScardSuccess && readers <= kReadersPerQuery && pollsBeforeServiceWait == 0) {
      ServiceWait waited = waitInCardService(generation, states, readers);
      if (waited == ServiceWait::Ended) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (waited == ServiceWait::Changed) continue;
      pollsBeforeServiceWait = kPollsPerRenewal;  // it failed: poll for a while
    }
    if (pollsBeforeServiceWait > 0) --pollsBeforeServiceWait;
    sleepMilliseconds(kPollIntervalMs);
  }
}

}  // namespace tokenhub::core
