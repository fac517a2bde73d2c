// The password changer (service 5, access bit 0x02) and the control port (service
// 4, access bit 0x04): one line dialogue, one implementation. The user gives his
// name, the old password and a new one; the account record is rewritten with the
// new password scrambled. The control port speaks the same dialogue with its own
// greeting and bit but never changes a password.
//
// Against guessing: a failed check is answered about a second later, holding
// neither the handlers' busy flag nor a network thread, and an address with
// kPort.guessLimit failures within kPort.guessWindowMs gets the failure reply
// without a check until that period ends. Passwords never reach the log.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct NetNode;

// Session states (the node's owner state).
enum PortState : int32_t {
  kPortGreet = 1,
  kPortUser = 2,
  kPortPass = 3,
  kPortNewPass = 4,
  kPortWaitQuit = 5,
  kPortClosing = 6,
  kPortFailureDue = 7,  // the failure reply waits for its time, then state 5
};

// Reply numbers.
enum PortReply : int {
  kReplyHelloControl = 5,   // "200 Hello from command port for %s."
  kReplyByeControl = 6,     // "200 Goodbye from command port for %s."
  kReplyHello = 7,          // "200 hello"
  kReplyBye = 8,            // "200 bye"
  kReplyRequired = 9,       // "500 %s required"
  kReplySendPassword = 10,  // "300 send password:"
  kReplySendNew = 11,       // "200 thank you, send your new password:"
  kReplyLength = 12,        // "500 new password must be between %d and %d characters"
  kReplySame = 13,          // "500 passwords must be different"
  kReplyChanged = 14,       // "200 password changed.  thanks!"
  kReplyWaitingQuit = 15,   // "500 illegal command while waiting for quit"
  kReplyAuthFailure = 16,   // "500 authentication failure"
  kReplyUnable = 17,        // "400 unable to change password"
  kReplyProtocol = 18,      // "500 protocol error"
};

struct PortLimits {
  size_t lineBytes;            // a command line holds one byte less
  size_t userChars;            // a longer USER name is refused
  size_t passwordChars;        // a longer old password fails the check
  size_t minNewChars, maxNewChars;
  uint16_t idleTimeoutSeconds;
  int closeDelaySeconds;
  int listenBacklog;
  uint32_t ringBytes;
  uint32_t failureDelayMs;     // a failed check is answered this much later
  int guessLimit;              // failures from one address ...
  uint32_t guessWindowMs;      // ... within this period block it until it ends
  size_t guessAddresses;       // addresses remembered at most
};
inline constexpr PortLimits kPort = {
    1025, 100, 16, 3, 16, 300, 5, 5, 8192, 1000, 10, 600000, 4096,
};

// Start-up step 9.7: zeroes the session counter and the failure records and
// registers the callbacks of services 4 and 5.
bool PortInit(std::string& why);

// Start-up step 12: with bit 0x02 the password changer on PasswordPort, with bit
// 0x04 the control port on ControlPort, both on BindAddress; each logs "CP: ...
// installed, port %u." or "... not installed ...". Always true.
bool PortStart(long accessMask);

// Opens one listener (`service` 4 or 5) on `bindAddress` and `port` (0 = any free
// port, for tests). False with `why`; `boundPort` gets the port.
bool PortListen(uint16_t service, const std::string& bindAddress, int port, std::string& why,
                int& boundPort);

// The exact text of reply `code` (with its CR LF); `argument` fills its %s (reply
// 12 takes its numbers from kPort).
std::string PortReplyText(int code, const std::string& argument = "");

// Network callbacks of services 4 and 5.
bool PortAccept(uint16_t service, void* listenerOwner, int socket, const sockaddr_in& peer);
bool PortOnData(NetNode* node, uint16_t service, int32_t* ownerState, void* owner,
                int parameter);
void PortOnClose(void* owner, uint16_t service, int32_t ownerState, int32_t nodeState,
                 int reason);
