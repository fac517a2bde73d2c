// cfgaudit: the general settings of the configuration root.
#include <string>
#include <unordered_map>

#include "cfgaudit/cfgaudit.h"
#include "cfgaudit/cfgaudit_texts.h"
#include "platform/errors.h"

namespace t = cfgaudit_text;

namespace {

constexpr size_t kMaxDottedAddress = 15;  // "255.255.255.255"
constexpr uint32_t kDefaultQueueSeconds = 60;
constexpr int32_t kQueueSecondsMin = 5, kQueueSecondsMax = 300;
constexpr const char* kStrictName = "StrictSmtpAdherence";
constexpr const char* kStrictMisspelled = "StrictSmtpAdherance";

// The root's values as read at the start of the check, by folded name.
using RootValues = std::unordered_map<std::string, RegValue>;

const RegValue* Find(const RootValues& values, const char* name) {
  auto it = values.find(FoldName(name));
  return it == values.end() ? nullptr : &it->second;
}

ValueRepair RepairOf(const RootValues& values, const char* name) {
  ValueRepair r;
  r.key = AuditRootKey();
  r.name = name;
  const RegValue* v = Find(values, name);
  r.seenMissing = v == nullptr;
  if (v) r.seen = *v;
  return r;
}

ValueRepair WriteString(const RootValues& values, const char* name, const std::string& text) {
  ValueRepair r = RepairOf(values, name);
  r.data = RegEncodeSz(text);
  return r;
}

ValueRepair WriteDword(const RootValues& values, const char* name, uint32_t n) {
  ValueRepair r = RepairOf(values, name);
  r.type = kRegDword;
  r.data = RegEncodeDword(n);
  return r;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsDottedAddress(const std::string& s) {
  return !s.empty() && s.size() <= kMaxDottedAddress &&
         s.find_first_not_of("0123456789.") == std::string::npos;
}

// The form the server reads best: a lone dotted address in brackets, a host name
// without them. A ";" list of servers stays exactly as it is (the server splits
// it), and so does anything else that is not one of those two forms, such as a
// bracketed address with a port.
std::string NormalizeServer(const std::string& stored) {
  if (stored.find(';') != std::string::npos) return stored;
  size_t b = 0, e = stored.size();
  while (b < e && IsBlank(stored[b])) ++b;
  while (e > b && IsBlank(stored[e - 1])) --e;
  std::string trimmed = stored.substr(b, e - b);
  std::string core = trimmed;
  if (!core.empty() && core.front() == '[') core.erase(0, 1);
  if (!core.empty() && core.back() == ']') core.pop_back();
  if (IsDottedAddress(core)) return "[" + core + "]";
  if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']')
    return trimmed.substr(1, trimmed.size() - 2);
  return trimmed;
}

void CheckServerValue(Audit& a, const RootValues& values, const char* name) {
  const RegValue* v = Find(values, name);
  std::string fixed;
  if (!v) {
    // Missing reads as the server's default, which is the empty text: writing
    // that makes the setting visible and the next run quiet.
    a.log.Printf(t::kServerMissing, name);
  } else if (v->type != kRegSz) {
    a.log.Printf(t::kServerUnreadable, name);
  } else {
    std::string stored = RegDecodeSz(v->data);
    fixed = NormalizeServer(stored);
    if (fixed == stored) return;
    a.log.Printf(t::kServerCorrected, name);
  }
  ++a.findings;
  ApplyAndReport(a, WriteString(values, name, fixed), name);
}

struct DirectoryValue {
  const char* name;
  const char* missing;
  const char* unreachable;
  const char* writeFailed;
};

// The outgoing directory reports its absence with the incoming directory's line,
// as it always has.
constexpr DirectoryValue kDirectories[] = {
    {"SystemIncoming", t::kIncomingMissing, t::kIncomingUnreachable, t::kIncomingWriteFailed},
    {"SystemOutgoing", t::kIncomingMissing, t::kOutgoingUnreachable, t::kOutgoingWriteFailed},
    {"UserDirectory", t::kUserDirMissing, t::kUserDirUnreachable, t::kUserDirWriteFailed},
};

void CheckDirectory(Audit& a, const RootValues& values, const DirectoryValue& d) {
  const RegValue* v = Find(values, d.name);
  if (!v || v->type != kRegSz) {
    a.log.Write(d.missing);
  } else {
    std::string dir = RegDecodeSz(v->data);
    // Empty means the home directory; a relative path is taken in the home.
    if (dir.empty() || DirectoryExists(dir[0] == '/' ? dir : a.home + dir)) return;
    a.log.Write(d.unreachable);
  }
  ++a.findings;
  if (ApplyRepair(WriteString(values, d.name, "")) != RepairResult::kDone) a.log.Write(d.writeFailed);
}

void CheckQueueTime(Audit& a, const RootValues& values, const char* name) {
  const RegValue* v = Find(values, name);
  uint32_t n = 0;
  if (!v) {
    a.log.Printf(t::kTimeMissing, name);
  } else if (v->type != kRegDword || !RegDecodeDword(v->data, n)) {
    a.log.Printf(t::kTimeWrongType, name);
  } else if (int32_t(n) < kQueueSecondsMin || int32_t(n) > kQueueSecondsMax) {
    a.log.Printf(t::kTimeBadValue, name);
  } else {
    return;
  }
  ++a.findings;
  ApplyAndReport(a, WriteDword(values, name, kDefaultQueueSeconds), name);
}

// The misspelled switch is carried over to the right name when that is missing,
// and goes in every case; both in one transaction.
void CheckStrictAdherence(Audit& a, const RootValues& values) {
  const RegValue* wrong = Find(values, kStrictMisspelled);
  if (!wrong) return;
  const RegValue* right = Find(values, kStrictName);
  uint32_t n = 0;
  if (!right) {
    bool isDword = wrong->type == kRegDword && RegDecodeDword(wrong->data, n);
    if (isDword && n > 1) {
      a.log.Write(t::kStrictBadValue);
      n = 0;
    } else {
      if (!isDword) n = 0;
      a.log.Write(t::kStrictMisspelled);
    }
  }
  ++a.findings;
  RegTransaction tx;
  ValueRepair carry = WriteDword(values, kStrictName, n);
  ValueRepair drop = RepairOf(values, kStrictMisspelled);
  drop.remove = true;
  RepairResult result = right ? RepairResult::kDone : ApplyRepair(carry);
  if (result == RepairResult::kDone) result = ApplyRepair(drop);
  if (result == RepairResult::kDone && !tx.Commit()) result = RepairResult::kFailed;
  if (result == RepairResult::kChangedMeanwhile)
    a.log.Printf(t::kChangedMeanwhile, kStrictMisspelled);
  else if (result == RepairResult::kFailed)
    a.log.Printf(t::kRepairFailed, kStrictMisspelled, (unsigned long)LastWinError());
}

}  // namespace

void CheckGeneralSettings(Audit& a) {
  a.log.Write(t::kGeneralBegin);
  std::vector<RegValue> list;
  RegEnumValues(AuditRootKey(), list);
  RootValues values;
  for (RegValue& v : list) values.emplace(FoldName(v.name), std::move(v));

  CheckServerValue(a, values, "DomainServer");
  CheckServerValue(a, values, "SmartHost");
  for (const DirectoryValue& d : kDirectories) CheckDirectory(a, values, d);
  for (const char* name : {"InQueueTime", "OutQueueTime", "ConnectionTime"})
    CheckQueueTime(a, values, name);
  CheckStrictAdherence(a, values);
  // The start-up comparison of LocalNode and LocalIP with the network is turned
  // off on every run (not a finding).
  const RegValue* verify = Find(values, "VerifyNode");
  uint32_t n = 1;
  if (!verify || verify->type != kRegDword || !RegDecodeDword(verify->data, n) || n != 0)
    ApplyAndReport(a, WriteDword(values, "VerifyNode", 0), "VerifyNode");
  a.log.Write(t::kGeneralEnd);
}
