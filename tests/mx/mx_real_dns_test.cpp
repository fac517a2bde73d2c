// The resolver against a real name server: unbound on 127.0.0.1 and a free port,
// serving tests/mx/corvel.test.zone (started by tests/mx/dns_server.sh). Skipped,
// saying why, when unbound is not installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "server/core/log.h"
#include "server/mx/mx_resolver.h"
#include "tests/mx/dns_test_util.h"

using namespace mxtest;

namespace {

constexpr const char* kUnbound = "/usr/sbin/unbound";

std::string Script() { return std::string(CORVEL_SOURCE_DIR) + "/tests/mx/dns_server.sh"; }

class RealDns : public ::testing::Test {
 protected:
  static inline uint16_t port = 0;
  static inline std::string dir;
  static inline bool running = false;
  static inline std::string startFailure;

  static void SetUpTestSuite() {
    if (access(kUnbound, X_OK) != 0) return;
    // A free port: bind to 0, note it, let it go for the server.
    int fd = OpenUdp(port);
    close(fd);
    char tmpl[] = "/tmp/corvel-mx-dns-XXXXXX";
    if (!mkdtemp(tmpl)) {
      startFailure = "mkdtemp failed";
      return;
    }
    dir = tmpl;
    std::string command = Script() + " start " + std::to_string(port) + " " + dir;
    int rc = std::system(command.c_str());
    if (rc != 0) {
      startFailure = "'" + command + "' failed with " + std::to_string(rc);
      return;
    }
    running = true;
  }

  static void TearDownTestSuite() {
    if (!dir.empty()) {
      std::string command = Script() + " stop " + std::to_string(port) + " " + dir;
      (void)std::system(command.c_str());
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  }

  void SetUp() override {
    if (access(kUnbound, X_OK) != 0)
      GTEST_SKIP() << kUnbound << " is not installed (Debian package \"unbound\"); "
                   << "the real-DNS tests need it";
    ASSERT_TRUE(running) << startFailure;
    SetLogOptions(kLogMxDebug, 0);
    SetWindowEchoToStdout(false);
    Start(Server());
  }
  void TearDown() override { MxShutdown(); }

  static std::string Server() { return "127.0.0.1:" + std::to_string(port); }

  static void Start(const std::string& servers, uint32_t timeoutMs = 5000) {
    MxOptions o;
    o.domainServer = servers;
    o.requestTimeoutMs = timeoutMs;
    std::string why;
    ASSERT_TRUE(MxStartupWith(o, why)) << why;
  }
};

TEST_F(RealDns, PreferencesTwentyTenTenGiveTheLevelsInOrder) {
  const struct {
    int level;
    int code;
    const char* host;
    const char* addresses;
  } cases[] = {
      {0, 0, "mxa.corvel.test", "127.0.0.11;"},
      {1, 0, "mxb.corvel.test", "127.0.0.12;"},
      {2, 0, "mxc.corvel.test", "127.0.0.13;"},
      {3, -7, "", ""},
  };
  for (const auto& c : cases) {
    Fetched f = Resolve("mx3.corvel.test", c.level);
    EXPECT_EQ(f.code, c.code) << c.level;
    if (c.code == 0) {
      EXPECT_EQ(f.level, c.level);
      EXPECT_EQ(f.host, c.host) << c.level;
      EXPECT_EQ(f.addresses, c.addresses) << c.level;
    }
  }
}

TEST_F(RealDns, EachNameOfTheZoneResolvesAsItShould) {
  const struct {
    const char* name;
    int level;
    int code;
    const char* host;
    const char* addresses;
  } cases[] = {
      {"aonly.corvel.test", 0, 0, "aonly.corvel.test", "127.0.0.20;127.0.0.21;"},
      {"aonly.corvel.test", 1, -7, "", ""},
      {"chain.corvel.test", 0, 0, "mxa.corvel.test", "127.0.0.11;"},
      {"chain.corvel.test", 2, 0, "mxc.corvel.test", "127.0.0.13;"},
      {"loop1.corvel.test", 0, -8, "", ""},
      {"x.y.sub.corvel.test", 0, 0, "mailsub.corvel.test", "127.0.0.31;"},
      {"a.b.none.corvel.test", 0, -2, "", ""},
      {"nohost.corvel.test", 0, -2, "", ""},
      {"self.corvel.test", 0, 0, "self.corvel.test", "127.0.0.32;"},
      {"SELF.Corvel.Test.", 0, 0, "self.corvel.test", "127.0.0.32;"},
      {"outside.example", 0, -3, "", ""},  // refused: not the server's zone
  };
  for (const auto& c : cases) {
    Fetched f = Resolve(c.name, c.level);
    EXPECT_EQ(f.code, c.code) << c.name << " level " << c.level;
    if (c.code == 0 && f.code == 0) {
      EXPECT_EQ(f.host, c.host) << c.name;
      EXPECT_EQ(f.addresses, c.addresses) << c.name;
    }
  }
}

TEST_F(RealDns, TenSecondTimeToLiveIsKept300Seconds) {
  ASSERT_EQ(Resolve("aonly.corvel.test", 0).code, 0);
  EXPECT_EQ(MxCachedTtl("aonly.corvel.test"), 300);
  ASSERT_EQ(Resolve("mx3.corvel.test", 0).code, 0);
  EXPECT_EQ(MxCachedTtl("mx3.corvel.test"), 3600);
}

TEST_F(RealDns, SecondNameServerIsUsedByItsIndex) {
  MxShutdown();
  uint16_t closed = 0;
  int fd = OpenUdp(closed);  // bound but never read: a server that stays silent
  Start("127.0.0.1:" + std::to_string(closed) + ";" + Server(), 300);
  EXPECT_EQ(MxLevelCount(), 2);
  EXPECT_EQ(Resolve("mx3.corvel.test", 0, 1).code, 0);
  int h = nSmtpMx_RequestRemoteId("sub.corvel.test", 0, 0);
  ASSERT_GT(h, 0);
  usleep(400000);
  MxHousekeeping();
  EXPECT_EQ(Fetch(h).code, -5);
  close(fd);
}

}  // namespace
