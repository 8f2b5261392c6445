// How the spooler answers for port monitors and ports.
#include "spooler_contract.h"

namespace {

const WCHAR* const kMonitor = W("Contract Monitor:");

class MonitorContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    DeleteMonitorW(nullptr, nullptr, Wide(kMonitor));
  }
  void TearDown() override {
    RemoveTestPrinter(W("Contract Monitor Printer"));
    DeleteMonitorW(nullptr, nullptr, Wide(kMonitor));
    Contract::TearDown();
  }
};

// Registers a monitor; the built-in Local Port module serves as its module, as it is in
// the system directory on every machine.
BOOL AddTestMonitor(const WCHAR* name, const WCHAR* dll = W("localspl.dll"), DWORD level = 2) {
  Wide n(name), env(W("Windows x64")), module(dll);
  MONITOR_INFO_2W info = {n, env, module};
  return AddMonitorW(nullptr, level, reinterpret_cast<LPBYTE>(&info));
}

TEST_F(MonitorContract, EnumMonitorsTwoCallBothLevels) {
  for (DWORD level : {1u, 2u}) {
    SCOPED_TRACE(level);
    Listing list = ListTwoCall([&](BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
      return EnumMonitorsW(nullptr, level, buffer, size, needed, count);
    });
    // Wine 8.0 deviation: a call with too small a buffer still reports the number of
    // monitors; Windows reports the records returned, none.
    EXPECT_EQ(list.countWhenTooSmall, OnWine() ? list.count : 0u);
    const auto& buffer = list.buffer;
    const DWORD count = list.count;
    bool local = false;
    for (DWORD i = 0; i < count; ++i) {
      if (level == 1) {
        auto* mi = reinterpret_cast<const MONITOR_INFO_1W*>(buffer.data()) + i;
        EXPECT_TRUE(Inside(mi->pName, buffer));
        local = local || Narrow(mi->pName) == "Local Port";
        continue;
      }
      auto* mi = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data()) + i;
      EXPECT_TRUE(Inside(mi->pName, buffer));
      EXPECT_TRUE(Inside(mi->pDLLName, buffer));
      if (Narrow(mi->pName) != "Local Port") continue;
      local = true;
      EXPECT_EQ(Lower(Narrow(mi->pDLLName)), "localspl.dll");
      // Wine 8.0 deviation: "Windows NT x86" for every monitor, not the monitor's environment.
      EXPECT_EQ(Narrow(mi->pEnvironment), OnWine() ? "Windows NT x86" : "Windows x64");
    }
    EXPECT_TRUE(local);
  }
  DWORD needed = 0, count = 0;
  EXPECT_FAILS(EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &count), ERROR_INVALID_LEVEL);
}

TEST_F(MonitorContract, AddAndDeleteWithTheirSecondTimes) {
  struct Case {
    const char* what;
    const WCHAR* name;
    const WCHAR* dll;
    DWORD level;
    DWORD error;
  };
  const Case refused[] = {
      {"level 1", kMonitor, W("localspl.dll"), 1, ERROR_INVALID_LEVEL},
      {"level 3", kMonitor, W("localspl.dll"), 3, ERROR_INVALID_LEVEL},
      {"no name", W(""), W("localspl.dll"), 2, ERROR_INVALID_PARAMETER},
      {"no module", kMonitor, W(""), 2, ERROR_INVALID_PARAMETER},
      {"missing module", kMonitor, W("does_not_exist_77.dll"), 2, ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    EXPECT_FAILS(AddTestMonitor(c.name, c.dll, c.level), c.error);
  }

  SetLastError(kAnyError);
  EXPECT_TRUE(AddTestMonitor(kMonitor));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));  // installers read it after success
  EXPECT_FAILS(AddTestMonitor(kMonitor), ERROR_PRINT_MONITOR_ALREADY_INSTALLED);

  SetLastError(kAnyError);
  EXPECT_TRUE(DeleteMonitorW(nullptr, Wide(W("Windows x64")), Wide(kMonitor)));
  EXPECT_FAILS(DeleteMonitorW(nullptr, Wide(W("Windows x64")), Wide(kMonitor)),
               ERROR_UNKNOWN_PRINT_MONITOR);
  EXPECT_FAILS(DeleteMonitorW(nullptr, nullptr, Wide(W(""))), ERROR_INVALID_PARAMETER);
}

TEST_F(MonitorContract, EnumPortsListsTheLocalPorts) {
  Listing list = ListTwoCall([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
    return EnumPortsW(nullptr, 1, buffer, size, needed, count);
  });
  bool file = false;
  for (DWORD i = 0; i < list.count; ++i) {
    auto* port = reinterpret_cast<const PORT_INFO_1W*>(list.buffer.data()) + i;
    EXPECT_TRUE(Inside(port->pName, list.buffer));
    file = file || Lower(Narrow(port->pName)) == "file:";
  }
  EXPECT_TRUE(file);
  DWORD needed = 0, count = 0;
  EXPECT_FAILS(EnumPortsW(nullptr, 3, nullptr, 0, &needed, &count), ERROR_INVALID_LEVEL);
}

#ifndef _WIN32
// A monitor added through the API reports one port named after itself; on Windows the
// module decides, so these cases run on the sim.
TEST_F(MonitorContract, SimAMonitorInUseIsRefusedAndItsModuleIsHeld) {
  ASSERT_TRUE(sim::PutFile(machine_, u"C:\\Windows\\system32\\ctmon.dll", {'M', 'Z'}).path.size());
  ASSERT_TRUE(AddTestMonitor(kMonitor, W("ctmon.dll")));
  const WCHAR* module = W("C:\\Windows\\system32\\ctmon.dll");
  EXPECT_TRUE(sim::HeldBySpooler(machine_, module));
  EXPECT_FAILS(DeleteFileW(module), ERROR_ACCESS_DENIED);

  // Its port takes printers, in any letter case.
  HANDLE h = AddTestPrinter(W("Contract Monitor Printer"), W("contract monitor:"));
  ASSERT_NE(h, nullptr);
  EXPECT_FAILS(DeleteMonitorW(nullptr, nullptr, Wide(kMonitor)), ERROR_PRINT_MONITOR_IN_USE);

  // Parked on "file:", the printer frees the monitor. Removed, its module stays loaded until
  // the spooler stops.
  std::vector<BYTE> info = PrinterInfo2(h);
  ASSERT_FALSE(info.empty());
  Wide file(W("file:"));
  reinterpret_cast<PRINTER_INFO_2W*>(info.data())->pPortName = file;
  ASSERT_TRUE(SetPrinterW(h, 2, info.data(), 0));
  ClosePrinter(h);
  EXPECT_TRUE(DeleteMonitorW(nullptr, nullptr, Wide(kMonitor)));
  EXPECT_TRUE(sim::HeldBySpooler(machine_, module));
  EXPECT_FALSE(DeleteFileW(module));
  machine_.services.services[0].state = SERVICE_STOP_PENDING;
  sim::Schedule(machine_, 0, "service.stopped", {{"name", "Spooler"}});
  sim::Advance(machine_, 0);
  EXPECT_FALSE(sim::HeldBySpooler(machine_, module));
  EXPECT_TRUE(DeleteFileW(module));
}

TEST_F(MonitorContract, SimDefaultMachineHasTheLocalPortMonitorOnly) {
  ASSERT_EQ(machine_.spooler.monitors.size(), 1u);
  const auto& local = machine_.spooler.monitors[0];
  EXPECT_EQ(sim::ToUtf8(local.name), "Local Port");
  std::string ports;
  for (const auto& p : local.ports) ports += sim::ToUtf8(p) + " ";
  EXPECT_EQ(ports, "LPT1: LPT2: LPT3: COM1: COM2: COM3: COM4: FILE: PORTPROMPT: ");
  EXPECT_NE(sim::FindFile(machine_, u"C:\\Windows\\system32\\localspl.dll"), nullptr);
  EXPECT_EQ(machine_.spooler.printProcessors, std::vector<sim::U16>{u"winprint"});
}
#endif

}  // namespace
