// Secondary (virtual) domains and the reserved accounts every domain must have.
//
// VirtualDomains holds NumDomains (the highest slot ever used), NumActualDomains
// (slots in use) and Domain%d = "description;name" per slot; an empty value is a
// free slot and is reused first. The in-memory table is built once at start-up;
// changes take effect in the router after a restart.
#include <algorithm>
#include <climits>
#include <map>
#include <mutex>

#include "server/accounts/accounts.h"
#include "server/accounts/accounts_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

constexpr const char* kNumDomains = "NumDomains";
constexpr const char* kNumActualDomains = "NumActualDomains";
constexpr const char* kDomainSlotPrefix = "Domain";  // "Domain%d"
constexpr const char* kRootMailboxFile = "root.mbx";

// The reserved account names and what the server makes of them.
constexpr const char* kRoot = "root";
constexpr const char* kPostmaster = "postmaster";
constexpr const char* kListServer = "listserver";
constexpr const char* kUnknown = "unknown";
constexpr const char* kMailDaemon = "mail-daemon";
constexpr const char* kReservedAccounts[] = {kRoot, kPostmaster, kListServer, kUnknown,
                                             kMailDaemon};
// Written in every new secondary domain as aliases of the list server.
constexpr const char* kListServerAliases[] = {"listproc", "listserv", "majordomo"};
constexpr const char* kRootUserNameIntegrity = "root user";  // the integrity check's root
constexpr const char* kRootUserNameSmtp = "root";             // SMTP start's root
constexpr const char* kListServerName = "ListServer";

std::mutex gDomainsLock;
std::vector<SecondaryDomain> gDomains;

std::string SlotName(int slot) { return kDomainSlotPrefix + std::to_string(slot); }

// The slot number of a value name "Domain<digits>", else 0.
int SlotOfValueName(const std::string& name) {
  size_t prefix = std::char_traits<char>::length(kDomainSlotPrefix);
  if (name.size() <= prefix || name.size() > prefix + 10 ||
      !EqualNoCase(name.substr(0, prefix), kDomainSlotPrefix))
    return 0;
  long long n = 0;
  for (size_t i = prefix; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n > INT_MAX ? 0 : int(n);
}

// The stored slot values with slot numbers 1..maxSlot, by slot. Walking the stored
// names (rather than every number up to NumDomains) keeps a damaged NumDomains of
// two billion from turning start-up into two billion registry reads.
std::map<int, std::string> ReadSlots(long maxSlot) {
  std::map<int, std::string> slots;
  for (const std::string& name : ConfigListValueNames(kVirtualDomainsSection)) {
    int slot = SlotOfValueName(name);
    if (slot < 1 || slot > maxSlot) continue;
    slots[slot] = ConfigGetText(kVirtualDomainsSection, name.c_str(), "");
  }
  return slots;
}

long ReadCounter(const char* name) {
  long n = ConfigGetNumber(kVirtualDomainsSection, name, 0);
  return n < 0 ? 0 : n;
}

// A slot's text "description;name"; false for a free slot or one without a name.
bool SplitSlot(int slot, const std::string& text, SecondaryDomain& out) {
  size_t semi = text.find(';');
  if (semi == std::string::npos || semi + 1 == text.size()) return false;
  out.description = text.substr(0, semi);
  out.name = text.substr(semi + 1);
  out.slot = slot;
  return true;
}

// This host's name, for root's forward in a secondary domain.
std::string LocalHostName() {
  std::string host = ServerSettings().localNode;
  if (host.empty()) host = ConfigGetText("", "LocalNode", "");
  return host;
}

std::string RootMailboxPath() {
  std::string dir = ServerSettings().userDirectory;
  if (dir.empty()) dir = ConfigGetDirectoryPath("", "UserDirectory");
  return dir + kRootMailboxFile;
}

// Records the first failure in `why` and remembers that something failed.
void NoteFailure(bool ok, const std::string& text, bool& allOk, std::string& why) {
  if (ok) return;
  if (allOk) why = text;
  allOk = false;
}

}  // namespace

// ---- Reserved accounts -------------------------------------------------------------

bool IsReservedAccount(const std::string& name) {
  for (const char* r : kReservedAccounts)
    if (EqualNoCase(name, r)) return true;
  return false;
}

bool EnsureStandardAccounts(const std::string& domain, bool localRoot, std::string& why) {
  bool allOk = true;
  std::string err;
  if (GetAccountType(kRoot, domain) == kAccountNone) {
    if (localRoot) {
      NoteFailure(WriteUserRecord(kRoot, kRootUserNameIntegrity, RootMailboxPath(), "", "",
                                  domain, err),
                  err, allOk, why);
    } else {
      std::string host = LocalHostName();
      if (host.empty()) {
        NoteFailure(false, "this host's name is not known", allOk, why);
      } else {
        NoteFailure(WriteForwardRecord(kRoot, FormatText("root@%s", host.c_str()), domain, err),
                    err, allOk, why);
      }
    }
  }
  for (const char* alias : {kUnknown, kMailDaemon}) {
    if (GetAccountType(alias, domain) == kAccountNone)
      NoteFailure(WriteAliasRecord(alias, kRoot, domain, err), err, allOk, why);
  }
  if (GetAccountType(kListServer, domain) == kAccountNone)
    NoteFailure(WriteResponderRecord(kListServer, "", "", domain, err), err, allOk, why);
  if (GetAccountType(kPostmaster, domain) == kAccountNone)
    NoteFailure(WriteAliasRecord(kPostmaster, kRoot, domain, err), err, allOk, why);
  return allOk;
}

bool EnsureReservedAccounts(std::string& why) {
  bool allOk = true;
  std::string err;
  const std::string primary;
  if (GetAccountType(kRoot, primary) == kAccountNone)
    NoteFailure(WriteUserRecord(kRoot, kRootUserNameSmtp, RootMailboxPath(), "", "", primary, err),
                err, allOk, why);
  if (GetAccountType(kPostmaster, primary) == kAccountNone)
    NoteFailure(WriteAliasRecord(kPostmaster, kRoot, primary, err), err, allOk, why);
  std::string record;
  LookupAccount(kListServer, record, primary, false);
  std::string wanted = FormatText("r;%s;", kListServerName);
  if (AccountTypeOfRecord(record) != kAccountList && record != wanted)
    NoteFailure(WriteResponderRecord(kListServer, kListServerName, "", primary, err), err, allOk,
                why);
  return allOk;
}

// ---- Secondary domains -------------------------------------------------------------

bool LoadSecondaryDomains(std::string& why) {
  LogEvent(0, kLogAlways, "Searching for secondary domains...");
  std::vector<SecondaryDomain> loaded;
  long numDomains = ReadCounter(kNumDomains);
  long toLoad = std::min<long>(ReadCounter(kNumActualDomains), kMaxSecondaryDomains);
  if (numDomains >= 1) {
    for (const auto& [slot, text] : ReadSlots(numDomains)) {
      if (long(loaded.size()) >= toLoad) break;
      if (text.empty()) continue;  // a free slot
      SecondaryDomain d;
      if (!SplitSlot(slot, text, d)) {
        why = "SVD: Error in config file.";
        LogEvent(0, kLogAlways, "SVD: Error in config file.");
        continue;
      }
      LogEvent(0, kLogAlways, "Added secondary domain: %s", d.name.c_str());
      loaded.push_back(std::move(d));
    }
  }
  std::lock_guard<std::mutex> hold(gDomainsLock);
  gDomains = std::move(loaded);
  return true;
}

std::vector<SecondaryDomain> SecondaryDomains() {
  std::lock_guard<std::mutex> hold(gDomainsLock);
  return gDomains;
}

int NextSecondaryDomain(int& cursor, bool restart, std::string& description,
                        std::string& domainName) {
  std::lock_guard<std::mutex> hold(gDomainsLock);
  if (restart || cursor < 0) cursor = 0;
  if (size_t(cursor) >= gDomains.size()) return -1;
  const SecondaryDomain& d = gDomains[size_t(cursor++)];
  description = d.description;
  domainName = d.name;
  return d.slot;
}

std::vector<std::string> ListDomains() {
  std::vector<std::string> names{std::string()};
  for (const SecondaryDomain& d : SecondaryDomains()) names.push_back(d.name);
  return names;
}

bool GetSecondaryDomainName(int slot, std::string& out) {
  out.clear();
  if (slot < 1) return false;
  SecondaryDomain d;
  if (!SplitSlot(slot, ConfigGetText(kVirtualDomainsSection, SlotName(slot).c_str(), ""), d))
    return false;
  out = d.name;
  return true;
}

bool ReadSecondaryDomainSlot(int slot, SecondaryDomain& out) {
  out = SecondaryDomain{};
  if (slot < 1 || slot > ReadCounter(kNumDomains)) return false;
  std::string text = ConfigGetText(kVirtualDomainsSection, SlotName(slot).c_str(), "");
  return SplitSlot(slot, text, out);
}

std::vector<SecondaryDomain> ReadSecondaryDomainSlots() {
  std::vector<SecondaryDomain> out;
  for (const auto& [slot, text] : ReadSlots(ReadCounter(kNumDomains))) {
    SecondaryDomain d;
    if (SplitSlot(slot, text, d)) out.push_back(std::move(d));
  }
  return out;
}

int AddSecondaryDomain(const std::string& description, const std::string& domainName,
                       std::string& why) {
  if (domainName.empty() || domainName.find_first_of(";\\/") != std::string::npos) {
    why = "A domain name must not be empty nor contain ';', '\\' or '/'.";
    return -1;
  }
  // The server loads both through 100-byte buffers; a control character in a key
  // name makes a key nobody can type.
  for (const std::string* text : {&domainName, &description}) {
    if (text->size() > kMaxDomainTextChars) {
      why = FormatText("A domain name or description has at most %zu characters.",
                       kMaxDomainTextChars);
      return -1;
    }
    for (char c : *text) {
      if (static_cast<unsigned char>(c) < 32 || c == 127) {
        why = "A domain name or description must not contain control characters.";
        return -1;
      }
    }
  }
  if (!CheckRecordField(domainName, why) || !CheckRecordField(description, why)) return -1;
  long numDomains = ReadCounter(kNumDomains);
  long numActual = ReadCounter(kNumActualDomains);
  std::map<int, std::string> slots = ReadSlots(numDomains);
  for (const auto& [slot, text] : slots) {
    size_t semi = text.find(';');
    if (semi != std::string::npos && EqualNoCase(text.substr(semi + 1), domainName)) {
      why = FormatText("The domain '%s' is already in slot %d.", domainName.c_str(), slot);
      return -1;
    }
  }
  // The first free slot from 1 to NumDomains (absent counts as empty), else a new
  // one. Searched even when the counters say none is free: counters written by
  // hand must not make a free slot unusable.
  long slot = numDomains + 1;
  for (long s = 1; s <= numDomains; ++s) {
    auto it = slots.find(int(s));
    if (it == slots.end() || it->second.empty()) {
      slot = s;
      break;
    }
  }
  if (slot > INT_MAX) {
    why = "No secondary domain slot is left.";
    return -1;
  }
  bool appended = slot > numDomains;
  std::string value = description + ";" + domainName;
  if (!ConfigSetString(kVirtualDomainsSection, SlotName(int(slot)).c_str(), value.c_str())) {
    why = FormatText("Unable to write the secondary domain slot %ld.", slot);
    return -1;
  }
  // The slot is taken; a standard account that cannot be written is logged and the
  // integrity check writes it later.
  std::string err;
  bool ok = EnsureStandardAccounts(domainName, false, err);
  for (const char* alias : kListServerAliases) {
    std::string e;
    if (!WriteAliasRecord(alias, kListServer, domainName, e)) {
      if (ok) err = e;
      ok = false;
    }
  }
  if (!ConfigSetNumber(kVirtualDomainsSection, kNumActualDomains, numActual + 1) ||
      (appended && !ConfigSetNumber(kVirtualDomainsSection, kNumDomains, numDomains + 1))) {
    why = "Unable to update the secondary domain counters.";
    return -1;
  }
  if (!ok)
    LogEvent(0, kLogAlways, "Secondary domain '%s': %s", domainName.c_str(), err.c_str());
  return int(slot);
}

bool RemoveSecondaryDomain(int slot, std::string& why) {
  long numDomains = ReadCounter(kNumDomains);
  std::string text;
  if (slot >= 1 && slot <= numDomains)
    text = ConfigGetText(kVirtualDomainsSection, SlotName(slot).c_str(), "");
  if (text.empty()) {
    // Freeing a free slot would count the domains down twice.
    why = FormatText("Slot %d holds no secondary domain.", slot);
    return false;
  }
  if (!ConfigSetString(kVirtualDomainsSection, SlotName(slot).c_str(), "")) {
    why = FormatText("Unable to free the secondary domain slot %d.", slot);
    return false;
  }
  long numActual = ReadCounter(kNumActualDomains);
  ConfigSetNumber(kVirtualDomainsSection, kNumActualDomains, numActual > 0 ? numActual - 1 : 0);
  return true;
}
