// The resolver's datagram transport: one UDP socket per query.
//
// Each query goes out from a fresh socket bound to a port the system chooses, so
// an outsider has to guess the port as well as the 16-bit id to forge an answer;
// a fixed source port would leave only the id. One thread waits on every open
// query socket and hands each datagram, with the address it came from, to the
// resolver's handler, which checks sender, id and question before it believes it.
//
// A query socket lives until the resolver closes it (answer taken, request done,
// fetched or expired) or opens the next one for the same request.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Called on the transport's thread for every datagram that arrives on the socket
// of request `handle`, query number `sequence`, never while the transport's own
// lock is held.
using MxDatagramHandler = void (*)(int handle, uint32_t sequence, const uint8_t* data,
                                   size_t length, const sockaddr_in& sender);

// Starts the receiving thread. False with `why` naming the failed step.
bool StartMxTransport(MxDatagramHandler handler, std::string& why);
// Stops the thread and closes every query socket; no handler call runs afterwards.
void StopMxTransport();

// Opens a socket for query `sequence` of request `handle` (closing the request's
// earlier one), bound to an ephemeral port on any address, and sends `packet` to
// `server`. False with `why` on failure (nothing stays open then).
bool SendMxQuery(int handle, uint32_t sequence, const sockaddr_in& server,
                 const uint8_t* packet, size_t length, std::string& why);
// Closes the query socket of request `handle`, if any.
void CloseMxQuery(int handle);
// The local port of the request's open query socket (0 when none); for tests.
uint16_t MxQueryPort(int handle);
// The number of open query sockets; for tests.
int CountMxQueries();
