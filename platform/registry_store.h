// Inside the registry: the operations on an open store that the public calls and
// the text import/export are built from. Only platform/registry*.cpp include this.
// Every RegStore* function here runs with the store's mutex held and inside a
// transaction that a RegSession opened; each returns 0 or a Windows error number
// and, on failure, leaves a text for RegLastErrorText().
//
// Two kinds of store sit behind these calls, chosen by the registry location when
// the store is opened: an SQLite database file (registry_sqlite.cpp) and a
// PostgreSQL database named by a "postgresql://" connection URI (registry_pg.cpp).
// Each is one RegBackend: a table of its primitive operations. Names are folded,
// paths parsed and sessions nested here, once, for both.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"

// A key path taken apart: the components as given (case kept) and the folded full
// path that identifies the key ("software\\tollgrove"). The root is no components.
struct RegKeyPath {
  std::vector<std::string> parts;
  std::string fold;
};

// Splits `key` (prefix, doubled and trailing backslashes taken off). Returns 0 or
// 123 when a component holds a byte no name may hold (NUL, CR, LF).
int RegParseKeyPath(const std::string& key, RegKeyPath& out);
// The display form of a path below HKLM ("SOFTWARE\\Tollgrove").
std::string RegJoinKeyPath(const RegKeyPath& path);
// ASCII-only lower-casing: the comparison key of names (Windows folds more, but
// the server's names are ASCII and a byte-exact rule round-trips everything).
std::string RegFoldName(const std::string& name);
// 0 or 123 for a value name that may not be stored.
int RegCheckValueName(const std::string& name);

// Holds the store's mutex and one transaction for its lifetime; rolls back unless
// Commit() succeeded. `write` takes the store's write lock (waited for under the
// busy time-out) before anything is read, so writers follow one another. Inside
// a RegTransaction of this thread it joins that one: no lock, no begin, and its
// Commit() leaves the committing to the transaction.
class RegSession {
 public:
  explicit RegSession(bool write);
  RegSession(const RegSession&) = delete;
  RegSession& operator=(const RegSession&) = delete;
  ~RegSession();
  int error() const { return error_; }  // 0 when the session began
  int Commit();                         // 0 or the Windows error

 private:
  std::unique_lock<std::mutex> lock_;
  int error_ = 0;
  bool open_ = false;
  bool joined_ = false;
};

// Id of the key, 0 when there is none (and 0 returned: absence is not a failure).
int RegStoreFindKey(const RegKeyPath& path, int64_t& id);
// The path of an existing key with each component as stored; 2 when missing.
int RegStoreStoredPath(const RegKeyPath& path, std::string& display);
// Finds or creates the key and its missing parents.
int RegStoreCreateKey(const RegKeyPath& path, int64_t& id);
// 2 when the key is missing; 5 for the root, which cannot be deleted.
int RegStoreDeleteTree(const RegKeyPath& path);
int RegStoreSetValue(int64_t keyId, const std::string& name, uint32_t type,
                     const std::string& data);
// 2 when the value is missing.
int RegStoreDeleteValue(int64_t keyId, const std::string& name);
struct RegChildKey {
  int64_t id = 0;
  std::string name;
};
// Direct sub-keys sorted without regard to case.
int RegStoreListKeys(int64_t keyId, std::vector<RegChildKey>& keys);
// Values in creation order.
int RegStoreListValues(int64_t keyId, std::vector<RegValue>& values);

// Records the failure text of this thread (RegLastErrorText) and returns `err`.
int RegFail(int err, const std::string& text);
// Counts a failure for want of the database (RegUnreachableFailures) and records
// it like RegFail.
int RegFailUnreachable(int err, const std::string& text);

// ---- the backends ----

// One kind of store. Every operation but open, close, the fork hooks and the
// unlocked reads runs with the store's mutex held (RegStoreMutex) inside a
// transaction begun by `begin`.
struct RegBackend {
  const char* kind;  // "sqlite", "postgresql": for messages
  // Opens the store at `location`; `create` makes the tables when they are
  // missing. 0, or the Windows error with `why` for the caller's message.
  int (*open)(const std::string& location, bool create, std::string& why);
  // Closes the connection. `inherited`: this is a forked child's copy of its
  // parent's connection, to be forgotten, never closed.
  void (*close)(bool inherited);
  int (*begin)(bool write);
  int (*commit)();
  void (*rollback)();
  int64_t (*rootId)();
  // The key of the folded path: 0 with `id` 0 when there is none; `storedName`
  // (when given) receives its last component as stored.
  int (*findKey)(const std::string& fold, int64_t& id, std::string* storedName);
  int (*insertKey)(int64_t parent, const std::string& name, const std::string& fold,
                   int64_t& id);
  // The values and keys at and below the folded path.
  int (*deleteTree)(const std::string& fold);
  // Writes a value; a rewrite keeps its place in the order and the name first written.
  int (*setValue)(int64_t keyId, const std::string& name, const std::string& nameFold,
                  uint32_t type, const std::string& data);
  // `found` false when there was no such value.
  int (*deleteValue)(int64_t keyId, const std::string& nameFold, bool& found);
  int (*listKeys)(int64_t keyId, std::vector<RegChildKey>& keys);
  // At most `limit` values whose order is above `after`, in that order.
  int (*listValues)(int64_t keyId, uint64_t after, size_t limit, std::vector<RegValue>& values);
  // The reads the server makes on every recipient and login, by folded path.
  // `locked`: inside this thread's transaction, the mutex held. Otherwise the
  // backend takes the mutex itself when it needs its connection, and may answer
  // from a cache. 2 (with no text) when the key or value is missing.
  int (*queryValue)(const std::string& keyFold, const std::string& nameFold, RegValue& out,
                    bool locked);
  int (*enumValues)(const std::string& keyFold, uint64_t after, size_t limit,
                    std::vector<RegValue>& values, bool locked);
  // False while the store's server is known to be unreachable. May be null
  // (always reachable: a file).
  bool (*reachable)();
  // Turns the read cache on or off (with the mutex held). May be null (no cache).
  void (*useCache)(bool on);
  // Around fork(), with the store's mutex held: take and release the backend's
  // own locks so the child finds them free. May be null.
  void (*prepareFork)();
  void (*parentAfterFork)();
  void (*childAfterFork)();
};

extern const RegBackend kRegSqliteBackend;
extern const RegBackend kRegPgBackend;

// The mutex every use of the open store's connection holds.
std::mutex& RegStoreMutex();
// With the mutex held: true when a store is open and this process may use it
// (not a copy inherited through fork()).
bool RegStoreUsableLocked();
// The open store's location as messages show it (a connection URI without its
// password).
const std::string& RegStoreDisplayName();
// The location without a password, for messages.
std::string RegDisplayLocation(const std::string& location);
// Inside this thread's RegTransaction (the mutex is held already).
bool RegInTransaction();
// An event of the store that the owner of the process may want in its log
// (connection lost, restored): passed to the hook RegSetEventHook installed.
void RegReportEvent(const std::string& text);

// ---- named locks over a database store (registry_pg_locks.cpp) ----

// True while the open store is a database: named locks are then its advisory
// locks, so they exclude every node that shares it.
bool RegNamedLocksInDatabase();
// The advisory lock's number for a lock name: a stable hash of the folded name
// (FNV-1a, 64 bits), never 0. Two names with one number exclude each other: more
// than asked, never less.
uint64_t RegDatabaseLockKey(const std::string& name);
enum class RegLockTry { kTaken, kBusy, kFailed };
// One try, without waiting: kBusy while another holder (in this process or on
// another node) has it; kFailed (LastWinError set) when the database is out of
// reach.
RegLockTry RegTryDatabaseLock(uint64_t key, const std::string& name);
void RegReleaseDatabaseLock(uint64_t key);
