// Crashes: a router killed at random moments loses no message, and an append
// cut off by the death of its process leaves no half message behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

#include "platform/tick.h"
#include "tests/delivery/router_fixture.h"

namespace {

constexpr const char* kCrashHomeVariable = "CORVEL_CRASH_HOME";

// The child side: routes the queue of the home named in the environment until it
// is empty or the parent kills it. Skipped in a normal run.
TEST(CrashChild, RouteUntilKilled) {
  const char* home = getenv(kCrashHomeVariable);
  if (!home) GTEST_SKIP() << "runs only as the crash test's child";
  std::string dir = home;
  SetHomeDirectory(dir);
  ApplyTestSettings(dir);
  std::string why;
  RegCloseStore();
  ASSERT_TRUE(RegOpenStore(dir + "registry.db", why)) << why;
  ASSERT_TRUE(LoadSecondaryDomains(why));
  SetWindowEchoToStdout(false);
  ResetRouterState();
  for (int idle = 0; idle < 3;) {
    if (RouteIncomingQueue()) idle = 0;
    else if (ListFiles(ServerSettings().incomingDirectory, "*.in").empty()) ++idle;
  }
  RegCloseStore();
}

using CrashTest = RouterTest;

TEST_F(CrashTest, AppendCutOffByDeathIsRemovedByNextOpener) {
  std::string path = UserPath("alice");
  std::string whole = "From a@b Tue Nov 14 22:13:20 2023\r\nMessage-id: <1>\r\n\r\nbody\r\n\r\n";
  Write(path, whole + "\r\nFrom c@d Tue Nov 14 22:13:20 2023\r\nMessage-id: <2>\r\n\r\nhal");
  std::string now = std::to_string((long long)time(nullptr));
  Write(path + kAppendNoteSuffix,
        "B 0 k0\nE k0 1000\nB 0 k1\nE k1 " + now + "\nB " + std::to_string(whole.size()) + " k2\n");
  MailboxIndex index = Index("alice");
  ASSERT_EQ(index.messages.size(), 1u);
  EXPECT_EQ(Read(path), whole);
  // The whole appends stay known.
  EXPECT_EQ(Read(path + kAppendNoteSuffix), "E k0 1000\nE k1 " + now + "\n");
  // The router asks for k1 again: nothing is written twice.
  MailboxAppend again;
  EXPECT_EQ(OpenMailboxFileForAppend(path, "s@x", again, nullptr, "k1"), AppendOpen::kAlreadyDone);
  EXPECT_EQ(Read(path), whole);
  // An old line does not count: k0 is appended anew.
  ASSERT_EQ(OpenMailboxFileForAppend(path, "s@x", again, nullptr, "k0"), AppendOpen::kOpened);
  AbandonMailboxAppend(again);
  EXPECT_EQ(Read(path), whole);
  // A long note is removed once the marks are durable.
  Write(path + kAppendNoteSuffix, std::string(5000, '#') + "\n");
  ForgetFinishedAppends({path}, {"alice"});
  EXPECT_FALSE(FileExists(path + kAppendNoteSuffix));
  // While an append holds the mailbox, its note is left alone.
  MailboxAppend a;
  ASSERT_EQ(OpenMailboxFileForAppend(path, "s@x", a), AppendOpen::kOpened);
  EXPECT_TRUE(FileExists(path + kAppendNoteSuffix));
  EXPECT_FALSE(OpenMailboxForReading(path).valid());
  std::string why;
  ASSERT_TRUE(FinishMailboxAppend(a, why));
  EXPECT_EQ(Index("alice").messages.size(), 2u);
}

// The crash test at the router's level: 500 messages, the router killed
// with SIGKILL at random moments, then restarted. Every message must reach every
// one of its mailboxes; repeats are counted.
TEST_F(CrashTest, KilledRouterLosesNoMessage) {
  constexpr int kMessages = 500;
  const char* users[] = {"alice", "bob", "carol", "root"};
  std::map<std::string, std::vector<std::string>> expected;  // user -> ids
  for (int i = 0; i < kMessages; ++i) {
    char name[32];
    snprintf(name, sizeof name, "%08x.in", i + 1);
    std::string id = "c" + std::to_string(i);
    std::vector<std::string> to = {users[i % 4]};
    if (i % 7 == 0) to.push_back(users[(i + 1) % 4]);
    for (const std::string& u : to) expected[u].push_back("<" + id + ">");
    Spool(name, "bob@remote.example", to, Message(id, std::string(1500, 'x') + "\r\n"));
  }
  std::string self = std::string(CORVEL_BIN_DIR) + "/delivery_tests";
  std::mt19937 rng(20261208);
  int kills = 0;
  for (int round = 0; round < 40; ++round) {
    if (ListFiles(ServerSettings().incomingDirectory, "*.in").empty()) break;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv(kCrashHomeVariable, dir_.c_str(), 1);
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      execl(self.c_str(), self.c_str(), "--gtest_filter=CrashChild.*", nullptr);
      _exit(127);
    }
    SleepMs(40 + rng() % 40);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++kills;  // killed before it had finished
  }
  // The restart: whatever is left, including parked files, is routed here.
  for (int i = 0; i < 5; ++i) {
    ResetRouterState();
    RunQueue(2000);
  }
  EXPECT_TRUE(ListFiles(ServerSettings().incomingDirectory, "*.in*").empty());
  int duplicates = 0, missing = 0;
  for (const auto& [user, ids] : expected) {
    std::map<std::string, int> seen;
    for (const MailboxMessage& m : Index(user).messages) ++seen[m.messageId];
    for (const std::string& id : ids) {
      if (seen[id] == 0) ++missing;
      else duplicates += seen[id] - 1;
    }
  }
  EXPECT_EQ(missing, 0);
  // A delivery whose mark was lost is recognised by its append note.
  EXPECT_EQ(duplicates, 0);
  RecordProperty("kills", kills);
  RecordProperty("duplicates", duplicates);
  printf("crash test: %d kills, %d missing, %d duplicates\n", kills, missing, duplicates);
}

}  // namespace
