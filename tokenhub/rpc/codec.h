// The wire format of the module host protocol (the RPC that p11-kit's
// remote: modules speak, protocol versions 0 to 2): big-endian integers, CK_ULONG
// always as 64 bits, byte arrays as a 32-bit length (0xFFFFFFFF for none)
// and the bytes, attribute values by the type each attribute holds. Both
// sides of the pipe use these readers and writers; every length read is
// checked against what the message holds, or against a fixed budget for
// buffers the other side asks for, before anything is allocated.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tokenhub/pkcs11.h"

namespace tokenhub::rpc {

// The highest protocol version this side speaks: 1 adds C_InitToken2, 2
// C_DeriveKey2. Each side offers its highest; the server answers the lower.
constexpr uint8_t kProtocolVersion = 2;

// How one connection lays out what the version byte does not name. p11-kit
// changed its mechanism layout in the release that brought version 2, and
// every peer offers its highest version: a connection that agreed on 2 has
// a peer of that generation or later, one that agreed on less a peer from
// before it (docs/internals.md, "The host protocol's generations").
struct Dialect {
  uint8_t version = 0;
  // A mechanism without a parameter travels as its type alone, others with
  // a has-parameter byte first; a buffer template names its nested ones.
  bool typed() const { return version >= 2; }
  // ECDH1, AES-CTR/GCM and the MAC_GENERAL lengths travel by fields (a
  // version 0 peer passes a parameter it does not list as raw bytes).
  bool fielded() const { return version >= 1; }
};
// A message frame: call code, options length, body length (12 bytes), then
// the options and the body.
constexpr size_t kHeaderSize = 12;
// No message and no buffer that one side asks the other to fill is larger:
// a signature, a certificate or a wrapped key fits many times over.
constexpr uint32_t kMaxMessage = 16u << 20;
constexpr uint32_t kMaxOptions = 4096;
constexpr int kMaxNesting = 8;  // attribute templates within templates
// The string that opens C_Initialize, as p11-kit's peers expect it.
constexpr char kHandshake[] = "PRIVATE-GNOME-KEYRING-PKCS11-PROTOCOL-V-1";

// The call ids of the protocol, in its order; 0 answers with an error code.
enum CallId : uint32_t {
  kCallError = 0,
  kCallInitialize, kCallFinalize, kCallGetInfo, kCallGetSlotList, kCallGetSlotInfo, kCallGetTokenInfo,
  kCallGetMechanismList, kCallGetMechanismInfo, kCallInitToken, kCallOpenSession, kCallCloseSession,
  kCallCloseAllSessions, kCallGetSessionInfo, kCallInitPIN, kCallSetPIN, kCallGetOperationState,
  kCallSetOperationState, kCallLogin, kCallLogout, kCallCreateObject, kCallCopyObject, kCallDestroyObject,
  kCallGetObjectSize, kCallGetAttributeValue, kCallSetAttributeValue, kCallFindObjectsInit, kCallFindObjects,
  kCallFindObjectsFinal, kCallEncryptInit, kCallEncrypt, kCallEncryptUpdate, kCallEncryptFinal, kCallDecryptInit,
  kCallDecrypt, kCallDecryptUpdate, kCallDecryptFinal, kCallDigestInit, kCallDigest, kCallDigestUpdate,
  kCallDigestKey, kCallDigestFinal, kCallSignInit, kCallSign, kCallSignUpdate, kCallSignFinal, kCallSignRecoverInit,
  kCallSignRecover, kCallVerifyInit, kCallVerify, kCallVerifyUpdate, kCallVerifyFinal, kCallVerifyRecoverInit,
  kCallVerifyRecover, kCallDigestEncryptUpdate, kCallDecryptDigestUpdate, kCallSignEncryptUpdate,
  kCallDecryptVerifyUpdate, kCallGenerateKey, kCallGenerateKeyPair, kCallWrapKey, kCallUnwrapKey, kCallDeriveKey,
  kCallSeedRandom, kCallGenerateRandom, kCallWaitForSlotEvent,
  // Version 0.25 of p11-kit appended the PKCS#11 3.0 calls (C_LoginUser to
  // C_MessageVerifyFinal) without a version of their own, then the two of
  // the later versions.
  kCallLoginUser, kCallSessionCancel,
  kCallInitToken2 = kCallLoginUser + 22, kCallDeriveKey2,
  kCallCount
};

// Zeroed blocks for one message's decoded values, within a byte budget.
class Arena {
 public:
  explicit Arena(size_t budget = kMaxMessage) : left_(budget) {}
  void *allocate(size_t size);  // null when the budget is spent

 private:
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  size_t left_;
};

class Writer {
 public:
  Writer() = default;
  explicit Writer(Dialect dialect) : dialect(dialect) {}
  Dialect dialect;
  void byte(uint8_t value) { bytes_.push_back(value); }
  void uint32(uint32_t value);
  void uint64(uint64_t value);
  void byteArray(const void *data, size_t length);  // null data: no array
  void fail() { failed_ = true; }
  bool failed() const { return failed_; }
  const std::vector<uint8_t> &bytes() const { return bytes_; }
  std::vector<uint8_t> &bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  bool failed_ = false;
};

class Reader {
 public:
  Reader(const uint8_t *data, size_t size, Dialect dialect = {}) : dialect(dialect), data_(data), size_(size) {}
  Dialect dialect;
  // What a request that reads no further is answered: a parameter of no
  // known layout. Unset (CKR_OK): CKR_ARGUMENTS_BAD.
  CK_RV refusal = CKR_OK;
  bool byte(uint8_t &value);
  bool uint32(uint32_t &value);
  bool uint64(uint64_t &value);
  bool ulong(CK_ULONG &value);  // false also when the value does not fit this platform's CK_ULONG
  // A byte array pointing into the message; *data null for "no array".
  bool byteArray(const uint8_t *&data, uint32_t &length);
  size_t left() const { return size_ - pos_; }
  bool atEnd() const { return pos_ == size_; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// Attribute values by kind, as both sides lay them out.
enum class ValueKind { Byte, Ulong, Template, MechanismList, Date, Bytes };
ValueKind valueKind(CK_ATTRIBUTE_TYPE type);
// The native size of a value of fixed size (Byte, Ulong, Date); 0 otherwise.
size_t fixedSize(ValueKind kind);

// One attribute: type, validity, length, value.
void writeAttribute(Writer &out, const CK_ATTRIBUTE &attribute, int depth = 0);
void writeAttributes(Writer &out, const CK_ATTRIBUTE *attributes, CK_ULONG count, int depth = 0);
// Reads one attribute into native form, the value in blocks of the arena.
// An attribute marked invalid has ulValueLen CK_UNAVAILABLE_INFORMATION.
// An answer to a length query (`sized`) of a mechanism list carries the
// count and no items, as p11-kit's servers write it.
bool readAttribute(Reader &in, Arena &arena, CK_ATTRIBUTE &attribute, int depth = 0, bool sized = false);
bool readAttributes(Reader &in, Arena &arena, CK_ATTRIBUTE_PTR &attributes, CK_ULONG &count, int depth = 0);

// A mechanism: its type as 32 bits, then its parameter as the dialect lays
// it out, field by field for the parameters of a known layout. A parameter
// of no known layout never travels (its bytes may hold addresses of this
// process): CKR_MECHANISM_PARAM_INVALID. Null: the cancel of a C_*Init,
// which only the typed layout carries.
CK_RV writeMechanism(Writer &out, const CK_MECHANISM *mechanism);
// `*none` set for the cancel; false when unreadable (in.refusal set for a
// parameter of no known layout).
bool readMechanism(Reader &in, Arena &arena, CK_MECHANISM &mechanism, bool &none);
// C_DeriveKey2's answer after the result: the has-parameter byte of the
// typed layout (no mechanism here has a parameter that comes back).
void writeParameterUpdate(Writer &out, const CK_MECHANISM &mechanism);
bool readParameterUpdate(Reader &in, CK_MECHANISM_TYPE type);

// A whole frame: header, no options, body.
std::vector<uint8_t> frame(uint32_t code, const std::vector<uint8_t> &body);
// Begins a message body: the call id and its signature.
void beginBody(Writer &out, uint32_t callId, const std::string &signature);
// Reads the call id and signature that open a body.
bool readBodyStart(Reader &in, uint32_t &callId, std::string &signature);

}  // namespace tokenhub::rpc
