// The object handle table: router object handles and the backend object
// each one stands for, per virtual slot.
#pragma once
#include "handles/handletable.h"
#include "cards/readercards.h"
#include "state/state.h"

namespace tokenhub {

constexpr unsigned kMaxObjects = 4096;

struct ObjectEntry {
  CK_OBJECT_HANDLE routerHandle;  // 0 marks a free row
  SlotEntry *slot;
  CK_OBJECT_HANDLE backendHandle;
  uint32_t destroyers;  // C_DestroyObject calls on the row in the backend now
};

struct ObjectTable {
  ObjectEntry rows[kMaxObjects];
  uint32_t lastObjectHandle;  // handles are 32-bit on every platform
  bool wrapped;               // the counter passed its largest value: new handles are checked against those in use
  // Beside the rows, kept with them under tableLock: which rows are in use,
  // the rows by router handle and the rows by (virtual slot, backend handle),
  // so that neither a look-up nor a search's results read the whole table.
  RowMap<kMaxObjects> inUse;
  RowIndex<kMaxObjects> byHandle;
  RowIndex<kMaxObjects> byBackend;
  // Each row's card: the reader's card epoch of the session it was seen
  // through, and readerCardChanges() when the rows were last checked.
  uint32_t cardEpochs[kMaxObjects];
  uint32_t checkedCards;
  // Each row's backend when it runs in a module host, and that host's
  // generation: a row outlives no host, as it outlives no card.
  CK_FUNCTION_LIST_PTR hostedBackends[kMaxObjects];
  uint32_t hostGenerations[kMaxObjects];
};
extern ObjectTable objects;

// What the caller expects a handle to name; decides the code for an unknown one.
enum class HandleKind { Key, Object };

void clearObjectTable();

// The router handle of the row for (slot, backendHandle), existing or new;
// 0 when no row is free, or when the card of `cardEpoch` (the session's; by
// default the card in the reader now) has left the reader meanwhile.
// `backend`: the session's backend, whose host (if it runs in one) the row
// is bound to.
CK_OBJECT_HANDLE mapObject(SlotEntry *slot, CK_OBJECT_HANDLE backendHandle, uint32_t cardEpoch,
                           CK_FUNCTION_LIST_PTR backend = nullptr);
CK_OBJECT_HANDLE mapObject(SlotEntry *slot, CK_OBJECT_HANDLE backendHandle);
// CKR_OK and a copy of the row taken under tableLock; otherwise
// CKR_KEY_HANDLE_INVALID or CKR_OBJECT_HANDLE_INVALID by the kind. With a
// slot, a row of another virtual slot counts as unknown: a handle of one
// token never reaches the backend session of another.
CK_RV findObject(CK_OBJECT_HANDLE routerHandle, HandleKind kind, ObjectEntry &object,
                 const SlotEntry *slot = nullptr);
// findObject on the session's slot, marking the row as being destroyed until
// endDestroy: while the backend destroys the object, a new object that the
// backend gives the same handle gets a row of its own.
CK_RV beginDestroy(CK_OBJECT_HANDLE routerHandle, const SlotEntry *slot, ObjectEntry &object);
// After the backend's answer: a destroyed object's row is freed, a refused
// destruction leaves the row as it was.
void endDestroy(const ObjectEntry &object, bool destroyed);
// Frees the row that holds object.routerHandle, if it is still in use.
void removeObject(const ObjectEntry &object);
void removeSlotObjects(const SlotEntry *slot);

}  // namespace tokenhub
