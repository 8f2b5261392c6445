// The package's printer driver: staging its files and registering it, finding it among the
// installed drivers, and removing it with its files.
#pragma once
#include "context/names.h"
#include "platform/unique.h"

struct InstallContext;

// An enumeration of installed drivers: Count records of info level Level followed by their
// strings in one zero-filled global-heap block (empty when there are none), released with
// the list.
struct DriverList {
  unique_global<BYTE> Buffer;
  DWORD Level = 0;
  DWORD Count = 0;
};

// Fills the list at level 6 for the environment; any failure leaves it empty. Logs nothing.
bool EnumerateDrivers(DriverList& list, LPCWSTR environment);
// The 0-based index of the first record named exactly like the package driver, or -1.
int FindPackageDriver(const DriverList& list);

// AddPrinterDriverExW on the local machine at level 6, copying every file. Logs nothing and
// leaves the last error as the call set it.
BOOL RegisterDriver(DRIVER_INFO_6W* info);

// ">Add Printer Driver": stages the driver, UI and help files in DriverDir, registers the
// driver from there and deletes the staged copies (those that will not go are kept in
// PendingDeletes). The outcome is in the log and ErrorCount.
void AddPrinterDriver(InstallContext& context);
// ">DeletePrinterDriver for <environment>": lists the drivers, removes the package driver
// with its files, restarting the spooler once if it refuses.
void DeletePrinterDriver(InstallContext& context, const DriverList& list);
