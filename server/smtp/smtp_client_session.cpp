// The SMTP client session's state machine: states 1-5, 13 and 14, the send steps
// of state 3, the reply reader, the data encoder and the close hook.
#include "server/smtp/smtp_client.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/errors.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"
#include "server/smtp/smtp_session.h"

namespace {

// Texts of the string table used here.
enum : unsigned {
  kStrCanSpeakEsmtp = 5032,
  kStrEstablished = 5033,
  kStrRefusedByHost = 5034,
  kStrTerminated = 5037,
  kStrCloseData = 5038,
  kStrResetting = 5052,
  kStrConnecting = 5053,
  kStrNoSender = 5073,
  kStrSenderOk = 5074,
  kStrFromTransient = 5075,
  kStrFromTerminal = 5076,
  kStrNoLegalAbort = 5077,
  kStrNoLegal = 5078,
  kStrRcptOk = 5079,
  kStrRcptUnknown = 5080,
  kStrSendingFile = 5084,
  kStrFileOkay = 5085,
  kStrFileSent = 5086,
  kStrTransient = 5087,
  kStrTerminal = 5088,
  kStrUnknownError = 5089,
  kStrDataTransient = 5090,
  kStrDataTerminal = 5091,
  kStrDataUnknown = 5092,
  kStrSendAborted = 5093,
  kStrUsingEsmtp = 5234,
  kStrUsingSmtp = 5235,
  kStrDowngrading = 5236,
  kStrMaxSize = 5239,
  kStrTooBigLog = 5240,
  kStrTooBig = 5241,
  kStrNoFromLine = 5242,
  kStrMailTemporary = 5243,
  kStrMailPermanent = 5244,
  kStrRcptPermanent = 5245,
  kStrDataPermanent = 5247,
  kStrSendPermanent = 5248,
};

// Send steps of state 3.
enum SendStep : int {
  kStepStart = 0,
  kStepMail = 1,
  kStepMailReply = 2,
  kStepRcpt = 3,
  kStepRcptReply = 4,
  kStepData = 5,
  kStepDataReply = 6,
  kStepBeginData = 7,
  kStepSendData = 8,
  kStepDot = 9,
  kStepDotReply = 10,
  kStepDelivered = 11,
  kStepFailed = 12,
  kStepTemporary = 13,
  kStepIdle = 14,
  kStepEtrn = 15,
  kStepEtrnReply = 16,
  kStepEtrnAlias = 17,
  kStepEtrnAliasReply = 18,
};

constexpr uint16_t kReplyTimeoutDefault = 300;     // seconds
constexpr uint16_t kFinalDotTimeoutDefault = 600;  // seconds
std::atomic<uint16_t> gReplyTimeout{kReplyTimeoutDefault};
std::atomic<uint16_t> gFinalDotTimeout{kFinalDotTimeoutDefault};

// A reply's text is kept up to this size; the rest of it is read and dropped, so
// a peer cannot make us hold more, and its next reply still answers the next
// command.
constexpr size_t kReplyKeep = 65536;
constexpr size_t kDataBlock = 16384;
constexpr long kProgressStep = 10000;  // "Sending file: %ld bytes" every 10000
constexpr const char* kEsmtpSpoken = "ESMTP spoken here";

std::once_flag gRegistered;

// A reply as read: the code of its last line, every line joined with CR LF, and
// its first line split into code word and text for the log texts.
struct SmtpReply {
  int code = 0;
  std::string all;    // the lines (each "ddd-text" or "ddd text") joined with CRLF
  std::string word;   // "250"
  std::string rest;   // the text of the first line after the code
  std::vector<std::string> lines;  // the text of every line after its code
};

enum class ReplyRead { kNone, kReply, kGarbage };

// The session's client side.
struct SmtpClientSide {
  std::shared_ptr<SmtpClientLink> link;
  std::shared_ptr<SmtpRequest> request;
  int step = kStepStart;
  bool dequeueOnly = false;
  bool closeAfterMessage = false;
  uint16_t peerMask = 0;
  long peerMaxSize = -1;
  bool peerGaveSize = false;
  bool tlsPending = false;     // STARTTLS answered 220; the handshake has not finished
  size_t nextRecipient = 0;
  int accepted = 0;
  std::string currentArgument;  // the sender or recipient last sent

  // Reply reader: the reply being collected and the line being joined.
  std::string line;            // the current line, its pieces joined
  bool lineOpen = false;       // a piece of a long line was taken
  SmtpReply reply;
  bool replyOpen = false;

  // Data.
  long long readPos = 0;
  bool atLineStart = true;
  bool endOfFile = false;
  std::string out;       // wire bytes waiting for room in the send ring
  size_t outPos = 0;
  long lines = 0;
  long bytes = 0;
  long nextProgress = kProgressStep;
};

SmtpClientSide* Client(SmtpSession& s) { return static_cast<SmtpClientSide*>(s.client); }

std::string Text(unsigned id) {
  const char* t = LoadStringResource(id);
  return t ? t : "";
}

void Notify(SmtpClientLink& link) {
  if (link.notify) link.notify();
}

// Peer text that goes into bounces and the log: no NUL (it would cut texts).
std::string CleanPeerText(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\0') c = '?';
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Takes the next complete reply. A line without a three-digit code is garbage.
ReplyRead ReadReply(SmtpSession& s, SmtpClientSide& c, NetNode* node, SmtpReply& out) {
  for (;;) {
    int n = NetReadLine(node, s.line.get(), int(kSmtpLineSize - 1));
    if (n == -1) return ReplyRead::kNone;
    std::string_view piece(s.line.get(), n == -2 ? strlen(s.line.get()) : size_t(n));
    if (c.line.size() < kReplyKeep) c.line.append(piece.substr(0, kReplyKeep - c.line.size()));
    if (n == -2) {
      c.lineOpen = true;  // the rest of the line follows
      continue;
    }
    std::string text = std::move(c.line);
    c.line.clear();
    c.lineOpen = false;
    LogEvent(0, kLogSmtpDebug, "%04x: <-- %s", s.id, text.c_str());
    if (text.size() < 3 || !IsDigit(text[0]) || !IsDigit(text[1]) || !IsDigit(text[2]) ||
        (text.size() > 3 && text[3] != ' ' && text[3] != '-')) {
      c.reply = SmtpReply();
      c.replyOpen = false;
      return ReplyRead::kGarbage;
    }
    SmtpReply& r = c.reply;
    if (!c.replyOpen) {
      r = SmtpReply();
      r.word = text.substr(0, 3);
      r.rest = CleanPeerText(text.size() > 4 ? std::string_view(text).substr(4) : "");
      c.replyOpen = true;
    }
    if (r.all.size() < kReplyKeep) {
      if (!r.all.empty()) r.all += "\r\n";
      r.all += CleanPeerText(text);
      r.lines.push_back(CleanPeerText(text.size() > 4 ? std::string_view(text).substr(4) : ""));
    }
    if (text.size() > 3 && text[3] == '-') continue;  // more lines follow
    r.code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    c.replyOpen = false;
    out = std::move(r);
    r = SmtpReply();
    return ReplyRead::kReply;
  }
}

// ---- Ending a request ---------------------------------------------------------------

// Publishes the request's outcome: the recipients still open take the outcome,
// then `finished` is set and the owner told.
void FinishRequest(SmtpSession& s, SmtpClientSide& c, int step, const std::string& reply) {
  std::shared_ptr<SmtpRequest> req = c.request;
  if (!req) return;
  for (SmtpRequestRecipient& r : req->recipients) {
    if (step == kStepDelivered) {
      if (r.status == SmtpRecipientStatus::kAccepted) r.status = SmtpRecipientStatus::kDelivered;
    } else if (r.status == SmtpRecipientStatus::kAccepted ||
               r.status == SmtpRecipientStatus::kUntried) {
      r.status = step == kStepFailed ? SmtpRecipientStatus::kRefused
                                     : SmtpRecipientStatus::kDeferred;
      r.reply = reply;
    }
  }
  req->notFatal = step != kStepFailed;
  req->retry = step == kStepTemporary;
  if (step == kStepFailed) LogEvent(0, kLogSmtpProgress, kStrSendAborted, s.id);
  c.request.reset();
  {
    std::lock_guard<std::mutex> g(c.link->lock);
    c.link->current.reset();
  }
  req->finished.store(true, std::memory_order_release);
  Notify(*c.link);
}

// The request ends unfinished (the peer said 421 or QUIT, or the connection goes):
// nothing accepted is delivered; the close hands the request back.
void ResetSend(SmtpSession& s) {
  SmtpClientSide* c = Client(s);
  if (!c || !c->request) return;
  LogEvent(0, kLogSmtpGeneral, kStrResetting);
  for (SmtpRequestRecipient& r : c->request->recipients)
    if (r.status == SmtpRecipientStatus::kAccepted) {
      r.status = SmtpRecipientStatus::kDeferred;
      r.reply = "connection disconnected.";
    }
  c->request->errorText = "connection disconnected.";
  c->request->notFatal = true;
  c->request->retry = true;
}

// The close hook: the session lets go of its link and its request for good.
void OnClientClose(SmtpSession& s, int32_t) {
  SmtpClientSide* c = Client(s);
  if (!c) return;
  ResetSend(s);
  std::shared_ptr<SmtpClientLink> link = c->link;
  {
    std::lock_guard<std::mutex> g(link->lock);
    // Gone before the peer answered inside TLS: the handshake failed (the network
    // layer logged why).
    link->tlsFailed = c->tlsPending;
    link->gone = true;
    link->idle = false;
    link->socket = -1;
    link->current.reset();
    link->handed.reset();
  }
  c->request.reset();
  delete c;
  s.client = nullptr;
  Notify(*link);
}

// Closes at once (no QUIT): after garbage, a 421, or a peer that said QUIT.
SmtpStep CloseNow(SmtpSession& s, int32_t& state) {
  ResetSend(s);
  s.closing = true;
  state = kSmtpCloseNow;
  return SmtpStep::kContinue;
}

// Says QUIT and closes when it is answered.
SmtpStep Quit(SmtpSession& s, int32_t& state) {
  s.closing = true;
  if (SmtpClientSide* c = Client(s)) {
    std::lock_guard<std::mutex> g(c->link->lock);
    c->link->idle = false;
    c->link->quitting = true;
  }
  state = kSmtpSendQuit;
  return SmtpStep::kContinue;
}

// Marks the session idle or busy; true when it just became idle.
bool SetIdle(SmtpClientSide& c, bool idle) {
  std::lock_guard<std::mutex> g(c.link->lock);
  bool was = c.link->idle;
  c.link->idle = idle;
  return idle && !was;
}

// The reply a state waits for. Empty when one arrived (in `r`); otherwise the
// step to return: wait for more input, or close after garbage or a 421 (the
// peer going away), which hands an unfinished request back as put off.
std::optional<SmtpStep> TakeReply(SmtpSession& s, SmtpClientSide& c, NetNode* node,
                                  int32_t& state, SmtpReply& r) {
  switch (ReadReply(s, c, node, r)) {
    case ReplyRead::kNone: return SmtpStep::kStop;
    case ReplyRead::kGarbage: return CloseNow(s, state);
    case ReplyRead::kReply: break;
  }
  if (r.code == 421) {
    LogEvent(0, kLogSmtpGeneral, 5030, s.id, s.remoteHost.c_str());
    return CloseNow(s, state);
  }
  return std::nullopt;
}

// ---- TLS toward the peer ---------------------------------------------------------

// Whether the session's mail must leave over TLS: SmtpRequireTls, or the request
// at hand (an exception for its node says so).
bool TlsRequired(SmtpClientSide& c) {
  if (ServerSettings().smtpRequireTls) return true;
  if (c.request) return c.request->requireTls;
  std::lock_guard<std::mutex> g(c.link->lock);
  return c.link->handed && c.link->handed->requireTls;
}

// Whether the host broke the TLS handshake on the connection just before this one:
// the request then goes in clear text, unless TLS is required.
bool ClearTextAsked(SmtpClientSide& c) {
  if (c.request) return c.request->clearText;
  std::lock_guard<std::mutex> g(c.link->lock);
  return c.link->handed && c.link->handed->clearText;
}

// A peer that will not give us TLS where it is required: the request waits for a
// later try (the connection ends before MAIL, as a host that could not be reached).
SmtpStep QuitWithoutTls(SmtpSession& s, SmtpClientSide& c, int32_t& state,
                        const std::string& reason) {
  {
    std::lock_guard<std::mutex> g(c.link->lock);
    if (c.link->handed) c.link->handed->errorText = reason;
  }
  if (c.request) c.request->errorText = reason;
  return Quit(s, state);
}

// ---- Greeting and HELO ----------------------------------------------------------------

SmtpStep WaitInit(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpClientSide& c = *Client(s);
  SmtpReply r;
  if (auto step = TakeReply(s, c, node, state, r)) return *step;
  if (r.code != 220) {
    // A peer that will not serve us is a failed connection: the next host is
    // tried at once rather than after a time-out.
    LogEvent(0, kLogSmtpGeneral, "Illegal command: WaitInit %s %s", r.word.c_str(), r.rest.c_str());
    return Quit(s, state);
  }
  const Settings& st = ServerSettings();
  std::string host(FirstWord(r.rest));
  if (!host.empty()) s.remoteHost = host.substr(0, kSmtpRemoteHostMax);
  bool spoken = r.lines.size() > 1 && strcasecmp(r.lines[1].c_str(), kEsmtpSpoken) == 0;
  if (spoken) {
    if (st.useEsmtpProtocol)
      s.isEsmtp = true;
    else
      LogEvent(0, kLogSmtpGeneral, kStrCanSpeakEsmtp, s.id);
  }
  if (st.forceEsmtpProtocol && st.useEsmtpProtocol) s.isEsmtp = true;
  SendCommand(s, node, s.isEsmtp ? kCmdEhlo : kCmdHelo);
  state = kSmtpIssuedHello;
  return SmtpStep::kContinue;
}

void ParseExtensions(SmtpSession& s, SmtpClientSide& c, const SmtpReply& r) {
  uint16_t found = 0;
  for (size_t i = 1; i < r.lines.size(); ++i) {
    std::string_view line = r.lines[i];
    std::string keyword(FirstWord(line));
    for (size_t e = 0; e < kSmtpExtensionCount; ++e) {
      if (strcasecmp(keyword.c_str(), kSmtpExtensions[e].keyword) != 0) continue;
      found |= kSmtpExtensions[e].bit;
      if (kSmtpExtensions[e].bit == kExtSize) {
        std::string_view after = line.substr(line.find(keyword) + keyword.size());
        std::string number(FirstWord(after));
        if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
            number.size() < 12) {
          c.peerMaxSize = std::stol(number);
          c.peerGaveSize = true;
        }
      }
    }
  }
  c.peerMask = uint16_t(s.extensionMask & found);
}

SmtpStep IssuedHello(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpClientSide& c = *Client(s);
  SmtpReply r;
  // A finished handshake is no failed one, whatever the peer says next (a 421).
  std::string version, cipher;
  if (c.tlsPending && NetTlsDescribe(node, version, cipher)) c.tlsPending = false;
  if (auto step = TakeReply(s, c, node, state, r)) return *step;
  const Settings& st = ServerSettings();
  if (r.code == 250) {
    LogEvent(0, kLogSmtpGeneral, kStrEstablished, s.id, s.remoteHost.c_str());
    c.peerMaxSize = -1;
    c.peerGaveSize = false;
    c.peerMask = 0;
    if (s.isEsmtp) ParseExtensions(s, c, r);
    // Opportunistic STARTTLS between mail servers: no certificate check, clear text
    // only when the peer does not offer it or broke the handshake just before (or,
    // where TLS is required, not at all).
    bool requireTls = TlsRequired(c);
    bool fallBack = !requireTls && ClearTextAsked(c);
    if (fallBack && st.useTls && !s.tlsOn)
      LogEvent(0, kLogAlways, "%04x: No STARTTLS with %s: its TLS handshake failed before.", s.id,
               s.remoteHost.c_str());
    if ((st.useTls || requireTls) && !s.tlsOn && !fallBack) {
      bool offered = false;
      for (size_t i = 1; s.isEsmtp && i < r.lines.size(); ++i)
        offered = offered || strcasecmp(std::string(FirstWord(r.lines[i])).c_str(), "STARTTLS") == 0;
      if (offered) {
        SendRaw(s, node, "STARTTLS\r\n", true);
        LogEvent(0, kLogSmtpDebug, "%04x: --> STARTTLS", s.id);
        state = kSmtpClientStartTls;
        return SmtpStep::kContinue;
      }
      if (requireTls) {
        LogEvent(0, kLogAlways, "%04x: %s does not offer STARTTLS; TLS is required.", s.id,
                 s.remoteHost.c_str());
        return QuitWithoutTls(s, c, state, s.remoteHost + " does not offer STARTTLS; TLS is required.");
      }
    }
    if (st.useEsmtpProtocol) {
      if (s.isEsmtp) {
        LogEvent(0, kLogSmtpGeneral, kStrUsingEsmtp, s.id);
        if (c.peerGaveSize) LogEvent(0, kLogSmtpGeneral, kStrMaxSize, s.id, c.peerMaxSize);
      } else {
        LogEvent(0, kLogSmtpGeneral, kStrUsingSmtp, s.id);
      }
    }
    state = kSmtpSendingMessage;
    c.step = kStepStart;
    return SmtpStep::kContinue;
  }
  if (s.isEsmtp && r.code >= 500 && r.code < 600) {
    s.isEsmtp = false;
    LogEvent(0, kLogSmtpGeneral, kStrDowngrading, s.id);
    SendCommand(s, node, kCmdHelo);
    return SmtpStep::kContinue;
  }
  // A refused greeting is a failed connection, whatever the code.
  LogEvent(0, kLogSmtpGeneral, kStrRefusedByHost, s.id, r.word.c_str(), r.rest.c_str());
  return Quit(s, state);
}

// The answer to our STARTTLS: 220 starts the handshake and EHLO again (RFC 3207
// forgets what was said before); anything else goes on in clear text unless TLS is
// required.
SmtpStep ClientStartTls(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpClientSide& c = *Client(s);
  SmtpReply r;
  if (auto step = TakeReply(s, c, node, state, r)) return *step;
  const Settings& st = ServerSettings();
  std::string why;
  if (r.code == 220 && NetStartTls(node, false, why)) {
    s.tlsOn = true;
    c.tlsPending = true;
    LogEvent(0, kLogAlways, "%04x: Using TLS with %s.", s.id, s.remoteHost.c_str());
    SendCommand(s, node, kCmdEhlo);
    state = kSmtpIssuedHello;
    return SmtpStep::kContinue;
  }
  std::string reason = why.empty() ? r.word + " " + r.rest : why;
  LogEvent(0, kLogAlways, "%04x: STARTTLS refused by %s: %s", s.id, s.remoteHost.c_str(),
           reason.c_str());
  // After a 220 the peer waits for a handshake: the session cannot go on in clear.
  if (r.code == 220) return CloseNow(s, state);
  if (TlsRequired(c))
    return QuitWithoutTls(s, c, state, "STARTTLS refused by " + s.remoteHost + ": " + reason);
  if (st.useEsmtpProtocol) {
    LogEvent(0, kLogSmtpGeneral, kStrUsingEsmtp, s.id);
    if (c.peerGaveSize) LogEvent(0, kLogSmtpGeneral, kStrMaxSize, s.id, c.peerMaxSize);
  }
  state = kSmtpSendingMessage;
  c.step = kStepStart;
  return SmtpStep::kContinue;
}

// ---- Sending a message ------------------------------------------------------------------

// Turns message bytes into their wire form: every CR dropped, every LF sent as CR
// LF (so a bare LF ends a line and a lone CR never reaches the peer), and a "."
// at the start of a line doubled. Lines of any length pass whole.
void EncodeData(SmtpClientSide& c, const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char ch = p[i];
    if (ch == '\r') continue;
    if (ch == '\n') {
      c.out += "\r\n";
      c.atLineStart = true;
      ++c.lines;
      continue;
    }
    if (c.atLineStart && ch == '.') c.out += '.';
    c.out += ch;
    c.atLineStart = false;
  }
}

// Reads the next block of the message into the wire buffer. False on a read
// failure.
bool FillData(SmtpClientSide& c) {
  c.out.clear();
  c.outPos = 0;
  char block[kDataBlock];
  ssize_t got;
  do {
    got = ::pread(c.request->file.get(), block, sizeof block, off_t(c.readPos));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  if (got == 0) {
    c.endOfFile = true;
    if (!c.atLineStart) {
      c.out = "\r\n";  // the last line had no end
      c.atLineStart = true;
      ++c.lines;
    }
    return true;
  }
  c.readPos += got;
  EncodeData(c, block, size_t(got));
  return true;
}

// Step 8: moves wire bytes into the send ring while it has room. kStop when the
// ring is full (the next round goes on) or the data failed.
bool SendData(SmtpSession& s, SmtpClientSide& c, NetNode* node, bool& failed) {
  failed = false;
  for (;;) {
    if (c.outPos == c.out.size()) {
      if (c.endOfFile) return true;
      if (!FillData(c)) {
        failed = true;
        return false;
      }
      continue;
    }
    int space = NetSendSpace(node);
    if (space <= 0 || node->deleted.load()) return false;
    size_t piece = std::min(size_t(space), c.out.size() - c.outPos);
    if (!_SendData(node, c.out.data() + c.outPos, int(piece))) return false;
    c.outPos += piece;
    long before = c.bytes;
    c.bytes += long(piece);
    if (c.bytes >= c.nextProgress) {
      if (before >= kProgressStep)
        LogEvent(0, kLogSmtpProgress, "%04x: Sending file: %ld bytes", s.id,
                 (c.bytes / kProgressStep) * kProgressStep);
      c.nextProgress = (c.bytes / kProgressStep + 1) * kProgressStep;
    }
  }
}

SmtpStep StartMail(SmtpSession& s, SmtpClientSide& c, NetNode* node) {
  const Settings& st = ServerSettings();
  if (!c.request) {
    std::lock_guard<std::mutex> g(c.link->lock);
    c.request = std::move(c.link->handed);
    c.link->current = c.request;
  }
  if (!c.request) {
    if (!c.dequeueOnly) LogEvent(0, kLogSmtpProgress, kStrNoSender, s.id);
    c.step = kStepIdle;
    return SmtpStep::kContinue;
  }
  SmtpRequest& req = *c.request;
  SetIdle(c, false);
  if ((req.requireTls || st.smtpRequireTls) && !s.tlsOn) {
    // A connection kept from an earlier message in clear text.
    req.errorText = "TLS is required, but the connection to " + s.remoteHost + " is not encrypted.";
    c.step = kStepTemporary;
    return SmtpStep::kContinue;
  }
  c.accepted = 0;
  c.nextRecipient = 0;
  c.lines = 0;
  c.bytes = 0;
  c.nextProgress = kProgressStep;
  req.notFatal = true;
  req.retry = true;
  if (req.sender.empty()) {
    LogEvent(0, kLogSmtpProgress, kStrNoSender, s.id);
    req.errorText = Text(kStrNoFromLine);
    c.step = kStepFailed;
    return SmtpStep::kContinue;
  }
  if (st.doEsmtpSize && c.peerGaveSize && c.peerMaxSize > 0 && c.peerMaxSize < req.size) {
    req.errorText = FormatText(Text(kStrTooBig).c_str(), req.size, c.peerMaxSize);
    LogEvent(0, kLogSmtpProgress, kStrTooBigLog, s.id, req.size, c.peerMaxSize);
    c.step = kStepFailed;
    return SmtpStep::kContinue;
  }
  bool withSize = st.doEsmtpSize && s.isEsmtp && c.peerGaveSize && (c.peerMask & kExtSize);
  c.currentArgument = req.sender;
  SendCommand(s, node, kCmdMail, req.sender, {}, true, withSize ? req.size : -1);
  c.step = kStepMailReply;
  return SmtpStep::kContinue;
}

// The next recipient not yet asked for.
SmtpStep NextRecipient(SmtpSession& s, SmtpClientSide& c, NetNode* node) {
  SmtpRequest& req = *c.request;
  while (c.nextRecipient < req.recipients.size() &&
         req.recipients[c.nextRecipient].status != SmtpRecipientStatus::kUntried)
    ++c.nextRecipient;
  if (c.nextRecipient < req.recipients.size()) {
    c.currentArgument = req.recipients[c.nextRecipient].address;
    SendCommand(s, node, kCmdRcpt, c.currentArgument);
    c.step = kStepRcptReply;
    return SmtpStep::kContinue;
  }
  if (c.accepted > 0) {
    c.step = kStepData;
    return SmtpStep::kContinue;
  }
  // Nobody accepted. Refusals for good bounce their recipients; when some were
  // only put off, the message as a whole waits for a retry.
  bool anyDeferred = false;
  for (const SmtpRequestRecipient& r : req.recipients)
    anyDeferred = anyDeferred || r.status == SmtpRecipientStatus::kDeferred;
  LogEvent(0, kLogSmtpProgress, kStrNoLegalAbort, s.id);
  req.errorText = Text(kStrNoLegal);
  // The transaction is still open at the peer: end the connection after this.
  c.closeAfterMessage = true;
  c.step = anyDeferred ? kStepTemporary : kStepFailed;
  return SmtpStep::kContinue;
}

SmtpStep MailReply(SmtpSession& s, SmtpClientSide& c, const SmtpReply& r) {
  SmtpRequest& req = *c.request;
  req.mailAnswered = true;
  const char* from = c.currentArgument.c_str();
  if (r.code == 250) {
    LogEvent(0, kLogSmtpProgress, kStrSenderOk, s.id, from);
    c.step = kStepRcpt;
  } else if (r.code == 552 || (r.code >= 400 && r.code < 500)) {
    LogEvent(0, kLogSmtpProgress, kStrFromTransient, s.id, from, r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrMailTemporary).c_str(), r.word.c_str(), r.rest.c_str());
    c.step = kStepTemporary;
  } else if (r.code >= 500 && r.code < 600) {
    LogEvent(0, kLogSmtpProgress, kStrFromTerminal, s.id, from, r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrMailPermanent).c_str(), r.word.c_str(), r.rest.c_str());
    c.step = kStepFailed;
  } else {
    // Not an answer to MAIL: the dialogue is lost; try again later.
    LogEvent(0, kLogSmtpGeneral, "Illegal command: SendFrom %s %s", r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrMailTemporary).c_str(), r.word.c_str(), r.rest.c_str());
    c.closeAfterMessage = true;
    c.step = kStepTemporary;
  }
  return SmtpStep::kContinue;
}

SmtpStep RcptReply(SmtpSession& s, SmtpClientSide& c, const SmtpReply& r) {
  SmtpRequestRecipient& to = c.request->recipients[c.nextRecipient];
  const char* address = to.address.c_str();
  if (r.code == 250 || r.code == 251) {
    LogEvent(0, kLogSmtpProgress, kStrRcptOk, s.id, address);
    to.status = SmtpRecipientStatus::kAccepted;
    ++c.accepted;
  } else if (r.code >= 500 && r.code < 600) {
    // Refused for good: this recipient alone is bounced.
    if (r.code == 550 || r.code == 551)
      LogEvent(0, kLogSmtpProgress, kStrRcptUnknown, s.id, address);
    else
      LogEvent(0, kLogSmtpProgress, kStrTerminal, s.id, r.word.c_str(), r.rest.c_str());
    to.status = SmtpRecipientStatus::kRefused;
    to.reply = r.all;
  } else if (r.code >= 400 && r.code < 500) {
    LogEvent(0, kLogSmtpProgress, kStrTransient, s.id, r.word.c_str(), r.rest.c_str());
    to.status = SmtpRecipientStatus::kDeferred;
    to.reply = r.all;
  } else {
    LogEvent(0, kLogSmtpProgress, kStrUnknownError, s.id, r.word.c_str(), r.rest.c_str());
    to.status = SmtpRecipientStatus::kDeferred;
    to.reply = r.all;
    c.closeAfterMessage = true;
  }
  ++c.nextRecipient;
  c.step = kStepRcpt;
  return SmtpStep::kContinue;
}

SmtpStep DataReply(SmtpSession& s, SmtpClientSide& c, const SmtpReply& r) {
  SmtpRequest& req = *c.request;
  if (r.code == 354) {
    c.step = kStepBeginData;
  } else if (r.code >= 500 && r.code < 600) {
    LogEvent(0, kLogSmtpProgress, kStrDataTerminal, s.id, r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrDataPermanent).c_str(), r.word.c_str(), r.rest.c_str());
    c.step = kStepFailed;
  } else {
    LogEvent(0, kLogSmtpProgress, r.code >= 400 && r.code < 500 ? kStrDataTransient : kStrDataUnknown,
             s.id, r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrMailTemporary).c_str(), r.word.c_str(), r.rest.c_str());
    // The transaction stays open at the peer.
    c.closeAfterMessage = true;
    c.step = kStepTemporary;
  }
  return SmtpStep::kContinue;
}

SmtpStep DotReply(SmtpSession& s, SmtpClientSide& c, NetNode* node, const SmtpReply& r) {
  const Settings& st = ServerSettings();
  SmtpRequest& req = *c.request;
  NetSetIdleTimeout(node, gReplyTimeout.load());
  if (r.code == 250) {
    LogEvent(0, kLogSmtpProgress, kStrFileOkay, s.id, req.fileName.c_str(), c.lines, c.bytes);
    LogEvent(0, kLogSmtpProgress, kStrFileSent, s.id, r.all.c_str());
    if (st.useTls || s.tlsOn) {
      std::string version, cipher;
      if (s.tlsOn && NetTlsDescribe(node, version, cipher))
        LogEvent(0, kLogSmtpProgress, "%04x: file sent over %s with cipher %s.", s.id,
                 version.c_str(), cipher.c_str());
      else
        LogEvent(0, kLogSmtpProgress, "%04x: file sent without TLS.", s.id);
    }
    c.step = kStepDelivered;
  } else if (r.code >= 500 && r.code < 600) {
    LogEvent(0, kLogSmtpProgress, kStrTerminal, s.id, r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrSendPermanent).c_str(), r.word.c_str(), r.rest.c_str());
    c.step = kStepFailed;
  } else {
    LogEvent(0, kLogSmtpProgress, r.code >= 400 && r.code < 500 ? kStrTransient : kStrUnknownError,
             s.id, r.word.c_str(), r.rest.c_str());
    req.errorText = FormatText(Text(kStrMailTemporary).c_str(), r.word.c_str(), r.rest.c_str());
    if (r.code < 400 || r.code >= 500) c.closeAfterMessage = true;
    c.step = kStepTemporary;
  }
  return SmtpStep::kContinue;
}

SmtpStep EtrnReply(SmtpSession& s, SmtpClientSide& c, const SmtpReply& r) {
  if (r.code != 250)
    LogEvent(0, kLogSmtpGeneral, "%04x: Error response to ETRN command: %s %s", s.id,
             r.word.c_str(), r.rest.c_str());
  const std::string& alias = ServerSettings().outgoingAlias;
  c.step = c.step == kStepEtrnReply && !alias.empty() ? kStepEtrnAlias : kStepMail;
  return SmtpStep::kContinue;
}

// Steps 11-13: publishes the outcome, then QUIT or idle. What comes next is
// settled first, so the owner, woken by the outcome, finds the session idle (or
// already saying QUIT) and does not cut it off.
SmtpStep FinishSend(SmtpSession& s, SmtpClientSide& c, int32_t& state) {
  int step = c.step;
  bool quit = c.closeAfterMessage || step == kStepFailed;
  SmtpStep next = SmtpStep::kContinue;
  if (quit) {
    next = Quit(s, state);
  } else {
    c.step = kStepIdle;
    SetIdle(c, true);
  }
  FinishRequest(s, c, step, c.request ? c.request->errorText : std::string());
  return next;
}

SmtpStep Idle(SmtpSession& s, SmtpClientSide& c, int32_t& state) {
  bool quit = false, work = false, becameIdle = false;
  {
    std::lock_guard<std::mutex> g(c.link->lock);
    quit = c.link->quitWanted;
    work = c.link->handed != nullptr;
    becameIdle = !quit && !work && !c.link->idle;
    c.link->idle = !quit && !work;
  }
  if (becameIdle) Notify(*c.link);  // the owner may wait for idleness
  if (quit) return Quit(s, state);
  if (work) {
    c.step = kStepMail;
    return SmtpStep::kContinue;
  }
  return SmtpStep::kStop;
}

bool WaitsForReply(int step) {
  return step == kStepMailReply || step == kStepRcptReply || step == kStepDataReply ||
         step == kStepDotReply || step == kStepEtrnReply || step == kStepEtrnAliasReply;
}

SmtpStep SendingMessage(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpClientSide& c = *Client(s);
  SmtpReply r;
  if (WaitsForReply(c.step)) {
    if (auto step = TakeReply(s, c, node, state, r)) return *step;
  } else if (c.step == kStepIdle && NetBytesAvailable(node) > 0) {
    // Nothing was asked: only a 421 (the peer going away) means anything here.
    switch (ReadReply(s, c, node, r)) {
      case ReplyRead::kNone: break;
      case ReplyRead::kGarbage: return CloseNow(s, state);
      case ReplyRead::kReply:
        if (r.code == 421) LogEvent(0, kLogSmtpGeneral, 5030, s.id, s.remoteHost.c_str());
        return CloseNow(s, state);
    }
  }
  switch (c.step) {
    case kStepStart:
      c.step = c.dequeueOnly ? kStepEtrn : kStepMail;
      return SmtpStep::kContinue;
    case kStepMail: return StartMail(s, c, node);
    case kStepMailReply: return MailReply(s, c, r);
    case kStepRcpt: return NextRecipient(s, c, node);
    case kStepRcptReply: return RcptReply(s, c, r);
    case kStepData:
      SendCommand(s, node, kCmdData);
      c.step = kStepDataReply;
      return SmtpStep::kContinue;
    case kStepDataReply: return DataReply(s, c, r);
    case kStepBeginData:
      LogEvent(0, kLogSmtpProgress, kStrSendingFile, s.id, c.request->fileName.c_str(),
               c.request->size);
      c.readPos = c.request->offset;
      c.atLineStart = true;
      c.endOfFile = false;
      c.out.clear();
      c.outPos = 0;
      EncodeData(c, c.request->head.data(), c.request->head.size());
      c.step = kStepSendData;
      return SmtpStep::kContinue;
    case kStepSendData: {
      bool failed = false;
      if (SendData(s, c, node, failed)) {
        c.step = kStepDot;
        return SmtpStep::kContinue;
      }
      if (failed) {
        // The spool file cannot be read: the message cannot go out now.
        c.request->errorText = "Unable to read the message file.";
        return CloseNow(s, state);
      }
      return SmtpStep::kStop;  // on when the ring has room again
    }
    case kStepDot:
      SendCommand(s, node, kCmdDot);
      NetSetIdleTimeout(node, gFinalDotTimeout.load());
      c.step = kStepDotReply;
      return SmtpStep::kContinue;
    case kStepDotReply: return DotReply(s, c, node, r);
    case kStepDelivered:
    case kStepFailed:
    case kStepTemporary:
      return FinishSend(s, c, state);
    case kStepIdle: return Idle(s, c, state);
    case kStepEtrn:
      if (s.isEsmtp && (c.peerMask & kExtEtrn)) {
        SendCommand(s, node, kCmdEtrn);
        c.step = kStepEtrnReply;
      } else {
        c.step = kStepMail;
      }
      return SmtpStep::kContinue;
    case kStepEtrnReply:
    case kStepEtrnAliasReply:
      return EtrnReply(s, c, r);
    case kStepEtrnAlias:
      SendCommand(s, node, kCmdEtrn, ServerSettings().outgoingAlias);
      c.step = kStepEtrnAliasReply;
      return SmtpStep::kContinue;
    default:
      return CloseNow(s, state);
  }
}

// ---- QUIT --------------------------------------------------------------------------------

SmtpStep SendQuit(SmtpSession& s, NetNode* node, int32_t& state) {
  SendCommand(s, node, kCmdQuit);
  s.closing = true;
  state = kSmtpSentQuit;
  return SmtpStep::kStop;
}

SmtpStep SentQuit(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpClientSide& c = *Client(s);
  SmtpReply r;
  if (auto step = TakeReply(s, c, node, state, r)) return *step;
  if (r.code == 221) {
    LogEvent(0, kLogSmtpGeneral, kStrTerminated, s.id, s.remoteHost.c_str());
    LogEvent(0, kLogSmtpGeneral, kStrCloseData, r.all.c_str());
  } else {
    LogEvent(0, kLogSmtpGeneral, "Illegal command: SentQuit %s %s", r.word.c_str(), r.rest.c_str());
  }
  state = kSmtpCloseNow;
  return SmtpStep::kContinue;
}

// TURN is never asked for: a session that finds itself here says QUIT.
SmtpStep TurnStates(SmtpSession& s, NetNode*, int32_t& state) { return Quit(s, state); }

}  // namespace

// ---- Set-up ----------------------------------------------------------------------------

void SetSmtpClientTimeouts(uint16_t replySeconds, uint16_t finalDotSeconds) {
  gReplyTimeout = replySeconds ? replySeconds : kReplyTimeoutDefault;
  gFinalDotTimeout = finalDotSeconds ? finalDotSeconds : kFinalDotTimeoutDefault;
}

void RegisterSmtpClient() {
  std::call_once(gRegistered, [] {
    SetSmtpStateHandler(kSmtpWaitInit, WaitInit);
    SetSmtpStateHandler(kSmtpIssuedHello, IssuedHello);
    SetSmtpStateHandler(kSmtpClientStartTls, ClientStartTls);
    SetSmtpStateHandler(kSmtpSendingMessage, SendingMessage);
    SetSmtpStateHandler(kSmtpSendTurn, TurnStates);
    SetSmtpStateHandler(kSmtpTurnSent, TurnStates);
    SetSmtpStateHandler(kSmtpSendQuit, SendQuit);
    SetSmtpStateHandler(kSmtpSentQuit, SentQuit);
    SmtpClientHooks hooks;
    hooks.resetSend = ResetSend;
    hooks.onClose = OnClientClose;
    SetSmtpClientHooks(hooks);
  });
}

void AttachClientSide(SmtpSession& s, std::shared_ptr<SmtpClientLink> link, bool dequeueOnly) {
  auto* c = new SmtpClientSide;
  c->link = std::move(link);
  c->dequeueOnly = dequeueOnly;
  s.client = c;
}

void SmtpClientOnConnect(NetNode* node, uint16_t, int32_t, void* owner, int wsaError) {
  auto* s = static_cast<SmtpSession*>(owner);
  if (!s || !s->isClient || !s->client) return;
  SmtpClientSide& c = *Client(*s);
  if (wsaError == 0) {
    // Called with the receive lock held: the owner state is ours to set.
    node->ownerState = kSmtpWaitInit;
    NetSetIdleTimeout(node, gReplyTimeout.load());
    LogEvent(0, kLogSmtpGeneral, kStrConnecting, s->id);
  } else {
    LogEvent(0, kLogSmtpGeneral, "%04x: Unable to connect to %s: %s", s->id, s->remoteHost.c_str(),
             NetErrorText(wsaError).c_str());
  }
  {
    std::lock_guard<std::mutex> g(c.link->lock);
    c.link->connected = wsaError == 0;
    c.link->connectFailed = wsaError != 0;
    c.link->connectError = wsaError;
  }
  Notify(*c.link);
}
