// The registry's PostgreSQL store: the same keys and values as the SQLite file,
// in a database that several nodes share. One connection per process, used under
// the store's mutex, with the statements prepared once per connection.
//
// Schema (made on first use in the database's default schema, format 1):
// corvel_reg_keys(id, parent, name, path_fold) and corvel_reg_values(id, key_id,
// name, name_fold, type, data), names and data as bytea so any bytes round-trip
// whatever the database's encoding. Lookups go through indexes on md5() of the
// folded names (a btree entry has a size limit, a name has none); the one writer
// at a time keeps them unique. corvel_reg_meta holds the format. Triggers on both
// tables notify the channel corvel_registry with the changed key's folded path,
// so every node's read cache drops what changed (registry_pg_cache.cpp).
//
// Writers take one transaction-level advisory lock before anything is read (as
// SQLite's BEGIN IMMEDIATE): a check-then-write is one step and writers never
// meet a serialization conflict. Reads outside a transaction are one statement
// each; a read session is one REPEATABLE READ snapshot (an export).
//
// A lost connection is retried at once for a call that had not started a
// transaction (a database restarted while we were idle); when that fails the
// store is out of reach: one event is reported, the cache is dropped, calls fail
// with 53, and a new connection is tried with back-off.
#include <arpa/inet.h>

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/registry_pg.h"
#include "platform/registry_store.h"
#include "platform/tick.h"

namespace {

constexpr int kFormatVersion = 1;
constexpr size_t kMaxValueBytes = 256u << 20;  // as the SQLite store
constexpr const char* kConnectTimeoutSeconds = "5";
constexpr const char* kLockTimeout = "SET lock_timeout = '10s'";  // SQLite's busy time-out
constexpr Oid kOidBytea = 17;
constexpr Oid kOidInt8 = 20;

const char* const kSchemaSql =
    "CREATE TABLE corvel_reg_meta(name text PRIMARY KEY, value text NOT NULL);"
    "CREATE TABLE corvel_reg_keys(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " parent bigint, name bytea NOT NULL, path_fold bytea NOT NULL);"
    "CREATE INDEX corvel_reg_keys_path ON corvel_reg_keys(md5(path_fold));"
    "CREATE INDEX corvel_reg_keys_parent ON corvel_reg_keys(parent);"
    "CREATE TABLE corvel_reg_values(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " key_id bigint NOT NULL, name bytea NOT NULL, name_fold bytea NOT NULL,"
    " type bigint NOT NULL, data bytea NOT NULL);"
    "CREATE INDEX corvel_reg_values_name ON corvel_reg_values(key_id, md5(name_fold));"
    "CREATE INDEX corvel_reg_values_order ON corvel_reg_values(key_id, id);"
    // A payload holds under 8000 bytes: a longer path notifies '' (everything).
    "CREATE FUNCTION corvel_reg_notify_key() RETURNS trigger LANGUAGE plpgsql AS $$"
    " DECLARE p bytea; BEGIN"
    "  IF TG_OP = 'DELETE' THEN p := OLD.path_fold; ELSE p := NEW.path_fold; END IF;"
    "  PERFORM pg_notify('corvel_registry',"
    "    CASE WHEN octet_length(p) > 3900 THEN '' ELSE encode(p, 'hex') END);"
    "  RETURN NULL; END $$;"
    "CREATE FUNCTION corvel_reg_notify_value() RETURNS trigger LANGUAGE plpgsql AS $$"
    " DECLARE p bytea; k bigint; BEGIN"
    "  IF TG_OP = 'DELETE' THEN k := OLD.key_id; ELSE k := NEW.key_id; END IF;"
    "  SELECT path_fold INTO p FROM corvel_reg_keys WHERE id = k;"
    "  IF p IS NOT NULL THEN PERFORM pg_notify('corvel_registry',"
    "    CASE WHEN octet_length(p) > 3900 THEN '' ELSE encode(p, 'hex') END); END IF;"
    "  RETURN NULL; END $$;"
    "CREATE TRIGGER corvel_reg_keys_changed AFTER INSERT OR UPDATE OR DELETE"
    " ON corvel_reg_keys FOR EACH ROW EXECUTE FUNCTION corvel_reg_notify_key();"
    "CREATE TRIGGER corvel_reg_values_changed AFTER INSERT OR UPDATE OR DELETE"
    " ON corvel_reg_values FOR EACH ROW EXECUTE FUNCTION corvel_reg_notify_value();"
    "INSERT INTO corvel_reg_keys(parent, name, path_fold) VALUES (NULL, '', '');";

// The prepared statements, by index; parameters are bytea or int8, sent and
// received in binary.
enum PgStmt {
  kFindKey,
  kInsertKey,
  kQueryValue,
  kSetValue,
  kDeleteValue,
  kListKeys,
  kListValues,
  kEnumValues,
  kDeleteTree,
  kStmtCount
};

struct StmtDef {
  const char* name;
  const char* sql;
  int params;
  Oid types[5];
};

constexpr StmtDef kStmts[kStmtCount] = {
    {"corvel_find_key",
     "SELECT id, name FROM corvel_reg_keys WHERE md5(path_fold) = md5($1) AND path_fold = $1",
     1, {kOidBytea}},
    {"corvel_insert_key",
     "INSERT INTO corvel_reg_keys(parent, name, path_fold) VALUES ($1, $2, $3) RETURNING id", 3,
     {kOidInt8, kOidBytea, kOidBytea}},
    {"corvel_query_value",
     "SELECT v.name, v.type, v.data, v.id FROM corvel_reg_keys k"
     " JOIN corvel_reg_values v ON v.key_id = k.id"
     " WHERE md5(k.path_fold) = md5($1) AND k.path_fold = $1"
     " AND md5(v.name_fold) = md5($2) AND v.name_fold = $2",
     2, {kOidBytea, kOidBytea}},
    // A rewrite keeps the row (its place in the order) and the name first
    // written. No two writers run at once, so the update-or-insert needs no
    // unique index.
    {"corvel_set_value",
     "WITH u AS (UPDATE corvel_reg_values SET type = $4, data = $5"
     " WHERE key_id = $1 AND md5(name_fold) = md5($3) AND name_fold = $3 RETURNING 1)"
     " INSERT INTO corvel_reg_values(key_id, name, name_fold, type, data)"
     " SELECT $1, $2, $3, $4, $5 WHERE NOT EXISTS (SELECT 1 FROM u)",
     5, {kOidInt8, kOidBytea, kOidBytea, kOidInt8, kOidBytea}},
    {"corvel_delete_value",
     "DELETE FROM corvel_reg_values WHERE key_id = $1 AND md5(name_fold) = md5($2)"
     " AND name_fold = $2",
     2, {kOidInt8, kOidBytea}},
    // Siblings share the parent's path, so the folded paths sort as the folded
    // names do: without regard to case, as the SQLite store sorts.
    {"corvel_list_keys",
     "SELECT id, name FROM corvel_reg_keys WHERE parent = $1 ORDER BY path_fold, name", 1,
     {kOidInt8}},
    {"corvel_list_values",
     "SELECT name, type, data, id FROM corvel_reg_values WHERE key_id = $1 AND id > $2"
     " ORDER BY id LIMIT $3",
     3, {kOidInt8, kOidInt8, kOidInt8}},
    // The key and its values in one statement: no row when the key is missing,
    // one row of nulls when it has no values.
    {"corvel_enum_values",
     "SELECT k.id, v.name, v.type, v.data, v.id FROM corvel_reg_keys k LEFT JOIN LATERAL"
     " (SELECT name, type, data, id FROM corvel_reg_values WHERE key_id = k.id AND id > $2"
     " ORDER BY id LIMIT $3) v ON true"
     " WHERE md5(k.path_fold) = md5($1) AND k.path_fold = $1 ORDER BY v.id",
     3, {kOidBytea, kOidInt8, kOidInt8}},
    {"corvel_delete_tree",
     "WITH RECURSIVE t(id) AS (SELECT id FROM corvel_reg_keys"
     " WHERE md5(path_fold) = md5($1) AND path_fold = $1"
     " UNION ALL SELECT k.id FROM corvel_reg_keys k JOIN t ON k.parent = t.id),"
     " v AS (DELETE FROM corvel_reg_values WHERE key_id IN (SELECT id FROM t))"
     " DELETE FROM corvel_reg_keys WHERE id IN (SELECT id FROM t)",
     1, {kOidBytea}},
};

struct Pg {
  PGconn* conn = nullptr;
  std::string location;
  std::string display;
  int64_t rootId = 0;
  bool inTransaction = false;
  bool writeTransaction = false;
  // The outage: reported once, then a new connection at most every `backoffMs`.
  bool down = false;
  uint32_t downSince = 0;
  uint32_t lastTry = 0;
  uint32_t backoffMs = kPgFirstBackoffMs;
  bool caching = false;
  // What the open write transaction changed, dropped from the cache at commit:
  // the folded paths of the keys it looked up by id, and those it touched.
  std::unordered_map<int64_t, std::string> keyFolds;
  std::vector<std::string> touched;
  bool touchedUnknown = false;
};

Pg& ThePg() {
  static Pg* pg = new Pg;  // never destroyed: threads may outlive main
  return *pg;
}

void IgnoreNotice(void*, const char*) {}

// Binary parameters: bytea as given, int8 in network order.
class Params {
 public:
  void Bytes(const std::string& s) { Add(s.data(), int(s.size())); }
  void Int(int64_t v) {
    uint64_t u = uint64_t(v);
    char* p = ints_[ints_used_++];
    for (int i = 7; i >= 0; --i) {
      p[i] = char(u & 0xff);
      u >>= 8;
    }
    Add(p, 8);
  }
  int count() const { return n_; }
  const char* const* values() const { return values_; }
  const int* lengths() const { return lengths_; }
  const int* formats() const { return formats_; }

 private:
  void Add(const char* p, int len) {
    values_[n_] = p;
    lengths_[n_] = len;
    formats_[n_] = 1;
    ++n_;
  }
  const char* values_[5] = {};
  int lengths_[5] = {};
  int formats_[5] = {};
  char ints_[5][8] = {};
  int ints_used_ = 0;
  int n_ = 0;
};

// A result, cleared when it goes.
class Result {
 public:
  explicit Result(PGresult* r = nullptr) : r_(r) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() { PQclear(r_); }
  void reset(PGresult* r) {
    PQclear(r_);
    r_ = r;
  }
  PGresult* get() const { return r_; }
  bool ok() const {
    ExecStatusType st = PQresultStatus(r_);
    return r_ && (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK);
  }
  int rows() const { return PQntuples(r_); }
  bool null(int row, int col) const { return PQgetisnull(r_, row, col); }
  std::string Bytes(int row, int col) const {
    return std::string(PQgetvalue(r_, row, col), size_t(PQgetlength(r_, row, col)));
  }
  int64_t Int(int row, int col) const {
    if (PQgetlength(r_, row, col) != 8) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, col));
    uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u = (u << 8) | p[i];
    return int64_t(u);
  }

 private:
  PGresult* r_;
};

PGresult* RunStmt(PgStmt id, const Params& p) {
  return PQexecPrepared(ThePg().conn, kStmts[id].name, p.count(), p.values(), p.lengths(),
                        p.formats(), 1);
}

// True (and the connection closed) when the last failure was the connection's.
bool ConnectionLost() {
  Pg& pg = ThePg();
  if (pg.conn && PQstatus(pg.conn) != CONNECTION_BAD) return false;
  if (pg.conn) PQfinish(pg.conn);
  pg.conn = nullptr;
  pg.inTransaction = false;
  return true;
}

int FailDown(const std::string& reason) {
  Pg& pg = ThePg();
  return RegFailUnreachable(kErrBadNetPath,
                            "registry " + pg.display + ": the database is out of reach (" +
                                reason + ")");
}

int FailResult(const PGresult* res, const char* what) {
  Pg& pg = ThePg();
  int err = PgWinError(pg.conn, res);
  std::string msg = res ? PQresultErrorMessage(res) : "";
  if (msg.empty()) msg = PgErrorText(pg.conn);
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
  if (err == kErrBadNetPath) return FailDown(msg);
  return RegFail(err, "registry " + pg.display + ": " + what + ": " + msg);
}

// Prepares the statements and finds the root on a connection whose schema is
// in place.
bool PrepareConnection(PGconn* conn, int64_t& rootId, std::string& why) {
  for (const StmtDef& s : kStmts) {
    Result r(PQprepare(conn, s.name, s.sql, s.params, s.types));
    if (!r.ok()) {
      why = PgErrorText(conn);
      return false;
    }
  }
  Params p;
  p.Bytes("");
  Result r(PQexecPrepared(conn, kStmts[kFindKey].name, p.count(), p.values(), p.lengths(),
                          p.formats(), 1));
  if (!r.ok() || r.rows() != 1) {
    why = r.ok() ? "the root key is missing" : PgErrorText(conn);
    return false;
  }
  rootId = r.Int(0, 0);
  return true;
}

// Checks the registry's tables and makes them when there are none (and
// `create`). Never touches a database whose registry tables are incomplete or of
// another format.
bool PrepareSchema(PGconn* conn, bool create, std::string& why) {
  const std::string name = "registry " + ThePg().display;
  auto countOurs = [&](int& n) {
    Result r(PQexec(conn,
                    "SELECT (to_regclass('corvel_reg_meta') IS NOT NULL)::int"
                    " + (to_regclass('corvel_reg_keys') IS NOT NULL)::int"
                    " + (to_regclass('corvel_reg_values') IS NOT NULL)::int"));
    if (!r.ok()) return false;
    n = atoi(PQgetvalue(r.get(), 0, 0));
    return true;
  };
  int ours = 0;
  if (!countOurs(ours)) {
    why = name + ": cannot read the database (" + PgErrorText(conn) + ")";
    return false;
  }
  if (ours != 0 && ours != 3) {
    why = name + ": the registry's tables are incomplete; left as they are";
    return false;
  }
  if (ours == 0 && !create) {
    why = name + ": no registry in this database yet; left as it is";
    return false;
  }
  if (ours == 0) {
    // Another process may create it at the same moment: decide under a lock.
    std::string lock = "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kPgLockClass) +
                       ", " + std::to_string(kPgSchemaLock) + ")";
    std::string err;
    bool ok = PgExecSimple(conn, lock.c_str(), err) && countOurs(ours);
    if (ok && ours == 0) {
      std::string meta = std::string(kSchemaSql) +
                         "INSERT INTO corvel_reg_meta VALUES ('format', '" +
                         std::to_string(kFormatVersion) + "')";
      ok = PgExecSimple(conn, meta.c_str(), err);
    }
    if (!ok || !PgExecSimple(conn, "COMMIT", err)) {
      std::string ignored;
      PgExecSimple(conn, "ROLLBACK", ignored);
      why = name + ": cannot create the registry tables (" + err + ")";
      return false;
    }
  }
  Result r(PQexec(conn, "SELECT value FROM corvel_reg_meta WHERE name = 'format'"));
  std::string format = r.ok() && r.rows() == 1 ? PQgetvalue(r.get(), 0, 0) : "none";
  if (format != std::to_string(kFormatVersion)) {
    why = name + ": registry format " + format + " is not the supported format " +
          std::to_string(kFormatVersion) + "; left as it is";
    return false;
  }
  return true;
}

// With the mutex held: a connection to use, or the failure of an outage. A lost
// connection is tried again at once the first time, then with back-off.
int EnsureConnection() {
  Pg& pg = ThePg();
  if (pg.conn) return 0;
  uint32_t now = GetTickCount32();
  if (pg.down && TickElapsed(now, pg.lastTry) < pg.backoffMs)
    return FailDown("waiting before the next try");
  pg.lastTry = now;
  std::string why;
  PGconn* conn = PgConnect(pg.location, why);
  int64_t root = 0;
  if (conn && !PrepareConnection(conn, root, why)) {
    PQfinish(conn);
    conn = nullptr;
  }
  if (!conn) {
    if (!pg.down) {
      pg.down = true;
      pg.downSince = now;
      pg.backoffMs = kPgFirstBackoffMs;
      PgCacheDrop();
      RegReportEvent("Registry database " + pg.display + " out of reach (" + why +
                     "); registry calls fail until it is back.");
    } else {
      pg.backoffMs = std::min(pg.backoffMs * 2, kPgMaxBackoffMs);
    }
    return FailDown(why);
  }
  pg.conn = conn;
  pg.rootId = root;
  if (pg.down) {
    pg.down = false;
    PgCacheDrop();  // changes made meanwhile went unnoticed
    RegReportEvent("Registry database " + pg.display + " reachable again after " +
                   std::to_string(TickElapsed(now, pg.downSince) / 1000) + " s.");
  }
  return 0;
}

// Runs a statement of a call that is not inside a transaction, once more on a
// fresh connection when the old one turns out dead.
int RunOutsideTransaction(PgStmt id, const Params& p, Result& r, const char* what) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (int err = EnsureConnection()) return err;
    r.reset(RunStmt(id, p));
    if (r.ok()) return 0;
    if (!ConnectionLost()) return FailResult(r.get(), what);
  }
  return FailResult(r.get(), what);
}

int RunInTransaction(PgStmt id, const Params& p, Result& r, const char* what) {
  Pg& pg = ThePg();
  if (!pg.conn || !pg.inTransaction) return FailDown("the connection was lost");
  r.reset(RunStmt(id, p));
  if (r.ok()) return 0;
  int err = FailResult(r.get(), what);
  ConnectionLost();
  return err;
}

void NoteTouched(int64_t keyId) {
  Pg& pg = ThePg();
  if (!pg.writeTransaction) return;
  auto it = pg.keyFolds.find(keyId);
  if (it == pg.keyFolds.end())
    pg.touchedUnknown = true;
  else
    pg.touched.push_back(it->second);
}

// ---- the backend's operations ----

void Close(bool inherited) {
  Pg& pg = ThePg();
  PgCacheStop();
  PgLocksClose(inherited);
  // A forked child's copy of the connection shares the parent's socket: closing
  // it would end the parent's session.
  if (pg.conn && !inherited) PQfinish(pg.conn);
  pg = Pg{};
}

int Open(const std::string& location, bool create, std::string& why) {
  Close(false);
  Pg& pg = ThePg();
  pg.location = location;
  pg.display = RegDisplayLocation(location);
  std::string err;
  PGconn* conn = PgConnect(location, err);
  if (!conn) {
    why = "registry " + pg.display + ": cannot connect (" + err + ")";
    return kErrBadNetPath;
  }
  int64_t root = 0;
  if (!PrepareSchema(conn, create, why)) {
    PQfinish(conn);
    return kErrBadDatabase;
  }
  if (!PrepareConnection(conn, root, err)) {
    PQfinish(conn);
    why = "registry " + pg.display + ": " + err;
    return kErrBadDatabase;
  }
  pg.conn = conn;
  pg.rootId = root;
  PgLocksOpen(location);
  return 0;
}

int Begin(bool write) {
  Pg& pg = ThePg();
  static const std::string kWriteBegin = "BEGIN; SELECT pg_advisory_xact_lock(" +
                                         std::to_string(kPgLockClass) + ", " +
                                         std::to_string(kPgWriterLock) + ")";
  const char* sql = write ? kWriteBegin.c_str() : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
  Result r;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (int err = EnsureConnection()) return err;
    r.reset(PQexec(pg.conn, sql));
    if (r.ok()) break;
    if (!ConnectionLost()) {
      int err = FailResult(r.get(), "cannot begin a transaction");
      Result(PQexec(pg.conn, "ROLLBACK"));
      return err;
    }
  }
  if (!r.ok()) return FailResult(r.get(), "cannot begin a transaction");
  pg.inTransaction = true;
  pg.writeTransaction = write;
  pg.keyFolds.clear();
  pg.keyFolds[pg.rootId] = "";
  pg.touched.clear();
  pg.touchedUnknown = false;
  return 0;
}

int Commit() {
  Pg& pg = ThePg();
  if (!pg.conn || !pg.inTransaction) return FailDown("the connection was lost");
  Result r(PQexec(pg.conn, "COMMIT"));
  pg.inTransaction = false;
  // A transaction that met an error is rolled back by COMMIT, which says so.
  if (!r.ok() || std::strcmp(PQcmdStatus(r.get()), "COMMIT") != 0) {
    int err = r.ok() ? RegFail(kErrGenFailure, "registry " + pg.display +
                                                   ": the transaction was rolled back")
                     : FailResult(r.get(), "cannot commit");
    ConnectionLost();
    return err;
  }
  if (pg.writeTransaction) {
    if (pg.touchedUnknown) {
      PgCacheInvalidate("");
    } else {
      for (const std::string& fold : pg.touched) PgCacheInvalidate(fold);
    }
  }
  return 0;
}

void Rollback() {
  Pg& pg = ThePg();
  if (pg.conn && pg.inTransaction) {
    Result r(PQexec(pg.conn, "ROLLBACK"));
    if (!r.ok()) ConnectionLost();
  }
  pg.inTransaction = false;
}

int64_t RootId() { return ThePg().rootId; }

int FindKey(const std::string& fold, int64_t& id, std::string* name) {
  Params p;
  p.Bytes(fold);
  Result r;
  if (int err = RunInTransaction(kFindKey, p, r, "cannot look up a key")) return err;
  id = 0;
  if (r.rows() == 0) return 0;
  id = r.Int(0, 0);
  if (name) *name = r.Bytes(0, 1);
  ThePg().keyFolds[id] = fold;
  return 0;
}

int InsertKey(int64_t parent, const std::string& name, const std::string& fold, int64_t& id) {
  Params p;
  p.Int(parent);
  p.Bytes(name);
  p.Bytes(fold);
  Result r;
  if (int err = RunInTransaction(kInsertKey, p, r, "cannot create a key")) return err;
  id = r.Int(0, 0);
  ThePg().keyFolds[id] = fold;
  ThePg().touched.push_back(fold);
  return 0;
}

int DeleteTree(const std::string& fold) {
  Params p;
  p.Bytes(fold);
  Result r;
  if (int err = RunInTransaction(kDeleteTree, p, r, "cannot delete a key")) return err;
  ThePg().touched.push_back(fold);
  return 0;
}

int SetValue(int64_t keyId, const std::string& name, const std::string& fold, uint32_t type,
             const std::string& data) {
  if (data.size() > kMaxValueBytes || name.size() > kMaxValueBytes)
    return RegFail(kErrInvalidParameter, "registry value too large: " + name);
  Params p;
  p.Int(keyId);
  p.Bytes(name);
  p.Bytes(fold);
  p.Int(int64_t(type));
  p.Bytes(data);
  Result r;
  if (int err = RunInTransaction(kSetValue, p, r, "cannot write a value")) return err;
  NoteTouched(keyId);
  return 0;
}

int DeleteValue(int64_t keyId, const std::string& fold, bool& found) {
  Params p;
  p.Int(keyId);
  p.Bytes(fold);
  Result r;
  if (int err = RunInTransaction(kDeleteValue, p, r, "cannot delete a value")) return err;
  found = std::strcmp(PQcmdTuples(r.get()), "0") != 0;
  NoteTouched(keyId);
  return 0;
}

int ListKeys(int64_t keyId, std::vector<RegChildKey>& keys) {
  Params p;
  p.Int(keyId);
  Result r;
  if (int err = RunInTransaction(kListKeys, p, r, "cannot list keys")) return err;
  for (int i = 0; i < r.rows(); ++i) keys.push_back({r.Int(i, 0), r.Bytes(i, 1)});
  return 0;
}

int64_t Clamp(uint64_t v) { return v > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(v); }

// Rows of (name, type, data, id) from column `first` on.
void CollectValues(const Result& r, int first, std::vector<RegValue>& values) {
  for (int i = 0; i < r.rows(); ++i) {
    if (r.null(i, first)) continue;  // a key without values
    RegValue v;
    v.name = r.Bytes(i, first);
    v.type = uint32_t(r.Int(i, first + 1));
    v.data = r.Bytes(i, first + 2);
    v.order = uint64_t(r.Int(i, first + 3));
    values.push_back(std::move(v));
  }
}

int ListValues(int64_t keyId, uint64_t after, size_t limit, std::vector<RegValue>& values) {
  Params p;
  p.Int(keyId);
  p.Int(Clamp(after));
  p.Int(Clamp(limit));
  Result r;
  if (int err = RunInTransaction(kListValues, p, r, "cannot list values")) return err;
  CollectValues(r, 0, values);
  return 0;
}

int QueryValueWith(bool locked, const std::string& keyFold, const std::string& nameFold,
                   RegValue& out) {
  Params p;
  p.Bytes(keyFold);
  p.Bytes(nameFold);
  Result r;
  int err = locked ? RunInTransaction(kQueryValue, p, r, "cannot read a value")
                   : RunOutsideTransaction(kQueryValue, p, r, "cannot read a value");
  if (err) return err;
  if (r.rows() == 0) return kErrFileNotFound;
  out.name = r.Bytes(0, 0);
  out.type = uint32_t(r.Int(0, 1));
  out.data = r.Bytes(0, 2);
  out.order = uint64_t(r.Int(0, 3));
  return 0;
}

int FailNotOpen() { return RegFail(kErrInvalidHandle, "the registry store is not open"); }

int QueryValue(const std::string& keyFold, const std::string& nameFold, RegValue& out,
               bool locked) {
  if (locked) return QueryValueWith(true, keyFold, nameFold, out);
  PgCacheProbe probe = PgCacheQuery(keyFold, nameFold, out);
  if (probe.hit) return probe.err;
  int err;
  {
    std::lock_guard<std::mutex> lock(RegStoreMutex());
    if (!RegStoreUsableLocked()) return FailNotOpen();
    err = QueryValueWith(false, keyFold, nameFold, out);
  }
  if (err == 0 || err == kErrFileNotFound)
    PgCacheRememberValue(keyFold, nameFold, err, out, probe.generation);
  return err;
}

int EnumValuesWith(bool locked, const std::string& keyFold, uint64_t after, size_t limit,
                   std::vector<RegValue>& values) {
  Params p;
  p.Bytes(keyFold);
  p.Int(Clamp(after));
  p.Int(Clamp(limit));
  Result r;
  int err = locked ? RunInTransaction(kEnumValues, p, r, "cannot list values")
                   : RunOutsideTransaction(kEnumValues, p, r, "cannot list values");
  if (err) return err;
  if (r.rows() == 0) return kErrFileNotFound;
  CollectValues(r, 1, values);
  return 0;
}

int EnumValues(const std::string& keyFold, uint64_t after, size_t limit,
               std::vector<RegValue>& values, bool locked) {
  if (locked) return EnumValuesWith(true, keyFold, after, limit, values);
  bool whole = after == 0 && limit == SIZE_MAX;
  PgCacheProbe probe;
  if (whole) {
    probe = PgCacheList(keyFold, values);
    if (probe.hit) return probe.err;
  }
  int err;
  {
    std::lock_guard<std::mutex> lock(RegStoreMutex());
    if (!RegStoreUsableLocked()) return FailNotOpen();
    err = EnumValuesWith(false, keyFold, after, limit, values);
  }
  if (whole && (err == 0 || err == kErrFileNotFound))
    PgCacheRememberList(keyFold, err, values, probe.generation);
  return err;
}

bool Reachable() {
  if (!PgCacheListenerUp()) return false;
  if (RegInTransaction()) return ThePg().conn != nullptr;
  std::lock_guard<std::mutex> lock(RegStoreMutex());
  if (!RegStoreUsableLocked()) return false;
  return ThePg().conn != nullptr || EnsureConnection() == 0;
}

void UseCache(bool on) {
  Pg& pg = ThePg();
  if (on == pg.caching) return;
  pg.caching = on;
  if (on)
    PgCacheStart(pg.location);
  else
    PgCacheStop();
}

void PrepareFork() {
  PgLocksPrepareFork();
  PgCachePrepareFork();
}

void ParentAfterFork() {
  PgCacheParentAfterFork();
  PgLocksParentAfterFork();
}

void ChildAfterFork() {
  PgCacheChildAfterFork();
  PgLocksChildAfterFork();
}

}  // namespace

PGconn* PgConnect(const std::string& location, std::string& why) {
  // Ours first: what the URI says wins.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {kConnectTimeoutSeconds, "corvel", location.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (!conn) {
    why = "out of memory";
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    why = PgErrorText(conn);
    PQfinish(conn);
    return nullptr;
  }
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
  if (!PgExecSimple(conn, kLockTimeout, why)) {
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

std::string PgErrorText(const PGconn* conn) {
  std::string text = conn ? PQerrorMessage(conn) : "no connection";
  // "connection to server ... failed: FATAL:  ..." spans lines: keep them on one.
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool PgExecSimple(PGconn* conn, const char* sql, std::string& why) {
  Result r(PQexec(conn, sql));
  if (r.ok()) return true;
  why = PgErrorText(conn);
  return false;
}

int PgWinError(const PGconn* conn, const PGresult* res) {
  if (!conn || PQstatus(conn) == CONNECTION_BAD) return kErrBadNetPath;
  const char* code = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  if (!code) return kErrGenFailure;
  std::string_view s(code);
  auto cls = [&](const char* c) { return s.substr(0, 2) == c; };
  if (cls("08") || s == "57P01" || s == "57P02" || s == "57P03") return kErrBadNetPath;
  if (s == "55P03" || s == "40001" || s == "40P01") return kErrBusy;
  if (s == "53100") return kErrDiskFull;
  if (s == "53200") return kErrNotEnoughMemory;
  if (cls("28") || s == "42501" || s == "25006") return kErrAccessDenied;
  if (cls("22") || cls("23") || s == "54000") return kErrInvalidParameter;
  if (cls("XX") || s == "42P01" || s == "42703" || s == "42883") return kErrBadDatabase;
  return kErrGenFailure;
}

const RegBackend kRegPgBackend = {
    .kind = "postgresql",
    .open = Open,
    .close = Close,
    .begin = Begin,
    .commit = Commit,
    .rollback = Rollback,
    .rootId = RootId,
    .findKey = FindKey,
    .insertKey = InsertKey,
    .deleteTree = DeleteTree,
    .setValue = SetValue,
    .deleteValue = DeleteValue,
    .listKeys = ListKeys,
    .listValues = ListValues,
    .queryValue = QueryValue,
    .enumValues = EnumValues,
    .reachable = Reachable,
    .useCache = UseCache,
    .prepareFork = PrepareFork,
    .parentAfterFork = ParentAfterFork,
    .childAfterFork = ChildAfterFork,
};
