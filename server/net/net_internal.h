// The network layer's insides, shared by its files: the node table, node references,
// the work bits of a node's task, the handler pool and the event loop's entry points.
// Nothing outside server/net includes this.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "server/net/net.h"
#include "server/net/net_tls.h"

// A node stays allocated while anything holds a reference; the table holds one from
// NetAddNode until the node is unlinked after its OnClose.
using NodeRef = std::shared_ptr<NetNode>;

// Work bits a node's task takes over from the event loop and from other threads.
enum NodeWork : uint32_t {
  kWorkRead = 1u << 0,     // the socket may be readable (or hung up)
  kWorkWrite = 1u << 1,    // the socket may be writable (or a connect completed)
  kWorkRound = 1u << 2,    // run an OnData round
  kWorkConnect = 1u << 3,  // a connect finished at once (connectError holds it)
  kWorkClose = 1u << 4,    // a close was asked for: shut down, check, finish
  kWorkIdle = 1u << 5,     // an idle round: a quiet node gives back its ring buffers
  kWorkHangup = 1u << 6,   // the peer closed or the socket failed: read to the end
};

// The node list and everything found through it. `lock` is the list lock: held only
// for lookups and list changes, never while calling out or taking a ring lock.
struct NetTable {
  std::mutex lock;
  std::condition_variable emptied;  // signalled whenever a node is unlinked
  NetNode* head = nullptr;
  NetNode* tail = nullptr;
  int count = 0;
  uint16_t nextNumber = 0;
  std::unordered_map<const NetNode*, NodeRef> live;
  std::unordered_map<int, NetNode*> bySocket;
};

NetTable& Table();

// A reference to a node still in the table and not finished; empty otherwise.
NodeRef RefNode(const NetNode* node);
NodeRef RefNodeBySocket(int socket);

// Whether the layer runs (between NetStartup and NetShutdown).
bool NetRunning();

// The callbacks registered for a service (SMTP's for unknown numbers).
NetServiceCallbacks ServiceCallbacks(uint16_t service);

// Adds work bits and queues the node's task unless it is queued or running already.
void ScheduleNode(const NodeRef& node, uint32_t work);
// Ends a node: its task finishes it (OnClose with `reason`) at the next chance.
// `idleExpired` marks the watchdog's end, which fails a connect still in progress.
void RequestNodeEnd(const NodeRef& node, int reason, bool idleExpired = false);
// Registers a node's socket with the event loop and queues its first work.
bool StartNode(const NodeRef& node, int& wsaError);

// The node whose OnData round runs on this thread (its output is sent when the
// round ends, so one round's lines leave in as few sends as possible).
extern thread_local const NodeRef* tl_roundNode;

// A reference for the data functions: the running round's node without a table
// lookup, else RefNode.
NodeRef DataRef(const NetNode* node);

// Ring primitives (callers hold the ring's lock).
uint32_t RingFree(const NetRing& ring);
// Ring buffers are allocated when first used and given back when a quiet node's
// idle round finds them empty, so thousands of idle connections hold none.
// False when the buffer cannot be had.
bool EnsureRingBuffer(NetRing& ring);
// Gives the buffer back when the ring is empty.
void ReleaseEmptyRing(NetRing& ring);
// Copies `length` bytes in (caller checked the space and the buffer).
void RingPut(NetRing& ring, const char* bytes, uint32_t length);
// Takes up to `max` bytes out.
uint32_t RingTake(NetRing& ring, char* out, uint32_t max);
// Drops `length` bytes from the read side.
void RingSkip(NetRing& ring, uint32_t length);
// The contiguous free piece at the write index / held piece at the read index.
uint32_t RingWritablePiece(const NetRing& ring);
uint32_t RingReadablePiece(const NetRing& ring);
// Records `length` bytes written at the write index by a receive.
void RingCommit(NetRing& ring, uint32_t length);
// Sets up an empty ring of `size` bytes (its buffer comes with the first use).
void InitRing(NetRing& ring, uint32_t size);

// Pieces of at most this many bytes per send call. 512 cost a third of the line
// throughput in the benchmark; a whole contiguous ring piece is sent at once.
inline constexpr uint32_t kNetSendPiece = 8192;

// Marks a node for a retry round within kNetRetryRoundMs.
void RequestRetryRound(NetNode* node);
// Puts a scheduled node's task back at the end of the queue (fairness).
void RequeueNode(const NodeRef& node);
// Removes a node's socket from the event loop (before it is closed).
void UnregisterNodeSocket(NetNode* node);

// ---- TLS (net_tls.cpp) -------------------------------------------------------------
// A node whose TLS is running (not waiting for clear-text output to leave first).
bool TlsActive(NetNode* node);
// Starts the handshake of a node that waited for its send ring to drain (send lock held).
void TlsActivateIfDrained(NetNode* node);
// Clear text out of / into the TLS connection: > 0 bytes, 0 the peer closed, -1 would
// block (a later socket event continues), -2 broken (a failed handshake is logged).
int TlsReceive(NetNode* node, char* buffer, uint32_t length);
int TlsSend(NetNode* node, const char* bytes, uint32_t length);
// True once when a handshake ran past kNetTlsHandshakeMs (logged).
bool TlsHandshakeOverdue(NetNode* node, uint32_t now);
// True when the node has no TLS or its handshake finished.
bool TlsHandshakeDone(NetNode* node);
// Sends close_notify on a graceful close.
void TlsShutdown(NetNode* node);
