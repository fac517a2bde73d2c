// The account database: every local address is one REG_SZ value under
//   SOFTWARE\Tollgrove\Corvel[\VirtualDomains\<domain>]\Users
// whose data is the account record "<letter>;field;field...". No cache: every call
// reads or writes the registry, so changes made by the maintenance library or the
// configuration checker are seen by the next lookup. Value names are
// case-insensitive (the registry's rule), so "Alice" finds the account "alice".
//
// Every operation takes a domain: empty means the primary domain, anything else a
// secondary domain, i.e. a key below VirtualDomains.
//
// Records are read through a 100-byte buffer: a record of more than 99 characters
// reads as missing. The writers refuse such a record (and a field holding ';', which
// has no escape) instead of storing an account that nobody could read back.
//
// Alias chains: lookups follow at most kMaxAliasSteps alias records and report "not
// found" at the limit, so an alias loop written by hand can never hang the server;
// the integrity check repairs such loops.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/spool/headers.h"

// The account types; the values are those every tool stores and reports.
enum AccountType : int {
  kAccountNone = -1,  // missing, empty or malformed
  kAccountUser = 0,
  kAccountAlias = 1,
  kAccountForward = 2,
  kAccountList = 3,
  kAccountResponder = 4,
  kAccountCustom = 5,
};

inline constexpr int kMaxAliasSteps = 16;      // alias records followed by one lookup
inline constexpr size_t kMaxRecordChars = 99;  // longer records read as missing
inline constexpr size_t kMaxEnumNameChars = 99;   // longer value names are not listed
inline constexpr size_t kMaxAdminNameChars = 64;  // account names the admin accepts
inline constexpr size_t kMaxPasswordChars = 16;
inline constexpr size_t kMinAdminPasswordChars = 3;
inline constexpr size_t kScrambledPasswordChars = 24;
inline constexpr int kMaxSecondaryDomains = 1024;
inline constexpr size_t kMaxDomainTextChars = 99;  // a domain's name and description

// Section names under the configuration root (or a domain's key).
inline constexpr const char* kUsersSection = "Users";
inline constexpr const char* kUserExtraSection = "UserExtra";
inline constexpr const char* kVirtualDomainsSection = "VirtualDomains";

// The stored record of exactly the value `name` (not cut at '@', aliases not
// followed), whatever its length: for tools that must see even a record the
// server reads as missing. False when there is none or it is empty.
bool ReadStoredRecord(const std::string& name, const std::string& domain, std::string& record);

// ASCII lower case and comparison: account names compare this way (the
// registry's rule), and passwords are scrambled with the lower-cased name.
std::string LowerAscii(std::string s);
bool EqualNoCase(const std::string& a, const std::string& b);

// The type of a record text: its first letter in either case; -1 otherwise.
AccountType AccountTypeOfRecord(const std::string& record);
// The record letter written for a type ('u', 'a', ...); 0 for kAccountNone.
char AccountTypeLetter(AccountType type);

// Field n (from 1) of a record: the text after the n-th ';' up to the next ';' or
// the end. With `requireSemicolon` the field must be followed by a ';'. False when
// the record has fewer fields.
bool GetRecordField(const std::string& record, int n, std::string& out,
                    bool requireSemicolon = false);

// ---- Lookup ----------------------------------------------------------------------

// A record read from the database, with the name it was found under (after aliases).
struct AccountRecord {
  std::string name;                 // the account whose record this is
  AccountType type = kAccountNone;
  std::string text;                 // the record as stored
};

// The record of `name` (cut at its first '@', so an address finds its local part).
// With `followAliases`, alias records are followed; an alias leading off the
// machine (its record holds '@' or '!'), a missing target, or more than
// kMaxAliasSteps aliases report not found. Returns false when missing.
bool LookupAccount(const std::string& name, std::string& record, const std::string& domain,
                   bool followAliases);
// The same, also telling the name reached and the type.
bool ReadAccount(const std::string& name, const std::string& domain, bool followAliases,
                 AccountRecord& out);
// The final account name after following aliases (`name` is not cut at '@').
// False when the last name has no record, the chain leaves the machine or is too long.
bool ResolveAccountName(const std::string& name, std::string& finalName,
                        const std::string& domain);
// The type of the record itself (an alias is reported as an alias); -1 when missing.
AccountType GetAccountType(const std::string& name, const std::string& domain);

// Accessors (aliases followed where noted). Each returns false when the record is
// missing or of another type than the field needs.
// Field 1 followed by ';' (user name, list or responder name, custom text); aliases
// followed. A forward yields nothing. This is the display name of header rewriting.
bool GetUserName(const std::string& name, std::string& out, const std::string& domain);
// What header rewriting and bounces ask of a local address, in one read (registered
// with the spool at start-up: SetLocalAccountLookup(DescribeLocalAccount)).
bool DescribeLocalAccount(const std::string& address, const std::string& domain,
                          LocalAccountInfo& out);
// Field 2 of any non-alias record (a user's mailbox file).
bool GetMailboxPath(const std::string& name, std::string& out, const std::string& domain,
                    bool followAliases);
// Field 3 of a user record (the scrambled password); aliases followed.
bool GetPassword(const std::string& name, std::string& out, const std::string& domain);
// Field 4 of a user record; true with empty text when the user has none.
bool GetCarbonCopy(const std::string& name, std::string& out, const std::string& domain);
// The target of an alias record (not followed).
bool GetAliasTarget(const std::string& name, std::string& out, const std::string& domain);
// The address of a forward record (not followed).
bool GetForwardAddress(const std::string& name, std::string& out, const std::string& domain);
// Field 2 of a list or responder record, cut after the last '\' or '/' (old records
// hold a file path). May be empty (the list server's responder).
bool GetAccountConfigName(const std::string& name, std::string& out,
                          const std::string& domain);
// Field 3 of a list record; true with empty text when absent.
bool GetListOwner(const std::string& name, std::string& out, const std::string& domain);
// The plug-in number of a custom record; -1 when not custom or no number.
int GetHandlerNumber(const std::string& name, const std::string& domain);

// ---- Writing ---------------------------------------------------------------------

// Each writes the record of its type under `name`, creating keys as needed and
// replacing any earlier record. False (with `why`) for an empty name, a field
// holding ';' or a line break, a record longer than kMaxRecordChars, or a failed
// registry write (which leaves the previous value).
bool WriteUserRecord(const std::string& name, const std::string& userName,
                     const std::string& mailbox, const std::string& scrambledPassword,
                     const std::string& carbonCopy, const std::string& domain,
                     std::string& why);
bool WriteAliasRecord(const std::string& name, const std::string& target,
                      const std::string& domain, std::string& why);
bool WriteForwardRecord(const std::string& name, const std::string& address,
                        const std::string& domain, std::string& why);
bool WriteListRecord(const std::string& name, const std::string& displayName,
                     const std::string& configuration, const std::string& owner,
                     const std::string& domain, std::string& why);
bool WriteResponderRecord(const std::string& name, const std::string& responderName,
                          const std::string& configuration, const std::string& domain,
                          std::string& why);
bool WriteCustomRecord(const std::string& name, const std::string& definedProcess,
                       int handlerNumber, const std::string& domain, std::string& why);
// Writes an empty value first (so a reader racing the delete sees "no account"),
// then deletes it. False when nothing could be deleted.
bool DeleteAccount(const std::string& name, const std::string& domain);

// ---- Enumeration -----------------------------------------------------------------

// One listed account: its name, its type and its display text (field 1 of the
// record, aliases followed; empty for a forward).
struct AccountEntry {
  std::string name;
  AccountType type = kAccountNone;
  std::string displayText;
};

// A snapshot of the value names of a domain's Users key and a cursor into it.
struct AccountEnum {
  std::string domain;
  std::vector<std::string> names;
  size_t next = 0;
};

// Takes the snapshot. False when the key cannot be read (a missing key is an empty
// list, not a failure).
bool BeginAccountEnum(const std::string& domain, AccountEnum& e);
// The next account; skips records of unknown type and aliases whose name holds '@'
// or '!'. False at the end.
bool NextAccount(AccountEnum& e, AccountEntry& out);
// Calls `visit` for every listed account of the domain until it returns false.
// Returns the number of accounts visited.
int ForEachAccount(const std::string& domain,
                   const std::function<bool(const AccountEntry&)>& visit);

// ---- Access record (UserExtra) -------------------------------------------------

// The access bits; the order is the order of the administration dialog.
enum AccessBit : uint32_t {
  kAccessPop3 = 0x01,
  kAccessPasswordChange = 0x02,
  kAccessControlPort = 0x04,
  kAccessRmcp = 0x08,
  kAccessFinger = 0x10,
  kAccessRemoteFinger = 0x20,
  kAccessForcedConnection = 0x40,
};

struct UserExtra {
  uint32_t accessMask = 0;
  std::string fingerAddress;  // at most 100 characters
  std::string fingerFile;     // at most 200 characters
};

// The access mask of the account reached from `name` through aliases: its
// UserExtra value's leading number when that parses (stops at ';' or the end),
// else the system default SysAccessDef.
uint32_t GetUserAccess(const std::string& name, const std::string& domain);
// The whole access record (aliases followed). False when the account has none or
// it does not parse; `out` then holds the default mask and empty texts.
bool ReadUserExtra(const std::string& name, const std::string& domain, UserExtra& out);
// Writes "%lu;%s;%s". False (with `why`) for a text holding ';', a finger address
// over 100 or a finger file over 200 characters, or a failed write.
bool WriteUserExtra(const std::string& name, const UserExtra& extra, const std::string& domain,
                    std::string& why);

// ---- Passwords -------------------------------------------------------------------

// The 24-character scrambled form of `clear` keyed by `accountName` (used as given;
// the server's writers store lower-case names). False for an empty account name or
// a password of more than 16 characters.
bool ScramblePassword(const std::string& accountName, const std::string& clear,
                      std::string& out);
// Reverses ScramblePassword. False when the text is not 24 characters, the check
// character does not match or the stored length is impossible.
bool UnscramblePassword(const std::string& accountName, const std::string& scrambled,
                        std::string& out);
// True when `clear`, scrambled for the resolved, lower-cased account name, equals
// `stored` exactly. False when the account does not resolve.
bool CheckPassword(const std::string& accountName, const std::string& clear,
                   const std::string& stored, const std::string& domain);

// The administration rules for new accounts: names of 1 to 64 characters without
// any of "@;:!,%<>[]()" (callers store them lower-cased); passwords of 3 to 16
// printable characters (32..126). False with `why`.
bool ValidateAccountName(const std::string& name, std::string& why);
bool ValidatePassword(const std::string& password, std::string& why);

// ---- Reserved accounts -----------------------------------------------------------

// The accounts the server's account window never deletes: root, postmaster,
// listserver, unknown, mail-daemon (case-insensitive).
bool IsReservedAccount(const std::string& name);

// The standard accounts of a domain, each written only when it has no record:
// root (with `localRoot` a user "root user" with mailbox <user directory>root.mbx,
// else a forward to "root@<LocalNode>"), unknown and mail-daemon (aliases of root),
// listserver (a responder with both fields empty), postmaster (alias of root).
// Returns false with `why` when a write failed (the others are still tried).
bool EnsureStandardAccounts(const std::string& domain, bool localRoot, std::string& why);

// Start of the SMTP service: in the primary domain, root (user "root", mailbox
// <user directory>root.mbx) and postmaster (alias of root) when missing, and
// listserver rewritten as the responder "ListServer" unless it is a list.
bool EnsureReservedAccounts(std::string& why);

// ---- Secondary domains -----------------------------------------------------------

// One loaded secondary domain (slot numbers from 1).
struct SecondaryDomain {
  std::string description;
  std::string name;  // the key name below VirtualDomains
  int slot = 0;
};

// Builds the in-memory table from VirtualDomains (NumDomains, NumActualDomains,
// Domain%d = "description;name"), logging "Searching for secondary domains..." and
// "Added secondary domain: %s". A slot without ';' is logged as "SVD: Error in
// config file." (left in `why`) and skipped; free slots are skipped silently. At
// most kMaxSecondaryDomains. Returns false only when the table cannot be built.
bool LoadSecondaryDomains(std::string& why);
// The loaded table, in slot order (a copy: the table may be reloaded).
std::vector<SecondaryDomain> SecondaryDomains();
// Walks the loaded table: the slot of the next entry, -1 at the end. `restart`
// starts again from the first; `cursor` belongs to the caller (start it at 0).
int NextSecondaryDomain(int& cursor, bool restart, std::string& description,
                        std::string& domainName);
// "" (the primary domain) followed by the loaded secondary domain names: the walk
// over every domain's accounts.
std::vector<std::string> ListDomains();
// The domain name stored in slot `slot` (text after the ';'). False for a free or
// malformed slot.
bool GetSecondaryDomainName(int slot, std::string& out);
// The slot as stored now (not the loaded table): description and name. False for
// a free or malformed slot, or one above NumDomains.
bool ReadSecondaryDomainSlot(int slot, SecondaryDomain& out);
// Every filled slot as stored now, in slot order (malformed ones left out).
std::vector<SecondaryDomain> ReadSecondaryDomainSlots();
// Adds a domain: reuses the first free slot from 1 to NumDomains, else appends;
// writes its standard accounts (root as a forward to this host) and the aliases
// listproc, listserv and majordomo of listserver. Returns the slot, -1 with `why`
// for an empty name, a name or description over kMaxDomainTextChars or holding a
// control character, a name holding ';', '\' or '/', a description holding ';',
// a domain already in a slot, or a failed write. The router sees it after a
// restart. Callers that share the registry run it inside a RegTransaction.
int AddSecondaryDomain(const std::string& description, const std::string& domainName,
                       std::string& why);
// Frees the slot (empty value, NumActualDomains - 1; NumDomains stays). The
// domain's own key is left. False for a slot that is not in use.
bool RemoveSecondaryDomain(int slot, std::string& why);

// ---- Canonical addresses ---------------------------------------------------------

// The form in which lists compare their members and responders name their
// requester: the bare address (NormalizeAddress: display names, comments and
// routes through this host removed, domains of IncomingAlias mapped) qualified
// with this host's domain; a local address followed through aliases to its final
// account, so an alias of a member counts as that member. With a secondary
// `domain`, an address in that domain is followed through that domain's aliases.
// False when the text cannot be parsed or the result would hold CR, LF or NUL.
bool CanonicalizeAddress(const std::string& text, const std::string& domain, std::string& out);
// The same with this host's identity given (ServerHostIdentity()), for loops.
struct HostIdentity;
bool CanonicalizeAddress(const std::string& text, const std::string& domain,
                         const HostIdentity& id, std::string& out);
