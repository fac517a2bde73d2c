// libbasekit32.so against its edge cases: the test links the shared library
// itself, so what is checked is what callers bind to.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "basekit/basekit32.h"

namespace {

class BasekitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-basekit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    ini_ = dir_ + "test.ini";
    std::ofstream(ini_, std::ios::binary)
        << "[Values]\r\n"
           "one=1   \r\n"
           "quotedone='1   '\r\n"
           "ten=10\r\n"
           "two=2\r\n"
           "yes=YES\r\n"
           "no=no\r\n"
           "big=500\r\n"
           "negative=-3\r\n"
           "rgb=255 128 0\r\n"
           "empty=\r\n"
           "long=   \t123456abc\r\n"
           "signed=-5\r\n"
           "wide=123456789012345678901234\r\n";
  }
  void TearDown() override { (void)!system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_, ini_;
};

TEST_F(BasekitTest, ProfileValuesFollowTheirRules) {
  struct Case {
    const char* what;
    long got;
    long want;
  };
  const char* f = ini_.c_str();
  const Case cases[] = {
      {"boolean '1   '", GetPrivateProfileBoolean("Values", "one", 7, f), 1},
      {"boolean quoted '1   '", GetPrivateProfileBoolean("Values", "quotedone", 7, f), 1},
      {"boolean '10'", GetPrivateProfileBoolean("Values", "ten", 7, f), 7},
      {"boolean '2'", GetPrivateProfileBoolean("Values", "two", 7, f), 7},
      {"boolean 'YES'", GetPrivateProfileBoolean("values", "YES", 7, f), 1},
      {"boolean 'no'", GetPrivateProfileBoolean("Values", "no", 7, f), 0},
      {"boolean missing", GetPrivateProfileBoolean("Values", "absent", 7, f), 7},
      {"int range 500 in 5..300", GetPrivateProfileIntRange("Values", "big", 60, 5, 300, f), 300},
      {"int range -3 in 5..300", GetPrivateProfileIntRange("Values", "negative", 60, 5, 300, f), 5},
      {"int range missing", GetPrivateProfileIntRange("Values", "absent", 60, 5, 300, f), 60},
      {"rgb '255 128 0'", long(GetPrivateProfileRgb("Values", "rgb", 0x123456, f)), 0x0080ff},
      {"rgb empty", long(GetPrivateProfileRgb("Values", "empty", 0x123456, f)), 0x123456},
      {"rgb missing", long(GetPrivateProfileRgb("Values", "absent", 0x123456, f)), 0x123456},
      {"long after blanks", GetPrivateProfileLong("Values", "long", 9, f), 123456},
      {"long with a sign", GetPrivateProfileLong("Values", "signed", 9, f), 9},
      {"long missing", GetPrivateProfileLong("Values", "absent", 9, f), 9},
      // Only 20 characters are read: 12345678901234567890 wraps in 32 bits.
      {"long of 24 digits", GetPrivateProfileLong("Values", "wide", 9, f),
       long(int32_t(uint32_t(12345678901234567890ull & 0xffffffffull)))},
      {"long range", GetPrivateProfileLongRange("Values", "long", 9, 0, 1000, f), 1000},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST_F(BasekitTest, ProfileWritesAndWinIni) {
  const char* f = ini_.c_str();
  ASSERT_EQ(WritePrivateProfileBoolean("New", "flag", 5, f), 1);
  ASSERT_EQ(WritePrivateProfileInt("New", "int", -42, f), 1);
  ASSERT_EQ(WritePrivateProfileLong("New", "long", 2147483647, f), 1);
  ASSERT_EQ(WritePrivateProfileRgb("New", "rgb", 0x0080ff, f), 1);
  ASSERT_EQ(WritePrivateProfileBoolean("Values", "no", 0, f), 1);
  std::ifstream in(ini_, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("no=False\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\n[New]\r\nflag=True\r\nint=-42\r\nlong=2147483647\r\nrgb=255 128 0\r\n"),
            std::string::npos)
      << text;
  // The calls without "Private" use <home>/win.ini. The library keeps its own
  // platform layer, so its home comes from $CORVEL_HOME (read at its first use,
  // which is here: the other tests name their files).
  setenv("CORVEL_HOME", dir_.c_str(), 1);
  ASSERT_EQ(WriteProfileInt("Desktop", "Width", 800), 1);
  EXPECT_EQ(GetProfileIntRange("desktop", "width", 0, 0, 10000), 800);
  EXPECT_EQ(GetProfileLong("Desktop", "Width", 0), 800);
  EXPECT_EQ(GetProfileBoolean("Desktop", "Missing", 1), 1);
  std::ifstream win(dir_ + "win.ini", std::ios::binary);
  std::string winText((std::istreambuf_iterator<char>(win)), std::istreambuf_iterator<char>());
  EXPECT_EQ(winText, "[Desktop]\r\nWidth=800\r\n");
}

// Every call has its own buffer: threads reading different values at once each
// get their own, never a neighbour's.
TEST_F(BasekitTest, ProfileReadsFromManyThreadsDoNotMix) {
  const char* f = ini_.c_str();
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        long want = t % 2 ? 123456 : 500;
        long got = GetPrivateProfileLong("Values", t % 2 ? "long" : "big", 0, f);
        if (got != want) ++wrong[size_t(t)];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

TEST(Basekit, StringsAndNumbers) {
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  char* end = lstrncpy(buf, "abcdef", 3);
  EXPECT_EQ(end, buf + 3);
  EXPECT_EQ(std::string(buf, 4), "abcx");  // no NUL written
  end = lstrncpy(buf, "abcdef", 10);
  EXPECT_EQ(end, buf + 6);
  EXPECT_STREQ(buf, "abcdef");

  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(hstrncpy(buf, "abcdef", 2), buf);  // n + 2 characters, no NUL added
  EXPECT_EQ(std::string(buf, 5), "abcdx");
  EXPECT_EQ(hstrncpy(buf, "ab", 5), buf);  // up to and including the NUL
  EXPECT_STREQ(buf, "ab");

  struct Compare {
    const char* what;
    int got;
    int want;
  };
  const char* pct = "a%b!c";
  const char* dots = "a.b.c";
  const Compare cases[] = {
      {"lstrncmp abc abd 3", lstrncmp("abc", "abd", 3), 'd' - 'c'},
      {"lstrncmp abc abd 2", lstrncmp("abc", "abd", 2), 0},
      {"lstrncmp stops after the NUL", lstrncmp("ab", "ab", 10), 0},
      {"lstrncmp shorter first", lstrncmp("ab", "abc", 3), 'c'},
      {"lstrncmpi ABC abd 3", lstrncmpi("ABC", "abd", 3), 'd' - 'c'},
      {"lstrncmpi ABC abc", lstrncmpi("ABC", "abc", 3), 0},
      {"lstrncmpi n = 0", lstrncmpi("a", "b", 0), 0},
      {"lstrncmp signed characters", lstrncmp("\x80", "a", 1), 'a' - (-128)},
      {"hstrcmp usual sign", hstrcmp("abc", "abd"), 'c' - 'd'},
      {"hstrcmpi", hstrcmpi("HELLO", "hello"), 0},
      {"hstrlen", hstrlen("hello"), 5},
      {"hstrlen null", hstrlen(nullptr), 0},
      {"lmemcmp reversed sign", lmemcmp("\x01\x02", "\x01\xff", 2), 0xff - 0x02},
      {"hmemcmp usual sign", hmemcmp("\x01\x02", "\x01\xff", 2), 0x02 - 0xff},
      {"lmemcmp equal", lmemcmp("abc", "abc", 3), 0},
      {"lstrscan", int(lstrscan(pct, "!%") - pct), 1},
      {"lstrrscan", int(lstrrscan(dots, ".") - dots), 3},
      {"lstrchr", int(lstrchr(dots, 'b') - dots), 2},
      {"lstrrchr", int(lstrrchr(dots, 'b') - dots), 2},
      {"lstrchr empty", lstrchr("", 'a') == nullptr, 1},
      {"lstrchr NUL", lstrchr("abc", 0) == nullptr, 1},
      {"lstrscan none", lstrscan("abc", "xyz") == nullptr, 1},
      {"lstrend", int(lstrend(dots) - dots), 5},
      {"lstrend null", lstrend(nullptr) == nullptr, 1},
      {"bkAToI", bkAToI("123abc"), 123},
      {"bkAToI no sign", bkAToI("-5"), 0},
      {"bkAToI 16 bits", bkAToI("70000"), int16_t(70000 & 0xffff)},
  };
  for (const Compare& c : cases) EXPECT_EQ(c.got, c.want) << c.what;

  char chain[32];
  char* p = lstrecpy(chain, "abc");
  p = lstrecpy(p, "def");
  EXPECT_EQ(p, chain + 6);
  EXPECT_STREQ(chain, "abcdef");
  EXPECT_EQ(lstrecpy(nullptr, "x"), nullptr);
  EXPECT_EQ(hstrcpy(chain, "xyz"), chain);

  int32_t l = 0;
  const char* text = "4294967297x";
  EXPECT_EQ(bkAToLEx(text, 0, &l), text + 10);
  EXPECT_EQ(l, 1);  // 32-bit wrap
  int16_t s = 0;
  const char* shortText = "65537;";
  EXPECT_EQ(bkAToIEx(shortText, 0, &s), shortText + 5);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(bkAToIEx("12", 0, nullptr), nullptr);
  EXPECT_EQ(bkAToLEx(nullptr, 0, &l), nullptr);

  char mem[8] = "abcdefg";
  EXPECT_EQ(lmemset(mem, 'z', -1), nullptr);
  EXPECT_EQ(lmemset(mem, 'z', 0), mem);
  EXPECT_EQ(lmemset(mem, 'z', 2), mem);
  EXPECT_EQ(lmemmove(mem + 1, mem, 4), mem + 1);  // overlap
  EXPECT_STREQ(mem, "zzzcdfg");
}

TEST(Basekit, BuffersCarryTheirHandle) {
  char* p = static_cast<char*>(AllocateBuffer(100, 0x0040));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
  BkHandle h = GetAllocateBufferHandle(p);
  EXPECT_EQ(static_cast<char*>(GetAllocateBufferPointer(h)), p);
  EXPECT_EQ(static_cast<char*>(h) + 8, p);  // the header is pointer-sized
  std::strcpy(p, "kept");
  p = static_cast<char*>(ReAllocateBuffer(p, 100000, 0x0040));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "kept");
  EXPECT_EQ(p[99999], 0);
  EXPECT_EQ(FreeBuffer(p), nullptr);
  EXPECT_EQ(FreeBuffer(nullptr), nullptr);
  void* fresh = ReAllocateBuffer(nullptr, 10, 0);  // null behaves as AllocateBuffer
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(FreeBuffer(fresh), nullptr);
}

TEST(Basekit, ScrollingAndWindowHelpers) {
  struct Case {
    int position;
    uint32_t code;
    int wantResult;
    int wantPosition;
  };
  // min 0, max 100, line steps 1/2, page steps 10/20.
  const Case cases[] = {
      {0, 0, 0, 0},                 // line up at the top: nothing moves
      {50, 0, 1, 49},               // line up
      {50, 1, 1, 52},               // line down
      {50, 2, 1, 40},               // page up
      {95, 3, 1, 100},              // page down, clamped
      {50, 4 | (70u << 16), 1, 70}, // thumb position
      {50, 5 | (300u << 16), 1, 100},  // thumb track, clamped
      {50, 6, 1, 0},                // top
      {50, 7, 1, 100},              // bottom
      {50, 8, 0, 50},               // other codes keep the position
      {100, 7, 0, 100},
  };
  for (const Case& c : cases) {
    int pos = c.position;
    EXPECT_EQ(bkHandleScroll(nullptr, 0, &pos, 0, 100, 1, 2, 10, 20, c.code), c.wantResult)
        << c.position << " code " << c.code;
    EXPECT_EQ(pos, c.wantPosition) << c.position << " code " << c.code;
  }
  EXPECT_EQ(bkHandleScroll(nullptr, 0, nullptr, 0, 100, 1, 1, 1, 1, 1), 0);

  int dc = 0;
  BkRect rect{0, 0, 10, 10};
  EXPECT_EQ(bkPaintRecessedRect(&dc, &rect, 2, 1), 1);
  EXPECT_EQ(bkPaintRecessedRect(&dc, &rect, -1, 1), 0);
  EXPECT_EQ(bkPaintRecessedRect(&dc, nullptr, 2, 1), 0);
  EXPECT_EQ(bkPaintRecessedRect(nullptr, &rect, 2, 1), 0);
  EXPECT_EQ(bkPaint3DText(&dc, 1, 1, "x", 0, 0x7f7f7f), 1);
  EXPECT_EQ(bkEnableDlgItem(&dc, 100, 1), 0);  // no dialog item exists
  EXPECT_EQ(bkSetDlgItemFocus(&dc, 100), nullptr);
  EXPECT_EQ(bkNewYield(), 0);
  EXPECT_EQ(bkYieldEx(), 0);
}

// The library exports the names its callers bind to and nothing else.
TEST(Basekit, ExportsOnlyItsOwnNames) {
  std::string cmd = "nm -D --defined-only '" CORVEL_BIN_DIR "/../lib/libbasekit32.so'";
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(cmd.c_str(), "r"), pclose);
  ASSERT_TRUE(nm);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, nm.get())) {
    char addr[64], type[8], name[256];
    if (std::sscanf(line, "%63s %7s %255s", addr, type, name) == 3) exported.insert(name);
  }
  const std::set<std::string> want = {
      "WEP", "bkNewYield", "bkYield", "bkYieldEx", "bkCentreWindow", "bkSetMainWindowTitle",
      "bkVisibleDlgItem", "bkEnableDlgItem", "bkSetDlgItemFocus", "bkAToI", "bkAToIEx", "bkAToLEx",
      "GetPrivateProfileBoolean", "GetPrivateProfileIntRange", "GetPrivateProfileRgb",
      "GetProfileBoolean", "GetProfileIntRange", "GetProfileRgb", "WritePrivateProfileBoolean",
      "WritePrivateProfileInt", "WritePrivateProfileLong", "WritePrivateProfileRgb",
      "WriteProfileBoolean", "WriteProfileInt", "WriteProfileLong", "WriteProfileRgb",
      "GetProfileLong", "GetProfileLongRange", "GetPrivateProfileLong",
      "GetPrivateProfileLongRange", "lmemcpy", "lmemset", "lmemmove", "lmemcmp", "hmemset",
      "hmemmove", "hmemcmp", "lstrend", "lstrecpy", "hstrcpy", "hstrcmp", "hstrlen", "hstrcmpi",
      "lstrncpy", "lstrncmp", "lstrncmpi", "hstrncpy", "lstrchr", "lstrrscan", "lstrscan",
      "lstrrchr", "AllocateBuffer", "FreeBuffer", "ReAllocateBuffer", "GetAllocateBufferHandle",
      "GetAllocateBufferPointer", "bkPaintRecessedRect", "bkPaint3DText", "bkHandleScroll"};
  EXPECT_EQ(exported, want);
}

}  // namespace
