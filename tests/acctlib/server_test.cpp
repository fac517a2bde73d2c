// The library beside a running corvel95: what it adds, renames and deletes the
// server sees at once, and two programs adding the same names and creating
// domains while mail comes in get each name once, distinct slots and right
// counters, and lose no message.
#include <stdio.h>

#include <set>
#include <string>

#include "tests/acctlib/acctlib_fixture.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

constexpr uint32_t kWaitMs = 15000;
constexpr int kRaceNames = 1000;
constexpr int kRaceDomainsEach = 10;
constexpr int kMessages = 20;

std::string Client() {
  return std::string("python3 ") + CORVEL_SOURCE_DIR + "/tests/acctlib/mail_client.py ";
}

// Runs a command and gives its output and exit status.
int Capture(const std::string& command, std::string& out) {
  out.clear();
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class AcctlibServerTest : public AcctlibTest {
 protected:
  void SetUp() override {
    AcctlibTest::SetUp();
    if (HasFatalFailure()) return;
    for (const std::string& f : ListFiles(dir_, "*.mbx")) unlink((dir_ + f).c_str());
    port_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    RegSetDword(kRootKey, "SysAccess", 0x01);  // POP3 on, the other services off
    popPort_ = int(ConfigGetNumber("", "SysOptPop", 0));
    RegCloseStore();  // the library's own connection stays, as any program's would
    ASSERT_TRUE(server_.Start(dir_, port_)) << Read(dir_ + "out.txt");
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) (void)!system(("cat " + dir_ + "maillog.txt").c_str());
    AcctlibTest::TearDown();
  }
  static std::string Read(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
  }
  int Send(const std::string& to, int count = 1) {
    return system((Client() + "send " + std::to_string(port_) + " sender@remote.example " + to +
                   " " + std::to_string(count) + " >/dev/null")
                      .c_str()) >> 8;
  }
  // The number of messages after logging in, -1 when the login is refused.
  int Pop(const std::string& user, const std::string& password) {
    std::string out;
    int rc = Capture(Client() + "pop " + std::to_string(popPort_) + " " + user + " " + password,
                     out);
    return rc == 0 ? atoi(out.c_str()) : -1;
  }

  int port_ = 0, popPort_ = 0;
  ServerProcess server_;
};

TEST_F(AcctlibServerTest, AddedRenamedAndDeletedAccountsTakeEffectAtOnce) {
  AccountInfo alice = UserInfo("Alice", "Alice A", "secret1", dir_ + "alice.mbx");
  ASSERT_TRUE(AddUser(h_, &alice)) << std::hex << Err();
  ASSERT_EQ(Send("alice@mail.example.org"), 0);
  ASSERT_TRUE(WaitForMailboxMessages(dir_ + "alice.mbx", 1, kWaitMs));
  EXPECT_EQ(Pop("alice", "secret1"), 1);
  EXPECT_EQ(Pop("alice", "wrong"), -1);

  ASSERT_TRUE(RenameUser(h_, "alice", "alicia")) << std::hex << Err();
  EXPECT_EQ(Pop("alicia", "secret1"), 1);
  EXPECT_EQ(Pop("alice", "secret1"), -1);

  ASSERT_TRUE(DeleteUser(h_, "alicia", nullptr, ACCT_DELETE_UNUSED)) << std::hex << Err();
  EXPECT_EQ(Send("alicia@mail.example.org"), 2);
  EXPECT_EQ(Pop("alicia", "secret1"), -1);
}

TEST_F(AcctlibServerTest, TwoProgramsRacingGetEachNameOnceAndDistinctSlots) {
  AccountInfo bob = UserInfo("bob", "Bob", "secret1", dir_ + "bob.mbx");
  ASSERT_TRUE(AddUser(h_, &bob));
  std::string race = std::string(CORVEL_BIN_DIR) + "/acctlib_c_test race ";
  FILE* a = popen((race + "a").c_str(), "r");
  FILE* b = popen((race + "b").c_str(), "r");
  ASSERT_TRUE(a && b);
  // Mail keeps coming while both write.
  EXPECT_EQ(Send("bob@mail.example.org", kMessages), 0);
  int added = 0, exists = 0;
  for (FILE* p : {a, b}) {
    char line[128] = {};
    EXPECT_NE(fgets(line, sizeof line, p), nullptr);
    int ad = -1, ex = -1, dom = -1, other = -1;
    EXPECT_EQ(sscanf(line, "added %d exists %d domains %d other %d", &ad, &ex, &dom, &other), 4)
        << line;
    EXPECT_EQ(ad + ex, kRaceNames) << line;
    EXPECT_EQ(dom, kRaceDomainsEach) << line;
    EXPECT_EQ(other, 0) << line;
    added += ad;
    exists += ex;
    EXPECT_EQ(pclose(p), 0);
  }
  EXPECT_EQ(added, kRaceNames);
  EXPECT_EQ(exists, kRaceNames);
  ASSERT_TRUE(WaitForMailboxMessages(dir_ + "bob.mbx", kMessages, kWaitMs));

  std::string why;
  ASSERT_TRUE(RegOpenStore(dir_ + "registry.db", why)) << why;
  for (int i = 0; i < kRaceNames; ++i) {
    char name[16];
    snprintf(name, sizeof name, "n%04d", i);
    ASSERT_EQ(GetAccountType(name, ""), kAccountUser) << name;
  }
  EXPECT_EQ(ConfigGetNumber("VirtualDomains", "NumDomains", 0), 2 * kRaceDomainsEach);
  EXPECT_EQ(ConfigGetNumber("VirtualDomains", "NumActualDomains", 0), 2 * kRaceDomainsEach);
  std::set<std::string> names;
  std::set<int> slots;
  for (const SecondaryDomain& d : ReadSecondaryDomainSlots()) {
    names.insert(d.name);
    slots.insert(d.slot);
    EXPECT_EQ(Raw("postmaster", d.name), "a;root") << d.name;
  }
  EXPECT_EQ(names.size(), size_t(2 * kRaceDomainsEach));
  EXPECT_EQ(slots.size(), size_t(2 * kRaceDomainsEach));
  EXPECT_EQ(*slots.rbegin(), 2 * kRaceDomainsEach);
  RegCloseStore();
  server_.Stop();
  EXPECT_EQ(MailboxMessages(dir_ + "bob.mbx"), size_t(kMessages));
}

}  // namespace
