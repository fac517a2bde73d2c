#include "platform/instance.h"

#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "platform/tick.h"

namespace {

constexpr const char* kPidFileName = "corvel95.pid";
// The running copy writes its pid right after taking the lock; a second copy
// that finds the file still empty looks again for this long.
constexpr uint32_t kPidReadPatienceMs = 2000;
constexpr uint32_t kPidReadPollMs = 10;

// The pid written in the file, 0 when it holds none (yet).
pid_t ReadPid(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) return 0;
  char* end = nullptr;
  long pid = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || pid <= 0) return 0;
  return pid_t(pid);
}

}  // namespace

InstanceClaim ClaimSingleInstance(const std::string& home, UniqueFd& held, std::string& why) {
  std::string dir = home.empty() ? "./" : home;
  if (dir.back() != '/') dir += '/';
  if (!DirectoryExists(dir) && !MakeDirectories(dir)) {
    why = "Unable to create the home directory '" + dir + "': error " +
          std::to_string(LastWinError());
    return InstanceClaim::kError;
  }
  std::string path = dir + kPidFileName;

  int err = 0;
  // No O_TRUNC here: a refused claimant must not empty the running copy's file
  // (OpenExclusive truncates only once the lock is ours anyway).
  UniqueFd fd = OpenExclusive(path, O_RDWR | O_CREAT, 0644, &err);
  if (fd.valid()) {
    // The lock is ours; a file left behind by a copy that died is simply taken over.
    std::string pid = std::to_string(long(::getpid())) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) !=
                                             ssize_t(pid.size())) {
      why = "Unable to write the pid file '" + path + "': " + std::strerror(errno);
      return InstanceClaim::kError;
    }
    held = std::move(fd);
    return InstanceClaim::kFirst;
  }
  if (err != kErrSharingViolation) {
    why = "Unable to open the pid file '" + path + "': error " + std::to_string(err);
    return InstanceClaim::kError;
  }

  // Another copy holds the lock: tell it to come forward.
  pid_t other = 0;
  uint32_t start = GetTickCount32();
  while ((other = ReadPid(path)) == 0 &&
         TickElapsed(GetTickCount32(), start) < kPidReadPatienceMs)
    SleepMs(kPidReadPollMs);
  if (other > 0 && other != ::getpid()) ::kill(other, SIGUSR1);
  return InstanceClaim::kOtherRunning;
}
