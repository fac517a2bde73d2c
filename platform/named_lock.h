// Named locks ("Corvel-MailboxAccess-%s"). With a registry file they are an flock
// on a file in <home>/locks/, opened per acquisition, so they exclude threads of
// one process and other processes alike. With a registry database they are the
// database's advisory locks, so they exclude every node that shares it, and a
// node that dies releases its locks with its connection. Unnamed locks are
// std::mutex.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/files.h"

// A held named lock; released when destroyed.
struct NamedLock {
  UniqueFd fd;                // the lock file's flock (registry file)
  uint64_t advisoryKey = 0;   // the advisory lock's number (registry database); 0: none

  NamedLock() = default;
  NamedLock(NamedLock&& o) noexcept
      : fd(std::move(o.fd)), advisoryKey(std::exchange(o.advisoryKey, 0)) {}
  NamedLock& operator=(NamedLock&& o) noexcept {
    if (this != &o) {
      release();
      fd = std::move(o.fd);
      advisoryKey = std::exchange(o.advisoryKey, 0);
    }
    return *this;
  }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  ~NamedLock() { release(); }
  bool held() const { return fd.valid() || advisoryKey != 0; }
  void release();
};

// Waits up to `timeoutMs` (0 = try once; 0xFFFFFFFF = forever) for the lock called
// `name`. Characters of the name that cannot appear in a file name are replaced;
// the database's lock is the name folded to lower case. Returns true with the
// lock held in `lock`; false with LastWinError 1460 on a time-out, 53 when the
// registry database is out of reach.
bool AcquireNamedLock(NamedLock& lock, const std::string& name, uint32_t timeoutMs);
// True while the named locks are the registry database's: other nodes take them
// too.
bool NamedLocksSpanNodes();
