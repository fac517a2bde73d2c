// Named locks on a PostgreSQL store: session advisory locks, numbered by a hash
// of the folded lock name and held on a connection of this process's own, so
// two nodes never hold one mailbox at once and a node that dies (its connection
// with it) leaves nothing held. Inside the process a table of what is held keeps
// two threads apart: the database would let one session take its lock twice.
//
// When the connection is lost, the database has released this process's locks
// while their holders still work. The next connection therefore takes them back
// before anything else, and then takes no new lock for a grace period: the other
// nodes, back at the same moment, take back theirs first. (A lock another node
// took in that window is reported; its holder here goes on without it.)
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/registry_pg.h"
#include "platform/registry_store.h"
#include "platform/tick.h"

namespace {

constexpr uint32_t kRetryGapMs = 200;  // between connection attempts while out of reach
constexpr uint32_t kGraceMs = 2 * kPgMaxBackoffMs + 1000;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
constexpr const char* kTryStmt = "corvel_try_lock";
constexpr const char* kUnlockStmt = "corvel_unlock";

struct Locks {
  std::mutex mutex;
  PGconn* conn = nullptr;
  std::string location;  // empty while no store is open
  bool everConnected = false;
  bool suspect = false;  // the listener lost the database: test before trusting
  bool tried = false;
  uint32_t lastTry = 0;
  bool grace = false;
  uint32_t graceStart = 0;
  std::unordered_map<uint64_t, std::string> held;  // number -> name, while held here
};

Locks& TheLocks() {
  static Locks* locks = new Locks;  // never destroyed: threads may outlive main
  return *locks;
}

// 1 taken, 0 held elsewhere, -1 the connection failed.
int TryOn(PGconn* conn, const char* stmt, uint64_t key) {
  std::string text = std::to_string(int64_t(key));
  const char* values[] = {text.c_str()};
  PGresult* r = PQexecPrepared(conn, stmt, 1, values, nullptr, nullptr, 0);
  int out = -1;
  if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1)
    out = std::strcmp(PQgetvalue(r, 0, 0), "t") == 0 ? 1 : 0;
  PQclear(r);
  return out;
}

void Disconnect(Locks& m) {
  if (m.conn) PQfinish(m.conn);
  m.conn = nullptr;
}

// With the mutex held: a lock connection to use. `force` skips the pause
// between attempts (the database is known to be back).
int EnsureConnection(Locks& m, bool force) {
  std::string why;
  if (m.conn && m.suspect && !PgExecSimple(m.conn, "SELECT 1", why)) Disconnect(m);
  m.suspect = false;
  if (m.conn && PQstatus(m.conn) != CONNECTION_BAD) return 0;
  Disconnect(m);
  if (m.location.empty()) return RegFail(kErrInvalidHandle, "the registry store is not open");
  uint32_t now = GetTickCount32();
  if (!force && m.tried && TickElapsed(now, m.lastTry) < kRetryGapMs)
    return RegFailUnreachable(kErrBadNetPath, "named locks: the registry database is out of reach");
  m.tried = true;
  m.lastTry = now;
  PGconn* conn = PgConnect(m.location, why);
  if (conn) {
    PGresult* a = PQprepare(conn, kTryStmt, "SELECT pg_try_advisory_lock($1::bigint)", 1, nullptr);
    PGresult* b = PQprepare(conn, kUnlockStmt, "SELECT pg_advisory_unlock($1::bigint)", 1, nullptr);
    bool ok = PQresultStatus(a) == PGRES_COMMAND_OK && PQresultStatus(b) == PGRES_COMMAND_OK;
    PQclear(a);
    PQclear(b);
    if (!ok) {
      why = PgErrorText(conn);
      PQfinish(conn);
      conn = nullptr;
    }
  }
  if (!conn)
    return RegFailUnreachable(kErrBadNetPath,
                              "named locks: the registry database is out of reach (" + why + ")");
  m.conn = conn;
  if (m.everConnected) {
    for (const auto& [key, name] : m.held) {
      if (TryOn(conn, kTryStmt, key) != 1)
        RegReportEvent("Named lock " + name +
                       " was taken elsewhere while the registry database was out of reach; "
                       "its holder here goes on without it.");
    }
    m.grace = true;
    m.graceStart = now;
  }
  m.everConnected = true;
  return 0;
}

}  // namespace

uint64_t RegDatabaseLockKey(const std::string& name) {
  uint64_t h = kFnvOffset;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    h = (h ^ uint8_t(c)) * kFnvPrime;
  }
  return h ? h : 1;
}

RegLockTry RegTryDatabaseLock(uint64_t key, const std::string& name) {
  Locks& m = TheLocks();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (m.held.count(key)) return RegLockTry::kBusy;
  if (int err = EnsureConnection(m, false)) {
    SetLastWinError(err);
    return RegLockTry::kFailed;
  }
  if (m.grace) {
    if (TickElapsed(GetTickCount32(), m.graceStart) < kGraceMs) return RegLockTry::kBusy;
    m.grace = false;
  }
  int got = TryOn(m.conn, kTryStmt, key);
  if (got < 0) {
    // The connection is gone and every lock of this process with it: the next
    // connection takes them back.
    SetLastWinError(RegFailUnreachable(kErrBadNetPath, "named locks: " + PgErrorText(m.conn)));
    Disconnect(m);
    return RegLockTry::kFailed;
  }
  if (got == 0) return RegLockTry::kBusy;
  m.held.emplace(key, name);
  return RegLockTry::kTaken;
}

void RegReleaseDatabaseLock(uint64_t key) {
  Locks& m = TheLocks();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (m.held.erase(key) == 0 || !m.conn) return;
  if (TryOn(m.conn, kUnlockStmt, key) < 0) Disconnect(m);
}

void PgLocksOpen(const std::string& location) {
  Locks& m = TheLocks();
  std::lock_guard<std::mutex> lock(m.mutex);
  Disconnect(m);
  m.held.clear();
  m.location = location;
  m.everConnected = m.suspect = m.tried = m.grace = false;
}

void PgLocksClose(bool inherited) {
  Locks& m = TheLocks();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (inherited)
    m.conn = nullptr;  // the parent's session: forgotten, never ended
  else
    Disconnect(m);
  m.held.clear();
  m.location.clear();
  m.everConnected = m.suspect = m.tried = m.grace = false;
}

void PgLocksAfterOutage() {
  Locks& m = TheLocks();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.suspect = true;
  if (!m.held.empty()) EnsureConnection(m, true);
}

void PgLocksPrepareFork() { TheLocks().mutex.lock(); }

void PgLocksParentAfterFork() { TheLocks().mutex.unlock(); }

void PgLocksChildAfterFork() {
  Locks& m = TheLocks();
  m.mutex.unlock();
  m.conn = nullptr;  // the parent's session: forgotten, never ended
  m.held.clear();
  m.everConnected = m.suspect = m.tried = m.grace = false;
}
