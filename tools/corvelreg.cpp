// corvelreg: reads and changes the registry from the command line, and moves it
// to and from the ".reg" text form.
//
//   corvelreg [--home DIR] [--registry FILE] import FILE
//   corvelreg [...] export [KEY] [FILE]     (whole hive when KEY is empty or HKLM)
//   corvelreg [...] get KEY [VALUE]
//   corvelreg [...] set KEY VALUE (sz|dword|multi) DATA...
//   corvelreg [...] delete KEY [VALUE]
//   corvelreg scramble ACCOUNT PASSWORD     (prints the stored form; no registry)
//
// Exit status: 0 done, 1 failed (the reason on standard error), 2 bad usage.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExportFileMode = 0600;

constexpr const char* kUsage =
    "usage: corvelreg [--home DIR] [--registry FILE] COMMAND\n"
    "  import FILE                      apply a .reg file (all or nothing); - reads stdin\n"
    "  export [KEY] [FILE]              write KEY and below (all when KEY is empty) as .reg\n"
    "  get KEY [VALUE]                  list a key, or print one value\n"
    "  set KEY VALUE sz TEXT            write a string\n"
    "  set KEY VALUE dword NUMBER       write a number (decimal or 0x hex)\n"
    "  set KEY VALUE multi TEXT...      write a multi-string, one item per argument\n"
    "  delete KEY [VALUE]               delete a value, or a key with all below it\n"
    "  scramble ACCOUNT PASSWORD        print the password as an account record stores it\n"
    "  --help | --version               print this text, or the version\n"
    "KEY is a path below HKEY_LOCAL_MACHINE (the prefixes HKEY_LOCAL_MACHINE\\ and HKLM\\\n"
    "are accepted); an empty VALUE is the key's default value. Exports are written\n"
    "readable by their owner only: they hold the accounts' passwords.\n";

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "corvelreg: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "corvelreg: %s\n", why.c_str());
  return kExitFailed;
}

// The last registry failure, for a message.
std::string RegWhy(const std::string& what) {
  std::string text = RegLastErrorText();
  return text.empty() ? what : what + ": " + text;
}

bool ReadWholeFile(const std::string& path, std::string& out, std::string& why) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) {
    why = path + ": " + std::strerror(errno);
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !std::ferror(f);
  if (!ok) why = path + ": read error";
  if (f != stdin) std::fclose(f);
  return ok;
}

// Writes through a temporary next to the file and renames it into place, so a
// reader never sees half an export.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& why) {
  if (path == "-") {
    bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
              std::fflush(stdout) == 0;
    if (!ok) why = "cannot write to standard output";
    return ok;
  }
  // The file holds every account's password: readable by its owner only,
  // whatever the umask.
  std::string temp = path + ".corvelreg-tmp";
  std::remove(temp.c_str());  // a left-over of an earlier run
  if (!CreatePrivateFile(temp, kExportFileMode, &why)) return false;
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    why = temp + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) why = temp + ": write error";
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
    why = path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) std::remove(temp.c_str());
  return ok;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case kRegNone: return "REG_NONE";
    case kRegSz: return "REG_SZ";
    case kRegExpandSz: return "REG_EXPAND_SZ";
    case kRegBinary: return "REG_BINARY";
    case kRegDword: return "REG_DWORD";
    case kRegMultiSz: return "REG_MULTI_SZ";
    default: return "REG_UNKNOWN";
  }
}

std::string HexBytes(const std::string& data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", unsigned(uint8_t(data[i])));
    out += buf;
  }
  return out;
}

// The printable lines of a value's data: dword in decimal, a multi-string one
// item per line, strings as text, everything else as hex bytes.
std::vector<std::string> DataLines(const RegValue& v) {
  uint32_t n = 0;
  switch (v.type) {
    case kRegSz:
    case kRegExpandSz:
      return {RegDecodeSz(v.data)};
    case kRegMultiSz:
      return RegDecodeMultiSz(v.data);
    case kRegDword:
      if (RegDecodeDword(v.data, n)) return {std::to_string(n)};
      break;
    default:
      break;
  }
  return {HexBytes(v.data)};
}

// Parses a dword argument: decimal or 0x hex, 0 .. 4294967295.
bool ParseDword(const std::string& text, uint32_t& v) {
  const char* s = text.c_str();
  int base = 10;
  if (text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
  }
  if (*s == 0) return false;
  unsigned long long n = 0;
  for (; *s; ++s) {
    int d;
    if (*s >= '0' && *s <= '9') d = *s - '0';
    else if (base == 16 && *s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
    else if (base == 16 && *s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
    else return false;
    n = n * unsigned(base) + unsigned(d);
    if (n > 0xffffffffull) return false;
  }
  v = uint32_t(n);
  return true;
}

std::string FullKeyName(const std::string& stored) {
  return stored.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + stored;
}

int DoImport(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("import takes one FILE");
  std::string text, why;
  if (!ReadWholeFile(args[0], text, why)) return Fail(why);
  if (!RegImportText(text, why)) return Fail(args[0] + ": " + why);
  return kExitOk;
}

int DoExport(const std::vector<std::string>& args) {
  if (args.size() > 2) return Usage("export takes at most KEY and FILE");
  std::string key = args.empty() ? std::string() : args[0];
  std::string file = args.size() > 1 ? args[1] : std::string("-");
  std::string text, why;
  if (!RegExportText(key, text, why)) return Fail(why);
  if (!WriteWholeFile(file, text, why)) return Fail(why);
  return kExitOk;
}

int DoGet(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return Usage("get takes KEY and at most one VALUE");
  const std::string& key = args[0];
  if (args.size() == 2) {
    RegValue v;
    if (!RegQueryValue(key, args[1], v)) return Fail(RegWhy("cannot read the value"));
    for (const std::string& line : DataLines(v)) std::printf("%s\n", line.c_str());
    return kExitOk;
  }
  std::string stored;
  std::vector<RegValue> values;
  std::vector<std::string> keys;
  if (!RegStoredKeyPath(key, stored) || !RegEnumValues(key, values) || !RegEnumKeys(key, keys))
    return Fail(RegWhy("cannot list the key"));
  std::printf("%s\n", FullKeyName(stored).c_str());
  for (const RegValue& v : values) {
    std::vector<std::string> lines = DataLines(v);
    std::string data;
    for (size_t i = 0; i < lines.size(); ++i) data += (i ? "\\0" : "") + lines[i];
    std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
                TypeName(v.type), data.c_str());
  }
  for (const std::string& k : keys) {
    std::printf("%s\\%s\n", FullKeyName(stored).c_str(), k.c_str());
  }
  return kExitOk;
}

int DoSet(const std::vector<std::string>& args) {
  if (args.size() < 3) return Usage("set takes KEY VALUE TYPE DATA");
  const std::string& key = args[0];
  const std::string& name = args[1];
  const std::string& type = args[2];
  std::vector<std::string> data(args.begin() + 3, args.end());
  bool ok = false;
  if (type == "sz") {
    if (data.size() != 1) return Usage("set ... sz takes exactly one TEXT");
    ok = RegSetString(key, name, data[0]);
  } else if (type == "dword") {
    uint32_t v = 0;
    if (data.size() != 1) return Usage("set ... dword takes exactly one NUMBER");
    if (!ParseDword(data[0], v))
      return Usage("a dword is a number from 0 to 4294967295, decimal or 0x hex");
    ok = RegSetDword(key, name, v);
  } else if (type == "multi") {
    for (const std::string& item : data) {
      if (item.empty()) return Usage("a multi-string item cannot be empty");
    }
    ok = RegSetMultiString(key, name, data);
  } else {
    return Usage("the type is sz, dword or multi");
  }
  if (!ok) return Fail(RegWhy("cannot write the value"));
  return kExitOk;
}

int DoDelete(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return Usage("delete takes KEY and at most one VALUE");
  bool ok = args.size() == 2 ? RegDeleteValue(args[0], args[1]) : RegDeleteKeyTree(args[0]);
  if (!ok) return Fail(RegWhy("cannot delete"));
  return kExitOk;
}

// The stored form of a password, made by the server's own scrambler, so that an
// account can be added with one "set" line. The account name is lower-cased as
// the server's writers store it.
int DoScramble(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("scramble takes ACCOUNT and PASSWORD");
  std::string why;
  if (!ValidateAccountName(args[0], why) || !ValidatePassword(args[1], why))
    return Usage(why.c_str());
  std::string account = args[0];
  for (char& c : account)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  std::string scrambled;
  if (!ScramblePassword(account, args[1], scrambled)) return Fail("cannot scramble the password");
  std::printf("%s\n", scrambled.c_str());
  return kExitOk;
}

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
  bool needsRegistry;
};

constexpr Command kCommands[] = {
    {"import", DoImport, true}, {"export", DoExport, true},     {"get", DoGet, true},
    {"set", DoSet, true},       {"delete", DoDelete, true},     {"scramble", DoScramble, false},
};

bool IsLocationOption(const char* arg, bool& takesNext) {
  for (const char* name : {"--home", "--registry"}) {
    size_t len = std::strlen(name);
    if (std::strncmp(arg, name, len) != 0) continue;
    if (arg[len] == 0) {
      takesNext = true;
      return true;
    }
    if (arg[len] == '=') {
      takesNext = false;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The options come before the command, so DATA may look like an option.
  int first = 1;
  while (first < argc) {
    bool takesNext = false;
    if (!IsLocationOption(argv[first], takesNext)) break;
    first += takesNext ? 2 : 1;
  }
  if (first > argc) first = argc;  // "--home" last: TakeLocationOptions says so
  std::vector<char*> options(argv, argv + first);
  options.push_back(nullptr);
  int optionCount = first;
  std::string home, registry, why;
  if (!TakeLocationOptions(optionCount, options.data(), home, registry, why))
    return Usage(why.c_str());
  if (first >= argc) return Usage(nullptr);
  std::string word = argv[first];
  if (word == "-h" || word == "--help" || word == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (word == "--version") {
    std::printf("corvelreg (%s) %s\n", kProductBaseName, kProductVersion);
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (word == c.name) command = &c;
  }
  if (!command) return Usage(("unknown command: " + word).c_str());
  std::vector<std::string> args(argv + first + 1, argv + argc);
  if (!command->needsRegistry) return command->run(args);

  std::string homeDir = ResolveHomeDirectory(home.empty() ? nullptr : home.c_str());
  std::string path = ResolveRegistryPath(registry.empty() ? nullptr : registry.c_str(), homeDir);
  if (!RegOpenStore(path, why)) return Fail(why);
  int rc = command->run(args);
  RegCloseStore();
  return rc;
}
