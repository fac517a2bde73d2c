// The distributor called as the router calls it: the header rewrite against a
// golden file, a post that failed half-way is not taken for a duplicate later,
// envelopes that stay within the router's window, the message-id history's names.
#include <gtest/gtest.h>

#include <map>

#include "server/core/config.h"
#include "server/lists/distribute.h"
#include "server/lists/membership.h"
#include "server/spool/spool.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

class DistributeTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    std::string why;
    ASSERT_TRUE(InitializeListHandling(why));
    ASSERT_TRUE(WriteListRecord("team", "Team", "team", "root", "", why)) << why;
    ASSERT_TRUE(WriteUserRecord("root", "root", UserPath("root"), "", "", "", why)) << why;
    Set("ListId", "0001");
    ConfigSetBool("Configuration", "ClosedList", false, nullptr, "team");
  }
  void TearDown() override {
    ShutdownListHandling();
    DeliveryTest::TearDown();
  }
  void Set(const char* name, const std::string& text) {
    ConfigSetString("Configuration", name, text.c_str(), nullptr, "team");
  }
  void SetMembers(const std::vector<std::string>& addresses) {
    for (size_t i = 0; i < addresses.size(); ++i)
      ConfigSetString("Users", ("User" + std::to_string(i + 1)).c_str(),
                      ("r;" + addresses[i] + ";;1;").c_str(), nullptr, "team");
    ConfigSetNumber("Users", "NumUsers", long(addresses.size()), nullptr, "team");
    ConfigSetNumber("Users", "ActualUsers", long(addresses.size()), nullptr, "team");
  }
  // Hands a post to the distributor as the router does.
  SpecialResult Post(const std::string& message) {
    std::string path = dir_ + "post.in";
    Write(path, "From: alice@remote.test\r\nTo: team\r\n\r\n" + message);
    UniqueFd fd = OpenShared(path, O_RDONLY);
    SpecialDelivery in;
    in.account = "team";
    in.type = kAccountList;
    in.sender = "alice@remote.test";
    in.spoolPath = path;
    in.spoolFd = fd.get();
    in.messageOffset = 37;
    in.domainShown = "mail.example.org";
    in.recipient = "team";
    SpecialResult out;
    DistributeListMessage(in, out);
    return out;
  }
  std::vector<std::string> Queued() {
    return ListFiles(ServerSettings().incomingDirectory, "*.in");
  }
};

TEST_F(DistributeTest, HeaderRewriteMatchesGoldenFile) {
  const std::string header =
      "Received: by relay.test from x\r\n    (smtp); Tue, 14 Nov 2023 22:13:20 UTC\r\n"
      "From: Alice <alice@remote.test>\r\n"
      "To: team@mail.example.org\r\n"
      "cc: other@remote.test,\r\n\tthird@remote.test\r\n"
      "BCC: hidden@remote.test\r\n"
      "Reply-To: alice@remote.test\r\n"
      "Sender: alice@remote.test\r\n"
      "Subject: a long\r\n subject\r\n"
      "X-Spam-Flag: YES\r\n"
      "X-List: old\r\n"
      "Message-Id: <1@remote.test>\r\n"
      "Keywords:\r\n"
      "\r\n"
      "body stays\r\n";
  struct Case {
    ListHeaderRules rules;
  };
  ListHeaderRules plain;
  plain.list = "team";
  plain.domain = "mail.example.org";
  plain.sender = "alice@remote.test";
  ListHeaderRules titled = plain;
  titled.includeSubject = true;
  titled.subjectTitle = "[Team]";
  titled.replyToList = false;
  titled.replyTo = "replies@mail.example.org";
  titled.changeHeaders = "-X-Spam$t$t+X-List: team$t+Precedence: list$t-$t=Keywords";
  ListHeaderRules already = titled;
  already.replyTo.clear();
  already.subjectTitle = "LONG";
  std::string out;
  for (const ListHeaderRules* r : {&plain, &titled, &already}) {
    size_t consumed = RewriteListHeader(header, true, *r, out);
    out += header.substr(consumed) + "=====\r\n";
  }
  std::string path = std::string(CORVEL_SOURCE_DIR) + "/tests/lists/golden/list_header.txt";
  if (getenv("CORVEL_UPDATE_GOLDEN")) Write(path, out);
  EXPECT_EQ(Read(path), out);
}

TEST_F(DistributeTest, FailedPostIsNotTakenForADuplicateWhenItComesAgain) {
  SetMembers({"bob@remote.test"});
  ConfigSetBool("Configuration", "SendFooter", true, nullptr, "team");
  Set("FooterFile", dir_ + "footer.txt");  // missing for now
  const std::string post = "Message-Id: <once@remote.test>\r\nSubject: s\r\n\r\nbody\r\n";
  SpecialResult r = Post(post);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.reason, "\r\nError opening footer file.\r\nError occured handling mailing list account.  ");
  EXPECT_TRUE(Queued().empty());
  ListRef list;
  ASSERT_TRUE(ResolveList("team", "", list));
  EXPECT_FALSE(IsKnownMessageId(list, "<once@remote.test>"));
  // The sender (or the router after a crash) tries again: now it goes out, once.
  Write(dir_ + "footer.txt", "-- \nfooter\n");
  r = Post(post);
  EXPECT_TRUE(r.ok) << r.reason;
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_TRUE(IsKnownMessageId(list, "<once@remote.test>"));
  std::string text = Read(ServerSettings().incomingDirectory + Queued()[0]);
  EXPECT_EQ(text.substr(text.size() - 21), "\r\nbody\r\n-- \r\nfooter\r\n");
  r = Post(post);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(DistributeTest, ManyMembersAreSplitIntoEnvelopesTheRouterCanRead) {
  std::vector<std::string> members;
  for (int i = 0; i < 3000; ++i)
    members.push_back("member-with-a-rather-long-name-" + std::to_string(i) + "@remote.test");
  SetMembers(members);
  SpecialResult r = Post("Message-Id: <big@remote.test>\r\nSubject: s\r\n\r\nbody\r\n");
  ASSERT_TRUE(r.ok) << r.reason;
  std::map<std::string, int> seen;
  size_t files = 0;
  for (const std::string& name : Queued()) {
    UniqueFd fd = OpenShared(ServerSettings().incomingDirectory + name, O_RDONLY);
    RouterEnvelope env;
    std::string why;
    ASSERT_TRUE(ReadRouterEnvelope(fd.get(), 1000000, env, why)) << why;
    EXPECT_EQ(env.sender, "owner-team@mail.example.org");
    EXPECT_FALSE(env.moreRemain);
    for (const EnvelopeRecipient& rc : env.recipients) ++seen[rc.address];
    ++files;
  }
  EXPECT_GE(files, 3u);
  EXPECT_EQ(seen.size(), members.size());
  for (const std::string& m : members) EXPECT_EQ(seen[m], 1) << m;
}

TEST_F(DistributeTest, MessageIdsThatLookLikeTheHistorysOwnValuesAreNotRemembered) {
  ListRef list;
  ASSERT_TRUE(ResolveList("team", "", list));
  struct Case {
    std::string id;
    bool remembered;
  } cases[] = {{"NextPos", false}, {"nextpos", false}, {"0", false},   {"19", false},
               {"5", false},       {"20", true},       {"05", true},   {"<x@y>", true},
               {"", false},        {std::string(300, 'i'), false}};
  for (const Case& c : cases) {
    RememberMessageId(list, c.id);
    EXPECT_EQ(IsKnownMessageId(list, c.id), c.remembered) << c.id;
  }
  // The history itself is intact: NextPos counts only the ids remembered.
  EXPECT_EQ(ConfigGetNumber("ListMsgIds", "NextPos", -1, nullptr, "team"), 2);
  EXPECT_EQ(ConfigGetText("ListMsgIds", "1", "", nullptr, "team"), "05");
}

// A post parked as .inr (its file waited for a busy mailbox) is an ordinary
// incoming message: only a released .mla skips moderation.
TEST_F(DistributeTest, ParkedPostIsStillModerated) {
  ConfigSetBool("Configuration", "Moderated", true, nullptr, "team");
  SetMembers({"bob@remote.test"});
  RouterHandlers().list = DistributeListMessage;
  const std::string dir = ServerSettings().incomingDirectory;
  Write(dir + "00000001.inr",
        "From: alice@remote.test\r\nTo: team@mail.example.org\r\n\r\n"
        "Message-Id: <parked@remote.test>\r\nSubject: s\r\n\r\nbody\r\n");
  ResetRouterState();
  while (RouteIncomingQueue()) {
  }
  RouterHandlers().list = nullptr;
  EXPECT_EQ(ListFiles(dir, "0001*.ml").size(), 1u);
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(ListFiles(dir, "*.inr").empty());
}

}  // namespace
