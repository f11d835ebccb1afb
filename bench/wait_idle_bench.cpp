// What a blocking C_WaitForSlotEvent costs while nothing happens, and how
// soon it answers: the router against the real PC/SC daemon with the two
// virtual readers (run scripts/pcscd-rig start first). Prints figures; it is
// not a test.
//   wait_idle_bench [seconds]   (default 5)
// Card-service calls are counted by a layer between the router and the
// platform's PC/SC table: every call the router makes (status queries,
// contexts, cancellations) counts one, on whichever thread it is made.
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cardemu.h"
#include "state/functions.h"
#include "module/entrypoints.h"
#include "calls/init.h"
#include "mockctl.h"

namespace {

using Clock = std::chrono::steady_clock;
using tokenhub::PcscApi;
using tokenhub::platformPcsc;

std::atomic<long> serviceCalls{0};

// The platform's table with the router's calls counted.
PcscApi countingPcsc() {
  PcscApi api = platformPcsc();
  api.establishContext = [](tokenhub::PcscContext *c) { ++serviceCalls; return platformPcsc().establishContext(c); };
  api.releaseContext = [](tokenhub::PcscContext c) { ++serviceCalls; return platformPcsc().releaseContext(c); };
  api.getStatusChange = [](tokenhub::PcscContext c, uint32_t t, tokenhub::ReaderState *s, uint32_t n) {
    ++serviceCalls;
    return platformPcsc().getStatusChange(c, t, s, n);
  };
  return api;
}

double threadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  timespec t{};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) return -1;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A blocking wait on its own thread, with the time it ended.
struct Waiter {
  CK_SLOT_ID slot = 0;
  CK_RV result = 0;
  Clock::time_point ended;
  std::thread thread{[this] {
    result = C_WaitForSlotEvent(0, &slot, nullptr);
    ended = Clock::now();
  }};
};

const char *kReader0 = "Virtual PCD 00 00";

// The observer: another process that waits inside the daemon for reader 0's
// card to come or go, and prints the monotonic time (in ns) when the daemon
// told it. Its time is when the card service saw the change.
int observe(bool present) {
  using namespace tokenhub;
  PcscContext context = 0;
  if (platformPcsc().establishContext(&context) != kScardSuccess) return 1;
  ReaderState state;
  std::memset(&state, 0, sizeof state);
  state.reader = kReader0;
  platformPcsc().getStatusChange(context, 0, &state, 1);
  std::printf("ready\n");
  std::fflush(stdout);
  while (((state.eventState & kScardStatePresent) != 0) != present) {
    state.currentState = state.eventState & ~0x2u;  // without SCARD_STATE_CHANGED
    if (platformPcsc().getStatusChange(context, 60000, &state, 1) != kScardSuccess) return 1;
  }
  std::printf("%lld\n", static_cast<long long>(Clock::now().time_since_epoch().count()));
  return 0;
}

// Milliseconds from the card service seeing the change to the blocking wait's answer.
double eventLatency(testkit::CardEmulator &reader, bool insert) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char self[] = "/proc/self/exe", flag[] = "--observe", which[] = "0";
  which[0] = insert ? '1' : '0';
  char *argv[] = {self, flag, which, nullptr};
  pid_t observer = 0;
  posix_spawn(&observer, self, &actions, nullptr, argv, environ);
  close(out[1]);
  FILE *seen = fdopen(out[0], "r");
  char line[64] = {};
  if (!std::fgets(line, sizeof line, seen)) return -1;  // ready

  Waiter waiter;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto changed = Clock::now();
  if (insert)
    reader.insert({testkit::fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1")});
  else
    reader.remove();
  waiter.thread.join();
  long long serviceSaw = std::fgets(line, sizeof line, seen) ? std::atoll(line) : 0;
  std::fclose(seen);
  waitpid(observer, nullptr, 0);
  double fromChange = std::chrono::duration<double, std::milli>(waiter.ended - changed).count();
  double fromService = (waiter.ended.time_since_epoch().count() - serviceSaw) / 1e6;
  CK_SLOT_ID second = 0;
  C_WaitForSlotEvent(0, &second, nullptr);  // the secure slot's event, at once
  std::printf("%s: 0x%lX slot %lu, %.1f ms after the card service saw it (target at most 20; %.1f ms after the "
              "emulator's change, as pcscd polls vpcd), then slot %lu\n",
              insert ? "insertion" : "removal", static_cast<unsigned long>(waiter.result),
              static_cast<unsigned long>(waiter.slot), fromService, fromChange, static_cast<unsigned long>(second));
  return fromService;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 && std::strcmp(argv[1], "--observe") == 0) return observe(argv[2][0] == '1');
  double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  tokenhub::routerProcessAttach();
  static const PcscApi counting = countingPcsc();
  tokenhub::setPcscApi(&counting);
  mock::mockReset();
  mock::mockAddSlot(1, 1, "Virtual PCD 00 00", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  mock::mockAddSlot(1, 2, "Virtual PCD 00 01", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  if (C_Initialize(nullptr) != CKR_OK || tokenhub::router.slotCount != 4) {
    std::fprintf(stderr, "wait_idle_bench: no PC/SC daemon with the two virtual readers\n");
    return 1;
  }

  {
    Waiter waiter;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the wait's start
    long callsBefore = serviceCalls;
    double threadBefore = threadCpuSeconds(waiter.thread.native_handle());
    auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    double threadCpu = threadCpuSeconds(waiter.thread.native_handle()) - threadBefore;
    long calls = serviceCalls - callsBefore;
    std::printf("idle blocking wait over %.2f s: %ld card-service calls = %.2f per second (target at most 1)\n", wall,
                calls, calls / wall);
    std::printf("idle blocking wait: waiting thread used %.4f s CPU = %.3f %% of one core\n", threadCpu,
                100.0 * threadCpu / wall);
    auto finalising = Clock::now();
    C_Finalize(nullptr);
    waiter.thread.join();
    std::printf("C_Finalize from another thread ended the wait with 0x%lX after %.1f ms (target at most 100)\n",
                static_cast<unsigned long>(waiter.result),
                std::chrono::duration<double, std::milli>(waiter.ended - finalising).count());
  }

  C_Initialize(nullptr);
  testkit::CardEmulator reader0(testkit::CardEmulator::kReader0Port);
  eventLatency(reader0, true);
  eventLatency(reader0, false);
  C_Finalize(nullptr);
  return 0;
}
