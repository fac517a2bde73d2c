// Real clients against the server: Python's imaplib.
#include <stdio.h>
#include <sys/wait.h>

#include "tests/imap/imap_fixture.h"

namespace {

class ImapInteropTest : public ImapTest {
 protected:
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
};

TEST_F(ImapInteropTest, ImaplibLiteralsPartialsUidRangesAndASecondSession) {
  WriteFile(MailboxOf("alice"),
            Mailbox({Message("Subject: one\r\n", "1\r\n"), Message("Subject: two\r\n", "22\r\n"),
                     Message("Subject: three\r\n", "333\r\n")}));
  std::string out;
  ASSERT_EQ(Run("python3 " CORVEL_SOURCE_DIR "/tests/imap/imaplib_dialogue.py " +
                    std::to_string(port) + " alice secret",
                out),
            0)
      << out;
  std::istringstream in(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 12u) << out;
  EXPECT_EQ(lines[0], "login OK");
  EXPECT_EQ(lines[1], "select OK 3");
  EXPECT_EQ(lines[2], "uids OK 1 (UID 1 FLAGS () RFC822.SIZE 19) 2 (UID 2 FLAGS () RFC822.SIZE 20) "
                      "3 (UID 3 FLAGS () RFC822.SIZE 23)");
  EXPECT_EQ(lines[3], "partial OK 1 (BODY[]<0> {12}|Subject: one )");
  EXPECT_EQ(lines[4], "last OK 3 (UID 3)");
  EXPECT_EQ(lines[5], "range OK 2 3");
  EXPECT_EQ(lines[6], "store OK 2 (FLAGS (\\Flagged))");
  EXPECT_EQ(lines[7], "seen-by-other FETCH 2 (UID 2 FLAGS (\\Flagged))");
  EXPECT_EQ(lines[8], "flagged OK 2");
  EXPECT_EQ(lines[9], "expunge OK 3");
  EXPECT_EQ(lines[10], "other-expunge EXPUNGE 3");
  EXPECT_EQ(lines[11], "logout BYE");
  // The mailbox lost the third message and nothing else; the rewrite (POP3's
  // too) keeps the empty line that stood before the removed message's separator.
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            Mailbox({Message("Subject: one\r\nStatus: UO\r\n", "1\r\n"),
                     Message("Subject: two\r\nStatus: UO\r\n", "22\r\n")}) +
                "\r\n");
}

}  // namespace
