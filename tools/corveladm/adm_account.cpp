// corveladm account ...: adding, changing, showing, renaming, deleting and listing
// accounts through the account library, as any program maintaining accounts
// would; and the helpers the account, domain, import and report groups share.
#include <stdlib.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "acctlib/acct_errors.h"
#include "tools/corveladm/adm_accounts.h"

namespace {

// The account types: the word on the command line, the library's code, and the
// options holding its fields in the order of AccountInfo.
struct TypeSpec {
  const char* word;
  uint16_t type;
  std::vector<const char*> fields;
};
const TypeSpec kTypeSpecs[] = {
    {"user", ACCT_TYPE_USER, {"full-name", "mailbox", "cc"}},
    {"alias", ACCT_TYPE_ALIAS, {"target"}},
    {"forward", ACCT_TYPE_FORWARD, {"address"}},
    {"responder", ACCT_TYPE_RESPONDER, {"title", "config"}},
    {"list", ACCT_TYPE_LIST, {"title", "config", "owner"}},
};
constexpr const char* kPasswordOption = "password";
constexpr const char* kMailboxExtension = ".mbx";

const TypeSpec* SpecOfWord(const std::string& word) {
  for (const TypeSpec& t : kTypeSpecs)
    if (strcasecmp(t.word, word.c_str()) == 0) return &t;
  return nullptr;
}

const TypeSpec* SpecOfType(uint16_t type) {
  for (const TypeSpec& t : kTypeSpecs)
    if (t.type == type) return &t;
  return nullptr;
}

// The text field of `info` that option `name` stands for, with its size.
char* FieldOf(AccountInfo& info, const std::string& name, size_t& size) {
  struct Place {
    uint16_t type;
    const char* option;
    char* field;
    size_t size;
  } places[] = {
      {ACCT_TYPE_USER, "full-name", info.field, sizeof info.field},
      {ACCT_TYPE_USER, "mailbox", info.u.user.mailbox, sizeof info.u.user.mailbox},
      {ACCT_TYPE_USER, "cc", info.u.user.carbonCopy, sizeof info.u.user.carbonCopy},
      {ACCT_TYPE_ALIAS, "target", info.field, sizeof info.field},
      {ACCT_TYPE_FORWARD, "address", info.field, sizeof info.field},
      {ACCT_TYPE_RESPONDER, "title", info.field, sizeof info.field},
      {ACCT_TYPE_RESPONDER, "config", info.u.responder.configuration,
       sizeof info.u.responder.configuration},
      {ACCT_TYPE_LIST, "title", info.field, sizeof info.field},
      {ACCT_TYPE_LIST, "config", info.u.list.configuration, sizeof info.u.list.configuration},
      {ACCT_TYPE_LIST, "owner", info.u.list.owner, sizeof info.u.list.owner},
  };
  for (const Place& p : places) {
    if (p.type == info.type && name == p.option) {
      size = p.size;
      return p.field;
    }
  }
  return nullptr;
}

// Copies `value` into a field of `info`; false with `why` when it does not fit.
bool SetField(AccountInfo& info, const std::string& option, const std::string& value,
              std::string& why) {
  size_t size = 0;
  char* field = FieldOf(info, option, size);
  if (!field) {
    why = "--" + option + " is not a field of this account type";
    return false;
  }
  if (value.size() >= size) {
    why = FormatText("--%s has at most %zu characters", option.c_str(), size - 1);
    return false;
  }
  std::memset(field, 0, size);
  std::memcpy(field, value.data(), value.size());
  return true;
}

bool SetName(AccountInfo& info, const std::string& name, std::string& why) {
  if (name.size() >= sizeof info.name) {
    why = FormatText("an account name has at most %zu characters", sizeof info.name - 1);
    return false;
  }
  std::memset(info.name, 0, sizeof info.name);
  std::memcpy(info.name, name.data(), name.size());
  return true;
}

// Every field option of every type, and the password flag.
std::vector<AdmOption> FieldOptions() {
  std::vector<AdmOption> known{{kPasswordOption, false}};
  for (const TypeSpec& t : kTypeSpecs)
    for (const char* f : t.fields) known.push_back({f, true});
  return known;
}

// A user's stored password as the library will keep it: false when the stored
// field is empty or does not unscramble, which ModifyUser would replace by a
// password anyone could give.
bool StoredPasswordUsable(const std::string& name, const std::string& domain) {
  std::string record, scrambled, clear;
  return ReadStoredRecord(name, domain, record) && GetRecordField(record, 3, scrambled) &&
         !scrambled.empty() && UnscramblePassword(LowerAscii(name), scrambled, clear);
}

bool ReadNewPassword(const std::string& name, std::string& password, std::string& why) {
  if (!AdmReadPassword("Password for " + name + ": ", password)) {
    why = "no password given (it is read from the terminal or standard input)";
    return false;
  }
  return ValidatePassword(password, why);
}

void PrintAccount(const AccountInfo& a) {
  const TypeSpec* spec = SpecOfType(a.type);
  std::printf("name: %s\ntype: %s\n", a.name, spec ? spec->word : "?");
  switch (a.type) {
    case ACCT_TYPE_USER:
      std::printf("full name: %s\nmailbox: %s\ncarbon copy: %s\n", a.field, a.u.user.mailbox,
                  a.u.user.carbonCopy);
      break;
    case ACCT_TYPE_ALIAS:
      std::printf("target: %s\n", a.field);
      break;
    case ACCT_TYPE_FORWARD:
      std::printf("address: %s\n", a.field);
      break;
    case ACCT_TYPE_RESPONDER:
      std::printf("responder name: %s\nconfiguration: %s\n", a.field,
                  a.u.responder.configuration);
      break;
    case ACCT_TYPE_LIST:
      std::printf("list name: %s\nconfiguration: %s\nowner: %s\n", a.field,
                  a.u.list.configuration, a.u.list.owner);
      break;
  }
}

// One line of "account list" and "account refs".
void PrintAccountLine(const AccountInfo& a) {
  const TypeSpec* spec = SpecOfType(a.type);
  std::printf("%-9s %-24s %s\n", spec ? spec->word : "?", a.name, a.field);
}

// Runs `body` with the registry and a library handle open; closes both after.
template <typename Body>
int WithAccounts(AdmContext& ctx, Body body) {
  std::string domain;
  int slot = 0;
  if (!AdmOpenExistingRegistry(ctx, domain, slot)) return kAdmFailed;
  AcctHandle* h = AdmOpenAccounts(ctx, slot);
  if (!h) {
    RegCloseStore();
    return kAdmFailed;
  }
  int rc = body(h, domain);
  CloseUserDatabase(h);
  RegCloseStore();
  return rc;
}

}  // namespace

// ---- Shared by the account, domain, import and report groups ----------------------

bool AdmOpenExistingRegistry(const AdmContext& ctx, std::string& domain, int& slot) {
  std::string why;
  SetHomeDirectory(ctx.home);
  if (!RegOpenExistingStore(ctx.registry, why)) {
    AdmFail("%s", why.c_str());
    return false;
  }
  // What the server's own code needs here: directories, this host's names (for
  // addresses and the messages a list sends), the product name.
  Settings& s = ServerSettings();
  LoadDirectories(s);
  LoadGeneralSettings(s);
  LoadHostAliases(s);
  LoadProductValues(s);
  domain.clear();
  slot = 0;
  if (ctx.domain.empty() ||
      EqualNoCase(ctx.domain, ConfigGetText("", "LocalNode", "")))
    return true;
  for (const SecondaryDomain& d : ReadSecondaryDomainSlots()) {
    if (EqualNoCase(d.name, ctx.domain)) {
      domain = d.name;
      slot = d.slot;
      return true;
    }
  }
  AdmFail("no such domain: %s", ctx.domain.c_str());
  RegCloseStore();
  return false;
}

AcctHandle* AdmOpenAccounts(const AdmContext& ctx, int slot) {
  // The library takes its registry from the environment at its first open.
  setenv("CORVEL_REGISTRY", ctx.registry.c_str(), 1);
  AcctHandle* h = OpenUserDatabase();
  if (!h) {
    AdmFail("cannot open the registry %s", ctx.registry.c_str());
    return nullptr;
  }
  if (slot != 0 && !SelectDomainByID(h, slot)) {
    AdmAccountFail(h, "select domain");
    CloseUserDatabase(h);
    return nullptr;
  }
  return h;
}

int AdmAccountFail(AcctHandle* handle, const char* what) {
  uint32_t code = GetLastUserError(handle);
  return AdmFail("%s: %s (0x%08X)", what, AcctErrorWords(code), unsigned(code));
}

bool AdmTakeOptions(std::vector<std::string>& args, const std::vector<AdmOption>& known,
                    std::map<std::string, std::string>& values, std::string& why) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
      positional.push_back(a);
      continue;
    }
    std::string name = a.substr(2), value;
    size_t eq = name.find('=');
    bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const AdmOption* opt = nullptr;
    for (const AdmOption& o : known)
      if (name == o.name) opt = &o;
    if (!opt) {
      why = "unknown option --" + name;
      return false;
    }
    if (opt->takesValue && !inlineValue) {
      if (i + 1 >= args.size()) {
        why = "--" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    values[name] = value;
  }
  args = positional;
  return true;
}

bool AdmReadPassword(const std::string& prompt, std::string& password) {
  password.clear();
  std::string line;
  if (isatty(STDIN_FILENO)) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios saved{};
    bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
      termios quiet = saved;
      quiet.c_lflag &= ~tcflag_t(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    bool got = bool(std::getline(std::cin, line));
    if (restore) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
    if (!got) return false;
  } else if (!std::getline(std::cin, line)) {
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = line;
  return true;
}

AdmAnswer AdmAskYesNoCancel(const std::string& question) {
  if (!isatty(STDIN_FILENO)) return AdmAnswer::kYes;
  std::fprintf(stderr, "%s [y/n/c] ", question.c_str());
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line)) return AdmAnswer::kCancel;
  if (!line.empty() && (line[0] == 'y' || line[0] == 'Y')) return AdmAnswer::kYes;
  if (!line.empty() && (line[0] == 'n' || line[0] == 'N')) return AdmAnswer::kNo;
  return AdmAnswer::kCancel;
}

// ---- account ... --------------------------------------------------------------------

int RunAccountAdd(AdmContext& ctx) {
  std::map<std::string, std::string> values;
  std::string why;
  if (!AdmTakeOptions(ctx.args, FieldOptions(), values, why))
    return AdmUsage(AdmCurrentCommand(), why.c_str());
  if (ctx.args.size() < 2) return AdmUsage(AdmCurrentCommand(), "a type and a name are needed");
  const TypeSpec* spec = SpecOfWord(ctx.args[0]);
  if (!spec) return AdmUsage(AdmCurrentCommand(), ("no such type: " + ctx.args[0]).c_str());
  if (ctx.args.size() - 2 > spec->fields.size())
    return AdmUsage(AdmCurrentCommand(), "too many fields for this type");
  if (values.count(kPasswordOption))
    return AdmUsage(AdmCurrentCommand(), "--password is for modify; a new user is always asked");
  AccountInfo info{};
  info.type = spec->type;
  const std::string& name = ctx.args[1];
  if (!SetName(info, name, why)) return AdmUsage(AdmCurrentCommand(), why.c_str());
  // Positional fields first, in the record's order; options override them.
  for (size_t i = 2; i < ctx.args.size(); ++i) values.emplace(spec->fields[i - 2], ctx.args[i]);
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string&) {
    if (spec->type == ACCT_TYPE_USER && !values.count("mailbox"))
      values["mailbox"] = ServerSettings().userDirectory + name + kMailboxExtension;
    std::string why;
    for (const auto& [option, value] : values)
      if (!SetField(info, option, value, why)) return AdmUsage(AdmCurrentCommand(), why.c_str());
    if (spec->type == ACCT_TYPE_USER) {
      std::string password;
      if (!ReadNewPassword(name, password, why)) return AdmFail("%s", why.c_str());
      std::memcpy(info.u.user.password, password.c_str(), password.size() + 1);
    }
    if (!AddUser(h, &info)) return AdmAccountFail(h, "account add");
    return kAdmOk;
  });
}

int RunAccountModify(AdmContext& ctx) {
  std::map<std::string, std::string> values;
  std::string why;
  if (!AdmTakeOptions(ctx.args, FieldOptions(), values, why))
    return AdmUsage(AdmCurrentCommand(), why.c_str());
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "one account name is needed");
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string& domain) {
    AccountInfo* found = FindAccount(h, ctx.args[0]);
    if (!found) {
      if (GetLastUserError(h) == 0) return AdmFail("no such account: %s", ctx.args[0].c_str());
      return AdmAccountFail(h, "account modify");
    }
    AccountInfo info = *found;
    free(found);
    std::string why;
    bool newPassword = values.erase(kPasswordOption) > 0;
    for (const auto& [option, value] : values)
      if (!SetField(info, option, value, why)) return AdmUsage(AdmCurrentCommand(), why.c_str());
    if (info.type == ACCT_TYPE_USER) {
      if (newPassword) {
        std::string password;
        if (!ReadNewPassword(info.name, password, why)) return AdmFail("%s", why.c_str());
        std::memset(info.u.user.password, 0, sizeof info.u.user.password);
        std::memcpy(info.u.user.password, password.c_str(), password.size());
      } else if (!StoredPasswordUsable(info.name, domain)) {
        return AdmFail("%s has no readable password; give --password to set one", info.name);
      }
    } else if (newPassword) {
      return AdmUsage(AdmCurrentCommand(), "only a user has a password");
    }
    if (!ModifyUser(h, &info)) return AdmAccountFail(h, "account modify");
    return kAdmOk;
  });
}

int RunAccountShow(AdmContext& ctx) {
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "one account name is needed");
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string&) {
    AccountInfo* found = FindAccount(h, ctx.args[0]);
    if (!found) return AdmFail("no such account: %s", ctx.args[0].c_str());
    PrintAccount(*found);
    free(found);
    return kAdmOk;
  });
}

int RunAccountRefs(AdmContext& ctx) {
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "one account name is needed");
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string&) {
    AccountInfo* found = FindAccount(h, ctx.args[0]);
    if (!found) return AdmFail("no such account: %s", ctx.args[0].c_str());
    std::string name = found->name;
    free(found);
    uint32_t cursor = 0;
    while (AccountInfo* info = GetUsers(h, 0, name.c_str(), &cursor)) {
      PrintAccountLine(*info);
      free(info);
    }
    return kAdmOk;
  });
}

int RunAccountRename(AdmContext& ctx) {
  if (ctx.args.size() != 2) return AdmUsage(AdmCurrentCommand(), "the old and the new name");
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string&) {
    if (!RenameUser(h, ctx.args[0].c_str(), ctx.args[1].c_str()))
      return AdmAccountFail(h, "account rename");
    return kAdmOk;
  });
}

int RunAccountDelete(AdmContext& ctx) {
  std::map<std::string, std::string> values;
  std::string why;
  if (!AdmTakeOptions(ctx.args, {{"repoint", true}, {"cascade", false}, {"force", false}}, values,
                      why))
    return AdmUsage(AdmCurrentCommand(), why.c_str());
  if (ctx.args.size() != 1) return AdmUsage(AdmCurrentCommand(), "one account name is needed");
  if (values.size() > 1)
    return AdmUsage(AdmCurrentCommand(), "--repoint, --cascade and --force exclude each other");
  int mode = values.count("repoint")   ? ACCT_DELETE_REPOINT
             : values.count("cascade") ? ACCT_DELETE_CASCADE
             : values.count("force")   ? ACCT_DELETE_FORCE
                                       : ACCT_DELETE_UNUSED;
  std::string newName = values.count("repoint") ? values["repoint"] : "";
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string&) {
    if (!DeleteUser(h, ctx.args[0].c_str(), newName.c_str(), mode))
      return AdmAccountFail(h, "account delete");
    return kAdmOk;
  });
}

int RunAccountList(AdmContext& ctx) {
  uint32_t mask = 0;
  for (const std::string& word : ctx.args) {
    const TypeSpec* spec = SpecOfWord(word);
    if (!spec) return AdmUsage(AdmCurrentCommand(), ("no such type: " + word).c_str());
    mask |= spec->type;
  }
  if (mask == 0) mask = ACCT_TYPE_ALL;
  return WithAccounts(ctx, [&](AcctHandle* h, const std::string&) {
    uint32_t cursor = 0;
    while (AccountInfo* info = GetUsers(h, mask, nullptr, &cursor)) {
      PrintAccountLine(*info);
      free(info);
    }
    if (GetLastUserError(h) != 0 && GetLastUserError(h) != ACCT_ERR_MISSING_FIELD)
      return AdmAccountFail(h, "account list");
    return kAdmOk;
  });
}
