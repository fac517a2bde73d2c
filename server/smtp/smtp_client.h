// The SMTP client session: this server delivering to another one. The outgoing
// queue opens a connection to a mail exchanger or relay host (SmtpConnect) and
// hands the session one request at a time: a message with its sender and the
// recipients that go to this host. The session greets (EHLO, HELO after a
// refusal), sends MAIL, one RCPT per recipient, DATA and the message, records
// the peer's answer for every recipient and for the message, and then waits with
// the connection open for the next request or says QUIT. A session opened only to
// ask the peer for its queued mail (dequeue only) sends ETRN first.
//
// Threads. The session runs on the network layer's threads; its owner (the
// outgoing queue) runs on the periodic worker. They meet only in two shared
// records. An SmtpRequest is filled by the owner, handed over, used by the
// session alone until it sets `finished` (or lets go of the connection), and read
// by the owner afterwards. An SmtpClientLink carries the connection's state both
// ways under its own lock; the owner never touches the session record itself,
// and wakes the session through the network layer when it has new work for it.
// The session calls the link's `notify` whenever something its owner waits for
// has happened, so the owner need not poll.
//
// Lock order: a node's receive lock, then a link's lock (the session holds its
// receive lock while it runs); the owner calls into the network layer with a
// link's lock held only for short lookups that take no ring lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "server/net/net.h"

// ---- Requests ----------------------------------------------------------------------

// What became of one recipient of a request.
enum class SmtpRecipientStatus : uint8_t {
  kUntried,    // no answer to its RCPT (the connection failed or ended first)
  kAccepted,   // RCPT answered 250 or 251; the message is not through yet
  kDelivered,  // the peer took the message for it (250 to the final ".")
  kRefused,    // the peer refused it or the message for good (5xx): bounce it
  kDeferred,   // the peer put it off (4xx, or the transaction failed temporarily)
};

struct SmtpRequestRecipient {
  std::string address;
  SmtpRecipientStatus status = SmtpRecipientStatus::kUntried;
  std::string reply;  // the peer's reply (code and text) when refused or deferred
};

// One message handed to a session.
struct SmtpRequest {
  // Filled by the owner before the hand-over; read by the session.
  std::string fileName;  // for log lines
  std::string sender;
  long size = 0;         // bytes of the message after the envelope (SIZE=)
  UniqueFd file;         // the spool file, read from `offset` on (pread only)
  long long offset = 0;
  std::string head;      // header lines sent before the file's message (its DKIM
                         // signatures), CRLF-ended; counted in `size`
  std::vector<SmtpRequestRecipient> recipients;
  bool requireTls = false;  // sent only inside TLS (an exception says so)
  bool clearText = false;   // the TLS handshake with this host failed just before: no STARTTLS

  // Written by the session; the owner reads them once `finished` is true, or once
  // the link says the session is gone.
  bool notFatal = true;     // false: the message failed for good (errorText says why)
  bool retry = true;        // true: the outcome was temporary
  bool mailAnswered = false;  // the peer answered MAIL: the host itself was reached
  std::string errorText;    // the reason of a failure, in the words of the log texts
  std::atomic<bool> finished{false};
};

// ---- Connections -------------------------------------------------------------------

// What a client session and its owner share. The owner keeps it as long as it
// likes; the session keeps a reference until its node is gone.
struct SmtpClientLink {
  std::mutex lock;
  // Written by the session (under `lock`).
  int socket = -1;            // the node's socket; only while !gone
  uint16_t sessionId = 0;
  bool connected = false;     // the TCP connection is open
  bool connectFailed = false; // the connect failed (the session goes at once)
  int connectError = 0;       // its WinSock error
  bool idle = false;          // waiting for a request (send step 14)
  bool quitting = false;      // saying QUIT: the session closes by itself
  bool tlsFailed = false;     // the connection ended during the STARTTLS handshake
  bool gone = false;          // the session has let go of everything; final
  std::shared_ptr<SmtpRequest> current;  // the request being sent
  // Written by the owner (under `lock`).
  std::shared_ptr<SmtpRequest> handed;   // given by SmtpClientSend, not yet taken
  bool quitWanted = false;    // say QUIT when idle
  // Called by the session, with no lock held, after something above changed.
  void (*notify)() = nullptr;
};

enum class SmtpClientState {
  kConnecting,  // the TCP connect is under way
  kOpen,        // connected; the session runs
  kGone,        // the session ended (connect failed, closed, or done)
};

// The port outgoing connections go to: SysOptSmtpOut, 0 = 25.
int SmtpOutPort();

// Opens a connection to `host` ("[a.b.c.d]", a dotted address or a name, which
// the system resolver looks up) on the outgoing port, logging 5017 "Attempting to
// connect to %s" with `displayName` (or the host) after `logPrefix`. The first
// request (none for a dequeue-only session) goes with it. Returns the link, or
// null with `errorText` set when no connection could be started (nothing is left
// behind then). `notify` is stored in the link.
std::shared_ptr<SmtpClientLink> SmtpConnect(const std::string& host,
                                            const std::string& displayName,
                                            const std::string& logPrefix, bool dequeueOnly,
                                            std::shared_ptr<SmtpRequest> request,
                                            void (*notify)(), std::string& errorText);

SmtpClientState SmtpClientConnectionState(SmtpClientLink& link);
// True when the session waits for a request (send step 14).
bool SmtpClientIsIdle(SmtpClientLink& link);
// Hands an idle session its next request and wakes it. False when it is not idle
// (or gone).
bool SmtpClientSend(SmtpClientLink& link, std::shared_ptr<SmtpRequest> request);
// Ends a session: with `politely` an idle one says QUIT first; otherwise, or when
// it is busy, the connection is closed at once. Nothing happens when it is gone.
void SmtpClientFinish(SmtpClientLink& link, bool politely);
// Closes the connection at once.
void SmtpClientClose(SmtpClientLink& link);

// The SMTP service's OnConnect callback: starts the greeting wait, or reports the
// failed connect to the link. (smtp_client_session.cpp holds the session's state
// machine; smtp_client.cpp this interface.)
void SmtpClientOnConnect(NetNode* node, uint16_t service, int32_t ownerState, void* owner,
                         int wsaError);

// Registers the client states with the session driver and the close hook.
// Idempotent; SmtpConnect calls it.
void RegisterSmtpClient();

// Test-only: the idle time-outs of client sessions in seconds (waiting for a
// reply; waiting for the reply to the final "."). 0 restores 300 and 600.
void SetSmtpClientTimeouts(uint16_t replySeconds, uint16_t finalDotSeconds);
