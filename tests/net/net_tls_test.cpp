// TLS on network nodes over real loopback sockets: the echo service starts TLS as it
// accepts, and blocking OpenSSL clients talk to it from several threads at once
// (lines that wrap the rings many times), offer an old protocol, or send clear text
// where a handshake is due. Only the offending connection ends; the table empties.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/net/net_tls.h"
#include "tests/net/net_test_util.h"

namespace {

constexpr uint16_t kTlsEcho = 4;

bool TlsEchoAccept(uint16_t service, void* owner, int socket, const sockaddr_in& peer) {
  if (!EchoAccept(service, owner, socket, peer)) return false;
  std::string why;
  return NetStartTlsOnSocket(socket, true, why);
}

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

// A blocking TLS client on a loopback connection; `oldProtocol` offers TLS 1.1 only.
struct TlsClient {
  int fd = -1;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
  ~TlsClient() {
    ssl.reset();
    if (fd >= 0) close(fd);
  }
  bool Connect(uint16_t port, bool oldProtocol = false) {
    fd = ConnectLoopback(port);
    if (fd < 0) return false;
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (oldProtocol) {
      SSL_CTX_set_security_level(ctx.get(), 0);
      SSL_CTX_set_min_proto_version(ctx.get(), TLS1_1_VERSION);
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_1_VERSION);
    }
    ssl.reset(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd);
    bool ok = SSL_connect(ssl.get()) == 1;
    ERR_clear_error();
    return ok;
  }
  bool Send(const std::string& text) {
    return SSL_write(ssl.get(), text.data(), int(text.size())) == int(text.size());
  }
  // Reads until `want` bytes arrived or the connection ends.
  std::string Receive(size_t want) {
    std::string out;
    char buf[16384];
    while (out.size() < want) {
      int n = SSL_read(ssl.get(), buf, int(std::min(sizeof buf, want - out.size())));
      if (n <= 0) break;
      out.append(buf, size_t(n));
    }
    return out;
  }
};

class NetTlsTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    char tmpl[] = "/tmp/corvel-nettls-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string why;
    ASSERT_TRUE(NetTlsMakeSelfSigned("net.example", dir_ + "/c.pem", dir_ + "/k.pem", why)) << why;
    ASSERT_TRUE(NetTlsLoadServerCertificate(dir_ + "/c.pem", dir_ + "/k.pem", why)) << why;
    NetServiceCallbacks cb;
    cb.OnAccept = TlsEchoAccept;
    cb.OnData = EchoData;
    cb.OnClose = EchoClose;
    NetRegisterService(kTlsEcho, cb);
    EchoCounters().closed = 0;
    EchoCounters().accepted = 0;
    EchoCounters().overlap = false;
  }
  void TearDown() override {
    EXPECT_FALSE(EchoCounters().overlap) << "two handlers of one node ran at once";
    NetTest::TearDown();
    NetTlsReset();
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
    }
  }
  std::string dir_;
};

TEST_F(NetTlsTest, ManyClientsAtOnceGetEveryLineBackOverTls) {
  uint16_t port = OpenLoopbackListener(kTlsEcho);
  ASSERT_NE(port, 0);
  constexpr int kClients = 6, kLines = 300;
  std::atomic<int> good{0};
  std::mutex failLock;
  std::string failures;
  auto fail = [&](const std::string& what) {
    std::lock_guard<std::mutex> g(failLock);
    failures += what + "\n";
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back([&, c] {
      TlsClient client;
      if (!client.Connect(port)) return fail("handshake");
      if (std::string(SSL_get_version(client.ssl.get())) != "TLSv1.3") return fail("version");
      // Written thirty lines at a time while the echo comes back, so neither side's
      // buffers fill; every piece ends a line (the echo answers whole lines).
      std::string sent, got;
      for (int i = 0; i < kLines; i += 30) {
        std::string piece;
        for (int j = i; j < i + 30 && j < kLines; ++j)
          piece += std::to_string(c) + ":" + std::to_string(j) +
                   std::string(900, char('a' + j % 26)) + "\r\n";
        sent += piece;
        if (!client.Send(piece)) return fail("send");
        got += client.Receive(piece.size());
        if (got.size() != sent.size())
          return fail("received " + std::to_string(got.size()) + " of " + std::to_string(sent.size()));
      }
      if (got != sent) return fail("different bytes");
      if (!client.Send("QUIT\r\n") || client.Receive(5) != "BYE\r\n") return fail("quit");
      ++good;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good, kClients) << failures;
  EXPECT_TRUE(WaitUntil([&] { return EchoCounters().closed == kClients; }));
}

TEST_F(NetTlsTest, OldProtocolAndClearTextEndOnlyTheirOwnConnection) {
  uint16_t port = OpenLoopbackListener(kTlsEcho);
  ASSERT_NE(port, 0);
  TlsClient good;
  ASSERT_TRUE(good.Connect(port));
  {
    TlsClient old;
    EXPECT_FALSE(old.Connect(port, true));
  }
  int clear = ConnectLoopback(port);
  ASSERT_GE(clear, 0);
  ASSERT_TRUE(SendAllText(clear, "HELLO THERE\r\n"));
  bool eof = false;
  std::string answer = ReceiveToEnd(clear, &eof);
  EXPECT_TRUE(eof);
  EXPECT_EQ(answer.find("HELLO"), std::string::npos);  // never echoed as a line
  close(clear);
  ASSERT_TRUE(WaitUntil([] { return EchoCounters().closed == 2; }));
  // The first connection is untouched.
  ASSERT_TRUE(good.Send("still here\r\n"));
  EXPECT_EQ(good.Receive(12), "still here\r\n");
}

}  // namespace
