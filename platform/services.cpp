#include "platform/services.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/tick.h"

namespace {

constexpr size_t kMaxServiceName = 256;
constexpr const char* kSystemdRunDir = "/run/systemd/system";
constexpr const char* kUnitDir = "/etc/systemd/system/";
constexpr const char* kNetworkTarget = "network-online.target";
constexpr int kSystemctlTimeoutMs = 120000;
constexpr uint32_t kSettlePollMs = 1000;
constexpr uint32_t kSettleLimitMs = 60000;

// Windows' service values.
constexpr uint32_t kOwnProcess = 0x10;
constexpr uint32_t kAutoStart = 2, kDemandStart = 3;
constexpr uint32_t kErrorNormal = 1;

bool Fail(int err, const std::string& text, std::string& why) {
  why = text;
  SetLastWinError(err);
  return false;
}

bool Done() {
  SetLastWinError(0);
  return true;
}

bool SameNoCase(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

// ---- systemd -----------------------------------------------------------------------

std::string SystemdRoot() {
  const char* root = ::getenv("CORVEL_SYSTEMD_ROOT");
  return root ? root : "";
}

std::string UnitPath(const std::string& name) { return SystemdRoot() + kUnitDir + name + ".service"; }

// Unit file values expand "%" specifiers: a literal '%' is written "%%".
std::string EscapeSpecifiers(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// One ExecStart word: quoted, with '\' and '"' escaped, '%' and '$' doubled, so
// systemd hands the program exactly the word we split.
std::string QuoteExecWord(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%' || c == '$') out += c;
    out += c;
  }
  return out + "\"";
}

bool Systemctl(const std::vector<std::string>& args, std::string& output, std::string& why) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  int exitCode = -1;
  if (!RunProgram(argv, kSystemctlTimeoutMs, output, exitCode, why)) return false;
  if (exitCode != 0) {
    why = "systemctl " + args.front() + " failed (status " + std::to_string(exitCode) + ")";
    return false;
  }
  return true;
}

// enable/disable work on the unit files only: with a test root they go there.
std::vector<std::string> InstallArgs(const char* verb, const std::string& name) {
  std::vector<std::string> args;
  std::string root = SystemdRoot();
  if (!root.empty()) args.push_back("--root=" + root);
  args.push_back(verb);
  args.push_back(name + ".service");
  return args;
}

bool DaemonReload(std::string& why) {
  if (!SystemdRoot().empty()) return true;  // no manager runs on a test root
  std::string output;
  return Systemctl({"daemon-reload"}, output, why);
}

bool WriteNewFile(const std::string& path, const std::string& text, std::string& why) {
  std::string temp = path + ".XXXXXX";
  int raw = ::mkstemp(temp.data());
  if (raw < 0) return Fail(WinErrorFromErrno(errno), path + ": " + std::strerror(errno), why);
  UniqueFd fd(raw);
  bool ok = ::fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), text.data(), text.size()) &&
            SyncFile(fd.get());
  ok = fd.close_checked() && ok;
  int err = ok ? RenameNoReplace(temp, path) : int(kErrWriteFault);
  if (err) {
    ::unlink(temp.c_str());
    if (err == kErrAlreadyExists) return Fail(kErrServiceExists, path + " exists already", why);
    return Fail(err, path + ": cannot be written", why);
  }
  SyncParentDirectory(path);
  return true;
}

bool CreateSystemdService(const ServiceConfig& config, std::string& why) {
  std::string path = UnitPath(config.name);
  if (FileExists(path)) return Fail(kErrServiceExists, "service " + config.name + " exists already", why);
  if (!WriteNewFile(path, BuildUnitFile(config), why)) return false;
  std::string output;
  bool ok = DaemonReload(why) &&
            (!config.autoStart || Systemctl(InstallArgs("enable", config.name), output, why));
  if (!ok) {
    // Nothing half-done stays: the unit goes again.
    ::unlink(path.c_str());
    std::string ignored;
    DaemonReload(ignored);
    SetLastWinError(kErrGenFailure);
    return false;
  }
  return Done();
}

bool DeleteSystemdService(const std::string& name, std::string& why) {
  std::string path = UnitPath(name);
  if (!FileExists(path)) return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  std::string output, ignored;
  Systemctl(InstallArgs("disable", name), output, ignored);  // a unit never enabled fails here
  if (::unlink(path.c_str()) != 0)
    return Fail(WinErrorFromErrno(errno), path + ": " + std::strerror(errno), why);
  DaemonReload(ignored);
  return Done();
}

bool QuerySystemdState(const std::string& name, int& state, std::string& why) {
  if (!FileExists(UnitPath(name)))
    return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  std::vector<std::string> argv{"systemctl", "is-active", name + ".service"};
  std::string output;
  int exitCode = -1;
  // is-active answers with a non-zero status for every state but active.
  if (!RunProgram(argv, kSystemctlTimeoutMs, output, exitCode, why)) return Fail(kErrGenFailure, why, why);
  std::istringstream in(output);
  std::string word;
  in >> word;
  struct Mapping {
    const char* word;
    int state;
  };
  static constexpr Mapping kStates[] = {
      {"active", kServiceRunning},        {"reloading", kServiceRunning},
      {"refreshing", kServiceRunning},    {"activating", kServiceStartPending},
      {"deactivating", kServiceStopPending}, {"inactive", kServiceStopped},
      {"failed", kServiceStopped},
  };
  for (const Mapping& m : kStates) {
    if (word == m.word) {
      state = m.state;
      return Done();
    }
  }
  return Fail(kErrGenFailure, "systemctl is-active answered \"" + word + "\"", why);
}

bool SystemdDisplayName(const std::string& name, std::string& out) {
  std::string text;
  if (!ReadWholeFile(UnitPath(name), text)) return false;
  out.clear();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 12, "Description=") != 0) continue;
    std::string value = line.substr(12);
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '%' && i + 1 < value.size() && value[i + 1] == '%') continue;
      out += value[i];
    }
    break;
  }
  return true;
}

// ---- built-in --------------------------------------------------------------------

std::string ServiceKey(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }
std::string ServiceDirectory() { return HomeDirectory() + "services/"; }
std::string PidPath(const std::string& name) { return ServiceDirectory() + name + ".pid"; }

// What <Name>.pid records: "<pid> <start time>[ stopping]".
struct PidRecord {
  pid_t pid = -1;
  uint64_t startTime = 0;
  bool stopping = false;
};

bool ReadPidRecord(const std::string& name, PidRecord& r) {
  std::string text;
  if (!ReadWholeFile(PidPath(name), text)) return false;
  std::istringstream in(text);
  long pid = -1;
  std::string mark;
  if (!(in >> pid >> r.startTime)) return false;
  r.pid = pid_t(pid);
  r.stopping = (in >> mark) && mark == "stopping";
  return r.pid > 0;
}

bool WritePidRecord(const std::string& name, const PidRecord& r) {
  char text[96];
  std::snprintf(text, sizeof text, "%ld %llu%s\r\n", long(r.pid), (unsigned long long)r.startTime,
                r.stopping ? " stopping" : "");
  std::string path = PidPath(name), temp = path + ".new";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  bool ok = fd.valid() && WriteAll(fd.get(), text, std::strlen(text)) && fd.close_checked();
  return ok && RenameReplace(temp, path) == 0;
}

// The process the record names still runs: same pid, same start time.
bool RecordedProcessRuns(const PidRecord& r) {
  uint64_t now = 0;
  return r.pid > 0 && r.startTime != 0 && GetProcessStartTime(r.pid, now) && now == r.startTime;
}

// Serialises start and stop of one service between processes.
class ServiceLock {
 public:
  explicit ServiceLock(const std::string& name) {
    MakeDirectories(ServiceDirectory());
    fd_.reset(::open((ServiceDirectory() + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd_.valid()) ::flock(fd_.get(), LOCK_EX);
  }

 private:
  UniqueFd fd_;
};

bool CreateBuiltInService(const ServiceConfig& config, std::string& why) {
  std::string key = ServiceKey(config.name);
  RegTransaction tx;
  if (!tx.ok()) return Fail(LastWinError(), "registry: " + RegLastErrorText(), why);
  if (RegKeyExists(key)) return Fail(kErrServiceExists, "service " + config.name + " exists already", why);
  std::vector<std::string> deps;
  for (const std::string& d : config.dependencies) deps.push_back(d);
  bool ok = RegCreateKey(key) && RegSetDword(key, "Type", kOwnProcess) &&
            RegSetDword(key, "Start", config.autoStart ? kAutoStart : kDemandStart) &&
            RegSetDword(key, "ErrorControl", kErrorNormal) &&
            RegSetValue(key, "ImagePath", kRegExpandSz, RegEncodeSz(config.commandLine)) &&
            RegSetString(key, "DisplayName", config.displayName) &&
            RegSetString(key, "ObjectName", "LocalSystem") &&
            (deps.empty() || RegSetMultiString(key, "DependOnService", deps));
  if (!ok || !tx.Commit()) return Fail(kErrGenFailure, "registry: " + RegLastErrorText(), why);
  return Done();
}

bool DeleteBuiltInService(const std::string& name, std::string& why) {
  std::string key = ServiceKey(name);
  if (!RegKeyExists(key)) return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  if (!RegDeleteKeyTree(key)) return Fail(LastWinError(), "registry: " + RegLastErrorText(), why);
  ServiceLock lock(name);
  PidRecord r;
  if (!(ReadPidRecord(name, r) && RecordedProcessRuns(r))) ::unlink(PidPath(name).c_str());
  return Done();
}

bool QueryBuiltInState(const std::string& name, int& state, std::string& why) {
  if (!RegStoreOpen()) return Fail(kErrInvalidHandle, "the registry is not open", why);
  if (!RegKeyExists(ServiceKey(name)))
    return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  PidRecord r;
  if (ReadPidRecord(name, r) && RecordedProcessRuns(r))
    state = r.stopping ? kServiceStopPending : kServiceRunning;
  else
    state = kServiceStopped;
  return Done();
}

bool StartBuiltInService(const std::string& name, std::string& why) {
  RegValue image;
  if (!RegQueryValue(ServiceKey(name), "ImagePath", image))
    return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  ServiceLock lock(name);
  PidRecord r;
  if (ReadPidRecord(name, r) && RecordedProcessRuns(r))
    return Fail(kErrServiceAlreadyRunning, "service " + name + " is running already", why);
  ProcessOptions options;
  options.detach = true;
  options.outputFile = ServiceDirectory() + name + ".log";
  ProcessHandle p;
  // ImagePath is an expandable string, as Windows keeps it: %NAME% is expanded.
  std::string line = RegDecodeSz(image.data);
  if (image.type == kRegExpandSz) line = ExpandEnvironmentText(line);
  if (!StartProcess(SplitCommandLine(line), options, p, why)) {
    SetLastWinError(kErrGenFailure);
    return false;
  }
  PidRecord started;
  started.pid = p.pid;
  GetProcessStartTime(p.pid, started.startTime);  // 0 when it ended already
  if (!WritePidRecord(name, started)) return Fail(kErrWriteFault, PidPath(name) + ": cannot be written", why);
  return Done();
}

bool StopBuiltInService(const std::string& name, std::string& why) {
  if (!RegKeyExists(ServiceKey(name)))
    return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  ServiceLock lock(name);
  PidRecord r;
  if (!(ReadPidRecord(name, r) && RecordedProcessRuns(r)))
    return Fail(kErrServiceNotActive, "service " + name + " is not running", why);
  if (::kill(r.pid, SIGTERM) != 0) return Fail(WinErrorFromErrno(errno), std::strerror(errno), why);
  r.stopping = true;
  WritePidRecord(name, r);
  return Done();
}

bool Refuse(const std::string& text, std::string& why) { return Fail(kErrInvalidName, text, why); }

bool CheckConfig(const ServiceConfig& config, std::string& why) {
  if (!IsValidServiceName(config.name)) return Refuse("not a service name: \"" + config.name + "\"", why);
  for (const std::string& d : config.dependencies)
    if (!SameNoCase(d, kTcpipService) && !IsValidServiceName(d))
      return Refuse("not a service name: \"" + d + "\"", why);
  for (const std::string* text : {&config.displayName, &config.commandLine})
    if (text->find_first_of("\r\n") != std::string::npos) return Refuse("a value holds a line break", why);
  if (SplitCommandLine(config.commandLine).empty()) return Refuse("no program to run", why);
  return true;
}

}  // namespace

ServiceManagerKind ActiveServiceManager() {
  const char* forced = ::getenv("CORVEL_SERVICE_MANAGER");
  if (forced && std::strcmp(forced, "builtin") == 0) return ServiceManagerKind::kBuiltIn;
  if (forced && std::strcmp(forced, "systemd") == 0) return ServiceManagerKind::kSystemd;
  return DirectoryExists(kSystemdRunDir) ? ServiceManagerKind::kSystemd : ServiceManagerKind::kBuiltIn;
}

bool IsValidServiceName(const std::string& name) {
  if (name.empty() || name.size() > kMaxServiceName || name == "." || name == "..") return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == ':' || c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string BuildUnitFile(const ServiceConfig& config) {
  std::string unit = "[Unit]\nDescription=" + EscapeSpecifiers(config.displayName) + "\n";
  for (const std::string& d : config.dependencies) {
    if (SameNoCase(d, kTcpipService)) {
      unit += std::string("Wants=") + kNetworkTarget + "\nAfter=" + kNetworkTarget + "\n";
    } else {
      unit += "Requires=" + d + ".service\nAfter=" + d + ".service\n";
    }
  }
  unit += "\n[Service]\nType=simple\nExecStart=";
  bool first = true;
  for (const std::string& word : SplitCommandLine(config.commandLine)) {
    if (!first) unit += ' ';
    unit += QuoteExecWord(word);
    first = false;
  }
  unit += "\n\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

bool CreateService(const ServiceConfig& config, std::string& why) {
  if (!CheckConfig(config, why)) return false;
  return ActiveServiceManager() == ServiceManagerKind::kSystemd ? CreateSystemdService(config, why)
                                                                : CreateBuiltInService(config, why);
}

bool DeleteService(const std::string& name, std::string& why) {
  if (!IsValidServiceName(name)) return Fail(kErrServiceDoesNotExist, "not a service name", why);
  return ActiveServiceManager() == ServiceManagerKind::kSystemd ? DeleteSystemdService(name, why)
                                                                : DeleteBuiltInService(name, why);
}

bool IsServiceInstalled(const std::string& name) {
  if (!IsValidServiceName(name)) return false;
  if (ActiveServiceManager() == ServiceManagerKind::kSystemd) return FileExists(UnitPath(name));
  return RegKeyExists(ServiceKey(name));
}

bool QueryServiceState(const std::string& name, int& state, std::string& why) {
  if (!IsValidServiceName(name)) return Fail(kErrServiceDoesNotExist, "not a service name", why);
  return ActiveServiceManager() == ServiceManagerKind::kSystemd ? QuerySystemdState(name, state, why)
                                                                : QueryBuiltInState(name, state, why);
}

bool StartService(const std::string& name, std::string& why) {
  if (!IsValidServiceName(name)) return Fail(kErrServiceDoesNotExist, "not a service name", why);
  if (ActiveServiceManager() == ServiceManagerKind::kBuiltIn) return StartBuiltInService(name, why);
  if (!FileExists(UnitPath(name))) return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  std::string output;
  if (!Systemctl({"start", name + ".service"}, output, why)) return Fail(kErrGenFailure, why, why);
  return Done();
}

bool StopService(const std::string& name, std::string& why) {
  if (!IsValidServiceName(name)) return Fail(kErrServiceDoesNotExist, "not a service name", why);
  if (ActiveServiceManager() == ServiceManagerKind::kBuiltIn) return StopBuiltInService(name, why);
  if (!FileExists(UnitPath(name))) return Fail(kErrServiceDoesNotExist, "service " + name + " is not installed", why);
  std::string output;
  if (!Systemctl({"stop", name + ".service"}, output, why)) return Fail(kErrGenFailure, why, why);
  return Done();
}

void WaitForServiceToSettle(const std::string& name) {
  uint32_t start = GetTickCount32();
  for (;;) {
    int state = 0;
    std::string why;
    if (!QueryServiceState(name, state, why)) return;
    if (state == kServiceStopped || state == kServiceRunning || state == kServicePaused) return;
    if (TickElapsed(GetTickCount32(), start) >= ScaledWaitMs(kSettleLimitMs)) return;
    SleepMs(ScaledWaitMs(kSettlePollMs));
  }
}

bool GetServiceDisplayName(const std::string& name, std::string& out) {
  if (!IsValidServiceName(name)) return false;
  if (ActiveServiceManager() == ServiceManagerKind::kSystemd) return SystemdDisplayName(name, out);
  RegValue v;
  if (!RegKeyExists(ServiceKey(name))) return false;
  out = RegQueryValue(ServiceKey(name), "DisplayName", v) ? RegDecodeSz(v.data) : "";
  return true;
}
