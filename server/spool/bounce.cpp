#include "server/spool/bounce.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>

#include "server/core/config.h"
#include "server/core/server_state.h"
#include "server/spool/spool.h"

namespace {

constexpr size_t kMaxAppendError = 200;

bool HasLineBreakOrNul(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The full name of a local user, else the address itself; at most 100 characters.
std::string RecipientName(const std::string& recipient, const MessageContext& c) {
  std::string name = recipient;
  if (c.useAccounts) {
    NormalizeOptions options;
    options.mapDomains = true;
    NormalizedAddress n;
    LocalAccountInfo account;
    // Only a local address is looked up: the account database cuts at '@', and
    // a remote "alice@elsewhere" must not get our alice's name.
    if (NormalizeAddress(recipient, c.identity, options, n) && n.isLocal &&
        LookUpLocalAccount(n.address, c.domain, account) && account.isUser &&
        !account.userName.empty()) {
      name = account.userName;
    }
  }
  if (name.size() > kMaxRecipientName) name.resize(kMaxRecipientName);
  return name;
}

}  // namespace

bool IsMailerDaemon(const std::string& sender) {
  std::string local = sender.substr(0, sender.rfind('@'));
  local.erase(std::remove(local.begin(), local.end(), '<'), local.end());
  return local.empty() || local == ">" || strcasecmp(local.c_str(), "mailer-daemon") == 0;
}

MessageContext ServerMessageContext() {
  const Settings& s = ServerSettings();
  MessageContext c;
  c.identity = ServerHostIdentity();
  c.incomingDir = s.incomingDirectory;
  c.outgoingDir = s.outgoingDirectory;
  c.productText = s.softwareName;
  c.fourDigitYear = s.useFourDigitYear;
  return c;
}

bool RejectionHeader(int fd, const std::string& recipient, const std::string& reason,
                     const std::string& agent, const MessageContext& c) {
  const std::string& host = c.identity.host;
  std::string text, why;
  if (!FormatEnvelope("MAILER-DAEMON@" + host, {recipient}, text, why, true)) return false;
  text += BuildReceivedLine(host, "", "", agent, c.productText, c.fourDigitYear) + "\r\n";
  text += "From: Mailer-Daemon<MAILER-DAEMON@" + host + ">\r\nTo: " +
          RecipientName(recipient, c) + "<" + recipient + ">\r\n";
  text += "Date: " + FormatMailDate() + "\r\n";
  text += "Subject: Message rejected by system\r\n\r\n";
  text += "------------ Transcript of session follows ------------\r\n\r\n";
  std::string shortReason = reason.substr(0, kMaxReasonText);
  for (char& ch : shortReason) {
    if (ch == '\0') ch = ' ';
  }
  text += "Reason: " + shortReason + "\r\n";
  char dashes[80];
  std::snprintf(dashes, sizeof dashes,
                "\r\n-----------------First %04d bytes of-------------------", int(kEnclosureLimit));
  text += dashes;
  text += "\r\n------- Unsent message enclosed after this line -------\r\n";
  return SpoolWrite(fd, text);
}

bool AppendUndelivered(int fd, const std::string& messagePath, long long messageOffset,
                       bool skipEnvelope, int messageHandle, long byteLimit,
                       const std::string& agent, const MessageContext& c, std::string& why) {
  UniqueFd opened;
  int input = messageHandle;
  if (input < 0) {
    opened = OpenShared(messagePath, O_RDONLY);
    if (!opened.valid()) {
      why = "Error acquiring file handle for input file.";
      return false;
    }
    input = opened.get();
  }
  long long start = messageOffset;
  if (start == -1 && skipEnvelope && !FindMessageOffset(input, start, why)) return false;
  if (start != -1 && !SpoolSeek(input, start, SEEK_SET)) {
    why = "Error positioning input file.";
    return false;
  }
  CopyOptions options;
  options.identity = c.identity;
  options.agent = agent;
  options.productText = c.productText;
  options.fourDigitYear = c.fourDigitYear;
  options.byteLimit = byteLimit;
  std::string copyWhy;
  if (!CopyMessageWithHeaders(input, fd, -1, options, copyWhy)) {
    why = ("Error appending file: " + copyWhy).substr(0, kMaxAppendError);
    return false;
  }
  return true;
}

bool BounceMessage(const BounceRequest& r, const MessageContext& c, std::string& pathOut,
                   std::string& why) {
  if (r.recipient.empty() || HasLineBreakOrNul(r.recipient)) {
    why = "Error generating rejection notice.";
    return false;
  }
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, r.incoming, c.incomingDir, c.outgoingDir);
  if (!fd.valid()) {
    why = "Error getting outgoing file handle for bounce file.";
    return false;
  }
  bool ok = RejectionHeader(fd.get(), r.recipient, r.reason, r.agent, c);
  if (!ok) why = "Error generating rejection notice.";
  ok = ok && AppendUndelivered(fd.get(), r.messagePath, r.messageOffset, r.skipEnvelope,
                               r.messageHandle, kEnclosureLimit, r.agent, c, why);
  if (ok && !SpoolClose(fd)) {
    why = "Error renaming bounced file.";
    ok = false;
  }
  if (ok && !CommitSpoolFile(path, r.incoming, c.incomingDir, c.outgoingDir, nullptr, true)) {
    why = "Error renaming bounced file.";
    ok = false;
  }
  if (!ok) {
    fd.reset();
    SpoolDelete(path);
    return false;
  }
  pathOut = path;
  CountMessage(MessageCount::kBounced);
  return true;
}

bool BounceMessage(const BounceRequest& request, std::string& pathOut, std::string& why) {
  return BounceMessage(request, ServerMessageContext(), pathOut, why);
}

bool SendNotice(const std::string& recipient, const std::string& subject,
                const std::string& text, const MessageContext& c, std::string& pathOut,
                std::string& why) {
  NormalizeOptions options;
  options.qualify = true;
  options.strip = true;
  options.mapDomains = true;
  NormalizedAddress to;
  if (!NormalizeAddress(recipient, c.identity, options, to) || to.address.empty() ||
      HasLineBreakOrNul(to.address)) {
    why = "Unable to resolve notice recipient '" + recipient.substr(0, 200) + "'.";
    return false;
  }
  std::string cleanSubject = subject;
  for (char& ch : cleanSubject) {
    if (ch == '\r' || ch == '\n' || ch == '\0') ch = ' ';
  }
  const bool incoming = to.isLocal;
  const std::string& host = c.identity.host;
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, incoming, c.incomingDir, c.outgoingDir);
  if (!fd.valid()) {
    why = "Unable to create notice file.";
    return false;
  }
  std::string content;
  if (!FormatEnvelope("root@" + host, {to.address}, content, why, true)) {
    fd.reset();
    SpoolDelete(path);
    return false;
  }
  std::string header = "From: root@" + host + "\r\nTo: " + to.address +
                       "\r\nSubject: " + cleanSubject + "\r\nDate: ";
  std::string date = FormatMailDate();
  size_t room = header.size() < kNoticeHeaderLimit ? kNoticeHeaderLimit - header.size() : 0;
  if (date.size() > room) date.resize(room);
  content += header + date + "\r\n\r\n" + text + "\r\n";
  if (!SpoolWrite(fd.get(), content)) {
    why = "Unable to write notice file.";
    fd.reset();
    SpoolDelete(path);
    return false;
  }
  if (!CloseAndCommitSpoolFile(fd, path, incoming, c.incomingDir, c.outgoingDir, why)) return false;
  pathOut = path;
  return true;
}

bool SendNotice(const std::string& recipient, const std::string& subject,
                const std::string& text, std::string& pathOut, std::string& why) {
  return SendNotice(recipient, subject, text, ServerMessageContext(), pathOut, why);
}
