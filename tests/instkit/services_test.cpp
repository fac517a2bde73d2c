// The setup library through corvelsetup: the built-in service manager running a
// real corvel95 end to end, the systemd unit files checked offline, RunCommand and
// CheckForTCPIP against the system's own tools.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/run_tool.h"

namespace {

const std::string kSetup = CORVEL_BIN_DIR "/corvelsetup";
const std::string kCorvelreg = CORVEL_BIN_DIR "/corvelreg";
const char* const kDescKey = "SOFTWARE\\Tollgrove\\Setup\\Corvel";

bool WaitPortAccepts(int port) {
  for (int i = 0; i < 500; ++i) {
    if (PortAccepts(port)) return true;
    usleep(20000);
  }
  return false;
}

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegCloseStore();
    char tmpl[] = "/tmp/corvel-setup-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    env_ = {"CORVEL_HOME=" + home_, "CORVEL_REGISTRY=" + home_ + "registry.db",
            "CORVEL_SERVICE_MANAGER=builtin", "CORVEL_TEST_WAIT_PERCENT=5"};
  }
  void TearDown() override {
    // A test that stopped half-way leaves no server running.
    RunTool(kSetup, {"ServiceStop", "Corvel95"}, home_, env_);
    (void)!system(("rm -rf '" + home_ + "'").c_str());
  }

  // corvelsetup FUNCTION ARGS: the printed result (first line), -1 when none.
  int Setup(const std::vector<std::string>& args, ToolResult* whole = nullptr) {
    ToolResult r = RunTool(kSetup, args, home_, env_);
    if (whole) *whole = r;
    std::string out = r.out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    if (out.empty()) return -1;
    size_t nl = out.rfind('\n');
    return std::atoi(out.c_str() + (nl == std::string::npos ? 0 : nl + 1));
  }
  void Import(const std::string& text) {
    ToolResult r = RunTool(kCorvelreg, {"--home", home_, "import", "-"}, home_, {},
                           "Windows Registry Editor Version 5.00\r\n\r\n" + text);
    ASSERT_EQ(r.rc, 0) << r.err;
  }
  // A service description for InstallService (written value by value, so any
  // bytes go in as they are).
  void Describe(const std::string& key, const std::string& name, const std::string& program,
                const std::string& dependent, int autoStart, const std::string& description) {
    RunTool(kCorvelreg, {"--home", home_, "delete", key}, home_);
    auto set = [&](const char* value, const char* type, const std::string& data) {
      ToolResult r = RunTool(kCorvelreg, {"--home", home_, "set", key, value, type, data}, home_);
      ASSERT_EQ(r.rc, 0) << value << ": " << r.err;
    };
    set("AutoStart", "dword", std::to_string(autoStart));
    set("Name", "sz", name);
    set("Description", "sz", description);
    set("Program", "sz", program);
    set("Dependent", "sz", dependent);
  }
  std::string home_;
  std::vector<std::string> env_;
};

TEST_F(SetupTest, BuiltInServiceRunsTheServerEndToEnd) {
  int port = FreeLoopbackPort();
  std::string why;
  ASSERT_TRUE(RegOpenStore(home_ + "registry.db", why));
  WriteLoopbackServerSettings(port);
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", home_ + "alice.mbx", "", "", "", why));
  RegCloseStore();
  Describe(kDescKey, "Corvel95", std::string(CORVEL_BIN_DIR) + "/corvel95 --home " + home_ + " -H",
           "Tcpip;LanmanServer", 1, "Corvel Mail Server");
  ASSERT_EQ(Setup({"InstallService", kDescKey}), 1);
  std::string values;
  for (const char* name : {"Type", "Start", "ErrorControl", "ImagePath", "DisplayName", "ObjectName",
                           "DependOnService"})
    values += name + std::string(" = ") +
              RunTool(kCorvelreg, {"--home", home_, "get", "SYSTEM\\CurrentControlSet\\Services\\Corvel95", name},
                      home_).out;
  EXPECT_EQ(values, "Type = 16\nStart = 2\nErrorControl = 1\nImagePath = " CORVEL_BIN_DIR "/corvel95 --home " +
                        home_ + " -H\nDisplayName = Corvel Mail Server\nObjectName = LocalSystem\n"
                        "DependOnService = Tcpip\nLanmanServer\n");
  EXPECT_EQ(Setup({"InstallService", kDescKey}), 0) << "a second install of one name";
  EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}), 1);

  ToolResult started;
  ASSERT_EQ(Setup({"ServiceStart", "Corvel95"}, &started), 1) << started.err;
  EXPECT_EQ(started.out, "The Corvel Mail Server service is Starting...\n1\n");
  ASSERT_TRUE(WaitPortAccepts(port));
  EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}), 2);
  EXPECT_EQ(Setup({"ServiceStart", "Corvel95"}), 2) << "it runs already";
  std::string swaks = "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port) +
                      " --from bob@example.org --to alice@mail.example.org >/dev/null";
  ASSERT_EQ(system(swaks.c_str()), 0);
  EXPECT_TRUE(WaitForMailboxMessages(home_ + "alice.mbx", 1, 15000));

  ToolResult stopped;
  ASSERT_EQ(Setup({"ServiceStop", "Corvel95"}, &stopped), 1);
  EXPECT_EQ(stopped.out, "The Corvel Mail Server service is Stopping...\n1\n");
  EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}), 1);
  EXPECT_NE(ReadTestFile(home_ + "maillog.txt").find("Program Stopped.\r\n"), std::string::npos);
  EXPECT_FALSE(PortAccepts(port));
  EXPECT_EQ(Setup({"ServiceStop", "Corvel95"}), 2) << "it is stopped already";

  // A pid file whose process is gone, or whose pid now names another process
  // (this one: another start time), does not read as running.
  WriteTestFile(home_ + "services/Corvel95.pid", std::to_string(getpid()) + " 1\r\n");
  EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}), 1);

  EXPECT_EQ(Setup({"RemoveService", "Corvel95"}), 1);
  EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}), 0);
  EXPECT_EQ(Setup({"RemoveService", "Corvel95"}), 0);
}

TEST_F(SetupTest, RefusedDescriptionsWriteNothing) {
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove]\r\n");
  struct Case {
    const char* what;
    std::string name, program, description;
    const char* message;
  };
  const Case cases[] = {
      {"slash", "/", "/bin/sleep 60", "d", "Create Service failed"},
      {"dot dot", "..", "/bin/sleep 60", "d", "Create Service failed"},
      {"control character", "a\x01z", "/bin/sleep 60", "d", "Create Service failed"},
      {"line break in a value", "Fine", "/bin/sleep 60", "two\nlines", "Create Service failed"},
      {"no program", "Fine", "  ", "d", "Create Service failed"},
  };
  for (const Case& c : cases) {
    Describe("SOFTWARE\\Tollgrove\\Setup\\Bad", c.name, c.program, "", 0, c.description);
    ToolResult r;
    EXPECT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Bad"}, &r), 0) << c.what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(RunTool(kCorvelreg, {"--home", home_, "get", "SYSTEM\\CurrentControlSet\\Services"}, home_).rc,
              1)
        << c.what << ": nothing may be written";
  }
  ToolResult r;
  EXPECT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Nowhere"}, &r), 0);
  EXPECT_NE(r.err.find("Setup is unable to open the proper registry key"), std::string::npos);
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Setup\\Half]\r\n\"Name\"=\"Half\"\r\n");
  EXPECT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Half"}, &r), 0);
  EXPECT_NE(r.err.find("Setup is unable to get all the proper registry values"), std::string::npos);

  // A program that cannot be run fails the start request.
  Describe(kDescKey, "Broken", "/nonexistent/program --flag", "", 0, "Broken");
  ASSERT_EQ(Setup({"InstallService", kDescKey}), 1);
  EXPECT_EQ(Setup({"ServiceStart", "Broken"}), 2);
  EXPECT_EQ(Setup({"IsServiceRunning", "Broken"}), 1);
  EXPECT_EQ(Setup({"IsServiceRunning", "NeverInstalled"}), 0);
}

TEST_F(SetupTest, MoveRegistryKeyCopiesValuesInOneStep) {
  Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\From]\r\n\"A\"=\"text\"\r\n\"B\"=dword:00000007\r\n"
         "\"C\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\From\\Sub]\r\n\"D\"=\"not copied\"\r\n");
  EXPECT_EQ(Setup({"MoveRegistryKey", "SOFTWARE\\Tollgrove\\From", "SOFTWARE\\Tollgrove\\To"}), 1);
  std::string to = RunTool(kCorvelreg, {"--home", home_, "export", "SOFTWARE\\Tollgrove\\To", "-"}, home_).out;
  EXPECT_EQ(to, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\To]\r\n"
                "\"A\"=\"text\"\r\n\"B\"=dword:00000007\r\n\"C\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n\r\n");
  EXPECT_EQ(Setup({"MoveRegistryKey", "SOFTWARE\\Tollgrove\\Missing", "SOFTWARE\\Tollgrove\\To2"}), 0);
  EXPECT_EQ(RunTool(kCorvelreg, {"--home", home_, "get", "SOFTWARE\\Tollgrove\\To2"}, home_).rc, 1);
}

TEST_F(SetupTest, RunCommandWaitsAtMostItsTime) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Setup({"RunCommand", "5", "sleep 10"}), 1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 4.9);
  EXPECT_LT(seconds, 8.0);
  EXPECT_EQ(Setup({"RunCommand", "0", "/nonexistent/program"}), 0);
  EXPECT_EQ(Setup({"RunCommand", "5", "missing-program-of-corvel"}), 0);
  // Double quotes group; no shell sees the line.
  EXPECT_EQ(Setup({"RunCommand", "5", "touch \"" + home_ + "a b\" " + home_ + "$HOME"}), 1);
  EXPECT_TRUE(FileExists(home_ + "a b"));
  EXPECT_TRUE(FileExists(home_ + "$HOME"));
}

// Nobody can be asked here (standard input is no terminal): the text is shown
// and taken as accepted.
TEST_F(SetupTest, LegalTextIsShownAndAcceptedWhenNobodyCanBeAsked) {
  ToolResult r;
  EXPECT_EQ(Setup({"ShowLegalText", "Terms of use."}, &r), 1);
  EXPECT_EQ(r.out, "Terms of use.\n1\n");
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[512];
  while (p && fgets(buf, sizeof buf, p)) out += buf;
  if (p) pclose(p);
  return out;
}

TEST_F(SetupTest, CheckForTcpipAgreesWithTheSystem) {
  std::string host = Shell("hostname");
  host = host.substr(0, host.find('\n'));
  std::string line = Shell("getent ahostsv4 '" + host + "'");
  line = line.substr(0, line.find('\n'));
  // "ADDRESS STREAM CANONICAL-NAME"
  std::string address = line.substr(0, line.find(' '));
  std::string canonical = line.substr(line.find_last_of(' ') + 1);
  std::string domain = canonical.find('.') == std::string::npos ? "" : canonical.substr(canonical.find('.') + 1);
  ToolResult r;
  Setup({"CheckForTCPIP"}, &r);
  EXPECT_EQ(r.out, "1\n" + address + ";" + domain + "\n");
}

}  // namespace

namespace {

// The library exports its nine functions and nothing else.
TEST(Instkit, ExportsOnlyItsOwnNames) {
  FILE* nm = popen("nm -D --defined-only '" CORVEL_BIN_DIR "/../lib/libinstkit.so'", "r");
  ASSERT_NE(nm, nullptr);
  std::vector<std::string> names;
  char line[512], addr[64], type[8], name[256];
  while (fgets(line, sizeof line, nm))
    if (sscanf(line, "%63s %7s %255s", addr, type, name) == 3) names.push_back(name);
  pclose(nm);
  EXPECT_EQ(names, (std::vector<std::string>{"CheckForTCPIP", "InstallService", "IsServiceRunning",
                                              "MoveRegistryKey", "RemoveService", "RunCommand",
                                              "ServiceStart", "ServiceStop", "ShowLegalText"}));
}

}  // namespace
