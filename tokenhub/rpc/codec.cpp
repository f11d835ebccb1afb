#include "rpc/codec.h"

#include <cstring>

namespace tokenhub::rpc {

void *Arena::allocate(size_t size) {
  if (size > left_) return nullptr;
  left_ -= size;
  blocks_.emplace_back(new unsigned char[size ? size : 1]());
  return blocks_.back().get();
}

void Writer::uint32(uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<uint8_t>(value >> shift));
}

void Writer::uint64(uint64_t value) {
  uint32(static_cast<uint32_t>(value >> 32));
  uint32(static_cast<uint32_t>(value));
}

void Writer::byteArray(const void *data, size_t length) {
  if (!data) return uint32(0xFFFFFFFFu);
  if (length >= 0x7FFFFFFFu) return fail();
  uint32(static_cast<uint32_t>(length));
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  bytes_.insert(bytes_.end(), bytes, bytes + length);
}

bool Reader::byte(uint8_t &value) {
  if (left() < 1) return false;
  value = data_[pos_++];
  return true;
}

bool Reader::uint32(uint32_t &value) {
  if (left() < 4) return false;
  const uint8_t *p = data_ + pos_;
  value = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  pos_ += 4;
  return true;
}

bool Reader::uint64(uint64_t &value) {
  uint32_t high, low;
  if (!uint32(high) || !uint32(low)) return false;
  value = uint64_t{high} << 32 | low;
  return true;
}

bool Reader::ulong(CK_ULONG &value) {
  uint64_t wide;
  if (!uint64(wide)) return false;
  value = static_cast<CK_ULONG>(wide);
  // A 32-bit side keeps "unavailable" (all ones) as its own all ones.
  if (value != wide && wide != ~uint64_t{0}) return false;
  return true;
}

bool Reader::byteArray(const uint8_t *&data, uint32_t &length) {
  if (!uint32(length)) return false;
  if (length == 0xFFFFFFFFu) {
    data = nullptr;
    length = 0;
    return true;
  }
  if (length > left()) return false;
  data = data_ + pos_;
  pos_ += length;
  return true;
}

ValueKind valueKind(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_TOKEN: case CKA_PRIVATE: case CKA_TRUSTED: case CKA_SENSITIVE: case CKA_ENCRYPT: case CKA_DECRYPT:
    case CKA_WRAP: case CKA_UNWRAP: case CKA_SIGN: case CKA_SIGN_RECOVER: case CKA_VERIFY: case CKA_VERIFY_RECOVER:
    case CKA_DERIVE: case CKA_EXTRACTABLE: case CKA_LOCAL: case CKA_NEVER_EXTRACTABLE: case CKA_ALWAYS_SENSITIVE:
    case CKA_MODIFIABLE: case CKA_COPYABLE: case CKA_SECONDARY_AUTH: case CKA_ALWAYS_AUTHENTICATE:
    case CKA_WRAP_WITH_TRUSTED: case CKA_RESET_ON_INIT: case CKA_HAS_RESET: case CKA_COLOR:
      return ValueKind::Byte;
    case CKA_CLASS: case CKA_CERTIFICATE_TYPE: case CKA_CERTIFICATE_CATEGORY: case CKA_JAVA_MIDP_SECURITY_DOMAIN:
    case CKA_KEY_TYPE: case CKA_MODULUS_BITS: case CKA_PRIME_BITS: case CKA_SUB_PRIME_BITS: case CKA_VALUE_BITS:
    case CKA_VALUE_LEN: case CKA_KEY_GEN_MECHANISM: case CKA_AUTH_PIN_FLAGS: case CKA_HW_FEATURE_TYPE:
    case CKA_PIXEL_X: case CKA_PIXEL_Y: case CKA_RESOLUTION: case CKA_CHAR_ROWS: case CKA_CHAR_COLUMNS:
    case CKA_BITS_PER_PIXEL: case CKA_MECHANISM_TYPE:
      return ValueKind::Ulong;
    case CKA_WRAP_TEMPLATE: case CKA_UNWRAP_TEMPLATE: case CKA_DERIVE_TEMPLATE:
      return ValueKind::Template;
    case CKA_ALLOWED_MECHANISMS:
      return ValueKind::MechanismList;
    case CKA_START_DATE: case CKA_END_DATE:
      return ValueKind::Date;
    default:
      return ValueKind::Bytes;
  }
}

size_t fixedSize(ValueKind kind) {
  switch (kind) {
    case ValueKind::Byte: return sizeof(CK_BBOOL);
    case ValueKind::Ulong: return sizeof(CK_ULONG);
    case ValueKind::Date: return sizeof(CK_DATE);
    default: return 0;
  }
}

namespace {

// CK_ULONG values travel as 64-bit numbers: a peer of the other width (a
// 32-bit module served to a 64-bit one, or Windows' 32-bit CK_ULONG to
// Linux) takes the length of such a value, or of a list of them, in wire
// units and gives it back in its own.
CK_ULONG wireLength(ValueKind kind, CK_ULONG length) {
  if ((kind == ValueKind::Ulong || kind == ValueKind::MechanismList) && length % sizeof(CK_ULONG) == 0)
    return length / sizeof(CK_ULONG) * 8;
  return length;
}
CK_ULONG nativeLength(ValueKind kind, CK_ULONG length) {
  if ((kind == ValueKind::Ulong || kind == ValueKind::MechanismList) && length % 8 == 0)
    return length / 8 * sizeof(CK_ULONG);
  return length;
}

void writeValue(Writer &out, ValueKind kind, const void *value, CK_ULONG length, int depth) {
  switch (kind) {
    case ValueKind::Byte: {
      CK_BYTE b = 0;
      if (length > sizeof b) return out.fail();
      if (value) std::memcpy(&b, value, length);
      return out.byte(b);
    }
    case ValueKind::Ulong: {
      CK_ULONG v = 0;
      if (length > sizeof v) return out.fail();
      if (value) std::memcpy(&v, value, length);
      return out.uint64(v);
    }
    case ValueKind::Template:
      if (!value) return out.uint32(0);
      return writeAttributes(out, static_cast<const CK_ATTRIBUTE *>(value), length / sizeof(CK_ATTRIBUTE), depth + 1);
    case ValueKind::MechanismList: {
      // Without a value only the length (before this) tells the size.
      CK_ULONG count = value ? length / sizeof(CK_MECHANISM_TYPE) : 0;
      out.uint32(static_cast<uint32_t>(count));
      if (value)
        for (CK_ULONG i = 0; i < count; ++i) out.uint64(static_cast<const CK_MECHANISM_TYPE *>(value)[i]);
      return;
    }
    case ValueKind::Date:
      if (length != 0 && length != sizeof(CK_DATE)) return out.fail();
      return out.byteArray(length ? value : nullptr, length);
    case ValueKind::Bytes:
      return out.byteArray(value, length);
  }
}

// Reads a value of `kind` into a block of the arena; *length its native size.
bool readValue(Reader &in, Arena &arena, ValueKind kind, void *&value, CK_ULONG &length, int depth) {
  switch (kind) {
    case ValueKind::Byte: {
      uint8_t b;
      if (!in.byte(b) || !(value = arena.allocate(1))) return false;
      *static_cast<CK_BYTE *>(value) = b;
      length = 1;
      return true;
    }
    case ValueKind::Ulong: {
      CK_ULONG v;
      if (!in.ulong(v) || !(value = arena.allocate(sizeof v))) return false;
      std::memcpy(value, &v, sizeof v);
      length = sizeof v;
      return true;
    }
    case ValueKind::Template: {
      CK_ATTRIBUTE_PTR nested;
      CK_ULONG count;
      if (depth + 1 >= kMaxNesting || !readAttributes(in, arena, nested, count, depth + 1)) return false;
      value = nested;
      length = count * sizeof(CK_ATTRIBUTE);
      return true;
    }
    case ValueKind::MechanismList: {
      uint32_t count;
      if (!in.uint32(count) || count > in.left() / 8) return false;
      auto *list = static_cast<CK_MECHANISM_TYPE *>(arena.allocate(count * sizeof(CK_MECHANISM_TYPE)));
      if (!list) return false;
      for (uint32_t i = 0; i < count; ++i)
        if (!in.ulong(list[i])) return false;
      value = list;
      length = count * sizeof(CK_MECHANISM_TYPE);
      return true;
    }
    case ValueKind::Date:
    case ValueKind::Bytes: {
      const uint8_t *data;
      uint32_t n;
      if (!in.byteArray(data, n)) return false;
      if (kind == ValueKind::Date && n != 0 && n != sizeof(CK_DATE)) return false;
      length = n;
      value = nullptr;  // no array: the sender had no value, only its length
      if (!data) return true;
      if (!(value = arena.allocate(n))) return false;
      std::memcpy(value, data, n);
      return true;
    }
  }
  return false;
}

}  // namespace

void writeAttribute(Writer &out, const CK_ATTRIBUTE &attribute, int depth) {
  if (depth >= kMaxNesting || attribute.type > 0xFFFFFFFFu) return out.fail();
  out.uint32(static_cast<uint32_t>(attribute.type));
  bool valid = attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION;
  out.byte(valid ? 1 : 0);
  if (!valid) return;
  if (attribute.ulValueLen > 0xFFFFFFFFu) return out.fail();
  ValueKind kind = valueKind(attribute.type);
  out.uint32(static_cast<uint32_t>(wireLength(kind, attribute.ulValueLen)));
  writeValue(out, kind, attribute.pValue, attribute.ulValueLen, depth);
}

void writeAttributes(Writer &out, const CK_ATTRIBUTE *attributes, CK_ULONG count, int depth) {
  if (count > 0xFFFFFFFFu || (count && !attributes)) return out.fail();
  out.uint32(static_cast<uint32_t>(count));
  for (CK_ULONG i = 0; i < count; ++i) writeAttribute(out, attributes[i], depth);
}

bool readAttribute(Reader &in, Arena &arena, CK_ATTRIBUTE &attribute, int depth) {
  uint32_t type, wireLength;
  uint8_t valid;
  if (!in.uint32(type) || !in.byte(valid)) return false;
  attribute.type = type;
  attribute.pValue = nullptr;
  attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
  if (!valid) return true;
  // The sender's own length; the value read decides the native one. A
  // sender asked only for lengths writes no bytes and no list items: the
  // length is then the sender's, and a fixed-size value this side's own.
  ValueKind kind = valueKind(type);
  if (!in.uint32(wireLength) || !readValue(in, arena, kind, attribute.pValue, attribute.ulValueLen, depth))
    return false;
  bool listLike = kind == ValueKind::Template || kind == ValueKind::MechanismList;
  if (!attribute.pValue || (listLike && attribute.ulValueLen == 0 && wireLength > 0)) {
    attribute.pValue = nullptr;
    attribute.ulValueLen = nativeLength(kind, wireLength);
  }
  return true;
}

bool readAttributes(Reader &in, Arena &arena, CK_ATTRIBUTE_PTR &attributes, CK_ULONG &count, int depth) {
  uint32_t n;
  // Every attribute takes at least its type and validity: 5 bytes.
  if (!in.uint32(n) || n > in.left() / 5) return false;
  attributes = static_cast<CK_ATTRIBUTE_PTR>(arena.allocate(n * sizeof(CK_ATTRIBUTE)));
  if (!attributes) return false;
  count = n;
  for (uint32_t i = 0; i < n; ++i)
    if (!readAttribute(in, arena, attributes[i], depth)) return false;
  return true;
}

namespace {

bool isPss(CK_MECHANISM_TYPE type) {
  return type == CKM_RSA_PKCS_PSS || type == CKM_SHA1_RSA_PKCS_PSS || type == CKM_SHA224_RSA_PKCS_PSS ||
         type == CKM_SHA256_RSA_PKCS_PSS || type == CKM_SHA384_RSA_PKCS_PSS || type == CKM_SHA512_RSA_PKCS_PSS;
}

// Parameters that hold pointers beyond PSS and OAEP: their bytes mean nothing
// in the other process, so such a mechanism does not travel.
bool holdsPointers(CK_MECHANISM_TYPE type) {
  return type == CKM_ECDH1_DERIVE || type == CKM_ECDH1_COFACTOR_DERIVE || type == CKM_AES_GCM ||
         type == CKM_AES_CCM || type == CKM_X9_42_DH_DERIVE || type == CKM_ECMQV_DERIVE;
}

}  // namespace

bool writeMechanism(Writer &out, const CK_MECHANISM &mechanism) {
  if (mechanism.mechanism > 0xFFFFFFFFu) return false;
  out.uint32(static_cast<uint32_t>(mechanism.mechanism));
  if (!mechanism.pParameter || !mechanism.ulParameterLen) {
    out.byteArray(nullptr, 0);
    return true;
  }
  if (isPss(mechanism.mechanism)) {
    if (mechanism.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS)) return false;
    auto *p = static_cast<const CK_RSA_PKCS_PSS_PARAMS *>(mechanism.pParameter);
    out.uint64(p->hashAlg);
    out.uint64(p->mgf);
    out.uint64(p->sLen);
    return true;
  }
  if (mechanism.mechanism == CKM_RSA_PKCS_OAEP) {
    if (mechanism.ulParameterLen != sizeof(CK_RSA_PKCS_OAEP_PARAMS)) return false;
    auto *p = static_cast<const CK_RSA_PKCS_OAEP_PARAMS *>(mechanism.pParameter);
    out.uint64(p->hashAlg);
    out.uint64(p->mgf);
    out.uint64(p->source);
    out.byteArray(p->pSourceData, p->ulSourceDataLen);
    return true;
  }
  if (holdsPointers(mechanism.mechanism)) return false;
  out.byteArray(mechanism.pParameter, mechanism.ulParameterLen);
  return true;
}

bool readMechanism(Reader &in, Arena &arena, CK_MECHANISM &mechanism) {
  uint32_t type;
  if (!in.uint32(type)) return false;
  mechanism = CK_MECHANISM{type, nullptr, 0};
  if (isPss(type) || type == CKM_RSA_PKCS_OAEP) {
    // These carry their fields, or an empty byte array when they had none.
    Reader peek = in;
    uint32_t marker;
    if (peek.uint32(marker) && marker == 0xFFFFFFFFu) {
      in = peek;
      return true;
    }
    uint64_t hash, mgf, third;
    if (!in.uint64(hash) || !in.uint64(mgf) || !in.uint64(third)) return false;
    if (isPss(type)) {
      auto *p = static_cast<CK_RSA_PKCS_PSS_PARAMS *>(arena.allocate(sizeof(CK_RSA_PKCS_PSS_PARAMS)));
      if (!p) return false;
      *p = CK_RSA_PKCS_PSS_PARAMS{static_cast<CK_MECHANISM_TYPE>(hash), static_cast<CK_RSA_PKCS_MGF_TYPE>(mgf),
                                  static_cast<CK_ULONG>(third)};
      mechanism.pParameter = p;
      mechanism.ulParameterLen = sizeof *p;
      return true;
    }
    const uint8_t *source;
    uint32_t sourceLength;
    auto *p = static_cast<CK_RSA_PKCS_OAEP_PARAMS *>(arena.allocate(sizeof(CK_RSA_PKCS_OAEP_PARAMS)));
    if (!p || !in.byteArray(source, sourceLength)) return false;
    *p = CK_RSA_PKCS_OAEP_PARAMS{static_cast<CK_MECHANISM_TYPE>(hash), static_cast<CK_RSA_PKCS_MGF_TYPE>(mgf),
                                 static_cast<CK_RSA_PKCS_OAEP_SOURCE_TYPE>(third),
                                 const_cast<uint8_t *>(source), sourceLength};
    mechanism.pParameter = p;
    mechanism.ulParameterLen = sizeof *p;
    return true;
  }
  const uint8_t *data;
  uint32_t length;
  if (!in.byteArray(data, length)) return false;
  if (data && length) {
    mechanism.pParameter = arena.allocate(length);
    if (!mechanism.pParameter) return false;
    std::memcpy(mechanism.pParameter, data, length);
    mechanism.ulParameterLen = length;
  }
  return true;
}

std::vector<uint8_t> frame(uint32_t code, const std::vector<uint8_t> &body) {
  Writer header;
  header.uint32(code);
  header.uint32(0);
  header.uint32(static_cast<uint32_t>(body.size()));
  std::vector<uint8_t> bytes = std::move(header.bytes());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

void beginBody(Writer &out, uint32_t callId, const std::string &signature) {
  out.uint32(callId);
  out.byteArray(signature.data(), signature.size());
}

bool readBodyStart(Reader &in, uint32_t &callId, std::string &signature) {
  const uint8_t *data;
  uint32_t length;
  if (!in.uint32(callId) || !in.byteArray(data, length) || !data) return false;
  signature.assign(reinterpret_cast<const char *>(data), length);
  return true;
}

}  // namespace tokenhub::rpc
