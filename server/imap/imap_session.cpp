// The IMAP session machine: reading commands with their literals, the command
// table, login, IDLE, and the output and folder access every command uses.
// Runs as the service's OnData.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/imap/imap.h"
#include "server/imap/imap_internal.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"
#include "server/smtp/smtp_auth.h"

// ---- Output --------------------------------------------------------------------

// Queues as much of the pending output as the send ring takes. True when none is left.
bool Flush(ImapSession& s, NetNode* node) {
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

// Queues one response line (CRLF added) and logs it cut short.
void Send(ImapSession& s, NetNode* node, const std::string& line) {
  LogEvent(0, kLogPop3Debug, "IM-%04x --> %s", s.id,
           VisibleText(std::string_view(line).substr(0, 200)).c_str());
  s.pendingOut += line;
  s.pendingOut += "\r\n";
  Flush(s, node);
}

void Tagged(ImapSession& s, NetNode* node, const std::string& tag, const char* status,
            const std::string& text) {
  Send(s, node, tag + " " + status + " " + text);
}

std::string Capabilities(const ImapSession& s, int32_t state) {
  std::string caps =
      "CAPABILITY IMAP4rev1 LITERAL+ IDLE UIDPLUS MOVE SPECIAL-USE NAMESPACE ID MULTIAPPEND";
  bool loopback = (ntohl(s.peer.s_addr) >> 24) == 127;
  if (state == kImapNotAuthenticated) {
    if (!s.tlsOn && ServerSettings().useTls && NetTlsServerReady()) caps += " STARTTLS";
    if (s.tlsOn || loopback)
      caps += " AUTH=PLAIN";
    else
      caps += " LOGINDISABLED";
  }
  return caps;
}

// ---- The selected folder -------------------------------------------------------

// Locks the folder, opens its file and brings the folder up to date. False
// with the text of a NO when the file is held (POP3) or unreadable.
bool OpenFolder(ImapFolder& f, FolderAccess& a, std::string& why) {
  bool missing = false;
  a.fd = OpenImapFolderFile(f.path, missing);
  if (!a.fd.valid() && !missing) {
    why = "[INUSE] Mailbox in use by another reader, try again later";
    return false;
  }
  if (!SyncImapFolder(f, a.fd.get(), why)) {
    why = "[SERVERBUG] " + why;
    return false;
  }
  return true;
}

bool AccessFolder(ImapFolder& f, FolderAccess& a, std::string& why) {
  a.guard = std::unique_lock<std::mutex>(f.mutex);
  return OpenFolder(f, a, why);
}

const ImapMessage* FindByUid(const ImapFolder& f, uint32_t uid) {
  auto it = std::lower_bound(f.messages.begin(), f.messages.end(), uid,
                             [](const ImapMessage& m, uint32_t u) { return m.uid < u; });
  return it != f.messages.end() && it->uid == uid ? &*it : nullptr;
}
ImapMessage* FindByUid(ImapFolder& f, uint32_t uid) {
  return const_cast<ImapMessage*>(FindByUid(static_cast<const ImapFolder&>(f), uid));
}

// Tells the client what changed in the folder since it last heard: messages
// that arrived (EXISTS), flags other sessions changed (FETCH) and, when
// `expunges` allows it, messages gone (EXPUNGE). Gone messages stay in the view,
// unannounced, while a command numbers messages by sequence.
void Reconcile(ImapSession& s, NetNode* node, bool expunges) {
  ImapFolder& f = *s.folder;
  size_t j = 0;
  for (size_t i = 0; i < s.view.size(); ++i) {
    while (j < f.messages.size() && f.messages[j].uid < s.view[i]) ++j;
    if (j >= f.messages.size() || f.messages[j].uid != s.view[i]) s.gone[i] = 1;
  }
  if (expunges) {
    for (size_t i = s.view.size(); i-- > 0;) {
      if (!s.gone[i]) continue;
      Send(s, node, "* " + std::to_string(i + 1) + " EXPUNGE");
      s.view.erase(s.view.begin() + long(i));
      s.gone.erase(s.gone.begin() + long(i));
    }
  }
  // Flag changes, only when there were any since the session last heard: a
  // syncing client sends one command a message, and each must not cost a pass
  // over the folder. View and folder are both in UID order.
  if (f.changes != s.seenChanges) {
    size_t k = 0;
    for (size_t i = 0; i < s.view.size(); ++i) {
      while (k < f.messages.size() && f.messages[k].uid < s.view[i]) ++k;
      if (s.gone[i] || k >= f.messages.size() || f.messages[k].uid != s.view[i]) continue;
      const ImapMessage& m = f.messages[k];
      if (m.changed > s.seenChanges)
        Send(s, node, "* " + std::to_string(i + 1) + " FETCH (UID " + std::to_string(m.uid) +
                          " FLAGS " + FormatFlags(m.flags, m.keywords) + ")");
    }
  }
  s.seenChanges = f.changes;
  uint32_t highest = s.view.empty() ? 0 : s.view.back();
  size_t before = s.view.size();
  for (const ImapMessage& m : f.messages) {
    if (m.uid <= highest) continue;
    s.view.push_back(m.uid);
    s.gone.push_back(0);
  }
  if (s.view.size() != before) Send(s, node, "* " + std::to_string(s.view.size()) + " EXISTS");
}

// The view entries (0-based) a sequence set names: message numbers, or UIDs
// with `uid`. False when the set is malformed.
bool ResolveSet(const ImapSession& s, const std::string& text, bool uid,
                std::vector<size_t>& out) {
  out.clear();
  std::vector<ImapRange> set;
  uint32_t highest = uid ? (s.view.empty() ? 0 : s.view.back()) : uint32_t(s.view.size());
  if (!ParseSequenceSet(text, highest, set)) return false;
  // Range by range (the view is in UID order), so "UID FETCH 4711" costs a
  // lookup, not a pass over the folder.
  for (const ImapRange& r : set) {
    uint32_t lo = std::min(r.first, r.last), hi = std::max(r.first, r.last);
    if (uid) {
      auto b = std::lower_bound(s.view.begin(), s.view.end(), lo);
      auto e = std::upper_bound(b, s.view.end(), hi);
      for (auto it = b; it != e; ++it) out.push_back(size_t(it - s.view.begin()));
    } else {
      for (uint64_t n = std::max<uint32_t>(lo, 1); n <= hi && n <= s.view.size(); ++n)
        out.push_back(size_t(n - 1));
    }
  }
  if (set.size() > 1) {
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }
  return true;
}

void DoNoop(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (state == kImapSelected) {
    FolderAccess a;
    std::string why;
    if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  Tagged(s, node, cmd.tag, "OK", cmd.word + " completed");
}

namespace {

// ---- Commands of any state -----------------------------------------------------

void DoCapability(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  Send(s, node, "* " + Capabilities(s, state));
  Tagged(s, node, cmd.tag, "OK", "CAPABILITY completed");
}

void DoLogout(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  Send(s, node, "* BYE Corvel IMAP server logging out");
  Tagged(s, node, cmd.tag, "OK", "LOGOUT completed");
  state = kImapLogout;
}

void DoId(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  Send(s, node, "* ID (\"name\" \"Corvel\")");
  Tagged(s, node, cmd.tag, "OK", "ID completed");
}

// ---- Not authenticated ---------------------------------------------------------

bool IsLoopbackPeer(const ImapSession& s) { return (ntohl(s.peer.s_addr) >> 24) == 127; }

void DoStartTls(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (s.tlsOn || !ServerSettings().useTls || !NetTlsServerReady()) {
    Tagged(s, node, cmd.tag, "BAD", "STARTTLS not available");
    return;
  }
  Tagged(s, node, cmd.tag, "OK", "Begin TLS negotiation now");
  std::string why;
  if (!Flush(s, node) || !NetStartTls(node, true, why)) {
    LogEvent(0, kLogPop3, "IM-%04x: Unable to start TLS: %s", s.id, why.c_str());
    NetCloseNode(node, true, 0, true);
    return;
  }
  s.tlsOn = true;
}

// Checks credentials and logs the session in; a failure waits before its NO.
void Authenticate(ImapSession& s, NetNode* node, int32_t& state, const std::string& tag,
                  const std::string& user, const std::string& password) {
  uint32_t now = GetTickCount32();
  if (AuthFailuresExceeded(s.peer, now)) {
    Tagged(s, node, tag, "NO", "[UNAVAILABLE] Too many failed logins, try again later");
    return;
  }
  std::string account;
  if (!CheckSmtpCredentials(user, password, account)) {
    RecordAuthFailure(s.peer, now);
    LogEvent(0, kLogPop3, "IM-%04x: Login failed for '%s'.", s.id, VisibleText(user).c_str());
    s.tag = tag;
    s.waitStart = now;
    state = kImapLoginDelay;
    return;
  }
  std::string path;
  if (!GetMailboxPath(account, path, "", true) || path.empty() ||
      strcasecmp(path.c_str(), kNullMailbox) == 0) {
    Tagged(s, node, tag, "NO", "[UNAVAILABLE] The account has no mailbox");
    return;
  }
  if (CountImapLogins(account, 1) > int(kImap.sessionsPerUser)) {
    CountImapLogins(account, -1);
    Tagged(s, node, tag, "NO", "[LIMIT] Too many sessions for this user");
    return;
  }
  s.user = account;
  s.mailboxPath = path;
  EnsureSpecialFolders(path);
  LogEvent(0, kLogPop3, "IM-%04x: User '%s' logged in.", s.id, VisibleText(account).c_str());
  state = kImapAuthenticated;
  Tagged(s, node, tag, "OK", "[" + Capabilities(s, state) + "] Logged in");
}

bool ClearTextRefused(ImapSession& s, NetNode* node, const std::string& tag) {
  if (s.tlsOn || IsLoopbackPeer(s)) return false;
  Tagged(s, node, tag, "NO", "[PRIVACYREQUIRED] Use STARTTLS or the TLS port first");
  return true;
}

void DoLogin(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (cmd.args.size() != 2 || cmd.args[0].kind == ImapItem::kList ||
      cmd.args[1].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", "LOGIN needs a user name and a password");
    return;
  }
  if (ClearTextRefused(s, node, cmd.tag)) return;
  std::string password = cmd.args[1].text;
  Authenticate(s, node, state, cmd.tag, cmd.args[0].text, password);
  std::fill(password.begin(), password.end(), '\0');
  std::fill(cmd.args[1].text.begin(), cmd.args[1].text.end(), '\0');
}

// AUTHENTICATE PLAIN's response: authzid NUL authcid NUL password, in base64.
void FinishPlain(ImapSession& s, NetNode* node, int32_t& state, const std::string& tag,
                 const std::string& response) {
  std::string decoded;
  if (response == "*") {
    Tagged(s, node, tag, "BAD", "AUTHENTICATE cancelled");
    return;
  }
  if (!DecodeBase64(response, decoded)) {
    Tagged(s, node, tag, "BAD", "Bad base64");
    return;
  }
  size_t a = decoded.find('\0');
  size_t b = a == std::string::npos ? a : decoded.find('\0', a + 1);
  std::string user, password;
  if (b != std::string::npos) {
    std::string authz = decoded.substr(0, a);
    user = decoded.substr(a + 1, b - a - 1);
    password = decoded.substr(b + 1);
    if (!authz.empty() && strcasecmp(authz.c_str(), user.c_str()) != 0) user.clear();
  }
  std::fill(decoded.begin(), decoded.end(), '\0');
  Authenticate(s, node, state, tag, user, password);
  std::fill(password.begin(), password.end(), '\0');
}

void DoAuthenticate(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (cmd.args.empty() || cmd.args[0].kind != ImapItem::kAtom ||
      strcasecmp(cmd.args[0].text.c_str(), "PLAIN") != 0 || cmd.args.size() > 2) {
    Tagged(s, node, cmd.tag, "NO", "Only AUTHENTICATE PLAIN is offered");
    return;
  }
  if (ClearTextRefused(s, node, cmd.tag)) return;
  if (cmd.args.size() == 2) {  // the initial response (SASL-IR)
    FinishPlain(s, node, state, cmd.tag, cmd.args[1].text);
    return;
  }
  s.tag = cmd.tag;
  Send(s, node, "+ ");
  state = kImapAuthPlain;
}

void DoIdle(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (state == kImapSelected) {
    FolderAccess a;
    std::string why;
    if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  s.tag = cmd.tag;
  s.waitStart = GetTickCount32();
  SetImapIdling(s.socket, s.folder ? s.folder->path : std::string());
  Send(s, node, "+ idling");
  s.idleFrom = state;
  state = kImapIdle;
}

void DoUid(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);

// The command table: the word, its handler, and the states it is allowed in
// (a bit per ImapState).
struct ImapVerb {
  const char* word;
  ImapHandler handler;
  unsigned states;
};
constexpr unsigned kAny = 1u << kImapNotAuthenticated | 1u << kImapAuthenticated |
                          1u << kImapSelected;
constexpr unsigned kNotAuth = 1u << kImapNotAuthenticated;
constexpr unsigned kAuth = 1u << kImapAuthenticated | 1u << kImapSelected;
constexpr unsigned kSel = 1u << kImapSelected;
const ImapVerb kImapVerbs[] = {
    {"CAPABILITY", DoCapability, kAny}, {"NOOP", DoNoop, kAny},
    {"LOGOUT", DoLogout, kAny},         {"ID", DoId, kAny},
    {"STARTTLS", DoStartTls, kNotAuth}, {"LOGIN", DoLogin, kNotAuth},
    {"AUTHENTICATE", DoAuthenticate, kNotAuth},
    {"SELECT", DoSelect, kAuth},        {"EXAMINE", DoSelect, kAuth},
    {"LIST", DoList, kAuth},            {"LSUB", DoList, kAuth},
    {"NAMESPACE", DoNamespace, kAuth},  {"STATUS", DoStatus, kAuth},
    {"SUBSCRIBE", DoSubscribe, kAuth},  {"UNSUBSCRIBE", DoSubscribe, kAuth},
    {"CREATE", DoCreate, kAuth},        {"DELETE", DoDelete, kAuth},
    {"RENAME", DoRename, kAuth},        {"APPEND", DoAppend, kAuth},
    {"IDLE", DoIdle, kAuth},
    {"CHECK", DoCheck, kSel},           {"CLOSE", DoClose, kSel},
    {"UNSELECT", DoUnselect, kSel},     {"EXPUNGE", DoExpunge, kSel},
    {"FETCH", DoFetch, kSel},           {"STORE", DoStore, kSel},
    {"SEARCH", DoSearch, kSel},         {"COPY", DoCopy, kSel},
    {"MOVE", DoCopy, kSel},             {"UID", DoUid, kSel},
};

const ImapVerb* FindVerb(const std::string& word) {
  for (const ImapVerb& v : kImapVerbs)
    if (word == v.word) return &v;
  return nullptr;
}

void DoUid(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (cmd.args.empty() || cmd.args[0].kind != ImapItem::kAtom) {
    Tagged(s, node, cmd.tag, "BAD", "UID needs a command");
    return;
  }
  std::string word = cmd.args[0].text;
  for (char& c : word) c = char(toupper(static_cast<unsigned char>(c)));
  if (word != "FETCH" && word != "STORE" && word != "SEARCH" && word != "COPY" &&
      word != "MOVE" && word != "EXPUNGE") {
    Tagged(s, node, cmd.tag, "BAD", "Unknown UID command");
    return;
  }
  cmd.args.erase(cmd.args.begin());
  cmd.word = word;
  cmd.uid = true;
  if (word == "EXPUNGE") {
    // UIDPLUS: only the named messages among the \Deleted ones go.
    std::vector<size_t> chosen;
    if (cmd.args.size() != 1 || !ResolveSet(s, cmd.args[0].text, true, chosen)) {
      Tagged(s, node, cmd.tag, "BAD", "Bad UID EXPUNGE arguments");
      return;
    }
    if (s.readOnly) {
      Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
      return;
    }
    std::vector<uint32_t> uids;
    for (size_t i : chosen) uids.push_back(s.view[i]);
    std::sort(uids.begin(), uids.end());
    std::string why;
    if (!ExpungeOnly(s, node, uids, false, why)) {
      Tagged(s, node, cmd.tag, "NO", why);
      return;
    }
    Tagged(s, node, cmd.tag, "OK", "UID EXPUNGE completed");
    return;
  }
  FindVerb(word)->handler(s, node, state, cmd);
}

}  // namespace

namespace {

// ---- Reading commands ----------------------------------------------------------

enum class Read { kNone, kCommand, kTooLong };

// Reads a command with its literals into s.command. A synchronising literal
// is invited with "+"; a literal beyond the command bound is refused (a
// non-synchronising one is read and dropped first), as is an over-long line.
// True for the first line of an APPEND ("tag APPEND ...").
bool IsAppendLine(std::string_view line) {
  size_t sp = line.find(' ');
  return sp != std::string_view::npos && line.size() > sp + 7 &&
         strncasecmp(line.data() + sp + 1, "APPEND ", 7) == 0;
}

// Starts streaming one of an APPEND's messages, of `size` bytes, to a file in
// the account's folder directory. False when it may not or cannot.
bool StartAppendFile(ImapSession& s, long long size) {
  if (s.user.empty() || size > ServerSettings().maxEsmtpSize ||
      s.appends.size() >= kImap.appendMessages)
    return false;
  std::string dir = ImapFolderDirectory(s.mailboxPath);
  MakeDirectories(dir, 0700);
  ImapSession::AppendFile file;
  file.path = dir + ".append-" + std::to_string(s.id) + "-" + std::to_string(s.appends.size()) +
              ".tmp";
  file.fd = OpenExclusive(file.path, O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (!file.fd.valid()) return false;
  s.appends.push_back(std::move(file));
  return true;
}

Read ReadCommand(ImapSession& s, NetNode* node) {
  char buffer[kImap.lineBytes + 1];
  for (;;) {
    if (s.literalLeft > 0 && !s.appends.empty() && !s.discarding) {
      int want = int(std::min<long long>(s.literalLeft, (long long)kImap.lineBytes));
      int n = NetRead(node, buffer, want);
      if (n <= 0) return Read::kNone;
      if (!WriteAll(s.appends.back().fd.get(), buffer, size_t(n))) s.discarding = true;
      s.literalLeft -= n;
      continue;
    }
    if (s.literalLeft > 0) {
      int want = int(std::min<long long>(s.literalLeft, (long long)kImap.lineBytes));
      int n = NetRead(node, buffer, want);
      if (n <= 0) return Read::kNone;
      if (!s.discarding) s.command.append(buffer, size_t(n));
      s.literalLeft -= n;
      continue;
    }
    int n = NetReadLine(node, buffer, int(kImap.lineBytes));
    if (n == -1) return Read::kNone;
    if (n == -2) {
      if (!s.discarding && s.command.size() < 64) s.command.append(buffer, 64);
      s.discarding = true;
      s.discardLine = true;
      continue;
    }
    std::string_view line(buffer, size_t(n));
    bool plus = false;
    long long literal = LiteralAtEnd(line, plus);
    if (s.discardLine) {
      s.discardLine = false;
      literal = -1;  // the announcement may have been cut off with the line
    }
    // APPEND's messages go to disk, never into memory: the first on its
    // command line, the others (MULTIAPPEND) on the lines after each.
    bool appending = s.command.empty() ? IsAppendLine(line) : !s.appends.empty();
    if (literal >= 0 && !s.discarding && appending) {
      if (!StartAppendFile(s, literal)) {
        s.command.append(line.substr(0, 64));
        s.discarding = true;
        if (plus) {
          s.literalLeft = literal;
          continue;
        }
        return Read::kTooLong;
      }
      s.command.append(line.substr(0, line.rfind('{')));
      s.command += "\"\"";
      s.literalLeft = literal;
      if (!plus) Send(s, node, "+ Ready for literal");
      if (literal > 0 && !Flush(s, node)) return Read::kNone;
      continue;
    }
    if (!s.discarding && s.command.size() + line.size() + std::max(literal, 0LL) + 2 >
                             kImap.commandBytes) {
      if (s.command.size() < 64) s.command.append(line.substr(0, 64));
      s.discarding = true;
    }
    if (s.discarding) {
      if (literal >= 0 && plus) {
        s.literalLeft = literal;
        continue;
      }
      return Read::kTooLong;
    }
    s.command.append(line);
    if (literal < 0) return Read::kCommand;
    s.command += "\r\n";
    s.literalLeft = literal;
    if (!plus) Send(s, node, "+ Ready for literal");
    if (literal > 0 && !Flush(s, node)) return Read::kNone;
  }
}

}  // namespace

void DropAppendFile(ImapSession& s) {
  for (ImapSession::AppendFile& file : s.appends) {
    file.fd.reset();
    DeleteFileWin(file.path);
  }
  s.appends.clear();
}

namespace {

// The tag of a command that could not be read whole ("*" when none).
std::string TagOf(const std::string& command) {
  size_t sp = command.find(' ');
  std::string tag = command.substr(0, sp);
  if (tag.empty() || tag.size() > 64) return "*";
  for (char c : tag)
    if (static_cast<unsigned char>(c) <= 0x20 || c == '{' || c == '(' || c == '"') return "*";
  return tag;
}

void RunCommand(ImapSession& s, NetNode* node, int32_t& state) {
  ImapCommand cmd;
  std::string why;
  std::string text;
  text.swap(s.command);
  bool parsed = ParseImapCommand(text, cmd.tag, cmd.word, cmd.args, why);
  if (cmd.word == "LOGIN" || cmd.word == "AUTHENTICATE")
    LogEvent(0, kLogPop3Debug, "IM-%04x <-- %s %s ********", s.id,
             VisibleText(cmd.tag).c_str(), cmd.word.c_str());
  else
    LogEvent(0, kLogPop3Debug, "IM-%04x <-- %s", s.id,
             VisibleText(std::string_view(text).substr(0, 200)).c_str());
  std::fill(text.begin(), text.end(), '\0');
  if (!parsed) {
    Tagged(s, node, cmd.tag.empty() ? "*" : cmd.tag, "BAD", why);
    return;
  }
  const ImapVerb* verb = FindVerb(cmd.word);
  if (!verb) {
    Tagged(s, node, cmd.tag, "BAD", "Unknown command");
    return;
  }
  if (!(verb->states & (1u << state))) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " is not allowed now");
    return;
  }
  verb->handler(s, node, state, cmd);
}

// In IDLE: looks at the folder when something may have changed, and waits for DONE.
bool RunIdle(ImapSession& s, NetNode* node, int32_t& state) {
  char buffer[kImap.lineBytes + 1];
  int n = NetReadLine(node, buffer, int(kImap.lineBytes));
  if (n >= 0 || n == -2) {
    SetImapIdling(s.socket, "");
    state = s.idleFrom;
    bool done = n >= 0 && strcasecmp(buffer, "DONE") == 0;
    if (n == -2) s.discarding = true;
    if (done && state == kImapSelected) {
      FolderAccess a;
      std::string why;
      if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
    }
    Tagged(s, node, s.tag, done ? "OK" : "BAD", done ? "IDLE terminated" : "Expected DONE");
    return true;
  }
  bool woken = s.woken.exchange(false);
  if (state == kImapIdle && s.folder &&
      (woken || TickElapsed(GetTickCount32(), s.waitStart) >= kImap.idlePollMs)) {
    s.waitStart = GetTickCount32();
    FolderAccess a;
    std::string why;
    if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  return false;
}

}  // namespace

bool ImapOnData(NetNode* node, uint16_t, int32_t* ownerState, void* owner, int) {
  auto* s = static_cast<ImapSession*>(owner);
  if (!s || s->listener) return false;
  int32_t& state = *ownerState;
  if (!Flush(*s, node)) return false;
  switch (state) {
    case kImapGreet:
      if (!s->counted) {
        s->counted = true;
        CountImapLogins("", 1);
      }
      Send(*s, node, "* OK [" + Capabilities(*s, kImapNotAuthenticated) + "] " +
                         ServerSettings().localNode + " Corvel IMAP4rev1 server ready");
      state = kImapNotAuthenticated;
      return true;
    case kImapLogout:
      if (!s->closing) {
        s->closing = true;
        NetCloseNode(node, false, kImap.closeDelaySeconds, true);
      }
      return false;
    case kImapLoginDelay:
      if (TickElapsed(GetTickCount32(), s->waitStart) < kAuthFailureDelayMs) return false;
      Tagged(*s, node, s->tag, "NO", "[AUTHENTICATIONFAILED] Authentication failed");
      state = kImapNotAuthenticated;
      return true;
    case kImapIdle:
      return RunIdle(*s, node, state);
    default:
      break;
  }
  // A command is read only when the replies before it have gone: a client that
  // never reads cannot make the server hold more than one reply for it.
  Read r = ReadCommand(*s, node);
  if (r == Read::kNone) return false;
  if (r == Read::kTooLong) {
    s->discarding = false;
    std::string tag = TagOf(s->command);
    s->command.clear();
    DropAppendFile(*s);
    LogEvent(0, kLogPop3, "IM-%04x: Command longer than %zu bytes refused.", s->id,
             kImap.commandBytes);
    Tagged(*s, node, tag, "BAD", "Command line or literal too long");
    return true;
  }
  if (state == kImapAuthPlain) {
    std::string response;
    response.swap(s->command);
    state = kImapNotAuthenticated;
    FinishPlain(*s, node, state, s->tag, response);
    std::fill(response.begin(), response.end(), '\0');
    return true;
  }
  RunCommand(*s, node, state);
  DropAppendFile(*s);
  return true;
}

