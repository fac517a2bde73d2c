// corveladm import members and report members: the member messages, members
// already there (an alias of one included), the report's rules, compared whole
// with golden files; and a welcome file that reaches the new member's mailbox
// through a running corvel95.
#include <string>
#include <vector>

#include "server/admin/bulk.h"
#include "tests/admin/adm_fixture.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

// The list "club" (configuration "clubcfg") with `records` in User1.. and the
// counters as the slots say.
void MakeClub(const std::vector<std::string>& records) {
  std::string why;
  ASSERT_TRUE(WriteListRecord("club", "The Club", "clubcfg", "owner@remote.example", "", why));
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", "/m/alice.mbx", "", "", "", why));
  ASSERT_TRUE(WriteAliasRecord("sales", "alice", "", why));
  long actual = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    std::string slot = "User" + std::to_string(i + 1);
    ASSERT_TRUE(ConfigSetString("Users", slot.c_str(), records[i].c_str(), nullptr, "clubcfg"));
    actual += !records[i].empty();
  }
  ASSERT_TRUE(ConfigSetNumber("Users", "NumUsers", long(records.size()), nullptr, "clubcfg"));
  ASSERT_TRUE(ConfigSetNumber("Users", "ActualUsers", actual, nullptr, "clubcfg"));
}

struct MemberCase {
  const char* name;
  std::string input;
  std::vector<std::string> options;
};

TEST_F(AdmTest, ImportMembersGolden) {
  const MemberCase cases[] = {
      {"members_added", "  new@remote.example ,  New Member  # from the fair\r\n\r\n"
                        "# only a comment\r\nother@remote.example,\n",
       {"--no-skip-existing"}},
      {"members_first_separator", "new@remote.example,New\r\nno-separator\r\n",
       {"--no-skip-existing"}},
      {"members_exists", "new@remote.example,New\r\nKept@Remote.Example,Again\r\n",
       {"--no-skip-existing"}},
      {"members_alias_of_member", "sales@mail.example.org,Sales\r\n", {"--no-skip-existing"}},
      {"members_skip_existing", "kept@remote.example,Again\r\nsales,Sales\r\nnew@remote.example,N\r\n",
       {"--skip-existing"}},
      {"members_refused", "new@remote.example,New\r\nbad;address,Bad\r\n", {"--no-skip-existing"}},
      {"members_incomplete", "new@remote.example,New\r\nlast@remote.example,Last", {}},
  };
  for (const MemberCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetRegistry();
    // A record of the report's kinds: upper case, an empty slot, too few fields.
    MakeClub({"RA;Kept@Remote.Example;Kept Member;1700000000;", "", "r;onlyaddress",
              "ra;alice@mail.example.org;Alice;1700000000;"});
    WriteFile("input.txt", c.input);
    std::vector<std::string> args = {"import", "members", "club", "input.txt"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    std::string transcript = Transcript(command, Adm(args));
    ProgramRun report = Adm({"report", "members", "club", "report.txt"});
    transcript += Transcript("report members club report.txt", report) + "report.txt:\n" +
                  ReadFile("report.txt");
    ExpectGolden(std::string(c.name) + ".txt", transcript);
  }
}

TEST_F(AdmTest, MemberCommandsNeedAList) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", "/m/alice.mbx", "", "", "", why));
  for (std::vector<std::string> args :
       {std::vector<std::string>{"import", "members", "alice", "-", "--skip-existing"},
        {"report", "members", "nolist", "-"}}) {
    ProgramRun run = Adm(args);
    EXPECT_EQ(run.rc, 1) << args[2];
    EXPECT_EQ(run.err, "corveladm: no such list: " + args[2] + "\n");
  }
  EXPECT_EQ(Adm({"report", "members", "club"}).rc, 2);
}

// A member import beside the running server: the list's welcome file reaches the
// new member's mailbox with the subject "Welcome File", and the server's log tells.
class AdmServerTest : public AdmTest {
 protected:
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) (void)!system(("cat " + home_ + "maillog.txt").c_str());
    AdmTest::TearDown();
  }
  ServerProcess server_;
};

TEST_F(AdmServerTest, WelcomeFileReachesTheNewMember) {
  int port = FreeLoopbackPort();
  WriteLoopbackServerSettings(port);
  ASSERT_TRUE(RegSetString(kRootKey, "UserDirectory", home_));
  std::string why;
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", home_ + "alice.mbx", "", "", "", why));
  ASSERT_TRUE(WriteListRecord("club", "The Club", "club", "alice", "", why));
  ASSERT_TRUE(ConfigSetBool("Configuration", "SendWelcome", true, nullptr, "club"));
  ASSERT_TRUE(ConfigSetString("Configuration", "WelcomeFile", (home_ + "welcome.txt").c_str(),
                              nullptr, "club"));
  WriteFile("welcome.txt", "Welcome to the club.\r\nRead the rules.\r\n");
  RegCloseStore();
  ASSERT_TRUE(server_.Start(home_, port));

  ProgramRun run = Adm({"import", "members", "club", "-", "--no-skip-existing"},
                       "alice@mail.example.org, Alice A\r\n");
  ASSERT_EQ(run.rc, 0) << run.err;
  EXPECT_EQ(run.out, "Number of items added: 1\n");
  ASSERT_TRUE(WaitForMailboxMessages(home_ + "alice.mbx", 1, 15000));
  std::string box = ReadFile("alice.mbx");
  EXPECT_NE(box.find("\r\nSubject: Welcome File\r\n"), std::string::npos) << box;
  EXPECT_NE(box.find("\r\n\r\nWelcome to the club.\r\nRead the rules.\r\n"), std::string::npos)
      << box;
  EXPECT_NE(box.find("listserver@mail.example.org"), std::string::npos) << box;
  server_.Stop();
  EXPECT_NE(ReadFile("maillog.txt").find(
                "Welcome message (Bulk add) for list club to member alice@mail.example.org sent."),
            std::string::npos);
}

}  // namespace
