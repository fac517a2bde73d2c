// The SMTP client's interface to its owner: opening a connection and the calls
// on the shared link (state, hand-over of a request, QUIT, close).
#include "server/smtp/smtp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/smtp/smtp_session.h"

// The session's side (smtp_client_session.cpp).
void AttachClientSide(SmtpSession& s, std::shared_ptr<SmtpClientLink> link, bool dequeueOnly);

namespace {

// Texts of the string table used here.
enum : unsigned {
  kStrResolveError = 5016,
  kStrAttempting = 5017,
  kStrUnableConnect = 5018,
  kStrOpenError = 5019,
  kStrPending = 5020,
};

constexpr int kDefaultSmtpPort = 25;

std::string Text(unsigned id) {
  const char* t = LoadStringResource(id);
  return t ? t : "";
}

}  // namespace

int SmtpOutPort() {
  long p = ServerSettings().sysOptSmtpOut;
  return p > 0 && p <= 65535 ? int(p) : kDefaultSmtpPort;
}

std::shared_ptr<SmtpClientLink> SmtpConnect(const std::string& host,
                                            const std::string& displayName,
                                            const std::string& logPrefix, bool dequeueOnly,
                                            std::shared_ptr<SmtpRequest> request,
                                            void (*notify)(), std::string& errorText) {
  RegisterSmtpClient();
  const std::string& shown = displayName.empty() ? host : displayName;
  LogEventPrefixed(0, kLogAlways, logPrefix.c_str(), kStrAttempting, shown.c_str());
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  in_addr address{};
  int wsaError = 0;
  if (!NetResolveHost(name, address, wsaError)) {
    LogEventPrefixed(0, kLogAlways, logPrefix.c_str(), "Unable to resolve host name: %s",
                     name.c_str());
    errorText = FormatText(Text(kStrResolveError).c_str(), wsaError, name.c_str());
    LogEventPrefixed(0, kLogAlways, logPrefix.c_str(), "%s", errorText.c_str());
    return nullptr;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    errorText = FormatText(Text(kStrOpenError).c_str(), WsaErrorFromErrno(errno));
    LogEventPrefixed(0, kLogAlways, logPrefix.c_str(), "%s", errorText.c_str());
    return nullptr;
  }
  // Each command, and the message with its final dot, leaves in one go, but in
  // two sends when it wraps around the end of the send ring; under Nagle's rule
  // the second part would wait for the peer's delayed acknowledgement (40 ms),
  // and the peer answers nothing before the line is complete.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SmtpSession* s = CreateSmtpSession(fd, true, kNodeConnecting, 0, false, address, host);
  if (!s) {
    ::close(fd);
    errorText = FormatText(Text(kStrUnableConnect).c_str(), shown.c_str());
    LogEventPrefixed(0, kLogAlways, logPrefix.c_str(), "%s", errorText.c_str());
    return nullptr;
  }
  auto link = std::make_shared<SmtpClientLink>();
  link->socket = fd;
  link->sessionId = s->id;
  link->notify = notify;
  link->handed = std::move(request);
  // No callback runs before the connect below starts the node.
  AttachClientSide(*s, link, dequeueOnly);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(uint16_t(SmtpOutPort()));
  peer.sin_addr = address;
  if (NetConnect(fd, peer) != 0) {
    errorText = FormatText(Text(kStrUnableConnect).c_str(), shown.c_str());
    LogEventPrefixed(0, kLogAlways, logPrefix.c_str(), "%s", errorText.c_str());
    NetCloseBySocket(fd, true);  // the session goes with its node
    return nullptr;
  }
  LogEvent(0, kLogSmtpGeneral, kStrPending, link->sessionId, shown.c_str());
  return link;
}

SmtpClientState SmtpClientConnectionState(SmtpClientLink& link) {
  std::lock_guard<std::mutex> g(link.lock);
  if (link.gone || link.connectFailed) return SmtpClientState::kGone;
  return link.connected ? SmtpClientState::kOpen : SmtpClientState::kConnecting;
}

bool SmtpClientIsIdle(SmtpClientLink& link) {
  std::lock_guard<std::mutex> g(link.lock);
  return !link.gone && link.idle;
}

bool SmtpClientSend(SmtpClientLink& link, std::shared_ptr<SmtpRequest> request) {
  std::lock_guard<std::mutex> g(link.lock);
  if (link.gone || !link.idle || link.handed) return false;
  link.handed = std::move(request);
  link.idle = false;
  NetSignalNode(link.socket);
  return true;
}

void SmtpClientFinish(SmtpClientLink& link, bool politely) {
  std::lock_guard<std::mutex> g(link.lock);
  if (link.gone) return;
  if (politely && link.quitting) return;  // it is saying QUIT already
  if (politely && link.idle) {
    link.quitWanted = true;
    link.idle = false;
    NetSignalNode(link.socket);
    return;
  }
  // The socket still belongs to the session: it lets go of it (and sets `gone`
  // under this lock) before the network layer closes it.
  NetCloseBySocket(link.socket, true);
}

void SmtpClientClose(SmtpClientLink& link) { SmtpClientFinish(link, false); }
