// The outgoing item's bookkeeping: passes of 50 recipients, a broken envelope, an
// address too long for a destination, parking without replacing, retries that
// touch only their own host's recipients, reports about reports.
#include <set>
#include <string>
#include <vector>

#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr const char* kSender = "sender@remote.example.com";

class ItemTest : public OutgoingTest {};

std::vector<std::string> Recipients(int n, const std::string& domain) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back("r" + std::to_string(i) + "@" + domain);
  return out;
}

// 120 recipients in one file go in passes of 50: delivered, in three transactions;
// put off, each is asked for once and the file waits with all of them pending.
TEST_F(ItemTest, PassesOfFiftyAskForEachRecipientOnce) {
  struct Case {
    const char* name;
    const char* reply;  // to every RCPT
    size_t transactions;
    bool parked;
  };
  const Case cases[] = {{"accepted", "250 ok", 3, false}, {"put off", "450 later", 0, true}};
  int host = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerScript script;
    for (const std::string& r : Recipients(120, "far.example")) script.rcpt[r] = c.reply;
    RecordingPeer peer;
    ASSERT_TRUE(peer.Start(PeerAddress(17, host++), script));
    UseSmartHost(PeerAddress(17, host - 1));
    std::string path = WriteOut(kSender, Recipients(120, "far.example"), "Subject: many\r\n\r\nb\r\n");
    ASSERT_TRUE(PumpUntilIdle());
    size_t rcpts = 0;
    for (const std::string& cmd : peer.Commands()) rcpts += cmd.rfind("RCPT", 0) == 0 ? 1 : 0;
    EXPECT_EQ(rcpts, 120u);
    EXPECT_EQ(peer.Messages().size(), c.transactions);
    std::string parked = path.substr(0, path.size() - 1) + "r";
    EXPECT_EQ(SpoolExists(parked), c.parked);
    if (c.parked) {
      EXPECT_EQ(Envelope(parked).find("\r\nto: "), std::string::npos);  // nothing marked
      EXPECT_EQ(RetryEntries().size(), 1u);
    }
    EXPECT_TRUE(IncomingTexts().empty());
    for (const RetryEntry& e : RetryEntries()) DeleteFromRetryQueue(e.id, "test");
  }
}

// A file whose envelope breaks the rules goes back whole, with the reason, to the
// sender and root; an address too long for a destination is bounced, not cut.
TEST_F(ItemTest, BrokenEnvelopeAndOverlongAddressAreBounced) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(18, 1), PeerScript()));
  UseSmartHost(PeerAddress(18, 1));
  std::string path, why;
  UniqueFd fd = CreateSpoolTemp(path, false);
  const std::string broken = "From: " + std::string(kSender) + "\r\nTo: a@far.example\r\n"
                             "X-Stray: line\r\n\r\nSubject: broken\r\n\r\nbody\r\n";
  ASSERT_TRUE(SpoolWrite(fd.get(), broken));
  const Settings& s = ServerSettings();
  ASSERT_TRUE(CloseAndCommitSpoolFile(fd, path, false, s.incomingDirectory, s.outgoingDirectory, why));
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_FALSE(SpoolExists(path));
  std::vector<std::string> bounces = IncomingTexts();
  ASSERT_EQ(bounces.size(), 2u);  // sender and root
  const std::string reason =
      "Fatal error sending message: Unexpected line in envelope searching for To line";
  const std::string message = "Subject: broken\r\n\r\nbody\r\n";
  std::set<std::string> got(bounces.begin(), bounces.end());
  EXPECT_TRUE(got.count(ExpectedBounce(kSender, reason, message)));
  EXPECT_TRUE(got.count(ExpectedBounce("root@mail.example.org", reason, message)));
  for (const std::string& f : QueueFilesIn(In())) SpoolDelete(In() + f);

  std::string longLocal(300, 'l');
  WriteOut(kSender, {longLocal + "@far.example", "ok@far.example"}, "Subject: long\r\n\r\nb\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_EQ(peer.Messages()[0].rcpts, std::vector<std::string>{"TO:<ok@far.example>"});
  bounces = IncomingTexts();
  ASSERT_EQ(bounces.size(), 1u);
  EXPECT_EQ(bounces[0], ExpectedBounce(kSender,
                                       "Illegal address specified as host: far.example",
                                       "Subject: long\r\n\r\nb\r\n"));
}

// A parked file of the same name is never replaced: the new one takes another name.
TEST_F(ItemTest, ParkingNeverReplacesAnExistingRetryFile) {
  UseSmartHost(PeerAddress(18, 2));  // nobody listens
  std::string path = WriteOut(kSender, {"a@far.example"}, "Subject: p\r\n\r\nb\r\n");
  std::string taken = path.substr(0, path.size() - 1) + "r";
  Write(taken, "From: x@y.example\r\nTo: z@w.example\r\n\r\nolder\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(Read(taken), "From: x@y.example\r\nTo: z@w.example\r\n\r\nolder\r\n");
  std::vector<RetryEntry> entries = RetryEntries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].path, taken);
  EXPECT_EQ(Read(entries[0].path), "From: " + std::string(kSender) +
                                       "\r\nTo: a@far.example\r\n\r\nSubject: p\r\n\r\nb\r\n");
}

// A report about a report (from a mailer daemon) that fails goes to root only.
TEST_F(ItemTest, FailedMailFromAMailerDaemonBouncesToRootOnly) {
  PeerScript script;
  script.rcpt["a@far.example"] = "550 no such user";
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(18, 3), script));
  UseSmartHost(PeerAddress(18, 3));
  WriteOut("MAILER-DAEMON@elsewhere.example", {"a@far.example"}, "Subject: r\r\n\r\nb\r\n");
  ASSERT_TRUE(PumpUntilIdle());
  std::vector<std::string> bounces = IncomingTexts();
  ASSERT_EQ(bounces.size(), 1u);
  EXPECT_EQ(bounces[0], ExpectedBounce("root@mail.example.org",
                                       "User a@far.example unknown at destination site.",
                                       "Subject: r\r\n\r\nb\r\n"));
}

// With the network always there, the forced tick of the starting actions forces
// nothing: a parked file keeps its schedule.
TEST_F(ItemTest, ForcedTickWithPermanentNetworkLeavesParkedFilesAlone) {
  RecordingPeer peer;
  ASSERT_TRUE(peer.Start(PeerAddress(18, 4), PeerScript()));
  UseSmartHost(PeerAddress(18, 4));
  std::string out = WriteOut(kSender, {"a@far.example"}, "Subject: f\r\n\r\nb\r\n");
  std::string our = out.substr(0, out.size() - 1) + "r";
  ASSERT_EQ(RenameNoReplace(out, our), 0);
  AddToRetryQueue(our, "far.example", int64_t(time(nullptr)), RoutingExceptions(), RetryClockNow());
  OutgoingQueueStep(true);
  EXPECT_EQ(CountOutgoingItems(), 0);
  SleepMs(200);
  EXPECT_EQ(peer.Connections(), 0);
  EXPECT_TRUE(SpoolExists(our));
}

}  // namespace
