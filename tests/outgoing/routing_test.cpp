// Routing against a real name server: unbound serves a test zone on
// 127.0.12.x:53 (glue, unsorted MX records, time-to-live 0) and scripted peers
// listen on the exchangers' addresses. Each case sends one .out file and checks
// which peer got it, or that it was parked or bounced.
#include <string>
#include <vector>

#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr int kBlockA = 13, kBlockB = 14;

std::string A(int block, int host) { return PeerAddress(block, host); }

// The zone: exchangers with preferences, a dead first exchanger, an exchanger
// without an address, a name with an address only.
std::string TestZone() {
  return "$ORIGIN out.test.\n"
         "$TTL 0\n"
         "@ IN SOA ns hostmaster 1 3600 600 86400 0\n"
         "@ IN NS ns\n"
         "ns IN A " + A(kBlockA, 1) + "\n"
         "pref IN MX 20 c.pref\n"
         "pref IN MX 10 a.pref\n"
         "pref IN MX 10 b.pref\n"
         "a.pref IN A " + A(kBlockA, 2) + "\n"
         "b.pref IN A " + A(kBlockA, 3) + "\n"
         "c.pref IN A " + A(kBlockA, 4) + "\n"
         "dead IN MX 10 d1.dead\n"
         "dead IN MX 20 d2.dead\n"
         "d1.dead IN A " + A(kBlockA, 5) + "\n"
         "d2.dead IN A " + A(kBlockA, 6) + "\n"
         "noaddr IN MX 10 missing.noaddr\n"
         "noaddr IN MX 20 there.noaddr\n"
         "there.noaddr IN A " + A(kBlockA, 7) + "\n"
         "aonly IN A " + A(kBlockB, 1) + "\n";
}

struct RouteCase {
  const char* name;
  int mode;
  std::string recipient;
  std::string receiver;  // the peer that must get the message ("" = none)
  bool parked;
  bool bounced;
};

class RoutingTest : public OutgoingTest {
 protected:
  void SetUp() override {
    OutgoingTest::SetUp();
    if (access(kUnbound, X_OK) != 0) GTEST_SKIP() << kUnbound << " is not installed (package unbound)";
    A(kBlockA, 0), A(kBlockB, 0);  // both blocks taken in rising order, before the zone
    std::string why;
    ASSERT_TRUE(dns_.Start(A(kBlockA, 1), TestZone(), why)) << why;
    StartResolver(A(kBlockA, 1));
  }
  DnsServer dns_;
};

TEST_F(RoutingTest, ModesChooseExchangerSmartHostRetryOrBounce) {
  const std::string smart = A(kBlockB, 2);
  const std::string literal = A(kBlockB, 3);
  ServerSettings().smartHost = smart;
  // Every address a message may go to has a peer, except d1.dead (refused).
  std::map<std::string, std::unique_ptr<RecordingPeer>> peers;
  for (const std::string& a : {A(kBlockA, 2), A(kBlockA, 3), A(kBlockA, 4), A(kBlockA, 6),
                               A(kBlockA, 7), A(kBlockB, 1), smart, literal}) {
    peers[a] = std::make_unique<RecordingPeer>();
    ASSERT_TRUE(peers[a]->Start(a, PeerScript())) << a;
  }
  const std::vector<RouteCase> cases = {
      {"preferences: the first of the best", kRouteAll, "u@pref.out.test", A(kBlockA, 2), false, false},
      {"mode 5, dead first exchanger", kRouteAll, "u@dead.out.test", A(kBlockA, 6), false, false},
      {"mode 3, dead first exchanger", kRouteFirst, "u@dead.out.test", "", true, false},
      {"mode 2, dead first exchanger", kRouteFirstSmartHost, "u@dead.out.test", smart, false, false},
      {"exchanger without an address", kRouteAll, "u@noaddr.out.test", A(kBlockA, 7), false, false},
      {"address only", kRouteAll, "u@aonly.out.test", A(kBlockB, 1), false, false},
      {"name that does not exist", kRouteAll, "u@nosuch.out.test", "", false, true},
      {"name that does not exist, mode 4", kRouteAllSmartHost, "u@nosuch.out.test", "", false, true},
      {"refused name, mode 4", kRouteAllSmartHost, "u@refused.example", smart, false, false},
      {"refused name, mode 5", kRouteAll, "u@refused.example", "", true, false},
      {"address literal", kRouteAll, "u@[" + literal + "]", literal, false, false},
  };
  // Local sender: the routing warnings and bounces stay in the incoming queue.
  const std::string sender = "alice@mail.example.org";
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServerSettings().routingMode = c.mode;
    std::map<std::string, size_t> before;
    for (auto& [a, p] : peers) before[a] = p->Messages().size();
    std::string message = "Subject: route\r\n\r\nbody\r\n";
    std::string path = WriteOut(sender, {c.recipient}, message);
    ASSERT_TRUE(PumpUntilIdle());
    for (auto& [a, p] : peers)
      EXPECT_EQ(p->Messages().size() - before[a], a == c.receiver ? 1u : 0u) << a;
    EXPECT_EQ(SpoolExists(path.substr(0, path.size() - 1) + "r"), c.parked);
    std::string bounce;
    for (const std::string& text : IncomingTexts())
      if (text.find("Subject: Message rejected by system") != std::string::npos) bounce = text;
    EXPECT_EQ(!bounce.empty(), c.bounced);
    if (c.bounced) {
      EXPECT_EQ(bounce,
                ExpectedBounce(sender, "Illegal address specified as host: nosuch.out.test", message));
    }
    for (const RetryEntry& e : RetryEntries()) DeleteFromRetryQueue(e.id, "test");
    for (const std::string& dir : {In(), Out()})
      for (const std::string& f : QueueFilesIn(dir)) SpoolDelete(dir + f);
  }
}

// An exception's gateway is asked for instead of the node; what waits is filed
// under the node.
TEST_F(RoutingTest, GatewayIsAskedForInsteadOfTheNode) {
  RegSetString(std::string(kRootKey) + "\\Exceptions", "inside.example",
               "0,1,0,1,pref.out.test,1,60,0,0,10");
  RecordingPeer exchanger;
  ASSERT_TRUE(exchanger.Start(A(kBlockA, 2), PeerScript()));
  WriteOut("alice@mail.example.org", {"u@host.inside.example"}, "Subject: gw\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(exchanger.Messages().size(), 1u);
  EXPECT_EQ(exchanger.Messages()[0].rcpts, std::vector<std::string>{"TO:<u@host.inside.example>"});
  exchanger.Stop();
  std::string path = WriteOut("alice@mail.example.org", {"v@host.inside.example"}, "Subject: gw\r\n\r\nb\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  std::vector<RetryEntry> entries = RetryEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].host, "host.inside.example");
}

// Two domains in one file, one of them down: the reachable recipients are marked
// done, the file waits as .our with one retry entry, and a retry once the host is
// back sends only the recipient that waited.
TEST_F(RoutingTest, TwoDomainsOneDownMarksParksAndRetriesOnlyTheWaitingRecipient) {
  RecordingPeer up;
  ASSERT_TRUE(up.Start(A(kBlockA, 2), PeerScript()));
  std::string message = "Subject: two\r\n\r\nbody\r\n";
  std::string path = WriteOut("alice@mail.example.org",
                              {"x@pref.out.test", "y@aonly.out.test", "z@pref.out.test"}, message);
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(up.Messages().size(), 1u);
  EXPECT_EQ(up.Messages()[0].rcpts,
            (std::vector<std::string>{"TO:<x@pref.out.test>", "TO:<z@pref.out.test>"}));
  std::string parked = path.substr(0, path.size() - 1) + "r";
  ASSERT_TRUE(SpoolExists(parked));
  std::string text = Read(parked);
  EXPECT_EQ(text, "From: alice@mail.example.org\r\nto: x@pref.out.test\r\nTo: y@aonly.out.test\r\n"
                  "to: z@pref.out.test\r\n\r\n" + message);
  std::vector<RetryEntry> entries = RetryEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].host, "aonly.out.test");

  RecordingPeer back;
  ASSERT_TRUE(back.Start(A(kBlockB, 1), PeerScript()));
  EXPECT_TRUE(RetryNow("AONLY.out.test"));
  ASSERT_TRUE(Pump([&] { return !SpoolExists(parked) && CountOutgoingItems() == 0; }));
  ASSERT_EQ(back.Messages().size(), 1u);
  EXPECT_EQ(back.Messages()[0].rcpts, std::vector<std::string>{"TO:<y@aonly.out.test>"});
  EXPECT_EQ(up.Messages().size(), 1u);
  EXPECT_TRUE(RetryEntries().empty());
}

// Both hosts of a file down: one entry each. The retry of one host sends only its
// recipient and leaves the file parked for the other, whose own retry finishes it.
TEST_F(RoutingTest, RetryOfOneHostLeavesTheOtherHostsRecipientsParked) {
  std::string path = WriteOut("alice@mail.example.org", {"x@pref.out.test", "y@aonly.out.test"},
                              "Subject: both\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  std::string parked = path.substr(0, path.size() - 1) + "r";
  ASSERT_TRUE(SpoolExists(parked));
  ASSERT_EQ(RetryEntries().size(), 2u);

  RecordingPeer aonly;
  ASSERT_TRUE(aonly.Start(A(kBlockB, 1), PeerScript()));
  RetryNow("aonly.out.test");
  ASSERT_TRUE(Pump([&] { return aonly.Messages().size() == 1 && CountOutgoingItems() == 0; }));
  EXPECT_EQ(aonly.Messages()[0].rcpts, std::vector<std::string>{"TO:<y@aonly.out.test>"});
  ASSERT_TRUE(SpoolExists(parked));
  EXPECT_EQ(Envelope(parked),
            "From: alice@mail.example.org\r\nTo: x@pref.out.test\r\nto: y@aonly.out.test\r\n\r\n");
  std::vector<RetryEntry> entries = RetryEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].host, "pref.out.test");
  EXPECT_TRUE(IncomingTexts().empty());

  RecordingPeer pref;
  ASSERT_TRUE(pref.Start(A(kBlockA, 2), PeerScript()));
  RetryNow("pref.out.test");
  ASSERT_TRUE(Pump([&] { return !SpoolExists(parked) && CountOutgoingItems() == 0; }));
  ASSERT_EQ(pref.Messages().size(), 1u);
  EXPECT_EQ(pref.Messages()[0].rcpts, std::vector<std::string>{"TO:<x@pref.out.test>"});
  EXPECT_TRUE(RetryEntries().empty());
  EXPECT_EQ(aonly.Messages().size(), 1u);
}

}  // namespace
