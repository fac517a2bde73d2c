// cfgaudit on a large configuration: 100,000 accounts, 100 virtual domains and 100
// lists of 1,000 members, checked with "-g -u -d -l -a" (backup included), first
// clean, then again with 10,000 damaged records. Prints the seconds and the
// records checked per second of each run, and the machine's load average.
//
//   cfgaudit_bench [ACCOUNTS] [DAMAGED]     (defaults 100000 and 10000)
//
// Runs build/bin/cfgaudit (beside this program) on a fresh home in /tmp.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/program_options.h"

namespace {

constexpr int kDomains = 100;
constexpr int kLists = 100;
constexpr int kMembers = 1000;

using Clock = std::chrono::steady_clock;

std::string ProgramDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  path[n] = 0;
  return PathDirectory(path);
}

bool Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "cfgaudit_bench: %s failed: %s\n", what, RegLastErrorText().c_str());
  return ok;
}

// The clean configuration, written in one transaction.
bool BuildRegistry(const std::string& home, int accounts) {
  RegTransaction tx;
  std::string root = kRootKey;
  std::string users = root + "\\Users";
  bool ok = RegSetString(root, "DomainServer", "[127.0.0.1]") && RegSetString(root, "SmartHost", "") &&
            RegSetString(root, "SystemIncoming", "") && RegSetString(root, "SystemOutgoing", "") &&
            RegSetString(root, "UserDirectory", home + "users/") &&
            RegSetDword(root, "InQueueTime", 60) && RegSetDword(root, "OutQueueTime", 60) &&
            RegSetDword(root, "ConnectionTime", 60) && RegSetDword(root, "VerifyNode", 0);
  std::string scrambled;
  ScramblePassword("root", "rootpass", scrambled);
  ok = ok && RegSetString(users, "root", "u;root user;" + home + "users/root.mbx;" + scrambled + ";");
  for (int i = 0; ok && i < accounts; ++i) {
    std::string name = "user" + std::to_string(i);
    std::string record;
    if (i % 20 == 1) {
      record = "a;user" + std::to_string(i - 1);
    } else if (i % 40 == 3) {
      record = "f;" + name + "@elsewhere.example";
    } else if (i < kLists * 2 && i % 2 == 0 && i / 2 < kLists) {
      record = "l;List " + std::to_string(i) + ";" + name + ";owner@example.org";
    } else {
      ScramblePassword(name, "pw" + std::to_string(i), scrambled);
      record = "u;User " + std::to_string(i) + ";" + home + "users/" + name + ".mbx;" + scrambled + ";";
    }
    ok = RegSetString(users, name, record);
  }
  // Lists: the first kLists even-numbered accounts, each with kMembers members.
  for (int l = 0; ok && l < kLists; ++l) {
    std::string key = root + "\\ListsAndResponders\\user" + std::to_string(l * 2) + "\\Users";
    for (int m = 1; ok && m <= kMembers; ++m)
      ok = RegSetString(key, "User" + std::to_string(m),
                        "r;member" + std::to_string(m) + "@example.org;Member;1700000000;");
    ok = ok && RegSetDword(key, "NumUsers", kMembers) && RegSetDword(key, "ActualUsers", kMembers);
  }
  std::string domains = root + "\\VirtualDomains";
  for (int d = 1; ok && d <= kDomains; ++d) {
    std::string name = "domain" + std::to_string(d) + ".example";
    std::string du = domains + "\\" + name + "\\Users";
    ok = RegSetString(domains, "Domain" + std::to_string(d), "Domain " + std::to_string(d) + ";" + name) &&
         RegSetString(du, "root", "f;root@mail.example.org") && RegSetString(du, "listserver", "r;;") &&
         RegSetString(du, "listproc", "a;listserver") && RegSetString(du, "listserv", "a;listserver") &&
         RegSetString(du, "majordomo", "a;listserver");
  }
  ok = ok && RegSetDword(domains, "NumDomains", kDomains) && RegSetDword(domains, "NumActualDomains", kDomains);
  return Check(ok, "building the registry") && Check(tx.Commit(), "committing the registry");
}

// Damages `count` records: a quarter each of user records with a bad full name,
// aliases to missing accounts, records of unknown type and invalid list members.
bool Damage(int accounts, int count) {
  RegTransaction tx;
  std::string users = std::string(kRootKey) + "\\Users";
  bool ok = true;
  int quarter = count / 4;
  for (int i = 0; ok && i < quarter; ++i)
    ok = RegSetString(users, "bad" + std::to_string(i), "u;Bad@Name;/nonexistent/bad.mbx;x;");
  for (int i = 0; ok && i < quarter; ++i)
    ok = RegSetString(users, "dangling" + std::to_string(i), "a;missing" + std::to_string(i));
  for (int i = 0; ok && i < quarter; ++i)
    ok = RegSetString(users, "user" + std::to_string(accounts - 1 - i), "q;unknown");
  for (int i = 0; ok && i < count - 3 * quarter; ++i) {
    int list = (i % kLists) * 2;
    ok = RegSetString(std::string(kRootKey) + "\\ListsAndResponders\\user" + std::to_string(list) + "\\Users",
                      "User" + std::to_string(1 + (i / kLists) * 7 % kMembers), "x");
  }
  return Check(ok, "damaging the registry") && Check(tx.Commit(), "committing the damage");
}

double RunAudit(const std::string& program, const std::string& home, int& status) {
  std::fflush(stdout);
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    execl(program.c_str(), program.c_str(), "--home", home.c_str(), "-g", "-u", "-d", "-l", "-a",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

constexpr const char* kUsage =
    "usage: cfgaudit_bench [ACCOUNTS] [DAMAGED]\n"
    "times cfgaudit -g -u -d -l -a on a fresh home with ACCOUNTS accounts (100000), 100\n"
    "virtual domains and 100 lists of 1000 members, clean and with DAMAGED (10000)\n"
    "damaged records\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "cfgaudit_bench", kUsage); rc >= 0) return rc;
  int accounts = argc > 1 ? std::atoi(argv[1]) : 100000;
  int damaged = argc > 2 ? std::atoi(argv[2]) : 10000;
  char tmpl[] = "/tmp/cfgaudit-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string home = std::string(tmpl) + "/";
  MakeDirectories(home + "users");
  std::string why;
  if (!RegOpenStore(home + "registry.db", why)) {
    std::fprintf(stderr, "cfgaudit_bench: %s\n", why.c_str());
    return 1;
  }
  Clock::time_point built = Clock::now();
  if (!BuildRegistry(home, accounts)) return 1;
  double buildSeconds = std::chrono::duration<double>(Clock::now() - built).count();
  RegCloseStore();
  long records = long(accounts) + 1 + long(kLists) * kMembers + kDomains * 5L;
  std::printf("cfgaudit_bench: %d accounts, %d virtual domains, %d lists of %d members "
              "(%ld records), built in %.1f s\n",
              accounts, kDomains, kLists, kMembers, records, buildSeconds);
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("load average before: %.2f %.2f %.2f (%ld cores)\n", load[0], load[1], load[2],
              sysconf(_SC_NPROCESSORS_ONLN));

  std::string program = ProgramDirectory() + "cfgaudit";
  int status = 0;
  double clean = RunAudit(program, home, status);
  std::printf("clean run:   %6.2f s  %9.0f records/s  (exit %d)\n", clean, records / clean, status);

  if (!RegOpenStore(home + "registry.db", why) || !Damage(accounts, damaged)) return 1;
  RegCloseStore();
  long damagedRecords = records + damaged / 2;  // the bad and dangling records are new ones
  double repair = RunAudit(program, home, status);
  std::printf("damaged run: %6.2f s  %9.0f records/s  (exit %d, %d damaged records)\n", repair,
              damagedRecords / repair, status, damaged);
  getloadavg(load, 3);
  std::printf("load average after: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  (void)!system(("rm -rf '" + home + "'").c_str());
  return 0;
}
