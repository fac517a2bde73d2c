// Messages the server makes itself: rejection notices (bounces) from the mailer
// daemon, carrying the reason and the first 8192 bytes of the undelivered
// message, and short notices from root (partial message, receipts, postmaster
// notices). Both are written as spool files and then travel like any other mail.
// Whom to bounce to, and what to do when a bounce fails, is the callers' choice.
#pragma once

#include <string>

#include "server/spool/headers.h"

// The enclosure of a bounce is cut here, even in the middle of a line.
inline constexpr long kEnclosureLimit = 8192;
// The agent every caller passes for bounces.
inline constexpr const char* kMailDaemonAgent = "mail daemon";
// The name of a bounce's recipient in its To: line is cut here.
inline constexpr size_t kMaxRecipientName = 100;
// A longer reason is cut (the texts we bounce with are a line or two).
inline constexpr size_t kMaxReasonText = 2048;
// Lines 4 to 7 of a notice (From, To, Subject, Date) stay within this many bytes.
inline constexpr size_t kNoticeHeaderLimit = 499;

// A delivery report's sender ("MAILER-DAEMON@...", "<>", empty): a report about
// a report goes to root only, never back (that is how bounce loops start).
bool IsMailerDaemon(const std::string& sender);

// What every message the server makes needs to know about the server.
struct MessageContext {
  HostIdentity identity;
  std::string incomingDir, outgoingDir;  // each ends in '/'
  std::string productText;               // "%s V%s" of the product
  bool fourDigitYear = true;
  bool useAccounts = true;  // user names from the account database
  std::string domain;       // the accounts' domain ("" = primary)
};

// The context from ServerSettings().
MessageContext ServerMessageContext();

struct BounceRequest {
  std::string recipient;          // the address the notice goes to, as given
  std::string reason;
  std::string messagePath;        // the undelivered message's spool file ...
  int messageHandle = -1;         // ... or its open handle (-1: open messagePath)
  long long messageOffset = -1;   // where the message starts (-1: see skipEnvelope)
  bool skipEnvelope = true;       // without an offset, the message follows the envelope
  bool incoming = true;           // commit as .in (incoming) or .out (outgoing)
  std::string agent = kMailDaemonAgent;
};

// Writes a rejection notice and commits it. True with `pathOut` naming the
// committed file; false with the failing step's text in `why` (nothing is left
// behind then).
bool BounceMessage(const BounceRequest& request, const MessageContext& context,
                   std::string& pathOut, std::string& why);
bool BounceMessage(const BounceRequest& request, std::string& pathOut, std::string& why);

// Writes the notice's envelope, stamp, header and transcript lines (everything
// before the enclosed message). False when a write fails.
bool RejectionHeader(int fd, const std::string& recipient, const std::string& reason,
                     const std::string& agent, const MessageContext& context);

// Writes the enclosed message: this host's local stamp unless the message already
// starts with one, then at most `byteLimit` bytes of the message, unchanged.
// `messageHandle` -1 opens `messagePath` (shared: the caller may hold it). With
// `messageOffset` -1 and `skipEnvelope`, the message starts after the first empty
// line of the first 16384 bytes (at 0 when there is none, so a broken envelope
// is shown whole). False with the texts of the failing step.
bool AppendUndelivered(int fd, const std::string& messagePath, long long messageOffset,
                       bool skipEnvelope, int messageHandle, long byteLimit,
                       const std::string& agent, const MessageContext& context, std::string& why);

// Writes a notice from root with `subject` and `text` to `recipient` (normalised
// with qualification, stripping and domain mapping) and commits it: as .in when
// the recipient is local, as .out otherwise. True with `pathOut`.
bool SendNotice(const std::string& recipient, const std::string& subject,
                const std::string& text, const MessageContext& context, std::string& pathOut,
                std::string& why);
bool SendNotice(const std::string& recipient, const std::string& subject,
                const std::string& text, std::string& pathOut, std::string& why);
