// corveladm queue: the spool directories as the administrator sees them, read from
// the files themselves (so it works with the server stopped), and a flush that
// asks the running server, over SMTP with ETRN, to retry its parked mail now.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "server/core/config.h"
#include "server/net/net.h"
#include "server/outgoing/routing.h"
#include "server/spool/queue_listing.h"
#include "server/spool/spool.h"
#include "tools/corveladm/corveladm.h"

namespace {

constexpr int kReplyTimeoutMs = 10000;
constexpr size_t kMaxReplyBytes = 65536;

std::string AgeText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds < 3600)
    snprintf(text, sizeof text, "%lldm", (long long)(seconds / 60));
  else if (seconds < 86400)
    snprintf(text, sizeof text, "%lldh%02lldm", (long long)(seconds / 3600),
             (long long)(seconds % 3600 / 60));
  else
    snprintf(text, sizeof text, "%lldd%02lldh", (long long)(seconds / 86400),
             (long long)(seconds % 86400 / 3600));
  return text;
}

void PrintQueue(const std::string& title, const std::string& dir) {
  std::vector<QueueFile> files = ReadQueueFiles(dir);
  std::printf("%s %s: %zu file%s\n", title.c_str(), dir.c_str(), files.size(),
              files.size() == 1 ? "" : "s");
  for (const QueueFile& f : files) {
    std::printf("  %-14s %-40s %9lld %7s", f.name.c_str(), f.state.c_str(), f.size,
                AgeText(f.age).c_str());
    if (!f.problem.empty()) {
      std::printf("  (%s)\n", f.problem.c_str());
      continue;
    }
    if (!f.sender.empty()) std::printf("  from %s", f.sender.c_str());
    if (!f.pending.empty()) {
      std::printf(" to");
      for (size_t i = 0; i < f.pending.size(); ++i)
        std::printf("%s %s", i ? "," : "", f.pending[i].c_str());
    }
    std::printf("\n");
  }
}

// ---- A short SMTP dialogue with the running server ----------------------------------

struct Dialogue {
  int fd = -1;
  std::string buffer;
  ~Dialogue() {
    if (fd >= 0) close(fd);
  }
};

// One whole reply (all its lines); false on a time-out or a closed connection.
bool ReadReply(Dialogue& d, std::string& reply) {
  reply.clear();
  for (;;) {
    size_t eol;
    while ((eol = d.buffer.find('\n')) != std::string::npos) {
      std::string line = d.buffer.substr(0, eol);
      d.buffer.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!reply.empty()) reply += "\n";
      reply += line;
      if (line.size() < 4 || line[3] != '-') return true;
    }
    if (d.buffer.size() > kMaxReplyBytes) return false;
    pollfd p{d.fd, POLLIN, 0};
    if (poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
    char block[4096];
    ssize_t n = recv(d.fd, block, sizeof block, 0);
    if (n <= 0) return false;
    d.buffer.append(block, size_t(n));
  }
}

bool Ask(Dialogue& d, const std::string& command, std::string& reply) {
  std::string line = command + "\r\n";
  if (send(d.fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) return false;
  return ReadReply(d, reply);
}

// The domains of the recipients waiting in parked files.
std::vector<std::string> ParkedDomains(const std::string& dir) {
  std::vector<std::string> domains;
  for (const QueueFile& f : ReadQueueFiles(dir)) {
    if (strcasecmp(f.name.c_str() + f.name.size() - 4, kRetryExtension) != 0) continue;
    for (const std::string& r : f.pending) {
      std::string node = RecipientNode(r);
      bool seen = std::any_of(domains.begin(), domains.end(), [&](const std::string& d) {
        return strcasecmp(d.c_str(), node.c_str()) == 0;
      });
      if (!node.empty() && !seen) domains.push_back(node);
    }
  }
  return domains;
}

}  // namespace

int RunQueueList(AdmContext& ctx) {
  if (!ctx.args.empty()) return AdmUsage(AdmCurrentCommand(), "no arguments expected");
  const Settings& s = ServerSettings();
  PrintQueue("incoming", s.incomingDirectory);
  if (s.outgoingDirectory != s.incomingDirectory) PrintQueue("outgoing", s.outgoingDirectory);
  return kAdmOk;
}

int RunQueueFlush(AdmContext& ctx) {
  if (ctx.args.size() > 1) return AdmUsage(AdmCurrentCommand(), "at most one domain");
  Settings& s = ServerSettings();
  LoadGeneralSettings(s);
  std::vector<std::string> domains;
  if (!ctx.args.empty()) {
    domains.push_back(ctx.args[0]);
  } else {
    domains = ParkedDomains(s.outgoingDirectory);
    if (domains.empty()) {
      std::printf("no parked messages\n");
      return kAdmOk;
    }
  }
  std::string host = s.bindAddress.empty() ? "127.0.0.1" : s.bindAddress;
  int port = SmtpPort(s);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  in_addr a{};
  int wsaError = 0;
  if (!NetResolveHost(host, a, wsaError))
    return AdmFail("cannot resolve the server's address %s", host.c_str());
  address.sin_addr = a;
  Dialogue d;
  d.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.fd < 0 || connect(d.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return AdmFail("cannot reach the server at %s:%d: %s", host.c_str(), port, strerror(errno));
  std::string reply;
  if (!ReadReply(d, reply) || reply.rfind("220", 0) != 0)
    return AdmFail("the server at %s:%d did not greet: %s", host.c_str(), port, reply.c_str());
  if (!Ask(d, "EHLO corveladm", reply) || reply.rfind("250", 0) != 0)
    return AdmFail("EHLO refused: %s", reply.c_str());
  int rc = kAdmOk;
  for (const std::string& domain : domains) {
    if (!Ask(d, "ETRN " + domain, reply)) return AdmFail("no reply to ETRN %s", domain.c_str());
    std::printf("%s: %s\n", domain.c_str(), reply.c_str());
    if (reply.rfind("250", 0) != 0) rc = kAdmFailed;
  }
  Ask(d, "QUIT", reply);
  return rc;
}
