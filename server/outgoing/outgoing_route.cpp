// Routing decisions for the destinations of one outgoing item: the mode in force,
// held nodes, the smart host list, IP literals, the system lookup or the MX
// resolver, and what each resolver answer means (connect, the next exchanger,
// the smart host, a retry later, a bounce).
#include <strings.h>

#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/mx/mx_resolver.h"
#include "server/net/net.h"
#include "server/outgoing/outgoing_internal.h"
#include "server/outgoing/retry_queue.h"
#include "server/spool/bounce.h"

constexpr auto Log = LogItem;
constexpr const char* kWarningSubject = "System warning";

static const Settings& S() { return ServerSettings(); }

// ---- Decisions for one destination ---------------------------------------------

static bool Reachable(const Destination& d) {
  return S().netAlwaysPresent || IsLocalNode(LocalNodes(), d.node);
}

void RetryDestination(OutgoingItem& item, Destination& d) {
  d.decision = DestDecision::kRetry;
  Log(item, kLogAlways, "Node '%s' tagged for retry.", d.node.c_str());
  for (ItemRecipient& r : item.recipients)
    if (r.dest >= 0 && &item.dests[size_t(r.dest)] == &d && r.outcome == RecipientOutcome::kOpen) {
      r.outcome = RecipientOutcome::kRetry;
      item.retryHosts.insert(d.node);
    }
}

static void Bounce(OutgoingItem& item, Destination& d) {
  d.decision = DestDecision::kBounce;
  d.reason = FormatText(kIllegalHostText, d.node.c_str());
  Log(item, kLogAlways, "Node '%s' tagged for bounce.", d.node.c_str());
  // The sender hears of it twice: a short warning now and the bounce with the
  // message after this pass.
  if (!IsMailerDaemon(item.sender)) {
    std::string path, why;
    SendNotice(item.sender, kWarningSubject, d.reason, path, why);
    Log(item, kLogRouting, "Illegal Address sent '%s'", VisibleText(item.sender).c_str());
  }
  for (ItemRecipient& r : item.recipients)
    if (r.dest >= 0 && &item.dests[size_t(r.dest)] == &d && r.outcome == RecipientOutcome::kOpen) {
      r.outcome = RecipientOutcome::kBounced;
      r.reason = d.reason;
    }
}

static void SmartHost(OutgoingItem& item, Destination& d) {
  if (S().disableSmarthost) {
    Log(item, kLogAlways,
        "Bouncing, Unable to send message marked for smarthost to smarthost as smarthost is "
        "disabled.");
    Bounce(item, d);
    return;
  }
  if (!Reachable(d) && !item.forced) {
    Log(item, kLogAlways, "Retrying message until connection with network is active.");
    RetryDestination(item, d);
    return;
  }
  std::vector<std::string> hosts = SmartHostList(S().smartHost);
  if (d.smartIndex >= hosts.size()) {
    // None configured, or every one failed: the message waits.
    Log(item, kLogAlways, hosts.empty() ? "No smarthost configured, retrying."
                                        : "No smarthost left to try, retrying.");
    RetryDestination(item, d);
    return;
  }
  d.host = hosts[d.smartIndex];
  d.exchanger.clear();
  d.smartHost = true;
  d.decision = DestDecision::kConnect;
  Log(item, kLogAlways, "Node '%s' tagged for smarthost.", d.node.c_str());
}

static void RequestMx(OutgoingItem& item, Destination& d);

// What the resolver answered (or a code that stands for an answer).
void ApplyResolverResult(OutgoingItem& item, Destination& d, int code, const std::string& host,
                         const std::string& addresses) {
  Log(item, kLogGeneralDebug, "Checking results");
  bool retryModes = !ModeFallsBackToSmartHost(d.mode);
  switch (code) {
    case kMxOk: {
      d.addresses.clear();
      size_t start = 0;
      while (start < addresses.size()) {
        size_t semi = addresses.find(';', start);
        if (semi == std::string::npos) semi = addresses.size();
        if (semi > start) d.addresses.push_back(addresses.substr(start, semi - start));
        start = semi + 1;
      }
      if (d.addresses.empty()) {
        ApplyResolverResult(item, d, kMxServerError, host, addresses);
        return;
      }
      d.addressIndex = 0;
      d.exchanger = host;
      d.host = "[" + d.addresses[0] + "]";
      d.smartHost = false;
      Log(item, kLogAlways, "Destination for %s = %s,%s", d.node.c_str(), host.c_str(),
          d.addresses[0].c_str());
      if (IsMappedToLocal(host)) {
        Log(item, kLogAlways, "Node name '%s' is mapped to local node.  Ignoring.", host.c_str());
        RetryDestination(item, d);
        return;
      }
      d.decision = DestDecision::kConnect;
      return;
    }
    case kMxNotFound:
      if (!host.empty()) {
        // The domain exists; this exchanger has no address: the next one.
        Log(item, kLogAlways, "Exchanger %s of %s has no address.", host.c_str(), d.node.c_str());
        ++d.mxLevel;
        d.firstTry = false;
        d.decision = DestDecision::kUndecided;
        return;
      }
      if (++d.serverIndex < MxLevelCount()) {
        RequestMx(item, d);
        return;
      }
      Log(item, kLogAlways, "Unable to find answer for item, bouncing.");
      Bounce(item, d);
      return;
    case kMxServerError:
    case kMxOutOfBounds:
      if (d.mxLevel == 0) Log(item, kLogAlways, "Cannot access primary address");
      if (retryModes) {
        Log(item, kLogAlways, "Exceeded first entry, retrying.");
        RetryDestination(item, d);
      } else {
        Log(item, kLogAlways, "Item not known, passing to smarthost.");
        SmartHost(item, d);
      }
      return;
    case kMxExpired:
      if (++d.serverIndex < MxLevelCount()) {
        RequestMx(item, d);
        return;
      }
      if (retryModes) {
        Log(item, kLogAlways, "Timeout getting answer for item, retrying.");
        RetryDestination(item, d);
      } else {
        Log(item, kLogAlways, "Timeout getting answer for item, sending to smarthost.");
        SmartHost(item, d);
      }
      return;
    case kMxServerFailure:
      RetryDestination(item, d);
      return;
    case kMxCyclic:
      Bounce(item, d);
      return;
    default: {
      // Our own fault, not the destination's: never a bounce.
      ++d.criticalErrors;
      Log(item, kLogAlways, "Critical error trying to send file. has occured %d time(s).",
          d.criticalErrors);
      char text[200] = "";
      bool permanent = false;
      if (ResolverErrorText(code, text, sizeof text, permanent))
        Log(item, kLogAlways, "Unable to get destination for %s: %s", d.node.c_str(), text);
      else
        Log(item, kLogAlways, "Illegal state for resolution of mx: %d with host %s", code,
            d.node.c_str());
      Log(item, kLogAlways, "MX Marked for retry, %d", code);
      RetryDestination(item, d);
      if (!item.isRetry) {
        std::string notice = FormatText("Error resolving name for %s: %s(%d)", d.node.c_str(), text, code);
        std::string path, why;
        Log(item, kLogAlways, "Sending %s to root user.", notice.c_str());
        SendNotice(PostmasterAddress(), kWarningSubject, notice, path, why);
      }
      return;
    }
  }
}

static void RequestMx(OutgoingItem& item, Destination& d) {
  int handle = nSmtpMx_RequestRemoteId(d.askFor.c_str(), d.mxLevel, d.serverIndex);
  if (handle < 0) {
    ApplyResolverResult(item, d, handle, "", "");
    return;
  }
  d.mxHandle = handle;
  d.decision = DestDecision::kResolving;
  std::vector<std::string> servers = SmartHostList(S().domainServer);  // the same ";" rule
  Log(item, kLogGeneralDebug, "Requesting destination for %s from %s", d.askFor.c_str(),
      size_t(d.serverIndex) < servers.size() ? servers[size_t(d.serverIndex)].c_str() : "");
}

// One routing decision for a destination that has no host (first try, or after
// its last host failed).
void RouteDestination(OutgoingItem& item, Destination& d) {
  const Settings& s = S();
  const RoutingExceptions& ex = CurrentExceptions();
  Log(item, kLogGeneralDebug, "Checking routing for node: %s", d.node.c_str());
  bool reachable = Reachable(d);
  bool literal = !d.node.empty() && d.node[0] == '[';
  if (d.firstTry) {
    if (item.forceSmartHost) {
      d.mode = kRouteSmartHost;
    } else if (reachable) {
      if (!s.netAlwaysPresent) Log(item, kLogAlways, "Routing to local machine.");
      int exMode = GetExceptionRoutingMode(ex, d.node);
      if (literal) {
        d.mode = kRouteFirst;
      } else if (exMode < 0) {
        d.mode = EffectiveRoutingMode(s.routingMode);
        Log(item, kLogGeneralDebug, "Using default routing mode: Exception not found");
      } else if (exMode == kRouteDefault) {
        d.mode = EffectiveRoutingMode(s.routingMode);
        Log(item, kLogGeneralDebug, "Using default routing mode: Requested by exception.");
      } else {
        d.mode = exMode;
        Log(item, kLogGeneralDebug, "Using specific routing mode for %s", d.node.c_str());
      }
    } else {
      d.mode = kRouteSmartHost;
      Log(item, kLogAlways, "Forced routing (dialup) to smarthost");
    }
    Log(item, kLogGeneralDebug, "Address type: %d", d.mode);
  }
  if (GetExceptionHold(ex, d.node) && !(item.isRetry && item.retryNowStarted)) {
    Log(item, kLogAlways, "Keeping message on request.");
    RetryDestination(item, d);
    return;
  }
  if (d.mode == kRouteSmartHost) {
    Log(item, kLogAlways, "Marked for smarthost.");
    SmartHost(item, d);
    return;
  }
  if (literal) {
    std::string dotted;
    bool ok = ParseIpLiteral(d.node, dotted);
    Log(item, kLogAlways, "IP Address detected, result = %d", ok ? 1 : 0);
    if (!ok) {
      Bounce(item, d);
    } else if (!d.firstTry) {
      Log(item, kLogAlways, "Exceeded first Mx record, retrying.");
      RetryDestination(item, d);
    } else {
      d.host = "[" + dotted + "]";
      std::vector<std::string> smart = SmartHostList(s.smartHost);
      d.smartHost = !smart.empty() && (SameName(smart[0], dotted) || SameName(smart[0], d.host));
      d.decision = DestDecision::kConnect;
    }
    return;
  }
  Log(item, kLogGeneralDebug, "Checking normal addressing...");
  if (!d.firstTry && d.mode == kRouteFirst) {
    Log(item, kLogAlways, "Exceeded first Mx record, retrying.");
    RetryDestination(item, d);
    return;
  }
  if (!d.firstTry && d.mode == kRouteFirstSmartHost) {
    Log(item, kLogAlways, "Exceeded first MX record, sending to smarthost.");
    SmartHost(item, d);
    return;
  }
  if (d.firstTry) {
    for (const std::string& smart : SmartHostList(s.smartHost))
      if (SameName(smart, d.askFor)) {
        Log(item, kLogAlways, "Item matches smarthost name, saving.");
        SmartHost(item, d);
        return;
      }
    if (!item.isRetry && (FindRetryHost(d.node) || (!d.altNode.empty() && FindRetryHost(d.altNode)))) {
      Log(item, kLogAlways, "Node '%s' already retrying, item set to retry.", d.node.c_str());
      RetryDestination(item, d);
      return;
    }
  }
  if (s.disableDnsLookup) {
    if (!d.firstTry) {
      // The system lookup gives one address: after it, no exchanger is left.
      ApplyResolverResult(item, d, kMxOutOfBounds, "", "");
      return;
    }
    in_addr a{};
    int err = 0;
    if (NetResolveHost(d.askFor, a, err)) {
      std::string dotted = NetAddressText(a);
      Log(item, kLogAlways, "Address from stack = %s", dotted.c_str());
      d.exchanger = d.askFor;
      d.addresses = {dotted};
      d.addressIndex = 0;
      d.host = "[" + dotted + "]";
      d.decision = DestDecision::kConnect;
    } else if (err == kWsaHostNotFound || err == kWsaNoRecovery || err == kWsaNoData) {
      Log(item, kLogAlways, "Address from stack: fatal error getting address(%d)", err);
      Bounce(item, d);
    } else {
      Log(item, kLogAlways, "Address from stack: unable to get name at this time(%d)", err);
      RetryDestination(item, d);
    }
    return;
  }
  RequestMx(item, d);
}

// After a failed connection: the next address of the exchanger, the next
// exchanger, or the next smart host.
void NextHostFor(OutgoingItem& item, Destination& d) {
  d.firstTry = false;
  if (d.smartHost) {
    ++d.smartIndex;
    SmartHost(item, d);
    return;
  }
  if (++d.addressIndex < d.addresses.size()) {
    d.host = "[" + d.addresses[d.addressIndex] + "]";
    Log(item, kLogAlways, "Destination for %s = %s,%s", d.node.c_str(), d.exchanger.c_str(),
        d.addresses[d.addressIndex].c_str());
    d.decision = DestDecision::kConnect;
    return;
  }
  ++d.mxLevel;
  d.addresses.clear();
  d.addressIndex = 0;
  d.decision = DestDecision::kUndecided;
}

