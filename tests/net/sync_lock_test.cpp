// SyncLock: recursive for its holder in both forms; the named form excludes another
// SyncLock of the same name, as two mailbox sessions of one process would hold.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "platform/home.h"
#include "server/net/sync_lock.h"

namespace {

TEST(SyncLockTest, UnnamedLockIsRecursiveForItsHolderAndExcludesOthers) {
  SyncLock lock;
  ASSERT_TRUE(AcquireSyncLock(lock));
  ASSERT_TRUE(AcquireSyncLock(lock));  // a handler calling back into the layer
  std::atomic<bool> otherGotIt{false};
  std::thread other([&] {
    SyncLockHold hold(lock);
    otherGotIt = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(otherGotIt);
  ReleaseSyncLock(lock);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(otherGotIt);  // still held once
  ReleaseSyncLock(lock);
  other.join();
  EXPECT_TRUE(otherGotIt);
}

TEST(SyncLockTest, NamedLocksOfOneNameExcludeEachOther) {
  char dir[] = "/tmp/corvel-synclock-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  SetHomeDirectory(dir);
  SyncLock first, second;
  SetSyncLockName(first, "Corvel-MailboxAccess-alice");
  SetSyncLockName(second, "Corvel-MailboxAccess-alice");
  ASSERT_TRUE(AcquireSyncLock(first));
  ASSERT_TRUE(AcquireSyncLock(first));  // nested on the holding thread
  std::atomic<bool> secondGotIt{false};
  std::thread other([&] {
    SyncLockHold hold(second);
    secondGotIt = hold.held();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(secondGotIt);
  ReleaseSyncLock(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(secondGotIt);
  ReleaseSyncLock(first);
  other.join();
  EXPECT_TRUE(secondGotIt);
  std::string cmd = std::string("rm -rf ") + dir;
  EXPECT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
