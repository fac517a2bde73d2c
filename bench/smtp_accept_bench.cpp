// SMTP acceptance throughput: messages accepted and durably committed as .in
// files per second, one new connection per message, as a mail client drives it.
//
// Usage:
//   smtp_accept_bench [--messages N] [--sessions S] [--size B] [--port P]
//                     [--home DIR] [--serve SECONDS]
// Without --serve it starts the server in this process on 127.0.0.1 (port P,
// default any free one), runs its own load (S parallel clients; per message:
// connect, greeting, HELO, MAIL, RCPT, DATA with B bytes of 80-column lines,
// QUIT) and prints one line
//   RESULT smtp_accept_builtin sessions=S messages=N size=B wall_s=T msgs_per_s=R
//          committed=C
// With --serve it only serves for that many seconds on port P, so an outside
// load generator (../shared/bench/smtp_accept.sh, smtp-source) can measure it
// side by side with other servers. Users bench1..bench5 exist and "localhost"
// is one of the server's names, so "benchN@localhost" is a local recipient.
// The spool lives in DIR (default a fresh directory under /var/tmp: use a real
// disk, a tmpfs makes the durable commit free).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/smtp/smtp_server.h"
#include "server/smtp/smtp_session.h"
#include "server/core/program_options.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int messages = 5000;
  int sessions = 10;
  int size = 2000;
  int port = 0;
  int serveSeconds = 0;
  std::string home;
};

// One blocking client connection; false on any unexpected reply.
struct Client {
  int fd = -1;
  std::string in;
  bool Connect(int port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() {
    if (fd >= 0) close(fd);
  }
  bool Send(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += size_t(n);
    }
    return true;
  }
  // Reads a whole reply; true when its code begins with `digit`.
  bool Expect(char digit) {
    for (;;) {
      size_t lf = in.find('\n');
      if (lf != std::string::npos) {
        std::string line = in.substr(0, lf);
        in.erase(0, lf + 1);
        if (line.size() >= 4 && line[3] == '-') continue;
        return !line.empty() && line[0] == digit;
      }
      char buf[2048];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, size_t(n));
    }
  }
};

std::string MakeBody(int size, int n) {
  std::string body = "From: sender@bench.example\r\nTo: bench1@localhost\r\nSubject: bench " +
                     std::to_string(n) + "\r\n\r\n";
  for (int left = size; left > 0; left -= 80) body += std::string(size_t(std::min(left, 78)), 'X') + "\r\n";
  return body + ".\r\n";
}

bool SendOne(int port, int size, int n) {
  Client c;
  if (!c.Connect(port) || !c.Expect('2')) return false;
  if (!c.Send("HELO bench.client\r\n") || !c.Expect('2')) return false;
  if (!c.Send("MAIL FROM:<sender@bench.example>\r\n") || !c.Expect('2')) return false;
  std::string rcpt = "RCPT TO:<bench" + std::to_string(n % 5 + 1) + "@localhost>\r\n";
  if (!c.Send(rcpt) || !c.Expect('2')) return false;
  if (!c.Send("DATA\r\n") || !c.Expect('3')) return false;
  if (!c.Send(MakeBody(size, n)) || !c.Expect('2')) return false;
  c.Send("QUIT\r\n");
  c.Expect('2');
  return true;
}

bool Setup(const Options& o, int& port) {
  std::string home = o.home;
  if (home.empty()) {
    char tmpl[] = "/var/tmp/corvel-smtp-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    home = tmpl;
  }
  if (home.back() != '/') home += '/';
  MakeDirectories(home);
  SetHomeDirectory(home);
  std::string why;
  if (!RegOpenStore(home + "registry.db", why)) {
    fprintf(stderr, "registry: %s\n", why.c_str());
    return false;
  }
  SetWindowEchoToStdout(false);
  Settings& s = ServerSettings();
  s.homeDirectory = s.userDirectory = home;
  s.incomingDirectory = home + "in/";
  s.outgoingDirectory = home + "out/";
  MakeDirectories(s.incomingDirectory);
  MakeDirectories(s.outgoingDirectory);
  s.productName = "Corvel95";
  s.productVersion = "1.0";
  s.localNode = "bench.local";
  s.localIp = "127.0.0.1";
  s.incomingAlias = "localhost";
  s.verifyIncoming = false;
  s.disableDnsLookup = true;
  ComputeEsmtpExtensions();
  for (int i = 1; i <= 5; ++i) {
    std::string name = "bench" + std::to_string(i);
    if (!WriteUserRecord(name, name, home + name + ".mbx", "", "", "", why)) {
      fprintf(stderr, "account: %s\n", why.c_str());
      return false;
    }
  }
  if (!NetStartup(why) || !SmtpListen("127.0.0.1", o.port, why, &port)) {
    fprintf(stderr, "server: %s\n", why.c_str());
    return false;
  }
  fprintf(stderr, "serving on 127.0.0.1:%d, spool %s\n", port, s.incomingDirectory.c_str());
  return true;
}

}  // namespace

constexpr const char* kUsage =
    "usage: smtp_accept_bench [--messages N] [--sessions S] [--size B] [--port P]\n                         [--home DIR] [--serve SECONDS]\n"
    "prints messages accepted and committed per second, one connection a message.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "smtp_accept_bench", kUsage); rc >= 0) return rc;
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--messages") o.messages = atoi(argv[i + 1]);
    else if (a == "--sessions") o.sessions = atoi(argv[i + 1]);
    else if (a == "--size") o.size = atoi(argv[i + 1]);
    else if (a == "--port") o.port = atoi(argv[i + 1]);
    else if (a == "--serve") o.serveSeconds = atoi(argv[i + 1]);
    else if (a == "--home") o.home = argv[i + 1];
  }
  int port = 0;
  if (!Setup(o, port)) return 1;
  if (o.serveSeconds > 0) {
    std::this_thread::sleep_for(std::chrono::seconds(o.serveSeconds));
    NetShutdown();
    return 0;
  }
  std::atomic<int> next{0}, ok{0}, failed{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < o.sessions; ++t) {
    threads.emplace_back([&] {
      for (int n; (n = next.fetch_add(1)) < o.messages;) {
        if (SendOne(port, o.size, n))
          ++ok;
        else
          ++failed;
      }
    });
  }
  for (auto& th : threads) th.join();
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  size_t committed = ListFiles(ServerSettings().incomingDirectory, "*.in").size();
  printf("RESULT smtp_accept_builtin sessions=%d messages=%d size=%d wall_s=%.3f msgs_per_s=%.1f "
         "committed=%zu failed=%d\n",
         o.sessions, o.messages, o.size, wall, failed ? 0.0 : ok / wall, committed, failed.load());
  NetShutdown();
  return failed ? 1 : 0;
}
