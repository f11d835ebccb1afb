// The router's side of the protocol: a backend module that runs in a host
// process, presented as one more CK_FUNCTION_LIST. Every call crosses the
// host's pipe; a host that crashes, exits, hangs past its bound or breaks
// its pipe costs only the call in flight (CKR_DEVICE_ERROR) and the
// sessions opened through it (CKR_SESSION_HANDLE_INVALID from then on).
// The next slot-level call starts a new host, at most kMaxStarts a minute.
#pragma once
#include <cstdint>

#include "tokenhub/pkcs11.h"

namespace tokenhub::rpc {

constexpr unsigned kMaxHosted = 4;       // one per backend role
constexpr unsigned kMaxStarts = 3;       // host starts per role within kStartWindowMs
constexpr uint32_t kStartWindowMs = 60000;
constexpr uint32_t kFinalizeBoundMs = 3000;  // C_Finalize returns within this, whatever the host does

// What happened to a host, for the diagnostic trace.
enum class HostEventKind { Started, Ended, LeftOut };
struct HostEvent {
  HostEventKind kind;
  unsigned index;       // the hosted backend (the role's index)
  const char *program;  // the host program
  const char *module;   // the module it serves
  uint32_t pid;         // Started, Ended
  const char *how;      // Ended: "exit N", "signal N", "ended" (by us), "lost"
  unsigned start;       // Started: the how-manieth start since C_Initialize (1 the first)
  unsigned bits;        // Started: 32 or 64, the host's bitness; 0 when unknown
};
using HostEventHook = void (*)(const HostEvent &event);
void setHostEventHook(HostEventHook hook);

// The function list of hosted backend `index`: its C_Initialize starts
// `program module` and opens the connection; its C_Finalize closes it.
CK_FUNCTION_LIST_PTR hostedFunctionList(unsigned index, const char *program, const char *module);

// How long a call may wait for its answer before the host counts as hung:
// calls that may wait for a PIN pad get pinMs, the others callMs.
void setCallBounds(uint32_t callMs, uint32_t pinMs);

}  // namespace tokenhub::rpc
