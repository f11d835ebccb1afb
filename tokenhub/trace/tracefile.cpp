#include "trace/tracefile.h"

#include <cstring>

#include "platform/platform.h"

namespace tokenhub::trace {

std::atomic<bool> on{false};

namespace {

Lock fileLock;  // the file, its size, the limit and the first line's writer
bool fileOpen = false;
uint64_t limit = kDefaultSizeLimit;
FirstLine writeFirst = nullptr;

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
  size_t lineLength = end ? static_cast<size_t>(end - head) : length;
  if (lineLength == 0 || head[0] < '0' || head[0] > '9') return false;
  size_t markLength = sizeof kFirstLineMark - 1;
  for (size_t at = 0; at + markLength <= lineLength; ++at)
    if (std::memcmp(head + at, kFirstLineMark, markLength) == 0) return true;
  return false;
}

bool fileIsOurs() {
  char head[256];
  return ourFirstLine(head, traceFileHead(head, sizeof head));
}

// Under fileLock, with the file open.
void writeFirstLine() {
  char line[512];
  uint32_t length = writeFirst(line, sizeof line);
  if (!traceFileWrite(line, length)) giveUp();
}

}  // namespace

bool openFile(FirstLine firstLine) {
  LockGuard hold(fileLock);
  giveUp();
  writeFirst = firstLine;
  uint64_t size = 0;
  if (!readTraceSwitch() || !traceFileOpen(&size)) return false;
  if (size != 0 && !fileIsOurs()) {
    traceFileClose();
    return false;
  }
  fileOpen = true;
  on.store(true, std::memory_order_relaxed);
  writeFirstLine();
  return fileOpen;
}

void writeLine(const char *text, uint32_t length) {
  LockGuard hold(fileLock);
  if (!fileOpen) return;
  uint64_t size = 0;
  if (!traceFileSize(&size)) return giveUp();
  if (size > 0 && size + length > limit) {
    bool reopened = false;
    if (!traceFileRotate(ourFirstLine, &reopened)) return giveUp();
    if (reopened && traceFileSize(&size) && size == 0) writeFirstLine();
    else if (reopened && !fileIsOurs()) return giveUp();
    if (!fileOpen) return;
  }
  if (!traceFileWrite(text, length)) return giveUp();
}

void writeUnbounded(const char *text, uint32_t length) {
  LockGuard hold(fileLock);
  if (fileOpen && !traceFileWrite(text, length)) giveUp();
}

void attachFile() { fileLock.create(); }

void afterForkFile() {
  fileLock.create();
  giveUp();
}

void detachFile() {
  {
    LockGuard hold(fileLock);
    giveUp();
  }
  fileLock.destroy();
}

void setSizeLimit(uint64_t bytes) {
  LockGuard hold(fileLock);
  limit = bytes;
}

uint64_t sizeLimit() {
  LockGuard hold(fileLock);
  return limit;
}

}  // namespace tokenhub::trace
