// ATR recognition and backend choice over arbitrary reader answers: the
// card service reports presence, an ATR of any length and content.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cards/recognition.h"
#include "state/state.h"

using namespace tokenhub;

namespace {

const uint8_t *atrData = nullptr;
uint32_t atrLength = 0;
uint32_t eventState = 0;

PcscResult statusChange(PcscContext, uint32_t, ReaderState *states, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    states[i].eventState = eventState;
    // A service may claim a longer ATR than its buffer: the platform layer caps it.
    states[i].atrLength = atrLength > sizeof states[i].atr ? sizeof states[i].atr : atrLength;
    std::memcpy(states[i].atr, atrData, states[i].atrLength);
  }
  return kScardSuccess;
}

CK_FUNCTION_LIST fakeList;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static PcscApi api{};
  api.getStatusChange = statusChange;
  setPcscApi(&api);
  router.cardContext = 1;  // the service is there: its context was taken at initialisation
  eventState = data[0] & 1 ? kScardStatePresent : 0;
  SlotEntry slot{};
  slot.profile = data[1] & 1;
  slot.backendSlotFamily1 = data[1] & 2 ? 7 : 0;
  slot.backendSlotFamily2 = data[1] & 4 ? 9 : 0;
  std::strcpy(slot.readerName, "Fuzz Reader");
  for (auto &b : router.backends) b.functionList = data[1] & 8 ? &fakeList : nullptr;
  atrData = data + 2;
  atrLength = static_cast<uint32_t>(size - 2);

  CardFamily direct = recogniseAtr(atrData, atrLength > 36 ? 36 : atrLength);
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SLOT_ID backendSlot = 0;
  CardFamily family = 0;
  CK_RV rv = resolveBackend(slot, &list, &backendSlot, &family);
  if (rv == CKR_OK) {
    // Success names a loaded module, a real backend slot and the recognised family.
    if (!list || backendSlot == 0 || family != direct || family == 0) __builtin_trap();
  } else if (rv != CKR_TOKEN_NOT_PRESENT && rv != CKR_TOKEN_NOT_RECOGNIZED) {
    __builtin_trap();
  }
  return 0;
}
