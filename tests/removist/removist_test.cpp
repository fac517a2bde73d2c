// removist end to end: removal scripts imported with corvelreg for a product
// installed in a temporary root with a built-in service.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/support/run_tool.h"

namespace {

const std::string kRemovist = CORVEL_BIN_DIR "/removist";
const std::string kCorvelreg = CORVEL_BIN_DIR "/corvelreg";
const std::string kSetup = CORVEL_BIN_DIR "/corvelsetup";
const std::string kConfirmLibrary = CORVEL_BIN_DIR "/../lib/libremovist_confirm.so";
const std::string kScript = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Uninstall\\";

class RemovistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegCloseStore();
    char tmpl[] = "/tmp/corvel-removist-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    root_ = home_ + "product/";
    outside_ = home_ + "outside.txt";
    ASSERT_TRUE(MakeDirectories(root_ + "bin") && MakeDirectories(root_ + "lib/deep"));
    WriteTestFile(root_ + "bin/tool", "tool");
    WriteTestFile(root_ + "lib/deep/data", "data");
    WriteTestFile(root_ + "notes.txt", "notes");
    WriteTestFile(outside_, "must survive");
    ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "lib/deep/to-outside").c_str()), 0);
    ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "evil").c_str()), 0);
    ASSERT_EQ(::symlink((home_).c_str(), (root_ + "up").c_str()), 0);
    env_ = {"CORVEL_HOME=" + home_, "CORVEL_REGISTRY=" + home_ + "registry.db",
            "CORVEL_SERVICE_MANAGER=builtin", "CORVEL_TEST_WAIT_PERCENT=5",
            "CONFIRM_LIBRARY=" + kConfirmLibrary};
    Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\TestProduct]\r\n\"Setting\"=\"1\"\r\n");
  }
  void TearDown() override {
    RunTool(kSetup, {"ServiceStop", "RemovistSvc"}, home_, env_);
    (void)!system(("rm -rf '" + home_ + "'").c_str());
  }
  void Import(const std::string& text) {
    ToolResult r = RunTool(kCorvelreg, {"--home", home_, "import", "-"}, home_, {},
                           "Windows Registry Editor Version 5.00\r\n\r\n" + text);
    ASSERT_EQ(r.rc, 0) << r.err << text;
  }
  ToolResult Remove(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(kRemovist, all, home_, env_);
  }
  static std::string Quote(const std::string& s) { return ReplaceAll(s, "\\", "\\\\"); }
  // A product whose only item is `item` in Level0.
  void OneItemProduct(const std::string& product, const std::string& root, const std::string& item) {
    std::string text = "[" + kScript + product + "]\r\n";
    if (!root.empty()) text += "\"InstallRoot\"=\"" + Quote(root) + "\"\r\n";
    text += "[" + kScript + product + "\\Level0]\r\n\"Item\"=\"" + Quote(item) + "\"\r\n";
    Import(text);
  }
  std::string home_, root_, outside_;
  std::vector<std::string> env_;
};

TEST_F(RemovistTest, UnattendedRemovalRunsEveryStepInOrder) {
  // The product's service, running.
  ASSERT_EQ(RunTool(kCorvelreg, {"--home", home_, "set", "SOFTWARE\\Tollgrove\\Setup\\Svc", "AutoStart", "dword", "0"},
                    home_).rc, 0);
  for (auto [name, data] : std::vector<std::pair<std::string, std::string>>{
           {"Name", "RemovistSvc"}, {"Description", "Removist test"}, {"Program", "sleep 600"}, {"Dependent", ""}})
    RunTool(kCorvelreg, {"--home", home_, "set", "SOFTWARE\\Tollgrove\\Setup\\Svc", name, "sz", data}, home_);
  ASSERT_EQ(RunTool(kSetup, {"InstallService", "SOFTWARE\\Tollgrove\\Setup\\Svc"}, home_, env_).out, "1\n");
  ASSERT_EQ(RunTool(kSetup, {"ServiceStart", "RemovistSvc"}, home_, env_).out,
            "The Removist test service is Starting...\n1\n");
  pid_t service = pid_t(std::atol(ReadTestFile(home_ + "services/RemovistSvc.pid").c_str()));
  ASSERT_GT(service, 0);

  WriteTestFile(home_ + "continue.sh", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/continued.txt\"\n");
  ::chmod((home_ + "continue.sh").c_str(), 0755);
  Import("[" + kScript + "TestProduct]\r\n"
         "\"InstallRoot\"=\"" + Quote(root_) + "\"\r\n"
         "\"ConfirmDLL\"=\"%CONFIRM_LIBRARY%;ConfirmYes\"\r\n"
         "\"Continue\"=\"" + home_ + "continue.sh --after\"\r\n"
         "[" + kScript + "TestProduct\\Services]\r\n"
         "\"RemovistSvc\"=\"\"\r\n"
         "\"GhostSvc\"=\"\"\r\n"
         "[" + kScript + "TestProduct\\Level0]\r\n"
         "\"Description\"=\"Programs\"\r\n"
         "\"Tool\"=\"remove-file bin/tool\"\r\n"
         "\"Marker\"=\"touch " + home_ + "marker0\"\r\n"
         "[" + kScript + "TestProduct\\Level2]\r\n"
         "\"Description\"=\"Libraries\"\r\n"
         "\"Libraries\"=\"remove-tree lib\"\r\n"
         "\"Settings\"=\"remove-key SOFTWARE\\\\Tollgrove\\\\TestProduct\"\r\n"
         "[" + kScript + "TestProduct\\Level9]\r\n"
         "\"Notes\"=\"remove-file " + root_ + "notes.txt\"\r\n"
         "\"Marker\"=\"touch " + home_ + "marker9\"\r\n");
  ToolResult r = Remove({"-y", "TestProduct"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out,
            "asked about TestProduct (unattended 1)\n"
            "The Uninstaller is attempting to stop and remove the RemovistSvc service\n"
            "Removing the Removist test Service\n"
            "The Uninstaller is attempting to stop and remove the GhostSvc service\n"
            "The GhostSvc service is no longer installed. Passing over it.\n"
            "Uninstall is removing Tool\n"
            "Uninstall is removing Marker\n"
            "Level 0 done\n"
            "Uninstall is removing Libraries\n"
            "Uninstall is removing Settings\n"
            "Level 2 done\n"
            "Uninstall is removing Notes\n"
            "Uninstall is removing Marker\n"
            "Level 9 done\n"
            "Uninstall Complete\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(RunTool(kSetup, {"IsServiceRunning", "RemovistSvc"}, home_, env_).out, "0\n");
  uint64_t start = 0;
  EXPECT_FALSE(GetProcessStartTime(service, start)) << "the service was stopped";
  EXPECT_FALSE(FileExists(root_ + "bin/tool"));
  EXPECT_FALSE(DirectoryExists(root_ + "lib"));
  EXPECT_FALSE(FileExists(root_ + "notes.txt"));
  EXPECT_TRUE(FileExists(home_ + "marker0") && FileExists(home_ + "marker9"));
  EXPECT_EQ(ReadTestFile(outside_), "must survive") << "the tree's link was not followed";
  EXPECT_EQ(RunTool(kCorvelreg, {"--home", home_, "get", "SOFTWARE\\Tollgrove\\TestProduct"}, home_).rc, 1);
  for (int i = 0; i < 250 && !FileExists(home_ + "continued.txt"); ++i) usleep(20000);
  EXPECT_EQ(ReadTestFile(home_ + "continued.txt"), "--after -y\n");

  // A second run finds the service gone and everything removed already. (Without
  // Continue: a follow-on started now could outlive the test's directory.)
  RunTool(kCorvelreg, {"--home", home_, "delete", "SOFTWARE\\Tollgrove\\Uninstall\\TestProduct", "Continue"},
          home_);
  ToolResult again = Remove({"/Q", "TestProduct"});
  EXPECT_EQ(again.rc, 0) << again.out;
}

TEST_F(RemovistTest, ConfirmationDecides) {
  struct Case {
    const char* confirm;
    int rc;
    const char* says;
  };
  const Case cases[] = {
      {"%CONFIRM_LIBRARY%;ConfirmNo", 3, ""},
      {"%CONFIRM_LIBRARY%;ConfirmCrash", 1, "The Confirmation DLL caused an exception.\n"},
      {"%CONFIRM_LIBRARY%;ConfirmMissing", 1, "The uninstaller was unable to load the Confirmation Function\n"},
      {"/nonexistent/libconfirm.so;ConfirmYes", 1, "The uninstaller was unable to load the Confirmation DLL\n"},
  };
  for (const Case& c : cases) {
    Import("[" + kScript + "Confirmed]\r\n\"InstallRoot\"=\"" + Quote(root_) + "\"\r\n\"ConfirmDLL\"=\"" +
           c.confirm + "\"\r\n[" + kScript + "Confirmed\\Level0]\r\n\"Tool\"=\"remove-file bin/tool\"\r\n");
    ToolResult r = Remove({"-y", "Confirmed"});
    EXPECT_EQ(r.rc, c.rc) << c.confirm;
    if (*c.says) {
      EXPECT_NE(r.out.find(c.says), std::string::npos) << c.confirm << ": " << r.out;
    }
    EXPECT_EQ(r.out.find("Uninstall is removing"), std::string::npos) << c.confirm;
    EXPECT_TRUE(FileExists(root_ + "bin/tool")) << c.confirm;
  }
  // Attended, with a message box for the failure on standard error.
  ToolResult boxed = Remove({"Confirmed"});
  EXPECT_EQ(boxed.err, "Uninstall: The uninstaller was unable to load the Confirmation DLL\n");
}

TEST_F(RemovistTest, RemovalsOutsideTheRootAreRefused) {
  struct Case {
    const char* what;
    std::string root, item;
  };
  const Case cases[] = {
      {"dot dot", root_, "remove-file ../outside.txt"},
      {"dot dot inside", root_, "remove-tree lib/../bin"},
      {"an absolute path outside", root_, "remove-file " + outside_},
      {"a link to an outside file", root_, "remove-file evil"},
      {"through a link to outside", root_, "remove-file up/outside.txt"},
      {"no install root", "", "remove-file bin/tool"},
      {"a relative install root", "product", "remove-file bin/tool"},
      {"the root directory as install root", "/", "remove-file " + outside_},
      {"a root that resolves to /", "/tmp/..", "remove-tree tmp"},
      {"the install root as a file", root_, "remove-file ."},
      {"a key outside Tollgrove", root_, "remove-key SOFTWARE\\Other"},
      {"Tollgrove itself", root_, "remove-key HKLM\\SOFTWARE\\Tollgrove"},
  };
  for (const Case& c : cases) {
    OneItemProduct("Refused", c.root, c.item);
    ToolResult r = Remove({"-y", "Refused"});
    EXPECT_EQ(r.rc, 1) << c.what;
    EXPECT_NE(r.out.find("The Uninstaller failed to remove Item\n"), std::string::npos) << c.what << r.out;
    EXPECT_EQ(r.out.find("Uninstall Complete"), std::string::npos) << c.what;
    EXPECT_EQ(ReadTestFile(outside_), "must survive") << c.what;
    EXPECT_TRUE(FileExists(root_ + "bin/tool")) << c.what;
    RunTool(kCorvelreg, {"--home", home_, "delete", "SOFTWARE\\Tollgrove\\Uninstall\\Refused"}, home_);
  }
  EXPECT_EQ(RunTool(kCorvelreg, {"--home", home_, "get", "SOFTWARE\\Tollgrove\\TestProduct"}, home_).rc, 0);
}

TEST_F(RemovistTest, AnItemOutlastingTheWaitFailsTheRun) {
  Import("[" + kScript + "Slow]\r\n[" + kScript + "Slow\\Level2]\r\n\"Slow\"=\"sleep 30\"\r\n"
         "[" + kScript + "Slow\\Level3]\r\n\"Never\"=\"touch " + home_ + "never\"\r\n");
  auto start = std::chrono::steady_clock::now();
  ToolResult r = Remove({"-y", "Slow"});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("The Uninstaller failed to remove Slow\n"), std::string::npos) << r.out;
  EXPECT_FALSE(FileExists(home_ + "never"));
  EXPECT_LT(seconds, 20.0) << "the shortened wait (5% of 60 s) ends it";
  // A program that does not exist cannot be started: the item fails at once.
  Import("[" + kScript + "Missing]\r\n[" + kScript + "Missing\\Level0]\r\n\"Gone\"=\"no-such-program-of-corvel\"\r\n");
  ToolResult missing = Remove({"-y", "Missing"});
  EXPECT_EQ(missing.rc, 1);
  EXPECT_NE(missing.out.find("The Uninstaller failed to remove Gone\n"), std::string::npos) << missing.out;
}

TEST_F(RemovistTest, CommandLine) {
  EXPECT_EQ(Remove({}).rc, 2);
  EXPECT_EQ(Remove({"-x", "P"}).rc, 2);
  EXPECT_EQ(Remove({"A", "B"}).rc, 2);
  ToolResult none = Remove({"-y", "NoSuchProduct"});
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.err, "Uninstall: There is no removal script for NoSuchProduct\n");
}

}  // namespace
