// Slot, token and mechanism queries, the card serial read and slot events.
#include "slots.h"

#include <cstring>
#include <initializer_list>

#include "cardcontext.h"
#include "entrypoints.h"
#include "recognition.h"
#include "trace.h"

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
constexpr uint32_t kPollIntervalMs = 10;
// pcsc-lite refuses more than 16 readers in one status query, Windows'
// remote-desktop redirection more than 10.
constexpr uint32_t kReadersPerQuery = 10;
// While the card service is gone, a waiting thread asks for a new context
// on every 20th poll (200 ms) only: establishing one may be slow then.
constexpr unsigned kPollsPerRenewal = 20;
// While a reader is unplugged, a wait inside the card service looks for it
// again this often.
constexpr uint32_t kUnpluggedRecheckMs = 1000;
// While the system tells when its card service starts, a waiting thread
// looks this often whether the library was finalised meanwhile.
constexpr uint32_t kServiceStartSliceMs = 50;

constexpr size_t kModelLength = 16;
const char kModel30[] = "LumeraSecure 3.0";
const char kModel32[] = "LumeraSecure 3.2";
const char kModel20[] = "LumeraSecure 2.0";

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

// findSlot and resolveBackend together, as every slot-level call that reaches
// a backend starts.
CK_RV resolveSlot(CK_SLOT_ID slotID, SlotEntry **row, CK_FUNCTION_LIST_PTR *list, CK_SLOT_ID *backendSlot,
                  CardFamily *family, CardIdentity *card = nullptr) {
  CK_RV rv = findSlot(slotID, row);
  if (rv != CKR_OK) return rv;
  return resolveBackend(**row, list, backendSlot, family, card);
}

// A slot-level call passed on to the backend that serves the card in the
// slot's reader now, with the backend's slot id in place of the router's.
template <auto Member, typename... Args>
CK_RV forwardToSlotBackend(CK_SLOT_ID slotID, Args... args) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  SlotEntry *row = nullptr;
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SLOT_ID backendSlot = 0;
  CK_RV rv = resolveSlot(slotID, &row, &list, &backendSlot, nullptr);
  if (rv != CKR_OK) return rv;
  if (!supports<Member>(*list)) return CKR_FUNCTION_NOT_SUPPORTED;
  return slotLevelResult((list->*Member)(backendSlot, args...));
}

// Whether the slot holds a recognised card whose backend reports its token present.
bool recognisedTokenPresent(const SlotEntry &row, CardFamily *family) {
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SLOT_ID backendSlot = 0;
  if (resolveBackend(row, &list, &backendSlot, family) != CKR_OK) return false;
  CK_SLOT_INFO info;
  std::memset(&info, 0, sizeof info);
  return list->C_GetSlotInfo(backendSlot, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT);
}

void fillBlanks(unsigned char *field, size_t size, const char *text, size_t length) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, length < size ? length : size);
}

// The token information of a card whose serial was read: the serial number,
// and a model name of the card range (a Starcos 3 backend's own model stays).
void adjustTokenInfo(CK_TOKEN_INFO &info, const char *serial) {
  if (std::memcmp(info.model, kModel30, kModelLength) != 0 && std::memcmp(info.model, kModel32, kModelLength) != 0)
    std::memcpy(info.model, kModel20, kModelLength);
  fillBlanks(info.serialNumber, sizeof info.serialNumber, serial, std::strlen(serial));
}

// The serial last read from the card in each reader (index row / 2), with
// that card's identity; an empty serial keeps nothing. Guarded by tableLock.
struct KeptSerial {
  CardIdentity card;
  char serial[kSerialBufferSize];
};
KeptSerial keptSerials[kMaxReaders];

bool sameCard(const CardIdentity &a, const CardIdentity &b) {
  return a.context == b.context && a.eventCounter == b.eventCounter && a.atrLength == b.atrLength &&
         std::memcmp(a.atr, b.atr, a.atrLength) == 0;
}

// The serial of the card in the slot's reader: the one kept while the same
// card stays inserted, else read from the card now. A card that another
// program holds cannot be read, and the token's serial would then fall back
// to the backend's own; so a good read is kept for as long as the service's
// event count and the ATR stay the same. A service that counts nothing (0)
// has the card read every time.
void cardSerial(const SlotEntry &row, const CardIdentity &card, char (&serial)[kSerialBufferSize]) {
  KeptSerial &kept = keptSerials[(&row - router.slotTable) / 2];
  if (card.eventCounter != 0) {
    LockGuard hold(tableLock);
    if (kept.serial[0] != '\0' && sameCard(kept.card, card)) {
      std::memcpy(serial, kept.serial, sizeof serial);
      return;
    }
  }
  trace::serialRead(row, readCardSerial(row, serial), serial);
  if (card.eventCounter == 0 || serial[0] == '\0') return;  // a failed read is never kept
  LockGuard hold(tableLock);
  // Not when the context changed meanwhile: renewed for a new service, or
  // the library finalised.
  if (router.cardContext != card.context) return;
  kept.card = card;
  std::memcpy(kept.serial, serial, sizeof serial);
}

PcscResult queryGroup(ReaderState *states, uint32_t count, bool mayRenew) {
  return onCardContext([&](PcscContext context) { return pcsc().getStatusChange(context, 0, states, count); },
                       mayRenew);
}

// A group whose query named a reader that is not there: each reader alone,
// and a missing one counts as an empty reader (its state unknown).
PcscResult queryOneByOne(ReaderState *states, uint32_t count, bool mayRenew) {
  for (uint32_t i = 0; i < count; ++i) {
    PcscResult rv = queryGroup(states + i, 1, mayRenew);
    if (readersMissing(rv))
      states[i].eventState = kScardStateUnknown;
    else if (rv != kScardSuccess)
      return rv;
  }
  return kScardSuccess;
}

// The readers' states, one status query per group of readers; with no
// readers, one query over none. The first failure ends it; `answered`
// tells how many readers, from the first, have their state. An unplugged
// reader costs only its own state: the other readers keep reporting.
PcscResult queryReaders(ReaderState *states, uint32_t readers, bool mayRenew, uint32_t *answered) {
  uint32_t first = 0;
  *answered = 0;
  do {
    uint32_t count = readers - first < kReadersPerQuery ? readers - first : kReadersPerQuery;
    PcscResult rv = queryGroup(states + first, count, mayRenew);
    if (readersMissing(rv) && count > 0) rv = queryOneByOne(states + first, count, mayRenew);
    if (rv != kScardSuccess) return rv;
    first += count;
    *answered = first;
  } while (first < readers);
  return kScardSuccess;
}

// The reader whose presence changed since it was last reported, as the slot
// to report now: the common row first, its secure row on the next call.
SlotEntry *changedSlot(const ReaderState *states, uint32_t readers) {
  for (uint32_t j = 0; j < readers; ++j) {
    uint32_t present = (states[j].eventState & kScardStatePresent) ? 1 : 0;
    for (SlotEntry *row : {&router.slotTable[2 * j], &router.slotTable[2 * j + 1]}) {
      if (row->cardPresent != present) {
        row->cardPresent = present;
        return row;
      }
    }
  }
  return nullptr;
}

// Queries of the slot-event waits, numbered as they begin; the number of the
// latest one whose answer was applied. Guarded by tableLock.
uint64_t queriesBegun = 0;
uint64_t queriesApplied = 0;

enum class ServiceWait { Changed, Ended, Failed };

// Waits inside the card service until a reader's state differs from what
// the last query saw (in `states`), on a context of the wait's own that
// C_Finalize can cancel. The card service is asked once, however long
// nothing happens.
ServiceWait waitInCardService(uint32_t generation, const ReaderState *states, uint32_t readers) {
  // An unplugged reader would fail the query at once: it is left out, and
  // the wait ends every second to look for its return.
  ReaderState present[kMaxReaders];
  uint32_t count = 0;
  for (uint32_t j = 0; j < readers; ++j) {
    if (states[j].eventState & kScardStateUnknown) continue;
    present[count] = states[j];
    present[count].currentState = states[j].eventState & ~kScardStateChanged;
    ++count;
  }
  uint32_t timeout = count == readers ? kScardInfinite : kUnpluggedRecheckMs;
  PcscContext own = 0;
  if (pcsc().establishContext(&own) != kScardSuccess) return ServiceWait::Failed;
  ServiceWait outcome = ServiceWait::Failed;
  if (!enlistWait(own, generation)) {
    outcome = endedSince(generation) ? ServiceWait::Ended : ServiceWait::Failed;
  } else {
    for (;;) {
      PcscResult rv = pcsc().getStatusChange(own, timeout, present, count);
      LockGuard hold(tableLock);
      if (endedSince(generation)) {
        outcome = ServiceWait::Ended;
        break;
      }
      // A cancellation meant for an earlier wait on this context, or a
      // service that ends infinite waits after a while: wait again.
      if (rv == kScardECancelled || (rv == kScardETimeout && timeout == kScardInfinite)) continue;
      if (rv == kScardETimeout) rv = kScardSuccess;  // time to look for the unplugged readers
      outcome = rv == kScardSuccess ? ServiceWait::Changed : ServiceWait::Failed;
      break;
    }
    delistWait(own);
  }
  pcsc().releaseContext(own);
  return outcome;
}

enum class ServiceStart { Running, Started, Ended };

// Where the system tells when its card service starts, waits for that
// instead of asking the service, in slices that a C_Finalize ends.
// Running: the system says at once that it runs, or cannot tell.
ServiceStart awaitServiceStart(uint32_t generation) {
  for (bool waited = false;; waited = true) {
    if (pcsc().awaitService(kServiceStartSliceMs)) return waited ? ServiceStart::Started : ServiceStart::Running;
    LockGuard hold(tableLock);
    if (endedSince(generation)) return ServiceStart::Ended;
  }
}

}  // namespace

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
  PcscResult rv = onCardContext([&](PcscContext context) {
    return pcsc().connect(context, slot.readerName, kScardShareShared, kScardProtocolT1, &card, &protocol);
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

using namespace tokenhub;

extern "C" {

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  TOKENHUB_TRACE_ENTRY(C_GetSlotList, tokenPresent, trace::Handles{pSlotList, false}, pulCount);
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!pulCount) return CKR_ARGUMENTS_BAD;
  bool marked[kMaxSlots] = {};
  CK_ULONG count = 0;
  for (uint32_t i = 0; i < router.slotCount; ++i) {
    marked[i] = !tokenPresent || recognisedTokenPresent(router.slotTable[i], nullptr);
    if (marked[i]) ++count;
  }
  CK_ULONG capacity = *pulCount;
  *pulCount = count;
  if (!pSlotList) return CKR_OK;
  if (count > capacity) return CKR_BUFFER_TOO_SMALL;
  for (uint32_t i = 0; i < router.slotCount; ++i)
    if (marked[i]) *pSlotList++ = router.slotTable[i].id;
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  TOKENHUB_TRACE_ENTRY(C_GetSlotInfo, trace::Slot{slotID}, pInfo);
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  SlotEntry *row = nullptr;
  CK_RV rv = findSlot(slotID, &row);
  if (rv != CKR_OK) return rv;
  if (!pInfo) return CKR_ARGUMENTS_BAD;
  fillBlanks(pInfo->slotDescription, sizeof pInfo->slotDescription, row->label, std::strlen(row->label));
  std::memset(pInfo->manufacturerID, ' ', sizeof pInfo->manufacturerID);
  pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
  pInfo->hardwareVersion = {0, 0};
  pInfo->firmwareVersion = {0, 0};
  CardFamily family = 0;
  if (recognisedTokenPresent(*row, &family)) {
    pInfo->flags |= CKF_TOKEN_PRESENT;
    pInfo->hardwareVersion.major = static_cast<CK_BYTE>(family + 1);
  }
  return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  TOKENHUB_TRACE_ENTRY(C_GetTokenInfo, trace::Slot{slotID}, pInfo);
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  SlotEntry *row = nullptr;
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SLOT_ID backendSlot = 0;
  CardFamily family = 0;
  CardIdentity card{};
  CK_RV rv = resolveSlot(slotID, &row, &list, &backendSlot, &family, &card);
  if (rv != CKR_OK) return rv;
  if (!supports<&CK_FUNCTION_LIST::C_GetTokenInfo>(*list)) return CKR_FUNCTION_NOT_SUPPORTED;
  char serial[kSerialBufferSize] = {};
  cardSerial(*row, card, serial);
  rv = list->C_GetTokenInfo(backendSlot, pInfo);
  // A backend answering CKR_OK without a place to write to has written nothing.
  if (rv == CKR_OK && pInfo && serial[0] != '\0') adjustTokenInfo(*pInfo, serial);
  return slotLevelResult(rv);
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  TOKENHUB_TRACE_ENTRY(C_GetMechanismList, trace::Slot{slotID}, trace::Out{pMechanismList}, pulCount);
  return forwardToSlotBackend<&CK_FUNCTION_LIST::C_GetMechanismList>(slotID, pMechanismList, pulCount);
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  TOKENHUB_TRACE_ENTRY(C_GetMechanismInfo, trace::Slot{slotID}, trace::Mechanism{type}, pInfo);
  return forwardToSlotBackend<&CK_FUNCTION_LIST::C_GetMechanismInfo>(slotID, type, pInfo);
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
  TOKENHUB_TRACE_ENTRY(C_InitToken, trace::Slot{slotID}, pPin, ulPinLen, pLabel);
  return forwardToSlotBackend<&CK_FUNCTION_LIST::C_InitToken>(slotID, pPin, ulPinLen, pLabel);
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  TOKENHUB_TRACE_ENTRY(C_WaitForSlotEvent, trace::Flags{flags}, trace::SlotOut{pSlot}, pReserved);
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!pSlot || pReserved) return CKR_ARGUMENTS_BAD;
  uint32_t generation = 0;
  {
    LockGuard hold(tableLock);
    if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    generation = router.generation;
  }
  unsigned pollsWithoutService = 0;
  unsigned pollsBeforeServiceWait = 0;
  for (;;) {
    // The queries run on copies of the reader names, taken under the table
    // lock: a C_Finalize on another thread clears the rows and releases the
    // context meanwhile, and their answer is then not used.
    char names[kMaxReaders][kReaderNameSize];
    ReaderState states[kMaxReaders];
    std::memset(states, 0, sizeof states);
    uint32_t readers = 0;
    uint64_t ticket = 0;
    {
      LockGuard hold(tableLock);
      if (endedSince(generation)) return CKR_CRYPTOKI_NOT_INITIALIZED;
      ticket = ++queriesBegun;
      readers = router.slotCount / 2;
      for (uint32_t j = 0; j < readers; ++j) {
        std::memcpy(names[j], router.slotTable[2 * j].readerName, kReaderNameSize);
        states[j].reader = names[j];
        states[j].currentState = kScardStateUnaware;
      }
    }
    uint32_t answered = 0;
    PcscResult queried = queryReaders(states, readers, pollsWithoutService % kPollsPerRenewal == 0, &answered);
    bool serviceGone = cardServiceGone(queried);
    pollsWithoutService = serviceGone ? pollsWithoutService + 1 : 0;
    // A card service that is gone has no cards: the application learns that
    // its tokens left, and the cards found once the service is back (and has
    // found its readers again) are reported as inserted. One that answered
    // some groups of readers before it went is not gone for those: only the
    // readers it answered for are looked at.
    bool noCards = serviceGone && answered == 0;
    uint32_t known = queried == kScardSuccess || noCards ? readers : answered;
    {
      LockGuard hold(tableLock);
      if (endedSince(generation)) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (queried != kScardSuccess && !serviceGone) return CKR_FUNCTION_FAILED;
      if (noCards)
        for (uint32_t j = 0; j < readers; ++j) states[j].eventState = 0;
      // Under the lock: two waiting threads must not both report one change,
      // nor apply an answer older than one already applied (a card pulled
      // and then reported present again).
      if (ticket < queriesApplied) continue;
      queriesApplied = ticket;
      if (SlotEntry *row = changedSlot(states, known)) {
        *pSlot = row->id;
        return CKR_OK;
      }
    }
    if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
    if (serviceGone) {
      ServiceStart start = awaitServiceStart(generation);
      if (start == ServiceStart::Ended) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (start == ServiceStart::Started) {
        pollsWithoutService = 0;  // the next query takes a context of the new service
        continue;
      }
    }
    // Nothing changed: the card service tells when something does. Its
    // answer is not used as such; the next pass asks again, as above.
    if (queried == kScardSuccess && readers <= kReadersPerQuery && pollsBeforeServiceWait == 0) {
      ServiceWait waited = waitInCardService(generation, states, readers);
      if (waited == ServiceWait::Ended) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (waited == ServiceWait::Changed) continue;
      pollsBeforeServiceWait = kPollsPerRenewal;  // it failed: poll for a while
    }
    if (pollsBeforeServiceWait > 0) --pollsBeforeServiceWait;
    sleepMilliseconds(kPollIntervalMs);
  }
}

}  // extern "C"
