// List configuration switches, member records and the membership operations.
#include "server/lists/membership.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <ctime>

#include "server/accounts/accounts.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/responder/message_builders.h"
#include "server/spool/headers.h"

namespace {

// The one table of list switches and their defaults.
struct ListSwitchDefault {
  const char* name;
  bool on;
};
constexpr ListSwitchDefault kListSwitches[] = {
    {"ClosedList", true},          {"Moderated", false},
    {"ModeratedAdd", false},       {"SendWelcome", false},
    {"SendFooter", false},         {"ListRepro", true},
    {"ListAck", false},            {"ListConceal", false},
    {"ListDefDigest", false},      {"ListBulked", false},
    {"ListDigested", false},       {"ListStats", false},
    {"ListOnlyOwner", false},      {"ListSendMods", false},
    {"ListAutoReject", false},     {"RouteToOwner", false},
    {"SetReplyToList", true},      {"VisibleToExpn", true},
    {"VisibleToListServ", true},   {"ListVisibleToListServ", true},
    {"IncludeSubject", false},     {"SendCopyToOwner", false},
};

// The switches behind ListConfigFlags.
struct FlagSwitch {
  uint32_t flag;
  const char* name;
};
constexpr FlagSwitch kFlagSwitches[] = {
    {kListDigested, "ListDigested"}, {kListClosed, "ClosedList"},
    {kListSendWelcome, "SendWelcome"}, {kListModerated, "Moderated"},
    {kListModeratedAdd, "ModeratedAdd"}, {kListSendFooter, "SendFooter"},
    {kListBulked, "ListBulked"}, {kListStats, "ListStats"},
};

// The option letters in the order they are written, with their display names.
struct MemberOptionLetter {
  char letter;
  uint32_t flag;
};
constexpr MemberOptionLetter kLetterOrder[] = {
    {'r', kMemberRepro}, {'a', kMemberAck}, {'c', kMemberConceal},
    {'m', kMemberNoMail}, {'d', kMemberDigest}, {'z', kMemberAdmin},
};
struct MemberOptionName {
  uint32_t flag;
  const char* name;
};
constexpr MemberOptionName kNameOrder[] = {
    {kMemberRepro, "REPRO "}, {kMemberAck, "ACK "},       {kMemberConceal, "CONCEAL "},
    {kMemberNoMail, "NOMAIL "}, {kMemberDigest, "DIGEST "}, {kMemberAdmin, "ADMIN "},
};
// The option words of the list server (and the command line).
struct MemberOptionWord {
  const char* word;
  uint32_t flag;
  bool on;
};
constexpr MemberOptionWord kOptionWords[] = {
    {"REPRO", kMemberRepro, true},     {"NOREPRO", kMemberRepro, false},
    {"ACK", kMemberAck, true},         {"NOACK", kMemberAck, false},
    {"CONCEAL", kMemberConceal, true}, {"NOCONCEAL", kMemberConceal, false},
    {"NOMAIL", kMemberNoMail, true},   {"MAIL", kMemberNoMail, false},
    {"DIGEST", kMemberDigest, true},   {"NODIGEST", kMemberDigest, false},
};

constexpr const char* kSlotFormat = "User%d";
constexpr const char* kNumUsers = "NumUsers";
constexpr const char* kActualUsers = "ActualUsers";
constexpr const char* kListServerUser = "listserver";
constexpr const char* kUnknownName = "(unknown)";

// Replies (the texts the requester or administrator reads).
constexpr const char* kTextNoConfig = "Unable to get list configuration for list '%s'.\r\n";
constexpr const char* kTextAlreadyMember = "User %s already registered on list %s.";
constexpr const char* kTextAlreadyPending = "Address %s is already on pending list for list %s";
constexpr const char* kTextNotMember = "User %s not registered on list %s.";
constexpr const char* kTextNotPending = "Address %s is not on the pending list for list %s.\r\n";
constexpr const char* kTextAdded = "User %s added to list %s\r\n";
constexpr const char* kTextRemoved = "User %s removed from list %s\r\n";
constexpr const char* kTextWaiting = "User %s added to waiting list for list %s\r\n";
constexpr const char* kTextForwarded =
    "Your request to listserver@%s has been\r\nforwarded to the owner of the list '%s' for "
    "approval.\r\n\r\n";
constexpr const char* kTextForwardedWhy =
    "This usually means that you have tried to subscribe to a closed\r\nlist or a moderated list "
    "where the listowner needs to add you to the list.\r\n\r\n";
constexpr const char* kTextForwardedContact =
    "If there are any questions, please send mail to\r\n'owner-%s@%s.\r\n";
constexpr const char* kTextBadAddress =
    "Address '%s' cannot be a member: it is empty or holds ';', a line break or a NUL byte.\r\n";
constexpr const char* kTextNotAddress = "Address '%s' is not a mail address.\r\n";
constexpr const char* kTextLocked = "Unable to lock list '%s' for changes.\r\n";
constexpr const char* kTextWriteFailed = "Unable to write the members of list '%s'.\r\n";

std::string SlotName(int slot) { return FormatText(kSlotFormat, slot); }

// The slot number of a value name "User<n>" (n from 1, no leading zero); 0 otherwise.
int SlotOfName(const std::string& name) {
  if (name.size() < 5 || strncasecmp(name.c_str(), "User", 4) != 0 || name[4] == '0') return 0;
  long n = 0;
  for (size_t i = 4; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
    if (n > 0x7fffffff) return 0;
  }
  return int(n);
}

bool HasBadFieldByte(const std::string& s) {
  return s.find_first_of(std::string(";\r\n\0", 4)) != std::string::npos;
}

// A full name as stored: no ';', CR, LF or NUL, at most kMemberNameChars.
std::string CleanFullName(const std::string& name) {
  std::string out;
  for (char c : name)
    if (c != ';' && c != '\r' && c != '\n' && c != '\0') out += c;
  if (out.size() > kMemberNameChars) out.resize(kMemberNameChars);
  return out;
}

// The canonical form for comparisons; the text itself when it does not parse.
std::string CanonicalOrText(const std::string& address, const std::string& domain) {
  std::string c;
  return CanonicalizeAddress(address, domain, c) ? c : address;
}

// True when `address` is its own canonical form: one "local@domain" of plain
// characters in a domain that is not ours (nor mapped to us). Most members of a
// big list are such addresses; they are compared as they stand, without the
// normaliser, which a list of 10,000 members would run for every subscription.
// The characters of a plain address: letters, digits and the punctuation the
// normaliser passes through unchanged (not routes, comments, quotes or paths).
constexpr std::array<bool, 256> kPlainAddressChars = [] {
  std::array<bool, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[size_t(c)] = t[size_t(c - 'a' + 'A')] = true;
  for (int c = '0'; c <= '9'; ++c) t[size_t(c)] = true;
  for (char c : std::string_view(".-_+='/?#&*$^{}|~`")) t[static_cast<unsigned char>(c)] = true;
  return t;
}();

bool IsPlainRemoteAddress(std::string_view a, const HostIdentity& id, const std::string& domain) {
  if (!id.incomingAliases.empty()) return false;  // a domain may be mapped to us
  size_t at = std::string_view::npos;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(a[i]);
    if (c == '@' && at == std::string_view::npos && i > 0) at = i;
    else if (!kPlainAddressChars[c]) return false;
  }
  if (at == std::string_view::npos) return false;
  std::string_view host = a.substr(at + 1);
  if (host.empty() || host.back() == '.' || host.find('.') == std::string_view::npos) return false;
  if (IsThisHost(host, id)) return false;
  return domain.empty() || host.size() != domain.size() ||
         strncasecmp(host.data(), domain.data(), host.size()) != 0;
}

// The owner's address as the router knows it: owner-<list>, in a secondary domain
// with the domain (the bare name would be looked up in the primary domain).
std::string OwnerAlias(const ListRef& list) {
  std::string a = "owner-" + list.name;
  if (!list.domain.empty()) a += "@" + list.domain;
  return a;
}

// What AddListMember needs of Users or AddUsers, read in one enumeration without
// building member records (a subscription to a list of 10,000 must stay cheap):
// the counters, the slots in use, and the slot of a record of `canonical`.
struct SlotScan {
  long numUsers = 0, actualUsers = 0;
  int highest = 0;         // the highest slot holding any value, even above NumUsers
  std::vector<bool> used;  // slots 1..NumUsers holding a record
  int found = -1;          // the lowest slot whose address is `canonical`
};

bool ScanSection(const ListRef& list, bool pending, const std::string& canonical, SlotScan& out) {
  out = SlotScan();
  thread_local std::vector<RegValue> values;  // kept: a big list's vector is reused
  const char* section = pending ? kListPendingSection : kListUsersSection;
  if (!ConfigReadValues(section, values, ListDomainArg(list), list.config.c_str())) return false;
  out.numUsers = std::max(0L, ConfigValueNumber(FindConfigValue(values, kNumUsers), 0));
  out.actualUsers = std::max(0L, ConfigValueNumber(FindConfigValue(values, kActualUsers), 0));
  out.used.assign(size_t(out.numUsers) + 1, false);
  const HostIdentity id = ServerHostIdentity();
  std::string form;
  for (const RegValue& v : values) {
    int slot = SlotOfName(v.name);
    if (slot == 0 || (v.type != kRegSz && v.type != kRegExpandSz)) continue;
    std::string_view text(v.data.data(), strnlen(v.data.data(), v.data.size()));
    if (text.empty()) continue;
    out.highest = std::max(out.highest, slot);
    if (slot > out.numUsers) continue;
    out.used[size_t(slot)] = true;
    size_t first = text.find(';');
    if (first == std::string_view::npos || (out.found > 0 && slot > out.found)) continue;
    std::string_view address = text.substr(first + 1, text.find(';', first + 1) - first - 1);
    if (address.empty()) continue;
    bool same;
    if (IsPlainRemoteAddress(address, id, list.domain)) {
      same = address.size() == canonical.size() &&
             strncasecmp(address.data(), canonical.data(), address.size()) == 0;
    } else {
      std::string raw(address);
      if (!CanonicalizeAddress(raw, list.domain, id, form)) form = raw;
      same = strcasecmp(form.c_str(), canonical.c_str()) == 0;
    }
    if (same) out.found = slot;
  }
  return true;
}

// The slot a new record takes: after the last when the counters agree, else the
// first free one; a slot holding a value is never overwritten.
int ChooseSlot(const SlotScan& t) {
  if (t.actualUsers != t.numUsers) {
    for (int s = 1; s <= t.numUsers; ++s)
      if (!t.used[size_t(s)]) return s;
  }
  return int(std::max<long>(t.numUsers, t.highest)) + 1;
}


bool WriteSlot(const ListRef& list, bool pending, int slot, const std::string& text) {
  return ConfigSetString(pending ? kListPendingSection : kListUsersSection, SlotName(slot).c_str(),
                         text.c_str(), ListDomainArg(list), list.config.c_str());
}

bool WriteCounter(const ListRef& list, bool pending, const char* name, long value) {
  return ConfigSetNumber(pending ? kListPendingSection : kListUsersSection, name, value,
                         ListDomainArg(list), list.config.c_str());
}

// Frees `slot` of a table read under the lock (see RemoveListMember).
bool FreeSlot(const ListRef& list, bool pending, const MemberTable& t, int slot) {
  RegTransaction tx;
  bool ok = WriteSlot(list, pending, slot, "") &&
            WriteCounter(list, pending, kActualUsers, std::max(0L, t.actualUsers - 1));
  bool aboveFree = std::none_of(t.records.begin(), t.records.end(),
                                [&](const MemberRecord& r) { return r.slot > slot; });
  if (ok && aboveFree && slot <= t.numUsers) {
    ok = WriteCounter(list, pending, kNumUsers, slot - 1);
    for (int s = slot; ok && s <= t.numUsers; ++s) ok = WriteSlot(list, pending, s, "");
  }
  return ok && tx.Commit();
}

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool LockListMembers(const ListRef& list, NamedLock& lock) {
  // Names compare without regard to case, so the lock's name does too.
  std::string name = "Corvel-ListAccess-" + list.domain + "-" + list.config;
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return AcquireNamedLock(lock, name, kListLockWaitMs);
}

// ---- The list's key -----------------------------------------------------------------------

bool ResolveList(const std::string& name, const std::string& domain, ListRef& out) {
  AccountRecord rec;
  if (name.empty() || !ReadAccount(name, domain, true, rec) || rec.type != kAccountList)
    return false;
  out = ListRef();
  out.name = rec.name;
  out.domain = domain;
  if (!GetAccountConfigName(rec.name, out.config, domain) || out.config.empty())
    out.config = rec.name;
  out.domainShown = DomainShown(domain);
  return true;
}

const char* ListDomainArg(const ListRef& list) {
  return list.domain.empty() ? nullptr : list.domain.c_str();
}

// ---- Configuration ---------------------------------------------------------------------

bool ReadListConfig(const ListRef& list, ListConfig& out) {
  return ConfigReadValues(kListConfigSection, out.values, ListDomainArg(list), list.config.c_str());
}

bool GetListSwitch(const ListConfig& c, const char* name) {
  bool def = false;
  for (const ListSwitchDefault& s : kListSwitches)
    if (strcasecmp(s.name, name) == 0) def = s.on;
  return ConfigValueBool(FindConfigValue(c.values, name), def);
}

std::string GetListText(const ListConfig& c, const char* name, size_t maxChars) {
  return ConfigValueText(FindConfigValue(c.values, name), "", maxChars);
}

long GetListNumber(const ListConfig& c, const char* name, long def) {
  return ConfigValueNumber(FindConfigValue(c.values, name), def);
}

uint32_t ListConfigFlags(const ListConfig& c) {
  uint32_t flags = 0;
  for (const FlagSwitch& f : kFlagSwitches)
    if (GetListSwitch(c, f.name)) flags |= f.flag;
  return flags;
}

bool ReadListConfigFlags(const ListRef& list, uint32_t& flags) {
  ListConfig c;
  if (!ReadListConfig(list, c)) return false;
  flags = ListConfigFlags(c);
  return true;
}

uint32_t ListDefaultMemberFlags(const ListConfig& c) {
  uint32_t f = 0;
  if (GetListSwitch(c, "ListRepro")) f |= kMemberRepro;
  if (GetListSwitch(c, "ListAck")) f |= kMemberAck;
  if (GetListSwitch(c, "ListConceal")) f |= kMemberConceal;
  if (GetListSwitch(c, "ListDefDigest")) f |= kMemberDigest;
  return f;
}

// ---- Records ----------------------------------------------------------------------------

uint32_t ParseMemberLetters(const std::string& record) {
  uint32_t flags = 0;
  for (char c : record) {
    if (c == ';') break;
    char lower = char(std::tolower(static_cast<unsigned char>(c)));
    for (const MemberOptionLetter& l : kLetterOrder)
      if (l.letter == lower) flags |= l.flag;
  }
  return flags;
}

std::string FormatMemberLetters(uint32_t flags) {
  std::string out;
  for (const MemberOptionLetter& l : kLetterOrder)
    if (flags & l.flag) out += l.letter;
  return out;
}

std::string MemberFlagNames(uint32_t flags) {
  std::string out;
  for (const MemberOptionName& n : kNameOrder)
    if (flags & n.flag) out += n.name;
  return out.empty() ? "NONE" : out;
}

bool ParseMemberOption(const std::string& word, uint32_t& flag, bool& on) {
  for (const MemberOptionWord& w : kOptionWords) {
    if (strcasecmp(w.word, word.c_str()) == 0) {
      flag = w.flag;
      on = w.on;
      return true;
    }
  }
  return false;
}

MemberRecord ParseMemberRecord(int slot, std::string stored) {
  MemberRecord r;
  r.slot = slot;
  r.text = std::move(stored);
  const std::string& text = r.text;
  size_t first = text.find(';');
  r.wellFormed = first != std::string::npos;
  r.flags = ParseMemberLetters(text);
  if (!r.wellFormed) return r;
  std::string* fields[] = {&r.address, &r.fullName, &r.joined};
  size_t pos = first + 1;
  for (std::string* f : fields) {
    if (pos > text.size()) break;
    size_t end = text.find(';', pos);
    *f = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return r;
}

std::string FormatMemberRecord(uint32_t flags, const std::string& address,
                               const std::string& fullName, long long joined) {
  return FormatMemberLetters(flags) + ";" + address + ";" + fullName + ";" +
         std::to_string(joined) + ";";
}

bool ReadListMembers(const ListRef& list, bool pending, MemberTable& out) {
  out = MemberTable();
  std::vector<RegValue> values;
  const char* section = pending ? kListPendingSection : kListUsersSection;
  if (!ConfigReadValues(section, values, ListDomainArg(list), list.config.c_str())) return false;
  out.present = !values.empty();
  out.numUsers = std::max(0L, ConfigValueNumber(FindConfigValue(values, kNumUsers), 0));
  out.actualUsers = std::max(0L, ConfigValueNumber(FindConfigValue(values, kActualUsers), 0));
  out.records.reserve(values.size());
  for (RegValue& v : values) {
    int slot = SlotOfName(v.name);
    if (slot == 0 || (v.type != kRegSz && v.type != kRegExpandSz)) continue;
    // The text up to its terminating zero, without a copy.
    std::string text = std::move(v.data);
    text.resize(strnlen(text.data(), text.size()));
    if (text.empty()) continue;
    if (slot <= out.numUsers) out.records.push_back(ParseMemberRecord(slot, std::move(text)));
  }
  // Values come in the order they were made, which is nearly always slot order.
  auto bySlot = [](const MemberRecord& a, const MemberRecord& b) { return a.slot < b.slot; };
  if (!std::is_sorted(out.records.begin(), out.records.end(), bySlot))
    std::sort(out.records.begin(), out.records.end(), bySlot);
  return true;
}

int FindMemberInTable(const MemberTable& table, const std::string& canonical,
                      const std::string& domain) {
  const HostIdentity id = ServerHostIdentity();
  std::string c;
  for (const MemberRecord& r : table.records) {
    if (!r.wellFormed || r.address.empty()) continue;
    const std::string* form = &r.address;
    if (!IsPlainRemoteAddress(r.address, id, domain)) {
      if (!CanonicalizeAddress(r.address, domain, id, c)) c = r.address;
      form = &c;
    }
    if (form->size() == canonical.size() && strcasecmp(form->c_str(), canonical.c_str()) == 0)
      return r.slot;
  }
  return -1;
}

int FindListMember(const ListRef& list, const std::string& address, bool pending) {
  MemberTable t;
  if (!ReadListMembers(list, pending, t)) return -1;
  return FindMemberInTable(t, CanonicalOrText(address, list.domain), list.domain);
}

bool GetMemberFlags(const ListRef& list, const std::string& address, MemberLookup& out) {
  out = MemberLookup();
  if (address.empty()) {
    ListConfig c;
    if (!ReadListConfig(list, c)) return false;
    out.flags = ListDefaultMemberFlags(c);
    return true;
  }
  MemberTable t;
  if (!ReadListMembers(list, false, t)) return false;
  out.slot = FindMemberInTable(t, CanonicalOrText(address, list.domain), list.domain);
  for (const MemberRecord& r : t.records)
    if (r.slot == out.slot) out.flags = r.flags;
  return true;
}

// ---- Changes ------------------------------------------------------------------------------

bool SetMemberFlags(const ListRef& list, int slot, uint32_t flags, bool pending, bool stampTime,
                    std::string& why) {
  NamedLock lock;
  if (!LockListMembers(list, lock)) {
    why = FormatText(kTextLocked, list.name.c_str());
    return false;
  }
  const char* section = pending ? kListPendingSection : kListUsersSection;
  std::string text = ConfigGetText(section, SlotName(slot).c_str(), "", ListDomainArg(list),
                                   list.config.c_str());
  MemberRecord r = ParseMemberRecord(slot, text);
  if (slot <= 0 || !r.wellFormed) {
    why = FormatText("No member in slot %d of list '%s'.\r\n", slot, list.name.c_str());
    return false;
  }
  std::string updated = FormatMemberLetters(flags) + text.substr(text.find(';'));
  if (stampTime && r.joined.empty())
    updated = FormatMemberRecord(flags, r.address, r.fullName, time(nullptr));
  if (!WriteSlot(list, pending, slot, updated)) {
    why = FormatText(kTextWriteFailed, list.name.c_str());
    return false;
  }
  return true;
}

bool AddListMember(const ListRef& list, const AddMemberRequest& req, AddMemberResult& result) {
  result = AddMemberResult();
  const char* listName = list.name.c_str();
  std::string given = TrimBlanks(req.address);
  if (given.empty() || HasBadFieldByte(given)) {
    result.reply = FormatText(kTextBadAddress, VisibleText(given).c_str());
    return false;
  }
  // The record keeps the address as given; of "Name <address>" only the address.
  size_t lt = given.find('<');
  std::string address =
      lt == std::string::npos ? given : TrimBlanks(given.substr(lt + 1, given.find('>', lt) - lt - 1));
  std::string canonical;
  if (address.empty() || HasBadFieldByte(address) ||
      !CanonicalizeAddress(address, list.domain, canonical)) {
    result.reply = FormatText(kTextNotAddress, VisibleText(given).c_str());
    return false;
  }
  ListConfig config;
  if (!ReadListConfig(list, config)) {
    result.reply = FormatText(kTextNoConfig, listName);
    return false;
  }
  uint32_t flags = ListConfigFlags(config);
  bool pending = (flags & kListModeratedAdd) && !req.force;

  NamedLock lock;
  if (!LockListMembers(list, lock)) {
    result.reply = FormatText(kTextLocked, listName);
    return false;
  }
  SlotScan members, target;
  if (!ScanSection(list, false, canonical, members)) {
    result.reply = FormatText(kTextNoConfig, listName);
    return false;
  }
  if (members.found > 0) {
    result.reply = FormatText(kTextAlreadyMember, address.c_str(), listName);
    return false;
  }
  if (pending) {
    if (!ScanSection(list, true, canonical, target)) {
      result.reply = FormatText(kTextNoConfig, listName);
      return false;
    }
    if (target.found > 0) {
      result.reply = FormatText(kTextAlreadyPending, address.c_str(), listName);
      return false;
    }
  } else {
    target = std::move(members);
  }
  int slot = ChooseSlot(target);
  uint32_t options = req.useFlags ? req.flags : ListDefaultMemberFlags(config);
  std::string record = FormatMemberRecord(options, address, CleanFullName(req.fullName),
                                          static_cast<long long>(time(nullptr)));
  {
    RegTransaction tx;
    bool ok = WriteSlot(list, pending, slot, record) &&
              WriteCounter(list, pending, kNumUsers, std::max<long>(target.numUsers, slot)) &&
              WriteCounter(list, pending, kActualUsers, target.actualUsers + 1);
    if (!ok || !tx.Commit()) {
      result.reply = FormatText(kTextWriteFailed, listName);
      return false;
    }
  }
  lock.release();
  result.slot = slot;
  result.pending = pending;
  result.added = !pending;

  if (!pending) {
    result.reply = FormatText(kTextAdded, address.c_str(), listName);
  } else if (req.viaListServer) {
    result.reply = FormatText(kTextForwarded, list.domainShown.c_str(), listName) +
                   kTextForwardedWhy +
                   FormatText(kTextForwardedContact, listName, list.domainShown.c_str());
  } else {
    result.reply = FormatText(kTextWaiting, address.c_str(), listName);
  }
  bool ok = true;
  if (pending && GetListSwitch(config, "ListSendMods")) {
    ok = SendTextMessage(FormatText("Member submitted: '%s'.\r\n", address.c_str()),
                         kListServerUser, list.domainShown, OwnerAlias(list),
                         FormatText("Member submitted to list %s", listName), nullptr,
                         kAutoGenerated);
    LogEvent(0, kLogRouting,
             ok ? "Notification of submitted member to listowner 'owner-%s' sent."
                : "Notification of submitted member to listowner 'owner-%s' failed.",
             listName);
  }
  if (!pending && (flags & kListSendWelcome))
    result.welcomeFile = GetListText(config, "WelcomeFile");
  return ok;
}

bool RemoveListMember(const ListRef& list, const std::string& address, int slot, bool pending,
                      std::string& reply) {
  const char* listName = list.name.c_str();
  NamedLock lock;
  if (!LockListMembers(list, lock)) {
    reply = FormatText(kTextLocked, listName);
    return false;
  }
  MemberTable t;
  if (!ReadListMembers(list, pending, t)) {
    reply = FormatText(kTextNoConfig, listName);
    return false;
  }
  if (slot <= 0) slot = FindMemberInTable(t, CanonicalOrText(address, list.domain), list.domain);
  bool present = std::any_of(t.records.begin(), t.records.end(),
                             [&](const MemberRecord& r) { return r.slot == slot; });
  std::string shown = VisibleText(address);
  if (slot <= 0 || !present) {
    reply = FormatText(kTextNotMember, shown.c_str(), listName);
    return false;
  }
  if (!FreeSlot(list, pending, t, slot)) {
    reply = FormatText(kTextWriteFailed, listName);
    return false;
  }
  reply = FormatText(kTextRemoved, shown.c_str(), listName);
  return true;
}

bool SendWelcomeFile(const ListRef& list, const std::string& address, const std::string& file,
                     WelcomeBy by, std::string& answer) {
  FileReplyRequest r;
  r.recipient = address;
  r.senderUser = kListServerUser;
  r.senderDomain = list.domainShown;
  r.domain = list.domain;
  r.path = file;
  r.mode = FileMode::kPlain;
  if (by == WelcomeBy::kListServer) r.description = "Welcome File";
  else if (by == WelcomeBy::kBulk) r.subject = "Welcome File";
  else r.subject = "Welcome file for " + list.name;
  bool ok = SendFileReply(r, answer);
  const char* word = by == WelcomeBy::kEditor ? "old intr" : by == WelcomeBy::kCopy ? "copy user"
                                                                                     : "add user";
  if (by == WelcomeBy::kBulk) word = ok ? "Bulk add" : "bulk add";  // the two texts differ so
  if (by != WelcomeBy::kListServer)
    LogEvent(0, kLogRouting,
             ok ? "Welcome message (%s) for list %s to member %s sent."
                : "Welcome message (%s) for list %s to member %s failed.",
             word, list.name.c_str(), VisibleText(address).c_str());
  return ok;
}

namespace {

// The pending record of `address`, or false with the reply.
bool FindPending(const ListRef& list, const std::string& address, MemberRecord& out,
                 std::string& reply) {
  MemberTable t;
  int slot = -1;
  if (ReadListMembers(list, true, t))
    slot = FindMemberInTable(t, CanonicalOrText(address, list.domain), list.domain);
  for (const MemberRecord& r : t.records)
    if (r.slot == slot) out = r;
  if (slot > 0) return true;
  reply = FormatText(kTextNotPending, VisibleText(address).c_str(), list.name.c_str());
  return false;
}

}  // namespace

bool ApprovePendingMember(const ListRef& list, const std::string& address,
                          const std::string& fullName, std::string& reply) {
  MemberRecord pendingRecord;
  if (!FindPending(list, address, pendingRecord, reply)) return false;
  std::string name = fullName;
  if (name.empty()) {
    // The third field, when the record has one.
    size_t second = pendingRecord.text.find(';', pendingRecord.text.find(';') + 1);
    name = second == std::string::npos ? kUnknownName : pendingRecord.fullName;
  }
  if (!RemoveListMember(list, pendingRecord.address, pendingRecord.slot, true, reply)) return false;
  AddMemberRequest req;
  req.address = pendingRecord.address;
  req.fullName = name;
  AddMemberResult added;
  if (!AddListMember(list, req, added) && !added.added) {
    reply = added.reply;
    return false;
  }
  reply = added.reply;
  const char* listName = list.name.c_str();
  bool told = SendTextMessage(
      FormatText("Submission to list %s has been accepted by listowner.\r\n", listName),
      kListServerUser, list.domainShown, pendingRecord.address,
      FormatText("Submission for addition to list %s accepted.", listName));
  LogEvent(0, kLogRouting,
           told ? "Notification of addition to list %s of user '%s' sent."
                : "Notification of addition to list %s of user '%s' failed.",
           listName, VisibleText(pendingRecord.address).c_str());
  if (!added.welcomeFile.empty())
    SendWelcomeFile(list, pendingRecord.address, added.welcomeFile, WelcomeBy::kApproval, reply);
  return true;
}

bool RejectPendingMember(const ListRef& list, const std::string& address, std::string& reply) {
  MemberRecord pendingRecord;
  if (!FindPending(list, address, pendingRecord, reply)) return false;
  if (!RemoveListMember(list, pendingRecord.address, pendingRecord.slot, true, reply)) return false;
  const char* listName = list.name.c_str();
  bool told = SendTextMessage(
      FormatText("Submission to list %s has been rejected by listowner.\r\n", listName),
      kListServerUser, list.domainShown, pendingRecord.address,
      FormatText("Submission for addition to list %s rejected.", listName));
  LogEvent(0, kLogRouting,
           told ? "Notification of reject to user '%s' sent."
                : "Notification of reject to user '%s' failed.",
           VisibleText(pendingRecord.address).c_str());
  reply = FormatText("User %s rejected from list %s\r\n", VisibleText(pendingRecord.address).c_str(),
                     listName);
  return true;
}

int CopyListMembers(const ListRef& to, const ListRef& from, std::string& report) {
  MemberTable t;
  int copied = 0;
  if (ReadListMembers(from, false, t)) {
    for (const MemberRecord& r : t.records) {
      if (!r.wellFormed || r.address.empty()) continue;
      AddMemberRequest req;
      req.address = r.address;
      req.fullName = r.fullName;
      req.useFlags = true;
      req.flags = r.flags;
      AddMemberResult result;
      if (!AddListMember(to, req, result) && !result.added) {
        report += FormatText("Error adding user '%s' to list '%s'.\r\n",
                             VisibleText(r.address).c_str(), to.name.c_str());
        continue;
      }
      ++copied;
      if (!result.welcomeFile.empty())
        SendWelcomeFile(to, r.address, result.welcomeFile, WelcomeBy::kCopy, report);
    }
  }
  report += FormatText("%d members copied to list'%s'.", copied, to.name.c_str());
  return copied;
}
