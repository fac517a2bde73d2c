// Delivery through the real server: messages sent with swaks and Python's smtplib
// to a corvel95 on a free loopback port, checked in the mailbox files. Skipped
// while the server does not yet listen for SMTP.
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include <gtest/gtest.h>

namespace {

int RunCommand(const std::string& command) { return system(command.c_str()); }

// True when the message was taken (an incoming file is waiting) but nothing
// routes it: start-up does not run the router yet.
bool RouterNotRunning(const std::string& home) {
  return !ListFiles(home + "in/", "*.in").empty() || !ListFiles(home, "*.in").empty();
}

class ServerDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    std::string why;
    for (const char* u : {"alice", "bob"})
      WriteUserRecord(u, u, home_.dir + u + ".mbx", "", "", "", why);
    WriteAliasRecord("sales", "alice", "", why);
    RegCloseStore();
    // A server that does not listen yet makes the tests skip.
    server_.Start(home_.dir, port_);
  }
  void TearDown() override { server_.Stop(); }
  std::string Box(const char* user) { return home_.dir + user + ".mbx"; }

  TestHome home_;
  int port_ = 0;
  ServerProcess server_;
};

TEST_F(ServerDeliveryTest, SwaksToSeveralLocalRecipients) {
  if (!PortAccepts(port_)) GTEST_SKIP() << "the server does not listen for SMTP yet";
  std::string cmd = "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port_) +
                    " --from bob@mail.example.org --to alice@mail.example.org,sales@mail.example.org,"
                    "bob@mail.example.org --body 'Hello\\n\\nFrom the body\\n.\\n' >/dev/null";
  ASSERT_EQ(RunCommand(cmd), 0);
  if (!WaitForMailboxMessages(Box("alice"), 2, 10000) && RouterNotRunning(home_.dir))
    GTEST_SKIP() << "start-up does not run the router yet";
  ASSERT_EQ(MailboxMessages(Box("alice")), 2u);
  ASSERT_TRUE(WaitForMailboxMessages(Box("bob"), 1, 10000));
  std::string text;
  ReadWholeFile(Box("bob"), text);
  EXPECT_EQ(text.rfind("From bob@mail.example.org ", 0), 0u);
  EXPECT_NE(text.find(">From the body\r\n"), std::string::npos);
  EXPECT_NE(text.find("Received: by mail.example.org from localhost"), std::string::npos);
}

TEST_F(ServerDeliveryTest, SmtplibMessageWithoutHeadersGetsThem) {
  if (!PortAccepts(port_)) GTEST_SKIP() << "the server does not listen for SMTP yet";
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
  if (!WaitForMailboxMessages(Box("alice"), 1, 10000) && RouterNotRunning(home_.dir))
    GTEST_SKIP() << "start-up does not run the router yet";
  ASSERT_EQ(MailboxMessages(Box("alice")), 1u);
  std::string text;
  ReadWholeFile(Box("alice"), text);
  EXPECT_NE(text.find("Message-Id: <"), std::string::npos);
  EXPECT_NE(text.find("Subject: None\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n.\r\nend\r\n"), std::string::npos);  // the dot unstuffed
}

}  // namespace
