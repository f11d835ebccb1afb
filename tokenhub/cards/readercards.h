// The card last seen in each reader, and the reader's card epoch: a count
// of the times its card was found not to be the one seen before (gone,
// another, or one seen after none). Sessions and objects carry the epoch of
// the card they were opened or found on, so that none of them outlives its
// card: a backend that numbers sessions and objects afresh for each card
// would otherwise let an old handle reach the new card's session or key.
#pragma once
#include "state/state.h"

namespace tokenhub {

// What the status query tells apart one card from the next: the reader's
// event count (the upper 16 bits of its event state, counted up at every
// insertion and removal; 0 from a service that does not count) and the ATR,
// as seen on one context (a new context may belong to a new service that
// counts afresh); and the reader's card epoch when it was seen.
struct CardIdentity {
  PcscContext context;
  uint32_t eventCounter;
  uint32_t atrLength;
  uint8_t atr[sizeof(ReaderState::atr)];
  uint32_t epoch;
};

// The pair of slot rows (0..31) that a row belongs to: one reader;
// kMaxReaders for a row of no table (a copy), whose card nobody notes.
inline uint32_t readerOf(const SlotEntry *slot) {
  auto at = reinterpret_cast<uintptr_t>(slot), first = reinterpret_cast<uintptr_t>(router.slotTable);
  if (at < first || at >= first + sizeof router.slotTable) return kMaxReaders;
  return static_cast<uint32_t>((at - first) / sizeof(SlotEntry)) / 2;
}

// A number for a status query about to be made, taken before it: of two
// queries on different threads, only the answer of the later one counts
// (one taken before a card was put back must not undo its return). Takes tableLock.
uint64_t readerQueryTicket();

// Notes what the query of `ticket` found in a reader (present or not, its
// event count, its ATR) and returns the reader's card epoch afterwards; an
// answer older than one noted already is not noted. Takes tableLock.
uint32_t noteReaderCard(uint32_t reader, const ReaderState &state, uint64_t ticket);
// The same for a reader that the service does not know (unplugged): no card.
uint32_t noteReaderGone(uint32_t reader, uint64_t ticket);

// The reader's card epoch now. Under tableLock.
uint32_t readerCardEpoch(const SlotEntry *slot);
// Whether the card of `cardEpoch` is still the one seen in the slot's reader. Takes tableLock.
bool cardStillIn(const SlotEntry *slot, uint32_t cardEpoch);

// Counted up with every epoch of every reader: a table whose rows were last
// checked at another count checks them again. Under tableLock.
uint32_t readerCardChanges();

// Forgets the cards seen, with the tables. The caller holds tableLock or is C_Initialize.
void forgetReaderCards();

}  // namespace tokenhub
