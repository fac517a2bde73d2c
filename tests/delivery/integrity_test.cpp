// The account integrity check and the no-response list.
#include "server/accounts/integrity.h"

#include "server/accounts/accounts.h"
#include "server/accounts/noresponse.h"
#include "server/core/log.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

using IntegrityTest = DeliveryTest;

bool LogHas(const std::string& text) {
  for (const std::string& line : WindowLogLines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::string Record(const std::string& name, const std::string& domain = "") {
  std::string r;
  LookupAccount(name, r, domain, false);
  return r;
}

TEST_F(IntegrityTest, MissingRootComesBackAsLocalUser) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", UserPath("alice"), "", "", "", why));
  RunStartupIntegrityCheck();
  EXPECT_EQ(Record("root"), "u;root user;" + ServerSettings().userDirectory + "root.mbx;;");
  EXPECT_EQ(GetAccountType("unknown", ""), kAccountAlias);
  EXPECT_EQ(GetAccountType("mail-daemon", ""), kAccountAlias);
  EXPECT_EQ(GetAccountType("postmaster", ""), kAccountAlias);
  EXPECT_EQ(GetAccountType("listserver", ""), kAccountResponder);
  // Deleted by hand: the periodic check brings it back.
  ASSERT_TRUE(DeleteAccount("root", ""));
  RunPeriodicIntegrityCheck();
  EXPECT_EQ(GetAccountType("root", ""), kAccountUser);
}

TEST_F(IntegrityTest, SecondaryDomainRootIsForwardToThisHost) {
  std::string why;
  ASSERT_GE(AddSecondaryDomain("Other", "other.example", why), 1) << why;
  ASSERT_TRUE(LoadSecondaryDomains(why));
  ASSERT_TRUE(DeleteAccount("root", "other.example"));
  RunPeriodicIntegrityCheck();
  std::string address;
  ASSERT_TRUE(GetForwardAddress("root", address, "other.example"));
  EXPECT_EQ(address, "root@mail.example.org");
}

TEST_F(IntegrityTest, CountsByTypeSkippingListserver) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("a", "A", UserPath("a"), "", "", "", why));
  ASSERT_TRUE(WriteUserRecord("b", "B", UserPath("b"), "", "", "", why));
  ASSERT_TRUE(WriteForwardRecord("f", "x@remote.example", "", why));
  ASSERT_TRUE(WriteResponderRecord("r", "R", "r", "", why));
  ASSERT_TRUE(WriteResponderRecord("listserver", "", "", "", why));
  std::vector<std::string> names;
  AccountCounts c = CheckAccountProperties("", &names);
  EXPECT_EQ(c.users, 2);
  EXPECT_EQ(c.forwards, 1);
  EXPECT_EQ(c.responders, 1);
  EXPECT_EQ(c.lists, 0);
  EXPECT_EQ(names.size(), 4u);
}

TEST_F(IntegrityTest, AliasToDeletedAccountReachesRoot) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("root", "root user", UserPath("root"), "", "", "", why));
  ASSERT_TRUE(WriteAliasRecord("sales", "gone", "", why));
  CheckAccountProperties("");
  EXPECT_TRUE(LogHas("Rerouting user alias 'gone' to root as user no longer exists."));
  std::string finalName;
  ASSERT_TRUE(ResolveAccountName("sales", finalName, ""));
  EXPECT_EQ(finalName, "root");
}

TEST_F(IntegrityTest, AliasLoopIsBrokenAtRoot) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("root", "root user", UserPath("root"), "", "", "", why));
  ASSERT_TRUE(WriteAliasRecord("ping", "pong", "", why));
  ASSERT_TRUE(WriteAliasRecord("pong", "ping", "", why));
  ASSERT_TRUE(WriteAliasRecord("self", "self", "", why));
  CheckAccountProperties("");
  EXPECT_TRUE(LogHas("Alias check failed, setting to root: ping"));
  std::string finalName;
  ASSERT_TRUE(ResolveAccountName("ping", finalName, ""));
  EXPECT_EQ(finalName, "root");
  ASSERT_TRUE(ResolveAccountName("pong", finalName, ""));
  EXPECT_EQ(finalName, "root");
  ASSERT_TRUE(ResolveAccountName("self", finalName, ""));
  EXPECT_EQ(finalName, "root");
}

TEST_F(IntegrityTest, AliasChainRules) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("u", "U", UserPath("u"), "", "", "", why));
  ASSERT_TRUE(WriteAliasRecord("a1", "a2", "", why));
  ASSERT_TRUE(WriteAliasRecord("a2", "u", "", why));
  ASSERT_TRUE(WriteAliasRecord("x1", "x2", "", why));
  ASSERT_TRUE(WriteAliasRecord("x2", "x3", "", why));
  ASSERT_TRUE(WriteAliasRecord("x3", "x2", "", why));
  ASSERT_TRUE(WriteAliasRecord("far", "bob@remote.example", "", why));
  std::string finalName;
  EXPECT_TRUE(CheckAliasChain("a1", "", finalName));
  EXPECT_EQ(finalName, "u");
  EXPECT_FALSE(CheckAliasChain("u", "", finalName));   // not an alias
  EXPECT_FALSE(CheckAliasChain("x1", "", finalName));  // loop that misses the start
  EXPECT_TRUE(CheckAliasChain("far", "", finalName));
  EXPECT_EQ(finalName, "bob@remote.example");
  // A remote alias is left alone by the check.
  CheckAccountProperties("");
  EXPECT_EQ(Record("far"), "a;bob@remote.example");
}

TEST_F(IntegrityTest, ListWithResponderOwnerGetsRootAndNumbers) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("root", "root user", UserPath("root"), "", "", "", why));
  ASSERT_TRUE(WriteResponderRecord("resp", "R", "resp", "", why));
  ASSERT_TRUE(WriteListRecord("l1", "List One", "l1", "resp", "", why));
  ASSERT_TRUE(WriteListRecord("l2", "List Two", "l2", "someone@remote.example", "", why));
  ASSERT_TRUE(ConfigSetString("Configuration", "ListId", "0001", nullptr, "l2"));
  CheckAccountProperties("");
  std::string owner;
  ASSERT_TRUE(GetListOwner("l1", owner, ""));
  EXPECT_EQ(owner, "root");
  EXPECT_EQ(Record("l1"), "l;List One;l1;root");
  EXPECT_TRUE(LogHas("List l2 has remote list-owner: someone@remote.example"));
  EXPECT_EQ(ConfigGetText("Configuration", "ListName", "", nullptr, "l1"), "l1");
  // l2 keeps 0001, so l1 gets the next free number.
  EXPECT_EQ(ConfigGetText("Configuration", "ListId", "", nullptr, "l2"), "0001");
  EXPECT_EQ(ConfigGetText("Configuration", "ListId", "", nullptr, "l1"), "0002");
}

TEST_F(IntegrityTest, ListIdValidity) {
  struct Case {
    const char* text;
    bool valid;
  };
  for (const Case& c : {Case{"0001", true}, Case{"00ff", true}, Case{"0000", false},
                        Case{"", false}, Case{"zz", false}, Case{"1g", true}}) {
    EXPECT_EQ(IsValidListId(c.text), c.valid) << c.text;
  }
}

TEST(WildcardMatchTest, PatternRules) {
  struct Case {
    const char* subject;
    const char* pattern;
    bool match;
  };
  const Case cases[] = {
      {"MAILER-DAEMON@host.example", "mailer-daemon@*", true},
      {"mailer-daemonx@host.example", "mailer-daemon@*", false},
      {"anything", "", true},
      {"bob@x", "bob", true},            // no '*': a prefix match
      {"bobby@x", "bob", true},          // so longer local parts too
      {"bo", "bob", false},
      {"list-owner@example.org", "*@example.org", true},
      {"x@example.org.evil", "*@example.org", false},
      {"a@b", "*@example.org", false},   // subject shorter than the remainder
      {"abc", "abc*c", true},            // the jump may land before the prefix end
      {"news@lists.example", "news*", true},
      {"", "a", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WildcardMatch(c.subject, c.pattern), c.match) << c.subject << " ~ " << c.pattern;
}

TEST_F(IntegrityTest, ResponseAllowedByList) {
  EXPECT_FALSE(IsResponseAllowed("Mailer-Daemon@remote.example"));
  EXPECT_TRUE(IsResponseAllowed("mailer-daemons@remote.example"));
  EXPECT_TRUE(IsResponseAllowed("alice@remote.example"));
  std::string why;
  ASSERT_TRUE(AddNoResponsePattern("*@spam.example", why)) << why;
  ASSERT_TRUE(AddNoResponsePattern("root", why));
  EXPECT_FALSE(AddNoResponsePattern("root", why));
  EXPECT_FALSE(IsResponseAllowed("x@SPAM.example"));
  EXPECT_FALSE(IsResponseAllowed("rootkit@remote.example"));
  // With patterns stored, the default no longer applies.
  EXPECT_TRUE(IsResponseAllowed("mailer-daemon@remote.example"));
  EXPECT_TRUE(TestNoResponseList("root@x"));
  ASSERT_TRUE(RemoveNoResponsePattern("*@spam.example", why));
  EXPECT_EQ(ReadNoResponseList(), std::vector<std::string>{"root"});
  EXPECT_EQ(ConfigGetNumber(kNoResponseSection, kNoResponseCount, -1), 1);
  EXPECT_TRUE(IsResponseAllowed("x@spam.example"));
  EXPECT_FALSE(WriteNoResponseList({std::string(100, 'a')}, why));
  EXPECT_TRUE(InitializeNoResponseList(why));
}

TEST_F(IntegrityTest, BrokenNoResponseCountIsBounded) {
  ASSERT_TRUE(ConfigSetNumber(kNoResponseSection, kNoResponseCount, 2000000000));
  ASSERT_TRUE(ConfigSetString(kNoResponseSection, "NoRespond3", "evil"));
  EXPECT_FALSE(IsResponseAllowed("evil@x"));
  EXPECT_TRUE(IsResponseAllowed("good@x"));
}

}  // namespace
