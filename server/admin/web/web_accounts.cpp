// The accounts and domains API of the console. Every change goes through the
// account library's operations, as corveladm's do, so the checks, the references
// kept in step and the error texts are the same; passwords are set, never shown.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "acctlib/acct_errors.h"
#include "acctlib/acctlib.h"
#include "server/accounts/accounts.h"
#include "server/admin/web/web_internal.h"
#include "server/core/config.h"
#include "server/core/log.h"

namespace {

constexpr uint32_t kTextSize = 128;
constexpr size_t kMaxListed = 5000;  // one page of a search
constexpr const char* kMailboxExtension = ".mbx";

// The account types by word, and the JSON members holding their fields.
struct TypeSpec {
  const char* word;
  uint16_t type;
};
constexpr TypeSpec kTypeSpecs[] = {
    {"user", ACCT_TYPE_USER},     {"alias", ACCT_TYPE_ALIAS}, {"forward", ACCT_TYPE_FORWARD},
    {"responder", ACCT_TYPE_RESPONDER}, {"list", ACCT_TYPE_LIST},
};

const TypeSpec* SpecOfWord(const std::string& word) {
  for (const TypeSpec& t : kTypeSpecs)
    if (strcasecmp(t.word, word.c_str()) == 0) return &t;
  return nullptr;
}
const char* WordOfType(uint16_t type) {
  for (const TypeSpec& t : kTypeSpecs)
    if (t.type == type) return t.word;
  return "unknown";
}

// The text fields of an account by JSON name.
struct FieldPlace {
  uint16_t type;
  const char* name;
  size_t offset, size;
};
const FieldPlace kFields[] = {
    {ACCT_TYPE_USER, "fullName", offsetof(AccountInfo, field), ACCT_FIELD_SIZE},
    {ACCT_TYPE_USER, "mailbox", offsetof(AccountInfo, u.user.mailbox), ACCT_MAILBOX_SIZE},
    {ACCT_TYPE_USER, "cc", offsetof(AccountInfo, u.user.carbonCopy), ACCT_CARBON_COPY_SIZE},
    {ACCT_TYPE_ALIAS, "target", offsetof(AccountInfo, field), ACCT_FIELD_SIZE},
    {ACCT_TYPE_FORWARD, "address", offsetof(AccountInfo, field), ACCT_FIELD_SIZE},
    {ACCT_TYPE_RESPONDER, "title", offsetof(AccountInfo, field), ACCT_FIELD_SIZE},
    {ACCT_TYPE_RESPONDER, "config", offsetof(AccountInfo, u.responder.configuration),
     ACCT_CONFIG_SIZE},
    {ACCT_TYPE_LIST, "title", offsetof(AccountInfo, field), ACCT_FIELD_SIZE},
    {ACCT_TYPE_LIST, "config", offsetof(AccountInfo, u.list.configuration), ACCT_CONFIG_SIZE},
    {ACCT_TYPE_LIST, "owner", offsetof(AccountInfo, u.list.owner), ACCT_OWNER_SIZE},
};

char* FieldAt(AccountInfo& info, const FieldPlace& f) {
  return reinterpret_cast<char*>(&info) + f.offset;
}

// An account without its password.
Json AccountJson(AccountInfo& info) {
  Json fields = Json::object();
  for (const FieldPlace& f : kFields)
    if (f.type == info.type) fields[f.name] = std::string(FieldAt(info, f));
  return {{"name", info.name}, {"type", WordOfType(info.type)}, {"fields", fields}};
}

// Copies the members of `fields` into `info`; false with a 400 reply for a member
// that is not a field of the type, not a string, or too long.
bool ApplyFields(const Json& fields, AccountInfo& info, httplib::Response& res) {
  if (!fields.is_object()) {
    ReplyError(res, kHttpBadRequest, "\"fields\" must be an object.");
    return false;
  }
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    const FieldPlace* place = nullptr;
    for (const FieldPlace& f : kFields)
      if (f.type == info.type && it.key() == f.name) place = &f;
    if (!place || !it->is_string()) {
      ReplyError(res, kHttpBadRequest,
                 "\"" + VisibleText(it.key()) + "\" is not a text field of a " +
                     WordOfType(info.type) + ".");
      return false;
    }
    std::string value = it->get<std::string>();
    if (value.size() >= place->size) {
      ReplyError(res, kHttpBadRequest,
                 std::string(place->name) + " has at most " + std::to_string(place->size - 1) +
                     " characters.");
      return false;
    }
    char* field = FieldAt(info, *place);
    std::memset(field, 0, place->size);
    std::memcpy(field, value.data(), value.size());
  }
  return true;
}

// A library handle on the registry with the domain of the request selected
// ("domain": its number, 0 or absent = primary). Closed by its destructor.
class Accounts {
 public:
  Accounts() : h_(OpenUserDatabase()) {}
  ~Accounts() { if (h_) CloseUserDatabase(h_); }
  Accounts(const Accounts&) = delete;
  Accounts& operator=(const Accounts&) = delete;
  AcctHandle* get() const { return h_; }

 private:
  AcctHandle* h_;
};

// Replies with the library's last error of `h` as corveladm words it.
void ReplyAccountError(httplib::Response& res, AcctHandle* h, const char* what) {
  uint32_t code = GetLastUserError(h);
  int status = code == ACCT_ERR_NOT_FOUND ? kHttpNotFound
               : code == ACCT_ERR_EXISTS || code == ACCT_ERR_IN_USE ? kHttpConflict
                                                                   : kHttpBadRequest;
  ReplyError(res, status, FormatText("%s: %s (0x%08X)", what, AcctErrorWords(code), unsigned(code)));
}

// Opens the handle and selects the domain named by `number`; false with a reply.
bool OpenDomain(Accounts& a, long number, httplib::Response& res) {
  if (!a.get()) {
    ReplyError(res, kHttpServerError, "The account database cannot be opened.");
    return false;
  }
  if (number != 0 && !SelectDomainByID(a.get(), int(number))) {
    ReplyError(res, kHttpNotFound, "No such domain: " + std::to_string(number));
    return false;
  }
  return true;
}

// The "domain" member (a whole number, default 0); false with a 400 reply.
bool TakeDomain(const Json& body, long& number, httplib::Response& res) {
  auto it = body.find("domain");
  number = 0;
  if (it == body.end()) return true;
  if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > 100000) {
    ReplyError(res, kHttpBadRequest, "\"domain\" must be a domain number.");
    return false;
  }
  number = long(it->get<long long>());
  return true;
}

struct FreeInfo {
  void operator()(AccountInfo* p) const { free(p); }
};
using InfoPtr = std::unique_ptr<AccountInfo, FreeInfo>;

void HandleList(const httplib::Request& req, httplib::Response& res) {
  std::string domainText = req.get_param_value("domain");
  if (domainText.size() > 6 || domainText.find_first_not_of("0123456789") != std::string::npos)
    return ReplyError(res, kHttpBadRequest, "\"domain\" must be a domain number.");
  long number = strtol(domainText.c_str(), nullptr, 10);
  std::string typeWord = req.get_param_value("type"), query = req.get_param_value("q");
  uint32_t mask = ACCT_TYPE_ALL;
  if (!typeWord.empty()) {
    const TypeSpec* spec = SpecOfWord(typeWord);
    if (!spec) {
      ReplyError(res, kHttpBadRequest, "Unknown account type: " + VisibleText(typeWord));
      return;
    }
    mask = spec->type;
  }
  Accounts a;
  if (!OpenDomain(a, number, res)) return;
  Json list = Json::array();
  uint32_t cursor = 0;
  std::string lowered = LowerAscii(query);
  while (InfoPtr info{GetUsers(a.get(), mask, nullptr, &cursor)}) {
    if (!lowered.empty() && LowerAscii(info->name).find(lowered) == std::string::npos &&
        LowerAscii(info->field).find(lowered) == std::string::npos)
      continue;
    list.push_back(AccountJson(*info));
    if (list.size() >= kMaxListed) break;
  }
  if (GetLastUserError(a.get()) != 0) return ReplyAccountError(res, a.get(), "account list");
  ReplyJson(res, {{"accounts", list}});
}

void HandleAdd(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string typeWord, name, password;
  long number = 0;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "type", typeWord, res) ||
      !TakeString(body, "name", name, res) || !TakeString(body, "password", password, res, false) ||
      !TakeDomain(body, number, res))
    return;
  const TypeSpec* spec = SpecOfWord(typeWord);
  if (!spec) return ReplyError(res, kHttpBadRequest, "Unknown account type: " + VisibleText(typeWord));
  if (name.size() >= ACCT_NAME_SIZE)
    return ReplyError(res, kHttpBadRequest, "account name empty or longer than 64 characters");
  AccountInfo info{};
  info.type = spec->type;
  std::memcpy(info.name, name.data(), name.size());
  if (spec->type == ACCT_TYPE_USER) {
    std::string mailbox = ServerSettings().userDirectory + name + kMailboxExtension;
    if (mailbox.size() < ACCT_MAILBOX_SIZE) std::memcpy(info.u.user.mailbox, mailbox.data(), mailbox.size());
    std::string why;
    if (!ValidatePassword(password, why)) return ReplyError(res, kHttpBadRequest, why);
    std::memcpy(info.u.user.password, password.data(), password.size());
  } else if (!password.empty()) {
    return ReplyError(res, kHttpBadRequest, "only a user has a password");
  }
  if (body.contains("fields") && !ApplyFields(body["fields"], info, res)) return;
  Accounts a;
  if (!OpenDomain(a, number, res)) return;
  if (!AddUser(a.get(), &info)) return ReplyAccountError(res, a.get(), "account add");
  LogEvent(0, kLogAlways, "Web console: account %s added.", VisibleText(name).c_str());
  ReplyJson(res, {{"account", AccountJson(info)}});
}

// Changes fields (and a user's password). `expect` holds the fields as the page
// showed them: when the stored account differs, somebody changed it meanwhile and
// nothing is written.
void HandleModify(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string name, password;
  long number = 0;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "name", name, res) ||
      !TakeString(body, "password", password, res, false) || !TakeDomain(body, number, res))
    return;
  Accounts a;
  if (!OpenDomain(a, number, res)) return;
  InfoPtr found{FindAccount(a.get(), name)};
  if (!found) {
    if (GetLastUserError(a.get()) == 0)
      return ReplyError(res, kHttpNotFound, "no such account: " + VisibleText(name));
    return ReplyAccountError(res, a.get(), "account modify");
  }
  AccountInfo info = *found;
  if (body.contains("expect")) {
    Json current = AccountJson(info)["fields"];
    if (body["expect"] != current)
      return ReplyError(res, kHttpConflict,
                        "The account " + VisibleText(info.name) +
                            " was changed meanwhile; reload it and make the change again.");
  }
  if (body.contains("fields") && !ApplyFields(body["fields"], info, res)) return;
  if (!password.empty()) {
    if (info.type != ACCT_TYPE_USER)
      return ReplyError(res, kHttpBadRequest, "only a user has a password");
    std::string why;
    if (!ValidatePassword(password, why)) return ReplyError(res, kHttpBadRequest, why);
    std::memset(info.u.user.password, 0, sizeof info.u.user.password);
    std::memcpy(info.u.user.password, password.data(), password.size());
  }
  if (!ModifyUser(a.get(), &info)) return ReplyAccountError(res, a.get(), "account modify");
  LogEvent(0, kLogAlways, "Web console: account %s changed.", VisibleText(info.name).c_str());
  ReplyJson(res, {{"account", AccountJson(info)}});
}

void HandleRename(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string name, newName;
  long number = 0;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "name", name, res) ||
      !TakeString(body, "newName", newName, res) || !TakeDomain(body, number, res))
    return;
  Accounts a;
  if (!OpenDomain(a, number, res)) return;
  if (!RenameUser(a.get(), name.c_str(), newName.c_str()))
    return ReplyAccountError(res, a.get(), "account rename");
  LogEvent(0, kLogAlways, "Web console: account %s renamed to %s.", VisibleText(name).c_str(),
           VisibleText(newName).c_str());
  ReplyJson(res, {{"name", newName}});
}

void HandleDelete(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string name, mode = "unused", newName;
  long number = 0;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "name", name, res) ||
      !TakeString(body, "mode", mode, res, false) ||
      !TakeString(body, "newName", newName, res, false) || !TakeDomain(body, number, res))
    return;
  struct Mode {
    const char* word;
    int mode;
  } modes[] = {{"unused", ACCT_DELETE_UNUSED},
               {"repoint", ACCT_DELETE_REPOINT},
               {"cascade", ACCT_DELETE_CASCADE},
               {"force", ACCT_DELETE_FORCE}};
  int chosen = -1;
  for (const Mode& m : modes)
    if (mode == m.word) chosen = m.mode;
  if (chosen < 0)
    return ReplyError(res, kHttpBadRequest, "\"mode\" is one of unused, repoint, cascade, force.");
  Accounts a;
  if (!OpenDomain(a, number, res)) return;
  if (!DeleteUser(a.get(), name.c_str(), newName.empty() ? nullptr : newName.c_str(), chosen))
    return ReplyAccountError(res, a.get(), "account delete");
  LogEvent(0, kLogAlways, "Web console: account %s deleted.", VisibleText(name).c_str());
  ReplyJson(res, {{"deleted", name}});
}

void HandleDomains(const httplib::Request&, httplib::Response& res) {
  Accounts a;
  if (!OpenDomain(a, 0, res)) return;
  std::vector<int> numbers{0};
  for (const SecondaryDomain& d : ReadSecondaryDomainSlots()) numbers.push_back(d.slot);
  Json list = Json::array();
  for (int n : numbers) {
    char name[kTextSize], description[kTextSize];
    if (!SelectDomainByID(a.get(), n) || !GetCurrentDomain(a.get(), name, sizeof name) ||
        !GetCurrentDomainDescription(a.get(), description, sizeof description))
      continue;  // removed meanwhile
    list.push_back({{"number", n}, {"name", name}, {"description", description}});
  }
  ReplyJson(res, {{"domains", list}});
}

void HandleDomainAdd(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string name, description;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "name", name, res) ||
      !TakeString(body, "description", description, res, false))
    return;
  if (description.empty()) description = name;
  Accounts a;
  if (!OpenDomain(a, 0, res)) return;
  int slot = CreateVirtualDomain(a.get(), name.c_str(), description.c_str());
  if (slot < 0 && GetLastUserError(a.get()) == ACCT_ERR_EXISTS)
    return ReplyError(res, kHttpConflict,
                      FormatText("domain add: the domain %s exists already (0x%08X)",
                                 VisibleText(name).c_str(), unsigned(ACCT_ERR_EXISTS)));
  if (slot < 0) return ReplyAccountError(res, a.get(), "domain add");
  LogEvent(0, kLogAlways, "Web console: domain %s added.", VisibleText(name).c_str());
  ReplyJson(res, {{"number", slot}, {"name", name}});
}

// Removes a domain by number; the name must still be that slot's name, so a slot
// freed and reused meanwhile is not removed by mistake.
void HandleDomainRemove(const httplib::Request& req, httplib::Response& res) {
  Json body;
  std::string name;
  long number = 0;
  if (!ParseJsonBody(req, res, body) || !TakeString(body, "name", name, res) ||
      !TakeDomain(body, number, res))
    return;
  if (number == 0) return ReplyError(res, kHttpBadRequest, "The primary domain cannot be removed.");
  Accounts a;
  if (!OpenDomain(a, 0, res)) return;
  SecondaryDomain d;
  if (!ReadSecondaryDomainSlot(int(number), d) || !EqualNoCase(d.name, name))
    return ReplyError(res, kHttpConflict,
                      "The domain " + VisibleText(name) + " is no longer in slot " +
                          std::to_string(number) + "; reload the list.");
  if (!DestroyVirtualDomain(a.get(), int(number)))
    return ReplyAccountError(res, a.get(), "domain remove");
  LogEvent(0, kLogAlways, "Web console: domain %s removed.", VisibleText(name).c_str());
  ReplyJson(res, {{"removed", name}});
}

}  // namespace

void RegisterAccountRoutes(httplib::Server& server) {
  server.Get("/api/accounts", HandleList);
  server.Post("/api/accounts/add", HandleAdd);
  server.Post("/api/accounts/modify", HandleModify);
  server.Post("/api/accounts/rename", HandleRename);
  server.Post("/api/accounts/delete", HandleDelete);
  server.Get("/api/domains", HandleDomains);
  server.Post("/api/domains/add", HandleDomainAdd);
  server.Post("/api/domains/remove", HandleDomainRemove);
}
