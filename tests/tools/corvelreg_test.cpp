// corvelreg end to end: the real program on a registry in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace {

const char* const kTool = CORVEL_BIN_DIR "/corvelreg";

struct ToolRun {
  int rc = -1;
  std::string out;
  std::string err;
};

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class CorvelregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvelreg-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    registry_ = dir_ + "/reg.db";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!system(cmd.c_str());
  }

  // Runs corvelreg with `args` and `env` (NAME=value entries; CORVEL_HOME and
  // CORVEL_REGISTRY are cleared unless given), standard input from `input`.
  ToolRun RunTool(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
              const std::string& input = "") {
    ProgramRun run = RunProgram(kTool, args, dir_, input, env);
    return ToolRun{run.rc, run.out, run.err};
  }

  // The same with --registry on our file.
  ToolRun Reg(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--registry", registry_});
    return RunTool(args, {}, input);
  }

  std::string dir_;
  std::string registry_;
};

TEST_F(CorvelregTest, SetAndGetEachType) {
  EXPECT_EQ(Reg({"set", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel", "Port", "dword", "25"}).rc, 0);
  EXPECT_EQ(Reg({"set", "HKLM\\SOFTWARE\\Corvel", "Mask", "dword", "0xFFFFFFFF"}).rc, 0);
  EXPECT_EQ(Reg({"set", "SOFTWARE\\Corvel", "Name", "sz", "Mail \"Host\" \\ x"}).rc, 0);
  EXPECT_EQ(Reg({"set", "SOFTWARE\\Corvel", "Domains", "multi", "a.example", "b c", "\xc3\xa9"}).rc,
            0);
  EXPECT_EQ(Reg({"set", "SOFTWARE\\Corvel", "Dash", "sz", "--home"}).rc, 0);  // data, not option
  EXPECT_EQ(Reg({"set", "SOFTWARE\\Corvel\\Users\\Alice", "", "sz", "default"}).rc, 0);

  struct Case {
    const char* value;
    const char* out;
  } cases[] = {
      {"port", "25\n"},
      {"MASK", "4294967295\n"},
      {"name", "Mail \"Host\" \\ x\n"},
      {"domains", "a.example\nb c\n\xc3\xa9\n"},
      {"Dash", "--home\n"},
  };
  for (const Case& c : cases) {
    ToolRun r = Reg({"get", "software\\corvel", c.value});
    EXPECT_EQ(r.rc, 0) << c.value << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.value;
  }
  ToolRun d = Reg({"get", "SOFTWARE\\Corvel\\users\\alice", ""});
  EXPECT_EQ(d.out, "default\n");

  ToolRun list = Reg({"get", "hklm\\software\\CORVEL"});
  EXPECT_EQ(list.rc, 0) << list.err;
  EXPECT_EQ(list.out,
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel\n"
            "    Port    REG_DWORD    25\n"
            "    Mask    REG_DWORD    4294967295\n"
            "    Name    REG_SZ    Mail \"Host\" \\ x\n"
            "    Domains    REG_MULTI_SZ    a.example\\0b c\\0\xc3\xa9\n"
            "    Dash    REG_SZ    --home\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel\\Users\n");
}

TEST_F(CorvelregTest, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"get"},
      {"get", "K", "V", "extra"},
      {"set", "K", "V"},
      {"set", "K", "V", "qword", "1"},
      {"set", "K", "V", "sz"},
      {"set", "K", "V", "sz", "a", "b"},
      {"set", "K", "V", "dword", "-1"},
      {"set", "K", "V", "dword", "4294967296"},
      {"set", "K", "V", "dword", "0x"},
      {"set", "K", "V", "dword", "0x100000000"},
      {"set", "K", "V", "dword", "12abc"},
      {"set", "K", "V", "multi", "a", ""},
      {"import"},
      {"export", "K", "F", "extra"},
      {"delete"},
  };
  for (const auto& args : cases) {
    ToolRun r = Reg(args);
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    EXPECT_EQ(r.rc, 2) << shown;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << shown;
  }
  ToolRun r = RunTool({"--registry"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("--registry needs a value"), std::string::npos) << r.err;
  // Nothing of the bad calls was written.
  EXPECT_EQ(Reg({"get", "K"}).rc, 1);
}

TEST_F(CorvelregTest, FailuresExitOneWithAReason) {
  ToolRun r = Reg({"get", "SOFTWARE\\Missing"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
  ASSERT_EQ(Reg({"set", "K", "V", "sz", "x"}).rc, 0);
  r = Reg({"get", "K", "Other"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
  EXPECT_EQ(Reg({"delete", "K", "Other"}).rc, 1);
  EXPECT_EQ(Reg({"delete", "Missing"}).rc, 1);
  r = Reg({"import", dir_ + "/no-such.reg"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("no-such.reg"), std::string::npos) << r.err;
}

TEST_F(CorvelregTest, DeleteValueAndKeyTree) {
  ASSERT_EQ(Reg({"set", "A\\B\\C", "v", "sz", "1"}).rc, 0);
  ASSERT_EQ(Reg({"set", "A\\B", "w", "sz", "2"}).rc, 0);
  EXPECT_EQ(Reg({"delete", "a\\b", "W"}).rc, 0);
  EXPECT_EQ(Reg({"get", "A\\B", "w"}).rc, 1);
  EXPECT_EQ(Reg({"get", "A\\B\\C", "v"}).rc, 0);
  EXPECT_EQ(Reg({"delete", "HKLM\\A\\B"}).rc, 0);
  EXPECT_EQ(Reg({"get", "A\\B\\C"}).rc, 1);
  ToolRun r = Reg({"get", "A"});
  EXPECT_EQ(r.out, "HKEY_LOCAL_MACHINE\\A\n");
}

TEST_F(CorvelregTest, ExportAndImportRoundTrip) {
  ASSERT_EQ(Reg({"set", "SOFTWARE\\Odd \"=\\ Key", "quote\"back\\slash=", "sz", "v \\ \" ="}).rc, 0);
  ASSERT_EQ(Reg({"set", "SOFTWARE\\Odd \"=\\ Key", "list", "multi", "x", "\xe2\x82\xac \xff"}).rc, 0);
  ASSERT_EQ(Reg({"set", "SOFTWARE\\Other", "n", "dword", "7"}).rc, 0);
  ToolRun all = Reg({"export"});
  ASSERT_EQ(all.rc, 0) << all.err;
  EXPECT_EQ(all.out.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  std::string file = dir_ + "/out.reg";
  ASSERT_EQ(Reg({"export", "", file}).rc, 0);
  EXPECT_EQ(ReadFileBytes(file), all.out);

  // Into a second registry, chosen by the environment this time.
  std::string second = dir_ + "/second.db";
  ToolRun imp = RunTool({"import", file}, {"CORVEL_REGISTRY=" + second});
  ASSERT_EQ(imp.rc, 0) << imp.err;
  ToolRun again = RunTool({"export"}, {"CORVEL_REGISTRY=" + second});
  EXPECT_EQ(again.out, all.out);

  // One key only, and import from standard input.
  ToolRun one = Reg({"export", "software\\other"});
  EXPECT_EQ(one.out,
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"n\"=dword:00000007\r\n\r\n");
  std::string third = dir_ + "/third.db";
  ToolRun fromStdin = RunTool({"--registry", third, "import", "-"}, {}, one.out);
  ASSERT_EQ(fromStdin.rc, 0) << fromStdin.err;
  EXPECT_EQ(RunTool({"--registry", third, "get", "SOFTWARE\\Other", "n"}).out, "7\n");
}

TEST_F(CorvelregTest, ImportWithABadLineWritesNothing) {
  ASSERT_EQ(Reg({"set", "Keep", "v", "sz", "old"}).rc, 0);
  std::string file = dir_ + "/bad.reg";
  WriteFileBytes(file,
                 "Windows Registry Editor Version 5.00\r\n"
                 "\r\n"
                 "[HKEY_LOCAL_MACHINE\\Keep]\r\n"
                 "\"v\"=\"new\"\r\n"
                 "[HKEY_LOCAL_MACHINE\\Fresh]\r\n"
                 "\"n\"=dword:zz\r\n");
  ToolRun r = Reg({"import", file});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("line 6: bad dword"), std::string::npos) << r.err;
  EXPECT_EQ(Reg({"get", "Keep", "v"}).out, "old\n");
  EXPECT_EQ(Reg({"get", "Fresh"}).rc, 1);
}

TEST_F(CorvelregTest, RegistryLocationFollowsOptionsThenEnvironmentThenHome) {
  std::string home = dir_ + "/home";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  // --home: <home>/registry.db.
  ASSERT_EQ(RunTool({"--home", home, "set", "K", "v", "sz", "by home"}).rc, 0);
  EXPECT_EQ(access((home + "/registry.db").c_str(), F_OK), 0);
  // $CORVEL_HOME.
  EXPECT_EQ(RunTool({"get", "K", "v"}, {"CORVEL_HOME=" + home}).out, "by home\n");
  // $CORVEL_REGISTRY wins over the home, --registry over both.
  std::string env = dir_ + "/env.db";
  ASSERT_EQ(RunTool({"--home=" + home, "set", "K", "v", "sz", "by env"},
                    {"CORVEL_REGISTRY=" + env})
                .rc,
            0);
  EXPECT_EQ(RunTool({"get", "K", "v"}, {"CORVEL_REGISTRY=" + env}).out, "by env\n");
  ASSERT_EQ(RunTool({"--registry=" + registry_, "set", "K", "v", "sz", "by option"},
                    {"CORVEL_REGISTRY=" + env})
                .rc,
            0);
  EXPECT_EQ(RunTool({"get", "K", "v"}, {"CORVEL_REGISTRY=" + env}).out, "by env\n");
  EXPECT_EQ(Reg({"get", "K", "v"}).out, "by option\n");
  EXPECT_EQ(RunTool({"get", "K", "v"}, {"CORVEL_HOME=" + home}).out, "by home\n");
}

TEST_F(CorvelregTest, ForeignFileIsRefusedAndLeftAlone) {
  const std::string bytes = "[section]\nnot=a database\n";
  WriteFileBytes(registry_, bytes);
  ToolRun r = Reg({"set", "K", "v", "sz", "x"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find(registry_), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(registry_), bytes);
}

// Two writers running the tool at once: every write lands.
TEST_F(CorvelregTest, ConcurrentToolRunsLoseNothing) {
  constexpr int kRuns = 60;
  ASSERT_EQ(Reg({"set", "Race", "init", "dword", "0"}).rc, 0);
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kRuns; ++i) {
        std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
        pid_t child = fork();
        if (child == 0) {
          int null = open("/dev/null", O_WRONLY);
          dup2(null, 1);
          execl(kTool, kTool, "--registry", registry_.c_str(), "set", "Race", name.c_str(),
                "dword", std::to_string(i).c_str(), static_cast<char*>(nullptr));
          _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
          _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ToolRun list = Reg({"get", "Race"});
  ASSERT_EQ(list.rc, 0) << list.err;
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kRuns; ++i) {
      std::string line = "    w" + std::to_string(w) + "-" + std::to_string(i) +
                         "    REG_DWORD    " + std::to_string(i) + "\n";
      EXPECT_NE(list.out.find(line), std::string::npos) << line;
    }
  }
}

}  // namespace
