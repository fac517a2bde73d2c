// inimove end to end: an old INI configuration moved into a fresh registry, the
// result compared whole, then served by corvel95 to real clients.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/run_tool.h"

namespace {

const std::string kInimove = CORVEL_BIN_DIR "/inimove";
const std::string kCorvelreg = CORVEL_BIN_DIR "/corvelreg";
const std::string kData = CORVEL_SOURCE_DIR "/tests/inimove/data/";

class InimoveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegCloseStore();
    char tmpl[] = "/tmp/corvel-inimove-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    old_ = home_ + "old/";
    ASSERT_TRUE(MakeDirectories(old_));
    for (const std::string& name : ListFiles(kData, "*"))
      WriteTestFile(old_ + name, ReplaceAll(ReadTestFile(kData + name), "@HOME@", home_));
  }
  void TearDown() override { (void)!system(("rm -rf '" + home_ + "'").c_str()); }
  ToolResult Move(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(kInimove, all, home_);
  }
  std::string Export() {
    return RunTool(kCorvelreg, {"--home", home_, "export", "SOFTWARE\\Tollgrove\\Corvel", "-"}, home_).out;
  }
  std::string home_, old_;
};

TEST_F(InimoveTest, OldConfigurationMovesWholeAndServesMail) {
  ToolResult r = Move({old_ + "CORVEL.INI"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* name : {"LocalNode", "alice", "friends", "User1", "first", "NumDomains", "info"})
    EXPECT_NE(r.out.find(std::string("Transferring: ") + name + "\n"), std::string::npos) << name;
  EXPECT_GOLDEN("inimove", "moved.reg", ReplaceAll(Export(), home_, "@HOME@"));

  // The server on the moved configuration: a user, a list member and an alias of
  // a virtual domain receive mail; POP3 takes the moved password.
  int smtp = FreeLoopbackPort(), pop = FreeLoopbackPort();
  std::string why;
  ASSERT_TRUE(RegOpenStore(home_ + "registry.db", why)) << why;
  WriteLoopbackServerSettings(smtp);
  RegSetDword(kRootKey, "SysAccess", 1);  // POP3 only
  RegSetDword(kRootKey, "SysOptPop", uint32_t(pop));
  RegCloseStore();
  ServerProcess server;
  ASSERT_TRUE(server.Start(home_, smtp)) << ReadTestFile(home_ + "out.txt");
  std::string send = "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(smtp) +
                     " --from someone@example.org --to ";
  for (const char* to : {"alice@mail.example.org", "info@example.com", "friends@mail.example.org"})
    ASSERT_EQ(system((send + to + " >/dev/null").c_str()), 0) << to;
  EXPECT_TRUE(WaitForMailboxMessages(home_ + "alice.mbx", 2, 15000))
      << "the moved user and the virtual domain's alias (forwarded to alice)";
  ToolResult popped = RunTool("/usr/bin/env",
                              {"python3", "-c",
                               "import poplib\n"
                               "p = poplib.POP3('127.0.0.1', " + std::to_string(pop) + ", timeout=20)\n"
                               "p.user('alice')\n"
                               "print(p.pass_('wonderland').decode())\n"
                               "print(p.stat()[0])\n"
                               "p.quit()\n"},
                              home_);
  EXPECT_EQ(popped.rc, 0) << popped.err;
  EXPECT_EQ(popped.out.substr(0, 3), "+OK") << popped.out;
  // The moved list distributes: its one member gets the post with the list's headers.
  EXPECT_TRUE(WaitForMailboxMessages(home_ + "carol.mbx", 1, 15000)) << "the moved list's member";
  server.Stop();
  std::string post = ReadTestFile(home_ + "carol.mbx");
  EXPECT_NE(post.find("\r\nTo: Multiple recipients of list friends <friends@mail.example.org>\r\n"),
            std::string::npos)
      << post;
}

TEST_F(InimoveTest, MissingFilesAreNamedAndTheRestMoves) {
  ASSERT_EQ(::unlink((old_ + "FRIENDS.CFL").c_str()), 0);
  ASSERT_EQ(::unlink((old_ + "Info.Cfr").c_str()), 0);
  ASSERT_EQ(::unlink((old_ + "WIN0001.VSD").c_str()), 0);
  ToolResult r = Move({old_ + "CORVEL.INI"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.err,
            "inimove: list file C:\\lists\\friends.cfl of friends not found\n"
            "inimove: responder file C:\\CORVEL\\INFO.CFR of info not found\n"
            "inimove: domain file win0001.vsd of example.com not found\n");
  std::string exported = Export();
  EXPECT_NE(exported.find("\"friends\"=\"l;Friends;friends;owner@example.org\""), std::string::npos);
  EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel\\VirtualDomains\\other.net"
                          "\\ListsAndResponders\\news\\Configuration]"),
            std::string::npos);
  EXPECT_EQ(exported.find("example.com\\Users"), std::string::npos);
}

TEST_F(InimoveTest, UsageAndMissingIniFile) {
  ToolResult usage = Move({});
  EXPECT_EQ(usage.rc, 2);
  EXPECT_EQ(usage.err, "Usage: inimove inifile\n   Transfer your Corvel ini file to the 95/NT Registry\n");
  ToolResult missing = Move({home_ + "none.ini"});
  EXPECT_EQ(missing.rc, 1);
  EXPECT_EQ(missing.err, "Error: INI file " + home_ + "none.ini does not exist.\n");
  EXPECT_FALSE(FileExists(home_ + "registry.db")) << "nothing is created for a missing file";
}

}  // namespace
