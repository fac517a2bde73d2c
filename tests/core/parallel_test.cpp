// The kept thread pool behind the router's parallel flushes and deletions.
#include "server/core/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(ParallelTest, EveryIndexRunsOnceAndOneFailureIsReported) {
  for (size_t n : {0u, 1u, 3u, 40u}) {
    std::vector<std::atomic<int>> seen(n);
    EXPECT_TRUE(RunInParallel(n, [&](size_t i) {
      ++seen[i];
      return true;
    }));
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(seen[i].load(), 1) << n << ":" << i;
  }
  EXPECT_FALSE(RunInParallel(20, [](size_t i) { return i != 13; }));
  // Jobs that wait on each other only finish if they really run at once.
  std::atomic<int> arrived{0};
  EXPECT_TRUE(RunInParallel(4, [&](size_t) {
    ++arrived;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived.load() < 4 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return arrived.load() == 4;
  }));
}

TEST(ParallelTest, BackgroundJobsAreWaitedForAndTheGroupIsReusable) {
  TaskGroup group;
  std::atomic<int> done{0};
  StartInBackground(group, 8, [&done](size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ++done;
    return true;
  });
  StartInBackground(group, 2, [](size_t i) { return i == 0; });
  EXPECT_FALSE(WaitTaskGroup(group));
  EXPECT_EQ(done.load(), 8);
  EXPECT_TRUE(WaitTaskGroup(group));  // nothing pending, the failure is forgotten
  StartInBackground(group, 3, [&done](size_t) { return ++done > 0; });
  EXPECT_TRUE(WaitTaskGroup(group));
  EXPECT_EQ(done.load(), 11);
}

}  // namespace
