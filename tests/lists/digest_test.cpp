// Digests and bulk lists through the real server and its daily release: the item
// files' bytes, numbered digests across restarts, the size trigger, a list without
// DIGEST members, a domain numbered 10, the digest log copy and a log directory
// that cannot be written, items found under upper-case names, orphaned items,
// and bulk posts that wait for the day change.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/lists/list_server_fixture.h"

namespace {

constexpr const char* kDate = "Tue, 14 Nov 2023 22:13:20 +0000";

class DigestTest : public ListServerTest {
 protected:
  std::string Configuration() override {
    mkdir(Path("digestlog").c_str(), 0755);
    WriteFile("0000beef.md1", "     'lost'\r\n");
    WriteFile("0000beef.md2", "lost item\r\n");
    // Orphans of the same name set aside before stay as they are.
    WriteFile("0000cafe.md1", "     'second'\r\n");
    WriteFile("0000cafe.md2", "second orphan\r\n");
    WriteFile("0000cafe.md11rr", "     'first'\r\n");
    WriteFile("0000cafe.md21rr", "first orphan\r\n");
    // Topics whose posts file never came (an item cut short): removed, so they
    // do not stop the list's later digests.
    WriteFile("00000007.md1", "     'cut short'\r\n");
    // Items under the names an operator may have copied them with: found and
    // opened as they are named.
    WriteFile("00000004.MD1", "     'upper'\r\n");
    WriteFile("00000004.MD2", Item("upper", "shouted\r\n"));
    // Items of a list whose digest log cannot be written ("blocked" is a file).
    WriteFile("00000005.md1", "     'kept'\r\n");
    WriteFile("00000005.md2", Item("kept", "kept\r\n"));
    WriteFile("blocked", "");
    // A list whose posts file cannot be written (a directory stands in its way).
    mkdir(Path("00000006.md2").c_str(), 0755);
    std::string v = std::string(kCorvelKey) + "\\VirtualDomains";
    std::string domains = "[" + v + "]\r\n\"NumDomains\"=dword:0000000a\r\n\"NumActualDomains\"=dword:0000000a\r\n";
    for (int i = 1; i <= 9; ++i)
      domains += "\"Domain" + std::to_string(i) + "\"=\"D" + std::to_string(i) + ";d" +
                 std::to_string(i) + ".test\"\r\n";
    domains += "\"Domain10\"=\"Ten;ten.test\"\r\n\r\n[" + v +
               "\\ten.test\\Users]\r\n\"tdig\"=\"l;Ten digest;tdig;alice@mail.example.org\"\r\n\r\n";
    return UserRecords({"alice", "dan", "erin", "fay", "gus"}) + "[" + std::string(kCorvelKey) +
           "\\Users]\r\n\"dig\"=\"l;Dig list;dig;alice\"\r\n\"nodig\"=\"l;No digest;nodig;alice\"\r\n"
           "\"bulky\"=\"l;Bulky;bulky;alice\"\r\n\"titled\"=\"l;Titled;titled;alice\"\r\n"
           "\"badlog\"=\"l;Bad log;badlog;alice\"\r\n\"broken\"=\"l;Broken;broken;alice\"\r\n\r\n" +
           ListText("dig", "",
                    "\"ListId\"=\"0001\"\r\n\"ListDigested\"=dword:1\r\n"
                    "\"LogListDigests\"=\"digestlog\"\r\n",
                    {"r;alice@mail.example.org;;1;", "rd;dan@mail.example.org;;1;",
                     "rdm;erin@mail.example.org;;1;"}) +
           ListText("nodig", "", "\"ListId\"=\"0002\"\r\n\"ListDigested\"=dword:1\r\n",
                    {"r;alice@mail.example.org;;1;"}) +
           ListText("bulky", "", "\"ListId\"=\"0003\"\r\n\"ListBulked\"=dword:1\r\n",
                    {"r;dan@mail.example.org;;1;"}) +
           ListText("titled", "",
                    "\"ListId\"=\"0004\"\r\n\"ListDigested\"=dword:1\r\n\"IncludeSubject\"=dword:1\r\n"
                    "\"IncludeSubjectTitle\"=\"Weekly\"\r\n\"ListDigestVolume\"=dword:0\r\n",
                    {"rd;fay@mail.example.org;;1;"}) +
           ListText("badlog", "",
                    "\"ListId\"=\"0005\"\r\n\"ListDigested\"=dword:1\r\n"
                    "\"LogListDigests\"=\"blocked\\\\sub\"\r\n",
                    {"rd;fay@mail.example.org;;1;"}) +
           ListText("broken", "", "\"ListId\"=\"0006\"\r\n\"ListDigested\"=dword:1\r\n",
                    {"r;dan@mail.example.org;;1;", "r;gus@mail.example.org;;1;"}) +
           domains +
           ListText("tdig", "\\VirtualDomains\\ten.test", "\"ListId\"=\"0001\"\r\n\"ListDigested\"=dword:1\r\n",
                    {"rd;alice@mail.example.org;;1;"});
  }
  void Post(const std::string& list, const std::string& subject, const std::string& body) {
    ASSERT_TRUE(Smtplib("alice@mail.example.org", list,
                        "Date: " + std::string(kDate) + "\r\nFrom: alice@mail.example.org\r\nSubject: " +
                            subject + "\r\nMessage-Id: <" + subject + "@example.org>\r\n\r\n" + body));
  }
  // A restart on a day the server has not seen yet: the daily release runs.
  void NextDay() {
    server_.Stop();
    Set("", "CheckTimestamp", "sz", "00001");
    Start();
  }
  static std::string Item(const std::string& subject, const std::string& body) {
    return "Date: " + std::string(kDate) + "\r\nFrom: alice@mail.example.org\r\nSubject: " + subject +
           "\r\n\r\n" + body + "\r\n------------------------------\r\n\r\n";
  }
  // The digest's text from its "Dig Digest" line on, the date there masked.
  static std::string DigestBody(const std::string& message) {
    std::string body = message.substr(message.find("\r\n\r\n") + 4);
    return std::regex_replace(body, std::regex("^(\\S+ Digest    )[^\r\n]+(   V)"), "$1<date>$2");
  }
};

TEST_F(DigestTest, ItemsNumberedDigestsSizeTriggerOrphansAndBulkRelease) {
  // A fresh registry has no day stamp: the first maintenance run releases at
  // once (and finds only the items written before the start). Posts come after it.
  Start();
  uint32_t start = GetTickCount32();
  while (!LogHas("Digest items processed. 3 Items.") && TickElapsed(GetTickCount32(), start) < kListWaitMs)
    SleepMs(50);
  ASSERT_TRUE(WaitMessages("root", 1));
  // Upper-case names: the digest is built from them and they go; the title is
  // in the subject; volume 0 is 1, written back.
  ASSERT_TRUE(WaitMessages("fay", 1));
  ASSERT_TRUE(WaitQueueEmpty());
  std::string upper = Messages(Read(Box("fay")))[0];
  EXPECT_NE(upper.find("\r\nSubject: Weekly - titled Digest - V01 #01\r\n"), std::string::npos) << upper;
  EXPECT_EQ(DigestBody(upper), "titled Digest    <date>   V01 #01\r\n\r\nToday's topics:\r\n     'upper'\r\n\r\n"
                               "----------------------------------------------------------------------\r\n\r\n" +
                                   Item("upper", "shouted\r\n") +
                                   "\r\nEnd of titled Digest V01 #01\r\n****************************\r\n");
  EXPECT_TRUE(Spool("00000004.*").empty());
  EXPECT_NE(Export("ListsAndResponders\\titled\\Configuration").find("\"ListDigestVolume\"=dword:00000001"),
            std::string::npos);
  // The log copy cannot be written: nothing is sent, the items stay.
  EXPECT_TRUE(LogHas("Error logging digest for 'badlog'."));
  EXPECT_EQ(Read(Path("00000005.md1")), "     'kept'\r\n");
  EXPECT_EQ(Read(Path("00000005.md2")), Item("kept", "kept\r\n"));
  Post("dig@mail.example.org", "one", "first post\r\n");
  Post("dig@mail.example.org", "two", "second post\r\n");
  Post("dig@mail.example.org", "three", "third post\r\n");
  Post("nodig@mail.example.org", "alone", "no digest reader\r\n");
  Post("tdig@ten.test", "tenth", "in domain ten\r\n");
  Post("bulky@mail.example.org", "later", "for tomorrow\r\n");
  ASSERT_TRUE(WaitMessages("alice", 4));
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(Read(Path("00000001.md1")), "     'one'\r\n     'two'\r\n     'three'\r\n");
  EXPECT_EQ(Read(Path("00000001.md2")), Item("one", "first post\r\n") + Item("two", "second post\r\n") +
                                            Item("three", "third post\r\n"));
  EXPECT_EQ(Read(Path("000a0001.md1")), "     'tenth'\r\n");
  ASSERT_EQ(Spool("0003*.blk").size(), 1u);
  EXPECT_EQ(MailboxMessages(Box("dan")), 0u);
  EXPECT_EQ(MailboxMessages(Box("erin")), 0u);
  // A post whose item cannot be written whole is not distributed, and leaves no
  // subject line behind: the next digest never lists a post it does not hold.
  ASSERT_TRUE(Smtplib("gus@mail.example.org", "broken@mail.example.org",
                      "From: gus@mail.example.org\r\nSubject: lost\r\n\r\nbody\r\n"));
  ASSERT_TRUE(WaitMessages("gus", 1));
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_NE(Read(Box("gus")).find("Error creating digest message."), std::string::npos) << Read(Box("gus"));
  EXPECT_FALSE(FileExists(Path("00000006.md1")));
  EXPECT_EQ(MailboxMessages(Box("dan")), 0u);

  // The day changes: bulk posts go out, every list with items and DIGEST members
  // gets its digest, orphaned items are set aside.
  NextDay();
  ASSERT_TRUE(WaitMessages("dan", 2));
  ASSERT_TRUE(WaitMessages("erin", 1));
  ASSERT_TRUE(WaitMessages("alice", 5));
  ASSERT_TRUE(WaitQueueEmpty());
  std::vector<std::string> dan = Messages(Read(Box("dan")));
  EXPECT_NE(dan[0].find("\r\nSubject: later\r\n"), std::string::npos);
  std::string digest = Normalized(dan[1]);
  std::string header = digest.substr(0, digest.find("\r\n\r\n") + 4);
  EXPECT_EQ(header,
            "From owner-dig@mail.example.org <date>\r\n"
            "Received: by mail.example.org from localhost\r\n    (router,Corvel95 V1.0); <date>\r\n"
            "Date: <date>\r\n"
            "From: dig-request@mail.example.org\r\n"
            "Reply-To: \"Dig list\" <dig@mail.example.org>\r\n"
            "Subject: dig Digest - V01 #01\r\n"
            "To: \"Dig list\" <dig@mail.example.org>\r\n"
            "Message-Id: <id>\r\n\r\n");
  const std::string topics = "dig Digest    <date>   V01 #01\r\n\r\nToday's topics:\r\n"
                             "     'one'\r\n     'two'\r\n     'three'\r\n\r\n"
                             "----------------------------------------------------------------------\r\n\r\n";
  EXPECT_EQ(DigestBody(dan[1]), topics + Item("one", "first post\r\n") + Item("two", "second post\r\n") +
                                    Item("three", "third post\r\n") +
                                    "\r\nEnd of dig Digest V01 #01\r\n*************************\r\n");
  EXPECT_EQ(DigestBody(Messages(Read(Box("erin")))[0]), DigestBody(dan[1]));
  std::string copy = Read(Path("digestlog/V01N01.txt"));
  EXPECT_EQ(copy.rfind("Date: ", 0), 0u);
  EXPECT_EQ(DigestBody(copy), DigestBody(dan[1]));
  std::vector<std::string> alice = Messages(Read(Box("alice")));
  EXPECT_NE(alice[4].find("\r\nSubject: tdig Digest - V01 #01\r\n"), std::string::npos) << alice[4];
  EXPECT_NE(alice[4].find("From owner-tdig@ten.test "), std::string::npos);
  for (const std::string& m : alice) EXPECT_EQ(m.find("Subject: dig Digest"), std::string::npos);
  std::string config = Export("ListsAndResponders\\dig\\Configuration");
  EXPECT_NE(config.find("\"ListDigestNumber\"=dword:00000001"), std::string::npos) << config;
  EXPECT_NE(config.find("\"ListDigestVolume\"=dword:00000001"), std::string::npos) << config;
  EXPECT_TRUE(Spool("00000001.md*").empty());
  // No DIGEST member: nothing sent, the items kept, no number.
  EXPECT_EQ(Read(Path("00000002.md1")), "     'alone'\r\n");
  EXPECT_EQ(Export("ListsAndResponders\\nodig\\Configuration").find("ListDigestNumber"), std::string::npos);
  // Items of no list: renamed, and the postmaster is told.
  EXPECT_TRUE(FileExists(Path("0000beef.md11rr")));
  EXPECT_EQ(Read(Path("0000beef.md21rr")), "lost item\r\n");
  EXPECT_FALSE(FileExists(Path("0000beef.md2")));
  std::string root = Read(Box("root"));
  EXPECT_NE(root.find("\r\nSubject: Digests: Unable to find configuration file.\r\n"), std::string::npos);
  EXPECT_NE(root.find("The system was unable to find the mailing list configuration\r\nfor the file: " +
                      Path("0000beef.md1") + ".\r\n\r\nThis file has been renamed to " +
                      Path("0000beef.md11rr") + "\r\nto avoid this again in the future.\r\n"),
            std::string::npos)
      << root;
  EXPECT_EQ(Read(Path("0000cafe.md11rr")), "     'first'\r\n");
  EXPECT_EQ(Read(Path("0000cafe.md21rr")), "first orphan\r\n");
  EXPECT_EQ(Read(Path("0000cafe.md11rr2")), "     'second'\r\n");
  EXPECT_EQ(Read(Path("0000cafe.md21rr2")), "second orphan\r\n");
  EXPECT_FALSE(FileExists(Path("0000cafe.md1")));
  EXPECT_FALSE(FileExists(Path("00000007.md1")));
  EXPECT_TRUE(LogHas("Digest topics '" + Path("00000007.md1") + "' have no posts file; removed."));
  EXPECT_TRUE(LogHas("Digest items processed. 4 Items."));  // dig, nodig, tdig, badlog
  EXPECT_EQ(MailboxMessages(Box("fay")), 1u);
  EXPECT_TRUE(LogHas("Bulk items processed. 1 Items."));
  EXPECT_TRUE(LogHas("No digest recipients for list 'nodig'."));

  // The next day: number 2.
  Post("dig@mail.example.org", "four", "fourth post\r\n");
  ASSERT_TRUE(WaitQueueEmpty());
  NextDay();
  ASSERT_TRUE(WaitMessages("dan", 3));
  EXPECT_NE(Read(Box("dan")).find("\r\nSubject: dig Digest - V01 #02\r\n"), std::string::npos);
  EXPECT_NE(Export("ListsAndResponders\\dig\\Configuration").find("\"ListDigestNumber\"=dword:00000002"),
            std::string::npos);

  // The size trigger: items of 29,000 bytes wait; the post that passes 30,000
  // sends the digest at once, with itself in it.
  std::string line = std::string(78, 'x') + "\r\n";
  std::string big;
  while (big.size() < 29000) big += line;
  Post("dig@mail.example.org", "big", big);
  ASSERT_TRUE(WaitQueueEmpty());
  long long before = FileSize(Path("00000001.md2"));
  EXPECT_GT(before, 29000);
  EXPECT_LT(before, 30000);
  EXPECT_EQ(MailboxMessages(Box("dan")), 3u);
  std::string push;
  while (push.size() < 2000) push += line;
  Post("dig@mail.example.org", "pushover", push);
  ASSERT_TRUE(WaitMessages("dan", 4));
  std::string third = Messages(Read(Box("dan")))[3];
  EXPECT_NE(third.find("\r\nSubject: dig Digest - V01 #03\r\n"), std::string::npos);
  EXPECT_NE(third.find("Today's topics:\r\n     'big'\r\n     'pushover'\r\n"), std::string::npos);
  EXPECT_TRUE(LogHas("Sending digest for list due to size."));
  EXPECT_TRUE(Spool("00000001.md*").empty());
}

}  // namespace
