// inimove: moves a configuration kept in the old INI-file layout into the
// registry, once.
//
//   inimove [--home DIR] [--registry FILE] INIFILE
//
// Every section it knows becomes a key below SOFTWARE\Tollgrove\Corvel and every
// entry a REG_SZ value of the same name, its bytes as the file holds them. List
// and responder records name their own INI files: those files' sections go to
// ListsAndResponders\<account> and the record is rewritten to name that key.
// Each virtual domain's accounts come from win<NNNN>.vsd beside the INI file.
// A file a record names is opened as written, else by its file name in the INI
// file's directory, matched without regard to case (an old record holds a
// Windows path such as C:\lists\friends.cfl).
//
// Standard output names each value as it is written ("Transferring: %s");
// standard error names whatever could not be moved, and the run goes on.
// Exit status: 0 done, 1 something could not be moved ("Error"), 2 bad usage.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "basekit/basekit32.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "server/core/config.h"
#include "server/core/program_options.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsageText = "inimove inifile\n   Transfer your Corvel ini file to the 95/NT Registry";
constexpr const char* kNoFileText = "INI file %s does not exist.\n";
constexpr const char* kBufferError = "Error allocating buffer";
constexpr const char* kTransferring = "Transferring: %s\n";

constexpr long kDefaultNameBuffer = 4096;  // when the INI file's size is not known
constexpr int kMaxDomains = 1024;           // the server loads no more

// Sections whose entries go straight into the key built so far.
constexpr const char* kRootSections[] = {"Corvel", "Corvel16", "Corvel95"};
// The main file's sections, in order after the three root sections.
constexpr const char* kMainSections[] = {"Brevkin", "Exceptions", "VirtualDomains",
                                         "NoResponding", "LoadCustomDlls", "UserExtra"};
constexpr const char* kResponderSections[] = {"Configuration", "Files"};
constexpr const char* kListSections[] = {"Configuration", "FilesPending", "Users", "AddUsers",
                                         "ListMsgIds"};
constexpr const char* kUsersSection = "Users";
constexpr const char* kDomainsSection = "VirtualDomains";
constexpr const char* kDomainFileFormat = "win%04d.vsd";

struct Transfer {
  std::string iniDirectory;  // of the main INI file, ends in '/' (or empty)
  bool failed = false;
};

void Complain(Transfer& t, const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "inimove: %s\n", text.c_str());
  t.failed = true;
}

bool IsRootSection(const char* section) {
  for (const char* s : kRootSections)
    if (::strcasecmp(s, section) == 0) return true;
  return false;
}

// A name that becomes one registry key: not empty and without '\'.
bool IsKeyName(const std::string& name) { return !name.empty() && name.find('\\') == std::string::npos; }

std::string KeyFor(const std::string& domain, const std::string& account, const char* section) {
  std::string key = kRootKey;
  if (!domain.empty()) key += "\\VirtualDomains\\" + domain;
  if (!account.empty()) key += "\\ListsAndResponders\\" + account;
  if (!IsRootSection(section)) key += std::string("\\") + section;
  return key;
}

// The file a record or a domain names: as written when it exists, else the entry
// of the INI file's directory whose name matches its file name without regard to
// case. Empty when there is none.
std::string FindNamedFile(const Transfer& t, const std::string& named) {
  if (named.empty()) return std::string();
  if (named.find('\\') == std::string::npos && FileExists(named)) return named;
  std::string wanted = PathFileName(named);
  if (wanted.empty()) return std::string();
  for (const std::string& entry : ListFiles(t.iniDirectory, "*"))
    if (::strcasecmp(entry.c_str(), wanted.c_str()) == 0) return t.iniDirectory + entry;
  return std::string();
}

void TransferSection(Transfer& t, const char* section, const std::string& file,
                     const std::string& domain, const std::string& account, bool recurse);

// The sections of an account's own file go to ListsAndResponders\<entry>.
void TransferAccountFile(Transfer& t, const char* kind, const std::string& named,
                         const std::string& entry, const std::string& domain,
                         const char* const* sections, size_t count) {
  if (!IsKeyName(entry)) {
    Complain(t, std::string(kind) + " " + entry + ": the name cannot be a registry key; its file is not moved");
    return;
  }
  std::string file = FindNamedFile(t, named);
  if (file.empty()) {
    Complain(t, std::string(kind) + " file " + named + " of " + entry + " not found");
    return;
  }
  for (size_t i = 0; i < count; ++i) TransferSection(t, sections[i], file, domain, entry, false);
}

// A responder record "r;<name>;<file>" or a list record "l;<name>;<file>;<owner>":
// moves the file's sections and rewrites the link to the entry's name.
std::string MoveAccountRecord(Transfer& t, const std::string& entry, const std::string& value,
                              const std::string& domain) {
  std::vector<char> record(value.begin(), value.end());
  record.push_back(0);
  char* text = record.data();
  char first = char(text[0] | 0x20);
  if (first == 'r') {
    char* last = lstrrchr(text, ';');
    // No link field, or an empty one (the list server's own record): nothing to move.
    if (!last || last == lstrchr(text, ';') || !last[1]) return value;
    TransferAccountFile(t, "responder", last + 1, entry, domain, kResponderSections,
                        std::size(kResponderSections));
    std::vector<char> out(size_t(last - text) + entry.size() + 2);
    char* end = lstrncpy(out.data(), text, int32_t(last - text + 1));
    lstrecpy(end, entry.c_str());
    return out.data();
  }
  if (first == 'l') {
    char* second = lstrchr(text, ';');
    second = second ? lstrchr(second + 1, ';') : nullptr;
    if (!second) return value;  // no link field
    char* third = lstrchr(second + 1, ';');
    std::string link = third ? std::string(second + 1, size_t(third - second - 1)) : std::string(second + 1);
    if (link.empty()) return value;
    TransferAccountFile(t, "list", link, entry, domain, kListSections, std::size(kListSections));
    std::string rest = third ? third : "";
    std::vector<char> out(size_t(second - text) + entry.size() + rest.size() + 2);
    char* end = lstrncpy(out.data(), text, int32_t(second - text + 1));
    end = lstrecpy(end, entry.c_str());
    lstrecpy(end, rest.c_str());
    return out.data();
  }
  return value;
}

void TransferSection(Transfer& t, const char* section, const std::string& file,
                     const std::string& domain, const std::string& account, bool recurse) {
  // The buffer for the entry names is as large as the file: no list can be longer.
  long long size = FileSize(file);
  long bufferSize = size > 0 ? long(size) + 2 : kDefaultNameBuffer;
  char* names = static_cast<char*>(std::malloc(size_t(bufferSize)));
  if (!names) {
    ShowMessageBox("inimove", kBufferError);
    t.failed = true;
    return;
  }
  GetPrivateProfileString(section, nullptr, "", names, int(bufferSize), file.c_str());
  std::string key = KeyFor(domain, account, section);
  for (const char* name = names; *name; name += std::strlen(name) + 1) {
    std::string value;
    if (!ReadProfileValue(section, name, file, value)) continue;
    if (recurse && !value.empty()) value = MoveAccountRecord(t, name, value, domain);
    std::printf(kTransferring, name);
    if (!RegSetString(key, name, value))
      Complain(t, "cannot write " + key + "\\" + name + ": " + RegLastErrorText());
  }
  std::free(names);
}

void TransferDomains(Transfer& t, const std::string& ini) {
  int count = GetPrivateProfileInt(kDomainsSection, "NumDomains", 0, ini.c_str());
  if (count > kMaxDomains) {
    Complain(t, "NumDomains " + std::to_string(count) + " is more than " + std::to_string(kMaxDomains) +
                    "; only the first are moved");
    count = kMaxDomains;
  }
  for (int n = 1; n <= count; ++n) {
    std::string slot = "Domain" + std::to_string(n), value;
    if (!ReadProfileValue(kDomainsSection, slot, ini, value) || value.empty()) continue;
    size_t semi = value.find(';');
    std::string domain = semi == std::string::npos ? std::string() : value.substr(semi + 1);
    if (!IsKeyName(domain)) {
      Complain(t, slot + " \"" + value + "\" names no domain key");
      continue;
    }
    char name[32];
    std::snprintf(name, sizeof name, kDomainFileFormat, n);
    std::string file = FindNamedFile(t, t.iniDirectory + name);
    if (file.empty()) {
      Complain(t, std::string("domain file ") + name + " of " + domain + " not found");
      continue;
    }
    TransferSection(t, kUsersSection, file, domain, "", true);
  }
}

}  // namespace

constexpr const char* kHelp =
    "usage: inimove [--home DIR] [--registry FILE] INIFILE\n"
    "moves an old INI-file configuration (with its list, responder and win<NNNN>.vsd\n"
    "files) into the registry, creating the registry when it is missing\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "inimove", kHelp); rc >= 0) return rc;
  std::string homeArg, registryArg, why;
  if (!TakeLocationOptions(argc, argv, homeArg, registryArg, why)) {
    std::fprintf(stderr, "inimove: %s\n", why.c_str());
    return kExitUsage;
  }
  if (argc != 2) {
    ShowMessageBox("Usage", kUsageText);
    return kExitUsage;
  }
  std::string ini = argv[1];
  if (!FileExists(ini)) {
    char text[4200];
    std::snprintf(text, sizeof text, kNoFileText, ini.c_str());
    ShowMessageBox("Error", text);
    return kExitFailed;
  }
  std::string home = ResolveHomeDirectory(homeArg.c_str());
  SetHomeDirectory(home);
  // inimove is the one program that may create the registry.
  if (!MakeDirectories(home) || !RegOpenStore(ResolveRegistryPath(registryArg.c_str(), home), why)) {
    ShowMessageBox("Error", why.empty() ? home + ": cannot be created" : why);
    return kExitFailed;
  }
  Transfer t;
  t.iniDirectory = PathDirectory(ini);
  if (t.iniDirectory.empty()) t.iniDirectory = "./";
  for (const char* s : kRootSections) TransferSection(t, s, ini, "", "", false);
  TransferSection(t, kUsersSection, ini, "", "", true);
  for (const char* s : kMainSections) TransferSection(t, s, ini, "", "", false);
  TransferDomains(t, ini);
  std::fflush(stdout);
  RegCloseStore();
  return t.failed ? kExitFailed : kExitOk;
}
