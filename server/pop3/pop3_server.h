// The POP3 server: the listener, one session per connection driven by the
// network layer's callbacks of service 2, authentication by USER/PASS or APOP,
// the maildrop served from an index built at login under the account's mailbox
// lock, and the commit at QUIT that rewrites the mailbox.
//
// Sessions run side by side, each on its own node. A session holds its mailbox
// lock and keeps the mailbox file open without sharing from a successful login
// until QUIT or the end of the connection, which keeps the router and other
// sessions of the same mailbox out; a session that ends without QUIT leaves the
// mailbox as it was.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "server/accounts/mailbox.h"

struct NetNode;

// ---- Numbers -------------------------------------------------------------------

// Session states (the node's owner state).
enum Pop3State : int32_t {
  kPopGreet = 1,
  kPopAuthorization = 2,
  kPopAuthorizationReply = 3,
  kPopExpectPass = 4,
  kPopPassReply = 5,
  kPopTransaction = 6,
  kPopListing = 7,
  kPopSending = 8,
  kPopClosing = 9,
};

struct Pop3Limits {
  size_t lineBytes;            // command line buffer; a line holds one byte less
  size_t userChars;            // the user name kept by USER and APOP
  size_t apopDigestChars;      // an APOP digest is exactly this long
  size_t fileBufferBytes;      // the message buffer of RETR and TOP
  size_t refillAfterBytes;     // the buffer is refilled once this much was sent
  int linesPerCall;            // message lines sent per handler call
  uint16_t idleTimeoutSeconds; // a session's idle time-out
  uint16_t closingTimeoutSeconds;
  int closeDelaySeconds;       // a graceful close waits this long for the send ring
  int listenBacklog;
  uint32_t ringBytes;          // receive and send rings of a session
  int defaultPort;
  uint32_t openRetryMs;        // a mailbox held by a reader is retried this long
  int indexYieldLines;         // the indexer checks the client every this many lines
};
inline constexpr Pop3Limits kPop3 = {
    2048, 50, 32, 16384, 8192, 250, 300, 65, 60, 10, 8192, 110, 1000, 100,
};

// ---- Records -------------------------------------------------------------------

struct Pop3Session {
  uint16_t id = 0;
  int socket = -1;
  bool listener = false;
  bool closing = false;
  bool apop = false;
  bool counted = false;
  bool userExists = false;
  bool lookupFailed = false;  // the registry database was out of reach for USER
  bool closeIssued = false;     // the node was asked to close
  bool discarding = false;      // the rest of an over-long command line is skipped
  std::unique_ptr<char[]> line;  // kPop3.lineBytes
  in_addr peer{};
  int result = 0;               // result of the last authorization step
  bool implicitTls = false;     // came through the POP3-over-TLS listener
  bool tlsOn = false;           // STLS done, or implicit TLS
  std::string user;             // lower-cased, at most kPop3.userChars
  uint32_t stampTick = 0;
  std::string stamp;            // "%05u.%lu@%s" of the greeting

  // The maildrop, from a successful login on.
  MailboxLock lock;
  UniqueFd mailbox;             // open without sharing; invalid for an empty maildrop
  std::string mailboxPath;
  bool opened = false;          // the maildrop is open and indexed
  MailboxIndex index;
  std::vector<std::string> uids;   // one per message, unique in the maildrop
  std::vector<char> retrieved;     // one flag per message
  long long liveCount = 0;
  long long liveSize = 0;
  long long highest = -1;       // 0-based highest accessed message, -1 for none
  bool retrievedAny = false;

  // Listing and sending cursors.
  size_t listFirst = 0, listLast = 0, listCurrent = 0;
  bool listSingle = false;
  bool listIds = false;
  bool listStarted = false;     // reply 18 of a full listing went out
  size_t sendIndex = 0;
  long long topCount = -1;      // -1 for RETR
  bool headerPhase = false;
  bool previousEmpty = false;   // the line sent before was empty
  bool sendStarted = false;
  long long bufferBase = 0;     // message offset of fileBuffer's first byte
  std::string fileBuffer;       // at most kPop3.fileBufferBytes of the message
  size_t bufferPos = 0;         // the next line starts here

  // Bytes composed (cursors already moved) that the send ring did not take yet:
  // they go out first at the next call, so nothing is lost or sent twice.
  std::string pendingOut;
};

// ---- Interfaces ----------------------------------------------------------------

// Start-up step 9.6: zeroes the open-session count and registers the service's
// callbacks. Always true; `why` stays empty (it would fill 5011's "%s").
bool Pop3Init(std::string& why);

// Starts the listener on `bindAddress` ("" = any) and `port` (0 = any free port,
// for tests). On failure `why` holds 5158, 5159, 5162, 5163, 5164 or 5165 with
// the socket error text, and nothing is left open. `boundPort` (optional) gets
// the port bound. The network layer must be started. Logs nothing.
// `implicitTls` makes the POP3-over-TLS listener (its port is not reported by
// Pop3ListenerPort).
bool Pop3Listen(const std::string& bindAddress, int port, std::string& why,
                int* boundPort = nullptr, bool implicitTls = false);

// Start-up step 11 (called when SysAccess has bit 0x01): Pop3Listen on
// BindAddress and PopPort(ServerSettings()); success logs 5219 "POP3 server
// started on port %u.". On failure `why` holds the reason (logged too).
bool Pop3StartListener(std::string& why);

// The port of the running listener (0 when none).
int Pop3ListenerPort();
// Sessions greeted and not yet ended.
int Pop3OpenSessions();

// Network callbacks of service 2.
bool Pop3Accept(uint16_t service, void* listenerOwner, int socket, const sockaddr_in& peer);
bool Pop3OnData(NetNode* node, uint16_t service, int32_t* ownerState, void* owner, int parameter);
void Pop3OnClose(void* owner, uint16_t service, int32_t ownerState, int32_t nodeState,
                 int reason);

// ---- The maildrop (pop3_maildrop.cpp) ------------------------------------------

enum class MaildropOpen {
  kOpened,      // indexed (or empty); the lock is held
  kNotAllowed,  // the account lacks access bit 0x01: result 11
  kLocked,      // another holder kept the lock for 10 s: result 12
  kFailed,      // no lock could be made, or the mailbox could not be read: result 13
};

// Opens the maildrop of the session's user: access check, aliases, lock, open,
// index (checking every kPop3.indexYieldLines lines that `node`'s client is
// still there; null = no check), unique ids and the .mid file. Logs its failures.
MaildropOpen OpenMaildrop(Pop3Session& s, NetNode* node);

// Closes the file and releases the lock; deletions are discarded.
void CloseMaildrop(Pop3Session& s);

// The commit at QUIT: rewrites the mailbox (Status headers, the sibling file,
// the .mid file; an emptied mailbox is deleted), then closes and unlocks. False
// with `why` when the rewrite failed; the mailbox is then as it was.
bool CommitMaildrop(Pop3Session& s, std::string& why);
