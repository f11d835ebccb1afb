// Throughput under load, four ways to the same SoftHSM2 token in one run:
// through the router (the built module, its role-1 backend SoftHSM2's, the
// card in the reader served by the real PC/SC daemon), through SoftHSM2
// alone, through p11-kit's proxy in front of SoftHSM2, and through the
// router with its backends in module hosts. Each process reports its
// resident memory with its hosts' 1 s into a round and at its end. Each way runs in
// turn, in rounds, on N processes of M threads; every thread loops a key
// search, an ECDSA signature and a session query on a session of its own,
// and opens a new session every 50 rounds. Each process has a copy of the
// token, since SoftHSM2 refuses processes that log in to one token directory
// at the same moment. bench/load-bench.sh prepares the daemon and the card.
//
//   load_bench ROUTER_MODULE [processes threads seconds rounds [together]]
// "together" runs the four ways side by side in each round instead of in
// turn: on a machine that others use too, all four then meet the same load.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tokenhub/pkcs11.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char *kProxy = "/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so";
constexpr const char *kLabel = "load bench";
CK_UTF8CHAR kPin[] = "123456";

struct Way {
  const char *name;
  std::string module;
  bool hosted = false;  // the router with every backend in a module host
};

// What one process reports: rounds done in the measured time, calls that
// failed, and the first failure.
struct Tally {
  unsigned long rounds = 0, errors = 0;
  unsigned long rssFirstKb = 0, rssLastKb = 0;  // the process and its hosts, 1 s in and at the end
  char firstError[96] = "";
};

// Resident memory in kB of this process and of the processes it started
// (module hosts).
unsigned long residentKb() {
  auto of = [](const fs::path &status) {
    std::ifstream in(status);
    std::string key;
    unsigned long kb = 0;
    while (in >> key)
      if (key == "VmRSS:" && in >> kb) return kb;
    return 0ul;
  };
  unsigned long kb = of("/proc/self/status");
  std::error_code error;
  for (const auto &task : fs::directory_iterator("/proc/self/task", error)) {
    std::ifstream children(task.path() / "children");
    for (unsigned long pid; children >> pid;) kb += of(fs::path("/proc") / std::to_string(pid) / "status");
  }
  return kb;
}

struct Thread {
  CK_FUNCTION_LIST_PTR f;
  CK_SLOT_ID slot;
  Tally tally;

  bool failed(CK_RV rv, const char *what) {
    if (rv == CKR_OK) return false;
    if (tally.errors++ == 0)
      std::snprintf(tally.firstError, sizeof tally.firstError, "%s: 0x%lx", what, static_cast<unsigned long>(rv));
    return true;
  }

  void run(const std::atomic<bool> &stop) {
    CK_SESSION_HANDLE session = 0;
    if (failed(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), "C_OpenSession")) return;
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byClass = {CKA_CLASS, &cls, sizeof cls};
    CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
    CK_BYTE hash[32] = {1, 2, 3}, signature[64];
    for (unsigned round = 1; !stop; ++round) {
      CK_OBJECT_HANDLE key = 0;
      CK_ULONG count = 0, length = sizeof signature;
      CK_SESSION_INFO info;
      if (failed(f->C_FindObjectsInit(session, &byClass, 1), "C_FindObjectsInit") ||
          failed(f->C_FindObjects(session, &key, 1, &count), "C_FindObjects") ||
          failed(f->C_FindObjectsFinal(session), "C_FindObjectsFinal") ||
          failed(count == 1 ? CKR_OK : CKR_GENERAL_ERROR, "the key's search") ||
          failed(f->C_SignInit(session, &ecdsa, key), "C_SignInit") ||
          failed(f->C_Sign(session, hash, sizeof hash, signature, &length), "C_Sign") ||
          failed(f->C_GetSessionInfo(session, &info), "C_GetSessionInfo"))
        break;
      ++tally.rounds;
      if (round % 50 == 0) {
        // The new one first: the process's login lives as long as one of its sessions.
        CK_SESSION_HANDLE next = 0;
        if (failed(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &next), "C_OpenSession")) break;
        failed(f->C_CloseSession(session), "C_CloseSession");
        session = next;
      }
    }
    failed(f->C_CloseSession(session), "C_CloseSession");
  }
};

// The slot whose token bears the bench's label.
bool findSlot(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID &slot) {
  CK_SLOT_ID slots[64];
  CK_ULONG count = 64;
  if (f->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return false;
  char padded[33];
  std::snprintf(padded, sizeof padded, "%-32s", kLabel);
  for (CK_ULONG i = 0; i < count && i < 64; ++i) {
    CK_TOKEN_INFO info;
    if (f->C_GetTokenInfo(slots[i], &info) == CKR_OK && std::memcmp(info.label, padded, 32) == 0) {
      slot = slots[i];
      return true;
    }
  }
  return false;
}

// One process of the load: sets up, says it is ready, runs from the start
// signal (the end of `go`) for `seconds` and writes its tally to `out`.
void process(const Way &way, const fs::path &work, unsigned index, unsigned threads, unsigned seconds,
                          int ready, int go, int out) {
  Tally total;
  auto finish = [&](const char *what) {
    if (what) {
      ++total.errors;
      std::snprintf(total.firstError, sizeof total.firstError, "%s", what);
    }
    if (write(out, &total, sizeof total) != sizeof total) _exit(2);
    _exit(0);
  };
  setenv("SOFTHSM2_CONF", (work / std::to_string(index) / "softhsm2.conf").c_str(), 1);
  setenv("HOME", (work / "home").c_str(), 1);  // p11-kit's user configuration: SoftHSM2 only
  if (way.hosted) setenv("TOKENHUB_HOST_BACKENDS", "1", 1);
  void *library = dlopen(way.module.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(library ? dlsym(library, "C_GetFunctionList") : nullptr);
  CK_FUNCTION_LIST_PTR f = nullptr;
  if (!getList || getList(&f) != CKR_OK) finish("loading the module");
  CK_C_INITIALIZE_ARGS args = {};
  args.flags = CKF_OS_LOCKING_OK;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE anchor = 0;
  if (f->C_Initialize(&args) != CKR_OK) finish("C_Initialize");
  if (!findSlot(f, slot)) finish("no token labelled \"load bench\"");
  if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &anchor) != CKR_OK ||
      f->C_Login(anchor, CKU_USER, kPin, 6) != CKR_OK)
    finish("the login");

  char byte = 1;
  if (write(ready, &byte, 1) != 1 || read(go, &byte, 1) != 0) finish("the start signal");
  std::atomic<bool> stop{false};
  std::vector<Thread> workers(threads, Thread{f, slot, {}});
  std::vector<std::thread> running;
  for (Thread &w : workers) running.emplace_back([&w, &stop] { w.run(stop); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  total.rssFirstKb = residentKb();
  std::this_thread::sleep_for(std::chrono::seconds(seconds > 1 ? seconds - 1 : 0));
  total.rssLastKb = residentKb();
  stop = true;
  for (std::thread &t : running) t.join();
  for (const Thread &w : workers) {
    total.rounds += w.tally.rounds;
    if (w.tally.errors && !total.errors) std::memcpy(total.firstError, w.tally.firstError, sizeof total.firstError);
    total.errors += w.tally.errors;
  }
  f->C_CloseAllSessions(slot);
  f->C_Finalize(nullptr);
  finish(nullptr);
}

// One round of the given ways at once (one way, or all side by side): all
// processes set up first, then start together; each way's tallies summed.
// Process p of way w uses token copy w * processes + p.
std::vector<Tally> runRound(const std::vector<Way> &ways, const fs::path &work, unsigned processes, unsigned threads,
                            unsigned seconds) {
  int ready[2], go[2];
  if (pipe(ready) || pipe(go)) std::exit(1);
  std::vector<int> out(ways.size());
  std::vector<pid_t> children;
  for (size_t w = 0; w < ways.size(); ++w) {
    int tally[2];
    if (pipe(tally)) std::exit(1);
    for (unsigned i = 0; i < processes; ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        close(go[1]);
        process(ways[w], work, static_cast<unsigned>(w) * processes + i, threads, seconds, ready[1],
                go[0], tally[1]);
        _exit(0);
      }
      children.push_back(pid);
    }
    close(tally[1]);
    out[w] = tally[0];
  }
  close(go[0]);
  close(ready[1]);
  char byte;
  for (size_t i = 0; i < children.size(); ++i)
    if (read(ready[0], &byte, 1) != 1) break;  // a process that failed its set-up reports so below
  close(go[1]);  // the start signal
  std::vector<Tally> sums(ways.size());
  for (size_t w = 0; w < ways.size(); ++w) {
    Tally one;
    while (read(out[w], &one, sizeof one) == sizeof one) {
      sums[w].rounds += one.rounds;
      sums[w].rssFirstKb += one.rssFirstKb;
      sums[w].rssLastKb += one.rssLastKb;
      if (one.errors && !sums[w].errors) std::memcpy(sums[w].firstError, one.firstError, sizeof one.firstError);
      sums[w].errors += one.errors;
    }
    close(out[w]);
  }
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  close(ready[0]);
  return sums;
}

// Token directories, one per process, all copies of one token with one P-256
// key, and a p11-kit user configuration that leaves only SoftHSM2 to the proxy.
void prepare(const fs::path &work, unsigned processes) {
  fs::path first = work / "0";
  fs::create_directories(first / "tokens");
  std::ofstream(first / "softhsm2.conf") << "directories.tokendir = " << (first / "tokens").string()
                                          << "\nobjectstore.backend = file\nlog.level = ERROR\n";
  std::string env = "SOFTHSM2_CONF=" + (first / "softhsm2.conf").string() + " ";
  std::string init = env + "softhsm2-util --init-token --free --label '" + kLabel +
                     "' --pin 123456 --so-pin 12345678 >/dev/null && " + env + "pkcs11-tool --module " + kSoftHsm +
                     " --token-label '" + kLabel +
                     "' --login --pin 123456 --keypairgen --key-type EC:prime256v1 --label key >/dev/null";
  if (std::system(init.c_str()) != 0) {
    std::fprintf(stderr, "load_bench: could not make the token\n");
    std::exit(1);
  }
  for (unsigned i = 1; i < processes; ++i) {
    fs::path copy = work / std::to_string(i);
    fs::create_directories(copy);
    fs::copy(first / "tokens", copy / "tokens", fs::copy_options::recursive);
    std::ofstream(copy / "softhsm2.conf") << "directories.tokendir = " << (copy / "tokens").string()
                                           << "\nobjectstore.backend = file\nlog.level = ERROR\n";
  }
  fs::path modules = work / "home" / ".config" / "pkcs11" / "modules";
  fs::create_directories(modules);
  std::ofstream(modules / "softhsm2.module") << "module: " << kSoftHsm << "\n";
  for (const char *other : {"opensc-pkcs11.module", "p11-kit-trust.module"})
    std::ofstream(modules / other) << "enable-in: no-such-program\n";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: load_bench ROUTER_MODULE [processes threads seconds rounds [together]]\n");
    return 2;
  }
  auto arg = [&](int i, unsigned fallback) { return argc > i ? static_cast<unsigned>(std::atoi(argv[i])) : fallback; };
  unsigned processes = arg(2, 8), threads = arg(3, 4), seconds = arg(4, 5), rounds = arg(5, 3);
  // Side by side, the ways share whatever else the machine runs alike.
  bool together = argc > 6 && std::strcmp(argv[6], "together") == 0;
  std::vector<Way> ways = {{"router", argv[1]},
                           {"SoftHSM2 alone", kSoftHsm},
                           {"p11-kit proxy", kProxy},
                           {"router, hosted", argv[1], true}};
  char pattern[] = "/tmp/tokenhub-load-XXXXXX";
  fs::path work = mkdtemp(pattern);
  prepare(work, processes * static_cast<unsigned>(ways.size()));

  std::vector<Tally> totals(ways.size());
  std::printf("%u processes x %u threads per way, %u rounds of %u s, the ways %s\n", processes, threads, rounds,
              seconds, together ? "side by side" : "in turn");
  auto add = [&](size_t w, unsigned round, const Tally &t) {
    std::printf("  round %u %-16s %10.0f rounds/s  %lu errors%s%s  memory %lu -> %lu kB\n", round, ways[w].name,
                static_cast<double>(t.rounds) / seconds, t.errors, t.errors ? ", first " : "", t.firstError,
                t.rssFirstKb, t.rssLastKb);
    std::fflush(stdout);
    totals[w].rounds += t.rounds;
    totals[w].errors += t.errors;
  };
  for (unsigned r = 0; r < rounds; ++r) {
    if (together) {
      std::vector<Tally> t = runRound(ways, work, processes, threads, seconds);
      for (size_t w = 0; w < ways.size(); ++w) add(w, r + 1, t[w]);
      continue;
    }
    for (size_t k = 0; k < ways.size(); ++k) {
      size_t w = (k + r) % ways.size();  // each way first in turn
      add(w, r + 1, runRound({ways[w]}, work, processes, threads, seconds)[0]);
    }
  }
  std::vector<double> rate(ways.size());
  unsigned long errors = 0;
  std::printf("\n%-16s %12s %8s\n", "way", "rounds/s", "errors");
  for (size_t w = 0; w < ways.size(); ++w) {
    rate[w] = static_cast<double>(totals[w].rounds) / (seconds * rounds);
    errors += totals[w].errors;
    std::printf("%-16s %12.0f %8lu\n", ways[w].name, rate[w], totals[w].errors);
  }
  double alone = rate[0] / rate[1], proxy = rate[0] / rate[2];
  std::printf("\nrouter / SoftHSM2 alone  %.3f  (goal at least 0.97: %s)\n", alone, alone >= 0.97 ? "met" : "not met");
  std::printf("router / p11-kit proxy   %.3f  (goal at least 1.00: %s)\n", proxy, proxy >= 1.0 ? "met" : "not met");
  std::printf("router, hosted / router  %.3f\n", rate[3] / rate[0]);
  std::printf("errors                   %lu\n", errors);
  fs::remove_all(work);
  return errors ? 1 : 0;
}
