// The router's queue: scanning the incoming directory, one spool file after the
// other, recipient by recipient, and the group commit that makes deliveries
// durable before their recipients are marked done.
#include "server/accounts/router.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/mailbox.h"
#include "server/accounts/router_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/parallel.h"
#include "server/core/server_state.h"
#include "server/spool/bounce.h"
#include "server/spool/headers.h"

namespace {

// The patterns of one queue scan, in scan order.
constexpr const char* kScanIncoming = "*.in";
constexpr const char* kScanReleased = "*.mla";
constexpr const char* kScanWaiting = "*.inr";
constexpr const char* kWaitingExtension = ".inr";
constexpr const char* kReleasedExtension = ".mla";
constexpr const char* kErrorExtension = ".err";
constexpr const char* kRootFormat = "root@%s";

struct RouterQueue {
  std::vector<std::string> names;  // full paths
  int next = -1;                   // -1: no queue active
  std::vector<std::string> ignore;
  bool running = false;
  bool waitingScanned = false;
  uint32_t lastWaitingScan = 0;
};

RouterQueue g_queue;
// Retiring a routed file can wait on the disk (block release): the retirements
// of one call run in the background while the next call routes, and are waited for
// before the directory is scanned again and whenever a queue ends.
TaskGroup g_deletions;
std::mutex g_queueMutex;  // tests call the router from their own threads
RouterHooks g_hooks;

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool IsIgnored(const std::string& path) {
  return std::find(g_queue.ignore.begin(), g_queue.ignore.end(), path) != g_queue.ignore.end();
}

// Marks the lines of one file and, with `flush`, flushes it once: a recipient
// line is marked only after what it produced is durable, and a file that stays
// in the queue keeps only durable marks.
bool WriteMarks(int fd, const std::vector<long long>& offsets, bool flush) {
  std::string why;
  return MarkRecipientsDone(fd, offsets, why, flush);
}

// A file this call retires: every recipient done. Its marks need no flush of
// their own, since the retirement's directory flush takes the file out of the
// queue; until then a crash of the process finds them written (they live in the
// page cache), and only a power loss in those milliseconds could bring the file
// back unmarked, which repeats its deliveries and loses nothing.
bool RetiredWithoutFlush(const SpoolWork& w) {
  return w.retireWhenDone && !w.deferred && !w.unhandled && !w.setAside &&
         !w.envelope.moreRemain;
}

// How the router sees one envelope recipient.
struct Target {
  bool local = false;
  std::string name;     // local part of a local recipient
  std::string domain;   // "" = primary, else the secondary domain
  std::string address;  // normalised address (remote recipients)
};

// Normalises `text` until it is local or stops changing; a result that is not
// ours is tried against the secondary domains.
bool ClassifyRecipient(const std::string& text, const HostIdentity& id, Target& out) {
  NormalizeOptions options;
  options.strip = true;
  options.mapDomains = true;
  std::string current = text;
  for (int round = 0; round < kRouter.maxNormalizeRounds; ++round) {
    NormalizedAddress n;
    if (!NormalizeAddress(current, id, options, n) || n.address.empty()) return false;
    if (n.address.find_first_of("\r\n") != std::string::npos) return false;
    size_t at = n.address.rfind('@');
    if (n.isLocal) {
      out.local = true;
      out.name = at == std::string::npos ? n.address : n.address.substr(0, at);
      out.domain.clear();
      return !out.name.empty();
    }
    if (n.address == current) {
      if (at != std::string::npos) {
        std::string domain = n.address.substr(at + 1);
        for (const SecondaryDomain& d : SecondaryDomains()) {
          if (strcasecmp(d.name.c_str(), domain.c_str()) == 0) {
            out.local = true;
            out.name = n.address.substr(0, at);
            out.domain = d.name;
            return !out.name.empty();
          }
        }
      }
      out.address = n.address;
      return true;
    }
    current = n.address;
  }
  out.address = current;
  return true;
}

// Step 1 and 2 of a pass: resolve and deliver every pending recipient.
void RouteRecipients(SpoolWork& work, CommitGroup& group) {
  HostIdentity id = ServerHostIdentity();
  const auto& rcpts = work.envelope.recipients;
  std::vector<Target> targets(rcpts.size());
  auto settle = [&](size_t i, RecipientOutcome outcome) {
    work.pending[i] = false;
    switch (outcome) {
      case RecipientOutcome::kHandled: work.marks.push_back(rcpts[i].lineOffset); break;
      case RecipientOutcome::kDeferred:
        work.deferred = true;
        work.skip.insert(rcpts[i].lineOffset);
        break;
      case RecipientOutcome::kUnhandled:
        work.unhandled = true;
        work.skip.insert(rcpts[i].lineOffset);
        break;
    }
  };
  for (size_t i = 0; i < rcpts.size(); ++i) {
    if (!work.pending[i]) continue;
    if (ClassifyRecipient(rcpts[i].address, id, targets[i])) continue;
    std::string reason =
        FormatText("Unable to resolve name '%s'.", VisibleText(rcpts[i].address).c_str());
    LogEvent(0, kLogRouting, "Bouncing file '%s' to '%s'", work.path.c_str(),
             VisibleText(work.envelope.sender).c_str());
    if (BounceRecipient(work, reason, false)) {
      settle(i, RecipientOutcome::kHandled);
    } else {
      LogEvent(0, kLogAlways, "Error bouncing unresolved user.");
      settle(i, RecipientOutcome::kUnhandled);
    }
  }
  for (;;) {
    size_t local = rcpts.size();
    std::vector<size_t> remote;
    for (size_t i = 0; i < rcpts.size(); ++i) {
      if (!work.pending[i]) continue;
      if (targets[i].local) {
        local = i;
        break;
      }
      remote.push_back(i);
    }
    if (local < rcpts.size()) {
      settle(local, RouteLocalRecipient(work, local, targets[local].name, targets[local].domain,
                                        group));
      continue;
    }
    if (remote.empty()) break;
    std::vector<RecipientOutcome> outcomes = RouteRemoteRecipients(work, remote, group);
    for (size_t k = 0; k < remote.size(); ++k) settle(remote[k], outcomes[k]);
    break;
  }
}

// A message without "Message-id:" goes round once more as a new incoming file,
// which the copy gives the missing headers. Each new file is committed before
// its recipients' lines are marked, so a crash in between repeats, never loses.
// Recipients whose envelope would not fit into one file go into several.
bool RequeueWholeMessage(SpoolWork& work) {
  LogEvent(0, kLogRouting, "Adding additional router pass...");
  const Settings& s = ServerSettings();
  const std::vector<EnvelopeRecipient>& rcpts = work.envelope.recipients;
  std::vector<std::string> addresses;
  for (const EnvelopeRecipient& r : rcpts) addresses.push_back(r.address);
  std::vector<size_t> runs;
  std::string why;
  if (!SplitEnvelope(work.envelope.sender, addresses, runs, why, work.envelope.submittedHere)) {
    LogEvent(0, kLogAlways, "Error requeuing entire message: %s", why.c_str());
    return false;
  }
  size_t first = 0;
  for (size_t run : runs) {
    std::vector<std::string> group(addresses.begin() + long(first),
                                   addresses.begin() + long(first + run));
    std::string temp, envelope;
    if (!FormatEnvelope(work.envelope.sender, group, envelope, why,
                        work.envelope.submittedHere)) {
      LogEvent(0, kLogAlways, "Error requeuing entire message: %s", why.c_str());
      return false;
    }
    UniqueFd out = CreateSpoolTemp(temp, true, s.incomingDirectory, s.outgoingDirectory);
    if (!out.valid()) {
      LogEvent(0, kLogAlways, "Error requeuing entire message: %s",
               "Unable to create temporary file.");
      return false;
    }
    LogEvent(0, kLogRouting, "Additional router pass: %s->%s", work.path.c_str(), temp.c_str());
    CopyOptions options;
    options.processHeaders = true;
    options.identity = ServerHostIdentity();
    options.agent = "router";
    options.productText = s.softwareName;
    options.fourDigitYear = s.useFourDigitYear;
    options.missing.from = work.envelope.sender;
    options.missing.to = rcpts.empty() ? "" : rcpts[0].address;
    options.missing.idName = work.path;
    // The message is not new: its age (for the retry queue's expiry) goes along.
    FileTime age;
    bool haveAge = GetFileModifiedTime(work.fd.get(), age);
    if (!SpoolWrite(out.get(), envelope) ||
        !CopyMessageWithHeaders(work.fd.get(), out.get(), work.envelope.messageOffset, options,
                                why) ||
        (haveAge && !SetFileModifiedTime(out.get(), age)) ||
        !CloseAndCommitSpoolFile(out, temp, true, s.incomingDirectory, s.outgoingDirectory, why)) {
      LogEvent(0, kLogAlways, "Error requeuing entire message: %s", why.c_str());
      out.reset();
      SpoolDelete(temp);
      return false;
    }
    LogEvent(0, kLogRouting, "File renamed: %s", temp.c_str());
    // The recipients of a committed file are done, whatever happens to the rest.
    for (size_t i = first; i < first + run; ++i) work.marks.push_back(rcpts[i].lineOffset);
    work.createdIncoming = true;
    first += run;
  }
  return true;
}

// One pass: read up to LimitRecipients pending recipients (skipping those
// deferred earlier in this visit) and route them. False when the envelope cannot
// be read (`why`).
bool RoutePass(SpoolWork& work, CommitGroup& group, bool& envelopeBroken, std::string& why) {
  envelopeBroken = false;
  long limit = std::clamp(ServerSettings().limitRecipients, 1L, 250L);
  RouterEnvelope env;
  if (!ReadRouterEnvelope(work.fd.get(), limit + long(work.skip.size()), env, why)) {
    envelopeBroken = true;
    return false;
  }
  // Lines already routed in this visit (marks waiting for the group commit, or
  // deferred) are not pending again.
  std::vector<EnvelopeRecipient> fresh;
  for (EnvelopeRecipient& r : env.recipients) {
    bool known = work.skip.count(r.lineOffset) ||
                 std::find(work.marks.begin(), work.marks.end(), r.lineOffset) != work.marks.end();
    if (!known && long(fresh.size()) < limit) fresh.push_back(std::move(r));
    else if (!known) env.moreRemain = true;
  }
  env.recipients = std::move(fresh);
  work.envelope = std::move(env);
  work.pending.assign(work.envelope.recipients.size(), true);
  if (work.envelope.recipients.empty()) return true;
  if (!work.envelope.hasMessageId) {
    // A failed requeue leaves the lines pending: the file waits and is tried again.
    if (!RequeueWholeMessage(work)) {
      work.unhandled = true;
      for (const EnvelopeRecipient& r : work.envelope.recipients)
        if (std::find(work.marks.begin(), work.marks.end(), r.lineOffset) == work.marks.end())
          work.skip.insert(r.lineOffset);
    }
    return true;
  }
  RouteRecipients(work, group);
  return true;
}

// Sets an unreadable file aside as "%08lx.err" (first free number from 0) after
// bouncing it to root.
void SetAsideBrokenFile(SpoolWork& work, const std::string& detail) {
  std::string reason =
      FormatText("Unable to determine envelope for %s.", PathFileName(work.path).c_str());
  LogEvent(0, kLogAlways, "Warn: %s (%s)", reason.c_str(), detail.c_str());
  std::string bounced, why;
  if (BounceToRoot(work.path, work.fd.get(), reason, bounced, why)) {
    LogEvent(0, kLogRouting, "Bouncing to '%s'.", bounced.c_str());
    LogEvent(0, kLogAlways, "Warn: File '%s' bounced to root: %s.", work.path.c_str(),
             reason.c_str());
  } else {
    LogEvent(0, kLogAlways, "Error bouncing to root: %s", why.c_str());
  }
  const std::string& dir = ServerSettings().incomingDirectory;
  for (int n = 0; n < kRouter.maxRenameProbes; ++n) {
    std::string name = FormatSpoolName(dir, uint32_t(n), kErrorExtension);
    int rc = RenameNoReplace(work.path, name);
    if (rc == 0) {
      LogEvent(0, kLogAlways, "Renaming to '%s'.", name.c_str());
      return;
    }
    if (rc != kErrAlreadyExists && rc != kErrFileExists) break;
  }
  // Only a file that could not be moved aside is ignored: a later file may get
  // the same name, and it must not be ignored.
  g_queue.ignore.push_back(work.path);
}

// Every pass over one file until no recipient remains unread. Returns false when
// the file cannot be processed. Files needing several passes commit their group
// between passes, so the next pass sees the marks.
bool RouteWholeFile(SpoolWork& work, CommitGroup& group, SpoolRouteResult& result) {
  int err = 0;
  work.fd = SpoolOpenUpdate(work.path, &err);
  if (!work.fd.valid()) {
    result.locked = true;
    return true;
  }
  group.files.push_back(&work);
  for (int pass = 0;; ++pass) {
    bool broken = false;
    std::string why;
    if (!RoutePass(work, group, broken, why)) {
      if (broken) {
        SetAsideBrokenFile(work, why);
        work.setAside = true;
        return true;
      }
      return false;
    }
    result.moreRemain = work.envelope.moreRemain;
    if (!work.envelope.moreRemain) break;
    std::string commitWhy;
    if (!CommitDeliveries(group, commitWhy)) {
      // Nothing of this pass counts as delivered; the file waits, nothing is lost.
      LogEvent(0, kLogAlways, "Error committing deliveries: %s", commitWhy.c_str());
      break;
    }
  }
  result.deferred = work.deferred;
  result.allDone = !work.deferred && !work.unhandled;
  return true;
}

// Parks a file whose mailbox was busy (or whose bounce failed) as .inr, under a
// fresh number: a name is never reused within a boot (see DeliveryKey).
void ParkFile(const std::string& path) {
  const std::string& dir = ServerSettings().incomingDirectory;
  int rc = -1;
  std::string name;
  for (int probe = 0; probe < kRouter.maxRenameProbes; ++probe) {
    name = FreshSpoolName(dir, kWaitingExtension);
    if (FileExists(name)) continue;
    rc = RenameNoReplace(path, name);
    if (rc != kErrFileExists && rc != kErrAlreadyExists) break;
  }
  LogEvent(0, kLogRouting, "Waiting on file: renamed '%s'->'%s' = %d", path.c_str(), name.c_str(),
           rc == 0 ? 1 : 0);
}

void ScanQueue() {
  WaitTaskGroup(g_deletions);
  const std::string& dir = ServerSettings().incomingDirectory;
  g_queue.names.clear();
  std::vector<const char*> patterns = {kScanIncoming, kScanReleased};
  uint32_t now = GetTickCount32();
  if (!g_queue.waitingScanned || TickElapsed(now, g_queue.lastWaitingScan) >= kRouter.waitingScanMs) {
    patterns.push_back(kScanWaiting);
    g_queue.waitingScanned = true;
    g_queue.lastWaitingScan = now;
  }
  for (const char* pattern : patterns) {
    for (const std::string& name : ListFiles(dir, pattern)) {
      std::string path = dir + name;
      if (IsIgnored(path)) continue;
      g_queue.names.push_back(path);
      LogEvent(0, kLogGeneralDebug, "Adding to incoming queue: #%d:%s", int(g_queue.names.size()),
               name.c_str());
    }
  }
  g_queue.next = g_queue.names.empty() ? -1 : 0;
}

struct FileRun {
  std::unique_ptr<SpoolWork> work;
  SpoolRouteResult result;
  bool ok = true;
  bool isWaiting = false;
};

}  // namespace

// ---- Group commit --------------------------------------------------------------------

// Commits the group's outgoing copies: the files of different source files at once
// (their flushes overlap), those of one source file in order (their names follow
// the order of its recipients). A copy that cannot be committed is deleted and its
// source file keeps every line of this group unmarked: routed again later, its
// recipients are repeated, never lost.
void CommitCopies(CommitGroup& group) {
  std::vector<PendingCopy> copies;
  copies.swap(group.copies);
  std::vector<std::vector<size_t>> bySource;  // indices into `copies`, per source file
  for (size_t i = 0; i < copies.size(); ++i) {
    size_t k = 0;
    while (k < bySource.size() && copies[bySource[k][0]].work != copies[i].work) ++k;
    if (k == bySource.size()) bySource.emplace_back();
    bySource[k].push_back(i);
  }
  std::vector<char> committed(copies.size(), 0);
  std::vector<std::string> paths(copies.size());
  RunInParallel(bySource.size(), [&](size_t k) {
    for (size_t i : bySource[k]) {
      paths[i] = copies[i].temp;
      int err = 0;
      committed[i] = CommitSpoolFile(paths[i], false, &err, true) ? 1 : 0;
      if (!committed[i]) SpoolDelete(paths[i]);
    }
    return true;
  });
  for (size_t i = 0; i < copies.size(); ++i) {
    SpoolWork& w = *copies[i].work;
    if (committed[i]) {
      LogEvent(0, kLogRouting, "Outgoing file %s generated from %s", paths[i].c_str(), w.path.c_str());
      w.createdOutgoing = true;
    } else {
      LogEvent(0, kLogAlways, "Error renaming outgoing file %s from %s", paths[i].c_str(), w.path.c_str());
      w.marks.clear();
      w.unhandled = true;
    }
  }
}

bool CommitDeliveries(CommitGroup& group, std::string& why) {
  CommitCopies(group);
  bool flushed = FlushMailboxFiles(group.mailboxes, group.newFiles);
  std::vector<std::string> mailboxes, accounts;
  mailboxes.swap(group.mailboxes);
  accounts.swap(group.accounts);
  group.newFiles.clear();
  std::vector<SpoolWork*> files;
  files.swap(group.files);
  if (!flushed) {
    // Nothing of this group is reported delivered: the lines stay pending and
    // the deliveries are repeated later, never lost.
    why = "Error flushing mailbox files.";
    for (SpoolWork* w : files) {
      w->marks.clear();
      w->unhandled = true;
    }
    return false;
  }
  // Files that stay in the queue flush their marks, in parallel; the marks of
  // files about to be retired are only written.
  std::vector<SpoolWork*> flushing;
  bool ok = true;
  for (SpoolWork* w : files) {
    if (!w->fd.valid()) continue;
    if (!RetiredWithoutFlush(*w)) {
      flushing.push_back(w);
    } else if (!WriteMarks(w->fd.get(), w->marks, false)) {
      w->unhandled = true;
      ok = false;
    }
  }
  ok = RunInParallel(flushing.size(), [&](size_t i) {
    SpoolWork* w = flushing[i];
    if (WriteMarks(w->fd.get(), w->marks, true)) return true;
    w->unhandled = true;
    return false;
  }) && ok;
  // The marks stay listed so that later passes over the same file skip them.
  for (SpoolWork* w : files) group.files.push_back(w);
  if (!ok) {
    why = "Unable to mark recipient done.";
    return false;
  }
  // Every mark is written, and durable or about to be retired: the notes that
  // guarded the window can go.
  ForgetFinishedAppends(mailboxes, accounts);
  return true;
}

// ---- Public ---------------------------------------------------------------------------

RouterHooks& RouterHandlers() { return g_hooks; }

bool InitializeRouter(std::string& why) {
  (void)why;
  std::lock_guard<std::mutex> lock(g_queueMutex);
  g_queue = RouterQueue();
  return true;
}

void ShutdownRouter() {
  std::lock_guard<std::mutex> lock(g_queueMutex);
  WaitTaskGroup(g_deletions);
  g_queue.names.clear();
  g_queue.next = -1;
}

void ResetRouterState() {
  std::lock_guard<std::mutex> lock(g_queueMutex);
  WaitTaskGroup(g_deletions);
  g_queue = RouterQueue();
}

std::vector<std::string> RouterIgnoreList() {
  std::lock_guard<std::mutex> lock(g_queueMutex);
  return g_queue.ignore;
}

void RequestRouting() { RequestIncomingScan(); }

bool DeleteIncomingFile(const std::string& path, std::string& why) {
  std::lock_guard<std::mutex> lock(g_queueMutex);
  if (!DeleteSpoolFileLocked(path, why)) return false;
  LogEvent(0, kLogAlways, "Deleted file '%s' at the administrator's request.", path.c_str());
  return true;
}

bool RouteSpoolFile(const std::string& path, bool isInFile, SpoolRouteResult& result) {
  result = SpoolRouteResult();
  SpoolWork work;
  work.path = path;
  work.isInFile = isInFile;
  CommitGroup group;
  bool ok = RouteWholeFile(work, group, result);
  std::string why;
  if (!CommitDeliveries(group, why)) ok = false;
  if (work.unhandled) result.allDone = false;
  return ok;
}

int RouteIncomingQueue() {
  std::unique_lock<std::mutex> lock(g_queueMutex, std::try_to_lock);
  if (!lock.owns_lock() || g_queue.running) return 0;
  g_queue.running = true;
  struct Running {
    ~Running() { g_queue.running = false; }
  } running;
  // While the registry database is out of reach every file would only wait: they
  // stay in the queue untouched until it is back.
  if (!RegStoreReachable()) return 0;
  if (g_queue.next < 0) ScanQueue();
  if (g_queue.next < 0) return 0;

  const std::string& dir = ServerSettings().incomingDirectory;
  std::vector<FileRun> runs;
  CommitGroup group;
  bool madeIncoming = false, madeOutgoing = false;
  int count = int(g_queue.names.size());
  for (int n = 0; n < kRouter.filesPerCall && g_queue.next < count; ++n) {
    const std::string& path = g_queue.names[size_t(g_queue.next)];
    LogEvent(0, kLogGeneralDebug, "%d of %d (%08lx->%s->%s)", g_queue.next + 1, count,
             (unsigned long)GetTickCount32(), dir.c_str(), PathFileName(path).c_str());
    LogEvent(0, kLogRouting, "Routing file: %s", path.c_str());
    ++g_queue.next;
    FileRun run;
    run.work = std::make_unique<SpoolWork>();
    run.work->path = path;
    // Moderation applies to every file but a released post: a post parked as
    // .inr is still an ordinary incoming message.
    run.work->isInFile = !EndsWithNoCase(path, kReleasedExtension);
    run.isWaiting = EndsWithNoCase(path, kWaitingExtension);
    run.ok = RouteWholeFile(*run.work, group, run.result);
    run.work->retireWhenDone = run.ok;
    runs.push_back(std::move(run));
  }
  std::string why;
  bool committed = CommitDeliveries(group, why);
  if (!committed) LogEvent(0, kLogAlways, "Error committing deliveries: %s", why.c_str());

  std::vector<SpoolWork*> finished;
  for (FileRun& run : runs) {
    SpoolWork& w = *run.work;
    madeIncoming = madeIncoming || w.createdIncoming;
    madeOutgoing = madeOutgoing || w.createdOutgoing;
    if (w.setAside) continue;
    if (run.ok && run.result.locked) {
      LogEvent(0, kLogRouting, "Unable to lock file '%s'->'%s', will retry later", w.path.c_str(),
               dir.c_str());
      continue;
    }
    bool allDone = run.ok && !w.deferred && !w.unhandled;
    if (!run.ok) {
      std::string bounced, bwhy;
      if (BounceToRoot(w.path, w.fd.get(), "Unable to send to user.", bounced, bwhy)) {
        LogEvent(0, kLogAlways, "Bouncing to file '%s'", bounced.c_str());
        madeIncoming = true;
        allDone = true;
      } else {
        LogEvent(0, kLogAlways, "Error bouncing message");
        continue;
      }
    }
    if (allDone) {
      finished.push_back(&w);
    } else if (run.isWaiting) {
      LogEvent(0, kLogRouting, "Already wating on file '%s'", w.path.c_str());
    } else {
      ParkFile(w.path);
    }
    w.fd.reset();
  }
  std::vector<std::string> paths;
  for (SpoolWork* w : finished) paths.push_back(w->path);
  // One background job retires the call's files together (one directory flush).
  if (!paths.empty())
    StartInBackground(g_deletions, 1, [paths = std::move(paths)](size_t) {
      std::vector<char> gone = RetireSpoolFiles(paths);
      for (size_t i = 0; i < paths.size(); ++i)
        LogEvent(0, kLogRouting, "Deleting file '%s' = %d", paths[i].c_str(), gone[i] ? 1 : 0);
      return true;
    });
  if (madeIncoming) RequestIncomingScan();
  if (madeOutgoing) RequestOutgoingScan();
  if (g_queue.next >= count) {
    g_queue.names.clear();
    g_queue.next = -1;
    WaitTaskGroup(g_deletions);
  }
  return g_queue.next >= 0 ? 1 : 0;
}
