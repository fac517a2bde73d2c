// The registry: the HKEY_LOCAL_MACHINE hive, kept in one SQLite database file or,
// for several nodes sharing one configuration, in a PostgreSQL database. The
// location chooses: a "postgresql://" (or "postgres://") connection URI is the
// database, anything else the file. Keys are full paths below HKLM
// ("SOFTWARE\Tollgrove\Corvel\Users"); key and value names are case-insensitive
// and case-preserving, as on Windows. Every operation is one transaction, so the
// server and the tools may use one store at once and a value write is never
// half-done.
//
// Value data are the bytes Windows keeps: REG_SZ with its terminating zero,
// REG_MULTI_SZ as zero-ended strings plus a final zero, REG_DWORD as four
// little-endian bytes, REG_BINARY as given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

struct RegValue {
  std::string name;
  uint32_t type = kRegNone;
  std::string data;  // raw bytes, as above
  // The value's place in its key's order (set by reads): rises with creation, stays
  // while the value lives (a rewrite keeps it), never goes to another value of the
  // key. 0 on writes.
  uint64_t order = 0;
};

// True for a location that names a database server ("postgresql://...").
bool RegLocationIsDatabase(const std::string& location);
// True for a database location, or a file that exists: what the tools that must
// never make a registry of their own check before they open one.
bool RegLocationExists(const std::string& location);
// The location as messages may show it: a connection URI without its password.
std::string RegDisplayLocation(const std::string& location);

// Opens (creating when missing) the process-wide store. A file that exists but is
// not a usable database fails with `why` naming the file; it is never reset. A
// database gets the registry's tables on first use (in its default schema).
// One connection serves every thread of the process. Open it after a fork(), never
// before: a child that inherited an open store cannot reopen that file (SQLite's
// locks are per process) and must exec. (fork() waits for a registry call that is
// in progress in another thread.)
bool RegOpenStore(const std::string& path, std::string& why);
// Opens an existing registry only: a missing file, an empty one or any database
// without the registry's tables fails with `why`, and nothing is created. For the
// tools that must never make a registry of their own.
bool RegOpenExistingStore(const std::string& path, std::string& why);
void RegCloseStore();
bool RegStoreOpen();
const std::string& RegStorePath();
// "sqlite" or "postgresql" while a store is open, else "".
const char* RegStoreKind();
// The text of this thread's last registry failure (empty after a success), for
// messages: "registry key not found: ...", the SQLite reason, ...
std::string RegLastErrorText();

// A database store can be out of reach (its server stopped, the network down).
// Calls then fail with 53 (the network path was not found) and count here, per
// thread: a caller that must not take a failed read for "no such account"
// compares the count before and after its reads and answers "try later".
uint64_t RegUnreachableFailures();
// False while the store's database server is known to be out of reach (a file is
// always reachable). A lost connection is retried with back-off.
bool RegStoreReachable();
// A long-running process (the server) keeps what it read of a database store in
// memory, dropped key by key as any process changes it (the database notifies
// every node), and whole when the connection is lost. Off by default; the SQLite
// store has no cache and ignores it.
void RegUseReadCache(bool on);
// Where the store's events go (the database lost and back, each once per
// outage): the server's log. Without a hook they go to standard error.
using RegEventHook = void (*)(const std::string& text);
void RegSetEventHook(RegEventHook hook);

// A transaction over several calls of this thread: every registry call the thread
// makes while the scope lives joins it, so a check and the write that depends on
// it (a name still free, a slot still empty) are one step that no other process or
// thread can come between. It takes the store's write lock first (SQLite's
// IMMEDIATE; the database's transaction lock that every writer takes), waiting
// under the busy time-out, before anything is read: writers follow one another,
// so a check-then-write never meets a conflict to retry. Reads inside it see the
// store itself, never the read cache. Other threads of the process
// wait for the scope to end, so keep it short and never block inside it.
// A scope opened inside another joins it; ending a nested scope without Commit()
// dooms the outer one (its Commit fails and everything is rolled back), so a helper
// that gives up can never leave half its writes behind.
class RegTransaction {
 public:
  RegTransaction();
  RegTransaction(const RegTransaction&) = delete;
  RegTransaction& operator=(const RegTransaction&) = delete;
  ~RegTransaction();  // rolls back unless Commit() succeeded
  // False when the transaction could not begin (LastWinError tells why); the
  // calls inside then fail too.
  bool ok() const { return error_ == 0; }
  // The outermost scope commits; a nested one only marks its part done. False
  // (and everything rolled back) when the commit fails or a nested part gave up.
  bool Commit();

 private:
  bool outer_ = false;
  bool done_ = false;
  int error_ = 0;
};

// Keys. A path may start with "HKEY_LOCAL_MACHINE\" or "HKLM\" (taken off); doubled
// or trailing backslashes are ignored. Functions return false when the store is
// not open or the operation failed; LastWinError() then tells why (2 = not found,
// 6 = store not open, 123 = a name holding NUL, CR or LF, which no name may hold,
// 1009 = damaged database, 53 = the database server out of reach, 170 = the
// write lock not had within the busy time-out). HKEY_LOCAL_MACHINE itself is the empty path; it exists
// always and cannot be deleted (5).
bool RegKeyExists(const std::string& key);
// The key's path below HKLM with each name as stored ("hklm\\software" ->
// "SOFTWARE"); false (2) when it does not exist.
bool RegStoredKeyPath(const std::string& key, std::string& path);
bool RegCreateKey(const std::string& key);       // creates missing parents too
bool RegDeleteKeyTree(const std::string& key);   // the key, its sub-keys and values
// Names of the direct sub-keys, as stored, sorted without regard to case.
bool RegEnumKeys(const std::string& key, std::vector<std::string>& names);

// Values. An empty value name is the key's default value.
bool RegQueryValue(const std::string& key, const std::string& name, RegValue& out);
bool RegSetValue(const std::string& key, const std::string& name, uint32_t type,
                 const std::string& data);      // creates the key when missing
bool RegDeleteValue(const std::string& key, const std::string& name);
// All values of a key, in the order they were first created.
bool RegEnumValues(const std::string& key, std::vector<RegValue>& values);
// At most `limit` values of the key whose order is above `after`, in that order:
// a walk that resumes after the last value it read, one batch per call, skipping
// nothing that lives through the walk however many values are deleted meanwhile.
bool RegEnumValuesAfter(const std::string& key, uint64_t after, size_t limit,
                        std::vector<RegValue>& values);

// Typed conveniences over the raw form.
std::string RegEncodeSz(const std::string& text);
std::string RegEncodeDword(uint32_t v);
// Empty items are left out: an empty string would end the list early.
std::string RegEncodeMultiSz(const std::vector<std::string>& items);
std::string RegDecodeSz(const std::string& data);                 // up to the first zero
std::vector<std::string> RegDecodeMultiSz(const std::string& data);
bool RegDecodeDword(const std::string& data, uint32_t& v);        // false unless 4 bytes
bool RegSetString(const std::string& key, const std::string& name, const std::string& text);
bool RegSetDword(const std::string& key, const std::string& name, uint32_t v);
bool RegSetMultiString(const std::string& key, const std::string& name,
                       const std::vector<std::string>& items);

// Text form (".reg", "Windows Registry Editor Version 5.00"). Export writes `key`
// and everything below it (the whole hive when empty). Import is all or nothing:
// a bad line fails with `why` = "line N: ..." and nothing is written. Names and
// quoted texts are written as stored (UTF-8); hex(1), hex(2) and hex(7) data are
// UTF-16LE as Windows writes them, converted so that any bytes round-trip exactly.
// Import also reads regedit's UTF-16LE files and accepts "HKLM" in key lines.
bool RegExportText(const std::string& key, std::string& out, std::string& why);
bool RegImportText(const std::string& text, std::string& why);
// Restores `key` from a text that RegExportText wrote: in one transaction the key
// and everything below it are replaced by the text's content. The text must parse,
// name `key` itself and touch no key outside it; otherwise nothing is written.
bool RegRestoreKeyText(const std::string& key, const std::string& text, std::string& why);
