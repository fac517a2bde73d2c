// Giving up root after start-up.
#include "platform/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

bool RunningAsRoot() { return geteuid() == 0; }

bool LookUpSystemUser(const std::string& user, uid_t& uid, gid_t& gid) {
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
    return false;
  uid = found->pw_uid;
  gid = found->pw_gid;
  return true;
}

timespec RealTimeNow() {
  // File times come from the coarse clock, which may lag the fine one by a tick:
  // the coarse clock less a margin is never after a file made from now on.
  constexpr long kMarginNs = 20 * 1000 * 1000;
  timespec t{};
  clock_gettime(CLOCK_REALTIME_COARSE, &t);
  if (t.tv_nsec >= kMarginNs) {
    t.tv_nsec -= kMarginNs;
  } else {
    t.tv_sec -= 1;
    t.tv_nsec += 1000000000L - kMarginNs;
  }
  return t;
}

namespace {

bool NotBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// False when `path` belongs to someone else and is not ours to adopt.
bool OwnedOrAdopted(const std::string& path, uid_t uid, gid_t gid, const timespec& adoptAfter) {
  struct statx sx{};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_UID | STATX_BTIME | STATX_CTIME,
            &sx) != 0 ||
      sx.stx_uid == uid)
    return true;
  // Made by this process: its birth time where the file system keeps one (a write
  // to an older file must not pass for that), else its status change time.
  const statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
  timespec made{time_t(t.tv_sec), long(t.tv_nsec)};
  if (sx.stx_uid == 0 && NotBefore(made, adoptAfter)) return lchown(path.c_str(), uid, gid) == 0;
  return false;
}

}  // namespace

std::string FindFileNotOwnedBy(const std::string& dir, uid_t uid, const timespec& adoptAfter) {
  namespace fs = std::filesystem;
  struct stat home{};
  gid_t gid = lstat(dir.c_str(), &home) == 0 ? home.st_gid : 0;
  passwd pw{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found)
    gid = found->pw_gid;
  if (!OwnedOrAdopted(dir, uid, gid, adoptAfter)) return dir;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    if (!OwnedOrAdopted(it->path().string(), uid, gid, adoptAfter)) return it->path().string();
  }
  return "";
}

bool SwitchToUser(uid_t uid, gid_t gid, std::string& why) {
  if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
    why = std::string("Unable to switch to the mail user: ") + strerror(errno);
    return false;
  }
  // Never back: a process that could regain root has not given it up.
  if (setuid(0) == 0) {
    why = "Unable to give up root for good.";
    return false;
  }
  return true;
}
