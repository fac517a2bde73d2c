// A node's task: everything that happens to one node runs here, one piece at a time
// on a pool thread, so a node's callbacks never overlap. It receives into the ring,
// runs OnData rounds, sends, accepts, completes connects, takes datagrams, closes the
// socket and finally deletes the node (OnClose) exactly once.
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/core/log.h"
#include "server/net/net_internal.h"

namespace {

// Limits per pass of a task, after which it goes to the back of the queue so one
// busy node cannot hold a thread forever.
constexpr int kPassesPerTask = 8;
constexpr int kRoundsPerPass = 16;
constexpr int kAcceptsPerPass = 64;
constexpr int kDatagramsPerPass = 64;
// Input discarded after a graceful shutdown, so the close does not reset the
// connection under the bytes just sent.
constexpr size_t kDiscardLimit = 65536;

// The fault guard of every callback and every task: a fault is reported through
// CriticalError with the thread's text and ends the work.
template <class F>
bool Guarded(const char* what, F&& work) {
  try {
    work();
    return true;
  } catch (...) {
    CriticalError(what);
    return false;
  }
}

void SetLingerOff(int socket) {
  linger off{};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &off, sizeof off);
}

// Deletes the node: OnClose, the socket closed, the node out of the table. Runs once.
void FinishNode(const NodeRef& ref) {
  NetNode* n = ref.get();
  int reason;
  {
    std::lock_guard<std::mutex> g(n->control);
    if (n->finished) return;
    n->finished = true;
    n->ending = true;
    reason = n->closeReason;
    if (n->started) UnregisterNodeSocket(n);
  }
  n->deleted = true;

  void* owner;
  int32_t ownerState;
  {
    SyncLockHold r(n->receiveLock);
    owner = n->owner;
    n->owner = nullptr;
    ownerState = n->ownerState;
  }
  if (owner) {
    NetServiceCallbacks cb = ServiceCallbacks(n->service);
    if (cb.OnClose)
      Guarded("Closing bad handle",
              [&] { cb.OnClose(owner, n->service, ownerState, n->state, reason); });
  }

  NetTable& t = Table();
  {
    // Out of the socket index before the descriptor is closed: its number may be
    // handed to a new node at once.
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.bySocket.find(n->socket);
    if (it != t.bySocket.end() && it->second == n) t.bySocket.erase(it);
  }
  {
    // Both ring locks: no reader, writer or waiter is using the socket.
    SyncLockHold r(n->receiveLock);
    SyncLockHold s(n->sendLock);
    if (n->socket >= 0) {
      if (n->stream && !n->listener) SetLingerOff(n->socket);
      close(n->socket);
      n->socket = -1;
    }
  }
  {
    std::lock_guard<std::mutex> g(t.lock);
    if (n->prev) n->prev->next = n->next;
    else t.head = n->next;
    if (n->next) n->next->prev = n->prev;
    else t.tail = n->prev;
    n->prev = n->next = nullptr;
    --t.count;
    t.live.erase(n);
  }
  t.emptied.notify_all();
}

void FailConnect(const NodeRef& ref, int wsaError) {
  NetNode* n = ref.get();
  n->state = kNodeConnectFailed;
  NetServiceCallbacks cb = ServiceCallbacks(n->service);
  if (cb.OnConnect) {
    SyncLockHold r(n->receiveLock);
    Guarded("Error in connect thread",
            [&] { cb.OnConnect(n, n->service, n->ownerState, n->owner, wsaError); });
  }
  {
    std::lock_guard<std::mutex> g(n->control);
    if (n->closeReason != kCloseSystemTerminating) n->closeReason = kCloseRefused;
  }
  FinishNode(ref);
}

// Returns true when the node is connected now (its first round is due).
bool CompleteConnect(const NodeRef& ref, uint32_t work) {
  NetNode* n = ref.get();
  int immediate = 0;
  {
    std::lock_guard<std::mutex> g(n->control);
    immediate = n->connectError;
  }
  if (work & kWorkConnect) {
    if (immediate != 0) {
      FailConnect(ref, immediate);
      return false;
    }
  } else {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(n->socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      FailConnect(ref, WsaErrorFromErrno(err));
      return false;
    }
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    if (getpeername(n->socket, reinterpret_cast<sockaddr*>(&peer), &plen) != 0)
      return false;  // still in progress: a later event finishes it
  }
  int32_t expected = kNodeConnecting;
  n->state.compare_exchange_strong(expected, kNodeConnected);
  n->lastActivity = GetTickCount32();
  NetServiceCallbacks cb = ServiceCallbacks(n->service);
  if (cb.OnConnect) {
    SyncLockHold r(n->receiveLock);
    Guarded("Error in connect thread",
            [&] { cb.OnConnect(n, n->service, n->ownerState, n->owner, 0); });
  }
  return true;
}

// Moves what the socket holds into the receive ring. True when bytes arrived.
// Without `toTheEnd` a read that returns less than it asked for ends the pass:
// the socket is empty then, and whatever comes later (a close included) raises
// an event of its own. With it (the peer closed, or the ring was full) reading
// goes on until the socket says it would block.
bool ReceiveIntoRing(NetNode* n, bool toTheEnd) {
  SyncLockHold h(n->receiveLock);
  if (n->socket < 0) return false;
  // Between a STARTTLS reply and the handshake nothing is read: what arrives then
  // belongs to the handshake.
  if (n->tls && !TlsActive(n)) return false;
  NetRing& r = n->receive;
  bool got = false;
  if (!EnsureRingBuffer(r)) {
    // Out of memory: the connection cannot be served.
    std::lock_guard<std::mutex> g(n->control);
    n->hardClose = true;
    n->receivePending = false;
    return false;
  }
  for (;;) {
    uint32_t piece = RingWritablePiece(r);
    if (piece == 0) {
      n->receivePending = true;  // the ring is full; read on once it has room
      break;
    }
    ssize_t k;
    if (TlsActive(n)) {
      int t = TlsReceive(n, r.buffer.get() + r.write, piece);
      if (t == -1) {
        n->receivePending = false;
        break;
      }
      if (t == -2) {
        n->reset = true;
        n->closeRequested = true;
        n->receivePending = false;
        break;
      }
      k = t;
    } else {
      k = recv(n->socket, r.buffer.get() + r.write, piece, MSG_DONTWAIT);
    }
    if (k > 0) {
      RingCommit(r, uint32_t(k));
      got = true;
      n->lastActivity = GetTickCount32();
      // A short read drained the socket; not so under TLS, where one read gives
      // one record and the next may already wait in the socket or the engine.
      if (uint32_t(k) < piece && !toTheEnd && !TlsActive(n)) {
        n->receivePending = false;
        break;
      }
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    n->receivePending = false;
    if (k == 0) {
      n->closeRequested = true;  // the peer closed its sending side
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      n->reset = true;  // reset, or the connection is otherwise broken
      n->closeRequested = true;
    }
    break;
  }
  return got;
}

// Sends queued bytes. True when some left the ring.
bool FlushSend(NetNode* n) {
  uint32_t before;
  bool ok = true;
  {
    SyncLockHold s(n->sendLock);
    before = n->send.queued;
    if (before == 0) return false;
    _WriteData(n, ok);
    if (ok) return n->send.queued < before;
  }
  std::lock_guard<std::mutex> g(n->control);
  n->hardClose = true;
  n->sendFailed = true;
  return false;
}

struct RoundResult {
  bool queued = false;     // the handler queued output
  bool consumed = false;   // the handler took input
  bool inputLeft = false;  // unread input stays that the handler may want again
};

RoundResult RunRound(const NodeRef& ref) {
  NetNode* n = ref.get();
  RoundResult result;
  NetServiceCallbacks cb = ServiceCallbacks(n->service);
  SyncLockHold h(n->receiveLock);
  n->lastRoundTick = GetTickCount32();
  {
    std::lock_guard<std::mutex> g(n->control);
    if (n->ending || n->hardClose || n->finished) return result;
  }
  if (!cb.OnData) {
    result.inputLeft = n->receive.queued > 0;
    return result;
  }
  uint64_t queuedBefore;
  {
    SyncLockHold s(n->sendLock);
    queuedBefore = n->send.moved;
  }
  uint64_t takenAtStart = n->receive.moved;
  const NodeRef* outer = tl_roundNode;
  tl_roundNode = &ref;
  n->inHandler = true;
  bool fault = false;
  for (;;) {
    uint64_t takenBefore = n->receive.moved;
    bool again = false;
    if (!Guarded("Error in data thread",
                 [&] { again = cb.OnData(n, n->service, &n->ownerState, n->owner, 0); })) {
      fault = true;
      break;
    }
    if (!again || n->receive.queued == 0 || n->receive.moved == takenBefore) break;
    std::lock_guard<std::mutex> g(n->control);
    if (n->ending || n->hardClose) break;
  }
  n->inHandler = false;
  tl_roundNode = outer;
  // The round's lines are in the log file before its replies leave.
  FlushLogBatch();
  {
    SyncLockHold s(n->sendLock);
    result.queued = n->send.moved != queuedBefore;
  }
  result.consumed = n->receive.moved != takenAtStart;
  // Input the handler looked at and found to be an incomplete line waits for
  // the rest of the line, which comes as an event of its own.
  result.inputLeft = n->receive.queued > 0 && n->incompleteAt != n->receive.moved;
  if (fault) RequestNodeEnd(ref, kCloseUserRequested);
  return result;
}

// Drops what the peer still sends after our graceful shutdown.
void DiscardInput(int socket) {
  char scratch[4096];
  size_t total = 0;
  while (total < kDiscardLimit) {
    ssize_t k = recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
    if (k <= 0) break;
    total += size_t(k);
  }
}

// Finishes a requested close once it may: at once when hard, reset, failed or past
// its delay; otherwise when the send ring is empty and the last round queued nothing.
void CheckClose(const NodeRef& ref, bool queuedLast) {
  NetNode* n = ref.get();
  if (!n->closeRequested) {
    std::lock_guard<std::mutex> g(n->control);
    if (!n->hardClose) return;
  }
  uint32_t sendQueued;
  {
    SyncLockHold s(n->sendLock);
    sendQueued = n->send.queued;
  }
  bool hard, failed, delayExpired;
  {
    std::lock_guard<std::mutex> g(n->control);
    hard = n->hardClose;
    failed = n->sendFailed;
    delayExpired = n->closeDelay > 0 &&
                   TickElapsed(GetTickCount32(), n->closeRequestTick) >= uint32_t(n->closeDelay) * 1000u;
  }
  bool connection = n->stream && !n->listener && n->state == kNodeConnected;
  if (connection) {
    bool ready = hard || failed || n->reset || delayExpired || (sendQueued == 0 && !queuedLast);
    if (!ready) return;
    if (hard || delayExpired || failed || n->reset) {
      shutdown(n->socket, SHUT_RDWR);
    } else {
      {
        SyncLockHold s(n->sendLock);
        TlsShutdown(n);
      }
      shutdown(n->socket, SHUT_WR);
      DiscardInput(n->socket);
    }
  }
  FinishNode(ref);
}

void AcceptConnections(const NodeRef& ref) {
  NetNode* n = ref.get();
  NetServiceCallbacks cb = ServiceCallbacks(n->service);
  void* listenerOwner;
  {
    SyncLockHold r(n->receiveLock);
    listenerOwner = n->owner;
  }
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(n->socket, reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (err == EINTR || err == ECONNABORTED || err == EPROTO || err == EPERM) continue;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
        // Out of descriptors: the housekeeping pass tries again shortly.
        LogEvent(0, kLogGeneralDebug, "Accept failed: %s", NetErrorText(WsaErrorFromErrno(err)).c_str());
        std::lock_guard<std::mutex> g(n->control);
        n->acceptBackoff = true;
      }
      return;  // EAGAIN: nothing more waiting; anything else: the listener is gone
    }
    bool taken = false;
    if (cb.OnAccept)
      Guarded("Error in listen thread.",
              [&] { taken = cb.OnAccept(n->service, listenerOwner, fd, peer); });
    NodeRef child = RefNodeBySocket(fd);
    if (!taken || !child) {
      if (child) RequestNodeEnd(child, kCloseUserRequested);  // it closes the socket
      else close(fd);
      continue;
    }
    child->listenSocket = n->socket;
    int err;
    if (!StartNode(child, err)) RequestNodeEnd(child, kCloseUserRequested);
  }
  ScheduleNode(ref, kWorkRead);  // more may be waiting; let other nodes go first
}

void ReceiveDatagrams(const NodeRef& ref) {
  NetNode* n = ref.get();
  NetServiceCallbacks cb = ServiceCallbacks(n->service);
  for (int i = 0; i < kDatagramsPerPass; ++i) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t k = recvfrom(n->socket, n->datagram.get(), kNetDatagramSize, MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &len);
    if (k < 0) {
      int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK) return;
      if (err == EBADF || err == ENOTSOCK || err == EINVAL) return;
      continue;  // a reported ICMP error and the like: the next datagram counts
    }
    // An empty datagram carries nothing and one larger than the buffer arrived cut;
    // neither is handed on, and neither ends the service.
    if (k == 0 || size_t(k) > kNetDatagramSize) continue;
    n->lastActivity = GetTickCount32();
    if (!cb.OnDatagram) continue;
    SyncLockHold r(n->receiveLock);
    Guarded("Error in handling of datagram packet.",
            [&] { cb.OnDatagram(n, n->service, n->datagram.get(), int(k), from); });
  }
  ScheduleNode(ref, kWorkRead);
}

// A connected TCP node: receive, rounds, send, close.
void ServeConnection(const NodeRef& ref, uint32_t work) {
  NetNode* n = ref.get();
  bool wantRound = work & kWorkRound;
  bool wantRead = work & kWorkRead;
  bool toTheEnd = work & kWorkHangup;
  bool queuedLast = false;
  bool inputLeft = false;
  bool active = false;  // bytes moved or the handler did something
  if (n->tls) {
    // A handshake moves in both directions whatever the event: a writable socket
    // may be what a read was waiting for, and the reverse.
    if (work & (kWorkWrite | kWorkRead | kWorkRound)) wantRead = true;
    if (!TlsHandshakeDone(n)) {
      if (TlsHandshakeOverdue(n, GetTickCount32())) {
        std::lock_guard<std::mutex> g(n->control);
        n->hardClose = true;
      } else if (work & (kWorkWrite | kWorkRead)) {
        FlushSend(n);  // output queued before the handshake ended drives it too
      }
    }
  }
  if ((work & kWorkWrite) && FlushSend(n)) wantRound = active = true;  // room for more output
  for (int i = 0; i < kRoundsPerPass; ++i) {
    bool got = false;
    if (wantRead || n->receivePending) got = ReceiveIntoRing(n, toTheEnd || n->receivePending);
    // A handshake that just finished releases output queued before it (an
    // implicit-TLS greeting).
    if (!got && n->tls) FlushSend(n);
    wantRead = false;
    if (!got && !wantRound) break;
    RoundResult r = RunRound(ref);
    // Bytes of an earlier round leaving now make room a handler may be waiting for.
    bool drained = FlushSend(n) && !r.queued;
    queuedLast = r.queued;
    inputLeft = r.inputLeft;
    active = active || got || r.queued || r.consumed || drained;
    wantRound = r.queued || drained;  // a handler that just spoke may have more to say
    std::lock_guard<std::mutex> g(n->control);
    if (active) n->idleGap = kNetIdleRoundMs;
    if (n->ending || n->hardClose) break;
  }
  // More to do at once: a handler that just spoke, or input still in the socket
  // with room for it now. A full ring the handler does not empty waits for the
  // retry round instead of spinning.
  bool roomForInput = false;
  if (n->receivePending) {
    SyncLockHold h(n->receiveLock);
    roomForInput = RingFree(n->receive) > 0;
  }
  if (wantRound || roomForInput) ScheduleNode(ref, (wantRound ? uint32_t(kWorkRound) : 0u) | kWorkRead);
  if (inputLeft) RequestRetryRound(n);
  if ((work & kWorkIdle) && !active) {
    // Quiet since its last round: the empty ring buffers go back to the heap.
    SyncLockHold h(n->receiveLock);
    SyncLockHold s(n->sendLock);
    ReleaseEmptyRing(n->receive);
    ReleaseEmptyRing(n->send);
  }
  CheckClose(ref, queuedLast);
}

void ProcessNode(const NodeRef& ref, uint32_t work) {
  NetNode* n = ref.get();
  bool ending, idleExpired;
  {
    std::lock_guard<std::mutex> g(n->control);
    ending = n->ending;
    idleExpired = n->idleExpired;
  }
  if (ending) {
    // The watchdog ending a connect that never completed is that connect's failure.
    if (idleExpired && n->state == kNodeConnecting) FailConnect(ref, kWsaETimedOut);
    else FinishNode(ref);
    return;
  }
  if (n->listener) {
    if (work & kWorkClose) {
      FinishNode(ref);
      return;
    }
    if (work & kWorkRead) {
      if (n->stream) AcceptConnections(ref);
      else ReceiveDatagrams(ref);
    }
    return;
  }
  if (n->state == kNodeConnecting) {
    if (work & kWorkClose) {
      CheckClose(ref, false);
      return;
    }
    if (!(work & (kWorkConnect | kWorkWrite | kWorkRead))) return;
    if (!CompleteConnect(ref, work)) return;
    work |= kWorkRound | kWorkRead;
  }
  ServeConnection(ref, work);
}

const char* TaskFaultText(const NetNode* n) {
  if (n->listener) return n->stream ? "Error in listen thread." : "Error in handling of datagram packet.";
  return "Error in control thread";
}

}  // namespace

void RunNodeTask(const NodeRef& ref) {
  NetNode* n = ref.get();
  LogBatch logLines;  // the task's log lines leave together
  for (int pass = 0;; ++pass) {
    uint32_t work;
    {
      std::lock_guard<std::mutex> g(n->control);
      if (n->finished) {
        n->scheduled = false;
        n->pending = 0;
        return;
      }
      work = n->pending;
      if (work == 0) {
        n->scheduled = false;
        return;
      }
      if (pass < kPassesPerTask) n->pending = 0;
    }
    if (pass == kPassesPerTask) {
      // Still scheduled, its work kept: back to the end of the queue.
      RequeueNode(ref);
      return;
    }
    if (!Guarded(TaskFaultText(n), [&] { ProcessNode(ref, work); })) {
      RequestNodeEnd(ref, kCloseUserRequested);
      Guarded("Error deleting control thread.", [&] { FinishNode(ref); });
    }
  }
}
