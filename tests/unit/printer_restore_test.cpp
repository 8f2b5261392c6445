#include "spooler/printer_restore.h"

#include "machine_fixture.h"
#include "spooler/printer_removal.h"

namespace {

const std::u16string kSettings = u"Software\\Vantrel Software KFT\\Orvalstone\\Orvalstones\\";

class PrinterRestoreTest : public unit::MachineTest {
 protected:
  PrinterRestoreTest() { Reset(); }
  // The package's monitor and driver registered, no queues.
  void Reset() {
    Fresh();
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
    m.spooler.monitors.push_back(
        {u"Orvalstone:", u"Windows x64", u"kvxmon64.dll", {u"Orvalstone:"}});
    sim::SimDriver driver;
    driver.name = u"Orvalstone printer";
    m.spooler.drivers.push_back(driver);
  }
  // Builds the context and removes the package's queues as a reinstall does.
  void BuildAndRemove() {
    BuildInstallContext(context);
    context.RestoreQueues = 1;
    DeleteAllPrinters(context);
    Assign(context.LogText, nullptr);
  }
  sim::SimPrinter& Queue(const std::u16string& name, const std::string& subKey) {
    sim::SimPrinter& p = AddQueue(name, u"Orvalstone:", u"Orvalstone printer");
    p.comment = name + u" comment";
    p.location = name + u" location";
    p.shareName = name + u"share";
    std::vector<uint8_t> bytes(subKey.begin(), subKey.end());
    bytes.push_back(0);
    p.data.push_back({sim::kPlainDataKey, {{"SubKey", REG_SZ, bytes}}});
    return p;
  }
  bool MarkedDeleted(const std::u16string& subKey) {
    return sim::FindRegValue(m, HKEY_CURRENT_USER, kSettings + subKey, u"deleted") != nullptr;
  }
  // Queues in the machine-wide record of what is still to come back.
  size_t RecordedQueues() {
    const sim::RegValue* v = sim::FindRegValue(
        m, HKEY_LOCAL_MACHINE, u"Software\\Vantrel Software KFT\\Orvalstone", u"SavedQueues");
    size_t n = 0;
    for (size_t i = 0; v && i + 3 < v->data.size(); i += 2) {
      const bool start = i == 0 || (v->data[i - 2] == 0 && v->data[i - 1] == 0);
      if (start && v->data[i] == 'N' && v->data[i + 2] == '=') ++n;
    }
    return n;
  }
  static std::u16string Added(const std::u16string& name) {
    return u">AddPrinter(" + name +
           u")\r\n  Let's check our port monitors\r\n  Port monitor is found\r\n  OK :)\r\n";
  }
};

TEST_F(PrinterRestoreTest, NothingSavedGivesOneFallbackQueue) {
  BuildAndRemove();
  RestorePrinters(context);
  EXPECT_EQ(Log(), Added(u"Orvalstone"));
  ASSERT_EQ(QueueNames(), unit::Texts{u"Orvalstone"});
  const sim::SimPrinter& p = m.spooler.printers[0];
  EXPECT_EQ(p.portName, u"Orvalstone:");
  EXPECT_EQ(p.driverName, u"Orvalstone printer");
  EXPECT_EQ(p.printProcessor, u"WinPrint");
  EXPECT_TRUE(m.spooler.defaultPrinter.empty());
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(PrinterRestoreTest, SavedQueuesComeBackNewestFirstWithTheirSettings) {
  const struct {
    bool aIsDefault;
    const char* fault;  // armed before restoring
    bool subKeysWritten;
  } cases[] = {
      {true, nullptr, true},
      {false, nullptr, true},
      {true, "SetPrinterDataExA", false},
  };
  for (const auto& c : cases) {
    Reset();
    Queue(u"A", "Orvalstone\\A1");
    Queue(u"B", "Orvalstone\\B1");
    Queue(u"Other", "x").driverName = u"Microsoft Print To PDF";
    if (c.aIsDefault) m.spooler.defaultPrinter = u"A";
    sim::SetRegValue(m, HKEY_CURRENT_USER, kSettings + u"Orvalstone\\A1", u"deleted", REG_DWORD,
                     {1, 0, 0, 0});
    BuildAndRemove();
    ASSERT_EQ(QueueNames(), unit::Texts{u"Other"});
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED, -1);
    RestorePrinters(context);

    // A queue that does not get all it had is an error, and stays recorded for the next run.
    auto error = [&](const char16_t* name) -> std::u16string {
      if (c.subKeysWritten) return u"";
      return u"Error(19): Can`t restore the settings of printer '" + std::u16string(name) +
             u"' - (Access is denied.)\r\n";
    };
    EXPECT_EQ(Log(), Added(u"B") + error(u"B") + Added(u"A") + error(u"A"));
    EXPECT_EQ(QueueNames(), (unit::Texts{u"Other", u"B", u"A"}));
    for (const std::u16string name : {u"A", u"B"}) {
      const sim::SimPrinter* p = sim::FindPrinter(m, name);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p->comment, name + u" comment");
      EXPECT_EQ(p->location, name + u" location");
      EXPECT_EQ(p->shareName, u"");  // not carried over
      EXPECT_EQ(p->portName, u"Orvalstone:");
      const sim::PrinterDataValue* v = sim::FindPrinterData(*p, "DsUser", "SubKey");
      ASSERT_EQ(v != nullptr, c.subKeysWritten);
      if (v) {
        const std::string text = "Orvalstone\\" + sim::ToUtf8(name) + "1";
        EXPECT_EQ(std::string(v->bytes.begin(), v->bytes.end()), text + std::string(1, '\0'));
      }
    }
    EXPECT_EQ(m.spooler.defaultPrinter, c.aIsDefault ? u"A" : u"");
    EXPECT_EQ(MarkedDeleted(u"Orvalstone\\A1"), !c.subKeysWritten);
    EXPECT_EQ(context.ErrorCount, c.subKeysWritten ? 0 : 2);
    EXPECT_EQ(RecordedQueues(), c.subKeysWritten ? 0u : 2u);
  }
}

TEST_F(PrinterRestoreTest, QueuesThatCannotBeAddedAreErrorsAndStayRecorded) {
  const struct {
    const char* name;
    bool nameTaken;  // otherwise the monitor is gone
    std::u16string error;
    unit::Texts printers;
  } cases[] = {
      {"name taken",
       true,
       u"  Error(15): Can`t add printer 'A' - (The printer already exists.)",
       {u"A"}},
      {"monitor gone",
       false,
       u"  Error(15): Can`t add printer 'A' - (The specified port is unknown.)",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Queue(u"A", "Orvalstone\\A1");
    m.spooler.defaultPrinter = u"A";
    BuildAndRemove();
    if (c.nameTaken) Queue(u"A", "someone else's");
    if (!c.nameTaken) m.spooler.monitors.pop_back();
    RestorePrinters(context);
    // No fallback queue beside one that is to come back at the next run.
    EXPECT_TRUE(Log().ends_with(c.error + u"\r\n"));
    EXPECT_EQ(QueueNames(), c.printers);
    EXPECT_TRUE(m.spooler.defaultPrinter.empty());
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(RecordedQueues(), 1u);
  }
}

}  // namespace
