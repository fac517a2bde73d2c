// The server's spine: process-wide state that the start-up sequence owns and other
// parts poke (request flags, connection counters, the status text).
#pragma once

#include <cstdint>
#include <string>

// Request flags for the periodic worker (single words; any thread may set them).
void RequestIncomingScan();      // never cleared once set
void RequestOutgoingScan();      // outgoing-scan-again
void RequestForcedConnection();  // consumed by the next outgoing scan
// The outgoing checks (job 8) run at the next tick: a session or a resolver
// request of an outgoing item has news.
void RequestOutgoingChecks();

// Stores the three intervals (seconds; stored as milliseconds).
void SetQueueIntervals(long incomingSeconds, long outgoingSeconds, long forcedSeconds);
// Returns the previous value; the periodic jobs run only while it is 1.
int SetSystemStarted(int flag);

// In/Out SMTP connection counters; refreshes the title.
void AdjustConnectionCounts(int deltaIn, int deltaOut);
void ConnectionCounts(int& in, int& out);

// Sets the title: "%s v%s", " (%s)" with the local node once known, " - " status.
// A null text clears the status; a number is a string-table id.
void SetStatusText(const char* text);
void SetStatusTextId(unsigned id);
std::string WindowTitle();

// The worker waits up to 500 ms between ticks; any request wakes it early.
void WakePeriodicWorker();

// Messages since the start, for the console's status: taken by the SMTP server,
// written to a local mailbox, and bounce notices made.
enum class MessageCount { kReceived, kDelivered, kBounced, kKinds };
void CountMessage(MessageCount kind);
uint64_t MessageCountOf(MessageCount kind);

// Running total of bytes allocated (the "Mem: %ld" line).
long AllocationTotal();
