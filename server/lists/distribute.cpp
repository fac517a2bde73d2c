// List distribution: the checks, the envelope, the header rewrite, held and bulk
// posts, digest items, statistics, the list log and acknowledgements.
#include "server/lists/distribute.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/lists/digest.h"
#include "server/lists/list_commands.h"
#include "server/lists/list_files.h"
#include "server/lists/membership.h"
#include "server/responder/message_builders.h"
#include "server/responder/responder.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"

namespace {

constexpr const char* kListAgent = "listserver";
constexpr const char* kFailureTail = "Error occured handling mailing list account.  ";
constexpr const char* kGeneralStats = "--GeneralStats--";
constexpr const char* kNextPos = "NextPos";
constexpr long kMessageIdSlots = 20;
constexpr size_t kMaxMessageIdChars = 250;
constexpr size_t kReplyToChars = 199;
constexpr size_t kTitleChars = 99;
constexpr size_t kChangeHeadersChars = 16383;
constexpr const char* kRuleBreak = "$t";

// The fields a distributed post never keeps.
constexpr const char* kDroppedFields[] = {"Received:", "To:", "Sender:", "CC:", "BCC:", "Reply-To:"};

std::unique_ptr<std::mutex> g_statsLock;

bool IsWordBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The first word of `text` (blanks, tabs and line ends separate words).
std::string_view FirstWord(std::string_view text) {
  size_t b = 0;
  while (b < text.size() && IsWordBreak(text[b])) ++b;
  size_t e = b;
  while (e < text.size() && !IsWordBreak(text[e])) ++e;
  return text.substr(b, e - b);
}

std::string_view SkipBlanks(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  return v;
}

bool StartsWithNoCase(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && strncasecmp(s.data(), p.data(), p.size()) == 0;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (strncasecmp(hay.data() + i, needle.data(), needle.size()) == 0) return true;
  return false;
}

// The header rules of ChangeListHeaders, one per "$t"-separated line; a rule
// without a header name would match every field and is left out.
std::vector<std::string> HeaderRules(const std::string& text) {
  std::vector<std::string> rules;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(kRuleBreak, pos);
    std::string rule = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    for (char& c : rule)
      if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    if (rule.size() > 1 && !FirstWord(std::string_view(rule).substr(1)).empty() &&
        !IsWordBreak(rule[1]))
      rules.push_back(rule);
    if (end == std::string::npos) break;
    pos = end + 2;
  }
  return rules;
}

bool RuleNames(const std::string& rule, std::string_view field) {
  std::string_view word = std::string_view(rule).substr(1);
  word = word.substr(0, word.find(' '));
  return StartsWithNoCase(field, word);
}

// ---- One post ------------------------------------------------------------------------

struct Post {
  const SpecialDelivery* in = nullptr;
  ListRef list;
  ListConfig config;
  uint32_t flags = 0;
  unsigned listId = 0;
  std::string block;  // the start of the message (one copy block)
  bool atEnd = false;
  std::string headerFrom, messageId, subject;
  std::string sender, owner;
  bool isOwner = false;
  MemberTable members;
  int senderSlot = -1;
  uint32_t senderFlags = 0;
  bool needsApproval = false;
  long long size = 0;
};

// Step 3: From:, Message-id:, Subject:; then the command-word and empty-body
// refusals.
std::string PreScan(Post& p) {
  size_t pos = 0;
  HeaderField f;
  bool haveFrom = false, haveId = false, haveSubject = false;
  HeaderStep step;
  while ((step = NextHeaderField(p.block, p.atEnd, pos, f)) == HeaderStep::kField) {
    if (!haveFrom && strcasecmp(std::string(f.name).c_str(), "From:") == 0) {
      haveFrom = true;
      if (!CanonicalizeAddress(UnfoldHeaderValue(f.value), p.list.domain, p.headerFrom))
        p.headerFrom.clear();
    } else if (!haveId && strcasecmp(std::string(f.name).c_str(), "Message-id:") == 0) {
      haveId = true;
      p.messageId = UnfoldHeaderValue(f.value);
    } else if (!haveSubject && strcasecmp(std::string(f.name).c_str(), "Subject:") == 0) {
      haveSubject = true;
      p.subject = UnfoldHeaderValue(f.value);
    }
  }
  LogEvent(0, kLogGeneralDebug, "in list=%d, MsgId: %s", 1, VisibleText(p.messageId).c_str());
  const char* domain = p.list.domainShown.c_str();
  std::string word(FirstWord(p.subject));
  if (FindListCommand(word))
    return FormatText("Subject line started with the word '%s',\r\nprobably destined for "
                      "'listserver@%s'.\r\n",
                      VisibleText(word).c_str(), domain);
  std::string_view body = step == HeaderStep::kIncomplete
                              ? std::string_view()
                              : std::string_view(p.block).substr(pos);
  word = std::string(FirstWord(body));
  if (word.empty() && p.atEnd && step != HeaderStep::kIncomplete)
    return "Message to list does not contain any text in the body. Ignoring message.\r\n";
  if (FindListCommand(word))
    return FormatText("Body of message started with the word '%s',\r\nprobably destined for "
                      "'listserver@%s'.\r\n",
                      VisibleText(word).c_str(), domain);
  return "";
}

// The receiving members' addresses (step 15) and the log's count; false for a
// record without ';'. An address no envelope could hold is left out.
bool Recipients(const Post& p, const std::string& sender, std::vector<std::string>& out,
                int& counted) {
  counted = 0;
  if (GetListSwitch(p.config, "SendCopyToOwner") && !p.owner.empty()) out.push_back(p.owner);
  for (const MemberRecord& r : p.members.records) {
    if (!r.wellFormed) {
      LogEvent(0, kLogRouting, "Error building list header.");
      return false;
    }
    if (r.flags & kMemberNoMail) continue;
    ++counted;
    if ((r.flags & kMemberDigest) && (p.flags & kListDigested)) continue;
    if (r.slot == p.senderSlot && !(r.flags & kMemberRepro)) continue;
    std::string address = r.address;
    for (char& c : address) c = char(tolower(static_cast<unsigned char>(c)));
    if (address.empty() || address.find_first_of(std::string("\r\n\0", 3)) != std::string::npos ||
        !EnvelopeFits(EnvelopeBaseBytes(sender, true) + EnvelopeRecipientBytes(address))) {
      LogEvent(0, kLogAlways, "List %s: member record %d has no usable address; left out.",
               p.list.name.c_str(), r.slot);
      continue;
    }
    out.push_back(address);
  }
  return true;
}

// Steps 17 and 19: the rewritten header, the body, the footer.
bool WritePostContent(int out, const Post& p, std::string& failLog, std::string& failReply) {
  ListHeaderRules rules;
  rules.list = p.list.name;
  rules.domain = p.list.domainShown;
  rules.replyToList = GetListSwitch(p.config, "SetReplyToList");
  rules.replyTo = GetListText(p.config, "ListReplyToAddress", kReplyToChars);
  rules.sender = p.sender;
  rules.includeSubject = GetListSwitch(p.config, "IncludeSubject");
  rules.subjectTitle = GetListText(p.config, "IncludeSubjectTitle", kTitleChars);
  rules.changeHeaders = GetListText(p.config, "ChangeListHeaders", kChangeHeadersChars);
  std::string header;
  size_t consumed = RewriteListHeader(p.block, p.atEnd, rules, header);
  bool ok = SpoolWrite(out, header) &&
            SpoolWrite(out, std::string_view(p.block).substr(consumed));
  std::string piece(kCopyBlockSize, '\0');
  for (off_t at = off_t(p.in->messageOffset + static_cast<long long>(p.block.size())); ok && !p.atEnd;) {
    ssize_t n = ::pread(p.in->spoolFd, piece.data(), piece.size(), at);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = SpoolWrite(out, piece.data(), size_t(n), false);
    at += n;
  }
  if (!ok) {
    failLog = "Error processing input file, no approval.";
    failReply = "Error processing input file.\r\n";
    return false;
  }
  if (!(p.flags & kListSendFooter)) return true;
  UniqueFd footer = OpenShared(InUserDirectory(GetListText(p.config, "FooterFile")), O_RDONLY);
  if (!footer.valid()) {
    failLog = "Error opening footer file.";
    failReply = "Error opening footer file.\r\n";
    return false;
  }
  // Plain text: bare LF line ends become CR LF.
  ok = EncodeOpenFile(footer.get(), FileMode::kPlain,
                      [&](std::string_view text) { return SpoolWrite(out, text); });
  if (!ok) {
    failLog = "Error sending list footer.";
    failReply = "Error sending list footer file.\r\n";
  }
  return ok;
}

void AddStatistics(const ListRef& list, const std::string& sender, long long size) {
  std::unique_lock<std::mutex> lock;
  if (g_statsLock) lock = std::unique_lock<std::mutex>(*g_statsLock);
  for (const std::string& name : {sender, std::string(kGeneralStats)}) {
    std::string text = ConfigGetText(kListStatisticsSection, name.c_str(), "",
                                     ListDomainArg(list), list.config.c_str());
    long posts = 0, bytes = 0, third = 0;
    sscanf(text.c_str(), "%ld;%ld;%ld", &posts, &bytes, &third);
    ConfigSetString(kListStatisticsSection, name.c_str(),
                    FormatText("%ld;%ld;%ld", posts + 1, bytes + long(size), third).c_str(),
                    ListDomainArg(list), list.config.c_str());
  }
}

// Step 16.
bool WriteListLog(const Post& p, int recipients) {
  std::string file = GetListText(p.config, "ListStatsFile");
  if (file.empty()) {
    LogEvent(0, kLogRouting, "MList logging error: No log file for list has been specified, using default.");
    file = p.list.name + ".log";
  }
  std::string line = p.list.name + "," + VisibleText(p.in->sender) + "," + AccountLogTimes() + "," +
                     (p.needsApproval ? "Needs approval" : "Approved") + "," +
                     std::to_string(p.needsApproval ? -1 : recipients);
  if (AppendAccountLogLine(InUserDirectory(file), line)) return true;
  LogEvent(0, kLogRouting, "MList logging error: Unable to write to log file.");
  return false;
}

// The history's own value names cannot be ids.
bool UsableMessageId(const std::string& id) {
  if (id.empty() || id.size() > kMaxMessageIdChars || strcasecmp(id.c_str(), kNextPos) == 0)
    return false;
  if (id.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  bool digits = id.size() <= 2 && id.find_first_not_of("0123456789") == std::string::npos;
  return !(digits && std::stol(id) < kMessageIdSlots && (id.size() == 1 || id[0] != '0'));
}

// The held post (step 18): the envelope, the message with a stamp of ours.
bool WriteHeld(int out, const Post& p, std::string& failLog, std::string& failReply) {
  std::string to = p.list.name;
  if (!p.list.domain.empty()) to += "@" + p.list.domain;
  std::string envelope, why;
  if (!FormatEnvelope(p.sender, {to}, envelope, why) || !SpoolWrite(out, envelope)) {
    failLog = "Error writing approval notification header";
    failReply = "Error writing approval message.\r\n";
    return false;
  }
  const Settings& s = ServerSettings();
  CopyOptions o;
  o.identity = ServerHostIdentity();
  o.agent = kListAgent;
  o.productText = s.softwareName;
  o.fourDigitYear = s.useFourDigitYear;
  if (!CopyMessageWithHeaders(p.in->spoolFd, out, p.in->messageOffset, o, why)) {
    failLog = "Error copy input file for list: " + why;
    failReply = "Error copying file to output file.\r\n";
    return false;
  }
  return true;
}

struct WorkFile {
  std::string path;
  UniqueFd fd;
};

void DeleteWorkFiles(std::vector<WorkFile>& files) {
  for (WorkFile& f : files) {
    f.fd.reset();
    if (!f.path.empty()) SpoolDelete(f.path);
  }
  files.clear();
}

}  // namespace

// ---- Header rewrite --------------------------------------------------------------------

size_t RewriteListHeader(std::string_view block, bool atEnd, const ListHeaderRules& r,
                         std::string& out) {
  const char* list = r.list.c_str();
  const char* domain = r.domain.c_str();
  std::vector<std::string> rules = HeaderRules(r.changeHeaders);
  out += FormatText("To: Multiple recipients of list %s <%s@%s>\r\nSender: owner-%s@%s\r\n", list,
                    list, domain, list, domain);
  if (r.replyToList) out += FormatText("Reply-To: %s@%s\r\n", list, domain);
  else out += "Reply-To: " + (r.replyTo.empty() ? r.sender : r.replyTo) + "\r\n";
  size_t pos = 0;
  HeaderField f;
  while (NextHeaderField(block, atEnd, pos, f) == HeaderStep::kField) {
    bool drop = false;
    for (const char* name : kDroppedFields)
      drop = drop || strcasecmp(std::string(f.name).c_str(), name) == 0;
    if (drop) {
      LogEvent(0, kLogGeneralDebug, "Removing header '%s' from list message: %s",
               std::string(f.name).c_str(), list);
      continue;
    }
    for (const std::string& rule : rules) drop = drop || RuleNames(rule, f.name);
    if (drop) continue;
    std::string_view value = SkipBlanks(f.value);
    out.append(f.name);
    out += ' ';
    if (r.includeSubject && strcasecmp(std::string(f.name).c_str(), "Subject:") == 0 &&
        !ContainsNoCase(value, r.subjectTitle))
      out += r.subjectTitle + ": ";
    out.append(value);
    out += "\r\n";
  }
  for (const std::string& rule : rules)
    if (rule[0] == '+') out += rule.substr(1) + "\r\n";
  out += "\r\n";
  return pos;
}

// ---- Message-id history -----------------------------------------------------------------

bool IsKnownMessageId(const ListRef& list, const std::string& id) {
  if (!UsableMessageId(id)) return false;
  RegValue v;
  return RegQueryValue(ConfigKeyPath(kListMsgIdsSection, ListDomainArg(list), list.config.c_str()),
                       id, v);
}

void RememberMessageId(const ListRef& list, const std::string& id) {
  if (!UsableMessageId(id)) return;
  const char* dom = ListDomainArg(list);
  const char* cfg = list.config.c_str();
  RegTransaction tx;
  long next = ConfigGetNumber(kListMsgIdsSection, kNextPos, -1, dom, cfg);
  long slot = ((next + 1) % kMessageIdSlots + kMessageIdSlots) % kMessageIdSlots;
  std::string slotName = std::to_string(slot);
  std::string old = ConfigGetText(kListMsgIdsSection, slotName.c_str(), "", dom, cfg);
  ConfigSetNumber(kListMsgIdsSection, kNextPos, slot, dom, cfg);
  // The id this slot held is forgotten, unless it has moved to another slot since.
  if (UsableMessageId(old) && ConfigGetNumber(kListMsgIdsSection, old.c_str(), -1, dom, cfg) == slot)
    ConfigSetString(kListMsgIdsSection, old.c_str(), nullptr, dom, cfg);
  ConfigSetString(kListMsgIdsSection, slotName.c_str(), id.c_str(), dom, cfg);
  ConfigSetNumber(kListMsgIdsSection, id.c_str(), slot, dom, cfg);
  tx.Commit();
}

// ---- Start and stop -------------------------------------------------------------------------

bool InitializeListHandling(std::string& why) {
  g_statsLock = std::make_unique<std::mutex>();
  if (!g_statsLock) {
    why = "Unable to create the list statistics lock.";
    return false;
  }
  return true;
}

void ShutdownListHandling() { g_statsLock.reset(); }

// ---- The distributor -----------------------------------------------------------------------

void DistributeListMessage(const SpecialDelivery& in, SpecialResult& out) {
  out = SpecialResult();
  Post p;
  p.in = &in;
  auto fail = [&](const std::string& logText, const std::string& reply) {
    if (!logText.empty()) LogEvent(0, kLogRouting, "%s", logText.c_str());
    LogEvent(0, kLogRouting, "Error handling mailing list account");
    LogEvent(0, kLogGeneralDebug, "Mailing list processing: %d", 0);
    out.ok = false;
    out.reason = "\r\n" + reply + kFailureTail;
  };
  auto refuse = [&](const char* logFormat, const std::string& reply) {
    if (logFormat)
      LogEvent(0, kLogAlways, logFormat, p.list.name.c_str(), VisibleText(p.sender).c_str());
    fail("", reply);
  };

  // 2. The list.
  if (!ResolveList(in.account, in.domain, p.list) || !ReadListConfig(p.list, p.config) ||
      (p.listId = ReadListId(p.config)) == 0)
    return fail("Unable to get list characterisitcs.", "Unable to determine list characteristics.\r\n");
  p.flags = ListConfigFlags(p.config);
  LogEvent(0, kLogGeneralDebug, "Have resolved initial information for list: %d", int(p.listId));

  // 3. What the message says.
  p.block.resize(kCopyBlockSize);
  ssize_t n = ::pread(in.spoolFd, p.block.data(), p.block.size(), off_t(in.messageOffset));
  if (n < 0) return fail("Error processing input file, no approval.", "Error processing input file.\r\n");
  p.block.resize(size_t(n));
  p.atEnd = p.block.size() < kCopyBlockSize;
  std::string refusal = PreScan(p);
  if (!refusal.empty()) return fail("", refusal);

  // 4. The sender; 5. the owner.
  const Settings& s = ServerSettings();
  if (s.useFromField && !p.headerFrom.empty()) p.sender = p.headerFrom;
  else if (!CanonicalizeAddress(in.sender, in.domain, p.sender))
    return fail("Error computing source name for message.", "Error determining source name.\r\n");
  std::string owner;
  if (!GetListOwner(p.list.name, owner, p.list.domain) || owner.empty() ||
      !CanonicalizeAddress(owner, p.list.domain, p.owner))
    return fail("Error resolving list owner.", "Error resolving list owner.\r\n");
  p.isOwner = strcasecmp(p.sender.c_str(), p.owner.c_str()) == 0;
  if (p.isOwner)
    LogEvent(0, kLogAlways, "Access to list '%s' by listowner %s.", p.list.name.c_str(),
             VisibleText(p.sender).c_str());

  // 6.-8. Owner-only lists and readdressing.
  const char* listName = p.list.name.c_str();
  const char* domain = p.list.domainShown.c_str();
  if (GetListSwitch(p.config, "RouteToOwner") && !p.isOwner) {
    LogEvent(0, kLogRouting, "List %s: post from '%s' readdressed to the owner %s.", listName,
             VisibleText(p.sender).c_str(), VisibleText(p.owner).c_str());
    out.ok = true;
    out.reroute = true;
    out.rerouteAddress = p.owner;
    return;
  }
  if (GetListSwitch(p.config, "ListOnlyOwner") && !p.isOwner)
    return refuse("Restricted access to list '%s' from '%s' stopped.",
                  FormatText("Sending access to list '%s' is restricted.  For more information,\r\n"
                             "please send mail to 'owner-%s@%s'.\r\n",
                             listName, listName, domain) +
                      "Restricted access to list.\r\n");

  // 9. The sender's membership; 10. closed lists; 11. moderation.
  if (!ReadListMembers(p.list, false, p.members))
    return fail("Error getting user configuration.", "Error determining user privleges.\r\n");
  if (!p.isOwner) {
    p.senderSlot = FindMemberInTable(p.members, p.sender, p.list.domain);
    for (const MemberRecord& r : p.members.records)
      if (r.slot == p.senderSlot) p.senderFlags = r.flags;
  }
  LogEvent(0, kLogGeneralDebug, "Check for closed list.");
  if ((p.flags & kListClosed) && p.senderSlot < 0 && !p.isOwner)
    return refuse("List %s, '%s' not on list.",
                  FormatText("Cannot post to list %s as you are not a member of that list.\r\n"
                             "Please contact the administrator if you are having problems.\r\n",
                             listName));
  p.needsApproval = in.isInFile && (p.flags & kListModerated) && !p.isOwner;

  // 12. A post already distributed.
  bool rememberId = !p.needsApproval && UsableMessageId(p.messageId);
  if (rememberId && IsKnownMessageId(p.list, p.messageId)) {
    LogEvent(0, kLogRouting, "Message has already been sent, discarding.");
    out.ok = true;
    return;
  }

  // 13. Digest item and statistics.
  struct stat st {};
  p.size = ::fstat(in.spoolFd, &st) == 0 ? st.st_size - in.messageOffset : 0;
  LogEvent(0, kLogGeneralDebug, "Will log = %d, Digests = %d", (p.flags & kListStats) ? 1 : 0,
           (p.flags & kListDigested) ? 1 : 0);
  if (!p.needsApproval) {
    if (p.flags & kListDigested) {
      long long size = AddDigestItem(DomainNumber(in.domain), p.listId, s.incomingDirectory,
                                     in.spoolFd, in.messageOffset);
      if (size < 0) return fail("Error creating digest version.", "Error creating digest message.\r\n");
      p.size = size;
    }
    AddStatistics(p.list, p.sender, p.size);
  }

  // 14.-19. The files.
  LogEvent(0, kLogAlways, p.needsApproval ? "List %s, '%s', needs approval." : "List %s, '%s' expanding.",
           listName, VisibleText(p.sender).c_str());
  std::vector<WorkFile> files;
  std::string failLog, failReply;
  int counted = 0;
  if (p.needsApproval) {
    files.emplace_back();
    files[0].fd = CreateSpoolTemp(files[0].path, true);
    if (!files[0].fd.valid()) {
      files.clear();
      return fail("Unable to create output file for list.", "Unable to open output file.\r\n");
    }
    if (!WriteHeld(files[0].fd.get(), p, failLog, failReply)) {
      DeleteWorkFiles(files);
      return fail(failLog, failReply);
    }
  } else {
    std::string envelopeSender = FormatText("owner-%s@%s", listName, domain);
    std::vector<std::string> recipients;
    std::vector<size_t> runs;
    std::string why;
    if (!Recipients(p, envelopeSender, recipients, counted) ||
        !SplitEnvelope(envelopeSender, recipients, runs, why, true))
      return fail("", "Error building list header.\r\n");
    // One file per run of members whose envelope the router reads whole.
    auto next = recipients.begin();
    for (size_t run : runs) {
      std::vector<std::string> group(next, next + long(run));
      next += long(run);
      WorkFile& f = files.emplace_back();
      f.fd = CreateSpoolTemp(f.path, true);
      std::string envelope;
      if (!f.fd.valid()) {
        f.path.clear();
        DeleteWorkFiles(files);
        return fail("Unable to create output file for list.", "Unable to open output file.\r\n");
      }
      if (!FormatEnvelope(envelopeSender, group, envelope, why, true) ||
          !SpoolWrite(f.fd.get(), envelope)) {
        DeleteWorkFiles(files);
        return fail("Error building list header.", "Error building list header.\r\n");
      }
      if (!WritePostContent(f.fd.get(), p, failLog, failReply)) {
        DeleteWorkFiles(files);
        return fail(failLog, failReply);
      }
    }
  }
  if ((p.flags & kListStats) && !WriteListLog(p, counted)) {
    DeleteWorkFiles(files);
    return fail("Error logging information to file.", "Error logging to file.\r\n");
  }
  for (WorkFile& f : files) {
    if (!f.fd.close_checked()) {
      DeleteWorkFiles(files);
      return fail("Unable to create output file for list.", "Unable to open output file.\r\n");
    }
  }

  // 21. Every file is whole: commit them, then remember the id.
  std::string committed;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string temp = files[i].path;
    committed = temp;
    bool ok;
    if (p.needsApproval) ok = CommitListFile(temp, p.listId, kHeldExtension, committed);
    else if (p.flags & kListBulked) ok = CommitListFile(temp, p.listId, kBulkExtension, committed);
    else ok = CommitSpoolFile(committed, true);
    if (!ok) {
      // Those committed before stay; the id is not remembered, so a retry sends
      // the whole post again.
      std::vector<WorkFile> rest(std::make_move_iterator(files.begin() + long(i)),
                                 std::make_move_iterator(files.end()));
      DeleteWorkFiles(rest);
      return fail(FormatText("Unable to commit list file '%s'.", temp.c_str()),
                  "Unable to open output file.\r\n");
    }
    files[i].path.clear();
    if (p.needsApproval) {
      LogEvent(0, kLogRouting, "Held message for list %s saved as '%s'.", listName,
               PathFileName(committed).c_str());
    } else if (p.flags & kListBulked) {
      LogEvent(0, kLogAlways, "Bulk message saved for later.");
    } else {
      LogEvent(0, kLogRouting, "Mailing list file renamed to '%s' from '%s'.",
               PathFileName(committed).c_str(), PathFileName(temp).c_str());
    }
  }
  if (rememberId) RememberMessageId(p.list, p.messageId);
  if (!files.empty()) RequestRouting();
  out.ok = true;

  if (p.needsApproval) {
    if (GetListSwitch(p.config, "ListSendMods")) {
      std::string ownerAlias = "owner-" + p.list.name;
      if (!p.list.domain.empty()) ownerAlias += "@" + p.list.domain;
      bool told = SendTextMessage(FormatText("Message submitted by '%s'.\r\n", p.sender.c_str()),
                                  kListAgent, p.list.domainShown, ownerAlias,
                                  FormatText("Message submitted to list %s", listName), nullptr,
                                  kAutoGenerated);
      LogEvent(0, kLogRouting,
               told ? "Notification of pending message to list %s sent."
                    : "Notification of pending message to list %s failed.",
               listName);
      if (!told) {
        // As if never held: the sender hears of the failure and may send again.
        DeleteFileWin(committed);
        return fail("", "Error sending moderation response.\r\n");
      }
    }
    AdjustHeldCount(p.list, 1);
  } else if ((p.senderFlags & kMemberAck) &&
             (!(p.flags & kListModerated) || !in.isInFile)) {
    // 20. The acknowledgement, once the post is queued.
    bool told = SendTextMessage(FormatText("Your submission to the list %s@%s\r\nhas been posted.\r\n",
                                           listName, domain),
                                kListAgent, p.list.domainShown, p.sender,
                                FormatText("Submission to list %s", listName));
    LogEvent(0, kLogRouting,
             told ? "Notification of request to join list %s of user '%s' sent."
                  : "Notification of request to join list %s of user '%s' failed.",
             listName, VisibleText(p.sender).c_str());
    if (!told) return fail("", "Error sending submission request.\r\n");
  }
  LogEvent(0, kLogGeneralDebug, "Mailing list processing: %d", 1);
}
