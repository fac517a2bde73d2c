#include "server/mx/mx_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/strings.h"
#include "server/mx/dns_packet.h"
#include "server/mx/mx_cache.h"
#include "server/mx/mx_transport.h"

namespace {

// Limits of the request machinery.
constexpr int kMaxHandle = 32000;         // handles wrap to 1 after one above this
constexpr int kMaxQueriesPerRequest = 32; // a request that needs more gives -8
constexpr int kMaxAdvanceSteps = 32;      // walk/mode steps of one advance
constexpr size_t kMaxServerEntry = 199;   // characters of one DomainServer entry
constexpr size_t kMaxAddressText = 511;   // the addresses a fetch returns
constexpr uint16_t kDefaultDnsPort = 53;
constexpr long kThresholdMin = 50, kThresholdMax = 400;

// Whether a result code is final for the destination (the outgoing queue bounces).
struct ResultInfo {
  int code;
  bool permanent;
};
constexpr ResultInfo kResultTable[] = {
    {kMxOk, false},           {kMxSystemError, false},     {kMxNotFound, false},
    {kMxServerError, false},  {kMxNotFinished, false},     {kMxExpired, false},
    {kMxRequestNotFound, false}, {kMxOutOfBounds, true},   {kMxCyclic, true},
    {kMxServerFailure, false}, {kMxException, false},
};

// Request modes; they only move forward.
enum RequestMode : int {
  kModeMx = 0,      // resolving the domain's exchangers
  kModeA = 1,       // the domain has no MX: its own addresses
  kModeParent = 2,  // no records at all: a parent domain's exchangers
};

struct MxRequest {
  int handle = 0;
  std::string requestedName;
  std::string currentName;  // changes during the parent-domain search
  std::string nameServer;
  sockaddr_in server{};
  bool done = false;
  int error = 0;
  int level = 0;
  int lastCode = 0;
  std::string resultHost;
  std::vector<uint32_t> resultAddresses;
  uint32_t startedTick = 0;
  uint32_t timeoutMs = 0;
  int mode = kModeMx;
  // The query in flight.
  bool pending = false;
  uint16_t queryId = 0;
  uint32_t sequence = 0;
  std::string queryName;
  uint16_t queryType = 0;
  int queriesSent = 0;
};

struct Resolver {
  std::mutex listLock;   // the request list and every request in it
  std::mutex cacheLock;  // the cache; taken after listLock
  std::list<MxRequest> requests;  // submission order
  std::unordered_map<int, std::list<MxRequest>::iterator> byHandle;
  MxCache cache;
  MxOptions options;
  long threshold = -1;
  std::vector<std::string> servers;
  uint16_t defaultPort = kDefaultDnsPort;
  int nextHandle = 1;
  uint32_t nextSequence = 1;
  bool started = false;
};

Resolver& TheResolver() {
  static Resolver r;
  return r;
}

std::atomic<void (*)()> gCompletionHook{nullptr};

int64_t NowSeconds(const Resolver& r) {
  if (r.options.clockSeconds) return r.options.clockSeconds();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A query id nobody outside can predict: the answer must echo it.
uint16_t RandomQueryId() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, 0) != ssize_t(sizeof id)) {
    // getrandom only fails before the kernel's pool is ready; fall back to the
    // clock mixed with the address of a stack variable rather than to a constant.
    uint64_t mix = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   uint64_t(reinterpret_cast<uintptr_t>(&id));
    id = uint16_t(mix ^ (mix >> 16) ^ (mix >> 32));
  }
  return id;
}

std::vector<std::string> SplitServers(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t semi = list.find(';', start);
    std::string entry = list.substr(start, semi == std::string::npos ? semi : semi - start);
    size_t b = entry.find_first_not_of(" \t");
    size_t e = entry.find_last_not_of(" \t");
    entry = b == std::string::npos ? std::string() : entry.substr(b, e - b + 1);
    if (entry.size() > kMaxServerEntry) entry.resize(kMaxServerEntry);
    out.push_back(entry);
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return out;
}

// The port of the "domain" service entry, else 53; read once at start-up.
uint16_t DefaultDnsPort() {
  servent* se = getservbyname("domain", "udp");
  return se ? ntohs(uint16_t(se->s_port)) : kDefaultDnsPort;
}

// "host" or "host:port" -> an IPv4 socket address. The host may be a dotted
// address in brackets ("[10.0.0.1]"), the form the configuration checker writes.
bool ResolveServer(const std::string& entry, uint16_t defaultPort, sockaddr_in& address,
                   int& failure) {
  std::string host = entry;
  uint16_t port = 0;
  size_t colon = entry.rfind(':');
  if (colon != std::string::npos) {
    std::string digits = entry.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(digits) < 1 || std::stol(digits) > 65535) {
      failure = 11001;
      return false;
    }
    port = uint16_t(std::stol(digits));
    host = entry.substr(0, colon);
  }
  if (!port) port = defaultPort;
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (host.empty()) {
    failure = 11001;
    return false;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    // A bracketed literal is an address, never a name to look up.
    if (inet_pton(AF_INET, host.substr(1, host.size() - 2).c_str(), &address.sin_addr) == 1)
      return true;
    failure = 11001;
    return false;
  }
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    failure = rc == EAI_AGAIN ? 11002 : 11001;
    return false;
  }
  address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

std::string AddressText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

// A name the resolver will ask for: a query can be built for it.
bool ValidQueryName(const std::string& name) {
  uint8_t packet[kMaxQueryPacket];
  return BuildQuery(0, name, kDnsTypeMx, packet, sizeof packet) > 0;
}

MxRequest* FindRequest(Resolver& r, int handle) {
  auto it = r.byHandle.find(handle);
  return it == r.byHandle.end() ? nullptr : &*it->second;
}

void RemoveRequest(Resolver& r, int handle) {
  auto it = r.byHandle.find(handle);
  if (it == r.byHandle.end()) return;
  CloseMxQuery(handle);
  r.requests.erase(it->second);
  r.byHandle.erase(it);
}

void FinishRequest(MxRequest& req, int code) {
  req.done = true;
  req.error = code;
  req.pending = false;
  CloseMxQuery(req.handle);
  if (void (*hook)() = gCompletionHook.load()) hook();
}

void FinishWithResult(MxRequest& req, const WalkOutcome& o) {
  req.resultHost = o.resultName;
  req.resultAddresses = o.resultAddresses;
  FinishRequest(req, kMxOk);
}

// Sends the query `name`/`type` for the request from a fresh socket with a fresh
// id. False when the request has ended (set-up failed, or it asked too much).
bool SendRequestQuery(Resolver& r, MxRequest& req, const std::string& name, uint16_t type) {
  if (req.queriesSent >= kMaxQueriesPerRequest) {
    LogEvent(0, kLogMxDebug, "Error resolving %s", req.requestedName.c_str());
    FinishRequest(req, kMxCyclic);
    return false;
  }
  uint8_t packet[kMaxQueryPacket];
  uint16_t id = RandomQueryId();
  int length = BuildQuery(id, name, type, packet, sizeof packet);
  if (length < 0) {
    LogEvent(0, kLogMxDebug, "MXsend->%d", -1);
    FinishRequest(req, kMxSystemError);
    return false;
  }
  uint32_t sequence = r.nextSequence++;
  std::string why;
  if (!SendMxQuery(req.handle, sequence, req.server, packet, size_t(length), why)) {
    LogEvent(0, kLogMxDebug, "MXsend->%d", length);
    LogEvent(0, kLogMxDebug, "MX-> %s", why.c_str());
    FinishRequest(req, kMxSystemError);
    return false;
  }
  req.pending = true;
  req.queryId = id;
  req.sequence = sequence;
  req.queryName = name;
  req.queryType = type;
  ++req.queriesSent;
  LogEvent(0, kLogMxDebug, "MX-> Query %s %s to %s (id-%04x)", type == kDnsTypeMx ? "MX" : "A",
           name.c_str(), req.nameServer.c_str(), id);
  return true;
}

// The parent-domain search: the next shorter name, remembered in the cache as an
// alias of the longer one. False when the request has ended (-2).
bool StepToParent(Resolver& r, MxRequest& req) {
  if (!r.options.evaluateSubnets) {
    FinishRequest(req, kMxNotFound);
    return false;
  }
  size_t dot = req.currentName.find('.');
  std::string parent = dot == std::string::npos ? std::string() : req.currentName.substr(dot + 1);
  if (parent.find('.') == std::string::npos) {
    LogEvent(0, kLogMxDebug, "MX-> Subnet processing exhausted");
    FinishRequest(req, kMxNotFound);
    return false;
  }
  {
    std::lock_guard<std::mutex> g(r.cacheLock);
    const MxCacheRecord* old = FindCacheRecord(r.cache, req.currentName);
    // A real CNAME of the name stays: the search only goes on from the name.
    if (!old || old->alias.empty() || old->parentAlias) {
      AddSimpleRecord(r.cache, req.currentName, parent, 0, kMinRecordTtl, NowSeconds(r));
      TouchCacheRecord(r.cache, req.currentName).parentAlias = true;
    }
  }
  LogEvent(0, kLogMxDebug, "MX-> Submitting request for subnet");
  req.currentName = parent;
  req.mode = kModeParent;
  return true;
}

// Moves the request on from what the cache knows: a result, an error, or the next
// query. `answeredName`/`answeredType`: the query just answered, whose name the
// walk must not ask for again (an answer that held nothing usable for it counts as
// no data).
void AdvanceRequest(Resolver& r, MxRequest& req, std::string answeredName = {},
                    uint16_t answeredType = 0) {
  for (int step = 0; step < kMaxAdvanceSteps && !req.done; ++step) {
    WalkOutcome o;
    {
      std::lock_guard<std::mutex> g(r.cacheLock);
      o = req.mode == kModeA ? WalkForAddress(r.cache, req.currentName, req.level)
                             : WalkForMail(r.cache, req.currentName, req.level);
    }
    switch (o.step) {
      case WalkStep::kResult:
        FinishWithResult(req, o);
        return;
      case WalkStep::kError:
        if (o.error == kMxCyclic)
          LogEvent(0, kLogMxDebug, "Error resolving %s", req.requestedName.c_str());
        FinishRequest(req, o.error);
        return;
      case WalkStep::kNeedQuery:
        if (answeredType == o.type && SameDnsName(answeredName, o.name)) {
          std::lock_guard<std::mutex> g(r.cacheLock);
          MarkNegativeAnswer(r.cache, o.name, o.type, NowSeconds(r));
          answeredName.clear();
          continue;
        }
        SendRequestQuery(r, req, o.name, o.type);
        return;
      case WalkStep::kNoExchangers:
        if (req.mode == kModeMx) {
          LogEvent(0, kLogMxDebug, "MX-> downgrading to A record search");
          req.mode = kModeA;
          continue;
        }
        if (!StepToParent(r, req)) return;
        continue;
      case WalkStep::kNoAddress:
        if (req.mode == kModeA) {
          if (!StepToParent(r, req)) return;
          continue;
        }
        // An exchanger without an address: this level leads nowhere; the caller
        // goes on with the next one. The exchanger's name tells it from a domain
        // that does not exist.
        req.resultHost = o.name;
        FinishRequest(req, kMxNotFound);
        return;
    }
  }
  if (!req.done) {
    LogEvent(0, kLogMxDebug, "Error resolving %s", req.requestedName.c_str());
    FinishRequest(req, kMxCyclic);
  }
}

const char* ParseFaultLine(const char* error) {
  if (!error) return nullptr;
  if (error == kDnsErrShortRecord || error == kDnsErrShortQuestion)
    return "MX-> Not enough space for int record";
  if (error == kDnsErrShortData || error == kDnsErrBadData)
    return "MX-> Not enough space for int record data";
  return "MX-> Critical error getting name for item";
}

// An answer whose sender, id and question matched the query in flight.
void TakeAnswer(Resolver& r, MxRequest& req, const DnsResponse& response) {
  const DnsHeader& h = response.header;
  if (h.flags & kDnsFlagAuthoritative) LogEvent(0, kLogMxDebug, "MX-> Authoritative answer");
  if (h.flags & kDnsFlagTruncated) LogEvent(0, kLogMxDebug, "MX-> Truncated answer");
  if (const char* line = ParseFaultLine(response.error))
    LogEvent(0, kLogMxDebug, "%s (%s)", line, response.error);
  int code = h.code();
  int stored = 0;
  if (code == kDnsNoError) {
    std::lock_guard<std::mutex> g(r.cacheLock);
    stored = ApplyResponse(r.cache, response, req.queryName, NowSeconds(r));
  }
  if (stored == 0 && code == kDnsNoError && response.error) {
    // A malformed answer that gave nothing: the request waits for a good one or
    // its time-out.
    LogEvent(0, kLogMxDebug, "MX-> Deleting unused record");
    return;
  }
  std::string answeredName = req.queryName;
  uint16_t answeredType = req.queryType;
  req.pending = false;
  CloseMxQuery(req.handle);
  if (stored > 0) {
    AdvanceRequest(r, req, answeredName, answeredType);
    return;
  }
  LogEvent(0, kLogMxDebug, "MX response: %s(%d) for request to %s to resolve %s, with node name %s",
           DnsCodeName(code), code, req.nameServer.c_str(), req.requestedName.c_str(),
           req.currentName.c_str());
  if (code != kDnsNoError && code != kDnsServerFailure && code != kDnsNameError) {
    FinishRequest(req, kMxServerError);
    return;
  }
  if (code == kDnsServerFailure) {
    FinishRequest(req, kMxServerFailure);
    return;
  }
  req.lastCode = code;
  {
    std::lock_guard<std::mutex> g(r.cacheLock);
    MarkNegativeAnswer(r.cache, answeredName, answeredType, NowSeconds(r));
  }
  AdvanceRequest(r, req);
}

}  // namespace

long EffectiveMxThreshold(long stored) {
  if (stored < 0) return -1;
  if (stored < kThresholdMin + 1) return kThresholdMin;
  if (stored >= kThresholdMax) return kThresholdMax;
  return stored;
}

bool MxStartup(std::string& why) {
  const Settings& s = ServerSettings();
  MxOptions options;
  options.domainServer = s.domainServer.empty() ? DefaultDomainServer() : s.domainServer;
  options.limitMxRecords = s.limitMxRecords;
  options.evaluateSubnets = s.evaluateSubnets;
  return MxStartupWith(options, why);
}

bool MxStartupWith(const MxOptions& options, std::string& why) {
  Resolver& r = TheResolver();
  MxShutdown();
  {
    std::lock_guard<std::mutex> g(r.listLock);
    r.options = options;
    r.servers = SplitServers(options.domainServer);
    r.threshold = EffectiveMxThreshold(options.limitMxRecords);
    r.defaultPort = DefaultDnsPort();
    r.nextHandle = 1;
  }
  LogEvent(0, kLogMxDebug, "MX-> NumRecords = %d, Threshold = %d", int(options.limitMxRecords),
           int(r.threshold));
  std::string detail;
  if (!StartMxTransport(&MxOnDatagram, detail)) {
    why = "Unable to start the resolver's datagram transport: " + detail;
    return false;
  }
  std::lock_guard<std::mutex> g(r.listLock);
  r.started = true;
  return true;
}

void MxShutdown() {
  Resolver& r = TheResolver();
  StopMxTransport();
  std::lock_guard<std::mutex> g(r.listLock);
  r.byHandle.clear();
  r.requests.clear();
  {
    std::lock_guard<std::mutex> c(r.cacheLock);
    ClearCache(r.cache);
  }
  r.started = false;
}

int nSmtpMx_RequestRemoteId(const char* name, int level, int serverIndex) {
  Resolver& r = TheResolver();
  try {
    std::string requested = name ? name : "";
    LogEvent(0, kLogMxDebug, "MX->%s, Level %d", requested.c_str(), level);
    std::string server;
    uint16_t defaultPort;
    {
      std::lock_guard<std::mutex> g(r.listLock);
      if (!r.started) return kMxSystemError;
      if (serverIndex < 0 || serverIndex >= int(r.servers.size())) return kMxServerError;
      server = r.servers[size_t(serverIndex)];
      defaultPort = r.defaultPort;
    }
    if (!requested.empty() && requested.back() == '.') requested.pop_back();
    if (!ValidQueryName(requested)) return kMxNotFound;
    sockaddr_in address{};
    int failure = 0;
    if (!ResolveServer(server, defaultPort, address, failure)) {
      LogEvent(0, kLogMxDebug, "MXsend->%d", failure);
      return kMxSystemError;
    }
    std::lock_guard<std::mutex> g(r.listLock);
    if (!r.started) return kMxSystemError;
    int handle = r.nextHandle;
    for (int tries = 0; r.byHandle.count(handle) && tries <= kMaxHandle; ++tries)
      handle = handle > kMaxHandle ? 1 : handle + 1;
    if (r.byHandle.count(handle)) return kMxSystemError;
    r.nextHandle = handle > kMaxHandle ? 1 : handle + 1;
    MxRequest req;
    req.handle = handle;
    req.requestedName = requested;
    req.currentName = requested;
    req.nameServer = server;
    req.server = address;
    req.level = level;
    req.startedTick = GetTickCount32();
    req.timeoutMs = r.options.requestTimeoutMs;
    r.requests.push_back(std::move(req));
    auto it = std::prev(r.requests.end());
    r.byHandle.emplace(handle, it);
    try {
      AdvanceRequest(r, *it);
    } catch (...) {
      FinishRequest(*it, kMxException);
    }
    return handle;
  } catch (const std::bad_alloc&) {
    return kMxSystemError;
  }
}

bool nSmtpMx_QueryCompletion(int handle) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  MxRequest* req = FindRequest(r, handle);
  if (!req) {
    LogEvent(0, kLogMxDebug, "MX->Request not found.");
    return true;
  }
  if (req->done) LogEvent(0, kLogMxDebug, "MX->Request finished.");
  return req->done;
}

int nSmtpMx_GetMxRequest(int handle, int& level, char* hostOut, int hostSize, char* addressesOut,
                         int addressesSize) {
  Resolver& r = TheResolver();
  LogEvent(0, kLogMxDebug, "MX->Fetching results.");
  std::lock_guard<std::mutex> g(r.listLock);
  MxRequest* req = FindRequest(r, handle);
  if (!req) return kMxRequestNotFound;
  if (!req->done) return kMxNotFinished;
  int code = req->error;
  if (code == kMxNotFound && hostOut && hostSize > 0) {
    size_t n = std::min(size_t(hostSize) - 1, req->resultHost.size());
    std::memcpy(hostOut, req->resultHost.data(), n);
    hostOut[n] = '\0';
  }
  if (code == kMxOk) {
    level = req->level;
    if (hostOut && hostSize > 0) {
      size_t room = size_t(hostSize) - 1;
      if (req->resultHost.size() > room)
        LogEvent(0, kLogMxDebug, "MXWARN: %s", req->resultHost.c_str());
      size_t n = std::min(room, req->resultHost.size());
      std::memcpy(hostOut, req->resultHost.data(), n);
      hostOut[n] = '\0';
    }
    if (addressesOut && addressesSize > 0) {
      std::string text;
      size_t room = std::min(kMaxAddressText, size_t(addressesSize) - 1);
      for (uint32_t a : req->resultAddresses) {
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &a, dotted, sizeof dotted);
        std::string piece = std::string(dotted) + ";";
        if (text.size() + piece.size() > room) break;
        text += piece;
      }
      std::memcpy(addressesOut, text.c_str(), text.size() + 1);
    }
  }
  RemoveRequest(r, handle);
  std::lock_guard<std::mutex> c(r.cacheLock);
  TrimCache(r.cache, r.threshold);
  return code;
}

void SetMxCompletionHook(void (*hook)()) { gCompletionHook.store(hook); }

int MxLevelCount() {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  return int(r.servers.size());
}

void MxHousekeeping() {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  uint32_t now = GetTickCount32();
  for (MxRequest& req : r.requests) {
    if (req.done || TickElapsed(now, req.startedTick) <= req.timeoutMs) continue;
    LogEvent(0, kLogMxDebug, "MX-> Request expired: %s", req.requestedName.c_str());
    FinishRequest(req, kMxExpired);
  }
  std::lock_guard<std::mutex> c(r.cacheLock);
  ExpireCacheRecords(r.cache, NowSeconds(r));
}

bool ResolverErrorText(int code, char* buffer, int size, bool& permanent) {
  permanent = false;
  for (const ResultInfo& info : kResultTable) {
    if (info.code != code) continue;
    permanent = info.permanent;
    const char* text = LoadStringResource(unsigned(int(kStrResolverResultBase) - code));
    if (!text) text = "";
    if (buffer && size > 0) {
      size_t n = std::min(std::strlen(text), size_t(size) - 1);
      std::memcpy(buffer, text, n);
      buffer[n] = '\0';
    }
    return true;
  }
  return false;
}

void MxOnDatagram(int handle, uint32_t sequence, const uint8_t* data, size_t length,
                  const sockaddr_in& sender) {
  DnsHeader header;
  if (!ParseDnsHeader(data, length, header)) {
    LogEvent(0, kLogMxDebug, "MX-> Packet size = %d, too small", int(length));
    return;
  }
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  MxRequest* req = FindRequest(r, handle);
  if (!req || req->done || !req->pending || req->sequence != sequence ||
      req->queryId != header.id) {
    LogEvent(0, kLogMxDebug, "MX-> Unable to find matching response: id-%04x", header.id);
    return;
  }
  if (sender.sin_addr.s_addr != req->server.sin_addr.s_addr ||
      sender.sin_port != req->server.sin_port) {
    std::string from = AddressText(sender);
    LogEvent(0, kLogMxDebug, "MX-> Response from unexpected sender %s:%u dropped: id-%04x",
             from.c_str(), unsigned(ntohs(sender.sin_port)), header.id);
    return;
  }
  if (!(header.flags & kDnsFlagResponse) || (header.flags & kDnsOpcodeMask)) {
    LogEvent(0, kLogMxDebug, "MX-> Packet is not an answer dropped: id-%04x", header.id);
    return;
  }
  try {
    DnsResponse response;
    ParseResponse(data, length, response);
    if (header.questions != 1 || !SameDnsName(response.questionName, req->queryName) ||
        response.questionType != req->queryType || response.questionClass != kDnsClassIn) {
      LogEvent(0, kLogMxDebug, "MX-> Response question does not match query dropped: id-%04x",
               header.id);
      return;
    }
    TakeAnswer(r, *req, response);
  } catch (...) {
    LogEvent(0, kLogMxDebug, "MX-> %s", LoadStringResource(kStrResolverResultBase + 10));
    FinishRequest(*req, kMxException);
  }
}

int CountMxCacheRecords() {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> c(r.cacheLock);
  return int(r.cache.records.size());
}

int CountMxRequests() {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  return int(r.requests.size());
}

uint16_t MxRequestQueryPort(int handle) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  MxRequest* req = FindRequest(r, handle);
  return req && req->pending ? MxQueryPort(handle) : 0;
}

uint16_t MxRequestQueryId(int handle) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> g(r.listLock);
  MxRequest* req = FindRequest(r, handle);
  return req && req->pending ? req->queryId : 0;
}

long MxCachedTtl(const char* name) {
  Resolver& r = TheResolver();
  std::lock_guard<std::mutex> c(r.cacheLock);
  const MxCacheRecord* rec = FindCacheRecord(r.cache, name ? name : "");
  return rec ? rec->ttl : -2;
}
