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
