// Fuzzes the header rewriting of one copy block and the mailbox separator
// quoting: the rewriting may only consume bytes it was given, and quoting must
// give the same bytes however the input is split between reads.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/spool/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t switches = data[0];
  size_t cut = data[1];
  std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  CopyOptions o;
  o.processHeaders = true;
  o.identity.host = "mail.example.com";
  o.identity.hostAddress = "192.0.2.10";
  o.identity.incomingAliases = "*.corp.org";
  o.agent = "router";
  o.productText = "Corvel95 V1.0";
  o.useAccounts = false;  // no registry here
  o.mapDomainsAndDropReceipts = switches & 1;
  if (switches & 2) o.missing.idName = "/spool/0000abcd.in";
  std::string_view block = text.substr(0, kCopyBlockSize);
  std::string out;
  size_t consumed = RewriteHeaderBlock(block, (switches & 4) != 0, o, out);
  if (consumed > block.size()) __builtin_trap();

  std::string whole, split;
  FromQuoter a, b;
  QuoteFromLines(a, text, whole);
  FinishFromQuoting(a, whole);
  cut = cut % (text.size() + 1);
  QuoteFromLines(b, text.substr(0, cut), split);
  QuoteFromLines(b, text.substr(cut), split);
  FinishFromQuoting(b, split);
  if (whole != split) __builtin_trap();
  return 0;
}
