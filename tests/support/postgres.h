// A throw-away PostgreSQL for the tests of the registry's database store, through
// scripts/pg-throwaway.sh. The shared cluster is the one CTest started for this
// build ($CORVEL_TEST_PG_DIR, the "postgres" fixture), else one this process
// starts on first use and removes when it exits. Each test takes a database of
// its own. Tests that stop the server take a private cluster instead.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// The line the tests skip with when PostgreSQL is not installed.
inline constexpr const char* kNoPostgres =
    "PostgreSQL binaries (initdb, pg_ctl) not found: the database store's cases are skipped";

// Runs a shell command; its standard output without the last line end, and the
// exit status in `rc`.
inline std::string RunForOutput(const std::string& cmd, int& rc) {
  std::string out;
  rc = -1;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::string PgThrowaway(const std::string& args, int& rc) {
  return RunForOutput("bash " + std::string(CORVEL_SOURCE_DIR) + "/scripts/pg-throwaway.sh " +
                          args + " 2>&1",
                      rc);
}

// A cluster in its own directory; `own` clusters are removed with this record.
class PostgresCluster {
 public:
  PostgresCluster() = default;
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;
  ~PostgresCluster() {
    if (own_ && !dir_.empty() && getpid() == owner_) {
      int rc;
      PgThrowaway("destroy " + dir_, rc);
    }
  }
  // Starts a new cluster in a fresh directory (or, with `existing`, the one
  // there). False with `why`; `missing` when PostgreSQL is not installed.
  bool Start(std::string& why, bool& missing, const std::string& existing = "") {
    missing = false;
    if (existing.empty()) {
      char tmpl[] = "/tmp/corvel-pg-XXXXXX";
      if (!mkdtemp(tmpl)) {
        why = "mkdtemp failed";
        return false;
      }
      dir_ = tmpl;
      own_ = true;
      owner_ = getpid();
    } else {
      dir_ = existing;
    }
    int rc;
    std::string out = PgThrowaway("start " + dir_, rc);
    if (rc != 0) {
      why = out;
      return false;
    }
    if (out.rfind("postgresql://", 0) != 0) {
      missing = true;
      why = kNoPostgres;
      return false;
    }
    return true;
  }
  bool Stop(std::string& why) { return Run("stop " + dir_, why); }
  bool Restart(std::string& why) {
    std::string out;
    return Run("start " + dir_, out) || (why = out, false);
  }
  // A new empty database: its URI, or "" with `why`.
  std::string CreateDatabase(std::string& why) {
    static int counter = 0;
    std::string name = "t_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    int rc;
    std::string uri = PgThrowaway("createdb " + dir_ + " " + name, rc);
    if (rc != 0 || uri.rfind("postgresql://", 0) != 0) {
      why = uri;
      return "";
    }
    return uri;
  }
  void DropDatabase(const std::string& uri) {
    size_t start = uri.find(":///") + 4, end = uri.find('?');
    if (start < 4 || end == std::string::npos) return;
    int rc;
    PgThrowaway("dropdb " + dir_ + " " + uri.substr(start, end - start), rc);
  }
  const std::string& dir() const { return dir_; }

 private:
  bool Run(const std::string& args, std::string& out) {
    int rc;
    out = PgThrowaway(args, rc);
    return rc == 0;
  }
  std::string dir_;
  bool own_ = false;
  pid_t owner_ = 0;
};

// The shared cluster, started on first use; null with `why` when there is none.
inline PostgresCluster* SharedPostgres(std::string& why, bool& missing) {
  static PostgresCluster cluster;
  static bool tried = false, ok = false, wasMissing = false;
  static std::string failure;
  if (!tried) {
    tried = true;
    const char* env = getenv("CORVEL_TEST_PG_DIR");
    ok = cluster.Start(failure, wasMissing, env && *env ? env : "");
  }
  missing = wasMissing;
  why = failure;
  return ok ? &cluster : nullptr;
}
