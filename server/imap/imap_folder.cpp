// The folder state: the sidecar index, noticing appends and rewrites, keeping
// UIDs across them, and EXPUNGE's rewrite.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "server/accounts/mailbox.h"
#include "server/imap/imap.h"
#include "server/pop3/pop3_words.h"

namespace {

constexpr const char* kIndexMagic = "CORVEL-IMAP-INDEX 1";
constexpr const char* kIndexExtension = ".imx";
// A mailbox whose text before the first message is larger than this is not
// rewritten (that text is kept in memory while the copy is written).
constexpr long long kMaxPreambleBytes = 16LL << 20;

std::atomic<uint32_t> gLastValidity{0};
std::mutex gFoldersLock;
std::map<std::string, std::shared_ptr<ImapFolder>> gFolders;

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when the line's name is "Status" (any case).
bool IsStatusHeader(std::string_view line) {
  return line.size() >= 7 && strncasecmp(line.data(), "Status:", 7) == 0;
}

// Reads the sidecar into folder.saved; a missing or damaged one leaves
// uidValidity 0, so the next scan numbers the folder afresh.
void LoadIndex(ImapFolder& f) {
  f.loaded = true;
  f.saved.clear();
  f.uidValidity = 0;
  f.uidNext = 1;
  std::string text;
  if (!ReadWholeFile(f.indexPath, text)) return;
  size_t pos = 0;
  auto nextLine = [&](std::string& line) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) return false;
    line = text.substr(pos, eol - pos);
    pos = eol + 1;
    return true;
  };
  std::string line;
  unsigned long validity = 0, next = 0;
  if (!nextLine(line) || line != kIndexMagic || !nextLine(line) ||
      sscanf(line.c_str(), "%lu %lu", &validity, &next) != 2 || validity == 0 || next == 0 ||
      validity > 0xFFFFFFFFul || next > 0xFFFFFFFFul)
    return;
  std::vector<ImapMessage> saved;
  uint32_t previous = 0;
  while (pos < text.size()) {
    if (!nextLine(line)) return;  // a cut-off file is not trusted
    unsigned long uid = 0, flags = 0;
    char key[80] = {};
    int used = 0;
    if (sscanf(line.c_str(), "%lu %lu %79s%n", &uid, &flags, key, &used) != 3 || uid <= previous ||
        uid >= next || flags > 0xFF)
      return;
    ImapMessage m;
    m.uid = uint32_t(uid);
    m.flags = uint8_t(flags);
    m.key = key;
    // Its keywords follow, each after a space; ones that could not be kept are dropped.
    if (size_t(used) < line.size()) {
      ImapItem list;
      list.kind = ImapItem::kList;
      size_t pos = size_t(used);
      while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string::npos) end = line.size();
        if (end > pos) list.list.push_back(ImapItem{ImapItem::kAtom, line.substr(pos, end - pos), {}});
        pos = end + 1;
      }
      uint8_t ignored = 0;
      if (!ParseFlagList(list, ignored, &m.keywords) || ignored != 0) m.keywords.clear();
    }
    saved.push_back(std::move(m));
    previous = uint32_t(uid);
  }
  f.saved = std::move(saved);
  f.uidValidity = uint32_t(validity);
  f.uidNext = uint32_t(next);
}

// Reads what IMAP needs of message `m` from its first bytes: where its text
// starts, its key, its date and whether POP3 marked it read. False on a read error.
bool DescribeMessage(int fd, ImapMessage& m, bool& statusRead) {
  statusRead = false;
  std::string head;
  size_t want = size_t(std::min<long long>(m.length, (long long)kImap.headerWindowBytes));
  if (!ReadMailboxBytes(fd, m.offset, want, head)) return false;
  size_t sepEnd = head.find('\n');
  sepEnd = sepEnd == std::string::npos ? head.size() : sepEnd + 1;
  m.textOffset = m.offset + (long long)sepEnd;
  m.date = ParseSeparatorDate(std::string_view(head).substr(0, sepEnd));
  size_t end = head.find("\n\r\n", sepEnd > 0 ? sepEnd - 1 : 0);
  size_t end2 = head.find("\n\n", sepEnd > 0 ? sepEnd - 1 : 0);
  if (end2 != std::string::npos && (end == std::string::npos || end2 < end)) end = end2;
  std::string_view header(head);
  if (end != std::string::npos) header = header.substr(0, end + 1);
  m.key = StableMessageKey(header, -1);
  for (size_t pos = sepEnd; pos < header.size();) {
    size_t eol = header.find('\n', pos);
    std::string_view line = header.substr(pos, eol == std::string::npos ? std::string_view::npos
                                                                          : eol - pos);
    if (IsStatusHeader(line)) {
      for (size_t i = 7; i < line.size(); ++i) {
        char c = line[i];
        if (c == 'R') statusRead = true;
        if (c != ' ' && c != '\t' && c != 'R' && c != 'O' && c != 'N' && c != 'U') break;
      }
    }
    if (eol == std::string::npos) break;
    pos = eol + 1;
  }
  return true;
}

// The message's text size: its stored bytes after the separator line without
// the empty line the next append wrote before its separator, and without the
// end mark (an empty line) every append closes a message with.
bool MeasureText(int fd, ImapMessage& m, bool last) {
  long long end = m.offset + m.length;
  long long span = std::min<long long>(6, end - m.textOffset);
  std::string tail;
  if (span > 0 && !ReadMailboxBytes(fd, end - span, size_t(span), tail)) return false;
  // Bytes of the line end closing `tail`, 0 when none.
  auto lineEnd = [&tail] {
    if (tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "\r\n") == 0) return size_t(2);
    return size_t(!tail.empty() && tail.back() == '\n' ? 1 : 0);
  };
  if (!last) {
    size_t n = lineEnd();
    tail.resize(tail.size() - n);
  }
  size_t n = lineEnd();
  if (n > 0 && tail.size() > n && tail[tail.size() - n - 1] == '\n') tail.resize(tail.size() - n);
  m.textSize = end - (long long)(span - (long long)tail.size()) - m.textOffset;
  if (m.textSize < 0) m.textSize = 0;
  return true;
}

}  // namespace

namespace {

// Gives the freshly split messages `fresh` the UIDs and flags of `old` by key,
// in order: a message found at a later place than the one before it keeps its
// UID; one not found is new and gets the next UID. When the UIDs would not
// ascend (a message reappeared before one kept), nothing can be trusted: the
// folder gets a new UIDVALIDITY and is numbered from 1, keeping the flags.
void MatchMessages(ImapFolder& f, const std::vector<ImapMessage>& old,
                   std::vector<ImapMessage>& fresh, const std::vector<char>& statusRead) {
  std::unordered_map<std::string, std::vector<size_t>> places;
  for (size_t i = 0; i < old.size(); ++i) places[old[i].key].push_back(i);
  std::unordered_map<std::string, size_t> cursor;
  size_t p = 0;
  for (size_t i = 0; i < fresh.size(); ++i) {
    ImapMessage& m = fresh[i];
    m.uid = 0;
    auto it = places.find(m.key);
    if (it != places.end()) {
      size_t& c = cursor[m.key];
      while (c < it->second.size() && it->second[c] < p) ++c;
      if (c < it->second.size()) {
        const ImapMessage& o = old[it->second[c]];
        m.uid = o.uid;
        m.flags = o.flags;
        m.keywords = o.keywords;
        m.changed = o.changed;
        // POP3 retrieved it since (its Status says so): \Seen agrees.
        if (statusRead[i] && !(m.flags & kFlagSeen)) {
          m.flags |= kFlagSeen;
          m.changed = ++f.changes;
        }
        p = it->second[c] + 1;
        ++c;
      }
    }
    if (m.uid == 0) m.flags = statusRead[i] ? kFlagSeen : 0;
  }
  bool ordered = f.uidValidity != 0;
  uint32_t previous = 0;
  for (ImapMessage& m : fresh) {
    if (m.uid == 0) m.uid = f.uidNext++;
    if (m.uid <= previous) ordered = false;
    previous = m.uid;
  }
  if (!ordered) {
    // The clock, but never a value this process gave before: an index lost and
    // rebuilt within the same second must not look like the old one.
    uint32_t now = std::max(uint32_t(time(nullptr)), f.uidValidity + 1);
    uint32_t last = gLastValidity.load();
    while (!gLastValidity.compare_exchange_weak(last, std::max(now, last + 1))) {
    }
    f.uidValidity = std::max(now, last + 1);
    f.uidNext = 1;
    for (ImapMessage& m : fresh) m.uid = f.uidNext++;
  }
}

// Splits the file from `from` (a separator, or 0) to its end.
bool SplitFrom(int fd, long long from, MailboxIndex& index, std::string& why) {
  if (::lseek(fd, from, SEEK_SET) != from) {
    why = "Unable to position mailbox file.";
    return false;
  }
  MailboxSplitter splitter;
  BeginMailboxSplit(splitter, index);
  std::string block(kImap.headerWindowBytes * 4, '\0');
  for (;;) {
    long n = ReadSome(fd, block.data(), block.size());
    if (n < 0) {
      why = "Unable to read mailbox file.";
      return false;
    }
    if (n == 0) break;
    FeedMailboxSplit(splitter, std::string_view(block.data(), size_t(n)));
  }
  FinishMailboxSplit(splitter);
  for (MailboxMessage& m : index.messages) m.offset += from;
  return true;
}

// The messages of `index` described (text bounds, key, date).
bool DescribeAll(int fd, const MailboxIndex& index, std::vector<ImapMessage>& out,
                 std::vector<char>& statusRead, std::string& why) {
  out.assign(index.messages.size(), ImapMessage());
  statusRead.assign(index.messages.size(), 0);
  for (size_t i = 0; i < index.messages.size(); ++i) {
    ImapMessage& m = out[i];
    m.offset = index.messages[i].offset;
    m.length = index.messages[i].length;
    bool read = false;
    if (!DescribeMessage(fd, m, read) || !MeasureText(fd, m, i + 1 == index.messages.size())) {
      why = "Unable to read mailbox file.";
      return false;
    }
    statusRead[i] = read;
  }
  return true;
}

}  // namespace

std::shared_ptr<ImapFolder> FindImapFolder(const std::string& path) {
  std::lock_guard<std::mutex> guard(gFoldersLock);
  std::shared_ptr<ImapFolder>& f = gFolders[path];
  if (!f) {
    f = std::make_shared<ImapFolder>();
    f->path = path;
    f->indexPath = ImapIndexPath(path);
  }
  return f;
}

void ForgetImapFolders() {
  std::lock_guard<std::mutex> guard(gFoldersLock);
  gFolders.clear();
}

void ForgetImapFolder(const std::string& path) {
  std::lock_guard<std::mutex> guard(gFoldersLock);
  gFolders.erase(path);
}

std::string ImapIndexPath(const std::string& mailboxPath) {
  size_t slash = mailboxPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = mailboxPath.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return mailboxPath + kIndexExtension;
  return mailboxPath.substr(0, dot) + kIndexExtension;
}

UniqueFd OpenImapFolderFile(const std::string& path, bool& missing) {
  uint32_t start = GetTickCount32();
  for (;;) {
    int err = 0;
    UniqueFd fd = OpenMailboxForReading(path, &err);
    missing = !fd.valid() && (err == kErrFileNotFound || err == kErrPathNotFound);
    if (fd.valid() || err != kErrSharingViolation ||
        TickElapsed(GetTickCount32(), start) >= kImap.openRetryMs)
      return fd;
    SleepMs(10);
  }
}

bool SaveImapIndex(const ImapFolder& f) {
  std::string text = std::string(kIndexMagic) + "\n" + std::to_string(f.uidValidity) + " " +
                     std::to_string(f.uidNext) + "\n";
  for (const ImapMessage& m : f.messages)
    text += std::to_string(m.uid) + " " + std::to_string(unsigned(m.flags)) + " " + m.key +
            (m.keywords.empty() ? "" : " ") + m.keywords + "\n";
  std::string temp = f.indexPath + ".tmp";
  UniqueFd out = OpenExclusive(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!out.valid() || !WriteAll(out.get(), text.data(), text.size()) || !SyncFileData(out.get()) ||
      !out.close_checked() || RenameReplace(temp, f.indexPath) != 0) {
    out.reset();
    DeleteFileWin(temp);
    return false;
  }
  return true;
}

bool SyncImapFolder(ImapFolder& f, int fd, std::string& why) {
  if (!f.loaded) LoadIndex(f);
  if (fd < 0) {
    if (f.scanned && !f.exists) return true;
    std::vector<ImapMessage> none;
    if (f.uidValidity == 0) MatchMessages(f, {}, none, {});
    f.messages.clear();
    f.saved.clear();
    f.scanned = true;
    f.exists = false;
    f.size = 0;
    SaveImapIndex(f);
    return true;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    why = "Unable to read mailbox file.";
    return false;
  }
  bool sameFile = f.scanned && f.exists && f.device == st.st_dev && f.inode == st.st_ino;
  if (sameFile && f.size == (long long)st.st_size && SameTime(f.modified, st.st_mtim)) return true;
  std::vector<ImapMessage> fresh;
  std::vector<char> statusRead;
  if (sameFile && (long long)st.st_size > f.size && !f.messages.empty()) {
    // Appended to: only the last known message and what follows are split again.
    MailboxIndex index;
    long long from = f.messages.back().offset;
    if (!SplitFrom(fd, from, index, why)) return false;
    if (index.messages.empty() || index.messages.front().offset != from) {
      f.inode = 0;  // not an append after all: a full scan
      return SyncImapFolder(f, fd, why);
    }
    if (!DescribeAll(fd, index, fresh, statusRead, why)) return false;
    ImapMessage& last = f.messages.back();
    last.length = fresh.front().length;
    last.textSize = fresh.front().textSize;
    for (size_t i = 1; i < fresh.size(); ++i) {
      fresh[i].uid = f.uidNext++;
      fresh[i].flags = statusRead[i] ? kFlagSeen : 0;
      f.messages.push_back(std::move(fresh[i]));
    }
  } else {
    MailboxIndex index;
    if (!SplitFrom(fd, 0, index, why) || !DescribeAll(fd, index, fresh, statusRead, why))
      return false;
    MatchMessages(f, f.scanned ? f.messages : f.saved, fresh, statusRead);
    f.messages = std::move(fresh);
    f.saved.clear();
  }
  f.scanned = true;
  f.exists = true;
  f.device = st.st_dev;
  f.inode = st.st_ino;
  f.size = (long long)st.st_size;
  f.modified = st.st_mtim;
  SaveImapIndex(f);
  return true;
}

bool ExpungeImapFolder(ImapFolder& f, UniqueFd& fd,
                       std::vector<uint32_t>& removed, std::string& why) {
  removed.clear();
  size_t kept = 0;
  for (const ImapMessage& m : f.messages)
    if (!(m.flags & kFlagDeleted)) ++kept;
  if (kept == f.messages.size()) return true;
  long long preamble = f.messages.front().offset;
  if (preamble > kMaxPreambleBytes || (preamble > 0 && kept == 0)) {
    why = "The text before the first message stays; expunge refused.";
    return false;
  }
  std::string preambleText;
  if (preamble > 0 && !ReadMailboxBytes(fd.get(), 0, size_t(preamble), preambleText)) {
    why = "Error reading mailbox file.";
    return false;
  }
  MailboxIndex index;
  index.size = f.size;
  for (const ImapMessage& m : f.messages) {
    MailboxMessage mm;
    mm.offset = m.offset;
    mm.length = m.length;
    mm.deleted = (m.flags & kFlagDeleted) != 0;
    index.messages.push_back(mm);
  }
  // POP3's highest accessed message, renumbered for the kept messages.
  int highest = ReadMidFile(MidFilePath(f.path), f.messages.size());
  int keptUpTo = 0;
  for (int i = 0; i <= highest && i < int(f.messages.size()); ++i)
    if (!(f.messages[size_t(i)].flags & kFlagDeleted)) ++keptUpTo;
  bool first = true;
  MailboxBlockEdit edit = [&](size_t i, std::string& block) {
    ApplyStatusHeader(block, (f.messages[i].flags & kFlagSeen) != 0);
    if (first && !preambleText.empty()) block.insert(0, preambleText);
    first = false;
  };
  RewriteOutcome outcome =
      RewriteMailbox(f.path, fd, index, true, highest < 0 ? -1 : keptUpTo - 1, edit, why);
  if (outcome == RewriteOutcome::kFailed) return false;
  std::vector<ImapMessage> left;
  for (ImapMessage& m : f.messages) {
    if (m.flags & kFlagDeleted)
      removed.push_back(m.uid);
    else
      left.push_back(std::move(m));
  }
  f.messages = std::move(left);
  // The next command rescans the new file and finds the kept messages by key.
  f.inode = 0;
  f.size = -1;
  SaveImapIndex(f);
  return true;
}

bool ReadImapText(int fd, const ImapMessage& m, long long from, long long length,
                  std::string& out) {
  out.clear();
  if (from >= m.textSize || length <= 0) return true;
  length = std::min(length, m.textSize - from);
  return ReadMailboxBytes(fd, m.textOffset + from, size_t(length), out);
}
