// The rspamd check with Debian's rspamd, started by the test with a configuration
// of its own on a free loopback port: the GTUBE test string is refused with 550,
// a normal message is taken with rspamd's summary header, and with rspamd stopped
// mail is still taken and the outage is logged once.
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "server/accounts/accounts.h"
#include "server/mailauth/rspamd_client.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

constexpr const char* kRspamd = "/usr/bin/rspamd";
constexpr uint32_t kWaitMs = 30000;
const std::string kGtube = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char block[4096];
  size_t n;
  while (p && (n = fread(block, 1, sizeof block, p)) > 0) out.append(block, n);
  if (p) pclose(p);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void WriteText(const std::string& path, const std::string& text) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  WriteAll(fd.get(), text.data(), text.size());
}

// rspamd with a normal worker on 127.0.0.1:port, everything in `dir`.
class RspamdProcess {
 public:
  ~RspamdProcess() { Stop(); }
  bool Start(const std::string& dir, int port, std::string& why) {
    dir_ = dir;
    MakeDirectories(dir + "db");
    WriteText(dir + "rspamd.conf",
              "options { pidfile = \"" + dir + "rspamd.pid\"; dbdir = \"" + dir + "db\"; filters = \"\";"
              " enable_test_patterns = true; }\n"
              "logging { type = \"file\"; filename = \"" + dir + "rspamd.log\"; level = \"info\"; }\n"
              "actions { reject = 15; rewrite_subject = 10; add_header = 6; greylist = 4;"
              " subject = \"***SPAM*** %s\"; }\n"
              "worker \"normal\" { bind_socket = \"127.0.0.1:" + std::to_string(port) + "\"; count = 1; }\n");
    std::vector<std::string> args = {kRspamd, "-c", dir + "rspamd.conf", "-f"};
    if (geteuid() == 0) {
      // rspamd will not run as root: its own user must reach the directory.
      if (system(("chown -R _rspamd: " + dir + " 2>/dev/null && chmod 755 " + dir).c_str()) != 0) {
        why = "the _rspamd user cannot be given " + dir;
        return false;
      }
      args.insert(args.end(), {"-u", "_rspamd", "-g", "_rspamd"});
    }
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kRspamd, argv.data());
      _exit(127);
    }
    // Loading the rules takes a while on a busy machine.
    for (int i = 0; i < 900; ++i) {
      if (PortAccepts(port)) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        why = "rspamd ended at start-up: " + Shell("tail -n 5 " + dir + "rspamd.log");
        return false;
      }
      SleepMs(100);
    }
    why = "rspamd did not listen within 90 s";
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    kill(-pid_, SIGKILL);  // a worker left behind
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string dir_;
};

class RspamdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kRspamd, X_OK) != 0) GTEST_SKIP() << "rspamd is not installed (Debian package rspamd)";
    port_ = FreeLoopbackPort();
    rspamdPort_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    RegSetDword(kRootKey, "LogFileOptions", 0xFFF);
    RegSetString(kRootKey, "RspamdAddress", "127.0.0.1:" + std::to_string(rspamdPort_));
    RegSetDword(kRootKey, "RspamdTimeout", 10);
    std::string why;
    ASSERT_TRUE(WriteUserRecord("dave", "dave", home_.dir + "dave.mbx", "", "", "", why)) << why;
    if (!rspamd_.Start(home_.dir + "rspamd/", rspamdPort_, why))
      GTEST_SKIP() << "rspamd cannot start here: " << why;
  }
  void TearDown() override {
    server_.Stop();
    rspamd_.Stop();
    if (HasFailure()) Shell("tail -n 40 " + home_.dir + "maillog.txt >&2");
  }
  std::string Send(const std::string& message) {
    WriteText(home_.dir + "message.eml", message);
    std::string script = "import smtplib\ntry:\n"
                         "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) + ", timeout=60)\n"
                         "    s.sendmail('sender@far.example', ['dave@mail.example.org'], open('" +
                         home_.dir + "message.eml', 'rb').read())\n    s.quit()\n"
                         "except Exception as e:\n    print('error %r' % (e,))\n";
    WriteText(home_.dir + "send.py", script);
    return Shell("python3 " + home_.dir + "send.py");
  }
  std::string Mailbox() {
    std::string box;
    ReadWholeFile(home_.dir + "dave.mbx", box);
    return box;
  }

  TestHome home_;
  int port_ = 0, rspamdPort_ = 0;
  RspamdProcess rspamd_;
  ServerProcess server_;
};

TEST_F(RspamdTest, GtubeIsRefusedNormalMailPassesAndAnOutageLetsMailThrough) {
  RegCloseStore();
  ASSERT_TRUE(server_.Start(home_.dir, port_));
  EXPECT_NE(Send("Subject: spam\r\n\r\n" + kGtube + "\r\n").find("550, b'5.7.1 Gtube pattern'"),
            std::string::npos);
  ASSERT_EQ(Send("From: sender@far.example\r\nSubject: hello\r\n\r\nan ordinary message\r\n"), "");
  ASSERT_TRUE(WaitForMailboxMessages(home_.dir + "dave.mbx", 1, kWaitMs));
  std::string box = Mailbox();
  EXPECT_NE(box.find("X-Spamd-Result: default: False [0.00 / 15.00]\r\n"), std::string::npos) << box;
  EXPECT_EQ(box.find("GTUBE"), std::string::npos);

  rspamd_.Stop();
  ASSERT_EQ(Send("Subject: one\r\n\r\nwhile rspamd is down\r\n"), "");
  ASSERT_EQ(Send("Subject: two\r\n\r\n" + kGtube + "\r\n"), "");
  ASSERT_TRUE(WaitForMailboxMessages(home_.dir + "dave.mbx", 3, kWaitMs));
  std::string log;
  ReadWholeFile(home_.dir + "maillog.txt", log);
  size_t said = 0;
  for (size_t p = log.find("mail is taken unchecked"); p != std::string::npos;
       p = log.find("mail is taken unchecked", p + 1))
    ++said;
  EXPECT_EQ(said, 1u) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
}

// rspamd's "rewrite subject" (its test pattern for that action): the stored
// message carries rspamd's Subject in place of its own, once, and the rest of the
// message is kept whole.
TEST_F(RspamdTest, RewriteSubjectReplacesTheSubject) {
  const std::string pattern = "Z" + kGtube.substr(1);
  RegCloseStore();
  ASSERT_TRUE(server_.Start(home_.dir, port_));
  ASSERT_EQ(Send("From: sender@far.example\r\nSubject: cheap\r\n offers\r\nX-After: kept\r\n\r\n" +
                 pattern + "\r\nlast line\r\n"),
            "");
  ASSERT_TRUE(WaitForMailboxMessages(home_.dir + "dave.mbx", 1, kWaitMs));
  std::string box = Mailbox();
  EXPECT_NE(box.find("\r\nSubject: ***SPAM*** cheap offers\r\nX-After: kept\r\n"), std::string::npos)
      << box;
  EXPECT_EQ(box.find("Subject: cheap"), std::string::npos) << box;
  EXPECT_NE(box.find(pattern + "\r\nlast line\r\n"), std::string::npos) << box;
}

TEST(RspamdReply, ActionsAndHeadersFromTheAnswer) {
  RspamdVerdict v;
  ASSERT_TRUE(ParseRspamdReply(
      R"({"action":"add header","score":7.5,"required_score":15,"milter":{"add_headers":)"
      R"({"X-Spam-Flag":{"value":"YES","order":0},"Bad Name":"x","X-Two":"a\r\nInjected: 1"}}})", v));
  EXPECT_EQ(v.action, RspamdAction::kAccept);
  ASSERT_EQ(v.headers.size(), 3u);
  EXPECT_EQ(v.headers[0], (std::pair<std::string, std::string>{"X-Spam-Flag", "YES"}));
  EXPECT_EQ(v.headers[1], (std::pair<std::string, std::string>{"X-Two", "a  Injected: 1"}));
  EXPECT_EQ(v.headers[2].second, "default: True [7.50 / 15.00]");
  EXPECT_EQ(v.subject, "");
  ASSERT_TRUE(ParseRspamdReply(R"({"action":"rewrite subject","score":9})", v));
  EXPECT_EQ(v.headers[0], (std::pair<std::string, std::string>{"X-Spam", "Yes"}));
  EXPECT_EQ(v.subject, "");
  // The new Subject, kept to one line.
  ASSERT_TRUE(ParseRspamdReply(
      R"({"action":"rewrite subject","subject":"***SPAM*** hi\r\nBcc: x@y"})", v));
  EXPECT_EQ(v.subject, "***SPAM*** hi  Bcc: x@y");
  ASSERT_TRUE(ParseRspamdReply(R"({"action":"add header","subject":"not asked"})", v));
  EXPECT_EQ(v.subject, "");
  ASSERT_TRUE(ParseRspamdReply(R"({"action":"soft reject"})", v));
  EXPECT_EQ(v.action, RspamdAction::kSoftReject);
  ASSERT_TRUE(ParseRspamdReply(R"({"action":"greylist","messages":{"smtp_message":"Try later\r\n"}})", v));
  EXPECT_EQ(v.action, RspamdAction::kGreylist);
  EXPECT_EQ(v.text, "Try later  ");
  for (const char* bad : {"", "[]", "{", R"({"action":1})", R"({"score":1})", "\xff\xfe"})
    EXPECT_FALSE(ParseRspamdReply(bad, v)) << bad;
}

}  // namespace
