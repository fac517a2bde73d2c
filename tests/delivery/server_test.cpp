// Delivery through the real server: messages sent with swaks and Python's smtplib
// to a corvel95 on a free loopback port, checked in the mailbox files. Skipped
// while the server does not yet listen for SMTP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "tests/core/test_home.h"
#include <gtest/gtest.h>

namespace {

const std::string kServer = std::string(CORVEL_BIN_DIR) + "/corvel95";

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

bool Accepts(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

int RunCommand(const std::string& command) { return system(command.c_str()); }

size_t Messages(const std::string& path) {
  UniqueFd fd = OpenShared(path, O_RDONLY);
  MailboxIndex index;
  std::string why;
  if (fd.valid()) IndexMailbox(fd.get(), index, why);
  return index.messages.size();
}

// True when the message was taken (an incoming file is waiting) but nothing
// routes it: start-up does not run the router yet.
bool RouterNotRunning(const std::string& home) {
  return !ListFiles(home + "in/", "*.in").empty() || !ListFiles(home, "*.in").empty();
}

bool WaitForMessages(const std::string& path, size_t n, uint32_t ms) {
  uint32_t start = GetTickCount32();
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (Messages(path) >= n) return true;
    SleepMs(100);
  }
  return false;
}

class ServerDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    RegSetString(kRootKey, "DomainServer", "127.0.0.1");
    RegSetDword(kRootKey, "DisableDNSLookup", 1);
    RegSetString(kRootKey, "BindAddress", "127.0.0.1");
    RegSetDword(kRootKey, "SysAccess", 0);
    RegSetDword(kRootKey, "SysOptSmtp", uint32_t(port_));
    RegSetString(kRootKey, "LocalNode", "mail.example.org");
    RegSetString(kRootKey, "LocalIP", "127.0.0.1");
    RegSetDword(kRootKey, "VerifyNode", 0);
    RegSetDword(kRootKey, "InQueueTime", 5);
    RegSetDword(kRootKey, "LimitRecipients", 50);
    std::string why;
    for (const char* u : {"alice", "bob"})
      WriteUserRecord(u, u, home_.dir + u + ".mbx", "", "", "", why);
    WriteAliasRecord("sales", "alice", "", why);
    RegCloseStore();
    pid_ = fork();
    if (pid_ == 0) {
      std::string out = home_.dir + "out.txt";
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      execl(kServer.c_str(), kServer.c_str(), "--home", home_.dir.c_str(), "-H", nullptr);
      _exit(127);
    }
    // The start-up logs this line whether or not a listener stands behind it yet.
    std::string log = home_.dir + "maillog.txt", text;
    uint32_t start = GetTickCount32();
    while (TickElapsed(GetTickCount32(), start) < 10000 &&
           (!ReadWholeFile(log, text) || text.find("SMTP server started.") == std::string::npos))
      SleepMs(100);
  }
  void TearDown() override {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  std::string Box(const char* user) { return home_.dir + user + ".mbx"; }

  TestHome home_;
  int port_ = 0;
  pid_t pid_ = -1;
};

TEST_F(ServerDeliveryTest, SwaksToSeveralLocalRecipients) {
  if (!Accepts(port_)) GTEST_SKIP() << "the server does not listen for SMTP yet";
  std::string cmd = "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port_) +
                    " --from bob@mail.example.org --to alice@mail.example.org,sales@mail.example.org,"
                    "bob@mail.example.org --body 'Hello\\n\\nFrom the body\\n.\\n' >/dev/null";
  ASSERT_EQ(RunCommand(cmd), 0);
  if (!WaitForMessages(Box("alice"), 2, 10000) && RouterNotRunning(home_.dir))
    GTEST_SKIP() << "start-up does not run the router yet";
  ASSERT_EQ(Messages(Box("alice")), 2u);
  ASSERT_TRUE(WaitForMessages(Box("bob"), 1, 10000));
  std::string text;
  ReadWholeFile(Box("bob"), text);
  EXPECT_EQ(text.rfind("From bob@mail.example.org ", 0), 0u);
  EXPECT_NE(text.find(">From the body\r\n"), std::string::npos);
  EXPECT_NE(text.find("Received: by mail.example.org from localhost"), std::string::npos);
}

TEST_F(ServerDeliveryTest, SmtplibMessageWithoutHeadersGetsThem) {
  if (!Accepts(port_)) GTEST_SKIP() << "the server does not listen for SMTP yet";
  std::string script =
      "import smtplib\n"
      "s = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) + ")\n"
      "s.sendmail('bob@mail.example.org', ['alice@mail.example.org'], 'plain text\\r\\n.\\r\\nend\\r\\n')\n"
      "s.quit()\n";
  std::string path = home_.dir + "send.py";
  {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(WriteAll(fd.get(), script.data(), script.size()));
  }
  ASSERT_EQ(RunCommand("python3 " + path), 0);
  if (!WaitForMessages(Box("alice"), 1, 10000) && RouterNotRunning(home_.dir))
    GTEST_SKIP() << "start-up does not run the router yet";
  ASSERT_EQ(Messages(Box("alice")), 1u);
  std::string text;
  ReadWholeFile(Box("alice"), text);
  EXPECT_NE(text.find("Message-Id: <"), std::string::npos);
  EXPECT_NE(text.find("Subject: None\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n.\r\nend\r\n"), std::string::npos);  // the dot unstuffed
}

}  // namespace
