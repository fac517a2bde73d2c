// The account integrity check. Accounts are edited by the server, by the
// maintenance library and by hand in the registry, so the server repairs them
// itself: at start-up, every 30 minutes, and in a new secondary domain it makes
// sure the reserved accounts exist, re-points aliases whose targets are gone or
// that loop, and gives every list a valid local owner, a ListName and a ListId.
// What an administrator would have been told in a message box is logged.
#pragma once

#include <string>
#include <vector>

// The periodic check's interval (job 1 of the periodic worker).
inline constexpr unsigned kIntegrityIntervalMs = 1800000;

// What the enumeration step counted.
struct AccountCounts {
  int users = 0;
  int forwards = 0;
  int responders = 0;
  int lists = 0;
};

// The whole check of one domain ("" = primary): the reserved accounts root
// (with `localRoot` a user with mailbox <user directory>root.mbx, else a forward
// to root@<this host>), unknown, mail-daemon, listserver and postmaster, then
// CheckAccountProperties. Registry write failures are not reported: the next run
// tries again. Returns the counts.
AccountCounts CheckAccountIntegrity(const std::string& domain, bool localRoot);

// Start-up (step 13): the primary domain with a local root.
void RunStartupIntegrityCheck();
// Job 1 of the periodic worker: the primary domain (local root), then every
// loaded secondary domain (root forwarded to this host).
void RunPeriodicIntegrityCheck();

// The enumeration step: counts the accounts by type (listserver skipped), repairs
// aliases and lists. With `names`, every account name visited is appended (the
// account window fills its list this way).
AccountCounts CheckAccountProperties(const std::string& domain,
                                     std::vector<std::string>* names = nullptr);

// True when the chain of aliases from `alias` ends at a name that is not an alias
// (or has no record) without visiting a name twice; `finalName` gets that name.
// False when `alias` is not an alias record or the chain loops.
bool CheckAliasChain(const std::string& alias, const std::string& domain,
                     std::string& finalName);

// Gives the list whose configuration is `listConfig` the lowest "%04x" number
// from 1 up that no list account of the domain holds as its ListId. False when
// none is free or the write failed.
bool AssignListId(const std::string& listConfig, const std::string& domain);

// The ListId rule: text that starts with a hexadecimal number other than 0.
bool IsValidListId(const std::string& text);
