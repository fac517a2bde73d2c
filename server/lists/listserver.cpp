// The list server's commands.
#include "server/lists/listserver.h"

#include <strings.h>

#include <cstring>

#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/lists/list_commands.h"
#include "server/lists/membership.h"
#include "server/responder/message_builders.h"

namespace {

constexpr const char* kListServerUser = "listserver";
constexpr const char* kGeneralStats = "--GeneralStats--";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string NextWord(const std::string& s, size_t& pos) { return NextCommandWord(s, pos); }

// The rest of the line from `pos`, blanks at both ends removed.
std::string RestOfLine(const std::string& s, size_t pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  size_t end = s.size();
  while (end > pos && IsBlank(s[end - 1])) --end;
  return s.substr(pos, end - pos);
}

bool Is(const std::string& word, const char* name) { return IsCommandWord(word, name); }

// Text taken from the request, as it may be quoted in an answer.
std::string Shown(const std::string& s) { return VisibleText(s); }

// One command line being answered.
struct Command {
  ResponderRequest& req;
  const ListCommandWord& row;
  std::string word;   // the command word as written
  const std::string& line;
  size_t pos;         // after the words taken so far
  std::string& answer;
  ListRef list;
  ListConfig config;
};

// The list of a command (see the table); false with the answer written.
bool ChooseList(Command& c) {
  std::string name;
  if (c.row.list == ListArgument::kDefaultList) {
    name = c.req.defaultList;
  } else {
    name = NextWord(c.line, c.pos);
    if (name.empty() && c.row.list == ListArgument::kGiven) name = c.req.defaultList;
    if (name.empty()) {
      c.answer += FormatText("Error obtaining list name for command '%s'.\r\n", Shown(c.word).c_str());
      return false;
    }
  }
  // A name no registry name can be (over-long, or holding control bytes) is no
  // list; it is never cut to fit.
  bool usable = name.size() <= kListServerNameChars &&
                name.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
  if (c.row.list == ListArgument::kDefaultList) {
    if (!usable || !ResolveList(name, c.req.domain, c.list) || !ReadListConfig(c.list, c.config)) {
      c.answer += FormatText("Unable to access mailing list: %s\r\n", Shown(name).c_str());
      return false;
    }
    return true;
  }
  if (!usable || !ResolveList(name, c.req.domain, c.list)) {
    c.answer += FormatText("List '%s' does not exist.\r\n", Shown(name).c_str());
    return false;
  }
  if (!ReadListConfig(c.list, c.config)) {
    c.answer += FormatText("Unable to access mailing list: %s\r\n", Shown(name).c_str());
    return false;
  }
  return true;
}

bool IsAdministrator(const Command& c) {
  return !c.req.adminList.empty() && strcasecmp(c.req.adminList.c_str(), c.list.name.c_str()) == 0;
}

// The member record of `address` on the list, or false with the design's answer.
bool FindMember(Command& c, const std::string& address, MemberRecord& out) {
  MemberTable t;
  std::string canonical;
  if (!CanonicalizeAddress(address, c.list.domain, canonical)) canonical = address;
  int slot = ReadListMembers(c.list, false, t) ? FindMemberInTable(t, canonical, c.list.domain) : -1;
  for (const MemberRecord& r : t.records)
    if (r.slot == slot) out = r;
  if (slot > 0) return true;
  c.answer += FormatText("No user '%s' on list '%s'.\r\n", Shown(address).c_str(), c.list.name.c_str());
  return false;
}

// A file from listserver to the requester (welcome, rejection, command listing).
bool SendListServerFile(Command& c, const std::string& path, const std::string& description) {
  if (!MayAddFile(c.req)) {
    c.answer += FormatText(kFileLimitText, Shown(description).c_str());
    return false;
  }
  FileReplyRequest r;
  r.recipient = c.req.requester;
  r.senderUser = kListServerUser;
  r.senderDomain = c.req.domainShown;
  r.domain = c.req.domain;
  r.path = path;
  r.mode = FileMode::kPlain;
  r.description = description;
  if (!SendFileReply(r, c.answer)) return false;
  ++c.req.filesSent;
  return true;
}

// ---- Membership ---------------------------------------------------------------------

bool Subscribe(Command& c) {
  const char* listName = c.list.name.c_str();
  if (GetListSwitch(c.config, "ListAutoReject")) {
    c.answer += FormatText("Membership to list %s automatically rejected by owner.\r\n", listName);
    std::string file = GetListText(c.config, "ListAutoRejectFile");
    if (!file.empty())
      SendListServerFile(c, file, FormatText("Automatic rejection for list %s.", listName));
    return true;
  }
  AddMemberRequest req;
  req.address = c.req.requester;
  req.fullName = RestOfLine(c.line, c.pos);
  req.force = false;
  req.viaListServer = true;
  AddMemberResult result;
  bool ok = AddListMember(c.list, req, result);
  c.answer += result.reply;
  if (!result.welcomeFile.empty()) {
    if (MayAddFile(c.req) &&
        SendWelcomeFile(c.list, c.req.requester, result.welcomeFile, WelcomeBy::kListServer, c.answer)) {
      ++c.req.filesSent;
      c.answer += FormatText("Welcome file for '%s' has been sent.\r\n", listName);
    }
  }
  return ok;
}

bool Unsubscribe(Command& c) {
  std::string reply;
  bool ok = RemoveListMember(c.list, c.req.requester, 0, false, reply);
  c.answer += FormatText(ok ? "User %s removed from list %s\r\n"
                            : "User %s was not able to be removed from list %s\r\n",
                         Shown(c.req.requester).c_str(), c.list.name.c_str());
  return ok;
}

// set/lset/mset/lmset and "default <option>": the option for `user`.
bool SetOption(Command& c, const std::string& user, const std::string& option, bool asDefault) {
  MemberRecord member;
  if (!FindMember(c, user, member)) return false;
  uint32_t flag = 0;
  bool on = false;
  if (!ParseMemberOption(option, flag, on)) {
    c.answer += FormatText("Command '%s' not recognized by listserver.\r\n", Shown(option).c_str());
    return false;
  }
  if (flag == kMemberDigest && !(ListConfigFlags(c.config) & kListDigested)) {
    c.answer += "Digests not activated for this list.\r\n";
    return true;
  }
  uint32_t flags = on ? (member.flags | flag) : (member.flags & ~flag);
  std::string why;
  if (!SetMemberFlags(c.list, member.slot, flags, false, false, why)) {
    c.answer += FormatText("Unable to set user flags for '%s'.\r\n", Shown(user).c_str());
    c.answer += FormatText("No %s subcommand '%s' found.\r\n", Shown(c.word).c_str(),
                           Shown(option).c_str());
    return false;
  }
  if (asDefault)
    c.answer += FormatText("Default '%s' set for user '%s'.\r\n", Shown(option).c_str(),
                           Shown(user).c_str());
  else
    c.answer += FormatText("Option '%s' set for user '%s' on list '%s'.\r\n", Shown(option).c_str(),
                           Shown(user).c_str(), c.list.name.c_str());
  return true;
}

bool Set(Command& c) {
  std::string user = c.req.requester;
  if (c.row.who == ListAccess::kAdministrator) {
    user = NextWord(c.line, c.pos);
    if (user.empty()) {
      c.answer += FormatText("Unable to determine user to modify for %s command.\r\n",
                             Shown(c.word).c_str());
      return false;
    }
  }
  std::string option = NextWord(c.line, c.pos);
  if (option.empty()) {
    c.answer += FormatText("Unable to find subcommand for '%s' command.\r\n", Shown(c.word).c_str());
    return false;
  }
  return SetOption(c, user, option, false);
}

bool Query(Command& c) {
  std::string user = c.req.requester;
  if (c.row.who == ListAccess::kAdministrator) {
    user = NextWord(c.line, c.pos);
    if (user.empty()) {
      c.answer += FormatText("Unable to determine user to query for %s command.\r\n",
                             Shown(c.word).c_str());
      return false;
    }
  }
  MemberRecord member;
  if (!FindMember(c, user, member)) return false;
  c.answer += FormatText("Options enabled for user %s:\r\n    ", Shown(user).c_str()) +
              MemberFlagNames(member.flags) + "\r\n";
  return true;
}

// ---- Listings -------------------------------------------------------------------------

bool Review(Command& c) {
  const bool all = c.row.number == kCmdMreview;
  const char* listName = c.list.name.c_str();
  MessageWriter w;
  std::string subject = FormatText("Membership list for %s@%s", listName, c.list.domainShown.c_str());
  MemberTable t;
  if (!ReadListMembers(c.list, false, t) ||
      !BeginListingMessage(w, c.req.requester, kListServerUser, c.req.domainShown, subject, c.answer)) {
    c.answer += "Problem creating membership listing.\r\n";
    return false;
  }
  if (!GetListSwitch(c.config, "VisibleToListServ")) {
    WriteMessageText(w, "List concealed by listowner's request.\r\n\r\n");
  } else {
    int shown = 0, concealed = 0;
    std::string text;
    for (const MemberRecord& r : t.records) {
      if (!r.wellFormed) {
        c.answer += FormatText("Problem with member data = '%s'.\r\n", Shown(r.text).c_str());
        continue;
      }
      if (r.flags & kMemberConceal) {
        ++concealed;
        if (!all) continue;
      }
      text = FormatText("User %04d: %s", shown++, r.address.c_str());
      if (all) text += "\tOptions enabled: " + MemberFlagNames(r.flags);
      WriteMessageText(w, text + "\r\n");
    }
    WriteMessageText(w, FormatText("\r\nNumber of members in list: %ld\r\nNumber of concealed members: %d\r\n",
                                   t.actualUsers, concealed));
  }
  if (!FinishListingMessage(w, c.answer)) {
    c.answer += "Problem creating membership listing.\r\n";
    return false;
  }
  c.answer += FormatText("Membership listing for %s created.\r\n", listName);
  return true;
}

bool Statistics(Command& c) {
  const char* listName = c.list.name.c_str();
  MemberRecord self;
  if (!FindMember(c, c.req.requester, self)) return false;
  MemberTable t;
  std::vector<RegValue> stats;
  MessageWriter w;
  auto failed = [&]() {
    c.answer += FormatText("Unable to generate stats file for list %s.\r\n", listName);
    c.answer += FormatText("Unable to generate status report for list '%s'.\r\n", listName);
    return false;
  };
  if (!ReadListMembers(c.list, false, t) ||
      !ConfigReadValues(kListStatisticsSection, stats, ListDomainArg(c.list), c.list.config.c_str()) ||
      !BeginListingMessage(w, c.req.requester, kListServerUser, c.req.domainShown,
                           FormatText("Statistics list for %s@%s", listName, c.list.domainShown.c_str()),
                           c.answer))
    return failed();
  auto counters = [&](const std::string& name, long& posts, long& bytes, long& third) {
    posts = bytes = third = 0;
    std::string text = ConfigValueText(FindConfigValue(stats, name.c_str()), "");
    sscanf(text.c_str(), "%ld;%ld;%ld", &posts, &bytes, &third);
  };
  WriteMessageText(w, "#Msgs  Byte Count  Total Count  Member Name\r\n"
                      "-----  ----------  -----------  ---------\r\n");
  int concealed = 0, digested = 0, normal = 0, total = 0;
  long posts, bytes, third;
  for (const MemberRecord& r : t.records) {
    if (!r.wellFormed) continue;
    ++total;
    if (r.flags & kMemberConceal) ++concealed;
    if (r.flags & kMemberDigest) ++digested;
    if (!(r.flags & (kMemberConceal | kMemberDigest))) ++normal;
    if (r.flags & kMemberConceal) continue;
    std::string canonical;
    if (!CanonicalizeAddress(r.address, c.list.domain, canonical)) canonical = r.address;
    counters(canonical, posts, bytes, third);
    WriteMessageText(w, FormatText("%5ld  %10ld  %11ld  %s\r\n", posts, bytes, posts + third,
                                   r.address.c_str()));
  }
  counters(kGeneralStats, posts, bytes, third);
  WriteMessageText(w, FormatText("\r\nTotal For List:\r\n%5ld  %10ld  %11ld", posts, bytes, posts + third));
  WriteMessageText(w, FormatText("\r\nNumber concealed users: %5d\r\nNumber digested users:  %5d\r\n"
                                 "Number normal users:    %5d\r\n----------------------- -----\r\n"
                                 "Number of total users:  %5d\r\n",
                                 concealed, digested, normal, total));
  if (!FinishListingMessage(w, c.answer)) return failed();
  c.answer += FormatText("Membership listing for %s created.\r\n", listName);
  c.answer += FormatText("Status report for list '%s' generated.\r\n", listName);
  return true;
}

// info / help: the command listing, or (info lists) the domain's visible lists.
bool Info(Command& c, bool& listingSent) {
  std::string sub = NextWord(c.line, c.pos);
  if (sub.empty() || Is(sub, "Commands")) {
    if (!SendListServerFile(c, InUserDirectory(kCommandListingFile), "Command listing"))
      return false;
    c.answer += "Generated command listing.\r\n";
    listingSent = true;
    return true;
  }
  if (c.row.number != kCmdInfo || !Is(sub, "lists")) {
    c.answer += "Invalid subcommand for info.\r\n";
    return false;
  }
  MessageWriter w;
  if (!BeginListingMessage(w, c.req.requester, kListServerUser, c.req.domainShown,
                           FormatText("List of mailing lists for %s", c.req.domainShown.c_str()),
                           c.answer)) {
    c.answer += "Problem creating list of mailing lists.\r\n";
    return false;
  }
  ForEachAccount(c.req.domain, [&](const AccountEntry& a) {
    ListRef list;
    ListConfig config;
    if (a.type == kAccountList && ResolveList(a.name, c.req.domain, list) &&
        ReadListConfig(list, config) && GetListSwitch(config, "ListVisibleToListServ"))
      WriteMessageText(w, FormatText("List: %s, Description: %s\r\n", a.name.c_str(),
                                     a.displayText.c_str()));
    return true;
  });
  if (!FinishListingMessage(w, c.answer)) {
    c.answer += "Problem creating list of mailing lists.\r\n";
    return false;
  }
  c.answer += FormatText("Mailing lists listing for %s created.\r\n", c.req.domainShown.c_str());
  return true;
}

bool Subscriptions(Command& c) {
  c.answer += FormatText("Lists subscribed to on node %s:\r\n", c.req.domainShown.c_str());
  ForEachAccount(c.req.domain, [&](const AccountEntry& a) {
    ListRef list;
    MemberTable t;
    std::string canonical;
    if (a.type != kAccountList || !ResolveList(a.name, c.req.domain, list) ||
        !ReadListMembers(list, false, t))
      return true;
    if (!CanonicalizeAddress(c.req.requester, list.domain, canonical)) canonical = c.req.requester;
    if (FindMemberInTable(t, canonical, list.domain) > 0)
      c.answer += FormatText("List: %s, Address: %s\r\n", a.name.c_str(), a.displayText.c_str());
    return true;
  });
  c.answer += "end of list\r\n";
  return true;
}

// ---- Administration -------------------------------------------------------------------

bool Admin(Command& c) {
  const char* listName = c.list.name.c_str();
  std::string password = NextWord(c.line, c.pos);
  if (password.empty()) password = c.req.defaultPassword;
  MemberRecord member;
  if (!FindMember(c, c.req.requester, member)) return false;
  // An empty AdminPassword opens nothing: the ADMIN option alone would let anyone
  // who writes an administrator's From: line in.
  std::string stored = GetListText(c.config, "AdminPassword");
  bool granted = (member.flags & kMemberAdmin) && !stored.empty() && password == stored;
  LogEvent(0, kLogAlways, granted ? "Admin to list %s by %s granted." : "Admin to list %s by %s denied.",
           listName, Shown(c.req.requester).c_str());
  if (!granted) {
    c.answer += FormatText("Administrator access to list %s denied.\r\n", listName);
    return false;
  }
  c.req.adminList = c.list.name;
  c.answer += FormatText("Administrator access to list %s granted.\r\n", listName);
  return true;
}

bool Show(Command& c) {
  const char* listName = c.list.name.c_str();
  std::string sub = NextWord(c.line, c.pos);
  if (sub.empty()) {
    c.answer += "Unable to find a subcommand for the show command.\r\n";
    return false;
  }
  if (Is(sub, "pusers")) {
    MemberTable t;
    MessageWriter w;
    if (!ReadListMembers(c.list, true, t) ||
        !BeginListingMessage(w, c.req.requester, kListServerUser, c.req.domainShown,
                             FormatText("ADMIN: Pending members for %s@%s", listName,
                                        c.list.domainShown.c_str()),
                             c.answer)) {
      c.answer += "Problem creating list of pending members.\r\n";
      return false;
    }
    for (const MemberRecord& r : t.records)
      if (r.wellFormed) WriteMessageText(w, r.text.substr(r.text.find(';') + 1) + "\r\n");
    WriteMessageText(w, FormatText("\r\nNumber of members in pending list: %ld\r\n", t.actualUsers));
    if (!FinishListingMessage(w, c.answer)) {
      c.answer += "Problem creating list of pending members.\r\n";
      return false;
    }
    c.answer += FormatText("Pending users list for '%s' generated\r\n", listName);
    return true;
  }
  bool approve = Is(sub, "approve");
  if (!approve && !Is(sub, "reject")) {
    c.answer += FormatText("Unable to process subcommand '%s': cannot find action.\r\n",
                           Shown(sub).c_str());
    return false;
  }
  std::string address = NextWord(c.line, c.pos);
  if (address.empty()) {
    c.answer += approve ? "Unable to find user address to add.\r\n"
                        : "Unable to find user address to reject.\r\n";
    return false;
  }
  std::string reply;
  bool ok = approve ? ApprovePendingMember(c.list, address, "", reply)
                    : RejectPendingMember(c.list, address, reply);
  const char* format = approve ? (ok ? "User '%s' added to list '%s'.\r\n"
                                     : "Unable to add user '%s' to list '%s'.\r\n")
                               : (ok ? "User '%s' rejected from list '%s'.\r\n"
                                     : "Unable to reject user '%s' from list '%s'.\r\n");
  c.answer += FormatText(format, Shown(address).c_str(), listName);
  return ok;
}

// default list NAME | default password WORD | default OPTION.
bool Default(Command& c) {
  std::string sub = NextWord(c.line, c.pos);
  if (Is(sub, "list")) {
    std::string name = NextWord(c.line, c.pos);
    if (name.empty()) {
      c.answer += "Unable to determine default list from data.\r\n";
      return false;
    }
    c.req.defaultList = name;  // whole: an over-long name stays no list's name
    c.answer += FormatText("Current default list set to '%s'.\r\n", Shown(name).c_str());
    return true;
  }
  if (Is(sub, "password")) {
    std::string word = NextWord(c.line, c.pos);
    if (word.empty()) {
      c.answer += "Unable to determine default password from data.\r\n";
      return false;
    }
    c.req.defaultPassword = word;
    c.answer += "Current default password set.\r\n";
    return true;
  }
  if (sub.empty()) {
    c.answer += FormatText("Unable to find subcommand for '%s' command.\r\n", Shown(c.word).c_str());
    return false;
  }
  std::string name = c.req.defaultList;
  if (name.size() > kListServerNameChars || !ResolveList(name, c.req.domain, c.list) ||
      !ReadListConfig(c.list, c.config)) {
    c.answer += FormatText("Unable to access mailing list: %s\r\n", Shown(name).c_str());
    return false;
  }
  return SetOption(c, c.req.requester, sub, true);
}

}  // namespace

bool ProcessListServerLine(ResponderRequest& req, const std::string& line, std::string& answer) {
  size_t pos = 0;
  std::string word = NextWord(line, pos);
  if (word.empty()) {
    answer += "Error parsing body for data.\r\n";
    req.replyNeeded = true;
    return false;
  }
  const ListCommandWord* row = FindListCommand(word);
  if (!row) {
    answer += FormatText("Unknown command: '%s'.\r\n", Shown(word).c_str());
    req.replyNeeded = true;
    return false;
  }
  Command c{req, *row, word, line, pos, answer, {}, {}};
  bool listingSent = false;
  bool ok = true;
  if (row->list != ListArgument::kNone) ok = ChooseList(c);
  if (ok && row->who == ListAccess::kAdministrator && !IsAdministrator(c)) {
    if (row->number == kCmdShow || row->number == kCmdLshow)
      answer += "Show command available to list administrators only.\r\n";
    else
      answer += FormatText("%s command available to list administrators only.\r\n", Shown(word).c_str());
    ok = false;
  }
  if (ok) {
    switch (row->number) {
      case kCmdSubscribe: ok = Subscribe(c); break;
      case kCmdUnsubscribe: ok = Unsubscribe(c); break;
      case kCmdSet:
      case kCmdLset:
      case kCmdMset:
      case kCmdLmset: ok = Set(c); break;
      case kCmdQuery:
      case kCmdLquery:
      case kCmdMquery:
      case kCmdLmquery: ok = Query(c); break;
      case kCmdReview:
      case kCmdMreview: ok = Review(c); break;
      case kCmdInfo:
      case kCmdHelp: ok = Info(c, listingSent); break;
      case kCmdSubs: ok = Subscriptions(c); break;
      case kCmdStats: ok = Statistics(c); break;
      case kCmdListres:
      case kCmdLlistres:
        ok = ProcessResourceCommand(req, c.list, c.config, line, c.pos, answer);
        if (!ok)
          answer += FormatText("Error processing command %s for list %s.\r\n", Shown(word).c_str(),
                               c.list.name.c_str());
        break;
      case kCmdAdmin:
      case kCmdLadmin: ok = Admin(c); break;
      case kCmdDefault: ok = Default(c); break;
      case kCmdShow:
      case kCmdLshow: ok = Show(c); break;
      case kCmdEnd:
        answer += "end of processing\r\n";
        ok = false;
        break;
    }
  }
  if (row->number != kCmdSubscribe && !listingSent) req.replyNeeded = true;
  if (!ok && row->number == kCmdSubscribe) req.replyNeeded = true;
  // Every answer ends its line, so the next starts on its own.
  if (!answer.empty() && (answer.size() < 2 || answer.compare(answer.size() - 2, 2, "\r\n") != 0))
    answer += "\r\n";
  return ok;
}
