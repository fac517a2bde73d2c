// The spool files that belong to one list, in the incoming directory: held posts
// (.ml), released posts (.mla) and bulk posts (.blk), each named "%04x%04x" by
// the list's ListId and a 16-bit tick; and the held-post actions of the
// administrator (release, reject, forward, delete), each lowering the list's
// FilesPending\NumFiles.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/lists/membership.h"

inline constexpr const char* kHeldExtension = "ml";
inline constexpr const char* kReleasedExtension = "mla";
inline constexpr const char* kBulkExtension = "blk";
inline constexpr const char* kHeldCountValue = "NumFiles";
inline constexpr const char* kRejectReasonDefault = "Submission to list rejected by listowner.";

// The list's ListId as a number: 0 when missing, not hexadecimal or zero (such a
// list cannot distribute).
unsigned ReadListId(const ListConfig& config);
// The number of the domain in digest names: 0 for the primary domain, n for
// VirtualDomains\Domain<n>; -1 when the domain is not loaded.
int DomainNumber(const std::string& domain);

// Moves the closed temporary `temp` to "<incoming>%04x%04x.<extension>" (ListId,
// then the tick from now, one higher while a name is taken), never replacing a
// file: its data are flushed before the rename and the directory after, so the
// name stands for a whole file. True with `finalPath`.
bool CommitListFile(const std::string& temp, unsigned listId, const char* extension,
                    std::string& finalPath);

// Adds `delta` to FilesPending\NumFiles (never below 0), under the list's lock.
void AdjustHeldCount(const ListRef& list, int delta);

// ---- Held posts ------------------------------------------------------------------

struct HeldPost {
  std::string name;     // file name in the incoming directory
  std::string sender;   // from the held envelope
  std::string subject;  // from the message header
  long long size = 0;
};

// The list's held posts ("%04x*.ml"), sorted by name. False when the list has no
// valid ListId.
bool ListHeldPosts(const ListRef& list, std::vector<HeldPost>& out, std::string& why);

// Each action takes the held file's name (without directory) and fails with `why`
// when it is not a held post of this list.
// Release: renamed to the list's next ".mla" name, which the router distributes
// without moderation.
bool ReleaseHeldPost(const ListRef& list, const std::string& name, std::string& why);
// Reject: returned to its sender with `reason`, then deleted.
bool RejectHeldPost(const ListRef& list, const std::string& name, const std::string& reason,
                    std::string& why);
// Forward: a new incoming file from root to `address` (with `withHeader` a header
// "Subject: Message forwarded from mailing list '<list>'" in front of the held
// message), then deleted.
bool ForwardHeldPost(const ListRef& list, const std::string& name, const std::string& address,
                     bool withHeader, std::string& why);
// Delete, without any record of what happened.
bool DeleteHeldPost(const ListRef& list, const std::string& name, std::string& why);
