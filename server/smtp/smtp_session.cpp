// SMTP session records, replies, the command reader, the common handler and the
// state-machine driver.
#include "server/smtp/smtp_session.h"
#include "server/smtp/smtp_auth.h"

#include <strings.h>

#include <atomic>
#include <cstring>

#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/core/strings.h"
#include "server/net/net.h"
#include "server/smtp/smtp_receive.h"
#include "server/smtp/smtp_server.h"
#include "server/spool/headers.h"

namespace {

std::atomic<uint16_t> gExtensionMask{0xFFFF};
std::atomic<uint16_t> gNextSessionId{0};
std::atomic<SmtpEtrnFn> gEtrnHook{nullptr};
SmtpClientHooks gClientHooks;

constexpr int32_t kMaxState = 32;
SmtpStateHandler gClientStates[kMaxState] = {};

// How long a reply may wait for room in the send ring before the session is
// given up: a peer that never reads must not hold a handler thread for ever.
constexpr uint32_t kSendWaitLimitMs = 60000;
constexpr long kSendWaitSliceUs = 10000;

// A command is read only while its reply surely fits into the send ring: a
// client that sends commands without reading the replies is held back here
// instead of blocking a handler thread while its replies pile up.
constexpr int kMinSendSpaceForCommand = 2048;

constexpr const char* kNoQueueForNode = "no messages in queue for node";

}  // namespace

uint16_t SmtpExtensionMask() { return gExtensionMask.load(); }
void SetSmtpExtensionMask(uint16_t mask) { gExtensionMask.store(mask); }

bool ComputeEsmtpExtensions() {
  SetSmtpExtensionMask(ComputeEsmtpExtensionMask(ServerSettings()));
  return true;
}

void SetSmtpStateHandler(int32_t state, SmtpStateHandler handler) {
  if (state > 0 && state < kMaxState) gClientStates[state] = handler;
}
void SetSmtpClientHooks(const SmtpClientHooks& hooks) { gClientHooks = hooks; }
const SmtpClientHooks& ClientHooks() { return gClientHooks; }
void SetSmtpEtrnHook(SmtpEtrnFn fn) { gEtrnHook.store(fn); }

std::string SmtpLogPrefix(const SmtpSession& s) { return FormatText("%04x: ", s.id); }

// ---- Records -------------------------------------------------------------------

SmtpSession* CreateSmtpSession(int socket, bool isClient, int32_t nodeState,
                               int32_t initialState, bool isListener, const in_addr& peer,
                               const std::string& remoteHost) {
  auto s = std::make_unique<SmtpSession>();
  s->writeBuffer.reset(new (std::nothrow) char[kSmtpWriteBufferSize]);
  if (!s->writeBuffer) {
    LogEvent(0, kLogSmtpGeneral, "Unable to allocate receive buffer for SMTP node.");
    return nullptr;
  }
  s->line.reset(new (std::nothrow) char[kSmtpLineSize]);
  if (!s->line) {
    LogEvent(0, kLogSmtpGeneral, "Unable to allocate command buffer for SMTP node.");
    return nullptr;
  }
  s->line[0] = '\0';
  s->id = gNextSessionId.fetch_add(1);
  s->socket = socket;
  s->isClient = isClient;
  s->isListener = isListener;
  s->peer = peer;
  s->remoteHost = remoteHost.substr(0, kSmtpRemoteHostMax);
  s->extensionMask = SmtpExtensionMask();
  SmtpSession* raw = s.get();
  bool ok = NetAddNode(socket, nodeState, isListener ? 0 : kSmtpIdleTimeoutSeconds, 0,
                       initialState, raw, kSmtpSocketBufferSize, kSmtpSocketBufferSize,
                       kServiceSmtp, 1);
  LogEvent(0, kLogGeneralDebug, "CreateSmtpSession(*) = %d", ok ? 1 : 0);
  if (!ok) {
    LogEvent(0, kLogSmtpGeneral, "Unable to allocate SMTP node buffer.");
    return nullptr;
  }
  if (!isListener) AdjustConnectionCounts(isClient ? 0 : 1, isClient ? 1 : 0);
  return s.release();
}

void FreeSmtpSession(SmtpSession* session) { delete session; }

// ---- Replies -------------------------------------------------------------------

bool SendRaw(SmtpSession& s, NetNode* node, std::string_view bytes, bool wait) {
  if (bytes.empty()) return true;
  uint32_t start = GetTickCount32();
  for (;;) {
    if (node->deleted.load() || s.closeIssued) return false;
    if (_SendData(node, bytes.data(), int(bytes.size()))) return !node->deleted.load();
    bool ok = true;
    _WriteData(node, ok);
    if (!ok || !wait) return false;
    if (GetTickCount32() - start > kSendWaitLimitMs) {
      // The peer takes nothing: give the session up rather than the thread.
      s.closeIssued = true;
      NetCloseNode(node, true, 0, true);
      return false;
    }
    NetWaitWritable(s.socket, 0, kSendWaitSliceUs);
  }
}

bool SendCommand(SmtpSession& s, NetNode* node, int code, std::string_view text,
                 std::string_view second, bool wait, long size) {
  SmtpReplyArgs args;
  args.text = text;
  args.second = second;
  args.host = ServerSettings().localNode;
  args.size = size;
  std::string line;
  bool cut = false;
  if (!ComposeSmtpLine(code, args, line, &cut)) return false;
  if (cut)
    LogEvent(0, kLogSmtpDebug,
             "SendCommand: Line exceeds 1024 bytes, Truncating Line to 1024 Bytes.");
  MaskTo7Bit(line);
  if (code != kLineAsIs) LogEvent(0, kLogSmtpDebug, "%04x: --> %s", s.id, line.c_str());
  line += "\r\n";
  return SendRaw(s, node, line, wait);
}

bool SendMultiline(SmtpSession& s, NetNode* node, std::string_view prefix, std::string_view text) {
  std::string all;
  for (std::string& line : ComposeMultiline(prefix, text)) {
    MaskTo7Bit(line);
    LogEvent(0, kLogSmtpDebug, "%04x: --> %.*s", s.id, int(line.size() - 2), line.data());
    all += line;
  }
  return SendRaw(s, node, all, true);
}

// ---- Reading -------------------------------------------------------------------

SmtpRead ReadSmtpCommand(SmtpSession& s, NetNode* node, SmtpCommand& cmd) {
  std::string_view line;
  if (s.hasReplay) {
    s.hasReplay = false;
    size_t n = std::min(s.replay.size(), kSmtpLineSize - 1);
    memcpy(s.line.get(), s.replay.data(), n);
    s.line[n] = '\0';
    line = std::string_view(s.line.get(), n);
  } else {
    if (NetSendSpace(node) < kMinSendSpaceForCommand) return SmtpRead::kNone;
    int n;
    // An over-long line is skipped to its end, then refused once.
    while ((n = NetReadLine(node, s.line.get(), int(kSmtpLineSize - 1))) == -2)
      s.discardingLine = true;
    if (n < 0) return SmtpRead::kNone;
    line = std::string_view(s.line.get(), size_t(n));
    if (s.discardingLine) {
      s.discardingLine = false;
      LogEvent(0, kLogSmtpGeneral, "%04x: Command line longer than %d bytes refused.", s.id,
               int(kSmtpLineSize - 1));
      SendCommand(s, node, kReplySyntax);
      return SmtpRead::kTooLong;
    }
  }
  LogEvent(0, kLogSmtpDebug, "%04x: <-- %.*s", s.id, int(line.size()), line.data());
  if (line.find('\0') != std::string_view::npos) {
    SendCommand(s, node, kReplySyntax);
    return SmtpRead::kTooLong;
  }
  SmtpCommandLine parts = SplitSmtpLine(line, s.isClient);
  cmd.line = line;
  cmd.word = parts.word;
  cmd.argument = parts.argument;
  cmd.token = FindSmtpToken(parts.word);
  return SmtpRead::kLine;
}

// ---- Common handler ------------------------------------------------------------

namespace {

void HandleVrfy(SmtpSession& s, NetNode* node, std::string_view argument) {
  const Settings& st = ServerSettings();
  if (!st.doExpnAndVrfy) {
    SendCommand(s, node, kReplyUserUnknown);
    return;
  }
  HostIdentity id = ServerHostIdentity();
  NormalizeOptions opt;
  opt.qualify = true;
  opt.mapDomains = true;
  NormalizedAddress addr;
  if (argument.empty() || !NormalizeAddress(argument, id, opt, addr)) {
    SendCommand(s, node, kReplyUserUnknown);
    return;
  }
  if (!addr.isLocal) {
    SendCommand(s, node, kReplyVrfy, "", addr.address);
    return;
  }
  std::string want(argument);
  std::string userName, accountName;
  bool found = false;
  ForEachAccount("", [&](const AccountEntry& e) {
    if (strcasecmp(e.name.c_str(), want.c_str()) != 0) return true;
    found = true;
    accountName = e.name;
    GetUserName(e.name, userName, "");
    return false;
  });
  if (!found) {
    SendCommand(s, node, kReplyUserUnknown);
    return;
  }
  SendCommand(s, node, kReplyVrfy, userName, accountName + "@" + st.localNode);
}

void HandleExpn(SmtpSession& s, NetNode* node, int32_t& state, std::string_view argument) {
  if (!ServerSettings().doExpnAndVrfy) {
    SendCommand(s, node, kReplyListDenied);
    return;
  }
  std::string name(FirstWord(argument));
  AccountRecord rec;
  if (name.empty() || !ReadAccount(name, "", true, rec) || rec.type == kAccountNone) {
    SendCommand(s, node, kReplyNoList, argument);
    return;
  }
  if (rec.type == kAccountList) {
    std::string config;
    GetAccountConfigName(rec.name, config, "");
    if (config.empty()) config = rec.name;
    if (!ConfigGetBool("Configuration", "VisibleToExpn", true, "", config.c_str())) {
      SendCommand(s, node, kReplyListRestricted);
      return;
    }
    s.expandName = rec.name.substr(0, kSmtpExpandNameMax);
  } else {
    s.expandName = name.substr(0, kSmtpExpandNameMax);
  }
  s.expandType = rec.type;
  s.expandIndex = 1;
  s.expandPasses = 0;
  s.expandSent = 0;
  s.expandPendingLine.clear();
  s.expandReturnState = state;
  state = kSmtpExpandList;
}

void HandleHelp(SmtpSession& s, NetNode* node, std::string_view argument) {
  unsigned id = FindHelpTopic(argument);
  const char* text = id ? LoadStringResource(id) : nullptr;
  if (!text || !*text) {
    SendCommand(s, node, kReplyParamSyntax);
    return;
  }
  SendMultiline(s, node, "214-", text);
}

void HandleEtrn(SmtpSession& s, NetNode* node, std::string_view argument) {
  if (!s.isEsmtp) {
    SendCommand(s, node, kReplySyntax);
    return;
  }
  std::string host(FirstWord(argument));
  SmtpEtrnFn hook = gEtrnHook.load();
  if (host.empty() || !hook || !hook(host))
    SendCommand(s, node, kReplyOk, kNoQueueForNode);
  else
    SendCommand(s, node, kReplyOk);
}

// Aborts whatever transfer is in progress (QUIT, 421, RSET).
void AbortTransfers(SmtpSession& s, int32_t state) {
  if (state == kSmtpReceiving && s.receiveStep != kRcvFrom) AbortReceive(s);
  if (state == kSmtpSendingMessage && gClientHooks.resetSend) gClientHooks.resetSend(s);
}

}  // namespace

bool HandleCommonCommand(SmtpSession& s, NetNode* node, int32_t& state, const SmtpCommand& cmd) {
  switch (cmd.token) {
    case kTokQuit:
    case kTok421:
      if (cmd.token == kTok421)
        LogEvent(0, kLogSmtpGeneral, 5030, s.id, s.remoteHost.c_str());
      AbortTransfers(s, state);
      s.closing = true;
      state = kSmtpReplyQuit;
      return true;
    case kTokRset:
      AbortTransfers(s, state);
      SendCommand(s, node, kReplyOk);
      s.receiveStep = kRcvFrom;
      return true;
    case kTokNoop:
      SendCommand(s, node, kReplyOk);
      return true;
    case kTokVrfy:
      HandleVrfy(s, node, cmd.argument);
      return true;
    case kTokExpn:
      HandleExpn(s, node, state, cmd.argument);
      return true;
    case kTokHelp:
      HandleHelp(s, node, cmd.argument);
      return true;
    case kTokEtrn:
      HandleEtrn(s, node, cmd.argument);
      return true;
    default:
      return false;
  }
}

// ---- Driver --------------------------------------------------------------------

namespace {

SmtpStep RunState(SmtpSession& s, NetNode* node, int32_t& state) {
  switch (state) {
    case kSmtpReceiving: return RunReceiveStep(s, node, state);
    case kSmtpSendGreeting:
    case kSmtpWaitForHello:
    case kSmtpVerifyHost:
    case kSmtpConfirmHello:
    case kSmtpReplyQuit:
    case kSmtpExpandList:
      return RunServerState(s, node, state);
    case kSmtpAuthExchange:
    case kSmtpAuthDelay:
      return RunAuthState(s, node, state);
    case kSmtpCloseLater:
    case kSmtpCloseNow:
      state = kSmtpClosing;
      return SmtpStep::kContinue;
    case kSmtpClosing:
      if (!s.closeIssued) {
        s.closeIssued = true;
        // Graceful: the last reply (221) still goes out.
        NetCloseNode(node, false, 5, true);
      }
      return SmtpStep::kStop;
    default:
      if (state > 0 && state < kMaxState && gClientStates[state])
        return gClientStates[state](s, node, state);
      state = kSmtpCloseNow;
      return SmtpStep::kContinue;
  }
}

}  // namespace

bool SmtpOnEvent(NetNode* node, uint16_t, int32_t* ownerState, void* owner, int) {
  auto* s = static_cast<SmtpSession*>(owner);
  if (!s || s->isListener || s->busy) return false;
  s->busy = true;
  int32_t state = *ownerState;
  for (;;) {
    if (node->deleted.load()) break;
    SmtpStep step = RunState(*s, node, state);
    *ownerState = state;
    if (step == SmtpStep::kStop) break;
  }
  *ownerState = state;
  s->busy = false;
  return false;
}
