// Account records: reading, following aliases, the field accessors, the writers,
// enumeration and the per-account access record.
#include "server/accounts/accounts.h"

#include <cstdlib>

#include "platform/registry.h"
#include "server/accounts/accounts_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

// The record letters, one row per type.
struct TypeLetter {
  char letter;
  AccountType type;
};
constexpr TypeLetter kTypeLetters[] = {
    {'u', kAccountUser},      {'a', kAccountAlias},     {'f', kAccountForward},
    {'l', kAccountList},      {'r', kAccountResponder}, {'d', kAccountCustom},
};

constexpr size_t kMaxUserExtraChars = 300;  // read limit of an access record
constexpr size_t kMaxFingerAddressChars = 100;
constexpr size_t kMaxFingerFileChars = 200;

// The stored value of `name` as it is, whatever its length; empty when missing.
std::string ReadRawRecord(const std::string& name, const std::string& domain) {
  std::string record;
  ReadStoredRecord(name, domain, record);
  return record;
}

// The record of `name` through the 100-byte read: false when missing, empty or
// longer than kMaxRecordChars.
bool ReadRecordText(const std::string& name, const std::string& domain, std::string& out) {
  out = ReadRawRecord(name, domain);
  if (out.empty() || out.size() > kMaxRecordChars) {
    out.clear();
    return false;
  }
  return true;
}

// The alias target as the lookup takes it: the record without its first two
// characters.
std::string AliasTargetOfRecord(const std::string& record) {
  return record.size() > 2 ? record.substr(2) : std::string();
}

// The common lookup. `cutAtSign` cuts the name at its first '@' (addresses find
// their local part); ResolveAccountName does not.
bool ReadFollowing(const std::string& given, const std::string& domain, bool followAliases,
                   bool cutAtSign, AccountRecord& out) {
  std::string name = given;
  if (cutAtSign) {
    size_t at = name.find('@');
    if (at != std::string::npos) name.resize(at);
  }
  std::string record;
  if (!ReadRecordText(name, domain, record)) return false;
  for (int steps = 0; followAliases && AccountTypeOfRecord(record) == kAccountAlias; ++steps) {
    // An alias that leads off the machine is no local account.
    if (record.find_first_of("@!") != std::string::npos) return false;
    // A chain this long is a loop (or as good as one): report it as not found
    // rather than spin; the integrity check points it back at root.
    if (steps == kMaxAliasSteps) return false;
    name = AliasTargetOfRecord(record);
    if (!ReadRecordText(name, domain, record)) return false;
  }
  out.name = name;
  out.text = record;
  out.type = AccountTypeOfRecord(record);
  return true;
}

// Field `n` of the record of `name` when the record has type `type`.
bool FieldOfType(const std::string& name, const std::string& domain, bool followAliases,
                 AccountType type, int n, bool requireSemicolon, std::string& out) {
  AccountRecord rec;
  out.clear();
  if (!ReadFollowing(name, domain, followAliases, followAliases, rec) || rec.type != type)
    return false;
  return GetRecordField(rec.text, n, out, requireSemicolon);
}

// Checks and stores one record.
bool WriteRecord(const std::string& name, AccountType type,
                 std::initializer_list<const std::string*> fields, const std::string& domain,
                 std::string& why) {
  if (!CheckAccountKeyName(name, why)) return false;
  std::string record(1, AccountTypeLetter(type));
  for (const std::string* f : fields) {
    if (!CheckRecordField(*f, why)) return false;
    (record += ';') += *f;
  }
  if (record.size() > kMaxRecordChars) {
    why = FormatText("the record of '%s' would be %zu characters; at most %zu can be read",
                     name.c_str(), record.size(), kMaxRecordChars);
    return false;
  }
  if (!ConfigSetString(kUsersSection, name.c_str(), record.c_str(), DomainArg(domain))) {
    why = FormatText("unable to write the account '%s'", name.c_str());
    return false;
  }
  return true;
}

// The name reached from `name` by following alias records by type and target;
// false at the step limit.
bool FollowAliasTargets(const std::string& name, const std::string& domain,
                        std::string& finalName) {
  finalName = name;
  for (int steps = 0;; ++steps) {
    std::string record;
    if (!ReadRecordText(finalName, domain, record) ||
        AccountTypeOfRecord(record) != kAccountAlias)
      return true;
    if (steps == kMaxAliasSteps) return false;
    if (!GetRecordField(record, 1, finalName)) return true;
  }
}

}  // namespace

// ---- Shared helpers (accounts_internal.h) ----------------------------------------

const char* DomainArg(const std::string& domain) {
  return domain.empty() ? nullptr : domain.c_str();
}

bool CheckAccountKeyName(const std::string& name, std::string& why) {
  if (name.empty()) {
    why = "the account name is empty";
    return false;
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) {
      why = "the account name holds a control character";
      return false;
    }
  }
  return true;
}

bool CheckRecordField(const std::string& field, std::string& why) {
  for (char c : field) {
    if (c == ';') {
      why = FormatText("the field '%s' holds ';'", field.c_str());
      return false;
    }
    if (c == '\0' || c == '\r' || c == '\n') {
      why = "a field holds a line break or a zero byte";
      return false;
    }
  }
  return true;
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

// ---- Records ---------------------------------------------------------------------

bool ReadStoredRecord(const std::string& name, const std::string& domain, std::string& record) {
  record.clear();
  if (name.empty() || name.find('\0') != std::string::npos) return false;
  record = ConfigGetText(kUsersSection, name.c_str(), "", DomainArg(domain));
  return !record.empty();
}

AccountType AccountTypeOfRecord(const std::string& record) {
  if (record.empty()) return kAccountNone;
  char c = record[0];
  if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  for (const TypeLetter& t : kTypeLetters)
    if (t.letter == c) return t.type;
  return kAccountNone;
}

char AccountTypeLetter(AccountType type) {
  for (const TypeLetter& t : kTypeLetters)
    if (t.type == type) return t.letter;
  return 0;
}

bool GetRecordField(const std::string& record, int n, std::string& out, bool requireSemicolon) {
  out.clear();
  if (n < 1) return false;
  size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = record.find(';', pos);
    if (pos == std::string::npos) return false;
    ++pos;
  }
  size_t end = record.find(';', pos);
  if (end == std::string::npos) {
    if (requireSemicolon) return false;
    end = record.size();
  }
  out = record.substr(pos, end - pos);
  return true;
}

// ---- Lookup ----------------------------------------------------------------------

bool LookupAccount(const std::string& name, std::string& record, const std::string& domain,
                   bool followAliases) {
  AccountRecord rec;
  record.clear();
  if (!ReadFollowing(name, domain, followAliases, true, rec)) return false;
  record = rec.text;
  return true;
}

bool ReadAccount(const std::string& name, const std::string& domain, bool followAliases,
                 AccountRecord& out) {
  out = AccountRecord{};
  return ReadFollowing(name, domain, followAliases, true, out);
}

bool ResolveAccountName(const std::string& name, std::string& finalName,
                        const std::string& domain) {
  AccountRecord rec;
  finalName.clear();
  if (!ReadFollowing(name, domain, true, false, rec)) return false;
  finalName = rec.name;
  return true;
}

AccountType GetAccountType(const std::string& name, const std::string& domain) {
  std::string record;
  if (!ReadRecordText(name, domain, record)) return kAccountNone;
  return AccountTypeOfRecord(record);
}

bool GetUserName(const std::string& name, std::string& out, const std::string& domain) {
  AccountRecord rec;
  out.clear();
  if (!ReadFollowing(name, domain, true, true, rec)) return false;
  if (rec.type == kAccountNone || rec.type == kAccountForward || rec.type == kAccountAlias)
    return false;
  return GetRecordField(rec.text, 1, out, true);
}

bool DescribeLocalAccount(const std::string& address, const std::string& domain,
                          LocalAccountInfo& out) {
  AccountRecord rec;
  out = LocalAccountInfo{};
  if (!ReadFollowing(address, domain, true, true, rec) || rec.type == kAccountNone) return false;
  out.isUser = rec.type == kAccountUser;
  out.isForward = rec.type == kAccountForward;
  // The same field GetUserName gives, from the record already read.
  if (!out.isForward && rec.type != kAccountAlias) GetRecordField(rec.text, 1, out.userName, true);
  return true;
}

// Only a user has a mailbox: field 2 of a list or custom record is a configuration
// name or a plug-in number, and must never be taken for a file to open or rewrite.
bool GetMailboxPath(const std::string& name, std::string& out, const std::string& domain,
                    bool followAliases) {
  return FieldOfType(name, domain, followAliases, kAccountUser, 2, false, out);
}

bool GetPassword(const std::string& name, std::string& out, const std::string& domain) {
  return FieldOfType(name, domain, true, kAccountUser, 3, false, out);
}

bool GetCarbonCopy(const std::string& name, std::string& out, const std::string& domain) {
  AccountRecord rec;
  out.clear();
  if (!ReadFollowing(name, domain, true, true, rec) || rec.type != kAccountUser) return false;
  GetRecordField(rec.text, 4, out);
  return true;
}

bool GetAliasTarget(const std::string& name, std::string& out, const std::string& domain) {
  return FieldOfType(name, domain, false, kAccountAlias, 1, false, out);
}

bool GetForwardAddress(const std::string& name, std::string& out, const std::string& domain) {
  return FieldOfType(name, domain, false, kAccountForward, 1, false, out);
}

bool GetAccountConfigName(const std::string& name, std::string& out,
                          const std::string& domain) {
  out.clear();
  std::string record;
  if (!ReadRecordText(name, domain, record)) return false;
  AccountType type = AccountTypeOfRecord(record);
  if (type != kAccountList && type != kAccountResponder) return false;
  // The configuration is the last field of a responder record, so the field may end
  // at the end of the text as well as at a ';'.
  if (!GetRecordField(record, 2, out)) return false;
  size_t cut = out.find_last_of("\\/");
  if (cut != std::string::npos) out.erase(0, cut + 1);
  return true;
}

bool GetListOwner(const std::string& name, std::string& out, const std::string& domain) {
  out.clear();
  std::string record;
  if (!ReadRecordText(name, domain, record) || AccountTypeOfRecord(record) != kAccountList)
    return false;
  GetRecordField(record, 3, out);
  return true;
}

int GetHandlerNumber(const std::string& name, const std::string& domain) {
  std::string text;
  if (!FieldOfType(name, domain, false, kAccountCustom, 2, false, text)) return -1;
  if (text.empty() || text.size() > 9) return -1;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// ---- Writing ---------------------------------------------------------------------

bool WriteUserRecord(const std::string& name, const std::string& userName,
                     const std::string& mailbox, const std::string& scrambledPassword,
                     const std::string& carbonCopy, const std::string& domain,
                     std::string& why) {
  return WriteRecord(name, kAccountUser, {&userName, &mailbox, &scrambledPassword, &carbonCopy},
                     domain, why);
}

bool WriteAliasRecord(const std::string& name, const std::string& target,
                      const std::string& domain, std::string& why) {
  return WriteRecord(name, kAccountAlias, {&target}, domain, why);
}

bool WriteForwardRecord(const std::string& name, const std::string& address,
                        const std::string& domain, std::string& why) {
  return WriteRecord(name, kAccountForward, {&address}, domain, why);
}

bool WriteListRecord(const std::string& name, const std::string& displayName,
                     const std::string& configuration, const std::string& owner,
                     const std::string& domain, std::string& why) {
  return WriteRecord(name, kAccountList, {&displayName, &configuration, &owner}, domain, why);
}

bool WriteResponderRecord(const std::string& name, const std::string& responderName,
                          const std::string& configuration, const std::string& domain,
                          std::string& why) {
  return WriteRecord(name, kAccountResponder, {&responderName, &configuration}, domain, why);
}

bool WriteCustomRecord(const std::string& name, const std::string& definedProcess,
                       int handlerNumber, const std::string& domain, std::string& why) {
  if (handlerNumber < 0) {
    why = "the plug-in number is negative";
    return false;
  }
  std::string number = std::to_string(handlerNumber);
  return WriteRecord(name, kAccountCustom, {&definedProcess, &number}, domain, why);
}

bool DeleteAccount(const std::string& name, const std::string& domain) {
  std::string why;
  if (!CheckAccountKeyName(name, why)) return false;
  // Blank first: a reader between the two calls sees "no account", never the old one.
  ConfigSetString(kUsersSection, name.c_str(), "", DomainArg(domain));
  return ConfigSetString(kUsersSection, name.c_str(), nullptr, DomainArg(domain));
}

// ---- Enumeration -----------------------------------------------------------------

bool BeginAccountEnum(const std::string& domain, AccountEnum& e) {
  e = AccountEnum{};
  e.domain = domain;
  std::string key = ConfigKeyPath(kUsersSection, DomainArg(domain));
  std::vector<RegValue> values;
  if (!RegEnumValues(key, values)) return !RegKeyExists(key);
  for (const RegValue& v : values) {
    // Names are read through a 100-character buffer; a longer one cannot be listed.
    if (v.name.empty() || v.name.size() > kMaxEnumNameChars) continue;
    e.names.push_back(v.name);
  }
  return true;
}

bool NextAccount(AccountEnum& e, AccountEntry& out) {
  while (e.next < e.names.size()) {
    const std::string& name = e.names[e.next++];
    std::string raw = ReadRawRecord(name, e.domain);
    AccountType type = AccountTypeOfRecord(raw);
    if (type == kAccountNone) continue;
    if (type == kAccountAlias && name.find_first_of("@!") != std::string::npos) continue;
    out = AccountEntry{};
    out.name = name;
    out.type = type;
    if (type == kAccountForward) return true;
    // Only an alias needs more reading (its target's record); the record in hand
    // serves every other type, when the server could read it at all.
    if (type != kAccountAlias && raw.size() <= kMaxRecordChars) {
      GetRecordField(raw, 1, out.displayText);
      return true;
    }
    AccountRecord rec;
    if (ReadFollowing(name, e.domain, true, false, rec) && rec.type != kAccountForward)
      GetRecordField(rec.text, 1, out.displayText);
    return true;
  }
  return false;
}

int ForEachAccount(const std::string& domain,
                   const std::function<bool(const AccountEntry&)>& visit) {
  AccountEnum e;
  if (!BeginAccountEnum(domain, e)) return 0;
  int count = 0;
  AccountEntry entry;
  while (NextAccount(e, entry)) {
    ++count;
    if (!visit(entry)) break;
  }
  return count;
}

// ---- Access record -----------------------------------------------------------------

bool ReadUserExtra(const std::string& name, const std::string& domain, UserExtra& out) {
  out = UserExtra{};
  out.accessMask = uint32_t(ServerSettings().sysAccessDef);
  std::string finalName;
  if (!FollowAliasTargets(name, domain, finalName) || finalName.empty()) return false;
  std::string text = ConfigGetText(kUserExtraSection, finalName.c_str(), "",
                                   DomainArg(domain), nullptr, kMaxUserExtraChars);
  if (text.empty()) return false;
  // The leading decimal number counts only when it ends at ';' or at the end.
  size_t i = 0;
  uint64_t mask = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    mask = mask * 10 + uint64_t(text[i] - '0');
    if (mask > UINT32_MAX) return false;
    ++i;
  }
  if (i < text.size() && text[i] != ';') return false;
  out.accessMask = uint32_t(mask);
  GetRecordField(text, 1, out.fingerAddress);
  GetRecordField(text, 2, out.fingerFile);
  return true;
}

uint32_t GetUserAccess(const std::string& name, const std::string& domain) {
  UserExtra extra;
  ReadUserExtra(name, domain, extra);
  return extra.accessMask;
}

bool WriteUserExtra(const std::string& name, const UserExtra& extra, const std::string& domain,
                    std::string& why) {
  if (!CheckAccountKeyName(name, why) || !CheckRecordField(extra.fingerAddress, why) ||
      !CheckRecordField(extra.fingerFile, why))
    return false;
  if (extra.fingerAddress.size() > kMaxFingerAddressChars ||
      extra.fingerFile.size() > kMaxFingerFileChars) {
    why = "the finger address or file name is too long";
    return false;
  }
  std::string text = FormatText("%lu;%s;%s", static_cast<unsigned long>(extra.accessMask),
                                extra.fingerAddress.c_str(), extra.fingerFile.c_str());
  if (!ConfigSetString(kUserExtraSection, name.c_str(), text.c_str(), DomainArg(domain))) {
    why = FormatText("unable to write the access record of '%s'", name.c_str());
    return false;
  }
  return true;
}
