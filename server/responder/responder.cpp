// The auto-responder framework: the requester, the loop guards, the command
// lines of on-request responders, the automatic response, the response message
// and the response log.
#include "server/responder/responder.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "server/accounts/accounts.h"
#include "server/accounts/noresponse.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/responder/message_builders.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"

namespace {

constexpr const char* kResponseHeader =
    "From: %s@%s\r\nTo: %s\r\nSubject: Information Response from %s@%s\r\nAuto-Submitted: %s\r\n";
constexpr const char* kResponseIntro = "Output Of Request Submitted to Corvel95 v2.2 Responder\r\n";
constexpr const char* kResponseEnd =
    "\r\n---\r\nEnd of processing\r\n%d files sent\r\n\r\nFor any problems, please contact "
    "postmaster@%s.\r\n";
constexpr const char* kTruncated = "Response truncated; remaining lines not processed.\r\n";
constexpr const char* kScanFailed = "Local Error: Unable to scan incoming message.\r\n";
constexpr const char* kBodyFailed = "Local Error: Error processing message body.\r\n";
constexpr const char* kHelpText =
    "Commands:\r\n'send <file>' - request file name <file>\r\n'get <file>' - request file name "
    "<file>\r\n'list' - request a list of all files for responder\r\n'help' - this text\r\n'end' - "
    "stop processing message\r\n";
constexpr const char* kUnknownCommand = "Unknown command: '%s'.\r\n";
constexpr const char* kEmptyAnswer = "Responder file is empty.";
constexpr const char* kModePrefix = "mode=";

// The file modes of "send [mode=...] name" and the list server's "get".
struct ModeName {
  const char* word;
  FileMode mode;
};
constexpr ModeName kModeWords[] = {
    {"mode=plain", FileMode::kPlain},
    {"mode=uuencode", FileMode::kUuencode},
    {"mode=base64", FileMode::kBase64},
};

// The special names of the Files section.
constexpr const char* kFirstFile = "first";
constexpr const char* kLastFile = "last";
constexpr const char* kDefaultFile = "default";
constexpr size_t kCopiedUserChars = 99;

ListServerLineHandler g_listServer = nullptr;

// The responder's configuration, read once per message.
struct ResponderConfig {
  std::vector<RegValue> values;  // Configuration
  std::vector<RegValue> files;   // Files, in stored order
};

bool Switch(const ResponderConfig& c, const char* name, bool def) {
  return ConfigValueBool(FindConfigValue(c.values, name), def);
}

std::string Text(const ResponderConfig& c, const char* name, size_t maxLen = 0) {
  return ConfigValueText(FindConfigValue(c.values, name), "", maxLen);
}

std::string FileOf(const ResponderConfig& c, const char* name) {
  return ConfigValueText(FindConfigValue(c.files, name), "");
}

const char* DomainArg(const std::string& domain) {
  return domain.empty() ? nullptr : domain.c_str();
}

bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }

bool IsWord(const std::string& word, const char* name) { return IsCommandWord(word, name); }

std::string NextWord(const std::string& s, size_t& pos) { return NextCommandWord(s, pos); }

// Why a message must go unanswered because it is automatic itself (RFC 3834):
// "Auto-Submitted:" other than "no", or "Precedence:" bulk, junk or list. Empty
// when it may be answered.
std::string AutomaticMark(std::string_view block, bool atEnd) {
  std::string value;
  if (FindHeaderField(block, atEnd, "Auto-Submitted:", value)) {
    std::string token = value.substr(0, value.find_first_of(" \t;("));
    if (!IsWord(token, "no")) return "Auto-Submitted: " + value;
  }
  if (FindHeaderField(block, atEnd, "Precedence:", value)) {
    for (const char* p : {"bulk", "junk", "list"})
      if (IsWord(value, p)) return "Precedence: " + value;
  }
  return "";
}

// The type of the local account a canonical requester reaches (aliases were
// followed by the canonical form); kAccountNone when it is not local.
AccountType LocalAccountType(const std::string& requester, std::string& finalName) {
  size_t at = requester.rfind('@');
  if (at == std::string::npos || at == 0) return kAccountNone;
  std::string local = requester.substr(0, at), host = requester.substr(at + 1);
  std::string domain;
  if (!IsThisHost(host, ServerHostIdentity())) {
    bool found = false;
    for (const SecondaryDomain& d : SecondaryDomains()) {
      if (strcasecmp(d.name.c_str(), host.c_str()) == 0) {
        domain = d.name;
        found = true;
      }
    }
    if (!found) return kAccountNone;
  }
  AccountRecord rec;
  if (!ReadAccount(local, domain, true, rec)) return kAccountNone;
  finalName = rec.name;
  return rec.type;
}

// True when the message may be answered; logs why not.
bool MayAnswer(const ResponderRequest& req, std::string_view block, bool atEnd) {
  const std::string& who = req.requester;
  std::string mark = AutomaticMark(block, atEnd);
  if (!mark.empty()) {
    LogEvent(0, kLogRouting, "Not answering automatic message from '%s' (%s).",
             VisibleText(who).c_str(), VisibleText(mark).c_str());
    return false;
  }
  if (who.empty()) {
    LogEvent(0, kLogRouting, "No requester for responder '%s'.  Not generating reply.",
             req.account.c_str());
    return false;
  }
  std::string finalName;
  AccountType type = LocalAccountType(who, finalName);
  if (type == kAccountResponder || type == kAccountList) {
    LogEvent(0, kLogRouting, "Cyclic routing between '%s' and '%s'.  Stopped message cycling.",
             VisibleText(who).c_str(), req.account.c_str());
    return false;
  }
  if (type != kAccountNone && strcasecmp(finalName.c_str(), "root") == 0) {
    LogEvent(0, kLogRouting, "User %s aliased to root. Stopping.", VisibleText(who).c_str());
    return false;
  }
  LogEvent(0, kLogGeneralDebug, "checking no response list");
  if (!IsResponseAllowed(who)) {
    LogEvent(0, kLogRouting,
             "User %s is another mail-daemon.  Not generating reply as it could cause bouncing.",
             VisibleText(who).c_str());
    return false;
  }
  LogEvent(0, kLogRouting, "User %s is not another mail-daemon.", VisibleText(who).c_str());
  return true;
}

// The response log line of one command.
void WriteResponseLog(const ResponderRequest& req, const ResponderConfig& c,
                      const std::string& fromText, const std::string& answer) {
  std::string file = Text(c, "AutoResponseLog");
  if (file.empty()) file = req.account + ".log";
  std::string first = answer.substr(0, answer.find_first_of("\r\n"));
  if (answer.empty()) first = kEmptyAnswer;
  std::string line = req.account + "," + VisibleText(fromText.substr(0, kResponder.logFromChars)) +
                     "," + AccountLogTimes() + "," + VisibleText(first);
  std::string path = InUserDirectory(file);
  if (!AppendAccountLogLine(path, line))
    LogEvent(0, kLogAlways, "Error writing responder information to file: %s", path.c_str());
}

// One message carrying every file of the Files section: first, the others in
// their order, last.
bool SendAutomaticResponse(const ResponderRequest& req, const ResponderConfig& c,
                           std::string& answer) {
  std::string title;
  GetUserName(req.account, title, req.domain);
  std::string from = req.account + "@" + req.domainShown;
  std::string subject = FormatText("Response from %s (%s@%s)", title.c_str(), req.account.c_str(),
                                   req.domainShown.c_str());
  std::string header = "From: " + from + "\r\nTo: " + req.requester + "\r\nSubject: " +
                       VisibleText(subject) + "\r\nAuto-Submitted: " + kAutoReplied + "\r\n";
  MessageWriter w;
  std::string why;
  if (!BeginMessage(w, from, req.requester, header, why)) return false;
  WriteMessageText(w, "\r\n");
  std::vector<const RegValue*> order;
  for (const char* special : {kFirstFile, static_cast<const char*>(nullptr), kLastFile}) {
    for (const RegValue& v : c.files) {
      bool isFirst = strcasecmp(v.name.c_str(), kFirstFile) == 0;
      bool isLast = strcasecmp(v.name.c_str(), kLastFile) == 0;
      if (special ? strcasecmp(v.name.c_str(), special) == 0 : !isFirst && !isLast)
        order.push_back(&v);
    }
  }
  for (const RegValue* v : order) {
    std::string path = InUserDirectory(ConfigValueText(v, ""));
    UniqueFd file = OpenShared(path, O_RDONLY);
    if (path.empty() || !file.valid()) {
      answer += FormatText("No file present for '%s'.\r\n", VisibleText(v->name).c_str());
      continue;
    }
    std::string head(kTextCheckBytes, '\0');
    ssize_t got = ::pread(file.get(), head.data(), head.size(), 0);
    head.resize(got > 0 ? size_t(got) : 0);
    if (got < 0 || LooksBinary(head)) {
      answer += FormatText("File %s(%s) must be text only.", VisibleText(v->name).c_str(),
                           VisibleText(path).c_str());
      AbandonMessage(w);
      LogEvent(0, kLogRouting, "Response multi-file not generated '%s'.", w.path.c_str());
      return false;
    }
    WriteMessageText(w, "\r\n");
    if (!EncodeOpenFile(file.get(), FileMode::kPlain, [&](std::string_view text) {
          WriteMessageText(w, text);
          return true;
        })) {
      answer += "Error dumping input file to output file.";
      AbandonMessage(w);
      return false;
    }
  }
  bool ok = FinishMessage(w, why);
  LogEvent(0, kLogRouting,
           ok ? "Response multi-file generated '%s'." : "Response multi-file not generated '%s'.",
           w.path.c_str());
  return ok;
}

// A file of the responder's Files section for the requester.
FileReplyRequest FileRequest(const ResponderRequest& req, const ResponderConfig& c,
                             const std::string& name) {
  FileReplyRequest r;
  r.recipient = req.requester;
  r.senderUser = req.account;
  r.senderDomain = req.domainShown;
  r.domain = req.domain;
  r.config = req.config;
  r.name = name;
  r.mime = !Switch(c, "SendAsAttachment", true);
  return r;
}

// send/get [mode=...] name.
bool SendLine(ResponderRequest& req, const ResponderConfig& c, const std::string& line,
              size_t pos, std::string& answer) {
  std::string word = NextWord(line, pos);
  FileMode mode = FileMode::kAuto;
  switch (ParseModeWord(word, mode)) {
    case ModeWord::kUnknown:
      answer += FormatText("File mode '%s' not supported.\r\n", VisibleText(word).c_str());
      req.replyNeeded = true;
      return false;
    case ModeWord::kKnown: word = NextWord(line, pos); break;
    case ModeWord::kNotMode: break;
  }
  if (word.empty()) {
    answer += "Error processing send line.\r\n";
    req.replyNeeded = true;
    return false;
  }
  if (!MayAddFile(req)) {
    answer += FormatText(kFileLimitText, VisibleText(word).c_str());
    req.replyNeeded = true;
    return true;
  }
  FileReplyRequest r = FileRequest(req, c, word);
  r.mode = mode;
  if (SendFileReply(r, answer)) {
    answer += FormatText("File for '%s' has been sent.\r\n", VisibleText(word).c_str());
    ++req.filesSent;
  } else {
    // A file that could not be sent is an answer the requester must see.
    req.replyNeeded = true;
  }
  return true;
}

// One body line of a responder that is not the list server. False ends the loop.
bool ProcessResponderLine(ResponderRequest& req, const ResponderConfig& c, const std::string& line,
                          std::string& answer) {
  size_t pos = 0;
  std::string command = NextWord(line, pos);
  if (IsWord(command, "send") || IsWord(command, "get"))
    return SendLine(req, c, line, pos, answer);
  if (IsWord(command, "list")) {
    req.replyNeeded = true;
    if (!Switch(c, "AllowArListing", true)) {
      answer += "Permission denied to list files.\r\n";
      return true;
    }
    for (const RegValue& v : c.files) {
      if (answer.size() + v.name.size() + 3 > req.answerRoom) break;
      answer += VisibleText(v.name) + "\r\n";
    }
    return true;
  }
  if (IsWord(command, "help")) {
    answer += kHelpText;
    req.replyNeeded = true;
    return true;
  }
  if (IsWord(command, "end")) {
    answer += "end of processing\r\n";
    return false;
  }
  answer += FormatText(kUnknownCommand, VisibleText(command).c_str());
  req.replyNeeded = true;
  return false;
}

// The body's lines: split at CR and LF, leading and trailing blanks gone, empty
// lines left out.
std::vector<std::string> BodyLines(std::string_view body) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = body.size();
    std::string_view line = body.substr(pos, end - pos);
    while (!line.empty() && IsBlankChar(line.front())) line.remove_prefix(1);
    while (!line.empty() && IsBlankChar(line.back())) line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    pos = end + 1;
  }
  return lines;
}

// Where the body starts in `block`: after the header's empty line (the end of
// the block when the header does not end within it).
size_t BodyStart(std::string_view block, bool atEnd) {
  size_t pos = 0;
  HeaderField f;
  for (;;) {
    switch (NextHeaderField(block, atEnd, pos, f)) {
      case HeaderStep::kField: continue;
      case HeaderStep::kIncomplete: return block.size();
      default: return pos;
    }
  }
}

// CopiedUser when it names a local account (of the primary domain or the
// responder's own), else empty.
std::string LocalCopyTarget(const ResponderRequest& req, const ResponderConfig& c) {
  std::string copied = Text(c, "CopiedUser", kCopiedUserChars);
  NormalizeOptions o;
  o.strip = true;
  o.mapDomains = true;
  NormalizedAddress n;
  if (copied.empty() || !NormalizeAddress(copied, ServerHostIdentity(), o, n)) return "";
  size_t at = n.address.rfind('@');
  std::string local = n.address.substr(0, at), domain;
  if (!n.isLocal) {
    if (req.domain.empty() || at == std::string::npos ||
        strcasecmp(n.address.substr(at + 1).c_str(), req.domain.c_str()) != 0)
      return "";
    domain = req.domain;
  }
  std::string record;
  return LookupAccount(local, record, domain, true) ? copied : "";
}

}  // namespace

std::string NextCommandWord(const std::string& line, size_t& pos) {
  while (pos < line.size() && IsBlankChar(line[pos])) ++pos;
  size_t start = pos;
  while (pos < line.size() && !IsBlankChar(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

bool IsCommandWord(const std::string& word, const char* name) {
  return word.size() == strlen(name) && strncasecmp(word.data(), name, word.size()) == 0;
}

ModeWord ParseModeWord(const std::string& word, FileMode& mode) {
  if (!IsCommandWord(word.substr(0, strlen(kModePrefix)), kModePrefix)) return ModeWord::kNotMode;
  for (const ModeName& m : kModeWords) {
    if (IsCommandWord(word, m.word)) {
      mode = m.mode;
      return ModeWord::kKnown;
    }
  }
  return ModeWord::kUnknown;
}

bool MayAddFile(const ResponderRequest& request) {
  return request.filesSent < kResponder.maxFilesPerRequest;
}

void SetListServerLineHandler(ListServerLineHandler handler) { g_listServer = handler; }

std::string AccountLogTimes() {
  time_t now = MailNow();
  std::string date = FormatLocalDate(DateStyle::kMail, now);
  std::replace(date.begin(), date.end(), ',', '.');
  struct tm tm {};
  char local[32] = "";
  if (localtime_r(&now, &tm)) strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S", &tm);
  return date + "," + local;
}

bool AppendAccountLogLine(const std::string& path, const std::string& line) {
  UniqueFd fd = OpenShared(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!fd.valid()) return false;
  std::string text = line + "\r\n";
  return WriteAll(fd.get(), text.data(), text.size()) && fd.close_checked();
}

void RespondToMessage(const SpecialDelivery& in, SpecialResult& out) {
  out = SpecialResult();
  out.ok = true;  // whatever happens below, the message is handled here
  ResponderRequest req;
  req.account = in.account;
  req.domain = in.domain;
  req.domainShown = in.domainShown;
  if (!GetAccountConfigName(in.account, req.config, in.domain) || req.config.empty())
    req.config = in.account;
  const bool listServer = strcasecmp(in.account.c_str(), kListServerAccount) == 0;

  std::string response;  // notes that precede the lines' answers
  std::string block(kResponder.inputBytes, '\0');
  ssize_t n = ::pread(in.spoolFd, block.data(), block.size(), off_t(in.messageOffset));
  if (n < 0) {
    LogEvent(0, kLogAlways, "Unable to scan incoming message.");
    response += kScanFailed;
  }
  block.resize(n > 0 ? size_t(n) : 0);
  const bool atEnd = block.size() < kResponder.inputBytes;
  if (atEnd && !block.empty() && block.back() == kEndOfFileMark) block.pop_back();

  std::string fromText;
  bool haveFrom = FindHeaderField(block, atEnd, "From:", fromText);
  if (!haveFrom || !CanonicalizeAddress(fromText, in.domain, req.requester)) {
    LogEvent(0, kLogAlways, "Unable to get from name from message");
    // The envelope sender instead (a report's empty sender stays empty).
    std::string sender = in.sender;
    if (sender == "<>" || !CanonicalizeAddress(sender, in.domain, req.requester))
      req.requester.clear();
  }
  LogEvent(0, kLogGeneralDebug, "from: %s", VisibleText(req.requester).c_str());
  if (!MayAnswer(req, block, atEnd)) return;
  LogEvent(0, kLogGeneralDebug, "can respond: TRUE");

  ResponderConfig config;
  AccountRecord record;
  bool configured = ReadAccount(in.account, in.domain, false, record) &&
                    ConfigReadValues("Configuration", config.values, DomainArg(in.domain),
                                     req.config.c_str()) &&
                    ConfigReadValues("Files", config.files, DomainArg(in.domain),
                                     req.config.c_str());
  // The response's text; its header is written when it is sent.
  std::string text = kResponseIntro;
  text += response;

  const bool automatic = !listServer && configured && !Switch(config, "SendOnRequest", true);
  std::vector<std::string> lines = BodyLines(std::string_view(block).substr(BodyStart(block, atEnd)));
  if (automatic && lines.empty()) lines.emplace_back();  // an empty body is answered too
  // The response, its envelope and header included, stays within responseBytes.
  const std::string header = FormatText(kResponseHeader, in.account.c_str(), in.domainShown.c_str(),
                                        req.requester.c_str(), in.account.c_str(),
                                        in.domainShown.c_str(), kAutoReplied);
  const std::string from = in.account + "@" + in.domainShown;
  const size_t headerBytes = EnvelopeBaseBytes(from, true) + EnvelopeRecipientBytes(req.requester) +
                             header.size() + GeneratedHeaderLines(from).size() + 2;
  const size_t limit = kResponder.responseBytes - kResponder.trailerReserve - headerBytes;
  for (const std::string& line : lines) {
    std::string echo = automatic ? "" : "> " + VisibleText(line) + "\r\n";
    if (text.size() + echo.size() > limit) {
      text += kTruncated;
      break;
    }
    req.answerRoom = limit - text.size() - echo.size();
    std::string answer;
    bool more;
    if (listServer) {
      if (g_listServer) {
        more = g_listServer(req, line, answer);
      } else {
        size_t pos = 0;
        answer = FormatText(kUnknownCommand, VisibleText(NextWord(line, pos)).c_str());
        req.replyNeeded = true;
        more = false;
      }
    } else {
      LogEvent(0, kLogRouting, "Processing for responder: '%s'.", in.account.c_str());
      if (!configured) {
        answer = FormatText("Unable to access responder: %s\r\n", in.account.c_str());
        req.replyNeeded = true;
        more = false;
      } else if (automatic) {
        bool sent = SendAutomaticResponse(req, config, answer);
        answer += sent ? "Automated response sent.\r\n" : "Error sending automated response.\r\n";
        LogEvent(0, kLogRouting,
                 sent ? "Automated response for '%s' sent."
                      : "Error sending automated response for '%s'.",
                 in.account.c_str());
        if (sent) ++req.filesSent;
        else req.replyNeeded = true;
        more = false;
      } else {
        more = ProcessResponderLine(req, config, line, answer);
      }
      if (configured && Switch(config, "DoAutoResponseLog", false))
        WriteResponseLog(req, config, fromText, answer);
    }
    if (text.size() + echo.size() + answer.size() > limit) {
      text += kTruncated;
      break;
    }
    text += echo + answer;
    if (!more) break;
  }
  LogEvent(0, kLogGeneralDebug, "responder lines processed");

  if (!listServer && configured) {
    if (req.filesSent == 0 && !FileOf(config, kDefaultFile).empty()) {
      std::string ignored;
      if (SendFileReply(FileRequest(req, config, kDefaultFile), ignored)) {
        ++req.filesSent;
      } else {
        text += FormatText("Problems sending default response for '%s'.\r\n", in.account.c_str());
        req.replyNeeded = true;
      }
    }
    if (Switch(config, "CopyToUser", false)) {
      std::string target = LocalCopyTarget(req, config);
      if (!target.empty()) {
        out.reroute = true;
        out.rerouteAddress = target;
      }
    }
  }
  if (!configured && !listServer) {
    LogEvent(0, kLogAlways, "Local error processing for '%s'.", in.account.c_str());
    text += kBodyFailed;
  }
  if (!ServerSettings().dontSendPosArs || req.replyNeeded) {
    text += FormatText(kResponseEnd, req.filesSent, in.domainShown.c_str());
    std::string why;
    MessageWriter w;
    if (BeginMessage(w, from, req.requester, header, why)) {
      WriteMessageText(w, "\r\n" + text);
      if (FinishMessage(w, why)) LogEvent(0, kLogRouting, "Responder response file sent '%s'.", w.path.c_str());
      else LogEvent(0, kLogAlways, "Error sending response to user");
    } else {
      LogEvent(0, kLogAlways, "Error sending response to user");
    }
  }
  LogEvent(0, kLogRouting, "Processed for responder: '%s'.", in.account.c_str());
}
