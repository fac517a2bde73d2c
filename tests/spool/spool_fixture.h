// A scratch home with its own registry and spool directories, UTC dates at a
// fixed moment, and helpers to read and write whole files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/spool/bounce.h"
#include "server/spool/headers.h"
#include "server/spool/spool.h"
#include "tests/support/spool_files.h"

// Tue, 08 Dec 2026 04:37:24 UTC
inline constexpr time_t kFixedTime = 1796704644;

class SpoolTest : public ::testing::Test {
 protected:
  std::string dir, in, out;

  static std::vector<std::string> QueueFiles(const std::string& d) { return QueueFilesIn(d); }

  void SetUp() override {
    char tmpl[] = "/tmp/corvel-spool-XXXXXX";
    dir = mkdtemp(tmpl);
    dir += '/';
    SetHomeDirectory(dir);
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(dir + "registry.db", why)) << why;
    in = dir + "in/";
    out = dir + "out/";
    ASSERT_TRUE(MakeDirectories(in));
    ASSERT_TRUE(MakeDirectories(out));
    setenv("TZ", "UTC", 1);
    tzset();
    SetMailClock(kFixedTime);
    Settings& s = ServerSettings();
    s.incomingDirectory = in;
    s.outgoingDirectory = out;
    s.localNode = "mail.example.com";
    s.localIp = "192.0.2.10";
    s.outgoingAlias = "";
    s.incomingAlias = "";
    s.softwareName = "Corvel95 V1.0";
    s.useFourDigitYear = true;
    SetWindowEchoToStdout(false);
    SetLogOptions(0xFFFFFFFF, 0);
    // As the server does at start-up: display names come from the account database.
    SetLocalAccountLookup(DescribeLocalAccount);
  }

  void TearDown() override {
    SetMailClock(0);
    RegCloseStore();
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }

  MessageContext Context() const {
    MessageContext c;
    c.identity.host = "mail.example.com";
    c.identity.hostAddress = "192.0.2.10";
    c.incomingDir = in;
    c.outgoingDir = out;
    c.productText = "Corvel95 V1.0";
    return c;
  }

  static void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
  }
  static std::string ReadFile(const std::string& path) {
    std::string s;
    ReadWholeFile(path, s);
    return s;
  }
  // A golden file under tests/spool/golden. CORVEL_UPDATE_GOLDEN=1 rewrites it.
  static void ExpectGolden(const std::string& name, const std::string& actual) {
    std::string path = std::string(CORVEL_SOURCE_DIR) + "/tests/spool/golden/" + name;
    if (getenv("CORVEL_UPDATE_GOLDEN")) WriteFile(path, actual);
    std::string expected;
    ASSERT_TRUE(ReadWholeFile(path, expected)) << "missing golden file " << path;
    EXPECT_EQ(expected, actual) << "golden file " << name;
  }
  static bool LogHas(const std::string& text) {
    for (const std::string& line : WindowLogLines()) {
      if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
        return true;
    }
    return false;
  }
};
