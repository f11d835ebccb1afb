// The usual arrangement of a router unit test: the scripted card service,
// counted sleeps, the four mock modules reset, and the library finalised
// completely after each test.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "fake_pcsc.h"
#include "state/functions.h"
#include "calls/init.h"
#include "mockctl.h"
#include "state/state.h"

namespace testkit {

constexpr uint32_t fn(tokenhub::Fn f) { return static_cast<uint32_t>(f); }

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pcsc().install();
    SleepRecorder::install();
    mock::mockReset();
    tokenhub::setModuleApi(nullptr);
  }
  void TearDown() override {
    while (tokenhub::router.initCount) C_Finalize(nullptr);
    tokenhub::setModuleApi(nullptr);
    tokenhub::setPcscApi(nullptr);
  }

  FakePcsc &pcsc() { return FakePcsc::get(); }
  mock::Control &mocks() { return *mock::mockControl(); }

  // A reader known to PC/SC and reported by the given roles' modules as slot id `id`.
  void addReader(const std::string &name, std::initializer_list<uint32_t> roles, CK_SLOT_ID id = 1,
                 CK_FLAGS flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT) {
    pcsc().addReader(name);
    for (uint32_t role : roles) mock::mockAddSlot(role, id, name.c_str(), flags);
  }

  tokenhub::SlotEntry &row(unsigned index) { return tokenhub::router.slotTable[index]; }
};

}  // namespace testkit
