// What the remote access services (finger, RMCP, the password changer and the
// control port) share: their listening sockets, whose steps each service reports
// in its own words, and the driving and closing of their sessions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "server/net/net.h"

// The failure texts of one service, in the order of the steps. Texts marked
// "+ error" are followed by the socket error text.
struct ListenerTexts {
  const char* socketFailed;      // printf format with one %s: the socket error text
  const char* attributesFailed;
  const char* bindFailed;        // + error
  const char* bufferFailed;
  const char* nodeFailed;
  const char* listenFailed;      // + error
};

// A socket of the kind asked for (TCP when `stream`, else UDP) with the debug
// option off (and for TCP no-delay off and address reuse on), bound to
// `bindAddress` ("" = any) and `port` (0 = any free port). Returns the socket and
// the port bound, or -1 with `why` from `texts`.
int OpenRemoteSocket(const std::string& bindAddress, int port, bool stream,
                     const ListenerTexts& texts, std::string& why, int& boundPort);

// Registers `socket` as a listening node of `service` owned by `owner` and starts
// serving it (listen with `backlog`, or datagram receiving). A null `owner` is the
// record that could not be allocated. On failure `why` is filled and the socket is
// closed; `owner` is freed with `freeOwner` when the node never took it, and by the
// service's OnClose when it did.
bool ServeRemoteSocket(int socket, bool stream, uint16_t service, int32_t ownerState, void* owner,
                       void (*freeOwner)(void*), int backlog, const ListenerTexts& texts,
                       std::string& why);

// ---- Sessions ----------------------------------------------------------------------

// What a state handler asks for: the next state's handler now, or the next round.
enum class SessionStep { kContinue, kStop };

// Runs a session's state handlers while they ask to go on. One handler of a
// service runs at a time: `busy` is the service's process-wide flag, and a session
// that finds it set returns at once and is called again by the network layer.
// `run(state)` runs the handler of `state` (which it may change).
template <class Run>
void RunSessionStates(std::atomic<bool>& busy, NetNode* node, int32_t* ownerState, Run run) {
  if (busy.exchange(true)) return;
  // Cleared on every way out, a fault caught by the layer's guard included.
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag.store(false); }
  } release{busy};
  int32_t state = *ownerState;
  while (!node->deleted.load()) {
    SessionStep step = run(state);
    *ownerState = state;
    if (step == SessionStep::kStop) break;
  }
}

// The close lines of a session ("<prefix>-%04x: Closed while opening.", "...
// Closed while in state %d." unless it reached `closedState`, "... Unexpected
// close." unless it was closing). A node that was not connected counts as closing.
void LogSessionClose(const char* prefix, uint32_t category, uint16_t id, bool& closing,
                     int32_t ownerState, int32_t nodeState, int32_t closedState);
