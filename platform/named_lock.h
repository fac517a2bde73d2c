// Named locks ("Corvel-MailboxAccess-%s"): an flock on a file in <home>/locks/,
// opened per acquisition, so they exclude threads of one process and other
// processes alike. Unnamed locks are std::mutex.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

// A held named lock; released when destroyed.
struct NamedLock {
  UniqueFd fd;
  bool held() const { return fd.valid(); }
  void release() { fd.reset(); }
};

// Waits up to `timeoutMs` (0 = try once; 0xFFFFFFFF = forever) for the lock called
// `name`. Characters of the name that cannot appear in a file name are replaced.
// Returns true with the lock held in `lock`.
bool AcquireNamedLock(NamedLock& lock, const std::string& name, uint32_t timeoutMs);
