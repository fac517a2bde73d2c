// A load client for STARTTLS: every message on a new connection with a STARTTLS
// handshake, AUTH PLAIN (unless --no-auth) and one 2 KB message; several sessions at
// once. Prints messages/s and handshakes/s, and how many handshakes resumed a session.
//
//   tls_bench HOST PORT FROM TO [--messages N] [--sessions S] [--user U --password P]
//             [--no-auth] [--resume]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/core/program_options.h"

namespace {

constexpr const char* kUsage =
    "usage: tls_bench HOST PORT FROM TO [--messages N] [--sessions S] [--user U --password P] "
    "[--no-auth] [--resume]\n"
    "  sends N 2 KB messages over S sessions, each on a new connection with STARTTLS\n";

struct Options {
  std::string host = "127.0.0.1";
  int port = 25;
  std::string from, to, user, password;
  int messages = 5000;
  int sessions = 10;
  bool auth = true;
  bool resume = false;
};

std::atomic<int> gNext{0}, gDone{0}, gFailed{0}, gResumed{0};
std::string gBody;

// A line reader over either the socket or the TLS connection.
struct Conn {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string buffer;
  bool Send(const std::string& s) {
    if (ssl) return SSL_write(ssl, s.data(), int(s.size())) == int(s.size());
    return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size());
  }
  // The last line of a reply (multi-line replies skipped); empty on failure.
  std::string Reply() {
    for (;;) {
      size_t lf = buffer.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer.substr(0, lf + 1);
        buffer.erase(0, lf + 1);
        if (line.size() >= 4 && line[3] == '-') continue;
        return line;
      }
      char tmp[4096];
      int n = ssl ? SSL_read(ssl, tmp, sizeof tmp) : int(recv(fd, tmp, sizeof tmp, 0));
      if (n <= 0) return "";
      buffer.append(tmp, size_t(n));
    }
  }
  bool Expect(const std::string& send, char code) {
    if (!send.empty() && !Send(send)) return false;
    std::string r = Reply();
    return !r.empty() && r[0] == code;
  }
};

std::string Base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(in.data()), int(in.size()));
  out.resize(size_t(n));
  return out;
}

bool OneMessage(const Options& o, SSL_CTX* ctx, SSL_SESSION*& session) {
  Conn c;
  c.fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(o.port));
  inet_pton(AF_INET, o.host.c_str(), &a.sin_addr);
  int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  bool ok = connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && c.Expect("", '2') &&
            c.Expect("EHLO bench.example\r\n", '2') && c.Expect("STARTTLS\r\n", '2');
  if (ok) {
    c.ssl = SSL_new(ctx);
    SSL_set_fd(c.ssl, c.fd);
    if (o.resume && session) SSL_set_session(c.ssl, session);
    ok = SSL_connect(c.ssl) == 1;
    if (ok && SSL_session_reused(c.ssl)) ++gResumed;
  }
  ok = ok && c.Expect("EHLO bench.example\r\n", '2');
  if (ok && o.auth)
    ok = c.Expect("AUTH PLAIN " + Base64(std::string(1, '\0') + o.user + '\0' + o.password) + "\r\n",
                  '2');
  ok = ok && c.Expect("MAIL FROM:<" + o.from + ">\r\n", '2') &&
       c.Expect("RCPT TO:<" + o.to + ">\r\n", '2') && c.Expect("DATA\r\n", '3') &&
       c.Expect(gBody, '2');
  if (ok) c.Expect("QUIT\r\n", '2');
  if (c.ssl) {
    // TLS 1.3 tickets arrive after the handshake; the session is taken at the end.
    if (o.resume && ok) {
      SSL_SESSION* s = SSL_get1_session(c.ssl);
      if (session) SSL_SESSION_free(session);
      session = s;
    }
    SSL_shutdown(c.ssl);
    SSL_free(c.ssl);
  }
  close(c.fd);
  ERR_clear_error();
  return ok;
}

void Worker(const Options& o, SSL_CTX* ctx) {
  SSL_SESSION* session = nullptr;
  while (gNext.fetch_add(1) < o.messages) {
    if (OneMessage(o, ctx, session)) ++gDone;
    else ++gFailed;
  }
  if (session) SSL_SESSION_free(session);
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = AnswerHelpOrVersion(argc, argv, "tls_bench", kUsage); rc >= 0) return rc;
  Options o;
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--messages") o.messages = std::stoi(next());
    else if (a == "--sessions") o.sessions = std::stoi(next());
    else if (a == "--user") o.user = next();
    else if (a == "--password") o.password = next();
    else if (a == "--no-auth") o.auth = false;
    else if (a == "--resume") o.resume = true;
    else pos.push_back(a);
  }
  if (pos.size() != 4) {
    fputs(kUsage, stderr);
    return 2;
  }
  o.host = pos[0];
  o.port = std::stoi(pos[1]);
  o.from = pos[2];
  o.to = pos[3];
  gBody = "Subject: bench\r\n\r\n";
  while (gBody.size() < 2048) gBody += "0123456789 load text of a two kilobyte message body\r\n";
  gBody += ".\r\n";
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < o.sessions; ++i) threads.emplace_back(Worker, std::cref(o), ctx);
  for (std::thread& t : threads) t.join();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%s:%d  messages %d  failed %d  %.1f s  %.0f messages/s  %.0f handshakes/s  resumed %d%s\n",
         o.host.c_str(), o.port, gDone.load(), gFailed.load(), secs, gDone / secs,
         (gDone + gFailed) / secs, gResumed.load(), o.resume ? " (resumption on)" : "");
  SSL_CTX_free(ctx);
  return gFailed > 0 ? 1 : 0;
}
