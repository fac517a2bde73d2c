// The retry queue with the clock passed in: the schedule of the four levels, the
// warning at the last level, expiry after seven days, held hosts, the start-up
// rename, and the age of a message carried across requeue, routing and marks.
#include <set>
#include <string>
#include <vector>

#include "server/accounts/router.h"
#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr int kBlock = 16;
constexpr uint32_t kMinute = 60000;
constexpr int64_t kDay = 86400;

// The modification time of a file, in seconds.
int64_t Age(const std::string& path) {
  FileTime t;
  EXPECT_TRUE(GetFileModifiedTime(path, t)) << path;
  return t.seconds;
}

class RetryQueueTest : public OutgoingTest {
 protected:
  // A parked file (.our) with one recipient of `host`.
  std::string Parked(const std::string& host, const std::string& sender = "alice@mail.example.org") {
    std::string out = WriteOut(sender, {"u@" + host}, "Subject: waiting\r\n\r\nbody\r\n");
    std::string our = out.substr(0, out.size() - 1) + "r";
    EXPECT_EQ(RenameNoReplace(out, our), 0);
    return our;
  }
  static RetryClock At(uint32_t tick, int64_t seconds = 1700000000) {
    RetryClock c;
    c.tick = tick;
    c.seconds = seconds;
    return c;
  }
  void SetException(const std::string& node, const std::string& fields) {
    RegSetString(std::string(kRootKey) + "\\Exceptions", node, fields);
  }
};

// Level 0: 5 tries 3 minutes apart, then 15 every 15 minutes, 44 hourly, then every
// two hours without end; the warning comes exactly once, on reaching level 3.
TEST_F(RetryQueueTest, ScheduleClimbsTheFourLevelsAndWarnsOnReachingTheLast) {
  RetryQueueSettings().levelStart = 0;
  RoutingExceptions none;
  std::string path = Parked("down.example");
  uint64_t id = AddToRetryQueue(path, "down.example", 1700000000, none, At(1000));
  struct Step {
    int failures;       // counted so far
    int level;          // then the level is
    uint32_t interval;  // and the entry is due after this much
  };
  const Step steps[] = {{0, 0, 3 * kMinute},   {4, 0, 3 * kMinute},  {5, 1, 15 * kMinute},
                        {19, 1, 15 * kMinute}, {20, 2, 60 * kMinute}, {63, 2, 60 * kMinute},
                        {64, 3, 120 * kMinute}, {500, 3, 120 * kMinute}};
  int counted = 0, warnings = 0;
  for (const Step& s : steps) {
    while (counted < s.failures) {
      warnings += CountRetryFailure(id, none) ? 1 : 0;
      ++counted;
    }
    RetryEntry e;
    ASSERT_TRUE(GetRetryEntry(id, e));
    EXPECT_EQ(e.level, s.level) << s.failures;
    NoteRetryAttempt(id, At(5000));
    ASSERT_TRUE(GetRetryEntry(id, e));
    EXPECT_FALSE(RetryEntryDue(e, none, At(5000 + s.interval - 1))) << s.failures;
    EXPECT_TRUE(RetryEntryDue(e, none, At(5000 + s.interval))) << s.failures;
  }
  EXPECT_EQ(warnings, 1);
  EXPECT_EQ(RetryQueueLines(),
            std::vector<std::string>{"Host: down.example, Messages: 1, Level: every 2 hours"});
}

// What an exception or RetryConstant changes: the start level, the interval, a
// level that stays, a host that waits until asked.
TEST_F(RetryQueueTest, ExceptionsAndRetryConstantChangeTheSchedule) {
  SetException("slow.example", "0,2,1,0,,1,60,0,1,30");   // level 2, constant, own 30 min
  SetException("held.example", "0,1,0,0,,1,60,1,0,10");   // keep messages
  RoutingExceptions ex = LoadRoutingExceptions();
  uint64_t slow = AddToRetryQueue(Parked("slow.example"), "slow.example", 1700000000, ex, At(0));
  uint64_t held = AddToRetryQueue(Parked("held.example"), "held.example", 1700000000, ex, At(0));
  RetryEntry e;
  ASSERT_TRUE(GetRetryEntry(slow, e));
  EXPECT_EQ(e.level, 2);
  EXPECT_FALSE(RetryEntryDue(e, ex, At(30 * kMinute - 1)));
  EXPECT_TRUE(RetryEntryDue(e, ex, At(30 * kMinute)));
  for (int i = 0; i < 100; ++i) CountRetryFailure(slow, ex);
  ASSERT_TRUE(GetRetryEntry(slow, e));
  EXPECT_EQ(e.level, 2);
  ASSERT_TRUE(GetRetryEntry(held, e));
  EXPECT_FALSE(RetryEntryDue(e, ex, At(1000 * kMinute)));
  EXPECT_EQ(ScanRetryQueue(ex, At(40 * kMinute), false).size(), 1u);  // slow only
  NoteRetryAttempt(slow, At(40 * kMinute));
  EXPECT_TRUE(RetryNow("HELD.example"));
  std::vector<RetryEntry> due = ScanRetryQueue(ex, At(41 * kMinute), false);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].host, "held.example");

  // RetryConstant holds every entry's level.
  RetryQueueSettings().constant = true;
  RoutingExceptions none;
  uint64_t plain = AddToRetryQueue(Parked("plain.example"), "plain.example", 1700000000, none, At(0));
  for (int i = 0; i < 100; ++i) CountRetryFailure(plain, none);
  ASSERT_TRUE(GetRetryEntry(plain, e));
  EXPECT_EQ(e.level, 1);
}

// A new message for a held node is parked without any connection.
TEST_F(RetryQueueTest, HeldNodeIsParkedWithoutConnecting) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(kBlock, 1), PeerScript()));
  ServerSettings().smartHost = PeerAddress(kBlock, 1);
  ServerSettings().routingMode = kRouteSmartHost;
  SetException("held.example", "0,1,0,0,,1,60,1,0,10");
  std::string path = WriteOut("alice@mail.example.org", {"u@held.example"}, "Subject: h\r\n\r\nb\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(peer.Connections(), 0);
  EXPECT_TRUE(SpoolExists(path.substr(0, path.size() - 1) + "r"));
  ASSERT_EQ(RetryEntries().size(), 1u);
  // Asked for (ETRN), it goes.
  RetryNow("held.example");
  ASSERT_TRUE(Pump([&] { return peer.Messages().size() == 1 && CountOutgoingItems() == 0; }));
  EXPECT_TRUE(RetryEntries().empty());
}

// Seven days after the message was first taken its file is bounced and deleted;
// a younger one stays.
TEST_F(RetryQueueTest, MessageOlderThanSevenDaysIsBouncedAndDeleted) {
  RoutingExceptions none;
  int64_t now = 1700000000;
  std::string old = Parked("down.example");
  std::string young = Parked("down.example");
  AddToRetryQueue(old, "down.example", now - 7 * kDay - 1, none, At(0));
  AddToRetryQueue(young, "down.example", now - 7 * kDay + 60, none, At(0));
  // Not due (one minute later), so only expiry applies.
  EXPECT_TRUE(ScanRetryQueue(none, At(kMinute, now), false).empty());
  EXPECT_FALSE(SpoolExists(old));
  EXPECT_TRUE(SpoolExists(young));
  ASSERT_EQ(RetryEntries().size(), 1u);
  std::vector<std::string> bounces = IncomingTexts();
  ASSERT_EQ(bounces.size(), 1u);
  std::string date = FormatLocalDate(DateStyle::kMail, MailNow());
  std::string stamp = "Received: by mail.example.org from localhost\r\n"
                      "    (mail daemon,Corvel95 V1.0); " + date + "\r\n";
  EXPECT_EQ(bounces[0],
            "From: MAILER-DAEMON@mail.example.org\r\nOrigin: local\r\n"
            "To: alice@mail.example.org\r\n\r\n" + stamp +
                "From: Mailer-Daemon<MAILER-DAEMON@mail.example.org>\r\n"
                "To: alice@mail.example.org<alice@mail.example.org>\r\nDate: " + date +
                "\r\nSubject: Message rejected by system\r\n\r\n"
                "------------ Transcript of session follows ------------\r\n\r\n"
                "Reason: Message has expired after 7 days\r\n\r\n"
                "-----------------First 8192 bytes of-------------------\r\n"
                "------- Unsent message enclosed after this line -------\r\n" +
                stamp + "Subject: waiting\r\n\r\nbody\r\n");
}

// A retry item that fails into the last level warns the sender and postmaster
// once, with the message enclosed, and keeps the file.
TEST_F(RetryQueueTest, RetryReachingTheLastLevelWarnsSenderAndPostmaster) {
  ServerSettings().smartHost = PeerAddress(kBlock, 2);  // nobody listens
  ServerSettings().routingMode = kRouteSmartHost;
  RoutingExceptions none;
  std::string path = Parked("down.example", "bob@remote.example.com");
  RetryQueueSettings().levelStart = 2;
  uint64_t id = AddToRetryQueue(path, "down.example", int64_t(time(nullptr)), none, At(0));
  for (int i = 0; i < 43; ++i) CountRetryFailure(id, none);  // one short of level 3
  RetryNowEntry(id);
  ASSERT_TRUE(Pump([&] {
    RetryEntry e;
    return GetRetryEntry(id, e) && e.level == 3 && CountOutgoingItems() == 0;
  }));
  EXPECT_TRUE(SpoolExists(path));
  std::vector<std::string> warnings = IncomingTexts();
  ASSERT_EQ(warnings.size(), 2u);  // to the sender and to postmaster
  const char* reason =
      "Reason: Have been trying to send to down.example for 2 days.  Will continue to try and "
      "send for 5 more days.\r\n";
  std::set<std::string> to;
  for (const std::string& w : warnings) {
    EXPECT_NE(w.find(reason), std::string::npos) << w;
    EXPECT_EQ(w.substr(w.size() - 28), "\r\nSubject: waiting\r\n\r\nbody\r\n") << w;
    to.insert(w.substr(0, w.find("\r\n\r\n")));
  }
  EXPECT_EQ(to, (std::set<std::string>{
                    "From: MAILER-DAEMON@mail.example.org\r\nOrigin: local\r\n"
                    "To: bob@remote.example.com",
                    "From: MAILER-DAEMON@mail.example.org\r\nOrigin: local\r\n"
                    "To: postmaster@mail.example.org"}));
}

// At start-up every parked file becomes an outgoing one; a taken name is not
// replaced.
TEST_F(RetryQueueTest, StartupRenamesParkedFilesWithoutReplacingOthers) {
  std::string taken = Parked("a.example");
  std::string free = Parked("b.example");
  std::string outOfTaken = taken.substr(0, taken.size() - 1) + "t";
  Write(outOfTaken, "From: x@y\r\nTo: z@w\r\n\r\nother\r\n");
  std::string why;
  ASSERT_TRUE(InitRetryQueue(Out(), why)) << why;
  EXPECT_TRUE(ListFiles(Out(), "*.our").empty());
  EXPECT_EQ(Read(outOfTaken), "From: x@y\r\nTo: z@w\r\n\r\nother\r\n");
  EXPECT_TRUE(SpoolExists(free.substr(0, free.size() - 1) + "t"));
  EXPECT_NE(Read(Out() + "00000001.out").find("Subject: waiting"), std::string::npos);
}

// A parked message keeps its age when the start-up clean-up requeues it, when
// the router copies it to a new outgoing file, and when recipients are marked.
TEST_F(RetryQueueTest, MessageAgeSurvivesRequeueRoutingAndMarks) {
  std::string parked = WriteOut("alice@mail.example.org", {"u@far.example", "v@far.example"},
                                "Subject: old\r\n\r\nbody\r\n");
  std::string our = parked.substr(0, parked.size() - 1) + "r";
  ASSERT_EQ(RenameNoReplace(parked, our), 0);
  const int64_t firstTaken = 1600000000;
  {
    UniqueFd fd = OpenShared(our, O_RDWR);
    ASSERT_TRUE(SetFileModifiedTime(fd.get(), FileTime{firstTaken, 0}));
  }
  ASSERT_EQ(CleanSpoolDirectories(), 1);
  std::vector<std::string> in = ListFiles(In(), "*.in");
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(Age(In() + in[0]), firstTaken);
  // Without a Message-Id the router first writes a new incoming file (with one),
  // then the outgoing file: both are copies that keep the age.
  for (int pass = 0; pass < 2 && ListFiles(Out(), "*.out").empty(); ++pass) {
    in = ListFiles(In(), "*.in");
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(Age(In() + in[0]), firstTaken);
    SpoolRouteResult result;
    ASSERT_TRUE(RouteSpoolFile(In() + in[0], true, result));
    RetireSpoolFile(In() + in[0]);
  }
  std::vector<std::string> out = ListFiles(Out(), "*.out");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Age(Out() + out[0]), firstTaken);
  UniqueFd fd = SpoolOpenUpdate(Out() + out[0]);
  OutgoingEnvelope env;
  std::string why;
  ASSERT_TRUE(ReadOutgoingEnvelope(fd.get(), env, why)) << why;
  ASSERT_TRUE(MarkRecipientsDone(fd.get(), {env.recipients[0].lineOffset}, why)) << why;
  EXPECT_EQ(Age(Out() + out[0]), firstTaken);
}

}  // namespace
