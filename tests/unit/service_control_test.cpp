#include "spooler/service_control.h"

#include "machine_fixture.h"

namespace {

using ServiceControlTest = unit::MachineTest;

const std::u16string kStartRefused =
    u" - (The service cannot be started, either because it is disabled or because it has no "
    u"enabled devices associated with it.)";

TEST_F(ServiceControlTest, CheckStartsAStoppedSpoolerWithinItsWait) {
  const struct {
    DWORD state;
    uint32_t startDelayMs;
    const char* fault;
    bool disabled, running;
    uint64_t sleptMs;
    std::u16string line;
  } cases[] = {
      {SERVICE_RUNNING, 0, nullptr, false, true, 0, u""},
      {SERVICE_STOPPED, 30, nullptr, false, true, 200, u""},
      {SERVICE_STOPPED, 10000, nullptr, false, true, 10000, u""},  // on the last of 51 reads
      {SERVICE_STOPPED, 12000, nullptr, false, false, 10000, u"Error(4): Can't start the spooler"},
      {SERVICE_STOPPED, 0, nullptr, true, false, 10000,
       u"Error(4): Can't start the spooler" + kStartRefused},
      {SERVICE_RUNNING, 0, "OpenSCManagerW", false, false, 0,
       u"Error(1): Can't open service manager. - (Access is denied.)"},
      {SERVICE_RUNNING, 0, "OpenServiceW", false, false, 0,
       u"Error(2): Can't open the spooler - (Access is denied.)"},
      // An unreadable status is taken for running.
      {SERVICE_STOPPED, 0, "QueryServiceStatus", false, true, 0, u""},
  };
  for (const auto& c : cases) {
    Fresh();
    SetLastError(0);
    Spooler().state = c.state;
    Spooler().startDelayMs = c.startDelayMs;
    Spooler().disabled = c.disabled;
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    context.Indent = 1;
    EXPECT_EQ(CheckSpooler(context), c.running) << c.startDelayMs << c.fault;
    EXPECT_EQ(m.sleptMs, c.sleptMs) << &c - cases;
    EXPECT_EQ(Log(), u"  >Check Spooler\r\n" + (c.line.empty() ? u"" : u"    " + c.line + u"\r\n"));
    EXPECT_EQ(context.Indent, 1);
  }
}

TEST_F(ServiceControlTest, RestartStopsForTheScopeAndStartsAgain) {
  const std::u16string dependents =
      u" - (A stop control has been sent to a service that other running services are "
      u"dependent on.)";
  const struct {
    DWORD state, stopRefusal;
    bool disableInside, withContext, running;
    uint64_t sleptMs;
    std::u16string lines;
  } cases[] = {
      {SERVICE_RUNNING, 0, false, true, true, 400, u""},
      {SERVICE_STOPPED, 0, false, true, true, 200, u""},  // the first status read ends the wait
      // A refused stop waits out its bound; the start request is refused and ends at once.
      {SERVICE_RUNNING, ERROR_DEPENDENT_SERVICES_RUNNING, false, true, true, 10000,
       u"Error(5): ControlService failed with code 1051 (0x41b)" + dependents +
           u"\r\nError(3): Can't stop the spooler" + dependents + u"\r\n"},
      {SERVICE_RUNNING, 0, true, true, false, 10200,
       u"Error(4): Can't start the spooler" + kStartRefused + u"\r\n"},
      {SERVICE_RUNNING, 0, false, false, true, 400, u""},
      {SERVICE_RUNNING, ERROR_DEPENDENT_SERVICES_RUNNING, false, false, true, 10000, u""},
  };
  for (const auto& c : cases) {
    Fresh();
    Spooler().state = c.state;
    Spooler().stopRefusal = c.stopRefusal;
    {
      SpoolerRestart restart(c.withContext ? &context : nullptr);
      EXPECT_EQ(Spooler().state == SERVICE_STOPPED, c.stopRefusal == 0);
      Spooler().disabled = c.disableInside;
    }
    EXPECT_EQ(sim::SpoolerRunning(m), c.running);
    EXPECT_EQ(m.sleptMs, c.sleptMs) << &c - cases;
    EXPECT_EQ(Log(), c.withContext ? u">Restart Spooler\r\n" + c.lines : u"");
    EXPECT_EQ(context.ErrorCount, LONG(std::count(c.lines.begin(), c.lines.end(), u'\n')));
  }
}

}  // namespace
