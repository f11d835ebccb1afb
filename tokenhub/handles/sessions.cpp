// Session table and the session entry points.
#include "handles/sessions.h"

#include <cstring>
#include <initializer_list>

#include "handles/handletable.h"
#include "handles/objects.h"
#include "state/core.h"
#include "cards/recognition.h"
#include "state/slottable.h"

namespace tokenhub {

SessionTable sessions;

void clearSessionTable() { std::memset(&sessions, 0, sizeof sessions); }

namespace {

uint32_t handleOf(unsigned row) { return static_cast<uint32_t>(sessions.rows[row].routerHandle); }

// The slot's place in the slot table, where its session count is kept.
uint16_t &sessionCount(const SlotEntry *slot) { return sessions.slotSessions[slot - router.slotTable]; }

// Under tableLock.
SessionEntry *rowWithHandle(CK_SESSION_HANDLE routerHandle) {
  return tokenhub::rowWithHandle(sessions.rows, sessions.byHandle, routerHandle);
}

void freeRow(SessionEntry &entry) {
  unsigned row = static_cast<unsigned>(&entry - sessions.rows);
  sessions.byHandle.erase(static_cast<uint32_t>(entry.routerHandle), row, handleOf);
  sessions.inUse.give(row);
  --sessionCount(entry.slot);
  entry = SessionEntry{};
}

// A slot left without sessions loses its objects and its card family.
void releaseIfIdle(SlotEntry *slot) {
  if (sessionCount(slot) != 0) return;
  removeSlotObjects(slot);
  slot->sessionFamily = 0;
}

// A session outlives no card: once the router has seen a reader's card go
// (or another take its place), the sessions opened on it are freed, without
// asking their backend, and a slot left without sessions loses its objects.
// Under tableLock, at every table operation; a scan only after a change.
void forgetSessionsOfGoneCards() {
  if (sessions.checkedCards == readerCardChanges()) return;
  sessions.checkedCards = readerCardChanges();
  for (SessionEntry &row : sessions.rows) {
    if (row.routerHandle == 0 || row.cardEpoch == readerCardEpoch(row.slot)) continue;
    SlotEntry *slot = row.slot;
    freeRow(row);
    releaseIfIdle(slot);
  }
}

}  // namespace

CK_SESSION_HANDLE addSession(SlotEntry *slot, CK_SESSION_HANDLE backendHandle, CK_FUNCTION_LIST_PTR functionList) {
  LockGuard hold(tableLock);
  return addSession(slot, backendHandle, functionList, readerCardEpoch(slot));
}

CK_SESSION_HANDLE addSession(SlotEntry *slot, CK_SESSION_HANDLE backendHandle, CK_FUNCTION_LIST_PTR functionList,
                             uint32_t cardEpoch) {
  LockGuard hold(tableLock);
  forgetSessionsOfGoneCards();
  unsigned row = sessions.inUse.lowestFree();
  if (row == kMaxSessions) return 0;
  SessionEntry &entry = sessions.rows[row];
  entry.routerHandle = nextHandle(sessions.lastSessionHandle, sessions.wrapped,
                                  [](uint32_t handle) { return rowWithHandle(handle) != nullptr; });
  entry.functionList = functionList;
  entry.backendHandle = backendHandle;
  entry.slot = slot;
  entry.cardEpoch = cardEpoch;
  sessions.inUse.take(row);
  sessions.byHandle.insert(static_cast<uint32_t>(entry.routerHandle), row);
  ++sessionCount(slot);
  return entry.routerHandle;
}

CK_RV findSession(CK_SESSION_HANDLE routerHandle, SessionEntry &session) {
  LockGuard hold(tableLock);
  forgetSessionsOfGoneCards();
  const SessionEntry *row = rowWithHandle(routerHandle);
  if (!row) return CKR_SESSION_HANDLE_INVALID;
  session = *row;
  return CKR_OK;
}

CK_RV removeSession(const SessionEntry &session) {
  LockGuard hold(tableLock);
  if (SessionEntry *row = rowWithHandle(session.routerHandle)) freeRow(*row);
  return CKR_OK;
}

namespace {
bool openedThrough(const SessionEntry &row, const SlotEntry *slot, CK_FUNCTION_LIST_PTR functionList) {
  return row.routerHandle != 0 && row.slot == slot && (!functionList || row.functionList == functionList);
}
}  // namespace

bool slotHasSessions(const SlotEntry *slot, CK_FUNCTION_LIST_PTR functionList) {
  LockGuard hold(tableLock);
  forgetSessionsOfGoneCards();
  if (sessionCount(slot) == 0) return false;
  if (!functionList) return true;
  // Which backend holds them is asked only where all of a slot's sessions end.
  for (const SessionEntry &row : sessions.rows)
    if (openedThrough(row, slot, functionList)) return true;
  return false;
}

CK_RV removeSlotSessions(const SlotEntry *slot, CK_FUNCTION_LIST_PTR functionList) {
  LockGuard hold(tableLock);
  for (SessionEntry &row : sessions.rows)
    if (sessionCount(slot) != 0 && openedThrough(row, slot, functionList)) freeRow(row);
  return CKR_OK;
}

namespace {

// Backend answers to C_CloseSession after which the backend session is gone.
bool sessionGone(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_CLOSED || rv == CKR_SESSION_HANDLE_INVALID ||
         rv == CKR_TOKEN_NOT_PRESENT;
}

// The same for C_CloseAllSessions.
bool slotSessionsGone(CK_RV rv) { return rv == CKR_OK || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT; }

// Answers to C_CloseSession of a backend that lost the card: the session is
// gone with the card, but only the reader can tell whether the card is.
bool cardMayBeGone(CK_RV rv) { return rv == CKR_DEVICE_ERROR; }

}  // namespace

// One critical section, so that a session opened on the slot meanwhile
// either keeps the objects alive or maps its own after they were dropped.
void forgetSession(const SessionEntry &session) {
  LockGuard hold(tableLock);
  removeSession(session);
  forgetSessionsOfGoneCards();
  releaseIfIdle(session.slot);
}

CK_RV sessionAnswer(const SessionEntry &session, CK_RV rv) {
  if (rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED) forgetSession(session);
  return rv;
}

}  // namespace tokenhub

namespace tokenhub::core {

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  SlotEntry *slot = nullptr;
  CK_RV rv = findSlot(slotID, &slot);
  if (rv != CKR_OK) return rv;
  if (!phSession) return CKR_ARGUMENTS_BAD;
  CK_FUNCTION_LIST_PTR functionList = nullptr;
  CK_SLOT_ID backendSlot = 0;
  CardFamily family = 0;
  CardIdentity card{};
  rv = resolveBackend(*slot, &functionList, &backendSlot, &family, &card);
  if (rv != CKR_OK) return rv;

  if (!supports<&CK_FUNCTION_LIST::C_OpenSession>(*functionList)) return CKR_FUNCTION_NOT_SUPPORTED;
  CK_SESSION_HANDLE backendHandle = 0;
  rv = functionList->C_OpenSession(backendSlot, flags, pApplication, Notify, &backendHandle);
  if (rv != CKR_OK) return rv == CKR_TOKEN_NOT_PRESENT ? CKR_TOKEN_NOT_RECOGNIZED : rv;

  CK_SESSION_HANDLE routerHandle = 0;
  bool cardGone = false;
  {
    // Together, so that a concurrent close of the slot's last session cannot
    // reset the family between the two.
    LockGuard hold(tableLock);
    // Another thread saw the card go meanwhile: the session would outlive it.
    cardGone = readerCardEpoch(slot) != card.epoch;
    if (!cardGone) {
      routerHandle = addSession(slot, backendHandle, functionList, card.epoch);
      slot->sessionFamily = family;  // after the sessions of a card gone have taken theirs
    }
  }
  rv = CKR_OK;
  if (routerHandle == 0) {
    if (supports<&CK_FUNCTION_LIST::C_CloseSession>(*functionList)) functionList->C_CloseSession(backendHandle);
    rv = cardGone ? CKR_DEVICE_REMOVED : CKR_SESSION_COUNT;
  }
  *phSession = routerHandle;
  return rv;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  SessionEntry session;
  CK_RV rv = enterSession(hSession, session);
  if (rv != CKR_OK) return rv;
  // A backend without C_CloseSession cannot be asked; the router forgets the
  // session all the same, so that its row and the slot's objects do not stay.
  rv = supports<&CK_FUNCTION_LIST::C_CloseSession>(*session.functionList)
           ? session.functionList->C_CloseSession(session.backendHandle)
           : CKR_FUNCTION_NOT_SUPPORTED;
  // A refusal because the card is gone holds no session: the reader tells.
  if (sessionGone(rv) || rv == CKR_FUNCTION_NOT_SUPPORTED ||
      (cardMayBeGone(rv) && lookAtReader(*session.slot) != session.cardEpoch))
    forgetSession(session);
  return rv;
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  SlotEntry *slot = nullptr;
  CK_RV rv = findSlot(slotID, &slot);
  if (rv != CKR_OK) return rv;
  // The backends that opened the slot's sessions, known without reading the
  // card again, which may have been pulled meanwhile: the one of the family
  // the last session was opened under, whose answer is the result, and the
  // other family's when sessions from before a change of card are still open.
  CardFamily family = slot->sessionFamily;
  if (family == 0) return CKR_OK;
  CK_RV result = CKR_OK;
  for (CardFamily each : {family, family == 1 ? CardFamily{2} : CardFamily{1}}) {
    CK_FUNCTION_LIST_PTR functionList = router.backends[roleIndex(each, slot->profile)].functionList;
    if (!functionList || (each != family && !slotHasSessions(slot, functionList))) continue;
    CK_SLOT_ID backendSlot = each == 1 ? slot->backendSlotFamily1 : slot->backendSlotFamily2;
    rv = supports<&CK_FUNCTION_LIST::C_CloseAllSessions>(*functionList)
             ? functionList->C_CloseAllSessions(backendSlot)
             : CKR_FUNCTION_NOT_SUPPORTED;
    if (slotSessionsGone(rv) || rv == CKR_FUNCTION_NOT_SUPPORTED) removeSlotSessions(slot, functionList);
    if (each == family || (slotSessionsGone(result) && !slotSessionsGone(rv))) result = rv;
  }
  {
    LockGuard hold(tableLock);
    if (!slotHasSessions(slot)) removeSlotObjects(slot);
  }
  return result;
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  SessionEntry session;
  CK_RV rv = enterSession(hSession, session);
  if (rv != CKR_OK) return rv;
  if (!supports<&CK_FUNCTION_LIST::C_GetSessionInfo>(*session.functionList)) return CKR_FUNCTION_NOT_SUPPORTED;
  rv = sessionAnswer(session, session.functionList->C_GetSessionInfo(session.backendHandle, pInfo));
  // The application knows the slot by the router's id only.
  if (rv == CKR_OK && pInfo) pInfo->slotID = session.slot->id;
  return rv;
}

}  // namespace tokenhub::core
