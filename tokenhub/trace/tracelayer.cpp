#include "trace/tracelayer.h"

#include <tuple>
#include <type_traits>
#include <utility>

#include "state/functions.h"
#include "trace/traceline.h"

namespace tokenhub::trace {

namespace {

// How a call's line shows each of its arguments: as a kind of traceline.h,
// or as what its type is (Plain). A function that is not listed below takes
// a session handle first and shows the rest as they are.
struct Plain {};
template <typename... Kinds>
struct Shown {};
struct SessionFirst {};

template <auto Member>
struct ShownArguments {
  using type = SessionFirst;
};
#define TOKENHUB_SHOWN(name, ...)                    \
  template <>                                        \
  struct ShownArguments<&CK_FUNCTION_LIST::name> {   \
    using type = Shown<__VA_ARGS__>;                 \
  };
TOKENHUB_SHOWN(C_Initialize, InitArgs)
TOKENHUB_SHOWN(C_Finalize, Plain)
TOKENHUB_SHOWN(C_GetInfo, Plain)
TOKENHUB_SHOWN(C_GetFunctionList, Plain)
TOKENHUB_SHOWN(C_GetSlotList, Plain, SlotIds, Plain)
TOKENHUB_SHOWN(C_GetSlotInfo, Slot, Plain)
TOKENHUB_SHOWN(C_GetTokenInfo, Slot, Plain)
TOKENHUB_SHOWN(C_GetMechanismList, Slot, Out, Plain)
TOKENHUB_SHOWN(C_GetMechanismInfo, Slot, Mechanism, Plain)
TOKENHUB_SHOWN(C_InitToken, Slot, Plain, Plain, Plain)
TOKENHUB_SHOWN(C_OpenSession, Slot, Flags, Plain, Plain, NewSession)
TOKENHUB_SHOWN(C_CloseAllSessions, Slot)
TOKENHUB_SHOWN(C_SetOperationState, Session, Plain, Plain, Key, Key)
TOKENHUB_SHOWN(C_CreateObject, Session, Plain, Plain, CreatedObject)
TOKENHUB_SHOWN(C_CopyObject, Session, ObjectArg, Plain, Plain, CreatedObject)
TOKENHUB_SHOWN(C_DestroyObject, Session, Object)
TOKENHUB_SHOWN(C_GetObjectSize, Session, ObjectArg, Plain)
TOKENHUB_SHOWN(C_GetAttributeValue, Session, ObjectArg, Plain, Plain)
TOKENHUB_SHOWN(C_SetAttributeValue, Session, ObjectArg, Plain, Plain)
TOKENHUB_SHOWN(C_FindObjects, Session, ObjectIds, Plain, Plain)
TOKENHUB_SHOWN(C_EncryptInit, Session, Plain, Key)
TOKENHUB_SHOWN(C_DecryptInit, Session, Plain, Key)
TOKENHUB_SHOWN(C_DigestKey, Session, Key)
TOKENHUB_SHOWN(C_SignInit, Session, Plain, Key)
TOKENHUB_SHOWN(C_SignRecoverInit, Session, Plain, Key)
TOKENHUB_SHOWN(C_VerifyInit, Session, Plain, Key)
TOKENHUB_SHOWN(C_VerifyRecoverInit, Session, Plain, Key)
TOKENHUB_SHOWN(C_GenerateKey, Session, Plain, Plain, Plain, CreatedObject)
TOKENHUB_SHOWN(C_GenerateKeyPair, Session, Plain, Plain, Plain, Plain, Plain, CreatedObject, CreatedObject)
TOKENHUB_SHOWN(C_WrapKey, Session, Plain, Key, Key, Plain, Plain)
TOKENHUB_SHOWN(C_UnwrapKey, Session, Plain, Key, Plain, Plain, Plain, Plain, CreatedObject)
TOKENHUB_SHOWN(C_DeriveKey, Session, Plain, Key, Plain, Plain, CreatedObject)
TOKENHUB_SHOWN(C_WaitForSlotEvent, Flags, SlotOut, Plain)
#undef TOKENHUB_SHOWN

template <typename>
using PlainFor = Plain;
template <typename S, typename Signature>
struct Spelt {
  using type = S;
};
template <typename First, typename... Rest>
struct Spelt<SessionFirst, CK_RV (*)(First, Rest...)> {
  using type = Shown<Session, PlainFor<Rest>...>;
};

template <typename Kind, typename Argument>
using As = std::conditional_t<std::is_same_v<Kind, Plain>, Argument, Kind>;

const CK_FUNCTION_LIST *lower = nullptr;

template <auto Member>
using SignatureOf = std::remove_reference_t<decltype(std::declval<CK_FUNCTION_LIST &>().*Member)>;

template <auto Member, typename Signature = SignatureOf<Member>,
          typename S = typename Spelt<typename ShownArguments<Member>::type, Signature>::type>
struct Traced;

// The backend numbers of the handles before the call (it may remove their
// rows), the call, then the line with the arguments as the call left them.
template <auto Member, typename... Arguments, typename... Kinds>
struct Traced<Member, CK_RV (*)(Arguments...), Shown<Kinds...>> {
  static_assert(sizeof...(Arguments) == sizeof...(Kinds), "one kind for each argument");
  static CK_RV call(Arguments... arguments) {
    std::tuple<As<Kinds, Arguments>...> shown{As<Kinds, Arguments>{arguments}...};
    std::apply([](auto &...each) { (lookUp(each), ...); }, shown);
    CK_RV rv = (lower->*Member)(arguments...);
    constexpr const char *name = functionName<Member>();
    Line line;
    line.text(name).text("(");
    line.setResult(rv);
    line.setPinCall(name);
    std::apply([&line](auto &...each) { (line.add(each), ...); }, shown);
    line.text(") = ").code(rv).write();
    return rv;
  }
};

CK_FUNCTION_LIST traced;

}  // namespace

const CK_FUNCTION_LIST &layer(const CK_FUNCTION_LIST &lowerList) {
  lower = &lowerList;
  traced.version = lowerList.version;
#define TOKENHUB_TRACED(name) traced.name = Traced<&CK_FUNCTION_LIST::name>::call;
  TOKENHUB_FUNCTIONS(TOKENHUB_TRACED)
#undef TOKENHUB_TRACED
  return traced;
}

}  // namespace tokenhub::trace
