// What mail authentication costs the SMTP accept rate, in one run:
//   off     - messages accepted and committed per second, no checks;
//   verify  - the same with the checks of incoming mail on (the loopback client
//             is outside RelayNetworks), each message carrying one rsa-sha256
//             signature; the name server is an in-process responder whose
//             answers (the key record, NXDOMAIN with an SOA) the checks' DNS
//             cache keeps, so after the first message DNS costs what a cached
//             answer costs;
//   sign    - signatures made per second by the outgoing queue's signer over the
//             committed files (rsa-sha256, relaxed/relaxed, 2048 bits);
// and the accept rates with signing (every accepted message also signed once on
// its way out, on the same CPUs) and with both, as a share of the rate with
// both off. Prints
//   RESULT mailauth off_msgs_per_s=.. verify_msgs_per_s=.. sign_per_s=..
//          signing_msgs_per_s=.. both_msgs_per_s=.. both_cost_pct=..
//
// Usage: mailauth_bench [--messages N] [--sessions S] [--size B] [--home DIR]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "server/core/program_options.h"
#include "server/mailauth/dkim_sign.h"
#include "server/net/net.h"
#include "server/smtp/smtp_server.h"
#include "server/smtp/smtp_session.h"
#include "server/spool/spool.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int messages = 2000;
  int sessions = 8;
  int size = 2000;
  std::string home;
};

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

std::string MakeMessage(int size) {
  std::string m = "From: sender@bench.example\r\nTo: bench1@localhost\r\nSubject: bench\r\n"
                  "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\nMessage-Id: <1@bench.example>\r\n\r\n";
  for (int left = size; left > 0; left -= 80) m += std::string(size_t(std::min(left, 78)), 'X') + "\r\n";
  return m;
}

bool SendOne(int port, const std::string& data) {
  Client c;
  if (!c.Connect(port) || !c.Expect('2')) return false;
  if (!c.Send("HELO bench.client\r\n") || !c.Expect('2')) return false;
  if (!c.Send("MAIL FROM:<sender@bench.example>\r\n") || !c.Expect('2')) return false;
  if (!c.Send("RCPT TO:<bench1@localhost>\r\n") || !c.Expect('2')) return false;
  if (!c.Send("DATA\r\n") || !c.Expect('3')) return false;
  if (!c.Send(data + ".\r\n") || !c.Expect('2')) return false;
  c.Send("QUIT\r\n");
  c.Expect('2');
  return true;
}

// Messages per second over `sessions` parallel clients; 0 on a failure.
double Run(const Options& o, int port, const std::string& data) {
  std::atomic<int> next{0}, failed{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < o.sessions; ++t)
    threads.emplace_back([&] {
      while (next.fetch_add(1) < o.messages)
        if (!SendOne(port, data)) ++failed;
    });
  for (auto& th : threads) th.join();
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return failed ? 0.0 : o.messages / wall;
}

// A name server in this process: the key record for its name, NXDOMAIN (with an
// SOA) for any other question.
struct FakeDns {
  int fd = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::string keyName, record;
  bool Start() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this] { Serve(); });
    return true;
  }
  void Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
    close(fd);
  }
  void Serve() {
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      uint8_t q[512];
      sockaddr_in from{};
      socklen_t flen = sizeof from;
      ssize_t n = recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &flen);
      if (n < 17) continue;
      std::string name;
      size_t pos = 12;
      while (pos < size_t(n) && q[pos] != 0) {
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<char*>(q + pos + 1), q[pos]);
        pos += q[pos] + 1;
      }
      size_t qend = pos + 5;
      if (qend > size_t(n)) continue;
      std::string out(reinterpret_cast<char*>(q), qend);
      out[2] = char(0x81);
      bool hit = strcasecmp(name.c_str(), keyName.c_str()) == 0;
      out[3] = char(hit ? 0x80 : 0x83);
      out[6] = 0;
      out[7] = char(hit ? 1 : 0);
      out[8] = out[9] = out[10] = out[11] = 0;
      if (!hit) {
        // The SOA that lets a resolver keep the negative answer (RFC 2308), as
        // every real name server sends it.
        out[9] = 1;
        // MNAME, RNAME, SERIAL 1, REFRESH 3600, RETRY 900, EXPIRE 604800, MINIMUM 3600.
        std::string soa = std::string("\x02ns\xC0\x0C\x04host\xC0\x0C", 12) +
                          std::string("\0\0\0\x01\0\0\x0E\x10\0\0\x03\x84", 12) +
                          std::string("\0\x09\x3A\x80\0\0\x0E\x10", 8);
        out += std::string("\xC0\x0C\x00\x06\x00\x01\x00\x00\x0E\x10", 10);
        out += char(soa.size() >> 8);
        out += char(soa.size() & 0xFF);
        out += soa;
      }
      if (hit) {
        std::string rdata;
        for (size_t i = 0; i < record.size(); i += 255) {
          std::string piece = record.substr(i, 255);
          rdata += char(piece.size());
          rdata += piece;
        }
        out += std::string("\xC0\x0C\x00\x10\x00\x01\x00\x00\x0E\x10", 10);
        out += char(rdata.size() >> 8);
        out += char(rdata.size() & 0xFF);
        out += rdata;
      }
      sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
    }
  }
};

}  // namespace

constexpr const char* kUsage =
    "usage: mailauth_bench [--messages N] [--sessions S] [--size B] [--home DIR]\n"
    "prints the SMTP accept rate with the checks of incoming mail off and on, the\n"
    "DKIM signing rate, and what signing and checking together cost.\n";

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "mailauth_bench", kUsage); rc >= 0) return rc;
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--messages") o.messages = atoi(argv[i + 1]);
    else if (a == "--sessions") o.sessions = atoi(argv[i + 1]);
    else if (a == "--size") o.size = atoi(argv[i + 1]);
    else if (a == "--home") o.home = argv[i + 1];
  }
  std::string home = o.home;
  if (home.empty()) {
    char tmpl[] = "/var/tmp/corvel-mailauth-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    home = tmpl;
  }
  if (home.back() != '/') home += '/';
  MakeDirectories(home);
  SetHomeDirectory(home);
  std::string why;
  if (!RegOpenStore(home + "registry.db", why)) {
    fprintf(stderr, "registry: %s\n", why.c_str());
    return 1;
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
  if (!WriteUserRecord("bench1", "bench1", home + "bench1.mbx", "", "", "", why)) {
    fprintf(stderr, "account: %s\n", why.c_str());
    return 1;
  }
  DkimKeys keys;
  std::vector<std::string> records;
  if (!LoadDkimKeys(home, "bench.example", true, false, keys, why)) {
    fprintf(stderr, "keys: %s\n", why.c_str());
    return 1;
  }
  FakeDns dns;
  dns.keyName = keys.selector + "._domainkey.bench.example";
  if (!DkimPublicRecord(keys.rsaPem, false, dns.record, why) || !dns.Start()) {
    fprintf(stderr, "name server: %s\n", why.c_str());
    return 1;
  }
  int port = 0;
  if (!NetStartup(why) || !SmtpListen("127.0.0.1", 0, why, &port)) {
    fprintf(stderr, "server: %s\n", why.c_str());
    return 1;
  }
  std::string plain = MakeMessage(o.size);
  std::string signature;
  if (!SignDkimText(plain, keys, signature, why)) {
    fprintf(stderr, "sign: %s\n", why.c_str());
    return 1;
  }

  // Both off, after a warm-up (the first files of a fresh spool cost more).
  s.relayNetworks = "127.0.0.0/8";
  RegSetDword(kRootKey, "AuthCheckIncoming", 0);
  Options warm = o;
  warm.messages = std::max(100, o.messages / 4);
  Run(warm, port, plain);
  double off = Run(o, port, plain);

  // Verification on: the client is outside, the message carries one signature.
  s.relayNetworks = "10.255.0.0/16";
  s.domainServer = "127.0.0.1:" + std::to_string(dns.port);
  RegSetDword(kRootKey, "AuthCheckIncoming", 1);
  double verify = Run(o, port, signature + plain);
  NetShutdown();

  // Signing, as the outgoing queue does it, over the committed files.
  std::vector<std::string> files = ListFiles(s.incomingDirectory, "*.in");
  auto start = Clock::now();
  size_t signedCount = 0;
  for (size_t i = 0; i < files.size() && signedCount < size_t(o.messages); ++i) {
    UniqueFd fd = OpenShared(s.incomingDirectory + files[i], O_RDONLY);
    std::string text;
    ReadWholeFile(s.incomingDirectory + files[i], text);
    size_t body = text.find("\r\n\r\n");
    std::string headers;
    if (body != std::string::npos && SignDkimMessage(fd.get(), (long long)body + 4, keys, headers, why))
      ++signedCount;
  }
  double signRate = signedCount / std::chrono::duration<double>(Clock::now() - start).count();
  dns.Stop();
  double signing = off > 0 && signRate > 0 ? 1.0 / (1.0 / off + 1.0 / signRate) : 0;
  double both = verify > 0 && signRate > 0 ? 1.0 / (1.0 / verify + 1.0 / signRate) : 0;
  printf("RESULT mailauth sessions=%d messages=%d size=%d off_msgs_per_s=%.1f verify_msgs_per_s=%.1f "
         "sign_per_s=%.1f signing_msgs_per_s=%.1f both_msgs_per_s=%.1f both_cost_pct=%.1f\n",
         o.sessions, o.messages, o.size, off, verify, signRate, signing, both,
         off > 0 ? 100.0 * (1.0 - both / off) : 0.0);
  return off > 0 && verify > 0 ? 0 : 1;
}
