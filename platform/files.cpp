#include "platform/files.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/errors.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

void Report(int* winErr, int err) {
  SetLastWinError(err);
  if (winErr) *winErr = err;
}

UniqueFd OpenWithLock(const std::string& path, int flags, int mode, int* winErr, bool lock) {
  // O_TRUNC waits until the lock is ours: truncating first would wipe the content
  // of a file that another holder has open "without sharing".
  bool truncate = lock && (flags & O_TRUNC);
  if (truncate) flags &= ~O_TRUNC;
  int raw;
  do {
    raw = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    Report(winErr, WinErrorFromErrno(errno));
    return UniqueFd();
  }
  UniqueFd fd(raw);
  if (lock) {
    int rc;
    do {
      rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      Report(winErr, errno == EWOULDBLOCK ? int(kErrSharingViolation) : WinErrorFromErrno(errno));
      return UniqueFd();
    }
    if (truncate && ::ftruncate(fd.get(), 0) != 0) {
      Report(winErr, WinErrorFromErrno(errno));
      return UniqueFd();
    }
  }
  Report(winErr, kErrSuccess);
  return fd;
}

bool IsSlash(char c) { return c == '/' || c == '\\'; }

// Windows-style wildcard match ('*' any run, '?' one character), without regard
// to case, as the directory searches of the server have always matched.
bool MatchesPattern(const char* pat, const char* name) {
  const char* starPat = nullptr;
  const char* starName = nullptr;
  while (*name) {
    if (*pat == '*') {
      starPat = ++pat;
      starName = name;
    } else if (*pat == '?' ||
               (*pat && std::tolower((unsigned char)*pat) == std::tolower((unsigned char)*name))) {
      ++pat;
      ++name;
    } else if (starPat) {
      pat = starPat;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == 0;
}

}  // namespace

UniqueFd OpenExclusive(const std::string& path, int flags, int mode, int* winErr) {
  return OpenWithLock(path, flags, mode, winErr, true);
}

UniqueFd OpenShared(const std::string& path, int flags, int mode, int* winErr) {
  return OpenWithLock(path, flags, mode, winErr, false);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  long rc = ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                      RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without RENAME_NOREPLACE: link + unlink is just as exclusive
    // (link never replaces), at the cost of a moment with two names.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      rc = 0;
    } else {
      rc = -1;
    }
  }
  int err = rc == 0 ? 0 : (errno == EEXIST ? int(kErrAlreadyExists) : WinErrorFromErrno(errno));
  SetLastWinError(err);
  return err;
}

int RenameReplace(const std::string& from, const std::string& to) {
  int err = ::rename(from.c_str(), to.c_str()) == 0 ? 0 : WinErrorFromErrno(errno);
  SetLastWinError(err);
  return err;
}

bool SyncFile(int fd) { return ::fsync(fd) == 0; }

bool GetFileModifiedTime(int fd, FileTime& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  out.seconds = st.st_mtim.tv_sec;
  out.nanoseconds = st.st_mtim.tv_nsec;
  return true;
}

bool GetFileModifiedTime(const std::string& path, FileTime& out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  out.seconds = st.st_mtim.tv_sec;
  out.nanoseconds = st.st_mtim.tv_nsec;
  return true;
}

bool SetFileModifiedTime(int fd, const FileTime& time) {
  timespec times[2];
  times[0].tv_sec = time_t(time.seconds);
  times[0].tv_nsec = time.nanoseconds;
  times[1] = times[0];
  return ::futimens(fd, times) == 0;
}

bool SyncFileData(int fd) { return ::fdatasync(fd) == 0; }

bool SyncDirectory(const std::string& dir) {
  UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  return ::fsync(fd.get()) == 0;
}

bool SyncParentDirectory(const std::string& path) {
  std::string dir = PathDirectory(path);
  UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  return ::fsync(fd.get()) == 0;
}

bool WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastWinError(WinErrorFromErrno(errno));
      return false;
    }
    if (n == 0) {
      SetLastWinError(kErrWriteFault);
      return false;
    }
    p += n;
    len -= size_t(n);
  }
  return true;
}

long ReadSome(int fd, void* data, size_t len) {
  for (;;) {
    ssize_t n = ::read(fd, data, len);
    if (n >= 0) return long(n);
    if (errno == EINTR) continue;
    SetLastWinError(WinErrorFromErrno(errno));
    return -1;
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long long FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return (long long)st.st_size;
}

int DeleteFileWin(const std::string& path) {
  int err = ::unlink(path.c_str()) == 0 ? 0 : WinErrorFromErrno(errno);
  SetLastWinError(err);
  return err;
}

bool MakeDirectories(const std::string& path, int mode, std::string* why) {
  if (path.empty()) {
    if (why) *why = "no directory given";
    return false;
  }
  std::string partial;
  partial.reserve(path.size());
  // The directory itself is the path without its trailing slashes.
  size_t last = path.find_last_not_of('/');
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      bool leaf = last != std::string::npos && i > last;
      if (!partial.empty() && partial.back() != '/' &&
          ::mkdir(partial.c_str(), mode_t(leaf ? mode : 0755)) != 0 && errno != EEXIST) {
        int err = errno;
        SetLastWinError(WinErrorFromErrno(err));
        if (why) *why = "cannot create the directory " + partial + ": " + std::strerror(err);
        return false;
      }
    }
    if (i < path.size()) partial += path[i];
  }
  if (!DirectoryExists(path)) {
    if (why) *why = path + " exists and is not a directory";
    return false;
  }
  return true;
}

int FilePermissions(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetLastWinError(WinErrorFromErrno(errno));
    return -1;
  }
  return int(st.st_mode & 07777);
}

bool CreatePrivateFile(const std::string& path, int mode, std::string* why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode_t(mode));
  // The umask may have taken bits away; it never adds any, but a mode asked
  // for is the mode wanted.
  if (fd >= 0 && ::fchmod(fd, mode_t(mode)) == 0) {
    ::close(fd);
    return true;
  }
  int err = errno;
  if (fd >= 0) ::close(fd);
  SetLastWinError(WinErrorFromErrno(err));
  if (why) *why = "cannot create " + path + ": " + std::strerror(err);
  return false;
}

namespace {

// Calls `visit(name, type)` for each entry of `dir` matching `pattern`, "." and
// ".." left out (type is the dirent type, DT_UNKNOWN when the file system does not
// say). False with the Windows error set when the directory cannot be read.
template <typename Visit>
bool ForEachMatchingEntry(const std::string& dir, const std::string& pattern, Visit visit) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) {
    SetLastWinError(WinErrorFromErrno(errno));
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0)))
      continue;
    if (MatchesPattern(pattern.c_str(), e->d_name)) visit(e->d_name, e->d_type);
  }
  ::closedir(d);
  return true;
}

}  // namespace

std::vector<std::string> ListFiles(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  std::string base = dir;
  if (!base.empty() && base.back() != '/') base += '/';
  ForEachMatchingEntry(dir, pattern, [&](const char* name, unsigned char type) {
    bool regular = type == DT_REG;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat st;
      regular = ::stat((base + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (regular) names.emplace_back(name);
  });
  std::sort(names.begin(), names.end());
  return names;
}

bool ListDirectory(const std::string& dir, const std::string& pattern,
                   std::vector<DirectoryEntry>& out, int* winErr) {
  out.clear();
  std::string base = dir;
  if (!base.empty() && base.back() != '/') base += '/';
  bool ok = ForEachMatchingEntry(dir, pattern, [&](const char* name, unsigned char) {
    struct stat st;
    if (::stat((base + name).c_str(), &st) != 0) return;  // a dangling link
    DirectoryEntry e;
    e.name = name;
    e.isDirectory = S_ISDIR(st.st_mode);
    e.isRegular = S_ISREG(st.st_mode);
    e.size = static_cast<long long>(st.st_size);
    e.modified = static_cast<int64_t>(st.st_mtime);
    out.push_back(std::move(e));
  });
  if (!ok && winErr) *winErr = LastWinError();
  std::sort(out.begin(), out.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return ok;
}

bool ResolveRealPath(const std::string& path, std::string& out) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) {
    SetLastWinError(WinErrorFromErrno(errno));
    return false;
  }
  out = real;
  ::free(real);
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    SetLastWinError(WinErrorFromErrno(errno));
    return false;
  }
  char buf[65536];
  for (;;) {
    long n = ReadSome(fd.get(), buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, size_t(n));
  }
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out) {
  out.clear();
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    SetLastWinError(WinErrorFromErrno(errno));
    return false;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastWinError(kErrAccessDenied);
    return false;
  }
  char buf[16384];
  while (out.size() < maxBytes) {
    long n = ReadSome(fd.get(), buf, std::min(sizeof buf, maxBytes - out.size()));
    if (n < 0) return false;
    if (n == 0) break;
    out.append(buf, size_t(n));
  }
  return true;
}

std::string PathFileName(const std::string& path) {
  size_t i = path.size();
  while (i > 0 && !IsSlash(path[i - 1])) --i;
  return path.substr(i);
}

std::string PathDirectory(const std::string& path) {
  size_t i = path.size();
  while (i > 0 && !IsSlash(path[i - 1])) --i;
  return path.substr(0, i);
}
