// Crashes while relaying: 500 messages go through corvel95 to smtp-sink (which
// dumps each one) while the server is killed with SIGKILL every 10 to 120 ms and
// started again. Every message that got its 250 to the final "." must reach the
// sink at least once and the queue must end empty; copies are counted and
// reported (a kill between the peer's 250 and our record of it sends again).
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "tests/core/test_home.h"
#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr int kMessages = 500;
constexpr int kMaxKills = 40;
constexpr uint32_t kSendingMs = 22000;  // the sender gives up after this
constexpr uint32_t kDrainMs = 40000;    // then everything taken must arrive

// Message i carries the Message-Id "<m<i>.a<attempt>@crash>"; "ok <i> <attempt>" is
// printed when the final "." got its 250.
const char* kSender = R"(import smtplib, sys, time
port, n, limit = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
end = time.time() + limit
i, attempt = 0, 0
while i < n and time.time() < end:
    msg = ('Subject: crash %d\r\nMessage-Id: <m%d.a%d@crash>\r\n\r\nbody %d\r\n'
           % (i, i, attempt, i) + ('x' * 70 + '\r\n') * 20).encode()
    try:
        s = smtplib.SMTP('127.0.0.1', port, timeout=5)
        try:
            s.sendmail('sender@remote.example.com', ['r%d@far.example' % i], msg)
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

TEST(RelayCrashTest, MessagesTakenSurviveKillsWhileRelaying) {
  TestHome home;
  int port = FreeLoopbackPort();
  WriteLoopbackServerSettings(port);
  SinkProcess sink;
  ASSERT_TRUE(sink.Start(PeerAddress(27, 1)));
  RegSetString(kRootKey, "SmartHost", PeerAddress(27, 1));
  RegSetDword(kRootKey, "RoutingMode", kRouteSmartHost);
  RegCloseStore();
  {
    UniqueFd fd(open((home.dir + "send.py").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(WriteAll(fd.get(), kSender, strlen(kSender)));
  }
  ServerProcess server;
  ASSERT_TRUE(server.Start(home.dir, port));

  pid_t sender = StartPythonSender(home.dir + "send.py",
                                   {std::to_string(port), std::to_string(kMessages),
                                    std::to_string(kSendingMs / 1000)},
                                   home.dir + "acks.txt");
  ASSERT_GT(sender, 0);
  int kills = KillWhileSending(server, home.dir, port, sender, 20261208, kMaxKills, kSendingMs + 5000);
  ASSERT_GE(kills, 0) << "a restart failed";

  std::string acks;
  ReadWholeFile(home.dir + "acks.txt", acks);
  std::vector<std::pair<int, int>> accepted = ParseAcks(acks);
  ASSERT_GT(accepted.size(), size_t(kMessages / 10)) << "too few messages got through";

  // Everything taken arrives, and nothing stays in the queue.
  // A whole dump ends with the last body line and the empty line smtp-sink adds.
  const std::string kLastLine = std::string(70, 'x') + "\n\n";
  int partial = 0;
  auto copiesById = [&] {
    partial = 0;
    std::map<std::string, int> copies;
    for (const std::string& dump : sink.Dumps()) {
      // smtp-sink leaves a dump of a transaction cut off before its "." too:
      // only whole messages count.
      if (dump.size() < kLastLine.size() || dump.compare(dump.size() - kLastLine.size(),
                                                         kLastLine.size(), kLastLine) != 0) {
        ++partial;
        continue;
      }
      size_t p = dump.find("\nMessage-Id: <m");
      if (p == std::string::npos) continue;
      copies[dump.substr(p + 14, dump.find('>', p) - p - 14)]++;
    }
    return copies;
  };
  auto queueEmpty = [&] {
    for (const char* pattern : {"*.in", "*.inr", "*.out", "*.our", "*.err", "*.wrm"})
      if (!ListFiles(home.dir, pattern).empty()) return false;
    return true;
  };
  std::map<std::string, int> copies;
  uint32_t drain = GetTickCount32();
  for (;;) {
    copies = copiesById();
    bool all = true;
    for (auto [i, a] : accepted)
      all = all && copies.count("m" + std::to_string(i) + ".a" + std::to_string(a) + "@crash");
    if ((all && queueEmpty()) || TickElapsed(GetTickCount32(), drain) > kDrainMs) break;
    SleepMs(100);
  }
  server.Stop();
  int missing = 0, duplicates = 0, retries = 0;
  for (auto [i, a] : accepted) {
    retries += a;
    std::string id = "m" + std::to_string(i) + ".a" + std::to_string(a) + "@crash";
    if (copies[id] == 0) {
      ++missing;
      ADD_FAILURE() << "missing " << id;
    }
  }
  for (auto& [id, n] : copies)
    if (n > 1) duplicates += n - 1;
  for (const char* pattern : {"*.in", "*.inr", "*.out", "*.our", "*.err"})
    EXPECT_TRUE(ListFiles(home.dir, pattern).empty()) << pattern;
  printf("relay crash test: %zu of %d messages accepted, %d kills, %d failed attempts, %d missing, "
         "%d duplicate copies, %d transactions cut off\n",
         accepted.size(), kMessages, kills, retries, missing, duplicates, partial);
  EXPECT_EQ(missing, 0);
  EXPECT_GE(kills, 2);
}

}  // namespace
