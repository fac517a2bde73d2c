// Network layer benchmark: threads and resident memory with 1,000 open connections,
// one-line request/response latency on loopback, and single-connection line
// throughput, all against the test line echo service. Prints its figures.
//
//   net_bench [connections=1000] [throughputMB=256] [lineBytes=100]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tick.h"
#include "server/net/net.h"
#include "tests/net/echo_service.h"
#include "server/core/program_options.h"

namespace {

constexpr uint16_t kEcho = 4;
using Clock = std::chrono::steady_clock;

long StatusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t len = strlen(name);
  while (std::getline(in, line))
    if (line.compare(0, len, name) == 0) return atol(line.c_str() + len + 1);
  return -1;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    len -= size_t(n);
  }
  return true;
}

bool ReadLine(int fd, std::string& line) {
  line.clear();
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

void RaiseDescriptorLimit() {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

void MeasureConnections(uint16_t port, int count) {
  long rssBefore = StatusField("VmRSS:");
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    int fd = ConnectLoopback(port);
    if (fd < 0) {
      printf("connect %d failed\n", i);
      break;
    }
    fds.push_back(fd);
  }
  // Every connection answered once: all are nodes with their rings.
  std::string line;
  int answered = 0;
  for (int fd : fds)
    if (SendAll(fd, "hi\r\n", 4) && ReadLine(fd, line)) ++answered;
  long threads = StatusField("Threads:");
  long rss = StatusField("VmRSS:");
  double cpu0 = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double idleCpu = (CpuSeconds() - cpu0) / 2.0;
  printf("connections: %d open (%d answered), %d network connections counted\n", int(fds.size()),
         answered, NetCountConnections());
  printf("threads: %ld in the process (layer bound: %d pool + 1 loop)\n", threads,
         kNetPoolMaxThreads);
  printf("resident memory: %.1f MB (%.1f MB before the connections; clients live in the same "
         "process)\n",
         rss / 1024.0, rssBefore / 1024.0);
  printf("idle CPU with all connections open: %.1f%% of one core\n", idleCpu * 100.0);
  for (int fd : fds) close(fd);
  while (NetCountConnections() > 0) SleepMs(10);
}

void MeasureLatency(uint16_t port, int rounds) {
  int fd = ConnectLoopback(port);
  std::vector<double> us;
  us.reserve(size_t(rounds));
  std::string line;
  for (int i = 0; i < rounds + 200; ++i) {
    auto t0 = Clock::now();
    if (!SendAll(fd, "ping\r\n", 6) || !ReadLine(fd, line)) break;
    double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    if (i >= 200) us.push_back(d);  // after a warm-up
  }
  close(fd);
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  printf("one-line request/response on loopback: median %.1f us, p99 %.1f us (%zu rounds)\n",
         us[us.size() / 2], us[us.size() * 99 / 100], us.size());
}

void MeasureThroughput(uint16_t port, long megabytes, int lineBytes) {
  int fd = ConnectLoopback(port, 30000);
  std::string lineText(size_t(lineBytes - 2), 'x');
  lineText += "\r\n";
  std::string block;
  while (block.size() < 65536) block += lineText;
  long total = megabytes * 1024 * 1024 / long(block.size()) * long(block.size());
  auto t0 = Clock::now();
  std::thread writer([&] {
    for (long sent = 0; sent < total; sent += long(block.size()))
      if (!SendAll(fd, block.data(), block.size())) break;
  });
  std::vector<char> buf(1 << 20);
  long got = 0;
  while (got < total) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    got += n;
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  writer.join();
  close(fd);
  printf("single-connection line throughput (%d-byte lines, echoed): %.1f MB/s each way "
         "(%ld MB in %.2f s)\n",
         lineBytes, got / secs / (1024.0 * 1024.0), got >> 20, secs);
}

}  // namespace

constexpr const char* kUsage =
    "usage: net_bench [CONNECTIONS=1000] [THROUGHPUT_MB=256] [LINE_BYTES=100]\n"
    "prints threads and memory per connection, line latency and throughput on\nloopback.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "net_bench", kUsage); rc >= 0) return rc;
  int connections = argc > 1 ? atoi(argv[1]) : 1000;
  long megabytes = argc > 2 ? atol(argv[2]) : 256;
  int lineBytes = argc > 3 ? atoi(argv[3]) : 100;
  RaiseDescriptorLimit();
  std::string why;
  if (!NetStartup(why)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  RegisterEchoService(kEcho);
  uint16_t port = OpenLoopbackListener(kEcho, nullptr, 4096);
  if (port == 0) {
    fprintf(stderr, "no listener\n");
    return 1;
  }
  MeasureConnections(port, connections);
  MeasureLatency(port, 20000);
  MeasureThroughput(port, megabytes, lineBytes);
  MeasureThroughput(port, megabytes, 1000);
  NetShutdown();
  return 0;
}
