// Mailbox files: one plain text file per user account, a run of messages each
// opened by a separator line "From <sender> <ctime>" and closed by an empty line.
// The router appends to it, POP3 reads, indexes and rewrites it, finger and RMCP
// read it. Writers and the POP3 reader exclude each other with the named lock
// "Corvel-MailboxAccess-<account>"; every open of a mailbox file is also
// "without sharing" (an exclusive flock), so an opener that does not take the
// named lock still cannot read half an append.
//
// Durability: an append is on stable storage when FinishMailboxAppend returns
// true, before the router marks the recipient done. A failed append is cut back
// to the length the mailbox had before it, so a bounced message never leaves half
// a copy behind. A rewrite writes the sibling file, flushes it and renames it over
// the mailbox in one step, so a crash leaves either the old or the new mailbox.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/named_lock.h"

// ---- Constants ---------------------------------------------------------------------

struct MailboxLimits {
  const char* lockFormat;       // the named lock of an account
  size_t lockNameChars;         // the account name is cut to this many characters
  uint32_t routerLockMs;        // the router never waits for a mailbox
  uint32_t routerNodesLockMs;   // ...but for another node's append, briefly
  uint32_t pop3LockMs;          // a POP3 login waits this long
  uint32_t appendOpenRetryMs;   // an existing mailbox that cannot be opened is retried
  uint32_t appendRetryPollMs;   // pause between two open attempts
  size_t messageTableStep;      // message tables grow by at least this many entries
  size_t copyBlockBytes;        // rewrite copies in blocks of this size
  size_t messageIdChars;        // a longer Message-id: value is cut
};
inline constexpr MailboxLimits kMailbox = {
    "Corvel-MailboxAccess-%s", 100, 0, 200, 10000, 500, 10, 50, 16384, 256,
};

// The append note: a small file beside the mailbox (its path plus this suffix),
// one line per append since the router last made its marks durable:
//   "B <length before> <key>" when an append starts,
//   "E <key>"                 when it is whole.
// An append holds the mailbox open without sharing from its "B" to its "E", so
// whoever opens the mailbox and finds a "B" without its "E" knows that the append
// was cut off (the process died) and cuts the mailbox back to that length: a
// crash never leaves half a message that readers would take for a whole one.
// The "E" lines let the router, retrying a spool file after a crash, see that a
// recipient was already delivered though its mark never reached the spool file,
// and skip the second copy. The router removes the note once its marks are
// durable (ForgetFinishedAppends).
inline constexpr const char* kAppendNoteSuffix = ".append";

// A mailbox path of this text (any case) means "discard the message".
inline constexpr const char* kNullMailbox = "null";
inline constexpr const char* kMidExtension = ".mid";

// ---- Lock --------------------------------------------------------------------------

// The lock name of an account: the format filled with the account name folded to
// lower case (so "Alice" and "alice" share one lock) and cut to 100 characters.
std::string MailboxLockName(const std::string& account);

// A held mailbox lock; released when destroyed.
struct MailboxLock {
  NamedLock lock;
  bool held() const { return lock.held(); }
};

// Waits up to `timeoutMs` for the account's lock. True with the lock in `out`.
// False with `timedOut` set when another holder kept it; false with `timedOut`
// clear when the lock could not be made at all.
bool LockMailbox(const std::string& account, uint32_t timeoutMs, MailboxLock& out,
                 bool& timedOut);
// Releases the lock (a lock not held is ignored).
void UnlockMailbox(MailboxLock& lock);

// ---- Appending (router side, under the lock) ---------------------------------------

enum class AppendOpen {
  kOpened,           // `out` holds the open file, the separator is written
  kDiscard,          // the mailbox is "null": the message counts as delivered
  kUnknown,          // no mailbox path: bounce "User '%s' unknown"
  kBusy,             // the file could not be opened: leave the recipient pending
  kSeparatorFailed,  // bounce "Error opening mailbox file for user '%s'."
  kAlreadyDone,      // the note shows this key's append whole: nothing written
};

// One append in progress.
struct MailboxAppend {
  UniqueFd fd;
  std::string path;
  long long startSize = 0;  // length of the mailbox before this append
  bool created = false;     // the file did not exist before this append
  std::string key;          // names the delivery in the append note ("" = none)
  std::string noteKept;     // the note's finished lines from earlier appends
};

// The mailbox path of `account` in `domain`, aliases followed; with `allowUnknown`
// the path of the account "unknown" when the account has none. False when there
// is none.
bool FindMailboxPath(const std::string& account, const std::string& domain, bool allowUnknown,
                     std::string& path);

// Opens the file at `path` for an append and writes the separator: an empty line
// first when the file already holds messages. An existing file that cannot be
// opened (held by a reader, say) is retried for kMailbox.appendOpenRetryMs. A file
// that was replaced or removed between the open and its lock is opened again.
// `winErr` (optional) gets the last open error.
// With a `key` (no blanks or line ends), a key already finished in the note
// gives kAlreadyDone. `when` is the separator's time (0: now).
AppendOpen OpenMailboxFileForAppend(const std::string& path, const std::string& sender,
                                    MailboxAppend& out, int* winErr = nullptr,
                                    const std::string& key = "", time_t when = 0);
// FindMailboxPath, then the above ("null" gives kDiscard). The caller holds the lock.
AppendOpen OpenMailboxForAppend(const std::string& account, const std::string& domain,
                                bool allowUnknown, const std::string& sender,
                                MailboxAppend& out, const std::string& key = "");
// Removes the append notes of `paths` (their appends are marked durably now).
// Each under its account's lock (`accounts`, same order), skipped when busy.
void ForgetFinishedAppends(const std::vector<std::string>& paths,
                           const std::vector<std::string>& accounts);

// Writes the end mark (CRLF), flushes the file (and, for a new file, its
// directory) to stable storage and closes it. False with `why` ("Error writing
// mailbox separator" when the end mark failed); the append is then cut back.
// Without `flush` the caller flushes later (FlushMailboxFiles), together with
// other appends, before it reports any of them delivered.
bool FinishMailboxAppend(MailboxAppend& append, std::string& why, bool flush = true);
// Flushes the named mailbox files (and the directories of `created` ones) to
// stable storage, in parallel, so that many appends cost about one flush. False
// when any flush failed.
bool FlushMailboxFiles(const std::vector<std::string>& paths,
                       const std::vector<std::string>& created);
// Cuts the mailbox back to its length before the append (removing a file this
// append created) and closes it. For a failed copy.
void AbandonMailboxAppend(MailboxAppend& append);

// ---- Reading -----------------------------------------------------------------------

// One message of a mailbox: from its separator line up to the next separator or
// the end of the file.
struct MailboxMessage {
  long long offset = 0;
  long long length = 0;
  bool deleted = false;
  std::string messageId;  // value of the "Message-id:" header; empty when none
};

struct MailboxIndex {
  std::vector<MailboxMessage> messages;
  long long size = 0;  // bytes of the file that were indexed
  // Messages not marked deleted, and their total size.
  size_t LiveCount() const;
  long long LiveBytes() const;
};

// Splits the text of a mailbox into messages: a message starts at every line that
// begins with "From " (case-sensitive) and is the first line of the file or
// follows an empty line. Bytes before the first separator belong to no message.
// Streamed: feed blocks in order, then finish.
struct MailboxSplitter {
  MailboxIndex* index = nullptr;
  long long position = 0;      // offset of the next byte fed
  long long lineStart = 0;
  std::string lineHead;        // the current line's first bytes (at most a header line)
  bool lineHeadFull = false;   // the current line is longer than lineHead keeps
  bool previousEmpty = true;   // the line before the current one was empty (or none)
  bool inHeader = false;       // between a separator and the first empty line
  long long lines = 0;         // line ends fed so far
};
void BeginMailboxSplit(MailboxSplitter& s, MailboxIndex& index);
// Feeds the next bytes of the file. With `maxLines` > 0 it stops after that many
// line ends. Returns the bytes taken (all of `data` when not stopped early).
size_t FeedMailboxSplit(MailboxSplitter& s, std::string_view data, size_t maxLines = 0);
void FinishMailboxSplit(MailboxSplitter& s);

// Indexes the open file from its start. False with `why` when it cannot be read.
bool IndexMailbox(int fd, MailboxIndex& out, std::string& why);

// Opens a mailbox for reading without sharing (first cutting off what an append
// that died left behind). A missing file gives an invalid handle with `winErr` 2
// (an empty maildrop, not an error, for POP3).
UniqueFd OpenMailboxForReading(const std::string& path, int* winErr = nullptr);

// Reads `length` bytes at `offset` (a message or a part of one). False when the
// file is shorter or cannot be read.
bool ReadMailboxBytes(int fd, long long offset, size_t length, std::string& out);

// Cuts off an append that was cut off by a crash (a "B" line without its "E") and
// rewrites the note with its finished lines; `kept` gets them. Call with the
// mailbox open without sharing. True when something was cut off.
bool RepairUnfinishedAppend(const std::string& mailboxPath, std::string* kept = nullptr);

// ---- The .mid file -----------------------------------------------------------------

// The mailbox path with its extension replaced by ".mid" (appended when the file
// name has none).
std::string MidFilePath(const std::string& mailboxPath);
// The 0-based index of the highest message a POP3 client accessed, -1 when none:
// a missing or short file, or a value outside 0 .. messageCount - 1, read as -1.
int ReadMidFile(const std::string& midPath, size_t messageCount);
// Writes `highest` (lowered to messageCount - 1 when beyond) as 4 little-endian
// bytes, replacing the file. A file that cannot be written is deleted, so the next
// session starts with no message read. False then.
bool WriteMidFile(const std::string& midPath, int highest, size_t messageCount);

// ---- Rewriting (POP3 side, under the lock) -----------------------------------------

// The sibling a rewrite writes first: the mailbox path with its last character
// replaced by 'z' ("alice.mbx" -> "alice.mbz").
std::string MailboxSiblingPath(const std::string& mailboxPath);

// Called with the first block (at most kMailbox.copyBlockBytes) of each kept
// message, by its index in the old table; may change the block (POP3's "Status:").
using MailboxBlockEdit = std::function<void(size_t index, std::string& block)>;

enum class RewriteOutcome {
  kRewritten,   // the kept messages are now the mailbox
  kMidOnly,     // nothing changed: only the .mid file was written
  kRemoved,     // every message was deleted: mailbox and .mid file are gone
  kFailed,      // the sibling could not be written; the mailbox is as it was
};

// Commits a POP3 session. `mailbox` is the open file `index` was built from; it
// is closed in every case. With no message deleted and `changed` false only the
// .mid file is written; with none kept the mailbox and its .mid file are
// deleted; otherwise the kept messages are copied to the sibling, which is
// flushed and renamed over the mailbox, and the .mid file is written with
// `highest` (numbered in the new table by the caller).
RewriteOutcome RewriteMailbox(const std::string& path, UniqueFd& mailbox,
                              const MailboxIndex& index, bool changed, int highest,
                              const MailboxBlockEdit& edit, std::string& why);
