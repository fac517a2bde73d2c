// The router's custom step with the sample plug-in, in this process: what the
// plug-in is handed, what it may answer, and what the router makes of it.
#include "tests/delivery/router_fixture.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

class PluginRouterTest : public RouterTest {
 protected:
  void SetUp() override {
    RouterTest::SetUp();
    RouterHandlers().custom = HandleCustomMailbox;
    WritePluginSlots({SampleLibrary()});
    std::string why;
    ASSERT_TRUE(WriteCustomRecord("shop", "Shop", 1, "", why)) << why;
    for (const char* name : {"later", "mangle"})
      ASSERT_TRUE(WriteAliasRecord(name, "shop", "", why)) << why;
  }
  std::vector<SampleCall> Calls() {
    return ParseSampleLog(Read(ServerSettings().incomingDirectory + "sample-plugin.log"));
  }
  // The "Reason:" line of every bounce in bob's mailbox.
  std::vector<std::string> BounceReasons() {
    std::vector<std::string> reasons;
    std::string box = Read(UserPath("bob"));
    for (size_t p = box.find("\r\nReason: "); p != std::string::npos;
         p = box.find("\r\nReason: ", p + 1))
      reasons.push_back(box.substr(p + 10, box.find("\r\n", p + 10) - p - 10));
    return reasons;
  }
};

TEST_F(PluginRouterTest, PluginGetsTheMessageAndItsArguments) {
  const std::string message =
      "Message-Id: <m1>\r\nFrom: Bob Smith\r\n <bob@remote.example>\r\nSubject: order\r\n\r\n"
      "One widget, please.\r\n";
  std::string path = Spool("a.in", "bob@remote.example", {"shop@mail.example.org"}, message);
  const std::string envelope = "From: bob@remote.example\r\nTo: shop@mail.example.org\r\n\r\n";
  RunQueue();
  std::vector<SampleCall> calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  const Settings& s = ServerSettings();
  // The folded From: line's end became one blank beside the next line's own.
  EXPECT_EQ(calls[0].header,
            "call rcpt=shop@mail.example.org rcptSize=300 secondaryDomain= handled=1 readdress=0 "
            "reserved=0 err= errSize=160\ninDir=" + s.incomingDirectory + " outDir=" +
                s.outgoingDirectory + " config= accountsDomain= passThrough=0\n"
                "from=Bob Smith  <bob@remote.example> sender=bob@remote.example offset=" +
                std::to_string(envelope.size()) + " loads=1 calls=1\n");
  EXPECT_EQ(calls[0].bytes, message);
  EXPECT_EQ(calls[0].file, envelope + message);
  EXPECT_TRUE(QueueFiles().empty() || QueueFiles() == std::vector<std::string>{"sample-plugin.log"});
}

TEST_F(PluginRouterTest, SecondaryDomainAndEnvelopeSenderWithoutFromLine) {
  std::string why;
  ASSERT_GT(AddSecondaryDomain("Virtual", "virtual.example", why), 0) << why;
  ASSERT_TRUE(LoadSecondaryDomains(why)) << why;
  ASSERT_TRUE(WriteCustomRecord("shop", "Shop", 1, "virtual.example", why)) << why;
  Spool("b.in", "Carol <carol@remote.example>", {"shop@virtual.example"},
        "Message-Id: <m2>\r\nSubject: no sender line\r\n\r\nHi.\r\n");
  RunQueue();
  std::vector<SampleCall> calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  std::string h = calls[0].header;
  EXPECT_EQ(h.substr(0, h.find(" handled")),
            "call rcpt=shop@virtual.example rcptSize=300 secondaryDomain=virtual.example");
  EXPECT_NE(h.find(" accountsDomain=virtual.example "), std::string::npos) << h;
  EXPECT_NE(h.find("\nfrom=Carol <carol@remote.example> sender=carol@remote.example "),
            std::string::npos) << h;
  ASSERT_TRUE(LoadSecondaryDomains(why));
}

TEST_F(PluginRouterTest, BuffersFilledToTheEndAreCutAndABadAddressRefused) {
  Spool("e.in", "bob@mail.example.org", {"mangle@mail.example.org"}, Message("m5"));
  RunQueue();
  ASSERT_EQ(Calls().size(), 1u);
  // The error text is cut at the buffer's last byte and shown with its control
  // byte made visible; the address with a line break is refused.
  EXPECT_EQ(BounceReasons(), std::vector<std::string>{
                                 "\\x07" + std::string(158, 'E') +
                                 "Unable to execute custom function. Error with custom mailbox "
                                 "handling. Error processing special format."});
  EXPECT_EQ(QueueFiles(), std::vector<std::string>{"sample-plugin.log"});
  EXPECT_TRUE(Files("*", false).empty());
}

TEST_F(PluginRouterTest, UnhandledMessageWaitsAndIsHandedOverAgain) {
  Spool("f.in", "bob@mail.example.org", {"later@mail.example.org", "alice@mail.example.org"},
        Message("m6"));
  RunQueue();
  std::vector<std::string> waiting = Files("*.inr");
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(Index("alice").messages.size(), 1u);
  ResetRouterState();  // the next scan takes .inr files at once
  RunQueue();
  EXPECT_EQ(Files("*.inr"), waiting);
  std::vector<SampleCall> calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].bytes, calls[1].bytes);
  EXPECT_EQ(Index("alice").messages.size(), 1u);
  EXPECT_TRUE(BounceReasons().empty());
}

}  // namespace
