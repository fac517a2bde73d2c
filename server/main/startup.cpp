// The server's start-up sequence and its orderly shutdown. Steps run in a fixed
// order; each logs its own line. A layer that this build does not have yet is a
// step that does nothing.
#include "server/main/startup.h"
#include "server/main/tls_setup.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/instance.h"
#include "platform/registry.h"
#include "platform/signals.h"
#include "platform/tick.h"
#include "server/accounts/account_logs.h"
#include "server/accounts/accounts.h"
#include "server/accounts/integrity.h"
#include "server/accounts/noresponse.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/program_options.h"
#include "server/core/server_state.h"
#include "server/core/strings.h"
#include "server/core/worker.h"
#include "server/lists/digest.h"
#include "server/lists/distribute.h"
#include "server/lists/listserver.h"
#include "server/mx/mx_resolver.h"
#include "server/outgoing/outgoing.h"
#include "server/plugins/plugins.h"
#include "server/imap/imap.h"
#include "server/pop3/pop3_server.h"
#include "server/remote/command_port.h"
#include "server/remote/finger.h"
#include "server/remote/rmcp.h"
#include "server/responder/responder.h"
#include "server/smtp/smtp_server.h"
#include "server/spool/spool.h"
#include "server/smtp/smtp_session.h"
#include "server/net/net.h"

namespace {

constexpr uint32_t kSignalWaitMs = 1000;
constexpr int kNewHomeMode = 0700;

constexpr const char* kUsageText =
    "usage: corvel95 [--home DIR] [--registry FILE] [-A] [-H]\n"
    "  --home DIR       home directory (else $CORVEL_HOME, else /var/lib/corvel)\n"
    "  --registry FILE  registry file or postgresql:// URI (else $CORVEL_REGISTRY, else\n"
    "                   <home>/registry.db)\n"
    "  -A               closing the main window ends the program\n"
    "  -H               hidden: nothing on standard output (the log file still gets it all)\n"
    "  --help           print this text and exit\n"
    "  --version        print the product and version and exit\n"
    "Environment: CORVEL_NODE names this node among several sharing one registry\n"
    "database; its own values (bind address, ports, spools) are under <root>\\Nodes\\NAME.\n"
    "Signals: SIGTERM or SIGINT shut the server down in order; SIGHUP reopens the log\n"
    "file (for logrotate).\n";

// What a failed step leaves for the final report: the pending text and the step's
// own detail.
struct StartFailure {
  std::string pending;
  std::string detail;
};

std::string Text(unsigned id) {
  const char* s = LoadStringResource(id);
  return s ? s : "";
}

// ---- Layers this build does not have yet ---------------------------------------
// Each returns true: the step succeeds by doing nothing.

bool RegisterLocalNode(std::string&) { return true; }

// ---- List handling ----------------------------------------------------------------

// Step 4.4: the list statistics lock, and the router's hand-offs to the lists,
// the responders and the list server.
bool StartListHandling(std::string& why) {
  if (!InitializeListHandling(why)) return false;
  RouterHandlers().list = DistributeListMessage;
  RouterHandlers().responder = RespondToMessage;
  SetListServerLineHandler(ProcessListServerLine);
  return true;
}

void StopListHandling() {
  RouterHandlers().list = nullptr;
  RouterHandlers().responder = nullptr;
  SetListServerLineHandler(nullptr);
  ShutdownListHandling();
}

// ---- Local node name and address ------------------------------------------------

// The host name as the network knows it (its canonical name when there is one).
std::string NetworkHostName() {
  std::string name, canonical;
  int wsaError = 0;
  if (!NetLocalHostName(name, canonical, wsaError)) return "";
  return canonical.empty() ? name : canonical;
}

// Compares a stored value with what the network says; fills an empty one, offers
// to replace a different one when VerifyNode is on.
void VerifyStoredValue(const char* valueName, std::string& stored, const std::string& network,
                       unsigned askId, unsigned noNetworkId) {
  Settings& s = ServerSettings();
  if (network.empty()) {
    ShowMessage(nullptr, noNetworkId, nullptr, kBoxOk);
    return;
  }
  if (stored.empty()) {
    stored = network;
    ConfigSetString("", valueName, stored.c_str());
  } else if (s.verifyNode && strcasecmp(stored.c_str(), network.c_str()) != 0) {
    if (ShowMessage(nullptr, askId, nullptr, kBoxYesNo, network.c_str(), stored.c_str()) ==
        kAnswerYes) {
      stored = network;
      ConfigSetString("", valueName, stored.c_str());
    }
  }
}

bool FindLocalNode(std::string& why) {
  Settings& s = ServerSettings();
  SetStatusTextId(kStrGettingNodeName);
  VerifyStoredValue("LocalNode", s.localNode, NetworkHostName(), kStrNewNameMismatch,
                    kStrUnableGetNameFromNet);
  if (s.localNode.empty()) {
    why = Text(kStrUnableDetermineNode);
    return false;
  }
  LogEvent(0, kLogAlways, kStrLocalNode, s.localNode.c_str());
  SetStatusTextId(kStrGettingAddress);
  VerifyStoredValue("LocalIP", s.localIp, NetHostAddressText(s.localNode), kStrNewAddrMismatch,
                    kStrUnableGetAddrFromNet);
  if (s.localIp.empty()) {
    why = Text(kStrUnableDetermineIp);
    return false;
  }
  LogEvent(0, kLogAlways, kStrLocalIp, s.localIp.c_str());
  return true;
}

// Step 9: the SMTP and POP3 support layers. The timers are set up whatever
// happened before.
bool StartSupportLayers(std::string& why) {
  Settings& s = ServerSettings();
  bool ok = ComputeEsmtpExtensions() && FindLocalNode(why) && RegisterLocalNode(why);
  if (ok) {
    AdjustConnectionCounts(0, 0);
    ok = EnsureReservedAccounts(why);
  }
  // Header rewriting and bounces name local users from the account database.
  SetLocalAccountLookup(DescribeLocalAccount);
  std::string detail;
  if (ok && !Pop3Init(detail)) {
    why = FormatText(LoadStringResource(kStrPopInitProblem), detail.c_str());
    ok = false;
  }
  if (ok) ImapInit(detail);
  if (ok && !PortInit(detail)) {
    why = "Cannot initialize Command port.";
    ok = false;
  } else if (ok) {
    LogEvent(0, kLogAlways, "Remote Control layer initialized.");
  }
  if (ok && !FingerInit(detail)) {
    why = "Cannot initialize Finger layer.";
    ok = false;
  } else if (ok) {
    LogEvent(0, kLogFinger, "Finger layer initialized.");
  }
  if (ok && !RmcpInit(detail)) {
    why = "Cannot initialize RMCP layer.";
    ok = false;
  } else if (ok) {
    LogEvent(0, kLogAlways, "RMCP layer initialized.");
  }
  if (ok && !InitializeRouter(detail)) {
    why = FormatText(LoadStringResource(kStrRouterInitProblem), detail.c_str());
    ok = false;
  }
  if (ok && !InitializeOutgoing(detail)) {
    why = FormatText(LoadStringResource(kStrOutgoingInitProblem), detail.c_str());
    ok = false;
  }
  SetupTimers(GetTickCount32(), s.netAlwaysPresent, s.connectAtStart);
  LogEvent(0, kLogAlways,
           s.useVelmontRouter ? "Corvel router activated." : "Corvel router not activated.");
  SetStatusText(nullptr);
  return ok;
}

bool g_networkStarted = false;
bool g_mxStarted = false;
bool g_workerStarted = false;

// The registry holds every account's password in a form that turns back into
// clear text. A new one is made private; an older installation is told once
// rather than changed behind the administrator's back.
void WarnAboutReadableRegistry() {
  const std::string& path = RegStorePath();
  int mode = FilePermissions(path);
  if (mode < 0 || !(mode & 044)) return;
  LogEvent(0, kLogAlways,
           "Warning: the registry %s is readable by other users (mode %04o); it holds the "
           "accounts' passwords. Make it private with: chmod 600 %s*",
           path.c_str(), unsigned(mode), path.c_str());
}

void ReportStartFailure(const StartFailure& f) {
  std::string text = f.pending;
  if (!f.detail.empty()) text += "  " + f.detail;
  LogEvent(0, kLogAlways, "%s", text.c_str());
  ShowMessage(nullptr, "%s", nullptr, kBoxOk, text.c_str());
  if (g_mxStarted) MxShutdown();
  g_mxStarted = false;
  StopListHandling();
  if (g_networkStarted) NetShutdown();
  g_networkStarted = false;
  ShowMessage(nullptr, kStrUnableSetupInstance, nullptr, kBoxOk);
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, CommandLine& out, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word[0] != '/' && word[0] != '-') break;
    for (const char* c = word + 1; *c; ++c) {
      switch (tolower(static_cast<unsigned char>(*c))) {
        case 'a': out.closeEndsProgram = true; break;
        case 'h': out.hidden = true; break;
        default:
          why = FormatText("Unknown flag: %c", *c);
          return false;
      }
    }
  }
  return true;
}

bool StartServer(const CommandLine& cmd, std::string& why) {
  Settings& s = ServerSettings();
  StartFailure failure;
  auto fail = [&](std::string pending, std::string detail) {
    failure.pending = std::move(pending);
    failure.detail = std::move(detail);
    ReportStartFailure(failure);
    why = failure.pending;
    return false;
  };

  // 1. Product and branding values.
  LoadProductValues(s);
  // 4. Main initialisation. The user and spool directories are made when
  // missing; without them nothing could be received or delivered.
  LoadDirectories(s);
  for (const std::string* dir : {&s.userDirectory, &s.incomingDirectory, &s.outgoingDirectory}) {
    std::string detail;
    if (!MakeDirectories(*dir, 0755, &detail))
      return fail(FormatText("Unable to create the directory %s.", dir->c_str()), detail);
  }
  if (chdir(s.userDirectory.c_str()) != 0) {
    // The log cannot be opened yet; the message box is the only report.
  }
  LoadHostAliases(s);
  SetBackupAllAccountLogsHook(BackupListAndResponderLogs);
  std::string detail;
  if (!StartListHandling(detail)) return fail("Unable to initialize list handling.", detail);
  s.softwareName = s.productName + " V" + s.productVersion;
  // The log's options and the critical-error limit are wanted from the first line on.
  s.stopAfterCriticalErrors = GetGeneralNumber("StopAfterCriticalErrors");
  SetWindowEchoToStdout(!cmd.hidden);
  if (!OpenLog(detail)) return fail(FormatText(LoadStringResource(kStrLogInitFailed), detail.c_str()), "");
  WarnAboutReadableRegistry();
  if (!InitializeNoResponseList(detail)) return fail("Unable to intialize no response system.", detail);
  LoadGeneralSettings(s);
  SetQueueIntervals(s.inQueueTime, s.outQueueTime,
                    s.netAlwaysPresent ? 0 : s.forceConnectionTimeout * 60);
  SetStatusText(nullptr);
  RunStartupIntegrityCheck();
  LoadLocalNodeList();
  // The main window: headless, its log list is kept in memory.
  LogEvent(0, kLogAlways, kStrVersionStarting, s.productName.c_str(), s.productVersion.c_str());
  CleanSpoolDirectories();

  // 5. Service access options (read with the general values).
  // 6. Network layer.
  if (!NetStartup(detail)) {
    ShowMessage(nullptr, "%s", nullptr, kBoxOk, detail.c_str());
    return fail(Text(kStrNetworkInitError), "");
  }
  g_networkStarted = true;
  LogEvent(0, kLogAlways, kStrNetworkStarted);
  // 7. MX resolution layer.
  if (!MxStartup(detail)) return fail(Text(kStrMxStartFailed), detail);
  g_mxStarted = true;
  LogEvent(0, kLogAlways, kStrMxInitialized);
  // 8. Secondary domains.
  if (!LoadSecondaryDomains(detail)) return fail(detail, "");
  // 9. SMTP and POP3 support layers.
  if (!StartSupportLayers(detail)) return fail(Text(kStrSmtpPopInitFailed), detail);
  LogEvent(0, kLogAlways, kStrSmtpPopInitialized);
  // 10. SMTP listener (and with UseTls its certificate first).
  if (!SetUpTls(detail)) return fail("Unable to set up TLS.", detail);
  if (!StartSmtpListener(detail)) return fail(Text(kStrSmtpStartFailed), detail);
  LogEvent(0, kLogAlways, kStrSmtpStarted);
  // 11. POP3 listener; its failure does not stop the server.
  std::string pending;
  if ((s.sysAccess & 0x01) && !Pop3StartListener(detail)) pending = Text(kStrPopStartFailed);
  // IMAP, when switched on; its failure does not stop the server either.
  if (s.useImap && !ImapStartListener(detail)) pending = "Unable to start IMAP server, continuing.";
  // 12. Command ports, finger, RMCP.
  if (!PortStart(s.sysAccess)) pending = "Unable to start command ports, continuing.";
  if (!FingerStart(s.sysAccess)) pending = "Unable to start finger daemon, continuing.";
  if (!RmcpStart(s.sysAccess)) pending = "Unable to start RMCP daemon, continuing.";
  // The browser console (it logs its own failure; the server goes on without it).
  if (s.httpConsole && WebConsoleHooks().start) WebConsoleHooks().start(detail);
  // Every port is bound: root is given up before any mail is handled.
  if (!DropRootPrivileges(detail)) return fail("Unable to switch to the mail user.", detail);
  // 13. The periodic worker, with the jobs of the layers this build has.
  JobHooks().accountIntegrityCheck = RunPeriodicIntegrityCheck;
  JobHooks().scanIncomingQueue = RouteIncomingQueue;
  JobHooks().resolverHousekeeping = MxHousekeeping;
  JobHooks().fingerChecks = FingerCheck;
  RouterHandlers().custom = HandleCustomMailbox;
  RouterHandlers().queueRemoteFinger = [](const std::string& account, const std::string& node,
                                          int port, int reverse) {
    QueueRemoteFinger(account, node, port, reverse);
  };
  JobHooks().scanOutgoingQueue = OutgoingQueueStep;
  JobHooks().outgoingChecks = OutgoingItemsStep;
  JobHooks().releaseBulkAndDigests = DailyListRelease;
  if (!StartPeriodicWorker(detail)) return fail("error setting up timers", detail);
  g_workerStarted = true;
  SetSystemStarted(1);
  return true;
}

ConsoleHooks& WebConsoleHooks() {
  static ConsoleHooks hooks;
  return hooks;
}

void ShutdownServer() {
  if (WebConsoleHooks().stop) WebConsoleHooks().stop();
  SetSystemStarted(0);
  if (g_workerStarted) StopPeriodicWorker();
  g_workerStarted = false;
  ShutdownOutgoing();
  ShutdownRouter();
  if (g_mxStarted) MxShutdown();
  g_mxStarted = false;
  StopListHandling();
  if (g_networkStarted) NetShutdown();
  g_networkStarted = false;
  CloseLog();
}

int RunServer(int argc, char** argv) {
  std::string home, registry, why;
  if (!TakeLocationOptions(argc, argv, home, registry, why)) {
    fprintf(stderr, "corvel95: %s\n", why.c_str());
    return 2;
  }
  // Asking how to run the program touches nothing: no home, no registry, no log.
  if (int rc = AnswerHelpOrVersion(argc, argv, "corvel95", kUsageText); rc >= 0) return rc;
  SetHomeDirectory(ResolveHomeDirectory(home.c_str()));
  CommandLine cmd;
  if (!ParseCommandLine(argc, argv, cmd, why)) {
    ShowMessage(nullptr, "%s", nullptr, kBoxOk, why.c_str());
    ShowMessage(nullptr, kStrUnableSetupInstance, nullptr, kBoxOk);
    return 1;
  }
  // A new home is the owner's alone: it holds the registry, the mail and the log.
  if (!MakeDirectories(HomeDirectory(), kNewHomeMode, &why)) {
    fprintf(stderr, "corvel95: %s\n", why.c_str());
    return 1;
  }
  // Signals are blocked before any thread exists, so every thread inherits the mask
  // and only the loop below takes them.
  BlockServerSignals();
  UniqueFd instance;
  switch (ClaimSingleInstance(HomeDirectory(), instance, why)) {
    case InstanceClaim::kOtherRunning: return 0;
    case InstanceClaim::kError:
      fprintf(stderr, "corvel95: %s\n", why.c_str());
      return 1;
    case InstanceClaim::kFirst: break;
  }
  std::string registryPath = ResolveRegistryPath(registry.c_str(), HomeDirectory());
  // The account library that the console calls finds the registry by the
  // environment; set while no other thread runs yet.
  setenv("CORVEL_REGISTRY", registryPath.c_str(), 1);
  if (!RegOpenStore(registryPath, why)) {
    fprintf(stderr, "corvel95: %s\n", why.c_str());
    return 1;
  }
  // A database registry's outages go to the log, once each; what the server reads
  // of it is kept until some node changes it.
  RegSetEventHook([](const std::string& text) { LogEvent(0, kLogAlways, "%s", text.c_str()); });
  RegUseReadCache(true);
  if (const char* node = getenv("CORVEL_NODE")) SetConfigNode(node);
  if (!StartServer(cmd, why)) {
    RegCloseStore();
    return 1;
  }
  for (;;) {
    SignalEvent ev = WaitServerSignal(kSignalWaitMs);
    if (ev == SignalEvent::kShutdown) break;
    if (ev == SignalEvent::kBroughtForward)
    {
      LogEvent(0, kLogAlways, "Brought forward: another copy of the program was started.");
      ReloadTls();
    }
    if (ev == SignalEvent::kReopenLog) ReopenLog();
  }
  ShutdownServer();
  RegCloseStore();
  return 0;
}
