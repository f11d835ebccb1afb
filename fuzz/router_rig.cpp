#include "router_rig.h"

#include "module/entrypoints.h"
#include "calls/init.h"

namespace fuzzrig {

namespace {

void keepLoaded(void *) {}

}  // namespace

void installRig() {
  // The router's locks exist from process attach on, as in the shipped module.
  static const bool attached = (tokenhub::routerProcessAttach(), true);
  (void)attached;
  static tokenhub::ModuleApi loader{};
  loader.load = tokenhub::platformModules().load;
  loader.symbol = tokenhub::platformModules().symbol;
  loader.unload = keepLoaded;
  testkit::FakePcsc::get().install();
  testkit::SleepRecorder::install();
  tokenhub::setModuleApi(&loader);
}

CK_SESSION_HANDLE sessionOnFamily1Card() {
  static CK_SESSION_HANDLE session = [] {
    installRig();
    mock::mockReset();
    testkit::FakePcsc &pcsc = testkit::FakePcsc::get();
    pcsc.addReader("Rd");
    pcsc.insert("Rd", testkit::kAtrFamily1);
    for (uint32_t role = 1; role <= mock::kRoles; ++role)
      mock::mockAddSlot(role, 7, "Rd", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    CK_SESSION_HANDLE h = 0;
    FUZZ_CHECK(C_Initialize(nullptr) == CKR_OK);
    FUZZ_CHECK(C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h) == CKR_OK);
    return h;
  }();
  return session;
}

}  // namespace fuzzrig
