// The platform primitives: error numbers, exclusive opens and no-replace renames,
// directory searches, the tick counter, named locks, the single-instance pid file
// and the server signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/instance.h"
#include "platform/named_lock.h"
#include "platform/signals.h"
#include "platform/tick.h"

namespace {

struct TempDir {
  std::string dir;
  TempDir() {
    char tmpl[] = "/tmp/corvel-platform-XXXXXX";
    dir = mkdtemp(tmpl);
    dir += '/';
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string path = dir + name;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    EXPECT_TRUE(WriteAll(fd.get(), content.data(), content.size()));
    return path;
  }
  std::string Read(const std::string& name) const {
    std::string out;
    ReadWholeFile(dir + name, out);
    return out;
  }
};

// Runs `body` in a child process and returns its exit code (-1 when it did not
// exit normally).
template <typename F>
int RunInChild(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// ---- Error numbers -------------------------------------------------------------

// The numbers the server acts on; unknown values fall back as documented.
TEST(ErrorsTest, NumbersTheServerActsOn) {
  struct Case {
    int err, win, wsa;
  } cases[] = {
      {0, 0, 0},
      {ENOENT, kErrFileNotFound, 10022},       // no WinSock name: WSAEINVAL
      {EWOULDBLOCK, kErrSharingViolation, 10035},
      {EEXIST, kErrFileExists, 10022},
      {ENOSPC, kErrDiskFull, 10022},
      {ECONNREFUSED, kErrGenFailure, 10061},   // no file meaning: general failure
      {EADDRINUSE, kErrGenFailure, 10048},
      {ETIMEDOUT, kErrTimeout, 10060},
      {EHOSTUNREACH, kErrGenFailure, 10065},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WinErrorFromErrno(c.err), c.win) << strerror(c.err);
    EXPECT_EQ(WsaErrorFromErrno(c.err), c.wsa) << strerror(c.err);
  }
}

TEST(ErrorsTest, LastErrorIsPerThread) {
  SetLastWinError(183);
  int other = -1;
  std::thread t([&] {
    SetLastWinError(32);
    other = LastWinError();
  });
  t.join();
  EXPECT_EQ(other, 32);
  EXPECT_EQ(LastWinError(), 183);
}

// ---- Files ---------------------------------------------------------------------

TEST(FilesTest, ExclusiveOpenRefusesSecondOpenerWithSharingViolation) {
  TempDir tmp;
  std::string path = tmp.Write("a.in", "x");
  int err = -1;
  UniqueFd first = OpenExclusive(path, O_RDWR, 0644, &err);
  ASSERT_TRUE(first.valid());
  EXPECT_EQ(err, 0);
  UniqueFd second = OpenExclusive(path, O_RDONLY, 0644, &err);
  EXPECT_FALSE(second.valid());
  EXPECT_EQ(err, kErrSharingViolation);
  EXPECT_EQ(LastWinError(), kErrSharingViolation);
  // A shared open is not refused: readers that do not ask for exclusion get in.
  EXPECT_TRUE(OpenShared(path, O_RDONLY, 0644, &err).valid());
  first.reset();
  EXPECT_TRUE(OpenExclusive(path, O_RDONLY, 0644, &err).valid());
}

TEST(FilesTest, ExclusiveOpenIsRefusedToAnotherProcess) {
  TempDir tmp;
  std::string path = tmp.Write("b.out", "x");
  UniqueFd held = OpenExclusive(path, O_RDWR);
  ASSERT_TRUE(held.valid());
  int code = RunInChild([&] {
    held.reset();  // the child's copy of the descriptor would keep the lock alive
    int err = 0;
    UniqueFd fd = OpenExclusive(path, O_RDWR, 0644, &err);
    return fd.valid() ? 0 : err;
  });
  // The child's close of its inherited copy must not release the parent's lock.
  EXPECT_EQ(code, kErrSharingViolation);
}

TEST(FilesTest, RefusedExclusiveOpenWithTruncateKeepsTheHoldersContent) {
  TempDir tmp;
  std::string path = tmp.Write("mbox", "message one\r\n");
  UniqueFd held = OpenExclusive(path, O_RDWR);
  ASSERT_TRUE(held.valid());
  int err = 0;
  EXPECT_FALSE(OpenExclusive(path, O_WRONLY | O_TRUNC, 0644, &err).valid());
  EXPECT_EQ(err, kErrSharingViolation);
  EXPECT_EQ(tmp.Read("mbox"), "message one\r\n");
  held.reset();
  UniqueFd again = OpenExclusive(path, O_WRONLY | O_TRUNC, 0644, &err);
  ASSERT_TRUE(again.valid());
  EXPECT_EQ(FileSize(path), 0);  // granted: the truncation happens after all
}

TEST(FilesTest, OpenErrorsAreWindowsNumbers) {
  TempDir tmp;
  std::string existing = tmp.Write("there", "");
  struct Case {
    std::string path;
    int flags;
    int win;
  } cases[] = {
      {tmp.dir + "missing", O_RDONLY, kErrFileNotFound},
      {tmp.dir + "nodir/x", O_RDONLY, kErrFileNotFound},
      {existing + "/x", O_RDONLY, kErrPathNotFound},
      {existing, O_WRONLY | O_CREAT | O_EXCL, kErrFileExists},
  };
  for (const Case& c : cases) {
    int err = 0;
    EXPECT_FALSE(OpenExclusive(c.path, c.flags, 0644, &err).valid()) << c.path;
    EXPECT_EQ(err, c.win) << c.path;
    err = 0;
    EXPECT_FALSE(OpenShared(c.path, c.flags, 0644, &err).valid()) << c.path;
    EXPECT_EQ(err, c.win) << c.path;
  }
}

TEST(FilesTest, RenameNoReplaceNeverOverwrites) {
  TempDir tmp;
  std::string from = tmp.Write("t.wrm", "new");
  std::string to = tmp.Write("t.in", "old");
  EXPECT_EQ(RenameNoReplace(from, to), kErrAlreadyExists);
  EXPECT_EQ(tmp.Read("t.in"), "old");
  EXPECT_EQ(tmp.Read("t.wrm"), "new");
  EXPECT_EQ(RenameNoReplace(tmp.dir + "gone.wrm", tmp.dir + "u.in"), kErrFileNotFound);
  EXPECT_EQ(RenameNoReplace(from, tmp.dir + "u.in"), 0);
  EXPECT_EQ(tmp.Read("u.in"), "new");
  EXPECT_FALSE(FileExists(from));
  EXPECT_EQ(RenameReplace(tmp.dir + "u.in", to), 0);
  EXPECT_EQ(tmp.Read("t.in"), "new");
}

TEST(FilesTest, ListFilesMatchesExtensionWithoutCaseAndOnlyRegularFiles) {
  TempDir tmp;
  for (const char* name : {"b.in", "A.IN", "c.inr", "d.In", "e.out", "in", "x.in.wrm"})
    tmp.Write(name, "");
  ASSERT_EQ(::mkdir((tmp.dir + "dir.in").c_str(), 0755), 0);
  using V = std::vector<std::string>;
  struct Case {
    const char* pattern;
    V names;
  } cases[] = {
      {"*.in", V{"A.IN", "b.in", "d.In"}},
      {"*.INR", V{"c.inr"}},
      {"*.wrm", V{"x.in.wrm"}},
      {"*", V{"A.IN", "b.in", "c.inr", "d.In", "e.out", "in", "x.in.wrm"}},
      {"?.out", V{"e.out"}},
      {"*.mla", V{}},
  };
  for (const Case& c : cases) EXPECT_EQ(ListFiles(tmp.dir, c.pattern), c.names) << c.pattern;
  EXPECT_EQ(ListFiles(tmp.dir + "missing", "*"), V{});
}

TEST(FilesTest, PathPartsSplitAtTheLaterSlashOrBackslash) {
  struct Case {
    const char* path;
    const char* dir;
    const char* file;
  } cases[] = {
      {"/var/lib/corvel/alice.mbx", "/var/lib/corvel/", "alice.mbx"},
      {"c:\\mail\\users\\bob.mbx", "c:\\mail\\users\\", "bob.mbx"},
      {"/home/x\\old\\carol.mbx", "/home/x\\old\\", "carol.mbx"},
      {"c:\\mail/dave.mbx", "c:\\mail/", "dave.mbx"},
      {"plain", "", "plain"},
      {"ends/", "ends/", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathDirectory(c.path), c.dir) << c.path;
    EXPECT_EQ(PathFileName(c.path), c.file) << c.path;
  }
}

TEST(FilesTest, SmallHelpers) {
  TempDir tmp;
  std::string nested = tmp.dir + "a/b/c";
  EXPECT_TRUE(MakeDirectories(nested));
  EXPECT_TRUE(MakeDirectories(nested + "/"));  // already there
  EXPECT_TRUE(DirectoryExists(nested));
  EXPECT_FALSE(FileExists(nested));
  std::string big(200000, 'z');
  std::string path = tmp.Write("big", big);
  EXPECT_EQ(FileSize(path), 200000);
  EXPECT_EQ(tmp.Read("big"), big);
  EXPECT_TRUE(SyncParentDirectory(path));
  EXPECT_EQ(DeleteFileWin(path), 0);
  EXPECT_EQ(DeleteFileWin(path), kErrFileNotFound);
  EXPECT_EQ(FileSize(path), -1);
  EXPECT_FALSE(MakeDirectories(tmp.Write("plainfile", "") + "/sub"));
}

// ---- Tick counter --------------------------------------------------------------

TEST(TickTest, ElapsedAcrossTheWrapSubtractsOneMore) {
  struct Case {
    uint32_t now, last, elapsed;
  } cases[] = {
      {1000, 400, 600},
      {5, 5, 0},
      {5, 0xFFFFFFF0u, 20},  // 16 + 5 = 21 ms, counted one less after the wrap
      {0, 0xFFFFFFFFu, 0},
      {0xFFFFFFFFu, 0, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) EXPECT_EQ(TickElapsed(c.now, c.last), c.elapsed) << c.now;
  uint32_t a = GetTickCount32();
  SleepMs(20);
  EXPECT_GE(TickElapsed(GetTickCount32(), a), 20u);
}

// ---- Named locks ---------------------------------------------------------------

struct LockHome {
  TempDir tmp;
  LockHome() { SetHomeDirectory(tmp.dir); }
};

TEST(NamedLockTest, TwoAcquisitionsInOneProcessExcludeEachOther) {
  LockHome home;
  const std::string name = "Corvel-MailboxAccess-/var/mail/alice.mbx";
  NamedLock first, second;
  ASSERT_TRUE(AcquireNamedLock(first, name, 0));
  EXPECT_TRUE(first.held());
  EXPECT_FALSE(AcquireNamedLock(second, name, 0));
  EXPECT_FALSE(AcquireNamedLock(second, name, 30));
  EXPECT_EQ(LastWinError(), kErrTimeout);
  EXPECT_FALSE(second.held());
  NamedLock other;
  EXPECT_TRUE(AcquireNamedLock(other, "Corvel-MailboxAccess-bob", 0));  // another name
  first.release();
  EXPECT_TRUE(AcquireNamedLock(second, name, 0));
  // The lock file sits in <home>/locks with the slashes replaced.
  EXPECT_EQ(ListFiles(home.tmp.dir + "locks", "*.lock").size(), 2u);
}

TEST(NamedLockTest, WaiterGetsTheLockWhenTheHolderReleases) {
  LockHome home;
  NamedLock held;
  ASSERT_TRUE(AcquireNamedLock(held, "busy", 0));
  std::thread releaser([&] {
    SleepMs(50);
    held.release();
  });
  NamedLock waiter;
  EXPECT_TRUE(AcquireNamedLock(waiter, "busy", 5000));
  releaser.join();
}

TEST(NamedLockTest, ExcludesAnotherProcess) {
  LockHome home;
  int toParent[2], toChild[2];
  ASSERT_EQ(pipe(toParent), 0);
  ASSERT_EQ(pipe(toChild), 0);
  pid_t pid = fork();
  if (pid == 0) {
    NamedLock lock;
    char c = AcquireNamedLock(lock, "shared", 0) ? 'y' : 'n';
    if (write(toParent[1], &c, 1) != 1) _exit(2);
    if (read(toChild[0], &c, 1) != 1) _exit(3);  // hold until told
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  NamedLock mine;
  EXPECT_FALSE(AcquireNamedLock(mine, "shared", 20));
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  EXPECT_TRUE(AcquireNamedLock(mine, "shared", 5000));  // free once the child is gone
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) close(fd);
}

TEST(NamedLockTest, LongAndOddNamesStillLock) {
  LockHome home;
  std::string longName(600, 'q');
  NamedLock a, b;
  ASSERT_TRUE(AcquireNamedLock(a, longName, 0));
  EXPECT_FALSE(AcquireNamedLock(b, longName, 0));
  EXPECT_TRUE(AcquireNamedLock(b, longName + "r", 0));  // distinct despite the same head
  NamedLock dots;
  EXPECT_TRUE(AcquireNamedLock(dots, "../../escape", 0));
  EXPECT_TRUE(FileExists(home.tmp.dir + "locks/_.._.._escape.lock"));
}

// ---- Home directory --------------------------------------------------------------

TEST(HomeTest, ResolvesHomeAndRegistry) {
  unsetenv("CORVEL_HOME");
  unsetenv("CORVEL_REGISTRY");
  EXPECT_EQ(ResolveHomeDirectory(nullptr), "/var/lib/corvel/");
  EXPECT_EQ(ResolveHomeDirectory(""), "/var/lib/corvel/");
  EXPECT_EQ(ResolveHomeDirectory("/srv/mail"), "/srv/mail/");
  EXPECT_EQ(ResolveHomeDirectory("/srv/mail/"), "/srv/mail/");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  // Relative homes are fixed before the server changes into the user directory.
  EXPECT_EQ(ResolveHomeDirectory("rel"), std::string(cwd) + "/rel/");
  setenv("CORVEL_HOME", "/from/env", 1);
  EXPECT_EQ(ResolveHomeDirectory(nullptr), "/from/env/");
  EXPECT_EQ(ResolveHomeDirectory("/cmd"), "/cmd/");
  unsetenv("CORVEL_HOME");

  EXPECT_EQ(ResolveRegistryPath(nullptr, "/h/"), "/h/registry.db");
  EXPECT_EQ(ResolveRegistryPath("/r/reg.db", "/h/"), "/r/reg.db");
  setenv("CORVEL_REGISTRY", "/env/reg.db", 1);
  EXPECT_EQ(ResolveRegistryPath(nullptr, "/h/"), "/env/reg.db");
  unsetenv("CORVEL_REGISTRY");
}

TEST(HomeTest, TakesLocationOptionsOutOfTheCommandLine) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::vector<std::string> rest;
    std::string home, registry;
  } cases[] = {
      {{"corvel95", "--home", "/h", "-a"}, true, {"corvel95", "-a"}, "/h", ""},
      {{"corvel95", "-H", "--home=/h", "--registry", "/r.db"}, true, {"corvel95", "-H"}, "/h",
       "/r.db"},
      {{"corvel95", "--registry=/r.db", "/a"}, true, {"corvel95", "/a"}, "", "/r.db"},
      {{"corvel95", "--homely"}, true, {"corvel95", "--homely"}, "", ""},
      {{"corvel95", "--home"}, false, {}, "", ""},
      {{"corvel95", "--registry="}, false, {}, "", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> storage = c.args;
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    int argc = int(c.args.size());
    std::string home, registry, why;
    bool ok = TakeLocationOptions(argc, argv.data(), home, registry, why);
    EXPECT_EQ(ok, c.ok) << c.args[1];
    if (!ok) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    std::vector<std::string> rest(argv.begin(), argv.begin() + argc);
    EXPECT_EQ(rest, c.rest);
    EXPECT_EQ(argv[argc], nullptr);
    EXPECT_EQ(home, c.home);
    EXPECT_EQ(registry, c.registry);
  }
}

// ---- Single instance and signals ---------------------------------------------------

struct BlockedSignals {
  sigset_t old;
  BlockedSignals() {
    pthread_sigmask(SIG_SETMASK, nullptr, &old);
    BlockServerSignals();
  }
  ~BlockedSignals() {
    while (WaitServerSignal(0) != SignalEvent::kNone) {
    }
    sigset_t pipe;  // a pending SIGPIPE would end the test program once unblocked
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    timespec none{0, 0};
    while (sigtimedwait(&pipe, nullptr, &none) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
};

TEST(SignalsTest, TermAndIntMeanShutdownUsr1MeansBroughtForward) {
  BlockedSignals blocked;
  EXPECT_EQ(WaitServerSignal(10), SignalEvent::kNone);
  raise(SIGTERM);
  EXPECT_EQ(WaitServerSignal(1000), SignalEvent::kShutdown);
  raise(SIGINT);
  EXPECT_EQ(WaitServerSignal(1000), SignalEvent::kShutdown);
  raise(SIGUSR1);
  EXPECT_EQ(WaitServerSignal(1000), SignalEvent::kBroughtForward);
  raise(SIGPIPE);  // blocked, never ends the process
  EXPECT_EQ(WaitServerSignal(10), SignalEvent::kNone);
}

TEST(InstanceTest, SecondClaimantSignalsTheFirstAndStaleFilesAreTakenOver) {
  TempDir tmp;
  BlockedSignals blocked;
  // A file left behind by a copy that died: nobody holds its lock.
  tmp.Write("corvel95.pid", "999999\n");
  UniqueFd held;
  std::string why;
  ASSERT_EQ(ClaimSingleInstance(tmp.dir, held, why), InstanceClaim::kFirst) << why;
  EXPECT_TRUE(held.valid());
  EXPECT_EQ(tmp.Read("corvel95.pid"), std::to_string(getpid()) + "\n");

  int code = RunInChild([&] {
    held.reset();
    UniqueFd mine;
    std::string childWhy;
    return int(ClaimSingleInstance(tmp.dir, mine, childWhy));
  });
  EXPECT_EQ(code, int(InstanceClaim::kOtherRunning));
  EXPECT_EQ(WaitServerSignal(2000), SignalEvent::kBroughtForward);
  // The refused claimant left the running copy's pid in place.
  EXPECT_EQ(tmp.Read("corvel95.pid"), std::to_string(getpid()) + "\n");

  held.reset();
  UniqueFd again;
  EXPECT_EQ(ClaimSingleInstance(tmp.dir, again, why), InstanceClaim::kFirst);
}

TEST(InstanceTest, MissingHomeIsCreatedAndAFileInTheWayIsAnError) {
  TempDir tmp;
  UniqueFd held;
  std::string why;
  EXPECT_EQ(ClaimSingleInstance(tmp.dir + "new/home", held, why), InstanceClaim::kFirst) << why;
  std::string blocker = tmp.Write("file", "");
  UniqueFd other;
  EXPECT_EQ(ClaimSingleInstance(blocker + "/sub", other, why), InstanceClaim::kError);
  EXPECT_FALSE(why.empty());
}

}  // namespace
