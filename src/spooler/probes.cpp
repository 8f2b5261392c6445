#include "spooler/probes.h"

#include "context/names.h"
#include "context/text_compare.h"
#include "files/pending_renames.h"
#include "platform/default_printer.h"
#include "spooler/monitor.h"
#include "spooler/printer_snapshot.h"
#include "spooler/service_control.h"

namespace {

// The first queue of the package's driver in enumeration order, or null.
const PRINTER_INFO_2W* FirstPackageQueue(const PrinterList& list) {
  const PRINTER_INFO_2W* records = PrinterRecords(list);
  for (DWORD i = 0; i < list.Count; ++i) {
    if (IsPackageQueue(records[i])) return &records[i];
  }
  return nullptr;
}

}  // namespace

bool CheckDriverVersion() {
  PrinterList list;
  EnumeratePrinters(list);
  const PRINTER_INFO_2W* queue = FirstPackageQueue(list);
  unique_printer printer;
  if (!queue || !OpenPrinterW(queue->pPrinterName, printer.put(), nullptr)) return false;
  const unique_global<DRIVER_INFO_2W> driver = GetDriverInfo(printer.get());
  // Compared signed: "no version" (all bits set) is -1 and never current.
  return driver && driver->pDriverPath &&
         LONG(GetModuleVersion(driver->pDriverPath)) > kLastOutdatedDriverBuild;
}

bool CheckDefaultPrinter() {
  // The query's answer is not trusted; an empty buffer means there is no default to examine.
  WCHAR name[kDefaultPrinterUnits] = {};
  DWORD size = kDefaultPrinterUnits;
  SpoolerGetDefaultPrinter(name, &size);
  if (name[0] == 0) return true;
  unique_printer printer;
  if (!OpenPrinterW(name, printer.put(), nullptr) || !printer) return true;
  const unique_global<PRINTER_INFO_2W> info = GetPrinterInfo(printer.get());
  return !info || !IsPackageQueue(*info.get());
}

void SetPackageDefault() {
  PrinterList list;
  EnumeratePrinters(list);
  // Whatever the spooler makes of it, the setup is told the same.
  if (const PRINTER_INFO_2W* queue = FirstPackageQueue(list)) {
    SpoolerSetDefaultPrinter(queue->pPrinterName);
  }
}

bool CheckPendingModules() {
  for (int pass = 0; pass < 2; ++pass) {
    PendingRenameTable table = ReadPendingRenames();
    CleanPendingRenames(table);
    if (!PackageModulePending(table)) return false;
    // The spooler may hold the module loaded; stopping it lets the next clean-up delete it.
    SpoolerRestart restart(nullptr);
  }
  return true;
}
