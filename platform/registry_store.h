// Inside the registry: the operations on an open store that the public calls and
// the text import/export are built from. Only platform/registry*.cpp include this.
// Every function here runs with the store's mutex held and inside a transaction
// that a RegSession opened; each returns 0 or a Windows error number and, on
// failure, leaves a text for RegLastErrorText().
#pragma once

#include <sqlite3.h>

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
// Commit() succeeded. `write` begins IMMEDIATE so the write lock is taken (and
// waited for, under the busy time-out) before anything is read. Inside a
// RegTransaction of this thread it joins that one: no lock, no begin, and its
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
