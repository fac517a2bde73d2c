// Shared between the files of the outgoing queue; not for other modules.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "server/outgoing/routing.h"
#include "server/smtp/smtp_client.h"

// Item states.
enum ItemState : int {
  kItemStart = 0,
  kItemWaitResolver = 1,
  kItemResolverResult = 2,
  kItemApplyResult = 3,
  kItemConnect = 4,
  kItemConnecting = 5,
  kItemSending = 6,
  kItemNextHost = 7,
  kItemWaitClosed = 8,
  kItemEvaluate = 9,
  kItemRestart = 10,
  kItemFinish = 11,
  kItemRelease = 12,
  kItemDone = 13,
};

// Longest recipient address and destination name an entry takes; longer ones are
// bounced, never cut (the SMTP path limit, less its angle brackets).
inline constexpr size_t kMaxRecipientAddress = 254;
inline constexpr size_t kMaxNodeName = 253;

// What became of one recipient read in the current pass.
enum class RecipientOutcome : uint8_t {
  kOpen,       // still to be sent
  kDelivered,  // the peer took it
  kBounced,    // bounced to the sender (the bounce is committed)
  kRetry,      // waits for the retry queue
  kOtherHost,  // a retry item's recipient of another host: left alone
  kSettled,    // delivered or bounced, its done-mark due
};

struct ItemRecipient {
  std::string text;          // as written in the envelope
  std::string address;       // normalised: what RCPT sends
  long long lineOffset = 0;  // its "To:" line, for the done-mark
  int dest = -1;             // index into the item's destinations
  RecipientOutcome outcome = RecipientOutcome::kOpen;
  std::string reason;        // why it bounces
  bool inConnection = false; // part of the request being sent
};

// How a destination is to be reached.
enum class DestDecision : uint8_t {
  kUndecided,  // to be routed (first try, or after a failed connection)
  kResolving,  // an MX request is pending
  kConnect,    // `host` is known: connect to it
  kRetry,      // park for the retry queue
  kBounce,     // undeliverable: bounce its recipients
  kDone,       // every recipient decided
};

// One destination: the recipients of one node (domain) in this pass.
struct Destination {
  std::string node;          // the recipients' domain, or the first route host
  std::string askFor;        // the gateway when an exception names one, else node
  std::string altNode;       // the node itself when a gateway is asked for
  int mode = 5;              // routing mode in force
  DestDecision decision = DestDecision::kUndecided;
  bool firstTry = true;      // no resolver answer and no failed connection yet
  int mxLevel = 0;           // which exchanger (0 = best)
  int serverIndex = 0;       // which name server of DomainServer
  int mxHandle = -1;         // the pending MX request
  std::string exchanger;     // the host name the addresses belong to
  std::vector<std::string> addresses;  // of the exchanger at mxLevel
  size_t addressIndex = 0;
  std::string host;          // what to connect to: "[a.b.c.d]" or a name
  bool smartHost = false;    // `host` is on the smart host list
  size_t smartIndex = 0;
  std::string reason;        // the bounce text when bounced
  int criticalErrors = 0;
};

struct OutgoingItem {
  uint16_t number = 0;
  std::string prefix;        // "OUTG-%04x: "
  std::string path;          // empty for a forced connection without a file
  bool isRetry = false;
  uint64_t retryId = 0;
  std::string retryHost;
  bool retryNowStarted = false;  // started by a retry-now (ETRN) request
  bool forced = false;           // part of a forced (dial-up) connection
  bool forceSmartHost = false;   // this scan sends everything to the smart host
  int state = kItemStart;

  UniqueFd file;
  std::string sender;
  long long messageOffset = 0;
  long size = 0;
  long long resumeAt = 0;    // the next pass starts after the last line read
  bool submittedHere = false; // the envelope marks the message as ours to sign
  bool signDone = false;     // the message's DKIM signatures are made (or refused)
  std::string signature;     // those header lines, sent in front of the message
  bool finalPass = false;
  bool envelopeBroken = false;
  std::string lastError;

  std::vector<ItemRecipient> recipients;  // of this pass
  std::vector<Destination> dests;         // of this pass

  // The connection being made or used.
  std::shared_ptr<SmtpClientLink> link;
  std::shared_ptr<SmtpRequest> request;
  std::string connHost;
  uint32_t connectStart = 0;
  uint32_t connectTimeoutMs = 0;
  bool connectionFailed = false;  // no answer to MAIL: the next host may serve
  bool reusedConnection = false;  // the session came from the connection cache
  // The host whose TLS handshake just failed: it is tried once more at once, in
  // clear text (unless TLS is required for it).
  std::string clearTextHost;

  // Across passes.
  std::set<std::string> retryHosts;   // hosts that need a retry entry
  bool otherHostsPending = false;     // a retry item left recipients of other hosts
  bool anyOwnPending = false;         // recipients waiting (retry) in any pass
  bool anyRead = false;               // some recipient was read
  std::vector<long long> marks;       // done lines not yet marked
};

// ---- Shared helpers (outgoing_queue.cpp) ----------------------------------------

// Logs one line of an item, after its "OUTG-%04x: " prefix.
void LogItem(const OutgoingItem& item, uint32_t category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Host and domain names compare without regard to case.
bool SameName(const std::string& a, const std::string& b);

inline constexpr const char* kIllegalHostText = "Illegal address specified as host: %s";

// ---- Routing decisions (outgoing_route.cpp) -------------------------------------

// Decides how to reach a destination that has no host yet (first try, or after
// its last host failed): connect, ask the resolver, smart host, retry, bounce.
void RouteDestination(OutgoingItem& item, Destination& d);
// What a resolver answer (or a code standing for one) means for a destination.
void ApplyResolverResult(OutgoingItem& item, Destination& d, int code, const std::string& host,
                         const std::string& addresses);
// Parks the destination's open recipients for the retry queue.
void RetryDestination(OutgoingItem& item, Destination& d);
// After a failed connection: the next address, exchanger or smart host.
void NextHostFor(OutgoingItem& item, Destination& d);

// ---- The queue ------------------------------------------------------------------

// The items alive, in creation order.
std::vector<std::unique_ptr<OutgoingItem>>& OutgoingItems();

// Creates an item in state 0 (nothing when one exists for the same file);
// logs "Number outgoing(add): %d". Null when none was made.
OutgoingItem* StartOutgoingItem(const std::string& path, bool isRetry, uint64_t retryId,
                                const std::string& retryHost, bool retryNow, bool forced,
                                bool forceSmartHost);
// Runs one item until it must wait. True when it has ended (state 13).
bool RunOutgoingItem(OutgoingItem& item);
// Whether an item works on `path`.
bool OutgoingFileBusy(const std::string& path);

// ---- The connection cache ---------------------------------------------------------
// A session that delivered its message and waits idle is kept for a moment, so the
// next message for the same host goes without a new connection and greeting (the
// client's idle state exists for this). At most one per free place of the queue;
// each is closed politely after kConnectionCacheMs without use.
inline constexpr uint32_t kConnectionCacheMs = 2000;

// Keeps an idle session for `host` (as the item connected to it: "[a.b.c.d]" or a
// name). False when the cache is full (the caller closes it).
bool CacheConnection(const std::string& host, std::shared_ptr<SmtpClientLink> link);
// An idle session for `host` that took `request`, or null.
std::shared_ptr<SmtpClientLink> ReuseConnection(const std::string& host,
                                                std::shared_ptr<SmtpRequest> request);
// Closes the sessions kept too long (every one with `all`).
void ExpireConnections(bool all);

// The routing exceptions of the current scan (read once per scan).
const RoutingExceptions& CurrentExceptions();

// The wake-up of the periodic worker that sessions and resolver requests call.
void WakeOutgoing();

// Deletes a finished spool file in the background (its directory flush shared
// with the others of the same step); WaitRetirements waits for them.
void RetireInBackground(const std::string& path);
bool BeingRetired(const std::string& path);
void WaitRetirements();

// The message's age basis of a spool file (its modification time, seconds).
int64_t SpoolFileAge(const std::string& path);

// postmaster@host and root@host.
std::string PostmasterAddress();
std::string RootAddress();
