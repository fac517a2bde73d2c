// Shared pieces of the network layer tests: the fixture that starts and stops the
// layer, waiting with a deadline, and blocking client helpers.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "server/net/net.h"
#include "tests/net/echo_service.h"

// Polls `done` until it holds or `ms` pass. Returns its last value.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline int CountOpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n - 1;  // the directory stream itself
}

inline bool SendAllText(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += size_t(n);
  }
  return true;
}

// Reads until `want` bytes arrived, the peer closed, or the receive time-out.
inline std::string ReceiveBytes(int fd, size_t want) {
  std::string out;
  char buf[65536];
  while (out.size() < want) {
    ssize_t n = recv(fd, buf, std::min(sizeof buf, want - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

// Reads until the peer closes (or the receive time-out). `eof` tells which.
inline std::string ReceiveToEnd(int fd, bool* eof = nullptr) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, size_t(n));
      continue;
    }
    if (eof) *eof = n == 0;
    return out;
  }
}

// Reads one CR LF line (without it).
inline std::string ReceiveLine(int fd) {
  std::string out;
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    if (c == '\n') {
      if (!out.empty() && out.back() == '\r') out.pop_back();
      return out;
    }
    out += c;
  }
  return out + "<no line end>";
}

// Starts the layer for each test and checks it ends with no node left.
class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(NetStartup(why)) << why;
    ASSERT_EQ(NetCountNodes(), 0);
    EchoIdleSeconds() = 300;
    // No callbacks left over from another test.
    for (uint16_t service = kServiceSmtp; service <= kServiceRmcp; ++service)
      NetRegisterService(service, NetServiceCallbacks{});
  }
  void TearDown() override {
    NetShutdown();
    EXPECT_EQ(NetCountNodes(), 0);
  }
};
