// How the spooler answers for printers, their data and the default printer.
#include <cstring>

#include "spooler_contract.h"

namespace {

const WCHAR* const kTestPrinter = W("Contract Printer");
const WCHAR* const kOtherPrinter = W("Contract Printer Two");

class PrinterContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    RemoveTestPrinter(kTestPrinter);
    RemoveTestPrinter(kOtherPrinter);
  }
  void TearDown() override {
    RemoveTestPrinter(kTestPrinter);
    RemoveTestPrinter(kOtherPrinter);
    Contract::TearDown();
  }
};

TEST_F(PrinterContract, DriverDirectoryTwoCallWithoutTrailingBackslash) {
  DWORD needed = 0;
  EXPECT_FAILS(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed),
               ERROR_INSUFFICIENT_BUFFER);
  ASSERT_GT(needed, 2u);

  std::vector<BYTE> buffer(needed + 16);
  DWORD again = 0;
  EXPECT_FAILS(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, buffer.data(), needed - 1, &again),
               ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(again, needed);

  ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, Wide(W("Windows x64")), 1, buffer.data(), needed,
                                         &again));
  EXPECT_EQ(again, needed);
  std::string dir = Lower(Narrow(reinterpret_cast<WCHAR*>(buffer.data())));
  EXPECT_EQ((dir.size() + 1) * 2, needed);
  EXPECT_EQ(dir.substr(dir.size() - 18), "\\spool\\drivers\\x64") << dir;

  struct Case {
    const WCHAR* env;
    DWORD level;
    DWORD error;
  };
  const Case refused[] = {{W("Windows 3.1 Turbo"), 1, ERROR_INVALID_ENVIRONMENT},
                          {nullptr, 2, ERROR_INVALID_LEVEL}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.level);
    EXPECT_FAILS(GetPrinterDriverDirectoryW(nullptr, Wide(c.env), c.level, buffer.data(),
                                            DWORD(buffer.size()), &again),
                 c.error);
  }
}

TEST_F(PrinterContract, EnumPrintersTwoCallPacksStringsInsideTheBuffer) {
  HANDLE h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  ClosePrinter(h);
  const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  for (DWORD level : {1u, 2u}) {
    SCOPED_TRACE(level);
    Listing list = ListTwoCall([&](BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
      return EnumPrintersW(flags, nullptr, level, buffer, size, needed, count);
    });
    EXPECT_EQ(list.countWhenTooSmall, 0u);
    ASSERT_GE(list.count, 1u);
    const auto& buffer = list.buffer;
    bool found = false;
    for (DWORD i = 0; i < list.count; ++i) {
      const WCHAR* name = nullptr;
      if (level == 1) {
        auto* r = reinterpret_cast<const PRINTER_INFO_1W*>(buffer.data()) + i;
        name = r->pName;
        EXPECT_TRUE(Inside(r->pDescription, buffer));
      } else {
        auto* r = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data()) + i;
        name = r->pPrinterName;
        EXPECT_TRUE(Inside(r->pPortName, buffer));
        EXPECT_TRUE(Inside(r->pDriverName, buffer));
        if (Narrow(name) == Narrow(kTestPrinter)) {
          EXPECT_EQ(Lower(Narrow(r->pPortName)), "file:");
          EXPECT_EQ(Narrow(r->pDriverName), Narrow(InstalledDriver().c_str()));
        }
      }
      EXPECT_TRUE(Inside(name, buffer));
      found = found || Narrow(name) == Narrow(kTestPrinter);
    }
    EXPECT_TRUE(found);
  }
  DWORD needed = 0, count = 0;
  EXPECT_FAILS(EnumPrintersW(flags, nullptr, 3, nullptr, 0, &needed, &count), ERROR_INVALID_LEVEL);
}

TEST_F(PrinterContract, AddOpenDeleteAndTheirSecondTimes) {
  HANDLE h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  std::vector<BYTE> info = PrinterInfo2(h);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(Narrow(reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pPrinterName),
            Narrow(kTestPrinter));
  EXPECT_TRUE(ClosePrinter(h));
  EXPECT_FAILS(ClosePrinter(h), ERROR_INVALID_HANDLE);

  SetLastError(kAnyError);
  HANDLE twice = AddTestPrinter(kTestPrinter);
  if (OnWine()) {
    // Wine: an existing name is overwritten.
    EXPECT_NE(twice, nullptr);
    if (twice) ClosePrinter(twice);
  } else {
    EXPECT_EQ(twice, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_ALREADY_EXISTS));
  }

  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(OpenPrinterW(Wide(kTestPrinter), &h, &all));
  EXPECT_TRUE(DeletePrinter(h));
  EXPECT_TRUE(ClosePrinter(h));
  struct Case {
    const WCHAR* name;
    DWORD error;
    DWORD wineError;
  };
  // Wine 8.0 deviation: an empty name is refused with ERROR_INVALID_PARAMETER, as Windows 9x
  // did; Windows NT answers ERROR_INVALID_PRINTER_NAME.
  const Case refused[] = {
      {kTestPrinter, ERROR_INVALID_PRINTER_NAME, ERROR_INVALID_PRINTER_NAME},
      {W(""), ERROR_INVALID_PRINTER_NAME, ERROR_INVALID_PARAMETER},
      {W("No,Such"), ERROR_INVALID_PRINTER_NAME, ERROR_INVALID_PRINTER_NAME},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(Narrow(c.name));
    h = nullptr;
    EXPECT_FAILS(OpenPrinterW(Wide(c.name), &h, &all), OnWine() ? c.wineError : c.error);
  }
  EXPECT_FAILS(OpenPrinterW(Wide(kTestPrinter), nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(PrinterContract, AddPrinterRefusesWhatTheSpoolerDoesNotKnow) {
  WideString driver = InstalledDriver();
  struct Case {
    const char* what;
    const WCHAR* name;
    const WCHAR* port;
    const WCHAR* driver;
    const WCHAR* processor;
    DWORD error;
    // Wine 8.0 deviation: AddPrinterW checks neither the port nor the characters of the name
    // and adds the printer; Windows refuses with the error given.
    bool wineAccepts;
  };
  const Case cases[] = {
      {"driver", kTestPrinter, W("FILE:"), W("No Such Driver 9"), W("winprint"),
       ERROR_UNKNOWN_PRINTER_DRIVER, false},
      {"port", kTestPrinter, W("NOPORT77:"), driver.c_str(), W("winprint"), ERROR_UNKNOWN_PORT,
       true},
      {"processor", kTestPrinter, W("FILE:"), driver.c_str(), W("noprint"),
       ERROR_UNKNOWN_PRINTPROCESSOR, false},
      {"name", W("Bad,Name"), W("FILE:"), driver.c_str(), W("winprint"), ERROR_INVALID_PRINTER_NAME,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kAnyError);
    HANDLE h = AddPrinterWith(c.name, c.port, c.driver, c.processor, W("RAW"));
    if (OnWine() && c.wineAccepts) {
      EXPECT_NE(h, nullptr);
      if (h) {
        DeletePrinter(h);  // removed through the handle it came with
        ClosePrinter(h);
      }
      continue;
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetLastError(kAnyError);
  EXPECT_EQ(AddPrinterWith(kTestPrinter, W("FILE:"), driver.c_str(), W("winprint"), W("RAW"), 7),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
}

TEST_F(PrinterContract, SetPrinterMovesThePortAndBack) {
  HANDLE h = AddTestPrinter(kTestPrinter, W("LPT1:"));
  ASSERT_NE(h, nullptr);
  // The product parks queues on "file:", keeping any further ports of a pooled queue.
  for (const WCHAR* port : {W("file:"), W("file:,LPT2:"), W("LPT1:")}) {
    SCOPED_TRACE(Narrow(port));
    std::vector<BYTE> info = PrinterInfo2(h);
    ASSERT_FALSE(info.empty());
    auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(info.data());
    Wide newPort(port), comment(W("moved"));
    pi->pPortName = newPort;
    pi->pComment = comment;
    SetLastError(kAnyError);
    EXPECT_TRUE(SetPrinterW(h, 2, info.data(), 0));
    std::vector<BYTE> after = PrinterInfo2(h);
    ASSERT_FALSE(after.empty());
    auto* read = reinterpret_cast<PRINTER_INFO_2W*>(after.data());
    // Port names compare ignoring case; the spooler may report the port's own spelling.
    EXPECT_EQ(Lower(Narrow(read->pPortName)), Lower(Narrow(port)));
    EXPECT_EQ(Narrow(read->pComment), "moved");
  }
  ClosePrinter(h);
}

TEST_F(PrinterContract, AddPrinterWithoutDatatypeTakesTheDefault) {
  // As the installer fills it: zeroes but for name, port, driver, comment and processor.
  SetLastError(kAnyError);
  HANDLE h =
      AddPrinterWith(kTestPrinter, W("FILE:"), InstalledDriver().c_str(), W("WinPrint"), nullptr);
  if (OnWine()) {
    // Wine: a NULL pDatatype is refused with 1801 and leaves a half-made printer behind.
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PRINTER_NAME));
    return;
  }
  ASSERT_NE(h, nullptr);
  std::vector<BYTE> buffer = PrinterInfo2(h);
  ASSERT_FALSE(buffer.empty());
  auto* read = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  EXPECT_EQ(Narrow(read->pDatatype), "RAW");
  EXPECT_EQ(Lower(Narrow(read->pPrintProcessor)), "winprint");
  EXPECT_GE(read->Priority, 1u);
  ClosePrinter(h);
}

TEST_F(PrinterContract, SetPrinterRenameOntoATakenNameIsRefused) {
  HANDLE a = AddTestPrinter(kTestPrinter);
  HANDLE b = AddTestPrinter(kOtherPrinter);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  std::vector<BYTE> info = PrinterInfo2(b);
  ASSERT_FALSE(info.empty());
  Wide taken(kTestPrinter);
  reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pPrinterName = taken;
  SetLastError(kAnyError);
  BOOL renamed = SetPrinterW(b, 2, info.data(), 0);
  if (OnWine()) {
    // Wine 8.0 deviation: level 2 neither checks nor renames; it stores pPrinterName as the
    // name the printer reports, so two printers then report the same name, and the queue
    // stays reachable under its old one. Windows refuses with ERROR_PRINTER_ALREADY_EXISTS.
    EXPECT_TRUE(renamed);
    std::vector<BYTE> after = PrinterInfo2(b);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(Narrow(reinterpret_cast<PRINTER_INFO_2W*>(after.data())->pPrinterName),
              Narrow(kTestPrinter));
    HANDLE old = nullptr;
    EXPECT_TRUE(OpenPrinterW(Wide(kOtherPrinter), &old, nullptr));
    if (old) ClosePrinter(old);
  } else {
    EXPECT_FALSE(renamed);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PRINTER_ALREADY_EXISTS));
  }
  ClosePrinter(a);
  ClosePrinter(b);
}

TEST_F(PrinterContract, PurgeThenDelete) {
  HANDLE h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  SetLastError(kAnyError);
  BOOL purged = SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE);
  if (OnWine()) {
    // Wine: level 0 is not supported.
    EXPECT_FALSE(purged);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
  } else {
    EXPECT_TRUE(purged);
  }
  EXPECT_TRUE(DeletePrinter(h));
  EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(PrinterContract, RightsAreCheckedPerHandle) {
  HANDLE added = AddTestPrinter(kTestPrinter);
  ASSERT_NE(added, nullptr);
  ClosePrinter(added);
  HANDLE h = nullptr;
  ASSERT_TRUE(OpenPrinterW(Wide(kTestPrinter), &h, nullptr));  // PRINTER_ACCESS_USE
  EXPECT_FALSE(PrinterInfo2(h).empty());
  char value[] = "SubKey";
  BYTE data[] = "x";
  DWORD written = SetPrinterDataA(h, value, 1, data, 2);
  SetLastError(kAnyError);
  BOOL paused = SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PAUSE);
  DWORD pauseError = GetLastError();
  SetLastError(kAnyError);
  BOOL deleted = DeletePrinter(h);
  DWORD deleteError = GetLastError();
  if (OnWine()) {
    // Wine 8.0 deviation: the rights a handle was opened with are not checked; data is
    // written and the printer deleted through a use-only handle (level 0 is not supported at
    // all). Windows refuses each with ERROR_ACCESS_DENIED.
    EXPECT_EQ(written, DWORD(ERROR_SUCCESS));
    EXPECT_FALSE(paused);
    EXPECT_EQ(pauseError, DWORD(ERROR_INVALID_LEVEL));
    EXPECT_TRUE(deleted);
  } else {
    EXPECT_EQ(written, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(paused);
    EXPECT_EQ(pauseError, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(deleted);
    EXPECT_EQ(deleteError, DWORD(ERROR_ACCESS_DENIED));
  }
  ClosePrinter(h);
}

TEST_F(PrinterContract, PrinterDataIsStoredAsWrittenAndGoesWithThePrinter) {
  HANDLE h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  char subKey[] = "SubKey";
  BYTE text[] = "Settings 7";             // 11 bytes with the terminator
  BYTE unterminated[] = {'a', 'b', 'c'};  // written without a terminator
  std::string longText(70, 'L');
  EXPECT_EQ(SetPrinterDataA(h, subKey, REG_SZ, text, sizeof(text)), 0u);
  EXPECT_EQ(SetPrinterDataExA(h, "DsUser", "SubKey", REG_SZ, unterminated, 3), 0u);
  EXPECT_EQ(
      SetPrinterDataExA(h, "DsUser", "Long", REG_SZ, reinterpret_cast<LPBYTE>(longText.data()), 71),
      0u);

  struct Case {
    const char* key;  // null: the plain call
    const char* value;
    DWORD size;
    DWORD result;
    DWORD needed;
    bool unterminated;  // the value was written without a terminator
  };
  const Case cases[] = {
      {nullptr, "SubKey", 64, ERROR_SUCCESS, sizeof(text), false},
      {nullptr, "subkey", 64, ERROR_SUCCESS, sizeof(text), false},
      {"DsUser", "SubKey", 64, ERROR_SUCCESS, 3, true},
      {"dsuser", "Long", 64, ERROR_MORE_DATA, 71, false},
      {"DsUser", "Long", 71, ERROR_SUCCESS, 71, false},
      {nullptr, "Missing", 64, ERROR_FILE_NOT_FOUND, kAnyError, false},
      {"NoSuchKey", "SubKey", 64, ERROR_FILE_NOT_FOUND, kAnyError, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key ? c.key : "(plain)") + "/" + c.value);
    BYTE buffer[80];
    std::memset(buffer, '#', sizeof(buffer));
    DWORD type = 0, needed = kAnyError;
    std::string value = c.value;
    DWORD result = c.key ? GetPrinterDataExA(h, c.key, c.value, &type, buffer, c.size, &needed)
                         : GetPrinterDataA(h, value.data(), &type, buffer, c.size, &needed);
    EXPECT_EQ(result, c.result);
    if (c.needed != kAnyError) {
      EXPECT_EQ(needed, c.needed);
    } else if (OnSim()) {
      EXPECT_EQ(needed, 0u);  // the sim reports a missing value as needing nothing
    }
    if (result == ERROR_SUCCESS && OnWine() && c.unterminated) {
      // Wine 8.0 deviation: the value passes through the registry's ANSI conversion, which
      // appends a terminator past an unterminated string when the buffer has room; the
      // spooler on Windows returns the stored bytes only.
      EXPECT_EQ(type, DWORD(REG_SZ));
      EXPECT_EQ(buffer[needed], 0);
      EXPECT_EQ(buffer[needed + 1], '#');
    } else if (result == ERROR_SUCCESS) {
      EXPECT_EQ(type, DWORD(REG_SZ));
      EXPECT_EQ(buffer[needed], '#');  // nothing written past the value
    } else {
      EXPECT_EQ(buffer[0], '#');  // the buffer is not written
    }
  }
  // The plain values are the ones under "PrinterDriverData".
  BYTE buffer[64];
  DWORD type = 0, needed = 0;
  EXPECT_EQ(GetPrinterDataExA(h, "PrinterDriverData", "SubKey", &type, buffer, 64, &needed), 0u);
  EXPECT_EQ(needed, DWORD(sizeof(text)));

  EXPECT_TRUE(DeletePrinter(h));
  ClosePrinter(h);
  h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetPrinterDataA(h, subKey, &type, buffer, 64, &needed), DWORD(ERROR_FILE_NOT_FOUND));
  ClosePrinter(h);
}

TEST_F(PrinterContract, DefaultPrinterSizesAndRefusals) {
  HANDLE h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  ClosePrinter(h);
  SetLastError(kAnyError);
  EXPECT_TRUE(SetDefaultPrinterW(kTestPrinter));

  const DWORD exact = DWORD(Narrow(kTestPrinter).size() + 1);
  struct Case {
    DWORD size;
    bool buffer;
    BOOL result;
    DWORD error;
  };
  const Case cases[] = {{0, true, FALSE, ERROR_INSUFFICIENT_BUFFER},
                        {exact - 1, true, FALSE, ERROR_INSUFFICIENT_BUFFER},
                        {1000, false, FALSE, ERROR_INSUFFICIENT_BUFFER},
                        {exact, true, TRUE, kAnyError},
                        {1000, true, TRUE, kAnyError}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    WCHAR buffer[1000] = {};
    DWORD size = c.size;
    SetLastError(kAnyError);
    EXPECT_EQ(GetDefaultPrinterW(c.buffer ? buffer : nullptr, &size), c.result);
    EXPECT_EQ(size, exact);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    if (c.result) {
      EXPECT_EQ(Narrow(buffer), Narrow(kTestPrinter));
    }
  }
  EXPECT_FAILS(GetDefaultPrinterW(nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_FAILS(SetDefaultPrinterW(W("No Such Printer 42")), ERROR_INVALID_PRINTER_NAME);
}

TEST_F(PrinterContract, AStoppedSpoolerRefusesSpoolerCalls) {
  HANDLE before = AddTestPrinter(kTestPrinter);
  ASSERT_NE(before, nullptr);
  struct Case {
    const char* api;
    BOOL result;
    DWORD error;
  };
  // The same questions, asked of a running and of a stopped spooler.
  auto ask = [before] {
    DWORD needed = 0, count = 0;
    HANDLE h = nullptr;
    WCHAR name[100];
    DWORD size = 100;
    char value[] = "SubKey";
    std::vector<Case> cases;
    SetLastError(kAnyError);
    BOOL ok = EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    cases.push_back({"EnumPrintersW", ok, GetLastError()});
    SetLastError(kAnyError);
    ok = EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count);
    cases.push_back({"EnumMonitorsW", ok, GetLastError()});
    SetLastError(kAnyError);
    ok = OpenPrinterW(Wide(W("Any")), &h, nullptr);
    cases.push_back({"OpenPrinterW", ok, GetLastError()});
    if (ok) ClosePrinter(h);
    SetLastError(kAnyError);
    ok = GetDefaultPrinterW(name, &size);
    cases.push_back({"GetDefaultPrinterW", ok, GetLastError()});
    DWORD data = GetPrinterDataA(before, value, nullptr, nullptr, 0, &needed);
    cases.push_back({"GetPrinterDataA", data == ERROR_SUCCESS, data});
    return cases;
  };
  const std::vector<Case> running = ask();

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0x000F0001);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE spooler = OpenServiceW(manager, W("spooler"), 0x0034);
  ASSERT_NE(spooler, nullptr);
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  for (int i = 0;
       i < 500 && QueryServiceStatus(spooler, &status) && status.dwCurrentState != SERVICE_STOPPED;
       ++i) {
    Sleep(20);
  }
  ASSERT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));

  const std::vector<Case> stopped = ask();
  ASSERT_EQ(stopped.size(), running.size());
  for (size_t i = 0; i < stopped.size(); ++i) {
    SCOPED_TRACE(stopped[i].api);
    if (OnWine()) {
      // Wine 8.0 deviation: the spooler API runs inside the calling process and answers as
      // if the service were running; Windows fails every call with RPC_S_SERVER_UNAVAILABLE.
      EXPECT_EQ(stopped[i].result, running[i].result);
      if (!stopped[i].result) {
        EXPECT_EQ(stopped[i].error, running[i].error);
      }
    } else {
      EXPECT_FALSE(stopped[i].result);
      EXPECT_EQ(stopped[i].error, DWORD(RPC_S_SERVER_UNAVAILABLE));
    }
  }
  EXPECT_TRUE(StartServiceW(spooler, 0, nullptr));
  for (int i = 0;
       i < 500 && QueryServiceStatus(spooler, &status) && status.dwCurrentState != SERVICE_RUNNING;
       ++i) {
    Sleep(20);
  }
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_RUNNING));
  ClosePrinter(before);
  CloseServiceHandle(spooler);
  CloseServiceHandle(manager);
}

// With nothing to list the first call already succeeds: no size, no records.
TEST_F(PrinterContract, EnumPrintersWithNoPrintersSucceedsAtOnce) {
#ifndef _WIN32
  machine_.spooler.printers.clear();
  machine_.spooler.defaultPrinter.clear();
#endif
  DWORD needed = 0xdead, returned = 0xdead;
  SetLastError(0xdeadbeef);
  BOOL ok = EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0,
                          &needed, &returned);
  if (OnSim() || ok) {  // a Windows machine with printers installed answers 122 instead
    EXPECT_TRUE(ok);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(returned, 0u);
  }
}

#ifndef _WIN32
// The default machine: one ordinary printer, the default one, on PORTPROMPT:.
TEST_F(PrinterContract, SimDefaultMachineHasOneDefaultPrinter) {
  WCHAR name[100];
  DWORD size = 100;
  ASSERT_TRUE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(Narrow(name), "Microsoft Print to PDF");
  HANDLE h = nullptr;
  ASSERT_TRUE(OpenPrinterW(name, &h, nullptr));
  std::vector<BYTE> info = PrinterInfo2(h);
  ASSERT_FALSE(info.empty());
  auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(info.data());
  EXPECT_EQ(Narrow(pi->pPortName), "PORTPROMPT:");
  EXPECT_EQ(Narrow(pi->pDriverName), "Microsoft Print To PDF");
  EXPECT_EQ(pi->Attributes & PRINTER_ATTRIBUTE_DEFAULT, 0u);  // NT keeps the default apart
  ClosePrinter(h);
}

TEST_F(PrinterContract, SimConnectionsAreListedAfterLocalQueuesAndKeepTheServersPorts) {
  sim::SimPrinter connection;
  connection.name = u"\\\\srv\\Queue";
  connection.serverName = u"\\\\srv";
  connection.portName = u"IP_10.0.0.1";
  connection.driverName = u"Microsoft Print To PDF";
  connection.connection = true;
  connection.attributes = PRINTER_ATTRIBUTE_NETWORK;
  machine_.spooler.printers.insert(machine_.spooler.printers.begin(), connection);

  for (DWORD flags :
       {DWORD(PRINTER_ENUM_LOCAL), DWORD(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)}) {
    DWORD needed = 0, count = 0;
    EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(EnumPrintersW(flags, nullptr, 2, buffer.data(), needed, &needed, &count));
    auto* list = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    ASSERT_EQ(count, flags == PRINTER_ENUM_LOCAL ? 1u : 2u);
    EXPECT_EQ(Narrow(list[0].pPrinterName), "Microsoft Print to PDF");
    EXPECT_EQ(list[0].pServerName, nullptr);
    if (count == 2) {
      EXPECT_EQ(Narrow(list[1].pServerName), "\\\\srv");
      EXPECT_EQ(list[1].Attributes, DWORD(PRINTER_ATTRIBUTE_NETWORK));
    }
  }
  // Opened by its full name, it takes new settings with the server's port untouched.
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE h = nullptr;
  ASSERT_TRUE(OpenPrinterW(Wide(W("\\\\SRV\\queue")), &h, &all));
  std::vector<BYTE> info = PrinterInfo2(h);
  ASSERT_FALSE(info.empty());
  Wide comment(W("remote"));
  reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pComment = comment;
  EXPECT_TRUE(SetPrinterW(h, 2, info.data(), 0));
  EXPECT_EQ(sim::ToUtf8(sim::FindPrinter(machine_, u"\\\\srv\\Queue")->comment), "remote");
  ClosePrinter(h);
}

TEST_F(PrinterContract, SimDeletingTheDefaultPrinterLeavesNoDefault) {
  HANDLE other = AddTestPrinter(kTestPrinter);
  ASSERT_NE(other, nullptr);
  ClosePrinter(other);
  HANDLE h = nullptr;
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(OpenPrinterW(Wide(W("Microsoft Print to PDF")), &h, &all));
  EXPECT_TRUE(DeletePrinter(h));
  // The handle outlives its printer but no longer reaches it.
  EXPECT_TRUE(PrinterInfo2(h).empty());
  EXPECT_TRUE(ClosePrinter(h));
  WCHAR name[100];
  DWORD size = 100;
  EXPECT_FAILS(GetDefaultPrinterW(name, &size), ERROR_FILE_NOT_FOUND);
  // An empty name makes the first printer the default when there is none.
  EXPECT_TRUE(SetDefaultPrinterW(W("")));
  size = 100;
  EXPECT_TRUE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(Narrow(name), Narrow(kTestPrinter));
}

TEST_F(PrinterContract, SimQueuedJobsKeepAPrinterUntilPurged) {
  HANDLE h = AddTestPrinter(kTestPrinter);
  ASSERT_NE(h, nullptr);
  sim::FindPrinter(machine_, kTestPrinter)->jobs = 3;
  EXPECT_TRUE(DeletePrinter(h));
  sim::SimPrinter* p = sim::FindPrinter(machine_, kTestPrinter);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->status & PRINTER_STATUS_PENDING_DELETION);
  EXPECT_TRUE(SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE));
  EXPECT_EQ(sim::FindPrinter(machine_, kTestPrinter), nullptr);
  ClosePrinter(h);
}

TEST_F(PrinterContract, SimHandlesDieWithTheSpoolerThatIssuedThem) {
  HANDLE h = nullptr;
  ASSERT_TRUE(OpenPrinterW(Wide(W("Microsoft Print to PDF")), &h, nullptr));
  machine_.services.services[0].starts += 1;  // the service was restarted meanwhile
  DWORD needed = 0;
  EXPECT_FAILS(GetPrinterW(h, 2, nullptr, 0, &needed), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(PrinterContract, SimEveryEntryPointCanBeMadeToFail) {
  sim::AddFault(machine_, "OpenPrinterW", ERROR_ACCESS_DENIED);
  sim::AddFault(machine_, "GetPrinterDataExA", ERROR_NOT_ENOUGH_MEMORY);
  HANDLE h = nullptr;
  EXPECT_FAILS(OpenPrinterW(Wide(W("Microsoft Print to PDF")), &h, nullptr), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(OpenPrinterW(Wide(W("Microsoft Print to PDF")), &h, nullptr));  // once only
  BYTE buffer[64];
  DWORD type = 0, needed = 0;
  EXPECT_EQ(GetPrinterDataExA(h, "DsUser", "SubKey", &type, buffer, 64, &needed),
            DWORD(ERROR_NOT_ENOUGH_MEMORY));
  ClosePrinter(h);
}
#endif

}  // namespace
