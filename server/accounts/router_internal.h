// Shared between the files of the router; not for other modules.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "server/accounts/router.h"
#include "server/spool/spool.h"

// What the header of the message says, scanned once per spool file.
struct RoutingHeaders {
  bool scanned = false;
  std::string receiptTo;
  std::string subject;
  int ownReceived = 0;  // "Received: by <this host>" lines
  bool bulk = false;    // "Precedence: bulk"
};

// One spool file being routed.
struct SpoolWork {
  std::string path;
  UniqueFd fd;
  bool isInFile = true;
  RouterEnvelope envelope;
  std::vector<bool> pending;          // per envelope recipient, in this pass
  std::vector<long long> marks;       // lines handled, waiting for the group commit
  std::set<long long> skip;           // lines deferred earlier in this visit
  bool deferred = false;              // a recipient waits for a busy mailbox
  bool unhandled = false;             // a recipient could not even be bounced
  bool setAside = false;              // unreadable envelope: moved to .err
  bool createdIncoming = false;       // new .in files were made
  bool createdOutgoing = false;       // new .out files were made
  bool retireWhenDone = false;        // the queue retires it once every line is done
  RoutingHeaders headers;
};

// An outgoing copy written and closed but not committed yet: the group commits
// its copies together, so their flushes run at once instead of one after another.
struct PendingCopy {
  std::string temp;        // the closed .wrm
  SpoolWork* work = nullptr;  // the file its recipients came from
};

// Appends, copies and marks waiting to be made durable together.
struct CommitGroup {
  std::vector<std::string> mailboxes;  // appended to since the last commit
  std::vector<std::string> newFiles;   // mailbox files created (their directory too)
  std::vector<std::string> accounts;   // the account of each of `mailboxes`
  std::vector<PendingCopy> copies;     // outgoing copies to commit before the marks
  std::vector<SpoolWork*> files;       // whose marks wait
};

// How one recipient ended.
enum class RecipientOutcome {
  kHandled,    // delivered, re-spooled or bounced: mark the line
  kDeferred,   // the mailbox is busy: leave the line, park the file as .inr
  kUnhandled,  // not even a bounce could be written: leave the line, retry later
};

// Flushes the group's mailboxes, then writes and flushes its marks. False when a
// flush failed (the marks of that group are then not written: the deliveries
// will be repeated, never lost).
bool CommitDeliveries(CommitGroup& group, std::string& why);

// The append-note key of one recipient line of a spool file: this boot, the
// file's name and inode, the line's offset. Unique within a boot: a spool name is
// never handed out twice in one boot (the inode alone would not do, spare files
// bring inodes back), and a note left from before a reboot never matches (its
// appends may not have survived the power loss).
std::string DeliveryKey(const SpoolWork& work, size_t index);

// Scans the message header once (Return-receipt-to:, Subject:, own Received
// lines, Precedence: bulk).
void ScanRoutingHeaders(SpoolWork& work);

// Routes one local recipient (index into the envelope) whose local part is
// `name` in `domain`.
RecipientOutcome RouteLocalRecipient(SpoolWork& work, size_t index, const std::string& name,
                                     const std::string& domain, CommitGroup& group);
// Writes every recipient in `indices` into outgoing files: one, or several when
// their envelope would not fit into one; the group commits them. The outcome of
// each, in order.
std::vector<RecipientOutcome> RouteRemoteRecipients(SpoolWork& work,
                                                    const std::vector<size_t>& indices,
                                                    CommitGroup& group);
// Bounces the message of `work` to its sender with `reason` (and to root with a
// system error). True when at least one bounce was written.
bool BounceRecipient(SpoolWork& work, const std::string& reason, bool systemError);
// A bounce of the whole file to root@<host>; true with `pathOut` when written.
bool BounceToRoot(const std::string& path, int fd, const std::string& reason, std::string& pathOut,
                  std::string& why);
// The text a bounce reason is cut to.
std::string CutReason(const std::string& reason);
