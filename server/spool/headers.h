// Header processing: the address normaliser that every path uses to turn address
// text (SMTP commands, envelopes, header lines) into a bare address and to tell
// whether it is ours; the date formats; the Received line; the mailbox separator;
// and the one routine through which every copy of a message passes
// (CopyMessageWithHeaders): it stamps the copy, rewrites the address header lines,
// adds the missing headers and, for mailboxes, quotes body lines that would look
// like a separator.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// ---- Who we are --------------------------------------------------------------------

// The names under which this server receives mail.
struct HostIdentity {
  std::string host;             // LocalNode
  std::string hostAddress;      // LocalIP, dotted
  std::string outgoingAlias;    // replaces the host name in addresses; may be empty
  std::string incomingAliases;  // ';'-separated names or '*' patterns that are ours
};

// The identity from ServerSettings().
HostIdentity ServerHostIdentity();

// True when `name` names this server: equal to the host or the outgoing alias
// (without regard to case); a name without '.' also against their first labels;
// an address literal "[a.b.c.d]" against the host address.
bool IsThisHost(std::string_view name, const HostIdentity& id);

// ---- Address normalisation ---------------------------------------------------------

struct NormalizeOptions {
  bool qualify = false;         // a bare name gets "@" + the outgoing alias (or host)
  bool strip = true;            // reduce to the bare address
  bool stripOnlyLocal = false;  // ... only when it is local; else keep the text
  bool mapDomains = false;      // domains of incomingAliases become ours
  std::string routeHost;        // for bang paths through a relay; may be empty
  std::string defaultDomain;    // for a bare name instead of qualification
};

struct NormalizedAddress {
  std::string address;  // the bare address (or the text as given, see strip)
  std::string name;     // the display name (phrase or comment); may be empty
  bool isLocal = false;
};

// Longest address text taken (longer text fails); header values are split at
// commas first, so a single address is never near this. The rewrite rounds cost
// up to the square of the length: the limit keeps a hostile address to a few ms.
inline constexpr size_t kMaxAddressText = 2048;

// Normalises `text`. A name without '@', '%' or '!' is local as it stands (in
// angle brackets or with a comment it is parsed first: "<postmaster>" is
// "postmaster"). False when the address cannot be parsed: an '@' left in the
// local part, an empty domain or an empty address, a source route through us
// without ':', text over kMaxAddressText, or rewrites that undo each other (a
// route host that is this host).
bool NormalizeAddress(std::string_view text, const HostIdentity& id,
                      const NormalizeOptions& options, NormalizedAddress& out);

// The domain pattern rule of IncomingAlias entries: with '*', both lower-cased,
// the part before the '*' must begin the domain and the rest end it; without,
// equality without regard to case.
bool MatchDomainPattern(std::string_view pattern, std::string_view domain);

// ---- Local accounts ------------------------------------------------------------------

// What header rewriting and bounces need to know about a local address. The account
// database lives on a higher floor; it registers its lookup at start-up, and until
// then (or in a program without accounts) no address is looked up.
struct LocalAccountInfo {
  bool isUser = false;     // a user account (aliases followed)
  bool isForward = false;  // a forward (aliases followed)
  std::string userName;    // the account's full name; may be empty
};
// Fills `out` for the local `address` in `domain` ("" = primary); false when the
// address has no account.
using LocalAccountLookup = bool (*)(const std::string& address, const std::string& domain,
                                    LocalAccountInfo& out);
void SetLocalAccountLookup(LocalAccountLookup lookup);
// The registered lookup; false without one.
bool LookUpLocalAccount(const std::string& address, const std::string& domain,
                        LocalAccountInfo& out);

// ---- Dates -------------------------------------------------------------------------

enum class DateStyle {
  kMail,            // "%a, %d %b %Y %H:%M:%S %z": Date: lines, Received lines
  kMailTwoDigitYear,// "%a, %d %b %y %H:%M:%S %z": Received lines without UseFourDigitYear
  kMessageId,       // "%Y%m%d%H%M%S"
  kCtime,           // "Www Mmm dd hh:mm:ss yyyy" (the C library's ctime, no line end)
};

// The time every date of a message uses: the clock, unless fixed for tests and
// benchmarks by SetMailClock (0 = the real clock again).
time_t MailNow();
void SetMailClock(time_t fixed);

// Formats `when` in local time. Day and month names are English; "%z" is the
// local time zone's name (its daylight-saving name while that is in effect).
std::string FormatLocalDate(DateStyle style, time_t when);
// The current local time in the four-digit mail format.
std::string FormatMailDate();
// Writes "Date: " + FormatMailDate() + CRLF.
bool WriteDateLine(int fd);

// ---- Received line and mailbox separator -------------------------------------------

// Builds a Received line without its final CRLF: no `fromHost` gives the local
// form "from localhost", a from-host without `fromAddress` the second form, both
// the third. `productText` is "%s V%s" of the product.
std::string BuildReceivedLine(const std::string& host, const std::string& fromHost,
                              const std::string& fromAddress, const std::string& agent,
                              const std::string& productText, bool fourDigitYear);
// Writes the local form with CRLF; `length` gets its length plus 2.
bool WriteReceivedLine(int fd, const std::string& host, const std::string& agent,
                       const std::string& productText, bool fourDigitYear, long* length);
// True when `line` (one line, without its end) is this host's local stamp: the
// words "Received:", "by", host, "from", "localhost", without regard to case.
bool IsLocalStamp(std::string_view line, const std::string& host);

// Writes "From <sender> <ctime>" + CRLF, after an empty line with `afterMessage`;
// the ctime is local time, of `when` (0: now).
bool WriteMailboxSeparator(int fd, const std::string& sender, bool afterMessage, time_t when = 0);

// ---- Reading header fields ---------------------------------------------------------
//
// The one walker over a header block that every reader of header fields uses. A
// field is a name without blanks and its colon, the value up to the line end, and
// the continuation lines after it (lines that begin with a blank or tab and hold
// more than blanks).

struct HeaderField {
  std::string_view name;   // with its colon: "Subject:"
  std::string_view value;  // after the colon to the end of its last line, the line
                           // ends of continuation lines inside, the last one not
  size_t start = 0;        // offset of the field's first byte in the block
  size_t next = 0;         // offset after its last line end (also for a line that
                           // is no field: `value` then holds that line)
};

enum class HeaderStep {
  kField,       // `field` filled, `pos` past its last line end
  kEnd,         // the empty line that ends the header: `pos` past it
  kNotField,    // a line that is no field (the body begins there): `pos` stays
  kIncomplete,  // the block ends inside this field and more follows: `pos` stays
};

// Reads what stands at `pos` of `block`, the start of a message (`atEnd` when the
// block holds all of it). Lines end at LF, with or without CR before it.
HeaderStep NextHeaderField(std::string_view block, bool atEnd, size_t& pos, HeaderField& field);
// The value unfolded: every line end becomes one blank, blanks at both ends go.
std::string UnfoldHeaderValue(std::string_view value);
// The unfolded value of the first field called `name` (with its colon, without
// regard to case) in the header at the start of `block`; false when there is none.
bool FindHeaderField(std::string_view block, bool atEnd, std::string_view name,
                     std::string& value);

// ---- Copying a message -------------------------------------------------------------

// Header presence flags collected while a header block is copied.
enum HeaderFlag : uint32_t {
  kHeaderTo = 0x01,
  kHeaderFrom = 0x02,
  kHeaderDate = 0x04,
  kHeaderSubject = 0x08,
  kHeaderXMailDaemon = 0x10,
  kHeaderMessageId = 0x20,
};

// What WriteMissingHeaders writes for the headers a message lacks.
struct MissingHeaderValues {
  std::string from;         // "nobody" when empty
  std::string to;           // "nobody" when empty
  std::string subject;      // "None" when empty
  std::string xMailDaemon;  // written as "X-MailDaemon: <%s>" when addXMailDaemon
  bool addXMailDaemon = false;
  std::string idName;       // file whose name part makes the Message-Id; empty = none
};

// Writes, in order, each header whose flag is not set: From, To, Date, Subject,
// X-MailDaemon (when asked), Message-Id (when idName is given).
bool WriteMissingHeaders(int fd, uint32_t flags, const MissingHeaderValues& values,
                         const std::string& host);
// The same into a string.
void AppendMissingHeaders(std::string& out, uint32_t flags, const MissingHeaderValues& values,
                          const std::string& host);

inline constexpr size_t kCopyBlockSize = 16384;
// The longest header line a message may hold, without its CRLF (RFC 5322 2.1.1).
// The rewrite joins a field's continuation lines into one, unless the joined
// line would be longer than this: such a field keeps its lines as they came.
inline constexpr size_t kMaxHeaderLineChars = 998;

struct CopyOptions {
  bool mailboxMode = false;     // quote body lines that look like a separator
  bool processHeaders = false;  // rewrite the header block (not with a byte limit)
  HostIdentity identity;
  std::string agent;            // "mail daemon", "router", "listserver"
  std::string productText;
  bool fourDigitYear = true;
  MissingHeaderValues missing;
  bool useAccounts = true;      // display names from the account database
  std::string domain;           // the accounts' domain ("" = primary)
  // Maps domains in address headers and drops Return-receipt-to: lines.
  bool mapDomainsAndDropReceipts = false;
  long byteLimit = -1;          // -1: the whole message; else at most kCopyBlockSize
};

// Copies the message at `inputOffset` (-1: the current position) of `input` to
// `output`. False with the failing step's text in `why`; the output is left as
// far as it was written (the caller deletes it).
bool CopyMessageWithHeaders(int input, int output, long long inputOffset,
                            const CopyOptions& options, std::string& why);

// Rewrites one header block held in memory: `block` is the start of a message
// (at most one copy block), `atEnd` when it is the whole message. Appends the
// rewritten header and the empty line to `out` and returns how many bytes of
// `block` it consumed; the rest is body. The pure core of CopyMessageWithHeaders.
size_t RewriteHeaderBlock(std::string_view block, bool atEnd, const CopyOptions& options,
                          std::string& out);

// Mailbox separator quoting over a stream of blocks: a line that begins with any
// number of '>' and then "From " gets one more '>'. Keeps its state between
// blocks, so a line split across two reads is tested whole.
struct FromQuoter {
  bool inPrefix = true;      // still at the start of a line, matching ">*From "
  size_t pendingGt = 0;      // '>' seen at the start of the current line
  size_t pendingFrom = 0;    // bytes of "From " matched after them
};
void QuoteFromLines(FromQuoter& q, std::string_view data, std::string& out);
// Writes out whatever prefix is still held at the end of the input.
void FinishFromQuoting(FromQuoter& q, std::string& out);
