// Object handle table.
#include "objects.h"

#include <cstring>

#include "handletable.h"

namespace tokenhub {

ObjectTable objects;

void clearObjectTable() { std::memset(&objects, 0, sizeof objects); }

CK_OBJECT_HANDLE mapObject(SlotEntry *slot, CK_OBJECT_HANDLE backendHandle) {
  LockGuard hold(tableLock);
  // A backend object seen again through the same virtual slot keeps its handle.
  if (const ObjectEntry *row = findRow(objects.rows, [slot, backendHandle](const ObjectEntry &r) {
        return r.routerHandle != 0 && r.slot == slot && r.backendHandle == backendHandle;
      }))
    return row->routerHandle;
  ObjectEntry *row = findRow(objects.rows, [](const ObjectEntry &r) { return r.routerHandle == 0; });
  if (!row) return 0;
  row->slot = slot;
  row->backendHandle = backendHandle;
  row->routerHandle = nextHandle(objects.lastObjectHandle, objects.wrapped, objects.rows);
  return row->routerHandle;
}

CK_RV findObject(CK_OBJECT_HANDLE routerHandle, HandleKind kind, ObjectEntry &object) {
  LockGuard hold(tableLock);
  const ObjectEntry *row = rowWithHandle(objects.rows, static_cast<uint32_t>(routerHandle));
  if (!row || row->routerHandle != routerHandle)
    return kind == HandleKind::Key ? CKR_KEY_HANDLE_INVALID : CKR_OBJECT_HANDLE_INVALID;
  object = *row;
  return CKR_OK;
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
