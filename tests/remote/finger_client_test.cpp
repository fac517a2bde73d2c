// Debian's finger client against the real server. The client always uses port 79,
// so the server gets a loopback address of its own (127.0.0.79) for this test.
#include <chrono>

#include "tests/remote/remote_fixture.h"

namespace {

constexpr const char* kFingerHost = "127.0.0.79";
constexpr int kFingerPort = 79;

// True when this process may listen on 127.0.0.79:79 (root, port free).
bool CanBindFingerPort(std::string& why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;  // as the server does: connections of an earlier run may linger
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kFingerPort);
  inet_pton(AF_INET, kFingerHost, &a.sin_addr);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (!ok) why = std::string("cannot bind 127.0.0.79:79: ") + strerror(errno);
  close(fd);
  return ok;
}

class FingerClientTest : public RemoteServerTest {
 protected:
  void SetUp() override {
    std::string why;
    if (!CanBindFingerPort(why)) GTEST_SKIP() << why;
    if (system("command -v finger >/dev/null") != 0) GTEST_SKIP() << "finger is not installed";
    bind_ = kFingerHost;
    finger_ = kFingerPort;
    WriteSettings(kAccessPop3 | kAccessFinger);
    plan_ = home_.dir + "alice.plan";
    noUser_ = home_.dir + "nouser.txt";
    error_ = home_.dir + "missing-error.txt";
    RegSetString(kRootKey, "SysOptFgrNoUser", noUser_.c_str());
    RegSetString(kRootKey, "SysOptFgrErr", error_.c_str());
    AddUser("alice", "Alice Smith", "secret", kAccessPop3 | kAccessFinger, "", plan_);
    AddUser("carol", "Carol Jones", "", kAccessPop3);
    ASSERT_TRUE(WriteAliasRecord("sales", "alice", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("team", "Team Talk", "team", "owner@example.org", "", why));
    ASSERT_TRUE(WriteUserExtra("team", {kAccessFinger, "", ""}, "", why)) << why;
    WriteFile(plan_, "Working on mail.\r\n\x1a");
    WriteFile(noUser_, "Nobody of that name here.\r\n");
    WriteFile(Box("alice"),
              "From bob@example.org Fri Dec  4 10:00:00 2026\r\nSubject: hi\r\n\r\nhello\r\n\r\n");
    Start();
  }
  // What `finger ARGS` prints; fails the test when it takes a second or more.
  std::string Finger(const std::string& args) {
    auto start = std::chrono::steady_clock::now();
    std::string out = Run("finger " + args + " 2>&1");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 1000) << "finger " << args;
    return out;
  }

  std::string plan_, noUser_, error_;
};

TEST_F(FingerClientTest, RepliesAsDesigned) {
  const std::string aliceLine = "User Id: alice                          Name: Alice Smith\n";
  const std::string unreadableError =
      "Unable to read file: '" + error_ + "'\n\nError processing finger request.";
  struct Case {
    std::string args;
    std::string want;
  } cases[] = {
      {"alice@127.0.0.79", aliceLine + "New mail has arrived.\nWorking on mail.\n"},
      {"-l alice@127.0.0.79", aliceLine + "New mail has arrived.\nWorking on mail.\n"},
      // An alias answers for its account, under the name asked.
      {"Sales@127.0.0.79",
       "User Id: Sales                          Name: Alice Smith\nNew mail has arrived.\n"
       "Working on mail.\n"},
      {"team@127.0.0.79", "User Id: team                           Name: Team Talk\nMailing List\n"},
      {"carol@127.0.0.79", "Finger access for 'carol' not permitted.\n" + unreadableError},
      {"nobody@127.0.0.79", "Unable to find specified user.\nNobody of that name here.\n"},
      {"a@b@127.0.0.79", "Finger forward request denied.\n" + unreadableError},
      {"@127.0.0.79", "Finger online user list request denied.\n" + unreadableError},
      {"-l @127.0.0.79", "Finger online user list request denied.\n" + unreadableError},
  };
  for (const Case& c : cases) EXPECT_EQ(Finger(c.args), c.want) << c.args;

  // Emptied by POP3, the mailbox is gone and so is the mail line.
  EXPECT_EQ(Client(std::string("pop ") + kFingerHost + " " + std::to_string(pop_) + " alice secret"),
            "login +OK mailbox for alice has 1 messages (71 octets)\ndeleted 1\n");
  EXPECT_EQ(Finger("alice@127.0.0.79"), aliceLine + "Working on mail.\n");
  // Files are read at every request; a FIFO is never opened for reading.
  WriteFile(plan_, "Gone fishing.\r\n");
  ASSERT_EQ(mkfifo((home_.dir + "fifo").c_str(), 0644), 0);
  RegSet("SysOptFgrErr", "sz", home_.dir + "fifo");
  EXPECT_EQ(Finger("alice@127.0.0.79"), aliceLine + "Gone fishing.\n");
  EXPECT_EQ(Finger("@127.0.0.79"), "Finger online user list request denied.\nUnable to read file: '" +
                                       home_.dir + "fifo'\n\nError processing finger request.");
}

}  // namespace
