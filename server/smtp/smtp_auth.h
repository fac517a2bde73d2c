// STARTTLS (RFC 3207) and SMTP AUTH (RFC 4954) on the server side, and the
// listeners' kinds (plain SMTP, submission, implicit TLS). None of it is offered
// unless UseTls is on, so a configuration without it answers exactly as before.
//
// AUTH takes the accounts' POP3 credentials: PLAIN, LOGIN and CRAM-MD5 (the stored
// passwords can be turned back into clear text, as APOP already relies on). It is
// offered inside TLS only, or in clear text on loopback with SmtpAuthClearLoopback.
// A failure is answered 535 after kAuthFailureDelayMs; a client address with
// kAuthFailureLimit failures within kAuthFailureWindowMs gets 454 without a check.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "server/smtp/smtp_session.h"

inline constexpr uint32_t kAuthFailureDelayMs = 1000;
inline constexpr int kAuthFailureLimit = 10;
inline constexpr uint32_t kAuthFailureWindowMs = 10 * 60 * 1000;
inline constexpr size_t kAuthLineMax = 2047;  // an AUTH response line, base64

// What the listener a session came through asks of it.
enum class SmtpPortKind : int {
  kPlain = 0,       // port 25: STARTTLS and AUTH when offered
  kSubmission = 1,  // 587: AUTH required before MAIL
  kImplicitTls = 2, // 465: TLS from the first byte
};

// The ESMTP lines STARTTLS and AUTH add to an EHLO reply ("\nSTARTTLS",
// "\nAUTH PLAIN LOGIN CRAM-MD5"); empty when the session is offered neither.
std::string SecureEhloLines(const SmtpSession& s);

// Handles STARTTLS and AUTH in the mail-transaction state (no transaction open).
// True when it took the command.
bool HandleSecureCommand(SmtpSession& s, NetNode* node, int32_t& state, const SmtpCommand& cmd);

// True when MAIL must be refused with "530 Authentication required" (submission
// without AUTH).
bool MailNeedsAuth(const SmtpSession& s);

// The comment the Received line gets for a TLS session ("TLSv1.3 with cipher X"),
// empty without TLS.
std::string TlsReceivedComment(const SmtpSession& s, NetNode* node);

// Runs the AUTH exchange states (kSmtpAuthExchange, kSmtpAuthDelay).
SmtpStep RunAuthState(SmtpSession& s, NetNode* node, int32_t& state);

// Starts TLS on an implicit-TLS session as it is accepted, before a byte is read.
// False when it could not (the caller refuses the connection).
bool StartImplicitTls(SmtpSession& s);

// The credentials check of AUTH: `user` (aliases followed) exists, has the
// POP3 access bit and a non-empty password equal to `password`. `account` gets
// the resolved account name.
bool CheckSmtpCredentials(const std::string& user, const std::string& password,
                          std::string& account);
// CRAM-MD5: the HMAC-MD5 of `challenge` keyed with the user's clear password, as
// 32 lower-case hex digits, compared with `digest`.
bool CheckCramMd5(const std::string& user, const std::string& challenge,
                  const std::string& digest, std::string& account);

// The failure limiter, by client address (tests reset it).
bool AuthFailuresExceeded(const in_addr& peer, uint32_t now);
void RecordAuthFailure(const in_addr& peer, uint32_t now);
void ResetAuthFailures();

// Base64 (RFC 4648) for the AUTH exchange. Decode: false on a bad character or
// length.
std::string EncodeBase64(std::string_view bytes);
bool DecodeBase64(std::string_view text, std::string& out);
