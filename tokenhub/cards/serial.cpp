// The card serial read of C_GetTokenInfo and the serials kept per reader.
#include "cards/serial.h"

#include <cstring>

#include "cards/cardcontext.h"
#include "state/slottable.h"
#include "state/tracepoints.h"

namespace tokenhub {

namespace {

// The card's commands (ISO/IEC 7816-4), none expecting response data except READ.
const uint8_t kSelectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const uint8_t kSelectEfForm1[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x01};  // by file identifier
const uint8_t kSelectEfForm2[] = {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x2F, 0x01};  // EF under the current DF
const uint8_t kReadBinary[] = {0x00, 0xB0, 0x00, 0x00, 0x14};                // 20 bytes from offset 0
constexpr uint32_t kReadAnswerLength = 22;                                   // 20 data bytes and SW1 SW2

// Room for the longest ATR that ISO/IEC 7816-3 allows: the status query
// fails outright when the card's ATR does not fit.
constexpr uint32_t kStatusAtrBufferSize = 33;

constexpr unsigned kTransactionAttempts = 10;
constexpr uint32_t kRetryPauseMs = 10;
// One exchange with the card through the active protocol, into a 256-byte buffer.
struct Exchange {
  PcscResult result;
  uint32_t length;
  uint8_t response[256];
};

template <size_t N>
void send(PcscCard card, uint32_t protocol, const uint8_t (&command)[N], Exchange &exchange) {
  exchange.length = sizeof exchange.response;
  exchange.result = pcsc().transmit(card, protocol, command, N, exchange.response, &exchange.length);
}

// A selection is good only when the card answers exactly 90 00.
enum class Selection { Good, Refused, Failed };

Selection selectionOutcome(const Exchange &exchange) {
  if (exchange.result != kScardSuccess || exchange.length != 2) return Selection::Failed;
  return exchange.response[0] == 0x90 && exchange.response[1] == 0x00 ? Selection::Good : Selection::Refused;
}

// Layout 1 holds the serial in the first five bytes, a leading 00 byte
// being no digit of it; layout 2 spreads it over bytes 13-15 and 0-4.
void encodeSerial(int layout, const uint8_t *r, char *serial) {
  if (layout == 1) {
    if (r[0] != 0)
      hexEncode(r, 5, serial);
    else
      hexEncode(r + 1, 4, serial);
  } else {
    hexEncode(r + 13, 3, serial);
    hexEncode(r, 5, serial + 6);
  }
}

// The serial last read from the card in each reader (index row / 2), with
// that card's identity; an empty serial keeps nothing. Guarded by tableLock.
struct KeptSerial {
  CardIdentity card;
  uint32_t renewals;  // the card-service context it was read under
  char serial[kSerialBufferSize];
};
KeptSerial keptSerials[kMaxReaders];

bool sameCard(const CardIdentity &a, const CardIdentity &b) {
  return a.context == b.context && a.eventCounter == b.eventCounter && a.atrLength == b.atrLength &&
         std::memcmp(a.atr, b.atr, a.atrLength) == 0;
}

}  // namespace

void cardSerial(const SlotEntry &row, const CardIdentity &card, char (&serial)[kSerialBufferSize]) {
  KeptSerial &kept = keptSerials[(&row - router.slotTable) / 2];
  if (card.eventCounter != 0) {
    LockGuard hold(tableLock);
    if (kept.serial[0] != '\0' && kept.renewals == cardContextRenewals() && sameCard(kept.card, card)) {
      std::memcpy(serial, kept.serial, sizeof serial);
      return;
    }
  }
  tracepoint::serialRead(row, readCardSerial(row, serial), serial);
  if (card.eventCounter == 0 || serial[0] == '\0') return;  // a failed read is never kept
  LockGuard hold(tableLock);
  // Not when the context changed meanwhile: renewed for a new service, or
  // the library finalised.
  if (router.cardContext != card.context) return;
  kept.card = card;
  kept.renewals = cardContextRenewals();
  std::memcpy(kept.serial, serial, sizeof serial);
}

void forgetCardSerials() { std::memset(keptSerials, 0, sizeof keptSerials); }

void hexEncode(const uint8_t *bytes, size_t count, char *text) {
  static const char digits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    *text++ = digits[bytes[i] >> 4];
    *text++ = digits[bytes[i] & 0x0F];
  }
  *text = '\0';
}

PcscResult beginCardTransaction(PcscCard card) {
  PcscResult rv = kScardSuccess;
  for (unsigned attempt = 0; attempt < kTransactionAttempts; ++attempt) {
    // A transaction left open by an earlier failed attempt would block this one.
    pcsc().endTransaction(card, kScardLeaveCard);
    rv = pcsc().beginTransaction(card);
    if (rv == kScardSuccess) {
      // The status query tells whether the card was reset since we connected.
      char readerName[256];
      uint32_t readerLength = sizeof readerName, state = 0, protocol = 0;
      uint8_t atr[kStatusAtrBufferSize];
      uint32_t atrLength = sizeof atr;
      rv = pcsc().status(card, readerName, &readerLength, &state, &protocol, atr, &atrLength);
      if (rv == kScardSuccess) return rv;
    }
    if (rv == kScardWResetCard) {
      // A reconnected card still has no transaction open: the attempt fails
      // all the same, with the reconnection's own failure if it had one.
      uint32_t protocol = 0;
      PcscResult reconnected = pcsc().reconnect(card, kScardShareShared, kScardProtocolT1, kScardLeaveCard, &protocol);
      if (reconnected != kScardSuccess) rv = reconnected;
    }
    sleepMilliseconds(kRetryPauseMs);
  }
  return rv;
}

PcscResult readCardSerial(const SlotEntry &slot, char (&serial)[kSerialBufferSize]) {
  PcscCard card = 0;
  uint32_t protocol = 0;
  char reader[kReaderNameSize];
  copyReaderName(slot, reader);
  PcscResult rv = onCardContext([&](PcscContext context) {
    return pcsc().connect(context, reader, kScardShareShared, kScardProtocolT1, &card, &protocol);
  });
  if (rv != kScardSuccess) return rv;

  static_assert(kSerialBufferSize > 16, "layout 2 gives 16 digits");
  rv = beginCardTransaction(card);
  if (rv == kScardSuccess) {
    Exchange exchange;
    int layout = 0;
    send(card, protocol, kSelectMf, exchange);
    if (selectionOutcome(exchange) == Selection::Good) {
      send(card, protocol, kSelectEfForm1, exchange);
      Selection form1 = selectionOutcome(exchange);
      if (form1 == Selection::Good) {
        layout = 1;
      } else if (form1 == Selection::Refused) {
        send(card, protocol, kSelectEfForm2, exchange);
        if (selectionOutcome(exchange) == Selection::Good) layout = 2;
      }
    }
    if (layout != 0) {
      send(card, protocol, kReadBinary, exchange);
      // Only the length is checked; the serial file's status word is not.
      if (exchange.result == kScardSuccess && exchange.length >= kReadAnswerLength)
        encodeSerial(layout, exchange.response, serial);
    }
    rv = exchange.result;
  }
  pcsc().endTransaction(card, kScardLeaveCard);
  pcsc().disconnect(card, kScardLeaveCard);
  return rv;
}

}  // namespace tokenhub
