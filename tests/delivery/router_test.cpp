// The router: local delivery, aliases, forwards, copies, remote recipients,
// receipts, bounces, busy mailboxes, recipient limits and loops.
#include "server/accounts/router.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>

#include "server/core/log.h"
#include "tests/delivery/router_fixture.h"

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

TEST_F(RouterTest, LocalDeliveryByteForByte) {
  std::string body = "First line\r\n\r\nFrom the start of a line\r\n>From quoted\r\n.\r\nend\r\n";
  Spool("00000001.in", "bob@remote.example", {"alice@mail.example.org"}, Message("m1", body));
  RunQueue();
  EXPECT_TRUE(Files("*.in").empty());
  std::string box = Read(UserPath("alice"));
  std::string separator =
      "From bob@remote.example " + FormatLocalDate(DateStyle::kCtime, MailNow()) + "\r\n";
  ASSERT_EQ(box.substr(0, separator.size()), separator);
  std::string rest = box.substr(separator.size());
  EXPECT_EQ(rest.rfind("Received: by mail.example.org from localhost\r\n    (router,Corvel95 V1.0); ", 0), 0u)
      << rest;
  EXPECT_NE(rest.find("\r\nReceived: by mail.example.org from client.example"), std::string::npos) << rest;
  EXPECT_NE(rest.find("\r\nMessage-Id: <m1>\r\n"), std::string::npos);
  EXPECT_NE(rest.find("\r\n\r\nFirst line\r\n\r\n>From the start of a line\r\n>>From quoted\r\n.\r\nend\r\n\r\n"),
            std::string::npos)
      << rest;
  EXPECT_EQ(box.substr(box.size() - 4), "\r\n\r\n");
  MailboxIndex index = Index("alice");
  ASSERT_EQ(index.messages.size(), 1u);
  EXPECT_EQ(index.messages[0].messageId, "<m1>");
}

TEST_F(RouterTest, SeveralRecipientsAliasesAndRemotesInOneOutgoingFile) {
  Spool("00000001.in", "bob@remote.example",
        {"alice@mail.example.org", "x@remote.example", "sales", "Bob@MAIL.example.org",
         "y@other.example"},
        Message("m2"));
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 2u);  // directly and through the alias
  EXPECT_EQ(Index("bob").messages.size(), 1u);
  std::vector<std::string> outs = Files("*.out", false);
  ASSERT_EQ(outs.size(), 1u);
  std::string out = ReadIn(outs[0], false);
  EXPECT_EQ(out.rfind("From: bob@remote.example\r\nTo: x@remote.example\r\nTo: y@other.example\r\n\r\n", 0),
            0u)
      << out;
  EXPECT_TRUE(Files("*.in").empty());
}

// Remote recipients of dot-less hosts get this host's domain suffix on their way
// out: 250 of them fit into the incoming envelope but not into one outgoing
// envelope, which the router would not read back after a restart's requeue.
TEST_F(RouterTest, RemoteRecipientsBeyondOneEnvelopeGoIntoSeveralOutgoingFiles) {
  ServerSettings().limitRecipients = 250;
  std::vector<std::string> to;
  for (int i = 0; i < 250; ++i) to.push_back(std::string(116, 'a') + FormatText("%03d@hx", i));
  std::string path = Spool("00000001.in", "bob@remote.example", to, Message("m-split"));
  std::string in = Read(path);
  ASSERT_LE(in.find("\r\n\r\n") + 4, kRouterEnvelopeLimit);
  RunQueue();
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_TRUE(Files("*.err").empty());
  std::vector<std::string> outs = Files("*.out", false);
  ASSERT_EQ(outs.size(), 2u);
  std::vector<std::string> seen;
  for (const std::string& name : outs) {
    std::string out = ReadIn(name, false);
    RouterEnvelope env;
    std::string why;
    ASSERT_TRUE(ParseRouterEnvelope(out, true, 250, env, why)) << why;
    EXPECT_EQ(env.sender, "bob@remote.example");
    EXPECT_NE(out.find("Message-Id: <m-split>", size_t(env.messageOffset)), std::string::npos);
    for (const EnvelopeRecipient& r : env.recipients) seen.push_back(r.address);
  }
  std::vector<std::string> want;
  for (const std::string& t : to) want.push_back(t + ".example.org");
  EXPECT_EQ(seen, want);  // every recipient once, in order
}

TEST_F(RouterTest, MessageWithoutIdGoesRoundOnceMore) {
  Spool("00000001.in", "bob@remote.example", {"alice"},
        "Received: by mail.example.org from client.example\r\n    (x); y\r\n\r\nno headers\r\n");
  ASSERT_EQ(RouteIncomingQueue(), 0);
  EXPECT_FALSE(FileExists(ServerSettings().incomingDirectory + "00000001.in"));
  std::vector<std::string> ins = Files("*.in");
  ASSERT_EQ(ins.size(), 1u);
  std::string again = ReadIn(ins[0]);
  EXPECT_NE(again.find("Message-Id: <"), std::string::npos);
  EXPECT_NE(again.find("Subject: None\r\n"), std::string::npos);
  RunQueue();
  MailboxIndex index = Index("alice");
  ASSERT_EQ(index.messages.size(), 1u);
  EXPECT_FALSE(index.messages[0].messageId.empty());
  std::string box = Read(UserPath("alice"));
  EXPECT_NE(box.find("Date: "), std::string::npos);
}

TEST_F(RouterTest, BusyMailboxParksFileAndDeliversAfterRelease) {
  MailboxLock pop;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("Carol", kMailbox.pop3LockMs, pop, timedOut));
  Spool("00000001.in", "bob@remote.example", {"alice", "carol", "bob"}, Message("m3"));
  RouteIncomingQueue();
  std::vector<std::string> waiting = Files("*.inr");
  ASSERT_EQ(waiting.size(), 1u);
  std::string parked = ReadIn(waiting[0]);
  EXPECT_NE(parked.find("\r\nTo: carol\r\n"), std::string::npos) << parked;
  EXPECT_EQ(Count(parked, "\r\nto: "), 2u);
  EXPECT_EQ(Index("alice").messages.size(), 1u);
  EXPECT_EQ(Index("bob").messages.size(), 1u);
  // Within the minute the waiting file is not looked at again.
  EXPECT_EQ(RouteIncomingQueue(), 0);
  EXPECT_EQ(Files("*.inr").size(), 1u);
  UnlockMailbox(pop);
  ResetRouterState();  // a minute later
  RunQueue();
  EXPECT_TRUE(Files("*.inr").empty());
  EXPECT_EQ(Index("carol").messages.size(), 1u);
  EXPECT_EQ(Index("alice").messages.size(), 1u);
}

TEST_F(RouterTest, StillBusyWaitingFileStaysAsItIs) {
  MailboxLock pop;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("carol", 0, pop, timedOut));
  Spool("00000001.inr", "bob@remote.example", {"carol"}, Message("m4"));
  RouteIncomingQueue();
  EXPECT_TRUE(FileExists(ServerSettings().incomingDirectory + "00000001.inr"));
}

TEST_F(RouterTest, HundredTwentyRecipientsWithLimitFifty) {
  ServerSettings().limitRecipients = 50;
  std::vector<std::string> to;
  for (int i = 0; i < 120; ++i) to.push_back(i % 3 == 0 ? "alice" : i % 3 == 1 ? "bob" : "carol");
  Spool("00000001.in", "bob@remote.example", to, Message("m5"));
  RunQueue();
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_TRUE(Files("*.inr").empty());
  EXPECT_EQ(Index("alice").messages.size(), 40u);
  EXPECT_EQ(Index("bob").messages.size(), 40u);
  EXPECT_EQ(Index("carol").messages.size(), 40u);
}

TEST_F(RouterTest, BusyMailboxAmongManyRecipientsDoesNotStallOthers) {
  ServerSettings().limitRecipients = 2;
  MailboxLock pop;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("carol", 0, pop, timedOut));
  Spool("00000001.in", "bob@remote.example", {"carol", "carol", "alice", "bob", "alice"},
        Message("m6"));
  RouteIncomingQueue();
  EXPECT_EQ(Index("alice").messages.size(), 2u);
  EXPECT_EQ(Index("bob").messages.size(), 1u);
  ASSERT_EQ(Files("*.inr").size(), 1u);
  EXPECT_EQ(Count(ReadIn(Files("*.inr")[0]), "\r\nTo: carol"), 2u);
}

TEST_F(RouterTest, TenOwnReceivedLinesBounce) {
  std::string message;
  for (int i = 0; i < 10; ++i) message += "Received: by mail.example.org from x" + std::to_string(i) + "\r\n";
  message += "Message-Id: <loop>\r\nSubject: loop\r\n\r\nbody\r\n";
  Spool("00000001.in", "bob@mail.example.org", {"alice"}, message);
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 0u);
  std::string box = Read(UserPath("bob"));
  EXPECT_NE(box.find("Reason: Too many bounces have occured: 10, max = 9\r\n"), std::string::npos)
      << box;
  EXPECT_NE(box.find("Subject: Message rejected by system"), std::string::npos);
}

TEST_F(RouterTest, NineOwnReceivedLinesPass) {
  std::string message;
  for (int i = 0; i < 9; ++i) message += "Received: by mail.example.org from x" + std::to_string(i) + "\r\n";
  message += "Message-Id: <ok>\r\n\r\nbody\r\n";
  Spool("00000001.in", "bob@mail.example.org", {"alice"}, message);
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 1u);
}

TEST_F(RouterTest, UnknownUserBouncesToLocalSenderOthersDelivered) {
  Spool("00000001.in", "bob@mail.example.org", {"ghost", "alice"}, Message("m7"));
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 1u);
  std::string box = Read(UserPath("bob"));
  EXPECT_NE(box.find("Reason: User 'ghost' unknown\r\n"), std::string::npos) << box;
  EXPECT_NE(box.find("Message-Id: <m7>"), std::string::npos);  // the enclosure
}

TEST_F(RouterTest, BounceOfABounceGoesToRootOnly) {
  Spool("00000001.in", "MAILER-DAEMON@mail.example.org", {"ghost"}, Message("m8"));
  RunQueue();
  EXPECT_NE(Read(UserPath("root")).find("Reason: User 'ghost' unknown"), std::string::npos);
  // And nothing goes round again.
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_EQ(Index("root").messages.size(), 1u);
}

TEST_F(RouterTest, AllowUnknownAndSmarthost) {
  ServerSettings().allowUnknown = true;
  std::string why;
  ASSERT_TRUE(WriteAliasRecord("unknown", "root", "", why));
  Spool("00000001.in", "bob@remote.example", {"ghost"}, Message("m9"));
  RunQueue();
  EXPECT_EQ(Index("root").messages.size(), 1u);
  ServerSettings().allowUnknown = false;
  ServerSettings().forwardToSmarthost = true;
  ServerSettings().smartHost = "relay.example;backup.example";
  Spool("00000002.in", "bob@remote.example", {"ghost"}, Message("m10"));
  RunQueue();
  std::vector<std::string> outs = Files("*.out", false);
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_NE(ReadIn(outs[0], false).find("To: ghost@relay.example\r\n"), std::string::npos);
}

TEST_F(RouterTest, ForwardBecomesNewIncomingThenOutgoing) {
  std::string why;
  ASSERT_TRUE(WriteForwardRecord("fwd", "far@remote.example", "", why));
  Spool("00000001.in", "bob@remote.example", {"fwd"}, Message("m11"));
  ASSERT_EQ(RouteIncomingQueue(), 0);
  std::vector<std::string> ins = Files("*.in");
  ASSERT_EQ(ins.size(), 1u);
  EXPECT_EQ(ReadIn(ins[0]).rfind("From: bob@remote.example\r\nTo: far@remote.example\r\n\r\n", 0), 0u);
  RunQueue();
  std::vector<std::string> outs = Files("*.out", false);
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_NE(ReadIn(outs[0], false).find("To: far@remote.example\r\n"), std::string::npos);
}

// The mark of mail we submitted follows the copies the router makes (a forward's
// new incoming file, a remote recipient's outgoing file); mail from outside
// forwarded on never gains it, whatever domain its sender claims.
TEST_F(RouterTest, SubmittedMarkFollowsCopiesAndOutsideMailNeverGainsIt) {
  std::string why;
  ASSERT_TRUE(WriteForwardRecord("fwd", "far@remote.example", "", why));
  Spool("00000001.in", "bob@mail.example.org", {"fwd"}, Message("m20"));
  RunQueue();
  std::vector<std::string> outs = Files("*.out", false);
  ASSERT_EQ(outs.size(), 1u);
  std::string outside = ReadIn(outs[0], false);
  EXPECT_EQ(outside.find("Origin: local"), std::string::npos) << outside;
  ASSERT_TRUE(RetireSpoolFile(ServerSettings().outgoingDirectory + outs[0]));

  std::string path = Spool("00000002.in", "bob@mail.example.org", {"fwd", "x@elsewhere.example"},
                           Message("m21"));
  std::string text = Read(path);
  Write(path, text.insert(text.find("\r\n") + 2, "Origin: local\r\n"));
  RunQueue();
  outs = Files("*.out", false);
  ASSERT_EQ(outs.size(), 2u);
  for (const std::string& name : outs) {
    std::string out = ReadIn(name, false);
    EXPECT_EQ(out.rfind("From: bob@mail.example.org\r\nOrigin: local\r\nTo: ", 0), 0u) << out;
    OutgoingEnvelope env;
    ASSERT_EQ(ParseOutgoingEnvelope(out, true, env, why), 1) << why;
    EXPECT_TRUE(env.submittedHere);
  }
}

TEST_F(RouterTest, ForwardLoopBetweenLocalAccountsEnds) {
  std::string why;
  ASSERT_TRUE(WriteForwardRecord("ping", "pong@mail.example.org", "", why));
  ASSERT_TRUE(WriteForwardRecord("pong", "ping@mail.example.org", "", why));
  Spool("00000001.in", "bob@mail.example.org", {"ping"}, Message("m12"));
  RunQueue(100);
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_NE(Read(UserPath("bob")).find("Too many bounces have occured"), std::string::npos);
}

TEST_F(RouterTest, CarbonCopyAndReceipt) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("dave", "Dave", UserPath("dave"), "", "carol@mail.example.org", "", why));
  std::string message = Message("m13");
  message.insert(0, "Return-receipt-to: bob@mail.example.org\r\n");
  Spool("00000001.in", "bob@remote.example", {"dave"}, message);
  RunQueue();
  EXPECT_EQ(Index("dave").messages.size(), 1u);
  EXPECT_EQ(Index("carol").messages.size(), 1u);
  std::string receipt = Read(UserPath("bob"));
  EXPECT_NE(receipt.find("Subject: Receipt for received message\r\n"), std::string::npos) << receipt;
  EXPECT_NE(receipt.find("Message delivered:\r\nSubject: 'test m13'\r\nTo: 'dave@mail.example.org'"),
            std::string::npos)
      << receipt;
}

TEST_F(RouterTest, BulkMessageGetsNoReceipt) {
  std::string message = Message("m14");
  message.insert(0, "Return-receipt-to: bob@mail.example.org\r\nPrecedence: Bulk\r\n");
  Spool("00000001.in", "bob@remote.example", {"alice"}, message);
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 1u);
  EXPECT_FALSE(FileExists(UserPath("bob")));
}

TEST_F(RouterTest, NullMailboxDiscards) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("void", "Void", "null", "", "", "", why));
  Spool("00000001.in", "bob@remote.example", {"void"}, Message("m15"));
  RunQueue();
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_TRUE(QueueFiles().empty());
}

TEST_F(RouterTest, SecondaryDomainRules) {
  std::string why;
  ASSERT_GE(AddSecondaryDomain("Other", "other.example", why), 1) << why;
  ASSERT_TRUE(LoadSecondaryDomains(why));
  ASSERT_TRUE(WriteUserRecord("eve", "Eve", UserPath("eve"), "", "", "other.example", why));
  ASSERT_TRUE(WriteAliasRecord("info", "alice@mail.example.org", "other.example", why));
  Spool("00000001.in", "bob@mail.example.org", {"eve@other.example", "info@OTHER.example"},
        Message("m16"));
  RunQueue();
  EXPECT_FALSE(FileExists(UserPath("eve")));
  EXPECT_NE(Read(UserPath("bob")).find("Reason: Secondary domain cannot contain user accounts."),
            std::string::npos);
  EXPECT_EQ(Index("alice").messages.size(), 1u);
}

TEST_F(RouterTest, SpecialAccountsWithoutHandlerBounce) {
  std::string why;
  ASSERT_TRUE(WriteListRecord("news", "News", "news", "root", "", why));
  Spool("00000001.in", "bob@mail.example.org", {"news"}, Message("m17"));
  RunQueue();
  EXPECT_NE(Read(UserPath("bob")).find("Reason: Error processing special format.\r\n"),
            std::string::npos);
}

TEST_F(RouterTest, SpecialAccountHandlerCanReroute) {
  std::string why;
  ASSERT_TRUE(WriteResponderRecord("auto", "Auto", "auto", "", why));
  RouterHandlers().responder = [](const SpecialDelivery& in, SpecialResult& out) {
    out.ok = in.account == "auto" && in.type == kAccountResponder && in.spoolFd >= 0;
    out.reroute = true;
    out.rerouteAddress = "carol";
  };
  Spool("00000001.in", "bob@mail.example.org", {"auto"}, Message("m18"));
  RunQueue();
  EXPECT_EQ(Index("carol").messages.size(), 1u);
  EXPECT_FALSE(FileExists(UserPath("bob")));
}

TEST_F(RouterTest, OwnerPrefixReachesListOwner) {
  std::string why;
  ASSERT_TRUE(WriteListRecord("news", "News", "news", "carol", "", why));
  Spool("00000001.in", "bob@remote.example", {"owner-news"}, Message("m19"));
  RunQueue();
  EXPECT_EQ(Index("carol").messages.size(), 1u);
}

TEST_F(RouterTest, UnreadableEnvelopeSetAsideAndBouncedToRoot) {
  Write(ServerSettings().incomingDirectory + "00000001.in", "garbage without an envelope\r\n");
  RunQueue();
  EXPECT_TRUE(FileExists(ServerSettings().incomingDirectory + "00000000.err"));
  EXPECT_NE(Read(UserPath("root")).find("Unable to determine envelope for 00000001.in."),
            std::string::npos);
  EXPECT_TRUE(RouterIgnoreList().empty());
}

TEST_F(RouterTest, UnresolvableRecipientBounces) {
  Spool("00000001.in", "bob@mail.example.org", {"a@@b@mail.example.org", "alice"}, Message("m20"));
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 1u);
  EXPECT_NE(Read(UserPath("bob")).find("Reason: Unable to resolve name"), std::string::npos);
}

TEST_F(RouterTest, FileHeldByAnotherOpenerIsLeftForLater) {
  std::string path = Spool("00000001.in", "bob@remote.example", {"alice"}, Message("m21"));
  UniqueFd holder = OpenExclusive(path, O_RDONLY);
  ASSERT_TRUE(holder.valid());
  RouteIncomingQueue();
  EXPECT_TRUE(FileExists(path));
  EXPECT_FALSE(FileExists(UserPath("alice")));
  holder.reset();
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 1u);
}

TEST_F(RouterTest, AtMostABatchOfFilesPerCall) {
  const int files = 2 * kRouter.filesPerCall + 5;
  for (int i = 0; i < files; ++i) {
    char name[32];
    snprintf(name, sizeof name, "%08x.in", i + 1);
    Spool(name, "bob@remote.example", {"alice"}, Message("n" + std::to_string(i)));
  }
  EXPECT_EQ(RouteIncomingQueue(), 1);
  EXPECT_EQ(Index("alice").messages.size(), size_t(kRouter.filesPerCall));
  EXPECT_EQ(RouteIncomingQueue(), 1);
  EXPECT_EQ(RouteIncomingQueue(), 0);
  EXPECT_EQ(Index("alice").messages.size(), size_t(files));
}

TEST_F(RouterTest, RouteSpoolFileReportsPassResults) {
  std::string path = Spool("00000001.in", "bob@remote.example", {"alice", "bob"}, Message("m22"));
  SpoolRouteResult r;
  ASSERT_TRUE(RouteSpoolFile(path, true, r));
  EXPECT_TRUE(r.allDone);
  EXPECT_FALSE(r.locked);
  EXPECT_EQ(Count(Read(path), "\r\nto: "), 2u);
}

// The extra pass of a message without Message-id cannot be written: the file
// waits with its lines pending, nothing is bounced or lost.
TEST_F(RouterTest, FailedRequeueLeavesFileWaiting) {
  std::string path = Spool("00000001.in", "bob@remote.example", {"alice"},
                           "Subject: none\r\n\r\n" + std::string(4000, 'z') + "\r\n");
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  RouteIncomingQueue();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  std::vector<std::string> waiting = Files("*.inr");
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_NE(ReadIn(waiting[0]).find("\r\nTo: alice\r\n"), std::string::npos);
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_TRUE(Files("*.wrm").empty());
  ResetRouterState();
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 1u);
}

// A full disk while copying into a mailbox: the mailbox is cut back to where it
// was and the recipient waits (the file is parked), instead of being bounced.
TEST_F(RouterTest, FullDiskDefersAndLeavesMailboxWhole) {
  std::string before = "From x@y Tue Nov 14 22:13:20 2023\r\nMessage-id: <old>\r\n\r\n" +
                       std::string(10000, 'o') + "\r\n\r\n";
  Write(UserPath("alice"), before);
  Spool("00000001.in", "bob@mail.example.org", {"alice"}, Message("big", std::string(8000, 'b') + "\r\n"));
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = before.size() + 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  RouteIncomingQueue();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(Read(UserPath("alice")), before);
  EXPECT_FALSE(FileExists(UserPath("bob")));  // no bounce
  ASSERT_EQ(Files("*.inr").size(), 1u);
  ResetRouterState();
  RunQueue();
  EXPECT_EQ(Index("alice").messages.size(), 2u);
  EXPECT_TRUE(Files("*.inr").empty());
}

}  // namespace
