// The registry store: one SQLite connection per process, guarded by one mutex and
// holding its prepared statements, over a database file in WAL mode that every
// Corvel process may open at once.
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
#include <pthread.h>
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

struct Store {
  std::mutex mutex;
  sqlite3* db = nullptr;
  sqlite3_stmt* stmts[kStmtCount] = {};
  std::string path;
  bool inherited = false;  // open in the parent of a fork(): this process must not use it
  int64_t rootId = 0;
};

Store& TheStore() {
  static Store* store = new Store;  // never destroyed: threads may outlive main
  return *store;
}

// fork() waits for a registry call in progress, so the child's mutex is free; the
// child then knows its copy of the connection is not its own.
void LockBeforeFork() { TheStore().mutex.lock(); }
void UnlockInParent() { TheStore().mutex.unlock(); }
void UnlockInChild() {
  Store& s = TheStore();
  if (s.db) s.inherited = true;
  s.mutex.unlock();
}

void WatchForks() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Our mutex serializes the connection: SQLite's own locking and its global
    // allocation statistics (one more mutex per malloc) are not needed.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    pthread_atfork(LockBeforeFork, UnlockInParent, UnlockInChild);
  });
}

thread_local std::string tLastError;

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
  Store& s = TheStore();
  std::string text = std::string("registry ") + s.path + ": " + what + ": " +
                     (s.db ? sqlite3_errmsg(s.db) : sqlite3_errstr(rc));
  return RegFail(WinErrorFromSqlite(rc), text);
}

// One use of a cached statement, reset when the use ends.
class StmtUse {
 public:
  explicit StmtUse(StmtId id) : stmt_(TheStore().stmts[id]) {}
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

bool StoreUsable(const Store& s) { return s.db != nullptr && !s.inherited; }

int FailNotOpen() { return RegFail(kErrInvalidHandle, "the registry store is not open"); }

// Closes the connection. A forked child only forgets its parent's connection:
// closing it there would release the parent's locks.
void CloseLocked(Store& s) {
  if (s.db && !s.inherited) {
    for (sqlite3_stmt*& st : s.stmts) {
      sqlite3_finalize(st);
      st = nullptr;
    }
    sqlite3_close_v2(s.db);
  }
  for (sqlite3_stmt*& st : s.stmts) st = nullptr;
  s.db = nullptr;
  s.inherited = false;
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

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return a == b;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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
bool PrepareStatements(Store& s, std::string& why) {
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

int FindKeyId(const std::string& fold, int64_t& id, std::string* name = nullptr) {
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

// Looks up an existing key for a public call: 0 with the id, 2 when missing.
int LookUpKey(const std::string& key, int64_t& id) {
  RegKeyPath path;
  if (int err = RegParseKeyPath(key, path)) return err;
  if (int err = RegStoreFindKey(path, id)) return err;
  if (id == 0) return RegFail(kErrFileNotFound, "registry key not found: " + key);
  return 0;
}

// Sets the thread's error from a result and turns it into the bool of the API.
bool Finish(int err) {
  SetLastWinError(err);
  if (err == 0) tLastError.clear();
  return err == 0;
}

}  // namespace

int RegFail(int err, const std::string& text) {
  tLastError = text;
  return err;
}

std::string RegLastErrorText() { return tLastError; }

namespace {

void FoldInPlace(std::string& s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
}

}  // namespace

std::string RegFoldName(const std::string& name) {
  std::string out = name;
  FoldInPlace(out);
  return out;
}

namespace {

bool HasForbiddenByte(const std::string& name) {
  for (char c : name) {
    if (c == '\0' || c == '\r' || c == '\n') return true;
  }
  return false;
}

// True when `key` starts with `prefix` (any case) followed by '\\' or its end.
size_t HivePrefixLength(const std::string& key, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (key.size() < n) return 0;
  for (size_t i = 0; i < n; ++i) {
    char c = key[i];
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (c != prefix[i]) return 0;
  }
  if (key.size() == n) return n;
  return key[n] == '\\' ? n + 1 : 0;
}

}  // namespace

int RegCheckValueName(const std::string& name) {
  if (HasForbiddenByte(name))
    return RegFail(kErrInvalidName, "registry value name holds a line break or zero byte");
  return 0;
}

int RegParseKeyPath(const std::string& key, RegKeyPath& out) {
  out.parts.clear();
  out.fold.clear();
  size_t start = HivePrefixLength(key, "HKEY_LOCAL_MACHINE");
  if (start == 0) start = HivePrefixLength(key, "HKLM");
  size_t i = start;
  while (i <= key.size()) {
    size_t end = key.find('\\', i);
    if (end == std::string::npos) end = key.size();
    if (end > i) {
      std::string part = key.substr(i, end - i);
      if (HasForbiddenByte(part))
        return RegFail(kErrInvalidName, "registry key name holds a line break or zero byte");
      if (!out.fold.empty()) out.fold += '\\';
      out.fold += RegFoldName(part);
      out.parts.push_back(std::move(part));
    }
    i = end + 1;
  }
  return 0;
}

namespace {

// RegParseKeyPath's fold alone, into a reused buffer.
int FoldKeyPath(const std::string& key, std::string& fold) {
  fold.clear();
  size_t i = HivePrefixLength(key, "HKEY_LOCAL_MACHINE");
  if (i == 0) i = HivePrefixLength(key, "HKLM");
  bool pendingSeparator = false;
  for (; i < key.size(); ++i) {
    char c = key[i];
    if (c == '\\') {
      pendingSeparator = !fold.empty();
      continue;
    }
    if (c == '\0' || c == '\r' || c == '\n')
      return RegFail(kErrInvalidName, "registry key name holds a line break or zero byte");
    if (pendingSeparator) fold += '\\';
    pendingSeparator = false;
    fold += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  }
  return 0;
}

}  // namespace

std::string RegJoinKeyPath(const RegKeyPath& path) {
  std::string out;
  for (const std::string& p : path.parts) {
    if (!out.empty()) out += '\\';
    out += p;
  }
  return out;
}

// The RegTransaction of this thread, if any: its depth, the begin error every
// joined call reports, and whether a nested part gave up.
thread_local int tTxDepth = 0;
thread_local int tTxError = 0;
thread_local bool tTxDoomed = false;
thread_local std::unique_lock<std::mutex>* tTxLock = nullptr;

RegSession::RegSession(bool write) {
  if (tTxDepth > 0) {
    joined_ = true;
    error_ = tTxError;
    return;
  }
  lock_ = std::unique_lock<std::mutex>(TheStore().mutex);
  if (!StoreUsable(TheStore())) {
    error_ = FailNotOpen();
    return;
  }
  error_ = RunStmt(write ? kStmtBeginImmediate : kStmtBegin, "cannot begin a transaction");
  open_ = error_ == 0;
}

RegSession::~RegSession() {
  if (open_) {
    StmtUse st(kStmtRollback);
    st.Step();
  }
}

int RegSession::Commit() {
  if (joined_) return error_;
  if (!open_) return error_ ? error_ : FailNotOpen();
  int err = RunStmt(kStmtCommit, "cannot commit");
  if (err == 0) open_ = false;
  return err;
}

RegTransaction::RegTransaction() {
  if (tTxDepth++ > 0) {
    error_ = tTxError;
    return;
  }
  outer_ = true;
  tTxDoomed = false;
  tTxLock = new std::unique_lock<std::mutex>(TheStore().mutex);
  if (!StoreUsable(TheStore()))
    error_ = FailNotOpen();
  else
    error_ = RunStmt(kStmtBeginImmediate, "cannot begin a transaction");
  tTxError = error_;
  SetLastWinError(error_);
}

RegTransaction::~RegTransaction() {
  if (!done_) {
    if (!outer_) tTxDoomed = true;
  }
  --tTxDepth;
  if (!outer_) return;
  if (!done_ && error_ == 0) {
    StmtUse st(kStmtRollback);
    st.Step();
  }
  delete tTxLock;
  tTxLock = nullptr;
  tTxError = 0;
  tTxDoomed = false;
}

bool RegTransaction::Commit() {
  if (done_) return true;
  if (error_) return Finish(error_);
  if (!outer_) {
    done_ = true;
    return Finish(0);
  }
  if (tTxDoomed) {
    StmtUse st(kStmtRollback);
    st.Step();
    done_ = true;  // rolled back already
    return Finish(RegFail(kErrGenFailure, "a part of the registry transaction failed"));
  }
  int err = RunStmt(kStmtCommit, "cannot commit");
  if (err != 0) return Finish(err);  // the destructor rolls back
  done_ = true;
  return Finish(0);
}

int RegStoreFindKey(const RegKeyPath& path, int64_t& id) {
  if (path.parts.empty()) {
    id = TheStore().rootId;
    return 0;
  }
  return FindKeyId(path.fold, id);
}

int RegStoreStoredPath(const RegKeyPath& path, std::string& display) {
  display.clear();
  std::string fold;
  for (const std::string& part : path.parts) {
    if (!fold.empty()) fold += '\\';
    fold += RegFoldName(part);
    int64_t id = 0;
    std::string name;
    if (int err = FindKeyId(fold, id, &name)) return err;
    if (id == 0) return RegFail(kErrFileNotFound, "registry key not found: " + RegJoinKeyPath(path));
    if (!display.empty()) display += '\\';
    display += name;
  }
  return 0;
}

int RegStoreCreateKey(const RegKeyPath& path, int64_t& id) {
  if (int err = RegStoreFindKey(path, id)) return err;
  if (id != 0) return 0;
  int64_t parent = TheStore().rootId;
  std::string fold;
  for (const std::string& part : path.parts) {
    if (!fold.empty()) fold += '\\';
    fold += RegFoldName(part);
    int64_t found = 0;
    if (int err = FindKeyId(fold, found)) return err;
    if (found == 0) {
      StmtUse st(kStmtInsertKey);
      st.BindInt(1, parent);
      st.BindText(2, part);
      st.BindText(3, fold);
      int rc = st.Step();
      if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot create a key");
      found = sqlite3_last_insert_rowid(TheStore().db);
    }
    parent = found;
  }
  id = parent;
  return 0;
}

int RegStoreDeleteTree(const RegKeyPath& path) {
  if (path.parts.empty())
    return RegFail(kErrAccessDenied, "HKEY_LOCAL_MACHINE itself cannot be deleted");
  int64_t id = 0;
  if (int err = RegStoreFindKey(path, id)) return err;
  if (id == 0) return RegFail(kErrFileNotFound, "registry key not found: " + RegJoinKeyPath(path));
  std::string low = path.fold + "\\";
  std::string high = path.fold + "]";
  for (StmtId which : {kStmtDeleteTreeValues, kStmtDeleteTreeKeys}) {
    StmtUse st(which);
    st.BindText(1, path.fold);
    st.BindText(2, low);
    st.BindText(3, high);
    int rc = st.Step();
    if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot delete a key");
  }
  return 0;
}

int RegStoreSetValue(int64_t keyId, const std::string& name, uint32_t type,
                     const std::string& data) {
  if (int err = RegCheckValueName(name)) return err;
  if (data.size() > kMaxValueBytes || name.size() > kMaxValueBytes)
    return RegFail(kErrInvalidParameter, "registry value too large: " + name);
  StmtUse st(kStmtUpsertValue);
  std::string fold = RegFoldName(name);
  st.BindInt(1, keyId);
  st.BindText(2, name);
  st.BindText(3, fold);
  st.BindInt(4, type);
  st.BindBlob(5, data);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot write a value");
  return 0;
}

int RegStoreDeleteValue(int64_t keyId, const std::string& name) {
  StmtUse st(kStmtDeleteValue);
  std::string fold = RegFoldName(name);
  st.BindInt(1, keyId);
  st.BindText(2, fold);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot delete a value");
  if (sqlite3_changes(TheStore().db) == 0)
    return RegFail(kErrFileNotFound, "registry value not found: " + name);
  return 0;
}

int RegStoreListKeys(int64_t keyId, std::vector<RegChildKey>& keys) {
  keys.clear();
  StmtUse st(kStmtListKeys);
  st.BindInt(1, keyId);
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) keys.push_back({st.ColumnInt(0), st.ColumnBytes(1)});
  if (rc != SQLITE_DONE) return FailSqlite(rc, "cannot list keys");
  return 0;
}

namespace {

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

}  // namespace

int RegStoreListValues(int64_t keyId, std::vector<RegValue>& values) {
  values.clear();
  StmtUse st(kStmtListValues);
  st.BindInt(1, keyId);
  return CollectValues(st, values);
}

// ---- the public calls ----

namespace {

bool OpenStore(const std::string& path, bool create, std::string& why) {
  WatchForks();
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.db && s.inherited && SameFile(s.path, path)) {
    // SQLite keeps its file locks per process in memory a child inherited: a new
    // connection here would believe it holds the parent's locks, and the parent's
    // close could then checkpoint and remove the WAL under the child.
    why = "registry " + path + ": opened before fork(); a child must exec or open it "
          "only after the fork";
    return Finish(RegFail(kErrInvalidHandle, why));
  }
  CloseLocked(s);
  s.path = path;
  if (path.empty()) {
    why = "no registry file given";
    return Finish(kErrInvalidParameter);
  }
  if (!CheckFileHeader(path, why)) return Finish(RegFail(kErrBadDatabase, why));
  // The store holds every account's password in a form that turns back into
  // clear text: a new one is made readable by its owner only, whatever the
  // umask. SQLite gives its -wal and -shm files the mode of the database file.
  std::string createWhy;
  if (create && !FileExists(path) && !CreatePrivateFile(path, kRegistryFileMode, &createWhy) &&
      LastWinError() != kErrFileExists) {  // another process was first: its file it is
    why = "registry " + createWhy;
    return Finish(RegFail(LastWinError(), why));
  }
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    why = "registry " + path + ": cannot open (" +
          (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ")";
    sqlite3_close_v2(db);
    return Finish(RegFail(WinErrorFromSqlite(rc), why));
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  s.db = db;
  if (!PrepareSchema(db, path, create, why) || !PrepareStatements(s, why)) {
    CloseLocked(s);
    return Finish(RegFail(kErrBadDatabase, why));
  }
  return Finish(0);
}

}  // namespace

bool RegOpenStore(const std::string& path, std::string& why) {
  return OpenStore(path, true, why);
}

bool RegOpenExistingStore(const std::string& path, std::string& why) {
  return OpenStore(path, false, why);
}

void RegCloseStore() {
  Store& s = TheStore();
  std::lock_guard<std::mutex> lock(s.mutex);
  CloseLocked(s);
}

bool RegStoreOpen() {
  Store& s = TheStore();
  if (tTxDepth > 0) return StoreUsable(s);  // this thread holds the mutex already
  std::lock_guard<std::mutex> lock(s.mutex);
  return StoreUsable(s);
}

const std::string& RegStorePath() { return TheStore().path; }

bool RegKeyExists(const std::string& key) {
  RegSession session(false);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  return Finish(LookUpKey(key, id));
}

bool RegStoredKeyPath(const std::string& key, std::string& stored) {
  stored.clear();
  RegKeyPath path;
  if (int err = RegParseKeyPath(key, path)) return Finish(err);
  RegSession session(false);
  if (session.error()) return Finish(session.error());
  if (int err = RegStoreStoredPath(path, stored)) return Finish(err);
  return Finish(session.Commit());
}

bool RegCreateKey(const std::string& key) {
  RegKeyPath path;
  if (int err = RegParseKeyPath(key, path)) return Finish(err);
  RegSession session(true);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  if (int err = RegStoreCreateKey(path, id)) return Finish(err);
  return Finish(session.Commit());
}

bool RegDeleteKeyTree(const std::string& key) {
  RegKeyPath path;
  if (int err = RegParseKeyPath(key, path)) return Finish(err);
  RegSession session(true);
  if (session.error()) return Finish(session.error());
  if (int err = RegStoreDeleteTree(path)) return Finish(err);
  return Finish(session.Commit());
}

bool RegEnumKeys(const std::string& key, std::vector<std::string>& names) {
  names.clear();
  RegSession session(false);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  if (int err = LookUpKey(key, id)) return Finish(err);
  std::vector<RegChildKey> keys;
  if (int err = RegStoreListKeys(id, keys)) return Finish(err);
  for (RegChildKey& k : keys) names.push_back(std::move(k.name));
  return Finish(session.Commit());
}

bool RegQueryValue(const std::string& key, const std::string& name, RegValue& out) {
  // The hot path of the server: no allocation beyond the result.
  thread_local std::string keyFold, nameFold;
  if (int err = FoldKeyPath(key, keyFold)) return Finish(err);
  nameFold.assign(name);
  FoldInPlace(nameFold);
  Store& s = TheStore();
  // Inside this thread's RegTransaction the mutex is held already and the read
  // joins the transaction; otherwise one statement is its own read transaction.
  std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
  if (tTxDepth > 0) {
    if (tTxError) return Finish(tTxError);
  } else {
    lock.lock();
  }
  if (!StoreUsable(s)) return Finish(FailNotOpen());
  StmtUse st(kStmtQueryValue);
  st.BindText(1, keyFold);
  st.BindText(2, nameFold);
  int rc = st.Step();
  if (rc == SQLITE_ROW) {
    out.name = st.ColumnBytes(0);
    out.type = uint32_t(st.ColumnInt(1));
    out.data = st.ColumnBytes(2);
    out.order = uint64_t(st.ColumnInt(3));
    return Finish(0);
  }
  if (rc == SQLITE_DONE)
    return Finish(RegFail(kErrFileNotFound, "registry value not found: " + key + " " + name));
  return Finish(FailSqlite(rc, "cannot read a value"));
}

bool RegSetValue(const std::string& key, const std::string& name, uint32_t type,
                 const std::string& data) {
  RegKeyPath path;
  if (int err = RegParseKeyPath(key, path)) return Finish(err);
  if (int err = RegCheckValueName(name)) return Finish(err);
  RegSession session(true);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  if (int err = RegStoreCreateKey(path, id)) return Finish(err);
  if (int err = RegStoreSetValue(id, name, type, data)) return Finish(err);
  return Finish(session.Commit());
}

bool RegDeleteValue(const std::string& key, const std::string& name) {
  RegSession session(true);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  if (int err = LookUpKey(key, id)) return Finish(err);
  if (int err = RegStoreDeleteValue(id, name)) return Finish(err);
  return Finish(session.Commit());
}

bool RegEnumValues(const std::string& key, std::vector<RegValue>& values) {
  values.clear();
  RegSession session(false);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  if (int err = LookUpKey(key, id)) return Finish(err);
  if (int err = RegStoreListValues(id, values)) return Finish(err);
  return Finish(session.Commit());
}

bool RegEnumValuesAfter(const std::string& key, uint64_t after, size_t limit,
                        std::vector<RegValue>& values) {
  values.clear();
  RegSession session(false);
  if (session.error()) return Finish(session.error());
  int64_t id = 0;
  if (int err = LookUpKey(key, id)) return Finish(err);
  {
    StmtUse st(kStmtListValuesAfter);
    st.BindInt(1, id);
    st.BindInt(2, after > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(after));
    st.BindInt(3, limit > size_t(INT64_MAX) ? INT64_MAX : int64_t(limit));
    if (int err = CollectValues(st, values)) return Finish(err);
  }
  return Finish(session.Commit());
}
