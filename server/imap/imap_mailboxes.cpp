// The account's folders beside INBOX: names, paths, the special-use folders
// made at first login, subscriptions, and appending a message to a folder.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "server/accounts/mailbox.h"
#include "server/imap/imap.h"
#include "server/spool/headers.h"

namespace {

constexpr const char* kFolderExtension = ".mbx";
constexpr const char* kSubscriptionsFile = ".subscriptions";
constexpr size_t kMaxFolderName = 100;

}  // namespace

std::string ImapFolderDirectory(const std::string& inboxPath) {
  size_t slash = inboxPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = inboxPath.rfind('.');
  std::string base = dot == std::string::npos || dot < nameStart ? inboxPath
                                                                 : inboxPath.substr(0, dot);
  return base + ".folders/";
}

bool IsInboxName(std::string_view name) { return strncasecmp(name.data(), "INBOX", 5) == 0 && name.size() == 5; }

bool IsValidFolderName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFolderName || name[0] == '.' || IsInboxName(name))
    return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f || c == '/' || c == '\\' || c == '*' || c == '%') return false;
  }
  return true;
}

std::string ImapFolderPath(const std::string& inboxPath, std::string_view name) {
  if (IsInboxName(name)) return inboxPath;
  return ImapFolderDirectory(inboxPath) + std::string(name) + kFolderExtension;
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

std::vector<std::string> ListImapFolders(const std::string& inboxPath) {
  std::vector<std::string> names;
  for (const std::string& file : ListFiles(ImapFolderDirectory(inboxPath), "*.mbx")) {
    std::string name = file.substr(0, file.size() - strlen(kFolderExtension));
    if (IsValidFolderName(name)) names.push_back(name);
  }
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

bool AppendImapMessage(const std::string& path, const std::string& sender, int sourceFd,
                       std::string_view text, time_t when, std::string& why) {
  MailboxAppend append;
  AppendOpen open = OpenMailboxFileForAppend(path, sender, append, nullptr, "", when);
  if (open != AppendOpen::kOpened) {
    why = "Unable to open the folder for appending.";
    return false;
  }
  // Lines that would read as separators are quoted, as the router quotes them.
  FromQuoter quoter;
  std::string out;
  char last = '\n';
  bool ok = true;
  auto put = [&](std::string_view data) {
    if (data.empty()) return;
    last = data.back();
    out.clear();
    QuoteFromLines(quoter, data, out);
    ok = ok && WriteAll(append.fd.get(), out.data(), out.size());
  };
  if (sourceFd >= 0) {
    std::string block(65536, '\0');
    ok = ::lseek(sourceFd, 0, SEEK_SET) == 0;
    for (;;) {
      long n = ok ? ReadSome(sourceFd, block.data(), block.size()) : -1;
      if (n < 0) ok = false;
      if (n <= 0) break;
      put(std::string_view(block.data(), size_t(n)));
    }
  } else {
    put(text);
  }
  out.clear();
  FinishFromQuoting(quoter, out);
  // The text's last line is ended, so the end mark makes the empty line that
  // closes the message.
  if (last != '\n') out += "\r\n";
  ok = ok && WriteAll(append.fd.get(), out.data(), out.size());
  if (!ok) {
    AbandonMailboxAppend(append);
    why = "Unable to write the folder.";
    return false;
  }
  return FinishMailboxAppend(append, why);
}
