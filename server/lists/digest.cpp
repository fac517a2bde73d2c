// Digest items.
#include "server/lists/digest.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/errors.h"
#include "platform/files.h"
#include "server/accounts/accounts.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/lists/list_files.h"
#include "server/lists/membership.h"
#include "server/responder/message_builders.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"

namespace {

constexpr size_t kItemReadBytes = 16383;
constexpr const char* kNoValue = "<none>";
constexpr const char* kItemSeparator = "\r\n------------------------------\r\n\r\n";
constexpr const char* kTopicsEnd =
    "\r\n----------------------------------------------------------------------\r\n\r\n";
constexpr const char* kOrphanSuffix = "1rr";
constexpr int kMaxOrphanNumber = 999;  // set-aside names tried after the first
constexpr long kMaxVolume = 9999;
constexpr size_t kTitleChars = 99;
constexpr size_t kDirectoryChars = 199;
constexpr size_t kCopyPiece = 16384;

// A header value as an item line holds it: unfolded, cut, without NUL.
std::string ItemValue(std::string_view raw) {
  std::string v = UnfoldHeaderValue(raw);
  if (v.size() > kDigestValueChars) v.resize(kDigestValueChars);
  for (char& c : v)
    if (c == '\0') c = ' ';
  return v;
}

// An item file as it was before an append: its size, or -1 when the append
// made it.
struct ItemFileState {
  std::string path;
  long long before = -1;
};

// Puts an item file back as it was, so that a failed item leaves no part of
// itself (a subject without its post, half a post) in the next digest.
void UndoAppend(const ItemFileState& state) {
  if (state.before < 0)
    DeleteFileWin(state.path);
  else if (::truncate(state.path.c_str(), off_t(state.before)) != 0)
    LogEvent(0, kLogRouting, "Error restoring digest items '%s'.", state.path.c_str());
}

// Appends and flushes; a file made by this call has its directory entry flushed.
// On failure the file is put back as it was.
bool AppendDurably(ItemFileState& state, const std::string& head, int fd, long long from) {
  const std::string& path = state.path;
  state.before = FileExists(path) ? FileSize(path) : -1;
  UniqueFd out = OpenShared(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!out.valid()) {
    if (state.before < 0 && FileExists(path)) DeleteFileWin(path);
    return false;
  }
  auto failed = [&]() {
    out.reset();
    UndoAppend(state);
    return false;
  };
  if (!WriteAll(out.get(), head.data(), head.size())) return failed();
  if (fd >= 0) {
    std::string piece(kItemReadBytes, '\0');
    for (off_t at = off_t(from);;) {
      ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
      if (n < 0) return failed();
      if (n == 0) break;
      if (!WriteAll(out.get(), piece.data(), size_t(n))) return failed();
      at += n;
    }
    if (!WriteAll(out.get(), kItemSeparator, strlen(kItemSeparator))) return failed();
  }
  if (!SyncFileData(out.get()) || !out.close_checked()) return failed();
  return state.before >= 0 || SyncParentDirectory(path);
}

}  // namespace

std::string DigestBaseName(int domainNumber, unsigned listId) {
  return FormatText("%04x%04x", unsigned(domainNumber), listId);
}

long long AddDigestItem(int domainNumber, unsigned listId, const std::string& incomingDir, int fd,
                        long long messageOffset) {
  std::string block(kItemReadBytes, '\0');
  ssize_t n = ::pread(fd, block.data(), block.size(), off_t(messageOffset));
  if (n < 0) return -1;
  block.resize(size_t(n));
  bool atEnd = block.size() < kItemReadBytes;
  std::string from = kNoValue, date = kNoValue, subject = kNoValue;
  bool haveFrom = false, haveDate = false, haveSubject = false;
  size_t pos = 0;
  HeaderField f;
  HeaderStep step;
  while ((step = NextHeaderField(block, atEnd, pos, f)) == HeaderStep::kField) {
    if (!haveFrom && strcasecmp(std::string(f.name).c_str(), "from:") == 0) {
      from = ItemValue(f.value);
      haveFrom = true;
    } else if (!haveDate && strcasecmp(std::string(f.name).c_str(), "date:") == 0) {
      date = ItemValue(f.value);
      haveDate = true;
    } else if (!haveSubject && strcasecmp(std::string(f.name).c_str(), "subject:") == 0) {
      subject = ItemValue(f.value);
      haveSubject = true;
    }
  }
  if (step == HeaderStep::kIncomplete) pos = block.size();  // a header longer than the block
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  std::string base = incomingDir + DigestBaseName(domainNumber, listId);
  ItemFileState subjects{base + kDigestSubjectsExtension}, posts{base + kDigestPostsExtension};
  if (!AppendDurably(subjects, "     '" + subject + "'\r\n", -1, 0)) return -1;
  if (!AppendDurably(posts, "Date: " + date + "\r\nFrom: " + from + "\r\nSubject: " + subject + "\r\n\r\n",
                     fd, messageOffset + static_cast<long long>(pos))) {
    UndoAppend(subjects);  // no subject without its post
    return -1;
  }
  long long items = FileSize(base + kDigestPostsExtension);
  bool send = items > kDigestSendSize;
  LogEvent(0, kLogGeneralDebug, "digest size: %ld, Max size = %ld, sending=%ld", long(items),
           kDigestSendSize, long(send));
  if (send) {
    LogEvent(0, kLogAlways, "Sending digest for list due to size.");
    SendDigest(base + kDigestSubjectsExtension, DigestBaseName(domainNumber, listId), true);
  }
  return st.st_size - messageOffset;
}

namespace {

// Appends the file at `path` to `fd` in pieces, a 0x1A at its very end dropped.
bool CopyItems(int fd, const std::string& path) {
  UniqueFd in = OpenShared(path, O_RDONLY);
  if (!in.valid()) return false;
  std::string piece(kCopyPiece, '\0');
  bool held = false;  // a 0x1A held back until we know whether the file ends there
  for (;;) {
    long n = ReadSome(in.get(), piece.data(), piece.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (held && !SpoolWrite(fd, "\x1a")) return false;
    held = piece[size_t(n) - 1] == 0x1A;
    if (!SpoolWrite(fd, piece.data(), size_t(n) - (held ? 1 : 0), false)) return false;
  }
}

// Everything of a digest after its envelope: the header, the topics, the posts,
// the epilogue.
bool WriteDigestBody(int fd, const std::string& head, const std::string& md1,
                     const std::string& md2, const std::string& tail) {
  return SpoolWrite(fd, head) && CopyItems(fd, md1) && SpoolWrite(fd, kTopicsEnd) &&
         CopyItems(fd, md2) && SpoolWrite(fd, tail);
}

// The list whose domain number and ListId the base name holds.
bool FindDigestList(const std::string& baseName, ListRef& out) {
  if (baseName.size() < 8 || !std::all_of(baseName.begin(), baseName.begin() + 8,
                                          [](unsigned char c) { return std::isxdigit(c); }))
    return false;
  int domainNumber = int(strtoul(baseName.substr(0, 4).c_str(), nullptr, 16));
  unsigned listId = unsigned(strtoul(baseName.substr(4, 4).c_str(), nullptr, 16));
  std::string domain;
  if (domainNumber != 0 && !GetSecondaryDomainName(domainNumber, domain)) return false;
  bool found = false;
  ForEachAccount(domain, [&](const AccountEntry& a) {
    ListRef list;
    ListConfig config;
    if (a.type == kAccountList && ResolveList(a.name, domain, list) && ReadListConfig(list, config) &&
        ReadListId(config) == listId) {
      out = list;
      found = true;
    }
    return !found;
  });
  return found;
}

// Item files no list owns: renamed so that they are not tried again; the
// postmaster hears of it. The .md2 file goes aside with its .md1 file: left
// under its name, its posts would open the first digest of a later list that
// is given the same ListId.
void SetOrphanAside(const std::string& md1Path, const std::string& md2Path) {
  LogEvent(0, kLogAlways, "No config found for: %s", md1Path.c_str());
  // Items set aside before under the same name (an earlier list with this ListId)
  // stay: these take the first free name with a number after the suffix.
  std::string suffix = kOrphanSuffix;
  for (int n = 2; FileExists(md1Path + suffix) || FileExists(md2Path + suffix); ++n) {
    if (n > kMaxOrphanNumber) return;
    suffix = kOrphanSuffix + std::to_string(n);
  }
  std::string renamed = md1Path + suffix;
  if (RenameNoReplace(md1Path, renamed) != 0) return;
  if (FileExists(md2Path) && RenameNoReplace(md2Path, md2Path + suffix) != 0)
    LogEvent(0, kLogRouting, "Error renaming digest items '%s'.", md2Path.c_str());
  SendTextMessage(FormatText("The system was unable to find the mailing list configuration\r\n"
                             "for the file: %s.\r\n\r\nThis file has been renamed to %s\r\n"
                             "to avoid this again in the future.\r\n",
                             md1Path.c_str(), renamed.c_str()),
                  "root", DomainShown(""), "postmaster",
                  "Digests: Unable to find configuration file.", nullptr, kAutoGenerated);
}

}  // namespace

bool SendDigest(const std::string& md1Path, const std::string& baseName, bool deleteItems) {
  // The .md2 file beside the .md1 file found, in the case it was found with.
  std::string md2Path = md1Path.substr(0, md1Path.size() - 1) + "2";
  // Topics without their posts file are what an item interrupted between its two
  // appends leaves: its message is routed again and adds both. Kept, they would
  // stop every later digest of the list.
  if (!FileExists(md2Path)) {
    LogEvent(0, kLogAlways, "Digest topics '%s' have no posts file; removed.", md1Path.c_str());
    DeleteFileWin(md1Path);
    return false;
  }
  ListRef list;
  if (!FindDigestList(baseName, list)) {
    SetOrphanAside(md1Path, md2Path);
    return false;
  }
  ListConfig config;
  MemberTable members;
  if (!ReadListConfig(list, config) || !ReadListMembers(list, false, members)) return false;
  std::string title = GetListText(config, "ListName");
  if (title.empty()) title = list.name;
  const char* L = title.c_str();
  const char* D = list.domainShown.c_str();
  std::vector<std::string> recipients;
  for (const MemberRecord& r : members.records)
    if (r.wellFormed && (r.flags & kMemberDigest) && !r.address.empty()) recipients.push_back(r.address);
  if (recipients.empty()) {
    LogEvent(0, kLogAlways, "No digest recipients for list '%s'.", L);
    return false;
  }

  // The numbers: a volume of 0 (or none) is 1; the issue number is raised and
  // written back before the digest is built.
  const char* dom = ListDomainArg(list);
  const char* cfg = list.config.c_str();
  long volume = GetListNumber(config, "ListDigestVolume", 0);
  if (volume <= 0) {
    volume = 1;
    ConfigSetNumber(kListConfigSection, "ListDigestVolume", volume, dom, cfg);
  }
  volume = std::min(volume, kMaxVolume);
  long number = GetListNumber(config, "ListDigestNumber", 0) + 1;
  ConfigSetNumber(kListConfigSection, "ListDigestNumber", number, dom, cfg);

  std::string date = FormatMailDate();
  std::string head = FormatText("Date: %s\r\nFrom: %s-request@%s\r\nReply-To: %s@%s\r\n", date.c_str(),
                                L, D, L, D);
  if (GetListSwitch(config, "IncludeSubject"))
    head += FormatText("Subject: %s - %s Digest - V%02ld #%02ld\r\n",
                       GetListText(config, "IncludeSubjectTitle", kTitleChars).c_str(), L, volume,
                       number);
  else
    head += FormatText("Subject: %s Digest - V%02ld #%02ld\r\n", L, volume, number);
  head += FormatText("To: %s@%s\r\n", L, D);
  std::string preamble = FormatText("\r\n%s Digest    %s   V%02ld #%02ld\r\n\r\nToday's topics:\r\n", L,
                                    date.c_str(), volume, number);
  std::string end = FormatText("End of %s Digest V%02ld #%02ld", L, volume, number);
  std::string tail = "\r\n" + end + "\r\n" + std::string(end.size(), '*') + "\r\n";

  // One file per run of recipients whose envelope the router reads whole.
  std::string sender = FormatText("owner-%s@%s", L, D), why;
  std::vector<size_t> runs;
  if (!SplitEnvelope(sender, recipients, runs, why, true)) {
    LogEvent(0, kLogRouting, "Error outgoing digest file for '%s'.", L);
    return false;
  }
  std::vector<std::string> temps;
  auto discard = [&]() {
    for (const std::string& t : temps) SpoolDelete(t);
    return false;
  };
  auto next = recipients.begin();
  for (size_t run : runs) {
    std::vector<std::string> group(next, next + long(run));
    next += long(run);
    std::string path, envelope;
    UniqueFd fd = CreateSpoolTemp(path, true);
    if (!fd.valid()) {
      LogEvent(0, kLogRouting, "Error outgoing digest file for '%s'.", L);
      return discard();
    }
    temps.push_back(path);
    if (!FormatEnvelope(sender, group, envelope, why, true) || !SpoolWrite(fd.get(), envelope)) {
      LogEvent(0, kLogRouting, "Error building list preamble for '%s'.", L);
      return discard();
    }
    // Each file has a Message-Id of its own, so the router delivers it at once.
    if (!WriteDigestBody(fd.get(), head + GeneratedHeaderLines(path, false) + preamble, md1Path,
                         md2Path, tail) ||
        !fd.close_checked()) {
      LogEvent(0, kLogRouting, "Error building list epilogue for '%s'.", L);
      return discard();
    }
  }
  // The copy for the record, when the list keeps one.
  std::string logDir = GetListText(config, "LogListDigests", kDirectoryChars);
  if (!logDir.empty()) {
    std::replace(logDir.begin(), logDir.end(), '\\', '/');
    if (logDir.back() != '/') logDir += '/';
    std::string copy = InUserDirectory(FormatText("%sV%02ldN%02ld.txt", logDir.c_str(), volume, number));
    UniqueFd fd = OpenShared(copy, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd.valid() || !WriteDigestBody(fd.get(), head + preamble, md1Path, md2Path, tail) ||
        !fd.close_checked()) {
      LogEvent(0, kLogRouting, "Error logging digest for '%s'.", L);
      fd.reset();
      DeleteFileWin(copy);
      return discard();
    }
  }
  for (size_t i = 0; i < temps.size(); ++i) {
    std::string committed = temps[i];
    if (!CommitSpoolFile(committed, true)) {
      LogEvent(0, kLogRouting, "Error outgoing digest file for '%s'.", L);
      temps.erase(temps.begin(), temps.begin() + long(i));
      return discard();
    }
    LogEvent(0, kLogRouting, "Built digest file '%s'.", committed.c_str());
  }
  RequestRouting();
  if (deleteItems) {
    DeleteFileWin(md1Path);
    DeleteFileWin(md2Path);
  }
  return true;
}

void DailyListRelease() {
  const std::string& dir = ServerSettings().incomingDirectory;
  LogEvent(0, kLogAlways, "Translating bulk items to be processed...");
  int released = 0;
  for (const std::string& name : ListFiles(dir, FormatText("*.%s", kBulkExtension))) {
    std::string path = dir + name;
    if (!CommitSpoolFile(path, true)) continue;
    ++released;
    LogEvent(0, kLogRouting, "Released to file '%s', bulk file '%s'.", path.c_str(), name.c_str());
  }
  LogEvent(0, kLogAlways, "Bulk items processed. %d Items.", released);
  LogEvent(0, kLogAlways, "Scanning for digests...");
  int items = 0;
  for (const std::string& name : ListFiles(dir, std::string("*") + kDigestSubjectsExtension)) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    SendDigest(dir + name, lower.substr(0, lower.find('.')), true);
    ++items;
  }
  LogEvent(0, kLogAlways, "Digest items processed. %d Items.", items);
  if (released > 0) RequestRouting();
}
