// Host names and addresses through the system resolver: this machine's name, forward
// and reverse lookups. Failures are reported with the WinSock host-lookup numbers.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "server/net/net.h"

namespace {

// Resolver failures and the WinSock numbers callers test for.
struct LookupError {
  int eai;
  int wsa;
};
constexpr LookupError kLookupErrors[] = {
    {EAI_NONAME, kWsaHostNotFound},
    {EAI_AGAIN, kWsaTryAgain},
    {EAI_FAIL, kWsaNoRecovery},
#ifdef EAI_NODATA
    {EAI_NODATA, kWsaNoData},
#endif
#ifdef EAI_ADDRFAMILY
    {EAI_ADDRFAMILY, kWsaNoData},
#endif
};

int WsaFromLookupError(int eai) {
  for (const LookupError& e : kLookupErrors)
    if (e.eai == eai) return e.wsa;
  return kWsaNoRecovery;
}

}  // namespace

std::string NetAddressText(const in_addr& address) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

bool NetResolveHost(const std::string& host, in_addr& address, int& wsaError) {
  wsaError = 0;
  if (host.empty()) {
    wsaError = kWsaHostNotFound;
    return false;
  }
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || !res) {
    wsaError = rc != 0 ? WsaFromLookupError(rc) : kWsaNoData;
    return false;
  }
  address = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return true;
}

std::string NetHostAddressText(const std::string& host) {
  in_addr a{};
  int err;
  return NetResolveHost(host, a, err) ? NetAddressText(a) : std::string();
}

bool NetLocalHostName(std::string& name, std::string& canonical, int& wsaError) {
  wsaError = 0;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
    wsaError = kWsaHostNotFound;
    name.clear();
    canonical.clear();
    return false;
  }
  name = host;
  canonical = host;
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_family = AF_INET;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) == 0 && res) {
    if (res->ai_canonname && *res->ai_canonname) canonical = res->ai_canonname;
    freeaddrinfo(res);
  }
  return true;
}

bool NetReverseLookup(const in_addr& address, std::string& name, int& wsaError) {
  wsaError = 0;
  name.clear();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = address;
  char host[NI_MAXHOST] = {};
  int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host,
                       nullptr, 0, NI_NAMEREQD);
  if (rc != 0) {
    // An address without a name is "no data", as the system resolver reports it.
    wsaError = rc == EAI_NONAME ? kWsaNoData : WsaFromLookupError(rc);
    return false;
  }
  name = host;
  return true;
}

bool NetListenAddress(const std::string& bindAddress, int port, sockaddr_in& out, int& wsaError) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(uint16_t(port));
  out.sin_addr.s_addr = htonl(INADDR_ANY);
  wsaError = 0;
  if (bindAddress.empty() || inet_pton(AF_INET, bindAddress.c_str(), &out.sin_addr) == 1)
    return true;
  return NetResolveHost(bindAddress, out.sin_addr, wsaError);
}
