// Routing of outgoing mail: where a recipient's message goes. The routing mode
// (RoutingMode, or a per-destination exception) chooses between the domain's
// mail exchangers, the relay hosts of SmartHost, a retry later and a bounce; the
// exceptions also carry gateways, connection time-outs and retry settings; the
// local-node list says which hosts are reachable without a dial-up connection.
//
// This file holds the configuration side (exceptions, local nodes, smart host
// list, the mode table); the decisions for one item live in outgoing_item.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// ---- Routing modes -----------------------------------------------------------------

enum RoutingModeValue : int {
  kRouteDefault = 0,         // in an exception: the configured RoutingMode
  kRouteSmartHost = 1,       // always through the smart host
  kRouteFirstSmartHost = 2,  // the first exchanger, then the smart host
  kRouteFirst = 3,           // the first exchanger, then a retry later
  kRouteAllSmartHost = 4,    // every exchanger in turn, then the smart host
  kRouteAll = 5,             // every exchanger in turn, then a retry later
};

struct RoutingModeName {
  int mode;
  const char* name;  // as the configuration window shows it
};
inline constexpr RoutingModeName kRoutingModes[] = {
    {kRouteDefault, "Default"},        {kRouteSmartHost, "SmartHost"},
    {kRouteFirstSmartHost, "First, SmartHost"}, {kRouteFirst, "First"},
    {kRouteAllSmartHost, "All, SmartHost"},     {kRouteAll, "All"},
};

// A stored RoutingMode: 1..5 as they are, anything else (0 too) reads as 5.
int EffectiveRoutingMode(long stored);
// Whether a mode falls back to the smart host (2, 4) rather than a retry (3, 5).
bool ModeFallsBackToSmartHost(int mode);

// ---- Exceptions ----------------------------------------------------------------------

// The fields of one exception value (section "Exceptions", one value per node,
// data a comma-separated list).
enum ExceptionField : int {
  kExRoutingMode = 0,
  kExRetryLevel = 1,
  kExRetryConstant = 2,
  kExUseGateway = 3,
  kExGateway = 4,
  kExTimeoutIsDefault = 5,
  kExTimeout = 6,
  kExKeepMessages = 7,
  kExOwnInterval = 8,
  kExInterval = 9,
  kExRequireTls = 10,  // "1": mail for the node leaves only over TLS
};

// Limits of the numeric fields.
inline constexpr long kExTimeoutMin = 5, kExTimeoutMax = 300;          // seconds
inline constexpr long kExIntervalMin = 10, kExIntervalMax = 240;       // minutes
inline constexpr size_t kExceptionValueMax = 300;                      // characters read

// Every exception, by node name in lower case. Read from the registry at once.
struct RoutingExceptions {
  std::map<std::string, std::vector<std::string>> byNode;
};

// Reads the section; an unreadable section is an empty one.
RoutingExceptions LoadRoutingExceptions();
// Splits one value into its fields.
std::vector<std::string> SplitExceptionFields(std::string_view value);

// The readers walk up the name (a.b.c, b.c, c) until a value gives a valid answer
// for the field asked; a missing or invalid field counts as no answer.
// Routing mode 0..5, -1 when no exception answers.
int GetExceptionRoutingMode(const RoutingExceptions& ex, std::string_view node);
// First retry level 0..3, -1 when none.
int GetExceptionRetryLevel(const RoutingExceptions& ex, std::string_view node);
// Whether the retry level stays where it is; false when none says so.
bool GetExceptionRetryConstant(const RoutingExceptions& ex, std::string_view node);
// The gateway host, or "" when none.
std::string GetExceptionGateway(const RoutingExceptions& ex, std::string_view node);
// Connection time-out in seconds (5..300), -1 when the default applies.
long GetExceptionTimeout(const RoutingExceptions& ex, std::string_view node);
// Whether messages for the node wait until someone asks for them.
bool GetExceptionHold(const RoutingExceptions& ex, std::string_view node);
// The node's own retry interval in minutes (10..240), -1 when none.
long GetExceptionRetryInterval(const RoutingExceptions& ex, std::string_view node);
// Whether mail for the node must go over TLS; false when none says so.
bool GetExceptionRequireTls(const RoutingExceptions& ex, std::string_view node);

// ---- Local nodes and the smart host ----------------------------------------------

// The hosts reachable without a dial-up connection and the forced-connection
// settings, loaded at start-up (and again when the administrator changes them).
struct LocalNodeSettings {
  bool routeToLocal = false;
  std::vector<std::string> nodes;  // LocalNode%02d, 1..NumLocalNodes, each <= 100
  long forceConnectionMode = 0;    // 0 ETRN to the smart host, 1 a TCP trigger
  long forcePort = 79;             // SysOptForce
  std::string forceName = "localhost";  // SysOptForceName
};
inline constexpr size_t kLocalNodeMax = 100;

LocalNodeSettings& LocalNodes();
// (LoadLocalNodeList in outgoing.h fills it.)
// True when `node` or a name made by removing leading labels from it equals one
// of the local nodes (without regard to case). Needs RouteToLocal.
bool IsLocalNode(const LocalNodeSettings& settings, std::string_view node);

// The `;`-separated SmartHost list, blanks trimmed, empty entries dropped; an
// address literal "[a.b.c.d]" becomes the bare address.
std::vector<std::string> SmartHostList(std::string_view smartHost);

// The node of a recipient: the part after the last "@", or for a source route
// ("@a,@b:user@c") its first route host. Empty when there is none.
std::string RecipientNode(std::string_view address);

// True when `name` is this machine: the local node, the outgoing alias or one of
// the incoming aliases (without regard to case).
bool IsMappedToLocal(std::string_view name);

// An IP literal "[a.b.c.d]": true with the dotted text when it parses.
bool ParseIpLiteral(std::string_view node, std::string& dotted);
