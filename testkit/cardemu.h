// A smart card on the virtual reader: a client of the vpcd driver of pcscd.
// While connected, the reader holds a card with the given ATR; every command
// (APDU) is answered by the card's answer function. Closing the connection
// removes the card.
//
// vpcd speaks in messages of a 2-byte big-endian length and a payload. A
// one-byte payload is a control: 0 power off, 1 power on, 2 reset, 4 ATR
// request (answered with the ATR). Any longer payload is an APDU, answered
// with response data and status word.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

struct EmulatedCard {
  Bytes atr;
  // Answers one APDU; by default "instruction not supported" (6D 00).
  std::function<Bytes(const Bytes &)> answer;
};

class CardEmulator {
 public:
  static constexpr uint16_t kReader0Port = 35963;  // "Virtual PCD 00 00"
  static constexpr uint16_t kReader1Port = 35964;  // "Virtual PCD 00 01"

  explicit CardEmulator(uint16_t port = kReader0Port, const char *host = "127.0.0.1");
  ~CardEmulator();
  CardEmulator(const CardEmulator &) = delete;
  CardEmulator &operator=(const CardEmulator &) = delete;

  // Connects to vpcd; false when it cannot (no pcscd with vpcd listening).
  bool insert(const EmulatedCard &card);
  void remove();
  bool inserted() const { return socket_ >= 0; }

  // Every APDU received since insertion, in order.
  std::vector<Bytes> commands();

 private:
  void serve();
  Bytes respond(const Bytes &message);

  uint16_t port_;
  const char *host_;
  int socket_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread worker_;
  EmulatedCard card_;
  std::mutex lock_;
  std::vector<Bytes> commands_;
};

Bytes fromHex(const char *hex);  // "3B 9F ..." or "3B9F..."; ignores blanks

}  // namespace testkit
