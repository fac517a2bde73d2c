// Bulk accounts: a user import into a fresh registry (each line its own
// transaction, as corveladm import users does it), the user report of them all,
// and a walk over them with the account library's GetUsers. Prints seconds and
// accounts per second for each, by the wall clock and by this process's CPU time
// (the machine may be shared), and the load average before and after.
//
//   acctlib_bench [ACCOUNTS]   (default 100000)
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "acctlib/acctlib.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/admin/bulk.h"
#include "server/core/config.h"
#include "server/core/program_options.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string LoadAverage() {
  std::string text;
  ReadWholeFile("/proc/loadavg", text);
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

struct Timer {
  Clock::time_point wall = Clock::now();
  double cpu = CpuSeconds();
  void Print(const char* what, long count, const char* goal) const {
    double w = std::chrono::duration<double>(Clock::now() - wall).count();
    double c = CpuSeconds() - cpu;
    std::printf("  %-8s %7ld accounts in %6.2f s: %9.0f /s wall, %9.0f /s per CPU second  %s\n",
                what, count, w, count / w, c > 0 ? count / c : 0.0, goal);
  }
};

}  // namespace

constexpr const char* kUsage =
    "usage: acctlib_bench [ACCOUNTS]\n"
    "imports ACCOUNTS user lines (default 100000) into a fresh registry, reports and walks\n"
    "them; prints seconds and accounts per second for each.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "acctlib_bench", kUsage); rc >= 0) return rc;
  long count = argc > 1 ? atol(argv[1]) : 100000;
  if (count <= 0) count = 100000;
  char tmpl[] = "/tmp/corvel-acctlib-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string dir = std::string(tmpl) + "/";
  std::string registry = dir + "registry.db", why;
  if (!RegOpenStore(registry, why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  SetHomeDirectory(dir);
  RegSetString(kRootKey, "LocalNode", "mail.example.org");
  LoadDirectories(ServerSettings());

  std::string input;
  for (long i = 0; i < count; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "user%06ld,User Number %ld,secret%ld,/srv/mail/user%06ld.mbx\r\n",
                  i, i, i % 1000, i);
    input += line;
  }
  {
    UniqueFd fd(::open((dir + "input.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    WriteAll(fd.get(), input.data(), input.size());
  }
  std::printf("acctlib_bench: %ld user lines; load average %s\n", count, LoadAverage().c_str());

  int rc = 0;
  {
    Timer t;
    UniqueFd fd(::open((dir + "input.txt").c_str(), O_RDONLY));
    BulkResult result;
    if (!BulkAddUsers(fd.get(), "", false, result)) {
      std::fprintf(stderr, "import: %s\n", result.message.c_str());
      rc = 1;
    }
    t.Print("import", result.added, "(target 5,000 /s)");
  }
  {
    Timer t;
    std::string text;
    bool ok = BuildUserReport("", text) && WriteReportFile(dir + "report.txt", text, why);
    long lines = 0;
    for (char c : text) lines += c == '\n';
    if (!ok || lines != count) rc = 1;
    t.Print("report", lines, "(target 50,000 /s)");
  }
  RegCloseStore();
  {
    setenv("CORVEL_REGISTRY", registry.c_str(), 1);
    AcctHandle* h = OpenUserDatabase();
    Timer t;
    long walked = 0;
    uint32_t cursor = 0;
    while (AccountInfo* info = h ? GetUsers(h, ACCT_TYPE_ALL, nullptr, &cursor) : nullptr) {
      ++walked;
      free(info);
    }
    t.Print("walk", walked, "(target 50,000 /s)");
    if (!h || walked != count) rc = 1;
    if (h) CloseUserDatabase(h);
  }
  std::printf("load average after: %s\n", LoadAverage().c_str());
  (void)!system(("rm -rf '" + dir + "'").c_str());
  return rc;
}
