// The finger daemon (service 6): one request line per connection, answered with
// the account's name, whether mail waits and the text of the file the user chose;
// list-all and forwarding queries are refused. The same service makes outgoing
// connections for other parts of the server: a remote finger notification (the
// router, after a delivery, fingers the user at the client machine named in the
// account's access record, so that a program there learns that mail arrived) and
// a forced connection (connect to a node and port only to bring the link up).
// Outgoing requests wait in a bounded queue; the periodic worker starts one per
// finger check (every 10 s).
//
// Nothing is cached: the account, its access record, the configured reply files
// (SysOptFgrNoUser, SysOptFgrErr) and the finger file are read afresh for every
// request, so a change shows at the next query. Only regular files are read.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct NetNode;

// ---- Numbers -------------------------------------------------------------------

// Session states (the node's owner state).
enum FingerState : int32_t {
  kFgrRequest = 0,     // incoming: waiting for the request line
  kFgrReplying = 1,    // incoming: sending the reply
  kFgrClosing = 2,     // closing (both directions)
  kFgrConnecting = 3,  // outgoing: connecting
  kFgrConnected = 4,   // outgoing: connected
  kFgrDraining = 5,    // outgoing: query sent, reading the answer away
  kFgrClosed = 6,
};

struct FingerLimits {
  size_t requestChars;          // a longer request line is an unknown name
  size_t replyBytes;            // the reply with its files
  size_t pieceBytes;            // the reply is queued in pieces of this size
  size_t nameChars;             // queued account names and targets
  size_t queueEntries;          // outgoing requests waiting; more are dropped
  uint16_t idleTimeoutSeconds;  // an incoming session
  uint16_t outgoingTimeoutSeconds;
  int closeDelaySeconds;        // a graceful close waits this long for the send ring
  uint32_t drainMs;             // an outgoing query's answer is read this long
  int listenBacklog;
  uint32_t ringBytes;
  int remoteFingerPortMark;     // the queued port that stands for SysOptRFngr
};
inline constexpr FingerLimits kFinger = {
    255, 16384, 128, 99, 1000, 300, 30, 30, 10000, 5, 8192, 65535,
};

// ---- Start-up ------------------------------------------------------------------

// Start-up step 9.8: zeroes the session counter and the access mask, empties the
// request queue and registers the service's callbacks. Always true.
bool FingerInit(std::string& why);

// Start-up step 12: remembers the access mask (0x10 daemon, 0x20 remote finger
// notification). With 0x10 opens the listener on BindAddress and FingerPort and
// logs "Fgr: Finger daemon installed, port %u." or "... not installed ...".
// Always true: a daemon that cannot start does not stop the server.
bool FingerStart(long accessMask);

// Opens the listener on `bindAddress` and `port` (0 = any free port, for tests).
// False with `why` (the design's "Fgr: ..." texts); `boundPort` gets the port.
bool FingerListen(const std::string& bindAddress, int port, std::string& why, int& boundPort);

// ---- Outgoing requests -----------------------------------------------------------

// Queues an outgoing connection. reverse 1, a remote finger notification for the
// account `account`: only when the start-up mask and the account's access bits
// both have 0x20, its finger address is set and the account is not queued
// already (names compared without regard to case). reverse 0, a forced connection
// to `node` and `port`. True when queued.
bool QueueRemoteFinger(const std::string& account, const std::string& node, int port,
                       int reverse);

// The periodic finger check: starts the request at the head of the queue (one
// per call). A request that cannot be started is logged and dropped.
void FingerCheck();

// For tests: the number of queued requests.
size_t FingerQueueLength();

// ---- Network callbacks of service 6 -----------------------------------------------

bool FingerAccept(uint16_t service, void* listenerOwner, int socket, const sockaddr_in& peer);
void FingerOnConnect(NetNode* node, uint16_t service, int32_t ownerState, void* owner,
                     int wsaError);
bool FingerOnData(NetNode* node, uint16_t service, int32_t* ownerState, void* owner,
                  int parameter);
void FingerOnClose(void* owner, uint16_t service, int32_t ownerState, int32_t nodeState,
                   int reason);
