#include "server/core/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "platform/tick.h"
#include "server/core/config.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "tests/core/test_home.h"

namespace {

struct Calls {
  int outgoing = 0, incoming = 0, checks = 0;
  std::string order;  // "i" incoming scan, "c" outgoing checks, in call order
  bool lastForced = false;
  bool throwInOutgoing = false;
  int checksResult = 1;
} calls;

int FakeOutgoing(bool forced) {
  ++calls.outgoing;
  calls.lastForced = forced;
  if (calls.throwInOutgoing) throw std::runtime_error("boom");
  return 0;
}
int FakeIncoming() {
  ++calls.incoming;
  calls.order += 'i';
  return 0;
}
int FakeChecks() {
  ++calls.checks;
  calls.order += 'c';
  return calls.checksResult;
}

struct WorkerFixture : ::testing::Test {
  TestHome home;
  void SetUp() override {
    calls = Calls{};
    JobHooks() = PeriodicJobHooks{};
    JobHooks().scanOutgoingQueue = FakeOutgoing;
    JobHooks().scanIncomingQueue = FakeIncoming;
    JobHooks().outgoingChecks = FakeChecks;
    WorkerFlags().incomingRequest = false;
    WorkerFlags().outgoingAgain = false;
    WorkerFlags().forcedRequest = false;
    WorkerFlags().outgoingChecks = false;
    ServerSettings().useVelmontRouter = true;
    SetQueueIntervals(60, 60, 0);
    SetSystemStarted(1);
  }
  void TearDown() override {
    SetSystemStarted(0);
    JobHooks() = PeriodicJobHooks{};
  }
};

bool WindowHas(const std::string& text) {
  auto lines = WindowLogLines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(TickTest, ElapsedAcrossWrapAround) {
  EXPECT_EQ(TickElapsed(1500, 1000), 500u);
  EXPECT_EQ(TickElapsed(5, 0xFFFFFFF0u), 20u);  // wrapped: one millisecond less
  EXPECT_EQ(TickElapsed(0, 0xFFFFFFFFu), 0u);
}

TEST_F(WorkerFixture, FirstOutgoingScanWaitsAnIntervalUnlessConnected) {
  const uint32_t t0 = 1000000;
  SetupTimers(t0, /*netAlwaysPresent=*/false, /*connectAtStart=*/false);
  RunPeriodicTick(t0 + 500);
  EXPECT_EQ(calls.outgoing, 0);
  RunPeriodicTick(t0 + 60001);
  EXPECT_EQ(calls.outgoing, 1);

  calls = Calls{};
  SetupTimers(t0, /*netAlwaysPresent=*/true, /*connectAtStart=*/false);
  RunPeriodicTick(t0 + 500);
  EXPECT_EQ(calls.outgoing, 1);
  calls = Calls{};
  SetupTimers(t0, false, /*connectAtStart=*/true);
  RunPeriodicTick(t0 + 500);
  EXPECT_EQ(calls.outgoing, 1);
}

TEST_F(WorkerFixture, StartingActionsOnceAfterThirtySecondsForceAConnection) {
  const uint32_t t0 = 5000000;
  SetupTimers(t0, false, false);
  RunPeriodicTick(t0 + 29000);
  EXPECT_FALSE(WorkerState().startingActionsDone);
  RunPeriodicTick(t0 + 30500);
  EXPECT_TRUE(WorkerState().startingActionsDone);
  EXPECT_TRUE(WindowHas("Performing starting actions."));
  EXPECT_EQ(calls.outgoing, 1);
  EXPECT_TRUE(calls.lastForced);
  // The forced request was consumed.
  RunPeriodicTick(t0 + 31000 + 60001);
  EXPECT_FALSE(calls.lastForced);
}

TEST_F(WorkerFixture, FaultInOutgoingScanIsReportedAndTheTickGoesOn) {
  SetupTimers(100, true, false);
  calls.throwInOutgoing = true;
  int before = CriticalErrorCount();
  RunPeriodicTick(200);
  EXPECT_EQ(CriticalErrorCount(), before + 1);
  EXPECT_TRUE(WindowHas("CRITICAL-ERROR: Error processing outgoing queues."));
  EXPECT_EQ(calls.incoming, 1);
}

TEST_F(WorkerFixture, IncomingRequestMakesEveryTickScan) {
  SetupTimers(10000000, true, false);
  WorkerState().lastRun[5] = 10000000;  // no date-change check (it asks for a scan itself)
  RunPeriodicTick(10000500);
  EXPECT_EQ(calls.incoming, 1);
  RunPeriodicTick(10001000);
  EXPECT_EQ(calls.incoming, 1);  // interval not reached, nothing requested
  RequestIncomingScan();
  RunPeriodicTick(10001500);
  RunPeriodicTick(10002000);
  EXPECT_EQ(calls.incoming, 3);
  ServerSettings().useVelmontRouter = false;
  RunPeriodicTick(10002500);
  EXPECT_EQ(calls.incoming, 3);
}

TEST_F(WorkerFixture, OutgoingChecksReturningZeroRunAgainNextTick) {
  SetupTimers(20000000, true, false);
  calls.checksResult = 0;
  RunPeriodicTick(20000500);
  RunPeriodicTick(20001000);
  EXPECT_EQ(calls.checks, 2);
  calls.checksResult = 1;
  RunPeriodicTick(20001500);
  RunPeriodicTick(20002000);
  EXPECT_EQ(calls.checks, 3);  // now every 5 s
}

// An outgoing session that has news is heard before the router's batch, once.
TEST_F(WorkerFixture, AskedForOutgoingChecksRunBeforeTheIncomingScan) {
  SetupTimers(30000000, true, false);
  RunPeriodicTick(30000500);  // both run at the first tick, in table order
  EXPECT_EQ(calls.order, "ic");
  RequestIncomingScan();
  RequestOutgoingChecks();
  RunPeriodicTick(30001000);
  EXPECT_EQ(calls.order, "icci");
}

TEST_F(WorkerFixture, NothingRunsBeforeTheSystemHasStarted) {
  SetupTimers(100, true, true);
  SetSystemStarted(0);
  RunPeriodicTick(200);
  EXPECT_EQ(calls.outgoing + calls.incoming + calls.checks, 0);
}

}  // namespace
