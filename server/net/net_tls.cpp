// The TLS engine of the network layer: contexts, certificates, and the per-node
// OpenSSL state that sits between a node's socket and its rings.
#include "server/net/net_tls.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/tick.h"
#include "server/core/log.h"
#include "server/net/net_internal.h"

struct NetTls {
  std::mutex lock;        // a leaf lock around every call into the SSL object
  SSL* ssl = nullptr;
  bool server = true;
  std::atomic<bool> pending{false};  // waits for the clear-text send ring to drain
  bool established = false;
  bool failed = false;
  uint32_t startTick = 0;
  std::string peer;       // "a.b.c.d" for the log line of a failed handshake
};

void FreeNetTls(NetTls* tls) {
  if (!tls) return;
  if (tls->ssl) SSL_free(tls->ssl);
  delete tls;
}

void NetTlsDeleter::operator()(NetTls* tls) const { FreeNetTls(tls); }

namespace {

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using CtxPtr = std::shared_ptr<SSL_CTX>;

std::mutex gCtxLock;
CtxPtr gServerCtx;
CtxPtr gClientCtx;
std::string gServerChainFile, gServerKeyFile;  // what gServerCtx was loaded from
std::atomic<uint64_t> gDiscarded{0};

// The reason text of OpenSSL's first queued error (the queue is emptied).
std::string OpenSslReason() {
  unsigned long e = ERR_get_error();
  std::string out;
  if (e) {
    const char* r = ERR_reason_error_string(e);
    out = r ? r : "error " + std::to_string(e);
  }
  ERR_clear_error();
  return out.empty() ? "connection closed during handshake" : out;
}

void CommonOptions(SSL_CTX* ctx) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Renegotiation costs the server a handshake at the client's request and buys
  // nothing between mail programs.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_NO_COMPRESSION);
  // The send ring hands over whatever piece lies at its read index; a retried
  // write may therefore come from a moved or longer buffer.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

CtxPtr ClientContext() {
  std::lock_guard<std::mutex> g(gCtxLock);
  if (!gClientCtx) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return {};
    CommonOptions(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    gClientCtx = CtxPtr(ctx, CtxFree());
  }
  return gClientCtx;
}

CtxPtr ServerContext() {
  std::lock_guard<std::mutex> g(gCtxLock);
  return gServerCtx;
}

// Writes `write` into a temporary beside `path` made with `mode`, then renames it.
template <class F>
bool WritePemFile(const std::string& path, int mode, F&& write, std::string& why) {
  std::string temp = path + ".tmp";
  unlink(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    why = "Unable to create " + temp + ": " + strerror(errno);
    return false;
  }
  FILE* f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    unlink(temp.c_str());
    why = "Unable to write " + temp;
    return false;
  }
  bool ok = write(f) == 1;
  ok = fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = fclose(f) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    why = "Unable to write " + path;
    return false;
  }
  return true;
}

}  // namespace

// ---- Contexts ----------------------------------------------------------------------

bool NetTlsSetUpServerContext(SSL_CTX* ctx, const std::string& chainFile,
                              const std::string& keyFile, std::string& why) {
  ERR_clear_error();
  CommonOptions(ctx);
  static const unsigned char kSessionContext[] = "corvel";
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  if (SSL_CTX_use_certificate_chain_file(ctx, chainFile.c_str()) != 1) {
    why = "Unable to read the TLS certificate " + chainFile + ": " + OpenSslReason();
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
      ERR_clear_error();
      why = "The TLS key " + keyFile + " does not match the certificate " + chainFile + ".";
      return false;
    }
    why = "Unable to read the TLS key " + keyFile + " for the certificate " + chainFile + ": " +
          OpenSslReason();
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    why = "The TLS key " + keyFile + " does not match the certificate " + chainFile + ".";
    return false;
  }
  return true;
}

bool NetTlsLoadServerCertificate(const std::string& chainFile, const std::string& keyFile,
                                 std::string& why) {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    why = "Unable to create the TLS context: " + OpenSslReason();
    return false;
  }
  if (!NetTlsSetUpServerContext(ctx.get(), chainFile, keyFile, why)) return false;
  std::lock_guard<std::mutex> g(gCtxLock);
  gServerCtx = CtxPtr(ctx.release(), CtxFree());
  gServerChainFile = chainFile;
  gServerKeyFile = keyFile;
  return true;
}

bool NetTlsServerFiles(std::string& chainFile, std::string& keyFile) {
  std::lock_guard<std::mutex> g(gCtxLock);
  if (!gServerCtx) return false;
  chainFile = gServerChainFile;
  keyFile = gServerKeyFile;
  return true;
}

bool NetTlsServerReady() { return ServerContext() != nullptr; }

namespace {

// Early in each handshake: the connection takes the current certificate, key and
// chain (each referenced, so a reload meanwhile frees nothing in use).
int TakeCurrentCertificate(SSL* ssl, int*, void*) {
  CtxPtr current = ServerContext();
  if (!current) return SSL_CLIENT_HELLO_SUCCESS;
  X509* cert = SSL_CTX_get0_certificate(current.get());
  EVP_PKEY* key = SSL_CTX_get0_privatekey(current.get());
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get0_chain_certs(current.get(), &chain);
  // On failure the connection keeps the certificate its context was made with.
  if (cert && key && SSL_use_cert_and_key(ssl, cert, key, chain, 1) != 1) ERR_clear_error();
  return SSL_CLIENT_HELLO_SUCCESS;
}

}  // namespace

void NetTlsFollowServerCertificate(SSL_CTX* ctx) {
  SSL_CTX_set_client_hello_cb(ctx, TakeCurrentCertificate, nullptr);
}

void NetTlsReset() {
  std::lock_guard<std::mutex> g(gCtxLock);
  gServerCtx.reset();
  gClientCtx.reset();
  gServerChainFile.clear();
  gServerKeyFile.clear();
}

bool NetTlsMakeSelfSigned(const std::string& commonName, const std::string& chainFile,
                          const std::string& keyFile, std::string& why) {
  constexpr long kValidSeconds = 10L * 365 * 24 * 3600;
  ERR_clear_error();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) {
    why = "Unable to make a TLS key: " + OpenSslReason();
    return false;
  }
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;  // a positive serial number
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof serial, nullptr),
                                                 BN_free);
  X509_set_version(cert.get(), 2);
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidSeconds);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  std::string cn = commonName.substr(0, 64);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  std::string san = "DNS:" + cn;
  for (auto [nid, value] : {std::pair<int, const char*>{NID_subject_alt_name, san.c_str()},
                            {NID_basic_constraints, "critical,CA:FALSE"},
                            {NID_key_usage, "critical,digitalSignature"},
                            {NID_ext_key_usage, "serverAuth,clientAuth"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (ext) {
      X509_add_ext(cert.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    why = "Unable to sign the TLS certificate: " + OpenSslReason();
    return false;
  }
  if (!WritePemFile(keyFile, 0600,
                    [&](FILE* f) {
                      return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr,
                                                  nullptr);
                    },
                    why))
    return false;
  return WritePemFile(chainFile, 0644, [&](FILE* f) { return PEM_write_X509(f, cert.get()); },
                      why);
}

std::string NetTlsFingerprint(const std::string& chainFile) {
  FILE* f = fopen(chainFile.c_str(), "r");
  if (!f) return "";
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  if (!cert) {
    ERR_clear_error();
    return "";
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  std::string out;
  if (X509_digest(cert, EVP_sha256(), md, &len) == 1) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned i = 0; i < len; ++i) {
      if (i) out += ':';
      out += kHex[md[i] >> 4];
      out += kHex[md[i] & 15];
    }
  }
  X509_free(cert);
  return out;
}

// ---- Nodes -------------------------------------------------------------------------

namespace {

// Creates the SSL object on the node's socket. Caller holds the send lock.
void ActivateTls(NetNode* n) {
  NetTls* t = n->tls.get();
  std::lock_guard<std::mutex> g(t->lock);
  t->pending = false;
  t->startTick = GetTickCount32();
  if (!SSL_set_fd(t->ssl, n->socket)) t->failed = true;
  // A handshake and each TLS record are small writes the peer answers: waiting to
  // coalesce them (Nagle's rule against delayed acknowledgements) costs 40 ms a turn.
  int on = 1;
  setsockopt(n->socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (t->server) SSL_set_accept_state(t->ssl);
  else SSL_set_connect_state(t->ssl);
}

// Logs a failed handshake once: the peer and OpenSSL's reason.
void ReportHandshakeFailure(NetTls* t, const std::string& reason) {
  if (t->failed) return;
  t->failed = true;
  LogEvent(0, kLogAlways, "TLS handshake with %s failed: %s", t->peer.c_str(), reason.c_str());
}

// The outcome of an SSL call as the ring code wants it: > 0 bytes, 0 peer closed,
// -1 would block, -2 broken.
int MapResult(NetTls* t, int rc) {
  if (rc > 0) {
    t->established = true;
    return rc;
  }
  int err = SSL_get_error(t->ssl, rc);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    if (!t->established && SSL_is_init_finished(t->ssl)) t->established = true;
    return -1;
  }
  if (err == SSL_ERROR_ZERO_RETURN) {
    ERR_clear_error();
    return 0;
  }
  if (!t->established) {
    ReportHandshakeFailure(t, OpenSslReason());
  } else {
    ERR_clear_error();
    t->failed = true;
  }
  // A clean TCP close without close_notify reads as the peer closing.
  return err == SSL_ERROR_SYSCALL && errno == 0 ? 0 : -2;
}

}  // namespace

bool NetStartTls(NetNode* node, bool server, std::string& why) {
  NodeRef n = DataRef(node);
  if (!n || n->deleted || !n->stream || n->listener) {
    why = "no such connection";
    return false;
  }
  CtxPtr ctx = server ? ServerContext() : ClientContext();
  if (!ctx) {
    why = "TLS is not available";
    return false;
  }
  SyncLockHold r(n->receiveLock);
  SyncLockHold s(n->sendLock);
  if (n->tls) {
    why = "TLS already started";
    return false;
  }
  std::unique_ptr<NetTls, NetTlsDeleter> t(new NetTls);
  t->ssl = SSL_new(ctx.get());
  if (!t->ssl) {
    why = "Unable to start TLS: " + OpenSslReason();
    return false;
  }
  t->server = server;
  sockaddr_in peer{};
  socklen_t plen = sizeof peer;
  if (getpeername(n->socket, reinterpret_cast<sockaddr*>(&peer), &plen) == 0)
    t->peer = NetAddressText(peer.sin_addr);
  // Whatever the peer sent after its command arrived in clear text.
  gDiscarded += n->receive.queued;
  RingSkip(n->receive, n->receive.queued);
  n->tls = std::move(t);
  n->tls->startTick = GetTickCount32();
  if (n->send.queued > 0) n->tls->pending = true;
  else ActivateTls(n.get());
  return true;
}

bool NetStartTlsOnSocket(int socket, bool server, std::string& why) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n) {
    why = "no such connection";
    return false;
  }
  return NetStartTls(n.get(), server, why);
}

bool NetNodeUsesTls(NetNode* node) {
  NodeRef n = DataRef(node);
  if (!n) return false;
  SyncLockHold s(n->sendLock);
  return n->tls != nullptr;
}

bool NetTlsDescribe(NetNode* node, std::string& version, std::string& cipher) {
  NodeRef n = DataRef(node);
  if (!n) return false;
  SyncLockHold s(n->sendLock);
  if (!n->tls) return false;
  std::lock_guard<std::mutex> g(n->tls->lock);
  if (!n->tls->established || !SSL_is_init_finished(n->tls->ssl)) return false;
  version = SSL_get_version(n->tls->ssl);
  const char* c = SSL_get_cipher_name(n->tls->ssl);
  cipher = c ? c : "";
  return true;
}

uint64_t NetTlsDiscardedBytes() { return gDiscarded.load(); }

// ---- The layer's side (net_internal.h) -----------------------------------------------

bool TlsActive(NetNode* n) { return n->tls && !n->tls->pending; }

void TlsActivateIfDrained(NetNode* n) {
  if (n->tls && n->tls->pending && n->send.queued == 0) ActivateTls(n);
}

int TlsReceive(NetNode* n, char* buffer, uint32_t length) {
  NetTls* t = n->tls.get();
  std::lock_guard<std::mutex> g(t->lock);
  if (t->failed) return -2;
  ERR_clear_error();
  errno = 0;
  int rc = SSL_read(t->ssl, buffer, int(length));
  if (rc <= 0 && !t->established && SSL_is_init_finished(t->ssl)) t->established = true;
  return MapResult(t, rc);
}

int TlsSend(NetNode* n, const char* bytes, uint32_t length) {
  NetTls* t = n->tls.get();
  std::lock_guard<std::mutex> g(t->lock);
  if (t->failed) return -2;
  ERR_clear_error();
  errno = 0;
  int rc = SSL_write(t->ssl, bytes, int(length));
  return MapResult(t, rc);
}

bool TlsHandshakeOverdue(NetNode* n, uint32_t now) {
  if (!n->tls) return false;
  NetTls* t = n->tls.get();
  std::lock_guard<std::mutex> g(t->lock);
  if (t->established || t->failed) return false;
  if (TickElapsed(now, t->startTick) < kNetTlsHandshakeMs) return false;
  ReportHandshakeFailure(t, "handshake timed out");
  return true;
}

bool TlsHandshakeDone(NetNode* n) {
  if (!n->tls) return true;
  std::lock_guard<std::mutex> g(n->tls->lock);
  return n->tls->established;
}

void TlsShutdown(NetNode* n) {
  if (!TlsActive(n)) return;
  NetTls* t = n->tls.get();
  std::lock_guard<std::mutex> g(t->lock);
  if (t->established && !t->failed) {
    ERR_clear_error();
    SSL_shutdown(t->ssl);  // one close_notify, not waiting for the peer's
    ERR_clear_error();
  }
}
