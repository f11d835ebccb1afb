// The router's answer decoder over arbitrary answers from a hostile host:
// the first byte picks the call of the table, the next ones set up the
// caller's outputs as an application would (buffers of a size taken from
// the input, each its own exact heap block so that a write beyond it is
// seen; null buffers that ask for a length; templates with and without
// value buffers), the rest is the host's answer body. The decoder reads no
// byte beyond the answer, writes nowhere beyond the caller's buffers, takes
// no answer to another call or of another signature as well-formed, and a
// well-formed CKR_OK never tells the caller of more than its buffer holds.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "rpc/answer.h"

using namespace tokenhub;

namespace {

// The input's bytes from the front; zeros once it is spent.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), end_(data + size) {}
  uint8_t take() { return data_ < end_ ? *data_++ : 0; }
  const uint8_t *rest() const { return data_; }
  size_t left() const { return static_cast<size_t>(end_ - data_); }

 private:
  const uint8_t *data_;
  const uint8_t *end_;
};

// The caller's outputs, each a zeroed heap block of its exact size, freed after the run.
class Buffers {
 public:
  template <typename T>
  T *make(size_t count) {
    T *block = new T[count]();
    blocks_.emplace_back(block, [](void *b) { delete[] static_cast<T *>(b); });
    return block;
  }

 private:
  std::vector<std::unique_ptr<void, void (*)(void *)>> blocks_;
};

// A room from the input: 0 for no buffer (a length query), else the room plus one.
struct Room {
  bool buffer;
  CK_ULONG size;
};
Room takeRoom(Input &input) {
  uint8_t b = input.take();
  return Room{b != 0, b ? CK_ULONG{b} - 1u : 0u};
}

// A part that only goes in: its arguments stay zero, as the decoder never reads them.
template <typename P>
struct Setup {
  template <size_t I, class A>
  void arrange(Input &, Buffers &, A &) {}
  template <size_t I, class A>
  bool fits(const A &) const {
    return true;
  }
};

template <>
struct Setup<rpc::OutUlong> : Setup<void> {
  template <size_t I, class A>
  void arrange(Input &, Buffers &buffers, A &a) {
    std::get<I>(a) = buffers.make<CK_ULONG>(1);
  }
};

template <auto... Fields>
struct Setup<rpc::OutRecord<Fields...>> : Setup<void> {
  template <size_t I, class A>
  void arrange(Input &, Buffers &buffers, A &a) {
    std::get<I>(a) = buffers.make<typename rpc::OutRecord<Fields...>::Record>(1);
  }
};

template <>
struct Setup<rpc::OutFixedBytes> : Setup<void> {
  template <size_t I, class A>
  void arrange(Input &input, Buffers &buffers, A &a) {
    std::get<I + 1>(a) = input.take();
    std::get<I>(a) = buffers.make<CK_BYTE>(std::get<I + 1>(a));
  }
};

template <>
struct Setup<rpc::OutBytes> {
  Room room{};
  template <size_t I, class A>
  void arrange(Input &input, Buffers &buffers, A &a) {
    room = takeRoom(input);
    std::get<I>(a) = room.buffer ? buffers.make<CK_BYTE>(room.size) : nullptr;
    *(std::get<I + 1>(a) = buffers.make<CK_ULONG>(1)) = room.size;
  }
  template <size_t I, class A>
  bool fits(const A &a) const {
    return !room.buffer || *std::get<I + 1>(a) <= room.size;
  }
};

template <bool WithRoom>
struct Setup<rpc::OutUlongs<WithRoom>> {
  Room room{};
  template <size_t I, class A>
  void arrange(Input &input, Buffers &buffers, A &a) {
    room = takeRoom(input);
    std::get<I>(a) = room.buffer ? buffers.make<CK_ULONG>(room.size) : nullptr;
    CK_ULONG_PTR count = buffers.make<CK_ULONG>(1);
    if constexpr (WithRoom)
      std::get<I + 1>(a) = room.size;
    else
      *count = room.size;
    std::get<I + rpc::OutUlongs<WithRoom>::arity - 1>(a) = count;
  }
  template <size_t I, class A>
  bool fits(const A &a) const {
    return !room.buffer || *std::get<I + rpc::OutUlongs<WithRoom>::arity - 1>(a) <= room.size;
  }
};

// A template of up to 8 attributes, one type of each kind of value (and a
// second byte string), each with a value buffer or none.
template <>
struct Setup<rpc::OutAttributes> {
  static constexpr CK_ATTRIBUTE_TYPE kTypes[] = {CKA_TOKEN,      CKA_CLASS, CKA_WRAP_TEMPLATE, CKA_ALLOWED_MECHANISMS,
                                                 CKA_START_DATE, CKA_VALUE, CKA_LABEL};
  std::vector<Room> rooms;
  template <size_t I, class A>
  void arrange(Input &input, Buffers &buffers, A &a) {
    CK_ULONG count = input.take() % 9;
    CK_ATTRIBUTE_PTR attributes = count ? buffers.make<CK_ATTRIBUTE>(count) : nullptr;
    for (CK_ULONG i = 0; i < count; ++i) {
      attributes[i].type = kTypes[input.take() % std::size(kTypes)];
      rooms.push_back(takeRoom(input));
      attributes[i].pValue = rooms[i].buffer ? buffers.make<CK_BYTE>(rooms[i].size) : nullptr;
      attributes[i].ulValueLen = rooms[i].size;
      if (attributes[i].type == CKA_WRAP_TEMPLATE && rooms[i].buffer) {
        // The caller's own nested attributes, each with a room of its own.
        CK_ULONG nested = input.take() % 3;
        auto *inner = buffers.make<CK_ATTRIBUTE>(nested + 1);
        for (CK_ULONG j = 0; j < nested; ++j) {
          Room room = takeRoom(input);
          inner[j] = CK_ATTRIBUTE{0, room.buffer ? buffers.make<CK_BYTE>(room.size) : nullptr, room.size};
        }
        attributes[i].pValue = inner;
        rooms[i].size = attributes[i].ulValueLen = nested * sizeof(CK_ATTRIBUTE);
      }
    }
    std::get<I>(a) = attributes;
    std::get<I + 1>(a) = count;
  }
  template <size_t I, class A>
  bool fits(const A &a) const {
    for (size_t i = 0; i < rooms.size(); ++i) {
      CK_ULONG length = std::get<I>(a)[i].ulValueLen;
      if (rooms[i].buffer && length != CK_UNAVAILABLE_INFORMATION && length > rooms[i].size) return false;
    }
    return true;
  }
};

// C_DeriveKey2's mechanism, whose answer names it.
template <>
struct Setup<rpc::InMechanismBack> : Setup<void> {
  template <size_t I, class A>
  void arrange(Input &input, Buffers &buffers, A &a) {
    CK_MECHANISM *mechanism = buffers.make<CK_MECHANISM>(1);
    mechanism->mechanism = input.take() % 2 ? CKM_ECDH1_DERIVE : CKM_SHA256_KEY_DERIVATION;
    std::get<I>(a) = mechanism;
  }
};

template <typename F>
struct ArgumentsOf;
template <typename... Args>
struct ArgumentsOf<CK_RV (*)(Args...)> {
  using type = std::tuple<Args...>;
};

template <typename C, size_t... I>
void decode(Input &input, rpc::Dialect dialect, std::index_sequence<I...>) {
  using Parts = typename C::PartList;
  typename ArgumentsOf<std::remove_reference_t<decltype(std::declval<CK_FUNCTION_LIST &>().*C::member)>>::type args{};
  Buffers buffers;
  std::tuple<Setup<std::tuple_element_t<I, Parts>>...> setups;
  constexpr auto at = C::offsets();
  (std::get<I>(setups).template arrange<at[I]>(input, buffers, args), ...);
  // The body in the fuzzer's own exact copy of the input: a read beyond it is seen.
  CK_RV rv = CKR_OK;
  if (!rpc::readAnswer<C>(input.rest(), input.left(), dialect, args, rv)) return;  // the connection ends
  rpc::Reader in(input.rest(), input.left());
  uint32_t id;
  std::string signature;
  if (!rpc::readBodyStart(in, id, signature)) __builtin_trap();
  bool own = id == C::id && signature == C::response();
  bool refusal = id == rpc::kCallError && signature == "u" && rv != CKR_OK;
  if (!own && !refusal) __builtin_trap();
  if (rv == CKR_OK && !(std::get<I>(setups).template fits<at[I]>(args) && ...)) __builtin_trap();
  if constexpr (C::id == rpc::kCallGenerateRandom) {
    // Random bytes are all there or the answer is refused: a short answer
    // would leave the rest of the caller's buffer as it was.
    uint8_t present;
    uint32_t n;
    if (own && rv == CKR_OK && in.byte(present) && in.uint32(n) && n != std::get<2>(args)) __builtin_trap();
  }
}

// Every call of the table, and those of the later versions.
using AllCalls = decltype(std::tuple_cat(std::declval<rpc::Calls>(), std::declval<rpc::LaterCalls>()));

template <size_t... N>
void decodeCall(size_t index, Input &input, rpc::Dialect dialect, std::index_sequence<N...>) {
  (void)((index == N &&
          (decode<std::tuple_element_t<N, AllCalls>>(
               input, dialect,
               std::make_index_sequence<std::tuple_size_v<typename std::tuple_element_t<N, AllCalls>::PartList>>{}),
           true)) ||
         ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t calls = std::tuple_size_v<AllCalls>;
  Input input(data, size);
  size_t call = input.take() % calls;
  rpc::Dialect dialect{static_cast<uint8_t>(input.take() % (rpc::kProtocolVersion + 1))};
  decodeCall(call, input, dialect, std::make_index_sequence<calls>{});
  return 0;
}
