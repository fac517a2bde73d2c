// The list server's resource files (listres/llistres): a list's directory of
// files that members (or anyone) may list and fetch by mail.
//
// Threats: a specifier is the requester's text and the files are the server's.
// A specifier that begins with "/" or "\" or holds ".." anywhere is refused
// outright; patterns match inside the resource directory only; a match whose
// real path (symbolic links resolved) lies outside the directory is skipped;
// names beginning with "." are never listed or sent; one request sends at most
// the responder's file limit.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/errors.h"
#include "platform/files.h"
#include "server/core/log.h"
#include "server/lists/listserver.h"
#include "server/lists/membership.h"
#include "server/responder/message_builders.h"

namespace {

constexpr const char* kListServerUser = "listserver";
constexpr const char* kRightsValue = "ListAccessRights";
constexpr const char* kIndexFile = "index.txt";
constexpr const char* kDenied = "Access to list resources denied.\r\n";
constexpr const char* kHelpText =
    "\r\nCommands:\r\nlist [<specifier>]             List the files matching the specifier\r\n"
    "                               (default specifier is '*').\r\nget [mode=<mode>] <specifier>  "
    "Get the files matching the specifier and\r\n                               with the "
    "specified mode. (default mode is\r\n                               'plain', others are: "
    "'base64', 'uuencode' )\r\nput <filename>                 Put file into resource with given "
    "filename.\r\nhelp                           This text.\r\n\r\n";

// Access levels of ListAccessRights<sub>.
enum ResourceAccess { kNoAccess = 0, kMembersOnly = 1, kAnyone = 2 };

std::string NextWord(const std::string& s, size_t& pos) { return NextCommandWord(s, pos); }
bool Is(const std::string& word, const char* name) { return IsCommandWord(word, name); }

// The matches of one specifier inside the resource directory.
struct Match {
  std::string relative;  // as shown: the specifier's directory and the name
  std::string path;      // the real path
  DirectoryEntry entry;
};

// "\" reads as "/".
std::string Slashed(std::string s) {
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

// The real path of the list's resource directory, with a trailing "/".
bool ResourceDirectory(const ListConfig& config, std::string& out) {
  std::string dir = Slashed(GetListText(config, kRightsValue));
  if (dir.empty() || dir.back() != '/') dir += '/';
  if (!ResolveRealPath(InUserDirectory(dir), out)) return false;
  if (out.back() != '/') out += '/';
  return true;
}

bool Inside(const std::string& path, const std::string& base) {
  return path.size() >= base.size() && path.compare(0, base.size(), base) == 0;
}

// Finds the entries matching `spec` (already checked: relative, no ".."). A
// wildcard may stand only in the last part. -1 with the directory error (a
// Windows error number), 0 for a bad specifier, 1 with `out` (maybe empty).
int FindMatches(const std::string& base, const std::string& spec, std::vector<Match>& out,
                int& error) {
  out.clear();
  size_t slash = spec.rfind('/');
  std::string dirPart = slash == std::string::npos ? "" : spec.substr(0, slash + 1);
  std::string pattern = spec.substr(dirPart.size());
  if (pattern.empty() || dirPart.find_first_of("*?") != std::string::npos) return 0;
  // Hidden directories are never looked into.
  for (size_t p = 0; p < dirPart.size(); p = dirPart.find('/', p) + 1)
    if (dirPart[p] == '.') return 1;
  std::string searchDir;
  if (!ResolveRealPath(base + dirPart, searchDir)) return 1;
  if (searchDir.back() != '/') searchDir += '/';
  if (!Inside(searchDir, base)) return 1;
  std::vector<DirectoryEntry> entries;
  if (!ListDirectory(searchDir, pattern, entries, &error)) return -1;
  for (const DirectoryEntry& e : entries) {
    if (e.name.empty() || e.name[0] == '.') continue;
    Match m;
    m.entry = e;
    m.relative = dirPart + e.name;
    if (!ResolveRealPath(searchDir + e.name, m.path) || !Inside(m.path + "/", base)) continue;
    out.push_back(std::move(m));
  }
  return 1;
}

std::string LocalStamp(int64_t when) {
  time_t t = time_t(when);
  struct tm tm {};
  char text[32] = "";
  if (localtime_r(&t, &tm)) strftime(text, sizeof text, "%y-%m-%d %H:%M:%S", &tm);
  return text;
}

bool ListResources(ResponderRequest& req, const ListRef& list, const std::string& base,
                   const std::string& spec, std::string& answer) {
  const char* listName = list.name.c_str();
  auto failed = [&]() {
    answer += FormatText("Unable to generate list of resources for list %s.\r\n", listName);
    return false;
  };
  std::vector<Match> matches;
  int error = 0;
  int found = FindMatches(base, spec, matches, error);
  if (found < 0) {
    answer += FormatText("Unable to get directory information: %d.\r\n", error);
    return failed();
  }
  if (found == 0) {
    answer += "Invalid search specification.\r\n";
    return failed();
  }
  MessageWriter w;
  if (!BeginListingMessage(w, req.requester, kListServerUser, req.domainShown,
                           FormatText("Resource list for %s@%s", listName, list.domainShown.c_str()),
                           answer)) {
    answer += "Error writing listing header.\r\n";
    return failed();
  }
  WriteMessageText(w, "Find Files Matching Pattern: " + VisibleText(spec) +
                          "\r\n\r\nFileSize   LastWriteTime       FileName\r\n"
                          "--------   -----------------   --------\r\n");
  for (const Match& m : matches) {
    const char* format = m.entry.isDirectory ? "%8lld   %s   [%s]\r\n" : "%8lld   %s   %s\r\n";
    WriteMessageText(w, FormatText(format, m.entry.size, LocalStamp(m.entry.modified).c_str(),
                                   VisibleText(m.entry.name).c_str()));
  }
  if (!FinishListingMessage(w, answer)) return failed();
  answer += FormatText("Generated list of resources for list %s.\r\n", listName);
  return true;
}

bool GetResources(ResponderRequest& req, const ListRef& list, const std::string& base,
                  const std::string& spec, FileMode mode, std::string& answer) {
  const char* listName = list.name.c_str();
  std::string shown = VisibleText(spec);
  int sent = 0;
  auto failed = [&](const char* why) {
    answer += why;
    answer += FormatText("Unable to send resources for list %s, matching %s.\r\n", listName,
                         shown.c_str());
    answer += FormatText("%d items were sent before error occured.\r\n", sent);
    return false;
  };
  std::vector<Match> matches;
  int error = 0;
  int found = FindMatches(base, spec, matches, error);
  if (found <= 0) return failed("Invalid search specification.\r\n");
  bool any = false;
  for (const Match& m : matches) {
    if (!m.entry.isRegular) continue;
    any = true;
    if (!MayAddFile(req))
      return failed(FormatText(kFileLimitText, VisibleText(m.relative).c_str()).c_str());
    FileReplyRequest r;
    r.recipient = req.requester;
    r.senderUser = kListServerUser;
    r.senderDomain = req.domainShown;
    r.domain = list.domain;
    r.name = m.relative;
    r.path = m.path;
    r.mode = mode;
    r.mime = true;
    r.subject = "File - " + m.relative;
    if (!SendFileReply(r, answer)) return failed("");
    ++req.filesSent;
    ++sent;
  }
  if (!any) return failed("No matching entries found.\r\n");
  answer += FormatText("Sent resources for list %s, matching %s.\r\n%d matching items were sent.\r\n",
                       listName, shown.c_str(), sent);
  return true;
}

// The refusal for the requester's rights to `sub` ("list" or "get"), or "".
std::string CheckRights(const ListConfig& config, const char* sub, bool member) {
  std::string dir = GetListText(config, kRightsValue);
  std::string level = GetListText(config, (std::string(kRightsValue) + sub).c_str());
  if (dir.empty() || level.empty()) return "No resources detected for this list.\r\n";
  if (level[0] < '0' || level[0] > '9') return "Illegal access desription for list.\r\n";
  long n = strtol(level.c_str(), nullptr, 10);  // anything from the first ';' on is ignored
  if (n == kNoAccess) return "No access to resources permitted.\r\n";
  if (n == kMembersOnly && !member) return "Access to resources restricted to members.\r\n";
  if (n > kAnyone) return "Illegal access type.\r\n";
  return "";
}

}  // namespace

bool ProcessResourceCommand(ResponderRequest& req, const ListRef& list, const ListConfig& config,
                            const std::string& line, size_t pos, std::string& answer) {
  std::string sub = NextWord(line, pos);
  if (Is(sub, "help")) {
    answer += kHelpText;
    return true;
  }
  if (Is(sub, "put")) {
    answer += FormatText("Command '%s' not currently implemented.\r\n", VisibleText(sub).c_str());
    return false;
  }
  bool isList = Is(sub, "list"), isGet = Is(sub, "get"), isIndex = Is(sub, "index");
  if (!isList && !isGet && !isIndex) {
    answer += FormatText("Unknown command: '%s'.\r\n", VisibleText(sub).c_str());
    return false;
  }
  MemberTable members;
  std::string canonical;
  if (!ReadListMembers(list, false, members)) {
    answer += FormatText("Error finding user %s flags on list %s.\r\n",
                         VisibleText(req.requester).c_str(), list.name.c_str());
    return false;
  }
  if (!CanonicalizeAddress(req.requester, list.domain, canonical)) canonical = req.requester;
  bool member = FindMemberInTable(members, canonical, list.domain) > 0;
  std::string refusal = CheckRights(config, isList ? "list" : "get", member);
  if (!refusal.empty()) {
    answer += refusal + kDenied;
    return false;
  }

  FileMode mode = FileMode::kAuto;
  std::string spec = isIndex ? kIndexFile : NextWord(line, pos);
  if (isGet) {
    switch (ParseModeWord(spec, mode)) {
      case ModeWord::kUnknown:
        answer += FormatText("File mode '%s' not supported.\r\n", VisibleText(spec).c_str());
        return false;
      case ModeWord::kKnown: spec = NextWord(line, pos); break;
      case ModeWord::kNotMode: break;
    }
  }
  if (spec.empty()) spec = "*";
  if (spec[0] == '/' || spec[0] == '\\' || spec.find("..") != std::string::npos ||
      spec.find('\0') != std::string::npos) {
    answer += "Illegal file specifier character.\r\n";
    return false;
  }
  spec = Slashed(spec);
  if (spec.back() == '/') spec += '*';
  std::string base;
  if (!ResourceDirectory(config, base)) {
    answer += FormatText("Unable to get directory information: %d.\r\n", LastWinError());
    return false;
  }
  return isList ? ListResources(req, list, base, spec, answer)
                : GetResources(req, list, base, spec, mode, answer);
}
