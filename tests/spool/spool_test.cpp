// Spool names, commit, envelope readers, the done-mark and the start-up clean-up.
#include <fcntl.h>
#include <sys/stat.h>

#include <set>
#include <thread>

#include "platform/errors.h"
#include "platform/tick.h"
#include "tests/spool/spool_fixture.h"

namespace {

TEST_F(SpoolTest, TempNamesAreEightHexDigitsAndNeverCollide) {
  std::string a, b;
  UniqueFd fa = CreateSpoolTemp(a, true, in, out);
  UniqueFd fb = CreateSpoolTemp(b, true, in, out);
  ASSERT_TRUE(fa.valid());
  ASSERT_TRUE(fb.valid());
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), in.size() + 12);
  EXPECT_EQ(a.substr(a.size() - 4), ".wrm");
  EXPECT_EQ(a.substr(0, in.size()), in);
  for (char c : a.substr(in.size(), 8)) EXPECT_TRUE(isdigit(c) || (c >= 'a' && c <= 'f')) << a;
  // Made within the same millisecond or not, the second follows the first.
  unsigned long na = std::stoul(a.substr(in.size(), 8), nullptr, 16);
  unsigned long nb = std::stoul(b.substr(in.size(), 8), nullptr, 16);
  EXPECT_GT(nb, na);
}

TEST_F(SpoolTest, ExistingCandidateNamesAreSkippedNotOverwritten) {
  // Occupy the next thousand numbers; the temporary must land after them.
  uint32_t now = GetTickCount32();
  for (uint32_t i = 0; i < 1000; ++i) WriteFile(FormatSpoolName(out, now + i, ".wrm"), "keep");
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, false, in, out);
  ASSERT_TRUE(fd.valid());
  EXPECT_EQ(ReadFile(path), "");
  for (uint32_t i = 0; i < 1000; i += 111)
    EXPECT_EQ(ReadFile(FormatSpoolName(out, now + i, ".wrm")), "keep");
}

TEST_F(SpoolTest, CommitMovesToFreshNameAndKeepsTheOldCandidate) {
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(SpoolWrite(fd.get(), "From: a@b\r\nTo: c@d\r\n\r\nbody", true));
  ASSERT_TRUE(SpoolClose(fd));
  uint32_t now = GetTickCount32();
  for (uint32_t i = 0; i < 1000; ++i) WriteFile(FormatSpoolName(in, now + i, ".in"), "old");
  int err = -1;
  std::string temp = path;
  ASSERT_TRUE(CommitSpoolFile(path, true, in, out, &err, true));
  EXPECT_EQ(err, 0);
  EXPECT_FALSE(SpoolExists(temp));
  EXPECT_EQ(path.substr(path.size() - 3), ".in");
  EXPECT_EQ(ReadFile(path), "From: a@b\r\nTo: c@d\r\n\r\nbody\r\n");
  EXPECT_EQ(ReadFile(FormatSpoolName(in, now, ".in")), "old");
}

// Producers race for the same numbers: every message must land under its own
// name, none overwritten, none lost.
TEST_F(SpoolTest, ConcurrentProducersNeverShareAName) {
  constexpr int kThreads = 4, kEach = 150;
  std::vector<std::vector<std::string>> committed(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string path;
        UniqueFd fd = CreateSpoolTemp(path, true, in, out);
        if (!fd.valid()) continue;
        SpoolWrite(fd.get(), std::to_string(t) + ":" + std::to_string(i), false);
        std::string why;
        if (CloseAndCommitSpoolFile(fd, path, true, in, out, why)) committed[t].push_back(path);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  std::set<std::string> names;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(committed[t].size(), size_t(kEach));
    for (int i = 0; i < kEach; ++i) {
      EXPECT_EQ(ReadFile(committed[t][i]), std::to_string(t) + ":" + std::to_string(i));
      names.insert(committed[t][i]);
    }
  }
  EXPECT_EQ(names.size(), size_t(kThreads * kEach));
  EXPECT_TRUE(ListFiles(in, "*.wrm").empty());
}

TEST_F(SpoolTest, CommitToOutgoingGivesOutName) {
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, false, in, out);
  ASSERT_TRUE(SpoolClose(fd));
  ASSERT_TRUE(CommitSpoolFile(path, false, in, out, nullptr, false));
  EXPECT_EQ(path.substr(0, out.size()), out);
  EXPECT_EQ(path.substr(path.size() - 4), ".out");
}

TEST_F(SpoolTest, CommitFailureOtherThanRaceReturnsAtOnceAndKeepsTemp) {
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(SpoolClose(fd));
  std::string original = path;
  int err = 0;
  // The target directory does not exist: not one of the retried errors.
  EXPECT_FALSE(CommitSpoolFile(path, true, dir + "missing/", out, &err, true));
  EXPECT_NE(err, 0);
  EXPECT_EQ(path, original);
  EXPECT_TRUE(SpoolExists(path));
}

TEST_F(SpoolTest, CommitOfMissingTemporaryFails) {
  std::string path = in + "0000dead.wrm";
  int err = 0;
  EXPECT_FALSE(CommitSpoolFile(path, true, in, out, &err, true));
  EXPECT_EQ(err, kErrFileNotFound);
}

TEST_F(SpoolTest, OpenWithoutSharingExcludesASecondOpener) {
  std::string path = in + "00000001.in";
  WriteFile(path, "From: a\r\nTo: b\r\n\r\n");
  UniqueFd first = SpoolOpenUpdate(path);
  ASSERT_TRUE(first.valid());
  int err = 0;
  UniqueFd second = SpoolOpenRead(path, &err);
  EXPECT_FALSE(second.valid());
  EXPECT_EQ(err, kErrSharingViolation);
}

TEST_F(SpoolTest, OpenWriteWithoutCreateAppends) {
  std::string path = in + "x.txt";
  WriteFile(path, "abc");
  UniqueFd fd = SpoolOpenWrite(path, false, true);
  ASSERT_TRUE(fd.valid());
  ASSERT_TRUE(SpoolWrite(fd.get(), "def", false));
  fd.reset();
  EXPECT_EQ(ReadFile(path), "abcdef");
}

struct RouterCase {
  const char* name;
  std::string data;
  bool ok;
  std::string sender;
  std::vector<std::string> recipients;
  bool moreRemain;
};

TEST_F(SpoolTest, RouterEnvelopeReader) {
  std::string big(100 * 1024, 'x');
  const RouterCase cases[] = {
      {"plain", "From: a@b\r\nTo: c@d\r\nTo: e@f\r\n\r\nbody", true, "a@b", {"c@d", "e@f"}, false},
      {"capital keyword", "FROM:   a@b\r\nTo:  c@d\r\n\r\n", true, "a@b", {"c@d"}, false},
      {"done lines skipped", "From: a\r\nto: x\r\nTo: y\r\n\r\n", true, "a", {"y"}, false},
      {"bare CR ends lines", "From: a\rTo: b\r\rmsg", true, "a", {"b"}, false},
      {"limit", "From: a\r\nTo: 1\r\nTo: 2\r\nTo: 3\r\n\r\n", true, "a", {"1", "2"}, true},
      {"no empty line", "From: a\r\nTo: b\r\n", false, "", {}, false},
      {"empty file", "", false, "", {}, false},
      {"no blank after keyword", "From:a\r\nTo: b\r\n\r\n", false, "", {}, false},
      {"empty sender", "From: \r\nTo: b\r\n\r\n", false, "", {}, false},
      {"not From first", "To: b\r\nFrom: a\r\n\r\n", false, "", {}, false},
      {"NUL in envelope", std::string("From: a\r\nTo: b\0c\r\n\r\n", 20), false, "", {}, false},
      {"NUL in body is fine", std::string("From: a\r\nTo: b\r\n\r\n\0", 19), true, "a", {"b"}, false},
      {"100 KB line", "From: a\r\nTo: " + big + "\r\n\r\n", false, "", {}, false},
  };
  for (const RouterCase& c : cases) {
    RouterEnvelope env;
    std::string why;
    bool ok = ParseRouterEnvelope(c.data, true, 2, env, why);
    EXPECT_EQ(ok, c.ok) << c.name << ": " << why;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(env.sender, c.sender) << c.name;
    ASSERT_EQ(env.recipients.size(), c.recipients.size()) << c.name;
    for (size_t i = 0; i < c.recipients.size(); ++i) {
      EXPECT_EQ(env.recipients[i].address, c.recipients[i]) << c.name;
      EXPECT_EQ(c.data[size_t(env.recipients[i].lineOffset)], 'T') << c.name;
    }
    EXPECT_EQ(env.moreRemain, c.moreRemain) << c.name;
  }
}

TEST_F(SpoolTest, RouterEnvelopeMustEndWithin32K) {
  std::string data = "From: a\r\n";
  while (data.size() < kRouterEnvelopeLimit - 10) data += "to: done@example.com\r\n";
  std::string path = in + "00000002.in";
  WriteFile(path, data + "To: late\r\n\r\nbody");
  UniqueFd fd = SpoolOpenUpdate(path);
  RouterEnvelope env;
  std::string why;
  EXPECT_FALSE(ReadRouterEnvelope(fd.get(), 50, env, why));
  EXPECT_FALSE(why.empty());
}

TEST_F(SpoolTest, RouterReaderFindsMessageOffsetAndMessageId) {
  std::string path = in + "00000003.in";
  WriteFile(path, "From: a\r\nTo: b\r\n\r\nSubject: x\r\nmessage-ID: <1@x>\r\n\r\nbody\r\n");
  UniqueFd fd = SpoolOpenUpdate(path);
  RouterEnvelope env;
  std::string why;
  ASSERT_TRUE(ReadRouterEnvelope(fd.get(), 50, env, why)) << why;
  EXPECT_EQ(env.messageOffset, 18);
  EXPECT_TRUE(env.hasMessageId);

  fd.reset();
  WriteFile(path, "From: a\r\nTo: b\r\n\r\nSubject: x\r\n\r\nMessage-Id: in the body\r\n");
  fd = SpoolOpenUpdate(path);
  ASSERT_TRUE(ReadRouterEnvelope(fd.get(), 50, env, why)) << why;
  EXPECT_FALSE(env.hasMessageId);
}

struct OutgoingCase {
  const char* name;
  std::string data;
  std::string why;  // empty: success
  size_t recipients;
};

TEST_F(SpoolTest, OutgoingEnvelopeReaderTexts) {
  const OutgoingCase cases[] = {
      {"plain", "from: a\r\nTo: b\r\nto: c\r\nTo: d\r\n\r\nmsg", "", 2},
      {"eof", "", "End of file reading From field from envelope", 0},
      {"not from", "To: b\r\n\r\n", "From line not first line in envelope", 0},
      {"empty from", "From: \t \r\nTo: b\r\n\r\n", "From line of envelope has extra data", 0},
      {"lower-case To only done", "From: a\r\nto: b\r\n\r\n", "", 0},
      {"TO is unexpected", "From: a\r\nTO: b\r\n\r\n",
       "Unexpected line in envelope searching for To line", 0},
      {"empty To", "From: a\r\nTo:   \r\n\r\n", "To line of envelope has extra data", 0},
      {"no To at all", "From: a\r\n\r\n", "Unable to find any To lines in envelope", 0},
      {"no empty line", "From: a\r\nTo: b\r\n", "End of file reading envelope", 0},
      {"long line", "From: a\r\nTo: " + std::string(600, 'x') + "\r\n\r\n",
       "Envelope line longer than 510 characters", 0},
      {"510 is fine", "From: a\r\nTo: " + std::string(506, 'x') + "\r\n\r\n", "", 1},
  };
  for (const OutgoingCase& c : cases) {
    OutgoingEnvelope env;
    std::string why;
    int rc = ParseOutgoingEnvelope(c.data, true, env, why);
    if (c.why.empty()) {
      EXPECT_EQ(rc, 1) << c.name << ": " << why;
      EXPECT_EQ(env.recipients.size(), c.recipients) << c.name;
      EXPECT_TRUE(env.finalPass) << c.name;
    } else {
      EXPECT_EQ(rc, -1) << c.name;
      EXPECT_EQ(why, c.why) << c.name;
    }
  }
}

TEST_F(SpoolTest, OutgoingReaderTakesFiftyPerPass) {
  std::string data = "From: a\r\n";
  for (int i = 0; i < 60; ++i) data += "To: r" + std::to_string(i) + "@x.org\r\n";
  data += "\r\nbody";
  std::string path = out + "00000004.out";
  WriteFile(path, data);
  UniqueFd fd = SpoolOpenUpdate(path);
  OutgoingEnvelope env;
  std::string why;
  ASSERT_TRUE(ReadOutgoingEnvelope(fd.get(), env, why)) << why;
  ASSERT_EQ(env.recipients.size(), 50u);
  EXPECT_FALSE(env.finalPass);
  for (const EnvelopeRecipient& r : env.recipients) ASSERT_TRUE(MarkRecipientDone(fd.get(), r.lineOffset, why));
  ASSERT_TRUE(ReadOutgoingEnvelope(fd.get(), env, why)) << why;
  ASSERT_EQ(env.recipients.size(), 10u);
  EXPECT_EQ(env.recipients[0].address, "r50@x.org");
  EXPECT_TRUE(env.finalPass);
  EXPECT_EQ(ReadFile(path).substr(size_t(env.messageOffset)), "body");
}

TEST_F(SpoolTest, OutgoingParserAsksForMoreWhenCutShort) {
  OutgoingEnvelope env;
  std::string why;
  EXPECT_EQ(ParseOutgoingEnvelope("From: a\r\nTo: b\r", false, env, why), 0);
  EXPECT_EQ(ParseOutgoingEnvelope("From: a\r\nTo: b\r\n\r\n", false, env, why), 1);
}

TEST_F(SpoolTest, DoneMarkChangesExactlyOneByte) {
  std::string path = in + "00000005.in";
  const std::string before = "From: a@b\r\nTo: first@x\r\nTo: second@y\r\n\r\nTo: body line\r\n";
  WriteFile(path, before);
  UniqueFd fd = SpoolOpenUpdate(path);
  RouterEnvelope env;
  std::string why;
  ASSERT_TRUE(ReadRouterEnvelope(fd.get(), 50, env, why));
  ASSERT_EQ(env.recipients.size(), 2u);
  ASSERT_TRUE(MarkRecipientDone(fd.get(), env.recipients[0].lineOffset, why)) << why;
  std::string after = ReadFile(path);
  ASSERT_EQ(after.size(), before.size());
  int differences = 0;
  for (size_t i = 0; i < before.size(); ++i) differences += before[i] != after[i];
  EXPECT_EQ(differences, 1);
  EXPECT_EQ(after.substr(11, 3), "to:");
  // Marking again, or marking a byte that is not a pending "T", writes nothing.
  EXPECT_FALSE(MarkRecipientDone(fd.get(), env.recipients[0].lineOffset, why));
  EXPECT_FALSE(MarkRecipientDone(fd.get(), 1, why));
  EXPECT_EQ(ReadFile(path), after);
  ASSERT_TRUE(ReadRouterEnvelope(fd.get(), 50, env, why));
  ASSERT_EQ(env.recipients.size(), 1u);
  EXPECT_EQ(env.recipients[0].address, "second@y");
}

TEST(Envelope, FormatRefusesAddressesThatWouldAddLines) {
  std::string text, why;
  ASSERT_TRUE(FormatEnvelope("a@b.org", {"c@d.org", "e"}, text, why));
  EXPECT_EQ(text, "From: a@b.org\r\nTo: c@d.org\r\nTo: e\r\n\r\n");
  EXPECT_FALSE(FormatEnvelope("a@b.org\r\nTo: extra@x", {"c"}, text, why));
  EXPECT_FALSE(FormatEnvelope("a", {"c\nTo: extra"}, text, why));
  EXPECT_FALSE(FormatEnvelope("a", {std::string("c\0d", 3)}, text, why));
  EXPECT_FALSE(FormatEnvelope("", {"c"}, text, why));
  EXPECT_FALSE(FormatEnvelope("a", {}, text, why));
}

// The writers' bound and the router's reader must agree to the byte: an envelope
// the writers let through is read, one byte more is never written.
TEST(Envelope, WritersKeepWithinWhatTheRouterReads) {
  const std::string sender = "sender@remote.test";
  const std::string to = "bench1@mail.test";
  size_t line = EnvelopeRecipientBytes(to);
  size_t base = EnvelopeBaseBytes(sender);
  size_t count = (kRouterEnvelopeLimit - base) / line;
  std::vector<std::string> rcpts(count, to);
  // Pad the last recipient so the envelope ends exactly at the limit.
  rcpts.back() += std::string(kRouterEnvelopeLimit - base - count * line, 'x');
  std::string text, why;
  ASSERT_TRUE(FormatEnvelope(sender, rcpts, text, why)) << why;
  ASSERT_EQ(text.size(), kRouterEnvelopeLimit);
  RouterEnvelope env;
  ASSERT_TRUE(ParseRouterEnvelope(text + "Subject: x\r\n\r\nbody\r\n", false, 5000, env, why))
      << why;
  EXPECT_EQ(env.recipients.size(), count);
  EXPECT_EQ(env.messageOffset, (long long)kRouterEnvelopeLimit);
  rcpts.back() += "y";
  EXPECT_FALSE(FormatEnvelope(sender, rcpts, text, why));
  EXPECT_EQ(why, "Envelope longer than the router reads.");
  EXPECT_FALSE(ParseRouterEnvelope(std::string(kRouterEnvelopeLimit + 1, 'T'), false, 50, env, why));

  // Splitting: runs in order, each within the bound, none empty.
  struct Case {
    size_t recipients;
    size_t addressChars;
    std::vector<size_t> runs;
  };
  const Case cases[] = {
      {1, 10, {1}},
      {1000, 20, {1000}},                   // 1000 x 26 bytes fit
      {5000, 20, {1259, 1259, 1259, 1223}},  // (32768 - 22) / 26 = 1259 a file
      {3, 16000, {2, 1}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> list(c.recipients, std::string(c.addressChars, 'r'));
    std::vector<size_t> runs;
    ASSERT_TRUE(SplitEnvelope("a@b.test.org", list, runs, why)) << why;
    EXPECT_EQ(runs, c.runs) << c.recipients << " x " << c.addressChars;
    size_t first = 0;
    for (size_t run : runs) {
      std::vector<std::string> group(list.begin() + long(first), list.begin() + long(first + run));
      EXPECT_TRUE(FormatEnvelope("a@b.test.org", group, text, why)) << why;
      first += run;
    }
  }
  std::vector<size_t> runs;
  EXPECT_FALSE(SplitEnvelope("a@b.test.org", {std::string(kRouterEnvelopeLimit, 'r')}, runs, why));
}

// The mark of mail we submitted: written after the From line, read by both the
// router's and the outgoing queue's parsers, counted in the bound; a file
// without it (every file written before the mark existed) reads as outside
// mail, and the mark inside the message (after the envelope) counts for nothing.
TEST(Envelope, OriginMarkIsWrittenReadAndCounted) {
  std::string text, why;
  ASSERT_TRUE(FormatEnvelope("a@b.org", {"c@d.org"}, text, why, true));
  EXPECT_EQ(text, "From: a@b.org\r\nOrigin: local\r\nTo: c@d.org\r\n\r\n");
  EXPECT_EQ(EnvelopeBaseBytes("a@b.org", true) + EnvelopeRecipientBytes("c@d.org"), text.size());
  RouterEnvelope router;
  OutgoingEnvelope outgoing;
  ASSERT_TRUE(ParseRouterEnvelope(text + "Subject: x\r\n\r\n", true, 50, router, why)) << why;
  EXPECT_TRUE(router.submittedHere);
  ASSERT_EQ(router.recipients.size(), 1u);
  EXPECT_EQ(router.recipients[0].address, "c@d.org");
  ASSERT_EQ(ParseOutgoingEnvelope(text + "Subject: x\r\n\r\n", true, outgoing, why), 1) << why;
  EXPECT_TRUE(outgoing.submittedHere);
  ASSERT_EQ(outgoing.recipients.size(), 1u);
  EXPECT_EQ(outgoing.messageOffset, (long long)text.size());

  const std::string plain = "From: a@b.org\r\nTo: c@d.org\r\n\r\nOrigin: local\r\n\r\nbody\r\n";
  ASSERT_TRUE(ParseRouterEnvelope(plain, true, 50, router, why)) << why;
  EXPECT_FALSE(router.submittedHere);
  ASSERT_EQ(ParseOutgoingEnvelope(plain, true, outgoing, why), 1) << why;
  EXPECT_FALSE(outgoing.submittedHere);
  // Only the exact line is the mark; anything else stays a broken envelope for
  // the outgoing queue, as before.
  ASSERT_EQ(ParseOutgoingEnvelope("From: a\r\nOrigin: locals\r\nTo: c\r\n\r\n", true, outgoing,
                                  why),
            -1);

  // The mark's bytes count: an envelope that fits without it may not with it.
  const std::string to = "r@mail.test";
  size_t count = (kRouterEnvelopeLimit - EnvelopeBaseBytes("a@b.org")) / EnvelopeRecipientBytes(to);
  std::vector<std::string> rcpts(count, to);
  rcpts.back() += std::string(kRouterEnvelopeLimit - EnvelopeBaseBytes("a@b.org") -
                                  count * EnvelopeRecipientBytes(to),
                              'x');
  EXPECT_TRUE(FormatEnvelope("a@b.org", rcpts, text, why));
  EXPECT_FALSE(FormatEnvelope("a@b.org", rcpts, text, why, true));
  std::vector<size_t> runs;
  ASSERT_TRUE(SplitEnvelope("a@b.org", rcpts, runs, why, true)) << why;
  EXPECT_EQ(runs.size(), 2u);
  for (size_t i = 0, first = 0; i < runs.size(); first += runs[i++]) {
    std::vector<std::string> group(rcpts.begin() + long(first), rcpts.begin() + long(first + runs[i]));
    EXPECT_TRUE(FormatEnvelope("a@b.org", group, text, why, true)) << why;
  }
}

TEST_F(SpoolTest, MessageOffsetAfterTheEnvelope) {
  struct {
    std::string content;
    long long offset;
  } cases[] = {
      {"From: a\r\nTo: b\r\n\r\nmsg", 18},
      {"From: a\rTo: b\r\rmsg", 15},
      {"From: a\r\nTo: b\r\nno end", 0},
      // The router's window: an envelope it reads is never enclosed as message.
      {std::string(kHeaderScanLimit - 1, 'x') + "\r\n\r\nlate", (long long)kHeaderScanLimit + 3},
      {std::string(kRouterEnvelopeLimit - 1, 'x') + "\r\n\r\nlate", 0},
  };
  for (const auto& c : cases) {
    std::string path = in + "offset.in";
    WriteFile(path, c.content);
    UniqueFd fd = SpoolOpenRead(path);
    long long offset = -1;
    std::string why;
    ASSERT_TRUE(FindMessageOffset(fd.get(), offset, why)) << why;
    EXPECT_EQ(offset, c.offset) << c.content.substr(0, 30);
  }
}

TEST_F(SpoolTest, DotLinesAreStoredWithoutStuffing) {
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(SpoolWrite(fd.get(), "From: a\r\nTo: b\r\n\r\nline\r\n.\r\n..x", true));
  ASSERT_TRUE(SpoolClose(fd));
  ASSERT_TRUE(CommitSpoolFile(path, true, in, out, nullptr, true));
  EXPECT_EQ(ReadFile(path), "From: a\r\nTo: b\r\n\r\nline\r\n.\r\n..x\r\n");
}

TEST_F(SpoolTest, StartupCleanupDeletesTempsAndRequeuesOutgoing) {
  WriteFile(in + "00000010.wrm", "half");
  WriteFile(out + "00000011.WRM", "half");
  WriteFile(in + "00000012.in", "From: a\r\nTo: b\r\n\r\nkeep");
  const std::string outContent = "From: a\r\nTo: far@remote.org\r\n\r\n" + std::string(20000, 'o');
  WriteFile(out + "00000013.out", outContent);
  WriteFile(out + "00000014.our", "From: a\r\nto: done\r\nTo: r@x.org\r\n\r\nretry");

  EXPECT_EQ(CleanSpoolDirectories(in, out), 2);
  EXPECT_FALSE(SpoolExists(in + "00000010.wrm"));
  EXPECT_FALSE(SpoolExists(out + "00000011.WRM"));
  // The requeued files are gone (what is left are empty spares).
  EXPECT_TRUE(QueueFiles(out).empty());
  for (const std::string& name : ListFiles(out, "*.fre")) EXPECT_EQ(ReadFile(out + name), "") << name;
  std::vector<std::string> incoming = ListFiles(in, "*.in");
  ASSERT_EQ(incoming.size(), 3u);
  int found = 0;
  for (const std::string& name : incoming) {
    std::string content = ReadFile(in + name);
    found += content == outContent;
    found += content == "From: a\r\nto: done\r\nTo: r@x.org\r\n\r\nretry";
  }
  EXPECT_EQ(found, 2);
  EXPECT_TRUE(LogHas("Deleted temp file '" + in + "00000010.wrm'"));
  EXPECT_TRUE(LogHas("Detected and deleted 2 temp files."));
  EXPECT_TRUE(LogHas("Requeued file '" + out + "00000013.out'"));
  EXPECT_TRUE(LogHas("Requeued file '" + out + "00000014.our'"));
  EXPECT_TRUE(LogHas("ReQueued 2 outgoing files."));
}

TEST_F(SpoolTest, RetiredFilesAreEmptiedAndReusedUpToTheCap) {
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(SpoolWrite(fd.get(), "From: a\r\nTo: b\r\n\r\nprivate text", true));
  ASSERT_TRUE(SpoolClose(fd));
  ASSERT_TRUE(CommitSpoolFile(path, true, in, out, nullptr, true));
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  ASSERT_TRUE(RetireSpoolFile(path));
  EXPECT_FALSE(SpoolExists(path));
  std::vector<std::string> spares = ListFiles(in, "*.fre");
  ASSERT_EQ(spares.size(), 1u);
  EXPECT_EQ(ReadFile(in + spares[0]), "");

  // The next temporary is that file, empty, under a fresh .wrm name.
  std::string reused;
  UniqueFd again = CreateSpoolTemp(reused, true, in, out);
  ASSERT_TRUE(again.valid());
  struct stat after {};
  ASSERT_EQ(::fstat(again.get(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_size, 0);
  EXPECT_EQ(reused.substr(reused.size() - 4), ".wrm");
  EXPECT_TRUE(ListFiles(in, "*.fre").empty());
  EXPECT_EQ(SpareFileCount(in), 0u);

  // Beyond the cap, retiring deletes.
  for (size_t i = 0; i < kMaxSpareFiles + 3; ++i) {
    std::string name = FormatSpoolName(out, uint32_t(0x100 + i), ".in");
    WriteFile(name, "x");
    ASSERT_TRUE(RetireSpoolFile(name));
  }
  EXPECT_EQ(ListFiles(out, "*.fre").size(), kMaxSpareFiles);
  EXPECT_TRUE(ListFiles(out, "*.in").empty());
}

TEST_F(SpoolTest, NumbersGoOnAboveTheLeaseOfAnEarlierProcess) {
  // An earlier process of this boot ran ahead of the tick counter and died.
  uint32_t ahead = GetTickCount32() + 0x100000;
  char text[16];
  snprintf(text, sizeof text, "%08lx\n", (unsigned long)ahead);
  WriteFile(in + kSpoolLeaseFile, text);
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(fd.valid());
  uint32_t number = uint32_t(std::stoul(path.substr(in.size(), 8), nullptr, 16));
  EXPECT_GE(int32_t(number - ahead), 0) << path;
  // The lease now reaches beyond the number given, for the next process.
  uint32_t leased = uint32_t(std::stoul(ReadFile(in + kSpoolLeaseFile), nullptr, 16));
  EXPECT_GT(int32_t(leased - number), 0);
}

TEST_F(SpoolTest, StartupTakesOverSparesOfAnEarlierRunEmptied) {
  // A run that died between renaming a finished file and emptying it.
  WriteFile(in + "00000030.fre", "From: a\r\nTo: b\r\n\r\nold message");
  CleanSpoolDirectories(in, out);
  EXPECT_EQ(ReadFile(in + "00000030.fre"), "");
  EXPECT_EQ(SpareFileCount(in), 1u);
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(fd.valid());
  EXPECT_FALSE(SpoolExists(in + "00000030.fre"));
  EXPECT_EQ(ReadFile(path), "");
}

TEST_F(SpoolTest, RequeueFailureKeepsTheOutgoingFile) {
  WriteFile(out + "00000020.out", "From: a\r\nTo: b@c.org\r\n\r\nmsg");
  // The incoming directory is gone: the copy cannot be made.
  EXPECT_EQ(CleanSpoolDirectories(dir + "nowhere/", out), 0);
  EXPECT_EQ(ReadFile(out + "00000020.out"), "From: a\r\nTo: b@c.org\r\n\r\nmsg");
  EXPECT_TRUE(LogHas("Unable to requeue file '" + out + "00000020.out'"));
  EXPECT_TRUE(LogHas("ReQueued 1 outgoing files."));
}

}  // namespace
