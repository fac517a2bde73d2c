// The list server through the real server: subscriptions by mail, members
// confirmed by a list administrator, options and listings, resource files, and
// hostile command lines. Answers and listings are read in the mailbox files,
// member records with corvelreg export.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/lists/list_server_fixture.h"

namespace {

const std::string kListServer = "listserver@mail.example.org";

class ListServerCommandsTest : public ListServerTest {
 protected:
  // Sends `lines` to listserver from `user` and waits for the mailbox to hold
  // `total` messages; returns the last one (the response) with dates masked.
  std::string Ask(const std::string& user, const std::string& lines, size_t total) {
    EXPECT_TRUE(Smtplib(user + "@mail.example.org", kListServer,
                        "From: " + user + "@mail.example.org\r\nSubject: commands\r\n\r\n" + lines))
        << lines;
    EXPECT_TRUE(WaitMessages(user, total)) << lines;
    std::vector<std::string> box = Messages(Read(Box(user)));
    return box.empty() ? "" : Normalized(box.back());
  }
  // The answers of a response: what follows the response's introduction line,
  // without the closing lines.
  static std::string Answers(const std::string& response) {
    const std::string intro = "Output Of Request Submitted to Corvel95 v2.2 Responder\r\n";
    size_t b = response.find(intro);
    size_t e = response.rfind("\r\n---\r\nEnd of processing\r\n");
    if (b == std::string::npos || e == std::string::npos) return "<no response>" + response;
    return response.substr(b + intro.size(), e - b - intro.size());
  }
  std::string Message(const std::string& user, size_t index) {
    std::vector<std::string> box = Messages(Read(Box(user)));
    return index < box.size() ? Normalized(box[index]) : "";
  }
  std::string ListKey(const std::string& list) const {
    return std::string(kCorvelKey) + "\\ListsAndResponders\\" + list;
  }
};

class SubscriptionTest : public ListServerCommandsTest {
 protected:
  std::string Configuration() override {
    WriteFile("welcome.txt", "Welcome aboard.\n");
    WriteFile("reject.txt", "This list takes no members.\n");
    return UserRecords({"alice", "carol", "dave", "owner1", "boss"}) + "[" +
           std::string(kCorvelKey) +
           "\\Users]\r\n\"news\"=\"l;News;news;owner1\"\r\n\"shut\"=\"l;Shut;shut;owner1\"\r\n"
           "\"club\"=\"l;Club;club;owner1\"\r\n\"nopw\"=\"l;No password;nopw;owner1\"\r\n\r\n" +
           ListText("news", "",
                    "\"ListId\"=\"0001\"\r\n\"SendWelcome\"=dword:1\r\n\"WelcomeFile\"=\"welcome.txt\"\r\n",
                    {}) +
           ListText("shut", "",
                    "\"ListId\"=\"0002\"\r\n\"ListAutoReject\"=dword:1\r\n"
                    "\"ListAutoRejectFile\"=\"reject.txt\"\r\n",
                    {}) +
           ListText("club", "",
                    "\"ListId\"=\"0003\"\r\n\"ModeratedAdd\"=dword:1\r\n\"ListSendMods\"=dword:1\r\n"
                    "\"AdminPassword\"=\"s3cret\"\r\n\"SendWelcome\"=dword:1\r\n"
                    "\"WelcomeFile\"=\"welcome.txt\"\r\n",
                    {"rz;boss@mail.example.org;The Boss;1;", "r;owner1@mail.example.org;;1;"}) +
           ListText("nopw", "", "\"ListId\"=\"0004\"\r\n", {"rz;boss@mail.example.org;;1;"});
  }
};

TEST_F(SubscriptionTest, SubscribeUnsubscribeTwiceWelcomeAutoRejectAndConfirmation) {
  Start();
  EXPECT_EQ(Answers(Ask("alice", "subscribe news Alice A.\r\nsubscribe news\r\nhelp\r\n", 2)),
            "> subscribe news Alice A.\r\nUser alice@mail.example.org added to list news\r\n"
            "Welcome file for 'news' has been sent.\r\n"
            "> subscribe news\r\nUser alice@mail.example.org already registered on list news.\r\n");
  std::string welcome = Message("alice", 0);
  EXPECT_NE(welcome.find("\r\nSubject: File - Welcome File\r\n"), std::string::npos) << welcome;
  EXPECT_EQ(welcome.substr(welcome.size() - 21), "\r\n\r\nWelcome aboard.\r\n");
  EXPECT_TRUE(std::regex_search(Export("ListsAndResponders\\news\\Users"),
                                std::regex("\"User1\"=\"r;alice@mail.example.org;Alice A\\.;[0-9]+;\"")));
  EXPECT_EQ(Answers(Ask("alice", "unsubscribe news\r\nunsubscribe news\r\n", 3)),
            "> unsubscribe news\r\nUser alice@mail.example.org removed from list news\r\n"
            "> unsubscribe news\r\nUser alice@mail.example.org was not able to be removed from "
            "list news\r\n");
  EXPECT_NE(Export("ListsAndResponders\\news\\Users").find("\"ActualUsers\"=dword:00000000"),
            std::string::npos);
  EXPECT_EQ(Answers(Ask("alice", "subscribe shut\r\n", 5)),
            "> subscribe shut\r\nMembership to list shut automatically rejected by owner.\r\n");
  EXPECT_NE(Message("alice", 3).find("\r\nSubject: File - Automatic rejection for list shut.\r\n"),
            std::string::npos);

  // Confirmation by mail: two subscriptions wait; an administrator approves one
  // and refuses the other.
  std::string pending = Answers(Ask("carol", "subscribe club Carol C\r\n", 1));
  EXPECT_NE(pending.find("forwarded to the owner of the list 'club' for approval."), std::string::npos);
  Ask("dave", "subscribe club\r\n", 1);
  ASSERT_TRUE(WaitMessages("owner1", 2));
  EXPECT_NE(Read(Box("owner1")).find("\r\nSubject: Member submitted to list club\r\n"),
            std::string::npos);
  EXPECT_EQ(Answers(Ask("boss", "admin club wrong\r\n", 1)),
            "> admin club wrong\r\nAdministrator access to list club denied.\r\n");
  // ADMIN and the password, the listing of pending members, approve, reject.
  EXPECT_EQ(Answers(Ask("boss",
                        "admin club s3cret\r\nshow club pusers\r\nshow club approve "
                        "carol@mail.example.org\r\nshow club reject dave@mail.example.org\r\nshow club\r\n",
                        3)),
            "> admin club s3cret\r\nAdministrator access to list club granted.\r\n"
            "> show club pusers\r\nPending users list for 'club' generated\r\n"
            "> show club approve carol@mail.example.org\r\nUser 'carol@mail.example.org' added to "
            "list 'club'.\r\n"
            "> show club reject dave@mail.example.org\r\nUser 'dave@mail.example.org' rejected from "
            "list 'club'.\r\n"
            "> show club\r\nUnable to find a subcommand for the show command.\r\n");
  std::string listing = Message("boss", 1);
  EXPECT_NE(listing.find("\r\nSubject: ADMIN: Pending members for club@mail.example.org\r\n"),
            std::string::npos);
  EXPECT_TRUE(std::regex_search(listing, std::regex("\r\n\r\ncarol@mail\\.example\\.org;Carol C;[0-9]+;\r\n"
                                                    "dave@mail\\.example\\.org;;[0-9]+;\r\n\r\n"
                                                    "Number of members in pending list: 2\r\n$")))
      << listing;
  ASSERT_TRUE(WaitMessages("carol", 3));
  ASSERT_TRUE(WaitMessages("dave", 2));
  EXPECT_NE(Message("carol", 1).find("\r\nSubject: Submission for addition to list club accepted.\r\n"),
            std::string::npos);
  EXPECT_NE(Message("carol", 2).find("\r\nSubject: Welcome file for club\r\n"), std::string::npos);
  EXPECT_NE(Message("dave", 1).find("Submission to list club has been rejected by listowner."),
            std::string::npos);
  EXPECT_TRUE(std::regex_search(Export("ListsAndResponders\\club\\Users"),
                                std::regex("\"User3\"=\"r;carol@mail.example.org;Carol C;[0-9]+;\"")));
  // An empty AdminPassword opens nothing; neither does a member without ADMIN.
  EXPECT_EQ(Answers(Ask("boss", "admin nopw\r\n", 4)),
            "> admin nopw\r\nAdministrator access to list nopw denied.\r\n");
  EXPECT_EQ(Answers(Ask("owner1", "admin club s3cret\r\nshow club pusers\r\n", 3)),
            "> admin club s3cret\r\nAdministrator access to list club denied.\r\n");
  EXPECT_TRUE(LogHas("Admin to list nopw by boss@mail.example.org denied."));
}

class OptionsTest : public ListServerCommandsTest {
 protected:
  std::string Configuration() override {
    WriteFile("listrcrd.txt", "Send 'subscribe LIST' to join a list.\n");
    return UserRecords({"alice", "bob", "carol"}) + "[" + std::string(kCorvelKey) +
           "\\Users]\r\n\"team\"=\"l;The team;team;carol\"\r\n\"misc\"=\"l;Misc;misc;carol\"\r\n"
           "\"secret\"=\"l;Secret;secret;carol\"\r\n\r\n" +
           ListText("team", "", "\"ListId\"=\"0001\"\r\n\"ListDigested\"=dword:1\r\n\"AdminPassword\"=\"pw\"\r\n",
                    {"r;alice@mail.example.org;Alice;1;", "rc;bob@mail.example.org;Bob;1;",
                     "rz;carol@mail.example.org;Carol;1;"}) +
           ListText("misc", "", "\"ListId\"=\"0002\"\r\n", {"r;alice@mail.example.org;;1;"}) +
           ListText("secret", "", "\"ListId\"=\"0003\"\r\n\"ListVisibleToListServ\"=dword:0\r\n"
                                  "\"VisibleToListServ\"=dword:0\r\n",
                    {"r;alice@mail.example.org;;1;"}) +
           "[" + ListKey("team") + "\\ListStatistics]\r\n\"alice@mail.example.org\"=\"3;1200;1\"\r\n"
           "\"--GeneralStats--\"=\"5;2000;2\"\r\n\r\n";
  }
};

TEST_F(OptionsTest, SetQueryDefaultsReviewsStatisticsInfoSubsHelpEndAndUnknownWords) {
  Start();
  EXPECT_EQ(Answers(Ask("alice", "lset REPRO\r\n", 1)), "> lset REPRO\r\nUnable to access mailing list: \r\n");
  std::string answers = Answers(Ask("alice",
      "set team ACK\r\nquery team\r\ndefault list team\r\nlset NOREPRO\r\nlquery\r\n"
      "default DIGEST\r\nset misc DIGEST\r\nquery misc\r\nreview team\r\nstats team\r\n"
      "statistics team\r\ninfo\r\ninfo lists\r\nhelp\r\nsubs\r\nmreview team\r\nquery team\r\n",
      2 + 6));
  EXPECT_EQ(answers,
            "> set team ACK\r\nOption 'ACK' set for user 'alice@mail.example.org' on list 'team'.\r\n"
            "> query team\r\nOptions enabled for user alice@mail.example.org:\r\n    REPRO ACK \r\n"
            "> default list team\r\nCurrent default list set to 'team'.\r\n"
            "> lset NOREPRO\r\nOption 'NOREPRO' set for user 'alice@mail.example.org' on list 'team'.\r\n"
            "> lquery\r\nOptions enabled for user alice@mail.example.org:\r\n    ACK \r\n"
            "> default DIGEST\r\nDefault 'DIGEST' set for user 'alice@mail.example.org'.\r\n"
            "> set misc DIGEST\r\nDigests not activated for this list.\r\n"
            "> query misc\r\nOptions enabled for user alice@mail.example.org:\r\n    REPRO \r\n"
            "> review team\r\nMembership listing for team created.\r\n"
            "> stats team\r\nMembership listing for team created.\r\nStatus report for list 'team' generated.\r\n"
            "> statistics team\r\nMembership listing for team created.\r\nStatus report for list 'team' generated.\r\n"
            "> info\r\nGenerated command listing.\r\n"
            "> info lists\r\nMailing lists listing for mail.example.org created.\r\n"
            "> help\r\nGenerated command listing.\r\n"
            "> subs\r\nLists subscribed to on node mail.example.org:\r\nList: team, Address: The team\r\n"
            "List: misc, Address: Misc\r\nList: secret, Address: Secret\r\nend of list\r\n"
            "> mreview team\r\nmreview command available to list administrators only.\r\n");
  std::vector<std::string> box = Messages(Read(Box("alice")));
  ASSERT_EQ(box.size(), 8u);
  std::string review = Normalized(box[1]);
  EXPECT_EQ(review.substr(review.find("\r\n\r\n") + 4),
            "User 0000: alice@mail.example.org\r\nUser 0001: carol@mail.example.org\r\n\r\n"
            "Number of members in list: 3\r\nNumber of concealed members: 1\r\n");
  std::string stats = Normalized(box[2]);
  EXPECT_EQ(stats.substr(stats.find("\r\n\r\n") + 4),
            "#Msgs  Byte Count  Total Count  Member Name\r\n-----  ----------  -----------  ---------\r\n"
            "    3        1200            4  alice@mail.example.org\r\n"
            "    0           0            0  carol@mail.example.org\r\n"
            "\r\nTotal For List:\r\n    5        2000            7\r\n"
            "Number concealed users:     1\r\nNumber digested users:      1\r\n"
            "Number normal users:        1\r\n----------------------- -----\r\n"
            "Number of total users:      3\r\n");
  EXPECT_NE(stats.find("\r\nSubject: Statistics list for team@mail.example.org\r\n"), std::string::npos);
  EXPECT_EQ(stats.substr(stats.find("\r\n\r\n")), Normalized(box[3]).substr(Normalized(box[3]).find("\r\n\r\n")));
  EXPECT_NE(box[4].find("\r\nSubject: File - Command listing\r\n"), std::string::npos);
  EXPECT_NE(box[4].find("\r\n\r\nSend 'subscribe LIST' to join a list.\r\n"), std::string::npos);
  EXPECT_EQ(Normalized(box[6]), Normalized(box[4]));  // help sends the same listing
  std::string lists = Normalized(box[5]);
  EXPECT_EQ(lists.substr(lists.find("\r\n\r\n") + 4),
            "List: team, Description: The team\r\nList: misc, Description: Misc\r\n");
  EXPECT_NE(Read(Box("alice")).find("\r\nSubject: List of mailing lists for mail.example.org\r\n"),
            std::string::npos);

  // The administrator: mset and mquery, mreview with the concealed member and
  // the options; end stops, and so does an unknown word.
  answers = Answers(Ask("carol",
      "admin team pw\r\nmset team alice@mail.example.org NOACK\r\nmquery team bob@mail.example.org\r\n"
      "mreview team\r\nend\r\nhelp\r\n", 2));
  EXPECT_EQ(answers,
            "> admin team pw\r\nAdministrator access to list team granted.\r\n"
            "> mset team alice@mail.example.org NOACK\r\nOption 'NOACK' set for user "
            "'alice@mail.example.org' on list 'team'.\r\n"
            "> mquery team bob@mail.example.org\r\nOptions enabled for user bob@mail.example.org:\r\n"
            "    REPRO CONCEAL \r\n"
            "> mreview team\r\nMembership listing for team created.\r\n"
            "> end\r\nend of processing\r\n");
  std::string mreview = Message("carol", 0);
  EXPECT_EQ(mreview.substr(mreview.find("\r\n\r\n") + 4),
            "User 0000: alice@mail.example.org\tOptions enabled: DIGEST \r\n"
            "User 0001: bob@mail.example.org\tOptions enabled: REPRO CONCEAL \r\n"
            "User 0002: carol@mail.example.org\tOptions enabled: REPRO ADMIN \r\n\r\n"
            "Number of members in list: 3\r\nNumber of concealed members: 1\r\n");
  EXPECT_EQ(Answers(Ask("bob", "review secret\r\nfrobnicate\r\nhelp\r\n", 2)),
            "> review secret\r\nMembership listing for secret created.\r\n"
            "> frobnicate\r\nUnknown command: 'frobnicate'.\r\n");
  std::string concealed = Message("bob", 0);
  EXPECT_EQ(concealed.substr(concealed.find("\r\n\r\n") + 4),
            "List concealed by listowner's request.\r\n\r\n");
}

class ResourcesTest : public ListServerCommandsTest {
 protected:
  std::string Configuration() override {
    std::string every;
    for (int i = 0; i < 256; ++i) every += char(i);
    mkdir(Path("res").c_str(), 0755);
    mkdir(Path("res/sub").c_str(), 0755);
    WriteFile("res/index.txt", "The index.\n");
    WriteFile("res/all.bin", every);
    WriteFile("res/sub/b.txt", "In a subdirectory.\n");
    WriteFile("res/.hidden", "never\n");
    mkdir(Path("res/many").c_str(), 0755);
    for (int i = 0; i < 52; ++i) {
      char name[32];
      snprintf(name, sizeof name, "res/many/f%02d", i);
      WriteFile(name, std::string(name) + "\n");
    }
    WriteFile("secret.txt", "outside the resources\n");
    EXPECT_EQ(symlink(Path("secret.txt").c_str(), Path("res/evil.txt").c_str()), 0);
    EXPECT_EQ(symlink(home_.dir.c_str(), Path("res/up").c_str()), 0);
    return UserRecords({"alice", "bob", "carol"}) + "[" + std::string(kCorvelKey) +
           "\\Users]\r\n\"docs\"=\"l;Docs;docs;carol\"\r\n\r\n" +
           ListText("docs", "",
                    "\"ListId\"=\"0001\"\r\n\"ListAccessRights\"=\"res\"\r\n"
                    "\"ListAccessRightslist\"=\"2\"\r\n\"ListAccessRightsget\"=\"1;members only\"\r\n",
                    {"r;alice@mail.example.org;;1;"});
  }
};

TEST_F(ResourcesTest, ListGetIndexLevelsAndEscapesRefused) {
  Start();
  std::string every;
  for (int i = 0; i < 256; ++i) every += char(i);
  std::string answers = Answers(Ask("alice",
      "listres docs list\r\nlistres docs list sub/\r\nlistres docs get mode=base64 all.bin\r\n"
      "llistres get mode=uuencode all.bin\r\nlistres docs get all.bin\r\nlistres docs index\r\n"
      "listres docs get sub\\b.txt\r\nlistres docs get *\r\nlistres docs get ../secret.txt\r\n", 4));
  EXPECT_EQ(answers,
            "> listres docs list\r\nGenerated list of resources for list docs.\r\n"
            "> listres docs list sub/\r\nGenerated list of resources for list docs.\r\n"
            "> listres docs get mode=base64 all.bin\r\nSent resources for list docs, matching "
            "all.bin.\r\n1 matching items were sent.\r\n"
            "> llistres get mode=uuencode all.bin\r\nUnable to access mailing list: \r\n");
  std::vector<std::string> decoded = Decoded("alice");
  ASSERT_EQ(decoded.size(), 4u);
  EXPECT_EQ(decoded[2], "File - all.bin\t" + Hex(every));
  std::string listing = Message("alice", 0);
  EXPECT_NE(listing.find("\r\nSubject: Resource list for docs@mail.example.org\r\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(listing, std::regex(
      "\r\n\r\nFind Files Matching Pattern: \\*\r\n\r\nFileSize   LastWriteTime       FileName\r\n"
      "--------   -----------------   --------\r\n"
      "     256   [0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{8}   all\\.bin\r\n"
      "      11   [-0-9: ]{17}   index\\.txt\r\n"
      "    [ 0-9]{4}   [-0-9: ]{17}   \\[many\\]\r\n"
      "    [ 0-9]{4}   [-0-9: ]{17}   \\[sub\\]\r\n$"))) << listing;  // links out, .hidden: not shown
  EXPECT_NE(Message("alice", 1).find("Find Files Matching Pattern: sub/*\r\n"), std::string::npos);

  // With a default list: every mode, index, a backslash, "*" (the link that leads
  // out is skipped, hidden names too), and ".." refused with nothing sent.
  answers = Answers(Ask("alice",
      "default list docs\r\nllistres get mode=uuencode all.bin\r\nllistres get all.bin\r\n"
      "llistres index\r\nllistres get mode=plain index.txt\r\nllistres get sub\\b.txt\r\n"
      "llistres get *\r\nllistres get ../secret.txt\r\nllistres list\r\n", 4 + 8));
  EXPECT_EQ(answers,
            "> default list docs\r\nCurrent default list set to 'docs'.\r\n"
            "> llistres get mode=uuencode all.bin\r\nSent resources for list docs, matching "
            "all.bin.\r\n1 matching items were sent.\r\n"
            "> llistres get all.bin\r\nSent resources for list docs, matching all.bin.\r\n1 matching "
            "items were sent.\r\n"
            "> llistres index\r\nSent resources for list docs, matching index.txt.\r\n1 matching "
            "items were sent.\r\n"
            "> llistres get mode=plain index.txt\r\nSent resources for list docs, matching "
            "index.txt.\r\n1 matching items were sent.\r\n"
            "> llistres get sub\\b.txt\r\nSent resources for list docs, matching sub/b.txt.\r\n1 "
            "matching items were sent.\r\n"
            "> llistres get *\r\nSent resources for list docs, matching *.\r\n2 matching items were "
            "sent.\r\n"
            "> llistres get ../secret.txt\r\nIllegal file specifier character.\r\nError processing "
            "command llistres for list docs.\r\n");
  decoded = Decoded("alice");
  ASSERT_EQ(decoded.size(), 12u);
  EXPECT_EQ(decoded[4], "File - all.bin\t" + Hex(every));
  EXPECT_EQ(decoded[5], "File - all.bin\t" + Hex(every));
  EXPECT_EQ(decoded[6], "File - index.txt\t" + Hex("The index.\r\n"));
  EXPECT_EQ(decoded[7], "File - index.txt\t" + Hex("The index.\r\n"));
  EXPECT_EQ(decoded[8], "File - sub/b.txt\t" + Hex("In a subdirectory.\r\n"));
  EXPECT_EQ(decoded[9], "File - all.bin\t" + Hex(every));
  EXPECT_EQ(decoded[10], "File - index.txt\t" + Hex("The index.\r\n"));
  std::string box = Read(Box("alice"));
  EXPECT_EQ(box.find("outside the resources"), std::string::npos);
  EXPECT_EQ(box.find("never"), std::string::npos);

  // Levels: listing open to anyone, fetching to members; an absolute path and the
  // link out are refused for the member too; level 0 closes the listing.
  EXPECT_EQ(Answers(Ask("bob", "listres docs list\r\nlistres docs get index.txt\r\n", 2)),
            "> listres docs list\r\nGenerated list of resources for list docs.\r\n"
            "> listres docs get index.txt\r\nAccess to resources restricted to members.\r\n"
            "Access to list resources denied.\r\nError processing command listres for list docs.\r\n");
  EXPECT_EQ(Answers(Ask("alice", "listres docs get /etc/passwd\r\n", 13)),
            "> listres docs get /etc/passwd\r\nIllegal file specifier character.\r\nError processing "
            "command listres for list docs.\r\n");
  EXPECT_EQ(Answers(Ask("alice", "listres docs get evil.txt\r\nlistres docs get up/secret.txt\r\n", 14)),
            "> listres docs get evil.txt\r\nNo matching entries found.\r\nUnable to send resources "
            "for list docs, matching evil.txt.\r\n0 items were sent before error occured.\r\n"
            "Error processing command listres for list docs.\r\n");
  Set("ListsAndResponders\\docs\\Configuration", "ListAccessRightslist", "sz", "0");
  EXPECT_EQ(Answers(Ask("bob", "listres docs list\r\n", 3)),
            "> listres docs list\r\nNo access to resources permitted.\r\nAccess to list resources "
            "denied.\r\nError processing command listres for list docs.\r\n");
  Set("ListsAndResponders\\docs\\Configuration", "ListAccessRightslist", "sz", "7");
  EXPECT_EQ(Answers(Ask("bob", "listres docs list\r\n", 4)),
            "> listres docs list\r\nIllegal access type.\r\nAccess to list resources denied.\r\n"
            "Error processing command listres for list docs.\r\n");
  EXPECT_EQ(Answers(Ask("bob", "listres docs put x\r\n", 5)),
            "> listres docs put x\r\nCommand 'put' not currently implemented.\r\nError processing "
            "command listres for list docs.\r\n");

  // Plain text asked for a binary file: refused, nothing sent. A pattern of 52
  // files: 50 go out, the failure lines give the count.
  EXPECT_EQ(Answers(Ask("alice", "listres docs get mode=plain all.bin\r\n", 15)),
            "> listres docs get mode=plain all.bin\r\nBinary file 'all.bin' needs wrapper.\r\n"
            "Please use either 'mode=uuencode' or 'mode=mimebinhex'.\r\n"
            "Unable to send resources for list docs, matching all.bin.\r\n"
            "0 items were sent before error occured.\r\n"
            "Error processing command listres for list docs.\r\n");
  EXPECT_EQ(Answers(Ask("alice", "listres docs get many/*\r\nlistres docs list\r\n", 15 + 51)),
            "> listres docs get many/*\r\n"
            "File for 'many/f50' not sent: limit of 50 files per request reached.\r\n"
            "Unable to send resources for list docs, matching many/*.\r\n"
            "50 items were sent before error occured.\r\n"
            "Error processing command listres for list docs.\r\n");
  ASSERT_TRUE(WaitQueueEmpty());
  std::vector<std::string> files = Messages(Read(Box("alice")));
  ASSERT_EQ(files.size(), 15u + 51u);
  EXPECT_NE(files[15].find("\r\nSubject: File - many/f00\r\n"), std::string::npos) << files[15];
  EXPECT_NE(files[64].find("\r\nSubject: File - many/f49\r\n"), std::string::npos) << files[64];
}

// The list server of a secondary domain works on that domain's lists: a list of
// the same name in the primary domain is left alone.
class SecondaryDomainListServerTest : public ListServerCommandsTest {
 protected:
  std::string Configuration() override {
    std::string v = std::string(kCorvelKey) + "\\VirtualDomains";
    return UserRecords({"alice"}) + "[" + std::string(kCorvelKey) +
           "\\Users]\r\n\"crew\"=\"l;Main crew;crew;alice\"\r\n\r\n" +
           ListText("crew", "", "\"ListId\"=\"0001\"\r\n\"VisibleToListServ\"=dword:1\r\n", {}) + "[" + v +
           "]\r\n\"NumDomains\"=dword:1\r\n\"NumActualDomains\"=dword:1\r\n"
           "\"Domain1\"=\"Other;other.test\"\r\n\r\n[" + v +
           "\\other.test\\Users]\r\n\"listserver\"=\"r;;;\"\r\n\"crew\"=\"l;Other crew;crew;alice@mail.example.org\"\r\n\r\n" +
           ListText("crew", "\\VirtualDomains\\other.test",
                    "\"ListId\"=\"0001\"\r\n\"VisibleToListServ\"=dword:1\r\n", {});
  }
};

TEST_F(SecondaryDomainListServerTest, SubscribeReviewAndSubsOnTheDomainsOwnList) {
  Start();
  ASSERT_TRUE(Smtplib("alice@mail.example.org", "listserver@other.test",
                      "From: alice@mail.example.org\r\nSubject: commands\r\n\r\n"
                      "subscribe crew Alice\r\nreview crew\r\nsubs\r\n"));
  ASSERT_TRUE(WaitMessages("alice", 2));
  std::string listing = Message("alice", 0), response = Message("alice", 1);
  if (listing.find("Output Of Request") != std::string::npos) std::swap(listing, response);
  EXPECT_NE(response.find("\r\nFrom: listserver@other.test\r\n"), std::string::npos) << response;
  EXPECT_EQ(Answers(response),
            "> subscribe crew Alice\r\nUser alice@mail.example.org added to list crew\r\n"
            "> review crew\r\nMembership listing for crew created.\r\n"
            "> subs\r\nLists subscribed to on node other.test:\r\nList: crew, Address: Other crew\r\n"
            "end of list\r\n");
  EXPECT_NE(listing.find("\r\nSubject: Membership list for crew@other.test\r\n"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("\r\n\r\nUser 0000: alice@mail.example.org\r\n\r\nNumber of members in list: 1\r\n"),
            std::string::npos)
      << listing;
  EXPECT_TRUE(std::regex_search(Export("VirtualDomains\\other.test\\ListsAndResponders\\crew\\Users"),
                                std::regex("\"User1\"=\"r;alice@mail.example.org;Alice;[0-9]+;\"")));
  EXPECT_NE(Export("ListsAndResponders\\crew\\Users").find("\"ActualUsers\"=dword:00000000"),
            std::string::npos);
}

// Hostile command lines and a review of 10,000 members.
class HostileListServerTest : public ListServerCommandsTest {
 protected:
  std::string Configuration() override {
    std::vector<std::string> members;
    for (int i = 0; i < 10000; ++i)
      members.push_back("r;member" + std::to_string(i) + "@remote.test;;1;");
    return UserRecords({"alice"}) + "[" + std::string(kCorvelKey) +
           "\\Users]\r\n\"huge\"=\"l;Huge;huge;alice\"\r\n\"team\"=\"l;Team;team;alice\"\r\n\r\n" +
           ListText("huge", "", "\"ListId\"=\"0001\"\r\n", members) +
           ListText("team", "", "\"ListId\"=\"0002\"\r\n\"AdminPassword\"=\"pw\"\r\n",
                    {"rz;alice@mail.example.org;;1;"});
  }
};

TEST_F(HostileListServerTest, LongNamesManyWordsNulsAndAReviewOfTenThousand) {
  Start();
  std::string longName(150, 't');
  std::string tenThousandWords = "subscribe huge", manyWords = "subscribe huge";
  for (int i = 0; i < 10000; ++i) tenThousandWords += " w";
  for (int i = 0; i < 5000; ++i) manyWords += " w";
  std::string answers = Answers(Ask("alice",
      "review " + std::string(99, 'h') + "\r\nadmin team " + std::string(200, 'p') + "\r\n", 1));
  EXPECT_EQ(answers, "> review " + std::string(99, 'h') + "\r\nList '" + std::string(99, 'h') +
                         "' does not exist.\r\n");
  EXPECT_EQ(Answers(Ask("alice", "default list " + longName + "\r\nlset REPRO\r\n", 2)),
            "> default list " + longName + "\r\nCurrent default list set to '" + longName + "'.\r\n" +
            "> lset REPRO\r\nUnable to access mailing list: " + longName + "\r\n");
  EXPECT_EQ(Answers(Ask("alice", "review team" + std::string(150, 'x') + "\r\n", 3)),
            "> review team" + std::string(150, 'x') + "\r\nList 'team" + std::string(150, 'x') +
                "' does not exist.\r\n");
  EXPECT_EQ(Answers(Ask("alice", "admin team " + std::string(200, 'p') + "\r\n", 4)),
            "> admin team " + std::string(200, 'p') + "\r\nAdministrator access to list team denied.\r\n");
  EXPECT_EQ(Answers(Ask("alice", std::string("subscribe te") + '\0' + "am\r\nend\x01\r\n", 5)),
            "> subscribe te\\x00am\r\nList 'te\\x00am' does not exist.\r\n");
  // Beyond what one request is read for: answered with the note, not processed.
  EXPECT_EQ(Answers(Ask("alice", tenThousandWords + "\r\n", 6)),
            "Response truncated; remaining lines not processed.\r\n");
  EXPECT_EQ(Answers(Ask("alice", manyWords + "\r\n", 7)).substr(0, 16), "> subscribe huge");
  EXPECT_TRUE(std::regex_search(Export("ListsAndResponders\\huge\\Users"),
                                std::regex("\"User10001\"=\"r;alice@mail.example.org;w( w){49};[0-9]+;\"")));

  // The review of 10,000 members (and the subscriber): one listing, numbered
  // from "User 0000".
  uint32_t start = GetTickCount32();
  std::string review = Answers(Ask("alice", "review huge\r\n", 9));
  uint32_t took = TickElapsed(GetTickCount32(), start);
  EXPECT_EQ(review, "> review huge\r\nMembership listing for huge created.\r\n");
  std::string listing = Message("alice", 7);
  EXPECT_NE(listing.find("\r\n\r\nUser 0000: member0@remote.test\r\n"), std::string::npos);
  EXPECT_NE(listing.find("\r\nUser 9999: member9999@remote.test\r\nUser 10000: alice@mail.example.org\r\n"
                         "\r\nNumber of members in list: 10001\r\n"),
            std::string::npos);
  printf("[ report   ] the review of 10,001 members was in the mailbox after %u ms\n", took);
  EXPECT_TRUE(PortAccepts(port_));
}

}  // namespace
