// The IMAP4rev1 server (RFC 3501) on the same mailbox files as POP3 and the
// router: the listener, one session per connection driven by the network
// layer's callbacks of service 8, and the folder state shared by the sessions
// of this process.
//
// INBOX is the account's mailbox file. Its flags, UIDs and UIDVALIDITY live in
// a sidecar index beside it (the mailbox path with the extension ".imx"), which
// is rebuilt from the mailbox when it is missing or cannot be trusted; the mail
// itself is only ever in the mailbox. A session never holds the mailbox lock
// between commands: each command opens the file without sharing (as finger
// does), notices appends and rewrites by its identity, and lets it go again,
// so the router appends while a client sits in IDLE. EXPUNGE rewrites the file
// through the sibling rename under the mailbox lock, as POP3's commit does.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

struct NetNode;

// ---- Numbers -------------------------------------------------------------------

// Session states (the node's owner state).
enum ImapState : int32_t {
  kImapGreet = 1,
  kImapNotAuthenticated = 2,
  kImapAuthenticated = 3,
  kImapSelected = 4,
  kImapIdle = 5,
  kImapAuthPlain = 6,       // AUTHENTICATE PLAIN waits for the client's response
  kImapLoginDelay = 7,      // a failed login waits before its NO
  kImapLogout = 8,
};

struct ImapLimits {
  size_t lineBytes;             // a command line (without its literals)
  size_t commandBytes;          // a whole command with its literals
  uint16_t idleTimeoutSeconds;  // RFC 3501's 30 minutes without a command
  int closeDelaySeconds;
  int listenBacklog;
  uint32_t ringBytes;
  size_t headerWindowBytes;     // a message's header is looked for in this much
  size_t sessionsPerUser;       // logged-in sessions of one account
  uint32_t rewriteLockMs;       // EXPUNGE waits this long for the mailbox lock
  uint32_t openRetryMs;         // a mailbox held by a reader is retried this long
  uint32_t idlePollMs;          // IDLE looks at the mailbox again after this long (sooner when woken)
  size_t keywordsPerMessage;    // keywords (flags without a backslash) kept on one message
  size_t keywordBytes;          // the longest keyword
  size_t appendMessages;        // messages of one APPEND (MULTIAPPEND)
};
inline constexpr ImapLimits kImap = {
    8192, 65536, 1800, 10, 10, 16384, 16384, 20, 2000, 1000, 500, 32, 64, 100,
};

// Message flags, a bit each; the system flags clients know.
enum ImapFlag : uint8_t {
  kFlagSeen = 0x01,
  kFlagAnswered = 0x02,
  kFlagFlagged = 0x04,
  kFlagDeleted = 0x08,
  kFlagDraft = 0x10,
};
struct ImapFlagName {
  ImapFlag flag;
  const char* name;
};
inline constexpr ImapFlagName kImapFlagNames[] = {
    {kFlagSeen, "\\Seen"},         {kFlagAnswered, "\\Answered"}, {kFlagFlagged, "\\Flagged"},
    {kFlagDeleted, "\\Deleted"},   {kFlagDraft, "\\Draft"},
};

// ---- The folder state (imap_folder.cpp) ----------------------------------------
//
// The sidecar holds "CORVEL-IMAP-INDEX 1", then "<uidvalidity> <uidnext>", then a
// line a message: "<uid> <flag bits> <key>" and its keywords, each after a space.

// One message of a folder.
struct ImapMessage {
  uint32_t uid = 0;
  uint8_t flags = 0;
  uint64_t changed = 0;      // the folder's change count when its flags last changed
  std::string key;           // what identifies it across rescans and rewrites
  long long offset = 0;      // its separator line in the file
  long long length = 0;      // stored bytes up to the next separator
  long long textOffset = 0;  // the message as IMAP serves it: after the separator line
  long long textSize = 0;    // ... without the empty lines that close it
  time_t date = 0;           // the separator line's time (INTERNALDATE)
  std::string keywords;      // its keywords, space-separated ("" = none)
};

// A folder as every session of this process sees it, guarded by its mutex; a
// command holds the mutex from its start to its last reply line.
struct ImapFolder {
  std::mutex mutex;
  std::string path;          // the mbox file
  std::string indexPath;     // its sidecar
  bool loaded = false;       // the sidecar was read (or found missing)
  uint32_t uidValidity = 0;
  uint32_t uidNext = 1;
  uint64_t changes = 0;      // counts flag changes
  std::vector<ImapMessage> messages;
  // What the messages were indexed from; a change means an append or a rewrite.
  bool scanned = false;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  long long size = 0;
  timespec modified{};
  // The sidecar's entries not yet matched with a scan (from the file at load).
  std::vector<ImapMessage> saved;
};

// The folder record of `path`, shared by the process's sessions (made on first use).
std::shared_ptr<ImapFolder> FindImapFolder(const std::string& path);

// Drops every folder record (tests: what a restart of the server forgets).
void ForgetImapFolders();
// Drops the record of one folder (deleted or renamed); sessions that hold it
// find its file gone.
void ForgetImapFolder(const std::string& path);

// The sidecar of a mailbox path: its extension replaced by ".imx".
std::string ImapIndexPath(const std::string& mailboxPath);

// Opens the folder's file without sharing, waiting briefly for a reader that
// holds it. An invalid handle with `missing` true when there is no file; false
// `missing` means it is held (by POP3) or unreadable.
UniqueFd OpenImapFolderFile(const std::string& path, bool& missing);

// Brings the folder up to date with the open file `fd` (-1: no file): a grown
// file has its new messages indexed and numbered; a replaced or shrunk file is
// rescanned and its messages matched by key, keeping their UIDs; when the order
// of the kept messages cannot be trusted the folder gets a new UIDVALIDITY and
// every message a new UID. Writes the sidecar when anything changed. Call with
// the folder's mutex held. False with `why` when the file cannot be read.
bool SyncImapFolder(ImapFolder& folder, int fd, std::string& why);

// Writes the sidecar (a temporary renamed over it). False when it could not.
bool SaveImapIndex(const ImapFolder& folder);

// EXPUNGE: rewrites the file without the messages flagged \Deleted (Status
// lines agreeing with \Seen) through the sibling rename. The caller holds the
// folder's mutex and the account's mailbox lock, taken before the file was
// opened (the router's order). `fd` is the open file, closed here. `removed`
// gets the UIDs removed. False with `why` (the mailbox is then as it was).
bool ExpungeImapFolder(ImapFolder& folder, UniqueFd& fd, std::vector<uint32_t>& removed,
                       std::string& why);

// Reads `length` bytes of a message's text at `from` (relative to its text).
bool ReadImapText(int fd, const ImapMessage& m, long long from, long long length,
                  std::string& out);

// ---- Folders (imap_mailboxes.cpp) ----------------------------------------------

// The special-use folders every account gets at its first login (RFC 6154).
struct ImapSpecialUse {
  const char* name;
  const char* flag;
};
inline constexpr ImapSpecialUse kImapSpecialFolders[] = {
    {"Archive", "\\Archive"}, {"Drafts", "\\Drafts"}, {"Junk", "\\Junk"},
    {"Sent", "\\Sent"},       {"Trash", "\\Trash"},
};

// The directory of an account's folders beside its mailbox ("alice.folders/"
// for "alice.mbx"); a folder is an mbox file "<name>.mbx" in it. Folder names
// are hierarchical with "/" between levels: "Work/2026" is the file
// "Work/2026.mbx" there, and the directory "Work/" holds the children of
// "Work". A directory without its mbox file is a name that only has children
// (\Noselect).
std::string ImapFolderDirectory(const std::string& inboxPath);
// "INBOX" in any case.
bool IsInboxName(std::string_view name);
// A name a folder may have: levels separated by single '/', none empty, none
// beginning with a dot (so no "." or ".."), printable ASCII without '\\' or
// wildcards, valid modified UTF-7; not INBOX nor below it; bounded in length
// and depth.
bool IsValidFolderName(std::string_view name);
// True when `text` is valid modified UTF-7 (RFC 3501's mailbox names): "&-" for
// '&', "&<modified base64 of UTF-16>-" for what is not printable ASCII.
bool IsModifiedUtf7(std::string_view text);
// The file of folder `name` (INBOX: the account's mailbox).
std::string ImapFolderPath(const std::string& inboxPath, std::string_view name);
// The directory holding the children of folder `name`.
std::string ImapFolderChildDirectory(const std::string& inboxPath, std::string_view name);
// The special-use flag of a folder name, null when none.
const char* SpecialUseOf(std::string_view name);
// Makes the folder directory with the special-use folders, subscribed, when
// the account has no folder directory yet.
void EnsureSpecialFolders(const std::string& inboxPath);
// One name of the account's folder tree.
struct ImapFolderNode {
  std::string name;
  bool selectable = false;  // its mbox file exists
  bool children = false;    // names exist below it
};
// Every folder name other than INBOX, those that only have children too,
// sorted by name.
std::vector<ImapFolderNode> ListImapFolderTree(const std::string& inboxPath);
// The folders other than INBOX that have their file, sorted by name.
std::vector<std::string> ListImapFolders(const std::string& inboxPath);
// The subscribed folder names, one a line.
std::string ReadImapSubscriptions(const std::string& inboxPath);
bool WriteImapSubscriptions(const std::string& inboxPath, const std::string& text);
// One message to append: from `fd` (read from its start) when it is valid,
// else `text`; `when` is its INTERNALDATE (0: now).
struct ImapAppendSource {
  int fd = -1;
  std::string_view text;
  time_t when = 0;
};
// Appends messages to the folder file at `path`, all or none (the caller holds
// what excludes other writers); lines that would read as separators are
// quoted. On stable storage when it returns true; false with `why`, nothing
// left behind.
bool AppendImapMessages(const std::string& path, const std::string& sender,
                        const std::vector<ImapAppendSource>& messages, std::string& why);

// ---- Parsing (imap_parse.cpp) --------------------------------------------------

// One parsed element of a command: an atom, a quoted string or literal, a
// parenthesised list.
struct ImapItem {
  enum Kind { kAtom, kString, kList, kNil } kind = kAtom;
  std::string text;
  std::vector<ImapItem> list;
};

// Splits a command (literals already inlined by the reader) into its tag, its
// command word (upper-cased) and its arguments. False with `why` on a syntax
// error.
bool ParseImapCommand(std::string_view line, std::string& tag, std::string& word,
                      std::vector<ImapItem>& args, std::string& why);

// A sequence set ("1:3,5,7:*") resolved against `highest` (the number of
// messages, or the highest UID); each range as first..last with first <= last.
// False when it is malformed.
struct ImapRange {
  uint32_t first = 0, last = 0;
};
bool ParseSequenceSet(std::string_view text, uint32_t highest, std::vector<ImapRange>& out);
bool InSequenceSet(const std::vector<ImapRange>& set, uint32_t value);

// A literal announcement at the end of a line: "{123}" or "{123+}". Returns the
// byte count, -1 when the line ends otherwise; `plus` tells the non-synchronising form.
long long LiteralAtEnd(std::string_view line, bool& plus);

// The flag bits of a flag list item (atoms or a list) and its keywords
// (space-separated, each once, in the order given); false for an unknown
// system flag, a keyword that is not an atom, or more or longer keywords than
// kImap allows. Without `keywords` they are accepted and dropped.
bool ParseFlagList(const ImapItem& item, uint8_t& flags, std::string* keywords = nullptr);
// "(\Seen \Flagged $Label1)".
std::string FormatFlags(uint8_t flags, std::string_view keywords = {});
// True when the keyword list holds `word` (without regard to case).
bool HasKeyword(std::string_view keywords, std::string_view word);
// The keyword list `have` after STORE's FLAGS ('='), +FLAGS ('+') or -FLAGS ('-')
// with `change`; at most kImap.keywordsPerMessage are kept.
std::string ChangeKeywords(std::string_view have, std::string_view change, char how);

// A quoted string or literal for `text`: quoted when it is short and plain.
std::string QuoteImapString(std::string_view text);
// The envelope of a message whose header (up to the empty line) is `header`.
std::string FormatImapEnvelope(std::string_view header);
// The BODYSTRUCTURE of a message text (with `extended`), or its BODY.
std::string FormatImapBodyStructure(const std::string& text, bool extended);
// Splits a numbered section ("1.2.MIME", "3.HEADER.FIELDS") into its part path
// and what follows. False when it is not one.
bool ParseMimeSection(const std::string& spec, std::vector<unsigned>& path, std::string& rest);
// The bytes of a numbered section (HEADER.FIELDS gives the whole header of the
// attached message, to be filtered by the caller). False when no such part.
bool ExtractMimeSection(const std::string& text, const std::vector<unsigned>& path,
                        const std::string& rest, std::string& out);

// The INTERNALDATE text of a time ("04-Dec-2026 10:00:00 +0000").
std::string FormatInternalDate(time_t t);
// The time of a separator line's ctime date ("From x Fri Dec  4 10:00:00 2026"),
// 0 when none can be read.
time_t ParseSeparatorDate(std::string_view separator);
// APPEND's date-time ("04-Dec-2026 10:00:00 +0100", the day may be " 4"); false
// when malformed or out of range.
bool ParseImapDateTime(std::string_view text, time_t& out);
// A SEARCH date ("4-Dec-2026"); false when malformed.
bool ParseSearchDate(std::string_view text, time_t& out);

// ---- Sessions (imap_session.cpp, imap_server.cpp) ------------------------------

struct ImapSession {
  uint16_t id = 0;
  int socket = -1;
  bool listener = false;
  bool implicitTls = false;
  bool tlsOn = false;
  in_addr peer{};
  bool counted = false;
  bool closing = false;

  // The command being read: its text with literals inlined.
  std::string command;
  // APPEND's messages (several with MULTIAPPEND), streamed to disk; the last
  // is the one being read.
  struct AppendFile {
    UniqueFd fd;
    std::string path;
  };
  std::vector<AppendFile> appends;
  long long literalLeft = 0;   // literal bytes still to come
  bool discarding = false;     // a too-long command: its rest is skipped
  bool discardLine = false;    // skipping to the end of the current line
  std::string pendingOut;      // composed replies the send ring did not take yet
  std::string tag;             // of the command waiting (IDLE, AUTHENTICATE, delay)
  uint32_t waitStart = 0;      // the login delay's start, IDLE's last look
  int32_t idleFrom = 0;        // the state IDLE returns to
  std::atomic<bool> woken{false};  // the router appended to the idling folder

  std::string user;            // the account name, once logged in
  std::string mailboxPath;     // INBOX of the account
  bool readOnly = false;       // EXAMINE
  std::shared_ptr<ImapFolder> folder;
  std::vector<uint32_t> view;  // UIDs of the selected folder as the client knows them
  std::vector<char> gone;      // per view entry: expunged, not yet announced
  uint64_t seenChanges = 0;    // the folder's change count the client was told of
};

// Closes and removes the files an APPEND streamed its messages to (if any).
void DropAppendFile(ImapSession& s);

// Start-up: registers the service's callbacks and the router's append hook.
bool ImapInit(std::string& why);
// Starts the listener on `bindAddress` and `port` (0 = any free port, for tests);
// `implicitTls` makes the IMAP-over-TLS listener. `boundPort` gets the port.
bool ImapListen(const std::string& bindAddress, int port, std::string& why,
                int* boundPort = nullptr, bool implicitTls = false);
// Start-up (UseImap on): ImapListen on ImapPort, and with UseTls and UseImaps on
// ImapsPort. Logs what it started; false with `why` on failure.
bool ImapStartListener(std::string& why);
// Sessions logged in as `account` (for the per-user limit), changed by `delta`.
int CountImapLogins(const std::string& account, int delta);

// Wakes the sessions idling on the mailbox at `path` (the router's hook).
void WakeImapIdlers(const std::string& path);
// Remembers that the session of `socket` idles on `path` ("" = no longer).
void SetImapIdling(int socket, const std::string& path);

// Network callbacks of service 8.
bool ImapAccept(uint16_t service, void* listenerOwner, int socket, const sockaddr_in& peer);
bool ImapOnData(NetNode* node, uint16_t service, int32_t* ownerState, void* owner, int parameter);
void ImapOnClose(void* owner, uint16_t service, int32_t ownerState, int32_t nodeState,
                 int reason);
