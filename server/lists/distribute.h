// List distribution: what happens to a message the router hands to a list. The
// distributor decides whether the sender may post, holds the post for the owner
// (.ml), readdresses it to the owner, drops it as a duplicate or refuses it, and
// otherwise writes the post once per group of members: each file carries the
// list's envelope (one "To:" line per receiving member), the rewritten header,
// the body and the footer, and is committed into the incoming queue (or kept as
// bulk .blk files for the daily release). It also adds digest items, keeps
// per-sender statistics, writes the list's log and acknowledges posts.
//
// Exactly once. A post's Message-Id is remembered only after every file of it is
// committed, so a post whose writing failed, or that was cut short by a crash, is
// distributed when it comes again (a retry, a resend), while a post that was
// written and comes again is dropped ("Message has already been sent").
// The files of one post are all written before the first is committed, which
// keeps the window in which a crash can deliver part of a post to a few renames.
//
// Envelopes. The router reads an envelope only within its first
// kRouterEnvelopeLimit bytes, so a list with many members is written as several
// files, cut by the spool's SplitEnvelope so that each envelope fits.
#pragma once

#include <string>
#include <string_view>

#include "server/accounts/router.h"

// The switches and texts the header rewrite works with.
struct ListHeaderRules {
  std::string list;            // the list's name
  std::string domain;          // the domain shown
  bool replyToList = true;     // SetReplyToList
  std::string replyTo;         // ListReplyToAddress, else the sender
  std::string sender;
  bool includeSubject = false; // IncludeSubject
  std::string subjectTitle;    // IncludeSubjectTitle
  std::string changeHeaders;   // ChangeListHeaders: rules separated by "$t"
};

// The header of a distributed post: the list's To:, Sender: and Reply-To:, then
// the fields of the message without Received:, To:, Sender:, CC:, BCC:,
// Reply-To: and those a rule names, the subject with its title, and the "+" rules.
// `block` is the start of the message (`atEnd` when it is all of it); appends the
// new header and its empty line to `out` and returns the bytes of `block` that
// belong to the old header (the body follows them).
size_t RewriteListHeader(std::string_view block, bool atEnd, const ListHeaderRules& rules,
                         std::string& out);

// The router's handler for a list recipient (RouterHandlers().list). A refusal
// or failure reports ok false with the reply lines in `reason`; RouteToOwner
// reports a reroute to the owner.
void DistributeListMessage(const SpecialDelivery& in, SpecialResult& out);

// Start-up step: the statistics lock. Shutdown releases it.
bool InitializeListHandling(std::string& why);
void ShutdownListHandling();

// The message-id history: true when `id` is one of the list's last 20 ids.
struct ListRef;
bool IsKnownMessageId(const ListRef& list, const std::string& id);
// Remembers `id` in the next of the 20 slots (the id it replaces is forgotten).
// Ids that cannot be told from the history's own values ("NextPos", "0".."19")
// or that no value name can hold are not remembered.
void RememberMessageId(const ListRef& list, const std::string& id);
