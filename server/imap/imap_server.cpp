// The IMAP listener, accepting connections, the close handler, start-up, the
// per-user session count and the IDLE wake-ups.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/errors.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/imap/imap.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"

namespace {

// Texts of the string table used here (shared with the POP3 listener).
enum : unsigned {
  kStrSocketFailed = 5158,
  kStrAttributesFailed = 5159,
  kStrBindFailed = 5162,
  kStrBufferFailed = 5163,
  kStrNodeFailed = 5164,
  kStrListenFailed = 5165,
};

std::atomic<uint16_t> gNextSessionId{0};
std::once_flag gRegistered;

std::mutex gCountsLock;
std::map<std::string, int> gLogins;  // "" counts every open session

struct Idler {
  std::string path;
  ImapSession* session = nullptr;
};
std::mutex gIdlersLock;
std::map<int, Idler> gIdlers;  // by socket

std::string Text(unsigned id) {
  const char* t = LoadStringResource(id);
  return t ? t : "";
}

void RegisterImapService() {
  std::call_once(gRegistered, [] {
    NetServiceCallbacks cb;
    cb.OnAccept = ImapAccept;
    cb.OnData = ImapOnData;
    cb.OnClose = ImapOnClose;
    NetRegisterService(kServiceImap, cb);
    RouterHandlers().mailboxAppended = WakeImapIdlers;
  });
}

}  // namespace

int CountImapLogins(const std::string& account, int delta) {
  std::lock_guard<std::mutex> guard(gCountsLock);
  int& n = gLogins[account];
  n += delta;
  int value = n;
  if (n <= 0 && !account.empty()) gLogins.erase(account);
  return value;
}

void SetImapIdling(int socket, const std::string& path) {
  std::lock_guard<std::mutex> guard(gIdlersLock);
  if (path.empty()) {
    gIdlers.erase(socket);
    return;
  }
  auto* s = static_cast<ImapSession*>(NetGetOwnerRecord(socket));
  if (s) gIdlers[socket] = Idler{path, s};
}

void WakeImapIdlers(const std::string& path) {
  std::lock_guard<std::mutex> guard(gIdlersLock);
  for (auto& [socket, idler] : gIdlers) {
    if (idler.path != path) continue;
    idler.session->woken.store(true);
    NetSignalNode(socket);
  }
}

bool ImapInit(std::string& why) {
  why.clear();
  RegisterImapService();
  return true;
}

bool ImapAccept(uint16_t, void* listenerOwner, int socket, const sockaddr_in& peer) {
  auto* s = new (std::nothrow) ImapSession();
  if (!s) return false;
  s->socket = socket;
  s->peer = peer.sin_addr;
  s->id = gNextSessionId.fetch_add(1);
  if (listenerOwner) s->implicitTls = static_cast<ImapSession*>(listenerOwner)->implicitTls;
  int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!NetAddNode(socket, kNodeConnected, kImap.idleTimeoutSeconds, 0, kImapGreet, s,
                  kImap.ringBytes, kImap.ringBytes, kServiceImap, 1)) {
    delete s;
    LogEvent(0, kLogPop3, "IM: Cannot accept from %s", NetAddressText(peer.sin_addr).c_str());
    return false;
  }
  std::string why;
  if (s->implicitTls && !NetStartTlsOnSocket(socket, true, why)) {
    LogEvent(0, kLogPop3, "IM-%04x: Unable to start TLS: %s", s->id, why.c_str());
    return false;  // the node owns the record now; the layer ends it
  }
  s->tlsOn = s->implicitTls;
  LogEvent(0, kLogPop3, "IM-%04x: Connection accepted from %s.", s->id,
           NetAddressText(peer.sin_addr).c_str());
  return true;
}

void ImapOnClose(void* owner, uint16_t, int32_t, int32_t, int) {
  auto* s = static_cast<ImapSession*>(owner);
  if (!s) return;
  if (!s->listener) {
    SetImapIdling(s->socket, "");
    DropAppendFile(*s);
    if (s->counted) CountImapLogins("", -1);
    if (!s->user.empty()) CountImapLogins(s->user, -1);
    LogEvent(0, kLogPop3, "IM-%04x: Session ended.", s->id);
  }
  delete s;
}

bool ImapListen(const std::string& bindAddress, int port, std::string& why, int* boundPort,
                bool implicitTls) {
  RegisterImapService();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = Text(kStrSocketFailed) + NetErrorText(WsaErrorFromErrno(errno));
    return false;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
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
  auto* listener = new (std::nothrow) ImapSession();
  if (!listener) {
    why = Text(kStrBufferFailed);
    ::close(fd);
    return false;
  }
  listener->socket = fd;
  listener->listener = true;
  listener->implicitTls = implicitTls;
  if (!NetAddNode(fd, kNodeListening, 0, 0, 0, listener, kImap.ringBytes, kImap.ringBytes,
                  kServiceImap, 1)) {
    why = Text(kStrNodeFailed);
    delete listener;
    ::close(fd);
    return false;
  }
  if (!NetListen(fd, kImap.listenBacklog, err)) {
    why = Text(kStrListenFailed) + NetErrorText(err);
    NetCloseBySocket(fd, true);
    return false;
  }
  if (boundPort) *boundPort = ntohs(bound.sin_port);
  return true;
}

bool ImapStartListener(std::string& why) {
  const Settings& st = ServerSettings();
  int port = 0;
  if (!ImapListen(st.bindAddress, ImapPort(st), why, &port)) {
    why = "IMAP port: " + why;
    LogEvent(0, kLogAlways, "%s", why.c_str());
    return false;
  }
  LogEvent(0, kLogAlways, "IMAP server started on port %u.", unsigned(port));
  if (st.useTls && st.useImaps) {
    if (!ImapListen(st.bindAddress, ImapsPort(st), why, &port, true)) {
      why = "IMAP over TLS port: " + why;
      LogEvent(0, kLogAlways, "%s", why.c_str());
      return false;
    }
    LogEvent(0, kLogAlways, "IMAP over TLS started on port %u.", unsigned(port));
  }
  return true;
}
