// The logs that lists and responders keep of their own (a list's statistics file,
// a responder's response log) are switched with the main log's daily check. The
// switching itself lives with the log; which accounts have such a log is known
// here, so the accounts register their walk with the log at start-up.
#pragma once

#include <string>

// Backs up a list's statistics file (ListStats/ListStatsFile) or a responder's
// response log (DoAutoResponseLog/AutoResponseLog) of the account's Configuration
// section; `accountType` is the AccountType (3 list, 4 responder; others do
// nothing). Renames to `newName`, else to the first free "%03x" extension, never
// over an existing file. False when nothing was backed up.
bool BackupAccountLog(const std::string& accountName, int accountType, const std::string& domain,
                      const std::string& newName, std::string& resultText);

// BackupAccountLog(name, type, domain, "", text) for each list and responder
// account of every domain, the primary domain first: the walk that start-up
// hands to SetBackupAllAccountLogsHook.
void BackupListAndResponderLogs();
