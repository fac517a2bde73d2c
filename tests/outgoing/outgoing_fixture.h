// The outgoing tests' peers and fixture. Every fixed-address peer (SMTP peers on
// port 25, name servers on port 53) lives in 127.0.12.0/24; each test takes a
// block of eight addresses of its own (PeerAddress), so tests may run at once.
//
// - RecordingPeer: a scripted SMTP server in the test process that records what
//   it is sent, byte for byte, and answers as its script says.
// - SinkProcess: Postfix's smtp-sink, dumping each message (-d) for whole-file
//   comparison, or refusing, dropping, saying 421 (-r -f -q -Q).
// - DnsServer: unbound answering for a test zone (tests/mx/dns_server.sh).
// - OutgoingTest: a home with spool directories, the network layer, the SMTP
//   client and the outgoing queue running in the test process; .out files are
//   written directly and the queue is pumped until a condition holds.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "server/mx/mx_resolver.h"
#include "server/net/net.h"
#include "server/outgoing/outgoing.h"
#include "server/outgoing/retry_queue.h"
#include "server/outgoing/routing.h"
#include "server/smtp/smtp_client.h"
#include "server/smtp/smtp_server.h"
#include "server/spool/spool.h"
#include "tests/delivery/delivery_fixture.h"
#include "tests/support/spool_files.h"

// Address `host` (1..7) of block `block` (1..31). The first use of a block in a
// process waits for an exclusive lock on the block and holds it until the process
// ends: tests of one file share their blocks (the fixture's name server, peers on
// port 25), and ctest runs them as separate processes side by side, as may another
// checkout on the same machine. Blocks are taken in rising order by every test.
inline std::string PeerAddress(int block, int host) {
  static std::mutex guard;
  static std::map<int, int> held;  // block -> descriptor holding its lock
  {
    std::lock_guard<std::mutex> hold(guard);
    if (!held.count(block)) {
      std::string path = "/tmp/corvel-test-peer-block-" + std::to_string(block) + ".lock";
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd >= 0) {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
      }
      held[block] = fd;
    }
  }
  return "127.0.12." + std::to_string(block * 8 + host);
}

// ---- A scripted SMTP peer ------------------------------------------------------------

struct PeerScript {
  std::string greeting = "220 peer.test ESMTP ready";  // CRLF-separated lines
  std::string ehlo = "250-peer.test hello\r\n250-SIZE 10000000\r\n250-ETRN\r\n250 8BITMIME";
  std::string helo = "250 peer.test";
  std::string mail = "250 sender ok";
  std::map<std::string, std::string> rcpt;  // by address; the default is 250
  std::string data = "354 go ahead";
  std::string dot = "250 queued";
  std::string etrn = "250 OK";
  // The answer to STARTTLS (empty: "500 what?"). A 220 is followed by bytes that
  // are no TLS record, and the connection ends: a broken handshake.
  std::string starttls;
  std::string silentOn;          // a command word never answered (the peer goes quiet)
  long closeAfterDataBytes = -1; // close in the middle of the data
  uint32_t dotDelayMs = 0;       // wait this long before answering the final "."
};

struct PeerMessage {
  std::string mailFrom;           // the MAIL argument
  std::vector<std::string> rcpts; // the RCPT arguments
  std::string data;               // raw bytes after 354, up to and without "\r\n.\r\n"
};

class RecordingPeer {
 public:
  ~RecordingPeer() { Stop(); }
  bool Start(const std::string& address, const PeerScript& script) {
    script_ = script;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(25);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) {
      close(fd_);
      fd_ = -1;
      return false;
    }
    stop_ = false;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
  }
  void Stop() {
    if (fd_ < 0) return;
    stop_ = true;
    acceptor_.join();
    close(fd_);
    fd_ = -1;
    std::vector<std::thread> sessions;
    {
      std::lock_guard<std::mutex> g(lock_);
      sessions.swap(sessions_);
    }
    for (std::thread& t : sessions) t.join();
  }
  std::vector<PeerMessage> Messages() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
  }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
  }
  int Connections() const { return connections_.load(); }
  // The most sessions that were open at once.
  int MostAtOnce() const { return mostAtOnce_.load(); }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      ++connections_;
      std::lock_guard<std::mutex> g(lock_);
      sessions_.emplace_back([this, c] { Serve(c); });
    }
  }
  bool Say(int c, const std::string& lines) { return SendAllBytes(c, lines + "\r\n"); }
  // Reads until `until` is in the buffer; false when the peer closed or we stop.
  bool ReadUntil(int c, std::string& buffer, const std::string& until, size_t& at) {
    for (;;) {
      at = buffer.find(until);
      if (at != std::string::npos) return true;
      pollfd p{c, POLLIN, 0};
      if (stop_) return false;
      if (poll(&p, 1, 50) <= 0) continue;
      char block[65536];
      ssize_t n = recv(c, block, sizeof block, 0);
      if (n <= 0) return false;
      buffer.append(block, size_t(n));
    }
  }
  void Serve(int c) {
    int open = ++open_;
    for (int most = mostAtOnce_.load(); open > most && !mostAtOnce_.compare_exchange_weak(most, open);) {
    }
    struct Leave {
      std::atomic<int>& n;
      ~Leave() { --n; }
    } leave{open_};
    std::string buffer;
    PeerMessage message;
    Say(c, script_.greeting);
    for (;;) {
      size_t at;
      if (!ReadUntil(c, buffer, "\r\n", at)) break;
      std::string line = buffer.substr(0, at);
      buffer.erase(0, at + 2);
      {
        std::lock_guard<std::mutex> g(lock_);
        commands_.push_back(line);
      }
      std::string word = line.substr(0, line.find(' '));
      for (char& ch : word) ch = char(toupper(static_cast<unsigned char>(ch)));
      if (!script_.silentOn.empty() && word == script_.silentOn) {
        while (!stop_) SleepMs(20);  // say nothing until the test ends
        break;
      }
      if (word == "EHLO") {
        Say(c, script_.ehlo);
      } else if (word == "HELO") {
        Say(c, script_.helo);
      } else if (word == "MAIL") {
        message = PeerMessage();
        message.mailFrom = line.substr(5);
        Say(c, script_.mail);
      } else if (word == "RCPT") {
        std::string arg = line.substr(5);
        message.rcpts.push_back(arg);
        std::string address = arg.substr(arg.find('<') + 1);
        address = address.substr(0, address.find('>'));
        auto it = script_.rcpt.find(address);
        Say(c, it == script_.rcpt.end() ? "250 recipient ok" : it->second);
      } else if (word == "DATA") {
        Say(c, script_.data);
        if (script_.data.rfind("354", 0) != 0) continue;
        // The data: everything up to CRLF "." CRLF (the first line may be "."
        // itself only after a CRLF, so the search starts with one).
        buffer.insert(0, "\r\n");
        if (script_.closeAfterDataBytes >= 0) {
          while (long(buffer.size()) < script_.closeAfterDataBytes + 2) {
            char block[4096];
            ssize_t n = recv(c, block, sizeof block, 0);
            if (n <= 0) break;
            buffer.append(block, size_t(n));
          }
          break;  // hang up in the middle
        }
        if (!ReadUntil(c, buffer, "\r\n.\r\n", at)) break;
        message.data = buffer.substr(2, at - 2) + "\r\n";
        if (at == 0) message.data.clear();
        buffer.erase(0, at + 5);
        {
          std::lock_guard<std::mutex> g(lock_);
          messages_.push_back(message);
        }
        if (script_.dotDelayMs) SleepMs(script_.dotDelayMs);
        Say(c, script_.dot);
      } else if (word == "ETRN") {
        Say(c, script_.etrn);
      } else if (word == "STARTTLS" && !script_.starttls.empty()) {
        Say(c, script_.starttls);
        if (script_.starttls.rfind("220", 0) != 0) continue;
        SendAllBytes(c, "this is not a TLS record\r\n");
        SleepMs(50);
        break;
      } else if (word == "RSET" || word == "NOOP") {
        Say(c, "250 OK");
      } else if (word == "QUIT") {
        Say(c, "221 bye");
        break;
      } else {
        Say(c, "500 what?");
      }
    }
    close(c);
  }

  PeerScript script_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> open_{0};
  std::atomic<int> mostAtOnce_{0};
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<std::thread> sessions_;
  std::vector<PeerMessage> messages_;
  std::vector<std::string> commands_;
};

// True once something accepts connections on address:port (tried for ~4 s).
inline bool WaitForListener(const std::string& address, int port) {
  for (int i = 0; i < 200; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (up) return true;
    SleepMs(20);
  }
  return false;
}

// ---- smtp-sink ------------------------------------------------------------------------

inline constexpr const char* kSmtpSink = "/usr/sbin/smtp-sink";

class SinkProcess {
 public:
  ~SinkProcess() { Stop(); }
  // Starts smtp-sink on address:25 dumping into a fresh directory; `extra` are
  // more options ("-r RCPT", ...). Waits until it accepts.
  bool Start(const std::string& address, std::vector<std::string> extra = {}) {
    char tmpl[] = "/tmp/corvel-sink-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dumpDir_ = std::string(tmpl) + "/";
    chmod(tmpl, 0777);  // it writes as nobody
    std::vector<std::string> args = {kSmtpSink, "-u", "nobody", "-d", dumpDir_ + "%H%M%S."};
    for (std::string& e : extra) args.push_back(e);
    args.push_back(address + ":25");
    args.push_back("64");
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kSmtpSink, argv.data());
      _exit(127);
    }
    return WaitForListener(address, 25);
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (!dumpDir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dumpDir_, ec);
      dumpDir_.clear();
    }
  }
  // The dumped messages, oldest name first.
  std::vector<std::string> Dumps() const {
    std::vector<std::string> out;
    for (const std::string& name : ListFiles(dumpDir_, "*")) {
      std::string text;
      ReadWholeFile(dumpDir_ + name, text);
      out.push_back(text);
    }
    return out;
  }

 private:
  pid_t pid_ = -1;
  std::string dumpDir_;
};

// The message of a dump: what follows smtp-sink's own three-line Received header
// (lines end with LF in a dump), without the empty line it adds at the end.
inline std::string DumpedMessage(const std::string& dump) {
  size_t received = dump.find("\nReceived: from ");
  if (received == std::string::npos) return "";
  size_t pos = received + 1;
  for (int i = 0; i < 3 && pos != std::string::npos; ++i) pos = dump.find('\n', pos) + 1;
  std::string message = dump.substr(pos);
  if (message.size() >= 1 && message.back() == '\n') message.pop_back();
  return message;
}

// The arguments of every "X-Rcpt-Args:" line of a dump.
inline std::vector<std::string> DumpedRecipients(const std::string& dump) {
  std::vector<std::string> out;
  for (size_t p = dump.find("X-Rcpt-Args: "); p != std::string::npos;
       p = dump.find("X-Rcpt-Args: ", p + 1))
    out.push_back(dump.substr(p + 13, dump.find('\n', p) - p - 13));
  return out;
}

// ---- A name server ---------------------------------------------------------------------

inline constexpr const char* kUnbound = "/usr/sbin/unbound";

class DnsServer {
 public:
  ~DnsServer() { Stop(); }
  // Serves `zone` (a zone file's text, its $ORIGIN naming the zone) on address:53.
  bool Start(const std::string& address, const std::string& zone, std::string& why) {
    char tmpl[] = "/tmp/corvel-dns-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    std::string zoneFile = dir_ + "/test.zone";
    {
      UniqueFd fd(open(zoneFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      WriteAll(fd.get(), zone.data(), zone.size());
    }
    std::string command = Script() + " start 53 " + dir_ + " " + address + " " + zoneFile;
    int rc = system(command.c_str());
    if (rc != 0) why = "'" + command + "' failed with " + std::to_string(rc);
    return rc == 0;
  }
  void Stop() {
    if (dir_.empty()) return;
    std::string command = Script() + " stop 53 " + dir_;
    if (system(command.c_str()) != 0) {
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    dir_.clear();
  }

 private:
  static std::string Script() { return std::string(CORVEL_SOURCE_DIR) + "/tests/mx/dns_server.sh"; }
  std::string dir_;
};

// ---- The outgoing queue in the test process ----------------------------------------

class OutgoingTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    Settings& s = ServerSettings();
    s.netAlwaysPresent = true;
    s.connectAtStart = false;
    s.routingMode = kRouteAll;
    s.smartHost.clear();
    s.disableSmarthost = false;
    s.disableDnsLookup = false;
    s.limitOutgoingMessages = 5;
    s.connectionTime = 60;
    s.retryLevelStart = 1;
    s.retryConstant = false;
    s.useEsmtpProtocol = true;
    s.forceEsmtpProtocol = true;
    s.doEsmtpSize = true;
    s.sysOptSmtpOut = 0;
    s.outgoingAlias.clear();
    s.incomingAlias.clear();
    LoadLocalNodeList();
    std::string why;
    ASSERT_TRUE(NetStartup(why)) << why;
    RegisterSmtpService();
    ASSERT_TRUE(InitializeOutgoing(why)) << why;
  }
  void TearDown() override {
    ShutdownOutgoing();
    MxShutdown();
    NetShutdown();
    SetSmtpClientTimeouts(0, 0);
    DeliveryTest::TearDown();
  }

  // Starts the resolver with `servers` (";"-separated) as DomainServer.
  void StartResolver(const std::string& servers, uint32_t timeoutMs = 5000) {
    ServerSettings().domainServer = servers;
    MxOptions o;
    o.domainServer = servers;
    o.requestTimeoutMs = timeoutMs;
    std::string why;
    ASSERT_TRUE(MxStartupWith(o, why)) << why;
  }

  // Writes a committed .out file; returns its path.
  std::string WriteOut(const std::string& sender, const std::vector<std::string>& recipients,
                       const std::string& message) {
    std::string path, why;
    UniqueFd fd = CreateSpoolTemp(path, false);
    EXPECT_TRUE(fd.valid());
    EXPECT_TRUE(WriteEnvelope(fd.get(), sender, recipients, why)) << why;
    EXPECT_TRUE(SpoolWrite(fd.get(), message));
    const Settings& s = ServerSettings();
    EXPECT_TRUE(CloseAndCommitSpoolFile(fd, path, false, s.incomingDirectory, s.outgoingDirectory, why))
        << why;
    return path;
  }

  // Runs the outgoing scan and the items until `done` holds (or `ms` pass).
  bool Pump(const std::function<bool()>& done, uint32_t ms = 15000) {
    uint32_t start = GetTickCount32();
    while (TickElapsed(GetTickCount32(), start) < ms) {
      MxHousekeeping();
      OutgoingQueueStep(false);
      OutgoingItemsStep();
      if (done()) return true;
      SleepMs(5);
    }
    return done();
  }
  // Pumps until no item is left and the outgoing directory holds no .out file.
  bool PumpUntilIdle(uint32_t ms = 15000) {
    return Pump([] { return CountOutgoingItems() == 0 && ListFiles(Out(), "*.out").empty(); }, ms);
  }

  // Routing mode 1 through `hosts` (";"-separated).
  static void UseSmartHost(const std::string& hosts) {
    ServerSettings().smartHost = hosts;
    ServerSettings().routingMode = kRouteSmartHost;
  }
  // The bounce the queue writes to `to` for `reason`, whole; `message` is the
  // undelivered message as stored (enclosed after this host's stamp).
  static std::string ExpectedBounce(const std::string& to, const std::string& reason,
                                    const std::string& message) {
    std::string date = FormatLocalDate(DateStyle::kMail, MailNow());
    std::string stamp = "Received: by mail.example.org from localhost\r\n"
                        "    (mail daemon,Corvel95 V1.0); " + date + "\r\n";
    // A bounce is ours: its envelope carries the mark that has it signed.
    return "From: MAILER-DAEMON@mail.example.org\r\nOrigin: local\r\nTo: " + to + "\r\n\r\n" +
           stamp +
           "From: Mailer-Daemon<MAILER-DAEMON@mail.example.org>\r\nTo: " + to + "<" + to +
           ">\r\nDate: " + date + "\r\nSubject: Message rejected by system\r\n\r\n"
           "------------ Transcript of session follows ------------\r\n\r\n"
           "Reason: " + reason + "\r\n\r\n"
           "-----------------First 8192 bytes of-------------------\r\n"
           "------- Unsent message enclosed after this line -------\r\n" +
           stamp + message;
  }
  // The envelope lines of a spool file, with the empty line.
  static std::string Envelope(const std::string& path) {
    std::string text = Read(path);
    return text.substr(0, text.find("\r\n\r\n") + 4);
  }

  static std::string Out() { return ServerSettings().outgoingDirectory; }
  static std::string In() { return ServerSettings().incomingDirectory; }
  static std::vector<std::string> Files(const std::string& dir, const std::string& pattern) {
    return ListFiles(dir, pattern);
  }
  // The texts of the incoming files (bounces and notices), oldest name first.
  static std::vector<std::string> IncomingTexts() {
    std::vector<std::string> out;
    for (const std::string& name : ListFiles(In(), "*.in")) out.push_back(Read(In() + name));
    return out;
  }
};
