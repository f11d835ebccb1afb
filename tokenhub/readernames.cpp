#include "readernames.h"

#include <cstring>

#include "cardcontext.h"
#include "slottable.h"
#include "tracepoints.h"

namespace tokenhub {

namespace {

// A digest of the last list seen, and of what the trace was told of
// readers without a slot (a few, each told once). Guarded by tableLock.
uint64_t lastList = 0;
bool listedSinceStart = false;
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
  listedSinceStart = false;
  toldCount = 0;
}

bool refreshReaderNames() {
  char names[8192];
  uint32_t length = 0;
  PcscResult listed = onCardContext([&](PcscContext context) {
    std::memset(names, 0, sizeof names);
    length = sizeof names - 2;  // a list cut short still ends with two NULs
    return pcsc().listReaders(context, names, &length);
  });
  if (listed != kScardSuccess) return false;
  Reports reports;
  bool atStart = false;
  {
    LockGuard hold(tableLock);
    uint64_t list = digest(names, length);
    if (list == lastList) return false;
    lastList = list;
    atStart = !listedSinceStart;
    listedSinceStart = true;
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
  for (unsigned i = 0; i < reports.unservedCount; ++i) tracepoint::unservedReader(reports.unserved[i], atStart);
  return completed;
}

bool refreshReaderNamesIfUnknown(const ReaderState *states, uint32_t count) {
  for (uint32_t j = 0; j < count; ++j)
    if (states[j].eventState & kScardStateUnknown) return refreshReaderNames();
  return false;
}

}  // namespace tokenhub
