// UDP queries for the checks on incoming mail.
#include "server/mailauth/auth_dns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "platform/files.h"
#include "server/mx/dns_packet.h"

namespace {

uint64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec / 1000000);
}

uint16_t NextQueryId() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return uint16_t(gen());
}

bool ParseServer(const std::string& entry, sockaddr_in& out) {
  std::string host = entry;
  uint16_t port = 53;
  size_t colon = entry.find(':');
  if (colon != std::string::npos) {
    host = entry.substr(0, colon);
    long p = std::strtol(entry.c_str() + colon + 1, nullptr, 10);
    if (p <= 0 || p > 65535) return false;
    port = uint16_t(p);
  }
  memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

}  // namespace

uint16_t ReadDns16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t ReadDns32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

size_t SkipDnsName(const uint8_t* data, size_t length, size_t pos) {
  while (pos < length) {
    uint8_t len = data[pos];
    if ((len & 0xC0) == 0xC0) return pos + 2 <= length ? pos + 2 : 0;
    if (len & 0xC0) return 0;
    if (len == 0) return pos + 1;
    pos += size_t(len) + 1;
  }
  return 0;
}

AuthDnsBudget StartAuthDnsBudget(const std::string& list, uint32_t budgetMs) {
  AuthDnsBudget b;
  size_t start = 0;
  while (start <= list.size()) {
    size_t semi = list.find(';', start);
    std::string entry = list.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
    size_t first = entry.find_first_not_of(" \t");
    size_t last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) b.servers.push_back(entry.substr(first, last - first + 1));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  b.deadlineMs = NowMs() + budgetMs;
  return b;
}

AuthDnsResult QueryAuthDns(AuthDnsBudget& budget, std::string_view name, uint16_t type,
                           std::string& packet) {
  packet.clear();
  uint8_t query[kMaxQueryPacket];
  uint16_t id = NextQueryId();
  int qlen = BuildQuery(id, name, type, query, sizeof query);
  if (qlen < 0) return AuthDnsResult::kError;
  bool anyServer = false;
  for (const std::string& entry : budget.servers) {
    sockaddr_in addr;
    if (!ParseServer(entry, addr)) continue;
    anyServer = true;
    uint64_t now = NowMs();
    if (now >= budget.deadlineMs) return AuthDnsResult::kTimeout;
    uint64_t until = std::min<uint64_t>(budget.deadlineMs, now + budget.queryMs);
    UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return AuthDnsResult::kError;
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) continue;
    if (send(s.get(), query, size_t(qlen), 0) != qlen) continue;
    for (;;) {
      now = NowMs();
      if (now >= until) break;
      pollfd p{s.get(), POLLIN, 0};
      int r = poll(&p, 1, int(until - now));
      if (r <= 0) continue;
      uint8_t reply[kMaxDatagram];
      ssize_t n = recv(s.get(), reply, sizeof reply, 0);
      if (n < 12) continue;
      // Only the reply to this question counts; anything else is ignored.
      if (ReadDns16(reply) != id) continue;
      packet.assign(reinterpret_cast<char*>(reply), size_t(n));
      return AuthDnsResult::kAnswer;
    }
  }
  return anyServer ? AuthDnsResult::kTimeout : AuthDnsResult::kError;
}

bool ReadTxtAnswers(const std::string& packetText, std::vector<std::string>& out, int& rcode) {
  out.clear();
  const uint8_t* data = reinterpret_cast<const uint8_t*>(packetText.data());
  size_t length = packetText.size();
  if (length < 12) return false;
  rcode = data[3] & 0x0F;
  uint16_t qd = ReadDns16(data + 4), an = ReadDns16(data + 6);
  size_t pos = 12;
  for (uint16_t i = 0; i < qd; ++i) {
    pos = SkipDnsName(data, length, pos);
    if (pos == 0 || pos + 4 > length) return false;
    pos += 4;
  }
  for (uint16_t i = 0; i < an; ++i) {
    pos = SkipDnsName(data, length, pos);
    if (pos == 0 || pos + 10 > length) return false;
    uint16_t type = ReadDns16(data + pos);
    uint16_t rdlen = ReadDns16(data + pos + 8);
    pos += 10;
    if (pos + rdlen > length) return false;
    if (type == kDnsTypeTxtRecord) {
      std::string joined;
      size_t p = pos, end = pos + rdlen;
      while (p < end) {
        size_t n = data[p++];
        if (p + n > end) return false;
        joined.append(reinterpret_cast<const char*>(data + p), n);
        p += n;
      }
      out.push_back(std::move(joined));
    }
    pos += rdlen;
  }
  return true;
}
