// Checks on incoming mail from outside: DKIM verification of every signature
// (libopendkim), SPF of the client address and MAIL FROM/HELO (libspf2) and DMARC
// from their results (libopendmarc), written as one Authentication-Results
// header (RFC 8601) under this host's authserv-id. The SMTP server runs them at
// the end of the data of a session that is neither from RelayNetworks nor
// authenticated; every DNS query goes to the configured name servers within one
// budget per message (auth_dns.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/mailauth/auth_dns.h"

// The check values of the general-values table.
struct AuthCheckSettings {
  bool check = false;         // AuthCheckIncoming: run the checks, add the header
};
AuthCheckSettings ReadAuthCheckSettings();

// One DKIM signature's outcome.
struct DkimOutcome {
  std::string result;   // pass, fail, neutral, permerror, temperror
  std::string reason;   // a short comment, or empty
  std::string domain;   // d=
  std::string selector; // s=
  std::string bTag;     // the first 8 characters of b= (RFC 6008)
};

// Verifies every signature of the message in `fd` from `offset` (CRLF lines) with
// key lookups through `budget`. An empty list: the message carries none.
std::vector<DkimOutcome> VerifyDkimSignatures(int fd, long long offset, AuthDnsBudget& budget);
// The same for a message in memory.
std::vector<DkimOutcome> VerifyDkimText(std::string_view message, AuthDnsBudget& budget);

// The header line(s), ending in CRLF: "Authentication-Results: <id>;" and one
// folded "method=result ..." part per outcome ("dkim=none" without signatures).
std::string FormatAuthResults(const std::string& authservId, const std::vector<DkimOutcome>& dkim);

// True when the value of an Authentication-Results field (after its colon) names
// `authservId` (without regard to case): a forgery when it reaches us from outside.
bool IsOurAuthResults(std::string_view value, const std::string& authservId);
