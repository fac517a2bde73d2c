// The registry store: names without regard to case, the value types, trees,
// the text form, a foreign file left alone and writers in two processes. The
// cases that exercise the store run against both stores: the SQLite file and a
// database of a throw-away PostgreSQL.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "tests/support/postgres.h"

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

enum class StoreKind { kSqlite, kPostgres };

// Each test gets a fresh store: a file in its own directory, or a database of its
// own.
class RegistryTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    std::string why;
    if (GetParam() == StoreKind::kSqlite) {
      path_ = dir_ + "/registry.db";
    } else {
      bool missing = false;
      cluster_ = SharedPostgres(why, missing);
      if (!cluster_ && missing) GTEST_SKIP() << kNoPostgres;
      ASSERT_NE(cluster_, nullptr) << why;
      path_ = cluster_->CreateDatabase(why);
      ASSERT_FALSE(path_.empty()) << why;
    }
    ASSERT_TRUE(RegOpenStore(path_, why)) << why;
  }
  void TearDown() override {
    RegCloseStore();
    if (cluster_ && !path_.empty()) cluster_->DropDatabase(path_);
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!system(cmd.c_str());
  }
  bool database() const { return GetParam() == StoreKind::kPostgres; }
  std::string dir_;
  std::string path_;  // the store's location
  PostgresCluster* cluster_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Stores, RegistryTest,
                         ::testing::Values(StoreKind::kSqlite, StoreKind::kPostgres),
                         [](const ::testing::TestParamInfo<StoreKind>& info) {
                           return info.param == StoreKind::kSqlite ? "Sqlite" : "Postgresql";
                         });

TEST_P(RegistryTest, NamesMatchWithoutRegardToCaseAndKeepTheirCase) {
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

TEST_P(RegistryTest, KeyPathsIgnorePrefixDoubledAndTrailingBackslashes) {
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

TEST_P(RegistryTest, EachTypeRoundTripsByteForByte) {
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

TEST_P(RegistryTest, DeleteKeyTreeTakesSubKeysAndValuesButNotNeighbours) {
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

TEST_P(RegistryTest, MissingThingsAreErrorTwo) {
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

TEST_P(RegistryTest, NamesWithLineBreaksAreRefused) {
  EXPECT_FALSE(RegSetString("K", "bad\nname", "x"));
  EXPECT_EQ(LastWinError(), kErrInvalidName);
  EXPECT_FALSE(RegCreateKey(std::string("K\\bad\rkey")));
  EXPECT_EQ(LastWinError(), kErrInvalidName);
}

TEST_P(RegistryTest, ClosedStoreFailsEveryCall) {
  RegCloseStore();
  EXPECT_FALSE(RegStoreOpen());
  RegValue v;
  EXPECT_FALSE(RegQueryValue("K", "x", v));
  EXPECT_FALSE(RegSetDword("K", "x", 1));
  EXPECT_FALSE(RegCreateKey("K"));
  std::string why;
  ASSERT_TRUE(RegOpenStore(path_, why)) << why;
}

TEST_P(RegistryTest, ValuesSurviveReopening) {
  ASSERT_TRUE(RegSetMultiString("Keep", "List", {"a", "b"}));
  RegCloseStore();
  std::string why;
  ASSERT_TRUE(RegOpenStore(path_, why)) << why;
  RegValue v;
  ASSERT_TRUE(RegQueryValue("keep", "list", v));
  EXPECT_EQ(RegDecodeMultiSz(v.data), (std::vector<std::string>{"a", "b"}));
}

// ---- the text form ----

// Every value of the tree below `key`, with its key path as stored: a snapshot to
// compare before and after a round trip.
void CollectTree(const std::string& key, std::vector<std::string>& out) {
  std::vector<RegValue> values;
  ASSERT_TRUE(RegEnumValues(key, values)) << key;
  out.push_back("[" + key + "]");
  for (const RegValue& v : values) {
    out.push_back(v.name + "|" + std::to_string(v.type) + "|" + v.data);
  }
  std::vector<std::string> keys;
  ASSERT_TRUE(RegEnumKeys(key, keys));
  for (const std::string& k : keys) CollectTree(key.empty() ? k : key + "\\" + k, out);
}

std::string Crlf(const std::string& lf) {
  std::string out;
  for (char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST_P(RegistryTest, TextRoundTripKeepsOddNamesAndDataExactly) {
  const std::string odd = "Odd \"Key\" = x \xc3\xa9\xff";
  const std::string key = "SOFTWARE\\" + odd + "\\Sub Key";
  struct Case {
    std::string name;
    uint32_t type;
    std::string data;
  } cases[] = {
      {"", kRegSz, RegEncodeSz("default")},
      {"quote\"back\\slash", kRegSz, RegEncodeSz("C:\\dir\\ \"q\" = ;x")},
      {"=equals= and spaces ", kRegSz, RegEncodeSz("")},
      {"ends with backslash\\", kRegSz, RegEncodeSz("ends with backslash\\")},
      {"@", kRegSz, RegEncodeSz("at sign name")},
      {"\xc3\xa9t\xc3\xa9 \xff\xfe", kRegSz, RegEncodeSz("caf\xc3\xa9 \x80\xff raw bytes")},
      {"line\tbreaks", kRegSz, RegEncodeSz("one\r\ntwo")},
      {"no terminator", kRegSz, std::string("abc")},
      {"inner zero", kRegSz, std::string("a\0b\0", 4)},
      {"multi", kRegMultiSz,
       RegEncodeMultiSz({"plain", "with \"quote\" and \\", "\xe2\x82\xac \xf0\x9f\x98\x80",
                         "bad utf8 \xc3 \xed\xa0\x80 \xf8", ";semi=colon"})},
      {"empty multi", kRegMultiSz, RegEncodeMultiSz({})},
      {"expand", kRegExpandSz, RegEncodeSz("%HOME%/x")},
      {"dword", kRegDword, RegEncodeDword(42)},
      {"dword max", kRegDword, RegEncodeDword(0xffffffffu)},
      {"short dword", kRegDword, std::string("\x01\x02", 2)},
      {"binary", kRegBinary, std::string(200, '\x5a') + std::string("\0\x01\xff", 3)},
      {"empty binary", kRegBinary, std::string()},
      {"none", kRegNone, std::string("\x00\x10", 2)},
  };
  for (const Case& c : cases) ASSERT_TRUE(RegSetValue(key, c.name, c.type, c.data)) << c.name;
  ASSERT_TRUE(RegCreateKey("SOFTWARE\\" + odd + "\\Empty [bracket]"));
  std::vector<std::string> before;
  CollectTree("", before);

  std::string text, why;
  ASSERT_TRUE(RegExportText("", text, why)) << why;
  ASSERT_TRUE(RegDeleteKeyTree("SOFTWARE"));
  ASSERT_TRUE(RegImportText(text, why)) << why;
  std::vector<std::string> after;
  CollectTree("", after);
  EXPECT_EQ(after, before);
  std::string again;
  ASSERT_TRUE(RegExportText("", again, why)) << why;
  EXPECT_EQ(again, text);
  // Every line ends with CR LF; no bare LF, no line longer than regedit writes.
  size_t pos = 0;
  while ((pos = text.find('\n', pos)) != std::string::npos) {
    ASSERT_GT(pos, 0u);
    EXPECT_EQ(text[pos - 1], '\r') << "at " << pos;
    ++pos;
  }
}

TEST_P(RegistryTest, ExportWritesTheWindowsForm) {
  ASSERT_TRUE(RegSetString("SOFTWARE\\Corvel", "", "def"));
  ASSERT_TRUE(RegSetString("SOFTWARE\\Corvel", "Path", "C:\\mail \"x\""));
  ASSERT_TRUE(RegSetDword("SOFTWARE\\Corvel", "Port", 42));
  ASSERT_TRUE(RegSetMultiString("SOFTWARE\\Corvel", "List", {"a", "\xc3\xa9"}));
  ASSERT_TRUE(RegSetValue("SOFTWARE\\Corvel", "Bin", kRegBinary, std::string("\x00\xff", 2)));
  ASSERT_TRUE(RegCreateKey("SOFTWARE\\Corvel\\Users\\alice"));
  std::string text, why;
  ASSERT_TRUE(RegExportText("hklm\\software\\corvel", text, why)) << why;
  EXPECT_EQ(text, Crlf("Windows Registry Editor Version 5.00\n"
                       "\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel]\n"
                       "@=\"def\"\n"
                       "\"Path\"=\"C:\\\\mail \\\"x\\\"\"\n"
                       "\"Port\"=dword:0000002a\n"
                       "\"List\"=hex(7):61,00,00,00,e9,00,00,00,00,00\n"
                       "\"Bin\"=hex:00,ff\n"
                       "\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel\\Users]\n"
                       "\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel\\Users\\alice]\n"
                       "\n"));
  EXPECT_FALSE(RegExportText("SOFTWARE\\Missing", text, why));
  EXPECT_NE(why.find("not found"), std::string::npos) << why;
}

TEST_P(RegistryTest, ImportReadsWhatWindowsWrites) {
  ASSERT_TRUE(RegSetString("SOFTWARE\\Corvel", "Gone", "x"));
  ASSERT_TRUE(RegSetString("SOFTWARE\\Old\\Deep", "v", "x"));
  std::string text = Crlf(
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; a comment\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverWas]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvel]\n"
      "\"Gone\"=-\n"
      "\"NotThere\"=-\n"
      "\"Domains\"=hex(7):65,00,78,00,61,00,6d,00,70,00,6c,00,65,00,2e,00,63,00,6f,00,\\\n"
      "  6d,00,00,00,6d,00,61,00,69,00,6c,00,2e,00,6f,00,72,00,67,00,00,00,00,00\n"
      "\"Count\"=dword:0000FFFF\n"
      "\"Home\"=hex(2):25,00,48,00,00,00\n"
      "  \"Indented\"=\"yes\"\n"
      "@=\"default\"\n");
  std::string why;
  ASSERT_TRUE(RegImportText(text, why)) << why;
  RegValue v;
  EXPECT_FALSE(RegQueryValue("SOFTWARE\\Corvel", "Gone", v));
  EXPECT_FALSE(RegKeyExists("SOFTWARE\\Old"));
  ASSERT_TRUE(RegQueryValue("SOFTWARE\\Corvel", "domains", v));
  EXPECT_EQ(v.type, uint32_t(kRegMultiSz));
  EXPECT_EQ(RegDecodeMultiSz(v.data), (std::vector<std::string>{"example.com", "mail.org"}));
  ASSERT_TRUE(RegQueryValue("SOFTWARE\\Corvel", "Count", v));
  uint32_t n = 0;
  EXPECT_TRUE(RegDecodeDword(v.data, n));
  EXPECT_EQ(n, 0xffffu);
  ASSERT_TRUE(RegQueryValue("SOFTWARE\\Corvel", "Home", v));
  EXPECT_EQ(v.type, uint32_t(kRegExpandSz));
  EXPECT_EQ(v.data, std::string("%H\0", 3));
  ASSERT_TRUE(RegQueryValue("SOFTWARE\\Corvel", "Indented", v));
  ASSERT_TRUE(RegQueryValue("SOFTWARE\\Corvel", "", v));
  EXPECT_EQ(RegDecodeSz(v.data), "default");

  // regedit saves UTF-16LE with a byte-order mark.
  std::string wide = "\xff\xfe";
  for (char c : Crlf("Windows Registry Editor Version 5.00\n\n[HKLM\\W]\n\"k\"=\"\xc3\xa9\"\n")) {
    if (uint8_t(c) == 0xc3) continue;  // é is one UTF-16 unit, 0x00e9
    wide += uint8_t(c) == 0xa9 ? '\xe9' : c;
    wide += '\0';
  }
  ASSERT_TRUE(RegImportText(wide, why)) << why;
  ASSERT_TRUE(RegQueryValue("W", "k", v));
  EXPECT_EQ(RegDecodeSz(v.data), "\xc3\xa9");
}

// A bad line anywhere fails the whole import with its line number, and nothing of
// the file is written, not even the lines before it.
TEST_P(RegistryTest, ImportRejectsBadLinesAndWritesNothing) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"REGEDIT4\n", "line 1: expected \"Windows Registry Editor Version 5.00\""},
      {"", "line 1: expected"},
      {"Windows Registry Editor Version 5.00\n\"v\"=\"x\"\n", "line 2: a value before any [key]"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=dword:123456789\n",
       "line 3: bad dword"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=dword:xyz\n", "line 3: bad dword"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=\"open\n", "line 3: unterminated"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=\"a\\nb\"\n",
       "line 3: unknown escape \\n"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=\"x\" trailing\n",
       "line 3: text after the closing quote"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"\n", "line 3: expected '='"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\nv=\"x\"\n", "line 3: expected a quoted"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=hex:01,zz\n",
       "line 3: bad hex byte \"zz\""},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=hex:01,\\\n  02,\\\n  0g\n",
       "line 5: bad hex byte \"0g\""},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=hex:01,02,\n",
       "line 3: the hex list ends with a comma"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=hex:01,\\\n",
       "line 3: the hex list continues past the end"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=hex(7):41,00,00\n",
       "line 3: odd number of bytes"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=hex(zz):00\n",
       "line 3: bad value type"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T]\n\"v\"=qword:1\n",
       "line 3: unknown value data"},
      {"Windows Registry Editor Version 5.00\n[HKLM\\T\n", "line 2: a key line must end with ']'"},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\T]\n",
       "line 2: only keys of HKEY_LOCAL_MACHINE"},
      {"Windows Registry Editor Version 5.00\n[HKLMX\\T]\n", "line 2: only keys of"},
      {"Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE]\n",
       "line 2: HKEY_LOCAL_MACHINE itself cannot be deleted"},
      {"Windows Registry Editor Version 5.00\n[-HKLM\\T]\n\"v\"=\"x\"\n",
       "line 3: a value under a deleted key"},
  };
  ASSERT_TRUE(RegSetString("Sentinel", "v", "kept"));
  for (const Case& c : cases) {
    // Valid lines follow so a partial import would show (not after a list that
    // runs on past the end: it would take them in).
    std::string full = c.text;
    if (std::string(c.why).find("continues") == std::string::npos)
      full += "[HKLM\\After]\n\"a\"=\"b\"\n";
    std::string why;
    EXPECT_FALSE(RegImportText(full, why)) << c.text;
    EXPECT_EQ(why.rfind(c.why, 0), 0u) << "got: " << why;
    EXPECT_FALSE(RegKeyExists("T")) << c.text;
    EXPECT_FALSE(RegKeyExists("After")) << c.text;
    RegValue v;
    EXPECT_TRUE(RegQueryValue("Sentinel", "v", v));
  }
  // Changes before the bad line are undone too: a deletion, a key and a value.
  std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "[-HKLM\\Sentinel]\r\n"
      "[HKLM\\New]\r\n"
      "\"x\"=\"y\"\r\n"
      "\"bad\"=dword:\r\n";
  std::string why;
  EXPECT_FALSE(RegImportText(text, why));
  EXPECT_EQ(why.rfind("line 5: bad dword", 0), 0u) << why;
  RegValue v;
  EXPECT_TRUE(RegQueryValue("Sentinel", "v", v));
  EXPECT_FALSE(RegKeyExists("New"));
}

// Damaged copies of a good file: each import either applies or fails naming a
// line, and a failed one leaves the store exactly as it was.
TEST_P(RegistryTest, DamagedFilesFailCleanly) {
  ASSERT_TRUE(RegSetString("SOFTWARE\\A", "s", "text \"q\" \\"));
  ASSERT_TRUE(RegSetMultiString("SOFTWARE\\A", "m", {"one", "two"}));
  ASSERT_TRUE(RegSetValue("SOFTWARE\\A\\B", "b", kRegBinary, std::string(100, '\x11')));
  ASSERT_TRUE(RegSetDword("SOFTWARE\\A\\B", "", 5));
  std::string good, why;
  ASSERT_TRUE(RegExportText("", good, why)) << why;
  ASSERT_TRUE(RegDeleteKeyTree("SOFTWARE"));
  ASSERT_TRUE(RegSetString("Sentinel", "v", "x"));
  const char kBytes[] = "[]\"\\=-,:@;\r\n x0(7)hexdword";
  unsigned seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    std::string text = good;
    for (int edits = 1 + int(next() % 3); edits > 0; --edits) {
      size_t at = 38 + next() % (text.size() - 38);  // past the header line
      switch (next() % 3) {
        case 0: text[at] = kBytes[next() % (sizeof kBytes - 1)]; break;
        case 1: text.erase(at, 1 + next() % 4); break;
        default: text.insert(at, 1, kBytes[next() % (sizeof kBytes - 1)]); break;
      }
    }
    std::string before, after;
    ASSERT_TRUE(RegExportText("", before, why));
    if (RegImportText(text, why)) continue;
    ++refused;
    EXPECT_EQ(why.rfind("line ", 0), 0u) << why;
    ASSERT_TRUE(RegExportText("", after, why));
    EXPECT_EQ(after, before) << "round " << round;
  }
  EXPECT_GT(refused, 100);  // the damage mostly lands where it must be noticed
}

// ---- writers at once ----

// Writes `count` distinct values, some in a key all writers share; false on any loss.
bool WriteMany(const std::string& tag, int count) {
  for (int i = 0; i < count; ++i) {
    std::string name = tag + "-" + std::to_string(i);
    if (!RegSetDword("Race\\Shared", name, uint32_t(i))) return false;
    if (!RegSetString("Race\\" + tag + "\\" + std::to_string(i % 7), name, name)) return false;
  }
  return true;
}

void ExpectAllWritten(const std::vector<std::string>& tags, int count) {
  std::vector<RegValue> shared;
  ASSERT_TRUE(RegEnumValues("Race\\Shared", shared));
  EXPECT_EQ(shared.size(), tags.size() * size_t(count));
  for (const std::string& tag : tags) {
    for (int i = 0; i < count; ++i) {
      std::string name = tag + "-" + std::to_string(i);
      RegValue v;
      uint32_t n = 0;
      ASSERT_TRUE(RegQueryValue("Race\\Shared", name, v)) << name;
      ASSERT_TRUE(RegDecodeDword(v.data, n));
      EXPECT_EQ(n, uint32_t(i));
      ASSERT_TRUE(RegQueryValue("Race\\" + tag + "\\" + std::to_string(i % 7), name, v)) << name;
      EXPECT_EQ(RegDecodeSz(v.data), name);
    }
  }
}

TEST_P(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kWrites = 500;
  RegCloseStore();  // open after the fork, never before
  int start[2];
  ASSERT_EQ(pipe(start), 0);  // closing the write end starts every writer at once
  std::vector<pid_t> children;
  for (const char* tag : {"child1", "child2"}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      std::string why;
      bool ok = RegOpenStore(path_, why);
      char c;
      while (read(start[0], &c, 1) > 0) {
      }
      ok = ok && WriteMany(tag, kWrites);
      RegCloseStore();
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(start[0]);
  std::string why;
  ASSERT_TRUE(RegOpenStore(path_, why)) << why;
  close(start[1]);
  EXPECT_TRUE(WriteMany("parent", kWrites));
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
  }
  ExpectAllWritten({"child1", "child2", "parent"}, kWrites);
}

// Reads the counter, adds one, writes it back: lost updates show as a short total.
bool IncrementInTransaction(int rounds, bool threadsToo) {
  for (int i = 0; i < rounds; ++i) {
    RegTransaction tx;
    RegValue v;
    uint32_t n = 0;
    if (RegQueryValue("Counter", "n", v) && !RegDecodeDword(v.data, n)) return false;
    if (threadsToo) std::this_thread::yield();  // invite the other writers in between
    if (!RegSetDword("Counter", "n", n + 1) || !tx.Commit()) return false;
  }
  return true;
}

TEST_P(RegistryTest, TransactionsJoinCommitOrRollBackWhole) {
  {
    RegTransaction tx;  // ends without Commit: both writes vanish
    ASSERT_TRUE(tx.ok());
    EXPECT_TRUE(RegSetString("Tx\\A", "v", "one"));
    EXPECT_TRUE(RegSetString("Tx\\B", "v", "two"));
  }
  EXPECT_FALSE(RegKeyExists("Tx\\A"));
  {
    RegTransaction tx;
    EXPECT_TRUE(RegSetString("Tx\\A", "v", "one"));
    {
      RegTransaction inner;  // joins; its Commit leaves the commit to the outer scope
      EXPECT_TRUE(RegSetString("Tx\\B", "v", "two"));
      EXPECT_TRUE(inner.Commit());
    }
    EXPECT_TRUE(tx.Commit());
  }
  EXPECT_TRUE(RegKeyExists("Tx\\A"));
  EXPECT_TRUE(RegKeyExists("Tx\\B"));
  {
    RegTransaction tx;
    EXPECT_TRUE(RegSetString("Tx\\C", "v", "three"));
    { RegTransaction inner; }  // a part that gave up dooms the whole
    EXPECT_FALSE(tx.Commit());
  }
  EXPECT_FALSE(RegKeyExists("Tx\\C"));
  EXPECT_TRUE(RegSetString("Tx\\D", "v", "after"));  // the store is usable again
}

TEST_P(RegistryTest, CheckThenWriteInATransactionIsOneStepAcrossProcessesAndThreads) {
  constexpr int kRounds = 150;
  RegCloseStore();  // open after the fork, never before
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string why;
    bool ok = RegOpenStore(path_, why) && IncrementInTransaction(kRounds, false);
    RegCloseStore();
    _exit(ok ? 0 : 1);
  }
  std::string why;
  ASSERT_TRUE(RegOpenStore(path_, why)) << why;
  std::atomic<int> failures{0};
  std::thread other([&] { failures += !IncrementInTransaction(kRounds, true); });
  failures += !IncrementInTransaction(kRounds, true);
  other.join();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(failures.load(), 0);
  RegValue v;
  uint32_t n = 0;
  ASSERT_TRUE(RegQueryValue("Counter", "n", v));
  ASSERT_TRUE(RegDecodeDword(v.data, n));
  EXPECT_EQ(n, uint32_t(3 * kRounds));
}

// A child of fork() never uses the connection it inherited (it is the parent's):
// the file must be opened after the fork or by a new program; a database takes a
// new connection of the child's own.
TEST_P(RegistryTest, ForkedChildNeverUsesTheParentsConnection) {
  ASSERT_TRUE(RegSetDword("K", "v", 1));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string why;
    bool refused = !RegStoreOpen() && !RegSetDword("K", "v", 2);
    bool ownConnection = RegOpenStore(path_, why) && RegSetDword("K", "child", 3);
    _exit(refused && ownConnection == database() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(RegSetDword("K", "v", 1));  // the parent's connection is untouched
  RegValue v;
  EXPECT_EQ(RegQueryValue("K", "child", v), database());
}

TEST_P(RegistryTest, ThreadsShareTheStore) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      std::string tag = "thread" + std::to_string(t);
      if (!WriteMany(tag, 200)) ++failures;
      RegValue v;
      for (int i = 0; i < 200; ++i) {
        if (!RegQueryValue("Race\\Shared", tag + "-" + std::to_string(i), v)) ++failures;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  ExpectAllWritten({"thread0", "thread1", "thread2", "thread3"}, 200);
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

TEST_P(RegistryTest, WalkAfterLastReadSkipsNothingWhenValuesGoAndCome) {
  const std::string key = "SOFTWARE\\Walk";
  for (int i = 1; i <= 10; ++i) ASSERT_TRUE(RegSetString(key, "v" + std::to_string(i), "x"));
  ASSERT_TRUE(RegSetString("SOFTWARE\\Other", "o", "x"));  // another key's value between
  ASSERT_TRUE(RegSetString(key, "v11", "x"));
  std::vector<std::string> seen;
  uint64_t cursor = 0;
  std::vector<RegValue> batch;
  while (RegEnumValuesAfter(key, cursor, 3, batch) && !batch.empty()) {
    EXPECT_LE(batch.size(), 3u);
    for (const RegValue& v : batch) {
      EXPECT_GT(v.order, cursor);
      seen.push_back(v.name);
      cursor = v.order;
    }
    // Mid-walk: a value already read and one not yet read go, a rewritten one keeps
    // its place, a new one comes last.
    if (seen.size() == 3) {
      ASSERT_TRUE(RegDeleteValue(key, "v2"));
      ASSERT_TRUE(RegDeleteValue(key, "v5"));
      ASSERT_TRUE(RegSetString(key, "v6", "rewritten"));
      ASSERT_TRUE(RegSetString(key, "v12", "x"));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"v1", "v2", "v3", "v4", "v6", "v7", "v8", "v9",
                                             "v10", "v11", "v12"}));
  RegValue one;
  ASSERT_TRUE(RegQueryValue(key, "V7", one));
  std::vector<RegValue> all;
  ASSERT_TRUE(RegEnumValues(key, all));
  ASSERT_EQ(all[4].name, "v7");
  EXPECT_EQ(one.order, all[4].order);
  EXPECT_FALSE(RegEnumValuesAfter("SOFTWARE\\NoSuchKey", 0, 5, batch));
  EXPECT_EQ(LastWinError(), 2);
}

TEST(RegistryOpen, OpenExistingNeverCreatesARegistry) {
  std::string dir = MakeTempDir();
  std::string why;
  std::string missing = dir + "/missing.db";
  EXPECT_FALSE(RegOpenExistingStore(missing, why));
  EXPECT_EQ(access(missing.c_str(), F_OK), -1);
  std::string empty = dir + "/empty.db";
  WriteFileBytes(empty, "");
  EXPECT_FALSE(RegOpenExistingStore(empty, why));
  EXPECT_NE(why.find("not a registry yet"), std::string::npos) << why;
  EXPECT_EQ(ReadFileBytes(empty), "");
  std::string real = dir + "/registry.db";
  ASSERT_TRUE(RegOpenStore(real, why)) << why;
  ASSERT_TRUE(RegSetString("K", "v", "text"));
  RegCloseStore();
  ASSERT_TRUE(RegOpenExistingStore(real, why)) << why;
  RegValue v;
  EXPECT_TRUE(RegQueryValue("K", "v", v));
  RegCloseStore();
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

}  // namespace
