// Auto-responders: accounts that answer mail. In automatic mode a responder sends
// every requester the same set of files in one message; in on-request mode it
// reads the body's lines as commands (send, get, list, help, end) and sends each
// file asked for as a message of its own. Either way the requester gets one
// response that echoes each line ("> " + line) with its answer. The list server
// is the responder called "listserver": the same framework hands its lines to the
// list-server command processor (registered by the lists at start-up).
//
// Loops. A responder never answers: a requester that is (through aliases) a local
// responder, list or root; one on the no-response list (mailer-daemon@* unless
// configured); an empty requester; a message marked "Auto-Submitted:" (other
// than "no") or "Precedence: bulk, junk or list". Every answer it sends is itself
// marked "Auto-Submitted: auto-replied", so our answers are never answered here,
// and answerers elsewhere that follow RFC 3834 leave them alone too.
//
// Amplification. One request sends at most kResponder.maxFilesPerRequest files,
// and the response stays within kResponder.responseBytes: a line whose echo and
// answer do not fit ends the processing.
#pragma once

#include <cstddef>
#include <string>

#include "server/accounts/router.h"
#include "server/responder/file_encoding.h"

struct ResponderLimits {
  size_t inputBytes;       // of the request read (header and body)
  size_t responseBytes;    // the response, header included
  size_t trailerReserve;   // kept free for the truncation note and the closing lines
  int maxFilesPerRequest;  // files one request may send
  size_t logFromChars;     // of the From: text in a response log line
};
inline constexpr ResponderLimits kResponder = {16384, 16384, 512, 50, 256};

inline constexpr const char* kListServerAccount = "listserver";

// One request being answered.
struct ResponderRequest {
  std::string account;      // the responder's account name
  std::string domain;       // its domain ("" = primary)
  std::string domainShown;  // the domain in addresses and texts
  std::string config;       // its configuration name
  std::string requester;    // canonical From: address, else the envelope sender
  int filesSent = 0;
  bool replyNeeded = false;  // an answer that is not only positive (DontSendPosArs)
  size_t answerRoom = 0;     // bytes the current line's answer may still take
  // The list server's state for the lines that follow in the same message.
  std::string adminList;
  std::string defaultList;
  std::string defaultPassword;
};

// True when the request may send one more file; otherwise the caller answers
// with kFileLimitText (the file name).
bool MayAddFile(const ResponderRequest& request);
inline constexpr const char* kFileLimitText =
    "File for '%s' not sent: limit of 50 files per request reached.\r\n";

// The list server's processor of one line: writes its answer; false ends the
// processing of the message (a failed command, or "end").
using ListServerLineHandler = bool (*)(ResponderRequest& request, const std::string& line,
                                       std::string& answer);
// Set at start-up; null until then (each line then answers "Unknown command").
void SetListServerLineHandler(ListServerLineHandler handler);

// The router's handler for a responder recipient (RouterHandlers().responder).
// Handled messages report ok; CopyToUser asks for a reroute to CopiedUser.
void RespondToMessage(const SpecialDelivery& in, SpecialResult& out);

// ---- Command lines (responders and the list server) ----------------------------

// The next word of `line` from `pos` (blanks and tabs separate words).
std::string NextCommandWord(const std::string& line, size_t& pos);
// `word` is `name` without regard to case; a word holding NUL never is.
bool IsCommandWord(const std::string& word, const char* name);
// A file mode word: kNotMode for a word that does not begin "mode=", kKnown with
// `mode` for mode=plain, mode=uuencode and mode=base64, kUnknown for another.
enum class ModeWord { kNotMode, kKnown, kUnknown };
ModeWord ParseModeWord(const std::string& word, FileMode& mode);

// ---- Account logs (responder and list logs) ------------------------------------

// "<date>,<local time>": the mail date with every comma made ".", then
// "%Y-%m-%d %H:%M:%S".
std::string AccountLogTimes();
// Appends `line` and CR LF to `path` (created when missing). False on failure.
bool AppendAccountLogLine(const std::string& path, const std::string& line);
