// The periodic worker and its job table.
#include "server/core/worker.h"

#include <time.h>

#include <condition_variable>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/thread_name.h"
#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"

namespace {

constexpr uint32_t kTickWaitMs = 500;
// A job that keeps asking to run again still leaves this much time between ticks.
constexpr uint32_t kRunAgainGapMs = 1;

std::atomic<int> g_systemStarted{0};
std::mutex g_wakeMutex;
std::condition_variable g_wakeCv;
// Set by a request, cleared by the worker when it starts a tick. A request
// that finds it set already adds nothing: the tick it asked for is coming.
std::atomic<bool> g_wakePending{false};
bool g_stop = false;
std::thread g_thread;

// How a job's fault ends: the tick goes on with the next job, or ends.
enum class OnFault { kContinue, kEndTick };

struct JobEntry {
  const char* faultText;
  OnFault onFault;
};

// The job table, in the order of a tick.
enum JobIndex { kStartingActions, kIntegrity, kOutgoingScan, kIncomingScan, kResolver,
                kMaintenance, kMemory, kFinger, kOutgoingChecks, kJobCount };
static_assert(std::size(kWorkerJobNames) == kJobCount, "a name for every job");
static_assert(std::size(WorkerTiming{}.lastRun) == kJobCount, "a last run for every job");
constexpr JobEntry kJobs[kJobCount] = {
    {"Error processing timed events.", OnFault::kEndTick},
    {"Error processing user limit check.", OnFault::kContinue},
    {"Error processing outgoing queues.", OnFault::kContinue},
    {"Error processing incoming queues.", OnFault::kContinue},
    {"Error processing mail records.", OnFault::kContinue},
    {"Error processing maintenance checks.", OnFault::kContinue},
    {"Error processing timed events.", OnFault::kEndTick},
    {"Error processing finger checks.", OnFault::kContinue},
    {"Error processing outgoing checks.", OnFault::kContinue},
};

constexpr uint32_t kStartingActionsDelay = 30000;
constexpr uint32_t kIntegrityInterval = 1800000;
constexpr uint32_t kResolverInterval = 5000;
constexpr uint32_t kMaintenanceInterval = 300000;
constexpr uint32_t kMemoryInterval = 20000;
constexpr uint32_t kFingerInterval = 10000;
constexpr uint32_t kOutgoingChecksInterval = 5000;

// Runs one job behind its fault guard. Returns false when the tick must end.
template <typename Fn>
bool Guarded(JobIndex job, Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const std::exception&) {
  } catch (...) {
  }
  CriticalError(kJobs[job].faultText);
  return kJobs[job].onFault == OnFault::kContinue;
}

// "More than `interval` since the last run, or never run."
bool Due(uint32_t now, uint32_t last, uint32_t interval) {
  return last == 0 || TickElapsed(now, last) > interval;
}

}  // namespace

WorkerRequestFlags& WorkerFlags() {
  static WorkerRequestFlags flags;
  return flags;
}

PeriodicJobHooks& JobHooks() {
  static PeriodicJobHooks hooks;
  return hooks;
}

WorkerTiming& WorkerState() {
  static WorkerTiming timing;
  return timing;
}

void SetQueueIntervals(long incomingSeconds, long outgoingSeconds, long forcedSeconds) {
  WorkerTiming& t = WorkerState();
  t.incomingInterval = uint32_t(incomingSeconds * 1000);
  t.outgoingInterval = uint32_t(outgoingSeconds * 1000);
  t.forcedInterval = uint32_t(forcedSeconds * 1000);
}

int SetSystemStarted(int flag) { return g_systemStarted.exchange(flag); }

void SetupTimers(uint32_t now, bool netAlwaysPresent, bool connectAtStart) {
  WorkerTiming& t = WorkerState();
  for (std::atomic<uint32_t>& last : t.lastRun) last = 0;
  t.lastForced = 0;
  t.start = now;
  t.startingActionsDone = false;
  t.incomingAgain = false;
  if (!netAlwaysPresent && !connectAtStart) {
    t.lastRun[kOutgoingScan] = now;
    t.lastForced = now;
  }
}

void RunMaintenanceCheck() {
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  char stamp[16];
  strftime(stamp, sizeof stamp, "%y%j", &local);
  if (ConfigGetText("", "CheckTimestamp", "", nullptr, nullptr, 10) == stamp) return;
  ConfigSetString("", "CheckTimestamp", stamp);
  if (JobHooks().releaseBulkAndDigests) JobHooks().releaseBulkAndDigests();
  RunAutomaticLogSwitching(long(now));
  RequestIncomingScan();
}

// Job 8. A result of 0 makes it run again at the next tick.
static void RunOutgoingChecks(uint32_t now) {
  WorkerTiming& t = WorkerState();
  t.lastRun[kOutgoingChecks] = now;
  int result = 1;
  Guarded(kOutgoingChecks, [&] {
    if (JobHooks().outgoingChecks) result = JobHooks().outgoingChecks();
  });
  if (result == 0) t.lastRun[kOutgoingChecks] = 0;
}

bool RunPeriodicTick(uint32_t now) {
  WorkerTiming& t = WorkerState();
  if (t.inTick.exchange(true)) return false;  // the previous tick still runs
  struct ClearOnExit {
    std::atomic<bool>& flag;
    ~ClearOnExit() { flag = false; }
  } clear{t.inTick};
  if (g_systemStarted != 1) return false;

  WorkerRequestFlags& flags = WorkerFlags();
  const PeriodicJobHooks& hooks = JobHooks();
  bool again = false;
  try {
    // 0: starting actions, once, 30 s after the timers were set up.
    if (!t.startingActionsDone && TickElapsed(now, t.start) > kStartingActionsDelay) {
      t.startingActionsDone = true;
      if (!Guarded(kStartingActions, [&] {
            LogEvent(0, kLogAlways, "Performing starting actions.");
            flags.forcedRequest = true;
            flags.outgoingAgain = true;
          }))
        return false;
    }
    // 1: account integrity check.
    if (TickElapsed(now, t.lastRun[kIntegrity]) > kIntegrityInterval) {
      t.lastRun[kIntegrity] = now;
      Guarded(kIntegrity, [&] {
        if (hooks.accountIntegrityCheck) hooks.accountIntegrityCheck();
      });
    }
    // 2: outgoing queue scan, with the forced flag.
    if (Due(now, t.lastRun[kOutgoingScan], t.outgoingInterval) || flags.outgoingAgain) {
      t.lastRun[kOutgoingScan] = now;
      bool forced = flags.forcedRequest.exchange(false);
      if (!forced && t.forcedInterval != 0 && TickElapsed(now, t.lastForced) > t.forcedInterval) {
        forced = true;
        t.lastForced = now;
      }
      int result = 0;
      Guarded(kOutgoingScan, [&] {
        if (hooks.scanOutgoingQueue) result = hooks.scanOutgoingQueue(forced);
      });
      flags.outgoingAgain = result != 0;
      again = again || result != 0;
    }
    // 8, asked for: an outgoing session or resolver request has news. Heard
    // before the router's batch, so a message the peer has taken is recorded
    // at once (a crash in between would send it again) and the item's place
    // is free for the next one.
    if (flags.outgoingChecks.exchange(false)) RunOutgoingChecks(now);
    // 3: incoming queue scan.
    if ((Due(now, t.lastRun[kIncomingScan], t.incomingInterval) || flags.incomingRequest ||
         t.incomingAgain) &&
        ServerSettings().useVelmontRouter) {
      t.lastRun[kIncomingScan] = now;
      int result = 0;
      Guarded(kIncomingScan, [&] {
        if (hooks.scanIncomingQueue) result = hooks.scanIncomingQueue();
      });
      t.incomingAgain = result != 0;
      again = again || result != 0;
    }
    // 4: resolver housekeeping.
    if (Due(now, t.lastRun[kResolver], kResolverInterval)) {
      t.lastRun[kResolver] = now;
      Guarded(kResolver, [&] {
        if (hooks.resolverHousekeeping) hooks.resolverHousekeeping();
      });
    }
    // 5: maintenance (date change).
    if (Due(now, t.lastRun[kMaintenance], kMaintenanceInterval)) {
      t.lastRun[kMaintenance] = now;
      Guarded(kMaintenance, [&] { RunMaintenanceCheck(); });
    }
    // 6: memory line.
    if (Due(now, t.lastRun[kMemory], kMemoryInterval)) {
      t.lastRun[kMemory] = now;
      if (!Guarded(kMemory, [&] { LogEvent(0, kLogGeneralDebug, "Mem: %ld", AllocationTotal()); }))
        return false;
    }
    // 7: finger checks.
    if (Due(now, t.lastRun[kFinger], kFingerInterval)) {
      t.lastRun[kFinger] = now;
      Guarded(kFinger, [&] {
        if (hooks.fingerChecks) hooks.fingerChecks();
      });
    }
    // 8: outgoing checks; a result of 0 makes it run again at the next tick.
    if (Due(now, t.lastRun[kOutgoingChecks], kOutgoingChecksInterval) ||
        flags.outgoingChecks.exchange(false))
      RunOutgoingChecks(now);
  } catch (...) {
    CriticalError("Error processing timed event.");
    return false;
  }
  return again;
}

void WakePeriodicWorker() {
  // Each message received asks for a scan; only the first of a burst pays for
  // the wake-up. The flag is set before the mutex is taken, so a worker that
  // checks it under the mutex either sees it or is already waiting.
  if (g_wakePending.exchange(true)) return;
  std::lock_guard<std::mutex> lock(g_wakeMutex);
  g_wakeCv.notify_one();
}

bool StartPeriodicWorker(std::string& why) {
  {
    std::lock_guard<std::mutex> lock(g_wakeMutex);
    g_stop = false;
  }
  try {
    g_thread = std::thread([] {
      NameThisThread("corvel-worker");
      std::unique_lock<std::mutex> lock(g_wakeMutex);
      uint32_t wait = kTickWaitMs;
      for (;;) {
        g_wakeCv.wait_for(lock, std::chrono::milliseconds(wait),
                          [] { return g_stop || g_wakePending.load(); });
        if (g_stop) return;
        g_wakePending = false;
        lock.unlock();
        bool again;
        {
          LogBatch logLines;  // the tick's log lines leave together
          again = RunPeriodicTick(GetTickCount32());
        }
        lock.lock();
        // A job that has more to do comes back soon, not after a full wait; a
        // short gap still keeps a busy queue from starving everything else.
        wait = again ? kRunAgainGapMs : kTickWaitMs;
      }
    });
  } catch (const std::exception& e) {
    why = e.what();
    return false;
  }
  return true;
}

void StopPeriodicWorker() {
  {
    std::lock_guard<std::mutex> lock(g_wakeMutex);
    g_stop = true;
  }
  g_wakeCv.notify_all();
  if (g_thread.joinable()) g_thread.join();
}
