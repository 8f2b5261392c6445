#include "spooler/driver.h"

#include <functional>

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

const std::u16string kSetup = u"C:\\Program Files\\Orvalstone\\Setup\\";
const std::u16string kDrivers = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const std::u16string kInstalled = kDrivers + u"3\\";
const std::u16string kFiles[] = {u"kvxdrv64.dll", u"kvxui64.dll", u"kvxhelp.chm"};

class DriverTest : public unit::MachineTest {
 public:
  // Registers a driver as the spooler has it after an earlier install.
  void PutDriver(const std::u16string& name, const std::u16string& module = u"kvxdrv64.dll") {
    sim::SimDriver d;
    d.name = name;
    d.driverPath = d.dataFile = kInstalled + module;
    sim::PutFile(m, d.driverPath, {'M', 'Z'});
    m.spooler.drivers.insert(m.spooler.drivers.begin(), d);
  }
  DriverList list;
};

TEST_F(DriverTest, InstallStagesRegistersAndCleansUp) {
  using Arrange = std::function<void(sim::Machine&)>;
  const auto remove = [](const std::u16string& f) {
    return [f](sim::Machine& m) { sim::RemoveFile(m, kSetup + f); };
  };
  const struct {
    const char* name;
    Arrange arrange;
    bool registered;
  } cases[] = {
      {"whole", [](sim::Machine&) {}, true},
      {"help file missing", remove(kFiles[2]), true},  // the driver works without it
      {"UI module missing", remove(kFiles[1]), false},
      {"driver module missing", remove(kFiles[0]), false},
      {"registration refused",
       [](sim::Machine& m) { sim::AddFault(m, "AddPrinterDriverExW", ERROR_ACCESS_DENIED); },
       false},
  };
  for (const auto& c : cases) {
    Fresh();
    // A newer leftover in the spooler's directory is replaced all the same.
    sim::PutFile(m, kInstalled + kFiles[0], {'M'}, sim::VersionInfo{{9, 9, 9, 9}, {9, 9, 9, 9}});
    c.arrange(m);
    Build();
    AddPrinterDriver(context);
    EXPECT_EQ(Log(), unit::ExpectedLog("driver", c.name));
    EXPECT_EQ(context.ErrorCount, c.name == std::string("whole") ? 0 : 1) << c.name;
    EXPECT_EQ(PendingPaths(), unit::Texts{}) << c.name;
    // No staged copy is left behind, whatever became of the registration.
    for (const auto& f : kFiles) EXPECT_EQ(sim::FindFile(m, kDrivers + f), nullptr) << c.name;
    const sim::SimFile* source = sim::FindFile(m, kSetup + kFiles[0]);
    EXPECT_EQ(source && sim::FindFile(m, kInstalled + kFiles[0])->data == source->data,
              c.registered);
    const sim::SimDriver* d = sim::FindDriver(m, u"Orvalstone printer");
    ASSERT_EQ(d != nullptr, c.registered) << c.name;
    if (!d) continue;
    EXPECT_EQ(d->version, 3u);
    EXPECT_EQ(d->environment, u"Windows x64");
    EXPECT_EQ(d->dataFile, kInstalled + u"kvxdrv64.dll");
    EXPECT_EQ(d->configFile, kInstalled + u"kvxui64.dll");
    EXPECT_EQ(d->helpFile, context.ErrorCount == 0 ? kInstalled + kFiles[2] : u"");
    EXPECT_EQ(d->mfgName + d->provider, u"Vantrel Software Kft.Vantrel Software Kft.");
    EXPECT_EQ(d->oemUrl, std::u16string(kDriverOemUrl));
    EXPECT_TRUE(d->dependentFiles.empty() && d->monitorName.empty() && d->defaultDataType.empty());
  }
}

TEST_F(DriverTest, ListingAndLookupAtEveryLevel) {
  const struct {
    const char* fault;
    const char16_t* environment;
    DWORD lastError;
  } failures[] = {
      {"EnumPrinterDriversW", u"Windows x64", ERROR_ACCESS_DENIED},
      {"GlobalAlloc", u"Windows x64", DWORD(E_OUTOFMEMORY)},
      {nullptr, u"Windows 3.1", ERROR_INVALID_ENVIRONMENT},
  };
  for (const auto& c : failures) {
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);
    list.Count = 99;
    EXPECT_FALSE(EnumerateDrivers(list, c.environment));
    EXPECT_TRUE(list.Level == 6 && list.Count == 0 && !list.Buffer);
    EXPECT_EQ(GetLastError(), c.lastError);
  }
  m.spooler.drivers.clear();
  EXPECT_TRUE(EnumerateDrivers(list, u"Windows x64"));
  EXPECT_TRUE(list.Count == 0 && !list.Buffer);
  EXPECT_EQ(FindPackageDriver(list), -1);

  PutDriver(u"Orvalstone printer");
  PutDriver(u"Orvalstone printer ");
  PutDriver(u"orvalstone printer");
  for (DWORD level = 1; level <= 7; ++level) {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, level == 7 ? 1 : level, nullptr, 0, &needed, &count);
    DriverList byLevel;
    byLevel.Buffer.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, needed)));
    EnumPrinterDriversW(nullptr, nullptr, level == 7 ? 1 : level, byLevel.Buffer.get(), needed,
                        &needed, &count);
    byLevel.Level = level;
    byLevel.Count = count;
    EXPECT_EQ(FindPackageDriver(byLevel), level == 7 ? -1 : 2) << level;  // after look-alikes
    byLevel.Count = 2;
    EXPECT_EQ(FindPackageDriver(byLevel), -1) << level;
  }
}

TEST_F(DriverTest, RemovalListsTheDriversAndRestartsTheSpoolerOnce) {
  const struct {
    const char* name;
    std::function<void(DriverTest&)> arrange;
  } cases[] = {
      {"in use by a printer",
       [](DriverTest& t) { t.AddQueue(u"Orvalstone", u"FILE:", u"Orvalstone printer"); }},
      {"spooler will not come back",
       [](DriverTest& t) {
         sim::AddFault(t.m, "DeletePrinterDriverExW", ERROR_ACCESS_DENIED);
         t.Spooler().disabled = true;
       }},
  };
  for (const auto& c : cases) {
    Fresh();
    m.spooler.drivers.clear();
    PutDriver(u"Orvalstone printer");
    PutDriver(u"Generic / Text Only", u"UNIDRV.DLL");
    c.arrange(*this);
    Build();
    EnumerateDrivers(list, context.Environment);
    DeletePrinterDriver(context, list);
    EXPECT_EQ(Log(), unit::ExpectedLog("driver", c.name));
    EXPECT_EQ(Spooler().stops, 1u) << c.name;
    EXPECT_NE(sim::FindDriver(m, u"Orvalstone printer"), nullptr) << c.name;
    EXPECT_NE(sim::FindFile(m, kInstalled + u"UNIDRV.DLL"), nullptr) << c.name;
    ReleaseDriverList(list);
  }
}

}  // namespace
