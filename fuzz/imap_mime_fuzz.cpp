// Fuzzes IMAP's MIME side: any message text gets a BODYSTRUCTURE whose
// parentheses balance, and numbered sections read out of it stay inside what the
// parser was given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/imap/imap.h"

// The envelope comes from the FETCH code, not linked here: any well-formed one.
std::string FormatImapEnvelope(std::string_view) {
  return "(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (bool extended : {false, true}) {
    std::string s = FormatImapBodyStructure(text, extended);
    // Outside quoted strings and literals the parentheses balance.
    long depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
      char c = s[i];
      if (quoted) {
        if (c == '\\') ++i;
        else if (c == '"') quoted = false;
      } else if (c == '"') {
        quoted = true;
      } else if (c == '{') {
        size_t close = s.find("}\r\n", i);
        if (close == std::string::npos) __builtin_trap();
        i = close + 2 + std::stoul(s.substr(i + 1, close - i - 1));
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth < 0) {
        __builtin_trap();
      }
    }
    if (depth != 0 || quoted || s.empty() || s.front() != '(') __builtin_trap();
  }
  static const char* kSections[] = {"1", "1.MIME", "2.1", "1.HEADER", "2.TEXT", "1.1.1.1"};
  std::string spec = kSections[data[0] % 6];
  std::vector<unsigned> path;
  std::string rest, out;
  if (ParseMimeSection(spec, path, rest)) ExtractMimeSection(text, path, rest, out);
  return 0;
}
