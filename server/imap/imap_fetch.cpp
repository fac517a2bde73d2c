// FETCH, STORE and SEARCH: message items, sections, partials, the envelope and
// the search keys.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "server/core/log.h"
#include "server/imap/imap.h"
#include "server/imap/imap_internal.h"

namespace {

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
      std::vector<unsigned> path;
      std::string rest = spec;
      if (!spec.empty() && isdigit(static_cast<unsigned char>(spec[0])) &&
          !ParseMimeSection(spec, path, rest))
        return false;
      if (rest != "HEADER.FIELDS" && rest != "HEADER.FIELDS.NOT") return false;
    } else if (spec != "" && spec != "HEADER" && spec != "TEXT") {
      std::vector<unsigned> path;
      std::string rest;
      if (!ParseMimeSection(spec, path, rest) || rest == "HEADER.FIELDS" ||
          rest == "HEADER.FIELDS.NOT")
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
  if (it.section == "TEXT") return text.substr(headerEnd);
  if (isdigit(static_cast<unsigned char>(it.section[0]))) {
    // A numbered part; a part that is not there reads as empty.
    std::vector<unsigned> path;
    std::string rest, bytes;
    if (!ParseMimeSection(it.section, path, rest) ||
        !ExtractMimeSection(text, path, rest, bytes))
      return std::string();
    if (rest == "HEADER.FIELDS" || rest == "HEADER.FIELDS.NOT")
      return FilterHeader(bytes, it.fields, rest == "HEADER.FIELDS.NOT");
    return bytes;
  }
  return FilterHeader(std::string_view(text).substr(0, headerEnd), it.fields,
                      it.section == "HEADER.FIELDS.NOT");
}

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

}  // namespace

std::string FormatImapEnvelope(std::string_view header) { return Envelope(header); }

namespace {

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
  if (key == "KEYWORD" || key == "UNKEYWORD")
    return arg(a) && HasKeyword(c.m->keywords, a) == (key == "KEYWORD");
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

// The selected folder opened for reading and the session's view brought up to
// date; with `chosen`, the messages of the command's sequence set. False once
// the tagged NO or BAD has been sent.
bool OpenForCommand(ImapSession& s, NetNode* node, const ImapCommand& cmd, FolderAccess& a,
                    std::vector<size_t>* chosen) {
  std::string why;
  if (!AccessFolder(*s.folder, a, why)) {
    Tagged(s, node, cmd.tag, "NO", why);
    return false;
  }
  Reconcile(s, node, cmd.uid);
  if (chosen && !ResolveSet(s, cmd.args[0].text, cmd.uid, *chosen)) {
    Tagged(s, node, cmd.tag, "BAD", "Bad sequence set");
    return false;
  }
  return true;
}

}  // namespace

void DoFetch(ImapSession& s, NetNode* node, int32_t&, ImapCommand& cmd) {
  std::vector<FetchItem> items;
  bool ok = cmd.args.size() == 2 && cmd.args[0].kind == ImapItem::kAtom;
  if (ok && cmd.args[1].kind == ImapItem::kList) {
    for (const ImapItem& it : cmd.args[1].list)
      ok = ok && it.kind == ImapItem::kAtom && ParseFetchItem(it.text, items);
  } else if (ok) {
    ok = cmd.args[1].kind == ImapItem::kAtom && ParseFetchItem(cmd.args[1].text, items);
  }
  if (!ok || items.empty()) {
    Tagged(s, node, cmd.tag, "BAD", "Bad FETCH arguments");
    return;
  }
  FolderAccess a;
  std::vector<size_t> chosen;
  if (!OpenForCommand(s, node, cmd, a, &chosen)) return;
  bool needText = false, setsSeen = false;
  for (const FetchItem& it : items) {
    if (it.kind == FetchItem::kBody || it.kind == FetchItem::kEnvelope ||
        it.kind == FetchItem::kStructure)
      needText = true;
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
          add("FLAGS " + FormatFlags(m->flags, m->keywords));
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
          add(it.name + " " + FormatImapBodyStructure(text, it.name == "BODYSTRUCTURE"));
          break;
      }
    }
    if (newlySeen && !flagsSent) add("FLAGS " + FormatFlags(m->flags, m->keywords));
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
  std::string keywords;
  std::string what = cmd.args.size() == 3 ? cmd.args[1].text : std::string();
  for (char& c : what) c = char(toupper(static_cast<unsigned char>(c)));
  bool silent = what.size() > 7 && what.compare(what.size() - 7, 7, ".SILENT") == 0;
  if (silent) what.resize(what.size() - 7);
  if (cmd.args.size() != 3 || cmd.args[0].kind != ImapItem::kAtom ||
      (what != "FLAGS" && what != "+FLAGS" && what != "-FLAGS") ||
      !ParseFlagList(cmd.args[2], flags, &keywords)) {
    Tagged(s, node, cmd.tag, "BAD", "Bad STORE arguments");
    return;
  }
  if (s.readOnly) {
    Tagged(s, node, cmd.tag, "NO", "[READ-ONLY] Mailbox is read-only");
    return;
  }
  FolderAccess a;
  std::vector<size_t> chosen;
  if (!OpenForCommand(s, node, cmd, a, &chosen)) return;
  ImapFolder& f = *s.folder;
  bool changed = false;
  for (size_t i : chosen) {
    ImapMessage* m = s.gone[i] ? nullptr : FindByUid(f, s.view[i]);
    if (!m) continue;
    uint8_t now = what == "FLAGS" ? flags : what == "+FLAGS" ? uint8_t(m->flags | flags)
                                                             : uint8_t(m->flags & ~flags);
    char how = what == "FLAGS" ? '=' : what[0];
    std::string words = keywords.empty() && how != '=' ? m->keywords
                                                       : ChangeKeywords(m->keywords, keywords, how);
    if (now != m->flags || words != m->keywords) {
      m->flags = now;
      m->keywords = std::move(words);
      m->changed = ++f.changes;
      changed = true;
    }
    if (!silent)
      Send(s, node, "* " + std::to_string(i + 1) + " FETCH (" +
                        (cmd.uid ? "UID " + std::to_string(m->uid) + " " : std::string()) +
                        "FLAGS " + FormatFlags(m->flags, m->keywords) + ")");
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
  if (!OpenForCommand(s, node, cmd, a, nullptr)) return;
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

