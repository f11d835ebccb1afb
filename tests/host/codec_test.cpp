// The host protocol's codec and the host's answers to requests it cannot
// serve, without a process: one request fails, with its own result, and a
// reader never takes more than its message holds.
#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "rpc/answer.h"
#include "rpc/calls.h"
#include "rpc/framing.h"
#include "rpc/server.h"

namespace {

using namespace tokenhub::rpc;

CK_RV loginOk(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG) { return CKR_OK; }
CK_RV signInitOk(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return CKR_OK; }
// A module that claims more than the room it was given.
CK_RV overclaims(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR attributes, CK_ULONG) {
  attributes[0].ulValueLen = 1000;
  return CKR_OK;
}

// The result the host answers `body` with (CKR_OK for the call's own answer).
CK_RV answered(const Writer &body, uint8_t version = kProtocolVersion) {
  CK_FUNCTION_LIST module{};
  module.C_Login = loginOk;
  module.C_SignInit = signInitOk;
  module.C_GetAttributeValue = overclaims;
  std::vector<uint8_t> response;
  answer(module, body.bytes(), response, Dialect{version});
  Reader in(response.data(), response.size());
  uint32_t id;
  std::string signature;
  CK_ULONG rv = CKR_OK;
  EXPECT_TRUE(readBodyStart(in, id, signature));
  if (id == kCallError) EXPECT_TRUE(in.ulong(rv));
  if (id == kCallGetAttributeValue) {  // one attribute, its length only, then the result
    uint32_t n, type, length, none;
    uint8_t valid;
    EXPECT_TRUE(in.uint32(n) && in.uint32(type) && in.byte(valid) && in.uint32(length) && in.uint32(none));
    EXPECT_EQ(length, 1000u);
    EXPECT_EQ(none, 0xFFFFFFFFu);
    EXPECT_TRUE(in.ulong(rv));
  }
  return rv;
}

Writer request(uint32_t id, const char *signature, uint8_t version = kProtocolVersion) {
  Writer out(Dialect{version});
  beginBody(out, id, signature);
  out.uint64(1);  // the session
  return out;
}

TEST(HostProtocol, OneRequestFailsWithItsOwnResult) {
  Writer unknown = request(kCallLoginUser, "uuayay");
  EXPECT_EQ(answered(unknown), CKR_FUNCTION_NOT_SUPPORTED);
  // A PIN whose length runs past the message.
  Writer login = request(kCallLogin, "uuay");
  login.uint64(CKU_USER), login.byte(1), login.uint32(5), login.uint32(0x31323334);
  EXPECT_EQ(answered(login), CKR_ARGUMENTS_BAD);
  login.bytes().push_back('5');
  EXPECT_EQ(answered(login), CKR_OK);
}

TEST(HostProtocol, MechanismsTravelInTheLayoutOfTheVersion) {
  CK_ECDH1_DERIVE_PARAMS ecdh{CKD_NULL, 0, nullptr, 3, reinterpret_cast<CK_BYTE_PTR>(const_cast<char *>("abc"))};
  CK_MECHANISM withFields{CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh};
  CK_MECHANISM rawBytes{CKM_CONCATENATE_BASE_AND_KEY, &ecdh, sizeof ecdh};
  CK_MECHANISM plain{CKM_ECDSA, nullptr, 0};
  for (uint8_t version : {0, 1, 2}) {
    SCOPED_TRACE(int{version});
    Writer sign = request(kCallSignInit, "uMu", version);
    ASSERT_EQ(writeMechanism(sign, &plain), CKR_OK);
    sign.uint64(7);
    // The typed layout: the type alone; the older one an empty array after it.
    EXPECT_EQ(sign.bytes().size(), version == 2 ? 31u : 35u);
    EXPECT_EQ(answered(sign, version), CKR_OK);
    Writer derive(Dialect{version});
    EXPECT_EQ(writeMechanism(derive, &withFields), version ? CKR_OK : CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(writeMechanism(derive, &rawBytes), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(writeMechanism(derive, nullptr), version == 2 ? CKR_OK : CKR_ARGUMENTS_BAD);
  }
  // A parameter this side cannot lay out is refused, the connection goes on.
  Writer sign = request(kCallSignInit, "uMu");
  sign.uint32(CKM_CONCATENATE_BASE_AND_KEY), sign.byte(1), sign.byteArray("\x01\x02", 2), sign.uint64(7);
  EXPECT_EQ(answered(sign), CKR_MECHANISM_PARAM_INVALID);
}

using GetAttributeValue = std::tuple_element_t<21, Calls>;
static_assert(GetAttributeValue::id == kCallGetAttributeValue);

// The router's reading of a C_GetAttributeValue answer of one attribute.
CK_RV readOne(CK_ATTRIBUTE &wanted, const Writer &attribute, CK_RV result) {
  Writer body;
  beginBody(body, kCallGetAttributeValue, "aAu");
  body.uint32(1);
  body.bytes().insert(body.bytes().end(), attribute.bytes().begin(), attribute.bytes().end());
  body.uint64(result);
  std::tuple<CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG> args{1, 2, &wanted, 1};
  CK_RV rv = CKR_GENERAL_ERROR;
  EXPECT_TRUE(readAnswer<GetAttributeValue>(body.bytes().data(), body.bytes().size(), Dialect{2}, args, rv));
  return rv;
}

TEST(HostProtocol, AttributeAnswersAsTheStandardAllows) {
  Writer overclaimed = request(kCallGetAttributeValue, "uufA");
  overclaimed.uint64(2), overclaimed.uint32(1), overclaimed.uint32(CKA_VALUE), overclaimed.uint32(16);
  EXPECT_EQ(answered(overclaimed), CKR_BUFFER_TOO_SMALL);
  // A length query of a mechanism list, answered as p11-kit's servers do: the count, no items.
  CK_ATTRIBUTE mechanisms{CKA_ALLOWED_MECHANISMS, nullptr, 0};
  Writer counted;
  counted.uint32(CKA_ALLOWED_MECHANISMS), counted.byte(1), counted.uint32(16), counted.uint32(2);
  EXPECT_EQ(readOne(mechanisms, counted, CKR_OK), CKR_OK);
  EXPECT_EQ(mechanisms.ulValueLen, 2 * sizeof(CK_MECHANISM_TYPE));
  // No value without a result that says why.
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  Writer invalid;
  invalid.uint32(CKA_LABEL), invalid.byte(0);
  EXPECT_EQ(readOne(label, invalid, CKR_OK), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(label.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  // A nested template into the caller's own nested attributes.
  CK_ULONG keyType = 0;
  CK_ATTRIBUTE nested{CKA_KEY_TYPE, &keyType, sizeof keyType};
  CK_ATTRIBUTE wrapTemplate{CKA_WRAP_TEMPLATE, &nested, sizeof nested};
  Writer templated;
  CK_ULONG aes = CKK_AES;
  CK_ATTRIBUTE sent{CKA_KEY_TYPE, &aes, sizeof aes};
  CK_ATTRIBUTE sentTemplate{CKA_WRAP_TEMPLATE, &sent, sizeof sent};
  writeAttribute(templated, sentTemplate);
  EXPECT_EQ(readOne(wrapTemplate, templated, CKR_OK), CKR_OK);
  EXPECT_EQ(keyType, CKK_AES);
  EXPECT_EQ(wrapTemplate.ulValueLen, sizeof nested);
}

TEST(HostProtocol, ReadersStayWithinTheirMessage) {
  // A message inside a larger buffer: an array may not take what follows it.
  const uint8_t bytes[] = {0, 0, 0, 1, 'x', 0, 0, 0, 6, 'a', 'b', 'c', 'd'};
  Reader in(bytes, 11);
  const uint8_t *data;
  uint32_t length;
  EXPECT_TRUE(in.byteArray(data, length));
  EXPECT_FALSE(in.byteArray(data, length));
  // A length-only attribute: the sender's length, in this side's units.
  Writer answer;
  answer.uint32(CKA_MODULUS), answer.byte(1), answer.uint32(256), answer.uint32(0xFFFFFFFFu);
  answer.uint32(CKA_MODULUS_BITS), answer.byte(1), answer.uint32(8), answer.uint64(2048);
  Reader back(answer.bytes().data(), answer.bytes().size());
  Arena arena;
  CK_ATTRIBUTE modulus, bits;
  ASSERT_TRUE(readAttribute(back, arena, modulus) && readAttribute(back, arena, bits));
  EXPECT_EQ(modulus.ulValueLen, 256u);
  EXPECT_EQ(modulus.pValue, nullptr);
  EXPECT_EQ(bits.ulValueLen, sizeof(CK_ULONG));
}

#ifndef _WIN32
// Frames that come in pieces, several in one read, or larger than the
// reader's buffer are each read whole and in order; the pipe's end between
// two frames is its end.
TEST(FrameReader, ReadsEachFrameWholeHoweverItComes) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  std::vector<uint8_t> small{1, 2, 3}, big(100000, 7), bytes = frame(1, small), more = frame(2, big);
  more.insert(more.end(), bytes.begin(), bytes.end());
  std::thread writer([&] {
    auto send = [&](const std::vector<uint8_t> &from, size_t begin, size_t end) {
      EXPECT_EQ(write(ends[1], from.data() + begin, end - begin), static_cast<ssize_t>(end - begin));
      usleep(50000);
    };
    // The first frame in two pieces; the big one and the first again but
    // for their last two bytes; those.
    send(bytes, 0, 5), send(bytes, 5, bytes.size());
    send(more, 0, more.size() - 2), send(more, more.size() - 2, more.size());
    close(ends[1]);
  });
  FrameReader reader(true);
  tokenhub::HostPipe pipe{ends[0], ends[0]};
  uint32_t code;
  std::vector<uint8_t> body;
  for (auto [expected, content] :
       {std::pair<uint32_t, const std::vector<uint8_t> *>{1, &small}, {2, &big}, {1, &small}}) {
    EXPECT_EQ(reader.next(pipe, code, body), FrameReader::Got::Frame);
    EXPECT_EQ(code, expected);
    EXPECT_EQ(body, *content);
  }
  EXPECT_EQ(reader.next(pipe, code, body), FrameReader::Got::End);
  writer.join();
  close(ends[0]);
}
#endif

}  // namespace
