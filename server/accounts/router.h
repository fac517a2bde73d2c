// The router: takes the incoming spool files (.in, released list posts .mla, and
// files waiting for a busy mailbox .inr), resolves each pending envelope
// recipient and delivers it: into a local mailbox, into a new incoming file
// (forwards, carbon copies, aliases leaving the machine), to a list, responder or
// custom-mailbox handler, and, for all remote recipients of a file together, into
// one outgoing .out file with one "To:" line each. What cannot be delivered is
// bounced to the sender (and to root for system errors).
//
// Exactly once: a recipient line is marked done ("T" -> "t") only after what it
// produced is on stable storage (the mailbox append flushed, the new spool file
// committed, the bounce committed), and a spool file is deleted only after its
// marks are flushed. A crash therefore loses nothing; it may repeat the deliveries
// between the flush of their mailboxes and the flush of their marks. The router
// keeps that window short and cheap by committing in groups: the appends of one
// call are flushed together (in parallel), then all their marks are written and
// flushed together, so a call of fifty files costs two rounds of flushes instead of
// two per recipient.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/accounts/accounts.h"

// ---- Tunables ----------------------------------------------------------------------

struct RouterLimits {
  int filesPerCall;           // files routed by one RouteIncomingQueue call
  uint32_t waitingScanMs;     // .inr files are scanned at most this often
  int maxOwnReceived;         // more Received lines of this host: a mail loop
  size_t headerScanBytes;     // the header looked at for receipts, subject, loops
  size_t receiptAddressChars; // Return-receipt-to: value kept
  size_t subjectChars;        // Subject: value kept
  size_t reasonChars;         // a bounce reason is cut here
  int maxNormalizeRounds;     // "%" hops and source routes peeled at most this often
  int maxRenameProbes;        // names tried for an .inr or .err file
};
// 50 files per call rather than 10: each call ends in one round of mailbox
// flushes and one of recipient marks, and under load a larger call shares those
// flushes among more messages (a call of 50 takes about 15 ms on a small VM).
inline constexpr RouterLimits kRouter = {50, 60000, 9, 16384, 200, 100, 1000, 16, 4096};

// ---- Handlers of later subsystems --------------------------------------------------

// What the router hands a list, responder or custom-mailbox handler.
struct SpecialDelivery {
  std::string account;       // the account reached (aliases followed)
  AccountType type = kAccountNone;
  std::string sender;        // envelope sender
  std::string spoolPath;     // the spool file being routed ...
  int spoolFd = -1;          // ... open for reading
  long long messageOffset = 0;
  std::string domain;        // "" = primary
  std::string domainShown;   // the domain name to show in texts
  std::string recipient;     // as written in the envelope
  bool isInFile = true;      // false for a released list post (.mla)
};

// What a handler reports. `ok` false bounces the recipient with `reason` (to which
// "Error processing special format." is appended). With `reroute` the router
// writes a new incoming file for `rerouteAddress`. With `deferred` (and no
// reroute) the recipient waits as for a busy mailbox and is handed over again
// later.
struct SpecialResult {
  bool ok = false;
  std::string reason;
  bool reroute = false;
  std::string rerouteAddress;
  bool deferred = false;
};

using SpecialHandler = void (*)(const SpecialDelivery& in, SpecialResult& out);
// The remote finger notification: account, node name (empty = none), port, reverse.
using RemoteFingerHook = void (*)(const std::string& account, const std::string& node, int port,
                                  int reverse);

// Filled at start-up by the subsystems that exist; a missing handler makes such a
// recipient bounce with "Error processing special format.".
struct RouterHooks {
  SpecialHandler list = nullptr;
  SpecialHandler responder = nullptr;
  SpecialHandler custom = nullptr;
  RemoteFingerHook queueRemoteFinger = nullptr;
  // A message was appended to the mailbox file at `path` (the lock is released):
  // IMAP wakes the sessions that wait in IDLE on it.
  void (*mailboxAppended)(const std::string& path) = nullptr;
};
RouterHooks& RouterHandlers();

// ---- Start, stop, the queue ----------------------------------------------------------

// Start-up step: clears the queue and its ignore list. Never fails today; the
// text buffer is for the start-up message.
bool InitializeRouter(std::string& why);
void ShutdownRouter();

// Job 3 of the periodic worker: scans the incoming directory when no queue is
// active and routes up to kRouter.filesPerCall files. Returns non-zero while a
// queue is still being worked on (call again at the next tick).
int RouteIncomingQueue();

// Asks for a queue scan at the next tick (new incoming files were written).
void RequestRouting();

// Deletes a message file of the incoming directory at the administrator's
// request: waits for a routing call under way to end (the queue's lock), then
// deletes the file under its exclusive lock. False with `why` when the file is
// held by another opener or gone.
bool DeleteIncomingFile(const std::string& path, std::string& why);

// What one pass over a spool file reports.
struct SpoolRouteResult {
  bool moreRemain = false;  // pending recipients beyond those read in this pass
  bool allDone = false;     // every recipient read was handled (none deferred)
  bool locked = false;      // another opener holds the file: try it later
  bool deferred = false;    // some recipient waits for a busy mailbox
};

// Routes the whole file: pass after pass while recipients remain. False when the
// file cannot be processed (the queue then bounces it to root). Exposed for
// tests and tools; the queue does the same with its own bookkeeping.
bool RouteSpoolFile(const std::string& path, bool isInFile, SpoolRouteResult& result);

// Makes a new incoming spool file "From: <sender>" / "To: <address>" with a copy
// of the message at `messageOffset` of `spoolFd`, committed as .in. False with
// `why` ("Unable to get outgoing file handle.", "Unable to write send file
// header.", "Error copying file: ..."). With `submittedHere` the copy keeps the
// mark of mail we submitted.
bool CopyToIncoming(const std::string& sender, const std::string& address, int spoolFd,
                    const std::string& spoolPath, long long messageOffset, std::string& why,
                    bool submittedHere = false);

// The name of `domain` in texts and addresses the server writes: a secondary
// domain's own name; for the primary domain ("") OutgoingAlias, else LocalNode.
std::string DomainShown(const std::string& domain);

// For tests: forgets the queue, the ignore list and the last .inr scan time.
void ResetRouterState();
// For tests: the names on the ignore list.
std::vector<std::string> RouterIgnoreList();
