// The registry's text form, the ".reg" files of "Windows Registry Editor Version
// 5.00": export of a tree and all-or-nothing import.
//
// Names and REG_SZ texts are written as the bytes we keep (UTF-8 in practice);
// the types Windows writes as UTF-16LE hex (REG_SZ that cannot be a quoted text,
// REG_EXPAND_SZ, REG_MULTI_SZ) go through a byte-exact conversion: valid UTF-8
// becomes UTF-16, every other byte b becomes the lone surrogate 0xDC00 + b and
// comes back as b. So any stored value survives export and import unchanged, and a
// file written by Windows reads as UTF-8.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/registry_store.h"

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kHive[] = "HKEY_LOCAL_MACHINE";
constexpr size_t kHexLineWidth = 77;  // where regedit breaks a hex line

// ---- UTF-8 bytes <-> UTF-16LE, byte-exact ----

void AppendUnit(std::string& out, uint32_t unit) {
  out += char(unit & 0xff);
  out += char((unit >> 8) & 0xff);
}

// Length of the well-formed UTF-8 sequence at s[i] (its code point in cp), or 0.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t& cp) {
  auto cont = [&](size_t k) { return k < s.size() && (uint8_t(s[k]) & 0xc0) == 0x80; };
  uint8_t b = uint8_t(s[i]);
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  if (b >= 0xc2 && b <= 0xdf && cont(i + 1)) {
    cp = uint32_t(b & 0x1f) << 6 | (uint8_t(s[i + 1]) & 0x3f);
    return 2;
  }
  if (b >= 0xe0 && b <= 0xef && cont(i + 1) && cont(i + 2)) {
    uint8_t b1 = uint8_t(s[i + 1]);
    if (b == 0xe0 && b1 < 0xa0) return 0;   // overlong
    if (b == 0xed && b1 >= 0xa0) return 0;  // a surrogate
    cp = uint32_t(b & 0x0f) << 12 | uint32_t(b1 & 0x3f) << 6 | (uint8_t(s[i + 2]) & 0x3f);
    return 3;
  }
  if (b >= 0xf0 && b <= 0xf4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
    uint8_t b1 = uint8_t(s[i + 1]);
    if (b == 0xf0 && b1 < 0x90) return 0;
    if (b == 0xf4 && b1 >= 0x90) return 0;
    cp = uint32_t(b & 0x07) << 18 | uint32_t(b1 & 0x3f) << 12 |
         uint32_t(uint8_t(s[i + 2]) & 0x3f) << 6 | (uint8_t(s[i + 3]) & 0x3f);
    return 4;
  }
  return 0;
}

std::string BytesToUtf16(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp = 0;
    size_t n = DecodeUtf8(s, i, cp);
    if (n == 0) {
      AppendUnit(out, 0xdc00 + uint8_t(s[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendUnit(out, 0xd800 + (cp >> 10));
      AppendUnit(out, 0xdc00 + (cp & 0x3ff));
    } else {
      AppendUnit(out, cp);
    }
    i += n;
  }
  return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xc0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += char(0xe0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3f));
    out += char(0x80 | (cp & 0x3f));
  } else {
    out += char(0xf0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3f));
    out += char(0x80 | ((cp >> 6) & 0x3f));
    out += char(0x80 | (cp & 0x3f));
  }
}

// `u` has an even length.
std::string Utf16ToBytes(std::string_view u) {
  std::string out;
  out.reserve(u.size() / 2);
  size_t n = u.size() / 2;
  auto unit = [&](size_t k) { return uint32_t(uint8_t(u[2 * k])) | uint32_t(uint8_t(u[2 * k + 1])) << 8; };
  for (size_t k = 0; k < n; ++k) {
    uint32_t w = unit(k);
    if (w >= 0xd800 && w <= 0xdbff && k + 1 < n && unit(k + 1) >= 0xdc00 && unit(k + 1) <= 0xdfff) {
      AppendUtf8(out, 0x10000 + ((w - 0xd800) << 10) + (unit(k + 1) - 0xdc00));
      ++k;
    } else if (w >= 0xdc80 && w <= 0xdcff) {
      out += char(w & 0xff);  // a byte that was not UTF-8
    } else {
      AppendUtf8(out, w);
    }
  }
  return out;
}

// ---- export ----

std::string QuoteName(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// A REG_SZ that can be written as "text": one final zero, none inside, no line break.
bool IsPlainText(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    char c = data[i];
    if (c == '\0' || c == '\r' || c == '\n') return false;
  }
  return true;
}

void AppendHexList(std::string& out, size_t lineStart, const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint8_t b = uint8_t(bytes[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    if (i + 1 == bytes.size()) break;
    out += ',';
    if (out.size() - lineStart >= kHexLineWidth) {
      out += "\\\r\n  ";
      lineStart = out.size() - 2;
    }
  }
}

void AppendValue(std::string& out, const RegValue& v) {
  size_t lineStart = out.size();
  out += v.name.empty() ? std::string("@") : QuoteName(v.name);
  out += '=';
  uint32_t dword = 0;
  if (v.type == kRegSz && IsPlainText(v.data)) {
    out += QuoteName(v.data.substr(0, v.data.size() - 1));
  } else if (v.type == kRegDword && RegDecodeDword(v.data, dword)) {
    char buf[16];
    snprintf(buf, sizeof buf, "dword:%08x", dword);
    out += buf;
  } else if (v.type == kRegBinary) {
    out += "hex:";
    AppendHexList(out, lineStart, v.data);
  } else {
    char buf[24];
    snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
    out += buf;
    bool wide = v.type == kRegSz || v.type == kRegExpandSz || v.type == kRegMultiSz;
    AppendHexList(out, lineStart, wide ? BytesToUtf16(v.data) : v.data);
  }
  out += "\r\n";
}

int ExportKey(int64_t id, const std::string& display, bool writeEmpty, std::string& out) {
  std::vector<RegValue> values;
  if (int err = RegStoreListValues(id, values)) return err;
  if (writeEmpty || !values.empty()) {
    out += '[';
    out += kHive;
    if (!display.empty()) out += "\\" + display;
    out += "]\r\n";
    for (const RegValue& v : values) AppendValue(out, v);
    out += "\r\n";
  }
  std::vector<RegChildKey> children;
  if (int err = RegStoreListKeys(id, children)) return err;
  for (const RegChildKey& child : children) {
    std::string path = display.empty() ? child.name : display + "\\" + child.name;
    if (int err = ExportKey(child.id, path, true, out)) return err;
  }
  return 0;
}

// ---- import ----

// One change the file asks for, checked before anything is written.
struct ImportOp {
  enum Kind { kKey, kDeleteKey, kSetValue, kDeleteValue } kind = kKey;
  int line = 0;
  RegKeyPath key;  // kKey, kDeleteKey
  std::string name;
  uint32_t type = 0;
  std::string data;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = s[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = char(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1..8 hex digits, the whole of `s`.
bool ParseHexNumber(std::string_view s, uint32_t& v) {
  if (s.empty() || s.size() > 8) return false;
  v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v << 4 | uint32_t(d);
  }
  return true;
}

// Reads a quoted string at the start of `s` ("..." with \\ and \"); returns the
// length taken, 0 with `err` when it is not one.
size_t ParseQuoted(std::string_view s, std::string& text, std::string& err) {
  text.clear();
  if (s.empty() || s[0] != '"') {
    err = "expected a quoted name";
    return 0;
  }
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (i + 1 >= s.size()) break;
      char e = s[++i];
      if (e != '\\' && e != '"') {
        err = std::string("unknown escape \\") + e + " in a quoted string";
        return 0;
      }
      c = e;
    }
    text += c;
  }
  err = "unterminated quoted string";
  return 0;
}

// The physical lines of the file.
struct Lines {
  std::vector<std::string_view> text;
};

Lines SplitLines(std::string_view all) {
  Lines lines;
  size_t i = 0;
  while (i <= all.size()) {
    size_t nl = all.find('\n', i);
    if (nl == std::string_view::npos) nl = all.size();
    if (nl == all.size() && i == all.size() && i > 0) break;  // the final line end
    std::string_view line = all.substr(i, nl - i);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.text.push_back(line);
    if (nl == all.size()) break;
    i = nl + 1;
  }
  return lines;
}

// A hex list that may run over continuation lines (a trailing backslash). `first`
// is the data after "hex...:" on line `index`; `index` moves to the list's last
// line. Failures name the line that holds the fault.
bool ParseHexList(const Lines& lines, size_t& index, std::string_view first, std::string& bytes,
                  std::string& why) {
  bytes.clear();
  std::string_view seg = TrimBlanks(first);
  bool expectMore = false;  // a comma was the last thing seen
  for (;;) {
    bool continued = !seg.empty() && seg.back() == '\\';
    if (continued) seg = TrimBlanks(seg.substr(0, seg.size() - 1));
    size_t i = 0;
    while (i < seg.size()) {
      size_t comma = seg.find(',', i);
      if (comma == std::string_view::npos) comma = seg.size();
      std::string_view tok = TrimBlanks(seg.substr(i, comma - i));
      uint32_t v = 0;
      if (tok.size() > 2 || !ParseHexNumber(tok, v)) {
        why = "line " + std::to_string(index + 1) + ": bad hex byte \"" + std::string(tok) + "\"";
        return false;
      }
      bytes += char(v);
      expectMore = comma < seg.size();
      i = comma + 1;
    }
    if (!continued) break;
    if (index + 1 >= lines.text.size()) {
      why = "line " + std::to_string(index + 1) + ": the hex list continues past the end of the file";
      return false;
    }
    seg = TrimBlanks(lines.text[++index]);
  }
  if (expectMore) {
    why = "line " + std::to_string(index + 1) + ": the hex list ends with a comma";
    return false;
  }
  return true;
}

// Parses the data of a value line: the part after '='.
bool ParseValueData(const Lines& lines, size_t& index, std::string_view data, ImportOp& op,
                    std::string& why) {
  std::string where = "line " + std::to_string(index + 1) + ": ";
  data = TrimBlanks(data);
  if (data == "-") {
    op.kind = ImportOp::kDeleteValue;
    return true;
  }
  op.kind = ImportOp::kSetValue;
  if (!data.empty() && data[0] == '"') {
    std::string err;
    size_t used = ParseQuoted(data, op.data, err);
    if (used == 0) {
      why = where + err;
      return false;
    }
    if (!TrimBlanks(data.substr(used)).empty()) {
      why = where + "text after the closing quote";
      return false;
    }
    op.type = kRegSz;
    op.data += '\0';
    return true;
  }
  if (StartsWithNoCase(data, "dword:")) {
    uint32_t v = 0;
    if (!ParseHexNumber(data.substr(6), v)) {
      why = where + "bad dword \"" + std::string(data.substr(6)) + "\" (1 to 8 hex digits)";
      return false;
    }
    op.type = kRegDword;
    op.data = RegEncodeDword(v);
    return true;
  }
  if (StartsWithNoCase(data, "hex")) {
    std::string_view rest = data.substr(3);
    uint32_t type = kRegBinary;
    if (!rest.empty() && rest[0] == '(') {
      size_t close = rest.find(')');
      if (close == std::string_view::npos || !ParseHexNumber(rest.substr(1, close - 1), type)) {
        why = where + "bad value type in \"hex(...)\"";
        return false;
      }
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest[0] != ':') {
      why = where + "expected ':' after \"hex\"";
      return false;
    }
    std::string bytes;
    if (!ParseHexList(lines, index, rest.substr(1), bytes, why)) return false;
    op.type = type;
    if (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) {
      if (bytes.size() % 2 != 0) {
        why = "line " + std::to_string(index + 1) + ": odd number of bytes in UTF-16 data";
        return false;
      }
      op.data = Utf16ToBytes(bytes);
    } else {
      op.data = std::move(bytes);
    }
    return true;
  }
  why = where + "unknown value data \"" + std::string(data.substr(0, 40)) + "\"";
  return false;
}

// Checks the whole file and lists its changes; nothing is written here.
bool ParseRegText(std::string_view all, std::vector<ImportOp>& ops, std::string& why) {
  Lines lines = SplitLines(all);
  if (lines.text.empty() || TrimBlanks(lines.text[0]) != kHeader) {
    why = std::string("line 1: expected \"") + kHeader + "\"";
    return false;
  }
  enum { kNoSection, kInKey, kInDeletedKey } state = kNoSection;
  for (size_t index = 1; index < lines.text.size(); ++index) {
    std::string where = "line " + std::to_string(index + 1) + ": ";
    std::string_view line = TrimBlanks(lines.text[index]);
    if (line.empty() || line[0] == ';') continue;
    ImportOp op;
    op.line = int(index + 1);
    if (line[0] == '[') {
      if (line.back() != ']') {
        why = where + "a key line must end with ']'";
        return false;
      }
      std::string_view key = line.substr(1, line.size() - 2);
      op.kind = ImportOp::kKey;
      if (!key.empty() && key[0] == '-') {
        op.kind = ImportOp::kDeleteKey;
        key.remove_prefix(1);
      }
      bool hive = (StartsWithNoCase(key, kHive) &&
                   (key.size() == sizeof kHive - 1 || key[sizeof kHive - 1] == '\\')) ||
                  (StartsWithNoCase(key, "HKLM") && (key.size() == 4 || key[4] == '\\'));
      if (!hive) {
        why = where + "only keys of HKEY_LOCAL_MACHINE can be imported: " + std::string(key);
        return false;
      }
      if (RegParseKeyPath(std::string(key), op.key) != 0) {
        why = where + RegLastErrorText();
        return false;
      }
      if (op.kind == ImportOp::kDeleteKey && op.key.parts.empty()) {
        why = where + "HKEY_LOCAL_MACHINE itself cannot be deleted";
        return false;
      }
      state = op.kind == ImportOp::kKey ? kInKey : kInDeletedKey;
      ops.push_back(std::move(op));
      continue;
    }
    // A value line: "name"=data or @=data.
    size_t used = 0;
    if (line[0] == '@') {
      used = 1;
    } else {
      std::string err;
      used = ParseQuoted(line, op.name, err);
      if (used == 0) {
        why = where + err;
        return false;
      }
    }
    std::string_view rest = TrimBlanks(line.substr(used));
    if (rest.empty() || rest[0] != '=') {
      why = where + "expected '=' after the value name";
      return false;
    }
    if (state != kInKey) {
      why = where + (state == kNoSection ? "a value before any [key] line"
                                         : "a value under a deleted key");
      return false;
    }
    if (RegCheckValueName(op.name) != 0) {
      why = where + RegLastErrorText();
      return false;
    }
    if (!ParseValueData(lines, index, rest.substr(1), op, why)) return false;
    ops.push_back(std::move(op));
  }
  return true;
}

// A file saved as UTF-16LE (what regedit writes) becomes bytes; a UTF-8 BOM goes.
std::string DecodeFileText(const std::string& text) {
  if (text.size() >= 2 && uint8_t(text[0]) == 0xff && uint8_t(text[1]) == 0xfe) {
    std::string_view body(text);
    body.remove_prefix(2);
    if (body.size() % 2) body.remove_suffix(1);
    return Utf16ToBytes(body);
  }
  if (text.size() >= 3 && text.compare(0, 3, "\xef\xbb\xbf") == 0) return text.substr(3);
  return text;
}

}  // namespace

bool RegExportText(const std::string& key, std::string& out, std::string& why) {
  out.clear();
  RegKeyPath path;
  int err = RegParseKeyPath(key, path);
  if (err) {
    why = RegLastErrorText();
    SetLastWinError(err);
    return false;
  }
  RegSession session(false);  // one snapshot for the whole tree
  err = session.error();
  int64_t id = 0;
  std::string display;
  if (!err) err = RegStoreFindKey(path, id);
  if (!err && id == 0) err = RegFail(kErrFileNotFound, "registry key not found: " + key);
  if (!err) err = RegStoreStoredPath(path, display);
  std::string text = std::string(kHeader) + "\r\n\r\n";
  if (!err) err = ExportKey(id, display, !path.parts.empty(), text);
  if (!err) err = session.Commit();
  SetLastWinError(err);
  if (err) {
    why = RegLastErrorText();
    return false;
  }
  out = std::move(text);
  return true;
}

namespace {

// Applies parsed changes inside the caller's session. 0 or the Windows error.
int ApplyImportOps(const std::vector<ImportOp>& ops, std::string& why) {
  int64_t keyId = 0;
  for (const ImportOp& op : ops) {
    int err = 0;
    switch (op.kind) {
      case ImportOp::kKey:
        err = RegStoreCreateKey(op.key, keyId);
        break;
      case ImportOp::kDeleteKey:
        err = RegStoreDeleteTree(op.key);
        if (err == kErrFileNotFound) err = 0;  // already gone
        break;
      case ImportOp::kSetValue:
        err = RegStoreSetValue(keyId, op.name, op.type, op.data);
        break;
      case ImportOp::kDeleteValue:
        err = RegStoreDeleteValue(keyId, op.name);
        if (err == kErrFileNotFound) err = 0;
        break;
    }
    if (err) {
      why = "line " + std::to_string(op.line) + ": " + RegLastErrorText();
      return err;
    }
  }
  return 0;
}

// `path` is `top` or lies below it.
bool KeyWithin(const RegKeyPath& path, const RegKeyPath& top) {
  if (top.fold.empty()) return true;
  return path.fold == top.fold ||
         (path.fold.size() > top.fold.size() && path.fold.compare(0, top.fold.size(), top.fold) == 0 &&
          path.fold[top.fold.size()] == '\\');
}

}  // namespace

bool RegImportText(const std::string& text, std::string& why) {
  std::vector<ImportOp> ops;
  if (!ParseRegText(DecodeFileText(text), ops, why)) {
    SetLastWinError(kErrInvalidData);
    return false;
  }
  RegSession session(true);
  if (int err = session.error()) {
    why = RegLastErrorText();
    SetLastWinError(err);
    return false;
  }
  if (int err = ApplyImportOps(ops, why)) {
    SetLastWinError(err);
    return false;  // the session rolls everything back
  }
  if (int err = session.Commit()) {
    why = RegLastErrorText();
    SetLastWinError(err);
    return false;
  }
  SetLastWinError(0);
  return true;
}

bool RegRestoreKeyText(const std::string& key, const std::string& text, std::string& why) {
  RegKeyPath top;
  if (int err = RegParseKeyPath(key, top)) {
    why = RegLastErrorText();
    SetLastWinError(err);
    return false;
  }
  if (top.parts.empty()) {
    why = "HKEY_LOCAL_MACHINE itself cannot be restored";
    SetLastWinError(kErrAccessDenied);
    return false;
  }
  std::vector<ImportOp> ops;
  if (!ParseRegText(DecodeFileText(text), ops, why)) {
    SetLastWinError(kErrInvalidData);
    return false;
  }
  bool namesTop = false;
  for (const ImportOp& op : ops) {
    if (op.kind != ImportOp::kKey && op.kind != ImportOp::kDeleteKey) continue;
    if (!KeyWithin(op.key, top)) {
      why = "line " + std::to_string(op.line) + ": key outside " + key + ": " + RegJoinKeyPath(op.key);
      SetLastWinError(kErrInvalidData);
      return false;
    }
    namesTop = namesTop || (op.kind == ImportOp::kKey && op.key.fold == top.fold);
  }
  if (!namesTop) {
    why = "the text does not hold the key " + key;
    SetLastWinError(kErrInvalidData);
    return false;
  }
  RegSession session(true);
  int err = session.error();
  if (err) why = RegLastErrorText();
  if (!err) {
    err = RegStoreDeleteTree(top);
    if (err == kErrFileNotFound) err = 0;
    if (err) why = RegLastErrorText();
  }
  if (!err) err = ApplyImportOps(ops, why);
  if (!err) {
    err = session.Commit();
    if (err) why = RegLastErrorText();
  }
  SetLastWinError(err);
  return err == 0;
}
