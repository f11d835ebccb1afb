#include "serialcard.h"

#include <cctype>

namespace testkit {

namespace {

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSelectEfForm1 = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x01};
const Bytes kSelectEfForm2 = {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x2F, 0x01};

Bytes statusWord(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }

}  // namespace

Bytes SerialCard::answer(const Bytes &apdu) const {
  if (apdu == kSelectMf) return statusWord(mfStatus);
  if (apdu == kSelectEfForm1) return statusWord(layout == 1 ? 0x9000 : refusal);
  if (apdu == kSelectEfForm2) return statusWord(layout == 2 ? 0x9000 : refusal);
  if (apdu.size() == 5 && apdu[0] == 0x00 && apdu[1] == 0xB0) {
    if (layout == 0) return statusWord(0x6986);  // no current EF
    size_t offset = static_cast<size_t>(apdu[2] << 8 | apdu[3]);
    size_t wanted = apdu[4] ? apdu[4] : 256;
    if (offset > file.size()) return statusWord(0x6B00);
    size_t n = file.size() - offset < wanted ? file.size() - offset : wanted;
    Bytes out(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + n));
    // A file shorter than asked for ends with the warning "end of file reached".
    Bytes sw = statusWord(n < wanted ? 0x6282 : 0x9000);
    out.insert(out.end(), sw.begin(), sw.end());
    return out;
  }
  if (apdu.size() >= 2 && apdu[1] == 0xA4) return statusWord(refusal);
  return statusWord(0x6D00);  // instruction not supported
}

Bytes fromHex(const std::string &hex) {
  Bytes out;
  int high = -1;
  for (char ch : hex) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (!std::isxdigit(c)) continue;
    int v = std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

std::string toHex(const Bytes &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

Bytes serialFile(const Bytes &first5, const Bytes &bytes13to15) {
  Bytes file(20, 0xEE);
  for (size_t i = 0; i < first5.size() && i < 5; ++i) file[i] = first5[i];
  for (size_t i = 0; i < bytes13to15.size() && i < 3; ++i) file[13 + i] = bytes13to15[i];
  return file;
}

}  // namespace testkit
