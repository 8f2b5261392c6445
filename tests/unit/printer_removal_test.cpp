#include "spooler/printer_removal.h"

#include "machine_fixture.h"

namespace {

using PrinterRemovalTest = unit::MachineTest;

TEST_F(PrinterRemovalTest, PackageQueuesAreDeletedInSnapshotOrderAndSavedNewestFirst) {
  m.spooler.printers.clear();
  AddPackageQueue(u"P1", "Orvalstone\\P1");
  AddPackageQueue(u"Other", "Other", "", u"Microsoft Print To PDF");
  AddPackageQueue(u"P2", "Orvalstone\\P2", "DsUser").jobs = 4;
  AddPackageQueue(u"Case", "Case", "", u"orvalstone Printer");
  AddPackageQueue(u"NoKey", "");
  AddPackageQueue(u"Gone", "Orvalstone\\Gone");
  Build();
  m.spooler.printers.pop_back();  // deleted by someone else since the snapshot
  context.RestoreQueues = 1;
  DeleteAllPrinters(context);
  EXPECT_EQ(Log(), unit::ExpectedLog("printer_removal", "deleted in snapshot order"));
  EXPECT_EQ(QueueNames(), (unit::Texts{u"Other", u"Case"}));
  // Every queue of the package is saved, one without a SubKey too; each copy as it is.
  std::string saved;
  for (const SavedPrinter* n = context.SavedPrinters.get(); n; n = n->Next.get()) {
    saved += sim::ToUtf8(n->Name.get()) + "=" + (n->SubKey ? n->SubKey.get() : "(none)") + "/" +
             (n->DsUserSubKey ? n->DsUserSubKey.get() : "(none)") + ";";
  }
  EXPECT_EQ(saved, "NoKey=(none)/(none);P2=(none)/Orvalstone\\P2;P1=Orvalstone\\P1/(none);");

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
