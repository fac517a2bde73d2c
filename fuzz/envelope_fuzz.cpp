// Fuzzes both envelope readers: the router's and the outgoing queue's. Every
// recipient they report must point at a pending "T" line inside the data, and
// the message must start within it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/spool/spool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool atEnd = data[0] & 1;
  long limit = 1 + (data[0] >> 1) % 8;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  RouterEnvelope router;
  std::string why;
  if (ParseRouterEnvelope(text, atEnd, limit, router, why)) {
    if (router.messageOffset < 0 || size_t(router.messageOffset) > text.size()) __builtin_trap();
    if (router.recipients.size() > size_t(limit)) __builtin_trap();
    for (const EnvelopeRecipient& r : router.recipients) {
      if (r.lineOffset < 0 || size_t(r.lineOffset) >= text.size()) __builtin_trap();
      if (text[size_t(r.lineOffset)] != 'T') __builtin_trap();
    }
  }
  OutgoingEnvelope outgoing;
  int rc = ParseOutgoingEnvelope(text, atEnd, outgoing, why);
  if (rc > 0) {
    if (outgoing.messageOffset < 0 || size_t(outgoing.messageOffset) > text.size()) __builtin_trap();
    if (outgoing.recipients.size() > size_t(kOutgoingRecipientsPerPass)) __builtin_trap();
    for (const EnvelopeRecipient& r : outgoing.recipients) {
      if (text.substr(size_t(r.lineOffset), 3) != "To:") __builtin_trap();
      if (r.address.empty() || r.address.size() > kOutgoingLineLimit) __builtin_trap();
    }
  }
  if (rc < 0 && why.empty()) __builtin_trap();
  return 0;
}
