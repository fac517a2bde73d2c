// Encryption and authentication through the real server: smtplib, poplib, swaks, mpop,
// fetchmail, openssl s_client and testssl.sh against a corvel95 with TLS on (a certificate it made itself),
// outgoing mail to a second corvel95 with and without STARTTLS, the EHLO reply of a
// configuration without TLS, certificate problems at start-up, giving up root after
// binding, and a low port refused to an ordinary user.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/net/net_tls.h"
#include "server/outgoing/routing.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include <gtest/gtest.h>

namespace {

std::string RunShell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string P(int port) { return std::to_string(port); }

// The lines of a raw SMTP dialogue: the greeting and the EHLO reply.
std::string EhloReply(int port) {
  return RunShell("python3 -c \"import socket,sys\ns=socket.create_connection(('127.0.0.1'," + P(port) +
             "));f=s.makefile('rb')\nwhile f.readline()[3:4]==b'-':pass\n"
             "s.sendall(b'EHLO client.example\\r\\n')\nwhile True:\n l=f.readline()\n"
             " sys.stdout.write(l.decode())\n if l[3:4]!=b'-':break\"");
}

class TlsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    smtp_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(smtp_);
    submission_ = FreeLoopbackPort();
    smtps_ = FreeLoopbackPort();
    pop_ = FreeLoopbackPort();
    pops_ = FreeLoopbackPort();
    RegSetDword(kRootKey, "SysAccess", 1);  // POP3
    RegSetDword(kRootKey, "SysOptPop", uint32_t(pop_));
    RegSetString(kRootKey, "RelayNetworks", "127.0.0.1/32");
    std::string why, scrambled;
    struct User {
      const char* name;
      const char* password;
    };
    for (User u : {User{"alice", "secret1"}, User{"bob", "secret2"}, User{"carol", "secret3"}}) {
      ASSERT_TRUE(ScramblePassword(u.name, u.password, scrambled));
      ASSERT_TRUE(WriteUserRecord(u.name, u.name, home_.dir + u.name + ".mbx", scrambled, "", "",
                                  why))
          << why;
    }
    UserExtra none;
    none.accessMask = 0;
    ASSERT_TRUE(WriteUserExtra("carol", none, "", why)) << why;
    WriteAliasRecord("sales", "alice", "", why);
  }
  void SwitchTlsOn() {
    RegSetDword(kRootKey, "UseTls", 1);
    RegSetDword(kRootKey, "UseSubmission", 1);
    RegSetDword(kRootKey, "SysOptSubmission", uint32_t(submission_));
    RegSetDword(kRootKey, "UseSmtps", 1);
    RegSetDword(kRootKey, "SysOptSmtps", uint32_t(smtps_));
    RegSetDword(kRootKey, "UsePop3s", 1);
    RegSetDword(kRootKey, "SysOptPop3s", uint32_t(pops_));
  }
  bool Start() {
    RegCloseStore();
    // The POP3 listeners open a moment after the SMTP ones.
    if (!server_.Start(home_.dir, smtp_)) return false;
    for (int i = 0; i < 100 && !PortAccepts(pops_); ++i) SleepMs(20);
    return PortAccepts(pops_);
  }
  void TearDown() override { server_.Stop(); }
  // What the server printed and its log file.
  std::string Log() {
    std::string text, log;
    ReadWholeFile(home_.dir + "out.txt", text);
    ReadWholeFile(home_.dir + "maillog.txt", log);
    return text + log;
  }

  TestHome home_;
  int smtp_ = 0, submission_ = 0, smtps_ = 0, pop_ = 0, pops_ = 0;
  ServerProcess server_;
};

TEST_F(TlsServerTest, RealClientsOverStartTlsImplicitTlsAndAuth) {
  SwitchTlsOn();
  ASSERT_TRUE(Start()) << Log();
  std::string script = std::string(CORVEL_SOURCE_DIR) + "/tests/delivery/tls_dialogues.py";
  std::string got = RunShell("python3 " + script + " " + P(smtp_) + " " + P(submission_) + " " +
                        P(smtps_) + " " + P(pop_) + " " + P(pops_) + " 2>&1");
  EXPECT_EQ(got,
            "ehlo clear: SEND SOML SAML HELP EXPN SIZE ETRN XTRN STARTTLS\n"
            "auth before tls: 530 Must issue a STARTTLS command first\n"
            "version: TLSv1.3\n"
            "ehlo tls: SEND SOML SAML HELP EXPN SIZE ETRN XTRN AUTH\n"
            "second starttls: 503 Bad sequence of commands\n"
            "plain good: 235\n"
            "login good: 235\n"
            "cram good: 235\n"
            "alias good: 235\n"
            "plain bad: 535\n"
            "unknown user: 535\n"
            "no access bit: 535\n"
            "cram bad: 535\n"
            "bad base64 initial: 501 Syntax error in parameters.\n"
            "bad base64 answer: 501 Syntax error in parameters.\n"
            "long answer: 501 Syntax error in parameters.\n"
            "cancelled: 501 Authentication cancelled\n"
            "noop after: 250\n"
            "mail auth param: 250\n"
            "ten failures: 535 x10\n"
            "eleventh: 454 Too many authentication failures\n"
            "relay unauthenticated: 550 Relaying denied.\n"
            "relay authenticated: 250\n"
            "submission mail first: 530 Authentication required\n"
            "submission send: ok\n"
            "smtps send: ok\n"
            "injection reply: 220 Ready to start TLS\n"
            "injection after: nothing\n"
            "injection ehlo: 250-mail.example.org says hello \n"
            "capa clear: STLS TOP UIDL USER\n"
            "capa tls: TOP UIDL USER\n"
            "pop3 stls login: +OK mailbox for alice\n"
            "pop3s login: +OK mailbox for bob\n");
  // The two submitted messages arrive; their Received lines name the TLS version.
  ASSERT_TRUE(WaitForMailboxMessages(home_.dir + "bob.mbx", 2, 10000));
  std::string box;
  ReadWholeFile(home_.dir + "bob.mbx", box);
  EXPECT_NE(box.find("with cipher TLS_AES_256_GCM_SHA384) (authenticated)"), std::string::npos)
      << box;
  // Failures are logged without the password, the certificate with its fingerprint.
  std::string log = Log();
  EXPECT_NE(log.find("AUTH PLAIN for alice from 127.0.0.1 failed."), std::string::npos);
  EXPECT_EQ(log.find("secret1"), std::string::npos);
  EXPECT_EQ(log.find("YWxpY2UAc2VjcmV0MQ"), std::string::npos);  // base64 of it
  EXPECT_NE(log.find("SHA-256 fingerprint " +
                     NetTlsFingerprint(home_.dir + "tls/cert.pem")),
            std::string::npos);
  struct stat st{};
  ASSERT_EQ(stat((home_.dir + "tls/key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TlsServerTest, SwaksAndOpenSslClients) {
  SwitchTlsOn();
  ASSERT_TRUE(Start()) << Log();
  struct Case {
    std::string command;
    std::string expect;  // a line the output holds
  };
  std::string to = " --from alice@mail.example.org --to bob@mail.example.org";
  // mpop asking for bob's mailbox status over STARTTLS (STLS) and over POP3S.
  std::string mpop = "HOME='" + home_.dir + "' mpop --status-only --auth=user --user=bob "
                     "--passwordeval='echo secret2' --tls=on --tls-certcheck=off --delivery=mbox,/dev/null "
                     "--host=127.0.0.1 --port=";
  Case cases[] = {
      {"swaks --server 127.0.0.1 --port " + P(smtp_) + to +
           " --tls --auth PLAIN --auth-user alice --auth-password secret1",
       "<~  235 Authentication successful"},
      {"swaks --server 127.0.0.1 --port " + P(smtps_) + to +
           " --tls-on-connect --auth CRAM-MD5 --auth-user alice --auth-password secret1",
       "<~  235 Authentication successful"},
      {"swaks --server 127.0.0.1 --port " + P(submission_) + to +
           " --tls --auth LOGIN --auth-user alice --auth-password nope",
       "<~* 535 Authentication credentials invalid"},
      {"echo QUIT | openssl s_client -connect 127.0.0.1:" + P(smtp_) +
           " -starttls smtp -brief 2>&1",
       "Protocol version: TLSv1.3"},
      {"echo QUIT | openssl s_client -connect 127.0.0.1:" + P(pop_) + " -starttls pop3 2>&1",
       "subject=CN = mail.example.org"},
      {"echo QUIT | openssl s_client -connect 127.0.0.1:" + P(smtp_) +
           " -starttls smtp -tls1_1 2>&1",
       "alert protocol version"},
      {mpop + P(pop_) + " --tls-starttls=on", "total: "},
      {mpop + P(pops_) + " --tls-starttls=off", "total: "},
      {"HOME='" + home_.dir + "' fetchmail --check --ssl --nosslcertck --service " + P(pops_) +
           " --protocol pop3 --user bob --fetchmailrc '" + home_.dir + "fetchmailrc' 127.0.0.1",
       "messages for bob at 127.0.0.1"},
  };
  {
    std::ofstream rc(home_.dir + "fetchmailrc");
    rc << "poll 127.0.0.1 user bob password secret2\n";
  }
  chmod((home_.dir + "fetchmailrc").c_str(), 0600);
  for (const Case& c : cases) {
    std::string out = RunShell(c.command + " 2>&1");
    EXPECT_NE(out.find(c.expect), std::string::npos) << c.command << "\n" << out;
  }
}

// Without any of the new values the EHLO reply is the one the server always gave.
TEST_F(TlsServerTest, EhloWithoutTlsIsUnchanged) {
  ASSERT_TRUE((RegCloseStore(), server_.Start(home_.dir, smtp_))) << Log();
  EXPECT_EQ(EhloReply(smtp_),
            "250-mail.example.org says hello \r\n"
            "250-SEND\r\n250-SOML\r\n250-SAML\r\n250-HELP\r\n250-EXPN\r\n250-SIZE 100000000\r\n250-ETRN\r\n250 XTRN\r\n");
  EXPECT_FALSE(PortAccepts(smtps_));
  EXPECT_FALSE(DirectoryExists(home_.dir + "tls"));
}

// Outgoing mail through a smart host (another corvel95 on 127.0.23.2): STARTTLS when
// the peer offers it, clear text when it does not, and where TLS is required (the
// global switch, or the eleventh field of the node's exception) the message stays
// queued for a peer without it.
TEST_F(TlsServerTest, OutgoingMailUsesStartTlsWhenThePeerOffersIt) {
  const std::string peerAddress = "127.0.23.2";
  struct Case {
    const char* name;
    bool peerTls;
    bool requireGlobal;
    bool requireByException;
    const char* senderLog;  // a line of the sender's log
  };
  const Case cases[] = {
      {"peer offers STARTTLS", true, true, false, ": file sent over TLSv1.3 with cipher "},
      {"peer without it", false, false, false, ": file sent without TLS."},
      {"peer without it, TLS required", false, true, false,
       ": peer.example does not offer STARTTLS; TLS is required."},
      {"peer without it, the exception requires TLS", false, false, true,
       ": peer.example does not offer STARTTLS; TLS is required."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHome peer;
    int peerPort = FreeLoopbackPort();
    WriteLoopbackServerSettings(peerPort);
    RegSetString(kRootKey, "BindAddress", peerAddress);
    RegSetString(kRootKey, "LocalNode", "peer.example");
    RegSetString(kRootKey, "LocalIP", peerAddress);
    RegSetString(kRootKey, "RelayNetworks", "127.0.0.0/8");
    RegSetDword(kRootKey, "UseTls", c.peerTls ? 1 : 0);
    std::string why;
    ASSERT_TRUE(WriteUserRecord("dave", "dave", peer.dir + "dave.mbx", "", "", "", why)) << why;
    RegCloseStore();
    ServerProcess peerServer;
    ASSERT_TRUE(peerServer.Start(peer.dir, peerPort, {}, peerAddress.c_str()));

    TestHome sender;
    home_.dir.swap(sender.dir);  // the fixture's helpers look at this home
    WriteLoopbackServerSettings(smtp_);
    RegSetDword(kRootKey, "SysAccess", 1);  // POP3, whose TLS port Start() waits for
    RegSetDword(kRootKey, "SysOptPop", uint32_t(pop_));
    SwitchTlsOn();
    RegSetDword(kRootKey, "SysOptSmtpOut", uint32_t(peerPort));
    RegSetString(kRootKey, "SmartHost", peerAddress);
    RegSetDword(kRootKey, "RoutingMode", kRouteSmartHost);
    RegSetDword(kRootKey, "SmtpRequireTls", c.requireGlobal ? 1 : 0);
    if (c.requireByException)
      RegSetString(std::string(kRootKey) + "\\Exceptions", "peer.example",
                   "0,1,0,0,,1,60,0,0,10,1");
    RegSetDword(kRootKey, "LogFileOptions", 0xFFF);
    ASSERT_TRUE(Start()) << Log();
    std::string out = RunShell("swaks --silent 2 --server 127.0.0.1 --port " + P(smtp_) +
                               " --from alice@mail.example.org --to dave@peer.example 2>&1");
    for (int i = 0; i < 500 && Log().find(c.senderLog) == std::string::npos; ++i) SleepMs(20);
    EXPECT_NE(Log().find(c.senderLog), std::string::npos) << out << Log();
    bool delivered = c.peerTls || (!c.requireGlobal && !c.requireByException);
    if (delivered) {
      ASSERT_TRUE(WaitForMailboxMessages(peer.dir + "dave.mbx", 1, 15000)) << out << Log();
      std::string box;
      ReadWholeFile(peer.dir + "dave.mbx", box);
      EXPECT_EQ(box.find("(using TLSv1.3 with cipher ") != std::string::npos, c.peerTls) << box;
    } else {
      EXPECT_EQ(MailboxMessages(peer.dir + "dave.mbx"), 0u);
    }
    server_.Stop();
    peerServer.Stop();
    home_.dir.swap(sender.dir);
  }
}

// Certificate problems stop start-up with a message naming the files: a key of
// another certificate, a missing file, a file that is not PEM, one of the two unset.
TEST_F(TlsServerTest, CertificateProblemsStopStartUp) {
  std::string a = home_.dir + "a", b = home_.dir + "b", why;
  ASSERT_TRUE(NetTlsMakeSelfSigned("a.example", a + ".crt", a + ".key", why)) << why;
  ASSERT_TRUE(NetTlsMakeSelfSigned("b.example", b + ".crt", b + ".key", why)) << why;
  { std::ofstream(home_.dir + "junk.pem") << "not a certificate\n"; }
  struct Case {
    std::string chain, key, message;
  };
  const Case cases[] = {
      {a + ".crt", b + ".key",
       "The TLS key " + b + ".key does not match the certificate " + a + ".crt."},
      {home_.dir + "missing.crt", a + ".key",
       "Unable to read the TLS certificate " + home_.dir + "missing.crt: "},
      {home_.dir + "junk.pem", a + ".key",
       "Unable to read the TLS certificate " + home_.dir + "junk.pem: "},
      {a + ".crt", home_.dir + "junk.pem",
       "Unable to read the TLS key " + home_.dir + "junk.pem for the certificate " + a + ".crt: "},
      {a + ".crt", "", "TlsCertificateFile and TlsKeyFile must be set together."},
  };
  SwitchTlsOn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chain + " " + c.key);
    std::string why2;
    ASSERT_TRUE(RegOpenStore(home_.dir + "registry.db", why2)) << why2;
    RegSetString(kRootKey, "TlsCertificateFile", c.chain);
    RegSetString(kRootKey, "TlsKeyFile", c.key);
    unlink((home_.dir + "out.txt").c_str());
    EXPECT_FALSE(Start());
    EXPECT_NE(Log().find(c.message), std::string::npos) << Log();
    server_.Stop();
  }
}

// Pop3RequireTls: from an address away from loopback (the server and the client in
// a private network namespace of their own, on an address given to its loopback
// device) USER and PASS in clear text get "-ERR TLS required", CAPA leaves USER
// out, APOP stays allowed, and after STLS the same USER and PASS log in.
TEST_F(TlsServerTest, Pop3RequireTlsRefusesClearPasswordsBeforeStls) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  if (system("unshare -n true 2>/dev/null") != 0)
    GTEST_SKIP() << "no network namespace can be made here (unshare -n failed)";
  SwitchTlsOn();
  RegSetDword(kRootKey, "Pop3RequireTls", 1);
  RegSetString(kRootKey, "BindAddress", "10.77.0.1");
  RegCloseStore();
  std::string script = std::string(CORVEL_SOURCE_DIR) + "/tests/delivery/pop3_require_tls.py";
  std::string out = RunShell(
      "timeout 60 unshare -n sh -c 'ip link set lo up && ip addr add 10.77.0.1/32 dev lo || exit 3\n"
      CORVEL_BIN_DIR "/corvel95 --home " + home_.dir + " -H >>" + home_.dir + "out.txt 2>&1 &\n"
      "server=$!\npython3 " + script + " 10.77.0.1 " + P(pop_) + " 2>&1\n"
      "kill $server; wait $server' 2>&1");
  EXPECT_EQ(out,
            "capa clear: +OK Capability list follows [TOP UIDL STLS]\n"
            "user clear: -ERR TLS required\n"
            "pass clear: -ERR unknown command\n"
            "stls: +OK Begin TLS negotiation\n"
            "capa tls: +OK Capability list follows [TOP USER UIDL]\n"
            "user tls: +OK alice welcome here\n"
            "pass tls: +OK mailbox for alice has 0 messages (0 octets)\n"
            "quit: +OK POP3 server mail.example.org signing off.\n"
            "apop clear: +OK alice welcome here\n"
            "quit: +OK POP3 server mail.example.org signing off.\n")
      << Log();
}

// Started as root, the server becomes the mail user (corvel unless configured);
// a user that does not exist stops start-up with the command that makes it.
TEST_F(TlsServerTest, RootNeedsAnExistingMailUserCorvelByDefault) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_TRUE(RegDeleteValue(kRootKey, "MailUser"));
  EXPECT_EQ(GetGeneralString("MailUser"), "corvel");
  std::string home = home_.dir.substr(0, home_.dir.size() - 1);
  // The default names corvel; where this machine has one (a run script made it),
  // a name surely missing stands in for it.
  std::string user = system("getent passwd corvel >/dev/null") == 0 ? "corvel-none" : "corvel";
  if (user != "corvel") RegSetString(kRootKey, "MailUser", user);
  RegCloseStore();
  // The ports open before the switch, so the server may answer a moment, then ends.
  server_.Start(home_.dir, smtp_);
  for (int i = 0; i < 250 && server_.Running(); ++i) SleepMs(20);
  EXPECT_FALSE(server_.Running());
  EXPECT_NE(Log().find("The mail user '" + user + "' does not exist. Create it with: useradd "
                       "--system --home-dir " + home_.dir + " --shell /usr/sbin/nologin " + user),
            std::string::npos)
      << Log();
  EXPECT_EQ(Log().find("Warning: running as root"), std::string::npos) << Log();
  server_.Stop();
  // Set to empty, the server stays root and says so.
  std::string why;
  ASSERT_TRUE(RegOpenStore(home + "/registry.db", why)) << why;
  RegSetString(kRootKey, "MailUser", "");
  RegCloseStore();
  ASSERT_TRUE(server_.Start(home_.dir, smtp_)) << Log();
  const char* warning = "Warning: running as root: MailUser is empty.";
  for (int i = 0; i < 250 && Log().find(warning) == std::string::npos; ++i) SleepMs(20);
  EXPECT_NE(Log().find("Warning: running as root: MailUser is empty."), std::string::npos) << Log();
  std::string status;
  ReadWholeFile("/proc/" + std::to_string(server_.pid()) + "/status", status);
  EXPECT_NE(status.find("Uid:\t0\t0\t0\t0"), std::string::npos) << status;
}

// Started as root with a mail user, the server binds first and then runs as that
// user; its listeners still answer.
TEST_F(TlsServerTest, RootGivesWayToTheMailUserAfterBinding) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  RegSetString(kRootKey, "MailUser", "nobody");
  RegCloseStore();
  { std::ofstream touch(home_.dir + "out.txt"); }
  ASSERT_EQ(system(("chown -R nobody: '" + home_.dir + "'").c_str()), 0);
  ASSERT_TRUE(server_.Start(home_.dir, smtp_)) << Log();
  // The switch follows the last listener, a moment after the SMTP port answers.
  std::string status, nobody = "Uid:\t65534\t65534\t65534\t65534";
  for (int i = 0; i < 250 && status.find(nobody) == std::string::npos; ++i) {
    SleepMs(20);
    ReadWholeFile("/proc/" + std::to_string(server_.pid()) + "/status", status);
  }
  EXPECT_NE(status.find(nobody), std::string::npos) << status;
  EXPECT_NE(EhloReply(smtp_).find("250 XTRN"), std::string::npos);
  server_.Stop();
  // A file of another owner in the home is named at start-up.
  ASSERT_EQ(system(("chown root: '" + home_.dir + "registry.db'").c_str()), 0);
  SleepMs(100);  // well before the server starts, so it is not one of its own files
  // The ports open before the check, so the server may answer a moment, then ends.
  server_.Start(home_.dir, smtp_);
  for (int i = 0; i < 250 && server_.Running(); ++i) SleepMs(20);
  EXPECT_FALSE(server_.Running());
  EXPECT_NE(Log().find("The file " + home_.dir + "registry.db does not belong to the mail user"),
            std::string::npos)
      << Log();
}

// Started as an ordinary user without CAP_NET_BIND_SERVICE, a low port stops
// start-up with a message that says what would allow it.
TEST_F(TlsServerTest, OrdinaryUserWithoutTheCapabilityGetsAClearErrorForALowPort) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the server as nobody";
  std::ifstream start("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int firstFree = 1024;
  start >> firstFree;
  if (firstFree <= 25) GTEST_SKIP() << "every port is free to ordinary users here";
  RegSetString(kRootKey, "BindAddress", "127.0.23.3");
  RegSetDword(kRootKey, "SysOptSmtp", 25);
  RegCloseStore();
  ASSERT_EQ(system(("chown -R nobody: '" + home_.dir + "'").c_str()), 0);
  std::string out = RunShell("timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups "
                             "--inh-caps=-all " CORVEL_BIN_DIR "/corvel95 --home '" + home_.dir +
                             "' -H 2>&1; echo status $?");
  EXPECT_NE(out.find("Port 25 needs root (with MailUser set) or the capability "
                     "CAP_NET_BIND_SERVICE."),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("status 124"), std::string::npos) << out;  // it ended by itself
}

// testssl.sh against the STARTTLS and the implicit port: TLS 1.2 and 1.3 only.
TEST_F(TlsServerTest, TestsslFindsOnlyTls12And13) {
  if (system("command -v testssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "testssl.sh is not installed";
  SwitchTlsOn();
  ASSERT_TRUE(Start()) << Log();
  for (std::string target : {"--starttls smtp 127.0.0.1:" + P(smtp_), "127.0.0.1:" + P(smtps_)}) {
    std::string out = RunShell("timeout 120 testssl --quiet --color 0 --warnings off --protocols " +
                               target + " 2>&1");
    for (const char* line : {"SSLv2      not offered", "SSLv3      not offered",
                             "TLS 1      not offered", "TLS 1.1    not offered",
                             "TLS 1.2    offered", "TLS 1.3    offered"})
      EXPECT_NE(out.find(line), std::string::npos) << target << ": " << line << "\n" << out;
  }
}

}  // namespace
