// DNS for the checks on incoming mail: one query at a time, over UDP, to the
// server's configured name servers (DomainServer, ';'-separated IPv4 addresses,
// each tried in turn), within a time budget shared by every query of a message.
// A reply that comes back truncated (TC) is asked again over TCP of the same
// server (RFC 7766), within the same bounds; when TCP gives nothing, the
// truncated reply is the answer.
// A message's checks therefore never take longer than the budget, however many
// signatures it carries or however slow its DNS is: once the budget is spent,
// every further query fails at once and its result is a temporary error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint16_t kDnsTypeTxtRecord = 16;
// How long one message's checks may wait for DNS in all, and one query at most.
inline constexpr uint32_t kAuthDnsBudgetMs = 8000;
inline constexpr uint32_t kAuthDnsQueryMs = 3000;

struct AuthDnsBudget {
  std::vector<std::string> servers;  // dotted IPv4, optionally ":port"
  uint64_t deadlineMs = 0;           // CLOCK_MONOTONIC milliseconds
  uint32_t queryMs = kAuthDnsQueryMs;
};

// A budget of `budgetMs` from now over the servers of `list` (DomainServer's form).
AuthDnsBudget StartAuthDnsBudget(const std::string& list, uint32_t budgetMs = kAuthDnsBudgetMs);

enum class AuthDnsResult {
  kAnswer,   // `packet` holds a reply (any response code)
  kTimeout,  // no reply within the budget
  kError,    // the query could not be made (a bad name, no server)
};

// Asks for `name`'s records of `type`; the reply's raw bytes go to `packet`.
// Answers are kept in a small cache of the process (per server list, name and
// type) for as long as their records' TTLs allow: the least TTL of the answer
// records, or for a name or type that does not exist the SOA's negative TTL
// (RFC 2308); replies without either (no SOA, an error code, a truncated reply,
// a TTL of 0) are not kept. A cached answer is returned even when the budget is
// spent, without a query.
AuthDnsResult QueryAuthDns(AuthDnsBudget& budget, std::string_view name, uint16_t type,
                           std::string& packet);

// How long a reply may be cached, in seconds (0: not at all), by the rules above.
uint32_t AuthDnsCacheSeconds(const std::string& packet);
// The cache's bound (entries), the longest time it keeps an answer, and a way
// for tests to empty it.
inline constexpr size_t kAuthDnsCacheEntries = 2048;
inline constexpr uint32_t kAuthDnsCacheMaxSeconds = 3600;
void ClearAuthDnsCache();
// How many entries the cache holds now.
size_t AuthDnsCacheSize();

// Wire helpers for the readers of replies: big-endian numbers, and the offset
// past a (possibly compressed) name at `pos` (0 when it runs past `length`).
uint16_t ReadDns16(const uint8_t* p);
uint32_t ReadDns32(const uint8_t* p);
size_t SkipDnsName(const uint8_t* data, size_t length, size_t pos);

// The TXT strings of each TXT answer record of `packet` for `name`, each
// record's strings joined. False when the packet cannot be read.
bool ReadTxtAnswers(const std::string& packet, std::vector<std::string>& out, int& rcode);
