// Card recognition: which backend module and backend slot serve a virtual
// slot, decided from the ATR of the card in its reader at the moment of the call.
#pragma once
#include "cards/readercards.h"
#include "state/state.h"

namespace tokenhub {

// The family that an ATR's bytes name; 0 when none of the three patterns matches.
CardFamily recogniseAtr(const uint8_t *atr, uint32_t length);

// CKR_OK with the backend's function list, the backend slot id and (when
// family is not null) the card family; CKR_FUNCTION_FAILED when PC/SC does not
// answer, CKR_TOKEN_NOT_PRESENT for an empty reader or an empty ATR,
// CKR_TOKEN_NOT_RECOGNIZED for an unknown card or a role without a module or
// backend slot. The outputs are written only on success; `card`, when not
// null, receives the identity of the card found.
CK_RV resolveBackend(const SlotEntry &slot, CK_FUNCTION_LIST_PTR *functionList, CK_SLOT_ID *backendSlot,
                     CardFamily *family, CardIdentity *card = nullptr);

// Asks the service what is in the slot's reader now and notes it; the
// reader's card epoch afterwards (as before when the service does not answer).
uint32_t lookAtReader(const SlotEntry &slot);

}  // namespace tokenhub

namespace tokenhub {

// A slot-level call reached a backend chosen for the card in the reader, so a
// backend that finds no token there is reporting a card it cannot serve.
inline CK_RV slotLevelResult(CK_RV backendResult) {
  return backendResult == CKR_TOKEN_NOT_PRESENT ? CKR_TOKEN_NOT_RECOGNIZED : backendResult;
}

}  // namespace tokenhub
