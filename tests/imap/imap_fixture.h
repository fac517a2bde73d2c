// A running IMAP server for dialogue tests: a temporary home with its own
// registry, accounts with mailbox files in it, the network layer started and the
// IMAP and POP3 listeners on 127.0.0.1 and free ports, and a small blocking
// client. Nothing here talks to an address outside 127.0.0.0/8.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
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
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/imap/imap.h"
#include "server/net/net.h"
#include "server/pop3/pop3_server.h"
#include "server/smtp/smtp_auth.h"
#include "tests/support/loopback.h"

// One client connection with a receive time-out, so a missing reply fails the
// test instead of hanging it.
struct ImapClient {
  int fd = -1;
  std::string pending;

  explicit ImapClient(int port, int timeoutSeconds = 20)
      : fd(ConnectLoopback(port, timeoutSeconds)) {}
  ~ImapClient() {
    if (fd >= 0) close(fd);
  }
  ImapClient(const ImapClient&) = delete;
  ImapClient& operator=(const ImapClient&) = delete;

  bool SendRaw(const std::string& bytes) { return SendAllBytes(fd, bytes); }
  // One line without its CRLF; "<closed>" when the connection ended.
  std::string ReadLine() {
    for (;;) {
      size_t lf = pending.find("\r\n");
      if (lf != std::string::npos) {
        std::string line = pending.substr(0, lf);
        pending.erase(0, lf + 2);
        return line;
      }
      char buf[65536];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return "<closed>";
      pending.append(buf, size_t(n));
    }
  }
  // Sends `command` tagged `tag` and collects every line up to the tagged one,
  // literals included; the tagged line is the last element.
  std::vector<std::string> Ask(const std::string& tag, const std::string& command) {
    SendRaw(tag + " " + command + "\r\n");
    return Collect(tag);
  }
  std::vector<std::string> Collect(const std::string& tag) {
    std::vector<std::string> lines;
    for (;;) {
      std::string line = ReadLine();
      lines.push_back(line);
      if (line == "<closed>" || line.rfind(tag + " ", 0) == 0) return lines;
    }
  }
};

// All lines of a response joined by "\n", for substring checks.
inline std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

class ImapTest : public ::testing::Test {
 public:
  // A stored message as the router writes it: separator, header, empty line, body.
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
  int popPort = 0;

  void SetUp() override {
    // Separator lines carry local time; the stored mailboxes here are written in UTC.
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/corvel-imap-XXXXXX";
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
    ResetAuthFailures();
    ForgetImapFolders();
    ASSERT_TRUE(Pop3Init(why));
    ASSERT_TRUE(ImapInit(why));
    ASSERT_TRUE(NetStartup(why)) << why;
    ASSERT_TRUE(ImapListen("127.0.0.1", 0, why, &port)) << why;
    ASSERT_TRUE(Pop3Listen("127.0.0.1", 0, why, &popPort)) << why;
    AddUser("alice", "secret");
  }

  void TearDown() override {
    NetShutdown();
    RegCloseStore();
    ForgetImapFolders();
    std::string cmd = "rm -rf '" + home + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }

  void AddUser(const std::string& name, const std::string& password) {
    std::string scrambled, why;
    ASSERT_TRUE(ScramblePassword(name, password, scrambled));
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
  // Appends a message the way the router does (lock, append, hook) and returns
  // how long the append took.
  long long Deliver(const std::string& account, const std::string& subject) {
    auto start = std::chrono::steady_clock::now();
    MailboxLock lock;
    bool timedOut = false;
    EXPECT_TRUE(LockMailbox(account, 0, lock, timedOut));
    MailboxAppend append;
    EXPECT_EQ(OpenMailboxFileForAppend(MailboxOf(account), "carol@remote.test", append),
              AppendOpen::kOpened);
    std::string text = "Subject: " + subject + "\r\n\r\nbody of " + subject + "\r\n";
    EXPECT_TRUE(WriteAll(append.fd.get(), text.data(), text.size()));
    std::string why;
    EXPECT_TRUE(FinishMailboxAppend(append, why)) << why;
    UnlockMailbox(lock);
    if (RouterHandlers().mailboxAppended) RouterHandlers().mailboxAppended(MailboxOf(account));
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
  }
  // A client logged in as alice with INBOX selected; returns the SELECT lines.
  std::vector<std::string> LoginAndSelect(ImapClient& c, const std::string& verb = "SELECT") {
    EXPECT_EQ(c.ReadLine().rfind("* OK [CAPABILITY IMAP4rev1", 0), 0u);
    std::vector<std::string> r = c.Ask("l1", "LOGIN alice secret");
    EXPECT_EQ(r.back().rfind("l1 OK", 0), 0u) << Joined(r);
    r = c.Ask("s1", verb + " INBOX");
    EXPECT_EQ(r.back().rfind("s1 OK", 0), 0u) << Joined(r);
    return r;
  }
};
