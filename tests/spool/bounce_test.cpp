// Rejection notices and notices: exact layout, the enclosure cut, directories.
#include "server/accounts/accounts.h"
#include "tests/spool/spool_fixture.h"

namespace {

class BounceTest : public SpoolTest {
 protected:
  std::string undelivered;

  void SetUp() override {
    SpoolTest::SetUp();
    std::string why;
    ASSERT_TRUE(WriteUserRecord("alice", "Alice Liddell", "/m/alice.mbx", "", "", "", why)) << why;
    undelivered = in + "0000abcd.in";
  }

  std::string Bounce(const std::string& recipient, const std::string& message,
                     bool incoming = true, std::string* whyOut = nullptr) {
    WriteFile(undelivered, message);
    BounceRequest r;
    r.recipient = recipient;
    r.reason = "Unable to send to user.";
    r.messagePath = undelivered;
    r.incoming = incoming;
    std::string path, why;
    if (!BounceMessage(r, Context(), path, why)) {
      if (whyOut) *whyOut = why;
      return "";
    }
    EXPECT_EQ(path.substr(path.size() - (incoming ? 3 : 4)), incoming ? ".in" : ".out");
    EXPECT_EQ(path.substr(0, (incoming ? in : out).size()), incoming ? in : out);
    return ReadFile(path);
  }

  // The bytes after the "Unsent message enclosed" line.
  static std::string Enclosure(const std::string& bounce) {
    const std::string marker = "------- Unsent message enclosed after this line -------\r\n";
    size_t at = bounce.find(marker);
    return at == std::string::npos ? "" : bounce.substr(at + marker.size());
  }
};

const char* kLocalStamp =
    "Received: by mail.example.com from localhost\r\n    (mail daemon,Corvel95 V1.0); "
    "Tue, 08 Dec 2026 04:37:24 UTC\r\n";

TEST_F(BounceTest, GoldenBounceToLocalUser) {
  std::string bounce = Bounce("alice@mail.example.com",
                              "From: alice@mail.example.com\r\nTo: nobody@nowhere.org\r\n\r\n"
                              "Received: by relay from x\r\n    (y); z\r\n"
                              "Subject: Lost\r\n\r\nThe body.\r\n");
  ExpectGolden("bounce.txt", bounce);
}

TEST_F(BounceTest, RemoteRecipientIsWrittenTwice) {
  std::string bounce = Bounce("alice@remote.org", "From: a\r\nTo: b\r\n\r\nx\r\n", false);
  EXPECT_NE(bounce.find("\r\nTo: alice@remote.org<alice@remote.org>\r\n"), std::string::npos);
}

TEST_F(BounceTest, EnclosureIsCutAtExactly8192Bytes) {
  std::string message;
  while (message.size() < 20000) message += "a line of the long message\r\n";
  std::string bounce = Bounce("alice", "From: a\r\nTo: b\r\n\r\n" + message);
  EXPECT_EQ(Enclosure(bounce), kLocalStamp + message.substr(0, 8192));

  bounce = Bounce("alice", "From: a\r\nTo: b\r\n\r\nshort\r\n");
  EXPECT_EQ(Enclosure(bounce), std::string(kLocalStamp) + "short\r\n");
  // The dashed line names 8192 whatever the enclosure's length.
  EXPECT_NE(bounce.find("\r\n\r\n-----------------First 8192 bytes of-------------------\r\n"),
            std::string::npos);
}

TEST_F(BounceTest, MessageWithLocalStampGetsNoSecond) {
  std::string message = std::string(kLocalStamp) + "Subject: x\r\n\r\nbody\r\n";
  std::string bounce = Bounce("alice", "From: a\r\nTo: b\r\n\r\n" + message);
  EXPECT_EQ(Enclosure(bounce), message);
}

TEST_F(BounceTest, EnvelopeWithoutEmptyLineIsEnclosedWhole) {
  std::string bounce = Bounce("alice", "From: a\r\nTo: b\r\nno end");
  EXPECT_EQ(Enclosure(bounce), std::string(kLocalStamp) + "From: a\r\nTo: b\r\nno end");
}

TEST_F(BounceTest, HandleHeldByTheCallerIsUsed) {
  WriteFile(undelivered, "From: a\r\nTo: b\r\n\r\nheld\r\n");
  UniqueFd held = SpoolOpenUpdate(undelivered);
  ASSERT_TRUE(held.valid());
  BounceRequest r;
  r.recipient = "root@mail.example.com";
  r.reason = "Unable to determine envelope for x.";
  r.messageHandle = held.get();
  std::string path, why;
  ASSERT_TRUE(BounceMessage(r, Context(), path, why)) << why;
  EXPECT_EQ(Enclosure(ReadFile(path)), std::string(kLocalStamp) + "held\r\n");
  // A path the caller holds opens as well: the bounce only reads.
  r.messageHandle = -1;
  r.messagePath = undelivered;
  r.messageOffset = 18;
  ASSERT_TRUE(BounceMessage(r, Context(), path, why)) << why;
  EXPECT_EQ(Enclosure(ReadFile(path)), std::string(kLocalStamp) + "held\r\n");
}

TEST_F(BounceTest, FailuresLeaveNothingBehind) {
  struct {
    const char* name;
    std::string recipient;
    std::string messagePath;
    std::string why;
  } cases[] = {
      {"missing message", "alice", in + "gone.in", "Error acquiring file handle for input file."},
      {"line break in recipient", "a\r\nTo: injected", undelivered, "Error generating rejection notice."},
      {"empty recipient", "", undelivered, "Error generating rejection notice."},
  };
  WriteFile(undelivered, "From: a\r\nTo: b\r\n\r\nx");
  for (const auto& c : cases) {
    BounceRequest r;
    r.recipient = c.recipient;
    r.reason = "r";
    r.messagePath = c.messagePath;
    std::string path, why;
    EXPECT_FALSE(BounceMessage(r, Context(), path, why)) << c.name;
    EXPECT_EQ(why, c.why) << c.name;
    EXPECT_EQ(QueueFiles(in).size(), 1u) << c.name;
  }
  MessageContext broken = Context();
  broken.incomingDir = dir + "missing/";
  BounceRequest r;
  r.recipient = "alice";
  r.messagePath = undelivered;
  std::string path, why;
  EXPECT_FALSE(BounceMessage(r, broken, path, why));
  EXPECT_EQ(why, "Error getting outgoing file handle for bounce file.");
}

TEST_F(BounceTest, GoldenNoticeToLocalUserGoesIncoming) {
  std::string path, why;
  ASSERT_TRUE(SendNotice("alice", "Receipt for received message",
                         "Your message to alice was delivered.", Context(), path, why))
      << why;
  EXPECT_EQ(path.substr(0, in.size()), in);
  EXPECT_EQ(path.substr(path.size() - 3), ".in");
  ExpectGolden("notice.txt", ReadFile(path));
}

TEST_F(BounceTest, NoticeToRemoteUserGoesOutgoing) {
  std::string path, why;
  ASSERT_TRUE(SendNotice("<bob@remote.org>", "Notice of partial message",
                         "Partial message from you received by node 'mail.example.com'.", Context(),
                         path, why))
      << why;
  EXPECT_EQ(path.substr(0, out.size()), out);
  EXPECT_EQ(path.substr(path.size() - 4), ".out");
  std::string notice = ReadFile(path);
  // A notice of ours: marked for signing on its way out.
  EXPECT_EQ(notice.substr(0, 66),
            "From: root@mail.example.com\r\nOrigin: local\r\nTo: bob@remote.org\r\n\r\n");
  EXPECT_EQ(notice.find("Received:"), std::string::npos);
  EXPECT_EQ(notice.find("Message-Id:"), std::string::npos);
}

TEST_F(BounceTest, NoticeDateIsCutToKeepTheHeaderWithin499) {
  std::string subject(400, 's');
  std::string path, why;
  ASSERT_TRUE(SendNotice("alice", subject, "t", Context(), path, why)) << why;
  std::string notice = ReadFile(path);
  size_t start = notice.find("\r\n\r\n") + 4;
  size_t dateEnd = notice.find("\r\n", notice.find("\r\nDate: ", start) + 2);
  EXPECT_EQ(dateEnd - start, 499u);
  EXPECT_EQ(notice.substr(dateEnd), "\r\n\r\nt\r\n");
}

TEST_F(BounceTest, NoticeRecipientThatDoesNotParseFails) {
  std::string path, why;
  EXPECT_FALSE(SendNotice("a@b@mail.example.com", "s", "t", Context(), path, why));
  EXPECT_FALSE(why.empty());
  EXPECT_TRUE(QueueFiles(in).empty());
  EXPECT_TRUE(QueueFiles(out).empty());
}

}  // namespace
