// libinstkit.so: the setup helper library.
#include "instkit/instkit.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/tick.h"  // SleepMs

namespace {

constexpr const char* kTitle = "Tollgrove Setup";
constexpr const char* kNoKey = "Setup is unable to open the proper registry key";
constexpr const char* kNoValues = "Setup is unable to get all the proper registry values";
constexpr const char* kNoManager = "OpenSCManager failed";
constexpr const char* kCreateFailed = "Create Service failed";
constexpr const char* kProgress = "The %s service is %s...\n";
constexpr const char* kLegalQuestion = "Do you accept these terms?";

// Value limits of the service description (characters, as the buffers held them).
constexpr size_t kMaxName = 256, kMaxDescription = 256, kMaxProgram = 512, kMaxDependent = 256;
constexpr uint32_t kRemovePauseMs = 2000;
constexpr size_t kTcpipOut = 256;  // bytes CheckForTCPIP may write, its zero included

enum ServiceAction { kActionStart, kActionStop };
constexpr const char* kActionWords[] = {"Starting", "Stopping"};

// The registry of $CORVEL_REGISTRY (or <home>/registry.db), opened on first use.
// It must exist: only the INI transfer program creates one.
bool EnsureRegistry() {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  if (RegStoreOpen()) return true;
  std::string path = ResolveRegistryPath(nullptr, HomeDirectory());
  std::string why;
  return RegLocationExists(path) && RegOpenStore(path, why);
}

bool ManagerAvailable() {
  if (ActiveServiceManager() == ServiceManagerKind::kSystemd) {
    const char* root = ::getenv("CORVEL_SYSTEMD_ROOT");
    return DirectoryExists(std::string(root ? root : "") + "/etc/systemd/system");
  }
  return EnsureRegistry();
}

bool ReadText(const std::string& key, const char* name, size_t max, std::string& out) {
  RegValue v;
  if (!RegQueryValue(key, name, v) || (v.type != kRegSz && v.type != kRegExpandSz)) return false;
  out = RegDecodeSz(v.data);
  return out.size() <= max;
}

int ControlService(const char* name, ServiceAction action) {
  if (!name || !ManagerAvailable()) return 2;
  std::string display;
  if (!GetServiceDisplayName(name, display) || display.empty()) display = name;
  std::printf(kProgress, display.c_str(), kActionWords[action]);
  std::fflush(stdout);
  std::string why;
  bool ok = action == kActionStart ? StartService(name, why) : StopService(name, why);
  WaitForServiceToSettle(name);
  return ok ? 1 : 2;
}

std::string DottedAddress(const sockaddr* a) {
  char text[INET_ADDRSTRLEN] = "";
  const auto* in = reinterpret_cast<const sockaddr_in*>(a);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&in->sin_addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

}  // namespace

extern "C" {

int InstallService(void*, void*, const char* key) {
  if (!key || !EnsureRegistry() || !RegKeyExists(key)) {
    ShowMessageBox(kTitle, kNoKey);
    return 0;
  }
  RegValue autoStart;
  uint32_t start = 0;
  std::string dependent;
  ServiceConfig config;
  bool all = RegQueryValue(key, "AutoStart", autoStart) && autoStart.type == kRegDword &&
             RegDecodeDword(autoStart.data, start) && ReadText(key, "Name", kMaxName, config.name) &&
             ReadText(key, "Description", kMaxDescription, config.displayName) &&
             ReadText(key, "Program", kMaxProgram, config.commandLine) &&
             ReadText(key, "Dependent", kMaxDependent, dependent);
  if (!all) {
    ShowMessageBox(kTitle, kNoValues);
    return 0;
  }
  config.autoStart = start != 0;
  size_t from = 0;
  while (from <= dependent.size()) {
    size_t semi = dependent.find(';', from);
    std::string item = dependent.substr(from, semi == std::string::npos ? semi : semi - from);
    if (!item.empty()) config.dependencies.push_back(item);
    if (semi == std::string::npos) break;
    from = semi + 1;
  }
  if (!ManagerAvailable()) {
    ShowMessageBox(kTitle, kNoManager);
    return 0;
  }
  std::string why;
  if (!CreateService(config, why)) {
    ShowMessageBox(kTitle, std::string(kCreateFailed) + " (" + why + ")");
    return 0;
  }
  return 1;
}

int RemoveService(void*, void*, const char* name) {
  std::string why;
  if (!name || !ManagerAvailable() || !DeleteService(name, why)) return 0;
  SleepMs(ScaledWaitMs(kRemovePauseMs));
  return 1;
}

int IsServiceRunning(void*, void*, const char* name) {
  if (!name || !ManagerAvailable()) return 3;
  int state = 0;
  std::string why;
  if (!QueryServiceState(name, state, why))
    return LastWinError() == kErrServiceDoesNotExist ? 0 : 3;
  return state == kServiceStopped ? 1 : 2;
}

int ServiceStart(void*, void*, const char* name) { return ControlService(name, kActionStart); }

int ServiceStop(void*, void*, const char* name) { return ControlService(name, kActionStop); }

int RunCommand(void*, const int32_t* waitSeconds, const char* commandLine) {
  if (!commandLine) return 0;
  int32_t wait = waitSeconds ? *waitSeconds : 0;
  ProcessHandle p;
  std::string why;
  if (!StartProcess(SplitCommandLine(commandLine), ProcessOptions(), p, why)) return 0;
  int exitCode = 0;
  if (wait > 0) WaitProcess(p, int(std::min<int64_t>(int64_t(wait) * 1000, INT32_MAX)), exitCode);
  ReleaseProcess(p);  // one that runs on past the wait is still a success
  return 1;
}

int CheckForTCPIP(void*, void*, char* out) {
  if (out) out[0] = 0;
  if (!::getservbyname("echo", "udp")) return 0;
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  ::close(s);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo("localhost", nullptr, &hints, &found) != 0) return 0;
  ::freeaddrinfo(found);
  found = nullptr;
  char host[256] = "";
  hints.ai_flags = AI_CANONNAME;
  if (::gethostname(host, sizeof host - 1) == 0 &&
      ::getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
    std::string official = found->ai_canonname ? found->ai_canonname : host;
    size_t dot = official.find('.');
    std::string domain = dot == std::string::npos ? std::string() : official.substr(dot + 1);
    if (out) std::snprintf(out, kTcpipOut, "%s;%s", DottedAddress(found->ai_addr).c_str(), domain.c_str());
    ::freeaddrinfo(found);
  }
  return 1;
}

int ShowLegalText(void*, void*, const char* text) {
  std::printf("%s\n", text ? text : "");
  std::fflush(stdout);
  return AskYesNo(kTitle, kLegalQuestion, false) ? 1 : 0;
}

int MoveRegistryKey(const char* source, const char* target) {
  if (!source || !target || !EnsureRegistry()) return 0;
  RegTransaction tx;
  std::vector<RegValue> values;
  if (!tx.ok() || !RegKeyExists(source) || !RegCreateKey(target) || !RegEnumValues(source, values))
    return 0;
  for (const RegValue& v : values)
    if (!RegSetValue(target, v.name, v.type, v.data)) return 0;
  return tx.Commit() ? 1 : 0;
}

}  // extern "C"
