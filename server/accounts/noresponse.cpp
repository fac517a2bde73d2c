// The no-response list and its pattern rule.
#include "server/accounts/noresponse.h"

#include <cctype>
#include <cstdio>

#include "server/core/config.h"
#include "server/core/log.h"

namespace {

char Lower(char c) { return char(std::tolower(static_cast<unsigned char>(c))); }

std::string ItemName(long n) {
  char name[32];
  snprintf(name, sizeof name, kNoResponseItem, int(n));
  return name;
}

long StoredCount() {
  long n = ConfigGetNumber(kNoResponseSection, kNoResponseCount, 0);
  if (n < 0) return 0;
  return n > kNoResponseMaxItems ? kNoResponseMaxItems : n;
}

std::string StoredItem(long n) {
  return ConfigGetText(kNoResponseSection, ItemName(n).c_str(), "", nullptr, nullptr,
                       kNoResponsePatternChars);
}

}  // namespace

bool WildcardMatch(std::string_view subject, std::string_view pattern) {
  size_t i = 0;
  size_t j = 0;
  while (j < pattern.size()) {
    if (pattern[j] == '*') {
      if (j + 1 == pattern.size()) return true;
      size_t rest = pattern.size() - (j + 1);
      if (subject.size() < rest) return false;
      // The remainder must match the end of the subject.
      i = subject.size() - rest;
      ++j;
      continue;
    }
    if (i >= subject.size() || Lower(subject[i]) != Lower(pattern[j])) return false;
    ++i;
    ++j;
  }
  return true;
}

bool IsResponseAllowed(const std::string& sender) {
  long count = StoredCount();
  LogEvent(0, kLogGeneralDebug, "NumNrs = %d", int(count));
  bool matched = false;
  if (count == 0) {
    matched = WildcardMatch(sender, kNoResponseDefault);
  } else {
    std::string visible = VisibleText(sender);
    for (long n = 1; n <= count && !matched; ++n) {
      std::string pattern = StoredItem(n);
      if (pattern.empty()) continue;
      LogEvent(0, kLogGeneralDebug, "Select = %s", VisibleText(pattern).c_str());
      LogEvent(0, kLogGeneralDebug, "String = %s", visible.c_str());
      matched = WildcardMatch(sender, pattern);
    }
  }
  LogEvent(0, kLogGeneralDebug, "Found Match = %d", matched ? 1 : 0);
  return !matched;
}

bool InitializeNoResponseList(std::string& why) {
  (void)why;
  // Nothing is cached: reading the list once proves the section is readable and
  // the first real test does not pay for opening it.
  ReadNoResponseList();
  return true;
}

std::vector<std::string> ReadNoResponseList() {
  std::vector<std::string> out;
  long count = StoredCount();
  for (long n = 1; n <= count; ++n) {
    std::string pattern = StoredItem(n);
    if (!pattern.empty()) out.push_back(pattern);
  }
  return out;
}

bool WriteNoResponseList(const std::vector<std::string>& patterns, std::string& why) {
  for (const std::string& p : patterns) {
    if (p.size() > kNoResponsePatternChars) {
      why = "Pattern longer than 99 characters: " + VisibleText(p.substr(0, 40));
      return false;
    }
  }
  long old = StoredCount();
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (!ConfigSetString(kNoResponseSection, ItemName(long(i) + 1).c_str(), patterns[i].c_str())) {
      why = "Unable to write the no-response list.";
      return false;
    }
  }
  if (!ConfigSetNumber(kNoResponseSection, kNoResponseCount, long(patterns.size()))) {
    why = "Unable to write the no-response list.";
    return false;
  }
  for (long n = long(patterns.size()) + 1; n <= old; ++n)
    ConfigSetString(kNoResponseSection, ItemName(n).c_str(), nullptr);
  return true;
}

bool AddNoResponsePattern(const std::string& pattern, std::string& why) {
  if (pattern.empty()) {
    why = "Empty pattern.";
    return false;
  }
  std::vector<std::string> list = ReadNoResponseList();
  for (const std::string& p : list) {
    if (p == pattern) {
      why = "Pattern already listed.";
      return false;
    }
  }
  list.push_back(pattern);
  return WriteNoResponseList(list, why);
}

bool RemoveNoResponsePattern(const std::string& pattern, std::string& why) {
  std::vector<std::string> list = ReadNoResponseList();
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == pattern) {
      list.erase(list.begin() + long(i));
      return WriteNoResponseList(list, why);
    }
  }
  why = "Pattern not listed.";
  return false;
}

bool TestNoResponseList(const std::string& text) {
  std::vector<std::string> list = ReadNoResponseList();
  if (list.empty()) list.push_back(kNoResponseDefault);
  for (const std::string& p : list)
    if (WildcardMatch(text, p)) return true;
  return false;
}
