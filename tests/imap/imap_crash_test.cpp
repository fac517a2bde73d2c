// SIGKILL of the real corvel95 while IMAP's EXPUNGE rewrites a 5,000-message
// folder with half of it flagged \Deleted: after the restart every kept message is
// in the file exactly once and keeps its UID, under the same UIDVALIDITY, and the
// next EXPUNGE finishes what the killed one began.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/imap/imap_fixture.h"

namespace {

constexpr int kMessages = 5000;

std::string Subject(int i) {
  char buf[32];
  snprintf(buf, sizeof buf, "m%05d", i);
  return buf;
}

std::string BigMailbox() {
  std::vector<std::string> messages;
  std::string body;
  for (int l = 0; l < 8; ++l) body += std::string(60, char('a' + l)) + "\r\n";
  for (int i = 0; i < kMessages; ++i)
    messages.push_back(ImapTest::Message("Subject: " + Subject(i) + "\r\n", body));
  return ImapTest::Mailbox(messages);
}

// Subject -> UID over the whole selected folder; the UIDVALIDITY in `validity`.
std::map<std::string, uint32_t> UidsBySubject(ImapClient& c, std::string& validity) {
  std::map<std::string, uint32_t> out;
  std::vector<std::string> r = c.Ask("s", "SELECT INBOX");
  for (const std::string& line : r)
    if (line.rfind("* OK [UIDVALIDITY ", 0) == 0) validity = line.substr(18, line.find(']') - 18);
  r = c.Ask("f", "UID FETCH 1:* (UID BODY.PEEK[HEADER.FIELDS (SUBJECT)])");
  uint32_t uid = 0;
  for (const std::string& line : r) {
    size_t at = line.find("(UID ");
    if (line.rfind("* ", 0) == 0 && at != std::string::npos)
      uid = uint32_t(strtoul(line.c_str() + at + 5, nullptr, 10));
    else if (line.rfind("Subject: ", 0) == 0)
      out[line.substr(9)] = uid;
  }
  return out;
}

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(ImapCrashTest, KillDuringExpungeKeepsEveryKeptMessageOnceWithItsUid) {
  TestHome home;
  int smtpPort = FreeLoopbackPort();
  int imapPort = FreeLoopbackPort();
  WriteLoopbackServerSettings(smtpPort);
  RegSetDword(kRootKey, "UseImap", 1);
  RegSetDword(kRootKey, "SysOptImap", uint32_t(imapPort));
  std::string scrambled, why;
  ASSERT_TRUE(ScramblePassword("alice", "secret", scrambled));
  std::string box = home.dir + "alice.mbx";
  ASSERT_TRUE(WriteUserRecord("alice", "alice", box, scrambled, "", "", why)) << why;
  RegCloseStore();
  std::string sibling = MailboxSiblingPath(box);
  std::string original = BigMailbox();

  // When the kill comes: while the sibling file is being written, the moment it
  // has been renamed over the mailbox, and a millisecond after the command.
  enum Moment { kWhileWriting, kAfterRename, kSoonAfter };
  for (Moment moment : {kWhileWriting, kAfterRename, kSoonAfter}) {
    SCOPED_TRACE("moment " + std::to_string(int(moment)));
    {
      std::ofstream out(box, std::ios::binary | std::ios::trunc);
      out << original;
    }
    unlink(ImapIndexPath(box).c_str());
    ServerProcess server;
    ASSERT_TRUE(server.Start(home.dir, smtpPort));
    for (int i = 0; i < 500 && !PortAccepts(imapPort); ++i) SleepMs(20);

    std::map<std::string, uint32_t> before;
    std::string validityBefore;
    {
      ImapClient c(imapPort, 60);
      ASSERT_EQ(c.ReadLine().rfind("* OK", 0), 0u);
      ASSERT_EQ(c.Ask("l", "LOGIN alice secret").back().rfind("l OK", 0), 0u);
      before = UidsBySubject(c, validityBefore);
      ASSERT_EQ(before.size(), size_t(kMessages));
      // Every odd message is deleted, in STOREs of a hundred numbers each.
      for (int from = 2; from <= kMessages; from += 200) {
        std::string set;
        for (int n = from; n < from + 200 && n <= kMessages; n += 2)
          set += (set.empty() ? "" : ",") + std::to_string(n);
        ASSERT_EQ(c.Ask("d", "STORE " + set + " +FLAGS.SILENT (\\Deleted)").back(),
                  "d OK STORE completed");
      }
      c.SendRaw("x EXPUNGE\r\n");
      uint32_t start = GetTickCount32();
      if (moment == kSoonAfter) {
        SleepMs(1);
      } else {
        while (!Exists(sibling) && TickElapsed(GetTickCount32(), start) < 10000) {
        }
        if (moment == kAfterRename)
          while (Exists(sibling) && TickElapsed(GetTickCount32(), start) < 10000) {
          }
      }
      server.Stop(SIGKILL);
    }

    ASSERT_TRUE(server.Start(home.dir, smtpPort));
    for (int i = 0; i < 500 && !PortAccepts(imapPort); ++i) SleepMs(20);
    ImapClient c(imapPort, 60);
    ASSERT_EQ(c.ReadLine().rfind("* OK", 0), 0u);
    ASSERT_EQ(c.Ask("l", "LOGIN alice secret").back().rfind("l OK", 0), 0u);
    std::string validityAfter;
    std::map<std::string, uint32_t> after = UidsBySubject(c, validityAfter);
    EXPECT_EQ(validityAfter, validityBefore);
    std::string text;
    ASSERT_TRUE(ReadWholeFile(box, text));
    // The kept (odd-numbered in IMAP, even index) messages: once each, same UID.
    for (int i = 0; i < kMessages; i += 2) {
      std::string subject = Subject(i);
      ASSERT_EQ(Occurrences(text, "Subject: " + subject + "\r\n"), 1u) << subject;
      ASSERT_EQ(after.count(subject), 1u) << subject;
      EXPECT_EQ(after[subject], before[subject]) << subject;
    }
    // The deleted ones are all gone or (the rewrite never finished) all there,
    // with their UIDs.
    size_t deletedLeft = after.size() - size_t(kMessages / 2);
    EXPECT_TRUE(deletedLeft == 0 || deletedLeft == size_t(kMessages / 2)) << deletedLeft;
    for (int i = 1; i < kMessages; i += 2)
      if (after.count(Subject(i))) EXPECT_EQ(after[Subject(i)], before[Subject(i)]);
    // A copy left half-written is taken over by the next rewrite, which finishes
    // the job: the \Deleted flags were kept.
    EXPECT_EQ(c.Ask("e", "EXPUNGE").back(), "e OK EXPUNGE completed");
    EXPECT_FALSE(Exists(sibling));
    ASSERT_TRUE(ReadWholeFile(box, text));
    EXPECT_EQ(Occurrences(text, "\r\nSubject: m"), size_t(kMessages / 2));
    server.Stop();
  }
}

}  // namespace
