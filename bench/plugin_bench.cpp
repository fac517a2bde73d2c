// Custom mailbox plug-ins: the router delivering 2 KB messages to a custom account
// handled by the sample plug-in (a load, fMailExt_Info, fMailExt_Handle and an
// unload per message, the sample recording each call), and in the same run the
// same number to a user mailbox; then the cost of one load-Info-Handle-unload
// cycle alone.
//
//   plugin_bench [messages] [directory]
// Prints
//   LOAD before=<1-minute load average>
//   RESULT plugin_route target=custom messages=N wall_s=T msgs_per_s=R
//   RESULT plugin_route target=mailbox messages=N wall_s=T msgs_per_s=R
//   RESULT plugin_cycle calls=N us_per_cycle=U
//   LOAD after=<...>
// The sample plug-in is looked for beside this program (../lib).
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/program_options.h"
#include "server/plugins/plugins.h"

namespace {

constexpr size_t kMessageBytes = 2000;
constexpr int kCycles = 2000;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

std::string Message(int i, const std::string& to) {
  std::string body;
  while (body.size() < kMessageBytes) body += "The quick brown fox jumps over the lazy dog.\r\n";
  return "From: sender@remote.example\r\nTo: " + to + "\r\n\r\n" +
         "Received: by localhost from client.example\r\n    (mail daemon,Corvel95 V1.0); x\r\n" +
         "Message-Id: <b" + std::to_string(i) + "@remote.example>\r\nSubject: bench\r\n" +
         "From: Sender <sender@remote.example>\r\nTo: " + to + "\r\n" +
         "Date: Tue, 08 Dec 2026 05:00:00 +0000\r\n\r\n" + body;
}

void Spool(int count, const std::string& to) {
  for (int i = 0; i < count; ++i) {
    char name[32];
    snprintf(name, sizeof name, "%08x.in", i + 1);
    std::string text = Message(i, to);
    UniqueFd fd(::open((ServerSettings().incomingDirectory + name).c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC, 0600));
    WriteAll(fd.get(), text.data(), text.size());
  }
}

double RouteAll() {
  auto start = std::chrono::steady_clock::now();
  ResetRouterState();
  while (RouteIncomingQueue() || !ListFiles(ServerSettings().incomingDirectory, "*.in").empty()) {
  }
  return Seconds(start);
}

constexpr const char* kUsage =
    "usage: plugin_bench [MESSAGES] [DIRECTORY]\n"
    "routes MESSAGES (default 5000) messages of 2 KB in DIRECTORY (default /var/tmp) to a\n"
    "custom account handled by the sample plug-in and to a mailbox, and times one\n"
    "load-Info-Handle-unload cycle.\n";

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "plugin_bench", kUsage); rc >= 0) return rc;
  int count = argc > 1 ? atoi(argv[1]) : 5000;
  if (count <= 0) count = 5000;
  std::string base = argc > 2 ? argv[2] : "/var/tmp";
  char self[PATH_MAX] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) return 1;
  std::string library = PathDirectory(self) + "../lib/libcorvel_sample.so";
  std::string dir = base + "/corvel-plugin-bench-" + std::to_string(getpid()) + "/";
  MakeDirectories(dir);
  SetHomeDirectory(dir);
  std::string why;
  if (!RegOpenStore(dir + "registry.db", why)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  SetLogOptions(0, 0);
  SetWindowEchoToStdout(false);
  Settings& s = ServerSettings();
  s.homeDirectory = dir;
  s.localNode = "localhost";
  s.localIp = "127.0.0.1";
  s.userDirectory = dir + "users/";
  s.incomingDirectory = dir + "in/";
  s.outgoingDirectory = dir + "out/";
  s.softwareName = "Corvel95 V1.0";
  for (const std::string* d : {&s.userDirectory, &s.incomingDirectory, &s.outgoingDirectory})
    MakeDirectories(*d);
  LoadSecondaryDomains(why);
  ConfigSetString("LoadCustomDlls", "CustomDll1", library.c_str());
  ConfigSetNumber("LoadCustomDlls", "NumLoadDlls", 1);
  ConfigSetNumber("LoadCustomDlls", "NumActualLoadDlls", 1);
  if (!WriteCustomRecord("shop", "Shop", 1, "", why) ||
      !WriteUserRecord("alice", "alice", s.userDirectory + "alice.mbx", "", "", "", why)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  LoadedPlugin probe;
  std::string detail;
  if (!LoadPluginLibrary(library, probe, why, detail)) {
    fprintf(stderr, "%s%s\n", why.c_str(), detail.c_str());
    return 1;
  }
  probe = LoadedPlugin();
  RouterHandlers().custom = HandleCustomMailbox;
  printf("LOAD before=%s (machine shared; 1-minute load average)\n", LoadAverage().c_str());
  for (const char* to : {"shop@localhost", "alice@localhost"}) {
    Spool(count, to);
    double t = RouteAll();
    printf("RESULT plugin_route target=%s messages=%d wall_s=%.3f msgs_per_s=%.0f\n",
           to[0] == 's' ? "custom" : "mailbox", count, t, count / t);
    fflush(stdout);
  }
  // One cycle alone: the router's custom step on one spool file, over and over.
  std::string path = s.incomingDirectory + "cycle.in";
  std::string text = Message(0, "shop@localhost");
  {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    WriteAll(fd.get(), text.data(), text.size());
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY));
  SpecialDelivery in;
  in.account = "shop";
  in.type = kAccountCustom;
  in.sender = "sender@remote.example";
  in.spoolPath = path;
  in.spoolFd = fd.get();
  in.messageOffset = long(text.find("\r\n\r\n") + 4);
  in.recipient = "shop@localhost";
  int failed = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCycles; ++i) {
    SpecialResult out;
    HandleCustomMailbox(in, out);
    if (!out.ok) ++failed;
  }
  double t = Seconds(start);
  printf("RESULT plugin_cycle calls=%d us_per_cycle=%.1f failed=%d\n", kCycles, t * 1e6 / kCycles,
         failed);
  // Of which loading, fMailExt_Info and unloading alone.
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCycles; ++i) {
    LoadedPlugin p;
    std::string detail2;
    LoadPluginSlot(1, p, why, detail2);
  }
  printf("RESULT plugin_load_info_unload calls=%d us_per_cycle=%.1f\n", kCycles,
         Seconds(start) * 1e6 / kCycles);
  printf("LOAD after=%s\n", LoadAverage().c_str());
  fd.reset();
  RegCloseStore();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
