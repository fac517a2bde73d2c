// The SMTP client against scripted peers: the outgoing queue in this process
// sends .out files through the smart host (a RecordingPeer on 127.0.12.x:25) and
// the test checks, byte for byte, what the peer got and what came back.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr const char* kSender = "sender@remote.example.com";

// Part of the smart-host tests: routing mode 1 to `host`.
class ClientTest : public OutgoingTest {
 protected:
};

// Lines with dots, a 100 KB line, 8-bit bytes, a bare LF and a lone CR: the wire
// has CRLF lines only, dot-stuffed, every other byte as stored.
TEST_F(ClientTest, MessageBytesReachThePeerWholeDotStuffedWithCrlfLines) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(1, 1), PeerScript()));
  UseSmartHost(PeerAddress(1, 1));
  std::string longLine(100000, 'x');
  longLine[50000] = '.';
  std::string stored = "Subject: bytes\r\n\r\n.\r\n..two\r\n" + longLine +
                       "\r\n\xe4\xf6\xfc 8-bit \x80\xff\r\nbare\nlf\r\nlone\rcr\r\n.end";
  std::string wire = "Subject: bytes\r\n\r\n..\r\n...two\r\n" + longLine +
                     "\r\n\xe4\xf6\xfc 8-bit \x80\xff\r\nbare\r\nlf\r\nlonecr\r\n..end\r\n";
  std::string path = WriteOut(kSender, {"friend@far.example"}, stored);
  ASSERT_TRUE(PumpUntilIdle());
  std::vector<PeerMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].mailFrom, "FROM:<" + std::string(kSender) + "> SIZE=" +
                                 std::to_string(stored.size()));
  EXPECT_EQ(got[0].rcpts, std::vector<std::string>{"TO:<friend@far.example>"});
  EXPECT_TRUE(got[0].data == wire) << "got " << got[0].data.size() << " bytes, want " << wire.size();
  EXPECT_FALSE(SpoolExists(path));
  EXPECT_TRUE(IncomingTexts().empty());
}

// Each recipient gets its own answer: 250 delivers, 553 bounces that recipient
// alone, 450 leaves it pending in the parked file with a retry entry.
TEST_F(ClientTest, MixedRecipientRepliesDeliverBounceAndParkEachRecipient) {
  PeerScript script;
  script.rcpt["b@far.example"] = "450 mailbox busy";
  script.rcpt["c@far.example"] = "553 5.1.3 no such mailbox here";
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(2, 1), script));
  UseSmartHost(PeerAddress(2, 1));
  std::string message = "Subject: mixed\r\n\r\nbody\r\n";
  std::string path = WriteOut(kSender, {"a@far.example", "b@far.example", "c@far.example"}, message);
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(peer.Messages()[0].rcpts.size(), 3u);
  std::string parked = path.substr(0, path.size() - 1) + "r";
  ASSERT_TRUE(SpoolExists(parked));
  EXPECT_EQ(Envelope(parked), "From: " + std::string(kSender) +
                                  "\r\nto: a@far.example\r\nTo: b@far.example\r\nto: c@far.example\r\n\r\n");
  std::vector<RetryEntry> entries = RetryEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].host, "far.example");
  EXPECT_EQ(entries[0].path, parked);
  std::vector<std::string> bounces = IncomingTexts();
  ASSERT_EQ(bounces.size(), 1u);
  EXPECT_EQ(bounces[0], ExpectedBounce(kSender,
                               "Fatal error sending message: 553 5.1.3 no such mailbox here\r\n\r\n"
                               "Sending message to c@far.example",
                               message));
}

// Replies the peer gives instead of a plain one: every outcome is per recipient,
// and nothing that was only put off is ever bounced.
struct OutcomeCase {
  const char* name;
  PeerScript script;
  std::vector<std::string> recipients;
  bool delivered;          // the file is gone, nothing bounced
  bool parked;             // the file waits as .our
  const char* bounceReason;  // one bounce with this reason ("" = none)
};

TEST_F(ClientTest, PeerRepliesDecideRetryOrBounce) {
  std::vector<OutcomeCase> cases;
  {
    OutcomeCase c{"all recipients 4xx", {}, {"a@far.example", "b@far.example"}, false, true, ""};
    c.script.rcpt = {{"a@far.example", "450 later"}, {"b@far.example", "451 later"}};
    cases.push_back(c);
  }
  {
    OutcomeCase c{"unknown user", {}, {"u@far.example"}, false, false,
                  "User u@far.example unknown at destination site."};
    c.script.rcpt = {{"u@far.example", "550 5.1.1 unknown"}};
    cases.push_back(c);
  }
  {
    OutcomeCase c{"MAIL refused for good", {}, {"a@far.example"}, false, false,
                  "Fatal error sending message: Permanent error with Mail From: 553 sender "
                  "rejected\r\n\r\nSending message to a@far.example"};
    c.script.mail = "553 sender rejected";
    cases.push_back(c);
  }
  {
    OutcomeCase c{"MAIL put off", {}, {"a@far.example"}, false, true, ""};
    c.script.mail = "452 try later";
    cases.push_back(c);
  }
  {
    OutcomeCase c{"an unlisted 4xx after the data", {}, {"a@far.example"}, false, true, ""};
    c.script.dot = "432 odd but temporary";
    cases.push_back(c);
  }
  {
    OutcomeCase c{"421 at RCPT", {}, {"a@far.example"}, false, true, ""};
    c.script.rcpt = {{"a@far.example", "421 going down"}};
    cases.push_back(c);
  }
  {
    OutcomeCase c{"closed in the middle of the data", {}, {"a@far.example"}, false, true, ""};
    c.script.closeAfterDataBytes = 10;
    cases.push_back(c);
  }
  {
    OutcomeCase c{"a reply without a code", {}, {"a@far.example"}, false, true, ""};
    c.script.rcpt = {{"a@far.example", "hello there"}};
    cases.push_back(c);
  }
  {
    OutcomeCase c{"EHLO refused: HELO, plain SMTP", {}, {"a@far.example"}, true, false, ""};
    c.script.ehlo = "500 5.5.1 command unrecognized";
    cases.push_back(c);
  }
  {
    OutcomeCase c{"long multi-line replies", {}, {"a@far.example"}, true, false, ""};
    std::string ehlo;
    for (int i = 0; i < 300; ++i) ehlo += "250-X-LONG-" + std::string(1000, 'e') + "\r\n";
    c.script.ehlo = ehlo + "250 SIZE";
    c.script.mail = "250-" + std::string(5000, 'm') + "\r\n250-more\r\n250 sender ok";
    c.script.dot = "250-" + std::string(3000, 'd') + "\r\n250 queued";
    cases.push_back(c);
  }
  int block = 3;
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPeer peer;
    ASSERT_TRUE(peer.Start(PeerAddress(block, 1), c.script));
    UseSmartHost(PeerAddress(block, 1));
    std::string message = "Subject: case\r\n\r\nbody\r\n";
    std::string path = WriteOut(kSender, c.recipients, message);
    ASSERT_TRUE(PumpUntilIdle());
    std::string parked = path.substr(0, path.size() - 1) + "r";
    EXPECT_EQ(SpoolExists(parked), c.parked);
    EXPECT_FALSE(SpoolExists(path));
    std::vector<std::string> bounces = IncomingTexts();
    if (c.bounceReason[0]) {
      ASSERT_EQ(bounces.size(), 1u);
      EXPECT_EQ(bounces[0], ExpectedBounce(kSender, c.bounceReason, message));
    } else {
      EXPECT_TRUE(bounces.empty());
    }
    if (c.delivered) {
      EXPECT_EQ(peer.Messages().size(), 1u);
    }
    // Clean up for the next case: parked files, their entries, bounces.
    for (const RetryEntry& e : RetryEntries()) DeleteFromRetryQueue(e.id, "test");
    for (const std::string& dir : {In(), Out()})
      for (const std::string& f : QueueFilesIn(dir)) SpoolDelete(dir + f);
  }
}

// A peer that advertises SIZE smaller than the message gets no MAIL at all.
TEST_F(ClientTest, MessageOverThePeersSizeLimitIsBouncedWithoutMail) {
  PeerScript script;
  script.ehlo = "250-peer.test\r\n250 SIZE 1000";
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(4, 1), script));
  UseSmartHost(PeerAddress(4, 1));
  std::string message = "Subject: big\r\n\r\n" + std::string(2000, 'b') + "\r\n";
  WriteOut(kSender, {"a@far.example"}, message);
  ASSERT_TRUE(PumpUntilIdle());
  for (const std::string& c : peer.Commands()) EXPECT_NE(c.rfind("MAIL", 0), 0u) << c;
  std::vector<std::string> bounces = IncomingTexts();
  ASSERT_EQ(bounces.size(), 1u);
  EXPECT_EQ(bounces[0],
            ExpectedBounce(kSender,
                   "Fatal error sending message: Message to big: " + std::to_string(message.size()) +
                       " > 1000 allowed by host\r\n\r\nSending message to a@far.example",
                   message));
}

// A peer that will not serve (554 greeting) is a failed connection: the next
// smart host takes the message at once, whether the hosts are written bare or
// as address literals (used by their address).
TEST_F(ClientTest, RefusingGreetingMovesOnToTheNextSmartHost) {
  PeerScript refusing;
  refusing.greeting = "554 no service for you";
  for (bool bracketed : {false, true}) {
    SCOPED_TRACE(bracketed ? "[a.b.c.d]" : "a.b.c.d");
    int block = bracketed ? 28 : 5;
    RecordingPeer first, second;
    ASSERT_TRUE(first.Start(PeerAddress(block, 1), refusing));
    ASSERT_TRUE(second.Start(PeerAddress(block, 2), PeerScript()));
    auto written = [&](int host) {
      return bracketed ? "[" + PeerAddress(block, host) + "]" : PeerAddress(block, host);
    };
    UseSmartHost(written(1) + "; " + written(2));
    std::string path = WriteOut(kSender, {"a@far.example"}, "Subject: x\r\n\r\nbody\r\n");
    ASSERT_TRUE(PumpUntilIdle(8000));
    EXPECT_EQ(first.Messages().size(), 0u);
    EXPECT_EQ(second.Messages().size(), 1u);
    EXPECT_FALSE(SpoolExists(path));
    EXPECT_TRUE(RetryEntries().empty());
    EXPECT_TRUE(IncomingTexts().empty());
  }
}

// Smart hosts written as address literals lose their brackets; names, blanks
// and empty entries keep the list's usual rules.
// A host that offers STARTTLS and then breaks the handshake gets the message at
// once on a second connection in clear text; where TLS is required for it, the
// message waits for a retry instead and no clear-text MAIL is ever sent.
TEST_F(ClientTest, BrokenStartTlsHandshakeFallsBackToClearTextUnlessTlsIsRequired) {
  PeerScript script;
  script.ehlo = "250-peer.test hello\r\n250-STARTTLS\r\n250 8BITMIME";
  script.starttls = "220 go ahead";
  ServerSettings().useTls = true;
  struct Case {
    bool require;
    int block;
  };
  for (Case c : {Case{false, 30}, Case{true, 31}}) {
    SCOPED_TRACE(c.require ? "TLS required" : "TLS opportunistic");
    ServerSettings().smtpRequireTls = c.require;
    RecordingPeer peer;
    ASSERT_TRUE(peer.Start(PeerAddress(c.block, 1), script));
    UseSmartHost(PeerAddress(c.block, 1));
    std::string path = WriteOut(kSender, {"friend@far.example"}, "Subject: tls\r\n\r\nbody\r\n");
    if (!c.require) {
      ASSERT_TRUE(PumpUntilIdle());
      ASSERT_EQ(peer.Messages().size(), 1u);
      EXPECT_EQ(peer.Messages()[0].data, "Subject: tls\r\n\r\nbody\r\n");
      EXPECT_FALSE(SpoolExists(path));
      // One STARTTLS: the second connection went straight on in clear text.
      std::vector<std::string> commands = peer.Commands();
      EXPECT_EQ(std::count(commands.begin(), commands.end(), "STARTTLS"), 1) << ::testing::PrintToString(commands);
      EXPECT_EQ(peer.Connections(), 2);
    } else {
      ASSERT_TRUE(Pump([] { return CountOutgoingItems() == 0; }));
      EXPECT_TRUE(peer.Messages().empty());
      for (const std::string& command : peer.Commands()) EXPECT_NE(command.rfind("MAIL", 0), 0u);
      EXPECT_EQ(RetryEntries().size(), 1u);  // parked for its retry
      EXPECT_EQ(peer.Connections(), 1);
    }
    peer.Stop();
  }
  ServerSettings().smtpRequireTls = false;
  ServerSettings().useTls = false;
}

TEST(SmartHostListTest, AddressLiteralsBecomeBareAddresses) {
  struct Case {
    const char* text;
    std::vector<std::string> hosts;
  } cases[] = {
      {"[127.0.0.2]", {"127.0.0.2"}},
      {" [10.1.2.3] ;relay.example; 10.0.0.9 ;;", {"10.1.2.3", "relay.example", "10.0.0.9"}},
      {"[relay.example]", {"[relay.example]"}},  // not an address literal: kept as written
      {"[1.2.3]x", {"[1.2.3]x"}},
      {"[]", {"[]"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SmartHostList(c.text), c.hosts) << c.text;
}

// A peer that goes quiet is given up after the (here short) reply time-out and
// the message is retried, not bounced.
TEST_F(ClientTest, SilentPeerTimesOutAndTheMessageWaitsForARetry) {
  SetSmtpClientTimeouts(1, 1);
  PeerScript script;
  script.silentOn = "MAIL";
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(6, 1), script));
  UseSmartHost(PeerAddress(6, 1));
  std::string path = WriteOut(kSender, {"a@far.example"}, "Subject: x\r\n\r\nbody\r\n");
  ASSERT_TRUE(Pump([&] { return !RetryEntries().empty() && CountOutgoingItems() == 0; }, 15000));
  EXPECT_TRUE(SpoolExists(path.substr(0, path.size() - 1) + "r"));
  EXPECT_TRUE(IncomingTexts().empty());
  peer.Stop();
}

// A forced connection with nothing to send asks the smart host for our mail.
TEST_F(ClientTest, ForcedConnectionWithoutMailSendsEtrn) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(7, 1), PeerScript()));
  UseSmartHost(PeerAddress(7, 1));
  ServerSettings().netAlwaysPresent = false;
  OutgoingQueueStep(true);
  ASSERT_TRUE(Pump([&] {
    for (const std::string& c : peer.Commands())
      if (c == "ETRN mail.example.org") return true;
    return false;
  }));
  ASSERT_TRUE(Pump([] { return CountOutgoingItems() == 0; }));
}

// Eight files with LimitOutgoingMessages 5: five are sent at once, the others
// wait for a free place.
TEST_F(ClientTest, CapacityLimitsTheItemsSentAtOnce) {
  PeerScript slow;
  slow.dotDelayMs = 300;
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(8, 1), slow));
  UseSmartHost(PeerAddress(8, 1));
  for (int i = 0; i < 8; ++i) WriteOut(kSender, {"a@far.example"}, "Subject: n\r\n\r\nbody\r\n");
  OutgoingQueueStep(false);
  EXPECT_EQ(CountOutgoingItems(), 5);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(peer.Messages().size(), 8u);
  EXPECT_EQ(peer.MostAtOnce(), 5);
}

// Without a permanent network only the local nodes are reached at once; other
// mail waits for the next forced connection, which then sends it.
TEST_F(ClientTest, DialUpSendsLocalNodesAtOnceAndTheRestWithTheForcedConnection) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(9, 1), PeerScript()));
  ServerSettings().smartHost = PeerAddress(9, 1);
  ServerSettings().netAlwaysPresent = false;
  RegSetDword(kRootKey, "RouteToLocal", 1);
  RegSetDword(kRootKey, "NumLocalNodes", 1);
  RegSetString(kRootKey, "LocalNode01", "near.example");
  LoadLocalNodeList();
  // The local node's own mode: through the relay host too, but at once.
  RegSetString(std::string(kRootKey) + "\\Exceptions", "near.example", "1,1,0,0,,1,60,0,0,10");
  WriteOut(kSender, {"a@host.near.example"}, "Subject: near\r\n\r\nbody\r\n");
  std::string far = WriteOut(kSender, {"b@far.example"}, "Subject: far\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(peer.Messages()[0].rcpts, std::vector<std::string>{"TO:<a@host.near.example>"});
  EXPECT_TRUE(SpoolExists(far.substr(0, far.size() - 1) + "r"));
  OutgoingQueueStep(true);  // the forced connection is due
  ASSERT_TRUE(Pump([&] { return peer.Messages().size() == 2 && CountOutgoingItems() == 0; }));
  EXPECT_EQ(peer.Messages()[1].rcpts, std::vector<std::string>{"TO:<b@far.example>"});
  EXPECT_TRUE(RetryEntries().empty());
}

// A session that delivered is kept for the next message to its host; one the
// peer closed meanwhile is replaced by a new connection to the same host, not
// counted as that host's failure.
TEST_F(ClientTest, KeptSessionCarriesTheNextMessageAndAClosedOneIsReplaced) {
  auto first = std::make_unique<RecordingPeer>();
  RecordingPeer second;
  ASSERT_TRUE(first->Start(PeerAddress(10, 1), PeerScript()));
  ASSERT_TRUE(second.Start(PeerAddress(10, 2), PeerScript()));
  UseSmartHost(PeerAddress(10, 1) + ";" + PeerAddress(10, 2));
  WriteOut(kSender, {"a@far.example"}, "Subject: 1\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  WriteOut(kSender, {"b@far.example"}, "Subject: 2\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(first->Messages().size(), 2u);
  EXPECT_EQ(first->Connections(), 1);
  // The peer goes away and comes back; our kept session is stale.
  first->Stop();
  first = std::make_unique<RecordingPeer>();
  ASSERT_TRUE(first->Start(PeerAddress(10, 1), PeerScript()));
  std::string path = WriteOut(kSender, {"c@far.example"}, "Subject: 3\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(first->Messages().size(), 1u);
  EXPECT_TRUE(second.Messages().empty());
  EXPECT_FALSE(SpoolExists(path.substr(0, path.size() - 1) + "r"));
}

// The session's socket sends each piece at once: a message that wraps around the
// end of the send ring leaves in two sends, and under Nagle's rule the second
// would wait for the peer's delayed acknowledgement while the peer waits for the
// final dot, 40 ms for every such message.
TEST_F(ClientTest, SessionSocketSendsWithoutNaglesDelay) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(29, 1), PeerScript()));
  std::string path = WriteOut(kSender, {"a@far.example"}, "Subject: 1\r\n\r\nbody\r\n");
  auto request = std::make_shared<SmtpRequest>();
  request->fileName = PathFileName(path);
  request->sender = kSender;
  request->file = OpenShared(path, O_RDONLY);
  ASSERT_TRUE(request->file.valid());
  SmtpRequestRecipient recipient;
  recipient.address = "a@far.example";
  request->recipients.push_back(std::move(recipient));
  std::string why;
  std::shared_ptr<SmtpClientLink> link =
      SmtpConnect(PeerAddress(29, 1), "", "", false, request, nullptr, why);
  ASSERT_TRUE(link) << why;
  // The session alone, without the queue (which would take the file itself).
  auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) SleepMs(5);
    return done();
  };
  ASSERT_TRUE(waitFor([&] { return request->finished.load() && SmtpClientIsIdle(*link); }));
  int on = 0;
  socklen_t size = sizeof on;
  {
    std::lock_guard<std::mutex> g(link->lock);
    ASSERT_FALSE(link->gone);
    ASSERT_EQ(getsockopt(link->socket, IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  }
  EXPECT_NE(on, 0);
  EXPECT_EQ(peer.Messages().size(), 1u);
  SmtpClientFinish(*link, true);
  ASSERT_TRUE(waitFor([&] { return SmtpClientConnectionState(*link) == SmtpClientState::kGone; }));
}

// A resolver that fails on our side (not started here) is our fault: the message
// waits and postmaster is told, the sender gets no bounce.
TEST_F(ClientTest, ResolverFaultRetriesAndWarnsPostmaster) {
  std::string path = WriteOut(kSender, {"a@far.example"}, "Subject: x\r\n\r\nbody\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_TRUE(SpoolExists(path.substr(0, path.size() - 1) + "r"));
  std::vector<std::string> in = IncomingTexts();
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].substr(0, in[0].find("Date: ")),
            "From: root@mail.example.org\r\nOrigin: local\r\n"
            "To: postmaster@mail.example.org\r\n\r\n"
            "From: root@mail.example.org\r\nTo: postmaster@mail.example.org\r\n"
            "Subject: System warning\r\n");
  EXPECT_EQ(in[0].substr(in[0].find("\r\n\r\n", in[0].find("Date: ")) + 4),
            "Error resolving name for far.example: System error(-1)\r\n");
}

}  // namespace
