// corveladm plugin: the slot rules, configure, and a list that only clears a
// failing slot when asked.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "platform/registry.h"
#include "tests/core/test_home.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

struct Result {
  int status;
  std::string out;
};

class PluginAdminTest : public ::testing::Test {
 protected:
  // Runs corveladm on the test home (the registry closed meanwhile).
  Result Adm(const std::string& args) {
    RegCloseStore();
    std::string cmd = std::string(CORVEL_BIN_DIR) + "/corveladm --home " + home_.dir + " " + args +
                      " 2>&1";
    Result r{0, ""};
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    r.status = WEXITSTATUS(pclose(p));
    std::string why;
    RegOpenStore(home_.dir + "registry.db", why);
    return r;
  }
  std::string Counters() {
    return std::to_string(ConfigGetNumber("LoadCustomDlls", "NumLoadDlls", -1)) + "/" +
           std::to_string(ConfigGetNumber("LoadCustomDlls", "NumActualLoadDlls", -1));
  }
  TestHome home_;
};

TEST_F(PluginAdminTest, SlotsAreReusedAndFailuresOnlyReported) {
  const std::string sample = SampleLibrary();
  const std::string missing = home_.dir + "gone.so";
  WritePluginSlots({sample, "", missing});
  struct Step {
    std::string args;
    int status;
    std::string out;
    std::string counters;
  } steps[] = {
      {"plugin add " + sample, 0, "2\t" + sample + "\n", "3/3"},
      {"plugin add " + SampleLibrary("_info0"), 1,
       "corveladm: Unable to load DLL. (" + SampleLibrary("_info0") + ": fMailExt_Info failed)\n", "3/3"},
      {"plugin add " + SampleLibrary("_noname"), 1,
       "corveladm: Unable to load DLL. (" + SampleLibrary("_noname") + ": fMailExt_Info gave no name)\n",
       "3/3"},
      {"plugin add " + sample, 0, "4\t" + sample + "\n", "4/4"},
      {"plugin remove 2", 0, "", "4/3"},
      {"plugin remove 2", 1, "corveladm: Slot 2 holds no plug-in.\n", "4/3"},
      {"plugin remove two", 2, "", "4/3"},
      {"plugin configure 1", 0, "Sample plug-in: configure (window none, config \"\")\n", "4/3"},
      {"plugin configure 2", 1, "corveladm: Unable to ascertain name of custom Dll.\n", "4/3"},
      // A library missing for a moment keeps its slot ...
      {"plugin list", 0,
       "1\t" + sample + "\tSample plug-in\n3\t" + missing + "\tUnable to load DLL.\n4\t" + sample +
           "\tSample plug-in\n",
       "4/3"},
      // ... unless the operator clears it.
      {"plugin list --clear-failed", 0,
       "1\t" + sample + "\tSample plug-in\n3\t" + missing + "\tUnable to load DLL.\n3\tcleared\n4\t" +
           sample + "\tSample plug-in\n",
       "4/2"},
      {"plugin add " + SampleLibrary("_nohandle"), 0, "2\t" + SampleLibrary("_nohandle") + "\n", "4/3"},
  };
  for (const Step& s : steps) {
    Result r = Adm(s.args);
    EXPECT_EQ(r.status, s.status) << s.args << "\n" << r.out;
    if (s.status != 2) {
      EXPECT_EQ(r.out, s.out) << s.args;
    }
    EXPECT_EQ(Counters(), s.counters) << s.args;
  }
  EXPECT_EQ(PluginSlotPath(3), "");
  std::string name;
  EXPECT_EQ(NextLoadablePlugin(2, name), 2);  // loads, though it cannot handle mail
  EXPECT_EQ(NextLoadablePlugin(3, name), 4);
  EXPECT_EQ(name, "Sample plug-in");
  EXPECT_EQ(NextLoadablePlugin(5, name), -1);
}

TEST_F(PluginAdminTest, RelativeNamesAreStoredAbsoluteAndOthersRefused) {
  Result r = Adm("plugin add libcorvel_sample.so");  // relative to the test's directory
  EXPECT_EQ(r.status, 1);
  std::string cmd = "cd " + std::string(CORVEL_LIB_DIR) + " && " + CORVEL_BIN_DIR +
                    "/corveladm --home " + home_.dir + " plugin add libcorvel_sample.so >/dev/null";
  RegCloseStore();
  ASSERT_EQ(system(cmd.c_str()), 0);
  std::string why;
  RegOpenStore(home_.dir + "registry.db", why);
  EXPECT_EQ(PluginSlotPath(1), std::string(CORVEL_LIB_DIR) + "/libcorvel_sample.so");
  // A stored name that is not absolute is never searched for.
  WritePluginSlots({"libcorvel_sample.so"});
  LoadedPlugin p;
  std::string detail;
  EXPECT_FALSE(LoadPluginSlot(1, p, why, detail));
  EXPECT_EQ(why, "Unable to load custom DLL. ");
  EXPECT_EQ(detail, "not an absolute path: libcorvel_sample.so");
}

}  // namespace
