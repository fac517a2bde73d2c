// Scripted POP3 dialogues against the real server on a loopback port.
#include "tests/support/loopback.h"
#include "platform/named_lock.h"
#include "server/pop3/md5.h"
#include "server/pop3/pop3_words.h"
#include "tests/pop3/pop3_fixture.h"

namespace {

std::string ThreeMessages() {
  return Pop3Test::Mailbox({
      Pop3Test::Message("Subject: one\r\nMessage-Id: <one@x.test>\r\n", "first body\r\n"),
      Pop3Test::Message("Subject: two\r\nMessage-Id: <two@x.test>\r\n", "second\r\nbody\r\n"),
      Pop3Test::Message("Subject: three\r\nMessage-Id: <three@x.test>\r\n", "third\r\n"),
  });
}

// The text between the angle brackets of the greeting.
std::string StampOf(const std::string& greeting) {
  size_t open = greeting.find('<');
  size_t close = greeting.rfind('>');
  return greeting.substr(open + 1, close - open - 1);
}

TEST_F(Pop3Test, GreetingCarriesTheApopStamp) {
  PopClient c(port);
  std::string greeting = c.ReadLine();
  EXPECT_EQ(greeting.substr(0, 31), "+OK POP3 server mail.test ready") << greeting;
  std::string stamp = StampOf(greeting);
  EXPECT_EQ(stamp.size() > 5 && stamp[5] == '.', true) << stamp;
  EXPECT_EQ(stamp.substr(stamp.size() - 10), "@mail.test");
  EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  EXPECT_TRUE(c.ClosedByServer());
}

TEST_F(Pop3Test, UserNameIsLowerCasedAndLongerWordsMatch) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  PopClient c(port);
  c.ReadLine();
  EXPECT_EQ(c.Ask("USERX Alice"), "+OK alice welcome here");
  EXPECT_EQ(c.Ask("pass secret"), "+OK mailbox for alice has 3 messages (" +
                                      std::to_string(ThreeMessages().size()) + " octets)");
  EXPECT_EQ(c.Ask("STAT"), "+OK 3 " + std::to_string(ThreeMessages().size()));
  EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
}

TEST_F(Pop3Test, UnknownUserIsWelcomedButItsPasswordFails) {
  PopClient c(port);
  c.ReadLine();
  EXPECT_EQ(c.Ask("USER nobody"), "+OK nobody welcome here");
  EXPECT_EQ(c.Ask("PASS whatever"), "-ERR unable to lock mailbox");
  // A name longer than the 50 characters kept is never cut to another account.
  std::string scrambled, why;
  ASSERT_TRUE(ScramblePassword(std::string(50, 'a'), "pw", scrambled));
  ASSERT_TRUE(WriteUserRecord(std::string(50, 'a'), "a", "a.mbx", scrambled, "", "", why)) << why;
  EXPECT_EQ(c.Ask("USER " + std::string(51, 'a')), "+OK " + std::string(50, 'a') + " welcome here");
  EXPECT_EQ(c.Ask("PASS pw"), "-ERR unable to lock mailbox");
}

TEST_F(Pop3Test, WrongPasswordThenTheRightOne) {
  PopClient c(port);
  c.ReadLine();
  EXPECT_EQ(c.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(c.Ask("PASS wrong"), "-ERR invalid password");
  EXPECT_TRUE(LogHas("Invalid attempt to access mailbox for alice by POP3."));
  EXPECT_EQ(c.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(c.Ask("PASS secret"), "+OK mailbox for alice has 0 messages (0 octets)");
}

TEST_F(Pop3Test, EmptyStoredPasswordAcceptsAnyPassword) {
  AddUser("open", "");
  PopClient c(port);
  Login(c, "open", "anything at all");
}

TEST_F(Pop3Test, CommandsBeforeLoginAreRefused) {
  PopClient c(port);
  c.ReadLine();
  for (const char* cmd : {"STAT", "LIST", "RETR 1", "PASS secret", "HELO", ""})
    EXPECT_EQ(c.Ask(cmd), "-ERR unknown command") << cmd;
  EXPECT_EQ(c.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(c.Ask("STAT"), "-ERR unknown command");
  // Back in authorization: PASS is out of place now.
  EXPECT_EQ(c.Ask("PASS secret"), "-ERR unknown command");
}

TEST_F(Pop3Test, ApopWithTheRightDigestLogsIn) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  PopClient c(port);
  std::string stamp = StampOf(c.ReadLine());
  std::string digest = Md5Hex("<" + stamp + ">secret");
  EXPECT_EQ(c.Ask("APOP Alice " + digest), "+OK alice welcome here");
  EXPECT_EQ(c.Ask("STAT"), "+OK 3 " + std::to_string(ThreeMessages().size()));
}

TEST_F(Pop3Test, ApopWithABadDigestIsRefused) {
  PopClient c(port);
  std::string stamp = StampOf(c.ReadLine());
  std::string digest = Md5Hex("<" + stamp + ">secret");
  std::string upper = digest;
  for (char& ch : upper) ch = char(toupper(ch));
  EXPECT_EQ(c.Ask("APOP alice " + digest.substr(0, 31)), "-ERR invalid password");
  EXPECT_EQ(c.Ask("APOP alice " + upper), "-ERR invalid password");
  EXPECT_EQ(c.Ask("APOP alice " + Md5Hex("<" + stamp + ">wrong")), "-ERR invalid password");
  EXPECT_EQ(c.Ask("APOP nobody " + digest), "-ERR invalid password");
  EXPECT_EQ(c.Ask("APOP alice " + digest), "+OK alice welcome here");
}

TEST_F(Pop3Test, AccountWithoutThePop3AccessBitIsRefused) {
  UserExtra extra;
  extra.accessMask = kAccessFinger;
  std::string why;
  ASSERT_TRUE(WriteUserExtra("alice", extra, "", why)) << why;
  PopClient c(port);
  c.ReadLine();
  c.Ask("USER alice");
  EXPECT_EQ(c.Ask("PASS secret"), "-ERR Not allowed to access service");
}

TEST_F(Pop3Test, MailboxHeldByAnotherHolderIsReportedLocked) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  MailboxLock held;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("alice", 0, held, timedOut));
  PopClient c(port);
  c.ReadLine();
  c.Ask("USER alice");
  // The session waits 10 s for the lock, then gives up.
  EXPECT_EQ(c.Ask("PASS secret"), "-ERR Mailbox already locked, please try later.");
  UnlockMailbox(held);
  c.Ask("USER alice");
  EXPECT_EQ(c.Ask("PASS secret").substr(0, 33), "+OK mailbox for alice has 3 messa");
}

// A session waiting for a mailbox another session holds must hold up nobody:
// another user's session is served meanwhile, and the holder's QUIT is answered
// at once and hands the mailbox to the waiting session, which then logs in
// within its 10 s instead of timing out behind the holder it keeps from quitting.
TEST_F(Pop3Test, SessionWaitingForALockedMailboxHoldsUpNoOtherSession) {
  using Clock = std::chrono::steady_clock;
  AddUser("bob", "hidden");
  WriteFile(MailboxOf("alice"), ThreeMessages());
  WriteFile(MailboxOf("bob"), ThreeMessages());
  PopClient holder(port);
  Login(holder);
  PopClient waiter(port);
  waiter.ReadLine();
  waiter.Ask("USER alice");
  ASSERT_TRUE(waiter.Send("PASS secret"));  // its handler now waits for the lock
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  auto start = Clock::now();
  PopClient other(port);
  Login(other, "bob", "hidden");
  EXPECT_EQ(other.Ask("STAT"), "+OK 3 " + std::to_string(ThreeMessages().size()));
  EXPECT_EQ(holder.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(waiter.ReadLine().substr(0, 33), "+OK mailbox for alice has 3 messa");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(waiter.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  EXPECT_EQ(other.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
}

TEST_F(Pop3Test, LockThatCannotBeMadeIsNotAnEmptyMaildrop) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  WriteFile(home + "locks", "not a directory");
  PopClient c(port);
  c.ReadLine();
  c.Ask("USER alice");
  EXPECT_EQ(c.Ask("PASS secret"), "-ERR unable to lock mailbox");
  EXPECT_EQ(ReadFile(MailboxOf("alice")), ThreeMessages());
}

TEST_F(Pop3Test, MailboxThatCannotBeReadIsNotAnEmptyMaildrop) {
  ASSERT_TRUE(MakeDirectories(MailboxOf("alice")));  // a directory where the file should be
  PopClient c(port);
  c.ReadLine();
  c.Ask("USER alice");
  EXPECT_EQ(c.Ask("PASS secret"), "-ERR unable to lock mailbox");
  EXPECT_TRUE(LogHas("Unable to access mailbox."));
}

TEST_F(Pop3Test, ListUidlDeleteAndReset) {
  std::string box = ThreeMessages();
  WriteFile(MailboxOf("alice"), box);
  PopClient c(port);
  Login(c);
  MailboxIndex index;
  {
    UniqueFd fd = OpenShared(MailboxOf("alice"), O_RDONLY);
    std::string why;
    ASSERT_TRUE(IndexMailbox(fd.get(), index, why));
  }
  ASSERT_EQ(index.messages.size(), 3u);
  auto len = [&](size_t i) { return std::to_string(index.messages[i].length); };
  EXPECT_EQ(c.Ask("LIST"), "+OK 3 messages (" + std::to_string(box.size()) + " octets)");
  EXPECT_EQ(c.ReadBody(), "1 " + len(0) + "\r\n2 " + len(1) + "\r\n3 " + len(2) + "\r\n");
  EXPECT_EQ(c.Ask("UIDL"), "+OK");
  EXPECT_EQ(c.ReadBody(), "1 <one@x.test>\r\n2 <two@x.test>\r\n3 <three@x.test>\r\n");
  EXPECT_EQ(c.Ask("UIDL 2"), "+OK 2 <two@x.test>");
  EXPECT_EQ(c.Ask("LIST 3"), "+OK 3 " + len(2));
  EXPECT_EQ(c.Ask("DELE 2"), "+OK message 2 deleted");
  EXPECT_EQ(c.Ask("DELE 2"), "-ERR message 2 already deleted");
  long long live = (long long)box.size() - index.messages[1].length;
  EXPECT_EQ(c.Ask("STAT"), "+OK 2 " + std::to_string(live));
  EXPECT_EQ(c.Ask("LIST"), "+OK 2 messages (" + std::to_string(live) + " octets)");
  EXPECT_EQ(c.ReadBody(), "1 " + len(0) + "\r\n3 " + len(2) + "\r\n");
  EXPECT_EQ(c.Ask("RETR 2"), "-ERR no such message");
  EXPECT_EQ(c.Ask("LIST 2"), "-ERR no such message");
  EXPECT_EQ(c.Ask("LAST"), "+OK 2");
  EXPECT_EQ(c.Ask("RSET"), "+OK");
  EXPECT_EQ(c.Ask("STAT"), "+OK 3 " + std::to_string(box.size()));
  EXPECT_EQ(c.Ask("LAST"), "+OK 0");
  EXPECT_EQ(c.Ask("NOOP"), "+OK");
  EXPECT_EQ(c.Ask("USER alice"), "-ERR unknown command");
}

TEST_F(Pop3Test, BadMessageNumbersGetNoSuchMessage) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  PopClient c(port);
  Login(c);
  for (const char* arg : {"0", "-1", "1x", "4", "1099511627776", "99999999999999999999999", "",
                          " ", "x", "+1"}) {
    EXPECT_EQ(c.Ask(std::string("RETR ") + arg), "-ERR no such message") << arg;
    EXPECT_EQ(c.Ask(std::string("DELE ") + arg), "-ERR no such message") << arg;
    if (*arg && *arg != ' ') {  // "TOP  1" names message 1
      EXPECT_EQ(c.Ask(std::string("TOP ") + arg + " 1"), "-ERR no such message") << arg;
    }
  }
  EXPECT_EQ(c.Ask("STAT"), "+OK 3 " + std::to_string(ThreeMessages().size()));
}

TEST_F(Pop3Test, RetrStuffsDotsAndUnquotesFromAfterAnEmptyLine) {
  std::string body =
      ".starts with a dot\r\n"
      "\r\n"
      ">From the quoted separator\r\n"
      "text\r\n"
      ">>From twice quoted, after text\r\n"
      "\r\n"
      ">>From twice quoted, after empty\r\n"
      ".\r\n";
  std::string msg = Message("Subject: dots\r\n", body);
  WriteFile(MailboxOf("alice"), Mailbox({msg}));
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("RETR 1"), "+OK " + std::to_string(msg.size() + 2) + " octets");
  EXPECT_EQ(c.ReadBody(),
            "From bob@remote.test Fri Dec  4 10:00:00 2026\r\n"
            "Subject: dots\r\n"
            "\r\n"
            "..starts with a dot\r\n"
            "\r\n"
            "From the quoted separator\r\n"
            "text\r\n"
            ">>From twice quoted, after text\r\n"
            "\r\n"
            ">From twice quoted, after empty\r\n"
            "..\r\n"
            "\r\n");
}

TEST_F(Pop3Test, TopSendsTheHeaderAndCountedLines) {
  std::string msg = Message("Subject: top\r\nX-A: 1\r\n", "line1\r\nline2\r\nline3\r\n");
  WriteFile(MailboxOf("alice"), Mailbox({msg}));
  PopClient c(port);
  Login(c);
  std::string head = "From bob@remote.test Fri Dec  4 10:00:00 2026\r\nSubject: top\r\nX-A: 1\r\n\r\n";
  EXPECT_EQ(c.Ask("TOP 1 0"), "+OK");
  EXPECT_EQ(c.ReadBody(), head);
  EXPECT_EQ(c.Ask("TOP 1 2"), "+OK");
  EXPECT_EQ(c.ReadBody(), head + "line1\r\nline2\r\n");
  EXPECT_EQ(c.Ask("TOP 1 -5"), "+OK");
  EXPECT_EQ(c.ReadBody(), head);
  EXPECT_EQ(c.Ask("TOP 1 99999999999999999999"), "+OK");
  EXPECT_EQ(c.ReadBody(), head + "line1\r\nline2\r\nline3\r\n\r\n");
  // TOP retrieves nothing: QUIT leaves the mailbox as it was.
  EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")), Mailbox({msg}));
}

// The wire form of a stored message as RETR sends it (no quoted separators in it).
std::string WireForm(const std::string& stored) {
  std::string out;
  size_t pos = 0;
  while (pos < stored.size()) {
    size_t eol = stored.find("\r\n", pos);
    AppendMessageLine(std::string_view(stored).substr(pos, eol - pos), out);
    pos = eol + 2;
  }
  return out;
}

TEST_F(Pop3Test, RetrOfAMessageLargerThanTheSendRingResumes) {
  std::string body;
  for (int i = 0; i < 6000; ++i) {
    body += (i % 7 == 0 ? "." : "") + std::to_string(i) + std::string(size_t(i % 90), 'x') + "\r\n";
    if (i % 1000 == 0) body += std::string(3000, 'L') + "\r\n";  // cut into pieces
  }
  std::string msg = Message("Subject: big\r\nMessage-Id: <big@x.test>\r\n", body);
  std::string small = Message("Subject: small\r\n", "tiny\r\n");
  WriteFile(MailboxOf("alice"), Mailbox({msg, small}));
  PopClient c(port);
  Login(c);
  ASSERT_TRUE(c.Send("RETR 1"));
  ASSERT_TRUE(c.Send("RETR 2"));
  // Nobody reads for a while: the send ring fills and the session must wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The message runs up to the next separator: its end mark and the empty line.
  EXPECT_EQ(c.ReadLine(), "+OK " + std::to_string(msg.size() + 4) + " octets");
  std::string got = c.ReadBody();
  std::string want = WireForm(msg + "\r\n\r\n");
  ASSERT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  EXPECT_EQ(c.ReadLine(), "+OK " + std::to_string(small.size() + 2) + " octets");
  EXPECT_EQ(c.ReadBody(), small + "\r\n");
  EXPECT_EQ(c.Ask("LAST"), "+OK 2");
}

TEST_F(Pop3Test, QuitAfterDeleteRewritesTheMailboxKeepingTheOthers) {
  std::string m1 = Message("Subject: one\r\n", "first\r\n");
  std::string m2 = Message("Subject: two\r\nStatus: O\r\n", "second\r\n");
  std::string m3 = Message("Subject: three\r\nstatus: RO\r\n", "third\r\n");
  WriteFile(MailboxOf("alice"), Mailbox({m1, m2, m3}));
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("DELE 1"), "+OK message 1 deleted");
  EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            Message("Subject: two\r\nStatus: UO\r\n", "second\r\n") + "\r\n\r\n" +
                Message("Subject: three\r\nStatus: RO\r\n", "third\r\n") + "\r\n");
  EXPECT_FALSE(FileExists(MailboxSiblingPath(MailboxOf("alice"))));
}

TEST_F(Pop3Test, RetrievedMessageIsMarkedAndLastSurvivesTheSession) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  {
    PopClient c(port);
    Login(c);
    EXPECT_EQ(c.Ask("RETR 1").substr(0, 4), "+OK ");
    c.ReadBody();
    EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
    ASSERT_TRUE(WaitForSessionsToEnd());
  }
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            Mailbox({
                Message("Subject: one\r\nMessage-Id: <one@x.test>\r\nStatus: RO\r\n",
                        "first body\r\n"),
                Message("Subject: two\r\nMessage-Id: <two@x.test>\r\nStatus: UO\r\n",
                        "second\r\nbody\r\n"),
                Message("Subject: three\r\nMessage-Id: <three@x.test>\r\nStatus: UO\r\n",
                        "third\r\n"),
            }));
  EXPECT_EQ(ReadFile(home + "alice.mid"), std::string("\0\0\0\0", 4));
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("LAST"), "+OK 1");
}

// A client that fetches a mailbox again (every message already marked read)
// leaves it byte for byte as it was; the commit writes only the .mid file
// instead of copying and flushing the whole mailbox (the file stays the same).
TEST_F(Pop3Test, FetchingAMarkedMailboxAgainLeavesTheFileInPlace) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  auto fetchAll = [&] {
    PopClient c(port);
    Login(c);
    for (int i = 1; i <= 3; ++i) {
      EXPECT_EQ(c.Ask("RETR " + std::to_string(i)).substr(0, 3), "+OK");
      while (c.ReadLine() != ".") {
      }
    }
    EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  };
  fetchAll();
  std::string marked = ReadFile(MailboxOf("alice"));
  ASSERT_NE(marked, ThreeMessages());  // the first fetch added the Status: lines
  struct stat before{};
  ASSERT_EQ(stat(MailboxOf("alice").c_str(), &before), 0);
  fetchAll();
  struct stat after{};
  ASSERT_EQ(stat(MailboxOf("alice").c_str(), &after), 0);
  EXPECT_EQ(ReadFile(MailboxOf("alice")), marked);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_FALSE(FileExists(home + "alice.mbz"));
  std::string mid = ReadFile(home + "alice.mid");
  ASSERT_EQ(mid.size(), 4u);
  EXPECT_EQ(mid[0], 2);  // the highest message read: 3, counted from 0
}

TEST_F(Pop3Test, DeletingEveryMessageRemovesMailboxAndMid) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  WriteFile(home + "alice.mid", std::string("\1\0\0\0", 4));
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("LAST"), "+OK 2");
  for (int i = 1; i <= 3; ++i) c.Ask("DELE " + std::to_string(i));
  EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_FALSE(FileExists(MailboxOf("alice")));
  EXPECT_FALSE(FileExists(home + "alice.mid"));
}

TEST_F(Pop3Test, DisconnectWithoutQuitDiscardsDeletions) {
  WriteFile(MailboxOf("alice"), ThreeMessages());
  {
    PopClient c(port);
    Login(c);
    EXPECT_EQ(c.Ask("DELE 1"), "+OK message 1 deleted");
    EXPECT_EQ(c.Ask("RETR 2").substr(0, 4), "+OK ");
    c.ReadBody();
    c.Abort();
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")), ThreeMessages());
  EXPECT_TRUE(LogHas("Pop connection terminated unexpectedly."));
  // The lock went with the session.
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("STAT"), "+OK 3 " + std::to_string(ThreeMessages().size()));
  EXPECT_EQ(Pop3OpenSessions(), 1);
}

TEST_F(Pop3Test, DisconnectDuringRetrLeavesTheMailboxWhole) {
  std::string big = Message("Subject: big\r\n", std::string(200000, 'b') + "\r\n");
  std::string box = Mailbox({big, Message("Subject: x\r\n", "x\r\n")});
  WriteFile(MailboxOf("alice"), box);
  {
    PopClient c(port);
    Login(c);
    c.Ask("DELE 2");
    c.Send("RETR 1");
    c.ReadLine();
    c.Abort();
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")), box);
}

TEST_F(Pop3Test, DuplicateMessageIdsGetDistinctStableUids) {
  std::string a = Message("Subject: a\r\nMessage-Id: <same@x.test>\r\n", "a\r\n");
  std::string b = Message("Subject: b\r\nMessage-Id: <same@x.test>\r\n", "b\r\n");
  std::string c3 = Message("Subject: c\r\n", "no id\r\n");
  std::string d = Message("Subject: d\r\nMessage-Id: <" + std::string(80, 'l') + ">\r\n", "long\r\n");
  std::string e = Message("Subject: e\r\nMessage-Id: <unique@x.test>\r\n", "e\r\n");
  WriteFile(MailboxOf("alice"), Mailbox({a, b, c3, d, e}));
  auto uids = [&](bool retrieveFirst) {
    PopClient c(port);
    Login(c);
    EXPECT_EQ(c.Ask("UIDL"), "+OK");
    std::string body = c.ReadBody();
    if (retrieveFirst) {
      c.Ask("RETR 2");
      c.ReadBody();
    }
    c.Ask("QUIT");
    EXPECT_TRUE(WaitForSessionsToEnd());
    return body;
  };
  std::string first = uids(true);  // the QUIT rewrites: Status lines are added
  std::string second = uids(false);
  EXPECT_EQ(first, second);
  std::istringstream in(first);
  std::vector<std::string> ids;
  std::string num, id;
  while (in >> num >> id) ids.push_back(id);
  ASSERT_EQ(ids.size(), 5u) << first;
  EXPECT_EQ(ids[0], "<same@x.test>");
  EXPECT_EQ(ids[4], "<unique@x.test>");
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_TRUE(IsUsableUid(ids[i])) << ids[i];
    for (size_t j = i + 1; j < ids.size(); ++j) EXPECT_NE(ids[i], ids[j]);
  }
  EXPECT_NE(ReadFile(MailboxOf("alice")).find("Status: RO"), std::string::npos);
}

TEST_F(Pop3Test, IdenticalCopiesGetDistinctUids) {
  std::string m = Message("Subject: copy\r\n", "same\r\n");
  WriteFile(MailboxOf("alice"), Mailbox({m, m, m}));
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("UIDL"), "+OK");
  std::string body = c.ReadBody();
  std::string header = "From bob@remote.test Fri Dec  4 10:00:00 2026\r\nSubject: copy\r\n";
  // The last copy lacks the empty line that precedes the next message.
  std::string key = StableMessageKey(header, (long long)m.size() + 4);
  std::string last = StableMessageKey(header, (long long)m.size() + 2);
  EXPECT_EQ(body, "1 " + key + "\r\n2 " + key + "-2\r\n3 " + last + "\r\n");
}

TEST_F(Pop3Test, TextThatIsNoMailboxIsKept) {
  std::string junk = "this is not\r\na mailbox\r\n";
  WriteFile(MailboxOf("alice"), junk);
  {
    PopClient c(port);
    Login(c);
    EXPECT_EQ(c.Ask("STAT"), "+OK 0 0");
    EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")), junk);
  // Text before the first message survives a rewrite too.
  std::string m1 = Message("Subject: 1\r\n", "1\r\n");
  std::string m2 = Message("Subject: 2\r\n", "2\r\n");
  WriteFile(MailboxOf("alice"), junk + "\r\n" + Mailbox({m1, m2}));
  {
    PopClient c(port);
    Login(c);
    EXPECT_EQ(c.Ask("DELE 1"), "+OK message 1 deleted");
    c.Ask("QUIT");
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")),
            junk + "\r\n" + Message("Subject: 2\r\nStatus: UO\r\n", "2\r\n") + "\r\n");
  {
    PopClient c(port);
    Login(c);
    EXPECT_EQ(c.Ask("DELE 1"), "+OK message 1 deleted");
    c.Ask("QUIT");
  }
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_EQ(ReadFile(MailboxOf("alice")), junk + "\r\n");
}

TEST_F(Pop3Test, OverLongCommandLineIsRefusedOnce) {
  PopClient c(port);
  c.ReadLine();
  EXPECT_EQ(c.Ask("USER " + std::string(5000, 'u')), "-ERR unknown command");
  EXPECT_EQ(c.Ask("NOOP"), "-ERR unknown command");
  EXPECT_EQ(c.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(c.Ask(std::string("PASS secret\0x", 13)).substr(0, 3), "-ER");
}

TEST_F(Pop3Test, ListenerOnAPortInUseFailsWithItsText) {
  std::string why;
  EXPECT_FALSE(Pop3Listen("127.0.0.1", port, why));
  EXPECT_EQ(why.rfind("P3: Unable to bind POP3 socket: ", 0), 0u) << why;
}

}  // namespace

namespace {

// Appends a message the way the router does (separator, text, end mark).
void AppendAsRouter(const std::string& path, const std::string& sender, const std::string& text) {
  MailboxAppend append;
  ASSERT_EQ(OpenMailboxFileForAppend(path, sender, append), AppendOpen::kOpened);
  ASSERT_TRUE(WriteAll(append.fd.get(), text.data(), text.size()));
  std::string why;
  ASSERT_TRUE(FinishMailboxAppend(append, why)) << why;
}

TEST_F(Pop3Test, MessagesAppendedByTheRouterAreServedAndTheLockKeepsItOut) {
  AppendAsRouter(MailboxOf("alice"), "one@remote.test", "Subject: a\r\n\r\nbody a\r\n");
  AppendAsRouter(MailboxOf("alice"), "two@remote.test", "Subject: b\r\n\r\n>From b\r\n");
  PopClient c(port);
  Login(c);
  EXPECT_EQ(c.Ask("STAT").substr(0, 6), "+OK 2 ");
  // While the session lasts, the router's attempt (no waiting) finds the lock held.
  MailboxLock router;
  bool timedOut = false;
  EXPECT_FALSE(LockMailbox("Alice", kMailbox.routerLockMs, router, timedOut));
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(c.Ask("TOP 2 5"), "+OK");
  std::string body = c.ReadBody();
  EXPECT_EQ(body.substr(0, 20), "From two@remote.test");
  EXPECT_EQ(body.substr(body.find("\r\n") + 2), "Subject: b\r\n\r\nFrom b\r\n\r\n");
  EXPECT_EQ(c.Ask("QUIT"), "+OK POP3 server mail.test signing off.");
  ASSERT_TRUE(WaitForSessionsToEnd());
  EXPECT_TRUE(LockMailbox("alice", kMailbox.routerLockMs, router, timedOut));
}

}  // namespace

namespace {

TEST_F(Pop3Test, StartListenerUsesTheConfiguredPortAndLogsIt) {
  Settings& s = ServerSettings();
  s.bindAddress = "127.0.0.1";
  s.sysOptPop = FreeLoopbackPort();
  std::string why;
  ASSERT_TRUE(Pop3StartListener(why)) << why;
  EXPECT_TRUE(LogHas("POP3 server started on port " + std::to_string(s.sysOptPop) + "."));
  PopClient c(int(s.sysOptPop));
  EXPECT_EQ(c.ReadLine().substr(0, 16), "+OK POP3 server ");
  // A second listener on the same port fails with the bind text.
  EXPECT_FALSE(Pop3StartListener(why));
  EXPECT_EQ(why.rfind("P3: Unable to bind POP3 socket: ", 0), 0u) << why;
}

}  // namespace
