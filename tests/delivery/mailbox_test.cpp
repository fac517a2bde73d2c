// Mailbox files: the lock, appends, the split rule, the .mid file and rewrites.
#include "server/accounts/mailbox.h"

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

using MailboxTest = DeliveryTest;

std::string Separator(const std::string& sender) {
  return "From " + sender + " " + FormatLocalDate(DateStyle::kCtime, MailNow()) + "\r\n";
}

// Appends `body` as a whole message the way the router does.
AppendOpen AppendText(const std::string& path, const std::string& sender, const std::string& body) {
  MailboxAppend a;
  AppendOpen r = OpenMailboxFileForAppend(path, sender, a);
  if (r != AppendOpen::kOpened) return r;
  std::string why;
  if (!WriteAll(a.fd.get(), body.data(), body.size())) return AppendOpen::kBusy;
  if (!FinishMailboxAppend(a, why)) return AppendOpen::kSeparatorFailed;
  return r;
}

MailboxIndex IndexText(const std::string& text, size_t step) {
  MailboxIndex index;
  MailboxSplitter s;
  BeginMailboxSplit(s, index);
  for (size_t i = 0; i < text.size(); i += step)
    FeedMailboxSplit(s, std::string_view(text).substr(i, step));
  FinishMailboxSplit(s);
  return index;
}

TEST_F(MailboxTest, LockNameFoldsCaseAndIsCut) {
  EXPECT_EQ(MailboxLockName("Alice"), "Corvel-MailboxAccess-alice");
  EXPECT_EQ(MailboxLockName(std::string(150, 'B')),
            "Corvel-MailboxAccess-" + std::string(100, 'b'));
}

TEST_F(MailboxTest, LockExcludesOtherSpellingsUntilReleased) {
  MailboxLock first, second;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("Alice", 0, first, timedOut));
  EXPECT_FALSE(LockMailbox("alice", 0, second, timedOut));
  EXPECT_TRUE(timedOut);
  // Another account is not affected.
  MailboxLock other;
  EXPECT_TRUE(LockMailbox("bob", 0, other, timedOut));
  UnlockMailbox(first);
  UnlockMailbox(first);  // a second release is ignored
  EXPECT_TRUE(LockMailbox("ALICE", 0, second, timedOut));
}

TEST_F(MailboxTest, LockWaitsForHolderInAnotherThread) {
  MailboxLock held;
  bool timedOut = false;
  ASSERT_TRUE(LockMailbox("carol", 0, held, timedOut));
  std::thread releaser([&] {
    SleepMs(100);
    UnlockMailbox(held);
  });
  MailboxLock waited;
  EXPECT_TRUE(LockMailbox("carol", 5000, waited, timedOut));
  releaser.join();
}

TEST_F(MailboxTest, FirstMessageStartsAtZeroLaterOnesAfterEmptyLine) {
  std::string path = UserPath("alice");
  ASSERT_EQ(AppendText(path, "bob@example.com", "Subject: one\r\n\r\nbody\r\n"), AppendOpen::kOpened);
  ASSERT_EQ(AppendText(path, "carol@example.com", "Subject: two\r\n\r\nmore\r\n"), AppendOpen::kOpened);
  std::string expected = Separator("bob@example.com") + "Subject: one\r\n\r\nbody\r\n\r\n" + "\r\n" +
                         Separator("carol@example.com") + "Subject: two\r\n\r\nmore\r\n\r\n";
  EXPECT_EQ(Read(path), expected);
  MailboxIndex index = IndexText(expected, 4096);
  ASSERT_EQ(index.messages.size(), 2u);
  EXPECT_EQ(index.messages[0].offset, 0);
  EXPECT_EQ(Read(path).substr(size_t(index.messages[1].offset), 5), "From ");
}

TEST_F(MailboxTest, EmptyExistingFileGetsNoLeadingEmptyLine) {
  std::string path = UserPath("empty");
  Write(path, "");
  ASSERT_EQ(AppendText(path, "a@b", "x\r\n"), AppendOpen::kOpened);
  EXPECT_EQ(Read(path), Separator("a@b") + "x\r\n\r\n");
}

TEST_F(MailboxTest, NullMailboxDiscardsAndUnknownAccountFails) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("nul", "Nobody", "NULL", "", "", "", why)) << why;
  MailboxAppend a;
  EXPECT_EQ(OpenMailboxForAppend("nul", "", false, "s@x", a), AppendOpen::kDiscard);
  EXPECT_FALSE(a.fd.valid());
  EXPECT_EQ(OpenMailboxForAppend("ghost", "", false, "s@x", a), AppendOpen::kUnknown);
  // With unknown users allowed, the account "unknown" takes the message.
  ASSERT_TRUE(WriteUserRecord("unknown", "Unknown", UserPath("unknown"), "", "", "", why));
  ASSERT_EQ(OpenMailboxForAppend("ghost", "", true, "s@x", a), AppendOpen::kOpened);
  EXPECT_EQ(a.path, UserPath("unknown"));
  EXPECT_TRUE(FinishMailboxAppend(a, why)) << why;
}

TEST_F(MailboxTest, MailboxHeldByReaderIsBusyAfterRetrying) {
  std::string path = UserPath("busy");
  Write(path, Separator("x@y") + "old\r\n\r\n");
  UniqueFd reader = OpenMailboxForReading(path);
  ASSERT_TRUE(reader.valid());
  uint32_t start = GetTickCount32();
  MailboxAppend a;
  int err = 0;
  EXPECT_EQ(OpenMailboxFileForAppend(path, "s@x", a, &err), AppendOpen::kBusy);
  EXPECT_GE(TickElapsed(GetTickCount32(), start), kMailbox.appendOpenRetryMs);
  EXPECT_EQ(err, 32);
  reader.reset();
  EXPECT_EQ(AppendText(path, "s@x", "new\r\n"), AppendOpen::kOpened);
}

TEST_F(MailboxTest, ReaderReleasedWithinRetryWindowLetsAppendThrough) {
  std::string path = UserPath("brief");
  Write(path, Separator("x@y") + "old\r\n\r\n");
  UniqueFd reader = OpenMailboxForReading(path);
  std::thread releaser([&] {
    SleepMs(100);
    reader.reset();
  });
  EXPECT_EQ(AppendText(path, "s@x", "new\r\n"), AppendOpen::kOpened);
  releaser.join();
  EXPECT_EQ(IndexText(Read(path), 100).messages.size(), 2u);
}

TEST_F(MailboxTest, AbandonedAppendLeavesMailboxAsItWas) {
  std::string path = UserPath("cut");
  std::string before = Separator("x@y") + "old\r\n\r\n";
  Write(path, before);
  MailboxAppend a;
  ASSERT_EQ(OpenMailboxFileForAppend(path, "s@x", a), AppendOpen::kOpened);
  ASSERT_TRUE(WriteAll(a.fd.get(), "half a mess", 11));
  AbandonMailboxAppend(a);
  EXPECT_EQ(Read(path), before);
  // A file the append created is removed again.
  std::string fresh = UserPath("fresh");
  ASSERT_EQ(OpenMailboxFileForAppend(fresh, "s@x", a), AppendOpen::kOpened);
  AbandonMailboxAppend(a);
  EXPECT_FALSE(FileExists(fresh));
}

// A full disk: writes beyond the file size limit fail (EFBIG) as they would with
// ENOSPC; the append must not leave a partial message behind.
TEST_F(MailboxTest, FullDiskDuringAppendLeavesNoPartialMessage) {
  std::string path = UserPath("full");
  std::string before = Separator("x@y") + "old\r\n\r\n";
  Write(path, before);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = before.size() + 200;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  MailboxAppend a;
  AppendOpen r = OpenMailboxFileForAppend(path, "s@x", a);
  std::string big(4096, 'x');
  bool wrote = r == AppendOpen::kOpened && WriteAll(a.fd.get(), big.data(), big.size());
  if (r == AppendOpen::kOpened) AbandonMailboxAppend(a);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(r, AppendOpen::kOpened);
  EXPECT_FALSE(wrote);
  EXPECT_EQ(Read(path), before);
}

TEST_F(MailboxTest, SplitRuleTable) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<long long> offsets;
  };
  std::string one = "From a x\r\nH: 1\r\n\r\nbody\r\n\r\n";
  const Case cases[] = {
      {"single", one, {0}},
      {"from after text is body", "From a x\r\nH: 1\r\n\r\nline\r\nFrom me too\r\n\r\n", {0}},
      {"from after empty line splits", "From a x\r\n\r\nbody\r\n\r\nFrom b y\r\n\r\nz\r\n", {0, 20}},
      {"quoted from is body", "From a x\r\n\r\n>From b\r\n", {0}},
      {"lower case is body", "From a x\r\n\r\nfrom b\r\n", {0}},
      {"leading junk ignored", "junk\r\n\r\nFrom a x\r\n\r\n", {8}},
      {"bare LF lines", "From a x\n\nbody\n\nFrom b y\n", {0, 16}},
      {"empty file", "", {}},
      {"no separator", "hello\r\n", {}},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t(1), size_t(3), size_t(4096)}) {
      MailboxIndex index = IndexText(c.text, step);
      std::vector<long long> got;
      long long total = 0;
      for (const MailboxMessage& m : index.messages) {
        got.push_back(m.offset);
        total += m.length;
      }
      EXPECT_EQ(got, c.offsets) << c.name << " step " << step;
      if (!c.offsets.empty()) {
        EXPECT_EQ(c.offsets.front() + total, (long long)c.text.size()) << c.name;
      }
    }
  }
}

TEST_F(MailboxTest, MessageIdTakenFromHeaderOnly) {
  std::string text =
      "From a x\r\nSubject: s\r\nMESSAGE-ID:   <1@x>  \r\nMessage-id: <second@x>\r\n\r\n"
      "Message-id: <body@x>\r\n\r\n"
      "From b y\r\nSubject: none\r\n\r\nMessage-id: <body2@x>\r\n";
  for (size_t step : {size_t(1), size_t(7), size_t(65536)}) {
    MailboxIndex index = IndexText(text, step);
    ASSERT_EQ(index.messages.size(), 2u);
    EXPECT_EQ(index.messages[0].messageId, "<1@x>");
    EXPECT_EQ(index.messages[1].messageId, "");
  }
}

TEST_F(MailboxTest, VeryLongLinesAndTableGrowth) {
  std::string text;
  for (int i = 0; i < 120; ++i)
    text += "From s" + std::to_string(i) + " x\r\nMessage-id: <" + std::to_string(i) + ">\r\n\r\n" +
            std::string(2000, 'y') + "\r\n\r\n";
  MailboxIndex index = IndexText(text, 1000);
  ASSERT_EQ(index.messages.size(), 120u);
  EXPECT_EQ(index.messages[119].messageId, "<119>");
  EXPECT_EQ(index.messages.capacity() % kMailbox.messageTableStep, 0u);
}

TEST_F(MailboxTest, IndexMailboxReadsTheFile) {
  std::string path = UserPath("idx");
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(AppendText(path, "s@x", "Message-id: <m" + std::to_string(i) + ">\r\n\r\nbody\r\nFrom the body\r\n"),
              AppendOpen::kOpened);
  UniqueFd fd = OpenMailboxForReading(path);
  ASSERT_TRUE(fd.valid());
  MailboxIndex index;
  std::string why;
  ASSERT_TRUE(IndexMailbox(fd.get(), index, why)) << why;
  ASSERT_EQ(index.messages.size(), 3u);
  EXPECT_EQ(index.messages[2].messageId, "<m2>");
  EXPECT_EQ(index.size, FileSize(path));
  std::string bytes;
  ASSERT_TRUE(ReadMailboxBytes(fd.get(), index.messages[1].offset, 5, bytes));
  EXPECT_EQ(bytes, "From ");
  int err = 0;
  EXPECT_FALSE(OpenMailboxForReading(UserPath("missing"), &err).valid());
  EXPECT_EQ(err, 2);
}

TEST_F(MailboxTest, MidPathRules) {
  EXPECT_EQ(MidFilePath("/u/alice.mbx"), "/u/alice.mid");
  EXPECT_EQ(MidFilePath("/u/alice"), "/u/alice.mid");
  EXPECT_EQ(MidFilePath("/u.d/alice"), "/u.d/alice.mid");
  EXPECT_EQ(MidFilePath("c:\\mail.d\\bob"), "c:\\mail.d\\bob.mid");
  EXPECT_EQ(MailboxSiblingPath("/u/alice.mbx"), "/u/alice.mbz");
}

TEST_F(MailboxTest, MidValuesOutOfRangeAreIgnored) {
  std::string mid = dir_ + "users/a.mid";
  EXPECT_EQ(ReadMidFile(mid, 5), -1);  // missing
  ASSERT_TRUE(WriteMidFile(mid, 3, 5));
  EXPECT_EQ(Read(mid), std::string("\x03\0\0\0", 4));
  EXPECT_EQ(ReadMidFile(mid, 5), 3);
  Write(mid, std::string("\x07\0\0\0", 4));
  EXPECT_EQ(ReadMidFile(mid, 5), -1);
  Write(mid, std::string("\x01\0", 2));
  EXPECT_EQ(ReadMidFile(mid, 5), -1);  // short
  ASSERT_TRUE(WriteMidFile(mid, 9, 4));  // lowered to count - 1
  EXPECT_EQ(ReadMidFile(mid, 4), 3);
  ASSERT_TRUE(WriteMidFile(mid, -1, 4));
  EXPECT_EQ(Read(mid), std::string("\xff\xff\xff\xff", 4));
  // A .mid that cannot be written is deleted.
  EXPECT_FALSE(WriteMidFile(dir_ + "no-such-dir/a.mid", 1, 4));
}

class RewriteTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    path_ = UserPath("pop");
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(AppendText(path_, "s@x", "Message-id: <" + std::to_string(i) + ">\r\n\r\nbody " +
                                             std::to_string(i) + "\r\n"),
                AppendOpen::kOpened);
    fd_ = OpenMailboxForReading(path_);
    ASSERT_TRUE(fd_.valid());
    std::string why;
    ASSERT_TRUE(IndexMailbox(fd_.get(), index_, why));
    ASSERT_EQ(index_.messages.size(), 3u);
  }
  MailboxIndex Reindex() {
    UniqueFd fd = OpenMailboxForReading(path_);
    MailboxIndex index;
    std::string why;
    if (fd.valid()) IndexMailbox(fd.get(), index, why);
    return index;
  }
  std::string path_;
  UniqueFd fd_;
  MailboxIndex index_;
};

TEST_F(RewriteTest, DeletedMessageIsDroppedAndStatusEditApplied) {
  index_.messages[1].deleted = true;
  std::string why;
  auto edit = [](size_t i, std::string& block) {
    size_t eol = block.find("\r\n");
    block.insert(eol + 2, i == 0 ? "Status: RO\r\n" : "Status: UO\r\n");
  };
  EXPECT_EQ(RewriteMailbox(path_, fd_, index_, true, 5, edit, why), RewriteOutcome::kRewritten) << why;
  EXPECT_FALSE(fd_.valid());
  EXPECT_FALSE(FileExists(MailboxSiblingPath(path_)));
  MailboxIndex after = Reindex();
  ASSERT_EQ(after.messages.size(), 2u);
  EXPECT_EQ(after.messages[0].messageId, "<0>");
  EXPECT_EQ(after.messages[1].messageId, "<2>");
  std::string text = Read(path_);
  EXPECT_NE(text.find("Status: RO\r\nMessage-id: <0>"), std::string::npos);
  EXPECT_NE(text.find("Status: UO\r\nMessage-id: <2>"), std::string::npos);
  EXPECT_EQ(text.find("body 1"), std::string::npos);
  EXPECT_EQ(ReadMidFile(MidFilePath(path_), 2), 1);  // 5 lowered to live count - 1
}

TEST_F(RewriteTest, NothingChangedWritesOnlyMid) {
  std::string before = Read(path_);
  std::string why;
  EXPECT_EQ(RewriteMailbox(path_, fd_, index_, false, 1, nullptr, why), RewriteOutcome::kMidOnly);
  EXPECT_EQ(Read(path_), before);
  EXPECT_EQ(ReadMidFile(MidFilePath(path_), 3), 1);
}

TEST_F(RewriteTest, EverythingDeletedRemovesMailboxAndMid) {
  WriteMidFile(MidFilePath(path_), 1, 3);
  for (MailboxMessage& m : index_.messages) m.deleted = true;
  std::string why;
  EXPECT_EQ(RewriteMailbox(path_, fd_, index_, true, 2, nullptr, why), RewriteOutcome::kRemoved);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_FALSE(FileExists(MidFilePath(path_)));
  // The next delivery creates it again, starting at offset 0.
  EXPECT_EQ(AppendText(path_, "s@x", "again\r\n"), AppendOpen::kOpened);
  EXPECT_EQ(Read(path_).substr(0, 5), "From ");
}

TEST_F(RewriteTest, LeftoverSiblingFromCrashIsOverwritten) {
  Write(MailboxSiblingPath(path_), "garbage from a crashed rewrite\r\n");
  index_.messages[0].deleted = true;
  std::string why;
  EXPECT_EQ(RewriteMailbox(path_, fd_, index_, true, -1, nullptr, why), RewriteOutcome::kRewritten);
  EXPECT_EQ(Read(path_).find("garbage"), std::string::npos);
  EXPECT_EQ(Reindex().messages.size(), 2u);
}

TEST_F(RewriteTest, SiblingThatCannotBeCreatedLeavesMailbox) {
  std::string before = Read(path_);
  ASSERT_TRUE(MakeDirectories(MailboxSiblingPath(path_)));  // a directory in the way
  index_.messages[0].deleted = true;
  std::string why;
  EXPECT_EQ(RewriteMailbox(path_, fd_, index_, true, -1, nullptr, why), RewriteOutcome::kFailed);
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(Read(path_), before);
}

// A POP3 session rewriting under the lock while the router appends under the
// lock: no append may land in a file that the rewrite then replaces.
TEST_F(RewriteTest, AppendsAndRewritesUnderTheLockLoseNothing) {
  fd_.reset();
  constexpr int kAppends = 60;
  std::atomic<bool> done{false};
  std::atomic<int> kept{3};
  std::thread pop([&] {
    while (!done) {
      MailboxLock lock;
      bool timedOut;
      if (!LockMailbox("pop", 10000, lock, timedOut)) continue;
      UniqueFd fd = OpenMailboxForReading(path_);
      MailboxIndex index;
      std::string why;
      if (fd.valid() && IndexMailbox(fd.get(), index, why) && !index.messages.empty()) {
        index.messages[0].deleted = true;  // take one message each time
        if (RewriteMailbox(path_, fd, index, true, -1, nullptr, why) != RewriteOutcome::kFailed)
          kept.fetch_sub(1);
      }
      UnlockMailbox(lock);
      SleepMs(1);
    }
  });
  int delivered = 0;
  while (delivered < kAppends) {
    MailboxLock lock;
    bool timedOut;
    if (!LockMailbox("POP", 0, lock, timedOut)) {
      SleepMs(1);
      continue;
    }
    if (AppendText(path_, "s@x", "n\r\n") == AppendOpen::kOpened) {
      ++delivered;
      kept.fetch_add(1);
    }
  }
  done = true;
  pop.join();
  EXPECT_EQ((int)Reindex().messages.size(), kept.load());
}

}  // namespace
