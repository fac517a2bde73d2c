// Backups of the list and responder logs at the daily switch: the switches and
// names come from the account's configuration, nothing is ever overwritten, and
// the walk reaches every domain.
#include "server/accounts/account_logs.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "tests/core/test_home.h"

namespace {

// A home whose directory is the user directory, with an open log.
struct LogHome {
  TestHome home;
  LogHome() {
    SetWindowEchoToStdout(false);
    ServerSettings().userDirectory = home.dir;
    EXPECT_TRUE(OpenLogFile(home.dir + "maillog.txt"));
    SetLogOptions(0, 0);
  }
  ~LogHome() {
    CloseLog();
    ServerSettings().userDirectory.clear();
  }
  std::string File(const std::string& name = "maillog.txt") const {
    std::string out;
    ReadWholeFile(home.dir + name, out);
    return out;
  }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string path = home.dir + name;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    EXPECT_TRUE(WriteAll(fd.get(), content.data(), content.size()));
    return path;
  }
};

TEST(AccountLogTest, AccountLogBackups) {
  LogHome h;
  constexpr int kList = 3, kResponder = 4, kUser = 0;
  ConfigSetBool("Configuration", "ListStats", true, nullptr, "biglist");
  ConfigSetString("Configuration", "ListStatsFile", "biglist.sts", nullptr, "biglist");
  ConfigSetBool("Configuration", "DoAutoResponseLog", true, "other.org", "info");
  ConfigSetString("Configuration", "AutoResponseLog", (h.home.dir + "info").c_str(), "other.org",
                  "info");
  ConfigSetBool("Configuration", "ListStats", false, nullptr, "quiet");
  ConfigSetString("Configuration", "ListStatsFile", "quiet.sts", nullptr, "quiet");
  h.Write("biglist.sts", "stats");
  h.Write("info", "responses");
  h.Write("quiet.sts", "q");

  std::string text;
  EXPECT_TRUE(BackupAccountLog("biglist", kList, "", "", text));
  EXPECT_EQ(text, "Backup log file for 'biglist' created.");
  EXPECT_EQ(h.File("biglist.000"), "stats");
  EXPECT_FALSE(FileExists(h.home.dir + "biglist.sts"));

  EXPECT_TRUE(BackupAccountLog("info", kResponder, "other.org", "", text));
  EXPECT_EQ(h.File("info.000"), "responses");  // a name without a dot gets one

  // Switch off, file missing, or not a list or responder: nothing happens.
  EXPECT_FALSE(BackupAccountLog("quiet", kList, "", "", text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(BackupAccountLog("biglist", kList, "", "", text));
  EXPECT_FALSE(BackupAccountLog("biglist", kUser, "", "", text));
  EXPECT_EQ(h.File("quiet.sts"), "q");

  // A given name that exists is not overwritten.
  h.Write("biglist.sts", "new stats");
  std::string taken = h.Write("taken", "older backup");
  EXPECT_FALSE(BackupAccountLog("biglist", kList, "", taken, text));
  EXPECT_EQ(text, "Error renaming response file for 'biglist'.");
  EXPECT_EQ(h.File("taken"), "older backup");
  EXPECT_EQ(h.File("biglist.sts"), "new stats");
  EXPECT_NE(h.File().find("Error renaming response file for 'biglist'."), std::string::npos);
}

TEST(AccountLogTest, AccountLogWalkCoversListsAndRespondersOfEveryDomain) {
  LogHome h;
  std::string why;
  ASSERT_GT(AddSecondaryDomain("Other", "other.org", why), 0) << why;
  ASSERT_TRUE(LoadSecondaryDomains(why)) << why;
  // The list's record names the configuration "shared"; its switches live there.
  ASSERT_TRUE(WriteListRecord("news", "News", "shared", "owner@x.org", "", why)) << why;
  ASSERT_TRUE(WriteResponderRecord("info", "Info", "info", "other.org", why)) << why;
  ASSERT_TRUE(WriteForwardRecord("away", "a@b.org", "", why)) << why;
  ConfigSetBool("Configuration", "ListStats", true, nullptr, "shared");
  ConfigSetString("Configuration", "ListStatsFile", "news.sts", nullptr, "shared");
  ConfigSetBool("Configuration", "DoAutoResponseLog", true, "other.org", "info");
  ConfigSetString("Configuration", "AutoResponseLog", "info.log", "other.org", "info");
  h.Write("news.sts", "n");
  h.Write("info.log", "i");
  BackupListAndResponderLogs();
  EXPECT_EQ(h.File("news.000"), "n");
  EXPECT_EQ(h.File("info.000"), "i");
}

}  // namespace
