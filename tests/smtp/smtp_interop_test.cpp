// Real clients against the server: Python's smtplib and swaks (Debian package
// "swaks"). The stored spool files are compared byte for byte.
#include <stdio.h>

#include "server/accounts/accounts.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

class SmtpInteropTest : public SmtpServerTest {
 protected:
  void SetUp() override {
    SmtpServerTest::SetUp();
    std::string why;
    ASSERT_TRUE(WriteUserRecord("alice", "Alice Smith", home + "alice.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteUserRecord("root", "root", home + "root.mbx", "", "", "", why)) << why;
    ASSERT_TRUE(WriteListRecord("team", "The Team", "team", "alice", "", why)) << why;
    ConfigSetString("Users", "User1", "r;m1@x.test;One;1;", "", "team");
    ConfigSetString("Users", "User2", "r;m2@x.test;Two;1;", "", "team");
    ConfigSetNumber("Users", "NumUsers", 2, "", "team");
    ConfigSetNumber("Users", "ActualUsers", 2, "", "team");
    // The test client is a stranger: no relaying for it.
    ServerSettings().relayNetworks = "10.0.0.0/8";
  }

  // Runs a command; returns its exit status and fills `output`.
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

  std::string Body() {
    return "Subject: interop\r\n"
           "\r\n"
           ".\r\n"
           "..\r\n"
           ". not the end\r\n"
           ".leading dot\r\n" +
           std::string(4000, 'L') + "\r\n." + std::string(2500, 'D') + "\r\nend\r\n";
  }

  // The .in file whose envelope begins with `from`.
  std::string FindMessageFrom(const std::string& from) {
    for (const std::string& name : Files("*.in")) {
      std::string text = InFile(name);
      if (text.compare(0, from.size() + 8, "From: " + from + "\r\n") == 0) return text;
    }
    return "";
  }
};

TEST_F(SmtpInteropTest, PythonSmtplib) {
  std::string bodyPath = home + "body.txt";
  std::string body = Body();
  {
    std::ofstream out(bodyPath, std::ios::binary);
    out << body;
  }
  std::string output;
  int rc = Run("python3 " CORVEL_SOURCE_DIR "/tests/smtp/smtplib_dialogue.py " +
                   std::to_string(port) + " " + bodyPath,
               output);
  ASSERT_EQ(rc, 0) << output;
  EXPECT_EQ(output, "ok\n");
  ASSERT_TRUE(WaitForSessionsToEnd(30));
  EXPECT_TRUE(Files("*.wrm").empty());
  ASSERT_EQ(Files("*.in").size(), 2u);
  EXPECT_EQ(FindMessageFrom("sender@remote.test"),
            "From: sender@remote.test\r\nTo: alice@mail.test\r\nTo: root@mail.test\r\n\r\n" +
                Received("py.test") + body);
  EXPECT_EQ(FindMessageFrom("other@remote.test"),
            "From: other@remote.test\r\nTo: root@mail.test\r\n\r\n" + Received("helo.test") +
                "Subject: second\r\n\r\nhello\r\n");
}

TEST_F(SmtpInteropTest, Swaks) {
  std::string output;
  if (Run("swaks --version", output) != 0) GTEST_SKIP() << "swaks is not installed";
  std::string dataPath = home + "data.txt";
  std::string body = Body();
  {
    std::ofstream out(dataPath, std::ios::binary);
    out << body;
  }
  std::string server = " --server 127.0.0.1 --port " + std::to_string(port);
  // A whole message, given as the DATA text.
  int rc = Run("swaks" + server + " --helo swaks.test --from s@remote.test"
               " --to alice@mail.test,root@mail.test --data @" + dataPath,
               output);
  EXPECT_EQ(rc, 0) << output.substr(0, 2000);
  EXPECT_NE(output.find("<-  250 OK, Submitted & queued ("), std::string::npos) << output;
  // A refused relay: swaks reports the refused recipient with exit code 24.
  rc = Run("swaks" + server + " --helo swaks.test --from s@remote.test --to victim@far.test", output);
  EXPECT_EQ(rc, 24) << output;
  EXPECT_NE(output.find("<** 550 Relaying denied."), std::string::npos) << output;
  // Plain SMTP.
  rc = Run("swaks" + server + " --protocol SMTP --helo plain.test --from p@remote.test"
           " --to root@mail.test --data 'Subject: plain\\n\\nhi\\n'",
           output);
  EXPECT_EQ(rc, 0) << output;
  ASSERT_TRUE(WaitForSessionsToEnd(30));
  EXPECT_TRUE(Files("*.wrm").empty());
  EXPECT_EQ(FindMessageFrom("s@remote.test"),
            "From: s@remote.test\r\nTo: alice@mail.test\r\nTo: root@mail.test\r\n\r\n" +
                Received("swaks.test") + body + "\r\n");  // swaks ends DATA with a blank line
  EXPECT_EQ(FindMessageFrom("p@remote.test"),
            "From: p@remote.test\r\nTo: root@mail.test\r\n\r\n" + Received("plain.test") +
                "Subject: plain\r\n\r\nhi\r\n\r\n");
}

}  // namespace
