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

namespace tokenhub::rpc {

// Results of the server side that p11-kit's peers use for a request they
// cannot read and a response that cannot be written.
constexpr CK_RV kParseError = CKR_DEVICE_ERROR;
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

// The 32-character label of C_InitToken.
struct Label : In {
  static constexpr size_t arity = 1;
  static std::string request() { return "z"; }
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
      if (!in.byteArray(data, length) || !data) return false;
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
    if (!std::get<I>(a)) return CKR_ARGUMENTS_BAD;
    return writeMechanism(out, *std::get<I>(a)) ? CKR_OK : CKR_MECHANISM_INVALID;
  }
  struct Held : Pass {
    CK_MECHANISM mechanism{};
    bool decode(Reader &in, Arena &arena) { return readMechanism(in, arena, mechanism); }
    auto args() { return std::make_tuple(&mechanism); }
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
    CK_ULONG length = 0;
    bool decode(Reader &in, Arena &arena) {
      uint32_t room;
      if (!in.uint32(room) || room > kMaxMessage) return false;
      length = room;
      return room == 0 || (buffer = static_cast<CK_BYTE_PTR>(arena.allocate(room)));
    }
    auto args() { return std::make_tuple(buffer, &length); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return rv;
      if (rv == CKR_OK && buffer) {
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
      bool withValues = rv == CKR_OK && list;
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
  template <size_t I, class A>
  static CK_RV write(Writer &out, const A &a) {
    CK_ATTRIBUTE_PTR attributes = std::get<I>(a);
    CK_ULONG count = std::get<I + 1>(a);
    if (!attributes && count) return CKR_ARGUMENTS_BAD;
    out.uint32(static_cast<uint32_t>(count));
    for (CK_ULONG i = 0; i < count; ++i) {
      out.uint32(static_cast<uint32_t>(attributes[i].type));
      CK_ULONG room = attributes[i].pValue ? attributes[i].ulValueLen : 0;
      out.uint32(room > kMaxMessage ? kMaxMessage : static_cast<uint32_t>(room));
    }
    return CKR_OK;
  }
  template <size_t I, class A>
  static CK_RV read(Reader &in, A &a, bool &ok) {
    CK_ATTRIBUTE_PTR attributes = std::get<I>(a);
    uint32_t n;
    if (!(ok = ok && in.uint32(n) && n == std::get<I + 1>(a))) return CKR_OK;
    CK_RV rv = CKR_OK;
    for (uint32_t i = 0; i < n; ++i) {
      Arena arena;
      CK_ATTRIBUTE got;
      if (!(ok = readAttribute(in, arena, got) && got.type == attributes[i].type)) return CKR_OK;
      CK_ATTRIBUTE &wanted = attributes[i];
      // A nested template would need the caller's own attribute buffers.
      if (got.ulValueLen == CK_UNAVAILABLE_INFORMATION || valueKind(got.type) == ValueKind::Template) {
        wanted.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      } else if (!wanted.pValue) {
        wanted.ulValueLen = got.ulValueLen;
      } else if (wanted.ulValueLen < got.ulValueLen) {
        wanted.ulValueLen = got.ulValueLen;
        rv = CKR_BUFFER_TOO_SMALL;
      } else {
        if (got.pValue) std::memcpy(wanted.pValue, got.pValue, got.ulValueLen);
        wanted.ulValueLen = got.ulValueLen;
      }
    }
    CK_ULONG result;
    if (!(ok = in.ulong(result))) return CKR_OK;
    return result != CKR_OK ? result : rv;
  }
  struct Held {
    CK_ATTRIBUTE_PTR attributes = nullptr;
    CK_ULONG count = 0;
    bool decode(Reader &in, Arena &arena) {
      uint32_t n;
      if (!in.uint32(n) || n > in.left() / 8) return false;
      count = n;
      attributes = static_cast<CK_ATTRIBUTE_PTR>(arena.allocate(n * sizeof(CK_ATTRIBUTE)));
      if (!attributes) return false;
      for (uint32_t i = 0; i < n; ++i) {
        uint32_t type, room;
        if (!in.uint32(type) || !in.uint32(room) || room > kMaxMessage) return false;
        // A value of fixed size gets at least this side's own size: a CK_ULONG
        // of the other side may be narrower.
        size_t fixed = fixedSize(valueKind(type));
        if (room && room < fixed) room = static_cast<uint32_t>(fixed);
        attributes[i] = CK_ATTRIBUTE{type, room ? arena.allocate(room) : nullptr, room};
        if (room && !attributes[i].pValue) return false;
      }
      return true;
    }
    auto args() { return std::make_tuple(attributes, count); }
    CK_RV respond(Writer &out, CK_RV rv) {
      if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID &&
          rv != CKR_BUFFER_TOO_SMALL)
        return rv;
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

// Every call that crosses the pipe as it is; C_Initialize and C_Finalize
// open and close the connection and are the client's and server's own.
using Calls = std::tuple<
    Call<kCallGetInfo, &L::C_GetInfo, Info>,
    Call<kCallGetSlotList, &L::C_GetSlotList, Byte, OutList>,
    Call<kCallGetSlotInfo, &L::C_GetSlotInfo, U, SlotInfo>,
    Call<kCallGetTokenInfo, &L::C_GetTokenInfo, U, TokenInfo>,
    Call<kCallGetMechanismList, &L::C_GetMechanismList, U, OutList>,
    Call<kCallGetMechanismInfo, &L::C_GetMechanismInfo, U, U, MechanismInfo>,
    Call<kCallInitToken, &L::C_InitToken, U, InBytes, Label>,
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
    Call<kCallDeriveKey, &L::C_DeriveKey, U, InMechanism, U, InAttributes, OutUlong>,
    Call<kCallSeedRandom, &L::C_SeedRandom, U, InBytes>,
    Call<kCallGenerateRandom, &L::C_GenerateRandom, U, OutFixedBytes>,
    Call<kCallWaitForSlotEvent, &L::C_WaitForSlotEvent, U, OutUlong, Local>>;

}  // namespace tokenhub::rpc
