// Frames read from a pipe through a buffer of the reader's own: a frame that
// has come whole, the usual case, costs one read of the pipe. One thread
// reads at a time.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/hostprocess.h"

namespace tokenhub::rpc {

class FrameReader {
 public:
  // readsPast: a frame too long is read past (the server's side, which then
  // refuses that call alone), or left where it is.
  explicit FrameReader(bool readsPast) : readsPast_(readsPast) {}
  enum class Got {
    Frame,    // code and body read (the options read and left aside)
    Waited,   // nothing of a frame came within waitMs
    End,      // the pipe ended (or failed) between two frames
    Broken,   // it ended within a frame, or the rest did not come in time
    TooLong,  // a frame beyond what a message may hold
  };
  // Waits up to waitMs for a frame to begin, then up to restMs for its rest.
  Got next(const HostPipe &pipe, uint32_t &code, std::vector<uint8_t> &body, uint32_t waitMs = kWaitForever,
           uint32_t restMs = kWaitForever);

 private:
  static constexpr size_t kSize = 64 * 1024;
  // Takes n bytes of the frame, those in the buffer first (into `to`, or
  // nowhere when it is null).
  bool take(const HostPipe &pipe, uint8_t *to, uint64_t n, uint32_t restMs);
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kSize);
  size_t begin_ = 0, end_ = 0;  // what has come and is not yet taken
  bool readsPast_;
};

}  // namespace tokenhub::rpc
