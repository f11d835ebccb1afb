#include "cards/cardcontext.h"

namespace tokenhub {

namespace {
uint32_t renewals = 0;  // guarded by tableLock
}  // namespace

uint32_t cardContextRenewals() { return renewals; }

bool readersMissing(PcscResult result) {
  return result == kScardEUnknownReader || result == kScardENoReadersAvailable;
}

bool cardServiceGone(PcscResult result) {
  // pcsc-lite answers a call that the daemon left in the middle, by ending,
  // with SCARD_F_COMM_ERROR or SCARD_W_SECURITY_VIOLATION. Counted here too:
  // a new context is then refused while the service is away, and where the
  // code meant what it says, the repeated call on a new context answers it again.
  return result == kScardEServiceStopped || result == kScardENoService || result == kScardEInvalidHandle ||
         result == kScardFCommError || result == kScardWSecurityViolation || result == kScardESystemCancelled ||
         result == kErrorBrokenPipe || result == kErrorInvalidHandle;
}

ContextUse currentCardContext() {
  LockGuard hold(tableLock);
  return {router.cardContext, router.generation};
}

PcscContext renewCardContext(const ContextUse &failed) {
  // A C_Finalize clears the context and counts the generation up under the
  // table lock; a library that is not initialised gets no context (one taken
  // while C_Initialize runs would be overwritten by it, one taken after
  // C_Finalize never released).
  auto stillInForce = [&failed] {
    return initialised() && router.generation == failed.generation && router.cardContext == failed.context;
  };
  {
    LockGuard hold(tableLock);
    if (router.generation != failed.generation) return 0;
    if (!stillInForce()) return router.cardContext;  // renewed by another thread, or none at all
  }
  // Established without the lock: with the service stopped this may take a
  // while, and the session and object tables must not wait for it.
  PcscContext fresh = 0;
  if (pcsc().establishContext(&fresh) != kScardSuccess) return 0;
  PcscContext inForce = 0;
  bool renewed = false;
  {
    LockGuard hold(tableLock);
    if (stillInForce()) {
      renewed = true;
      router.cardContext = fresh;
      ++renewals;
    }
    inForce = router.generation == failed.generation ? router.cardContext : 0;
  }
  // Either the old context (if there was one) or the new one is left over:
  // released once, here.
  PcscContext leftOver = renewed ? failed.context : fresh;
  if (leftOver) pcsc().releaseContext(leftOver);
  return inForce;
}

}  // namespace tokenhub
