#include "spooler/printer_removal.h"

#include <cstring>

#include "context/install_context.h"
#include "context/run_log.h"
#include "spooler/driver.h"
#include "spooler/printer_snapshot.h"

namespace {
// Room for the text read back; the spooler is offered kSubKeyBytes of it.
constexpr size_t kSubKeyBufferBytes = 260;

// Opens a queue by name. A missing or empty name would open the print server itself, whose
// handle is no queue to read or purge: it is refused as the spooler refuses a bad name.
bool OpenQueue(LPCWSTR name, HANDLE* printer, PRINTER_DEFAULTSW* defaults) {
  *printer = nullptr;
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return false;
  }
  return OpenPrinterW(const_cast<LPWSTR>(name), printer, defaults) && *printer;
}
}  // namespace

bool SameSpoolerName(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return false;
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

void SaveSubKey(InstallContext& context, PRINTER_INFO_2W* record) {
  CHAR subKey[kSubKeyBufferBytes] = {};
  HANDLE printer = nullptr;
  if (!OpenQueue(record->pPrinterName, &printer, nullptr)) return;
  ReadSubKey(printer, subKey);
  const size_t length = std::strlen(subKey);
  if (length != 0) {
    auto* node = static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter)));
    auto* text = node ? static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED, length + 1)) : nullptr;
    if (text) {
      std::memcpy(text, subKey, length + 1);
      node->SubKey = text;
      node->Printer = record;
      node->Next = context.SavedPrinters;
      context.SavedPrinters = node;
    } else {
      GlobalFree(node);  // nothing saved without its text
    }
  }
  ClosePrinter(printer);
}

void DeletePrinter(InstallContext& context, LPCWSTR name) {
  Log(context, W(">DeletePrinter(%s)"), name ? name : W("*"));
  ++context.Indent;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, DELETE | PRINTER_ACCESS_ADMINISTER};
  HANDLE printer = nullptr;
  if (!OpenQueue(name, &printer, &defaults)) {
    LogError(context, ErrOpenPrinter, W("Can`t open printer '%s'"), name);
  } else {
    if (PurgeAndDeletePrinter(printer)) {
      Log(context, W("OK"));
    } else {
      LogError(context, ErrDeletePrinter, W("Can`t delete printer '%s'"), name);
    }
    ClosePrinter(printer);
  }
  --context.Indent;
}

void DeleteAllPrinters(InstallContext& context) {
  Log(context, W(">DeleteAllPrinters"));
  ++context.Indent;
  PRINTER_INFO_2W* records = PrinterRecords(context.PrinterSnapshot);
  for (DWORD i = 0; i < context.PrinterSnapshot.Count; ++i) {
    if (!SameSpoolerName(records[i].pDriverName, kPackageDriverName)) continue;
    SaveSubKey(context, &records[i]);
    DeletePrinter(context, records[i].pPrinterName);
  }
  --context.Indent;
}
