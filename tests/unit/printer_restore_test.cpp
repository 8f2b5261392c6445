#include "spooler/printer_restore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "context/install_context.h"
#include "sim/machine.h"
#include "spooler/printer_removal.h"

namespace {

const std::u16string kSettings = u"Software\\Vantrel Software KFT\\Orvalstone\\Orvalstones\\";

class PrinterRestoreTest : public ::testing::Test {
 protected:
  PrinterRestoreTest() { Fresh(); }
  // The package's monitor and driver registered, no queues.
  void Fresh() {
    TearDownInstallContext(context);
    context.ErrorCount = 0;
    sim::InitDefaultMachine(m);
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
    m.spooler.monitors.push_back(
        {u"Orvalstone:", u"Windows x64", u"kvxmon64.dll", {u"Orvalstone:"}});
    sim::SimDriver driver;
    driver.name = u"Orvalstone printer";
    m.spooler.drivers.push_back(driver);
  }
  // Builds the context and removes the package's queues as an uninstall does.
  void BuildAndRemove() {
    BuildInstallContext(context);
    DeleteAllPrinters(context);
    Assign(context.LogText, nullptr);
  }
  std::u16string Log() const {
    return std::u16string(Chars(context.LogText), size_t(Count(context.LogText)));
  }
  sim::SimPrinter& AddQueue(const std::u16string& name, const std::string& subKey) {
    sim::SimPrinter p;
    p.name = name;
    p.portName = u"Orvalstone:";
    p.driverName = u"Orvalstone printer";
    p.comment = name + u" comment";
    p.location = name + u" location";
    p.shareName = name + u"share";
    std::vector<uint8_t> bytes(subKey.begin(), subKey.end());
    bytes.push_back(0);
    p.data.push_back({sim::kPlainDataKey, {{"SubKey", REG_SZ, bytes}}});
    return sim::AddSimPrinter(m, p);
  }
  void MarkDeleted(const std::u16string& subKey) {
    sim::SetRegValue(m, HKEY_CURRENT_USER, kSettings + subKey, u"deleted", REG_DWORD, {1, 0, 0, 0});
  }
  bool MarkedDeleted(const std::u16string& subKey) {
    return sim::FindRegValue(m, HKEY_CURRENT_USER, kSettings + subKey, u"deleted") != nullptr;
  }
  std::vector<std::u16string> SimPrinters() const {
    std::vector<std::u16string> names;
    for (const auto& p : m.spooler.printers) names.push_back(p.name);
    return names;
  }
  static std::u16string Added(const std::u16string& name) {
    return u">AddPrinter(" + name +
           u")\r\n  Let's check our port monitors\r\n  Port monitor is found\r\n  OK :)\r\n";
  }
  sim::Machine m;
  sim::MachineScope scope{m};
  InstallContext context;
};

TEST_F(PrinterRestoreTest, NothingSavedGivesOneFallbackQueue) {
  BuildAndRemove();
  RestorePrinters(context);
  EXPECT_EQ(Log(), Added(u"Orvalstone"));
  ASSERT_EQ(SimPrinters(), std::vector<std::u16string>{u"Orvalstone"});
  const sim::SimPrinter& p = m.spooler.printers[0];
  EXPECT_EQ(p.portName, u"Orvalstone:");
  EXPECT_EQ(p.driverName, u"Orvalstone printer");
  EXPECT_EQ(p.comment, u"");
  EXPECT_EQ(p.printProcessor, u"WinPrint");
  EXPECT_EQ(p.shareName, u"");
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
    Fresh();
    AddQueue(u"A", "Orvalstone\\A1");
    AddQueue(u"B", "Orvalstone\\B1");
    AddQueue(u"Other", "x").driverName = u"Microsoft Print To PDF";
    if (c.aIsDefault) m.spooler.defaultPrinter = u"A";
    MarkDeleted(u"Orvalstone\\A1");
    BuildAndRemove();
    ASSERT_EQ(SimPrinters(), std::vector<std::u16string>{u"Other"});
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED, -1);
    RestorePrinters(context);

    EXPECT_EQ(Log(), Added(u"B") + Added(u"A"));
    EXPECT_EQ(SimPrinters(), (std::vector<std::u16string>{u"Other", u"B", u"A"}));
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
    EXPECT_EQ(context.ErrorCount, 0);
  }
}

TEST_F(PrinterRestoreTest, QueuesThatCannotBeAddedAreErrorsAndLeadToTheFallback) {
  const std::u16string listed =
      u"  No Orvalstone port monitor was found.\r\n  ------- 1 existing monitors ----------\r\n"
      u"  1. Local Port\r\n  ---------------------------------------\r\n";
  const struct {
    const char* name;
    bool nameTaken, monitorGone;
    std::u16string log;
    std::vector<std::u16string> printers;
    int errors;
  } cases[] = {
      {"name taken",
       true,
       false,
       u">AddPrinter(A)\r\n  Let's check our port monitors\r\n  Port monitor is found\r\n"
       u"  Error(15): Can`t add printer 'A' - (The printer already exists.)\r\n" +
           Added(u"Orvalstone"),
       {u"A", u"Orvalstone"},
       1},
      {"monitor gone",
       false,
       true,
       u">AddPrinter(A)\r\n  Let's check our port monitors\r\n" + listed +
           u"  Error(15): Can`t add printer 'A' - (The specified port is unknown.)\r\n"
           u">AddPrinter(Orvalstone)\r\n  Let's check our port monitors\r\n" +
           listed +
           u"  Error(15): Can`t add printer 'Orvalstone' - (The specified port is "
           u"unknown.)\r\n",
       {},
       2},
  };
  for (const auto& c : cases) {
    Fresh();
    AddQueue(u"A", "Orvalstone\\A1");
    m.spooler.defaultPrinter = u"A";
    BuildAndRemove();
    if (c.nameTaken) AddQueue(u"A", "someone else's");
    if (c.monitorGone) m.spooler.monitors.pop_back();
    RestorePrinters(context);
    EXPECT_EQ(Log(), c.log) << c.name;
    EXPECT_EQ(SimPrinters(), c.printers) << c.name;
    EXPECT_TRUE(m.spooler.defaultPrinter.empty()) << c.name;
    EXPECT_EQ(context.ErrorCount, c.errors) << c.name;
  }
}

}  // namespace
