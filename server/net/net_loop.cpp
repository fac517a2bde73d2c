// The event loop and the handler pool. One thread waits on every socket with epoll
// (edge-triggered) and hands the work it finds to the node's task; a small pool of
// threads runs those tasks. The loop thread also runs the timed jobs: retry rounds
// (every kNetRetryRoundMs), idle rounds and delayed-close checks (every
// kNetIdleRoundMs) and the idle-time-out watchdog (every kNetWatchdogMs).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/thread_name.h"
#include "platform/tick.h"
#include "server/core/log.h"
#include "server/net/net_internal.h"

void RunNodeTask(const NodeRef& node);  // net_task.cpp

namespace {

// How long NetShutdown waits for the nodes' OnClose before it gives up on them.
constexpr auto kShutdownWait = std::chrono::seconds(30);
constexpr int kEventsPerWait = 128;

struct Pool {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<NodeRef> queue;
  int threads = 0;
  int idle = 0;
  bool stopping = false;
  std::unordered_map<std::thread::id, std::thread> all;
  std::vector<std::thread::id> exited;  // ended for idleness, to be joined
};

struct Loop {
  std::mutex startLock;  // NetStartup and NetShutdown one at a time
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  int epollFd = -1;
  int wakeFd = -1;
  std::thread thread;
};

Pool gPool;
Loop gLoop;
char gWakeMarker;                      // the epoll tag of the wake-up eventfd
std::atomic<bool> gRetryWanted{false};  // some node waits for a retry round

void PoolWorker() {
  NameThisThread("corvel-net");
  std::unique_lock<std::mutex> lk(gPool.lock);
  for (;;) {
    if (gPool.queue.empty()) {
      if (gPool.stopping) break;
      ++gPool.idle;
      bool woke = gPool.wake.wait_for(lk, std::chrono::milliseconds(kNetPoolIdleExitMs), [] {
        return !gPool.queue.empty() || gPool.stopping;
      });
      --gPool.idle;
      if (!woke && gPool.threads > kNetPoolMinThreads) break;
      continue;
    }
    NodeRef node = std::move(gPool.queue.front());
    gPool.queue.pop_front();
    lk.unlock();
    RunNodeTask(node);
    node.reset();
    lk.lock();
  }
  --gPool.threads;
  if (!gPool.stopping) gPool.exited.push_back(std::this_thread::get_id());
}

void EnqueueTask(const NodeRef& node) {
  std::vector<std::thread> reap;
  {
    std::lock_guard<std::mutex> g(gPool.lock);
    gPool.queue.push_back(node);
    // Grow when the queue outruns the idle threads: every thread is busy (or about
    // to be), and a blocked handler must not hold up other connections.
    if (int(gPool.queue.size()) > gPool.idle && gPool.threads < kNetPoolMaxThreads &&
        !gPool.stopping) {
      try {
        std::thread t(PoolWorker);
        ++gPool.threads;
        gPool.all.emplace(t.get_id(), std::move(t));
      } catch (...) {
        // No thread to be had: the queued work waits for a busy one.
      }
    }
    gPool.wake.notify_one();
    for (std::thread::id id : gPool.exited) {
      auto it = gPool.all.find(id);
      if (it == gPool.all.end()) continue;
      reap.push_back(std::move(it->second));
      gPool.all.erase(it);
    }
    gPool.exited.clear();
  }
  for (std::thread& t : reap) t.join();
}

uint32_t WorkFromEvents(uint32_t events) {
  uint32_t work = 0;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)) work |= kWorkRead;
  if (events & EPOLLOUT) work |= kWorkWrite;
  if (events & (EPOLLERR | EPOLLHUP)) work |= kWorkRead | kWorkWrite;
  return work;
}

// Retry rounds for nodes that left input unconsumed.
void RunRetryRounds(std::vector<std::pair<NodeRef, uint32_t>>& batch) {
  NetTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (NetNode* p = t.head; p; p = p->next)
      if (p->retryDue.exchange(false)) batch.emplace_back(t.live[p], kWorkRound);
  }
  for (auto& [node, work] : batch) ScheduleNode(node, work);
  batch.clear();
}

// Idle rounds, delayed closes coming due, listeners retrying after running out of
// descriptors.
void RunHousekeeping(uint32_t now, std::vector<std::pair<NodeRef, uint32_t>>& batch) {
  NetTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (NetNode* p = t.head; p; p = p->next) {
      uint32_t work = 0;
      std::lock_guard<std::mutex> c(p->control);
      if (!p->started || p->finished) continue;
      if (p->stream && !p->listener && p->state == kNodeConnected &&
          TickElapsed(now, p->lastRoundTick) >= kNetIdleRoundMs)
        work |= kWorkRound;
      if (p->closeRequested && p->closeDelay > 0) work |= kWorkClose;
      if (p->acceptBackoff) {
        p->acceptBackoff = false;
        work |= kWorkRead;
      }
      if (work) batch.emplace_back(t.live[p], work);
    }
  }
  for (auto& [node, work] : batch) ScheduleNode(node, work);
  batch.clear();
}

// The idle-time-out watchdog: ends every node quiet for its whole time-out.
void RunWatchdog(uint32_t now, std::vector<std::pair<NodeRef, uint32_t>>& batch) {
  NetTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (NetNode* p = t.head; p; p = p->next) {
      uint32_t idle = p->idleTimeout;
      if (idle != 0 && TickElapsed(now, p->lastActivity) >= idle * 1000u)
        batch.emplace_back(t.live[p], 0);
    }
  }
  for (auto& entry : batch) RequestNodeEnd(entry.first, kCloseUserRequested, true);
  batch.clear();
}

void LoopMain() {
  NameThisThread("corvel-netloop");
  epoll_event events[kEventsPerWait];
  std::vector<std::pair<NodeRef, uint32_t>> batch;
  uint32_t lastHousekeeping = GetTickCount32();
  uint32_t lastWatchdog = lastHousekeeping;
  NetTable& t = Table();
  while (!gLoop.stopping) {
    int n = epoll_wait(gLoop.epollFd, events, kEventsPerWait, int(kNetRetryRoundMs));
    if (n < 0 && errno != EINTR) {
      CriticalError("Error in control thread");
      SleepMs(kNetRetryRoundMs);
      continue;
    }
    try {
      if (n > 0) {
        {
          std::lock_guard<std::mutex> g(t.lock);
          for (int i = 0; i < n; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == &gWakeMarker) {
              uint64_t drain;
              while (read(gLoop.wakeFd, &drain, sizeof drain) > 0) {
              }
              continue;
            }
            // A node deleted after the event was queued is simply not found.
            auto it = t.live.find(static_cast<NetNode*>(tag));
            if (it != t.live.end()) batch.emplace_back(it->second, WorkFromEvents(events[i].events));
          }
        }
        for (auto& [node, work] : batch) ScheduleNode(node, work);
        batch.clear();
      }
      uint32_t now = GetTickCount32();
      if (gRetryWanted.exchange(false)) RunRetryRounds(batch);
      if (TickElapsed(now, lastHousekeeping) >= kNetIdleRoundMs) {
        lastHousekeeping = now;
        RunHousekeeping(now, batch);
      }
      if (TickElapsed(now, lastWatchdog) >= kNetWatchdogMs) {
        lastWatchdog = now;
        RunWatchdog(now, batch);
      }
    } catch (...) {
      batch.clear();
      CriticalError("Error in control thread");
    }
  }
}

void CloseLoopDescriptors() {
  if (gLoop.epollFd >= 0) close(gLoop.epollFd);
  if (gLoop.wakeFd >= 0) close(gLoop.wakeFd);
  gLoop.epollFd = gLoop.wakeFd = -1;
}

}  // namespace

bool NetRunning() { return gLoop.running; }

void RequestRetryRound(NetNode* node) {
  node->retryDue = true;
  gRetryWanted = true;
}

void ScheduleNode(const NodeRef& node, uint32_t work) {
  {
    std::lock_guard<std::mutex> g(node->control);
    if (node->finished) return;
    node->pending |= work;
    if (node->scheduled) return;
    node->scheduled = true;
  }
  EnqueueTask(node);
}

void RequeueNode(const NodeRef& node) { EnqueueTask(node); }

void RequestNodeEnd(const NodeRef& node, int reason, bool idleExpired) {
  {
    std::lock_guard<std::mutex> g(node->control);
    if (node->finished || node->ending) return;
    node->ending = true;
    node->closeReason = reason;
    node->idleExpired = idleExpired;
  }
  ScheduleNode(node, kWorkClose);
}

bool StartNode(const NodeRef& node, int& wsaError) {
  wsaError = 0;
  NetNode* n = node.get();
  int flags = fcntl(n->socket, F_GETFL);
  if (flags < 0 || fcntl(n->socket, F_SETFL, flags | O_NONBLOCK) < 0) {
    wsaError = WsaErrorFromErrno(errno);
    return false;
  }
  uint32_t work = 0;
  {
    // Registration happens under the node's control lock, so a concurrent finish
    // either sees it (and removes it) or prevents it: a closed descriptor number is
    // never registered for a node.
    std::lock_guard<std::mutex> g(n->control);
    if (n->finished || n->ending) return false;
    if (n->started) return true;
    epoll_event ev{};
    ev.events = EPOLLET | EPOLLIN | EPOLLRDHUP;
    if (n->stream && !n->listener) ev.events |= EPOLLOUT;
    ev.data.ptr = n;
    if (epoll_ctl(gLoop.epollFd, EPOLL_CTL_ADD, n->socket, &ev) != 0) {
      wsaError = WsaErrorFromErrno(errno);
      return false;
    }
    n->started = true;
    if (n->listener) work = kWorkRead;
    else if (n->state != kNodeConnecting) work = kWorkRead | kWorkRound;
  }
  if (work) ScheduleNode(node, work);
  return true;
}

void UnregisterNodeSocket(NetNode* node) {
  if (gLoop.epollFd >= 0 && node->socket >= 0)
    epoll_ctl(gLoop.epollFd, EPOLL_CTL_DEL, node->socket, nullptr);
}

bool NetStartup(std::string& why) {
  std::lock_guard<std::mutex> g(gLoop.startLock);
  if (gLoop.running) return true;
  auto fail = [&why](int err) {
    why = "Unable to start the network event loop: " + NetErrorText(WsaErrorFromErrno(err));
    CloseLoopDescriptors();
    return false;
  };
  gLoop.epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (gLoop.epollFd < 0) return fail(errno);
  gLoop.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (gLoop.wakeFd < 0) return fail(errno);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &gWakeMarker;
  if (epoll_ctl(gLoop.epollFd, EPOLL_CTL_ADD, gLoop.wakeFd, &ev) != 0) return fail(errno);
  {
    std::lock_guard<std::mutex> p(gPool.lock);
    gPool.stopping = false;
  }
  gLoop.stopping = false;
  try {
    gLoop.thread = std::thread(LoopMain);
  } catch (...) {
    return fail(EAGAIN);
  }
  gLoop.running = true;
  return true;
}

void NetShutdown() {
  std::lock_guard<std::mutex> g(gLoop.startLock);
  if (!gLoop.running) return;
  gLoop.running = false;  // no new nodes from here on

  NetTable& t = Table();
  std::vector<NodeRef> all;
  {
    std::lock_guard<std::mutex> l(t.lock);
    for (NetNode* p = t.head; p; p = p->next) all.push_back(t.live[p]);
  }
  for (const NodeRef& n : all) RequestNodeEnd(n, kCloseSystemTerminating);
  all.clear();
  bool allEnded;
  {
    std::unique_lock<std::mutex> l(t.lock);
    allEnded = t.emptied.wait_for(l, kShutdownWait, [&t] { return t.count == 0; });
    if (!allEnded)
      LogEvent(0, kLogAlways, "Network shutdown: %d connections did not end.", t.count);
  }

  gLoop.stopping = true;
  uint64_t one = 1;
  if (write(gLoop.wakeFd, &one, sizeof one) < 0) {
    // The loop still wakes within kNetRetryRoundMs.
  }
  gLoop.thread.join();

  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> p(gPool.lock);
    gPool.stopping = true;
    gPool.wake.notify_all();
    for (auto& [id, th] : gPool.all) threads.push_back(std::move(th));
    gPool.all.clear();
    gPool.exited.clear();
  }
  for (std::thread& th : threads) {
    // A handler stuck past the shutdown wait is left behind rather than waited for.
    if (allEnded) th.join();
    else th.detach();
  }
  {
    std::lock_guard<std::mutex> p(gPool.lock);
    gPool.queue.clear();
  }
  CloseLoopDescriptors();
}

// ---- Listening, datagrams, connecting ---------------------------------------------

bool NetListen(int socket, int backlog, int& error) {
  error = 0;
  NodeRef n = RefNodeBySocket(socket);
  if (!n || !n->stream) {
    error = kWsaENotSock;
    return false;
  }
  int off = 0;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
  setsockopt(socket, SOL_SOCKET, SO_DEBUG, &off, sizeof off);
  if (listen(socket, backlog) != 0) {
    error = WsaErrorFromErrno(errno);
    return false;
  }
  {
    std::lock_guard<std::mutex> g(Table().lock);
    n->listener = true;
  }
  n->listenSocket = socket;
  return StartNode(n, error);
}

bool NetStartDatagram(int socket, int* error) {
  int err = 0;
  NodeRef n = RefNodeBySocket(socket);
  bool ok = false;
  if (!n || n->stream) {
    err = kWsaENotSock;
  } else {
    {
      std::lock_guard<std::mutex> g(Table().lock);
      n->listener = true;
    }
    n->selfManaged = true;
    n->listenSocket = socket;
    ok = StartNode(n, err);
  }
  if (error) *error = err;
  return ok;
}

int NetConnect(int socket, const sockaddr_in& address) {
  NodeRef n = RefNodeBySocket(socket);
  if (!n || !n->stream || n->listener) return kWsaENoBufs;
  n->remoteAddress = address;
  int flags = fcntl(socket, F_GETFL);
  if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) return kWsaENoBufs;
  int rc = connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  int err = rc == 0 ? 0 : errno;
  // EINTR leaves the connect going on in the background, like EINPROGRESS.
  bool inProgress = rc != 0 && (err == EINPROGRESS || err == EINTR || err == EALREADY);
  if (!inProgress) {
    std::lock_guard<std::mutex> g(n->control);
    n->connectError = rc == 0 ? 0 : WsaErrorFromErrno(err);
  }
  int startError;
  if (!StartNode(n, startError)) return kWsaENoBufs;
  // A connect that ended at once still reports through OnConnect on the node's task.
  if (!inProgress) ScheduleNode(n, kWorkConnect);
  return 0;
}
