// Single instance per home directory: an flocked pid file <home>/corvel95.pid.
// A second copy tells the first (SIGUSR1) and exits 0.
#pragma once

#include <string>

#include "platform/files.h"

enum class InstanceClaim { kFirst, kOtherRunning, kError };

// Tries to become the one instance for `home`. kFirst: `held` keeps the pid file
// locked for the life of the process. kOtherRunning: the running copy was sent
// SIGUSR1. kError: `why` says what failed.
InstanceClaim ClaimSingleInstance(const std::string& home, UniqueFd& held, std::string& why);
