// Mailbox files: the lock, the append, the reader, the .mid file and the rewrite.
#include "server/accounts/mailbox.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/parallel.h"
#include "server/spool/headers.h"

namespace {

constexpr char kSeparator[] = "From ";
constexpr size_t kSeparatorLength = 5;
constexpr char kMessageIdHeader[] = "message-id:";
constexpr size_t kMessageIdHeaderLength = 11;
constexpr const char* kUnknownAccount = "unknown";
constexpr size_t kIndexReadBlock = 65536;
// The head of a line the splitter keeps: enough for "Message-id:", its blanks
// and a value of kMailbox.messageIdChars.
constexpr size_t kLineHeadBytes = 512;
// A finished append stays known this long (seconds), and a note is removed once
// it is this long.
constexpr long long kNoteFreshSeconds = 86400;
constexpr size_t kNoteForgetBytes = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// True when the open file is still the one that `path` names: a mailbox that
// was renamed away or deleted between our open and our lock must not receive the
// append, which would land in a file nobody reads.
bool StillNamedBy(int fd, const std::string& path) {
  struct stat open, named;
  if (::fstat(fd, &open) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return open.st_nlink > 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

long long EndOfFile(int fd) { return (long long)::lseek(fd, 0, SEEK_END); }

// Adds one line to the append note. A single small write to a file opened for
// appending: a process that dies leaves the line whole or absent.
bool AddNoteLine(const std::string& path, const std::string& line) {
  UniqueFd fd = OpenShared(path + kAppendNoteSuffix, O_WRONLY | O_CREAT | O_APPEND, 0600);
  return fd.valid() && WriteAll(fd.get(), line.data(), line.size()) && fd.close_checked();
}

// Replaces the append note with `text` (removes it when empty) by a rename, so a
// death in the middle leaves the old note or the new one, never a cut one.
void ReplaceAppendNote(const std::string& path, const std::string& text) {
  std::string note = path + kAppendNoteSuffix;
  if (text.empty()) {
    DeleteFileWin(note);
    return;
  }
  std::string temp = note + "z";
  UniqueFd fd = OpenShared(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd.valid() && WriteAll(fd.get(), text.data(), text.size()) && fd.close_checked())
    RenameReplace(temp, note);
  else
    DeleteFileWin(temp);
}

// True when `kept` (finished lines "E <key> <time>") names `key` with a time
// within kNoteFreshSeconds: a retry after a crash comes within minutes, and an old
// line can never stand for a new delivery that happens to get the same key.
bool NoteHasFinished(const std::string& kept, const std::string& key) {
  std::string head = "E " + key + " ";
  time_t now = time(nullptr);
  for (size_t pos = kept.find(head); pos != std::string::npos; pos = kept.find(head, pos + 1)) {
    if (pos != 0 && kept[pos - 1] != '\n') continue;
    long long when = std::strtoll(kept.c_str() + pos + head.size(), nullptr, 10);
    if (when <= now && now - when < kNoteFreshSeconds) return true;
  }
  return false;
}

std::string FinishedLine(const std::string& key) {
  return "E " + (key.empty() ? std::string("-") : key) + " " + std::to_string((long long)time(nullptr)) +
         "\n";
}

// Ends the line that runs from s.lineStart to s.position (its line end included).
// `head` holds its first bytes (at most kLineHeadBytes), `full` when it is longer.
void EndLine(MailboxSplitter& s, std::string_view head, bool full) {
  std::string_view line = head;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  bool empty = line.empty() && !full;
  MailboxIndex& index = *s.index;
  if (s.previousEmpty && line.substr(0, kSeparatorLength) == kSeparator) {
    if (!index.messages.empty())
      index.messages.back().length = s.lineStart - index.messages.back().offset;
    // The table doubles (by at least the step): growing by a fixed step moved the
    // whole table every 50 messages, which made the first login on a mailbox of
    // 60,000 messages take seconds.
    if (index.messages.size() == index.messages.capacity())
      index.messages.reserve(index.messages.size() +
                             std::max(kMailbox.messageTableStep, index.messages.size()));
    MailboxMessage m;
    m.offset = s.lineStart;
    index.messages.push_back(std::move(m));
    s.inHeader = true;
  } else if (s.inHeader) {
    if (empty) {
      s.inHeader = false;
    } else if (line.size() >= kMessageIdHeaderLength &&
               strncasecmp(line.data(), kMessageIdHeader, kMessageIdHeaderLength) == 0 &&
               index.messages.back().messageId.empty()) {
      std::string_view value = line.substr(kMessageIdHeaderLength);
      while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
      while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
      index.messages.back().messageId = std::string(value.substr(0, kMailbox.messageIdChars));
    }
  }
  s.previousEmpty = empty;
}

}  // namespace

// ---- Lock --------------------------------------------------------------------------

std::string MailboxLockName(const std::string& account) {
  std::string name = account.substr(0, kMailbox.lockNameChars);
  for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
  char text[160];
  snprintf(text, sizeof text, kMailbox.lockFormat, name.c_str());
  return text;
}

bool LockMailbox(const std::string& account, uint32_t timeoutMs, MailboxLock& out,
                 bool& timedOut) {
  timedOut = false;
  if (AcquireNamedLock(out.lock, MailboxLockName(account), timeoutMs)) return true;
  // AcquireNamedLock gives up at once on anything but contention.
  timedOut = LastWinError() == kErrTimeout || LastWinError() == kErrSharingViolation;
  return false;
}

void UnlockMailbox(MailboxLock& lock) { lock.lock.release(); }

// ---- Appending ---------------------------------------------------------------------

bool FindMailboxPath(const std::string& account, const std::string& domain, bool allowUnknown,
                     std::string& path) {
  path.clear();
  if (GetMailboxPath(account, path, domain, true) && !path.empty()) return true;
  path.clear();
  if (allowUnknown && GetMailboxPath(kUnknownAccount, path, domain, true) && !path.empty())
    return true;
  path.clear();
  return false;
}

AppendOpen OpenMailboxFileForAppend(const std::string& path, const std::string& sender,
                                    MailboxAppend& out, int* winErr, const std::string& key,
                                    time_t when) {
  out = MailboxAppend();
  out.path = path;
  out.key = key;
  uint32_t start = GetTickCount32();
  int err = 0;
  for (;;) {
    bool exists = FileExists(path);
    UniqueFd fd = exists ? OpenExclusive(path, O_WRONLY, 0644, &err)
                         : OpenExclusive(path, O_WRONLY | O_CREAT | O_EXCL, 0600, &err);
    if (fd.valid() && StillNamedBy(fd.get(), path)) {
      out.fd = std::move(fd);
      out.created = !exists;
      break;
    }
    if (fd.valid()) err = kErrSharingViolation;  // replaced under us: open it again
    // A file created by someone else between our test and our create is simply
    // an existing file now: try again at once.
    if (err == kErrFileExists || err == kErrAlreadyExists) continue;
    if (TickElapsed(GetTickCount32(), start) >= kMailbox.appendOpenRetryMs) {
      if (winErr) *winErr = err;
      return AppendOpen::kBusy;
    }
    SleepMs(kMailbox.appendRetryPollMs);
  }
  RepairUnfinishedAppend(path, &out.noteKept);
  if (!key.empty() && NoteHasFinished(out.noteKept, key)) {
    out.fd.reset();
    return AppendOpen::kAlreadyDone;
  }
  out.startSize = EndOfFile(out.fd.get());
  if (out.startSize < 0 ||
      !AddNoteLine(path, "B " + std::to_string(out.startSize) + " " + (key.empty() ? "-" : key) +
                             "\n")) {
    if (winErr) *winErr = kErrGenFailure;
    out.fd.reset();
    if (out.created) DeleteFileWin(path);
    return AppendOpen::kBusy;
  }
  // The blank line is wanted only when a message is already there; a file that
  // exists but is empty starts with the separator as a new one does.
  if (!WriteMailboxSeparator(out.fd.get(), sender, out.startSize > 0, when)) {
    AbandonMailboxAppend(out);
    return AppendOpen::kSeparatorFailed;
  }
  return AppendOpen::kOpened;
}

AppendOpen OpenMailboxForAppend(const std::string& account, const std::string& domain,
                                bool allowUnknown, const std::string& sender,
                                MailboxAppend& out, const std::string& key) {
  std::string path;
  if (!FindMailboxPath(account, domain, allowUnknown, path)) return AppendOpen::kUnknown;
  if (strcasecmp(path.c_str(), kNullMailbox) == 0) return AppendOpen::kDiscard;
  return OpenMailboxFileForAppend(path, sender, out, nullptr, key);
}

bool FinishMailboxAppend(MailboxAppend& append, std::string& why, bool flush) {
  if (!append.fd.valid()) {
    why = "Mailbox file is not open.";
    return false;
  }
  if (!WriteAll(append.fd.get(), "\r\n", 2)) {
    why = "Error writing mailbox separator";
    AbandonMailboxAppend(append);
    return false;
  }
  // The recipient is marked done only after this returns: the message must be on
  // stable storage first, and for a new file its directory entry too.
  if (flush &&
      (!SyncFile(append.fd.get()) || (append.created && !SyncParentDirectory(append.path)))) {
    why = "Error flushing mailbox file";
    AbandonMailboxAppend(append);
    return false;
  }
  // The note changes while the file is still held: after this the append is
  // whole, and with a key it stays known as done until the router forgets it.
  AddNoteLine(append.path, FinishedLine(append.key));
  if (!append.fd.close_checked()) {
    why = "Error closing mailbox file";
    return false;
  }
  return true;
}

bool FlushMailboxFiles(const std::vector<std::string>& paths,
                       const std::vector<std::string>& created) {
  // Separate files flushed at the same moment share the file system's journal
  // commits, so a group costs little more than one flush.
  std::vector<std::string> work;
  for (const std::string& p : paths)
    if (std::find(work.begin(), work.end(), p) == work.end()) work.push_back(p);
  std::vector<std::string> dirs;
  for (const std::string& p : created) {
    std::string d = PathDirectory(p);
    if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(d);
  }
  return RunInParallel(work.size() + dirs.size(), [&](size_t i) {
    if (i >= work.size()) return SyncParentDirectory(dirs[i - work.size()] + "x");
    // Any descriptor of the file flushes its data; the append's own is closed
    // so that readers are not kept out meanwhile. A file that is gone was
    // rewritten or removed by its reader, who flushed what it kept.
    int err = 0;
    UniqueFd fd = OpenShared(work[i], O_RDONLY, 0, &err);
    return fd.valid() ? SyncFile(fd.get()) : err == kErrFileNotFound;
  });
}

void AbandonMailboxAppend(MailboxAppend& append) {
  if (!append.fd.valid()) return;
  if (append.created) {
    // Still ours (the lock is held): nobody else has seen this file.
    DeleteFileWin(append.path);
  } else if (::ftruncate(append.fd.get(), append.startSize) == 0) {
    SyncFile(append.fd.get());
  }
  // The append is gone again; "E -" closes its line without naming a delivery.
  if (!append.created) AddNoteLine(append.path, FinishedLine(""));
  else ReplaceAppendNote(append.path, append.noteKept);
  append.fd.reset();
}

// ---- Reading -----------------------------------------------------------------------

size_t MailboxIndex::LiveCount() const {
  size_t n = 0;
  for (const MailboxMessage& m : messages) n += m.deleted ? 0 : 1;
  return n;
}

long long MailboxIndex::LiveBytes() const {
  long long n = 0;
  for (const MailboxMessage& m : messages) n += m.deleted ? 0 : m.length;
  return n;
}

void BeginMailboxSplit(MailboxSplitter& s, MailboxIndex& index) {
  s = MailboxSplitter();
  s.index = &index;
  index = MailboxIndex();
  index.messages.reserve(kMailbox.messageTableStep);
}

size_t FeedMailboxSplit(MailboxSplitter& s, std::string_view data, size_t maxLines) {
  size_t taken = 0, lines = 0;
  while (taken < data.size()) {
    std::string_view rest = data.substr(taken);
    const void* lf = memchr(rest.data(), '\n', rest.size());
    size_t take = lf ? size_t(static_cast<const char*>(lf) - rest.data()) + 1 : rest.size();
    s.position += (long long)take;
    taken += take;
    if (lf && s.lineHead.empty() && !s.lineHeadFull) {
      // The whole line lies in `data`: looked at where it is, not copied.
      EndLine(s, rest.substr(0, std::min(take, kLineHeadBytes)), take > kLineHeadBytes);
    } else {
      // A line cut by the end of `data` keeps its head until the rest comes.
      size_t room = kLineHeadBytes - s.lineHead.size();
      s.lineHead.append(rest.data(), std::min(take, room));
      if (take > room) s.lineHeadFull = true;
      if (!lf) break;
      EndLine(s, s.lineHead, s.lineHeadFull);
      s.lineHead.clear();
      s.lineHeadFull = false;
    }
    s.lineStart = s.position;
    ++s.lines;
    if (maxLines > 0 && ++lines == maxLines) break;
  }
  return taken;
}

void FinishMailboxSplit(MailboxSplitter& s) {
  if (s.position > s.lineStart) EndLine(s, s.lineHead, s.lineHeadFull);
  MailboxIndex& index = *s.index;
  if (!index.messages.empty())
    index.messages.back().length = s.position - index.messages.back().offset;
  index.size = s.position;
}

bool IndexMailbox(int fd, MailboxIndex& out, std::string& why) {
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    why = "Unable to position mailbox file.";
    return false;
  }
  MailboxSplitter s;
  BeginMailboxSplit(s, out);
  std::string block(kIndexReadBlock, '\0');
  for (;;) {
    long n = ReadSome(fd, block.data(), block.size());
    if (n < 0) {
      why = "Unable to read mailbox file.";
      return false;
    }
    if (n == 0) break;
    FeedMailboxSplit(s, std::string_view(block.data(), size_t(n)));
  }
  FinishMailboxSplit(s);
  return true;
}

UniqueFd OpenMailboxForReading(const std::string& path, int* winErr) {
  UniqueFd fd = OpenExclusive(path, O_RDONLY, 0644, winErr);
  if (fd.valid()) RepairUnfinishedAppend(path);
  return fd;
}

bool RepairUnfinishedAppend(const std::string& mailboxPath, std::string* kept) {
  std::string text;
  if (kept) kept->clear();
  if (!ReadWholeFile(mailboxPath + kAppendNoteSuffix, text)) return false;
  std::string finished;
  long long cutAt = -1;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) break;  // a line cut off by the crash itself
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.rfind("B ", 0) == 0) {
      char* end = nullptr;
      long long start = std::strtoll(line.c_str() + 2, &end, 10);
      if (end != line.c_str() + 2 && start >= 0 && cutAt < 0) cutAt = start;
    } else if (line.rfind("E ", 0) == 0) {
      if (line.rfind("E - ", 0) != 0) finished += line + "\n";
      cutAt = -1;  // the append before this line is whole
    }
  }
  // Only a "B" after the last "E" is an append that never finished (appends to
  // one mailbox never overlap: they hold the file without sharing).
  bool cut = false;
  if (cutAt >= 0 && FileSize(mailboxPath) > cutAt)
    cut = ::truncate(mailboxPath.c_str(), off_t(cutAt)) == 0;
  if (cutAt >= 0) ReplaceAppendNote(mailboxPath, finished);
  if (kept) *kept = finished;
  return cut;
}

void ForgetFinishedAppends(const std::vector<std::string>& paths,
                           const std::vector<std::string>& accounts) {
  for (size_t i = 0; i < paths.size(); ++i) {
    // Finished lines are harmless once their marks are durable (they only ever
    // match a retry of the same delivery), so a note is removed only when it has
    // grown: every removal of a file costs the disk a block release.
    if (FileSize(paths[i] + kAppendNoteSuffix) < (long long)kNoteForgetBytes) continue;
    MailboxLock lock;
    bool timedOut = false;
    // A holder of the lock may be appending right now; its note is forgotten
    // the next time.
    if (i < accounts.size() && !LockMailbox(accounts[i], 0, lock, timedOut)) continue;
    // Only finished lines are dropped; an unfinished one stays for its repair.
    UniqueFd held = OpenExclusive(paths[i], O_RDONLY);
    if (!held.valid()) continue;
    std::string kept;
    RepairUnfinishedAppend(paths[i], &kept);
    ReplaceAppendNote(paths[i], "");
  }
}

bool ReadMailboxBytes(int fd, long long offset, size_t length, std::string& out) {
  out.resize(length);
  size_t got = 0;
  while (got < length) {
    ssize_t n = ::pread(fd, out.data() + got, length - got, off_t(offset + (long long)got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      out.resize(got);
      return false;
    }
    got += size_t(n);
  }
  return true;
}

// ---- The .mid file -----------------------------------------------------------------

std::string MidFilePath(const std::string& mailboxPath) {
  size_t nameStart = PathDirectory(mailboxPath).size();
  size_t dot = mailboxPath.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return mailboxPath + kMidExtension;
  return mailboxPath.substr(0, dot) + kMidExtension;
}

int ReadMidFile(const std::string& midPath, size_t messageCount) {
  std::string data;
  if (!ReadWholeFile(midPath, data) || data.size() < 4) return -1;
  uint32_t raw = uint32_t(uint8_t(data[0])) | uint32_t(uint8_t(data[1])) << 8 |
                 uint32_t(uint8_t(data[2])) << 16 | uint32_t(uint8_t(data[3])) << 24;
  int32_t value = int32_t(raw);
  if (value < 0 || size_t(value) >= messageCount) return -1;
  return value;
}

bool WriteMidFile(const std::string& midPath, int highest, size_t messageCount) {
  if (messageCount == 0) highest = -1;
  else if (highest >= 0 && size_t(highest) >= messageCount) highest = int(messageCount) - 1;
  if (highest < -1) highest = -1;
  uint32_t raw = uint32_t(int32_t(highest));
  char bytes[4] = {char(raw & 0xff), char((raw >> 8) & 0xff), char((raw >> 16) & 0xff),
                   char((raw >> 24) & 0xff)};
  DeleteFileWin(midPath);
  UniqueFd fd = OpenExclusive(midPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd.valid() && WriteAll(fd.get(), bytes, sizeof bytes) && fd.close_checked()) return true;
  fd.reset();
  DeleteFileWin(midPath);
  return false;
}

// ---- Rewriting ---------------------------------------------------------------------

std::string MailboxSiblingPath(const std::string& mailboxPath) {
  if (mailboxPath.empty()) return "z";
  std::string s = mailboxPath;
  s.back() = 'z';
  // A name that already ends in 'z' would be its own sibling.
  if (s == mailboxPath) s += 'z';
  return s;
}

RewriteOutcome RewriteMailbox(const std::string& path, UniqueFd& mailbox,
                              const MailboxIndex& index, bool changed, int highest,
                              const MailboxBlockEdit& edit, std::string& why) {
  std::string mid = MidFilePath(path);
  size_t live = index.LiveCount();
  bool anyDeleted = live != index.messages.size();
  if (live == 0 && !index.messages.empty()) {
    mailbox.reset();
    DeleteFileWin(path);
    DeleteFileWin(mid);
    SyncParentDirectory(path);
    return RewriteOutcome::kRemoved;
  }
  if (!anyDeleted && !changed) {
    mailbox.reset();
    WriteMidFile(mid, highest, live);
    return RewriteOutcome::kMidOnly;
  }

  std::string sibling = MailboxSiblingPath(path);
  int err = 0;
  UniqueFd out = OpenExclusive(sibling, O_WRONLY | O_CREAT | O_TRUNC, 0600, &err);
  if (!out.valid()) {
    why = "Unable to create mailbox copy: error " + std::to_string(err);
    mailbox.reset();
    return RewriteOutcome::kFailed;
  }
  auto fail = [&](const char* text) {
    why = text;
    out.reset();
    DeleteFileWin(sibling);
    mailbox.reset();
    return RewriteOutcome::kFailed;
  };
  std::string block;
  for (size_t i = 0; i < index.messages.size(); ++i) {
    const MailboxMessage& m = index.messages[i];
    if (m.deleted) continue;
    long long done = 0;
    while (done < m.length) {
      size_t want = size_t(std::min<long long>(m.length - done, (long long)kMailbox.copyBlockBytes));
      if (!ReadMailboxBytes(mailbox.get(), m.offset + done, want, block))
        return fail("Error reading mailbox file.");
      if (done == 0 && edit) edit(i, block);
      if (!WriteAll(out.get(), block.data(), block.size()))
        return fail("Error writing mailbox copy.");
      done += (long long)want;
    }
  }
  // The copy replaces the mailbox in one rename, after it is on stable storage:
  // at no moment is there no mailbox, or half of one.
  if (!SyncFile(out.get()) || !out.close_checked()) return fail("Error writing mailbox copy.");
  if (RenameReplace(sibling, path) != 0) return fail("Error replacing mailbox file.");
  SyncParentDirectory(path);
  mailbox.reset();
  WriteMidFile(mid, highest, live);
  return RewriteOutcome::kRewritten;
}
