// Relaying through the real server: corvel95 on a free port of 127.0.0.1 takes
// mail from smtplib and swaks and sends it on to real peers on 127.0.12.x:25
// (smtp-sink dumping every message, a throw-away Postfix), finding exchangers
// with unbound on 127.0.12.x:53. The administrator's `corveladm queue` sees the
// parked mail and `corveladm queue flush` sends it.
#include <string>
#include <vector>

#include "server/accounts/accounts.h"
#include "server/net/net_tls.h"
#include "tests/core/test_home.h"
#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr uint32_t kWaitMs = 20000;
constexpr const char* kCorveladm = CORVEL_BIN_DIR "/corveladm";
constexpr const char* kPostfix = "/usr/sbin/postfix";

// A message with what relaying must keep: dot lines, 8-bit text, CRLF lines.
const std::string kBody = ".\r\n..two dots\r\n\xe4\xf6\xfc 8-bit text \x80\xff\r\nlast line\r\n";

bool WaitFor(const std::function<bool()>& done, uint32_t ms = kWaitMs) {
  uint32_t start = GetTickCount32();
  while (TickElapsed(GetTickCount32(), start) < ms) {
    if (done()) return true;
    SleepMs(50);
  }
  return done();
}

std::string Lf(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// The output of a command (standard output), and its exit status.
std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char block[4096];
  size_t n;
  while (p && (n = fread(block, 1, sizeof block, p)) > 0) out.append(block, n);
  int rc = p ? pclose(p) : -1;
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

class RelayServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    RegSetDword(kRootKey, "DisableDNSLookup", 0);
    RegSetDword(kRootKey, "LogFileOptions", 0xFFF);
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) Shell("tail -n 80 " + home_.dir + "maillog.txt >&2");
  }
  void UseSmartHost(const std::string& host) {
    RegSetString(kRootKey, "SmartHost", host);
    RegSetDword(kRootKey, "RoutingMode", kRouteSmartHost);
  }
  void Start() {
    RegCloseStore();
    ASSERT_TRUE(server_.Start(home_.dir, port_)) << Read(home_.dir + "out.txt");
  }
  static std::string Read(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
  }
  // Sends with smtplib; returns the recipients the server refused (empty when all
  // were taken), or "error" when the whole message failed.
  std::string Smtplib(const std::string& from, const std::vector<std::string>& to,
                      const std::string& message) {
    std::string file = home_.dir + "message.eml";
    {
      UniqueFd fd(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      WriteAll(fd.get(), message.data(), message.size());
    }
    std::string list;
    for (const std::string& t : to) list += "'" + t + "',";
    std::string script = "import smtplib, sys\n"
                         "try:\n"
                         "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) +
                         ", timeout=20)\n"
                         "    r = s.sendmail('" + from + "', [" + list + "], open('" + file +
                         "', 'rb').read())\n"
                         "    s.quit()\n"
                         "    print(' '.join(sorted(r)))\n"
                         "except smtplib.SMTPRecipientsRefused as e:\n"
                         "    print(' '.join(sorted(e.recipients)))\n"
                         "except Exception as e:\n"
                         "    print('error %r' % (e,))\n";
    std::string path = home_.dir + "send.py";
    {
      UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      WriteAll(fd.get(), script.data(), script.size());
    }
    std::string out = Shell("python3 " + path);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::vector<std::string> Queue(const char* pattern) { return ListFiles(home_.dir, pattern); }
  bool QueueEmpty() { return Queue("*.out").empty() && Queue("*.our").empty() && Queue("*.in").empty(); }

  TestHome home_;
  int port_ = 0;
  ServerProcess server_;
};

// smtplib and swaks through the smart host to smtp-sink: each message arrives once,
// its body byte for byte, sender and recipients as given.
TEST_F(RelayServerTest, SmtplibAndSwaksMailReachesSmtpSinkWhole) {
  SinkProcess sink;
  ASSERT_TRUE(sink.Start(PeerAddress(21, 1)));
  UseSmartHost(PeerAddress(21, 1));
  Start();
  EXPECT_EQ(Smtplib("bob@remote.example.com", {"carol@far.example"}, "Subject: one\r\n\r\n" + kBody), "");
  ASSERT_EQ(system(("swaks --server 127.0.0.1:" + std::to_string(port_) +
                    " --from dave@remote.example.com --to erin@far.example,fred@far.example"
                    " --header 'Subject: two' --body 'swaks body line' >/dev/null 2>&1").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.Dumps().size() == 2 && QueueEmpty(); }));
  std::vector<std::string> dumps = sink.Dumps();
  std::sort(dumps.begin(), dumps.end(), [](const std::string& a, const std::string& b) {
    return a.find("bob@") != std::string::npos && b.find("bob@") == std::string::npos;
  });
  EXPECT_NE(dumps[0].find("\nX-Mail-Args: <bob@remote.example.com>\n"), std::string::npos);
  EXPECT_EQ(DumpedRecipients(dumps[0]), std::vector<std::string>{"<carol@far.example>"});
  std::string first = DumpedMessage(dumps[0]);
  EXPECT_EQ(first.substr(first.find("\n\n") + 2), Lf(kBody));
  EXPECT_NE(first.find("\nSubject: one\n"), std::string::npos);
  EXPECT_EQ(DumpedRecipients(dumps[1]),
            (std::vector<std::string>{"<erin@far.example>", "<fred@far.example>"}));
  std::string second = DumpedMessage(dumps[1]);
  EXPECT_EQ(second.substr(second.find("\n\n") + 2, 16), "swaks body line\n");
}

// 120 recipients: the router writes them in groups of 50, each group goes out in
// one transaction; every recipient arrives once.
TEST_F(RelayServerTest, HundredTwentyRecipientsArriveOnceEach) {
  SinkProcess sink;
  ASSERT_TRUE(sink.Start(PeerAddress(22, 1)));
  UseSmartHost(PeerAddress(22, 1));
  Start();
  std::vector<std::string> to;
  for (int i = 0; i < 120; ++i) to.push_back("user" + std::to_string(i) + "@far.example");
  EXPECT_EQ(Smtplib("bob@remote.example.com", to, "Subject: many\r\n\r\nbody\r\n"), "");
  std::set<std::string> got;
  size_t copies = 0;
  ASSERT_TRUE(WaitFor([&] {
    got.clear();
    copies = 0;
    for (const std::string& dump : sink.Dumps())
      for (const std::string& r : DumpedRecipients(dump)) {
        got.insert(r);
        ++copies;
      }
    return copies >= 120 && QueueEmpty();
  }));
  EXPECT_EQ(copies, 120u);
  EXPECT_EQ(got.size(), 120u);
  EXPECT_EQ(sink.Dumps().size(), 3u);
}

// Two domains, one of them down: the other gets its copy at once, the message
// waits as a parked file with the down domain's recipient still pending (as
// `corveladm queue` shows), and `corveladm queue flush` sends it when the host
// is back.
TEST_F(RelayServerTest, DownDomainWaitsAndQueueFlushSendsIt) {
  if (access(kUnbound, X_OK) != 0) GTEST_SKIP() << "unbound is not installed";
  const std::string dnsAddress = PeerAddress(23, 1), up = PeerAddress(23, 2), down = PeerAddress(23, 3);
  DnsServer dns;
  std::string why;
  ASSERT_TRUE(dns.Start(dnsAddress,
                        "$ORIGIN relay.test.\n$TTL 0\n@ IN SOA ns hostmaster 1 3600 600 86400 0\n"
                        "@ IN NS ns\nns IN A " + dnsAddress + "\n"
                        "up IN MX 10 mx.up\nmx.up IN A " + up + "\n"
                        "down IN MX 10 mx.down\nmx.down IN A " + down + "\n",
                        why))
      << why;
  RegSetString(kRootKey, "DomainServer", dnsAddress);
  SinkProcess upSink;
  ASSERT_TRUE(upSink.Start(up));
  Start();
  ASSERT_EQ(system(("swaks --server 127.0.0.1:" + std::to_string(port_) +
                    " --from bob@remote.example.com --to x@up.relay.test,y@down.relay.test"
                    " --body 'two domains' >/dev/null 2>&1").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return upSink.Dumps().size() == 1 && Queue("*.our").size() == 1; }));
  EXPECT_EQ(DumpedRecipients(upSink.Dumps()[0]), std::vector<std::string>{"<x@up.relay.test>"});
  std::string parked = Read(home_.dir + Queue("*.our")[0]);
  EXPECT_EQ(parked.substr(0, parked.find("\r\n\r\n")),
            "From: bob@remote.example.com\r\nOrigin: local\r\nto: x@up.relay.test\r\n"
            "To: y@down.relay.test");

  std::string adm = std::string(kCorveladm) + " --home " + home_.dir + " ";
  int status = -1;
  std::string listing = Shell(adm + "queue", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(listing.find("outgoing message held for a retry"), std::string::npos) << listing;
  EXPECT_NE(listing.find("from bob@remote.example.com to y@down.relay.test\n"), std::string::npos)
      << listing;

  SinkProcess downSink;
  ASSERT_TRUE(downSink.Start(down));
  std::string flushed = Shell(adm + "queue flush", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(flushed, "down.relay.test: 250 OK\n");
  ASSERT_TRUE(WaitFor([&] { return downSink.Dumps().size() == 1 && QueueEmpty(); }));
  EXPECT_EQ(DumpedRecipients(downSink.Dumps()[0]), std::vector<std::string>{"<y@down.relay.test>"});
  EXPECT_EQ(upSink.Dumps().size(), 1u);
  EXPECT_EQ(Shell(adm + "queue flush unknown.test", &status), "unknown.test: 250 OK, no messages in queue for node\n");
}

// A throw-away Postfix as the peer, refusing bare line feeds: lines of dots, a
// 100 KB line and 8-bit text are delivered byte for byte.
class PostfixPeer {
 public:
  ~PostfixPeer() { Stop(); }
  // `extra`: more lines for main.cf.
  bool Start(const std::string& address, const std::string& extra = "") {
    char tmpl[] = "/tmp/corvel-postfix-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    std::string etc = dir_ + "/etc", mail = dir_ + "/mail";
    MakeDirectories(etc);
    MakeDirectories(mail);
    MakeDirectories(dir_ + "/spool");
    MakeDirectories(dir_ + "/data");
    chmod(dir_.c_str(), 0755);
    chmod(mail.c_str(), 0777);
    std::string mainCf =
        "compatibility_level = 3.6\n"
        "queue_directory = " + dir_ + "/spool\n"
        "data_directory = " + dir_ + "/data\n"
        "inet_interfaces = loopback-only\ninet_protocols = ipv4\n"
        "myhostname = peer.test\nmydestination =\nmynetworks = 127.0.0.0/8\n"
        "smtpd_forbid_bare_newline = yes\nsmtpd_forbid_bare_newline_exclusions =\n"
        "virtual_mailbox_domains = peer.test\nvirtual_mailbox_base = " + mail + "\n"
        "virtual_mailbox_maps = static:box/\nvirtual_uid_maps = static:65534\n"
        "virtual_gid_maps = static:65534\nalias_maps =\nalias_database =\n"
        "maillog_file_prefixes = " + dir_ + "\nmaillog_file = " + dir_ + "/postfix.log\n" + extra;
    {
      std::string path = etc + "/main.cf";
      UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      WriteAll(fd.get(), mainCf.data(), mainCf.size());
    }
    std::string c = " -c " + etc;
    int rc = system(("cp /etc/postfix/master.cf " + etc + "/ && chown postfix " + dir_ + "/data" +
                     " && postconf" + c + " -F '*/*/chroot = n' && postconf" + c + " -M# smtp/inet" +
                     " && postconf" + c + " -M '" + address + ":25/inet=" + address +
                     ":25 inet n - n - - smtpd' && " + kPostfix + c + " set-permissions >/dev/null 2>&1" +
                     " && " + kPostfix + c + " start >/dev/null 2>&1").c_str());
    if (rc != 0) return false;
    started_ = true;
    return WaitForListener(address, 25);
  }
  void Stop() {
    if (started_) {
      if (system((std::string(kPostfix) + " -c " + dir_ + "/etc stop >/dev/null 2>&1").c_str()) != 0) {
      }
      started_ = false;
    }
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
      dir_.clear();
    }
  }
  std::string LogText() const {
    std::string text;
    ReadWholeFile(dir_ + "/postfix.log", text);
    return text;
  }
  // The delivered messages (maildir files).
  std::vector<std::string> Delivered() const {
    std::vector<std::string> out;
    std::string dir = dir_ + "/mail/box/new/";
    for (const std::string& name : ListFiles(dir, "*")) {
      std::string text;
      ReadWholeFile(dir + name, text);
      out.push_back(text);
    }
    return out;
  }

 private:
  std::string dir_;
  bool started_ = false;
};

TEST_F(RelayServerTest, PostfixRefusingBareLineFeedsGetsLongLinesAndEightBitWhole) {
  if (access(kPostfix, X_OK) != 0) GTEST_SKIP() << "postfix is not installed";
  PostfixPeer postfix;
  ASSERT_TRUE(postfix.Start(PeerAddress(24, 1)));
  UseSmartHost(PeerAddress(24, 1));
  Start();
  std::string longLine(100 * 1024, 'L');
  longLine[1000] = '.';
  std::string body = kBody + longLine + "\r\n" + std::string(3000, '\xe9') + "\r\n.\r\n";
  EXPECT_EQ(Smtplib("bob@remote.example.com", {"box@peer.test"}, "Subject: pf\r\n\r\n" + body), "");
  ASSERT_TRUE(WaitFor([&] { return postfix.Delivered().size() == 1 && QueueEmpty(); }));
  std::string delivered = postfix.Delivered()[0];
  EXPECT_EQ(delivered.substr(delivered.find("\n\n") + 2), Lf(body));
}

// With TLS on, the server says STARTTLS to a Postfix that offers it: the message
// arrives, Postfix's Received line and log and our log all show TLS.
TEST_F(RelayServerTest, PostfixOfferingStartTlsGetsTheMessageOverTls) {
  if (access(kPostfix, X_OK) != 0) GTEST_SKIP() << "postfix is not installed";
  std::string why, cert = home_.dir + "pf.crt", key = home_.dir + "pf.key";
  ASSERT_TRUE(NetTlsMakeSelfSigned("peer.test", cert, key, why)) << why;
  PostfixPeer postfix;
  ASSERT_TRUE(postfix.Start(PeerAddress(24, 2), "smtpd_tls_security_level = may\n"
                            "smtpd_tls_cert_file = " + cert + "\nsmtpd_tls_key_file = " + key +
                            "\nsmtpd_tls_received_header = yes\nsmtpd_tls_loglevel = 1\n"));
  UseSmartHost(PeerAddress(24, 2));
  RegSetDword(kRootKey, "UseTls", 1);
  Start();
  EXPECT_EQ(Smtplib("bob@remote.example.com", {"box@peer.test"}, "Subject: tls\r\n\r\n" + kBody), "");
  ASSERT_TRUE(WaitFor([&] { return postfix.Delivered().size() == 1 && QueueEmpty(); }));
  std::string delivered = postfix.Delivered()[0];
  EXPECT_NE(delivered.find("(using TLSv1.3 with cipher "), std::string::npos) << delivered;
  EXPECT_EQ(delivered.substr(delivered.find("\n\n") + 2), Lf(kBody));
  EXPECT_TRUE(WaitFor([&] {
    return postfix.LogText().find("TLS connection established from") != std::string::npos;
  })) << postfix.LogText();
  std::string log;
  ReadWholeFile(home_.dir + "maillog.txt", log);
  EXPECT_NE(log.find(": file sent over TLSv1.3 with cipher "), std::string::npos) << log;
}

// Postfix as the sending peer, relaying to us with smtp_tls_security_level = encrypt:
// the message arrives over STARTTLS, and both sides' records say so.
TEST_F(RelayServerTest, PostfixRequiringTlsRelaysToUsOverStartTls) {
  if (access(kPostfix, X_OK) != 0) GTEST_SKIP() << "postfix is not installed";
  std::string why;
  ASSERT_TRUE(WriteUserRecord("dave", "dave", home_.dir + "dave.mbx", "", "", "", why)) << why;
  RegSetDword(kRootKey, "UseTls", 1);
  Start();
  PostfixPeer postfix;
  std::string address = PeerAddress(24, 3);
  ASSERT_TRUE(postfix.Start(address, "relayhost = [127.0.0.1]:" + std::to_string(port_) +
                                         "\nsmtp_tls_security_level = encrypt\n"
                                         "smtp_tls_loglevel = 1\n"));
  std::string sent = Shell("python3 -c \"import smtplib\ns = smtplib.SMTP('" + address +
                           "', 25, timeout=20)\nprint(s.sendmail('bob@remote.example.com', "
                           "['dave@mail.example.org'], b'Subject: via postfix\\r\\n\\r\\nhi\\r\\n'))\"");
  EXPECT_EQ(sent, "{}\n");
  ASSERT_TRUE(WaitForMailboxMessages(home_.dir + "dave.mbx", 1, kWaitMs)) << postfix.LogText();
  std::string box;
  ReadWholeFile(home_.dir + "dave.mbx", box);
  EXPECT_NE(box.find("(using TLSv1.3 with cipher "), std::string::npos) << box;
  EXPECT_TRUE(WaitFor([&] {
    return postfix.LogText().find("TLS connection established to 127.0.0.1") != std::string::npos;
  })) << postfix.LogText();
}

// A client outside RelayNetworks reaches no peer, whatever form of address it
// tries.
TEST_F(RelayServerTest, StrangerCannotRelayByAnyAddressForm) {
  SinkProcess sink, literal;
  ASSERT_TRUE(sink.Start(PeerAddress(25, 1)));
  ASSERT_TRUE(literal.Start(PeerAddress(25, 2)));
  UseSmartHost(PeerAddress(25, 1));
  RegSetString(kRootKey, "RelayNetworks", "10.0.0.0/8");
  Start();
  std::vector<std::string> forms = {"u@far.example", "u%far.example@mail.example.org",
                                    "@mail.example.org:u@far.example", "far.example!u",
                                    "u@[" + PeerAddress(25, 2) + "]"};
  std::string refused = Smtplib("bob@remote.example.com", forms, "Subject: relay?\r\n\r\nno\r\n");
  std::vector<std::string> sorted = forms;
  std::sort(sorted.begin(), sorted.end());
  std::string all;
  for (const std::string& f : sorted) all += (all.empty() ? "" : " ") + f;
  EXPECT_EQ(refused, all);
  SleepMs(1500);
  EXPECT_TRUE(sink.Dumps().empty());
  EXPECT_TRUE(literal.Dumps().empty());
  EXPECT_TRUE(Queue("*.out").empty());
  EXPECT_TRUE(Queue("*.our").empty());
}

// SIGTERM while a message is on its way: nothing is bounced or lost; the next
// start sends it.
TEST_F(RelayServerTest, ShutdownWhileSendingLosesAndBouncesNothing) {
  PeerScript stuck;
  stuck.silentOn = "DATA";
  RecordingPeer slow;
  ASSERT_TRUE(slow.Start(PeerAddress(26, 1), stuck));
  UseSmartHost(PeerAddress(26, 1));
  Start();
  EXPECT_EQ(Smtplib("bob@remote.example.com", {"u@far.example"}, "Subject: t\r\n\r\nbody\r\n"), "");
  ASSERT_TRUE(WaitFor([&] {
    for (const std::string& c : slow.Commands())
      if (c == "DATA") return true;
    return false;
  }));
  server_.Stop(SIGTERM);
  slow.Stop();
  std::vector<std::string> out = Queue("*.out");
  ASSERT_EQ(out.size(), 1u);
  std::string text = Read(home_.dir + out[0]);
  EXPECT_EQ(text.substr(0, text.find("\r\n\r\n")),
            "From: bob@remote.example.com\r\nOrigin: local\r\nTo: u@far.example");
  EXPECT_TRUE(Queue("*.in").empty());  // no bounce
  SinkProcess sink;
  ASSERT_TRUE(sink.Start(PeerAddress(26, 1)));
  ASSERT_TRUE(server_.Start(home_.dir, port_));
  ASSERT_TRUE(WaitFor([&] { return sink.Dumps().size() == 1 && QueueEmpty(); }));
}

}  // namespace
