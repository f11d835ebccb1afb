// The router's process-wide state: the four backend module records, the
// virtual slot table, the PC/SC context, the initialisation count and the two
// locks. All of it is static and fixed in size; nothing is allocated.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "tokenhub/pkcs11.h"

namespace tokenhub {

enum SlotProfile : uint32_t { Common = 0, Secure = 1 };

// 0 not recognised, 1 the card of ATR pattern 1, 2 the card of pattern 2 or 3.
using CardFamily = uint32_t;

// One loaded backend module; both fields are null or both are valid.
struct BackendModule {
  void *handle;
  CK_FUNCTION_LIST_PTR functionList;
  // Initialised by another before the router asked (the host, which loaded
  // the same module itself; in a forked child, the parent): used, but its
  // initialisation is the other's, so the router never finalises it.
  bool adopted;
};

// Results of loading a backend besides 0 and its own C_Initialize code.
constexpr CK_RV kLoadFailed = 513;
constexpr CK_RV kNoFunctionListExport = 514;
constexpr CK_RV kFunctionListFailed = 515;

constexpr unsigned kRoleCount = 4;
constexpr unsigned kMaxSlots = 64;
constexpr unsigned kMaxReaders = kMaxSlots / 2;
constexpr unsigned kNameSize = 65;  // 64 characters and a NUL
constexpr unsigned kReaderNameSize = 256;  // a card service's whole reader name and a NUL

// The fixed roles, by index 0..3 (roles 1..4): the module's base name (the
// platform adds .dll or .so), the card family and the profile it serves.
struct BackendRole {
  const char *baseName;
  CardFamily family;
  SlotProfile profile;
};
extern const BackendRole backendRoles[kRoleCount];

// The role index (0..3) serving a family in a profile; any profile other than
// Common counts as Secure.
unsigned roleIndex(CardFamily family, uint32_t profile);

// One virtual slot: a reader in one profile.
struct SlotEntry {
  CK_SLOT_ID id;                 // row index + 1; never 0 in a row in use
  char readerName[kReaderNameSize];  // the backend's slot description, trailing blanks removed,
                                     // or the service's whole name that a cut description begins
  char description[kNameSize];   // the backend's slot description, trailing blanks removed
  uint32_t profile;              // SlotProfile
  char label[kNameSize];         // reader name + " common profile" / " secure profile"
  CK_SLOT_ID backendSlotFamily1; // backend slot serving family 1 in this profile; 0 none
  CK_SLOT_ID backendSlotFamily2; // the same for family 2
  uint32_t cardPresent;          // presence last established (C_Initialize, C_WaitForSlotEvent)
  uint32_t cardEvents;           // the service's event count of the reader then (0 where it counts none)
  uint32_t sessionFamily;        // family under which sessions were opened; 0 none
  uint32_t unannounced;          // common row of a pair added while the library runs, not yet
                                 // reported by C_WaitForSlotEvent (under tableLock)
};

struct RouterState {
  // Read without a lock by every entry point, and polled by a slot-event wait
  // on one thread while C_Finalize on another ends the initialisation.
  std::atomic<uint32_t> initCount;
  PcscContext cardContext;
  BackendModule backends[kRoleCount];
  SlotEntry slotTable[kMaxSlots];
  // Grows while the library runs (a reader attached later), under tableLock,
  // after the new rows are complete; rows never move. Read without a lock:
  // a reader takes the count once and looks only at the rows below it.
  std::atomic<uint32_t> slotCount;
  // Counted up, under tableLock, by every end of the library (the C_Finalize
  // that ends it, a fork), only through endWaits: a slot-event wait or a
  // context renewal begun before it never takes the next initialisation's
  // tables or context as its own.
  uint32_t generation;
};

extern RouterState router;
extern Lock libraryLock;
extern Lock tableLock;

inline bool initialised() { return router.initCount != 0; }

// A backend's function list may leave entries empty; a call that would go
// through an empty one is answered CKR_FUNCTION_NOT_SUPPORTED instead.
template <auto Member>
bool supports(const CK_FUNCTION_LIST &list) {
  return (list.*Member) != nullptr;
}

}  // namespace tokenhub
