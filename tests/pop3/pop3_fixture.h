// A running POP3 server for dialogue tests: a temporary home with its own
// registry, accounts with mailbox files in it, the network layer started and the
// listener on 127.0.0.1 and a free port, and a small blocking client. Nothing
// here talks to an address outside 127.0.0.0/8.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
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
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/pop3/pop3_server.h"

// One client connection with a receive time-out, so a missing reply fails the
// test instead of hanging it.
struct PopClient {
  int fd = -1;
  std::string pending;

  explicit PopClient(int port, int timeoutSeconds = 20)
      : fd(ConnectLoopback(port, timeoutSeconds)) {}
  ~PopClient() { Close(); }
  PopClient(const PopClient&) = delete;
  PopClient& operator=(const PopClient&) = delete;

  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  // Resets the connection instead of closing it politely.
  void Abort() { ResetConnection(fd); }
  bool ok() const { return fd >= 0; }
  bool SendRaw(const std::string& bytes) { return SendAllBytes(fd, bytes); }
  bool Send(const std::string& line) { return SendRaw(line + "\r\n"); }
  // One line with its CRLF; "<closed>" when the connection ended.
  std::string ReadRawLine() {
    for (;;) {
      size_t lf = pending.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending.substr(0, lf + 1);
        pending.erase(0, lf + 1);
        return line;
      }
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return "<closed>";
      pending.append(buf, size_t(n));
    }
  }
  // One line without its CRLF.
  std::string ReadLine() {
    std::string line = ReadRawLine();
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
      line.resize(line.size() - 2);
    return line;
  }
  std::string Ask(const std::string& line) {
    if (!Send(line)) return "<send failed>";
    return ReadLine();
  }
  // The lines of a multi-line answer up to (without) the ".", as sent (CRLF
  // included); "<closed>" appended when the connection ended first.
  std::string ReadBody() {
    std::string all;
    for (;;) {
      std::string line = ReadRawLine();
      if (line == "<closed>") return all + line;
      if (line == ".\r\n") return all;
      all += line;
    }
  }
  bool ClosedByServer() { return ReadRawLine() == "<closed>"; }
};

class Pop3Test : public ::testing::Test {
 public:
  // A stored message: separator, header lines, empty line, body (lines ended
  // by CRLF), as the router writes it.
  static std::string Message(const std::string& header, const std::string& body,
                             const std::string& sender = "bob@remote.test") {
    return "From " + sender + " Fri Dec  4 10:00:00 2026\r\n" + header + "\r\n" + body;
  }
  // A mailbox of `messages`, each with its end mark, later ones after an empty line.
  static std::string Mailbox(const std::vector<std::string>& messages) {
    std::string all;
    for (size_t i = 0; i < messages.size(); ++i) {
      if (i > 0) all += "\r\n";
      all += messages[i] + "\r\n";
    }
    return all;
  }

 protected:
  std::string home;
  int port = 0;
  int nodesAtStart = 0;

  void SetUp() override {
    char tmpl[] = "/tmp/corvel-pop3-XXXXXX";
    home = mkdtemp(tmpl);
    home += '/';
    SetHomeDirectory(home);
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(home + "registry.db", why)) << why;
    SetWindowEchoToStdout(false);
    SetLogOptions(0xFFFFFFFFu, 0);
    ClearWindowLog();
    Settings& s = ServerSettings();
    s = Settings();
    s.homeDirectory = s.userDirectory = home;
    s.productName = "Corvel95";
    s.productVersion = "1.0";
    s.localNode = "mail.test";
    s.localIp = "127.0.0.1";
    ASSERT_TRUE(Pop3Init(why));
    ASSERT_TRUE(NetStartup(why)) << why;
    nodesAtStart = NetCountNodes();
    ASSERT_TRUE(Pop3Listen("127.0.0.1", 0, why, &port)) << why;
    ASSERT_GT(port, 0);
    AddUser("alice", "secret");
  }

  void TearDown() override {
    NetShutdown();
    RegCloseStore();
    std::string cmd = "rm -rf '" + home + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }

  void AddUser(const std::string& name, const std::string& password) {
    std::string scrambled, why;
    if (!password.empty()) {
      ASSERT_TRUE(ScramblePassword(name, password, scrambled));
    }
    ASSERT_TRUE(WriteUserRecord(name, name, MailboxOf(name), scrambled, "", "", why)) << why;
  }
  std::string MailboxOf(const std::string& name) { return home + name + ".mbx"; }

  void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // A client logged in as alice (or `user`) by USER/PASS.
  void Login(PopClient& c, const std::string& user = "alice",
             const std::string& password = "secret") {
    ASSERT_TRUE(c.ok());
    std::string greeting = c.ReadLine();
    ASSERT_EQ(greeting.substr(0, 4), "+OK ") << greeting;
    ASSERT_EQ(c.Ask("USER " + user), "+OK " + user + " welcome here");
    std::string reply = c.Ask("PASS " + password);
    std::string want = "+OK mailbox for " + user + " has ";
    ASSERT_EQ(reply.substr(0, want.size()), want) << reply;
  }
  bool WaitForSessionsToEnd(int seconds = 10) {
    for (int i = 0; i < seconds * 100; ++i) {
      if (NetCountNodes() <= nodesAtStart + 1) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  bool LogHas(const std::string& text) {
    for (const std::string& line : WindowLogLines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};
