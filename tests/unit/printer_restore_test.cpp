#include "spooler/printer_restore.h"

#include "machine_fixture.h"
#include "spooler/printer_removal.h"

namespace {

const std::u16string kSettings = u"Software\\Vantrel Software KFT\\Orvalstone\\Orvalstones\\";

class PrinterRestoreTest : public unit::MachineTest {
 protected:
  sim::SimPrinter& Queue(const std::u16string& name, const std::string& subKey) {
    sim::SimPrinter& p = AddPackageQueue(name, subKey);
    p.comment = name + u" comment";
    p.location = name + u" location";
    p.shareName = name + u"share";
    return p;
  }
  // Queues in the machine-wide record of what is still to come back.
  size_t RecordedQueues() {
    size_t n = 0;
    for (const auto& t :
         MultiSz(HKEY_LOCAL_MACHINE, u"Software\\Vantrel Software KFT\\Orvalstone", u"SavedQueues"))
      n += t.starts_with(u"N");
    return n;
  }
};

TEST_F(PrinterRestoreTest, SavedQueuesComeBackNewestFirstWithTheirSettingsOrStayRecorded) {
  const struct {
    const char* name;
    bool saved, aIsDefault, nameTaken, monitorGone;
    const char* fault;  // armed before restoring
    unit::Texts queues;
    size_t recorded;
  } cases[] = {
      // Nothing saved gives one fallback queue.
      {"nothing saved", false, false, false, false, nullptr, {u"Other", u"Orvalstone"}, 0},
      {"A default", true, true, false, false, nullptr, {u"Other", u"B", u"A"}, 0},
      {"B default", true, false, false, false, nullptr, {u"Other", u"B", u"A"}, 0},
      // A queue that does not get all it had is an error, and stays recorded for the next run.
      {"settings refused", true, true, false, false, "SetPrinterDataA", {u"Other", u"B", u"A"}, 2},
      {"name taken", true, true, true, false, nullptr, {u"Other", u"A", u"B"}, 1},
      {"monitor gone", true, true, false, true, nullptr, {u"Other"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
    RegisterMonitor();
    m.spooler.drivers.push_back({});
    m.spooler.drivers.back().name = u"Orvalstone printer";
    if (c.saved) {
      Queue(u"A", "Orvalstone\\A1");
      Queue(u"B", "Orvalstone\\B1");
    }
    Queue(u"Other", "x").driverName = u"Microsoft Print To PDF";
    if (c.aIsDefault) m.spooler.defaultPrinter = u"A";
    sim::SetRegValue(m, HKEY_CURRENT_USER, kSettings + u"Orvalstone\\A1", u"deleted", REG_DWORD,
                     {1, 0, 0, 0});
    BuildInstallContext(context);
    context.RestoreQueues = 1;
    DeleteAllPrinters(context);
    Assign(context.LogText, nullptr);
    if (c.nameTaken) Queue(u"A", "someone else's");
    if (c.monitorGone) m.spooler.monitors.pop_back();
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED, -1);
    RestorePrinters(context);

    EXPECT_EQ(Log(), unit::ExpectedLog("printer_restore", c.name));
    EXPECT_EQ(QueueNames(), c.queues);
    EXPECT_EQ(context.ErrorCount, LONG(c.recorded));
    EXPECT_EQ(RecordedQueues(), c.recorded);
    EXPECT_EQ(m.spooler.defaultPrinter,
              c.aIsDefault && !c.nameTaken && !c.monitorGone ? u"A" : u"");
    // The settings come back, the share name does not.
    const sim::SimPrinter* p = c.nameTaken || c.monitorGone ? nullptr : sim::FindPrinter(m, u"A");
    if (!p || !c.saved) continue;
    EXPECT_EQ(p->comment + p->location + p->shareName + p->portName,
              u"A commentA locationOrvalstone:");
  }
}

}  // namespace
