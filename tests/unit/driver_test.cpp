#include "spooler/driver.h"

#include <functional>

#include "files/deferred_delete.h"
#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

const std::u16string kSetup = u"C:\\Program Files\\Orvalstone\\Setup\\";
const std::u16string kDrivers = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const std::u16string kInstalled = kDrivers + u"3\\";
const std::u16string kFiles[] = {u"kvxdrv64.dll", u"kvxui64.dll", u"kvxhelp.chm"};

// The lines of one staging copy under a header at depth 0.
std::u16string CopyLines(const std::u16string& file, const std::u16string& error = u"",
                         const std::u16string& indent = u"  ") {
  const std::u16string inner = indent + u"  ";
  return indent + u">CopyFile " + file + u" to " + kDrivers + u" [1])\r\n" +
         (error.empty() ? inner + u"Copy Succeeded :)\r\n"
                        : inner + error + u"\r\n" + inner + u"Copy Failed :(\r\n");
}

std::u16string SourceMissing(const std::u16string& file) {
  return u"Error(10): Cant't open source file: " + file +
         u" - (The system cannot find the file specified.)";
}

class DriverTest : public unit::MachineTest {
 public:
  DriverTest() { Renew(); }
  void Renew() {
    Fresh();
    Build();
  }
  unit::Texts Listed() const {
    unit::Texts paths;
    for (const PendingDelete* e = context.PendingDeletes; e; e = e->Next) paths.push_back(e->Path);
    return paths;
  }
  // Registers a driver as the spooler would have it after an earlier install.
  void PutDriver(const std::u16string& name) {
    sim::SimDriver d;
    d.name = name;
    d.driverPath = kInstalled + u"kvxdrv64.dll";
    d.dataFile = d.driverPath;
    d.configFile = kInstalled + u"kvxui64.dll";
    d.helpFile = kInstalled + u"kvxhelp.chm";
    for (const auto& f : kFiles) sim::PutFile(m, kInstalled + f, {'M', 'Z'});
    m.spooler.drivers.push_back(d);
  }
  void PutOtherDriver(const std::u16string& name) {
    sim::SimDriver d;
    d.name = name;
    d.driverPath = kInstalled + u"UNIDRV.DLL";
    d.dataFile = kInstalled + u"TTY.GPD";
    d.configFile = kInstalled + u"UNIDRVUI.DLL";
    for (const auto& f : {d.driverPath, d.dataFile, d.configFile}) sim::PutFile(m, f, {'M'});
    m.spooler.drivers.insert(m.spooler.drivers.begin(), d);
  }
  DriverList list;
};

TEST_F(DriverTest, InstallStagesRegistersAndCleansUp) {
  // A newer leftover in the spooler's directory is replaced all the same.
  sim::PutFile(m, kInstalled + u"kvxdrv64.dll", {'M', 'Z'},
               sim::VersionInfo{{9, 9, 9, 9}, {9, 9, 9, 9}});
  context.Indent = 1;
  AddPrinterDriver(context);
  EXPECT_TRUE(Log().ends_with(u"    OK :)\r\n"));
  EXPECT_EQ(context.Indent, 1);
  EXPECT_EQ(context.ErrorCount, 0);
  EXPECT_EQ(context.PendingDeletes, nullptr);

  const sim::SimDriver* d = sim::FindDriver(m, u"Orvalstone printer");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->version, 3u);
  EXPECT_EQ(d->driverPath, kInstalled + u"kvxdrv64.dll");
  EXPECT_EQ(d->dataFile, kInstalled + u"kvxdrv64.dll");
  EXPECT_EQ(d->configFile, kInstalled + u"kvxui64.dll");
  EXPECT_EQ(d->helpFile, kInstalled + u"kvxhelp.chm");
  EXPECT_EQ(d->mfgName, u"Vantrel Software Kft.");
  EXPECT_EQ(d->provider, u"Vantrel Software Kft.");
  EXPECT_EQ(d->oemUrl, std::u16string(kDriverOemUrl));
  EXPECT_TRUE(d->dependentFiles.empty() && d->monitorName.empty() && d->defaultDataType.empty() &&
              d->previousNames.empty() && d->hardwareId.empty());
  EXPECT_EQ(d->driverDate, 0u);
  EXPECT_EQ(d->driverVersion, 0u);
  for (const auto& f : kFiles) {
    EXPECT_EQ(sim::FindFile(m, kInstalled + f)->data, sim::FindFile(m, kSetup + f)->data);
    EXPECT_EQ(sim::FindFile(m, kDrivers + f), nullptr) << sim::ToUtf8(f);  // staged copy gone
  }
}

TEST_F(DriverTest, InstallFailures) {
  const struct {
    const char* name;
    std::function<void(sim::Machine&)> arrange;
    std::u16string lines;  // after the header
    bool registered;
    std::vector<std::u16string> stagedLeft;
  } cases[] = {
      {"help file missing",
       [](sim::Machine& m) { sim::RemoveFile(m, kSetup + u"kvxhelp.chm"); },
       CopyLines(u"kvxdrv64.dll") + CopyLines(u"kvxui64.dll") +
           CopyLines(u"kvxhelp.chm", SourceMissing(u"kvxhelp.chm")) + u"  OK :)\r\n",
       true,
       {}},
      {"UI module missing",
       [](sim::Machine& m) { sim::RemoveFile(m, kSetup + u"kvxui64.dll"); },
       CopyLines(u"kvxdrv64.dll") + CopyLines(u"kvxui64.dll", SourceMissing(u"kvxui64.dll")),
       false,
       {}},  // the driver module staged before is not left behind
      {"driver module missing",
       [](sim::Machine& m) { sim::RemoveFile(m, kSetup + u"kvxdrv64.dll"); },
       CopyLines(u"kvxdrv64.dll", SourceMissing(u"kvxdrv64.dll")),
       false,
       {}},
      {"registration refused",
       [](sim::Machine& m) { sim::AddFault(m, "AddPrinterDriverExW", ERROR_ACCESS_DENIED); },
       CopyLines(u"kvxdrv64.dll") + CopyLines(u"kvxui64.dll") + CopyLines(u"kvxhelp.chm") +
           u"  Error(13): Can`t install a printer driver 'Orvalstone printer' - (Access is "
           u"denied.)\r\n",
       false,
       {}},
      {"spooler not running",
       [](sim::Machine& m) { m.services.services[0].state = 1; },
       CopyLines(u"kvxdrv64.dll") + CopyLines(u"kvxui64.dll") + CopyLines(u"kvxhelp.chm") +
           u"  Error(13): Can`t install a printer driver 'Orvalstone printer' - (The RPC "
           u"server is unavailable.)\r\n",
       false,
       {}},
  };
  for (const auto& c : cases) {
    Renew();
    c.arrange(m);
    AddPrinterDriver(context);
    EXPECT_EQ(Log(), u">Add Printer Driver\r\n" + c.lines) << c.name;
    EXPECT_EQ(context.ErrorCount, 1) << c.name;
    EXPECT_EQ(context.Indent, 0) << c.name;
    EXPECT_EQ(context.PendingDeletes, nullptr) << c.name;
    const sim::SimDriver* d = sim::FindDriver(m, u"Orvalstone printer");
    EXPECT_EQ(d != nullptr, c.registered) << c.name;
    if (d) {
      EXPECT_EQ(d->helpFile, u"") << c.name;
    }
    for (const auto& f : kFiles) {
      const bool left =
          std::find(c.stagedLeft.begin(), c.stagedLeft.end(), f) != c.stagedLeft.end();
      EXPECT_EQ(sim::FindFile(m, kDrivers + f) != nullptr, left) << c.name << sim::ToUtf8(f);
    }
  }
}

TEST_F(DriverTest, StagedCopiesThatWillNotGoWaitForTheRestart) {
  for (const auto& f : kFiles) {
    sim::PutFile(m, kDrivers + f, {'o', 'l', 'd'});
    sim::LockFile(m, kDrivers + f, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  }
  AddPrinterDriver(context);
  EXPECT_EQ(context.ErrorCount, 0);
  EXPECT_NE(sim::FindDriver(m, u"Orvalstone printer"), nullptr);
  EXPECT_EQ(Listed(), (unit::Texts{kDrivers + u"kvxhelp.chm", kDrivers + u"kvxui64.dll",
                                   kDrivers + u"kvxdrv64.dll"}));
  EXPECT_EQ(Log().substr(Log().size() - 9), u"  OK :)\r\n");  // nothing said about them

  EXPECT_EQ(ScheduleRebootDeletes(context), 3u);
  sim::Restart(m);
  for (const auto& f : kFiles) {
    EXPECT_EQ(sim::FindFile(m, kDrivers + f), nullptr) << sim::ToUtf8(f);
    EXPECT_NE(sim::FindFile(m, kInstalled + f), nullptr) << sim::ToUtf8(f);
  }
}

// Removal below reads the list of a successful enumeration.
TEST_F(DriverTest, EnumerationFailuresLeaveAnEmptyList) {
  const struct {
    const char* name;
    std::function<void(sim::Machine&)> arrange;
    DWORD lastError;
  } cases[] = {
      {"spooler stopped", [](sim::Machine& m) { m.services.services[0].state = 1; },
       RPC_S_SERVER_UNAVAILABLE},
      {"no memory", [](sim::Machine& m) { sim::AddFault(m, "GlobalAlloc", 8); },
       DWORD(E_OUTOFMEMORY)},
      {"unknown environment", [](sim::Machine&) {}, ERROR_INVALID_ENVIRONMENT},
      {"no drivers", [](sim::Machine& m) { m.spooler.drivers.clear(); }, 0},
  };
  for (const auto& c : cases) {
    Renew();
    c.arrange(m);
    list.Count = 99;
    SetLastError(0);
    EnumerateDrivers(list,
                     c.lastError == ERROR_INVALID_ENVIRONMENT ? u"Windows 3.1" : u"Windows x64");
    EXPECT_EQ(list.Level, 6u) << c.name;
    EXPECT_EQ(list.Count, 0u) << c.name;
    EXPECT_FALSE(list.Buffer) << c.name;
    if (c.lastError) {
      EXPECT_EQ(GetLastError(), c.lastError) << c.name;
    }
  }
}

TEST_F(DriverTest, FindReadsEveryLevelsLayout) {
  PutOtherDriver(u"orvalstone printer");
  PutOtherDriver(u"Orvalstone printer ");
  PutDriver(u"Orvalstone printer");
  for (DWORD level = 1; level <= 6; ++level) {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, level, nullptr, 0, &needed, &count);
    DriverList byLevel;
    byLevel.Buffer.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, needed)));
    ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, level, byLevel.Buffer.get(), needed, &needed,
                                    &count));
    byLevel.Level = level;
    byLevel.Count = count;
    EXPECT_EQ(FindPackageDriver(byLevel), 3) << level;  // after the two look-alikes and PDF
    byLevel.Count = 3;
    EXPECT_EQ(FindPackageDriver(byLevel), -1) << level;
  }
  DriverList unknown;
  unknown.Buffer.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, 64)));
  unknown.Level = 7;
  unknown.Count = 1;
  EXPECT_EQ(FindPackageDriver(unknown), -1);
  EXPECT_EQ(FindPackageDriver(DriverList{}), -1);
}

TEST_F(DriverTest, Removal) {
  const std::u16string listed =
      u"  ------------ 3 existing drivers-----------\r\n"
      u"  1. Generic / Text Only\r\n"
      u"  2. Microsoft Print To PDF\r\n"
      u"  3. Orvalstone printer\r\n"
      u"  -------------------------------------------\r\n";
  const std::u16string found = listed + u"  Driver is found. Index=3\r\n";
  const std::u16string restart =
      u"  Can't delete driver. Trying to restart spooler\r\n  >Restart Spooler\r\n";
  const std::u16string none = u"  BTW, there is no printer drivers on this system.\r\n";
  const std::u16string notFound = u"  No Orvalstone driver was found\r\n";
  const struct {
    const char* name;
    std::function<void(DriverTest&)> arrange;
    std::u16string lines;  // after the header
    bool gone;             // no driver of that name (in any case) afterwards
    uint32_t restarts;
  } cases[] = {
      {"removed at once", [](DriverTest&) {}, found + u"  OK :)\r\n", true, 0},
      {"refused once",
       [](DriverTest& t) { sim::AddFault(t.m, "DeletePrinterDriverExW", ERROR_ACCESS_DENIED); },
       found + restart + u"  OK :)\r\n", true, 1},
      {"in use by a printer",
       [](DriverTest& t) { t.AddQueue(u"Orvalstone", u"FILE:", u"Orvalstone printer"); },
       found + restart +
           u"  Error(14): Can`t remove the printer-driver 'Orvalstone printer' - (The specified "
           u"printer driver is currently in use.)\r\n",
       false, 1},
      {"spooler will not come back",
       [](DriverTest& t) {
         sim::AddFault(t.m, "DeletePrinterDriverExW", ERROR_ACCESS_DENIED);
         t.Spooler().disabled = true;
       },
       found + restart +
           u"  Error(4): Can't start the spooler - (The service cannot be started, either because "
           u"it is disabled or because it has no enabled devices associated with it.)\r\n"
           u"  Error(14): Can`t remove the printer-driver 'Orvalstone printer' - (The RPC server "
           u"is unavailable.)\r\n",
       false, 1},
      {"no drivers at all",
       [](DriverTest& t) {
         t.m.spooler.drivers.clear();
         sim::RemoveFile(t.m, kInstalled + u"kvxdrv64.dll");
       },
       none + notFound, true, 0},
      {"enumeration failed", [](DriverTest& t) { sim::AddFault(t.m, "EnumPrinterDriversW", 5); },
       none + notFound, false, 0},
      {"only a look-alike",
       [](DriverTest& t) { t.m.spooler.drivers.back().name = u"Orvalstone Printer"; },
       listed.substr(0, listed.find(u"3. ")) + u"3. Orvalstone Printer\r\n" +
           listed.substr(listed.find(u"  ----", 10)) + notFound,
       false, 0},
  };
  for (const auto& c : cases) {
    Renew();
    PutOtherDriver(u"Generic / Text Only");
    PutDriver(u"Orvalstone printer");
    c.arrange(*this);
    EnumerateDrivers(list, context.Environment);
    const uint32_t stops = Spooler().stops;
    DeletePrinterDriver(context, list);
    EXPECT_EQ(Log(), u">DeletePrinterDriver for Windows x64\r\n" + c.lines) << c.name;
    EXPECT_EQ(context.Indent, 0) << c.name;
    EXPECT_EQ(Spooler().stops - stops, c.restarts) << c.name;
    EXPECT_EQ(sim::FindDriver(m, u"Orvalstone printer") == nullptr, c.gone) << c.name;
    // Its files go with it, and only its files.
    EXPECT_EQ(sim::FindFile(m, kInstalled + u"kvxdrv64.dll") == nullptr, c.gone) << c.name;
    EXPECT_NE(sim::FindFile(m, kInstalled + u"UNIDRV.DLL"), nullptr) << c.name;
    ReleaseDriverList(list);
  }
}

}  // namespace
