// The message builders: the three encodings against golden files, the failure
// words, and the text check.
#include <gtest/gtest.h>

#include <regex>

#include "server/core/log.h"
#include "server/responder/message_builders.h"
#include "tests/delivery/delivery_fixture.h"

namespace {

class BuildersTest : public DeliveryTest {
 protected:
  // Sends `path` to bob with `mode` and returns the committed file, the boundary's
  // tick count masked.
  std::string Reply(const std::string& path, FileMode mode, bool mime, std::string& answer) {
    FileReplyRequest r;
    r.recipient = "bob@remote.test";
    r.senderUser = "files";
    r.senderDomain = "mail.example.org";
    r.path = path;
    r.description = PathFileName(path);
    r.mode = mode;
    r.mime = mime;
    std::string committed;
    if (!SendFileReply(r, answer, &committed)) return "";
    return Masked(Read(committed));
  }
  // The boundary's tick count and the spool number in the Message-Id vary.
  static std::string Masked(const std::string& text) {
    std::string out = std::regex_replace(text, std::regex("=_[0-9]+==_"), "=_TICK==_");
    return std::regex_replace(out, std::regex("\\.[0-9a-f]{8}\\.wrm@"), ".NUMBER.wrm@");
  }
  static void ExpectGolden(const std::string& name, const std::string& actual) {
    std::string path = std::string(CORVEL_SOURCE_DIR) + "/tests/lists/golden/" + name;
    if (getenv("CORVEL_UPDATE_GOLDEN")) Write(path, actual);
    std::string expected;
    ASSERT_TRUE(ReadWholeFile(path, expected)) << "missing golden file " << path;
    EXPECT_EQ(expected, actual) << "golden file " << name;
  }
};

TEST_F(BuildersTest, EncodingsMatchGoldenFiles) {
  ServerSettings().productName = "Corvel95";
  ServerSettings().productVersion = "1.0";
  std::string text = dir_ + "notes.txt", four = dir_ + "four.bin", all = dir_ + "all.bin";
  Write(text, "first line\nsecond line\r\nthird\n\x1a");
  Write(four, std::string("\x00\xff\x41\x0a", 4));
  std::string every;
  for (int i = 0; i < 256; ++i) every += char(i);
  Write(all, every);
  std::string answer, out;
  out += Reply(text, FileMode::kAuto, true, answer) + "=====\r\n";
  out += Reply(text, FileMode::kPlain, false, answer) + "=====\r\n";
  out += Reply(four, FileMode::kUuencode, false, answer) + "=====\r\n";
  out += Reply(four, FileMode::kUuencode, true, answer) + "=====\r\n";
  out += Reply(four, FileMode::kAuto, true, answer) + "=====\r\n";
  out += Reply(all, FileMode::kBase64, false, answer) + "=====\r\n";
  out += Reply(all, FileMode::kUuencode, false, answer);
  EXPECT_EQ(answer, "");
  ExpectGolden("file_replies.txt", out);
}

TEST_F(BuildersTest, FailureWordsAndTextCheck) {
  std::string bin = dir_ + "tool.bin";
  Write(bin, std::string("MZ\x90\x00", 4));
  struct Case {
    std::string path, name;
    FileMode mode;
    const char* answer;
  } cases[] = {
      {bin, "", FileMode::kPlain,
       "Binary file '%s' needs wrapper.\r\nPlease use either 'mode=uuencode' or "
       "'mode=mimebinhex'.\r\n"},
      {dir_ + "missing.txt", "", FileMode::kAuto, "Error 2 opening file %s\r\n"},
      {dir_, "", FileMode::kAuto, "Error 5 opening file %s\r\n"},
      {"", "nosuch", FileMode::kAuto, "No file reference for 'nosuch'.\r\n"},
  };
  for (const Case& c : cases) {
    FileReplyRequest r;
    r.recipient = "bob@remote.test";
    r.senderUser = "files";
    r.senderDomain = "mail.example.org";
    r.config = "files";
    r.path = c.path;
    r.name = c.name;
    r.mode = c.mode;
    std::string answer;
    EXPECT_FALSE(SendFileReply(r, answer));
    EXPECT_EQ(answer, FormatText(c.answer, c.path.c_str())) << c.path;
  }
  EXPECT_TRUE(ListFiles(ServerSettings().incomingDirectory, "*").empty());

  struct TextCase {
    std::string head;
    bool binary;
  } checks[] = {{"plain\r\n\ttext\x1a", false}, {"caf\xc3\xa9", true}, {std::string("a\0b", 3), true},
                {"bell\a", true}, {std::string(600, 'a') + "\x01", false}};
  for (const TextCase& c : checks) EXPECT_EQ(LooksBinary(c.head), c.binary) << c.head;
}

TEST_F(BuildersTest, TextMessagesRefuseUnsafeRecipients) {
  EXPECT_FALSE(SendTextMessage("hi\r\n", "listserver", "mail.example.org", "a@b\r\nTo: c@d", "S"));
  EXPECT_TRUE(ListFiles(ServerSettings().incomingDirectory, "*").empty());
  std::string path;
  ASSERT_TRUE(SendTextMessage("hi\r\n", "listserver", "mail.example.org", "a@b.test",
                              "Two\r\nlines", &path));
  EXPECT_EQ(Masked(Read(path)),
            "From: listserver@mail.example.org\r\nOrigin: local\r\nTo: a@b.test\r\n\r\n"
            "From: listserver@mail.example.org\r\nTo: a@b.test\r\nSubject: Two  lines\r\n"
            "Auto-Submitted: auto-replied\r\nDate: Tue, 14 Nov 2023 22:13:20 UTC\r\n"
            "Message-Id: <20231114221320.NUMBER.wrm@mail.example.org>\r\n\r\nhi\r\n");
}

}  // namespace
