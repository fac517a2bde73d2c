// Local delivery benchmark: the router alone, from committed incoming files to
// messages in mailbox files, with every durability step (appends flushed before
// marks, marks flushed before deletes). 5,000 messages of 2 KB to five local
// users, as the end-to-end figure uses; routed back to back, and again with the
// periodic worker's 20 ms pause between two calls (what the server does today)
// and with a 2 ms pause.
// Prints messages per second and the single-flush latency of the disk.
//
//   delivery_bench [messages] [directory]
#include <fcntl.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/program_options.h"

namespace {

constexpr int kUsers = 5;
constexpr size_t kMessageBytes = 2000;
// The periodic worker's pause between two calls of a job that asks to run
// again is 20 ms; the others show what a shorter pause would give.
constexpr uint32_t kGapsMs[] = {0, 2, 20};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool WriteFileText(const std::string& path, const std::string& text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  return fd.valid() && WriteAll(fd.get(), text.data(), text.size());
}

void SpoolMessages(int count) {
  const Settings& s = ServerSettings();
  std::string body;
  while (body.size() < kMessageBytes) body += "The quick brown fox jumps over the lazy dog.\r\n";
  for (int i = 0; i < count; ++i) {
    char name[32];
    snprintf(name, sizeof name, "%08x.in", i + 1);
    std::string user = "bench" + std::to_string(i % kUsers + 1);
    std::string text = "From: sender@remote.example\r\nTo: " + user + "@localhost\r\n\r\n" +
                       "Received: by localhost from client.example\r\n    (mail daemon,Corvel95 V1.0); x\r\n" +
                       "Message-Id: <b" + std::to_string(i) + "@remote.example>\r\nSubject: bench\r\n" +
                       "From: sender@remote.example\r\nTo: " + user + "@localhost\r\n" +
                       "Date: Tue, 08 Dec 2026 05:00:00 +0000\r\n\r\n" + body;
    WriteFileText(s.incomingDirectory + name, text);
  }
}

size_t CountMessages() {
  size_t n = 0;
  for (int u = 1; u <= kUsers; ++u) {
    UniqueFd fd = OpenMailboxForReading(ServerSettings().userDirectory + "bench" + std::to_string(u) + ".mbx");
    MailboxIndex index;
    std::string why;
    if (fd.valid() && IndexMailbox(fd.get(), index, why)) n += index.messages.size();
  }
  return n;
}

double FlushLatencyMs(const std::string& dir) {
  std::string path = dir + "flush-probe";
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    WriteAll(fd.get(), "x\r\n", 3);
    SyncFile(fd.get());
  }
  double ms = Seconds(start) * 1000 / 50;
  ::unlink(path.c_str());
  return ms;
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Routes until the queue is empty; returns the seconds taken.
double RouteAll(int count, uint32_t gapMs) {
  auto start = std::chrono::steady_clock::now();
  ResetRouterState();
  for (;;) {
    if (!RouteIncomingQueue() && ListFiles(ServerSettings().incomingDirectory, "*.in").empty())
      break;
    if (gapMs) SleepMs(gapMs);
  }
  double t = Seconds(start);
  if (CountMessages() != size_t(count)) fprintf(stderr, "warning: %zu messages in mailboxes\n", CountMessages());
  return t;
}

}  // namespace

constexpr const char* kUsage =
    "usage: delivery_bench [MESSAGES] [DIRECTORY]\n"
    "routes MESSAGES (default 5000) local messages in DIRECTORY (default /var/tmp)\nand prints messages per second and the disk's flush latency.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "delivery_bench", kUsage); rc >= 0) return rc;
  int count = argc > 1 ? atoi(argv[1]) : 5000;
  if (count <= 0) count = 5000;
  std::string base = argc > 2 ? argv[2] : "/var/tmp";
  std::string dir = base + "/corvel-delivery-bench-" + std::to_string(getpid()) + "/";
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
  for (int u = 1; u <= kUsers; ++u) {
    std::string name = "bench" + std::to_string(u);
    WriteUserRecord(name, name, s.userDirectory + name + ".mbx", "", "", "", why);
  }
  printf("disk flush latency: %.2f ms\n", FlushLatencyMs(dir));
  for (uint32_t gapMs : kGapsMs) {
    for (int u = 1; u <= kUsers; ++u)
      ::unlink((s.userDirectory + "bench" + std::to_string(u) + ".mbx").c_str());
    SpoolMessages(count);
    double cpu = CpuSeconds();
    double t = RouteAll(count, gapMs);
    cpu = CpuSeconds() - cpu;
    printf("router, %2u ms pause between calls of %d files: %d messages of %zu bytes to %d users "
           "in %.2f s = %.0f messages/s (CPU %.0f us per message)\n",
           gapMs, kRouter.filesPerCall, count, kMessageBytes, kUsers, t, count / t,
           cpu * 1e6 / count);
  }
  RegCloseStore();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
