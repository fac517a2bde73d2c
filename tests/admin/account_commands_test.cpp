// corveladm account and domain commands: one administrator's session, every
// command's output, error text and exit status compared whole with a golden file.
#include <string>
#include <vector>

#include "tests/admin/adm_fixture.h"

namespace {

struct Step {
  std::vector<std::string> args;
  std::string input;  // standard input (the password)
};

TEST_F(AdmTest, AccountAndDomainSessionGolden) {
  std::string why;
  ASSERT_TRUE(EnsureStandardAccounts("", true, why)) << why;
  const Step steps[] = {
      {{"account", "add", "user", "JSmith", "John Smith"}, "secret1\n"},
      {{"account", "add", "user", "short", "Short"}, "pw\n"},           // password too short
      {{"account", "add", "user", "nopass"}, ""},                       // no password at all
      {{"account", "add", "alias", "js", "--target", "jsmith"}, ""},
      {{"account", "add", "forward", "away", "friend@remote.example"}, ""},
      {{"account", "add", "list", "fans", "Fan club", "", "JSmith"}, ""},
      {{"account", "add", "responder", "desk", "--title=Help desk"}, ""},
      {{"account", "add", "alias", "ghost", "nobody"}, ""},             // target missing
      {{"account", "add", "user", "bad@name"}, "secret1\n"},
      {{"account", "add", "alias", "x", "y", "z"}, ""},                 // too many fields
      {{"account", "add", "gadget", "x"}, ""},
      {{"account", "show", "jsmith"}, ""},
      {{"account", "modify", "jsmith", "--cc", "away"}, ""},
      {{"account", "modify", "jsmith", "--password"}, "secret2\n"},
      {{"account", "modify", "fans", "--password"}, ""},
      {{"account", "modify", "root", "--full-name", "Root"}, ""},       // no readable password
      {{"account", "show", "JSMITH"}, ""},
      {{"account", "refs", "jsmith"}, ""},
      {{"account", "list", "alias", "list"}, ""},
      {{"account", "delete", "jsmith"}, ""},                            // in use
      {{"account", "delete", "postmaster", "--force"}, ""},
      {{"account", "delete", "jsmith", "--cascade", "--force"}, ""},
      {{"account", "rename", "jsmith", "john"}, ""},
      {{"account", "refs", "john"}, ""},
      {{"account", "delete", "john", "--repoint", "root"}, ""},
      {{"account", "list"}, ""},
      {{"domain", "add", "virt.example", "Virtual"}, ""},
      {{"domain", "add", "virt.example"}, ""},                          // exists
      {{"domain", "add", "bad;name"}, ""},
      {{"--domain", "virt.example", "account", "add", "forward", "info", "info@remote.example"},
       ""},
      {{"--domain", "virt.example", "account", "add", "user", "u"}, "secret1\n"},
      {{"--domain", "virt.example", "account", "list", "forward"}, ""},
      {{"--domain", "nowhere.example", "account", "list"}, ""},
      {{"domain", "list"}, ""},
      {{"domain", "remove", "virt.example"}, ""},  // nobody to ask: Yes
      {{"domain", "list"}, ""},
      {{"domain", "remove", "virt.example"}, ""},
  };
  std::string transcript;
  for (const Step& step : steps) {
    std::string command;
    for (const std::string& a : step.args) command += (command.empty() ? "" : " ") + a;
    transcript += Transcript(command, Adm(step.args, step.input));
  }
  ExpectGolden("account_session.txt", transcript);
  // The refused change left root without a password, not with an empty one.
  std::string record;
  ASSERT_TRUE(ReadStoredRecord("root", "", record));
  EXPECT_EQ(record, "u;root user;/srv/mail/root.mbx;;");
}

}  // namespace
