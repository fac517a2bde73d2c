// Listening sockets and session helpers of the remote access services.
#include "server/remote/remote_common.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "server/core/log.h"

namespace {

// Listening nodes carry no traffic in their rings; datagrams have their own buffer.
constexpr uint32_t kListenerRingBytes = 512;

}  // namespace

int OpenRemoteSocket(const std::string& bindAddress, int port, bool stream,
                     const ListenerTexts& texts, std::string& why, int& boundPort) {
  boundPort = 0;
  int fd = ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = FormatText(texts.socketFailed, NetErrorText(WsaErrorFromErrno(errno)).c_str());
    return -1;
  }
  int off = 0, on = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_DEBUG, &off, sizeof off) == 0;
  if (stream)
    ok = ok && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
  if (!ok) {
    why = texts.attributesFailed;
    ::close(fd);
    return -1;
  }
  sockaddr_in addr{};
  int err = 0;
  if (!NetListenAddress(bindAddress, port, addr, err)) {
    why = std::string(texts.bindFailed) + NetErrorText(err);
    ::close(fd);
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    why = std::string(texts.bindFailed) + NetErrorText(WsaErrorFromErrno(errno));
    ::close(fd);
    return -1;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  boundPort = ntohs(bound.sin_port);
  return fd;
}

bool ServeRemoteSocket(int socket, bool stream, uint16_t service, int32_t ownerState, void* owner,
                       void (*freeOwner)(void*), int backlog, const ListenerTexts& texts,
                       std::string& why) {
  if (!owner) {
    why = texts.bufferFailed;
    ::close(socket);
    return false;
  }
  if (!NetAddNode(socket, kNodeListening, 0, 0, ownerState, owner, kListenerRingBytes,
                  kListenerRingBytes, service, stream ? 1 : 0)) {
    why = texts.nodeFailed;
    freeOwner(owner);
    ::close(socket);
    return false;
  }
  int err = 0;
  bool serving = stream ? NetListen(socket, backlog, err) : NetStartDatagram(socket, &err);
  if (!serving) {
    why = std::string(texts.listenFailed) + NetErrorText(err);
    NetCloseBySocket(socket, true);  // the node owns the socket and the record now
    return false;
  }
  return true;
}

void LogSessionClose(const char* prefix, uint32_t category, uint16_t id, bool& closing,
                     int32_t ownerState, int32_t nodeState, int32_t closedState) {
  if (nodeState != kNodeConnected) closing = true;
  if (nodeState == kNodeConnecting || nodeState == kNodeConnectFailed)
    LogEvent(0, category, "%s-%04x: Closed while opening.", prefix, id);
  else if (ownerState != closedState)
    LogEvent(0, category, "%s-%04x: Closed while in state %d.", prefix, id, int(ownerState));
  if (!closing) LogEvent(0, category, "%s-%04x: Unexpected close.", prefix, id);
}
