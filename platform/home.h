// The home directory (the design's program directory) and the registry file.
// Home: --home DIR, else $CORVEL_HOME, else /var/lib/corvel; always ends in '/'.
// Registry: --registry FILE, else $CORVEL_REGISTRY, else <home>/registry.db; a
// database's "postgresql://" URI is taken as it stands.
#pragma once

#include <string>

// Resolves the home directory from the command-line value (null or empty = not
// given). The result ends in '/'.
std::string ResolveHomeDirectory(const char* fromCommandLine);
std::string ResolveRegistryPath(const char* fromCommandLine, const std::string& home);

// The process-wide home directory, set once at start-up (tests set it too).
const std::string& HomeDirectory();
void SetHomeDirectory(const std::string& home);  // adds the trailing '/'

// Takes --home DIR / --home=DIR and --registry FILE / --registry=FILE out of argv
// (argc/argv are compacted). Returns false with `why` on a missing argument.
bool TakeLocationOptions(int& argc, char** argv, std::string& home, std::string& registry,
                         std::string& why);
