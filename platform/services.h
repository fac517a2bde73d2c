// The service manager: the stand-in for the Windows service control manager that
// the setup library and the uninstaller drive. Two back ends:
//
// - systemd, where it runs (/run/systemd/system exists): a service is the unit
//   /etc/systemd/system/<Name>.service; everything else goes through systemctl
//   (found on PATH).
// - the built-in table otherwise: a service is the registry key
//   SYSTEM\CurrentControlSet\Services\<Name> with Windows' values (Type, Start,
//   ErrorControl, ImagePath, DisplayName, ObjectName, DependOnService). Starting
//   it runs ImagePath as a detached process, its output appended to
//   <home>/services/<Name>.log, and records the pid with the kernel's start time
//   of that process in <home>/services/<Name>.pid, so that a pid the system has
//   since given to another process never reads as the service running. Stopping
//   sends SIGTERM. Nothing starts services at boot: Start only records the choice.
//
// Settings for tests only: CORVEL_SERVICE_MANAGER=builtin|systemd picks the back
// end; CORVEL_SYSTEMD_ROOT=DIR writes unit files below DIR, enables and disables
// them with "systemctl --root=DIR" and skips the daemon reload.
//
// Functions return false with `why` and LastWinError() set to the Windows number:
// 1060 no such service, 1073 it exists already, 1056 already running, 1062 not
// running, 123 a name or value the manager cannot hold.
#pragma once

#include <string>
#include <vector>

enum ServiceState : int {  // the Windows SERVICE_* state numbers
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

enum ServiceError : int {
  kErrServiceAlreadyRunning = 1056,
  kErrServiceDoesNotExist = 1060,
  kErrServiceNotActive = 1062,
  kErrServiceExists = 1073,
};

enum class ServiceManagerKind { kBuiltIn, kSystemd };

struct ServiceConfig {
  std::string name;          // the service (unit) name
  std::string displayName;   // Description
  std::string commandLine;   // program and arguments, split as command lines are
  bool autoStart = false;    // started at boot (systemd: enabled) or on demand
  std::vector<std::string> dependencies;  // service names; "Tcpip" is the network
};

inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr const char* kTcpipService = "Tcpip";

ServiceManagerKind ActiveServiceManager();
// A name both back ends can hold: 1 to 256 characters of letters, digits and
// ":_.@-", not "." or "..", so it makes one unit file name and one registry key.
bool IsValidServiceName(const std::string& name);
// The unit file text for `config` (systemd back end; exposed for tests).
std::string BuildUnitFile(const ServiceConfig& config);

// CreateService. Nothing is written when a name or value is refused (a line break
// in any value, an invalid service or dependency name, an empty command line).
bool CreateService(const ServiceConfig& config, std::string& why);
// DeleteService. A running built-in service keeps running; only its entry goes.
bool DeleteService(const std::string& name, std::string& why);
bool IsServiceInstalled(const std::string& name);
// QueryServiceStatus: the current state.
bool QueryServiceState(const std::string& name, int& state, std::string& why);
// StartService and ControlService(STOP): the request; they do not wait for the
// new state.
bool StartService(const std::string& name, std::string& why);
bool StopService(const std::string& name, std::string& why);
// Polls the state once a second (shortened with CORVEL_TEST_WAIT_PERCENT) until the
// service is stopped, running or paused, or a minute has passed, or the query fails.
void WaitForServiceToSettle(const std::string& name);
// The display name (Description), empty when it has none. False when not installed.
bool GetServiceDisplayName(const std::string& name, std::string& out);
