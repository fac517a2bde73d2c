#include "server/core/config.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/registry.h"
#include "tests/core/test_home.h"

namespace {

void SetSz(const char* name, const char* text) { RegSetString(kRootKey, name, text); }

TEST(ConfigTest, BooleanTextsAndNumbers) {
  TestHome home;
  struct Case { const char* text; bool def; bool want; } cases[] = {
      {"Yes", false, true}, {"YES", false, true}, {"true", false, true}, {"2", false, true},
      {"0", true, false},   {"no", true, false},  {"off", true, false},  {"false", true, false},
      {"", true, true},     {"", false, false},   {"maybe", true, false},
  };
  for (const Case& c : cases) {
    SetSz("Flag", c.text);
    EXPECT_EQ(ConfigGetBool("", "Flag", c.def), c.want) << "'" << c.text << "'";
  }
  RegSetDword(kRootKey, "Flag", 7);
  EXPECT_TRUE(ConfigGetBool("", "Flag", false));
  EXPECT_TRUE(ConfigGetBool("", "Absent", true));
}

TEST(ConfigTest, NumberParsingRules) {
  TestHome home;
  struct Case { const char* text; long want; } cases[] = {
      {"42", 42}, {"42abc", 42}, {"-5", 7}, {"+5", 7}, {"", 7}, {"abc", 7},
      {"123456789012345678901", 7},  // longer than 20 bytes
      {"0", 0},
  };
  for (const Case& c : cases) {
    SetSz("Num", c.text);
    EXPECT_EQ(ConfigGetNumber("", "Num", 7), c.want) << "'" << c.text << "'";
  }
  RegSetDword(kRootKey, "Num", 0xFFFFFFFBu);
  EXPECT_EQ(ConfigGetNumber("", "Num", 7), -5);
  RegSetValue(kRootKey, "Num", kRegBinary, std::string("\x01\x02", 2));
  EXPECT_EQ(ConfigGetNumber("", "Num", 7), 7);
}

TEST(ConfigTest, RangesAndSpecialValues) {
  TestHome home;
  RegSetDword(kRootKey, "InQueueTime", 1);
  EXPECT_EQ(GetGeneralNumber("InQueueTime"), 5);
  RegSetDword(kRootKey, "InQueueTime", 1000);
  EXPECT_EQ(GetGeneralNumber("InQueueTime"), 300);

  struct Case { long stored; bool present; long want; } limits[] = {
      {0, false, 50}, {0, true, 1}, {1, true, 1}, {2, true, 2}, {249, true, 249}, {300, true, 250},
  };
  for (const Case& c : limits) {
    if (c.present) RegSetDword(kRootKey, "LimitRecipients", uint32_t(c.stored));
    else RegDeleteValue(kRootKey, "LimitRecipients");
    Settings s;
    LoadGeneralSettings(s);
    EXPECT_EQ(s.limitRecipients, c.want) << c.stored;
  }
  EXPECT_EQ(ApplyForceConnectionChoices(0), 5);
  EXPECT_EQ(ApplyForceConnectionChoices(60), 60);
  EXPECT_EQ(ApplyForceConnectionChoices(61), 1440);
  EXPECT_EQ(ApplyForceConnectionChoices(720), 480);
  EXPECT_EQ(ApplyForceConnectionChoices(1440), 480);
}

TEST(ConfigTest, DirectoriesAndDomainPaths) {
  TestHome home;
  SetSz("UserDirectory", "/srv/mail");
  EXPECT_EQ(GetGeneralString("UserDirectory"), "/srv/mail/");
  SetSz("UserDirectory", "");
  EXPECT_EQ(GetGeneralString("UserDirectory"), home.dir);
  RegDeleteValue(kRootKey, "UserDirectory");
  EXPECT_EQ(GetGeneralString("UserDirectory"), home.dir);

  EXPECT_EQ(ConfigKeyPath("Users", "", ""), "SOFTWARE\\Tollgrove\\Corvel\\Users");
  EXPECT_EQ(ConfigKeyPath("Configuration", "example.org", "news"),
            "SOFTWARE\\Tollgrove\\Corvel\\VirtualDomains\\example.org\\ListsAndResponders\\news"
            "\\Configuration");
  ASSERT_TRUE(ConfigSetString("Users", "alice", "u;Alice;alice.mbx;x;", ""));
  char buf[64];
  EXPECT_GT(ConfigGetString("Users", "ALICE", "", buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(buf, "u;Alice;alice.mbx;x;");
  // Cut to the buffer size less one; the default when absent.
  EXPECT_EQ(ConfigGetString("Users", "alice", "", buf, 5), 4);
  EXPECT_STREQ(buf, "u;Al");
  EXPECT_EQ(ConfigGetString("Users", "nobody", "dflt", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "dflt");
}

TEST(ConfigTest, ListingValueNamesFitsWholeNames) {
  TestHome home;
  ConfigSetString("Users", "alice", "u;A;a;;");
  ConfigSetString("Users", "bob", "u;B;b;;");
  char buf[64];
  int n = ConfigGetString("Users", nullptr, "", buf, sizeof buf);
  EXPECT_EQ(std::string(buf, size_t(n) + 1), std::string("alice\0bob\0\0", 11));
  // Only whole names that fit, still ended by the extra zero.
  char small[9];
  n = ConfigGetString("Users", nullptr, "", small, sizeof small);
  EXPECT_EQ(std::string(small, size_t(n) + 1), std::string("alice\0\0", 7));
  // A null text deletes the value, a null name the key.
  ConfigSetString("Users", "bob", nullptr);
  EXPECT_EQ(ConfigListValueNames("Users").size(), 1u);
  ConfigSetString("Users", nullptr, nullptr);
  EXPECT_FALSE(RegKeyExists(ConfigKeyPath("Users")));
}

TEST(ConfigTest, ReadsNeverWriteDefaultsAndAliasesMerge) {
  TestHome home;
  Settings s;
  LoadGeneralSettings(s);
  std::vector<RegValue> values;
  RegEnumValues(kRootKey, values);
  EXPECT_TRUE(values.empty());
  SetSz("IncomingAlias", "mail.example.org;MX.example.org");
  SetSz("OutgoingAlias", "mx.EXAMPLE.org");
  LoadHostAliases(s);
  EXPECT_EQ(s.incomingAlias, "mail.example.org;MX.example.org");
  SetSz("OutgoingAlias", "out.example.org");
  LoadHostAliases(s);
  EXPECT_EQ(s.incomingAlias, "mail.example.org;MX.example.org;out.example.org");
}

TEST(ConfigTest, DefaultDomainServerFromResolvConf) {
  TestHome home;
  std::string path = home.dir + "resolv.conf";
  std::ofstream(path) << "# comment\nsearch example.org\nnameserver 192.0.2.53\nnameserver ::1\n";
  EXPECT_EQ(DefaultDomainServer(path.c_str()), "192.0.2.53");
  EXPECT_EQ(DefaultDomainServer((home.dir + "missing").c_str()), "127.0.0.1");
}

}  // namespace
