// Slot, token and mechanism queries and slot events.
#include "entrypoints.h"

using namespace tokenhub;

extern "C" {
CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR, CK_ULONG_PTR) { return notBuiltYet(); }
CK_RV C_GetSlotInfo(CK_SLOT_ID, CK_SLOT_INFO_PTR) { return notBuiltYet(); }
CK_RV C_GetTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO_PTR) { return notBuiltYet(); }
CK_RV C_GetMechanismList(CK_SLOT_ID, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR) { return notBuiltYet(); }
CK_RV C_GetMechanismInfo(CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR) { return notBuiltYet(); }
CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) { return notBuiltYet(); }
CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) { return notBuiltYet(); }
}
