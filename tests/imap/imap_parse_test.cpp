// The command tokenizer and sequence sets, over the inputs clients send and
// the malformed ones that must give BAD.
#include <gtest/gtest.h>

#include "server/imap/imap.h"

namespace {

TEST(ImapParse, CommandsAndTheirArguments) {
  struct Case {
    std::string line;
    bool ok;
    std::string word;
    size_t args;
    std::string firstText;  // of the first argument, when any
  } cases[] = {
      {"a1 LOGIN alice secret", true, "LOGIN", 2, "alice"},
      {"a1 login \"al\\\"ice\" \"x y\"", true, "LOGIN", 2, "al\"ice"},
      {"a1 LOGIN {5}\r\nalice {3+}\r\na b", true, "LOGIN", 2, "alice"},
      {"a1 FETCH 1:* (FLAGS BODY.PEEK[HEADER.FIELDS (From To)]<0.100>)", true, "FETCH", 2, "1:*"},
      {"a1 NOOP", true, "NOOP", 0, ""},
      {"a1 SELECT NIL", true, "SELECT", 1, "NIL"},
      {"a1", false, "", 0, ""},
      {"* NOOP", false, "", 0, ""},
      {"a+ NOOP", false, "", 0, ""},
      {"a1 NOOP ", false, "NOOP", 0, ""},
      {"a1 LOGIN (alice", false, "LOGIN", 0, ""},
      {"a1 LOGIN alice)", false, "LOGIN", 0, ""},
      {"a1 LOGIN {9}\r\nabc", false, "LOGIN", 0, ""},
      {"a1 LOGIN {x}\r\nabc", false, "LOGIN", 0, ""},
      {"a1 SELECT \"INBOX", false, "SELECT", 0, ""},
      {"a1 SELECT \"IN\\BOX\"", false, "SELECT", 0, ""},
      {"a1 FETCH 1 BODY[HEADER", false, "FETCH", 0, ""},
      {"a1 X ((((((((((a))))))))))", false, "X", 0, ""},
      {"a1 9LOGIN", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    std::string tag, word, why;
    std::vector<ImapItem> args;
    bool ok = ParseImapCommand(c.line, tag, word, args, why);
    EXPECT_EQ(ok, c.ok) << c.line << ": " << why;
    if (!ok) {
      EXPECT_FALSE(why.empty()) << c.line;
      continue;
    }
    EXPECT_EQ(tag, "a1") << c.line;
    EXPECT_EQ(word, c.word) << c.line;
    ASSERT_EQ(args.size(), c.args) << c.line;
    if (!args.empty()) {
      EXPECT_EQ(args[0].text, c.firstText) << c.line;
    }
  }
}

TEST(ImapParse, LiteralContentIsTakenByCountNotBySyntax) {
  std::string tag, word, why;
  std::vector<ImapItem> args;
  ASSERT_TRUE(ParseImapCommand("t LOGIN {7}\r\na) \"b{1 pw", tag, word, args, why)) << why;
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[0].text, "a) \"b{1");
  EXPECT_EQ(args[0].kind, ImapItem::kString);
  EXPECT_EQ(args[1].text, "pw");
}

TEST(ImapParse, SequenceSets) {
  struct Case {
    std::string set;
    uint32_t highest;
    bool ok;
    std::vector<uint32_t> in, out;
  } cases[] = {
      {"1:3,5", 10, true, {1, 2, 3, 5}, {4, 6, 10}},
      {"*", 10, true, {10}, {9}},
      {"4:*", 2, true, {2, 3, 4}, {1, 5}},
      {"*:4", 7, true, {4, 7}, {3, 8}},
      {"1:*", 0, true, {0, 1}, {2}},
      {"0", 10, false, {}, {}},
      {"1:", 10, false, {}, {}},
      {",1", 10, false, {}, {}},
      {"a", 10, false, {}, {}},
      {"99999999999", 10, false, {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<ImapRange> set;
    EXPECT_EQ(ParseSequenceSet(c.set, c.highest, set), c.ok) << c.set;
    for (uint32_t v : c.in) EXPECT_TRUE(InSequenceSet(set, v)) << c.set << " " << v;
    for (uint32_t v : c.out) EXPECT_FALSE(InSequenceSet(set, v)) << c.set << " " << v;
  }
}

TEST(ImapParse, FlagsDatesAndLiteralAnnouncements) {
  ImapItem list{ImapItem::kList, "", {{ImapItem::kAtom, "\\Seen", {}},
                                      {ImapItem::kAtom, "\\deleted", {}},
                                      {ImapItem::kAtom, "$Junk", {}}}};
  uint8_t flags = 0;
  ASSERT_TRUE(ParseFlagList(list, flags));
  EXPECT_EQ(FormatFlags(flags), "(\\Seen \\Deleted)");
  EXPECT_FALSE(ParseFlagList(ImapItem{ImapItem::kAtom, "\\Bogus", {}}, flags));

  time_t t = ParseSeparatorDate("From bob@remote.test Fri Dec  4 10:00:00 2026\r\n");
  EXPECT_EQ(FormatInternalDate(t), "04-Dec-2026 10:00:00 +0000");
  EXPECT_EQ(ParseSeparatorDate("From x"), 0);
  time_t day = 0;
  ASSERT_TRUE(ParseSearchDate("4-Dec-2026", day));
  EXPECT_EQ(day, t - t % 86400);
  EXPECT_FALSE(ParseSearchDate("4-Foo-2026", day));
  EXPECT_FALSE(ParseSearchDate("4-Dec-2026x", day));

  bool plus = false;
  EXPECT_EQ(LiteralAtEnd("a LOGIN {12}", plus), 12);
  EXPECT_FALSE(plus);
  EXPECT_EQ(LiteralAtEnd("a LOGIN {3+}", plus), 3);
  EXPECT_TRUE(plus);
  EXPECT_EQ(LiteralAtEnd("a LOGIN {}", plus), -1);
  EXPECT_EQ(LiteralAtEnd("a LOGIN x}", plus), -1);
  EXPECT_EQ(QuoteImapString("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(QuoteImapString("a\r\nb"), "{4}\r\na\r\nb");
}

}  // namespace
