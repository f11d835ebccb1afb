// The object handle table: router object handles and the backend object
// each one stands for, per virtual slot.
#pragma once
#include "state.h"

namespace tokenhub {

constexpr unsigned kMaxObjects = 4096;

struct ObjectEntry {
  CK_OBJECT_HANDLE routerHandle;  // 0 marks a free row
  SlotEntry *slot;
  CK_OBJECT_HANDLE backendHandle;
};

struct ObjectTable {
  ObjectEntry rows[kMaxObjects];
  CK_OBJECT_HANDLE lastObjectHandle;
};
extern ObjectTable objects;

void clearObjectTable();

}  // namespace tokenhub
