// Work spread over a small pool of kept threads: the router flushes, marks and
// deletes many files at once, and waiting on the disk for each in turn would
// make one slow device step the whole queue. Threads are made once and kept, so
// a call costs a wake-up, not a thread start.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

// Jobs started together and waited for together.
struct TaskGroup {
  std::mutex mutex;
  std::condition_variable done;
  size_t pending = 0;
  bool allOk = true;
};

// Runs fn(0..n-1) on the pool (the caller takes part) and waits for all of them.
// True when every call returned true.
bool RunInParallel(size_t n, const std::function<bool(size_t)>& fn);

// Starts fn(0..n-1) on the pool without waiting; WaitTaskGroup waits for every
// job started in `group`. `fn` is copied and must stay valid on its own.
void StartInBackground(TaskGroup& group, size_t n, std::function<bool(size_t)> fn);

// Waits for every job of `group`; true when every one returned true (the group
// is then empty and ready for reuse).
bool WaitTaskGroup(TaskGroup& group);
