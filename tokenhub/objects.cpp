// Object handle table.
#include "objects.h"

#include <cstring>

#include "handletable.h"

namespace tokenhub {

ObjectTable objects;

void clearObjectTable() { std::memset(&objects, 0, sizeof objects); }

CK_OBJECT_HANDLE mapObject(SlotEntry *slot, CK_OBJECT_HANDLE backendHandle) {
  LockGuard hold(tableLock);
  // One pass: a backend object seen again through the same virtual slot keeps
  // its handle; otherwise the lowest free row takes it.
  ObjectEntry *freeRow = nullptr;
  for (ObjectEntry &row : objects.rows) {
    if (row.routerHandle == 0) {
      if (!freeRow) freeRow = &row;
    } else if (row.slot == slot && row.backendHandle == backendHandle && row.destroyers == 0) {
      return row.routerHandle;
    }
  }
  if (!freeRow) return 0;
  freeRow->slot = slot;
  freeRow->backendHandle = backendHandle;
  freeRow->routerHandle = nextHandle(objects.lastObjectHandle, objects.wrapped, objects.rows);
  return freeRow->routerHandle;
}

namespace {
ObjectEntry *rowOf(CK_OBJECT_HANDLE routerHandle, const SlotEntry *slot) {
  ObjectEntry *row = rowWithHandle(objects.rows, static_cast<uint32_t>(routerHandle));
  if (!row || row->routerHandle != routerHandle || (slot && row->slot != slot)) return nullptr;
  return row;
}
CK_RV unknown(HandleKind kind) { return kind == HandleKind::Key ? CKR_KEY_HANDLE_INVALID : CKR_OBJECT_HANDLE_INVALID; }
}  // namespace

CK_RV findObject(CK_OBJECT_HANDLE routerHandle, HandleKind kind, ObjectEntry &object, const SlotEntry *slot) {
  LockGuard hold(tableLock);
  const ObjectEntry *row = rowOf(routerHandle, slot);
  if (!row) return unknown(kind);
  object = *row;
  return CKR_OK;
}

CK_RV beginDestroy(CK_OBJECT_HANDLE routerHandle, const SlotEntry *slot, ObjectEntry &object) {
  LockGuard hold(tableLock);
  ObjectEntry *row = rowOf(routerHandle, slot);
  if (!row) return unknown(HandleKind::Object);
  ++row->destroyers;
  object = *row;
  return CKR_OK;
}

void endDestroy(const ObjectEntry &object, bool destroyed) {
  LockGuard hold(tableLock);
  ObjectEntry *row = rowOf(object.routerHandle, object.slot);
  if (!row) return;
  if (destroyed)
    *row = ObjectEntry{};
  else
    --row->destroyers;
}

void removeObject(const ObjectEntry &object) {
  LockGuard hold(tableLock);
  if (ObjectEntry *row = rowWithHandle(objects.rows, static_cast<uint32_t>(object.routerHandle))) *row = ObjectEntry{};
}

void removeSlotObjects(const SlotEntry *slot) {
  LockGuard hold(tableLock);
  for (ObjectEntry &row : objects.rows)
    if (row.slot == slot) row = ObjectEntry{};
}

}  // namespace tokenhub
