// The trace's event lines: what the router's units report through their
// trace points (backends, slot registrations, card recognition, serial
// reads), each backend module load that the platform's loader tries, and
// every PC/SC call that fails.
#include "trace/traceevents.h"

#include <cstdio>
#include <cstring>

#include "calls/init.h"
#include "cards/recognition.h"
#include "rpc/client.h"
#include "cards/serial.h"
#include "state/slottable.h"
#include "trace/tracefile.h"
#include "trace/traceline.h"
#include "state/tracepoints.h"

namespace tokenhub::trace {

namespace {

// ---- Lines that repeat: a reader that stays unplugged fails a query every
// second for each wait, and an application that polls the slots has each
// look's card recognition written. Such a line is written once, then only
// counted: each 100th repeat is written with "(repeated 100 times)", and the
// count since, when a newer line takes its place among the recent ones. So
// the lines that tell something new are not rotated away.

constexpr unsigned kRecentLines = 8;
constexpr uint32_t kRepeatsPerSummary = 100;
constexpr size_t kRecentText = 240;

struct RecentLine {
  char text[kRecentText];  // the event, without the time and the ids
  uint32_t repeats;        // since it was last written
  uint64_t lastUse;
};
RecentLine recentLines[kRecentLines];  // guarded by tableLock
uint64_t linesSeen = 0;

// The event of a line: what follows "pid N tid N ".
const char *eventOf(const Line &line) {
  const char *tid = std::strstr(line.text(), " tid ");
  const char *event = tid ? std::strchr(tid + 5, ' ') : nullptr;
  return event ? event + 1 : line.text();
}

void writeSummary(const char *event, uint32_t repeats) {
  Line summary;
  summary.format("%s (repeated %lu times)", event, static_cast<unsigned long>(repeats)).write();
}

// Writes the line, or counts it when it repeats a recent one.
void writeOnce(Line &line) {
  char event[kRecentText];
  std::snprintf(event, sizeof event, "%s", eventOf(line));
  char evicted[kRecentText];
  uint32_t evictedRepeats = 0;
  uint32_t summarised = 0;
  {
    LockGuard hold(tableLock);
    RecentLine *oldest = &recentLines[0];
    RecentLine *found = nullptr;
    for (RecentLine &recent : recentLines) {
      if (recent.lastUse && std::strcmp(recent.text, event) == 0) found = &recent;
      if (recent.lastUse < oldest->lastUse) oldest = &recent;
    }
    if (found) {
      found->lastUse = ++linesSeen;
      if (++found->repeats < kRepeatsPerSummary) return;
      summarised = found->repeats;
      found->repeats = 0;
    } else {
      evictedRepeats = oldest->lastUse ? oldest->repeats : 0;
      std::memcpy(evicted, oldest->text, sizeof evicted);
      std::memcpy(oldest->text, event, sizeof event);
      oldest->repeats = 0;
      oldest->lastUse = ++linesSeen;
    }
  }
  if (evictedRepeats) writeSummary(evicted, evictedRepeats);
  if (summarised)
    writeSummary(event, summarised);
  else
    line.write();
}

const char *roleModule(unsigned role) { return role < kRoleCount ? backendRoles[role].baseName : "?"; }
const char *profileName(uint32_t profile) { return profile == Common ? "common" : "secure"; }

void moduleLoad(const char *path, void *module) {
  if (!active()) return;
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
  if (!active()) return;
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
  if (!active()) return;
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
  if (!active()) return;
  Line line;
  line.format("recognition: slot %lu reader \"%s\" %s profile: ", static_cast<unsigned long>(slot.id),
              state.reader, profileName(slot.profile));
  if (result == CKR_FUNCTION_FAILED) return writeOnce(line.text("card service query failed"));
  if (!(state.eventState & kScardStatePresent)) return writeOnce(line.text("no card -> CKR_TOKEN_NOT_PRESENT"));
  char atr[2 * sizeof state.atr + 1];
  uint32_t atrLength = state.atrLength < sizeof state.atr ? state.atrLength : sizeof state.atr;
  hexEncode(state.atr, atrLength, atr);
  line.format("ATR %s", atrLength ? atr : "(empty)");
  CardFamily family = recogniseAtr(state.atr, atrLength);
  if (atrLength == 0) return writeOnce(line.text(" -> CKR_TOKEN_NOT_PRESENT"));
  if (family == 0) return writeOnce(line.text(", no pattern matches -> CKR_TOKEN_NOT_RECOGNIZED"));
  unsigned role = roleIndex(family, slot.profile);
  line.format(", family %u, role %u (%s)", family, role + 1, roleModule(role));
  CK_SLOT_ID backendSlot = family == 1 ? slot.backendSlotFamily1 : slot.backendSlotFamily2;
  if (!router.backends[role].functionList)
    line.text(": module not loaded");
  else if (backendSlot == 0)
    line.text(": its module lists no slot for this reader");
  else
    line.format(" backend slot %lu", static_cast<unsigned long>(backendSlot));
  writeOnce(line.text(" -> ").code(result));
}

void serialRead(const SlotEntry &slot, PcscResult result, const char *serial) {
  if (!active()) return;
  Line line;
  char reader[kReaderNameSize];
  copyReaderName(slot, reader);
  line.format("serial read: reader \"%s\": ", reader);
  if (serial[0]) line.format("serial %s", serial);
  else if (result == kScardSuccess) line.text("no serial file of either layout");
  else line.text("failed");
  writeOnce(line.text(" (last exchange ").scard(result).text(")"));
}

void readerName(const CutName &report) {
  if (!active()) return;
  Line line;
  line.format("reader name: \"%s\" (virtual slots %lu and %lu): ", report.row->description,
              static_cast<unsigned long>(report.row->id), static_cast<unsigned long>(report.row->id + 1));
  switch (report.kind) {
    case CutName::Completed: line.format("the card service's reader \"%s\"", report.name); break;
    case CutName::Ambiguous:
      line.format("the description of %u readers, which the backends' descriptions cannot tell apart "
                  "while the card service lists %u names it begins: served by neither until it lists as many",
                  report.pairs, report.count);
      break;
    case CutName::RoleDropped:
      line.format("role %u (%s) describes %u of the %u readers so described and cannot say which: "
                  "that role serves none of them",
                  report.role + 1, roleModule(report.role), report.count, report.pairs);
      break;
  }
  line.write();
}

void unservedReader(const char *reader) {
  if (!active()) return;
  Line line;
  line.format("reader \"%s\": listed by the card service, no virtual slot serves it", reader);
  if (router.slotCount >= kMaxSlots)
    line.format(" (the slot table is full: %u readers are served already)", kMaxReaders);
  else
    line.text(" (no backend reports it)");
  line.write();
}

void slotsAdded(const SlotEntry &common, unsigned role, CK_SLOT_ID backendSlot) {
  if (!active()) return;
  char reader[kReaderNameSize];
  copyReaderName(common, reader);
  Line line;
  line.format("slots %lu and %lu for reader \"%s\" from role %u (%s) backend slot %lu (attached after "
              "C_Initialize)",
              static_cast<unsigned long>(common.id), static_cast<unsigned long>(common.id + 1), reader, role + 1,
              roleModule(role), static_cast<unsigned long>(backendSlot))
      .write();
}

// ---- PC/SC under watch: each failed call gets its line.

PcscResult failed(const char *call, const char *reader, PcscResult result) {
  if (result == kScardSuccess || !active()) return result;
  Line line;
  line.format("PC/SC %s", call);
  if (reader) line.format(" \"%s\"", reader);
  writeOnce(line.text(" = ").scard(result));
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

// A backend served by a host process: each start (a start above the first is
// a restart), each end and a role left out after too many starts.
void hostEvent(const rpc::HostEvent &event) {
  if (!active()) return;
  Line line;
  line.format("module host: role %u (%s) ", event.index + 1, roleModule(event.index));
  switch (event.kind) {
    case rpc::HostEventKind::Started:
      line.format("%s \"%s\" serving \"%s\", pid %lu", event.start > 1 ? "restarted" : "started", event.program,
                  event.module, static_cast<unsigned long>(event.pid));
      if (event.bits) line.format(", %u-bit", event.bits);
      if (event.start > 1) line.format(" (start %u)", event.start);
      break;
    case rpc::HostEventKind::Ended:
      line.format("host pid %lu ended: %s", static_cast<unsigned long>(event.pid), event.how ? event.how : "?");
      break;
    case rpc::HostEventKind::LeftOut:
      line.text("left out until C_Finalize: its host failed three times within a minute");
      break;
    case rpc::HostEventKind::NotStarted:
      line.format("could not start \"%s\" serving \"%s\": %s", event.program, event.module,
                  event.how && *event.how ? event.how : "no reason given");
      break;
  }
  line.write();
}

const TraceSink sink = {backend, slotRegistration, recognition, serialRead, readerName, unservedReader, slotsAdded};

}  // namespace

void installEvents() {
  {
    LockGuard hold(tableLock);  // a new start of the trace repeats nothing of the last one
    std::memset(recentLines, 0, sizeof recentLines);
  }
  traceSink.store(&sink, std::memory_order_release);
  setPcscWatch(&watched);
  setModuleLoadObserver(moduleLoad);
  rpc::setHostEventHook(hostEvent);
}

}  // namespace tokenhub::trace
