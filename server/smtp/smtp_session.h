// SMTP sessions: the record every SMTP connection owns (server and client side),
// the reply composer SendCommand and SendMultiline, the command reader, the
// handler of the commands valid in every state and the one state-machine driver.
// The network layer calls the driver through the SMTP service's OnData; the
// session's state is the node's owner state.
//
// The record lives from CreateSmtpSession until the node's OnClose frees it; it
// is touched only by that node's callbacks, which the network layer runs one at a
// time, so it needs no lock. The busy flag still guards the driver against being
// entered again from inside a reply that waits for room in the send ring.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "server/smtp/smtp_words.h"

struct NetNode;

// Session states (the node's owner state).
enum SmtpState : int32_t {
  kSmtpWaitInit = 1,        // client: wait for the greeting
  kSmtpIssuedHello = 2,     // client: wait for the HELO/EHLO reply
  kSmtpSendingMessage = 3,  // client: send messages
  kSmtpSendTurn = 4,
  kSmtpTurnSent = 5,
  kSmtpReceiving = 8,       // server: mail transactions
  kSmtpSendGreeting = 9,
  kSmtpWaitForHello = 10,
  kSmtpVerifyHost = 11,
  kSmtpConfirmHello = 12,
  kSmtpSendQuit = 13,       // client
  kSmtpSentQuit = 14,       // client
  kSmtpReplyQuit = 15,
  kSmtpCloseLater = 16,
  kSmtpCloseNow = 17,
  kSmtpClosing = 18,
  kSmtpExpandList = 20,
  kSmtpAuthExchange = 21,   // server: reading AUTH responses
  kSmtpAuthDelay = 22,      // server: a failed AUTH waits before its 535
  kSmtpClientStartTls = 23, // client: wait for the answer to STARTTLS
};

// Receive steps of a mail transaction (state 8).
enum SmtpReceiveStep : int {
  kRcvFrom = 0,
  kRcvFromReply = 1,
  kRcvRcptOrData = 2,
  kRcvRcptReply = 3,
  kRcvDataStart = 4,
  kRcvData = 5,
  kRcvDataEnd = 6,
};

inline constexpr size_t kSmtpLineSize = 2048;        // a line holds at most 2047 bytes
inline constexpr size_t kSmtpReplyBufferSize = 2048;
inline constexpr size_t kSmtpWriteBufferSize = 8192;
inline constexpr uint32_t kSmtpSocketBufferSize = 8192;
inline constexpr uint16_t kSmtpIdleTimeoutSeconds = 300;
inline constexpr size_t kSmtpRemoteHostMax = 200;
inline constexpr size_t kSmtpExpandNameMax = 99;
inline constexpr int kExpnLinesPerPass = 5;

struct SmtpSession {
  uint16_t id = 0;
  int socket = -1;
  std::string remoteHost;  // claimed, verified or "[a.b.c.d]"; at most 200 bytes
  std::unique_ptr<char[]> line;  // kSmtpLineSize
  std::string replay;            // a command line to process as if just read
  bool hasReplay = false;
  bool busy = false;
  bool isClient = false;
  bool isListener = false;
  bool isEsmtp = false;
  bool closing = false;
  bool closeIssued = false;  // the node was asked to close
  bool discardingLine = false;  // the rest of an over-long command line is skipped

  // Mail transaction (server side).
  int receiveStep = kRcvFrom;
  int pendingCode = 0;
  std::string pendingArg;
  std::string pendingSecond;
  std::string sender;     // the envelope sender of the open transaction
  UniqueFd tempFile;
  std::string tempPath;
  std::string tempName;   // the .wrm name without its directory
  int recipients = 0;
  size_t envelopeBytes = 0;  // the envelope written so far, closing line counted
  long declaredSize = -1;
  bool isMail = false;
  long byteCount = 0;
  long lineCount = 0;
  bool writeOk = false;
  bool tooBig = false;        // more data arrived than MaxEsmtpSize allows
  bool dataLineOpen = false;  // a data line longer than the buffer is being stored
  // Mail from outside: the authentication checks run at the end of the data.
  bool authCheck = false;
  long long receivedAt = 0;   // where our Received line starts in the file
  long long messageAt = 0;    // and where the message starts, after it
  std::string heloName;       // as the client gave it in HELO/EHLO
  std::string mailFrom;       // MAIL FROM as given (empty for a bounce)
  bool inHeader = false;      // the data are still in the message's header
  bool dropLine = false;      // the line (field) being read is not stored
  std::unique_ptr<char[]> writeBuffer;  // kSmtpWriteBufferSize
  size_t writeFill = 0;

  in_addr peer{};
  bool verified = false;
  int verifyError = 0;
  std::string verifyName;       // the reverse lookup's official name
  std::vector<std::string> verifyAliases;  // and its aliases
  bool relayAllowed = false;    // the peer lies in RelayNetworks
  uint16_t extensionMask = 0;

  // Encryption and authentication (server side).
  int portKind = 0;             // SmtpPortKind of the listener it came through
  bool tlsOn = false;           // STARTTLS done, or implicit TLS (client side too)
  std::string authAccount;      // the authenticated account, empty before AUTH
  int authMechanism = 0;        // the exchange in progress (smtp_auth.cpp)
  int authStep = 0;
  std::string authUser;         // LOGIN's user name, CRAM-MD5's challenge
  std::string authChallenge;
  uint32_t authDueTick = 0;     // when the failed AUTH happened (its 535 waits)

  // EXPN cursor.
  int expandType = -1;
  int expandIndex = 1;
  int expandPasses = 0;
  int expandSent = 0;
  int32_t expandReturnState = kSmtpReceiving;
  std::string expandName;
  std::string expandPendingLine;  // a line waiting to go out (the reply's last so far)
  std::vector<std::string> expandMembers;  // the list's visible members, read once

  // The client side keeps its own fields behind this pointer (smtp_client.cpp);
  // the close hook frees them.
  void* client = nullptr;
};

// ---- Process-wide ----------------------------------------------------------------

// The extension mask of new sessions (ComputeEsmtpExtensions sets it).
uint16_t SmtpExtensionMask();
void SetSmtpExtensionMask(uint16_t mask);

// Start-up step: computes the ESMTP extension mask from ServerSettings(). Always
// true (the computation cannot fail); a bool for the start-up step table.
bool ComputeEsmtpExtensions();

// ---- Session records -----------------------------------------------------------

// Allocates a session and registers `socket` with the network layer as an SMTP
// node: 8192-byte rings, 300 s idle time-out (none for a listener), node state
// `nodeState`, owner state `initialState`. Updates the In/Out counters for a
// connection. Logs "CreateSmtpSession(*) = %d". Returns the session (owned by the
// node from then on), or null on failure (the socket is then not registered and
// still belongs to the caller).
SmtpSession* CreateSmtpSession(int socket, bool isClient, int32_t nodeState,
                               int32_t initialState, bool isListener, const in_addr& peer,
                               const std::string& remoteHost);

// Frees a session's record and whatever it still holds; the close handler's last
// step. Safe with null.
void FreeSmtpSession(SmtpSession* session);

// The text that prefixes the session's log lines ("%04x: ").
std::string SmtpLogPrefix(const SmtpSession& s);

// ---- Replies -------------------------------------------------------------------

// Composes the line for `code` (see the reply table), masks it to 7 bits, adds
// CRLF and queues it on the node. With `wait`, a full send ring is waited out
// while the node lives. Logs "%04x: --> %s" (category 0x800) except for code 18.
// False when the line could not be queued.
bool SendCommand(SmtpSession& s, NetNode* node, int code, std::string_view text = {},
                 std::string_view second = {}, bool wait = true, long size = -1);
// Sends a multi-line reply: `text`'s LF-separated lines after `prefix` ("220-",
// "250-", "214-"), the last with a blank for the dash.
bool SendMultiline(SmtpSession& s, NetNode* node, std::string_view prefix, std::string_view text);
// Queues bytes as they stand (each line already composed, CRLF included).
bool SendRaw(SmtpSession& s, NetNode* node, std::string_view bytes, bool wait);

// ---- Reading commands ----------------------------------------------------------

enum class SmtpRead {
  kNone,     // no complete line yet: wait for the next event
  kLine,     // a line is in the session's line buffer
  kTooLong,  // the line was longer than 2047 bytes: refused, its rest skipped
};

// A command read and cut into word, argument and token.
struct SmtpCommand {
  std::string_view line;
  std::string_view word;
  std::string_view argument;
  SmtpToken token = kTokNone;
};

// Takes one command line (the saved replay line first). An over-long line is
// answered "550 Syntax error" once its end has arrived and reads as kTooLong;
// a line holding a NUL byte is answered the same and reads as kTooLong too.
SmtpRead ReadSmtpCommand(SmtpSession& s, NetNode* node, SmtpCommand& cmd);

// ---- Common handler and driver -------------------------------------------------

// Handles QUIT, 421, RSET, NOOP, VRFY, EXPN, HELP and ETRN in any state. True
// when it took the command.
bool HandleCommonCommand(SmtpSession& s, NetNode* node, int32_t& state, const SmtpCommand& cmd);

// The outcome of one state handler round.
enum class SmtpStep { kContinue, kStop };
using SmtpStateHandler = SmtpStep (*)(SmtpSession& s, NetNode* node, int32_t& state);

// The handlers of the client states (1-5, 13, 14) are registered by the client
// side; a state without a handler closes the session.
void SetSmtpStateHandler(int32_t state, SmtpStateHandler handler);

// What the common handler and the close handler ask of the client side: abort a
// send in progress ("Resetting transmission") and release a client session.
struct SmtpClientHooks {
  void (*resetSend)(SmtpSession& s) = nullptr;
  void (*onClose)(SmtpSession& s, int32_t state) = nullptr;
};
void SetSmtpClientHooks(const SmtpClientHooks& hooks);
const SmtpClientHooks& ClientHooks();

// ETRN: true when `node` is a host of the retry queue and its retry was started.
// Until the retry queue registers itself every node has "no messages in queue".
using SmtpEtrnFn = bool (*)(const std::string& node);
void SetSmtpEtrnHook(SmtpEtrnFn fn);

// The driver: runs state handlers until one must wait. The SMTP service's OnData.
bool SmtpOnEvent(NetNode* node, uint16_t service, int32_t* ownerState, void* owner, int parameter);
