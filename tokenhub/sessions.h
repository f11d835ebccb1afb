// The session handle table: router session handles and the backend session
// each one stands for.
#pragma once
#include "state.h"

namespace tokenhub {

constexpr unsigned kMaxSessions = 1024;

struct SessionEntry {
  CK_SESSION_HANDLE routerHandle;  // 0 marks a free row
  CK_FUNCTION_LIST_PTR functionList;
  CK_SESSION_HANDLE backendHandle;
  SlotEntry *slot;
};

struct SessionTable {
  SessionEntry rows[kMaxSessions];
  CK_SESSION_HANDLE lastSessionHandle;
};
extern SessionTable sessions;

void clearSessionTable();

}  // namespace tokenhub
