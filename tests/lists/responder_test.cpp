// Auto-responders through the real server: requests sent with smtplib and swaks,
// the files decoded back to their bytes by Python, the responses compared whole,
// and the loops that must never go round.
#include <gtest/gtest.h>

#include "tests/lists/list_server_fixture.h"

namespace {

class ResponderTest : public ListServerTest {
 protected:
  std::string Configuration() override {
    std::string every;
    for (int i = 0; i < 256; ++i) every += char(i);
    WriteFile("four.bin", std::string("\x00\xff\x41\x0a", 4));
    WriteFile("all.bin", every);
    WriteFile("notes.txt", "first line\nsecond\n");
    for (const char* f : {"first", "a", "b", "last"}) WriteFile(std::string(f) + ".txt", f);
    WriteFile("default.txt", "Nothing asked for; here is the default.\n");
    std::string k = std::string(kCorvelKey) + "\\ListsAndResponders\\";
    return "[" + std::string(kCorvelKey) + "]\r\n\"DontSendPosArs\"=dword:00000001\r\n\r\n" +
           UserRecords({"alice", "carol"}) +
           "[" + std::string(kCorvelKey) + "\\Users]\r\n"
           "\"files\"=\"r;File desk;files\"\r\n\"auto\"=\"r;Auto desk;auto\"\r\n"
           "\"copier\"=\"r;Copier;\"\r\n\r\n"
           "[" + k + "files\\Files]\r\n\"four\"=\"" + Path("four.bin") + "\"\r\n\"all\"=\"" +
           Path("all.bin") + "\"\r\n\"text\"=\"" + Path("notes.txt") + "\"\r\n\r\n"
           "[" + k + "auto\\Configuration]\r\n\"SendOnRequest\"=dword:00000000\r\n\r\n"
           "[" + k + "auto\\Files]\r\n\"last\"=\"last.txt\"\r\n\"a\"=\"a.txt\"\r\n"
           "\"first\"=\"first.txt\"\r\n\"b\"=\"b.txt\"\r\n\r\n"
           "[" + k + "copier\\Configuration]\r\n\"CopyToUser\"=dword:00000001\r\n"
           "\"CopiedUser\"=\"carol\"\r\n\"AllowArListing\"=\"no\"\r\n"
           "\"DoAutoResponseLog\"=\"1\"\r\n\"AutoResponseLog\"=\"copier.log\"\r\n"
           "\"SendAsAttachment\"=dword:00000000\r\n\r\n"
           "[" + k + "copier\\Files]\r\n\"default\"=\"default.txt\"\r\n\r\n";
  }
};

TEST_F(ResponderTest, FilesInEveryModeListHelpEndDefaultCopyAndLog) {
  Start();
  std::string every;
  for (int i = 0; i < 256; ++i) every += char(i);
  // On request: every mode and the failures; a bad mode word stops the rest.
  ASSERT_TRUE(Smtplib("alice@mail.example.org", "files@mail.example.org",
                      "Subject: request\r\n\r\nsend mode=base64 four\r\n  get mode=uuencode all\r\n"
                      "\r\nsend all\r\nsend mode=plain all\r\nsend mode=plain text\r\n"
                      "send mode=binhex text\r\nsend text\r\n"));
  ASSERT_TRUE(WaitMessages("alice", 5));
  // Only positive answers (DontSendPosArs): the files, no response.
  ASSERT_TRUE(Swaks("alice@mail.example.org", "files@mail.example.org",
                    "--body 'send text\nsend four\nend\nsend all'"));
  ASSERT_TRUE(WaitMessages("alice", 7));
  // Automatic mode: first, the others in their order, last; positive, so no response.
  ASSERT_TRUE(Swaks("alice@mail.example.org", "auto@mail.example.org", "--body 'anything'"));
  ASSERT_TRUE(WaitMessages("alice", 8));
  // No file asked for: the default one; the request copied to carol; the log.
  ASSERT_TRUE(Smtplib("Alice <alice@mail.example.org>", "copier@mail.example.org",
                      "From: Alice <alice@mail.example.org>\r\nSubject: q\r\n\r\nlist\r\n"));
  ASSERT_TRUE(WaitMessages("alice", 10));
  ASSERT_TRUE(WaitMessages("carol", 1));
  ASSERT_TRUE(WaitQueueEmpty());

  std::vector<std::string> decoded = Decoded("alice");
  std::vector<std::string> expected = {
      "File - four\t" + Hex(std::string("\x00\xff\x41\x0a", 4)),
      "File - all\t" + Hex(every),
      "File - all\t" + Hex(every),
      "File - text\t" + Hex("first line\r\nsecond\r\n"),
      "Information Response from files@mail.example.org\t",
      "File - text\t" + Hex("first line\r\nsecond\r\n"),
      "File - four\t" + Hex(std::string("\x00\xff\x41\x0a", 4)),
      "Response from Auto desk (auto@mail.example.org)\t" + Hex("first\r\na\r\nb\r\nlast"),
      "File - default\t" + Hex("Nothing asked for; here is the default.\r\n"),
      "Information Response from copier@mail.example.org\t",
  };
  ASSERT_EQ(decoded.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].back() == '\t') EXPECT_EQ(decoded[i].substr(0, expected[i].size()), expected[i]);
    else EXPECT_EQ(decoded[i], expected[i]) << i;
  }

  std::vector<std::string> box = Messages(Read(Box("alice")));
  ASSERT_EQ(box.size(), 10u);
  EXPECT_EQ(Normalized(box[4]),
            "From files@mail.example.org <date>\r\n"
            "Received: by mail.example.org from localhost\r\n    (router,Corvel95 V1.0); <date>\r\n"
            "From: \"File desk\" <files@mail.example.org>\r\n"
            "To: \"alice\" <alice@mail.example.org>\r\n"
            "Subject: Information Response from files@mail.example.org\r\n"
            "Auto-Submitted: auto-replied\r\n"
            "Date: <date>\r\n"
            "Message-Id: <id>\r\n"
            "\r\n"
            "Output Of Request Submitted to Corvel95 v2.2 Responder\r\n"
            "> send mode=base64 four\r\nFile for 'four' has been sent.\r\n"
            "> get mode=uuencode all\r\nFile for 'all' has been sent.\r\n"
            "> send all\r\nFile for 'all' has been sent.\r\n"
            "> send mode=plain all\r\nBinary file 'all' needs wrapper.\r\n"
            "Please use either 'mode=uuencode' or 'mode=mimebinhex'.\r\n"
            "> send mode=plain text\r\nFile for 'text' has been sent.\r\n"
            "> send mode=binhex text\r\nFile mode 'mode=binhex' not supported.\r\n"
            "\r\n---\r\nEnd of processing\r\n4 files sent\r\n\r\n"
            "For any problems, please contact postmaster@mail.example.org.\r\n");
  // The second request's files: base64 without MIME fields, the 4-byte file ends
  // with a group of two "=" and the "====" line.
  EXPECT_NE(box[6].find("Subject: File - four\r\nAuto-Submitted: auto-replied\r\n"
                        "Date: "), std::string::npos) << box[6];
  EXPECT_NE(box[6].find("\r\n\r\n\r\nAP9BCg==\r\n====\r\n"), std::string::npos) << box[6];
  // The default file with MIME fields (SendAsAttachment off); the response.
  EXPECT_NE(box[8].find("Mime-version: 1.0\r\nContent-type: text/plain; charset=us-ascii\r\n"),
            std::string::npos) << box[8];
  EXPECT_NE(Normalized(box[9]).find("Output Of Request Submitted to Corvel95 v2.2 Responder\r\n"
                                    "> list\r\nPermission denied to list files.\r\n\r\n---\r\n"
                                    "End of processing\r\n1 files sent\r\n"),
            std::string::npos) << box[9];
  // A name that is not offered, list, help, and an unknown word that stops the rest.
  ASSERT_TRUE(Smtplib("carol@mail.example.org", "files@mail.example.org",
                      "Subject: asking\r\n\r\nsend nosuch\r\nlist\r\nhelp\r\nfrobnicate\r\n"
                      "send text\r\n"));
  ASSERT_TRUE(WaitMessages("carol", 2));
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(MailboxMessages(Box("carol")), 2u);
  std::string asked = Messages(Read(Box("carol")))[1];
  EXPECT_EQ(asked.substr(asked.find("Output Of Request")),
            "Output Of Request Submitted to Corvel95 v2.2 Responder\r\n"
            "> send nosuch\r\nNo file reference for 'nosuch'.\r\n"
            "> list\r\nfour\r\nall\r\ntext\r\n"
            "> help\r\nCommands:\r\n'send <file>' - request file name <file>\r\n"
            "'get <file>' - request file name <file>\r\n"
            "'list' - request a list of all files for responder\r\n'help' - this text\r\n"
            "'end' - stop processing message\r\n"
            "> frobnicate\r\nUnknown command: 'frobnicate'.\r\n"
            "\r\n---\r\nEnd of processing\r\n0 files sent\r\n\r\n"
            "For any problems, please contact postmaster@mail.example.org.\r\n");
  std::string copy = Messages(Read(Box("carol")))[0];
  EXPECT_NE(copy.find("\r\nSubject: q\r\n"), std::string::npos) << copy;
  EXPECT_EQ(copy.substr(copy.size() - 10), "\r\n\r\nlist\r\n") << copy;
  std::string log = Read(Path("copier.log"));
  EXPECT_TRUE(std::regex_match(log, std::regex("copier,\"Alice\" <alice@mail.example.org>,"
                                               "[A-Z][a-z][a-z]\\. [0-9]{2} [A-Z][a-z][a-z] [0-9]{4} "
                                               "[0-9:]{8} [A-Z+0-9-]+,[0-9]{4}-[0-9]{2}-[0-9]{2} "
                                               "[0-9:]{8},Permission denied to list files\\.\r\n")))
      << log;
}

// Responders, lists and daemons that could answer each other.
class ResponderLoopTest : public ListServerTest {
 protected:
  std::string Configuration() override {
    std::string k = std::string(kCorvelKey) + "\\ListsAndResponders\\";
    return UserRecords({"alice", "owner1"}) + "[" + std::string(kCorvelKey) + "\\Users]\r\n"
           "\"r1\"=\"r;One;\"\r\n\"r2\"=\"r;Two;\"\r\n\"loop\"=\"l;Loop;loop;owner1\"\r\n"
           "\"fwd2\"=\"a;r2\"\r\n\"toroot\"=\"a;root\"\r\n\r\n"
           "[" + k + "loop\\Configuration]\r\n\"ListId\"=\"0001\"\r\n\"ClosedList\"=dword:0\r\n\r\n"
           "[" + k + "loop\\Users]\r\n\"NumUsers\"=dword:2\r\n\"ActualUsers\"=dword:2\r\n"
           "\"User1\"=\"r;r1@mail.example.org;;1;\"\r\n\"User2\"=\"r;alice;;1;\"\r\n\r\n";
  }
};

TEST_F(ResponderLoopTest, NoAnswerGoesRound) {
  Start();
  const std::string r1 = "r1@mail.example.org";
  // A local responder (also through an alias), a list, a mail daemon, messages
  // that are automatic answers themselves: none gets an answer.
  ASSERT_TRUE(Swaks("r2@mail.example.org", r1, "--body help"));
  ASSERT_TRUE(Swaks("x@remote.test", r1, "--header 'From: fwd2@mail.example.org' --body help"));
  ASSERT_TRUE(Swaks("x@remote.test", r1, "--header 'From: loop@mail.example.org' --body help"));
  ASSERT_TRUE(Swaks("x@remote.test", r1, "--header 'From: toroot@mail.example.org' --body help"));
  ASSERT_TRUE(Swaks("MAILER-DAEMON@remote.test", r1, "--body help"));
  ASSERT_TRUE(Swaks("<>", r1, "--header 'From: <>' --body help"));
  ASSERT_TRUE(Swaks("x@remote.test", r1, "--header 'Auto-Submitted: auto-replied' --body help"));
  ASSERT_TRUE(Swaks("x@remote.test", r1, "--header 'Precedence: junk' --body help"));
  // A request from alice is answered once; that answer, fed back from a remote
  // address, is not.
  ASSERT_TRUE(Swaks("alice@mail.example.org", r1, "--body help"));
  ASSERT_TRUE(WaitMessages("alice", 1));
  std::string answer = Messages(Read(Box("alice")))[0];
  answer = answer.substr(answer.find("\r\n") + 2);
  ASSERT_TRUE(Smtplib("x@remote.test", r1, answer));
  // A post to the list reaches r1, which answers the poster (alice) once.
  ASSERT_TRUE(Swaks("alice@mail.example.org", "loop@mail.example.org",
                    "--header 'Subject: news' --body 'hello everybody'"));
  ASSERT_TRUE(WaitMessages("alice", 3));
  SleepMs(2000);
  ASSERT_TRUE(WaitQueueEmpty(10000));
  std::vector<std::string> box = Messages(Read(Box("alice")));
  ASSERT_EQ(box.size(), 3u);
  EXPECT_NE(box[1].find("\r\nSubject: news\r\n"), std::string::npos);
  EXPECT_NE(box[2].find("> hello everybody\r\nUnknown command: 'hello'.\r\n"), std::string::npos)
      << box[2];
  EXPECT_TRUE(Spool("*.out").empty());
  EXPECT_EQ(MailboxMessages(Box("owner1")), 0u);
  EXPECT_EQ(MailboxMessages(Box("root")), 0u);
  for (const char* line :
       {"Cyclic routing between 'r2@mail.example.org' and 'r1'.  Stopped message cycling.",
        "Cyclic routing between 'loop@mail.example.org' and 'r1'.",
        "User root@mail.example.org aliased to root. Stopping.",  // From: toroot, canonical
        "User MAILER-DAEMON@remote.test is another mail-daemon.",
        "Not answering automatic message from 'x@remote.test' (Auto-Submitted: auto-replied).",
        "Not answering automatic message from 'x@remote.test' (Precedence: junk)."})
    EXPECT_TRUE(LogHas(line)) << line;
}

}  // namespace
