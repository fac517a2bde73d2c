// The account functions of the library: the records they write are the server's,
// what they refuse leaves the registry as it was, and deletions and renames keep
// every reference, password and access record right.
#include <cstring>
#include <vector>

#include "tests/acctlib/acctlib_fixture.h"

namespace {

TEST_F(AcctlibTest, AddWritesTheServersRecordOfEveryType) {
  AccountInfo infos[] = {
      UserInfo("JSmith", "John Smith", "secret1", "/m/jsmith.mbx", "boss@remote.example"),
      MakeInfo(ACCT_TYPE_ALIAS, "js", "JSmith"),
      MakeInfo(ACCT_TYPE_FORWARD, "away", "friend@remote.example"),
      MakeInfo(ACCT_TYPE_FORWARD, "local", "js"),
      ResponderInfo("info", "Info desk", ""),
      ResponderInfo("info2", "Other desk", "INFO"),
      ListInfo("fans", "Fan club", "", "JSmith"),
      ListInfo("fans2", "Second", "fans", "owner@remote.example"),
  };
  for (const AccountInfo& info : infos) EXPECT_TRUE(AddUser(h_, &info)) << info.name << Err();
  std::string scrambled = Scrambled("jsmith", "secret1");
  EXPECT_EQ(Raw("jsmith"), "u;John Smith;/m/jsmith.mbx;" + scrambled + ";boss@remote.example");
  EXPECT_EQ(Raw("js"), "a;JSmith");
  EXPECT_EQ(Raw("away"), "f;friend@remote.example");
  EXPECT_EQ(Raw("local"), "f;js");
  EXPECT_EQ(Raw("info"), "r;Info desk;info");
  EXPECT_EQ(Raw("info2"), "r;Other desk;INFO");
  EXPECT_EQ(Raw("fans"), "l;Fan club;fans;JSmith");
  EXPECT_EQ(Raw("fans2"), "l;Second;fans;owner@remote.example");
  // The server checks passwords with the lower-cased name: "JSmith" can log in.
  EXPECT_TRUE(CheckPassword("JSmith", "secret1", scrambled, ""));
  EXPECT_TRUE(CheckPassword("js", "secret1", scrambled, ""));
}

TEST_F(AcctlibTest, RefusedAdditionsLeaveTheRegistryAsItWas) {
  ASSERT_EQ(CreateVirtualDomain(h_, "virt.example", "Virtual"), 1);
  ASSERT_TRUE(SelectDomainByID(h_, 0));
  AccountInfo setup[] = {UserInfo("taken", "T", "pw", "/m/t"), ListInfo("club", "C", "", "taken"),
                         ResponderInfo("desk", "D", "")};
  for (const AccountInfo& info : setup) ASSERT_TRUE(AddUser(h_, &info)) << info.name;

  AccountInfo noNul = UserInfo("x", "X", "pw", "/m/x");
  std::memset(noNul.name, 'a', sizeof noNul.name);
  AccountInfo longField = MakeInfo(ACCT_TYPE_ALIAS, "x", "");
  std::memset(longField.field, 'a', sizeof longField.field);
  AccountInfo longPassword = UserInfo("x", "X", "", "/m/x");
  std::memset(longPassword.u.user.password, 'p', sizeof longPassword.u.user.password);
  AccountInfo longMailbox = UserInfo("x", "X", "pw", "");
  std::memset(longMailbox.u.user.mailbox, 'm', sizeof longMailbox.u.user.mailbox);
  struct Case {
    const char* what;
    AccountInfo info;
    uint32_t error;
    int domain = 0;
  } cases[] = {
      {"empty name", UserInfo("", "X", "pw", "/m/x"), ACCT_ERR_NAME_LENGTH},
      {"name without its zero", noNul, ACCT_ERR_NAME_LENGTH},
      {"@ in name", UserInfo("a@b", "X", "pw", "/m/x"), ACCT_ERR_ILLEGAL_CHAR},
      {"; in name", MakeInfo(ACCT_TYPE_FORWARD, "a;b", "x@y"), ACCT_ERR_ILLEGAL_CHAR},
      {"! in name", MakeInfo(ACCT_TYPE_FORWARD, "a!b", "x@y"), ACCT_ERR_ILLEGAL_CHAR},
      {"% in name", MakeInfo(ACCT_TYPE_FORWARD, "a%b", "x@y"), ACCT_ERR_ILLEGAL_CHAR},
      {"tab in name", MakeInfo(ACCT_TYPE_FORWARD, "a\tb", "x@y"), ACCT_ERR_ILLEGAL_CHAR},
      {"@ in full name", UserInfo("x", "J@S", "pw", "/m/x"), ACCT_ERR_ILLEGAL_CHAR},
      {"! in full name", UserInfo("x", "Hi!", "pw", "/m/x"), ACCT_ERR_ILLEGAL_CHAR},
      {"; in mailbox", UserInfo("x", "X", "pw", "/m/x;y"), ACCT_ERR_ILLEGAL_CHAR},
      {"; in carbon copy", UserInfo("x", "X", "pw", "/m/x", "a;b"), ACCT_ERR_ILLEGAL_CHAR},
      {"line break in a field", UserInfo("x", "X\r\n", "pw", "/m/x"), ACCT_ERR_ILLEGAL_CHAR},
      {"record over 99", UserInfo("x", "X", "pw", "/" + std::string(80, 'm')), ACCT_ERR_WRITE},
      {"type 3", MakeInfo(3, "x", "y"), ACCT_ERR_UNKNOWN_TYPE},
      {"type 0", MakeInfo(0, "x", "y"), ACCT_ERR_UNKNOWN_TYPE},
      {"user in a secondary domain", UserInfo("x", "X", "pw", "/m/x"), ACCT_ERR_UNKNOWN_TYPE, 1},
      {"existing, other case", MakeInfo(ACCT_TYPE_FORWARD, "TAKEN", "x@y"), ACCT_ERR_EXISTS},
      {"alias of nothing", MakeInfo(ACCT_TYPE_ALIAS, "x", "ghost"), ACCT_ERR_NOT_FOUND},
      {"local forward to nothing", MakeInfo(ACCT_TYPE_FORWARD, "x", "ghost"), ACCT_ERR_NOT_FOUND},
      {"% forward on add", MakeInfo(ACCT_TYPE_FORWARD, "x", "a%b"), ACCT_ERR_NOT_FOUND},
      {"responder config missing", ResponderInfo("x", "X", "ghost"), ACCT_ERR_NOT_FOUND},
      {"responder config is a list", ResponderInfo("x", "X", "club"), ACCT_ERR_WRONG_TYPE},
      {"list config is a responder", ListInfo("x", "X", "desk", "taken"), ACCT_ERR_WRONG_TYPE},
      {"list owner missing", ListInfo("x", "X", "", "ghost"), ACCT_ERR_NOT_FOUND},
      {"field without its zero", longField, ACCT_ERR_BAD_ARGUMENT},
      {"password without its zero", longPassword, ACCT_ERR_BAD_ARGUMENT},
      {"mailbox without its zero", longMailbox, ACCT_ERR_BAD_ARGUMENT},
  };
  std::string before = Snapshot();
  for (const Case& c : cases) {
    ASSERT_TRUE(SelectDomainByID(h_, c.domain));
    EXPECT_FALSE(AddUser(h_, &c.info)) << c.what;
    EXPECT_EQ(Err(), c.error) << c.what;
    EXPECT_EQ(Snapshot(), before) << c.what;
  }
  EXPECT_FALSE(AddUser(h_, nullptr));
  EXPECT_EQ(Err(), ACCT_ERR_BAD_ARGUMENT);
  // A name of 64 characters is the longest.
  AccountInfo longest = MakeInfo(ACCT_TYPE_FORWARD, std::string(64, 'n'), "x@y");
  ASSERT_TRUE(SelectDomainByID(h_, 0));
  EXPECT_TRUE(AddUser(h_, &longest));
  EXPECT_EQ(Err(), 0u);
}

TEST_F(AcctlibTest, ModifyChangesExistingAccountsOnly) {
  AccountInfo setup[] = {UserInfo("bob", "Bob", "pw1", "/m/bob"), ListInfo("club", "C", "", "bob"),
                         ResponderInfo("desk", "D", "")};
  for (const AccountInfo& info : setup) ASSERT_TRUE(AddUser(h_, &info));
  AccountInfo ghost = MakeInfo(ACCT_TYPE_FORWARD, "ghost", "x@y");
  EXPECT_FALSE(ModifyUser(h_, &ghost));
  EXPECT_EQ(Err(), ACCT_ERR_NOT_FOUND);

  // What ModifyUser accepts that AddUser would not.
  AccountInfo percent = MakeInfo(ACCT_TYPE_FORWARD, "desk", "user%relay");
  EXPECT_TRUE(ModifyUser(h_, &percent));
  EXPECT_EQ(Raw("desk"), "f;user%relay");
  AccountInfo otherType = ResponderInfo("club", "Now a responder", "bob");
  EXPECT_TRUE(ModifyUser(h_, &otherType));
  EXPECT_EQ(Raw("club"), "r;Now a responder;bob");
  AccountInfo anyOwner = ListInfo("club", "Club", "", "nobody-here");
  EXPECT_TRUE(ModifyUser(h_, &anyOwner));
  EXPECT_EQ(Raw("club"), "l;Club;club;nobody-here");

  AccountInfo user = UserInfo("BOB", "Robert", "pw2", "/m/bob", "club");
  EXPECT_TRUE(ModifyUser(h_, &user));
  EXPECT_EQ(Raw("bob"), "u;Robert;/m/bob;" + Scrambled("bob", "pw2") + ";club");

  std::string before = Snapshot();
  AccountInfo semicolon = UserInfo("bob", "Bob", "pw", "/m/a;b");
  EXPECT_FALSE(ModifyUser(h_, &semicolon));
  EXPECT_EQ(Err(), ACCT_ERR_ILLEGAL_CHAR);
  AccountInfo tooLong = UserInfo("bob", "Bob", "pw", "/" + std::string(90, 'm'));
  EXPECT_FALSE(ModifyUser(h_, &tooLong));
  EXPECT_EQ(Err(), ACCT_ERR_WRITE);
  EXPECT_EQ(Snapshot(), before);
}

// carol is named by a user's carbon copy, an alias, a forward and a list's owner.
void AddCarolAndFriends(AcctHandle* h) {
  AccountInfo setup[] = {
      UserInfo("carol", "Carol", "pwc", "/m/carol"),
      UserInfo("dave", "Dave", "pwd", "/m/dave"),
      UserInfo("bob", "Bob", "pwb", "/m/bob", "CAROL"),
      MakeInfo(ACCT_TYPE_ALIAS, "c", "carol"),
      MakeInfo(ACCT_TYPE_FORWARD, "fc", "carol"),
      ListInfo("club", "Club", "", "carol"),
      MakeInfo(ACCT_TYPE_FORWARD, "elsewhere", "carol@remote.example"),
  };
  for (const AccountInfo& info : setup) ASSERT_TRUE(AddUser(h, &info)) << info.name;
}

TEST_F(AcctlibTest, DeleteModesZeroToFour) {
  std::string bobScrambled = Scrambled("bob", "pwb");
  struct Case {
    int mode;
    const char* newName;
    int result;
    uint32_t error;
    // Records afterwards: carol, bob, c, fc, club ("" = gone).
    std::vector<std::string> records;
  } cases[] = {
      {0, nullptr, 5, 0,
       {"u;Carol;/m/carol;" + Scrambled("carol", "pwc") + ";", "u;Bob;/m/bob;" + bobScrambled +
        ";CAROL", "a;carol", "f;carol", "l;Club;club;carol"}},
      {1, nullptr, 0, ACCT_ERR_IN_USE,
       {"u;Carol;/m/carol;" + Scrambled("carol", "pwc") + ";", "u;Bob;/m/bob;" + bobScrambled +
        ";CAROL", "a;carol", "f;carol", "l;Club;club;carol"}},
      {2, "dave", 1, 0,
       {"", "u;Bob;/m/bob;" + bobScrambled + ";dave", "a;dave", "f;dave", "l;Club;club;dave"}},
      {3, nullptr, 1, 0, {"", "u;Bob;/m/bob;" + bobScrambled + ";", "", "", ""}},
      {4, nullptr, 1, 0,
       {"", "u;Bob;/m/bob;" + bobScrambled + ";CAROL", "a;carol", "f;carol", "l;Club;club;carol"}},
      {5, nullptr, 0, ACCT_ERR_BAD_ARGUMENT,
       {"u;Carol;/m/carol;" + Scrambled("carol", "pwc") + ";", "u;Bob;/m/bob;" + bobScrambled +
        ";CAROL", "a;carol", "f;carol", "l;Club;club;carol"}},
  };
  for (const Case& c : cases) {
    RegDeleteKeyTree(ConfigKeyPath("Users"));
    AddCarolAndFriends(h_);
    EXPECT_EQ(DeleteUser(h_, "Carol", c.newName, c.mode), c.result) << c.mode;
    EXPECT_EQ(Err(), c.error) << c.mode;
    std::vector<std::string> records;
    for (const char* name : {"carol", "bob", "c", "fc", "club"}) records.push_back(Raw(name));
    EXPECT_EQ(records, c.records) << c.mode;
    EXPECT_EQ(Raw("elsewhere"), "f;carol@remote.example") << c.mode;  // not a reference
  }
}

TEST_F(AcctlibTest, ReservedAccountsAreRefusedInEveryMode) {
  for (const char* name : {"postmaster", "PostMaster", "root", "listserver", "unknown",
                           "mail-daemon", "mailer-daemon"}) {
    for (int mode = -1; mode <= 5; ++mode) {
      EXPECT_FALSE(DeleteUser(h_, name, "root", mode)) << name << " " << mode;
      EXPECT_EQ(Err(), ACCT_ERR_RESERVED_DELETE) << name << " " << mode;
    }
    EXPECT_FALSE(RenameUser(h_, name, "other"));
    EXPECT_EQ(Err(), ACCT_ERR_RESERVED_RENAME) << name;
  }
}

TEST_F(AcctlibTest, DeletionsThatCannotBeDoneChangeNothing) {
  AddCarolAndFriends(h_);
  PutRaw("postmaster", "a;carol");
  std::string before = Snapshot();
  struct Case {
    const char* name;
    const char* newName;
    int mode;
    uint32_t error;
  } cases[] = {
      {"carol", "ghost", 2, ACCT_ERR_EXISTS},        // the new name must exist
      {"carol", nullptr, 2, ACCT_ERR_EXISTS},
      {"carol", "CAROL", 2, ACCT_ERR_BAD_ARGUMENT},  // would point at itself
      {"carol", "postmaster", 2, ACCT_ERR_BAD_ARGUMENT},  // postmaster -> postmaster
      {"carol", nullptr, 3, ACCT_ERR_RESERVED_DELETE},  // postmaster would go
      {"ghost", nullptr, 4, ACCT_ERR_NOT_FOUND},
      {"", nullptr, 4, ACCT_ERR_NAME_LENGTH},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(DeleteUser(h_, c.name, c.newName, c.mode)) << c.name << c.mode;
    EXPECT_EQ(Err(), c.error) << c.name << c.mode;
    EXPECT_EQ(Snapshot(), before) << c.name << c.mode;
  }
}

TEST_F(AcctlibTest, DeletingAResponderTakesItsConfigurationAndAccessRecord) {
  AccountInfo desk = ResponderInfo("desk", "Desk", "");
  ASSERT_TRUE(AddUser(h_, &desk));
  ASSERT_TRUE(ConfigSetString("Configuration", "ResponderFile", "/r/desk.txt", nullptr, "desk"));
  ASSERT_TRUE(ConfigSetString("UserExtra", "desk", "1;;", nullptr));
  ASSERT_TRUE(ConfigSetString("Configuration", "x", "kept", nullptr, "other"));
  EXPECT_TRUE(DeleteUser(h_, "desk", nullptr, ACCT_DELETE_UNUSED));
  EXPECT_FALSE(RegKeyExists(ConfigKeyPath(nullptr, nullptr, "desk")));
  EXPECT_TRUE(RegKeyExists(ConfigKeyPath(nullptr, nullptr, "other")));
  EXPECT_EQ(ConfigGetText("UserExtra", "desk", "none"), "none");
  EXPECT_EQ(Raw("desk"), "");
}

TEST_F(AcctlibTest, RenameKeepsPasswordReferencesAccessAndConfiguration) {
  AccountInfo setup[] = {UserInfo("JSmith", "John", "secret1", "/m/jsmith.mbx"),
                         MakeInfo(ACCT_TYPE_ALIAS, "js", "JSmith"),
                         ListInfo("club", "Club", "", "jsmith"), ResponderInfo("desk", "Desk", "")};
  for (const AccountInfo& info : setup) ASSERT_TRUE(AddUser(h_, &info));
  ASSERT_TRUE(ConfigSetString("UserExtra", "JSmith", "9;;", nullptr));
  ASSERT_TRUE(ConfigSetString("Configuration", "ResponderFile", "/r/desk.txt", nullptr, "desk"));
  std::string oldScrambled = Scrambled("jsmith", "secret1");

  ASSERT_TRUE(RenameUser(h_, "jsmith", "john")) << Err();
  std::string stored;
  ASSERT_TRUE(GetPassword("john", stored, ""));
  EXPECT_NE(stored, oldScrambled);  // scrambled again with the new name
  EXPECT_TRUE(CheckPassword("John", "secret1", stored, ""));
  EXPECT_EQ(Raw("john"), "u;John;/m/jsmith.mbx;" + stored + ";");
  EXPECT_EQ(Raw("jsmith"), "");
  EXPECT_EQ(Raw("js"), "a;john");
  EXPECT_EQ(Raw("club"), "l;Club;club;john");
  EXPECT_EQ(ConfigGetText("UserExtra", "john", ""), "9;;");
  EXPECT_EQ(ConfigGetText("UserExtra", "jsmith", "none"), "none");
  EXPECT_EQ(GetUserAccess("john", ""), 9u);

  // A responder keeps the configuration its record still names.
  ASSERT_TRUE(RenameUser(h_, "desk", "help"));
  EXPECT_EQ(Raw("help"), "r;Desk;desk");
  EXPECT_EQ(ConfigGetText("Configuration", "ResponderFile", "", nullptr, "desk"), "/r/desk.txt");

  // A user copying itself keeps doing so under the new name.
  AccountInfo selfCopy = UserInfo("bob", "Bob", "pwb", "/m/bob", "bob");
  ASSERT_TRUE(AddUser(h_, &selfCopy));
  ASSERT_TRUE(RenameUser(h_, "bob", "robert")) << Err();
  EXPECT_EQ(Raw("robert"), "u;Bob;/m/bob;" + Scrambled("robert", "pwb") + ";robert");

  std::string before = Snapshot();
  struct Case {
    const char* from;
    const char* to;
    uint32_t error;
  } cases[] = {{"john", "js", ACCT_ERR_EXISTS},      {"john", "a@b", ACCT_ERR_ILLEGAL_CHAR},
               {"john", "", ACCT_ERR_NAME_LENGTH},   {"ghost", "x", ACCT_ERR_NOT_FOUND},
               {"postmaster", "x", ACCT_ERR_RESERVED_RENAME}};
  for (const Case& c : cases) {
    EXPECT_FALSE(RenameUser(h_, c.from, c.to)) << c.from << c.to;
    EXPECT_EQ(Err(), c.error) << c.from << c.to;
    EXPECT_EQ(Snapshot(), before) << c.from << c.to;
  }
}

TEST_F(AcctlibTest, RenameNeverLosesOrInventsAPassword) {
  // A password that does not unscramble: nothing changes (it used to be stored
  // again as an empty one).
  PutRaw("mangled", "u;M;/m/m;" + std::string(24, '*') + ";");
  std::string before = Snapshot();
  EXPECT_FALSE(RenameUser(h_, "mangled", "fixed"));
  EXPECT_EQ(Err(), ACCT_ERR_MISSING_FIELD);
  EXPECT_EQ(Snapshot(), before);
  // No password at all stays none: an empty field, which accepts nothing.
  PutRaw("nopass", "u;N;/m/n;;");
  ASSERT_TRUE(RenameUser(h_, "nopass", "still"));
  EXPECT_EQ(Raw("still"), "u;N;/m/n;;");
  std::string stored;
  ASSERT_TRUE(GetPassword("still", stored, ""));
  EXPECT_FALSE(CheckPassword("still", "", stored, ""));
}

}  // namespace
