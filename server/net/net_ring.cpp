// The node rings and the data functions protocols call: lines and bytes out of the
// receive ring, bytes into the send ring and out to the socket.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/tick.h"
#include "server/net/net_internal.h"

thread_local const NodeRef* tl_roundNode = nullptr;

NodeRef DataRef(const NetNode* node) {
  if (!node) return {};
  if (tl_roundNode && tl_roundNode->get() == node) return *tl_roundNode;
  return RefNode(node);
}

// ---- Ring primitives -------------------------------------------------------------

void InitRing(NetRing& ring, uint32_t size) {
  ring.buffer.reset();
  ring.size = size;
  ring.read = ring.write = 0;
  ring.empty = true;
  ring.queued = 0;
  ring.moved = 0;
}

bool EnsureRingBuffer(NetRing& ring) {
  if (!ring.buffer) ring.buffer.reset(new (std::nothrow) char[ring.size]);
  return bool(ring.buffer);
}

void ReleaseEmptyRing(NetRing& ring) {
  if (ring.queued != 0) return;
  ring.buffer.reset();
  ring.read = ring.write = 0;
}

uint32_t RingFree(const NetRing& ring) { return ring.size - ring.queued; }

uint32_t RingWritablePiece(const NetRing& ring) {
  if (ring.queued == ring.size) return 0;
  if (ring.write >= ring.read) return ring.size - ring.write;
  return uint32_t(ring.read - ring.write);
}

uint32_t RingReadablePiece(const NetRing& ring) {
  if (ring.queued == 0) return 0;
  if (ring.read < ring.write) return uint32_t(ring.write - ring.read);
  return ring.size - ring.read;
}

void RingCommit(NetRing& ring, uint32_t length) {
  ring.write = uint16_t((uint32_t(ring.write) + length) % ring.size);
  ring.queued += length;
  ring.empty = ring.queued == 0;
}

void RingPut(NetRing& ring, const char* bytes, uint32_t length) {
  while (length > 0) {
    uint32_t piece = std::min(length, RingWritablePiece(ring));
    memcpy(ring.buffer.get() + ring.write, bytes, piece);
    RingCommit(ring, piece);
    bytes += piece;
    length -= piece;
  }
}

void RingSkip(NetRing& ring, uint32_t length) {
  length = std::min(length, ring.queued);
  ring.read = uint16_t((uint32_t(ring.read) + length) % ring.size);
  ring.queued -= length;
  ring.empty = ring.queued == 0;
}

uint32_t RingTake(NetRing& ring, char* out, uint32_t max) {
  uint32_t taken = 0;
  while (taken < max) {
    uint32_t piece = std::min(max - taken, RingReadablePiece(ring));
    if (piece == 0) break;
    memcpy(out + taken, ring.buffer.get() + ring.read, piece);
    RingSkip(ring, piece);
    taken += piece;
  }
  ring.moved += taken;
  return taken;
}

// ---- Reading ---------------------------------------------------------------------

int NetReadLine(NetNode* node, char* buffer, int max) {
  if (!buffer || max < 0) return -1;
  NodeRef ref = DataRef(node);
  if (!ref || node->deleted) return -1;
  SyncLockHold hold(node->receiveLock);
  NetRing& r = node->receive;
  if (r.queued == 0) return -1;

  const char* base = r.buffer.get();
  auto at = [&](uint32_t i) { return base[(uint32_t(r.read) + i) % r.size]; };

  // Where the line ends, if it is complete: the two pieces around the wrap point.
  uint32_t first = std::min(r.queued, r.size - r.read);
  uint32_t lineEnd = r.queued;  // offset of the LF; r.queued = none yet
  if (const void* lf = memchr(base + r.read, '\n', first)) {
    lineEnd = uint32_t(static_cast<const char*>(lf) - (base + r.read));
  } else if (r.queued > first) {
    if (const void* lf2 = memchr(base, '\n', r.queued - first))
      lineEnd = first + uint32_t(static_cast<const char*>(lf2) - base);
  }
  bool complete = lineEnd < r.queued;

  // Copy the line's bytes without CRs; stop at `max` when another byte would follow.
  uint32_t out = 0;
  uint32_t i = 0;
  for (; i < lineEnd; ++i) {
    char c = at(i);
    if (c == '\r') continue;
    if (out == uint32_t(max)) break;
    buffer[out++] = c;
  }
  if (complete && i == lineEnd) {
    RingSkip(r, lineEnd + 1);
    r.moved += lineEnd + 1;
    buffer[out] = '\0';
    return int(out);
  }
  // No line end within reach. More than `max` bytes taken: a piece. A full ring
  // without a line end can never complete, so it is handed over in pieces too.
  if (i < lineEnd || r.queued == r.size) {
    RingSkip(r, i);
    r.moved += i;
    buffer[out] = '\0';
    return -2;
  }
  node->incompleteAt = r.moved;  // its end will come as input: no retry round needed
  return -1;
}

int NetRead(NetNode* node, char* buffer, int max) {
  if (!buffer || max < 0) return -1;
  NodeRef ref = DataRef(node);
  if (!ref || node->deleted) return -1;
  SyncLockHold hold(node->receiveLock);
  return int(RingTake(node->receive, buffer, uint32_t(max)));
}

int NetBytesAvailable(NetNode* node) {
  NodeRef ref = DataRef(node);
  if (!ref) return 0;
  SyncLockHold hold(node->receiveLock);
  return int(node->receive.queued);
}

int NetSendSpace(NetNode* node) {
  NodeRef ref = DataRef(node);
  if (!ref) return 0;
  SyncLockHold hold(node->sendLock);
  return int(RingFree(node->send));
}

// ---- Sending ---------------------------------------------------------------------

void _WriteData(NetNode* node, bool& ok) {
  SyncLockHold hold(node->sendLock);
  NetRing& s = node->send;
  if (node->socket < 0) return;
  bool sent = false;
  bool tls = TlsActive(node);
  while (s.queued > 0) {
    uint32_t piece = std::min(RingReadablePiece(s), kNetSendPiece);
    if (tls) {
      int k = TlsSend(node, s.buffer.get() + s.read, piece);
      if (k > 0) {
        RingSkip(s, uint32_t(k));
        sent = true;
        continue;
      }
      if (k == -1) node->writable = false;
      else ok = false;
      break;
    }
    ssize_t n = ::send(node->socket, s.buffer.get() + s.read, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      RingSkip(s, uint32_t(n));
      sent = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      node->writable = false;
    } else if (!(n < 0 && errno == ENOTSOCK)) {
      ok = false;  // the connection is broken
    }
    break;
  }
  if (sent) {
    node->writable = true;
    node->lastActivity = GetTickCount32();
  }
  // A STARTTLS reply has left in clear text: the handshake may begin.
  if (ok && s.queued == 0) TlsActivateIfDrained(node);
}

bool _SendData(NetNode* node, const char* bytes, int length) {
  NodeRef ref = DataRef(node);
  if (!ref || node->deleted) return true;
  if (length <= 0 || !bytes) return true;
  bool inRound = tl_roundNode && tl_roundNode->get() == node;
  bool ok = true;
  bool drained = false;
  {
    SyncLockHold hold(node->sendLock);
    if (node->socket < 0) return true;
    NetRing& s = node->send;
    // Within a round output waits for the round's end; when it does not fit, what
    // is waiting goes out first.
    if (RingFree(s) < uint32_t(length) && inRound) _WriteData(node, ok);
    if (ok && RingFree(s) < uint32_t(length)) return false;
    if (ok && !EnsureRingBuffer(s)) ok = false;  // out of memory: the node ends
    if (ok) {
      RingPut(s, bytes, uint32_t(length));
      s.moved += uint32_t(length);
      if (!inRound) _WriteData(node, ok);
    }
    drained = s.queued == 0;
  }
  if (!ok) {
    {
      std::lock_guard<std::mutex> g(node->control);
      node->hardClose = true;
      node->sendFailed = true;
    }
    ScheduleNode(ref, kWorkClose);
  } else if (drained && !inRound && node->closeRequested) {
    ScheduleNode(ref, kWorkClose);  // a pending graceful close was waiting for this
  }
  return true;
}
