#include "spooler/printer_removal.h"

#include "machine_fixture.h"

namespace {

class PrinterRemovalTest : public unit::MachineTest {
 protected:
  PrinterRemovalTest() { m.spooler.printers.clear(); }
  // subKeyAt: "" plain value, "DsUser" the keyed copy, nullptr none.
  sim::SimPrinter& AddQueue(const std::u16string& name, const std::u16string& driver,
                            const char* subKeyAt = nullptr, const std::string& subKey = "") {
    sim::SimPrinter& p = unit::MachineTest::AddQueue(name, u"LPT1:", driver);
    if (subKeyAt) {
      std::vector<uint8_t> bytes(subKey.begin(), subKey.end());
      bytes.push_back(0);
      p.data.push_back(
          {*subKeyAt ? subKeyAt : sim::kPlainDataKey, {{"SubKey", REG_SZ, std::move(bytes)}}});
    }
    return p;
  }
};

TEST_F(PrinterRemovalTest, PackageQueuesAreDeletedInSnapshotOrderAndSavedNewestFirst) {
  AddQueue(u"P1", u"Orvalstone printer", "", "Orvalstone\\P1");
  AddQueue(u"Other", u"Microsoft Print To PDF", "", "Other");
  AddQueue(u"P2", u"Orvalstone printer", "DsUser", "Orvalstone\\P2").jobs = 4;
  AddQueue(u"Case", u"orvalstone Printer", "", "Case");
  AddQueue(u"P3", u"Orvalstone printer", "", "Orvalstone\\P3");
  AddQueue(u"NoKey", u"Orvalstone printer", "", "");
  AddQueue(u"Gone", u"Orvalstone printer", "", "Orvalstone\\Gone");
  Build();
  m.spooler.printers.pop_back();  // deleted by someone else since the snapshot
  context.RestoreQueues = 1;
  DeleteAllPrinters(context);

  EXPECT_EQ(Log(),
            u">DeleteAllPrinters\r\n"
            u"  >DeletePrinter(P1)\r\n    OK\r\n"
            u"  >DeletePrinter(P2)\r\n    OK\r\n"
            u"  >DeletePrinter(P3)\r\n    OK\r\n"
            u"  >DeletePrinter(NoKey)\r\n    OK\r\n"
            u"  >DeletePrinter(Gone)\r\n"
            u"    Error(16): Can`t open printer 'Gone' - (The printer name is invalid.)\r\n");
  EXPECT_EQ(QueueNames(), (std::vector<std::u16string>{u"Other", u"Case"}));
  EXPECT_EQ(context.ErrorCount, 1);
  EXPECT_EQ(context.Indent, 0);

  // Every queue of the package is saved, one without a SubKey too.
  const struct {
    const char16_t* name;
    const char* subKey;
  } saved[] = {{u"NoKey", nullptr},
               {u"P3", "Orvalstone\\P3"},
               {u"P2", "Orvalstone\\P2"},
               {u"P1", "Orvalstone\\P1"}};
  const SavedPrinter* node = context.SavedPrinters;
  for (const auto& s : saved) {
    ASSERT_NE(node, nullptr) << s.subKey;
    EXPECT_EQ(std::u16string(node->Name), s.name);
    if (s.subKey) {
      EXPECT_STREQ(node->SubKey, s.subKey);
    } else {
      EXPECT_EQ(node->SubKey, nullptr);
    }
    node = node->Next;
  }
  EXPECT_EQ(node, nullptr);
}

TEST_F(PrinterRemovalTest, DeletionFailuresAreErrorLinesAndTheQueueStays) {
  const struct {
    const char* fault;
    LPCWSTR name;
    std::u16string log;
    bool stays;
  } cases[] = {
      {"DeletePrinter", u"Q",
       u">DeletePrinter(Q)\r\n  Error(17): Can`t delete printer 'Q' - (Access is denied.)\r\n",
       true},
      {"OpenPrinterW", u"Q",
       u">DeletePrinter(Q)\r\n  Error(16): Can`t open printer 'Q' - (Access is denied.)\r\n", true},
      {nullptr, nullptr,
       u">DeletePrinter(*)\r\n  Error(16): Can`t open printer '(null)' - (The printer name is "
       u"invalid.)\r\n",
       true},
      {nullptr, u"Q", u">DeletePrinter(Q)\r\n  OK\r\n", false},
  };
  // A missing name is refused: it would open the print server, not a queue.
  for (const auto& c : cases) {
    m.spooler.printers.clear();
    AddQueue(u"Q", u"Orvalstone printer");
    Assign(context.LogText, nullptr);
    context.ErrorCount = 0;
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    DeletePrinter(context, c.name);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(context.ErrorCount, c.stays ? 1 : 0);
    EXPECT_EQ(sim::FindPrinter(m, u"Q") != nullptr, c.stays);
  }
}

}  // namespace
