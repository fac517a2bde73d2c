// The registry store: names without regard to case, the value types, trees,
// the text form, a foreign file left alone and writers in two processes.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace {

std::string MakeTempDir() {
  char tmpl[] = "/tmp/corvel-registry-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  return dir ? std::string(dir) : std::string();
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Each test gets a fresh store in its own directory.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/registry.db";
    std::string why;
    ASSERT_TRUE(RegOpenStore(path_, why)) << why;
  }
  void TearDown() override {
    RegCloseStore();
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!system(cmd.c_str());
  }
  std::string dir_;
  std::string path_;
};

TEST_F(RegistryTest, NamesMatchWithoutRegardToCaseAndKeepTheirCase) {
  ASSERT_TRUE(RegSetString("SOFTWARE\\Tollgrove\\Corvel\\Users\\alice", "FullName", "Alice A"));
  ASSERT_TRUE(RegSetString("software\\TOLLGROVE\\corvel\\users\\Bob", "fullname", "Bob B"));
  RegValue v;
  ASSERT_TRUE(RegQueryValue("Software\\Tollgrove\\Corvel\\Users\\Alice", "FULLNAME", v));
  EXPECT_EQ(RegDecodeSz(v.data), "Alice A");
  EXPECT_EQ(v.name, "FullName");
  // A rewrite under another case keeps the name as first written.
  ASSERT_TRUE(RegSetString("SOFTWARE\\Tollgrove\\Corvel\\Users\\ALICE", "FULLNAME", "Alice B"));
  std::vector<RegValue> values;
  ASSERT_TRUE(RegEnumValues("SOFTWARE\\Tollgrove\\Corvel\\Users\\alice", values));
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "FullName");
  EXPECT_EQ(RegDecodeSz(values[0].data), "Alice B");
  std::vector<std::string> keys;
  ASSERT_TRUE(RegEnumKeys("HKLM\\software\\tollgrove\\corvel\\users", keys));
  EXPECT_EQ(keys, (std::vector<std::string>{"alice", "Bob"}));
  ASSERT_TRUE(RegEnumKeys("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove", keys));
  EXPECT_EQ(keys, (std::vector<std::string>{"Corvel"}));
  ASSERT_TRUE(RegEnumKeys("", keys));
  EXPECT_EQ(keys, (std::vector<std::string>{"SOFTWARE"}));
}

TEST_F(RegistryTest, KeyPathsIgnorePrefixDoubledAndTrailingBackslashes) {
  ASSERT_TRUE(RegSetDword("HKEY_LOCAL_MACHINE\\A\\\\B\\", "n", 7));
  for (const char* form : {"A\\B", "hklm\\a\\b", "\\A\\B\\\\", "HKEY_LOCAL_MACHINE\\a\\b"}) {
    RegValue v;
    EXPECT_TRUE(RegQueryValue(form, "N", v)) << form;
  }
  EXPECT_TRUE(RegKeyExists("a"));
  EXPECT_TRUE(RegKeyExists("HKLM"));
  EXPECT_FALSE(RegKeyExists("A\\B\\C"));
  EXPECT_EQ(LastWinError(), kErrFileNotFound);
}

TEST_F(RegistryTest, EachTypeRoundTripsByteForByte) {
  const std::string binary("\x00\x01\xff\x7f\x00", 5);
  struct Case {
    const char* name;
    uint32_t type;
    std::string data;
  } cases[] = {
      {"Sz", kRegSz, RegEncodeSz("text with \"quotes\" and \xc3\xa9")},
      {"EmptySz", kRegSz, RegEncodeSz("")},
      {"Dword", kRegDword, RegEncodeDword(0xdeadbeef)},
      {"Multi", kRegMultiSz, RegEncodeMultiSz({"one", "two words", "\xe2\x82\xac"})},
      {"EmptyMulti", kRegMultiSz, RegEncodeMultiSz({})},
      {"Binary", kRegBinary, binary},
      {"EmptyBinary", kRegBinary, std::string()},
      {"", kRegSz, RegEncodeSz("the default value")},
  };
  for (const Case& c : cases) ASSERT_TRUE(RegSetValue("Types", c.name, c.type, c.data)) << c.name;
  for (const Case& c : cases) {
    RegValue v;
    ASSERT_TRUE(RegQueryValue("Types", c.name, v)) << c.name;
    EXPECT_EQ(v.type, c.type) << c.name;
    EXPECT_EQ(v.data, c.data) << c.name;
  }
  std::vector<RegValue> values;
  ASSERT_TRUE(RegEnumValues("Types", values));
  ASSERT_EQ(values.size(), std::size(cases));
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i].name, cases[i].name);
}

TEST(RegistryCodec, TypedFormsEncodeAsWindowsKeepsThem) {
  EXPECT_EQ(RegEncodeSz("ab"), std::string("ab\0", 3));
  EXPECT_EQ(RegEncodeDword(0x2a), std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(RegEncodeMultiSz({"a", "bc"}), std::string("a\0bc\0\0", 6));
  // An empty item would end the list early: it is left out.
  EXPECT_EQ(RegEncodeMultiSz({"a", "", "b"}), std::string("a\0b\0\0", 5));
  EXPECT_EQ(RegEncodeMultiSz({}), std::string("\0", 1));
  EXPECT_EQ(RegDecodeMultiSz(std::string("a\0bc\0\0", 6)), (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(RegDecodeMultiSz(std::string("a\0bc", 4)), (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(RegDecodeSz(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(RegDecodeSz("no zero"), "no zero");
  uint32_t v = 0;
  EXPECT_TRUE(RegDecodeDword(RegEncodeDword(0x80000001u), v));
  EXPECT_EQ(v, 0x80000001u);
  EXPECT_FALSE(RegDecodeDword("abc", v));
  EXPECT_FALSE(RegDecodeDword("abcde", v));
}

TEST_F(RegistryTest, DeleteKeyTreeTakesSubKeysAndValuesButNotNeighbours) {
  ASSERT_TRUE(RegSetString("Top\\Mid\\Leaf", "a", "1"));
  ASSERT_TRUE(RegSetString("Top\\Mid", "b", "2"));
  ASSERT_TRUE(RegSetString("Top\\Middle", "c", "3"));  // shares the prefix "Mid"
  ASSERT_TRUE(RegSetString("Top\\Mid]", "d", "4"));    // sorts just after "Mid\..."
  ASSERT_TRUE(RegDeleteKeyTree("top\\MID"));
  EXPECT_FALSE(RegKeyExists("Top\\Mid"));
  EXPECT_FALSE(RegKeyExists("Top\\Mid\\Leaf"));
  RegValue v;
  EXPECT_TRUE(RegQueryValue("Top\\Middle", "c", v));
  EXPECT_TRUE(RegQueryValue("Top\\Mid]", "d", v));
  std::vector<std::string> keys;
  ASSERT_TRUE(RegEnumKeys("Top", keys));
  EXPECT_EQ(keys, (std::vector<std::string>{"Mid]", "Middle"}));
  // Re-created, the key is empty: nothing of the old values came back.
  ASSERT_TRUE(RegCreateKey("Top\\Mid\\Leaf"));
  std::vector<RegValue> values;
  ASSERT_TRUE(RegEnumValues("Top\\Mid\\Leaf", values));
  EXPECT_TRUE(values.empty());
  EXPECT_FALSE(RegDeleteKeyTree("Top\\Missing"));
  EXPECT_EQ(LastWinError(), kErrFileNotFound);
  EXPECT_FALSE(RegDeleteKeyTree("HKEY_LOCAL_MACHINE"));
  EXPECT_TRUE(RegKeyExists("Top"));
}

TEST_F(RegistryTest, MissingThingsAreErrorTwo) {
  ASSERT_TRUE(RegCreateKey("K"));
  RegValue v;
  EXPECT_FALSE(RegQueryValue("K", "none", v));
  EXPECT_EQ(LastWinError(), kErrFileNotFound);
  EXPECT_FALSE(RegQueryValue("NoKey", "none", v));
  EXPECT_EQ(LastWinError(), kErrFileNotFound);
  EXPECT_FALSE(RegDeleteValue("K", "none"));
  EXPECT_EQ(LastWinError(), kErrFileNotFound);
  std::vector<std::string> keys;
  EXPECT_FALSE(RegEnumKeys("NoKey", keys));
  EXPECT_EQ(LastWinError(), kErrFileNotFound);
  ASSERT_TRUE(RegSetDword("K", "x", 1));
  EXPECT_TRUE(RegDeleteValue("k", "X"));
  EXPECT_FALSE(RegQueryValue("K", "x", v));
}

TEST_F(RegistryTest, NamesWithLineBreaksAreRefused) {
  EXPECT_FALSE(RegSetString("K", "bad\nname", "x"));
  EXPECT_EQ(LastWinError(), kErrInvalidName);
  EXPECT_FALSE(RegCreateKey(std::string("K\\bad\rkey")));
  EXPECT_EQ(LastWinError(), kErrInvalidName);
}

TEST_F(RegistryTest, ClosedStoreFailsEveryCall) {
  RegCloseStore();
  EXPECT_FALSE(RegStoreOpen());
  RegValue v;
  EXPECT_FALSE(RegQueryValue("K", "x", v));
  EXPECT_FALSE(RegSetDword("K", "x", 1));
  EXPECT_FALSE(RegCreateKey("K"));
  std::string why;
  ASSERT_TRUE(RegOpenStore(path_, why)) << why;
}

TEST_F(RegistryTest, ValuesSurviveReopening) {
  ASSERT_TRUE(RegSetMultiString("Keep", "List", {"a", "b"}));
  RegCloseStore();
  std::string why;
  ASSERT_TRUE(RegOpenStore(path_, why)) << why;
  RegValue v;
  ASSERT_TRUE(RegQueryValue("keep", "list", v));
  EXPECT_EQ(RegDecodeMultiSz(v.data), (std::vector<std::string>{"a", "b"}));
}

// A file that is not a registry is refused with its name and left exactly as it is.
TEST(RegistryOpen, ForeignFilesAreRefusedAndLeftIntact) {
  std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"text", "this is not a database\n"},
      {"short", "SQLite"},
      {"damaged header", std::string("SQLite format 3\0", 16) + std::string(4080, '\x55')},
  };
  for (const Case& c : cases) {
    std::string path = dir + "/foreign.db";
    WriteFileBytes(path, c.bytes);
    std::string why;
    EXPECT_FALSE(RegOpenStore(path, why)) << c.what;
    EXPECT_NE(why.find(path), std::string::npos) << c.what << ": " << why;
    EXPECT_FALSE(RegStoreOpen());
    EXPECT_EQ(ReadFileBytes(path), c.bytes) << c.what;
  }
  // A real SQLite database of someone else's: no table of ours is added. (The test
  // makes it with SQLite directly; nothing outside platform/ does otherwise.)
  std::string other = dir + "/other.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  {
    std::string before = ReadFileBytes(other);
    std::string why;
    EXPECT_FALSE(RegOpenStore(other, why));
    EXPECT_NE(why.find("not a Corvel registry"), std::string::npos) << why;
    EXPECT_EQ(ReadFileBytes(other), before);
  }
  std::string why;
  EXPECT_FALSE(RegOpenStore(dir + "/no/such/dir/registry.db", why));
  EXPECT_NE(why.find("no/such/dir"), std::string::npos) << why;
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

}  // namespace
