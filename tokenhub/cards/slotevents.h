// Slot events: the waits of C_WaitForSlotEvent and their end. A wait asks
// the card service for the readers' states, reports the first slot whose
// card came or went, and otherwise waits inside the service on a context of
// its own, enlisted here so that the end of the library can cancel it.
//
// Every wait belongs to one generation of the library: the count of its
// ends so far (router.generation). A wait, or a context renewal, begun in
// one generation never applies its answer to the next one's tables.
#pragma once
#include "state/state.h"

namespace tokenhub {

// The library of `generation` has ended since, also when a C_Initialize
// has followed at once. Asked under tableLock.
bool endedSince(uint32_t generation);

// Enlists a wait's own context before it first waits inside the card
// service; false when the library of `generation` has ended, or when as many
// waits run already as are kept (8; a wait beyond polls). Delisted when the
// C_WaitForSlotEvent returns, or when its context was found dead.
bool enlistWait(PcscContext context, uint32_t generation);
void delistWait(PcscContext context);

enum class WaitsEnd {
  Finalized,      // C_Finalize, after the tables are cleared: every enlisted wait is cancelled until it has left (5 s at most)
  InForkedChild,  // the waits enlisted are the parent's threads, which the child does not have: forgotten
};
// The library ends: the generation is counted up, so that every wait and
// renewal begun before sees the end, and the waits inside the service end.
void endWaits(WaitsEnd how);

}  // namespace tokenhub
