// Checked edits of the general values.
#include "server/admin/general_edit.h"

#include <cerrno>
#include <cstdlib>

#include "platform/registry.h"

namespace {

constexpr long long kDwordMax = 0xFFFFFFFFLL;
// Numbers are stored as DWORDs; the server reads them as signed longs, so -1 (a
// DWORD of all ones) is how "no limit" is written, as LimitRecipients' default.
constexpr long long kNumberMin = -1;

bool ParseDecimal(const std::string& text, long long& out) {
  if (text.empty() || text.size() > 20) return false;
  errno = 0;
  char* end = nullptr;
  out = strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && !isspace(static_cast<unsigned char>(text[0]));
}

}  // namespace

std::string GeneralValueText(const GeneralValue& g, bool& stored) {
  RegValue v;
  stored = RegQueryValue(kRootKey, g.name, v);
  switch (g.kind) {
    case ValueKind::kNumber:
    case ValueKind::kRange:
    case ValueKind::kBool: return std::to_string(GetGeneralNumber(g.name));
    case ValueKind::kDirectory:
    case ValueKind::kString: return ConfigGetText("", g.name, g.text ? g.text : "");
  }
  return "";
}

std::string GeneralDefaultText(const GeneralValue& g) {
  if (g.kind == ValueKind::kString || g.kind == ValueKind::kDirectory) return g.text ? g.text : "";
  return std::to_string(g.def);
}

bool CheckGeneralValueEdit(const GeneralValue& g, const std::string& text, std::string& why) {
  long long n = 0;
  switch (g.kind) {
    case ValueKind::kBool:
      if (text == "0" || text == "1") return true;
      why = std::string(g.name) + " is a switch: 0 or 1";
      return false;
    case ValueKind::kNumber:
      if (ParseDecimal(text, n) && n >= kNumberMin && n <= kDwordMax) return true;
      why = std::string(g.name) + " is a whole number from -1 to 4294967295";
      return false;
    case ValueKind::kRange:
      if (ParseDecimal(text, n) && n >= g.min && n <= g.max) return true;
      why = std::string(g.name) + " is a whole number from " + std::to_string(g.min) + " to " +
            std::to_string(g.max);
      return false;
    case ValueKind::kString:
    case ValueKind::kDirectory: {
      size_t limit = g.max > 0 ? size_t(g.max) : 260;
      if (text.size() > limit) {
        why = std::string(g.name) + " has at most " + std::to_string(limit) + " characters";
        return false;
      }
      for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
          why = std::string(g.name) + " may not hold control characters";
          return false;
        }
      }
      return true;
    }
  }
  why = "unknown value kind";
  return false;
}

bool WriteGeneralValue(const GeneralValue& g, const std::string& text, bool reset,
                       std::string& why) {
  bool ok = false;
  if (reset) {
    RegValue v;
    ok = !RegQueryValue(kRootKey, g.name, v) || RegDeleteValue(kRootKey, g.name);
  } else {
    if (!CheckGeneralValueEdit(g, text, why)) return false;
    if (g.kind == ValueKind::kString || g.kind == ValueKind::kDirectory)
      ok = ConfigSetString("", g.name, text.c_str());
    else
      ok = RegSetDword(kRootKey, g.name, uint32_t(strtoll(text.c_str(), nullptr, 10)));
  }
  if (!ok) why = std::string("the registry value ") + g.name + " cannot be written";
  return ok;
}
