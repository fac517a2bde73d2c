// Crashes of the real server: messages sent with smtplib while corvel95 is killed
// with SIGKILL at random moments and started again. Every message that got its 250
// reply to the final "." must reach each of its mailboxes; copies are counted.
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

constexpr int kMessages = 500;
constexpr int kUsers = 5;
constexpr int kMaxKills = 40;
constexpr uint32_t kSendingMs = 22000;  // the sender gives up after this

// The sender: message i goes to user i % 5 and, every third one, also to the next
// user; its body is about 3 KB, so appends take a moment. Each attempt carries its
// own Message-Id "<m<i>.a<attempt>@crash>"; a line "ok <i> <attempt>" is printed
// when the final "." got its 250.
const char* kSender = R"(import smtplib, sys, time
port, n, users, limit = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
end = time.time() + limit
i, attempt = 0, 0
while i < n and time.time() < end:
    to = ['u%d@mail.example.org' % (i % users)]
    if i % 3 == 0:
        to.append('u%d@mail.example.org' % ((i + 1) % users))
    msg = ('Subject: crash %d\r\nMessage-Id: <m%d.a%d@crash>\r\n\r\nbody %d\r\n'
           % (i, i, attempt, i)
           + ('%d ' % i) * 16 + '\r\n' + ('x' * 70 + '\r\n') * 40).encode()
    try:
        s = smtplib.SMTP('127.0.0.1', port, timeout=5)
        try:
            s.sendmail('sender@remote.example.com', to, msg)
            print('ok %d %d' % (i, attempt), flush=True)
            i, attempt = i + 1, 0
        finally:
            try:
                s.quit()
            except Exception:
                pass
    except Exception:
        attempt += 1
        time.sleep(0.02)
)";

TEST(ServerCrashTest, AcceptedMessagesSurviveKillsOfTheServer) {
  TestHome home;
  int port = FreeLoopbackPort();
  WriteLoopbackServerSettings(port);
  std::string why;
  for (int u = 0; u < kUsers; ++u) {
    std::string name = "u" + std::to_string(u);
    ASSERT_TRUE(WriteUserRecord(name, name, home.dir + name + ".mbx", "", "", "", why)) << why;
  }
  RegCloseStore();
  {
    UniqueFd fd(open((home.dir + "send.py").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(WriteAll(fd.get(), kSender, strlen(kSender)));
  }
  ServerProcess server;
  ASSERT_TRUE(server.Start(home.dir, port));

  pid_t sender = StartPythonSender(home.dir + "send.py",
                                   {std::to_string(port), std::to_string(kMessages),
                                    std::to_string(kUsers), std::to_string(kSendingMs / 1000)},
                                   home.dir + "acks.txt");
  ASSERT_GT(sender, 0);
  int kills = KillWhileSending(server, home.dir, port, sender, 20231114, kMaxKills, kSendingMs + 5000);
  ASSERT_GE(kills, 0) << "a restart failed";

  // Which attempts were acknowledged.
  std::string acks;
  ReadWholeFile(home.dir + "acks.txt", acks);
  std::vector<std::pair<int, int>> accepted = ParseAcks(acks);
  ASSERT_GT(accepted.size(), size_t(kMessages / 10)) << "too few messages got through";

  // Wait until every accepted message is in its mailboxes (or time runs out).
  auto want = [&](int i) {
    std::vector<std::string> boxes{"u" + std::to_string(i % kUsers)};
    if (i % 3 == 0) boxes.push_back("u" + std::to_string((i + 1) % kUsers));
    return boxes;
  };
  std::map<std::string, size_t> expected;
  for (auto [i, a] : accepted)
    for (const std::string& box : want(i)) ++expected[box];
  for (auto& [box, n] : expected)
    WaitForMailboxMessages(home.dir + box + ".mbx", n, 15000);
  SleepMs(500);
  server.Stop();

  // Count each Message-Id in each mailbox.
  std::map<std::string, int> copies;  // "<box> <id>" -> copies
  for (int u = 0; u < kUsers; ++u) {
    std::string box = "u" + std::to_string(u), text;
    ReadWholeFile(home.dir + box + ".mbx", text);
    size_t found = 0;
    for (size_t pos = 0; (pos = text.find("\r\nMessage-Id: <m", pos)) != std::string::npos; ++pos) {
      size_t end = text.find('>', pos);
      copies[box + " " + text.substr(pos + 15, end - pos - 15)]++;
      ++found;
    }
    // No half message: the split rule finds exactly the messages written.
    EXPECT_EQ(MailboxMessages(home.dir + box + ".mbx"), found) << box;
  }
  // Nothing is left waiting or set aside.
  for (const std::string& dir : {home.dir, home.dir + "in/"})
    for (const char* pattern : {"*.in", "*.inr", "*.err"})
      EXPECT_TRUE(ListFiles(dir, pattern).empty()) << dir << pattern;
  int missing = 0, duplicates = 0;
  for (auto [i, a] : accepted)
    for (const std::string& box : want(i)) {
      std::string key = box + " m" + std::to_string(i) + ".a" + std::to_string(a) + "@crash";
      if (copies[key] == 0) {
        ++missing;
        ADD_FAILURE() << "missing " << key;
      }
    }
  for (auto& [key, n] : copies)
    if (n > 1) duplicates += n - 1;
  int retries = 0;  // attempts that failed (server killed or down) before a 250
  for (auto [i, a] : accepted) retries += a;
  printf("crash test: %zu of %d messages accepted, %d kills, %d failed attempts, %d missing, "
         "%d duplicate copies\n",
         accepted.size(), kMessages, kills, retries, missing, duplicates);
  EXPECT_EQ(missing, 0);
  EXPECT_GE(kills, 2);
  EXPECT_LE(duplicates, 3);
}

}  // namespace
