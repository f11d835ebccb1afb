// The card serial read of C_GetTokenInfo: a short shared connection to the
// reader, one transaction, SELECT MF, SELECT EF 2F01 and READ BINARY.
#pragma once
#include "cards/recognition.h"

namespace tokenhub {

constexpr size_t kSerialBufferSize = 24;

// Writes the card's serial as NUL-terminated upper-case hex text (8, 10 or 16
// digits) into serial, which the caller has cleared; leaves it untouched when
// the card cannot be read. Returns the result of the last card exchange.
PcscResult readCardSerial(const SlotEntry &slot, char (&serial)[kSerialBufferSize]);

// The serial of the card in the slot's reader: the one kept while the same
// card stays inserted, else read from the card now. A card that another
// program holds cannot be read, and the token's serial would then fall back
// to the backend's own; so a good read is kept for as long as the service's
// event count and the ATR stay the same (on the same card-service context).
// A service that counts nothing (0) has the card read every time.
void cardSerial(const SlotEntry &row, const CardIdentity &card, char (&serial)[kSerialBufferSize]);

// Forgets the serials kept per reader, with the tables. The caller holds
// tableLock or is C_Initialize.
void forgetCardSerials();

// Opens a transaction on a connected card, reconnecting after a reset of the
// card; up to 10 attempts, 10 ms apart.
PcscResult beginCardTransaction(PcscCard card);

// 2 x count upper-case hex digits, high nibble first, and a NUL.
void hexEncode(const uint8_t *bytes, size_t count, char *text);

}  // namespace tokenhub
