// The remote services under load: finger answers per second from ten concurrent
// clients, beside Debian's fingerd under xinetd in the same run, and RMCP answers
// per second from ten clients with up to sixteen requests outstanding each.
//
// Usage: remote_bench [--finger-queries N] [--rmcp-queries N] [--clients C]
//                     [--no-peer]
// The server runs in this process on 127.0.15.1 (free ports), with the usual
// log file and the debug categories off. The peer is xinetd (instances, per-source
// and rate limits lifted) running /usr/sbin/in.fingerd on 127.0.15.2; it answers
// for the system user root (fingerd asks the local finger program), Corvel for a
// mail account with a finger file and waiting mail. Prints
//   LOAD before=<1-min load average> after=<...>
//   RESULT finger server=corvel clients=C queries=N wall_s=T answers_per_s=R failed=F
//   RESULT finger server=fingerd-xinetd clients=C queries=N wall_s=T answers_per_s=R failed=F
//   RESULT rmcp clients=C queries=N outstanding=16 wall_s=T answers_per_s=R lost=L
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/program_options.h"
#include "server/net/net.h"
#include "server/remote/finger.h"
#include "server/remote/rmcp.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kServerHost = "127.0.15.1";
constexpr const char* kPeerHost = "127.0.15.2";
constexpr int kOutstanding = 16;

struct Options {
  int fingerQueries = 5000;
  int rmcpQueries = 10000;
  int clients = 10;
  bool peer = true;
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one;
}

sockaddr_in Address(const char* host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, host, &a.sin_addr);
  return a;
}

// A port free on `host` a moment ago.
int FreePort(const char* host, int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a = Address(host, 0);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// One finger query: connect, request, read to the end. True when a reply came
// whole (it contains `expect`).
bool FingerOnce(const sockaddr_in& to, const std::string& request, const std::string& expect) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
            send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
  std::string reply;
  char buf[4096];
  ssize_t n;
  while (ok && (n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, size_t(n));
  close(fd);
  return ok && reply.find(expect) != std::string::npos;
}

void RunFinger(const char* name, const sockaddr_in& to, const std::string& request,
               const std::string& expect, const Options& o) {
  std::atomic<int> next{0}, failed{0};
  auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < o.clients; ++c)
    clients.emplace_back([&] {
      while (next.fetch_add(1) < o.fingerQueries)
        if (!FingerOnce(to, request, expect)) failed.fetch_add(1);
    });
  for (std::thread& t : clients) t.join();
  double wall = Seconds(start);
  printf("RESULT finger server=%s clients=%d queries=%d wall_s=%.3f answers_per_s=%.0f failed=%d\n",
         name, o.clients, o.fingerQueries, wall, (o.fingerQueries - failed.load()) / wall,
         failed.load());
  fflush(stdout);
}

// xinetd with fingerd on kPeerHost:port; its pid, or -1.
pid_t StartPeer(const std::string& dir, int port) {
  if (access("/usr/sbin/xinetd", X_OK) != 0 || access("/usr/sbin/in.fingerd", X_OK) != 0) return -1;
  std::string conf = dir + "xinetd.conf";
  std::ofstream out(conf);
  out << "defaults\n{\n  instances = UNLIMITED\n  per_source = UNLIMITED\n  cps = 1000000 1\n"
         "  log_type = FILE " << dir << "xinetd.log\n}\n"
      << "service finger\n{\n  type = UNLISTED\n  port = " << port << "\n  bind = " << kPeerHost
      << "\n  socket_type = stream\n  protocol = tcp\n  wait = no\n  user = nobody\n"
         "  server = /usr/sbin/in.fingerd\n  instances = UNLIMITED\n  per_source = UNLIMITED\n"
         "  cps = 1000000 1\n}\n";
  out.close();
  pid_t pid = fork();
  if (pid == 0) {
    execl("/usr/sbin/xinetd", "xinetd", "-dontfork", "-f", conf.c_str(), "-pidfile",
          (dir + "xinetd.pid").c_str(), nullptr);
    _exit(127);
  }
  sockaddr_in a = Address(kPeerHost, port);
  for (int i = 0; i < 200; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (up) return pid;
    usleep(20000);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Ten UDP clients, each keeping up to kOutstanding requests in flight.
void RunRmcp(const sockaddr_in& to, const Options& o) {
  std::atomic<int> answered{0}, lost{0};
  int perClient = o.rmcpQueries / o.clients;
  std::string request = std::string("\x01\x00\x00\x00", 4) + "alice";
  auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < o.clients; ++c)
    clients.emplace_back([&] {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in self = Address("127.0.0.1", 0);
      bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
      int sent = 0, inFlight = 0;
      char reply[64];
      while (sent < perClient || inFlight > 0) {
        while (sent < perClient && inFlight < kOutstanding) {
          sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
          ++sent;
          ++inFlight;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) != 1) {  // what has not come in half a second is lost
          lost.fetch_add(inFlight);
          inFlight = 0;
          continue;
        }
        ssize_t n = recv(fd, reply, sizeof reply, 0);
        if (n == 12 && reply[7] == 1) answered.fetch_add(1);
        --inFlight;
      }
      close(fd);
    });
  for (std::thread& t : clients) t.join();
  double wall = Seconds(start);
  printf("RESULT rmcp clients=%d queries=%d outstanding=%d wall_s=%.3f answers_per_s=%.0f lost=%d\n",
         o.clients, perClient * o.clients, kOutstanding, wall, answered.load() / wall, lost.load());
}

constexpr const char* kUsage =
    "usage: remote_bench [--finger-queries N] [--rmcp-queries N] [--clients C] [--no-peer]\n"
    "measures finger answers per second (beside fingerd under xinetd) and RMCP answers\n"
    "per second, with the server in this process on 127.0.15.1.\n";

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "remote_bench", kUsage); rc >= 0) return rc;
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--finger-queries" && i + 1 < argc) o.fingerQueries = atoi(argv[++i]);
    else if (a == "--rmcp-queries" && i + 1 < argc) o.rmcpQueries = atoi(argv[++i]);
    else if (a == "--clients" && i + 1 < argc) o.clients = atoi(argv[++i]);
    else if (a == "--no-peer") o.peer = false;
    else {
      fputs(kUsage, stderr);
      return 2;
    }
  }
  char tmpl[] = "/tmp/corvel-remote-bench-XXXXXX";
  std::string dir = std::string(mkdtemp(tmpl)) + "/";
  chmod(dir.c_str(), 0755);
  SetHomeDirectory(dir);
  std::string why;
  if (!RegOpenStore(dir + "registry.db", why)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  Settings& s = ServerSettings();
  s.homeDirectory = s.userDirectory = dir;
  s.localNode = "bench.test";
  SetWindowEchoToStdout(false);
  OpenLogFile(dir + "maillog.txt");
  SetLogOptions(kLogAll, kLogAll);  // everything but the debug categories
  WriteAll(open((dir + "alice.mbx").c_str(), O_WRONLY | O_CREAT, 0644), "From a@b x\r\n\r\n", 14);
  WriteAll(open((dir + "alice.plan").c_str(), O_WRONLY | O_CREAT, 0644), "Plan: mail.\r\n", 13);
  if (!WriteUserRecord("alice", "Alice Smith", dir + "alice.mbx", "", "", "", why) ||
      !WriteUserExtra("alice", {kAccessFinger | kAccessRmcp, "", dir + "alice.plan"}, "", why)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  int fingerPort = 0, rmcpPort = 0;
  if (!FingerInit(why) || !RmcpInit(why) || !NetStartup(why) ||
      !FingerListen(kServerHost, 0, why, fingerPort) || !RmcpListen(kServerHost, 0, why, rmcpPort)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  printf("LOAD before=%s (machine shared; 1-minute load average)\n", LoadAverage().c_str());
  RunFinger("corvel", Address(kServerHost, fingerPort), "alice\r\n", "New mail has arrived.", o);
  if (o.peer) {
    int peerPort = FreePort(kPeerHost, SOCK_STREAM);
    pid_t peer = StartPeer(dir, peerPort);
    if (peer > 0) {
      RunFinger("fingerd-xinetd", Address(kPeerHost, peerPort), "root\r\n", "Login: root", o);
      kill(peer, SIGTERM);
      waitpid(peer, nullptr, 0);
    } else {
      printf("RESULT finger server=fingerd-xinetd skipped (xinetd or in.fingerd missing)\n");
    }
  }
  RunRmcp(Address(kServerHost, rmcpPort), o);
  printf("LOAD after=%s\n", LoadAverage().c_str());
  NetShutdown();
  CloseLog();
  RegCloseStore();
  if (system(("rm -rf '" + dir + "'").c_str()) != 0) return 1;
  return 0;
}
