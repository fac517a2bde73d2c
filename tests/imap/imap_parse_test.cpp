// The command tokenizer and sequence sets, over the inputs clients send and
// the malformed ones that must give BAD.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>

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
  setenv("TZ", "UTC", 1);  // separator lines carry local time
  tzset();
  ImapItem list{ImapItem::kList, "", {{ImapItem::kAtom, "\\Seen", {}},
                                      {ImapItem::kAtom, "\\deleted", {}},
                                      {ImapItem::kAtom, "$Junk", {}}}};
  uint8_t flags = 0;
  ASSERT_TRUE(ParseFlagList(list, flags));
  EXPECT_EQ(FormatFlags(flags), "(\\Seen \\Deleted)");
  EXPECT_FALSE(ParseFlagList(ImapItem{ImapItem::kAtom, "\\Bogus", {}}, flags));

  // Keywords: kept once each, in the order given; atoms only, and bounded.
  std::string words;
  list.list.push_back({ImapItem::kAtom, "work", {}});
  list.list.push_back({ImapItem::kAtom, "$junk", {}});
  ASSERT_TRUE(ParseFlagList(list, flags, &words));
  EXPECT_EQ(words, "$Junk work");
  EXPECT_EQ(FormatFlags(flags, words), "(\\Seen \\Deleted $Junk work)");
  EXPECT_EQ(FormatFlags(0, words), "($Junk work)");
  for (const char* bad : {"a]b", "a\"b", "caf\xc3\xa9", "a*"})
    EXPECT_FALSE(ParseFlagList(ImapItem{ImapItem::kAtom, bad, {}}, flags, &words)) << bad;
  EXPECT_FALSE(ParseFlagList(ImapItem{ImapItem::kString, "quoted", {}}, flags, &words));
  EXPECT_FALSE(ParseFlagList(ImapItem{ImapItem::kAtom, std::string(65, 'k'), {}}, flags, &words));
  ImapItem many{ImapItem::kList, "", {}};
  for (int i = 0; i < 33; ++i) many.list.push_back({ImapItem::kAtom, "k" + std::to_string(i), {}});
  EXPECT_FALSE(ParseFlagList(many, flags, &words));
  EXPECT_TRUE(HasKeyword("$Junk work", "WORK"));
  EXPECT_FALSE(HasKeyword("$Junk work", "wor"));
  EXPECT_EQ(ChangeKeywords("a b", "B c", '+'), "a b c");
  EXPECT_EQ(ChangeKeywords("a b c", "B", '-'), "a c");
  EXPECT_EQ(ChangeKeywords("a b c", "x", '='), "x");
  std::string full;
  for (int i = 0; i < 32; ++i) full += (i ? " k" : "k") + std::to_string(i);
  EXPECT_EQ(ChangeKeywords(full, "extra", '+'), full);

  // APPEND's date-time: the zone is applied; anything else malformed is refused.
  time_t when = 0;
  ASSERT_TRUE(ParseImapDateTime("04-Dec-2026 11:30:00 +0130", when));
  EXPECT_EQ(FormatInternalDate(when), "04-Dec-2026 10:00:00 +0000");
  ASSERT_TRUE(ParseImapDateTime(" 4-dec-2026 05:00:00 -0500", when));
  EXPECT_EQ(FormatInternalDate(when), "04-Dec-2026 10:00:00 +0000");
  for (const char* bad : {"4-Dec-2026 10:00:00 +0000", "04-Dec-2026 10:00:00", "31-Feb-2026 10:00:00 +0000",
                          "04-Dez-2026 10:00:00 +0000", "04-Dec-2026 24:00:00 +0000",
                          "04-Dec-2026 10:00:00 +0060", "04-Dec-1969 10:00:00 +0000",
                          "01-Jan-1970 00:00:00 +0100", "04-Dec-2026 10:00:00 0000",
                          "04-Dec-2026T10:00:00 +0000", "04-Dec-20x6 10:00:00 +0000", ""})
    EXPECT_FALSE(ParseImapDateTime(bad, when)) << bad;

  time_t t = ParseSeparatorDate("From bob@remote.test Fri Dec  4 10:00:00 2026\r\n");
  EXPECT_EQ(FormatInternalDate(t), "04-Dec-2026 10:00:00 +0000");
  // A separator the router wrote elsewhere reads back as the moment it was written.
  setenv("TZ", "XST5", 1);  // five hours west, no zone file needed
  tzset();
  EXPECT_EQ(FormatInternalDate(ParseSeparatorDate("From x Fri Dec  4 10:00:00 2026")),
            "04-Dec-2026 15:00:00 +0000");
  setenv("TZ", "UTC", 1);
  tzset();
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

namespace {

TEST(ImapParse, FolderNamesStayInsideTheFolderDirectory) {
  for (const char* good : {"Work", "Work/2026", "a/b/c/d", "Caf&AOk-", "R&APg-sum&AOk-/x", "&-",
                           "A &- B", "Sent Items", "&2D3eAA-"})
    EXPECT_TRUE(IsValidFolderName(good)) << good;
  const std::string nul("a\0b", 3);
  for (const std::string& bad :
       {std::string(""), std::string("../evil"), std::string("a/../../evil"), std::string(".."),
        std::string("/abs"), std::string("a//b"), std::string("a/"), std::string("a/.hidden"),
        std::string("a\x01z"), nul, std::string("a\\b"), std::string("a*"), std::string("a%"),
        std::string("INBOX"), std::string("inbox/child"), std::string("caf\xc3\xa9"),
        std::string("&"), std::string("a&b"), std::string("&AGE-"), std::string("&Jjo"),
        std::string("&2D3e-"), std::string("&3gA-"), std::string("&A-"), std::string(101, 'x'),
        std::string("a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q")})
    EXPECT_FALSE(IsValidFolderName(bad)) << bad;
  EXPECT_TRUE(IsValidFolderName("inboxes/child"));
}

}  // namespace
