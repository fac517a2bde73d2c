// A line echo protocol for the network layer's tests and benchmark: every line comes
// back with CR LF; "QUIT" is answered "BYE" and closed gracefully. A line the send
// ring cannot take is kept and sent on a later round, as real protocols do.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "server/net/net.h"

struct EchoSession {
  std::string pending;           // a reply the send ring had no room for
  std::atomic<int> active{0};    // handlers running on this session right now
  std::atomic<bool>* overlapSeen = nullptr;
};

struct EchoStats {
  std::atomic<int> accepted{0};
  std::atomic<int> closed{0};
  std::atomic<int> lastReason{-1};
  std::atomic<bool> overlap{false};  // two handlers of one node ran at once
};

inline EchoStats& EchoCounters() {
  static EchoStats stats;
  return stats;
}

inline uint16_t& EchoIdleSeconds() {
  static uint16_t seconds = 300;
  return seconds;
}

inline bool EchoAccept(uint16_t service, void*, int socket, const sockaddr_in&) {
  auto* s = new EchoSession;
  s->overlapSeen = &EchoCounters().overlap;
  if (!NetAddNode(socket, kNodeConnected, EchoIdleSeconds(), 0, 1, s, kNetRingSize, kNetRingSize,
                  service, 1)) {
    delete s;
    return false;
  }
  ++EchoCounters().accepted;
  return true;
}

inline bool EchoData(NetNode* node, uint16_t, int32_t*, void* owner, int) {
  auto* s = static_cast<EchoSession*>(owner);
  if (!s) return false;
  if (s->active.fetch_add(1) != 0) *s->overlapSeen = true;
  bool more = false;
  char line[2048];
  for (;;) {
    if (!s->pending.empty()) {
      if (!_SendData(node, s->pending.data(), int(s->pending.size()))) break;
      s->pending.clear();
    }
    int n = NetReadLine(node, line, 2047);
    if (n == -1) break;
    if (n >= 0 && strcmp(line, "QUIT") == 0) {
      _SendData(node, "BYE\r\n", 5);
      NetCloseNode(node, false, 0, true);
      break;
    }
    s->pending.assign(line, n >= 0 ? size_t(n) : size_t(2047));
    if (n >= 0) s->pending += "\r\n";
    more = true;
  }
  s->active.fetch_sub(1);
  return more;
}

inline void EchoClose(void* owner, uint16_t, int32_t, int32_t, int reason) {
  delete static_cast<EchoSession*>(owner);
  EchoCounters().lastReason = reason;
  ++EchoCounters().closed;
}

inline void RegisterEchoService(uint16_t service) {
  NetServiceCallbacks cb;
  cb.OnAccept = EchoAccept;
  cb.OnData = EchoData;
  cb.OnClose = EchoClose;
  NetRegisterService(service, cb);
}

// Opens a listener for `service` on 127.0.0.1 with a free port. Returns the port, 0
// on failure. `owner` becomes the listener's owner record.
inline uint16_t OpenLoopbackListener(uint16_t service, void* owner = nullptr, int backlog = 512) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      !NetAddNode(fd, kNodeListening, 0, 0, 0, owner, kNetRingSize, kNetRingSize, service, 1)) {
    close(fd);
    return 0;
  }
  int err = 0;
  if (!NetListen(fd, backlog, err)) {
    NetCloseBySocket(fd, true);
    return 0;
  }
  return ntohs(a.sin_port);
}

// A blocking client socket connected to 127.0.0.1:port (-1 on failure), with a
// receive time-out so a broken test fails instead of hanging.
inline int ConnectLoopback(uint16_t port, int receiveTimeoutMs = 10000) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{receiveTimeoutMs / 1000, (receiveTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
