// Secondary domains and the reserved accounts.
#include <algorithm>
#include <string>

#include "server/accounts/accounts.h"
#include "server/core/log.h"
#include "tests/accounts/accounts_fixture.h"

namespace {

const std::string kPrimary;

bool WindowHas(const std::string& text) {
  for (const std::string& line : WindowLogLines())
    if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
      return true;
  return false;
}

class DomainsTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    std::string why;
    ASSERT_TRUE(LoadSecondaryDomains(why));  // an empty table for each test
  }
  void PutSlot(int slot, const std::string& text) {
    ASSERT_TRUE(ConfigSetString("VirtualDomains", ("Domain" + std::to_string(slot)).c_str(),
                                text.c_str()));
  }
  void PutCounters(long num, long actual) {
    ASSERT_TRUE(ConfigSetNumber("VirtualDomains", "NumDomains", num));
    ASSERT_TRUE(ConfigSetNumber("VirtualDomains", "NumActualDomains", actual));
  }
  long Counter(const char* name) { return ConfigGetNumber("VirtualDomains", name, -99); }
  std::vector<std::string> LoadedNames() {
    std::vector<std::string> names;
    for (const SecondaryDomain& d : SecondaryDomains()) names.push_back(d.name);
    return names;
  }
};

TEST_F(DomainsTest, LoadReadsSlotsInOrderAndLogs) {
  PutCounters(3, 2);
  PutSlot(3, "Third;third.example");
  PutSlot(1, "First;first.example");
  std::string why;
  ASSERT_TRUE(LoadSecondaryDomains(why));
  std::vector<SecondaryDomain> table = SecondaryDomains();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].slot, 1);
  EXPECT_EQ(table[0].description, "First");
  EXPECT_EQ(table[0].name, "first.example");
  EXPECT_EQ(table[1].slot, 3);
  EXPECT_TRUE(WindowHas("Searching for secondary domains..."));
  EXPECT_TRUE(WindowHas("Added secondary domain: third.example"));
  // A free slot between two domains is normal, not a configuration error.
  EXPECT_EQ(why, "");
  EXPECT_EQ(ListDomains(), (std::vector<std::string>{"", "first.example", "third.example"}));

  int cursor = 0;
  std::string desc, name;
  EXPECT_EQ(NextSecondaryDomain(cursor, true, desc, name), 1);
  EXPECT_EQ(desc, "First");
  EXPECT_EQ(NextSecondaryDomain(cursor, false, desc, name), 3);
  EXPECT_EQ(name, "third.example");
  EXPECT_EQ(NextSecondaryDomain(cursor, false, desc, name), -1);
  EXPECT_EQ(NextSecondaryDomain(cursor, true, desc, name), 1);
}

TEST_F(DomainsTest, LoadSkipsBadSlotsAndKeepsGoing) {
  struct Case {
    const char* slots[4];
    long num, actual;
    std::vector<std::string> loaded;
    const char* why;
  } cases[] = {
      {{"A;a.example", "garbage", "C;c.example", nullptr}, 3, 3, {"a.example", "c.example"},
       "SVD: Error in config file."},
      {{"A;a.example", "B;", "C;c.example", nullptr}, 3, 3, {"a.example", "c.example"},
       "SVD: Error in config file."},
      // NumActualDomains caps the load; NumDomains bounds the slots.
      {{"A;a.example", "B;b.example", "C;c.example", nullptr}, 3, 1, {"a.example"}, ""},
      {{"A;a.example", "B;b.example", "C;c.example", nullptr}, 2, 3,
       {"a.example", "b.example"}, ""},
      {{"A;a.example", nullptr}, 0, 1, {}, ""},
      {{"A;a.example", nullptr}, -5, 1, {}, ""},
      // The description may hold anything but ';'; the name is the rest.
      {{";bare.example", nullptr}, 1, 1, {"bare.example"}, ""},
  };
  for (const Case& c : cases) {
    RegDeleteKeyTree(ConfigKeyPath("VirtualDomains"));
    PutCounters(c.num, c.actual);
    for (int i = 0; i < 4 && c.slots[i]; ++i) PutSlot(i + 1, c.slots[i]);
    std::string why;
    ASSERT_TRUE(LoadSecondaryDomains(why));
    EXPECT_EQ(LoadedNames(), c.loaded) << c.num << "/" << c.actual;
    EXPECT_EQ(why, c.why) << c.num << "/" << c.actual;
  }
}

// A damaged NumDomains must not turn start-up into billions of registry reads.
TEST_F(DomainsTest, HugeSlotCountDoesNotHangTheLoad) {
  PutCounters(2000000000, 5);
  PutSlot(7, "Seven;seven.example");
  PutSlot(1999999999, "Far;far.example");
  std::string why;
  ASSERT_TRUE(LoadSecondaryDomains(why));
  EXPECT_EQ(LoadedNames(), (std::vector<std::string>{"seven.example", "far.example"}));
}

TEST_F(DomainsTest, LoadStopsAtTheLimit) {
  PutCounters(kMaxSecondaryDomains + 10, kMaxSecondaryDomains + 10);
  for (int i = 1; i <= kMaxSecondaryDomains + 10; ++i)
    PutSlot(i, "D;d" + std::to_string(i) + ".example");
  std::string why;
  ASSERT_TRUE(LoadSecondaryDomains(why));
  EXPECT_EQ(int(SecondaryDomains().size()), kMaxSecondaryDomains);
}

TEST_F(DomainsTest, AddWritesSlotAccountsAndCounters) {
  std::string why;
  int slot = AddSecondaryDomain("Virtual one", "virt.example", why);
  ASSERT_EQ(slot, 1) << why;
  EXPECT_EQ(ConfigGetText("VirtualDomains", "Domain1", ""), "Virtual one;virt.example");
  EXPECT_EQ(Counter("NumDomains"), 1);
  EXPECT_EQ(Counter("NumActualDomains"), 1);
  struct Want {
    const char* name;
    const char* record;
  } want[] = {
      {"root", "f;root@mail.example.org"}, {"unknown", "a;root"},
      {"mail-daemon", "a;root"},           {"listserver", "r;;"},
      {"postmaster", "a;root"},            {"listproc", "a;listserver"},
      {"listserv", "a;listserver"},        {"majordomo", "a;listserver"},
  };
  for (const Want& w : want) EXPECT_EQ(GetRaw(w.name, "virt.example"), w.record) << w.name;
  // Nothing was written into the primary domain.
  EXPECT_TRUE(ConfigListValueNames("Users").empty());
  std::string name;
  EXPECT_TRUE(GetSecondaryDomainName(1, name));
  EXPECT_EQ(name, "virt.example");
  // The loaded table (the router's) changes only at the next load, i.e. restart.
  EXPECT_TRUE(SecondaryDomains().empty());
}

TEST_F(DomainsTest, FreedMiddleSlotIsReusedFirst) {
  std::string why;
  ASSERT_EQ(AddSecondaryDomain("One", "one.example", why), 1);
  ASSERT_EQ(AddSecondaryDomain("Two", "two.example", why), 2);
  ASSERT_EQ(AddSecondaryDomain("Three", "three.example", why), 3);
  ASSERT_TRUE(RemoveSecondaryDomain(2, why)) << why;
  EXPECT_EQ(ConfigGetText("VirtualDomains", "Domain2", "x"), "");
  EXPECT_EQ(Counter("NumDomains"), 3);
  EXPECT_EQ(Counter("NumActualDomains"), 2);
  // The domain's own key stays.
  EXPECT_EQ(GetAccountType("root", "two.example"), kAccountForward);
  std::string name;
  EXPECT_FALSE(GetSecondaryDomainName(2, name));

  ASSERT_EQ(AddSecondaryDomain("Four", "four.example", why), 2);
  EXPECT_EQ(Counter("NumDomains"), 3);
  EXPECT_EQ(Counter("NumActualDomains"), 3);
  ASSERT_EQ(AddSecondaryDomain("Five", "five.example", why), 4);
  EXPECT_EQ(Counter("NumDomains"), 4);
  ASSERT_TRUE(LoadSecondaryDomains(why));
  EXPECT_EQ(LoadedNames(), (std::vector<std::string>{"one.example", "four.example",
                                                     "three.example", "five.example"}));
}

TEST_F(DomainsTest, SlotMissingBelowNumDomainsCountsAsFree) {
  PutCounters(3, 2);
  PutSlot(1, "One;one.example");
  PutSlot(3, "Three;three.example");
  std::string why;
  EXPECT_EQ(AddSecondaryDomain("Two", "two.example", why), 2);
  EXPECT_EQ(Counter("NumDomains"), 3);
  EXPECT_EQ(Counter("NumActualDomains"), 3);
}

TEST_F(DomainsTest, FreeSlotIsFoundEvenWhenTheCountersDisagree) {
  PutCounters(3, 3);  // written by hand: says every slot is in use
  PutSlot(1, "One;one.example");
  PutSlot(2, "");
  PutSlot(3, "Three;three.example");
  std::string why;
  EXPECT_EQ(AddSecondaryDomain("Two", "two.example", why), 2);
  EXPECT_EQ(Counter("NumDomains"), 3);
  SecondaryDomain d;
  ASSERT_TRUE(ReadSecondaryDomainSlot(2, d));
  EXPECT_EQ(d.description + "/" + d.name, "Two/two.example");
  EXPECT_FALSE(ReadSecondaryDomainSlot(4, d));
  std::vector<int> slots;
  for (const SecondaryDomain& e : ReadSecondaryDomainSlots()) slots.push_back(e.slot);
  EXPECT_EQ(slots, (std::vector<int>{1, 2, 3}));
}

TEST_F(DomainsTest, AddRefusesBadOrDuplicateDomains) {
  std::string why;
  ASSERT_EQ(AddSecondaryDomain("One", "one.example", why), 1);
  struct Case {
    const char* description;
    const char* name;
  } cases[] = {
      {"Dup", "one.example"}, {"Dup", "ONE.Example"}, {"Empty", ""},
      {"Semi", "a;b"},        {"Key", "a\\b"},        {"Slash", "a/b"},
      {"D;x", "ok.example"},  {"Line", "x\r\ny"},  {"Tab", "x\ty"},
      {"Bell\a", "bell.example"},
  };
  for (const Case& c : cases) {
    why.clear();
    EXPECT_EQ(AddSecondaryDomain(c.description, c.name, why), -1) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
  // The server reads both through 100-byte buffers.
  EXPECT_EQ(AddSecondaryDomain("Long", std::string(100, 'n'), why), -1);
  EXPECT_EQ(AddSecondaryDomain(std::string(100, 'd'), "long.example", why), -1);
  EXPECT_EQ(Counter("NumDomains"), 1);
  EXPECT_EQ(Counter("NumActualDomains"), 1);
}

TEST_F(DomainsTest, RemoveRefusesSlotsNotInUse) {
  std::string why;
  ASSERT_EQ(AddSecondaryDomain("One", "one.example", why), 1);
  ASSERT_TRUE(RemoveSecondaryDomain(1, why));
  // Freeing it again must not count the domains down a second time.
  for (int slot : {1, 0, -1, 2, 99}) EXPECT_FALSE(RemoveSecondaryDomain(slot, why)) << slot;
  EXPECT_EQ(Counter("NumActualDomains"), 0);
  EXPECT_EQ(Counter("NumDomains"), 1);
}

TEST_F(DomainsTest, EveryDomainIsWalkedForAccounts) {
  std::string why;
  ASSERT_TRUE(WriteListRecord("fans", "Fans", "fans", "root", kPrimary, why));
  ASSERT_GT(AddSecondaryDomain("V", "virt.example", why), 0);
  ASSERT_TRUE(WriteListRecord("club", "Club", "club", "root", "virt.example", why));
  ASSERT_TRUE(LoadSecondaryDomains(why));
  std::vector<std::string> lists;
  for (const std::string& domain : ListDomains()) {
    ForEachAccount(domain, [&](const AccountEntry& e) {
      if (e.type == kAccountList || e.type == kAccountResponder)
        lists.push_back(domain + "/" + e.name);
      return true;
    });
  }
  std::sort(lists.begin(), lists.end());
  EXPECT_EQ(lists, (std::vector<std::string>{"/fans", "virt.example/club",
                                             "virt.example/listserver"}));
}

TEST_F(DomainsTest, StandardAccountsOfThePrimaryDomain) {
  std::string why;
  ASSERT_TRUE(EnsureStandardAccounts(kPrimary, true, why)) << why;
  EXPECT_EQ(GetRaw("root"), "u;root user;" + dir_ + "/users/root.mbx;;");
  EXPECT_EQ(GetRaw("unknown"), "a;root");
  EXPECT_EQ(GetRaw("mail-daemon"), "a;root");
  EXPECT_EQ(GetRaw("listserver"), "r;;");
  EXPECT_EQ(GetRaw("postmaster"), "a;root");
  // Existing records are left alone; a deleted root comes back.
  PutRaw("postmaster", "a;alice");
  ASSERT_TRUE(DeleteAccount("root", kPrimary));
  ASSERT_TRUE(EnsureStandardAccounts(kPrimary, true, why));
  EXPECT_EQ(GetRaw("postmaster"), "a;alice");
  EXPECT_EQ(GetAccountType("root", kPrimary), kAccountUser);
}

TEST_F(DomainsTest, SecondaryRootNeedsThisHostsName) {
  ServerSettings().localNode.clear();
  std::string why;
  EXPECT_FALSE(EnsureStandardAccounts("virt.example", false, why));
  EXPECT_FALSE(why.empty());
  // The others are still written; root is not written as "root@".
  EXPECT_EQ(GetAccountType("root", "virt.example"), kAccountNone);
  EXPECT_EQ(GetRaw("postmaster", "virt.example"), "a;root");
  ASSERT_TRUE(ConfigSetString("", "LocalNode", "stored.example"));
  EXPECT_TRUE(EnsureStandardAccounts("virt.example", false, why));
  EXPECT_EQ(GetRaw("root", "virt.example"), "f;root@stored.example");
}

TEST_F(DomainsTest, SmtpStartEnsuresRootPostmasterAndListServer) {
  struct Case {
    const char* listserverBefore;  // null: none
    const char* listserverAfter;
  } cases[] = {
      {nullptr, "r;ListServer;"},
      {"r;;", "r;ListServer;"},
      {"u;Someone;s.mbx;;", "r;ListServer;"},
      {"l;Lists;listserver;root", "l;Lists;listserver;root"},
      {"L;Lists;listserver;root", "L;Lists;listserver;root"},
  };
  for (const Case& c : cases) {
    RegDeleteKeyTree(ConfigKeyPath("Users"));
    if (c.listserverBefore) PutRaw("listserver", c.listserverBefore);
    std::string why;
    ASSERT_TRUE(EnsureReservedAccounts(why)) << why;
    EXPECT_EQ(GetRaw("root"), "u;root;" + dir_ + "/users/root.mbx;;");
    EXPECT_EQ(GetRaw("postmaster"), "a;root");
    EXPECT_EQ(GetRaw("listserver"), c.listserverAfter);
  }
  // An existing root is kept as it is.
  PutRaw("root", "f;admin@elsewhere.net");
  std::string why;
  ASSERT_TRUE(EnsureReservedAccounts(why));
  EXPECT_EQ(GetRaw("root"), "f;admin@elsewhere.net");
}

TEST_F(DomainsTest, ReservedNames) {
  for (const char* name : {"root", "ROOT", "postmaster", "listserver", "unknown", "mail-daemon"})
    EXPECT_TRUE(IsReservedAccount(name)) << name;
  for (const char* name : {"", "rooter", "alice", "listproc", "root@x"})
    EXPECT_FALSE(IsReservedAccount(name)) << name;
}

}  // namespace
