// Scripted IMAP dialogues against the real server on a loopback port: message
// bytes and sizes, partial fetches, flags shared between sessions, EXPUNGE's
// rewrite as POP3 sees it, UIDs across restarts and POP3 deletions, IDLE and
// deliveries, and bad input that gets BAD while the session goes on.
#include <chrono>

#include "tests/imap/imap_fixture.h"

namespace {

std::string One() {
  return ImapTest::Message("Subject: one\r\nFrom: Bob <bob@remote.test>\r\nTo: alice@mail.test\r\n",
                           "first body\r\n\r\n>From here on\r\n");
}
std::string Two() { return ImapTest::Message("Subject: two\r\n", "second\r\n"); }
std::string Three() { return ImapTest::Message("Subject: three\r\n", "third\r\n"); }
// What IMAP serves of a stored message: no separator line, no end mark.
std::string TextOf(const std::string& stored) { return stored.substr(stored.find('\n') + 1); }
// The text as Joined shows it: line ends as "\n".
std::string Lf(std::string text) {
  for (size_t p; (p = text.find("\r\n")) != std::string::npos;) text.erase(p, 1);
  return text;
}

class ImapDialogueTest : public ImapTest {
 protected:
  void SetUp() override {
    ImapTest::SetUp();
    WriteFile(MailboxOf("alice"), Mailbox({One(), Two(), Three()}));
  }
};

TEST_F(ImapDialogueTest, SelectAndFetchServeTheStoredMessagesExactly) {
  ImapClient c(port);
  std::string sel = Joined(LoginAndSelect(c));
  EXPECT_NE(sel.find("* 3 EXISTS\n"), std::string::npos) << sel;
  EXPECT_NE(sel.find("* OK [UIDNEXT 4]"), std::string::npos) << sel;
  EXPECT_NE(sel.find("* OK [UNSEEN 1]"), std::string::npos) << sel;
  EXPECT_NE(sel.find("s1 OK [READ-WRITE]"), std::string::npos) << sel;
  for (int n = 1; n <= 3; ++n) {
    std::string text = TextOf(n == 1 ? One() : n == 2 ? Two() : Three());
    std::vector<std::string> r =
        c.Ask("f", "FETCH " + std::to_string(n) + " (RFC822.SIZE BODY.PEEK[])");
    std::string want = "* " + std::to_string(n) + " FETCH (RFC822.SIZE " +
                       std::to_string(text.size()) + " BODY[] {" + std::to_string(text.size()) +
                       "}";
    ASSERT_EQ(r[0], want) << Joined(r);
    EXPECT_EQ(Joined(r).substr(r[0].size() + 1, Lf(text).size()), Lf(text)) << Joined(r);
  }
  // Sections and partials.
  std::string r = Joined(c.Ask("h", "FETCH 1 (BODY.PEEK[HEADER.FIELDS (subject)] "
                                    "BODY.PEEK[TEXT]<6.4> UID INTERNALDATE)"));
  EXPECT_NE(r.find("BODY[HEADER.FIELDS (subject)] {16}\nSubject: one\n\n"), std::string::npos)
      << r;
  EXPECT_NE(r.find("BODY[TEXT]<6> {4}\nbody"), std::string::npos) << r;
  EXPECT_NE(r.find("UID 1 INTERNALDATE \"04-Dec-2026 10:00:00 +0000\")"), std::string::npos) << r;
  r = Joined(c.Ask("e", "FETCH 1 ENVELOPE"));
  EXPECT_NE(r.find("ENVELOPE (NIL \"one\" ((\"Bob\" NIL \"bob\" \"remote.test\")) "
                   "((\"Bob\" NIL \"bob\" \"remote.test\")) ((\"Bob\" NIL \"bob\" "
                   "\"remote.test\")) ((NIL NIL \"alice\" \"mail.test\")) NIL NIL NIL NIL)"),
            std::string::npos)
      << r;
  // PEEK left \Seen alone; BODY[TEXT] sets it and says so.
  r = Joined(c.Ask("t", "FETCH 2 BODY[TEXT]"));
  EXPECT_NE(r.find("* 2 FETCH (BODY[TEXT] {8}\nsecond\n FLAGS (\\Seen))"), std::string::npos)
      << r;
  r = Joined(c.Ask("u", "UID FETCH 2:* FLAGS"));
  EXPECT_NE(r.find("* 2 FETCH (UID 2 FLAGS (\\Seen))\n* 3 FETCH (UID 3 FLAGS ())\n"),
            std::string::npos)
      << r;
  r = Joined(c.Ask("s", "SEARCH UNSEEN NOT SUBJECT one"));
  EXPECT_NE(r.find("* SEARCH 3\n"), std::string::npos) << r;
  r = Joined(c.Ask("s2", "UID SEARCH OR SEEN BODY \"here on\""));
  EXPECT_NE(r.find("* SEARCH 1 2\n"), std::string::npos) << r;
}

TEST_F(ImapDialogueTest, BadInputGetsBadAndTheSessionGoesOn) {
  ImapClient c(port);
  ASSERT_EQ(c.ReadLine().rfind("* OK", 0), 0u);
  EXPECT_EQ(c.Ask("a", "FETCH 1 FLAGS").back(), "a BAD FETCH is not allowed now");
  EXPECT_EQ(c.Ask("b", "BOGUS").back(), "b BAD Unknown command");
  EXPECT_EQ(c.Ask("*", "NOOP").back().rfind("* BAD", 0), 0u);
  // A synchronising literal is invited, then read.
  c.SendRaw("l LOGIN {5}\r\n");
  EXPECT_EQ(c.ReadLine(), "+ Ready for literal");
  c.SendRaw("alice secret\r\n");
  EXPECT_EQ(c.Collect("l").back().rfind("l OK", 0), 0u);
  // An over-long line, and a non-synchronising literal beyond the bound.
  EXPECT_EQ(c.Ask("x", "NOOP " + std::string(10000, 'a')).back(),
            "x BAD Command line or literal too long");
  c.SendRaw("y LOGIN {100000+}\r\n" + std::string(100000, 'z') + "\r\n");
  EXPECT_EQ(c.Collect("y").back(), "y BAD Command line or literal too long");
  EXPECT_EQ(c.Ask("z", "SELECT INBOX").back().rfind("z OK", 0), 0u);
  EXPECT_EQ(c.Ask("f", "FETCH 1:x FLAGS").back(), "f BAD Bad sequence set");
  EXPECT_EQ(c.Ask("g", "FETCH 1 (FLAGS BODY[HEADER]<1.0>)").back().rfind("g BAD", 0), 0u);
  EXPECT_EQ(c.Ask("h", "STORE 1 +FLAGS (\\Bogus)").back(), "h BAD Bad STORE arguments");
  EXPECT_EQ(c.Ask("i", "SEARCH FROM").back(), "i BAD Bad search key");
  EXPECT_EQ(c.Ask("j", "NOOP").back(), "j OK NOOP completed");
  EXPECT_EQ(c.Ask("k", "LOGOUT").back(), "k OK LOGOUT completed");
}

TEST_F(ImapDialogueTest, FailedLoginWaitsAndLoginsNeedTheRightPassword) {
  ImapClient c(port);
  ASSERT_EQ(c.ReadLine().rfind("* OK", 0), 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.Ask("a", "LOGIN alice wrong").back(),
            "a NO [AUTHENTICATIONFAILED] Authentication failed");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  // AUTHENTICATE PLAIN, response on its own line.
  c.SendRaw("b AUTHENTICATE PLAIN\r\n");
  EXPECT_EQ(c.ReadLine(), "+ ");
  c.SendRaw(EncodeBase64(std::string("\0alice\0secret", 13)) + "\r\n");
  EXPECT_EQ(c.Collect("b").back().rfind("b OK", 0), 0u);
}

TEST_F(ImapDialogueTest, FlagChangesReachASecondSession) {
  ImapClient a(port), b(port);
  LoginAndSelect(a);
  LoginAndSelect(b);
  EXPECT_EQ(Joined(a.Ask("1", "STORE 2 +FLAGS (\\Flagged \\Answered)")),
            "* 2 FETCH (FLAGS (\\Answered \\Flagged))\n1 OK STORE completed\n");
  EXPECT_EQ(Joined(b.Ask("2", "NOOP")),
            "* 2 FETCH (UID 2 FLAGS (\\Answered \\Flagged))\n2 OK NOOP completed\n");
  EXPECT_EQ(Joined(b.Ask("3", "UID STORE 2 -FLAGS.SILENT (\\Answered)")), "3 OK UID STORE completed\n");
  EXPECT_EQ(Joined(a.Ask("4", "FETCH 2 FLAGS")),
            "* 2 FETCH (UID 2 FLAGS (\\Flagged))\n* 2 FETCH (FLAGS (\\Flagged))\n4 OK FETCH completed\n");
}

TEST_F(ImapDialogueTest, ExpungeRewritesTheFileAndUidsSurviveARestart) {
  ImapClient a(port), b(port);
  LoginAndSelect(a);
  LoginAndSelect(b);
  a.Ask("1", "STORE 1 +FLAGS (\\Seen)");
  a.Ask("2", "STORE 2 +FLAGS (\\Deleted)");
  EXPECT_EQ(Joined(a.Ask("3", "EXPUNGE")), "* 2 EXPUNGE\n3 OK EXPUNGE completed\n");
  // POP3's view of the file: the read message says so.
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            Mailbox({Message("Subject: one\r\nFrom: Bob <bob@remote.test>\r\nTo: alice@mail.test\r\n"
                             "Status: RO\r\n",
                             "first body\r\n\r\n>From here on\r\n"),
                     Message("Subject: three\r\nStatus: UO\r\n", "third\r\n")}));
  // The other session hears of it at its next command, not in the middle of a FETCH.
  std::string r = Joined(b.Ask("4", "FETCH 2 (UID)"));
  EXPECT_EQ(r, "* 1 FETCH (UID 1 FLAGS (\\Seen))\n4 OK FETCH completed\n");
  r = Joined(b.Ask("5", "UID FETCH 1:* UID"));
  EXPECT_EQ(r, "* 2 EXPUNGE\n* 1 FETCH (UID 1)\n* 2 FETCH (UID 3)\n5 OK UID FETCH completed\n");
  std::string validity = Joined(a.Ask("6", "STATUS INBOX (UIDVALIDITY UIDNEXT MESSAGES)"));
  // A restart forgets everything but the files: same UIDVALIDITY, same UIDs.
  NetShutdown();
  ForgetImapFolders();
  std::string why;
  ASSERT_TRUE(NetStartup(why)) << why;
  ASSERT_TRUE(ImapListen("127.0.0.1", 0, why, &port)) << why;
  ImapClient c(port);
  LoginAndSelect(c);
  EXPECT_EQ(Joined(c.Ask("6", "STATUS INBOX (UIDVALIDITY UIDNEXT MESSAGES)")), validity);
  EXPECT_EQ(Joined(c.Ask("7", "UID FETCH 1:* (UID FLAGS)")),
            "* 1 FETCH (UID 1 FLAGS (\\Seen))\n* 2 FETCH (UID 3 FLAGS ())\n7 OK UID FETCH completed\n");
}

TEST_F(ImapDialogueTest, AppendKeepsItsFlagsKeywordsAndDateAcrossARestart) {
  ImapClient c(port);
  std::string sel = Joined(LoginAndSelect(c));
  std::string validity = sel.substr(sel.find("[UIDVALIDITY ") + 13);
  validity = validity.substr(0, validity.find(']'));
  std::string msg = "Subject: kept\r\n\r\nkept body\r\n";
  std::string n = std::to_string(msg.size());
  EXPECT_EQ(Joined(c.Ask("a1", "APPEND INBOX (\\Flagged $Work \\Seen) \"04-Dec-2026 11:30:00 +0130\" {" +
                                   n + "+}\r\n" + msg)),
            "* 4 EXISTS\na1 OK [APPENDUID " + validity + " 4] APPEND completed\n");
  // A date-time without flags, the day's first digit a space.
  EXPECT_EQ(Joined(c.Ask("a2", "APPEND INBOX \" 5-Dec-2026 00:00:00 +0000\" {" + n + "+}\r\n" + msg)),
            "* 5 EXISTS\na2 OK [APPENDUID " + validity + " 5] APPEND completed\n");
  EXPECT_EQ(Joined(c.Ask("f", "FETCH 4:5 (FLAGS INTERNALDATE)")),
            "* 4 FETCH (FLAGS (\\Seen \\Flagged $Work) INTERNALDATE \"04-Dec-2026 10:00:00 +0000\")\n"
            "* 5 FETCH (FLAGS () INTERNALDATE \"05-Dec-2026 00:00:00 +0000\")\n"
            "f OK FETCH completed\n");
  // Bad date-times and flags get BAD and append nothing.
  for (const char* bad : {"\"31-Feb-2026 10:00:00 +0000\"", "\"4-Dec-2026 10:00:00 +0000\"",
                          "(\\Seen) \"04-Dec-2026 10:00\"", "(\\Seen) NIL", "\"x\" ()"})
    EXPECT_EQ(c.Ask("b", std::string("APPEND INBOX ") + bad + " {1+}\r\nx").back(),
              "b BAD Bad APPEND date-time")
        << bad;
  EXPECT_EQ(c.Ask("b", "APPEND INBOX (\\Bogus) {1+}\r\nx").back(),
            "b BAD APPEND needs a mailbox, flags, a date and a literal message");
  EXPECT_EQ(c.Ask("b", "APPEND INBOX (a\"b) {1+}\r\nx").back().rfind("b BAD", 0), 0u);
  EXPECT_EQ(Joined(c.Ask("st", "STATUS INBOX (MESSAGES)")),
            "* STATUS \"INBOX\" (MESSAGES 5)\nst OK STATUS completed\n");

  // Keywords are stored, searched and taken away like system flags.
  EXPECT_EQ(Joined(c.Ask("s1", "STORE 1 +FLAGS (Later $work)")),
            "* 1 FETCH (FLAGS (Later $work))\ns1 OK STORE completed\n");
  EXPECT_EQ(Joined(c.Ask("s2", "STORE 4 -FLAGS ($WORK)")),
            "* 4 FETCH (FLAGS (\\Seen \\Flagged))\ns2 OK STORE completed\n");
  EXPECT_EQ(Joined(c.Ask("s3", "STORE 1 -FLAGS.SILENT (\\Seen)")), "s3 OK STORE completed\n");
  EXPECT_EQ(Joined(c.Ask("k", "SEARCH KEYWORD later")), "* SEARCH 1\nk OK SEARCH completed\n");
  EXPECT_EQ(Joined(c.Ask("k2", "SEARCH UNKEYWORD $Work")),
            "* SEARCH 2 3 4 5\nk2 OK SEARCH completed\n");
  // COPY takes keywords and the date along.
  EXPECT_EQ(c.Ask("cp", "COPY 1 Archive").back().rfind("cp OK [COPYUID", 0), 0u);

  // After a restart: keywords from the sidecar; the dates from the separator
  // lines, even when the sidecar is gone.
  NetShutdown();
  ForgetImapFolders();
  std::string why;
  ASSERT_TRUE(NetStartup(why)) << why;
  ASSERT_TRUE(ImapListen("127.0.0.1", 0, why, &port)) << why;
  ImapClient d(port);
  sel = Joined(LoginAndSelect(d));
  EXPECT_NE(sel.find("* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft Later $work)\n"),
            std::string::npos) << sel;
  EXPECT_NE(sel.find("[PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft Later $work \\*)]"),
            std::string::npos) << sel;
  EXPECT_EQ(Joined(d.Ask("f", "FETCH 1,4 FLAGS")),
            "* 1 FETCH (FLAGS (Later $work))\n* 4 FETCH (FLAGS (\\Seen \\Flagged))\nf OK FETCH completed\n");
  EXPECT_NE(Joined(d.Ask("g", "EXAMINE Archive")).find("* 1 EXISTS"), std::string::npos);
  EXPECT_EQ(Joined(d.Ask("h", "FETCH 1 (FLAGS INTERNALDATE)")),
            "* 1 FETCH (FLAGS (Later $work) INTERNALDATE \"04-Dec-2026 10:00:00 +0000\")\n"
            "h OK FETCH completed\n");
  d.Ask("lo", "LOGOUT");
  ForgetImapFolders();
  ASSERT_EQ(unlink(ImapIndexPath(MailboxOf("alice")).c_str()), 0);
  ImapClient e(port);
  LoginAndSelect(e);
  EXPECT_EQ(Joined(e.Ask("f", "FETCH 4:5 INTERNALDATE")),
            "* 4 FETCH (INTERNALDATE \"04-Dec-2026 10:00:00 +0000\")\n"
            "* 5 FETCH (INTERNALDATE \"05-Dec-2026 00:00:00 +0000\")\nf OK FETCH completed\n");
}

TEST_F(ImapDialogueTest, MultiappendAddsAllTheMessagesOrNone) {
  ImapClient c(port);
  std::string sel = Joined(LoginAndSelect(c));
  std::string validity = sel.substr(sel.find("[UIDVALIDITY ") + 13);
  validity = validity.substr(0, validity.find(']'));
  EXPECT_NE(Joined(c.Ask("cap", "CAPABILITY")).find(" MULTIAPPEND"), std::string::npos);
  std::string before = ReadFile(MailboxOf("alice"));
  // Three messages, each with its own flags and date; the second's literal is
  // a synchronising one.
  std::string m1 = "Subject: m1\r\n\r\none\r\n", m2 = "Subject: m2\r\n\r\ntwo\r\n",
              m3 = "Subject: m3\r\n\r\nthree";
  c.SendRaw("a APPEND INBOX (\\Seen) {" + std::to_string(m1.size()) + "+}\r\n" + m1 +
            " (\\Flagged $Later) \"05-Dec-2026 00:00:00 +0000\" {" + std::to_string(m2.size()) +
            "}\r\n");
  EXPECT_EQ(c.ReadLine(), "+ Ready for literal");
  c.SendRaw(m2 + " {" + std::to_string(m3.size()) + "+}\r\n" + m3 + "\r\n");
  EXPECT_EQ(Joined(c.Collect("a")),
            "* 6 EXISTS\na OK [APPENDUID " + validity + " 4,5,6] APPEND completed\n");
  EXPECT_EQ(Joined(c.Ask("f", "FETCH 4 (FLAGS BODY.PEEK[TEXT])")),
            "* 4 FETCH (FLAGS (\\Seen) BODY[TEXT] {5}\none\n)\nf OK FETCH completed\n");
  EXPECT_EQ(Joined(c.Ask("f2", "FETCH 5:6 (FLAGS INTERNALDATE BODY.PEEK[TEXT])")),
            "* 5 FETCH (FLAGS (\\Flagged $Later) INTERNALDATE \"05-Dec-2026 00:00:00 +0000\" "
            "BODY[TEXT] {5}\ntwo\n)\n* 6 FETCH (FLAGS () INTERNALDATE \"" +
                Joined(c.Ask("f3", "FETCH 6 INTERNALDATE")).substr(25, 26) +
                "\" BODY[TEXT] {7}\nthree\n)\nf2 OK FETCH completed\n");
  // The file holds them one after another, each whole.
  std::string after = ReadFile(MailboxOf("alice"));
  ASSERT_EQ(after.compare(0, before.size(), before), 0);
  std::string added = after.substr(before.size());
  EXPECT_NE(added.find("\r\nFrom alice Sat Dec  5 00:00:00 2026\r\nSubject: m2\r\n\r\ntwo\r\n\r\n"
                       "\r\nFrom alice "),
            std::string::npos)
      << added;
  EXPECT_EQ(added.substr(added.size() - 9), "three\r\n\r\n");

  // A bad date in the third message: nothing at all is added, and the files
  // the messages went to are gone.
  std::string again = ReadFile(MailboxOf("alice"));
  EXPECT_EQ(c.Ask("b", "APPEND INBOX {1+}\r\nx {1+}\r\ny \"bad\" {1+}\r\nz").back(),
            "b BAD Bad APPEND date-time");
  EXPECT_EQ(c.Ask("b2", "APPEND INBOX {1+}\r\nx (\\Bogus) {1+}\r\ny").back(),
            "b2 BAD APPEND needs a mailbox, flags, a date and a literal message");
  EXPECT_EQ(c.Ask("b3", "APPEND Nowhere {1+}\r\nx {1+}\r\ny").back(),
            "b3 NO [TRYCREATE] No such mailbox");
  EXPECT_EQ(ReadFile(MailboxOf("alice")), again);
  EXPECT_TRUE(ListFiles(ImapFolderDirectory(MailboxOf("alice")), ".append-*").empty());
  EXPECT_EQ(Joined(c.Ask("n", "NOOP")), "n OK NOOP completed\n");
}

TEST_F(ImapDialogueTest, PopDeletionsShowAsExpungesAndLostIndexesChangeUidValidity) {
  ImapClient c(port);
  std::string sel = Joined(LoginAndSelect(c));
  // POP3 logs in while the IMAP session is selected: IMAP holds no lock.
  ImapClient pop(popPort);
  EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
  pop.SendRaw("USER alice\r\n");
  pop.ReadLine();
  pop.SendRaw("PASS secret\r\n");
  EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
  pop.SendRaw("DELE 1\r\n");
  pop.ReadLine();
  pop.SendRaw("RETR 3\r\n");
  for (std::string l = pop.ReadLine(); l != "." && l != "<closed>";) l = pop.ReadLine();
  pop.SendRaw("QUIT\r\n");
  EXPECT_EQ(pop.ReadLine().rfind("+OK", 0), 0u);
  // Retrieved by POP3 means \Seen here.
  EXPECT_EQ(Joined(c.Ask("n", "NOOP")),
            "* 1 EXPUNGE\n* 2 FETCH (UID 3 FLAGS (\\Seen))\nn OK NOOP completed\n");
  EXPECT_EQ(Joined(c.Ask("u", "UID SEARCH ALL")), "* SEARCH 2 3\nu OK UID SEARCH completed\n");
  // Without its index the folder is numbered afresh under a new UIDVALIDITY.
  std::string before = sel.substr(sel.find("[UIDVALIDITY "));
  c.Ask("l", "LOGOUT");
  ForgetImapFolders();
  ASSERT_EQ(unlink(ImapIndexPath(MailboxOf("alice")).c_str()), 0);
  ImapClient d(port);
  std::string again = Joined(LoginAndSelect(d));
  EXPECT_EQ(again.find(before.substr(0, before.find(']'))), std::string::npos) << again;
  EXPECT_EQ(Joined(d.Ask("u", "UID SEARCH ALL")), "* SEARCH 1 2\nu OK UID SEARCH completed\n");
}

TEST_F(ImapDialogueTest, IdleSeesADeliveryWithinASecondAndNeverDelaysIt) {
  ImapClient a(port), b(port);
  LoginAndSelect(a);
  LoginAndSelect(b);
  a.SendRaw("i IDLE\r\n");
  EXPECT_EQ(a.ReadLine(), "+ idling");
  b.SendRaw("j IDLE\r\n");
  EXPECT_EQ(b.ReadLine(), "+ idling");
  for (int n = 4; n <= 6; ++n) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(Deliver("alice", "new " + std::to_string(n)), 200);
    EXPECT_EQ(a.ReadLine(), "* " + std::to_string(n) + " EXISTS");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(b.ReadLine(), "* " + std::to_string(n) + " EXISTS");
  }
  a.SendRaw("DONE\r\n");
  EXPECT_EQ(a.Collect("i").back(), "i OK IDLE terminated");
  std::string r = Joined(a.Ask("f", "FETCH 6 BODY.PEEK[TEXT]"));
  EXPECT_NE(r.find("{15}\nbody of new 6\n"), std::string::npos) << r;
  EXPECT_EQ(Joined(a.Ask("u", "UID SEARCH 5:*")), "* SEARCH 5 6\nu OK UID SEARCH completed\n");
  b.SendRaw("done\r\n");
  EXPECT_EQ(b.Collect("j").back(), "j OK IDLE terminated");
}

}  // namespace

namespace {

TEST_F(ImapDialogueTest, FoldersAppendCopyMoveRenameAndDelete) {
  ImapClient c(port);
  LoginAndSelect(c);
  // The special-use folders exist from the first login on, subscribed.
  EXPECT_EQ(Joined(c.Ask("l", "LIST \"\" *")),
            "* LIST (\\HasNoChildren) \"/\" \"INBOX\"\n"
            "* LIST (\\HasNoChildren \\Archive) \"/\" \"Archive\"\n"
            "* LIST (\\HasNoChildren \\Drafts) \"/\" \"Drafts\"\n"
            "* LIST (\\HasNoChildren \\Junk) \"/\" \"Junk\"\n"
            "* LIST (\\HasNoChildren \\Sent) \"/\" \"Sent\"\n"
            "* LIST (\\HasNoChildren \\Trash) \"/\" \"Trash\"\n"
            "l OK LIST completed\n");
  EXPECT_EQ(c.Ask("c1", "CREATE Work").back(), "c1 OK CREATE completed");
  EXPECT_EQ(c.Ask("c2", "CREATE work/").back().rfind("c2 OK", 0), 0u);
  EXPECT_EQ(c.Ask("c3", "CREATE Work").back(), "c3 NO [ALREADYEXISTS] Folder exists");
  EXPECT_EQ(c.Ask("c4", "CREATE ../evil").back().rfind("c4 NO [CANNOT]", 0), 0u);
  EXPECT_EQ(c.Ask("c5", "CREATE inbox").back().rfind("c5 NO [ALREADYEXISTS]", 0), 0u);
  EXPECT_EQ(Joined(c.Ask("l2", "LSUB \"\" W*")), "l2 OK LSUB completed\n");
  c.Ask("s", "SUBSCRIBE Work");
  EXPECT_EQ(Joined(c.Ask("l3", "LSUB \"\" W*")),
            "* LSUB (\\HasNoChildren) \"/\" \"Work\"\nl3 OK LSUB completed\n");

  // APPEND streams the message to disk; a separator-like line is quoted so the
  // message stays one; a message beyond the command bound is fine.
  std::string small = "Subject: a\r\n\r\nhello\r\n\r\nFrom evil Fri Dec  4 10:00:00 2026\r\n";
  c.SendRaw("a1 APPEND Work (\\Seen) {" + std::to_string(small.size()) + "}\r\n");
  EXPECT_EQ(c.ReadLine(), "+ Ready for literal");
  c.SendRaw(small + "\r\n");
  std::vector<std::string> r = c.Collect("a1");
  EXPECT_EQ(r.back().rfind("a1 OK [APPENDUID ", 0), 0u) << Joined(r);
  EXPECT_EQ(r.back().substr(r.back().size() - 20), " 1] APPEND completed");
  std::string big = "Subject: big\r\n\r\n" + std::string(200000, 'x') + "\r\n";
  c.SendRaw("a2 APPEND Work {" + std::to_string(big.size()) + "+}\r\n" + big + "\r\n");
  EXPECT_EQ(c.Collect("a2").back().rfind("a2 OK [APPENDUID ", 0), 0u);
  EXPECT_EQ(Joined(c.Ask("st", "STATUS Work (MESSAGES UIDNEXT UNSEEN)")),
            "* STATUS \"Work\" (MESSAGES 2 UIDNEXT 3 UNSEEN 1)\nst OK STATUS completed\n");

  // COPY keeps flags and says where the copies went; MOVE expunges the originals.
  c.Ask("f", "STORE 2 +FLAGS (\\Flagged)");
  r = c.Ask("cp", "COPY 1:2 Work");
  EXPECT_EQ(r.back().substr(r.back().find(" 1,2 3,4]")), " 1,2 3,4] COPY completed") << Joined(r);
  r = c.Ask("mv", "UID MOVE 3 Trash");
  EXPECT_EQ(r.size(), 3u) << Joined(r);
  EXPECT_EQ(r[0].rfind("* OK [COPYUID ", 0), 0u) << Joined(r);
  EXPECT_EQ(r[0].substr(r[0].find(" 3 1]")), " 3 1] Moved");
  EXPECT_EQ(r[1], "* 3 EXPUNGE");
  EXPECT_EQ(r[2], "mv OK UID MOVE completed");
  EXPECT_EQ(ReadFile(MailboxOf("alice")).find("Subject: three"), std::string::npos);

  r = c.Ask("sw", "SELECT Work");
  EXPECT_NE(Joined(r).find("* 4 EXISTS"), std::string::npos) << Joined(r);
  EXPECT_EQ(Joined(c.Ask("fl", "FETCH 1:4 FLAGS")),
            "* 1 FETCH (FLAGS (\\Seen))\n* 2 FETCH (FLAGS ())\n* 3 FETCH (FLAGS ())\n"
            "* 4 FETCH (FLAGS (\\Flagged))\nfl OK FETCH completed\n");
  std::string text = Joined(c.Ask("b", "FETCH 1 BODY.PEEK[]"));
  EXPECT_NE(text.find("hello\n\n>From evil Fri Dec  4 10:00:00 2026\n)"), std::string::npos)
      << text;
  EXPECT_NE(Joined(c.Ask("b2", "FETCH 2 RFC822.SIZE")).find("RFC822.SIZE " + std::to_string(big.size())),
            std::string::npos);

  EXPECT_EQ(c.Ask("rn", "RENAME Work Play").back(), "rn OK RENAME completed");
  EXPECT_EQ(c.Ask("rn2", "RENAME INBOX Play2").back().rfind("rn2 NO", 0), 0u);
  EXPECT_EQ(Joined(c.Ask("sp", "STATUS Play (MESSAGES)")),
            "* STATUS \"Play\" (MESSAGES 4)\nsp OK STATUS completed\n");
  EXPECT_EQ(c.Ask("d", "DELETE Play").back(), "d OK DELETE completed");
  EXPECT_EQ(c.Ask("d2", "DELETE Play").back(), "d2 NO [NONEXISTENT] No such mailbox");
  EXPECT_EQ(c.Ask("a3", "APPEND Nowhere {1+}\r\nx").back(), "a3 NO [TRYCREATE] No such mailbox");
  EXPECT_FALSE(FileExists(ImapFolderDirectory(MailboxOf("alice")) + "Play.mbx"));
  EXPECT_FALSE(FileExists(ImapFolderDirectory(MailboxOf("alice")) + "Play.imx"));
}

}  // namespace

namespace {

TEST_F(ImapDialogueTest, AnAccountHasAtMostTwentySessions) {
  std::vector<std::unique_ptr<ImapClient>> sessions;
  for (int i = 0; i < 20; ++i) {
    sessions.push_back(std::make_unique<ImapClient>(port));
    ASSERT_EQ(sessions.back()->ReadLine().rfind("* OK", 0), 0u);
    ASSERT_EQ(sessions.back()->Ask("l", "LOGIN alice secret").back().rfind("l OK", 0), 0u) << i;
  }
  ImapClient extra(port);
  ASSERT_EQ(extra.ReadLine().rfind("* OK", 0), 0u);
  EXPECT_EQ(extra.Ask("l", "LOGIN alice secret").back(),
            "l NO [LIMIT] Too many sessions for this user");
  EXPECT_EQ(sessions[0]->Ask("o", "LOGOUT").back(), "o OK LOGOUT completed");
  EXPECT_EQ(sessions[0]->ReadLine(), "<closed>");
  // The session that ended made room (its close may take a moment).
  std::string reply;
  for (int i = 0; i < 100; ++i) {
    reply = extra.Ask("m", "LOGIN alice secret").back();
    if (reply.rfind("m OK", 0) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(reply.rfind("m OK", 0), 0u) << reply;
}

TEST_F(ImapDialogueTest, MalformedMimeGetsAStructureAndTheSessionGoesOn) {
  std::string deep;
  for (int i = 0; i < 1000; ++i)
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  deep += "Content-Type: text/plain\r\n\r\nbottom\r\n";
  WriteFile(MailboxOf("alice"),
            Mailbox({Message("Content-Type: multipart/mixed; boundary=b\r\n",
                             "--b\r\nContent-Type: text/plain\r\n\r\nno closing boundary\r\n"),
                     Message("Subject: deep\r\n", deep),
                     Message("Subject: " + std::string(65536, 'x') + "\r\n", "long header\r\n")}));
  ImapClient c(port);
  LoginAndSelect(c);
  for (int n = 1; n <= 3; ++n) {
    std::vector<std::string> r =
        c.Ask("b", "FETCH " + std::to_string(n) + " (BODYSTRUCTURE BODY.PEEK[1.1.1] BODY.PEEK[1.MIME])");
    EXPECT_EQ(r.back(), "b OK FETCH completed") << n;
    EXPECT_EQ(r[0].rfind("* " + std::to_string(n) + " FETCH (BODYSTRUCTURE (", 0), 0u) << n;
  }
  EXPECT_EQ(c.Ask("n", "NOOP").back(), "n OK NOOP completed");
}

TEST_F(ImapDialogueTest, SequenceSetsInAnyOrderNameEachMessageOnceInOrder) {
  ImapClient c(port);
  LoginAndSelect(c);
  struct Case {
    const char* command;
    const char* want;
  } cases[] = {
      {"FETCH 3,1:2,2 (UID)", "* 1 FETCH (UID 1)\n* 2 FETCH (UID 2)\n* 3 FETCH (UID 3)\n"},
      {"UID FETCH 3:2 (UID)", "* 2 FETCH (UID 2)\n* 3 FETCH (UID 3)\n"},
      {"UID FETCH *:2,1 (UID)", "* 1 FETCH (UID 1)\n* 2 FETCH (UID 2)\n* 3 FETCH (UID 3)\n"},
      {"UID FETCH 7:9 (UID)", ""},
      {"FETCH 2:* (UID)", "* 2 FETCH (UID 2)\n* 3 FETCH (UID 3)\n"},
  };
  for (const Case& k : cases) {
    std::vector<std::string> r = c.Ask("f", k.command);
    ASSERT_EQ(r.back().rfind("f OK", 0), 0u) << k.command;
    r.pop_back();
    EXPECT_EQ(Joined(r), k.want) << k.command;
  }
}

}  // namespace

namespace {

TEST_F(ImapDialogueTest, FolderHierarchyOfSubdirectories) {
  ImapClient c(port);
  LoginAndSelect(c);
  std::string dir = ImapFolderDirectory(MailboxOf("alice"));
  // CREATE makes the parents, as names that only have children.
  EXPECT_EQ(c.Ask("c1", "CREATE Work/2026/Q4").back(), "c1 OK CREATE completed");
  EXPECT_TRUE(FileExists(dir + "Work/2026/Q4.mbx"));
  EXPECT_FALSE(FileExists(dir + "Work.mbx"));
  EXPECT_EQ(Joined(c.Ask("l1", "LIST \"\" Work*")),
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Work\"\n"
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Work/2026\"\n"
            "* LIST (\\HasNoChildren) \"/\" \"Work/2026/Q4\"\n"
            "l1 OK LIST completed\n");
  EXPECT_EQ(c.Ask("c2", "CREATE Work").back(), "c2 OK CREATE completed");
  EXPECT_EQ(c.Ask("c3", "CREATE Work/2026/Q4").back(), "c3 NO [ALREADYEXISTS] Folder exists");
  // % stops at a level; * goes below.
  EXPECT_EQ(Joined(c.Ask("l2", "LIST \"\" %")).find("Work/"), std::string::npos);
  EXPECT_EQ(Joined(c.Ask("l3", "LIST Work/ %")),
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Work/2026\"\nl3 OK LIST completed\n");
  EXPECT_EQ(Joined(c.Ask("l4", "LIST \"\" W%")),
            "* LIST (\\HasChildren) \"/\" \"Work\"\nl4 OK LIST completed\n");
  EXPECT_EQ(Joined(c.Ask("l5", "LIST \"\" */Q%")),
            "* LIST (\\HasNoChildren) \"/\" \"Work/2026/Q4\"\nl5 OK LIST completed\n");
  EXPECT_EQ(c.Ask("s", "SELECT Work/2026").back(), "s NO [NONEXISTENT] No such mailbox");
  EXPECT_EQ(c.Ask("a", "APPEND Work/2026/Q4 {14+}\r\nSubject: q4\r\n\r\n").back().rfind("a OK", 0), 0u);
  c.Ask("sub", "SUBSCRIBE Work/2026/Q4");
  EXPECT_EQ(Joined(c.Ask("ls", "LSUB \"\" Work/*")),
            "* LSUB (\\HasNoChildren) \"/\" \"Work/2026/Q4\"\nls OK LSUB completed\n");

  // Names that would leave the folder directory or are not modified UTF-7.
  for (const char* bad : {"../evil", "Work/../../evil", "/etc/evil", "Work//x", "Work/.x", "a&b",
                          "&AGE-", "inbox/x"})
    EXPECT_EQ(c.Ask("b", std::string("CREATE \"") + bad + "\"").back().rfind("b NO [", 0), 0u) << bad;
  EXPECT_EQ(c.Ask("b", "CREATE {3+}\r\na\x01b").back().rfind("b NO [CANNOT]", 0), 0u);
  EXPECT_EQ(c.Ask("b", std::string("CREATE {3+}\r\na\0b", 16)).back().rfind("b NO [CANNOT]", 0), 0u);
  EXPECT_FALSE(FileExists(ImapFolderDirectory(MailboxOf("alice")) + "../evil.mbx"));
  EXPECT_EQ(c.Ask("u", "CREATE Caf&AOk-/Men&APo-").back(), "u OK CREATE completed");

  // RENAME of a parent takes its children along; never below itself.
  EXPECT_EQ(c.Ask("r0", "RENAME Work Work/Old").back(), "r0 NO [CANNOT] A folder cannot move below itself");
  EXPECT_EQ(c.Ask("r1", "RENAME Work Jobs/Past").back(), "r1 OK RENAME completed");
  EXPECT_EQ(Joined(c.Ask("st", "STATUS Jobs/Past/2026/Q4 (MESSAGES)")),
            "* STATUS \"Jobs/Past/2026/Q4\" (MESSAGES 1)\nst OK STATUS completed\n");
  EXPECT_FALSE(DirectoryExists(dir + "Work"));
  EXPECT_EQ(Joined(c.Ask("l6", "LIST \"\" Jobs*")),
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Jobs\"\n"
            "* LIST (\\HasChildren) \"/\" \"Jobs/Past\"\n"
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Jobs/Past/2026\"\n"
            "* LIST (\\HasNoChildren) \"/\" \"Jobs/Past/2026/Q4\"\n"
            "l6 OK LIST completed\n");
  EXPECT_EQ(c.Ask("r2", "RENAME Jobs/Past/2026 Archive").back(), "r2 NO [ALREADYEXISTS] Folder exists");

  // DELETE: a selectable parent leaves a name with children; a name that only
  // has children goes only when they are gone.
  EXPECT_EQ(c.Ask("d1", "DELETE Jobs/Past").back(), "d1 OK DELETE completed");
  EXPECT_EQ(Joined(c.Ask("l7", "LIST Jobs/ %")),
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Jobs/Past\"\nl7 OK LIST completed\n");
  EXPECT_EQ(c.Ask("d2", "DELETE Jobs/Past/2026").back(), "d2 NO [CANNOT] The folder has folders below it");
  EXPECT_EQ(c.Ask("d3", "DELETE Jobs/Past/2026/Q4").back(), "d3 OK DELETE completed");
  EXPECT_EQ(c.Ask("d4", "DELETE Jobs/Past/2026").back(), "d4 OK DELETE completed");
  EXPECT_EQ(c.Ask("d5", "DELETE Jobs/Past").back(), "d5 OK DELETE completed");
  EXPECT_EQ(c.Ask("d6", "DELETE Jobs").back(), "d6 OK DELETE completed");
  EXPECT_EQ(c.Ask("d7", "DELETE Jobs").back(), "d7 NO [NONEXISTENT] No such mailbox");
  EXPECT_FALSE(DirectoryExists(dir + "Jobs"));
  // The one-level folders are as they were.
  EXPECT_EQ(Joined(c.Ask("l8", "LIST \"\" *")),
            "* LIST (\\HasNoChildren) \"/\" \"INBOX\"\n"
            "* LIST (\\HasNoChildren \\Archive) \"/\" \"Archive\"\n"
            "* LIST (\\Noselect \\HasChildren) \"/\" \"Caf&AOk-\"\n"
            "* LIST (\\HasNoChildren) \"/\" \"Caf&AOk-/Men&APo-\"\n"
            "* LIST (\\HasNoChildren \\Drafts) \"/\" \"Drafts\"\n"
            "* LIST (\\HasNoChildren \\Junk) \"/\" \"Junk\"\n"
            "* LIST (\\HasNoChildren \\Sent) \"/\" \"Sent\"\n"
            "* LIST (\\HasNoChildren \\Trash) \"/\" \"Trash\"\n"
            "l8 OK LIST completed\n");
}

}  // namespace
