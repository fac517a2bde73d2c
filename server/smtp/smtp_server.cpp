// The SMTP server: listener, accept, greeting, HELO/EHLO, host verification, the
// HELO reply, EXPN expansion, QUIT and the close handler.
#include "server/smtp/smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/errors.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/core/strings.h"
#include "server/lists/membership.h"
#include "server/net/net.h"
#include "server/smtp/smtp_auth.h"
#include "server/smtp/smtp_client.h"
#include "server/smtp/smtp_receive.h"

namespace {

// Texts of the string table used here.
enum : unsigned {
  kStrSmtpSocketFailed = 5021,
  kStrSmtpBindFailed = 5022,
  kStrSmtpNodeFailed = 5023,
  kStrSmtpListenFailed = 5024,
  kStrTerminatedOpening = 5025,
  kStrTerminatedInState = 5027,
  kStrTerminatedUnexpectedly = 5028,
  kStrAcceptFailed = 5029,
  kStrConnectionEstablished = 5035,
  kStrVerificationFor = 5036,
  kStrVerifiedHostname = 5041,
  kStrAccepting = 5054,
  kStrEsmtpReception = 5237,
  kStrSmtpReception = 5238,
};

constexpr size_t kGreetingMax = 300;
constexpr int kListenBacklog = SOMAXCONN;
constexpr const char* kEsmtpSpoken = "ESMTP spoken here";

std::atomic<int> gListenerPort{0};
std::once_flag gRegistered;

bool DefaultReverseLookup(const in_addr& address, std::string& name,
                          std::vector<std::string>& aliases, int& wsaError) {
  aliases.clear();
  return NetReverseLookup(address, name, wsaError);
}
std::atomic<SmtpReverseLookupFn> gReverseLookup{nullptr};

std::string Text(unsigned id) {
  const char* t = LoadStringResource(id);
  return t ? t : "";
}

std::string PeerText(const SmtpSession& s) { return NetAddressText(s.peer); }
std::string Bracketed(const SmtpSession& s) { return "[" + PeerText(s) + "]"; }

// ---- States --------------------------------------------------------------------

SmtpStep SendGreeting(SmtpSession& s, NetNode* node, int32_t& state) {
  const Settings& st = ServerSettings();

  std::string greeting = FormatText("%s Smtp Server %s v%s Ready", st.localNode.c_str(),
                                    st.productName.c_str(), st.productVersion.c_str());
  if (greeting.size() > kGreetingMax) greeting.resize(kGreetingMax);
  if (st.useEsmtpProtocol)
    SendMultiline(s, node, "220-", greeting + "\n" + kEsmtpSpoken);
  else
    SendCommand(s, node, kReplyGreeting, greeting);
  state = kSmtpWaitForHello;
  return SmtpStep::kContinue;
}

void LookUpPeer(SmtpSession& s) {
  LogEvent(0, kLogAlways, "%04x: Getting host information for: %s(%s)", s.id,
           s.remoteHost.c_str(), PeerText(s).c_str());
  SmtpReverseLookupFn fn = gReverseLookup.load();
  if (!fn) fn = DefaultReverseLookup;
  std::string name;
  int err = 0;
  s.verifyAliases.clear();
  bool ok = fn(s.peer, name, s.verifyAliases, err);
  s.verifyError = ok ? 0 : (err ? err : kWsaNoData);
  s.verifyName = ok ? name : "";
  LogEvent(0, kLogAlways, "%04x: Received host information for: %s(%s)", s.id,
           s.remoteHost.c_str(), PeerText(s).c_str());
}

SmtpStep WaitForHello(SmtpSession& s, NetNode* node, int32_t& state) {
  SmtpCommand cmd;
  SmtpRead r = ReadSmtpCommand(s, node, cmd);
  if (r == SmtpRead::kNone) return SmtpStep::kStop;
  if (r == SmtpRead::kTooLong) return SmtpStep::kContinue;
  if (HandleCommonCommand(s, node, state, cmd)) return SmtpStep::kContinue;
  const Settings& st = ServerSettings();
  if (cmd.token == kTokHelo || cmd.token == kTokEhlo) {
    if (!st.useEsmtpProtocol && cmd.token == kTokEhlo) {
      SendCommand(s, node, kReplySyntax);
      return SmtpStep::kContinue;
    }
    std::string claimed(FirstWord(cmd.argument));
    if (claimed.empty() && st.strictSmtpAdherence) {
      SendCommand(s, node, kReplySyntax);
      return SmtpStep::kContinue;
    }
    if (st.useEsmtpProtocol) {
      s.isEsmtp = cmd.token == kTokEhlo;
      LogEvent(0, kLogSmtpGeneral, s.isEsmtp ? kStrEsmtpReception : kStrSmtpReception, s.id);
    }
    // A HELO without a name still needs one for the Received line.
    s.remoteHost = claimed.empty() ? Bracketed(s) : claimed.substr(0, kSmtpRemoteHostMax);
    s.heloName = claimed.substr(0, kSmtpRemoteHostMax);
    LogEvent(0, kLogSmtpGeneral, kStrConnectionEstablished, s.id, s.remoteHost.c_str(),
             PeerText(s).c_str());
    if (!st.verifyIncoming) {
      LogEvent(0, kLogAlways, "%04x: No remote host verification.", s.id);
      state = kSmtpConfirmHello;
    } else {
      LookUpPeer(s);
      state = kSmtpVerifyHost;
    }
    return SmtpStep::kContinue;
  }
  if (cmd.token == kTokMail && !st.strictSmtpAdherence) {
    s.remoteHost = Bracketed(s);
    LogEvent(0, kLogSmtpGeneral, kStrConnectionEstablished, s.id, s.remoteHost.c_str(),
             PeerText(s).c_str());
    LogEvent(0, kLogSmtpGeneral, kStrSmtpReception, s.id);
    s.isEsmtp = false;
    s.replay.assign(cmd.line);
    s.hasReplay = true;
    s.receiveStep = kRcvFrom;
    state = kSmtpReceiving;
    return SmtpStep::kContinue;
  }
  SendCommand(s, node, kReplySyntax);
  LogEvent(0, kLogSmtpGeneral, "Illegal command: WaitForHello-> '%.*s %.*s'", int(cmd.word.size()),
           cmd.word.data(), int(cmd.argument.size()), cmd.argument.data());
  return SmtpStep::kContinue;
}

SmtpStep VerifyHost(SmtpSession& s, NetNode*, int32_t& state) {
  bool verified = false;
  if (s.verifyError != 0 && s.verifyError != kWsaNoData) {
    LogEvent(0, kLogAlways, "%04x: Verification: system error.", s.id);
  } else if (s.verifyError == kWsaNoData) {
    LogEvent(0, kLogAlways, "%04x: %s", s.id, "Error: Unable to find record for host.");
  } else if (s.verifyName.empty()) {
    LogEvent(0, kLogAlways, "%04x: %s", s.id, "No data was found for requested information.");
  } else {
    bool match = strcasecmp(s.remoteHost.c_str(), s.verifyName.c_str()) == 0;
    for (size_t i = 0; !match && i < s.verifyAliases.size(); ++i)
      match = strcasecmp(s.remoteHost.c_str(), s.verifyAliases[i].c_str()) == 0;
    if (match) {
      LogEvent(0, kLogAlways, "%s matches found hostname %s.", s.remoteHost.c_str(),
               s.verifyName.c_str());
    } else {
      LogEvent(0, kLogAlways, "%s doesn't match. Using found: %s", s.remoteHost.c_str(),
               s.verifyName.c_str());
      s.remoteHost = s.verifyName.substr(0, kSmtpRemoteHostMax);
    }
    verified = true;
    LogEvent(0, kLogAlways, "%04x: Verification: success: %d.", s.id, 1);
  }
  if (!verified) s.remoteHost = Bracketed(s);
  s.verified = true;
  s.verifyAliases.clear();
  LogEvent(0, kLogAlways, "%04x: Going to helo confirm state.", s.id);
  state = kSmtpConfirmHello;
  return SmtpStep::kContinue;
}

SmtpStep ConfirmHello(SmtpSession& s, NetNode* node, int32_t& state) {
  const Settings& st = ServerSettings();
  std::string text;
  if (st.verifyIncoming) text = FormatText(Text(kStrVerifiedHostname).c_str(), s.remoteHost.c_str());
  std::string sent;
  if (s.isEsmtp) {
    std::string reply = st.localNode + " says hello " + text;
    for (size_t i = 0; i < kSmtpExtensionCount; ++i) {
      const SmtpExtension& e = kSmtpExtensions[i];
      if (!(SmtpExtensionMask() & e.bit)) continue;
      // Handing the session over is never offered while extended SMTP is on.
      if (e.bit == kExtTurn) continue;
      reply += "\n";
      reply += e.keyword;
      if (e.bit == kExtSize && st.broadcastSize && st.doEsmtpSize)
        reply += FormatText(" %ld", st.maxEsmtpSize);
    }
    reply += SecureEhloLines(s);
    SendMultiline(s, node, "250-", reply);
    sent = reply;
  } else {
    SendCommand(s, node, kReplyHelo, text);
    sent = text;
  }
  if (st.verifyIncoming) {
    LogEvent(0, kLogAlways, s.isEsmtp ? "%04x: Confirm-multi: %s." : "%04x: Confirm-send: %s.",
             s.id, text.c_str());
    LogEvent(0, kLogAlways, kStrVerificationFor, s.id, s.remoteHost.c_str(), PeerText(s).c_str(),
             text.c_str());
  } else {
    LogEvent(0, kLogAlways, s.isEsmtp ? "%04x: multi, no verify" : "%04x: send, no verify", s.id);
  }
  s.receiveStep = kRcvFrom;
  state = kSmtpReceiving;
  return SmtpStep::kContinue;
}

// ---- EXPN ----------------------------------------------------------------------

// Sends one expansion line; every line but the reply's last has a "-" after
// its code.
bool SendExpandLine(SmtpSession& s, NetNode* node, std::string line, bool last) {
  if (!last && line.size() > 3) line[3] = '-';
  return SendCommand(s, node, kLineAsIs, line);
}

SmtpStep ExpandList(SmtpSession& s, NetNode* node, int32_t& state) {
  const std::string& host = ServerSettings().localNode;
  auto finish = [&]() {
    state = s.expandReturnState;
    s.expandName.clear();
    s.expandPendingLine.clear();
    s.expandMembers.clear();
    return SmtpStep::kContinue;
  };
  if (s.expandType != kAccountList) {
    SendExpandLine(s, node, FormatText("250 <%s@%s>", s.expandName.c_str(), host.c_str()), true);
    return finish();
  }
  if (s.expandPasses == 0) {
    // The members are read once, in one enumeration; later passes go on from there.
    ListRef list;
    MemberTable members;
    if (!ResolveList(s.expandName, "", list) || !ReadListMembers(list, false, members) ||
        !members.present) {
      SendExpandLine(s, node,
                     FormatText("550 Error accessing list for <%s>", s.expandName.c_str()), true);
      return finish();
    }
    if (members.actualUsers <= 0) {
      SendExpandLine(s, node,
                     FormatText("550 No members in list for <%s>", s.expandName.c_str()), true);
      return finish();
    }
    s.expandMembers.clear();
    for (const MemberRecord& r : members.records) {
      // A record without its address field, or a concealed member, is not shown.
      if (r.wellFormed && r.text.find(';', r.text.find(';') + 1) != std::string::npos &&
          !(r.flags & kMemberConceal))
        s.expandMembers.push_back(r.address);
    }
    s.expandIndex = 0;
  }
  ++s.expandPasses;
  int sentThisPass = 0;
  while (s.expandIndex < int(s.expandMembers.size())) {
    const std::string& address = s.expandMembers[size_t(s.expandIndex)];
    std::string line = address.find('@') == std::string::npos
                           ? FormatText("250 <%s@%s>", address.c_str(), host.c_str())
                           : FormatText("250 <%s>", address.c_str());
    if (sentThisPass == kExpnLinesPerPass) return SmtpStep::kStop;  // next pass
    if (!s.expandPendingLine.empty()) {
      // The member stays current until its predecessor's line went out.
      if (!SendExpandLine(s, node, s.expandPendingLine, false)) return SmtpStep::kStop;
      ++s.expandSent;
      ++sentThisPass;
    }
    s.expandPendingLine = line;
    ++s.expandIndex;
  }
  s.expandMembers.clear();
  if (s.expandPendingLine.empty() && s.expandSent == 0)
    SendCommand(s, node, kReplyListDenied);
  else
    SendExpandLine(s, node, s.expandPendingLine, true);
  return finish();
}

SmtpStep ReplyQuit(SmtpSession& s, NetNode* node, int32_t& state) {
  SendCommand(s, node, kReplyClosing);
  state = kSmtpCloseLater;
  return SmtpStep::kContinue;
}

// ---- Listener ------------------------------------------------------------------

void CloseSocket(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

void SetSmtpReverseLookup(SmtpReverseLookupFn fn) { gReverseLookup.store(fn); }

SmtpStep RunServerState(SmtpSession& s, NetNode* node, int32_t& state) {
  switch (state) {
    case kSmtpSendGreeting: return SendGreeting(s, node, state);
    case kSmtpWaitForHello: return WaitForHello(s, node, state);
    case kSmtpVerifyHost: return VerifyHost(s, node, state);
    case kSmtpConfirmHello: return ConfirmHello(s, node, state);
    case kSmtpReplyQuit: return ReplyQuit(s, node, state);
    case kSmtpExpandList: return ExpandList(s, node, state);
    default:
      state = kSmtpCloseNow;
      return SmtpStep::kContinue;
  }
}

void RegisterSmtpService() {
  std::call_once(gRegistered, [] {
    NetServiceCallbacks cb;
    cb.OnAccept = SmtpAccept;
    cb.OnConnect = SmtpClientOnConnect;
    cb.OnData = SmtpOnEvent;
    cb.OnClose = SmtpOnClose;
    NetRegisterService(kServiceSmtp, cb);
  });
}

bool SmtpAccept(uint16_t, void* listenerOwner, int socket, const sockaddr_in& peer) {
  SmtpSession* s = CreateSmtpSession(socket, false, kNodeConnected, kSmtpSendGreeting, false,
                                     peer.sin_addr, "");
  if (!s) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
    LogEvent(0, kLogSmtpGeneral, "Unable to create node for remotely initiated session");
    LogEvent(0, kLogSmtpGeneral, kStrAcceptFailed, b[0], b[1], b[2], b[3]);
    return false;  // the network layer closes the socket
  }
  s->relayAllowed = IsRelayClient(peer.sin_addr, ParseRelayNetworks(ServerSettings().relayNetworks));
  if (listenerOwner) s->portKind = static_cast<SmtpSession*>(listenerOwner)->portKind;
  // The node reads nothing before OnAccept returns: TLS is in place for the first byte.
  if (s->portKind == int(SmtpPortKind::kImplicitTls) && !StartImplicitTls(*s)) return false;
  LogEvent(0, kLogSmtpGeneral, kStrAccepting, s->id);
  return true;
}

void SmtpOnClose(void* owner, uint16_t, int32_t ownerState, int32_t nodeState, int reason) {
  auto* s = static_cast<SmtpSession*>(owner);
  if (!s) return;
  if (s->isListener) {
    gListenerPort.store(0);
    FreeSmtpSession(s);
    return;
  }
  AdjustConnectionCounts(s->isClient ? 0 : -1, s->isClient ? -1 : 0);
  LogEvent(0, kLogSmtpGeneral, "%04x: SS = %d, IsClosing = %d", s->id, int(ownerState),
           s->closing ? 1 : 0);
  if (!s->closing) {
    LogEvent(0, kLogSmtpGeneral, "%04x: Unexpected close from remote side.", s->id);
    if (nodeState == kNodeConnecting)
      LogEvent(0, kLogSmtpGeneral, kStrTerminatedOpening, s->id);
    else if (ownerState == kSmtpClosing)
      LogEvent(0, kLogSmtpGeneral, "%04x: Session Closed", s->id);
    else
      LogEvent(0, kLogSmtpGeneral, kStrTerminatedInState, s->id, int(ownerState));
    LogEvent(0, kLogSmtpGeneral, kStrTerminatedUnexpectedly, s->id);
    LogEvent(0, kLogSmtpGeneral, "%04x: Reason: %s", s->id, NetCloseReasonText(reason));
  }
  if (s->tempFile.valid() || !s->tempPath.empty()) {
    // A server session holds a temporary only inside a transaction (state 8, or
    // an EXPN answered in the middle of one).
    if (!s->isClient)
      FinishPartialReceive(*s);
    else
      DiscardTempFile(*s);
  }
  if (s->isClient && ClientHooks().onClose) ClientHooks().onClose(*s, ownerState);
  FreeSmtpSession(s);
}

bool SmtpListen(const std::string& bindAddress, int port, std::string& why, int* boundPort,
                int portKind) {
  RegisterSmtpService();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = FormatText(Text(kStrSmtpSocketFailed).c_str(),
                     NetErrorText(WsaErrorFromErrno(errno)).c_str());
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  int err = 0;
  if (!NetListenAddress(bindAddress, port, addr, err)) {
    why = Text(kStrSmtpBindFailed) + NetErrorText(err);
    CloseSocket(fd);
    return false;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    why = Text(kStrSmtpBindFailed) + NetBindErrorText(errno, ntohs(addr.sin_port));
    CloseSocket(fd);
    return false;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  SmtpSession* listener =
      CreateSmtpSession(fd, false, kNodeListening, 0, true, bound.sin_addr, "");
  if (!listener) {
    why = Text(kStrSmtpNodeFailed);
    CloseSocket(fd);
    return false;
  }
  listener->portKind = portKind;
  if (!NetListen(fd, kListenBacklog, err)) {
    why = Text(kStrSmtpListenFailed) + NetErrorText(err);
    NetCloseBySocket(fd, true);  // the node owns the socket now
    return false;
  }
  if (portKind != int(SmtpPortKind::kPlain)) {
    if (boundPort) *boundPort = ntohs(bound.sin_port);
    return true;
  }
  gListenerPort.store(ntohs(bound.sin_port));
  if (boundPort) *boundPort = ntohs(bound.sin_port);
  return true;
}

bool StartSmtpListener(std::string& why) {
  const Settings& st = ServerSettings();
  if (!SmtpListen(st.bindAddress, SmtpPort(st), why)) return false;
  // The submission and implicit-TLS ports need the certificate: UseTls too.
  if (st.useTls && st.useSubmission &&
      !SmtpListen(st.bindAddress, SubmissionPort(st), why, nullptr,
                  int(SmtpPortKind::kSubmission))) {
    why = "Submission port: " + why;
    return false;
  }
  if (st.useTls && st.useSmtps &&
      !SmtpListen(st.bindAddress, SmtpsPort(st), why, nullptr, int(SmtpPortKind::kImplicitTls))) {
    why = "SMTP over TLS port: " + why;
    return false;
  }
  return true;
}

int SmtpListenerPort() { return gListenerPort.load(); }
