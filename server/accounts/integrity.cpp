// The account integrity check.
#include "server/accounts/integrity.h"

#include <cctype>
#include <cstdio>
#include <set>

#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

constexpr const char* kRoot = "root";
constexpr const char* kListServer = "listserver";
constexpr const char* kListSection = "Configuration";
constexpr const char* kListNameValue = "ListName";
constexpr const char* kListIdValue = "ListId";
constexpr size_t kListIdChars = 19;
constexpr unsigned kMaxListId = 0xFFFF;

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EqualNoCaseText(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

const char* DomainOrNull(const std::string& domain) {
  return domain.empty() ? nullptr : domain.c_str();
}

bool IsRemote(const std::string& address) {
  return address.find_first_of("@!") != std::string::npos;
}

std::string ReadListId(const std::string& listConfig, const std::string& domain) {
  return ConfigGetText(kListSection, kListIdValue, "", DomainOrNull(domain), listConfig.c_str(),
                       kListIdChars);
}

// What the account window would have shown in a message box.
void TellAdministrator(const std::string& text) { LogEvent(0, kLogAlways, "%s", text.c_str()); }

void CheckAlias(const std::string& alias, const std::string& domain) {
  std::string target, why;
  if (!GetAliasTarget(alias, target, domain)) return;
  // An alias that leaves the machine is the forward's job, not a broken alias.
  if (IsRemote(target)) return;
  if (target.empty() || GetAccountType(target, domain) == kAccountNone) {
    if (target.empty()) {
      target = kRoot;
      WriteAliasRecord(alias, kRoot, domain, why);
    } else {
      TellAdministrator(FormatText(
          "Rerouting user alias '%s' to root as user no longer exists.", target.c_str()));
      WriteAliasRecord(target, kRoot, domain, why);
    }
  }
  std::string finalName;
  if (!CheckAliasChain(alias, domain, finalName)) {
    LogEvent(0, kLogAlways, "Alias check failed, setting to root: %s", alias.c_str());
    // Point the alias's target at root; when the alias points at itself, the
    // alias itself is the target.
    if (!EqualNoCaseText(target, kRoot)) WriteAliasRecord(target, kRoot, domain, why);
    else WriteAliasRecord(alias, kRoot, domain, why);
  } else {
    LogEvent(0, kLogGeneralDebug, "Alias checked: %s->%s", alias.c_str(), finalName.c_str());
  }
}

void CheckList(const std::string& list, const std::string& domain) {
  std::string owner, config, record, displayName, why;
  GetListOwner(list, owner, domain);
  GetAccountConfigName(list, config, domain);
  if (IsRemote(owner)) {
    LogEvent(0, kLogAlways, "List %s has remote list-owner: %s", list.c_str(), owner.c_str());
  } else {
    AccountType type = owner.empty() ? kAccountNone : GetAccountType(owner, domain);
    if (type == kAccountNone || type == kAccountList || type == kAccountResponder) {
      TellAdministrator(FormatText(
          "Setting root user up as the owner of the list '%s' as there is no valid local "
          "list owner.",
          list.c_str()));
      if (LookupAccount(list, record, domain, false)) GetRecordField(record, 1, displayName);
      std::string storedConfig;
      GetRecordField(record, 2, storedConfig);
      WriteListRecord(list, displayName, storedConfig, kRoot, domain, why);
    }
  }
  if (config.empty()) config = list;
  ConfigSetString(kListSection, kListNameValue, list.c_str(), DomainOrNull(domain), config.c_str());
  if (!IsValidListId(ReadListId(config, domain))) AssignListId(config, domain);
}

}  // namespace

bool IsValidListId(const std::string& text) {
  unsigned long value = 0;
  size_t digits = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) break;
    value = value * 16 + unsigned(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    if (value > 0xFFFFFFFFul) return true;
    ++digits;
  }
  return digits > 0 && value != 0;
}

bool CheckAliasChain(const std::string& alias, const std::string& domain,
                     std::string& finalName) {
  std::set<std::string> visited;
  std::string start = Lower(alias);
  std::string current = alias;
  for (;;) {
    std::string target;
    if (GetAccountType(current, domain) != kAccountAlias || !GetAliasTarget(current, target, domain))
      return false;
    std::string key = Lower(target);
    if (key == start || visited.count(key)) return false;
    if (IsRemote(target) || GetAccountType(target, domain) != kAccountAlias) {
      finalName = target;
      return true;
    }
    visited.insert(key);
    current = target;
  }
}

bool AssignListId(const std::string& listConfig, const std::string& domain) {
  std::set<std::string> used;
  ForEachAccount(domain, [&](const AccountEntry& e) {
    if (e.type != kAccountList) return true;
    std::string config;
    GetAccountConfigName(e.name, config, domain);
    if (config.empty()) config = e.name;
    if (!EqualNoCaseText(config, listConfig)) used.insert(Lower(ReadListId(config, domain)));
    return true;
  });
  for (unsigned n = 1; n <= kMaxListId; ++n) {
    char id[8];
    snprintf(id, sizeof id, "%04x", n);
    if (used.count(id)) continue;
    return ConfigSetString(kListSection, kListIdValue, id, DomainOrNull(domain), listConfig.c_str());
  }
  return false;
}

AccountCounts CheckAccountProperties(const std::string& domain, std::vector<std::string>* names) {
  AccountCounts counts;
  // A snapshot first: the repairs below write records, which must not disturb
  // the walk.
  std::vector<AccountEntry> entries;
  ForEachAccount(domain, [&](const AccountEntry& e) {
    entries.push_back(e);
    return true;
  });
  for (const AccountEntry& e : entries) {
    if (EqualNoCaseText(e.name, kListServer)) continue;
    if (names) names->push_back(e.name);
    switch (e.type) {
      case kAccountUser: ++counts.users; break;
      case kAccountForward: ++counts.forwards; break;
      case kAccountResponder: ++counts.responders; break;
      case kAccountAlias: CheckAlias(e.name, domain); break;
      case kAccountList:
        ++counts.lists;
        CheckList(e.name, domain);
        break;
      default: break;
    }
  }
  return counts;
}

AccountCounts CheckAccountIntegrity(const std::string& domain, bool localRoot) {
  LogEvent(0, kLogAlways, "Checking integrity of accounts.");
  std::string why;
  if (!EnsureStandardAccounts(domain, localRoot, why))
    LogEvent(0, kLogGeneralDebug, "Integrity: %s", why.c_str());
  LogEvent(0, kLogAlways, "Checking integrity of account properties.");
  AccountCounts counts = CheckAccountProperties(domain);
  LogEvent(0, kLogAlways, "Integrity checks completed.");
  return counts;
}

void RunStartupIntegrityCheck() { CheckAccountIntegrity("", true); }

void RunPeriodicIntegrityCheck() {
  CheckAccountIntegrity("", true);
  for (const SecondaryDomain& d : SecondaryDomains()) CheckAccountIntegrity(d.name, false);
}
