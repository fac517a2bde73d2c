// The library's walk over accounts, its domains and its handles.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/acctlib/acctlib_fixture.h"

namespace {

// Walks with GetUsers and gives "name:type" per account.
std::vector<std::string> Walk(AcctHandle* h, uint32_t mask, const char* name = nullptr) {
  std::vector<std::string> seen;
  uint32_t cursor = 0;
  while (AccountInfo* info = GetUsers(h, mask, name, &cursor)) {
    seen.push_back(std::string(info->name) + ":" + std::to_string(info->type));
    free(info);
  }
  return seen;
}

TEST_F(AcctlibTest, GetUsersWalksInStoredOrderAndFillsEveryField) {
  AccountInfo setup[] = {UserInfo("JSmith", "John", "secret1", "/m/j.mbx", "carol"),
                         MakeInfo(ACCT_TYPE_ALIAS, "js", "jsmith"),
                         ResponderInfo("desk", "Desk", ""),
                         MakeInfo(ACCT_TYPE_FORWARD, "away", "x@remote.example"),
                         ListInfo("club", "Club", "", "JSMITH")};
  for (const AccountInfo& info : setup) ASSERT_TRUE(AddUser(h_, &info));
  PutRaw("plugin", "d;Custom;1");                        // no type code: skipped
  PutRaw(std::string(65, 'n'), "f;x@y");                  // cannot be exchanged: skipped
  PutRaw("short", "u;Only");                              // lacks fields

  EXPECT_EQ(Walk(h_, ACCT_TYPE_ALL), (std::vector<std::string>{"JSmith:1", "js:2", "desk:4",
                                                                "away:8", "club:16", "short:1"}));
  EXPECT_EQ(Walk(h_, ACCT_TYPE_USER | ACCT_TYPE_LIST),
            (std::vector<std::string>{"JSmith:1", "club:16", "short:1"}));
  // A name is matched exactly, case included; mask 0 finds the references.
  EXPECT_EQ(Walk(h_, ACCT_TYPE_ALL, "JSmith"), (std::vector<std::string>{"JSmith:1"}));
  EXPECT_TRUE(Walk(h_, ACCT_TYPE_ALL, "jsmith").empty());
  EXPECT_TRUE(Walk(h_, ACCT_TYPE_ALIAS, "JSmith").empty());
  EXPECT_EQ(Walk(h_, 0, "jsmith"), (std::vector<std::string>{"js:2", "club:16"}));
  EXPECT_EQ(Walk(h_, 0, "carol"), (std::vector<std::string>{"JSmith:1"}));

  uint32_t cursor = 0;
  AccountInfo* user = GetUsers(h_, ACCT_TYPE_USER, nullptr, &cursor);
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(Err(), 0u);
  EXPECT_STREQ(user->field, "John");
  EXPECT_STREQ(user->u.user.password, "secret1");
  EXPECT_STREQ(user->u.user.mailbox, "/m/j.mbx");
  EXPECT_STREQ(user->u.user.carbonCopy, "carol");
  free(user);
  cursor = 0;
  AccountInfo* list = GetUsers(h_, ACCT_TYPE_LIST, nullptr, &cursor);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list->field, "Club");
  EXPECT_STREQ(list->u.list.configuration, "club");
  EXPECT_STREQ(list->u.list.owner, "JSMITH");
  free(list);
  cursor = 0;
  AccountInfo* shortRecord = GetUsers(h_, ACCT_TYPE_USER, "short", &cursor);
  ASSERT_NE(shortRecord, nullptr);  // still returned, with the error
  EXPECT_EQ(Err(), ACCT_ERR_MISSING_FIELD);
  EXPECT_STREQ(shortRecord->field, "Only");
  free(shortRecord);

  cursor = 0;
  EXPECT_EQ(GetUsers(h_, ACCT_TYPE_ALL, nullptr, nullptr), nullptr);
  EXPECT_EQ(Err(), ACCT_ERR_BAD_ARGUMENT);
  EXPECT_EQ(GetUsers(h_, 0, nullptr, &cursor), nullptr);
  EXPECT_EQ(Err(), ACCT_ERR_BAD_ARGUMENT);
}

TEST_F(AcctlibTest, WalkSkipsNothingWhenAccountsComeAndGo) {
  for (int i = 0; i < 60; ++i) {
    AccountInfo info = MakeInfo(ACCT_TYPE_FORWARD, "f" + std::to_string(i), "x@y");
    ASSERT_TRUE(AddUser(h_, &info));
  }
  std::vector<std::string> seen;
  uint32_t cursor = 0;
  while (AccountInfo* info = GetUsers(h_, ACCT_TYPE_FORWARD, nullptr, &cursor)) {
    seen.push_back(info->name);
    free(info);
    if (seen.size() == 20) {
      // One already read and one ahead go; one ahead is rewritten; one is added.
      ASSERT_TRUE(DeleteUser(h_, "f3", nullptr, ACCT_DELETE_FORCE));
      ASSERT_TRUE(DeleteUser(h_, "f40", nullptr, ACCT_DELETE_FORCE));
      AccountInfo changed = MakeInfo(ACCT_TYPE_FORWARD, "f41", "z@y");
      ASSERT_TRUE(ModifyUser(h_, &changed));
      AccountInfo added = MakeInfo(ACCT_TYPE_FORWARD, "late", "x@y");
      ASSERT_TRUE(AddUser(h_, &added));
    }
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 60; ++i)
    if (i != 40) expected.push_back("f" + std::to_string(i));
  expected.push_back("late");
  EXPECT_EQ(seen, expected);
}

TEST_F(AcctlibTest, DomainsAreCreatedInFreeSlotsAndDestroyedWhole) {
  EXPECT_EQ(FindDomain(h_, "Primary"), 0);
  EXPECT_EQ(FindDomain(h_, "PRIMARY"), 0);
  EXPECT_EQ(CreateVirtualDomain(h_, "one.example", "One"), 1);
  EXPECT_EQ(CreateVirtualDomain(h_, "two.example", "Two"), 2);
  EXPECT_EQ(CreateVirtualDomain(h_, "three.example", "Three"), 3);
  EXPECT_EQ(GetCurrentDomainID(h_), 3);
  // The standard accounts of a new domain.
  EXPECT_EQ(Raw("root", "two.example"), "f;root@mail.example.org");
  for (const char* alias : {"unknown", "mail-daemon", "postmaster"})
    EXPECT_EQ(Raw(alias, "two.example"), "a;root") << alias;
  for (const char* alias : {"listproc", "listserv", "majordomo"})
    EXPECT_EQ(Raw(alias, "two.example"), "a;listserver") << alias;
  EXPECT_EQ(AccountTypeOfRecord(Raw("listserver", "two.example")), kAccountResponder);

  ASSERT_TRUE(SelectDomainByID(h_, 2));
  AccountInfo list = ListInfo("club", "Club", "", "root");
  ASSERT_TRUE(AddUser(h_, &list));
  ASSERT_TRUE(ConfigSetString("Users", "User1", ";a@b;A;1;", "two.example", "club"));
  EXPECT_TRUE(DestroyVirtualDomain(h_, 2));
  EXPECT_EQ(GetCurrentDomainID(h_), 2);
  EXPECT_FALSE(RegKeyExists(ConfigKeyPath(nullptr, "two.example")));
  EXPECT_EQ(ConfigGetText("VirtualDomains", "Domain2", "x"), "");
  EXPECT_EQ(ConfigGetNumber("VirtualDomains", "NumDomains", 0), 3);
  EXPECT_EQ(ConfigGetNumber("VirtualDomains", "NumActualDomains", 0), 2);
  EXPECT_EQ(FindDomain(h_, "Two"), -1);
  EXPECT_EQ(CreateVirtualDomain(h_, "four.example", "Four"), 2);  // the freed slot
  EXPECT_EQ(CreateVirtualDomain(h_, "five.example", "Five"), 4);
  EXPECT_EQ(FindDomain(h_, "four"), 2);

  for (int n : {0, 9, -1}) {
    EXPECT_FALSE(DestroyVirtualDomain(h_, n)) << n;
    EXPECT_EQ(Err(), ACCT_ERR_OPEN_KEY) << n;
  }
  std::vector<std::string> seen;
  char buf[100];
  uint32_t cursor = 0;
  while (EnumDomains(h_, buf, sizeof buf, &cursor)) seen.push_back(buf);
  EXPECT_EQ(seen, (std::vector<std::string>{"Primary", "One", "Four", "Three", "Five"}));
}

TEST_F(AcctlibTest, DomainNamesTheServerCouldNotUseAreRefused) {
  ASSERT_TRUE(RegCreateKey(ConfigKeyPath("Users", "left.example")));  // a key left behind
  ASSERT_EQ(CreateVirtualDomain(h_, "one.example", "One"), 1);
  struct Case {
    std::string name, description;
    uint32_t error;
  } cases[] = {
      {"", "Empty", ACCT_ERR_ILLEGAL_CHAR},
      {std::string(100, 'n'), "Long", ACCT_ERR_ILLEGAL_CHAR},
      {"a;b", "Semi", ACCT_ERR_ILLEGAL_CHAR},
      {"a\\b", "Key", ACCT_ERR_ILLEGAL_CHAR},
      {"a/b", "Slash", ACCT_ERR_ILLEGAL_CHAR},
      {"a\tb", "Tab", ACCT_ERR_ILLEGAL_CHAR},
      {"ok.example", "D;x", ACCT_ERR_ILLEGAL_CHAR},
      {"left.example", "Left", ACCT_ERR_EXISTS},
      {"ONE.example", "Again", ACCT_ERR_EXISTS},
  };
  std::string before = Snapshot();
  for (const Case& c : cases) {
    EXPECT_EQ(CreateVirtualDomain(h_, c.name.c_str(), c.description.c_str()), -1) << c.name;
    EXPECT_EQ(Err(), c.error) << c.name;
    EXPECT_EQ(GetCurrentDomainID(h_), 1) << c.name;
    EXPECT_EQ(Snapshot(), before) << c.name;
  }
  EXPECT_EQ(CreateVirtualDomain(h_, nullptr, "x"), -1);
  EXPECT_EQ(CreateVirtualDomain(h_, std::string(99, 'n').c_str(), nullptr), 2);
}

TEST_F(AcctlibTest, AHandleWhoseDomainWasDestroyedWritesNothing) {
  ASSERT_EQ(CreateVirtualDomain(h_, "one.example", "One"), 1);
  AcctHandle* other = OpenUserDatabase();
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(DestroyVirtualDomain(other, 1));
  ASSERT_TRUE(CloseUserDatabase(other));
  std::string before = Snapshot();
  AccountInfo fwd = MakeInfo(ACCT_TYPE_FORWARD, "x", "x@y");
  EXPECT_FALSE(AddUser(h_, &fwd));
  EXPECT_EQ(Err(), ACCT_ERR_OPEN_KEY);
  EXPECT_FALSE(DeleteUser(h_, "root", nullptr, 4) && Err() != ACCT_ERR_RESERVED_DELETE);
  EXPECT_FALSE(DeleteUser(h_, "x", nullptr, 4));
  EXPECT_EQ(Err(), ACCT_ERR_OPEN_KEY);
  uint32_t cursor = 0;
  EXPECT_EQ(GetUsers(h_, ACCT_TYPE_ALL, nullptr, &cursor), nullptr);
  EXPECT_EQ(Err(), ACCT_ERR_OPEN_KEY);
  char buf[100];
  EXPECT_FALSE(GetCurrentDomain(h_, buf, sizeof buf));
  EXPECT_EQ(Err(), ACCT_ERR_OPEN_KEY);
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(AcctlibTest, TextOutputsFailRatherThanCut) {
  ASSERT_EQ(CreateVirtualDomain(h_, "virt.example", "Virtual"), 1);
  char buf[32];
  struct Case {
    int (*call)(AcctHandle*, char*, uint32_t);
    const char* text;
  } cases[] = {{GetCurrentDomain, "virt.example"}, {GetCurrentDomainDescription, "Virtual"}};
  for (const Case& c : cases) {
    uint32_t fit = uint32_t(std::strlen(c.text) + 1);
    std::memset(buf, '#', sizeof buf);
    EXPECT_TRUE(c.call(h_, buf, fit));
    EXPECT_STREQ(buf, c.text);
    std::memset(buf, '#', sizeof buf);
    EXPECT_FALSE(c.call(h_, buf, fit - 1));
    EXPECT_EQ(Err(), ACCT_ERR_BAD_ARGUMENT);
    EXPECT_EQ(buf[0], '#');
    EXPECT_FALSE(c.call(h_, nullptr, 100));
  }
  uint32_t cursor = 0;
  EXPECT_FALSE(EnumDomains(h_, buf, 7, &cursor));  // "Primary" needs 8
  EXPECT_EQ(Err(), ACCT_ERR_BAD_ARGUMENT);
  EXPECT_EQ(cursor, 0u);
  EXPECT_FALSE(EnumDomains(h_, buf, sizeof buf, nullptr));
}

TEST_F(AcctlibTest, OnlyThisMachineCanBeSelected) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  ASSERT_EQ(CreateVirtualDomain(h_, "virt.example", "Virtual"), 1);
  struct Case {
    std::string machine;
    bool ok;
  } cases[] = {{"", true},       {"localhost", true},   {"\\\\LOCALHOST", true},
               {host, true},     {"\\\\" + std::string(host), true},
               {"faraway", false}, {"\\\\faraway.example", false}};
  for (const Case& c : cases) {
    ASSERT_TRUE(SelectDomainByID(h_, 1));
    EXPECT_EQ(SetCurrentMachine(h_, c.machine.c_str()), c.ok ? 1 : 0) << c.machine;
    EXPECT_EQ(Err(), c.ok ? 0u : ACCT_ERR_MACHINE) << c.machine;
    EXPECT_EQ(GetCurrentDomainID(h_), 0) << c.machine;  // the primary domain either way
  }
  EXPECT_TRUE(SetCurrentMachine(h_, nullptr));
}

TEST_F(AcctlibTest, AnythingButALiveHandleFailsEveryCall) {
  AcctHandle* closed = OpenUserDatabase();
  ASSERT_NE(closed, nullptr);
  ASSERT_TRUE(CloseUserDatabase(closed));
  AcctHandle* next = OpenUserDatabase();  // a heap would hand the freed block back
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next, closed);
  int local = 0;
  AccountInfo info = MakeInfo(ACCT_TYPE_FORWARD, "x", "x@y");
  char buf[64];
  uint32_t cursor = 0;
  for (AcctHandle* bad : {closed, static_cast<AcctHandle*>(nullptr),
                          reinterpret_cast<AcctHandle*>(&local),
                          reinterpret_cast<AcctHandle*>(uintptr_t(0x1234))}) {
    EXPECT_EQ(GetLastUserError(bad), ACCT_ERR_BAD_HANDLE);
    EXPECT_EQ(GetCurrentDomainID(bad), -1);
    EXPECT_EQ(FindDomain(bad, "Primary"), -1);
    EXPECT_EQ(CreateVirtualDomain(bad, "x.example", "X"), -1);
    EXPECT_EQ(GetUsers(bad, ACCT_TYPE_ALL, nullptr, &cursor), nullptr);
    EXPECT_EQ(AddUser(bad, &info), 0);
    EXPECT_EQ(ModifyUser(bad, &info), 0);
    EXPECT_EQ(DeleteUser(bad, "x", nullptr, 0), 0);
    EXPECT_EQ(RenameUser(bad, "x", "y"), 0);
    EXPECT_EQ(SelectDomainByID(bad, 0), 0);
    EXPECT_EQ(SetCurrentMachine(bad, ""), 0);
    EXPECT_EQ(GetCurrentDomain(bad, buf, sizeof buf), 0);
    EXPECT_EQ(GetCurrentDomainDescription(bad, buf, sizeof buf), 0);
    EXPECT_EQ(EnumDomains(bad, buf, sizeof buf, &cursor), 0);
    EXPECT_EQ(DestroyVirtualDomain(bad, 1), 0);
    EXPECT_EQ(CloseUserDatabase(bad), 0);
  }
  EXPECT_EQ(local, 0);
  EXPECT_EQ(Raw("x"), "");
  EXPECT_TRUE(CloseUserDatabase(next));
}

}  // namespace
