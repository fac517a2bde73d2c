// Spool files: every message inside the server is a file in the incoming or the
// outgoing directory, an envelope ("From: sender", one "To: recipient" per
// recipient, an empty line) followed by the message with CRLF line ends.
//
// A message we submitted ourselves (taken from a client in RelayNetworks or an
// authenticated session, or made here: bounces, notices, list posts, responder
// answers) carries the line "Origin: local" right after its "From:" line, and
// every copy the router makes of it keeps the line. Only such mail is signed on
// its way out; mail from outside forwarded on keeps no such line, whatever its
// sender claims. A file without the line reads as before.
//
// Producers never write a final name in place: they write a .wrm temporary
// (CreateSpoolTemp), close it and commit it by a rename that never replaces
// (CommitSpoolFile), so a scanner never sees half a message. The commit is the
// moment a message becomes the server's responsibility, so it is durable: the
// file's data reach stable storage before the rename and the directory entry
// after it. The recipient done-mark is flushed the same way.
//
// Names are the 32-bit tick counter in 8 lower-case hex digits; uniqueness comes
// only from probing, never from a lock. The process remembers the last number it
// used in each directory and moves past it when names are taken faster than the
// counter advances, so a free name is found in one probe. Concurrent commits in
// one directory share its flush (group commit), and so do their data flushes;
// none returns before the flush that covers its rename has ended.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

// ---- Names -------------------------------------------------------------------------

// The kinds of spool file, by extension (compared without regard to case).
struct SpoolKind {
  const char* extension;  // with the dot
  const char* meaning;
};
inline constexpr SpoolKind kSpoolKinds[] = {
    {".wrm", "temporary file being written"},
    {".in", "complete message for the router"},
    {".out", "complete message for remote recipients"},
    {".inr", "message waiting for a locked mailbox"},
    {".err", "message whose envelope could not be read"},
    {".ml", "list post held for moderation"},
    {".mla", "released list post"},
    {".our", "outgoing message held for a retry"},
    {".fre", "empty spare file kept for the next temporary"},
};
inline constexpr const char* kTempExtension = ".wrm";
inline constexpr const char* kIncomingExtension = ".in";
inline constexpr const char* kOutgoingExtension = ".out";
inline constexpr const char* kRetryExtension = ".our";
inline constexpr const char* kSpareExtension = ".fre";
// The file of a spool directory that keeps the end of its lease of numbers.
inline constexpr const char* kSpoolLeaseFile = "spool.lease";

// "%s%08lx" + extension: `dir` (ending in '/'), the number, the extension.
std::string FormatSpoolName(const std::string& dir, uint32_t number, const char* extension);
// A name in `dir` whose number was never handed out before in this boot, by this
// process or an earlier one (the directory keeps the end of its lease of numbers
// in "spool.lease"). Whether a file of that name exists is for the caller to probe.
std::string FreshSpoolName(const std::string& dir, const char* extension);

// ---- File primitives ---------------------------------------------------------------
// Each returns an invalid handle or false on failure; `winErr` (optional) gets the
// Windows error number (2 missing, 32 held by another opener, ...).

// Opens an existing file for reading, without sharing.
UniqueFd SpoolOpenRead(const std::string& path, int* winErr = nullptr);
// Opens an existing file for reading and writing, without sharing.
UniqueFd SpoolOpenUpdate(const std::string& path, int* winErr = nullptr);
// Opens for writing. With `create` the file is created or truncated; without it
// an existing file is opened positioned at its end (appends). Without `shareRead`
// the open takes the exclusive lock.
UniqueFd SpoolOpenWrite(const std::string& path, bool create, bool shareRead,
                        int* winErr = nullptr);
// True when an entry of that exact name exists.
bool SpoolExists(const std::string& path);
// Writes the bytes and, with `addCrlf`, CRLF after them. Returns the success of
// the last write.
bool SpoolWrite(int fd, const void* bytes, size_t length, bool addCrlf);
bool SpoolWrite(int fd, std::string_view text, bool addCrlf = false);
// One read: true with `got` (0 at the end) unless the system reports failure.
bool SpoolRead(int fd, void* buffer, size_t size, size_t& got);
// Moves the file position (origin SEEK_SET/SEEK_CUR/SEEK_END); `newPos` optional.
bool SpoolSeek(int fd, long long offset, int origin, long long* newPos = nullptr);
// Closes and reports the result (the handle is invalid afterwards).
bool SpoolClose(UniqueFd& fd);
// Deletes; false when the file could not be deleted.
bool SpoolDelete(const std::string& path);
// Deletes a message file at the administrator's request, holding its exclusive
// lock meanwhile: false with `why` when another opener (the router, an outgoing
// item) holds it, or when it is gone already. Callers take their queue's lock first.
bool DeleteSpoolFileLocked(const std::string& path, std::string& why);

// ---- Queue operations --------------------------------------------------------------
//
// Spare files: a finished spool file is not deleted but renamed to a spare name
// and emptied, and the next temporary of its directory is that file renamed
// back. Every message would otherwise cost the file system a new file; on a
// file system without a journal a new file is found by walking past every file
// deleted in the last minutes, so under steady load each creation grows slower.
// A directory keeps at most kMaxSpareFiles spares; the rest are deleted. Spares
// left by an earlier run are taken over (or deleted) at start-up.
inline constexpr size_t kMaxSpareFiles = 256;

// Creates a fresh temporary "%08lx.wrm" in the incoming (`incoming`) or outgoing
// directory and returns its open write handle; `pathOut` gets the full path.
// Collisions (80, 183, 32) move on to the next number; any other failure returns
// an invalid handle with `winErr` set.
UniqueFd CreateSpoolTemp(std::string& pathOut, bool incoming, const std::string& incomingDir,
                         const std::string& outgoingDir, int* winErr = nullptr);
// The same in the directories of ServerSettings().
UniqueFd CreateSpoolTemp(std::string& pathOut, bool incoming);

// Removes a spool file that is done with: kept as an empty spare for a later
// temporary of the same directory while there is room, else deleted. False when
// the file is still there under its name.
bool RetireSpoolFile(const std::string& path);
// The same for many files at once, sharing one directory flush: for each path,
// 1 when it is gone from the queue, 0 when it is still there under its name.
std::vector<char> RetireSpoolFiles(const std::vector<std::string>& paths);

// Start-up: takes over the spare files an earlier run left in `dir` (emptied;
// beyond kMaxSpareFiles deleted). Returns how many were taken over.
int AdoptSpareFiles(const std::string& dir);
// How many spares `dir` holds now (for tests and the benchmark).
size_t SpareFileCount(const std::string& dir);

// Commits the closed temporary at `path` as a fresh ".in" (`incoming`) or ".out"
// name. Durable: the data are flushed before the rename, the directory after it
// (by this caller or by a concurrent one whose flush began after this rename).
// With `retry`, a rename that lost a race (80, 183, 32) starts again with a new
// tick count; any other failure returns at once. On success `path` names the
// committed file; on failure it still names the temporary (the caller deletes it)
// and `error` (optional) holds the Windows error of the last failure. With
// `dataFlushed` the caller has flushed the file's data already (through the
// handle it wrote with, before closing it).
bool CommitSpoolFile(std::string& path, bool incoming, const std::string& incomingDir,
                     const std::string& outgoingDir, int* error, bool retry,
                     bool dataFlushed = false);
bool CommitSpoolFile(std::string& path, bool incoming, int* error = nullptr, bool retry = true);

// Flushes the data of the open file `fd`, about to be committed as ".in"
// (`incoming`) or ".out", to stable storage: concurrent callers for one
// directory share the flush (their files' blocks go to the disk together and
// the file system commits them once). Returns once a flush that began after
// the call has ended; false when it failed.
bool SyncSpoolData(int fd, bool incoming, const std::string& incomingDir,
                   const std::string& outgoingDir);

// Replaces the flush of a spool directory after a commit's rename (null: the
// real flush). `hook(dir)` flushes `dir` and reports success. For tests.
using SpoolDirectorySyncHook = bool (*)(const std::string& dir);
void SetSpoolDirectorySyncHook(SpoolDirectorySyncHook hook);

// Closes `fd` (checked) and commits; on any failure deletes the temporary.
// The whole producer tail in one call. `why` names the failed step.
bool CloseAndCommitSpoolFile(UniqueFd& fd, std::string& path, bool incoming,
                             const std::string& incomingDir, const std::string& outgoingDir,
                             std::string& why);

// ---- Envelope ----------------------------------------------------------------------

// The envelope the router reads: at most `limitRecipients` pending ("T...")
// recipients, each with the offset of its line for the done-mark. The envelope
// must lie within the first kRouterEnvelopeLimit bytes.
inline constexpr size_t kRouterEnvelopeLimit = 32768;
// The outgoing queue reads lines into a 511-byte buffer: at most 510 characters.
inline constexpr size_t kOutgoingLineLimit = 510;
inline constexpr int kOutgoingRecipientsPerPass = 50;
// Header scan for "Message-id:" after the envelope.
inline constexpr size_t kHeaderScanLimit = 16384;

struct EnvelopeRecipient {
  std::string address;      // as written after "To:" and its blanks
  long long lineOffset = 0; // offset of the line's first byte ("T")
};

struct RouterEnvelope {
  std::string sender;       // as written after "From:" and its blanks
  std::vector<EnvelopeRecipient> recipients;  // pending ones, at most the limit
  bool moreRemain = false;  // pending recipients beyond the limit
  long long messageOffset = 0;  // first byte after the empty line
  bool hasMessageId = false;    // the header holds a "Message-id:" line
  bool submittedHere = false;   // the envelope holds "Origin: local"
};

// Parses the router's envelope from the first bytes of a spool file (`data`
// holds at most kRouterEnvelopeLimit bytes, `atEnd` when they are the whole
// file). False with `why` when the envelope breaks the rules: no empty line
// within the limit, a first line that is not "From: " + a sender, a NUL byte.
bool ParseRouterEnvelope(std::string_view data, bool atEnd, long limitRecipients,
                         RouterEnvelope& out, std::string& why);
// Reads and parses from the start of the open file, and scans the message header
// for "Message-id:".
bool ReadRouterEnvelope(int fd, long limitRecipients, RouterEnvelope& out, std::string& why);

struct OutgoingEnvelope {
  std::string sender;
  std::vector<EnvelopeRecipient> recipients;  // pending "To:" lines, at most 50
  bool finalPass = false;       // the envelope was read to its end
  long long messageOffset = -1; // after the empty line; -1 when not reached
  bool submittedHere = false;   // the envelope holds "Origin: local"
};

// Parses the outgoing queue's envelope. Returns 1 when done, 0 when `data` ends
// before the envelope does and `atEnd` is false (read more and call again), -1
// with `why` set to the outgoing queue's texts on a broken envelope. Addresses are
// returned as written; the caller normalises them. Pending recipient lines that
// start before `resumeAt` belong to an earlier pass and are skipped, so a pass
// never reads again a recipient that is still pending after an earlier one.
int ParseOutgoingEnvelope(std::string_view data, bool atEnd, OutgoingEnvelope& out,
                          std::string& why, long long resumeAt = 0);
// Reads from the start of the open file.
bool ReadOutgoingEnvelope(int fd, OutgoingEnvelope& out, std::string& why,
                          long long resumeAt = 0);

// ---- Envelope bound ------------------------------------------------------------
//
// The router reads an envelope only within the first kRouterEnvelopeLimit bytes
// of a spool file. A file whose envelope ends later is set aside as ".err" and
// bounced to root: none of its recipients gets the message, though whoever wrote
// it was told it was taken. So no writer of spool files may write a longer
// envelope, and every writer counts with these calls rather than on its own:
//
// - a writer that takes recipients one at a time (SMTP reception) keeps the
//   running size, starting at EnvelopeBaseBytes(sender), and before each "To:"
//   line asks EnvelopeFits(size + EnvelopeRecipientBytes(recipient)); when it
//   would not fit the recipient is refused for this message (SMTP: "452 Too
//   many recipients", and the client sends the rest in another transaction);
// - a writer that has its recipients at hand (router copies, forwards, bounces,
//   list distribution, digests, the outgoing queue) cuts them with SplitEnvelope
//   into runs that each fit and writes one spool file per run;
// - FormatEnvelope and WriteEnvelope refuse an envelope beyond the bound, so a
//   writer that forgets still never makes a file the router would set aside.
//
// The bound holds for outgoing files too: at start-up they are requeued as
// incoming files, which the router reads.

// The envelope line of a message we submitted ourselves, without its line end.
inline constexpr std::string_view kEnvelopeOriginLine = "Origin: local";
// True when an envelope line (without its line end) is that mark.
bool IsEnvelopeOriginLine(std::string_view line);

// Bytes of the envelope of `sender` without recipients: its "From:" line, the
// origin line when `submittedHere`, and the empty line that ends the envelope.
size_t EnvelopeBaseBytes(std::string_view sender, bool submittedHere = false);
// Bytes one "To:" line of `recipient` adds.
size_t EnvelopeRecipientBytes(std::string_view recipient);
// True when an envelope of `bytes` lies wholly within what the router reads.
bool EnvelopeFits(size_t bytes);
// Cuts `recipients`, in order, into runs whose envelopes with `sender` each fit:
// `runs` gets the number of recipients in each run (they add up to all of
// them). False with `why` when the sender with a single recipient cannot fit.
bool SplitEnvelope(std::string_view sender, const std::vector<std::string>& recipients,
                   std::vector<size_t>& runs, std::string& why, bool submittedHere = false);

// Builds an envelope: "From: sender", one "To: " line per recipient, the empty
// line. False (with `why`) when an address is empty or holds CR, LF or NUL: such
// an address would add envelope lines of its own; or when the envelope would
// not fit within what the router reads (see the envelope bound above).
// With `submittedHere` the origin line follows the "From:" line.
bool FormatEnvelope(const std::string& sender, const std::vector<std::string>& recipients,
                    std::string& out, std::string& why, bool submittedHere = false);
// Formats and writes it.
bool WriteEnvelope(int fd, const std::string& sender, const std::vector<std::string>& recipients,
                   std::string& why, bool submittedHere = false);

// Where the message of a spool file starts: after the first empty line within
// the first kRouterEnvelopeLimit bytes (lines end at CR, optionally followed by
// LF), or 0 when there is none. Reads with pread, so the file position is left alone.
bool FindMessageOffset(int fd, long long& offset, std::string& why);

// Marks a recipient done: the "T" at `lineOffset` becomes "t", in place, flushed
// to stable storage. False when that byte is not "T" (nothing is written then) or
// the write fails. The file keeps its modification time (the message's age).
bool MarkRecipientDone(int fd, long long lineOffset, std::string& why);
// Marks several lines of one file and, with `flush`, flushes it once (without,
// the caller is about to remove the file); a line already "t" is left. False
// when a byte is neither "T" nor "t" or a write or the flush fails.
bool MarkRecipientsDone(int fd, const std::vector<long long>& lineOffsets, std::string& why,
                        bool flush = true);

// Start-up clean-up: deletes every *.wrm in both spool directories and requeues
// every *.our and *.out of the outgoing directory as a new .in file, logging each
// step. Returns the number of files requeued.
int CleanSpoolDirectories(const std::string& incomingDir, const std::string& outgoingDir);
int CleanSpoolDirectories();
