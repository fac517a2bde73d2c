// Digest items.
#include "server/lists/digest.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/files.h"
#include "server/core/log.h"
#include "server/spool/headers.h"

namespace {

constexpr size_t kItemReadBytes = 16383;
constexpr const char* kNoValue = "<none>";
constexpr const char* kItemSeparator = "\r\n------------------------------\r\n\r\n";

// A header value as an item line holds it: unfolded, cut, without NUL.
std::string ItemValue(std::string_view raw) {
  std::string v = UnfoldHeaderValue(raw);
  if (v.size() > kDigestValueChars) v.resize(kDigestValueChars);
  for (char& c : v)
    if (c == '\0') c = ' ';
  return v;
}

// Appends and flushes; a file made by this call has its directory entry flushed.
bool AppendDurably(const std::string& path, const std::string& head, int fd, long long from) {
  bool existed = FileExists(path);
  UniqueFd out = OpenShared(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!out.valid() || !WriteAll(out.get(), head.data(), head.size())) return false;
  if (fd >= 0) {
    std::string piece(kItemReadBytes, '\0');
    for (off_t at = off_t(from);;) {
      ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
      if (n < 0) return false;
      if (n == 0) break;
      if (!WriteAll(out.get(), piece.data(), size_t(n))) return false;
      at += n;
    }
    if (!WriteAll(out.get(), kItemSeparator, strlen(kItemSeparator))) return false;
  }
  if (!SyncFileData(out.get()) || !out.close_checked()) return false;
  return existed || SyncParentDirectory(path);
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
  if (!AppendDurably(base + kDigestSubjectsExtension, "     '" + subject + "'\r\n", -1, 0) ||
      !AppendDurably(base + kDigestPostsExtension,
                     "Date: " + date + "\r\nFrom: " + from + "\r\nSubject: " + subject + "\r\n\r\n",
                     fd, messageOffset + static_cast<long long>(pos)))
    return -1;
  return st.st_size - messageOffset;
}
