// cfgaudit: the log, the repair transaction and small helpers of every check.
#include <sys/random.h>

#include <cstdio>

#include "cfgaudit/cfgaudit.h"
#include "cfgaudit/cfgaudit_texts.h"
#include "platform/errors.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

constexpr size_t kLogBlock = 64 * 1024;
constexpr size_t kPasswordLength = 10;
constexpr char kPasswordAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A value that holds nothing readable counts as missing: an empty REG_SZ is what
// an account deletion leaves for a moment before the value goes.
bool ReadsAsPresent(const std::string& key, const std::string& name) {
  RegValue v;
  if (!RegQueryValue(key, name, v)) return false;
  return !(v.type == kRegSz && RegDecodeSz(v.data).empty());
}

}  // namespace

void AuditLog::Write(const std::string& text) {
  pending += text;
  if (pending.size() >= kLogBlock) Flush();
}

void AuditLog::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(FormatTextV(format, args));
  va_end(args);
}

bool AuditLog::Flush() {
  if (!pending.empty() && fd.valid() && !WriteAll(fd.get(), pending.data(), pending.size()))
    failed = true;
  pending.clear();
  return !failed;
}

RepairResult ApplyRepair(const ValueRepair& r) {
  RegTransaction tx;
  if (!tx.ok()) return RepairResult::kFailed;
  RegValue now;
  bool present = RegQueryValue(r.key, r.name, now);
  if (!present && LastWinError() != kErrFileNotFound) return RepairResult::kFailed;
  bool same = r.seenMissing ? !present
                            : present && now.type == r.seen.type && now.data == r.seen.data;
  if (!same) return RepairResult::kChangedMeanwhile;
  for (const std::string& ref : r.mustStayMissing)
    if (ReadsAsPresent(r.refKey, ref)) return RepairResult::kChangedMeanwhile;
  bool ok = r.remove ? RegDeleteValue(r.key, r.name) : RegSetValue(r.key, r.name, r.type, r.data);
  if (!ok || !tx.Commit()) return RepairResult::kFailed;
  return RepairResult::kDone;
}

bool ApplyAndReport(Audit& a, const ValueRepair& r, const std::string& label) {
  switch (ApplyRepair(r)) {
    case RepairResult::kDone:
      return true;
    case RepairResult::kChangedMeanwhile:
      a.log.Printf(cfgaudit_text::kChangedMeanwhile, label.c_str());
      return false;
    case RepairResult::kFailed:
      a.log.Printf(cfgaudit_text::kRepairFailed, label.c_str(), (unsigned long)LastWinError());
      return false;
  }
  return false;
}

std::string AuditRootKey() { return kRootKey; }

std::string FoldName(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return out;
}

bool SameName(const std::string& a, const std::string& b) { return FoldName(a) == FoldName(b); }

std::string MakeRandomPassword() {
  constexpr size_t kAlphabet = sizeof kPasswordAlphabet - 1;
  std::string out;
  while (out.size() < kPasswordLength) {
    unsigned char bytes[32];
    if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) continue;
    for (unsigned char b : bytes) {
      // Bytes above the last whole multiple of the alphabet are dropped, so every
      // character is equally likely.
      if (b >= 256 - 256 % kAlphabet) continue;
      out += kPasswordAlphabet[b % kAlphabet];
      if (out.size() == kPasswordLength) break;
    }
  }
  return out;
}

const std::string& AuditUserDirectory(Audit& a) {
  if (a.userDirectoryRead) return a.userDirectory;
  a.userDirectoryRead = true;
  RegValue v;
  if (!RegQueryValue(AuditRootKey(), "UserDirectory", v) || v.type != kRegSz) {
    // The server's current directory is the user directory, which defaults to
    // the home: that is what "current" means here, as an absolute path.
    a.log.Write(cfgaudit_text::kUserDirUnreadable);
    a.userDirectory = a.home;
    return a.userDirectory;
  }
  std::string dir = RegDecodeSz(v.data);
  if (dir.empty()) dir = a.home;
  if (dir[0] != '/') dir = a.home + dir;
  if (dir.back() != '/') dir += '/';
  a.userDirectory = dir;
  return a.userDirectory;
}

std::vector<std::string> SplitRecordFields(const std::string& record) {
  std::vector<std::string> fields;
  if (record.size() < 2) return fields;
  size_t start = 2;
  for (;;) {
    size_t semi = record.find(';', start);
    fields.push_back(record.substr(start, semi == std::string::npos ? semi : semi - start));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return fields;
}
