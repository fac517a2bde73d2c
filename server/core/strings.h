// The string table: every numbered message the server cites. Server messages from
// 5000, the WinSock error texts (1004-1093, by WinSock number - 9000), the SMTP
// help texts (2000-2010) and the resolver result texts (2100-2110).
#pragma once

#include <cstdint>
#include <string>

// The text of string `id`, or null when the table has none.
const char* LoadStringResource(unsigned id);

// The text of WinSock error `wsaError` (10004 -> string 1004 ...), or "WinSock
// Error #%d." with the number when the table has none.
std::string WinSockErrorText(int wsaError);

// Numbers of the messages cited by name in code. Only the numbers live here; the
// texts are in the table.
enum StringId : unsigned {
  kStrVersionStarting = 5000,       // "%s version %s is starting."
  kStrUnableGetNameFromNet = 5002,
  kStrNewNameMismatch = 5003,
  kStrLocalNode = 5004,
  kStrUnableDetermineNode = 5005,
  kStrUnableGetAddrFromNet = 5006,
  kStrNewAddrMismatch = 5007,
  kStrLocalIp = 5008,
  kStrUnableDetermineIp = 5009,
  kStrPopInitProblem = 5011,
  kStrRouterInitProblem = 5012,
  kStrOutgoingInitProblem = 5013,
  kStrGettingNodeName = 5050,
  kStrGettingAddress = 5051,
  kStrLogInitFailed = 5103,
  kStrLogBufferFailed = 5135,
  kStrProgramStarted = 5138,
  kStrProgramStopped = 5139,
  kStrSystemBusyInterrupt = 5201,
  kStrWindowBusy = 5202,
  kStrConnectionsOpen = 5203,
  kStrUnableRegister = 5204,
  kStrUnableSetupInstance = 5206,
  kStrUnableInitMemory = 5207,
  kStrUnableCreateWindow = 5210,
  kStrNetworkStarted = 5211,
  kStrNetworkInitError = 5212,
  kStrMxInitialized = 5213,
  kStrMxStartFailed = 5214,
  kStrSmtpPopInitialized = 5215,
  kStrSmtpPopInitFailed = 5216,
  kStrSmtpStarted = 5217,
  kStrSmtpStartFailed = 5218,
  kStrPopStarted = 5219,
  kStrPopStartFailed = 5220,
  kStrInOut = 5233,
  kStrSureToClose = 5286,

  // Bases of the numbered families.
  kStrWinSockOffset = 9000,         // string = WinSock error - 9000
  kStrSmtpHelp = 2000,              // HELP without a topic; 2001-2010 the topics
  kStrResolverResult = 2100,        // string = 2100 - resolver result code
};
