// Bulk additions of users, the input line reader they share with member
// additions, and the user report.
#include "server/admin/bulk.h"

#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

constexpr char kCtrlZ = 26;
constexpr const char* kMailboxExtension = ".mbx";

// The texts of bulk additions, as the administrator sees them.
constexpr const char* kTextItemsAdded = "Number of items added: %d";
constexpr const char* kTextErrorTrailer = "  Error occured processing input file.";
constexpr const char* kTextFirstSeparator = "Line %d: Cannot find first separator.";
constexpr const char* kTextSecondSeparator = "Line %d: Cannot find second separator.";
constexpr const char* kTextThirdSeparator = "Line %d: Cannot find third separator.";
constexpr const char* kTextUserExists = "Line %d: User named '%s' already exists.";
constexpr const char* kTextUserFailed = "Line %d: Error adding user name '%s'.";
constexpr const char* kTextTooLong = "Line %d: Line cannot be more than %d characters.";
constexpr const char* kTextIncomplete = "Line %d: Incomplete line.";
constexpr const char* kTextReadFailed = "Line %d: The input file cannot be read.";
constexpr const char* kTextNoSecondaryUsers = "Secondary domain cannot contain user accounts.";
constexpr const char* kTextMemberExists = "Line %d: Error adding user '%s' already exists.";
constexpr const char* kTextMemberFailed = "Line %d: Error adding user '%s'.";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Loads the next block; false at the end of the file or on a read error.
// `failed` is set (and stays set) on a read error.
bool FillBlock(BulkLineReader& r, bool& failed) {
  if (r.atEnd) return false;
  long n = ReadSome(r.fd, r.block, sizeof r.block);
  if (n <= 0) {
    r.atEnd = true;
    failed = n < 0;
    return false;
  }
  r.pos = 0;
  r.len = size_t(n);
  return true;
}

bool FailLine(BulkResult& result, const std::string& text) {
  result.message = text + kTextErrorTrailer;
  return false;
}

// The error text of a line the reader could not give.
std::string ReaderErrorText(BulkLine kind, int lineNumber) {
  switch (kind) {
    case BulkLine::kTooLong:
      return FormatText(kTextTooLong, lineNumber, int(kBulkMaxLineChars));
    case BulkLine::kIncomplete:
      return FormatText(kTextIncomplete, lineNumber);
    default:
      return FormatText(kTextReadFailed, lineNumber);
  }
}

// One user line: the account, its check and its write in one transaction.
bool AddUserLine(const std::string& content, int lineNumber, bool skipExisting,
                 std::string& error) {
  size_t c1 = content.find(',');
  size_t c2 = c1 == std::string::npos ? c1 : content.find(',', c1 + 1);
  size_t c3 = c2 == std::string::npos ? c2 : content.find(',', c2 + 1);
  const char* missing = c1 == std::string::npos   ? kTextFirstSeparator
                        : c2 == std::string::npos ? kTextSecondSeparator
                        : c3 == std::string::npos ? kTextThirdSeparator
                                                  : nullptr;
  if (missing) {
    error = FormatText(missing, lineNumber);
    return false;
  }
  std::string given = TrimBlanks(content.substr(0, c1));
  std::string fullName = TrimBlanks(content.substr(c1 + 1, c2 - c1 - 1));
  std::string password = TrimBlanks(content.substr(c2 + 1, c3 - c2 - 1));
  std::string mailbox = TrimBlanks(content.substr(c3 + 1));
  std::string name = LowerAscii(given);
  std::string why, scrambled;
  error = FormatText(kTextUserFailed, lineNumber, given.c_str());
  if (!ValidateAccountName(name, why) || !ValidatePassword(password, why) ||
      !ScramblePassword(name, password, scrambled))
    return false;
  if (mailbox.empty()) mailbox = ServerSettings().userDirectory + name + kMailboxExtension;
  RegTransaction tx;
  std::string record;
  if (ReadStoredRecord(name, "", record)) {
    if (skipExisting) return true;
    error = FormatText(kTextUserExists, lineNumber, given.c_str());
    return false;
  }
  // The writer refuses a field holding ';' and a record the server could not read.
  return WriteUserRecord(name, fullName, mailbox, scrambled, "", "", why) && tx.Commit();
}

// One member line: the address added through the list's own operation.
bool AddMemberLine(const ListRef& list, const std::string& content, int lineNumber,
                   bool skipExisting, std::string& error) {
  size_t comma = content.find(',');
  if (comma == std::string::npos) {
    error = FormatText(kTextFirstSeparator, lineNumber);
    return false;
  }
  AddMemberRequest request;
  request.address = TrimBlanks(content.substr(0, comma));
  request.fullName = TrimBlanks(content.substr(comma + 1));
  request.force = true;
  const char* shown = request.address.c_str();
  // AddListMember decides under the list's lock; a refusal is a membership when
  // the address is a member afterwards (another program may have added it).
  AddMemberResult added;
  if (!AddListMember(list, request, added)) {
    if (FindListMember(list, request.address, false) < 0) {
      error = FormatText(kTextMemberFailed, lineNumber, VisibleText(shown).c_str());
      return false;
    }
    if (skipExisting) return true;
    error = FormatText(kTextMemberExists, lineNumber, VisibleText(shown).c_str());
    return false;
  }
  std::string answer;
  if (!added.welcomeFile.empty())
    SendWelcomeFile(list, request.address, added.welcomeFile, WelcomeBy::kBulk, answer);
  return true;
}

// Reads the lines of `fd` and hands each one with content to `line`.
bool RunBulkLines(int fd, BulkResult& result,
                  const std::function<bool(const std::string&, int, std::string&)>& handle) {
  BulkLineReader reader;
  reader.fd = fd;
  std::string line, error;
  for (;;) {
    BulkLine kind = NextBulkLine(reader, line);
    if (kind == BulkLine::kEnd) break;
    if (kind != BulkLine::kLine) return FailLine(result, ReaderErrorText(kind, reader.lineNumber));
    std::string content = BulkLineContent(line);
    if (content.empty()) continue;
    if (!handle(content, reader.lineNumber, error)) return FailLine(result, error);
    ++result.added;
  }
  result.message = FormatText(kTextItemsAdded, result.added);
  return true;
}

}  // namespace

const char* const kReportSucceeded = "Reporting succeeded";
const char* const kReportFailed = "Error occured during report generation.";

BulkLine NextBulkLine(BulkLineReader& r, std::string& line) {
  line.clear();
  bool any = false;
  bool failed = false;
  for (;;) {
    if (r.pos == r.len && !FillBlock(r, failed)) break;
    char c = r.block[r.pos++];
    if (r.skipLf) {
      r.skipLf = false;
      if (c == '\n') continue;
    }
    if (c == '\r' || c == '\n') {
      ++r.lineNumber;
      r.skipLf = c == '\r';
      return BulkLine::kLine;
    }
    // One Ctrl-Z as the file's very last byte is the old end-of-file mark.
    if (c == kCtrlZ && r.pos == r.len && !FillBlock(r, failed)) break;
    any = true;
    if (line.size() == kBulkMaxLineChars) {
      ++r.lineNumber;
      return BulkLine::kTooLong;
    }
    line += c;
  }
  if (failed) {
    ++r.lineNumber;
    return BulkLine::kReadError;
  }
  if (!any) return BulkLine::kEnd;
  ++r.lineNumber;
  return BulkLine::kIncomplete;
}

std::string BulkLineContent(const std::string& line) {
  size_t start = 0;
  while (start < line.size() && IsBlank(line[start])) ++start;
  std::string content = line.substr(start);
  size_t hash = content.find('#');
  if (hash != std::string::npos) {
    content.resize(hash);
    while (!content.empty() && IsBlank(content.back())) content.pop_back();
  }
  return content;
}

bool BulkAddUsers(int fd, const std::string& domain, bool skipExisting, BulkResult& result) {
  result = BulkResult{};
  if (!domain.empty()) {
    // The router bounces mail for such users and the integrity check deletes them.
    result.message = kTextNoSecondaryUsers;
    return false;
  }
  return RunBulkLines(fd, result, [&](const std::string& content, int n, std::string& error) {
    return AddUserLine(content, n, skipExisting, error);
  });
}

bool BulkAddMembers(int fd, const ListRef& list, bool skipExisting, BulkResult& result) {
  result = BulkResult{};
  return RunBulkLines(fd, result, [&](const std::string& content, int n, std::string& error) {
    return AddMemberLine(list, content, n, skipExisting, error);
  });
}

bool BuildUserReport(const std::string& domain, std::string& text) {
  text.clear();
  AccountEnum e;
  if (!BeginAccountEnum(domain, e)) return false;
  AccountEntry entry;
  while (NextAccount(e, entry)) {
    text += FormatText("%d,%s,%s", int(entry.type), entry.name.c_str(), entry.displayText.c_str());
    text += "\r\n";
  }
  return true;
}

bool BuildMemberReport(const ListRef& list, std::string& text) {
  text.clear();
  MemberTable table;
  if (!ReadListMembers(list, false, table)) return false;
  for (const MemberRecord& r : table.records) {
    std::string record = LowerAscii(r.text), address, fullName;
    if (!GetRecordField(record, 1, address) || !GetRecordField(record, 2, fullName)) continue;
    text += address + "," + fullName + "\r\n";
  }
  return true;
}

bool WriteReportFile(const std::string& path, const std::string& text, std::string& why) {
  // A report that replaces an older one keeps that one's permissions.
  mode_t mode = 0644;
  struct stat old;
  if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
  std::string temp = path + ".XXXXXX";
  int raw = ::mkstemp(temp.data());
  if (raw < 0) {
    why = "cannot create a file beside " + path;
    return false;
  }
  UniqueFd fd(raw);
  bool ok = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text.data(), text.size()) &&
            SyncFile(fd.get()) && fd.close_checked();
  if (ok && RenameReplace(temp, path) == 0) {
    SyncParentDirectory(path);
    return true;
  }
  why = "cannot write " + path;
  DeleteFileWin(temp);
  return false;
}
