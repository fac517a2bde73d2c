// The POP3 word and reply tables and the session's pure helpers.
#include "server/pop3/pop3_words.h"

#include <strings.h>

#include <climits>
#include <cstring>
#include <unordered_set>

#include "server/pop3/md5.h"

const Pop3Word kPop3Words[] = {
    {"+OK", kPopTokOk},     {"QUIT", kPopTokQuit}, {"USER", kPopTokUser}, {"PASS", kPopTokPass},
    {"STAT", kPopTokStat},  {"LIST", kPopTokList}, {"RETR", kPopTokRetr}, {"DELE", kPopTokDele},
    {"NOOP", kPopTokNoop},  {"LAST", kPopTokLast}, {"RSET", kPopTokRset}, {"TOP", kPopTokTop},
    {"APOP", kPopTokApop},  {"UIDL", kPopTokUidl}, {"CAPA", kPopTokCapa}, {"STLS", kPopTokStls},
};
const size_t kPop3WordCount = sizeof kPop3Words / sizeof kPop3Words[0];

// Every reply the server sends. A message line (code 23) is not a table text:
// AppendMessageLine composes it.
const Pop3ReplyText kPop3Replies[] = {
    {kPopUnknownCommand, kFormPlain, "-ERR unknown command\r\n"},
    {kPopUndefined, kFormPlain, "-ERR Undefined error.\r\n"},
    {kPopGreeting, kFormPlain, "+OK POP3 server %s ready <%s>\r\n"},
    {kPopWelcome, kFormPlain, "+OK %s welcome here\r\n"},
    {kPopNeverHeard, kFormPlain, "-ERR never heard of %s\r\n"},
    {kPopMailboxReady, kFormPlain, "+OK mailbox for %s has %ld messages (%ld octets)\r\n"},
    {kPopInvalidPassword, kFormPlain, "-ERR invalid password\r\n"},
    {kPopNotAllowed, kFormPlain, "-ERR Not allowed to access service\r\n"},
    {kPopAlreadyLocked, kFormPlain, "-ERR Mailbox already locked, please try later.\r\n"},
    {kPopUnableToLock, kFormPlain, "-ERR unable to lock mailbox\r\n"},
    {kPopStat, kFormPlain, "+OK %ld %ld\r\n"},
    {kPopNoSuchMessage, kFormPlain, "-ERR no such message\r\n"},
    {kPopSingleListing, kFormPlain, "+OK %ld %ld\r\n"},
    {kPopSingleListing, kFormId, "+OK %ld %s\r\n"},
    {kPopSingleListing, kFormNoId, "+OK %ld <>\r\n"},
    {kPopListingStart, kFormPlain, "+OK %ld messages (%ld octets)\r\n"},
    {kPopListingStart, kFormId, "+OK\r\n"},
    {kPopListingLine, kFormPlain, "%ld %ld\r\n"},
    {kPopListingLine, kFormId, "%ld %s\r\n"},
    {kPopListingLine, kFormNoId, "%ld <>\r\n"},
    {kPopEnd, kFormPlain, ".\r\n"},
    {kPopRetrStart, kFormPlain, "+OK %ld octets\r\n"},
    {kPopDeleted, kFormPlain, "+OK message %ld deleted\r\n"},
    {kPopAlreadyDeleted, kFormPlain, "-ERR message %ld already deleted\r\n"},
    {kPopOk, kFormPlain, "+OK\r\n"},
    {kPopLast, kFormPlain, "+OK %ld\r\n"},
    {kPopSigningOff, kFormPlain, "+OK POP3 server %s signing off.\r\n"},
    {kPopCapabilities, kFormPlain, "+OK Capability list follows\r\n%s.\r\n"},
    {kPopBeginTls, kFormPlain, "+OK Begin TLS negotiation\r\n"},
    {kPopTlsActive, kFormPlain, "-ERR Command not permitted when TLS active\r\n"},
    {kPopTlsRequired, kFormPlain, "-ERR TLS required\r\n"},
    {kPopTlsUnavailable, kFormPlain, "-ERR TLS not available\r\n"},
    {kPopTryLater, kFormPlain, "-ERR [SYS/TEMP] Account lookup unavailable; try again later.\r\n"},
};
const size_t kPop3ReplyCount = sizeof kPop3Replies / sizeof kPop3Replies[0];

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr std::string_view kStatusName = "Status:";
constexpr std::string_view kFromSeparator = "From ";

// Decimal digits at the start of `text`, saturated at LLONG_MAX; `used` gets the
// count of digits.
long long ReadDecimal(std::string_view text, size_t& used) {
  long long v = 0;
  used = 0;
  while (used < text.size() && IsDigit(text[used])) {
    int d = text[used] - '0';
    v = v > (LLONG_MAX - d) / 10 ? LLONG_MAX : v * 10 + d;
    ++used;
  }
  return v;
}

// The line of `text` that starts at `start`: its content without the line end
// and the offset just past the line end.
std::string_view LineAt(std::string_view text, size_t start, size_t& next) {
  size_t lf = text.find('\n', start);
  size_t end = lf == std::string_view::npos ? text.size() : lf;
  next = lf == std::string_view::npos ? text.size() : lf + 1;
  std::string_view line = text.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool IsStatusLine(std::string_view line) {
  return line.size() >= kStatusName.size() &&
         strncasecmp(line.data(), kStatusName.data(), kStatusName.size()) == 0;
}

}  // namespace

Pop3Token FindPop3Token(std::string_view word) {
  for (const Pop3Word& w : kPop3Words) {
    size_t n = strlen(w.word);
    if (word.size() >= n && strncasecmp(word.data(), w.word, n) == 0) return w.token;
  }
  return kPopTokUnknown;
}

bool ComposePop3Reply(int code, Pop3Form form, const Pop3ReplyArgs& a, std::string& out) {
  const Pop3ReplyText* found = nullptr;
  for (const Pop3ReplyText& r : kPop3Replies)
    if (r.code == code && r.form == form) found = &r;
  if (!found) return false;
  std::string_view texts[2] = {a.text, a.second};
  long long numbers[2] = {a.first, a.number};
  size_t nextText = 0, nextNumber = 0;
  out.clear();
  for (const char* p = found->text; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (nextText < 2) out.append(texts[nextText++]);
      ++p;
    } else if (p[0] == '%' && p[1] == 'l' && p[2] == 'd') {
      if (nextNumber < 2) out += std::to_string(numbers[nextNumber++]);
      p += 2;
    } else {
      out += *p;
    }
  }
  return true;
}

long long ParseMessageNumber(std::string_view argument) {
  size_t used = 0;
  long long v = ReadDecimal(argument, used);
  if (used == 0) return 0;
  if (used < argument.size() && !IsBlank(argument[used])) return 0;
  return v;
}

std::string_view SecondArgument(std::string_view argument) {
  size_t i = 0;
  while (i < argument.size() && IsBlank(argument[i])) ++i;
  while (i < argument.size() && !IsBlank(argument[i])) ++i;
  while (i < argument.size() && IsBlank(argument[i])) ++i;
  return argument.substr(i);
}

long long ParseLineCount(std::string_view text) {
  if (text.empty() || text[0] == '-') return 0;
  size_t used = 0;
  return ReadDecimal(text, used);
}

bool IsQuotedFromLine(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] == '>') ++i;
  return i > 0 && line.substr(i, kFromSeparator.size()) == kFromSeparator;
}

void AppendMessageLine(std::string_view line, std::string& out) {
  do {
    std::string_view piece = line.substr(0, kPopLineCut);
    line.remove_prefix(piece.size());
    if (!piece.empty() && piece[0] == '.') out += '.';
    out.append(piece);
    out += "\r\n";
  } while (!line.empty());
}

void ApplyStatusHeader(std::string& block, bool retrieved) {
  std::string_view text = block;
  size_t pos = 0, next = 0;
  LineAt(text, 0, next);  // the separator line
  size_t insertAt = next;  // after the separator when the header has no end here
  size_t statusStart = std::string::npos, statusEnd = 0;
  bool seenEnd = false;
  for (pos = next; pos < text.size(); pos = next) {
    std::string_view line = LineAt(text, pos, next);
    if (line.empty() && next > pos) {
      insertAt = pos;
      seenEnd = true;
      break;
    }
    if (statusStart == std::string::npos && IsStatusLine(line) && next > pos &&
        text[next - 1] == '\n') {
      statusStart = pos;
      statusEnd = next;
    }
  }
  (void)seenEnd;
  bool read = retrieved;
  if (statusStart != std::string::npos && !read) {
    size_t dummy = 0;
    std::string_view value = LineAt(text, statusStart, dummy).substr(kStatusName.size());
    size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    for (; i < value.size(); ++i) {
      char c = value[i];
      if (c != 'N' && c != 'O' && c != 'U' && c != 'R') break;
      if (c == 'R') read = true;
    }
  }
  std::string line = std::string("Status: ") + (read ? 'R' : 'U') + "O\r\n";
  if (statusStart != std::string::npos)
    block.replace(statusStart, statusEnd - statusStart, line);
  else
    block.insert(insertAt, line);
}

std::string MakeApopStamp(uint16_t session, uint32_t tick, std::string_view node) {
  char head[40];
  snprintf(head, sizeof head, "%05u.%lu@", unsigned(session), (unsigned long)tick);
  return std::string(head) + std::string(node);
}

std::string ComputeApopDigest(std::string_view stamp, std::string_view password) {
  std::string text;
  text.reserve(stamp.size() + password.size() + 2);
  text += '<';
  text.append(stamp);
  text += '>';
  text.append(password);
  std::string digest = Md5Hex(text);
  // The clear password does not outlive this call.
  std::fill(text.begin(), text.end(), '\0');
  return digest;
}

bool SplitApopArgument(std::string_view argument, std::string_view& name,
                       std::string_view& digest) {
  size_t i = 0;
  while (i < argument.size() && IsBlank(argument[i])) ++i;
  size_t j = i;
  while (j < argument.size() && !IsBlank(argument[j])) ++j;
  name = argument.substr(i, j - i);
  while (j < argument.size() && IsBlank(argument[j])) ++j;
  size_t k = j;
  while (k < argument.size() && !IsBlank(argument[k])) ++k;
  digest = argument.substr(j, k - j);
  return !name.empty();
}

bool IsUsableUid(std::string_view id) {
  if (id.empty() || id.size() > kMaxUidChars) return false;
  for (char c : id)
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) return false;
  return true;
}

std::vector<std::string> AssignUniqueIds(const std::vector<UidSource>& sources) {
  std::vector<std::string> ids;
  ids.reserve(sources.size());
  std::unordered_set<std::string> used;
  used.reserve(sources.size() * 2);
  for (const UidSource& s : sources) {
    std::string id;
    if (IsUsableUid(s.messageId) && !used.count(s.messageId)) {
      id = s.messageId;
    } else {
      id = s.stableKey;
      for (int n = 2; used.count(id); ++n) id = s.stableKey + "-" + std::to_string(n);
    }
    used.insert(id);
    ids.push_back(std::move(id));
  }
  return ids;
}

std::string StableMessageKey(std::string_view header, long long totalLength) {
  Md5Context c;
  long long statusBytes = 0;
  size_t next = 0;
  for (size_t pos = 0; pos < header.size(); pos = next) {
    std::string_view line = LineAt(header, pos, next);
    if (pos > 0 && IsStatusLine(line)) {
      statusBytes += (long long)(next - pos);
      continue;
    }
    Md5Update(c, header.data() + pos, next - pos);
  }
  if (totalLength >= 0) {
    std::string length = " " + std::to_string(totalLength - statusBytes);
    Md5Update(c, length.data(), length.size());
  }
  uint8_t digest[kMd5DigestBytes];
  Md5Final(c, digest);
  return Md5DigestText(digest);
}
