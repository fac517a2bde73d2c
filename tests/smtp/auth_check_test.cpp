// Checks on incoming mail: the real server takes mail from smtplib on a session
// outside RelayNetworks, verifies the DKIM signatures dkimpy made with keys the
// test publishes through unbound (the configured name server), and stores one
// Authentication-Results header above its Received line; a forged one in our
// name is dropped. Bad input (fifty signatures, a 64 KB signature, a name server
// that never answers) gets a result within the DNS budget.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server/accounts/accounts.h"
#include "server/mailauth/auth_check.h"
#include "server/spool/headers.h"
#include "tests/core/test_home.h"
#include "tests/outgoing/outgoing_fixture.h"

namespace {

constexpr uint32_t kWaitMs = 30000;
constexpr const char* kSigner = CORVEL_SOURCE_DIR "/tests/smtp/dkim_sign.py";

std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char block[4096];
  size_t n;
  while (p && (n = fread(block, 1, sizeof block, p)) > 0) out.append(block, n);
  if (p) pclose(p);
  return out;
}

void WriteText(const std::string& path, const std::string& text) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  WriteAll(fd.get(), text.data(), text.size());
}

std::string NoCr(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

// Every Authentication-Results field of `text` (LF lines), with its
// continuation lines. The router joins a field's lines unless the joined line
// would be too long for a message.
std::vector<std::string> AuthFields(const std::string& text) {
  std::vector<std::string> out;
  for (size_t p = text.find("Authentication-Results:"); p != std::string::npos;
       p = text.find("Authentication-Results:", p + 1)) {
    if (p > 0 && text[p - 1] != '\n') continue;
    size_t end = p;
    do {
      end = text.find('\n', end) + 1;
    } while (end < text.size() && (text[end] == '\t' || text[end] == ' '));
    out.push_back(text.substr(p, end - p));
  }
  return out;
}

// The first 8 characters of the b= of the first signature of `message`.
std::string BTag(const std::string& message) {
  size_t b = message.find("b=", message.find("bh=") + 3);
  std::string tag;
  for (size_t i = b + 2; i < message.size() && tag.size() < 8; ++i)
    if (!isspace(static_cast<unsigned char>(message[i]))) tag += message[i];
  return tag;
}

// The header a message from the loopback client gets, as the router stores it (one
// line): libspf2 passes a client on the local host.
std::vector<std::string> Expected(const std::string& dkim, const std::string& dmarc = "dmarc=none",
                                  const std::string& from = "good.auth.test") {
  return {"Authentication-Results: mail.example.org;\tspf=pass smtp.mailfrom=sender@good.auth.test;\t" +
          dkim + ";\t" + dmarc + " header.from=" + from + "\n"};
}

class AuthCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kUnbound, X_OK) != 0) GTEST_SKIP() << "unbound is not installed";
    // Each test serves its own zone at the same address: nothing of an earlier
    // test's answers may be kept in this process.
    ClearAuthDnsCache();
    port_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(port_);
    RegSetDword(kRootKey, "LogFileOptions", 0xFFF);
    // Loopback clients are outside: the checks apply to them.
    RegSetString(kRootKey, "RelayNetworks", "10.99.0.0/16");
    RegSetDword(kRootKey, "AuthCheckIncoming", 1);
    std::string why;
    ASSERT_TRUE(WriteUserRecord("dave", "dave", home_.dir + "dave.mbx", "", "", "", why)) << why;
    key_ = home_.dir + "key.pem";
    ASSERT_EQ(system(("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key_ +
                      " 2>/dev/null").c_str()), 0);
    std::string p = Shell("openssl pkey -in " + key_ + " -pubout -outform DER | base64 -w0");
    std::string txt;
    std::string record = "v=DKIM1; k=rsa; p=" + p;
    for (size_t i = 0; i < record.size(); i += 200) txt += " \"" + record.substr(i, 200) + "\"";
    dnsAddress_ = PeerAddress(31, 1);
    ASSERT_TRUE(dns_.Start(dnsAddress_,
                           "$ORIGIN auth.test.\n$TTL 0\n@ IN SOA ns hostmaster 1 3600 600 86400 0\n"
                           "@ IN NS ns\nns IN A " + dnsAddress_ + "\n"
                           "sel._domainkey.good IN TXT" + txt + "\n"
                           "sel._domainkey.strict IN TXT" + txt + "\n"
                           "_dmarc.strict IN TXT \"v=DMARC1; p=reject; aspf=s; adkim=s\"\n"
                           "spfpass IN TXT \"v=spf1 ip4:192.0.2.10 -all\"\n"
                           "spfsoft IN TXT \"v=spf1 ~all\"\n"
                           "spfbad IN TXT \"v=spf1 ip4:not-an-address mx:: -all\"\n"
                           "spfinc IN TXT \"v=spf1 include:spfpass.auth.test -all\"\n"
                           "nospf IN A 192.0.2.1\n",
                           why))
        << why;
    RegSetString(kRootKey, "DomainServer", dnsAddress_);
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) Shell("tail -n 40 " + home_.dir + "maillog.txt >&2");
  }
  void Start() {
    RegCloseStore();
    ASSERT_TRUE(server_.Start(home_.dir, port_));
  }
  // dkimpy's signature of `message` for `domain` with the test key.
  std::string Signed(const std::string& message, const std::string& selector,
                     const std::string& domain) {
    WriteText(home_.dir + "plain.eml", message);
    return Shell(std::string("/usr/bin/python3 ") + kSigner + " " + home_.dir + "plain.eml " + key_ +
                 " " + selector + " " + domain);
  }
  // Sends `message` to dave with smtplib; "" when it was taken.
  std::string Send(const std::string& message) {
    WriteText(home_.dir + "message.eml", message);
    std::string script = "import smtplib\ntry:\n"
                         "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) + ", timeout=60)\n"
                         "    s.sendmail('sender@good.auth.test', ['dave@mail.example.org'], open('" +
                         home_.dir + "message.eml', 'rb').read())\n    s.quit()\n"
                         "except Exception as e:\n    print('error %r' % (e,))\n";
    WriteText(home_.dir + "send.py", script);
    return Shell("python3 " + home_.dir + "send.py");
  }
  // The Authentication-Results fields of dave's `n`th message (counting from 1).
  std::vector<std::string> FieldsOf(size_t n) {
    EXPECT_TRUE(WaitForMailboxMessages(home_.dir + "dave.mbx", n, kWaitMs));
    std::string box;
    ReadWholeFile(home_.dir + "dave.mbx", box);
    box = NoCr(box);
    // Messages start with our router's or receiver's stamps; split at "\nFrom ".
    std::vector<std::string> messages;
    size_t start = 0;
    for (size_t p = box.find("From ", 0); p != std::string::npos; p = box.find("\nFrom ", p + 1)) {
      if (p != 0) {
        messages.push_back(box.substr(start, p - start));
        start = p + 1;
      }
    }
    messages.push_back(box.substr(start));
    if (messages.size() < n) return {"(message " + std::to_string(n) + " missing)"};
    last_ = messages[n - 1];
    return AuthFields(messages[n - 1]);
  }

  TestHome home_;
  int port_ = 0;
  std::string key_, dnsAddress_, last_, why_;
  DnsServer dns_;
  ServerProcess server_;
};

const std::string kPlain =
    "From: sender@good.auth.test\r\nTo: dave@mail.example.org\r\nSubject: checked\r\n"
    "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n\r\nbody line\r\n";

// Pass, fail (altered body), no key and no signature, each one header in our name
// above our Received line; a forged header in our name is dropped, another
// host's is kept.
TEST_F(AuthCheckTest, DkimResultsAreRecordedAndForgeriesDropped) {
  Start();
  std::string good = Signed(kPlain, "sel", "good.auth.test");
  ASSERT_EQ(good.rfind("DKIM-Signature:", 0), 0u) << good;
  ASSERT_EQ(Send(good), "");
  EXPECT_EQ(FieldsOf(1), Expected("dkim=pass header.d=good.auth.test header.s=sel header.b=" + BTag(good)));
  // Above our Received line.
  EXPECT_LT(last_.find("Authentication-Results:"), last_.find("Received: by mail.example.org from ["));

  std::string altered = good;
  altered.replace(altered.find("body line"), 9, "body LINE");
  ASSERT_EQ(Send(altered), "");
  EXPECT_EQ(FieldsOf(2), Expected("dkim=fail (body hash mismatch) header.d=good.auth.test "
                                  "header.s=sel header.b=" + BTag(good)));

  std::string noKey = Signed(kPlain, "missing", "good.auth.test");
  ASSERT_EQ(Send(noKey), "");
  EXPECT_EQ(FieldsOf(3), Expected("dkim=permerror (no key) header.d=good.auth.test "
                                  "header.s=missing header.b=" + BTag(noKey)));

  ASSERT_EQ(Send("Authentication-Results: MAIL.example.org; dkim=pass header.d=forged.test\r\n"
                 "\tspf=pass\r\n"
                 "Authentication-Results: other.example; dkim=none\r\n" + kPlain),
            "");
  std::vector<std::string> both = Expected("dkim=none");
  both.push_back("Authentication-Results: other.example; dkim=none\n");
  EXPECT_EQ(FieldsOf(4), both);
  EXPECT_EQ(last_.find("forged.test"), std::string::npos);
}

// A domain whose DMARC policy is reject (strict alignment): aligned and intact
// passes, altered fails and is recorded; with AuthRejectDmarc it is refused with
// 550 5.7.1 and nothing is kept.
TEST_F(AuthCheckTest, DmarcRejectDomainIsRecordedThenRefusedByPolicy) {
  Start();
  const std::string strict =
      "From: boss@strict.auth.test\r\nTo: dave@mail.example.org\r\nSubject: orders\r\n\r\ndo it\r\n";
  std::string good = Signed(strict, "sel", "strict.auth.test");
  ASSERT_EQ(Send(good), "");
  EXPECT_EQ(FieldsOf(1), Expected("dkim=pass header.d=strict.auth.test header.s=sel header.b=" +
                                      BTag(good), "dmarc=pass", "strict.auth.test"));
  std::string altered = good;
  altered.replace(altered.find("do it"), 5, "do IT");
  ASSERT_EQ(Send(altered), "");
  EXPECT_EQ(FieldsOf(2), Expected("dkim=fail (body hash mismatch) header.d=strict.auth.test "
                                  "header.s=sel header.b=" + BTag(good),
                                  "dmarc=fail (p=reject)", "strict.auth.test"));
  server_.Stop();
  std::string why;
  ASSERT_TRUE(RegOpenStore(home_.dir + "registry.db", why)) << why;
  RegSetDword(kRootKey, "AuthRejectDmarc", 1);
  Start();
  EXPECT_NE(Send(altered).find("550, b'5.7.1 DMARC policy of strict.auth.test rejects this message.'"),
            std::string::npos);
  ASSERT_EQ(Send(good), "");  // what passes is still taken
  EXPECT_EQ(FieldsOf(3).size(), 1u);
  EXPECT_EQ(MailboxMessages(home_.dir + "dave.mbx"), 3u);
}

// SPF of the client address from TXT records: pass, fail, softfail, none, a
// malformed record, an include, a bounce checked by HELO, and a name server that
// never answers.
TEST_F(AuthCheckTest, SpfResultsFromTxtRecords) {
  struct Case {
    const char* ip;
    const char* helo;
    const char* from;
    const char* result;
  } cases[] = {
      {"192.0.2.10", "h.test", "a@spfpass.auth.test", "pass"},
      {"192.0.2.11", "h.test", "a@spfpass.auth.test", "fail"},
      {"192.0.2.11", "h.test", "a@spfsoft.auth.test", "softfail"},
      {"192.0.2.11", "h.test", "a@nospf.auth.test", "none"},
      {"192.0.2.11", "h.test", "a@absent.auth.test", "none"},
      {"192.0.2.10", "h.test", "a@spfbad.auth.test", "permerror"},
      {"192.0.2.10", "h.test", "a@spfinc.auth.test", "pass"},
      {"192.0.2.10", "spfpass.auth.test", "", "pass"},
  };
  for (const Case& c : cases) {
    AuthDnsBudget budget = StartAuthDnsBudget(dnsAddress_);
    SpfOutcome o = CheckSpf(c.ip, c.helo, c.from, budget);
    EXPECT_EQ(o.result, c.result) << c.from << " " << c.ip;
    EXPECT_EQ(o.fromHelo, c.from[0] == '\0');
  }
  int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len);
  AuthDnsBudget budget = StartAuthDnsBudget("127.0.0.1:" + std::to_string(ntohs(a.sin_port)), 1500);
  uint32_t start = GetTickCount32();
  EXPECT_EQ(CheckSpf("192.0.2.10", "h.test", "a@spfpass.auth.test", budget).result, "temperror");
  EXPECT_LT(TickElapsed(GetTickCount32(), start), 2500u);
  close(silent);
}

// Fifty signatures, a 64 KB one, and a name server that never answers: each gets
// a result, the one without answers a temporary error within the budget.
TEST_F(AuthCheckTest, BadInputGetsResultsWithinTheBound) {
  Start();
  std::string good = Signed(kPlain, "sel", "good.auth.test");
  std::string signature = good.substr(0, good.find("From: sender"));
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += signature;
  ASSERT_EQ(Send(fifty + kPlain), "");
  std::vector<std::string> fields = FieldsOf(1);
  ASSERT_EQ(fields.size(), 1u);
  size_t passes = 0;
  for (size_t p = fields[0].find("dkim=pass"); p != std::string::npos; p = fields[0].find("dkim=pass", p + 1))
    ++passes;
  EXPECT_EQ(passes, 50u) << fields[0];
  // Stored folded at its result separators, one result a line: no line of the
  // message passes 998 characters (the router keeps a field that long as folded).
  // Its first line, then spf, fifty dkim and dmarc.
  EXPECT_EQ(std::count(fields[0].begin(), fields[0].end(), '\n'), 53) << fields[0];
  for (size_t p = 0, end; p < last_.size(); p = end + 1) {
    end = last_.find('\n', p);
    if (end == std::string::npos) end = last_.size();
    EXPECT_LE(end - p, kMaxHeaderLineChars) << last_.substr(p, 80);
  }

  std::string huge = "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=good.auth.test; s=sel;\r\n"
                     "\th=from; bh=AAAA; b=";
  for (int i = 0; i < 1024; ++i) huge += std::string(62, 'A') + "\r\n\t";
  huge += "AA\r\n";
  ASSERT_EQ(Send(huge + kPlain), "");
  fields = FieldsOf(2);
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].find("dkim=pass"), std::string::npos) << fields[0];
  EXPECT_NE(fields[0].find("dkim="), std::string::npos) << fields[0];
}

TEST_F(AuthCheckTest, SilentNameServerGivesTemperrorWithinTheBound) {
  // A UDP socket that takes queries and never answers.
  int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len);
  RegSetString(kRootKey, "DomainServer", "127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
  Start();
  std::string good = Signed(kPlain, "sel", "good.auth.test");
  uint32_t start = GetTickCount32();
  ASSERT_EQ(Send(good), "");
  uint32_t took = TickElapsed(GetTickCount32(), start);
  EXPECT_LT(took, kAuthDnsBudgetMs + 2000);
  EXPECT_EQ(FieldsOf(1), Expected("dkim=temperror (key lookup failed) header.d=good.auth.test "
                                  "header.s=sel header.b=" + BTag(good), "dmarc=temperror"));
  // With AuthTempfailDns the client is told to come back later; nothing is kept.
  server_.Stop();
  RegOpenStore(home_.dir + "registry.db", why_);
  RegSetDword(kRootKey, "AuthTempfailDns", 1);
  Start();
  EXPECT_NE(Send(good).find("451"), std::string::npos);
  EXPECT_EQ(MailboxMessages(home_.dir + "dave.mbx"), 1u);
  close(silent);
}

// Mail from RelayNetworks is ours: no checks, no header.
TEST_F(AuthCheckTest, OurOwnClientsAreNotChecked) {
  RegSetString(kRootKey, "RelayNetworks", "127.0.0.0/8");
  Start();
  ASSERT_EQ(Send(Signed(kPlain, "sel", "good.auth.test")), "");
  EXPECT_TRUE(FieldsOf(1).empty()) << last_;
}

// ---- In the test process ------------------------------------------------------

TEST(AuthResultsText, OurAuthservIdIsFoundBehindBlanksAndComments) {
  EXPECT_TRUE(IsOurAuthResults(" mail.example.org; dkim=pass", "mail.example.org"));
  EXPECT_TRUE(IsOurAuthResults("\t(comment (nested)) MAIL.EXAMPLE.ORG 1; none", "mail.example.org"));
  EXPECT_TRUE(IsOurAuthResults(" mail.example.org", "mail.example.org"));
  EXPECT_FALSE(IsOurAuthResults(" mail.example.org.evil; dkim=pass", "mail.example.org"));
  EXPECT_FALSE(IsOurAuthResults(" other.example; x=mail.example.org", "mail.example.org"));
  EXPECT_FALSE(IsOurAuthResults("", "mail.example.org"));
  EXPECT_FALSE(IsOurAuthResults(" (unclosed mail.example.org", "mail.example.org"));
  // Texts that reach the header are cleaned of what would end a field or value.
  AuthReport r;
  r.dkim = {{"pass", "", "d;x\r\n(y)", "s", "b"}};
  EXPECT_EQ(FormatAuthResults("h", r), "Authentication-Results: h; dkim=pass header.d=dxy header.s=s header.b=b\r\n");
  r.spfChecked = r.dmarcChecked = true;
  r.spf = {"softfail", "a@b;c", "b", false};
  r.dmarc = {"fail", "reject", "x.test"};
  r.dkim.push_back({"fail", "body (hash)", "d", "s", "0123456789"});
  EXPECT_EQ(FormatAuthResults("h", r),
            "Authentication-Results: h;\r\n\tspf=softfail smtp.mailfrom=a@bc;\r\n"
            "\tdkim=pass header.d=dxy header.s=s header.b=b;\r\n"
            "\tdkim=fail (body  hash ) header.d=d header.s=s header.b=01234567;\r\n"
            "\tdmarc=fail (p=reject) header.from=x.test\r\n");
}

}  // namespace

namespace {

// A reply with one TXT record of two strings, then every shorter cut of it and
// bytes flipped: the reader takes what is whole and never reads past the end.
TEST(AuthDnsReply, TxtAnswersFromWholeAndBrokenReplies) {
  std::string reply("\x12\x34\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00", 12);
  reply += std::string("\x03sel\x04test\x00\x00\x10\x00\x01", 14);
  reply += std::string("\xC0\x0C\x00\x10\x00\x01\x00\x00\x00\x3C\x00\x0A", 12);
  reply += std::string("\x04v=DK\x04IM1;", 10);
  std::vector<std::string> txt;
  int rcode = -1;
  ASSERT_TRUE(ReadTxtAnswers(reply, txt, rcode));
  EXPECT_EQ(rcode, 0);
  EXPECT_EQ(txt, std::vector<std::string>{"v=DKIM1;"});
  for (size_t cut = 0; cut < reply.size(); ++cut) {
    std::string part = reply.substr(0, cut);
    EXPECT_FALSE(ReadTxtAnswers(part, txt, rcode) && !txt.empty()) << cut;
  }
  for (size_t i = 12; i < reply.size(); ++i) {
    std::string flipped = reply;
    flipped[i] = char(0xFF);
    ReadTxtAnswers(flipped, txt, rcode);  // any result; no overrun
    for (const std::string& t : txt) EXPECT_LE(t.size(), reply.size());
  }
}

}  // namespace
