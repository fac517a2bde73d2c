// The registry's SQLite store: one connection per process, used under the store's
// mutex and holding its prepared statements, over a database file in WAL mode that
// every Corvel process may open at once.
//
// Schema: reg_keys(id, parent, name, path_fold) with path_fold the ASCII-folded
// full path, unique, so a lookup is one index probe and a tree is one range
// ("a\\..." lies in ["a\\", "a]") since ']' follows '\\'); reg_values(id, key_id,
// name, name_fold, type, data) with (key_id, name_fold) unique and id giving the
// creation order. The root (HKEY_LOCAL_MACHINE itself) is the key with the empty
// path, made with the schema and never deleted.
//
// Durability: WAL with synchronous=NORMAL. A committed transaction is in the WAL
// file before the call returns, so a crash of any process loses nothing; only a
// power failure or kernel crash may lose the last commits (never corrupting the
// file). That trade buys writes without an fsync each.
#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry_store.h"

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kRegistryFileMode = 0600;
constexpr size_t kMaxValueBytes = 256u << 20;  // far beyond any value; below SQLite's limit
constexpr int kFormatVersion = 1;
constexpr char kSqliteMagic[] = "SQLite format 3";  // 16 bytes with its zero

const char* const kValueOrderIndexSql =
    "CREATE INDEX IF NOT EXISTS reg_values_order ON reg_values(key_id, id)";

const char* const kSchemaSql =
    "CREATE TABLE reg_meta(name TEXT PRIMARY KEY, value);"
    "CREATE TABLE reg_keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT NOT NULL,"
    " path_fold TEXT NOT NULL UNIQUE);"
    "CREATE INDEX reg_keys_parent ON reg_keys(parent);"
    "CREATE TABLE reg_values(id INTEGER PRIMARY KEY, key_id INTEGER NOT NULL,"
    " name TEXT NOT NULL, name_fold TEXT NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL, UNIQUE(key_id, name_fold));"
    "CREATE INDEX reg_values_order ON reg_values(key_id, id);"
    "INSERT INTO reg_keys(parent, name, path_fold) VALUES(NULL, '', '');";

// The prepared statements, kept for the life of the connection.
enum StmtId {
  kStmtBegin,
  kStmtBeginImmediate,
  kStmtCommit,
  kStmtRollback,
  kStmtFindKey,
  kStmtInsertKey,
  kStmtQueryValue,
  kStmtUpsertValue,
  kStmtDeleteValue,
  kStmtListKeys,
  kStmtListValues,
  kStmtListValuesAfter,
  kStmtDeleteTreeValues,
  kStmtDeleteTreeKeys,
  kStmtCount
};

constexpr const char* kStmtSql[kStmtCount] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT id, name FROM reg_keys WHERE path_fold = ?1",
    "INSERT INTO reg_keys(parent, name, path_fold) VALUES(?1, ?2, ?3)",
    "SELECT v.name, v.type, v.data, v.id FROM reg_keys k JOIN reg_values v ON v.key_id = k.id"
    " WHERE k.path_fold = ?1 AND v.name_fold = ?2",
    // A rewrite keeps the row (its place in the order) and the name as first written.
    "INSERT INTO reg_values(key_id, name, name_fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(key_id, name_fold) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM reg_values WHERE key_id = ?1 AND name_fold = ?2",
    "SELECT id, name FROM reg_keys WHERE parent = ?1 ORDER BY name COLLATE NOCASE, name",
    "SELECT name, type, data, id FROM reg_values WHERE key_id = ?1 ORDER BY id",
    // "+key_id" keeps the (key, name) index out: the walk goes along the ids from
    // the cursor, so a batch costs the rows up to its last one, not a sort of the
    // whole key.
    "SELECT name, type, data, id FROM reg_values WHERE +key_id = ?1 AND id > ?2"
    " ORDER BY id LIMIT ?3",
    "DELETE FROM reg_values WHERE key_id IN (SELECT id FROM reg_keys"
    " WHERE path_fold = ?1 OR (path_fold >= ?2 AND path_fold < ?3))",
    "DELETE FROM reg_keys WHERE path_fold = ?1 OR (path_fold >= ?2 AND path_fold < ?3)",
};

struct Sqlite {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmts[kStmtCount] = {};
  std::string path;
  int64_t rootId = 0;
};

Sqlite& TheDb() {
  static Sqlite* db = new Sqlite;  // never destroyed: threads may outlive main
  return *db;
}

void ConfigureOnce() {
  static std::once_flag once;
  // The store's mutex serializes the connection: SQLite's own locking and its
  // global allocation statistics (one more mutex per malloc) are not needed.
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

// Windows error for an SQLite result code.
int WinErrorFromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return kErrSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrBusy;
    case SQLITE_NOMEM:
      return kErrNotEnoughMemory;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kErrAccessDenied;
    case SQLITE_FULL:
      return kErrDiskFull;
    case SQLITE_CANTOPEN:
      return kErrFileNotFound;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
      return kErrBadDatabase;
    case SQLITE_IOERR:
      return kErrWriteFault;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
      return kErrInvalidParameter;
    default:
      return kErrGenFailure;
  }
}

int FailSqlite(int rc, const char* what) {
  Sqlite& s = TheDb();
  std::string text = std::string("registry ") + s.path + ": " + what + ": " +
                     (s.db ? sqlite3_errmsg(s.db) : sqlite3_errstr(rc));
  return RegFail(WinErrorFromSqlite(rc), text);
}

// One use of a cached statement, reset when the use ends.
class StmtUse {
 public:
  explicit StmtUse(StmtId id) : stmt_(TheDb().stmts[id]) {}
  StmtUse(const StmtUse&) = delete;
  StmtUse& operator=(const StmtUse&) = delete;
  ~StmtUse() { sqlite3_reset(stmt_); }  // every use binds all parameters again
  sqlite3_stmt* get() const { return stmt_; }
  void BindText(int i, const std::string& s) {
    sqlite3_bind_text(stmt_, i, s.data(), int(s.size()), SQLITE_STATIC);
  }
  void BindBlob(int i, const std::string& s) {
    sqlite3_bind_blob(stmt_, i, s.data(), int(s.size()), SQLITE_STATIC);
  }
  void BindInt(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  int Step() { return sqlite3_step(stmt_); }
  std::string ColumnBytes(int i) {
    const void* p = sqlite3_column_blob(stmt_, i);
    int n = sqlite3_column_bytes(stmt_, i);
    return p ? std::string(static_cast<const char*>(p), size_t(n)) : std::string();
  }
  int64_t ColumnInt(int i) { return sqlite3_column_int64(stmt_, i); }

 private:
  sqlite3_stmt* stmt_;
};

int RunStmt(StmtId id, const char* what) {
  StmtUse st(id);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return FailSqlite(rc, what);
  return 0;
}

int FailNotOpen() { return RegFail(kErrInvalidHandle, "the registry store is not open"); }

// Closes the connection. A forked child only forgets its parent's connection:
// closing it there would release the parent's locks.
void CloseDb(bool inherited) {
  Sqlite& s = TheDb();
  if (s.db && !inherited) {
    for (sqlite3_stmt*& st : s.stmts) {
      sqlite3_finalize(st);
      st = nullptr;
    }
    sqlite3_close_v2(s.db);
  }
  for (sqlite3_stmt*& st : s.stmts) st = nullptr;
  s.db = nullptr;
  s.rootId = 0;
}

// Reads the first bytes of an existing file: empty files are new databases, any
// other content must carry the SQLite magic before SQLite is let near it.
//
// The file is read through SQLite's own file layer, never with open()/close():
// POSIX record locks belong to the process, so closing any descriptor of the
// database file drops the locks of every SQLite connection of this process on it
// (the server's, while the account library opens a second one for the browser
// console). Another process could then take the file as unused, checkpoint and
// remove the WAL under the live connection ("disk I/O error"). SQLite keeps such a
// descriptor open until its own locks on the file are gone.
bool CheckFileHeader(const std::string& path, std::string& why) {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  if (!vfs) return true;
  std::vector<char> space(size_t(vfs->szOsFile));
  auto* file = reinterpret_cast<sqlite3_file*>(space.data());
  int outFlags = 0;
  if (vfs->xOpen(vfs, path.c_str(), file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB,
                 &outFlags) != SQLITE_OK)
    return true;  // missing (created later) or unreadable (SQLite says why)
  sqlite3_int64 size = 0;
  char head[16] = {};
  int rc = file->pMethods->xFileSize(file, &size);
  if (rc == SQLITE_OK && size > 0) rc = file->pMethods->xRead(file, head, int(sizeof head), 0);
  file->pMethods->xClose(file);
  if (rc == SQLITE_OK && size == 0) return true;
  if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) return true;
  if (rc == SQLITE_IOERR_SHORT_READ || std::memcmp(head, kSqliteMagic, sizeof head) != 0) {
    why = "registry " + path + ": not a registry database (not an SQLite file); left as it is";
    return false;
  }
  return true;
}

int ExecSql(sqlite3* db, const char* sql, std::string& err) {
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) err = msg ? msg : sqlite3_errstr(rc);
  sqlite3_free(msg);
  return rc;
}

// Counts the rows of a one-number query; -1 with `err` on failure.
int64_t QueryNumber(sqlite3* db, const char* sql, std::string& err, int* rcOut = nullptr) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  int64_t v = -1;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
      v = sqlite3_column_int64(st, 0);
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      v = 0;
      rc = SQLITE_OK;
    }
  }
  if (rc != SQLITE_OK) err = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  if (rcOut) *rcOut = rc;
  return rc == SQLITE_OK ? v : -1;
}

// Validates the open database and creates the schema when it is empty. Never
// writes to a database that holds anything but a registry.
bool PrepareSchema(sqlite3* db, const std::string& path, bool create, std::string& why) {
  std::string err;
  int rc = SQLITE_OK;
  // Reading the schema makes SQLite check the header: a damaged file fails here.
  if (QueryNumber(db, "PRAGMA schema_version", err, &rc) < 0) {
    why = "registry " + path + ": not a usable registry database (" + err + "); left as it is";
    return false;
  }
  int64_t ours = QueryNumber(
      db,
      "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN"
      " ('reg_meta', 'reg_keys', 'reg_values')",
      err);
  int64_t all = ours < 0 ? -1 : QueryNumber(db, "SELECT count(*) FROM sqlite_master", err);
  if (ours < 0 || all < 0) {
    why = "registry " + path + ": cannot read the database (" + err + ")";
    return false;
  }
  if (ours != 3 && all != 0) {
    why = "registry " + path +
          ": an SQLite database but not a Corvel registry; left as it is";
    return false;
  }
  if (ours != 3 && !create) {
    why = "registry " + path + ": empty, not a registry yet; left as it is";
    return false;
  }
  if (ExecSql(db, "PRAGMA journal_mode=WAL", err) != SQLITE_OK ||
      ExecSql(db, "PRAGMA synchronous=NORMAL", err) != SQLITE_OK) {
    why = "registry " + path + ": cannot set up the database (" + err + ")";
    return false;
  }
  if (ours == 0) {
    // Another process may create it at the same moment: decide under the write lock.
    if (ExecSql(db, "BEGIN IMMEDIATE", err) != SQLITE_OK) {
      why = "registry " + path + ": cannot lock the database (" + err + ")";
      return false;
    }
    int64_t now = QueryNumber(db, "SELECT count(*) FROM sqlite_master", err);
    bool ok = now >= 0;
    if (ok && now == 0) {
      ok = ExecSql(db, kSchemaSql, err) == SQLITE_OK;
      if (ok) {
        std::string ins = "INSERT INTO reg_meta VALUES('format', " +
                          std::to_string(kFormatVersion) + ")";
        ok = ExecSql(db, ins.c_str(), err) == SQLITE_OK;
      }
    }
    if (!ok || ExecSql(db, "COMMIT", err) != SQLITE_OK) {
      std::string ignored;
      ExecSql(db, "ROLLBACK", ignored);
      why = "registry " + path + ": cannot create the registry tables (" + err + ")";
      return false;
    }
  }
  int64_t format = QueryNumber(db, "SELECT value FROM reg_meta WHERE name = 'format'", err);
  if (format != kFormatVersion) {
    why = "registry " + path + ": registry format " + std::to_string(format) +
          " is not the supported format " + std::to_string(kFormatVersion) +
          "; left as it is";
    return false;
  }
  // A key's values are listed in the order they were made: without this index
  // every listing sorts them (a list of 10,000 members is listed for each
  // subscription). Stores made before it get it here.
  if (ExecSql(db, kValueOrderIndexSql, err) != SQLITE_OK) {
    why = "registry " + path + ": cannot index the values (" + err + ")";
    return false;
  }
  return true;
}

// Registers the sqlite_master-ready connection: statements and the root.
bool PrepareStatements(Sqlite& s, std::string& why) {
  for (int i = 0; i < kStmtCount; ++i) {
    int rc = sqlite3_prepare_v3(s.db, kStmtSql[i], -1, SQLITE_PREPARE_PERSISTENT,
                                &s.stmts[i], nullptr);
    if (rc != SQLITE_OK) {
      why = "registry " + s.path + ": " + sqlite3_errmsg(s.db);
      return false;
    }
  }
  std::string err;
  s.rootId = QueryNumber(s.db, "SELECT id FROM reg_keys WHERE path_fold = ''", err);
  if (s.rootId <= 0) {
    why = "registry " + s.path + ": the root key is missing; left as it is";
    return false;
  }
  return true;
}

// ---- the backend's operations ----

int Open(const std::string& path, bool create, std::string& why) {
  ConfigureOnce();
  Sqlite& s = TheDb();
  CloseDb(false);
  s.path = path;
  if (!CheckFileHeader(path, why)) return kErrBadDatabase;
  // The store holds every account's password in a form that turns back into
  // clear text: a new one is made readable by its owner only, whatever the
  // umask. SQLite gives its -wal and -shm files the mode of the database file.
  std::string createWhy;
  if (create && !FileExists(path) && !CreatePrivateFile(path, kRegistryFileMode, &createWhy) &&
      LastWinError() != kErrFileExists) {  // another process was first: its file it is
    why = "registry " + createWhy;
    return LastWinError();
  }
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    why = "registry " + path + ": cannot open (" +
          (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")";
    sqlite3_close_v2(db);
    return WinErrorFromSqlite(rc);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  s.db = db;
  if (!PrepareSchema(db, path, create, why) || !PrepareStatements(s, why)) {
    CloseDb(false);
    return kErrBadDatabase;
  }
  return 0;
}

int Begin(bool write) {
  return RunStmt(write ? kStmtBeginImmediate : kStmtBegin, "cannot begin a transaction");
}

int Commit() { return RunStmt(kStmtCommit, "cannot commit"); }

void Rollback() {
  StmtUse st(kStmtRollback);
  st.Step();
}

int64_t RootId() { return TheDb().rootId; }

int FindKey(const std::string& fold, int64_t& id, std::string* name) {
  StmtUse st(kStmtFindKey);
  st.BindText(1, fold);
  int rc = st.Step();
  if (rc == SQLITE_ROW) {
    id = st.ColumnInt(0);
    if (name) *name = st.ColumnBytes(1);
    return 0;
  }
  id = 0;
  if (rc == SQLITE_DONE) return 0;
  return FailSqlite(rc, "cannot look up a key");
}

int InsertKey(int64_t parent, const std::string& name, const std::string& fold, int64_t& id) {
  StmtUse st(kStmtInsertKey);
  st.BindInt(1, parent);
  st.BindText(2, name);
  st.BindText(3, fold);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot create a key");
  id = sqlite3_last_insert_rowid(TheDb().db);
  return 0;
}

int DeleteTree(const std::string& fold) {
  std::string low = fold + "\\";
  std::string high = fold + "]";
  for (StmtId which : {kStmtDeleteTreeValues, kStmtDeleteTreeKeys}) {
    StmtUse st(which);
    st.BindText(1, fold);
    st.BindText(2, low);
    st.BindText(3, high);
    int rc = st.Step();
    if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot delete a key");
  }
  return 0;
}

int SetValue(int64_t keyId, const std::string& name, const std::string& fold, uint32_t type,
             const std::string& data) {
  if (data.size() > kMaxValueBytes || name.size() > kMaxValueBytes)
    return RegFail(kErrInvalidParameter, "registry value too large: " + name);
  StmtUse st(kStmtUpsertValue);
  st.BindInt(1, keyId);
  st.BindText(2, name);
  st.BindText(3, fold);
  st.BindInt(4, type);
  st.BindBlob(5, data);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot write a value");
  return 0;
}

int DeleteValue(int64_t keyId, const std::string& fold, bool& found) {
  StmtUse st(kStmtDeleteValue);
  st.BindInt(1, keyId);
  st.BindText(2, fold);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot delete a value");
  found = sqlite3_changes(TheDb().db) != 0;
  return 0;
}

int ListKeys(int64_t keyId, std::vector<RegChildKey>& keys) {
  StmtUse st(kStmtListKeys);
  st.BindInt(1, keyId);
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) keys.push_back({st.ColumnInt(0), st.ColumnBytes(1)});
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot list keys");
  return 0;
}

// Collects the rows of a value listing (name, type, data, id).
int CollectValues(StmtUse& st, std::vector<RegValue>& values) {
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    RegValue v;
    v.name = st.ColumnBytes(0);
    v.type = uint32_t(st.ColumnInt(1));
    v.data = st.ColumnBytes(2);
    v.order = uint64_t(st.ColumnInt(3));
    values.push_back(std::move(v));
  }
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot list values");
  return 0;
}

int ListValues(int64_t keyId, uint64_t after, size_t limit, std::vector<RegValue>& values) {
  if (after == 0 && limit == SIZE_MAX) {
    StmtUse st(kStmtListValues);
    st.BindInt(1, keyId);
    return CollectValues(st, values);
  }
  StmtUse st(kStmtListValuesAfter);
  st.BindInt(1, keyId);
  st.BindInt(2, after > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(after));
  st.BindInt(3, limit > size_t(INT64_MAX) ? INT64_MAX : int64_t(limit));
  return CollectValues(st, values);
}

int QueryValueLocked(const std::string& keyFold, const std::string& nameFold, RegValue& out) {
  StmtUse st(kStmtQueryValue);
  st.BindText(1, keyFold);
  st.BindText(2, nameFold);
  int rc = st.Step();
  if (rc == SQLITE_ROW) {
    out.name = st.ColumnBytes(0);
    out.type = uint32_t(st.ColumnInt(1));
    out.data = st.ColumnBytes(2);
    out.order = uint64_t(st.ColumnInt(3));
    return 0;
  }
  if (rc == SQLITE_DONE) return kErrFileNotFound;
  return FailSqlite(rc, "cannot read a value");
}

// Outside a transaction one statement is its own read transaction.
int QueryValue(const std::string& keyFold, const std::string& nameFold, RegValue& out,
               bool locked) {
  if (locked) return QueryValueLocked(keyFold, nameFold, out);
  std::lock_guard<std::mutex> lock(RegStoreMutex());
  if (!RegStoreUsableLocked()) return FailNotOpen();
  return QueryValueLocked(keyFold, nameFold, out);
}

int EnumValuesLocked(const std::string& keyFold, uint64_t after, size_t limit,
                     std::vector<RegValue>& values) {
  int64_t id = keyFold.empty() ? TheDb().rootId : 0;
  if (id == 0) {
    if (int err = FindKey(keyFold, id, nullptr)) return err;
    if (id == 0) return kErrFileNotFound;
  }
  return ListValues(id, after, limit, values);
}

// The key and its values are read in one read transaction.
int EnumValues(const std::string& keyFold, uint64_t after, size_t limit,
               std::vector<RegValue>& values, bool locked) {
  if (locked) return EnumValuesLocked(keyFold, after, limit, values);
  std::lock_guard<std::mutex> lock(RegStoreMutex());
  if (!RegStoreUsableLocked()) return FailNotOpen();
  if (int err = Begin(false)) return err;
  int err = EnumValuesLocked(keyFold, after, limit, values);
  if (err == 0) err = Commit();
  if (err != 0) Rollback();
  return err;
}

}  // namespace

const RegBackend kRegSqliteBackend = {
    .kind = "sqlite",
    .open = Open,
    .close = CloseDb,
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
    .reachable = nullptr,
    .useCache = nullptr,
    .prepareFork = nullptr,
    .parentAfterFork = nullptr,
    .childAfterFork = nullptr,
};
