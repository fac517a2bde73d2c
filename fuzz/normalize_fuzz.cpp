// Fuzzes the address normaliser, the host test and the domain patterns: any text,
// any switches. The first byte picks the switches.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/spool/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t switches = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  HostIdentity id;
  id.host = "mail.example.com";
  id.hostAddress = "192.0.2.10";
  id.outgoingAlias = (switches & 0x40) ? "example.com" : "";
  id.incomingAliases = "*.corp.org;Other.ORG;a*z;*";
  NormalizeOptions o;
  o.qualify = switches & 0x01;
  o.strip = switches & 0x02;
  o.stripOnlyLocal = switches & 0x04;
  o.mapDomains = switches & 0x08;
  if (switches & 0x10) o.routeHost = (switches & 0x80) ? "mail" : "relay.example.net";
  if (switches & 0x20) o.defaultDomain = "virt.org";

  NormalizedAddress n;
  if (NormalizeAddress(text, id, o, n)) {
    // Whatever comes out is ours to write into envelopes: no more than the
    // input plus the domains we add.
    if (n.address.size() > text.size() + 64) __builtin_trap();
  }
  IsThisHost(text, id);
  size_t half = text.size() / 2;
  MatchDomainPattern(text.substr(0, half), text.substr(half));
  return 0;
}
