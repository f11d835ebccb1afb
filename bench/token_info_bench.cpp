// What C_GetTokenInfo costs against the real PC/SC daemon with the card
// emulator in "Virtual PCD 00 00" (run scripts/pcscd-rig start first): PC/SC
// calls and microseconds per call, for the first call after an insertion
// (the card is read) and for repeated calls while the card stays in.
// Prints figures; it is not a test.
//   token_info_bench [calls]   (default 200)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cardemu.h"
#include "state/functions.h"
#include "module/entrypoints.h"
#include "calls/init.h"
#include "mockctl.h"

namespace {

using namespace tokenhub;
using Clock = std::chrono::steady_clock;

// Every call into the card service, counted; card exchanges also on their own.
unsigned long pcscCalls = 0, exchanges = 0;

const PcscApi counting = {
    [](PcscContext *c) { return ++pcscCalls, platformPcsc().establishContext(c); },
    [](PcscContext c) { return ++pcscCalls, platformPcsc().releaseContext(c); },
    [](PcscContext c, uint32_t t, ReaderState *s, uint32_t n) {
      return ++pcscCalls, platformPcsc().getStatusChange(c, t, s, n);
    },
    [](PcscContext c, const char *r, uint32_t m, uint32_t p, PcscCard *h, uint32_t *a) {
      return ++pcscCalls, platformPcsc().connect(c, r, m, p, h, a);
    },
    [](PcscCard h) { return ++pcscCalls, platformPcsc().beginTransaction(h); },
    [](PcscCard h, uint32_t d) { return ++pcscCalls, platformPcsc().endTransaction(h, d); },
    [](PcscCard h, char *r, uint32_t *rl, uint32_t *s, uint32_t *p, uint8_t *a, uint32_t *al) {
      return ++pcscCalls, platformPcsc().status(h, r, rl, s, p, a, al);
    },
    [](PcscCard h, uint32_t m, uint32_t p, uint32_t i, uint32_t *a) {
      return ++pcscCalls, platformPcsc().reconnect(h, m, p, i, a);
    },
    [](PcscCard h, uint32_t p, const uint8_t *c, uint32_t cl, uint8_t *r, uint32_t *rl) {
      return ++pcscCalls, ++exchanges, platformPcsc().transmit(h, p, c, cl, r, rl);
    },
    [](PcscCard h, uint32_t d) { return ++pcscCalls, platformPcsc().disconnect(h, d); },
    [](PcscContext c) { return ++pcscCalls, platformPcsc().cancel(c); },
    [](PcscContext c, char *n, uint32_t *l) { return ++pcscCalls, platformPcsc().listReaders(c, n, l); },
    [](uint32_t ms) { return platformPcsc().awaitService(ms); },
};

bool tokenPresent() {
  CK_SLOT_INFO info;
  return C_GetSlotInfo(1, &info) == CKR_OK && (info.flags & CKF_TOKEN_PRESENT);
}

// Until the slot shows the token present (or absent): 2 s at most.
void awaitToken(bool present) {
  for (int tries = 0; tries < 200 && tokenPresent() != present; ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

struct Figures {
  double microseconds = 0;
  double calls = 0;
  double exchanges = 0;
  std::string serial;
};

Figures measure(unsigned count) {
  CK_TOKEN_INFO info;
  unsigned long callsBefore = pcscCalls, exchangesBefore = exchanges;
  auto start = Clock::now();
  for (unsigned i = 0; i < count; ++i)
    if (C_GetTokenInfo(1, &info) != CKR_OK) return {};
  Figures f;
  f.microseconds = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
  f.calls = static_cast<double>(pcscCalls - callsBefore) / count;
  f.exchanges = static_cast<double>(exchanges - exchangesBefore) / count;
  f.serial.assign(reinterpret_cast<char *>(info.serialNumber), 16);
  return f;
}

void print(const char *what, const Figures &f) {
  std::printf("%-34s %9.1f us  %5.1f PC/SC calls (%3.1f card exchanges)  serial \"%s\"\n", what, f.microseconds,
              f.calls, f.exchanges, f.serial.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 200;
  if (count == 0) count = 1;
  routerProcessAttach();
  setPcscApi(&counting);
  mock::mockReset();
  mock::mockAddSlot(1, 1, "Virtual PCD 00 00", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
  testkit::CardEmulator reader0(testkit::CardEmulator::kReader0Port);
  testkit::EmulatedCard card{testkit::fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1")};
  card.card.file = testkit::serialFile(testkit::fromHex("1A 2B 3C 4D 5E"));
  if (C_Initialize(nullptr) != CKR_OK || router.slotCount != 2 || !reader0.insert(card)) {
    std::fprintf(stderr, "token_info_bench: no PC/SC daemon with the virtual reader\n");
    return 1;
  }

  // The first call after each of a few insertions reads the card.
  constexpr unsigned kInsertions = 5;
  Figures first;
  for (unsigned i = 0; i < kInsertions; ++i) {
    reader0.remove();
    awaitToken(false);  // else the daemon may take the new card for the old one
    reader0.insert(card);
    awaitToken(true);
    Figures f = measure(1);
    first.microseconds += f.microseconds / kInsertions;
    first.calls += f.calls / kInsertions;
    first.exchanges += f.exchanges / kInsertions;
    first.serial = f.serial;
  }
  Figures repeated = measure(count);
  std::printf("C_GetTokenInfo, family-1 card, layout 1:\n");
  print("first call after an insertion", first);
  print(("repeated, mean of " + std::to_string(count)).c_str(), repeated);
  std::printf("repeated calls cost %.2f of the first call's time\n", repeated.microseconds / first.microseconds);
  C_Finalize(nullptr);
  return 0;
}
