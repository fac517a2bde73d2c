// Digests: a list with ListDigested gathers each distributed post into two item
// files in the incoming directory, named by the digest base name "%04x%04x" (the
// domain's number, 0 for the primary domain, and the list's ListId):
//   <base>.md1  one line per post: five blanks and the subject in single quotes;
//   <base>.md2  per post "Date:", "From:", "Subject:" lines, an empty line, the
//               body and a separator line.
// A digest built from them goes to the members with DIGEST, once a day (the
// daily release) and whenever the .md2 file grows past kDigestSendSize.
//
// Lists with ListBulked keep their distributed posts as .blk files (see
// list_files.h); the daily release moves them into the incoming queue.
#pragma once

#include <string>

inline constexpr const char* kDigestSubjectsExtension = ".md1";
inline constexpr const char* kDigestPostsExtension = ".md2";
// Header values kept for an item.
inline constexpr size_t kDigestValueChars = 199;
// A digest is sent as soon as the .md2 file is larger than this.
inline constexpr long kDigestSendSize = 30000;

// "%04x%04x".
std::string DigestBaseName(int domainNumber, unsigned listId);

// AddDigestItem: appends the post at `messageOffset` of `fd` (after its envelope)
// to the two item files of the list, both flushed to stable storage before the
// call returns, and sends the digest when the .md2 file has grown past
// kDigestSendSize. Returns the post's size in bytes (all of it after the
// envelope), or -1 when an item file cannot be written.
long long AddDigestItem(int domainNumber, unsigned listId, const std::string& incomingDir, int fd,
                        long long messageOffset);

// SendDigest: the digest of the items `md1Path` (and the .md2 file beside it)
// whose base name is `baseName`, to the list's DIGEST members. ListDigestNumber
// goes up by one (written back first) when the list has such members; a list
// without any sends nothing and keeps the items and its number. An item file no
// list owns is renamed with "1rr" appended and the postmaster is told. With
// `deleteItems` the items go once the digest is queued. True when it was queued.
bool SendDigest(const std::string& md1Path, const std::string& baseName, bool deleteItems);

// The daily release (the maintenance check's day change): every .blk file of the
// incoming directory into the incoming queue, then a digest for every .md1 file.
void DailyListRelease();
