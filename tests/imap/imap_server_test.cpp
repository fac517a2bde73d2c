// The real corvel95 with UseImap on: sessions idling in IMAP while mail arrives
// by SMTP and the router appends it and POP3 sessions come and go, and
// offlineimap as a second real client beside mbsync.
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/imap/imap_fixture.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point origin) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin).count();
}

// A corvel95 with SMTP, POP3 and IMAP on free loopback ports and the account
// alice (password "secret").
class ImapServerTest : public ::testing::Test {
 protected:
  TestHome home;
  int smtpPort = 0, popPort = 0, imapPort = 0;
  std::string box;
  ServerProcess server;

  void SetUp() override {
    smtpPort = FreeLoopbackPort();
    imapPort = FreeLoopbackPort();
    popPort = FreeLoopbackPort();
    WriteLoopbackServerSettings(smtpPort);
    RegSetDword(kRootKey, "SysAccess", 1);  // POP3 on
    RegSetDword(kRootKey, "SysOptPop", uint32_t(popPort));
    RegSetDword(kRootKey, "UseImap", 1);
    RegSetDword(kRootKey, "SysOptImap", uint32_t(imapPort));
    std::string scrambled, why;
    ASSERT_TRUE(ScramblePassword("alice", "secret", scrambled));
    box = home.dir + "alice.mbx";
    ASSERT_TRUE(WriteUserRecord("alice", "alice", box, scrambled, "", "", why)) << why;
    RegCloseStore();
    ASSERT_TRUE(server.Start(home.dir, smtpPort));
    for (int i = 0; i < 500 && !(PortAccepts(imapPort) && PortAccepts(popPort)); ++i) SleepMs(20);
  }
  void TearDown() override { server.Stop(); }

  // Logs `c` in as alice with INBOX selected.
  void Login(ImapClient& c) {
    ASSERT_EQ(c.ReadLine().rfind("* OK", 0), 0u);
    ASSERT_EQ(c.Ask("l", "LOGIN alice secret").back().rfind("l OK", 0), 0u);
    ASSERT_EQ(c.Ask("s", "SELECT INBOX").back().rfind("s OK", 0), 0u);
  }
  // One message to alice by SMTP.
  void SendMail(const std::string& subject) {
    SmtpClient smtp(smtpPort);
    ASSERT_EQ(smtp.Reply().substr(0, 3), "220");
    smtp.Ask("HELO client.test");
    EXPECT_EQ(smtp.Ask("MAIL FROM:<bob@remote.test>"), "250 OK");
    EXPECT_EQ(smtp.Ask("RCPT TO:<alice@mail.example.org>").substr(0, 3), "250");
    EXPECT_EQ(smtp.Ask("DATA").substr(0, 3), "354");
    EXPECT_EQ(smtp.Ask("Subject: " + subject + "\r\n\r\nhello\r\n.").substr(0, 3), "250");
    smtp.Ask("QUIT");
  }
  // A POP3 session that reads the newest message and lists the rest; true
  // when it was let in and ended well.
  bool ReadByPop3(std::string& said) {
    ImapClient pop(popPort);
    if ((said = pop.ReadLine()).rfind("+OK", 0) != 0) return false;
    pop.SendRaw("USER alice\r\n");
    pop.ReadLine();
    pop.SendRaw("PASS secret\r\n");
    if ((said = pop.ReadLine()).rfind("+OK", 0) != 0) return false;
    pop.SendRaw("STAT\r\n");
    std::string stat = pop.ReadLine();
    int count = atoi(stat.c_str() + 4);
    if (count > 0) {
      pop.SendRaw("RETR " + std::to_string(count) + "\r\n");
      std::string l = pop.ReadLine();
      while (l != "." && l != "<closed>") l = pop.ReadLine();
    }
    pop.SendRaw("QUIT\r\n");
    return (said = pop.ReadLine()).rfind("+OK", 0) == 0;
  }
  // Waits (up to 10 s) until the router has put `count` messages in alice's mailbox.
  bool WaitForMessages(int count) {
    for (int i = 0; i < 500; ++i) {
      std::string text = ReadFileText(box);
      int n = 0;
      for (size_t at = text.find("\nSubject: "); at != std::string::npos;
           at = text.find("\nSubject: ", at + 1))
        ++n;
      if (n >= count) return true;
      SleepMs(20);
    }
    return false;
  }
  static std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void ExpectNothingParked() {
    for (const auto& e : std::filesystem::recursive_directory_iterator(home.dir))
      EXPECT_NE(e.path().extension(), ".inr") << e.path();
  }
};

TEST_F(ImapServerTest, IdleSeesSmtpDeliveriesWithinASecondAndNothingIsParked) {
  ImapClient a(imapPort), b(imapPort);
  for (ImapClient* c : {&a, &b}) {
    Login(*c);
    c->SendRaw("i IDLE\r\n");
    ASSERT_EQ(c->ReadLine(), "+ idling");
  }
  // When the mailbox file last grew, watched from outside.
  std::atomic<bool> stop{false};
  std::atomic<long long> grewAtMs{0};
  Clock::time_point origin = Clock::now();
  std::thread watcher([&] {
    long long size = 0;
    while (!stop) {
      long long now = FileSize(box);
      if (now != size) {
        size = now;
        grewAtMs = MsSince(origin);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int n = 1; n <= 3; ++n) {
    SendMail("n" + std::to_string(n));
    EXPECT_EQ(a.ReadLine(), "* " + std::to_string(n) + " EXISTS");
    EXPECT_LT(MsSince(origin) - grewAtMs.load(), 1000) << "message " << n;
    EXPECT_EQ(b.ReadLine(), "* " + std::to_string(n) + " EXISTS");
  }
  stop = true;
  watcher.join();
  a.SendRaw("DONE\r\n");
  EXPECT_EQ(a.Collect("i").back(), "i OK IDLE terminated");
  std::string r = Joined(a.Ask("f", "FETCH 3 BODY.PEEK[HEADER.FIELDS (SUBJECT)]"));
  EXPECT_NE(r.find("Subject: n3"), std::string::npos) << r;
  // No delivery was parked because a reader held the mailbox.
  ExpectNothingParked();
}

// SMTP deliveries and POP3 sessions taking turns while one session sits in
// IDLE: every message is announced once, within a second of its append, and
// nothing is parked. CORVEL_IMAP_SOAK_SECONDS sets how long (15 s unless set;
// 60 s is the full run).
TEST_F(ImapServerTest, IdleThroughInterleavedDeliveriesAndPop3Sessions) {
  int seconds = 15;
  if (const char* env = getenv("CORVEL_IMAP_SOAK_SECONDS")) seconds = std::max(1, atoi(env));
  ImapClient idler(imapPort, 30);
  Login(idler);
  idler.SendRaw("i IDLE\r\n");
  ASSERT_EQ(idler.ReadLine(), "+ idling");
  std::atomic<bool> stop{false};
  std::atomic<long long> grewAtMs{0};
  Clock::time_point origin = Clock::now();
  std::thread watcher([&] {
    long long size = FileSize(box);
    while (!stop) {
      long long now = FileSize(box);
      if (now > size) grewAtMs = MsSince(origin);
      size = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  int delivered = 0, popSessions = 0;
  long long worstMs = 0;
  std::map<int, int> announced;  // EXISTS count -> times announced
  while (MsSince(origin) < seconds * 1000LL && !HasFailure()) {
    ++delivered;
    SendMail("soak " + std::to_string(delivered));
    // The announcement of this message; flag news from POP3's commits may come first.
    for (;;) {
      std::string line = idler.ReadLine();
      ASSERT_NE(line, "<closed>");
      if (line.size() > 7 && line.compare(line.size() - 7, 7, " EXISTS") == 0) {
        int count = atoi(line.c_str() + 2);
        ++announced[count];
        if (count >= delivered) break;
      }
    }
    long long lag = MsSince(origin) - grewAtMs.load();
    worstMs = std::max(worstMs, lag);
    EXPECT_LT(lag, 1000) << "message " << delivered;
    if (delivered % 2 == 0) {
      std::string said;
      EXPECT_TRUE(ReadByPop3(said)) << "POP3 session " << popSessions << ": " << said;
      ++popSessions;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a pace, not a flood
  }
  stop = true;
  watcher.join();
  idler.SendRaw("DONE\r\n");
  EXPECT_EQ(idler.Collect("i").back(), "i OK IDLE terminated");
  // Each count announced once, none skipped, and every message there once.
  for (int n = 1; n <= delivered; ++n) EXPECT_EQ(announced[n], 1) << "EXISTS " << n;
  std::string all = Joined(idler.Ask("f", "FETCH 1:* BODY.PEEK[HEADER.FIELDS (SUBJECT)]"));
  for (int n = 1; n <= delivered; ++n) {
    std::string subject = "Subject: soak " + std::to_string(n) + "\n";
    size_t at = all.find(subject);
    EXPECT_NE(at, std::string::npos) << n;
    if (at != std::string::npos) EXPECT_EQ(all.find(subject, at + 1), std::string::npos) << n;
  }
  EXPECT_GT(popSessions, 0);
  ExpectNothingParked();
  printf("interleaved for %d s: %d deliveries, %d POP3 sessions, slowest IDLE notice %lld ms\n",
         seconds, delivered, popSessions, worstMs);
}

}  // namespace

namespace {

// offlineimap (Debian offlineimap3) keeping Maildirs in step with INBOX and a
// folder two levels down: what it fetched, what it flagged and deleted near
// shows on the server, what changed on the server shows near.
class OfflineimapTest : public ImapServerTest {
 protected:
  std::string rc, local;
  int Run(const std::string& command, std::string& output) {
    output.clear();
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void WriteConfig() {
    rc = home.dir + "offlineimaprc";
    local = home.dir + "oimap/";
    std::string text =
        "[general]\naccounts = corvel\nmetadata = " + home.dir + "oimap-state\n"
        "[Account corvel]\nlocalrepository = near\nremoterepository = far\n"
        "[Repository near]\ntype = Maildir\nlocalfolders = " + local + "\nsep = .\n"
        "[Repository far]\ntype = IMAP\nremotehost = 127.0.0.1\nremoteport = " +
        std::to_string(imapPort) +
        "\nremoteuser = alice\nremotepass = secret\nssl = no\nstarttls = no\n"
        "auth_mechanisms = PLAIN\n"
        "folderfilter = lambda name: name in ['INBOX', 'Work/Sub']\n";
    std::ofstream(rc) << text;
  }
  // One run of offlineimap; its output is in `out`.
  bool Sync(std::string& out) {
    return Run("offlineimap -c '" + rc + "' -o -u basic", out) == 0;
  }
  // The Maildir's messages of `folder` by file name (flags after ":2,").
  std::vector<std::string> Near(const std::string& folder) {
    std::vector<std::string> names;
    for (const char* sub : {"cur", "new"})
      for (const std::string& n : ListFiles(local + folder + "/" + sub, "*"))
        names.push_back(std::string(sub) + "/" + n);
    std::sort(names.begin(), names.end());
    return names;
  }
  // The Maildir's messages of `folder` by subject: their file names.
  std::map<std::string, std::string> NearBySubject(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const std::string& name : Near(folder)) {
      std::ifstream in(local + folder + "/" + name);
      for (std::string line; std::getline(in, line);)
        if (line.rfind("Subject: ", 0) == 0) {
          out[line.substr(9, line.find_last_not_of("\r") - 8)] = name;
          break;
        }
    }
    return out;
  }
};

TEST_F(OfflineimapTest, SyncsFlagsAndDeletesBothWays) {
  std::string out;
  if (Run("command -v offlineimap", out) != 0) GTEST_SKIP() << "offlineimap is not installed";
  for (int n = 1; n <= 5; ++n) SendMail("oi" + std::to_string(n));
  ASSERT_TRUE(WaitForMessages(5));
  ImapClient c(imapPort);
  Login(c);
  EXPECT_EQ(c.Ask("c", "CREATE Work/Sub").back(), "c OK CREATE completed");
  std::string msg = "Subject: filed\r\n\r\nfiled body\r\n";
  EXPECT_EQ(c.Ask("a", "APPEND Work/Sub (\\Flagged) {" + std::to_string(msg.size()) + "+}\r\n" + msg)
                .back()
                .rfind("a OK", 0),
            0u);
  WriteConfig();
  ASSERT_TRUE(Sync(out)) << out;
  EXPECT_EQ(Near("INBOX").size(), 5u) << out;
  std::vector<std::string> sub = Near("Work.Sub");
  ASSERT_EQ(sub.size(), 1u) << out;
  EXPECT_NE(sub[0].find(":2,F"), std::string::npos) << sub[0];

  // Near: oi2 read and flagged, oi3 deleted, a message filed in Work/Sub.
  std::map<std::string, std::string> inbox = NearBySubject("INBOX");
  ASSERT_EQ(inbox.size(), 5u);
  std::string oi2 = inbox["oi2"];
  std::string base = oi2.substr(oi2.find('/') + 1);
  base = base.substr(0, base.find(':'));
  ASSERT_EQ(rename((local + "INBOX/" + oi2).c_str(), (local + "INBOX/cur/" + base + ":2,FS").c_str()), 0);
  ASSERT_EQ(unlink((local + "INBOX/" + inbox["oi3"]).c_str()), 0);
  std::ofstream(local + "Work.Sub/new/1.near.test") << "Subject: written near\r\n\r\nnear body\r\n";
  ASSERT_TRUE(Sync(out)) << out;
  // The open session hears of it at its next NOOP.
  std::string r = Joined(c.Ask("n", "NOOP"));
  EXPECT_NE(r.find("* 3 EXPUNGE\n"), std::string::npos) << r;
  r = Joined(c.Ask("f", "FETCH 1:* (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])"));
  EXPECT_NE(r.find("* 2 FETCH (FLAGS (\\Seen \\Flagged) BODY[HEADER.FIELDS (SUBJECT)] {16}\nSubject: oi2\n"),
            std::string::npos) << r << out;
  EXPECT_EQ(r.find("Subject: oi3"), std::string::npos) << r;
  EXPECT_NE(r.find("* 4 FETCH (FLAGS () BODY[HEADER.FIELDS (SUBJECT)] {16}\nSubject: oi5\n"),
            std::string::npos) << r;
  EXPECT_EQ(ReadFileText(box).find("Subject: oi3"), std::string::npos);
  EXPECT_EQ(Joined(c.Ask("st", "STATUS Work/Sub (MESSAGES)")),
            "* STATUS \"Work/Sub\" (MESSAGES 2)\nst OK STATUS completed\n");

  // The server: oi4 answered, oi6 arrives, POP3 deletes oi1.
  EXPECT_EQ(c.Ask("s", "STORE 3 +FLAGS (\\Answered)").back(), "s OK STORE completed");
  SendMail("oi6");
  ASSERT_TRUE(WaitForMessages(5));
  {
    ImapClient pop(popPort);
    EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
    pop.SendRaw("USER alice\r\n");
    pop.ReadLine();
    pop.SendRaw("PASS secret\r\n");
    EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
    pop.SendRaw("DELE 1\r\n");
    EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
    pop.SendRaw("QUIT\r\n");
    EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
  }
  ASSERT_TRUE(Sync(out)) << out;
  inbox = NearBySubject("INBOX");
  EXPECT_EQ(inbox.size(), 4u) << out;
  EXPECT_EQ(inbox.count("oi1"), 0u);
  EXPECT_EQ(inbox.count("oi3"), 0u);
  EXPECT_EQ(inbox.count("oi6"), 1u);
  EXPECT_NE(inbox["oi2"].find(":2,FS"), std::string::npos) << inbox["oi2"];
  EXPECT_NE(inbox["oi4"].find(":2,R"), std::string::npos) << inbox["oi4"];
  EXPECT_EQ(NearBySubject("Work.Sub").size(), 2u);
  // In step: a further run changes nothing.
  std::vector<std::string> before = Near("INBOX");
  ASSERT_TRUE(Sync(out)) << out;
  EXPECT_EQ(Near("INBOX"), before) << out;
  EXPECT_EQ(out.find("Copy message"), std::string::npos) << out;
  ExpectNothingParked();
}

}  // namespace
