// Small text helpers shared by the spool code (ASCII case folding: addresses and
// header names compare the same in every locale). Internal to server/spool.
#pragma once

#include <string>
#include <string_view>

namespace spool_text {

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}
inline bool StartsWithNoCase(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && EqualsNoCase(s.substr(0, p.size()), p);
}
inline bool EndsWithNoCase(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && EqualsNoCase(s.substr(s.size() - p.size()), p);
}

inline std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}
inline std::string_view TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return s.substr(0, e);
}

// Peer text never carries a line end or NUL into a line we write.
inline std::string Sanitized(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

}  // namespace spool_text
