// The diagnostic trace's file: opened when the library starts while the
// switch names one, written one whole line at a time under a lock, rotated
// to the name with ".1" added once it would pass its bound (at most one
// older copy), and given up without a word when it cannot be written. The
// trace is on exactly while its file is open.
#pragma once
#include <atomic>
#include <cstdint>

namespace tokenhub::trace {

constexpr uint64_t kDefaultSizeLimit = 10u * 1024 * 1024;

extern std::atomic<bool> on;
inline bool active() { return on.load(std::memory_order_relaxed); }

// Writes the first line of each start of the trace and of each file it
// rotates to into `buffer`; its length.
using FirstLine = uint32_t (*)(char *buffer, uint32_t size);

// Reads the switch and opens the file it names, then writes the first line.
// False (and the trace off) when the switch names none, or a file that
// cannot be opened or that something else wrote.
bool openFile(FirstLine firstLine);
// After the size on disk, which every process writing the file adds to.
void writeLine(const char *text, uint32_t length);
// Without rotating: the first line of a file.
void writeUnbounded(const char *text, uint32_t length);

void attachFile();    // process attach: the file's lock
void detachFile();    // process detach: the file closed, the lock deleted
// In a forked child: the lock made anew, and the parent's open file let go
// (shared with the parent, it would share the parent's rotation lock too).
void afterForkFile();
// For tests: the size at which the file is rotated.
void setSizeLimit(uint64_t bytes);
uint64_t sizeLimit();

}  // namespace tokenhub::trace
