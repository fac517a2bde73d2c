// Datagrams, a full receive ring, input that arrives while a handler runs, the error
// and reason texts, and host name lookups.
#include <arpa/inet.h>

#include <mutex>
#include <vector>

#include "tests/net/net_test_util.h"

namespace {

constexpr uint16_t kUdp = 7;
constexpr uint16_t kSlow = 2;

class NetMiscTest : public NetTest {};

// ---- Datagrams ------------------------------------------------------------------------

// Answers every datagram with "re:" and its bytes.
void EchoDatagram(NetNode* node, uint16_t, const char* data, int length, const sockaddr_in& from) {
  std::string reply = "re:" + std::string(data, size_t(length));
  NetSendDatagram(node, reply.data(), int(reply.size()), from);
}

TEST_F(NetMiscTest, DatagramsAreAnsweredAndEmptyOrOversizeOnesDoNotStopTheService) {
  NetServiceCallbacks cb;
  cb.OnDatagram = EchoDatagram;
  NetRegisterService(kUdp, cb);
  int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
  ASSERT_TRUE(NetAddNode(server, kNodeListening, 0, 0, 1, nullptr, kNetRingSize, kNetRingSize,
                         kUdp, 0));
  int err = -1;
  ASSERT_TRUE(NetStartDatagram(server, &err));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(NetCountConnections(), 0);  // a UDP socket is a listener

  int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto ask = [&](const std::string& text) {
    sendto(client, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  };
  auto answer = [&] {
    char buf[8192];
    ssize_t n = recv(client, buf, sizeof buf, 0);
    return n < 0 ? std::string("<none>") : std::string(buf, size_t(n));
  };
  ask("one");
  EXPECT_EQ(answer(), "re:one");
  ask("");                         // empty: ignored
  ask(std::string(5000, 'o'));     // larger than the 4096-byte buffer: dropped
  ask(std::string(4096, 'k'));     // exactly the buffer: delivered
  EXPECT_EQ(answer(), "re:" + std::string(4096, 'k'));
  ask("two");
  EXPECT_EQ(answer(), "re:two");
  close(client);
  EXPECT_EQ(NetCountNodes(), 1);
  NetCloseBySocket(server, true);
  ASSERT_TRUE(WaitUntil([] { return NetCountNodes() == 0; }));
}

TEST_F(NetMiscTest, StartDatagramRefusesTcpNodes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_TRUE(NetAddNode(fd, kNodeListening, 0, 0, 0, nullptr, kNetRingSize, kNetRingSize, kUdp, 1));
  int err = 0;
  EXPECT_FALSE(NetStartDatagram(fd, &err));
  EXPECT_EQ(err, kWsaENotSock);
  NetCloseBySocket(fd, true);
}

// ---- A receive ring the handler empties only later -------------------------------------

struct Hold {
  std::atomic<bool> release{false};
  std::atomic<long> consumed{0};
  std::atomic<int> callsWhileHeld{0};
};
Hold gHold;

bool HoldAccept(uint16_t service, void*, int socket, const sockaddr_in&) {
  return NetAddNode(socket, kNodeConnected, 300, 0, 0, &gHold, kNetRingSize, kNetRingSize,
                    service, 1);
}

bool HoldData(NetNode* node, uint16_t, int32_t*, void*, int) {
  if (!gHold.release) {
    ++gHold.callsWhileHeld;
    return false;
  }
  char buf[3000];
  int n;
  while ((n = NetRead(node, buf, sizeof buf)) > 0) gHold.consumed += n;
  return false;
}

TEST_F(NetMiscTest, FullReceiveRingResumesWhenTheHandlerReads) {
  NetServiceCallbacks cb;
  cb.OnAccept = HoldAccept;
  cb.OnData = HoldData;
  NetRegisterService(kSlow, cb);
  gHold.release = false;
  gHold.consumed = 0;
  gHold.callsWhileHeld = 0;
  uint16_t port = OpenLoopbackListener(kSlow);
  int fd = ConnectLoopback(port);
  constexpr size_t kBytes = 100000;  // far more than the ring
  ASSERT_TRUE(SendAllText(fd, std::string(kBytes, 'r')));
  // Unread input keeps the handler being called (the design's polling), ring full.
  ASSERT_TRUE(WaitUntil([] { return gHold.callsWhileHeld > 3; }));
  gHold.release = true;
  EXPECT_TRUE(WaitUntil([] { return gHold.consumed == long(kBytes); }));
  close(fd);
}

// ---- Input that arrives while the handler runs -----------------------------------------

struct SlowEcho {
  std::mutex lock;
  std::vector<std::string> lines;
  std::atomic<bool> inFirst{false};
  std::atomic<bool> firstDone{false};
};
SlowEcho gSlow;

bool SlowData(NetNode* node, uint16_t, int32_t*, void*, int) {
  char line[100];
  int n = NetReadLine(node, line, 99);
  if (n < 0) return false;
  {
    std::lock_guard<std::mutex> g(gSlow.lock);
    gSlow.lines.push_back(line);
  }
  if (!gSlow.firstDone) {
    gSlow.inFirst = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    gSlow.firstDone = true;
  }
  return false;  // even so, the second line must get its own call
}

TEST_F(NetMiscTest, InputArrivingDuringAHandlerIsNotLost) {
  NetServiceCallbacks cb;
  cb.OnAccept = HoldAccept;
  cb.OnData = SlowData;
  NetRegisterService(kSlow, cb);
  {
    std::lock_guard<std::mutex> g(gSlow.lock);
    gSlow.lines.clear();
  }
  gSlow.inFirst = false;
  gSlow.firstDone = false;
  uint16_t port = OpenLoopbackListener(kSlow);
  int fd = ConnectLoopback(port);
  ASSERT_TRUE(SendAllText(fd, "first\r\n"));
  ASSERT_TRUE(WaitUntil([] { return gSlow.inFirst.load(); }));
  ASSERT_TRUE(SendAllText(fd, "second\r\n"));
  ASSERT_TRUE(WaitUntil([] {
    std::lock_guard<std::mutex> g(gSlow.lock);
    return gSlow.lines.size() == 2;
  }));
  std::lock_guard<std::mutex> g(gSlow.lock);
  EXPECT_EQ(gSlow.lines, (std::vector<std::string>{"first", "second"}));
  close(fd);
}

// ---- Quiet connections cost few rounds ----------------------------------------------

struct Quiet {
  std::atomic<int> rounds{0};
  std::mutex lock;
  std::vector<std::string> lines;
};
Quiet gQuiet;

bool QuietData(NetNode* node, uint16_t, int32_t*, void*, int) {
  ++gQuiet.rounds;
  char line[100];
  int n;
  while ((n = NetReadLine(node, line, 99)) >= 0) {
    std::lock_guard<std::mutex> g(gQuiet.lock);
    gQuiet.lines.push_back(line);
  }
  return false;
}

// Ten thousand idle sessions must not keep the handler threads busy: a session
// that says nothing, or only part of a line, gets a handful of rounds in a
// second and a half (the layer once gave it 15 idle rounds, or 150 retry rounds
// for the partial line), and the line still arrives whole when it ends.
TEST_F(NetMiscTest, QuietConnectionsAndPartialLinesCostFewRounds) {
  NetServiceCallbacks cb;
  cb.OnAccept = HoldAccept;
  cb.OnData = QuietData;
  NetRegisterService(kSlow, cb);
  uint16_t port = OpenLoopbackListener(kSlow);
  const struct {
    const char* first;   // sent at once
    const char* rest;    // sent after the quiet time
    const char* line;    // what the handler must get
  } cases[] = {
      {"", "HELO quiet\r\n", "HELO quiet"},
      {"HELO par", "tial\r\n", "HELO partial"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("first part \"") + c.first + "\"");
    gQuiet.rounds = 0;
    {
      std::lock_guard<std::mutex> g(gQuiet.lock);
      gQuiet.lines.clear();
    }
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAllText(fd, c.first));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LE(gQuiet.rounds.load(), 8);
    EXPECT_GE(gQuiet.rounds.load(), 1);
    ASSERT_TRUE(SendAllText(fd, c.rest));
    EXPECT_TRUE(WaitUntil([] {
      std::lock_guard<std::mutex> g(gQuiet.lock);
      return !gQuiet.lines.empty();
    }));
    std::lock_guard<std::mutex> g(gQuiet.lock);
    EXPECT_EQ(gQuiet.lines, std::vector<std::string>{c.line});
    close(fd);
  }
}

// ---- Texts ----------------------------------------------------------------------------

TEST(NetTextTest, CloseReasonTexts) {
  const std::pair<int, const char*> cases[] = {
      {0, "Unknown disconnect reason."},
      {1, "System terminating."},
      {2, "User requested connection close."},
      {3, "Timeout occured with connection"},
      {4, "Remote closing of connection."},
      {5, "Connection refused by local node."},
      {6, "Unknown disconnect reason."},
      {-1, "Unknown disconnect reason."},
  };
  for (const auto& [reason, text] : cases) EXPECT_STREQ(NetCloseReasonText(reason), text) << reason;
}

TEST(NetTextTest, WinSockErrorTexts) {
  const std::pair<int, const char*> cases[] = {
      {10061, "Connection refused"},
      {10048, "Address already in use"},
      {10054, "Connection reset by remote"},
      {10099, "WinSock Error #10099."},
      {11001, "WinSock Error #11001."},  // host lookups have no text of their own
  };
  for (const auto& [err, text] : cases) EXPECT_EQ(NetErrorText(err), text) << err;
}

// ---- Host names ------------------------------------------------------------------------

TEST(NetHostTest, DottedAddressesAndLocalNames) {
  in_addr a{};
  int err = -1;
  ASSERT_TRUE(NetResolveHost("10.1.2.3", a, err));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(NetAddressText(a), "10.1.2.3");
  EXPECT_EQ(NetHostAddressText("localhost"), "127.0.0.1");
  EXPECT_FALSE(NetResolveHost("", a, err));
  EXPECT_EQ(err, kWsaHostNotFound);
  EXPECT_FALSE(NetResolveHost("no-such-host.invalid", a, err));
  EXPECT_NE(err, 0);

  std::string name, canonical;
  ASSERT_TRUE(NetLocalHostName(name, canonical, err));
  EXPECT_FALSE(name.empty());
  EXPECT_FALSE(canonical.empty());

  in_addr loopback{};
  inet_pton(AF_INET, "127.0.0.1", &loopback);
  std::string reverse;
  if (NetReverseLookup(loopback, reverse, err)) EXPECT_FALSE(reverse.empty());
  else EXPECT_NE(err, 0);
}

}  // namespace
