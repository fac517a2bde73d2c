// Accounts: adding, changing, deleting, renaming and listing the accounts of the
// selected domain, through the account database's own record writers.
//
// Every check and the writes that depend on it are one registry transaction, so
// the server and other programs see all of a change or none of it, and two
// programs adding one name never both succeed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "acctlib/acct_internal.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"

namespace {

// Characters no account name (nor a user's full name) may hold.
constexpr const char* kNameForbidden = "!%;@";
constexpr size_t kMaxNameChars = ACCT_NAME_SIZE - 1;
// The widths GetUsers fills each field to, as the exchange format promises.
constexpr size_t kMaxShownChars = 64;
constexpr size_t kMaxShownMailboxChars = ACCT_MAILBOX_SIZE - 1;
// GetUsers reads the accounts key in batches: small first, since most calls stop
// at the first value, larger while a type mask skips many.
constexpr size_t kFirstBatch = 1;
constexpr size_t kMaxBatch = 1024;

// The type bits of the exchange format and the record types they stand for.
struct TypeRow {
  uint32_t bit;
  AccountType type;
};
constexpr TypeRow kTypeRows[] = {
    {ACCT_TYPE_USER, kAccountUser},           {ACCT_TYPE_ALIAS, kAccountAlias},
    {ACCT_TYPE_RESPONDER, kAccountResponder}, {ACCT_TYPE_FORWARD, kAccountForward},
    {ACCT_TYPE_LIST, kAccountList},
};

uint32_t BitOfType(AccountType type) {
  for (const TypeRow& r : kTypeRows)
    if (r.type == type) return r.bit;
  return 0;  // custom accounts have no code
}

AccountType TypeOfBit(uint32_t bit) {
  for (const TypeRow& r : kTypeRows)
    if (r.bit == bit) return r.type;
  return kAccountNone;
}

// An account in C++ form, whatever its type.
struct Account {
  AccountType type = kAccountNone;
  std::string name, field, password, mailbox, carbonCopy, configuration, owner;
  // A user whose stored password field is written again as it is (a rename of a
  // user without password: an empty field accepts no password, while the
  // scrambled empty password would accept an empty one).
  bool keepStoredPassword = false;
};

bool HasControl(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  return false;
}

// ACCT_ERR_NAME_LENGTH or ACCT_ERR_ILLEGAL_CHAR for a name no account may have.
uint32_t CheckName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameChars) return ACCT_ERR_NAME_LENGTH;
  if (name.find_first_of(kNameForbidden) != std::string::npos || HasControl(name))
    return ACCT_ERR_ILLEGAL_CHAR;
  return 0;
}

// A record field: no ';' (records have no escape) and no control character.
bool IsFieldText(const std::string& text) {
  return text.find(';') == std::string::npos && !HasControl(text);
}

// Takes the C record apart; fields must end within their widths.
uint32_t AccountFromInfo(const AccountInfo* info, Account& a) {
  if (!info) return ACCT_ERR_BAD_ARGUMENT;
  if (!TerminatedWithin(info->name, sizeof info->name)) return ACCT_ERR_NAME_LENGTH;
  a.type = TypeOfBit(info->type);
  a.name = info->name;
  struct Field {
    const char* text;
    size_t width;
    std::string* out;
  };
  std::vector<Field> fields = {{info->field, sizeof info->field, &a.field}};
  switch (a.type) {
    case kAccountUser:
      fields.push_back({info->u.user.password, sizeof info->u.user.password, &a.password});
      fields.push_back({info->u.user.mailbox, sizeof info->u.user.mailbox, &a.mailbox});
      fields.push_back(
          {info->u.user.carbonCopy, sizeof info->u.user.carbonCopy, &a.carbonCopy});
      break;
    case kAccountResponder:
      fields.push_back({info->u.responder.configuration, sizeof info->u.responder.configuration,
                        &a.configuration});
      break;
    case kAccountList:
      fields.push_back({info->u.list.configuration, sizeof info->u.list.configuration,
                        &a.configuration});
      fields.push_back({info->u.list.owner, sizeof info->u.list.owner, &a.owner});
      break;
    default:
      break;
  }
  for (const Field& f : fields) {
    if (!TerminatedWithin(f.text, f.width)) return ACCT_ERR_BAD_ARGUMENT;
    *f.out = f.text;
  }
  return 0;
}

bool AccountExists(const std::string& name, const std::string& domain) {
  std::string record;
  return ReadStoredRecord(name, domain, record);
}

AccountType StoredType(const std::string& name, const std::string& domain) {
  std::string record;
  if (!ReadStoredRecord(name, domain, record)) return kAccountNone;
  return AccountTypeOfRecord(record);
}

// The responder or list whose configuration an account uses: its own (empty
// means its own name) or an existing account of the same type. Adding checks the
// type; changing only that the account exists.
uint32_t CheckConfiguration(Account& a, const std::string& domain, bool modify) {
  if (a.configuration.empty()) a.configuration = a.name;
  if (EqualNoCase(a.configuration, a.name)) return 0;
  AccountType type = StoredType(a.configuration, domain);
  if (type == kAccountNone) return ACCT_ERR_NOT_FOUND;
  if (!modify && type != a.type) return ACCT_ERR_WRONG_TYPE;
  return 0;
}

// Writes `a` into `domain` (the checks of AddUser, or of ModifyUser with
// `modify`). Runs inside the caller's transaction when there is one.
uint32_t WriteAccount(Account a, const std::string& domain, bool modify) {
  if (uint32_t err = CheckName(a.name)) return err;
  if (a.type == kAccountNone) return ACCT_ERR_UNKNOWN_TYPE;
  // The router bounces mail for a user of a secondary domain and the integrity
  // check deletes it: refused rather than reported as added.
  if (a.type == kAccountUser && !domain.empty()) return ACCT_ERR_UNKNOWN_TYPE;
  for (const std::string* f : {&a.field, &a.mailbox, &a.carbonCopy, &a.configuration, &a.owner})
    if (!IsFieldText(*f)) return ACCT_ERR_ILLEGAL_CHAR;
  RegTransaction tx;
  if (!tx.ok()) return ACCT_ERR_OPEN_KEY;
  bool exists = AccountExists(a.name, domain);
  if (!modify && exists) return ACCT_ERR_EXISTS;
  if (modify && !exists) return ACCT_ERR_NOT_FOUND;
  std::string why;
  bool written = false;
  switch (a.type) {
    case kAccountUser: {
      if (a.field.find_first_of(kNameForbidden) != std::string::npos)
        return ACCT_ERR_ILLEGAL_CHAR;
      // Keyed by the lower-cased name, as CheckPassword compares: "JSmith" can log in.
      std::string scrambled;
      if (!a.keepStoredPassword && !ScramblePassword(LowerAscii(a.name), a.password, scrambled))
        return ACCT_ERR_BAD_ARGUMENT;
      written = WriteUserRecord(a.name, a.field, a.mailbox, scrambled, a.carbonCopy, domain, why);
      break;
    }
    case kAccountAlias:
      if (!AccountExists(a.field, domain)) return ACCT_ERR_NOT_FOUND;
      written = WriteAliasRecord(a.name, a.field, domain, why);
      break;
    case kAccountForward: {
      const char* remote = modify ? "@%" : "@";
      if (a.field.find_first_of(remote) == std::string::npos && !AccountExists(a.field, domain))
        return ACCT_ERR_NOT_FOUND;
      written = WriteForwardRecord(a.name, a.field, domain, why);
      break;
    }
    case kAccountResponder:
      if (uint32_t err = CheckConfiguration(a, domain, modify)) return err;
      written = WriteResponderRecord(a.name, a.field, a.configuration, domain, why);
      break;
    case kAccountList:
      if (uint32_t err = CheckConfiguration(a, domain, modify)) return err;
      if (!modify && a.owner.find('@') == std::string::npos && !AccountExists(a.owner, domain))
        return ACCT_ERR_NOT_FOUND;
      written = WriteListRecord(a.name, a.field, a.configuration, a.owner, domain, why);
      break;
    default:
      return ACCT_ERR_UNKNOWN_TYPE;
  }
  // A record the server could not read back (over 99 characters) is not written.
  if (!written || !tx.Commit()) return ACCT_ERR_WRITE;
  return 0;
}

// ---- References ------------------------------------------------------------------

// The field of a record that names another account: a user's carbon copy, an
// alias's or forward's target, a list's owner. 0 for records that name none.
int ReferenceField(AccountType type) {
  switch (type) {
    case kAccountUser:
      return 4;
    case kAccountAlias:
    case kAccountForward:
      return 1;
    case kAccountList:
      return 3;
    default:
      return 0;
  }
}

// True when the stored account `value` (not `name` itself) refers to `name`.
bool RefersTo(const RegValue& value, const std::string& record, const std::string& name) {
  if (EqualNoCase(value.name, name)) return false;
  int n = ReferenceField(AccountTypeOfRecord(record));
  std::string field;
  return n > 0 && GetRecordField(record, n, field) && EqualNoCase(field, name);
}

struct Referrer {
  std::string name;
  std::string record;
};

// Every account of the domain that refers to `name`.
bool FindReferrers(const std::string& name, const std::string& domain,
                   std::vector<Referrer>& out) {
  out.clear();
  std::string key = ConfigKeyPath(kUsersSection, domain.empty() ? nullptr : domain.c_str());
  std::vector<RegValue> values;
  if (!RegEnumValues(key, values)) return LastWinError() == kErrFileNotFound;
  for (const RegValue& v : values) {
    std::string record = RegDecodeSz(v.data);
    if (RefersTo(v, record, name)) out.push_back({v.name, record});
  }
  return true;
}

// Writes the referrer's record again with its reference field set to `target`
// (empty: a user's carbon copy removed). The scrambled password stays as stored.
bool RewriteReference(const Referrer& r, const std::string& target, const std::string& domain) {
  std::string f1, f2, f3, why;
  GetRecordField(r.record, 1, f1);
  GetRecordField(r.record, 2, f2);
  GetRecordField(r.record, 3, f3);
  switch (AccountTypeOfRecord(r.record)) {
    case kAccountUser:
      return WriteUserRecord(r.name, f1, f2, f3, target, domain, why);
    case kAccountAlias:
      return WriteAliasRecord(r.name, target, domain, why);
    case kAccountForward:
      return WriteForwardRecord(r.name, target, domain, why);
    case kAccountList:
      return WriteListRecord(r.name, f1, f2, target, domain, why);
    default:
      return false;
  }
}

// Removes the account value, its access record and, for a responder, its
// configuration key (unless `keepConfiguration`: a renamed responder still uses it).
uint32_t RemoveAccount(const std::string& name, const std::string& domain,
                       bool keepConfiguration) {
  const char* dom = domain.empty() ? nullptr : domain.c_str();
  bool responder = StoredType(name, domain) == kAccountResponder;
  if (!DeleteAccount(name, domain)) return ACCT_ERR_DELETE;
  ConfigSetString(kUserExtraSection, name.c_str(), nullptr, dom);  // may have none
  if (responder && !keepConfiguration) {
    std::string key = ConfigKeyPath(nullptr, dom, name.c_str());
    if (!RegDeleteKeyTree(key) && LastWinError() != kErrFileNotFound) return ACCT_ERR_DELETE;
  }
  return 0;
}

// DeleteUser's work inside its transaction (and RenameUser's, with `renaming`).
// `count` gets mode 0's answer.
uint32_t DeleteWithMode(const std::string& name, const std::string& newName, int mode,
                        const std::string& domain, bool renaming, bool keepConfiguration,
                        int& count) {
  if (IsReservedForLibrary(name)) return ACCT_ERR_RESERVED_DELETE;
  if (!AccountExists(name, domain)) return ACCT_ERR_NOT_FOUND;
  if (mode < ACCT_DELETE_COUNT || mode > ACCT_DELETE_FORCE) return ACCT_ERR_BAD_ARGUMENT;
  std::vector<Referrer> refs;
  if (mode != ACCT_DELETE_FORCE && !FindReferrers(name, domain, refs)) return ACCT_ERR_OPEN_KEY;
  switch (mode) {
    case ACCT_DELETE_COUNT:
      count = 1 + int(refs.size());
      return 0;
    case ACCT_DELETE_UNUSED:
      if (!refs.empty()) return ACCT_ERR_IN_USE;
      break;
    case ACCT_DELETE_REPOINT:
      // Pointing the references at the account being deleted would leave them
      // dangling.
      if (EqualNoCase(newName, name)) return ACCT_ERR_BAD_ARGUMENT;
      if (!AccountExists(newName, domain)) return ACCT_ERR_EXISTS;
      for (const Referrer& r : refs) {
        // The new account itself refers to the deleted one: pointed at itself, an
        // alias or forward would loop and mail for it would be lost. (A renamed
        // account's copy refers to its old name only where it referred to itself.)
        if (!renaming && EqualNoCase(r.name, newName)) return ACCT_ERR_BAD_ARGUMENT;
        if (!RewriteReference(r, newName, domain)) return ACCT_ERR_WRITE;
      }
      break;
    case ACCT_DELETE_CASCADE:
      for (const Referrer& r : refs) {
        if (AccountTypeOfRecord(r.record) == kAccountUser) {
          if (!RewriteReference(r, "", domain)) return ACCT_ERR_WRITE;
        } else {
          // Deleted as mode 4 would: a reserved one stops the whole deletion.
          if (IsReservedForLibrary(r.name)) return ACCT_ERR_RESERVED_DELETE;
          if (uint32_t err = RemoveAccount(r.name, domain, false)) return err;
        }
      }
      break;
    default:
      break;
  }
  return RemoveAccount(name, domain, keepConfiguration);
}

// ---- Reading ---------------------------------------------------------------------

void CopyCut(char* out, const std::string& text, size_t maxChars) {
  size_t n = std::min(text.size(), maxChars);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The account `name` as stored, in C++ form; false when the record lacks a field
// of its type (what it has is still filled in).
bool AccountFromRecord(const std::string& name, const std::string& record, Account& a) {
  a = Account{};
  a.name = name;
  a.type = AccountTypeOfRecord(record);
  std::string scrambled;
  bool complete = GetRecordField(record, 1, a.field);
  switch (a.type) {
    case kAccountUser:
      complete &= GetRecordField(record, 2, a.mailbox);
      complete &= GetRecordField(record, 3, scrambled);
      complete &= GetRecordField(record, 4, a.carbonCopy);
      if (!UnscramblePassword(LowerAscii(name), scrambled, a.password)) a.password.clear();
      break;
    case kAccountResponder:
      complete &= GetRecordField(record, 2, a.configuration);
      break;
    case kAccountList:
      complete &= GetRecordField(record, 2, a.configuration);
      complete &= GetRecordField(record, 3, a.owner);
      break;
    default:
      break;
  }
  return complete;
}

// A malloc'ed C record of `a`, every text cut to its width; null when out of memory.
AccountInfo* InfoFromAccount(const Account& a) {
  AccountInfo* info = static_cast<AccountInfo*>(std::calloc(1, sizeof(AccountInfo)));
  if (!info) return nullptr;
  info->type = uint16_t(BitOfType(a.type));
  CopyCut(info->name, a.name, kMaxNameChars);
  CopyCut(info->field, a.field, kMaxShownChars);
  switch (a.type) {
    case kAccountUser:
      CopyCut(info->u.user.password, a.password, sizeof info->u.user.password - 1);
      CopyCut(info->u.user.mailbox, a.mailbox, kMaxShownMailboxChars);
      CopyCut(info->u.user.carbonCopy, a.carbonCopy, kMaxShownChars);
      break;
    case kAccountResponder:
      CopyCut(info->u.responder.configuration, a.configuration, kMaxShownChars);
      break;
    case kAccountList:
      CopyCut(info->u.list.configuration, a.configuration, kMaxShownChars);
      CopyCut(info->u.list.owner, a.owner, kMaxShownChars);
      break;
    default:
      break;
  }
  return info;
}

// Whether GetUsers returns the stored value: its name fits the exchange format and
// its type is in the mask, or (mask 0) it refers to `name`.
bool Wanted(const RegValue& v, const std::string& record, uint32_t mask, const char* name) {
  if (v.name.empty() || v.name.size() > kMaxNameChars) return false;
  if (mask == 0) return RefersTo(v, record, name);
  if (!(BitOfType(AccountTypeOfRecord(record)) & mask)) return false;
  return !name || v.name == name;
}

// Fills the handle's answer for a found value.
AccountInfo* Answer(HandleState& st, const RegValue& v, const std::string& record) {
  Account a;
  bool complete = AccountFromRecord(v.name, record, a);
  AccountInfo* info = InfoFromAccount(a);
  if (!info) {
    st.lastError = ACCT_ERR_NO_MEMORY;
    return nullptr;
  }
  if (!complete) st.lastError = ACCT_ERR_MISSING_FIELD;  // the record is still returned
  return info;
}

// AddUser and ModifyUser.
int WriteFromInfo(AcctHandle* handle, const AccountInfo* info, bool modify) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  Account a;
  std::string domain;
  if (uint32_t err = AccountFromInfo(info, a)) return FailWith(*st, err);
  if (uint32_t err = SelectedDomain(*st, domain)) return FailWith(*st, err);
  if (uint32_t err = WriteAccount(a, domain, modify)) return FailWith(*st, err);
  return 1;
}

}  // namespace

extern "C" {

int AddUser(AcctHandle* handle, const AccountInfo* info) {
  return WriteFromInfo(handle, info, false);
}

int ModifyUser(AcctHandle* handle, const AccountInfo* info) {
  return WriteFromInfo(handle, info, true);
}

int DeleteUser(AcctHandle* handle, const char* name, const char* newName, int mode) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  if (!name || !TerminatedWithin(name, ACCT_NAME_SIZE) || !*name)
    return FailWith(*st, ACCT_ERR_NAME_LENGTH);
  std::string domain;
  if (uint32_t err = SelectedDomain(*st, domain)) return FailWith(*st, err);
  RegTransaction tx;
  if (!tx.ok()) return FailWith(*st, ACCT_ERR_OPEN_KEY);
  int count = 0;
  if (uint32_t err =
          DeleteWithMode(name, newName ? newName : "", mode, domain, false, false, count))
    return FailWith(*st, err);
  if (!tx.Commit()) return FailWith(*st, ACCT_ERR_DELETE);
  return mode == ACCT_DELETE_COUNT ? count : 1;
}

int RenameUser(AcctHandle* handle, const char* oldName, const char* newName) {
  HandleState* st = FindHandle(handle);
  if (!st) return 0;
  st->lastError = 0;
  if (!oldName || !TerminatedWithin(oldName, ACCT_NAME_SIZE) || !*oldName || !newName ||
      !TerminatedWithin(newName, ACCT_NAME_SIZE))
    return FailWith(*st, ACCT_ERR_NAME_LENGTH);
  if (IsReservedForLibrary(oldName)) return FailWith(*st, ACCT_ERR_RESERVED_RENAME);
  if (uint32_t err = CheckName(newName)) return FailWith(*st, err);
  std::string domain;
  if (uint32_t err = SelectedDomain(*st, domain)) return FailWith(*st, err);
  const char* dom = domain.empty() ? nullptr : domain.c_str();
  RegTransaction tx;
  if (!tx.ok()) return FailWith(*st, ACCT_ERR_OPEN_KEY);
  std::string record;
  if (!ReadStoredRecord(oldName, domain, record)) return FailWith(*st, ACCT_ERR_NOT_FOUND);
  Account a;
  AccountFromRecord(oldName, record, a);
  if (a.type == kAccountNone || BitOfType(a.type) == 0) return FailWith(*st, ACCT_ERR_UNKNOWN_TYPE);
  // A stored password that does not unscramble would be stored again as an empty
  // one: the user could no longer log in, or anyone could. Nothing is changed.
  std::string scrambled;
  if (a.type == kAccountUser) {
    GetRecordField(record, 3, scrambled);
    if (scrambled.empty())
      a.keepStoredPassword = true;
    else if (!UnscramblePassword(LowerAscii(oldName), scrambled, a.password))
      return FailWith(*st, ACCT_ERR_MISSING_FIELD);
  }
  a.name = newName;
  if (uint32_t err = WriteAccount(a, domain, false)) return FailWith(*st, err);
  // The access record moves with the account.
  std::string extra = ConfigGetText(kUserExtraSection, oldName, "", dom);
  if (!extra.empty() && !ConfigSetString(kUserExtraSection, newName, extra.c_str(), dom))
    return FailWith(*st, ACCT_ERR_WRITE);
  // The responder keeps its configuration key when the renamed record still names it.
  bool keep = a.type == kAccountResponder && EqualNoCase(a.configuration, oldName);
  int count = 0;
  if (uint32_t err =
          DeleteWithMode(oldName, newName, ACCT_DELETE_REPOINT, domain, true, keep, count))
    return FailWith(*st, err);
  if (!tx.Commit()) return FailWith(*st, ACCT_ERR_WRITE);
  return 1;
}

// The cursor is the place (in the accounts key's order) of the last value read:
// the walk resumes after it, so it is linear and a deletion meanwhile skips
// nothing. (Places fit 32 bits until four billion values have been created.)
AccountInfo* GetUsers(AcctHandle* handle, uint32_t typeMask, const char* name,
                      uint32_t* cursor) {
  HandleState* st = FindHandle(handle);
  if (!st) return nullptr;
  st->lastError = 0;
  if (!cursor || (typeMask == 0 && (!name || !*name))) {
    st->lastError = ACCT_ERR_BAD_ARGUMENT;
    return nullptr;
  }
  std::string domain;
  if (uint32_t err = SelectedDomain(*st, domain)) {
    st->lastError = err;
    return nullptr;
  }
  std::string key = ConfigKeyPath(kUsersSection, domain.empty() ? nullptr : domain.c_str());
  if (typeMask != 0 && name) {
    // One value can match: read it by name.
    RegValue v;
    if (!RegQueryValue(key, name, v) || v.order <= *cursor || v.order > UINT32_MAX) return nullptr;
    std::string record = RegDecodeSz(v.data);
    if (!Wanted(v, record, typeMask, name)) return nullptr;
    *cursor = uint32_t(v.order);
    return Answer(*st, v, record);
  }
  std::vector<RegValue> batch;
  for (size_t size = kFirstBatch;; size = std::min(size * 4, kMaxBatch)) {
    if (!RegEnumValuesAfter(key, *cursor, size, batch)) {
      if (LastWinError() != kErrFileNotFound) st->lastError = ACCT_ERR_OPEN_KEY;
      return nullptr;  // a domain without accounts yet has no key: the end
    }
    if (batch.empty()) return nullptr;
    for (const RegValue& v : batch) {
      if (v.order > UINT32_MAX) return nullptr;
      *cursor = uint32_t(v.order);
      std::string record = RegDecodeSz(v.data);
      if (Wanted(v, record, typeMask, name)) return Answer(*st, v, record);
    }
  }
}

}  // extern "C"
