// Domains: choosing the domain a handle works in, listing, creating and removing
// secondary domains. Slots are read from the registry at every call; creation and
// removal are one registry transaction each, so two programs creating domains at
// once never get one slot.
#include <strings.h>

#include "acctlib/acct_internal.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"

namespace {

constexpr const char* kPrimaryDescription = "Primary";
constexpr const char* kLocalNodeValue = "LocalNode";
constexpr size_t kMaxLocalNodeChars = 64;

// A domain name: 1 to 99 characters, none of them ';', '\', '/' or a control
// character (the name is a registry key and the second half of "description;name").
bool IsValidDomainName(const char* name) {
  if (!name || !*name) return false;
  size_t n = 0;
  for (const char* p = name; *p; ++p, ++n) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || c == 127 || c == ';' || c == '\\' || c == '/') return false;
  }
  return n <= kMaxDomainTextChars;
}

bool IsValidDescription(const char* text) {
  size_t n = 0;
  for (const char* p = text; *p; ++p, ++n) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || c == 127 || c == ';') return false;
  }
  return n <= kMaxDomainTextChars;
}

// True when a domain of that name exists already: its key, or a slot naming it.
bool DomainExists(const std::string& name) {
  if (RegKeyExists(ConfigKeyPath(nullptr, name.c_str()))) return true;
  for (const SecondaryDomain& d : ReadSecondaryDomainSlots())
    if (strcasecmp(d.name.c_str(), name.c_str()) == 0) return true;
  return false;
}

}  // namespace

uint32_t SelectedDomain(const HandleState& st, std::string& domain) {
  domain.clear();
  if (st.domainNumber == 0) return 0;
  SecondaryDomain d;
  if (!ReadSecondaryDomainSlot(st.domainNumber, d)) return ACCT_ERR_OPEN_KEY;
  domain = d.name;
  return 0;
}

extern "C" {

int SelectDomainByID(AcctHandle* handle, int number) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  SecondaryDomain d;
  if (number != 0 && !ReadSecondaryDomainSlot(number, d))
    return FailWith(*st, ACCT_ERR_OPEN_KEY);
  st->domainNumber = number;
  return 1;
}

int GetCurrentDomainID(AcctHandle* handle) {
  HandleState* st = FindHandle(handle);
  return st ? st->domainNumber : -1;
}

int GetCurrentDomain(AcctHandle* handle, char* buffer, uint32_t size) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  std::string name;
  if (st->domainNumber == 0) {
    name = ConfigGetText("", kLocalNodeValue, "", nullptr, nullptr, kMaxLocalNodeChars);
  } else if (uint32_t err = SelectedDomain(*st, name)) {
    return FailWith(*st, err);
  }
  if (uint32_t err = CopyOut(name, buffer, size)) return FailWith(*st, err);
  return 1;
}

int GetCurrentDomainDescription(AcctHandle* handle, char* buffer, uint32_t size) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  std::string text = kPrimaryDescription;
  if (st->domainNumber != 0) {
    SecondaryDomain d;
    if (!ReadSecondaryDomainSlot(st->domainNumber, d)) return FailWith(*st, ACCT_ERR_OPEN_KEY);
    text = d.description;
  }
  if (uint32_t err = CopyOut(text, buffer, size)) return FailWith(*st, err);
  return 1;
}

// The cursor is the number of the next domain to look at: 0 the primary domain,
// then slots from the cursor up, so a slot freed or filled during the walk never
// makes it repeat or skip another.
int EnumDomains(AcctHandle* handle, char* buffer, uint32_t size, uint32_t* cursor) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  if (!cursor) return FailWith(*st, ACCT_ERR_BAD_ARGUMENT);
  std::string text;
  uint32_t next = 0;
  if (*cursor == 0) {
    text = kPrimaryDescription;
    next = 1;
  } else {
    bool found = false;
    for (const SecondaryDomain& d : ReadSecondaryDomainSlots()) {
      if (uint32_t(d.slot) < *cursor) continue;
      text = d.description;
      next = uint32_t(d.slot) + 1;
      found = true;
      break;
    }
    if (!found) return 0;  // the end: no error
  }
  if (uint32_t err = CopyOut(text, buffer, size)) return FailWith(*st, err);
  *cursor = next;
  return 1;
}

int FindDomain(AcctHandle* handle, const char* description) {
  HandleState* st = FindHandle(handle);
  if (!st) return -1;
  st->lastError = 0;
  if (!description || strcasecmp(description, kPrimaryDescription) == 0) return 0;
  for (const SecondaryDomain& d : ReadSecondaryDomainSlots())
    if (strcasecmp(d.description.c_str(), description) == 0) return d.slot;
  return -1;
}

int CreateVirtualDomain(AcctHandle* handle, const char* domainName, const char* description) {
  HandleState* st = FindHandle(handle);
  if (!st) return -1;
  st->lastError = 0;
  if (!description) description = "";
  if (!IsValidDomainName(domainName) || !IsValidDescription(description)) {
    st->lastError = ACCT_ERR_ILLEGAL_CHAR;
    return -1;
  }
  RegTransaction tx;
  if (!tx.ok()) {
    st->lastError = ACCT_ERR_OPEN_KEY;
    return -1;
  }
  if (DomainExists(domainName)) {
    st->lastError = ACCT_ERR_EXISTS;
    return -1;
  }
  std::string why;
  int slot = AddSecondaryDomain(description, domainName, why);
  if (slot < 0 || !tx.Commit()) {
    st->lastError = ACCT_ERR_WRITE;
    return -1;
  }
  st->domainNumber = slot;
  return slot;
}

int DestroyVirtualDomain(AcctHandle* handle, int number) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  RegTransaction tx;
  if (!tx.ok()) return FailWith(*st, ACCT_ERR_OPEN_KEY);
  SecondaryDomain d;
  if (number == 0 || !ReadSecondaryDomainSlot(number, d)) return FailWith(*st, ACCT_ERR_OPEN_KEY);
  st->domainNumber = number;
  // The domain's accounts, lists and responders go with its key; a key that is
  // missing already is no failure.
  std::string key = ConfigKeyPath(nullptr, d.name.c_str());
  if (!RegDeleteKeyTree(key) && LastWinError() != kErrFileNotFound)
    return FailWith(*st, ACCT_ERR_DELETE);
  std::string why;
  if (!RemoveSecondaryDomain(number, why) || !tx.Commit()) return FailWith(*st, ACCT_ERR_WRITE);
  return 1;
}

}  // extern "C"
