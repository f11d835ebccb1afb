#include "fake_pcsc.h"

#include <cstring>
#include <mutex>

namespace testkit {

using tokenhub::PcscCard;
using tokenhub::PcscContext;
using tokenhub::PcscResult;
using tokenhub::ReaderState;

const std::vector<uint8_t> kAtrFamily1 = {0x3B, 0xB7, 0x94, 0x00, 0x81, 0x31, 0xFE, 0x65,
                                          0x53, 0x50, 0x4B, 0x32, 0x33, 0x90, 0x00, 0xD1};
const std::vector<uint8_t> kAtrFamily2 = {0x3B, 0xBB, 0x18, 0x00, 0xC0, 0x10, 0x31, 0xFE, 0x45, 0x80,
                                          0x67, 0x04, 0x12, 0xB0, 0x03, 0x03, 0x00, 0x00, 0x81, 0x05, 0x3C};
const std::vector<uint8_t> kAtrFamily2b = {0x3B, 0x9F, 0x96, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x07,
                                           0x00, 0x64, 0x05, 0x1E, 0xB2, 0x00, 0x31, 0xB0, 0x73,
                                           0x96, 0x21, 0xDB, 0x05, 0x90, 0x00, 0x5C};

namespace {

FakePcsc &fake() { return FakePcsc::get(); }

PcscResult establishContext(PcscContext *context) {
  ++fake().establishCalls;
  if (fake().establishResult != 0) return fake().establishResult;
  *context = fake().issuedContext = 0x5C0000 + fake().establishCalls;
  return 0;
}

PcscResult releaseContext(PcscContext context) {
  ++fake().releaseCalls;
  fake().lastReleased = context;
  return 0;
}

// Application threads of the concurrency tests query the card at once.
std::mutex statusLock;

PcscResult getStatusChange(PcscContext, uint32_t timeoutMs, ReaderState *states, uint32_t count) {
  std::lock_guard<std::mutex> hold(statusLock);
  ++fake().statusChangeCalls;
  fake().timeouts.push_back(timeoutMs);
  if (fake().statusChangeResult != 0) return fake().statusChangeResult;
  for (uint32_t i = 0; i < count; ++i) {
    auto it = fake().readers.find(states[i].reader ? states[i].reader : "");
    if (it == fake().readers.end()) return kScardEUnknownReader;
    const FakeReader &r = it->second;
    states[i].eventState = r.present ? tokenhub::kScardStatePresent : 0x10 /* empty */;
    states[i].atrLength = r.present ? static_cast<uint32_t>(r.atr.size()) : 0;
    if (r.present && !r.atr.empty()) std::memcpy(states[i].atr, r.atr.data(), r.atr.size());
  }
  return 0;
}

PcscResult notAvailable() { return kScardENoService; }

const tokenhub::PcscApi api = {
    establishContext,
    releaseContext,
    getStatusChange,
    [](PcscContext, const char *, uint32_t, uint32_t, PcscCard *, uint32_t *) { return notAvailable(); },
    [](PcscCard) { return notAvailable(); },
    [](PcscCard, uint32_t) { return notAvailable(); },
    [](PcscCard, char *, uint32_t *, uint32_t *, uint32_t *, uint8_t *, uint32_t *) { return notAvailable(); },
    [](PcscCard, uint32_t, uint32_t, uint32_t, uint32_t *) { return notAvailable(); },
    [](PcscCard, uint32_t, const uint8_t *, uint32_t, uint8_t *, uint32_t *) { return notAvailable(); },
    [](PcscCard, uint32_t) { return notAvailable(); },
};

}  // namespace

FakePcsc &FakePcsc::get() {
  static FakePcsc instance;
  return instance;
}

void FakePcsc::install() {
  reset();
  tokenhub::setPcscApi(&api);
}

void FakePcsc::reset() { *this = FakePcsc(); }

void FakePcsc::addReader(const std::string &name) { readers[name]; }

void FakePcsc::insert(const std::string &name, const std::vector<uint8_t> &atr) {
  FakeReader &r = readers[name];
  r.present = true;
  r.atr = atr;
}

void FakePcsc::remove(const std::string &name) {
  FakeReader &r = readers[name];
  r.present = false;
  r.atr.clear();
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
