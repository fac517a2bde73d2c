// The POP3 maildrop: opening it at login (access, lock, index, unique ids, the
// .mid file) and committing it at QUIT.
#include <strings.h>

#include <unordered_set>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/pop3/pop3_server.h"
#include "server/pop3/pop3_words.h"

namespace {

// Bytes of a message read to find the header its stable key is made of; a
// little more than the rewrite's first block, so an inserted Status line does
// not push header bytes out of the window.
constexpr size_t kKeyHeaderBytes = 16384 + 256;
// A mailbox whose text before the first message is larger than this is not
// rewritten (that text is kept in memory while the copy is written).
constexpr long long kMaxPreambleBytes = 16LL << 20;

// Indexes the open mailbox, asking every few lines whether the client is still
// there. False with `why` on a read error or when the client has gone.
bool IndexWhileConnected(int fd, NetNode* node, MailboxIndex& index, std::string& why) {
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    why = "Unable to position mailbox file.";
    return false;
  }
  MailboxSplitter splitter;
  BeginMailboxSplit(splitter, index);
  const long long every = kPop3.indexYieldLines;
  long long asked = 0;  // lines fed when the client was last asked after
  std::string block(kPop3.fileBufferBytes, '\0');
  for (;;) {
    long n = ReadSome(fd, block.data(), block.size());
    if (n < 0) {
      why = "Unable to read mailbox file.";
      return false;
    }
    if (n == 0) break;
    std::string_view data(block.data(), size_t(n));
    // Fed kPop3.indexYieldLines lines at a time, asking after each whether the
    // client is still there.
    while (!data.empty()) {
      data.remove_prefix(FeedMailboxSplit(splitter, data, size_t(every - (splitter.lines - asked))));
      if (splitter.lines - asked < every) continue;
      asked = splitter.lines;
      if (node && NetRemoteGone(node)) {
        why = "The client has gone.";
        return false;
      }
    }
  }
  FinishMailboxSplit(splitter);
  return true;
}

// The header of message `m` (separator line included) up to its empty line.
std::string ReadHeader(int fd, const MailboxMessage& m) {
  std::string text;
  size_t want = size_t(std::min<long long>(m.length, (long long)kKeyHeaderBytes));
  ReadMailboxBytes(fd, m.offset, want, text);
  size_t end = text.find("\n\r\n");
  size_t end2 = text.find("\n\n");
  if (end2 != std::string::npos && (end == std::string::npos || end2 < end)) end = end2;
  if (end != std::string::npos) text.resize(end + 1);
  return text;
}

// The unique ids of the maildrop; headers are read only for the messages whose
// Message-id cannot serve.
std::vector<std::string> BuildUniqueIds(int fd, const MailboxIndex& index) {
  std::vector<UidSource> sources(index.messages.size());
  std::unordered_set<std::string> seen;
  seen.reserve(index.messages.size());
  for (size_t i = 0; i < index.messages.size(); ++i) {
    const MailboxMessage& m = index.messages[i];
    sources[i].messageId = m.messageId;
    bool usable = IsUsableUid(m.messageId) && seen.insert(m.messageId).second;
    if (!usable) sources[i].stableKey = StableMessageKey(ReadHeader(fd, m), m.length);
  }
  return AssignUniqueIds(sources);
}

// True when the commit would write the mailbox back byte for byte: nothing
// deleted, no text before the first message, and every "Status:" line already
// what the commit would make it (a client fetching the same mailbox again). The
// commit then only writes the .mid file instead of copying and flushing the
// whole mailbox.
bool RewriteWouldChangeNothing(const Pop3Session& s) {
  if (s.index.messages.empty() || s.index.messages.front().offset != 0) return false;
  if (s.index.LiveCount() != s.index.messages.size()) return false;
  std::string block, edited;
  for (size_t i = 0; i < s.index.messages.size(); ++i) {
    const MailboxMessage& m = s.index.messages[i];
    size_t want = size_t(std::min<long long>(m.length, (long long)kMailbox.copyBlockBytes));
    if (!ReadMailboxBytes(s.mailbox.get(), m.offset, want, block)) return false;
    edited = block;
    ApplyStatusHeader(edited, s.retrieved[i] != 0);
    if (edited != block) return false;
  }
  return true;
}

// Opens the mailbox without sharing; a reader (finger, RMCP) that has it open
// for a moment is waited for briefly. An invalid handle with `err` 2 means
// there is no mailbox file.
UniqueFd OpenMailboxRetrying(const std::string& path, int& err) {
  uint32_t start = GetTickCount32();
  for (;;) {
    err = 0;
    UniqueFd fd = OpenMailboxForReading(path, &err);
    if (fd.valid() || err != kErrSharingViolation ||
        TickElapsed(GetTickCount32(), start) >= kPop3.openRetryMs)
      return fd;
    SleepMs(10);
  }
}

// The highest accessed message renumbered for the table without the deleted
// messages: the kept messages up to it, less one.
int RenumberHighest(const Pop3Session& s) {
  if (s.highest < 0) return -1;
  long long kept = 0;
  for (size_t i = 0; i < s.index.messages.size() && (long long)i <= s.highest; ++i)
    if (!s.index.messages[i].deleted) ++kept;
  return int(kept - 1);
}

// Replaces the mailbox by its text before the first message (every message was
// deleted, but that text is no message and stays).
bool KeepOnlyPreamble(Pop3Session& s, long long preamble, std::string& why) {
  std::string text;
  if (!ReadMailboxBytes(s.mailbox.get(), 0, size_t(preamble), text)) {
    why = "Error reading mailbox file.";
    return false;
  }
  std::string sibling = MailboxSiblingPath(s.mailboxPath);
  UniqueFd out = OpenExclusive(sibling, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!out.valid() || !WriteAll(out.get(), text.data(), text.size()) || !SyncFile(out.get()) ||
      !out.close_checked() || RenameReplace(sibling, s.mailboxPath) != 0) {
    out.reset();
    DeleteFileWin(sibling);
    why = "Error writing mailbox copy.";
    return false;
  }
  SyncParentDirectory(s.mailboxPath);
  DeleteFileWin(MidFilePath(s.mailboxPath));
  return true;
}

}  // namespace

MaildropOpen OpenMaildrop(Pop3Session& s, NetNode* node) {
  if (!(GetUserAccess(s.user, "") & kAccessPop3)) {
    LogEvent(0, kLogPop3, "P3-%04x: User '%s' not allowed to access service.", s.id,
             VisibleText(s.user).c_str());
    return MaildropOpen::kNotAllowed;
  }
  std::string account;
  if (!ResolveAccountName(s.user, account, "")) account = s.user;
  bool timedOut = false;
  if (!LockMailbox(account, kMailbox.pop3LockMs, s.lock, timedOut)) {
    if (timedOut) {
      LogEvent(0, kLogPop3, "P3-%04x: Mailbox locked.", s.id);
      return MaildropOpen::kLocked;
    }
    LogEvent(0, kLogPop3, "P3-%04x: Unable to create shared object for mailbox access.", s.id);
    return MaildropOpen::kFailed;
  }
  auto fail = [&](const std::string& why) {
    LogEvent(0, kLogPop3, "P3-%04x: Unable to access mailbox.", s.id);
    if (!why.empty()) LogEvent(0, kLogPop3Debug, "P3-%04x: %s", s.id, why.c_str());
    CloseMaildrop(s);
    return MaildropOpen::kFailed;
  };
  s.mailboxPath.clear();
  if (!GetMailboxPath(account, s.mailboxPath, "", true) || s.mailboxPath.empty())
    return fail("The account has no mailbox.");
  s.index = MailboxIndex();
  s.highest = -1;
  if (strcasecmp(s.mailboxPath.c_str(), kNullMailbox) != 0) {
    int err = 0;
    s.mailbox = OpenMailboxRetrying(s.mailboxPath, err);
    if (!s.mailbox.valid() && err != kErrFileNotFound && err != kErrPathNotFound)
      return fail("Unable to open mailbox file: error " + std::to_string(err));
    if (s.mailbox.valid()) {
      std::string why;
      if (!IndexWhileConnected(s.mailbox.get(), node, s.index, why)) return fail(why);
      s.uids = BuildUniqueIds(s.mailbox.get(), s.index);
    }
  }
  s.retrieved.assign(s.index.messages.size(), 0);
  s.liveCount = (long long)s.index.messages.size();
  s.liveSize = s.index.LiveBytes();
  s.retrievedAny = false;
  if (!s.index.messages.empty())
    s.highest = ReadMidFile(MidFilePath(s.mailboxPath), s.index.messages.size());
  s.opened = true;
  return MaildropOpen::kOpened;
}

void CloseMaildrop(Pop3Session& s) {
  s.mailbox.reset();
  UnlockMailbox(s.lock);
  s.opened = false;
}

bool CommitMaildrop(Pop3Session& s, std::string& why) {
  if (!s.opened) {
    CloseMaildrop(s);
    return true;
  }
  bool ok = true;
  if (!s.mailbox.valid()) {
    // No mailbox file: nothing to rewrite, and no message to remember.
    if (!s.mailboxPath.empty() && strcasecmp(s.mailboxPath.c_str(), kNullMailbox) != 0)
      DeleteFileWin(MidFilePath(s.mailboxPath));
  } else if (s.index.messages.empty()) {
    // A file that holds no message is not ours to delete: its text stays.
    DeleteFileWin(MidFilePath(s.mailboxPath));
  } else {
    long long preamble = s.index.messages.front().offset;
    long long live = (long long)s.index.LiveCount();
    if (preamble > kMaxPreambleBytes && live != (long long)s.index.messages.size()) {
      why = "The text before the first message is too large to rewrite.";
      ok = false;
    } else if (preamble > 0 && live == 0) {
      ok = KeepOnlyPreamble(s, preamble, why);
    } else {
      std::string preambleText;
      if (preamble > 0 && !ReadMailboxBytes(s.mailbox.get(), 0, size_t(preamble), preambleText)) {
        why = "Error reading mailbox file.";
        ok = false;
      }
      bool first = true;
      MailboxBlockEdit edit = [&](size_t i, std::string& block) {
        ApplyStatusHeader(block, s.retrieved[i] != 0);
        if (first && !preambleText.empty()) block.insert(0, preambleText);
        first = false;
      };
      if (ok) {
        bool changed = s.retrievedAny && !RewriteWouldChangeNothing(s);
        RewriteOutcome outcome = RewriteMailbox(s.mailboxPath, s.mailbox, s.index, changed,
                                                RenumberHighest(s), edit, why);
        ok = outcome != RewriteOutcome::kFailed;
      }
    }
  }
  CloseMaildrop(s);
  return ok;
}
