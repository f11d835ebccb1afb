// The trace's event lines, installed when the trace starts: the router's
// trace points, the platform's module loader and a watch in front of the
// card service. Each writes only while the trace is on.
#pragma once

namespace tokenhub::trace {

void installEvents();

}  // namespace tokenhub::trace
