#include "spooler/printer_restore.h"

#include <cstring>

#include "context/install_context.h"
#include "context/run_log.h"
#include "platform/default_printer.h"
#include "spooler/driver.h"
#include "spooler/monitor.h"
#include "spooler/printer_removal.h"
#include "spooler/printer_snapshot.h"

namespace {
constexpr size_t kRelativePathBytes = 260;
// Room the settings path is formatted into beyond the relative path (key, separator, zero).
constexpr size_t kSettingsPathSlack = 46;
}  // namespace

bool ClearDeletedMark(LPCSTR relativePath) {
  const size_t relative = std::strlen(relativePath);
  const size_t base = sizeof(kQueueSettingsRoot) - 1;
  const SIZE_T bytes = relative + kSettingsPathSlack;
  auto* path = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED, bytes));
  if (!path) return false;
  std::memcpy(path, kQueueSettingsRoot, base);
  path[base] = '\\';
  std::memcpy(path + base + 1, relativePath, relative + 1);
  HKEY key = nullptr;
  const LSTATUS opened = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key);
  GlobalFree(path);
  if (opened != ERROR_SUCCESS) return false;
  const LSTATUS deleted = RegDeleteValueA(key, "deleted");
  RegCloseKey(key);
  return deleted == ERROR_SUCCESS;
}

HANDLE AddPrinter(InstallContext& context, LPCWSTR name) {
  Log(context, W(">AddPrinter(%s)"), name ? name : W("*"));
  ++context.Indent;
  Log(context, W("Let's check our port monitors"));
  MonitorList monitors;
  EnumerateMonitors(context, monitors);
  if (FindPackageMonitor(monitors) != -1) {
    Log(context, W("Port monitor is found"));
  } else {
    Log(context, W("No Orvalstone port monitor was found."));
    if (monitors.Count != 0) {
      LogMonitorList(context, monitors);
    } else {
      Log(context, W("BTW, there is no port monitors on this system."));
    }
  }
  ReleaseMonitorList(monitors);

  WCHAR port[] = W("Orvalstone:");
  WCHAR driver[] = W("Orvalstone printer");
  WCHAR comment[] = W("");
  WCHAR processor[] = W("WinPrint");
  PRINTER_INFO_2W info;
  std::memset(&info, 0, sizeof info);
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = port;
  info.pDriverName = driver;
  info.pComment = comment;
  info.pPrintProcessor = processor;
  HANDLE printer = CreatePrinterQueue(&info);
  if (printer) {
    Log(context, W("OK :)"));
  } else {
    LogError(context, ErrAddPrinter, W("Can`t add printer '%s'"), name);
  }
  --context.Indent;
  return printer;
}

void RestorePrinters(InstallContext& context) {
  int restored = 0;
  for (SavedPrinter* saved = context.SavedPrinters; saved; saved = saved->Next) {
    PRINTER_INFO_2W* old = saved->Printer;
    HANDLE printer = AddPrinter(context, old->pPrinterName);
    if (!printer) continue;
    if (WriteSubKey(printer, saved->SubKey)) {
      // The settings key is named by what the new queue now holds, not by what was saved.
      CHAR relative[kRelativePathBytes] = {};
      const size_t prefix = sizeof(kQueueSettingsPrefix) - 1;
      std::memcpy(relative, kQueueSettingsPrefix, prefix);
      ReadSubKey(printer, relative + prefix);
      if (relative[prefix] != 0) ClearDeletedMark(relative);
    }
    PRINTER_INFO_2W* info = GetPrinterInfo(printer);
    if (info) {
      info->pComment = old->pComment;
      info->pLocation = old->pLocation;
      SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(info), 0);
      if ((old->Attributes & PRINTER_ATTRIBUTE_DEFAULT) &&
          SameSpoolerName(old->pDriverName, kPackageDriverName)) {
        SpoolerSetDefaultPrinter(info->pPrinterName);
      }
      GlobalFree(info);
    }
    ClosePrinter(printer);
    ++restored;
  }
  if (restored == 0) {
    HANDLE printer = AddPrinter(context, kFallbackPrinterName);
    if (printer) ClosePrinter(printer);
  }
}
