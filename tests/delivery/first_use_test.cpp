// The server as a new user meets it: the real corvel95 on free loopback ports,
// driven by real clients (swaks, Python's poplib, raw SMTP and POP3 dialogues),
// checked in the files it leaves. Each test guards a fault found that way.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/spool/spool.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/pop3/pop3_fixture.h"
#include "tests/smtp/smtp_fixture.h"

namespace {

const std::string kBin = CORVEL_BIN_DIR;
const std::string kSource = CORVEL_SOURCE_DIR;

// Runs a shell command; its exit status, with standard output and error in `out`.
int Shell(const std::string& command, std::string* out = nullptr) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out);
  return out;
}

bool WaitFor(const std::function<bool()>& done, uint32_t ms) {
  uint32_t start = GetTickCount32();
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (done()) return true;
    SleepMs(20);
  }
  return done();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

int Mode(const std::string& path) { return FilePermissions(path); }

// Sets the process umask for one test.
struct Umask {
  mode_t saved;
  explicit Umask(mode_t m) : saved(umask(m)) {}
  ~Umask() { umask(saved); }
};

std::string Swaks(int port, const std::string& to, const std::string& body = "Hello") {
  return "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port) +
         " --from bob@remote.test --to " + to + " --body '" + body + "'";
}

class FirstUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    smtpPort_ = FreeLoopbackPort();
    popPort_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(smtpPort_);
    RegSetDword(kRootKey, "SysAccess", 1);  // POP3 on
    RegSetDword(kRootKey, "SysOptPop", uint32_t(popPort_));
    AddUser("alice", "secret");
    AddUser("bench1", "");
  }
  void TearDown() override { server_.Stop(); }

  void AddUser(const std::string& name, const std::string& password) {
    std::string scrambled, why;
    if (!password.empty()) {
      ASSERT_TRUE(ScramblePassword(name, password, scrambled));
    }
    ASSERT_TRUE(WriteUserRecord(name, name, Box(name), scrambled, "", "", why)) << why;
  }
  std::string Box(const std::string& user) { return home_.dir + user + ".mbx"; }
  // Starts the server on the test's home; true once both listeners accept.
  bool StartServer(std::vector<std::string> extra = {}) {
    RegCloseStore();
    return server_.Start(home_.dir, smtpPort_, std::move(extra)) &&
           WaitFor([&] { return PortAccepts(popPort_); }, 10000);
  }

  TestHome home_;
  int smtpPort_ = 0;
  int popPort_ = 0;
  ServerProcess server_;
};

// A client that retries its login after a line the server refused as too long
// must get in: the refused line is one wrong command, and after USER a wrong
// command ends that login attempt. In SMTP it is one syntax error: the
// transaction keeps its sender and recipients.
TEST_F(FirstUseTest, AnOverLongLineIsOneWrongCommandForTheSessionMachine) {
  ASSERT_TRUE(StartServer());
  PopClient pop(popPort_);
  ASSERT_EQ(pop.ReadLine().substr(0, 4), "+OK ");
  EXPECT_EQ(pop.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(pop.Ask(std::string(100 * 1024, 'x')), "-ERR unknown command");
  EXPECT_EQ(pop.Ask("USER alice"), "+OK alice welcome here");
  EXPECT_EQ(pop.Ask("PASS secret"), "+OK mailbox for alice has 0 messages (0 octets)");
  EXPECT_EQ(pop.Ask(std::string(5000, 'y')), "-ERR unknown command");
  EXPECT_EQ(pop.Ask("STAT"), "+OK 0 0");
  EXPECT_EQ(pop.Ask("QUIT"), "+OK POP3 server mail.example.org signing off.");

  SmtpClient smtp(smtpPort_);
  ASSERT_EQ(smtp.Reply().substr(0, 4), "220-");
  ASSERT_EQ(smtp.Ask("EHLO client.test").substr(0, 4), "250-");
  EXPECT_EQ(smtp.Ask("MAIL FROM:<bob@remote.test>"), "250 OK");
  EXPECT_EQ(smtp.Ask("RCPT TO:<alice@mail.example.org>"), "250 OK, alice@mail.example.org");
  EXPECT_EQ(smtp.Ask("RCPT TO:<" + std::string(100 * 1024, 'z') + ">"), "550 Syntax error");
  EXPECT_EQ(smtp.Ask("RCPT TO:<bench1@mail.example.org>"), "250 OK, bench1@mail.example.org");
  EXPECT_EQ(smtp.Ask("DATA").substr(0, 3), "354");
  EXPECT_EQ(smtp.Ask("Subject: both\r\n\r\nhello\r\n.").substr(0, 28), "250 OK, Submitted & queued (");
  EXPECT_TRUE(WaitForMailboxMessages(Box("alice"), 1, 10000));
  EXPECT_TRUE(WaitForMailboxMessages(Box("bench1"), 1, 10000));
}

// An administrator who lists a short name in IncomingAlias means it: mail for
// bench1@localhost lands in bench1's mailbox instead of going out to
// localhost.example.org.
TEST_F(FirstUseTest, ShortHostAliasIsMatchedBeforeTheSuffixRule) {
  RegSetString(kRootKey, "IncomingAlias", "localhost");
  ASSERT_TRUE(StartServer());
  std::string out;
  ASSERT_EQ(Shell(Swaks(smtpPort_, "bench1@localhost", "to a short alias"), &out), 0) << out;
  ASSERT_TRUE(WaitForMailboxMessages(Box("bench1"), 1, 10000));
  EXPECT_NE(ReadText(Box("bench1")).find("to a short alias"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return ListFiles(home_.dir, "*.in").empty(); }, 5000));
  EXPECT_TRUE(ListFiles(home_.dir, "*.out").empty());
}

// One "corvelreg set" line with the password scrambled by corvelreg makes an
// account that takes mail and serves it by POP3, as the README shows.
TEST_F(FirstUseTest, AnAccountAddedWithOneCorvelregLineTakesAndServesMail) {
  RegCloseStore();
  std::string reg = kBin + "/corvelreg --home " + home_.dir;
  std::string out;
  ASSERT_EQ(Shell(reg + " set 'SOFTWARE\\Tollgrove\\Corvel\\Users' carol sz \"u;Carol;" + home_.dir +
                    "carol.mbx;$(" + reg + " scramble carol s3cret);\"",
                &out),
            0)
      << out;
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(Shell(Swaks(smtpPort_, "carol@mail.example.org", "for carol"), &out), 0) << out;
  ASSERT_TRUE(WaitForMailboxMessages(Box("carol"), 1, 10000));
  std::string script = home_.dir + "fetch.py";
  {
    UniqueFd fd(open(script.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    std::string text =
        "import poplib\n"
        "p = poplib.POP3('127.0.0.1', " + std::to_string(popPort_) + ")\n"
        "p.user('carol'); p.pass_('s3cret')\n"
        "print(p.stat()[0]); print(b'|'.join(p.retr(1)[1]).decode()); p.quit()\n";
    ASSERT_TRUE(WriteAll(fd.get(), text.data(), text.size()));
  }
  ASSERT_EQ(Shell("python3 " + script, &out), 0) << out;
  EXPECT_EQ(out.substr(0, 2), "1\n") << out;
  EXPECT_NE(out.find("|for carol"), std::string::npos) << out;
  EXPECT_NE(Shell(kBin + "/corvelreg scramble carol x"), 0);  // too short for a password
}

// The home a new user's run script makes: the registry alone at the top, the
// mailboxes and the log under mail/, the spool under spool/in/ and spool/out/,
// made at start-up; a directory that cannot be made stops the start with a
// clear error.
TEST_F(FirstUseTest, TheRunScriptsNewHomeIsTidy) {
  Umask umask022(022);
  std::string fresh = home_.dir + "new/";
  std::string out;
  ASSERT_EQ(Shell("CORVEL_BIN=" + kBin + " " + kSource + "/scripts/new-home.sh " + fresh, &out), 0)
      << out;
  EXPECT_EQ(Mode(fresh), 0700);
  EXPECT_EQ(Mode(fresh + "registry.db"), 0600);
  EXPECT_NE(Shell("CORVEL_BIN=" + kBin + " " + kSource + "/scripts/new-home.sh " + fresh, &out), 0)
      << "an existing home is left alone";
  std::string why;
  RegCloseStore();
  ASSERT_TRUE(RegOpenStore(fresh + "registry.db", why)) << why;
  RegValue v;
  ASSERT_TRUE(RegQueryValue(kRootKey, "SystemOutgoing", v));
  EXPECT_EQ(RegDecodeSz(v.data), fresh + "spool/out/");
  WriteLoopbackServerSettings(smtpPort_);
  ASSERT_TRUE(WriteUserRecord("alice", "alice", fresh + "mail/alice.mbx", "", "", "", why)) << why;
  RegCloseStore();

  ASSERT_TRUE(server_.Start(fresh, smtpPort_));
  ASSERT_EQ(Shell(Swaks(smtpPort_, "alice@mail.example.org"), &out), 0) << out;
  ASSERT_TRUE(WaitForMailboxMessages(fresh + "mail/alice.mbx", 1, 10000));
  std::set<std::string> top;
  for (const auto& e : std::filesystem::directory_iterator(fresh)) {
    std::string name = e.path().filename().string();
    if (name.rfind("registry.db", 0) != 0) top.insert(name);  // with its -wal and -shm
  }
  EXPECT_EQ(top,
            (std::set<std::string>{"corvel95.pid", "locks", "mail", "out.txt", "spool", "tls"}));
  EXPECT_TRUE(FileExists(fresh + "tls/cert.pem"));
  // Beside the mailbox, the router's note of its appends.
  EXPECT_TRUE(WaitFor([&] { return ListFiles(fresh + "spool/in/", "*.in").empty(); }, 5000));
  EXPECT_EQ(ListFiles(fresh + "mail/", "*"),
            (std::vector<std::string>{"alice.mbx", "alice.mbx.append", "maillog.txt"}));
  EXPECT_TRUE(DirectoryExists(fresh + "spool/in/"));
  EXPECT_TRUE(DirectoryExists(fresh + "spool/out/"));
  server_.Stop();

  // A user directory that cannot be made: a file stands in its way.
  RegCloseStore();
  ASSERT_TRUE(RegOpenStore(fresh + "registry.db", why)) << why;
  RegSetString(kRootKey, "UserDirectory", fresh + "out.txt/mail/");
  RegCloseStore();
  EXPECT_FALSE(server_.Start(fresh, smtpPort_));
  std::string text = ReadText(fresh + "out.txt");
  EXPECT_NE(text.find("Unable to create the directory " + fresh + "out.txt/mail/."), std::string::npos)
      << text;
  EXPECT_NE(text.find("Not a directory"), std::string::npos) << text;
}

// The registry holds every password in a form that turns back into clear text:
// it and its side files are made 0600 whatever the umask, a new home 0700, an
// export 0600; a readable registry of an older installation is reported once.
TEST_F(FirstUseTest, TheRegistryAndItsCopiesArePrivateWhateverTheUmask) {
  Umask umask022(022);
  std::string why;
  std::string priv = home_.dir + "priv.db";
  RegCloseStore();
  ASSERT_TRUE(RegOpenStore(priv, why)) << why;
  ASSERT_TRUE(RegSetString(kRootKey, "x", "y"));
  for (const char* side : {"", "-wal", "-shm"}) EXPECT_EQ(Mode(priv + side), 0600) << side;
  RegCloseStore();
  std::string out;
  ASSERT_EQ(Shell(kBin + "/corvelreg --registry " + priv + " export SOFTWARE " + home_.dir +
                    "export.reg",
                &out),
            0)
      << out;
  EXPECT_EQ(Mode(home_.dir + "export.reg"), 0600);

  // A new home made by the server, with the test's (private) registry.
  std::string registry = home_.dir + "registry.db";
  ASSERT_EQ(chmod(registry.c_str(), 0600), 0);
  std::string newHome = home_.dir + "made-by-server/";
  ASSERT_TRUE(server_.Start(newHome, smtpPort_, {"--registry", registry}));
  EXPECT_EQ(Mode(newHome), 0700);
  server_.Stop();
  std::string quiet = ReadText(newHome + "maillog.txt");
  EXPECT_NE(quiet.find("Program Stopped."), std::string::npos);
  EXPECT_EQ(Count(quiet, "is readable by other users"), 0u);

  ASSERT_EQ(chmod(registry.c_str(), 0644), 0);
  ASSERT_TRUE(StartServer());
  server_.Stop();
  std::string log = ReadText(home_.dir + "maillog.txt");
  EXPECT_EQ(Count(log, "Warning: the registry " + registry +
                           " is readable by other users (mode 0644); it holds the accounts' "
                           "passwords."),
            1u)
      << log;
  EXPECT_EQ(Mode(registry), 0644);  // told, not changed
}

// 5,000 recipients pipelined in one transaction: the server takes as many as
// the router can read back from one envelope, answers the rest "452 Too many
// recipients", and every recipient it took gets the message.
TEST_F(FirstUseTest, FiveThousandPipelinedRecipientsNeverMakeAnUnreadableEnvelope) {
  ASSERT_TRUE(StartServer());
  SmtpClient c(smtpPort_, 60);
  ASSERT_TRUE(c.ok());
  constexpr int kRecipients = 5000;
  std::string batch = "EHLO client.test\r\nMAIL FROM:<bob@remote.test>\r\n";
  for (int i = 0; i < kRecipients; ++i) batch += "RCPT TO:<bench1@mail.example.org>\r\n";
  batch += "DATA\r\n";
  std::thread sender([&] { c.SendRaw(batch); });
  ASSERT_EQ(c.Reply().substr(0, 4), "220-");
  ASSERT_EQ(c.Reply().substr(0, 4), "250-");
  ASSERT_EQ(c.Reply(), "250 OK");
  int accepted = 0, refused = 0;
  for (int i = 0; i < kRecipients; ++i) {
    std::string reply = c.Reply();
    if (reply == "250 OK, bench1@mail.example.org" && refused == 0) {
      ++accepted;
    } else {
      EXPECT_EQ(reply, "452 Too many recipients") << "reply " << i;
      ++refused;
    }
  }
  sender.join();
  EXPECT_EQ(c.Reply().substr(0, 3), "354");
  EXPECT_EQ(c.Ask("Subject: many\r\n\r\nto many\r\n.").substr(0, 28), "250 OK, Submitted & queued (");
  // As many as one envelope holds, and none beyond.
  size_t base = EnvelopeBaseBytes("bob@remote.test", true);  // a client in RelayNetworks
  size_t line = EnvelopeRecipientBytes("bench1@mail.example.org");
  EXPECT_EQ(accepted, int((kRouterEnvelopeLimit - base) / line));
  EXPECT_EQ(accepted + refused, kRecipients);
  ASSERT_TRUE(WaitForMailboxMessages(Box("bench1"), size_t(accepted), 60000));
  EXPECT_EQ(MailboxMessages(Box("bench1")), size_t(accepted));
  EXPECT_TRUE(ListFiles(home_.dir, "*.err").empty());
  EXPECT_FALSE(FileExists(home_.dir + "root.mbx"));  // no bounce to root
}

// logrotate moves the log away and sends SIGHUP: the server goes on in a new log
// file and changes nothing else.
TEST_F(FirstUseTest, SighupReopensTheLogAndChangesNothingElse) {
  ASSERT_TRUE(StartServer());
  std::string log = home_.dir + "maillog.txt";
  ASSERT_TRUE(WaitFor([&] { return FileExists(log); }, 5000));
  ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
  ASSERT_EQ(kill(server_.pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitFor([&] { return ReadText(log).find("Log file reopened.") != std::string::npos; },
                      5000));
  EXPECT_TRUE(server_.Running());
  std::string out;
  ASSERT_EQ(Shell(Swaks(smtpPort_, "alice@mail.example.org"), &out), 0) << out;
  EXPECT_TRUE(WaitForMailboxMessages(Box("alice"), 1, 10000));
  server_.Stop();
  std::string fresh = ReadText(log);
  EXPECT_NE(fresh.find("Program Stopped."), std::string::npos) << fresh;
  EXPECT_EQ(ReadText(log + ".1").find("Log file reopened."), std::string::npos);
}

}  // namespace
