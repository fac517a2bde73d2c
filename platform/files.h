// Files: the stand-ins for the Windows file calls the server relies on. Opens
// "without sharing" take a non-blocking flock on the opened file, so every such
// opener in this process or another excludes the others (error 32); renames that
// must not replace their target use renameat2(RENAME_NOREPLACE) (error 183).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One owned file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes explicitly and reports the result (a promised file is closed this way).
  bool close_checked() {
    if (fd_ < 0) return true;
    int rc = ::close(std::exchange(fd_, -1));
    return rc == 0;
  }

 private:
  int fd_;
};

// Opens `path` with open(2) `flags` and `mode`, then takes the exclusive flock that
// stands for "no sharing". On failure returns an invalid handle and sets *winErr
// (2 not found, 32 held by someone else, ...); a null winErr is allowed.
UniqueFd OpenExclusive(const std::string& path, int flags, int mode = 0644, int* winErr = nullptr);

// Opens with sharing (no lock). Same error rule.
UniqueFd OpenShared(const std::string& path, int flags, int mode = 0644, int* winErr = nullptr);

// Renames without replacing an existing target. Returns 0 or the Windows error
// (183 when the target exists, 2 when the source is gone, ...).
int RenameNoReplace(const std::string& from, const std::string& to);

// Renames, replacing the target. Returns 0 or the Windows error.
int RenameReplace(const std::string& from, const std::string& to);

// Flushes a file's data to stable storage. False on failure.
bool SyncFile(int fd);
// Flushes a file's data and what is needed to read them back (its size), not its
// times: enough for a file nobody reads by its times. False on failure.
bool SyncFileData(int fd);
// Flushes the directory `dir` itself (its entries). False on failure.
bool SyncDirectory(const std::string& dir);
// Flushes the directory that holds `path` (after a rename or create in it).
bool SyncParentDirectory(const std::string& path);

// Writes all of `len` bytes (retrying short writes and EINTR). False on failure.
bool WriteAll(int fd, const void* data, size_t len);
// Reads up to `len` bytes (retrying EINTR); returns the count, 0 at end, -1 on error.
long ReadSome(int fd, void* data, size_t len);

// A file's last-modification time (seconds and nanoseconds since the epoch).
// Spool files carry the time their message was first taken this way: copies and
// in-place marks keep it, so a message's age survives being requeued.
struct FileTime {
  int64_t seconds = 0;
  long nanoseconds = 0;
};
bool GetFileModifiedTime(int fd, FileTime& out);
bool GetFileModifiedTime(const std::string& path, FileTime& out);
// Sets the modification (and access) time of the open file. False on failure.
bool SetFileModifiedTime(int fd, const FileTime& time);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Size of the file, -1 when it cannot be seen.
long long FileSize(const std::string& path);
// Deletes a file. Returns 0 or the Windows error.
int DeleteFileWin(const std::string& path);
// Creates a directory and its parents. The directory itself gets `mode` when it
// is made (its parents 0755; existing ones are left as they are). False on
// failure, with `why` (optional) naming the directory and the reason.
bool MakeDirectories(const std::string& path, int mode = 0755, std::string* why = nullptr);
// The permission bits of `path` (st_mode & 07777), -1 when it cannot be seen.
int FilePermissions(const std::string& path);
// Creates `path` (which must not exist) empty with exactly `mode`, whatever the
// umask. False when it exists (error 80) or cannot be made, with `why`
// (optional) naming the file and the reason.
bool CreatePrivateFile(const std::string& path, int mode, std::string* why = nullptr);

// Names of the entries of `dir` that match a Windows-style pattern ("*.wrm",
// "*.in"); the extension is compared without regard to case. Sorted by name.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& pattern);

// One entry of a directory listing (symbolic links followed).
struct DirectoryEntry {
  std::string name;
  bool isDirectory = false;
  bool isRegular = false;
  long long size = 0;
  int64_t modified = 0;  // seconds since 1970
};
// The entries of `dir` (files, directories, anything a link leads to; dangling
// links left out) whose names match `pattern` by ListFiles' rule, sorted by name.
// False with `winErr` (optional) when the directory cannot be read.
bool ListDirectory(const std::string& dir, const std::string& pattern,
                   std::vector<DirectoryEntry>& out, int* winErr = nullptr);
// `path` with every symbolic link, "." and ".." resolved. False when it does not
// exist (LastWinError tells why).
bool ResolveRealPath(const std::string& path, std::string& out);

// Reads a whole file into `out`. False when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);
// Reads at most `maxBytes` of a regular file named by a peer or an operator (a
// finger file, say). A FIFO, device or directory is refused (error 5) without
// blocking, so a name can never stall the reader. False when it cannot be read.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out);

// Path helpers: the part after the last '/' or '\' (whichever is later), and the
// part up to and including it.
std::string PathFileName(const std::string& path);
std::string PathDirectory(const std::string& path);
