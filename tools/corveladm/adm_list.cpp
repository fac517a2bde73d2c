// corveladm list: the members, pending members and held posts of a mailing list,
// through the same functions the server uses (and the same lock per list, so the
// tool and a running server never give two members one slot). Messages the
// commands send (welcome files, notices, released posts) are queued in the
// incoming directory; a running server delivers them at its next scan.
#include <cstdio>
#include <cstring>

#include "server/core/config.h"
#include "server/core/log.h"
#include "server/lists/list_files.h"
#include "server/lists/membership.h"
#include "tools/corveladm/corveladm.h"

namespace {

// Prints a server text (CR LF line ends) with plain line ends.
void PrintText(FILE* out, std::string text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  if (!plain.empty() && plain.back() != '\n') plain += '\n';
  std::fputs(plain.c_str(), out);
}

// Takes "--name" out of the arguments; true when it was there.
bool TakeFlag(AdmContext& ctx, const char* name) {
  for (size_t i = 0; i < ctx.args.size(); ++i) {
    if (ctx.args[i] == name) {
      ctx.args.erase(ctx.args.begin() + long(i));
      return true;
    }
  }
  return false;
}

// Takes "--name VALUE" out of the arguments.
bool TakeOption(AdmContext& ctx, const char* name, std::string& value) {
  for (size_t i = 0; i + 1 < ctx.args.size(); ++i) {
    if (ctx.args[i] == name) {
      value = ctx.args[i + 1];
      ctx.args.erase(ctx.args.begin() + long(i), ctx.args.begin() + long(i) + 2);
      return true;
    }
  }
  return false;
}

// The words from `from` on, joined by blanks (a full name, a reason).
std::string Rest(const AdmContext& ctx, size_t from) {
  std::string out;
  for (size_t i = from; i < ctx.args.size(); ++i) out += (out.empty() ? "" : " ") + ctx.args[i];
  return out;
}

// The settings the texts need, and the list named by the first argument. Returns
// kAdmOk, or the exit status to return.
int OpenList(AdmContext& ctx, size_t minArgs, size_t maxArgs, ListRef& list) {
  if (ctx.args.size() < minArgs || ctx.args.size() > maxArgs)
    return AdmUsage(AdmCurrentCommand(), "wrong number of arguments");
  Settings& s = ServerSettings();
  LoadProductValues(s);
  LoadGeneralSettings(s);
  s.softwareName = s.productName + " V" + s.productVersion;
  if (!ResolveList(ctx.args[0], ctx.domain, list)) {
    AdmFail("no such list: %s", ctx.args[0].c_str());
    return kAdmFailed;
  }
  return kAdmOk;
}

int Done(bool ok, const std::string& text) {
  PrintText(ok ? stdout : stderr, ok ? text : "corveladm: " + text);
  return ok ? kAdmOk : kAdmFailed;
}

}  // namespace

// The handlers of the command table (adm_commands.cpp).

int RunListHeld(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 1, 1, list)) return rc;
  std::vector<HeldPost> posts;
  std::string why;
  if (!ListHeldPosts(list, posts, why)) return AdmFail("%s", why.c_str());
  for (const HeldPost& p : posts)
    std::printf("%s\t%lld\t%s\t%s\n", p.name.c_str(), p.size, VisibleText(p.sender).c_str(),
                VisibleText(p.subject).c_str());
  return kAdmOk;
}

int RunListRelease(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 2, 2, list)) return rc;
  std::string why;
  bool ok = ReleaseHeldPost(list, ctx.args[1], why);
  return Done(ok, ok ? "released " + ctx.args[1] : why);
}

int RunListReject(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 2, 1000, list)) return rc;
  std::string reason = Rest(ctx, 2), why;
  bool ok = RejectHeldPost(list, ctx.args[1], reason.empty() ? kRejectReasonDefault : reason, why);
  return Done(ok, ok ? "rejected " + ctx.args[1] : why);
}

int RunListForward(AdmContext& ctx) {
  bool header = TakeFlag(ctx, "--header");
  ListRef list;
  if (int rc = OpenList(ctx, 3, 3, list)) return rc;
  std::string why;
  bool ok = ForwardHeldPost(list, ctx.args[1], ctx.args[2], header, why);
  return Done(ok, ok ? "forwarded " + ctx.args[1] + " to " + ctx.args[2] : why);
}

int RunListDelete(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 2, 2, list)) return rc;
  if (!AdmConfirm(ctx, "Deleting the file will make the file disappear without any record of "
                       "what happened.  Are you sure?"))
    return AdmFail("not deleted");
  std::string why;
  bool ok = DeleteHeldPost(list, ctx.args[1], why);
  return Done(ok, ok ? "deleted " + ctx.args[1] : why);
}

int RunListMembers(AdmContext& ctx) {
  bool pending = TakeFlag(ctx, "--pending");
  ListRef list;
  if (int rc = OpenList(ctx, 1, 1, list)) return rc;
  MemberTable t;
  if (!ReadListMembers(list, pending, t)) return AdmFail("cannot read the members of %s", list.name.c_str());
  for (const MemberRecord& r : t.records)
    std::printf("%d\t%s\t%s\t%s\n", r.slot, VisibleText(r.address).c_str(),
                MemberFlagNames(r.flags).c_str(), VisibleText(r.fullName).c_str());
  std::printf("%ld members, highest slot %ld\n", t.actualUsers, t.numUsers);
  return kAdmOk;
}

int RunListAdd(AdmContext& ctx) {
  AddMemberRequest req;
  std::string letters;
  if (TakeOption(ctx, "--options", letters)) {
    req.useFlags = true;
    req.flags = ParseMemberLetters(letters);
  }
  ListRef list;
  if (int rc = OpenList(ctx, 2, 1000, list)) return rc;
  req.address = ctx.args[1];
  req.fullName = Rest(ctx, 2);
  AddMemberResult result;
  bool ok = AddListMember(list, req, result);
  if (!result.welcomeFile.empty())
    SendWelcomeFile(list, req.address, result.welcomeFile, WelcomeBy::kEditor, result.reply);
  return Done(ok, result.reply);
}

int RunListRemove(AdmContext& ctx) {
  bool pending = TakeFlag(ctx, "--pending");
  ListRef list;
  if (int rc = OpenList(ctx, 2, 2, list)) return rc;
  std::string reply;
  return Done(RemoveListMember(list, ctx.args[1], 0, pending, reply), reply);
}

int RunListSet(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 3, 3, list)) return rc;
  int slot = FindListMember(list, ctx.args[1], false);
  if (slot < 0)
    return AdmFail("User %s not registered on list %s.", ctx.args[1].c_str(), list.name.c_str());
  std::string why;
  uint32_t flags = ParseMemberLetters(ctx.args[2] == "-" ? "" : ctx.args[2]);
  if (!SetMemberFlags(list, slot, flags, false, true, why)) return Done(false, why);
  return Done(true, ctx.args[1] + ": " + MemberFlagNames(flags));
}

int RunListApprove(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 2, 1000, list)) return rc;
  std::string reply;
  return Done(ApprovePendingMember(list, ctx.args[1], Rest(ctx, 2), reply), reply);
}

int RunListRefuse(AdmContext& ctx) {
  ListRef list;
  if (int rc = OpenList(ctx, 2, 2, list)) return rc;
  std::string reply;
  return Done(RejectPendingMember(list, ctx.args[1], reply), reply);
}

int RunListCopy(AdmContext& ctx) {
  ListRef to, from;
  if (int rc = OpenList(ctx, 2, 2, to)) return rc;
  if (!ResolveList(ctx.args[1], ctx.domain, from)) return AdmFail("no such list: %s", ctx.args[1].c_str());
  std::string report;
  CopyListMembers(to, from, report);
  PrintText(stdout, report);
  return kAdmOk;
}

