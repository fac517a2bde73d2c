#include "server/mx/mx_transport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "server/core/log.h"
#include "server/mx/dns_packet.h"

namespace {

// How long the thread sleeps in poll when nothing happens; a wake-up through the
// event descriptor cuts it short whenever a socket is opened or the thread stops.
constexpr int kPollWaitMs = 1000;

struct QuerySocket {
  UniqueFd fd;
  uint32_t sequence = 0;
};

struct Transport {
  std::mutex lock;  // guards `queries`, `stopping`; never held in a handler call
  std::map<int, QuerySocket> queries;  // by request handle
  bool stopping = false;
  UniqueFd wake;
  std::thread thread;
  MxDatagramHandler handler = nullptr;
  bool running = false;
};

Transport& TheTransport() {
  static Transport t;
  return t;
}

void Wake(Transport& t) {
  uint64_t one = 1;
  if (t.wake.valid()) {
    ssize_t n = write(t.wake.get(), &one, sizeof one);
    (void)n;
  }
}

void RunTransport(Transport& t) {
  std::vector<pollfd> fds;
  std::vector<int> handles;
  uint8_t buffer[kMaxDatagram];
  for (;;) {
    fds.clear();
    handles.clear();
    {
      std::lock_guard<std::mutex> g(t.lock);
      if (t.stopping) return;
      fds.push_back(pollfd{t.wake.get(), POLLIN, 0});
      handles.push_back(-1);
      for (auto& [handle, q] : t.queries) {
        fds.push_back(pollfd{q.fd.get(), POLLIN, 0});
        handles.push_back(handle);
      }
    }
    int ready = poll(fds.data(), fds.size(), kPollWaitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      LogEvent(0, kLogMxDebug, "MX-> poll failed: %d", WsaErrorFromErrno(errno));
      SleepMs(100);
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      ssize_t n = read(t.wake.get(), &count, sizeof count);
      (void)n;
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLERR))) continue;
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t n;
      uint32_t sequence;
      {
        // Read under the lock, and only when the socket still belongs to the same
        // request: it may have been closed and its number reused since poll.
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.queries.find(handles[i]);
        if (it == t.queries.end() || it->second.fd.get() != fds[i].fd) continue;
        sequence = it->second.sequence;
        n = recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                     reinterpret_cast<sockaddr*>(&from), &fromLength);
      }
      // Errors (an ICMP port-unreachable turned into ECONNREFUSED, for one) are not
      // answers; the request waits for a real one or its time-out.
      if (n < 0 || from.sin_family != AF_INET) continue;
      t.handler(handles[i], sequence, buffer, size_t(n), from);
    }
  }
}

}  // namespace

bool StartMxTransport(MxDatagramHandler handler, std::string& why) {
  Transport& t = TheTransport();
  if (t.running) return true;
  t.wake = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!t.wake.valid()) {
    why = FormatText("Unable to create the resolver's wake-up event (error %d).",
                     WsaErrorFromErrno(errno));
    return false;
  }
  t.handler = handler;
  t.stopping = false;
  t.thread = std::thread([&t] { RunTransport(t); });
  t.running = true;
  return true;
}

void StopMxTransport() {
  Transport& t = TheTransport();
  if (!t.running) return;
  {
    std::lock_guard<std::mutex> g(t.lock);
    t.stopping = true;
  }
  Wake(t);
  t.thread.join();
  std::lock_guard<std::mutex> g(t.lock);
  t.queries.clear();
  t.wake.reset();
  t.running = false;
}

bool SendMxQuery(int handle, uint32_t sequence, const sockaddr_in& server,
                 const uint8_t* packet, size_t length, std::string& why) {
  Transport& t = TheTransport();
  {
    std::lock_guard<std::mutex> g(t.lock);
    if (!t.running || t.stopping) {
      why = "the resolver is not running";
      return false;
    }
  }
  UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    why = FormatText("socket failed (%d)", WsaErrorFromErrno(errno));
    return false;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;  // the system picks the port
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    why = FormatText("bind failed (%d)", WsaErrorFromErrno(errno));
    return false;
  }
  ssize_t sent = sendto(fd.get(), packet, length, 0, reinterpret_cast<const sockaddr*>(&server),
                        sizeof server);
  if (sent <= 0) {
    why = FormatText("sendto failed (%d)", WsaErrorFromErrno(errno));
    return false;
  }
  {
    std::lock_guard<std::mutex> g(t.lock);
    QuerySocket& q = t.queries[handle];
    q.fd = std::move(fd);
    q.sequence = sequence;
  }
  Wake(t);
  return true;
}

void CloseMxQuery(int handle) {
  Transport& t = TheTransport();
  std::lock_guard<std::mutex> g(t.lock);
  t.queries.erase(handle);
}

uint16_t MxQueryPort(int handle) {
  Transport& t = TheTransport();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.queries.find(handle);
  if (it == t.queries.end()) return 0;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (getsockname(it->second.fd.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

int CountMxQueries() {
  Transport& t = TheTransport();
  std::lock_guard<std::mutex> g(t.lock);
  return int(t.queries.size());
}
