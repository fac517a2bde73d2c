// The library's tests call its exports as any program would. The registry the
// library opens is fixed at the process's first OpenUserDatabase, so every test
// of this process uses one directory and starts by emptying the registry in it;
// the test's own registry connection (the server code's) sets records up and
// reads them back.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "acctlib/acctlib.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"

// The process's test directory (ends in '/'), removed at exit.
inline const std::string& AcctlibTestDir() {
  struct Dir {
    std::string path;
    Dir() {
      char tmpl[] = "/tmp/corvel-acctlib-XXXXXX";
      path = std::string(mkdtemp(tmpl)) + "/";
      setenv("CORVEL_REGISTRY", (path + "registry.db").c_str(), 1);
    }
    ~Dir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
  };
  static Dir dir;
  return dir.path;
}

inline AccountInfo MakeInfo(uint16_t type, const std::string& name, const std::string& field) {
  AccountInfo info{};
  info.type = type;
  snprintf(info.name, sizeof info.name, "%s", name.c_str());
  snprintf(info.field, sizeof info.field, "%s", field.c_str());
  return info;
}
inline AccountInfo UserInfo(const std::string& name, const std::string& fullName,
                            const std::string& password, const std::string& mailbox,
                            const std::string& carbonCopy = "") {
  AccountInfo info = MakeInfo(ACCT_TYPE_USER, name, fullName);
  snprintf(info.u.user.password, sizeof info.u.user.password, "%s", password.c_str());
  snprintf(info.u.user.mailbox, sizeof info.u.user.mailbox, "%s", mailbox.c_str());
  snprintf(info.u.user.carbonCopy, sizeof info.u.user.carbonCopy, "%s", carbonCopy.c_str());
  return info;
}
inline AccountInfo ResponderInfo(const std::string& name, const std::string& title,
                                 const std::string& configuration) {
  AccountInfo info = MakeInfo(ACCT_TYPE_RESPONDER, name, title);
  snprintf(info.u.responder.configuration, sizeof info.u.responder.configuration, "%s",
           configuration.c_str());
  return info;
}
inline AccountInfo ListInfo(const std::string& name, const std::string& title,
                            const std::string& configuration, const std::string& owner) {
  AccountInfo info = MakeInfo(ACCT_TYPE_LIST, name, title);
  snprintf(info.u.list.configuration, sizeof info.u.list.configuration, "%s",
           configuration.c_str());
  snprintf(info.u.list.owner, sizeof info.u.list.owner, "%s", owner.c_str());
  return info;
}

class AcctlibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = AcctlibTestDir();
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(dir_ + "registry.db", why)) << why;
    RegDeleteKeyTree("SOFTWARE");
    ASSERT_TRUE(RegSetString(kRootKey, "LocalNode", "mail.example.org"));
    h_ = OpenUserDatabase();
    ASSERT_NE(h_, nullptr);
  }
  void TearDown() override {
    if (h_) CloseUserDatabase(h_);
    RegCloseStore();
  }
  uint32_t Err() { return GetLastUserError(h_); }
  // The stored record (any length); "" when missing.
  static std::string Raw(const std::string& name, const std::string& domain = "") {
    std::string record;
    ReadStoredRecord(name, domain, record);
    return record;
  }
  static void PutRaw(const std::string& name, const std::string& record,
                     const std::string& domain = "") {
    ASSERT_TRUE(ConfigSetString("Users", name.c_str(), record.c_str(),
                                domain.empty() ? nullptr : domain.c_str()));
  }
  // The whole registry as text: "nothing changed" is one comparison.
  static std::string Snapshot() {
    std::string out, why;
    RegExportText("", out, why);
    return out;
  }
  static std::string Scrambled(const std::string& key, const std::string& password) {
    std::string out;
    ScramblePassword(key, password, out);
    return out;
  }

  std::string dir_;
  AcctHandle* h_ = nullptr;
};
