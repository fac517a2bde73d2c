// Canonical addresses: one address, however it was written, in one form.
#include <strings.h>

#include "server/accounts/accounts.h"
#include "server/spool/headers.h"

bool CanonicalizeAddress(const std::string& text, const std::string& domain, std::string& out) {
  return CanonicalizeAddress(text, domain, ServerHostIdentity(), out);
}

bool CanonicalizeAddress(const std::string& text, const std::string& domain,
                         const HostIdentity& id, std::string& out) {
  out.clear();
  NormalizeOptions options;
  options.qualify = true;
  options.strip = true;
  options.mapDomains = true;
  NormalizedAddress n;
  if (!NormalizeAddress(text, id, options, n) || n.address.empty()) return false;
  if (n.address.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  size_t at = n.address.rfind('@');
  if (at == std::string::npos || at == 0) {
    out = n.address;
    return true;
  }
  std::string local = n.address.substr(0, at);
  std::string host = n.address.substr(at + 1);
  const std::string* accounts = nullptr;  // the domain whose aliases apply
  static const std::string kPrimary;
  if (n.isLocal) accounts = &kPrimary;
  else if (!domain.empty() && strcasecmp(host.c_str(), domain.c_str()) == 0) accounts = &domain;
  std::string finalName;
  // Only a plain local part names an account; a route or path does not.
  if (accounts && local.find_first_of("@%!:") == std::string::npos &&
      ResolveAccountName(local, finalName, *accounts) && !finalName.empty())
    local = finalName;
  out = local + "@" + host;
  return true;
}
