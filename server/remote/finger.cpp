// The finger daemon and the outgoing finger connections (notifications and
// forced connections).
#include "server/remote/finger.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tick.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/remote/remote_common.h"

namespace {

// Reply texts.
constexpr const char* kListRefused = "Finger online user list request denied.";
constexpr const char* kForwardRefused = "Finger forward request denied.";
constexpr const char* kUnknownUser = "Unable to find specified user.";
constexpr const char* kNotPermitted = "Finger access for '%s' not permitted.";
constexpr const char* kUserLine = "User Id: %-30s Name: %s\r\n";
constexpr const char* kNewMail = "New mail has arrived.\r\n";
constexpr const char* kUnreadableFile = "Unable to read file: '%s'\r\n";
constexpr const char* kRequestError = "\r\nError processing finger request.";
constexpr const char* kWideRequest = "/w ";
constexpr char kEndOfFileMark = 0x1A;

// What the account types add below the "User Id:" line.
const char* TypeLine(AccountType type) {
  switch (type) {
    case kAccountList: return "Mailing List\r\n";
    case kAccountResponder: return "Automatic Mail Responder\r\n";
    case kAccountCustom: return "Customized Mail Box\r\n";
    default: return "";
  }
}

constexpr ListenerTexts kListenerTexts = {
    "Fgr: Cannot create socket: %s.", "Fgr: Cannot set attributes on socket.",
    "Fgr: Unable to bind to port.",   "Fgr: Unable to allocate node buffer.",
    "Fgr: Unable to register node.",  "Fgr: Unable to start listen.",
};

struct FingerSession {
  uint16_t id = 0;
  bool listener = false;
  bool reverse = false;
  bool closing = false;
  bool tooLong = false;       // the request line ran past kFinger.requestChars
  std::string request;        // its first kFinger.requestChars characters
  std::string reply;
  size_t sent = 0;
  uint32_t queryTick = 0;
  std::string user;           // outgoing: the user part queried ("" = forced)
  std::string host;
};

// One queued outgoing connection.
struct FingerRequest {
  std::string account;  // "" for a forced connection
  std::string target;   // finger address, or the node of a forced connection
  bool reverse = false;
  int port = 0;
};

struct FingerQueue {
  std::mutex lock;
  std::deque<FingerRequest> entries;
};

FingerQueue& Queue() {
  static FingerQueue q;
  return q;
}

std::atomic<long> gAccessMask{0};
std::atomic<uint16_t> gNextSessionId{0};
// Finger handlers run one at a time; a handler that finds the flag set returns
// and is called again by the network layer.
std::atomic<bool> gBusy{false};

void FreeSession(void* owner) { delete static_cast<FingerSession*>(owner); }

FingerSession* NewSession() {
  auto* s = new (std::nothrow) FingerSession();
  if (s) s->id = gNextSessionId.fetch_add(1);
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// Appends a configured or chosen file, the reply kept within kFinger.replyBytes; a
// last end-of-file mark is dropped. False when the file cannot be read.
bool AppendFile(std::string& reply, const std::string& path) {
  if (reply.size() >= kFinger.replyBytes) return true;
  std::string text;
  if (!ReadRegularFile(path, kFinger.replyBytes - reply.size(), text)) return false;
  if (!text.empty() && text.back() == kEndOfFileMark) text.pop_back();
  reply += text;
  return true;
}

enum class Lookup { kFound, kUnknown, kRefused };

// The lookup of the name asked. Aliases lead to the final account, whose record,
// access bits and files are used; the texts show the name as asked.
Lookup LookUpName(const FingerSession& s, const std::string& asked, std::string& text) {
  AccountRecord rec;
  if (!ReadAccount(asked, "", true, rec)) return Lookup::kUnknown;
  // Every kind of account answers only with finger access: without it nothing
  // about the account is told.
  if (!(GetUserAccess(rec.name, "") & kAccessFinger)) {
    text = FormatText(kNotPermitted, asked.c_str());
    return Lookup::kRefused;
  }
  std::string name;
  switch (rec.type) {
    case kAccountUser: {
      GetRecordField(rec.text, 1, name, true);
      text = FormatText(kUserLine, asked.c_str(), name.c_str());
      std::string mailbox;
      if (GetRecordField(rec.text, 2, mailbox) && !mailbox.empty() &&
          strcasecmp(mailbox.c_str(), kNullMailbox) != 0 && FileExists(mailbox))
        text += kNewMail;
      UserExtra extra;
      ReadUserExtra(rec.name, "", extra);
      if (!extra.fingerFile.empty() && !AppendFile(text, extra.fingerFile))
        LogEvent(0, kLogFinger, "Fgr-%04x: Unable to attach file: '%s'.", s.id,
                 extra.fingerFile.c_str());
      return Lookup::kFound;
    }
    case kAccountForward:
      text = FormatText(kUserLine, asked.c_str(), asked.c_str());
      return Lookup::kFound;
    case kAccountList:
    case kAccountResponder:
    case kAccountCustom:
      GetRecordField(rec.text, 1, name);
      text = FormatText(kUserLine, asked.c_str(), name.c_str()) + TypeLine(rec.type);
      return Lookup::kFound;
    default:
      return Lookup::kUnknown;
  }
}

// The whole reply to one request line.
std::string ComposeReply(const FingerSession& s) {
  LogEvent(0, kLogFingerDebug, "Fgr-%04x: '%s", s.id, s.request.c_str());
  std::string noUserFile = GetGeneralString("SysOptFgrNoUser");
  std::string errorFile = GetGeneralString("SysOptFgrErr");
  std::string_view q = s.request;
  if (StartsWithNoCase(q, kWideRequest)) q.remove_prefix(strlen(kWideRequest));
  while (!q.empty() && (q.front() == ' ' || q.front() == '\t')) q.remove_prefix(1);
  std::string text;
  Lookup result;
  if (s.tooLong) {
    // Cut, it could name another account.
    result = Lookup::kUnknown;
  } else if (q.empty()) {
    text = kListRefused;
    result = Lookup::kRefused;
  } else if (q.find('@') != std::string_view::npos) {
    text = kForwardRefused;
    result = Lookup::kRefused;
  } else {
    result = LookUpName(s, std::string(q), text);
  }
  if (result == Lookup::kFound) {
    LogEvent(0, kLogFinger, "Fgr-%04x: User %s successful.", s.id, std::string(q).c_str());
    return text;
  }
  if (result == Lookup::kUnknown) text = kUnknownUser;
  LogEvent(0, kLogFinger, "Fgr-%04x: %s", s.id, text.c_str());
  text += "\r\n";
  const std::string& file = result == Lookup::kUnknown ? noUserFile : errorFile;
  if (!file.empty() && !AppendFile(text, file)) {
    text += FormatText(kUnreadableFile, file.c_str());
    text += kRequestError;
  }
  if (text.size() > kFinger.replyBytes) text.resize(kFinger.replyBytes);
  return text;
}

using Step = SessionStep;

Step ReadRequest(FingerSession& s, NetNode* node, int32_t& state) {
  char line[kFinger.requestChars + 1];
  int n;
  // A longer line is read away in pieces; its first piece is what the log shows.
  while ((n = NetReadLine(node, line, int(kFinger.requestChars))) == -2) {
    if (!s.tooLong) s.request.assign(line);
    s.tooLong = true;
  }
  if (n < 0) return Step::kStop;
  if (!s.tooLong) s.request.assign(line, size_t(n));
  s.reply = ComposeReply(s);
  s.sent = 0;
  state = kFgrReplying;
  return Step::kContinue;
}

Step SendReply(FingerSession& s, NetNode* node, int32_t& state) {
  while (s.sent < s.reply.size()) {
    size_t piece = std::min(kFinger.pieceBytes, s.reply.size() - s.sent);
    // A full send ring keeps the piece for the next round.
    if (!_SendData(node, s.reply.data() + s.sent, int(piece))) return Step::kStop;
    s.sent += piece;
  }
  state = kFgrClosing;
  return Step::kContinue;
}

Step Close(FingerSession& s, NetNode* node, int32_t& state) {
  s.closing = true;
  state = kFgrClosed;
  // The FIN follows the reply at once; the delay only bounds a stuck send.
  NetCloseNode(node, false, kFinger.closeDelaySeconds, true);
  return Step::kStop;
}

Step Connected(FingerSession& s, NetNode* node, int32_t& state) {
  if (!s.reverse) {
    LogEvent(0, kLogFinger, "Fgr-%04x: Forced connection to %s successful, closing.", s.id,
             s.host.c_str());
    state = kFgrClosing;
    return Step::kContinue;
  }
  std::string query = s.user + "\r\n";
  if (!_SendData(node, query.data(), int(query.size()))) return Step::kStop;
  s.queryTick = GetTickCount32();
  state = kFgrDraining;
  return Step::kContinue;
}

Step Drain(FingerSession& s, NetNode* node, int32_t& state) {
  char scratch[512];
  while (NetRead(node, scratch, sizeof scratch) > 0) {
  }
  if (TickElapsed(GetTickCount32(), s.queryTick) <= kFinger.drainMs) return Step::kStop;
  state = kFgrClosing;
  return Step::kContinue;
}

Step RunState(FingerSession& s, NetNode* node, int32_t& state) {
  switch (state) {
    case kFgrRequest: return ReadRequest(s, node, state);
    case kFgrReplying: return SendReply(s, node, state);
    case kFgrClosing: return Close(s, node, state);
    case kFgrConnected: return Connected(s, node, state);
    case kFgrDraining: return Drain(s, node, state);
    default: return Step::kStop;  // connecting, closed
  }
}

// Starts the outgoing connection of one request. False when it could not be
// started (each cause logged).
bool StartOutgoing(const FingerRequest& r) {
  const Settings& settings = ServerSettings();
  std::string user, host;
  int port = r.port;
  if (r.reverse) {
    size_t at = r.target.find('@');
    user = r.target.substr(0, at);
    host = at == std::string::npos ? settings.localNode : r.target.substr(at + 1);
    port = RemoteFingerPort(settings);
  } else {
    host = r.target;
  }
  LogEvent(0, kLogFinger, "Fgr: Attempting to create connection to %s.", host.c_str());
  in_addr address{};
  int err = 0;
  if (!NetResolveHost(host, address, err)) {
    LogEvent(0, kLogFinger, "Fgr: Error %d resolving '%s'.", err, host.c_str());
    LogEvent(0, kLogFinger, "Fgr: Unable to resolve host name: %s", host.c_str());
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogEvent(0, kLogFinger, "Fgr: Cannot create socket: %s.",
             NetErrorText(WsaErrorFromErrno(errno)).c_str());
    return false;
  }
  FingerSession* s = NewSession();
  if (!s) {
    LogEvent(0, kLogFinger, "Fgr: Unable to create buffer.");
    ::close(fd);
    return false;
  }
  s->reverse = r.reverse;
  s->user = user;
  s->host = host;
  uint16_t id = s->id;
  if (!NetAddNode(fd, kNodeConnecting, kFinger.outgoingTimeoutSeconds, 0, kFgrConnecting, s,
                  kFinger.ringBytes, kFinger.ringBytes, kServiceFinger, 1)) {
    LogEvent(0, kLogFinger, "Fgr-%04x: Unable to create network node.", id);
    delete s;
    ::close(fd);
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr = address;
  LogEvent(0, kLogFinger, "Fgr-%04x: Attempting to connect to %s.", id, host.c_str());
  int rc = NetConnect(fd, to);
  if (rc != 0) {
    LogEvent(0, kLogFinger, "Fgr-%04x: Unable to start connect.", id);
    LogEvent(0, kLogFinger, "Fgr-%04x: Unable to connect: %d", id, rc);
    NetCloseBySocket(fd, true);  // the node owns the socket and the record
    return false;
  }
  return true;
}

}  // namespace

bool FingerInit(std::string& why) {
  why.clear();
  gNextSessionId.store(0);
  gAccessMask.store(0);  // FingerStart sets it
  {
    std::lock_guard<std::mutex> hold(Queue().lock);
    Queue().entries.clear();
  }
  NetServiceCallbacks cb;
  cb.OnAccept = FingerAccept;
  cb.OnConnect = FingerOnConnect;
  cb.OnData = FingerOnData;
  cb.OnClose = FingerOnClose;
  NetRegisterService(kServiceFinger, cb);
  return true;
}

bool FingerListen(const std::string& bindAddress, int port, std::string& why, int& boundPort) {
  int fd = OpenRemoteSocket(bindAddress, port, true, kListenerTexts, why, boundPort);
  if (fd < 0) return false;
  FingerSession* listener = NewSession();
  if (listener) listener->listener = true;
  return ServeRemoteSocket(fd, true, kServiceFinger, kFgrClosing, listener, FreeSession,
                           kFinger.listenBacklog, kListenerTexts, why);
}

bool FingerStart(long accessMask) {
  gAccessMask.store(accessMask);
  if (!(accessMask & kAccessFinger)) return true;
  const Settings& s = ServerSettings();
  int port = FingerPort(s), bound = 0;
  std::string why;
  if (FingerListen(s.bindAddress, port, why, bound)) {
    LogEvent(0, kLogAlways, "Fgr: Finger daemon installed, port %u.", unsigned(bound));
  } else {
    LogEvent(0, kLogAlways, "%s", why.c_str());
    LogEvent(0, kLogAlways, "Fgr: Finger daemon not installed, port %u.", unsigned(port));
  }
  return true;
}

bool QueueRemoteFinger(const std::string& account, const std::string& node, int port,
                       int reverse) {
  FingerRequest r;
  r.reverse = reverse != 0;
  if (r.reverse) {
    if (!(gAccessMask.load() & kAccessRemoteFinger) || account.empty()) return false;
    if (!ResolveAccountName(account, r.account, "")) return false;
    if (!(GetUserAccess(r.account, "") & kAccessRemoteFinger)) return false;
    UserExtra extra;
    if (!ReadUserExtra(r.account, "", extra) || extra.fingerAddress.empty()) return false;
    r.target = extra.fingerAddress;
    r.port = kFinger.remoteFingerPortMark;
  } else {
    if (node.empty()) return false;
    r.target = node;
    r.port = port;
  }
  // A cut name could name another account or host: such a request is not queued.
  if (r.account.size() > kFinger.nameChars || r.target.size() > kFinger.nameChars) {
    LogEvent(0, kLogFinger, "Fgr: Name too long, nothing queued for '%s'.",
             (r.reverse ? r.account : r.target).c_str());
    return false;
  }
  FingerQueue& q = Queue();
  {
    std::lock_guard<std::mutex> hold(q.lock);
    if (r.reverse)
      for (const FingerRequest& e : q.entries)
        if (e.reverse && strcasecmp(e.account.c_str(), r.account.c_str()) == 0) return false;
    if (q.entries.size() >= kFinger.queueEntries) {
      LogEvent(0, kLogAlways, "Fgr: Request queue full (%zu), dropped the request for %s.",
               q.entries.size(), r.target.c_str());
      return false;
    }
    q.entries.push_back(r);
  }
  if (r.reverse)
    LogEvent(0, kLogFinger, "Fgr: Reverse finger logged for %s.", r.account.c_str());
  else
    LogEvent(0, kLogFinger, "Fgr: Forced connect for node %s.", r.target.c_str());
  return true;
}

void FingerCheck() {
  FingerRequest r;
  {
    FingerQueue& q = Queue();
    std::lock_guard<std::mutex> hold(q.lock);
    if (q.entries.empty()) return;
    r = std::move(q.entries.front());
    q.entries.pop_front();
  }
  LogEvent(0, kLogFinger, r.reverse ? "Fgr: Doing reverse finger for %s." : "Fgr: Doing forced connect for %s.",
           r.target.c_str());
  if (!StartOutgoing(r)) LogEvent(0, kLogFinger, "Fgr: Reverse finger failed.");
}

size_t FingerQueueLength() {
  std::lock_guard<std::mutex> hold(Queue().lock);
  return Queue().entries.size();
}

bool FingerAccept(uint16_t, void*, int socket, const sockaddr_in& peer) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
  FingerSession* s = NewSession();
  bool ok = s != nullptr;
  if (!ok) LogEvent(0, kLogFinger, "Fgr: Error allocating node buffer.");
  if (ok && !NetAddNode(socket, kNodeConnected, kFinger.idleTimeoutSeconds, 0, kFgrRequest, s,
                        kFinger.ringBytes, kFinger.ringBytes, kServiceFinger, 1)) {
    LogEvent(0, kLogFinger, "Fgr: Cannot add node to list.");
    delete s;
    ok = false;
  }
  LogEvent(0, kLogFinger, ok ? "Fgr: Access from %d.%d.%d.%d okay." : "Fgr: Access from %d.%d.%d.%d denied.",
           b[0], b[1], b[2], b[3]);
  return ok;
}

void FingerOnConnect(NetNode* node, uint16_t, int32_t, void* owner, int wsaError) {
  auto* s = static_cast<FingerSession*>(owner);
  if (!s) return;
  if (wsaError != 0) {
    LogEvent(0, kLogFinger, "Fgr-%04x: Unable to connect: %d", s->id, wsaError);
    return;  // the node is deleted next, with OnClose
  }
  node->ownerState = kFgrConnected;  // the layer holds the receive lock that guards it
}

bool FingerOnData(NetNode* node, uint16_t, int32_t* ownerState, void* owner, int) {
  auto* s = static_cast<FingerSession*>(owner);
  if (!s || s->listener) return false;
  RunSessionStates(gBusy, node, ownerState,
                   [&](int32_t& state) { return RunState(*s, node, state); });
  return false;
}

void FingerOnClose(void* owner, uint16_t, int32_t ownerState, int32_t nodeState, int) {
  auto* s = static_cast<FingerSession*>(owner);
  if (!s) return;
  if (!s->listener)
    LogSessionClose("Fgr", kLogFinger, s->id, s->closing, ownerState, nodeState, kFgrClosed);
  delete s;
}
