// Object handle table.
#include "handles/objects.h"

#include <cstring>

#include "handles/handletable.h"
#include "rpc/client.h"

namespace tokenhub {

ObjectTable objects;

void clearObjectTable() { std::memset(&objects, 0, sizeof objects); }

namespace {

// The key of a (virtual slot, backend handle) pair; both halves of a 64-bit
// backend handle count.
uint32_t pairKey(const SlotEntry *slot, CK_OBJECT_HANDLE backendHandle) {
  uint64_t wide = static_cast<uint64_t>(backendHandle);
  uint64_t where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(slot));
  return static_cast<uint32_t>(wide ^ (wide >> 32)) ^ static_cast<uint32_t>((where ^ (where >> 32)) * 0x85EBCA6Bu);
}
uint32_t handleOf(unsigned row) { return static_cast<uint32_t>(objects.rows[row].routerHandle); }
uint32_t pairOf(unsigned row) { return pairKey(objects.rows[row].slot, objects.rows[row].backendHandle); }

// Under tableLock.
ObjectEntry *rowWithHandle(CK_OBJECT_HANDLE routerHandle) {
  return tokenhub::rowWithHandle(objects.rows, objects.byHandle, routerHandle);
}

void freeRow(ObjectEntry &entry) {
  unsigned row = static_cast<unsigned>(&entry - objects.rows);
  objects.byHandle.erase(handleOf(row), row, handleOf);
  objects.byBackend.erase(pairOf(row), row, pairOf);
  objects.inUse.give(row);
  entry = ObjectEntry{};
}

// An object outlives no card: the rows of a card that the router has seen
// leave its reader are freed at the next table operation, so that a backend
// that numbers a new card's objects afresh never meets an old handle.
void forgetObjectsOfGoneCards() {
  if (objects.checkedCards == readerCardChanges()) return;
  objects.checkedCards = readerCardChanges();
  for (unsigned row = 0; row < kMaxObjects; ++row) {
    ObjectEntry &entry = objects.rows[row];
    if (entry.routerHandle != 0 && objects.cardEpochs[row] != readerCardEpoch(entry.slot)) freeRow(entry);
  }
}

}  // namespace

CK_OBJECT_HANDLE mapObject(SlotEntry *slot, CK_OBJECT_HANDLE backendHandle) {
  LockGuard hold(tableLock);
  return mapObject(slot, backendHandle, readerCardEpoch(slot));
}

namespace {
// Whether the row's host (if its backend runs in one) is the one that
// handed out its backend handle: after a restart, the new host numbers its
// objects afresh, and an old handle must never reach another object.
bool sameHost(unsigned row) {
  return !objects.hostedBackends[row] ||
         objects.hostGenerations[row] == rpc::hostGeneration(objects.hostedBackends[row]);
}
}  // namespace

CK_OBJECT_HANDLE mapObject(SlotEntry *slot, CK_OBJECT_HANDLE backendHandle, uint32_t cardEpoch,
                           CK_FUNCTION_LIST_PTR backend) {
  LockGuard hold(tableLock);
  uint32_t generation = backend ? rpc::hostGeneration(backend) : 0;
  if (!generation) backend = nullptr;  // a backend in process
  forgetObjectsOfGoneCards();
  if (cardEpoch != readerCardEpoch(slot)) return 0;  // a row no sweep would free
  // A backend object seen again through the same virtual slot keeps its
  // handle: the lowest row that holds the pair, unless it is being destroyed.
  unsigned known = kMaxObjects;
  objects.byBackend.probe(pairKey(slot, backendHandle), [&](unsigned row) {
    const ObjectEntry &entry = objects.rows[row];
    if (entry.slot == slot && entry.backendHandle == backendHandle && objects.cardEpochs[row] == cardEpoch &&
        objects.hostedBackends[row] == backend && objects.hostGenerations[row] == generation &&
        entry.destroyers == 0 && row < known)
      known = row;
    return false;
  });
  if (known != kMaxObjects) return objects.rows[known].routerHandle;
  // Otherwise the lowest free row takes it.
  unsigned row = objects.inUse.lowestFree();
  if (row == kMaxObjects) return 0;
  ObjectEntry &entry = objects.rows[row];
  entry.slot = slot;
  entry.backendHandle = backendHandle;
  objects.cardEpochs[row] = cardEpoch;
  objects.hostedBackends[row] = backend;
  objects.hostGenerations[row] = generation;
  entry.routerHandle = nextHandle(objects.lastObjectHandle, objects.wrapped,
                                  [](uint32_t handle) { return rowWithHandle(handle) != nullptr; });
  objects.inUse.take(row);
  objects.byHandle.insert(handleOf(row), row);
  objects.byBackend.insert(pairOf(row), row);
  return entry.routerHandle;
}

namespace {
ObjectEntry *rowOf(CK_OBJECT_HANDLE routerHandle, const SlotEntry *slot) {
  forgetObjectsOfGoneCards();
  ObjectEntry *row = rowWithHandle(routerHandle);
  if (row && !sameHost(static_cast<unsigned>(row - objects.rows))) {
    freeRow(*row);
    return nullptr;
  }
  return row && (!slot || row->slot == slot) ? row : nullptr;
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
    freeRow(*row);
  else
    --row->destroyers;
}

void removeObject(const ObjectEntry &object) {
  LockGuard hold(tableLock);
  if (ObjectEntry *row = rowWithHandle(object.routerHandle)) freeRow(*row);
}

void removeSlotObjects(const SlotEntry *slot) {
  LockGuard hold(tableLock);
  for (ObjectEntry &row : objects.rows)
    if (row.routerHandle != 0 && row.slot == slot) freeRow(row);
}

}  // namespace tokenhub
