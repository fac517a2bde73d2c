#include "server/spool/headers.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "server/core/config.h"
#include "server/spool/spool.h"
#include "server/spool/text.h"

using namespace spool_text;

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// The date part of a Received line is at most this long.
constexpr size_t kMaxReceivedDate = 50;
// Header lines whose addresses are rewritten.
constexpr const char* kAddressHeaders[] = {"To:",       "From:", "Return-Path:", "Sender:",
                                           "Reply-To:", "Cc:",   "X-Sender:"};
struct FlagHeader {
  const char* name;
  uint32_t flag;
};
constexpr FlagHeader kFlagHeaders[] = {
    {"To:", kHeaderTo},
    {"From:", kHeaderFrom},
    {"Date:", kHeaderDate},
    {"Subject:", kHeaderSubject},
    {"X-MailDaemon:", kHeaderXMailDaemon},
    {"Message-Id:", kHeaderMessageId},
};
// An address header line that would reach this many characters folds first.
constexpr size_t kFoldColumn = 70;
constexpr const char* kFoldBreak = ",\r\n    ";  // comma, CRLF, three spaces, the blank
constexpr size_t kFoldIndent = 4;
// Buffered output of a copy is written once it holds this much.
constexpr size_t kCopyFlushSize = 65536;
constexpr size_t kBodyReadSize = 65536;

std::atomic<time_t> g_fixedClock{0};

}  // namespace

// ---- Dates -------------------------------------------------------------------------

time_t MailNow() {
  time_t fixed = g_fixedClock.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : time(nullptr);
}

void SetMailClock(time_t fixed) { g_fixedClock.store(fixed, std::memory_order_relaxed); }

std::string FormatLocalDate(DateStyle style, time_t when) {
  struct tm tm;
  if (!localtime_r(&when, &tm)) return std::string();
  const char* day = kDayNames[tm.tm_wday % 7];
  const char* month = kMonthNames[tm.tm_mon % 12];
  const char* zone = tm.tm_zone ? tm.tm_zone : "";
  char buffer[128];
  switch (style) {
    case DateStyle::kMail:
      std::snprintf(buffer, sizeof buffer, "%s, %02d %s %d %02d:%02d:%02d %s", day, tm.tm_mday,
                    month, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, zone);
      break;
    case DateStyle::kMailTwoDigitYear:
      std::snprintf(buffer, sizeof buffer, "%s, %02d %s %02d %02d:%02d:%02d %s", day, tm.tm_mday,
                    month, (tm.tm_year + 1900) % 100, tm.tm_hour, tm.tm_min, tm.tm_sec, zone);
      break;
    case DateStyle::kMessageId:
      std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
      break;
    case DateStyle::kCtime:
      std::snprintf(buffer, sizeof buffer, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", day, month,
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
      break;
  }
  return buffer;
}

std::string FormatMailDate() { return FormatLocalDate(DateStyle::kMail, MailNow()); }

bool WriteDateLine(int fd) { return SpoolWrite(fd, "Date: " + FormatMailDate(), true); }

// ---- Received line and separator ---------------------------------------------------

std::string BuildReceivedLine(const std::string& host, const std::string& fromHost,
                              const std::string& fromAddress, const std::string& agent,
                              const std::string& productText, bool fourDigitYear) {
  std::string date = FormatLocalDate(
      fourDigitYear ? DateStyle::kMail : DateStyle::kMailTwoDigitYear, MailNow());
  if (date.size() > kMaxReceivedDate) date.resize(kMaxReceivedDate);
  std::string line = "Received: by " + Sanitized(host) + " from ";
  if (fromHost.empty()) {
    line += "localhost\r\n    (";
  } else if (fromAddress.empty()) {
    line += Sanitized(fromHost) + " \r\n    (";
  } else {
    line += Sanitized(fromHost) + "\r\n    (" + Sanitized(fromAddress) + "::";
  }
  line += Sanitized(agent) + "," + Sanitized(productText) + "); " + date;
  return line;
}

bool WriteReceivedLine(int fd, const std::string& host, const std::string& agent,
                       const std::string& productText, bool fourDigitYear, long* length) {
  std::string line = BuildReceivedLine(host, "", "", agent, productText, fourDigitYear);
  if (length) *length = long(line.size() + 2);
  return SpoolWrite(fd, line, true);
}

bool IsLocalStamp(std::string_view line, const std::string& host) {
  const std::string_view words[] = {"Received:", "by", host, "from", "localhost"};
  size_t i = 0;
  for (std::string_view want : words) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i]) && line[i] != '\r' && line[i] != '\n') ++i;
    if (!EqualsNoCase(line.substr(start, i - start), want)) return false;
  }
  return true;
}

bool WriteMailboxSeparator(int fd, const std::string& sender, bool afterMessage, time_t when) {
  std::string line = afterMessage ? "\r\n" : "";
  line += "From " + Sanitized(sender) + " " +
          FormatLocalDate(DateStyle::kCtime, when != 0 ? when : MailNow()) + "\r\n";
  return SpoolWrite(fd, line);
}

// ---- Missing headers ---------------------------------------------------------------

void AppendMissingHeaders(std::string& out, uint32_t flags, const MissingHeaderValues& v,
                          const std::string& host) {
  if (!(flags & kHeaderFrom)) out += "From: " + (v.from.empty() ? "nobody" : Sanitized(v.from)) + "\r\n";
  if (!(flags & kHeaderTo)) out += "To: " + (v.to.empty() ? "nobody" : Sanitized(v.to)) + "\r\n";
  if (!(flags & kHeaderDate)) out += "Date: " + FormatMailDate() + "\r\n";
  if (!(flags & kHeaderSubject))
    out += "Subject: " + (v.subject.empty() ? "None" : Sanitized(v.subject)) + "\r\n";
  if (v.addXMailDaemon && !(flags & kHeaderXMailDaemon))
    out += "X-MailDaemon: <" + Sanitized(v.xMailDaemon) + ">\r\n";
  if (!v.idName.empty() && !(flags & kHeaderMessageId)) {
    out += "Message-Id: <" + FormatLocalDate(DateStyle::kMessageId, MailNow()) + "." +
           Sanitized(PathFileName(v.idName)) + "@" + Sanitized(host) + ">\r\n";
  }
}

bool WriteMissingHeaders(int fd, uint32_t flags, const MissingHeaderValues& values,
                         const std::string& host) {
  std::string out;
  AppendMissingHeaders(out, flags, values, host);
  return SpoolWrite(fd, out);
}

// ---- Header rewriting --------------------------------------------------------------

namespace {

// Splits an address list at commas outside quotes, comments and angle brackets.
template <typename Visit>
void ForEachListItem(std::string_view value, Visit visit) {
  bool quoted = false;
  int parens = 0, angles = 0;
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      ++parens;
    } else if (c == ')') {
      if (parens > 0) --parens;
    } else if (parens == 0 && c == '<') {
      ++angles;
    } else if (parens == 0 && c == '>') {
      if (angles > 0) --angles;
    } else if (c == ',' && parens == 0 && angles == 0) {
      visit(value.substr(start, i - start));
      start = i + 1;
    }
  }
  visit(value.substr(std::min(start, value.size())));
}

std::string QuoteDisplayName(std::string_view name) {
  if (!name.empty() && name[0] == '"') return std::string(name);
  std::string out = "\"";
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      out += name[i];
      out += name[++i];
    } else if (name[i] == '"') {
      out += "\\\"";
    } else {
      out += name[i];
    }
  }
  out += '"';
  return out;
}

// One address of an address header line, as it is written back.
std::string RenderAddress(std::string_view written, bool toLine, const CopyOptions& o) {
  NormalizeOptions no;
  no.qualify = true;
  no.strip = true;
  no.stripOnlyLocal = true;
  no.mapDomains = o.mapDomainsAndDropReceipts;
  NormalizedAddress n;
  if (!NormalizeAddress(written, o.identity, no, n)) return std::string(written);
  if (!n.isLocal) return n.address;
  if (toLine && written.substr(0, 19) == "Multiple recipients") return std::string(written);
  if (o.useAccounts) {
    LocalAccountInfo account;
    if (LookUpLocalAccount(n.address, o.domain, account) && !account.isForward) {
      std::string display = n.name.empty() ? account.userName : n.name;
      if (display.empty()) display = "???";
      return QuoteDisplayName(display) + " <" + n.address + ">";
    }
  }
  return n.address;
}

void RebuildAddressLine(std::string_view name, std::string_view value, const CopyOptions& o,
                        std::string& out) {
  bool toLine = EqualsNoCase(name, "To:");
  std::string line(name);
  line += ' ';
  size_t column = line.size();
  bool any = false;
  ForEachListItem(value, [&](std::string_view item) {
    item = Trim(item);
    if (item.empty()) return;
    std::string rendered = RenderAddress(item, toLine, o);
    if (any) {
      // The first address of a line never moves.
      if (column + 2 + rendered.size() >= kFoldColumn) {
        line += kFoldBreak;
        column = kFoldIndent;
      } else {
        line += ", ";
        column += 2;
      }
    }
    line += rendered;
    column += rendered.size();
    any = true;
  });
  if (!any) {
    out.append(name);
    out.append(value);
  } else {
    out += line;
  }
  out += "\r\n";
}

// One physical line of the block: [start, end) without the line end, next line.
struct PhysicalLine {
  size_t start = 0, end = 0, next = 0;
  bool complete = false;
};

PhysicalLine LineAt(std::string_view block, size_t pos, bool atEnd) {
  PhysicalLine l;
  l.start = pos;
  size_t lf = block.find('\n', pos);
  if (lf == std::string_view::npos) {
    l.end = l.next = block.size();
    l.complete = atEnd && pos < block.size();
  } else {
    l.end = lf;
    l.next = lf + 1;
    l.complete = true;
  }
  if (l.end > l.start && block[l.end - 1] == '\r') --l.end;
  return l;
}

bool IsBlankLine(std::string_view s) { return Trim(s).empty(); }

// The text of a field or line with its line ends taken out (the continuation
// lines' own blanks stay).
std::string JoinLines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') continue;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// Appends the lines of a field as they stand, each ending in CRLF (a line that
// ends in LF alone gets its CR), trailing blanks of the last one taken off.
void AppendFieldLines(std::string_view text, std::string& out) {
  text = TrimRight(text);
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.append(line);
    out += "\r\n";
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
}

}  // namespace

HeaderStep NextHeaderField(std::string_view block, bool atEnd, size_t& pos, HeaderField& f) {
  f = HeaderField();
  f.start = pos;
  PhysicalLine first = LineAt(block, pos, atEnd);
  if (!first.complete) return HeaderStep::kIncomplete;
  std::string_view firstText = block.substr(first.start, first.end - first.start);
  if (IsBlankLine(firstText)) {
    pos = first.next;
    return HeaderStep::kEnd;
  }
  f.value = firstText;
  f.next = first.next;
  if (IsBlank(firstText[0])) return HeaderStep::kNotField;  // a continuation with no field

  // Lines that begin with a blank and hold more text continue this one.
  size_t next = first.next, valueEnd = first.end;
  while (next < block.size() && IsBlank(block[next])) {
    PhysicalLine cont = LineAt(block, next, atEnd);
    if (!cont.complete) return HeaderStep::kIncomplete;
    if (IsBlankLine(block.substr(cont.start, cont.end - cont.start))) break;
    valueEnd = cont.end;
    next = cont.next;
  }
  std::string_view text = block.substr(first.start, valueEnd - first.start);
  f.value = text;
  f.next = next;
  // The field name runs to a colon that comes before any blank.
  size_t colon = text.find(':');
  size_t blank = text.find_first_of(" \t");
  if (colon == std::string_view::npos || colon == 0 || colon > blank) return HeaderStep::kNotField;
  f.name = text.substr(0, colon + 1);
  f.value = text.substr(colon + 1);
  pos = next;
  return HeaderStep::kField;
}

std::string UnfoldHeaderValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    out += value[i] == '\n' ? ' ' : value[i];
  }
  return std::string(Trim(out));
}

bool FindHeaderField(std::string_view block, bool atEnd, std::string_view name,
                     std::string& value) {
  size_t pos = 0;
  HeaderField f;
  while (NextHeaderField(block, atEnd, pos, f) == HeaderStep::kField) {
    if (EqualsNoCase(f.name, name)) {
      value = UnfoldHeaderValue(f.value);
      return true;
    }
  }
  return false;
}

size_t RewriteHeaderBlock(std::string_view block, bool atEnd, const CopyOptions& o,
                          std::string& out) {
  uint32_t flags = 0;
  size_t pos = 0;
  auto finish = [&](size_t consumed) {
    AppendMissingHeaders(out, flags, o.missing, o.identity.host);
    out += "\r\n";
    return consumed;
  };
  while (true) {
    HeaderField field;
    switch (NextHeaderField(block, atEnd, pos, field)) {
      case HeaderStep::kEnd:
      case HeaderStep::kIncomplete:  // the block ends inside this header line
        return finish(pos);
      case HeaderStep::kNotField: {
        std::string_view word = field.value.substr(0, field.value.find_first_of(" \t\r\n"));
        if (!EqualsNoCase(word, "from")) return finish(pos);  // the body starts without an empty line
        // A mailbox separator line: left out, with its continuation lines.
        pos = field.next;
        continue;
      }
      case HeaderStep::kField: break;
    }
    std::string logical = JoinLines(std::string_view(field.name.data(),
                                                     field.value.data() + field.value.size() -
                                                         field.name.data()));
    logical.resize(TrimRight(logical).size());
    size_t colon = field.name.size() - 1;
    std::string_view fieldName = field.name;
    for (const FlagHeader& f : kFlagHeaders) {
      if (EqualsNoCase(fieldName, f.name)) flags |= f.flag;
    }
    if (EqualsNoCase(fieldName, "Status:")) continue;
    if (o.mapDomainsAndDropReceipts && EqualsNoCase(fieldName, "Return-receipt-to:")) continue;
    bool addressHeader = false;
    for (const char* h : kAddressHeaders) {
      if (EqualsNoCase(fieldName, h)) addressHeader = true;
    }
    if (addressHeader) {
      RebuildAddressLine(fieldName, std::string_view(logical).substr(colon + 1), o, out);
    } else if (logical.size() > kMaxHeaderLineChars) {
      // Joined, the field would be longer than a line may be: it keeps the lines
      // its writer folded it into (an Authentication-Results field of fifty
      // signatures, a long References field).
      AppendFieldLines(std::string_view(field.name.data(), field.value.data() +
                                                               field.value.size() -
                                                               field.name.data()),
                       out);
    } else {
      out += logical;
      out += "\r\n";
    }
  }
}

// ---- Separator quoting -------------------------------------------------------------

namespace {
constexpr std::string_view kSeparatorWord = "From ";

void FlushPrefix(FromQuoter& q, std::string& out) {
  out.append(q.pendingGt, '>');
  out.append(kSeparatorWord.substr(0, q.pendingFrom));
  q.inPrefix = false;
  q.pendingGt = q.pendingFrom = 0;
}
}  // namespace

void QuoteFromLines(FromQuoter& q, std::string_view d, std::string& out) {
  size_t i = 0;
  const size_t n = d.size();
  while (i < n) {
    if (!q.inPrefix) {
      const void* p = std::memchr(d.data() + i, '\n', n - i);
      if (!p) {
        out.append(d.data() + i, n - i);
        return;
      }
      size_t lf = size_t(static_cast<const char*>(p) - d.data());
      out.append(d.data() + i, lf + 1 - i);
      i = lf + 1;
      q.inPrefix = true;
      q.pendingGt = q.pendingFrom = 0;
      continue;
    }
    char c = d[i];
    if (q.pendingFrom == 0 && c == '>') {
      ++q.pendingGt;
      ++i;
    } else if (c == kSeparatorWord[q.pendingFrom]) {
      ++i;
      if (++q.pendingFrom == kSeparatorWord.size()) {
        out.append(q.pendingGt + 1, '>');
        out.append(kSeparatorWord);
        q.inPrefix = false;
        q.pendingGt = q.pendingFrom = 0;
      }
    } else {
      FlushPrefix(q, out);  // `c` is looked at again as ordinary text
    }
  }
}

void FinishFromQuoting(FromQuoter& q, std::string& out) {
  if (q.inPrefix) FlushPrefix(q, out);
}

// ---- Copying -----------------------------------------------------------------------

namespace {

// Fills `buffer` from the file; short only at the end of input. -1 on error.
long FillBlock(int fd, char* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    long n = ReadSome(fd, buffer + got, size - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += size_t(n);
  }
  return long(got);
}

}  // namespace

bool CopyMessageWithHeaders(int input, int output, long long inputOffset,
                            const CopyOptions& o, std::string& why) {
  std::string block(kCopyBlockSize, '\0');
  std::string out;
  out.reserve(kCopyFlushSize + kBodyReadSize);
  if (inputOffset >= 0 && !SpoolSeek(input, inputOffset, SEEK_SET)) {
    why = "Unable to seek to the beginning of the file.";
    return false;
  }
  long got = FillBlock(input, block.data(), block.size());
  if (got < 0) {
    why = "Error reading data from input file.";
    return false;
  }
  bool atEnd = size_t(got) < block.size();
  std::string_view first(block.data(), size_t(got));

  size_t lineEnd = first.find('\n');
  std::string_view firstLine = first.substr(0, lineEnd);
  if (!IsLocalStamp(firstLine, o.identity.host)) {
    std::string stamp = BuildReceivedLine(o.identity.host, "", "", o.agent, o.productText,
                                          o.fourDigitYear);
    if (!SpoolWrite(output, stamp, true)) {
      why = "Error writing received line to output file.";
      return false;
    }
  }

  FromQuoter quoter;
  auto emitBody = [&](std::string_view data) {
    if (o.mailboxMode) QuoteFromLines(quoter, data, out);
    else out.append(data);
  };
  auto flush = [&]() {
    bool ok = SpoolWrite(output, out);
    out.clear();
    return ok;
  };

  if (o.byteLimit >= 0) {
    size_t limit = std::min({size_t(o.byteLimit), kCopyBlockSize, first.size()});
    emitBody(first.substr(0, limit));
    if (o.mailboxMode) FinishFromQuoting(quoter, out);
    if (!flush()) {
      why = "Error writing file data to output file.";
      return false;
    }
    return true;
  }

  size_t bodyStart = 0;
  if (o.processHeaders) {
    bodyStart = RewriteHeaderBlock(first, atEnd, o, out);
    if (!flush()) {
      why = "Error copying header: Error processing header lines.";
      return false;
    }
  }
  emitBody(first.substr(bodyStart));
  if (!atEnd) block.resize(kBodyReadSize);
  while (!atEnd) {
    if (out.size() >= kCopyFlushSize && !flush()) {
      why = "Error writing file data to output file.";
      return false;
    }
    got = FillBlock(input, block.data(), block.size());
    if (got < 0) {
      why = "Error reading data from input file.";
      return false;
    }
    atEnd = size_t(got) < block.size();
    emitBody(std::string_view(block.data(), size_t(got)));
  }
  if (o.mailboxMode) FinishFromQuoting(quoter, out);
  if (!flush()) {
    why = "Error writing file data to output file.";
    return false;
  }
  return true;
}
