#include "server/spool/spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/spool/text.h"

namespace {

// A producer that keeps losing the race for names would otherwise spin for ever
// on a directory that cannot take files; a real directory never needs this many.
constexpr int kMaxNameProbes = 1 << 20;
constexpr int kMaxCommitRounds = 1000;
// The outgoing reader reads files of any length but refuses envelopes larger
// than this (a file that size is no envelope).
constexpr size_t kOutgoingEnvelopeCap = 8u << 20;

bool IsRaceError(int err) {
  return err == kErrFileExists || err == kErrAlreadyExists || err == kErrSharingViolation;
}

const std::string& ChooseDir(bool incoming, const std::string& in, const std::string& out) {
  return incoming ? in : out;
}

using spool_text::IsBlank;
using spool_text::StartsWithNoCase;

std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

// One envelope line: the text without its end, and where the next line starts.
// Lines end at CR (optionally followed by LF); a bare LF ends a line too, so an
// address can never carry a line feed into the envelopes we write from it.
struct EnvelopeLine {
  std::string_view text;
  size_t next = 0;
  bool complete = false;  // a line end was seen (or the data ended with `atEnd`)
};

EnvelopeLine NextLine(std::string_view data, size_t pos, bool atEnd) {
  EnvelopeLine line;
  size_t end = pos;
  while (end < data.size() && data[end] != '\r' && data[end] != '\n') ++end;
  line.text = data.substr(pos, end - pos);
  if (end == data.size()) {
    line.complete = atEnd && end > pos;
    line.next = end;
    return line;
  }
  if (data[end] == '\r') {
    if (end + 1 < data.size()) {
      line.next = end + (data[end + 1] == '\n' ? 2 : 1);
    } else if (atEnd) {
      line.next = end + 1;
    } else {
      return line;  // the LF that may follow is not read yet
    }
  } else {
    line.next = end + 1;
  }
  line.complete = true;
  return line;
}

// The address after the first word of a line and the blanks after it.
std::string_view ValueAfterFirstWord(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && !IsBlank(line[i])) ++i;
  return SkipBlanks(line.substr(i));
}

// Reads up to `size` bytes at `offset` (short only at the end of the file).
bool ReadAt(int fd, long long offset, std::string& out, size_t size) {
  out.resize(size);
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::pread(fd, out.data() + got, size - got, off_t(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  out.resize(got);
  return true;
}

// ---- Names and the directory flush shared by concurrent commits --------------------

// What the process remembers about one spool directory: the last number it
// handed out, so that the next name is found in one probe even when names are
// taken faster than the tick counter advances, and the state of the group
// flush of the directory.
// One flush shared by concurrent callers: whoever finds none running flushes for
// every caller announced so far, the others wait for it. Waiters of flush number
// g wait on flushed[g % 2]: the end of a flush wakes exactly the callers it
// covers, and one of those that came too late for it to lead the next.
struct FlushGroup {
  std::mutex mutex;
  std::condition_variable flushed[2];
  uint64_t announced = 0;  // callers so far (each takes a ticket)
  uint64_t durable = 0;    // every ticket up to this one is covered by a finished flush
  uint64_t failures = 0;   // flushes that failed so far
  bool flushing = false;   // a leader is flushing now
  uint64_t flushNumber = 0;  // the flush running or last run
  uint64_t flushCovers = 0;  // the tickets the running flush covers
  std::vector<int> files;    // descriptors of the tickets no flush has taken yet
};

struct SpoolDirState {
  std::atomic<uint32_t> lastNumber{0};
  FlushGroup entries;  // the directory's flush after renames
  FlushGroup data;     // the data of files about to be committed
  std::mutex spareMutex;
  std::vector<std::string> spares;  // empty files ready to become temporaries
  std::string dir;
  std::mutex leaseMutex;
  std::atomic<uint32_t> leaseEnd{0};  // numbers below this one are leased to us
};

std::mutex gDirStatesMutex;
std::map<std::string, std::unique_ptr<SpoolDirState>>& DirStates() {
  static std::map<std::string, std::unique_ptr<SpoolDirState>> states;
  return states;
}

SpoolDirState& DirState(const std::string& dir) {
  std::lock_guard<std::mutex> lock(gDirStatesMutex);
  std::unique_ptr<SpoolDirState>& slot = DirStates()[dir];
  if (!slot) {
    slot = std::make_unique<SpoolDirState>();
    slot->lastNumber.store(GetTickCount32() - 1);
    slot->leaseEnd.store(slot->lastNumber.load());  // the first number takes a lease
    slot->dir = dir;
  }
  return *slot;
}

bool IsAfter(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }

// Numbers are leased in blocks, and the end of the lease is kept in a small file
// of the directory (not flushed: it only has to outlive a process, not the
// machine). A process started after a crash, or a second process using the same
// directory, goes on above every number handed out before it, so within one boot
// no name is ever given twice; the router's delivery notes rely on that, since a
// spare file brings its old inode back under a new name.
constexpr uint32_t kNumberLease = 4096;

// Takes a lease that covers `wanted`; returns the first number of it (above
// `wanted` when another process holds numbers beyond it).
uint32_t TakeLease(SpoolDirState& st, uint32_t wanted) {
  std::lock_guard<std::mutex> lock(st.leaseMutex);
  if (IsAfter(st.leaseEnd.load(), wanted)) return wanted;  // extended meanwhile
  uint32_t base = wanted;
  UniqueFd fd(::open((st.dir + kSpoolLeaseFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.valid() && ::flock(fd.get(), LOCK_EX) == 0) {
    char text[16] = {};
    ssize_t n = ::pread(fd.get(), text, 8, 0);
    char* end = nullptr;
    unsigned long stored = n == 8 ? std::strtoul(text, &end, 16) : 0;
    if (n == 8 && end == text + 8 && IsAfter(uint32_t(stored), base)) base = uint32_t(stored);
    std::snprintf(text, sizeof text, "%08lx\n", (unsigned long)(base + kNumberLease));
    if (::pwrite(fd.get(), text, 9, 0) != 9) base = wanted;  // unleased: as before
  }
  st.leaseEnd.store(base + kNumberLease);
  return base;
}

// The next candidate number: the tick count while names are taken more slowly
// than it advances, else one past the last number handed out (compared modulo
// 2^32, since the counter wraps); never one given before in this boot.
uint32_t NextSpoolNumber(SpoolDirState& st) {
  uint32_t last = st.lastNumber.load(std::memory_order_relaxed);
  for (;;) {
    uint32_t tick = GetTickCount32();
    uint32_t next = IsAfter(tick, last + 1) ? tick : last + 1;
    if (!IsAfter(st.leaseEnd.load(), next)) {
      uint32_t base = TakeLease(st, next);
      if (base != next) {
        // Another process used numbers up to `base`: move past them.
        uint32_t seen = last;
        while (IsAfter(base - 1, seen) &&
               !st.lastNumber.compare_exchange_weak(seen, base - 1, std::memory_order_relaxed)) {
        }
        last = st.lastNumber.load(std::memory_order_relaxed);
        continue;
      }
    }
    if (st.lastNumber.compare_exchange_weak(last, next, std::memory_order_relaxed)) return next;
  }
}

std::atomic<SpoolDirectorySyncHook> gDirSyncHook{nullptr};

bool FlushDirectory(const std::string& dir) {
  SpoolDirectorySyncHook hook = gDirSyncHook.load();
  return hook ? hook(dir) : SyncDirectory(dir);
}

// Returns once a flush of `group` that began after the caller joined has ended:
// true when it succeeded (and no flush failed meanwhile). `file` (-1 for none) is
// handed to the flush that covers the caller; `flush(files)` flushes for all the
// callers it covers and reports success.
template <typename Flush>
bool JoinGroupFlush(FlushGroup& g, int file, Flush&& flush) {
  std::unique_lock<std::mutex> lock(g.mutex);
  uint64_t ticket = ++g.announced;
  if (file >= 0) g.files.push_back(file);
  uint64_t failuresBefore = g.failures;
  for (;;) {
    // A failed flush leaves the state unknown: everyone waiting at that time
    // reports failure, even if a later flush went through.
    if (g.failures != failuresBefore) return false;
    if (g.durable >= ticket) return true;
    if (g.flushing) {
      // Covered by the running flush, or else by the next one.
      uint64_t mine = ticket <= g.flushCovers ? g.flushNumber : g.flushNumber + 1;
      g.flushed[mine % 2].wait(lock);
      continue;
    }
    // Lead: every ticket handed out so far joined before this flush starts.
    uint64_t number = ++g.flushNumber;
    g.flushCovers = g.announced;
    g.flushing = true;
    std::vector<int> files;
    files.swap(g.files);
    lock.unlock();
    bool ok = flush(files);
    lock.lock();
    g.flushing = false;
    if (ok) {
      g.durable = std::max(g.durable, g.flushCovers);
      g.flushed[number % 2].notify_all();
      // Joined too late for this flush: one of them leads the next.
      if (g.announced > g.flushCovers) g.flushed[(number + 1) % 2].notify_one();
    } else {
      ++g.failures;
      g.flushed[0].notify_all();
      g.flushed[1].notify_all();
    }
  }
}

// Returns once a flush of `dir` that began after the caller's rename has ended:
// true when it succeeded (and no flush failed meanwhile), so the new entry is on
// stable storage.
bool FlushAfterRename(const std::string& dir) {
  return JoinGroupFlush(DirState(dir).entries, -1,
                        [&](const std::vector<int>&) { return FlushDirectory(dir); });
}

// Flushes the data of every file in `files`: all of them are sent on their way
// first, so that the file system takes their blocks in one journal commit, which
// the first flush makes and the others find done.
bool SyncFilesData(const std::vector<int>& files) {
  if (files.size() > 1)
    for (int fd : files) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  bool ok = true;
  for (int fd : files) ok = SyncFileData(fd) && ok;
  return ok;
}

}  // namespace

void SetSpoolDirectorySyncHook(SpoolDirectorySyncHook hook) { gDirSyncHook.store(hook); }

bool SyncSpoolData(int fd, bool incoming, const std::string& incomingDir,
                   const std::string& outgoingDir) {
  if (fd < 0) return false;
  const std::string& dir = ChooseDir(incoming, incomingDir, outgoingDir);
  return JoinGroupFlush(DirState(dir).data, fd, SyncFilesData);
}

std::string FormatSpoolName(const std::string& dir, uint32_t number, const char* extension) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08lx", (unsigned long)number);
  return dir + digits + extension;
}

// ---- File primitives ---------------------------------------------------------------

UniqueFd SpoolOpenRead(const std::string& path, int* winErr) {
  return OpenExclusive(path, O_RDONLY, 0, winErr);
}

UniqueFd SpoolOpenUpdate(const std::string& path, int* winErr) {
  return OpenExclusive(path, O_RDWR, 0, winErr);
}

UniqueFd SpoolOpenWrite(const std::string& path, bool create, bool shareRead, int* winErr) {
  int flags = O_WRONLY | (create ? O_CREAT | O_TRUNC : 0);
  UniqueFd fd = shareRead ? OpenShared(path, flags, 0600, winErr)
                          : OpenExclusive(path, flags, 0600, winErr);
  if (fd.valid() && !create && ::lseek(fd.get(), 0, SEEK_END) < 0) {
    if (winErr) *winErr = kErrGenFailure;
    return UniqueFd();
  }
  return fd;
}

bool SpoolExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool SpoolWrite(int fd, const void* bytes, size_t length, bool addCrlf) {
  if (!WriteAll(fd, bytes, length)) return false;
  return !addCrlf || WriteAll(fd, "\r\n", 2);
}

bool SpoolWrite(int fd, std::string_view text, bool addCrlf) {
  return SpoolWrite(fd, text.data(), text.size(), addCrlf);
}

bool SpoolRead(int fd, void* buffer, size_t size, size_t& got) {
  long n = ReadSome(fd, buffer, size);
  got = n > 0 ? size_t(n) : 0;
  return n >= 0;
}

bool SpoolSeek(int fd, long long offset, int origin, long long* newPos) {
  off_t pos = ::lseek(fd, off_t(offset), origin);
  if (pos < 0) return false;
  if (newPos) *newPos = pos;
  return true;
}

bool SpoolClose(UniqueFd& fd) { return fd.close_checked(); }

bool SpoolDelete(const std::string& path) { return DeleteFileWin(path) == 0; }

bool DeleteSpoolFileLocked(const std::string& path, std::string& why) {
  int err = 0;
  UniqueFd fd = SpoolOpenUpdate(path, &err);
  std::string name = PathFileName(path);
  if (!fd.valid()) {
    why = err == kErrFileNotFound
              ? FormatText("The file %s is gone: it was sent, routed or deleted meanwhile.", name.c_str())
              : FormatText("The file %s is in use; try again in a moment.", name.c_str());
    return false;
  }
  if (!SpoolDelete(path)) {
    why = FormatText("Unable to delete the file %s.", name.c_str());
    return false;
  }
  return true;
}

// ---- Queue operations --------------------------------------------------------------

namespace {

bool TakeSpare(SpoolDirState& state, std::string& out) {
  std::lock_guard<std::mutex> lock(state.spareMutex);
  if (state.spares.empty()) return false;
  out = std::move(state.spares.back());
  state.spares.pop_back();
  return true;
}

// Makes a spare of `dir` the temporary `name`. The rename claims it (a spare
// that is gone was deleted by someone else); opened with truncation in case
// it was written to after it was emptied.
UniqueFd ReuseSpare(SpoolDirState& state, const std::string& name) {
  std::string spare;
  while (TakeSpare(state, spare)) {
    int rc = RenameNoReplace(spare, name);
    if (rc != 0) {
      if (rc == kErrFileExists || rc == kErrAlreadyExists) {
        // The name was taken meanwhile; the spare stays for the next producer.
        std::lock_guard<std::mutex> lock(state.spareMutex);
        state.spares.push_back(spare);
        return UniqueFd();
      }
      continue;
    }
    UniqueFd fd = OpenExclusive(name, O_WRONLY | O_TRUNC, 0600);
    if (fd.valid()) return fd;
    DeleteFileWin(name);  // held by another opener or unreadable: not ours to use
  }
  return UniqueFd();
}

}  // namespace

UniqueFd CreateSpoolTemp(std::string& pathOut, bool incoming, const std::string& incomingDir,
                         const std::string& outgoingDir, int* winErr) {
  const std::string& dir = ChooseDir(incoming, incomingDir, outgoingDir);
  SpoolDirState& state = DirState(dir);
  for (int probe = 0; probe < kMaxNameProbes; ++probe) {
    // No probe for an existing name first: numbers are leased, and the rename
    // and the create below both refuse a name that is taken.
    std::string name = FormatSpoolName(dir, NextSpoolNumber(state), kTempExtension);
    if (UniqueFd fd = ReuseSpare(state, name); fd.valid()) {
      pathOut = name;
      if (winErr) *winErr = 0;
      return fd;
    }
    // Create-new rather than create-always: a producer that probed the same
    // number a moment later must never truncate a temporary that its owner has
    // already closed and is about to commit.
    int err = 0;
    UniqueFd fd = OpenExclusive(name, O_WRONLY | O_CREAT | O_EXCL, 0600, &err);
    if (fd.valid()) {
      pathOut = name;
      if (winErr) *winErr = 0;
      return fd;
    }
    if (!IsRaceError(err)) {
      if (winErr) *winErr = err;
      return UniqueFd();
    }
  }
  if (winErr) *winErr = kErrFileExists;
  return UniqueFd();
}

std::string FreshSpoolName(const std::string& dir, const char* extension) {
  return FormatSpoolName(dir, NextSpoolNumber(DirState(dir)), extension);
}

bool RetireSpoolFile(const std::string& path) {
  return RetireSpoolFiles({path}).front() != 0;
}

std::vector<char> RetireSpoolFiles(const std::vector<std::string>& paths) {
  std::vector<char> gone(paths.size(), 0);
  // Renamed and emptied first, all of them; then one flush per directory makes
  // the spare names durable before any spare is handed out.
  struct Spare {
    size_t index;
    std::string dir, name;
    bool emptied;
  };
  std::vector<Spare> spares;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    std::string dir = PathDirectory(path);
    SpoolDirState& state = DirState(dir);
    bool room;
    {
      std::lock_guard<std::mutex> lock(state.spareMutex);
      room = state.spares.size() + spares.size() < kMaxSpareFiles;
    }
    bool renamed = false;
    for (int probe = 0; room && probe < kMaxNameProbes; ++probe) {
      std::string spare = FormatSpoolName(dir, NextSpoolNumber(state), kSpareExtension);
      int rc = RenameNoReplace(path, spare);
      if (rc == kErrFileExists || rc == kErrAlreadyExists) continue;
      if (rc != 0) break;
      // Renamed first, emptied after: a crash in between leaves a spare with
      // old content, which start-up empties, never an empty queue file.
      spares.push_back(Spare{i, dir, spare, ::truncate(spare.c_str(), 0) == 0});
      renamed = true;
      break;
    }
    if (!renamed) gone[i] = DeleteFileWin(path) == 0;
  }
  // A spare is handed out only once its new name is on stable storage:
  // otherwise, after a power loss, the old queue name could come back pointing
  // at the next message being written into the same file.
  std::vector<std::pair<std::string, bool>> flushed;
  for (Spare& sp : spares) {
    auto it = std::find_if(flushed.begin(), flushed.end(),
                           [&](const auto& f) { return f.first == sp.dir; });
    if (it == flushed.end()) {
      flushed.emplace_back(sp.dir, FlushAfterRename(sp.dir));
      it = flushed.end() - 1;
    }
    gone[sp.index] = 1;  // out of the queue either way
    SpoolDirState& state = DirState(sp.dir);
    bool keep = sp.emptied && it->second;
    if (keep) {
      std::lock_guard<std::mutex> lock(state.spareMutex);
      if (state.spares.size() < kMaxSpareFiles) {
        state.spares.push_back(sp.name);
        continue;
      }
    }
    DeleteFileWin(sp.name);
  }
  return gone;
}

int AdoptSpareFiles(const std::string& dir) {
  SpoolDirState& state = DirState(dir);
  int adopted = 0;
  for (const std::string& name : ListFiles(dir, std::string("*") + kSpareExtension)) {
    std::string path = dir + name;
    std::lock_guard<std::mutex> lock(state.spareMutex);
    if (std::find(state.spares.begin(), state.spares.end(), path) != state.spares.end()) continue;
    if (state.spares.size() < kMaxSpareFiles && ::truncate(path.c_str(), 0) == 0) {
      state.spares.push_back(path);
      ++adopted;
    } else {
      DeleteFileWin(path);
    }
  }
  // An earlier run may have died before the spare names reached the disk.
  if (adopted > 0 && !SyncDirectory(dir)) {
    std::lock_guard<std::mutex> lock(state.spareMutex);
    state.spares.clear();
    return 0;
  }
  return adopted;
}

size_t SpareFileCount(const std::string& dir) {
  SpoolDirState& state = DirState(dir);
  std::lock_guard<std::mutex> lock(state.spareMutex);
  return state.spares.size();
}

UniqueFd CreateSpoolTemp(std::string& pathOut, bool incoming) {
  const Settings& s = ServerSettings();
  return CreateSpoolTemp(pathOut, incoming, s.incomingDirectory, s.outgoingDirectory);
}

bool CommitSpoolFile(std::string& path, bool incoming, const std::string& incomingDir,
                     const std::string& outgoingDir, int* error, bool retry, bool dataFlushed) {
  if (error) *error = 0;
  // The data first: once the new name is visible the message is ours to deliver.
  if (!dataFlushed) {
    int err = 0;
    UniqueFd fd = OpenShared(path, O_RDONLY, 0, &err);
    if (!fd.valid()) {
      if (error) *error = err;
      return false;
    }
    // The file is new and read only through its name and length: its times
    // need not reach the disk, its data and size do.
    if (!SyncSpoolData(fd.get(), incoming, incomingDir, outgoingDir)) {
      if (error) *error = kErrWriteFault;
      return false;
    }
  }
  const std::string& dir = ChooseDir(incoming, incomingDir, outgoingDir);
  const char* ext = incoming ? kIncomingExtension : kOutgoingExtension;
  SpoolDirState& state = DirState(dir);
  for (int round = 0; round < kMaxCommitRounds; ++round) {
    std::string name = FormatSpoolName(dir, NextSpoolNumber(state), ext);
    // The first rename of a retrying commit goes straight ahead (numbers are
    // leased, so a taken name is rare and the rename refuses it); after a refusal,
    // and always without retries, taken names are skipped before renaming.
    for (int probe = 0; (!retry || round > 0) && SpoolExists(name) && probe < kMaxNameProbes;
         ++probe) {
      name = FormatSpoolName(dir, NextSpoolNumber(state), ext);
    }
    int rc = RenameNoReplace(path, name);
    if (rc == 0) {
      // Concurrent commits in this directory share the flush of its entries;
      // each returns only once a flush begun after its own rename has ended.
      if (!FlushAfterRename(dir)) {
        // Not durable: take the name back so that nobody delivers a message we
        // are about to report as not accepted.
        if (RenameNoReplace(name, path) != 0) path = name;
        if (error) *error = kErrWriteFault;
        return false;
      }
      path = name;
      if (error) *error = 0;
      return true;
    }
    if (error) *error = rc;
    if (!retry || !IsRaceError(rc)) return false;
  }
  return false;
}

bool CommitSpoolFile(std::string& path, bool incoming, int* error, bool retry) {
  const Settings& s = ServerSettings();
  return CommitSpoolFile(path, incoming, s.incomingDirectory, s.outgoingDirectory, error, retry);
}

bool CloseAndCommitSpoolFile(UniqueFd& fd, std::string& path, bool incoming,
                             const std::string& incomingDir, const std::string& outgoingDir,
                             std::string& why) {
  if (!SpoolClose(fd)) {
    why = "Unable to close spool file.";
    SpoolDelete(path);
    return false;
  }
  int err = 0;
  if (!CommitSpoolFile(path, incoming, incomingDir, outgoingDir, &err, true)) {
    why = "Unable to commit spool file (error " + std::to_string(err) + ").";
    SpoolDelete(path);
    return false;
  }
  return true;
}

// ---- Envelope readers --------------------------------------------------------------

bool ParseRouterEnvelope(std::string_view data, bool atEnd, long limitRecipients,
                         RouterEnvelope& out, std::string& why) {
  out = RouterEnvelope();
  if (data.size() > kRouterEnvelopeLimit) {
    data = data.substr(0, kRouterEnvelopeLimit);
    atEnd = false;
  }
  size_t limit = size_t(std::max(1L, limitRecipients));
  size_t pos = 0;
  bool first = true;
  while (true) {
    EnvelopeLine line = NextLine(data, pos, atEnd);
    if (!line.complete) {
      why = first ? "Envelope has no sender line." : "Envelope has no end within its first 32768 bytes.";
      return false;
    }
    // A NUL would cut the address short in every text we build from it.
    if (line.text.find('\0') != std::string_view::npos) {
      why = "Envelope holds a NUL byte.";
      return false;
    }
    if (first) {
      std::string_view t = line.text;
      if (!StartsWithNoCase(t, "From:") || t.size() < 6 || !IsBlank(t[5])) {
        why = "First line of envelope is not a From line.";
        return false;
      }
      std::string_view sender = SkipBlanks(t.substr(5));
      if (sender.empty()) {
        why = "From line of envelope is empty.";
        return false;
      }
      out.sender.assign(sender);
      first = false;
    } else if (line.text.empty()) {
      out.messageOffset = (long long)line.next;
      return true;
    } else if (IsEnvelopeOriginLine(line.text)) {
      out.submittedHere = true;
    } else if (line.text[0] == 'T') {
      if (out.recipients.size() < limit) {
        EnvelopeRecipient r;
        r.address.assign(ValueAfterFirstWord(line.text));
        r.lineOffset = (long long)pos;
        out.recipients.push_back(std::move(r));
      } else {
        out.moreRemain = true;
      }
    }
    pos = line.next;
  }
}

bool ReadRouterEnvelope(int fd, long limitRecipients, RouterEnvelope& out, std::string& why) {
  std::string data;
  if (!ReadAt(fd, 0, data, kRouterEnvelopeLimit + 1)) {
    why = "Unable to read envelope.";
    return false;
  }
  bool atEnd = data.size() <= kRouterEnvelopeLimit;
  if (!ParseRouterEnvelope(data, atEnd, limitRecipients, out, why)) return false;
  std::string header;
  if (!ReadAt(fd, out.messageOffset, header, kHeaderScanLimit)) {
    why = "Unable to read message header.";
    return false;
  }
  size_t pos = 0;
  while (pos < header.size()) {
    EnvelopeLine line = NextLine(header, pos, true);
    if (line.text.empty()) break;
    if (StartsWithNoCase(line.text, "Message-id:")) {
      out.hasMessageId = true;
      break;
    }
    pos = line.next;
  }
  return true;
}

int ParseOutgoingEnvelope(std::string_view data, bool atEnd, OutgoingEnvelope& out,
                          std::string& why, long long resumeAt) {
  out = OutgoingEnvelope();
  size_t pos = 0;
  bool sawToLine = false;
  bool skipping = false;  // the pass is full: skip to the empty line
  for (bool first = true;; first = false) {
    EnvelopeLine line = NextLine(data, pos, atEnd);
    if (!line.complete) {
      if (!atEnd) return 0;
      why = first ? "End of file reading From field from envelope"
                  : (sawToLine ? "End of file reading envelope"
                               : "Unable to find any To lines in envelope");
      return -1;
    }
    if (line.text.size() > kOutgoingLineLimit) {
      why = "Envelope line longer than 510 characters";
      return -1;
    }
    if (line.text.find('\0') != std::string_view::npos) {
      why = "Envelope holds a NUL byte";
      return -1;
    }
    std::string_view t = line.text;
    if (first) {
      if (!StartsWithNoCase(t, "from:")) {
        why = "From line not first line in envelope";
        return -1;
      }
      std::string_view sender = SkipBlanks(t.substr(5));
      if (sender.empty()) {
        why = "From line of envelope has extra data";
        return -1;
      }
      out.sender.assign(sender);
    } else if (t.empty()) {
      if (!sawToLine) {
        why = "Unable to find any To lines in envelope";
        return -1;
      }
      out.messageOffset = (long long)line.next;
      out.finalPass = !skipping;
      return 1;
    } else if (IsEnvelopeOriginLine(t)) {
      out.submittedHere = true;
    } else if (skipping) {
      // the rest of the envelope waits for the next pass
    } else if (t.substr(0, 3) == "To:") {
      sawToLine = true;
      std::string_view address = SkipBlanks(t.substr(3));
      if (address.empty()) {
        why = "To line of envelope has extra data";
        return -1;
      }
      if ((long long)pos < resumeAt) {
        pos = line.next;  // read by an earlier pass
        continue;
      }
      EnvelopeRecipient r;
      r.address.assign(address);
      r.lineOffset = (long long)pos;
      out.recipients.push_back(std::move(r));
      if (out.recipients.size() >= size_t(kOutgoingRecipientsPerPass)) skipping = true;
    } else if (t.substr(0, 3) == "to:") {
      sawToLine = true;
    } else {
      why = "Unexpected line in envelope searching for To line";
      return -1;
    }
    pos = line.next;
  }
}

bool ReadOutgoingEnvelope(int fd, OutgoingEnvelope& out, std::string& why, long long resumeAt) {
  std::string data;
  size_t want = 16384;
  while (true) {
    if (!ReadAt(fd, 0, data, want)) {
      why = "Unable to read envelope";
      return false;
    }
    bool atEnd = data.size() < want;
    int rc = ParseOutgoingEnvelope(data, atEnd, out, why, resumeAt);
    if (rc != 0) return rc > 0;
    if (want >= kOutgoingEnvelopeCap) {
      why = "Envelope too large";
      return false;
    }
    want *= 4;
  }
}

namespace {

// The byte at `offset`, or -1.
int ByteAt(int fd, long long offset) {
  char c = 0;
  ssize_t n;
  do {
    n = ::pread(fd, &c, 1, off_t(offset));
  } while (n < 0 && errno == EINTR);
  return n == 1 ? (unsigned char)c : -1;
}

bool WriteMark(int fd, long long offset) {
  const char mark = 't';
  ssize_t n;
  do {
    n = ::pwrite(fd, &mark, 1, off_t(offset));
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

}  // namespace

bool MarkRecipientDone(int fd, long long lineOffset, std::string& why) {
  if (ByteAt(fd, lineOffset) != 'T') {
    why = "Recipient line to mark is not pending.";
    return false;
  }
  return MarkRecipientsDone(fd, {lineOffset}, why);
}

bool MarkRecipientsDone(int fd, const std::vector<long long>& lineOffsets, std::string& why,
                        bool flush) {
  // The modification time is the message's age for expiry: a mark is no news.
  FileTime age;
  bool haveAge = GetFileModifiedTime(fd, age);
  bool wrote = false;
  for (long long offset : lineOffsets) {
    int c = ByteAt(fd, offset);
    if (c == 't') continue;
    if (c != 'T') {
      why = "Recipient line to mark is not pending.";
      return false;
    }
    if (!WriteMark(fd, offset)) {
      why = "Unable to mark recipient done.";
      return false;
    }
    wrote = true;
  }
  if (!wrote) return true;
  if (haveAge) SetFileModifiedTime(fd, age);
  if (flush && !SyncFile(fd)) {
    why = "Unable to mark recipient done.";
    return false;
  }
  return true;
}

namespace {

constexpr std::string_view kEnvelopeFrom = "From: ";
constexpr std::string_view kEnvelopeTo = "To: ";
constexpr std::string_view kEnvelopeLineEnd = "\r\n";

}  // namespace

bool IsEnvelopeOriginLine(std::string_view line) {
  return line.size() == kEnvelopeOriginLine.size() && StartsWithNoCase(line, kEnvelopeOriginLine);
}

size_t EnvelopeBaseBytes(std::string_view sender, bool submittedHere) {
  size_t bytes = kEnvelopeFrom.size() + sender.size() + 2 * kEnvelopeLineEnd.size();
  if (submittedHere) bytes += kEnvelopeOriginLine.size() + kEnvelopeLineEnd.size();
  return bytes;
}

size_t EnvelopeRecipientBytes(std::string_view recipient) {
  return kEnvelopeTo.size() + recipient.size() + kEnvelopeLineEnd.size();
}

bool EnvelopeFits(size_t bytes) { return bytes <= kRouterEnvelopeLimit; }

bool SplitEnvelope(std::string_view sender, const std::vector<std::string>& recipients,
                   std::vector<size_t>& runs, std::string& why, bool submittedHere) {
  runs.clear();
  const size_t base = EnvelopeBaseBytes(sender, submittedHere);
  size_t size = base;
  for (const std::string& r : recipients) {
    size_t line = EnvelopeRecipientBytes(r);
    if (!EnvelopeFits(base + line)) {
      why = "Envelope of one recipient longer than the router reads.";
      runs.clear();
      return false;
    }
    if (runs.empty() || !EnvelopeFits(size + line)) {
      runs.push_back(0);
      size = base;
    }
    ++runs.back();
    size += line;
  }
  return true;
}

bool FormatEnvelope(const std::string& sender, const std::vector<std::string>& recipients,
                    std::string& out, std::string& why, bool submittedHere) {
  auto bad = [](const std::string& a) {
    return a.empty() || a.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
  };
  if (bad(sender)) {
    why = "Envelope sender is empty or holds a line break.";
    return false;
  }
  if (recipients.empty()) {
    why = "Envelope has no recipient.";
    return false;
  }
  size_t bytes = EnvelopeBaseBytes(sender, submittedHere);
  for (const std::string& r : recipients) {
    if (bad(r)) {
      why = "Envelope recipient is empty or holds a line break.";
      return false;
    }
    bytes += EnvelopeRecipientBytes(r);
  }
  if (!EnvelopeFits(bytes)) {
    why = "Envelope longer than the router reads.";
    return false;
  }
  out.clear();
  out.reserve(bytes);
  out.append(kEnvelopeFrom).append(sender).append(kEnvelopeLineEnd);
  if (submittedHere) out.append(kEnvelopeOriginLine).append(kEnvelopeLineEnd);
  for (const std::string& r : recipients) out.append(kEnvelopeTo).append(r).append(kEnvelopeLineEnd);
  out.append(kEnvelopeLineEnd);
  return true;
}

bool WriteEnvelope(int fd, const std::string& sender, const std::vector<std::string>& recipients,
                   std::string& why, bool submittedHere) {
  std::string text;
  if (!FormatEnvelope(sender, recipients, text, why, submittedHere)) return false;
  if (!SpoolWrite(fd, text)) {
    why = "Unable to write envelope.";
    return false;
  }
  return true;
}

bool FindMessageOffset(int fd, long long& offset, std::string& why) {
  // The same window as the router's: an envelope it reads is never taken for
  // part of the message (a bounce would enclose every recipient's address).
  std::string buffer;
  if (!ReadAt(fd, 0, buffer, kRouterEnvelopeLimit)) {
    why = "Unable to read envelope in.";
    return false;
  }
  offset = 0;
  size_t pos = 0;
  const bool atEnd = buffer.size() < kRouterEnvelopeLimit;
  while (pos < buffer.size()) {
    EnvelopeLine line = NextLine(buffer, pos, atEnd);
    if (!line.complete) break;
    if (line.text.empty()) {
      offset = (long long)line.next;
      return true;
    }
    pos = line.next;
  }
  return true;
}
