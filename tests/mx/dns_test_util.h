// Helpers for the resolver tests: a builder for DNS answers (with or without
// name compression), a scripted fake name server on a loopback port, and polling.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/mx/dns_packet.h"
#include "server/mx/mx_resolver.h"

namespace mxtest {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
inline void PutU32(Bytes& b, uint32_t v) {
  PutU16(b, uint16_t(v >> 16));
  PutU16(b, uint16_t(v));
}

// Writes `name` as labels; when an earlier occurrence of the name (or of one of
// its suffixes) was written through this builder, a pointer to it instead.
struct AnswerBuilder {
  Bytes b;
  std::map<std::string, uint16_t> written;  // lower-case suffix -> offset
  bool compress = true;

  void Name(const std::string& name) {
    std::string rest = name;
    while (!rest.empty()) {
      auto it = written.find(DnsNameKey(rest));
      if (compress && it != written.end()) {
        PutU16(b, uint16_t(0xC000 | it->second));
        return;
      }
      if (b.size() < 0x3FFF) written.emplace(DnsNameKey(rest), uint16_t(b.size()));
      size_t dot = rest.find('.');
      std::string label = rest.substr(0, dot);
      b.push_back(uint8_t(label.size()));
      b.insert(b.end(), label.begin(), label.end());
      rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
    }
    b.push_back(0);
  }
};

struct Rr {
  std::string owner;
  uint16_t type;
  uint32_t ttl;
  std::string data;  // A: dotted address; CNAME: target; MX: "pref host"
};

// A whole answer packet.
inline Bytes BuildAnswer(uint16_t id, uint16_t flags, const std::string& qname, uint16_t qtype,
                         const std::vector<Rr>& answers,
                         const std::vector<Rr>& additionals = {}, bool compress = true,
                         const std::vector<Rr>& authorities = {}) {
  AnswerBuilder w;
  w.compress = compress;
  PutU16(w.b, id);
  PutU16(w.b, flags);
  PutU16(w.b, 1);
  PutU16(w.b, uint16_t(answers.size()));
  PutU16(w.b, uint16_t(authorities.size()));
  PutU16(w.b, uint16_t(additionals.size()));
  w.Name(qname);
  PutU16(w.b, qtype);
  PutU16(w.b, kDnsClassIn);
  auto put = [&](const Rr& rr) {
    w.Name(rr.owner);
    PutU16(w.b, rr.type);
    PutU16(w.b, kDnsClassIn);
    PutU32(w.b, rr.ttl);
    size_t lengthAt = w.b.size();
    PutU16(w.b, 0);
    if (rr.type == kDnsTypeA) {
      in_addr a{};
      inet_pton(AF_INET, rr.data.c_str(), &a);
      const uint8_t* p = reinterpret_cast<const uint8_t*>(&a);
      w.b.insert(w.b.end(), p, p + 4);
    } else if (rr.type == kDnsTypeMx) {
      size_t space = rr.data.find(' ');
      PutU16(w.b, uint16_t(std::stoi(rr.data.substr(0, space))));
      w.Name(rr.data.substr(space + 1));
    } else if (rr.type == kDnsTypeCname || rr.type == kDnsTypeNs) {
      w.Name(rr.data);
    } else {
      w.b.insert(w.b.end(), rr.data.begin(), rr.data.end());
    }
    uint16_t length = uint16_t(w.b.size() - lengthAt - 2);
    w.b[lengthAt] = uint8_t(length >> 8);
    w.b[lengthAt + 1] = uint8_t(length);
  };
  for (const Rr& rr : answers) put(rr);
  for (const Rr& rr : authorities) put(rr);
  for (const Rr& rr : additionals) put(rr);
  return w.b;
}

inline constexpr uint16_t kAnswerFlags = kDnsFlagResponse | kDnsFlagRecursionDesired | 0x0080;

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline int OpenUdp(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// One query as the fake server saw it.
struct SeenQuery {
  uint16_t id = 0;
  std::string name;
  uint16_t type = 0;
  sockaddr_in from{};
};

// What the fake server does with one query: the packets to send back, each from
// the server's own socket or from its second socket (a different port).
struct Reply {
  Bytes packet;
  bool fromOtherPort = false;
  sockaddr_in to{};     // zero: back to the query's sender
  bool explicitTo = false;
};
using Script = std::function<std::vector<Reply>(const SeenQuery&)>;

// A scripted name server on 127.0.0.1: each query is answered by the script.
struct FakeServer {
  int fd = -1;
  int other = -1;
  uint16_t port = 0;
  uint16_t otherPort = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex lock;
  std::vector<SeenQuery> seen;
  Script script;

  explicit FakeServer(Script s) : script(std::move(s)) {
    fd = OpenUdp(port);
    other = OpenUdp(otherPort);
    thread = std::thread([this] { Run(); });
  }
  ~FakeServer() {
    stop = true;
    thread.join();
    close(fd);
    close(other);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
  std::vector<SeenQuery> Seen() {
    std::lock_guard<std::mutex> g(lock);
    return seen;
  }
  void Run() {
    uint8_t buf[4096];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0) continue;
      DnsResponse q;
      ParseResponse(buf, size_t(n), q);
      SeenQuery s{q.header.id, q.questionName, q.questionType, from};
      {
        std::lock_guard<std::mutex> g(lock);
        seen.push_back(s);
      }
      for (const Reply& r : script(s)) {
        sockaddr_in to = r.explicitTo ? r.to : from;
        sendto(r.fromOtherPort ? other : fd, r.packet.data(), r.packet.size(), 0,
               reinterpret_cast<sockaddr*>(&to), sizeof to);
      }
    }
  }
};

// Polls a request until it is done or `ms` pass.
inline bool WaitDone(int handle, int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (nSmtpMx_QueryCompletion(handle)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

struct Fetched {
  int code = 0;
  int level = -1;
  std::string host;
  std::string addresses;
};

inline Fetched Fetch(int handle) {
  Fetched f;
  char host[128] = "";
  char addresses[600] = "";
  f.code = nSmtpMx_GetMxRequest(handle, f.level, host, sizeof host, addresses, sizeof addresses);
  f.host = host;
  f.addresses = addresses;
  return f;
}

// Submits, waits and fetches in one go; a request that never finishes gives -4.
inline Fetched Resolve(const std::string& name, int level, int server = 0, int ms = 5000) {
  int h = nSmtpMx_RequestRemoteId(name.c_str(), level, server);
  if (h < 0) {
    Fetched f;
    f.code = h;
    return f;
  }
  WaitDone(h, ms);
  return Fetch(h);
}

}  // namespace mxtest
