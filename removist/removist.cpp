// removist: removes an installed product by the removal script it left under
// SOFTWARE\Tollgrove\Uninstall\<product>: stops and removes its services, runs
// the items of Level0 to Level9 in order, and may start a follow-on command.
//
//   removist [--home DIR] [--registry FILE] [-y|-q|/y|/q] PRODUCT
//
// -y or -q (after '-' or '/', any case) runs unattended: nothing is asked and no
// message box shown. The progress window is lines on standard output; message
// boxes are lines on standard error. Commands are split at blanks (double quotes
// group) and run without a shell, "%NAME%" expanded from the environment; items
// that begin "remove-file ", "remove-tree " or "remove-key " are done here
// (removals.h). The confirmation function of ConfirmDLL, int f(const char*
// product, int unattended), runs in a child process, so a crash in it cannot take
// this program down.
//
// Exit status: 0 removed, 1 failed, 2 bad usage, 3 not confirmed.
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/library.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/tick.h"
#include "removist/removals.h"
#include "server/core/log.h"  // FormatText
#include "server/core/program_options.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotConfirmed = 3;

constexpr const char* kScriptRoot = "SOFTWARE\\Tollgrove\\Uninstall\\";
constexpr int kLevels = 10;
constexpr uint32_t kStartPauseMs = 2000;
constexpr uint32_t kItemWaitMs = 60000;

// Texts.
constexpr const char* kUsage = "usage: removist [--home DIR] [--registry FILE] [-y|-q] PRODUCT\n";
constexpr const char* kNoLibrary = "The uninstaller was unable to load the Confirmation DLL";
constexpr const char* kNoFunction = "The uninstaller was unable to load the Confirmation Function";
constexpr const char* kException = "The Confirmation DLL caused an exception.";
constexpr const char* kQuestion = "Are you sure you want to completely remove %s and all of its components?";
constexpr const char* kQuestionTitle = "Remove %s";
constexpr const char* kStopping = "The Uninstaller is attempting to stop and remove the %s service";
constexpr const char* kRemovingService = "Removing the %s Service";
constexpr const char* kServiceFailed = "The Uninstaller failed to stop and remove the %s service";
constexpr const char* kServiceGone = "The %s service is no longer installed. Passing over it.";
constexpr const char* kRemoving = "Uninstall is removing %s";
constexpr const char* kItemFailed = "The Uninstaller failed to remove %s";
constexpr const char* kLevelDone = "Level %d done";
constexpr const char* kComplete = "Uninstall Complete";
constexpr const char* kNoScript = "There is no removal script for %s";
constexpr const char* kNoRegistry = "The uninstaller was unable to open the registry";
constexpr const char* kContinueFailed = "The uninstaller was unable to start %s";
constexpr const char* kTitle = "Uninstall";

struct Run {
  std::string product;
  std::string key;  // the script's key
  bool unattended = false;
  std::string installRoot;
};

// A line in the progress window.
void Progress(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// A failure: in the progress window always, as a message box unless unattended.
void Failure(const Run& r, const std::string& text) {
  Progress(text);
  if (!r.unattended) ShowMessageBox(kTitle, text);
}

std::string ReadText(const std::string& key, const char* name) {
  RegValue v;
  if (!RegQueryValue(key, name, v) || (v.type != kRegSz && v.type != kRegExpandSz)) return std::string();
  return RegDecodeSz(v.data);
}

// What the confirmation child reports through its pipe.
enum ConfirmReport : char { kConfirmYes = 'Y', kConfirmNo = 'N', kConfirmNoLibrary = 'L', kConfirmNoFunction = 'F' };

// The confirmation function, run in a child process. Returns the exit status to
// end with, or -1 to go on.
int ConfirmWithLibrary(const Run& r, const std::string& confirm) {
  size_t semi = confirm.find(';');
  std::string path = ExpandEnvironmentText(confirm.substr(0, semi));
  std::string function = semi == std::string::npos ? std::string() : confirm.substr(semi + 1);
  int fds[2];
  if (::pipe(fds) != 0) {
    Failure(r, kNoLibrary);
    return kExitFailed;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    char report = kConfirmNoLibrary;
    LoadedLibrary library;
    std::string why;
    if (LoadLibraryFile(path, library, why)) {
      using ConfirmFunction = int (*)(const char*, int);
      auto f = reinterpret_cast<ConfirmFunction>(FindLibraryFunction(library, function));
      report = f ? (f(r.product.c_str(), r.unattended ? 1 : 0) ? kConfirmYes : kConfirmNo) : kConfirmNoFunction;
    }
    (void)!::write(fds[1], &report, 1);
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(fds[1]);
  char report = 0;
  ssize_t n = pid > 0 ? ::read(fds[0], &report, 1) : -1;
  ::close(fds[0]);
  int status = 0;
  if (pid > 0) ::waitpid(pid, &status, 0);
  if (n != 1) {
    // No answer: the function crashed or ended the process.
    Failure(r, kException);
    return kExitFailed;
  }
  switch (report) {
    case kConfirmYes: return -1;
    case kConfirmNo: return kExitNotConfirmed;
    case kConfirmNoFunction:
      Failure(r, kNoFunction);
      return kExitFailed;
    default:
      Failure(r, kNoLibrary);
      return kExitFailed;
  }
}

int Confirm(const Run& r) {
  std::string confirm = ReadText(r.key, "ConfirmDLL");
  if (!confirm.empty()) return ConfirmWithLibrary(r, confirm);
  if (r.unattended) return -1;
  bool yes = AskYesNo(FormatText(kQuestionTitle, r.product.c_str()),
                      FormatText(kQuestion, r.product.c_str()), false);
  return yes ? -1 : kExitNotConfirmed;
}

// A removal command: one of our own removals, or a program waited for up to the
// item limit. True when it was done, or started and ended in time.
bool RunItem(const Run& r, const std::string& data, std::string& why) {
  std::string line = ExpandEnvironmentText(data);
  OwnRemoval own = RunOwnRemoval(line, r.installRoot, why);
  if (own != OwnRemoval::kNotOwn) return own == OwnRemoval::kDone;
  ProcessHandle p;
  if (!StartProcess(SplitCommandLine(line), ProcessOptions(), p, why)) return false;
  int exitCode = 0;
  if (WaitProcess(p, int(ScaledWaitMs(kItemWaitMs)), exitCode)) return true;
  why = line + ": still running after the wait";
  ReleaseProcess(p);
  return false;
}

bool RemoveServices(const Run& r) {
  std::vector<RegValue> services;
  RegEnumValues(r.key + "\\Services", services);
  for (const RegValue& s : services) {
    const std::string& name = s.name;
    Progress(FormatText(kStopping, name.c_str()));
    int state = 0;
    std::string why;
    if (!QueryServiceState(name, state, why)) {
      // A service that is gone already is what an interrupted removal leaves.
      if (LastWinError() == kErrServiceDoesNotExist) {
        Progress(FormatText(kServiceGone, name.c_str()));
        continue;
      }
      Failure(r, FormatText(kServiceFailed, name.c_str()));
      return false;
    }
    if (state != kServiceStopped) {
      StopService(name, why);
      WaitForServiceToSettle(name);
    }
    std::string display;
    if (!GetServiceDisplayName(name, display) || display.empty()) display = name;
    Progress(FormatText(kRemovingService, display.c_str()));
    std::string command = s.type == kRegSz || s.type == kRegExpandSz ? RegDecodeSz(s.data) : "";
    bool ok = command.empty() ? DeleteService(name, why) : RunItem(r, command, why);
    if (!ok) {
      Failure(r, FormatText(kServiceFailed, name.c_str()));
      if (!why.empty()) Progress("  " + why);
      return false;
    }
  }
  return true;
}

bool RunLevels(const Run& r) {
  for (int level = 0; level < kLevels; ++level) {
    std::string key = r.key + "\\Level" + std::to_string(level);
    if (!RegKeyExists(key)) continue;
    std::vector<RegValue> items;
    RegEnumValues(key, items);
    for (const RegValue& item : items) {
      if (::strcasecmp(item.name.c_str(), "Description") == 0) continue;
      Progress(FormatText(kRemoving, item.name.c_str()));
      std::string why;
      std::string data = item.type == kRegSz || item.type == kRegExpandSz ? RegDecodeSz(item.data) : "";
      if (!RunItem(r, data, why)) {
        Failure(r, FormatText(kItemFailed, item.name.c_str()));
        if (!why.empty()) Progress("  " + why);
        return false;
      }
    }
    char done[32];
    std::snprintf(done, sizeof done, kLevelDone, level);
    Progress(done);
  }
  return true;
}

bool StartContinue(const Run& r) {
  std::string command = ReadText(r.key, "Continue");
  if (command.empty()) return true;
  std::string line = ExpandEnvironmentText(command) + " -y";
  ProcessHandle p;
  std::string why;
  if (!StartProcess(SplitCommandLine(line), ProcessOptions(), p, why)) {
    Failure(r, FormatText(kContinueFailed, line.c_str()));
    return false;
  }
  ReleaseProcess(p);
  return true;
}

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "removist: %s\n", why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "removist", kUsage); rc >= 0) return rc;
  std::string homeArg, registryArg, why;
  if (!TakeLocationOptions(argc, argv, homeArg, registryArg, why)) return Usage(why.c_str());
  Run r;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg[0] == '-' || arg[0] == '/') && arg.size() == 2 && ((arg[1] | 0x20) == 'y' || (arg[1] | 0x20) == 'q')) {
      r.unattended = true;
    } else if (arg[0] == '-' || (arg[0] == '/' && arg.size() == 2)) {
      return Usage(("unknown switch: " + arg).c_str());
    } else if (r.product.empty()) {
      r.product = arg;
    } else {
      return Usage("one product only");
    }
  }
  if (r.product.empty()) return Usage(nullptr);
  if (r.product.find('\\') != std::string::npos) return Usage("a product name holds no '\\'");
  std::string home = ResolveHomeDirectory(homeArg.c_str());
  SetHomeDirectory(home);
  std::string registry = ResolveRegistryPath(registryArg.c_str(), home);
  if (!RegLocationExists(registry) || !RegOpenStore(registry, why)) {
    ShowMessageBox(kTitle, kNoRegistry);
    return kExitFailed;
  }
  r.key = kScriptRoot + r.product;
  if (!RegKeyExists(r.key)) {
    ShowMessageBox(kTitle, FormatText(kNoScript, r.product.c_str()));
    return kExitFailed;
  }
  r.installRoot = ReadText(r.key, "InstallRoot");
  int confirmed = Confirm(r);
  if (confirmed >= 0) return confirmed;
  SleepMs(ScaledWaitMs(kStartPauseMs));
  if (!RemoveServices(r) || !RunLevels(r)) return kExitFailed;
  Progress(kComplete);
  bool continued = StartContinue(r);
  RegCloseStore();
  return continued ? kExitOk : kExitFailed;
}
