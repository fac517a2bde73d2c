// cfgaudit: checks the server's registry configuration and repairs what it can,
// after saving the whole configuration tree to a backup file.
//
// Every check reads what it looks at first and decides; each repair is then one
// registry transaction that reads the value again and writes only when it still
// holds what the check saw, so a change the server or another tool made in the
// meantime is never overwritten.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/core/log.h"  // FormatText

// The log file: lines are gathered and written in blocks.
struct AuditLog {
  UniqueFd fd;
  std::string pending;
  bool failed = false;
  void Write(const std::string& text);
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool Flush();
};

// One run of the checks.
struct Audit {
  AuditLog log;
  int findings = 0;           // faults found (repaired or not); warnings do not count
  std::string home;           // ends in '/'
  std::string userDirectory;  // for mailbox repairs; read once, ends in '/'
  bool userDirectoryRead = false;
};

// What a check decided for one value. The repair is made only when the value
// still holds `seen` (or is still missing when `seenMissing`), and only while
// every name in `mustStayMissing` (values of `refKey`) is still missing.
struct ValueRepair {
  std::string key, name;
  bool seenMissing = false;
  RegValue seen;
  bool remove = false;  // delete the value; else write `type`/`data`
  uint32_t type = kRegSz;
  std::string data;
  std::string refKey;
  std::vector<std::string> mustStayMissing;
};

enum class RepairResult { kDone, kChangedMeanwhile, kFailed };

// Makes the repair in one transaction (see ValueRepair).
RepairResult ApplyRepair(const ValueRepair& r);
// Applies `r` and, when it could not be made, logs why under `label`.
bool ApplyAndReport(Audit& a, const ValueRepair& r, const std::string& label);

// The configuration root and the paths below it.
std::string AuditRootKey();
// Upper-case letters of ASCII folded, for name comparisons (the registry's rule).
std::string FoldName(const std::string& name);
// Two registry names are the same name (ASCII case folded).
bool SameName(const std::string& a, const std::string& b);
// A random password of 10 letters and digits.
std::string MakeRandomPassword();
// The user directory for mailbox repairs (UserDirectory, else the home), logging
// once when it cannot be read.
const std::string& AuditUserDirectory(Audit& a);

// The checks; each writes its own framing lines.
void CheckGeneralSettings(Audit& a);
// The account records of `domain` ("" = primary); in virtual-domain mode users
// are not allowed and root is not special.
void CheckUsers(Audit& a, const std::string& domain);
void CheckVirtualDomains(Audit& a);
// The ListsAndResponders key of `domain`.
void CheckListsAndResponders(Audit& a, const std::string& domain);

// Splits a record's fields after its type letter: "u;a;b" -> {"a", "b"}.
std::vector<std::string> SplitRecordFields(const std::string& record);
