#include "spooler/printer_removal.h"

#include "machine_fixture.h"

namespace {

class PrinterRemovalTest : public unit::MachineTest {
 protected:
  // subKeyAt: "" the plain value, "DsUser" the keyed copy.
  void Queue(const std::u16string& name, const std::u16string& driver, const char* subKeyAt,
             const std::string& subKey) {
    sim::SimPrinter& p = unit::MachineTest::AddQueue(name, u"LPT1:", driver);
    std::vector<uint8_t> bytes(subKey.begin(), subKey.end());
    bytes.push_back(0);
    p.data.push_back({*subKeyAt ? subKeyAt : sim::kPlainDataKey, {{"SubKey", REG_SZ, bytes}}});
  }
};

TEST_F(PrinterRemovalTest, PackageQueuesAreDeletedInSnapshotOrderAndSavedNewestFirst) {
  m.spooler.printers.clear();
  Queue(u"P1", u"Orvalstone printer", "", "Orvalstone\\P1");
  Queue(u"Other", u"Microsoft Print To PDF", "", "Other");
  Queue(u"P2", u"Orvalstone printer", "DsUser", "Orvalstone\\P2");
  m.spooler.printers.back().jobs = 4;
  Queue(u"Case", u"orvalstone Printer", "", "Case");
  Queue(u"NoKey", u"Orvalstone printer", "", "");
  Queue(u"Gone", u"Orvalstone printer", "", "Orvalstone\\Gone");
  Build();
  m.spooler.printers.pop_back();  // deleted by someone else since the snapshot
  context.RestoreQueues = 1;
  DeleteAllPrinters(context);
  EXPECT_EQ(Log(), unit::ExpectedLog("printer_removal", "deleted in snapshot order"));
  EXPECT_EQ(QueueNames(), (unit::Texts{u"Other", u"Case"}));
  // Every queue of the package is saved, one without a SubKey too.
  std::string saved;
  for (const SavedPrinter* n = context.SavedPrinters; n; n = n->Next)
    saved += sim::ToUtf8(n->Name) + "=" + (n->SubKey ? n->SubKey : "(none)") + ";";
  EXPECT_EQ(saved, "NoKey=(none);P2=Orvalstone\\P2;P1=Orvalstone\\P1;");

  // A missing name is refused: it would open the print server, not a queue.
  const struct {
    const char* fault;
    LPCWSTR name;
    std::u16string log;
  } cases[] = {
      {"DeletePrinter", u"Other", u"Error(17): Can`t delete printer 'Other' - (Access is denied.)"},
      {"OpenPrinterW", u"Other", u"Error(16): Can`t open printer 'Other' - (Access is denied.)"},
      {nullptr, nullptr,
       u"Error(16): Can`t open printer '(null)' - (The printer name is invalid.)"},
      {nullptr, u"", u"Error(16): Can`t open printer '' - (The printer name is invalid.)"},
  };
  for (const auto& c : cases) {
    Assign(context.LogText, nullptr);
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    DeletePrinter(context, c.name);
    EXPECT_EQ(Log().substr(Log().find(u"\r\n") + 2), u"  " + c.log + u"\r\n");
    EXPECT_NE(sim::FindPrinter(m, u"Other"), nullptr);
  }
}

}  // namespace
