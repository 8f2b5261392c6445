#include "spooler/service_control.h"

#include "context/run_log.h"
#include "machine_fixture.h"

namespace {

class ServiceControlTest : public unit::MachineTest {
 protected:
  ServiceControlTest() { SetLastError(0); }
};

const std::u16string kStartRefused =
    u"The service cannot be started, either because it is disabled or because it has no "
    u"enabled devices associated with it.";

TEST_F(ServiceControlTest, CheckOnRunningSpoolerOnlyWritesItsHeader) {
  context.Indent = 2;
  EXPECT_TRUE(CheckSpooler(context));
  EXPECT_EQ(Log(), u"    >Check Spooler\r\n");
  EXPECT_EQ(context.Indent, 2);
  EXPECT_EQ(m.sleptMs, 0u);
}

TEST_F(ServiceControlTest, CheckStartsAStoppedSpoolerAndWaitsForIt) {
  const struct {
    uint32_t startDelayMs;
    bool running;
    uint64_t sleptMs;
  } cases[] = {
      {30, true, 200},
      {10000, true, 10000},   // reached on the last of the 51 status reads
      {12000, false, 10000},  // runs only after the wait gave up
  };
  for (const auto& c : cases) {
    Fresh();
    Assign(context.LogText, nullptr);
    context.ErrorCount = 0;
    Spooler().state = SERVICE_STOPPED;
    Spooler().startDelayMs = c.startDelayMs;
    EXPECT_EQ(CheckSpooler(context), c.running) << c.startDelayMs;
    EXPECT_EQ(m.sleptMs, c.sleptMs);
    if (c.running) {
      EXPECT_EQ(Log(), u">Check Spooler\r\n");
    } else {
      EXPECT_EQ(Log(), u">Check Spooler\r\n  Error(4): Can't start the spooler\r\n");
      sim::Advance(m, 2000);
      EXPECT_TRUE(sim::SpoolerRunning(m));  // later, but too late for the run
    }
  }
}

TEST_F(ServiceControlTest, CheckReportsWhatCannotBeOpenedOrStarted) {
  const struct {
    const char* api;
    bool disable;
    std::u16string line;
  } cases[] = {
      {"OpenSCManagerW", false, u"  Error(1): Can't open service manager. - (Access is denied.)"},
      {"OpenServiceW", false, u"  Error(2): Can't open the spooler - (Access is denied.)"},
      {nullptr, true, u"  Error(4): Can't start the spooler - (" + kStartRefused + u")"},
  };
  for (const auto& c : cases) {
    Fresh();
    Assign(context.LogText, nullptr);
    context.Indent = 0;
    if (c.api) sim::AddFault(m, c.api, ERROR_ACCESS_DENIED);
    if (c.disable) {
      Spooler().state = SERVICE_STOPPED;
      Spooler().disabled = true;
    }
    EXPECT_FALSE(CheckSpooler(context));
    EXPECT_EQ(Log(), u">Check Spooler\r\n" + c.line + u"\r\n");
    EXPECT_EQ(context.Indent, 0);
  }
}

TEST_F(ServiceControlTest, CheckTakesAnUnreadableStatusForRunning) {
  Spooler().state = SERVICE_STOPPED;
  sim::AddFault(m, "QueryServiceStatus", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CheckSpooler(context));
  EXPECT_EQ(Log(), u">Check Spooler\r\n");
  EXPECT_FALSE(sim::SpoolerRunning(m));
}

TEST_F(ServiceControlTest, RestartStopsForTheScopeAndStartsAgain) {
  {
    SpoolerRestart restart(&context);
    EXPECT_EQ(Spooler().state, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(restart.StopAttempted, 1);
  }
  EXPECT_TRUE(sim::SpoolerRunning(m));
  EXPECT_EQ(Spooler().stops, 1u);
  EXPECT_EQ(Spooler().starts, 1u);
  EXPECT_EQ(Log(), u">Restart Spooler\r\n");
  EXPECT_EQ(context.Indent, 0);
}

TEST_F(ServiceControlTest, RestartOfAStoppedSpoolerLeavesItRunning) {
  Spooler().state = SERVICE_STOPPED;
  {
    SpoolerRestart restart(&context);
    EXPECT_EQ(m.sleptMs, 0u);  // the first status read ends the wait
  }
  EXPECT_TRUE(sim::SpoolerRunning(m));
  EXPECT_EQ(Log(), u">Restart Spooler\r\n");
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(ServiceControlTest, RestartWhoseStopIsRefused) {
  Spooler().stopRefusal = ERROR_DEPENDENT_SERVICES_RUNNING;
  const std::u16string dependents =
      u" - (A stop control has been sent to a service that other running services are "
      u"dependent on.)";
  {
    SpoolerRestart restart(&context);
    EXPECT_EQ(m.sleptMs, 10000u);
  }
  EXPECT_EQ(m.sleptMs, 10000u);  // the start request is refused and the wait ends at once
  EXPECT_EQ(Log(),
            u">Restart Spooler\r\n"
            u"Error(5): ControlService failed with code 1051 (0x41b)" +
                dependents + u"\r\nError(3): Can't stop the spooler" + dependents + u"\r\n");
  EXPECT_EQ(context.ErrorCount, 2);
}

TEST_F(ServiceControlTest, RestartReportsASpoolerThatWillNotComeBack) {
  {
    SpoolerRestart restart(&context);
    Spooler().disabled = true;
  }
  EXPECT_EQ(Log(), u">Restart Spooler\r\nError(4): Can't start the spooler - (" + kStartRefused +
                       u")\r\n");
  EXPECT_FALSE(sim::SpoolerRunning(m));
}

TEST_F(ServiceControlTest, GuardWithoutContextWorksSilently) {
  {
    SpoolerRestart restart(nullptr);
    EXPECT_EQ(Spooler().state, DWORD(SERVICE_STOPPED));
  }
  EXPECT_TRUE(sim::SpoolerRunning(m));
  // Failures are silent too: a refused stop waits out its bound and starts nothing new.
  Spooler().stopRefusal = ERROR_DEPENDENT_SERVICES_RUNNING;
  sim::AddFault(m, "StartServiceW", ERROR_ACCESS_DENIED);
  { SpoolerRestart restart(nullptr); }
  EXPECT_TRUE(sim::SpoolerRunning(m));
  EXPECT_EQ(context.LogText.Block, nullptr);
}

}  // namespace
