#include "cards/recognition.h"

#include <cstring>

#include "cards/cardcontext.h"
#include "cards/readernames.h"
#include "state/slottable.h"
#include "state/tracepoints.h"

namespace tokenhub {

namespace {

// Family 1: the complete ATR, "SPK23" 90 00 in its historical bytes.
const uint8_t pattern1[16] = {0x3B, 0xB7, 0x94, 0x00, 0x81, 0x31, 0xFE, 0x65,
                              0x53, 0x50, 0x4B, 0x32, 0x33, 0x90, 0x00, 0xD1};
// Family 2: two prefixes; the remaining historical bytes and the check byte vary.
const uint8_t pattern2[15] = {0x3B, 0xBB, 0x18, 0x00, 0xC0, 0x10, 0x31, 0xFE,
                              0x45, 0x80, 0x67, 0x04, 0x12, 0xB0, 0x03};
const uint8_t pattern3[21] = {0x3B, 0x9F, 0x96, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x07, 0x00, 0x64,
                              0x05, 0x1E, 0xB2, 0x00, 0x31, 0xB0, 0x73, 0x96, 0x21, 0xDB};

template <size_t N>
bool startsWith(const uint8_t *atr, uint32_t length, const uint8_t (&pattern)[N]) {
  return length >= N && std::memcmp(atr, pattern, N) == 0;
}

// resolveBackend's choice, from the reader state that it asks PC/SC for.
PcscResult queryReader(const SlotEntry &slot, ReaderState &state, char (&reader)[kReaderNameSize], PcscContext *asked,
                       uint64_t *ticket) {
  *ticket = readerQueryTicket();
  copyReaderName(slot, reader);
  std::memset(&state, 0, sizeof state);
  state.reader = reader;
  state.currentState = kScardStateUnaware;
  return onCardContext([&](PcscContext context) {
    *asked = context;
    return pcsc().getStatusChange(context, 0, &state, 1);
  });
}

CK_RV chooseBackend(const SlotEntry &slot, ReaderState &state, char (&reader)[kReaderNameSize],
                    CK_FUNCTION_LIST_PTR *functionList, CK_SLOT_ID *backendSlot, CardFamily *family,
                    CardIdentity *card) {
  PcscContext asked = 0;
  uint64_t ticket = 0;
  PcscResult queried = queryReader(slot, state, reader, &asked, &ticket);
  // A reader the service does not know by its cut name may be one whose whole name it lists only now.
  if (readersMissing(queried) && nameIncomplete(slot) && refreshReaderNames())
    queried = queryReader(slot, state, reader, &asked, &ticket);
  uint32_t index = readerOf(&slot);
  if (readersMissing(queried)) {
    noteReaderGone(index, ticket);
    return CKR_TOKEN_NOT_PRESENT;  // an unplugged reader holds no card
  }
  // Nor does a card service that is gone (and refused a new context).
  if (cardServiceGone(queried)) return CKR_TOKEN_NOT_PRESENT;
  if (queried != kScardSuccess) return CKR_FUNCTION_FAILED;
  uint32_t epoch = noteReaderCard(index, state, ticket);
  if (!(state.eventState & kScardStatePresent)) return CKR_TOKEN_NOT_PRESENT;
  if (state.atrLength == 0) return CKR_TOKEN_NOT_PRESENT;
  CardFamily recognised = recogniseAtr(state.atr, state.atrLength);
  if (recognised == 0) return CKR_TOKEN_NOT_RECOGNIZED;

  CK_SLOT_ID chosenSlot = recognised == 1 ? slot.backendSlotFamily1 : slot.backendSlotFamily2;
  CK_FUNCTION_LIST_PTR chosenList = router.backends[roleIndex(recognised, slot.profile)].functionList;
  if (!chosenList || chosenSlot == 0) return CKR_TOKEN_NOT_RECOGNIZED;
  *functionList = chosenList;
  *backendSlot = chosenSlot;
  if (family) *family = recognised;
  if (card) {
    card->context = asked;
    card->eventCounter = state.eventState >> 16;
    card->atrLength = state.atrLength;
    std::memcpy(card->atr, state.atr, sizeof card->atr);
    card->epoch = epoch;
  }
  return CKR_OK;
}

}  // namespace

uint32_t lookAtReader(const SlotEntry &slot) {
  ReaderState state;
  char reader[kReaderNameSize];
  PcscContext asked = 0;
  uint64_t ticket = 0;
  PcscResult queried = queryReader(slot, state, reader, &asked, &ticket);
  if (readersMissing(queried)) return noteReaderGone(readerOf(&slot), ticket);
  if (queried == kScardSuccess) return noteReaderCard(readerOf(&slot), state, ticket);
  LockGuard hold(tableLock);
  return readerCardEpoch(&slot);
}

CardFamily recogniseAtr(const uint8_t *atr, uint32_t length) {
  CardFamily family = 0;
  if (length == sizeof pattern1 && startsWith(atr, length, pattern1)) family = 1;
  if (startsWith(atr, length, pattern2)) family = 2;
  if (startsWith(atr, length, pattern3)) family = 2;
  return family;
}

CK_RV resolveBackend(const SlotEntry &slot, CK_FUNCTION_LIST_PTR *functionList, CK_SLOT_ID *backendSlot,
                     CardFamily *family, CardIdentity *card) {
  ReaderState state;
  char reader[kReaderNameSize];
  CK_RV rv = chooseBackend(slot, state, reader, functionList, backendSlot, family, card);
  tracepoint::recognition(slot, state, rv);
  return rv;
}


}  // namespace tokenhub
