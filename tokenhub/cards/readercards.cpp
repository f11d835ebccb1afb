#include "cards/readercards.h"

#include <cstring>

#include "cards/cardcontext.h"

namespace tokenhub {

namespace {

struct SeenCard {
  bool seen;  // anything seen since the tables were cleared
  bool present;
  uint32_t renewals;  // the card-service context whose count eventCounter is
  uint32_t eventCounter;
  uint32_t atrLength;
  uint8_t atr[sizeof(ReaderState::atr)];
};

// Guarded by tableLock.
SeenCard seenCards[kMaxReaders];
uint32_t epochs[kMaxReaders];
uint64_t notedTickets[kMaxReaders];
uint64_t tickets = 0;
uint32_t changes = 0;

// Whether `now` is another card than `before`. A count of another context
// (a new service counts afresh) says nothing; nor does 0, from a service
// that does not count: the ATR is all that tells then.
bool anotherCard(const SeenCard &before, const SeenCard &now) {
  if (before.present != now.present) return true;
  if (!now.present) return false;
  if (before.atrLength != now.atrLength || std::memcmp(before.atr, now.atr, now.atrLength) != 0) return true;
  return before.renewals == now.renewals && before.eventCounter != 0 && before.eventCounter != now.eventCounter;
}

// Whether `now` answers a query older than the one `before` came from: by
// the service's event count where it counts (a count 16 bits wide that
// wraps), else by the order in which the queries were begun.
bool older(const SeenCard &before, const SeenCard &now, uint64_t ticket, uint64_t noted) {
  if (before.seen && before.renewals == now.renewals && before.eventCounter != 0 && now.eventCounter != 0)
    return static_cast<uint16_t>(now.eventCounter - before.eventCounter) >= 0x8000;
  return ticket < noted;
}

uint32_t note(uint32_t reader, const SeenCard &now, uint64_t ticket) {
  if (reader >= kMaxReaders) return 0;
  SeenCard &before = seenCards[reader];
  if (older(before, now, ticket, notedTickets[reader])) return epochs[reader];
  notedTickets[reader] = ticket;
  if (before.seen && anotherCard(before, now)) {
    ++epochs[reader];
    ++changes;
  }
  before = now;
  return epochs[reader];
}

}  // namespace

uint64_t readerQueryTicket() {
  LockGuard hold(tableLock);
  return ++tickets;
}

uint32_t noteReaderCard(uint32_t reader, const ReaderState &state, uint64_t ticket) {
  SeenCard now{};
  now.seen = true;
  now.present = (state.eventState & kScardStatePresent) != 0;
  now.eventCounter = state.eventState >> 16;
  if (now.present) {
    now.atrLength = state.atrLength < sizeof now.atr ? state.atrLength : sizeof now.atr;
    std::memcpy(now.atr, state.atr, now.atrLength);
  }
  LockGuard hold(tableLock);
  now.renewals = cardContextRenewals();
  return note(reader, now, ticket);
}

uint32_t noteReaderGone(uint32_t reader, uint64_t ticket) {
  SeenCard now{};
  now.seen = true;
  LockGuard hold(tableLock);
  now.renewals = cardContextRenewals();
  return note(reader, now, ticket);
}

uint32_t readerCardEpoch(const SlotEntry *slot) {
  uint32_t reader = readerOf(slot);
  return reader < kMaxReaders ? epochs[reader] : 0;
}

bool cardStillIn(const SlotEntry *slot, uint32_t cardEpoch) {
  LockGuard hold(tableLock);
  return readerCardEpoch(slot) == cardEpoch;
}

uint32_t readerCardChanges() { return changes; }

void forgetReaderCards() {
  std::memset(seenCards, 0, sizeof seenCards);
  std::memset(epochs, 0, sizeof epochs);
  std::memset(notedTickets, 0, sizeof notedTickets);
  ++changes;  // rows of the old tables are gone with them
}

}  // namespace tokenhub
