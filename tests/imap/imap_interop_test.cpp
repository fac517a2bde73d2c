// Real clients against the server: Python's imaplib.
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>

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
  ASSERT_EQ(lines.size(), 15u) << out;
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
  EXPECT_EQ(lines[11], "append OK");
  EXPECT_EQ(lines[12],
            "appended OK 3 (UID 4 FLAGS (\\Flagged $Label1) INTERNALDATE \"04-Dec-2026 10:00:00 +0000\")");
  EXPECT_EQ(lines[13], "bad-date APPEND command error");
  EXPECT_EQ(lines[14], "logout BYE");
  // The mailbox lost the third message and nothing else; the rewrite (POP3's
  // too) keeps the empty line that stood before the removed message's separator.
  // The appended message follows, its separator dated as the client asked.
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            Mailbox({Message("Subject: one\r\nStatus: UO\r\n", "1\r\n"),
                     Message("Subject: two\r\nStatus: UO\r\n", "22\r\n")}) +
                "\r\n\r\nFrom alice Fri Dec  4 10:00:00 2026\r\nSubject: appended\r\n\r\nby imaplib\r\n\r\n");
}

}  // namespace

namespace {

// mbsync (Debian package "isync") keeping a Maildir in step with INBOX.
class MbsyncTest : public ImapInteropTest {
 protected:
  std::string rc;
  void WriteConfig() {
    rc = home + "mbsyncrc";
    MakeDirectories(home + "maildir", 0700);
    WriteFile(rc, "IMAPAccount corvel\nHost 127.0.0.1\nPort " + std::to_string(port) +
                      "\nUser alice\nPass secret\nSSLType None\nAuthMechs LOGIN\n\n"
                      "IMAPStore remote\nAccount corvel\n\n"
                      "MaildirStore local\nPath " + home + "maildir/\nInbox " + home +
                      "maildir/INBOX\n\n"
                      "Channel c\nFar :remote:\nNear :local:\nPatterns INBOX\nCreate Near\n"
                      "Sync All\nExpunge Both\nSyncState *\n");
  }
  // Runs mbsync; returns how many message bodies it fetched (from the log).
  int Sync() {
    std::string out;
    ClearWindowLog();
    EXPECT_EQ(Run("mbsync -c '" + rc + "' c", out), 0) << out;
    int bodies = 0;
    for (const std::string& line : WindowLogLines())
      if (line.find("<--") != std::string::npos && line.find("BODY.PEEK[]") != std::string::npos)
        ++bodies;
    return bodies;
  }
  // The Maildir's file names: a message fetched again gets a new one.
  std::vector<std::string> LocalNames() {
    std::vector<std::string> names;
    for (const char* sub : {"cur", "new"})
      for (const std::string& n : ListFiles(home + "maildir/INBOX/" + sub, "*"))
        names.push_back(n.substr(0, n.find(':')));
    std::sort(names.begin(), names.end());
    return names;
  }
  size_t LocalCount() {
    size_t n = 0;
    for (const char* sub : {"cur", "new"})
      n += ListFiles(home + "maildir/INBOX/" + sub, "*").size();
    return n;
  }
};

TEST_F(MbsyncTest, TwoThousandMessagesBothWaysPopDeletionsAndARestart) {
  std::string output;
  if (Run("command -v mbsync", output) != 0) GTEST_SKIP() << "mbsync is not installed";
  std::vector<std::string> messages;
  for (int i = 1; i <= 2000; ++i)
    messages.push_back(Message("Subject: m" + std::to_string(i) + "\r\nMessage-Id: <m" +
                                   std::to_string(i) + "@x.test>\r\n",
                               "body " + std::to_string(i) + "\r\n"));
  WriteFile(MailboxOf("alice"), Mailbox(messages));
  WriteConfig();
  EXPECT_GT(Sync(), 0);
  EXPECT_EQ(LocalCount(), 2000u);
  // Nothing changed: nothing moves.
  std::vector<std::string> names = LocalNames();
  EXPECT_EQ(Sync(), 0);
  EXPECT_EQ(LocalNames(), names);
  // A message written on the near side goes up by APPEND.
  WriteFile(home + "maildir/INBOX/new/1.local.x", "Subject: from the client\r\n\r\nup\r\n");
  EXPECT_EQ(Sync(), 0);
  std::string mailbox = ReadFile(MailboxOf("alice"));
  EXPECT_NE(mailbox.find("Subject: from the client"), std::string::npos);
  // POP3 deletes three messages: exactly those disappear near.
  ImapClient pop(popPort);
  pop.ReadLine();
  pop.SendRaw("USER alice\r\n");
  pop.ReadLine();
  pop.SendRaw("PASS secret\r\n");
  EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
  for (int n : {1, 500, 2000}) {
    pop.SendRaw("DELE " + std::to_string(n) + "\r\n");
    EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
  }
  pop.SendRaw("QUIT\r\n");
  pop.ReadLine();
  EXPECT_EQ(Sync(), 0);
  EXPECT_EQ(LocalCount(), 1998u);
  names = LocalNames();
  // A restart downloads nothing again.
  NetShutdown();
  ForgetImapFolders();
  std::string why;
  ASSERT_TRUE(NetStartup(why)) << why;
  ASSERT_TRUE(ImapListen("127.0.0.1", 0, why, &port)) << why;
  WriteConfig();
  EXPECT_EQ(Sync(), 0);
  EXPECT_EQ(LocalNames(), names);
}

TEST_F(ImapInteropTest, ImaplibReadsTheStructureAndFetchesPartsByNumber) {
  WriteFile(MailboxOf("alice"),
            Mailbox({Message("Subject: parts\r\nMIME-Version: 1.0\r\n"
                             "Content-Type: multipart/mixed; boundary=b\r\n",
                             "--b\r\nContent-Type: text/plain\r\n\r\nfirst part\r\n"
                             "--b\r\nContent-Type: message/rfc822\r\n\r\n"
                             "Subject: attached\r\n\r\nattached body\r\n--b--\r\n")}));
  const char* script = R"py(
import imaplib, sys
m = imaplib.IMAP4("127.0.0.1", int(sys.argv[1]), timeout=20)
m.login("alice", "secret")
m.select("INBOX")
for spec in ("BODYSTRUCTURE", "BODY", "BODY.PEEK[1]", "BODY.PEEK[2.HEADER]", "BODY.PEEK[2.TEXT]",
             "BODY.PEEK[1]<6.4>", "BODY.PEEK[2.1]", "BODY.PEEK[7]",
             "BODY.PEEK[2.HEADER.FIELDS (SUBJECT)]"):
    typ, data = m.fetch("1", "(" + spec + ")")
    flat = b"|".join(x if isinstance(x, bytes) else b"|".join(x) for x in data)
    print(typ, flat.decode().replace("\r\n", "~"))
try:
    m.fetch("1", "(BODY[1.FOO])")
    print("accepted")
except imaplib.IMAP4.error as e:
    print("bad" if "BAD" in str(e) else str(e))
m.logout()
)py";
  WriteFile(home + "parts.py", script);
  std::string out;
  ASSERT_EQ(Run("python3 " + home + "parts.py " + std::to_string(port) + " 2>&1; true", out), 0)
      << out;
  std::istringstream in(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 10u) << out;
  EXPECT_EQ(lines[0],
            "OK 1 (BODYSTRUCTURE ((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 10 1 "
            "NIL NIL NIL NIL)(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 34 (NIL \"attached\" NIL NIL "
            "NIL NIL NIL NIL NIL NIL) (\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 13 "
            "1 NIL NIL NIL NIL) 3 NIL NIL NIL NIL) \"MIXED\" (\"BOUNDARY\" \"b\") NIL NIL NIL))")
      << out;
  EXPECT_EQ(lines[1].rfind("OK 1 (BODY ((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL "
                           "\"7BIT\" 10 1)", 0),
            0u)
      << out;
  EXPECT_EQ(lines[2], "OK 1 (BODY[1] {10}|first part|)");
  EXPECT_EQ(lines[3], "OK 1 (BODY[2.HEADER] {21}|Subject: attached~~|)");
  EXPECT_EQ(lines[4], "OK 1 (BODY[2.TEXT] {13}|attached body|)");
  EXPECT_EQ(lines[5], "OK 1 (BODY[1]<6> {4}|part|)");
  EXPECT_EQ(lines[6], "OK 1 (BODY[2.1] {13}|attached body|)");
  EXPECT_EQ(lines[7], "OK 1 (BODY[7] {0}||)");
  EXPECT_EQ(lines[8], "OK 1 (BODY[2.HEADER.FIELDS (SUBJECT)] {21}|Subject: attached~~|)");
  EXPECT_EQ(lines[9], "bad");
}

}  // namespace
