// corveladm's main: options, the command table lookup, help, and the set-up a
// command needs (home, registry, directories, secondary domains).
#include "tools/corveladm/corveladm.h"

#include <strings.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

const AdmCommand* gCurrent = nullptr;

constexpr const char* kVersionText = "corveladm (Corvel) 1.0\n";

void PrintGeneralUsage(FILE* out) {
  std::fputs(
      "usage: corveladm [--home DIR] [--registry FILE] [--domain NAME] [-y] GROUP COMMAND "
      "[ARG...]\n"
      "       corveladm help [GROUP] | --help | --version\n"
      "groups:\n",
      out);
  for (const AdmGroup* g = kAdmGroups; g->name; ++g)
    std::fprintf(out, "  %-10s %s\n", g->name, g->help);
  std::fputs("exit status: 0 done, 1 failed, 2 bad usage\n", out);
}

void PrintCommand(FILE* out, const AdmCommand& c) {
  std::string head = std::string(c.group) + (c.name[0] ? " " : "") + c.name;
  if (c.args && c.args[0]) head += std::string(" ") + c.args;
  std::fprintf(out, "  corveladm %s\n      %s\n", head.c_str(), c.help);
}

bool PrintGroup(FILE* out, const char* group) {
  bool any = false;
  for (const AdmCommand* c = kAdmCommands; c->group; ++c) {
    if (strcasecmp(c->group, group) != 0) continue;
    PrintCommand(out, *c);
    any = true;
  }
  return any;
}

bool IsHelpWord(const char* w) {
  return !strcmp(w, "--help") || !strcmp(w, "-h") || !strcmp(w, "help");
}

}  // namespace

int AdmFail(const char* format, ...) {
  std::fputs("corveladm: ", stderr);
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  return kAdmFailed;
}

int AdmUsage(const AdmCommand& cmd, const char* why) {
  if (why && *why) std::fprintf(stderr, "corveladm: %s\n", why);
  std::fputs("usage:\n", stderr);
  PrintCommand(stderr, cmd);
  return kAdmUsage;
}

const AdmCommand& AdmCurrentCommand() { return *gCurrent; }

bool AdmConfirm(const AdmContext& ctx, const std::string& question) {
  if (ctx.assumeYes || !isatty(STDIN_FILENO)) return true;
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return false;
  return line[0] == 'y' || line[0] == 'Y';
}

int RunHelp(AdmContext& ctx) {
  if (ctx.args.empty()) {
    PrintGeneralUsage(stdout);
    return kAdmOk;
  }
  if (!PrintGroup(stdout, ctx.args[0].c_str()))
    return AdmFail("no such group: %s", ctx.args[0].c_str());
  return kAdmOk;
}

int main(int argc, char** argv) {
  std::string home, registry, why;
  if (!TakeLocationOptions(argc, argv, home, registry, why)) {
    std::fprintf(stderr, "corveladm: %s\n", why.c_str());
    return kAdmUsage;
  }
  AdmContext ctx;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* a = argv[i];
    if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
      PrintGeneralUsage(stdout);
      return kAdmOk;
    }
    if (!strcmp(a, "--version")) {
      std::fputs(kVersionText, stdout);
      return kAdmOk;
    }
    if (!strcmp(a, "-y") || !strcmp(a, "-q")) {
      ctx.assumeYes = true;
    } else if (!strcmp(a, "--domain") && i + 1 < argc) {
      ctx.domain = argv[++i];
    } else if (!strncmp(a, "--domain=", 9)) {
      ctx.domain = a + 9;
    } else {
      std::fprintf(stderr, "corveladm: unknown option %s\n", a);
      PrintGeneralUsage(stderr);
      return kAdmUsage;
    }
  }
  if (i >= argc) {
    PrintGeneralUsage(stderr);
    return kAdmUsage;
  }
  const char* group = argv[i++];
  const char* name = i < argc ? argv[i] : "";
  // "GROUP --help" and "GROUP help" list the group's commands.
  if (i < argc && IsHelpWord(name) && strcasecmp(group, "help") != 0) {
    if (!PrintGroup(stdout, group)) return AdmFail("no such group: %s", group);
    return kAdmOk;
  }
  const AdmCommand* found = nullptr;
  bool groupKnown = false;
  for (const AdmCommand* c = kAdmCommands; c->group; ++c) {
    if (strcasecmp(c->group, group) != 0) continue;
    groupKnown = true;
    // A command without a name is the group's own command ("help [GROUP]").
    if (c->name[0] == '\0' || strcasecmp(c->name, name) == 0) {
      found = c;
      break;
    }
  }
  if (!found) {
    if (!groupKnown) {
      std::fprintf(stderr, "corveladm: no such group: %s\n", group);
      PrintGeneralUsage(stderr);
    } else {
      std::fprintf(stderr, "corveladm: no such command: %s %s\n", group, name);
      PrintGroup(stderr, group);
    }
    return kAdmUsage;
  }
  if (found->name[0] != '\0') ++i;
  for (; i < argc; ++i) ctx.args.push_back(argv[i]);
  gCurrent = found;

  ctx.home = ResolveHomeDirectory(home.empty() ? nullptr : home.c_str());
  ctx.registry = ResolveRegistryPath(registry.empty() ? nullptr : registry.c_str(), ctx.home);
  if (found->needsRegistry) {
    // The server's log lines are not the command's output.
    SetWindowEchoToStdout(false);
    SetHomeDirectory(ctx.home);
    if (!RegOpenStore(ctx.registry, why)) return AdmFail("%s", why.c_str());
    LoadDirectories(ServerSettings());
    LoadHostAliases(ServerSettings());
    if (!LoadSecondaryDomains(why)) return AdmFail("%s", why.c_str());
  }
  int rc = found->run(ctx);
  if (found->needsRegistry) RegCloseStore();
  return rc;
}
