// corveladm's account, import and report commands end to end: the real program on
// a registry in a temporary home, its outputs and reports compared with golden
// files under tests/admin/golden (CORVEL_UPDATE_GOLDEN=1 rewrites them).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "tests/support/run_program.h"

class AdmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-adm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = std::string(tmpl) + "/";
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(home_ + "registry.db", why)) << why;
    ResetRegistry();
  }
  void TearDown() override {
    RegCloseStore();
    (void)!system(("rm -rf '" + home_ + "'").c_str());
  }
  // An empty registry but for the values every test has.
  void ResetRegistry() {
    RegDeleteKeyTree("SOFTWARE");
    ASSERT_TRUE(RegSetString(kRootKey, "LocalNode", "mail.example.org"));
    ASSERT_TRUE(RegSetString(kRootKey, "UserDirectory", "/srv/mail/"));
  }
  ProgramRun Adm(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--home", home_});
    return RunProgram(std::string(CORVEL_BIN_DIR) + "/corveladm", args, home_, input);
  }
  // The run as one text: command, exit status, both outputs.
  static std::string Transcript(const std::string& command, const ProgramRun& run) {
    return "$ corveladm " + command + "\nexit " + std::to_string(run.rc) + "\nstdout:\n" +
           run.out + "stderr:\n" + run.err;
  }
  void WriteFile(const std::string& name, const std::string& bytes) {
    UniqueFd fd(::open((home_ + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(WriteAll(fd.get(), bytes.data(), bytes.size()));
  }
  std::string ReadFile(const std::string& name) {
    std::string text;
    ReadWholeFile(home_ + name, text);
    return text;
  }
  static void ExpectGolden(const std::string& name, const std::string& actual) {
    std::string path = std::string(CORVEL_SOURCE_DIR) + "/tests/admin/golden/" + name;
    if (getenv("CORVEL_UPDATE_GOLDEN")) {
      UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      ASSERT_TRUE(WriteAll(fd.get(), actual.data(), actual.size()));
      return;
    }
    std::string expected;
    ASSERT_TRUE(ReadWholeFile(path, expected)) << "missing golden file " << path;
    EXPECT_EQ(expected, actual) << "golden file " << name;
  }

  std::string home_;
};
