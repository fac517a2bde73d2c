// POP3 retrieval: the time to log in (lock, index, unique ids) on a large
// maildrop, and messages retrieved per second by one client and by ten clients
// at once, each on its own mailbox.
//
// Usage:
//   pop3_bench [--messages N] [--size B] [--clients C] [--big-mb M] [--port P]
//              [--home DIR] [--serve SECONDS]
// Without --serve it starts the server in this process on 127.0.0.1 (port P,
// default any free one), writes mailboxes bench1..benchC of N messages with B
// body bytes each (the layout of ../shared/bench/gen_mbox.py: 80-column lines,
// From:, To:, Date:, Subject: and Message-Id: headers), and prints
//   RESULT pop3_login_index mb=M messages=K login_s=T
//   RESULT pop3_retr clients=1 messages=N wall_s=T msgs_per_s=R MB_per_s=S
//   RESULT pop3_retr clients=C messages=C*N wall_s=T msgs_per_s=R MB_per_s=S
// Each client logs in with USER/PASS, sends STAT, RETR 1..N and QUIT, as
// ../shared/bench/pop3_fetch.py does; nothing is deleted, so the mailboxes stay.
// With --serve it only serves that long on port P (users bench1..benchC,
// password "benchpass"), so pop3_fetch.py can measure it beside other servers.
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
#include "server/pop3/pop3_server.h"
#include "server/core/program_options.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPassword = "benchpass";

struct Options {
  int messages = 1000;
  int size = 2000;
  int clients = 10;
  int bigMb = 100;
  int port = 0;
  int serveSeconds = 0;
  std::string home;
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// One blocking client connection.
struct Client {
  int fd = -1;
  std::string in;
  size_t pos = 0;
  long long bytes = 0;

  explicit Client(int port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Client() {
    if (fd >= 0) close(fd);
  }
  bool Fill() {
    if (pos > 0 && pos == in.size()) {
      in.clear();
      pos = 0;
    }
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in.append(buf, size_t(n));
    bytes += n;
    return true;
  }
  bool Line(std::string& line) {
    for (;;) {
      size_t lf = in.find('\n', pos);
      if (lf != std::string::npos) {
        line = in.substr(pos, lf + 1 - pos);
        pos = lf + 1;
        return true;
      }
      if (!Fill()) return false;
    }
  }
  // Skips a multi-line answer up to its "." line.
  bool Body() {
    for (;;) {
      size_t end = in.find("\r\n.\r\n", pos > 0 ? pos - 2 : 0);
      if (end != std::string::npos && end + 2 >= pos) {
        pos = end + 5;
        return true;
      }
      if (in.compare(pos, 3, ".\r\n") == 0) {
        pos += 3;
        return true;
      }
      if (!Fill()) return false;
    }
  }
  bool Ask(const std::string& command, const char* want) {
    std::string cmd = command + "\r\n";
    if (send(fd, cmd.data(), cmd.size(), MSG_NOSIGNAL) != ssize_t(cmd.size())) return false;
    std::string line;
    return Line(line) && line.rfind(want, 0) == 0;
  }
};

// Logs in, retrieves every message, quits. Returns the messages retrieved.
int Fetch(int port, const std::string& user, int messages, long long& bytes) {
  Client c(port);
  std::string line;
  if (c.fd < 0 || !c.Line(line) || !c.Ask("USER " + user, "+OK") ||
      !c.Ask(std::string("PASS ") + kPassword, "+OK") || !c.Ask("STAT", "+OK"))
    return 0;
  int done = 0;
  for (int i = 1; i <= messages; ++i) {
    if (!c.Ask("RETR " + std::to_string(i), "+OK") || !c.Body()) break;
    ++done;
  }
  c.Ask("QUIT", "+OK");
  bytes = c.bytes;
  return done;
}

// One message as ../shared/bench/gen_mbox.py lays it out.
std::string BenchMessage(int i, int size) {
  char head[512];
  snprintf(head, sizeof head,
           "From sender@bench.example Fri Dec  4 10:00:00 2026\r\n"
           "From: sender@bench.example\r\nTo: bench1@localhost\r\n"
           "Date: Fri, 04 Dec 2026 10:00:00 +0000\r\nSubject: bench message %d\r\n"
           "Message-Id: <bench.%d@bench.example>\r\n\r\n",
           i, i);
  std::string m = head;
  std::string line(78, 'X');
  for (int left = size; left > 0; left -= 80) m += line.substr(0, size_t(std::min(78, left))) + "\r\n";
  return m;
}

bool WriteMailbox(const std::string& path, int messages, int size) {
  std::string all;
  for (int i = 1; i <= messages; ++i) {
    if (i > 1) all += "\r\n";
    all += BenchMessage(i, size) + "\r\n";
  }
  UniqueFd fd = OpenShared(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  return fd.valid() && WriteAll(fd.get(), all.data(), all.size()) && fd.close_checked();
}

bool AddUser(const std::string& name, const std::string& path) {
  std::string scrambled, why;
  return ScramblePassword(name, kPassword, scrambled) &&
         WriteUserRecord(name, name, path, scrambled, "", "", why);
}

}  // namespace

constexpr const char* kUsage =
    "usage: pop3_bench [--messages N] [--size B] [--clients C] [--big-mb M] [--port P]\n                  [--home DIR] [--serve SECONDS]\n"
    "prints POP3 login time on a large maildrop and messages retrieved per second.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "pop3_bench", kUsage); rc >= 0) return rc;
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--messages") o.messages = atoi(argv[i + 1]);
    else if (a == "--size") o.size = atoi(argv[i + 1]);
    else if (a == "--clients") o.clients = atoi(argv[i + 1]);
    else if (a == "--big-mb") o.bigMb = atoi(argv[i + 1]);
    else if (a == "--port") o.port = atoi(argv[i + 1]);
    else if (a == "--serve") o.serveSeconds = atoi(argv[i + 1]);
    else if (a == "--home") o.home = argv[i + 1];
  }
  if (o.home.empty()) {
    char tmpl[] = "/var/tmp/corvel-pop3-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.home = tmpl;
  }
  if (o.home.back() != '/') o.home += '/';
  MakeDirectories(o.home);
  SetHomeDirectory(o.home);
  std::string why;
  if (!RegOpenStore(o.home + "registry.db", why)) {
    fprintf(stderr, "registry: %s\n", why.c_str());
    return 1;
  }
  SetWindowEchoToStdout(false);
  SetLogOptions(0, 0);
  Settings& s = ServerSettings();
  s.homeDirectory = s.userDirectory = o.home;
  s.localNode = "localhost";
  for (int n = 1; n <= o.clients; ++n) {
    std::string name = "bench" + std::to_string(n);
    if (!AddUser(name, o.home + name + ".mbx") ||
        !WriteMailbox(o.home + name + ".mbx", o.messages, o.size)) {
      fprintf(stderr, "cannot set up %s\n", name.c_str());
      return 1;
    }
  }
  if (!Pop3Init(why) || !NetStartup(why) || !Pop3Listen("127.0.0.1", o.port, why, &o.port)) {
    fprintf(stderr, "start: %s\n", why.c_str());
    return 1;
  }
  if (o.serveSeconds > 0) {
    printf("serving POP3 on 127.0.0.1:%d for %d s (home %s)\n", o.port, o.serveSeconds,
           o.home.c_str());
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(o.serveSeconds));
    NetShutdown();
    return 0;
  }

  // A large maildrop: login time is lock + index + unique ids.
  if (o.bigMb > 0) {
    int big = int((long long)o.bigMb * 1000000 / (o.size + 300));
    std::string path = o.home + "big.mbx";
    if (AddUser("big", path) && WriteMailbox(path, big, o.size)) {
      Client c(o.port);
      std::string line;
      Clock::time_point t0 = Clock::now();
      bool ok = c.fd >= 0 && c.Line(line) && c.Ask("USER big", "+OK") &&
                c.Ask(std::string("PASS ") + kPassword, "+OK");
      double t = Seconds(t0);
      Clock::time_point t1 = Clock::now();
      bool last = ok && c.Ask("RETR " + std::to_string(big), "+OK") && c.Body();
      double r = Seconds(t1);
      c.Ask("QUIT", "+OK");
      printf("RESULT pop3_login_index mb=%d messages=%d login_s=%.3f retr_last_s=%.4f ok=%d\n",
             o.bigMb, big, t, r, ok && last ? 1 : 0);
      DeleteFileWin(path);
    }
  }

  for (int clients : {1, o.clients}) {
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    std::atomic<long long> bytes{0};
    Clock::time_point t0 = Clock::now();
    for (int n = 1; n <= clients; ++n)
      threads.emplace_back([&, n] {
        long long b = 0;
        done += Fetch(o.port, "bench" + std::to_string(n), o.messages, b);
        bytes += b;
      });
    for (std::thread& t : threads) t.join();
    double wall = Seconds(t0);
    printf("RESULT pop3_retr clients=%d messages=%d wall_s=%.3f msgs_per_s=%.0f MB_per_s=%.1f\n",
           clients, done.load(), wall, done.load() / wall, bytes.load() / wall / 1e6);
    fflush(stdout);
  }
  NetShutdown();
  RegCloseStore();
  std::string cmd = "rm -rf '" + o.home + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return 0;
}
