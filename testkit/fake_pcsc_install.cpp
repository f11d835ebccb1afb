// Putting the scripted card service and the sleep recorder in the router's
// place; apart from the rest so that a card service built without the router
// (the winscard double) does not pull in the platform's PC/SC.
#include "fake_pcsc.h"

namespace testkit {

void FakePcsc::install() {
  reset();
  tokenhub::setPcscApi(&fakePcscApi());
}

std::vector<uint32_t> &SleepRecorder::sleeps() {
  static std::vector<uint32_t> recorded;
  return recorded;
}

void SleepRecorder::install() {
  sleeps().clear();
  tokenhub::setSleepHook([](uint32_t ms) { sleeps().push_back(ms); });
}

}  // namespace testkit
