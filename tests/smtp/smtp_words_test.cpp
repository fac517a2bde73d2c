// The SMTP tables and pure parsers: word matching, reply composition, multi-line
// replies, the extension mask, HELP topics, argument parsing, data-line dots and
// the relay networks.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "server/core/config.h"
#include "server/core/strings.h"
#include "server/smtp/smtp_words.h"

namespace {

TEST(SmtpWords, FirstWordsMatchByPrefixWithoutRegardToCase) {
  struct Case {
    const char* word;
    SmtpToken token;
  } cases[] = {
      {"HELO", kTokHelo}, {"helo", kTokHelo}, {"HELOX", kTokHelo}, {"EhLo", kTokEhlo},
      {"MAIL", kTokMail}, {"SEND", kTokSend}, {"SOML", kTokSoml}, {"SAML", kTokSaml},
      {"RCPT", kTokRcpt}, {"DATA", kTokData}, {"RSET", kTokRset}, {"NOOP", kTokNoop},
      {"VRFY", kTokVrfy}, {"EXPN", kTokExpn}, {"HELP", kTokHelp}, {"TURN", kTokTurn},
      {"QUIT", kTokQuit}, {"ETRN", kTokEtrn}, {"XTRN", kTokEtrn}, {"250", kTok250},
      {"2501", kTok250},  {"221", kTok221},   {"421", kTok421},   {"550", kTok550},
      {".", kTokDot},     {"..", kTokNone},   {".x", kTokNone},   {"", kTokNone},
      {"HEL", kTokNone},  {"BDAT", kTokNone}, {"25", kTokNone},   {"999", kTokNone},
  };
  for (const Case& c : cases) EXPECT_EQ(FindSmtpToken(c.word), c.token) << c.word;
}

TEST(SmtpWords, LinesSplitIntoWordAndArgument) {
  SmtpCommandLine l = SplitSmtpLine("MAIL   FROM:<a@b> SIZE=5");
  EXPECT_EQ(l.word, "MAIL");
  EXPECT_EQ(l.argument, "FROM:<a@b> SIZE=5");
  l = SplitSmtpLine("QUIT");
  EXPECT_EQ(l.word, "QUIT");
  EXPECT_EQ(l.argument, "");
  l = SplitSmtpLine("NOOP\tx");
  EXPECT_EQ(l.word, "NOOP");
  EXPECT_EQ(l.argument, "x");
  l = SplitSmtpLine("250-SIZE 100", true);
  EXPECT_EQ(l.word, "250");
  EXPECT_EQ(l.argument, "SIZE 100");
  l = SplitSmtpLine("250-SIZE 100", false);
  EXPECT_EQ(l.word, "250-SIZE");
  EXPECT_EQ(FirstWord("  host.example  extra"), "host.example");
  EXPECT_EQ(FirstWord(""), "");
}

std::string Compose(int code, std::string_view text = {}, std::string_view second = {},
                    long size = -1) {
  SmtpReplyArgs a;
  a.text = text;
  a.second = second;
  a.host = "mail.test";
  a.size = size;
  std::string out;
  EXPECT_TRUE(ComposeSmtpLine(code, a, out)) << code;
  return out;
}

TEST(SmtpWords, RepliesComposeFromTheOneTable) {
  EXPECT_EQ(Compose(kReplyOk), "250 OK");
  EXPECT_EQ(Compose(kReplyOk, "a@b"), "250 OK, a@b");
  EXPECT_EQ(Compose(kReplyWillForward, "a@b", "why"), "251 User not local; will forward <a@b>, why.");
  EXPECT_EQ(Compose(kReplyWillForward, "a@b"), "251 User not local; will forward, a@b.");
  EXPECT_EQ(Compose(kReplyWillForward, {}, "Submitted & queued (x.in)"),
            "251 User not local; will forward, Submitted & queued (x.in).");
  EXPECT_EQ(Compose(kReplyGreeting, "greeting"), "220 greeting");
  EXPECT_EQ(Compose(kCmdHelo), "HELO mail.test");
  EXPECT_EQ(Compose(kCmdEhlo), "EHLO mail.test");
  EXPECT_EQ(Compose(kReplyHelo), "250 mail.test");
  EXPECT_EQ(Compose(kReplyHelo, "OK - x"), "250 mail.test OK - x");
  EXPECT_EQ(Compose(kCmdEtrn), "ETRN mail.test");
  EXPECT_EQ(Compose(kCmdEtrn, "other"), "ETRN other");
  EXPECT_EQ(Compose(kReplyClosing), "221 mail.test Service Closing");
  EXPECT_EQ(Compose(kCmdMail, "a@b"), "MAIL FROM:<a@b>");
  EXPECT_EQ(Compose(kCmdMail, "a@b", {}, 1234), "MAIL FROM:<a@b> SIZE=1234");
  EXPECT_EQ(Compose(kCmdRcpt, "a@b"), "RCPT TO:<a@b>");
  EXPECT_EQ(Compose(kReplyMailOk), "250 OK");
  EXPECT_EQ(Compose(kReplyMailOk, {}, {}, 100), "250 OK, can accomodate 100 bytes");
  EXPECT_EQ(Compose(kReplyNoSuchUser, "bob"),
            "550 Action not taken, supposed local user 'bob' does not exist.");
  EXPECT_EQ(Compose(kReplyStartInput), "354 Start mail input; end with <CRLF>.<CRLF>");
  EXPECT_EQ(Compose(kReplyVrfy, "Alice", "alice@mail.test"), "250 Alice<alice@mail.test>.");
  EXPECT_EQ(Compose(kReplyVrfy, "", "x@y"), "250 <x@y>.");
  EXPECT_EQ(Compose(kReplyLocalError), "451 Requested action aborted; local error in processing.");
  EXPECT_EQ(Compose(kReplyUserUnknown), "550 User unknown.");
  EXPECT_EQ(Compose(kReplyListDenied), "550 Access to list not allowed.");
  EXPECT_EQ(Compose(kReplyListRestricted), "550 List access restricted by owner.");
  EXPECT_EQ(Compose(kReplyNoList, "x"), "550 Unable to find list 'x'.");
  EXPECT_EQ(Compose(kReplySyntax), "550 Syntax error");
  EXPECT_EQ(Compose(kReplyParamSyntax), "501 Syntax error in parameters.");
  EXPECT_EQ(Compose(kReplyNotImplemented), "504 Command parameter not implemented.");
  EXPECT_EQ(Compose(kReplyStorage), "552 Exceeded storage limit.");
  EXPECT_EQ(Compose(kReplyBadMailbox, "x"), "553 Mailbox incorrect 'x'.");
  EXPECT_EQ(Compose(kReplyRelayDenied), "550 Relaying denied.");
  std::string out;
  SmtpReplyArgs none;
  EXPECT_FALSE(ComposeSmtpLine(999, none, out));
}

TEST(SmtpWords, DataLinesAreDotStuffedAndCutAt1024) {
  EXPECT_EQ(Compose(kLineAsIs, "text"), "text");
  EXPECT_EQ(Compose(kLineAsIs, "."), "..");
  EXPECT_EQ(Compose(kLineAsIs, ".x"), "..x");
  std::string plain(1024, 'a');
  EXPECT_EQ(Compose(kLineAsIs, plain), plain);  // 1024 is not longer than the limit
  SmtpReplyArgs a;
  std::string longLine(1500, 'b');
  a.text = longLine;
  std::string out;
  bool cut = false;
  ASSERT_TRUE(ComposeSmtpLine(kLineAsIs, a, out, &cut));
  EXPECT_TRUE(cut);
  EXPECT_EQ(out, std::string(1021, 'b'));
  std::string dotted = "." + std::string(1500, 'c');
  a.text = dotted;
  ASSERT_TRUE(ComposeSmtpLine(kLineAsIs, a, out, &cut));
  EXPECT_TRUE(cut);
  EXPECT_EQ(out, "." + dotted.substr(0, 1019));
}

TEST(SmtpWords, SevenBitMasking) {
  std::string s = "a\xe9z\x80\x8d\x8a\x89\r\n";
  MaskTo7Bit(s);
  EXPECT_EQ(s, "a\x69z???\t\r\n");
}

TEST(SmtpWords, MultilineRepliesTurnTheLastDashIntoABlank) {
  auto lines = ComposeMultiline("250-", "host says hello\nSEND\nSIZE 5");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "250-host says hello\r\n");
  EXPECT_EQ(lines[1], "250-SEND\r\n");
  EXPECT_EQ(lines[2], "250 SIZE 5\r\n");
  lines = ComposeMultiline("214-", "one");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "214 one\r\n");
}

TEST(SmtpWords, ExtensionMaskFollowsTheSettings) {
  Settings s;
  s.useEsmtpProtocol = true;
  s.doExpnAndVrfy = false;
  s.doEsmtpSize = false;
  EXPECT_EQ(ComputeEsmtpExtensionMask(s), 0x8F);
  s.doExpnAndVrfy = true;
  EXPECT_EQ(ComputeEsmtpExtensionMask(s), 0x9F);
  s.doEsmtpSize = true;
  EXPECT_EQ(ComputeEsmtpExtensionMask(s), 0xDF);
  EXPECT_FALSE(ComputeEsmtpExtensionMask(s) & kExtTurn);
  s.useEsmtpProtocol = false;
  EXPECT_EQ(ComputeEsmtpExtensionMask(s), 0xFFFF);
}

TEST(SmtpWords, HelpTopicsAreExactWords) {
  EXPECT_EQ(FindHelpTopic(""), kStrSmtpHelp);
  EXPECT_EQ(FindHelpTopic("helo"), kStrSmtpHelp + 1u);
  EXPECT_EQ(FindHelpTopic("SAML"), kStrSmtpHelp + 2u);
  EXPECT_EQ(FindHelpTopic("rcpt extra"), kStrSmtpHelp + 3u);
  EXPECT_EQ(FindHelpTopic("TURN"), kStrSmtpHelp + 10u);
  EXPECT_EQ(FindHelpTopic("HELOX"), 0u);
  EXPECT_EQ(FindHelpTopic("ETRN"), 0u);
  for (size_t i = 0; i < kSmtpHelpTopicCount; ++i)
    EXPECT_NE(LoadStringResource(kSmtpHelpTopics[i].textId), nullptr);
}

TEST(SmtpWords, AngleAddressesAndSize) {
  std::string_view addr, rest;
  ASSERT_TRUE(ExtractAngleAddress("FROM:<a@b> SIZE=10", addr, rest));
  EXPECT_EQ(addr, "a@b");
  EXPECT_EQ(rest, " SIZE=10");
  ASSERT_TRUE(ExtractAngleAddress("FROM:<>", addr, rest));
  EXPECT_EQ(addr, "");
  EXPECT_FALSE(ExtractAngleAddress("FROM:a@b", addr, rest));
  EXPECT_FALSE(ExtractAngleAddress("FROM:<a@b", addr, rest));
  EXPECT_FALSE(ExtractAngleAddress("FROM:a@b>", addr, rest));

  long v = -5;
  EXPECT_TRUE(ParseSizeParameter(" SIZE=100", v));
  EXPECT_EQ(v, 100);
  EXPECT_TRUE(ParseSizeParameter("  size=7", v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(ParseSizeParameter(" SIZE=", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ParseSizeParameter(" SIZE=99999999999999999999999999", v));
  EXPECT_EQ(v, LONG_MAX);  // refused as too big, never wrapped to a small number
  EXPECT_FALSE(ParseSizeParameter("", v));
  EXPECT_FALSE(ParseSizeParameter(" BODY=8BITMIME", v));
}

TEST(SmtpWords, DataLineDots) {
  struct Case {
    const char* in;
    bool ends;
    const char* out;
  } cases[] = {
      {".", true, "."}, {"..", false, "."}, {". ", false, " "}, {"...", false, ".."},
      {"text", false, "text"}, {"", false, ""}, {".x", false, "x"},
  };
  for (const Case& c : cases) {
    std::string_view line = c.in;
    EXPECT_EQ(UnstuffDataLine(line), c.ends) << c.in;
    if (!c.ends) {
      EXPECT_EQ(line, c.out) << c.in;
    }
  }
}

in_addr Addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a;
}

TEST(SmtpWords, RelayNetworksMatchByCidr) {
  std::vector<std::string> bad;
  auto nets = ParseRelayNetworks(" 127.0.0.0/8 ; 192.168.1.0/24;10.1.2.3;; bogus;1.2.3.4/33;"
                                 "300.1.1.1/8;1.2.3/8;0.0.0.0/0x",
                                 &bad);
  ASSERT_EQ(nets.size(), 3u);
  EXPECT_EQ(bad.size(), 5u);
  EXPECT_TRUE(IsRelayClient(Addr("127.0.0.1"), nets));
  EXPECT_TRUE(IsRelayClient(Addr("127.255.3.4"), nets));
  EXPECT_TRUE(IsRelayClient(Addr("192.168.1.200"), nets));
  EXPECT_FALSE(IsRelayClient(Addr("192.168.2.1"), nets));
  EXPECT_TRUE(IsRelayClient(Addr("10.1.2.3"), nets));
  EXPECT_FALSE(IsRelayClient(Addr("10.1.2.4"), nets));
  EXPECT_FALSE(IsRelayClient(Addr("8.8.8.8"), nets));
  // A network written with host bits set still means the network.
  nets = ParseRelayNetworks("192.168.1.77/24");
  EXPECT_TRUE(IsRelayClient(Addr("192.168.1.1"), nets));
  // Empty text: nobody may relay. "/0": everybody.
  EXPECT_FALSE(IsRelayClient(Addr("127.0.0.1"), ParseRelayNetworks("")));
  EXPECT_TRUE(IsRelayClient(Addr("8.8.8.8"), ParseRelayNetworks("0.0.0.0/0")));
}

}  // namespace
