// One outgoing item: the state machine that sends one spool file. It reads up to
// 50 recipients per pass, groups them by destination node, routes each node (mode,
// exceptions, smart host, the MX resolver), connects to each destination host in
// turn, records what the peer said per recipient, bounces what failed for good,
// and finally deletes the file, parks it for the retry queue, or leaves it parked.
#include <strings.h>

#include <algorithm>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/core/strings.h"
#include "server/mailauth/dkim_sign.h"
#include "server/mx/mx_resolver.h"
#include "server/net/net.h"
#include "server/outgoing/outgoing.h"
#include "server/outgoing/outgoing_internal.h"
#include "server/outgoing/retry_queue.h"
#include "server/spool/bounce.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"


namespace {

constexpr const char* kBounceFatal = "Fatal error sending message: %s\r\n\r\nSending message to %s";
constexpr const char* kFatalWhole = "Fatal error sending message: %s";
constexpr const char* kBounceUnknown = "User %s unknown at destination site.";
constexpr const char* kAgedWarning =
    "Have been trying to send to %s for 2 days.  Will continue to try and send for 5 more days.";
constexpr size_t kMaxResolvedHost = 256;
constexpr size_t kMaxResolvedAddresses = 512;

constexpr auto Log = LogItem;

const Settings& S() { return ServerSettings(); }

// ---- Reading a pass ---------------------------------------------------------------

Destination& DestinationFor(OutgoingItem& item, const std::string& node, int& index) {
  for (size_t i = 0; i < item.dests.size(); ++i)
    if (SameName(item.dests[i].node, node)) {
      index = int(i);
      return item.dests[i];
    }
  Destination d;
  d.node = node;
  d.askFor = node;
  std::string gateway = GetExceptionGateway(CurrentExceptions(), node);
  if (!gateway.empty()) {
    Log(item, kLogAlways, "Using gateway %s for node %s", gateway.c_str(), node.c_str());
    d.askFor = gateway;
    d.altNode = node;
  }
  item.dests.push_back(std::move(d));
  index = int(item.dests.size() - 1);
  return item.dests.back();
}

// Reads the next pass of recipients from the open file. False with lastError on a
// broken envelope (the whole file is bounced then).
bool ReadPass(OutgoingItem& item) {
  item.recipients.clear();
  item.dests.clear();
  OutgoingEnvelope env;
  std::string why;
  if (!ReadOutgoingEnvelope(item.file.get(), env, why, item.resumeAt)) {
    item.lastError = why;
    return false;
  }
  item.sender = env.sender;
  item.messageOffset = env.messageOffset;
  item.submittedHere = env.submittedHere;
  item.finalPass = env.finalPass;
  long long end = 0;
  SpoolSeek(item.file.get(), 0, SEEK_END, &end);
  item.size = long(std::max(0LL, end - env.messageOffset));
  HostIdentity id = ServerHostIdentity();
  NormalizeOptions options;
  options.qualify = true;
  options.strip = true;
  for (const EnvelopeRecipient& r : env.recipients) {
    item.resumeAt = std::max(item.resumeAt, r.lineOffset + 1);
    ItemRecipient ir;
    ir.text = r.address;
    ir.lineOffset = r.lineOffset;
    NormalizedAddress n;
    if (!NormalizeAddress(r.address, id, options, n) || n.address.empty()) {
      item.lastError = FormatText("To line address not parseable '%s'", VisibleText(r.address).c_str());
      return false;
    }
    ir.address = n.address;
    std::string node = RecipientNode(ir.address);
    if (ir.address.size() > kMaxRecipientAddress || node.empty() || node.size() > kMaxNodeName) {
      // Too long for a destination (or no host at all): bounced, never cut.
      ir.outcome = RecipientOutcome::kBounced;
      ir.reason = FormatText(kIllegalHostText, node.empty() ? ir.address.c_str() : node.c_str());
      item.recipients.push_back(std::move(ir));
      continue;
    }
    if (item.isRetry && !SameName(node, item.retryHost)) {
      // Another host's recipient: its own entry looks after it.
      ir.outcome = RecipientOutcome::kOtherHost;
      item.otherHostsPending = true;
      item.recipients.push_back(std::move(ir));
      continue;
    }
    DestinationFor(item, node, ir.dest);
    item.recipients.push_back(std::move(ir));
  }
  item.anyRead = item.anyRead || !env.recipients.empty();
  return true;
}

bool HasOpenRecipients(const OutgoingItem& item, size_t dest) {
  for (const ItemRecipient& r : item.recipients)
    if (r.dest == int(dest) && r.outcome == RecipientOutcome::kOpen) return true;
  return false;
}

// Settles destinations whose recipients are all decided.
void SettleDestinations(OutgoingItem& item) {
  for (size_t i = 0; i < item.dests.size(); ++i) {
    Destination& d = item.dests[i];
    if (d.decision == DestDecision::kConnect && !HasOpenRecipients(item, i))
      d.decision = DestDecision::kDone;
  }
}

// The state after routing: wait, connect, or evaluate.
int NextAfterRouting(OutgoingItem& item) {
  SettleDestinations(item);
  bool resolving = false, connect = false, undecided = false;
  for (const Destination& d : item.dests) {
    resolving = resolving || d.decision == DestDecision::kResolving;
    connect = connect || d.decision == DestDecision::kConnect;
    undecided = undecided || d.decision == DestDecision::kUndecided;
  }
  if (undecided) return kItemApplyResult;
  if (connect) return kItemConnect;
  if (resolving) return kItemWaitResolver;
  return kItemEvaluate;
}

// ---- States -----------------------------------------------------------------------

int StartPass(OutgoingItem& item) {
  if (!ReadPass(item)) {
    Log(item, kLogAlways, "Unable to get envelope information to send file '%s'.", item.path.c_str());
    Log(item, kLogAlways, "Unable to start send for file: %s", item.lastError.c_str());
    item.envelopeBroken = true;
    item.finalPass = true;
    return kItemFinish;
  }
  for (Destination& d : item.dests)
    Log(item, kLogGeneralDebug, "Requesting information for node: %s", d.node.c_str());
  return kItemApplyResult;
}

int Start(OutgoingItem& item) {
  if (item.path.empty()) {
    // A forced connection with nothing to send: ask the smart host for our mail.
    std::vector<std::string> hosts = SmartHostList(S().smartHost);
    if (hosts.empty()) return kItemRelease;
    std::string why;
    item.connHost = hosts[0];
    item.link = SmtpConnect(hosts[0], "", item.prefix, true, nullptr, WakeOutgoing, why);
    item.connectStart = GetTickCount32();
    item.connectTimeoutMs = uint32_t(S().connectionTime) * 1000u;
    return item.link ? kItemConnecting : kItemRelease;
  }
  int err = 0;
  item.file = SpoolOpenUpdate(item.path, &err);
  if (!item.file.valid()) {
    Log(item, kLogAlways, "Unable to open file '%s' for sending", item.path.c_str());
    Log(item, kLogAlways, "Postphoning sending of file %s", item.path.c_str());
    return kItemRelease;
  }
  return StartPass(item);
}

int ApplyRouting(OutgoingItem& item) {
  for (Destination& d : item.dests)
    if (d.decision == DestDecision::kUndecided) RouteDestination(item, d);
  bool pending = false;
  for (const Destination& d : item.dests) pending = pending || d.decision == DestDecision::kResolving;
  Log(item, kLogGeneralDebug, pending ? "Request pending..." : "Request succeeded.");
  int next = NextAfterRouting(item);
  if (next != kItemApplyResult) Log(item, kLogGeneralDebug, "Processing for node %s, pausing.",
                                    item.dests.empty() ? "" : item.dests[0].node.c_str());
  return next;
}

int WaitResolver(OutgoingItem& item) {
  bool any = false;
  for (Destination& d : item.dests) {
    if (d.decision != DestDecision::kResolving) continue;
    if (!nSmtpMx_QueryCompletion(d.mxHandle)) continue;
    any = true;
    int level = 0;
    char host[kMaxResolvedHost] = "";
    char addresses[kMaxResolvedAddresses] = "";
    int code = nSmtpMx_GetMxRequest(d.mxHandle, level, host, sizeof host, addresses, sizeof addresses);
    d.mxHandle = -1;
    d.decision = DestDecision::kUndecided;
    if (code == kMxNotFinished) {
      d.decision = DestDecision::kResolving;
      continue;
    }
    ApplyResolverResult(item, d, code, host, addresses);
  }
  if (!any) return -1;  // wait
  return NextAfterRouting(item);
}

int Connect(OutgoingItem& item) {
  const Settings& s = S();
  size_t chosen = item.dests.size();
  for (size_t i = 0; i < item.dests.size(); ++i)
    if (item.dests[i].decision == DestDecision::kConnect && HasOpenRecipients(item, i)) {
      chosen = i;
      break;
    }
  if (chosen == item.dests.size()) {
    Log(item, kLogGeneralDebug, "Unable to find matching node to send to for item.");
    return NextAfterRouting(item);
  }
  Destination& d = item.dests[chosen];
  std::string bare = d.host;
  if (bare.size() > 2 && bare.front() == '[') bare = bare.substr(1, bare.size() - 2);
  if (IsMappedToLocal(bare) || bare == s.localIp ||
      (!d.exchanger.empty() && IsMappedToLocal(d.exchanger))) {
    Log(item, kLogAlways, "Node name '%s' is mapped to local node.  Stopping.", d.host.c_str());
    RetryDestination(item, d);
    return NextAfterRouting(item);
  }
  // Every open recipient of a destination that goes to the same host shares the
  // connection.
  auto request = std::make_shared<SmtpRequest>();
  request->fileName = PathFileName(item.path);
  request->sender = item.sender;
  if (!item.signDone) {
    // Signed once per item, after every header change on the way here.
    item.signature = SignOutgoingMessage(item.file.get(), item.messageOffset, item.sender,
                                         item.submittedHere, item.prefix);
    item.signDone = true;
  }
  request->head = item.signature;
  request->size = item.size + long(item.signature.size());
  request->offset = item.messageOffset;
  // A shared open of its own: the item's exclusive lock stays with the item.
  request->file = OpenShared(item.path, O_RDONLY);
  if (!request->file.valid()) {
    Log(item, kLogAlways, "Unable to open file '%s' for sending", item.path.c_str());
    for (size_t i = 0; i < item.dests.size(); ++i)
      if (item.dests[i].decision == DestDecision::kConnect) RetryDestination(item, item.dests[i]);
    return NextAfterRouting(item);
  }
  for (ItemRecipient& r : item.recipients) {
    r.inConnection = false;
    if (r.outcome != RecipientOutcome::kOpen || r.dest < 0) continue;
    const Destination& rd = item.dests[size_t(r.dest)];
    if (rd.decision != DestDecision::kConnect || !SameName(rd.host, d.host)) continue;
    r.inConnection = true;
    SmtpRequestRecipient rr;
    rr.address = r.address;
    request->recipients.push_back(std::move(rr));
  }
  request->requireTls = GetExceptionRequireTls(CurrentExceptions(), d.node);
  request->clearText = !item.clearTextHost.empty() && SameName(item.clearTextHost, d.host);
  item.clearTextHost.clear();
  long timeout = GetExceptionTimeout(CurrentExceptions(), d.node);
  item.connectTimeoutMs = uint32_t(timeout > 0 ? timeout : s.connectionTime) * 1000u;
  item.connHost = d.host;
  item.connectionFailed = false;
  std::string display = d.exchanger.empty() || d.smartHost ? d.host : d.exchanger + " " + d.host;
  std::string why;
  item.request = request;
  item.connectStart = GetTickCount32();
  item.reusedConnection = false;
  if ((item.link = ReuseConnection(d.host, request))) {
    item.reusedConnection = true;
    Log(item, kLogGeneralDebug, "Old: %d, New: %d", -1, int(item.link->sessionId));
    return kItemSending;
  }
  item.link = SmtpConnect(d.host, display, item.prefix, false, request, WakeOutgoing, why);
  if (!item.link) {
    item.lastError = why;
    item.connectionFailed = true;
    return kItemNextHost;
  }
  Log(item, kLogGeneralDebug, "Old: %d, New: %d", -1, int(item.link->sessionId));
  return kItemConnecting;
}

int Connecting(OutgoingItem& item) {
  switch (SmtpClientConnectionState(*item.link)) {
    case SmtpClientState::kOpen:
      Log(item, kLogGeneralDebug, "connection open");
      return kItemSending;
    case SmtpClientState::kConnecting:
      if (TickElapsed(GetTickCount32(), item.connectStart) < item.connectTimeoutMs) return -1;
      Log(item, kLogAlways, "Connection timeout after %ld seconds.", long(item.connectTimeoutMs / 1000));
      SmtpClientClose(*item.link);
      item.lastError = "Connection timeout.";
      item.connectionFailed = true;
      return kItemNextHost;
    case SmtpClientState::kGone:
    default: {
      int error = 0;
      bool connected = false;
      {
        std::lock_guard<std::mutex> g(item.link->lock);
        error = item.link->connectError;
        connected = item.link->connected;
      }
      // A quick peer may have taken the whole message before we looked.
      if (connected) return kItemSending;
      Log(item, kLogAlways, "Not connecting with host %s anymore: %d", item.connHost.c_str(), error);
      item.lastError = error ? NetErrorText(error) : "Connection failed.";
      item.connectionFailed = true;
      return kItemNextHost;
    }
  }
}

// The peer's outcome, per recipient of the connection.
void RecordResults(OutgoingItem& item) {
  SmtpRequest& req = *item.request;
  bool finished = req.finished.load(std::memory_order_acquire);
  if (!finished && !req.mailAnswered) {
    // The host never took part: a failed connection, the next host may serve.
    item.connectionFailed = true;
    for (ItemRecipient& r : item.recipients) r.inConnection = false;
    if (!req.errorText.empty()) item.lastError = req.errorText;
    return;
  }
  if (!req.errorText.empty()) item.lastError = req.errorText;
  size_t k = 0;
  for (ItemRecipient& r : item.recipients) {
    if (!r.inConnection) continue;
    r.inConnection = false;
    const SmtpRequestRecipient& rr = req.recipients[k++];
    switch (rr.status) {
      case SmtpRecipientStatus::kDelivered:
        r.outcome = RecipientOutcome::kDelivered;
        break;
      case SmtpRecipientStatus::kRefused: {
        r.outcome = RecipientOutcome::kBounced;
        bool unknown = rr.reply.rfind("550", 0) == 0 || rr.reply.rfind("551", 0) == 0;
        r.reason = unknown ? FormatText(kBounceUnknown, r.address.c_str())
                           : FormatText(kBounceFatal, (rr.reply.empty() ? req.errorText : rr.reply).c_str(),
                                        r.address.c_str());
        break;
      }
      default:
        // Put off, or the connection ended before the peer took the message.
        r.outcome = RecipientOutcome::kRetry;
        item.retryHosts.insert(item.dests[size_t(r.dest)].node);
        break;
    }
  }
}

int Sending(OutgoingItem& item) {
  if (!item.request) {
    // A dequeue-only session: done once it waits for work.
    if (SmtpClientIsIdle(*item.link) ||
        SmtpClientConnectionState(*item.link) == SmtpClientState::kGone)
      return kItemNextHost;
    return -1;
  }
  if (item.request->finished.load(std::memory_order_acquire)) {
    RecordResults(item);
    return kItemNextHost;
  }
  if (SmtpClientConnectionState(*item.link) == SmtpClientState::kGone) {
    Log(item, kLogAlways, "Connection with host %s is no longer present.", item.connHost.c_str());
    RecordResults(item);
    return kItemNextHost;
  }
  return -1;
}

int NextHost(OutgoingItem& item) {
  bool tlsFailed = false;
  if (item.link) {
    std::lock_guard<std::mutex> g(item.link->lock);
    tlsFailed = item.link->tlsFailed;
  }
  if (item.connectionFailed && item.reusedConnection) {
    // A kept session the peer had closed meanwhile: that says nothing about the
    // host; the same host is tried again on a new connection.
    item.connectionFailed = false;
  } else if (item.connectionFailed && tlsFailed && item.request && !item.request->clearText &&
             !item.request->requireTls && !ServerSettings().smtpRequireTls) {
    // The host offered STARTTLS and broke the handshake: the same host once more,
    // at once, in clear text.
    item.connectionFailed = false;
    item.clearTextHost = item.connHost;
    Log(item, kLogAlways, "TLS handshake with %s failed; trying it again without TLS.",
        item.connHost.c_str());
  } else if (item.connectionFailed) {
    item.connectionFailed = false;
    for (size_t i = 0; i < item.dests.size(); ++i) {
      Destination& d = item.dests[i];
      if (d.decision == DestDecision::kConnect && SameName(d.host, item.connHost) &&
          HasOpenRecipients(item, i))
        NextHostFor(item, d);
    }
  }
  if (item.link) {
    bool delivered = item.request && item.request->finished.load(std::memory_order_acquire) &&
                     !item.request->retry && item.request->notFatal;
    // A session that delivered and waits idle serves the next message for its host.
    if (!(delivered && SmtpClientIsIdle(*item.link) && CacheConnection(item.connHost, item.link)))
      SmtpClientFinish(*item.link, true);
  }
  return kItemWaitClosed;
}

int WaitClosed(OutgoingItem& item) {
  if (item.link && SmtpClientConnectionState(*item.link) != SmtpClientState::kGone) {
    // The session may say QUIT on its own time once it let go of the request.
    std::lock_guard<std::mutex> g(item.link->lock);
    if (item.link->current || item.link->handed) return -1;
  }
  item.link.reset();
  item.request.reset();
  return kItemEvaluate;
}

// Bounces one recipient's copy of the message to the sender (root for a mailer
// daemon, or when that fails). True when a bounce was committed.
bool BounceRecipient(OutgoingItem& item, const ItemRecipient& r) {
  BounceRequest b;
  b.reason = r.reason;
  b.messagePath = item.path;
  b.messageHandle = item.file.get();
  b.messageOffset = item.messageOffset;
  b.skipEnvelope = false;
  b.incoming = true;
  std::string path, why;
  if (!IsMailerDaemon(item.sender)) {
    b.recipient = item.sender;
    Log(item, kLogRouting, "Bouncing %s to %s due to errors", VisibleText(r.address).c_str(),
        VisibleText(item.sender).c_str());
    if (BounceMessage(b, path, why)) return true;
    Log(item, kLogRouting, "Error bouncing file: %s, trying root", item.path.c_str());
    Log(item, kLogRouting, "Error as follows: %s", why.c_str());
  }
  b.recipient = RootAddress();
  if (BounceMessage(b, path, why)) return true;
  Log(item, kLogRouting, "Error bouncing file to root: %s", item.path.c_str());
  Log(item, kLogRouting, "Error as follows: %s", why.c_str());
  return false;
}

int Evaluate(OutgoingItem& item) {
  bool bounced = false;
  for (ItemRecipient& r : item.recipients) {
    if (r.outcome == RecipientOutcome::kDelivered) {
      item.marks.push_back(r.lineOffset);
      r.outcome = RecipientOutcome::kSettled;
      continue;
    }
    if (r.outcome != RecipientOutcome::kBounced) continue;
    if (BounceRecipient(item, r)) {
      bounced = true;
      item.marks.push_back(r.lineOffset);
      r.outcome = RecipientOutcome::kSettled;
    } else {
      // Not even root could be told: the recipient waits and is tried again.
      r.outcome = RecipientOutcome::kRetry;
      if (r.dest >= 0) item.retryHosts.insert(item.dests[size_t(r.dest)].node);
      else item.retryHosts.insert(item.isRetry ? item.retryHost : RecipientNode(r.address));
    }
  }
  if (bounced) RequestIncomingScan();
  int next = NextAfterRouting(item);
  if (next != kItemEvaluate) return next;
  if (item.finalPass || item.recipients.empty()) return kItemFinish;
  // More recipients follow: what is done so far is marked before the next pass.
  std::string why;
  if (!item.marks.empty() && MarkRecipientsDone(item.file.get(), item.marks, why))
    item.marks.clear();
  return kItemRestart;
}

void Park(OutgoingItem& item) {
  std::string dir = PathDirectory(item.path);
  std::string target = item.path;
  target.back() = 'r';
  Log(item, kLogRouting, "Outg - Finishing %s->%s", item.path.c_str(), target.c_str());
  int rc = RenameNoReplace(item.path, target);
  // A parked file of that name is never replaced: another name is found.
  for (int probe = 0; (rc == kErrAlreadyExists || rc == kErrFileExists) && probe < 1000; ++probe) {
    target = FreshSpoolName(dir, kRetryExtension);
    rc = RenameNoReplace(item.path, target);
  }
  if (rc != 0) {
    Log(item, kLogAlways, "Unable to park file '%s' for a retry (error %d).", item.path.c_str(), rc);
    return;  // stays .out: the next scan tries it again
  }
  int64_t created = SpoolFileAge(target);
  RetryClock now = RetryClockNow();
  for (const std::string& host : item.retryHosts)
    AddToRetryQueue(target, host, created, CurrentExceptions(), now);
}

int Finish(OutgoingItem& item) {
  if (item.path.empty()) return kItemRelease;
  if (item.envelopeBroken) {
    std::string why;
    if (!BounceOutgoingFile(item.path, item.file.get(),
                            FormatText(kFatalWhole, item.lastError.c_str()),
                            false, true, "root", why)) {
      Log(item, kLogRouting, "Error bouncing file: %s", why.c_str());
      return kItemRelease;  // the file stays; a later scan tries again
    }
    if (item.isRetry)
      DeleteFromRetryQueue(item.retryId, "DeleteFromRetryQueue - Finishing - ProblemWithMail");
    item.file.reset();
    RetireInBackground(item.path);
    Log(item, kLogRouting, "Outg - Bounced & deleted %s", item.path.c_str());
    return kItemRelease;
  }
  bool retryNeeded = !item.retryHosts.empty();
  bool keepFile = retryNeeded || item.otherHostsPending;
  if (keepFile && !item.marks.empty()) {
    std::string why;
    if (!MarkRecipientsDone(item.file.get(), item.marks, why))
      Log(item, kLogAlways, "Unable to mark recipients of '%s': %s", item.path.c_str(), why.c_str());
    item.marks.clear();
  }
  if (!keepFile) {
    Log(item, kLogRouting, "Outg - Finishing: Deleted %s", item.path.c_str());
    item.file.reset();
    RetireInBackground(item.path);
    if (item.isRetry)
      DeleteFromRetryQueue(item.retryId, "DeleteFromRetryQueue - Finishing - TransferOk");
  } else if (!item.isRetry) {
    Park(item);
  } else if (retryNeeded) {
    bool warn = CountRetryFailure(item.retryId, CurrentExceptions());
    if (warn) {
      std::string why;
      if (BounceOutgoingFile(item.path, item.file.get(),
                             FormatText(kAgedWarning, item.retryHost.c_str()), false, true,
                             "postmaster", why))
        Log(item, kLogRouting, "Bounced aged file: %s", item.path.c_str());
      else
        Log(item, kLogRouting, "Error bouncing aged file '%s': %s", item.path.c_str(), why.c_str());
    }
    RetryEntry entry;
    if (GetRetryEntry(item.retryId, entry) && RetryEntryExpired(entry, RetryClockNow())) {
      item.file.reset();
      Log(item, kLogRouting, "Bouncing aged file '%s'.", item.path.c_str());
      if (ExpireRetryEntry(entry)) Log(item, kLogRouting, "DeleteFromRetryQueue - LFNR Expired");
    }
  } else {
    // This host is done; others still wait in the same file.
    DeleteFromRetryQueue(item.retryId, "DeleteFromRetryQueue - Finishing - TransferOk");
  }
  Log(item, kLogGeneralDebug, "Scan for new item...");
  return kItemRelease;
}

int Release(OutgoingItem& item) {
  item.file.reset();
  if (item.link) SmtpClientFinish(*item.link, true);
  item.link.reset();
  item.request.reset();
  return kItemDone;
}

// One state's handler: the next state, or -1 to wait.
int RunState(OutgoingItem& item) {
  switch (item.state) {
    case kItemStart: return Start(item);
    case kItemWaitResolver:
    case kItemResolverResult: return WaitResolver(item);
    case kItemApplyResult: return ApplyRouting(item);
    case kItemConnect: return Connect(item);
    case kItemConnecting: return Connecting(item);
    case kItemSending: return Sending(item);
    case kItemNextHost: return NextHost(item);
    case kItemWaitClosed: return WaitClosed(item);
    case kItemEvaluate: return Evaluate(item);
    case kItemRestart: return StartPass(item);
    case kItemFinish: return Finish(item);
    case kItemRelease: return Release(item);
    default: return kItemDone;
  }
}

}  // namespace

bool RunOutgoingItem(OutgoingItem& item) {
  // Every state either moves on or waits; the bound only guards against a loop.
  for (int steps = 0; steps < 10000 && item.state != kItemDone; ++steps) {
    int next = RunState(item);
    if (next < 0) return false;
    item.state = next;
  }
  return item.state == kItemDone;
}
