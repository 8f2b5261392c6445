#include "spooler/printer_snapshot.h"

#include <cstring>

#include "machine_fixture.h"

namespace {

class PrinterSnapshotTest : public unit::MachineTest {
 protected:
  PrinterSnapshotTest() {
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
  }
  sim::SimPrinter& Add(const std::u16string& name, bool connection = false) {
    sim::SimPrinter& p = AddQueue(name);
    p.connection = connection;
    return p;
  }
  HANDLE Open(const std::u16string& name, DWORD access = PRINTER_ALL_ACCESS) {
    HANDLE h = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &h, &defaults));
    return h;
  }
  unit::Texts Marked() const {
    unit::Texts names;
    const PRINTER_INFO_2W* r = PrinterRecords(context.PrinterSnapshot);
    for (DWORD i = 0; i < context.PrinterSnapshot.Count; ++i) {
      if (r[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT) {
        names.push_back(std::u16string(r[i].pPrinterName) + u"#" + char16_t(u'0' + i));
      }
    }
    return names;
  }
};

TEST_F(PrinterSnapshotTest, NoPrintersGivesAnEmptyListWithoutABlock) {
  TakePrinterSnapshot(context);
  EXPECT_FALSE(context.PrinterSnapshot.Buffer);
  EXPECT_EQ(context.PrinterSnapshot.Count, 0u);
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
}

TEST_F(PrinterSnapshotTest, ListBlockHas32ZeroBytesTheSpoolerNeverSees) {
  Add(u"One");
  Add(u"Two", true);
  DWORD needed = 0, count = 0;
  EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count);
  PrinterList list;
  EnumeratePrinters(list);
  ASSERT_EQ(list.Count, 2u);
  ASSERT_EQ(GlobalSize(list.Buffer.get()), SIZE_T(needed) + 32);
  for (DWORD i = needed; i < needed + 32; ++i) EXPECT_EQ(list.Buffer.get()[i], 0) << i;
  EXPECT_EQ(std::u16string(PrinterRecords(list)[1].pPrinterName), u"Two");
  EnumeratePrinters(list);  // a second enumeration replaces the block
  EXPECT_EQ(m.kernel.globalBlocks.size(), 1u);
  ReleasePrinterList(list);
  EXPECT_FALSE(list.Buffer);
  EXPECT_EQ(list.Count, 0u);
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
}

TEST_F(PrinterSnapshotTest, FailedEnumerationLeavesAnEmptyList) {
  Add(u"One");
  const struct {
    const char* api;
    DWORD error;
    DWORD lastError;
  } cases[] = {
      {"EnumPrintersW", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, DWORD(E_OUTOFMEMORY)},
  };
  for (const auto& c : cases) {
    sim::AddFault(m, c.api, c.error);
    PrinterList list;
    EnumeratePrinters(list);
    EXPECT_FALSE(list.Buffer) << c.api;
    EXPECT_EQ(list.Count, 0u);
    EXPECT_EQ(GetLastError(), c.lastError);
  }
  m.services.services[0].state = SERVICE_STOPPED;
  TakePrinterSnapshot(context);
  EXPECT_EQ(context.PrinterSnapshot.Count, 0u);
}

TEST_F(PrinterSnapshotTest, DefaultPrinterMarkIsExactAndCoversEveryRecordOfThatName) {
  Add(u"Office");
  Add(u"Other");
  Add(u"OFFICE", true);  // differs in letter case only
  Add(u"Office", true).serverName = u"\\\\srv";
  m.spooler.defaultPrinter = u"Office";
  TakePrinterSnapshot(context);
  // Local queues come first, then the connections.
  EXPECT_EQ(Marked(), (unit::Texts{u"Office#0", u"Office#3"}));
}

TEST_F(PrinterSnapshotTest, DefaultPrinterOfAnyLengthIsMarkedAndAFailedQueryIsUnknown) {
  const struct {
    size_t length;
    bool marked;
    bool known;
    const char* fault = nullptr;
  } cases[] = {{254, true, true},
               {300, true, true},
               {0, false, true},
               {12, false, false, "GetDefaultPrinterW"}};
  for (const auto& c : cases) {
    ReleasePrinterList(context.PrinterSnapshot);
    m.spooler.printers.clear();
    Add(u"Plain");
    const std::u16string name(c.length, u'p');
    if (c.length) {
      Add(name);
      m.spooler.defaultPrinter = name;
    } else {
      m.spooler.defaultPrinter.clear();
    }
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    TakePrinterSnapshot(context);
    EXPECT_EQ(context.PrinterSnapshot.Count, c.length ? 2u : 1u);
    EXPECT_EQ(Marked().size(), c.marked ? 1u : 0u) << c.length;
    EXPECT_EQ(context.DefaultKnown != 0, c.known) << c.length;
  }
}

TEST_F(PrinterSnapshotTest, ReadSubKeyReadsWholeTextsAndFallsBackToDsUser) {
  auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  const std::string z("\0", 1);
  const struct {
    const char* name;
    DWORD plainType;
    std::string plain;  // absent when empty
    std::string dsUser;
    SubKeyRead read;
    std::string expected;
    const char* fault = nullptr;  // fails the plain read
  } cases[] = {
      {"plain text", REG_SZ, "abc" + z, "ds" + z, SubKeyRead::Found, "abc"},
      {"other type", REG_DWORD, "abcd", "ds" + z, SubKeyRead::Found, "ds"},
      {"300 characters", REG_SZ, std::string(300, 'L') + z, "ds" + z, SubKeyRead::Found,
       std::string(300, 'L')},
      {"stored unterminated", REG_SZ, "abc", "", SubKeyRead::Found, "abc"},
      {"empty plain value", REG_SZ, z, "ds" + z, SubKeyRead::Found, "ds"},
      {"nothing usable", REG_DWORD, "abcd", z, SubKeyRead::None, ""},
      {"no values at all", 0, "", "", SubKeyRead::None, ""},
      {"plain read fails, copy good", REG_SZ, "abc" + z, "ds" + z, SubKeyRead::Found, "ds",
       "GetPrinterDataA"},
      {"plain read fails, no copy", REG_SZ, "abc" + z, "", SubKeyRead::Failed, "",
       "GetPrinterDataA"},
      {"copy read fails", 0, "", "ds" + z, SubKeyRead::Failed, "", "GetPrinterDataExA"},
  };
  for (const auto& c : cases) {
    m.spooler.printers.clear();
    sim::SimPrinter& p = Add(u"Q");
    if (!c.plain.empty()) {
      p.data.push_back({sim::kPlainDataKey, {{"SubKey", c.plainType, bytes(c.plain)}}});
    }
    if (!c.dsUser.empty()) p.data.push_back({"DsUser", {{"SubKey", REG_SZ, bytes(c.dsUser)}}});
    HANDLE h = Open(u"Q");
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    unique_global<CHAR> text;
    EXPECT_EQ(ReadSubKey(h, text), c.read) << c.name;
    EXPECT_EQ(text ? std::string(text.get()) : std::string(), c.expected) << c.name;
    if (c.read == SubKeyRead::Failed) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED)) << c.name;
    }
    text.reset();
    sim::ClearFaults(m);
    ClosePrinter(h);
  }
}

TEST_F(PrinterSnapshotTest, WriteSubKeyAnswersForBothCopies) {
  const struct {
    const char* fault;
    bool result;
    bool plainWritten, dsUserWritten;
  } cases[] = {
      {nullptr, true, true, true},
      {"SetPrinterDataA", false, false, true},
      {"SetPrinterDataExA", false, true, false},
  };
  for (const auto& c : cases) {
    m.spooler.printers.clear();
    Add(u"Q");
    HANDLE h = Open(u"Q");
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WriteSubKey(h, "Orvalstone\\Q1") == ERROR_SUCCESS, c.result);
    sim::SimPrinter* p = sim::FindPrinter(m, u"Q");
    const sim::PrinterDataValue* plain = sim::FindPrinterData(*p, "", "SubKey");
    const sim::PrinterDataValue* ds = sim::FindPrinterData(*p, "DsUser", "SubKey");
    EXPECT_EQ(plain != nullptr, c.plainWritten);
    ASSERT_EQ(ds != nullptr, c.dsUserWritten);
    if (ds) {
      EXPECT_EQ(ds->type, DWORD(REG_SZ));
      EXPECT_EQ(std::string(ds->bytes.begin(), ds->bytes.end()),
                std::string("Orvalstone\\Q1\0", 14));
    }
    ClosePrinter(h);
  }
}

TEST_F(PrinterSnapshotTest, PurgeComesFirstAndAFailedPurgeDoesNotStopTheDeletion) {
  for (bool purgeFails : {false, true}) {
    m.spooler.printers.clear();
    Add(u"Busy").jobs = 3;
    HANDLE h = Open(u"Busy", DELETE | PRINTER_ACCESS_ADMINISTER);
    if (purgeFails) sim::AddFault(m, "SetPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(PurgeAndDeletePrinter(h));
    sim::SimPrinter* p = sim::FindPrinter(m, u"Busy");
    if (purgeFails) {
      ASSERT_NE(p, nullptr);  // its jobs keep it until they end
      EXPECT_TRUE(p->status & PRINTER_STATUS_PENDING_DELETION);
    } else {
      EXPECT_EQ(p, nullptr);
    }
    EXPECT_TRUE(ClosePrinter(h));
  }
}

TEST_F(PrinterSnapshotTest, InformationBlocksAreOwnedAndExact) {
  Add(u"Office").comment = u"2nd floor";
  HANDLE h = Open(u"Office");
  unique_global<PRINTER_INFO_2W> info = GetPrinterInfo(h);
  ASSERT_TRUE(info);
  EXPECT_EQ(std::u16string(info->pPrinterName), u"Office");
  EXPECT_EQ(std::u16string(info->pComment), u"2nd floor");
  unique_global<DRIVER_INFO_2W> driver = GetDriverInfo(h);
  ASSERT_TRUE(driver);
  EXPECT_EQ(std::u16string(driver->pName), u"Microsoft Print To PDF");
  EXPECT_EQ(m.kernel.globalBlocks.size(), 2u);
  info.reset();
  driver.reset();

  sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 2);
  EXPECT_FALSE(GetPrinterInfo(h));
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
  EXPECT_FALSE(GetDriverInfo(h));
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
  sim::AddFault(m, "GetPrinterW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(GetPrinterInfo(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  ClosePrinter(h);
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
}

}  // namespace
