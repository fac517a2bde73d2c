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
  bool rejectDmarc = false;   // AuthRejectDmarc: 550 when DMARC fails under p=reject
  bool tempfailDns = false;   // AuthTempfailDns: 451 when a check met a DNS error
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

// The SPF outcome of the client address for MAIL FROM (or HELO when MAIL FROM
// was empty).
struct SpfOutcome {
  std::string result;    // pass, fail, softfail, neutral, none, temperror, permerror
  std::string identity;  // the address (or HELO name) checked
  std::string domain;    // its domain
  bool fromHelo = false;
};
SpfOutcome CheckSpf(const std::string& clientIp, const std::string& helo,
                    const std::string& mailFrom, AuthDnsBudget& budget);

// Verifies every signature of the message in `fd` from `offset` (CRLF lines) with
// key lookups through `budget`. An empty list: the message carries none.
std::vector<DkimOutcome> VerifyDkimSignatures(int fd, long long offset, AuthDnsBudget& budget);
// The same for a message in memory.
std::vector<DkimOutcome> VerifyDkimText(std::string_view message, AuthDnsBudget& budget);

// The DMARC outcome for the From: header's domain.
struct DmarcOutcome {
  std::string result;      // pass, fail, none, temperror, permerror
  std::string policy;      // the domain's p=: none, quarantine, reject ("" without a record)
  std::string fromDomain;
};
DmarcOutcome CheckDmarc(const std::string& clientIp, const std::string& fromDomain,
                        const SpfOutcome& spf, const std::vector<DkimOutcome>& dkim,
                        AuthDnsBudget& budget);

// Everything the checks found about one message.
struct AuthReport {
  bool spfChecked = false;
  SpfOutcome spf;
  std::vector<DkimOutcome> dkim;
  bool dmarcChecked = false;
  DmarcOutcome dmarc;
};

// The header line(s), ending in CRLF: "Authentication-Results: <id>;" and one
// folded "method=result ..." part per outcome: spf, each dkim signature
// ("dkim=none" without signatures), dmarc.
std::string FormatAuthResults(const std::string& authservId, const AuthReport& report);

// What the policy values make of a report.
enum class AuthVerdict { kAccept, kRefuse, kLater };
// `why` gets the reply text for a refusal or a postponement.
AuthVerdict JudgeAuthReport(const AuthReport& report, const AuthCheckSettings& settings,
                            std::string& why);

// True when the value of an Authentication-Results field (after its colon) names
// `authservId` (without regard to case): a forgery when it reaches us from outside.
bool IsOurAuthResults(std::string_view value, const std::string& authservId);
