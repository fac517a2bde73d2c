// The periodic worker: one thread that wakes every 500 ms (earlier when a request
// flag is raised) and runs the timed jobs one after another, each behind its own
// fault guard. Intervals are counted on the 32-bit tick counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Request flags between threads: single words, no lock.
struct WorkerRequestFlags {
  std::atomic<bool> incomingRequest{false};  // never cleared once set
  std::atomic<bool> outgoingAgain{false};    // result of the last outgoing scan
  std::atomic<bool> forcedRequest{false};    // consumed by the next outgoing scan
  std::atomic<bool> outgoingChecks{false};   // run the outgoing checks at the next tick
};
WorkerRequestFlags& WorkerFlags();

// What the jobs call. Subsystems that exist plug in here at start-up; a null entry
// is a job with nothing to do yet. Tests put fakes here.
struct PeriodicJobHooks {
  void (*accountIntegrityCheck)() = nullptr;            // job 1
  int (*scanOutgoingQueue)(bool forced) = nullptr;      // job 2: non-zero = again
  int (*scanIncomingQueue)() = nullptr;                 // job 3: non-zero = again
  void (*resolverHousekeeping)() = nullptr;             // job 4
  void (*releaseBulkAndDigests)() = nullptr;            // part of job 5
  void (*fingerChecks)() = nullptr;                     // job 7
  int (*outgoingChecks)() = nullptr;                    // job 8: 0 = run next tick
};
PeriodicJobHooks& JobHooks();

// The jobs by their place in WorkerTiming::lastRun, as the console shows them.
inline constexpr const char* kWorkerJobNames[] = {
    "Starting actions", "Account check",     "Outgoing scan", "Incoming scan", "Resolver",
    "Daily maintenance", "Memory report",    "Finger checks", "Outgoing checks"};

// Bookkeeping of the jobs (milliseconds of the tick counter). The start and the
// last runs are read by the console's status page from its own threads.
struct WorkerTiming {
  std::atomic<uint32_t> start{0};
  std::atomic<uint32_t> lastRun[9] = {};
  uint32_t lastForced = 0;
  uint32_t incomingInterval = 60000, outgoingInterval = 60000, forcedInterval = 0;
  bool startingActionsDone = false;
  bool incomingAgain = false;
  std::atomic<bool> inTick{false};
};
WorkerTiming& WorkerState();

// Clears the last-run times and sets the start; when neither NetAlwaysPresent nor
// ConnectAtStart is on, the first outgoing scan waits one full interval.
void SetupTimers(uint32_t now, bool netAlwaysPresent, bool connectAtStart);

// One tick at time `now` (skipped while another tick runs or before the system
// has started). Returns true when a job asked to run again soon.
bool RunPeriodicTick(uint32_t now);

// The daily maintenance check (job 5): on a new day ("%y%j" differs from
// CheckTimestamp) it stores the stamp, releases bulk items and digests, switches
// logs and requests an incoming scan.
void RunMaintenanceCheck();

// Starts and stops the worker thread.
bool StartPeriodicWorker(std::string& why);
void StopPeriodicWorker();
