// The session handle table: router session handles and the backend session
// each one stands for.
#pragma once
#include "handles/handletable.h"
#include "cards/readercards.h"
#include "state/state.h"

namespace tokenhub {

constexpr unsigned kMaxSessions = 1024;

struct SessionEntry {
  CK_SESSION_HANDLE routerHandle;  // 0 marks a free row
  CK_FUNCTION_LIST_PTR functionList;
  CK_SESSION_HANDLE backendHandle;
  SlotEntry *slot;
  uint32_t cardEpoch;  // the reader's card epoch when the session was opened
};

struct SessionTable {
  SessionEntry rows[kMaxSessions];
  uint32_t lastSessionHandle;  // handles are 32-bit on every platform
  bool wrapped;                // the counter passed its largest value: new handles are checked against those in use
  // Beside the rows, kept with them under tableLock: which rows are in use,
  // the rows by router handle, and each virtual slot's number of sessions
  // (by its row in the slot table), so that no call reads the whole table
  // but those that end every session of a slot.
  RowMap<kMaxSessions> inUse;
  RowIndex<kMaxSessions> byHandle;
  uint16_t slotSessions[kMaxSlots];
  uint32_t checkedCards;  // readerCardChanges() when the rows were last checked against their cards
};
extern SessionTable sessions;

void clearSessionTable();

// The new router handle, or 0 when all rows are in use; the session is one
// of the card of `cardEpoch`, by default the card in the reader now.
CK_SESSION_HANDLE addSession(SlotEntry *slot, CK_SESSION_HANDLE backendHandle, CK_FUNCTION_LIST_PTR functionList,
                             uint32_t cardEpoch);
CK_SESSION_HANDLE addSession(SlotEntry *slot, CK_SESSION_HANDLE backendHandle, CK_FUNCTION_LIST_PTR functionList);
// CKR_OK and a copy of the row taken under tableLock, so that the caller never
// sees fields of two different sessions while another thread closes or opens
// one; CKR_SESSION_HANDLE_INVALID for 0 or an unknown handle.
CK_RV findSession(CK_SESSION_HANDLE routerHandle, SessionEntry &session);
// Frees the row that holds session.routerHandle; a row already freed is left alone.
CK_RV removeSession(const SessionEntry &session);
// Whether the slot has sessions; with a function list, sessions opened through that backend.
bool slotHasSessions(const SlotEntry *slot, CK_FUNCTION_LIST_PTR functionList = nullptr);
// Frees the slot's rows; with a function list, only those opened through that backend.
CK_RV removeSlotSessions(const SlotEntry *slot, CK_FUNCTION_LIST_PTR functionList = nullptr);

// Forgets one session; the slot's objects go with its last session.
void forgetSession(const SessionEntry &session);

// A backend's answer on a session: one that says the backend no longer
// has the session (its host died and forgot it, say) makes the router
// forget it too. Returns the answer.
CK_RV sessionAnswer(const SessionEntry &session, CK_RV rv);

// How a session-level entry point starts: CKR_CRYPTOKI_NOT_INITIALIZED, or
// the result of findSession.
inline CK_RV enterSession(CK_SESSION_HANDLE hSession, SessionEntry &session) {
  if (!initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  return findSession(hSession, session);
}

}  // namespace tokenhub
