// The console's building blocks below HTTP: the administrator password's stored
// form, the checks of a configuration edit, and the window log read by number.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "server/admin/admin_password.h"
#include "server/admin/console_sessions.h"
#include "server/admin/general_edit.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "tests/core/test_home.h"

namespace {

TEST(AdminPassword, StoredFormChecksOnlyTheRightPassword) {
  std::string stored, why;
  ASSERT_TRUE(HashAdminPassword("correct horse", stored, why)) << why;
  EXPECT_EQ(stored.rfind("pbkdf2-sha256$100000$", 0), 0u) << stored;
  EXPECT_EQ(stored.find("correct"), std::string::npos);
  EXPECT_TRUE(CheckAdminPassword("correct horse", stored));
  std::string again;
  ASSERT_TRUE(HashAdminPassword("correct horse", again, why));
  EXPECT_NE(again, stored) << "each hash has its own salt";

  // Damaged or foreign stored forms never let anybody in, whatever is typed.
  std::string digest = stored.substr(stored.rfind('$') + 1);
  std::string salt = stored.substr(21, 32);
  const std::string bad[] = {
      "",
      "correct horse",
      "pbkdf2-sha256$100000$" + salt,
      "pbkdf2-sha1$100000$" + salt + "$" + digest,
      "pbkdf2-sha256$1$" + salt + "$" + digest,
      "pbkdf2-sha256$x$" + salt + "$" + digest,
      "pbkdf2-sha256$100000$zz$" + digest,
      "pbkdf2-sha256$100000$" + salt + "$" + digest.substr(2),
      "pbkdf2-sha256$100000$" + salt + "$" + digest + "$",
      "pbkdf2-sha256$100000$$" + digest,
  };
  for (const std::string& s : bad) {
    EXPECT_FALSE(CheckAdminPassword("correct horse", s)) << s;
    EXPECT_FALSE(CheckAdminPassword("", s)) << s;
  }
  EXPECT_FALSE(CheckAdminPassword("correct horsE", stored));
  EXPECT_FALSE(CheckAdminPassword("", stored));
}

TEST(AdminPassword, LengthLimitsAreRefusedWithTheirReason) {
  std::string stored, why;
  EXPECT_FALSE(HashAdminPassword("short", stored, why));
  EXPECT_EQ(why, "the password must have 8 to 256 characters");
  EXPECT_FALSE(HashAdminPassword(std::string(257, 'a'), stored, why));
  EXPECT_TRUE(HashAdminPassword(std::string(256, 'a'), stored, why));
}

TEST(AdminPassword, SetWritesOnlyTheDigest) {
  TestHome home;
  std::string why;
  EXPECT_EQ(ReadAdminPasswordHash(), "");
  ASSERT_TRUE(SetAdminPassword("a long secret", why)) << why;
  std::string stored = ReadAdminPasswordHash();
  EXPECT_TRUE(CheckAdminPassword("a long secret", stored));
  std::string exported;
  ASSERT_TRUE(RegExportText("", exported, why));
  EXPECT_EQ(exported.find("a long secret"), std::string::npos);
}

TEST(GeneralEdit, EditsAreCheckedAgainstTheTable) {
  struct Case {
    const char* name;
    std::string text;
    const char* why;  // null: accepted
  } cases[] = {
      {"InQueueTime", "5", nullptr},
      {"InQueueTime", "300", nullptr},
      {"InQueueTime", "4", "InQueueTime is a whole number from 5 to 300"},
      {"InQueueTime", "301", "InQueueTime is a whole number from 5 to 300"},
      {"InQueueTime", "60s", "InQueueTime is a whole number from 5 to 300"},
      {"InQueueTime", " 60", "InQueueTime is a whole number from 5 to 300"},
      {"InQueueTime", "", "InQueueTime is a whole number from 5 to 300"},
      {"LimitRecipients", "-1", nullptr},
      {"LimitRecipients", "4294967295", nullptr},
      {"LimitRecipients", "4294967296", "LimitRecipients is a whole number from -1 to 4294967295"},
      {"LimitRecipients", "-2", "LimitRecipients is a whole number from -1 to 4294967295"},
      {"LimitRecipients", "99999999999999999999999", "LimitRecipients is a whole number from -1 to 4294967295"},
      {"AllowUnknown", "1", nullptr},
      {"AllowUnknown", "true", "AllowUnknown is a switch: 0 or 1"},
      {"AllowUnknown", "2", "AllowUnknown is a switch: 0 or 1"},
      {"LocalIP", std::string(30, '1'), nullptr},
      {"LocalIP", std::string(31, '1'), "LocalIP has at most 30 characters"},
      {"SmartHost", "relay\r\nexample", "SmartHost may not hold control characters"},
      {"UserDirectory", "/var/mail/", nullptr},
  };
  for (const Case& c : cases) {
    const GeneralValue* g = FindGeneralValue(c.name);
    ASSERT_NE(g, nullptr) << c.name;
    std::string why;
    EXPECT_EQ(CheckGeneralValueEdit(*g, c.text, why), c.why == nullptr) << c.name << " " << c.text;
    if (c.why) {
      EXPECT_EQ(why, c.why);
    }
  }
}

TEST(GeneralEdit, WriteStoresAndResetDeletes) {
  TestHome home;
  const GeneralValue& queue = *FindGeneralValue("InQueueTime");
  const GeneralValue& host = *FindGeneralValue("SmartHost");
  std::string why;
  bool stored = true;
  EXPECT_EQ(GeneralValueText(queue, stored), "60");
  EXPECT_FALSE(stored);
  ASSERT_TRUE(WriteGeneralValue(queue, "120", false, why)) << why;
  EXPECT_EQ(GeneralValueText(queue, stored), "120");
  EXPECT_TRUE(stored);
  RegValue v;
  ASSERT_TRUE(RegQueryValue(kRootKey, "InQueueTime", v));
  EXPECT_EQ(v.type, uint32_t(kRegDword));
  // A refused edit leaves the stored value as it was.
  EXPECT_FALSE(WriteGeneralValue(queue, "1", false, why));
  EXPECT_EQ(GeneralValueText(queue, stored), "120");
  ASSERT_TRUE(WriteGeneralValue(host, "relay.example.org", false, why));
  EXPECT_EQ(GeneralValueText(host, stored), "relay.example.org");
  ASSERT_TRUE(WriteGeneralValue(queue, "", true, why));
  EXPECT_EQ(GeneralValueText(queue, stored), "60");
  EXPECT_FALSE(stored);
  EXPECT_TRUE(WriteGeneralValue(queue, "", true, why)) << "resetting a default is no failure";
}

TEST(WindowLog, LinesSinceANumberSurviveTheRingTurning) {
  SetWindowEchoToStdout(false);
  SetLogOptions(1, 0);
  ClearWindowLog();
  uint64_t seq = 0;
  WindowLogLinesSince(seq);
  uint64_t start = seq;
  LogEvent(1, kLogAlways, "first %d", 1);
  LogEvent(1, kLogAlways, "second %d", 2);
  uint64_t reader = start;
  std::vector<std::string> got = WindowLogLinesSince(reader);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[1].find("second 2"), std::string::npos);
  EXPECT_EQ(reader, start + 2);
  EXPECT_TRUE(WindowLogLinesSince(reader).empty());
  // A reader that fell more than the window behind gets the 300 lines still kept.
  for (int i = 0; i < 400; ++i) LogEvent(1, kLogAlways, "line %d", i);
  got = WindowLogLinesSince(reader);
  ASSERT_EQ(got.size(), 300u);
  EXPECT_NE(got.back().find("line 399"), std::string::npos);
  EXPECT_NE(got.front().find("line 100"), std::string::npos);
  // A number from the future (another server's) is taken as "up to now".
  uint64_t future = reader + 1000;
  EXPECT_TRUE(WindowLogLinesSince(future).empty());
  EXPECT_EQ(future, reader);
  ClearWindowLog();
}

TEST(ConsoleSessions, IdleAndOldSessionsExpireAndTheOldestMakesRoom) {
  SessionTable table;
  auto t0 = ConsoleClock::now();
  std::string token, csrf, found;
  ASSERT_TRUE(OpenConsoleSession(table, t0, token, csrf));
  EXPECT_EQ(token.size(), kSessionTokenBytes * 2);
  EXPECT_NE(token, csrf);
  EXPECT_TRUE(FindConsoleSession(table, token, t0 + std::chrono::minutes(29), found));
  EXPECT_EQ(found, csrf);
  // Each use starts the idle time again, up to the lifetime.
  auto t = t0;
  while (t + std::chrono::minutes(25) < t0 + kSessionLifetime) {
    t += std::chrono::minutes(25);
    ASSERT_TRUE(FindConsoleSession(table, token, t, found));
  }
  EXPECT_FALSE(FindConsoleSession(table, token, t0 + kSessionLifetime + std::chrono::minutes(1),
                                  found));
  EXPECT_TRUE(table.sessions.empty()) << "an expired session is dropped";

  ASSERT_TRUE(OpenConsoleSession(table, t0, token, csrf));
  EXPECT_FALSE(FindConsoleSession(table, token, t0 + kSessionIdle + std::chrono::seconds(1), found));
  // Near misses and other lengths are no session.
  ASSERT_TRUE(OpenConsoleSession(table, t0, token, csrf));
  std::string near = token;
  near.back() = near.back() == '0' ? '1' : '0';
  EXPECT_FALSE(FindConsoleSession(table, near, t0, found));
  EXPECT_FALSE(FindConsoleSession(table, token + "0", t0, found));
  EXPECT_FALSE(FindConsoleSession(table, "", t0, found));
  CloseConsoleSession(table, token);
  EXPECT_FALSE(FindConsoleSession(table, token, t0, found));

  // One more than the limit pushes out the least recently used.
  std::string first, second;
  ASSERT_TRUE(OpenConsoleSession(table, t0, first, csrf));
  ASSERT_TRUE(OpenConsoleSession(table, t0 + std::chrono::seconds(1), second, csrf));
  ASSERT_TRUE(FindConsoleSession(table, first, t0 + std::chrono::seconds(2), found));
  for (size_t i = 2; i < kMaxSessions + 1; ++i)
    ASSERT_TRUE(OpenConsoleSession(table, t0 + std::chrono::seconds(3), token, csrf));
  EXPECT_EQ(table.sessions.size(), kMaxSessions);
  EXPECT_TRUE(FindConsoleSession(table, first, t0 + std::chrono::seconds(4), found));
  EXPECT_FALSE(FindConsoleSession(table, second, t0 + std::chrono::seconds(4), found));
}

TEST(ConsoleSessions, FailedLoginsAreLimitedPerAddressForAWindow) {
  SessionTable table;
  auto t0 = ConsoleClock::now();
  for (int i = 1; i < kLoginFailuresAllowed; ++i) {
    EXPECT_EQ(CountLoginFailure(table, "127.0.0.1", t0), i);
    EXPECT_EQ(LoginWaitSeconds(table, "127.0.0.1", t0), 0);
  }
  EXPECT_EQ(CountLoginFailure(table, "127.0.0.1", t0), kLoginFailuresAllowed);
  long wait = LoginWaitSeconds(table, "127.0.0.1", t0 + std::chrono::minutes(1));
  EXPECT_EQ(wait, std::chrono::duration_cast<std::chrono::seconds>(kLoginWindow).count() - 60 + 1);
  EXPECT_EQ(LoginWaitSeconds(table, "127.0.0.2", t0), 0) << "another address is not limited";
  EXPECT_EQ(LoginWaitSeconds(table, "127.0.0.1", t0 + kLoginWindow + std::chrono::seconds(1)), 0);
  // A new window counts from one again; a good login forgets the failures.
  EXPECT_EQ(CountLoginFailure(table, "127.0.0.1", t0 + kLoginWindow + std::chrono::seconds(2)), 1);
  ForgetLoginFailures(table, "127.0.0.1");
  EXPECT_TRUE(table.logins.empty());
}

// Failures from more addresses than the table holds, all within one window: the
// table keeps its bound, and a blocked address stays blocked meanwhile.
TEST(ConsoleSessions, TheFailureTableKeepsItsBoundAndItsBlockedAddresses) {
  SessionTable table;
  auto t0 = ConsoleClock::now();
  for (int i = 0; i < kLoginFailuresAllowed; ++i) CountLoginFailure(table, "10.0.0.1", t0);
  for (size_t i = 0; i < kMaxTrackedAddresses + 500; ++i)
    CountLoginFailure(table, "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                      t0 + std::chrono::milliseconds(i));
  EXPECT_LE(table.logins.size(), kMaxTrackedAddresses);
  EXPECT_GT(LoginWaitSeconds(table, "10.0.0.1", t0 + std::chrono::seconds(1)), 0);
}

}  // namespace
