// What the router adds to a call: the same operations on one SoftHSM2 token,
// side by side, directly and through tokenhub (linked in, with the scripted
// card service showing a family-1 card in the token's reader), first with
// nearly empty tables and then with 1000 sessions open and 4000 objects
// mapped, the measured session and key in the rows behind them all, and prints
// each call's two router/direct ratios side by side.
//
//   router_bench [iterations]      (run with the SoftHSM2-backed module on the
//                                   loader path, see bench/CMakeLists.txt)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fake_pcsc.h"
#include "module/entrypoints.h"
#include "calls/init.h"
#include "handles/objects.h"
#include "handles/sessions.h"

using namespace tokenhub;

namespace {

CK_UTF8CHAR kPin[] = "123456";

void check(CK_RV rv, const char *what) {
  if (rv == CKR_OK) return;
  std::fprintf(stderr, "%s failed: 0x%lx\n", what, static_cast<unsigned long>(rv));
  std::exit(1);
}

// Nanoseconds per call of two ways of doing the same, the least of nine
// rounds of `iterations` calls each, the two ways' rounds taking turns: on a
// busy machine the least is what the calls themselves cost, and taking turns
// gives both ways the same neighbours.
std::pair<double, double> timeBoth(unsigned iterations, const std::function<void()> &first,
                                   const std::function<void()> &second) {
  double least[2] = {1e300, 1e300};
  for (int round = 0; round < 9; ++round)
    for (int way = 0; way < 2; ++way) {
      auto start = std::chrono::steady_clock::now();
      for (unsigned i = 0; i < iterations; ++i) (way == 0 ? first : second)();
      std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
      least[way] = std::min(least[way], spent.count() / iterations);
    }
  return {least[0], least[1]};
}

// One way of reaching the token: a function list, a slot and a session with its key.
struct Path {
  CK_FUNCTION_LIST_PTR f;
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE key = 0;

  void open() { check(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "open"); }
  void findKey() {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byClass = {CKA_CLASS, &cls, sizeof cls};
    CK_ULONG count = 0;
    check(f->C_FindObjectsInit(session, &byClass, 1), "find init");
    check(f->C_FindObjects(session, &key, 1, &count), "find");
    check(f->C_FindObjectsFinal(session), "find final");
    if (count != 1) check(CKR_GENERAL_ERROR, "finding the key");
  }
};

struct Operation {
  const char *name;
  unsigned divisor;  // slow operations run fewer times
  std::function<void(Path &)> run;
};

std::vector<Operation> operations() {
  return {
      {"C_GetSessionInfo", 1,
       [](Path &p) {
         CK_SESSION_INFO info;
         check(p.f->C_GetSessionInfo(p.session, &info), "session info");
       }},
      {"C_GenerateRandom(32)", 1,
       [](Path &p) {
         CK_BYTE random[32];
         check(p.f->C_GenerateRandom(p.session, random, sizeof random), "random");
       }},
      {"FindObjects init/find/final", 4, [](Path &p) { p.findKey(); }},
      {"ECDSA P-256 sign", 50,
       [](Path &p) {
         CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
         CK_BYTE hash[32] = {1, 2, 3}, signature[64];
         CK_ULONG length = sizeof signature;
         check(p.f->C_SignInit(p.session, &ecdsa, p.key), "sign init");
         check(p.f->C_Sign(p.session, hash, sizeof hash, signature, &length), "sign");
       }},
      {"C_OpenSession + C_CloseSession", 20,
       [](Path &p) {
         CK_SESSION_HANDLE h;
         check(p.f->C_OpenSession(p.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h), "open");
         check(p.f->C_CloseSession(h), "close");
       }},
  };
}

// Nanoseconds per call of each operation, directly and through the router.
struct Figures {
  std::vector<double> direct, routed;
};

Figures measure(unsigned iterations, Path &direct, Path &routed) {
  Figures f;
  for (Operation &op : operations()) {
    unsigned n = std::max(1u, iterations / op.divisor / 2);
    std::pair<double, double> ns = timeBoth(n, [&] { op.run(direct); }, [&] { op.run(routed); });
    f.direct.push_back(ns.first);
    f.routed.push_back(ns.second);
  }
  return f;
}

// Each call's router/direct ratio with full tables beside the one with
// nearly empty tables; full tables should cost at most 1.5 times as much.
void report(const Figures &empty, const Figures &full) {
  std::printf("\n%-32s %10s %10s %7s %10s %10s %7s %11s\n", "operation", "direct ns", "router ns", "ratio",
              "direct ns", "router ns", "ratio", "full/empty");
  std::printf("%-32s %29s %29s\n", "", "nearly empty tables", "1000 sessions, 4000 objects");
  std::vector<Operation> ops = operations();
  bool met = true;
  for (size_t i = 0; i < ops.size(); ++i) {
    double e = empty.routed[i] / empty.direct[i], f = full.routed[i] / full.direct[i];
    met = met && f <= 1.5 * e;
    std::printf("%-32s %10.0f %10.0f %7.2f %10.0f %10.0f %7.2f %10.2f%s\n", ops[i].name, empty.direct[i],
                empty.routed[i], e, full.direct[i], full.routed[i], f, f / e, f <= 1.5 * e ? "" : " *");
  }
  std::printf("\nfull/empty at most 1.5 for every call: %s\n", met ? "yes" : "no (marked *)");
}

}  // namespace

int main(int argc, char **argv) {
  unsigned iterations = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 20000;
  routerProcessAttach();

  char pattern[] = "/tmp/tokenhub-bench-XXXXXX";
  std::filesystem::path dir = mkdtemp(pattern);
  std::filesystem::create_directory(dir / "tokens");
  std::ofstream(dir / "softhsm2.conf") << "directories.tokendir = " << (dir / "tokens").string()
                                        << "\nobjectstore.backend = file\nlog.level = ERROR\n";
  setenv("SOFTHSM2_CONF", (dir / "softhsm2.conf").c_str(), 1);
  if (std::system("softhsm2-util --init-token --free --label bench --pin 123456 --so-pin 12345678 >/dev/null"))
    check(CKR_GENERAL_ERROR, "softhsm2-util");

  testkit::FakePcsc::get().install();
  testkit::FakePcsc::get().addReader("Virtual PCD 00 00");
  testkit::FakePcsc::get().insert("Virtual PCD 00 00", testkit::kAtrFamily1);
  check(C_Initialize(nullptr), "router initialisation");  // loads and initialises SoftHSM2 as role 1

  // The same SoftHSM2 instance, already initialised by the router's backend.
  void *library = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW);
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(library ? dlsym(library, "C_GetFunctionList") : nullptr);
  Path direct{nullptr, router.slotTable[0].backendSlotFamily1};
  if (!getList) check(CKR_GENERAL_ERROR, "loading SoftHSM2");
  check(getList(&direct.f), "SoftHSM2 function list");
  Path routed{nullptr, 1};
  check(C_GetFunctionList(&routed.f), "router function list");

  direct.open();
  check(direct.f->C_Login(direct.session, CKU_USER, kPin, 6), "login");
  CK_MECHANISM gen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE pubTemplate[] = {{CKA_EC_PARAMS, p256, sizeof p256}, {CKA_TOKEN, &yes, sizeof yes}};
  CK_ATTRIBUTE privTemplate[] = {{CKA_SIGN, &yes, sizeof yes}, {CKA_TOKEN, &yes, sizeof yes}};
  CK_OBJECT_HANDLE pub, priv;
  check(direct.f->C_GenerateKeyPair(direct.session, &gen, pubTemplate, 2, privTemplate, 2, &pub, &priv), "key pair");
  direct.findKey();
  routed.open();
  routed.findKey();

  std::printf("tokenhub against SoftHSM2 directly, one process, the least of 9 rounds of %u calls per way\n"
              "(fewer for slow calls), the two ways' rounds taking turns\n",
              iterations / 2);
  Figures empty = measure(iterations, direct, routed);

  // 1000 sessions and 4000 objects in the rows before the measured ones.
  check(C_CloseSession(routed.session), "close");  // row 0 free; the slot's objects go
  std::vector<CK_SESSION_HANDLE> fillers(1000);
  for (CK_SESSION_HANDLE &h : fillers) check(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), "filler");
  for (CK_ULONG i = 0; i < 4000; ++i)
    if (!mapObject(&router.slotTable[1], 0x70000000 + i)) check(CKR_GENERAL_ERROR, "filler object");
  CK_SESSION_HANDLE rowZero;
  check(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &rowZero), "row 0");
  routed.open();
  routed.findKey();
  report(empty, measure(iterations, direct, routed));

  C_Finalize(nullptr);
  std::filesystem::remove_all(dir);
  return 0;
}
