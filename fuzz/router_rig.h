// The router inside a fuzzer's process: the scripted card service in place
// of PC/SC, the mock backend modules from the test folder, and a reader of
// the fuzz input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fake_pcsc.h"
#include "mockctl.h"
#include "state/state.h"

namespace fuzzrig {

// The card service and the module loader for the router; the modules stay
// loaded for good, because libFuzzer cannot survive the unloading of
// instrumented code. Sleeps are only counted.
void installRig();

// Once per process: reader "Rd" known to all four modules as their slot 7,
// a card of family 1 in it, the router initialised and one session open on
// the common slot (served by role 1). Returns that session.
CK_SESSION_HANDLE sessionOnFamily1Card();

// Takes the fuzz input piece by piece; past its end every piece is zero.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
  uint32_t u32() { return u16() | u16() << 16; }
  std::vector<uint8_t> bytes(size_t n) {
    size_t take = n < size_ - at_ ? n : size_ - at_;
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + take);
    at_ += take;
    return out;
  }
  bool empty() const { return at_ >= size_; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzzrig

// A broken promise of the router: stop at once, with the fuzzer's report.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) __builtin_trap(); \
  } while (0)
