// RMCP, the password changer, finger notifications and the access bits through
// the real server, with the small Python clients of remote_clients.py.
#include "tests/remote/remote_fixture.h"

namespace {

// The hex of a request: id 1, then `name`.
std::string Request(const std::string& name) {
  std::string hex = "01000000";
  for (unsigned char c : name) {
    char two[3];
    snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

class RemoteServicesTest : public RemoteServerTest {};

TEST_F(RemoteServicesTest, RmcpAnswersOncePerRequestFromItsPort) {
  WriteSettings(kAccessRmcp);
  std::string why;
  const std::string longName(99, 'l');
  AddUser("alice", "Alice", "", kAccessRmcp);
  AddUser("bob", "Bob", "", kAccessPop3);  // no RMCP bit
  AddUser("carl", "Carl", "", kAccessRmcp);  // no mailbox file
  ASSERT_TRUE(WriteUserRecord(longName, "Long", Box("long"), "", "", "", why)) << why;
  ASSERT_TRUE(WriteUserExtra(longName, {kAccessRmcp, "", ""}, "", why)) << why;
  for (const char* box : {"alice", "bob", "long"})
    WriteFile(Box(box), "From a@b Fri Dec  4 10:00:00 2026\r\n\r\nx\r\n\r\n");
  Start();
  std::string from = "from 127.0.0.1:" + std::to_string(rmcp_) + "\n";
  std::string none = "reply 000000000000000000000000 " + from;
  std::string mail = "reply 000000000000000100000000 " + from;
  std::string out = Client("rmcp 127.0.0.1 " + std::to_string(rmcp_) + " 01000000 - 0100000000 " +
                           Request("alice") + " " + Request("bob") + " " + Request("nobody") + " " +
                           Request("carl") + " " + Request(longName + std::string(51, 'x')) + " " +
                           Request(std::string("alice") + '\0' + "junk"));
  // 4 bytes, 0 bytes and an empty name are not answered; the daemon goes on.
  EXPECT_EQ(out, "none\nnone\nnone\n" + mail + none + none + none + mail + mail);
}

class PasswordChangerTest : public RemoteServerTest {
 protected:
  void SetUp() override {
    WriteSettings(kAccessPop3 | kAccessPasswordChange);
    AddUser("alice", "Alice Smith", "old-secret", kAccessPop3 | kAccessPasswordChange, "", "",
            "copy@example.org");
    AddUser("dora", "Dora", "dora-pass", kAccessPop3);  // may not change it remotely
    AddUser("erin", "Erin", "", kAccessPasswordChange);  // no password at all
    Start();
  }
  std::string DialogueCommand(const std::vector<std::string>& lines) {
    std::string args;
    for (const std::string& l : lines) args += " '" + l + "'";
    return "python3 " + std::string(kRemoteClients) + " dialogue 127.0.0.1 " +
           std::to_string(password_) + args;
  }
  std::string Dialogue(const std::vector<std::string>& lines) {
    return Run(DialogueCommand(lines));
  }
  std::string Pop(const std::string& user, const std::string& password) {
    return Client("pop 127.0.0.1 " + std::to_string(pop_) + " " + user + " " + password);
  }
};

TEST_F(PasswordChangerTest, ChangesTheRecordAndNothingElse) {
  const std::string before = RegGet("Users", "alice");
  const std::string hello = "greeting b'200 hello\\r\\n'\n";
  const std::string askPass = "reply b'300 send password:\\r\\n'\n";
  const std::string askNew = "reply b'200 thank you, send your new password:\\r\\n'\n";
  const std::string bye = "reply b'200 bye\\r\\n'\n";
  auto reply = [](const std::string& text) { return "reply b'" + text + "\\r\\n'\n"; };
  struct Refusal {
    std::string user, old, newpass, want;
  } refusals[] = {
      {"alice", "wrong", "new-secret", reply("500 authentication failure")},
      {"alice", "old-secret", "ab", reply("500 new password must be between 3 and 16 characters")},
      {"alice", "old-secret", "seventeen-chars-x",
       reply("500 new password must be between 3 and 16 characters")},
      {"alice", "old-secret", "old-secret", reply("500 passwords must be different")},
      {"alice", "old-secret", "two words", reply("500 protocol error")},
      // A right password that is one character longer than any password is wrong.
      {"alice", "old-secret-and-x-y", "new-secret", reply("500 authentication failure")},
      {"dora", "dora-pass", "new-secret", reply("500 authentication failure")},
      {"erin", "anything", "new-secret", reply("500 authentication failure")},
      {"nobody", "x", "new-secret", reply("500 authentication failure")},
  };
  // All at once: each failed check is answered a second later.
  std::vector<FILE*> clients;
  for (const Refusal& r : refusals)
    clients.push_back(popen(
        DialogueCommand({"USER " + r.user, "PASS " + r.old, "NEWPASS " + r.newpass, "NOOP", "QUIT"})
            .c_str(),
        "r"));
  for (size_t i = 0; i < clients.size(); ++i) {
    ASSERT_NE(clients[i], nullptr);
    std::string out;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, clients[i])) > 0) out.append(buf, n);
    pclose(clients[i]);
    EXPECT_EQ(out, hello + askPass + askNew + refusals[i].want +
                       reply("500 illegal command while waiting for quit") + bye)
        << refusals[i].user << " " << refusals[i].newpass;
  }
  EXPECT_EQ(RegGet("Users", "alice"), before);
  EXPECT_EQ(RegGet("Users", "dora").find("u;Dora;"), 0u);

  EXPECT_EQ(Dialogue({"user Alice", "pass old-secret", "newpass new-secret", "quit"}),
            hello + askPass + askNew + reply("200 password changed.  thanks!") + bye);
  std::string scrambled;
  ASSERT_TRUE(ScramblePassword("alice", "new-secret", scrambled));
  EXPECT_EQ(RegGet("Users", "alice"),
            "u;Alice Smith;" + Box("alice") + ";" + scrambled + ";copy@example.org\n");
  EXPECT_EQ(Pop("alice", "new-secret"), "login +OK mailbox for alice has 0 messages (0 octets)\ndeleted 0\n");
  EXPECT_EQ(Pop("alice", "old-secret"), "failed -ERR invalid password\n");
  std::string log = Log();
  for (const char* secret : {"old-secret", "new-secret", "dora-pass", "wrong", "seventeen", "two words"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  EXPECT_EQ(CountOf(log, "Password for 'Alice' changed."), 1u);
}

TEST_F(RemoteServicesTest, NotificationFingersTheClientMachineOnce) {
  const std::string host = "127.0.15.5";
  int port = FreeLoopbackPort();
  WriteSettings(kAccessFinger | kAccessRemoteFinger);
  RegSetDword(kRootKey, "SysOptRFngr", uint32_t(port));
  AddUser("alice", "Alice", "", kAccessRemoteFinger, "watch@" + host);
  AddUser("bob", "Bob", "", kAccessFinger, "bob@" + host);  // no notification bit
  FILE* listener = popen(("python3 " + std::string(kRemoteClients) + " listen " + host + " " +
                          std::to_string(port) + " 25").c_str(), "r");
  ASSERT_NE(listener, nullptr);
  char line[256];
  ASSERT_NE(fgets(line, sizeof line, listener), nullptr);
  EXPECT_STREQ(line, "listening\n");
  Start();
  ASSERT_TRUE(Smtplib("sender@example.org", {"Alice@mail.example.org", "alice@mail.example.org",
                                             "bob@mail.example.org"}));
  // The next finger check (every 10 s) makes the connection; the listener ends a
  // second after it.
  std::string heard;
  while (fgets(line, sizeof line, listener)) heard += line;
  pclose(listener);
  EXPECT_EQ(heard, "connection b'watch\\r\\n'\n");
  std::string log = Log();
  // "Alice" was delivered first and queued; "alice" found it queued.
  EXPECT_EQ(CountOf(log, "Fgr: Reverse finger logged for Alice."), 1u);
  EXPECT_EQ(CountOf(log, "Fgr: Reverse finger logged for"), 1u);
  EXPECT_EQ(CountOf(log, "Fgr: Doing reverse finger for watch@127.0.15.5."), 1u);
}

TEST_F(RemoteServicesTest, ServicesWithoutTheirBitHaveNoSocket) {
  WriteSettings(kAccessPop3);
  AddUser("alice", "Alice", "", 0x7f);
  WriteFile(Box("alice"), "From a@b Fri Dec  4 10:00:00 2026\r\n\r\nx\r\n\r\n");
  Start();
  EXPECT_TRUE(PortAccepts(pop_));
  for (int port : {finger_, password_, control_}) EXPECT_FALSE(PortAccepts(port)) << port;
  EXPECT_EQ(Client("rmcp 127.0.0.1 " + std::to_string(rmcp_) + " " + Request("alice")), "none\n");
}

}  // namespace
