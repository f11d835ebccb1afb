#include "cards/readernames.h"

#include <cstring>

#include "cards/backendslots.h"
#include "cards/cardcontext.h"
#include "state/slottable.h"
#include "state/tracepoints.h"

namespace tokenhub {

namespace {

// A digest of the last list seen, and of what the trace was told of
// readers without a slot (a few, each told once). Guarded by tableLock.
uint64_t lastList = 0;
bool listPending = false;
constexpr unsigned kToldReaders = 16;
uint64_t toldReaders[kToldReaders];
unsigned toldCount = 0;

uint64_t digest(const char *text, size_t length) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
  return hash | 1;  // never 0, the digest of no list
}

// What the trace is told, gathered under tableLock and told after it.
struct Reports {
  CutName cut[kMaxReaders + kRoleCount];
  unsigned cutCount = 0;
  const char *unserved[kToldReaders];
  unsigned unservedCount = 0;
};
Reports *gathering = nullptr;

bool toldBefore(uint64_t reader);

// A pair that the descriptions cannot tell apart is told once, not at every list.
void gather(const CutName &report) {
  const char *description = report.row->description;
  if (report.kind != CutName::Completed &&
      toldBefore(digest(description, std::strlen(description)) + report.kind * 31 + report.role))
    return;
  if (gathering->cutCount < sizeof gathering->cut / sizeof gathering->cut[0])
    gathering->cut[gathering->cutCount++] = report;
}

bool toldBefore(uint64_t reader) {
  for (unsigned i = 0; i < toldCount; ++i)
    if (toldReaders[i] == reader) return true;
  if (toldCount == kToldReaders) return true;  // enough said
  toldReaders[toldCount++] = reader;
  return false;
}

}  // namespace

void forgetReaderList() {
  lastList = 0;
  listPending = false;
  toldCount = 0;
}

namespace {
// The service's list into `names` (two NULs end it, even cut short); the
// digest of what it listed, 0 when it listed nothing.
template <size_t N>
uint64_t listReaders(char (&names)[N]) {
  uint32_t length = 0;
  PcscResult listed = onCardContext([&](PcscContext context) {
    std::memset(names, 0, sizeof names);
    length = sizeof names - 2;
    return pcsc().listReaders(context, names, &length);
  });
  return listed == kScardSuccess ? digest(names, length) : 0;
}
}  // namespace

bool readerListChanged() {
  char names[8192];
  const uint64_t list = listReaders(names);
  LockGuard hold(tableLock);
  return list != 0 && list != lastList;
}

bool refreshReaderNames(bool askBackends) {
  char names[8192];
  const uint64_t list = listReaders(names);
  bool changed = false;
  {
    LockGuard hold(tableLock);
    changed = list != 0 && list != lastList;
  }
  // A reader that the service lists anew may be one that a backend lists now
  // too (C_Initialize has just asked them all).
  bool added = false;
  if (askBackends || (changed && initialised())) {
    Relisted relisted = relistBackendSlots(askBackends);
    LockGuard hold(tableLock);
    listPending = relisted == Relisted::Busy;
    if (listPending) return false;
    added = relisted == Relisted::Added;
  }
  if (list == 0) return added;
  Reports reports;
  {
    LockGuard hold(tableLock);
    if (list == lastList && !added) return false;
    lastList = list;
    gathering = &reports;
    completeReaderNames(names, gather);
    gathering = nullptr;
    for (const char *name = names; *name; name += std::strlen(name) + 1)
      if (!readerServed(name) && reports.unservedCount < kToldReaders && !toldBefore(digest(name, std::strlen(name))))
        reports.unserved[reports.unservedCount++] = name;
  }
  bool completed = false;
  for (unsigned i = 0; i < reports.cutCount; ++i) {
    completed |= reports.cut[i].kind == CutName::Completed;
    tracepoint::readerName(reports.cut[i]);
  }
  for (unsigned i = 0; i < reports.unservedCount; ++i) tracepoint::unservedReader(reports.unserved[i]);
  return completed || added;
}

bool readerListPending() {
  LockGuard hold(tableLock);
  return listPending;
}

bool refreshReaderNamesIfUnknown(const ReaderState *states, uint32_t count) {
  for (uint32_t j = 0; j < count; ++j)
    if (states[j].eventState & kScardStateUnknown) return refreshReaderNames();
  return false;
}

}  // namespace tokenhub
