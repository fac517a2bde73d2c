// The server program as a user runs it: start, log, single instance, shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

#include "tests/support/loopback.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "server/core/config.h"
#include "server/main/startup.h"
#include "tests/core/test_home.h"

namespace {

const std::string kServer = std::string(CORVEL_BIN_DIR) + "/corvel95";

std::string ReadFile(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out);
  return out;
}

// Starts the server with `args`; stdout and stderr go to <home>/out.txt.
pid_t StartServer(const std::string& home, std::vector<std::string> args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string out = home + "out.txt";
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> argv{const_cast<char*>(kServer.c_str())};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(kServer.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Waits up to `ms` for the child; returns its exit status or -1000 on time-out.
int WaitExit(pid_t pid, uint32_t ms) {
  uint32_t start = GetTickCount32();
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    if (TickElapsed(GetTickCount32(), start) > ms) return -1000;
    SleepMs(20);
  }
}

bool WaitForText(const std::string& path, const std::string& text, uint32_t ms) {
  uint32_t start = GetTickCount32();
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    SleepMs(50);
  }
  return false;
}

// A home whose registry keeps the test on loopback and on free ports.
struct ServerHome : TestHome {
  ServerHome() {
    RegSetString(kRootKey, "DomainServer", "127.0.0.1");
    RegSetDword(kRootKey, "DisableDNSLookup", 1);
    RegSetString(kRootKey, "BindAddress", "127.0.0.1");
    RegSetDword(kRootKey, "SysAccess", 0);
    RegSetDword(kRootKey, "SysOptSmtp", uint32_t(FreeLoopbackPort()));
    RegSetString(kRootKey, "MailUser", "");  // run as root in CI on a home root owns
    RegCloseStore();
  }
};

TEST(CommandLineTest, SwitchGroups) {
  struct Case { std::vector<const char*> words; bool ok, a, h; std::string why; } cases[] = {
      {{"-ah"}, true, true, true, ""},
      {{"/H"}, true, false, true, ""},
      {{"-a", "word", "-x"}, true, true, false, ""},  // scanning stops at "word"
      {{"/x"}, false, false, false, "Unknown flag: x"},
      {{"-hq"}, false, false, true, "Unknown flag: q"},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv{const_cast<char*>("corvel95")};
    for (const char* w : c.words) argv.push_back(const_cast<char*>(w));
    CommandLine cmd;
    std::string why;
    EXPECT_EQ(ParseCommandLine(int(argv.size()), argv.data(), cmd, why), c.ok) << c.words[0];
    EXPECT_EQ(why, c.why);
    if (c.ok) {
      EXPECT_EQ(cmd.closeEndsProgram, c.a);
      EXPECT_EQ(cmd.hidden, c.h);
    }
  }
}

TEST(SpineTest, StartsLogsSingleInstanceAndStopsOnSigterm) {
  ServerHome home;
  pid_t first = StartServer(home.dir, {"--home", home.dir, "-H"});
  std::string log = home.dir + "maillog.txt";
  // "SMTP server started." is the last start-up line this test reads.
  ASSERT_TRUE(WaitForText(log, "SMTP server started.", 10000))
      << ReadFile(log) << ReadFile(home.dir + "out.txt");
  std::string text = ReadFile(log);
  EXPECT_NE(text.find("Program Started.\r\n"), std::string::npos);
  EXPECT_NE(text.find("Corvel95 version 1.0 is starting."), std::string::npos);
  EXPECT_NE(text.find("Network interface started"), std::string::npos);
  EXPECT_NE(text.find("SMTP server started."), std::string::npos);

  // A second copy for the same home tells the first and exits 0.
  pid_t second = StartServer(home.dir, {"--home", home.dir});
  EXPECT_EQ(WaitExit(second, 10000), 0);
  EXPECT_TRUE(WaitForText(log, "Brought forward", 5000));

  kill(first, SIGTERM);
  EXPECT_EQ(WaitExit(first, 5000), 0);
  text = ReadFile(log);
  EXPECT_NE(text.find("Program Stopped.\r\n"), std::string::npos);
  // Every line has the time stamp form "yy/mm/dd hh:mm:ss ".
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    ASSERT_GE(line.size(), 18u) << line;
    EXPECT_EQ(line[2], '/');
    EXPECT_EQ(line[8], ' ');
    EXPECT_EQ(line[11], ':');
    EXPECT_EQ(line.back(), '\r');
  }
}

TEST(SpineTest, BadCommandLineAndBadRegistryFailClearly) {
  ServerHome home;
  pid_t pid = StartServer(home.dir, {"--home", home.dir, "/x"});
  EXPECT_NE(WaitExit(pid, 10000), 0);
  EXPECT_NE(ReadFile(home.dir + "out.txt").find("Unknown flag: x"), std::string::npos);

  std::string reg = home.dir + "broken.db";
  std::string junk(4096, 'J');
  std::ofstream(reg) << junk;
  pid = StartServer(home.dir, {"--home", home.dir, "--registry", reg});
  EXPECT_NE(WaitExit(pid, 10000), 0);
  EXPECT_NE(ReadFile(home.dir + "out.txt").find(reg), std::string::npos);
  EXPECT_EQ(ReadFile(reg), junk);  // never reset or overwritten
}

}  // namespace
