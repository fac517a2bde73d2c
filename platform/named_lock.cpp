#include "platform/named_lock.h"

#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <functional>

#include "platform/errors.h"
#include "platform/home.h"
#include "platform/registry_store.h"
#include "platform/tick.h"

namespace {

constexpr const char* kLockDirectory = "locks/";
constexpr const char* kLockSuffix = ".lock";
constexpr uint32_t kPollMs = 10;
constexpr uint32_t kForever = 0xFFFFFFFFu;
// File names are at most 255 bytes; longer lock names keep a head and a hash.
constexpr size_t kMaxNameBytes = 200;

bool SafeInFileName(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '_' || c == '.' || c == '@' || c == '+';
}

// Lock file name for `name`. Two names that differ only in replaced characters
// share a file: that excludes more than asked, never less.
std::string LockFileName(const std::string& name) {
  std::string out;
  for (char c : name) out += SafeInFileName(c) ? c : '_';
  if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
  if (out.size() > kMaxNameBytes) {
    char hash[24];
    snprintf(hash, sizeof hash, "-%016zx", std::hash<std::string>{}(name));
    out = out.substr(0, kMaxNameBytes) + hash;
  }
  return out + kLockSuffix;
}

// The database's advisory lock, polled like the file's.
bool AcquireDatabaseLock(NamedLock& lock, const std::string& name, uint32_t timeoutMs) {
  uint64_t key = RegDatabaseLockKey(name);
  uint32_t start = GetTickCount32();
  for (;;) {
    switch (RegTryDatabaseLock(key, name)) {
      case RegLockTry::kTaken:
        lock.advisoryKey = key;
        return true;
      case RegLockTry::kFailed:
        return false;
      case RegLockTry::kBusy:
        break;
    }
    if (timeoutMs != kForever && TickElapsed(GetTickCount32(), start) >= timeoutMs) {
      SetLastWinError(kErrTimeout);
      return false;
    }
    SleepMs(kPollMs);
  }
}

}  // namespace

void NamedLock::release() {
  fd.reset();
  if (advisoryKey) RegReleaseDatabaseLock(std::exchange(advisoryKey, 0));
}

bool NamedLocksSpanNodes() { return RegNamedLocksInDatabase(); }

bool AcquireNamedLock(NamedLock& lock, const std::string& name, uint32_t timeoutMs) {
  lock.release();
  if (RegNamedLocksInDatabase()) return AcquireDatabaseLock(lock, name, timeoutMs);
  std::string dir = HomeDirectory() + kLockDirectory;
  if (!DirectoryExists(dir) && !MakeDirectories(dir)) return false;
  std::string path = dir + LockFileName(name);

  uint32_t start = GetTickCount32();
  for (;;) {
    // A fresh open file description per attempt: flock locks belong to it, so
    // two holders inside this process exclude each other as well.
    int err = 0;
    UniqueFd fd = OpenExclusive(path, O_RDWR | O_CREAT, 0644, &err);
    if (fd.valid()) {
      lock.fd = std::move(fd);
      return true;
    }
    if (err != kErrSharingViolation) return false;
    if (timeoutMs != kForever && TickElapsed(GetTickCount32(), start) >= timeoutMs) {
      SetLastWinError(kErrTimeout);
      return false;
    }
    SleepMs(kPollMs);
  }
}
