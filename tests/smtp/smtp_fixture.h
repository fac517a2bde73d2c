// A running SMTP server for dialogue tests: a temporary home with its own
// registry and spool directories, the network layer started, the listener on
// 127.0.0.1 and a free port, and a small blocking client that writes a line and
// reads a whole reply. Nothing here ever talks to an address outside 127.0.0.0/8:
// host verification is off or goes to a fake.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "tests/support/loopback.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/smtp/smtp_server.h"
#include "server/smtp/smtp_session.h"
#include "server/spool/headers.h"

// One client connection with a receive time-out, so a missing reply fails the
// test instead of hanging it.
struct SmtpClient {
  int fd = -1;
  std::string pending;  // bytes read beyond the last line

  explicit SmtpClient(int port, int timeoutSeconds = 10)
      : fd(ConnectLoopback(port, timeoutSeconds)) {}
  ~SmtpClient() { Close(); }
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  // Resets the connection instead of closing it politely.
  void Abort() { ResetConnection(fd); }
  bool ok() const { return fd >= 0; }

  bool SendRaw(const std::string& bytes) { return SendAllBytes(fd, bytes); }
  bool Send(const std::string& line) { return SendRaw(line + "\r\n"); }

  // One line without its CRLF; "" with `gone` set when the connection ended.
  std::string ReadLine(bool* gone = nullptr) {
    if (gone) *gone = false;
    for (;;) {
      size_t lf = pending.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending.substr(0, lf);
        pending.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        if (gone) *gone = true;
        return "";
      }
      pending.append(buf, size_t(n));
    }
  }
  // A whole reply: lines until one whose fourth character is not "-", joined
  // with LF.
  std::string Reply() {
    std::string all;
    for (;;) {
      bool gone = false;
      std::string line = ReadLine(&gone);
      if (gone) return all.empty() ? "<closed>" : all + "\n<closed>";
      if (!all.empty()) all += "\n";
      all += line;
      if (line.size() < 4 || line[3] != '-') return all;
    }
  }
  std::string Ask(const std::string& line) {
    if (!Send(line)) return "<send failed>";
    return Reply();
  }
  // True when the server closed the connection (read returns 0).
  bool ClosedByServer() {
    bool gone = false;
    std::string line = ReadLine(&gone);
    return gone && line.empty();
  }
};

class SmtpServerTest : public ::testing::Test {
 protected:
  std::string home;
  int port = 0;
  int nodesAtStart = 0;

  void SetUp() override {
    char tmpl[] = "/tmp/corvel-smtp-XXXXXX";
    home = mkdtemp(tmpl);
    home += '/';
    SetHomeDirectory(home);
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(home + "registry.db", why)) << why;
    SetWindowEchoToStdout(false);
    Settings& s = ServerSettings();
    s = Settings();
    s.homeDirectory = s.userDirectory = home;
    s.incomingDirectory = home + "in/";
    s.outgoingDirectory = home + "out/";
    MakeDirectories(s.incomingDirectory);
    MakeDirectories(s.outgoingDirectory);
    s.productName = "Corvel95";
    s.productVersion = "1.0";
    s.softwareName = "Corvel95 V1.0";
    s.localNode = "mail.test";
    s.localIp = "127.0.0.1";
    s.verifyIncoming = false;  // no reverse lookups unless a test fakes them
    s.disableDnsLookup = true;
    SetMailClock(1700000000);
    ComputeEsmtpExtensions();
    SetSmtpReverseLookup(nullptr);
    SetSmtpEtrnHook(nullptr);
    ASSERT_TRUE(NetStartup(why)) << why;
    nodesAtStart = NetCountNodes();
    ASSERT_TRUE(SmtpListen("127.0.0.1", 0, why, &port)) << why;
    ASSERT_GT(port, 0);
  }

  void TearDown() override {
    NetShutdown();
    SetMailClock(0);
    RegCloseStore();
    std::string cmd = "rm -rf '" + home + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }

  // Changes a setting that sessions read when they start; the extension mask
  // is recomputed as start-up does.
  void Restart() { ComputeEsmtpExtensions(); }

  // Names of the incoming directory's files that match `pattern` ("*.in").
  std::vector<std::string> Files(const std::string& pattern) {
    return ::ListFiles(ServerSettings().incomingDirectory, pattern);
  }
  std::string InFile(const std::string& name) {
    return ReadWhole(ServerSettings().incomingDirectory + name);
  }
  std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Waits until every session node is gone again (the listener stays).
  bool WaitForSessionsToEnd(int seconds = 10) {
    for (int i = 0; i < seconds * 100; ++i) {
      if (NetCountNodes() <= nodesAtStart + 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The Received line this server writes for a client of 127.0.0.1, with CRLF.
  std::string Received(const std::string& from, bool verified = false) {
    const Settings& s = ServerSettings();
    return BuildReceivedLine(s.localNode, from, "127.0.0.1",
                             verified ? "mail daemon" : "mail daemon; unverified",
                             "Corvel95 V1.0", true) +
           "\r\n";
  }

  // Greeting and EHLO (or HELO) done.
  void Hello(SmtpClient& c, bool ehlo = true, const std::string& name = "client.test") {
    ASSERT_TRUE(c.ok());
    std::string greeting = c.Reply();
    ASSERT_EQ(greeting.substr(0, 4), "220-") << greeting;
    std::string reply = c.Ask((ehlo ? "EHLO " : "HELO ") + name);
    ASSERT_EQ(reply.substr(0, 3), "250") << reply;
  }
};
