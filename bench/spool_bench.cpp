// Figures for the spool code: address normalisation rate, message copy speed in
// mailbox mode, and the rate of durable spool commits (create, write 2 KB, close,
// fdatasync, rename, fsync of the directory), which bounds every mail path, by one
// producer and by ten at once (these share directory flushes).
// Usage: spool_bench [DIRECTORY]   (default $TMPDIR or /tmp; use the disk the
// spool will live on, a tmpfs makes the commit figure meaningless)
#include <stdlib.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "server/spool/headers.h"
#include "server/spool/spool.h"
#include "server/core/program_options.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU time of this thread: the figure that does not depend on other load.
double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BenchNormalize() {
  HostIdentity id;
  id.host = "mail.example.com";
  id.hostAddress = "192.0.2.10";
  id.outgoingAlias = "example.com";
  id.incomingAliases = "example.com;*.corp.example.com";
  const std::vector<std::string> addresses = {
      "alice",
      "bob@remote.org",
      "John Smith <john@mail.example.com>",
      "carol.jones@sub.corp.example.com",
      "dave@otherhost",
      "<postmaster@example.com>",
      "erin@remote.example.net (Erin E.)",
      "user%relay.org@mail.example.com",
  };
  NormalizeOptions o;
  o.qualify = true;
  o.mapDomains = true;
  NormalizedAddress n;
  const long rounds = 400000;
  long ok = 0;
  auto start = Clock::now();
  double cpuStart = ThreadCpuSeconds();
  for (long r = 0; r < rounds; ++r) {
    for (const std::string& a : addresses) ok += NormalizeAddress(a, id, o, n);
  }
  double s = Seconds(start);
  double cpu = ThreadCpuSeconds() - cpuStart;
  double count = double(rounds) * double(addresses.size());
  std::printf("NormalizeAddress: %.0f addresses/s wall, %.0f per CPU second (%ld ok of %.0f, "
              "%.0f ns CPU each)\n",
              count / s, count / cpu, ok, count, cpu * 1e9 / count);
}

void BenchCopy(const std::string& dir) {
  std::string src = dir + "/bench-copy-in.txt", dst = dir + "/bench-copy-out.txt";
  const size_t size = size_t(128) << 20;
  {
    UniqueFd f = SpoolOpenWrite(src, true, false);
    std::string header = "From: a@remote.org\r\nTo: alice, bob@remote.org\r\nSubject: big\r\n\r\n";
    SpoolWrite(f.get(), header);
    std::string chunk;
    while (chunk.size() < (1 << 20)) {
      chunk += "This is a line of an ordinary message body, about seventy-eight bytes long.\r\n";
      if (chunk.size() % 7 == 0) chunk += "From the desk of someone who starts lines with From\r\n";
    }
    for (size_t written = 0; written < size; written += chunk.size()) SpoolWrite(f.get(), chunk);
  }
  CopyOptions o;
  o.mailboxMode = true;
  o.processHeaders = true;
  o.identity.host = "mail.example.com";
  o.agent = "router";
  o.productText = "Corvel95 V1.0";
  o.useAccounts = false;
  double best = 0;
  for (int run = 0; run < 3; ++run) {
    UniqueFd in = SpoolOpenRead(src);
    UniqueFd out = SpoolOpenWrite(dst, true, false);
    std::string why;
    auto start = Clock::now();
    if (!CopyMessageWithHeaders(in.get(), out.get(), 0, o, why)) {
      std::printf("CopyMessageWithHeaders failed: %s\n", why.c_str());
      break;
    }
    double mbs = double(size) / (1 << 20) / Seconds(start);
    if (mbs > best) best = mbs;
  }
  std::printf("CopyMessageWithHeaders (mailbox mode, %zu MB): %.0f MB/s (best of 3)\n",
              size >> 20, best);
  unlink(src.c_str());
  unlink(dst.c_str());
}

std::atomic<int> gDirectoryFlushes{0};

bool CountingFlush(const std::string& dir) {
  ++gDirectoryFlushes;
  return SyncDirectory(dir);
}

// `threads` producers commit `each` 2 KB messages apiece into one directory at
// the same time (one thread: the latency of a lone commit; several: what the
// shared directory flush gives when commits overlap, as SMTP sessions do).
void BenchCommit(const std::string& dir, int threads, int each) {
  std::string in = dir + "/bench-in/", out = dir + "/bench-out/";
  MakeDirectories(in);
  MakeDirectories(out);
  std::string body = "From: a@remote.org\r\nTo: alice@mail.example.com\r\n\r\n";
  while (body.size() < 2048) body += "A line of a small message to fill two kilobytes of text.\r\n";
  body.resize(2048);
  std::vector<std::vector<std::string>> made(static_cast<size_t>(threads));
  gDirectoryFlushes = 0;
  SetSpoolDirectorySyncHook(&CountingFlush);
  auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < each; ++i) {
        std::string path;
        UniqueFd fd = CreateSpoolTemp(path, true, in, out);
        if (!fd.valid() || !SpoolWrite(fd.get(), body)) break;
        std::string why;
        if (!CloseAndCommitSpoolFile(fd, path, true, in, out, why)) break;
        made[size_t(t)].push_back(path);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  double s = Seconds(start);
  SetSpoolDirectorySyncHook(nullptr);
  int done = 0;
  for (const auto& m : made) done += int(m.size());
  struct statfs fs;
  const char* kind = "unknown";
  if (statfs(in.c_str(), &fs) == 0) kind = fs.f_type == 0x01021994 ? "tmpfs" : "disk";
  std::printf("Durable spool commit (create, write 2 KB, fdatasync, rename, fsync dir), %d "
              "thread(s), in %s (%s): %.0f files/s (%d files, %.2f ms each, %.2f directory "
              "flushes per commit)\n",
              threads, dir.c_str(), kind, done / s, done, s * 1000 * threads / (done ? done : 1),
              double(gDirectoryFlushes.load()) / (done ? done : 1));
  for (const auto& m : made)
    for (const std::string& p : m) unlink(p.c_str());
  rmdir(in.c_str());
  rmdir(out.c_str());
}

}  // namespace

constexpr const char* kUsage =
    "usage: spool_bench [DIRECTORY]\n"
    "prints address normalisation, copy and durable commit rates in DIRECTORY\n(default $TMPDIR or /tmp).\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "spool_bench", kUsage); rc >= 0) return rc;
  std::string dir = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  BenchNormalize();
  BenchCopy(dir);
  BenchCommit(dir, 1, 300);
  BenchCommit(dir, 10, 100);
  return 0;
}
