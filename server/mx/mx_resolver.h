// The MX resolver: finds, for a destination domain, the address of the mail
// exchanger to connect to: the best one at level 0, the next ones at higher levels.
// It asks the configured name servers itself over UDP, keeps the answers in a
// record cache (mx_cache.h), follows CNAME records, falls back from MX to A
// records and, when a name has no records at all, tries its parent domains.
//
// Callers (the outgoing queue) submit a request, poll it on later ticks and fetch
// the result, which also removes the request:
//
//   int h = nSmtpMx_RequestRemoteId(domain, level, serverIndex);   // < 0: a result code
//   ... later ticks: if (nSmtpMx_QueryCompletion(h)) ...
//   int rc = nSmtpMx_GetMxRequest(h, level, host, sizeof host, addrs, sizeof addrs);
//
// Answers are believed only when they come from the address and port the query
// went to, carry the query's random id and repeat its question; each query goes
// out from its own socket on a port the system picks (mx_transport.h).
//
// Lock order: request list, then cache; the transport's lock is a leaf. Every
// function here may be called from any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// Result codes; their texts are string-table entries 2100 - code.
enum MxResultCode : int {
  kMxOk = 0,                 // result available
  kMxSystemError = -1,       // memory, socket or send set-up failed
  kMxNotFound = -2,          // no records for the name or any parent domain
  kMxServerError = -3,       // an answer code other than 0, 2, 3; or a bad server index
  kMxNotFinished = -4,       // polled before completion
  kMxExpired = -5,           // no answer within the time-out
  kMxRequestNotFound = -6,   // unknown handle
  kMxOutOfBounds = -7,       // the level is beyond the exchangers of the name
  kMxCyclic = -8,            // the CNAME/MX walk came back to a name, or could not finish
  kMxServerFailure = -9,     // the name server answered ServerFailure
  kMxException = -10,        // a fault was caught while servicing the request
};
inline constexpr unsigned kStrResolverResultBase = 2100;

// What the resolver runs with. MxStartup fills it from the server settings;
// tests pass their own to MxStartupWith.
struct MxOptions {
  // ";"-separated name servers, each a dotted address or a host name, optionally
  // followed by ":port" (the port defaults to the "domain" service entry, else 53;
  // tests point the resolver at a server on a port of their own this way).
  std::string domainServer;
  long limitMxRecords = -1;          // cache threshold; < 0 = none (else 50..400)
  bool evaluateSubnets = true;       // parent-domain search
  uint32_t requestTimeoutMs = 60000; // a request not answered by then expires (-5)
  // Seconds for the cache's time-to-live arithmetic; null = the monotonic clock.
  int64_t (*clockSeconds)() = nullptr;
};

// LimitMxRecords as stored -> the cache threshold: absent (< 0) none, below 51
// becomes 50, 400 or more becomes 400.
long EffectiveMxThreshold(long stored);

// Start-up (step 7 of the server's start): reads DomainServer (its default is the
// first "nameserver" of /etc/resolv.conf), LimitMxRecords and EvaluateSubnets from
// ServerSettings(), logs "MX-> NumRecords = %d, Threshold = %d" and starts the
// datagram transport. False with `why` naming the failed step.
bool MxStartup(std::string& why);
bool MxStartupWith(const MxOptions& options, std::string& why);
// Stops the transport and frees every cache record and request. Safe to call when
// not started; the resolver may be started again afterwards.
void MxShutdown();

// Submits a request for the `level`-th exchanger of `name`, asking the name server
// number `serverIndex` (0 = the first of DomainServer). Returns the handle (1 to
// 32001, wrapping to 1), or a negative result code: -3 for a server index out of
// range, -1 when the resolver is not started or the server does not resolve, -2
// for a name that is not a valid host name. Logs "MX->%s, Level %d".
int nSmtpMx_RequestRemoteId(const char* name, int level, int serverIndex);
// True when the request is done, or unknown ("MX->Request finished.",
// "MX->Request not found.").
bool nSmtpMx_QueryCompletion(int handle);
// Collects a request's result. -6 for an unknown handle; -4 (request kept) when not
// done; otherwise the request is removed and its code returned. With 0, `level`,
// `hostOut` (the host whose addresses follow; "MXWARN: %s" is logged when cut) and
// `addressesOut` ("a.b.c.d;" per address, at most 511 characters) are filled.
// With -2, `hostOut` names the exchanger when the domain exists but its exchanger
// at this level has no address (the caller goes on to the next level), and is
// empty when the name itself does not exist.
int nSmtpMx_GetMxRequest(int handle, int& level, char* hostOut, int hostSize, char* addressesOut,
                         int addressesSize);
// Called (on any thread, possibly with the resolver's locks held: it must only
// signal) whenever a request finishes, so that a poller can look at once instead
// of at its next tick. Null: none.
void SetMxCompletionHook(void (*hook)());
// The number of name servers (1 + the number of ";" in DomainServer).
int MxLevelCount();
// The periodic job (every 5 s): drops expired cache records and ends requests
// older than the time-out with -5.
void MxHousekeeping();

// The text of result `code` (-10..0) into `buffer` and whether the code is
// permanent for the destination (-7, -8). False for any other code.
bool ResolverErrorText(int code, char* buffer, int size, bool& permanent);

// The transport's datagram callback: checks and parses one answer.
void MxOnDatagram(int handle, uint32_t sequence, const uint8_t* data, size_t length,
                  const sockaddr_in& sender);

// ---- For tests --------------------------------------------------------------------

// Number of cache records and of requests.
int CountMxCacheRecords();
int CountMxRequests();
// The local port and the query id of a request's query in flight (0 when none).
uint16_t MxRequestQueryPort(int handle);
uint16_t MxRequestQueryId(int handle);
// Time-to-live (seconds) of the cached record of `name`; -2 when none.
long MxCachedTtl(const char* name);
