// The mail transaction of the SMTP server (state 8).
#include "server/smtp/smtp_receive.h"
#include "server/smtp/smtp_auth.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/mailauth/auth_check.h"
#include "server/mailauth/dkim_sign.h"
#include "server/mailauth/rspamd_client.h"
#include "server/net/net.h"
#include "server/spool/bounce.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"

namespace {

// Texts of the string table used here.
enum : unsigned {
  kStrResetTransfer = 5031,
  kStrReceivingFile = 5055,
  kStrFromSender = 5056,
  kStrCannotOpenFile = 5057,
  kStrCannotWriteFrom = 5058,
  kStrToBadFormat = 5059,
  kStrToOkay = 5060,
  kStrCannotWriteTo = 5061,
  kStrToUnknownLocal = 5062,
  kStrToForwarding = 5063,
  kStrReceivingNoSize = 5064,
  kStrCannotStartData = 5065,
  kStrWriteFailed = 5066,
  kStrFlushFailed = 5068,
  kStrRenameFailed = 5069,
  kStrReceiveError = 5070,
  kStrReceived = 5071,
  kStrTooBigLocal = 5249,
  kStrReceivingSized = 5250,
};

constexpr long kProgressStep = 10000;
// Only the head of a message is searched for its From: field.
constexpr size_t kHeaderScan = 65536;
constexpr const char* kReceivedAgent = "mail daemon";
constexpr const char* kUnverifiedSuffix = "; unverified";
constexpr const char* kOwnerPrefix = "owner-";
constexpr const char* kUnknownAccount = "unknown";
constexpr const char* kPartialSubject = "Notice of partial message";
constexpr const char* kPartialText = "Partial message from you received by node '%s'.";

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ResetTransaction(SmtpSession& s) {
  s.receiveStep = kRcvFrom;
  s.recipients = 0;
  s.writeFill = 0;
  s.dataLineOpen = false;
  s.tooBig = false;
}

// Writes through the buffer and keeps the session's write-ok flag.
bool Put(SmtpSession& s, std::string_view bytes, bool crlf) {
  int error = 0;
  return BufferedSpoolWrite(s, s.tempFile.get(), bytes.data(), bytes.size(), crlf, error, false);
}

// ---- Step 0: MAIL, SEND, SOML, SAML ---------------------------------------------

void StartTransaction(SmtpSession& s, const SmtpCommand& cmd) {
  const Settings& st = ServerSettings();
  s.pendingCode = kReplyMailOk;
  s.pendingArg.clear();
  s.pendingSecond.clear();
  s.declaredSize = -1;
  s.isMail = cmd.token == kTokMail;
  std::string_view address, rest;
  std::string sender;
  if (!ExtractAngleAddress(cmd.argument, address, rest)) {
    s.pendingCode = kReplyParamSyntax;
  } else {
    address = TrimBlanks(address);
    sender = address.empty() ? "mailer-daemon@" + st.localNode : std::string(address);
    s.mailFrom = std::string(address);
    long size = 0;
    if (st.doEsmtpSize && ParseSizeParameter(rest, size)) {
      s.declaredSize = size;
      if (size <= 0 || size > st.maxEsmtpSize) {
        LogEvent(0, kLogSmtpProgress, kStrTooBigLocal, s.id, size, st.maxEsmtpSize);
        s.pendingCode = kReplyStorage;
      }
    }
  }
  if (s.pendingCode == kReplyMailOk) {
    if (s.tempFile.valid() || !s.tempPath.empty()) DiscardTempFile(s);
    int err = 0;
    s.tempFile = CreateSpoolTemp(s.tempPath, true, st.incomingDirectory, st.outgoingDirectory, &err);
    bool opened = s.tempFile.valid();
    if (!opened) s.tempPath.clear();
    LogEvent(0, kLogSmtpDebug, "%04x: result = %d(%ld), file = %s", s.id, opened ? 1 : 0,
             long(err), s.tempPath.c_str());
    bool wrote = false;
    if (opened) {
      s.writeFill = 0;
      s.tempName = BaseName(s.tempPath);
      LogEvent(0, kLogSmtpProgress, kStrReceivingFile, s.id, s.tempName.c_str());
      LogEvent(0, kLogSmtpProgress, kStrFromSender, s.id, sender.c_str());
      wrote = Put(s, "From: " + sender, true);
      // A client we relay for (by its address or its authentication) submits
      // mail of ours: the mark lets the outgoing queue sign it.
      if (wrote && s.relayAllowed) wrote = Put(s, std::string(kEnvelopeOriginLine), true);
      s.envelopeBytes = EnvelopeBaseBytes(sender, s.relayAllowed);
      if (!wrote) LogEvent(0, kLogSmtpProgress, "%04x: Error writing from line to file.", s.id);
      s.sender = sender;  // kept for the partial-message notice
    }
    if (!opened) {
      s.pendingCode = kReplyLocalError;
      LogEvent(0, kLogSmtpProgress, kStrCannotOpenFile, s.id);
    } else if (!wrote) {
      s.pendingCode = kReplyLocalError;
      LogEvent(0, kLogSmtpProgress, kStrCannotWriteFrom, s.id);
    }
  }
  s.recipients = 0;
  LogEvent(0, kLogSmtpDebug, "%04x: result = %d, file = %s(%s)", s.id, s.pendingCode,
           s.tempPath.c_str(), s.tempName.c_str());
  LogEvent(0, kLogSmtpDebug, "%04x: result = %d, command = %d", s.id, s.pendingCode,
           int(cmd.token));
  s.receiveStep = kRcvFromReply;
}

SmtpStep RcvFrom(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpCommand cmd;
  SmtpRead r = ReadSmtpCommand(s, node, cmd);
  if (r == SmtpRead::kNone) return SmtpStep::kStop;
  if (r == SmtpRead::kTooLong) return SmtpStep::kContinue;
  if (HandleCommonCommand(s, node, state, cmd)) return SmtpStep::kContinue;
  if (HandleSecureCommand(s, node, state, cmd)) return SmtpStep::kContinue;
  switch (cmd.token) {
    case kTokMail:
    case kTokSend:
    case kTokSoml:
    case kTokSaml:
      if (MailNeedsAuth(s)) {
        SendCommand(s, node, kReplyAuthRequired);
        return SmtpStep::kContinue;
      }
      StartTransaction(s, cmd);
      return SmtpStep::kContinue;
    case kTokTurn:
      SendCommand(s, node, kReplyNotImplemented);
      return SmtpStep::kContinue;
    default:
      if (!cmd.line.empty()) {
        SendCommand(s, node, kReplySyntax);
        LogEvent(0, kLogSmtpProgress, "Unexpected command: RcvFrom [%.*s %.*s]",
                 int(cmd.word.size()), cmd.word.data(), int(cmd.argument.size()),
                 cmd.argument.data());
      }
      return SmtpStep::kContinue;
  }
}

SmtpStep RcvFromReply(SmtpSession& s, NetNode* node) {
  if (s.pendingCode == kReplyMailOk)
    SendCommand(s, node, kReplyMailOk, {}, {}, true, s.declaredSize);
  else
    SendCommand(s, node, s.pendingCode, s.pendingArg);
  if (s.pendingCode != kReplyMailOk) {
    AbortReceive(s);
    ResetTransaction(s);
  } else {
    s.receiveStep = kRcvRcptOrData;
  }
  return SmtpStep::kContinue;
}

// ---- Step 2: RCPT or DATA ---------------------------------------------------------

void AcceptRecipient(SmtpSession& s, std::string_view address) {
  const Settings& st = ServerSettings();
  RecipientCheck check;
  std::string given(address);
  // A registry database out of reach must not turn into "no such user": the
  // client keeps the message and tries again.
  uint64_t unreachable = RegUnreachableFailures();
  bool valid = CheckRecipient(address, st.allowUnknown, check);
  if (RegUnreachableFailures() != unreachable) {
    s.pendingCode = kReplyTryLater;
    s.pendingArg.clear();
    LogEvent(0, kLogSmtpProgress, "%04x: To: <%s>; the registry is out of reach, try later.",
             s.id, given.c_str());
    return;
  }
  if (!valid) {
    s.pendingCode = kReplyBadMailbox;
    s.pendingArg = given;
    LogEvent(0, kLogSmtpProgress, kStrToBadFormat, s.id, given.c_str());
    return;
  }
  std::string written;
  if (check.isLocal && check.exists) {
    LogEvent(0, kLogSmtpProgress, kStrToOkay, s.id, given.c_str());
    written = check.normalised;
    s.pendingCode = kReplyOk;
    s.pendingArg = given;
  } else if (check.isLocal) {
    s.pendingCode = kReplyNoSuchUser;
    s.pendingArg = given;
    LogEvent(0, kLogSmtpProgress, kStrToUnknownLocal, s.id, given.c_str());
    return;
  } else if (!s.relayAllowed) {
    // Not ours and the client is not one we relay for.
    s.pendingCode = kReplyRelayDenied;
    s.pendingArg.clear();
    LogEvent(0, kLogSmtpProgress, "%04x: To: <%s>; relaying denied.", s.id, given.c_str());
    return;
  } else {
    LogEvent(0, kLogSmtpProgress, kStrToForwarding, s.id, given.c_str());
    written = given;
    s.pendingCode = st.replyWithForward ? kReplyWillForward : kReplyOk;
    s.pendingArg = given;
  }
  // The router reads the envelope only so far: a recipient beyond it would
  // make the whole message unreadable. The client sends the rest in another
  // transaction (RFC 5321 4.5.3.1.10); those already taken stay.
  size_t line = EnvelopeRecipientBytes(written);
  if (!EnvelopeFits(s.envelopeBytes + line)) {
    s.pendingCode = kReplyTooManyRecipients;
    s.pendingArg.clear();
    LogEvent(0, kLogSmtpProgress, "%04x: To: <%s>; too many recipients for one message.", s.id,
             given.c_str());
    return;
  }
  if (!Put(s, "To: " + written, true)) {
    s.pendingCode = kReplyLocalError;
    s.pendingArg.clear();
    LogEvent(0, kLogSmtpProgress, kStrCannotWriteTo, s.id);
    return;
  }
  ++s.recipients;
  s.envelopeBytes += line;
}

SmtpStep RcvRcptOrData(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpCommand cmd;
  SmtpRead r = ReadSmtpCommand(s, node, cmd);
  if (r == SmtpRead::kNone) return SmtpStep::kStop;
  if (r == SmtpRead::kTooLong) return SmtpStep::kContinue;
  if (HandleCommonCommand(s, node, state, cmd)) return SmtpStep::kContinue;
  if (cmd.token == kTokRcpt) {
    std::string_view address, rest;
    s.pendingArg.clear();
    if (!ExtractAngleAddress(cmd.argument, address, rest))
      s.pendingCode = kReplyParamSyntax;
    else
      AcceptRecipient(s, TrimBlanks(address));
    s.receiveStep = kRcvRcptReply;
    return SmtpStep::kContinue;
  }
  if (cmd.token == kTokData) {
    s.receiveStep = kRcvDataStart;
    return SmtpStep::kContinue;
  }
  LogEvent(0, kLogSmtpProgress, "Unexpected command: RcvRcptOrData %.*s %.*s",
           int(cmd.word.size()), cmd.word.data(), int(cmd.argument.size()), cmd.argument.data());
  SendCommand(s, node, kReplySyntax);
  return SmtpStep::kContinue;
}

SmtpStep RcvRcptReply(SmtpSession& s, NetNode* node) {
  SendCommand(s, node, s.pendingCode, s.pendingArg);
  if (s.pendingCode == kReplyLocalError) {
    AbortReceive(s);
    ResetTransaction(s);
  } else {
    s.receiveStep = kRcvRcptOrData;
  }
  return SmtpStep::kContinue;
}

// ---- Steps 4 to 6: the message ---------------------------------------------------

SmtpStep RcvDataStart(SmtpSession& s, NetNode* node) {
  const Settings& st = ServerSettings();
  s.byteCount = 0;
  if (s.recipients == 0 || !Put(s, "", true)) {
    LogEvent(0, kLogSmtpProgress, kStrCannotStartData, s.id);
    SendCommand(s, node, kReplyLocalError);
    AbortReceive(s);
    ResetTransaction(s);
    return SmtpStep::kContinue;
  }
  std::string agent = kReceivedAgent;
  if (!s.verified) agent += kUnverifiedSuffix;
  agent += TlsReceivedComment(s, node);
  std::string received = BuildReceivedLine(st.localNode, s.remoteHost, NetAddressText(s.peer),
                                           agent, st.productName + " V" + st.productVersion,
                                           st.useFourDigitYear);
  s.authCheck = !s.relayAllowed && ReadAuthCheckSettings().check;
  s.inHeader = true;
  s.dropLine = false;
  // Where our Received line goes: the checks at the end of the data put their
  // header lines above it.
  long long pos = 0;
  SpoolSeek(s.tempFile.get(), 0, SEEK_CUR, &pos);
  s.receivedAt = pos + (long long)s.writeFill;
  s.writeOk = Put(s, received, true);
  s.messageAt = s.receivedAt + (long long)received.size() + 2;
  if (s.declaredSize >= 0)
    LogEvent(0, kLogSmtpProgress, kStrReceivingSized, s.id, s.declaredSize);
  else
    LogEvent(0, kLogSmtpProgress, kStrReceivingNoSize, s.id);
  SendCommand(s, node, kReplyStartInput);
  s.lineCount = 0;
  s.dataLineOpen = false;
  s.tooBig = false;
  s.receiveStep = kRcvData;
  return SmtpStep::kContinue;
}

void CountBytes(SmtpSession& s, long added) {
  long before = s.byteCount / kProgressStep;
  s.byteCount += added;
  long after = s.byteCount / kProgressStep;
  if (after != before && after >= 2)
    LogEvent(0, kLogSmtpProgress, "%04x: Receiving file: %ld bytes", s.id, after * kProgressStep);
}

SmtpStep RcvData(SmtpSession& s, NetNode* node) {
  const Settings& st = ServerSettings();
  int n = NetReadLine(node, s.line.get(), int(kSmtpLineSize - 1));
  if (n == -1) return SmtpStep::kStop;
  bool complete = n >= 0;
  std::string_view piece(s.line.get(), size_t(complete ? n : int(kSmtpLineSize - 1)));
  if (!s.dataLineOpen) {
    // Only the start of a line can end the data or carry a stuffed dot.
    if (complete && UnstuffDataLine(piece)) {
      s.receiveStep = kRcvDataEnd;
      return SmtpStep::kContinue;
    }
    if (!complete && piece[0] == '.') piece.remove_prefix(1);
  }
  if (!s.dataLineOpen && s.inHeader) {
    // A field line, a continuation or the empty line that ends the header. An
    // Authentication-Results field in our name is a forgery: it is not stored.
    if (piece.empty()) {
      s.inHeader = false;
      s.dropLine = false;
    } else if (piece[0] != ' ' && piece[0] != '\t') {
      constexpr std::string_view kName = "Authentication-Results:";
      s.dropLine = s.authCheck && piece.size() >= kName.size() &&
                   strncasecmp(piece.data(), kName.data(), kName.size()) == 0 &&
                   IsOurAuthResults(piece.substr(kName.size()), st.localNode);
    }
  }
  // A line longer than the line buffer arrives in pieces and is stored whole.
  s.dataLineOpen = !complete;
  if (s.dropLine) {
    CountBytes(s, long(piece.size()) + (complete ? 2 : 0));
    if (complete) ++s.lineCount;
    return SmtpStep::kContinue;
  }
  if (st.doEsmtpSize && s.byteCount + long(piece.size()) > st.maxEsmtpSize) s.tooBig = true;
  if (s.writeOk && !s.tooBig) {
    int error = 0;
    if (!BufferedSpoolWrite(s, s.tempFile.get(), piece.data(), piece.size(), complete, error,
                            false)) {
      LogEvent(0, kLogSmtpProgress, kStrWriteFailed, s.id, error);
      s.writeOk = false;
    }
  }
  CountBytes(s, long(piece.size()) + (complete ? 2 : 0));
  if (complete) ++s.lineCount;
  return SmtpStep::kContinue;
}

// Puts `text` into the file in place of the `removed` bytes at `offset`, moving
// what follows them, block by block (the file is a temporary nobody else reads
// yet: a copy into a second file would cost the file system a create and a
// delete). Growing, the tail moves from its end on; shrinking, from its start,
// and the file is cut to its new length.
bool ReplaceInFile(const std::string& path, long long offset, long long removed,
                   const std::string& text) {
  UniqueFd fd = OpenShared(path, O_RDWR);
  if (!fd.valid()) return false;
  long long end = 0;
  if (!SpoolSeek(fd.get(), 0, SEEK_END, &end) || end < offset + removed) return false;
  char block[65536];
  const long long tail = offset + removed;
  const long long shift = (long long)text.size() - removed;
  auto move = [&](long long from, size_t n) {
    return ::pread(fd.get(), block, n, off_t(from)) == ssize_t(n) &&
           ::pwrite(fd.get(), block, n, off_t(from + shift)) == ssize_t(n);
  };
  if (shift > 0) {
    for (long long pos = end; pos > tail;) {
      size_t n = size_t(std::min<long long>((long long)sizeof block, pos - tail));
      pos -= (long long)n;
      if (!move(pos, n)) return false;
    }
  } else if (shift < 0) {
    for (long long pos = tail; pos < end;) {
      size_t n = size_t(std::min<long long>((long long)sizeof block, end - pos));
      if (!move(pos, n)) return false;
      pos += (long long)n;
    }
    if (::ftruncate(fd.get(), off_t(end + shift)) != 0) return false;
  }
  return ::pwrite(fd.get(), text.data(), text.size(), off_t(offset)) == ssize_t(text.size());
}

// Where the Subject field of the message at `messageAt` lies: its offset and
// length (its continuation lines with it), or -1 when it has none. -2 when the
// header could not be read whole.
long long FindSubjectField(int fd, long long messageAt, long long& length) {
  std::string head(kHeaderScan, '\0');
  ssize_t got = ::pread(fd, head.data(), head.size(), off_t(messageAt));
  if (got < 0) return -2;
  head.resize(size_t(got));
  bool atEnd = head.size() < kHeaderScan;
  size_t pos = 0;
  HeaderField f;
  for (;;) {
    HeaderStep step = NextHeaderField(head, atEnd, pos, f);
    if (step == HeaderStep::kField) {
      if (strcasecmp(std::string(f.name).c_str(), "Subject:") == 0) {
        length = (long long)(f.next - f.start);
        return messageAt + (long long)f.start;
      }
      continue;
    }
    return step == HeaderStep::kIncomplete ? -2 : -1;
  }
}

// What the checks made of a received message.
struct MessageChecks {
  std::string headers;  // header lines to put above our Received line
  int refusal = 0;      // a reply code that refuses the message, or 0
  std::string text;     // its text
  std::string subject;  // a new Subject value (rspamd's rewrite subject), or empty
};

// Runs the checks on the stored message: the authentication checks for an outside
// session, rspamd when one is configured. Header lines they add go above our
// Received line. False when they could not be written (the message is then not
// taken).
bool CheckReceivedMessage(SmtpSession& s, MessageChecks& out) {
  const Settings& st = ServerSettings();
  RspamdSettings rspamd = ReadRspamdSettings();
  if (!s.authCheck && rspamd.address.empty()) return true;
  UniqueFd in = OpenShared(s.tempPath, O_RDONLY);
  if (!in.valid()) return false;
  std::string ip = NetAddressText(s.peer);
  if (s.authCheck) {
    AuthDnsBudget budget =
        StartAuthDnsBudget(st.domainServer.empty() ? DefaultDomainServer() : st.domainServer);
    AuthReport report;
    report.spfChecked = true;
    report.spf = CheckSpf(ip, s.heloName.empty() ? ip : s.heloName, s.mailFrom, budget);
    report.dkim = VerifyDkimSignatures(in.get(), s.messageAt, budget);
    std::string head(kHeaderScan, '\0');
    ssize_t got = ::pread(in.get(), head.data(), head.size(), off_t(s.messageAt));
    head.resize(size_t(std::max<ssize_t>(got, 0)));
    std::string from;
    FindHeaderField(head, head.size() < kHeaderScan, "From:", from);
    report.dmarcChecked = true;
    report.dmarc = CheckDmarc(ip, AddressDomain(from), report.spf, report.dkim, budget);
    out.headers = FormatAuthResults(st.localNode, report);
    std::string summary = out.headers.substr(0, out.headers.size() - 2);
    for (char& c : summary)
      if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    LogEvent(0, kLogSmtpProgress, "%04x: %s", s.id, summary.c_str());
    AuthVerdict verdict = JudgeAuthReport(report, ReadAuthCheckSettings(), out.text);
    if (verdict != AuthVerdict::kAccept) {
      out.refusal = verdict == AuthVerdict::kRefuse ? kReplyPolicyRefused : kReplyPolicyLater;
      return true;
    }
  }
  if (!rspamd.address.empty()) {
    std::string envelope(size_t(s.receivedAt), '\0'), message;
    ssize_t got = ::pread(in.get(), envelope.data(), envelope.size(), 0);
    envelope.resize(size_t(std::max<ssize_t>(got, 0)));
    if (!ReadWholeFile(s.tempPath, message)) return false;
    message.erase(0, size_t(std::min<long long>(s.receivedAt, (long long)message.size())));
    RspamdRequest request;
    request.ip = ip;
    request.helo = s.heloName;
    request.from = s.mailFrom;
    request.user = s.authAccount;
    request.queueId = s.tempName;
    for (size_t pos = 0; pos < envelope.size();) {
      size_t end = envelope.find("\r\n", pos);
      if (end == std::string::npos) end = envelope.size();
      if (envelope.compare(pos, 4, "To: ") == 0) request.recipients.push_back(envelope.substr(pos + 4, end - pos - 4));
      pos = end + 2;
    }
    RspamdVerdict verdict = AskRspamd(rspamd, request, message);
    if (verdict.checked)
      LogEvent(0, kLogSmtpProgress, "%04x: rspamd: %s", s.id,
               verdict.headers.empty() ? "" : verdict.headers.back().second.c_str());
    if (verdict.action == RspamdAction::kReject) {
      out.refusal = kReplyPolicyRefused;
      out.text = verdict.text;
      return true;
    }
    if (verdict.action != RspamdAction::kAccept) {
      out.refusal = kReplyPolicyLater;
      out.text = verdict.text;
      return true;
    }
    for (const auto& [name, value] : verdict.headers) out.headers += name + ": " + value + "\r\n";
    out.subject = verdict.subject;
  }
  if (!out.subject.empty()) {
    // The message's Subject gives way to rspamd's; a message without one gets it
    // with the other headers. (A header too large to read whole keeps its own.)
    long long length = 0;
    long long at = FindSubjectField(in.get(), s.messageAt, length);
    std::string field = "Subject: " + out.subject + "\r\n";
    if (at == -1) {
      out.headers += field;
    } else if (at >= 0) {
      in.reset();
      if (!ReplaceInFile(s.tempPath, at, length, field)) return false;
    }
  }
  if (out.headers.empty()) return true;
  in.reset();
  return ReplaceInFile(s.tempPath, s.receivedAt, 0, out.headers);
}

SmtpStep RcvDataEnd(SmtpSession& s, NetNode* node) {
  bool stored = s.writeOk && !s.tooBig;
  if (stored) {
    int error = 0;
    if (!BufferedSpoolWrite(s, s.tempFile.get(), nullptr, 0, false, error, true)) {
      LogEvent(0, kLogSmtpProgress, kStrFlushFailed, s.id);
      stored = false;
    }
  }
  MessageChecks checks;
  if (stored && !CheckReceivedMessage(s, checks)) {
    LogEvent(0, kLogSmtpProgress, kStrWriteFailed, s.id, errno);
    stored = false;
  }
  if (stored && checks.refusal != 0) {
    // The checks refuse the message (or put it off): nothing is kept.
    LogEvent(0, kLogSmtpProgress, "%04x: refused: %s", s.id, checks.text.c_str());
    DiscardTempFile(s);
    SendCommand(s, node, checks.refusal, checks.text);
    ResetTransaction(s);
    return SmtpStep::kContinue;
  }
  // The data reach the disk through the handle that wrote them, before the close,
  // in one flush with the other sessions' messages committed meanwhile.
  if (stored && !SyncSpoolData(s.tempFile.get(), true, ServerSettings().incomingDirectory,
                               ServerSettings().outgoingDirectory))
    stored = false;
  if (!SpoolClose(s.tempFile)) stored = false;
  std::string path = s.tempPath;
  bool committed = false;
  if (stored) {
    int err = 0;
    committed = CommitSpoolFile(path, true, ServerSettings().incomingDirectory,
                                ServerSettings().outgoingDirectory, &err, true, true);
    if (!committed) {
      LogEvent(0, kLogSmtpProgress, kStrRenameFailed, s.id);
      LogEvent(0, kLogAlways, "%04x: Error = %d", s.id, err);
    }
  }
  if (committed) {
    std::string name = BaseName(path);
    LogEvent(0, kLogSmtpProgress, kStrReceived, s.id, name.c_str(), s.lineCount, s.byteCount);
    s.tempPath.clear();
    s.tempName.clear();
    RequestIncomingScan();
    CountMessage(MessageCount::kReceived);
    std::string text = "Submitted & queued (" + name + ")";
    if (s.isMail)
      SendCommand(s, node, kReplyOk, text);
    else
      SendCommand(s, node, kReplyWillForward, {}, text);
  } else {
    LogEvent(0, kLogSmtpProgress, kStrReceiveError, s.id, s.tempName.c_str());
    DiscardTempFile(s);
    SendCommand(s, node, s.tooBig && s.writeOk ? kReplyStorage : kReplyLocalError);
  }
  ResetTransaction(s);
  return SmtpStep::kContinue;
}

}  // namespace

// ---- Interfaces ------------------------------------------------------------------

SmtpStep RunReceiveStep(SmtpSession& s, NetNode* node, int32_t& state) {
  switch (s.receiveStep) {
    case kRcvFrom: return RcvFrom(s, node, state);
    case kRcvFromReply: return RcvFromReply(s, node);
    case kRcvRcptOrData: return RcvRcptOrData(s, node, state);
    case kRcvRcptReply: return RcvRcptReply(s, node);
    case kRcvDataStart: return RcvDataStart(s, node);
    case kRcvData: return RcvData(s, node);
    case kRcvDataEnd: return RcvDataEnd(s, node);
    default:
      ResetTransaction(s);
      return SmtpStep::kContinue;
  }
}

bool BufferedSpoolWrite(SmtpSession& s, int fd, const char* bytes, size_t length, bool addCrlf,
                        int& error, bool flush) {
  error = 0;
  size_t need = length + (addCrlf ? 2 : 0);
  bool ok = true;
  if (flush || s.writeFill + need >= kSmtpWriteBufferSize) {
    if (s.writeFill > 0 && !SpoolWrite(fd, s.writeBuffer.get(), s.writeFill, false)) {
      error = errno;
      LogEvent(0, kLogSmtpProgress, "Error number: %d", error);
      ok = false;
    }
    s.writeFill = 0;
  }
  if (need >= kSmtpWriteBufferSize) {
    // Larger than the whole buffer: straight to the file.
    if (ok && !SpoolWrite(fd, bytes, length, addCrlf)) {
      error = errno;
      LogEvent(0, kLogSmtpProgress, "Error number: %d", error);
      ok = false;
    }
    return ok;
  }
  if (length) memcpy(s.writeBuffer.get() + s.writeFill, bytes, length);
  s.writeFill += length;
  if (addCrlf) {
    memcpy(s.writeBuffer.get() + s.writeFill, "\r\n", 2);
    s.writeFill += 2;
  }
  return ok;
}

bool CheckRecipient(std::string_view address, bool allowUnknown, RecipientCheck& out) {
  const Settings& st = ServerSettings();
  out = RecipientCheck();
  HostIdentity id = ServerHostIdentity();
  NormalizeOptions opt;
  opt.qualify = true;
  opt.mapDomains = true;
  NormalizedAddress addr;
  if (address.empty() || !NormalizeAddress(address, id, opt, addr) || addr.address.empty())
    return false;
  out.normalised = addr.address;
  out.isLocal = addr.isLocal;
  size_t at = addr.address.rfind('@');
  std::string local = at == std::string::npos ? addr.address : addr.address.substr(0, at);
  if (!out.isLocal && at != std::string::npos) {
    std::string domain = addr.address.substr(at + 1);
    for (const SecondaryDomain& d : SecondaryDomains()) {
      if (strcasecmp(d.name.c_str(), domain.c_str()) == 0) {
        out.isLocal = true;
        out.domain = d.name;
        break;
      }
    }
  }
  if (!out.isLocal) return true;
  if (!st.useVelmontRouter) {
    // Another program delivers our mail: it decides about unknown names.
    out.exists = true;
    return true;
  }
  std::string record;
  if (!local.empty() && strcasecmp(local.c_str(), kUnknownAccount) != 0 &&
      LookupAccount(local, record, out.domain, false)) {
    out.exists = true;
    return true;
  }
  size_t prefix = strlen(kOwnerPrefix);
  if (local.size() > prefix && strncasecmp(local.c_str(), kOwnerPrefix, prefix) == 0) {
    std::string list = local.substr(prefix);
    std::string owner;
    if (GetAccountType(list, out.domain) == kAccountList && GetListOwner(list, owner, out.domain) &&
        !owner.empty()) {
      out.exists = true;
      out.normalised = owner;
      return true;
    }
  }
  out.exists = allowUnknown;
  return true;
}

void DiscardTempFile(SmtpSession& s) {
  s.tempFile.reset();
  if (!s.tempPath.empty()) SpoolDelete(s.tempPath);
  s.tempPath.clear();
  s.tempName.clear();
  s.writeFill = 0;
}

void AbortReceive(SmtpSession& s) {
  if (!s.tempFile.valid() && s.tempPath.empty()) return;
  s.tempFile.reset();
  LogEvent(0, kLogSmtpGeneral, kStrResetTransfer, s.id, s.tempPath.c_str());
  DiscardTempFile(s);
}

void FinishPartialReceive(SmtpSession& s) {
  s.tempFile.reset();
  if (ConfigGetBool("", "NotifyPartialRcv", false) && !s.sender.empty()) {
    const std::string& host = ServerSettings().localNode;
    std::string text = FormatText(kPartialText, host.c_str());
    std::string path, why;
    if (SendNotice(s.sender, kPartialSubject, text, path, why))
      LogEvent(0, kLogRouting, "Generated %s to inform of partial message to '%s'.", path.c_str(),
               s.sender.c_str());
    else
      LogEvent(0, kLogRouting, "%04x: Unable to send the partial message notice to '%s': %s",
               s.id, s.sender.c_str(), why.c_str());
  }
  DiscardTempFile(s);
}
