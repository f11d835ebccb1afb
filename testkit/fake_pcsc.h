// A scripted card service for the unit suites: named readers, each empty or
// holding a card with an ATR that answers commands like a SerialCard; any
// call can be made to fail, per reader and call by call. A status query with
// a time-out waits while every reader is as its current state says, until a
// change (insert, remove, the service stopped or started, changed()), its
// context's cancellation or the time-out. Every card call is
// recorded with its arguments. Installed in place of the platform's PC/SC
// with install().
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "serialcard.h"

namespace testkit {

using tokenhub::kScardEInvalidHandle;
using tokenhub::kScardENoService;
using tokenhub::kScardEServiceStopped;
using tokenhub::kScardEUnknownReader;
constexpr tokenhub::PcscResult kScardEInsufficientBuffer = static_cast<tokenhub::PcscResult>(0x80100008);
constexpr tokenhub::PcscResult kScardENoSmartcard = static_cast<tokenhub::PcscResult>(0x8010000C);
constexpr tokenhub::PcscResult kScardESharingViolation = static_cast<tokenhub::PcscResult>(0x8010000B);
constexpr tokenhub::PcscResult kScardECommError = static_cast<tokenhub::PcscResult>(0x80100013);
constexpr tokenhub::PcscResult kScardEInvalidValue = static_cast<tokenhub::PcscResult>(0x80100011);

// Results of successive calls: the queued ones first, then `otherwise`.
struct Script {
  std::deque<tokenhub::PcscResult> next;
  tokenhub::PcscResult otherwise = 0;
  tokenhub::PcscResult take();
};

struct FakeReader {
  bool present = false;
  Bytes atr;
  uint32_t events = 0;                              // insertions and removals, counted by insert and remove
  SerialCard card;                                  // answers the commands sent to it
  uint32_t activeProtocol = tokenhub::kScardProtocolT1;  // what connect reports
  Script connect, begin, status, reconnect;
  std::map<Bytes, tokenhub::PcscResult> transmitFailures;  // commands whose exchange fails
  std::map<Bytes, Bytes> answers;                   // commands answered otherwise than by `card`
};

// One recorded card call.
enum class Op { Connect, Begin, End, Status, Reconnect, Transmit, Disconnect };

struct PcscCall {
  explicit PcscCall(Op kind) : op(kind) {}
  Op op;
  std::string reader;          // the reader of the card handle (Connect: as asked for)
  tokenhub::PcscCard card = 0;
  uint32_t shareMode = 0;      // Connect, Reconnect
  uint32_t protocols = 0;      // Connect, Reconnect: preferred; Transmit: send record's protocol
  uint32_t disposition = 0;    // End, Disconnect; Reconnect: initialization
  Bytes command;               // Transmit
  uint32_t capacity = 0;       // Transmit: response buffer; Status: reader-name buffer
  uint32_t atrCapacity = 0;    // Status
  // Transmit through the winscard double: the send protocol-control
  // record's length, and whether a receive record was given.
  uint32_t pciLength = 0;
  bool receiveRecord = false;
};

class FakePcsc {
 public:
  static FakePcsc &get();
  void install();  // becomes the router's PC/SC, after a reset
  void reset();

  void addReader(const std::string &name);
  void insert(const std::string &name, const Bytes &atr);
  void remove(const std::string &name);
  // The reader is gone from the service (addReader plugs it in again, empty).
  void unplug(const std::string &name);
  FakeReader &reader(const std::string &name) { return readers[name]; }
  // Stopped, the service answers every call with SCARD_E_NO_SERVICE and
  // issues no context; started again, it answers the contexts it issued
  // before with SCARD_E_SERVICE_STOPPED.
  void stopService();
  void startService();
  // The contexts issued so far answer every call with `dead` from now on
  // (a Remote Desktop session disconnected and reconnected); new ones work.
  void killContexts(tokenhub::PcscResult dead);
  // Wakes the waiting status queries to look again (after a direct change
  // of `readers` or `statusChangeResult`).
  void changed();

  // The recorded calls of one kind, in order.
  std::vector<PcscCall> callsOf(Op op) const;
  // The commands sent, in order.
  std::vector<Bytes> commands() const;

  std::map<std::string, FakeReader> readers;
  tokenhub::PcscResult establishResult = 0;
  tokenhub::PcscResult statusChangeResult = 0;  // a failure here answers every status query
  bool serviceStopped = false;
  tokenhub::PcscContext firstLiveContext = 0;   // older contexts belong to a stopped service
  tokenhub::PcscResult deadContextResult = tokenhub::kScardEServiceStopped;  // what they answer
  // The reader's event count in the upper 16 bits of its event state, as
  // Windows and pcsc-lite report it; off, the count is 0 (not counted).
  bool countEvents = false;
  uint32_t maxQueryReaders = 10;
  // Status queries over exactly this many readers fail with failQueryResult (0: none do).
  uint32_t failQueryCount = 0;
  tokenhub::PcscResult failQueryResult = 0;  // more readers in one status query are refused, as Windows' redirection does
  int establishCalls = 0;
  int issuedContexts = 0;  // the establishments that gave a context
  int releaseCalls = 0;
  int statusChangeCalls = 0;
  tokenhub::PcscContext issuedContext = 0;
  tokenhub::PcscContext lastReleased = 0;
  std::vector<uint32_t> timeouts;                 // of each status query
  std::vector<uint32_t> statusChangeCounts;       // readers in each status query
  std::vector<PcscCall> calls;                    // card calls, in order
  std::map<tokenhub::PcscCard, std::string> cards;  // connected card handles and their readers
  tokenhub::PcscCard lastCard = 0;
  // Off for long runs: then no card call, timeout or reader count is kept.
  bool recordCalls = true;
  // Called after every status query; a test changes readers here, between polls.
  void (*afterStatusChange)(int call) = nullptr;
  // Called as a context is asked for, before it is issued.
  void (*onEstablish)() = nullptr;
  // Called once by a status query with a time-out that finds nothing
  // changed, before it waits; a test changes readers here.
  void (*whileWaiting)(int call) = nullptr;
  int cancelCalls = 0;
  // On, the service tells whether it runs, as Windows' started event does:
  // each ask counts and calls whileStopped first. Off, it cannot tell.
  bool announcesStart = false;
  // The system says its service is stopped while the calls work all the same
  // (Remote Desktop redirects them to the client's service).
  bool localServiceStopped = false;
  int startAsks = 0;
  void (*whileStopped)(int ask) = nullptr;
  std::vector<tokenhub::PcscContext> waitContexts;  // of each status query with a time-out
  // The reader-change notice (\\?PnP?\Notification), as pcsc-lite has it:
  // a waiting query ends when a reader is attached or detached meanwhile.
  // Off, the name is an unknown reader.
  bool knowsReaderNotice = true;
  // Status queries with a time-out fail with this (0: they do not).
  tokenhub::PcscResult waitQueryResult = 0;
  // A query with an infinite time-out enters its wait this much later, as a
  // waiting thread descheduled just before; a cancellation meanwhile is lost,
  // as pcsc-lite drops one for a context that is not waiting yet.
  uint32_t enterDelayMs = 0;
};

// The service's calls, as the router's PC/SC table.
const tokenhub::PcscApi &fakePcscApi();

// Well-known ATRs.
extern const Bytes kAtrFamily1;   // pattern 1, complete
extern const Bytes kAtrFamily2;   // pattern 2 with more historical bytes
extern const Bytes kAtrFamily2b;  // pattern 3 with more bytes

// A sleep hook that only counts: installs itself and records every pause.
struct SleepRecorder {
  static std::vector<uint32_t> &sleeps();
  static void install();
};

}  // namespace testkit
