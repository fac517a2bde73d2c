// Digests: a list with ListDigested gathers each distributed post into two item
// files in the incoming directory, named by the digest base name "%04x%04x" (the
// domain's number, 0 for the primary domain, and the list's ListId):
//   <base>.md1  one line per post: five blanks and the subject in single quotes;
//   <base>.md2  per post "Date:", "From:", "Subject:" lines, an empty line, the
//               body and a separator line.
// A digest built from them goes to the members with DIGEST.
#pragma once

#include <string>

inline constexpr const char* kDigestSubjectsExtension = ".md1";
inline constexpr const char* kDigestPostsExtension = ".md2";
// Header values kept for an item.
inline constexpr size_t kDigestValueChars = 199;

// "%04x%04x".
std::string DigestBaseName(int domainNumber, unsigned listId);

// AddDigestItem: appends the post at `messageOffset` of `fd` (after its envelope)
// to the two item files of the list, both flushed to stable storage before the
// call returns. Returns the post's size in bytes (all of it after the envelope),
// or -1 when an item file cannot be written.
long long AddDigestItem(int domainNumber, unsigned listId, const std::string& incomingDir, int fd,
                        long long messageOffset);
