// Address normalisation, dates, Received lines and message copies.
#include <fcntl.h>

#include "server/accounts/accounts.h"
#include "tests/spool/spool_fixture.h"

namespace {

HostIdentity Identity() {
  HostIdentity id;
  id.host = "mail.example.com";
  id.hostAddress = "192.0.2.10";
  return id;
}

struct NormalizeCase {
  const char* text;
  bool ok;
  const char* address;
  const char* name;
  bool isLocal;
  NormalizeOptions options = {};
  const char* outgoingAlias = "";
  const char* incomingAliases = "";
};

NormalizeOptions Qualify() {
  NormalizeOptions o;
  o.qualify = true;
  return o;
}
NormalizeOptions MapDomains() {
  NormalizeOptions o;
  o.mapDomains = true;
  return o;
}
NormalizeOptions StripOnlyLocal() {
  NormalizeOptions o;
  o.stripOnlyLocal = true;
  return o;
}
NormalizeOptions NoStrip() {
  NormalizeOptions o;
  o.strip = false;
  return o;
}
NormalizeOptions RouteVia(const char* host) {
  NormalizeOptions o;
  o.routeHost = host;
  return o;
}
NormalizeOptions DefaultDomain(const char* domain) {
  NormalizeOptions o;
  o.defaultDomain = domain;
  return o;
}

TEST(NormalizeAddress, Table) {
  const NormalizeCase cases[] = {
      {"alice", true, "alice", "", true},
      {"alice", true, "alice@mail.example.com", "", true, Qualify()},
      {"alice", true, "alice@example.com", "", true, Qualify(), "example.com"},
      {"John Smith <john@mail.example.com>", true, "john", "John Smith", true},
      {"user%remote.org@mail.example.com", true, "user@remote.org", "", false},
      {"@mail.example.com:bob@remote.org", true, "bob@remote.org", "", false},
      {"@mail.example.com,@relay.org:bob@remote.org", true, "bob@remote.org", "", false},
      {"@relay.org:bob@remote.org", true, "@relay.org:bob@remote.org", "", false},
      {"mail!carol", true, "carol", "", true},
      {"mail.example.com!carol", true, "carol", "", true},
      {"dave@otherhost", true, "dave@otherhost.example.com", "", false},
      {"dave@remote.org", true, "dave@remote.org", "", false},
      {"erin@sub.corp.org", true, "erin@example.com", "", true, MapDomains(), "example.com",
       "*.corp.org"},
      {"erin@corp.org", true, "erin@corp.org", "", false, MapDomains(), "example.com",
       "*.corp.org"},
      {"erin@CORP.org", true, "erin@mail.example.com", "", true, MapDomains(), "", "corp.ORG"},
      {"a@b@mail.example.com", false, "", "", false},
      {"frank@MAIL.EXAMPLE.COM.", true, "frank", "", true},
      {"gina@remote.org (Gina G)", true, "gina@remote.org", "Gina G", false},
      {"gina@remote.org (a <b> c)", true, "gina@remote.org", "a {b} c", false},
      {"<postmaster>", true, "postmaster", "", true},
      {"<>", false, "", "", false},
      {"henry@[192.0.2.10]", true, "henry", "", true},
      {"henry@[192.0.2.1]", true, "henry@[192.0.2.1]", "", false},
      {"x@", false, "", "", false},
      {"uucp!ivan", true, "@relay.example.net:uucp!ivan", "", false,
       RouteVia("relay.example.net")},
      {"uucp!ivan", true, "uucp!ivan", "", false},
      {"jack", true, "jack@virt.org", "", false, DefaultDomain("virt.org")},
      {"Kate <kate@remote.org>", true, "Kate <kate@remote.org>", "Kate", false, StripOnlyLocal()},
      {"Kate <kate@mail.example.com>", true, "kate", "Kate", true, StripOnlyLocal()},
      {"leo@mail.example.com", true, "leo@example.com", "", true, NoStrip(), "example.com"},
      {"\"Smith, J\" <js@mail.example.com>", true, "js", "\"Smith, J\"", true},
      {"  spaced@remote.org\t", true, "spaced@remote.org", "", false},
      {"mary(comment)@mail.example.com", true, "mary", "comment", true},
      {"@mail.example.com", false, "", "", false},
      // A listed alias without a dot is matched as written, before the suffix
      // rule; other short names still get the suffix.
      {"bench1@LocalHost", true, "bench1@mail.example.com", "", true, MapDomains(), "",
       "other.org;localhost"},
      {"dave@otherhost", true, "dave@otherhost.example.com", "", false, MapDomains(), "",
       "localhost"},
      {"bench1@localhost", true, "bench1@localhost.example.com", "", false, {}, "", "localhost"},
  };
  for (const NormalizeCase& c : cases) {
    HostIdentity id = Identity();
    id.outgoingAlias = c.outgoingAlias;
    id.incomingAliases = c.incomingAliases;
    NormalizedAddress n;
    bool ok = NormalizeAddress(c.text, id, c.options, n);
    EXPECT_EQ(ok, c.ok) << c.text << " -> " << n.address;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(n.address, c.address) << c.text;
    EXPECT_EQ(n.name, c.name) << c.text;
    EXPECT_EQ(n.isLocal, c.isLocal) << c.text;
  }
}

TEST(NormalizeAddress, HostileTextNeverCrashes) {
  std::vector<std::string> inputs = {
      std::string(500, '(') + "a@b" + std::string(500, ')'),
      std::string(500, '<') + "a@mail.example.com" + std::string(500, '>'),
      std::string(400, '"') + "@x",
      "<a@b", "a@b>", "(((", ")))a@b", "<<<<", "\"unterminated@x",
      std::string("a\0b@mail.example.com", 20),
      std::string(kMaxAddressText + 1, 'a'),
      std::string(2000, '%') + "@mail.example.com",
      std::string(1000, '!') + "x",
      "@" + std::string(1000, ','),
  };
  for (int depth = 0; depth < 300; depth += 37) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "\"(";
    inputs.push_back(s + "x@y");
  }
  HostIdentity id = Identity();
  id.incomingAliases = "*;a*b;*x";
  NormalizeOptions o;
  o.qualify = true;
  o.mapDomains = true;
  o.routeHost = "mail";  // a route through ourselves: the rewrite loop must end
  for (const std::string& text : inputs) {
    NormalizedAddress n;
    NormalizeAddress(text, id, o, n);
    EXPECT_LE(n.address.size(), text.size() + 64);
  }
  NormalizedAddress n;
  EXPECT_FALSE(NormalizeAddress(std::string(kMaxAddressText + 1, 'a'), id, o, n));
  EXPECT_FALSE(NormalizeAddress("mail!x", id, RouteVia("mail.example.com"), n) && !n.isLocal);
  EXPECT_FALSE(NormalizeAddress("uucp!x", id, RouteVia("mail.example.com"), n));
}

TEST(IsThisHost, Table) {
  struct {
    const char* name;
    bool expected;
  } cases[] = {
      {"mail.example.com", true}, {"MAIL.Example.COM", true}, {"mail", true},
      {"example", false},         {"example.com", false},     {"[192.0.2.10]", true},
      {"[192.0.2.010]", true},    {"[192.0.2.1]", false},     {"[192.0.2.100]", false},
      {"[300.0.2.10]", false},    {"[192.0.2]", false},       {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsThisHost(c.name, Identity()), c.expected) << c.name;
  HostIdentity id = Identity();
  id.outgoingAlias = "Example.com";
  EXPECT_TRUE(IsThisHost("example.COM", id));
  EXPECT_TRUE(IsThisHost("example", id));
  id.hostAddress = "";
  EXPECT_FALSE(IsThisHost("[0.0.0.0]", id));
}

TEST(MatchDomainPattern, Table) {
  struct {
    const char* pattern;
    const char* domain;
    bool expected;
  } cases[] = {
      {"*.corp.org", "a.corp.org", true}, {"*.corp.org", "A.B.CORP.ORG", true},
      {"*.corp.org", "corp.org", false},  {"corp*", "corporate.com", true},
      {"*", "anything", true},            {"CORP.org", "corp.ORG", true},
      {"corp.org", "x.corp.org", false},  {"a*a", "a", false},
      {"ab*yz", "abyz", true},            {"ab*yz", "abxyz", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchDomainPattern(c.pattern, c.domain), c.expected) << c.pattern << " " << c.domain;
}

TEST_F(SpoolTest, DateFormats) {
  EXPECT_EQ(FormatLocalDate(DateStyle::kMail, kFixedTime), "Tue, 08 Dec 2026 04:37:24 UTC");
  EXPECT_EQ(FormatLocalDate(DateStyle::kMailTwoDigitYear, kFixedTime), "Tue, 08 Dec 26 04:37:24 UTC");
  EXPECT_EQ(FormatLocalDate(DateStyle::kMessageId, kFixedTime), "20261208043724");
  EXPECT_EQ(FormatLocalDate(DateStyle::kCtime, kFixedTime), "Tue Dec  8 04:37:24 2026");
  // The zone is named, with its daylight-saving name in summer.
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  EXPECT_EQ(FormatLocalDate(DateStyle::kMail, kFixedTime), "Mon, 07 Dec 2026 23:37:24 EST");
  EXPECT_EQ(FormatLocalDate(DateStyle::kMail, 1783000000), "Thu, 02 Jul 2026 09:46:40 EDT");
  setenv("TZ", "UTC", 1);
  tzset();
}

TEST_F(SpoolTest, ReceivedLinesOfEachForm) {
  std::string all = BuildReceivedLine("mail.example.com", "", "", "router", "Corvel95 V1.0", true) +
                    "\r\n" +
                    BuildReceivedLine("mail.example.com", "client.remote.org", "", "mail daemon; unverified",
                                      "Corvel95 V1.0", true) +
                    "\r\n" +
                    BuildReceivedLine("mail.example.com", "client.remote.org", "198.51.100.7",
                                      "mail daemon", "Corvel95 V1.0", false) +
                    "\r\n";
  ExpectGolden("received_lines.txt", all);
  // A HELO name cannot smuggle a line end into the stamp.
  std::string hostile = BuildReceivedLine("h", "evil\r\nX-Injected: 1", "", "a", "p", true);
  EXPECT_EQ(hostile.find("\r\nX-Injected"), std::string::npos);

  std::string path = in + "stamp.txt";
  UniqueFd fd = SpoolOpenWrite(path, true, false);
  long length = 0;
  ASSERT_TRUE(WriteReceivedLine(fd.get(), "mail.example.com", "router", "Corvel95 V1.0", true, &length));
  fd.reset();
  std::string written = ReadFile(path);
  EXPECT_EQ(long(written.size()), length);
  EXPECT_TRUE(IsLocalStamp(written.substr(0, written.find('\r')), "MAIL.example.com"));
}

TEST_F(SpoolTest, MailboxSeparatorLine) {
  std::string path = in + "sep.txt";
  UniqueFd fd = SpoolOpenWrite(path, true, false);
  ASSERT_TRUE(WriteMailboxSeparator(fd.get(), "a@b.org", false));
  ASSERT_TRUE(WriteMailboxSeparator(fd.get(), "c@d.org", true));
  fd.reset();
  EXPECT_EQ(ReadFile(path),
            "From a@b.org Tue Dec  8 04:37:24 2026\r\n\r\nFrom c@d.org Tue Dec  8 04:37:24 2026\r\n");
}

TEST_F(SpoolTest, MissingHeadersInOrder) {
  MissingHeaderValues v;
  v.addXMailDaemon = true;
  v.xMailDaemon = "1234";
  v.idName = in + "0000beef.in";
  std::string outText;
  AppendMissingHeaders(outText, 0, v, "mail.example.com");
  EXPECT_EQ(outText,
            "From: nobody\r\nTo: nobody\r\nDate: Tue, 08 Dec 2026 04:37:24 UTC\r\n"
            "Subject: None\r\nX-MailDaemon: <1234>\r\n"
            "Message-Id: <20261208043724.0000beef.in@mail.example.com>\r\n");
  outText.clear();
  v.from = "a@b";
  v.subject = "Hi";
  AppendMissingHeaders(outText, kHeaderTo | kHeaderDate | kHeaderXMailDaemon | kHeaderMessageId, v,
                       "h");
  EXPECT_EQ(outText, "From: a@b\r\nSubject: Hi\r\n");
}

// Copies `message` through CopyMessageWithHeaders and returns the output.
std::string Copy(const std::string& dir, const std::string& message, const CopyOptions& o,
                 bool* ok = nullptr, std::string* whyOut = nullptr) {
  std::string src = dir + "copy-in.txt", dst = dir + "copy-out.txt";
  {
    UniqueFd f = SpoolOpenWrite(src, true, false);
    SpoolWrite(f.get(), message);
  }
  UniqueFd input = SpoolOpenRead(src);
  UniqueFd output = SpoolOpenWrite(dst, true, false);
  std::string why;
  bool result = CopyMessageWithHeaders(input.get(), output.get(), 0, o, why);
  if (ok) *ok = result;
  if (whyOut) *whyOut = why;
  output.reset();
  std::string s;
  ReadWholeFile(dst, s);
  return s;
}

CopyOptions Options(bool mailbox, bool headers) {
  CopyOptions o;
  o.mailboxMode = mailbox;
  o.processHeaders = headers;
  o.identity = Identity();
  o.agent = "router";
  o.productText = "Corvel95 V1.0";
  return o;
}

const char* kStamp =
    "Received: by mail.example.com from localhost\r\n    (router,Corvel95 V1.0); "
    "Tue, 08 Dec 2026 04:37:24 UTC\r\n";

TEST_F(SpoolTest, HeaderRewritingGolden) {
  std::string why;
  ASSERT_TRUE(WriteUserRecord("alice", "Alice Liddell", "/m/alice.mbx", "", "", "", why)) << why;
  ASSERT_TRUE(WriteUserRecord("dan", "Daniel", "/m/dan.mbx", "", "", "", why)) << why;
  ASSERT_TRUE(WriteUserRecord("nemo", "", "/m/nemo.mbx", "", "", "", why)) << why;
  ASSERT_TRUE(WriteAliasRecord("postmaster", "alice", "", why)) << why;
  ASSERT_TRUE(WriteForwardRecord("fwd", "fwd@elsewhere.org", "", why)) << why;
  std::string message =
      "From sender@remote.org Tue Dec  8 04:00:00 2026\r\n"
      "Received: by relay.remote.org from client\r\n"
      "    (mail daemon,Other V2); Tue, 08 Dec 2026 04:00:00 UTC\r\n"
      "To: alice, Bob Remote <bob@remote.org>, postmaster@mail.example.com, \"Dan \\\"the man\\\" D\" "
      "<dan@mail.example.com>, eve@other.org, frank@remote.org, ghost@mail.example.com, nemo\r\n"
      "Cc: fwd,\r\n"
      "\tMultiple recipients of list X <x@remote.org>\r\n"
      "To: Multiple recipients of list Y\r\n"
      "Subject: Folded   \r\n"
      "  subject line   \r\n"
      "Status: RO\r\n"
      "Return-receipt-to: alice\r\n"
      "X-Other:no space\r\n"
      "\r\n"
      "From the body\r\n"
      ">From quoted\r\n"
      "body\r\n";
  CopyOptions o = Options(true, true);
  o.mapDomainsAndDropReceipts = true;
  o.missing.idName = in + "00c0ffee.in";
  bool ok = false;
  std::string result = Copy(dir, message, o, &ok, &why);
  ASSERT_TRUE(ok) << why;
  ExpectGolden("rewritten_header.txt", result);
  // Folding rule: no output line of an address header reaches 70 characters
  // unless it holds a single address.
  size_t pos = 0;
  while (pos < result.size()) {
    size_t end = result.find("\r\n", pos);
    std::string line = result.substr(pos, end - pos);
    if (line.rfind("To: ", 0) == 0 || line.rfind("    ", 0) == 0) {
      if (line.size() >= 70) {
        EXPECT_EQ(line.find(", "), std::string::npos) << line;
      }
    }
    if (line.empty()) break;
    pos = end + 2;
  }
}

TEST_F(SpoolTest, MessageWithoutHeadersGetsThemAdded) {
  CopyOptions o = Options(false, true);
  o.useAccounts = false;
  std::string result = Copy(dir, "just text\r\nmore\r\n", o);
  EXPECT_EQ(result, std::string(kStamp) +
                        "From: nobody\r\nTo: nobody\r\nDate: Tue, 08 Dec 2026 04:37:24 UTC\r\n"
                        "Subject: None\r\n\r\njust text\r\nmore\r\n");
  result = Copy(dir, "", o);
  EXPECT_EQ(result, std::string(kStamp) +
                        "From: nobody\r\nTo: nobody\r\nDate: Tue, 08 Dec 2026 04:37:24 UTC\r\n"
                        "Subject: None\r\n\r\n");
  o.missing.from = "a@b.org";
  o.missing.to = "c@d.org";
  o.missing.subject = "S";
  result = Copy(dir, "Subject: Given\r\nX: y", o);
  EXPECT_EQ(result, std::string(kStamp) +
                        "Subject: Given\r\nX: y\r\nFrom: a@b.org\r\nTo: c@d.org\r\n"
                        "Date: Tue, 08 Dec 2026 04:37:24 UTC\r\n\r\n");
}

// The rewrite joins a field's continuation lines, except where the joined line
// would pass the 998 characters a line may hold: such a field (fifty results of
// an Authentication-Results field) keeps the lines it came in, CRLF each, even
// when they came with LF alone. A field exactly at the limit is still joined.
TEST_F(SpoolTest, FieldTooLongToJoinKeepsItsLines) {
  CopyOptions o = Options(false, true);
  o.useAccounts = false;
  std::string results = "Authentication-Results: mail.example.com;";
  for (int i = 0; i < 50; ++i)
    results += "\r\n\tdkim=pass header.d=d" + std::to_string(i) + ".example header.s=sel" +
               (i < 49 ? ";" : "");
  std::string head = "From: a@b.org\r\nTo: c@d.org\r\nDate: x\r\nSubject: s\r\n";
  std::string result = Copy(dir, results + "\r\n" + head + "\r\nbody\r\n", o);
  EXPECT_EQ(result, std::string(kStamp) + results + "\r\n" + head + "\r\nbody\r\n");
  for (size_t p = 0, end; p < result.size(); p = end + 2) {
    end = result.find("\r\n", p);
    ASSERT_LE(end - p, kMaxHeaderLineChars);
  }
  std::string lf = results;
  for (size_t p = lf.find("\r\n"); p != std::string::npos; p = lf.find("\r\n", p)) lf.erase(p, 1);
  EXPECT_EQ(Copy(dir, lf + "  \n" + head + "\r\nbody\r\n", o),
            std::string(kStamp) + results + "\r\n" + head + "\r\nbody\r\n");

  // At the limit: joined, as every shorter field.
  std::string name = "X-Long: ";
  std::string first(kMaxHeaderLineChars - name.size() - 10, 'a'), second = " " + std::string(9, 'b');
  result = Copy(dir, name + first + "\r\n" + second + "\r\n" + head + "\r\nbody\r\n", o);
  EXPECT_NE(result.find("\r\n" + name + first + second + "\r\n"), std::string::npos);
  EXPECT_EQ((name + first + second).size(), kMaxHeaderLineChars);
  result = Copy(dir, name + first + "\r\n" + second + "b\r\n" + head + "\r\nbody\r\n", o);
  EXPECT_NE(result.find("\r\n" + name + first + "\r\n" + second + "b\r\n"), std::string::npos)
      << result;
}

TEST_F(SpoolTest, LocalStampIsWrittenOnce) {
  CopyOptions o = Options(false, false);
  std::string once = Copy(dir, "Subject: x\r\n\r\nbody\r\n", o);
  std::string twice = Copy(dir, once, o);
  EXPECT_EQ(once, twice);
  o.processHeaders = true;
  o.useAccounts = false;
  std::string rewritten = Copy(dir, once, o);
  size_t first = rewritten.find("from localhost");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(rewritten.find("from localhost", first + 1), std::string::npos);
}

TEST(FromQuoting, SameResultWhateverTheSplit) {
  const std::string inputs[] = {
      "From me\r\n>From you\r\n>>From them\r\nFromage\r\n From x\r\n>>>\r\nFrom",
      ">From ", "From", ">>>>>>", "x\nFrom \n", "\r\nFrom a\r\n",
  };
  const std::string expected[] = {
      ">From me\r\n>>From you\r\n>>>From them\r\nFromage\r\n From x\r\n>>>\r\nFrom",
      ">>From ", "From", ">>>>>>", "x\n>From \n", "\r\n>From a\r\n",
  };
  for (size_t k = 0; k < std::size(inputs); ++k) {
    const std::string& s = inputs[k];
    for (size_t cut = 0; cut <= s.size(); ++cut) {
      for (size_t cut2 = cut; cut2 <= s.size(); ++cut2) {
        FromQuoter q;
        std::string out;
        QuoteFromLines(q, std::string_view(s).substr(0, cut), out);
        QuoteFromLines(q, std::string_view(s).substr(cut, cut2 - cut), out);
        QuoteFromLines(q, std::string_view(s).substr(cut2), out);
        FinishFromQuoting(q, out);
        ASSERT_EQ(out, expected[k]) << "input " << k << " cut " << cut << "," << cut2;
      }
    }
  }
}

TEST_F(SpoolTest, MailboxQuotingAcrossReadBlocks) {
  // "From " lines placed to straddle the first 16 KB block and the later reads.
  std::string body = "Subject: q\r\n\r\n";
  std::string expected = body;
  for (size_t target : {kCopyBlockSize - 3, kCopyBlockSize + 65536 - 2, size_t(200000)}) {
    std::string filler(target - body.size() - 2, 'a');
    body += filler + "\r\nFrom x\r\n";
    expected += filler + "\r\n>From x\r\n";
  }
  std::string result = Copy(dir, body, Options(true, false));
  EXPECT_EQ(result, std::string(kStamp) + expected);
}

TEST_F(SpoolTest, ByteLimitCutsTheFirstBlock) {
  CopyOptions o = Options(false, true);  // headers are not processed with a limit
  o.byteLimit = 10;
  EXPECT_EQ(Copy(dir, "Subject: 0123456789\r\n", o), std::string(kStamp) + "Subject: 0");
}

TEST_F(SpoolTest, HeaderBlockLargerThanTheBufferLosesNothing) {
  std::string headers;
  for (int i = 0; headers.size() < 3 * kCopyBlockSize; ++i)
    headers += "X-Long-" + std::to_string(i) + ": " + std::string(90, 'v') + "\r\n";
  std::string message = "To: someone@remote.org\r\n" + headers + "\r\nthe body\r\n";
  CopyOptions o = Options(true, true);
  o.useAccounts = false;
  bool ok = false;
  std::string result = Copy(dir, message, o, &ok);
  ASSERT_TRUE(ok);
  EXPECT_NE(result.find("the body\r\n"), std::string::npos);
  // Every header line arrives whole, in order, with the added headers and the
  // empty line inserted once, after the last line within the first block.
  std::string stripped = result.substr(std::string(kStamp).size());
  size_t added = stripped.find("From: nobody\r\n");
  ASSERT_NE(added, std::string::npos);
  size_t addedEnd = stripped.find("\r\n\r\n", added) + 4;
  std::string rejoined = stripped.substr(0, added) + stripped.substr(addedEnd);
  EXPECT_EQ(rejoined, message);
}

TEST_F(SpoolTest, HostileHeaderValuesDoNotCrash) {
  std::string message = "To: " + std::string(300, '(') + "a@b, " + std::string(300, '<') + "\r\n" +
                        "Cc: \"" + std::string(5000, '"') + ", x\r\n" + "From: " +
                        std::string(20000, ',') + "\r\n" + std::string("Subject: \0\0\r\n", 13) +
                        "\r\nbody";
  CopyOptions o = Options(true, true);
  bool ok = false;
  std::string result = Copy(dir, message, o, &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(result.find("body"), std::string::npos);
}

TEST_F(SpoolTest, CopyFailuresReportTheirStep) {
  std::string src = in + "m.txt";
  WriteFile(src, "Subject: x\r\n\r\nbody\r\n");
  UniqueFd input = SpoolOpenRead(src);
  UniqueFd full(::open("/dev/full", O_WRONLY));
  ASSERT_TRUE(full.valid());
  std::string why;
  EXPECT_FALSE(CopyMessageWithHeaders(input.get(), full.get(), 0, Options(false, false), why));
  EXPECT_EQ(why, "Error writing received line to output file.");
  UniqueFd output = SpoolOpenWrite(in + "o.txt", true, false);
  EXPECT_FALSE(CopyMessageWithHeaders(output.get(), output.get(), 0, Options(false, false), why));
  EXPECT_EQ(why, "Error reading data from input file.");
}

}  // namespace
