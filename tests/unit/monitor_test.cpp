#include "spooler/monitor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "context/install_context.h"
#include "sim/machine.h"

namespace {

using Texts = std::vector<std::u16string>;
const std::u16string kSystem = u"C:\\Windows\\system32\\";
const std::u16string kModule = kSystem + u"kvxmon64.dll";

std::u16string U(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() { sim::InitDefaultMachine(m); }
  // A new machine for the next row of a table, the previous row's context released first.
  void Fresh() {
    TearDownInstallContext(context);
    context.ErrorCount = context.Indent = 0;
    sim::InitDefaultMachine(m);
  }
  // The context as a run builds it (snapshot included), with the log started afresh.
  void Build() {
    BuildInstallContext(context);
    Assign(context.LogText, nullptr);
  }
  std::u16string Log() const {
    return std::u16string(Chars(context.LogText), size_t(Count(context.LogText)));
  }
  // The module in the system directory (without a build: no version resource), and the
  // monitor registered with it. The file version differs: only the product version counts.
  void PutModule(std::optional<uint16_t> build, bool registered) {
    std::optional<sim::VersionInfo> v;
    if (build) v = sim::VersionInfo{{9, 9, 9, 1}, {1, 2, 3, *build}};
    sim::PutFile(m, kModule, std::vector<uint8_t>(512, 'm'), v);
    if (registered) {
      m.spooler.monitors.push_back(
          {u"Orvalstone:", u"Windows x64", u"kvxmon64.dll", {u"Orvalstone:"}});
    }
  }
  void AddQueue(const std::u16string& name, const std::u16string& port) {
    sim::SimPrinter p;
    p.name = name;
    p.portName = port;
    p.driverName = u"Microsoft Print To PDF";
    sim::AddSimPrinter(m, p);
  }
  Texts SnapshotPorts() const {
    Texts ports;
    const PRINTER_INFO_2W* r = PrinterRecords(context.PrinterSnapshot);
    for (DWORD i = 1; i < context.PrinterSnapshot.Count; ++i) ports.push_back(r[i].pPortName);
    return ports;
  }
  Texts SimPorts() const {
    Texts ports;
    for (size_t i = 1; i < m.spooler.printers.size(); ++i)
      ports.push_back(m.spooler.printers[i].portName);
    return ports;
  }
  Texts Redirected() const {
    Texts names;
    for (PRINTER_INFO_2W** r = context.RedirectedPrinters; r && *r; ++r)
      names.push_back((*r)->pPrinterName);
    return names;
  }
  void EnumerateAndDelete() {
    MonitorList list;
    EnumerateMonitors(context, list);
    DeleteMonitor(context, list);
    ReleaseMonitorList(list);
  }
  sim::Machine m;
  sim::MachineScope scope{m};
  InstallContext context;
};

TEST_F(MonitorTest, LookupMatchesTheWholeNameExactlyAtEitherLevel) {
  const struct {
    Texts names;
    DWORD level;
    LONG index;
  } cases[] = {
      {{u"Orvalstone:", u"Orvalstone:x", u"orvalstone:"}, 2, 0},
      {{u"Orvalstone:x", u"orvalstone:"}, 2, -1},
      {{u"A", u"B", u"Orvalstone:", u"C", u"D"}, 2, 2},
      {{u"A", u"B", u"Orvalstone:", u"C", u"D"}, 1, 2},
      {{u"Orvalstone:"}, 3, -1},
  };
  for (const auto& c : cases) {
    m.spooler.monitors.clear();
    for (const auto& n : c.names) m.spooler.monitors.push_back({n, u"Windows x64", u"x.dll", {}});
    const DWORD level = c.level == 1 ? 1 : 2;
    DWORD needed = 0, count = 0;
    EnumMonitorsW(nullptr, level, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    EnumMonitorsW(nullptr, level, buffer.data(), needed, &needed, &count);
    EXPECT_EQ(FindPackageMonitor({buffer.data(), c.level, count}), c.index) << c.names.size();
  }
  WCHAR a[] = u"Local Port", b[] = u"Orvalstone:";
  MONITOR_INFO_2W records[] = {{a, a, a}, {nullptr, a, a}, {b, a, a}};
  context.Indent = 1;
  LogMonitorList(context, {reinterpret_cast<LPBYTE>(records), 2, 3});
  EXPECT_EQ(Log(),
            u"  ------- 3 existing monitors ----------\r\n  1. Local Port\r\n  2. ***EMPTY***\r\n"
            u"  3. Orvalstone:\r\n  ---------------------------------------\r\n");
}

TEST_F(MonitorTest, EnumerationFailuresLeaveAnEmptyListAndAPlainLine) {
  const struct {
    const char* api;
    DWORD error;
    std::u16string line;
  } cases[] = {
      {nullptr, 0, u"1. EnumMonitors returns true\r\n"},  // nothing to list
      // The system text keeps its own line break.
      {"EnumMonitorsW", ERROR_ACCESS_DENIED,
       u"2. EnumMonitors  failed with code: Access is denied.\r\n\r\n"},
      {"EnumMonitorsW", 0x2000BEEF,
       u"2. EnumMonitors  failed with code: No Error or no description\r\n"},
      {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY,
       u"3. EnumMonitors - can't allocate memory for buffer\r\n"},
  };
  for (const auto& c : cases) {
    Fresh();
    if (!c.api) m.spooler.monitors.clear();
    if (c.api) sim::AddFault(m, c.api, c.error);
    MonitorList list{nullptr, 1, 7};
    EnumerateMonitors(context, list);
    EXPECT_TRUE(list.Buffer == nullptr && list.Level == 2 && list.Count == 0);
    EXPECT_EQ(Log(), c.line);
    EXPECT_EQ(context.ErrorCount, 0);
  }
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
}

TEST_F(MonitorTest, VersionCheckKeepsACompatibleMonitorOrRemovesIt) {
  const std::u16string found =
      u"  ------- 2 existing monitors ----------\r\n  1. Local Port\r\n  2. Orvalstone:\r\n"
      u"  ---------------------------------------\r\n  Port monitor is found. Index=2\r\n"
      u"  Trying to get monitor filename from MONITOR_INFO_2\r\n";
  const std::u16string notFound =
      u"  ------- 1 existing monitors ----------\r\n  1. Local Port\r\n"
      u"  ---------------------------------------\r\n  No Orvalstone port monitor was found.\r\n"
      u"  Computing monitor filename\r\n";
  const struct {
    std::optional<uint16_t> build;
    bool found;
    BYTE installMonitor, copyMonitor;
  } cases[] = {
      {2072, true, 1, 1},  {2073, true, 0, 1},          {2300, true, 0, 1},
      {2301, true, 1, 1},  {65535, true, 1, 1},         {std::nullopt, true, 1, 1},
      {2072, false, 1, 1}, {2073, false, 1, 0},         {2300, false, 1, 0},
      {2301, false, 1, 1}, {std::nullopt, false, 1, 1},
  };
  for (const auto& c : cases) {
    Fresh();
    PutModule(c.build, c.found);
    Build();
    context.CheckMonitorVersion = 1;
    EnumerateAndDelete();

    const bool compatible = c.build && *c.build >= 2073 && *c.build <= 2300;
    const std::u16string v = c.build ? U(std::to_string(*c.build)) : u"";
    std::u16string expected = u">DeleteMonitor\r\n" + (c.found ? found : notFound) +
                              u"  Auto calculated monitor file name: " + kModule + u"\r\n";
    if (compatible) {
      expected += u"  Version (" + v + u") is compatible, proceed without uninstall\r\n" +
                  u"  InstallMonitor == " + U(std::to_string(c.installMonitor)) +
                  u", CopyMonitor == " + U(std::to_string(c.copyMonitor)) + u"\r\n";
    } else {
      expected += c.build ? u"  Version (" + v + u") is not supported, proceed with reinstall\r\n"
                          : u"  Version is unknown, proceed with reinstall\r\n";
      expected +=
          c.found
              ? u"  Monitor was removed :)\r\n"
              : u"  Can't delete monitor and monitor was not found. So everything should be ok\r\n";
    }
    const std::string row = sim::ToUtf8(v) + (c.found ? " found" : " not found");
    EXPECT_EQ(Log(), expected) << row;
    EXPECT_EQ(context.InstallMonitor, c.installMonitor) << row;
    EXPECT_EQ(context.CopyMonitor, c.copyMonitor) << row;
    const bool removed = c.found && !compatible;
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, c.found && !removed) << row;
    // A removed monitor's module stays loaded by the running spooler: it waits in the list.
    EXPECT_NE(sim::FindFile(m, kModule), nullptr) << row;
    EXPECT_EQ(context.ErrorCount, 0) << row;
    if (removed) {
      ASSERT_NE(context.PendingDeletes, nullptr) << row;
      EXPECT_EQ(std::u16string(context.PendingDeletes->Path), kModule) << row;
    } else {
      EXPECT_EQ(context.PendingDeletes, nullptr) << row;
    }
  }
}

TEST_F(MonitorTest, QueuesOnThePackagePortAreParkedOnFileAndReturned) {
  PutModule(2072, true);
  AddQueue(u"P1", u"Orvalstone:");
  AddQueue(u"P2", u"Orvalstone:,LPT1:");
  AddQueue(u"Other", u"LPT2:");
  AddQueue(u"P3", u"LPT1:,Orvalstone:");
  AddQueue(u"P4", u"file:,Orvalstone:");
  AddQueue(u"Gone", u"Orvalstone:");
  Build();
  m.spooler.printers.pop_back();  // deleted since the snapshot was taken
  const std::u16string updates =
      u"  SetPrinter(P1) - ok\r\n  SetPrinter(P2) - ok\r\n  SetPrinter(P3) - ok\r\n"
      u"  SetPrinter(P4) - ok\r\n  Can't open printer Gone\r\n";

  EnumerateAndDelete();
  EXPECT_NE(
      Log().find(u"  There is no check for monitor version\r\n  Can't delete monitor from the "
                 u"first try\r\n" +
                 updates + u"  Monitor was removed :)\r\n"),
      std::u16string::npos);
  EXPECT_EQ(Redirected(), (Texts{u"P1", u"P2", u"P3", u"P4", u"Gone"}));
  EXPECT_EQ(SnapshotPorts(),
            (Texts{u"file:", u"file:,LPT1:", u"LPT2:", u"LPT1:,file:", u"file:,file:", u"file:"}));
  EXPECT_EQ(SimPorts(),
            (Texts{u"FILE:", u"FILE:,LPT1:", u"LPT2:", u"LPT1:,FILE:", u"FILE:,FILE:"}));
  EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_NE(sim::FindFile(m, kModule), nullptr);  // still loaded by the spooler
  EXPECT_EQ(m.services.services[0].stops, 0u);   // the second attempt did it

  // The module the spooler still holds is replaced with the spooler stopped.
  Assign(context.LogText, nullptr);
  AddMonitor(context);
  EXPECT_EQ(Log(), u">AddMonitor\r\n  Copy monitor file\r\n  >CopyFile kvxmon64.dll to " + kSystem +
                       u" [0])\r\n    Copy Failed :(\r\n  >Restart Spooler\r\n  >CopyFile "
                       u"kvxmon64.dll to " +
                       kSystem + u" [1])\r\n    Copy Succeeded :)\r\n  AddMonitor - OK :)\r\n" +
                       updates);
  EXPECT_EQ(m.services.services[0].stops, 1u);
  // The first "file:" of a text is the one given back: the same ports again.
  EXPECT_EQ(SnapshotPorts(), (Texts{u"Orvalstone:", u"Orvalstone:,LPT1:", u"LPT2:",
                                    u"LPT1:,Orvalstone:", u"Orvalstone:,file:", u"Orvalstone:"}));
  EXPECT_EQ(SimPorts(), (Texts{u"Orvalstone:", u"Orvalstone:,LPT1:", u"LPT2:", u"LPT1:,Orvalstone:",
                               u"Orvalstone:,FILE:"}));
  const sim::SimMonitor* mon = sim::FindMonitor(m, u"Orvalstone:");
  ASSERT_NE(mon, nullptr);
  EXPECT_EQ(mon->dllName, u"kvxmon64.dll");
  EXPECT_EQ(GetModuleVersion(kModule.c_str()), 2300u);
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(MonitorTest, RefusedRemovalIsRetriedAfterASpoolerRestart) {
  const struct {
    bool queueInSnapshot;
    std::u16string updates;
  } cases[] = {{true, u"  SetPrinter(P1) - failed\r\n"}, {false, u""}};
  for (const auto& c : cases) {
    Fresh();
    PutModule(2072, true);
    m.spooler.printers.clear();
    if (c.queueInSnapshot) AddQueue(u"P1", u"Orvalstone:");
    Build();
    if (!c.queueInSnapshot) AddQueue(u"P1", u"Orvalstone:");
    sim::AddFault(m, "SetPrinterW", ERROR_ACCESS_DENIED, -1);
    EnumerateAndDelete();
    EXPECT_NE(Log().find(u"  Can't delete monitor from the first try\r\n" + c.updates +
                         u"  >Restart Spooler\r\n  Error(12): Can`t remove the port monitor "
                         u"'Orvalstone:' - (The specified print monitor is currently in use.)\r\n"),
              std::u16string::npos)
        << sim::ToUtf8(Log());
    EXPECT_EQ(Redirected(), c.queueInSnapshot ? Texts{u"P1"} : Texts{});
    EXPECT_EQ(context.RedirectedPrinters == nullptr, !c.queueInSnapshot);
    EXPECT_EQ(context.ErrorCount, 1);
    EXPECT_EQ(m.services.services[0].stops, 1u);
    EXPECT_TRUE(sim::SpoolerRunning(m));
    EXPECT_NE(sim::FindFile(m, kModule), nullptr);
  }
}

TEST_F(MonitorTest, ModuleThatCannotGoNowOrIsNotNamedIsNeverDeletedByMistake) {
  WCHAR name[] = u"Orvalstone:", env[] = u"Windows x64", module[] = u"kvxmon64.dll", empty[] = u"";
  const std::u16string unnamed = u"  Monitor file name is unknown, no file deleted\r\n";
  const struct {
    LPWSTR dllName;  // of the listed record
    std::u16string path, line;
  } cases[] = {{module, kModule, u""}, {nullptr, kSystem, unnamed}, {empty, kSystem, unnamed}};
  for (const auto& c : cases) {
    Fresh();
    PutModule(2072, true);
    Build();
    sim::AddFault(m, "DeleteFileW", ERROR_SHARING_VIOLATION);
    MONITOR_INFO_2W record = {name, env, c.dllName};
    DeleteMonitor(context, {reinterpret_cast<LPBYTE>(&record), 2, 1});
    EXPECT_NE(Log().find(u"  Auto calculated monitor file name: " + c.path +
                         u"\r\n  There is no check for monitor version\r\n" + c.line +
                         u"  Monitor was removed :)\r\n"),
              std::u16string::npos)
        << sim::ToUtf8(Log());
    // Only a named module goes to the deletions retried later; never the directory.
    ASSERT_EQ(context.PendingDeletes != nullptr, c.line.empty());
    if (c.line.empty()) {
      EXPECT_EQ(context.PendingDeletes->Path, kModule);
    }
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  }
}

TEST_F(MonitorTest, RegistrationIsTriedFiveTimesFiftyMillisecondsApart) {
  const struct {
    int failures;
    std::u16string end, port;  // the parked queue's port afterwards
    uint64_t sleptMs;
  } cases[] = {
      {2, u"  AddMonitor - OK :)\r\n  SetPrinter(P1) - ok\r\n", u"Orvalstone:", 100},
      {5, u"  Error(11): Can`t install a local port monitor'Orvalstone:' - (Access is denied.)\r\n",
       u"FILE:", 200},
  };
  for (const auto& c : cases) {
    Fresh();
    PutModule(2072, true);
    AddQueue(u"P1", u"Orvalstone:");
    Build();
    EnumerateAndDelete();
    ASSERT_EQ(Redirected(), Texts{u"P1"});
    PutModule(2300, false);
    Assign(context.LogText, nullptr);
    context.CopyMonitor = 0;
    sim::AddFault(m, "AddMonitorW", ERROR_ACCESS_DENIED, c.failures);
    const uint64_t slept = m.sleptMs;
    AddMonitor(context);
    std::u16string expected = u">AddMonitor\r\n  Skip copy monitor file\r\n";
    for (int i = 0; i < c.failures; ++i)
      expected += u"  AddMonitor - failed. Trying to wait and install again\r\n";
    EXPECT_EQ(Log(), expected + c.end);
    EXPECT_EQ(m.sleptMs - slept, c.sleptMs);
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, c.failures < 5);
    EXPECT_EQ(sim::FindPrinter(m, u"P1")->portName, c.port);
    EXPECT_EQ(context.ErrorCount, c.failures < 5 ? 0 : 1);
  }
}

TEST_F(MonitorTest, LockedModuleIsCopiedAgainWithTheSpoolerStopped) {
  const std::u16string copy = u"  >CopyFile kvxmon64.dll to " + kSystem;
  const struct {
    bool heldByOtherProgram;
    std::u16string secondCopy;
    DWORD version;
  } cases[] = {
      {false, u"    Copy Succeeded :)\r\n", 2300},
      {true,
       u"    Error(9): Cant't open destination file: " + kModule +
           u" - (The process cannot access the file "
           u"because it is being used by another process.)\r\n    Copy Failed :(\r\n",
       2072},
  };
  for (const auto& c : cases) {
    Fresh();
    PutModule(2072, false);
    // An older registration of the same module keeps it loaded while the spooler runs.
    m.spooler.monitors.push_back({u"Legacy:", u"Windows x64", u"kvxmon64.dll", {u"Legacy:"}});
    if (c.heldByOtherProgram) m.fs.locks.push_back({kModule, 4242, GENERIC_READ, 0, false});
    Build();
    AddMonitor(context);
    EXPECT_EQ(Log(), u">AddMonitor\r\n  Copy monitor file\r\n" + copy +
                         u" [0])\r\n    Copy Failed :(\r\n"
                         u"  >Restart Spooler\r\n" +
                         copy + u" [1])\r\n" + c.secondCopy + u"  AddMonitor - OK :)\r\n");
    EXPECT_EQ(m.services.services[0].stops, 1u);
    EXPECT_TRUE(sim::SpoolerRunning(m));
    EXPECT_EQ(GetModuleVersion(kModule.c_str()), c.version);
    EXPECT_NE(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  }
}

}  // namespace
