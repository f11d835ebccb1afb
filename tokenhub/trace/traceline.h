// One line of the diagnostic trace, built in a fixed buffer and written
// whole, and the kinds of argument an entry point's line shows. A line never
// holds a PIN, data, a signature or an attribute's value: buffers are shown
// as "buffer" or "NULL", templates by attribute types and lengths.
#pragma once
#include "state/state.h"

namespace tokenhub::trace {

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
struct SlotIds {  // an array of slot ids, counted by the next CK_ULONG_PTR
  CK_SLOT_ID_PTR list;
};
struct ObjectIds {  // an array of object handles, counted by the next CK_ULONG_PTR
  CK_OBJECT_HANDLE_PTR list;
};
struct Key {  // a key handle the call is given; shown with the backend's number
  CK_OBJECT_HANDLE handle;
};
struct ObjectArg {  // an object handle the call is given; shown with the backend's number
  CK_OBJECT_HANDLE handle;
};
struct CreatedObject {  // where a call writes the handle of an object it creates
  CK_OBJECT_HANDLE_PTR out;
};
struct Out {  // an output array shown only as present or not
  const void *buffer;
};

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
  // The line's text without its line end, and its length.
  const char *text() const { return buffer_; }
  uint32_t length() const { return static_cast<uint32_t>(length_); }

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
  void add(SlotIds a);
  void add(ObjectIds a);
  void add(Out a);
  void add(Key a);
  void add(ObjectArg a);
  void add(CreatedObject a);
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
  // The ids of a SlotIds or ObjectIds argument, shown with the count after it.
  const CK_ULONG *pendingHandles_ = nullptr;
  bool pendingObjects_ = false;
};

}  // namespace tokenhub::trace
