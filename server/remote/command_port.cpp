// The password changer and the control port: listeners, sessions, the password
// change and the guard against guessing.
#include "server/remote/command_port.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/remote/remote_common.h"
#include "server/smtp/smtp_words.h"

namespace {

// The reply table, by reply number.
struct PortReplyRow {
  int code;
  const char* text;
};
constexpr PortReplyRow kReplies[] = {
    {kReplyHelloControl, "200 Hello from command port for %s.\r\n"},
    {kReplyByeControl, "200 Goodbye from command port for %s.\r\n"},
    {kReplyHello, "200 hello\r\n"},
    {kReplyBye, "200 bye\r\n"},
    {kReplyRequired, "500 %s required\r\n"},
    {kReplySendPassword, "300 send password:\r\n"},
    {kReplySendNew, "200 thank you, send your new password:\r\n"},
    {kReplyLength, "500 new password must be between %d and %d characters\r\n"},
    {kReplySame, "500 passwords must be different\r\n"},
    {kReplyChanged, "200 password changed.  thanks!\r\n"},
    {kReplyWaitingQuit, "500 illegal command while waiting for quit\r\n"},
    {kReplyAuthFailure, "500 authentication failure\r\n"},
    {kReplyUnable, "400 unable to change password\r\n"},
    {kReplyProtocol, "500 protocol error\r\n"},
};

// The command words: whole words, any case.
enum PortToken { kTokNone = 0, kTokUser = 1, kTokPass = 2, kTokNewPass = 3, kTokQuit = 4 };
struct PortWord {
  const char* word;
  PortToken token;
};
constexpr PortWord kWords[] = {
    {"USER", kTokUser}, {"PASS", kTokPass}, {"NEWPASS", kTokNewPass}, {"QUIT", kTokQuit}};

constexpr ListenerTexts kListenerTexts = {
    "Cannot create port socket: %s", "Cannot set attributes for socket.",
    "Unable to bind port.",          "Unable to create port buffer.",
    "Unable to register port node.", "Unable to set up listen on port.",
};

struct PortSession {
  uint16_t id = 0;
  bool listener = false;
  bool control = false;       // service 4
  bool closing = false;
  bool discarding = false;    // the rest of an over-long line is skipped
  in_addr peer{};
  std::string user;
  std::string oldPassword;
  bool oldTooLong = false;
  uint32_t failureTick = 0;   // when the failed check was made
  std::unique_ptr<char[]> line;
  std::string pendingOut;     // reply bytes the send ring did not take yet
};

// Failed checks of one address.
struct GuessRecord {
  uint32_t windowStart = 0;
  int failures = 0;
  bool blockLogged = false;
};

struct GuessTable {
  std::mutex lock;
  std::map<uint32_t, GuessRecord> byAddress;
};

GuessTable& Guesses() {
  static GuessTable t;
  return t;
}

std::atomic<uint16_t> gNextSessionId{0};
// One command-port handler at a time; a session that finds the flag set returns
// and is called again by the network layer.
std::atomic<bool> gBusy{false};

void FreeSession(void* owner) { delete static_cast<PortSession*>(owner); }

PortSession* NewSession(bool withLine) {
  auto* s = new (std::nothrow) PortSession();
  if (!s) return nullptr;
  if (withLine) {
    s->line.reset(new (std::nothrow) char[kPort.lineBytes]);
    if (!s->line) {
      delete s;
      return nullptr;
    }
  }
  s->id = gNextSessionId.fetch_add(1);
  return s;
}

PortToken FindToken(std::string_view word) {
  for (const PortWord& w : kWords)
    if (word.size() == strlen(w.word) && strncasecmp(word.data(), w.word, word.size()) == 0)
      return w.token;
  return kTokNone;
}

// Drops records whose period is over; when still full, the oldest period goes.
void PruneGuesses(GuessTable& t, uint32_t now) {
  for (auto it = t.byAddress.begin(); it != t.byAddress.end();)
    it = TickElapsed(now, it->second.windowStart) >= kPort.guessWindowMs ? t.byAddress.erase(it)
                                                                         : std::next(it);
  if (t.byAddress.size() < kPort.guessAddresses) return;
  auto oldest = std::max_element(t.byAddress.begin(), t.byAddress.end(), [&](auto& a, auto& b) {
    return TickElapsed(now, a.second.windowStart) < TickElapsed(now, b.second.windowStart);
  });
  t.byAddress.erase(oldest);
}

// True when the address has used up its failures for the current period.
bool AddressBlocked(const PortSession& s) {
  GuessTable& t = Guesses();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.byAddress.find(s.peer.s_addr);
  if (it == t.byAddress.end()) return false;
  GuessRecord& r = it->second;
  if (TickElapsed(GetTickCount32(), r.windowStart) >= kPort.guessWindowMs) {
    t.byAddress.erase(it);
    return false;
  }
  if (r.failures < kPort.guessLimit) return false;
  if (!r.blockLogged) {
    r.blockLogged = true;
    LogEvent(0, kLogAlways,
             "CP-%04x: %s failed %d times; its checks are refused for the rest of %u minutes.",
             s.id, NetAddressText(s.peer).c_str(), r.failures, kPort.guessWindowMs / 60000);
  }
  return true;
}

void CountFailure(const PortSession& s) {
  GuessTable& t = Guesses();
  std::lock_guard<std::mutex> hold(t.lock);
  uint32_t now = GetTickCount32();
  auto it = t.byAddress.find(s.peer.s_addr);
  if (it == t.byAddress.end()) {
    PruneGuesses(t, now);
    it = t.byAddress.emplace(s.peer.s_addr, GuessRecord{now, 0, false}).first;
  }
  ++it->second.failures;
}

// Queues as much of the pending output as the send ring takes; true when none
// is left. A reply that does not fit waits for the next round.
bool Flush(PortSession& s, NetNode* node) {
  if (s.pendingOut.empty()) return true;
  if (node->deleted.load()) {
    s.pendingOut.clear();
    return true;
  }
  if (!_SendData(node, s.pendingOut.data(), int(s.pendingOut.size()))) return false;
  s.pendingOut.clear();
  return true;
}

void Reply(PortSession& s, NetNode* node, int code, const std::string& argument = "") {
  s.pendingOut += PortReplyText(code, argument);
  Flush(s, node);
}

using Step = SessionStep;

struct PortCommand {
  PortToken token = kTokNone;
  std::string_view word;
  std::string_view argument;
};

enum class Read { kNone, kLine, kRefused };

// One command line. An over-long line is read away up to its end and refused
// once with reply 18.
Read ReadCommand(PortSession& s, NetNode* node, int32_t state, PortCommand& cmd) {
  if (!Flush(s, node)) return Read::kNone;
  int max = int(kPort.lineBytes - 1);
  int n;
  bool tooLong = false;
  while ((n = NetReadLine(node, s.line.get(), max)) == -2) tooLong = true;
  if (tooLong || s.discarding) {
    s.discarding = n < 0;
    if (n < 0) return Read::kNone;
    LogEvent(0, kLogAlways, "CP-%04x: Protocol Error: %d->(line longer than %d bytes)", s.id,
             int(state), max);
    Reply(s, node, kReplyProtocol);
    return Read::kRefused;
  }
  if (n < 0) return Read::kNone;
  SmtpCommandLine parts = SplitSmtpLine(std::string_view(s.line.get(), size_t(n)));
  cmd.word = parts.word;
  cmd.argument = parts.argument;
  cmd.token = FindToken(parts.word);
  return Read::kLine;
}

// Reply 18; the log names the command word only (the rest may be a password).
void ProtocolError(PortSession& s, NetNode* node, int32_t state, const PortCommand& cmd) {
  Reply(s, node, kReplyProtocol);
  LogEvent(0, kLogAlways,
           state == kPortUser ? "CP-%04x: Protocol Error: %d->(%s)" : "CP-%04x: Protocol Error: %d->%s",
           s.id, int(state), std::string(cmd.word).c_str());
}

Step Quit(PortSession& s, NetNode* node, int32_t& state) {
  Reply(s, node, s.control ? kReplyByeControl : kReplyBye, ServerSettings().localNode);
  LogEvent(0, kLogAlways, "CP-%04x: User requesting close.", s.id);
  state = kPortClosing;
  return Step::kContinue;
}

Step Greet(PortSession& s, NetNode* node, int32_t& state) {
  if (s.control) Reply(s, node, kReplyHelloControl, ServerSettings().localNode);
  else Reply(s, node, kReplyHello);
  state = kPortUser;
  return Step::kContinue;
}

Step ExpectUser(PortSession& s, NetNode* node, int32_t& state) {
  PortCommand cmd;
  Read r = ReadCommand(s, node, state, cmd);
  if (r == Read::kNone) return Step::kStop;
  if (r == Read::kRefused) return Step::kContinue;
  if (cmd.token == kTokQuit) return Quit(s, node, state);
  if (cmd.token != kTokUser) {
    ProtocolError(s, node, state, cmd);
    return Step::kContinue;
  }
  std::string_view name = FirstWord(cmd.argument);
  if (name.empty()) {
    Reply(s, node, kReplyRequired, "username");
    LogEvent(0, kLogAlways, "CP-%04x: Null user name entered.", s.id);
    return Step::kContinue;
  }
  if (name.size() > kPort.userChars) {
    // Cut, it could name another account.
    Reply(s, node, kReplyProtocol);
    LogEvent(0, kLogAlways, "CP-%04x: Protocol Error: %d->(user name longer than %zu characters)",
             s.id, int(state), kPort.userChars);
    return Step::kContinue;
  }
  s.user = std::string(name);
  LogEvent(0, kLogAlways, "CP-%04x: User '%s' requesting password change.", s.id, s.user.c_str());
  Reply(s, node, kReplySendPassword);
  state = kPortPass;
  return Step::kContinue;
}

Step ExpectPass(PortSession& s, NetNode* node, int32_t& state) {
  PortCommand cmd;
  Read r = ReadCommand(s, node, state, cmd);
  if (r == Read::kNone) return Step::kStop;
  if (r == Read::kRefused) return Step::kContinue;
  if (cmd.token == kTokQuit) return Quit(s, node, state);
  if (cmd.token != kTokPass) {
    ProtocolError(s, node, state, cmd);
    return Step::kContinue;
  }
  std::string_view password = FirstWord(cmd.argument);
  if (password.empty()) {
    Reply(s, node, kReplyRequired, "password");
    LogEvent(0, kLogAlways, "CP-%04x: Null password entered", s.id);
    return Step::kContinue;
  }
  if (s.control) {
    // The control port offers nothing beyond the user name; its clients are told
    // so instead of being left waiting.
    ProtocolError(s, node, state, cmd);
    return Step::kContinue;
  }
  // A longer password is never cut: the check must fail, not match a prefix.
  s.oldTooLong = password.size() > kPort.passwordChars;
  s.oldPassword = std::string(password.substr(0, kPort.passwordChars));
  LogEvent(0, kLogAlways, "CP-%04x: User entered password.", s.id);
  Reply(s, node, kReplySendNew);
  state = kPortNewPass;
  return Step::kContinue;
}

enum class Change { kChanged, kAuthFailure, kNoAccess, kUnable };

// Checks the user and old password and rewrites the record, as one registry
// step: nothing can come between the check and the write.
Change ChangePassword(PortSession& s, const std::string& newPassword) {
  RegTransaction tx;
  AccountRecord rec;
  std::string stored;
  if (!ReadAccount(s.user, "", true, rec) || rec.type != kAccountUser) {
    LogEvent(0, kLogAlways, "CP-%04x: Authentication failure: user '%s'.", s.id, s.user.c_str());
    return Change::kAuthFailure;
  }
  GetRecordField(rec.text, 3, stored);
  // An empty stored password matches nothing here: it is no password to know.
  if (s.oldTooLong || stored.empty() || !CheckPassword(rec.name, s.oldPassword, stored, "")) {
    LogEvent(0, kLogAlways, "CP-%04x: Authentication failure: password", s.id);
    return Change::kAuthFailure;
  }
  uint32_t needed = s.control ? kAccessControlPort : kAccessPasswordChange;
  if (!(GetUserAccess(rec.name, "") & needed)) {
    LogEvent(0, kLogAlways, "CP-%04x: User does not have access privileges.", s.id);
    return Change::kNoAccess;
  }
  std::string userName, mailbox, carbonCopy, scrambled, lower = rec.name, why;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  GetRecordField(rec.text, 1, userName);
  GetRecordField(rec.text, 2, mailbox);
  GetRecordField(rec.text, 4, carbonCopy);
  if (!ScramblePassword(lower, newPassword, scrambled) ||
      !WriteUserRecord(rec.name, userName, mailbox, scrambled, carbonCopy, "", why) ||
      !tx.Commit()) {
    LogEvent(0, kLogAlways, "CP-%04x: Error setting password.", s.id);
    return Change::kUnable;
  }
  return Change::kChanged;
}

// The failure reply waits kPort.failureDelayMs after the check.
void DelayFailure(PortSession& s, int32_t& state) {
  s.failureTick = GetTickCount32();
  state = kPortFailureDue;
}

Step ExpectNewPass(PortSession& s, NetNode* node, int32_t& state) {
  PortCommand cmd;
  Read r = ReadCommand(s, node, state, cmd);
  if (r == Read::kNone) return Step::kStop;
  if (r == Read::kRefused) return Step::kContinue;
  if (cmd.token == kTokQuit) return Quit(s, node, state);
  if (cmd.token != kTokNewPass) {
    ProtocolError(s, node, state, cmd);
    return Step::kContinue;
  }
  std::string_view newPassword = FirstWord(cmd.argument);
  if (newPassword.empty()) {
    Reply(s, node, kReplyRequired, "new password");
    LogEvent(0, kLogAlways, "CP-%04x: Null new password entered", s.id);
    return Step::kContinue;
  }
  LogEvent(0, kLogAlways, "CP-%04x: User entered new password.", s.id);
  state = kPortWaitQuit;
  size_t afterWord = size_t(newPassword.data() + newPassword.size() - cmd.argument.data());
  if (!FirstWord(cmd.argument.substr(afterWord)).empty()) {
    // "changed" would be said of a password the user never typed.
    ProtocolError(s, node, kPortNewPass, cmd);
    return Step::kContinue;
  }
  if (newPassword.size() < kPort.minNewChars || newPassword.size() > kPort.maxNewChars) {
    Reply(s, node, kReplyLength);
    LogEvent(0, kLogAlways, "CP-%04x: New password not long enough.", s.id);
    return Step::kContinue;
  }
  if (!s.oldTooLong && newPassword == s.oldPassword) {
    Reply(s, node, kReplySame);
    LogEvent(0, kLogAlways, "CP-%04x: New and old passwords the same.", s.id);
    return Step::kContinue;
  }
  if (AddressBlocked(s)) {
    DelayFailure(s, state);
    return Step::kContinue;
  }
  switch (ChangePassword(s, std::string(newPassword))) {
    case Change::kChanged:
      Reply(s, node, kReplyChanged);
      LogEvent(0, kLogAlways, "CP-%04x: Password for '%s' changed.", s.id, s.user.c_str());
      break;
    case Change::kAuthFailure:
      CountFailure(s);
      LogEvent(0, kLogAlways, "CP-%04x: Error verifying user and password.", s.id);
      DelayFailure(s, state);
      break;
    case Change::kNoAccess:
      DelayFailure(s, state);
      break;
    case Change::kUnable:
      Reply(s, node, kReplyUnable);
      break;
  }
  return Step::kContinue;
}

Step FailureDue(PortSession& s, NetNode* node, int32_t& state) {
  if (TickElapsed(GetTickCount32(), s.failureTick) < kPort.failureDelayMs) return Step::kStop;
  Reply(s, node, kReplyAuthFailure);
  state = kPortWaitQuit;
  return Step::kContinue;
}

Step WaitQuit(PortSession& s, NetNode* node, int32_t& state) {
  PortCommand cmd;
  Read r = ReadCommand(s, node, state, cmd);
  if (r == Read::kNone) return Step::kStop;
  if (r == Read::kRefused) return Step::kContinue;
  if (cmd.token == kTokQuit) return Quit(s, node, state);
  Reply(s, node, kReplyWaitingQuit);
  LogEvent(0, kLogAlways, "CP-%04x: Illegal command waiting for quit.", s.id);
  return Step::kContinue;
}

Step Closing(PortSession& s, NetNode* node, int32_t&) {
  if (!Flush(s, node)) return Step::kStop;
  if (!s.closing) {
    s.closing = true;
    NetCloseNode(node, false, kPort.closeDelaySeconds, true);
  }
  return Step::kStop;
}

Step RunState(PortSession& s, NetNode* node, int32_t& state) {
  switch (state) {
    case kPortGreet: return Greet(s, node, state);
    case kPortUser: return ExpectUser(s, node, state);
    case kPortPass: return ExpectPass(s, node, state);
    case kPortNewPass: return ExpectNewPass(s, node, state);
    case kPortWaitQuit: return WaitQuit(s, node, state);
    case kPortFailureDue: return FailureDue(s, node, state);
    default:
      state = kPortClosing;
      return Closing(s, node, state);
  }
}

}  // namespace

std::string PortReplyText(int code, const std::string& argument) {
  for (const PortReplyRow& r : kReplies) {
    if (r.code != code) continue;
    if (code == kReplyLength)
      return FormatText(r.text, int(kPort.minNewChars), int(kPort.maxNewChars));
    return strstr(r.text, "%s") ? FormatText(r.text, argument.c_str()) : r.text;
  }
  return PortReplyText(kReplyProtocol);
}

bool PortInit(std::string& why) {
  why.clear();
  gNextSessionId.store(0);
  {
    std::lock_guard<std::mutex> hold(Guesses().lock);
    Guesses().byAddress.clear();
  }
  NetServiceCallbacks cb;
  cb.OnAccept = PortAccept;
  cb.OnData = PortOnData;
  cb.OnClose = PortOnClose;
  NetRegisterService(kServiceControl, cb);
  NetRegisterService(kServicePassword, cb);
  return true;
}

bool PortListen(uint16_t service, const std::string& bindAddress, int port, std::string& why,
                int& boundPort) {
  int fd = OpenRemoteSocket(bindAddress, port, true, kListenerTexts, why, boundPort);
  if (fd < 0) return false;
  PortSession* listener = NewSession(false);
  if (listener) {
    listener->listener = true;
    listener->control = service == kServiceControl;
  }
  if (!ServeRemoteSocket(fd, true, service, 0, listener, FreeSession, kPort.listenBacklog,
                         kListenerTexts, why))
    return false;
  LogEvent(0, kLogAlways, "Started Command Ports.");
  return true;
}

bool PortStart(long accessMask) {
  const Settings& s = ServerSettings();
  struct Port {
    uint32_t bit;
    uint16_t service;
    int port;
    const char* name;
  };
  const Port ports[] = {
      {kAccessPasswordChange, kServicePassword, PasswordPort(s), "Password changer"},
      {kAccessControlPort, kServiceControl, ControlPort(s), "Controller port"},
  };
  for (const Port& p : ports) {
    if (!(accessMask & p.bit)) continue;
    std::string why;
    int bound = 0;
    if (PortListen(p.service, s.bindAddress, p.port, why, bound)) {
      LogEvent(0, kLogAlways, "CP: %s installed, port %u.", p.name, unsigned(bound));
    } else {
      LogEvent(0, kLogAlways, "%s", why.c_str());
      LogEvent(0, kLogAlways, "CP: %s not installed, port %u.", p.name, unsigned(p.port));
    }
  }
  return true;
}

bool PortAccept(uint16_t service, void*, int socket, const sockaddr_in& peer) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
  PortSession* s = NewSession(true);
  if (!s) {
    LogEvent(0, kLogAlways, "CP: Error allocating node buffer.");
    return false;
  }
  s->control = service == kServiceControl;
  s->peer = peer.sin_addr;
  uint16_t id = s->id;
  if (!NetAddNode(socket, kNodeConnected, kPort.idleTimeoutSeconds, 0, kPortGreet, s,
                  kPort.ringBytes, kPort.ringBytes, service, 1)) {
    LogEvent(0, kLogAlways, "CP-%04x: Cannot add node to list.", id);
    LogEvent(0, kLogAlways, "CP-%04x: Access from %d.%d.%d.%d denied.", id, b[0], b[1], b[2], b[3]);
    delete s;
    return false;
  }
  LogEvent(0, kLogAlways, "CP-%04x: Access from %d.%d.%d.%d okay.", id, b[0], b[1], b[2], b[3]);
  return true;
}

bool PortOnData(NetNode* node, uint16_t, int32_t* ownerState, void* owner, int) {
  auto* s = static_cast<PortSession*>(owner);
  if (!s || s->listener) return false;
  RunSessionStates(gBusy, node, ownerState,
                   [&](int32_t& state) { return RunState(*s, node, state); });
  return false;
}

void PortOnClose(void* owner, uint16_t, int32_t ownerState, int32_t nodeState, int) {
  auto* s = static_cast<PortSession*>(owner);
  if (!s) return;
  if (!s->listener)
    LogSessionClose("CP", kLogAlways, s->id, s->closing, ownerState, nodeState, kPortClosing);
  delete s;
}
