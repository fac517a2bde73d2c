// corveladm plugin: the slots of custom mailbox plug-ins (list, add, remove,
// configure), with the same functions the server uses.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "server/plugins/plugins.h"
#include "tools/corveladm/corveladm.h"

namespace {

// A slot number argument; 0 when it is not one.
int ParseSlot(const std::string& text) {
  char* end = nullptr;
  long n = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < 1 || n > INT_MAX) return 0;
  return int(n);
}

}  // namespace

// plugin list [--clear-failed]: every filled slot with its path and the display
// name, or "Unable to load DLL."; only with --clear-failed are such slots cleared
// (a library missing for a moment must not lose its slot).
int RunPluginList(AdmContext& ctx) {
  bool clear = false;
  for (const std::string& a : ctx.args) {
    if (a != "--clear-failed") return AdmUsage(AdmCurrentCommand(), ("unknown argument: " + a).c_str());
    clear = true;
  }
  int rc = kAdmOk;
  for (const PluginSlot& s : ListPluginSlots()) {
    LoadedPlugin p;
    std::string why, detail;
    bool ok = LoadPluginLibrary(s.path, p, why, detail);
    std::printf("%d\t%s\t%s\n", s.slot, s.path.c_str(), ok ? p.name.c_str() : kPluginUnusable);
    if (ok || !clear) continue;
    if (RemovePlugin(s.slot, why)) {
      std::printf("%d\tcleared\n", s.slot);
    } else {
      AdmFail("%s", why.c_str());
      rc = kAdmFailed;
    }
  }
  return rc;
}

// plugin add FILE: validated by fMailExt_Info first; a relative name is taken
// from the current directory and stored absolute.
int RunPluginAdd(AdmContext& ctx) {
  if (ctx.args.size() != 1 || ctx.args[0].empty())
    return AdmUsage(AdmCurrentCommand(), "one library file expected");
  std::string path = ctx.args[0];
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return AdmFail("cannot tell the current directory");
    path = std::string(cwd) + "/" + path;
  }
  std::string why;
  int slot = AddPlugin(path, why);
  if (slot < 0) return AdmFail("%s", why.c_str());
  std::printf("%d\t%s\n", slot, path.c_str());
  return kAdmOk;
}

int RunPluginRemove(AdmContext& ctx) {
  int slot = ctx.args.size() == 1 ? ParseSlot(ctx.args[0]) : 0;
  if (slot == 0) return AdmUsage(AdmCurrentCommand(), "one slot number expected");
  std::string why;
  if (!RemovePlugin(slot, why)) return AdmFail("%s", why.c_str());
  return kAdmOk;
}

int RunPluginConfigure(AdmContext& ctx) {
  int slot = ctx.args.size() == 1 ? ParseSlot(ctx.args[0]) : 0;
  if (slot == 0) return AdmUsage(AdmCurrentCommand(), "one slot number expected");
  std::string why;
  if (!ConfigurePlugin(slot, why)) return AdmFail("%s", why.c_str());
  return kAdmOk;
}
