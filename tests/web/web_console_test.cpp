// The browser console inside a real corvel95: the API driven by Python's
// http.client (tests/web/web_api_test.py), the start-up refusal without a
// password, HTTPS with a Secure cookie when TLS is on, and the Selenium browser
// test (over HTTPS) when Chromium can start.
#include <gtest/gtest.h>

#include <signal.h>

#include <iostream>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/admin/admin_password.h"
#include "server/core/config.h"
#include "server/net/net_tls.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

constexpr const char* kPassword = "console-secret";
// A script that hangs (a browser that never answers) is ended, and fails the test.
constexpr const char* kScriptLimit = "timeout -k 10 240 python3 ";

class WebConsoleTest : public ::testing::Test {
 protected:
  // Writes the loopback settings with the console on; `withPassword` sets one;
  // `withTls` switches TLS on (the server makes its certificate).
  void Configure(bool withPassword, bool withTls = false) {
    smtpPort_ = FreeLoopbackPort();
    httpPort_ = FreeLoopbackPort();
    WriteLoopbackServerSettings(smtpPort_);
    RegSetDword(kRootKey, "HttpConsole", 1);
    RegSetDword(kRootKey, "SysOptHttp", uint32_t(httpPort_));
    // Remote mail goes to a smart host that is down, so it waits in the retry queue.
    RegSetString(kRootKey, "SmartHost", "127.0.19.3");
    RegSetDword(kRootKey, "RoutingMode", 1);
    if (withTls) RegSetDword(kRootKey, "UseTls", 1);
    std::string why;
    if (withPassword) {
      ASSERT_TRUE(SetAdminPassword(kPassword, why)) << why;
    }
    RegCloseStore();
  }
  void TearDown() override { server_.Stop(); }

  // Runs `command`, its output kept in the home; the output on failure.
  int Run(const std::string& command, std::string& output) {
    std::string out = home_.dir + "run.txt";
    int rc = system((command + " >" + out + " 2>&1").c_str());
    ReadWholeFile(out, output);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  TestHome home_;
  int smtpPort_ = 0, httpPort_ = 0;
  ServerProcess server_;
};

TEST_F(WebConsoleTest, ApiThroughARealServer) {
  Configure(true);
  ASSERT_TRUE(server_.Start(home_.dir, httpPort_));
  std::string output;
  int rc = Run(kScriptLimit + std::string(CORVEL_SOURCE_DIR) + "/tests/web/web_api_test.py " +
                   std::to_string(httpPort_) + " " + std::to_string(smtpPort_) + " " + home_.dir +
                   " " + kPassword + " " + CORVEL_BIN_DIR + "/corvelreg",
               output);
  EXPECT_EQ(rc, 0) << output;
  EXPECT_TRUE(server_.Running());
}

TEST_F(WebConsoleTest, BrowserRunsTheConsole) {
  Configure(true, true);
  ASSERT_TRUE(server_.Start(home_.dir, httpPort_));
  // Screenshots outlive the home: under the test's output folder.
  std::string shots = std::string(CORVEL_BIN_DIR) + "/../web-screenshots";
  std::string output;
  int rc = Run(kScriptLimit + std::string(CORVEL_SOURCE_DIR) + "/tests/web/web_browser_test.py " +
                   std::to_string(httpPort_) + " " + std::to_string(smtpPort_) + " " + home_.dir +
                   " " + kPassword + " " + CORVEL_BIN_DIR + "/corvelreg " + shots,
               output);
  if (rc == 77) GTEST_SKIP() << output;
  EXPECT_EQ(rc, 0) << output;
  std::cout << output;
}

// With TLS on, the console speaks HTTPS only (TLS 1.2 and up, the server's own
// certificate), and its session cookie is Secure.
TEST_F(WebConsoleTest, WithTlsTheConsoleIsHttpsWithASecureCookie) {
  Configure(true, true);
  ASSERT_TRUE(server_.Start(home_.dir, httpPort_));
  std::string port = std::to_string(httpPort_);
  std::string script =
      "import http.client, json, ssl\n"
      "ctx = ssl.create_default_context()\n"
      "ctx.check_hostname = False\n"
      "ctx.verify_mode = ssl.CERT_NONE\n"
      "c = http.client.HTTPSConnection('127.0.0.1', " + port + ", context=ctx, timeout=10)\n"
      "c.request('POST', '/api/login', json.dumps({'password': '" + kPassword + "'}))\n"
      "r = c.getresponse(); r.read()\n"
      "print(r.status, c.sock.version())\n"
      "print(r.getheader('Set-Cookie').split(';', 1)[1].strip())\n"
      "c.request('GET', '/api/status', headers={'Cookie': r.getheader('Set-Cookie').split(';')[0]})\n"
      "r = c.getresponse(); print(r.status, json.loads(r.read())['product'])\n"
      "old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)\n"
      "old.check_hostname = False\n"
      "old.verify_mode = ssl.CERT_NONE\n"
      "old.maximum_version = ssl.TLSVersion.TLSv1_1\n"
      "try:\n"
      "  http.client.HTTPSConnection('127.0.0.1', " + port + ", context=old, timeout=10).request('GET', '/')\n"
      "  print('TLS 1.1 accepted')\n"
      "except (ssl.SSLError, OSError):\n"
      "  print('TLS 1.1 refused')\n"
      "try:\n"
      "  p = http.client.HTTPConnection('127.0.0.1', " + port + ", timeout=10)\n"
      "  p.request('GET', '/'); print('clear text', p.getresponse().status)\n"
      "except (http.client.HTTPException, OSError):\n"
      "  print('clear text refused')\n";
  std::string output;
  // Python warns that TLS 1.1 is deprecated: that is what is tried.
  EXPECT_EQ(Run("python3 -W ignore::DeprecationWarning -c \"" + script + "\"", output), 0) << output;
  EXPECT_EQ(output,
            "200 TLSv1.3\n"
            "Path=/; HttpOnly; SameSite=Strict; Secure\n"
            "200 Corvel95\n"
            "TLS 1.1 refused\n"
            "clear text refused\n");
  std::string log;
  ReadWholeFile(home_.dir + "maillog.txt", log);
  EXPECT_NE(log.find("Web console listening on https://127.0.0.1:" + port + "/"), std::string::npos)
      << log;

  // A new certificate and SIGUSR1: the console's next handshake presents it.
  std::string chain = home_.dir + "tls/cert.pem", key = home_.dir + "tls/key.pem", why;
  std::string before = NetTlsFingerprint(chain);
  ASSERT_TRUE(NetTlsMakeSelfSigned("renewed.example.com", chain, key, why)) << why;
  std::string after = NetTlsFingerprint(chain);
  ASSERT_NE(before, after);
  ASSERT_EQ(kill(server_.pid(), SIGUSR1), 0);
  for (int i = 0; i < 100 && log.find(after) == std::string::npos; ++i) {
    usleep(50000);
    ReadWholeFile(home_.dir + "maillog.txt", log);
  }
  ASSERT_NE(log.find("SHA-256 fingerprint " + after), std::string::npos) << log;
  std::string peer =
      "import hashlib, socket, ssl\n"
      "ctx = ssl.create_default_context()\n"
      "ctx.check_hostname = False\n"
      "ctx.verify_mode = ssl.CERT_NONE\n"
      "s = ctx.wrap_socket(socket.create_connection(('127.0.0.1', " + port + "), timeout=10))\n"
      "d = hashlib.sha256(s.getpeercert(binary_form=True)).digest()\n"
      "print(':'.join('%02X' % b for b in d))\n";
  ASSERT_EQ(Run("python3 -c \"" + peer + "\"", output), 0) << output;
  EXPECT_EQ(output, after + "\n");
}

TEST_F(WebConsoleTest, WithoutAPasswordTheConsoleDoesNotStart) {
  Configure(false);
  ASSERT_TRUE(server_.Start(home_.dir, smtpPort_)) << "the server itself runs";
  // SMTP listens before the console is tried: wait for its line.
  const std::string refusal =
      "Web console not started: no administrator password is set. Set one with: "
      "corveladm admin-password\r\n";
  std::string log;
  for (int i = 0; i < 100; ++i) {
    ReadWholeFile(home_.dir + "maillog.txt", log);
    if (log.find(refusal) != std::string::npos) break;
    usleep(50000);
  }
  EXPECT_NE(log.find(refusal), std::string::npos) << log;
  EXPECT_FALSE(PortAccepts(httpPort_));
}

TEST_F(WebConsoleTest, CorveladmSetsThePasswordTheConsoleTakes) {
  Configure(false);
  std::string output;
  std::string adm = std::string(CORVEL_BIN_DIR) + "/corveladm --home " + home_.dir;
  EXPECT_EQ(Run("echo short | " + adm + " admin-password", output), 1);
  EXPECT_EQ(output, "corveladm: admin-password: the password must have 8 to 256 characters\n");
  EXPECT_EQ(Run(adm + " admin-password extra </dev/null", output), 2) << output;
  ASSERT_EQ(Run("echo 'typed at the shell' | " + adm + " admin-password", output), 0) << output;
  std::string why;
  ASSERT_TRUE(RegOpenStore(home_.dir + "registry.db", why)) << why;
  EXPECT_TRUE(CheckAdminPassword("typed at the shell", ReadAdminPasswordHash()));
  RegCloseStore();
  ASSERT_TRUE(server_.Start(home_.dir, httpPort_));
  std::string script =
      "import http.client, json\n"
      "c = http.client.HTTPConnection('127.0.0.1', " + std::to_string(httpPort_) + ")\n"
      "c.request('POST', '/api/login', json.dumps({'password': 'typed at the shell'}))\n"
      "print(c.getresponse().status)\n";
  EXPECT_EQ(Run("python3 -c \"" + script + "\"", output), 0);
  EXPECT_EQ(output, "200\n");
}

}  // namespace
