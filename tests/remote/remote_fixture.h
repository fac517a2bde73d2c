// The real server for the remote services' tests: corvel95 on a fresh home with
// the accounts below, every port free and on `bind` (127.0.0.1 unless a test needs
// a fixed address), driven by Debian's finger client and the small Python clients
// of remote_clients.py. Nothing here talks to an address outside 127.0.0.0/8.
#pragma once

#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"

inline constexpr const char* kRemoteClients = CORVEL_SOURCE_DIR "/tests/remote/remote_clients.py";

class RemoteServerTest : public ::testing::Test {
 protected:
  // The configuration every test starts from; `sysAccess` selects the services.
  void WriteSettings(long sysAccess) {
    WriteLoopbackServerSettings(smtp_);
    RegSetString(kRootKey, "BindAddress", bind_.c_str());
    RegSetDword(kRootKey, "SysAccess", uint32_t(sysAccess));
    RegSetDword(kRootKey, "SysAccessDef", 0);
    RegSetDword(kRootKey, "SysOptPop", uint32_t(pop_));
    RegSetDword(kRootKey, "SysOptFngr", uint32_t(finger_));
    RegSetDword(kRootKey, "SysOptRmcp", uint32_t(rmcp_));
    RegSetDword(kRootKey, "SysOptPswd", uint32_t(password_));
    RegSetDword(kRootKey, "SysOptCtrl", uint32_t(control_));
  }
  // A user with password `password` ("" = none), access mask and finger file.
  void AddUser(const std::string& name, const std::string& userName, const std::string& password,
               uint32_t access, const std::string& fingerAddress = "",
               const std::string& fingerFile = "", const std::string& cc = "") {
    std::string scrambled, why;
    if (!password.empty()) {
      ASSERT_TRUE(ScramblePassword(name, password, scrambled));
    }
    ASSERT_TRUE(WriteUserRecord(name, userName, Box(name), scrambled, cc, "", why)) << why;
    UserExtra extra{access, fingerAddress, fingerFile};
    ASSERT_TRUE(WriteUserExtra(name, extra, "", why)) << why;
  }
  void Start() {
    RegCloseStore();
    ASSERT_TRUE(server_.Start(home_.dir, smtp_, {}, bind_.c_str())) << Read(home_.dir + "out.txt");
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) system(("cat " + home_.dir + "maillog.txt").c_str());
  }

  std::string Box(const std::string& user) const { return home_.dir + user + ".mbx"; }
  static std::string Read(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
  }
  void WriteFile(const std::string& path, const std::string& text) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(WriteAll(fd.get(), text.data(), text.size()));
  }
  // The standard output of a shell command.
  static std::string Run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return "<popen failed>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
  }
  std::string Client(const std::string& args) {
    return Run("python3 " + std::string(kRemoteClients) + " " + args);
  }
  // A value of the account key as corvelreg shows it.
  std::string RegGet(const std::string& section, const std::string& value) {
    return Run(std::string(CORVEL_BIN_DIR) + "/corvelreg --home " + home_.dir + " get '" +
               kRootKey + "\\" + section + "' '" + value + "'");
  }
  void RegSet(const std::string& value, const std::string& type, const std::string& data) {
    Run(std::string(CORVEL_BIN_DIR) + "/corvelreg --home " + home_.dir + " set '" + kRootKey +
        "' '" + value + "' " + type + " '" + data + "'");
  }
  std::string Log() { return Read(home_.dir + "maillog.txt"); }
  // Sends one message with smtplib; true when accepted.
  bool Smtplib(const std::string& from, const std::vector<std::string>& to) {
    std::string list;
    for (const std::string& t : to) list += "'" + t + "',";
    std::string script = "import smtplib\ns = smtplib.SMTP('" + bind_ + "', " +
                         std::to_string(smtp_) + ", timeout=20)\nr = s.sendmail('" + from +
                         "', [" + list + "], b'Subject: hi\\r\\n\\r\\nhello\\r\\n')\ns.quit()\n"
                         "raise SystemExit(1 if r else 0)\n";
    WriteFile(home_.dir + "send.py", script);
    return system(("python3 " + home_.dir + "send.py").c_str()) == 0;
  }

  TestHome home_;
  std::string bind_ = "127.0.0.1";
  int smtp_ = FreeLoopbackPort(), pop_ = FreeLoopbackPort(), finger_ = FreeLoopbackPort();
  int rmcp_ = FreeLoopbackPort(), password_ = FreeLoopbackPort(), control_ = FreeLoopbackPort();
  ServerProcess server_;
};

// Counts the occurrences of `what` in `text`.
inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}
