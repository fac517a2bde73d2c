// A fresh home, registry, user directory and spool directories per test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/loopback.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/spool/headers.h"

// The settings every delivery test runs with, below the home `dir` (ends in '/').
inline void ApplyTestSettings(const std::string& dir) {
  Settings& s = ServerSettings();
  s.homeDirectory = dir;
  s.localNode = "mail.example.org";
  s.localIp = "127.0.0.1";
  s.userDirectory = dir + "users/";
  s.incomingDirectory = dir + "in/";
  s.outgoingDirectory = dir + "out/";
  s.incomingAlias = "";
  s.outgoingAlias = "";
  s.softwareName = "Corvel95 V1.0";
  s.allowUnknown = false;
  s.forwardToSmarthost = false;
  s.limitRecipients = 50;
  s.useVelmontRouter = true;
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-delivery-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(dir_ + "registry.db", why)) << why;
    SetHomeDirectory(dir_);
    saved_ = ServerSettings();
    ApplyTestSettings(dir_);
    Settings& s = ServerSettings();
    for (const std::string* d : {&s.userDirectory, &s.incomingDirectory, &s.outgoingDirectory})
      ASSERT_TRUE(MakeDirectories(*d));
    SetMailClock(1700000000);
    SetWindowEchoToStdout(false);
    ASSERT_TRUE(LoadSecondaryDomains(why));  // the table is process-wide
    ClearWindowLog();  // Tue Nov 14 22:13:20 2023 UTC
  }
  void TearDown() override {
    SetMailClock(0);
    ServerSettings() = saved_;
    RegCloseStore();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static std::string Read(const std::string& path) {
    std::string out;
    ReadWholeFile(path, out);
    return out;
  }
  static void Write(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd.valid()) << path;
    ASSERT_TRUE(WriteAll(fd.get(), text.data(), text.size()));
  }
  std::string UserPath(const std::string& name) const {
    return ServerSettings().userDirectory + name + ".mbx";
  }

  std::string dir_;
  Settings saved_;
};

// ---- The real server ------------------------------------------------------------

inline bool PortAccepts(int port, const char* host = "127.0.0.1") {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, host, &a.sin_addr);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// The number of messages the mailbox file holds by the split rule (0 when absent).
inline size_t MailboxMessages(const std::string& path) {
  UniqueFd fd = OpenShared(path, O_RDONLY);
  MailboxIndex index;
  std::string why;
  if (fd.valid()) IndexMailbox(fd.get(), index, why);
  return index.messages.size();
}

// Waits until the mailbox holds `n` messages. The count is taken again under the
// account's mailbox lock (the account named by the file's stem), so a message
// whose separator is written but whose text is still coming is waited for.
inline bool WaitForMailboxMessages(const std::string& path, size_t n, uint32_t ms) {
  uint32_t start = GetTickCount32();
  auto whole = [&]() {
    if (MailboxMessages(path) < n) return false;
    std::string stem = path.substr(path.rfind('/') + 1);
    stem = stem.substr(0, stem.find('.'));
    MailboxLock lock;
    bool timedOut = false;
    LockMailbox(stem, 5000, lock, timedOut);
    return MailboxMessages(path) >= n;
  };
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (whole()) return true;
    SleepMs(50);
  }
  return whole();
}

// The registry values every real-server test runs with: loopback only, no DNS,
// the SMTP listener on `smtpPort`, POP3 off. Written to the open store.
inline void WriteLoopbackServerSettings(int smtpPort) {
  RegSetString(kRootKey, "DomainServer", "127.0.0.1");
  RegSetDword(kRootKey, "DisableDNSLookup", 1);
  RegSetDword(kRootKey, "VerifyIncoming", 0);
  RegSetString(kRootKey, "BindAddress", "127.0.0.1");
  RegSetDword(kRootKey, "SysAccess", 0);
  RegSetDword(kRootKey, "SysOptSmtp", uint32_t(smtpPort));
  RegSetDword(kRootKey, "SysOptPop", uint32_t(FreeLoopbackPort()));
  RegSetString(kRootKey, "LocalNode", "mail.example.org");
  RegSetString(kRootKey, "LocalIP", "127.0.0.1");
  RegSetDword(kRootKey, "VerifyNode", 0);
  RegSetDword(kRootKey, "InQueueTime", 5);
  RegSetDword(kRootKey, "LimitRecipients", 50);
  // Tests run as root in CI on homes root owns: the server stays root.
  RegSetString(kRootKey, "MailUser", "");
}

// A corvel95 child on the home `home` (the registry must be closed by the caller
// while the server runs). Its output goes to out.txt in the home.
class ServerProcess {
 public:
  ~ServerProcess() { Stop(); }
  // Starts the server (with `extra` arguments after the home) and waits until
  // `port` on `host` accepts (up to 10 s). False when it did not, or ended first.
  bool Start(const std::string& home, int port, std::vector<std::string> extra = {},
             const char* host = "127.0.0.1") {
    std::string out = home + "out.txt";
    if (!DirectoryExists(home)) out = "/dev/null";  // a home the server is to make
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::string bin = std::string(CORVEL_BIN_DIR) + "/corvel95";
      std::vector<std::string> args = {bin, "--home", home, "-H"};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    uint32_t start = GetTickCount32();
    while (TickElapsed(GetTickCount32(), start) < 10000) {
      if (PortAccepts(port, host)) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      SleepMs(20);
    }
    return false;
  }
  // Sends `signal` and reaps the child.
  void Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }
  // True while the child has not ended (it is not reaped here when it has).
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
};

// ---- Crash runs ---------------------------------------------------------------------

// Runs `python3 script args...` with its standard output in `outFile`. Returns the
// child's pid (-1 on failure).
inline pid_t StartPythonSender(const std::string& script, const std::vector<std::string>& args,
                               const std::string& outFile) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    std::vector<std::string> all = {"python3", script};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("python3", argv.data());
    _exit(127);
  }
  return pid;
}

// While `sender` runs (at most `limitMs`), kills the server with SIGKILL every 10 to
// 120 ms (at most `maxKills` times) and starts it again; ends the sender when time
// is up. Returns the number of kills, or -1 when a restart failed.
inline int KillWhileSending(ServerProcess& server, const std::string& home, int port,
                            pid_t sender, uint32_t seed, int maxKills, uint32_t limitMs) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause(10, 120);
  int kills = 0, status = 0;
  bool senderDone = false;
  uint32_t start = GetTickCount32();
  while (!senderDone && TickElapsed(GetTickCount32(), start) < limitMs) {
    uint32_t until = GetTickCount32() + uint32_t(pause(random));
    while (!senderDone && int32_t(until - GetTickCount32()) > 0) {
      senderDone = waitpid(sender, &status, WNOHANG) == sender;
      SleepMs(10);
    }
    if (senderDone || kills >= maxKills) continue;
    server.Stop(SIGKILL);
    ++kills;
    if (!server.Start(home, port)) return -1;
  }
  if (!senderDone) {
    kill(sender, SIGKILL);
    waitpid(sender, &status, 0);
  }
  return kills;
}

// The "ok <message> <attempt>" lines a crash sender printed.
inline std::vector<std::pair<int, int>> ParseAcks(const std::string& text) {
  std::vector<std::pair<int, int>> accepted;
  for (size_t pos = 0; (pos = text.find("ok ", pos)) != std::string::npos; ++pos) {
    int i = 0, a = 0;
    if (sscanf(text.c_str() + pos, "ok %d %d", &i, &a) == 2) accepted.emplace_back(i, a);
  }
  return accepted;
}
