#include "spooler/service_control.h"

#include "machine_fixture.h"

namespace {

using ServiceControlTest = unit::MachineTest;

// A restart's own cases run through the driver removal, the pending modules and the scenarios.
TEST_F(ServiceControlTest, CheckStartsAStoppedSpoolerWithinItsWait) {
  const struct {
    const char* name;
    DWORD state;
    uint32_t startDelayMs;
    const char* fault;
    bool disabled, running;
    uint64_t sleptMs;
  } cases[] = {
      {"running", SERVICE_RUNNING, 0, nullptr, false, true, 0},
      {"starts within 200 ms", SERVICE_STOPPED, 30, nullptr, false, true, 200},
      {"starts on the last of 51 reads", SERVICE_STOPPED, 10000, nullptr, false, true, 10000},
      {"starts while it says it is starting", SERVICE_STOPPED, 12000, nullptr, false, true, 12000},
      {"starts too late", SERVICE_STOPPED, 61000, nullptr, false, false, 60000},
      {"disabled", SERVICE_STOPPED, 0, nullptr, true, false, 10000},
      {"manager refused", SERVICE_RUNNING, 0, "OpenSCManagerW", false, false, 0},
      {"spooler refused", SERVICE_RUNNING, 0, "OpenServiceW", false, false, 0},
      {"status unreadable", SERVICE_STOPPED, 0, "QueryServiceStatus", false, true, 0},
  };
  for (const auto& c : cases) {
    Fresh();
    SetLastError(0);
    Spooler().state = c.state;
    Spooler().startDelayMs = c.startDelayMs;
    Spooler().disabled = c.disabled;
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    context.Indent = 1;
    EXPECT_EQ(CheckSpooler(context), c.running) << c.name;
    EXPECT_EQ(m.sleptMs, c.sleptMs) << c.name;
    EXPECT_EQ(Log(), unit::ExpectedLog("service_control", c.name));
    EXPECT_EQ(context.Indent, 1);
    EXPECT_EQ(sim::SpoolerRunning(m), c.state == SERVICE_RUNNING || (c.running && !c.fault));
  }
}

}  // namespace
