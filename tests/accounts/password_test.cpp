// The stored password form and the administration rules for names and passwords.
#include <string>

#include "server/accounts/accounts.h"
#include "tests/accounts/accounts_fixture.h"

namespace {

const std::string kPrimary;

// Stored texts made by the scrambler that every existing record was written with;
// a change here makes every stored password unusable.
TEST(PasswordForm, GoldenScrambledTexts) {
  struct Case {
    const char* name;
    const char* clear;
    const char* stored;
  } cases[] = {
      {"a", "secret", "saKatauf1mYmWmHlViClQaNd"},
      {"ab", "secret", "saNaqaKf1mXmZmrlViFlPaxd"},
      {"abc", "x", "zm7o1m3n3mXmZmtlVi-lPaqm"},
      {"postmaster", "Tr0ub4dor&3", "Ke9qbaFvxe7fuv2o9iCi-eOf"},
      {"bob", "", "4mMo4mKo2mmm+mciSiIlKaYh"},
      {"alice", "0123456789abcdef", "rv9wqvHvFvBwvbyagahdkeHg"},
  };
  for (const Case& c : cases) {
    std::string out, back;
    ASSERT_TRUE(ScramblePassword(c.name, c.clear, out)) << c.name;
    EXPECT_EQ(out, c.stored) << c.name;
    ASSERT_TRUE(UnscramblePassword(c.name, c.stored, back)) << c.name;
    EXPECT_EQ(back, c.clear) << c.name;
  }
}

TEST(PasswordForm, RoundTripsForNamesOfOneTwoAndManyCharacters) {
  const std::string names[] = {"x", "xy", "xyz", "abcd", "postmaster",
                               std::string(64, 'q'), "a-very-long-account-name-beyond-the-key"};
  const std::string passwords[] = {"", "a", "abc", "pass word", "0123456789abcdef",
                                   std::string("\x01\xff\x80 ~", 5)};
  for (const std::string& name : names) {
    for (const std::string& pw : passwords) {
      std::string stored, back;
      ASSERT_TRUE(ScramblePassword(name, pw, stored)) << name;
      EXPECT_EQ(stored.size(), kScrambledPasswordChars);
      EXPECT_EQ(stored.find_first_not_of(
                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-"),
                std::string::npos);
      ASSERT_TRUE(UnscramblePassword(name, stored, back)) << name << " / " << pw;
      EXPECT_EQ(back, pw) << name;
    }
  }
}

TEST(PasswordForm, SamePasswordDiffersByAccountName) {
  std::string a, b;
  ASSERT_TRUE(ScramblePassword("alice", "secret", a));
  ASSERT_TRUE(ScramblePassword("bob", "secret", b));
  EXPECT_NE(a, b);
}

TEST(PasswordForm, RefusesWhatCannotBeStored) {
  std::string out;
  EXPECT_FALSE(ScramblePassword("alice", std::string(17, 'p'), out));
  EXPECT_FALSE(ScramblePassword("", "secret", out));
}

TEST(PasswordForm, UnscrambleRejectsDamagedTexts) {
  std::string good;
  ASSERT_TRUE(ScramblePassword("alice", "secret", good));
  std::string out;
  // The check is six bits wide: another key or a damaged text is usually refused
  // and, when it slips through, never yields the real password or more than 16 bytes.
  if (UnscramblePassword("bob", good, out)) {
    EXPECT_NE(out, "secret");
  }
  EXPECT_FALSE(UnscramblePassword("alice", good.substr(1), out));  // short
  EXPECT_FALSE(UnscramblePassword("alice", good + "a", out));      // long
  EXPECT_FALSE(UnscramblePassword("alice", "", out));
  EXPECT_FALSE(UnscramblePassword("", good, out));
  int caught = 0;
  for (size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = bad[i] == 'a' ? 'b' : 'a';
    if (!UnscramblePassword("alice", bad, out)) {
      ++caught;
    } else {
      EXPECT_LE(out.size(), kMaxPasswordChars);
    }
  }
  EXPECT_GT(caught, 0);
  // Characters outside the alphabet read as 63 and never read out of bounds.
  for (const char* junk : {"????????????????????????", "\xff\xff\xff\xff\xff\xff\xff\xff"
                                                       "\xff\xff\xff\xff\xff\xff\xff\xff"
                                                       "\xff\xff\xff\xff\xff\xff\xff\xff"}) {
    if (UnscramblePassword("alice", junk, out)) {
      EXPECT_LE(out.size(), kMaxPasswordChars);
    }
  }
}

// A block whose check matches but whose length byte is beyond 16 must not be
// taken as a 100-character password.
TEST(PasswordForm, ImpossibleLengthIsRefused) {
  int accepted = 0;
  std::string out;
  const char* alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-";
  std::string good;
  ASSERT_TRUE(ScramblePassword("k", "", good));
  // Vary the group that holds bytes 15..17 through the whole alphabet.
  for (int a = 0; a < 64; ++a) {
    for (int b = 0; b < 64; ++b) {
      std::string t = good;
      t[21] = alphabet[a];
      t[22] = alphabet[b];
      if (UnscramblePassword("k", t, out)) {
        ++accepted;
        EXPECT_LE(out.size(), kMaxPasswordChars);
      }
    }
  }
  EXPECT_GT(accepted, 0);
}

class PasswordCheckTest : public AccountsTest {};

TEST_F(PasswordCheckTest, CheckAcceptsTheNameInAnyCase) {
  std::string stored, why;
  ASSERT_TRUE(ScramblePassword("alice", "Secret1", stored));
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", "a.mbx", stored, "", kPrimary, why));
  ASSERT_TRUE(WriteAliasRecord("ally", "alice", kPrimary, why));
  for (const char* name : {"alice", "ALICE", "AlIcE", "ally", "ALLY"})
    EXPECT_TRUE(CheckPassword(name, "Secret1", stored, kPrimary)) << name;
  EXPECT_FALSE(CheckPassword("alice", "secret1", stored, kPrimary));  // password case counts
  EXPECT_FALSE(CheckPassword("alice", "Secret1", stored + "x", kPrimary));
  EXPECT_FALSE(CheckPassword("nobody", "Secret1", stored, kPrimary));
  EXPECT_FALSE(CheckPassword("alice", "", "", kPrimary));
  EXPECT_FALSE(CheckPassword("alice", std::string(17, 'S'), stored, kPrimary));
  // Another domain has its own accounts.
  EXPECT_FALSE(CheckPassword("alice", "Secret1", stored, "virt.example"));
}

TEST(AdminRules, AccountNames) {
  struct Case {
    std::string name;
    bool ok;
  } cases[] = {
      {"alice", true},          {"a", true},           {std::string(64, 'n'), true},
      {"", false},              {std::string(65, 'n'), false},
      {"a@b", false},           {"a;b", false},        {"a:b", false},
      {"a!b", false},           {"a,b", false},        {"a%b", false},
      {"<a>", false},           {"[a]", false},        {"(a)", false},
      {"a\tb", false},          {"first.last", true},  {"mail-daemon", true},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(ValidateAccountName(c.name, why), c.ok) << c.name;
    if (!c.ok) {
      EXPECT_FALSE(why.empty());
    }
  }
}

TEST(AdminRules, Passwords) {
  struct Case {
    std::string password;
    bool ok;
  } cases[] = {
      {"abc", true},  {std::string(16, 'p'), true}, {"ab", false},
      {std::string(17, 'p'), false},                {"a b~", true},
      {"ab\x7f", false}, {"ab\n", false},           {"\xe4\xf6\xfc", false},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(ValidatePassword(c.password, why), c.ok) << c.password;
  }
}

}  // namespace
