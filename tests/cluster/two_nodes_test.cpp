// Two corvel95 nodes, A on 127.0.20.1 and B on 127.0.20.2, sharing one registry
// database of a throw-away PostgreSQL and one mailbox directory, each with its
// own home and spools. Real clients: smtplib and swaks send, poplib empties the
// mailboxes (tests/cluster/two_node_load.py), alternately on A and on B.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/loopback.h"
#include "tests/support/postgres.h"

namespace {

constexpr const char* kHostA = "127.0.20.1";
constexpr const char* kHostB = "127.0.20.2";
constexpr const char* kPassword = "secret";
const std::vector<std::string> kUsers = {"ann", "ben", "cat", "dan", "eve"};

// The final reply code of the server's next reply on `fd` (multi-line replies
// read whole), or -1 when the connection failed.
int ReadReplyCode(int fd, std::string& buffer) {
  for (;;) {
    size_t eol;
    while ((eol = buffer.find("\r\n")) != std::string::npos) {
      std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 2);
      if (line.size() >= 4 && line[3] == ' ') return atoi(line.substr(0, 3).c_str());
      if (line.size() == 3) return atoi(line.c_str());
    }
    char chunk[1024];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return -1;
    buffer.append(chunk, size_t(n));
  }
}

// The reply code to RCPT for `rcpt`, or -1 when the dialogue failed. Spoken from
// this process, so a loaded machine's program start-up never counts as the
// server's delay.
int Smtp(const char* host, int port, const std::string& rcpt) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, host, &a.sin_addr);
  int code = -1;
  std::string buffer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ReadReplyCode(fd, buffer) == 220 && SendAllBytes(fd, "EHLO probe.example.net\r\n") &&
      ReadReplyCode(fd, buffer) == 250 && SendAllBytes(fd, "MAIL FROM:<x@example.net>\r\n") &&
      ReadReplyCode(fd, buffer) == 250 && SendAllBytes(fd, "RCPT TO:<" + rcpt + ">\r\n")) {
    code = ReadReplyCode(fd, buffer);
    if (SendAllBytes(fd, "QUIT\r\n")) ReadReplyCode(fd, buffer);
  }
  close(fd);
  return code;
}

// The reply line to PASS after USER `user`, or "" when the dialogue failed.
std::string PopPassReply(const char* host, int port, const std::string& user) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, host, &a.sin_addr);
  std::string buffer, line;
  auto readLine = [&]() -> bool {
    size_t eol;
    while ((eol = buffer.find("\r\n")) == std::string::npos) {
      char chunk[512];
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, size_t(n));
    }
    line = buffer.substr(0, eol);
    buffer.erase(0, eol + 2);
    return true;
  };
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && readLine() &&
      SendAllBytes(fd, "USER " + user + "\r\n") && readLine() &&
      SendAllBytes(fd, std::string("PASS ") + kPassword + "\r\n") && readLine()) {
    reply = line;
    if (SendAllBytes(fd, "QUIT\r\n")) readLine();
  }
  close(fd);
  return reply;
}

class TwoNodeTest : public ::testing::Test {
 protected:
  // `ownCluster`: a cluster of the test's own, which it may stop.
  void StartNodes(bool ownCluster) {
    std::string why;
    bool missing = false;
    if (ownCluster) {
      owned_ = std::make_unique<PostgresCluster>();
      if (!owned_->Start(why, missing)) {
        if (missing) GTEST_SKIP() << kNoPostgres;
        FAIL() << why;
      }
      cluster_ = owned_.get();
    } else {
      cluster_ = SharedPostgres(why, missing);
      if (!cluster_ && missing) GTEST_SKIP() << kNoPostgres;
      ASSERT_NE(cluster_, nullptr) << why;
    }
    uri_ = cluster_->CreateDatabase(why);
    ASSERT_FALSE(uri_.empty()) << why;
    char tmpl[] = "/tmp/corvel-cluster-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    for (const char* sub : {"a/", "b/", "boxes/"}) ASSERT_TRUE(MakeDirectories(dir_ + sub));
    SetHomeDirectory(dir_ + "a/");
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(uri_, why)) << why;
    smtpPort_ = FreeLoopbackPort();
    popPort_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(smtpPort_);
    RegSetDword(kRootKey, "SysAccess", 1);  // POP3 on
    RegSetDword(kRootKey, "SysOptPop", uint32_t(popPort_));
    // Each node's own address; everything else is shared.
    std::string nodes = std::string(kRootKey) + "\\Nodes\\";
    RegSetString(nodes + "A", "BindAddress", kHostA);
    RegSetString(nodes + "B", "BindAddress", kHostB);
    for (const std::string& u : kUsers) {
      std::string scrambled;
      ASSERT_TRUE(ScramblePassword(u, kPassword, scrambled));
      ASSERT_TRUE(WriteUserRecord(u, u, Box(u), scrambled, "", "", why)) << why;
    }
    RegCloseStore();
    ASSERT_TRUE(StartNode(0));
    ASSERT_TRUE(StartNode(1));
  }
  bool StartNode(int n) {
    setenv("CORVEL_NODE", n == 0 ? "A" : "B", 1);
    bool ok = nodes_[n].Start(dir_ + (n == 0 ? "a/" : "b/"), smtpPort_, {"--registry", uri_},
                              n == 0 ? kHostA : kHostB);
    unsetenv("CORVEL_NODE");
    return ok;
  }
  void TearDown() override {
    for (ServerProcess& p : nodes_) p.Stop();
    RegCloseStore();
    if (cluster_ && !uri_.empty() && !owned_) cluster_->DropDatabase(uri_);
    owned_.reset();
    // A failed test's homes, logs and mailboxes stay for a look, as with
    // $CLUSTER_KEEP set.
    if (!dir_.empty() && !HasFailure() && !getenv("CLUSTER_KEEP")) {
      std::string cmd = "rm -rf '" + dir_ + "'";
      (void)!system(cmd.c_str());
    }
  }
  std::string Box(const std::string& user) const { return dir_ + "boxes/" + user + ".mbx"; }
  std::string LoadCommand(int count) const {
    std::string cmd = "python3 " CORVEL_SOURCE_DIR "/tests/cluster/two_node_load.py " +
                      std::string(kHostA) + " " + kHostB + " " + std::to_string(smtpPort_) +
                      " " + std::to_string(popPort_) + " " + kPassword + " " +
                      std::to_string(count);
    for (const std::string& u : kUsers) cmd += " " + u;
    return cmd + " 2>&1";
  }
  std::string NodeLogs() const {
    std::string a, b;
    ReadWholeFile(dir_ + "a/maillog.txt", a);
    ReadWholeFile(dir_ + "b/maillog.txt", b);
    return "node A:\n" + a.substr(a.size() > 3000 ? a.size() - 3000 : 0) + "\nnode B:\n" +
           b.substr(b.size() > 3000 ? b.size() - 3000 : 0);
  }
  void ExpectMailboxesEmpty() {
    for (const std::string& u : kUsers) EXPECT_EQ(MailboxMessages(Box(u)), 0u) << u;
  }

  std::unique_ptr<PostgresCluster> owned_;
  PostgresCluster* cluster_ = nullptr;
  std::string uri_, dir_;
  int smtpPort_ = 0, popPort_ = 0;
  ServerProcess nodes_[2];
};

// 2,000 messages for five users, sent alternately to A and B while POP3 sessions
// on A and B empty the mailboxes: each is read exactly once and whole. Then an
// account imported with corvelreg is accepted by B within a second.
TEST_F(TwoNodeTest, SharedMailboxesReadExactlyOnceAndNewAccountsSeenByBothNodes) {
  StartNodes(false);
  if (IsSkipped() || HasFatalFailure()) return;
  int rc;
  const char* count = getenv("CLUSTER_MESSAGES");  // 2,000 unless told
  std::string out = RunForOutput(LoadCommand(count ? atoi(count) : 2000), rc);
  EXPECT_EQ(rc, 0) << out << "\n" << NodeLogs();
  std::cout << "[ load     ] " << out << "\n";
  ExpectMailboxesEmpty();

  // The account, made in a file registry and exported, then imported into the
  // shared database with corvelreg.
  EXPECT_EQ(Smtp(kHostB, smtpPort_, "fay@mail.example.org"), 550);
  std::string scratch = dir_ + "scratch.db", why;
  ASSERT_TRUE(RegOpenStore(scratch, why)) << why;
  std::string scrambled;
  ASSERT_TRUE(ScramblePassword("fay", kPassword, scrambled));
  ASSERT_TRUE(WriteUserRecord("fay", "Fay", Box("fay"), scrambled, "", "", why)) << why;
  RegCloseStore();
  std::string reg = std::string(CORVEL_BIN_DIR) + "/corvelreg";
  RunForOutput(reg + " --registry " + scratch + " export 'SOFTWARE\\Tollgrove\\Corvel\\Users' " +
                   dir_ + "fay.reg",
               rc);
  ASSERT_EQ(rc, 0);
  RunForOutput(reg + " --registry '" + uri_ + "' import " + dir_ + "fay.reg", rc);
  ASSERT_EQ(rc, 0);
  uint32_t start = GetTickCount32();
  int code = 0;
  while ((code = Smtp(kHostB, smtpPort_, "fay@mail.example.org")) != 250 &&
         TickElapsed(GetTickCount32(), start) < 3000)
    SleepMs(20);
  uint32_t took = TickElapsed(GetTickCount32(), start);
  std::cout << "[ account  ] B accepted it " << took << " ms after the import\n";
  EXPECT_EQ(code, 250);
  EXPECT_LT(took, 1000u) << "B accepted the new account after " << took << " ms";
}

// The database stops during the load and starts again 5 s later: the clients
// meet 4xx and retry, nothing acknowledged is lost, and both nodes recover
// without a restart.
TEST_F(TwoNodeTest, DatabaseOutageDuringLoadLosesNothing) {
  StartNodes(true);
  if (IsSkipped() || HasFatalFailure()) return;
  std::string out;
  int rc = -1;
  std::thread load([&] { out = RunForOutput("LOAD_TIMEOUT=240 SEND_PAUSE=0.05 " + LoadCommand(400), rc);
  });
  SleepMs(1000);
  std::string why;
  ASSERT_TRUE(cluster_->Stop(why)) << why;
  SleepMs(1000);
  // Meanwhile a mail client logging in hears "try later", never a wrong password
  // or an unknown user, and a sender's recipient is deferred, not refused.
  std::string pass = PopPassReply(kHostA, popPort_, kUsers[0]);
  EXPECT_EQ(Smtp(kHostB, smtpPort_, kUsers[1] + "@mail.example.org"), 451);
  SleepMs(4000);
  ASSERT_TRUE(cluster_->Restart(why)) << why;
  load.join();
  EXPECT_EQ(pass.rfind("-ERR [SYS/TEMP] ", 0), 0u) << pass;
  EXPECT_EQ(rc, 0) << out << "\n" << NodeLogs();
  std::cout << "[ load     ] " << out << "\n";
  EXPECT_EQ(out.find("4xx/retries 0;"), std::string::npos) << "no client met the outage: " << out;
  EXPECT_TRUE(nodes_[0].Running());
  EXPECT_TRUE(nodes_[1].Running());
  ExpectMailboxesEmpty();
  // The outage is in each node's log once, however many calls failed meanwhile.
  for (const char* node : {"a/", "b/"}) {
    std::string log;
    ReadWholeFile(dir_ + node + "maillog.txt", log);
    size_t first = log.find("Registry database ");
    EXPECT_NE(first, std::string::npos) << node;
    size_t lost = 0;
    for (size_t at = log.find(" out of reach ("); at != std::string::npos;
         at = log.find(" out of reach (", at + 1))
      ++lost;
    EXPECT_EQ(lost, 1u) << node;
    EXPECT_NE(log.find(" reachable again after "), std::string::npos) << node;
  }
}

// A node killed while a POP3 session holds a mailbox: the other node goes on,
// and the mailbox is free again once the dead node's connection is gone.
TEST_F(TwoNodeTest, KilledNodesLocksAreReleased) {
  StartNodes(false);
  if (IsSkipped() || HasFatalFailure()) return;
  std::string script =
      "import os,poplib,time\n"
      "p = poplib.POP3('" + std::string(kHostA) + "', " + std::to_string(popPort_) + ")\n"
      "p.user('ann'); p.pass_('secret'); print('held', flush=True)\n"
      "for i in range(600):\n"
      "  if os.path.exists('" + dir_ + "stop'): break\n"
      "  time.sleep(0.1)\n";
  std::string path = dir_ + "hold.py";
  {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(script.c_str(), f);
    fclose(f);
  }
  FILE* holder = popen(("exec python3 " + path).c_str(), "r");
  ASSERT_NE(holder, nullptr);
  char line[64] = {};
  ASSERT_NE(fgets(line, sizeof line, holder), nullptr);
  ASSERT_EQ(std::string(line), "held\n");
  std::string login = "python3 -c \"import poplib; p = poplib.POP3('" + std::string(kHostB) +
                      "', " + std::to_string(popPort_) +
                      "); p.user('ann'); p.pass_('secret'); print(p.stat()[0]); p.quit()\"";
  int rc;
  RunForOutput(login + " 2>/dev/null", rc);
  EXPECT_NE(rc, 0) << "B opened the mailbox A holds";

  nodes_[0].Stop(SIGKILL);
  uint32_t start = GetTickCount32();
  do {
    RunForOutput(login + " 2>/dev/null", rc);
  } while (rc != 0 && TickElapsed(GetTickCount32(), start) < 10000 && (SleepMs(100), true));
  EXPECT_EQ(rc, 0) << NodeLogs();
  FILE* stop = fopen((dir_ + "stop").c_str(), "w");
  if (stop) fclose(stop);
  pclose(holder);
  // B goes on receiving and delivering.
  RunForOutput("swaks --silent 2 --server " + std::string(kHostB) + " --port " +
                   std::to_string(smtpPort_) + " --from x@example.net --to ann@mail.example.org",
               rc);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(WaitForMailboxMessages(Box("ann"), 1, 10000)) << NodeLogs();
}

}  // namespace
