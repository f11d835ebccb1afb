#include "rpc/framing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "rpc/codec.h"

namespace tokenhub::rpc {

FrameReader::Got FrameReader::next(const HostPipe &pipe, uint32_t &code, std::vector<uint8_t> &body, uint32_t waitMs,
                                   uint32_t restMs) {
  if (begin_ == end_) {
    begin_ = end_ = 0;
    int64_t n = pipeReadSome(pipe, buffer_.data(), buffer_.size(), waitMs);
    if (n == kPipeWaited) return Got::Waited;
    if (n <= 0) return Got::End;
    end_ = static_cast<size_t>(n);
  }
  // The rest is due within restMs from now.
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(restMs);
  auto rest = [restMs, until] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    return restMs == kWaitForever ? kWaitForever : static_cast<uint32_t>(std::max<int64_t>(left.count(), 0));
  };
  uint8_t header[kHeaderSize];
  uint32_t optionsLength, bodyLength;
  Reader h(header, sizeof header);
  if (!take(pipe, header, sizeof header, rest()) || !h.uint32(code) || !h.uint32(optionsLength) ||
      !h.uint32(bodyLength))
    return Got::Broken;
  if (optionsLength > kMaxOptions || bodyLength > kMaxMessage)
    return !readsPast_ || take(pipe, nullptr, uint64_t{optionsLength} + bodyLength, rest()) ? Got::TooLong
                                                                                           : Got::Broken;
  body.resize(bodyLength);
  return take(pipe, nullptr, optionsLength, rest()) && take(pipe, body.data(), bodyLength, rest()) ? Got::Frame
                                                                                                  : Got::Broken;
}

bool FrameReader::take(const HostPipe &pipe, uint8_t *to, uint64_t n, uint32_t restMs) {
  size_t have = static_cast<size_t>(std::min<uint64_t>(n, end_ - begin_));
  if (to && have) std::memcpy(to, buffer_.data() + begin_, have);
  begin_ += have;
  n -= have;
  if (to) return n == 0 || pipeRead(pipe, to + have, static_cast<size_t>(n), restMs);
  // What is read past goes through the buffer, which is empty now.
  for (size_t chunk; n; n -= chunk)
    if (!pipeRead(pipe, buffer_.data(), chunk = static_cast<size_t>(std::min<uint64_t>(n, kSize)), restMs))
      return false;
  return true;
}

}  // namespace tokenhub::rpc
