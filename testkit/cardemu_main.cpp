// cardemu: an emulated card for a vpcd reader of pcscd, for trying the
// router by hand and for scripted tests.
//
//   cardemu [options]
//     --reader 0|1        the reader: "Virtual PCD 00 00" (default) or "... 00 01"
//     --port N            the vpcd port instead (35963 is reader 0, 35964 reader 1)
//     --atr HEX           the ATR; "" gives an empty one (default: the Starcos 2.3 card)
//     --layout 0|1|2      serial file EF 2F01: 1 selected by file id (default),
//                         2 only as EF under the MF, 0 none
//     --serial HEX        the serial file's contents (default 20 bytes, 1A 2B 3C 4D 5E ...)
//     --mf-status HEX     status word answered to SELECT MF (default 9000)
//     --refusal HEX       status word of a refused selection (default 6A82)
//     --removed           start with the card out of the reader
//
// Standard input takes one command per line while the card runs:
//   insert | remove | atr HEX | serial HEX | layout N | quit
// End of input quits as well. Each command answers "ok" or "error ..." on
// standard output, and every APDU received is printed there as "apdu HEX".
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "cardemu.h"

namespace {

using testkit::Bytes;
using testkit::fromHex;

uint16_t statusWord(const std::string &hex) {
  Bytes b = fromHex(hex);
  return b.size() == 2 ? static_cast<uint16_t>(b[0] << 8 | b[1]) : 0x6F00;
}

// The card model's answers, each command printed as it comes (from the
// emulator's thread).
std::function<Bytes(const Bytes &)> traced(const testkit::SerialCard &model) {
  return [model](const Bytes &apdu) {
    std::printf("apdu %s\n", testkit::toHex(apdu).c_str());
    std::fflush(stdout);
    return model.answer(apdu);
  };
}

int usage() {
  std::fprintf(stderr,
               "usage: cardemu [--reader 0|1] [--port N] [--atr HEX] [--layout 0|1|2] [--serial HEX]\n"
               "               [--mf-status HEX] [--refusal HEX] [--removed]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  uint16_t port = testkit::CardEmulator::kReader0Port;
  testkit::EmulatedCard card{fromHex("3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1")};
  card.card.file = testkit::serialFile(fromHex("1A 2B 3C 4D 5E"));
  bool inserted = true;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--removed") {
      inserted = false;
      continue;
    }
    if (i + 1 >= argc) return usage();
    std::string value = argv[++i];
    if (option == "--reader") port = static_cast<uint16_t>(testkit::CardEmulator::kReader0Port + std::stoi(value));
    else if (option == "--port") port = static_cast<uint16_t>(std::stoi(value));
    else if (option == "--atr") card.atr = fromHex(value);
    else if (option == "--layout") card.card.layout = std::stoi(value);
    else if (option == "--serial") card.card.file = fromHex(value);
    else if (option == "--mf-status") card.card.mfStatus = statusWord(value);
    else if (option == "--refusal") card.card.refusal = statusWord(value);
    else return usage();
  }

  testkit::CardEmulator emulator(port);
  card.answer = traced(card.card);
  auto insert = [&] {
    if (emulator.insert(card)) return true;
    std::printf("error: cannot reach vpcd on port %u\n", port);
    std::fflush(stdout);
    return false;
  };
  if (inserted && !insert()) return 1;
  std::printf("ready %s\n", inserted ? "inserted" : "removed");
  std::fflush(stdout);

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command, rest;
    words >> command;
    std::getline(words, rest);
    bool ok = true;
    if (command == "insert") ok = insert();
    else if (command == "remove") emulator.remove();
    else if (command == "quit") break;
    else if (command == "atr") card.atr = fromHex(rest);
    else if (command == "serial") card.card.file = fromHex(rest);
    else if (command == "layout") card.card.layout = std::stoi(rest);
    else {
      std::printf("error: unknown command %s\n", command.c_str());
      ok = false;
    }
    // A changed card takes effect at its next insertion.
    card.answer = traced(card.card);
    if (ok) std::printf("ok\n");
    std::fflush(stdout);
  }
  emulator.remove();
  return 0;
}
