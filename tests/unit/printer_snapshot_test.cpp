#include "spooler/printer_snapshot.h"

#include "machine_fixture.h"
#include "platform/sized_query.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

class PrinterSnapshotTest : public unit::MachineTest {
 protected:
  PrinterSnapshotTest() { m.spooler.printers.clear(); }
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
};

TEST_F(PrinterSnapshotTest, ListsOwnTheirBlockWith32SpareZeroBytes) {
  PrinterList list;
  EnumeratePrinters(list);  // no printers: no block
  EXPECT_TRUE(!list.Buffer && list.Count == 0);
  Add(u"One");
  Add(u"Two", true);
  DWORD needed = 0, count = 0;
  EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count);
  EnumeratePrinters(list);
  EnumeratePrinters(list);  // a second enumeration replaces the block
  ASSERT_EQ(list.Count, 2u);
  ASSERT_EQ(GlobalSize(list.Buffer.get()), SIZE_T(needed) + 32);
  EXPECT_EQ(std::vector<BYTE>(list.Buffer.get() + needed, list.Buffer.get() + needed + 32),
            std::vector<BYTE>(32, 0));
  EXPECT_EQ(std::u16string(PrinterRecords(list)[1].pPrinterName), u"Two");
  for (const char* api : {"EnumPrintersW", "GlobalAlloc"}) {
    sim::AddFault(m, api, ERROR_ACCESS_DENIED);
    EnumeratePrinters(list);
    EXPECT_TRUE(!list.Buffer && list.Count == 0) << api;
    EXPECT_EQ(GetLastError(), *api == 'G' ? DWORD(E_OUTOFMEMORY) : ERROR_ACCESS_DENIED);
  }
}

// On a busy print server another process adds queues between the size query and the fill:
// the list is asked for again with the new size, up to kSizedQueryFills fills.
TEST_F(PrinterSnapshotTest, AListThatGrowsBetweenCallsIsAskedForAgain) {
  for (int growths : {1, kSizedQueryFills - 1, kSizedQueryFills}) {
    Fresh();
    m.spooler.printers.clear();
    Add(u"First");
    // Each fill takes a millisecond, in which one more queue appears.
    sim::AddFault(m, "EnumPrintersW", 0, -1, 1, 1);
    for (int i = 1; i <= growths; ++i) {
      sim::Schedule(m, uint64_t(i),
                    sim::PrinterAdd{u"Added " + sim::FromUtf8(std::to_string(i)),
                                    u"Microsoft Print To PDF", u"FILE:", u"", u""});
    }
    PrinterList list;
    const bool listed = EnumeratePrinters(list);
    EXPECT_EQ(listed, growths < kSizedQueryFills) << growths;
    EXPECT_EQ(list.Count, listed ? DWORD(growths + 1) : 0u) << growths;
    if (!listed) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    }
  }
}

TEST_F(PrinterSnapshotTest, DefaultPrinterMarkIsExactOfAnyLengthAndAFailedQueryIsUnknown) {
  const std::u16string longName(300, u'p');
  const struct {
    std::u16string defaultPrinter;
    const char* fault;
    unit::Texts marked;  // name#index
    bool known;
  } cases[] = {
      // Local queues come first, then the connections; letter case counts.
      {u"Office", nullptr, {u"Office#0", u"Office#4"}, true},
      {longName, nullptr, {u"pppppp#1"}, true},
      {u"", nullptr, {}, true},
      {u"Office", "GetDefaultPrinterW", {}, false},
  };
  for (const auto& c : cases) {
    Fresh();
    m.spooler.printers.clear();
    Add(u"Office");
    Add(u"OFFICE", true);
    Add(longName);
    Add(u"Office", true).serverName = u"\\\\srv";
    Add(u"Other");
    m.spooler.defaultPrinter = c.defaultPrinter;
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    TakePrinterSnapshot(context);
    unit::Texts marked;
    const PRINTER_INFO_2W* r = PrinterRecords(context.PrinterSnapshot);
    for (DWORD i = 0; i < context.PrinterSnapshot.Count; ++i) {
      if (r[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT)
        marked.push_back(std::u16string(r[i].pPrinterName).substr(0, 6) + u"#" +
                         char16_t(u'0' + i));
    }
    EXPECT_EQ(marked, c.marked) << c.defaultPrinter.size();
    EXPECT_EQ(context.DefaultKnown != 0, c.known);
  }
}

TEST_F(PrinterSnapshotTest, SubKeyIsReadWholeWithTheDsUserCopyAsFallbackAndWrittenToBoth) {
  const std::string z("\0", 1);
  const struct {
    DWORD plainType;
    std::string plain, dsUser;  // absent when empty
    const char* fault;          // fails a read
    SubKeyRead read;
    std::string expected;
  } cases[] = {
      {REG_SZ, "abc" + z, "ds" + z, nullptr, SubKeyRead::Found, "abc"},
      {REG_DWORD, "abcd", "ds" + z, nullptr, SubKeyRead::Found, "ds"},
      {REG_SZ, std::string(300, 'L') + z, "ds" + z, nullptr, SubKeyRead::Found,
       std::string(300, 'L')},
      {REG_SZ, "abc", "", nullptr, SubKeyRead::Found, "abc"},  // stored unterminated
      {REG_SZ, z, "ds" + z, nullptr, SubKeyRead::Found, "ds"},
      {REG_DWORD, "abcd", z, nullptr, SubKeyRead::None, ""},
      {0, "", "", nullptr, SubKeyRead::None, ""},
      {REG_SZ, "abc" + z, "ds" + z, "GetPrinterDataA", SubKeyRead::Found, "ds"},
      {REG_SZ, "abc" + z, "", "GetPrinterDataA", SubKeyRead::Failed, ""},
      {0, "", "ds" + z, "GetPrinterDataExA", SubKeyRead::Failed, ""},
  };
  for (const auto& c : cases) {
    m.spooler.printers.clear();
    sim::SimPrinter& p = Add(u"Q");
    if (!c.plain.empty())
      p.data.push_back({sim::kPlainDataKey, {{u"SubKey", c.plainType, Bytes(c.plain)}}});
    if (!c.dsUser.empty()) p.data.push_back({u"DsUser", {{u"SubKey", REG_SZ, Bytes(c.dsUser)}}});
    HANDLE h = Open(u"Q");
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    unique_global<CHAR> text;
    EXPECT_EQ(ReadSubKey(h, text), c.read) << c.expected << c.fault;
    EXPECT_EQ(text ? std::string(text.get()) : std::string(), c.expected);
    EXPECT_TRUE(c.read != SubKeyRead::Failed || GetLastError() == ERROR_ACCESS_DENIED);
    sim::ClearFaults(m);
    ClosePrinter(h);
  }
  for (const char* fault :
       {static_cast<const char*>(nullptr), "SetPrinterDataA", "SetPrinterDataExA"}) {
    m.spooler.printers.clear();
    Add(u"Q");
    HANDLE h = Open(u"Q");
    if (fault) sim::AddFault(m, fault, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WriteSubKeys(h, "Orvalstone\\Q1", "Orvalstone\\Q1"),
              fault ? DWORD(ERROR_ACCESS_DENIED) : ERROR_SUCCESS);
    const sim::SimPrinter* p = sim::FindPrinter(m, u"Q");
    for (const char16_t* key : {u"", u"DsUser"}) {
      const sim::PrinterDataValue* v = sim::FindPrinterData(*p, key, u"SubKey");
      const bool refused = fault && (*key == u'D') == (fault[14] == 'E');
      EXPECT_EQ(v ? std::string(v->bytes.begin(), v->bytes.end()) : "",
                refused ? "" : "Orvalstone\\Q1" + z);
    }
    ClosePrinter(h);
  }
}

// Reading a printer's or its driver's information fails through the probes and the sweep.
TEST_F(PrinterSnapshotTest, PurgeComesFirstAndAFailedPurgeDoesNotStopTheDeletion) {
  for (bool purgeFails : {false, true}) {
    m.spooler.printers.clear();
    Add(u"Busy").jobs = 3;
    HANDLE h = Open(u"Busy", DELETE | PRINTER_ACCESS_ADMINISTER);
    if (purgeFails) sim::AddFault(m, "SetPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(PurgeAndDeletePrinter(h));
    // A failed purge does not stop the deletion: the jobs keep the queue until they end.
    const sim::SimPrinter* p = sim::FindPrinter(m, u"Busy");
    EXPECT_EQ(p && (p->status & PRINTER_STATUS_PENDING_DELETION), purgeFails);
    EXPECT_TRUE(ClosePrinter(h));
  }
}

}  // namespace
