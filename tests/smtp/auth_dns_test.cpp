// The answer cache of the checks' DNS: how long a reply may be kept (the least
// TTL of its answers, the SOA's negative TTL, nothing without either), and through
// a name server on loopback that counts what it is asked: a kept answer is not
// asked again until its TTL has passed, other server lists ask for themselves,
// and the cache stays within its bound.
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

}  // namespace
