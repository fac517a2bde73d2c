// STARTTLS and AUTH for SMTP server sessions.
#include "server/smtp/smtp_auth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/net/net.h"
#include "server/net/net_tls.h"
#include "server/smtp/smtp_words.h"

namespace {

constexpr uint32_t kPopAccessBit = 0x01;  // the account may use POP3 (and AUTH)

enum AuthMechanism : int { kMechNone = 0, kMechPlain, kMechLogin, kMechCram };

struct MechanismName {
  const char* name;
  AuthMechanism mechanism;
};
constexpr MechanismName kMechanisms[] = {
    {"PLAIN", kMechPlain}, {"LOGIN", kMechLogin}, {"CRAM-MD5", kMechCram}};
constexpr const char* kAuthLine = "AUTH PLAIN LOGIN CRAM-MD5";

// LOGIN's prompts, base64 of "Username:" and "Password:".
constexpr const char* kLoginUserPrompt = "VXNlcm5hbWU6";
constexpr const char* kLoginPasswordPrompt = "UGFzc3dvcmQ6";

std::mutex gFailureLock;
std::unordered_map<uint32_t, std::deque<uint32_t>> gFailures;

bool IsLoopback(const in_addr& a) { return (ntohl(a.s_addr) >> 24) == 127; }

// AUTH is offered inside TLS, or in clear text on loopback when the switch allows it.
bool AuthOffered(const SmtpSession& s) {
  const Settings& st = ServerSettings();
  if (!st.useTls) return false;
  return s.tlsOn || (st.smtpAuthClearLoopback && IsLoopback(s.peer));
}

void Wipe(std::string& secret) { std::fill(secret.begin(), secret.end(), '\0'); }

// Forgets HELO/EHLO, any authentication and the relay right AUTH gave.
void ResetAfterStartTls(SmtpSession& s, int32_t& state) {
  s.isEsmtp = false;
  s.verified = false;
  s.remoteHost.clear();
  s.hasReplay = false;
  s.replay.clear();
  s.authAccount.clear();
  s.authMechanism = kMechNone;
  s.receiveStep = kRcvFrom;
  s.relayAllowed = IsRelayClient(s.peer, ParseRelayNetworks(ServerSettings().relayNetworks));
  state = kSmtpWaitForHello;
}

void StartTls(SmtpSession& s, NetNode* node, int32_t& state, const SmtpCommand& cmd) {
  const Settings& st = ServerSettings();
  if (s.tlsOn) {
    SendCommand(s, node, kReplyBadSequence);
    return;
  }
  if (!cmd.argument.empty()) {
    SendCommand(s, node, kReplyParamSyntax);
    return;
  }
  if (!st.useTls || !NetTlsServerReady()) {
    SendCommand(s, node, kReplyTlsUnavailable);
    return;
  }
  SendCommand(s, node, kReplyReadyTls);
  std::string why;
  if (!NetStartTls(node, true, why)) {
    LogEvent(0, kLogSmtpGeneral, "%04x: Unable to start TLS: %s", s.id, why.c_str());
    state = kSmtpCloseNow;
    s.closing = true;
    return;
  }
  s.tlsOn = true;
  LogEvent(0, kLogSmtpGeneral, "%04x: Starting TLS.", s.id);
  ResetAfterStartTls(s, state);
}

void Succeed(SmtpSession& s, NetNode* node, const char* mechanism, const std::string& account) {
  s.authAccount = account;
  s.relayAllowed = true;
  LogEvent(0, kLogAlways, "%04x: AUTH %s: authenticated as %s.", s.id, mechanism,
           VisibleText(account).c_str());
  SendCommand(s, node, kReplyAuthOk);
}

const char* MechanismText(int m) {
  for (const MechanismName& n : kMechanisms)
    if (n.mechanism == m) return n.name;
  return "?";
}

// A failed check: counted against the address, answered after the delay.
void Fail(SmtpSession& s, int32_t& state, const std::string& user) {
  uint32_t now = GetTickCount32();
  RecordAuthFailure(s.peer, now);
  LogEvent(0, kLogAlways, "%04x: AUTH %s for %s from %s failed.", s.id,
           MechanismText(s.authMechanism), VisibleText(user).c_str(),
           NetAddressText(s.peer).c_str());
  s.authDueTick = now;
  state = kSmtpAuthDelay;
}

// Checks PLAIN's response: authzid NUL authcid NUL password.
void FinishPlain(SmtpSession& s, NetNode* node, int32_t& state, std::string& decoded) {
  size_t a = decoded.find('\0');
  size_t b = a == std::string::npos ? a : decoded.find('\0', a + 1);
  std::string user, password;
  if (b != std::string::npos) {
    std::string authz = decoded.substr(0, a);
    user = decoded.substr(a + 1, b - a - 1);
    password = decoded.substr(b + 1);
    // Acting for another account is not offered.
    if (!authz.empty() && strcasecmp(authz.c_str(), user.c_str()) != 0) user.clear();
  }
  Wipe(decoded);
  std::string account;
  bool ok = !user.empty() && CheckSmtpCredentials(user, password, account);
  Wipe(password);
  state = kSmtpReceiving;
  if (ok) Succeed(s, node, "PLAIN", account);
  else Fail(s, state, user);
}

void BeginAuth(SmtpSession& s, NetNode* node, int32_t& state, const SmtpCommand& cmd) {
  if (!AuthOffered(s)) {
    SendCommand(s, node, ServerSettings().useTls ? kReplyTlsFirst : kReplySyntax);
    return;
  }
  if (!s.authAccount.empty() || !s.isEsmtp) {
    SendCommand(s, node, kReplyBadSequence);
    return;
  }
  if (AuthFailuresExceeded(s.peer, GetTickCount32())) {
    LogEvent(0, kLogSmtpGeneral, "%04x: AUTH refused: too many failures from %s.", s.id,
             NetAddressText(s.peer).c_str());
    SendCommand(s, node, kReplyAuthTooMany);
    return;
  }
  std::string_view word = FirstWord(cmd.argument);
  std::string_view initial = cmd.argument.substr(std::min(cmd.argument.size(), word.size()));
  while (!initial.empty() && (initial[0] == ' ' || initial[0] == '\t')) initial.remove_prefix(1);
  s.authMechanism = kMechNone;
  for (const MechanismName& m : kMechanisms)
    if (word.size() == strlen(m.name) && strncasecmp(word.data(), m.name, word.size()) == 0)
      s.authMechanism = m.mechanism;
  s.authUser.clear();
  s.authStep = 0;
  switch (s.authMechanism) {
    case kMechPlain:
      if (initial.empty()) {
        SendCommand(s, node, kReplyAuthChallenge);
        state = kSmtpAuthExchange;
        return;
      }
      if (initial == "=") initial = {};
      {
        std::string decoded;
        if (!DecodeBase64(initial, decoded)) {
          SendCommand(s, node, kReplyParamSyntax);
          return;
        }
        FinishPlain(s, node, state, decoded);
      }
      return;
    case kMechLogin:
      if (!initial.empty()) {
        if (!DecodeBase64(initial, s.authUser)) {
          SendCommand(s, node, kReplyParamSyntax);
          return;
        }
        s.authStep = 1;
        SendCommand(s, node, kReplyAuthChallenge, kLoginPasswordPrompt);
      } else {
        SendCommand(s, node, kReplyAuthChallenge, kLoginUserPrompt);
      }
      state = kSmtpAuthExchange;
      return;
    case kMechCram: {
      unsigned char r[8];
      RAND_bytes(r, sizeof r);
      uint64_t v;
      memcpy(&v, r, sizeof v);
      s.authChallenge = FormatText("<%llu.%lu@%s>", (unsigned long long)(v >> 1),
                                   (unsigned long)GetTickCount32(),
                                   ServerSettings().localNode.c_str());
      SendCommand(s, node, kReplyAuthChallenge, EncodeBase64(s.authChallenge));
      state = kSmtpAuthExchange;
      return;
    }
    default:
      SendCommand(s, node, kReplyAuthMechanism);
      return;
  }
}

// One response line of the exchange (never logged: it carries the password).
SmtpStep AuthExchange(SmtpSession& s, NetNode* node, int32_t& state) {
  int n = NetReadLine(node, s.line.get(), int(kSmtpLineSize - 1));
  if (n == -1) return SmtpStep::kStop;
  if (n == -2) {
    s.discardingLine = true;
    return SmtpStep::kContinue;
  }
  std::string_view line(s.line.get(), size_t(n));
  if (s.discardingLine) {
    s.discardingLine = false;
    SendCommand(s, node, kReplyParamSyntax);
    state = kSmtpReceiving;
    return SmtpStep::kContinue;
  }
  if (line == "*") {
    SendCommand(s, node, kReplyAuthCancelled);
    state = kSmtpReceiving;
    return SmtpStep::kContinue;
  }
  std::string decoded;
  if (!DecodeBase64(line, decoded)) {
    memset(s.line.get(), 0, size_t(n));
    SendCommand(s, node, kReplyParamSyntax);
    state = kSmtpReceiving;
    return SmtpStep::kContinue;
  }
  memset(s.line.get(), 0, size_t(n));
  switch (s.authMechanism) {
    case kMechPlain:
      FinishPlain(s, node, state, decoded);
      break;
    case kMechLogin:
      if (s.authStep == 0) {
        s.authUser = decoded;
        s.authStep = 1;
        SendCommand(s, node, kReplyAuthChallenge, kLoginPasswordPrompt);
      } else {
        std::string account;
        bool ok = CheckSmtpCredentials(s.authUser, decoded, account);
        Wipe(decoded);
        state = kSmtpReceiving;
        if (ok) Succeed(s, node, "LOGIN", account);
        else Fail(s, state, s.authUser);
      }
      break;
    case kMechCram: {
      size_t blank = decoded.rfind(' ');
      std::string user = blank == std::string::npos ? "" : decoded.substr(0, blank);
      std::string digest = blank == std::string::npos ? "" : decoded.substr(blank + 1);
      std::string account;
      bool ok = !user.empty() && CheckCramMd5(user, s.authChallenge, digest, account);
      state = kSmtpReceiving;
      if (ok) Succeed(s, node, "CRAM-MD5", account);
      else Fail(s, state, user);
      break;
    }
    default:
      state = kSmtpReceiving;
      break;
  }
  return SmtpStep::kContinue;
}

}  // namespace

std::string SecureEhloLines(const SmtpSession& s) {
  const Settings& st = ServerSettings();
  if (!st.useTls) return "";
  std::string out;
  if (!s.tlsOn && NetTlsServerReady()) out += "\nSTARTTLS";
  if (AuthOffered(s)) out += std::string("\n") + kAuthLine;
  return out;
}

bool HandleSecureCommand(SmtpSession& s, NetNode* node, int32_t& state, const SmtpCommand& cmd) {
  if (!ServerSettings().useTls) return false;
  if (cmd.token == kTokStartTls) {
    StartTls(s, node, state, cmd);
    return true;
  }
  if (cmd.token == kTokAuth) {
    BeginAuth(s, node, state, cmd);
    return true;
  }
  return false;
}

bool MailNeedsAuth(const SmtpSession& s) {
  return s.portKind == int(SmtpPortKind::kSubmission) && s.authAccount.empty();
}

std::string TlsReceivedComment(const SmtpSession& s, NetNode* node) {
  std::string version, cipher;
  if (!s.tlsOn || !NetTlsDescribe(node, version, cipher)) return "";
  std::string out = " (using " + version + " with cipher " + cipher + ")";
  if (!s.authAccount.empty()) out += " (authenticated)";
  return out;
}

SmtpStep RunAuthState(SmtpSession& s, NetNode* node, int32_t& state) {
  if (state == kSmtpAuthDelay) {
    // The network layer runs an idle round every kNetIdleRoundMs: no thread sleeps.
    if (TickElapsed(GetTickCount32(), s.authDueTick) < kAuthFailureDelayMs) return SmtpStep::kStop;
    SendCommand(s, node, kReplyAuthFailed);
    state = kSmtpReceiving;
    return SmtpStep::kContinue;
  }
  return AuthExchange(s, node, state);
}

bool StartImplicitTls(SmtpSession& s) {
  std::string why;
  if (!NetStartTlsOnSocket(s.socket, true, why)) {
    LogEvent(0, kLogSmtpGeneral, "%04x: Unable to start TLS: %s", s.id, why.c_str());
    return false;
  }
  s.tlsOn = true;
  return true;
}

bool CheckSmtpCredentials(const std::string& user, const std::string& password,
                          std::string& account) {
  std::string name = LowerAscii(user);
  std::string stored, display;
  if (name.empty() || !GetUserName(name, display, "") || !GetPassword(name, stored, ""))
    return false;
  if (!(GetUserAccess(name, "") & kPopAccessBit)) return false;
  // POP3 lets an account without a password in with any; relaying for anyone who
  // knows an account name would make an open relay, so AUTH does not.
  if (stored.empty() || !CheckPassword(name, password, stored, "")) return false;
  if (!ResolveAccountName(name, account, "")) account = name;
  return true;
}

bool CheckCramMd5(const std::string& user, const std::string& challenge,
                  const std::string& digest, std::string& account) {
  std::string name = LowerAscii(user);
  std::string stored, clear, resolved, display;
  if (name.empty() || !GetUserName(name, display, "") || !ResolveAccountName(name, resolved, "") ||
      !GetPassword(name, stored, "") ||
      !UnscramblePassword(LowerAscii(resolved), stored, clear))
    return false;
  if (!(GetUserAccess(name, "") & kPopAccessBit) || clear.empty()) {
    Wipe(clear);
    return false;
  }
  unsigned char mac[EVP_MAX_MD_SIZE];
  size_t len = 0;
  bool made = EVP_Q_mac(nullptr, "HMAC", nullptr, "MD5", nullptr, clear.data(), clear.size(),
                        reinterpret_cast<const unsigned char*>(challenge.data()),
                        challenge.size(), mac, sizeof mac, &len) != nullptr;
  Wipe(clear);
  if (!made) return false;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < len; ++i) {
    hex += kHex[mac[i] >> 4];
    hex += kHex[mac[i] & 15];
  }
  if (hex.size() != digest.size() || CRYPTO_memcmp(hex.data(), digest.data(), hex.size()) != 0)
    return false;
  account = resolved;
  return true;
}

bool AuthFailuresExceeded(const in_addr& peer, uint32_t now) {
  std::lock_guard<std::mutex> g(gFailureLock);
  auto it = gFailures.find(peer.s_addr);
  if (it == gFailures.end()) return false;
  auto& q = it->second;
  while (!q.empty() && TickElapsed(now, q.front()) >= kAuthFailureWindowMs) q.pop_front();
  if (q.empty()) {
    gFailures.erase(it);
    return false;
  }
  return int(q.size()) >= kAuthFailureLimit;
}

void RecordAuthFailure(const in_addr& peer, uint32_t now) {
  std::lock_guard<std::mutex> g(gFailureLock);
  auto& q = gFailures[peer.s_addr];
  q.push_back(now);
  while (int(q.size()) > kAuthFailureLimit) q.pop_front();
}

void ResetAuthFailures() {
  std::lock_guard<std::mutex> g(gFailureLock);
  gFailures.clear();
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
  out.resize(size_t(n));
  return out;
}

bool DecodeBase64(std::string_view text, std::string& out) {
  out.clear();
  if (text.size() % 4 != 0 || text.size() > kAuthLineMax) return false;
  if (text.empty()) return true;
  size_t pad = 0;
  if (text.back() == '=') ++pad;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++pad;
  for (size_t i = 0; i < text.size() - pad; ++i)
    if (!(isalnum(static_cast<unsigned char>(text[i])) || text[i] == '+' || text[i] == '/'))
      return false;
  out.resize(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0 || size_t(n) < pad) {
    out.clear();
    return false;
  }
  out.resize(size_t(n) - pad);
  return true;
}
