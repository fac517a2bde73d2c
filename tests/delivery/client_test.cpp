// Local delivery through the real server: corvel95 on a free loopback port, mail
// sent with Python's smtplib and swaks, the mailbox and spool files checked.
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

constexpr uint32_t kWaitMs = 15000;

// The text with what depends on the clock or on chance replaced: the date of each
// separator and Received line, the Date: value and the Message-Id: value.
std::string Normalized(const std::string& text) {
  std::string out;
  size_t pos = 0;
  bool atSeparator = true;  // a mailbox starts with a separator
  while (pos < text.size()) {
    size_t eol = text.find("\r\n", pos);
    size_t end = eol == std::string::npos ? text.size() : eol;
    std::string line = text.substr(pos, end - pos);
    pos = eol == std::string::npos ? text.size() : eol + 2;
    if (atSeparator && line.rfind("From ", 0) == 0) {
      size_t space = line.find(' ', 5);
      if (space != std::string::npos) line = line.substr(0, space) + " <date>";
    } else if ((line.rfind("    (", 0) == 0 || line.rfind("Received: ", 0) == 0) &&
               line.find("); ") != std::string::npos) {
      line = line.substr(0, line.find("); ") + 3) + "<date>";
    } else if (line.rfind("Date: ", 0) == 0) {
      line = "Date: <date>";
    } else if (line.rfind("Message-Id: <", 0) == 0) {
      line = "Message-Id: <id>";
    }
    atSeparator = line.empty() && pos < text.size() && text.compare(pos, 5, "From ") == 0;
    out += line;
    if (eol != std::string::npos) out += "\r\n";
  }
  return out;
}

class ClientDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    std::string why;
    for (const char* u : {"alice", "bob", "carol"})
      ASSERT_TRUE(WriteUserRecord(u, u, Box(u), "", "", "", why)) << why;
    ASSERT_TRUE(
        WriteUserRecord("dave", "dave", Box("dave"), "", "carol@mail.example.org", "", why));
    ASSERT_TRUE(WriteAliasRecord("sales", "alice", "", why)) << why;
    ASSERT_TRUE(WriteForwardRecord("ghost", "nobody@mail.example.org", "", why)) << why;
    ASSERT_TRUE(WriteForwardRecord("fwd", "bob@mail.example.org", "", why)) << why;
    ASSERT_TRUE(WriteForwardRecord("away", "friend@remote.example.com", "", why)) << why;
    // Mail for the remote domains is held (routing exception "keep messages"), so
    // the outgoing queue parks it as .our untouched instead of sending it.
    for (const char* domain : {"example.com", "example.net"})
      RegSetString(std::string(kRootKey) + "\\Exceptions", domain, "0,1,0,0,,1,60,1,0,10");
    MoreSettings();
    RegCloseStore();
    ASSERT_TRUE(server_.Start(home_.dir, port_)) << Read(home_.dir + "out.txt");
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) system(("cat " + home_.dir + "maillog.txt").c_str());
  }
  virtual void MoreSettings() {}

  std::string Box(const std::string& user) const { return home_.dir + user + ".mbx"; }
  static std::string Read(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
  }
  void WriteFile(const std::string& name, const std::string& text) {
    UniqueFd fd(open((home_.dir + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(WriteAll(fd.get(), text.data(), text.size()));
  }
  // Sends `message` (bytes, line ends as given) with smtplib; true when accepted.
  bool Smtplib(const std::string& from, const std::vector<std::string>& to,
               const std::string& message) {
    WriteFile("message.eml", message);
    std::string list;
    for (const std::string& t : to) list += "'" + t + "',";
    std::string script =
        "import smtplib, sys\n"
        "try:\n"
        "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) + ", timeout=20)\n"
        "    r = s.sendmail('" + from + "', [" + list + "], open('" + home_.dir +
        "message.eml', 'rb').read())\n"
        "    s.quit()\n"
        "except Exception as e:\n"
        "    sys.stderr.write('smtplib: %r\\n' % (e,))\n"
        "    raise SystemExit(1)\n"
        "raise SystemExit(1 if r else 0)\n";
    WriteFile("send.py", script);
    return system(("python3 " + home_.dir + "send.py").c_str()) == 0;
  }
  // Every file of the pattern under the home, any depth of one.
  std::vector<std::string> SpoolFiles(const std::string& pattern) {
    std::vector<std::string> all;
    for (const std::string& d : {home_.dir, home_.dir + "in/", home_.dir + "out/"})
      for (const std::string& f : ListFiles(d, pattern)) all.push_back(d + f);
    return all;
  }

  TestHome home_;
  int port_ = 0;
  ServerProcess server_;
};

// Counts the occurrences of `what` in `text`.
size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST_F(ClientDeliveryTest, SmtplibMessageIsStoredByteForByte) {
  // smtplib doubles the leading dots on the wire; the mailbox has them once.
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {"alice@mail.example.org"},
                      "Subject: hi\r\n\r\nFrom here\r\n.\r\n..two\r\nend\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("alice"), 1, kWaitMs));
  EXPECT_EQ(Normalized(Read(Box("alice"))),
            "From bob@mail.example.org <date>\r\n"
            "Received: by mail.example.org from localhost    (router,Corvel95 V1.0); <date>\r\n"
            "Received: by mail.example.org from [127.0.0.1]    (127.0.0.1::mail daemon; "
            "unverified,Corvel95 V1.0); <date>\r\n"
            "Subject: hi\r\n"
            "From: \"bob\" <bob@mail.example.org>\r\n"
            "To: \"alice\" <alice@mail.example.org>\r\n"
            "Date: <date>\r\n"
            "Message-Id: <id>\r\n"
            "\r\n"
            ">From here\r\n"
            ".\r\n"
            "..two\r\n"
            "end\r\n"
            "\r\n");
}

TEST_F(ClientDeliveryTest, MessageWithoutHeadersGetsThem) {
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {"alice@mail.example.org"}, "just text\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("alice"), 1, kWaitMs));
  std::string text = Normalized(Read(Box("alice")));
  std::string header = text.substr(0, text.find("\r\n\r\n") + 4);
  for (const char* line : {"\r\nFrom: \"bob\" <bob@mail.example.org>\r\n",
                           "\r\nTo: \"alice\" <alice@mail.example.org>\r\n", "\r\nDate: <date>\r\n",
                           "\r\nMessage-Id: <id>\r\n", "\r\nSubject: None\r\n"})
    EXPECT_EQ(Count(header, line), 1u) << line << " in " << header;
  EXPECT_EQ(text.substr(text.find("\r\n\r\n") + 4), "just text\r\n\r\n");
}

TEST_F(ClientDeliveryTest, SwaksToSeveralRecipientsAliasAndLocalForward) {
  std::string cmd = "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port_) +
                    " --from carol@mail.example.org --to alice@mail.example.org,"
                    "sales@mail.example.org,bob@mail.example.org,fwd@mail.example.org"
                    " --header 'Subject: several' --body 'line one\\n.\\nFrom me\\n' >/dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0);
  ASSERT_TRUE(WaitForMailboxMessages(Box("alice"), 2, kWaitMs));
  ASSERT_TRUE(WaitForMailboxMessages(Box("bob"), 2, kWaitMs));  // direct and through "fwd"
  SleepMs(300);
  EXPECT_EQ(MailboxMessages(Box("alice")), 2u);
  EXPECT_EQ(MailboxMessages(Box("bob")), 2u);
  EXPECT_EQ(MailboxMessages(Box("carol")), 0u);
  for (const char* user : {"alice", "bob"}) {
    std::string text = Read(Box(user));
    EXPECT_EQ(Count(text, "From carol@mail.example.org "), 2u) << text;
    EXPECT_EQ(Count(text, "\r\nSubject: several\r\n"), 2u) << text;
    EXPECT_EQ(Count(text, "\r\nline one\r\n.\r\n>From me\r\n"), 2u) << text;
  }
  // The forwarded copy went through the router once more.
  std::string bob = Read(Box("bob"));
  EXPECT_EQ(Count(bob, "(router,Corvel95 V1.0); "), 2u) << bob;
  EXPECT_TRUE(SpoolFiles("*.out").empty());
}

TEST_F(ClientDeliveryTest, RemoteRecipientsBecomeOneOutgoingFileWithOneToLineEach) {
  ASSERT_TRUE(Smtplib("alice@mail.example.org",
                      {"x@remote.example.com", "y@other.example.net", "bob@mail.example.org"},
                      "Subject: out\r\n\r\nbody\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("bob"), 1, kWaitMs));
  std::vector<std::string> out;
  uint32_t start = GetTickCount32();
  while ((out = SpoolFiles("*.our")).empty() && TickElapsed(GetTickCount32(), start) < kWaitMs)
    SleepMs(50);
  ASSERT_EQ(out.size(), 1u);
  std::string text = Read(out[0]);
  // The envelope: the sender, the mark of mail we submitted (the client is in
  // RelayNetworks), then one "To:" line for each remote recipient.
  EXPECT_EQ(text.substr(0, text.find("\r\n\r\n") + 4),
            "From: alice@mail.example.org\r\nOrigin: local\r\nTo: x@remote.example.com\r\n"
            "To: y@other.example.net\r\n\r\n");
  EXPECT_NE(text.find("Subject: out\r\n"), std::string::npos) << text;
}

TEST_F(ClientDeliveryTest, ForwardToRemoteAddressBecomesOutgoingFile) {
  ASSERT_TRUE(Smtplib("alice@mail.example.org", {"away@mail.example.org"},
                      "Subject: fw\r\n\r\nbody\r\n"));
  std::vector<std::string> out;
  uint32_t start = GetTickCount32();
  while ((out = SpoolFiles("*.our")).empty() && TickElapsed(GetTickCount32(), start) < kWaitMs)
    SleepMs(50);
  ASSERT_EQ(out.size(), 1u);
  std::string text = Read(out[0]);
  EXPECT_EQ(text.substr(0, text.find("\r\n\r\n") + 4),
            "From: alice@mail.example.org\r\nOrigin: local\r\n"
            "To: friend@remote.example.com\r\n\r\n");
  EXPECT_NE(text.find("\r\nSubject: fw\r\n"), std::string::npos) << text;
}

TEST_F(ClientDeliveryTest, CarbonCopyReachesTheCopyAccount) {
  ASSERT_TRUE(Smtplib("alice@mail.example.org", {"dave@mail.example.org"},
                      "Subject: copied\r\n\r\nbody\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("dave"), 1, kWaitMs));
  ASSERT_TRUE(WaitForMailboxMessages(Box("carol"), 1, kWaitMs));
  SleepMs(300);
  EXPECT_EQ(MailboxMessages(Box("dave")), 1u);
  EXPECT_EQ(MailboxMessages(Box("carol")), 1u);
  EXPECT_NE(Read(Box("carol")).find("\r\nSubject: copied\r\n"), std::string::npos);
}

TEST_F(ClientDeliveryTest, ReturnReceiptGoesToTheAskedAddress) {
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {"alice@mail.example.org"},
                      "Subject: please confirm\r\nReturn-receipt-to: bob@mail.example.org\r\n"
                      "\r\nbody\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("alice"), 1, kWaitMs));
  ASSERT_TRUE(WaitForMailboxMessages(Box("bob"), 1, kWaitMs));
  EXPECT_EQ(Normalized(Read(Box("bob"))),
            "From root@mail.example.org <date>\r\n"
            "Received: by mail.example.org from localhost    (router,Corvel95 V1.0); <date>\r\n"
            "From: \"root user\" <root@mail.example.org>\r\n"
            "To: \"bob\" <bob@mail.example.org>\r\n"
            "Subject: Receipt for received message\r\n"
            "Date: <date>\r\n"
            "Message-Id: <id>\r\n"
            "\r\n"
            "Message delivered:\r\nSubject: 'please confirm'\r\nTo: 'alice@mail.example.org'\r\n"
            "\r\n");
}

// What bounces back to a local sender, and the reason the bounce carries.
struct BounceCase {
  const char* name;
  std::string recipient;
  int ownReceived;  // Received lines of this host already in the message
  const char* reason;
};

class ClientBounceTest : public ClientDeliveryTest,
                         public ::testing::WithParamInterface<BounceCase> {};

TEST_P(ClientBounceTest, BounceReachesTheLocalSender) {
  const BounceCase& c = GetParam();
  std::string message;
  for (int i = 0; i < c.ownReceived; ++i)
    message += "Received: by mail.example.org from localhost\r\n    (router,Corvel95 V1.0); "
               "Tue, 14 Nov 2023 22:13:20 UTC\r\n";
  message += "Message-Id: <lost@example.org>\r\nSubject: lost\r\n\r\nbody\r\n";
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {c.recipient}, message));
  ASSERT_TRUE(WaitForMailboxMessages(Box("bob"), 1, kWaitMs));
  std::string text = Normalized(Read(Box("bob")));
  std::string head =
      "From MAILER-DAEMON@mail.example.org <date>\r\n"
      "Received: by mail.example.org from localhost    (mail daemon,Corvel95 V1.0); <date>\r\n"
      "From: MAILER-DAEMON@mail.example.org\r\n"
      "To: \"bob\" <bob@mail.example.org>\r\n"
      "Date: <date>\r\n"
      "Subject: Message rejected by system\r\n"
      "Message-Id: <id>\r\n"
      "\r\n"
      "------------ Transcript of session follows ------------\r\n"
      "\r\n"
      "Reason: " + std::string(c.reason) + "\r\n"
      "\r\n"
      "-----------------First 8192 bytes of-------------------\r\n"
      "------- Unsent message enclosed after this line -------\r\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  std::string tail = "\r\nSubject: lost\r\n";
  EXPECT_NE(text.find(tail, head.size()), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 10), "\r\nbody\r\n\r\n") << text;
  EXPECT_EQ(MailboxMessages(Box("alice")), 0u);
}

TEST_F(ClientDeliveryTest, UnknownNameIsRefusedByTheReception) {
  EXPECT_FALSE(
      Smtplib("bob@mail.example.org", {"nobody@mail.example.org"}, "Subject: x\r\n\r\nx\r\n"));
  SleepMs(300);
  EXPECT_EQ(MailboxMessages(Box("bob")), 0u);
  EXPECT_TRUE(SpoolFiles("*.in").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientBounceTest,
    ::testing::Values(
        // The reception refuses an unknown name; a forward to one gets past it.
        BounceCase{"UnknownUser", "ghost@mail.example.org", 0, "User 'nobody' unknown"},
        // With the reception's own line the message holds ten: one more than allowed
        // (it has a Message-Id, so no extra router pass adds another).
        BounceCase{"LoopOfTenReceivedLines", "alice@mail.example.org", 9,
                   "Too many bounces have occured: 10, max = 9"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClientDeliveryTest, NineReceivedLinesStillDeliver) {
  std::string message;
  for (int i = 0; i < 8; ++i)
    message += "Received: by mail.example.org from localhost\r\n    (router,Corvel95 V1.0); "
               "Tue, 14 Nov 2023 22:13:20 UTC\r\n";
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {"alice@mail.example.org"},
                      message + "Message-Id: <ok@example.org>\r\n\r\nok\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("alice"), 1, kWaitMs));
  EXPECT_EQ(MailboxMessages(Box("bob")), 0u);
}

// 120 accounts r000..r119; LimitRecipients stays 50, so the router takes three passes.
class ManyRecipientsTest : public ClientDeliveryTest {
 protected:
  void MoreSettings() override {
    std::string why;
    for (int i = 0; i < 120; ++i) {
      std::string name = Name(i);
      ASSERT_TRUE(WriteUserRecord(name, name, Box(name), "", "", "", why)) << why;
    }
  }
  static std::string Name(int i) {
    char b[8];
    snprintf(b, sizeof b, "r%03d", i);
    return b;
  }
};

TEST_F(ManyRecipientsTest, HundredTwentyRecipientsWithLimitFifty) {
  std::vector<std::string> to;
  for (int i = 0; i < 120; ++i) to.push_back(Name(i) + "@mail.example.org");
  ASSERT_TRUE(Smtplib("bob@mail.example.org", to, "Subject: many\r\n\r\nbody\r\n"));
  for (int i = 0; i < 120; ++i)
    ASSERT_TRUE(WaitForMailboxMessages(Box(Name(i)), 1, kWaitMs)) << Name(i);
  SleepMs(300);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(MailboxMessages(Box(Name(i))), 1u) << Name(i);
  EXPECT_EQ(MailboxMessages(Box("bob")), 0u);  // nothing bounced
  EXPECT_TRUE(SpoolFiles("*.in").empty());
}

TEST_F(ClientDeliveryTest, LockedMailboxWaitsAsInrAndIsDeliveredAfterRelease) {
  SetHomeDirectory(home_.dir);
  MailboxLock lock;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("Alice", 1000, lock, timedOut));
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {"alice@mail.example.org", "carol@mail.example.org"},
                      "Subject: busy\r\n\r\nbody\r\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("carol"), 1, kWaitMs));
  std::vector<std::string> waiting;
  uint32_t start = GetTickCount32();
  while ((waiting = SpoolFiles("*.inr")).empty() && TickElapsed(GetTickCount32(), start) < kWaitMs)
    SleepMs(50);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(MailboxMessages(Box("alice")), 0u);
  UnlockMailbox(lock);
  // Waiting files are scanned at start-up and then once a minute: a restart takes
  // the file at once.
  server_.Stop();
  ASSERT_TRUE(server_.Start(home_.dir, port_));
  ASSERT_TRUE(WaitForMailboxMessages(Box("alice"), 1, kWaitMs));
  SleepMs(300);
  EXPECT_EQ(MailboxMessages(Box("alice")), 1u);
  EXPECT_EQ(MailboxMessages(Box("carol")), 1u);  // not delivered twice
  EXPECT_TRUE(SpoolFiles("*.inr").empty());
  EXPECT_NE(Read(Box("alice")).find("\r\nSubject: busy\r\n"), std::string::npos);
}

}  // namespace
