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

bool readAttribute(Reader &in, Arena &arena, CK_ATTRIBUTE &attribute, int depth, bool sized) {
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
  uint32_t count;
  if (!in.uint32(wireLength)) return false;
  if (sized && kind == ValueKind::MechanismList) {
    attribute.ulValueLen = nativeLength(kind, wireLength);
    return in.uint32(count);
  }
  if (!readValue(in, arena, kind, attribute.pValue, attribute.ulValueLen, depth)) return false;
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

// The parameter layouts that travel, by mechanism.
enum class Param { None, Pss, HashedPss, Oaep, Ecdh, Iv16, Iv8, Ctr, Gcm, MacLength, PublicValue, EdDsa, Other };

// The mechanisms that take no parameter as p11-kit lists them: in the
// typed layout exactly these travel as their type alone.
bool takesNoParameter(CK_MECHANISM_TYPE type) {
  constexpr CK_MECHANISM_TYPE ibm = CKM_VENDOR_DEFINED + 0x10000;
  switch (type) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN: case CKM_RSA_X9_31_KEY_PAIR_GEN: case CKM_RSA_PKCS: case CKM_RSA_9796:
    case CKM_RSA_X_509: case CKM_RSA_X9_31: case CKM_MD2_RSA_PKCS: case CKM_MD5_RSA_PKCS: case CKM_SHA1_RSA_PKCS:
    case CKM_SHA224_RSA_PKCS: case CKM_SHA256_RSA_PKCS: case CKM_SHA384_RSA_PKCS: case CKM_SHA512_RSA_PKCS:
    case CKM_RIPEMD128_RSA_PKCS: case CKM_RIPEMD160_RSA_PKCS: case CKM_SHA1_RSA_X9_31: case CKM_DSA_KEY_PAIR_GEN:
    case CKM_DSA_PARAMETER_GEN: case CKM_DSA: case CKM_DSA_SHA1: case CKM_FORTEZZA_TIMESTAMP: case CKM_EC_KEY_PAIR_GEN:
    case CKM_ECDSA: case CKM_ECDSA_SHA1: case CKM_ECDSA_SHA224: case CKM_ECDSA_SHA256: case CKM_ECDSA_SHA384:
    case CKM_ECDSA_SHA512: case CKM_DH_PKCS_KEY_PAIR_GEN: case CKM_DH_PKCS_PARAMETER_GEN:
    case CKM_X9_42_DH_KEY_PAIR_GEN: case CKM_X9_42_DH_PARAMETER_GEN: case CKM_KEA_KEY_PAIR_GEN:
    case CKM_GENERIC_SECRET_KEY_GEN: case CKM_RC2_KEY_GEN: case CKM_RC4_KEY_GEN: case CKM_RC4: case CKM_RC5_KEY_GEN:
    case CKM_AES_KEY_GEN: case CKM_AES_ECB: case CKM_AES_MAC: case CKM_AES_CMAC: case CKM_DES_KEY_GEN:
    case CKM_DES2_KEY_GEN: case CKM_DES3_KEY_GEN: case CKM_CDMF_KEY_GEN: case CKM_CAST_KEY_GEN: case CKM_CAST3_KEY_GEN:
    case CKM_CAST128_KEY_GEN: case CKM_IDEA_KEY_GEN: case CKM_SSL3_PRE_MASTER_KEY_GEN: case CKM_TLS_PRE_MASTER_KEY_GEN:
    case CKM_SKIPJACK_KEY_GEN: case CKM_BATON_KEY_GEN: case CKM_JUNIPER_KEY_GEN: case CKM_RC2_ECB: case CKM_DES_ECB:
    case CKM_DES3_ECB: case CKM_CDMF_ECB: case CKM_CAST_ECB: case CKM_CAST3_ECB: case CKM_CAST128_ECB: case CKM_RC5_ECB:
    case CKM_IDEA_ECB: case CKM_RC2_MAC: case CKM_DES_MAC: case CKM_DES3_MAC: case CKM_DES3_CMAC: case CKM_CDMF_MAC:
    case CKM_CAST_MAC: case CKM_CAST3_MAC: case CKM_RC5_MAC: case CKM_IDEA_MAC: case CKM_SSL3_MD5_MAC:
    case CKM_SSL3_SHA1_MAC: case CKM_SKIPJACK_WRAP: case CKM_BATON_WRAP: case CKM_JUNIPER_WRAP: case CKM_MD2:
    case CKM_MD2_HMAC: case CKM_MD5: case CKM_MD5_HMAC: case CKM_SHA_1: case CKM_SHA_1_HMAC:
    case CKM_SHA1_KEY_DERIVATION: case CKM_SHA224: case CKM_SHA224_HMAC: case CKM_SHA224_KEY_DERIVATION:
    case CKM_SHA256: case CKM_SHA256_HMAC: case CKM_SHA256_KEY_DERIVATION: case CKM_SHA384: case CKM_SHA384_HMAC:
    case CKM_SHA384_KEY_DERIVATION: case CKM_SHA512: case CKM_SHA512_HMAC: case CKM_SHA512_KEY_DERIVATION:
    case CKM_SHA512_T: case CKM_SHA512_T_HMAC: case CKM_SHA512_T_KEY_DERIVATION: case CKM_SHA512_224:
    case CKM_SHA512_224_HMAC: case CKM_SHA512_224_KEY_DERIVATION: case CKM_SHA512_256: case CKM_SHA512_256_HMAC:
    case CKM_SHA512_256_KEY_DERIVATION: case CKM_FASTHASH: case CKM_RIPEMD128: case CKM_RIPEMD128_HMAC:
    case CKM_RIPEMD160: case CKM_RIPEMD160_HMAC: case CKM_KEY_WRAP_LYNKS:
    case ibm + 0x01: case ibm + 0x02: case ibm + 0x03: case ibm + 0x04: case ibm + 0x07:  // SHA3, CMAC
    case ibm + 0x23: case ibm + 0x25: case ibm + 0x26: case ibm + 0x27: case ibm + 0x28:  // Dilithium, SHA3 HMAC
    case ibm + 0x1c: case ibm + 0x1f:                                                     // ED25519, ED448
      return true;
    default:
      return false;
  }
}

Param parameterOf(CK_MECHANISM_TYPE type) {
  switch (type) {
    case CKM_RSA_PKCS_PSS:
      return Param::Pss;
    case CKM_SHA1_RSA_PKCS_PSS: case CKM_SHA224_RSA_PKCS_PSS: case CKM_SHA256_RSA_PKCS_PSS:
    case CKM_SHA384_RSA_PKCS_PSS: case CKM_SHA512_RSA_PKCS_PSS:
      return Param::HashedPss;
    case CKM_RSA_PKCS_OAEP:
      return Param::Oaep;
    case CKM_ECDH1_DERIVE:
      return Param::Ecdh;
    case CKM_AES_CBC: case CKM_AES_CBC_PAD: case CKM_AES_OFB: case CKM_AES_CFB1: case CKM_AES_CFB8:
    case CKM_AES_CFB64: case CKM_AES_CFB128: case CKM_AES_CTS:
      return Param::Iv16;
    case CKM_DES_CBC: case CKM_DES_CBC_PAD: case CKM_DES3_CBC: case CKM_DES3_CBC_PAD: case CKM_DES_CFB8:
    case CKM_DES_CFB64: case CKM_DES_OFB64:
      return Param::Iv8;
    case CKM_AES_CTR:
      return Param::Ctr;
    case CKM_AES_GCM:
      return Param::Gcm;
    case CKM_SHA_1_HMAC_GENERAL: case CKM_SHA224_HMAC_GENERAL: case CKM_SHA256_HMAC_GENERAL:
    case CKM_SHA384_HMAC_GENERAL: case CKM_SHA512_HMAC_GENERAL: case CKM_SHA512_224_HMAC_GENERAL:
    case CKM_SHA512_256_HMAC_GENERAL: case CKM_AES_MAC_GENERAL: case CKM_AES_CMAC_GENERAL:
    case CKM_DES3_MAC_GENERAL: case CKM_DES3_CMAC_GENERAL:
      return Param::MacLength;
    case CKM_DH_PKCS_DERIVE:
      return Param::PublicValue;
    case CKM_EDDSA:
      return Param::EdDsa;
    default:
      return takesNoParameter(type) ? Param::None : Param::Other;
  }
}

// The PKCS#11 3.0 parameter of CKM_EDDSA (the headers here predate it).
struct EdDsaParams {
  CK_BBOOL phFlag;
  CK_ULONG ulContextDataLen;
  CK_BYTE_PTR pContextData;
};

// Whether a parameter of this layout travels in this dialect. Version 0
// peers know CKM_RSA_PKCS_PSS and OAEP by fields and take any other
// parameter as raw bytes: only a parameter that is bytes by nature can go
// to them.
bool travels(Dialect dialect, Param kind) {
  switch (kind) {
    case Param::Pss: case Param::Oaep: case Param::Iv16: case Param::Iv8:
    case Param::PublicValue:
      return true;
    case Param::HashedPss: case Param::Ecdh: case Param::Ctr: case Param::Gcm: case Param::MacLength:
      return dialect.fielded();
    case Param::EdDsa:
      return dialect.typed();
    case Param::None: case Param::Other:
      return false;
  }
  return false;
}

template <typename T>
bool sized(const CK_MECHANISM &m) {
  return m.ulParameterLen == sizeof(T);
}

CK_RV writeParameter(Writer &out, Param kind, const CK_MECHANISM &m) {
  const void *p = m.pParameter;
  switch (kind) {
    case Param::Pss: case Param::HashedPss: {
      if (!sized<CK_RSA_PKCS_PSS_PARAMS>(m)) break;
      auto *v = static_cast<const CK_RSA_PKCS_PSS_PARAMS *>(p);
      out.uint64(v->hashAlg), out.uint64(v->mgf), out.uint64(v->sLen);
      return CKR_OK;
    }
    case Param::Oaep: {
      if (!sized<CK_RSA_PKCS_OAEP_PARAMS>(m)) break;
      auto *v = static_cast<const CK_RSA_PKCS_OAEP_PARAMS *>(p);
      out.uint64(v->hashAlg), out.uint64(v->mgf), out.uint64(v->source);
      out.byteArray(v->pSourceData, v->ulSourceDataLen);
      return CKR_OK;
    }
    case Param::Ecdh: {
      if (!sized<CK_ECDH1_DERIVE_PARAMS>(m)) break;
      auto *v = static_cast<const CK_ECDH1_DERIVE_PARAMS *>(p);
      out.uint64(v->kdf);
      out.byteArray(v->pSharedData, v->ulSharedDataLen);
      out.byteArray(v->pPublicData, v->ulPublicDataLen);
      return CKR_OK;
    }
    case Param::Iv16: case Param::Iv8:
      if (m.ulParameterLen != (kind == Param::Iv16 ? 16u : 8u)) break;
      out.byteArray(p, m.ulParameterLen);
      return CKR_OK;
    case Param::PublicValue:
      out.byteArray(p, m.ulParameterLen);
      return CKR_OK;
    case Param::Ctr: {
      if (!sized<CK_AES_CTR_PARAMS>(m)) break;
      auto *v = static_cast<const CK_AES_CTR_PARAMS *>(p);
      out.uint64(v->ulCounterBits);
      out.byteArray(v->cb, sizeof v->cb);
      return CKR_OK;
    }
    case Param::Gcm: {
      if (!sized<CK_GCM_PARAMS>(m)) break;
      auto *v = static_cast<const CK_GCM_PARAMS *>(p);
      out.byteArray(v->pIv, v->ulIvLen);
      out.uint64(v->ulIvBits);
      out.byteArray(v->pAAD, v->ulAADLen);
      out.uint64(v->ulTagBits);
      return CKR_OK;
    }
    case Param::MacLength:
      if (!sized<CK_ULONG>(m)) break;
      out.uint64(*static_cast<const CK_ULONG *>(p));
      return CKR_OK;
    case Param::EdDsa: {
      if (!sized<EdDsaParams>(m)) break;
      auto *v = static_cast<const EdDsaParams *>(p);
      out.byte(v->phFlag);
      out.byteArray(v->pContextData, v->ulContextDataLen);
      return CKR_OK;
    }
    case Param::None: case Param::Other:
      break;
  }
  return CKR_MECHANISM_PARAM_INVALID;
}

// Reads the bytes of an array into the arena; null for none.
bool readBytes(Reader &in, Arena &arena, CK_BYTE_PTR &data, CK_ULONG &length) {
  const uint8_t *at;
  uint32_t n;
  if (!in.byteArray(at, n)) return false;
  data = nullptr;
  length = n;
  if (!at) return true;
  if (!(data = static_cast<CK_BYTE_PTR>(arena.allocate(n)))) return false;
  std::memcpy(data, at, n);
  return true;
}

template <typename T>
T *place(Arena &arena, CK_MECHANISM &m) {
  auto *v = static_cast<T *>(arena.allocate(sizeof(T)));
  m.pParameter = v;
  m.ulParameterLen = sizeof(T);
  return v;
}

bool readParameter(Reader &in, Arena &arena, Param kind, CK_MECHANISM &m) {
  uint64_t a, b, c;
  switch (kind) {
    case Param::Pss: case Param::HashedPss: {
      auto *v = place<CK_RSA_PKCS_PSS_PARAMS>(arena, m);
      if (!v || !in.uint64(a) || !in.uint64(b) || !in.uint64(c)) return false;
      *v = CK_RSA_PKCS_PSS_PARAMS{static_cast<CK_MECHANISM_TYPE>(a), static_cast<CK_RSA_PKCS_MGF_TYPE>(b),
                                  static_cast<CK_ULONG>(c)};
      return true;
    }
    case Param::Oaep: {
      auto *v = place<CK_RSA_PKCS_OAEP_PARAMS>(arena, m);
      if (!v || !in.uint64(a) || !in.uint64(b) || !in.uint64(c)) return false;
      v->hashAlg = static_cast<CK_MECHANISM_TYPE>(a);
      v->mgf = static_cast<CK_RSA_PKCS_MGF_TYPE>(b);
      v->source = static_cast<CK_RSA_PKCS_OAEP_SOURCE_TYPE>(c);
      return readBytes(in, arena, reinterpret_cast<CK_BYTE_PTR &>(v->pSourceData), v->ulSourceDataLen);
    }
    case Param::Ecdh: {
      auto *v = place<CK_ECDH1_DERIVE_PARAMS>(arena, m);
      if (!v || !in.uint64(a)) return false;
      v->kdf = static_cast<decltype(v->kdf)>(a);
      return readBytes(in, arena, v->pSharedData, v->ulSharedDataLen) &&
             readBytes(in, arena, v->pPublicData, v->ulPublicDataLen);
    }
    case Param::Iv16: case Param::Iv8: case Param::PublicValue: {
      CK_BYTE_PTR data;
      CK_ULONG length;
      if (!readBytes(in, arena, data, length) || !data) return false;
      if (kind != Param::PublicValue && length != (kind == Param::Iv16 ? 16u : 8u)) return false;
      m.pParameter = data;
      m.ulParameterLen = length;
      return length != 0;
    }
    case Param::Ctr: {
      auto *v = place<CK_AES_CTR_PARAMS>(arena, m);
      const uint8_t *block;
      uint32_t n;
      if (!v || !in.uint64(a) || !in.byteArray(block, n) || !block || n != sizeof v->cb) return false;
      v->ulCounterBits = static_cast<CK_ULONG>(a);
      std::memcpy(v->cb, block, n);
      return true;
    }
    case Param::Gcm: {
      auto *v = place<CK_GCM_PARAMS>(arena, m);
      if (!v || !readBytes(in, arena, v->pIv, v->ulIvLen) || !in.uint64(a) ||
          !readBytes(in, arena, v->pAAD, v->ulAADLen) || !in.uint64(b))
        return false;
      v->ulIvBits = static_cast<CK_ULONG>(a);
      v->ulTagBits = static_cast<CK_ULONG>(b);
      return true;
    }
    case Param::MacLength: {
      auto *v = place<CK_ULONG>(arena, m);
      return v && in.ulong(*v);
    }
    case Param::EdDsa: {
      auto *v = place<EdDsaParams>(arena, m);
      return v && in.byte(v->phFlag) && readBytes(in, arena, v->pContextData, v->ulContextDataLen);
    }
    case Param::None: case Param::Other:
      break;
  }
  return false;
}

constexpr uint32_t kNoMechanism = 0xFFFFFFFFu;

}  // namespace

CK_RV writeMechanism(Writer &out, const CK_MECHANISM *mechanism) {
  if (!mechanism) {
    // Only the typed layout knows the cancel of an operation.
    if (!out.dialect.typed()) return CKR_ARGUMENTS_BAD;
    out.uint32(kNoMechanism);
    return CKR_OK;
  }
  const CK_MECHANISM &m = *mechanism;
  if (m.mechanism >= kNoMechanism) return CKR_MECHANISM_INVALID;
  Param kind = parameterOf(m.mechanism);
  bool none = !m.pParameter && !m.ulParameterLen;
  out.uint32(static_cast<uint32_t>(m.mechanism));
  if (out.dialect.typed()) {
    if (kind == Param::None) return CKR_OK;
    out.byte(none ? 0 : 1);
    if (none) return CKR_OK;
  } else if (kind == Param::None || kind == Param::Other) {
    // The older layout: an empty array for "no parameter" (a parameter
    // given to a mechanism that takes none stays here, as with p11-kit).
    out.byteArray(nullptr, 0);
    return none || kind == Param::None ? CKR_OK : CKR_MECHANISM_PARAM_INVALID;
  }
  // The older layout has no "none" for a parameter of fields.
  if (none || !travels(out.dialect, kind)) return CKR_MECHANISM_PARAM_INVALID;
  return writeParameter(out, kind, m);
}

bool readMechanism(Reader &in, Arena &arena, CK_MECHANISM &mechanism, bool &none) {
  uint32_t type;
  if (!in.uint32(type)) return false;
  mechanism = CK_MECHANISM{type, nullptr, 0};
  none = type == kNoMechanism && in.dialect.typed();
  if (none) return true;
  Param kind = parameterOf(type);
  if (in.dialect.typed()) {
    uint8_t present;
    if (kind == Param::None) return true;
    if (!in.byte(present)) return false;
    if (!present) return true;
  } else if (kind == Param::None || kind == Param::Other) {
    const uint8_t *data;
    uint32_t length;
    if (!in.byteArray(data, length)) return false;
    if (!data || !length || kind == Param::None) return true;
  }
  // A parameter whose layout is not known here reads no further.
  if (!travels(in.dialect, kind)) {
    in.refusal = CKR_MECHANISM_PARAM_INVALID;
    return false;
  }
  return readParameter(in, arena, kind, mechanism);
}

void writeParameterUpdate(Writer &out, const CK_MECHANISM &mechanism) {
  if (takesNoParameter(mechanism.mechanism)) return;
  out.byte(mechanism.pParameter || mechanism.ulParameterLen ? 1 : 0);
}

bool readParameterUpdate(Reader &in, CK_MECHANISM_TYPE type) {
  uint8_t present;
  return takesNoParameter(type) || in.byte(present);
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
