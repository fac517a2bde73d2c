// The private-profile calls: Windows' reading rules, and writes that keep the
// other lines, end lines with CR LF and replace the file whole.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-profile-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
    file_ = dir_ + "old.ini";
  }
  void TearDown() override { (void)!system(("rm -rf '" + dir_ + "'").c_str()); }
  void Write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
  std::string Read() {
    std::string out;
    ReadWholeFile(file_, out);
    return out;
  }
  std::string Get(const char* section, const char* key, const char* def = "dflt", int size = 256) {
    std::vector<char> buf(size_t(size) + 1, '#');
    int n = GetPrivateProfileString(section, key, def, buf.data(), size, file_.c_str());
    return std::string(buf.data(), size_t(n));
  }
  std::string dir_, file_;
};

TEST_F(ProfileTest, ReadingRules) {
  Write("; a comment\n"
        "top=before any section\r\n"
        "[Mail]\r\n"
        "  Host = mail.example.org  \r\n"
        ";Host=commented\r\n"
        "host=second occurrence\r\n"
        "Quoted=\"  kept blanks  \"\n"
        "Single='x'\n"
        "Unbalanced=\"x'\n"
        "Empty=\n"
        "noequals line\n"
        "[ mail ]\n"
        "Host=second section\n"
        "Other=only here\n"
        "[Numbers]\n"
        "n=  42xyz\n"
        "neg=-17\n"
        "word=abc\n"
        "blank=\n");
  struct Case {
    const char* section;
    const char* key;
    const char* want;
  };
  const Case cases[] = {
      {"mail", "HOST", "mail.example.org"},      // case-insensitive, trimmed, first wins
      {"Mail", "Quoted", "  kept blanks  "},      // one pair of quotes goes
      {"Mail", "Single", "x"},
      {"Mail", "Unbalanced", "\"x'"},
      {"Mail", "Empty", ""},
      {"Mail", "Other", "dflt"},                  // the second [mail] is not read
      {"Mail", "noequals line", "dflt"},
      {"Mail", "top", "dflt"},
      {"Nowhere", "Host", "dflt"},
  };
  for (const Case& c : cases) EXPECT_EQ(Get(c.section, c.key), c.want) << c.section << "/" << c.key;
  EXPECT_EQ(Get("Mail", "Host", "d", 5), "mail");  // cut to size - 1
  EXPECT_EQ(Get("Mail", "Missing", "default   "), "default");  // the default loses trailing blanks

  // Listings: zero-separated with a final extra zero; duplicates once.
  std::vector<char> buf(256);
  int n = GetPrivateProfileString(nullptr, nullptr, "", buf.data(), 256, file_.c_str());
  EXPECT_EQ(std::string(buf.data(), size_t(n) + 1), std::string("Mail\0Numbers\0", 14));
  n = GetPrivateProfileString("MAIL", nullptr, "", buf.data(), 256, file_.c_str());
  EXPECT_EQ(std::string(buf.data(), size_t(n) + 1),
            std::string("Host\0Quoted\0Single\0Unbalanced\0Empty\0", 37));
  n = GetPrivateProfileString("Mail", nullptr, "", buf.data(), 8, file_.c_str());
  EXPECT_EQ(n, 6);  // cut, still ended by two zeros
  EXPECT_EQ(std::string(buf.data(), 8), std::string("Host\0Q\0\0", 8));
  EXPECT_EQ(ReadProfileKeyNames("numbers", file_), (std::vector<std::string>{"n", "neg", "word", "blank"}));

  EXPECT_EQ(GetPrivateProfileInt("Numbers", "n", 5, file_.c_str()), 42);
  EXPECT_EQ(GetPrivateProfileInt("Numbers", "neg", 5, file_.c_str()), -17);
  EXPECT_EQ(GetPrivateProfileInt("Numbers", "word", 5, file_.c_str()), 0);
  EXPECT_EQ(GetPrivateProfileInt("Numbers", "blank", 5, file_.c_str()), 5);
  EXPECT_EQ(GetPrivateProfileInt("Numbers", "absent", 5, file_.c_str()), 5);
  EXPECT_EQ(GetPrivateProfileInt("Numbers", "n", 5, (dir_ + "missing.ini").c_str()), 5);
}

TEST_F(ProfileTest, WritesKeepOtherLinesAndEndInCrLf) {
  Write("; header\n[One]\nA=1\n; note\nB=2\n\n[Two]\nC=3\n[one]\nA=hidden\n");
  ::chmod(file_.c_str(), 0600);
  const char* f = file_.c_str();
  ASSERT_TRUE(WritePrivateProfileString("ONE", "a", "changed", f));  // stored spelling kept
  ASSERT_TRUE(WritePrivateProfileString("One", "New", "x y", f));    // after the last line of [One]
  ASSERT_TRUE(WritePrivateProfileString("Two", "C", nullptr, f));    // key deleted
  ASSERT_TRUE(WritePrivateProfileString("Three", "D", "4", f));      // new section at the end
  EXPECT_EQ(Read(),
            "; header\r\n[One]\r\nA=changed\r\n; note\r\nB=2\r\nNew=x y\r\n\r\n[Two]\r\n[one]\r\n"
            "A=hidden\r\n\r\n[Three]\r\nD=4\r\n");
  ASSERT_TRUE(WritePrivateProfileString("one", nullptr, nullptr, f));  // every [one] goes
  EXPECT_EQ(Read(), "; header\r\n[Two]\r\n[Three]\r\nD=4\r\n");
  struct stat st;
  ASSERT_EQ(::stat(f, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the replacement keeps the permissions

  // Names and values that could not be read back as written are refused, and
  // the file is left alone.
  const char* bad[][2] = {{"Two", "K=ey"}, {"Two", "K\nX"}, {"Tw]o", "K"}, {"Two", "  "}};
  for (auto& b : bad) EXPECT_FALSE(WritePrivateProfileString(b[0], b[1], "v", f)) << b[0] << b[1];
  EXPECT_FALSE(WritePrivateProfileString("Two", "K", "line\r\nbreak", f));
  EXPECT_EQ(Read(), "; header\r\n[Two]\r\n[Three]\r\nD=4\r\n");
  EXPECT_EQ(ListFiles(dir_, "*").size(), 1u);  // no temporary left behind

  // A missing file is created.
  std::string fresh = dir_ + "fresh.ini";
  ASSERT_TRUE(WritePrivateProfileString("S", "K", "V", fresh.c_str()));
  std::string text;
  ReadWholeFile(fresh, text);
  EXPECT_EQ(text, "[S]\r\nK=V\r\n");
}

}  // namespace
