// The SMTP server: the listener, accepting connections, the states before the
// mail transaction (greeting, HELO/EHLO, host verification, the HELO reply), the
// EXPN expansion, QUIT and the close handler of every SMTP session.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/smtp/smtp_session.h"

// Registers the SMTP service's callbacks with the network layer (idempotent).
void RegisterSmtpService();

// Starts the SMTP server on `bindAddress` ("" = any local address) and `port`
// (0 = any free port, for tests). Logs nothing itself; on failure `why` holds
// 5021, 5022, 5023 or 5024 with the socket error text. `boundPort` (optional)
// gets the port actually bound. The network layer must be started.
// `portKind` (SmtpPortKind) marks a submission or implicit-TLS listener; only the
// plain listener's port is reported by SmtpListenerPort.
bool SmtpListen(const std::string& bindAddress, int port, std::string& why,
                int* boundPort = nullptr, int portKind = 0);

// Start-up step 10: SmtpListen on BindAddress and SmtpPort(ServerSettings()), then
// the submission and implicit-TLS listeners when they are switched on (with UseTls).
bool StartSmtpListener(std::string& why);

// The port the running listener is bound to (0 when none).
int SmtpListenerPort();

// OnAccept of the SMTP service: creates a server session in state 9.
bool SmtpAccept(uint16_t service, void* listenerOwner, int socket, const sockaddr_in& peer);

// OnClose of the SMTP service.
void SmtpOnClose(void* owner, uint16_t service, int32_t ownerState, int32_t nodeState, int reason);

// Runs one server state other than the mail transaction (9, 10, 11, 12, 15, 20).
SmtpStep RunServerState(SmtpSession& s, NetNode* node, int32_t& state);

// The reverse lookup the host verification uses: the official name and its
// aliases, false with the WinSock error on failure. NetReverseLookup unless a
// test puts a fake here (null restores it), so no query ever leaves the machine.
using SmtpReverseLookupFn = bool (*)(const in_addr& address, std::string& name,
                                     std::vector<std::string>& aliases, int& wsaError);
void SetSmtpReverseLookup(SmtpReverseLookupFn fn);
