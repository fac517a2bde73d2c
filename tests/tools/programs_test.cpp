// Every program the build makes answers --help and --version with status 0 and
// touches nothing: no home directory, no registry, no log.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

// Runs `command` with `dir` as home (which must not exist) and current
// directory; its exit status and standard output.
int RunIn(const std::string& dir, const std::string& command, std::string& out) {
  std::string full = "cd " + dir + " && CORVEL_HOME=" + dir + "home CORVEL_REGISTRY=" + dir +
                     "reg.db " + command + " 2>/dev/null";
  FILE* p = popen(full.c_str(), "r");
  if (!p) return -1;
  out.clear();
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Programs, HelpAndVersionAnswerAndTouchNothing) {
  char tmpl[] = "/tmp/corvel-programs-XXXXXX";
  std::string dir = std::string(mkdtemp(tmpl)) + "/";
  int programs = 0;
  for (const auto& e : std::filesystem::directory_iterator(CORVEL_BIN_DIR)) {
    std::string name = e.path().filename().string();
    bool test = name.size() > 6 && name.compare(name.size() - 6, 6, "_tests") == 0;
    if (test || !e.is_regular_file() || access(e.path().c_str(), X_OK) != 0) continue;
    ++programs;
    std::string out;
    EXPECT_EQ(RunIn(dir, e.path().string() + " --help", out), 0) << name;
    EXPECT_EQ(out.rfind("usage: " + name + " ", 0), 0u) << name << ": " << out;
    EXPECT_EQ(RunIn(dir, e.path().string() + " --version", out), 0) << name;
    EXPECT_EQ(out, name + " (Corvel) 1.0\n") << name;
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << name << " left files in its directory";
  }
  EXPECT_GE(programs, 3);  // the server, corvelreg, corveladm at least
  std::filesystem::remove_all(dir);
}

}  // namespace
