// The node life cycle over real loopback sockets: accept, echo, graceful and hard
// closes, the idle time-out, outgoing connects, counting, shutdown, and peers that
// misbehave. Every test ends with the node table empty (the fixture checks).
#include <fcntl.h>
#include <netinet/tcp.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/tick.h"
#include "tests/net/net_test_util.h"

namespace {

constexpr uint16_t kEcho = 4;
constexpr uint16_t kOther = 6;

class NetLayerTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    RegisterEchoService(kEcho);
    EchoCounters().closed = 0;
    EchoCounters().accepted = 0;
    EchoCounters().lastReason = -1;
    EchoCounters().overlap = false;
  }
  void TearDown() override {
    EXPECT_FALSE(EchoCounters().overlap) << "two handlers of one node ran at once";
    NetTest::TearDown();
  }
};

TEST_F(NetLayerTest, EchoesPipelinedLinesAndQuits) {
  uint16_t port = OpenLoopbackListener(kEcho);
  ASSERT_NE(port, 0);
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAllText(fd, "one\r\ntwo\nthree\r\nQUIT\r\n"));
  bool eof = false;
  EXPECT_EQ(ReceiveToEnd(fd, &eof), "one\r\ntwo\r\nthree\r\nBYE\r\n");
  EXPECT_TRUE(eof);
  close(fd);
  ASSERT_TRUE(WaitUntil([] { return EchoCounters().closed == 1; }));
  EXPECT_EQ(EchoCounters().lastReason, kCloseUserRequested);
}

TEST_F(NetLayerTest, LinesArrivingInPiecesWithTheCloseAnywhereAreAllAnswered) {
  // A read that drains the socket ends its pass; whatever comes later, the
  // peer's close included, must still be read and answered.
  struct Case {
    const char* name;
    std::vector<std::string> pieces;  // sent with a pause between them
    bool halfCloseAlone;              // the close comes in a piece of its own
    std::string reply;
  };
  const std::string big(1800, 'x');
  const std::string bigReply = big + "\r\nBYE\r\n";
  const Case cases[] = {
      {"close with the last piece", {"one\r\ntw", "o\r\n"}, false, "one\r\ntwo\r\n"},
      {"close after a pause", {"one\r\n", "two\r\n"}, true, "one\r\ntwo\r\n"},
      {"line split before its end", {"thr", "ee", "\r\nQUIT\r\n"}, false, "three\r\nBYE\r\n"},
      {"long line then quit", {big.substr(0, 900), big.substr(900) + "\r\n", "QUIT\r\n"}, true,
       bigReply},
  };
  uint16_t port = OpenLoopbackListener(kEcho);
  ASSERT_NE(port, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      if (i > 0) usleep(20000);
      ASSERT_TRUE(SendAllText(fd, c.pieces[i]));
    }
    if (c.halfCloseAlone) usleep(20000);
    shutdown(fd, SHUT_WR);
    bool eof = false;
    std::string got = ReceiveToEnd(fd, &eof);
    EXPECT_TRUE(eof);
    EXPECT_EQ(got, c.reply);
    close(fd);
  }
}

// ---- Graceful close with bytes still queued ---------------------------------------

constexpr int kQueuedBytes = 5000;
struct CloseProbe {
  std::atomic<bool> done{false};
  std::atomic<int> spaceAtClose{-1};
};
CloseProbe gCloseProbe;

bool FiveThousandAccept(uint16_t service, void*, int socket, const sockaddr_in&) {
  int tiny = 1;
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny);
  return NetAddNode(socket, kNodeConnected, 300, 0, 0, &gCloseProbe, kNetRingSize, kNetRingSize,
                    service, 1);
}

bool FiveThousandData(NetNode* node, uint16_t, int32_t*, void*, int) {
  if (gCloseProbe.done.exchange(true)) return false;
  std::string bytes(kQueuedBytes, '\0');
  for (int i = 0; i < kQueuedBytes; ++i) bytes[i] = char('0' + i % 10);
  _SendData(node, bytes.data(), kQueuedBytes);
  bool ok = true;
  _WriteData(node, ok);  // what the socket takes now; the rest stays queued
  gCloseProbe.spaceAtClose = NetSendSpace(node);
  NetCloseNode(node, false, 0, true);
  return false;
}

TEST_F(NetLayerTest, GracefulCloseSendsQueuedBytesFirst) {
  NetServiceCallbacks cb;
  cb.OnAccept = FiveThousandAccept;
  cb.OnData = FiveThousandData;
  NetRegisterService(kOther, cb);
  gCloseProbe.done = false;
  gCloseProbe.spaceAtClose = -1;
  uint16_t port = OpenLoopbackListener(kOther);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int tiny = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
  close(fd);
  fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitUntil([] { return gCloseProbe.spaceAtClose >= 0; }));
  // Let the close request wait on the full socket for a moment before reading.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  bool eof = false;
  std::string got = ReceiveToEnd(fd, &eof);
  EXPECT_TRUE(eof);
  ASSERT_EQ(got.size(), size_t(kQueuedBytes));
  for (int i = 0; i < kQueuedBytes; ++i) ASSERT_EQ(got[i], char('0' + i % 10)) << i;
  close(fd);
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }));
}

// A graceful close with a delay waits at most that long for a peer that never reads.
bool FloodData(NetNode* node, uint16_t, int32_t*, void* owner, int) {
  auto* sent = static_cast<std::atomic<int>*>(owner);
  std::string chunk(4096, 'f');
  while (_SendData(node, chunk.data(), int(chunk.size()))) {
    bool ok = true;
    _WriteData(node, ok);
    *sent += int(chunk.size());
    if (*sent > 8 * 1024 * 1024) break;
  }
  if (sent->load() >= 0) {
    NetCloseNode(node, false, 1, true);
    *sent = -1000000000;
  }
  return false;
}

std::atomic<int> gFloodSent{0};
bool FloodAccept(uint16_t service, void*, int socket, const sockaddr_in&) {
  return NetAddNode(socket, kNodeConnected, 0, 0, 0, &gFloodSent, kNetRingSize, kNetRingSize,
                    service, 1);
}
std::atomic<int> gFloodClosed{0};
void FloodClose(void*, uint16_t, int32_t, int32_t, int) { ++gFloodClosed; }

TEST_F(NetLayerTest, DelayedCloseGivesUpOnAPeerThatNeverReads) {
  NetServiceCallbacks cb;
  cb.OnAccept = FloodAccept;
  cb.OnData = FloodData;
  cb.OnClose = FloodClose;
  NetRegisterService(kOther, cb);
  gFloodSent = 0;
  gFloodClosed = 0;
  uint16_t port = OpenLoopbackListener(kOther);
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  // The node has no idle time-out; only the close delay can end it.
  ASSERT_TRUE(WaitUntil([] { return gFloodClosed == 1; }, 8000));
  // OnClose runs before the node leaves the table; give the close a moment to finish.
  EXPECT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }, 2000));
  close(fd);
}

// ---- Idle time-out -------------------------------------------------------------------

TEST_F(NetLayerTest, IdleConnectionIsClosedByTheWatchdog) {
  EchoIdleSeconds() = 1;
  uint16_t port = OpenLoopbackListener(kEcho);
  int fd = ConnectLoopback(port, 15000);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 1; }));
  uint32_t start = GetTickCount32();
  bool eof = false;
  EXPECT_EQ(ReceiveToEnd(fd, &eof), "");  // it never speaks; the server closes
  EXPECT_TRUE(eof);
  uint32_t took = TickElapsed(GetTickCount32(), start);
  EXPECT_GE(took, 900u);  // not before its time-out
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }));
  EXPECT_EQ(EchoCounters().closed, 1);
  close(fd);
}

// ---- Outgoing connects ---------------------------------------------------------------

struct ConnectRecord {
  std::mutex lock;
  std::vector<std::string> events;
};
ConnectRecord gConnect;

void RecordConnect(NetNode* node, uint16_t, int32_t ownerState, void*, int wsaError) {
  std::lock_guard<std::mutex> g(gConnect.lock);
  gConnect.events.push_back("connect " + std::to_string(wsaError) + " state " +
                            std::to_string(node->state.load()) + " owner " +
                            std::to_string(ownerState));
  if (wsaError == 0) _SendData(node, "PING\r\n", 6);
}

bool RecordData(NetNode* node, uint16_t, int32_t*, void*, int) {
  char line[100];
  int n = NetReadLine(node, line, 99);
  if (n < 0) return false;
  std::lock_guard<std::mutex> g(gConnect.lock);
  gConnect.events.push_back(std::string("line ") + line);
  NetCloseNode(node, false, 0, true);
  return false;
}

void RecordClose(void*, uint16_t, int32_t ownerState, int32_t nodeState, int reason) {
  std::lock_guard<std::mutex> g(gConnect.lock);
  gConnect.events.push_back("close owner " + std::to_string(ownerState) + " node " +
                            std::to_string(nodeState) + " reason " + std::to_string(reason));
}

int gOwnerRecord;

// Creates a client node for a fresh socket and starts its connect to port.
int StartClient(uint16_t port, uint16_t service, int32_t ownerState, int* result) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!NetAddNode(fd, kNodeConnecting, 30, 0, ownerState, &gOwnerRecord, kNetRingSize,
                  kNetRingSize, service, 1)) {
    close(fd);
    return -1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  *result = NetConnect(fd, a);
  return fd;
}

uint16_t FreePortNobodyListensOn() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

TEST_F(NetLayerTest, ConnectToAClosedPortReports10061AndReason5) {
  NetServiceCallbacks cb;
  cb.OnConnect = RecordConnect;
  cb.OnClose = RecordClose;
  NetRegisterService(kOther, cb);
  {
    std::lock_guard<std::mutex> g(gConnect.lock);
    gConnect.events.clear();
  }
  int result = -1;
  int fd = StartClient(FreePortNobodyListensOn(), kOther, 3, &result);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(WaitUntil([] {
    std::lock_guard<std::mutex> g(gConnect.lock);
    return gConnect.events.size() >= 2;
  }));
  std::lock_guard<std::mutex> g(gConnect.lock);
  EXPECT_EQ(gConnect.events, (std::vector<std::string>{"connect 10061 state -1 owner 3",
                                                       "close owner 3 node -1 reason 5"}));
  EXPECT_EQ(NetCountNodes(), 0);
}

TEST_F(NetLayerTest, ConnectToAnUnknownNodeIsRefusedWith10055) {
  sockaddr_in a{};
  EXPECT_EQ(NetConnect(12345, a), kWsaENoBufs);
}

TEST_F(NetLayerTest, ConnectedClientTalksToTheEchoServer) {
  NetServiceCallbacks cb;
  cb.OnConnect = RecordConnect;
  cb.OnData = RecordData;
  cb.OnClose = RecordClose;
  NetRegisterService(kOther, cb);
  {
    std::lock_guard<std::mutex> g(gConnect.lock);
    gConnect.events.clear();
  }
  uint16_t port = OpenLoopbackListener(kEcho);
  int result = -1;
  ASSERT_GE(StartClient(port, kOther, 7, &result), 0);
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(WaitUntil([] {
    std::lock_guard<std::mutex> g(gConnect.lock);
    return gConnect.events.size() >= 3;
  }));
  std::lock_guard<std::mutex> g(gConnect.lock);
  EXPECT_EQ(gConnect.events, (std::vector<std::string>{"connect 0 state 4 owner 7", "line PING",
                                                       "close owner 7 node 4 reason 2"}));
}

// ---- Counting and shutdown ------------------------------------------------------------

TEST_F(NetLayerTest, CountsConnectionsButNotListeners) {
  uint16_t port = 0;
  for (int i = 0; i < 4; ++i) port = OpenLoopbackListener(kEcho);
  int fds[3];
  for (int& fd : fds) fd = ConnectLoopback(port);
  ASSERT_TRUE(WaitUntil([] { return EchoCounters().accepted == 3; }));
  EXPECT_EQ(NetCountConnections(), 3);
  EXPECT_EQ(NetCountNodes(), 7);
  for (int fd : fds) close(fd);
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }));
  EXPECT_EQ(NetCountNodes(), 4);
}

struct ShutdownRecord {
  std::mutex lock;
  std::vector<int> reasons;
};
ShutdownRecord gShutdown;
int gListenerOwner;

void ShutdownClose(void* owner, uint16_t, int32_t, int32_t, int reason) {
  if (owner != &gListenerOwner) delete static_cast<EchoSession*>(owner);
  std::lock_guard<std::mutex> g(gShutdown.lock);
  gShutdown.reasons.push_back(reason);
}

TEST_F(NetLayerTest, ShutdownClosesEveryNodeWithReasonOne) {
  NetServiceCallbacks cb;
  cb.OnAccept = EchoAccept;
  cb.OnData = EchoData;
  cb.OnClose = ShutdownClose;
  NetRegisterService(kOther, cb);
  {
    std::lock_guard<std::mutex> g(gShutdown.lock);
    gShutdown.reasons.clear();
  }
  uint16_t port = OpenLoopbackListener(kOther, &gListenerOwner);
  std::vector<int> fds;
  for (int i = 0; i < 5; ++i) fds.push_back(ConnectLoopback(port));
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 5; }));
  NetShutdown();
  EXPECT_EQ(NetCountNodes(), 0);
  {
    std::lock_guard<std::mutex> g(gShutdown.lock);
    EXPECT_EQ(gShutdown.reasons, std::vector<int>(6, kCloseSystemTerminating));
  }
  for (int fd : fds) {
    bool eof = false;
    ReceiveToEnd(fd, &eof);
    EXPECT_TRUE(eof);
    close(fd);
  }
  EXPECT_EQ(std::string(NetCloseReasonText(kCloseSystemTerminating)), "System terminating.");
  std::string why;
  ASSERT_TRUE(NetStartup(why)) << why;  // the fixture stops it again
}

// ---- Many connections and misbehaving peers -------------------------------------------

TEST_F(NetLayerTest, HundredsOfConnectionsLeaveNoNodeOrDescriptorBehind) {
  int startFds = CountOpenDescriptors();
  uint16_t port = OpenLoopbackListener(kEcho);
  ASSERT_NE(port, 0);
  int listener = -1;
  for (int fd = 0; fd < 1024 && listener < 0; ++fd)
    if (NetGetNodeState(fd) == kNodeListening) listener = fd;
  constexpr int kClients = 400;
  std::vector<int> fds;
  for (int i = 0; i < kClients; ++i) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
    switch (i % 5) {
      case 0:  // polite
        SendAllText(fd, "hello\r\nQUIT\r\n");
        break;
      case 1:  // half-closes after its request
        SendAllText(fd, "hello\r\n");
        shutdown(fd, SHUT_WR);
        break;
      case 2: {  // resets
        SendAllText(fd, "hello\r\n");
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        break;
      }
      case 3:  // sends a line without end
        SendAllText(fd, std::string(3000, 'q'));
        break;
      case 4:  // never speaks
        break;
    }
  }
  ASSERT_TRUE(WaitUntil([] { return EchoCounters().accepted == kClients; }));
  for (int i = 0; i < kClients; ++i) {
    if (i % 5 == 0 || i % 5 == 1) {
      bool eof = false;
      std::string got = ReceiveToEnd(fds[i], &eof);
      EXPECT_TRUE(eof) << i;
      EXPECT_EQ(got.substr(0, 7), "hello\r\n") << i;
    }
    close(fds[i]);
  }
  ASSERT_TRUE(WaitUntil([] { return NetCountNodes() == 1; }));
  EXPECT_EQ(EchoCounters().closed, kClients);
  NetCloseBySocket(listener, true);
  ASSERT_TRUE(WaitUntil([] { return NetCountNodes() == 0; }));
  EXPECT_EQ(CountOpenDescriptors(), startFds);
}

TEST_F(NetLayerTest, HalfClosedPeerGetsEveryPieceOfAMultiRoundReply) {
  // The reply leaves one small piece per round, as a finger reply does.
  NetServiceCallbacks cb;
  cb.OnAccept = [](uint16_t service, void*, int socket, const sockaddr_in&) {
    return NetAddNode(socket, kNodeConnected, 300, 0, 0, nullptr, kNetRingSize, kNetRingSize,
                      service, 1);
  };
  cb.OnData = [](NetNode* node, uint16_t, int32_t* state, void*, int) {
    char line[100];
    if (*state == 0) {
      if (NetReadLine(node, line, 99) < 0) return false;
      *state = 1;
    }
    if (*state >= 1 && *state <= 40) {
      std::string piece(128, char('A' + *state % 26));
      if (_SendData(node, piece.data(), int(piece.size()))) ++*state;
      if (*state == 41) NetCloseNode(node, false, 0, true);
    }
    return false;
  };
  NetRegisterService(kOther, cb);
  uint16_t port = OpenLoopbackListener(kOther);
  int fd = ConnectLoopback(port);
  ASSERT_TRUE(SendAllText(fd, "user\r\n"));
  shutdown(fd, SHUT_WR);
  bool eof = false;
  std::string got = ReceiveToEnd(fd, &eof);
  EXPECT_TRUE(eof);
  EXPECT_EQ(got.size(), 40u * 128u);
  close(fd);
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }));
}

TEST_F(NetLayerTest, UnregisteredServiceRefusesConnectionsSafely) {
  uint16_t port = OpenLoopbackListener(5);  // nothing registered for 5 in this test run
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  bool eof = false;
  ReceiveToEnd(fd, &eof);
  EXPECT_TRUE(eof);
  close(fd);
  EXPECT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }, 2000));
}

// ---- Handlers that block ------------------------------------------------------------

struct Gate {
  std::mutex lock;
  std::condition_variable cv;
  bool open = false;
  int waiting = 0;
};
Gate gGate;

bool BlockingData(NetNode* node, uint16_t, int32_t*, void*, int) {
  char line[100];
  if (NetReadLine(node, line, 99) < 0) return false;
  std::unique_lock<std::mutex> g(gGate.lock);
  ++gGate.waiting;
  gGate.cv.wait_for(g, std::chrono::seconds(20), [] { return gGate.open; });
  _SendData(node, "done\r\n", 6);
  return false;
}

TEST_F(NetLayerTest, BlockedHandlersDoNotHoldUpOtherConnections) {
  NetServiceCallbacks cb;
  cb.OnAccept = [](uint16_t service, void*, int socket, const sockaddr_in&) {
    return NetAddNode(socket, kNodeConnected, 300, 0, 0, nullptr, kNetRingSize, kNetRingSize,
                      service, 1);
  };
  cb.OnData = BlockingData;
  NetRegisterService(kOther, cb);
  {
    std::lock_guard<std::mutex> g(gGate.lock);
    gGate.open = false;
    gGate.waiting = 0;
  }
  uint16_t blockPort = OpenLoopbackListener(kOther);
  uint16_t echoPort = OpenLoopbackListener(kEcho);
  constexpr int kBlocked = 2 * kNetPoolMinThreads + 2;
  std::vector<int> blocked;
  for (int i = 0; i < kBlocked; ++i) {
    blocked.push_back(ConnectLoopback(blockPort));
    SendAllText(blocked.back(), "lookup\r\n");
  }
  ASSERT_TRUE(WaitUntil([] {
    std::lock_guard<std::mutex> g(gGate.lock);
    return gGate.waiting == kBlocked;
  }));
  // Every one of them holds a thread, yet an echo still gets its answer.
  int fd = ConnectLoopback(echoPort);
  ASSERT_TRUE(SendAllText(fd, "still here\r\n"));
  EXPECT_EQ(ReceiveLine(fd), "still here");
  {
    std::lock_guard<std::mutex> g(gGate.lock);
    EXPECT_EQ(gGate.waiting, kBlocked);  // none was released to make room
    gGate.open = true;
  }
  gGate.cv.notify_all();
  for (int b : blocked) {
    EXPECT_EQ(ReceiveLine(b), "done");
    close(b);
  }
  close(fd);
}

// ---- Accessors -------------------------------------------------------------------------

TEST_F(NetLayerTest, AccessorsBySocketAnswerForLiveNodesOnly) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int owner = 0;
  ASSERT_TRUE(NetAddNode(sv[0], kNodeConnected, 0, 0, 11, &owner, kNetRingSize, kNetRingSize,
                         kOther, 1));
  EXPECT_FALSE(NetAddNode(sv[0], kNodeConnected, 0, 0, 0, nullptr, kNetRingSize, kNetRingSize,
                          kOther, 1));  // one node per socket
  EXPECT_TRUE(NetNodeExists(sv[0]));
  EXPECT_EQ(NetGetOwnerRecord(sv[0]), &owner);
  EXPECT_EQ(NetSetOwnerState(sv[0], 12), 11);
  EXPECT_EQ(NetGetOwnerState(sv[0]), 12);
  EXPECT_EQ(NetSetNodeState(sv[0], kNodeConnected), kNodeConnected);
  EXPECT_TRUE(NetWaitWritable(sv[0], 0, 100000));
  NetCloseBySocket(sv[0], true);
  EXPECT_FALSE(NetNodeExists(sv[0]));
  ASSERT_TRUE(WaitUntil([] { return NetCountNodes() == 0; }));
  bool found = true;
  EXPECT_EQ(NetGetOwnerState(sv[0], &found), 0);
  EXPECT_FALSE(found);
  EXPECT_EQ(NetGetOwnerRecord(sv[0]), nullptr);
  EXPECT_EQ(NetGetNodeState(sv[0]), 0);
  close(sv[1]);
}

TEST_F(NetLayerTest, BadNodeArgumentsAreRefused) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct Case {
    int32_t state;
    uint32_t receive, send;
  } cases[] = {{0, 8192, 8192}, {5, 8192, 8192}, {4, 0, 8192}, {4, 8192, 70000}};
  for (const Case& c : cases)
    EXPECT_FALSE(NetAddNode(fd, c.state, 0, 0, 0, nullptr, c.receive, c.send, kOther, 1));
  EXPECT_EQ(NetCountNodes(), 0);
  close(fd);
}

TEST_F(NetLayerTest, RunHandlerNowCallsOnDataOnTheCallersThread) {
  static std::atomic<int> calls{0};
  static std::thread::id caller;
  NetServiceCallbacks cb;
  cb.OnData = [](NetNode*, uint16_t, int32_t* state, void*, int) {
    ++*state;
    caller = std::this_thread::get_id();
    ++calls;
    return false;
  };
  NetRegisterService(kOther, cb);
  calls = 0;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_TRUE(NetAddNode(sv[0], kNodeConnected, 0, 0, 0, nullptr, kNetRingSize, kNetRingSize,
                         kOther, 1));
  EXPECT_TRUE(NetRunHandlerNow(sv[0]));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(caller, std::this_thread::get_id());
  EXPECT_EQ(NetGetOwnerState(sv[0]), 1);
  EXPECT_FALSE(NetRunHandlerNow(sv[1]));
  NetCloseBySocket(sv[0], true);
  close(sv[1]);
}

}  // namespace
