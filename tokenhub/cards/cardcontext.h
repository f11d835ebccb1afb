// The router's PC/SC context while the card service comes and goes: on
// Windows the service stops with its last reader and starts again with the
// next, and pcscd may be restarted; a context of the old service then answers
// that the service is gone, and the router takes a new one.
#pragma once
#include "state/state.h"

namespace tokenhub {

// Every answer after which the context is dead, until a new one is taken:
// SCARD_E_SERVICE_STOPPED, SCARD_E_NO_SERVICE, SCARD_E_INVALID_HANDLE for a
// context that its service no longer knows, the two answers of a call that
// the service left by ending (SCARD_F_COMM_ERROR, SCARD_W_SECURITY_VIOLATION),
// and what a context of a Remote Desktop session answers once the session
// was disconnected and reconnected (SCARD_E_SYSTEM_CANCELLED, and Windows'
// ERROR_BROKEN_PIPE and ERROR_INVALID_HANDLE from its transport).
bool cardServiceGone(PcscResult result);

// SCARD_E_UNKNOWN_READER and SCARD_E_NO_READERS_AVAILABLE: a reader named in
// the call is not there (unplugged, or not found again yet by a service that
// has just come back). A status query answers so for all of its readers.
bool readersMissing(PcscResult result);

// The context in force, with the library generation it belongs to.
struct ContextUse {
  PcscContext context;
  uint32_t generation;
};
ContextUse currentCardContext();

// Puts a new context in the place of `failed`, which answered that the
// service is gone, and returns the context to repeat the call on: the new
// one, or the one another thread has put there meanwhile. 0 when there is
// none to repeat it on: the service still refuses a context, or the library
// was finalised since `failed` was taken (a context established now would
// never be released).
PcscContext renewCardContext(const ContextUse &failed);

// How many times the context was renewed: a new service counts card events
// afresh, so what was kept of a card under an older count (the serial
// cache) is no longer that card's. Read under tableLock.
uint32_t cardContextRenewals();

// A PC/SC call on the router's context, repeated once on a new context when
// the service has gone away. `mayRenew` false makes it a plain call.
template <typename Call>
PcscResult onCardContext(Call call, bool mayRenew = true) {
  ContextUse use = currentCardContext();
  // Without a context the service was not there when it was last asked.
  PcscResult rv = use.context ? call(use.context) : kScardENoService;
  if (!cardServiceGone(rv) || !mayRenew) return rv;
  PcscContext renewed = renewCardContext(use);
  return renewed ? call(renewed) : rv;
}

}  // namespace tokenhub
