// cfgaudit: the account records of one domain.
//
// The check reads every record once and decides in two passes: first each record
// by itself (format, type, fields), then the references between records (alias
// targets, forward addresses, carbon copies) against the records that survive,
// repeated until nothing more falls, so that a second run finds nothing. Repairs
// are made in the order the decisions fell (a record whose target goes is removed
// after its target), each in its own transaction; the log then tells each record
// in the order the registry lists them.
#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cfgaudit/cfgaudit.h"
#include "cfgaudit/cfgaudit_texts.h"
#include "platform/errors.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"

namespace t = cfgaudit_text;

namespace {

// A full name may not hold these (nor control characters).
constexpr const char* kFullNameForbidden = "!%;@";
constexpr const char* kRootName = "root";
constexpr const char* kRootFullName = "root user";
constexpr const char* kNullMailbox = "null";

enum class Action { kKeep, kRewrite, kDelete };

// What the check found for one record.
struct Verdict {
  const RegValue* value = nullptr;
  std::string name;
  char type = 0;  // record letter, lower case; 0 when not a record
  std::vector<std::string> fields;
  std::vector<std::string> lines;  // log lines, in order
  Action action = Action::kKeep;
  bool changed = false;  // fields were mended: rewrite unless deleted
  std::vector<std::string> refs;  // names that must stay missing for the repair
  int round = 0;  // the pass that decided a reference repair (repairs go in this order)
  RepairResult result = RepairResult::kDone;
  unsigned long error = 0;  // of a failed repair
};

std::string Line(const char* format, const std::string& a, const std::string& b = std::string()) {
  return FormatText(format, a.c_str(), b.c_str());
}

bool HasInvalidNameCharacter(const std::string& s) {
  for (char c : s) {
    unsigned char u = (unsigned char)c;
    if (u < 32 || u == 127 || std::string_view(kFullNameForbidden).find(c) != std::string_view::npos)
      return true;
  }
  return false;
}

void Delete(Verdict& v, const char* format) {
  v.lines.push_back(Line(format, v.name));
  v.action = Action::kDelete;
}

// A new password for `v` (a user record), logged with `format`.
void ResetPassword(Verdict& v, const char* format) {
  std::string clear = MakeRandomPassword();
  std::string scrambled;
  ScramblePassword(FoldName(v.name), clear, scrambled);
  v.fields[2] = scrambled;
  v.lines.push_back(Line(format, v.name, clear));
  v.changed = true;
}

void CheckUserFields(Audit& a, Verdict& v) {
  std::vector<std::string>& f = v.fields;
  bool fullMissing = f.empty() || f[0].empty();
  bool mailboxMissing = f.size() < 2 || f[1].empty();
  bool passwordMissing = f.size() < 3 || f[2].empty();
  bool ccMissing = f.size() < 4;
  bool tooMany = f.size() > 4;
  f.resize(tooMany ? f.size() : 4);
  if (fullMissing) {
    v.lines.push_back(Line(t::kFullNameCorrupt, v.name));
    f[0] = v.name;
    v.changed = true;
  } else if (HasInvalidNameCharacter(f[0])) {
    v.lines.push_back(Line(t::kFullNameInvalid, v.name));
    f[0] = v.name;
    v.changed = true;
  }
  if (mailboxMissing) {
    v.lines.push_back(Line(t::kMailboxCorrupt, v.name));
    v.changed = true;
  }
  std::string clear;
  if (passwordMissing) {
    ResetPassword(v, t::kPasswordCorrupt);
  } else if (!UnscramblePassword(FoldName(v.name), f[2], clear) && !SameName(v.name, kRootName)) {
    ResetPassword(v, t::kPasswordUndecodable);
  }
  if (ccMissing) {
    v.lines.push_back(Line(t::kCcCorrupt, v.name));
    v.changed = true;
  }
  if (tooMany) {
    v.lines.push_back(Line(t::kTooManyFields, v.name));
    f.resize(4);
    v.changed = true;
  }
  // The mailbox path: "null" means no mailbox file and is left alone. Otherwise
  // the file part must be there and the directory must exist (a relative one is
  // taken in the user directory, the server's current directory); a path written
  // here is absolute.
  if (SameName(f[1], kNullMailbox)) return;
  std::string dir = PathDirectory(f[1]);
  std::string file = PathFileName(f[1]);
  bool mend = false;
  if (file.empty()) {
    v.lines.push_back(Line(t::kMailboxFileEmpty, v.name));
    file = v.name + ".mbx";
    mend = true;
  }
  std::string checkDir = dir;
  if (!checkDir.empty() && checkDir[0] != '/') checkDir = AuditUserDirectory(a) + checkDir;
  if (dir.empty() || !DirectoryExists(checkDir)) {
    v.lines.push_back(Line(t::kMailboxDirUnreachable, v.name));
    dir = AuditUserDirectory(a);
    mend = true;
  }
  if (mend) {
    f[1] = dir + file;
    v.changed = true;
  }
}

// Fields of a type with `count` fields: the missing ones are blanked with their
// line (`blankLines`, null for a field whose absence deletes the record: then
// `deleteLine`), extra ones cut with "Too Many fields".
void CheckFixedFields(Verdict& v, size_t count, const std::vector<const char*>& blankLines,
                      const char* deleteLine) {
  for (size_t i = 0; i < count; ++i) {
    if (i < v.fields.size()) continue;
    if (!blankLines[i]) {
      Delete(v, deleteLine);
      return;
    }
    v.lines.push_back(Line(blankLines[i], v.name));
    v.changed = true;
  }
  if (v.fields.size() > count) {
    v.lines.push_back(Line(t::kTooManyFields, v.name));
    v.changed = true;
  }
  v.fields.resize(count);
}

// Pass one: the record by itself.
void CheckRecord(Audit& a, Verdict& v, bool virtualDomain) {
  const RegValue& value = *v.value;
  if (value.type != kRegSz) return Delete(v, t::kNotString);
  std::string text = RegDecodeSz(value.data);
  if (text.size() < 2 || text[1] != ';') return Delete(v, t::kUnrecognized);
  v.type = char(text[0] >= 'A' && text[0] <= 'Z' ? text[0] + 32 : text[0]);
  v.fields = SplitRecordFields(text);
  if (!virtualDomain && SameName(v.name, kRootName) && v.type != 'u') {
    std::string clear = MakeRandomPassword(), scrambled;
    ScramblePassword(kRootName, clear, scrambled);
    v.type = 'u';
    v.fields = {kRootFullName, AuditUserDirectory(a) + "root.mbx", scrambled, ""};
    v.lines.push_back(Line(t::kRootReplaced, clear));
    v.changed = true;
    return;
  }
  switch (v.type) {
    case 'u':
      if (virtualDomain) return Delete(v, t::kUserInDomain);
      return CheckUserFields(a, v);
    case 'a':
      if (v.fields.empty() || v.fields[0].empty()) return Delete(v, t::kAliasCorrupt);
      return CheckFixedFields(v, 1, {nullptr}, t::kAliasCorrupt);
    case 'r':
      return CheckFixedFields(v, 2, {t::kResponderNameCorrupt, t::kLinkCorrupt}, nullptr);
    case 'f':
      if (v.fields.empty() || v.fields[0].empty()) return Delete(v, t::kForwardCorrupt);
      return CheckFixedFields(v, 1, {nullptr}, t::kForwardCorrupt);
    case 'l':
      return CheckFixedFields(v, 3, {t::kListNameCorrupt, t::kLinkCorrupt, nullptr}, t::kOwnerCorrupt);
    case 'd':
      // A custom mailbox belongs to a plug-in whose fields this check cannot judge.
      v.lines.push_back(Line(t::kCustomAccount, v.name));
      return;
    default:
      return Delete(v, t::kTypeUnknown);
  }
}

bool HasDomainPart(const std::string& address) {
  return address.find_first_of("@!") != std::string::npos;
}

// Pass two: references. Returns true when a record fell in this round.
bool CheckReferences(std::vector<Verdict>& verdicts, std::unordered_set<std::string>& alive, int round) {
  bool fell = false;
  for (Verdict& v : verdicts) {
    if (v.action == Action::kDelete || v.type == 0) continue;
    if (v.type == 'a' && !alive.count(FoldName(v.fields[0]))) {
      Delete(v, t::kAliasNotLocal);
    } else if (v.type == 'f' && !alive.count(FoldName(v.fields[0])) && !HasDomainPart(v.fields[0])) {
      Delete(v, t::kForwardNotLocal);
    } else {
      continue;
    }
    v.refs = {v.fields[0]};
    v.round = round;
    alive.erase(FoldName(v.name));
    fell = true;
  }
  return fell;
}

// The last references, once the set of records stands: carbon copies and the
// warnings of forwards that stay.
void CheckFinalReferences(std::vector<Verdict>& verdicts, const std::unordered_set<std::string>& alive,
                          int round) {
  for (Verdict& v : verdicts) {
    if (v.action == Action::kDelete) continue;
    if (v.type == 'f' && !alive.count(FoldName(v.fields[0]))) {
      v.lines.push_back(Line(t::kForwardRemote, v.name));
    } else if (v.type == 'u' && v.fields.size() >= 4 && !v.fields[3].empty() &&
               !alive.count(FoldName(v.fields[3]))) {
      if (v.fields[3].find('@') != std::string::npos) {
        v.lines.push_back(Line(t::kCcRemote, v.name));
      } else {
        v.lines.push_back(Line(t::kCcNotLocal, v.name));
        v.refs.push_back(v.fields[3]);
        v.fields[3].clear();
        v.changed = true;
        v.round = round;
      }
    }
  }
}

std::string BuildRecord(const Verdict& v) {
  std::string out(1, v.type);
  for (const std::string& f : v.fields) out += ";" + f;
  return out;
}

}  // namespace

void CheckUsers(Audit& a, const std::string& domain) {
  bool virtualDomain = !domain.empty();
  std::string key = ConfigKeyPath(kUsersSection, domain.c_str());
  if (!virtualDomain) a.log.Write(t::kUsersBegin);
  std::vector<RegValue> values;
  if (!RegEnumValues(key, values) && LastWinError() != kErrFileNotFound) {
    a.log.Printf(t::kUsersEnumError, (unsigned long)LastWinError());
    ++a.findings;
    if (!virtualDomain) a.log.Write(t::kUsersEnd);
    return;
  }
  std::vector<Verdict> verdicts(values.size());
  std::unordered_set<std::string> alive;
  for (size_t i = 0; i < values.size(); ++i) {
    Verdict& v = verdicts[i];
    v.value = &values[i];
    v.name = values[i].name;
    CheckRecord(a, v, virtualDomain);
    if (v.action != Action::kDelete) alive.insert(FoldName(v.name));
  }
  int round = 1;
  while (CheckReferences(verdicts, alive, round)) ++round;
  CheckFinalReferences(verdicts, alive, round);

  for (Verdict& v : verdicts) {
    if (v.action == Action::kKeep && v.changed) v.action = Action::kRewrite;
    if (v.action == Action::kRewrite && BuildRecord(v).size() > kMaxRecordChars) {
      v.lines.push_back(Line(t::kRecordTooLong, v.name));
      v.action = Action::kKeep;
      ++a.findings;
    }
  }
  // Repairs: record by record, a later round after the records it depends on.
  for (int r = 0; r <= round; ++r) {
    for (Verdict& v : verdicts) {
      if (v.action == Action::kKeep || v.round != r) continue;
      ValueRepair repair;
      repair.key = key;
      repair.name = v.name;
      repair.seen = *v.value;
      repair.remove = v.action == Action::kDelete;
      repair.data = RegEncodeSz(BuildRecord(v));
      repair.refKey = key;
      repair.mustStayMissing = v.refs;
      v.result = ApplyRepair(repair);
      v.error = (unsigned long)LastWinError();
      ++a.findings;
    }
  }
  for (const Verdict& v : verdicts) {
    for (const std::string& line : v.lines) a.log.Write(line);
    if (v.action == Action::kKeep) continue;
    if (v.result == RepairResult::kChangedMeanwhile)
      a.log.Printf(t::kChangedMeanwhile, ("User " + v.name).c_str());
    else if (v.result == RepairResult::kFailed)
      a.log.Printf(t::kRepairFailed, ("User " + v.name).c_str(), v.error);
  }
  if (!virtualDomain) a.log.Write(t::kUsersEnd);
}
