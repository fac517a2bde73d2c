// IMAP command syntax: the tokenizer, sequence sets, flags, strings and dates.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "server/imap/imap.h"

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Lists nest at most this deep (a command is bounded, its recursion too).
constexpr int kMaxDepth = 8;

struct Reader {
  std::string_view in;
  size_t pos = 0;
  const char* err = nullptr;
};

bool AtEnd(const Reader& r) { return r.pos >= r.in.size(); }

bool IsAtomChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7f && c != '(' && c != ')' && c != '{' && c != '"';
}

// An atom; a bracketed part ("BODY[HEADER.FIELDS (A B)]") is taken whole.
std::string ReadAtom(Reader& r) {
  size_t start = r.pos;
  while (!AtEnd(r)) {
    char c = r.in[r.pos];
    if (c == '[') {
      size_t close = r.in.find(']', r.pos);
      if (close == std::string_view::npos) {
        r.err = "Unbalanced bracket";
        return {};
      }
      r.pos = close + 1;
      continue;
    }
    if (!IsAtomChar(c)) break;
    ++r.pos;
  }
  if (r.pos == start) r.err = "Missing argument";
  return std::string(r.in.substr(start, r.pos - start));
}

std::string ReadQuoted(Reader& r) {
  std::string out;
  ++r.pos;  // the opening quote
  while (!AtEnd(r)) {
    char c = r.in[r.pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (AtEnd(r)) break;
      c = r.in[r.pos++];
      if (c != '\\' && c != '"') {
        r.err = "Bad escape in quoted string";
        return {};
      }
    } else if (c == '\r' || c == '\n' || c == '\0') {
      break;
    }
    out += c;
  }
  r.err = "Unterminated quoted string";
  return {};
}

// "{n}" or "{n+}", CRLF, then n bytes (the reader put them there).
std::string ReadLiteral(Reader& r) {
  size_t close = r.in.find('}', r.pos);
  if (close == std::string_view::npos) {
    r.err = "Bad literal";
    return {};
  }
  std::string_view number = r.in.substr(r.pos + 1, close - r.pos - 1);
  if (!number.empty() && number.back() == '+') number.remove_suffix(1);
  unsigned long long n = 0;
  if (number.empty() || number.size() > 12) r.err = "Bad literal";
  for (char c : number) {
    if (!isdigit(static_cast<unsigned char>(c))) r.err = "Bad literal";
    n = n * 10 + unsigned(c - '0');
  }
  if (r.err) return {};
  r.pos = close + 1;
  if (r.in.substr(r.pos, 2) != "\r\n" || r.in.size() - r.pos - 2 < n) {
    r.err = "Bad literal";
    return {};
  }
  r.pos += 2;
  std::string out(r.in.substr(r.pos, size_t(n)));
  r.pos += size_t(n);
  return out;
}

// Items up to the list's closing parenthesis (`inList`) or the end.
bool ReadItems(Reader& r, std::vector<ImapItem>& out, bool inList, int depth) {
  if (depth > kMaxDepth) {
    r.err = "Lists nested too deep";
    return false;
  }
  for (;;) {
    if (AtEnd(r)) {
      if (inList) r.err = "Unbalanced parenthesis";
      return !r.err;
    }
    char c = r.in[r.pos];
    if (inList && c == ')') {
      ++r.pos;
      return true;
    }
    if (!out.empty()) {
      if (c != ' ') {
        r.err = "Missing space";
        return false;
      }
      ++r.pos;
      if (AtEnd(r)) {
        r.err = "Trailing space";
        return false;
      }
      c = r.in[r.pos];
    }
    ImapItem item;
    if (c == '(') {
      ++r.pos;
      item.kind = ImapItem::kList;
      if (!ReadItems(r, item.list, true, depth + 1)) return false;
    } else if (c == '"') {
      item.kind = ImapItem::kString;
      item.text = ReadQuoted(r);
    } else if (c == '{') {
      item.kind = ImapItem::kString;
      item.text = ReadLiteral(r);
    } else {
      item.text = ReadAtom(r);
      if (strcasecmp(item.text.c_str(), "NIL") == 0) item.kind = ImapItem::kNil;
    }
    if (r.err) return false;
    out.push_back(std::move(item));
  }
}

bool ParseNumber(std::string_view text, uint32_t highest, uint32_t& out) {
  if (text == "*") {
    out = highest;
    return true;
  }
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  unsigned long long n = 0;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
    n = n * 10 + unsigned(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  out = uint32_t(n);
  return true;
}

}  // namespace

bool ParseImapCommand(std::string_view line, std::string& tag, std::string& word,
                      std::vector<ImapItem>& args, std::string& why) {
  tag.clear();
  word.clear();
  args.clear();
  size_t sp = line.find(' ');
  std::string_view t = line.substr(0, sp);
  for (char c : t)
    if (!IsAtomChar(c) || c == '+' || c == '*' || c == '%' || c == ']') {
      why = "Bad tag";
      return false;
    }
  if (t.empty()) {
    why = "Missing tag";
    return false;
  }
  tag = std::string(t);
  if (sp == std::string_view::npos || sp + 1 >= line.size()) {
    why = "Missing command";
    return false;
  }
  size_t start = sp + 1;
  size_t end = start;
  while (end < line.size() && isalpha(static_cast<unsigned char>(line[end]))) ++end;
  if (end == start || (end < line.size() && line[end] != ' ')) {
    why = "Bad command";
    return false;
  }
  for (size_t i = start; i < end; ++i)
    word += char(toupper(static_cast<unsigned char>(line[i])));
  if (end >= line.size()) return true;
  if (end + 1 >= line.size()) {
    why = "Trailing space";
    return false;
  }
  // The arguments read as a list whose closing parenthesis is added here.
  std::vector<ImapItem> items;
  std::string text = std::string(line.substr(end + 1)) + ")";
  Reader lr{text, 0};
  if (!ReadItems(lr, items, true, 0) || !AtEnd(lr)) {
    why = lr.err ? lr.err : "Junk after arguments";
    return false;
  }
  args = std::move(items);
  return true;
}

bool ParseSequenceSet(std::string_view text, uint32_t highest, std::vector<ImapRange>& out) {
  out.clear();
  if (text.empty()) return false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string_view part = text.substr(pos, comma == std::string_view::npos ? std::string_view::npos
                                                                          : comma - pos);
    size_t colon = part.find(':');
    ImapRange range;
    if (colon == std::string_view::npos) {
      if (!ParseNumber(part, highest, range.first)) return false;
      range.last = range.first;
    } else {
      if (!ParseNumber(part.substr(0, colon), highest, range.first) ||
          !ParseNumber(part.substr(colon + 1), highest, range.last))
        return false;
      if (range.first > range.last) std::swap(range.first, range.last);
    }
    out.push_back(range);
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return true;
}

bool InSequenceSet(const std::vector<ImapRange>& set, uint32_t value) {
  for (const ImapRange& r : set)
    if (value >= r.first && value <= r.last) return true;
  return false;
}

long long LiteralAtEnd(std::string_view line, bool& plus) {
  plus = false;
  if (line.size() < 3 || line.back() != '}') return -1;
  size_t open = line.rfind('{');
  if (open == std::string_view::npos) return -1;
  std::string_view number = line.substr(open + 1, line.size() - open - 2);
  if (!number.empty() && number.back() == '+') {
    plus = true;
    number.remove_suffix(1);
  }
  if (number.empty() || number.size() > 12) return -1;
  long long n = 0;
  for (char c : number) {
    if (!isdigit(static_cast<unsigned char>(c))) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

namespace {

// A keyword is an atom: no specials, controls, blanks or 8-bit bytes.
bool IsKeywordAtom(std::string_view word) {
  if (word.empty() || word.size() > kImap.keywordBytes) return false;
  for (char c : word) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || strchr("(){%*\"\\]", c)) return false;
  }
  return true;
}

// Calls `visit` with each word of a space-separated keyword list.
template <typename Visit>
void ForEachKeyword(std::string_view list, Visit visit) {
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find(' ', pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos) visit(list.substr(pos, end - pos));
    pos = end + 1;
  }
}

void AddKeyword(std::string& list, std::string_view word) {
  if (HasKeyword(list, word)) return;
  if (!list.empty()) list += ' ';
  list += word;
}

size_t CountKeywords(std::string_view list) {
  size_t n = 0;
  ForEachKeyword(list, [&](std::string_view) { ++n; });
  return n;
}

}  // namespace

bool ParseFlagList(const ImapItem& item, uint8_t& flags, std::string* keywords) {
  flags = 0;
  std::string words;
  std::vector<const ImapItem*> atoms;
  if (item.kind == ImapItem::kList) {
    for (const ImapItem& a : item.list) atoms.push_back(&a);
  } else {
    atoms.push_back(&item);
  }
  for (const ImapItem* a : atoms) {
    if (a->kind != ImapItem::kAtom || a->text.empty()) return false;
    if (a->text[0] != '\\') {
      if (!IsKeywordAtom(a->text)) return false;
      AddKeyword(words, a->text);
      continue;
    }
    bool known = false;
    for (const ImapFlagName& f : kImapFlagNames)
      if (strcasecmp(f.name, a->text.c_str()) == 0) {
        flags |= f.flag;
        known = true;
      }
    if (!known && strcasecmp(a->text.c_str(), "\\Recent") != 0) return false;
  }
  if (CountKeywords(words) > kImap.keywordsPerMessage) return false;
  if (keywords) *keywords = std::move(words);
  return true;
}

std::string FormatFlags(uint8_t flags, std::string_view keywords) {
  std::string out = "(";
  for (const ImapFlagName& f : kImapFlagNames) {
    if (!(flags & f.flag)) continue;
    if (out.size() > 1) out += ' ';
    out += f.name;
  }
  if (!keywords.empty()) {
    if (out.size() > 1) out += ' ';
    out += keywords;
  }
  return out + ")";
}

bool HasKeyword(std::string_view keywords, std::string_view word) {
  bool found = false;
  ForEachKeyword(keywords, [&](std::string_view w) {
    if (w.size() == word.size() && strncasecmp(w.data(), word.data(), w.size()) == 0)
      found = true;
  });
  return found;
}

std::string ChangeKeywords(std::string_view have, std::string_view change, char how) {
  std::string out;
  if (how == '=') {
    out = std::string(change);
  } else if (how == '+') {
    out = std::string(have);
    ForEachKeyword(change, [&](std::string_view w) {
      if (CountKeywords(out) < kImap.keywordsPerMessage) AddKeyword(out, w);
    });
  } else {
    ForEachKeyword(have, [&](std::string_view w) {
      if (!HasKeyword(change, w)) AddKeyword(out, w);
    });
  }
  return out;
}

std::string QuoteImapString(std::string_view text) {
  bool plain = text.size() < 1024;
  for (char c : text)
    if (c == '\r' || c == '\n' || c == '\0' || (c & 0x80)) plain = false;
  if (!plain) return "{" + std::to_string(text.size()) + "}\r\n" + std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string FormatInternalDate(time_t t) {
  tm parts{};
  gmtime_r(&t, &parts);
  char buf[40];
  snprintf(buf, sizeof buf, "%02d-%s-%04d %02d:%02d:%02d +0000", parts.tm_mday,
           kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min,
           parts.tm_sec);
  return buf;
}

namespace {

tm CalendarTime(int year, int month, int day, int hour, int minute, int second) {
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return parts;
}

}  // namespace

time_t ParseSeparatorDate(std::string_view separator) {
  // "From <sender> Www Mmm dd hh:mm:ss yyyy": the date is the last 24 characters.
  while (!separator.empty() && (separator.back() == '\r' || separator.back() == '\n'))
    separator.remove_suffix(1);
  if (separator.size() < 24) return 0;
  std::string date(separator.substr(separator.size() - 24));
  char month[4] = {};
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  if (sscanf(date.c_str() + 4, "%3s %d %d:%d:%d %d", month, &day, &hour, &minute, &second,
             &year) != 6)
    return 0;
  int m = -1;
  for (int i = 0; i < 12; ++i)
    if (strcmp(kMonths[i], month) == 0) m = i;
  if (m < 0 || day < 1 || day > 31 || year < 1970 || year > 9999) return 0;
  tm parts = CalendarTime(year, m, day, hour, minute, second);
  parts.tm_isdst = -1;
  // The separator carries the local time of the host that wrote it.
  time_t t = mktime(&parts);
  return t < 0 ? 0 : t;
}

bool ParseImapDateTime(std::string_view text, time_t& out) {
  // "dd-Mmm-yyyy hh:mm:ss +zzzz", the day's first digit may be a space.
  if (text.size() != 26 || text[2] != '-' || text[6] != '-' || text[11] != ' ' ||
      text[14] != ':' || text[17] != ':' || text[20] != ' ' ||
      (text[21] != '+' && text[21] != '-'))
    return false;
  auto number = [&](size_t at, size_t count, int& value, bool leadingSpace) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
      char c = text[i];
      if (c == ' ' && leadingSpace && i == at) continue;
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    return true;
  };
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, zh = 0, zm = 0;
  if (!number(0, 2, day, true) || !number(7, 4, year, false) || !number(12, 2, hour, false) ||
      !number(15, 2, minute, false) || !number(18, 2, second, false) ||
      !number(22, 2, zh, false) || !number(24, 2, zm, false))
    return false;
  int m = -1;
  for (int i = 0; i < 12; ++i)
    if (strncasecmp(kMonths[i], text.data() + 3, 3) == 0) m = i;
  if (m < 0 || day < 1 || year < 1970 || year > 9999 || hour > 23 || minute > 59 ||
      second > 60 || zh > 23 || zm > 59)
    return false;
  // A leap second counts as its minute's last.
  tm parts = CalendarTime(year, m, day, hour, minute, second == 60 ? 59 : second);
  time_t t = timegm(&parts);
  if (parts.tm_mday != day || parts.tm_mon != m) return false;  // 31-Feb and the like
  int offset = (zh * 60 + zm) * 60;
  t = text[21] == '+' ? t - offset : t + offset;
  if (t < 0) return false;
  out = t;
  return true;
}

bool ParseSearchDate(std::string_view text, time_t& out) {
  std::string s(text);
  char month[4] = {};
  int day = 0, year = 0;
  char extra = 0;
  if (sscanf(s.c_str(), "%d-%3s-%d%c", &day, month, &year, &extra) != 3) return false;
  int m = -1;
  for (int i = 0; i < 12; ++i)
    if (strcasecmp(kMonths[i], month) == 0) m = i;
  if (m < 0 || day < 1 || day > 31 || year < 1970 || year > 9999) return false;
  tm parts = CalendarTime(year, m, day, 0, 0, 0);
  out = timegm(&parts);
  return true;
}
