// The handler threads. Every thread of the pool waits on the one epoll descriptor
// itself (edge-triggered) and runs the tasks of the nodes whose events it took, on
// the spot: the thread the kernel wakes for a client's command is the thread that
// reads it, runs OnData and sends the reply. Handing each event from a waiting
// thread to a worker thread cost two context switches per command, which on a
// virtual machine was most of the server's CPU.
//
// Work that arises on a thread of the pool (a new connection's first round, a
// close) is run by that thread after its current task; work from other threads
// (the periodic worker waking a session, a close requested from outside) goes to
// the shared queue and wakes one waiting thread. A thread runs one task at a
// time and passes any other task it has to the shared queue before it starts
// one, because a handler may block (a disk flush, a lookup, mailbox indexing)
// and must never hold up other nodes.
//
// The pool grows by one thread whenever the last thread waiting on epoll leaves
// it, so while handlers block there is always a thread left to take new events
// (up to kNetPoolMaxThreads). Whether a handler is about to block cannot be known
// beforehand, so the pool also grows during a burst of busy handlers; once no
// thread has been left waiting for kNetPoolIdleExitMs, the threads beyond
// kNetPoolMinThreads end one by one. (The kernel wakes the waiting threads in
// turn, so a thread's own idle time says nothing about the pool's need.)
//
// Timed work runs on whichever thread takes the timer's event: retry rounds for
// nodes that left input unread, idle rounds, delayed closes and descriptor
// back-off (every kNetIdleRoundMs), and the idle-time-out watchdog (every
// kNetWatchdogMs).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
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
constexpr int kEventsPerWait = 32;

using Batch = std::deque<NodeRef>;

struct Pool {
  std::mutex lock;  // guards everything but `waiting`
  Batch queue;      // tasks any thread may take
  int threads = 0;
  bool stopping = false;
  std::unordered_map<std::thread::id, std::thread> all;
  std::vector<std::thread::id> exited;  // ended for idleness, to be joined
};

struct Loop {
  std::mutex startLock;  // NetStartup and NetShutdown one at a time
  std::atomic<bool> running{false};
  int epollFd = -1;
  int wakeFd = -1;
  int timerFd = -1;
};

// When the timed jobs last ran and when the timer is set to fire next.
struct Timers {
  std::mutex lock;          // held while the timed jobs run (one thread at a time)
  std::mutex armLock;       // guards `armedFor`
  uint32_t armedFor = 0;    // tick the timer fires at; 0 = not armed
  uint32_t lastHousekeeping = 0;
  uint32_t lastWatchdog = 0;
};

Pool gPool;
Loop gLoop;
Timers gTimers;
std::atomic<int> gWaiting{0};           // threads inside epoll_wait
std::atomic<bool> gRetryWanted{false};  // some node waits for a retry round
std::atomic<bool> gStopping{false};     // NetShutdown is ending the threads
std::atomic<uint32_t> gLastSaturated{0};  // tick when a thread last found none waiting
char gWakeMarker;                       // the epoll tag of the wake-up eventfd
char gTimerMarker;                      // the epoll tag of the timer

// The batch of the pool thread running this code (null elsewhere).
thread_local Batch* tl_batch = nullptr;

void WakeOneThread() {
  uint64_t one = 1;
  if (write(gLoop.wakeFd, &one, sizeof one) < 0) {
    // The counter is already far from zero: a wake-up is pending anyway.
  }
}

// Sets the timer to fire within `ms` unless it fires earlier already.
void ArmTimerWithin(uint32_t ms) {
  uint32_t due = GetTickCount32() + ms;
  if (due == 0) due = 1;
  std::lock_guard<std::mutex> g(gTimers.armLock);
  if (gTimers.armedFor != 0 && int32_t(gTimers.armedFor - due) <= 0) return;
  gTimers.armedFor = due;
  itimerspec spec{};
  spec.it_value.tv_sec = ms / 1000;
  spec.it_value.tv_nsec = long(ms % 1000) * 1000000L + 1;
  timerfd_settime(gLoop.timerFd, 0, &spec, nullptr);
}

void PoolThread();

// Starts one more pool thread (caller holds gPool.lock). False when none can be had.
bool StartPoolThreadLocked() {
  if (gPool.threads >= kNetPoolMaxThreads || gPool.stopping) return false;
  try {
    std::thread t(PoolThread);
    ++gPool.threads;
    gPool.all.emplace(t.get_id(), std::move(t));
    return true;
  } catch (...) {
    return false;  // the threads there are take the work in turn
  }
}

// Joins the threads that ended for idleness (never the caller itself).
void ReapExited() {
  std::vector<std::thread> reap;
  {
    std::lock_guard<std::mutex> g(gPool.lock);
    for (auto it = gPool.exited.begin(); it != gPool.exited.end();) {
      auto found = gPool.all.find(*it);
      if (*it == std::this_thread::get_id() || found == gPool.all.end()) {
        ++it;
        continue;
      }
      reap.push_back(std::move(found->second));
      gPool.all.erase(found);
      it = gPool.exited.erase(it);
    }
  }
  for (std::thread& t : reap) t.join();
}

// Every thread is busy: one more so that new events are still taken.
void GrowIfNoneWaits() {
  if (gWaiting.load() > 0) return;
  {
    std::lock_guard<std::mutex> g(gPool.lock);
    StartPoolThreadLocked();
  }
  ReapExited();
}

// Puts tasks on the shared queue and makes sure a thread comes for them.
void ShareTasks(Batch& tasks) {
  if (tasks.empty()) return;
  {
    std::lock_guard<std::mutex> g(gPool.lock);
    for (NodeRef& t : tasks) gPool.queue.push_back(std::move(t));
  }
  tasks.clear();
  if (gWaiting.load() > 0) WakeOneThread();
  else GrowIfNoneWaits();
}

// Takes one task of the shared queue; when more are left, another thread is
// woken for them, so a queue of many tasks spreads over the idle threads.
bool TakeShared(Batch& into) {
  bool more;
  {
    std::lock_guard<std::mutex> g(gPool.lock);
    if (gPool.queue.empty()) return false;
    into.push_back(std::move(gPool.queue.front()));
    gPool.queue.pop_front();
    more = !gPool.queue.empty();
  }
  if (more) {
    if (gWaiting.load() > 0) WakeOneThread();
    else GrowIfNoneWaits();
  }
  return true;
}

// Runs this thread's batch: the first task here, at once; anything behind it
// goes to the other threads, since the task may block (a flush, a lookup) for
// as long as it likes.
void RunBatch(Batch& batch) {
  while (!batch.empty()) {
    NodeRef node = std::move(batch.front());
    batch.pop_front();
    ShareTasks(batch);
    RunNodeTask(node);
  }
}

uint32_t WorkFromEvents(uint32_t events) {
  uint32_t work = 0;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)) work |= kWorkRead;
  if (events & EPOLLOUT) work |= kWorkWrite;
  if (events & (EPOLLERR | EPOLLHUP)) work |= kWorkRead | kWorkWrite;
  if (events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) work |= kWorkHangup;
  return work;
}

// Retry rounds for nodes that left input unconsumed.
void RunRetryRounds(std::vector<std::pair<NodeRef, uint32_t>>& found) {
  NetTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (NetNode* p = t.head; p; p = p->next)
      if (p->retryDue.exchange(false)) found.emplace_back(t.live[p], kWorkRound);
  }
  for (auto& [node, work] : found) ScheduleNode(node, work);
  found.clear();
}

// Idle rounds, delayed closes coming due, listeners retrying after running out of
// descriptors. A node's idle round comes after its idle gap, which doubles with
// every idle round up to kNetIdleRoundMaxMs (a round with activity resets it), so
// thousands of quiet connections cost next to nothing.
void RunHousekeeping(uint32_t now, std::vector<std::pair<NodeRef, uint32_t>>& found) {
  NetTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (NetNode* p = t.head; p; p = p->next) {
      uint32_t work = 0;
      std::lock_guard<std::mutex> c(p->control);
      if (!p->started || p->finished) continue;
      if (p->stream && !p->listener && p->state == kNodeConnected &&
          TickElapsed(now, p->lastRoundTick) >= p->idleGap) {
        work |= kWorkRound | kWorkIdle;
        p->idleGap = std::min<uint32_t>(p->idleGap * 2, kNetIdleRoundMaxMs);
      }
      if (p->closeRequested && p->closeDelay > 0) work |= kWorkClose;
      if (p->acceptBackoff) {
        p->acceptBackoff = false;
        work |= kWorkRead;
      }
      if (work) found.emplace_back(t.live[p], work);
    }
  }
  for (auto& [node, work] : found) ScheduleNode(node, work);
  found.clear();
}

// The idle-time-out watchdog: ends every node quiet for its whole time-out.
void RunWatchdog(uint32_t now, std::vector<std::pair<NodeRef, uint32_t>>& found) {
  NetTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    for (NetNode* p = t.head; p; p = p->next) {
      uint32_t idle = p->idleTimeout;
      if (idle != 0 && TickElapsed(now, p->lastActivity) >= idle * 1000u)
        found.emplace_back(t.live[p], 0);
    }
  }
  for (auto& entry : found) RequestNodeEnd(entry.first, kCloseUserRequested, true);
  found.clear();
}

// The timer fired: the timed jobs that are due, then the timer set again.
void RunTimedJobs() {
  {
    std::lock_guard<std::mutex> g(gTimers.armLock);
    gTimers.armedFor = 0;
  }
  // Another thread running them sets the timer again itself.
  std::unique_lock<std::mutex> g(gTimers.lock, std::try_to_lock);
  if (!g.owns_lock()) return;
  std::vector<std::pair<NodeRef, uint32_t>> found;
  uint32_t now = GetTickCount32();
  try {
    if (gRetryWanted.exchange(false)) RunRetryRounds(found);
    if (TickElapsed(now, gTimers.lastHousekeeping) >= kNetIdleRoundMs) {
      gTimers.lastHousekeeping = now;
      RunHousekeeping(now, found);
    }
    if (TickElapsed(now, gTimers.lastWatchdog) >= kNetWatchdogMs) {
      gTimers.lastWatchdog = now;
      RunWatchdog(now, found);
    }
  } catch (...) {
    CriticalError("Error in control thread");
  }
  uint32_t since = TickElapsed(GetTickCount32(), gTimers.lastHousekeeping);
  uint32_t next = since >= kNetIdleRoundMs ? 1 : kNetIdleRoundMs - since;
  if (gRetryWanted) next = std::min(next, kNetRetryRoundMs);
  ArmTimerWithin(next);
}

// Turns the events of one wait into work: node tasks join this thread's batch
// (ScheduleNode puts them there), a timer event runs the timed jobs.
void TakeEvents(const epoll_event* events, int n) {
  std::vector<std::pair<NodeRef, uint32_t>> found;
  bool timer = false;
  {
    NetTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &gWakeMarker) {
        // Only a wake-up: this thread takes the shared queue next.
      } else if (tag == &gTimerMarker) {
        timer = true;
      } else {
        // A node deleted after the event was queued is simply not found.
        auto it = t.live.find(static_cast<NetNode*>(tag));
        if (it != t.live.end()) found.emplace_back(it->second, WorkFromEvents(events[i].events));
      }
    }
  }
  // The wake-up counter is never read (edge-triggered, it need not be; while
  // shutting down it stays readable, so every thread sees it). One read takes a
  // timer's expirations.
  uint64_t drain;
  if (timer && read(gLoop.timerFd, &drain, sizeof drain) < 0) {
  }
  for (auto& [node, work] : found) ScheduleNode(node, work);
  if (timer) RunTimedJobs();
}

void PoolThread() {
  NameThisThread("corvel-net");
  Batch batch;
  tl_batch = &batch;

  epoll_event events[kEventsPerWait];
  for (;;) {
    try {
      if (TakeShared(batch)) {
        RunBatch(batch);
        continue;
      }
      int timeout;
      {
        std::lock_guard<std::mutex> g(gPool.lock);
        if (gPool.stopping) break;
        bool surplus = gPool.threads > kNetPoolMinThreads;
        if (surplus && TickElapsed(GetTickCount32(), gLastSaturated.load()) >= kNetPoolIdleExitMs) {
          // The pool has not needed this many threads for a while: one fewer.
          --gPool.threads;
          gPool.exited.push_back(std::this_thread::get_id());
          break;
        }
        timeout = surplus ? int(kNetPoolIdleExitMs) : -1;
      }
      gWaiting.fetch_add(1);
      int n = epoll_wait(gLoop.epollFd, events, kEventsPerWait, timeout);
      int left = gWaiting.fetch_sub(1) - 1;
      if (n < 0) {
        if (errno != EINTR) {
          CriticalError("Error in control thread");
          SleepMs(kNetRetryRoundMs);
        }
        continue;
      }
      if (n == 0) continue;  // the check above decides whether this thread ends
      if (left == 0) {
        gLastSaturated = GetTickCount32();
        GrowIfNoneWaits();
      }
      TakeEvents(events, n);
      RunBatch(batch);
    } catch (...) {
      batch.clear();
      CriticalError("Error in control thread");
    }
  }
  tl_batch = nullptr;
}

void CloseLoopDescriptors() {
  for (int* fd : {&gLoop.epollFd, &gLoop.wakeFd, &gLoop.timerFd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace

bool NetRunning() { return gLoop.running; }

void RequestRetryRound(NetNode* node) {
  node->retryDue = true;
  if (!gRetryWanted.exchange(true)) ArmTimerWithin(kNetRetryRoundMs);
}

void ScheduleNode(const NodeRef& node, uint32_t work) {
  {
    std::lock_guard<std::mutex> g(node->control);
    if (node->finished) return;
    node->pending |= work;
    if (node->scheduled) return;
    node->scheduled = true;
  }
  if (tl_batch) {
    tl_batch->push_back(node);  // runs on this thread once its current task is done
    return;
  }
  Batch one;
  one.push_back(node);
  ShareTasks(one);
}

void RequeueNode(const NodeRef& node) {
  Batch one;
  one.push_back(node);
  ShareTasks(one);
}

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
  if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(n->socket, F_SETFL, flags | O_NONBLOCK) < 0)) {
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
    // A connection's first round needs no read: bytes already waiting make the
    // registration report the socket readable, which brings a read of its own.
    if (n->listener) work = kWorkRead;
    else if (n->state != kNodeConnecting) work = kWorkRound;
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
  gLoop.timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (gLoop.timerFd < 0) return fail(errno);
  epoll_event ev{};
  // Edge-triggered: each wake-up reaches one waiting thread (a level-triggered
  // counter woke every waiting thread until one of them had read it), and
  // nobody needs to read it. Shutting down turns it level-triggered.
  ev.events = EPOLLIN | EPOLLET;
  ev.data.ptr = &gWakeMarker;
  if (epoll_ctl(gLoop.epollFd, EPOLL_CTL_ADD, gLoop.wakeFd, &ev) != 0) return fail(errno);
  ev.events = EPOLLIN | EPOLLET;  // one thread per expiry
  ev.data.ptr = &gTimerMarker;
  if (epoll_ctl(gLoop.epollFd, EPOLL_CTL_ADD, gLoop.timerFd, &ev) != 0) return fail(errno);
  {
    std::lock_guard<std::mutex> t(gTimers.armLock);
    gTimers.armedFor = 0;
    gTimers.lastHousekeeping = gTimers.lastWatchdog = GetTickCount32();
  }
  gRetryWanted = false;
  gStopping = false;
  gLastSaturated = GetTickCount32();

  gLoop.running = true;
  {
    std::lock_guard<std::mutex> p(gPool.lock);
    gPool.stopping = false;
    for (int i = 0; i < kNetPoolMinThreads; ++i) {
      if (!StartPoolThreadLocked() && i == 0) {
        gLoop.running = false;
        gPool.stopping = true;
        CloseLoopDescriptors();
        why = "Unable to start the network event loop: " + NetErrorText(WsaErrorFromErrno(EAGAIN));
        return false;
      }
    }
  }
  ArmTimerWithin(kNetIdleRoundMs);
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
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> p(gPool.lock);
    gPool.stopping = true;
  }
  gStopping = true;
  {
    // Level-triggered and never read: every thread sees it and ends.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &gWakeMarker;
    epoll_ctl(gLoop.epollFd, EPOLL_CTL_MOD, gLoop.wakeFd, &ev);
  }
  WakeOneThread();
  {
    std::lock_guard<std::mutex> p(gPool.lock);
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
    gPool.threads = 0;
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
