// The card side of the router's serial read, shared by the scripted card
// service, the vpcd card emulator and the winscard double: a card with a
// master file and the serial file EF 2F01 that answers SELECT and READ BINARY.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

struct SerialCard {
  // 1: EF 2F01 is selected by its file identifier (P1 00);
  // 2: only as an EF under the current directory (P1 02), form 1 refused;
  // 0: the card has no serial file.
  int layout = 1;
  Bytes file;                  // EF 2F01; READ BINARY answers up to Le bytes of it
  uint16_t mfStatus = 0x9000;  // answer to SELECT MF
  uint16_t refusal = 0x6A82;   // answer to a selection the card refuses (file not found)

  // Response data and status word for one command.
  Bytes answer(const Bytes &apdu) const;
};

// "3B 9F ..." or "3B9F..."; blanks are ignored.
Bytes fromHex(const std::string &hex);
std::string toHex(const Bytes &bytes);  // "3B9F..."

// A serial file of 20 bytes whose serial bytes (0-4, and 13-15 for layout 2)
// are the given ones and whose other bytes are filler.
Bytes serialFile(const Bytes &first5, const Bytes &bytes13to15 = {});

}  // namespace testkit
