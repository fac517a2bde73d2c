// The POP3 session machine: greeting, authorization, the transaction commands,
// listings, message sending and QUIT. Runs as the service's OnData.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"
#include "server/pop3/pop3_internal.h"
#include "server/pop3/pop3_server.h"
#include "server/pop3/pop3_words.h"
#include "server/smtp/smtp_words.h"

namespace {

// Texts of the string table used here.
enum : unsigned {
  kStrMailboxStopped = 5172,
  kStrAccessGranted = 5173,
  kStrInvalidAttempt = 5174,
  kStrAccessStarted = 5175,
  kStrAttempting = 5221,
  kStrUsingApop = 5232,
};

constexpr const char* kHiddenPass = "PASS ********";

enum class Step { kContinue, kStop };

std::string Lower(std::string_view text, size_t limit) {
  std::string out(text.substr(0, limit));
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Queues as much of the pending output as the send ring takes. True when none
// is left.
bool Flush(Pop3Session& s, NetNode* node) {
  while (!s.pendingOut.empty()) {
    if (node->deleted.load()) {
      s.pendingOut.clear();
      return true;
    }
    size_t take = std::min(s.pendingOut.size(), size_t(std::max(NetSendSpace(node), 0)));
    if (take == 0 || !_SendData(node, s.pendingOut.data(), int(take))) return false;
    s.pendingOut.erase(0, take);
  }
  return true;
}

// The reply line of `code`, logged without its line end.
std::string ReplyLine(Pop3Session& s, int code, Pop3Form form, const Pop3ReplyArgs& args) {
  std::string line;
  if (!ComposePop3Reply(code, form, args, line)) ComposePop3Reply(kPopUndefined, kFormPlain, {}, line);
  LogEvent(0, kLogPop3Debug, "P3-%04x --> %s", s.id,
           VisibleText(std::string_view(line).substr(0, line.size() - 2)).c_str());
  return line;
}

// Sends one reply; what the ring does not take now goes out first next time.
void Reply(Pop3Session& s, NetNode* node, int code, const Pop3ReplyArgs& args = {},
           Pop3Form form = kFormPlain) {
  s.pendingOut += ReplyLine(s, code, form, args);
  Flush(s, node);
}

// ---- Reading commands ----------------------------------------------------------

struct Pop3Command {
  std::string_view line;
  std::string_view word;
  std::string_view argument;
  Pop3Token token = kPopTokUnknown;
};

enum class Read { kNone, kLine };

Read ReadCommand(Pop3Session& s, NetNode* node, Pop3Command& cmd) {
  // A command is read only when the replies before it have gone: a client that
  // never reads cannot make the server hold more than one reply for it.
  if (!Flush(s, node)) return Read::kNone;
  int max = int(kPop3.lineBytes - 1);
  int n;
  bool tooLong = false;
  while ((n = NetReadLine(node, s.line.get(), max)) == -2) tooLong = true;
  if (tooLong || s.discarding) {
    // The rest of an over-long line is skipped up to its end. Then the line
    // counts as one unknown command and takes that command's path through the
    // state it arrived in: after USER it ends the login attempt like any other
    // wrong command, so the client's next USER starts a fresh one.
    s.discarding = n < 0;
    if (n < 0) return Read::kNone;
    LogEvent(0, kLogPop3, "P3-%04x: Command line longer than %d bytes refused.", s.id, max);
    cmd = Pop3Command();
    return Read::kLine;
  }
  if (n < 0) return Read::kNone;
  cmd.line = std::string_view(s.line.get(), size_t(n));
  SmtpCommandLine parts = SplitSmtpLine(cmd.line);
  cmd.word = parts.word;
  cmd.argument = parts.argument;
  cmd.token = FindPop3Token(cmd.word);
  if (cmd.token == kPopTokPass)
    LogEvent(0, kLogPop3Debug, "P3-%04x <-- %s", s.id, kHiddenPass);
  else
    LogEvent(0, kLogPop3Debug, "P3-%04x <-- %s", s.id, VisibleText(cmd.line).c_str());
  return Read::kLine;
}

// QUIT in any reading state.
Step Quit(Pop3Session& s, NetNode* node, int32_t& state) {
  LogEvent(0, kLogPop3, kStrMailboxStopped, s.id, VisibleText(s.user).c_str());
  if (s.opened) {
    std::string why;
    if (!CommitMaildrop(s, why))
      LogEvent(0, kLogAlways, "P3-%04x: Unable to update mailbox for %s: %s", s.id,
               VisibleText(s.user).c_str(), why.c_str());
  }
  Reply(s, node, kPopSigningOff, {ServerSettings().localNode, {}});
  state = kPopClosing;
  return Step::kContinue;
}

// ---- Authorization -------------------------------------------------------------

int ResultOfOpen(MaildropOpen open) {
  switch (open) {
    case MaildropOpen::kOpened: return kPopMailboxReady;
    case MaildropOpen::kNotAllowed: return kPopNotAllowed;
    case MaildropOpen::kLocked: return kPopAlreadyLocked;
    case MaildropOpen::kFailed: break;
  }
  return kPopUnableToLock;
}

// A lookup that failed for want of the registry database is answered as a
// temporary failure (RFC 3206's SYS/TEMP), never as a wrong name or password: the
// client keeps its password and tries again.
void LogLookupUnavailable(const Pop3Session& s) {
  LogEvent(0, kLogPop3, "P3-%04x: The registry is out of reach; %s not checked, try later.", s.id,
           VisibleText(s.user).c_str());
}

void CheckPass(Pop3Session& s, NetNode* node, std::string_view offered) {
  std::string stored;
  uint64_t unreachable = RegUnreachableFailures();
  bool found = !s.lookupFailed && s.userExists && GetPassword(s.user, stored, "");
  if (s.lookupFailed || RegUnreachableFailures() != unreachable) {
    LogLookupUnavailable(s);
    s.result = kPopTryLater;
  } else if (!found) {
    LogEvent(0, kLogPop3, "P3-%04x: Unable to access password for user.", s.id);
    s.result = kPopUnableToLock;
  } else if (!stored.empty() && !CheckPassword(s.user, std::string(offered), stored, "")) {
    LogEvent(0, kLogPop3, kStrInvalidAttempt, s.id, VisibleText(s.user).c_str());
    s.result = kPopInvalidPassword;
  } else {
    LogEvent(0, kLogPop3, kStrAccessGranted, s.id, VisibleText(s.user).c_str());
    s.result = ResultOfOpen(OpenMaildrop(s, node));
    LogEvent(0, kLogPop3Debug, "P3-%04x: Password okay.", s.id);
  }
  if (s.result != kPopMailboxReady) {
    CloseMaildrop(s);
    LogEvent(0, kLogPop3Debug, "P3-%04x: Password not okay.", s.id);
  }
}

void Apop(Pop3Session& s, NetNode* node, std::string_view argument) {
  LogEvent(0, kLogPop3, kStrUsingApop, s.id);
  s.apop = true;
  std::string_view name, digest;
  SplitApopArgument(argument, name, digest);
  s.user = Lower(name, kPop3.userChars);
  s.userExists = false;
  s.result = kPopInvalidPassword;
  std::string account, stored, clear;
  uint64_t unreachable = RegUnreachableFailures();
  bool ok = digest.size() == kPop3.apopDigestChars && !s.user.empty() &&
            ResolveAccountName(s.user, account, "") && GetPassword(s.user, stored, "") &&
            UnscramblePassword(Lower(account, account.size()), stored, clear);
  if (RegUnreachableFailures() != unreachable) {
    LogLookupUnavailable(s);
    s.result = kPopTryLater;
    return;
  }
  if (ok) {
    ok = ComputeApopDigest(s.stamp, clear) == digest;
    std::fill(clear.begin(), clear.end(), '\0');
  }
  if (ok) {
    s.userExists = true;
    // A right digest whose mailbox cannot be had is told apart from a wrong one.
    MaildropOpen open = OpenMaildrop(s, node);
    s.result = open == MaildropOpen::kOpened ? kPopUserFound : ResultOfOpen(open);
    if (s.result != kPopUserFound) CloseMaildrop(s);
  }
  LogEvent(0, kLogPop3,
           s.result == kPopUserFound ? "P3-%04x: Digested password for '%s' okay."
                                     : "P3-%04x: Digested password for '%s' not okay.",
           s.id, VisibleText(s.user).c_str());
}

// The maildrop is open: the session enters the transaction state.
void StartTransaction(Pop3Session& s, int32_t& state) {
  LogEvent(0, kLogPop3, kStrAccessStarted, s.id, VisibleText(s.user).c_str());
  long long count = (long long)s.index.messages.size();
  if (s.highest > count - 1) s.highest = count - 1;
  state = kPopTransaction;
}

bool IsLoopbackPeer(const Pop3Session& s) { return (ntohl(s.peer.s_addr) >> 24) == 127; }

// USER and PASS in clear text away from loopback, when TLS is required for them.
bool ClearPasswordRefused(const Pop3Session& s) {
  const Settings& st = ServerSettings();
  return st.useTls && st.pop3RequireTls && !s.tlsOn && !IsLoopbackPeer(s);
}

// CAPA (RFC 2449) and STLS (RFC 2595), offered with UseTls only. True when the
// command was one of them (the reply is sent).
bool HandleTlsCommand(Pop3Session& s, NetNode* node, const Pop3Command& cmd) {
  const Settings& st = ServerSettings();
  if (!st.useTls) return false;
  if (cmd.token == kPopTokCapa) {
    std::string lines = "TOP\r\n";
    if (!ClearPasswordRefused(s)) lines += "USER\r\n";
    lines += "UIDL\r\n";
    if (!s.tlsOn && NetTlsServerReady()) lines += "STLS\r\n";
    Reply(s, node, kPopCapabilities, {lines, {}});
    return true;
  }
  if (cmd.token != kPopTokStls) return false;
  if (s.tlsOn) {
    Reply(s, node, kPopTlsActive);
    return true;
  }
  if (!NetTlsServerReady()) {
    Reply(s, node, kPopTlsUnavailable);
    return true;
  }
  Reply(s, node, kPopBeginTls);
  std::string why;
  if (!Flush(s, node) || !NetStartTls(node, true, why)) {
    LogEvent(0, kLogPop3, "P3-%04x: Unable to start TLS: %s", s.id, why.c_str());
    NetCloseNode(node, true, 0, true);
    return true;
  }
  s.tlsOn = true;
  s.user.clear();
  s.userExists = false;
  LogEvent(0, kLogPop3, "P3-%04x: Starting TLS.", s.id);
  return true;
}

Step Greet(Pop3Session& s, NetNode* node, int32_t& state) {
  if (!s.counted) {
    s.counted = true;
    AddOpenSession(1);
  }
  s.stampTick = GetTickCount32();
  const std::string& host = ServerSettings().localNode;
  s.stamp = MakeApopStamp(s.id, s.stampTick, host);
  Reply(s, node, kPopGreeting, {host, s.stamp});
  state = kPopAuthorization;
  return Step::kContinue;
}

Step Authorization(Pop3Session& s, NetNode* node, int32_t& state) {
  Pop3Command cmd;
  Read r = ReadCommand(s, node, cmd);
  if (r == Read::kNone) return Step::kStop;
  if (HandleTlsCommand(s, node, cmd)) return Step::kContinue;
  switch (cmd.token) {
    case kPopTokQuit:
      return Quit(s, node, state);
    case kPopTokUser: {
      if (ClearPasswordRefused(s)) {
        s.result = kPopTlsRequired;
        LogEvent(0, kLogPop3, "P3-%04x: USER refused without TLS.", s.id);
        break;
      }
      s.apop = false;
      std::string_view name = FirstWord(cmd.argument);
      s.user = Lower(name, kPop3.userChars);
      // A longer name is never cut to another account's name.
      std::string display;
      uint64_t unreachable = RegUnreachableFailures();
      bool exists = !name.empty() && name.size() <= kPop3.userChars &&
                    GetUserName(s.user, display, "");
      s.lookupFailed = RegUnreachableFailures() != unreachable;
      s.result = exists ? kPopUserFound : kPopNeverHeard;
      if (exists || s.lookupFailed)
        LogEvent(0, kLogPop3, kStrAttempting, s.id, VisibleText(s.user).c_str());
      else
        LogEvent(0, kLogPop3, "P3-%04x: User %s does not exist.", s.id, VisibleText(s.user).c_str());
      break;
    }
    case kPopTokApop:
      Apop(s, node, cmd.argument);
      break;
    default:
      s.result = kPopUnknownCommand;
      LogEvent(0, kLogPop3, "P3-%04x: Illegal command in state %d", s.id, int(state));
      break;
  }
  state = kPopAuthorizationReply;
  return Step::kContinue;
}

Step AuthorizationReply(Pop3Session& s, NetNode* node, int32_t& state) {
  switch (s.result) {
    case kPopUserFound:
    case kPopNeverHeard:
      s.userExists = s.result == kPopUserFound;
      Reply(s, node, kPopWelcome, {s.user, {}});
      if (s.apop && s.opened) {
        StartTransaction(s, state);
      } else {
        state = kPopExpectPass;
      }
      break;
    case kPopTlsRequired:
    case kPopTryLater:
    case kPopInvalidPassword:
    case kPopNotAllowed:
    case kPopAlreadyLocked:
    case kPopUnableToLock:
      Reply(s, node, s.result);
      state = kPopAuthorization;
      break;
    default:
      Reply(s, node, kPopUnknownCommand);
      state = kPopAuthorization;
      break;
  }
  return Step::kContinue;
}

Step ExpectPass(Pop3Session& s, NetNode* node, int32_t& state) {
  Pop3Command cmd;
  Read r = ReadCommand(s, node, cmd);
  if (r == Read::kNone) return Step::kStop;
  if (cmd.token == kPopTokQuit) return Quit(s, node, state);
  if (cmd.token == kPopTokPass) {
    CheckPass(s, node, cmd.argument);
  } else {
    s.result = kPopUnknownCommand;
    LogEvent(0, kLogPop3, "P3-%04x: Illegal command %d(%s) in state %d", s.id, int(cmd.token),
             VisibleText(cmd.word).c_str(), int(state));
  }
  state = kPopPassReply;
  return Step::kContinue;
}

Step PassReply(Pop3Session& s, NetNode* node, int32_t& state) {
  if (s.result == kPopMailboxReady) {
    Reply(s, node, kPopMailboxReady,
          {s.user, {}, (long long)s.index.messages.size(), s.index.LiveBytes()});
    StartTransaction(s, state);
  } else {
    Reply(s, node, s.result);
    state = kPopAuthorization;
  }
  return Step::kContinue;
}

// ---- Transaction ---------------------------------------------------------------

// The 0-based index of a message number argument; -1 after reply 16.
long long FindMessage(Pop3Session& s, NetNode* node, std::string_view argument,
                      bool deletedIsMissing = true) {
  long long n = ParseMessageNumber(argument);
  long long count = (long long)s.index.messages.size();
  if (n < 1 || n > count || (deletedIsMissing && s.index.messages[size_t(n - 1)].deleted)) {
    Reply(s, node, kPopNoSuchMessage);
    return -1;
  }
  return n - 1;
}

void StartListing(Pop3Session& s, NetNode* node, int32_t& state, std::string_view argument,
                  bool ids) {
  s.listIds = ids;
  s.listStarted = false;
  if (argument.empty()) {
    s.listSingle = false;
    s.listFirst = s.listCurrent = 0;
    s.listLast = s.index.messages.size();
  } else {
    long long i = FindMessage(s, node, argument);
    if (i < 0) return;
    s.listSingle = true;
    s.listFirst = s.listCurrent = size_t(i);
    s.listLast = size_t(i) + 1;
  }
  state = kPopListing;
}

void StartSending(Pop3Session& s, NetNode* node, int32_t& state, std::string_view argument,
                  bool top) {
  long long i = FindMessage(s, node, argument);
  if (i < 0) return;
  s.sendIndex = size_t(i);
  s.topCount = top ? ParseLineCount(SecondArgument(argument)) : -1;
  s.sendStarted = false;
  state = kPopSending;
}

Step Transaction(Pop3Session& s, NetNode* node, int32_t& state) {
  Pop3Command cmd;
  Read r = ReadCommand(s, node, cmd);
  if (r == Read::kNone) return Step::kStop;
  switch (cmd.token) {
    case kPopTokQuit:
      return Quit(s, node, state);
    case kPopTokStat:
      Reply(s, node, kPopStat, {{}, {}, s.liveCount, s.liveSize});
      break;
    case kPopTokList:
    case kPopTokUidl:
      StartListing(s, node, state, cmd.argument, cmd.token == kPopTokUidl);
      break;
    case kPopTokRetr:
    case kPopTokTop:
      StartSending(s, node, state, cmd.argument, cmd.token == kPopTokTop);
      break;
    case kPopTokDele: {
      long long i = FindMessage(s, node, cmd.argument, false);
      if (i < 0) break;
      MailboxMessage& m = s.index.messages[size_t(i)];
      if (m.deleted) {
        Reply(s, node, kPopAlreadyDeleted, {{}, {}, i + 1});
        break;
      }
      Reply(s, node, kPopDeleted, {{}, {}, i + 1});
      m.deleted = true;
      s.liveSize -= m.length;
      s.liveCount -= 1;
      s.highest = std::max(s.highest, i);
      break;
    }
    case kPopTokNoop:
      Reply(s, node, kPopOk);
      break;
    case kPopTokLast:
      Reply(s, node, kPopLast, {{}, {}, s.highest + 1});
      break;
    case kPopTokRset:
      for (MailboxMessage& m : s.index.messages) m.deleted = false;
      s.liveCount = (long long)s.index.messages.size();
      s.liveSize = s.index.LiveBytes();
      s.highest = -1;
      Reply(s, node, kPopOk);
      break;
    default:
      Reply(s, node, kPopUnknownCommand);
      break;
  }
  return Step::kContinue;
}

// The reply line of one listed message.
std::string ListingLine(Pop3Session& s, size_t i, int code) {
  const MailboxMessage& m = s.index.messages[i];
  long long number = (long long)i + 1;
  if (!s.listIds) return ReplyLine(s, code, kFormPlain, {{}, {}, number, m.length});
  const std::string& id = i < s.uids.size() ? s.uids[i] : m.messageId;
  return ReplyLine(s, code, id.empty() ? kFormNoId : kFormId, {id, {}, number});
}

Step Listing(Pop3Session& s, NetNode* node, int32_t& state) {
  if (!Flush(s, node)) return Step::kStop;
  if (s.listSingle) {
    s.pendingOut += ListingLine(s, s.listCurrent, kPopSingleListing);
    Flush(s, node);
    state = kPopTransaction;
    return Step::kContinue;
  }
  size_t space = size_t(std::max(NetSendSpace(node), 0));
  std::string batch;
  if (!s.listStarted) {
    Pop3ReplyArgs args{{}, {}, s.liveCount, s.liveSize};
    batch = ReplyLine(s, kPopListingStart, s.listIds ? kFormId : kFormPlain, args);
    s.listStarted = true;
  }
  for (; s.listCurrent < s.listLast; ++s.listCurrent) {
    if (s.index.messages[s.listCurrent].deleted) continue;
    std::string line = ListingLine(s, s.listCurrent, kPopListingLine);
    // A listing stops where the ring is full and goes on at this message.
    if (batch.size() + line.size() > space && !batch.empty()) break;
    batch += line;
  }
  if (s.listCurrent >= s.listLast) {
    batch += ReplyLine(s, kPopEnd, kFormPlain, {});
    state = kPopTransaction;
  }
  s.pendingOut += batch;
  Flush(s, node);
  return state == kPopTransaction ? Step::kContinue : Step::kStop;
}

// ---- Sending a message ---------------------------------------------------------

// One stored line of the message being sent, found in the file buffer (which is
// refilled as needed). False at the end of the message or on a read error
// (`readError`).
bool NextStoredLine(Pop3Session& s, std::string_view& line, size_t& consumed, bool& readError) {
  const MailboxMessage& m = s.index.messages[s.sendIndex];
  readError = false;
  for (;;) {
    long long unread = m.length - (s.bufferBase + (long long)s.fileBuffer.size());
    std::string_view rest = std::string_view(s.fileBuffer).substr(s.bufferPos);
    size_t end = rest.find_first_of("\r\n");
    // A CR at the buffer's end may be followed by an LF not read yet.
    bool needMore = unread > 0 && (end == std::string_view::npos || end + 1 == rest.size());
    if (needMore && (s.bufferPos > 0 || s.fileBuffer.size() < kPop3.fileBufferBytes)) {
      s.bufferBase += (long long)s.bufferPos;
      s.fileBuffer.erase(0, s.bufferPos);
      s.bufferPos = 0;
      size_t want = size_t(std::min<long long>(
          unread, (long long)(kPop3.fileBufferBytes - s.fileBuffer.size())));
      std::string more;
      long long at = m.offset + s.bufferBase + (long long)s.fileBuffer.size();
      if (!ReadMailboxBytes(s.mailbox.get(), at, want, more)) {
        readError = true;
        return false;
      }
      s.fileBuffer += more;
      continue;
    }
    if (rest.empty()) return false;
    if (end == std::string_view::npos || (needMore && end + 1 == rest.size())) {
      // No line end within a full buffer: this much goes out as a line.
      line = rest;
      consumed = rest.size();
      return true;
    }
    line = rest.substr(0, end);
    consumed = end + 1;
    if (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ++consumed;
    return true;
  }
}

Step Sending(Pop3Session& s, NetNode* node, int32_t& state) {
  if (!Flush(s, node)) return Step::kStop;
  const MailboxMessage& m = s.index.messages[s.sendIndex];
  if (!s.sendStarted) {
    if (s.topCount < 0) {
      s.retrieved[s.sendIndex] = 1;
      s.retrievedAny = true;
    }
    s.fileBuffer.clear();
    s.bufferBase = 0;
    s.bufferPos = 0;
    s.headerPhase = s.topCount >= 0;
    s.previousEmpty = false;
    s.highest = std::max(s.highest, (long long)s.sendIndex);
    s.sendStarted = true;
    if (s.topCount < 0)
      s.pendingOut += ReplyLine(s, kPopRetrStart, kFormPlain, {{}, {}, m.length});
    else
      s.pendingOut += ReplyLine(s, kPopOk, kFormPlain, {});
    if (!Flush(s, node)) return Step::kStop;
  }
  size_t space = size_t(std::max(NetSendSpace(node), 0));
  std::string batch, wire;
  bool finished = false;
  for (int lines = 0; lines < kPop3.linesPerCall; ++lines) {
    std::string_view stored;
    size_t consumed = 0;
    bool readError = false;
    if (!NextStoredLine(s, stored, consumed, readError)) {
      if (readError) {
        // Half a message must not look whole: the connection ends without
        // the end line, and without QUIT nothing is deleted.
        LogEvent(0, kLogAlways, "P3-%04x: Unable to read message %ld of the mailbox.", s.id,
                 long(s.sendIndex + 1));
        s.pendingOut += batch;
        s.sendStarted = false;
        state = kPopClosing;
        return Step::kContinue;
      }
      finished = true;
      break;
    }
    std::string_view text = stored;
    if (s.previousEmpty && IsQuotedFromLine(text)) text.remove_prefix(1);
    wire.clear();
    AppendMessageLine(text, wire);
    if (batch.size() + wire.size() > space) break;  // resent from here next time
    batch += wire;
    s.bufferPos += consumed;
    bool empty = stored.empty();
    s.previousEmpty = empty;
    if (s.topCount >= 0) {
      bool counted = !s.headerPhase || empty;
      if (empty) s.headerPhase = false;
      if (counted) {
        if (s.topCount == 0) {
          finished = true;
          break;
        }
        --s.topCount;
      }
    }
  }
  if (finished) {
    batch += ReplyLine(s, kPopEnd, kFormPlain, {});
    s.sendStarted = false;
    s.fileBuffer.clear();
    s.fileBuffer.shrink_to_fit();
    state = kPopTransaction;
  }
  s.pendingOut += batch;
  Flush(s, node);
  return finished ? Step::kContinue : Step::kStop;
}

Step Closing(Pop3Session& s, NetNode* node, int32_t&) {
  if (!s.closing) {
    s.closing = true;
    NetSetIdleTimeout(node, kPop3.closingTimeoutSeconds);
  }
  // The last reply goes into the ring before the graceful close.
  if (!Flush(s, node)) return Step::kStop;
  if (!s.closeIssued) {
    s.closeIssued = true;
    NetCloseNode(node, false, kPop3.closeDelaySeconds, true);
  }
  return Step::kStop;
}

Step RunState(Pop3Session& s, NetNode* node, int32_t& state) {
  switch (state) {
    case kPopGreet: return Greet(s, node, state);
    case kPopAuthorization: return Authorization(s, node, state);
    case kPopAuthorizationReply: return AuthorizationReply(s, node, state);
    case kPopExpectPass: return ExpectPass(s, node, state);
    case kPopPassReply: return PassReply(s, node, state);
    case kPopTransaction: return Transaction(s, node, state);
    case kPopListing: return Listing(s, node, state);
    case kPopSending: return Sending(s, node, state);
    default:
      state = kPopClosing;
      return Closing(s, node, state);
  }
}

}  // namespace

bool Pop3OnData(NetNode* node, uint16_t, int32_t* ownerState, void* owner, int) {
  auto* s = static_cast<Pop3Session*>(owner);
  if (!s || s->listener) return false;
  // Sessions run side by side. What one session touches is its own record (the
  // network layer never runs two callbacks of one node at once), its mailbox
  // (under the mailbox lock, which keeps out the router and every other session
  // from login to the end) and process-wide counters that are atomic. A single
  // process-wide busy flag protected nothing beyond that, and it let one session
  // waiting 10 s for a mailbox lock stop every other session, including the one
  // whose QUIT would have released the lock.
  int32_t state = *ownerState;
  while (!node->deleted.load()) {
    Step step = RunState(*s, node, state);
    *ownerState = state;
    if (step == Step::kStop) break;
  }
  *ownerState = state;
  return false;
}
