// The real corvel95 with UseImap on: sessions idling in IMAP while mail arrives
// by SMTP and the router appends it.
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/imap/imap_fixture.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(ImapServerTest, IdleSeesSmtpDeliveriesWithinASecondAndNothingIsParked) {
  TestHome home;
  int smtpPort = FreeLoopbackPort();
  int imapPort = FreeLoopbackPort();
  WriteLoopbackServerSettings(smtpPort);
  RegSetDword(kRootKey, "UseImap", 1);
  RegSetDword(kRootKey, "SysOptImap", uint32_t(imapPort));
  std::string scrambled, why;
  ASSERT_TRUE(ScramblePassword("alice", "secret", scrambled));
  std::string box = home.dir + "alice.mbx";
  ASSERT_TRUE(WriteUserRecord("alice", "alice", box, scrambled, "", "", why)) << why;
  RegCloseStore();
  ServerProcess server;
  ASSERT_TRUE(server.Start(home.dir, smtpPort));
  for (int i = 0; i < 500 && !PortAccepts(imapPort); ++i) SleepMs(20);

  ImapClient a(imapPort), b(imapPort);
  for (ImapClient* c : {&a, &b}) {
    ASSERT_EQ(c->ReadLine().rfind("* OK", 0), 0u);
    ASSERT_EQ(c->Ask("l", "LOGIN alice secret").back().rfind("l OK", 0), 0u);
    ASSERT_EQ(c->Ask("s", "SELECT INBOX").back().rfind("s OK", 0), 0u);
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
        grewAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin)
                       .count();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (int n = 1; n <= 3; ++n) {
    SmtpClient smtp(smtpPort);
    ASSERT_EQ(smtp.Reply().substr(0, 3), "220");
    smtp.Ask("HELO client.test");
    EXPECT_EQ(smtp.Ask("MAIL FROM:<bob@remote.test>"), "250 OK");
    EXPECT_EQ(smtp.Ask("RCPT TO:<alice@mail.example.org>").substr(0, 3), "250");
    EXPECT_EQ(smtp.Ask("DATA").substr(0, 3), "354");
    EXPECT_EQ(smtp.Ask("Subject: n" + std::to_string(n) + "\r\n\r\nhello\r\n.").substr(0, 3), "250");
    smtp.Ask("QUIT");
    EXPECT_EQ(a.ReadLine(), "* " + std::to_string(n) + " EXISTS");
    long long heard =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin).count();
    EXPECT_LT(heard - grewAtMs.load(), 1000) << "message " << n;
    EXPECT_EQ(b.ReadLine(), "* " + std::to_string(n) + " EXISTS");
  }
  stop = true;
  watcher.join();
  a.SendRaw("DONE\r\n");
  EXPECT_EQ(a.Collect("i").back(), "i OK IDLE terminated");
  std::string r = Joined(a.Ask("f", "FETCH 3 BODY.PEEK[HEADER.FIELDS (SUBJECT)]"));
  EXPECT_NE(r.find("Subject: n3"), std::string::npos) << r;
  // No delivery was parked because a reader held the mailbox.
  for (const auto& e : std::filesystem::recursive_directory_iterator(home.dir))
    EXPECT_NE(e.path().extension(), ".inr") << e.path();
  server.Stop();
}

}  // namespace
