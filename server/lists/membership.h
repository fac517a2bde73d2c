// Mailing-list configuration and membership. A list is an account of type list
// whose configuration name (its record's second field, or the account name when
// that is empty) names a registry key
//   SOFTWARE\Tollgrove\Corvel[\VirtualDomains\<domain>]\ListsAndResponders\<config>
// with the sections below. This module owns the Configuration switches and the
// member records of Users and AddUsers (pending members), and every operation on
// them: find, add (subscribe), remove, set options, approve and reject a pending
// member, copy members. The distributor, the list server, the digests, the
// administrator's command line and the account library all use these.
//
// Member record: REG_SZ "User<n>" = "<letters>;<address>;<full name>;<time>;"
// with the option letters r a c m d z (REPRO, ACK, CONCEAL, NOMAIL, DIGEST, ADMIN,
// written in that order), the address as given, free text, and the joining time
// in seconds since 1970. "NumUsers" is the highest slot in use, "ActualUsers" the
// number of members; an empty string is a free slot, reused first.
//
// Reading: a list's members are read in one registry enumeration (ReadListMembers),
// never one value per slot. Changing: every change of Users or AddUsers holds the
// list's named lock (shared by the server and the tools, so two processes never
// give two members one slot) and writes its values in one registry transaction
// (a crash never leaves a record without its counters).
//
// Addresses are compared in canonical form (CanonicalizeAddress): an alias of a
// member counts as that member. No record field may hold ';' (records have no
// escape), CR, LF or NUL: such an address is refused, a full name loses them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/named_lock.h"
#include "platform/registry.h"

// ---- The list's key ---------------------------------------------------------------

inline constexpr const char* kListConfigSection = "Configuration";
inline constexpr const char* kListUsersSection = "Users";
inline constexpr const char* kListPendingSection = "AddUsers";
inline constexpr const char* kListFilesSection = "Files";
inline constexpr const char* kListHeldSection = "FilesPending";
inline constexpr const char* kListMsgIdsSection = "ListMsgIds";
inline constexpr const char* kListStatisticsSection = "ListStatistics";

// Texts of the configuration are read into 200-byte buffers.
inline constexpr size_t kListTextChars = 199;
// Full names are cut here.
inline constexpr size_t kMemberNameChars = 99;
// How long a change waits for the list's lock (another process may hold it).
inline constexpr uint32_t kListLockWaitMs = 10000;

// Which list an operation works on.
struct ListRef {
  std::string name;         // the list's account name
  std::string domain;       // "" = primary
  std::string config;       // the configuration name (the key)
  std::string domainShown;  // the domain in texts and addresses (DomainShown)
};

// Resolves the list account `name` in `domain` (aliases followed). False when it
// is no list account.
bool ResolveList(const std::string& name, const std::string& domain, ListRef& out);
// The domain argument of the configuration accessors for the list (null: primary).
const char* ListDomainArg(const ListRef& list);

// ---- Configuration switches ---------------------------------------------------------

// The Configuration section read once (one enumeration).
struct ListConfig {
  std::vector<RegValue> values;
};

// False only when the configuration cannot be read (a missing key reads as all
// defaults: a closed, unmoderated list whose new members get REPRO).
bool ReadListConfig(const ListRef& list, ListConfig& out);
// A switch by name, its default from the one table of list switches.
bool GetListSwitch(const ListConfig& c, const char* name);
// A text, cut to `maxChars`.
std::string GetListText(const ListConfig& c, const char* name, size_t maxChars = kListTextChars);
long GetListNumber(const ListConfig& c, const char* name, long def);

// ListConfigFlags: the switches the distribution and membership paths read in one
// word.
enum ListConfigFlag : uint32_t {
  kListDigested = 0x10,
  kListClosed = 0x20,
  kListSendWelcome = 0x40,
  kListModerated = 0x100,
  kListModeratedAdd = 0x200,
  kListSendFooter = 0x400,
  kListBulked = 0x800,
  kListStats = 0x1000,
};
uint32_t ListConfigFlags(const ListConfig& c);
// Reads them; false when the configuration cannot be read (callers then answer
// "Unable to get list configuration for list '%s'.\r\n").
bool ReadListConfigFlags(const ListRef& list, uint32_t& flags);

// ---- Member records -----------------------------------------------------------------

enum MemberFlag : uint32_t {
  kMemberRepro = 0x01,
  kMemberAck = 0x02,
  kMemberConceal = 0x04,
  kMemberAdmin = 0x08,
  kMemberDigest = 0x10,
  kMemberNoMail = 0x80,
};

// The option letters up to the first ';' (either case; others ignored).
uint32_t ParseMemberLetters(const std::string& record);
// The letters in the order r, a, c, m, d, z.
std::string FormatMemberLetters(uint32_t flags);
// "REPRO ACK CONCEAL NOMAIL DIGEST ADMIN " for the options set, "NONE" for none.
std::string MemberFlagNames(uint32_t flags);
// The option words of the list server and the command line (REPRO, NOREPRO, ...):
// true with the flag and whether it is set or cleared.
bool ParseMemberOption(const std::string& word, uint32_t& flag, bool& on);

struct MemberRecord {
  int slot = 0;
  std::string text;      // as stored
  bool wellFormed = false;  // holds a ';' (records without one are skipped)
  uint32_t flags = 0;
  std::string address;   // field 2
  std::string fullName;  // field 3
  std::string joined;    // field 4 (seconds since 1970, as text)
};

struct MemberTable {
  long numUsers = 0;     // NumUsers
  long actualUsers = 0;  // ActualUsers
  bool present = false;  // the section holds any value at all
  std::vector<MemberRecord> records;  // the non-empty slots 1..NumUsers, in slot order
};

// Splits a record into its fields.
MemberRecord ParseMemberRecord(int slot, std::string text);
// "<letters>;<address>;<full name>;<time>;".
std::string FormatMemberRecord(uint32_t flags, const std::string& address,
                               const std::string& fullName, long long joined);

// Reads Users (or AddUsers with `pending`) in one enumeration. False when the
// store cannot be read; a missing section is an empty table.
bool ReadListMembers(const ListRef& list, bool pending, MemberTable& out);

// The slot of the first well-formed record whose address is `canonical`
// (CanonicalizeAddress form, compared without regard to case), -1 when none.
int FindMemberInTable(const MemberTable& table, const std::string& canonical,
                      const std::string& domain);
// FindListMember: the slot of `address` in Users or AddUsers, -1 when none.
int FindListMember(const ListRef& list, const std::string& address, bool pending);

// The list defaults for a new member: REPRO from ListRepro, ACK from ListAck,
// CONCEAL from ListConceal, DIGEST from ListDefDigest.
uint32_t ListDefaultMemberFlags(const ListConfig& c);

// GetMemberFlags: the member's slot (-1 when `address` is no member) and options.
struct MemberLookup {
  int slot = -1;
  uint32_t flags = 0;
};
bool GetMemberFlags(const ListRef& list, const std::string& address, MemberLookup& out);

// ---- Changes (each under the list's lock) -----------------------------------------------

// Takes the list's named lock, which every change of its members (and of its
// count of held posts) holds, in this process and in others; the configuration
// checker takes it too before it renumbers them. False when it could not be had
// within kListLockWaitMs.
bool LockListMembers(const ListRef& list, NamedLock& lock);

// SetMemberFlags: rewrites the option letters of the record in `slot`, keeping the
// rest; with `stampTime` a record without a time gets the current time (the
// member editor). False with `why` for an empty or malformed slot.
bool SetMemberFlags(const ListRef& list, int slot, uint32_t flags, bool pending, bool stampTime,
                    std::string& why);

struct AddMemberRequest {
  std::string address;
  std::string fullName;
  bool useFlags = false;       // else the list defaults
  uint32_t flags = 0;
  bool force = true;           // false only for a subscription through the list server
  bool viaListServer = false;  // the texts of a list-server request
};

struct AddMemberResult {
  bool added = false;        // written to Users
  bool pending = false;      // written to AddUsers
  int slot = -1;
  std::string reply;         // the text for the requester
  std::string welcomeFile;   // WelcomeFile, when the member was added and SendWelcome is on
};

// AddListMember: subscribes `address` (see the header comment of the module for
// the record). With ModeratedAdd and an unforced request the address goes to the
// pending list, and with ListSendMods the owner is told ("Member submitted to list
// %s"). Returns false with the reply ("User %s already registered on list %s.",
// "Address %s is already on pending list for list %s", a refused address, ...);
// also false when the owner notice failed (the record is written then).
bool AddListMember(const ListRef& list, const AddMemberRequest& request, AddMemberResult& result);

// RemoveListMember by address (or by `slot` when it is above 0). The record becomes
// an empty string, ActualUsers - 1, and when no slot above it is in use NumUsers
// drops to the slot before it. False with "User %s not registered on list %s."
bool RemoveListMember(const ListRef& list, const std::string& address, int slot, bool pending,
                      std::string& reply);

// Who sends a welcome file, for its subject and log line.
enum class WelcomeBy { kApproval, kEditor, kCopy, kListServer, kBulk };
// Sends `file` to `address` as plain text from listserver: subject "Welcome file
// for <list>", "Welcome File" for a bulk addition, or "File - Welcome File"
// through the list server; logs "Welcome message (add user|old intr|copy user|
// Bulk add) for list %s to member %s sent/failed." (a failed bulk one "bulk add").
bool SendWelcomeFile(const ListRef& list, const std::string& address, const std::string& file,
                     WelcomeBy by, std::string& answer);

// ApprovePendingMember: moves the pending record of `address` to Users (forced,
// list default options, `fullName` or the pending record's, else "(unknown)"),
// tells the address, sends the welcome file. False with `reply`.
bool ApprovePendingMember(const ListRef& list, const std::string& address,
                          const std::string& fullName, std::string& reply);
// RejectPendingMember: removes the pending record and tells the address.
bool RejectPendingMember(const ListRef& list, const std::string& address, std::string& reply);

// Copies every member of `from` into `to` (forced, with the source's options);
// a member that cannot be added is reported and the copy goes on. Returns the
// number copied; `report` gets one line per failure and the final count line.
int CopyListMembers(const ListRef& to, const ListRef& from, std::string& report);
