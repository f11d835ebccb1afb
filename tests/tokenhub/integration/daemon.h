// The real PC/SC daemon as the integration tests see it.
#pragma once
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace testkit {

// Waits up to 5 s until the daemon reports the reader's card as present or absent.
inline bool daemonSees(const char *reader, bool present) {
  using namespace tokenhub;
  PcscContext context = 0;
  if (platformPcsc().establishContext(&context) != kScardSuccess) return false;
  bool reached = false;
  for (int i = 0; i < 100 && !reached; ++i) {
    ReaderState state;
    std::memset(&state, 0, sizeof state);
    state.reader = reader;
    if (platformPcsc().getStatusChange(context, 0, &state, 1) == kScardSuccess)
      reached = ((state.eventState & kScardStatePresent) != 0) == present;
    if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  platformPcsc().releaseContext(context);
  return reached;
}

}  // namespace testkit
