// The RMCP daemon (service 7): one UDP datagram asks whether an account has mail
// waiting, one 12-byte datagram answers from the daemon's port to the asker's
// address and port. No session, no password: the account's access bit 0x08
// decides whether the answer can be positive.
//
// Request: 4 bytes of request id (logged, not returned), then the account name
// (at most 99 bytes are used; a NUL ends it early). Reply: 4 zero bytes, the
// mail flag as a 32-bit big-endian number, 4 zero bytes.
//
// A request is answered at most once and never by a daemon's own kind of reply:
// datagrams of 4 bytes or fewer, an empty name (a 12-byte reply read as a request
// has one) and source port 0 are ignored, so two daemons can never keep each
// other busy.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct NetNode;

struct RmcpLimits {
  size_t headerBytes;  // the request id; a datagram must be longer than this
  size_t nameBytes;    // name bytes used
  size_t replyBytes;
};
inline constexpr RmcpLimits kRmcp = {4, 99, 12};

// Start-up step 9.9: zeroes the daemon counter and registers the callbacks.
bool RmcpInit(std::string& why);

// Start-up step 12: with access bit 0x08 opens the daemon on BindAddress and
// RmcpPort, logging "RMCP: RMCP daemon installed, port %u." or "... not
// installed ..." (category 0x40). Always true.
bool RmcpStart(long accessMask);

// Opens the daemon on `bindAddress` and `port` (0 = any free port, for tests).
// False with `why`; `boundPort` gets the port.
bool RmcpListen(const std::string& bindAddress, int port, std::string& why, int& boundPort);

// Whether `name` has mail waiting: access bit 0x08 of the final account, a
// mailbox path, and that file exists. Logs each finding (category 0x40).
bool RmcpMailWaiting(const std::string& name);

// Network callbacks of service 7.
void RmcpOnDatagram(NetNode* node, uint16_t service, const char* data, int length,
                    const sockaddr_in& sender);
void RmcpOnClose(void* owner, uint16_t service, int32_t ownerState, int32_t nodeState,
                 int reason);
