// IMAP: the time of a first SELECT (the folder indexed, UIDs given, the sidecar
// written) and of a SELECT after a restart (the sidecar read, the folder
// rescanned), messages fetched per second by one client and by ten at once,
// each on its own mailbox, and the memory an idle session costs.
//
// Usage:
//   imap_bench [--messages N] [--size B] [--clients C] [--idle S] [--home DIR]
// It starts the server in this process on 127.0.0.1 and a free port, writes
// mailboxes bench1..benchC of N messages with B body bytes each, and prints
//   RESULT imap_select messages=N first_s=T restart_s=T2
//   RESULT imap_fetch clients=1 messages=N wall_s=T msgs_per_s=R MB_per_s=S
//   RESULT imap_fetch clients=C messages=C*N wall_s=T msgs_per_s=R MB_per_s=S
//   RESULT imap_idle sessions=S rss_kb_per_session=K exists_ms=E
// A client logs in, selects INBOX and sends "FETCH a:b (UID RFC822.SIZE
// BODY.PEEK[])" for 100 messages at a time, as a syncing client does. The idle
// figure is the resident memory the process grew by with S sessions logged in,
// selected and in IDLE, divided by S; exists_ms is how long after a delivery
// the last of them heard "EXISTS".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/registry.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/accounts/router.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/program_options.h"
#include "server/imap/imap.h"
#include "server/net/net.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPassword = "benchpass";

struct Options {
  int messages = 2000;
  int size = 2000;
  int clients = 10;
  int idle = 1000;
  std::string home;
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// One blocking client connection.
struct Client {
  int fd = -1;
  std::string in;
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
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in.append(buf, size_t(n));
    bytes += n;
    return true;
  }
  // One response line; a literal it announces is skipped with it.
  bool Line(std::string& line) {
    for (;;) {
      size_t lf = in.find("\r\n");
      if (lf != std::string::npos) {
        line = in.substr(0, lf);
        in.erase(0, lf + 2);
        if (!line.empty() && line.back() == '}') {
          size_t open = line.rfind('{');
          size_t n = size_t(atoll(line.c_str() + open + 1));
          while (in.size() < n)
            if (!Fill()) return false;
          in.erase(0, n);
        }
        return true;
      }
      if (!Fill()) return false;
    }
  }
  bool Send(const std::string& text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  }
  // Sends a tagged command; true when its tagged reply is OK.
  bool Ask(const std::string& tag, const std::string& command) {
    if (!Send(tag + " " + command + "\r\n")) return false;
    std::string line;
    while (Line(line))
      if (line.rfind(tag + " ", 0) == 0) return line.compare(tag.size() + 1, 2, "OK") == 0;
    return false;
  }
  bool Login(const std::string& user) {
    std::string line;
    return fd >= 0 && Line(line) && Ask("l", "LOGIN " + user + " " + kPassword) &&
           Ask("s", "SELECT INBOX");
  }
};

int Fetch(int port, const std::string& user, int messages, long long& bytes) {
  Client c(port);
  if (!c.Login(user)) return 0;
  int done = 0;
  for (int first = 1; first <= messages; first += 100) {
    int last = std::min(messages, first + 99);
    if (!c.Ask("f", "FETCH " + std::to_string(first) + ":" + std::to_string(last) +
                        " (UID RFC822.SIZE BODY.PEEK[])"))
      break;
    done += last - first + 1;
  }
  c.Ask("o", "LOGOUT");
  bytes = c.bytes;
  return done;
}

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

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  return 0;
}

}  // namespace

constexpr const char* kUsage =
    "usage: imap_bench [--messages N] [--size B] [--clients C] [--idle S] [--home DIR]\n"
    "prints IMAP SELECT times, messages fetched per second and memory per idle session.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "imap_bench", kUsage); rc >= 0) return rc;
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--messages") o.messages = atoi(argv[i + 1]);
    else if (a == "--size") o.size = atoi(argv[i + 1]);
    else if (a == "--clients") o.clients = atoi(argv[i + 1]);
    else if (a == "--idle") o.idle = atoi(argv[i + 1]);
    else if (a == "--home") o.home = argv[i + 1];
  }
  if (o.home.empty()) {
    char tmpl[] = "/var/tmp/corvel-imap-bench-XXXXXX";
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
  int port = 0;
  if (!ImapInit(why) || !NetStartup(why) || !ImapListen("127.0.0.1", 0, why, &port)) {
    fprintf(stderr, "start: %s\n", why.c_str());
    return 1;
  }

  {
    Clock::time_point t0 = Clock::now();
    Client a(port);
    bool ok = a.Login("bench1");
    double first = Seconds(t0);
    a.Ask("o", "LOGOUT");
    ForgetImapFolders();  // what a restart forgets
    Clock::time_point t1 = Clock::now();
    Client b(port);
    ok = ok && b.Login("bench1");
    double restart = Seconds(t1);
    b.Ask("o", "LOGOUT");
    printf("RESULT imap_select messages=%d first_s=%.3f restart_s=%.3f ok=%d\n", o.messages, first,
           restart, ok ? 1 : 0);
    fflush(stdout);
  }

  for (int clients : {1, o.clients}) {
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    std::atomic<long long> bytes{0};
    Clock::time_point t0 = Clock::now();
    for (int n = 1; n <= clients; ++n)
      threads.emplace_back([&, n] {
        long long b = 0;
        done += Fetch(port, "bench" + std::to_string(n), o.messages, b);
        bytes += b;
      });
    for (std::thread& t : threads) t.join();
    double wall = Seconds(t0);
    printf("RESULT imap_fetch clients=%d messages=%d wall_s=%.3f msgs_per_s=%.0f MB_per_s=%.1f\n",
           clients, done.load(), wall, done.load() / wall, bytes.load() / wall / 1e6);
    fflush(stdout);
  }

  // Idle sessions: every one logged in on one small mailbox, selected, in IDLE.
  if (o.idle > 0) {
    // Two descriptors a session (client and server side) and some to spare.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, rlim_t(o.idle) * 2 + 256));
    setrlimit(RLIMIT_NOFILE, &limit);
    std::string path = o.home + "idler.mbx";
    AddUser("idler", path);
    WriteMailbox(path, 10, 200);
    // The per-user limit is for clients, not for this measurement: one user
    // per 20 sessions.
    long before = ResidentKb();
    std::vector<std::unique_ptr<Client>> idlers;
    for (int i = 0; i < o.idle; ++i) {
      std::string user = "idler" + std::to_string(i / 20);
      if (i % 20 == 0 && i > 0) AddUser(user, path);
      if (i < 20) user = "idler";
      auto c = std::make_unique<Client>(port);
      std::string line;
      if (!c->Login(user) || !c->Send("i IDLE\r\n") || !c->Line(line)) break;
      idlers.push_back(std::move(c));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long after = ResidentKb();
    // One delivery; every session must hear of it.
    Clock::time_point t0 = Clock::now();
    {
      MailboxLock lock;
      bool timedOut = false;
      LockMailbox("idler", 0, lock, timedOut);
      MailboxAppend append;
      if (OpenMailboxFileForAppend(path, "sender@bench.example", append) == AppendOpen::kOpened) {
        std::string text = "Subject: new\r\n\r\nnew\r\n";
        WriteAll(append.fd.get(), text.data(), text.size());
        FinishMailboxAppend(append, why);
      }
    }
    if (RouterHandlers().mailboxAppended) RouterHandlers().mailboxAppended(path);
    int heard = 0;
    for (auto& c : idlers) {
      std::string line;
      if (c->Line(line) && line.find("EXISTS") != std::string::npos) ++heard;
    }
    double exists = Seconds(t0) * 1000;
    printf("RESULT imap_idle sessions=%zu rss_kb_per_session=%.1f exists_ms=%.0f heard=%d\n",
           idlers.size(), idlers.empty() ? 0.0 : double(after - before) / double(idlers.size()),
           exists, heard);
    fflush(stdout);
    idlers.clear();
  }
  NetShutdown();
  RegCloseStore();
  std::string cmd = "rm -rf '" + o.home + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return 0;
}
