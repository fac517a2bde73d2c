// A fresh registry and home directory per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/home.h"
#include "platform/registry.h"
#include "server/core/config.h"

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string why;
    ASSERT_TRUE(RegOpenStore(dir_ + "/registry.db", why)) << why;
    SetHomeDirectory(dir_);
    saved_ = ServerSettings();
    ServerSettings().localNode = "mail.example.org";
    ServerSettings().userDirectory = dir_ + "/users/";
    ServerSettings().sysAccessDef = 19;
  }
  void TearDown() override {
    ServerSettings() = saved_;
    RegCloseStore();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // Stores a raw value in a domain's Users section.
  void PutRaw(const std::string& name, const std::string& text, const char* domain = nullptr) {
    ASSERT_TRUE(ConfigSetString("Users", name.c_str(), text.c_str(), domain));
  }
  std::string GetRaw(const std::string& name, const char* domain = nullptr) {
    return ConfigGetText("Users", name.c_str(), "", domain);
  }

  std::string dir_;
  Settings saved_;
};
