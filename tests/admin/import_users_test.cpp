// corveladm import users and report users: every message of a bulk user addition,
// the three line ends, Ctrl-Z, lines across the 8192-byte blocks and the choice
// about existing accounts, each run's output and the report after it compared
// whole with a golden file.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "server/admin/bulk.h"
#include "tests/admin/adm_fixture.h"

namespace {

// Comment lines that bring `text` to exactly `size` bytes (each at most 100
// characters, so each is a valid line that is skipped).
void PadTo(std::string& text, size_t size) {
  while (text.size() < size) {
    size_t left = size - text.size();
    size_t line = left <= 100 ? left : (left - 80 >= 3 ? 80 : 70);
    text += "#" + std::string(line - 3, 'p') + "\r\n";
  }
}

// User lines around the block boundaries: one that straddles the first boundary,
// one whose CR ends the second block and whose LF begins the third.
std::string AcrossBlocks() {
  std::string text;
  PadTo(text, kBulkBlockBytes - 20);
  text += "straddle,Across Blocks,secret1,/m/straddle.mbx\r\n";
  std::string split = "split,CR and LF apart,secret1,/m/split.mbx";
  PadTo(text, 2 * kBulkBlockBytes - 1 - split.size());
  text += split + "\r\n";
  text += "after,After Both,secret1,/m/after.mbx\n";
  return text;
}

struct ImportCase {
  const char* name;
  std::string input;
  std::vector<std::string> options;
  const char* domain = nullptr;
};

TEST_F(AdmTest, ImportUsersGolden) {
  const ImportCase cases[] = {
      {"users_line_ends",
       "jsmith,John Smith,secret1,c:\\mail\\jsmith.mbx # imported\r\n"
       "  \t# a comment line\r\n"
       "\r\n"
       " Bob , Bob Brown , pw12345 ,\n"
       "carol,Carol C,pw12345,/m/carol.mbx\r"
       "dave,Dave D,pw12345,/m/dave.mbx\r\n\x1a",
       {"--no-skip-existing"}},
      {"users_first_separator", "ok1,One,secret1,/m/1\r\nnoseparator\r\nok2,Two,secret1,/m/2\r\n",
       {"--no-skip-existing"}},
      {"users_second_separator", "ok1,One,secret1,/m/1\r\nname,only the full name\r\n",
       {"--no-skip-existing"}},
      {"users_third_separator", "name,Full,secret1\r\n", {"--no-skip-existing"}},
      {"users_exists", "new1,New,secret1,/m/n\r\nTAKEN,Again,secret1,/m/t\r\n",
       {"--no-skip-existing"}},
      {"users_skip_existing", "new1,New,secret1,/m/n\r\nTAKEN,Again,secret1,/m/t\r\n",
       {"--skip-existing"}},
      // Nobody can be asked (standard input is no terminal): the answer is Yes.
      {"users_nobody_asked", "TAKEN,Again,secret1,/m/t\r\nnew1,New,secret1,/m/n\r\n", {}},
      {"users_semicolon", "ok1,One,secret1,/m/1\r\nsemi,Semi;Colon,secret1,/m/s\r\n",
       {"--no-skip-existing"}},
      {"users_bad_name", "bad@name,Bad,secret1,/m/b\r\n", {"--no-skip-existing"}},
      {"users_bad_password", "short,Short,pw,/m/s\r\n", {"--no-skip-existing"}},
      {"users_record_too_long",
       "long,Long," + std::string("secret1,/") + std::string(70, 'm') + "\r\n",
       {"--no-skip-existing"}},
      {"users_line_100_and_101",
       "ok1,One,secret1,/m/1 #" + std::string(100 - 22, 'c') + "\r\nok2,Two,secret1,/m/2 #" +
           std::string(101 - 22, 'c') + "\r\n",
       {"--no-skip-existing"}},
      {"users_incomplete", "ok1,One,secret1,/m/1\r\nlast,Last,secret1,/m/l", {"--no-skip-existing"}},
      {"users_ctrl_z_inside", "ok1,One,secret1,/m/1\r\n\x1a\r\n", {"--no-skip-existing"}},
      {"users_across_blocks", AcrossBlocks(), {"--no-skip-existing"}},
      {"users_secondary_domain", "ok1,One,secret1,/m/1\r\n", {"--no-skip-existing"},
       "virt.example"},
  };
  for (const ImportCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetRegistry();
    std::string why;
    ASSERT_TRUE(WriteUserRecord("taken", "Taken", "/m/taken.mbx", "", "", "", why));
    ASSERT_GT(AddSecondaryDomain("Virtual", "virt.example", why), 0);
    WriteFile("input.txt", c.input);
    std::vector<std::string> args;
    if (c.domain) args = {"--domain", c.domain};
    args.insert(args.end(), {"import", "users", "input.txt"});
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    std::string transcript = Transcript(command, Adm(args));
    ProgramRun report = Adm({"report", "users", "report.txt"});
    transcript += Transcript("report users report.txt", report) + "report.txt:\n" +
                  ReadFile("report.txt");
    ExpectGolden(std::string(c.name) + ".txt", transcript);
  }
}

TEST_F(AdmTest, ImportFromStandardInputAndReportToStandardOutput) {
  ProgramRun run = Adm({"import", "users", "-", "--skip-existing"},
                       "alice,Alice A,secret1,/m/alice.mbx\r\nbob,Bob B,secret1,\r\n");
  EXPECT_EQ(run.rc, 0) << run.err;
  EXPECT_EQ(run.out, "Number of items added: 2\n");
  std::string why;
  ASSERT_TRUE(WriteAliasRecord("al", "alice", "", why));
  ASSERT_TRUE(WriteForwardRecord("away", "x@remote.example", "", why));
  ASSERT_TRUE(WriteListRecord("club", "The Club", "club", "alice", "", why));
  ProgramRun report = Adm({"report", "users", "-"});
  EXPECT_EQ(report.rc, 0);
  // A forward has an empty display text; an alias shows its target's.
  EXPECT_EQ(report.out,
            "0,alice,Alice A\r\n0,bob,Bob B\r\n1,al,Alice A\r\n2,away,\r\n3,club,The Club\r\n");
  EXPECT_EQ(report.err, std::string(kReportSucceeded) + "\n");
  // The empty mailbox became the user directory's file.
  std::string mailbox;
  ASSERT_TRUE(GetMailboxPath("bob", mailbox, "", false));
  EXPECT_EQ(mailbox, "/srv/mail/bob.mbx");
  std::string stored;
  ASSERT_TRUE(GetPassword("alice", stored, ""));
  EXPECT_TRUE(CheckPassword("alice", "secret1", stored, ""));
}

TEST_F(AdmTest, ReportReplacesTheOldFileWholeOrNotAtAll) {
  WriteFile("old.txt", "old report\r\n");
  ASSERT_EQ(chmod((home_ + "old.txt").c_str(), 0640), 0);
  std::string why;
  ASSERT_TRUE(WriteUserRecord("alice", "Alice", "/m/a", "", "", "", why));
  ProgramRun run = Adm({"report", "users", "old.txt"});
  EXPECT_EQ(run.rc, 0);
  EXPECT_EQ(run.out, std::string(kReportSucceeded) + "\n");
  EXPECT_EQ(ReadFile("old.txt"), "0,alice,Alice\r\n");
  struct stat st;
  ASSERT_EQ(stat((home_ + "old.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(ListFiles(home_, "old.txt.*").size(), 0u);  // no temporary left

  ProgramRun failed = Adm({"report", "users", "no/such/dir/report.txt"});
  EXPECT_EQ(failed.rc, 1);
  EXPECT_EQ(failed.err.rfind(std::string("corveladm: ") + kReportFailed, 0), 0u) << failed.err;
}

TEST_F(AdmTest, NothingRunsWithoutAnExistingRegistry) {
  std::string empty = home_ + "elsewhere/";
  ASSERT_TRUE(MakeDirectories(empty));
  for (std::vector<std::string> args :
       {std::vector<std::string>{"account", "list"}, {"domain", "list"},
        {"import", "users", "-", "--skip-existing"}, {"report", "users", "-"}}) {
    args.insert(args.begin(), {"--home", empty});
    ProgramRun run = RunProgram(std::string(CORVEL_BIN_DIR) + "/corveladm", args, home_);
    EXPECT_EQ(run.rc, 1) << args[2];
    EXPECT_NE(run.err.find("registry"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(FileExists(empty + "registry.db"));
}

}  // namespace
