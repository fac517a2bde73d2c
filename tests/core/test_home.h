// A temporary home directory with its own registry for one test.
#pragma once

#include <stdlib.h>

#include <string>

#include "platform/home.h"
#include "platform/registry.h"

struct TestHome {
  std::string dir;
  TestHome() {
    char tmpl[] = "/tmp/corvel-test-XXXXXX";
    dir = mkdtemp(tmpl);
    dir += '/';
    SetHomeDirectory(dir);
    std::string why;
    RegCloseStore();
    RegOpenStore(dir + "registry.db", why);
  }
  ~TestHome() {
    RegCloseStore();
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
};
