// Real clients against the server: Python's poplib, and mpop (Debian package
// "mpop") when it is installed. The mailbox files are compared byte for byte.
#include <stdio.h>
#include <sys/wait.h>

#include "tests/pop3/pop3_fixture.h"

namespace {

class Pop3InteropTest : public Pop3Test {
 protected:
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
  std::string Poplib(const std::string& mode) {
    std::string output;
    int rc = Run("python3 " CORVEL_SOURCE_DIR "/tests/pop3/poplib_dialogue.py " +
                     std::to_string(port) + " alice secret " + mode,
                 output);
    EXPECT_EQ(rc, 0) << output;
    return output;
  }
  std::string Messages() {
    return Mailbox({
        Message("Subject: one\r\nMessage-Id: <one@x.test>\r\n", ".dot line\r\n\r\n>From quoted\r\n"),
        Message("Subject: two\r\nMessage-Id: <one@x.test>\r\n", "two\r\n"),
        Message("Subject: three\r\n", "three\r\n"),
    });
  }
};

void ExpectPoplibTranscript(const std::string& out, const std::string& greeting) {
  std::istringstream in(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 12u) << out;
  EXPECT_EQ(lines[0], "login " + greeting);
  EXPECT_EQ(lines[1].rfind("stat 3 ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("list +OK 3 messages (", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("uidl 1 <one@x.test>,2 ", 0), 0u) << lines[3];
  EXPECT_EQ(lines[4], "top From bob@remote.test Fri Dec  4 10:00:00 2026|Subject: one|"
                      "Message-Id: <one@x.test>|");
  // poplib removes the stuffing dot; the quoted separator after an empty line
  // arrives unquoted.
  EXPECT_EQ(lines[5].substr(lines[5].find("|Message-Id")),
            "|Message-Id: <one@x.test>||.dot line||From quoted||");
  EXPECT_EQ(lines[8], "dele +OK message 1 deleted");
  EXPECT_EQ(lines[9], "rset +OK");
  EXPECT_EQ(lines[10], "dele +OK message 2 deleted");
  EXPECT_EQ(lines[11], "quit +OK POP3 server mail.test signing off.");
}

TEST_F(Pop3InteropTest, PoplibWithUserAndPass) {
  WriteFile(MailboxOf("alice"), Messages());
  std::string out = Poplib("user");
  ExpectPoplibTranscript(out, "+OK mailbox for alice has 3 messages (" +
                                  std::to_string(Messages().size()) + " octets)");
  ASSERT_TRUE(WaitForSessionsToEnd());
  // Message 2 deleted, 1 and 3 retrieved: both marked read.
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            Mailbox({
                Message("Subject: one\r\nMessage-Id: <one@x.test>\r\nStatus: RO\r\n",
                        ".dot line\r\n\r\n>From quoted\r\n"),
                Message("Subject: three\r\nStatus: RO\r\n", "three\r\n"),
            }));
  // RSET forgot the accesses before it; DELE 2 made message 2 the highest
  // accessed, and in the new table the last message before it is message 1.
  EXPECT_EQ(ReadFile(home + "alice.mid"), std::string("\0\0\0\0", 4));
}

TEST_F(Pop3InteropTest, PoplibWithApop) {
  WriteFile(MailboxOf("alice"), Messages());
  ExpectPoplibTranscript(Poplib("apop"), "+OK alice welcome here");
}

TEST_F(Pop3InteropTest, MpopFetchesIntoAnMboxAndDeletes) {
  std::string output;
  if (Run("command -v mpop", output) != 0) GTEST_SKIP() << "mpop is not installed";
  WriteFile(MailboxOf("alice"), Messages());
  std::string target = home + "fetched.mbox";
  WriteFile(target, "");
  std::string cmd = "HOME='" + home + "' mpop --host=127.0.0.1 --port=" + std::to_string(port) +
                    " --auth=user --user=alice --passwordeval='echo secret' --tls=off"
                    " --keep=off --uidls-file='" + home + "uidls' --delivery=mbox,'" + target +
                    "'";
  int rc = Run(cmd, output);
  ASSERT_EQ(rc, 0) << output;
  ASSERT_TRUE(WaitForSessionsToEnd());
  std::string fetched = ReadFile(target);
  EXPECT_NE(fetched.find("Subject: one"), std::string::npos) << fetched;
  EXPECT_NE(fetched.find("Subject: two"), std::string::npos);
  EXPECT_NE(fetched.find("Subject: three"), std::string::npos);
  EXPECT_NE(fetched.find("\n.dot line"), std::string::npos);
  // Every message was fetched and deleted: the mailbox is gone.
  EXPECT_FALSE(FileExists(MailboxOf("alice")));
  EXPECT_FALSE(FileExists(home + "alice.mid"));
}

}  // namespace
