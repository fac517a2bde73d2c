// The POP3 tables and pure helpers, and MD5 against the RFC 1321 test suite.
#include <gtest/gtest.h>

#include "server/pop3/md5.h"
#include "server/pop3/pop3_words.h"

namespace {

TEST(Md5Test, Rfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(Md5Hex(c.input), c.digest) << c.input;
}

TEST(Md5Test, InputFedInPiecesGivesTheSameDigest) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += char('a' + i % 26);
  for (size_t piece : {1u, 7u, 55u, 56u, 63u, 64u, 65u, 999u}) {
    Md5Context c;
    for (size_t pos = 0; pos < text.size(); pos += piece)
      Md5Update(c, text.data() + pos, std::min(piece, text.size() - pos));
    uint8_t digest[kMd5DigestBytes];
    Md5Final(c, digest);
    EXPECT_EQ(Md5DigestText(digest), Md5Hex(text)) << piece;
  }
}

TEST(Pop3WordsTest, ApopDigestOfTheRfc1939Example) {
  // RFC 1939's APOP example: the stamp and "tanstaaf".
  EXPECT_EQ(ComputeApopDigest("1896.697170952@dbc.mtview.ca.us", "tanstaaf"),
            "c4c9334bac560ecc979e58001b3e22fb");
  EXPECT_EQ(MakeApopStamp(7, 123456, "mail.test"), "00007.123456@mail.test");
  std::string_view name, digest;
  EXPECT_TRUE(SplitApopArgument("  Bob \t 0123  ", name, digest));
  EXPECT_EQ(name, "Bob");
  EXPECT_EQ(digest, "0123");
  EXPECT_FALSE(SplitApopArgument("   ", name, digest));
}

TEST(Pop3WordsTest, CommandWordsMatchByPrefixWithoutCase) {
  struct Case {
    const char* word;
    Pop3Token token;
  };
  const Case cases[] = {
      {"USER", kPopTokUser}, {"userx", kPopTokUser}, {"Pass", kPopTokPass},
      {"QUIT", kPopTokQuit}, {"top", kPopTokTop},    {"TOPS", kPopTokTop},
      {"UIDL", kPopTokUidl}, {"APOP", kPopTokApop},  {"+OK", kPopTokOk},
      {"US", kPopTokUnknown}, {"", kPopTokUnknown},  {"HELO", kPopTokUnknown},
      {"LAST", kPopTokLast}, {"RSET", kPopTokRset},  {"NOOP", kPopTokNoop},
  };
  for (const Case& c : cases) EXPECT_EQ(FindPop3Token(c.word), c.token) << c.word;
}

TEST(Pop3WordsTest, RepliesAreComposedFromTheTable) {
  struct Case {
    int code;
    Pop3Form form;
    Pop3ReplyArgs args;
    const char* want;
  };
  const Case cases[] = {
      {kPopGreeting, kFormPlain, {"mail.test", "00001.5@mail.test"},
       "+OK POP3 server mail.test ready <00001.5@mail.test>\r\n"},
      {kPopMailboxReady, kFormPlain, {"alice", {}, 3, 1200},
       "+OK mailbox for alice has 3 messages (1200 octets)\r\n"},
      {kPopSingleListing, kFormPlain, {{}, {}, 2, 77}, "+OK 2 77\r\n"},
      {kPopSingleListing, kFormId, {"<a@b>", {}, 2}, "+OK 2 <a@b>\r\n"},
      {kPopSingleListing, kFormNoId, {{}, {}, 2}, "+OK 2 <>\r\n"},
      {kPopListingStart, kFormId, {}, "+OK\r\n"},
      {kPopListingLine, kFormId, {"x", {}, 9}, "9 x\r\n"},
      {kPopDeleted, kFormPlain, {{}, {}, 4}, "+OK message 4 deleted\r\n"},
      {kPopUnableToLock, kFormPlain, {}, "-ERR unable to lock mailbox\r\n"},
      {kPopUnknownCommand, kFormPlain, {}, "-ERR unknown command\r\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    ASSERT_TRUE(ComposePop3Reply(c.code, c.form, c.args, out)) << c.code;
    EXPECT_EQ(out, c.want);
  }
  std::string out;
  EXPECT_FALSE(ComposePop3Reply(99, kFormPlain, {}, out));
  EXPECT_FALSE(ComposePop3Reply(kPopStat, kFormId, {}, out));
}

TEST(Pop3WordsTest, MessageNumbers) {
  struct Case {
    const char* text;
    long long want;
  };
  const Case cases[] = {
      {"1", 1},    {"12 rest", 12}, {"3\t", 3}, {"1x", 0}, {"-1", 0}, {"", 0},
      {"+2", 0},   {" 2", 0},       {"0", 0},   {"1099511627776", 1099511627776LL},
      {"999999999999999999999999", LLONG_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMessageNumber(c.text), c.want) << c.text;
  EXPECT_EQ(SecondArgument("3  17"), "17");
  EXPECT_EQ(SecondArgument("3"), "");
  EXPECT_EQ(ParseLineCount("-4"), 0);
  EXPECT_EQ(ParseLineCount("x"), 0);
  EXPECT_EQ(ParseLineCount("25"), 25);
}

TEST(Pop3WordsTest, MessageLinesAreStuffedAndLongOnesSplitWithoutLoss) {
  std::string out;
  AppendMessageLine(".dot", out);
  AppendMessageLine("", out);
  AppendMessageLine("plain", out);
  EXPECT_EQ(out, "..dot\r\n\r\nplain\r\n");
  out.clear();
  std::string longLine = std::string(kPopLineCut, 'a') + "." + std::string(10, 'b');
  AppendMessageLine(longLine, out);
  EXPECT_EQ(out, std::string(kPopLineCut, 'a') + "\r\n.." + std::string(10, 'b') + "\r\n");
  EXPECT_TRUE(IsQuotedFromLine(">From x"));
  EXPECT_TRUE(IsQuotedFromLine(">>>From "));
  EXPECT_FALSE(IsQuotedFromLine("From x"));
  EXPECT_FALSE(IsQuotedFromLine(">from x"));
  EXPECT_FALSE(IsQuotedFromLine(">From"));
}

TEST(Pop3WordsTest, StatusHeaderRule) {
  const std::string sep = "From a@b Fri Dec  4 10:00:00 2026\r\n";
  struct Case {
    std::string block;
    bool retrieved;
    std::string want;
  };
  const Case cases[] = {
      {sep + "Subject: x\r\n\r\nbody\r\n", false, sep + "Subject: x\r\nStatus: UO\r\n\r\nbody\r\n"},
      {sep + "Subject: x\r\n\r\nbody\r\n", true, sep + "Subject: x\r\nStatus: RO\r\n\r\nbody\r\n"},
      {sep + "STATUS: RO\r\nA: b\r\n\r\n", false, sep + "Status: RO\r\nA: b\r\n\r\n"},
      {sep + "Status: NO\r\n\r\n", false, sep + "Status: UO\r\n\r\n"},
      {sep + "Status: OxR\r\n\r\n", false, sep + "Status: UO\r\n\r\n"},  // scan stops at x
      {sep + "Status: U\r\n\r\n", true, sep + "Status: RO\r\n\r\n"},
      // A "Status:" in the body is not the header's.
      {sep + "A: b\r\n\r\nStatus: R\r\n", false, sep + "A: b\r\nStatus: UO\r\n\r\nStatus: R\r\n"},
      // No end of the header in the block: the line goes right after the
      // separator, never before it (that would join this message to the last).
      {sep + "A: " + std::string(100, 'x'), false, sep + "Status: UO\r\nA: " + std::string(100, 'x')},
  };
  for (const Case& c : cases) {
    std::string block = c.block;
    ApplyStatusHeader(block, c.retrieved);
    EXPECT_EQ(block, c.want);
  }
}

TEST(Pop3WordsTest, UniqueIds) {
  EXPECT_TRUE(IsUsableUid("<a@b>"));
  EXPECT_FALSE(IsUsableUid(""));
  EXPECT_FALSE(IsUsableUid("a b"));
  EXPECT_FALSE(IsUsableUid(std::string(71, 'x')));
  EXPECT_TRUE(IsUsableUid(std::string(70, 'x')));
  EXPECT_FALSE(IsUsableUid("caf\xc3\xa9"));
  std::vector<UidSource> sources = {
      {"<a@b>", "k1"}, {"<a@b>", "k2"}, {"", "k3"}, {"bad id", "k3"}, {"k1", "k9"}, {"<c@d>", ""},
  };
  std::vector<std::string> ids = AssignUniqueIds(sources);
  EXPECT_EQ(ids, (std::vector<std::string>{"<a@b>", "k2", "k3", "k3-2", "k1", "<c@d>"}));
  // A Status line changes neither the key nor, through the length, the id.
  std::string head = "From a@b x\r\nSubject: s\r\n";
  EXPECT_EQ(StableMessageKey(head, 100), StableMessageKey(head + "Status: RO\r\n", 112));
  EXPECT_NE(StableMessageKey(head, 100), StableMessageKey(head, 101));
}

}  // namespace
