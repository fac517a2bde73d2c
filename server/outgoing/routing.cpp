// The configuration side of routing: modes, exceptions, local nodes, smart hosts.
#include "server/outgoing/routing.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>

#include "platform/registry.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/outgoing/outgoing.h"
#include "server/spool/headers.h"

namespace {

constexpr const char* kExceptionsSection = "Exceptions";
constexpr long kRetryLevelMax = 3;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Walks up `node` (a.b.c, b.c, c) and returns the first answer `read` gives.
template <class Read>
auto WalkUp(const RoutingExceptions& ex, std::string_view node, Read read, decltype(read({})) none) {
  std::string name = Lower(node);
  for (;;) {
    auto it = ex.byNode.find(name);
    if (it != ex.byNode.end()) {
      auto answer = read(it->second);
      if (answer != none) return answer;
    }
    size_t dot = name.find('.');
    if (dot == std::string::npos) return none;
    name.erase(0, dot + 1);
  }
}

const std::string* Field(const std::vector<std::string>& f, int i) {
  return size_t(i) < f.size() ? &f[size_t(i)] : nullptr;
}

}  // namespace

int EffectiveRoutingMode(long stored) {
  return stored >= kRouteSmartHost && stored <= kRouteAll ? int(stored) : kRouteAll;
}

bool ModeFallsBackToSmartHost(int mode) {
  return mode == kRouteFirstSmartHost || mode == kRouteAllSmartHost || mode == kRouteSmartHost;
}

std::vector<std::string> SplitExceptionFields(std::string_view value) {
  std::vector<std::string> fields;
  if (value.size() > kExceptionValueMax) value = value.substr(0, kExceptionValueMax);
  size_t start = 0;
  for (;;) {
    size_t comma = value.find(',', start);
    fields.emplace_back(Trim(value.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return fields;
}

RoutingExceptions LoadRoutingExceptions() {
  RoutingExceptions ex;
  std::vector<RegValue> values;
  if (!RegEnumValues(ConfigKeyPath(kExceptionsSection), values)) return ex;
  for (const RegValue& v : values) {
    if (v.type != kRegSz && v.type != kRegExpandSz) continue;
    ex.byNode[Lower(v.name)] = SplitExceptionFields(RegDecodeSz(v.data));
  }
  return ex;
}

// Fields 0 and 1 are valid only when a comma follows them (another field exists).
int GetExceptionRoutingMode(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* v = Field(f, kExRoutingMode);
    if (!v || f.size() < 2 || v->size() != 1 || (*v)[0] < '0' || (*v)[0] > '5') return -1;
    return (*v)[0] - '0';
  }, -1);
}

int GetExceptionRetryLevel(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* v = Field(f, kExRetryLevel);
    if (!v || f.size() < 3 || v->size() != 1 || (*v)[0] < '0' || (*v)[0] > '0' + kRetryLevelMax)
      return -1;
    return (*v)[0] - '0';
  }, -1);
}

bool GetExceptionRetryConstant(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* v = Field(f, kExRetryConstant);
    return v && !v->empty() && *v != "0";
  }, false);
}

std::string GetExceptionGateway(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* use = Field(f, kExUseGateway);
    const std::string* host = Field(f, kExGateway);
    if (!use || *use != "1" || !host || host->empty()) return std::string();
    return *host;
  }, std::string());
}

long GetExceptionTimeout(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* isDefault = Field(f, kExTimeoutIsDefault);
    const std::string* seconds = Field(f, kExTimeout);
    if (!isDefault || *isDefault != "0" || !seconds || !AllDigits(*seconds)) return -1L;
    long v = std::stol(*seconds);
    return v < kExTimeoutMin ? kExTimeoutMin : v > kExTimeoutMax ? kExTimeoutMax : v;
  }, -1L);
}

bool GetExceptionHold(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* v = Field(f, kExKeepMessages);
    return v && *v == "1";
  }, false);
}

long GetExceptionRetryInterval(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* own = Field(f, kExOwnInterval);
    const std::string* minutes = Field(f, kExInterval);
    if (!own || own->empty() || *own == "0" || !minutes || !AllDigits(*minutes)) return -1L;
    long v = std::stol(*minutes);
    return v < kExIntervalMin ? kExIntervalMin : v > kExIntervalMax ? kExIntervalMax : v;
  }, -1L);
}

bool GetExceptionRequireTls(const RoutingExceptions& ex, std::string_view node) {
  return WalkUp(ex, node, [](const std::vector<std::string>& f) {
    const std::string* v = Field(f, kExRequireTls);
    return v && *v == "1";
  }, false);
}

// ---- Local nodes -------------------------------------------------------------------

LocalNodeSettings& LocalNodes() {
  static LocalNodeSettings settings;
  return settings;
}

bool LoadLocalNodeList() {
  LocalNodeSettings s;
  s.routeToLocal = ConfigGetBool("", "RouteToLocal", false);
  long count = ConfigGetNumber("", "NumLocalNodes", 0);
  for (long i = 1; i <= count && i <= 99; ++i) {
    char name[16];
    snprintf(name, sizeof name, "LocalNode%02ld", i);
    std::string node = ConfigGetText("", name, "", nullptr, nullptr, kLocalNodeMax);
    if (!node.empty()) s.nodes.push_back(node);
  }
  s.forceConnectionMode = ConfigGetNumber("", "ForceConnectionMode", 0);
  s.forcePort = ConfigGetNumber("", "SysOptForce", 79);
  s.forceName = ConfigGetText("", "SysOptForceName", "localhost", nullptr, nullptr, 200);
  LocalNodes() = s;
  return true;
}

bool IsLocalNode(const LocalNodeSettings& settings, std::string_view node) {
  if (!settings.routeToLocal) return false;
  std::string name(node);
  for (;;) {
    for (const std::string& local : settings.nodes)
      if (strcasecmp(local.c_str(), name.c_str()) == 0) return true;
    size_t dot = name.find('.');
    if (dot == std::string::npos) return false;
    name.erase(0, dot + 1);
  }
}

std::vector<std::string> SmartHostList(std::string_view smartHost) {
  std::vector<std::string> hosts;
  size_t start = 0;
  for (;;) {
    size_t semi = smartHost.find(';', start);
    std::string_view entry =
        Trim(smartHost.substr(start, semi == std::string_view::npos ? semi : semi - start));
    // An address written as a literal ("[a.b.c.d]") is used as it stands: the
    // brackets go, and no exchanger is looked up for it.
    std::string dotted;
    if (ParseIpLiteral(entry, dotted))
      hosts.push_back(dotted);
    else if (!entry.empty())
      hosts.emplace_back(entry);
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  return hosts;
}

std::string RecipientNode(std::string_view address) {
  if (!address.empty() && address[0] == '@') {
    // A source route: its first host, up to "," or ":".
    size_t end = address.find_first_of(",:");
    return std::string(address.substr(1, end == std::string_view::npos ? end : end - 1));
  }
  size_t at = address.rfind('@');
  if (at == std::string_view::npos) return "";
  return std::string(address.substr(at + 1));
}

bool IsMappedToLocal(std::string_view name) {
  const Settings& s = ServerSettings();
  if (name.empty()) return false;
  if (strncasecmp(name.data(), s.localNode.c_str(), name.size()) == 0 &&
      name.size() == s.localNode.size())
    return true;
  if (!s.outgoingAlias.empty() && name.size() == s.outgoingAlias.size() &&
      strncasecmp(name.data(), s.outgoingAlias.c_str(), name.size()) == 0)
    return true;
  size_t start = 0;
  const std::string& aliases = s.incomingAlias;
  while (start <= aliases.size()) {
    size_t semi = aliases.find(';', start);
    std::string entry(Trim(std::string_view(aliases).substr(
        start, semi == std::string::npos ? std::string::npos : semi - start)));
    if (!entry.empty() && entry.find('*') == std::string::npos &&
        strcasecmp(entry.c_str(), std::string(name).c_str()) == 0)
      return true;
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return false;
}

bool ParseIpLiteral(std::string_view node, std::string& dotted) {
  if (node.size() < 3 || node.front() != '[' || node.back() != ']') return false;
  std::string inner(node.substr(1, node.size() - 2));
  in_addr a{};
  if (inet_pton(AF_INET, inner.c_str(), &a) != 1) return false;
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a, text, sizeof text);
  dotted = text;
  return true;
}
