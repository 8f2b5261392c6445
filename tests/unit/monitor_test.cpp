#include "spooler/monitor.h"

#include <cstring>

#include <optional>

#include "machine_fixture.h"

namespace {

// A list holding a global-heap copy of the given records, as an enumeration leaves one.
MonitorList ListOf(const void* records, size_t bytes, DWORD level, DWORD count) {
  MonitorList list;
  list.Buffer.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, bytes)));
  std::memcpy(list.Buffer.get(), records, bytes);
  list.Level = level;
  list.Count = count;
  return list;
}

using unit::Texts;
const std::u16string kSystem = u"C:\\Windows\\system32\\";
const std::u16string kModule = kSystem + u"kvxmon64.dll";

class MonitorTest : public unit::MachineTest {
 protected:
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
    for (PRINTER_INFO_2W** r = context.RedirectedPrinters.get(); r && *r; ++r)
      names.push_back((*r)->pPrinterName);
    return names;
  }
  void EnumerateAndDelete() {
    MonitorList list;
    EnumerateMonitors(context, list);
    DeleteMonitor(context, list);
    ReleaseMonitorList(list);
  }
  bool Logged(const std::u16string& lines) const {
    return Log().find(lines) != std::u16string::npos;
  }
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
    EXPECT_EQ(FindPackageMonitor(ListOf(buffer.data(), buffer.size(), c.level, count)), c.index)
        << c.names.size();
  }
  // A record without a name is listed, not skipped.
  WCHAR a[] = u"Local Port", b[] = u"Orvalstone:";
  MONITOR_INFO_2W records[] = {{a, a, a}, {nullptr, a, a}, {b, a, a}};
  LogMonitorList(context, ListOf(records, sizeof records, 2, 3));
  EXPECT_TRUE(Logged(u"1. Local Port\r\n2. ***EMPTY***\r\n3. Orvalstone:\r\n"));
}

TEST_F(MonitorTest, EnumerationFailuresLeaveAnEmptyListAndAPlainLine) {
  const struct {
    const char* api;
    DWORD error;
    std::u16string line;
  } cases[] = {
      {nullptr, 0, u"1. EnumMonitors returns true\r\n"},  // nothing to list
      // The system text without its line break: no empty, unindented line follows.
      {"EnumMonitorsW", ERROR_ACCESS_DENIED,
       u"2. EnumMonitors  failed with code: Access is denied.\r\n"},
      {"EnumMonitorsW", 0x2000BEEF,
       u"2. EnumMonitors  failed with code: No Error or no description\r\n"},
      {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY,
       u"3. EnumMonitors - can't allocate memory for buffer\r\n"},
  };
  for (const auto& c : cases) {
    Fresh();
    if (c.api)
      sim::AddFault(m, c.api, c.error);
    else
      m.spooler.monitors.clear();
    MonitorList list;
    list.Level = 1;
    list.Count = 7;
    EnumerateMonitors(context, list);
    EXPECT_TRUE(!list.Buffer && list.Level == 2 && list.Count == 0);
    EXPECT_EQ(Log(), c.line);
  }
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
}

TEST_F(MonitorTest, VersionCheckKeepsACompatibleMonitorOrRemovesIt) {
  const struct {
    std::optional<uint16_t> build;
    bool found;
    BYTE installMonitor, copyMonitor;
  } cases[] = {
      {2072, true, 1, 1},  {2073, true, 0, 1},          {2300, true, 0, 1},
      {2301, true, 1, 1},  {std::nullopt, true, 1, 1},  {2072, false, 1, 1},
      {2073, false, 1, 0}, {std::nullopt, false, 1, 1},
  };
  for (const auto& c : cases) {
    Fresh();
    PutModule(c.build, c.found);
    Build();
    context.CheckMonitorVersion = 1;
    EnumerateAndDelete();
    const std::string row = std::to_string(c.build.value_or(0)) + (c.found ? " found" : "");
    EXPECT_EQ(context.InstallMonitor, c.installMonitor) << row;
    EXPECT_EQ(context.CopyMonitor, c.copyMonitor) << row;
    const bool removed = c.found && c.installMonitor;
    EXPECT_EQ(Logged(u"  Monitor was removed :)\r\n"), removed) << row;
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, c.found && !removed) << row;
    EXPECT_EQ(context.ErrorCount, 0) << row;
    // A removed monitor's module stays loaded by the running spooler: it waits in the list.
    EXPECT_NE(sim::FindFile(m, kModule), nullptr) << row;
    ASSERT_EQ(context.PendingDeletes != nullptr, removed) << row;
    if (removed) {
      EXPECT_EQ(std::u16string(context.PendingDeletes->Path), kModule) << row;
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
  EXPECT_TRUE(Logged(u"  Can't delete monitor from the first try\r\n" + updates +
                     u"  Monitor was removed :)\r\n"));
  EXPECT_EQ(Redirected(), (Texts{u"P1", u"P2", u"P3", u"P4", u"Gone"}));
  EXPECT_EQ(SnapshotPorts(),
            (Texts{u"file:", u"file:,LPT1:", u"LPT2:", u"LPT1:,file:", u"file:,file:", u"file:"}));
  EXPECT_EQ(SimPorts(),
            (Texts{u"FILE:", u"FILE:,LPT1:", u"LPT2:", u"LPT1:,FILE:", u"FILE:,FILE:"}));
  EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_EQ(Spooler().stops, 0u);  // the second attempt did it

  // The module the spooler still holds is replaced with the spooler stopped.
  Assign(context.LogText, nullptr);
  AddMonitor(context);
  EXPECT_TRUE(Logged(u"  AddMonitor - OK :)\r\n" + updates));
  EXPECT_EQ(Spooler().stops, 1u);
  // The first "file:" of a text is the one given back: the same ports again.
  EXPECT_EQ(SnapshotPorts(), (Texts{u"Orvalstone:", u"Orvalstone:,LPT1:", u"LPT2:",
                                    u"LPT1:,Orvalstone:", u"Orvalstone:,file:", u"Orvalstone:"}));
  EXPECT_EQ(SimPorts(), (Texts{u"Orvalstone:", u"Orvalstone:,LPT1:", u"LPT2:", u"LPT1:,Orvalstone:",
                               u"Orvalstone:,FILE:"}));
  ASSERT_NE(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  EXPECT_EQ(GetModuleVersion(kModule.c_str()), 2300u);
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(MonitorTest, RefusedRemovalIsRetriedAfterASpoolerRestart) {
  for (const bool queueInSnapshot : {true, false}) {
    Fresh();
    PutModule(2072, true);
    m.spooler.printers.clear();
    if (queueInSnapshot) AddQueue(u"P1", u"Orvalstone:");
    Build();
    if (!queueInSnapshot) AddQueue(u"P1", u"Orvalstone:");
    sim::AddFault(m, "SetPrinterW", ERROR_ACCESS_DENIED, -1);
    EnumerateAndDelete();
    // A printer that cannot be moved off the port is an error of its own, naming why.
    const std::u16string parking =
        queueInSnapshot ? u"  SetPrinter(P1) - failed\r\n  Error(30): Can`t move printer 'P1' to "
                          u"the port file: - (Access is denied.)\r\n"
                        : u"";
    EXPECT_TRUE(Logged(parking +
                       u"  >Restart Spooler\r\n  Error(12): Can`t remove the port monitor "
                       u"'Orvalstone:' - (The specified print monitor is currently in "
                       u"use.)\r\n"))
        << sim::ToUtf8(Log());
    EXPECT_EQ(Redirected(), queueInSnapshot ? Texts{u"P1"} : Texts{});
    EXPECT_EQ(!context.RedirectedPrinters, !queueInSnapshot);
    EXPECT_EQ(context.ErrorCount, queueInSnapshot ? 2 : 1);
    EXPECT_EQ(Spooler().stops, 1u);
    EXPECT_TRUE(sim::SpoolerRunning(m));
  }
}

TEST_F(MonitorTest, ModuleThatCannotGoNowOrIsNotNamedIsNeverDeletedByMistake) {
  WCHAR name[] = u"Orvalstone:", env[] = u"Windows x64", module[] = u"kvxmon64.dll", empty[] = u"";
  for (LPWSTR dllName : {module, static_cast<LPWSTR>(nullptr), empty}) {
    Fresh();
    PutModule(2072, true);
    Build();
    sim::AddFault(m, "DeleteFileW", ERROR_SHARING_VIOLATION);
    MONITOR_INFO_2W record = {name, env, dllName};
    DeleteMonitor(context, ListOf(&record, sizeof record, 2, 1));
    const bool named = dllName == module;
    EXPECT_EQ(Logged(u"  Monitor file name is unknown, no file deleted\r\n"), !named);
    // Only a named module goes to the deletions retried later; never the directory.
    ASSERT_EQ(context.PendingDeletes != nullptr, named);
    if (named) {
      EXPECT_EQ(context.PendingDeletes->Path, kModule);
    }
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  }
}

TEST_F(MonitorTest, RegistrationIsTriedFiveTimesFiftyMillisecondsApart) {
  for (const int failures : {2, 5}) {
    Fresh();
    PutModule(2072, true);
    AddQueue(u"P1", u"Orvalstone:");
    Build();
    EnumerateAndDelete();
    ASSERT_EQ(Redirected(), Texts{u"P1"});
    PutModule(2300, false);
    Assign(context.LogText, nullptr);
    context.CopyMonitor = 0;
    sim::AddFault(m, "AddMonitorW", ERROR_ACCESS_DENIED, failures);
    const uint64_t slept = m.sleptMs;
    AddMonitor(context);
    const bool ok = failures < 5;
    std::u16string expected = u">AddMonitor\r\n  Skip copy monitor file\r\n";
    for (int i = 0; i < failures; ++i)
      expected += u"  AddMonitor - failed. Trying to wait and install again\r\n";
    expected += ok ? u"  AddMonitor - OK :)\r\n  SetPrinter(P1) - ok\r\n"
                   : u"  Error(11): Can`t install a local port monitor'Orvalstone:' - (Access is "
                     u"denied.)\r\n";
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(m.sleptMs - slept, ok ? 100u : 200u);
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, ok);
    // A queue is given its port back only once the monitor is there again.
    EXPECT_EQ(sim::FindPrinter(m, u"P1")->portName, ok ? u"Orvalstone:" : u"FILE:");
    EXPECT_EQ(context.ErrorCount, ok ? 0 : 1);
  }
}

TEST_F(MonitorTest, LockedModuleIsCopiedAgainWithTheSpoolerStopped) {
  for (const bool heldByOtherProgram : {false, true}) {
    Fresh();
    PutModule(2072, false);
    // An older registration of the same module keeps it loaded while the spooler runs.
    m.spooler.monitors.push_back({u"Legacy:", u"Windows x64", u"kvxmon64.dll", {u"Legacy:"}});
    if (heldByOtherProgram) m.fs.locks.push_back({kModule, 4242, GENERIC_READ, 0, false});
    Build();
    AddMonitor(context);
    EXPECT_TRUE(Logged(u"    Copy Failed :(\r\n  >Restart Spooler\r\n  >CopyFile kvxmon64.dll to " +
                       kSystem + u" [1])\r\n"));
    EXPECT_TRUE(Logged(u"  AddMonitor - OK :)\r\n"));
    EXPECT_EQ(Spooler().stops, 1u);
    EXPECT_TRUE(sim::SpoolerRunning(m));
    EXPECT_EQ(GetModuleVersion(kModule.c_str()), heldByOtherProgram ? 2072u : 2300u);
    EXPECT_NE(sim::FindMonitor(m, u"Orvalstone:"), nullptr);
  }
}

}  // namespace
