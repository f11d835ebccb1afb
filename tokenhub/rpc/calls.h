// The calls of the module host protocol as one table driven by the argument
// types. Each call lists its parts: a part stands for one to three of the
// PKCS#11 function's arguments, knows its letters in the request and response
// signatures, and how each side writes and reads it. The client side turns a
// part into request bytes and the response back into the caller's outputs;
// the server side decodes a part into a `Held` value whose args() are the
// arguments of the module's function, and writes its outputs.
#pragma once
#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "rpc/codec.h"
#include "tokenhub/pkcs11v3.h"

namespace tokenhub::rpc {

// The server's result for a request it can delimit but not read (that call
// fails, the connection goes on), and for a response that cannot be written.
constexpr CK_RV kParseError = CKR_ARGUMENTS_BAD;
constexpr CK_RV kPrepareError = CKR_DEVICE_MEMORY;

// What a part that only goes in shares: nothing of it comes back.
struct In {
  static std::string response() { return ""; }
  template <size_t I, class A>
  static CK_RV read(Reader &, A &, bool &) {
    return CKR_OK;
  }
  struct Pass {
    CK_RV respond(Writer &, CK_RV rv) { return rv; }
  };
};

// A CK_ULONG argument: slot, session, object, key, flags, user type.
struct Ulong : In {
  static constexpr size_t arity = 1;
  static std::string request() { return "u"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    out.uint64(std::get<I>(a));
    return CKR_OK;
  }
  struct Held : Pass {
    CK_ULONG value = 0;
    bool decode(Reader &in, Arena &) { return in.ulong(value); }
    auto args() { return std::make_tuple(value); }
  };
};

// A CK_BBOOL argument.
struct Byte : In {
  static constexpr size_t arity = 1;
  static std::string request() { return "y"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    out.byte(std::get<I>(a));
    return CKR_OK;
  }
  struct Held : Pass {
    uint8_t value = 0;
    bool decode(Reader &in, Arena &) { return in.byte(value); }
    auto args() { return std::make_tuple(static_cast<CK_BBOOL>(value)); }
  };
};

// An argument that does not cross the pipe (an application pointer, a
// notification callback, a reserved pointer): the module gets null.
struct Local : In {
  static constexpr size_t arity = 1;
  static std::string request() { return ""; }
  template <size_t I, class A>
  static CK_RV write(Writer &, const A &) {
    return CKR_OK;
  }
  struct Held : Pass {
    bool decode(Reader &, Arena &) { return true; }
    auto args() { return std::make_tuple(nullptr); }
  };
};

// Input bytes: a pointer and a length.
struct InBytes : In {
  static constexpr size_t arity = 2;
  static std::string request() { return "ay"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    const void *data = std::get<I>(a);
    CK_ULONG length = std::get<I + 1>(a);
    if (length > 0xFFFFFFFFu) return CKR_ARGUMENTS_BAD;
    if (!data) {
      out.byte(0);
      out.uint32(static_cast<uint32_t>(length));
    } else {
      out.byte(1);
      out.byteArray(data, length);
    }
    return CKR_OK;
  }
  struct Held : Pass {
    const uint8_t *data = nullptr;
    uint32_t length = 0;
    bool decode(Reader &in, Arena &) {
      uint8_t present;
      if (!in.byte(present)) return false;
      if (!present) return in.uint32(length) && ((length = 0), true);
      return in.byteArray(data, length);
    }
    auto args() { return std::make_tuple(const_cast<CK_BYTE_PTR>(data), static_cast<CK_ULONG>(length)); }
  };
};

// The 32-character label of C_InitToken: "z" travels as a string of any
// length (versions 0), "s" as exactly 32 blank-padded bytes (C_InitToken2).
// The module always gets 32 blank-padded bytes.
template <char Letter>
struct Label : In {
  static constexpr size_t arity = 1;
  static std::string request() { return std::string(1, Letter); }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    if (!std::get<I>(a)) return CKR_ARGUMENTS_BAD;
    out.byteArray(std::get<I>(a), 32);
    return CKR_OK;
  }
  struct Held : Pass {
    CK_UTF8CHAR text[33];
    bool decode(Reader &in, Arena &) {
      const uint8_t *data;
      uint32_t length;
      if (!in.byteArray(data, length) || !data || (Letter == 's' && length != 32)) return false;
      std::memset(text, ' ', 32);
      std::memcpy(text, data, length < 32 ? length : 32);
      text[32] = 0;
      return true;
    }
    auto args() { return std::make_tuple(static_cast<CK_UTF8CHAR_PTR>(text)); }
  };
};

// A template going in: attributes and their count.
struct InAttributes : In {
  static constexpr size_t arity = 2;
  static std::string request() { return "aA"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    if (!std::get<I>(a) && std::get<I + 1>(a)) return CKR_ARGUMENTS_BAD;
    writeAttributes(out, std::get<I>(a), std::get<I + 1>(a));
    return out.failed() ? CKR_ARGUMENTS_BAD : CKR_OK;
  }
  struct Held : Pass {
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
    bool decode(Reader &in, Arena &arena) { return readAttributes(in, arena, attributes, count); }
    auto args() { return std::make_tuple(attributes, count); }
  };
};

struct InMechanism : In {
  static constexpr size_t arity = 1;
  static std::string request() { return "M"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    return writeMechanism(out, std::get<I>(a));
  }
  struct Held : Pass {
    CK_MECHANISM mechanism{};
    bool none = false;  // the cancel of an operation
    bool decode(Reader &in, Arena &arena) { return readMechanism(in, arena, mechanism, none); }
    auto args() { return std::make_tuple(none ? nullptr : &mechanism); }
  };
};

// C_DeriveKey2's mechanism: it goes in, and after the call's result the
// parameter comes back (none here changes in the module).
struct InMechanismBack : InMechanism {
  static std::string response() { return "uP"; }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    CK_ULONG rv = CKR_OK;
    ok = ok && in.ulong(rv) && readParameterUpdate(in, std::get<I>(a)->mechanism);
    return rv;
  }
  struct Held : InMechanism::Held {
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK) return rv;
      out.uint64(rv);
      writeParameterUpdate(out, mechanism);
      return rv;
    }
  };
};

// A CK_ULONG coming back: a new handle, a size, a slot.
struct OutUlong {
  static constexpr size_t arity = 1;
  static std::string request() { return ""; }
  static std::string response() { return "u"; }
  template <size_t I, class A>
  static CK_RV write(Writer &, const A &a) {
    return std::get<I>(a) ? CKR_OK : CKR_ARGUMENTS_BAD;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    ok = ok && in.ulong(*std::get<I>(a));
    return CKR_OK;
  }
  struct Held {
    CK_ULONG value = 0;
    bool decode(Reader &, Arena &) { return true; }
    auto args() { return std::make_tuple(&value); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv == CKR_OK) out.uint64(value);
      return rv;
    }
  };
};

// Shared by the output arrays: the length-only answer (no array), which
// tells a caller with a buffer that it was too small.
inline CK_RV lengthOnly(bool callerHasBuffer) { return callerHasBuffer ? CKR_BUFFER_TOO_SMALL : CKR_OK; }

// Output bytes: a buffer and a pointer to its length (null buffer: the
// caller asks for the length).
struct OutBytes {
  static constexpr size_t arity = 2;
  static std::string request() { return "fy"; }
  static std::string response() { return "ay"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    CK_ULONG_PTR length = std::get<I + 1>(a);
    if (!length) return CKR_ARGUMENTS_BAD;
    CK_ULONG room = std::get<I>(a) ? *length : 0;
    out.uint32(room > kMaxMessage ? kMaxMessage : static_cast<uint32_t>(room));
    return CKR_OK;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    CK_BYTE_PTR buffer = std::get<I>(a);
    CK_ULONG_PTR length = std::get<I + 1>(a);
    uint8_t present;
    uint32_t n;
    const uint8_t *data;
    if (!(ok = ok && in.byte(present))) return CKR_OK;
    if (!present) {
      if (!(ok = in.uint32(n))) return CKR_OK;
      *length = n;
      return lengthOnly(buffer != nullptr);
    }
    if (!(ok = in.byteArray(data, n) && data)) return CKR_OK;
    CK_ULONG room = *length;
    *length = n;
    if (!buffer) return CKR_OK;
    if (room < n) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(buffer, data, n);
    return CKR_OK;
  }
  struct Held {
    CK_BYTE_PTR buffer = nullptr;
    CK_ULONG length = 0, room = 0;
    bool decode(Reader &in, Arena &arena) {
      uint32_t asked;
      if (!in.uint32(asked) || asked > kMaxMessage) return false;
      length = room = asked;
      return asked == 0 || (buffer = static_cast<CK_BYTE_PTR>(arena.allocate(asked)));
    }
    auto args() { return std::make_tuple(buffer, &length); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return rv;
      // A module that claims more than its buffer held: only the length goes.
      if (rv == CKR_OK && buffer && length <= room) {
        out.byte(1);
        out.byteArray(buffer, length);
      } else {
        out.byte(0);
        out.uint32(static_cast<uint32_t>(length));
      }
      return CKR_OK;
    }
  };
};

// Output bytes of a length the caller fixes (C_GenerateRandom).
struct OutFixedBytes {
  static constexpr size_t arity = 2;
  static std::string request() { return "fy"; }
  static std::string response() { return "ay"; }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    if (!std::get<I>(a) || std::get<I + 1>(a) > kMaxMessage) return CKR_ARGUMENTS_BAD;
    out.uint32(static_cast<uint32_t>(std::get<I + 1>(a)));
    return CKR_OK;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    uint8_t present;
    uint32_t n;
    const uint8_t *data;
    // All the bytes asked for: a short answer would leave some of the buffer as it was.
    ok = ok && in.byte(present) && present && in.byteArray(data, n) && data && n == std::get<I + 1>(a);
    if (ok) std::memcpy(std::get<I>(a), data, n);
    return CKR_OK;
  }
  struct Held {
    CK_BYTE_PTR buffer = nullptr;
    CK_ULONG length = 0;
    bool decode(Reader &in, Arena &arena) {
      uint32_t room;
      if (!in.uint32(room) || room > kMaxMessage) return false;
      length = room;
      return (buffer = static_cast<CK_BYTE_PTR>(arena.allocate(room))) != nullptr;
    }
    auto args() { return std::make_tuple(buffer, length); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK) return rv;
      out.byte(1);
      out.byteArray(buffer, length);
      return rv;
    }
  };
};

// A list of CK_ULONG values going out of the module: slot ids, mechanism
// types (buffer and count pointer), or found objects (buffer, room, count
// pointer: WithRoom).
template <bool WithRoom>
struct OutUlongs {
  static constexpr size_t arity = WithRoom ? 3 : 2;
  static std::string request() { return "fu"; }
  static std::string response() { return "au"; }
  template <size_t I, class A>
  static CK_ULONG room(const A &a) {
    if constexpr (WithRoom) return std::get<I + 1>(a);
    else return *std::get<I + 1>(a);
  }
  template <size_t I, class A>
  static CK_ULONG_PTR count(const A &a) {
    return std::get<I + arity - 1>(a);
  }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    if (!count<I>(a)) return CKR_ARGUMENTS_BAD;
    CK_ULONG n = std::get<I>(a) ? room<I>(a) : 0;
    out.uint32(n > kMaxMessage / 8 ? kMaxMessage / 8 : static_cast<uint32_t>(n));
    return CKR_OK;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    CK_ULONG *list = std::get<I>(a);
    uint8_t present;
    uint32_t n;
    if (!(ok = ok && in.byte(present) && in.uint32(n))) return CKR_OK;
    CK_ULONG space = list ? room<I>(a) : 0;
    *count<I>(a) = n;
    if (!present) return lengthOnly(list != nullptr);
    if (!(ok = n <= in.left() / 8)) return CKR_OK;
    for (uint32_t i = 0; i < n; ++i) {
      CK_ULONG value;
      if (!(ok = in.ulong(value))) return CKR_OK;
      if (list && i < space) list[i] = value;
    }
    return list && space < n ? CKR_BUFFER_TOO_SMALL : CKR_OK;
  }
  struct Held {
    CK_ULONG_PTR list = nullptr;
    CK_ULONG room = 0;
    CK_ULONG count = 0;
    bool decode(Reader &in, Arena &arena) {
      uint32_t n;
      if (!in.uint32(n) || n > kMaxMessage / sizeof(CK_ULONG)) return false;
      room = count = n;
      return n == 0 || (list = static_cast<CK_ULONG_PTR>(arena.allocate(n * sizeof(CK_ULONG))));
    }
    auto args() {
      if constexpr (WithRoom) return std::make_tuple(list, room, &count);
      else return std::make_tuple(list, &count);
    }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return rv;
      bool withValues = rv == CKR_OK && list && count <= room;
      out.byte(withValues ? 1 : 0);
      out.uint32(static_cast<uint32_t>(count));
      if (withValues)
        for (CK_ULONG i = 0; i < count && i < room; ++i) out.uint64(list[i]);
      return CKR_OK;
    }
  };
};

// C_GetAttributeValue's template: the types and room asked for go out; the
// attributes and the call's own result come back.
struct OutAttributes {
  static constexpr size_t arity = 2;
  static std::string request() { return "fA"; }
  static std::string response() { return "aAu"; }
  // The types and room asked for; in the typed layout a template's room
  // is followed by the nested types and room of the caller's attributes.
  static void writeRoom(Writer &out, const CK_ATTRIBUTE *attributes, CK_ULONG count, int depth) {
    if (depth >= kMaxNesting || count > 0xFFFFFFFFu) return out.fail();
    out.uint32(static_cast<uint32_t>(count));
    for (CK_ULONG i = 0; i < count; ++i) {
      out.uint32(static_cast<uint32_t>(attributes[i].type));
      CK_ULONG room = attributes[i].pValue ? attributes[i].ulValueLen : 0;
      out.uint32(room > kMaxMessage ? kMaxMessage : static_cast<uint32_t>(room));
      if (out.dialect.typed() && room && valueKind(attributes[i].type) == ValueKind::Template)
        writeRoom(out, static_cast<const CK_ATTRIBUTE *>(attributes[i].pValue), room / sizeof(CK_ATTRIBUTE),
                  depth + 1);
    }
  }
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    CK_ATTRIBUTE_PTR attributes = std::get<I>(a);
    CK_ULONG count = std::get<I + 1>(a);
    if (!attributes && count) return CKR_ARGUMENTS_BAD;
    writeRoom(out, attributes, count, 0);
    return out.failed() ? CKR_ARGUMENTS_BAD : CKR_OK;
  }
  // One attribute of the answer into the caller's: its value when the
  // caller's room holds it, a nested template into the caller's own nested
  // attributes (whose types are the module's). False: the host's attribute
  // is not the caller's.
  static bool fill(CK_ATTRIBUTE &wanted, const CK_ATTRIBUTE &got, CK_RV &rv, bool &unavailable, int depth = 0) {
    if (depth > 0) wanted.type = got.type;
    if (got.type != wanted.type) return false;
    if (got.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
      wanted.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      unavailable = true;
    } else if (!wanted.pValue) {
      wanted.ulValueLen = got.ulValueLen;
    } else if (wanted.ulValueLen < got.ulValueLen) {
      wanted.ulValueLen = got.ulValueLen;
      rv = CKR_BUFFER_TOO_SMALL;
    } else if (valueKind(got.type) == ValueKind::Template) {
      auto *nested = static_cast<CK_ATTRIBUTE *>(wanted.pValue);
      auto *from = static_cast<const CK_ATTRIBUTE *>(got.pValue);
      CK_ULONG n = got.ulValueLen / sizeof(CK_ATTRIBUTE);
      if (n && !from) return false;
      for (CK_ULONG i = 0; i < n; ++i)
        if (!fill(nested[i], from[i], rv, unavailable, depth + 1)) return false;
      wanted.ulValueLen = got.ulValueLen;
    } else {
      if (got.pValue) std::memcpy(wanted.pValue, got.pValue, got.ulValueLen);
      wanted.ulValueLen = got.ulValueLen;
    }
    return true;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    CK_ATTRIBUTE_PTR attributes = std::get<I>(a);
    uint32_t n;
    if (!(ok = ok && in.uint32(n) && n == std::get<I + 1>(a))) return CKR_OK;
    CK_RV rv = CKR_OK;
    bool unavailable = false;
    for (uint32_t i = 0; i < n; ++i) {
      Arena arena;
      CK_ATTRIBUTE got;
      if (!(ok = readAttribute(in, arena, got, 0, !attributes[i].pValue) &&
                 fill(attributes[i], got, rv, unavailable)))
        return CKR_OK;
    }
    CK_ULONG result;
    if (!(ok = in.ulong(result))) return CKR_OK;
    // An attribute without a value comes only with a result that says why.
    if (unavailable && result == CKR_OK) result = CKR_ATTRIBUTE_TYPE_INVALID;
    return result != CKR_OK ? result : rv;
  }
  struct Held {
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
    // The types and room asked for: n attributes for the module, then the
    // same n again as they were given, which the module does not see.
    static bool readRoom(Reader &in, Arena &arena, CK_ATTRIBUTE_PTR &attributes, CK_ULONG &count, int depth) {
      uint32_t n;
      if (depth >= kMaxNesting || !in.uint32(n) || n > in.left() / 8) return false;
      count = n;
      attributes = static_cast<CK_ATTRIBUTE_PTR>(arena.allocate(2 * n * sizeof(CK_ATTRIBUTE)));
      if (!attributes) return false;
      for (uint32_t i = 0; i < n; ++i) {
        uint32_t type, room;
        if (!in.uint32(type) || !in.uint32(room) || room > kMaxMessage) return false;
        attributes[i].type = type;
        if (room && in.dialect.typed() && valueKind(type) == ValueKind::Template) {
          // The caller's nested attributes, each with its own room.
          CK_ATTRIBUTE_PTR nested;
          CK_ULONG nestedCount;
          if (!readRoom(in, arena, nested, nestedCount, depth + 1) || room < nestedCount * sizeof(CK_ATTRIBUTE))
            return false;
          attributes[i].pValue = nestedCount ? nested : nullptr;
          attributes[i].ulValueLen = nestedCount * sizeof(CK_ATTRIBUTE);
          continue;
        }
        // A value of fixed size gets at least this side's own size: a CK_ULONG
        // of the other side may be narrower.
        size_t fixed = fixedSize(valueKind(type));
        if (room && room < fixed) room = static_cast<uint32_t>(fixed);
        attributes[i] = CK_ATTRIBUTE{type, room ? arena.allocate(room) : nullptr, room};
        if (room && !attributes[i].pValue) return false;
      }
      std::memcpy(attributes + n, attributes, n * sizeof(CK_ATTRIBUTE));
      return true;
    }
    bool decode(Reader &in, Arena &arena) { return readRoom(in, arena, attributes, count, 0); }
    // What the module claims beyond the room it was given goes as a length
    // only: the host never reads past a buffer it gave.
    static CK_RV keepToRoom(CK_ATTRIBUTE_PTR got, CK_ULONG n, CK_ULONG given, CK_RV rv, int depth = 0) {
      const CK_ATTRIBUTE *asked = got + given;
      for (CK_ULONG i = 0; i < n; ++i) {
        if (depth == 0) got[i].type = asked[i].type;  // a nested template's types are the module's
        if (got[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || !asked[i].pValue) {
          got[i].pValue = nullptr;
        } else if (got[i].ulValueLen > asked[i].ulValueLen) {
          got[i].pValue = nullptr;
          if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
        } else if (valueKind(got[i].type) == ValueKind::Template) {
          got[i].pValue = asked[i].pValue;
          rv = keepToRoom(static_cast<CK_ATTRIBUTE_PTR>(got[i].pValue), got[i].ulValueLen / sizeof(CK_ATTRIBUTE),
                          asked[i].ulValueLen / sizeof(CK_ATTRIBUTE), rv, depth + 1);
        } else {
          got[i].pValue = asked[i].pValue;
        }
      }
      return rv;
    }
    auto args() { return std::make_tuple(attributes, count); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID &&
          rv != CKR_BUFFER_TOO_SMALL)
        return rv;
      rv = keepToRoom(attributes, count, count, rv);
      writeAttributes(out, attributes, count);
      out.uint64(rv);
      return CKR_OK;
    }
  };
};

// Fields of the information records, by type.
inline void writeField(Writer &out, CK_ULONG value) { out.uint64(value); }
inline void writeField(Writer &out, const CK_VERSION &value) {
  out.byte(value.major);
  out.byte(value.minor);
}
template <size_t N>
void writeField(Writer &out, const CK_UTF8CHAR (&text)[N]) {
  out.byteArray(text, N);
}
inline bool readField(Reader &in, CK_ULONG &value) { return in.ulong(value); }
inline bool readField(Reader &in, CK_VERSION &value) { return in.byte(value.major) && in.byte(value.minor); }
template <size_t N>
bool readField(Reader &in, CK_UTF8CHAR (&text)[N]) {
  const uint8_t *data;
  uint32_t length;
  if (!in.byteArray(data, length) || !data) return false;
  std::memset(text, ' ', N);
  std::memcpy(text, data, length < N ? length : N);
  return true;
}
inline char fieldLetter(CK_ULONG) { return 'u'; }
inline char fieldLetter(const CK_VERSION &) { return 'v'; }
template <size_t N>
char fieldLetter(const CK_UTF8CHAR (&)[N]) {
  return 's';
}

template <typename T>
struct MemberOf;
template <typename T, typename F>
struct MemberOf<F T::*> {
  using type = T;
};

// An information record coming back, field by field in the given order.
template <auto First, auto... Fields>
struct OutRecord {
  using Record = typename MemberOf<decltype(First)>::type;
  static constexpr size_t arity = 1;
  static std::string request() { return ""; }
  static std::string response() {
    Record r{};
    return std::string{fieldLetter(r.*First), fieldLetter(r.*Fields)...};
  }
  template <size_t I, class A>
  static CK_RV write(Writer &, const A &a) {
    return std::get<I>(a) ? CKR_OK : CKR_ARGUMENTS_BAD;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    Record &r = *std::get<I>(a);
    ok = ok && readField(in, r.*First) && (readField(in, r.*Fields) && ...);
    return CKR_OK;
  }
  struct Held {
    Record record{};
    bool decode(Reader &, Arena &) { return true; }
    auto args() { return std::make_tuple(&record); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK) return rv;
      writeField(out, record.*First);
      (writeField(out, record.*Fields), ...);
      return rv;
    }
  };
};

// One call: its id, the module function it reaches, and its parts.
template <uint32_t Id, auto Member, typename... Parts>
struct Call {
  static constexpr uint32_t id = Id;
  static constexpr auto member = Member;
  static const std::string &request() {
    static const std::string signature = (std::string() + ... + Parts::request());
    return signature;
  }
  static const std::string &response() {
    static const std::string signature = (std::string() + ... + Parts::response());
    return signature;
  }
  // Where each part's arguments begin in the function's argument list (after
  // none: the first argument is the first part's).
  static constexpr std::array<size_t, sizeof...(Parts)> offsets() {
    std::array<size_t, sizeof...(Parts)> at{};
    size_t arities[] = {Parts::arity...};
    size_t sum = 0;
    for (size_t i = 0; i < sizeof...(Parts); ++i) {
      at[i] = sum;
      sum += arities[i];
    }
    return at;
  }
  using PartList = std::tuple<Parts...>;
};

using L = CK_FUNCTION_LIST;
using Info = OutRecord<&CK_INFO::cryptokiVersion, &CK_INFO::manufacturerID, &CK_INFO::flags,
                       &CK_INFO::libraryDescription, &CK_INFO::libraryVersion>;
using SlotInfo = OutRecord<&CK_SLOT_INFO::slotDescription, &CK_SLOT_INFO::manufacturerID, &CK_SLOT_INFO::flags,
                           &CK_SLOT_INFO::hardwareVersion, &CK_SLOT_INFO::firmwareVersion>;
using TokenInfo =
    OutRecord<&CK_TOKEN_INFO::label, &CK_TOKEN_INFO::manufacturerID, &CK_TOKEN_INFO::model,
              &CK_TOKEN_INFO::serialNumber, &CK_TOKEN_INFO::flags, &CK_TOKEN_INFO::ulMaxSessionCount,
              &CK_TOKEN_INFO::ulSessionCount, &CK_TOKEN_INFO::ulMaxRwSessionCount, &CK_TOKEN_INFO::ulRwSessionCount,
              &CK_TOKEN_INFO::ulMaxPinLen, &CK_TOKEN_INFO::ulMinPinLen, &CK_TOKEN_INFO::ulTotalPublicMemory,
              &CK_TOKEN_INFO::ulFreePublicMemory, &CK_TOKEN_INFO::ulTotalPrivateMemory,
              &CK_TOKEN_INFO::ulFreePrivateMemory, &CK_TOKEN_INFO::hardwareVersion, &CK_TOKEN_INFO::firmwareVersion,
              &CK_TOKEN_INFO::utcTime>;
using MechanismInfo =
    OutRecord<&CK_MECHANISM_INFO::ulMinKeySize, &CK_MECHANISM_INFO::ulMaxKeySize, &CK_MECHANISM_INFO::flags>;
using SessionInfo = OutRecord<&CK_SESSION_INFO::slotID, &CK_SESSION_INFO::state, &CK_SESSION_INFO::flags,
                              &CK_SESSION_INFO::ulDeviceError>;
using U = Ulong;
using OutList = OutUlongs<false>;
using OutFound = OutUlongs<true>;
using InitToken1 = Call<kCallInitToken, &L::C_InitToken, U, InBytes, Label<'z'>>;
using DeriveKey1 = Call<kCallDeriveKey, &L::C_DeriveKey, U, InMechanism, U, InAttributes, OutUlong>;

// Every call that crosses the pipe as it is; C_Initialize and C_Finalize
// open and close the connection and are the client's and server's own.
using Calls = std::tuple<
    Call<kCallGetInfo, &L::C_GetInfo, Info>,
    Call<kCallGetSlotList, &L::C_GetSlotList, Byte, OutList>,
    Call<kCallGetSlotInfo, &L::C_GetSlotInfo, U, SlotInfo>,
    Call<kCallGetTokenInfo, &L::C_GetTokenInfo, U, TokenInfo>,
    Call<kCallGetMechanismList, &L::C_GetMechanismList, U, OutList>,
    Call<kCallGetMechanismInfo, &L::C_GetMechanismInfo, U, U, MechanismInfo>,
    InitToken1,
    Call<kCallOpenSession, &L::C_OpenSession, U, U, Local, Local, OutUlong>,
    Call<kCallCloseSession, &L::C_CloseSession, U>,
    Call<kCallCloseAllSessions, &L::C_CloseAllSessions, U>,
    Call<kCallGetSessionInfo, &L::C_GetSessionInfo, U, SessionInfo>,
    Call<kCallInitPIN, &L::C_InitPIN, U, InBytes>,
    Call<kCallSetPIN, &L::C_SetPIN, U, InBytes, InBytes>,
    Call<kCallGetOperationState, &L::C_GetOperationState, U, OutBytes>,
    Call<kCallSetOperationState, &L::C_SetOperationState, U, InBytes, U, U>,
    Call<kCallLogin, &L::C_Login, U, U, InBytes>,
    Call<kCallLogout, &L::C_Logout, U>,
    Call<kCallCreateObject, &L::C_CreateObject, U, InAttributes, OutUlong>,
    Call<kCallCopyObject, &L::C_CopyObject, U, U, InAttributes, OutUlong>,
    Call<kCallDestroyObject, &L::C_DestroyObject, U, U>,
    Call<kCallGetObjectSize, &L::C_GetObjectSize, U, U, OutUlong>,
    Call<kCallGetAttributeValue, &L::C_GetAttributeValue, U, U, OutAttributes>,
    Call<kCallSetAttributeValue, &L::C_SetAttributeValue, U, U, InAttributes>,
    Call<kCallFindObjectsInit, &L::C_FindObjectsInit, U, InAttributes>,
    Call<kCallFindObjects, &L::C_FindObjects, U, OutFound>,
    Call<kCallFindObjectsFinal, &L::C_FindObjectsFinal, U>,
    Call<kCallEncryptInit, &L::C_EncryptInit, U, InMechanism, U>,
    Call<kCallEncrypt, &L::C_Encrypt, U, InBytes, OutBytes>,
    Call<kCallEncryptUpdate, &L::C_EncryptUpdate, U, InBytes, OutBytes>,
    Call<kCallEncryptFinal, &L::C_EncryptFinal, U, OutBytes>,
    Call<kCallDecryptInit, &L::C_DecryptInit, U, InMechanism, U>,
    Call<kCallDecrypt, &L::C_Decrypt, U, InBytes, OutBytes>,
    Call<kCallDecryptUpdate, &L::C_DecryptUpdate, U, InBytes, OutBytes>,
    Call<kCallDecryptFinal, &L::C_DecryptFinal, U, OutBytes>,
    Call<kCallDigestInit, &L::C_DigestInit, U, InMechanism>,
    Call<kCallDigest, &L::C_Digest, U, InBytes, OutBytes>,
    Call<kCallDigestUpdate, &L::C_DigestUpdate, U, InBytes>,
    Call<kCallDigestKey, &L::C_DigestKey, U, U>,
    Call<kCallDigestFinal, &L::C_DigestFinal, U, OutBytes>,
    Call<kCallSignInit, &L::C_SignInit, U, InMechanism, U>,
    Call<kCallSign, &L::C_Sign, U, InBytes, OutBytes>,
    Call<kCallSignUpdate, &L::C_SignUpdate, U, InBytes>,
    Call<kCallSignFinal, &L::C_SignFinal, U, OutBytes>,
    Call<kCallSignRecoverInit, &L::C_SignRecoverInit, U, InMechanism, U>,
    Call<kCallSignRecover, &L::C_SignRecover, U, InBytes, OutBytes>,
    Call<kCallVerifyInit, &L::C_VerifyInit, U, InMechanism, U>,
    Call<kCallVerify, &L::C_Verify, U, InBytes, InBytes>,
    Call<kCallVerifyUpdate, &L::C_VerifyUpdate, U, InBytes>,
    Call<kCallVerifyFinal, &L::C_VerifyFinal, U, InBytes>,
    Call<kCallVerifyRecoverInit, &L::C_VerifyRecoverInit, U, InMechanism, U>,
    Call<kCallVerifyRecover, &L::C_VerifyRecover, U, InBytes, OutBytes>,
    Call<kCallDigestEncryptUpdate, &L::C_DigestEncryptUpdate, U, InBytes, OutBytes>,
    Call<kCallDecryptDigestUpdate, &L::C_DecryptDigestUpdate, U, InBytes, OutBytes>,
    Call<kCallSignEncryptUpdate, &L::C_SignEncryptUpdate, U, InBytes, OutBytes>,
    Call<kCallDecryptVerifyUpdate, &L::C_DecryptVerifyUpdate, U, InBytes, OutBytes>,
    Call<kCallGenerateKey, &L::C_GenerateKey, U, InMechanism, InAttributes, OutUlong>,
    Call<kCallGenerateKeyPair, &L::C_GenerateKeyPair, U, InMechanism, InAttributes, InAttributes, OutUlong,
         OutUlong>,
    Call<kCallWrapKey, &L::C_WrapKey, U, InMechanism, U, U, OutBytes>,
    Call<kCallUnwrapKey, &L::C_UnwrapKey, U, InMechanism, U, InBytes, InAttributes, OutUlong>,
    DeriveKey1,
    Call<kCallSeedRandom, &L::C_SeedRandom, U, InBytes>,
    Call<kCallGenerateRandom, &L::C_GenerateRandom, U, OutFixedBytes>,
    Call<kCallWaitForSlotEvent, &L::C_WaitForSlotEvent, U, OutUlong, Local>>;

// The calls of later versions that stand in for one of the table: the
// router's client sends them when the connection agreed on `since`.
template <uint8_t Since, typename C, typename OlderCall>
struct Later : C {
  static constexpr uint8_t since = Since;
  using Older = OlderCall;
};
using InitToken2 = Later<1, Call<kCallInitToken2, &L::C_InitToken, U, InBytes, Label<'s'>>, InitToken1>;
using DeriveKey2 =
    Later<2, Call<kCallDeriveKey2, &L::C_DeriveKey, U, InMechanismBack, U, InAttributes, OutUlong>, DeriveKey1>;
using LaterCalls = std::tuple<InitToken2, DeriveKey2>;

// The PKCS#11 3.0 calls, served when the module offers its 3.0 interface.
// (The router reports 2.11 and never sends them: only the server's side.)

// A message's parameter (the IV and tag of a GCM message, ...) as p11-kit
// sends it: the structure's bytes. Every parameter the standard defines for
// messages holds pointers, which mean nothing in this process: only an
// empty parameter is taken, another fails its call (CKR_ARGUMENTS_BAD).
struct MessageParam : In {
  static constexpr size_t arity = 2;
  static std::string request() { return "ay"; }
  struct Held : Pass {
    InBytes::Held bytes;
    bool decode(Reader &in, Arena &arena) { return bytes.decode(in, arena) && bytes.length == 0; }
    auto args() { return std::make_tuple(static_cast<void *>(nullptr), CK_ULONG(0)); }
  };
};

// C_SignMessageNext's signature: whether one is asked for (the last part),
// then a buffer as OutBytes; none asked: the module gets two nulls.
struct MaybeOutBytes {
  static constexpr size_t arity = 2;
  static std::string request() { return "yfy"; }
  static std::string response() { return "ay"; }
  struct Held {
    uint8_t asked = 0;
    OutBytes::Held out;
    bool decode(Reader &in, Arena &arena) { return in.byte(asked) && out.decode(in, arena); }
    auto args() {
      return asked ? std::make_tuple(out.buffer, &out.length)
                   : std::make_tuple(static_cast<CK_BYTE_PTR>(nullptr), static_cast<CK_ULONG *>(nullptr));
    }
    CK_RV respond(Writer &w, CK_RV rv) {
      if (!asked) out.length = 0;
      return out.respond(w, rv);
    }
  };
};

// Ids after C_LoginUser in p11-kit's order.
constexpr uint32_t kCall30(uint32_t offset) { return kCallLoginUser + offset; }
using F3 = FunctionList30;
template <uint32_t First, auto Init, auto OnePart, auto Begin, auto Next, auto Final, typename OnePartParts,
          typename BeginParts, typename NextParts>
struct MessageCalls;
template <uint32_t First, auto Init, auto OnePart, auto Begin, auto Next, auto Final, typename... O,
          typename... B, typename... N>
struct MessageCalls<First, Init, OnePart, Begin, Next, Final, std::tuple<O...>, std::tuple<B...>, std::tuple<N...>> {
  using List = std::tuple<Call<First, Init, U, InMechanism, U>, Call<First + 1, OnePart, U, MessageParam, O...>,
                          Call<First + 2, Begin, U, MessageParam, B...>, Call<First + 3, Next, U, MessageParam, N...>,
                          Call<First + 4, Final, U>>;
};
using Encrypting = MessageCalls<kCall30(2), &F3::C_MessageEncryptInit, &F3::C_EncryptMessage,
                                &F3::C_EncryptMessageBegin, &F3::C_EncryptMessageNext, &F3::C_MessageEncryptFinal,
                                std::tuple<InBytes, InBytes, OutBytes>, std::tuple<InBytes>,
                                std::tuple<InBytes, OutBytes, U>>;
using Decrypting = MessageCalls<kCall30(7), &F3::C_MessageDecryptInit, &F3::C_DecryptMessage,
                                &F3::C_DecryptMessageBegin, &F3::C_DecryptMessageNext, &F3::C_MessageDecryptFinal,
                                std::tuple<InBytes, InBytes, OutBytes>, std::tuple<InBytes>,
                                std::tuple<InBytes, OutBytes, U>>;
using Signing = MessageCalls<kCall30(12), &F3::C_MessageSignInit, &F3::C_SignMessage, &F3::C_SignMessageBegin,
                             &F3::C_SignMessageNext, &F3::C_MessageSignFinal, std::tuple<InBytes, OutBytes>,
                             std::tuple<>, std::tuple<InBytes, MaybeOutBytes>>;
using Verifying = MessageCalls<kCall30(17), &F3::C_MessageVerifyInit, &F3::C_VerifyMessage,
                               &F3::C_VerifyMessageBegin, &F3::C_VerifyMessageNext, &F3::C_MessageVerifyFinal,
                               std::tuple<InBytes, InBytes>, std::tuple<>, std::tuple<InBytes, InBytes>>;
using Calls30 = decltype(std::tuple_cat(
    std::tuple<Call<kCallLoginUser, &F3::C_LoginUser, U, U, InBytes, InBytes>,
               Call<kCallSessionCancel, &F3::C_SessionCancel, U, U>>{},
    Encrypting::List{}, Decrypting::List{}, Signing::List{}, Verifying::List{}));

// Calls in which a module may wait for a PIN, on a pad or in a dialog of
// its own; with a reader's event, the calls that may wait for a person.
constexpr bool mayWaitForPin(uint32_t id) {
  return id == kCallLogin || id == kCallInitPIN || id == kCallSetPIN || id == kCallInitToken ||
         id == kCallInitToken2 || id == kCallLoginUser;
}
constexpr bool mayWaitForPerson(uint32_t id) { return mayWaitForPin(id) || id == kCallWaitForSlotEvent; }
// A key's answer that says it asks for its PIN at each use.
inline bool asksForPinAtEachUse(CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  for (CK_ULONG i = 0; attributes && i < count; ++i)
    if (attributes[i].type == CKA_ALWAYS_AUTHENTICATE && attributes[i].pValue &&
        attributes[i].ulValueLen == sizeof(CK_BBOOL) && *static_cast<CK_BBOOL *>(attributes[i].pValue) == CK_TRUE)
      return true;
  return false;
}
// An answer after which any call of the module may wait for a PIN: its
// token has a PIN pad, or it holds a key that asks for its PIN at each use.
template <uint32_t Id, typename Args>
bool anyCallMayAskForPin(CK_RV rv, const Args &args) {
  if constexpr (Id == kCallGetTokenInfo)
    return rv == CKR_OK && (std::get<1>(args)->flags & CKF_PROTECTED_AUTHENTICATION_PATH);
  else if constexpr (Id == kCallGetAttributeValue)
    return asksForPinAtEachUse(std::get<2>(args), std::get<3>(args));
  else
    return false;
}

}  // namespace tokenhub::rpc
