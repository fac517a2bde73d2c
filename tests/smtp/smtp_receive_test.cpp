// Mail reception dialogues: every accepted message is a committed .in file whose
// bytes are checked whole; refusals, relaying, dots, long lines, aborted and
// broken-off transactions leave no temporary behind.
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <set>

#include "server/accounts/accounts.h"
#include "server/smtp/smtp_words.h"
#include "server/spool/spool.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

// The incoming directory's flush as the sessions' commits run it: the .in files
// present when a flush began are durable once it has ended well.
std::mutex gFlushMutex;
std::set<std::string> gDurable;
bool gFlushFails = false;

bool RecordingFlush(const std::string& dir) {
  std::vector<std::string> present = ListFiles(dir, "*.in");
  bool fails;
  {
    std::lock_guard<std::mutex> lock(gFlushMutex);
    fails = gFlushFails;
  }
  bool ok = !fails && SyncDirectory(dir);
  std::lock_guard<std::mutex> lock(gFlushMutex);
  if (ok) gDurable.insert(present.begin(), present.end());
  return ok;
}

void FailFlushes(bool fail) {
  std::lock_guard<std::mutex> lock(gFlushMutex);
  gFlushFails = fail;
}

bool IsDurable(const std::string& name) {
  std::lock_guard<std::mutex> lock(gFlushMutex);
  return gDurable.count(name) != 0;
}

class SmtpReceiveTest : public SmtpServerTest {
 protected:
  void SetUp() override {
    SmtpServerTest::SetUp();
    std::string why;
    ASSERT_TRUE(WriteUserRecord("alice", "Alice Smith", home + "alice.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteUserRecord("root", "root", home + "root.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteAliasRecord("al", "alice", "", why)) << why;
    ASSERT_TRUE(WriteUserRecord("unknown", "x", home + "u.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("team", "The Team", "team", "alice@mail.test", "", why)) << why;
  }

  // The committed file of the reply "250 OK, Submitted & queued (NAME)".
  std::string Committed(const std::string& reply) {
    const std::string head = "250 OK, Submitted & queued (";
    if (reply.compare(0, head.size(), head) != 0 || reply.back() != ')') return "<" + reply + ">";
    std::string name = reply.substr(head.size(), reply.size() - head.size() - 1);
    return InFile(name);
  }

  // The envelope a session of the test's client (127.0.0.1) writes: with the
  // mark of mail we submitted while RelayNetworks holds the client.
  std::string Envelope(const std::string& from, std::vector<std::string> to) {
    std::string e = "From: " + from + "\r\n";
    in_addr client{};
    inet_pton(AF_INET, "127.0.0.1", &client);
    if (IsRelayClient(client, ParseRelayNetworks(ServerSettings().relayNetworks)))
      e += "Origin: local\r\n";
    for (const std::string& t : to) e += "To: " + t + "\r\n";
    return e + "\r\n";
  }
};

TEST_F(SmtpReceiveTest, AMessageIsCommittedByteForByte) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<sender@remote.test> SIZE=100"), "250 OK, can accomodate 100 bytes");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("RCPT TO:<Al@MAIL.TEST>"), "250 OK, Al@MAIL.TEST");
  EXPECT_EQ(c.Ask("RCPT TO:<bob@far.test>"), "250 OK, bob@far.test");
  EXPECT_EQ(c.Ask("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
  std::string longLine(5000, 'x');
  longLine[2047] = 'A';
  longLine[4094] = 'B';
  std::string longDotted = "." + std::string(3000, 'd');
  std::string body = "Subject: test\r\n"
                     "\r\n"
                     "..\r\n"
                     ". \r\n"
                     "...two\r\n" +
                     longLine + "\r\n" + "." + longDotted + "\r\n" + std::string(2047, 'e') +
                     "\r\n" + std::string(2046, 'f') + "\r\n" + "last\r\n";
  ASSERT_TRUE(c.SendRaw(body));
  std::string reply = c.Ask(".");
  std::string stored = Committed(reply);
  std::string expectBody = "Subject: test\r\n"
                           "\r\n"
                           ".\r\n"
                           " \r\n"
                           "..two\r\n" +
                           longLine + "\r\n" + longDotted + "\r\n" + std::string(2047, 'e') +
                           "\r\n" + std::string(2046, 'f') + "\r\n" + "last\r\n";
  EXPECT_EQ(stored, Envelope("sender@remote.test",
                             {"alice@mail.test", "Al@mail.test", "bob@far.test"}) +
                        Received("client.test") + expectBody);
  EXPECT_TRUE(Files("*.wrm").empty());
  EXPECT_EQ(c.Ask("QUIT"), "221 mail.test Service Closing");
}

TEST_F(SmtpReceiveTest, SeveralMessagesInOneSession) {
  SmtpClient c(port);
  Hello(c, false);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(c.Ask("MAIL FROM:<s@remote.test>"), "250 OK");
    EXPECT_EQ(c.Ask("RCPT TO:<root>"), "250 OK, root");
    EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
    c.Send("n " + std::to_string(i));
    std::string stored = Committed(c.Ask("."));
    EXPECT_EQ(stored, Envelope("s@remote.test", {"root@mail.test"}) + Received("client.test") +
                          "n " + std::to_string(i) + "\r\n");
  }
  EXPECT_EQ(Files("*.in").size(), 3u);
}

TEST_F(SmtpReceiveTest, EmptyReversePathIsTheMailerDaemon) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<> SIZE=100"), "250 OK, can accomodate 100 bytes");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  std::string stored = Committed(c.Ask("."));
  EXPECT_EQ(stored.rfind(Envelope("mailer-daemon@mail.test", {"alice@mail.test"}), 0), 0u);
}

TEST_F(SmtpReceiveTest, DeclaredSizesAreChecked) {
  ServerSettings().maxEsmtpSize = 1000;
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test> SIZE=0"), "552 Exceeded storage limit.");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "550 Syntax error");  // no transaction
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test> SIZE=1001"), "552 Exceeded storage limit.");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test> SIZE=99999999999999999999999"),
            "552 Exceeded storage limit.");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test> SIZE=1000"), "250 OK, can accomodate 1000 bytes");
  EXPECT_TRUE(Files("*.wrm").size() == 1u);
}

TEST_F(SmtpReceiveTest, AMessageLargerThanTheLimitIsRefusedAfterItsEnd) {
  ServerSettings().maxEsmtpSize = 1000;
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  for (int i = 0; i < 30; ++i) c.Send(std::string(100, 'z'));
  EXPECT_EQ(c.Ask("."), "552 Exceeded storage limit.");
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_TRUE(Files("*.wrm").empty());
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
}

TEST_F(SmtpReceiveTest, BadCommandsInATransaction) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:a@b.test"), "501 Syntax error in parameters.");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:alice"), "501 Syntax error in parameters.");
  EXPECT_EQ(c.Ask("RCPT TO:<a@b@c@>"), "553 Mailbox incorrect 'a@b@c@'.");
  EXPECT_EQ(c.Ask("MAIL FROM:<x@y.test>"), "550 Syntax error");
  EXPECT_EQ(c.Ask("HELO again"), "550 Syntax error");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
}

TEST_F(SmtpReceiveTest, DataWithoutRecipientsIsALocalError) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<nobody@mail.test>"),
            "550 Action not taken, supposed local user 'nobody@mail.test' does not exist.");
  EXPECT_EQ(c.Ask("DATA"), "451 Requested action aborted; local error in processing.");
  EXPECT_TRUE(Files("*.wrm").empty());
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "550 Syntax error");
}

TEST_F(SmtpReceiveTest, UnknownLocalUsersAndAllowUnknown) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  // "unknown" is an account name that never counts as existing.
  EXPECT_EQ(c.Ask("RCPT TO:<unknown@mail.test>"),
            "550 Action not taken, supposed local user 'unknown@mail.test' does not exist.");
  ServerSettings().allowUnknown = true;
  EXPECT_EQ(c.Ask("RCPT TO:<nobody@mail.test>"), "250 OK, nobody@mail.test");
}

TEST_F(SmtpReceiveTest, OwnerOfAListReachesTheListOwner) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<owner-team@mail.test>"), "250 OK, owner-team@mail.test");
  // An owner- address of an account that is not a list is an unknown user.
  EXPECT_EQ(c.Ask("RCPT TO:<owner-alice@mail.test>"),
            "550 Action not taken, supposed local user 'owner-alice@mail.test' does not exist.");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  std::string stored = Committed(c.Ask("."));
  std::string envelope = Envelope("a@b.test", {"alice@mail.test"});
  EXPECT_EQ(stored.substr(0, envelope.size()), envelope);
}

TEST_F(SmtpReceiveTest, RsetAfterTwoRecipientsDeletesTheTemporary) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("RCPT TO:<root@mail.test>"), "250 OK, root@mail.test");
  auto before = Files("*.wrm");
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(c.Ask("RSET"), "250 OK");
  EXPECT_TRUE(Files("*.wrm").empty());
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "550 Syntax error");
  EXPECT_EQ(c.Ask("MAIL FROM:<a2@b.test>"), "250 OK");
  EXPECT_EQ(Files("*.wrm").size(), 1u);
  EXPECT_EQ(c.Ask("RCPT TO:<root@mail.test>"), "250 OK, root@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  std::string envelope = Envelope("a2@b.test", {"root@mail.test"});
  EXPECT_EQ(Committed(c.Ask(".")).substr(0, envelope.size()), envelope);
}

// Regression: the host must not relay for strangers.
TEST_F(SmtpReceiveTest, RelayingIsDeniedOutsideRelayNetworks) {
  ServerSettings().relayNetworks = "10.0.0.0/8;192.168.0.0/16";
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<spammer@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<victim@far.test>"), "550 Relaying denied.");
  EXPECT_EQ(c.Ask("RCPT TO:<victim@[10.1.1.1]>"), "550 Relaying denied.");
  // Local recipients are still taken and the transaction goes on.
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  EXPECT_EQ(Committed(c.Ask(".")), Envelope("spammer@b.test", {"alice@mail.test"}) +
                                       Received("client.test"));
}

TEST_F(SmtpReceiveTest, RelayingForRelayNetworksAndReplyWithForward) {
  ServerSettings().relayNetworks = "127.0.0.1";
  ServerSettings().replyWithForward = true;
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<bob@far.test>"), "251 User not local; will forward, bob@far.test.");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  EXPECT_EQ(Committed(c.Ask(".")), Envelope("a@b.test", {"bob@far.test"}) + Received("client.test"));
}

TEST_F(SmtpReceiveTest, SecondaryDomainRecipientsAreLocal) {
  std::string why;
  ASSERT_GT(AddSecondaryDomain("Virtual", "virtual.test", why), 0) << why;
  ASSERT_TRUE(LoadSecondaryDomains(why)) << why;
  ASSERT_TRUE(WriteUserRecord("carol", "Carol", home + "carol.mbx", "", "", "virtual.test", why));
  ServerSettings().relayNetworks = "";
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<carol@virtual.test>"), "250 OK, carol@virtual.test");
  EXPECT_EQ(c.Ask("RCPT TO:<dave@virtual.test>"),
            "550 Action not taken, supposed local user 'dave@virtual.test' does not exist.");
  EXPECT_EQ(c.Ask("RCPT TO:<carol@elsewhere.test>"), "550 Relaying denied.");
}

TEST_F(SmtpReceiveTest, MailBeforeHeloWithoutStrictAdherence) {
  ServerSettings().strictSmtpAdherence = false;
  SmtpClient c(port);
  c.Reply();
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  // Plain SMTP: no ETRN.
  EXPECT_EQ(c.Ask("ETRN x"), "550 Syntax error");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  EXPECT_EQ(Committed(c.Ask(".")),
            Envelope("a@b.test", {"alice@mail.test"}) + Received("[127.0.0.1]"));
}

TEST_F(SmtpReceiveTest, HeloWithoutNameWithoutStrictAdherence) {
  ServerSettings().strictSmtpAdherence = false;
  SmtpClient c(port);
  c.Reply();
  EXPECT_EQ(c.Ask("HELO"), "250 mail.test");
}

TEST_F(SmtpReceiveTest, SendSomlSamlAnswerWithTheForwardForm) {
  SmtpClient c(port);
  Hello(c);
  for (const char* verb : {"SEND", "SOML", "SAML"}) {
    EXPECT_EQ(c.Ask(std::string(verb) + " FROM:<a@b.test>"), "250 OK");
    EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
    EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
    std::string reply = c.Ask(".");
    EXPECT_EQ(reply.substr(0, 54),
              "251 User not local; will forward, Submitted & queued (")
        << reply;
  }
  EXPECT_EQ(Files("*.in").size(), 3u);
}

TEST_F(SmtpReceiveTest, LongCommandLinesAreRefusedAndTheSessionGoesOn) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("NOOP " + std::string(3000, 'n')), "550 Syntax error");
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
  // A 1 MB line: one refusal, nothing else.
  EXPECT_EQ(c.Ask("MAIL FROM:<" + std::string(1 << 20, 'm') + ">"), "550 Syntax error");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<" + std::string(2100, 'r') + "@mail.test>"), "550 Syntax error");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  // A line of exactly 2047 bytes is still a command.
  std::string exact = "NOOP " + std::string(2042, 'k');
  ASSERT_EQ(exact.size(), 2047u);
  EXPECT_EQ(c.Ask(exact), "250 OK");
}

// Found by fuzzing the command parser: 0x8A and 0x8D in an address the reply
// echoes became LF and CR on the wire, so the peer's text after them read as a
// reply of its own ("250 ..."), and every later reply was off by one.
TEST_F(SmtpReceiveTest, EightBitBytesInAnEchoedAddressNeverSplitTheReply) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<no\x8a" "250 faked\x8d@mail.test>"),
            "550 Action not taken, supposed local user 'no?250 faked?@mail.test' does not exist.");
  EXPECT_EQ(c.Ask("RCPT TO:<x\x80@b@c@>"), "553 Mailbox incorrect 'x?@b@c@'.");
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
}

TEST_F(SmtpReceiveTest, NulBytesInCommandsAreRefusedAndKeptInData) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask(std::string("MAIL FROM:<a@b.test>\0<x@y>", 27)), "550 Syntax error");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  c.Send(std::string("a\0b", 3));
  EXPECT_EQ(Committed(c.Ask(".")), Envelope("a@b.test", {"alice@mail.test"}) +
                                       Received("client.test") + std::string("a\0b\r\n", 5));
}

TEST_F(SmtpReceiveTest, PipelinedCommandsAndAnEndSplitAcrossWrites) {
  SmtpClient c(port);
  c.Reply();
  ASSERT_TRUE(c.SendRaw("EHLO p.test\r\nMAIL FROM:<a@b.test>\r\nRCPT TO:<alice@mail.test>\r\n"
                        "RCPT TO:<root@mail.test>\r\nDATA\r\n"));
  EXPECT_EQ(c.Reply().substr(0, 4), "250-");
  EXPECT_EQ(c.Reply(), "250 OK");
  EXPECT_EQ(c.Reply(), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Reply(), "250 OK, root@mail.test");
  EXPECT_EQ(c.Reply().substr(0, 3), "354");
  ASSERT_TRUE(c.SendRaw("body\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(c.SendRaw("\r"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(c.SendRaw("\n."));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(c.SendRaw("\r\nNOOP\r\n"));
  EXPECT_EQ(Committed(c.Reply()), Envelope("a@b.test", {"alice@mail.test", "root@mail.test"}) +
                                      Received("p.test") + "body\r\n\r\n");
  EXPECT_EQ(c.Reply(), "250 OK");
}

TEST_F(SmtpReceiveTest, AClientThatDoesNotReadItsRepliesLosesNone) {
  SmtpClient c(port, 30);
  Hello(c);
  constexpr int kCommands = 5000;  // 30 KB of replies, far more than the send ring
  std::string burst;
  for (int i = 0; i < kCommands; ++i) burst += "NOOP\r\n";
  ASSERT_TRUE(c.SendRaw(burst));
  int ok = 0;
  for (int i = 0; i < kCommands; ++i)
    if (c.Reply() == "250 OK") ++ok;
  EXPECT_EQ(ok, kCommands);
  EXPECT_EQ(c.Ask("QUIT"), "221 mail.test Service Closing");
}

TEST_F(SmtpReceiveTest, AFailedTemporaryIsALocalError) {
  // Without an incoming directory no temporary can be made.
  std::string cmd = "rm -rf '" + ServerSettings().incomingDirectory + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "451 Requested action aborted; local error in processing.");
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
}

TEST_F(SmtpReceiveTest, DisconnectInTheMiddleOfDataLeavesNoTemporary) {
  {
    SmtpClient c(port);
    Hello(c);
    EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
    EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
    EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
    c.SendRaw(std::string(20000, 'q') + "\r\npartial");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Files("*.wrm").size(), 1u);
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_TRUE(Files("*.wrm").empty());
  EXPECT_TRUE(Files("*.in").empty());
}

TEST_F(SmtpReceiveTest, PartialMessageNoticeGoesToTheSender) {
  ConfigSetBool("", "NotifyPartialRcv", true);
  {
    SmtpClient c(port);
    Hello(c);
    EXPECT_EQ(c.Ask("MAIL FROM:<root@mail.test>"), "250 OK");
    EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
    EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
    c.Send("half a message");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.Abort();
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_TRUE(Files("*.wrm").empty());
  auto notices = Files("*.in");
  ASSERT_EQ(notices.size(), 1u);
  std::string notice = InFile(notices[0]);
  EXPECT_NE(notice.find("To: root@mail.test"), std::string::npos) << notice;
  EXPECT_NE(notice.find("Notice of partial message"), std::string::npos) << notice;
  EXPECT_NE(notice.find("Partial message from you received by node 'mail.test'."),
            std::string::npos)
      << notice;
}

TEST_F(SmtpReceiveTest, AbruptDisconnectsAtEveryStepLeakNothing) {
  const std::vector<std::string> script = {
      "EHLO x.test", "MAIL FROM:<a@b.test>", "RCPT TO:<alice@mail.test>", "DATA", "line", "."};
  for (size_t cut = 0; cut <= script.size(); ++cut) {
    for (bool reset : {false, true}) {
      SmtpClient c(port);
      ASSERT_TRUE(c.ok());
      for (size_t i = 0; i < cut; ++i) c.Send(script[i]);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (reset)
        c.Abort();
      else
        c.Close();
    }
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_TRUE(Files("*.wrm").empty());
  // Only the sessions that sent the final dot may have committed a message.
  EXPECT_LE(Files("*.in").size(), 2u);
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
}

TEST_F(SmtpReceiveTest, GarbageThenWellFormedCommands) {
  std::string garbage;
  uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1103515245 + 12345;
    garbage += char(x >> 16);
  }
  {
    SmtpClient c(port);
    c.SendRaw(garbage);
    c.SendRaw("\r\n");
    c.Close();
  }
  SmtpClient c(port);
  c.Reply();
  c.SendRaw(std::string("\x01\x02\xff\xfe\0\r\n", 7));
  EXPECT_EQ(c.Reply(), "550 Syntax error");
  EXPECT_EQ(c.Ask("EHLO x.test").substr(0, 4), "250-");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  c.SendRaw(garbage.substr(0, 50000));
  c.SendRaw("\r\n");
  std::string reply = c.Ask(".");
  EXPECT_EQ(reply.substr(0, 28), "250 OK, Submitted & queued (") << reply;
  c.Close();
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_TRUE(Files("*.wrm").empty());
}

TEST_F(SmtpReceiveTest, ManyParallelSessionsEachCommitTheirMessages) {
  constexpr int kSessions = 50;
  constexpr int kMessages = 4;
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kSessions; ++t) {
    threads.emplace_back([&, t] {
      SmtpClient c(port, 60);
      if (!c.ok() || c.Reply().substr(0, 3) != "220") return;
      if (c.Ask("HELO t" + std::to_string(t)) != "250 mail.test") return;
      for (int m = 0; m < kMessages; ++m) {
        if (c.Ask("MAIL FROM:<s" + std::to_string(t) + "@b.test>") != "250 OK") return;
        if (c.Ask("RCPT TO:<alice@mail.test>").substr(0, 3) != "250") return;
        if (c.Ask("DATA").substr(0, 3) != "354") return;
        c.SendRaw("Subject: " + std::to_string(t) + "/" + std::to_string(m) + "\r\n\r\n" +
                  std::string(2000, 'b') + "\r\n");
        if (c.Ask(".").substr(0, 28) == "250 OK, Submitted & queued (") ++accepted;
      }
      c.Ask("QUIT");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(accepted.load(), kSessions * kMessages);
  EXPECT_EQ(Files("*.in").size(), size_t(kSessions * kMessages));
  ASSERT_TRUE(WaitForSessionsToEnd(30));
  EXPECT_TRUE(Files("*.wrm").empty());
}

// The name in "250 OK, Submitted & queued (NAME)", or "".
std::string QueuedName(const std::string& reply) {
  const std::string head = "250 OK, Submitted & queued (";
  if (reply.compare(0, head.size(), head) != 0 || reply.back() != ')') return "";
  return reply.substr(head.size(), reply.size() - head.size() - 1);
}

class SmtpDurableTest : public SmtpReceiveTest {
 protected:
  void SetUp() override {
    SmtpReceiveTest::SetUp();
    std::lock_guard<std::mutex> lock(gFlushMutex);
    gDurable.clear();
    gFlushFails = false;
    SetSpoolDirectorySyncHook(&RecordingFlush);
  }
  void TearDown() override {
    SmtpReceiveTest::TearDown();
    SetSpoolDirectorySyncHook(nullptr);
  }
};

TEST_F(SmtpDurableTest, EveryQueuedReplyFollowsAFlushThatCoveredItsFile) {
  // Sessions side by side share flushes; none hears its 250 before the flush
  // that saw its committed name has ended, and the file is whole by then.
  constexpr int kSessions = 8, kMessages = 6;
  std::atomic<int> queued{0}, early{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kSessions; ++t) {
    threads.emplace_back([&, t] {
      SmtpClient c(port, 30);
      if (!c.ok() || c.Reply().substr(0, 3) != "220") return;
      if (c.Ask("HELO t" + std::to_string(t)) != "250 mail.test") return;
      for (int m = 0; m < kMessages; ++m) {
        std::string tag = std::to_string(t) + "/" + std::to_string(m);
        if (c.Ask("MAIL FROM:<s@b.test>") != "250 OK") return;
        if (c.Ask("RCPT TO:<alice@mail.test>").substr(0, 3) != "250") return;
        if (c.Ask("DATA").substr(0, 3) != "354") return;
        c.SendRaw("Subject: " + tag + "\r\n\r\n" + std::string(3000, 'b') + "\r\nend " + tag +
                  "\r\n");
        std::string name = QueuedName(c.Ask("."));
        if (name.empty()) continue;
        ++queued;
        if (!IsDurable(name)) ++early;
        std::string text = InFile(name);
        if (text.size() < 12 || text.compare(text.size() - 6 - tag.size(), std::string::npos,
                                             "end " + tag + "\r\n") != 0)
          ++wrong;
      }
      c.Ask("QUIT");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(queued.load(), kSessions * kMessages);
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Files("*.in").size(), size_t(kSessions * kMessages));
}

TEST_F(SmtpDurableTest, AFailedFlushIsALocalErrorAndTheNextMessageIsQueued) {
  SmtpClient c(port);
  Hello(c);
  FailFlushes(true);
  EXPECT_EQ(c.Ask("MAIL FROM:<s@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  ASSERT_TRUE(c.SendRaw("Subject: lost?\r\n\r\nbody\r\n"));
  // Never a 250 for a name a crash could take back; the client keeps its copy.
  EXPECT_EQ(c.Ask("."), "451 Requested action aborted; local error in processing.");
  EXPECT_TRUE(Files("*.in").empty());
  EXPECT_TRUE(Files("*.wrm").empty());
  FailFlushes(false);
  EXPECT_EQ(c.Ask("MAIL FROM:<s@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_EQ(c.Ask("DATA").substr(0, 3), "354");
  ASSERT_TRUE(c.SendRaw("Subject: again\r\n\r\nbody\r\n"));
  std::string name = QueuedName(c.Ask("."));
  ASSERT_FALSE(name.empty());
  EXPECT_TRUE(IsDurable(name));
  EXPECT_EQ(Files("*.in"), std::vector<std::string>{name});
  EXPECT_EQ(c.Ask("QUIT"), "221 mail.test Service Closing");
}

TEST_F(SmtpReceiveTest, AThousandIdleSessionsAreHeld) {
  constexpr int kIdle = 1000;
  std::vector<std::unique_ptr<SmtpClient>> clients;
  for (int i = 0; i < kIdle; ++i) {
    clients.push_back(std::make_unique<SmtpClient>(port, 60));
    ASSERT_TRUE(clients.back()->ok()) << i;
  }
  int greeted = 0;
  for (auto& c : clients)
    if (c->Reply().substr(0, 4) == "220-") ++greeted;
  EXPECT_EQ(greeted, kIdle);
  // Every one still answers.
  int answered = 0;
  for (auto& c : clients)
    if (c->Ask("NOOP") == "250 OK") ++answered;
  EXPECT_EQ(answered, kIdle);
  clients.clear();
  ASSERT_TRUE(WaitForSessionsToEnd(60));
}

}  // namespace
