// Processes: command lines split without a shell, environment expansion, starts
// that fail, captured output, and process identity by start time.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace {

TEST(Process, CommandLinesSplitAtBlanksWithQuotesGrouping) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"  prog\t a  ", {"prog", "a"}},
      {"\"C:\\Program Files\\x.exe\" -y", {"C:\\Program Files\\x.exe", "-y"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"prog \"\"", {"prog", ""}},
      {"prog 'single quotes' stay", {"prog", "'single", "quotes'", "stay"}},
      {"", {}},
      {"unterminated \"quote here", {"unterminated", "quote here"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

TEST(Process, EnvironmentNamesExpand) {
  setenv("CORVEL_TEST_X", "ex", 1);
  unsetenv("CORVEL_TEST_UNSET");
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"%CORVEL_TEST_X%", "ex"},
      {"a%CORVEL_TEST_X%b%CORVEL_TEST_X%", "aexbex"},
      {"%CORVEL_TEST_UNSET%", "%CORVEL_TEST_UNSET%"},
      {"100% sure", "100% sure"},
      {"50%%CORVEL_TEST_X%", "50%ex"},
      {"%%", "%%"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandEnvironmentText(c.in), c.out) << c.in;
}

TEST(Process, StartsRunsAndCaptures) {
  std::string out, why;
  int code = -1;
  ASSERT_TRUE(RunProgram({"sh", "-c", "echo hello; exit 3"}, 10000, out, code, why)) << why;
  EXPECT_EQ(out, "hello\n");
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(RunProgram({"/nonexistent/program"}, 10000, out, code, why));
  EXPECT_NE(why.find("not found"), std::string::npos);
  EXPECT_FALSE(RunProgram({"no-such-program-of-corvel"}, 10000, out, code, why));
  // A file that is there but cannot be executed is a failed start, not a run.
  EXPECT_FALSE(RunProgram({"/etc/hostname"}, 10000, out, code, why));
  EXPECT_FALSE(RunProgram({"sleep", "5"}, 100, out, code, why)) << "did not end in time";
}

TEST(Process, StartTimeNamesOneLiveProcess) {
  uint64_t mine = 0, again = 0;
  ASSERT_TRUE(GetProcessStartTime(getpid(), mine));
  ASSERT_TRUE(GetProcessStartTime(getpid(), again));
  EXPECT_EQ(mine, again);
  pid_t child = fork();
  if (child == 0) _exit(0);
  usleep(100000);
  uint64_t start = 0;
  EXPECT_FALSE(GetProcessStartTime(child, start)) << "a zombie does not run";
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_FALSE(GetProcessStartTime(child, start));
}

}  // namespace
