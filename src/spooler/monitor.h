// The package's port monitor "Orvalstone:": listing the installed monitors, finding ours,
// reading a module's version, removing the monitor while the other queues stay usable on
// "file:", and registering it again.
#pragma once
#include "context/names.h"
#include "platform/unique.h"

struct InstallContext;

// Installed monitor builds in this range are kept instead of being replaced.
constexpr DWORD kFirstCompatibleMonitor = 2073;
constexpr DWORD kLastCompatibleMonitor = 2300;
// "No version": a module without a readable version resource.
constexpr DWORD kNoModuleVersion = 0xFFFFFFFF;
// Registration attempts and the pause before each one after the first.
constexpr int kAddMonitorAttempts = 5;
constexpr DWORD kAddMonitorPauseMs = 50;

// One enumeration result: MONITOR_INFO_1W or _2W records followed by their strings in a
// zero-filled global-heap block (empty when there are none), released with the list.
struct MonitorList {
  unique_global<BYTE> Buffer;
  DWORD Level = 2;
  DWORD Count = 0;
};

// Lists the installed monitors at level 2. Every failure leaves the list empty, is described
// in a plain log line and answers false (the last error says why).
bool EnumerateMonitors(InstallContext& context, MonitorList& list);
// Index of the first record named exactly "Orvalstone:", or -1.
LONG FindPackageMonitor(const MonitorList& list);
// The monitors' names between a header and a ruler.
void LogMonitorList(InstallContext& context, const MonitorList& list);
// DeleteMonitorW for "Orvalstone:" on the local machine; logs nothing.
BOOL RemoveMonitor(LPCWSTR environment);
// The fourth part of the module's product version (0 to 65535), or kNoModuleVersion.
DWORD GetModuleVersion(LPCWSTR path);

// What became of the package's monitor, and so what an installation does with it.
enum class MonitorOutcome {
  Gone,        // not registered (removed, or not there): copied and registered anew
  Registered,  // registered to stay: a compatible build kept, or registered by this run
  ModuleKept,  // not registered, but its module a compatible build: registered, not copied
  Stuck,       // the spooler would not let it go (an error line): registered still
};

// Removes the monitor and its module unless the installed build is compatible (with
// CheckMonitorVersion set), moving queues off the package's port when the spooler refuses.
// `monitors` is the list taken before the package's queues and driver were removed.
MonitorOutcome DeleteMonitor(InstallContext& context, const MonitorList& monitors);
// Copies the module into the system directory (unless CopyMonitor is 0), registers the
// monitor and puts the queues that DeleteMonitor moved to "file:" back on the package's port.
// True when it is registered.
bool AddMonitor(InstallContext& context);
// A module that the monitor removal kept (compatible build) but that is gone since (the
// system's pending deletions are carried out in between) is put in place again: at once for a
// registered monitor, with its registration otherwise. What is to become of the monitor now.
MonitorOutcome KeepMonitorModule(InstallContext& context, MonitorOutcome monitor);
// Puts every printer that a run (this one or an earlier one cut short) moved to "file:"
// back on the port it had, where it still stands on "file:"; for a registered monitor.
void ReturnParkedPrinters(InstallContext& context);
