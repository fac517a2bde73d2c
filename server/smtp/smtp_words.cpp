// The SMTP word, reply, extension and HELP tables and the pure parsers.
#include "server/smtp/smtp_words.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "server/core/config.h"
#include "server/core/strings.h"

const SmtpWord kSmtpWords[] = {
    {"220", kTok220},   {"221", kTok221},   {"250", kTok250},   {"251", kTok251},
    {"354", kTok354},   {"421", kTok421},   {"450", kTok450},   {"451", kTok451},
    {"452", kTok452},   {"500", kTok500},   {"501", kTok501},   {"502", kTok502},
    {"503", kTok503},   {"504", kTok504},   {"550", kTok550},   {"551", kTok551},
    {"552", kTok552},   {"553", kTok553},   {"554", kTok554},   {"HELO", kTokHelo},
    {"EHLO", kTokEhlo}, {"DATA", kTokData}, {"MAIL", kTokMail}, {"SEND", kTokSend},
    {"SOML", kTokSoml}, {"SAML", kTokSaml}, {"NOOP", kTokNoop}, {"RCPT", kTokRcpt},
    {"RSET", kTokRset}, {"VRFY", kTokVrfy}, {"EXPN", kTokExpn}, {"TURN", kTokTurn},
    {"HELP", kTokHelp}, {"QUIT", kTokQuit}, {"ETRN", kTokEtrn}, {"XTRN", kTokEtrn},
    {"STARTTLS", kTokStartTls}, {"AUTH", kTokAuth}, {".", kTokDot},
};
const size_t kSmtpWordCount = sizeof kSmtpWords / sizeof kSmtpWords[0];

// The reply and command texts. Entries with one format use it with and without a
// text; the composition below decides which arguments fill the "%s" and "%ld".
const SmtpReplyText kSmtpReplies[] = {
    {kReplyOk, "250 OK, %s", "250 OK"},
    {kReplyWillForward, "251 User not local; will forward <%s>, %s.",
     "251 User not local; will forward, %s."},
    {kReplyGreeting, "220 %s", nullptr},
    {kCmdHelo, "HELO %s", nullptr},
    {kCmdEhlo, "EHLO %s", nullptr},
    {kReplyHelo, "250 %s %s", "250 %s"},
    {kCmdTurn, "TURN", nullptr},
    {kCmdQuit, "QUIT", nullptr},
    {kCmdEtrn, "ETRN %s", nullptr},
    {kReplyClosing, "221 %s Service Closing", nullptr},
    {kCmdMail, "MAIL FROM:<%s> SIZE=%ld", "MAIL FROM:<%s>"},
    {kCmdSend, "SEND FROM:<%s>", nullptr},
    {kCmdSoml, "SOML FROM:<%s>", nullptr},
    {kCmdSaml, "SAML FROM:<%s>", nullptr},
    {kCmdRcpt, "RCPT TO:<%s>", nullptr},
    {kReplyMailOk, "250 OK, can accomodate %ld bytes", "250 OK"},
    {kCmdData, "DATA", nullptr},
    {kLineAsIs, "%s", ".%s"},
    {kCmdDot, ".", nullptr},
    {kReplyNoSuchUser, "550 Action not taken, supposed local user '%s' does not exist.", nullptr},
    {kReplyStartInput, "354 Start mail input; end with <CRLF>.<CRLF>", nullptr},
    {kReplyVrfy, "250 %s<%s>.", nullptr},
    {kReplyLocalError, "451 Requested action aborted; local error in processing.", nullptr},
    {kReplyUserUnknown, "550 User unknown.", nullptr},
    {kReplyListDenied, "550 Access to list not allowed.", nullptr},
    {kReplyListRestricted, "550 List access restricted by owner.", nullptr},
    {kReplyNoList, "550 Unable to find list '%s'.", nullptr},
    {kReplySyntax, "550 Syntax error", nullptr},
    {kReplyParamSyntax, "501 Syntax error in parameters.", nullptr},
    {kReplyNotImplemented, "504 Command parameter not implemented.", nullptr},
    {kReplyStorage, "552 Exceeded storage limit.", nullptr},
    {kReplyBadMailbox, "553 Mailbox incorrect '%s'.", nullptr},
    {kReplyRelayDenied, "550 Relaying denied.", nullptr},
    {kReplyTooManyRecipients, "452 Too many recipients", nullptr},
    {kReplyReadyTls, "220 Ready to start TLS", nullptr},
    {kReplyBadSequence, "503 Bad sequence of commands", nullptr},
    {kReplyAuthOk, "235 Authentication successful", nullptr},
    {kReplyAuthFailed, "535 Authentication credentials invalid", nullptr},
    {kReplyAuthRequired, "530 Authentication required", nullptr},
    {kReplyAuthChallenge, "334 %s", "334 "},
    {kReplyTlsUnavailable, "454 TLS not available due to temporary reason", nullptr},
    {kReplyAuthTooMany, "454 Too many authentication failures", nullptr},
    {kReplyAuthCancelled, "501 Authentication cancelled", nullptr},
    {kReplyAuthMechanism, "504 Unrecognized authentication type", nullptr},
    {kReplyTlsFirst, "530 Must issue a STARTTLS command first", nullptr},
    {kReplyTryLater, "451 Recipient lookup unavailable; try again later.", nullptr},
    {kReplyPolicyRefused, "550 5.7.1 %s", "550 5.7.1 Message refused by policy."},
    {kReplyPolicyLater, "451 4.7.1 %s", "451 4.7.1 Try again later."},
};
const size_t kSmtpReplyCount = sizeof kSmtpReplies / sizeof kSmtpReplies[0];

const SmtpExtension kSmtpExtensions[] = {
    {"SEND", 0x01}, {"SOML", 0x02}, {"SAML", 0x04}, {"HELP", 0x08}, {"EXPN", kExtExpn},
    {"TURN", kExtTurn}, {"SIZE", kExtSize}, {"ETRN", kExtEtrn}, {"XTRN", kExtEtrn},
};
const size_t kSmtpExtensionCount = sizeof kSmtpExtensions / sizeof kSmtpExtensions[0];

const SmtpHelpTopic kSmtpHelpTopics[] = {
    {nullptr, kStrSmtpHelp},  {"HELO", kStrSmtpHelp + 1}, {"MAIL", kStrSmtpHelp + 2},
    {"SEND", kStrSmtpHelp + 2}, {"SOML", kStrSmtpHelp + 2}, {"SAML", kStrSmtpHelp + 2},
    {"RCPT", kStrSmtpHelp + 3}, {"DATA", kStrSmtpHelp + 4}, {"RSET", kStrSmtpHelp + 5},
    {"VRFY", kStrSmtpHelp + 6}, {"EXPN", kStrSmtpHelp + 7}, {"NOOP", kStrSmtpHelp + 8},
    {"QUIT", kStrSmtpHelp + 9}, {"TURN", kStrSmtpHelp + 10},
};
const size_t kSmtpHelpTopicCount = sizeof kSmtpHelpTopics / sizeof kSmtpHelpTopics[0];

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const SmtpReplyText* FindReply(int code) {
  for (const SmtpReplyText& r : kSmtpReplies)
    if (r.code == code) return &r;
  return nullptr;
}

// Fills a table format: each "%s" takes the next text, "%ld" the size. Only
// these two conversions occur in the table; anything else is copied.
std::string Fill(const char* format, std::initializer_list<std::string_view> texts, long size) {
  std::string out;
  auto next = texts.begin();
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (next != texts.end()) out.append(*next++);
      ++p;
    } else if (p[0] == '%' && p[1] == 'l' && p[2] == 'd') {
      out += std::to_string(size);
      p += 2;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

SmtpToken FindSmtpToken(std::string_view word) {
  if (!word.empty() && word[0] == '.') return word == "." ? kTokDot : kTokNone;
  for (const SmtpWord& w : kSmtpWords) {
    size_t n = strlen(w.word);
    if (word.size() >= n && strncasecmp(word.data(), w.word, n) == 0) return w.token;
  }
  return kTokNone;
}

SmtpCommandLine SplitSmtpLine(std::string_view line, bool stopAtDash) {
  SmtpCommandLine out;
  size_t i = 0;
  while (i < line.size() && !IsBlank(line[i]) && !(stopAtDash && line[i] == '-')) ++i;
  out.word = line.substr(0, i);
  if (stopAtDash && i < line.size() && line[i] == '-') ++i;
  while (i < line.size() && IsBlank(line[i])) ++i;
  out.argument = line.substr(i);
  return out;
}

std::string_view FirstWord(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  size_t j = i;
  while (j < text.size() && !IsBlank(text[j])) ++j;
  return text.substr(i, j - i);
}

bool ComposeSmtpLine(int code, const SmtpReplyArgs& a, std::string& out, bool* cut) {
  if (cut) *cut = false;
  const SmtpReplyText* r = FindReply(code);
  if (!r) return false;
  const char* without = r->withoutText ? r->withoutText : r->withText;
  bool hasText = !a.text.empty();
  switch (code) {
    case kReplyOk:
      out = hasText ? Fill(r->withText, {a.text}, 0) : without;
      break;
    case kReplyWillForward:
      if (hasText && !a.second.empty())
        out = Fill(r->withText, {a.text, a.second}, 0);
      else
        out = Fill(without, {hasText ? a.text : a.second}, 0);
      break;
    case kCmdHelo:
    case kCmdEhlo:
    case kReplyClosing:
      out = Fill(r->withText, {a.host}, 0);
      break;
    case kReplyHelo:
      out = hasText ? Fill(r->withText, {a.host, a.text}, 0) : Fill(without, {a.host}, 0);
      break;
    case kCmdEtrn:
      out = Fill(r->withText, {hasText ? a.text : a.host}, 0);
      break;
    case kCmdMail:
      out = a.size >= 0 ? Fill(r->withText, {a.text}, a.size) : Fill(without, {a.text}, 0);
      break;
    case kReplyMailOk:
      out = a.size >= 0 ? Fill(r->withText, {}, a.size) : without;
      break;
    case kReplyVrfy:
      out = Fill(r->withText, {a.text, a.second}, 0);
      break;
    case kLineAsIs: {
      // A line beginning with "." gets one more; long lines are cut so the whole
      // line, dot included, stays within the limit less its CRLF.
      bool dotted = !a.text.empty() && a.text[0] == '.';
      std::string_view body = a.text;
      size_t keep = dotted ? kSendLineCut - 5 : kSendLineCut - 3;
      if (body.size() > kSendLineCut) {
        body = body.substr(0, keep);
        if (cut) *cut = true;
      }
      out.clear();
      if (dotted) out += '.';
      out.append(body);
      break;
    }
    default:
      out = Fill(r->withText, {a.text, a.second}, 0);
      break;
  }
  return true;
}

void MaskTo7Bit(std::string& bytes) {
  for (char& c : bytes) {
    auto u = static_cast<unsigned char>(c);
    if (!(u & 0x80)) continue;
    c = char(u & 0x7F);
    // 0x8D, 0x8A and 0x80 would become CR, LF and NUL: a peer's 8-bit text
    // echoed in a reply would end the line early and pass the rest off as a
    // reply of its own.
    if (c == '\r' || c == '\n' || c == '\0') c = kMaskedLineBreak;
  }
}

std::vector<std::string> ComposeMultiline(std::string_view prefix, std::string_view text) {
  std::vector<std::string> lines;
  std::string last(prefix);
  if (!last.empty() && last.back() == '-') last.back() = ' ';
  size_t start = 0;
  for (;;) {
    size_t lf = text.find('\n', start);
    std::string_view piece =
        lf == std::string_view::npos ? text.substr(start) : text.substr(start, lf - start);
    bool final = lf == std::string_view::npos;
    std::string line(final ? last : std::string(prefix));
    line.append(piece);
    line += "\r\n";
    lines.push_back(std::move(line));
    if (final) break;
    start = lf + 1;
  }
  return lines;
}

uint16_t ComputeEsmtpExtensionMask(const Settings& s) {
  if (!s.useEsmtpProtocol) return 0xFFFF;
  uint16_t mask = 0x8F;
  if (s.doExpnAndVrfy) mask |= kExtExpn;
  if (s.doEsmtpSize) mask |= kExtSize;
  return mask;
}

unsigned FindHelpTopic(std::string_view argument) {
  std::string_view word = FirstWord(argument);
  for (const SmtpHelpTopic& t : kSmtpHelpTopics) {
    if (!t.topic) {
      if (word.empty()) return t.textId;
      continue;
    }
    if (word.size() == strlen(t.topic) && strncasecmp(word.data(), t.topic, word.size()) == 0)
      return t.textId;
  }
  return 0;
}

bool ExtractAngleAddress(std::string_view argument, std::string_view& address,
                         std::string_view& rest) {
  size_t open = argument.find('<');
  if (open == std::string_view::npos) return false;
  size_t close = argument.find('>', open + 1);
  if (close == std::string_view::npos) return false;
  address = argument.substr(open + 1, close - open - 1);
  rest = argument.substr(close + 1);
  return true;
}

bool ParseSizeParameter(std::string_view rest, long& value) {
  size_t i = 0;
  while (i < rest.size() && IsBlank(rest[i])) ++i;
  static constexpr std::string_view kKey = "SIZE=";
  if (rest.size() - i < kKey.size() || strncasecmp(rest.data() + i, kKey.data(), kKey.size()) != 0)
    return false;
  i += kKey.size();
  long v = 0;
  for (; i < rest.size() && isdigit(static_cast<unsigned char>(rest[i])); ++i) {
    int d = rest[i] - '0';
    if (v > (LONG_MAX - d) / 10) {
      v = LONG_MAX;
      break;
    }
    v = v * 10 + d;
  }
  value = v;
  return true;
}

bool UnstuffDataLine(std::string_view& line) {
  if (line == ".") return true;
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  return false;
}

namespace {

bool ParseDotted(std::string_view text, uint32_t& out) {
  uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || !isdigit(static_cast<unsigned char>(text[i]))) return false;
    unsigned part = 0;
    int digits = 0;
    while (i < text.size() && isdigit(static_cast<unsigned char>(text[i]))) {
      part = part * 10 + unsigned(text[i] - '0');
      if (++digits > 3 || part > 255) return false;
      ++i;
    }
    value = (value << 8) | part;
    if (++parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  out = value;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<RelayNetwork> ParseRelayNetworks(std::string_view text, std::vector<std::string>* bad) {
  std::vector<RelayNetwork> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t semi = text.find(';', start);
    std::string_view entry =
        Trim(semi == std::string_view::npos ? text.substr(start) : text.substr(start, semi - start));
    start = semi == std::string_view::npos ? text.size() + 1 : semi + 1;
    if (entry.empty()) continue;
    std::string_view addr = entry;
    int length = 32;
    bool ok = true;
    size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
      addr = entry.substr(0, slash);
      std::string_view len = entry.substr(slash + 1);
      if (len.empty() || len.size() > 2) ok = false;
      length = 0;
      for (char c : len) {
        if (!isdigit(static_cast<unsigned char>(c))) ok = false;
        length = length * 10 + (c - '0');
      }
      if (length > 32) ok = false;
    }
    RelayNetwork net;
    if (ok && ParseDotted(addr, net.address)) {
      net.mask = length == 0 ? 0 : 0xFFFFFFFFu << (32 - length);
      net.address &= net.mask;
      out.push_back(net);
    } else if (bad) {
      bad->emplace_back(entry);
    }
  }
  return out;
}

bool IsRelayClient(const in_addr& peer, const std::vector<RelayNetwork>& networks) {
  uint32_t a = ntohl(peer.s_addr);
  for (const RelayNetwork& n : networks)
    if ((a & n.mask) == n.address) return true;
  return false;
}
