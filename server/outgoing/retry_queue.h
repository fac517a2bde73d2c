// The retry queue: messages parked for a later try. A file that could not reach
// some host is renamed .out -> .our and gets one entry per such host. Entries of
// one host form a group whose first entry (the head) keeps the schedule: four
// levels of intervals, a warning to the sender when the last level is reached
// (two days), and a bounce seven days after the message was first taken (the
// file's modification time, which the spool carries across copies).
//
// The queue lives in memory and is rebuilt by the outgoing scan after a restart
// (the start-up clean-up requeues every parked file). One lock guards it: the
// worker changes it, the SMTP server's ETRN (on a network thread) only sets
// retry-now under the lock and asks for a scan.
//
// Every decision that depends on time takes the clock as an argument, so the
// schedule and the expiry are tested without waiting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RoutingExceptions;

// The clock of a decision: the 32-bit millisecond tick and the wall clock.
struct RetryClock {
  uint32_t tick = 0;
  int64_t seconds = 0;
};
RetryClock RetryClockNow();

// The schedule, by level.
struct RetryLevel {
  uint32_t intervalMs;
  int attempts;        // attempts before the next level; 0 = no limit
  const char* name;    // as the configuration window shows it
};
inline constexpr RetryLevel kRetryLevels[] = {
    {180000, 5, "every 3 minutes"},
    {900000, 15, "every 15 minutes"},
    {3600000, 44, "every hour"},
    {7200000, 0, "every 2 hours"},
};
inline constexpr int kRetryLevelCount = 4;
inline constexpr int kRetryWarningLevel = 3;
inline constexpr int64_t kRetryExpirySeconds = 604800;  // seven days
inline constexpr int kRetryExpiryDays = 7;

struct RetryEntry {
  uint64_t id = 0;            // stable for the entry's life
  std::string path;           // the .our file
  std::string host;           // the recipients' domain (the node before a gateway)
  uint32_t lastAttempt = 0;   // tick of the last attempt
  int64_t created = 0;        // the message's age basis (file modification time)
  int level = 0;
  int attempts = 0;           // at this level
  bool retryNow = false;
  bool busy = false;          // an item works on it
};

// What the queue was told at start-up.
struct RetrySettings {
  int levelStart = 1;         // RetryLevelStart
  bool constant = false;      // RetryConstant: every entry keeps its level
};

// Start-up: reads RetryLevelStart and RetryConstant, empties the queue and renames
// every *.our of `outgoingDir` back to .out ("%08d.out" when that name is taken).
// False with `why` when a file could not be renamed.
bool InitRetryQueue(const std::string& outgoingDir, std::string& why);
void ShutdownRetryQueue();
RetrySettings& RetryQueueSettings();

// Adds an entry for `path` and `host` (logs as the design says). `created` is the
// message's age basis. Returns the entry's id.
uint64_t AddToRetryQueue(const std::string& path, const std::string& host, int64_t created,
                         const RoutingExceptions& ex, const RetryClock& now);
// Removes an entry; the next entry of its host becomes the head, marked retry-now.
// `why` is the caller's log text ("DeleteFromRetryQueue - Finishing - TransferOk").
void DeleteFromRetryQueue(uint64_t id, const char* why);
// True when the host (any case) has entries.
bool FindRetryHost(const std::string& host);
// A copy of an entry; false when it is gone.
bool GetRetryEntry(uint64_t id, RetryEntry& out);
// Marks an entry as worked on (or not) by an item.
void SetRetryEntryBusy(uint64_t id, bool busy);
// Every entry, in list order (copies).
std::vector<RetryEntry> RetryEntries();
bool RetryQueueNotEmpty();

// An attempt of a retry item failed: counts it, moves the level up after the
// level's attempts (unless held constant), and returns true when the entry has
// just reached the warning level (the caller warns the sender).
bool CountRetryFailure(uint64_t id, const RoutingExceptions& ex);

// The due test of one head entry at `now`: retry-now, or its level's interval
// (or the host's own interval) since the last attempt; a held host only by
// retry-now.
bool RetryEntryDue(const RetryEntry& head, const RoutingExceptions& ex, const RetryClock& now);
// Whether an entry's message is older than seven days.
bool RetryEntryExpired(const RetryEntry& entry, const RetryClock& now);

// One retry pass. Returns the entries due now, in list order: each due head (or
// every head while `forced`), with the other entries of its host after it.
// Entries already busy are left out; the retry-now flags of the returned heads
// are cleared. Entries whose file is gone are dropped ("DFRQ - LFNR File Not
// There - %s"). An expired entry that is not busy has its message bounced
// ("Message has expired after %d days") and its file deleted, then is dropped.
std::vector<RetryEntry> ScanRetryQueue(const RoutingExceptions& ex, const RetryClock& now,
                                       bool forced);
// Bounces an expired entry's message and deletes it with its file, logging as a
// finished retry item does; false when the bounce failed (the entry stays).
bool ExpireRetryEntry(const RetryEntry& entry);
// Records an attempt on an entry (its item started).
void NoteRetryAttempt(uint64_t id, const RetryClock& now);

// Retry-now for every entry of `host` (any case); true when it has entries. Takes
// the lock only to set the flags, then asks for an outgoing scan. This is the
// SMTP server's ETRN.
bool RetryNow(const std::string& host);
bool RetryNowEntry(uint64_t id);
// Bounces an entry's message with `reason` (or "Message bounced manually by root
// user: "), deletes its file and every entry of that file. Returns the text the
// console shows ("Message bounced successfully", "Unable to bounce message.
// Please try later.").
std::string BounceRetryEntry(uint64_t id, const std::string& reason);
// Deletes an outgoing message file (.out or .our) at the administrator's request,
// with its retry entries, under the retry queue's lock and the file's exclusive
// lock. False with `why` while an outgoing item sends it (an entry is busy or the
// file is locked) or when it is gone.
bool DeleteOutgoingFile(const std::string& path, std::string& why);
// The console's lines: "Host: %s, Messages: %d, Level: %s" per host, or "There are
// no retries currently occuring." when empty.
std::vector<std::string> RetryQueueLines();

