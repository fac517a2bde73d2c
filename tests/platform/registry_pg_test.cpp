// What only the database store has: the read cache that every node's changes
// reach within a second, the named locks that exclude other processes (other
// nodes) and die with their holder, an outage of the database that calls
// survive without reopening the store; and the command-line tools on either
// store.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/named_lock.h"
#include "platform/registry.h"
#include "platform/tick.h"
#include "tests/support/postgres.h"

namespace {

const char* const kKey = "SOFTWARE\\Tollgrove\\Corvel\\Users\\alice";

// Polls `done` every 10 ms for up to `ms`; true as soon as it holds.
template <typename F>
bool WaitFor(uint32_t ms, F done) {
  uint32_t start = GetTickCount32();
  while (!done()) {
    if (TickElapsed(GetTickCount32(), start) >= ms) return false;
    usleep(10000);
  }
  return true;
}

std::string ReadString(const std::string& key, const std::string& name) {
  RegValue v;
  return RegQueryValue(key, name, v) ? RegDecodeSz(v.data) : std::string("<none>");
}

// A database of its own on the shared throw-away cluster.
class RegistryDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    bool missing = false;
    cluster_ = SharedPostgres(why, missing);
    if (!cluster_ && missing) GTEST_SKIP() << kNoPostgres;
    ASSERT_NE(cluster_, nullptr) << why;
    uri_ = cluster_->CreateDatabase(why);
    ASSERT_FALSE(uri_.empty()) << why;
    ASSERT_TRUE(RegOpenStore(uri_, why)) << why;
  }
  void TearDown() override {
    RegUseReadCache(false);
    RegCloseStore();
    if (cluster_ && !uri_.empty()) cluster_->DropDatabase(uri_);
  }
  // Runs `body` in a child that opens the store on its own connection; the
  // child's exit status (0 = its checks held).
  template <typename F>
  pid_t Child(F body) {
    pid_t pid = fork();
    if (pid == 0) {
      std::string why;
      if (!RegOpenStore(uri_, why)) _exit(99);
      int rc = body();
      RegCloseStore();
      _exit(rc);
    }
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  PostgresCluster* cluster_ = nullptr;
  std::string uri_;
};

// Another process's writes (another node's, corvelreg's) reach this process's
// cache within a second, key by key and for whole trees; its own at once.
TEST_F(RegistryDatabaseTest, CachedReadsSeeEveryWriterWithinASecond) {
  ASSERT_TRUE(RegSetString(kKey, "FullName", "Alice"));
  ASSERT_TRUE(RegSetString("SOFTWARE\\Other", "x", "1"));
  RegUseReadCache(true);
  // Reads are kept once the listener listens; fill the cache while it starts.
  ASSERT_TRUE(WaitFor(3000, [] { return RegStoreReachable(); }));
  usleep(200000);
  EXPECT_EQ(ReadString(kKey, "FullName"), "Alice");
  EXPECT_EQ(ReadString(kKey, "Missing"), "<none>");
  EXPECT_EQ(ReadString("SOFTWARE\\Other", "x"), "1");

  struct Step {
    const char* what;
    int (*write)();
    const char* key;
    const char* name;
    const char* expect;
  };
  const Step steps[] = {
      {"rewrite", [] { return RegSetString(kKey, "fullname", "Alice B") ? 0 : 1; }, kKey,
       "FullName", "Alice B"},
      {"a value once missing", [] { return RegSetString(kKey, "MISSING", "now") ? 0 : 1; }, kKey,
       "Missing", "now"},
      {"a deleted value", [] { return RegDeleteValue(kKey, "Missing") ? 0 : 1; }, kKey, "Missing",
       "<none>"},
      {"a deleted tree",
       [] { return RegDeleteKeyTree("SOFTWARE\\Tollgrove\\Corvel") ? 0 : 1; }, kKey, "FullName",
       "<none>"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_EQ(Wait(Child(step.write)), 0);
    uint32_t start = GetTickCount32();
    EXPECT_TRUE(WaitFor(1000, [&] { return ReadString(step.key, step.name) == step.expect; }))
        << ReadString(step.key, step.name);
    EXPECT_LT(TickElapsed(GetTickCount32(), start), 1000u);
  }
  EXPECT_EQ(ReadString("SOFTWARE\\Other", "x"), "1");  // a neighbour stays
  // This process's own write is seen by its next read.
  ASSERT_TRUE(RegSetString("SOFTWARE\\Other", "x", "2"));
  EXPECT_EQ(ReadString("SOFTWARE\\Other", "x"), "2");
  std::vector<RegValue> values;
  ASSERT_TRUE(RegEnumValues("SOFTWARE\\Other", values));
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(RegDecodeSz(values[0].data), "2");
}

// A mailbox lock excludes another process (another node) and other threads of
// this one, whatever the case of its name, and dies with a holder that is killed.
TEST_F(RegistryDatabaseTest, NamedLocksExcludeOtherProcessesAndDieWithTheirHolder) {
  const std::string name = "Corvel-MailboxAccess-Alice";
  NamedLock mine;
  ASSERT_TRUE(AcquireNamedLock(mine, name, 0));
  // Another process: busy under any case of the name, free under another name.
  pid_t pid = Child([&] {
    NamedLock l;
    if (AcquireNamedLock(l, "corvel-mailboxaccess-ALICE", 50)) return 1;
    if (LastWinError() != kErrTimeout) return 2;
    if (!AcquireNamedLock(l, "Corvel-MailboxAccess-bob", 0)) return 3;
    return 0;
  });
  EXPECT_EQ(Wait(pid), 0);
  // Another thread of this process.
  std::atomic<bool> got{true};
  std::thread([&] {
    NamedLock l;
    got = AcquireNamedLock(l, name, 50);
  }).join();
  EXPECT_FALSE(got);
  mine.release();
  EXPECT_FALSE(mine.held());

  // A holder killed while it holds: the lock is free once its connection is gone.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid = Child([&] {
    NamedLock l;
    char c = AcquireNamedLock(l, name, 0) ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    return 0;
  });
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  ASSERT_EQ(c, 'y');
  EXPECT_FALSE(AcquireNamedLock(mine, name, 0));
  kill(pid, SIGKILL);
  Wait(pid);
  EXPECT_TRUE(AcquireNamedLock(mine, name, 5000));
}

// The database stopped and started again under an open store: calls fail with 53
// and are counted (never "not found"), the cache keeps nothing meanwhile, and
// everything works again without reopening.
// The command-line tools against either store: corvelreg's set, get and delete on
// the database, and an export from the file imported into the database (and
// back into a new file) gives the same export byte for byte, odd names and all
// four types; a companion program runs against the database unchanged.
TEST_F(RegistryDatabaseTest, ToolsWorkOnEitherStoreAndExportsCrossOver) {
  char tmpl[] = "/tmp/corvel-regx-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl, why;
  std::string reg = std::string(CORVEL_BIN_DIR) + "/corvelreg";
  auto tool = [&](const std::string& location, const std::string& args, int& rc) {
    return RunForOutput(reg + " --registry '" + location + "' " + args + " 2>&1", rc);
  };
  auto slurp = [](const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
  };
  int rc;

  // On the database: set, get, delete.
  tool(uri_, "set 'SOFTWARE\\Tollgrove\\Corvel\\Tools' Greeting sz 'hello there'", rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(tool(uri_, "get 'software\\tollgrove\\corvel\\TOOLS' greeting", rc).find("hello there"),
            std::string::npos);
  EXPECT_EQ(rc, 0);
  tool(uri_, "delete 'SOFTWARE\\Tollgrove\\Corvel\\Tools' Greeting", rc);
  EXPECT_EQ(rc, 0);
  tool(uri_, "get 'SOFTWARE\\Tollgrove\\Corvel\\Tools' Greeting", rc);
  EXPECT_EQ(rc, 1) << "a deleted value is still there";

  // A file registry with every type and awkward names, exported.
  std::string file = dir + "/a.db";
  RegCloseStore();
  ASSERT_TRUE(RegOpenStore(file, why)) << why;
  const std::string key = "SOFTWARE\\Tollgrove\\Corvel\\Odd Key \"quoted\"\\Ünïcode";
  ASSERT_TRUE(RegSetString(key, "", "default"));
  ASSERT_TRUE(RegSetString(key, "Back\\slash \"name\"", "line\\with \"quotes\""));
  ASSERT_TRUE(RegSetDword(key, "Number", 0xdeadbeef));
  ASSERT_TRUE(RegSetMultiString(key, "Multi", {"one", "", "three"}));
  ASSERT_TRUE(RegSetValue(key, "Binary", kRegBinary, std::string("\0\x01\xff\n\r", 5)));
  ASSERT_TRUE(RegSetString("SOFTWARE\\Tollgrove\\Corvel\\Users", "Alice", "u;Alice;/x;y;"));
  RegCloseStore();
  const std::string root = "'SOFTWARE\\Tollgrove\\Corvel'";
  tool(file, "export " + root + " " + dir + "/a.reg", rc);
  ASSERT_EQ(rc, 0);

  // Into the database, out again; into a new file, out again.
  std::string out = tool(uri_, "delete " + root, rc);
  ASSERT_EQ(rc, 0) << out;
  out = tool(uri_, "import " + dir + "/a.reg", rc);
  ASSERT_EQ(rc, 0) << out;
  tool(uri_, "export " + root + " " + dir + "/b.reg", rc);
  ASSERT_EQ(rc, 0);
  out = tool(dir + "/c.db", "import " + dir + "/b.reg", rc);
  ASSERT_EQ(rc, 0) << out;
  tool(dir + "/c.db", "export " + root + " " + dir + "/c.reg", rc);
  ASSERT_EQ(rc, 0);
  std::string a = slurp(dir + "/a.reg");
  EXPECT_NE(a.find("Binary"), std::string::npos);
  EXPECT_EQ(slurp(dir + "/b.reg"), a);
  EXPECT_EQ(slurp(dir + "/c.reg"), a);

  // A companion program: the configuration checker reads the database and saves
  // its backup from there (exit 0 or 1: it ran; 3: it could not).
  std::string audit = std::string(CORVEL_BIN_DIR) + "/cfgaudit --home " + dir +
                      " --registry '" + uri_ + "' -g -a 2>&1";
  out = RunForOutput(audit, rc);
  EXPECT_TRUE(rc == 0 || rc == 1) << rc << ": " << out;
  EXPECT_NE(RunForOutput("ls " + dir + "/backup/*.reg", rc), "") << out;

  ASSERT_TRUE(RegOpenStore(uri_, why)) << why;
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

TEST(RegistryDatabaseOutage, CallsFailWith53AndRecoverWithoutReopening) {
  PostgresCluster cluster;
  std::string why;
  bool missing = false;
  if (!cluster.Start(why, missing)) {
    if (missing) GTEST_SKIP() << kNoPostgres;
    FAIL() << why;
  }
  std::string uri = cluster.CreateDatabase(why);
  ASSERT_FALSE(uri.empty()) << why;
  ASSERT_TRUE(RegOpenStore(uri, why)) << why;
  RegUseReadCache(true);
  ASSERT_TRUE(RegSetString(kKey, "FullName", "Alice"));
  ASSERT_TRUE(WaitFor(3000, [] { return RegStoreReachable(); }));
  EXPECT_EQ(ReadString(kKey, "FullName"), "Alice");

  ASSERT_TRUE(cluster.Stop(why)) << why;
  EXPECT_TRUE(WaitFor(3000, [] { return !RegStoreReachable(); }));
  uint64_t before = RegUnreachableFailures();
  RegValue v;
  EXPECT_FALSE(RegQueryValue(kKey, "FullName", v));  // not from the cache
  EXPECT_EQ(LastWinError(), kErrBadNetPath);
  EXPECT_FALSE(RegSetString(kKey, "FullName", "Changed"));
  EXPECT_EQ(LastWinError(), kErrBadNetPath);
  EXPECT_GT(RegUnreachableFailures(), before);
  NamedLock lock;
  EXPECT_FALSE(AcquireNamedLock(lock, "Corvel-MailboxAccess-alice", 0));
  EXPECT_EQ(LastWinError(), kErrBadNetPath);

  ASSERT_TRUE(cluster.Restart(why)) << why;
  EXPECT_TRUE(WaitFor(5000, [] { return RegStoreReachable(); }));
  EXPECT_TRUE(WaitFor(5000, [] { return ReadString(kKey, "FullName") == "Alice"; }));
  EXPECT_TRUE(RegSetString(kKey, "FullName", "Alice C"));
  EXPECT_EQ(ReadString(kKey, "FullName"), "Alice C");
  EXPECT_TRUE(WaitFor(5000, [&] { return AcquireNamedLock(lock, "Corvel-MailboxAccess-alice", 0); }));
  lock.release();
  RegUseReadCache(false);
  RegCloseStore();
}

}  // namespace
