// A fresh home, registry, user directory and spool directories per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/accounts/accounts.h"
#include "server/spool/headers.h"

// The settings every delivery test runs with, below the home `dir` (ends in '/').
inline void ApplyTestSettings(const std::string& dir) {
  Settings& s = ServerSettings();
  s.homeDirectory = dir;
  s.localNode = "mail.example.org";
  s.localIp = "127.0.0.1";
  s.userDirectory = dir + "users/";
  s.incomingDirectory = dir + "in/";
  s.outgoingDirectory = dir + "out/";
  s.incomingAlias = "";
  s.outgoingAlias = "";
  s.softwareName = "Corvel95 V1.0";
  s.allowUnknown = false;
  s.forwardToSmarthost = false;
  s.limitRecipients = 50;
  s.useVelmontRouter = true;
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-delivery-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    std::string why;
    RegCloseStore();
    ASSERT_TRUE(RegOpenStore(dir_ + "registry.db", why)) << why;
    SetHomeDirectory(dir_);
    saved_ = ServerSettings();
    ApplyTestSettings(dir_);
    Settings& s = ServerSettings();
    for (const std::string* d : {&s.userDirectory, &s.incomingDirectory, &s.outgoingDirectory})
      ASSERT_TRUE(MakeDirectories(*d));
    SetMailClock(1700000000);
    SetWindowEchoToStdout(false);
    ASSERT_TRUE(LoadSecondaryDomains(why));  // the table is process-wide
    ClearWindowLog();  // Tue Nov 14 22:13:20 2023 UTC
  }
  void TearDown() override {
    SetMailClock(0);
    ServerSettings() = saved_;
    RegCloseStore();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static std::string Read(const std::string& path) {
    std::string out;
    ReadWholeFile(path, out);
    return out;
  }
  static void Write(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(fd.valid()) << path;
    ASSERT_TRUE(WriteAll(fd.get(), text.data(), text.size()));
  }
  std::string UserPath(const std::string& name) const {
    return ServerSettings().userDirectory + name + ".mbx";
  }

  std::string dir_;
  Settings saved_;
};
