// The IMAP session machine: reading commands with their literals, the command
// table, and the commands of the not-authenticated, authenticated and selected
// states. Runs as the service's OnData.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/imap/imap.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"
#include "server/smtp/smtp_auth.h"

namespace {

struct ImapCommand {
  std::string tag;
  std::string word;
  std::vector<ImapItem> args;
  bool uid = false;  // the UID form of COPY, FETCH, STORE, SEARCH
};

using Handler = void (*)(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);

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
  std::string caps = "CAPABILITY IMAP4rev1 LITERAL+ IDLE UIDPLUS MOVE SPECIAL-USE NAMESPACE ID";
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

// A command's hold on the selected folder: its mutex and the open file.
struct FolderAccess {
  std::unique_lock<std::mutex> guard;
  UniqueFd fd;
};

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
  for (size_t i = 0; i < s.view.size(); ++i) {
    if (s.gone[i]) continue;
    const ImapMessage* m = FindByUid(f, s.view[i]);
    if (m && m->changed > s.seenChanges)
      Send(s, node, "* " + std::to_string(i + 1) + " FETCH (UID " + std::to_string(m->uid) +
                        " FLAGS " + FormatFlags(m->flags) + ")");
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
  for (size_t i = 0; i < s.view.size(); ++i)
    if (InSequenceSet(set, uid ? s.view[i] : uint32_t(i + 1))) out.push_back(i);
  return true;
}

// ---- Messages ------------------------------------------------------------------

// The header of a message text (up to and with its empty line) and the rest.
void SplitHeader(const std::string& text, size_t& headerEnd) {
  size_t a = text.find("\r\n\r\n");
  size_t b = text.find("\n\n");
  if (a != std::string::npos && (b == std::string::npos || a + 2 <= b))
    headerEnd = a + 4;
  else if (b != std::string::npos)
    headerEnd = b + 2;
  else
    headerEnd = text.size();
}

// The header lines whose names are (or, with `exclude`, are not) in `names`,
// and the closing empty line.
std::string FilterHeader(std::string_view header, const std::vector<std::string>& names,
                         bool exclude) {
  std::string out;
  bool keep = false;
  size_t pos = 0;
  while (pos < header.size()) {
    size_t eol = header.find('\n', pos);
    size_t next = eol == std::string_view::npos ? header.size() : eol + 1;
    std::string_view line = header.substr(pos, next - pos);
    if (line == "\r\n" || line == "\n") break;
    if (line[0] != ' ' && line[0] != '\t') {
      size_t colon = line.find(':');
      std::string name(line.substr(0, colon == std::string_view::npos ? 0 : colon));
      bool listed = false;
      for (const std::string& n : names)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) listed = true;
      keep = colon != std::string_view::npos && listed != exclude;
    }
    if (keep) out += line;
    pos = next;
  }
  return out + "\r\n";
}

struct FetchItem {
  enum Kind { kFlags, kUid, kDate, kSize, kBody, kEnvelope, kStructure } kind = kFlags;
  std::string name;        // as echoed in the response ("BODY[HEADER]", "RFC822")
  std::string section;     // upper-cased: "", "HEADER", "TEXT", "HEADER.FIELDS"...
  std::vector<std::string> fields;
  bool peek = false;
  long long partialFrom = -1, partialLength = 0;
};

bool ParseFetchItem(const std::string& atom, std::vector<FetchItem>& out) {
  std::string upper = atom;
  for (char& c : upper) c = char(toupper(static_cast<unsigned char>(c)));
  FetchItem it;
  if (upper == "ALL" || upper == "FAST" || upper == "FULL") {
    for (const char* a : {"FLAGS", "INTERNALDATE", "RFC822.SIZE"}) ParseFetchItem(a, out);
    if (upper != "FAST") ParseFetchItem("ENVELOPE", out);
    return true;
  }
  it.name = upper;
  if (upper == "FLAGS") it.kind = FetchItem::kFlags;
  else if (upper == "UID") it.kind = FetchItem::kUid;
  else if (upper == "INTERNALDATE") it.kind = FetchItem::kDate;
  else if (upper == "RFC822.SIZE") it.kind = FetchItem::kSize;
  else if (upper == "ENVELOPE") it.kind = FetchItem::kEnvelope;
  else if (upper == "BODYSTRUCTURE" || upper == "BODY") it.kind = FetchItem::kStructure;
  else if (upper == "RFC822" || upper == "RFC822.HEADER" || upper == "RFC822.TEXT") {
    it.kind = FetchItem::kBody;
    it.section = upper == "RFC822" ? "" : upper.substr(7);
    it.peek = upper == "RFC822.HEADER";
  } else if (upper.rfind("BODY[", 0) == 0 || upper.rfind("BODY.PEEK[", 0) == 0) {
    it.kind = FetchItem::kBody;
    it.peek = upper[4] == '.';
    size_t open = upper.find('['), close = upper.find(']');
    if (close == std::string::npos) return false;
    std::string spec = upper.substr(open + 1, close - open - 1);
    std::string rest = upper.substr(close + 1);
    it.name = "BODY[" + atom.substr(open + 1, close - open - 1) + "]";
    size_t paren = spec.find(" (");
    if (paren != std::string::npos) {
      std::string list = atom.substr(open + 1 + paren + 2);
      list = list.substr(0, list.find(')'));
      size_t p = 0;
      while (p < list.size()) {
        size_t sp = list.find(' ', p);
        std::string f = list.substr(p, sp == std::string::npos ? std::string::npos : sp - p);
        if (!f.empty()) it.fields.push_back(f);
        if (sp == std::string::npos) break;
        p = sp + 1;
      }
      spec = spec.substr(0, paren);
      if (spec != "HEADER.FIELDS" && spec != "HEADER.FIELDS.NOT") return false;
    } else if (spec != "" && spec != "HEADER" && spec != "TEXT" && spec != "1") {
      return false;
    }
    it.section = spec;
    if (!rest.empty()) {
      unsigned long long a = 0, b = 0;
      char tail = 0;
      if (sscanf(rest.c_str(), "<%llu.%llu%c", &a, &b, &tail) != 3 || tail != '>' || b == 0 ||
          rest.find('>') + 1 != rest.size())
        return false;
      it.partialFrom = (long long)a;
      it.partialLength = (long long)b;
    }
  } else {
    return false;
  }
  out.push_back(it);
  return true;
}

// The bytes a body item asks for, out of the message text.
std::string SectionBytes(const FetchItem& it, const std::string& text) {
  size_t headerEnd = 0;
  SplitHeader(text, headerEnd);
  if (it.section == "") return text;
  if (it.section == "HEADER") return text.substr(0, headerEnd);
  if (it.section == "TEXT" || it.section == "1") return text.substr(headerEnd);
  return FilterHeader(std::string_view(text).substr(0, headerEnd), it.fields,
                      it.section == "HEADER.FIELDS.NOT");
}

}  // namespace

namespace {

// ---- Envelope --------------------------------------------------------------------

// The unfolded value of the first header line named `name`; `found` tells NIL.
std::string HeaderValue(std::string_view header, const char* name, bool& found) {
  found = false;
  size_t n = strlen(name);
  size_t pos = 0;
  std::string value;
  while (pos < header.size()) {
    size_t eol = header.find('\n', pos);
    size_t next = eol == std::string_view::npos ? header.size() : eol + 1;
    std::string_view line = header.substr(pos, next - pos);
    if (found) {
      if (line.empty() || (line[0] != ' ' && line[0] != '\t')) break;
      value += line;
    } else if (line.size() > n && line[n] == ':' && strncasecmp(line.data(), name, n) == 0) {
      found = true;
      value = std::string(line.substr(n + 1));
    }
    pos = next;
  }
  std::string out;
  for (char c : value)
    if (c != '\r' && c != '\n') out += c;
  size_t b = out.find_first_not_of(" \t");
  size_t e = out.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
}

std::string NString(bool found, const std::string& text) {
  return found ? QuoteImapString(text) : "NIL";
}

// An address list as the envelope gives it: (("name" NIL "local" "domain") ...).
// Addresses are split at commas outside quotes and angle brackets.
std::string AddressList(const std::string& value, bool found) {
  if (!found || value.empty()) return "NIL";
  std::vector<std::string> parts;
  std::string cur;
  bool quoted = false;
  int angle = 0;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '<') ++angle;
    if (!quoted && c == '>' && angle > 0) --angle;
    if (c == ',' && !quoted && angle == 0) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  std::string out = "(";
  for (std::string& p : parts) {
    std::string name, address;
    size_t lt = p.rfind('<'), gt = p.rfind('>');
    if (lt != std::string::npos && gt != std::string::npos && gt > lt) {
      address = p.substr(lt + 1, gt - lt - 1);
      name = p.substr(0, lt);
    } else {
      address = p;
    }
    auto trim = [](std::string& t) {
      size_t b = t.find_first_not_of(" \t\"");
      size_t e = t.find_last_not_of(" \t\"");
      t = b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
    };
    trim(name);
    trim(address);
    if (address.empty()) continue;
    size_t at = address.rfind('@');
    std::string local = at == std::string::npos ? address : address.substr(0, at);
    std::string domain = at == std::string::npos ? std::string() : address.substr(at + 1);
    out += "(" + NString(!name.empty(), name) + " NIL " + QuoteImapString(local) + " " +
           NString(at != std::string::npos, domain) + ")";
  }
  return out.size() == 1 ? "NIL" : out + ")";
}

std::string Envelope(std::string_view header) {
  bool f = false;
  std::string out = "(";
  std::string v = HeaderValue(header, "Date", f);
  out += NString(f, v) + " ";
  v = HeaderValue(header, "Subject", f);
  out += NString(f, v) + " ";
  bool fromFound = false;
  std::string from = HeaderValue(header, "From", fromFound);
  std::string fromList = AddressList(from, fromFound);
  out += fromList + " ";
  v = HeaderValue(header, "Sender", f);
  out += (f ? AddressList(v, f) : fromList) + " ";
  v = HeaderValue(header, "Reply-To", f);
  out += (f ? AddressList(v, f) : fromList) + " ";
  for (const char* name : {"To", "Cc", "Bcc"}) {
    v = HeaderValue(header, name, f);
    out += AddressList(v, f) + " ";
  }
  v = HeaderValue(header, "In-Reply-To", f);
  out += NString(f, v) + " ";
  v = HeaderValue(header, "Message-ID", f);
  out += NString(f, v) + ")";
  return out;
}

// ---- SEARCH --------------------------------------------------------------------

struct SearchContext {
  ImapSession* s = nullptr;
  int fd = -1;
  const ImapMessage* m = nullptr;
  uint32_t number = 0;
  std::string text;  // the message, read when a key needs it
  bool textRead = false;
  const std::string& Text() {
    if (!textRead) ReadImapText(fd, *m, 0, m->textSize, text);
    textRead = true;
    return text;
  }
};

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
    return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b));
  });
  return it != hay.end();
}

// Evaluates the search key at args[i] (moving i past it). `bad` on a syntax error.
bool MatchKey(const std::vector<ImapItem>& args, size_t& i, SearchContext& c, bool& bad) {
  if (i >= args.size()) {
    bad = true;
    return false;
  }
  const ImapItem& item = args[i++];
  if (item.kind == ImapItem::kList) {
    bool all = true;
    for (size_t j = 0; j < item.list.size() && !bad;)
      if (!MatchKey(item.list, j, c, bad)) all = false;
    return all;
  }
  if (item.kind != ImapItem::kAtom) {
    bad = true;
    return false;
  }
  std::string key = item.text;
  for (char& ch : key) ch = char(toupper(static_cast<unsigned char>(ch)));
  auto arg = [&](std::string& out) {
    if (i >= args.size() || args[i].kind == ImapItem::kList) {
      bad = true;
      return false;
    }
    out = args[i++].text;
    return true;
  };
  struct FlagKey {
    const char* name;
    uint8_t flag;
    bool set;
  };
  static const FlagKey kFlagKeys[] = {
      {"ANSWERED", kFlagAnswered, true}, {"DELETED", kFlagDeleted, true},
      {"FLAGGED", kFlagFlagged, true},   {"SEEN", kFlagSeen, true},
      {"DRAFT", kFlagDraft, true},       {"OLD", kFlagSeen, true},
      {"UNANSWERED", kFlagAnswered, false}, {"UNDELETED", kFlagDeleted, false},
      {"UNFLAGGED", kFlagFlagged, false},   {"UNSEEN", kFlagSeen, false},
      {"UNDRAFT", kFlagDraft, false},       {"NEW", kFlagSeen, false},
  };
  for (const FlagKey& k : kFlagKeys)
    if (key == k.name) return ((c.m->flags & k.flag) != 0) == k.set;
  if (key == "ALL") return true;
  if (key == "RECENT") return false;
  std::string a, b;
  if (key == "NOT") return !MatchKey(args, i, c, bad);
  if (key == "OR") {
    bool x = MatchKey(args, i, c, bad);
    bool y = MatchKey(args, i, c, bad);
    return x || y;
  }
  if (key == "KEYWORD" || key == "UNKEYWORD") return arg(a) && key == "UNKEYWORD";
  if (key == "LARGER" || key == "SMALLER") {
    if (!arg(a)) return false;
    char* end = nullptr;
    long long n = strtoll(a.c_str(), &end, 10);
    if (a.empty() || *end) bad = true;
    return key == "LARGER" ? c.m->textSize > n : c.m->textSize < n;
  }
  if (key == "UID") {
    std::vector<ImapRange> set;
    if (!arg(a)) return false;
    uint32_t highest = c.s->view.empty() ? 0 : c.s->view.back();
    if (!ParseSequenceSet(a, highest, set)) bad = true;
    return InSequenceSet(set, c.m->uid);
  }
  if (key == "BEFORE" || key == "ON" || key == "SINCE" || key == "SENTBEFORE" ||
      key == "SENTON" || key == "SENTSINCE") {
    time_t day = 0;
    if (!arg(a)) return false;
    if (!ParseSearchDate(a, day)) {
      bad = true;
      return false;
    }
    // The internal date stands for the sent date too.
    time_t mine = c.m->date - c.m->date % 86400;
    if (key.find("BEFORE") != std::string::npos) return mine < day;
    if (key.find("ON") != std::string::npos) return mine == day;
    return mine >= day;
  }
  if (key == "HEADER") {
    if (!arg(a) || !arg(b)) return false;
    size_t headerEnd = 0;
    SplitHeader(c.Text(), headerEnd);
    bool found = false;
    std::string v = HeaderValue(std::string_view(c.Text()).substr(0, headerEnd), a.c_str(), found);
    return found && ContainsNoCase(v, b);
  }
  for (const char* h : {"SUBJECT", "FROM", "TO", "CC", "BCC"}) {
    if (key != h) continue;
    if (!arg(a)) return false;
    size_t headerEnd = 0;
    SplitHeader(c.Text(), headerEnd);
    bool found = false;
    std::string v = HeaderValue(std::string_view(c.Text()).substr(0, headerEnd), h, found);
    return found && ContainsNoCase(v, a);
  }
  if (key == "BODY" || key == "TEXT") {
    if (!arg(a)) return false;
    size_t headerEnd = 0;
    SplitHeader(c.Text(), headerEnd);
    return ContainsNoCase(key == "TEXT" ? std::string_view(c.Text())
                                        : std::string_view(c.Text()).substr(headerEnd),
                          a);
  }
  // A bare sequence set.
  std::vector<ImapRange> set;
  if (!ParseSequenceSet(item.text, uint32_t(c.s->view.size()), set)) {
    bad = true;
    return false;
  }
  return InSequenceSet(set, c.number);
}

}  // namespace

namespace {

// ---- Commands of any state -----------------------------------------------------

void DoCapability(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  Send(s, node, "* " + Capabilities(s, state));
  Tagged(s, node, cmd.tag, "OK", "CAPABILITY completed");
}

void DoNoop(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (state == kImapSelected) {
    FolderAccess a;
    std::string why;
    if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  Tagged(s, node, cmd.tag, "OK", cmd.word + " completed");
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

// ---- Authenticated -------------------------------------------------------------

// IMAP's LIST wildcards: '*' matches anything, '%' anything but the delimiter.
bool MatchPattern(std::string_view pattern, std::string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == '*' || pattern[0] == '%') {
    for (size_t i = 0; i <= name.size(); ++i) {
      if (MatchPattern(pattern.substr(1), name.substr(i))) return true;
      if (i < name.size() && pattern[0] == '%' && name[i] == '/') return false;
    }
    return false;
  }
  return !name.empty() &&
         toupper(static_cast<unsigned char>(pattern[0])) ==
             toupper(static_cast<unsigned char>(name[0])) &&
         MatchPattern(pattern.substr(1), name.substr(1));
}

// The file of the mailbox an argument names, when it exists.
bool ResolveMailbox(const ImapSession& s, const ImapItem& item, std::string& path) {
  if (item.kind == ImapItem::kList) return false;
  if (IsInboxName(item.text)) {
    path = s.mailboxPath;
    return true;
  }
  path = ImapFolderPath(s.mailboxPath, item.text);
  return IsValidFolderName(item.text) && FileExists(path);
}

// A mailbox name argument for CREATE and RENAME's target: one trailing
// delimiter is dropped. False (with the NO's text) when no folder may have it.
bool NewFolderName(const ImapSession& s, const ImapItem& item, std::string& name,
                   std::string& path, std::string& why) {
  name = item.kind == ImapItem::kList ? std::string() : item.text;
  if (!name.empty() && name.back() == '/') name.pop_back();
  if (IsInboxName(name)) {
    why = "[ALREADYEXISTS] INBOX exists";
    return false;
  }
  if (!IsValidFolderName(name)) {
    why = "[CANNOT] Folder names are printable ASCII without / and wildcards";
    return false;
  }
  path = ImapFolderPath(s.mailboxPath, name);
  if (FileExists(path)) {
    why = "[ALREADYEXISTS] Folder exists";
    return false;
  }
  return true;
}

void DoList(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (cmd.args.size() != 2 || cmd.args[0].kind == ImapItem::kList ||
      cmd.args[1].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " needs a reference and a pattern");
    return;
  }
  const std::string& pattern = cmd.args[1].text;
  if (pattern.empty() && cmd.word == "LIST") {
    Send(s, node, "* LIST (\\Noselect) \"/\" \"\"");
    Tagged(s, node, cmd.tag, "OK", "LIST completed");
    return;
  }
  std::string full = cmd.args[0].text + pattern;
  std::vector<std::string> names = {"INBOX"};
  for (std::string& n : ListImapFolders(s.mailboxPath)) names.push_back(std::move(n));
  std::string subscribed = "\n" + ReadImapSubscriptions(s.mailboxPath);
  for (const std::string& name : names) {
    if (!MatchPattern(full, name)) continue;
    if (cmd.word == "LSUB" && name != "INBOX" &&
        subscribed.find("\n" + name + "\n") == std::string::npos)
      continue;
    std::string attributes = "\\HasNoChildren";
    if (const char* use = SpecialUseOf(name)) attributes += std::string(" ") + use;
    Send(s, node, "* " + cmd.word + " (" + attributes + ") \"/\" " + QuoteImapString(name));
  }
  Tagged(s, node, cmd.tag, "OK", cmd.word + " completed");
}

void DoNamespace(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  Send(s, node, "* NAMESPACE ((\"\" \"/\")) NIL NIL");
  Tagged(s, node, cmd.tag, "OK", "NAMESPACE completed");
}

void DoSubscribe(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string path;
  if (cmd.args.size() != 1 || cmd.args[0].kind == ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " needs a mailbox");
    return;
  }
  const std::string& name = cmd.args[0].text;
  if (cmd.word == "SUBSCRIBE" && !ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  if (!IsInboxName(name)) {
    std::string text = ReadImapSubscriptions(s.mailboxPath), kept;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
      if (!line.empty() && line != name) kept += line + "\n";
      if (eol == std::string::npos) break;
      pos = eol + 1;
    }
    if (cmd.word == "SUBSCRIBE") kept += name + "\n";
    if (!WriteImapSubscriptions(s.mailboxPath, kept)) {
      Tagged(s, node, cmd.tag, "NO", "[SERVERBUG] Unable to write the subscriptions");
      return;
    }
  }
  Tagged(s, node, cmd.tag, "OK", cmd.word + " completed");
}

void DoCreate(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string name, path, why;
  if (cmd.args.size() != 1) {
    Tagged(s, node, cmd.tag, "BAD", "CREATE needs a mailbox");
    return;
  }
  if (!NewFolderName(s, cmd.args[0], name, path, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  MakeDirectories(ImapFolderDirectory(s.mailboxPath), 0700);
  if (!CreatePrivateFile(path, 0600, &why)) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] " + why);
    return;
  }
  Tagged(s, node, cmd.tag, "OK", "CREATE completed");
}

void DoDelete(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string path;
  if (cmd.args.size() != 1) {
    Tagged(s, node, cmd.tag, "BAD", "DELETE needs a mailbox");
    return;
  }
  if (IsInboxName(cmd.args[0].text)) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] INBOX cannot be deleted");
    return;
  }
  if (!ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  {
    std::shared_ptr<ImapFolder> f = FindImapFolder(path);
    std::lock_guard<std::mutex> guard(f->mutex);
    if (DeleteFileWin(path) != 0) {
      Tagged(s, node, cmd.tag, "NO", "[CANNOT] Unable to delete the folder");
      return;
    }
    DeleteFileWin(ImapIndexPath(path));
  }
  ForgetImapFolder(path);
  Tagged(s, node, cmd.tag, "OK", "DELETE completed");
}

void DoRename(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::string from, name, to, why;
  if (cmd.args.size() != 2) {
    Tagged(s, node, cmd.tag, "BAD", "RENAME needs two mailboxes");
    return;
  }
  if (IsInboxName(cmd.args[0].text)) {
    Tagged(s, node, cmd.tag, "NO", "[CANNOT] INBOX cannot be renamed");
    return;
  }
  if (!ResolveMailbox(s, cmd.args[0], from)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  if (!NewFolderName(s, cmd.args[1], name, to, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  {
    std::shared_ptr<ImapFolder> f = FindImapFolder(from);
    std::lock_guard<std::mutex> guard(f->mutex);
    if (RenameNoReplace(from, to) != 0) {
      Tagged(s, node, cmd.tag, "NO", "[CANNOT] Unable to rename the folder");
      return;
    }
    RenameReplace(ImapIndexPath(from), ImapIndexPath(to));
  }
  ForgetImapFolder(from);
  ForgetImapFolder(to);
  Tagged(s, node, cmd.tag, "OK", "RENAME completed");
}

void CloseSelected(ImapSession& s, int32_t& state) {
  s.folder.reset();
  s.view.clear();
  s.gone.clear();
  state = kImapAuthenticated;
}

void DoSelect(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  CloseSelected(s, state);
  std::string path;
  if (cmd.args.size() != 1 || !ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  s.folder = FindImapFolder(path);
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*s.folder, a, why)) {
    s.folder.reset();
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  ImapFolder& f = *s.folder;
  s.readOnly = cmd.word == "EXAMINE";
  s.seenChanges = f.changes;
  size_t firstUnseen = 0;
  for (const ImapMessage& m : f.messages) {
    s.view.push_back(m.uid);
    if (!firstUnseen && !(m.flags & kFlagSeen)) firstUnseen = s.view.size();
  }
  s.gone.assign(s.view.size(), 0);
  Send(s, node, "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)");
  Send(s, node, s.readOnly ? "* OK [PERMANENTFLAGS ()] Read-only"
                           : "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen "
                             "\\Draft)] Flags kept");
  Send(s, node, "* " + std::to_string(s.view.size()) + " EXISTS");
  Send(s, node, "* 0 RECENT");
  if (firstUnseen) Send(s, node, "* OK [UNSEEN " + std::to_string(firstUnseen) + "] First unseen");
  Send(s, node, "* OK [UIDVALIDITY " + std::to_string(f.uidValidity) + "] UIDs valid");
  Send(s, node, "* OK [UIDNEXT " + std::to_string(f.uidNext) + "] Predicted next UID");
  state = kImapSelected;
  Tagged(s, node, cmd.tag, "OK",
         std::string(s.readOnly ? "[READ-ONLY] " : "[READ-WRITE] ") + cmd.word + " completed");
}

void DoStatus(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (cmd.args.size() != 2 || cmd.args[1].kind != ImapItem::kList) {
    Tagged(s, node, cmd.tag, "BAD", "STATUS needs a mailbox and a list of items");
    return;
  }
  std::string path;
  if (!ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[NONEXISTENT] No such mailbox");
    return;
  }
  std::shared_ptr<ImapFolder> folder = FindImapFolder(path);
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*folder, a, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  std::string out;
  for (const ImapItem& it : cmd.args[1].list) {
    std::string name = it.text;
    for (char& c : name) c = char(toupper(static_cast<unsigned char>(c)));
    long long value = 0;
    if (name == "MESSAGES") value = (long long)folder->messages.size();
    else if (name == "RECENT") value = 0;
    else if (name == "UIDNEXT") value = folder->uidNext;
    else if (name == "UIDVALIDITY") value = folder->uidValidity;
    else if (name == "UNSEEN")
      value = std::count_if(folder->messages.begin(), folder->messages.end(),
                            [](const ImapMessage& m) { return !(m.flags & kFlagSeen); });
    else {
      Tagged(s, node, cmd.tag, "BAD", "Unknown STATUS item");
      return;
    }
    out += (out.empty() ? "" : " ") + name + " " + std::to_string(value);
  }
  Send(s, node, "* STATUS " + QuoteImapString(cmd.args[0].text) + " (" + out + ")");
  Tagged(s, node, cmd.tag, "OK", "STATUS completed");
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

// ---- Selected ------------------------------------------------------------------

void DoCheck(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  DoNoop(s, node, state, cmd);
}

// Rewrites the folder without its \Deleted messages; announces them unless `quiet`.
bool Expunge(ImapSession& s, NetNode* node, const std::string& tag, bool quiet) {
  FolderAccess a;
  std::string why;
  std::vector<uint32_t> removed;
  if (!AccessFolder(*s.folder, a, why) ||
      !ExpungeImapFolder(*s.folder, s.user, a.fd, removed, why)) {
    Tagged(s, node, tag, "NO", why.empty() ? "Expunge failed" : why);
    return false;
  }
  if (!removed.empty()) WakeImapIdlers(s.folder->path);
  if (!quiet) Reconcile(s, node, true);
  return true;
}

void DoExpunge(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  if (s.readOnly) {
    Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
    return;
  }
  if (Expunge(s, node, cmd.tag, false)) Tagged(s, node, cmd.tag, "OK", "EXPUNGE completed");
}

void DoClose(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  if (!s.readOnly && !Expunge(s, node, cmd.tag, true)) return;
  CloseSelected(s, state);
  Tagged(s, node, cmd.tag, "OK", "CLOSE completed");
}

void DoUnselect(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  CloseSelected(s, state);
  Tagged(s, node, cmd.tag, "OK", "UNSELECT completed");
}

void DoFetch(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::vector<FetchItem> items;
  bool ok = cmd.args.size() == 2 && cmd.args[0].kind == ImapItem::kAtom;
  if (ok && cmd.args[1].kind == ImapItem::kList) {
    for (const ImapItem& it : cmd.args[1].list)
      ok = ok && it.kind == ImapItem::kAtom && ParseFetchItem(it.text, items);
  } else if (ok) {
    ok = cmd.args[1].kind == ImapItem::kAtom && ParseFetchItem(cmd.args[1].text, items);
  }
  for (const FetchItem& it : items)
    if (it.kind == FetchItem::kStructure) ok = false;
  if (!ok || items.empty()) {
    Tagged(s, node, cmd.tag, "BAD", "Bad FETCH arguments (BODYSTRUCTURE is not offered yet)");
    return;
  }
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*s.folder, a, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  Reconcile(s, node, cmd.uid);
  std::vector<size_t> chosen;
  if (!ResolveSet(s, cmd.args[0].text, cmd.uid, chosen)) {
    Tagged(s, node, cmd.tag, "BAD", "Bad sequence set");
    return;
  }
  bool needText = false, setsSeen = false;
  for (const FetchItem& it : items) {
    if (it.kind == FetchItem::kBody || it.kind == FetchItem::kEnvelope) needText = true;
    if (it.kind == FetchItem::kBody && !it.peek && !s.readOnly) setsSeen = true;
  }
  ImapFolder& f = *s.folder;
  bool flagsChanged = false;
  std::string text;
  for (size_t i : chosen) {
    if (s.gone[i]) continue;
    ImapMessage* m = FindByUid(f, s.view[i]);
    if (!m) continue;
    if (needText && !ReadImapText(a.fd.get(), *m, 0, m->textSize, text)) {
      Tagged(s, node, cmd.tag, "NO", "[SERVERBUG] Unable to read mailbox file");
      return;
    }
    bool newlySeen = setsSeen && !(m->flags & kFlagSeen);
    if (newlySeen) {
      m->flags |= kFlagSeen;
      m->changed = ++f.changes;
      flagsChanged = true;
    }
    std::string out = "* " + std::to_string(i + 1) + " FETCH (";
    bool first = true;
    auto add = [&](const std::string& part) {
      if (!first) out += ' ';
      out += part;
      first = false;
    };
    bool uidSent = false, flagsSent = false;
    if (cmd.uid) {
      add("UID " + std::to_string(m->uid));
      uidSent = true;
    }
    for (const FetchItem& it : items) {
      switch (it.kind) {
        case FetchItem::kFlags:
          add("FLAGS " + FormatFlags(m->flags));
          flagsSent = true;
          break;
        case FetchItem::kUid:
          if (!uidSent) add("UID " + std::to_string(m->uid));
          uidSent = true;
          break;
        case FetchItem::kDate:
          add("INTERNALDATE \"" + FormatInternalDate(m->date) + "\"");
          break;
        case FetchItem::kSize:
          add("RFC822.SIZE " + std::to_string(m->textSize));
          break;
        case FetchItem::kEnvelope: {
          size_t headerEnd = 0;
          SplitHeader(text, headerEnd);
          add("ENVELOPE " + Envelope(std::string_view(text).substr(0, headerEnd)));
          break;
        }
        case FetchItem::kBody: {
          std::string bytes = SectionBytes(it, text);
          std::string name = it.name;
          if (it.partialFrom >= 0) {
            name += "<" + std::to_string(it.partialFrom) + ">";
            bytes = size_t(it.partialFrom) >= bytes.size()
                        ? std::string()
                        : bytes.substr(size_t(it.partialFrom), size_t(it.partialLength));
          }
          add(name + " {" + std::to_string(bytes.size()) + "}\r\n");
          out += bytes;
          break;
        }
        case FetchItem::kStructure:
          break;
      }
    }
    if (newlySeen && !flagsSent) add("FLAGS " + FormatFlags(m->flags));
    s.pendingOut += out + ")\r\n";
    Flush(s, node);
  }
  if (flagsChanged) {
    s.seenChanges = f.changes;
    SaveImapIndex(f);
    WakeImapIdlers(f.path);
  }
  Tagged(s, node, cmd.tag, "OK", std::string(cmd.uid ? "UID " : "") + "FETCH completed");
}

void DoStore(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  uint8_t flags = 0;
  std::string what = cmd.args.size() == 3 ? cmd.args[1].text : std::string();
  for (char& c : what) c = char(toupper(static_cast<unsigned char>(c)));
  bool silent = what.size() > 7 && what.compare(what.size() - 7, 7, ".SILENT") == 0;
  if (silent) what.resize(what.size() - 7);
  if (cmd.args.size() != 3 || cmd.args[0].kind != ImapItem::kAtom ||
      (what != "FLAGS" && what != "+FLAGS" && what != "-FLAGS") ||
      !ParseFlagList(cmd.args[2], flags)) {
    Tagged(s, node, cmd.tag, "BAD", "Bad STORE arguments");
    return;
  }
  if (s.readOnly) {
    Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
    return;
  }
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*s.folder, a, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  Reconcile(s, node, cmd.uid);
  std::vector<size_t> chosen;
  if (!ResolveSet(s, cmd.args[0].text, cmd.uid, chosen)) {
    Tagged(s, node, cmd.tag, "BAD", "Bad sequence set");
    return;
  }
  ImapFolder& f = *s.folder;
  bool changed = false;
  for (size_t i : chosen) {
    ImapMessage* m = s.gone[i] ? nullptr : FindByUid(f, s.view[i]);
    if (!m) continue;
    uint8_t now = what == "FLAGS" ? flags : what == "+FLAGS" ? uint8_t(m->flags | flags)
                                                             : uint8_t(m->flags & ~flags);
    if (now != m->flags) {
      m->flags = now;
      m->changed = ++f.changes;
      changed = true;
    }
    if (!silent)
      Send(s, node, "* " + std::to_string(i + 1) + " FETCH (" +
                        (cmd.uid ? "UID " + std::to_string(m->uid) + " " : std::string()) +
                        "FLAGS " + FormatFlags(m->flags) + ")");
  }
  s.seenChanges = f.changes;
  if (changed) {
    if (!SaveImapIndex(f))
      LogEvent(0, kLogPop3, "IM-%04x: Unable to write '%s'.", s.id, f.indexPath.c_str());
    WakeImapIdlers(f.path);
  }
  Tagged(s, node, cmd.tag, "OK", std::string(cmd.uid ? "UID " : "") + "STORE completed");
}

void DoSearch(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  size_t start = 0;
  if (cmd.args.size() >= 2 && cmd.args[0].kind == ImapItem::kAtom &&
      strcasecmp(cmd.args[0].text.c_str(), "CHARSET") == 0) {
    if (strcasecmp(cmd.args[1].text.c_str(), "US-ASCII") != 0 &&
        strcasecmp(cmd.args[1].text.c_str(), "UTF-8") != 0) {
      Tagged(s, node, cmd.tag, "NO", "[BADCHARSET (US-ASCII UTF-8)] Unknown charset");
      return;
    }
    start = 2;
  }
  if (start >= cmd.args.size()) {
    Tagged(s, node, cmd.tag, "BAD", "SEARCH needs a key");
    return;
  }
  FolderAccess a;
  std::string why;
  if (!AccessFolder(*s.folder, a, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  Reconcile(s, node, cmd.uid);
  std::string found;
  for (size_t i = 0; i < s.view.size(); ++i) {
    const ImapMessage* m = s.gone[i] ? nullptr : FindByUid(*s.folder, s.view[i]);
    if (!m) continue;
    SearchContext c;
    c.s = &s;
    c.fd = a.fd.get();
    c.m = m;
    c.number = uint32_t(i + 1);
    bool bad = false, all = true;
    for (size_t k = start; k < cmd.args.size() && !bad;)
      if (!MatchKey(cmd.args, k, c, bad)) all = false;
    if (bad) {
      Tagged(s, node, cmd.tag, "BAD", "Bad search key");
      return;
    }
    if (all) found += " " + std::to_string(cmd.uid ? m->uid : uint32_t(i + 1));
  }
  Send(s, node, "* SEARCH" + found);
  Tagged(s, node, cmd.tag, "OK", std::string(cmd.uid ? "UID " : "") + "SEARCH completed");
}

// Appends one message to the folder at `path` and gives it `flags`: under the
// folder's mutex, and for INBOX the mailbox lock the router takes. `uid` gets
// its UID and `validity` the folder's UIDVALIDITY. False with the NO's text.
bool AppendToFolder(ImapSession& s, const std::string& path, int sourceFd, std::string_view text,
                    uint8_t flags, uint32_t& uid, uint32_t& validity, std::string& why) {
  std::shared_ptr<ImapFolder> f = FindImapFolder(path);
  FolderAccess a;
  a.guard = std::unique_lock<std::mutex>(f->mutex);
  {
    MailboxLock lock;
    bool timedOut = false;
    if (path == s.mailboxPath && !LockMailbox(s.user, kImap.rewriteLockMs, lock, timedOut)) {
      why = "[INUSE] Mailbox in use, try again later";
      return false;
    }
    if (!AppendImapMessage(path, s.user, sourceFd, text, why)) {
      why = "[SERVERBUG] " + why;
      return false;
    }
  }
  if (!OpenFolder(*f, a, why)) return false;
  if (f->messages.empty()) {
    why = "[SERVERBUG] The message did not arrive";
    return false;
  }
  ImapMessage& m = f->messages.back();
  if (m.flags != flags) {
    m.flags = flags;
    m.changed = ++f->changes;
    SaveImapIndex(*f);
  }
  uid = m.uid;
  validity = f->uidValidity;
  WakeImapIdlers(path);
  return true;
}

void DoAppend(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd) {
  // The message went to s.appendFile; its place in the arguments is an empty string.
  uint8_t flags = 0;
  size_t n = cmd.args.size();
  bool ok = s.appendFile.valid() && n >= 2 && n <= 4 && cmd.args[n - 1].kind == ImapItem::kString;
  if (ok && n >= 3 && cmd.args[1].kind == ImapItem::kList) ok = ParseFlagList(cmd.args[1], flags);
  if (!ok) {
    Tagged(s, node, cmd.tag, "BAD", "APPEND needs a mailbox, flags, a date and a literal message");
    return;
  }
  std::string path, why;
  if (!ResolveMailbox(s, cmd.args[0], path)) {
    Tagged(s, node, cmd.tag, "NO", "[TRYCREATE] No such mailbox");
    return;
  }
  uint32_t uid = 0, validity = 0;
  if (!AppendToFolder(s, path, s.appendFile.get(), {}, flags, uid, validity, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return;
  }
  if (state == kImapSelected && s.folder && s.folder->path == path) {
    FolderAccess a;
    if (AccessFolder(*s.folder, a, why)) Reconcile(s, node, true);
  }
  Tagged(s, node, cmd.tag, "OK",
         "[APPENDUID " + std::to_string(validity) + " " + std::to_string(uid) + "] APPEND completed");
}

// Expunges the messages of `uids` only: the other \Deleted messages keep their
// flag through the rewrite (UIDPLUS's UID EXPUNGE, MOVE).
bool ExpungeOnly(ImapSession& s, NetNode* node, const std::vector<uint32_t>& uids, bool mark,
                 std::string& why) {
  FolderAccess a;
  if (!AccessFolder(*s.folder, a, why)) return false;
  std::vector<uint32_t> spared;
  for (ImapMessage& m : s.folder->messages) {
    bool named = std::binary_search(uids.begin(), uids.end(), m.uid);
    if (named && mark) m.flags |= kFlagDeleted;
    if (!named && (m.flags & kFlagDeleted)) {
      spared.push_back(m.uid);
      m.flags &= uint8_t(~kFlagDeleted);
    }
  }
  std::vector<uint32_t> removed;
  bool ok = ExpungeImapFolder(*s.folder, s.user, a.fd, removed, why);
  for (uint32_t uid : spared)
    if (ImapMessage* m = FindByUid(*s.folder, uid)) m->flags |= kFlagDeleted;
  if (!ok) {
    for (uint32_t uid : uids)
      if (ImapMessage* m = FindByUid(*s.folder, uid); m && mark) m->flags &= uint8_t(~kFlagDeleted);
    SaveImapIndex(*s.folder);
    if (why.empty()) why = "Expunge failed";
    return false;
  }
  if (!spared.empty()) SaveImapIndex(*s.folder);
  if (!removed.empty()) WakeImapIdlers(s.folder->path);
  // The rewritten file is read at once, so the kept messages are known again.
  FolderAccess again;
  a.fd.reset();
  a.guard.unlock();
  if (AccessFolder(*s.folder, again, why)) Reconcile(s, node, true);
  return true;
}

std::string UidList(const std::vector<uint32_t>& uids) {
  std::string out;
  for (uint32_t u : uids) out += (out.empty() ? "" : ",") + std::to_string(u);
  return out;
}

void DoCopy(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  bool move = cmd.word == "MOVE";
  std::string path, why;
  if (cmd.args.size() != 2 || cmd.args[0].kind != ImapItem::kAtom) {
    Tagged(s, node, cmd.tag, "BAD", cmd.word + " needs a sequence set and a mailbox");
    return;
  }
  if (move && s.readOnly) {
    Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
    return;
  }
  if (!ResolveMailbox(s, cmd.args[1], path)) {
    Tagged(s, node, cmd.tag, "NO", "[TRYCREATE] No such mailbox");
    return;
  }
  std::vector<uint32_t> wanted;
  {
    FolderAccess a;
    if (!AccessFolder(*s.folder, a, why)) {
      Tagged(s, node, cmd.tag, "NO", why);
      return;
    }
    Reconcile(s, node, cmd.uid);
    std::vector<size_t> chosen;
    if (!ResolveSet(s, cmd.args[0].text, cmd.uid, chosen)) {
      Tagged(s, node, cmd.tag, "BAD", "Bad sequence set");
      return;
    }
    for (size_t i : chosen)
      if (!s.gone[i]) wanted.push_back(s.view[i]);
  }
  // One message at a time: the source is let go before the target is taken, so
  // two sessions copying in opposite directions never wait for each other.
  std::vector<uint32_t> from, to;
  uint32_t validity = 0;
  for (uint32_t uid : wanted) {
    std::string text;
    uint8_t flags = 0;
    {
      FolderAccess a;
      if (!AccessFolder(*s.folder, a, why)) break;
      const ImapMessage* m = FindByUid(*s.folder, uid);
      if (!m) continue;
      if (!ReadImapText(a.fd.get(), *m, 0, m->textSize, text)) {
        why = "[SERVERBUG] Unable to read mailbox file";
        break;
      }
      flags = m->flags & uint8_t(~kFlagDeleted);
    }
    uint32_t newUid = 0;
    if (!AppendToFolder(s, path, -1, text, flags, newUid, validity, why)) break;
    from.push_back(uid);
    to.push_back(newUid);
  }
  if (from.size() != wanted.size()) {
    Tagged(s, node, cmd.tag, "NO", why.empty() ? "Copy failed" : why);
    return;
  }
  std::string code = from.empty() ? std::string()
                                  : "[COPYUID " + std::to_string(validity) + " " + UidList(from) +
                                        " " + UidList(to) + "] ";
  if (move) {
    if (!code.empty()) Send(s, node, "* OK " + code + "Moved");
    if (!from.empty() && !ExpungeOnly(s, node, from, true, why)) {
      Tagged(s, node, cmd.tag, "NO", why);
      return;
    }
    Tagged(s, node, cmd.tag, "OK", std::string(cmd.uid ? "UID " : "") + "MOVE completed");
    return;
  }
  {
    FolderAccess a;
    if (s.folder->path == path && AccessFolder(*s.folder, a, why)) Reconcile(s, node, cmd.uid);
  }
  Tagged(s, node, cmd.tag, "OK", code + (cmd.uid ? "UID " : "") + "COPY completed");
}

void DoUid(ImapSession& s, NetNode* node, int32_t& state, ImapCommand& cmd);

// The command table: the word, its handler, and the states it is allowed in
// (a bit per ImapState).
struct ImapVerb {
  const char* word;
  Handler handler;
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

// Starts streaming an APPEND's message of `size` bytes to a file in the
// account's folder directory. False when it may not or cannot.
bool StartAppendFile(ImapSession& s, long long size) {
  if (s.user.empty() || size > ServerSettings().maxEsmtpSize) return false;
  std::string dir = ImapFolderDirectory(s.mailboxPath);
  MakeDirectories(dir, 0700);
  s.appendPath = dir + ".append-" + std::to_string(s.id) + ".tmp";
  s.appendFile = OpenExclusive(s.appendPath, O_RDWR | O_CREAT | O_TRUNC, 0600);
  return s.appendFile.valid();
}

Read ReadCommand(ImapSession& s, NetNode* node) {
  char buffer[kImap.lineBytes + 1];
  for (;;) {
    if (s.literalLeft > 0 && s.appendFile.valid() && !s.discarding) {
      int want = int(std::min<long long>(s.literalLeft, (long long)kImap.lineBytes));
      int n = NetRead(node, buffer, want);
      if (n <= 0) return Read::kNone;
      if (!WriteAll(s.appendFile.get(), buffer, size_t(n))) s.discarding = true;
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
    if (literal >= 0 && !s.discarding && s.command.empty() && IsAppendLine(line)) {
      // APPEND's message goes to disk, never into memory.
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
    if (s.appendFile.valid() && !s.discarding && !line.empty()) {
      s.discarding = true;  // MULTIAPPEND is not offered
      if (literal >= 0 && plus) {
        s.literalLeft = literal;
        continue;
      }
      return Read::kTooLong;
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
  if (!s.appendFile.valid()) return;
  s.appendFile.reset();
  DeleteFileWin(s.appendPath);
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
