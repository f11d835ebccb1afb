// Control of the mock backend modules. The four modules (one source built
// under the four backend file names) and the test programs share this one
// library, so its state outlives each module's loading and unloading: a test
// scripts the modules before C_Initialize loads them and reads their call
// log after C_Finalize has unloaded them.
#pragma once
#include <cstdint>
#include <type_traits>

#include "tokenhub/pkcs11.h"

#if defined(_WIN32)
#ifdef MOCKCTL_BUILD
#define MOCKCTL_API __declspec(dllexport)
#else
#define MOCKCTL_API __declspec(dllimport)
#endif
#else
#define MOCKCTL_API __attribute__((visibility("default")))
#endif

namespace mock {

constexpr unsigned kRoles = 4;
constexpr unsigned kFunctions = 68;
constexpr unsigned kMaxSlots = 80;  // more than the router reads, to test its limit
constexpr unsigned kMaxArgs = 8;
constexpr unsigned kLogSize = 8192;
constexpr unsigned kMaxHandles = 4400;  // enough to fill the router's object table by searching

struct Slot {
  CK_SLOT_ID id;
  unsigned char description[64];  // as the module reports it (blank-padded by setSlot)
  CK_FLAGS flags;                 // CKF_TOKEN_PRESENT and the like
  CK_RV slotInfoResult;           // C_GetSlotInfo's answer for this slot
};

struct Backend {
  CK_RV getFunctionListResult;    // what the exported C_GetFunctionList answers
  unsigned char forced[kFunctions];  // 1: the function answers results[i] and does nothing else
  unsigned char absent[kFunctions];  // 1: the function list leaves this entry null
  CK_RV results[kFunctions];
  CK_ULONG slotCount;             // slots[0..slotCount)
  CK_ULONG reportedSlotCount;     // count C_GetSlotList answers; 0 means slotCount
  Slot slots[kMaxSlots];
  CK_VOID_PTR lastInitArgs;       // what C_Initialize received
  uint32_t initializeCalls;
  uint32_t finalizeCalls;
  // Set by C_Initialize, cleared by C_Finalize: a second C_Initialize
  // meanwhile answers CKR_CRYPTOKI_ALREADY_INITIALIZED, as a real module's does
  // (a host that initialised the module itself, a forked child's copy).
  uint32_t initialised;
  // The handles that the functions making sessions and objects hand out, in
  // order; once these are used up they count on from role * 0x10000 + 1.
  // C_FindObjects finds only queued handles.
  CK_ULONG handles[kMaxHandles];
  uint32_t handleCount;
  uint32_t handleNext;
  CK_ULONG lastCountedHandle;
  CK_ULONG findReported;  // when not 0: the count C_FindObjects answers, whatever it wrote
  CK_ULONG concatenatedKey;  // the key that C_DeriveKey's CKM_CONCATENATE_BASE_AND_KEY named
};

// An argument as the call log keeps it: one machine word.
template <typename T>
uintptr_t toWord(T value) {
  if constexpr (std::is_pointer_v<T>)
    return reinterpret_cast<uintptr_t>(value);
  else
    return static_cast<uintptr_t>(value);
}

struct Call {
  uint32_t role;      // 1..4
  uint32_t function;  // position in CK_FUNCTION_LIST, C_Initialize = 0
  uint32_t argCount;
  uintptr_t args[kMaxArgs];
};

struct Control {
  Backend backends[kRoles];
  uint32_t logCount;  // may exceed kLogSize; only the first kLogSize are kept
  Call log[kLogSize];
};

extern "C" {
MOCKCTL_API Control *mockControl();
// All modules empty, every function answering CKR_OK, the log cleared.
MOCKCTL_API void mockReset();
// Adds a slot to role (1..4) with the text blank-padded to 64 characters.
MOCKCTL_API void mockAddSlot(uint32_t role, CK_SLOT_ID id, const char *description, CK_FLAGS flags);
MOCKCTL_API void mockForce(uint32_t role, uint32_t function, CK_RV result);
// Queues handles for role's session, object and key creation and searches.
MOCKCTL_API void mockQueueHandles(uint32_t role, const CK_ULONG *handles, uint32_t count);
// The next handle that role hands out for a new session or object.
MOCKCTL_API CK_ULONG mockNextHandle(uint32_t role);
// Up to max queued handles of role, as a search finds them; the number taken.
MOCKCTL_API CK_ULONG mockTakeHandles(uint32_t role, CK_ULONG *out, CK_ULONG max);
MOCKCTL_API void mockLogCall(uint32_t role, uint32_t function, const uintptr_t *args, uint32_t argCount);
// Calls of a function (any role when role is 0) in the log.
MOCKCTL_API uint32_t mockCount(uint32_t role, uint32_t function);
// The n-th (from 0) logged call of a function by a role (any role when 0); null if none.
MOCKCTL_API const Call *mockFind(uint32_t role, uint32_t function, uint32_t n);
}

// Token information that a module's C_GetTokenInfo reports for all its slots.
struct TokenScript {
  char label[33];
  char model[17];
  char serialNumber[17];
};

extern "C" {
// Role 1..4; reset by mockReset to label "Mock token <role>", model
// "Mock model <role>" and serial "MOCK000<role>".
MOCKCTL_API TokenScript *mockToken(uint32_t role);
}

}  // namespace mock
