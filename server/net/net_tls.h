// TLS for network nodes. A node that starts TLS keeps its rings: the layer decrypts
// what arrives into the receive ring and encrypts what leaves the send ring, so the
// SMTP and POP3 code above reads and writes clear text as before. The engine runs
// OpenSSL on the node's non-blocking socket, driven by the same event loop: a read
// or write that would block simply waits for the next event on the socket.
//
// Contexts: one server context (certificate chain and key, TLS 1.2 and 1.3 only,
// OpenSSL's default secure cipher list, session tickets on) and one client context
// (no certificate check, as between mail servers). The server context can be
// replaced while nodes use the old one (a reload); each node holds its own reference.
//
// Everything that touches a node's TLS state runs under the node's ring locks, so
// only the node's own task and handlers ever drive it.
#pragma once

#include <cstdint>
#include <string>

struct NetNode;
struct ssl_ctx_st;  // OpenSSL's SSL_CTX

// The handshake must finish within this time, else the connection is closed.
inline constexpr uint32_t kNetTlsHandshakeMs = 30000;

// The node's TLS state (opaque outside net_tls.cpp).
struct NetTls;
// Frees a node's TLS state (the node's deleter).
void FreeNetTls(NetTls* tls);

// ---- Contexts ------------------------------------------------------------------

// Builds the server context from a PEM chain and a PEM key and makes it current.
// False with `why` on failure; a key that does not match its certificate names both
// files. The previous context stays in use then.
bool NetTlsLoadServerCertificate(const std::string& chainFile, const std::string& keyFile,
                                 std::string& why);
// True once a server context was loaded.
bool NetTlsServerReady();
// The chain and key files the current server context was loaded from; false when
// none is loaded.
bool NetTlsServerFiles(std::string& chainFile, std::string& keyFile);
// Sets up another server context the way the mail listeners' is (TLS 1.2 and 1.3,
// the default secure ciphers, session tickets) with that chain and key: for the
// web console, whose library makes its own context. False with `why` as
// NetTlsLoadServerCertificate.
bool NetTlsSetUpServerContext(ssl_ctx_st* ctx, const std::string& chainFile,
                              const std::string& keyFile, std::string& why);
// Makes every handshake on `ctx` (the web console's) present the mail listeners'
// current certificate, so a reload of theirs reaches it without a restart.
void NetTlsFollowServerCertificate(ssl_ctx_st* ctx);
// Drops the server and client contexts (nodes keep theirs until they end).
void NetTlsReset();

// Makes a self-signed certificate for `commonName` (EC P-256, ten years, the name
// also as a subject alternative name) and writes it and its key (mode 0600) as PEM.
// False with `why` on failure; nothing half-written is left under the final names.
bool NetTlsMakeSelfSigned(const std::string& commonName, const std::string& chainFile,
                          const std::string& keyFile, std::string& why);
// The SHA-256 fingerprint of the first certificate of a PEM file
// ("AB:CD:..."); empty when it cannot be read.
std::string NetTlsFingerprint(const std::string& chainFile);

// ---- Nodes ---------------------------------------------------------------------

// Starts TLS on a connected TCP node (`server` side, or client side). Input already
// in the receive ring is dropped: bytes pipelined behind a STARTTLS or STLS command
// were sent in clear text and must never be read as commands. Output already queued
// (the "220 Ready to start TLS" line) still leaves in clear text before the
// handshake begins. False with `why` when the node is gone, already uses TLS or no
// context is loaded.
bool NetStartTls(NetNode* node, bool server, std::string& why);
// NetStartTls for the node of `socket`: implicit TLS starts here, in OnAccept, before
// the node reads a byte (a ClientHello must never land in the clear-text ring).
bool NetStartTlsOnSocket(int socket, bool server, std::string& why);
// True when the node uses TLS (the handshake may still be running).
bool NetNodeUsesTls(NetNode* node);
// The protocol version and cipher of a finished handshake ("TLSv1.3",
// "TLS_AES_256_GCM_SHA384"); false while there is none.
bool NetTlsDescribe(NetNode* node, std::string& version, std::string& cipher);
// The count of bytes dropped from the receive ring when TLS started (tests).
uint64_t NetTlsDiscardedBytes();
