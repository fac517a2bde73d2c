// Bulk additions and reports: many accounts or list members added from one text
// file, and the accounts of a domain or the members of a list written to one.
//
// Input files are read in blocks of 8192 bytes. A line ends with CR (a following
// LF belongs to it) or with LF alone, and may straddle blocks; it holds at most 100
// characters before its end. One Ctrl-Z as the file's last byte is ignored; bytes
// after the last line end make the last line incomplete. Leading blanks and tabs
// are skipped, '#' starts a comment to the end of the line (the blanks and tabs
// before it go too), and a line left empty is skipped. Fields are separated by ','
// and lose blanks and tabs at both ends. Processing stops at the first line that
// fails; every line handled before it stays done.
#pragma once

#include <string>

#include "server/lists/membership.h"

inline constexpr size_t kBulkBlockBytes = 8192;
inline constexpr size_t kBulkMaxLineChars = 100;

// Reads the lines of one input file.
struct BulkLineReader {
  int fd = -1;
  char block[kBulkBlockBytes];
  size_t pos = 0, len = 0;
  bool atEnd = false;      // the file has no more bytes
  bool skipLf = false;     // the previous line ended with CR: an LF next is its
  int lineNumber = 0;      // the number of the line last returned (from 1)
};

enum class BulkLine {
  kLine,        // `line` holds the next line (without its end)
  kEnd,         // no more lines
  kIncomplete,  // the last line has no end
  kTooLong,     // the line holds more than kBulkMaxLineChars characters
  kReadError,
};

BulkLine NextBulkLine(BulkLineReader& reader, std::string& line);

// The content of a line: leading blanks and tabs and any comment (with the blanks
// and tabs before it) removed. Empty when the line is to be skipped.
std::string BulkLineContent(const std::string& line);

// What a bulk addition did.
struct BulkResult {
  int added = 0;  // the items handled without error (skipped existing ones count)
  // "Number of items added: %d", or the failing line's text followed by
  // "  Error occured processing input file.", or a text that stopped it before
  // the first line.
  std::string message;
};

// User lines "account, full name, password, mailbox path" into the primary domain
// (`domain` must be empty: a secondary domain holds no users). Names follow
// ValidateAccountName and are stored lower-cased, passwords ValidatePassword; an
// empty mailbox path becomes <UserDirectory><name>.mbx. An existing account is
// skipped (and counted) with `skipExisting`, else the line fails. Each line's
// check and write are one registry transaction. False when a line failed.
bool BulkAddUsers(int fd, const std::string& domain, bool skipExisting, BulkResult& result);

// Member lines "address, full name" into `list` through AddListMember, forced,
// with the list's default options. An address that is a member already (an alias
// of a member included) is skipped (and counted) with `skipExisting`, else the
// line fails, and so does any other refusal. A welcome file the list sends goes
// to the new member with the subject "Welcome File". False when a line failed.
bool BulkAddMembers(int fd, const ListRef& list, bool skipExisting, BulkResult& result);

// The member report of a list: one line "%s,%s" (the address and the full name
// of the record, lower-cased) per non-empty member record of Users that has both
// fields, in slot order, each ended by CR LF. False when the members cannot be read.
bool BuildMemberReport(const ListRef& list, std::string& text);

// The user report of a domain: one line "%d,%s,%s" (account type, name, display
// text) per listed account, in the order of the account enumeration, each ended
// by CR LF.
bool BuildUserReport(const std::string& domain, std::string& text);

// Writes a report to `path` through a temporary file in the same directory that is
// flushed and renamed over the old file, so a reader sees the old report or the
// whole new one. False with `why` (the old file is left as it was).
bool WriteReportFile(const std::string& path, const std::string& text, std::string& why);

// The outcome texts of a report.
extern const char* const kReportSucceeded;  // "Reporting succeeded"
extern const char* const kReportFailed;     // "Error occured during report generation."
