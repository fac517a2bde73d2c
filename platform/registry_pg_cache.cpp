// The PostgreSQL store's read cache: what this process read, by folded key path,
// kept while a listener thread holds a connection that LISTENs on the channel
// the registry's triggers notify. A notice drops the changed key and everything
// below it; this process's own commits drop theirs at once. While the listener
// has no connection nothing is kept (a change could go unnoticed), and when it
// connects again everything kept before is dropped.
//
// A read that missed takes the cache's generation before it asks the database
// and hands it back with the answer: when anything was dropped in between, the
// answer may already be old and is not kept.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/registry_pg.h"
#include "platform/tick.h"

namespace {

constexpr size_t kMaxCachedEntries = 200000;  // beyond it the cache starts again
constexpr size_t kMaxCachedListing = 1000;    // longer listings are not kept
constexpr int kListenerTickMs = 500;

struct CachedKey {
  bool listed = false;   // `values` is the key's whole listing
  bool missing = false;  // the key itself does not exist
  std::vector<RegValue> values;
  std::unordered_map<std::string, RegValue> found;  // by folded name
  std::unordered_set<std::string> absent;
};

struct Cache {
  std::mutex mutex;
  bool live = false;  // the listener listens: what is kept stays true
  uint64_t generation = 0;
  size_t entries = 0;
  std::map<std::string, CachedKey, std::less<>> keys;
};

Cache& TheCache() {
  static Cache* cache = new Cache;  // never destroyed: threads may outlive main
  return *cache;
}

struct Listener {
  std::thread* thread = nullptr;
  int wakeFd = -1;
  std::atomic<bool> stop{false};
  std::atomic<bool> up{true};  // no listener, or one with its connection
  std::string location;
};

Listener& TheListener() {
  static Listener* l = new Listener;
  return *l;
}

// With the cache's mutex held.
void ClearLocked(Cache& c) {
  ++c.generation;
  c.keys.clear();
  c.entries = 0;
}

void InvalidateLocked(Cache& c, const std::string& fold) {
  ++c.generation;
  if (fold.empty()) {
    c.keys.clear();
    c.entries = 0;
    return;
  }
  auto drop = [&](std::map<std::string, CachedKey, std::less<>>::iterator it) {
    c.entries -= std::min(c.entries, it->second.found.size() + it->second.absent.size() +
                                         it->second.values.size() + 1);
    return c.keys.erase(it);
  };
  auto it = c.keys.find(fold);
  if (it != c.keys.end()) drop(it);
  // Everything below: "a\\..." lies in ["a\\", "a]"), ']' following '\\'.
  std::string low = fold + "\\", high = fold + "]";
  for (it = c.keys.lower_bound(low); it != c.keys.end() && it->first < high;) it = drop(it);
}

// A room for one more entry of `keyFold`, or null when nothing may be kept.
CachedKey* RoomLocked(Cache& c, const std::string& keyFold, uint64_t generation) {
  if (!c.live || c.generation != generation) return nullptr;
  if (c.entries >= kMaxCachedEntries) {
    c.keys.clear();
    c.entries = 0;
  }
  ++c.entries;
  return &c.keys[keyFold];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The folded path of a notice's payload; false when it is not hex (then
// everything is dropped).
bool DecodePayload(const char* hex, std::string& out) {
  out.clear();
  size_t n = std::strlen(hex);
  if (n % 2) return false;
  for (size_t i = 0; i < n; i += 2) {
    int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += char(hi << 4 | lo);
  }
  return true;
}

void SetLive(bool live) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  ClearLocked(c);
  c.live = live;
}

// Sleeps `ms` unless woken to stop.
void WaitOrWake(Listener& l, uint32_t ms) {
  pollfd p{l.wakeFd, POLLIN, 0};
  poll(&p, 1, int(ms));
}

PGconn* ConnectAndListen(const std::string& location) {
  std::string why;
  PGconn* conn = PgConnect(location, why);
  if (!conn) return nullptr;
  std::string listen = std::string("LISTEN ") + kPgChannel;
  if (!PgExecSimple(conn, listen.c_str(), why)) {
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

void ListenLoop(Listener* l) {
  PGconn* conn = nullptr;
  uint32_t backoff = kPgFirstBackoffMs;
  bool lost = false;
  std::string fold;
  while (!l->stop) {
    if (!conn) {
      conn = ConnectAndListen(l->location);
      if (!conn) {
        l->up = false;
        WaitOrWake(*l, backoff);
        backoff = std::min(backoff * 2, kPgMaxBackoffMs);
        continue;
      }
      // Listening from here on: every change after this point is heard.
      SetLive(true);
      l->up = true;
      backoff = kPgFirstBackoffMs;
      if (lost) PgLocksAfterOutage();
      lost = false;
    }
    pollfd fds[2] = {{PQsocket(conn), POLLIN, 0}, {l->wakeFd, POLLIN, 0}};
    poll(fds, 2, kListenerTickMs);
    if (l->stop) break;
    if (fds[1].revents & POLLIN) {
      uint64_t n;
      (void)!read(l->wakeFd, &n, sizeof n);
    }
    if (!PQconsumeInput(conn) || PQstatus(conn) == CONNECTION_BAD) {
      // The database went away (or this connection did): nothing kept can be
      // trusted from here until the listener listens again.
      SetLive(false);
      l->up = false;
      PQfinish(conn);
      conn = nullptr;
      lost = true;
      continue;
    }
    while (PGnotify* n = PQnotifies(conn)) {
      if (!DecodePayload(n->extra, fold)) fold.clear();
      PgCacheInvalidate(fold);
      PQfreemem(n);
    }
  }
  if (conn) PQfinish(conn);
}

}  // namespace

PgCacheProbe PgCacheQuery(const std::string& keyFold, const std::string& nameFold,
                          RegValue& out) {
  Cache& c = TheCache();
  PgCacheProbe probe;
  std::lock_guard<std::mutex> lock(c.mutex);
  probe.generation = c.generation;
  if (!c.live) return probe;
  auto it = c.keys.find(keyFold);
  if (it == c.keys.end()) return probe;
  const CachedKey& k = it->second;
  if (k.missing) {
    probe.hit = true;
    probe.err = 2;
    return probe;
  }
  auto f = k.found.find(nameFold);
  if (f != k.found.end()) {
    out = f->second;
    probe.hit = true;
    return probe;
  }
  if (k.absent.count(nameFold)) {
    probe.hit = true;
    probe.err = 2;
  }
  return probe;
}

void PgCacheRememberValue(const std::string& keyFold, const std::string& nameFold, int err,
                          const RegValue& value, uint64_t generation) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  CachedKey* k = RoomLocked(c, keyFold, generation);
  if (!k) return;
  if (err == 0)
    k->found[nameFold] = value;
  else
    k->absent.insert(nameFold);
}

PgCacheProbe PgCacheList(const std::string& keyFold, std::vector<RegValue>& values) {
  Cache& c = TheCache();
  PgCacheProbe probe;
  std::lock_guard<std::mutex> lock(c.mutex);
  probe.generation = c.generation;
  if (!c.live) return probe;
  auto it = c.keys.find(keyFold);
  if (it == c.keys.end()) return probe;
  if (it->second.missing) {
    probe.hit = true;
    probe.err = 2;
  } else if (it->second.listed) {
    values = it->second.values;
    probe.hit = true;
  }
  return probe;
}

void PgCacheRememberList(const std::string& keyFold, int err,
                         const std::vector<RegValue>& values, uint64_t generation) {
  if (values.size() > kMaxCachedListing) return;
  Cache& c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  CachedKey* k = RoomLocked(c, keyFold, generation);
  if (!k) return;
  if (err != 0) {
    *k = CachedKey{};
    k->missing = true;
    return;
  }
  k->listed = true;
  k->values = values;
  c.entries += values.size();
}

void PgCacheInvalidate(const std::string& fold) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  InvalidateLocked(c, fold);
}

void PgCacheDrop() {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> lock(c.mutex);
  ClearLocked(c);
}

void PgCacheStart(const std::string& location) {
  Listener& l = TheListener();
  if (l.thread) return;
  l.location = location;
  l.stop = false;
  l.up = false;
  l.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  l.thread = new std::thread(ListenLoop, &l);
}

void PgCacheStop() {
  Listener& l = TheListener();
  if (l.thread) {
    l.stop = true;
    uint64_t one = 1;
    (void)!write(l.wakeFd, &one, sizeof one);
    l.thread->join();
    delete l.thread;
    l.thread = nullptr;
    close(l.wakeFd);
    l.wakeFd = -1;
  }
  l.up = true;
  SetLive(false);
}

bool PgCacheListenerUp() { return TheListener().up; }

void PgCachePrepareFork() { TheCache().mutex.lock(); }

void PgCacheParentAfterFork() { TheCache().mutex.unlock(); }

void PgCacheChildAfterFork() {
  Cache& c = TheCache();
  c.mutex.unlock();
  ClearLocked(c);
  c.live = false;
  // The thread did not come along: its record is forgotten, never joined.
  Listener& l = TheListener();
  l.thread = nullptr;
  if (l.wakeFd >= 0) close(l.wakeFd);
  l.wakeFd = -1;
  l.up = true;
}
