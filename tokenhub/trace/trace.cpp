#include "trace/trace.h"

#include <cstring>

#include "state/state.h"
#include "trace/traceevents.h"
#include "trace/traceline.h"
#include "version.h"

namespace tokenhub::trace {

namespace {

// Begins each start of the trace and each file it rotates to.
uint32_t firstLine(char *buffer, uint32_t size) {
  Line line;
  line.format("trace on: tokenhub " PENWICK_VERSION_TEXT ", rotated at %llu bytes", static_cast<unsigned long long>(sizeLimit()));
  uint32_t length = line.length() < size - 1 ? line.length() : size - 1;
  std::memcpy(buffer, line.text(), length);
  buffer[length++] = '\n';
  return length;
}

}  // namespace

void beginInitialize() {
  if (initialised()) return;
  if (openFile(firstLine)) installEvents();
}

void attach() { attachFile(); }
void detach() { detachFile(); }
void afterFork() { afterForkFile(); }

void exception(const char *function, const char *what, CK_RV result) {
  if (!active()) return;
  Line line;
  line.format("%s: ended by an exception (%s) -> ", function, what).code(result).write();
}

}  // namespace tokenhub::trace
