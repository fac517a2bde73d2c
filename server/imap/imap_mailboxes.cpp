// The account's folders beside INBOX: names, paths, the special-use folders
// made at first login, subscriptions, and appending a message to a folder.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "server/accounts/mailbox.h"
#include "server/imap/imap.h"
#include "server/spool/headers.h"

namespace {

constexpr const char* kFolderExtension = ".mbx";
constexpr const char* kSubscriptionsFile = ".subscriptions";
// A whole name, one level of it, and how many levels.
constexpr size_t kMaxFolderName = 250;
constexpr size_t kMaxFolderLevel = 100;
constexpr size_t kMaxFolderDepth = 16;

// One level of a folder name (see IsValidFolderName).
bool IsValidFolderLevel(std::string_view level) {
  if (level.empty() || level.size() > kMaxFolderLevel || level[0] == '.') return false;
  for (char c : level) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f || c == '/' || c == '\\' || c == '*' || c == '%') return false;
  }
  return IsModifiedUtf7(level);
}

// The value of a modified base64 character, -1 for any other.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

// Adds the folders found in `dir` (names starting with `prefix`) to `out`.
void WalkFolders(const std::string& dir, const std::string& prefix, size_t depth,
                 std::map<std::string, ImapFolderNode>& out) {
  std::vector<DirectoryEntry> entries;
  if (depth >= kMaxFolderDepth || !ListDirectory(dir, "*", entries)) return;
  size_t ext = strlen(kFolderExtension);
  for (const DirectoryEntry& e : entries) {
    if (e.isRegular && e.name.size() > ext &&
        strcasecmp(e.name.c_str() + e.name.size() - ext, kFolderExtension) == 0) {
      std::string level = e.name.substr(0, e.name.size() - ext);
      if (!IsValidFolderLevel(level)) continue;
      ImapFolderNode& n = out[prefix + level];
      n.name = prefix + level;
      n.selectable = true;
    } else if (e.isDirectory && IsValidFolderLevel(e.name)) {
      std::string below = prefix + e.name + "/";
      WalkFolders(dir + e.name + "/", below, depth + 1, out);
      ImapFolderNode& n = out[prefix + e.name];
      n.name = prefix + e.name;
      auto first = out.lower_bound(below);
      n.children = first != out.end() && first->first.compare(0, below.size(), below) == 0;
    }
  }
}

}  // namespace

std::string ImapFolderDirectory(const std::string& inboxPath) {
  size_t slash = inboxPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = inboxPath.rfind('.');
  std::string base = dot == std::string::npos || dot < nameStart ? inboxPath
                                                                 : inboxPath.substr(0, dot);
  return base + ".folders/";
}

bool IsInboxName(std::string_view name) {
  return name.size() == 5 && strncasecmp(name.data(), "INBOX", 5) == 0;
}

bool IsModifiedUtf7(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char u = static_cast<unsigned char>(text[i]);
    if (u < 0x20 || u >= 0x7f) return false;
    if (text[i] != '&') continue;
    size_t end = text.find('-', i + 1);
    if (end == std::string_view::npos) return false;
    if (end == i + 1) {  // "&-" is '&'
      i = end;
      continue;
    }
    // The base64 of UTF-16 code units: whole units, zero bits left over, pairs
    // of surrogates, and nothing that printable ASCII could say itself.
    uint32_t bits = 0;
    int count = 0;
    uint16_t high = 0;
    for (size_t k = i + 1; k < end; ++k) {
      int v = Base64Value(text[k]);
      if (v < 0) return false;
      bits = (bits << 6) | uint32_t(v);
      count += 6;
      if (count < 16) continue;
      count -= 16;
      uint16_t unit = uint16_t(bits >> count);
      bits &= (1u << count) - 1;
      if (high != 0) {
        if (unit < 0xDC00 || unit > 0xDFFF) return false;
        high = 0;
      } else if (unit >= 0xD800 && unit <= 0xDBFF) {
        high = unit;
      } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || (unit >= 0x20 && unit < 0x7f)) {
        return false;
      }
    }
    if (high != 0 || count >= 6 || bits != 0) return false;
    i = end;
  }
  return true;
}

bool IsValidFolderName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFolderName) return false;
  size_t depth = 0;
  for (size_t pos = 0;;) {
    size_t slash = name.find('/', pos);
    std::string_view level = name.substr(pos, slash == std::string_view::npos ? slash : slash - pos);
    if (!IsValidFolderLevel(level) || (depth == 0 && IsInboxName(level))) return false;
    if (++depth > kMaxFolderDepth) return false;
    if (slash == std::string_view::npos) return true;
    pos = slash + 1;
  }
}

std::string ImapFolderPath(const std::string& inboxPath, std::string_view name) {
  if (IsInboxName(name)) return inboxPath;
  return ImapFolderDirectory(inboxPath) + std::string(name) + kFolderExtension;
}

std::string ImapFolderChildDirectory(const std::string& inboxPath, std::string_view name) {
  return ImapFolderDirectory(inboxPath) + std::string(name) + "/";
}

const char* SpecialUseOf(std::string_view name) {
  for (const ImapSpecialUse& u : kImapSpecialFolders)
    if (name == u.name) return u.flag;
  return nullptr;
}

void EnsureSpecialFolders(const std::string& inboxPath) {
  std::string dir = ImapFolderDirectory(inboxPath);
  if (DirectoryExists(dir)) return;
  if (!MakeDirectories(dir, 0700)) return;
  std::string subscribed;
  for (const ImapSpecialUse& u : kImapSpecialFolders) {
    CreatePrivateFile(dir + u.name + kFolderExtension, 0600);
    subscribed += std::string(u.name) + "\n";
  }
  WriteImapSubscriptions(inboxPath, subscribed);
}

std::vector<ImapFolderNode> ListImapFolderTree(const std::string& inboxPath) {
  std::map<std::string, ImapFolderNode> found;
  WalkFolders(ImapFolderDirectory(inboxPath), "", 0, found);
  std::vector<ImapFolderNode> out;
  out.reserve(found.size());
  for (auto& [name, node] : found) out.push_back(std::move(node));
  return out;
}

std::vector<std::string> ListImapFolders(const std::string& inboxPath) {
  std::vector<std::string> names;
  for (ImapFolderNode& n : ListImapFolderTree(inboxPath))
    if (n.selectable) names.push_back(std::move(n.name));
  return names;
}

std::string ReadImapSubscriptions(const std::string& inboxPath) {
  std::string text;
  ReadWholeFile(ImapFolderDirectory(inboxPath) + kSubscriptionsFile, text);
  return text;
}

bool WriteImapSubscriptions(const std::string& inboxPath, const std::string& text) {
  std::string path = ImapFolderDirectory(inboxPath) + kSubscriptionsFile;
  std::string temp = path + ".tmp";
  UniqueFd out = OpenExclusive(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!out.valid() || !WriteAll(out.get(), text.data(), text.size()) || !out.close_checked() ||
      RenameReplace(temp, path) != 0) {
    out.reset();
    DeleteFileWin(temp);
    return false;
  }
  return true;
}

bool AppendImapMessages(const std::string& path, const std::string& sender,
                        const std::vector<ImapAppendSource>& messages, std::string& why) {
  if (messages.empty()) return true;
  // One append of the file: the messages after the first get their separators
  // in line, so a failure anywhere takes them all back.
  MailboxAppend append;
  AppendOpen open =
      OpenMailboxFileForAppend(path, sender, append, nullptr, "", messages.front().when);
  if (open != AppendOpen::kOpened) {
    why = "Unable to open the folder for appending.";
    return false;
  }
  bool ok = true;
  std::string out;
  std::string block(65536, '\0');
  for (size_t i = 0; i < messages.size() && ok; ++i) {
    const ImapAppendSource& m = messages[i];
    if (i > 0) {
      // The end mark of the message before, then the separator after its empty line.
      ok = WriteAll(append.fd.get(), "\r\n", 2) &&
           WriteMailboxSeparator(append.fd.get(), sender, true, m.when);
    }
    FromQuoter quoter;
    char last = '\n';
    auto put = [&](std::string_view data) {
      if (data.empty()) return;
      last = data.back();
      out.clear();
      QuoteFromLines(quoter, data, out);
      ok = ok && WriteAll(append.fd.get(), out.data(), out.size());
    };
    if (m.fd >= 0) {
      ok = ok && ::lseek(m.fd, 0, SEEK_SET) == 0;
      for (;;) {
        long n = ok ? ReadSome(m.fd, block.data(), block.size()) : -1;
        if (n < 0) ok = false;
        if (n <= 0) break;
        put(std::string_view(block.data(), size_t(n)));
      }
    } else {
      put(m.text);
    }
    out.clear();
    FinishFromQuoting(quoter, out);
    // The text's last line is ended, so the end mark makes the empty line that
    // closes the message.
    if (last != '\n') out += "\r\n";
    ok = ok && WriteAll(append.fd.get(), out.data(), out.size());
  }
  if (!ok) {
    AbandonMailboxAppend(append);
    why = "Unable to write the folder.";
    return false;
  }
  return FinishMailboxAppend(append, why);
}
