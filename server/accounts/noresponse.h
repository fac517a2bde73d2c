// The no-response list: patterns of sender addresses to which automatic
// responders never answer. Kept in the registry section NoResponding (NumItems,
// NoRespond1 ...) and read at every test, so changes take effect at once. An
// empty list means the single pattern "mailer-daemon@*".
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kNoResponseSection = "NoResponding";
inline constexpr const char* kNoResponseCount = "NumItems";
inline constexpr const char* kNoResponseItem = "NoRespond%d";
inline constexpr const char* kNoResponseDefault = "mailer-daemon@*";
inline constexpr size_t kNoResponsePatternChars = 99;
// More items than this are taken as a broken count.
inline constexpr long kNoResponseMaxItems = 10000;

// The pattern rule, both sides compared in lower case. An empty pattern matches
// everything; '*' at the end matches any rest; '*' followed by more pattern makes
// that remainder match the end of the subject; a pattern without '*' matches
// every subject that begins with it. There is no single-character wildcard.
bool WildcardMatch(std::string_view subject, std::string_view pattern);

// True when no pattern of the list matches `sender` (an automatic answer may go).
bool IsResponseAllowed(const std::string& sender);

// Start-up: checks that the list can be read. False with `why` when it cannot.
bool InitializeNoResponseList(std::string& why);

// The stored patterns (empty when none are stored: the default applies).
std::vector<std::string> ReadNoResponseList();
// Writes NumItems and NoRespond1..n; items beyond n are removed. False with `why`
// for a pattern over 99 characters or a failed write.
bool WriteNoResponseList(const std::vector<std::string>& patterns, std::string& why);
// The window's edits: add a pattern that is not yet listed, remove one.
bool AddNoResponsePattern(const std::string& pattern, std::string& why);
bool RemoveNoResponsePattern(const std::string& pattern, std::string& why);
// The window's test: true when `text` matches any pattern shown.
bool TestNoResponseList(const std::string& text);
