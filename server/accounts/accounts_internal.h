// Helpers shared by the files of the account database; not for other modules.
#pragma once

#include <string>

// The domain argument of the configuration accessors: null for the primary domain.
const char* DomainArg(const std::string& domain);
// A value name we are willing to write: not empty, no control characters.
bool CheckAccountKeyName(const std::string& name, std::string& why);
// A record field: no ';' (records have no escape), no line break, no zero byte.
bool CheckRecordField(const std::string& field, std::string& why);
