// A scripted card service for the unit suites: named readers, each empty or
// holding a card with an ATR; any call can be made to fail. Installed in
// place of the platform's PC/SC with install().
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace testkit {

constexpr tokenhub::PcscResult kScardEUnknownReader = static_cast<tokenhub::PcscResult>(0x80100009);
constexpr tokenhub::PcscResult kScardENoService = static_cast<tokenhub::PcscResult>(0x8010001D);

struct FakeReader {
  bool present = false;
  std::vector<uint8_t> atr;
};

class FakePcsc {
 public:
  static FakePcsc &get();
  void install();  // becomes the router's PC/SC, after a reset
  void reset();

  void addReader(const std::string &name);
  void insert(const std::string &name, const std::vector<uint8_t> &atr);
  void remove(const std::string &name);

  std::map<std::string, FakeReader> readers;
  tokenhub::PcscResult establishResult = 0;
  tokenhub::PcscResult statusChangeResult = 0;  // a failure here answers every status query
  int establishCalls = 0;
  int releaseCalls = 0;
  int statusChangeCalls = 0;
  tokenhub::PcscContext issuedContext = 0;
  tokenhub::PcscContext lastReleased = 0;
  std::vector<uint32_t> timeouts;  // of each status query
};

// Well-known ATRs.
extern const std::vector<uint8_t> kAtrFamily1;  // pattern 1, complete
extern const std::vector<uint8_t> kAtrFamily2;  // pattern 2 with more historical bytes
extern const std::vector<uint8_t> kAtrFamily2b; // pattern 3 with more bytes

// A sleep hook that only counts: installs itself and records every pause.
struct SleepRecorder {
  static std::vector<uint32_t> &sleeps();
  static void install();
};

}  // namespace testkit
