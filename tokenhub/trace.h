// The diagnostic trace that support staff switch on: one line per backend
// module load, slot registration, card recognition, failed PC/SC call, serial
// read and entry point, in the file that TOKENHUB_LOG (or, on Windows, the
// LogFile registry value) names when the library is started.
//
// With the trace off, each hook costs one relaxed load of `on`. A line never
// holds a PIN, data, a signature or an attribute's value: buffers are shown
// as "buffer" or "NULL", templates by attribute types and lengths.
//
// Each line is written whole in one write under a lock; the file is renamed
// to the name with ".1" added once it would pass kDefaultSizeLimit, so at
// most one older copy is kept. A file that cannot be opened or written ends
// the trace without a word; no result of the router changes.
#pragma once
#include <atomic>
#include <type_traits>

#include "functions.h"
#include "state.h"

namespace tokenhub {
struct KeyHandle;
struct ObjectHandle;
struct OptionalKeyHandle;
struct NewObject;
}  // namespace tokenhub

namespace tokenhub::trace {

constexpr uint64_t kDefaultSizeLimit = 10u * 1024 * 1024;

extern std::atomic<bool> on;
inline bool active() { return on.load(std::memory_order_relaxed); }

// First in C_Initialize: when the library is not initialised yet, reads the
// switch and opens the file it names (or ends the trace when it names none).
void beginInitialize();
// Process attach and detach: the trace's lock, and the file closed.
void attach();
void detach();
// In a forked child: the lock made anew, and the parent's open file let go
// (shared with the parent, it would share the parent's rotation lock too);
// the child's own C_Initialize opens the file again.
void afterFork();
// For tests: the size at which the file is rotated.
void setSizeLimit(uint64_t bytes);

// The name of a code, or null when it has none.
const char *ckrName(CK_RV code);
const char *ckmName(CK_MECHANISM_TYPE type);
const char *ckaName(CK_ATTRIBUTE_TYPE type);
const char *scardName(PcscResult code);

// PC/SC with every failed call written to the trace.
const PcscApi &watchedPcsc();

namespace detail {
void moduleLoad(const char *path, void *module);
void backend(unsigned role, CK_RV result);
void slotRegistration(const BackendRole &role, CK_SLOT_ID backendSlot, const CK_SLOT_INFO &info, int result);
void recognition(const SlotEntry &slot, const ReaderState &state, CK_RV result);
void serialRead(const SlotEntry &slot, PcscResult result, const char *serial);
}  // namespace detail

// Events. Each writes its line only while the trace is on.
// One attempt to load a backend module: the path tried and the handle (null on failure).
inline void moduleLoad(const char *path, void *module) {
  if (active()) detail::moduleLoad(path, module);
}
// What became of a role's module: 0, a loadBackend failure, or its C_Initialize result.
inline void backend(unsigned role, CK_RV result) {
  if (active()) detail::backend(role, result);
}
// A backend slot and the result of registerBackendSlot for it.
inline void slotRegistration(const BackendRole &role, CK_SLOT_ID backendSlot, const CK_SLOT_INFO &info, int result) {
  if (active()) detail::slotRegistration(role, backendSlot, info, result);
}
inline void recognition(const SlotEntry &slot, const ReaderState &state, CK_RV result) {
  if (active()) detail::recognition(slot, state, result);
}
inline void serialRead(const SlotEntry &slot, PcscResult result, const char *serial) {
  if (active()) detail::serialRead(slot, result, serial);
}

// What an entry point's numbers are, for its line. Session and Object carry
// the backend's number, looked up before the call (the call may remove the row).
struct Slot {
  CK_SLOT_ID id;
};
struct Session {
  CK_SESSION_HANDLE handle;
  CK_SESSION_HANDLE backend = 0;
};
struct Object {
  CK_OBJECT_HANDLE handle;
  CK_OBJECT_HANDLE backend = 0;
};
struct Flags {
  CK_FLAGS value;
};
struct Mechanism {
  CK_MECHANISM_TYPE type;
};
struct InitArgs {  // the CK_C_INITIALIZE_ARGS pointer of C_Initialize
  CK_VOID_PTR args;
};
struct NewSession {  // where C_OpenSession writes the new session
  CK_SESSION_HANDLE_PTR out;
};
struct SlotOut {  // where C_WaitForSlotEvent writes the slot
  CK_SLOT_ID_PTR out;
};
struct Handles {  // an array of slot ids or object handles, counted by the next CK_ULONG_PTR
  CK_ULONG_PTR list;
  bool objects;
};
struct Out {  // an output array shown only as present or not
  const void *buffer;
};

template <typename T>
T raw(T argument) {
  return argument;
}
inline CK_SLOT_ID raw(Slot a) { return a.id; }
inline CK_SESSION_HANDLE raw(Session a) { return a.handle; }
inline CK_OBJECT_HANDLE raw(Object a) { return a.handle; }
inline CK_FLAGS raw(Flags a) { return a.value; }
inline CK_MECHANISM_TYPE raw(Mechanism a) { return a.type; }
inline CK_VOID_PTR raw(InitArgs a) { return a.args; }
inline CK_SESSION_HANDLE_PTR raw(NewSession a) { return a.out; }
inline CK_SLOT_ID_PTR raw(SlotOut a) { return a.out; }
inline CK_ULONG_PTR raw(Handles a) { return a.list; }
inline CK_ULONG_PTR raw(Out a) { return static_cast<CK_ULONG_PTR>(const_cast<void *>(a.buffer)); }

template <typename T>
void lookUp(T &) {}
void lookUp(Session &session);
void lookUp(Object &object);

// One line of the trace, built in a fixed buffer and written whole.
class Line {
 public:
  Line();  // the time, the process id and the thread id
  Line &text(const char *text);
  Line &format(const char *pattern, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  Line &code(CK_RV rv);  // CKR_ name, or hex
  Line &scard(PcscResult result);  // SCARD_ name, or hex
  void write();
  void writeUnbounded();  // without rotating: the first line of a file

  // An entry point's arguments, after the call; `result` is its result.
  void setResult(CK_RV result) { result_ = result; }
  // In a call that takes PINs (C_InitToken, C_InitPIN, C_SetPIN, C_Login) the
  // count after a buffer is a PIN's length: nothing of it is shown.
  void setPinCall(const char *name);
  void add(unsigned long number);
  void add(unsigned int number) { add(static_cast<unsigned long>(number)); }
  void add(unsigned char number) { add(static_cast<unsigned long>(number)); }
  void add(unsigned char *buffer);  // data, PINs, labels: never their contents
  void add(CK_ULONG_PTR length);
  void add(CK_MECHANISM_PTR mechanism);
  void add(CK_ATTRIBUTE_PTR attributes);  // shown with the count that follows
  void add(CK_SLOT_INFO_PTR info);
  void add(CK_TOKEN_INFO_PTR info);
  void add(CK_SESSION_INFO_PTR info);
  void add(CK_NOTIFY notify);
  void add(void *pointer);
  void add(Slot a);
  void add(Session a);
  void add(Object a);
  void add(Flags a);
  void add(Mechanism a);
  void add(InitArgs a);
  void add(NewSession a);
  void add(SlotOut a);
  void add(Handles a);
  void add(Out a);
  void add(const KeyHandle &a);
  void add(const ObjectHandle &a);
  void add(const OptionalKeyHandle &a);
  void add(const NewObject &a);
  template <typename T>
  void add(T *pointer) {
    add(static_cast<void *>(pointer));
  }

 private:
  void separator();
  char buffer_[2048];
  size_t length_ = 0;
  unsigned arguments_ = 0;
  bool pinCall_ = false;
  bool pinLengthNext_ = false;
  CK_RV result_ = CKR_OK;
  CK_ATTRIBUTE_PTR pendingTemplate_ = nullptr;
  const Handles *pendingHandles_ = nullptr;
  Handles handles_{};
};

extern thread_local bool insideCall;

// Runs an entry point once more with the trace's line around it: the
// backend numbers of its handles before, the call, then the line with the
// arguments as the call left them and the result.
template <typename F, typename... A>
CK_RV call(const char *name, F function, A... arguments) {
  (lookUp(arguments), ...);
  insideCall = true;
  CK_RV rv = function(raw(arguments)...);
  insideCall = false;
  Line line;
  line.text(name).text("(");
  line.setResult(rv);
  line.setPinCall(name);
  (line.add(arguments), ...);
  line.text(") = ").code(rv).write();
  return rv;
}

// The name of a CK_FUNCTION_LIST member, found at compile time.
template <typename A, typename B>
constexpr bool sameMember(A a, B b) {
  if constexpr (std::is_same_v<A, B>)
    return a == b;
  else
    return false;
}
template <auto Member>
constexpr const char *functionName() {
#define TOKENHUB_MEMBER_NAME(name) \
  if (sameMember(Member, &CK_FUNCTION_LIST::name)) return #name;
  TOKENHUB_FUNCTIONS(TOKENHUB_MEMBER_NAME)
#undef TOKENHUB_MEMBER_NAME
  return "?";
}

}  // namespace tokenhub::trace

// First statement of an entry point: while the trace is on, the entry point
// is run inside trace::call, which writes its line. The arguments are the
// entry point's own, wrapped where a number needs its meaning told.
#define TOKENHUB_TRACE_ENTRY(name, ...)                                          \
  if (::tokenhub::trace::active() && !::tokenhub::trace::insideCall)             \
  return ::tokenhub::trace::call(#name, name, __VA_ARGS__)
