#include "server/core/parallel.h"

#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "platform/thread_name.h"

namespace {

// More threads than files flushed at once gain nothing; a flush waits on the
// device, not the processor, so this is far above the core count on purpose.
constexpr size_t kPoolThreads = 16;

struct Job {
  TaskGroup* group;
  std::shared_ptr<const std::function<bool(size_t)>> fn;
  size_t index;
};

struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  size_t threads = 0;
  size_t idle = 0;
};

// Never destroyed: its threads may still wait on it while the process exits.
Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

void RunJob(const Job& job) {
  bool ok = (*job.fn)(job.index);
  std::lock_guard<std::mutex> lock(job.group->mutex);
  if (!ok) job.group->allOk = false;
  if (--job.group->pending == 0) job.group->done.notify_all();
}

void PoolThread() {
  NameThisThread("corvel-flush");
  Pool& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.mutex);
  // A new thread is counted idle by the one that made it.
  for (;;) {
    pool.wake.wait(lock, [&] { return !pool.jobs.empty(); });
    --pool.idle;
    Job job = std::move(pool.jobs.front());
    pool.jobs.pop_front();
    lock.unlock();
    RunJob(job);
    lock.lock();
    ++pool.idle;
  }
}

// Queues the jobs and makes sure enough threads are there to take them.
void Post(TaskGroup& group, size_t n, std::shared_ptr<const std::function<bool(size_t)>> fn,
          size_t first) {
  if (first >= n) return;
  {
    std::lock_guard<std::mutex> lock(group.mutex);
    group.pending += n - first;
  }
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  for (size_t i = first; i < n; ++i) pool.jobs.push_back(Job{&group, fn, i});
  while (pool.threads < kPoolThreads && pool.idle < pool.jobs.size()) {
    try {
      std::thread(PoolThread).detach();
    } catch (...) {
      break;  // the waiter runs what no thread takes
    }
    ++pool.threads;
    ++pool.idle;
  }
  // One thread per job, not every idle thread: the others would only wake to
  // find the queue empty again.
  for (size_t i = first; i < n; ++i) pool.wake.notify_one();
}

// Takes one queued job of `group` off the pool's list, if there is one.
bool TakeOwnJob(TaskGroup& group, Job& out) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  for (auto it = pool.jobs.begin(); it != pool.jobs.end(); ++it) {
    if (it->group == &group) {
      out = std::move(*it);
      pool.jobs.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace

bool RunInParallel(size_t n, const std::function<bool(size_t)>& fn) {
  if (n == 0) return true;
  if (n == 1) return fn(0);
  TaskGroup group;
  // The caller runs the first job itself; the others go to the pool, and what
  // the pool has not yet started when the caller is free, the caller takes back.
  auto shared = std::make_shared<const std::function<bool(size_t)>>(fn);
  Post(group, n, shared, 1);
  bool ok = fn(0);
  return WaitTaskGroup(group) && ok;
}

void StartInBackground(TaskGroup& group, size_t n, std::function<bool(size_t)> fn) {
  Post(group, n, std::make_shared<const std::function<bool(size_t)>>(std::move(fn)), 0);
}

bool WaitTaskGroup(TaskGroup& group) {
  Job job;
  while (TakeOwnJob(group, job)) RunJob(job);
  std::unique_lock<std::mutex> lock(group.mutex);
  group.done.wait(lock, [&] { return group.pending == 0; });
  bool ok = group.allOk;
  group.allOk = true;
  return ok;
}
