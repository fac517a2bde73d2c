// Becoming an unprivileged user after start-up. The server binds its ports first,
// then gives up root for good: every thread of the process changes identity.
#pragma once

#include <string>
#include <sys/types.h>
#include <time.h>

// True when the process runs with effective user id 0.
bool RunningAsRoot();
// The ids of `user`; false when there is no such user.
bool LookUpSystemUser(const std::string& user, uid_t& uid, gid_t& gid);
// The first path under `dir` (itself included) not owned by `uid`; empty when all
// are. Symbolic links are not followed. A root-owned path whose status changed at or
// after `adoptAfter` (the pid file, log and directories this process made while it
// started as root) is given to `uid` instead.
std::string FindFileNotOwnedBy(const std::string& dir, uid_t uid, const timespec& adoptAfter);
// The real-time clock now.
timespec RealTimeNow();
// Drops supplementary groups and switches group and user for good. False with `why`.
bool SwitchToUser(uid_t uid, gid_t gid, std::string& why);
