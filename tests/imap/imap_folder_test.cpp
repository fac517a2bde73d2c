// The folder state on its own: UIDs kept across appends and rewrites by key,
// a new UIDVALIDITY when the order cannot be trusted or the sidecar is lost or
// damaged, and message bounds without the separator and the end mark.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "platform/files.h"
#include "server/imap/imap.h"

namespace {

std::string Msg(const std::string& subject) {
  return "From bob@remote.test Fri Dec  4 10:00:00 2026\r\nSubject: " + subject + "\r\n\r\n" +
         subject + " body\r\n";
}
std::string Box(const std::vector<std::string>& subjects) {
  std::string all;
  for (size_t i = 0; i < subjects.size(); ++i) all += (i ? "\r\n" : "") + Msg(subjects[i]) + "\r\n";
  return all;
}

class ImapFolderTest : public ::testing::Test {
 protected:
  std::string dir, path;
  void SetUp() override {
    char tmpl[] = "/tmp/corvel-imapf-XXXXXX";
    dir = mkdtemp(tmpl);
    path = dir + "/alice.mbx";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  // Replaces the mailbox by a new file (as a rewrite does) or appends to it.
  void Write(const std::string& text, bool replace = true) {
    std::string target = replace ? path + ".new" : path;
    std::ofstream out(target, std::ios::binary | (replace ? std::ios::trunc : std::ios::app));
    out << text;
    out.close();
    if (replace) {
      ASSERT_EQ(rename(target.c_str(), path.c_str()), 0);
    }
  }
  // Syncs `f` with the file and returns its UIDs.
  std::vector<uint32_t> Sync(ImapFolder& f) {
    bool missing = false;
    UniqueFd fd = OpenImapFolderFile(path, missing);
    std::string why;
    EXPECT_TRUE(SyncImapFolder(f, fd.get(), why)) << why;
    std::vector<uint32_t> uids;
    for (const ImapMessage& m : f.messages) uids.push_back(m.uid);
    return uids;
  }
  std::unique_ptr<ImapFolder> Fresh() {
    auto f = std::make_unique<ImapFolder>();
    f->path = path;
    f->indexPath = ImapIndexPath(path);
    return f;
  }
};

TEST_F(ImapFolderTest, UidsFollowTheMessagesThroughAppendsRewritesAndRestarts) {
  Write(Box({"a", "b", "c"}));
  auto f = Fresh();
  EXPECT_EQ(Sync(*f), (std::vector<uint32_t>{1, 2, 3}));
  uint32_t validity = f->uidValidity;
  ASSERT_NE(validity, 0u);
  // The message text: no separator line, no end mark.
  EXPECT_EQ(f->messages[1].textSize, (long long)(Msg("b").size() - Msg("b").find('\n') - 1));
  EXPECT_EQ(f->messages[2].textSize, f->messages[1].textSize);
  // An append: only the new message is new; the old last one keeps its size.
  Write("\r\n" + Msg("d") + "\r\n", false);
  EXPECT_EQ(Sync(*f), (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(f->messages[2].textSize, f->messages[1].textSize);
  // A rewrite without b (POP3 deleted it), and a restart that reads the sidecar.
  Write(Box({"a", "c", "d"}));
  EXPECT_EQ(Sync(*f), (std::vector<uint32_t>{1, 3, 4}));
  auto g = Fresh();
  Write(Box({"a", "c", "d", "e"}));
  EXPECT_EQ(Sync(*g), (std::vector<uint32_t>{1, 3, 4, 5}));
  EXPECT_EQ(g->uidValidity, validity);
  // Duplicates are told apart by their place.
  Write(Box({"a", "c", "d", "e", "e"}));
  EXPECT_EQ(Sync(*g), (std::vector<uint32_t>{1, 3, 4, 5, 6}));
  EXPECT_EQ(g->uidValidity, validity);
}

TEST_F(ImapFolderTest, UntrustworthyOrderOrALostOrDamagedSidecarChangesUidValidity) {
  Write(Box({"a", "b", "c"}));
  auto f = Fresh();
  Sync(*f);
  uint32_t v1 = f->uidValidity;
  // b moved before a: UIDs would not ascend.
  Write(Box({"b", "a", "c"}));
  EXPECT_EQ(Sync(*f), (std::vector<uint32_t>{1, 2, 3}));
  uint32_t v2 = f->uidValidity;
  EXPECT_GT(v2, v1);
  // A sidecar cut short is not trusted.
  std::string text;
  ASSERT_TRUE(ReadWholeFile(ImapIndexPath(path), text));
  std::ofstream(ImapIndexPath(path), std::ios::binary | std::ios::trunc)
      << text.substr(0, text.size() - 5);
  auto g = Fresh();
  Sync(*g);
  EXPECT_GT(g->uidValidity, v2);
  // Nor is a missing one.
  ASSERT_EQ(DeleteFileWin(ImapIndexPath(path)), 0);
  auto h = Fresh();
  EXPECT_EQ(Sync(*h), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_GT(h->uidValidity, g->uidValidity);
  // A mailbox that disappears leaves an empty folder with the same UIDVALIDITY.
  ASSERT_EQ(DeleteFileWin(path), 0);
  EXPECT_TRUE(Sync(*h).empty());
  Write(Box({"z"}));
  EXPECT_EQ(Sync(*h), (std::vector<uint32_t>{4}));
}

}  // namespace
