// cfgaudit: the configuration checker.
//
//   cfgaudit [--home DIR] [--registry FILE] [-g] [-u] [-d] [-l] [-a]
//   cfgaudit [...] --restore FILE [-a]
//   cfgaudit --version | --help
//
// -g general settings, -u the user database, -d the virtual domains, -l lists
// and responders; -a runs unattended (no message boxes, no question). Switches
// may be grouped ("-gudla") and start with '-' or '/'. The checks first save the
// configuration tree as <home>/backup/CVLxxxxxx.reg (the log is the .log beside
// it; the directory is 0700 and the files 0600, as the backup holds passwords
// that unscramble). --restore puts such a backup back.
//
// Exit status: 0 done (no errors found), 1 errors found or the restore failed,
// 2 bad usage, 3 not done (the checks could not run).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cfgaudit/cfgaudit.h"
#include "cfgaudit/cfgaudit_texts.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/home.h"
#include "server/core/program_options.h"

namespace t = cfgaudit_text;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotDone = 3;

constexpr const char* kUsage =
    "usage: cfgaudit [--home DIR] [--registry FILE] [-g] [-u] [-d] [-l] [-a]\n"
    "       cfgaudit [--home DIR] [--registry FILE] --restore FILE [-a]\n"
    "       cfgaudit --version | --help\n"
    "  -g  verify general settings      -u  verify the user database\n"
    "  -d  verify virtual domains       -l  verify lists and responders\n"
    "  -a  run the selected checks at once, without questions or message boxes\n"
    "  --restore FILE  put a backup (.reg) of the configuration back\n";
constexpr const char* kBackupDirectory = "backup";
constexpr const char* kBackupPrefix = "CVL";
constexpr mode_t kBackupDirMode = 0700;
constexpr mode_t kBackupFileMode = 0600;

struct Options {
  bool general = false, users = false, domains = false, lists = false;
  bool unattended = false;
  std::string restore;
  bool restoreGiven = false;
};

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "cfgaudit: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// Reads the switches; false for anything else.
bool ParseArguments(int argc, char** argv, Options& o, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--restore" || arg.rfind("--restore=", 0) == 0) {
      if (arg == "--restore") {
        if (i + 1 >= argc) {
          why = "--restore needs a file";
          return false;
        }
        o.restore = argv[++i];
      } else {
        o.restore = arg.substr(10);
      }
      o.restoreGiven = true;
    } else if (arg.size() >= 2 && (arg[0] == '-' || arg[0] == '/') && arg[1] != '-') {
      for (size_t k = 1; k < arg.size(); ++k) {
        switch (arg[k] | 0x20) {
          case 'g': o.general = true; break;
          case 'u': o.users = true; break;
          case 'd': o.domains = true; break;
          case 'l': o.lists = true; break;
          case 'a': o.unattended = true; break;
          default:
            why = "unknown switch: " + arg;
            return false;
        }
      }
    } else {
      why = "unexpected argument: " + arg;
      return false;
    }
  }
  return true;
}

// A message box: standard error, unless the run is unattended.
void Message(const Options& o, const std::string& text) {
  if (!o.unattended) ShowMessageBox(t::kTitle, text);
}

// A failure that ends the run: told even when unattended, since nobody is
// interrupted by a line on standard error and the exit status alone says little.
int NotDone(const std::string& text) {
  ShowMessageBox(t::kTitle, text);
  return kExitNotDone;
}

// "Backup privilege": the registry can be written. An IMMEDIATE transaction takes
// the write lock, which a read-only store or file cannot give (a database's
// rights are the database's to check).
bool HaveBackupPrivilege(const std::string& registry) {
  if (!RegLocationIsDatabase(registry) && ::access(registry.c_str(), W_OK) != 0) return false;
  RegTransaction probe;
  return probe.ok();  // rolled back: nothing is written
}

bool OpenRegistry(const std::string& registry) {
  if (!RegLocationExists(registry)) return false;  // only inimove creates a registry
  std::string why;
  return RegOpenStore(registry, why);
}

// Creates <home>/backup/CVLxxxxxx.reg and .log, both new and 0600. The stem is
// reserved with mkstemp and given back once the pair exists.
bool MakeBackupPair(const std::string& home, UniqueFd& reg, UniqueFd& log, std::string& regPath,
                    std::string& logPath, std::string& dir) {
  dir = home + kBackupDirectory;
  if (::mkdir(dir.c_str(), kBackupDirMode) != 0 && errno != EEXIST) return false;
  if (!DirectoryExists(dir) || ::chmod(dir.c_str(), kBackupDirMode) != 0) return false;
  std::string stem = dir + "/" + kBackupPrefix + "XXXXXX";
  UniqueFd placeholder(::mkstemp(stem.data()));
  if (!placeholder.valid()) return false;
  regPath = stem + ".reg";
  logPath = stem + ".log";
  reg.reset(::open(regPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kBackupFileMode));
  log.reset(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kBackupFileMode));
  ::unlink(stem.c_str());
  return reg.valid() && log.valid();
}

void DiscardBackupPair(const std::string& regPath, const std::string& logPath) {
  if (!regPath.empty()) ::unlink(regPath.c_str());
  if (!logPath.empty()) ::unlink(logPath.c_str());
}

int RunChecks(const Options& o, const std::string& home, const std::string& registry) {
  int selected = int(o.general) + int(o.users) + int(o.domains) + int(o.lists);
  if (selected == 0) return NotDone(t::kNothingToDo);

  UniqueFd regFd, logFd;
  std::string regPath, logPath, backupDir;
  if (!MakeBackupPair(home, regFd, logFd, regPath, logPath, backupDir)) {
    DiscardBackupPair(regPath, logPath);
    return NotDone(FormatText(t::kTempNameError, backupDir.c_str()));
  }
  auto giveUp = [&](const char* text) {
    DiscardBackupPair(regPath, logPath);
    return NotDone(text);
  };
  if (!OpenRegistry(registry)) return giveUp(t::kOpenForBackup);
  if (!HaveBackupPrivilege(registry)) return giveUp(t::kNoPrivileges);
  if (!RegCreateKey(AuditRootKey())) return giveUp(t::kOpenForBackup);
  std::string saved, why;
  if (!RegExportText(AuditRootKey(), saved, why) || !WriteAll(regFd.get(), saved.data(), saved.size()) ||
      !SyncFile(regFd.get()) || !regFd.close_checked())
    return giveUp(t::kSaveFailed);
  std::printf("Backup: %s\n", regPath.c_str());

  if (!RegKeyExists(AuditRootKey())) return NotDone(t::kNotInstalled);
  if (!RegKeyExists(AuditRootKey() + "\\Users")) return NotDone(t::kNoUsers);

  Audit a;
  a.home = home;
  a.log.fd = std::move(logFd);
  a.log.Write(t::kLogHeader);
  struct Step {
    bool selected;
    const char* progress;
    void (*run)(Audit&);
  };
  const Step steps[] = {
      {o.general, "Verifying General Settings", CheckGeneralSettings},
      {o.users, "Verifying Users", [](Audit& x) { CheckUsers(x, ""); }},
      {o.domains, "Verifying Virtual Domains", CheckVirtualDomains},
      {o.lists, "Verifying Lists and Responders", [](Audit& x) { CheckListsAndResponders(x, ""); }},
  };
  int done = 0;
  for (const Step& s : steps) {
    if (!s.selected) continue;
    std::printf("%s (%d of %d)\n", s.progress, ++done, selected);
    std::fflush(stdout);
    s.run(a);
  }
  a.log.Write(t::kLogFooter);
  a.log.Flush();
  bool logOk = !a.log.failed && a.log.fd.close_checked();
  bool clean = a.findings == 0;
  std::printf("%s\n", clean ? "All checks complete. No errors found." : "There were errors detected.");
  if (!o.unattended && AskYesNo(t::kTitle, clean ? t::kAllClean : t::kErrorsFound, false)) {
    std::string text;
    if (ReadWholeFile(logPath, text)) std::fwrite(text.data(), 1, text.size(), stdout);
  }
  std::printf("Log file: %s\n", logPath.c_str());
  if (!logOk) {
    ShowMessageBox(t::kTitle, logPath + ": the log could not be written completely");
    return kExitFailed;
  }
  return clean ? kExitOk : kExitFailed;
}

int Restore(const Options& o, const std::string& registry) {
  if (!OpenRegistry(registry)) return NotDone(t::kOpenForRestore);
  if (!HaveBackupPrivilege(registry)) return NotDone(t::kNoPrivileges);
  std::string text, why;
  if (!ReadWholeFile(o.restore, text)) {
    ShowMessageBox(t::kTitle, std::string(t::kRestoreFailed) + " " + o.restore + ": cannot be read");
    return kExitFailed;
  }
  if (!RegRestoreKeyText(AuditRootKey(), text, why)) {
    ShowMessageBox(t::kTitle, std::string(t::kRestoreFailed) + " " + why);
    return kExitFailed;
  }
  Message(o, t::kRestored);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "cfgaudit", kUsage); rc >= 0) return rc;
  std::string homeArg, registryArg, why;
  if (!TakeLocationOptions(argc, argv, homeArg, registryArg, why)) return Usage(why.c_str());
  Options o;
  if (!ParseArguments(argc, argv, o, why)) return Usage(why.c_str());
  if (argc < 2) return Usage(nullptr);
  std::string home = ResolveHomeDirectory(homeArg.c_str());
  std::string registry = ResolveRegistryPath(registryArg.c_str(), home);
  SetHomeDirectory(home);
  int rc = o.restoreGiven ? Restore(o, registry) : RunChecks(o, home, registry);
  RegCloseStore();
  return rc;
}
