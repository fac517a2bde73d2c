#include "server/net/sync_lock.h"

void SetSyncLockName(SyncLock& lock, const char* name) { lock.name = name ? name : ""; }

bool AcquireSyncLock(SyncLock& lock) {
  lock.local.lock();
  if (lock.name.empty()) return true;
  // The named form: the first acquisition of the holding thread takes the file lock;
  // nested ones only count (a Windows mutex is recursive for its owner too).
  if (lock.depth == 0 && !AcquireNamedLock(lock.named, lock.name, 0xFFFFFFFFu)) {
    lock.local.unlock();
    return false;
  }
  ++lock.depth;
  return true;
}

void ReleaseSyncLock(SyncLock& lock) {
  if (!lock.name.empty() && --lock.depth == 0) lock.named.release();
  lock.local.unlock();
}
