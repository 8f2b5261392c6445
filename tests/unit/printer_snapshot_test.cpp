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
  EXPECT_EQ(context.PrinterSnapshot.Buffer, nullptr);
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
  ASSERT_EQ(GlobalSize(list.Buffer), SIZE_T(needed) + 32);
  for (DWORD i = needed; i < needed + 32; ++i) EXPECT_EQ(list.Buffer[i], 0) << i;
  EXPECT_EQ(std::u16string(PrinterRecords(list)[1].pPrinterName), u"Two");
  EnumeratePrinters(list);  // a second enumeration replaces the block
  EXPECT_EQ(m.kernel.globalBlocks.size(), 1u);
  ReleasePrinterList(list);
  EXPECT_EQ(list.Buffer, nullptr);
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
    EXPECT_EQ(list.Buffer, nullptr) << c.api;
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

TEST_F(PrinterSnapshotTest, DefaultPrinterNameMustFitIn255Characters) {
  const struct {
    size_t length;
    bool marked;
  } cases[] = {{254, true}, {255, false}, {0, false}};
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
    TakePrinterSnapshot(context);
    EXPECT_EQ(context.PrinterSnapshot.Count, c.length ? 2u : 1u);
    EXPECT_EQ(Marked().size(), c.marked ? 1u : 0u) << c.length;
  }
}

TEST_F(PrinterSnapshotTest, ReadSubKeyFallsBackToDsUserAndAlwaysTerminates) {
  auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  const std::string z("\0", 1);
  const struct {
    const char* name;
    DWORD plainType;
    std::string plain;  // absent when empty
    std::string dsUser;
    std::string expected;
  } cases[] = {
      {"plain text", REG_SZ, "abc" + z, "ds" + z, "abc"},
      {"other type", REG_DWORD, "abcd", "ds" + z, "ds"},
      {"longer than 63", REG_SZ, std::string(70, 'L') + z, "ds" + z, "ds"},
      {"63 characters", REG_SZ, std::string(63, 'k') + z, "", std::string(63, 'k')},
      {"stored unterminated", REG_SZ, "abc", "", "abc"},
      {"64 bytes, no terminator", REG_SZ, std::string(64, 'u'), "ds" + z, "ds"},
      {"nothing usable", REG_DWORD, "abcd", std::string(64, 'u'), ""},
      {"no values at all", 0, "", "", ""},
  };
  for (const auto& c : cases) {
    m.spooler.printers.clear();
    sim::SimPrinter& p = Add(u"Q");
    if (!c.plain.empty()) {
      p.data.push_back({sim::kPlainDataKey, {{"SubKey", c.plainType, bytes(c.plain)}}});
    }
    if (!c.dsUser.empty()) p.data.push_back({"DsUser", {{"SubKey", REG_SZ, bytes(c.dsUser)}}});
    HANDLE h = Open(u"Q");
    char buffer[260];
    std::memset(buffer, 'Z', sizeof buffer);
    ReadSubKey(h, buffer);
    const void* end = std::memchr(buffer, 0, kSubKeyBytes);
    ASSERT_NE(end, nullptr) << c.name;
    EXPECT_EQ(std::string(buffer), c.expected) << c.name;
    ClosePrinter(h);
  }
}

TEST_F(PrinterSnapshotTest, WriteSubKeyAnswersForTheDsUserCopy) {
  const struct {
    const char* fault;
    bool result;
    bool plainWritten, dsUserWritten;
  } cases[] = {
      {nullptr, true, true, true},
      {"SetPrinterDataA", true, false, true},
      {"SetPrinterDataExA", false, true, false},
  };
  for (const auto& c : cases) {
    m.spooler.printers.clear();
    Add(u"Q");
    HANDLE h = Open(u"Q");
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WriteSubKey(h, "Orvalstone\\Q1"), c.result);
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
    EXPECT_TRUE(ClosePrinterHandle(h));
  }
}

TEST_F(PrinterSnapshotTest, InformationBlocksAreOwnedAndExact) {
  Add(u"Office").comment = u"2nd floor";
  HANDLE h = Open(u"Office");
  PRINTER_INFO_2W* info = GetPrinterInfo(h);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::u16string(info->pPrinterName), u"Office");
  EXPECT_EQ(std::u16string(info->pComment), u"2nd floor");
  DRIVER_INFO_2W* driver = GetDriverInfo(h);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(std::u16string(driver->pName), u"Microsoft Print To PDF");
  EXPECT_EQ(m.kernel.globalBlocks.size(), 2u);
  GlobalFree(info);
  GlobalFree(driver);

  sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 2);
  EXPECT_EQ(GetPrinterInfo(h), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
  EXPECT_EQ(GetDriverInfo(h), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
  sim::AddFault(m, "GetPrinterW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetPrinterInfo(h), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  ClosePrinter(h);
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
}

}  // namespace
