// The lists API of the console: a list's members and pending members, their
// options, approval and refusal, the posts held for approval (release, reject
// with a reason, forward, delete) and the list's statistics. Every change goes
// through the functions the list server and corveladm use, under the list's
// lock, with their reply texts.
#include <cstdlib>

#include "server/accounts/accounts.h"
#include "server/admin/web/web_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/lists/list_files.h"
#include "server/lists/membership.h"

namespace {

constexpr const char* kGeneralStats = "--GeneralStats--";

// The list named by the request: its account name and domain number ("domain",
// 0 or absent = primary); false with a reply.
bool FindList(const std::string& name, long number, ListRef& list, httplib::Response& res) {
  std::string domain;
  if (number != 0) {
    SecondaryDomain d;
    if (!ReadSecondaryDomainSlot(int(number), d)) {
      ReplyError(res, kHttpNotFound, "No such domain: " + std::to_string(number));
      return false;
    }
    domain = d.name;
  }
  if (name.empty() || !ResolveList(name, domain, list)) {
    ReplyError(res, kHttpNotFound, "No such list: " + VisibleText(name));
    return false;
  }
  return true;
}

// The "name" and "domain" members of a change; false with a reply.
bool TakeList(const Json& body, ListRef& list, httplib::Response& res) {
  std::string name;
  if (!TakeString(body, "name", name, res)) return false;
  long number = 0;
  auto it = body.find("domain");
  if (it != body.end()) {
    if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 100000) {
      ReplyError(res, kHttpBadRequest, "\"domain\" must be a domain number.");
      return false;
    }
    number = long(it->get<long long>());
  }
  return FindList(name, number, list, res);
}

// A reply text of the membership functions without its line end.
std::string ReplyText(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The option words of `flags` (REPRO ACK CONCEAL NOMAIL DIGEST ADMIN).
Json FlagWords(uint32_t flags) {
  Json words = Json::array();
  std::string names = MemberFlagNames(flags);
  size_t pos = 0;
  while (pos < names.size()) {
    size_t end = names.find(' ', pos);
    if (end == std::string::npos) end = names.size();
    std::string word = names.substr(pos, end - pos);
    if (!word.empty() && word != "NONE") words.push_back(word);
    pos = end + 1;
  }
  return words;
}

Json MembersJson(const MemberTable& table) {
  Json out = Json::array();
  for (const MemberRecord& r : table.records) {
    if (!r.wellFormed) continue;
    out.push_back({{"slot", r.slot},
                   {"address", r.address},
                   {"fullName", r.fullName},
                   {"options", FlagWords(r.flags)},
                   {"joined", std::atol(r.joined.c_str())}});
  }
  return out;
}

// "posts;bytes;third" as stored in ListStatistics.
Json CountersJson(const std::string& text) {
  long n[3] = {0, 0, 0};
  const char* p = text.c_str();
  for (long& v : n) {
    char* end = nullptr;
    v = strtol(p, &end, 10);
    if (*end != ';') break;
    p = end + 1;
  }
  return {{"posts", n[0]}, {"bytes", n[1]}, {"total", n[0] + n[2]}};
}

void HandleListShow(const httplib::Request& req, httplib::Response& res) {
  std::string domainText = req.get_param_value("domain");
  if (domainText.size() > 6 || domainText.find_first_not_of("0123456789") != std::string::npos)
    return ReplyError(res, kHttpBadRequest, "\"domain\" must be a domain number.");
  ListRef list;
  if (!FindList(req.get_param_value("name"), strtol(domainText.c_str(), nullptr, 10), list, res))
    return;
  MemberTable members, pending;
  uint32_t flags = 0;
  if (!ReadListMembers(list, false, members) || !ReadListMembers(list, true, pending) ||
      !ReadListConfigFlags(list, flags))
    return ReplyError(res, kHttpServerError,
                      "The list " + VisibleText(list.name) + " cannot be read.");
  std::vector<RegValue> stats;
  ConfigReadValues(kListStatisticsSection, stats, ListDomainArg(list), list.config.c_str());
  Json senders = Json::array(), general = CountersJson("");
  for (const RegValue& v : stats) {
    std::string text = ConfigValueText(&v, "");
    if (EqualNoCase(v.name, kGeneralStats)) {
      general = CountersJson(text);
    } else {
      Json c = CountersJson(text);
      c["address"] = v.name;
      senders.push_back(c);
    }
  }
  // Held posts: a list without a valid ListId has none and says why.
  std::vector<HeldPost> posts;
  std::string heldProblem;
  Json held = Json::array();
  if (ListHeldPosts(list, posts, heldProblem))
    for (const HeldPost& p : posts)
      held.push_back({{"file", p.name}, {"sender", p.sender}, {"subject", p.subject}, {"size", p.size}});
  int concealed = 0, digested = 0, normal = 0;
  for (const MemberRecord& r : members.records) {
    if (!r.wellFormed) continue;
    if (r.flags & kMemberConceal) ++concealed;
    if (r.flags & kMemberDigest) ++digested;
    else ++normal;
  }
  ReplyJson(res, {{"name", list.name},
                  {"domain", list.domainShown},
                  {"moderated", (flags & kListModerated) != 0},
                  {"moderatedAdd", (flags & kListModeratedAdd) != 0},
                  {"closed", (flags & kListClosed) != 0},
                  {"members", MembersJson(members)},
                  {"pending", MembersJson(pending)},
                  {"held", held},
                  {"heldProblem", heldProblem},
                  {"statistics",
                   {{"list", general},
                    {"senders", senders},
                    {"concealed", concealed},
                    {"digested", digested},
                    {"normal", normal},
                    {"total", members.actualUsers}}}});
}

// The "options" member: a list of option words (REPRO, NOREPRO, ...); false with
// a reply. `set` and `cleared` get the flags named on and off.
bool TakeOptions(const Json& body, uint32_t& set, uint32_t& cleared, httplib::Response& res) {
  set = cleared = 0;
  auto it = body.find("options");
  if (it == body.end()) return true;
  if (!it->is_array()) {
    ReplyError(res, kHttpBadRequest, "\"options\" must be a list of option words.");
    return false;
  }
  for (const Json& w : *it) {
    uint32_t flag = 0;
    bool on = false;
    if (!w.is_string() || !ParseMemberOption(w.get<std::string>(), flag, on)) {
      ReplyError(res, kHttpBadRequest,
                 "Unknown member option: " + VisibleText(w.is_string() ? w.get<std::string>()
                                                                       : w.dump()));
      return false;
    }
    (on ? set : cleared) |= flag;
  }
  return true;
}

void HandleMemberAdd(const httplib::Request& req, httplib::Response& res) {
  Json body;
  ListRef list;
  AddMemberRequest add;
  uint32_t set = 0, cleared = 0;
  if (!ParseJsonBody(req, res, body) || !TakeList(body, list, res) ||
      !TakeString(body, "address", add.address, res) ||
      !TakeString(body, "fullName", add.fullName, res, false) ||
      !TakeOptions(body, set, cleared, res))
    return;
  if (body.contains("options")) {
    ListConfig config;
    if (!ReadListConfig(list, config))
      return ReplyError(res, kHttpServerError, "The list " + VisibleText(list.name) + " cannot be read.");
    add.useFlags = true;
    add.flags = (ListDefaultMemberFlags(config) | set) & ~cleared;
  }
  AddMemberResult result;
  // False with the record written means only the owner's notice failed: the member
  // is on the list, and the reply says so.
  if (!AddListMember(list, add, result) && !result.added && !result.pending) {
    int status = result.reply.find("already") != std::string::npos ? kHttpConflict
                                                                    : kHttpBadRequest;
    return ReplyError(res, status, ReplyText(result.reply));
  }
  std::string welcome;
  if (!result.welcomeFile.empty())
    SendWelcomeFile(list, add.address, result.welcomeFile, WelcomeBy::kEditor, welcome);
  LogEvent(0, kLogAlways, "Web console: %s added to list %s.", VisibleText(add.address).c_str(),
           VisibleText(list.name).c_str());
  ReplyJson(res, {{"result", ReplyText(result.reply)}, {"slot", result.slot}});
}

void HandleMemberRemove(const httplib::Request& req, httplib::Response& res) {
  Json body;
  ListRef list;
  std::string address, reply;
  if (!ParseJsonBody(req, res, body) || !TakeList(body, list, res) ||
      !TakeString(body, "address", address, res))
    return;
  if (!RemoveListMember(list, address, 0, false, reply))
    return ReplyError(res, kHttpNotFound, ReplyText(reply));
  LogEvent(0, kLogAlways, "Web console: %s removed from list %s.", VisibleText(address).c_str(),
           VisibleText(list.name).c_str());
  ReplyJson(res, {{"result", ReplyText(reply)}});
}

// Sets and clears options of a member by address: the words name only what
// changes, so another change made meanwhile to the other options is kept.
void HandleMemberOptions(const httplib::Request& req, httplib::Response& res) {
  Json body;
  ListRef list;
  std::string address, why;
  uint32_t set = 0, cleared = 0;
  if (!ParseJsonBody(req, res, body) || !TakeList(body, list, res) ||
      !TakeString(body, "address", address, res) || !TakeOptions(body, set, cleared, res))
    return;
  MemberLookup member;
  if (!GetMemberFlags(list, address, member) || member.slot < 0)
    return ReplyError(res, kHttpNotFound,
                      FormatText("User %s not registered on list %s.", VisibleText(address).c_str(),
                                 VisibleText(list.name).c_str()));
  uint32_t flags = (member.flags | set) & ~cleared;
  if (!SetMemberFlags(list, member.slot, flags, false, true, why))
    return ReplyError(res, kHttpConflict, ReplyText(why));
  LogEvent(0, kLogAlways, "Web console: options of %s on list %s set to %s.",
           VisibleText(address).c_str(), VisibleText(list.name).c_str(),
           MemberFlagNames(flags).c_str());
  ReplyJson(res, {{"address", address}, {"options", FlagWords(flags)}});
}

void HandlePending(const httplib::Request& req, httplib::Response& res, bool approve) {
  Json body;
  ListRef list;
  std::string address, fullName, reply;
  if (!ParseJsonBody(req, res, body) || !TakeList(body, list, res) ||
      !TakeString(body, "address", address, res) ||
      !TakeString(body, "fullName", fullName, res, false))
    return;
  bool ok = approve ? ApprovePendingMember(list, address, fullName, reply)
                    : RejectPendingMember(list, address, reply);
  if (!ok) return ReplyError(res, kHttpConflict, ReplyText(reply));
  LogEvent(0, kLogAlways, "Web console: pending member %s of list %s %s.",
           VisibleText(address).c_str(), VisibleText(list.name).c_str(),
           approve ? "approved" : "refused");
  ReplyJson(res, {{"result", ReplyText(reply)}});
}

// The held-post actions. A post another administrator (or corveladm) acted on
// meanwhile is gone: the action fails with the list functions' words, 409.
enum class HeldAction { kRelease, kReject, kForward, kDelete };

bool HasControlCharacters(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

void HandleHeld(const httplib::Request& req, httplib::Response& res, HeldAction action) {
  Json body;
  ListRef list;
  std::string file, reason, address, why;
  if (!ParseJsonBody(req, res, body) || !TakeList(body, list, res) ||
      !TakeString(body, "file", file, res) ||
      !TakeString(body, "reason", reason, res, false) ||
      !TakeString(body, "address", address, res, action == HeldAction::kForward))
    return;
  auto headerIt = body.find("header");
  if (headerIt != body.end() && !headerIt->is_boolean())
    return ReplyError(res, kHttpBadRequest, "\"header\" must be true or false.");
  if (action == HeldAction::kForward && address.empty())
    return ReplyError(res, kHttpBadRequest, "\"address\" must name where the post goes.");
  if (HasControlCharacters(reason) || HasControlCharacters(address))
    return ReplyError(res, kHttpBadRequest, "The reason and the address may not hold control characters.");
  bool ok = false;
  const char* done = "";
  switch (action) {
    case HeldAction::kRelease:
      ok = ReleaseHeldPost(list, file, why);
      done = "released";
      break;
    case HeldAction::kReject:
      ok = RejectHeldPost(list, file, reason.empty() ? kRejectReasonDefault : reason, why);
      done = "rejected";
      break;
    case HeldAction::kForward:
      ok = ForwardHeldPost(list, file, address, headerIt != body.end() && headerIt->get<bool>(), why);
      done = "forwarded";
      break;
    case HeldAction::kDelete:
      ok = DeleteHeldPost(list, file, why);
      done = "deleted";
      break;
  }
  if (!ok) return ReplyError(res, kHttpConflict, ReplyText(why));
  LogEvent(0, kLogAlways, "Web console: held post %s of list %s %s.", VisibleText(file).c_str(),
           VisibleText(list.name).c_str(), done);
  ReplyJson(res, {{"result", done}, {"file", file}});
}

}  // namespace

void RegisterListRoutes(httplib::Server& server) {
  server.Get("/api/list", HandleListShow);
  server.Post("/api/list/members/add", HandleMemberAdd);
  server.Post("/api/list/members/remove", HandleMemberRemove);
  server.Post("/api/list/members/options", HandleMemberOptions);
  server.Post("/api/list/pending/approve",
              [](const httplib::Request& req, httplib::Response& res) { HandlePending(req, res, true); });
  server.Post("/api/list/pending/refuse",
              [](const httplib::Request& req, httplib::Response& res) { HandlePending(req, res, false); });
  struct HeldRoute {
    const char* path;
    HeldAction action;
  };
  static constexpr HeldRoute kHeldRoutes[] = {
      {"/api/list/held/release", HeldAction::kRelease},
      {"/api/list/held/reject", HeldAction::kReject},
      {"/api/list/held/forward", HeldAction::kForward},
      {"/api/list/held/delete", HeldAction::kDelete},
  };
  for (const HeldRoute& r : kHeldRoutes)
    server.Post(r.path, [action = r.action](const httplib::Request& req, httplib::Response& res) {
      HandleHeld(req, res, action);
    });
}
