// The retry queue: entries, the schedule, expiry and the administrator's calls.
#include "server/outgoing/retry_queue.h"

#include <strings.h>
#include <time.h>

#include <algorithm>
#include <list>
#include <mutex>
#include <set>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/core/strings.h"
#include "server/outgoing/outgoing.h"
#include "server/outgoing/outgoing_internal.h"
#include "server/spool/spool.h"

namespace {

constexpr const char* kBouncedManually = "Message bounced manually by root user: ";
constexpr const char* kBounceOk = "Message bounced successfully";
constexpr const char* kBounceLater = "Unable to bounce message.  Please try later.";
constexpr const char* kNoRetries = "There are no retries currently occuring.";
constexpr int kMaxRenameCounter = 99999999;

struct RetryQueue {
  std::mutex lock;
  std::list<RetryEntry> entries;  // in the order added
  uint64_t nextId = 1;
  RetrySettings settings;
};

RetryQueue& Queue() {
  static RetryQueue q;
  return q;
}

bool SameHost(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The head of `host`: its first entry in list order. Caller holds the lock.
std::list<RetryEntry>::iterator HeadOf(RetryQueue& q, const std::string& host) {
  return std::find_if(q.entries.begin(), q.entries.end(),
                      [&](const RetryEntry& e) { return SameHost(e.host, host); });
}

bool IsHead(RetryQueue& q, std::list<RetryEntry>::iterator it) { return HeadOf(q, it->host) == it; }

// Unlinks an entry. Caller holds the lock. A head's successor of the same host
// becomes the head and is tried at once: its host has just answered, or its
// predecessor's turn is over.
void Unlink(RetryQueue& q, std::list<RetryEntry>::iterator it, const char* why) {
  bool head = IsHead(q, it);
  std::string host = it->host;
  LogEvent(0, kLogRouting, "%s", why);
  LogEvent(0, kLogGeneralDebug, "DeleteFromRetryQueue - %s", it->path.c_str());
  q.entries.erase(it);
  if (!head) return;
  auto next = HeadOf(q, host);
  if (next != q.entries.end()) next->retryNow = true;
}

std::list<RetryEntry>::iterator FindId(RetryQueue& q, uint64_t id) {
  return std::find_if(q.entries.begin(), q.entries.end(),
                      [&](const RetryEntry& e) { return e.id == id; });
}

uint32_t IntervalMs(const RetryEntry& e, const RoutingExceptions& ex) {
  long minutes = GetExceptionRetryInterval(ex, e.host);
  if (minutes > 0) return uint32_t(minutes) * 60000u;
  int level = std::clamp(e.level, 0, kRetryLevelCount - 1);
  return kRetryLevels[level].intervalMs;
}

}  // namespace

RetryClock RetryClockNow() {
  RetryClock c;
  c.tick = GetTickCount32();
  c.seconds = int64_t(time(nullptr));
  return c;
}

RetrySettings& RetryQueueSettings() { return Queue().settings; }

bool InitRetryQueue(const std::string& outgoingDir, std::string& why) {
  RetryQueue& q = Queue();
  {
    std::lock_guard<std::mutex> g(q.lock);
    q.entries.clear();
    const Settings& s = ServerSettings();
    q.settings.levelStart = int(std::clamp(s.retryLevelStart, 0L, long(kRetryLevelCount - 1)));
    q.settings.constant = s.retryConstant;
  }
  // Interrupted retries are sent again: every parked file becomes an outgoing one.
  int counter = 1;
  for (const std::string& name : ListFiles(outgoingDir, std::string("*") + kRetryExtension)) {
    std::string from = outgoingDir + name;
    std::string to = from;
    to.back() = 't';
    int rc = RenameNoReplace(from, to);
    while (rc == kErrAlreadyExists || rc == kErrFileExists) {
      if (counter > kMaxRenameCounter) break;
      to = outgoingDir + FormatText("%08d", counter++) + kOutgoingExtension;
      rc = RenameNoReplace(from, to);
    }
    if (rc != 0) {
      why = "Unable to successfully add data to retry queue.";
      return false;
    }
    LogEvent(0, kLogRouting, "Renamed from %s to %s", from.c_str(), to.c_str());
  }
  return true;
}

void ShutdownRetryQueue() {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  q.entries.clear();
}

uint64_t AddToRetryQueue(const std::string& path, const std::string& host, int64_t created,
                         const RoutingExceptions& ex, const RetryClock& now) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  bool newHost = HeadOf(q, host) == q.entries.end();
  LogEvent(0, kLogAlways,
           newHost ? "Unable to contact destination for host: %s" : "Still unable to contact host: %s",
           host.c_str());
  RetryEntry e;
  e.id = q.nextId++;
  e.path = path;
  e.host = host;
  e.lastAttempt = now.tick;
  e.created = created;
  int level = GetExceptionRetryLevel(ex, host);
  e.level = level >= 0 ? level : q.settings.levelStart;
  q.entries.push_back(e);
  LogEvent(0, kLogGeneralDebug, "AddToRetryQueue - %s", path.c_str());
  LogEvent(0, kLogAlways, "Retrying message %s to %s (%d,%d)", PathFileName(path).c_str(),
           host.c_str(), e.level, e.attempts);
  return e.id;
}

void DeleteFromRetryQueue(uint64_t id, const char* why) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  auto it = FindId(q, id);
  if (it != q.entries.end()) Unlink(q, it, why);
}

bool FindRetryHost(const std::string& host) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  return HeadOf(q, host) != q.entries.end();
}

bool GetRetryEntry(uint64_t id, RetryEntry& out) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  auto it = FindId(q, id);
  if (it == q.entries.end()) return false;
  out = *it;
  return true;
}

void SetRetryEntryBusy(uint64_t id, bool busy) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  auto it = FindId(q, id);
  if (it != q.entries.end()) it->busy = busy;
}

std::vector<RetryEntry> RetryEntries() {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  return std::vector<RetryEntry>(q.entries.begin(), q.entries.end());
}

bool RetryQueueNotEmpty() {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  return !q.entries.empty();
}

bool CountRetryFailure(uint64_t id, const RoutingExceptions& ex) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  auto it = FindId(q, id);
  if (it == q.entries.end()) return false;
  RetryEntry& e = *it;
  bool warn = false;
  ++e.attempts;
  int limit = kRetryLevels[std::clamp(e.level, 0, kRetryLevelCount - 1)].attempts;
  bool constant = q.settings.constant || GetExceptionRetryConstant(ex, e.host);
  if (limit > 0 && e.attempts >= limit && !constant) {
    e.attempts = 0;
    ++e.level;
    warn = e.level == kRetryWarningLevel;
  }
  LogEvent(0, kLogAlways, "Still unable to contact host: %s", e.host.c_str());
  LogEvent(0, kLogAlways, "Retrying message %s to %s (%d,%d)", PathFileName(e.path).c_str(),
           e.host.c_str(), e.level, e.attempts);
  return warn;
}

bool RetryEntryDue(const RetryEntry& head, const RoutingExceptions& ex, const RetryClock& now) {
  if (head.retryNow) return true;
  if (GetExceptionHold(ex, head.host)) return false;
  return TickElapsed(now.tick, head.lastAttempt) >= IntervalMs(head, ex);
}

bool RetryEntryExpired(const RetryEntry& entry, const RetryClock& now) {
  return now.seconds - entry.created > kRetryExpirySeconds;
}

std::vector<RetryEntry> ScanRetryQueue(const RoutingExceptions& ex, const RetryClock& now,
                                       bool forced) {
  RetryQueue& q = Queue();
  std::vector<RetryEntry> due, expired;
  {
    std::lock_guard<std::mutex> g(q.lock);
    // Entries whose file is gone leave quietly.
    for (auto it = q.entries.begin(); it != q.entries.end();) {
      auto next = std::next(it);
      bool exists = SpoolExists(it->path);
      LogEvent(0, kLogGeneralDebug, "Retry file - %s: exist = %d", it->path.c_str(), exists ? 1 : 0);
      if (!exists) {
        std::string text = "DFRQ - LFNR File Not There - " + it->path;
        Unlink(q, it, text.c_str());
      }
      it = next;
    }
    std::set<std::string> busyPaths;
    for (const RetryEntry& e : q.entries)
      if (e.busy) busyPaths.insert(e.path);
    // The due hosts: decided by their heads.
    std::vector<std::string> dueHosts;
    for (auto it = q.entries.begin(); it != q.entries.end(); ++it) {
      if (!IsHead(q, it)) continue;
      if (forced || RetryEntryDue(*it, ex, now)) dueHosts.push_back(it->host);
    }
    for (const std::string& host : dueHosts) {
      auto head = HeadOf(q, host);
      for (auto it = head; it != q.entries.end(); ++it)
        if (SameHost(it->host, host) && !it->busy) due.push_back(*it);
      // The copies keep the flag: an item started by a retry-now request may
      // send what the host's exception holds.
      head->retryNow = false;
    }
    for (const RetryEntry& e : q.entries) {
      bool isDue = std::any_of(dueHosts.begin(), dueHosts.end(),
                               [&](const std::string& h) { return SameHost(h, e.host); });
      if (!isDue && !busyPaths.count(e.path) && RetryEntryExpired(e, now)) expired.push_back(e);
    }
  }
  std::set<std::string> gone;
  for (const RetryEntry& e : expired) {
    if (gone.count(e.path)) continue;
    if (ExpireRetryEntry(e)) gone.insert(e.path);
  }
  return due;
}

bool ExpireRetryEntry(const RetryEntry& entry) {
  std::string reason = FormatText(LoadStringResource(5117), kRetryExpiryDays);
  std::string why;
  if (!BounceOutgoingFile(entry.path, -1, reason, true, false, "postmaster", why)) {
    LogEvent(0, kLogRouting, "Error bouncing expired file '%s': %s", entry.path.c_str(), why.c_str());
    return false;
  }
  LogEvent(0, kLogRouting, "Bounced expired file '%s'", entry.path.c_str());
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  for (auto it = q.entries.begin(); it != q.entries.end();) {
    auto next = std::next(it);
    if (it->path == entry.path) Unlink(q, it, "DeleteFromRetryQueue - LFNR Expired2");
    it = next;
  }
  return true;
}

void NoteRetryAttempt(uint64_t id, const RetryClock& now) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  auto it = FindId(q, id);
  if (it == q.entries.end()) return;
  it->lastAttempt = now.tick;
  // The host's schedule is its head's.
  auto head = HeadOf(q, it->host);
  if (head != q.entries.end()) head->lastAttempt = now.tick;
}

bool RetryNow(const std::string& host) {
  RetryQueue& q = Queue();
  bool found = false;
  {
    std::lock_guard<std::mutex> g(q.lock);
    auto head = HeadOf(q, host);
    if (head != q.entries.end()) {
      head->retryNow = true;
      found = true;
    }
  }
  if (found) RequestOutgoingScan();
  return found;
}

bool RetryNowEntry(uint64_t id) {
  RetryQueue& q = Queue();
  bool found = false;
  {
    std::lock_guard<std::mutex> g(q.lock);
    auto it = FindId(q, id);
    if (it != q.entries.end()) {
      auto head = HeadOf(q, it->host);
      head->retryNow = true;
      found = true;
    }
  }
  if (found) RequestOutgoingScan();
  return found;
}

std::string BounceRetryEntry(uint64_t id, const std::string& reason) {
  RetryEntry e;
  if (!GetRetryEntry(id, e) || e.busy) return kBounceLater;
  std::string why;
  if (!BounceOutgoingFile(e.path, -1, reason.empty() ? kBouncedManually : reason, true, false,
                          "postmaster", why)) {
    LogEvent(0, kLogAlways, "Error bouncing requested file: %s", why.c_str());
    return kBounceLater;
  }
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  for (auto it = q.entries.begin(); it != q.entries.end();) {
    auto next = std::next(it);
    if (it->path == e.path) Unlink(q, it, "DeleteFromRetryQueue - LFNR Bounced");
    it = next;
  }
  return kBounceOk;
}

bool DeleteOutgoingFile(const std::string& path, std::string& why) {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  for (const RetryEntry& e : q.entries)
    if (e.path == path && e.busy) {
      why = FormatText("The file %s is being sent; try again in a moment.", PathFileName(path).c_str());
      return false;
    }
  if (!DeleteSpoolFileLocked(path, why)) return false;
  for (auto it = q.entries.begin(); it != q.entries.end();) {
    auto next = std::next(it);
    if (it->path == path) Unlink(q, it, "DeleteFromRetryQueue - deleted by the administrator");
    it = next;
  }
  LogEvent(0, kLogAlways, "Deleted file '%s' at the administrator's request.", path.c_str());
  return true;
}

std::vector<std::string> RetryQueueLines() {
  RetryQueue& q = Queue();
  std::lock_guard<std::mutex> g(q.lock);
  std::vector<std::string> lines;
  for (auto it = q.entries.begin(); it != q.entries.end(); ++it) {
    if (!IsHead(q, it)) continue;
    int count = int(std::count_if(q.entries.begin(), q.entries.end(),
                                  [&](const RetryEntry& e) { return SameHost(e.host, it->host); }));
    lines.push_back(FormatText("Host: %s, Messages: %d, Level: %s", it->host.c_str(), count,
                               kRetryLevels[std::clamp(it->level, 0, kRetryLevelCount - 1)].name));
  }
  if (lines.empty()) lines.push_back(kNoRetries);
  return lines;
}
