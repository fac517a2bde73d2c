// The server as a new user meets it: the real corvel95 on free loopback ports,
// driven by real clients (swaks, Python's poplib, raw SMTP and POP3 dialogues),
// checked in the files it leaves. Each test guards a fault found that way.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/spool/spool.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/pop3/pop3_fixture.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

const std::string kBin = CORVEL_BIN_DIR;
const std::string kSource = CORVEL_SOURCE_DIR;

// Runs a shell command; its exit status, with standard output and error in `out`.
int Shell(const std::string& command, std::string* out = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out);
  return out;
}

bool WaitFor(const std::function<bool()>& done, uint32_t ms) {
  uint32_t start = GetTickCount32();
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (done()) return true;
    SleepMs(20);
  }
  return done();
}

std::string Swaks(int port, const std::string& to, const std::string& body = "Hello") {
  return "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port) +
         " --from bob@remote.test --to " + to + " --body '" + body + "'";
}

class FirstUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    smtpPort_ = FreeLoopbackPort();
    popPort_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(smtpPort_);
    RegSetDword(kRootKey, "SysAccess", 1);  // POP3 on
    RegSetDword(kRootKey, "SysOptPop", uint32_t(popPort_));
    AddUser("alice", "secret");
    AddUser("bench1", "");
  }
  void TearDown() override { server_.Stop(); }

  void AddUser(const std::string& name, const std::string& password) {
    std::string scrambled, why;
    if (!password.empty()) {
      ASSERT_TRUE(ScramblePassword(name, password, scrambled));
    }
    ASSERT_TRUE(WriteUserRecord(name, name, Box(name), scrambled, "", "", why)) << why;
  }
  std::string Box(const std::string& user) { return home_.dir + user + ".mbx"; }
  // Starts the server on the test's home; true once both listeners accept.
  bool StartServer(std::vector<std::string> extra = {}) {
    RegCloseStore();
    return server_.Start(home_.dir, smtpPort_, std::move(extra)) &&
           WaitFor([&] { return PortAccepts(popPort_); }, 10000);
  }

  TestHome home_;
  int smtpPort_ = 0;
  int popPort_ = 0;
  ServerProcess server_;
};

// A client that retries its login after a line the server refused as too long
// must get in: the refused line is one wrong command, and after USER a wrong
// command ends that login attempt. In SMTP it is one syntax error: the
// transaction keeps its sender and recipients.
TEST_F(FirstUseTest, AnOverLongLineIsOneWrongCommandForTheSessionMachine) {
  ASSERT_TRUE(StartServer());
  PopClient pop(popPort_);
  ASSERT_EQ(pop.ReadLine().substr(0, 4), "+OK ");
  EXPECT_EQ(pop.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(pop.Ask(std::string(100 * 1024, 'x')), "-ERR unknown command");
  EXPECT_EQ(pop.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(pop.Ask("PASS secret"), "+OK mailbox for alice has 0 messages (0 octets)");
  EXPECT_EQ(pop.Ask(std::string(5000, 'y')), "-ERR unknown command");
  EXPECT_EQ(pop.Ask("STAT"), "+OK 0 0");
  EXPECT_EQ(pop.Ask("QUIT"), "+OK POP3 server mail.example.org signing off.");

  SmtpClient smtp(smtpPort_);
  ASSERT_EQ(smtp.Reply().substr(0, 4), "220-");
  ASSERT_EQ(smtp.Ask("EHLO client.test").substr(0, 4), "250-");
  EXPECT_EQ(smtp.Ask("MAIL FROM:<bob@remote.test>"), "250 OK");
  EXPECT_EQ(smtp.Ask("RCPT TO:<alice@mail.example.org>"), "250 OK, alice@mail.example.org");
  EXPECT_EQ(smtp.Ask("RCPT TO:<" + std::string(100 * 1024, 'z') + ">"), "550 Syntax error");
  EXPECT_EQ(smtp.Ask("RCPT TO:<bench1@mail.example.org>"), "250 OK, bench1@mail.example.org");
  EXPECT_EQ(smtp.Ask("DATA").substr(0, 3), "354");
  EXPECT_EQ(smtp.Ask("Subject: both\r\n\r\nhello\r\n.").substr(0, 28), "250 OK, Submitted & queued (");
  EXPECT_TRUE(WaitForMailboxMessages(Box("alice"), 1, 10000));
  EXPECT_TRUE(WaitForMailboxMessages(Box("bench1"), 1, 10000));
}

// An administrator who lists a short name in IncomingAlias means it: mail for
// bench1@localhost lands in bench1's mailbox instead of going out to
// localhost.example.org.
TEST_F(FirstUseTest, ShortHostAliasIsMatchedBeforeTheSuffixRule) {
  RegSetString(kRootKey, "IncomingAlias", "localhost");
  ASSERT_TRUE(StartServer());
  std::string out;
  ASSERT_EQ(Shell(Swaks(smtpPort_, "bench1@localhost", "to a short alias"), &out), 0) << out;
  ASSERT_TRUE(WaitForMailboxMessages(Box("bench1"), 1, 10000));
  EXPECT_NE(ReadText(Box("bench1")).find("to a short alias"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return ListFiles(home_.dir, "*.in").empty(); }, 5000));
  EXPECT_TRUE(ListFiles(home_.dir, "*.out").empty());
}

}  // namespace
