// The backends' slot lists: registered as pairs of virtual slots when the
// library starts, and asked again while it runs, so that a reader attached
// later gets a pair of its own without a restart of the application.
#pragma once
#include "state/state.h"

namespace tokenhub {

// C_Initialize: every loaded backend's slots, role by role.
void registerBackendSlots();

enum class Relisted { Unchanged, Added, Busy };
// Asks every loaded backend for its slot list again and registers the slots
// it lists anew: a new reader's pair comes after every pair there is, and
// ids never move. A backend whose list fails keeps its pairs. Under
// libraryLock, so that no backend is unloaded meanwhile: `wait` false gives
// up (Busy) while C_Initialize, C_Finalize or another listing holds it.
Relisted relistBackendSlots(bool wait);

}  // namespace tokenhub
