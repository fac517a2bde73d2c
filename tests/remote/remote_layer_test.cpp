// The remote services inside the test process: the guard against guessing and
// the line limits of the password changer, outgoing finger connections and their
// queue, raw finger replies. The network layer runs here on 127.0.0.1 and the
// reserved addresses 127.0.15.x.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <future>
#include <thread>

#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/remote/command_port.h"
#include "server/remote/finger.h"
#include "tests/core/test_home.h"
#include "tests/pop3/pop3_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class RemoteLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowEchoToStdout(false);
    SetLogOptions(0xFFFFFFFFu, 0);
    ClearWindowLog();
    Settings& s = ServerSettings();
    s = Settings();
    s.homeDirectory = s.userDirectory = home_.dir;
    s.localNode = "mail.test";
    std::string why;
    ASSERT_TRUE(FingerInit(why));
    ASSERT_TRUE(PortInit(why));
    ASSERT_TRUE(NetStartup(why)) << why;
    std::string scrambled;
    ASSERT_TRUE(ScramblePassword("alice", "secret", scrambled));
    ASSERT_TRUE(WriteUserRecord("alice", "Alice", home_.dir + "alice.mbx", scrambled, "", "", why));
    ASSERT_TRUE(WriteUserExtra("alice", {kAccessPasswordChange | kAccessFinger | kAccessRemoteFinger,
                                         "watch@127.0.15.6", ""},
                               "", why));
  }
  void TearDown() override { NetShutdown(); }

  int LogCount(const std::string& text) {
    int n = 0;
    for (const std::string& line : WindowLogLines())
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }
  bool WaitForLog(const std::string& text, int ms = 3000) {
    for (int i = 0; i < ms / 10; ++i) {
      if (LogCount(text) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  TestHome home_;
};

// One password change attempt; returns the reply to NEWPASS and how long it took.
std::string TryChange(int port, const std::string& password, long long* ms = nullptr) {
  PopClient c(port, 10);
  c.ReadLine();
  c.Ask("USER alice");
  c.Ask("PASS " + password);
  auto start = Clock::now();
  std::string reply = c.Ask("NEWPASS changed1");
  if (ms) *ms = MsSince(start);
  return reply;
}

TEST_F(RemoteLayerTest, FailedChecksAreAnsweredLateAndThenRefusedUnchecked) {
  int port = 0;
  std::string why;
  ASSERT_TRUE(PortListen(kServicePassword, "127.0.0.1", 0, why, port)) << why;
  std::vector<std::future<std::string>> tries;
  std::vector<long long> ms(kPort.guessLimit);
  auto start = Clock::now();
  for (int i = 0; i < kPort.guessLimit; ++i)
    tries.push_back(std::async(std::launch::async, TryChange, port, "wrong" + std::to_string(i), &ms[i]));
  // While the failures wait, the handlers are free: a new session is greeted at once.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto greetStart = Clock::now();
  PopClient other(port, 10);
  EXPECT_EQ(other.ReadLine(), "200 hello");
  EXPECT_LT(MsSince(greetStart), 300);
  for (int i = 0; i < kPort.guessLimit; ++i) {
    EXPECT_EQ(tries[i].get(), "500 authentication failure");
    EXPECT_GE(ms[i], 900) << i;
  }
  // Answered side by side, not one after another (ten in turn would take over 9 s);
  // the bound leaves room for a sanitizer build on a busy machine.
  EXPECT_LT(MsSince(start), 8000);
  const std::string before = [] {
    std::string r;
    LookupAccount("alice", r, "", false);
    return r;
  }();
  // The address has used its failures: even the right password is refused.
  EXPECT_EQ(TryChange(port, "secret"), "500 authentication failure");
  EXPECT_EQ(TryChange(port, "secret"), "500 authentication failure");
  std::string after;
  LookupAccount("alice", after, "", false);
  EXPECT_EQ(after, before);
  EXPECT_EQ(LogCount("127.0.0.1 failed 10 times; its checks are refused for the rest of 10 minutes."), 1);
}

TEST_F(RemoteLayerTest, CommandLinesOutOfBoundsAreRefused) {
  int port = 0;
  std::string why;
  ASSERT_TRUE(PortListen(kServiceControl, "127.0.0.1", 0, why, port)) << why;
  PopClient c(port, 10);
  EXPECT_EQ(c.ReadLine(), "200 Hello from command port for mail.test.");
  struct Step {
    std::string send, want;
  } steps[] = {
      {"USER " + std::string(2000, 'a'), "500 protocol error"},  // the rest is read away
      {"USER " + std::string(101, 'a'), "500 protocol error"},   // never cut to another name
      {"USERS alice", "500 protocol error"},
      {"user", "500 username required"},
      {"NEWPASS x", "500 protocol error"},
      {"uSeR alice", "300 send password:"},
      {"PASS", "500 password required"},
      {"PASS secret", "500 protocol error"},  // the control port changes no password
      {"quit", "200 Goodbye from command port for mail.test."},
  };
  for (const Step& s : steps) EXPECT_EQ(c.Ask(s.send), s.want) << s.send.substr(0, 20);
  EXPECT_TRUE(c.ClosedByServer());
  EXPECT_EQ(LogCount("secret"), 0);
}

TEST_F(RemoteLayerTest, FingerRepliesWholeAndOverLongRequestsAreUnknown) {
  int port = 0;
  std::string why;
  ASSERT_TRUE(FingerListen("127.0.0.1", 0, why, port)) << why;
  struct Case {
    std::string request, reply;
  } cases[] = {
      {"/W alice\r\n", "User Id: alice                          Name: Alice\r\n"},
      {"/w \r\n", "Finger online user list request denied.\r\n"},
      {std::string(255, 'x') + "\r\n", "Unable to find specified user.\r\n"},
      {"alice" + std::string(300, ' ') + "\r\n", "Unable to find specified user.\r\n"},
  };
  for (const Case& c : cases) {
    PopClient client(port, 5);
    ASSERT_TRUE(client.SendRaw(c.request));
    std::string all;
    for (std::string line; (line = client.ReadRawLine()) != "<closed>";) all += line;
    EXPECT_EQ(all + client.pending, c.reply) << c.request.substr(0, 20);
  }
}

// A listener on a reserved address that accepts one connection and returns what
// it got before the peer closed ("<none>" when nobody came within 5 s).
std::string AcceptOnce(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) return "<none>";
  int c = accept(fd, nullptr, nullptr);
  timeval tv{5, 0};
  setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string got;
  char buf[256];
  ssize_t n;
  while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
    got.append(buf, size_t(n));
    if (got.find('\n') != std::string::npos) break;
  }
  close(c);
  return got;
}

int ListenOn(const char* host, int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, host, &a.sin_addr);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 5) != 0) return -1;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

TEST_F(RemoteLayerTest, OutgoingConnectionsQueryOrJustConnect) {
  int port = 0;
  int fd = ListenOn("127.0.15.6", port);
  ASSERT_GE(fd, 0);
  ServerSettings().sysOptRFngr = port;
  ASSERT_TRUE(FingerStart(kAccessRemoteFinger));  // no daemon, notifications on
  // A forced connection only connects.
  ASSERT_TRUE(QueueRemoteFinger("", "127.0.15.6", port, 0));
  FingerCheck();
  EXPECT_EQ(AcceptOnce(fd), "");
  EXPECT_TRUE(WaitForLog("Fgr-0000: Forced connection to 127.0.15.6 successful, closing."));
  // A notification sends the user part of the finger address.
  ASSERT_TRUE(QueueRemoteFinger("alice", "", 0, 1));
  FingerCheck();
  EXPECT_EQ(AcceptOnce(fd), "watch\r\n");
  close(fd);
  // Nobody listening: logged, dropped.
  ASSERT_TRUE(QueueRemoteFinger("", "127.0.15.6", port, 0));
  FingerCheck();
  EXPECT_TRUE(WaitForLog("Fgr-0002: Unable to connect: 10061"));
  EXPECT_TRUE(WaitForLog("Fgr-0002: Closed while opening."));
  EXPECT_EQ(FingerQueueLength(), 0u);
}

TEST_F(RemoteLayerTest, QueueHoldsOneNotificationPerAccountAndIsBounded) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("bob", "Bob", "", "", "", "", why));
  ASSERT_TRUE(WriteUserExtra("bob", {kAccessFinger, "bob@127.0.15.6", ""}, "", why));
  ASSERT_TRUE(WriteUserRecord("carl", "Carl", "", "", "", "", why));
  ASSERT_TRUE(WriteUserExtra("carl", {kAccessRemoteFinger, "", ""}, "", why));
  EXPECT_FALSE(QueueRemoteFinger("alice", "", 0, 1)) << "the start-up mask lacks 0x20";
  ASSERT_TRUE(FingerStart(kAccessRemoteFinger));
  EXPECT_TRUE(QueueRemoteFinger("alice", "", 0, 1));
  EXPECT_FALSE(QueueRemoteFinger("ALICE", "", 0, 1));
  EXPECT_FALSE(QueueRemoteFinger("bob", "", 0, 1)) << "no 0x20 for bob";
  EXPECT_FALSE(QueueRemoteFinger("carl", "", 0, 1)) << "no finger address";
  EXPECT_FALSE(QueueRemoteFinger("nobody", "", 0, 1));
  while (FingerQueueLength() < kFinger.queueEntries)
    ASSERT_TRUE(QueueRemoteFinger("", "127.0.15.6", 79, 0));
  EXPECT_FALSE(QueueRemoteFinger("", "127.0.15.6", 79, 0));
  EXPECT_EQ(LogCount("Fgr: Request queue full (1000), dropped the request for 127.0.15.6."), 1);
  ASSERT_TRUE(FingerInit(why));
  EXPECT_EQ(FingerQueueLength(), 0u);
}

}  // namespace
