// Concurrent commits: distinct names, one probe per name, and the shared flush
// of the directory that must have run after a commit's rename before it returns.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "platform/errors.h"
#include "tests/core/test_home.h"
#include "tests/spool/spool_fixture.h"

namespace {

// What the injected flush saw: the entries present when a flush began are
// recorded as durable once it has ended.
std::mutex gFlushMutex;
std::set<std::string> gFlushedNames;
int gFlushes = 0;
bool gFlushFails = false;

bool RecordingFlush(const std::string& dir) {
  std::vector<std::string> present = ListFiles(dir, "*.in");
  bool ok = !gFlushFails && SyncDirectory(dir);
  std::lock_guard<std::mutex> lock(gFlushMutex);
  ++gFlushes;
  if (ok)
    for (const std::string& name : present) gFlushedNames.insert(dir + name);
  return ok;
}

class GroupCommitTest : public SpoolTest {
 protected:
  void SetUp() override {
    SpoolTest::SetUp();
    std::lock_guard<std::mutex> lock(gFlushMutex);
    gFlushedNames.clear();
    gFlushes = 0;
    gFlushFails = false;
    SetSpoolDirectorySyncHook(&RecordingFlush);
  }
  void TearDown() override {
    SetSpoolDirectorySyncHook(nullptr);
    SpoolTest::TearDown();
  }

  // One message through the whole producer tail; the committed path or "".
  std::string Produce(const std::string& text) {
    std::string path, why;
    UniqueFd fd = CreateSpoolTemp(path, true, in, out);
    if (!fd.valid() || !SpoolWrite(fd.get(), text, false)) return "";
    return CloseAndCommitSpoolFile(fd, path, true, in, out, why) ? path : "";
  }
};

TEST_F(GroupCommitTest, ConcurrentCommitsLandUnderDistinctNamesAndReturnOnlyWhenFlushed) {
  constexpr int kThreads = 8, kEach = 60;
  std::vector<std::vector<std::string>> committed(kThreads);
  std::atomic<int> unflushedAtReturn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string path = Produce(std::to_string(t) + ":" + std::to_string(i));
        if (path.empty()) continue;
        {
          // The entry was there when a flush began, and that flush has ended.
          std::lock_guard<std::mutex> lock(gFlushMutex);
          if (!gFlushedNames.count(path)) ++unflushedAtReturn;
        }
        committed[t].push_back(path);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(unflushedAtReturn.load(), 0);
  std::set<std::string> names;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(committed[t].size(), size_t(kEach));
    for (int i = 0; i < kEach; ++i) {
      EXPECT_EQ(ReadFile(committed[t][i]), std::to_string(t) + ":" + std::to_string(i));
      names.insert(committed[t][i]);
    }
  }
  EXPECT_EQ(names.size(), size_t(kThreads * kEach));
  EXPECT_EQ(ListFiles(in, "*.in").size(), size_t(kThreads * kEach));
  EXPECT_TRUE(ListFiles(in, "*.wrm").empty());
  // Shared, never more than one per commit.
  std::lock_guard<std::mutex> lock(gFlushMutex);
  EXPECT_GE(gFlushes, 1);
  EXPECT_LE(gFlushes, kThreads * kEach);
}

TEST_F(GroupCommitTest, EveryCommitInOneThreadFlushesItsOwnRename) {
  for (int i = 0; i < 20; ++i) {
    std::string path = Produce("m" + std::to_string(i));
    ASSERT_FALSE(path.empty());
    std::lock_guard<std::mutex> lock(gFlushMutex);
    EXPECT_TRUE(gFlushedNames.count(path)) << path;
  }
  std::lock_guard<std::mutex> lock(gFlushMutex);
  EXPECT_EQ(gFlushes, 20);
}

TEST_F(GroupCommitTest, FailedFlushFailsTheCommitAndTakesTheNameBack) {
  std::string path;
  UniqueFd fd = CreateSpoolTemp(path, true, in, out);
  ASSERT_TRUE(SpoolWrite(fd.get(), "body", false));
  ASSERT_TRUE(SpoolClose(fd));
  std::string temp = path;
  {
    std::lock_guard<std::mutex> lock(gFlushMutex);
    gFlushFails = true;
  }
  int err = 0;
  EXPECT_FALSE(CommitSpoolFile(path, true, in, out, &err, true));
  EXPECT_EQ(err, kErrWriteFault);
  EXPECT_EQ(path, temp);
  EXPECT_EQ(ReadFile(temp), "body");
  EXPECT_TRUE(ListFiles(in, "*.in").empty());
  // The next flush works again.
  {
    std::lock_guard<std::mutex> lock(gFlushMutex);
    gFlushFails = false;
  }
  EXPECT_TRUE(CommitSpoolFile(path, true, in, out, &err, true));
  EXPECT_EQ(path.substr(path.size() - 3), ".in");
}

TEST_F(GroupCommitTest, NamesTakenFasterThanTheClockStillFollowEachOther) {
  // Far more names than milliseconds pass: each follows the one before.
  std::vector<UniqueFd> fds;
  unsigned long last = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string path;
    fds.push_back(CreateSpoolTemp(path, false, in, out));
    ASSERT_TRUE(fds.back().valid());
    unsigned long n = std::stoul(path.substr(out.size(), 8), nullptr, 16);
    if (i > 0) {
      EXPECT_GT(n, last) << path;
    }
    last = n;
  }
  EXPECT_EQ(ListFiles(out, "*.wrm").size(), size_t(2000));
}

TEST_F(GroupCommitTest, CommitsWaitingOnASlowFlushShareTheNextOne) {
  // While one flush runs, the commits that renamed after it began wait for one
  // leader among them instead of each flushing on its own.
  SetSpoolDirectorySyncHook([](const std::string& dir) {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    return RecordingFlush(dir);
  });
  constexpr int kThreads = 8, kEach = 6;
  std::atomic<int> failed{0}, unflushed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string path = Produce(std::to_string(t * 100 + i));
        if (path.empty()) {
          ++failed;
          continue;
        }
        std::lock_guard<std::mutex> lock(gFlushMutex);
        if (!gFlushedNames.count(path)) ++unflushed;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(unflushed.load(), 0);
  EXPECT_EQ(ListFiles(in, "*.in").size(), size_t(kThreads * kEach));
  std::lock_guard<std::mutex> lock(gFlushMutex);
  // Eight producers on a 15 ms flush: far fewer flushes than commits (each alone
  // would make 48; on a loaded machine the producers arrive less together).
  EXPECT_LE(gFlushes, kThreads * kEach / 2) << gFlushes;
}

TEST_F(GroupCommitTest, ACommitWhoseNextNamesAreTakenLeavesThemAlone) {
  // Whether the commit probes first (no retries) or learns from the refused
  // rename (retries), a name some other file holds is skipped, never replaced.
  for (bool retry : {false, true}) {
    SCOPED_TRACE(retry ? "retry" : "no retry");
    std::string path;
    UniqueFd fd = CreateSpoolTemp(path, true, in, out);
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(SpoolWrite(fd.get(), "fresh", false));
    ASSERT_TRUE(SpoolClose(fd));
    unsigned long n = std::stoul(path.substr(in.size(), 8), nullptr, 16);
    // The next numbers for the coming two seconds' worth of ticks are taken.
    std::vector<std::string> taken;
    for (uint32_t k = 1; k <= 2000; ++k) {
      taken.push_back(FormatSpoolName(in, uint32_t(n + k), kIncomingExtension));
      WriteFile(taken.back(), "old " + std::to_string(k));
    }
    int err = -1;
    ASSERT_TRUE(CommitSpoolFile(path, true, in, out, &err, retry));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ReadFile(path), "fresh");
    for (uint32_t k = 1; k <= 2000; ++k) {
      ASSERT_NE(path, taken[k - 1]);
      ASSERT_EQ(ReadFile(taken[k - 1]), "old " + std::to_string(k));
    }
    for (const std::string& t : taken) unlink(t.c_str());
    unlink(path.c_str());
  }
}

}  // namespace

TEST(SpoolDataFlushTest, SharedDataFlushesReportEachCallersOutcome) {
  TestHome home;
  std::string dir = home.dir;
  // Many writers at once: every one returns true once its data are flushed.
  constexpr int kThreads = 6, kEach = 20;
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string path = dir + "d" + std::to_string(t) + "_" + std::to_string(i);
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        std::string text(3000, char('a' + t));
        if (!fd.valid() || !WriteAll(fd.get(), text.data(), text.size()) ||
            !SyncSpoolData(fd.get(), true, dir, dir))
          ++failed;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);

  // A descriptor that cannot be flushed (a pipe) fails its caller, and the next
  // flush goes through again; no descriptor at all fails at once.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  EXPECT_FALSE(SyncSpoolData(writeEnd.get(), true, dir, dir));
  UniqueFd good(::open((dir + "after").c_str(), O_WRONLY | O_CREAT, 0644));
  EXPECT_TRUE(SyncSpoolData(good.get(), true, dir, dir));
  EXPECT_FALSE(SyncSpoolData(-1, true, dir, dir));
}
