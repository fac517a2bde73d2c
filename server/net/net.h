// The network layer. Every socket of the server, TCP or UDP, listening, accepted or
// outgoing, is one node in a single table owned by this layer. Protocol code never
// calls send or recv itself: it reads lines or bytes out of its node's receive ring,
// queues bytes into the send ring, and is called back through a dispatch table keyed
// by the node's service number.
//
// A small pool of handler threads waits on every socket (one epoll descriptor);
// the thread woken for a node's event moves its bytes and runs its callbacks at
// once, so a command and its reply cost no hand-off between threads. The pool
// starts with kNetPoolMinThreads threads and grows by one whenever every thread is
// busy (a handler blocked in a reverse lookup, a disk flush or mailbox indexing),
// up to kNetPoolMaxThreads; threads beyond the minimum end after
// kNetPoolIdleExitMs without work. So the server runs with at most
// kNetPoolMaxThreads network threads whatever the number of connections.
//
// Guarantees protocol code may rely on:
// - All callbacks of one node run one at a time (never two on different threads);
//   OnData runs with the node's receive lock held.
// - OnData is called: once when the connection is established, whenever input has
//   arrived, again at once while it returns true and unread input is waiting, again
//   after it queued output or after queued output left the send ring, every
//   kNetRetryRoundMs while input it did not consume is waiting (except a line it
//   asked for with NetReadLine and found incomplete: its end arrives as input),
//   and otherwise at least every kNetIdleRoundMs while its rounds find something
//   to do; rounds that find nothing space out, doubling up to kNetIdleRoundMaxMs.
// - Output a handler queues during its round leaves when the round ends (or at once
//   when the send ring runs out of room), so a round's replies go out in one send.
// - OnClose is the node's last callback; the node is freed right after it. A
//   NetNode* is valid inside that node's callbacks; elsewhere keep the socket and use
//   the accessors by socket.
//
// Lock order: receive lock, then send lock; the node-list lock is taken only for
// short lookups and never while a callback runs, so a handler (holding its receive
// lock) may call any function of this header.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "server/net/sync_lock.h"

// ---- Numbers -------------------------------------------------------------------

// Service numbers: they select the protocol's callbacks. Every value not listed
// is handled as SMTP.
enum NetService : uint16_t {
  kServiceSmtp = 1,      // SMTP server and client sessions (TCP)
  kServicePop3 = 2,      // POP3 (TCP)
  kServiceMx = 3,        // MX resolver queries (UDP)
  kServiceControl = 4,   // control port (TCP)
  kServicePassword = 5,  // password changer (TCP)
  kServiceFinger = 6,    // finger daemon and remote finger notification (TCP)
  kServiceRmcp = 7,      // RMCP (UDP)
  kServiceImap = 8,      // IMAP (TCP)
};

// Node states.
enum NetNodeState : int32_t {
  kNodeConnectFailed = -1,  // outgoing connect failed
  kNodeListening = 2,       // listening socket or UDP socket
  kNodeConnecting = 3,      // outgoing connection being opened
  kNodeConnected = 4,       // accepted, or outgoing after the connect completed
};

// Close reasons passed to OnClose. The layer itself passes 1 (shutdown), 2 (the
// normal end of a node) and 5 (outgoing connect failed).
enum NetCloseReason : int {
  kCloseUnknown = 0,
  kCloseSystemTerminating = 1,
  kCloseUserRequested = 2,
  kCloseTimeout = 3,
  kCloseRemote = 4,
  kCloseRefused = 5,
};

// The text of a close reason ("System terminating.", ...); reason 0's text for a
// number out of range.
const char* NetCloseReasonText(int reason);

// Ring and buffer sizes, and the layer's timing. Every protocol uses 8192-byte rings.
inline constexpr uint32_t kNetRingSize = 8192;
inline constexpr uint32_t kNetRingSizeMax = 65535;  // ring indices are 16-bit
inline constexpr uint32_t kNetDatagramSize = 4096;
inline constexpr uint32_t kNetWatchdogMs = 5000;    // idle time-out check period
inline constexpr uint32_t kNetIdleRoundMs = 100;    // OnData at least this often
inline constexpr uint32_t kNetIdleRoundMaxMs = 6400;  // ... spaced out to this when idle
inline constexpr uint32_t kNetRetryRoundMs = 10;    // while unconsumed input waits
inline constexpr int kNetPoolMinThreads = 2;
inline constexpr int kNetPoolMaxThreads = 32;
inline constexpr uint32_t kNetPoolIdleExitMs = 10000;

// WinSock error numbers the layer and its callers act on (the rest come from
// WsaErrorFromErrno in platform/errors.h).
enum NetWsaError : int {
  kWsaEWouldBlock = 10035,
  kWsaENotSock = 10038,
  kWsaENoBufs = 10055,
  kWsaETimedOut = 10060,
  kWsaEConnRefused = 10061,
  kWsaNotInitialised = 10093,
  kWsaHostNotFound = 11001,  // host name lookups
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

// The text of WinSock error `wsaError`: string-table entry wsaError - 9000, else
// "WinSock Error #%d.".
std::string NetErrorText(int wsaError);
// The text of a failed bind() of `port` (errno `error`): NetErrorText, and for a
// port below 1024 refused to an ordinary user, what would allow it.
std::string NetBindErrorText(int error, int port);

// ---- Records -------------------------------------------------------------------

// One ring buffer. With read == write the empty flag tells empty from full.
struct NetRing {
  std::unique_ptr<char[]> buffer;
  uint32_t size = 0;
  uint16_t read = 0;
  uint16_t write = 0;
  bool empty = true;
  uint32_t queued = 0;  // bytes held
  uint64_t moved = 0;   // bytes ever taken (receive ring) or queued (send ring)
};

// A node's TLS state (server/net/net_tls.h); freed with the node.
struct NetTls;
struct NetTlsDeleter {
  void operator()(NetTls* tls) const;
};

struct NetNode {
  uint16_t number = 0;        // from a process-wide counter starting at 0
  uint32_t reserved = 0;      // given at creation, not interpreted
  int32_t ownerState = 0;     // the protocol's session state (guarded by the receive lock)
  void* owner = nullptr;      // the protocol's session record
  int socket = -1;
  std::atomic<int32_t> state{0};
  std::atomic<bool> writable{false};        // the last send found room
  std::atomic<bool> closeRequested{false};  // graceful close pending
  bool listener = false;
  int closeDelay = 0;              // seconds a graceful close may wait for the send ring
  uint32_t closeRequestTick = 0;   // when the graceful close was asked for
  bool selfManaged = false;        // a UDP node: its receive task deletes it
  int stream = 1;                  // 1 TCP, 0 UDP
  std::atomic<bool> deleted{false};
  sockaddr_in remoteAddress{};     // for an outgoing connect
  std::unique_ptr<char[]> datagram;  // kNetDatagramSize bytes (UDP nodes only)
  NetRing receive;                 // the rings' buffers come with their first use and
  NetRing send;                    // go back when a quiet node's rings are empty
  std::atomic<bool> receivePending{false};  // the socket may hold unread input
  std::atomic<uint32_t> lastActivity{0};    // tick of the last successful receive or send
  std::atomic<uint16_t> idleTimeout{0};     // seconds, 0 = none
  uint32_t receiveSize = 0;
  uint32_t sendSize = 0;
  uint16_t service = 0;
  std::atomic<bool> inHandler{false};
  int listenSocket = -1;           // the socket accepted on, or its own when listening
  std::atomic<bool> reset{false};  // the peer reset or shut the connection down
  SyncLock receiveLock;            // guards the receive ring and ownerState
  SyncLock sendLock;               // guards the send ring
  // TLS between the socket and the rings once started; set and used under both
  // ring locks (net_tls.h).
  std::unique_ptr<NetTls, NetTlsDeleter> tls;
  NetNode* prev = nullptr;         // node list, under the list lock
  NetNode* next = nullptr;

  // The event loop's bookkeeping for this node (see net_internal.h).
  std::mutex control;              // guards the fields below; a leaf lock
  uint32_t pending = 0;            // work bits waiting for the node's task
  bool scheduled = false;          // the task is queued or running
  bool started = false;            // registered with the event loop
  bool ending = false;             // the close-request: end the node, delete it
  bool hardClose = false;
  bool sendFailed = false;         // a fatal send error: close without waiting
  bool idleExpired = false;        // ended by the watchdog
  bool acceptBackoff = false;      // a listener out of descriptors retries later
  bool finished = false;           // deleted; nothing runs any more
  int closeReason = kCloseUserRequested;
  int connectError = 0;            // outcome of a connect that ended at once
  std::atomic<bool> retryDue{false};      // unconsumed input: another round soon
  std::atomic<uint32_t> lastRoundTick{0};  // last OnData round
  uint32_t idleGap = kNetIdleRoundMs;      // until the next idle round (control lock)
  // receive.moved when NetReadLine last found only an incomplete line (receive lock).
  uint64_t incompleteAt = UINT64_MAX;
};

// ---- Callbacks -----------------------------------------------------------------

// OnAccept: a listener accepted `socket` from `peer`. True when the protocol created
// a node (state 4) for it with NetAddNode; the layer then starts serving it. False:
// the layer closes the socket.
using NetAcceptFn = bool (*)(uint16_t service, void* listenerOwner, int socket,
                             const sockaddr_in& peer);
// OnConnect: the outcome of NetConnect; wsaError 0 = connected. On failure the node
// is deleted with reason 5 right after.
using NetConnectFn = void (*)(NetNode* node, uint16_t service, int32_t ownerState, void* owner,
                              int wsaError);
// OnData: a handler round. True: call again at once if unread input is waiting.
using NetDataFn = bool (*)(NetNode* node, uint16_t service, int32_t* ownerState, void* owner,
                           int parameter);
// OnDatagram: one datagram received on a UDP node.
using NetDatagramFn = void (*)(NetNode* node, uint16_t service, const char* data, int length,
                               const sockaddr_in& sender);
// OnClose: the node is being deleted; the protocol frees its session record. Called
// only for a node with an owner record.
using NetCloseFn = void (*)(void* owner, uint16_t service, int32_t ownerState,
                            int32_t nodeState, int reason);

struct NetServiceCallbacks {
  NetAcceptFn OnAccept = nullptr;
  NetConnectFn OnConnect = nullptr;
  NetDataFn OnData = nullptr;
  NetDatagramFn OnDatagram = nullptr;
  NetCloseFn OnClose = nullptr;
};

// Registers the callbacks of a service (1..8; any other number means SMTP's slot).
// A missing callback is safe: no OnAccept refuses the connection, no OnData leaves
// input unread (the idle time-out ends the node), the others are skipped.
void NetRegisterService(uint16_t service, const NetServiceCallbacks& callbacks);

// ---- Start and end -------------------------------------------------------------

// Starts the layer: the node list, the event loop and the handler pool. False with
// `why` filled on failure; nothing is left running then. Calling it while started
// returns true.
bool NetStartup(std::string& why);
// Closes every node with reason 1 ("System terminating."), waits for their OnClose
// and stops the layer's threads. The layer may be started again afterwards.
void NetShutdown();

// ---- Nodes ---------------------------------------------------------------------

// Adds a node for `socket` (which it then owns and closes when the node ends).
// Valid states at creation: 1, 2, 3, 4; ring sizes 1..kNetRingSizeMax; stream 1 TCP,
// 0 UDP. False (nothing kept, the socket not closed) on a bad argument, a socket that
// already has a node, or when the layer is not started.
bool NetAddNode(int socket, int32_t state, uint16_t idleTimeoutSeconds, uint32_t reserved,
                int32_t ownerState, void* owner, uint32_t receiveSize, uint32_t sendSize,
                uint16_t service, int stream);
// Makes the node of `socket` a listener: no-delay off, listen(backlog), accepts
// handed to OnAccept. `error` gets the WinSock error of listen (0 if none). Returns
// whether the listener runs.
bool NetListen(int socket, int backlog, int& error);
// Starts receiving on the UDP node of `socket`; datagrams go to OnDatagram. `error`
// (may be null) gets the WinSock error. Returns whether the node is served.
bool NetStartDatagram(int socket, int* error = nullptr);
// Starts a non-blocking connect of the node of `socket` (state 3) to `address`. The
// outcome reaches OnConnect on a handler thread, never inside this call. Returns 0,
// or 10055 (no buffer space) when there is no such node or it cannot be started.
int NetConnect(int socket, const sockaddr_in& address);
// Sends one datagram from a UDP node. True when sendto sent more than 0 bytes.
bool NetSendDatagram(NetNode* node, const char* bytes, int length, const sockaddr_in& address);

// Closes a node. Graceful (hard false): bytes still queued are sent first; with
// `delaySeconds` > 0 the close waits at most that long for them, then turns hard.
// Hard: queued bytes are dropped and the socket is shut in both directions. The node
// is deleted (OnClose with reason 2) on its own task once the socket is closed.
// `closeSocket` false only shuts the socket down now; the layer still closes it when
// the node ends. A node not in the table is ignored.
void NetCloseNode(NetNode* node, bool hard, int delaySeconds, bool closeSocket);
// Closes the node of `socket` hard.
void NetCloseBySocket(int socket, bool closeSocket);

// The number of nodes that are not listeners.
int NetCountConnections();
// The number of nodes of any kind (tests check it returns to its start value).
int NetCountNodes();

// True when a TCP peer has closed: peeks one byte without blocking; 0 bytes or an
// error other than would-block marks the node deleted. Returns the deleted flag for
// non-listener nodes. Long-running handlers call it every 100 lines.
bool NetRemoteGone(NetNode* node);

// ---- Accessors by socket (each takes the list lock briefly) ---------------------

void* NetGetOwnerRecord(int socket);
// The owner state; 0 and *found false when there is no such node.
int32_t NetGetOwnerState(int socket, bool* found = nullptr);
// Sets the owner state; returns the old one (0 when there is no such node).
int32_t NetSetOwnerState(int socket, int32_t state);
// The node state; 0 when there is no such node.
int32_t NetGetNodeState(int socket);
// Sets the node state; returns the old one (0 when there is no such node).
int32_t NetSetNodeState(int socket, int32_t state);
// True while the node of `socket` is in the table and neither ending nor closing hard.
bool NetNodeExists(int socket);
// Sets a node's idle time-out (seconds, 0 = none) and restarts its idle clock.
void NetSetIdleTimeout(NetNode* node, uint16_t seconds);
// Asks for an OnData round of the node of `socket` on a handler thread, soon (from
// any thread, without waiting for it): a worker that handed the session new work
// wakes it this way. False when there is no such node.
bool NetSignalNode(int socket);
// Runs the node's OnData once on the caller's thread (under the receive lock).
// False when there is no such node or no handler.
bool NetRunHandlerNow(int socket);
// Waits up to the given time for the socket to become writable; the result is
// remembered in the writable flag and returned.
bool NetWaitWritable(int socket, long seconds, long microseconds);

// ---- Data ----------------------------------------------------------------------

// The next line without its line end into `buffer` (which holds max + 1 bytes; the
// line is terminated with a zero byte). A line ends at LF; every CR is dropped.
// Returns its length; -1 when no complete line is there yet (nothing consumed) or the
// node is gone; -2 when `max` bytes were taken without reaching the line end (the
// rest of the line stays for the next call; also when the ring is full without one).
int NetReadLine(NetNode* node, char* buffer, int max);
// Up to `max` bytes from the receive ring; 0 when empty; -1 when the node is gone.
int NetRead(NetNode* node, char* buffer, int max);
// Bytes waiting in the receive ring (0 for a node that is gone).
int NetBytesAvailable(NetNode* node);
// Free bytes in the send ring (0 for a node that is gone).
int NetSendSpace(NetNode* node);
// Queues all `length` bytes or none: false when the send ring has less free space
// (the caller keeps its bytes and tries again on a later round), true when queued,
// and true (nothing done) for a node that is gone. Outside the node's own round it
// sends what the socket takes at once; a fatal send error ends the node and still
// returns true.
bool _SendData(NetNode* node, const char* bytes, int length);
// Sends queued bytes while the socket takes them. `ok` false on a fatal send error.
void _WriteData(NetNode* node, bool& ok);

// ---- Host names and addresses --------------------------------------------------

// This machine's host name and the resolver's canonical name for it (the host name
// again when the resolver knows no other). False with `wsaError` set when the
// machine has no name.
bool NetLocalHostName(std::string& name, std::string& canonical, int& wsaError);
// Resolves a dotted address or a host name to its first IPv4 address. False with
// `wsaError` 11001 (not found), 11002 (try again), 11003 (no recovery) or 11004 (no
// address) on failure.
bool NetResolveHost(const std::string& host, in_addr& address, int& wsaError);
// The address a listener binds: `bindAddress` (dotted, a host name, or empty for
// any address) with `port`. False with `wsaError` when the name does not resolve.
bool NetListenAddress(const std::string& bindAddress, int port, sockaddr_in& out, int& wsaError);
// The dotted form of an address ("%u.%u.%u.%u").
std::string NetAddressText(const in_addr& address);
// The dotted address of a host name ("" when it does not resolve).
std::string NetHostAddressText(const std::string& host);
// Reverse lookup of a peer address (blocking). False with `wsaError` as for
// NetResolveHost; 11004 means the address has no name.
bool NetReverseLookup(const in_addr& address, std::string& name, int& wsaError);
