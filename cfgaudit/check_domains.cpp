// cfgaudit: the virtual domains and the list and responder keys.
//
// Domain slots name digest files (the slot number is part of their names), so a
// bad slot is freed (an empty value, the slot list's rule) and every other slot
// keeps its number. List members have no such tie and are renumbered from User1
// when an entry had to go.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cfgaudit/cfgaudit.h"
#include "cfgaudit/cfgaudit_texts.h"
#include "platform/errors.h"
#include "platform/named_lock.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/lists/membership.h"

namespace t = cfgaudit_text;

namespace {

constexpr const char* kListsSection = "ListsAndResponders";
constexpr const char* kNumDomains = "NumDomains";
constexpr const char* kNumActualDomains = "NumActualDomains";
constexpr const char* kDomainPrefix = "Domain";
constexpr const char* kNumUsers = "NumUsers";
constexpr const char* kActualUsers = "ActualUsers";
constexpr const char* kMemberPrefix = "User";

// A counter the server can read: a REG_DWORD, or a text that starts with a digit.
bool ReadCounter(const std::vector<RegValue>& values, const char* name, long& out) {
  for (const RegValue& v : values) {
    if (!SameName(v.name, name)) continue;
    constexpr long kUnread = -1;
    out = ParseNumberValue(v.type, v.data, kUnread, true);
    return out != kUnread || (v.type == kRegDword && v.data.size() == 4);
  }
  return false;
}

// The slot number of "<prefix><digits>", else -1.
long SlotNumber(const std::string& name, const char* prefix) {
  size_t n = std::string(prefix).size();
  if (name.size() <= n || FoldName(name.substr(0, n)) != FoldName(prefix) || name.size() - n > 9 ||
      name.find_first_not_of("0123456789", n) != std::string::npos)
    return -1;
  return std::stol(name.substr(n));
}

// The key a domain slot names: the text after its first ';'; empty when none.
std::string SlotSubkey(const RegValue& v) {
  if (v.type != kRegSz) return std::string();
  std::string text = RegDecodeSz(v.data);
  size_t semi = text.find(';');
  return semi == std::string::npos ? std::string() : text.substr(semi + 1);
}

void ReportResult(Audit& a, RepairResult r, const std::string& label) {
  if (r == RepairResult::kChangedMeanwhile)
    a.log.Printf(t::kChangedMeanwhile, label.c_str());
  else if (r == RepairResult::kFailed)
    a.log.Printf(t::kRepairFailed, label.c_str(), (unsigned long)LastWinError());
}

// Deletes the domain key `sub` unless a slot names it by now.
RepairResult DeleteDomainKey(const std::string& domainsKey, const std::string& sub) {
  RegTransaction tx;
  std::vector<RegValue> now;
  if (!tx.ok() || !RegEnumValues(domainsKey, now)) return RepairResult::kFailed;
  for (const RegValue& v : now)
    if (FoldName(SlotSubkey(v)) == FoldName(sub)) return RepairResult::kChangedMeanwhile;
  if (!RegDeleteKeyTree(domainsKey + "\\" + sub) || !tx.Commit()) return RepairResult::kFailed;
  return RepairResult::kDone;
}

// Sets both domain counters from the slots as they are now: NumActualDomains to
// the filled slots, NumDomains never below its readable value or the highest
// filled slot.
RepairResult RewriteDomainCounters(const std::string& domainsKey) {
  RegTransaction tx;
  std::vector<RegValue> now;
  if (!tx.ok() || !RegEnumValues(domainsKey, now)) return RepairResult::kFailed;
  long filled = 0, highest = 0, stored = 0;
  if (!ReadCounter(now, kNumDomains, stored)) stored = 0;
  for (const RegValue& v : now) {
    long slot = SlotNumber(v.name, kDomainPrefix);
    if (slot < 0 || v.type != kRegSz || RegDecodeSz(v.data).empty()) continue;
    ++filled;
    highest = std::max(highest, slot);
  }
  bool ok = RegSetDword(domainsKey, kNumActualDomains, uint32_t(filled)) &&
            RegSetDword(domainsKey, kNumDomains, uint32_t(std::max(stored, highest)));
  if (!ok || !tx.Commit()) return RepairResult::kFailed;
  return RepairResult::kDone;
}

// The keys under ListsAndResponders that account records name, by folded name:
// true for a list (whose members are checked), false for a responder. A record
// names a key by its own name and by its configuration name.
std::unordered_map<std::string, bool> ListOwners(const std::string& usersKey) {
  std::unordered_map<std::string, bool> owners;
  std::vector<RegValue> records;
  RegEnumValues(usersKey, records);
  for (const RegValue& v : records) {
    if (v.type != kRegSz) continue;
    std::string text = RegDecodeSz(v.data);
    AccountType type = AccountTypeOfRecord(text);
    if ((type != kAccountList && type != kAccountResponder) || text.size() < 2 || text[1] != ';')
      continue;
    bool isList = type == kAccountList;
    std::vector<std::string> fields = SplitRecordFields(text);
    std::vector<std::string> names{v.name};
    if (fields.size() >= 2) names.push_back(PathFileName(fields[1]));
    for (const std::string& n : names) {
      if (n.empty()) continue;
      bool& entry = owners[FoldName(n)];
      entry = entry || isList;
    }
  }
  return owners;
}

RepairResult DeleteOrphanKey(const std::string& usersKey, const std::string& listsKey,
                             const std::string& sub) {
  RegTransaction tx;
  if (!tx.ok()) return RepairResult::kFailed;
  if (ListOwners(usersKey).count(FoldName(sub))) return RepairResult::kChangedMeanwhile;
  if (!RegDeleteKeyTree(listsKey + "\\" + sub) || !tx.Commit()) return RepairResult::kFailed;
  return RepairResult::kDone;
}

// A member record the server can use: "<options>;<address>;..." with an address.
bool IsValidMember(const RegValue& v) {
  if (v.type != kRegSz) return false;
  std::string text = RegDecodeSz(v.data);
  size_t semi = text.find(';');
  if (text.size() < 2 || semi == std::string::npos) return false;
  size_t end = text.find(';', semi + 1);
  return (end == std::string::npos ? text.size() : end) > semi + 1;
}

// Renumbers the valid members from User1 as they are now and sets both counters.
// Slots are rewritten in place, so the values keep their places in the key.
RepairResult CompactMembers(const std::string& key) {
  RegTransaction tx;
  std::vector<RegValue> now;
  if (!tx.ok() || !RegEnumValues(key, now)) return RepairResult::kFailed;
  std::vector<std::pair<long, const RegValue*>> slots;
  for (const RegValue& v : now) {
    long slot = SlotNumber(v.name, kMemberPrefix);
    if (slot >= 0) slots.emplace_back(slot, &v);
  }
  std::sort(slots.begin(), slots.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> members;
  std::unordered_set<std::string> oldNames;
  for (const auto& [slot, v] : slots) {
    oldNames.insert(FoldName(v->name));
    if (IsValidMember(*v)) members.push_back(v->data);
  }
  bool ok = true;
  for (size_t i = 0; ok && i < members.size(); ++i) {
    std::string name = kMemberPrefix + std::to_string(i + 1);
    oldNames.erase(FoldName(name));
    ok = RegSetValue(key, name, kRegSz, members[i]);
  }
  for (const auto& [slot, v] : slots)
    if (ok && oldNames.count(FoldName(v->name))) ok = RegDeleteValue(key, v->name);
  ok = ok && RegSetDword(key, kNumUsers, uint32_t(members.size())) &&
       RegSetDword(key, kActualUsers, uint32_t(members.size()));
  if (!ok || !tx.Commit()) return RepairResult::kFailed;
  return RepairResult::kDone;
}

// The renumbering holds the list's lock, as every change of its members does, so
// a subscription that read the slots before cannot write over a moved member.
RepairResult CompactListMembers(const std::string& key, const std::string& domain,
                                const std::string& config) {
  ListRef list;
  list.domain = domain;
  list.config = config;
  NamedLock lock;
  if (!LockListMembers(list, lock)) return RepairResult::kFailed;
  return CompactMembers(key);
}

void CheckMembers(Audit& a, const std::string& key, const std::string& domain, const std::string& label) {
  if (!RegKeyExists(key)) {
    a.log.Printf(t::kNoMembers, label.c_str());
    return;
  }
  std::vector<RegValue> values;
  if (!RegEnumValues(key, values)) {
    a.log.Printf(t::kListsEnumError, (unsigned long)LastWinError());
    ++a.findings;
    return;
  }
  bool mend = false;
  long n = 0;
  if (!ReadCounter(values, kNumUsers, n)) {
    a.log.Write(t::kNumUsersUnreadable);
    mend = true;
  }
  if (!ReadCounter(values, kActualUsers, n)) {
    a.log.Write(t::kActualUsersUnreadable);
    mend = true;
  }
  for (const RegValue& v : values) {
    if (SlotNumber(v.name, kMemberPrefix) < 0 || IsValidMember(v)) continue;
    a.log.Printf(t::kInvalidMember, v.type == kRegSz ? RegDecodeSz(v.data).c_str() : "");
    mend = true;
  }
  if (!mend) return;
  ++a.findings;
  a.log.Printf(t::kCompactingMembers, label.c_str());
  ReportResult(a, CompactListMembers(key, domain, label), label);
}

}  // namespace

void CheckListsAndResponders(Audit& a, const std::string& domain) {
  bool primary = domain.empty();
  if (primary) a.log.Write(t::kListsBegin);
  std::string listsKey = ConfigKeyPath(kListsSection, domain.c_str());
  std::string usersKey = ConfigKeyPath(kUsersSection, domain.c_str());
  std::vector<std::string> subs;
  if (RegKeyExists(listsKey)) {
    if (!RegEnumKeys(listsKey, subs)) {
      a.log.Write(t::kListsKeyError);
      ++a.findings;
      subs.clear();
    }
  }
  std::unordered_map<std::string, bool> owners = ListOwners(usersKey);
  for (const std::string& sub : subs) {
    auto owner = owners.find(FoldName(sub));
    if (owner == owners.end()) {
      a.log.Printf(t::kOrphanSubkey, sub.c_str());
      ++a.findings;
      ReportResult(a, DeleteOrphanKey(usersKey, listsKey, sub), sub);
      continue;
    }
    if (owner->second)
      CheckMembers(a, ConfigKeyPath(kListUsersSection, domain.c_str(), sub.c_str()), domain, sub);
  }
  if (primary) a.log.Write(t::kListsEnd);
}

void CheckVirtualDomains(Audit& a) {
  a.log.Write(t::kDomainsBegin);
  std::string key = ConfigKeyPath(kVirtualDomainsSection);
  std::vector<RegValue> values;
  std::vector<std::string> subs;
  if (!RegKeyExists(key)) {
    a.log.Write(t::kNoDomains);
  } else if (!RegEnumValues(key, values) || !RegEnumKeys(key, subs)) {
    a.log.Printf(t::kKeyEnumError, (unsigned long)LastWinError());
    ++a.findings;
  } else {
    bool rewriteCounters = false;
    long n = 0;
    if (!ReadCounter(values, kNumActualDomains, n)) {
      a.log.Write(t::kNumActualUnreadable);
      rewriteCounters = true;
    }
    if (!ReadCounter(values, kNumDomains, n)) {
      a.log.Write(t::kNumDomainsUnreadable);
      rewriteCounters = true;
    }
    if (rewriteCounters) ++a.findings;
    std::vector<std::string> domains;
    for (const RegValue& v : values) {
      if (SameName(v.name, kNumDomains) || SameName(v.name, kNumActualDomains)) continue;
      if (v.type != kRegSz) {
        // Told, not counted: nothing reads it, and nothing here may judge it.
        a.log.Write(t::kWrongDataType);
        continue;
      }
      std::string text = RegDecodeSz(v.data);
      if (text.empty()) continue;  // a free slot
      std::string sub = SlotSubkey(v);
      if (text.find(';') == std::string::npos) {
        a.log.Write(t::kNoSeparator);
      } else if (sub.empty() || sub.find('\\') != std::string::npos || !RegKeyExists(key + "\\" + sub)) {
        a.log.Printf(t::kDomainKeyMissing, v.name.c_str());
      } else {
        domains.push_back(sub);
        continue;
      }
      ++a.findings;
      ValueRepair freeSlot;
      freeSlot.key = key;
      freeSlot.name = v.name;
      freeSlot.seen = v;
      freeSlot.data = RegEncodeSz("");
      if (ApplyAndReport(a, freeSlot, v.name)) rewriteCounters = true;
    }
    for (const std::string& domain : domains) {
      a.log.Printf(t::kDomainHeader, domain.c_str());
      CheckUsers(a, domain);
      if (RegKeyExists(ConfigKeyPath(kListsSection, domain.c_str()))) CheckListsAndResponders(a, domain);
    }
    std::unordered_set<std::string> named;
    for (const std::string& d : domains) named.insert(FoldName(d));
    for (const std::string& sub : subs) {
      if (named.count(FoldName(sub))) continue;
      a.log.Printf(t::kDeletingSubkey, sub.c_str());
      ++a.findings;
      ReportResult(a, DeleteDomainKey(key, sub), sub);
    }
    if (rewriteCounters) ReportResult(a, RewriteDomainCounters(key), kNumDomains);
  }
  a.log.Write(t::kDomainsEnd);
}
