// The diagnostic trace: the switch, the file with its bound, the line format,
// the events and the watch on PC/SC.
#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "forwarding.h"
#include "init.h"
#include "recognition.h"
#include "slots.h"

namespace tokenhub::trace {

std::atomic<bool> on{false};
thread_local bool insideCall = false;

namespace {

Lock fileLock;  // the file, its size and the limit
bool fileOpen = false;
uint64_t sizeLimit = kDefaultSizeLimit;

// A file that cannot be written is given up: the trace ends for this
// initialisation, silently.
void giveUp() {
  on.store(false, std::memory_order_relaxed);
  traceFileClose();
  fileOpen = false;
}

// A file is tokenhub's own when its first line is the one that each start
// of the trace writes; only such a file is written to and rotated. A file
// that something else wrote is never renamed, replaced or added to.
constexpr char kFirstLineMark[] = " trace on: tokenhub ";

bool ourFirstLine(const char *head, uint32_t length) {
  const char *end = static_cast<const char *>(std::memchr(head, '\n', length));
  std::string line(head, end ? end : head + length);
  return !line.empty() && line[0] >= '0' && line[0] <= '9' && line.find(kFirstLineMark) != std::string::npos;
}

bool fileIsOurs() {
  char head[256];
  return ourFirstLine(head, traceFileHead(head, sizeof head));
}

void writeFirstLine();

// After the size on disk, which every process writing the file adds to.
void writeLine(const char *text, uint32_t length) {
  LockGuard hold(fileLock);
  if (!fileOpen) return;
  uint64_t size = 0;
  if (!traceFileSize(&size)) return giveUp();
  if (size > 0 && size + length > sizeLimit) {
    bool reopened = false;
    if (!traceFileRotate(ourFirstLine, &reopened)) return giveUp();
    if (reopened && traceFileSize(&size) && size == 0) writeFirstLine();
    else if (reopened && !fileIsOurs()) return giveUp();
  }
  if (!traceFileWrite(text, length)) return giveUp();
}

const char *roleModule(unsigned role) { return role < kRoleCount ? backendRoles[role].baseName : "?"; }
const char *profileName(uint32_t profile) { return profile == Common ? "common" : "secure"; }

}  // namespace

void attach() { fileLock.create(); }

void afterFork() {
  fileLock.create();
  giveUp();
}

void detach() {
  {
    LockGuard hold(fileLock);
    giveUp();
  }
  fileLock.destroy();
}

void setSizeLimit(uint64_t bytes) {
  LockGuard hold(fileLock);
  sizeLimit = bytes;
}

void beginInitialize() {
  if (insideCall || initialised()) return;
  bool opened = false;
  {
    LockGuard hold(fileLock);
    giveUp();
    uint64_t size = 0;
    if (readTraceSwitch() && traceFileOpen(&size)) {
      opened = fileOpen = size == 0 || fileIsOurs();
      if (!opened) traceFileClose();
    }
  }
  if (!opened) return;
  on.store(true, std::memory_order_relaxed);
  writeFirstLine();
}

// ---- Lines

Line::Line() {
  LocalTime t = localTime();
  length_ = static_cast<size_t>(std::snprintf(
      buffer_, sizeof buffer_, "%04u-%02u-%02u %02u:%02u:%02u.%03u pid %lu tid %llu ", t.year, t.month, t.day,
      t.hour, t.minute, t.second, t.millisecond, static_cast<unsigned long>(processId()),
      static_cast<unsigned long long>(threadId())));
}

namespace {
// Begins each start of the trace and each file it rotates to.
void writeFirstLine() {
  Line line;
  line.format("trace on: tokenhub 2.0.0.11, rotated at %llu bytes", static_cast<unsigned long long>(sizeLimit));
  line.writeUnbounded();
}
}  // namespace

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
}

void Line::writeUnbounded() {
  buffer_[length_++] = '\n';
  LockGuard hold(fileLock);
  if (fileOpen && !traceFileWrite(buffer_, static_cast<uint32_t>(length_))) giveUp();
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
  if (!length) {
    pendingHandles_ = nullptr;
    text("NULL");
    return;
  }
  format("*%lu", static_cast<unsigned long>(*length));
  const Handles *handles = pendingHandles_;
  pendingHandles_ = nullptr;
  // The ids a successful call wrote, counted by this length.
  if (!handles || !handles->list || result_ != CKR_OK) return;
  text(" [");
  constexpr unsigned long kShown = 64;
  for (CK_ULONG i = 0; i < *length && i < kShown; ++i) {
    format("%s%lu", i ? " " : "", static_cast<unsigned long>(handles->list[i]));
    ObjectEntry object;
    if (handles->objects && findObject(handles->list[i], HandleKind::Object, object) == CKR_OK)
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

void Line::add(Handles a) {
  separator();
  text(a.list ? "list" : "NULL");
  handles_ = a;
  pendingHandles_ = &handles_;
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

void Line::add(const KeyHandle &a) {
  separator();
  addHandle(*this, "key", a.handle, HandleKind::Key);
}
void Line::add(const ObjectHandle &a) {
  separator();
  addHandle(*this, "object", a.handle, HandleKind::Object);
}
void Line::add(const OptionalKeyHandle &a) {
  separator();
  addHandle(*this, "key", a.handle, HandleKind::Key);
}
void Line::add(const NewObject &a) {
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

// ---- Events

namespace detail {

void moduleLoad(const char *path, void *module) {
  char text[512] = {};
  if (!module) {
    uint32_t error = moduleLoadError(text, sizeof text);  // first, before any other call changes it
    Line line;
    line.format("module load \"%s\": failed", path);
    if (error) line.format(", system error %lu", static_cast<unsigned long>(error));
    line.format(": %s", text).write();
    return;
  }
  Line line;
  line.format("module load \"%s\": loaded", path);
  // A bare name is found by the loader's own search: say where.
  if (modulePath(module, text, sizeof text) && std::strcmp(text, path) != 0) line.format(" from %s", text);
  line.write();
}

void backend(unsigned role, CK_RV result) {
  Line line;
  line.format("backend role %u (%s): ", role + 1, roleModule(role));
  switch (result) {
    case 0:
      line.text(role < kRoleCount && router.backends[role].adopted
                    ? "ready, initialised already by another (never finalised here)"
                    : "ready");
      break;
    case kLoadFailed: line.text("not loaded"); break;
    case kNoFunctionListExport: line.text("no C_GetFunctionList export, unloaded"); break;
    case kFunctionListFailed: line.text("C_GetFunctionList failed, unloaded"); break;
    default: line.text("C_Initialize returned ").code(result).text(", unloaded");
  }
  line.write();
}

void slotRegistration(const BackendRole &role, CK_SLOT_ID backendSlot, const CK_SLOT_INFO &info, int result) {
  unsigned index = static_cast<unsigned>(&role - backendRoles);
  int described = sizeof info.slotDescription;
  while (described > 0 && info.slotDescription[described - 1] == ' ') --described;
  Line line;
  line.format("slot registration: role %u backend slot %lu \"%.*s\": ", index + 1,
              static_cast<unsigned long>(backendSlot), described, reinterpret_cast<const char *>(info.slotDescription));
  if (result == 1) return line.text("blank description, no virtual slot").write();
  if (result == 2) return line.text("slot table full, no virtual slot").write();
  // The row of the role's profile that now holds this backend slot, and its pair.
  for (uint32_t i = 0; i < router.slotCount; ++i) {
    const SlotEntry &row = router.slotTable[i];
    CK_SLOT_ID held = role.family == 1 ? row.backendSlotFamily1 : row.backendSlotFamily2;
    if (row.profile == role.profile && held == backendSlot) {
      const SlotEntry &common = router.slotTable[i & ~1u];
      return line.format("reader \"%s\", virtual slots %lu (common) and %lu (secure)", row.readerName,
                         static_cast<unsigned long>(common.id), static_cast<unsigned long>(common.id + 1))
          .write();
    }
  }
  line.text("no virtual slot").write();
}

void recognition(const SlotEntry &slot, const ReaderState &state, CK_RV result) {
  Line line;
  line.format("recognition: slot %lu reader \"%s\" %s profile: ", static_cast<unsigned long>(slot.id),
              slot.readerName, profileName(slot.profile));
  if (result == CKR_FUNCTION_FAILED) return line.text("card service query failed").write();
  if (!(state.eventState & kScardStatePresent)) return line.text("no card -> CKR_TOKEN_NOT_PRESENT").write();
  char atr[2 * sizeof state.atr + 1];
  uint32_t atrLength = state.atrLength < sizeof state.atr ? state.atrLength : sizeof state.atr;
  hexEncode(state.atr, atrLength, atr);
  line.format("ATR %s", atrLength ? atr : "(empty)");
  CardFamily family = recogniseAtr(state.atr, atrLength);
  if (atrLength == 0) return line.text(" -> CKR_TOKEN_NOT_PRESENT").write();
  if (family == 0) return line.text(", no pattern matches -> CKR_TOKEN_NOT_RECOGNIZED").write();
  unsigned role = roleIndex(family, slot.profile);
  line.format(", family %u, role %u (%s)", family, role + 1, roleModule(role));
  CK_SLOT_ID backendSlot = family == 1 ? slot.backendSlotFamily1 : slot.backendSlotFamily2;
  if (!router.backends[role].functionList)
    line.text(": module not loaded");
  else if (backendSlot == 0)
    line.text(": its module lists no slot for this reader");
  else
    line.format(" backend slot %lu", static_cast<unsigned long>(backendSlot));
  line.text(" -> ").code(result).write();
}

void serialRead(const SlotEntry &slot, PcscResult result, const char *serial) {
  Line line;
  line.format("serial read: reader \"%s\": ", slot.readerName);
  if (serial[0]) line.format("serial %s", serial);
  else if (result == kScardSuccess) line.text("no serial file of either layout");
  else line.text("failed");
  line.text(" (last exchange ").scard(result).text(")").write();
}

}  // namespace detail

// ---- PC/SC under watch: each failed call gets its line.

namespace {

PcscResult failed(const char *call, const char *reader, PcscResult result) {
  if (result == kScardSuccess || !active()) return result;
  Line line;
  line.format("PC/SC %s", call);
  if (reader) line.format(" \"%s\"", reader);
  line.text(" = ").scard(result).write();
  return result;
}

PcscResult establishContext(PcscContext *context) {
  return failed("SCardEstablishContext", nullptr, pcscService().establishContext(context));
}
PcscResult releaseContext(PcscContext context) {
  return failed("SCardReleaseContext", nullptr, pcscService().releaseContext(context));
}
PcscResult getStatusChange(PcscContext context, uint32_t timeoutMs, ReaderState *states, uint32_t count) {
  PcscResult rv = pcscService().getStatusChange(context, timeoutMs, states, count);
  return failed("SCardGetStatusChange", count == 1 ? states[0].reader : nullptr, rv);
}
PcscResult connect(PcscContext context, const char *reader, uint32_t shareMode, uint32_t preferredProtocols,
                   PcscCard *card, uint32_t *activeProtocol) {
  return failed("SCardConnect", reader,
                pcscService().connect(context, reader, shareMode, preferredProtocols, card, activeProtocol));
}
PcscResult beginTransaction(PcscCard card) {
  return failed("SCardBeginTransaction", nullptr, pcscService().beginTransaction(card));
}
// The serial read ends a transaction before it begins one, in case an earlier
// attempt left one open; "not transacted" is the usual answer and no failure.
PcscResult endTransaction(PcscCard card, uint32_t disposition) {
  PcscResult rv = pcscService().endTransaction(card, disposition);
  return rv == static_cast<PcscResult>(0x80100016) ? rv : failed("SCardEndTransaction", nullptr, rv);
}
PcscResult status(PcscCard card, char *readerName, uint32_t *readerLength, uint32_t *state, uint32_t *protocol,
                  uint8_t *atr, uint32_t *atrLength) {
  return failed("SCardStatus", nullptr,
                pcscService().status(card, readerName, readerLength, state, protocol, atr, atrLength));
}
PcscResult reconnect(PcscCard card, uint32_t shareMode, uint32_t preferredProtocols, uint32_t initialization,
                     uint32_t *activeProtocol) {
  return failed("SCardReconnect", nullptr,
                pcscService().reconnect(card, shareMode, preferredProtocols, initialization, activeProtocol));
}
PcscResult transmit(PcscCard card, uint32_t protocol, const uint8_t *command, uint32_t commandLength,
                    uint8_t *response, uint32_t *responseLength) {
  return failed("SCardTransmit", nullptr,
                pcscService().transmit(card, protocol, command, commandLength, response, responseLength));
}
PcscResult disconnect(PcscCard card, uint32_t disposition) {
  return failed("SCardDisconnect", nullptr, pcscService().disconnect(card, disposition));
}

PcscResult cancel(PcscContext context) { return failed("SCardCancel", nullptr, pcscService().cancel(context)); }

PcscResult listReaders(PcscContext context, char *names, uint32_t *length) {
  return failed("SCardListReaders", nullptr, pcscService().listReaders(context, names, length));
}

bool awaitService(uint32_t timeoutMs) { return pcscService().awaitService(timeoutMs); }

const PcscApi watched = {establishContext, releaseContext, getStatusChange, connect,    beginTransaction,
                         endTransaction,   status,         reconnect,       transmit,   disconnect,
                         cancel,           listReaders,    awaitService};

}  // namespace

const PcscApi &watchedPcsc() { return watched; }

}  // namespace tokenhub::trace
