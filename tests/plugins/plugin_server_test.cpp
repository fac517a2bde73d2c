// Custom accounts through the real server: corvel95 with the sample plug-in in
// its slots, mail sent with smtplib and swaks.
#include <algorithm>

#include "tests/core/test_home.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/plugins/plugin_fixture.h"
#include "tests/support/spool_files.h"

namespace {

constexpr uint32_t kWaitMs = 15000;

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class PluginServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteLoopbackServerSettings(port_);
    RegSetString(kRootKey, "SystemIncoming", (home_.dir + "in/").c_str());
    RegSetString(kRootKey, "SystemOutgoing", (home_.dir + "out/").c_str());
    std::string why;
    for (const char* u : {"alice", "bob"})
      ASSERT_TRUE(WriteUserRecord(u, u, Box(u), "", "", "", why)) << why;
    const struct {
      const char* name;
      int slot;
    } customs[] = {{"shop", 1},  {"fail", 1},     {"missing", 2},         {"nohandle", 3},
                   {"empty", 4}, {"infozero", 5}, {"noname", 6},          {"loop", 1},
                   {"readdress-alice", 1}};
    for (const auto& c : customs) ASSERT_TRUE(WriteCustomRecord(c.name, "Shop", c.slot, "", why));
    WritePluginSlots({SampleLibrary(), home_.dir + "missing.so", SampleLibrary("_nohandle"), "",
                      SampleLibrary("_info0"), SampleLibrary("_noname")});
    RegCloseStore();
    ASSERT_TRUE(server_.Start(home_.dir, port_)) << Read(home_.dir + "out.txt");
  }
  void TearDown() override {
    server_.Stop();
    if (HasFailure()) system(("cat " + home_.dir + "maillog.txt").c_str());
  }
  std::string Box(const std::string& user) const { return home_.dir + user + ".mbx"; }
  static std::string Read(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
  }
  bool Smtplib(const std::string& from, const std::vector<std::string>& to,
               const std::string& message) {
    std::string list;
    for (const std::string& t : to) list += "'" + t + "',";
    std::string script = "import smtplib\ns = smtplib.SMTP('127.0.0.1', " + std::to_string(port_) +
                         ", timeout=20)\nr = s.sendmail('" + from + "', [" + list + "], b'" +
                         message + "')\ns.quit()\nraise SystemExit(1 if r else 0)\n";
    UniqueFd fd(open((home_.dir + "send.py").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    WriteAll(fd.get(), script.data(), script.size());
    fd.reset();
    return system(("python3 " + home_.dir + "send.py").c_str()) == 0;
  }
  std::vector<SampleCall> WaitForCalls(size_t n) {
    std::vector<SampleCall> calls;
    for (uint32_t start = GetTickCount32(); TickElapsed(GetTickCount32(), start) < kWaitMs;) {
      calls = ParseSampleLog(Read(home_.dir + "in/sample-plugin.log"));
      if (calls.size() >= n) break;
      SleepMs(50);
    }
    return calls;
  }
  // Messages still queued in either spool directory (the sample's record aside).
  std::vector<std::string> Queued() {
    std::vector<std::string> all;
    for (const char* d : {"in/", "out/"})
      for (const std::string& f : QueueFilesIn(home_.dir + d))
        if (f != "sample-plugin.log") all.push_back(d + f);
    return all;
  }
  bool WaitForEmptyQueues() {
    for (uint32_t start = GetTickCount32(); TickElapsed(GetTickCount32(), start) < kWaitMs;) {
      if (Queued().empty()) return true;
      SleepMs(50);
    }
    return false;
  }

  TestHome home_;
  int port_ = FreeLoopbackPort();
  ServerProcess server_;
};

TEST_F(PluginServerTest, EachMessageLoadsThePluginOnceWithItsSpoolFile) {
  ASSERT_TRUE(Smtplib("bob@mail.example.org", {"shop@mail.example.org"},
                      "From: Bob <bob@mail.example.org>\\r\\nSubject: order 1\\r\\n\\r\\nTwo, please.\\r\\n"));
  ASSERT_EQ(WaitForCalls(1).size(), 1u);
  std::string cmd = "swaks --silent 2 --server 127.0.0.1 --port " + std::to_string(port_) +
                    " --from alice@mail.example.org --to shop@mail.example.org"
                    " --header 'Subject: order 2' --body 'Three.' >/dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0);
  std::vector<SampleCall> calls = WaitForCalls(2);
  ASSERT_EQ(calls.size(), 2u);
  const struct {
    std::string sender, from, body;
  } want[] = {{"bob@mail.example.org", "\"Bob\" <bob@mail.example.org>", "Two, please.\r\n"},
              {"alice@mail.example.org", "alice@mail.example.org", "Three.\r\n"}};
  for (size_t i = 0; i < 2; ++i) {
    const SampleCall& c = calls[i];
    // The client is in RelayNetworks: the mark of mail we submitted follows From.
    std::string envelope =
        "From: " + want[i].sender + "\r\nOrigin: local\r\nTo: shop@mail.example.org\r\n\r\n";
    // The descriptor reads the spool file; from the offset on it is the message.
    EXPECT_EQ(c.file, envelope + c.bytes);
    EXPECT_EQ(c.bytes.rfind("Received: by mail.example.org from ", 0), 0u) << c.bytes;
    EXPECT_NE(c.bytes.find("\r\n\r\n" + want[i].body), std::string::npos) << c.bytes;
    EXPECT_EQ(c.header,
              "call rcpt=shop@mail.example.org rcptSize=300 secondaryDomain= handled=1 readdress=0 "
              "reserved=0 err= errSize=160\ninDir=" + home_.dir + "in/ outDir=" + home_.dir +
                  "out/ config= accountsDomain= passThrough=0\nfrom=" + want[i].from +
                  " sender=" + want[i].sender + " offset=" + std::to_string(envelope.size()) +
                  " loads=1 calls=1\n");
  }
  EXPECT_TRUE(WaitForEmptyQueues()) << Queued().size();
}

TEST_F(PluginServerTest, FailuresBounceWithTheirReasonsAndReaddressesArrive) {
  ASSERT_TRUE(Smtplib("bob@mail.example.org",
                      {"fail@mail.example.org", "missing@mail.example.org",
                       "nohandle@mail.example.org", "empty@mail.example.org",
                       "infozero@mail.example.org", "noname@mail.example.org",
                       "readdress-alice@mail.example.org", "loop@mail.example.org"},
                      "Subject: order 42\\r\\n\\r\\nSix.\\r\\n"));
  ASSERT_TRUE(WaitForMailboxMessages(Box("bob"), 7, kWaitMs));
  EXPECT_EQ(MailboxMessages(Box("alice")), 1u);
  std::string box = Read(Box("bob"));
  std::vector<std::string> reasons;
  for (size_t p = box.find("\r\nReason: "); p != std::string::npos; p = box.find("\r\nReason: ", p + 1))
    reasons.push_back(box.substr(p + 10, box.find("\r\n", p + 10) - p - 10));
  std::sort(reasons.begin(), reasons.end());
  const std::string tail = "Error with custom mailbox handling. Error processing special format.";
  EXPECT_EQ(reasons, (std::vector<std::string>{
                         "Sample refuses fail@mail.example.org.Unable to execute custom function. " + tail,
                         // A plug-in readdressing to its own account: the loop check ends it.
                         "Too many bounces have occured: 10, max = 9",
                         "Unable to ascertain name of custom Dll. " + tail,
                         "Unable to get address of custom function. " + tail,
                         "Unable to load custom DLL. " + tail,
                         "Unable to load custom DLL. " + tail,
                         "Unable to load custom DLL. " + tail,
                     }));
  // Each bounce encloses the message.
  EXPECT_EQ(CountOf(box, "------- Unsent message enclosed after this line -------\r\n"), 7u);
  EXPECT_EQ(CountOf(box, "\r\nSubject: order 42\r\n"), 7u);
  EXPECT_EQ(CountOf(box, "\r\n\r\nSix.\r\n"), 7u);
  EXPECT_EQ(MailboxMessages(Box("alice")), 1u);
  EXPECT_TRUE(WaitForEmptyQueues()) << Queued().size();
  // Calls: "fail", "readdress-alice", and "loop" until the check stopped it.
  EXPECT_EQ(ParseSampleLog(Read(home_.dir + "in/sample-plugin.log")).size(), 1u + 1u + 8u);
}

}  // namespace
