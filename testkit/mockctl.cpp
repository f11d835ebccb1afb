#define MOCKCTL_BUILD 1
#include "mockctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace mock {

namespace {
#ifdef _WIN32
unsigned long processId() { return GetCurrentProcessId(); }
#else
unsigned long processId() { return static_cast<unsigned long>(getpid()); }
#endif
}  // namespace

namespace {
Control control;
std::mutex logLock;

// Out of process (a consumer loading the shipped module), the mock modules
// take their slots from TOKENHUB_MOCK_SLOTS: entries "role:slotId:description"
// or "role:slotId:description:flags" (flags in hex), separated by ';'.
void slotsFromEnvironment() {
  const char *text = std::getenv("TOKENHUB_MOCK_SLOTS");
  if (!text) return;
  std::string all = text;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(';', start);
    if (end == std::string::npos) end = all.size();
    std::string entry = all.substr(start, end - start);
    start = end + 1;
    size_t a = entry.find(':'), b = a == std::string::npos ? a : entry.find(':', a + 1);
    if (b == std::string::npos) continue;
    size_t c = entry.find(':', b + 1);
    unsigned long role = std::strtoul(entry.substr(0, a).c_str(), nullptr, 10);
    if (role < 1 || role > kRoles) continue;
    CK_SLOT_ID id = std::strtoul(entry.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
    std::string description = entry.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
    CK_FLAGS flags = c == std::string::npos ? (CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT)
                                            : std::strtoul(entry.substr(c + 1).c_str(), nullptr, 16);
    mockAddSlot(static_cast<uint32_t>(role), id, description.c_str(), flags);
  }
}

struct EnvironmentSlots {
  EnvironmentSlots() { slotsFromEnvironment(); }
} environmentSlots;
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

void mockQueueHandles(uint32_t role, const CK_ULONG *handles, uint32_t count) {
  std::lock_guard<std::mutex> hold(logLock);
  Backend &b = control.backends[role - 1];
  for (uint32_t i = 0; i < count && b.handleCount < kMaxHandles; ++i) b.handles[b.handleCount++] = handles[i];
}

CK_ULONG mockNextHandle(uint32_t role) {
  std::lock_guard<std::mutex> hold(logLock);
  Backend &b = control.backends[role - 1];
  if (b.handleNext < b.handleCount) return b.handles[b.handleNext++];
  if (b.lastCountedHandle == 0) b.lastCountedHandle = role * 0x10000;
  return ++b.lastCountedHandle;
}

CK_ULONG mockTakeHandles(uint32_t role, CK_ULONG *out, CK_ULONG max) {
  std::lock_guard<std::mutex> hold(logLock);
  Backend &b = control.backends[role - 1];
  CK_ULONG n = 0;
  while (n < max && b.handleNext < b.handleCount) out[n++] = b.handles[b.handleNext++];
  return n;
}

void mockLogCall(uint32_t role, uint32_t function, const uintptr_t *args, uint32_t argCount) {
  std::lock_guard<std::mutex> hold(logLock);
  // Out of process, TOKENHUB_MOCK_TRACE names a file that gets "role function
  // pid" per call: a forked child's calls are told from its parent's.
  if (const char *trace = std::getenv("TOKENHUB_MOCK_TRACE")) {
    if (FILE *f = std::fopen(trace, "ab")) {
      std::fprintf(f, "%u %u %lu\n", role, function, static_cast<unsigned long>(processId()));
      std::fclose(f);
    }
  }
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
