// The answer cache of the checks' DNS: how long a reply may be kept (the least
// TTL of its answers, the SOA's negative TTL, nothing without either), and through
// a name server on loopback that counts what it is asked: a kept answer is not
// asked again until its TTL has passed, other server lists ask for themselves,
// and the cache stays within its bound. A truncated reply is asked again over TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tick.h"
#include "server/mailauth/auth_dns.h"

namespace {

std::string U16(unsigned v) { return {char(v >> 8), char(v & 0xFF)}; }
std::string U32(uint32_t v) { return U16(v >> 16) + U16(v & 0xFFFF); }

std::string Name(const std::string& dotted) {
  std::string out;
  size_t start = 0;
  while (start < dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos) dot = dotted.size();
    out += char(dot - start);
    out += dotted.substr(start, dot - start);
    start = dot + 1;
  }
  return out + '\0';
}

std::string Txt(uint32_t ttl, const std::string& text) {
  return std::string("\xC0\x0C", 2) + U16(16) + U16(1) + U32(ttl) + U16(text.size() + 1) +
         char(text.size()) + text;
}

std::string Soa(uint32_t ttl, uint32_t minimum) {
  std::string rdata = Name("ns.test") + Name("host.test") + U32(1) + U32(2) + U32(3) + U32(4) +
                      U32(minimum);
  return Name("test") + U16(6) + U16(1) + U32(ttl) + U16(rdata.size()) + rdata;
}

// A reply to a TXT question for `name`: `flags` after the id, then the records.
std::string Reply(uint16_t id, const std::string& name, uint16_t flags, int answers,
                  int authority, const std::string& records) {
  return U16(id) + U16(flags) + U16(1) + U16(answers) + U16(authority) + U16(0) + Name(name) +
         U16(16) + U16(1) + records;
}

TEST(AuthDnsCache, HowLongAReplyIsKept) {
  struct Case {
    const char* what;
    std::string packet;
    uint32_t seconds;
  };
  const Case cases[] = {
      {"least answer TTL", Reply(1, "a.test", 0x8180, 2, 0, Txt(300, "x") + Txt(60, "y")), 60},
      {"capped", Reply(1, "a.test", 0x8180, 1, 0, Txt(86400, "x")), kAuthDnsCacheMaxSeconds},
      {"TTL 0", Reply(1, "a.test", 0x8180, 1, 0, Txt(0, "x")), 0},
      {"NXDOMAIN, SOA minimum", Reply(1, "a.test", 0x8183, 0, 1, Soa(900, 120)), 120},
      {"NXDOMAIN, SOA TTL", Reply(1, "a.test", 0x8183, 0, 1, Soa(30, 120)), 30},
      {"no data, SOA", Reply(1, "a.test", 0x8180, 0, 1, Soa(600, 600)), 600},
      {"NXDOMAIN without SOA", Reply(1, "a.test", 0x8183, 0, 0, ""), 0},
      {"server failure", Reply(1, "a.test", 0x8182, 1, 0, Txt(300, "x")), 0},
      {"truncated", Reply(1, "a.test", 0x8380, 1, 0, Txt(300, "x")), 0},
      {"record past the end", Reply(1, "a.test", 0x8180, 2, 0, Txt(300, "x")), 0},
      {"header only", std::string("\x00\x01\x81\x80", 4), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(AuthDnsCacheSeconds(c.packet), c.seconds) << c.what;
}

// A name server on a loopback port: "short.test" answers with TTL 1, "long.test"
// with TTL 300, "gone.test" is NXDOMAIN with an SOA, "nosoa.test" NXDOMAIN
// without one; every other name answers with TTL 300.
class CountingServer {
 public:
  bool Start() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  ~CountingServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  int Asked(const std::string& name) {
    std::lock_guard<std::mutex> g(lock_);
    return asked_[name];
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t q[512];
      sockaddr_in from{};
      socklen_t flen = sizeof from;
      ssize_t n = recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &flen);
      if (n < 17) continue;
      std::string name;
      for (size_t pos = 12; pos < size_t(n) && q[pos] != 0; pos += q[pos] + 1) {
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<char*>(q + pos + 1), q[pos]);
      }
      {
        std::lock_guard<std::mutex> g(lock_);
        ++asked_[name];
      }
      uint16_t id = uint16_t(q[0] << 8 | q[1]);
      std::string out;
      if (name == "gone.test") out = Reply(id, name, 0x8183, 0, 1, Soa(300, 300));
      else if (name == "nosoa.test") out = Reply(id, name, 0x8183, 0, 0, "");
      else out = Reply(id, name, 0x8180, 1, 0, Txt(name == "short.test" ? 1 : 300, "v=" + name));
      sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::map<std::string, int> asked_;
};

TEST(AuthDnsCache, KeptAnswersAreNotAskedAgainUntilTheirTtlPasses) {
  ClearAuthDnsCache();
  CountingServer server;
  ASSERT_TRUE(server.Start());
  AuthDnsBudget budget = StartAuthDnsBudget(server.Address());
  std::string packet;
  for (const char* name : {"long.test", "short.test", "gone.test", "nosoa.test"})
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(QueryAuthDns(budget, name, kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
      std::vector<std::string> txt;
      int rcode = -1;
      ASSERT_TRUE(ReadTxtAnswers(packet, txt, rcode)) << name;
      EXPECT_EQ(rcode, std::string(name) == "gone.test" || std::string(name) == "nosoa.test" ? 3 : 0);
    }
  EXPECT_EQ(server.Asked("long.test"), 1);
  EXPECT_EQ(server.Asked("short.test"), 1);
  EXPECT_EQ(server.Asked("gone.test"), 1);
  EXPECT_EQ(server.Asked("nosoa.test"), 3);
  // The name as asked in another case, or with a final dot, is the same name.
  ASSERT_EQ(QueryAuthDns(budget, "LONG.test.", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_EQ(server.Asked("long.test"), 1);

  // A spent budget still gets what is kept, and nothing else.
  AuthDnsBudget spent = StartAuthDnsBudget(server.Address(), 0);
  EXPECT_EQ(QueryAuthDns(spent, "long.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_EQ(QueryAuthDns(spent, "other.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kTimeout);

  // Another list of name servers asks for itself.
  CountingServer second;
  ASSERT_TRUE(second.Start());
  AuthDnsBudget other = StartAuthDnsBudget(second.Address());
  ASSERT_EQ(QueryAuthDns(other, "long.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_EQ(second.Asked("long.test"), 1);

  // Once its TTL has passed an answer is asked for again.
  SleepMs(1100);
  ASSERT_EQ(QueryAuthDns(budget, "short.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  ASSERT_EQ(QueryAuthDns(budget, "long.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_EQ(server.Asked("short.test"), 2);
  EXPECT_EQ(server.Asked("long.test"), 1);
}

TEST(AuthDnsCache, StaysWithinItsBound) {
  ClearAuthDnsCache();
  CountingServer server;
  ASSERT_TRUE(server.Start());
  AuthDnsBudget budget = StartAuthDnsBudget(server.Address(), 60000);
  std::string packet;
  for (size_t i = 0; i < kAuthDnsCacheEntries + 100; ++i)
    ASSERT_EQ(QueryAuthDns(budget, "n" + std::to_string(i) + ".test", kDnsTypeTxtRecord, packet),
              AuthDnsResult::kAnswer);
  EXPECT_LE(AuthDnsCacheSize(), kAuthDnsCacheEntries);
  // The latest answer is kept.
  std::string last = "n" + std::to_string(kAuthDnsCacheEntries + 99) + ".test";
  ASSERT_EQ(QueryAuthDns(budget, last, kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_EQ(server.Asked(last), 1);
  ClearAuthDnsCache();
}

// A name server whose UDP replies come back truncated (TC, no records) and whose
// TCP port, the same number, answers whole: one TXT record of `text`, in as many
// strings as it takes. With `tcp` false nothing listens on TCP.
class TruncatingServer {
 public:
  bool Start(const std::string& text, bool tcp) {
    text_ = text;
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    socklen_t len = sizeof a;
    getsockname(udp_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (tcp) {
      tcp_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(tcp_, 4) != 0)
        return false;
    }
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  ~TruncatingServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (udp_ >= 0) close(udp_);
    if (tcp_ >= 0) close(tcp_);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  int TcpQueries() const { return tcpQueries_; }

 private:
  std::string Answer(uint16_t id, const std::string& name) {
    std::string rdata;
    for (size_t i = 0; i < text_.size(); i += 255) {
      std::string piece = text_.substr(i, 255);
      rdata += char(piece.size());
      rdata += piece;
    }
    std::string record = std::string("\xC0\x0C", 2) + U16(16) + U16(1) + U32(300) +
                         U16(rdata.size()) + rdata;
    return Reply(id, name, 0x8180, 1, 0, record);
  }
  static std::string QuestionName(const uint8_t* q, size_t n) {
    std::string name;
    for (size_t pos = 12; pos < n && q[pos] != 0; pos += q[pos] + 1) {
      if (!name.empty()) name += '.';
      name.append(reinterpret_cast<const char*>(q + pos + 1), q[pos]);
    }
    return name;
  }
  void Serve() {
    while (!stop_) {
      pollfd p[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
      if (poll(p, tcp_ >= 0 ? 2 : 1, 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        uint8_t q[512];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(udp_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n < 17) continue;
        std::string out = Reply(uint16_t(q[0] << 8 | q[1]), QuestionName(q, size_t(n)), 0x8380, 0, 0, "");
        sendto(udp_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
      }
      if (tcp_ >= 0 && (p[1].revents & POLLIN)) {
        int c = accept(tcp_, nullptr, nullptr);
        if (c < 0) continue;
        uint8_t q[514];
        size_t got = 0;
        while (got < 2 || got < 2 + size_t(q[0] << 8 | q[1])) {
          ssize_t n = recv(c, q + got, sizeof q - got, 0);
          if (n <= 0) break;
          got += size_t(n);
        }
        if (got > 2 + 12) {
          ++tcpQueries_;
          std::string out = Answer(uint16_t(q[2] << 8 | q[3]), QuestionName(q + 2, got - 2));
          out = U16(out.size()) + out;
          // In two pieces, as a stream may bring it.
          send(c, out.data(), 7, MSG_NOSIGNAL);
          SleepMs(20);
          send(c, out.data() + 7, out.size() - 7, MSG_NOSIGNAL);
        }
        close(c);
      }
    }
  }
  std::string text_;
  int udp_ = -1, tcp_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> tcpQueries_{0};
  std::thread thread_;
};

TEST(AuthDnsTcp, TruncatedRepliesAreAskedAgainOverTcp) {
  ClearAuthDnsCache();
  std::string big;
  for (int i = 0; big.size() < 3000; ++i) big += "v=spf1 ip4:192.0.2." + std::to_string(i % 250) + " ";
  TruncatingServer server;
  ASSERT_TRUE(server.Start(big, true));
  AuthDnsBudget budget = StartAuthDnsBudget(server.Address());
  std::string packet;
  ASSERT_EQ(QueryAuthDns(budget, "big.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  std::vector<std::string> txt;
  int rcode = -1;
  ASSERT_TRUE(ReadTxtAnswers(packet, txt, rcode));
  ASSERT_EQ(txt.size(), 1u);
  EXPECT_EQ(txt[0], big);
  EXPECT_EQ(server.TcpQueries(), 1);
  // The whole answer is kept like any other.
  ASSERT_EQ(QueryAuthDns(budget, "big.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_EQ(server.TcpQueries(), 1);

  // Nothing on TCP: the truncated reply is the answer, at once, and not kept.
  TruncatingServer udpOnly;
  ASSERT_TRUE(udpOnly.Start(big, false));
  AuthDnsBudget other = StartAuthDnsBudget(udpOnly.Address());
  uint32_t start = GetTickCount32();
  ASSERT_EQ(QueryAuthDns(other, "big.test", kDnsTypeTxtRecord, packet), AuthDnsResult::kAnswer);
  EXPECT_LT(TickElapsed(GetTickCount32(), start), 1000u);
  ASSERT_TRUE(ReadTxtAnswers(packet, txt, rcode));
  EXPECT_TRUE(txt.empty());
  EXPECT_EQ(AuthDnsCacheSeconds(packet), 0u);
}

}  // namespace
