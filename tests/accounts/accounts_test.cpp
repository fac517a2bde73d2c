// The account records: lookups, aliases, accessors, writers, enumeration, access.
#include "server/accounts/accounts.h"

#include <algorithm>

#include "tests/accounts/accounts_fixture.h"

namespace {

const std::string kPrimary;

TEST_F(AccountsTest, RecordTypeFromFirstLetterInEitherCase) {
  struct Case {
    const char* record;
    AccountType type;
  } cases[] = {
      {"u;Al;a.mbx;;", kAccountUser}, {"U;Al;a.mbx;;", kAccountUser},
      {"a;root", kAccountAlias},      {"A;root", kAccountAlias},
      {"f;x@y.org", kAccountForward}, {"l;L;cfg;root", kAccountList},
      {"r;R;cfg", kAccountResponder}, {"D;proc;3", kAccountCustom},
      {"x;what", kAccountNone},       {";u", kAccountNone},
      {"", kAccountNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AccountTypeOfRecord(c.record), c.type) << c.record;
    if (c.record[0]) {
      PutRaw("acct", c.record);
      EXPECT_EQ(GetAccountType("acct", kPrimary), c.type) << c.record;
    }
  }
}

TEST_F(AccountsTest, FieldExtraction) {
  struct Case {
    const char* record;
    int n;
    bool requireSemi;
    bool ok;
    const char* field;
  } cases[] = {
      {"u;Name;box;pw;cc", 1, true, true, "Name"},  {"u;Name;box;pw;cc", 4, false, true, "cc"},
      {"u;Name;box;pw;cc", 4, true, false, ""},     {"u;Name;box;pw;cc", 5, false, false, ""},
      {"f;a@b", 1, true, false, ""},                {"f;a@b", 1, false, true, "a@b"},
      {"u;;;;", 3, true, true, ""},                 {"u", 1, false, false, ""},
      {"r;R;", 2, false, true, ""},                 {"x", 0, false, false, ""},
  };
  for (const Case& c : cases) {
    std::string out = "junk";
    EXPECT_EQ(GetRecordField(c.record, c.n, out, c.requireSemi), c.ok) << c.record << " " << c.n;
    EXPECT_EQ(out, c.field) << c.record << " " << c.n;
  }
}

TEST_F(AccountsTest, WritersProduceTheStoredFormats) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("alice", "Alice Liddell", "/m/alice.mbx", "pw", "", kPrimary, why));
  ASSERT_TRUE(WriteAliasRecord("al", "alice", kPrimary, why));
  ASSERT_TRUE(WriteForwardRecord("bob", "bob@elsewhere.net", kPrimary, why));
  ASSERT_TRUE(WriteListRecord("fans", "Fan club", "fans", "alice", kPrimary, why));
  ASSERT_TRUE(WriteResponderRecord("info", "Info desk", "info", kPrimary, why));
  ASSERT_TRUE(WriteCustomRecord("fax", "Fax gateway", 7, kPrimary, why));
  EXPECT_EQ(GetRaw("alice"), "u;Alice Liddell;/m/alice.mbx;pw;");
  EXPECT_EQ(GetRaw("al"), "a;alice");
  EXPECT_EQ(GetRaw("bob"), "f;bob@elsewhere.net");
  EXPECT_EQ(GetRaw("fans"), "l;Fan club;fans;alice");
  EXPECT_EQ(GetRaw("info"), "r;Info desk;info");
  EXPECT_EQ(GetRaw("fax"), "d;Fax gateway;7");
  // Replacing keeps one value under the name, whatever its case.
  ASSERT_TRUE(WriteAliasRecord("ALICE", "root", kPrimary, why));
  EXPECT_EQ(GetRaw("alice"), "a;root");
}

TEST_F(AccountsTest, WritersRefuseRecordsThatCouldNotBeReadBack) {
  std::string why;
  std::string longBox(90, 'm');
  // Each attempt must fail and leave the earlier record in place.
  PutRaw("carol", "u;Carol;c.mbx;;");
  EXPECT_FALSE(WriteUserRecord("carol", "Carol", longBox, "x", "", kPrimary, why));
  EXPECT_NE(why.find("at most 99"), std::string::npos) << why;
  EXPECT_FALSE(WriteUserRecord("carol", "Carol; Jr", "c.mbx", "", "", kPrimary, why));
  EXPECT_FALSE(WriteForwardRecord("carol", "a@b\r\nX-Evil: 1", kPrimary, why));
  EXPECT_FALSE(WriteAliasRecord("", "root", kPrimary, why));
  EXPECT_FALSE(WriteAliasRecord("bad\nname", "root", kPrimary, why));
  EXPECT_FALSE(WriteCustomRecord("carol", "x", -1, kPrimary, why));
  EXPECT_EQ(GetRaw("carol"), "u;Carol;c.mbx;;");
  // 99 characters is the longest record that still reads.
  std::string box99(99 - std::string("u;C;;;").size(), 'b');
  EXPECT_TRUE(WriteUserRecord("carol", "C", box99, "", "", kPrimary, why)) << why;
  std::string record;
  EXPECT_TRUE(LookupAccount("carol", record, kPrimary, false));
  EXPECT_EQ(record.size(), 99u);
}

TEST_F(AccountsTest, RecordOfHundredCharactersReadsAsMissing) {
  PutRaw("long", "u;L;" + std::string(96, 'x'));  // 100 characters
  std::string record;
  EXPECT_FALSE(LookupAccount("long", record, kPrimary, false));
  EXPECT_EQ(GetAccountType("long", kPrimary), kAccountNone);
  PutRaw("long", "u;L;" + std::string(95, 'x'));  // 99 characters
  EXPECT_TRUE(LookupAccount("long", record, kPrimary, false));
}

TEST_F(AccountsTest, AddressWithDomainFindsItsLocalPart) {
  PutRaw("alice", "u;Alice;a.mbx;;");
  std::string record;
  EXPECT_TRUE(LookupAccount("alice@mail.example.org", record, kPrimary, true));
  EXPECT_EQ(record, "u;Alice;a.mbx;;");
  EXPECT_TRUE(LookupAccount("ALICE", record, kPrimary, true));  // names ignore case
  EXPECT_FALSE(LookupAccount("@alice", record, kPrimary, true));
  EXPECT_FALSE(LookupAccount("nobody", record, kPrimary, true));
  PutRaw("empty", "");
  EXPECT_FALSE(LookupAccount("empty", record, kPrimary, true));
}

TEST_F(AccountsTest, AliasesAreFollowedOnlyWhenAsked) {
  PutRaw("root", "u;Root;root.mbx;;");
  PutRaw("postmaster", "a;root");
  PutRaw("pm", "A;postmaster");
  std::string record;
  EXPECT_TRUE(LookupAccount("pm", record, kPrimary, false));
  EXPECT_EQ(record, "A;postmaster");
  EXPECT_TRUE(LookupAccount("pm", record, kPrimary, true));
  EXPECT_EQ(record, "u;Root;root.mbx;;");
  AccountRecord rec;
  ASSERT_TRUE(ReadAccount("pm@x", kPrimary, true, rec));
  EXPECT_EQ(rec.name, "root");
  EXPECT_EQ(rec.type, kAccountUser);
  EXPECT_EQ(GetAccountType("pm", kPrimary), kAccountAlias);
}

TEST_F(AccountsTest, AliasLeadingOffTheMachineIsNotFound) {
  PutRaw("away", "a;someone@remote.net");
  PutRaw("bang", "a;host!user");
  std::string record, name;
  EXPECT_FALSE(LookupAccount("away", record, kPrimary, true));
  EXPECT_FALSE(LookupAccount("bang", record, kPrimary, true));
  EXPECT_FALSE(ResolveAccountName("away", name, kPrimary));
  EXPECT_TRUE(LookupAccount("away", record, kPrimary, false));
}

TEST_F(AccountsTest, AliasLoopEndsAsNotFound) {
  PutRaw("ping", "a;pong");
  PutRaw("pong", "a;ping");
  PutRaw("self", "a;self");
  std::string record, name;
  EXPECT_FALSE(LookupAccount("ping", record, kPrimary, true));
  EXPECT_FALSE(LookupAccount("self", record, kPrimary, true));
  EXPECT_FALSE(ResolveAccountName("ping", name, kPrimary));
  EXPECT_FALSE(CheckPassword("self", "x", "", kPrimary));
  // The access walk also stops, with the default mask.
  EXPECT_EQ(GetUserAccess("ping", kPrimary), 19u);
}

TEST_F(AccountsTest, AliasChainUpToTheLimitResolves) {
  PutRaw("a0", "u;End;end.mbx;;");
  for (int i = 1; i <= kMaxAliasSteps + 1; ++i)
    PutRaw("a" + std::to_string(i), "a;a" + std::to_string(i - 1));
  std::string name;
  EXPECT_TRUE(ResolveAccountName("a" + std::to_string(kMaxAliasSteps), name, kPrimary));
  EXPECT_EQ(name, "a0");
  EXPECT_FALSE(ResolveAccountName("a" + std::to_string(kMaxAliasSteps + 1), name, kPrimary));
}

TEST_F(AccountsTest, ResolveDoesNotCutAtTheAtSign) {
  PutRaw("root", "u;Root;root.mbx;;");
  PutRaw("odd@name", "a;root");
  std::string name;
  EXPECT_TRUE(ResolveAccountName("odd@name", name, kPrimary));
  EXPECT_EQ(name, "root");
  EXPECT_FALSE(ResolveAccountName("root@name", name, kPrimary));
  EXPECT_FALSE(ResolveAccountName("missing", name, kPrimary));
  EXPECT_TRUE(ResolveAccountName("Root", name, kPrimary));
}

TEST_F(AccountsTest, Accessors) {
  PutRaw("alice", "u;Alice L;/m/alice.mbx;SCRAMBLED;copy@x.org");
  PutRaw("bert", "u;Bert;null;;");
  PutRaw("al", "a;alice");
  PutRaw("fwd", "f;far@away.org");
  PutRaw("fans", "l;Fan club;C:\\lists\\fans.cfl;alice");
  PutRaw("bare", "l;Bare;bare");
  PutRaw("info", "r;Info desk;info");
  PutRaw("ls", "r;;");
  PutRaw("fax", "d;Fax;12");
  PutRaw("nofax", "d;Fax;");
  PutRaw("badfax", "d;Fax;1x");
  std::string out;

  EXPECT_TRUE(GetUserName("al", out, kPrimary));
  EXPECT_EQ(out, "Alice L");
  EXPECT_TRUE(GetUserName("fans", out, kPrimary));
  EXPECT_EQ(out, "Fan club");
  EXPECT_FALSE(GetUserName("fwd", out, kPrimary));
  EXPECT_TRUE(GetUserName("info", out, kPrimary));
  EXPECT_EQ(out, "Info desk");

  EXPECT_TRUE(GetMailboxPath("al", out, kPrimary, true));
  EXPECT_EQ(out, "/m/alice.mbx");
  EXPECT_FALSE(GetMailboxPath("al", out, kPrimary, false));
  EXPECT_TRUE(GetMailboxPath("bert", out, kPrimary, false));
  EXPECT_EQ(out, "null");
  EXPECT_FALSE(GetMailboxPath("fwd", out, kPrimary, true));
  EXPECT_TRUE(GetPassword("al", out, kPrimary));
  EXPECT_EQ(out, "SCRAMBLED");
  EXPECT_TRUE(GetPassword("bert", out, kPrimary));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(GetPassword("fans", out, kPrimary));
  EXPECT_TRUE(GetCarbonCopy("al", out, kPrimary));
  EXPECT_EQ(out, "copy@x.org");
  EXPECT_TRUE(GetCarbonCopy("bert", out, kPrimary));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(GetCarbonCopy("fwd", out, kPrimary));

  EXPECT_TRUE(GetAliasTarget("al", out, kPrimary));
  EXPECT_EQ(out, "alice");
  EXPECT_FALSE(GetAliasTarget("alice", out, kPrimary));
  EXPECT_TRUE(GetForwardAddress("fwd", out, kPrimary));
  EXPECT_EQ(out, "far@away.org");
  EXPECT_FALSE(GetForwardAddress("al", out, kPrimary));

  EXPECT_TRUE(GetAccountConfigName("fans", out, kPrimary));
  EXPECT_EQ(out, "fans.cfl");
  EXPECT_TRUE(GetAccountConfigName("bare", out, kPrimary));
  EXPECT_EQ(out, "bare");
  EXPECT_TRUE(GetAccountConfigName("info", out, kPrimary));
  EXPECT_EQ(out, "info");
  EXPECT_TRUE(GetAccountConfigName("ls", out, kPrimary));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(GetAccountConfigName("alice", out, kPrimary));

  EXPECT_TRUE(GetListOwner("fans", out, kPrimary));
  EXPECT_EQ(out, "alice");
  EXPECT_TRUE(GetListOwner("bare", out, kPrimary));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(GetListOwner("info", out, kPrimary));

  EXPECT_EQ(GetHandlerNumber("fax", kPrimary), 12);
  EXPECT_EQ(GetHandlerNumber("nofax", kPrimary), -1);
  EXPECT_EQ(GetHandlerNumber("badfax", kPrimary), -1);
  EXPECT_EQ(GetHandlerNumber("alice", kPrimary), -1);
  EXPECT_EQ(GetHandlerNumber("missing", kPrimary), -1);
}

// A list's configuration name or a plug-in number is no mailbox: taking it for one
// would let POP3 or RMCP open (and rewrite) a file of that name.
TEST_F(AccountsTest, OnlyUsersHaveMailboxPaths) {
  PutRaw("fans", "l;Fans;fans;root");
  PutRaw("fax", "d;Fax;3");
  PutRaw("info", "r;Info;info");
  std::string out;
  for (const char* name : {"fans", "fax", "info"}) {
    EXPECT_FALSE(GetMailboxPath(name, out, kPrimary, true)) << name;
    EXPECT_EQ(out, "") << name;
  }
}

TEST_F(AccountsTest, UpperCaseUserRecordIsAUser) {
  PutRaw("up", "U;Upper;up.mbx;;");
  std::string out;
  EXPECT_EQ(GetAccountType("up", kPrimary), kAccountUser);
  EXPECT_TRUE(GetMailboxPath("up", out, kPrimary, true));
  EXPECT_EQ(out, "up.mbx");
}

TEST_F(AccountsTest, DeleteAccountRemovesTheValue) {
  PutRaw("gone", "u;G;g.mbx;;");
  EXPECT_TRUE(DeleteAccount("GONE", kPrimary));
  EXPECT_EQ(GetAccountType("gone", kPrimary), kAccountNone);
  std::vector<std::string> names = ConfigListValueNames("Users");
  EXPECT_EQ(std::count(names.begin(), names.end(), "gone"), 0);
}

TEST_F(AccountsTest, SecondaryDomainHasItsOwnAccounts) {
  std::string why, out;
  ASSERT_TRUE(WriteUserRecord("alice", "Primary Alice", "p.mbx", "", "", kPrimary, why));
  ASSERT_TRUE(WriteUserRecord("alice", "Virtual Alice", "v.mbx", "", "", "virt.example", why));
  EXPECT_EQ(GetRaw("alice", "virt.example"), "u;Virtual Alice;v.mbx;;");
  EXPECT_TRUE(GetUserName("alice", out, "virt.example"));
  EXPECT_EQ(out, "Virtual Alice");
  EXPECT_TRUE(GetUserName("alice", out, kPrimary));
  EXPECT_EQ(out, "Primary Alice");
  EXPECT_EQ(GetAccountType("alice", "other.example"), kAccountNone);
  EXPECT_TRUE(DeleteAccount("alice", "virt.example"));
  EXPECT_EQ(GetAccountType("alice", "virt.example"), kAccountNone);
  EXPECT_EQ(GetAccountType("alice", kPrimary), kAccountUser);
}

TEST_F(AccountsTest, EnumerationListsAccountsWithDisplayText) {
  PutRaw("root", "u;Root User;root.mbx;;");
  PutRaw("postmaster", "a;root");
  PutRaw("fwd", "f;x@y.org");
  PutRaw("fans", "l;Fan club;fans;root");
  PutRaw("info", "r;Info;info");
  PutRaw("fax", "d;Fax;2");
  PutRaw("junk", "x;what");
  PutRaw("blank", "");
  PutRaw("odd@name", "a;root");   // reached by name, never listed
  PutRaw("odd!name", "a;root");
  PutRaw("odd@user", "u;Odd;o.mbx;;");  // only aliases are hidden for '@'
  PutRaw(std::string(100, 'n'), "u;Long;l.mbx;;");
  std::vector<AccountEntry> seen;
  AccountEnum e;
  ASSERT_TRUE(BeginAccountEnum(kPrimary, e));
  AccountEntry entry;
  while (NextAccount(e, entry)) seen.push_back(entry);
  EXPECT_FALSE(NextAccount(e, entry));
  struct Want {
    const char* name;
    AccountType type;
    const char* display;
  } want[] = {
      {"root", kAccountUser, "Root User"},  {"postmaster", kAccountAlias, "Root User"},
      {"fwd", kAccountForward, ""},         {"fans", kAccountList, "Fan club"},
      {"info", kAccountResponder, "Info"},  {"fax", kAccountCustom, "Fax"},
      {"odd@user", kAccountUser, "Odd"},
  };
  ASSERT_EQ(seen.size(), std::size(want));
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].name, want[i].name);
    EXPECT_EQ(seen[i].type, want[i].type) << want[i].name;
    EXPECT_EQ(seen[i].displayText, want[i].display) << want[i].name;
  }
  std::string name;
  EXPECT_TRUE(ResolveAccountName("odd@name", name, kPrimary));
}

TEST_F(AccountsTest, EnumerationOfAnEmptyOrMissingDomain) {
  AccountEnum e;
  ASSERT_TRUE(BeginAccountEnum("nowhere.example", e));
  AccountEntry entry;
  EXPECT_FALSE(NextAccount(e, entry));
  EXPECT_EQ(ForEachAccount("nowhere.example", [](const AccountEntry&) { return true; }), 0);
}

// A big domain must be listed whole: the integrity check and the account-log walk
// rely on seeing every account.
TEST_F(AccountsTest, EnumerationDoesNotDropAccountsOfALargeDomain) {
  const int kCount = 2000;  // well past what a 16 KB block of names holds
  for (int i = 0; i < kCount; ++i)
    PutRaw("user-with-a-longish-name-" + std::to_string(i), "f;x@y.org");
  int seen = ForEachAccount(kPrimary, [](const AccountEntry&) { return true; });
  EXPECT_EQ(seen, kCount);
  int stopped = 0;
  ForEachAccount(kPrimary, [&](const AccountEntry&) { return ++stopped < 5; });
  EXPECT_EQ(stopped, 5);
}

TEST_F(AccountsTest, EnumerationSeesRecordsAsTheyAreWhenReached) {
  PutRaw("one", "u;One;1.mbx;;");
  PutRaw("two", "u;Two;2.mbx;;");
  AccountEnum e;
  ASSERT_TRUE(BeginAccountEnum(kPrimary, e));
  ASSERT_TRUE(DeleteAccount("two", kPrimary));
  AccountEntry entry;
  ASSERT_TRUE(NextAccount(e, entry));
  EXPECT_EQ(entry.name, "one");
  EXPECT_FALSE(NextAccount(e, entry));  // deleted meanwhile: skipped, not a crash
}

TEST_F(AccountsTest, AccessMaskFromUserExtraOrTheDefault) {
  PutRaw("alice", "u;Alice;a.mbx;;");
  PutRaw("al", "a;alice");
  ServerSettings().sysAccessDef = 21;
  struct Case {
    const char* extra;  // null: no record
    uint32_t mask;
  } cases[] = {
      {nullptr, 21},        {"", 21},           {"9;;", 9},           {"9", 9},
      {"0;a@b;f.txt", 0},   {";;", 0},          {"9x;;", 21},         {"x;;", 21},
      {"-1;;", 21},         {" 9;;", 21},       {"4294967295;;", 0xFFFFFFFFu},
      {"4294967296;;", 21}, {"99999999999999999999999;;", 21},
  };
  for (const Case& c : cases) {
    if (c.extra)
      ASSERT_TRUE(ConfigSetString("UserExtra", "alice", c.extra));
    else
      ConfigSetString("UserExtra", "alice", nullptr);
    EXPECT_EQ(GetUserAccess("alice", kPrimary), c.mask) << (c.extra ? c.extra : "(none)");
    EXPECT_EQ(GetUserAccess("al", kPrimary), c.mask) << "via alias";
  }
}

TEST_F(AccountsTest, AccessRecordRoundTrip) {
  std::string why;
  UserExtra extra;
  extra.accessMask = kAccessPop3 | kAccessFinger | kAccessRemoteFinger;
  extra.fingerAddress = "watcher@example.net";
  extra.fingerFile = "/srv/plan.txt";
  ASSERT_TRUE(WriteUserExtra("alice", extra, "virt.example", why)) << why;
  EXPECT_EQ(ConfigGetText("UserExtra", "alice", "", "virt.example"),
            "49;watcher@example.net;/srv/plan.txt");
  UserExtra back;
  ASSERT_TRUE(ReadUserExtra("ALICE", "virt.example", back));
  EXPECT_EQ(back.accessMask, extra.accessMask);
  EXPECT_EQ(back.fingerAddress, extra.fingerAddress);
  EXPECT_EQ(back.fingerFile, extra.fingerFile);
  EXPECT_FALSE(ReadUserExtra("alice", kPrimary, back));
  extra.fingerFile = "a;b";
  EXPECT_FALSE(WriteUserExtra("alice", extra, kPrimary, why));
  extra.fingerFile = std::string(201, 'f');
  EXPECT_FALSE(WriteUserExtra("alice", extra, kPrimary, why));
}

}  // namespace
