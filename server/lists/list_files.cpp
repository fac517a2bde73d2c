// A list's spool files and the actions on its held posts.
#include "server/lists/list_files.h"

#include <strings.h>

#include <cstdlib>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/integrity.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/spool/bounce.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"

namespace {

constexpr uint32_t kTickNames = 0x10000;  // the tick part of a name has 16 bits
constexpr size_t kCopyPiece = 8191;       // a forward copies in pieces of this size
constexpr size_t kListIdChars = 19;

std::string HeldPath(const std::string& name) {
  return ServerSettings().incomingDirectory + name;
}

// True when `name` is a held post of the list (and exists); else `why`.
bool CheckHeldName(const ListRef& list, const std::string& name, unsigned& listId,
                   std::string& why) {
  ListConfig config;
  listId = ReadListConfig(list, config) ? ReadListId(config) : 0;
  if (listId == 0) {
    why = FormatText("List '%s' has no valid ListId.", list.name.c_str());
    return false;
  }
  std::string prefix = FormatText("%04x", listId);
  bool ours = name.find_first_of("/\\") == std::string::npos && name.size() > prefix.size() &&
              strncasecmp(name.c_str(), prefix.c_str(), prefix.size()) == 0 &&
              name.size() > 3 && strcasecmp(name.c_str() + name.size() - 3, ".ml") == 0;
  if (!ours || !FileExists(HeldPath(name))) {
    why = FormatText("'%s' is not a held message of list '%s'.", VisibleText(name).c_str(),
                     list.name.c_str());
    return false;
  }
  return true;
}

// The envelope sender and subject of a held file.
bool ReadHeldPost(const std::string& path, HeldPost& out) {
  UniqueFd fd = OpenShared(path, O_RDONLY);
  RouterEnvelope env;
  std::string why;
  if (!fd.valid()) return false;
  ReadRouterEnvelope(fd.get(), 1, env, why);
  out.sender = env.sender;
  std::string block(kHeaderScanLimit, '\0');
  ssize_t n = ::pread(fd.get(), block.data(), block.size(), off_t(env.messageOffset));
  block.resize(n > 0 ? size_t(n) : 0);
  FindHeaderField(block, block.size() < kHeaderScanLimit, "Subject:", out.subject);
  out.size = FileSize(path);
  return true;
}

}  // namespace

unsigned ReadListId(const ListConfig& config) {
  std::string text = GetListText(config, "ListId", kListIdChars);
  if (!IsValidListId(text)) return 0;
  return unsigned(strtoul(text.c_str(), nullptr, 16));
}

int DomainNumber(const std::string& domain) {
  if (domain.empty()) return 0;
  for (const SecondaryDomain& d : SecondaryDomains())
    if (strcasecmp(d.name.c_str(), domain.c_str()) == 0) return d.slot;
  return -1;
}

bool CommitListFile(const std::string& temp, unsigned listId, const char* extension,
                    std::string& finalPath) {
  {
    UniqueFd fd = OpenShared(temp, O_RDONLY);
    if (!fd.valid() || !SyncFileData(fd.get())) return false;
  }
  const std::string& dir = ServerSettings().incomingDirectory;
  uint32_t tick = GetTickCount32();
  for (uint32_t probe = 0; probe < kTickNames; ++probe, ++tick) {
    std::string name = FormatText("%s%04x%04x.%s", dir.c_str(), listId, tick & 0xffff, extension);
    if (FileExists(name)) continue;
    int rc = RenameNoReplace(temp, name);
    if (rc == kErrFileExists || rc == kErrAlreadyExists) continue;
    if (rc != 0 || !SyncDirectory(dir)) return false;
    finalPath = name;
    return true;
  }
  return false;
}

void AdjustHeldCount(const ListRef& list, int delta) {
  NamedLock lock;
  LockListMembers(list, lock);  // without it the count may drift; the files stay right
  long n = ConfigGetNumber(kListHeldSection, kHeldCountValue, 0, ListDomainArg(list),
                           list.config.c_str());
  ConfigSetNumber(kListHeldSection, kHeldCountValue, std::max(0L, n + delta), ListDomainArg(list),
                  list.config.c_str());
}

bool ListHeldPosts(const ListRef& list, std::vector<HeldPost>& out, std::string& why) {
  out.clear();
  ListConfig config;
  unsigned listId = ReadListConfig(list, config) ? ReadListId(config) : 0;
  if (listId == 0) {
    why = FormatText("List '%s' has no valid ListId.", list.name.c_str());
    return false;
  }
  for (const std::string& name :
       ListFiles(ServerSettings().incomingDirectory, FormatText("%04x*.ml", listId))) {
    HeldPost p;
    p.name = name;
    if (ReadHeldPost(HeldPath(name), p)) out.push_back(p);
  }
  return true;
}

bool ReleaseHeldPost(const ListRef& list, const std::string& name, std::string& why) {
  unsigned listId = 0;
  if (!CheckHeldName(list, name, listId, why)) return false;
  std::string released;
  if (!CommitListFile(HeldPath(name), listId, kReleasedExtension, released)) {
    why = FormatText("Unable to release '%s'.", name.c_str());
    return false;
  }
  AdjustHeldCount(list, -1);
  LogEvent(0, kLogRouting, "Released held message '%s' of list %s as '%s'.", name.c_str(),
           list.name.c_str(), PathFileName(released).c_str());
  RequestRouting();
  return true;
}

bool RejectHeldPost(const ListRef& list, const std::string& name, const std::string& reason,
                    std::string& why) {
  unsigned listId = 0;
  if (!CheckHeldName(list, name, listId, why)) return false;
  HeldPost post;
  ReadHeldPost(HeldPath(name), post);
  BounceRequest r;
  r.recipient = post.sender;
  r.reason = reason.empty() ? kRejectReasonDefault : reason;
  r.messagePath = HeldPath(name);
  r.skipEnvelope = true;
  std::string bounced;
  if (!BounceMessage(r, bounced, why)) return false;
  if (DeleteFileWin(HeldPath(name)) != 0) {
    why = FormatText("Unable to delete '%s'.", name.c_str());
    return false;
  }
  AdjustHeldCount(list, -1);
  RequestRouting();
  return true;
}

bool ForwardHeldPost(const ListRef& list, const std::string& name, const std::string& address,
                     bool withHeader, std::string& why) {
  unsigned listId = 0;
  if (!CheckHeldName(list, name, listId, why)) return false;
  std::string text;
  if (!FormatEnvelope("root", {address}, text, why, true)) return false;
  if (withHeader)
    text += "From: root\r\nTo: " + address + "\r\nSubject: Message forwarded from mailing list '" +
            list.name + "'\r\n";
  UniqueFd held = OpenShared(HeldPath(name), O_RDONLY);
  long long offset = 0;
  if (!held.valid() || !FindMessageOffset(held.get(), offset, why) ||
      !SpoolSeek(held.get(), offset, SEEK_SET)) {
    why = FormatText("Unable to read '%s'.", name.c_str());
    return false;
  }
  std::string path;
  UniqueFd out = CreateSpoolTemp(path, true);
  bool ok = out.valid() && SpoolWrite(out.get(), text);
  std::string piece(kCopyPiece, '\0');
  while (ok) {
    long n = ReadSome(held.get(), piece.data(), piece.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = SpoolWrite(out.get(), piece.data(), size_t(n), false);
  }
  const Settings& s = ServerSettings();
  if (!ok || !CloseAndCommitSpoolFile(out, path, true, s.incomingDirectory, s.outgoingDirectory,
                                      why)) {
    if (out.valid()) {
      out.reset();
      SpoolDelete(path);
    }
    why = FormatText("Unable to write the forwarded copy of '%s'.", name.c_str());
    return false;
  }
  LogEvent(0, kLogRouting, "Created file '%s' to forward to user.", path.c_str());
  held.reset();
  DeleteFileWin(HeldPath(name));
  AdjustHeldCount(list, -1);
  RequestRouting();
  return true;
}

bool DeleteHeldPost(const ListRef& list, const std::string& name, std::string& why) {
  unsigned listId = 0;
  if (!CheckHeldName(list, name, listId, why)) return false;
  if (DeleteFileWin(HeldPath(name)) != 0) {
    why = FormatText("Unable to delete '%s'.", name.c_str());
    return false;
  }
  AdjustHeldCount(list, -1);
  return true;
}
