// The SMTP vocabulary shared by the server and the client sessions: the one table
// of command and reply words with its prefix matching, the one table of reply and
// command texts that SendCommand composes, the ESMTP extension table, the HELP
// topics, and the small pure parsers of command arguments (angle addresses, SIZE=,
// data-line dots) and of the relay networks. Nothing here touches a socket or a
// file, so all of it is tested without a network.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Settings;

// ---- Command and reply words ---------------------------------------------------

// Tokens of the word table. A reply code and the command it answers share no
// number; 0 means "no word matched".
enum SmtpToken : int {
  kTokNone = 0,
  kTok250 = 1,
  kTok251 = 2,
  kTok220 = 3,
  kTokHelo = 4,
  kTokEhlo = 5,
  kTokTurn = 7,
  kTokQuit = 8,
  kTokEtrn = 9,  // ETRN and XTRN
  kTok221 = 10,
  kTokMail = 11,
  kTokSend = 12,
  kTokSoml = 13,
  kTokSaml = 14,
  kTokRcpt = 15,
  kTokData = 17,
  kTokDot = 19,
  kTok421 = 20,
  kTok450 = 21,
  kTok354 = 22,
  kTokRset = 23,
  kTokNoop = 24,
  kTokExpn = 25,
  kTokVrfy = 26,
  kTokHelp = 27,
  kTok452 = 28,
  kTok451 = 29,
  kTok500 = 34,
  kTok501 = 35,
  kTok502 = 36,
  kTok503 = 37,
  kTok504 = 38,
  kTok552 = 39,
  kTok551 = 40,
  kTok550 = 41,
  kTok553 = 42,
  kTok554 = 43,
  kTokStartTls = 44,
  kTokAuth = 45,
};

struct SmtpWord {
  const char* word;
  SmtpToken token;
};

// The word table in matching order.
extern const SmtpWord kSmtpWords[];
extern const size_t kSmtpWordCount;

// The token of a line's first word: the first table word that the word begins
// with (without regard to case, as many characters as the table word has), so
// "HELOX" is HELO and "2501" is 250. A word that begins with "." is the end of
// data when it is exactly ".", else nothing.
SmtpToken FindSmtpToken(std::string_view word);

// A command line cut into its first word and its argument: the word ends at the
// first blank or tab (with `stopAtDash` also at "-", for replies read by the
// client); the blanks after it are skipped.
struct SmtpCommandLine {
  std::string_view word;
  std::string_view argument;
};
SmtpCommandLine SplitSmtpLine(std::string_view line, bool stopAtDash = false);

// The first word of a text (up to a blank or tab, leading blanks skipped).
std::string_view FirstWord(std::string_view text);

// ---- Reply and command texts ---------------------------------------------------

// The codes of SendCommand; the same numbers select replies.
enum SmtpReplyCode : int {
  kReplyOk = 1,               // "250 OK, %s" / "250 OK"
  kReplyWillForward = 2,      // "251 User not local; will forward ..."
  kReplyGreeting = 3,         // "220 %s"
  kCmdHelo = 4,
  kCmdEhlo = 5,
  kReplyHelo = 6,             // "250 %s %s" / "250 %s"
  kCmdTurn = 7,
  kCmdQuit = 8,
  kCmdEtrn = 9,
  kReplyClosing = 10,         // "221 %s Service Closing"
  kCmdMail = 11,
  kCmdSend = 12,
  kCmdSoml = 13,
  kCmdSaml = 14,
  kCmdRcpt = 15,
  kReplyMailOk = 16,          // "250 OK, can accomodate %ld bytes" / "250 OK"
  kCmdData = 17,
  kLineAsIs = 18,             // data lines and pre-built replies, not logged
  kCmdDot = 19,
  kReplyNoSuchUser = 21,      // "550 Action not taken, supposed local user ..."
  kReplyStartInput = 22,      // "354 Start mail input; ..."
  kReplyVrfy = 26,            // "250 %s<%s>."
  kReplyLocalError = 29,      // "451 Requested action aborted; ..."
  kReplyUserUnknown = 30,     // "550 User unknown."
  kReplyListDenied = 31,      // "550 Access to list not allowed."
  kReplyListRestricted = 32,  // "550 List access restricted by owner."
  kReplyNoList = 33,          // "550 Unable to find list '%s'."
  kReplySyntax = 34,          // "550 Syntax error"
  kReplyParamSyntax = 35,     // "501 Syntax error in parameters."
  kReplyNotImplemented = 36,  // "504 Command parameter not implemented."
  kReplyStorage = 39,         // "552 Exceeded storage limit."
  kReplyBadMailbox = 42,      // "553 Mailbox incorrect '%s'."
  kReplyRelayDenied = 44,     // "550 Relaying denied."
  kReplyTooManyRecipients = 45,  // "452 Too many recipients"
  kReplyReadyTls = 46,        // "220 Ready to start TLS"
  kReplyBadSequence = 47,     // "503 Bad sequence of commands"
  kReplyAuthOk = 48,          // "235 Authentication successful"
  kReplyAuthFailed = 49,      // "535 Authentication credentials invalid"
  kReplyAuthRequired = 50,    // "530 Authentication required"
  kReplyAuthChallenge = 51,   // "334 %s"
  kReplyTlsUnavailable = 52,  // "454 TLS not available due to temporary reason"
  kReplyAuthTooMany = 53,     // "454 Too many authentication failures"
  kReplyAuthCancelled = 54,   // "501 Authentication cancelled"
  kReplyAuthMechanism = 55,   // "504 Unrecognized authentication type"
  kReplyTlsFirst = 56,        // "530 Must issue a STARTTLS command first"
  kReplyTryLater = 57,           // "451 Recipient lookup unavailable; ..."
  kReplyPolicyRefused = 58,      // "550 5.7.1 %s" (the checks of incoming mail refuse it)
  kReplyPolicyLater = 59,        // "451 4.7.1 %s" (they could not decide yet)
};

// One entry of the reply table: the format used with a first text, the format
// used without one (null: the same), and whether the line is logged.
struct SmtpReplyText {
  int code;
  const char* withText;
  const char* withoutText;
};
extern const SmtpReplyText kSmtpReplies[];
extern const size_t kSmtpReplyCount;

// Lines of code 18 are cut to this length (with their leading dot).
inline constexpr size_t kSendLineCut = 1024;

// Composes the line for `code` without its CRLF. `text` and `second` may be
// empty ("no text"); `host` fills the codes that name the local host, `greeting`
// code 3, `size` the SIZE forms (-1: none). Code 18 applies the leading-dot rule
// and the cut; `cut` tells whether the cut happened. False for an unknown code.
struct SmtpReplyArgs {
  std::string_view text;
  std::string_view second;
  std::string_view host;
  long size = -1;
};
bool ComposeSmtpLine(int code, const SmtpReplyArgs& args, std::string& out, bool* cut = nullptr);

// Every byte with its top bit cleared, as the wire gets it. A byte that would
// become CR, LF or NUL that way becomes kMaskedLineBreak instead, so a line
// stays one line whatever 8-bit text it carries.
inline constexpr char kMaskedLineBreak = '?';
void MaskTo7Bit(std::string& bytes);

// A multi-line reply: `text`'s lines (split at LF) each after `prefix` ("250-"),
// the last one with the "-" of the prefix turned into a blank; each line ends
// with CRLF. An empty text gives one line holding the prefix alone.
std::vector<std::string> ComposeMultiline(std::string_view prefix, std::string_view text);

// ---- Extensions ----------------------------------------------------------------

struct SmtpExtension {
  const char* keyword;
  uint16_t bit;
};
extern const SmtpExtension kSmtpExtensions[];
extern const size_t kSmtpExtensionCount;

inline constexpr uint16_t kExtExpn = 0x10;
inline constexpr uint16_t kExtTurn = 0x20;
inline constexpr uint16_t kExtSize = 0x40;
inline constexpr uint16_t kExtEtrn = 0x80;

// The process-wide extension mask the settings call for: 0x8F, plus EXPN with
// DoExpnAndVrfy and SIZE with DoEsmtpSize; 0xFFFF without UseEsmtpProtocol.
uint16_t ComputeEsmtpExtensionMask(const Settings& s);

// ---- HELP topics ---------------------------------------------------------------

struct SmtpHelpTopic {
  const char* topic;  // null: HELP without an argument
  unsigned textId;    // string-table entry
};
extern const SmtpHelpTopic kSmtpHelpTopics[];
extern const size_t kSmtpHelpTopicCount;

// The string id of a HELP argument's first word (empty: the overview), 0 when the
// topic is unknown. Topics compare exactly, without regard to case.
unsigned FindHelpTopic(std::string_view argument);

// ---- Argument parsers ----------------------------------------------------------

// The text between the first "<" and the next ">" of `argument`; `rest` gets what
// follows the ">". False when either bracket is missing.
bool ExtractAngleAddress(std::string_view argument, std::string_view& address,
                         std::string_view& rest);

// The value of a "SIZE=" parameter after the ">" of MAIL (blanks first, then the
// keyword without regard to case, then decimal digits). Returns false when there
// is no SIZE parameter; `value` gets the number (0 for no digits, saturated at
// LONG_MAX for absurd lengths, so it is refused, never wrapped).
bool ParseSizeParameter(std::string_view rest, long& value);

// A received data line: true when it ends the data ("." alone). Otherwise `line`
// loses the one leading "." that the sender added.
bool UnstuffDataLine(std::string_view& line);

// ---- Relay networks -----------------------------------------------------------

// One IPv4 network "a.b.c.d/len" (a bare address is /32). Both in host order.
struct RelayNetwork {
  uint32_t address = 0;
  uint32_t mask = 0;
};

// Parses the ";"-separated RelayNetworks text. Blanks around entries are ignored;
// an entry that does not parse is skipped and listed in `bad` (may be null).
std::vector<RelayNetwork> ParseRelayNetworks(std::string_view text,
                                             std::vector<std::string>* bad = nullptr);
// True when `peer` lies in one of the networks.
bool IsRelayClient(const in_addr& peer, const std::vector<RelayNetwork>& networks);
