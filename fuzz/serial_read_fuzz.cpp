// The card's answers to the serial read, through the scripted card service:
// C_GetTokenInfo on a family-1 card whose every APDU response (or transmit
// failure), transaction start and status query come from the input. The
// token information must stay the backend's or carry a well-formed serial,
// and the card connection must be closed whatever the card answered.
#include <cstring>
#include <string>

#include "router_rig.h"

using namespace testkit;

namespace {

// The four commands of the serial read, as the card sees them.
const Bytes kCommands[] = {
    {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},  // SELECT MF
    {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x01},  // SELECT EF 2F01 by identifier
    {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x2F, 0x01},  // SELECT EF 2F01 under the current DF
    {0x00, 0xB0, 0x00, 0x00, 0x14},              // READ BINARY, 20 bytes
};

const tokenhub::PcscResult kOutcomes[] = {0, static_cast<tokenhub::PcscResult>(0x80100068) /* reset card */,
                                          kScardESharingViolation, kScardECommError, kScardENoSmartcard};

// Results for a transaction start or status query: up to three from the input.
void scriptResults(fuzzrig::Input &in, Script &script) {
  script = Script{};
  uint8_t n = in.byte() % 4;
  for (uint8_t i = 0; i < n; ++i) script.next.push_back(kOutcomes[in.byte() % 5]);
}

bool blankFrom(const unsigned char *field, size_t from, size_t size) {
  for (size_t i = from; i < size; ++i)
    if (field[i] != ' ') return false;
  return true;
}

bool padded(const unsigned char *field, size_t size, const char *text) {
  size_t n = std::strlen(text);
  return std::memcmp(field, text, n) == 0 && blankFrom(field, n, size);
}

// Upper-case hex digits of a length the two layouts give, then blanks.
size_t serialDigits(const unsigned char *field, size_t size) {
  size_t n = 0;
  while (n < size && ((field[n] >= '0' && field[n] <= '9') || (field[n] >= 'A' && field[n] <= 'F'))) ++n;
  return blankFrom(field, n, size) ? n : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzrig::sessionOnFamily1Card();
  fuzzrig::Input in(data, size);
  FakePcsc &pcsc = FakePcsc::get();
  FakeReader &reader = pcsc.reader("Rd");
  uint8_t flags = in.byte();
  reader.connect = Script{};
  if (flags & 1) reader.connect.next.push_back(kOutcomes[in.byte() % 5]);
  scriptResults(in, reader.begin);
  scriptResults(in, reader.status);
  reader.activeProtocol = flags & 2 ? 1u /* T=0 */ : tokenhub::kScardProtocolT1;
  const char *backendModel = flags & 4 ? "LumeraSecure 3.2" : "Mock model 1";
  std::strcpy(mock::mockToken(1)->model, backendModel);
  reader.answers.clear();
  reader.transmitFailures.clear();
  for (const Bytes &command : kCommands) {
    uint8_t length = in.byte();
    if (length == 0xFF)
      reader.transmitFailures[command] = kScardECommError;
    else
      reader.answers[command] = in.bytes(length);
  }
  pcsc.calls.clear();
  SleepRecorder::sleeps().clear();

  CK_TOKEN_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  FUZZ_CHECK(C_GetTokenInfo(1, &info) == CKR_OK);
  FUZZ_CHECK(pcsc.cards.empty());  // the card connection was closed
  FUZZ_CHECK(padded(info.label, sizeof info.label, "Mock token 1"));
  if (padded(info.serialNumber, sizeof info.serialNumber, "MOCK0001")) {
    FUZZ_CHECK(padded(info.model, sizeof info.model, backendModel));  // no serial, nothing changed
  } else {
    size_t digits = serialDigits(info.serialNumber, sizeof info.serialNumber);
    FUZZ_CHECK(digits == 8 || digits == 10 || digits == 16);
    FUZZ_CHECK(padded(info.model, sizeof info.model, flags & 4 ? backendModel : "LumeraSecure 2.0"));
  }
  return 0;
}
