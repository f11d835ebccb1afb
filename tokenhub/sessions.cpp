// Session table and the session entry points.
#include "sessions.h"

#include <cstring>

#include "entrypoints.h"

namespace tokenhub {

SessionTable sessions;

void clearSessionTable() { std::memset(&sessions, 0, sizeof sessions); }

}  // namespace tokenhub

using namespace tokenhub;

extern "C" {
CK_RV C_OpenSession(CK_SLOT_ID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR) { return notBuiltYet(); }
CK_RV C_CloseSession(CK_SESSION_HANDLE) { return notBuiltYet(); }
CK_RV C_CloseAllSessions(CK_SLOT_ID) { return notBuiltYet(); }
CK_RV C_GetSessionInfo(CK_SESSION_HANDLE, CK_SESSION_INFO_PTR) { return notBuiltYet(); }
CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return notBuiltYet(); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
  return notBuiltYet();
}
}
