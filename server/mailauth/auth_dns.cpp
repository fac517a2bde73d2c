// UDP queries for the checks on incoming mail.
#include "server/mailauth/auth_dns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

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

// Waits until `fd` is ready for `events` or `until` (CLOCK_MONOTONIC ms) passes.
bool WaitReady(int fd, short events, uint64_t until) {
  for (;;) {
    uint64_t now = NowMs();
    if (now >= until) return false;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, int(until - now));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// Asks the query of `qlen` bytes over TCP (a two-byte length before each
// message) and reads the reply to query `id`, all before `until`.
bool QueryOverTcp(const sockaddr_in& addr, const uint8_t* query, int qlen, uint16_t id,
                  uint64_t until, std::string& packet) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.valid()) return false;
  if (connect(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS || !WaitReady(s.get(), POLLOUT, until)) return false;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
  }
  std::string out;
  out += char(qlen >> 8);
  out += char(qlen & 0xFF);
  out.append(reinterpret_cast<const char*>(query), size_t(qlen));
  for (size_t sent = 0; sent < out.size();) {
    ssize_t n = send(s.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitReady(s.get(), POLLOUT, until)) return false;
    } else {
      return false;
    }
  }
  // The length, then the reply.
  std::string in;
  size_t want = 2;
  bool haveLength = false;
  while (in.size() < want) {
    char block[4096];
    ssize_t n = recv(s.get(), block, std::min(sizeof block, want - in.size()), 0);
    if (n > 0) {
      in.append(block, size_t(n));
      if (!haveLength && in.size() == 2) {
        want = 2 + (size_t(uint8_t(in[0])) << 8 | uint8_t(in[1]));
        haveLength = true;
        if (want < 2 + kDnsHeaderSize) return false;
      }
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitReady(s.get(), POLLIN, until)) return false;
    } else {
      return false;
    }
  }
  packet = in.substr(2);
  return ReadDns16(reinterpret_cast<const uint8_t*>(packet.data())) == id;
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

struct CachedAnswer {
  std::string packet;
  uint64_t expiresMs = 0;
};

struct AnswerCache {
  std::mutex lock;
  std::unordered_map<std::string, CachedAnswer> entries;
};

AnswerCache& Cache() {
  static AnswerCache cache;
  return cache;
}

std::string CacheKey(const AuthDnsBudget& budget, std::string_view name, uint16_t type) {
  std::string key = std::to_string(type) + " ";
  for (char c : name) key += char(std::tolower(static_cast<unsigned char>(c)));
  if (!key.empty() && key.back() == '.') key.pop_back();
  for (const std::string& s : budget.servers) key += " " + s;
  return key;
}

bool FindCached(const std::string& key, uint16_t id, std::string& packet) {
  AnswerCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  auto it = c.entries.find(key);
  if (it == c.entries.end()) return false;
  if (it->second.expiresMs <= NowMs()) {
    c.entries.erase(it);
    return false;
  }
  packet = it->second.packet;
  // The reply answers this query now.
  packet[0] = char(id >> 8);
  packet[1] = char(id & 0xFF);
  return true;
}

void StoreCached(const std::string& key, const std::string& packet) {
  uint32_t seconds = AuthDnsCacheSeconds(packet);
  if (seconds == 0) return;
  AnswerCache& c = Cache();
  uint64_t now = NowMs();
  std::lock_guard<std::mutex> g(c.lock);
  if (c.entries.size() >= kAuthDnsCacheEntries) {
    for (auto it = c.entries.begin(); it != c.entries.end();)
      it = it->second.expiresMs <= now ? c.entries.erase(it) : std::next(it);
    // Still full: one entry makes room (whichever the table gives first).
    if (c.entries.size() >= kAuthDnsCacheEntries) c.entries.erase(c.entries.begin());
  }
  c.entries[key] = CachedAnswer{packet, now + uint64_t(seconds) * 1000};
}

}  // namespace

uint32_t AuthDnsCacheSeconds(const std::string& packetText) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(packetText.data());
  size_t length = packetText.size();
  if (length < 12) return 0;
  uint16_t flags = ReadDns16(data + 2);
  bool truncated = (flags & kDnsFlagTruncated) != 0;
  int rcode = flags & kDnsCodeMask;
  if (truncated || (rcode != 0 && rcode != kDnsNameError)) return 0;
  uint16_t qd = ReadDns16(data + 4), an = ReadDns16(data + 6), ns = ReadDns16(data + 8);
  size_t pos = 12;
  for (uint16_t i = 0; i < qd; ++i) {
    pos = SkipDnsName(data, length, pos);
    if (pos == 0 || pos + 4 > length) return 0;
    pos += 4;
  }
  uint32_t least = kAuthDnsCacheMaxSeconds;
  bool any = false;
  // The answer records, then (for a negative answer) the SOA of the authority
  // section, whose own TTL and MINIMUM field both bound the negative TTL.
  for (uint32_t i = 0; i < uint32_t(an) + ns; ++i) {
    pos = SkipDnsName(data, length, pos);
    if (pos == 0 || pos + 10 > length) return 0;
    uint16_t type = ReadDns16(data + pos);
    uint32_t ttl = ReadDns32(data + pos + 4);
    uint16_t rdlen = ReadDns16(data + pos + 8);
    pos += 10;
    if (pos + rdlen > length) return 0;
    bool answer = i < an;
    if (answer) {
      least = std::min(least, ttl);
      any = true;
    } else if (an == 0 && type == kDnsTypeSoa) {
      // MNAME, RNAME, then SERIAL REFRESH RETRY EXPIRE MINIMUM.
      size_t p = SkipDnsName(data, pos + rdlen, pos);
      if (p != 0) p = SkipDnsName(data, pos + rdlen, p);
      if (p == 0 || p + 20 > pos + rdlen) return 0;
      least = std::min({least, ttl, ReadDns32(data + p + 16)});
      any = true;
    }
    pos += rdlen;
  }
  if (rcode == kDnsNameError && an != 0) return 0;
  return any ? least : 0;
}

void ClearAuthDnsCache() {
  AnswerCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  c.entries.clear();
}

size_t AuthDnsCacheSize() {
  AnswerCache& c = Cache();
  std::lock_guard<std::mutex> g(c.lock);
  return c.entries.size();
}

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
  std::string key = CacheKey(budget, name, type);
  if (FindCached(key, id, packet)) return AuthDnsResult::kAnswer;
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
      std::string whole;
      if ((ReadDns16(reply + 2) & kDnsFlagTruncated) != 0 &&
          QueryOverTcp(addr, query, qlen, id, until, whole))
        packet = std::move(whole);
      StoreCached(key, packet);
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
