// corveladm dkim: the DKIM keys the server signs with, and the DNS records that
// publish them. The keys are the server's own files (<home>/dkim), read and made
// by the same functions the outgoing queue uses.
#include <cstdio>
#include <string>
#include <vector>

#include "server/core/config.h"
#include "server/mailauth/dkim_sign.h"
#include "tools/corveladm/corveladm.h"

namespace {

// Prints the records of one domain; makes its keys when it has none yet.
int ShowDomain(const AdmContext& ctx, const std::string& domain, bool create) {
  DkimKeys keys;
  std::string why;
  if (!LoadDkimKeys(ctx.home, domain, create, ReadDkimSettings().ed25519, keys, why))
    return AdmFail("%s", why.c_str());
  std::vector<std::string> lines;
  if (!FormatDkimRecords(keys, lines, why)) return AdmFail("%s: %s", domain.c_str(), why.c_str());
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return kAdmOk;
}

// The host settings that tell which domains are ours.
void LoadOwnNames() {
  Settings& s = ServerSettings();
  s.localNode = GetGeneralString("LocalNode");
}

}  // namespace

int RunDkimShow(AdmContext& ctx) {
  if (ctx.args.size() > 1) return AdmUsage(AdmCurrentCommand(), "one domain at most");
  LoadOwnNames();
  if (ctx.args.size() == 1) {
    const std::string& domain = ctx.args[0];
    if (!IsDkimDomainName(domain)) return AdmFail("not a domain name: %s", domain.c_str());
    if (!IsOwnDomain(domain))
      return AdmFail("%s is not one of this server's domains", domain.c_str());
    return ShowDomain(ctx, domain, true);
  }
  std::vector<std::string> domains = ListDkimDomains(ctx.home);
  if (domains.empty()) {
    std::printf("No DKIM keys yet; \"corveladm dkim show DOMAIN\" makes them.\n");
    return kAdmOk;
  }
  int rc = kAdmOk;
  for (const std::string& d : domains)
    if (ShowDomain(ctx, d, false) != kAdmOk) rc = kAdmFailed;
  return rc;
}

int RunDkimRotate(AdmContext& ctx) {
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "a domain is needed");
  LoadOwnNames();
  const std::string& domain = ctx.args[0];
  if (!IsDkimDomainName(domain)) return AdmFail("not a domain name: %s", domain.c_str());
  if (!IsOwnDomain(domain))
    return AdmFail("%s is not one of this server's domains", domain.c_str());
  DkimKeys keys;
  std::string why;
  if (!RotateDkimKeys(ctx.home, domain, ReadDkimSettings().ed25519, keys, why))
    return AdmFail("%s", why.c_str());
  std::printf("Selector %s is in force for %s; publish:\n", keys.selector.c_str(),
              keys.domain.c_str());
  return ShowDomain(ctx, domain, false);
}
