// The outgoing queue: start-up and shutdown, the scan that starts items (for new
// .out files and for due retry entries), the step that runs them, and the bounce
// of a whole outgoing file.
#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <set>

#include "platform/files.h"
#include "platform/tick.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/parallel.h"
#include "server/core/server_state.h"
#include "server/mx/mx_resolver.h"
#include "server/outgoing/outgoing.h"
#include "server/outgoing/outgoing_internal.h"
#include "server/outgoing/retry_queue.h"
#include "server/smtp/smtp_session.h"
#include "server/spool/bounce.h"
#include "server/spool/spool.h"

namespace {

// How long ShutdownOutgoing waits for the sessions it closed to let go.
constexpr uint32_t kShutdownWaitMs = 10000;

struct QueueState {
  std::vector<std::unique_ptr<OutgoingItem>> items;
  std::deque<std::string> table;  // the transfer table: .out names not yet dispatched
  uint16_t nextNumber = 1;
  bool running = false;           // re-entrancy guard of the scan and the step
  RoutingExceptions exceptions;
  TaskGroup retirements;
  // Files being deleted in the background: a scan must not start them again.
  std::mutex retiringLock;
  std::set<std::string> retiring;
  // Idle sessions kept for the next message to their host.
  struct Kept {
    std::string host;
    std::shared_ptr<SmtpClientLink> link;
    uint32_t since = 0;
  };
  std::vector<Kept> connections;
};

QueueState& State() {
  static QueueState s;
  return s;
}

struct Guard {
  bool& flag;
  bool entered;
  explicit Guard(bool& f) : flag(f), entered(!f) { flag = true; }
  ~Guard() {
    if (entered) flag = false;
  }
};

// Whether a forced (dial-up) connection is due in this scan, and what it asks.
struct ForceDecision {
  bool force = false;
  bool smartHost = false;  // items of this scan go through the smart host
};

ForceDecision DecideForce(bool forced) {
  Settings& s = ServerSettings();
  ForceDecision d;
  if (s.disableSmarthost) return d;
  if (!((forced && !s.netAlwaysPresent) || (s.netAlwaysPresent && s.connectAtStart))) return d;
  d.force = true;
  if (s.netAlwaysPresent) {
    s.connectAtStart = false;  // it acts once
    d.smartHost = true;
  }
  const LocalNodeSettings& local = LocalNodes();
  LogEvent(0, kLogAlways, "Forcing connection to smarthost, mode %d.", int(local.forceConnectionMode));
  if (local.forceConnectionMode == 1) {
    // A TCP connection to the forced-connection port wakes the provider instead;
    // the retry queue is served as if forced.
    d.smartHost = false;
    if (local.forceName.empty()) {
      LogEvent(0, kLogAlways, "Unable to start forced connect:  no name supplied for reverse finger.");
    } else if (RouterHandlers().queueRemoteFinger) {
      RouterHandlers().queueRemoteFinger("", local.forceName, int(local.forcePort), 0);
    } else {
      LogEvent(0, kLogAlways, "Unable to register TCP connect action for forced request.");
    }
  }
  return d;
}

bool ItemForPath(const std::string& path) {
  for (const auto& item : State().items)
    if (!item->path.empty() && item->path == path) return true;
  return false;
}

bool ItemForRetryEntry(uint64_t id) {
  for (const auto& item : State().items)
    if (item->isRetry && item->retryId == id) return true;
  return false;
}

}  // namespace

// ---- Shared helpers -----------------------------------------------------------------

void LogItem(const OutgoingItem& item, uint32_t category, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  LogEventV(0, category, item.prefix.c_str(), format, ap);
  va_end(ap);
}

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<std::unique_ptr<OutgoingItem>>& OutgoingItems() { return State().items; }

const RoutingExceptions& CurrentExceptions() { return State().exceptions; }

bool OutgoingFileBusy(const std::string& path) { return ItemForPath(path); }

void WakeOutgoing() { RequestOutgoingChecks(); }

int CountOutgoingItems() { return int(State().items.size()); }

int OutgoingCapacity() {
  long limit = ServerSettings().limitOutgoingMessages;
  return int(std::clamp(limit, 1L, kOutgoingCapacityMax));
}


std::string PostmasterAddress() { return "postmaster@" + ServerSettings().localNode; }
std::string RootAddress() { return "root@" + ServerSettings().localNode; }

int64_t SpoolFileAge(const std::string& path) {
  FileTime t;
  return GetFileModifiedTime(path, t) ? t.seconds : int64_t(time(nullptr));
}

void RetireInBackground(const std::string& path) {
  QueueState& q = State();
  {
    std::lock_guard<std::mutex> g(q.retiringLock);
    q.retiring.insert(path);
  }
  StartInBackground(q.retirements, 1, [path](size_t) {
    bool gone = RetireSpoolFile(path);
    LogEvent(0, kLogGeneralDebug, "Deleting file '%s' = %d", path.c_str(), gone ? 1 : 0);
    QueueState& q = State();
    std::lock_guard<std::mutex> g(q.retiringLock);
    q.retiring.erase(path);
    return gone;
  });
}

bool BeingRetired(const std::string& path) {
  QueueState& q = State();
  std::lock_guard<std::mutex> g(q.retiringLock);
  return q.retiring.count(path) != 0;
}

void WaitRetirements() { WaitTaskGroup(State().retirements); }

bool BounceOutgoingFile(const std::string& path, int fd, const std::string& reason,
                        bool deleteAfter, bool toSecond, const char* second, std::string& why) {
  UniqueFd own;
  if (fd < 0) {
    own = OpenShared(path, O_RDONLY);
    if (!own.valid()) {
      why = "Unable to open file '" + path + "' for bouncing.";
      return false;
    }
    fd = own.get();
  }
  // The sender as the router reads it: a file whose envelope breaks the outgoing
  // rules (the reason for many bounces) still names its sender.
  RouterEnvelope env;
  std::string envWhy;
  bool haveSender = ReadRouterEnvelope(fd, 1, env, envWhy) && !env.sender.empty();
  bool toSender = haveSender && !IsMailerDaemon(env.sender);
  std::string secondAddress = std::string(second ? second : "root") + "@" + ServerSettings().localNode;
  bool written = false;
  BounceRequest r;
  r.reason = reason;
  r.messagePath = path;
  r.messageHandle = fd;
  r.skipEnvelope = true;
  r.incoming = true;
  std::string bounced;
  if (toSender) {
    r.recipient = env.sender;
    LogEvent(0, kLogRouting, "Bouncing to file '%s' from '%s' for user '%s'", path.c_str(),
             VisibleText(env.sender).c_str(), VisibleText(env.sender).c_str());
    if (BounceMessage(r, bounced, why)) written = true;
  }
  if (toSecond || !toSender || !written) {
    r.recipient = secondAddress;
    LogEvent(0, kLogRouting, "Bouncing to root file '%s' from '%s'.", path.c_str(),
             VisibleText(env.sender).c_str());
    std::string why2;
    if (BounceMessage(r, bounced, why2))
      written = true;
    else if (why.empty())
      why = why2;
  }
  if (!written) return false;
  if (deleteAfter) {
    own.reset();
    RetireSpoolFile(path);
    LogEvent(0, kLogRouting, "Outg - Bounced & deleted %s", path.c_str());
  }
  RequestIncomingScan();
  return true;
}

// ---- The connection cache -------------------------------------------------------------

bool CacheConnection(const std::string& host, std::shared_ptr<SmtpClientLink> link) {
  QueueState& q = State();
  if (int(q.connections.size()) >= OutgoingCapacity()) return false;
  q.connections.push_back(QueueState::Kept{host, std::move(link), GetTickCount32()});
  return true;
}

std::shared_ptr<SmtpClientLink> ReuseConnection(const std::string& host,
                                                std::shared_ptr<SmtpRequest> request) {
  QueueState& q = State();
  for (size_t i = 0; i < q.connections.size();) {
    if (!SameName(q.connections[i].host, host)) {
      ++i;
      continue;
    }
    std::shared_ptr<SmtpClientLink> link = std::move(q.connections[i].link);
    q.connections.erase(q.connections.begin() + long(i));
    if (SmtpClientSend(*link, request)) return link;
    SmtpClientFinish(*link, true);  // no longer idle (or gone): let it end
  }
  return nullptr;
}

void ExpireConnections(bool all) {
  QueueState& q = State();
  uint32_t now = GetTickCount32();
  for (size_t i = 0; i < q.connections.size();) {
    QueueState::Kept& k = q.connections[i];
    bool gone = SmtpClientConnectionState(*k.link) == SmtpClientState::kGone;
    if (all || gone || TickElapsed(now, k.since) >= kConnectionCacheMs) {
      if (!gone) SmtpClientFinish(*k.link, true);
      q.connections.erase(q.connections.begin() + long(i));
      continue;
    }
    ++i;
  }
}

// ---- Items ---------------------------------------------------------------------------

OutgoingItem* StartOutgoingItem(const std::string& path, bool isRetry, uint64_t retryId,
                                const std::string& retryHost, bool retryNow, bool forced,
                                bool forceSmartHost) {
  QueueState& q = State();
  if (isRetry ? ItemForRetryEntry(retryId) : (!path.empty() && ItemForPath(path))) return nullptr;
  auto item = std::make_unique<OutgoingItem>();
  item->number = q.nextNumber++;
  if (q.nextNumber == 0) q.nextNumber = 1;
  item->prefix = FormatText("OUTG-%04x: ", item->number);
  item->path = path;
  item->isRetry = isRetry;
  item->retryId = retryId;
  item->retryHost = retryHost;
  item->retryNowStarted = retryNow;
  item->forced = forced;
  item->forceSmartHost = forceSmartHost;
  if (isRetry) SetRetryEntryBusy(retryId, true);
  q.items.push_back(std::move(item));
  LogEvent(0, kLogGeneralDebug, "Number outgoing(add): %d", int(q.items.size()));
  return q.items.back().get();
}

namespace {

// Starts items for the names waiting in the transfer table while there is room.
// Returns how many started.
int DispatchTable(int capacity, bool forced, bool forceSmartHost) {
  QueueState& q = State();
  int started = 0;
  while (!q.table.empty() && int(q.items.size()) < capacity) {
    std::string path = std::move(q.table.front());
    q.table.pop_front();
    if (!SpoolExists(path) || BeingRetired(path) || ItemForPath(path)) continue;
    if (StartOutgoingItem(path, false, 0, "", false, forced, forceSmartHost)) ++started;
  }
  return started;
}

// Runs every item once as far as it goes; true when some item ended.
bool RunItems() {
  QueueState& q = State();
  bool ended = false;
  for (size_t i = 0; i < q.items.size();) {
    OutgoingItem& item = *q.items[i];
    int before = item.state;
    bool done = false;
    try {
      done = RunOutgoingItem(item);
    } catch (...) {
      CriticalError(FormatText("Within Outgoing State machine; Old State = %d, Current State = %d",
                               before, item.state)
                        .c_str());
      // A fault leaves the item's file for a later scan.
      if (item.link) SmtpClientClose(*item.link);
      item.state = kItemRelease;
    }
    if (done) {
      if (item.isRetry) SetRetryEntryBusy(item.retryId, false);
      q.items.erase(q.items.begin() + long(i));
      LogEvent(0, kLogGeneralDebug, "Number outgoing(delete): %d", int(q.items.size()));
      ended = true;
      continue;
    }
    ++i;
  }
  return ended;
}

}  // namespace

int OutgoingItemsStep() {
  QueueState& q = State();
  Guard guard(q.running);
  if (!guard.entered) return 0;
  // A place freed is taken at once by a file already waiting in the table, so
  // a place does not stay empty until the next scan.
  bool ended = RunItems();
  if (ended && DispatchTable(OutgoingCapacity(), false, false) > 0) RunItems();
  // A free place: the next files may go (the scan also serves the retry queue).
  if (ended) RequestOutgoingScan();
  ExpireConnections(false);
  // While sessions are kept the step runs again soon, to let them go in time.
  return q.items.empty() && q.connections.empty() ? 1 : 0;
}

// ---- The scan ------------------------------------------------------------------------

int OutgoingQueueStep(bool forced) {
  QueueState& q = State();
  Guard guard(q.running);
  if (!guard.entered) return 1;
  const Settings& s = ServerSettings();
  q.exceptions = LoadRoutingExceptions();
  int capacity = OutgoingCapacity();
  ForceDecision force = DecideForce(forced);

  // New files first: the transfer table holds the names of the last listing
  // that are still waiting; an empty table is filled again.
  if (q.table.empty()) {
    for (const std::string& name : ListFiles(s.outgoingDirectory, std::string("*") + kOutgoingExtension)) {
      std::string path = s.outgoingDirectory + name;
      if (ItemForPath(path) || BeingRetired(path)) continue;
      q.table.push_back(path);
    }
    if (!q.table.empty())
      LogEvent(0, kLogGeneralDebug, "Add: %s,%d", PathFileName(q.table.back()).c_str(),
               int(q.table.size()));
  }
  DispatchTable(capacity, force.force, force.smartHost);

  // Then the retry queue, when the network is there or a connection is forced.
  if ((s.netAlwaysPresent || force.force) && int(q.items.size()) < capacity &&
      RetryQueueNotEmpty()) {
    RetryClock now = RetryClockNow();
    std::vector<RetryEntry> due = ScanRetryQueue(q.exceptions, now, force.force);
    if (!due.empty()) LogEvent(0, kLogGeneralDebug, "First set of retries...");
    for (const RetryEntry& e : due) {
      if (int(q.items.size()) >= capacity) break;
      if (ItemForRetryEntry(e.id) || ItemForPath(e.path)) continue;
      if (StartOutgoingItem(e.path, true, e.id, e.host, e.retryNow || force.force, force.force,
                            force.smartHost))
        NoteRetryAttempt(e.id, now);
    }
  }

  // A forced connection with nothing to send still asks the smart host for our
  // mail (a dequeue-only session).
  if (force.force && LocalNodes().forceConnectionMode == 0 && q.items.empty() &&
      int(q.items.size()) < capacity)
    StartOutgoingItem("", false, 0, "", false, true, true);

  if (!q.items.empty()) WakeOutgoing();
  // Names left wait for a free place; an item that ends asks for a scan then.
  return 0;
}

// ---- Start and end -------------------------------------------------------------------

bool InitializeOutgoing(std::string& why) {
  QueueState& q = State();
  q.items.clear();
  q.connections.clear();
  q.table.clear();
  q.nextNumber = 1;
  const Settings& s = ServerSettings();
  if (!InitRetryQueue(s.outgoingDirectory, why)) return false;
  SetSmtpEtrnHook(RetryNow);
  SetMxCompletionHook(WakeOutgoing);
  RegisterSmtpClient();
  return true;
}

void ShutdownOutgoing() {
  QueueState& q = State();
  SetSmtpEtrnHook(nullptr);
  SetMxCompletionHook(nullptr);
  // Sessions are cut off; what they were sending stays in its file and is sent
  // again after the next start. Nothing is marked or bounced here.
  for (auto& item : q.items)
    if (item->link) SmtpClientClose(*item->link);
  for (auto& kept : q.connections) SmtpClientClose(*kept.link);
  uint32_t start = GetTickCount32();
  for (auto& item : q.items) {
    while (item->link && SmtpClientConnectionState(*item->link) != SmtpClientState::kGone &&
           TickElapsed(GetTickCount32(), start) < kShutdownWaitMs)
      SleepMs(10);
  }
  for (auto& kept : q.connections) {
    while (SmtpClientConnectionState(*kept.link) != SmtpClientState::kGone &&
           TickElapsed(GetTickCount32(), start) < kShutdownWaitMs)
      SleepMs(10);
  }
  q.items.clear();
  q.connections.clear();
  q.table.clear();
  WaitRetirements();
  ShutdownRetryQueue();
}
