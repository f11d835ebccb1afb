#define MOCKCTL_BUILD 1
#include "mockctl.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace mock {

namespace {
Control control;
std::mutex logLock;
}  // namespace

Control *mockControl() { return &control; }

namespace {
TokenScript tokens[kRoles];

void resetTokens() {
  for (uint32_t role = 1; role <= kRoles; ++role) {
    TokenScript &t = tokens[role - 1];
    std::snprintf(t.label, sizeof t.label, "Mock token %u", role);
    std::snprintf(t.model, sizeof t.model, "Mock model %u", role);
    std::snprintf(t.serialNumber, sizeof t.serialNumber, "MOCK000%u", role);
  }
}
[[maybe_unused]] const bool tokensReady = (resetTokens(), true);
}  // namespace

TokenScript *mockToken(uint32_t role) { return &tokens[role - 1]; }

void mockReset() {
  std::lock_guard<std::mutex> hold(logLock);
  std::memset(&control, 0, sizeof control);
  resetTokens();
}

void mockAddSlot(uint32_t role, CK_SLOT_ID id, const char *description, CK_FLAGS flags) {
  Backend &b = control.backends[role - 1];
  if (b.slotCount >= kMaxSlots) return;
  Slot &s = b.slots[b.slotCount++];
  s.id = id;
  std::memset(s.description, ' ', sizeof s.description);
  size_t n = std::strlen(description);
  std::memcpy(s.description, description, n < sizeof s.description ? n : sizeof s.description);
  s.flags = flags;
  s.slotInfoResult = CKR_OK;
}

void mockForce(uint32_t role, uint32_t function, CK_RV result) {
  control.backends[role - 1].forced[function] = 1;
  control.backends[role - 1].results[function] = result;
}

void mockLogCall(uint32_t role, uint32_t function, const uintptr_t *args, uint32_t argCount) {
  std::lock_guard<std::mutex> hold(logLock);
  uint32_t n = control.logCount++;
  if (n >= kLogSize) return;
  Call &c = control.log[n];
  c.role = role;
  c.function = function;
  c.argCount = argCount < kMaxArgs ? argCount : kMaxArgs;
  std::memcpy(c.args, args, c.argCount * sizeof(uintptr_t));
}

uint32_t mockCount(uint32_t role, uint32_t function) {
  uint32_t count = 0, kept = control.logCount < kLogSize ? control.logCount : kLogSize;
  for (uint32_t i = 0; i < kept; ++i)
    if (control.log[i].function == function && (role == 0 || control.log[i].role == role)) ++count;
  return count;
}

const Call *mockFind(uint32_t role, uint32_t function, uint32_t n) {
  uint32_t kept = control.logCount < kLogSize ? control.logCount : kLogSize;
  for (uint32_t i = 0; i < kept; ++i)
    if (control.log[i].function == function && (role == 0 || control.log[i].role == role) && n-- == 0)
      return &control.log[i];
  return nullptr;
}

}  // namespace mock
