#include "trace/traceline.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "handles/objects.h"
#include "handles/sessions.h"
#include "trace/tracefile.h"
#include "trace/tracenames.h"

namespace tokenhub::trace {

Line::Line() {
  LocalTime t = localTime();
  length_ = static_cast<size_t>(std::snprintf(
      buffer_, sizeof buffer_, "%04u-%02u-%02u %02u:%02u:%02u.%03u pid %lu tid %llu ", t.year, t.month, t.day,
      t.hour, t.minute, t.second, t.millisecond, static_cast<unsigned long>(processId()),
      static_cast<unsigned long long>(threadId())));
}


Line &Line::text(const char *text) { return format("%s", text); }

Line &Line::format(const char *pattern, ...) {
  size_t room = sizeof buffer_ - 1 - length_;  // one byte kept for the line end
  if (room > 1) {
    va_list list;
    va_start(list, pattern);
    int n = std::vsnprintf(buffer_ + length_, room, pattern, list);
    va_end(list);
    if (n > 0) length_ += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
  }
  return *this;
}

Line &Line::code(CK_RV rv) {
  const char *name = ckrName(rv);
  return name ? text(name) : format("0x%lX", static_cast<unsigned long>(rv));
}

Line &Line::scard(PcscResult result) {
  const char *name = scardName(result);
  return name ? text(name) : format("0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(result)));
}

void Line::write() {
  buffer_[length_++] = '\n';
  writeLine(buffer_, static_cast<uint32_t>(length_));
  --length_;
}

void Line::separator() {
  if (arguments_++ > 0) text(", ");
}

void Line::setPinCall(const char *name) {
  pinCall_ = std::strcmp(name, "C_InitToken") == 0 || std::strcmp(name, "C_InitPIN") == 0 ||
             std::strcmp(name, "C_SetPIN") == 0 || std::strcmp(name, "C_Login") == 0;
}

void Line::add(unsigned long number) {
  if (pinLengthNext_) {
    pinLengthNext_ = false;
    return;
  }
  if (pendingTemplate_) {
    // The count of the template before it: each attribute's type and length.
    CK_ATTRIBUTE_PTR attributes = pendingTemplate_;
    pendingTemplate_ = nullptr;
    constexpr unsigned long kShown = 32;
    for (unsigned long i = 0; i < number && i < kShown; ++i) {
      const char *name = ckaName(attributes[i].type);
      if (name)
        format("%s%s", i ? " " : "", name);
      else
        format("%s0x%lX", i ? " " : "", static_cast<unsigned long>(attributes[i].type));
      if (attributes[i].ulValueLen == CK_UNAVAILABLE_INFORMATION)
        text("/unavailable");
      else
        format("/%lu", static_cast<unsigned long>(attributes[i].ulValueLen));
    }
    if (number > kShown) text(" ...");
    format("}[%lu]", number);
    return;
  }
  separator();
  format("%lu", number);
}

void Line::add(unsigned char *buffer) {
  separator();
  text(buffer ? "buffer" : "NULL");
  pinLengthNext_ = pinCall_;
}

void Line::add(CK_ULONG_PTR length) {
  separator();
  const CK_ULONG *handles = pendingHandles_;
  pendingHandles_ = nullptr;
  if (!length) {
    text("NULL");
    return;
  }
  format("*%lu", static_cast<unsigned long>(*length));
  // The ids a successful call wrote, counted by this length.
  if (!handles || result_ != CKR_OK) return;
  text(" [");
  constexpr unsigned long kShown = 64;
  for (CK_ULONG i = 0; i < *length && i < kShown; ++i) {
    format("%s%lu", i ? " " : "", static_cast<unsigned long>(handles[i]));
    ObjectEntry object;
    if (pendingObjects_ && findObject(handles[i], HandleKind::Object, object) == CKR_OK)
      format("/b%lu", static_cast<unsigned long>(object.backendHandle));
  }
  text(*length > kShown ? " ...]" : "]");
}

void Line::add(CK_MECHANISM_PTR mechanism) {
  separator();
  if (!mechanism) {
    text("NULL");
    return;
  }
  const char *name = ckmName(mechanism->mechanism);
  if (name)
    text(name);
  else
    format("mechanism 0x%lX", static_cast<unsigned long>(mechanism->mechanism));
  if (mechanism->ulParameterLen) format(" parameter[%lu]", static_cast<unsigned long>(mechanism->ulParameterLen));
}

void Line::add(CK_ATTRIBUTE_PTR attributes) {
  separator();
  if (!attributes) {
    text("NULL");
    return;
  }
  text("{");
  pendingTemplate_ = attributes;  // closed by the count that follows
}

void Line::add(CK_SLOT_INFO_PTR info) {
  separator();
  if (info && result_ == CKR_OK)
    format("flags 0x%lX", static_cast<unsigned long>(info->flags));
  else
    text(info ? "info" : "NULL");
}

void Line::add(CK_TOKEN_INFO_PTR info) {
  separator();
  if (info && result_ == CKR_OK)
    format("serial \"%.16s\" flags 0x%lX", reinterpret_cast<const char *>(info->serialNumber),
           static_cast<unsigned long>(info->flags));
  else
    text(info ? "info" : "NULL");
}

void Line::add(CK_SESSION_INFO_PTR info) {
  separator();
  if (info && result_ == CKR_OK)
    format("slot %lu state %lu flags 0x%lX", static_cast<unsigned long>(info->slotID),
           static_cast<unsigned long>(info->state), static_cast<unsigned long>(info->flags));
  else
    text(info ? "info" : "NULL");
}

void Line::add(CK_NOTIFY notify) {
  separator();
  text(notify ? "callback" : "NULL");
}

void Line::add(void *pointer) {
  separator();
  text(pointer ? "pointer" : "NULL");
}

void Line::add(Slot a) {
  separator();
  format("slot %lu", static_cast<unsigned long>(a.id));
}

void Line::add(Session a) {
  separator();
  format("session %lu", static_cast<unsigned long>(a.handle));
  if (a.backend) format("/b%lu", static_cast<unsigned long>(a.backend));
}

void Line::add(Object a) {
  separator();
  format("object %lu", static_cast<unsigned long>(a.handle));
  if (a.backend) format("/b%lu", static_cast<unsigned long>(a.backend));
}

void Line::add(Flags a) {
  separator();
  format("flags 0x%lX", static_cast<unsigned long>(a.value));
}

void Line::add(Mechanism a) {
  separator();
  const char *name = ckmName(a.type);
  if (name)
    text(name);
  else
    format("mechanism 0x%lX", static_cast<unsigned long>(a.type));
}

void Line::add(InitArgs a) {
  separator();
  if (a.args)
    format("flags 0x%lX", static_cast<unsigned long>(static_cast<CK_C_INITIALIZE_ARGS_PTR>(a.args)->flags));
  else
    text("NULL");
}

void Line::add(NewSession a) {
  separator();
  if (!a.out || result_ != CKR_OK) {
    text(a.out ? "session out" : "NULL");
    return;
  }
  Session session{*a.out};
  lookUp(session);
  format("-> session %lu", static_cast<unsigned long>(session.handle));
  if (session.backend) format("/b%lu", static_cast<unsigned long>(session.backend));
}

void Line::add(SlotOut a) {
  separator();
  if (a.out && result_ == CKR_OK)
    format("-> slot %lu", static_cast<unsigned long>(*a.out));
  else
    text(a.out ? "slot out" : "NULL");
}

void Line::add(SlotIds a) {
  separator();
  text(a.list ? "list" : "NULL");
  pendingHandles_ = a.list;
  pendingObjects_ = false;
}

void Line::add(ObjectIds a) {
  separator();
  text(a.list ? "list" : "NULL");
  pendingHandles_ = a.list;
  pendingObjects_ = true;
}

void Line::add(Out a) {
  separator();
  text(a.buffer ? "list" : "NULL");
}

namespace {
void addHandle(Line &line, const char *kind, CK_OBJECT_HANDLE handle, HandleKind lookUpKind) {
  line.format("%s %lu", kind, static_cast<unsigned long>(handle));
  ObjectEntry object;
  if (handle && findObject(handle, lookUpKind, object) == CKR_OK)
    line.format("/b%lu", static_cast<unsigned long>(object.backendHandle));
}
}  // namespace

void Line::add(Key a) {
  separator();
  addHandle(*this, "key", a.handle, HandleKind::Key);
}
void Line::add(ObjectArg a) {
  separator();
  addHandle(*this, "object", a.handle, HandleKind::Object);
}
void Line::add(CreatedObject a) {
  separator();
  if (!a.out || result_ != CKR_OK) {
    text(a.out ? "object out" : "NULL");
    return;
  }
  text("-> ");
  addHandle(*this, "object", *a.out, HandleKind::Object);
}

void lookUp(Session &session) {
  SessionEntry entry;
  if (findSession(session.handle, entry) == CKR_OK) session.backend = entry.backendHandle;
}

void lookUp(Object &object) {
  ObjectEntry entry;
  if (findObject(object.handle, HandleKind::Object, entry) == CKR_OK) object.backend = entry.backendHandle;
}

}  // namespace tokenhub::trace
