// List membership: the record, the slot and counter rules, aliases, refusals, and
// concurrent changes that must never give two members one slot.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "platform/registry.h"
#include "server/core/config.h"
#include "server/lists/membership.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

class MembershipTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    std::string why;
    ASSERT_TRUE(WriteListRecord("staff", "Staff list", "staffcfg", "root", "", why)) << why;
    ASSERT_TRUE(WriteUserRecord("alice", "Alice", UserPath("alice"), "", "", "", why)) << why;
    ASSERT_TRUE(WriteAliasRecord("al", "alice", "", why)) << why;
    ASSERT_TRUE(ResolveList("staff", "", list_));
  }
  std::string Value(const char* section, const std::string& name) {
    return ConfigGetText(section, name.c_str(), "<none>", nullptr, "staffcfg");
  }
  long Number(const char* section, const char* name) {
    return ConfigGetNumber(section, name, -1, nullptr, "staffcfg");
  }
  bool Add(const std::string& address, AddMemberResult& r, bool force = true) {
    AddMemberRequest req;
    req.address = address;
    req.fullName = "Name of " + address;
    req.force = force;
    req.viaListServer = !force;
    return AddListMember(list_, req, r);
  }
  ListRef list_;
};

TEST(MemberRecordTest, LettersAndFields) {
  struct Case {
    const char* record;
    uint32_t flags;
    const char* written;
    const char* names;
  } cases[] = {
      {"ra;a@b;;1;", kMemberRepro | kMemberAck, "ra", "REPRO ACK "},
      {";a@b;;1;", 0, "", "NONE"},
      {"zm;a@b;x;1;", kMemberAdmin | kMemberNoMail, "mz", "NOMAIL ADMIN "},
      {"DCx;a@b;;;", kMemberDigest | kMemberConceal, "cd", "CONCEAL DIGEST "},
      {"rz", kMemberRepro | kMemberAdmin, "rz", "REPRO ADMIN "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseMemberLetters(c.record), c.flags) << c.record;
    EXPECT_EQ(FormatMemberLetters(c.flags), c.written) << c.record;
    EXPECT_EQ(MemberFlagNames(c.flags), c.names) << c.record;
  }
  MemberRecord r = ParseMemberRecord(4, "ra;bob@x.org;Bob B;1700000000;");
  EXPECT_TRUE(r.wellFormed);
  EXPECT_EQ(r.address, "bob@x.org");
  EXPECT_EQ(r.fullName, "Bob B");
  EXPECT_EQ(r.joined, "1700000000");
  EXPECT_FALSE(ParseMemberRecord(1, "no semicolon").wellFormed);
  EXPECT_EQ(FormatMemberRecord(kMemberAck | kMemberRepro, "a@b", "A", 5), "ra;a@b;A;5;");
}

TEST_F(MembershipTest, SlotsCountersAndReuse) {
  AddMemberResult r;
  for (const char* a : {"one@x.org", "two@x.org", "three@x.org"}) ASSERT_TRUE(Add(a, r)) << r.reply;
  EXPECT_EQ(r.reply, "User three@x.org added to list staff\r\n");
  EXPECT_EQ(Value("Users", "User3").substr(0, 16), "r;three@x.org;Na");  // ListRepro on
  std::string reply;
  ASSERT_TRUE(RemoveListMember(list_, "two@x.org", 0, false, reply)) << reply;
  EXPECT_EQ(Number("Users", "NumUsers"), 3);
  EXPECT_EQ(Number("Users", "ActualUsers"), 2);
  EXPECT_EQ(Value("Users", "User2"), "");
  ASSERT_TRUE(RemoveListMember(list_, "THREE@x.org", 0, false, reply)) << reply;
  EXPECT_EQ(Number("Users", "NumUsers"), 2);  // slots below are not examined
  EXPECT_EQ(Number("Users", "ActualUsers"), 1);
  ASSERT_TRUE(Add("four@x.org", r));
  EXPECT_EQ(r.slot, 2);  // the free slot is reused
  EXPECT_FALSE(RemoveListMember(list_, "nobody@x.org", 0, false, reply));
  EXPECT_EQ(reply, "User nobody@x.org not registered on list staff.");

  // Counters that disagree never make a slot holding a record be overwritten.
  RegSetString(ConfigKeyPath("Users", nullptr, "staffcfg"), "User3", "r;stray@x.org;;1;");
  ASSERT_TRUE(Add("five@x.org", r));
  EXPECT_EQ(r.slot, 4);
  EXPECT_EQ(Value("Users", "User3"), "r;stray@x.org;;1;");
  MemberTable t;
  ASSERT_TRUE(ReadListMembers(list_, false, t));
  ASSERT_EQ(t.records.size(), 4u);  // slot 3 is within NumUsers now
  EXPECT_EQ(t.records[0].address, "one@x.org");
  EXPECT_EQ(t.records[3].address, "five@x.org");
}

TEST_F(MembershipTest, AliasesDuplicatesPendingAndBadInput) {
  AddMemberResult r;
  ASSERT_TRUE(Add("alice", r));
  // The same member written otherwise, or through an alias.
  for (const char* same : {"alice", "Alice@MAIL.example.org", "al", "Al <al@mail.example.org>"}) {
    EXPECT_FALSE(Add(same, r)) << same;
    EXPECT_NE(r.reply.find("already registered on list staff."), std::string::npos) << r.reply;
  }
  EXPECT_EQ(FindListMember(list_, "al@mail.example.org", false), 1);
  // Remote members written in any case or form are the same member too.
  ASSERT_TRUE(Add("zed@far.test", r));
  for (const char* same : {"ZED@Far.Test", "Zed <zed@far.test>", "zed@far.test.", "zed@FAR.test (Z)"}) {
    EXPECT_FALSE(Add(same, r)) << same;
    EXPECT_NE(r.reply.find("already registered on list staff."), std::string::npos) << r.reply;
  }
  std::string gone;
  ASSERT_TRUE(RemoveListMember(list_, "zed@far.test", 0, false, gone)) << gone;
  MemberLookup who;
  ASSERT_TRUE(GetMemberFlags(list_, "al", who));
  EXPECT_EQ(who.slot, 1);
  EXPECT_EQ(who.flags, uint32_t(kMemberRepro));

  // Moderated additions go to AddUsers, once; the owner is told.
  ConfigSetBool("Configuration", "ModeratedAdd", true, nullptr, "staffcfg");
  ConfigSetBool("Configuration", "ListSendMods", true, nullptr, "staffcfg");
  ASSERT_TRUE(Add("bob@remote.test", r, false)) << r.reply;
  EXPECT_TRUE(r.pending);
  EXPECT_EQ(r.reply,
            "Your request to listserver@mail.example.org has been\r\nforwarded to the owner of "
            "the list 'staff' for approval.\r\n\r\nThis usually means that you have tried to "
            "subscribe to a closed\r\nlist or a moderated list where the listowner needs to add "
            "you to the list.\r\n\r\nIf there are any questions, please send mail to\r\n"
            "'owner-staff@mail.example.org.\r\n");
  EXPECT_FALSE(Add("bob@remote.test", r, false));
  EXPECT_EQ(r.reply, "Address bob@remote.test is already on pending list for list staff");
  EXPECT_EQ(Value("AddUsers", "User1").substr(0, 18), "r;bob@remote.test;");
  std::vector<std::string> notices = ListFiles(ServerSettings().incomingDirectory, "*.in");
  ASSERT_EQ(notices.size(), 1u);
  std::string notice = Read(ServerSettings().incomingDirectory + notices[0]);
  EXPECT_EQ(std::regex_replace(notice, std::regex("<[0-9]+\\.[0-9a-f]+\\.wrm@"), "<ID@"),
            "From: listserver@mail.example.org\r\nOrigin: local\r\nTo: owner-staff\r\n\r\n"
            "From: listserver@mail.example.org\r\nTo: owner-staff\r\n"
            "Subject: Member submitted to list staff\r\nAuto-Submitted: auto-generated\r\n"
            "Date: Tue, 14 Nov 2023 22:13:20 UTC\r\nMessage-Id: <ID@mail.example.org>\r\n\r\n"
            "Member submitted: 'bob@remote.test'.\r\n");
  std::string reply;
  ASSERT_TRUE(ApprovePendingMember(list_, "bob@remote.test", "", reply)) << reply;
  EXPECT_EQ(FindListMember(list_, "bob@remote.test", false), 2);
  EXPECT_EQ(FindListMember(list_, "bob@remote.test", true), -1);
  EXPECT_EQ(Value("Users", "User2").substr(0, 40), "r;bob@remote.test;Name of bob@remote.tes");

  // No field may carry ';', a line break or NUL; a full name loses them.
  for (std::string bad : {std::string("a;b@x.org"), std::string("a@x.org\r\nTo: c@x.org"),
                          std::string("a\0b@x.org", 9), std::string("")}) {
    EXPECT_FALSE(Add(bad, r));
    EXPECT_EQ(r.reply.rfind("Address '", 0), 0u) << r.reply;
  }
  AddMemberRequest req;
  req.address = "carol@x.org";
  req.fullName = std::string("Carol;\r\nX") + std::string(200, 'y');
  ASSERT_TRUE(AddListMember(list_, req, r));
  MemberTable t;
  ASSERT_TRUE(ReadListMembers(list_, false, t));
  EXPECT_EQ(t.records.back().fullName, "CarolX" + std::string(93, 'y'));
}

TEST_F(MembershipTest, ConcurrentAddsNeverShareASlot) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        AddMemberResult r;
        Add("m" + std::to_string(t) + "-" + std::to_string(i) + "@x.org", r);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  MemberTable t;
  ASSERT_TRUE(ReadListMembers(list_, false, t));
  EXPECT_EQ(t.records.size(), size_t(kThreads * kEach));
  EXPECT_EQ(t.numUsers, kThreads * kEach);
  EXPECT_EQ(t.actualUsers, kThreads * kEach);
}

}  // namespace
