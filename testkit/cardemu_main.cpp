// cardemu: puts an emulated card into a vpcd reader until standard input
// closes or the process is ended.
//   cardemu [--port 35963] [--atr "3B B7 ..."]
// Commands it receives are printed as hex lines on standard output.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cardemu.h"

int main(int argc, char **argv) {
  uint16_t port = testkit::CardEmulator::kReader0Port;
  std::string atr = "3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--port")) port = static_cast<uint16_t>(std::stoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--atr")) atr = argv[i + 1];
  }
  testkit::CardEmulator emulator(port);
  testkit::EmulatedCard card{testkit::fromHex(atr.c_str()), nullptr};
  if (!emulator.insert(card)) {
    std::fprintf(stderr, "cardemu: cannot reach vpcd on port %u\n", port);
    return 1;
  }
  std::printf("cardemu: card inserted on port %u\n", port);
  std::fflush(stdout);
  char buffer[256];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  emulator.remove();
  return 0;
}
