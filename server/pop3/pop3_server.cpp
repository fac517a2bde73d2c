// The POP3 listener, accepting connections, the close handler and start-up.
#include "server/pop3/pop3_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/errors.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"
#include "server/pop3/pop3_internal.h"

namespace {

// Texts of the string table used here.
enum : unsigned {
  kStrSocketFailed = 5158,
  kStrAttributesFailed = 5159,
  kStrBindFailed = 5162,
  kStrBufferFailed = 5163,
  kStrNodeFailed = 5164,
  kStrListenFailed = 5165,
  kStrTerminatedOpening = 5166,
  kStrTerminatedInState = 5168,
  kStrTerminatedUnexpectedly = 5169,
  kStrSessionBufferFailed = 5170,
  kStrAccepted = 5222,
  kStrAddNodeFailed = 5223,
};

std::atomic<int> gOpenSessions{0};
std::atomic<uint16_t> gNextSessionId{0};
std::atomic<int> gListenerPort{0};
std::once_flag gRegistered;

std::string Text(unsigned id) {
  const char* t = LoadStringResource(id);
  return t ? t : "";
}

void RegisterPop3Service() {
  std::call_once(gRegistered, [] {
    NetServiceCallbacks cb;
    cb.OnAccept = Pop3Accept;
    cb.OnData = Pop3OnData;
    cb.OnClose = Pop3OnClose;
    NetRegisterService(kServicePop3, cb);
  });
}

// A session record with its line buffer; null when memory is short.
Pop3Session* NewSession(int socket, bool listener) {
  auto* s = new (std::nothrow) Pop3Session();
  if (!s) return nullptr;
  s->line.reset(new (std::nothrow) char[kPop3.lineBytes]);
  if (!s->line) {
    delete s;
    return nullptr;
  }
  s->line[0] = '\0';
  s->socket = socket;
  s->listener = listener;
  s->id = gNextSessionId.fetch_add(1);
  return s;
}

}  // namespace

void AddOpenSession(int delta) { gOpenSessions.fetch_add(delta); }
int Pop3OpenSessions() { return gOpenSessions.load(); }
int Pop3ListenerPort() { return gListenerPort.load(); }

bool Pop3Init(std::string& why) {
  why.clear();
  gOpenSessions.store(0);
  RegisterPop3Service();
  return true;
}

bool Pop3Accept(uint16_t, void* listenerOwner, int socket, const sockaddr_in& peer) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
  Pop3Session* s = NewSession(socket, false);
  bool ok = s != nullptr;
  if (!ok) LogEvent(0, kLogPop3, kStrSessionBufferFailed);
  if (ok) {
    s->peer = peer.sin_addr;
    if (listenerOwner) s->implicitTls = static_cast<Pop3Session*>(listenerOwner)->implicitTls;
    // A round's output leaves in one go at the round's end, but in two sends
    // when it wraps around the end of the send ring; with Nagle's rule the
    // second part would wait for the client's delayed acknowledgement (40 ms
    // on every few messages). Nothing is gained by delaying here.
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ok = NetAddNode(socket, kNodeConnected, kPop3.idleTimeoutSeconds, 0, kPopGreet, s,
                    kPop3.ringBytes, kPop3.ringBytes, kServicePop3, 1);
    if (!ok) LogEvent(0, kLogPop3, kStrAddNodeFailed);
    // POP3 over TLS: in place before the node reads its first byte.
    std::string why;
    if (ok && s->implicitTls && !NetStartTlsOnSocket(socket, true, why)) {
      LogEvent(0, kLogPop3, "P3-%04x: Unable to start TLS: %s", s->id, why.c_str());
      return false;  // the node owns the record now; the layer ends it
    }
    s->tlsOn = ok && s->implicitTls;
  }
  if (!ok) {
    delete s;
    LogEvent(0, kLogPop3, "P3: Cannot accept from %d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return false;  // the network layer closes the socket
  }
  LogEvent(0, kLogPop3, kStrAccepted, s->id, b[0], b[1], b[2], b[3]);
  return true;
}

void Pop3OnClose(void* owner, uint16_t, int32_t ownerState, int32_t nodeState, int) {
  auto* s = static_cast<Pop3Session*>(owner);
  if (!s) return;
  if (s->listener) {
    gListenerPort.store(0);
    delete s;
    return;
  }
  if (nodeState != kNodeConnected) s->closing = true;
  if (!s->closing) {
    if (ownerState == kPopAuthorizationReply)
      LogEvent(0, kLogPop3, kStrTerminatedOpening, s->id);
    else if (ownerState != kPopPassReply && ownerState != kPopTransaction)
      LogEvent(0, kLogPop3, kStrTerminatedInState, s->id, int(ownerState));
    LogEvent(0, kLogPop3, kStrTerminatedUnexpectedly, s->id);
  }
  // Without QUIT nothing is committed: deletions are discarded.
  CloseMaildrop(*s);
  if (s->counted) AddOpenSession(-1);
  delete s;
}

bool Pop3Listen(const std::string& bindAddress, int port, std::string& why, int* boundPort,
                bool implicitTls) {
  RegisterPop3Service();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = Text(kStrSocketFailed) + NetErrorText(WsaErrorFromErrno(errno));
    return false;
  }
  int off = 0, on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_DEBUG, &off, sizeof off) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    why = Text(kStrAttributesFailed);
    ::close(fd);
    return false;
  }
  sockaddr_in addr{};
  int err = 0;
  if (!NetListenAddress(bindAddress, port, addr, err)) {
    why = Text(kStrBindFailed) + NetErrorText(err);
    ::close(fd);
    return false;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    why = Text(kStrBindFailed) + NetBindErrorText(errno, ntohs(addr.sin_port));
    ::close(fd);
    return false;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  Pop3Session* listener = NewSession(fd, true);
  if (!listener) {
    why = Text(kStrBufferFailed);
    ::close(fd);
    return false;
  }
  listener->implicitTls = implicitTls;
  if (!NetAddNode(fd, kNodeListening, 0, 0, 0, listener, kPop3.ringBytes, kPop3.ringBytes,
                  kServicePop3, 1)) {
    why = Text(kStrNodeFailed);
    delete listener;
    ::close(fd);
    return false;
  }
  if (!NetListen(fd, kPop3.listenBacklog, err)) {
    why = Text(kStrListenFailed) + NetErrorText(err);
    NetCloseBySocket(fd, true);  // the node owns the socket and the record now
    return false;
  }
  if (!implicitTls) gListenerPort.store(ntohs(bound.sin_port));
  if (boundPort) *boundPort = ntohs(bound.sin_port);
  return true;
}

bool Pop3StartListener(std::string& why) {
  const Settings& st = ServerSettings();
  int port = 0;
  if (!Pop3Listen(st.bindAddress, PopPort(st), why, &port)) {
    LogEvent(0, kLogAlways, "%s", why.c_str());
    return false;
  }
  LogEvent(0, kLogAlways, kStrPopStarted, unsigned(port));
  if (st.useTls && st.usePop3s) {
    if (!Pop3Listen(st.bindAddress, Pop3sPort(st), why, &port, true)) {
      why = "POP3 over TLS port: " + why;
      LogEvent(0, kLogAlways, "%s", why.c_str());
      return false;
    }
    LogEvent(0, kLogAlways, "POP3 over TLS started on port %u.", unsigned(port));
  }
  return true;
}
