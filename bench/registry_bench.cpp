// Registry throughput from one thread: value reads, single-value writes (each its
// own transaction), key listings and a .reg export/import of the whole store.
// Runs on a fresh SQLite file in a temporary directory, then (when PostgreSQL is
// installed) on a database of a throw-away cluster (scripts/pg-throwaway.sh),
// once without and once with the server's read cache; prints operations per
// second for each, in the same run.
//
//   registry_bench [SECONDS-PER-FIGURE]   (default 2)
#include <stdlib.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/postgres.h"
#include "server/core/program_options.h"

namespace {

constexpr int kUsers = 200;        // keys like the account database's
constexpr int kValuesPerUser = 10;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string UserKey(int i) {
  return "SOFTWARE\\Tollgrove\\Corvel\\Users\\user" + std::to_string(i);
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Operations per second by the wall clock, and by the thread's CPU time (the
// figure an idle machine would show: this 2-core machine is shared).
struct Rate {
  double wall = 0;
  double cpu = 0;
};

// Runs `op` in rounds until `budget` seconds passed.
template <typename Op>
Rate Measure(double budget, long& failures, Op op) {
  long count = 0;
  Clock::time_point start = Clock::now();
  double cpuStart = ThreadCpuSeconds();
  double elapsed = 0;
  while (elapsed < budget) {
    for (int i = 0; i < 1000; ++i) {
      if (!op(count)) ++failures;
      ++count;
    }
    elapsed = Seconds(start);
  }
  double cpu = ThreadCpuSeconds() - cpuStart;
  return {double(count) / elapsed, cpu > 0 ? double(count) / cpu : 0};
}

void PrintRate(const char* what, Rate r, const char* goal) {
  std::printf("  %-22s %10.0f /s wall, %10.0f /s per CPU second  %s\n", what, r.wall, r.cpu, goal);
}

}  // namespace

constexpr const char* kUsage =
    "usage: registry_bench [SECONDS-PER-FIGURE]\n"
    "prints registry reads, writes, listings and .reg export/import per second\n"
    "(default 2 seconds a figure) on a fresh SQLite file, then on a throw-away\n"
    "PostgreSQL database without and with the read cache.\n";

namespace {

// The figures of one store; false when it could not be opened.
bool RunStore(const std::string& location, const char* label, bool cached, double budget,
              long& failures) {
  std::string why;
  if (!RegOpenStore(location, why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
  }
  RegUseReadCache(cached);
  std::printf("%s: %d keys x %d values, %.1f s per figure\n", label, kUsers, kValuesPerUser,
              budget);
  for (int u = 0; u < kUsers; ++u) {
    for (int v = 0; v < kValuesPerUser; ++v) {
      RegSetString(UserKey(u), "Value" + std::to_string(v), "some text of a user value");
    }
  }
  // The cache keeps reads once its listener listens.
  for (int i = 0; cached && i < 300 && !RegStoreReachable(); ++i) usleep(10000);
  if (cached) usleep(200000);

  // Reads: precomputed names, mixed case (the fold is part of the cost).
  std::vector<std::pair<std::string, std::string>> names;
  for (int u = 0; u < kUsers; ++u) {
    for (int v = 0; v < kValuesPerUser; ++v)
      names.push_back({UserKey(u), (u & 1 ? "VALUE" : "value") + std::to_string(v)});
  }
  RegValue value;
  Rate reads = Measure(budget, failures, [&](long n) {
    const auto& kv = names[size_t(n) % names.size()];
    return RegQueryValue(kv.first, kv.second, value);
  });
  PrintRate("value reads:", reads, "(goal 200000)");

  Rate writes = Measure(budget, failures, [&](long n) {
    return RegSetDword(UserKey(int(n % kUsers)), "Counter", uint32_t(n));
  });
  PrintRate("single-value writes:", writes, "(goal 5000)");

  Rate creates = Measure(budget / 2, failures, [&](long n) {
    return RegSetString("SOFTWARE\\Bench\\New" + std::to_string(n / 16), "v" + std::to_string(n),
                        "x");
  });
  PrintRate("new values, new keys:", creates, "");

  std::vector<RegValue> values;
  Rate lists = Measure(budget / 2, failures, [&](long n) {
    return RegEnumValues(UserKey(int(n % kUsers)), values);
  });
  PrintRate("listings of 11 values:", lists, "");

  std::string text;
  Clock::time_point start = Clock::now();
  if (!RegExportText("", text, why)) ++failures;
  double exportSecs = Seconds(start);
  if (!RegDeleteKeyTree("SOFTWARE")) ++failures;
  start = Clock::now();
  if (!RegImportText(text, why)) ++failures;
  double importSecs = Seconds(start);
  std::printf("  export of %zu bytes: %.1f ms; import: %.1f ms\n", text.size(),
              exportSecs * 1000, importSecs * 1000);
  RegUseReadCache(false);
  RegCloseStore();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "registry_bench", kUsage); rc >= 0) return rc;
  double budget = argc > 1 ? atof(argv[1]) : 2.0;
  if (budget <= 0) budget = 2.0;
  char tmpl[] = "/tmp/corvel-registry-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string dir = tmpl;
  long failures = 0;
  bool ok = RunStore(dir + "/registry.db", "sqlite file", false, budget, failures);

  PostgresCluster cluster;
  std::string why;
  bool missing = false;
  if (!cluster.Start(why, missing)) {
    std::printf("postgresql: %s\n", missing ? kNoPostgres : why.c_str());
  } else {
    for (bool cached : {false, true}) {
      std::string uri = cluster.CreateDatabase(why);
      ok = !uri.empty() &&
           RunStore(uri, cached ? "postgresql, read cache on (the server's setting)"
                                : "postgresql, no read cache (the tools' setting)",
                    cached, budget, failures) &&
           ok;
    }
  }

  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  if (failures) {
    std::printf("  FAILED operations: %ld\n", failures);
    return 1;
  }
  return ok ? 0 : 1;
}
