// The POP3 vocabulary: the command word table, the one reply table with its
// exact texts, and the pure helpers of the session (message numbers, message
// lines with their dot-stuffing, the "Status:" header of a rewrite, the APOP
// digest and the maildrop's unique ids). Nothing here touches a socket or a
// file, so all of it is tested without a network.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- Command words -------------------------------------------------------------

enum Pop3Token : int {
  kPopTokUnknown = 0,
  kPopTokOk = 1,  // "+OK": in the table, never acted on by the server
  kPopTokQuit = 2,
  kPopTokUser = 5,
  kPopTokPass = 8,
  kPopTokStat = 14,
  kPopTokList = 15,
  kPopTokRetr = 21,
  kPopTokDele = 24,
  kPopTokNoop = 26,
  kPopTokLast = 27,
  kPopTokRset = 28,
  kPopTokTop = 29,
  kPopTokApop = 30,
  kPopTokUidl = 31,
  kPopTokCapa = 32,  // with UseTls only
  kPopTokStls = 33,  // with UseTls only
};

struct Pop3Word {
  const char* word;
  Pop3Token token;
};
extern const Pop3Word kPop3Words[];
extern const size_t kPop3WordCount;

// The token of a command's first word: the first table word it begins with,
// compared without regard to case over the table word's length ("USERX" is
// USER). 0 when none matches.
Pop3Token FindPop3Token(std::string_view word);

// ---- Replies -------------------------------------------------------------------

// Reply codes; the numbers are the session's result codes too.
enum Pop3Reply : int {
  kPopUnknownCommand = -1,
  kPopUndefined = 0,
  kPopUserFound = 1,  // a result, not a reply
  kPopGreeting = 3,
  kPopWelcome = 6,
  kPopNeverHeard = 7,
  kPopMailboxReady = 9,
  kPopInvalidPassword = 10,
  kPopNotAllowed = 11,
  kPopAlreadyLocked = 12,
  kPopUnableToLock = 13,
  kPopStat = 14,
  kPopNoSuchMessage = 16,
  kPopSingleListing = 17,
  kPopListingStart = 18,
  kPopListingLine = 19,
  kPopEnd = 20,
  kPopRetrStart = 22,
  kPopMessageLine = 23,
  kPopDeleted = 24,
  kPopAlreadyDeleted = 25,
  kPopOk = 26,
  kPopLast = 27,
  kPopSigningOff = 32,
  kPopCapabilities = 33,  // "+OK Capability list follows" and the lines
  kPopBeginTls = 34,
  kPopTlsActive = 35,
  kPopTlsRequired = 36,
  kPopTlsUnavailable = 37,
  kPopTryLater = 38,  // the registry database is out of reach
};

// Which form of a reply: LIST's, UIDL's with an id, UIDL's for a message
// without an id. Only codes 17, 18 and 19 have more than one.
enum Pop3Form : int { kFormPlain = 0, kFormId = 1, kFormNoId = 2 };

struct Pop3ReplyText {
  int code;
  Pop3Form form;
  const char* text;  // "%s" takes the next text, "%ld" the next number
};
extern const Pop3ReplyText kPop3Replies[];
extern const size_t kPop3ReplyCount;

struct Pop3ReplyArgs {
  std::string_view text;
  std::string_view second;
  long long first = 0;
  long long number = 0;
};

// The reply line of `code` in `form`, CRLF included. False for a code the table
// does not have.
bool ComposePop3Reply(int code, Pop3Form form, const Pop3ReplyArgs& args, std::string& out);

// ---- Message numbers -----------------------------------------------------------

// A message number argument: decimal digits followed by a blank, a tab or the
// end. 0 for anything else (no digits, "1x", a number beyond the int range), so
// that the caller's range check answers "no such message".
long long ParseMessageNumber(std::string_view argument);
// The argument after the first word (blanks and tabs skipped).
std::string_view SecondArgument(std::string_view argument);
// TOP's line count: missing or negative counts as 0; huge counts saturate.
long long ParseLineCount(std::string_view text);

// ---- Message lines -------------------------------------------------------------

// Message lines are sent in pieces of at most this many characters (before the
// stuffing dot), each ended with CRLF.
inline constexpr size_t kPopLineCut = 1014;

// True when `line` is a quoted separator: one or more '>' and then "From ".
bool IsQuotedFromLine(std::string_view line);

// Appends the wire form of one stored line (without its line end) to `out`: a
// line of more than kPopLineCut characters goes out as several lines of at most
// that many, so nothing of the message is lost; every piece that begins with "."
// gets one more "." in front; each ends with CRLF.
void AppendMessageLine(std::string_view line, std::string& out);

// ---- The Status header of a rewrite --------------------------------------------

// Gives the first block of a message its "Status: %cO" line: R when `retrieved`
// or when an existing Status value holds R (only N, O, U and R are looked at; the
// scan stops at any other letter), else U. An existing "Status:" header line
// (name without regard to case) is replaced; otherwise the line goes before the
// empty line that ends the header, or before the block when no empty line lies
// in it.
void ApplyStatusHeader(std::string& block, bool retrieved);

// ---- APOP ----------------------------------------------------------------------

// The greeting's time stamp without its angle brackets: "%05u.%lu@%s".
std::string MakeApopStamp(uint16_t session, uint32_t tick, std::string_view node);
// MD5 over "<stamp>password" as 32 lower-case hexadecimal digits.
std::string ComputeApopDigest(std::string_view stamp, std::string_view password);
// Splits APOP's argument into the name and the digest (blanks or tabs between
// and after). False when the name is missing.
bool SplitApopArgument(std::string_view argument, std::string_view& name,
                       std::string_view& digest);

// ---- Unique ids ----------------------------------------------------------------

// RFC 1939's unique-id rule: 1 to 70 characters from 0x21 to 0x7E.
inline constexpr size_t kMaxUidChars = 70;
bool IsUsableUid(std::string_view id);

// What the id assignment knows of one message.
struct UidSource {
  std::string messageId;  // the Message-id: value ("" when none)
  std::string stableKey;  // digest text of what never changes in the message
};

// The maildrop's unique ids, in message order. A Message-id that is usable and
// has not appeared earlier in the maildrop stays the message's id; any other
// message gets its stableKey (made unique by "-2", "-3"... in order). So mail
// that arrives later never changes the id of mail already there, and a message
// keeps its id across sessions (the rewrite changes only its Status line, which
// the stable key leaves out).
std::vector<std::string> AssignUniqueIds(const std::vector<UidSource>& sources);

// The stable key of a message from its header text (separator line included, up
// to the empty line) and its total length: MD5 over the header without its
// "Status:" lines, and the length less those lines' bytes. A negative length
// leaves the length out (IMAP's keys, where the last message's length grows by
// the empty line the next append writes before it).
std::string StableMessageKey(std::string_view header, long long totalLength);
