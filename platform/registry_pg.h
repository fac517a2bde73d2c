// Inside the registry's PostgreSQL store: what its three files share. The store
// (registry_pg.cpp) runs the registry's statements on one connection under the
// store's mutex; the read cache and the thread that listens for the database's
// change notices (registry_pg_cache.cpp) keep a second connection; the named
// locks (registry_pg_locks.cpp) hold theirs on a third, so a node's locks die
// with its connection and never with another's. Only platform/registry_pg*.cpp
// include this.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

// The channel the database's triggers notify on every change, with the folded
// path of the changed key in hex as the payload ('' = everything).
inline constexpr const char* kPgChannel = "corvel_registry";
// Advisory locks in the two-number space belong to the store itself (the write
// lock, the schema lock); named locks use the one-number space, which PostgreSQL
// keeps apart from it.
inline constexpr int kPgLockClass = 0x436f7276;  // "Corv"
inline constexpr int kPgWriterLock = 1;
inline constexpr int kPgSchemaLock = 2;
// Reconnection: the first retry after this, doubling to the maximum.
inline constexpr uint32_t kPgFirstBackoffMs = 100;
inline constexpr uint32_t kPgMaxBackoffMs = 1000;

// A new connection to `location` (a libpq URI) with the store's session settings,
// or null with `why`. Notices are kept off standard error.
PGconn* PgConnect(const std::string& location, std::string& why);
// The first line of the connection's error message.
std::string PgErrorText(const PGconn* conn);
// Runs a statement without parameters; true when it succeeded. `why` gets the
// error otherwise.
bool PgExecSimple(PGconn* conn, const char* sql, std::string& why);
// The Windows error number for a failed result (53 when the connection is gone).
int PgWinError(const PGconn* conn, const PGresult* res);

// ---- the read cache (registry_pg_cache.cpp) ----

// A lookup's outcome: a hit (0 or 2 in `err`), or a miss with the generation to
// hand back to the store call that fills it in.
struct PgCacheProbe {
  bool hit = false;
  int err = 0;
  uint64_t generation = 0;
};
PgCacheProbe PgCacheQuery(const std::string& keyFold, const std::string& nameFold,
                          RegValue& out);
// What the database answered for a miss (0 with `value`, or 2); kept only when
// nothing was invalidated since the probe.
void PgCacheRememberValue(const std::string& keyFold, const std::string& nameFold, int err,
                          const RegValue& value, uint64_t generation);
// Whole listings (every value of a key, or 2 when the key is missing).
PgCacheProbe PgCacheList(const std::string& keyFold, std::vector<RegValue>& values);
void PgCacheRememberList(const std::string& keyFold, int err,
                         const std::vector<RegValue>& values, uint64_t generation);
// Drops the key and everything below it ("" = everything).
void PgCacheInvalidate(const std::string& fold);
// Drops everything (a lost connection: changes may have gone unnoticed).
void PgCacheDrop();
// Starts (or stops) caching: the listener connects to `location`, and reads are
// kept once it listens. Stopping joins the listener.
void PgCacheStart(const std::string& location);
void PgCacheStop();
// True unless the listener runs and has lost the database.
bool PgCacheListenerUp();
// Around fork(): the cache's mutex; a child forgets the listener (never joins it).
void PgCachePrepareFork();
void PgCacheParentAfterFork();
void PgCacheChildAfterFork();

// ---- named locks (registry_pg_locks.cpp) ----

// Where the lock connection goes (set on open, cleared on close: the connection
// closes and every lock of this process is released with it).
void PgLocksOpen(const std::string& location);
void PgLocksClose(bool inherited);
// The listener lost the database and has it back: re-take the locks this process
// holds before anything else takes them.
void PgLocksAfterOutage();
void PgLocksPrepareFork();
void PgLocksParentAfterFork();
void PgLocksChildAfterFork();
