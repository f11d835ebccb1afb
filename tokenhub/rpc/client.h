// The router's side of the protocol: a backend module that runs in a host
// process, presented as one more CK_FUNCTION_LIST. Every call crosses the
// host's pipe; a host that crashes, exits, hangs past its bound or breaks
// its pipe costs only the calls in flight (CKR_DEVICE_ERROR) and the
// sessions and objects handed out through it (CKR_SESSION_HANDLE_INVALID,
// CKR_OBJECT_HANDLE_INVALID from then on).
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
enum class HostEventKind { Started, Ended, LeftOut, NotStarted };
struct HostEvent {
  HostEventKind kind;
  unsigned index;       // the hosted backend (the role's index)
  const char *program;  // the host program
  const char *module;   // the module it serves
  uint32_t pid;         // Started, Ended
  const char *how;      // Ended: "exit N", "signal N", "ended" (by us), "lost"; NotStarted: why, or ""
  unsigned start;       // Started: the how-manieth start since C_Initialize (1 the first)
  unsigned bits;        // Started: 32 or 64, the host's bitness; 0 when unknown
};
using HostEventHook = void (*)(const HostEvent &event);
void setHostEventHook(HostEventHook hook);

// The function list of hosted backend `index`: its C_Initialize starts
// `program module` and opens the connection; its C_Finalize closes it.
CK_FUNCTION_LIST_PTR hostedFunctionList(unsigned index, const char *program, const char *module);

// The generation of the host that serves `list` now, counted up by each
// start: what a host handed out (sessions, objects) is void in the next. 0
// for a list that is no hosted backend's.
uint32_t hostGeneration(CK_FUNCTION_LIST_PTR list);

// Finalises and ends every host still running: the router is unloaded
// while the application still counts it initialised.
void endHosts();

// In a forked child: the hosted backends' locks made anew and the child's
// copies of its parent's pipes closed (the parent's hosts stay the parent's).
void hostsAfterFork();

// The router is unloaded without C_Finalize (Windows: under the loader
// lock, which nothing here needs): every host's pipe is closed, so that it
// finalises its module and leaves; one that does not is ended.
void endHostsAtUnload();

// How long a host may answer nothing while calls are in flight before it
// counts as hung: callMs, or pinMs while one of them may wait for a PIN
// (C_Login, C_InitPIN, C_SetPIN, C_InitToken; any call once the host's token
// has a PIN pad or a key of it asks for its PIN at each use). No call waits
// longer than pinMs for its answer.
void setCallBounds(uint32_t callMs, uint32_t pinMs);

}  // namespace tokenhub::rpc
