// Switching the logs of lists and responders: see account_logs.h.
#include "server/accounts/account_logs.h"

#include "platform/files.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"

namespace {

constexpr const char* kTextBackupCreated = "Backup log file for '%s' created.";
constexpr const char* kTextBackupFailed = "Error renaming response file for '%s'.";

}  // namespace

bool BackupAccountLog(const std::string& accountName, int accountType, const std::string& domain,
                      const std::string& newName, std::string& resultText) {
  resultText.clear();
  const char* switchName;
  const char* fileName;
  if (accountType == kAccountList) {
    switchName = "ListStats";
    fileName = "ListStatsFile";
  } else if (accountType == kAccountResponder) {
    switchName = "DoAutoResponseLog";
    fileName = "AutoResponseLog";
  } else {
    return false;
  }
  const char* dom = domain.empty() ? nullptr : domain.c_str();
  // The switches live with the configuration the record names (normally its own).
  std::string config;
  if (!GetAccountConfigName(accountName, config, domain) || config.empty()) config = accountName;
  if (!ConfigGetBool("Configuration", switchName, false, dom, config.c_str())) return false;
  std::string file =
      InUserDirectory(ConfigGetText("Configuration", fileName, "", dom, config.c_str()));
  if (file.empty() || !FileExists(file)) return false;

  std::string target = newName.empty() ? ProposeSwitchedName(file) : newName;
  // Never over an existing file: the backup it would replace is a log too.
  bool ok = !target.empty() && RenameNoReplace(file, target) == 0;
  resultText = FormatText(ok ? kTextBackupCreated : kTextBackupFailed, accountName.c_str());
  LogEvent(0, kLogAlways, "%s", resultText.c_str());
  return ok;
}

void BackupListAndResponderLogs() {
  for (const std::string& domain : ListDomains()) {  // the primary domain first
    ForEachAccount(domain, [&](const AccountEntry& account) {
      if (account.type == kAccountList || account.type == kAccountResponder) {
        std::string text;
        BackupAccountLog(account.name, account.type, domain, "", text);
      }
      return true;
    });
  }
}
