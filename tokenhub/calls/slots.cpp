// Slot, token and mechanism queries: the slot list, a slot's and a token's
// information (with the serial read from the card), the mechanisms, and
// C_InitToken, each on the backend that serves the card in the reader now.
#include <cstring>

#include "state/core.h"
#include "cards/readernames.h"
#include "cards/serial.h"
#include "state/slottable.h"
#include "state/tracepoints.h"

namespace tokenhub {

namespace {

constexpr size_t kModelLength = 16;
const char kModel30[] = "LumeraSecure 3.0";
const char kModel32[] = "LumeraSecure 3.2";
const char kModel20[] = "LumeraSecure 2.0";

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

}  // namespace

}  // namespace tokenhub

namespace tokenhub::core {

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!pulCount) return CKR_ARGUMENTS_BAD;
  // Asking for the count is where an application looks for new slots: a
  // reader attached since C_Initialize gets its pair now, after every pair
  // there is (ids never move, and the list never gets shorter).
  if (!pSlotList) {
    refreshReaderNames(true);
    if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;  // a C_Finalize on another thread came first
  }
  // Once: the table may grow on another thread meanwhile.
  const uint32_t rows = router.slotCount;
  bool marked[kMaxSlots] = {};
  CK_ULONG count = 0;
  for (uint32_t i = 0; i < rows; ++i) {
    marked[i] = !tokenPresent || recognisedTokenPresent(router.slotTable[i], nullptr);
    if (marked[i]) ++count;
  }
  CK_ULONG capacity = *pulCount;
  *pulCount = count;
  if (!pSlotList) return CKR_OK;
  if (count > capacity) return CKR_BUFFER_TOO_SMALL;
  for (uint32_t i = 0; i < rows; ++i)
    if (marked[i]) *pSlotList++ = router.slotTable[i].id;
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
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
  return forwardToSlotBackend<&CK_FUNCTION_LIST::C_GetMechanismList>(slotID, pMechanismList, pulCount);
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  return forwardToSlotBackend<&CK_FUNCTION_LIST::C_GetMechanismInfo>(slotID, type, pInfo);
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
  return forwardToSlotBackend<&CK_FUNCTION_LIST::C_InitToken>(slotID, pPin, ulPinLen, pLabel);
}

}  // namespace tokenhub::core
