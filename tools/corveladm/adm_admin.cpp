// corveladm admin-password: sets the browser console's administrator password.
// It is read from the terminal without echo (asked twice), else from the first
// line of standard input, and stored only as a salted digest.
#include <unistd.h>

#include "platform/registry.h"
#include "server/admin/admin_password.h"
#include "server/core/log.h"
#include "tools/corveladm/adm_accounts.h"

int RunAdminPassword(AdmContext& ctx) {
  if (!ctx.args.empty()) return AdmUsage(AdmCurrentCommand(), "no arguments");
  std::string password, again;
  if (!AdmReadPassword("New console password: ", password))
    return AdmFail("admin-password: no password given");
  if (isatty(0) && (!AdmReadPassword("Again: ", again) || again != password))
    return AdmFail("admin-password: the two passwords differ");
  std::string domain, why;
  int slot = 0;
  if (!AdmOpenExistingRegistry(ctx, domain, slot)) return kAdmFailed;
  bool ok = SetAdminPassword(password, why);
  RegCloseStore();
  if (!ok) return AdmFail("admin-password: %s", why.c_str());
  return kAdmOk;
}
