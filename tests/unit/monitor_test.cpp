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
  // The monitor's module in the system directory (without a build: no version resource), and
  // the monitor registered with it. The file version differs: only the product version counts.
  void PutModule(std::optional<uint16_t> build, bool registered) {
    std::optional<sim::VersionInfo> v;
    if (build) v = sim::VersionInfo{{9, 9, 9, 1}, {1, 2, 3, *build}};
    std::vector<uint8_t> module(512, 'm');
    std::copy(sim::kMonitorEntryPoint.begin(), sim::kMonitorEntryPoint.end(), module.begin() + 2);
    sim::PutFile(m, kModule, module, v);
    if (registered) RegisterMonitor();
  }
  Texts Ports() const {
    Texts ports;
    const PRINTER_INFO_2W* r = PrinterRecords(context.PrinterSnapshot);
    for (DWORD i = 0; i < context.PrinterSnapshot.Count; ++i) ports.push_back(r[i].pPortName);
    for (const auto& p : m.spooler.printers) ports.push_back(p.portName);
    return ports;
  }
  MonitorOutcome EnumerateAndDelete() {
    MonitorList list;
    EnumerateMonitors(context, list);
    return DeleteMonitor(context, list);
  }
  bool Logged(const std::u16string& lines) const {
    return Log().find(lines) != std::u16string::npos;
  }
};

TEST_F(MonitorTest, ListingAndLookupMatchTheWholeNameExactlyAtEitherLevel) {
  const struct {
    Texts names;
    DWORD level;
    LONG index;
  } cases[] = {
      {{u"Orvalstone:", u"Orvalstone:x", u"orvalstone:"}, 2, 0},
      {{u"Orvalstone:x", u"orvalstone:"}, 2, -1},
      {{u"A", u"B", u"Orvalstone:", u"C"}, 2, 2},
      {{u"A", u"B", u"Orvalstone:", u"C"}, 1, 2},
      {{u"Orvalstone:"}, 3, -1},
  };
  for (const auto& c : cases) {
    m.spooler.monitors.clear();
    for (const auto& n : c.names) m.spooler.monitors.push_back({n, u"Windows x64", u"x.dll", {}});
    DWORD needed = 0, count = 0;
    EnumMonitorsW(nullptr, c.level == 1 ? 1 : 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    EnumMonitorsW(nullptr, c.level == 1 ? 1 : 2, buffer.data(), needed, &needed, &count);
    EXPECT_EQ(FindPackageMonitor(ListOf(buffer.data(), needed, c.level, count)), c.index);
  }
  // A record without a name is listed, not skipped.
  WCHAR a[] = u"Local Port", b[] = u"Orvalstone:";
  MONITOR_INFO_2W records[] = {{a, a, a}, {nullptr, a, a}, {b, a, a}};
  LogMonitorList(context, ListOf(records, sizeof records, 2, 3));
  EXPECT_TRUE(Logged(u"1. Local Port\r\n2. ***EMPTY***\r\n3. Orvalstone:\r\n"));

  // The system text goes without its line break: no empty, unindented line follows.
  const struct {
    const char* name;
    const char* api;
    DWORD error;
  } failures[] = {
      {"nothing to list", nullptr, 0},
      {"listing refused", "EnumMonitorsW", ERROR_ACCESS_DENIED},
      {"listing refused without a text", "EnumMonitorsW", 0x2000BEEF},
      {"no memory", "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const auto& c : failures) {
    Fresh();
    c.api ? sim::AddFault(m, c.api, c.error) : m.spooler.monitors.clear();
    MonitorList list;
    list.Level = 1;
    list.Count = 7;
    EnumerateMonitors(context, list);
    EXPECT_TRUE(!list.Buffer && list.Level == 2 && list.Count == 0);
    EXPECT_EQ(Log(), unit::ExpectedLog("monitor", c.name));
  }
  EXPECT_EQ(GetLastError(), DWORD(E_OUTOFMEMORY));
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
    // As a reinstall asks, which copies over a module it does not remove.
    context.CheckMonitorVersion = 1;
    context.RestoreQueues = 1;
    const MonitorOutcome outcome = EnumerateAndDelete();
    const std::string row = std::to_string(c.build.value_or(0)) + (c.found ? " found" : "");
    EXPECT_EQ(outcome != MonitorOutcome::Registered, c.installMonitor == 1) << row;
    EXPECT_EQ(outcome != MonitorOutcome::ModuleKept, c.copyMonitor == 1) << row;
    const bool removed = c.found && c.installMonitor;
    EXPECT_EQ(Logged(u"  Monitor was removed :)\r\n"), removed) << row;
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, c.found && !removed) << row;
    EXPECT_EQ(context.ErrorCount, 0) << row;
    // A removed monitor's module stays loaded by the running spooler: it waits in the list.
    EXPECT_NE(sim::FindFile(m, kModule), nullptr) << row;
    EXPECT_EQ(PendingPaths(), removed ? Texts{kModule} : Texts{}) << row;
  }
}

TEST_F(MonitorTest, QueuesOnThePackagePortAreParkedOnFileAndReturned) {
  PutModule(2072, true);
  m.spooler.printers.clear();
  for (const char16_t* port :
       {u"Orvalstone:", u"Orvalstone:,LPT1:", u"LPT1:,Orvalstone:", u"file:,Orvalstone:"})
    AddQueue(u"P" + std::u16string(1, char16_t(u'1' + m.spooler.printers.size())), port);
  AddQueue(u"Gone", u"Orvalstone:");
  Build();
  m.spooler.printers.pop_back();  // deleted since the snapshot was taken
  const std::u16string updates =
      u"  SetPrinter(P1) - ok\r\n  SetPrinter(P2) - ok\r\n  SetPrinter(P3) - ok\r\n"
      u"  SetPrinter(P4) - ok\r\n  Can't open printer Gone\r\n";
  EnumerateAndDelete();
  EXPECT_TRUE(Logged(u"  Can't delete monitor from the first try\r\n" + updates +
                     u"  Monitor was removed :)\r\n"));
  // Every snapshot queue is parked, and the list has room for its closing null.
  Texts redirected;
  for (PRINTER_INFO_2W** r = context.RedirectedPrinters.get(); *r; ++r)
    redirected.push_back((*r)->pPrinterName);
  EXPECT_EQ(redirected, (Texts{u"P1", u"P2", u"P3", u"P4", u"Gone"}));
  EXPECT_GE(GlobalSize(context.RedirectedPrinters.get()), 6 * sizeof(PRINTER_INFO_2W*));
  EXPECT_EQ(Ports(), (Texts{u"file:", u"file:,LPT1:", u"LPT1:,file:", u"file:,file:", u"file:",
                            u"FILE:", u"FILE:,LPT1:", u"LPT1:,FILE:", u"FILE:,FILE:"}));
  EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:"), nullptr);

  // The module the spooler still holds is replaced with the spooler stopped; the first
  // "file:" of a text is the one given back.
  Assign(context.LogText, nullptr);
  AddMonitor(context);
  EXPECT_TRUE(Logged(u"  AddMonitor - OK :)\r\n" + updates));
  EXPECT_EQ(Spooler().stops, 1u);
  EXPECT_EQ(Ports(), (Texts{u"Orvalstone:", u"Orvalstone:,LPT1:", u"LPT1:,Orvalstone:",
                            u"Orvalstone:,file:", u"Orvalstone:", u"Orvalstone:",
                            u"Orvalstone:,LPT1:", u"LPT1:,Orvalstone:", u"Orvalstone:,FILE:"}));
  EXPECT_EQ(GetModuleVersion(kModule.c_str()), 2300u);
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(MonitorTest, ModuleThatIsNotNamedIsNeverDeletedAndRegistrationIsTriedFiveTimes) {
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
    EXPECT_EQ(PendingPaths(), named ? Texts{kModule} : Texts{});
  }
  for (const int failures : {2, 5}) {
    Fresh();
    PutModule(2300, false);
    Build();
    context.CopyMonitor = 0;
    sim::AddFault(m, "AddMonitorW", ERROR_ACCESS_DENIED, failures);
    AddMonitor(context);
    const bool ok = failures < 5;
    EXPECT_EQ(Log(), unit::ExpectedLog(
                         "monitor", "registration failed " + std::to_string(failures) + " times"));
    EXPECT_EQ(m.sleptMs, ok ? 100u : 200u);
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, ok);
  }
}

}  // namespace
