// corveladm domain ...: listing, adding and removing secondary domains through the
// account library.
#include <cstdio>

#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "tools/corveladm/adm_accounts.h"

namespace {

constexpr uint32_t kTextSize = 128;  // domain names and descriptions have at most 99

// Opens the registry and a handle on the primary domain (--domain does not apply).
template <typename Body>
int WithDomains(AdmContext& ctx, Body body) {
  AdmContext primary = ctx;
  primary.domain.clear();
  std::string domain;
  int slot = 0;
  if (!AdmOpenExistingRegistry(primary, domain, slot)) return kAdmFailed;
  AcctHandle* h = AdmOpenAccounts(primary, 0);
  int rc = h ? body(h) : kAdmFailed;
  if (h) CloseUserDatabase(h);
  RegCloseStore();
  return rc;
}

// The slot of the domain named `word` (its name, or its number); -1 when none.
int FindSlot(const std::string& word) {
  for (const SecondaryDomain& d : ReadSecondaryDomainSlots())
    if (EqualNoCase(d.name, word) || std::to_string(d.slot) == word) return d.slot;
  return -1;
}

}  // namespace

int RunDomainList(AdmContext& ctx) {
  if (!ctx.args.empty()) return AdmUsage(AdmCurrentCommand(), "no arguments");
  return WithDomains(ctx, [&](AcctHandle* h) {
    std::vector<int> numbers{0};
    for (const SecondaryDomain& d : ReadSecondaryDomainSlots()) numbers.push_back(d.slot);
    for (int n : numbers) {
      char name[kTextSize], description[kTextSize];
      if (!SelectDomainByID(h, n) || !GetCurrentDomain(h, name, sizeof name) ||
          !GetCurrentDomainDescription(h, description, sizeof description))
        return AdmAccountFail(h, "domain list");
      std::printf("%d %s %s\n", n, name, description);
    }
    return kAdmOk;
  });
}

int RunDomainAdd(AdmContext& ctx) {
  if (ctx.args.empty() || ctx.args.size() > 2)
    return AdmUsage(AdmCurrentCommand(), "a domain name and, if wanted, a description");
  const std::string& name = ctx.args[0];
  std::string description = ctx.args.size() > 1 ? ctx.args[1] : name;
  return WithDomains(ctx, [&](AcctHandle* h) {
    int slot = CreateVirtualDomain(h, name.c_str(), description.c_str());
    if (slot < 0 && GetLastUserError(h) == ACCT_ERR_EXISTS)
      return AdmFail("domain add: the domain %s exists already (0x%08X)", name.c_str(),
                     unsigned(ACCT_ERR_EXISTS));
    if (slot < 0) return AdmAccountFail(h, "domain add");
    std::printf("%s: slot %d\n", name.c_str(), slot);
    return kAdmOk;
  });
}

int RunDomainRemove(AdmContext& ctx) {
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "one domain name or number");
  return WithDomains(ctx, [&](AcctHandle* h) {
    int slot = FindSlot(ctx.args[0]);
    if (slot < 0) return AdmFail("no such domain: %s", ctx.args[0].c_str());
    if (!AdmConfirm(ctx, "Remove the domain " + ctx.args[0] +
                             " with all its accounts and lists?"))
      return AdmFail("domain remove: not confirmed");
    if (!DestroyVirtualDomain(h, slot)) return AdmAccountFail(h, "domain remove");
    return kAdmOk;
  });
}
