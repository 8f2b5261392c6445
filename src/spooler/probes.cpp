#include "spooler/probes.h"

#include "platform/default_printer.h"
#include "spooler/driver.h"
#include "spooler/monitor.h"
#include "spooler/printer_removal.h"
#include "spooler/printer_snapshot.h"

namespace {

bool IsPackageQueue(LPCWSTR driverName) {
  return SameSpoolerName(driverName, kPackageDriverName);
}

// The first queue of the package's driver in enumeration order, or null.
const PRINTER_INFO_2W* FirstPackageQueue(const PrinterList& list) {
  const PRINTER_INFO_2W* records = PrinterRecords(list);
  for (DWORD i = 0; i < list.Count; ++i) {
    if (IsPackageQueue(records[i].pDriverName)) return &records[i];
  }
  return nullptr;
}

}  // namespace

bool CheckDriverVersion() {
  PrinterList list;
  EnumeratePrinters(list);
  const PRINTER_INFO_2W* queue = FirstPackageQueue(list);
  HANDLE printer = nullptr;
  if (!queue || !OpenPrinterW(queue->pPrinterName, &printer, nullptr)) {
    ReleasePrinterList(list);
    return false;
  }
  bool current = false;
  DRIVER_INFO_2W* driver = GetDriverInfo(printer);
  if (driver && driver->pDriverPath) {
    // Compared signed: "no version" (all bits set) is -1 and never current.
    current = LONG(GetModuleVersion(driver->pDriverPath)) > kLastOutdatedDriverBuild;
  }
  ClosePrinterHandle(printer);
  if (driver) GlobalFree(driver);
  ReleasePrinterList(list);
  return current;
}

bool CheckDefaultPrinter() {
  // The query's answer is not trusted; an empty buffer means there is no default to examine.
  WCHAR name[kDefaultPrinterUnits] = {};
  DWORD size = kDefaultPrinterUnits;
  SpoolerGetDefaultPrinter(name, &size);
  if (name[0] == 0) return true;
  HANDLE printer = nullptr;
  if (!OpenPrinterW(name, &printer, nullptr) || !printer) return true;
  bool notPackage = true;
  PRINTER_INFO_2W* info = GetPrinterInfo(printer);
  if (info) notPackage = !IsPackageQueue(info->pDriverName);
  ClosePrinterHandle(printer);
  if (info) GlobalFree(info);
  return notPackage;
}

void SetPackageDefault() {
  PrinterList list;
  EnumeratePrinters(list);
  // Whatever the spooler makes of it, the setup is told the same.
  if (const PRINTER_INFO_2W* queue = FirstPackageQueue(list)) {
    SpoolerSetDefaultPrinter(queue->pPrinterName);
  }
  ReleasePrinterList(list);
}
