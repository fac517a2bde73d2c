// The RMCP daemon: one datagram in, at most one 12-byte datagram out.
#include "server/remote/rmcp.h"

#include <arpa/inet.h>
#include <strings.h>

#include <atomic>
#include <cstring>
#include <new>

#include "platform/files.h"
#include "server/accounts/accounts.h"
#include "server/accounts/mailbox.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/net/net.h"
#include "server/remote/remote_common.h"

namespace {

constexpr uint32_t kRmcpLog = kLogGeneralDebug;  // every line of the daemon
constexpr size_t kFlagOffset = 4;

constexpr ListenerTexts kListenerTexts = {
    "RMCP: Cannot create socket: %s.", "RMCP: Cannot set attributes on socket.",
    "RMCP: Unable to bind to port.",   "RMCP: Unable to allocate node buffer.",
    "RMCP: Unable to register node.",  "RMCP: Unable to start listen.",
};

struct RmcpDaemon {
  uint16_t id = 0;
};

std::atomic<uint16_t> gNextDaemonId{0};

void FreeDaemon(void* owner) { delete static_cast<RmcpDaemon*>(owner); }

}  // namespace

bool RmcpInit(std::string& why) {
  why.clear();
  gNextDaemonId.store(0);
  NetServiceCallbacks cb;
  cb.OnDatagram = RmcpOnDatagram;
  cb.OnClose = RmcpOnClose;
  NetRegisterService(kServiceRmcp, cb);
  return true;
}

bool RmcpListen(const std::string& bindAddress, int port, std::string& why, int& boundPort) {
  int fd = OpenRemoteSocket(bindAddress, port, false, kListenerTexts, why, boundPort);
  if (fd < 0) return false;
  auto* daemon = new (std::nothrow) RmcpDaemon();
  if (daemon) daemon->id = gNextDaemonId.fetch_add(1);
  return ServeRemoteSocket(fd, false, kServiceRmcp, 1, daemon, FreeDaemon, 0, kListenerTexts, why);
}

bool RmcpStart(long accessMask) {
  if (!(accessMask & kAccessRmcp)) return true;
  const Settings& s = ServerSettings();
  int port = RmcpPort(s), bound = 0;
  std::string why;
  if (RmcpListen(s.bindAddress, port, why, bound)) {
    LogEvent(0, kRmcpLog, "RMCP: RMCP daemon installed, port %u.", unsigned(bound));
  } else {
    LogEvent(0, kLogAlways, "%s", why.c_str());
    LogEvent(0, kRmcpLog, "RMCP: RMCP daemon not installed, port %u.", unsigned(port));
  }
  return true;
}

bool RmcpMailWaiting(const std::string& name) {
  uint32_t access = GetUserAccess(name, "");
  LogEvent(0, kRmcpLog, "RMCP: Got access: %08lx", (unsigned long)access);
  if (!(access & kAccessRmcp)) return false;
  LogEvent(0, kRmcpLog, "RMCP: Has RMCP permissions");
  std::string mailbox;
  if (!GetMailboxPath(name, mailbox, "", true) || mailbox.empty() ||
      strcasecmp(mailbox.c_str(), kNullMailbox) == 0)
    return false;
  LogEvent(0, kRmcpLog, "RMCP: User mailbox: %s", mailbox.c_str());
  if (!FileExists(mailbox)) return false;
  LogEvent(0, kRmcpLog, "RMCP: Marking file as exists");
  return true;
}

void RmcpOnDatagram(NetNode* node, uint16_t, const char* data, int length,
                    const sockaddr_in& sender) {
  LogEvent(0, kRmcpLog, "RMCP: data: %d", length);
  if (length <= int(kRmcp.headerBytes)) return;
  size_t take = std::min(size_t(length) - kRmcp.headerBytes, kRmcp.nameBytes);
  const char* start = data + kRmcp.headerBytes;
  std::string name(start, strnlen(start, take));
  int port = ntohs(sender.sin_port);
  LogEvent(0, kRmcpLog, "RMCP: Ip=%s, port=%d", NetAddressText(sender.sin_addr).c_str(), port);
  int32_t id;
  memcpy(&id, data, sizeof id);
  LogEvent(0, kRmcpLog, "RMCP: id: %ld, name = %s", long(id), name.c_str());
  // A reply read as a request has an empty name; port 0 cannot be answered.
  if (name.empty() || port == 0) return;
  char reply[kRmcp.replyBytes] = {};
  LogEvent(0, kRmcpLog, "RMCP: cleared buffer");
  if (RmcpMailWaiting(name)) reply[kFlagOffset + 3] = 1;
  LogEvent(0, kRmcpLog, "RMCP: Packet Data sending");
  NetSendDatagram(node, reply, int(sizeof reply), sender);  // a failed send is not reported
  LogEvent(0, kRmcpLog, "RMCP: Packet Data sent");
}

void RmcpOnClose(void* owner, uint16_t, int32_t, int32_t, int) {
  delete static_cast<RmcpDaemon*>(owner);
}
