// The setup library on the systemd back end, offline: unit files written below a
// temporary root must pass systemd-analyze verify silently and follow AutoStart
// in "systemctl --root=DIR is-enabled"; start, stop and status go through a
// recording stand-in for systemctl first on PATH.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "tests/support/run_tool.h"

namespace {

const std::string kSetup = CORVEL_BIN_DIR "/corvelsetup";
const std::string kCorvelreg = CORVEL_BIN_DIR "/corvelreg";

class SystemdSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegCloseStore();
    char tmpl[] = "/tmp/corvel-systemd-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    root_ = home_ + "root";
    units_ = root_ + "/etc/systemd/system/";
    ASSERT_TRUE(MakeDirectories(units_));
    env_ = {"CORVEL_HOME=" + home_, "CORVEL_REGISTRY=" + home_ + "registry.db",
            "CORVEL_SERVICE_MANAGER=systemd", "CORVEL_SYSTEMD_ROOT=" + root_,
            "CORVEL_TEST_WAIT_PERCENT=5"};
    RunTool(kCorvelreg, {"--home", home_, "import", "-"}, home_, {},
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove]\r\n");
  }
  void TearDown() override { (void)!system(("rm -rf '" + home_ + "'").c_str()); }

  std::string Setup(const std::vector<std::string>& args, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> env = env_;
    env.insert(env.end(), extra.begin(), extra.end());
    return RunTool(kSetup, args, home_, env).out;
  }
  void Describe(const std::string& key, const std::string& name, const std::string& program,
                const std::string& dependent, int autoStart, const std::string& description) {
    auto set = [&](const char* value, const char* type, const std::string& data) {
      ASSERT_EQ(RunTool(kCorvelreg, {"--home", home_, "set", key, value, type, data}, home_).rc, 0);
    };
    set("AutoStart", "dword", std::to_string(autoStart));
    set("Name", "sz", name);
    set("Description", "sz", description);
    set("Program", "sz", program);
    set("Dependent", "sz", dependent);
  }
  std::string home_, root_, units_;
  std::vector<std::string> env_;
};

TEST_F(SystemdSetupTest, UnitFilesVerifyAndFollowAutoStart) {
  Describe("SOFTWARE\\Tollgrove\\Setup\\Dep", "CorvelDep", "/bin/sleep 1000", "", 0, "Corvel helper");
  Describe("SOFTWARE\\Tollgrove\\Setup\\Main", "Corvel95", "/bin/echo \"a b\" 100% $HOME back\\slash",
           "Tcpip;CorvelDep", 1, "Corvel 100% Mail");
  ASSERT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Dep"}), "1\n");
  ASSERT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Main"}), "1\n");
  EXPECT_EQ(ReadTestFile(units_ + "Corvel95.service"),
            "[Unit]\n"
            "Description=Corvel 100%% Mail\n"
            "Wants=network-online.target\n"
            "After=network-online.target\n"
            "Requires=CorvelDep.service\n"
            "After=CorvelDep.service\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=\"/bin/echo\" \"a b\" \"100%%\" \"$$HOME\" \"back\\\\slash\"\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  ToolResult verify = RunTool("/usr/bin/systemd-analyze",
                              {"verify", units_ + "Corvel95.service", units_ + "CorvelDep.service"}, home_);
  EXPECT_EQ(verify.rc, 0);
  EXPECT_EQ(verify.out + verify.err, "") << "systemd-analyze verify must be silent";
  ToolResult enabled = RunTool("/usr/bin/systemctl", {"--root=" + root_, "is-enabled", "Corvel95"}, home_);
  EXPECT_EQ(enabled.out, "enabled\n");
  ToolResult disabled = RunTool("/usr/bin/systemctl", {"--root=" + root_, "is-enabled", "CorvelDep"}, home_);
  EXPECT_EQ(disabled.out, "disabled\n");
  EXPECT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Main"}), "0\n") << "it exists already";

  // A name that is no unit name writes no file.
  Describe("SOFTWARE\\Tollgrove\\Setup\\Bad", "..", "/bin/true", "", 1, "bad");
  EXPECT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Bad"}), "0\n");
  EXPECT_EQ(ListFiles(units_, "*"), (std::vector<std::string>{"Corvel95.service", "CorvelDep.service"}));
}

TEST_F(SystemdSetupTest, StartStopAndStatusGoThroughSystemctl) {
  Describe("SOFTWARE\\Tollgrove\\Setup\\Main", "Corvel95", "/bin/sleep 1000", "", 0, "Corvel Mail");
  ASSERT_EQ(Setup({"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Main"}), "1\n");
  std::string bin = home_ + "bin/";
  ASSERT_TRUE(MakeDirectories(bin));
  WriteTestFile(bin + "systemctl",
                "#!/bin/sh\n"
                "echo \"$*\" >> \"$STANDIN_LOG\"\n"
                "if [ \"$1\" = is-active ]; then cat \"$STANDIN_STATE\"; exit 3; fi\n"
                "exit 0\n");
  ::chmod((bin + "systemctl").c_str(), 0755);
  std::string state = home_ + "state";
  std::vector<std::string> standIn = {"PATH=" + bin + ":" + getenv("PATH"), "STANDIN_LOG=" + home_ + "calls",
                                      "STANDIN_STATE=" + state};
  WriteTestFile(state, "active\n");
  EXPECT_EQ(Setup({"ServiceStart", "Corvel95"}, standIn), "The Corvel Mail service is Starting...\n1\n");
  struct Case {
    const char* state;
    const char* want;
  };
  const Case cases[] = {{"active\n", "2\n"}, {"activating\n", "2\n"}, {"deactivating\n", "2\n"},
                        {"inactive\n", "1\n"}, {"failed\n", "1\n"}, {"nonsense\n", "3\n"}};
  for (const Case& c : cases) {
    WriteTestFile(state, c.state);
    EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}, standIn), c.want) << c.state;
  }
  WriteTestFile(state, "inactive\n");
  EXPECT_EQ(Setup({"ServiceStop", "Corvel95"}, standIn), "The Corvel Mail service is Stopping...\n1\n");
  EXPECT_EQ(Setup({"RemoveService", "Corvel95"}, standIn), "1\n");
  EXPECT_EQ(Setup({"IsServiceRunning", "Corvel95"}, standIn), "0\n");
  EXPECT_FALSE(FileExists(units_ + "Corvel95.service"));
  EXPECT_EQ(ReadTestFile(home_ + "calls"),
            "start Corvel95.service\n"
            "is-active Corvel95.service\n"
            "is-active Corvel95.service\n"
            "is-active Corvel95.service\n"
            "is-active Corvel95.service\n"
            "is-active Corvel95.service\n"
            "is-active Corvel95.service\n"
            "is-active Corvel95.service\n"
            "stop Corvel95.service\n"
            "is-active Corvel95.service\n"
            "--root=" + root_ + " disable Corvel95.service\n");
}

}  // namespace
