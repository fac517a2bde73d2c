// The resolver's record cache and the lookup walk over it.
//
// One record per owner name, in insertion order (the oldest first, which is what
// trimming removes). A record gathers what the name servers said about the name:
// its CNAME target, its IPv4 addresses, its mail exchangers sorted by preference,
// and the negative answers (an MX or A query that found nothing), so that the walk
// can tell "not asked yet" from "asked, nothing there".
//
// Nothing here locks, sends or reads a clock: the resolver holds its cache mutex
// around every call and passes the time in seconds.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/mx/dns_packet.h"

// Answers are kept at least this long, whatever time-to-live they came with.
inline constexpr long kMinRecordTtl = 300;
// Addresses kept per name.
inline constexpr size_t kMaxRecordAddresses = 32;
// CNAME or exchanger hops one walk follows before it gives up (-8).
inline constexpr int kMaxWalkHops = 16;

struct MxExchanger {
  std::string host;
  uint32_t preference = 0;
};

struct MxCacheRecord {
  std::string name;                     // the owner name as first seen
  std::string alias;                    // CNAME target, empty when none
  bool parentAlias = false;             // alias made by the parent-domain search
  std::vector<uint32_t> addresses;      // IPv4, network byte order, at most 32
  std::vector<MxExchanger> exchangers;  // ascending preference, ties in arrival order
  bool noExchangers = false;            // an MX query for the name found none
  bool noAddress = false;               // an A query for the name found none
  long ttl = -1;                        // seconds; -1 while unset, else >= 300
  int64_t storedAt = 0;                 // seconds of the last update
};

struct MxCache {
  std::list<MxCacheRecord> records;  // insertion order, oldest first
  std::unordered_map<std::string, std::list<MxCacheRecord>::iterator> byName;  // DnsNameKey
};

// The record of `name` (any case), or null.
const MxCacheRecord* FindCacheRecord(const MxCache& cache, std::string_view name);
// The record of `name`, created at the end of the cache when missing.
MxCacheRecord& TouchCacheRecord(MxCache& cache, std::string_view name);

// Sets a record's time-to-live for fresh data: at least 300 s, and never longer
// than what an earlier, still valid answer allowed.
void RefreshRecordTtl(MxCacheRecord& record, uint32_t ttl, int64_t now);

// Finds or creates the record for `name`, sets its time, its alias when one is
// given and adds `address` (network order; 0 = none) when not already there.
// Logs "MX-> Simple: ...".
void AddSimpleRecord(MxCache& cache, std::string_view name, std::string_view alias,
                     uint32_t address, long ttl, int64_t now);

// Stores the usable records of a response to the question `questionName`. Only
// records that belong to the question are taken: answers owned by the question
// name or by a CNAME target named earlier in the answer, and additional A records
// (glue) of exchangers or CNAME targets named in the answer; anything else a
// server volunteers is ignored, so an answer cannot plant addresses for names
// nobody asked about. Returns the number of answer records stored.
int ApplyResponse(MxCache& cache, const DnsResponse& response, std::string_view questionName,
                  int64_t now);

// Notes that a query of `type` (MX or A) for `name` found nothing.
void MarkNegativeAnswer(MxCache& cache, std::string_view name, uint16_t type, int64_t now);

// Drops every record whose time-to-live is set and whose age exceeds it, logging
// "MX->Old record: %s". Returns the number dropped.
int ExpireCacheRecords(MxCache& cache, int64_t now);
// Drops the oldest records until at most `limit` remain (limit < 0: none).
// Returns the number dropped.
int TrimCache(MxCache& cache, long limit);
void ClearCache(MxCache& cache);

// ---- The lookup walk ------------------------------------------------------------

enum class WalkStep {
  kResult,        // `result` holds the host and its addresses
  kError,         // `error` holds a result code (-7 level, -8 loop)
  kNeedQuery,     // ask `name` for `type`; the walk cannot go on without it
  kNoExchangers,  // `name` is known to have no MX records
  kNoAddress,     // `name` is known to have no A records
};

struct WalkOutcome {
  WalkStep step = WalkStep::kError;
  int error = 0;
  std::string name;       // kNeedQuery, kNoExchangers, kNoAddress
  uint16_t type = 0;      // kNeedQuery
  std::string resultName; // kResult: the host whose addresses these are
  std::vector<uint32_t> resultAddresses;
};

// Mail walk: the `level`-th exchanger of `domain` (following the domain's CNAME
// chain), then that exchanger's addresses (following its own chain). A level
// beyond the exchangers, or negative, gives -7; a name met twice in one chain
// gives -8. An exchanger known to have no address gives kNoAddress.
WalkOutcome WalkForMail(const MxCache& cache, std::string_view domain, int level);
// Address walk (the fallback when a domain has no MX records): the addresses of
// `name` through its CNAME chain; they serve level 0 only (-7 otherwise). Aliases
// made by the parent-domain search are not followed (kNoAddress).
WalkOutcome WalkForAddress(const MxCache& cache, std::string_view name, int level);
