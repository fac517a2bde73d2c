// The node table: adding nodes, finding them by socket, the accessors, closing, and
// the service dispatch table.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <iterator>

#include "platform/errors.h"
#include "platform/tick.h"
#include "server/core/strings.h"
#include "server/net/net_internal.h"

namespace {

// Close reason texts, by reason number.
constexpr const char* kCloseReasonTexts[] = {
    "Unknown disconnect reason.",
    "System terminating.",
    "User requested connection close.",
    "Timeout occured with connection",
    "Remote closing of connection.",
    "Connection refused by local node.",
};

// The dispatch table: one slot per service 1..7; slot 1 (SMTP) takes every other
// number.
constexpr int kServiceSlots = 9;
std::mutex gServiceLock;
NetServiceCallbacks gServices[kServiceSlots];

int ServiceSlot(uint16_t service) {
  return service >= kServiceSmtp && service <= kServiceImap ? int(service) : int(kServiceSmtp);
}

}  // namespace

const char* NetCloseReasonText(int reason) {
  if (reason < 0 || reason >= int(std::size(kCloseReasonTexts))) return kCloseReasonTexts[0];
  return kCloseReasonTexts[reason];
}

std::string NetErrorText(int wsaError) { return WinSockErrorText(wsaError); }

std::string NetBindErrorText(int error, int port) {
  std::string text = NetErrorText(WsaErrorFromErrno(error));
  if (error == EACCES && port > 0 && port < 1024)
    text += " Port " + std::to_string(port) +
            " needs root (with MailUser set) or the capability CAP_NET_BIND_SERVICE.";
  return text;
}

void NetRegisterService(uint16_t service, const NetServiceCallbacks& callbacks) {
  std::lock_guard<std::mutex> g(gServiceLock);
  gServices[ServiceSlot(service)] = callbacks;
}

NetServiceCallbacks ServiceCallbacks(uint16_t service) {
  std::lock_guard<std::mutex> g(gServiceLock);
  return gServices[ServiceSlot(service)];
}

NetTable& Table() {
  static NetTable table;
  return table;
}

NodeRef RefNode(const NetNode* node) {
  if (!node) return {};
  NetTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.live.find(node);
  if (it == t.live.end()) return {};
  return it->second;
}

NodeRef RefNodeBySocket(int socket) {
  NetTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.bySocket.find(socket);
  if (it == t.bySocket.end()) return {};
  return t.live[it->second];
}

// ---- Adding ----------------------------------------------------------------------

bool NetAddNode(int socket, int32_t state, uint16_t idleTimeoutSeconds, uint32_t reserved,
                int32_t ownerState, void* owner, uint32_t receiveSize, uint32_t sendSize,
                uint16_t service, int stream) {
  if (!NetRunning() || socket < 0) return false;
  if (state < 1 || state > kNodeConnected) return false;
  if (receiveSize == 0 || receiveSize > kNetRingSizeMax) return false;
  if (sendSize == 0 || sendSize > kNetRingSizeMax) return false;

  NodeRef node(new (std::nothrow) NetNode);
  if (!node) return false;
  // The datagram buffer only for UDP; the rings get their buffers when first used.
  if (!stream) {
    node->datagram.reset(new (std::nothrow) char[kNetDatagramSize]);
    if (!node->datagram) return false;
  }
  InitRing(node->receive, receiveSize);
  InitRing(node->send, sendSize);
  node->reserved = reserved;
  node->ownerState = ownerState;
  node->owner = owner;
  node->socket = socket;
  node->state = state;
  node->stream = stream ? 1 : 0;
  node->idleTimeout = idleTimeoutSeconds;
  node->receiveSize = receiveSize;
  node->sendSize = sendSize;
  node->service = service;
  node->listenSocket = -1;
  node->lastActivity = GetTickCount32();
  node->lastRoundTick = GetTickCount32();

  NetTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  if (t.bySocket.count(socket)) return false;
  node->number = t.nextNumber++;
  node->prev = t.tail;
  if (t.tail) t.tail->next = node.get();
  else t.head = node.get();
  t.tail = node.get();
  ++t.count;
  t.bySocket[socket] = node.get();
  t.live[node.get()] = node;
  return true;
}

// ---- Counting and accessors ----------------------------------------------------

int NetCountConnections() {
  NetTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  int n = 0;
  for (NetNode* p = t.head; p; p = p->next)
    if (!p->listener) ++n;
  return n;
}

int NetCountNodes() {
  NetTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  return t.count;
}

void* NetGetOwnerRecord(int socket) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) return nullptr;
  SyncLockHold hold(n->receiveLock);
  return n->owner;
}

int32_t NetGetOwnerState(int socket, bool* found) {
  NodeRef n = RefNodeBySocket(socket);
  if (found) *found = bool(n);
  if (!n) return 0;
  SyncLockHold hold(n->receiveLock);
  return n->ownerState;
}

int32_t NetSetOwnerState(int socket, int32_t state) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) return 0;
  SyncLockHold hold(n->receiveLock);
  int32_t old = n->ownerState;
  n->ownerState = state;
  return old;
}

int32_t NetGetNodeState(int socket) {
  NodeRef n = RefNodeBySocket(socket);
  return n ? n->state.load() : 0;
}

int32_t NetSetNodeState(int socket, int32_t state) {
  NodeRef n = RefNodeBySocket(socket);
  return n ? n->state.exchange(state) : 0;
}

bool NetNodeExists(int socket) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) return false;
  std::lock_guard<std::mutex> g(n->control);
  return !n->ending && !n->finished && !n->hardClose;
}

void NetSetIdleTimeout(NetNode* node, uint16_t seconds) {
  NodeRef n = DataRef(node);
  if (!n) return;
  n->idleTimeout = seconds;
  n->lastActivity = GetTickCount32();
}

bool NetSignalNode(int socket) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) return false;
  ScheduleNode(n, kWorkRound);
  return true;
}

bool NetRunHandlerNow(int socket) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) return false;
  NetServiceCallbacks cb = ServiceCallbacks(n->service);
  if (!cb.OnData) return false;
  SyncLockHold hold(n->receiveLock);
  if (n->deleted) return false;
  bool outer = !n->inHandler.exchange(true);
  cb.OnData(n.get(), n->service, &n->ownerState, n->owner, 0);
  if (outer) n->inHandler = false;
  return true;
}

bool NetWaitWritable(int socket, long seconds, long microseconds) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) return false;
  // The receive lock keeps the socket open while we wait (the node's task closes it
  // only with both ring locks held).
  SyncLockHold hold(n->receiveLock);
  if (n->socket < 0) return false;
  long ms = seconds * 1000 + microseconds / 1000;
  pollfd p{n->socket, POLLOUT, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, int(ms < 0 ? 0 : ms));
  } while (rc < 0 && errno == EINTR);
  bool writable = rc > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLNVAL));
  n->writable = writable;
  return writable;
}

bool NetRemoteGone(NetNode* node) {
  NodeRef n = DataRef(node);
  if (!n) return true;
  if (n->listener) return false;
  if (n->stream && !n->deleted) {
    SyncLockHold hold(n->receiveLock);
    if (n->socket >= 0) {
      char c;
      ssize_t r = ::recv(n->socket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        n->deleted = true;
        n->closeRequested = true;
      }
    }
  }
  if (n->deleted) ScheduleNode(n, kWorkClose);
  return n->deleted;
}

bool NetSendDatagram(NetNode* node, const char* bytes, int length, const sockaddr_in& address) {
  NodeRef n = DataRef(node);
  if (!n || !bytes || length < 0) return false;
  SyncLockHold hold(n->sendLock);
  if (n->socket < 0) return false;
  ssize_t r;
  do {
    r = ::sendto(n->socket, bytes, size_t(length), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// ---- Closing ---------------------------------------------------------------------

void NetCloseNode(NetNode* node, bool hard, int delaySeconds, bool closeSocket) {
  NodeRef n = DataRef(node);
  if (!n) return;
  (void)closeSocket;  // the socket is always closed by the node's own task
  {
    std::lock_guard<std::mutex> g(n->control);
    if (n->finished || n->ending) return;
    if (hard) {
      n->hardClose = true;
    } else if (!n->closeRequested) {
      n->closeDelay = delaySeconds < 0 ? 0 : delaySeconds;
      n->closeRequestTick = GetTickCount32();
    }
    n->closeRequested = true;
  }
  ScheduleNode(n, kWorkClose);
}

void NetCloseBySocket(int socket, bool closeSocket) {
  NodeRef n = RefNodeBySocket(socket);
  if (n) NetCloseNode(n.get(), true, 0, closeSocket);
}
