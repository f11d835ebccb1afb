#include "readercards.h"

#include <cstring>

#include "cardcontext.h"

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

uint32_t note(uint32_t reader, const SeenCard &now) {
  SeenCard &before = seenCards[reader];
  if (before.seen && anotherCard(before, now)) {
    ++epochs[reader];
    ++changes;
  }
  before = now;
  return epochs[reader];
}

}  // namespace

uint32_t noteReaderCard(uint32_t reader, const ReaderState &state) {
  SeenCard now{};
  now.seen = true;
  now.present = (state.eventState & kScardStatePresent) != 0;
  if (now.present) {
    now.eventCounter = state.eventState >> 16;
    now.atrLength = state.atrLength < sizeof now.atr ? state.atrLength : sizeof now.atr;
    std::memcpy(now.atr, state.atr, now.atrLength);
  }
  LockGuard hold(tableLock);
  now.renewals = cardContextRenewals();
  return note(reader, now);
}

uint32_t noteReaderGone(uint32_t reader) {
  SeenCard now{};
  now.seen = true;
  LockGuard hold(tableLock);
  now.renewals = cardContextRenewals();
  return note(reader, now);
}

uint32_t readerCardEpoch(const SlotEntry *slot) { return epochs[readerOf(slot)]; }

uint32_t readerCardChanges() { return changes; }

void forgetReaderCards() {
  std::memset(seenCards, 0, sizeof seenCards);
  std::memset(epochs, 0, sizeof epochs);
  ++changes;  // rows of the old tables are gone with them
}

}  // namespace tokenhub
