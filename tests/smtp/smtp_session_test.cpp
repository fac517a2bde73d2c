// Scripted dialogues against the real server on a loopback port: greeting,
// HELO/EHLO, verification, the common commands (VRFY, EXPN, HELP, ETRN, NOOP,
// RSET, QUIT) and commands out of order.
#include <regex>

#include "tests/smtp/smtp_fixture.h"

#include "server/accounts/accounts.h"
#include "server/core/server_state.h"
#include "server/core/config.h"

namespace {

TEST_F(SmtpServerTest, EsmtpGreetingAndEhloListTheExtensions) {
  SmtpClient c(port);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.Reply(), "220-mail.test Smtp Server Corvel95 v1.0 Ready\n220 ESMTP spoken here");
  EXPECT_EQ(c.Ask("EHLO client.test"),
            "250-mail.test says hello \n250-SEND\n250-SOML\n250-SAML\n250-HELP\n250-EXPN\n"
            "250-SIZE 100000000\n250-ETRN\n250 XTRN");
  EXPECT_EQ(c.Ask("QUIT"), "221 mail.test Service Closing");
  EXPECT_TRUE(c.ClosedByServer());
}

TEST_F(SmtpServerTest, SizeIsAnnouncedWithoutNumberUnlessBroadcast) {
  ServerSettings().broadcastSize = false;
  ServerSettings().doExpnAndVrfy = false;
  Restart();
  SmtpClient c(port);
  c.Reply();
  EXPECT_EQ(c.Ask("EHLO x"),
            "250-mail.test says hello \n250-SEND\n250-SOML\n250-SAML\n250-HELP\n250-SIZE\n"
            "250-ETRN\n250 XTRN");
}

TEST_F(SmtpServerTest, HeloGetsThePlainReply) {
  SmtpClient c(port);
  c.Reply();
  EXPECT_EQ(c.Ask("HELO client.test"), "250 mail.test");
  // HELO after the greeting exchange is out of order.
  EXPECT_EQ(c.Ask("HELO again"), "550 Syntax error");
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
}

TEST_F(SmtpServerTest, PlainSmtpServerGreetsOnOneLineAndRefusesEhlo) {
  ServerSettings().useEsmtpProtocol = false;
  Restart();
  SmtpClient c(port);
  EXPECT_EQ(c.Reply(), "220 mail.test Smtp Server Corvel95 v1.0 Ready");
  EXPECT_EQ(c.Ask("EHLO client.test"), "550 Syntax error");
  EXPECT_EQ(c.Ask("HELO client.test"), "250 mail.test");
}

TEST_F(SmtpServerTest, StrictAdherenceWantsHeloFirst) {
  SmtpClient c(port);
  c.Reply();
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "550 Syntax error");
  EXPECT_EQ(c.Ask("RCPT TO:<root@mail.test>"), "550 Syntax error");
  EXPECT_EQ(c.Ask("HELO"), "550 Syntax error");  // a name is required
  EXPECT_EQ(c.Ask("garbage words"), "550 Syntax error");
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");  // common commands work in every state
  EXPECT_EQ(c.Ask("HELO client.test"), "250 mail.test");
}

TEST_F(SmtpServerTest, RcptBeforeMailIsOutOfOrder) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("RCPT TO:<root@mail.test>"), "550 Syntax error");
  EXPECT_EQ(c.Ask("DATA"), "550 Syntax error");
  EXPECT_EQ(c.Ask("TURN"), "504 Command parameter not implemented.");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("TURN"), "550 Syntax error");
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "550 Syntax error");
}

TEST_F(SmtpServerTest, HelpTopics) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("HELP"),
            "214-Commands:\n214-    HELO    MAIL    SEND    SAML    SOML\n"
            "214-    RCPT    DATA    RSET    VRFY    EXPN\n214-    TURN    NOOP    QUIT\n"
            "214-For more info use 'HELP <topic>'.\n214 Contact the postmaster for more "
            "information.");
  EXPECT_EQ(c.Ask("HELP rset"), "214-RSET\n214  Specifies that the current message is to be aborted.");
  EXPECT_EQ(c.Ask("HELP TURN"), "214-TURN\n214  Not supported.");
  EXPECT_EQ(c.Ask("HELP BOGUS"), "501 Syntax error in parameters.");
}

TEST_F(SmtpServerTest, EtrnAnswersFromTheRetryQueueHook) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("ETRN other.test"), "250 OK, no messages in queue for node");
  SetSmtpEtrnHook([](const std::string& node) { return node == "queued.test"; });
  EXPECT_EQ(c.Ask("ETRN queued.test"), "250 OK");
  EXPECT_EQ(c.Ask("XTRN nothere.test"), "250 OK, no messages in queue for node");
  SmtpClient plain(port);
  Hello(plain, false);
  EXPECT_EQ(plain.Ask("ETRN queued.test"), "550 Syntax error");
}

class SmtpAccountsTest : public SmtpServerTest {
 protected:
  void SetUp() override {
    SmtpServerTest::SetUp();
    std::string why;
    ASSERT_TRUE(WriteUserRecord("alice", "Alice Smith", home + "alice.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteUserRecord("root", "root", home + "root.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteAliasRecord("al", "alice", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("team", "The Team", "team", "alice", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("hidden", "Hidden", "hidden", "root", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("empty", "Empty", "empty", "root", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("nokey", "No key", "nokey", "root", "", why)) << why;
    // The team: 12 visible members, two concealed ones, a free slot and a broken one.
    int slot = 0;
    for (int i = 1; i <= 12; ++i) {
      std::string rec = (i % 2 ? "r" : "") + std::string(";") +
                        (i == 3 ? "local" + std::to_string(i) : "m" + std::to_string(i) + "@x.test") +
                        ";Member;1700000000;";
      SetMember("team", ++slot, rec);
      if (i == 4) SetMember("team", ++slot, "rC;secret@x.test;Hidden;1;");
      if (i == 7) SetMember("team", ++slot, "");
      if (i == 9) SetMember("team", ++slot, "c;secret2@x.test;Hidden;1;");
      if (i == 10) SetMember("team", ++slot, "broken record");
    }
    ConfigSetNumber("Users", "NumUsers", slot, "", "team");
    ConfigSetNumber("Users", "ActualUsers", 14, "", "team");
    SetMember("hidden", 1, "r;h@x.test;H;1;");
    ConfigSetNumber("Users", "NumUsers", 1, "", "hidden");
    ConfigSetNumber("Users", "ActualUsers", 1, "", "hidden");
    ConfigSetBool("Configuration", "VisibleToExpn", false, "", "hidden");
    ConfigSetNumber("Users", "NumUsers", 0, "", "empty");
    ConfigSetNumber("Users", "ActualUsers", 0, "", "empty");
  }
  void SetMember(const char* list, int slot, const std::string& record) {
    ConfigSetString("Users", ("User" + std::to_string(slot)).c_str(), record.c_str(), "", list);
  }
};

TEST_F(SmtpAccountsTest, VrfyNamesLocalAccounts) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("VRFY alice"), "250 Alice Smith<alice@mail.test>.");
  EXPECT_EQ(c.Ask("VRFY ALICE"), "250 Alice Smith<alice@mail.test>.");
  EXPECT_EQ(c.Ask("VRFY nobody"), "550 User unknown.");
  EXPECT_EQ(c.Ask("VRFY"), "550 User unknown.");
  EXPECT_EQ(c.Ask("VRFY someone@elsewhere.test"), "250 <someone@elsewhere.test>.");
  ServerSettings().doExpnAndVrfy = false;
  EXPECT_EQ(c.Ask("VRFY alice"), "550 User unknown.");
  EXPECT_EQ(c.Ask("EXPN team"), "550 Access to list not allowed.");
}

TEST_F(SmtpAccountsTest, ExpnOfTwelveMembersSkipsConcealedOnes) {
  SmtpClient c(port);
  Hello(c);
  std::string reply = c.Ask("EXPN team");
  std::vector<std::string> lines;
  std::stringstream ss(reply);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 12u) << reply;
  EXPECT_EQ(lines[0], "250-<m1@x.test>");
  EXPECT_EQ(lines[2], "250-<local3@mail.test>");
  EXPECT_EQ(lines[11], "250 <m12@x.test>");
  EXPECT_EQ(reply.find("secret"), std::string::npos);
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i][3], '-');
  // The session goes on where it was.
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
  // Through an alias of a user: the address as asked.
  EXPECT_EQ(c.Ask("EXPN al"), "250 <al@mail.test>");
  EXPECT_EQ(c.Ask("EXPN nothing"), "550 Unable to find list 'nothing'.");
  EXPECT_EQ(c.Ask("EXPN hidden"), "550 List access restricted by owner.");
  EXPECT_EQ(c.Ask("EXPN empty"), "550 No members in list for <empty>");
  EXPECT_EQ(c.Ask("EXPN nokey"), "550 Error accessing list for <nokey>");
}

TEST_F(SmtpAccountsTest, ExpnInTheMiddleOfATransactionReturnsThere) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(c.Ask("RCPT TO:<alice@mail.test>"), "250 OK, alice@mail.test");
  EXPECT_NE(c.Ask("EXPN team").find("250 <m12@x.test>"), std::string::npos);
  EXPECT_EQ(c.Ask("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
  c.Send("Subject: t");
  // The name in the reply is the spool file's: eight hex digits seeded from the
  // tick count, so any digits (the tick passes 2^24 ms after 4.7 hours).
  std::string reply = c.Ask(".");
  EXPECT_TRUE(std::regex_match(reply, std::regex(R"(250 OK, Submitted & queued \([0-9A-Fa-f]{8}[^)]*\))")))
      << reply;
}

// The host verification against a fake reverse lookup.
bool FakeLookup(const in_addr&, std::string& name, std::vector<std::string>& aliases, int& err) {
  name = "found.example";
  aliases = {"alias.example"};
  err = 0;
  return true;
}
bool FailedLookup(const in_addr&, std::string&, std::vector<std::string>&, int& err) {
  err = kWsaNoData;
  return false;
}

TEST_F(SmtpServerTest, VerificationReplacesAClaimedNameThatDoesNotMatch) {
  ServerSettings().verifyIncoming = true;
  SetSmtpReverseLookup(FakeLookup);
  std::string why;
  ASSERT_TRUE(WriteUserRecord("root", "root", home + "root.mbx", "", "", "", why)) << why;
  SmtpClient c(port);
  c.Reply();
  EXPECT_EQ(c.Ask("HELO liar.example"), "250 mail.test OK - Verified hostname as found.example.");
  SmtpClient d(port);
  d.Reply();
  EXPECT_EQ(d.Ask("EHLO alias.example").substr(0, 69),
            "250-mail.test says hello OK - Verified hostname as alias.example.\n250");
  SmtpClient e(port);
  e.Reply();
  SetSmtpReverseLookup(FailedLookup);
  EXPECT_EQ(e.Ask("HELO unknown.example"), "250 mail.test OK - Verified hostname as [127.0.0.1].");
  // A verified session's Received line has no "unverified".
  EXPECT_EQ(e.Ask("MAIL FROM:<a@b.test>"), "250 OK");
  EXPECT_EQ(e.Ask("RCPT TO:<root@mail.test>"), "250 OK, root@mail.test");
  EXPECT_EQ(e.Ask("DATA").substr(0, 3), "354");
  EXPECT_EQ(e.Ask(".").substr(0, 3), "250");
  auto files = Files("*.in");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(InFile(files[0]).find(Received("[127.0.0.1]", true)), std::string::npos);
}

TEST_F(SmtpServerTest, QuitAndRsetAndNoop) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("NOOP"), "250 OK");
  EXPECT_EQ(c.Ask("RSET"), "250 OK");
  EXPECT_EQ(c.Ask("quit"), "221 mail.test Service Closing");
  EXPECT_TRUE(c.ClosedByServer());
  EXPECT_TRUE(WaitForSessionsToEnd());
}

TEST_F(SmtpServerTest, AFourTwentyOneClosesLikeQuit) {
  SmtpClient c(port);
  Hello(c);
  EXPECT_EQ(c.Ask("421 going away"), "221 mail.test Service Closing");
  EXPECT_TRUE(c.ClosedByServer());
}

TEST_F(SmtpServerTest, ConnectionCountersFollowTheSessions) {
  int in0 = 0, out0 = 0;
  ConnectionCounts(in0, out0);
  {
    SmtpClient a(port), b(port);
    a.Reply();
    b.Reply();
    int in = 0, out = 0;
    ConnectionCounts(in, out);
    EXPECT_EQ(in, in0 + 2);
    EXPECT_EQ(out, out0);
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  int in = 0, out = 0;
  ConnectionCounts(in, out);
  EXPECT_EQ(in, in0);
}

}  // namespace
