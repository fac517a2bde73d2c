// IMAP: the time of a first SELECT (the folder indexed, UIDs given, the sidecar
// written) and of a SELECT after a restart (the sidecar read, the folder
// rescanned), messages fetched per second by one client and by ten at once,
// each on its own mailbox, and the memory an idle session costs.
//
// With Dovecot installed (Debian dovecot-imapd; scripts/install-deps.sh --bench
// brings it and isync, its system service left off) the same figures are taken from a
// private Dovecot started for the run (its own configuration and run directories
// under the bench home, an mbox INBOX holding the same file, IMAP on a free
// loopback port, stopped by its PID at the end), and printed beside ours. With
// mbsync installed (Debian isync), a full download of bench1's INBOX into an
// empty Maildir is timed from both.
//
// Usage:
//   imap_bench [--messages N] [--size B] [--clients C] [--idle S] [--home DIR]
//              [--dovecot 0|1] [--mbsync 0|1]
// The figure: --messages 10000 --size 2500 (a 25 MB INBOX).
// It starts the server in this process on 127.0.0.1 and a free port, writes
// mailboxes bench1..benchC of N messages with B body bytes each, and prints
//   RESULT imap_select messages=N first_s=T restart_s=T2
//   RESULT imap_fetch clients=1 messages=N wall_s=T msgs_per_s=R MB_per_s=S
//   RESULT imap_fetch clients=C messages=C*N wall_s=T msgs_per_s=R MB_per_s=S
//   RESULT imap_idle sessions=S rss_kb_per_session=K exists_ms=E
//   RESULT imap_bodystructure server=corvel messages=N wall_s=T per_s=R
//   RESULT imap_mbsync server=corvel messages=N wall_s=T msgs_per_s=R
// and, for Dovecot, the same select, fetch and mbsync lines with server=dovecot,
// then a table of both side by side.
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
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
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
  bool dovecot = true;
  bool mbsync = true;
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

// ---- Figures taken from either server ------------------------------------------

struct Figures {
  double selectFirst = -1, selectRestart = -1;
  double fetch1 = -1, fetchC = -1;  // messages a second
  double mbsync = -1;                // seconds for the full download
  double structure = -1;             // BODYSTRUCTURE answers a second
};

// "FETCH 1:* (UID BODYSTRUCTURE)" on bench1's INBOX, as a client does when it
// first opens a folder; answers a second.
void MeasureStructure(int port, const char* server, const Options& o, Figures& f) {
  Client c(port);
  Clock::time_point t0 = Clock::now();
  bool ok = c.Login("bench1") && c.Ask("b", "FETCH 1:* (UID BODYSTRUCTURE)");
  double wall = Seconds(t0);
  c.Ask("o", "LOGOUT");
  printf("RESULT imap_bodystructure server=%s messages=%d wall_s=%.3f per_s=%.0f ok=%d\n", server,
         o.messages, wall, o.messages / wall, ok ? 1 : 0);
  fflush(stdout);
  if (ok) f.structure = o.messages / wall;
}

// The first SELECT of bench1's INBOX, then one after `restart`.
void MeasureSelect(int& port, const char* server, const Options& o,
                   const std::function<bool()>& restart, Figures& f) {
  Clock::time_point t0 = Clock::now();
  bool ok = false;
  {
    Client a(port);
    ok = a.Login("bench1");
    f.selectFirst = Seconds(t0);
    a.Ask("o", "LOGOUT");
  }
  ok = restart() && ok;
  Clock::time_point t1 = Clock::now();
  {
    Client b(port);
    ok = ok && b.Login("bench1");
    f.selectRestart = Seconds(t1);
    b.Ask("o", "LOGOUT");
  }
  printf("RESULT imap_select server=%s messages=%d first_s=%.3f restart_s=%.3f ok=%d\n", server,
         o.messages, f.selectFirst, f.selectRestart, ok ? 1 : 0);
  fflush(stdout);
}

void MeasureFetch(int port, const char* server, const Options& o, Figures& f) {
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
    printf("RESULT imap_fetch server=%s clients=%d messages=%d wall_s=%.3f msgs_per_s=%.0f "
           "MB_per_s=%.1f\n",
           server, clients, done.load(), wall, done.load() / wall, bytes.load() / wall / 1e6);
    fflush(stdout);
    (clients == 1 ? f.fetch1 : f.fetchC) = done.load() / wall;
    if (o.clients == 1) f.fetchC = f.fetch1;
  }
}

// mbsync pulls bench1's INBOX into an empty Maildir; the wall time of the run.
// The Maildir is on /dev/shm when there is one: creating 10,000 files on a busy
// ext4 otherwise costs mbsync more than the download, and hides both servers.
void MeasureMbsync(int port, const char* server, const Options& o, Figures& f) {
  std::string dir = o.home + "mbsync-" + server + "/";
  char shm[] = "/dev/shm/corvel-imap-bench-XXXXXX";
  bool onShm = access("/dev/shm", W_OK) == 0 && mkdtemp(shm) != nullptr;
  if (onShm) dir = std::string(shm) + "/";
  std::string rc = dir + "mbsyncrc";
  MakeDirectories(dir + "maildir/");
  {
    std::ofstream out(rc);
    // No fsync of each Maildir file: the figure is the IMAP download, not the disk.
    out << "FSync No\n\nIMAPAccount a\nHost 127.0.0.1\nPort " << port << "\nUser bench1\nPass " << kPassword
        << "\nSSLType None\nAuthMechs LOGIN\nPipelineDepth 50\n\n"
        << "IMAPStore remote\nAccount a\n\n"
        << "MaildirStore local\nPath " << dir << "maildir/\nInbox " << dir << "maildir/INBOX\n\n"
        << "Channel c\nFar :remote:\nNear :local:\nPatterns INBOX\nCreate Near\nSync Pull\n"
        << "SyncState *\n";
  }
  Clock::time_point t0 = Clock::now();
  std::string cmd = "mbsync -q -c '" + rc + "' c >'" + dir + "log' 2>&1";
  int rc1 = system(cmd.c_str());
  double wall = Seconds(t0);
  // What arrived: the files in the Maildir's new and cur.
  std::string count = "find '" + dir + "maildir/INBOX' -type f -path '*/new/*' -o -type f -path '*/cur/*' | wc -l";
  FILE* p = popen(count.c_str(), "r");
  int got = 0;
  if (p) {
    if (fscanf(p, "%d", &got) != 1) got = 0;
    pclose(p);
  }
  printf("RESULT imap_mbsync server=%s messages=%d wall_s=%.3f msgs_per_s=%.0f ok=%d\n", server,
         got, wall, got / wall, rc1 == 0 && got == o.messages ? 1 : 0);
  fflush(stdout);
  if (rc1 == 0 && got == o.messages) f.mbsync = wall;
  if (onShm && system(("rm -rf '" + dir + "'").c_str()) != 0) {
  }
}

// ---- A private Dovecot -----------------------------------------------------------

struct Dovecot {
  std::string dir;   // configuration, run, state and mail under here
  std::string conf;
  int port = 0;
  pid_t pid = -1;
};

bool ProgramExists(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

// A free loopback port: bound, read back and let go.
int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool PortAccepts(int port) {
  Client c(port);
  return c.fd >= 0;
}

// Writes the configuration, the users (bench1..benchC, each with an mbox INBOX
// that is a copy of ours) and the mail directories. As root the mail belongs to
// "nobody", as Dovecot refuses to serve mail as root.
bool SetUpDovecot(const Options& o, Dovecot& d) {
  d.dir = o.home + "dovecot/";
  d.conf = d.dir + "dovecot.conf";
  d.port = FreeLoopbackPort();
  MakeDirectories(d.dir + "run/");
  MakeDirectories(d.dir + "state/");
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (uid == 0) {
    passwd* nobody = getpwnam("nobody");
    if (!nobody) return false;
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
    chmod(o.home.c_str(), 0755);
  }
  std::ofstream users(d.dir + "users");
  for (int n = 1; n <= o.clients; ++n) {
    std::string name = "bench" + std::to_string(n);
    std::string home = d.dir + "mail/" + name;
    MakeDirectories(home + "/mail/");
    std::string copy = "cp '" + o.home + name + ".mbx' '" + home + "/inbox' && chown -R " +
                       std::to_string(uid) + ":" + std::to_string(gid) + " '" + home + "'";
    if (system(copy.c_str()) != 0) return false;
    users << name << ":{PLAIN}" << kPassword << ":" << uid << ":" << gid << "::" << home << "::\n";
  }
  users.close();
  chmod((d.dir + "users").c_str(), 0644);
  chmod(d.dir.c_str(), 0755);
  chmod((d.dir + "mail/").c_str(), 0755);
  std::ofstream conf(d.conf);
  conf << "instance_name = corvel-imap-bench\n"
       << "base_dir = " << d.dir << "run\n"
       << "state_dir = " << d.dir << "state\n"
       << "log_path = " << d.dir << "dovecot.log\n"
       << "protocols = imap\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
       << "auth_mechanisms = plain login\n"
       << "first_valid_uid = " << uid << "\nfirst_valid_gid = " << gid << "\n"
       << "mail_location = mbox:~/mail:INBOX=~/inbox\n"
       << "mail_max_userip_connections = 2000\n"
       << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << d.dir
       << "users\n}\n"
       << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << d.dir << "users\n}\n"
       << "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = "
       << d.port << "\n  }\n  inet_listener imaps {\n    port = 0\n  }\n}\n"
       << "service pop3-login {\n  inet_listener pop3 {\n    port = 0\n  }\n"
       << "  inet_listener pop3s {\n    port = 0\n  }\n}\n";
  return bool(conf);
}

// Starts Dovecot in the foreground as our child; true once its port accepts.
bool StartDovecot(Dovecot& d) {
  d.pid = fork();
  if (d.pid == 0) {
    int fd = open((d.dir + "stdout.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execlp("dovecot", "dovecot", "-F", "-c", d.conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500; ++i) {
    if (PortAccepts(d.port)) return true;
    int status = 0;
    if (waitpid(d.pid, &status, WNOHANG) == d.pid) {
      d.pid = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void StopDovecot(Dovecot& d) {
  if (d.pid <= 0) return;
  kill(d.pid, SIGTERM);
  int status = 0;
  waitpid(d.pid, &status, 0);
  d.pid = -1;
}

std::string Shown(double v, const char* format) {
  if (v < 0) return "-";
  char buf[64];
  snprintf(buf, sizeof buf, format, v);
  return buf;
}

void PrintSideBySide(const Options& o, const Figures& c, const Figures& d) {
  struct Row {
    const char* name;
    double corvel, dovecot;
    const char* format;
  };
  std::string fetchC = "fetch, " + std::to_string(o.clients) + " clients (msg/s)";
  const Row rows[] = {
      {"first SELECT (s)", c.selectFirst, d.selectFirst, "%.3f"},
      {"SELECT after a restart (s)", c.selectRestart, d.selectRestart, "%.3f"},
      {"fetch, 1 client (msg/s)", c.fetch1, d.fetch1, "%.0f"},
      {fetchC.c_str(), c.fetchC, d.fetchC, "%.0f"},
      {"FETCH 1:* BODYSTRUCTURE (msg/s)", c.structure, d.structure, "%.0f"},
      {"mbsync full download (s)", c.mbsync, d.mbsync, "%.2f"},
  };
  printf("\n%d messages of %d body bytes in INBOX\n", o.messages, o.size);
  printf("%-32s %12s %12s\n", "figure", "Corvel", "Dovecot");
  for (const Row& r : rows)
    printf("%-32s %12s %12s\n", r.name, Shown(r.corvel, r.format).c_str(),
           Shown(r.dovecot, r.format).c_str());
  fflush(stdout);
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
    "                  [--dovecot 0|1] [--mbsync 0|1]\n"
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
    else if (a == "--dovecot") o.dovecot = atoi(argv[i + 1]) != 0;
    else if (a == "--mbsync") o.mbsync = atoi(argv[i + 1]) != 0;
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

  Figures corvel, dovecot;
  MeasureSelect(port, "corvel", o, [] { ForgetImapFolders(); return true; }, corvel);
  MeasureFetch(port, "corvel", o, corvel);
  MeasureStructure(port, "corvel", o, corvel);
  bool mbsync = o.mbsync && ProgramExists("mbsync");
  if (mbsync) MeasureMbsync(port, "corvel", o, corvel);

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
  if (o.dovecot && !ProgramExists("dovecot"))
    printf("dovecot is not installed: no figures beside ours (scripts/install-deps.sh --bench "
           "installs it)\n");
  if (o.dovecot && ProgramExists("dovecot")) {
    Dovecot d;
    if (!SetUpDovecot(o, d) || !StartDovecot(d)) {
      fprintf(stderr, "dovecot did not start; see %sdovecot.log\n", d.dir.c_str());
    } else {
      MeasureSelect(d.port, "dovecot", o, [&] { StopDovecot(d); return StartDovecot(d); },
                    dovecot);
      MeasureFetch(d.port, "dovecot", o, dovecot);
      MeasureStructure(d.port, "dovecot", o, dovecot);
      if (mbsync) MeasureMbsync(d.port, "dovecot", o, dovecot);
    }
    StopDovecot(d);
  }
  PrintSideBySide(o, corvel, dovecot);
  NetShutdown();
  RegCloseStore();
  std::string cmd = "rm -rf '" + o.home + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return 0;
}
