// Lines and bytes through the node rings over real loopback connections: line ends,
// pieces, lines split across reads, the all-or-nothing send ring.
#include <mutex>
#include <vector>

#include "tests/net/net_test_util.h"

namespace {

constexpr uint16_t kLineService = 4;
constexpr uint16_t kSendService = 5;

// ---- A probe that records what NetReadLine returns --------------------------------

struct LineProbe {
  std::mutex lock;
  int max = 2047;
  std::vector<std::string> results;  // "len:text" or "-2:text"
  int incomplete = 0;                // -1 answers seen
};

LineProbe* gProbe = nullptr;

bool ProbeAccept(uint16_t service, void*, int socket, const sockaddr_in&) {
  return NetAddNode(socket, kNodeConnected, 300, 0, 0, gProbe, kNetRingSize, kNetRingSize,
                    service, 1);
}

bool ProbeData(NetNode* node, uint16_t, int32_t*, void* owner, int) {
  auto* p = static_cast<LineProbe*>(owner);
  if (!p) return false;
  std::vector<char> buf(size_t(p->max) + 1);
  for (;;) {
    int n = NetReadLine(node, buf.data(), p->max);
    std::lock_guard<std::mutex> g(p->lock);
    if (n == -1) {
      ++p->incomplete;
      return false;
    }
    p->results.push_back(std::to_string(n) + ":" + buf.data());
  }
}

struct ReadLineCase {
  const char* name;
  std::vector<std::string> chunks;  // sent one by one, each after the layer saw the last
  int max;
  std::vector<std::string> expect;
};

class NetRingTest : public NetTest {};

TEST_F(NetRingTest, ReadLineCases) {
  const ReadLineCase cases[] = {
      {"crlf", {"HELO a\r\n"}, 2047, {"6:HELO a"}},
      {"bare lf", {"HELO a\n"}, 2047, {"6:HELO a"}},
      {"cr inside dropped", {"HE\rLO\r\n"}, 2047, {"4:HELO"}},
      {"empty lines", {"\r\n\n"}, 2047, {"0:", "0:"}},
      {"two lines in one read", {"a\r\nbb\r\n"}, 2047, {"1:a", "2:bb"}},
      {"line split across reads", {"HEL", "LO\r\n"}, 2047, {"5:HELLO"}},
      {"cr lf split across reads", {"abc\r", "\n"}, 2047, {"3:abc"}},
      {"exactly max", {"abc\r\n"}, 3, {"3:abc"}},
      {"pieces of max", {"abcdefgh\r\n"}, 3, {"-2:abc", "-2:def", "2:gh"}},
      {"piece then rest later", {"abcd", "ef\r\n"}, 3, {"-2:abc", "3:def"}},
  };
  NetServiceCallbacks cb;
  cb.OnAccept = ProbeAccept;
  cb.OnData = ProbeData;
  NetRegisterService(kLineService, cb);
  uint16_t port = OpenLoopbackListener(kLineService);
  ASSERT_NE(port, 0);
  for (const ReadLineCase& c : cases) {
    SCOPED_TRACE(c.name);
    LineProbe probe;
    probe.max = c.max;
    gProbe = &probe;
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      int seen;
      {
        std::lock_guard<std::mutex> g(probe.lock);
        seen = probe.incomplete;
      }
      ASSERT_TRUE(SendAllText(fd, c.chunks[i]));
      if (i + 1 < c.chunks.size()) {
        // The next chunk only after the layer has looked at this one.
        ASSERT_TRUE(WaitUntil([&] {
          std::lock_guard<std::mutex> g(probe.lock);
          return probe.incomplete > seen;
        }));
      }
    }
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> g(probe.lock);
      return probe.results.size() >= c.expect.size();
    }));
    close(fd);
    ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }));
    std::lock_guard<std::mutex> g(probe.lock);
    EXPECT_EQ(probe.results, c.expect);
    gProbe = nullptr;
  }
}

// A 100 KB line without an end comes out in -2 pieces, and once its end arrives the
// rest of it as a line; nothing is lost or doubled.
TEST_F(NetRingTest, HundredKilobyteLineComesInPieces) {
  NetServiceCallbacks cb;
  cb.OnAccept = ProbeAccept;
  cb.OnData = ProbeData;
  NetRegisterService(kLineService, cb);
  uint16_t port = OpenLoopbackListener(kLineService);
  LineProbe probe;
  gProbe = &probe;
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  std::string line(100 * 1024, 'x');
  for (size_t i = 0; i < line.size(); ++i) line[i] = char('a' + i % 26);
  ASSERT_TRUE(SendAllText(fd, line));
  ASSERT_TRUE(SendAllText(fd, "\r\nnext\r\n"));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(probe.lock);
    return !probe.results.empty() && probe.results.back() == "4:next";
  }));
  std::string joined;
  {
    std::lock_guard<std::mutex> g(probe.lock);
    for (size_t i = 0; i + 1 < probe.results.size(); ++i) {
      const std::string& r = probe.results[i];
      bool last = i + 2 == probe.results.size();
      EXPECT_EQ(r.compare(0, 3, last ? r.substr(0, r.find(':') + 1) : "-2:"), 0) << i;
      joined += r.substr(r.find(':') + 1);
    }
  }
  EXPECT_EQ(joined, line);
  close(fd);
  gProbe = nullptr;
}

// ---- The send ring ----------------------------------------------------------------

struct SendProbe {
  std::mutex lock;
  bool ran = false;
  bool refused9000 = false;
  int spaceAfterRefusal = -1;
  bool took8192 = false;
  int spaceAfterFill = -1;
};

SendProbe* gSendProbe = nullptr;

bool SendProbeAccept(uint16_t service, void*, int socket, const sockaddr_in&) {
  int tiny = 1;  // the smallest socket buffer, so the ring has to hold the bytes
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny);
  return NetAddNode(socket, kNodeConnected, 300, 0, 0, gSendProbe, kNetRingSize, kNetRingSize,
                    service, 1);
}

bool SendProbeData(NetNode* node, uint16_t, int32_t*, void* owner, int) {
  auto* p = static_cast<SendProbe*>(owner);
  std::lock_guard<std::mutex> g(p->lock);
  if (p->ran) return false;
  p->ran = true;
  std::string big(9000, 'z');
  p->refused9000 = !_SendData(node, big.data(), 9000);
  p->spaceAfterRefusal = NetSendSpace(node);
  p->took8192 = _SendData(node, big.data(), 8192);
  p->spaceAfterFill = NetSendSpace(node);
  return false;
}

TEST_F(NetRingTest, NineThousandBytesOnAnEmptyRingQueueNothing) {
  SendProbe probe;
  gSendProbe = &probe;
  NetServiceCallbacks cb;
  cb.OnAccept = SendProbeAccept;
  cb.OnData = SendProbeData;
  NetRegisterService(kSendService, cb);
  uint16_t port = OpenLoopbackListener(kSendService);
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> g(probe.lock);
    return probe.ran;
  }));
  {
    std::lock_guard<std::mutex> g(probe.lock);
    EXPECT_TRUE(probe.refused9000);
    EXPECT_EQ(probe.spaceAfterRefusal, 8192);
    EXPECT_TRUE(probe.took8192);
    EXPECT_EQ(probe.spaceAfterFill, 0);  // within a round output waits for its end
  }
  // Exactly the 8192 bytes arrive: the refused 9000 left nothing behind.
  EXPECT_EQ(ReceiveBytes(fd, 8192), std::string(8192, 'z'));
  close(fd);
  ASSERT_TRUE(WaitUntil([] { return NetCountConnections() == 0; }));
  gSendProbe = nullptr;
}

}  // namespace
