// How the spooler answers: its sized queries, printers and their data, the default printer,
// printer drivers, port monitors, and a stopped spooler.
#include <cstring>

#include "contract.h"

namespace {

const WCHAR* const kPrinter = W("Contract Printer");
const WCHAR* const kOther = W("Contract Printer Two");
const WCHAR* const kDriver = W("Contract Test Driver");
const WCHAR* const kMonitor = W("Contract Monitor:");
const WCHAR* const kBadEnv = W("Windows 3.1 Turbo");

#ifdef _WIN32
// A machine without any printer driver (a fresh Wine prefix) gets one for the run, made from
// the package's driver and UI modules in the folder named by ORVINST_CONTRACT_PACKAGE (the
// spooler loads the UI module whenever a queue is created on it), staged in the printer-driver
// directory first, the way every spooler takes them. What it adds it removes.
class DriverEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
    WCHAR from[MAX_PATH] = {}, dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(W("ORVINST_CONTRACT_PACKAGE"), from, MAX_PATH);
    if (needed > 0 || n == 0 || n >= MAX_PATH) return;  // InstalledDriver() reports none
    ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, (BYTE*)dir, sizeof dir, &needed));
    for (const WCHAR* file : {W("\\kvxdrv64.dll"), W("\\kvxui64.dll")}) {
      staged_.push_back(dir + WString(file));
      ASSERT_TRUE(CopyFileW((from + WString(file)).c_str(), staged_.back().c_str(), 0));
    }
    DRIVER_INFO_6W info = {
        3, name_, nullptr, staged_[0].data(), staged_[0].data(), staged_[1].data()};
    added_ = AddPrinterDriverExW(nullptr, 6, (BYTE*)&info, APD_COPY_ALL_FILES);
    ASSERT_TRUE(added_) << GetLastError();
  }
  void TearDown() override {
    if (added_) DeletePrinterDriverExW(nullptr, nullptr, name_, 0, 0);  // Wine takes no flags
    for (const auto& file : staged_) DeleteFileW(file.c_str());
  }

 private:
  WCHAR name_[32] = L"Contract Base Driver";
  std::vector<WString> staged_;
  bool added_ = false;
};
::testing::Environment* const kDriverEnvironment =
    ::testing::AddGlobalTestEnvironment(new DriverEnvironment);
#endif

template <class T>
T& At(const std::vector<BYTE>& buffer, DWORD i = 0) {
  return const_cast<T*>(reinterpret_cast<const T*>(buffer.data()))[i];
}
bool Inside(const void* p, const std::vector<BYTE>& buffer) {
  auto* b = static_cast<const BYTE*>(p);
  return b >= buffer.data() && b < buffer.data() + buffer.size();
}

// The driver every test printer uses: one the machine already has.
WString InstalledDriver() {
  DWORD needed = 0, count = 0;
  EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed + 2);
  EnumPrinterDriversW(nullptr, nullptr, 1, buffer.data(), needed, &needed, &count);
  EXPECT_GT(count, 0u) << "the machine needs one printer driver for the native environment";
  return count ? At<DRIVER_INFO_1W>(buffer).pName : W("");
}

// A printer from the fields the installer fills (a null one stays unset): its handle or null.
HANDLE AddPrinterWith(const WCHAR* name, const WCHAR* port, const WCHAR* driver,
                      const WCHAR* processor = W("winprint"), const WCHAR* datatype = W("RAW")) {
  Wide printer(name), portName(port), drv(driver), proc(processor), type(datatype), note(W(""));
  PRINTER_INFO_2W info = {nullptr, printer, nullptr, portName, drv, note,
                          nullptr, nullptr, nullptr, proc,     type};
  return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
}
HANDLE AddTestPrinter(const WCHAR* name, const WCHAR* port = W("FILE:")) {
  return AddPrinterWith(name, port, InstalledDriver().c_str());
}

// Whether a call gave a printer handle, closed again with the last error kept. Dropped: the
// printer is deleted through it too.
BOOL GavePrinter(HANDLE h, bool drop = false) {
  const DWORD error = GetLastError();
  if (h && drop) DeletePrinter(h);
  if (h) ClosePrinter(h);
  SetLastError(error);
  return h != nullptr;
}

std::vector<BYTE> PrinterInfo2(HANDLE h) {
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  if (!needed || !GetPrinterW(h, 2, buffer.data(), needed, &needed))
    buffer.assign(sizeof(PRINTER_INFO_2W), 0);
  return buffer;
}

class Spooler : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    TearDown();
  }
  void TearDown() override {
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    for (const WCHAR* name : {kPrinter, kOther}) {
      HANDLE h = nullptr;
      if (OpenPrinterW(Wide(name), &h, &all)) GavePrinter(h, true);
    }
    DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), 0, 0);
    DeleteMonitorW(nullptr, nullptr, Wide(kMonitor));
  }
  // The test driver from files staged in a folder of the test's own, as the installer adds it.
  BOOL AddTestDriver(const WCHAR* driverFile = W("ctdrv.dll"), const WCHAR* env = nullptr) {
    const WString dir = TestDir(W("orvcontract")) + W("\\");
    for (const WCHAR* f : {W("ctdrv.dll"), W("ctui.dll"), W("cthelp.chm")}) PutFile(dir + f, "MZ");
    Wide name(kDriver), environment(env), driver(dir + driverFile), config(dir + W("ctui.dll")),
        help(dir + W("cthelp.chm")), maker(W("Contract Maker"));
    DRIVER_INFO_6W info = {3, name, environment, driver, driver, config, help};
    info.pszMfgName = info.pszProvider = maker;
    return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES);
  }
};

// Registers a monitor; the built-in Local Port module, in every system directory, serves.
BOOL AddTestMonitor(const WCHAR* name, const WCHAR* dll = W("localspl.dll")) {
  Wide n(name), env(W("Windows x64")), module(dll);
  MONITOR_INFO_2W info = {n, env, module};
  return AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
}

// Every sized query the installer makes: the size asked with no buffer, again one byte short,
// then the buffer filled; each answer says how each call went and what the record of ours
// reads, every string of it inside the buffer.
TEST_F(Spooler, SizedQueriesAnswerInTwoCalls) {
#ifndef _WIN32
  machine_.spooler.printers.clear();  // none, as in a fresh Wine prefix
  machine_.spooler.defaultPrinter.clear();
#endif
  // With nothing to list the first call already succeeds: no size, no records.
  DWORD none = 1;
  SetLastError(kAnyError);
  const BOOL empty = EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &none, &none);
  Answer("EnumPrintersW, no printers",
         empty && !none ? "ok, nothing needed" : Error(GetLastError()));
  HANDLE h = AddTestPrinter(kPrinter);
  const std::string driver = Lower(Narrow(InstalledDriver().c_str()));
  WCHAR dir[MAX_PATH];
  const std::string system = Lower(Narrow(dir + 0 * GetSystemDirectoryW(dir, MAX_PATH)));
  std::vector<BYTE> b;
  // A string of the record, the machine's own names for its driver and folder replaced.
  const auto text = [&](const WCHAR* s) {
    std::string t = Inside(s, b) ? Lower(Narrow(s)) : "<outside the buffer>";
    if (t.starts_with(system)) t.replace(0, system.size(), "<system>");
    return t == driver ? "<driver>" : t;
  };
  struct Sized {
    const char* what;
    std::function<BOOL(BYTE*, DWORD, DWORD*, DWORD*)> query;
    std::function<std::string(DWORD)> record;  // "" for records not of ours
  };
  const Sized queries[] = {
      {"EnumPrintersW level 2",
       [](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
         return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, size,
                              needed, count);
       },
       [&](DWORD i) {
         auto& r = At<PRINTER_INFO_2W>(b, i);
         return text(r.pPrinterName) != "contract printer"
                    ? ""
                    : "contract printer on " + text(r.pPortName) + " with " + text(r.pDriverName);
       }},
      {"EnumMonitorsW level 2",
       [](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
         return EnumMonitorsW(nullptr, 2, b, size, needed, count);
       },
       [&](DWORD i) {
         auto& r = At<MONITOR_INFO_2W>(b, i);
         return text(r.pName) != "local port"
                    ? ""
                    : "local port: " + text(r.pDLLName) + ", " + text(r.pEnvironment);
       }},
      {"EnumPrinterDriversW level 6",
       [](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
         DWORD count = 0;  // the count with too small a buffer differs: unstated
         return EnumPrinterDriversW(nullptr, nullptr, 6, b, size, needed, &count);
       },
       [&](DWORD) { return text(At<DRIVER_INFO_6W>(b).pName); }},
      {"GetPrinterW level 2",
       [&](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
         return GetPrinterW(h, 2, b, size, needed);
       },
       [&](DWORD) { return text(At<PRINTER_INFO_2W>(b).pPrinterName); }},
      // The product sizes with "Windows x64" and fills with none, the spooler's own.
      {"GetPrinterDriverW level 2",
       [&](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
         return GetPrinterDriverW(h, Wide(b ? nullptr : W("Windows x64")), 2, b, size, needed);
       },
       [&](DWORD) { return text(At<DRIVER_INFO_2W>(b).pName); }},
      {"GetPrinterDriverDirectoryW level 1",
       [](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
         return GetPrinterDriverDirectoryW(nullptr, Wide(W("Windows x64")), 1, b, size, needed);
       },
       [&](DWORD) { return text(&At<WCHAR>(b)) + ", " + std::to_string(b.size()) + " bytes"; }},
  };
  for (const auto& q : queries) {
    DWORD needed = 0, again = 0, count = kAnyError;
    SetLastError(kAnyError);
    std::string answer = q.query(nullptr, 0, &needed, &count) ? "ok" : Error(GetLastError());
    answer += count == kAnyError ? "" : ", " + std::to_string(count) + " records";
    b.assign(needed, 0);
    answer += q.query(b.data(), needed - 1, &again, &count) ? "; ok" : "; " + Error(GetLastError());
    answer += again == needed ? ", the same size; " : ", another size; ";
    answer +=
        q.query(b.data(), needed, &again, &count) && again == needed ? "filled" : "not filled";
    for (DWORD i = 0; i < (count == kAnyError ? 1 : count); ++i) {
      answer += q.record(i).empty() ? "" : "; " + q.record(i);
    }
    Answer(q.what, answer);
  }
  ClosePrinter(h);
  ExpectAnswers();
}

TEST_F(Spooler, PrintersAreAddedOpenedPurgedAndDeleted) {
  const WString driver = InstalledDriver();
  HANDLE h = nullptr;
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  const auto open = [&](const WCHAR* name) {
    h = nullptr;
    return OpenPrinterW(Wide(name), &h, &all);
  };
  const auto add = [&](const WCHAR* name, const WCHAR* port, const WCHAR* drv, const WCHAR* proc) {
    return GavePrinter(AddPrinterWith(name, port, drv, proc), true);
  };
  Answer("AddPrinterW", Result(GavePrinter(AddTestPrinter(kPrinter))));
  Answer("AddPrinterW, unknown driver",
         Result(add(kOther, W("FILE:"), W("No Such Driver 9"), W("winprint"))));
  Answer("AddPrinterW, unknown port",
         Result(add(kOther, W("NOPORT77:"), driver.c_str(), W("winprint"))));
  Answer("AddPrinterW, unknown print processor",
         Result(add(kOther, W("FILE:"), driver.c_str(), W("noprint"))));
  Answer("AddPrinterW, a comma in the name",
         Result(add(W("Bad,Name"), W("FILE:"), driver.c_str(), W("winprint"))));
  Answer("OpenPrinterW", Result(open(kPrinter) && GavePrinter(h)));
  Answer("OpenPrinterW, empty name", Result(open(W(""))));
  Answer("OpenPrinterW, a missing printer", Result(open(W("No,Such"))));
  Answer("SetPrinterW level 0, purge",
         Result(open(kPrinter) && SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE)));
  Answer("DeletePrinter", Result(DeletePrinter(h)));
  Answer("ClosePrinter", Result(ClosePrinter(h)));
  Answer("ClosePrinter, closed before", Result(ClosePrinter(h)));
  Answer("OpenPrinterW, deleted", Result(open(kPrinter)));
  // As the installer fills it: no datatype, which takes the default.
  Answer("AddPrinterW, no datatype", Result([&] {
           h = AddPrinterWith(kPrinter, W("FILE:"), driver.c_str(), W("WinPrint"), nullptr);
           return h && Narrow(At<PRINTER_INFO_2W>(PrinterInfo2(h)).pDatatype) == "RAW" &&
                  GavePrinter(h);
         }()));
  Answer("AddPrinterW, twice",
         Result(GavePrinter(AddTestPrinter(kOther)) && GavePrinter(AddTestPrinter(kOther))));
  ExpectAnswers();
}

TEST_F(Spooler, SetPrinterLevel2AndTheRightsOfAHandle) {
  HANDLE a = AddTestPrinter(kPrinter, W("LPT1:")), b = AddTestPrinter(kOther);
  ASSERT_TRUE(a && b);
  HANDLE user = nullptr;  // PRINTER_ACCESS_USE only
  ASSERT_TRUE(OpenPrinterW(Wide(kOther), &user, nullptr));
  EXPECT_NE(At<PRINTER_INFO_2W>(PrinterInfo2(user)).pPrinterName, nullptr);
  const auto set = [](HANDLE h, const WCHAR* name, const WCHAR* port) {
    std::vector<BYTE> info = PrinterInfo2(h);
    Wide newName(name), newPort(port);
    if (name) At<PRINTER_INFO_2W>(info).pPrinterName = newName;
    if (port) At<PRINTER_INFO_2W>(info).pPortName = newPort;
    // Port names compare ignoring case; the spooler may report the port's own spelling.
    return SetPrinterW(h, 2, info.data(), 0) &&
           (!port ||
            Lower(Narrow(At<PRINTER_INFO_2W>(PrinterInfo2(h)).pPortName)) == Lower(Narrow(port)));
  };
  char value[] = "SubKey";
  BYTE data[] = "x";
  // The product parks queues on "file:", keeping any further ports of a pooled queue.
  Answer("SetPrinterW, port to file:", Result(set(a, nullptr, W("file:"))));
  Answer("SetPrinterW, pooled ports", Result(set(a, nullptr, W("file:,LPT2:"))));
  Answer("SetPrinterW, port back", Result(set(a, nullptr, W("LPT1:"))));
  Answer("SetPrinterW, rename onto a taken name", Result(set(b, kPrinter, nullptr)));
  Answer("SetPrinterDataA, use-only handle", Result([&] {
           SetLastError(SetPrinterDataA(user, value, REG_SZ, data, 2));
           return GetLastError() == ERROR_SUCCESS;
         }()));
  Answer("SetPrinterW pause, use-only handle",
         Result(SetPrinterW(user, 0, nullptr, PRINTER_CONTROL_PAUSE)));
  Answer("DeletePrinter, use-only handle", Result(DeletePrinter(user)));
  for (HANDLE h : {a, b, user}) ClosePrinter(h);
  ExpectAnswers();
}

// The product keeps a queue's "SubKey" through a reinstall, read and written both ways; each
// answer shows what the buffer (80 '#' before the call) holds up to the first '#'.
TEST_F(Spooler, PrinterDataIsStoredAsWrittenAndGoesWithThePrinter) {
  HANDLE h = AddTestPrinter(kPrinter);
  char subKey[] = "SubKey";
  BYTE text[] = "Settings 7", unterminated[] = {'a', 'b', 'c'}, longText[72] = {};
  std::memset(longText, 'L', 70);
  const auto get = [&](const char* key, const char* value, DWORD size) {
    char buffer[80];
    std::memset(buffer, '#', sizeof(buffer));
    DWORD type = 0, needed = 0;
    std::string name = value;
    const DWORD result = key ? GetPrinterDataExA(h, key, value, &type, (BYTE*)buffer, size, &needed)
                             : GetPrinterDataA(h, name.data(), &type, (BYTE*)buffer, size, &needed);
    std::string shown = std::string(buffer, std::find(buffer, buffer + 80, '#'));
    std::replace(shown.begin(), shown.end(), '\0', '|');
    Answer(std::string(key ? key : "plain") + " " + value + " into " + std::to_string(size),
           (result ? Error(result) : "ok, type " + std::to_string(type)) +
               (result == ERROR_FILE_NOT_FOUND ? "" : ", needs " + std::to_string(needed)) +
               (shown.empty() ? "" : ": " + shown));
  };
  Answer("SetPrinterDataA", Error(SetPrinterDataA(h, subKey, REG_SZ, text, sizeof(text))));
  Answer("SetPrinterDataExA",
         Error(SetPrinterDataExA(h, "DsUser", "SubKey", REG_SZ, unterminated, 3)));
  Answer("SetPrinterDataExA", Error(SetPrinterDataExA(h, "DsUser", "Long", REG_SZ, longText, 71)));
  get(nullptr, "SubKey", 64);
  get("PrinterDriverData", "subkey", 64);  // where the plain calls keep their values
  get("DsUser", "SubKey", 64);
  get("dsuser", "Long", 64);
  get("DsUser", "Long", 71);
  get(nullptr, "Missing", 64);
  get("NoSuchKey", "SubKey", 64);
  GavePrinter(h, true);
  h = AddTestPrinter(kPrinter);
  get(nullptr, "SubKey", 64);  // gone with the printer
  ClosePrinter(h);
  ExpectAnswers();
}

TEST_F(Spooler, DefaultPrinterSizesAndRefusals) {
  ASSERT_TRUE(GavePrinter(AddTestPrinter(kPrinter)));
  ASSERT_TRUE(SetDefaultPrinterW(kPrinter));
  const DWORD exact = DWORD(Narrow(kPrinter).size() + 1);
  WCHAR name[100] = {};
  const auto get = [&](DWORD size, WCHAR* buffer) {
    const BOOL ok = GetDefaultPrinterW(buffer, &size);
    EXPECT_EQ(size, exact);
    return ok && Narrow(name) == Narrow(kPrinter);
  };
  Answer("GetDefaultPrinterW, one short", Result(get(exact - 1, name)));
  Answer("GetDefaultPrinterW, no buffer", Result(get(100, nullptr)));
  Answer("GetDefaultPrinterW, exact", Result(get(exact, name)));
  Answer("GetDefaultPrinterW, no size", Result(GetDefaultPrinterW(nullptr, nullptr)));
  Answer("SetDefaultPrinterW, a missing printer", Result(SetDefaultPrinterW(W("No Such 42"))));
  ExpectAnswers();
}

TEST_F(Spooler, DriversAreAddedFromStagedFilesAndRemovedWithThem) {
  std::vector<BYTE> dir(2 * MAX_PATH);
  DWORD needed = 0;
  ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, dir.data(), 2 * MAX_PATH, &needed));
  const std::string versionDir = Lower(Narrow(&At<WCHAR>(dir))) + "\\3\\";
  std::vector<WString> installed;
  // Listed once, its files copied into the version folder of the printer-driver directory.
  // Wine 8.0 deviation: each file is taken by its name from the printer-driver directory,
  // whatever folder the path names, one missing there silently not copied; manufacturer and
  // provider are not stored.
  const auto listed = [&] {
    DWORD count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    EnumPrinterDriversW(nullptr, nullptr, 6, buffer.data(), needed, &needed, &count);
    installed.clear();
    for (DWORD i = 0; i < count; ++i) {
      const auto& d = At<DRIVER_INFO_6W>(buffer, i);
      if (Narrow(d.pName) != Narrow(kDriver)) continue;
      EXPECT_EQ(Narrow(d.pszProvider), OnWine() ? "" : "Contract Maker");
      for (const WCHAR* path : {d.pDriverPath, d.pConfigFile, d.pHelpFile}) {
        EXPECT_TRUE(Lower(Narrow(path)).starts_with(versionDir)) << Narrow(path);
        EXPECT_EQ(Exists(path), !OnWine()) << Narrow(path);
        installed.push_back(path);
      }
    }
    return installed.size() == 3;
  };
  const auto del = [](const WCHAR* env, DWORD flags) {
    return DeletePrinterDriverExW(nullptr, Wide(env), Wide(kDriver), flags, 0);
  };
  Answer("AddPrinterDriverExW, a missing driver file",
         Result(AddTestDriver(W("no-such-file.dll")) && del(nullptr, 0)));
  Answer("AddPrinterDriverExW, unknown environment", Result(AddTestDriver(W("a"), kBadEnv)));
  Answer("AddPrinterDriverExW", Result(AddTestDriver() && listed()));
  Answer("AddPrinterDriverExW, again: an upgrade", Result(AddTestDriver() && listed()));
  Answer("DeletePrinterDriverExW, unknown environment", Result(del(kBadEnv, 0)));
  Answer("DeletePrinterDriverExW, with its files", Result([&] {
           const BOOL ok = del(W("Windows x64"), DPD_DELETE_ALL_FILES);
           const DWORD error = GetLastError();
           for (const auto& path : installed) EXPECT_FALSE(Exists(path)) << Narrow(path.c_str());
           SetLastError(error);
           return ok;
         }()));
  Answer("DeletePrinterDriverExW, flags 0", Result(del(nullptr, 0)));
  SetLastError(kAnyError);
  Answer("DeletePrinterDriverExW, removed before", Result(del(nullptr, 0)));
  ExpectAnswers();
}

TEST_F(Spooler, MonitorsAreAddedOnceAndDeletedOnce) {
  Answer("AddMonitorW, no name", Result(AddTestMonitor(W(""))));
  Answer("AddMonitorW, no module", Result(AddTestMonitor(kMonitor, W(""))));
  Answer("AddMonitorW, missing module", Result(AddTestMonitor(kMonitor, W("none_77.dll"))));
  Answer("AddMonitorW", Result(AddTestMonitor(kMonitor)));
  Answer("AddMonitorW, again", Result(AddTestMonitor(kMonitor)));
  Answer("DeleteMonitorW", Result(DeleteMonitorW(nullptr, Wide(W("Windows x64")), Wide(kMonitor))));
  Answer("DeleteMonitorW, again",
         Result(DeleteMonitorW(nullptr, Wide(W("Windows x64")), Wide(kMonitor))));
  ExpectAnswers();
}

}  // namespace
