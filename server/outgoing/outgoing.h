// The outgoing queue: the router leaves every message for remote recipients as an
// outgoing spool file (.out); this subsystem sends them. A scan of the outgoing
// directory (job 2 of the periodic worker) starts one item per file, at most
// LimitOutgoingMessages at a time; each item (job 8) reads its file's envelope,
// finds a destination for every recipient (routing.h, the MX resolver), sends the
// message to each destination host through an SMTP client session, and records
// the outcome per recipient. A file whose recipients are all decided is deleted;
// one with recipients still waiting is parked as .our for the retry queue
// (retry_queue.h); undeliverable recipients are bounced to the sender.
//
// Durability: a recipient line is marked done ("t") only after the peer's 250 to
// the final "." or a committed bounce, and a file is parked or deleted only after
// its marks are on stable storage. A crash loses nothing; it may send a message
// twice. A connection lost at any step, or a 421, is a temporary failure.
//
// Everything here runs on the periodic worker. Sessions and resolver requests run
// on other threads and wake the worker when they have news, so items move on
// within milliseconds instead of at the next tick.
#pragma once

#include <cstdint>
#include <string>

// Start-up step 4.14: the local-node list and the forced-connection settings.
bool LoadLocalNodeList();
// Start-up step 9.11: reads the outgoing settings, starts the retry queue (its
// start-up rename of parked files), registers ETRN and the wake-ups. False with
// `why` (shown after text 5013).
bool InitializeOutgoing(std::string& why);
// Ends every item's session and frees the items, marking and bouncing nothing:
// their files stay for the next start. The periodic worker must be stopped.
void ShutdownOutgoing();

// Job 2: the outgoing scan. Starts items for new .out files and for the due
// entries of the retry queue while the capacity allows. Non-zero: call again at
// the next tick (names wait in the transfer table).
int OutgoingQueueStep(bool forced);
// Job 8: runs every item's state machine as far as it goes. Returns 0 while items
// exist (the worker runs it again at its next tick), 1 when there are none.
int OutgoingItemsStep();

// The capacity in force: LimitOutgoingMessages, below 1 read as 1, at most 50.
int OutgoingCapacity();
inline constexpr long kOutgoingCapacityMax = 50;
// Items alive now.
int CountOutgoingItems();

// Bounces the message of the outgoing file `path` (open as `fd`, or -1) with
// `reason`: to the envelope sender ("Bouncing to file '%s' from '%s' for user
// '%s'") and to `second` ("root" or "postmaster", qualified with this host) when
// `toSecond` is set or the sender cannot be bounced to (a mailer daemon, or no
// readable sender). With `deleteAfter` the file is deleted once a bounce is
// written ("Outg - Bounced & deleted %s"). True when at least one bounce was
// committed; `why` has the first failure.
bool BounceOutgoingFile(const std::string& path, int fd, const std::string& reason,
                        bool deleteAfter, bool toSecond, const char* second, std::string& why);
