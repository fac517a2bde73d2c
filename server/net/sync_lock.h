// SyncLock: the lock object of the node table, the node rings and (named form) the
// mailboxes. The unnamed form is a recursive in-process lock, as a critical section
// is: the thread that holds it may take it again (a protocol handler runs with its
// node's receive lock held and may call functions that take it once more). The
// named form adds an flock-based named lock ("Corvel-MailboxAccess-%s"), so it also
// excludes other processes and other SyncLocks of the same name in this process.
// Acquire waits without time-out.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/named_lock.h"

struct SyncLock {
  std::string name;            // empty: the unnamed form
  std::recursive_mutex local;  // excludes the threads of this process
  NamedLock named;             // the named form's file lock while held
  int depth = 0;               // recursion depth of the holding thread (named form)
};

// Gives the lock a name ("" or null for the unnamed form). Call before first use.
void SetSyncLockName(SyncLock& lock, const char* name);

// Takes the lock, waiting without time-out. False only for the named form when its
// lock file cannot be opened (the lock is then not held).
bool AcquireSyncLock(SyncLock& lock);
// Releases one acquisition.
void ReleaseSyncLock(SyncLock& lock);

// Holds a SyncLock for a scope.
class SyncLockHold {
 public:
  explicit SyncLockHold(SyncLock& lock) : lock_(lock), held_(AcquireSyncLock(lock)) {}
  ~SyncLockHold() {
    if (held_) ReleaseSyncLock(lock_);
  }
  SyncLockHold(const SyncLockHold&) = delete;
  SyncLockHold& operator=(const SyncLockHold&) = delete;
  bool held() const { return held_; }

 private:
  SyncLock& lock_;
  bool held_;
};
