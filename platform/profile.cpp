#include "platform/profile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/home.h"

namespace {

enum class LineKind { kOther, kComment, kSection, kKey };

// One line of a profile file as read: its text without the line end, and what it is.
struct ProfileLine {
  std::string text;
  LineKind kind = LineKind::kOther;
  std::string name;   // section or key name, trimmed
  std::string value;  // key lines: the value, trimmed, quotes not yet removed
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
    if (x >= 'A' && x <= 'Z') x = (unsigned char)(x + 32);
    if (y >= 'A' && y <= 'Z') y = (unsigned char)(y + 32);
    if (x != y) return false;
  }
  return true;
}

ProfileLine ClassifyLine(std::string text) {
  ProfileLine line;
  std::string_view t = Trim(text);
  if (!t.empty() && t.front() == ';') {
    line.kind = LineKind::kComment;
  } else if (!t.empty() && t.front() == '[') {
    // "[name]": text after the closing bracket is ignored, as Windows ignores it.
    size_t close = t.find(']');
    line.kind = LineKind::kSection;
    line.name = std::string(Trim(t.substr(1, close == std::string_view::npos ? t.npos : close - 1)));
  } else {
    size_t eq = t.find('=');
    if (eq != std::string_view::npos) {
      line.kind = LineKind::kKey;
      line.name = std::string(Trim(t.substr(0, eq)));
      line.value = std::string(Trim(t.substr(eq + 1)));
    }
  }
  line.text = std::move(text);
  return line;
}

// The lines of the file; false when it cannot be read (a missing file is no lines
// and `exists` false).
bool LoadProfile(const std::string& path, std::vector<ProfileLine>& lines, bool& exists) {
  lines.clear();
  exists = false;
  std::string all;
  if (!ReadWholeFile(path, all)) return LastWinError() == kErrFileNotFound;
  exists = true;
  size_t start = 0;
  while (start < all.size()) {
    size_t nl = all.find('\n', start);
    size_t end = nl == std::string::npos ? all.size() : nl;
    size_t textEnd = end;
    if (textEnd > start && all[textEnd - 1] == '\r') --textEnd;
    lines.push_back(ClassifyLine(all.substr(start, textEnd - start)));
    start = nl == std::string::npos ? all.size() : nl + 1;
  }
  return true;
}

// Index of the first line of the section's first occurrence, -1 when missing.
long FindSection(const std::vector<ProfileLine>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].kind == LineKind::kSection && SameName(lines[i].name, section)) return long(i);
  return -1;
}

// One past the last line that belongs to the section starting at `at`.
size_t SectionEnd(const std::vector<ProfileLine>& lines, size_t at) {
  size_t i = at + 1;
  while (i < lines.size() && lines[i].kind != LineKind::kSection) ++i;
  return i;
}

// Index of the key's first line in the section at `at`, -1 when missing.
long FindKey(const std::vector<ProfileLine>& lines, size_t at, std::string_view key) {
  size_t end = SectionEnd(lines, at);
  for (size_t i = at + 1; i < end; ++i)
    if (lines[i].kind == LineKind::kKey && SameName(lines[i].name, key)) return long(i);
  return -1;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// Copies `text` cut to size - 1 characters plus a zero; returns the count.
int CopyOut(std::string_view text, char* buffer, int size) {
  size_t n = std::min(text.size(), size_t(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = 0;
  return int(n);
}

// Copies zero-ended names and the final extra zero; a list that does not fit is
// cut and still ends with two zeros (size - 2 returned), as Windows does.
int CopyList(const std::vector<std::string>& names, char* buffer, int size) {
  if (size < 2) {
    buffer[0] = 0;
    return 0;
  }
  size_t room = size_t(size);
  size_t pos = 0;
  for (const std::string& name : names) {
    size_t need = name.size() + 1;
    if (pos + need + 1 > room) {
      size_t fit = room - pos >= 2 ? room - pos - 2 : 0;
      std::memcpy(buffer + pos, name.data(), fit);
      pos += fit;
      buffer[pos] = 0;
      buffer[pos + 1] = 0;
      return size - 2;
    }
    std::memcpy(buffer + pos, name.c_str(), need);
    pos += need;
  }
  buffer[pos] = 0;
  return int(pos);
}

std::vector<std::string> SectionNames(const std::vector<ProfileLine>& lines) {
  std::vector<std::string> out;
  for (const ProfileLine& l : lines) {
    if (l.kind != LineKind::kSection) continue;
    bool seen = false;
    for (const std::string& s : out) seen = seen || SameName(s, l.name);
    if (!seen) out.push_back(l.name);
  }
  return out;
}

std::vector<std::string> KeyNames(const std::vector<ProfileLine>& lines, long at) {
  std::vector<std::string> out;
  if (at < 0) return out;
  size_t end = SectionEnd(lines, size_t(at));
  for (size_t i = size_t(at) + 1; i < end; ++i) {
    if (lines[i].kind != LineKind::kKey) continue;
    bool seen = false;
    for (const std::string& s : out) seen = seen || SameName(s, lines[i].name);
    if (!seen) out.push_back(lines[i].name);
  }
  return out;
}

bool HoldsLineBreak(std::string_view s) { return s.find_first_of("\r\n") != s.npos; }

// Writes the lines, each ended by CR LF, to a temporary beside `path` and renames it
// over the file. The file keeps its permissions (0644 for a new one).
bool StoreProfile(const std::string& path, const std::vector<ProfileLine>& lines) {
  std::string text;
  for (const ProfileLine& l : lines) {
    text += l.text;
    text += "\r\n";
  }
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::string temp = path + ".XXXXXX";
  int raw = ::mkstemp(temp.data());
  if (raw < 0) {
    SetLastWinError(WinErrorFromErrno(errno));
    return false;
  }
  UniqueFd fd(raw);
  bool ok = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text.data(), text.size()) &&
            SyncFile(fd.get());
  int err = ok ? 0 : WinErrorFromErrno(errno);
  ok = fd.close_checked() && ok;
  if (ok) err = RenameReplace(temp, path);
  if (!ok || err) {
    ::unlink(temp.c_str());
    SetLastWinError(err ? err : int(kErrWriteFault));
    return false;
  }
  SyncParentDirectory(path);
  SetLastWinError(0);
  return true;
}

std::mutex& WriteLock() {
  static std::mutex m;
  return m;
}

}  // namespace

std::string ProfileFilePath(const char* file) {
  std::string name = file ? file : "";
  if (name.find_first_of("/\\") == std::string::npos) return HomeDirectory() + name;
  return name;
}

int GetPrivateProfileString(const char* section, const char* key, const char* def,
                            char* buffer, int size, const char* file) {
  if (!buffer || size < 1) return 0;
  std::vector<ProfileLine> lines;
  bool exists = false;
  if (!file || !LoadProfile(ProfileFilePath(file), lines, exists)) lines.clear();
  if (!section) return CopyList(SectionNames(lines), buffer, size);
  long at = FindSection(lines, section);
  if (!key) return CopyList(KeyNames(lines, at), buffer, size);
  long found = at < 0 ? -1 : FindKey(lines, size_t(at), key);
  if (found >= 0) return CopyOut(Unquote(lines[size_t(found)].value), buffer, size);
  std::string_view d = def ? def : "";
  while (!d.empty() && IsBlank(d.back())) d.remove_suffix(1);
  return CopyOut(d, buffer, size);
}

int GetPrivateProfileInt(const char* section, const char* key, int def, const char* file) {
  if (!section || !key) return def;
  std::string value;
  if (!ReadProfileValue(section, key, file ? file : "", value) || value.empty()) return def;
  size_t i = 0;
  bool negative = false;
  if (value[i] == '-' || value[i] == '+') negative = value[i++] == '-';
  uint32_t v = 0;  // wraps like the 32-bit original instead of overflowing
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
    v = v * 10u + uint32_t(value[i] - '0');
  if (negative) v = 0u - v;
  return int(int32_t(v));
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file) {
  if (!section) return true;  // Windows: only flushes its cache
  if (!file) {
    SetLastWinError(kErrInvalidParameter);
    return false;
  }
  std::string_view sec = Trim(section);
  std::string_view k = key ? Trim(key) : std::string_view();
  if (sec.empty() || HoldsLineBreak(section) || std::strchr(section, ']') ||
      (key && (k.empty() || HoldsLineBreak(key) || std::strchr(key, '='))) ||
      (value && HoldsLineBreak(value))) {
    SetLastWinError(kErrInvalidParameter);
    return false;
  }
  std::lock_guard<std::mutex> guard(WriteLock());
  std::string path = ProfileFilePath(file);
  std::vector<ProfileLine> lines;
  bool exists = false;
  if (!LoadProfile(path, lines, exists)) return false;
  long at = FindSection(lines, sec);
  if (!key) {
    // Every occurrence goes, so no later copy of the section comes to light.
    std::vector<ProfileLine> kept;
    for (size_t i = 0; i < lines.size();) {
      if (lines[i].kind == LineKind::kSection && SameName(lines[i].name, sec)) {
        i = SectionEnd(lines, i);
        continue;
      }
      kept.push_back(std::move(lines[i++]));
    }
    if (at < 0) return true;
    return StoreProfile(path, kept);
  }
  if (!value) {
    if (at < 0) return true;
    size_t end = SectionEnd(lines, size_t(at));
    std::vector<ProfileLine> kept;
    bool removed = false;
    for (size_t i = 0; i < lines.size(); ++i) {
      bool inSection = i > size_t(at) && i < end;
      if (inSection && lines[i].kind == LineKind::kKey && SameName(lines[i].name, k)) {
        removed = true;
        continue;
      }
      kept.push_back(std::move(lines[i]));
    }
    return removed ? StoreProfile(path, kept) : true;
  }
  if (at < 0) {
    if (!lines.empty() && !Trim(lines.back().text).empty())
      lines.push_back(ClassifyLine(std::string()));
    lines.push_back(ClassifyLine("[" + std::string(sec) + "]"));
    lines.push_back(ClassifyLine(std::string(k) + "=" + value));
    return StoreProfile(path, lines);
  }
  long found = FindKey(lines, size_t(at), k);
  if (found >= 0) {
    ProfileLine& line = lines[size_t(found)];
    line = ClassifyLine(line.name + "=" + value);  // the key keeps its stored spelling
    return StoreProfile(path, lines);
  }
  // A new key goes after the section's last line that is not blank.
  size_t insert = SectionEnd(lines, size_t(at));
  while (insert > size_t(at) + 1 && Trim(lines[insert - 1].text).empty()) --insert;
  lines.insert(lines.begin() + long(insert), ClassifyLine(std::string(k) + "=" + value));
  return StoreProfile(path, lines);
}

int GetProfileString(const char* section, const char* key, const char* def, char* buffer,
                     int size) {
  return GetPrivateProfileString(section, key, def, buffer, size, kWinIni);
}

int GetProfileInt(const char* section, const char* key, int def) {
  return GetPrivateProfileInt(section, key, def, kWinIni);
}

bool WriteProfileString(const char* section, const char* key, const char* value) {
  return WritePrivateProfileString(section, key, value, kWinIni);
}

std::vector<std::string> ReadProfileSectionNames(const std::string& file) {
  std::vector<ProfileLine> lines;
  bool exists = false;
  if (!LoadProfile(ProfileFilePath(file.c_str()), lines, exists)) return {};
  return SectionNames(lines);
}

std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file) {
  std::vector<ProfileLine> lines;
  bool exists = false;
  if (!LoadProfile(ProfileFilePath(file.c_str()), lines, exists)) return {};
  return KeyNames(lines, FindSection(lines, section));
}

bool ReadProfileValue(const std::string& section, const std::string& key, const std::string& file,
                      std::string& value) {
  std::vector<ProfileLine> lines;
  bool exists = false;
  if (!LoadProfile(ProfileFilePath(file.c_str()), lines, exists)) return false;
  long at = FindSection(lines, section);
  long found = at < 0 ? -1 : FindKey(lines, size_t(at), key);
  if (found < 0) return false;
  value = Unquote(lines[size_t(found)].value);
  return true;
}
