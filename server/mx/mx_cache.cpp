#include "server/mx/mx_cache.h"

#include <algorithm>
#include <arpa/inet.h>
#include <unordered_set>

#include "server/core/log.h"

namespace {

std::string FormatAddress(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

void AddAddress(MxCacheRecord& record, uint32_t address) {
  if (record.addresses.size() >= kMaxRecordAddresses) return;
  if (std::find(record.addresses.begin(), record.addresses.end(), address) ==
      record.addresses.end())
    record.addresses.push_back(address);
}

// Inserts before the first entry with a larger preference: equal preferences keep
// the order in which the server sent them.
void InsertExchanger(std::vector<MxExchanger>& list, const std::string& host,
                     uint32_t preference) {
  auto at = std::upper_bound(list.begin(), list.end(), preference,
                             [](uint32_t p, const MxExchanger& e) { return p < e.preference; });
  list.insert(at, MxExchanger{host, preference});
}

// The names one walk has passed through; meeting one again is a loop.
struct Visited {
  std::unordered_set<std::string> names;
  bool Enter(std::string_view name) { return names.insert(DnsNameKey(name)).second; }
};

WalkOutcome Error(int code) {
  WalkOutcome o;
  o.step = WalkStep::kError;
  o.error = code;
  return o;
}

WalkOutcome Named(WalkStep step, std::string_view name, uint16_t type = 0) {
  WalkOutcome o;
  o.step = step;
  o.name = std::string(name);
  o.type = type;
  return o;
}

constexpr int kErrOutOfBounds = -7;
constexpr int kErrCyclic = -8;

}  // namespace

const MxCacheRecord* FindCacheRecord(const MxCache& cache, std::string_view name) {
  auto it = cache.byName.find(DnsNameKey(name));
  return it == cache.byName.end() ? nullptr : &*it->second;
}

MxCacheRecord& TouchCacheRecord(MxCache& cache, std::string_view name) {
  std::string key = DnsNameKey(name);
  auto it = cache.byName.find(key);
  if (it != cache.byName.end()) return *it->second;
  MxCacheRecord record;
  record.name = std::string(name);
  if (!record.name.empty() && record.name.back() == '.') record.name.pop_back();
  cache.records.push_back(std::move(record));
  auto pos = std::prev(cache.records.end());
  cache.byName.emplace(std::move(key), pos);
  return *pos;
}

void RefreshRecordTtl(MxCacheRecord& record, uint32_t ttl, int64_t now) {
  long fresh = std::max<long>(kMinRecordTtl, long(std::min<uint32_t>(ttl, 0x7FFFFFFF)));
  if (record.ttl > 0) {
    long left = long(record.storedAt + record.ttl - now);
    if (left >= kMinRecordTtl && left < fresh) fresh = left;
  }
  record.ttl = fresh;
  record.storedAt = now;
}

void AddSimpleRecord(MxCache& cache, std::string_view name, std::string_view alias,
                     uint32_t address, long ttl, int64_t now) {
  MxCacheRecord& record = TouchCacheRecord(cache, name);
  RefreshRecordTtl(record, uint32_t(std::max<long>(ttl, 0)), now);
  if (!alias.empty()) {
    record.alias = std::string(alias);
    record.parentAlias = false;
  }
  if (address) {
    AddAddress(record, address);
    record.noAddress = false;
  }
  std::string text = FormatAddress(address);
  if (alias.empty())
    LogEvent(0, kLogMxDebug, "MX-> Simple: %s: %s, TTL: %ld", record.name.c_str(), text.c_str(),
             record.ttl);
  else
    LogEvent(0, kLogMxDebug, "MX-> Simple: %s->%s: %s, TTL: %ld", record.name.c_str(),
             record.alias.c_str(), text.c_str(), record.ttl);
}

int ApplyResponse(MxCache& cache, const DnsResponse& response, std::string_view questionName,
                  int64_t now) {
  // Names this answer may speak about: the question, then every CNAME target and
  // exchanger it names, in order.
  std::unordered_set<std::string> owners{DnsNameKey(questionName)};
  std::unordered_set<std::string> glueOwners;
  // Exchangers of this answer per owner; they replace what the cache held.
  std::vector<std::pair<std::string, std::vector<MxExchanger>>> exchangers;
  int stored = 0;
  for (const DnsRecord& rr : response.records) {
    if (rr.section != DnsSection::kAnswer) continue;
    std::string key = DnsNameKey(rr.owner);
    if (!owners.count(key)) continue;
    if (rr.type == kDnsTypeCname) {
      AddSimpleRecord(cache, rr.owner, rr.target, 0, long(rr.ttl), now);
      owners.insert(DnsNameKey(rr.target));
      glueOwners.insert(DnsNameKey(rr.target));
    } else if (rr.type == kDnsTypeA) {
      AddSimpleRecord(cache, rr.owner, {}, rr.address, long(rr.ttl), now);
    } else if (rr.type == kDnsTypeMx) {
      auto it = std::find_if(exchangers.begin(), exchangers.end(),
                             [&](const auto& e) { return e.first == key; });
      if (it == exchangers.end()) {
        exchangers.emplace_back(key, std::vector<MxExchanger>{});
        it = std::prev(exchangers.end());
      }
      InsertExchanger(it->second, rr.target, rr.preference);
      MxCacheRecord& record = TouchCacheRecord(cache, rr.owner);
      RefreshRecordTtl(record, rr.ttl, now);
      glueOwners.insert(DnsNameKey(rr.target));
    } else {
      continue;
    }
    ++stored;
  }
  for (auto& [key, list] : exchangers) {
    MxCacheRecord& record = TouchCacheRecord(cache, key);
    record.exchangers = std::move(list);
    record.noExchangers = false;
    for (const MxExchanger& e : record.exchangers)
      LogEvent(0, kLogMxDebug, "MX-> MX: %s: %s (%u), TTL: %ld", record.name.c_str(),
               e.host.c_str(), e.preference, record.ttl);
  }
  for (const DnsRecord& rr : response.records) {
    if (rr.section != DnsSection::kAdditional || rr.type != kDnsTypeA) continue;
    if (!glueOwners.count(DnsNameKey(rr.owner))) continue;
    AddSimpleRecord(cache, rr.owner, {}, rr.address, long(rr.ttl), now);
  }
  return stored;
}

void MarkNegativeAnswer(MxCache& cache, std::string_view name, uint16_t type, int64_t now) {
  MxCacheRecord& record = TouchCacheRecord(cache, name);
  if (type == kDnsTypeMx) {
    record.exchangers.clear();
    record.noExchangers = true;
  } else {
    record.noAddress = true;
  }
  RefreshRecordTtl(record, kMinRecordTtl, now);
}

int ExpireCacheRecords(MxCache& cache, int64_t now) {
  int dropped = 0;
  for (auto it = cache.records.begin(); it != cache.records.end();) {
    if (it->ttl > 0 && now - it->storedAt > it->ttl) {
      LogEvent(0, kLogMxDebug, "MX->Old record: %s", it->name.c_str());
      cache.byName.erase(DnsNameKey(it->name));
      it = cache.records.erase(it);
      ++dropped;
    } else {
      ++it;
    }
  }
  return dropped;
}

int TrimCache(MxCache& cache, long limit) {
  int dropped = 0;
  if (limit < 0) return 0;
  while (cache.records.size() > size_t(limit)) {
    cache.byName.erase(DnsNameKey(cache.records.front().name));
    cache.records.pop_front();
    ++dropped;
  }
  return dropped;
}

void ClearCache(MxCache& cache) {
  cache.byName.clear();
  cache.records.clear();
}

WalkOutcome WalkForAddress(const MxCache& cache, std::string_view name, int level) {
  Visited visited;
  std::string current(name);
  for (int hop = 0; hop <= kMaxWalkHops; ++hop) {
    if (!visited.Enter(current)) return Error(kErrCyclic);
    const MxCacheRecord* record = FindCacheRecord(cache, current);
    if (!record) return Named(WalkStep::kNeedQuery, current, kDnsTypeA);
    if (!record->alias.empty()) {
      if (record->parentAlias) return Named(WalkStep::kNoAddress, current);
      current = record->alias;
      continue;
    }
    if (!record->addresses.empty()) {
      if (level != 0) return Error(kErrOutOfBounds);
      WalkOutcome o;
      o.step = WalkStep::kResult;
      o.resultName = record->name;
      o.resultAddresses = record->addresses;
      return o;
    }
    if (record->noAddress) return Named(WalkStep::kNoAddress, current);
    return Named(WalkStep::kNeedQuery, current, kDnsTypeA);
  }
  return Error(kErrCyclic);
}

WalkOutcome WalkForMail(const MxCache& cache, std::string_view domain, int level) {
  Visited visited;
  std::string current(domain);
  for (int hop = 0; hop <= kMaxWalkHops; ++hop) {
    if (!visited.Enter(current)) return Error(kErrCyclic);
    const MxCacheRecord* record = FindCacheRecord(cache, current);
    if (!record) return Named(WalkStep::kNeedQuery, current, kDnsTypeMx);
    if (!record->alias.empty()) {
      current = record->alias;
      continue;
    }
    if (!record->exchangers.empty()) {
      if (level < 0 || size_t(level) >= record->exchangers.size()) return Error(kErrOutOfBounds);
      // The exchanger's own chain is a walk of its own: a domain that is its own
      // exchanger is common and no loop.
      return WalkForAddress(cache, record->exchangers[size_t(level)].host, 0);
    }
    if (record->noExchangers) return Named(WalkStep::kNoExchangers, current);
    return Named(WalkStep::kNeedQuery, current, kDnsTypeMx);
  }
  return Error(kErrCyclic);
}
