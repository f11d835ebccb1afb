// How much CPU a blocking C_WaitForSlotEvent costs while nothing happens, and
// how soon it reports a real insertion and removal: the router against the
// real PC/SC daemon with the two virtual readers (run scripts/pcscd-rig start
// first). Prints figures; it is not a test.
//   wait_idle_bench [seconds]   (default 5)
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "cardemu.h"
#include "mockctl.h"
#include "functions.h"
#include "init.h"

namespace {

using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::future<CK_RV> waitInBackground(CK_SLOT_ID *slot) {
  return std::async(std::launch::async, [slot] { return C_WaitForSlotEvent(0, slot, nullptr); });
}

// Milliseconds from the change to the blocking wait's answer.
double eventLatency(testkit::CardEmulator &reader, bool insert) {
  CK_SLOT_ID slot = 0;
  auto waited = waitInBackground(&slot);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto changed = Clock::now();
  if (insert)
    reader.insert({testkit::fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1")});
  else
    reader.remove();
  if (waited.wait_for(std::chrono::seconds(10)) != std::future_status::ready || waited.get() != CKR_OK) return -1;
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - changed).count();
  CK_SLOT_ID second = 0;
  C_WaitForSlotEvent(0, &second, nullptr);  // the secure slot's event, at once
  std::printf("%s: slot %lu after %.1f ms, then slot %lu\n", insert ? "insertion" : "removal",
              static_cast<unsigned long>(slot), ms, static_cast<unsigned long>(second));
  return ms;
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  tokenhub::routerProcessAttach();
  mock::mockReset();
  mock::mockAddSlot(1, 1, "Virtual PCD 00 00", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  mock::mockAddSlot(1, 2, "Virtual PCD 00 01", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  if (C_Initialize(nullptr) != CKR_OK || tokenhub::router.slotCount != 4) {
    std::fprintf(stderr, "wait_idle_bench: no PC/SC daemon with the two virtual readers\n");
    return 1;
  }

  CK_SLOT_ID slot = 0;
  auto waited = waitInBackground(&slot);
  double cpuBefore = processCpuSeconds();
  auto wallBefore = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double cpu = processCpuSeconds() - cpuBefore;
  double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  std::printf("idle blocking wait: %.3f s CPU over %.2f s = %.2f %% of one core (target at most 3 %%)\n", cpu, wall,
              100.0 * cpu / wall);
  auto finalising = Clock::now();
  C_Finalize(nullptr);
  CK_RV ended = waited.get();
  std::printf("C_Finalize from another thread ended the wait with 0x%lX (slot %lu) after %.1f ms\n",
              static_cast<unsigned long>(ended), static_cast<unsigned long>(slot),
              std::chrono::duration<double, std::milli>(Clock::now() - finalising).count());

  C_Initialize(nullptr);
  testkit::CardEmulator reader0(testkit::CardEmulator::kReader0Port);
  eventLatency(reader0, true);
  eventLatency(reader0, false);
  C_Finalize(nullptr);
  return 0;
}
