// Where the router's units report what the diagnostic trace writes as event
// lines. The trace, which sits above every unit it reports on, installs its
// sink when it starts; until then each report costs one load.
#pragma once
#include <atomic>

#include "state/slottable.h"
#include "state/state.h"

namespace tokenhub {

struct TraceSink {
  // What became of a role's module: 0, a loadBackend failure, or its C_Initialize result.
  void (*backend)(unsigned role, CK_RV result);
  // A backend slot and the result of registerBackendSlot for it.
  void (*slotRegistration)(const BackendRole &role, CK_SLOT_ID backendSlot, const CK_SLOT_INFO &info, int result);
  void (*recognition)(const SlotEntry &slot, const ReaderState &state, CK_RV result);
  void (*serialRead)(const SlotEntry &slot, PcscResult result, const char *serial);
  // What completing a cut reader name found.
  void (*readerName)(const CutName &report);
  // A reader of the card service that no virtual slot serves.
  void (*unservedReader)(const char *reader);
  // A pair of rows added while the library runs, by a role's backend slot.
  void (*slotsAdded)(const SlotEntry &common, unsigned role, CK_SLOT_ID backendSlot);
};

inline std::atomic<const TraceSink *> traceSink{nullptr};

namespace tracepoint {
inline const TraceSink *sink() { return traceSink.load(std::memory_order_acquire); }
inline void backend(unsigned role, CK_RV result) {
  if (const TraceSink *s = sink()) s->backend(role, result);
}
inline void slotRegistration(const BackendRole &role, CK_SLOT_ID backendSlot, const CK_SLOT_INFO &info, int result) {
  if (const TraceSink *s = sink()) s->slotRegistration(role, backendSlot, info, result);
}
inline void recognition(const SlotEntry &slot, const ReaderState &state, CK_RV result) {
  if (const TraceSink *s = sink()) s->recognition(slot, state, result);
}
inline void serialRead(const SlotEntry &slot, PcscResult result, const char *serial) {
  if (const TraceSink *s = sink()) s->serialRead(slot, result, serial);
}
inline void readerName(const CutName &report) {
  if (const TraceSink *s = sink()) s->readerName(report);
}
inline void unservedReader(const char *reader) {
  if (const TraceSink *s = sink()) s->unservedReader(reader);
}
inline void slotsAdded(const SlotEntry &common, unsigned role, CK_SLOT_ID backendSlot) {
  if (const TraceSink *s = sink()) s->slotsAdded(common, role, backendSlot);
}
// Whether anything listens: work done only for the trace is skipped without it.
inline bool listening() { return sink() != nullptr; }
}  // namespace tracepoint

}  // namespace tokenhub
