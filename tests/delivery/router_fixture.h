// Accounts, spool files and queue runs for the router's tests.
#pragma once

#include <string>
#include <vector>

#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/accounts/router.h"
#include "server/spool/spool.h"
#include "tests/support/spool_files.h"
#include "tests/delivery/delivery_fixture.h"

class RouterTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    ResetRouterState();
    RouterHandlers() = RouterHooks();
    std::string why;
    for (const char* u : {"root", "alice", "bob", "carol"})
      ASSERT_TRUE(WriteUserRecord(u, std::string(u) + " user", UserPath(u), "", "", "", why)) << why;
    ASSERT_TRUE(WriteAliasRecord("postmaster", "root", "", why));
    ASSERT_TRUE(WriteAliasRecord("sales", "alice", "", why));
  }
  void TearDown() override {
    RouterHandlers() = RouterHooks();
    ResetRouterState();
    DeliveryTest::TearDown();
  }
  // Writes a committed incoming file named `name` (in the incoming directory).
  std::string Spool(const std::string& name, const std::string& sender,
                    const std::vector<std::string>& to, const std::string& message) {
    std::string text = "From: " + sender + "\r\n";
    for (const std::string& t : to) text += "To: " + t + "\r\n";
    text += "\r\n" + message;
    std::string path = ServerSettings().incomingDirectory + name;
    Write(path, text);
    return path;
  }
  static std::string Message(const std::string& id, const std::string& body = "Hello.\r\n") {
    return "Received: by mail.example.org from client.example\r\n    (mail daemon,Corvel95 V1.0); x\r\n"
           "Message-Id: <" + id + ">\r\nSubject: test " + id + "\r\nFrom: bob@remote.example\r\n"
           "To: alice@mail.example.org\r\nDate: Tue, 14 Nov 2023 22:13:20 +0000\r\n\r\n" + body;
  }
  // Runs the queue until it is idle (bounded).
  void RunQueue(int maxCalls = 200) {
    for (int i = 0; i < maxCalls; ++i) {
      if (!RouteIncomingQueue()) {
        if (ListFiles(ServerSettings().incomingDirectory, "*.in").empty()) return;
      }
    }
  }
  MailboxIndex Index(const std::string& user) {
    MailboxIndex index;
    UniqueFd fd = OpenMailboxForReading(UserPath(user));
    std::string why;
    if (fd.valid()) IndexMailbox(fd.get(), index, why);
    return index;
  }
  std::vector<std::string> Files(const char* pattern, bool incoming = true) {
    return ListFiles(incoming ? ServerSettings().incomingDirectory : ServerSettings().outgoingDirectory,
                     pattern);
  }
  std::vector<std::string> QueueFiles(bool incoming = true) {
    return QueueFilesIn(incoming ? ServerSettings().incomingDirectory
                                 : ServerSettings().outgoingDirectory);
  }
  std::string ReadIn(const std::string& name, bool incoming = true) {
    return Read((incoming ? ServerSettings().incomingDirectory : ServerSettings().outgoingDirectory) +
                name);
  }
};
