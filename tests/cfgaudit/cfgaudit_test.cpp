// cfgaudit end to end: the real program on registries in a temporary home.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/run_tool.h"

namespace {

const std::string kCfgaudit = CORVEL_BIN_DIR "/cfgaudit";
const std::string kCorvelreg = CORVEL_BIN_DIR "/corvelreg";
const char* const kRoot = "SOFTWARE\\Tollgrove\\Corvel";

class CfgauditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegCloseStore();  // the programs own the registry; this process only reads files
    char tmpl[] = "/tmp/corvel-cfgaudit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    ASSERT_TRUE(MakeDirectories(home_ + "users"));
  }
  void TearDown() override { (void)!system(("rm -rf '" + home_ + "'").c_str()); }

  ToolResult Audit(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(kCfgaudit, all, home_);
  }
  ToolResult Reg(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> all{"--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(kCorvelreg, all, home_, {}, input);
  }
  void Import(const std::string& text) {
    ToolResult r = Reg({"import", "-"}, ReplaceAll(text, "@HOME@", home_));
    ASSERT_EQ(r.rc, 0) << r.err;
  }
  std::string Export() { return Reg({"export", kRoot, "-"}).out; }
  std::string Value(const std::string& key, const std::string& name) {
    return Reg({"get", key, name}).out;
  }
  // The path after "Log file: " in cfgaudit's output.
  static std::string LogPath(const ToolResult& r) {
    size_t at = r.out.find("Log file: ");
    if (at == std::string::npos) return "";
    return r.out.substr(at + 10, r.out.find('\n', at) - at - 10);
  }
  static std::string BackupPath(const ToolResult& r) {
    size_t at = r.out.find("Backup: ");
    if (at == std::string::npos) return "";
    return r.out.substr(at + 8, r.out.find('\n', at) - at - 8);
  }

  std::string home_;
};

const char* const kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

// The passwords the checker sets are random: each logged one must be the one
// stored (scrambled for its account); both are then masked for the comparison.
void MaskPasswords(std::string& log, std::string& exported) {
  std::regex line("User ([^:\\r\\n]+):[^\\r]*Setting password to '([A-Za-z0-9]{10})'\\.");
  std::string masked = log;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    std::string user = (*it)[1], clear = (*it)[2], scrambled;
    for (char& c : user) c = char(std::tolower((unsigned char)c));
    ASSERT_TRUE(ScramblePassword(user, clear, scrambled));
    EXPECT_NE(exported.find(";" + scrambled + ";"), std::string::npos)
        << "the password logged for " << user << " is not the one stored";
    exported = ReplaceAll(exported, scrambled, "<scrambled password of " + user + ">");
    masked = ReplaceAll(masked, "'" + clear + "'", "'<password>'");
  }
  log = masked;
}

TEST_F(CfgauditTest, DamagedRegistryIsRepairedSettledAndRestored) {
  std::string damaged = ReadTestFile(CORVEL_SOURCE_DIR "/tests/cfgaudit/golden/damaged.reg");
  ASSERT_FALSE(damaged.empty());
  Import(damaged);
  std::string before = Export();

  ToolResult first = Audit({"-g", "-u", "-d", "-l", "-a"});
  EXPECT_EQ(first.rc, 1) << first.out << first.err;
  std::string log = ReadTestFile(LogPath(first));
  std::string after = Export();
  MaskPasswords(log, after);
  EXPECT_GOLDEN("cfgaudit", "audit.log", ReplaceAll(log, home_, "@HOME@"));
  EXPECT_GOLDEN("cfgaudit", "after.reg", ReplaceAll(after, home_, "@HOME@"));

  // The backup holds passwords that unscramble: only its owner may read it.
  std::string backup = BackupPath(first);
  struct stat st;
  ASSERT_EQ(::stat((home_ + "backup").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(backup.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(LogPath(first).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadTestFile(backup), before);

  // Settled: a second run repairs nothing and reports no errors.
  ToolResult second = Audit({"-gudla"});
  EXPECT_EQ(second.rc, 0) << second.out;
  EXPECT_GOLDEN("cfgaudit", "second.log", ReadTestFile(LogPath(second)));
  std::string again = Export();
  std::string ignored;
  MaskPasswords(ignored = ReadTestFile(LogPath(first)), again);
  EXPECT_EQ(ReplaceAll(again, home_, "@HOME@"), ReplaceAll(after, home_, "@HOME@"));

  // Undo: the first backup gives the first export back, byte for byte.
  ToolResult restore = Audit({"--restore", backup, "-a"});
  EXPECT_EQ(restore.rc, 0) << restore.err;
  EXPECT_EQ(Export(), before);
}

TEST_F(CfgauditTest, RestoreWritesNothingFromABadFile) {
  Import(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel\\Users]\r\n"
                                "\"alice\"=\"a;root\"\r\n");
  std::string before = Export();
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"does not parse", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel]\r\n"
                                                "\"x\"=bogus:1\r\n"},
      {"a key outside the root",
       std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel]\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"x\"=\"y\"\r\n"},
      {"a deletion outside the root",
       std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel]\r\n\r\n"
                              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Uninstall]\r\n"},
      {"not the root at all",
       std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\CorvelOther]\r\n"},
      {"nothing", std::string(kHeader)},
  };
  for (const Case& c : cases) {
    WriteTestFile(home_ + "bad.reg", c.text);
    ToolResult r = Audit({"--restore", home_ + "bad.reg"});
    EXPECT_EQ(r.rc, 1) << c.what;
    EXPECT_NE(r.err.find("Unable to restore registry."), std::string::npos) << c.what << r.err;
    EXPECT_EQ(Export(), before) << c.what;
  }
}

TEST_F(CfgauditTest, GeneralValuesAreSettledOneByOne) {
  struct Case {
    const char* name;
    const char* stored;  // a .reg data part; null = missing
    const char* want;    // the value afterwards, as "corvelreg get" prints it
  };
  const Case cases[] = {
      {"SmartHost", "\" 10.0.0.1 \"", "[10.0.0.1]\n"},
      {"SmartHost", "\"[10.0.0.1]\"", "[10.0.0.1]\n"},
      {"SmartHost", "\"relay.example.org\"", "relay.example.org\n"},
      {"SmartHost", "\"[relay.example.org]\"", "relay.example.org\n"},
      {"SmartHost", "\"10.0.0.1;10.0.0.2\"", "10.0.0.1;10.0.0.2\n"},
      {"SmartHost", nullptr, "\n"},
      {"DomainServer", "\"127.0.0.1:5353\"", "127.0.0.1:5353\n"},
      {"DomainServer", "\"[127.0.0.1]:5353\"", "[127.0.0.1]:5353\n"},
      {"DomainServer", "dword:00000001", "\n"},
      {"InQueueTime", "dword:00000005", "5\n"},
      {"InQueueTime", "dword:00000004", "60\n"},
      {"InQueueTime", "dword:0000012d", "60\n"},
      {"InQueueTime", "\"30\"", "60\n"},
      {"InQueueTime", "dword:ffffffff", "60\n"},
      {"UserDirectory", "\"/nonexistent/corvel\"", "\n"},
      {"UserDirectory", "\"users\"", "users\n"},  // relative to the home, which has it
  };
  for (const Case& c : cases) {
    Reg({"delete", kRoot});
    std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel\\Users]\r\n"
                                              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel]\r\n";
    if (c.stored) text += "\"" + std::string(c.name) + "\"=" + c.stored + "\r\n";
    Import(text);
    ToolResult r = Audit({"-g", "-a"});
    EXPECT_LE(r.rc, 1) << r.err;
    EXPECT_EQ(Value(kRoot, c.name), c.want) << c.name << " = " << (c.stored ? c.stored : "(missing)");
  }

  // The misspelled switch: carried over when the right one is missing, gone always.
  struct Strict {
    const char* misspelled;
    const char* right;
    const char* want;
  };
  const Strict stricts[] = {
      {"dword:00000001", nullptr, "1\n"},
      {"dword:00000007", nullptr, "0\n"},
      {"\"yes\"", nullptr, "0\n"},
      {"dword:00000000", "dword:00000001", "1\n"},
  };
  for (const Strict& s : stricts) {
    Reg({"delete", kRoot});
    std::string text = std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel\\Users]\r\n"
                                              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel]\r\n"
                                              "\"StrictSmtpAdherance\"=" + std::string(s.misspelled) + "\r\n";
    if (s.right) text += "\"StrictSmtpAdherence\"=" + std::string(s.right) + "\r\n";
    Import(text);
    ASSERT_EQ(Audit({"-g", "-a"}).rc, 1);
    EXPECT_EQ(Value(kRoot, "StrictSmtpAdherence"), s.want) << s.misspelled;
    EXPECT_EQ(Reg({"get", kRoot, "StrictSmtpAdherance"}).rc, 1) << "the misspelled value stays";
  }
}

TEST_F(CfgauditTest, CommandLineAndRunsThatCannotStart) {
  EXPECT_EQ(Audit({}).rc, 2);
  EXPECT_EQ(Audit({"-x"}).rc, 2);
  ToolResult none = Audit({"-g"});  // no registry: only inimove creates one
  EXPECT_EQ(none.rc, 3);
  EXPECT_NE(none.err.find("Unable to open Corvel registry for backup."), std::string::npos);
  EXPECT_TRUE(ListFiles(home_ + "backup", "*").empty()) << "a backup that was not saved is not left";
  Import(std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel]\r\n");
  ToolResult nothing = Audit({"-a"});
  EXPECT_EQ(nothing.rc, 3);
  EXPECT_NE(nothing.err.find("Nothing to do"), std::string::npos);
  ToolResult noUsers = Audit({"-u", "-a"});
  EXPECT_EQ(noUsers.rc, 3);
  EXPECT_NE(noUsers.err.find("Corvel has no users installed on this computer"), std::string::npos);
  ToolResult version = RunTool(kCfgaudit, {"--version"}, home_);
  EXPECT_EQ(version.rc, 0);
  EXPECT_EQ(version.out, "cfgaudit (Corvel) 1.0\n");
}

// The checker runs beside a server that takes mail: every message arrives.
TEST_F(CfgauditTest, RunBesideTheServerLosesNoMail) {
  int port = FreeLoopbackPort();
  std::string why;
  ASSERT_TRUE(RegOpenStore(home_ + "registry.db", why)) << why;
  WriteLoopbackServerSettings(port);
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", home_ + "alice.mbx", "", "", "", why)) << why;
  ASSERT_TRUE(WriteAliasRecord("sales", "alice", "", why));
  RegCloseStore();
  ServerProcess server;
  ASSERT_TRUE(server.Start(home_, port));
  constexpr int kMessages = 60;
  std::string script =
      "import smtplib\n"
      "for i in range(" + std::to_string(kMessages) + "):\n"
      "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(port) + ", timeout=30)\n"
      "    s.sendmail('bob@example.org', ['sales@mail.example.org'], 'Subject: %d\\r\\n\\r\\nbody\\r\\n' % i)\n"
      "    s.quit()\n";
  WriteTestFile(home_ + "send.py", script);
  int sendRc = -1;
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    sendRc = system(("python3 " + home_ + "send.py").c_str());
    sent = true;
  });
  for (int run = 0; run < 3 || !sent; ++run) {
    ToolResult r = Audit({"-g", "-u", "-d", "-l", "-a"});
    EXPECT_LE(r.rc, 1) << r.err;
  }
  sender.join();
  ASSERT_EQ(sendRc, 0);
  EXPECT_TRUE(WaitForMailboxMessages(home_ + "alice.mbx", kMessages, 20000));
  EXPECT_EQ(MailboxMessages(home_ + "alice.mbx"), size_t(kMessages));
  server.Stop();
}

}  // namespace
