// corveladm import ... and report ...: bulk additions from a file and reports to
// one, by the server's own bulk code.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/admin/bulk.h"
#include "server/core/log.h"
#include "tools/corveladm/adm_accounts.h"

namespace {

constexpr const char* kStandardStream = "-";
constexpr const char* kIgnoreQuestion = "Ignore input records that are already in the database?";

// --skip-existing / --no-skip-existing, else the question. False on Cancel.
bool SkipExisting(AdmContext& ctx, bool& skip, bool& usageError, std::string& why) {
  std::map<std::string, std::string> values;
  usageError = !AdmTakeOptions(ctx.args, {{"skip-existing", false}, {"no-skip-existing", false}},
                               values, why);
  if (usageError) return false;
  if (values.size() > 1) {
    usageError = true;
    why = "--skip-existing and --no-skip-existing exclude each other";
    return false;
  }
  if (!values.empty()) {
    skip = values.count("skip-existing") > 0;
    return true;
  }
  AdmAnswer answer = AdmAskYesNoCancel(kIgnoreQuestion);
  skip = answer == AdmAnswer::kYes;
  return answer != AdmAnswer::kCancel;
}

// Opens the input ("-" = standard input); -1 with the reason printed.
int OpenInput(const std::string& path) {
  if (path == kStandardStream) return dup(STDIN_FILENO);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) AdmFail("cannot open %s", path.c_str());
  return fd;
}

// Writes a report ("-" = standard output) and says how it went.
int FinishReport(bool built, const std::string& path, const std::string& text) {
  std::string why;
  bool toStdout = path == kStandardStream;
  bool ok = built && (toStdout ? WriteAll(STDOUT_FILENO, text.data(), text.size())
                               : WriteReportFile(path, text, why));
  if (!ok) {
    if (why.empty()) return AdmFail("%s", kReportFailed);
    return AdmFail("%s (%s)", kReportFailed, why.c_str());
  }
  std::fprintf(toStdout ? stderr : stdout, "%s\n", kReportSucceeded);
  return kAdmOk;
}

// An import: the existing-entry choice, `args` arguments (the last one the input
// file), the registry, then `add` with the domain. `add` returns kAdmOk when the
// addition succeeded; when it could not begin, it has said why and leaves the
// result's message empty.
template <typename Add>
int RunImport(AdmContext& ctx, size_t args, Add add) {
  bool skip = true, usageError = false;
  std::string why;
  if (!SkipExisting(ctx, skip, usageError, why)) {
    if (usageError) return AdmUsage(AdmCurrentCommand(), why.c_str());
    return AdmFail("import cancelled");
  }
  if (ctx.args.size() != args) return AdmUsage(AdmCurrentCommand(), "wrong number of arguments");
  std::string domain;
  int slot = 0;
  if (!AdmOpenExistingRegistry(ctx, domain, slot)) return kAdmFailed;
  BulkResult result;
  int rc = add(domain, skip, result);
  RegCloseStore();
  if (rc != kAdmOk) return result.message.empty() ? rc : AdmFail("%s", result.message.c_str());
  std::printf("%s\n", result.message.c_str());
  return kAdmOk;
}

}  // namespace

int RunImportUsers(AdmContext& ctx) {
  return RunImport(ctx, 1, [&](const std::string& domain, bool skip, BulkResult& result) {
    UniqueFd fd(OpenInput(ctx.args[0]));
    if (!fd.valid()) return kAdmFailed;
    return BulkAddUsers(fd.get(), domain, skip, result) ? kAdmOk : kAdmFailed;
  });
}

int RunImportMembers(AdmContext& ctx) {
  return RunImport(ctx, 2, [&](const std::string& domain, bool skip, BulkResult& result) {
    ListRef list;
    if (!ResolveList(ctx.args[0], domain, list))
      return AdmFail("no such list: %s", ctx.args[0].c_str());
    // The welcome messages' log lines join the server's log.
    OpenLogForTool();
    UniqueFd fd(OpenInput(ctx.args[1]));
    if (!fd.valid()) return kAdmFailed;
    return BulkAddMembers(fd.get(), list, skip, result) ? kAdmOk : kAdmFailed;
  });
}

int RunReportMembers(AdmContext& ctx) {
  if (ctx.args.size() != 2) return AdmUsage(AdmCurrentCommand(), "a list and one output file, or -");
  std::string domain, text;
  int slot = 0;
  if (!AdmOpenExistingRegistry(ctx, domain, slot)) return kAdmFailed;
  ListRef list;
  bool found = ResolveList(ctx.args[0], domain, list);
  bool built = found && BuildMemberReport(list, text);
  RegCloseStore();
  if (!found) return AdmFail("no such list: %s", ctx.args[0].c_str());
  return FinishReport(built, ctx.args[1], text);
}

int RunReportUsers(AdmContext& ctx) {
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "one output file, or -");
  std::string domain, text;
  int slot = 0;
  if (!AdmOpenExistingRegistry(ctx, domain, slot)) return kAdmFailed;
  bool built = BuildUserReport(domain, text);
  RegCloseStore();
  return FinishReport(built, ctx.args[0], text);
}
