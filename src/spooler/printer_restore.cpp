#include "spooler/printer_restore.h"

#include <cstddef>
#include <cstring>

#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"
#include "platform/default_printer.h"
#include "platform/identity.h"
#include "spooler/monitor.h"
#include "spooler/printer_snapshot.h"
#include "spooler/queue_record.h"
#include "spooler/user_hives.h"

namespace {
// Room the settings path is formatted into beyond the relative path (key, separator, zero).
constexpr size_t kSettingsPathSlack = 46;

// The members of a whole entry that the spooler takes at creation and through level 2.
void PutSavedMembers(PRINTER_INFO_2W& info, const SavedPrinter& saved) {
  static WCHAR none[1] = {};
  info.pComment = saved.Comment ? saved.Comment.get() : none;
  info.pLocation = saved.Location ? saved.Location.get() : none;
  if (!saved.Whole) return;
  info.pShareName = saved.ShareName.get();
  info.pSepFile = saved.SepFile.get();
  if (saved.PrintProcessor) info.pPrintProcessor = saved.PrintProcessor.get();
  info.pDatatype = saved.Datatype.get();
  info.pParameters = saved.Parameters.get();
  info.pSecurityDescriptor = saved.Security.get();
  info.Attributes = saved.Attributes;
  info.Priority = saved.Priority;
  info.DefaultPriority = saved.DefaultPriority;
  info.StartTime = saved.StartTime;
  info.UntilTime = saved.UntilTime;
}

// The printing defaults to give the new queue, whose driver made `current`: the saved ones
// whole when the same driver build wrote them; otherwise the driver's own with the user's
// choices of the public part laid over them, since another build's private part is no block
// this driver can read. Null (last error set) when the heap refused.
unique_global<BYTE> DevModeToGive(const SavedPrinter& saved, const DEVMODEW* current) {
  const auto* old = reinterpret_cast<const DEVMODEW*>(saved.DevMode.get());
  const bool same = current && current->dmDriverVersion == old->dmDriverVersion &&
                    current->dmDriverExtra == old->dmDriverExtra && current->dmSize == old->dmSize;
  const DWORD bytes =
      same || !current ? saved.DevModeBytes : DWORD(current->dmSize) + current->dmDriverExtra;
  unique_global<BYTE> block(static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, bytes)));
  if (!block) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    return block;
  }
  if (same) {
    std::memcpy(block.get(), saved.DevMode.get(), bytes);
  } else if (!current) {
    // No default to lay them over: the public part alone.
    std::memcpy(block.get(), saved.DevMode.get(), old->dmSize);
    reinterpret_cast<DEVMODEW*>(block.get())->dmDriverExtra = 0;
  } else {
    std::memcpy(block.get(), current, bytes);
    const size_t from = offsetof(DEVMODEW, dmFields);
    const size_t to = old->dmSize < current->dmSize ? old->dmSize : current->dmSize;
    if (to > from) std::memcpy(block.get() + from, saved.DevMode.get() + from, to - from);
  }
  return block;
}

// Gives the new queue what the old one had, as much of it as can be given. False, with the
// last error of the first step that failed, when some of it could not be given.
bool RestoreSettings(HANDLE printer, const SavedPrinter& saved) {
  DWORD firstError = ERROR_SUCCESS;
  auto failed = [&](DWORD error) {
    if (firstError == ERROR_SUCCESS) firstError = error ? error : DWORD(E_FAIL);
  };
  if (saved.DataUnits) {
    if (const DWORD written = WritePrinterData(printer, saved)) failed(written);
  }
  if (saved.SubKey || saved.DsUserSubKey) {
    const DWORD written = WriteSubKeys(printer, saved.SubKey.get(), saved.DsUserSubKey.get());
    // The settings key is named by what the new queue now holds, not by what was saved.
    unique_global<CHAR> text;
    if (written != ERROR_SUCCESS) {
      failed(written);
    } else if (ReadSubKey(printer, text) != SubKeyRead::Found) {
      failed(GetLastError());
    } else {
      const size_t prefix = sizeof(kQueueSettingsPrefix) - 1;
      const size_t length = std::strlen(text.get());
      const unique_global<CHAR> relative(
          static_cast<LPSTR>(GlobalAlloc(GPTR, prefix + length + 1)));
      LSTATUS cleared = ERROR_NOT_ENOUGH_MEMORY;
      if (relative) {
        std::memcpy(relative.get(), kQueueSettingsPrefix, prefix);
        std::memcpy(relative.get() + prefix, text.get(), length);
        cleared = ClearDeletedMark(relative.get());
      }
      // A queue without a settings key, or a key without the mark, has nothing to clear.
      if (cleared != ERROR_SUCCESS && cleared != ERROR_FILE_NOT_FOUND) failed(DWORD(cleared));
    }
  }
  unique_global<PRINTER_INFO_2W> info = GetPrinterInfo(printer);
  if (!info) {
    failed(GetLastError());
  } else {
    PutSavedMembers(*info.get(), saved);
    if (!SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(info.get()), 0)) failed(GetLastError());
    // Defaults the new queue already has (the driver's own, never changed) need no call.
    const DEVMODEW* current = info->pDevMode;
    const bool same = current &&
                      DWORD(current->dmSize) + current->dmDriverExtra == saved.DevModeBytes &&
                      std::memcmp(current, saved.DevMode.get(), saved.DevModeBytes) == 0;
    if (saved.DevMode && !same) {
      unique_global<BYTE> devMode = DevModeToGive(saved, info->pDevMode);
      PRINTER_INFO_8W defaults = {reinterpret_cast<LPDEVMODEW>(devMode.get())};
      if (!devMode || !SetPrinterW(printer, 8, reinterpret_cast<LPBYTE>(&defaults), 0)) {
        failed(GetLastError());
      }
    }
    if (saved.Default && !SpoolerSetDefaultPrinter(info->pPrinterName)) failed(GetLastError());
  }
  SetLastError(firstError);
  return firstError == ERROR_SUCCESS;
}
}  // namespace

LSTATUS ClearDeletedMark(LPCSTR relativePath) {
  const size_t relative = std::strlen(relativePath);
  const size_t base = sizeof(kQueueSettingsRoot) - 1;
  const unique_global<CHAR> path(
      static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED, relative + kSettingsPathSlack)));
  if (!path) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(path.get(), kQueueSettingsRoot, base);
  path.get()[base] = '\\';
  std::memcpy(path.get() + base + 1, relativePath, relative + 1);
  unique_hkey key;
  LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, path.get(), 0, KEY_ALL_ACCESS, key.put());
  if (status == ERROR_SUCCESS) status = RegDeleteValueA(key.get(), kDeletedMarkValue);
  // The local system account's own hive is no user's: the users' marks are in theirs.
  if (RunsAsLocalSystem()) status = ClearDeletedMarkOfUsers(path.get(), status);
  return status;
}

unique_printer AddPrinter(InstallContext& context, LPCWSTR name, const SavedPrinter* saved) {
  LogSection section(context, W(">AddPrinter(%s)"), name ? name : W("*"));
  Log(context, W("Let's check our port monitors"));
  {
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
  }

  WCHAR comment[] = W("");
  PRINTER_INFO_2W info;
  std::memset(&info, 0, sizeof info);
  info.pPrinterName = const_cast<LPWSTR>(name);
  info.pPortName = const_cast<LPWSTR>(kPackageMonitorName);
  info.pDriverName = const_cast<LPWSTR>(kPackageDriverName);
  info.pComment = comment;
  info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
  unique_printer printer;
  if (saved && saved->Whole) {
    // Made whole at once where the spooler takes it (no moment with the default
    // permissions); where it will not, made as any new queue and given the rest after.
    PRINTER_INFO_2W whole = info;
    PutSavedMembers(whole, *saved);
    printer.reset(CreatePrinterQueue(&whole));
  }
  if (!printer) printer.reset(CreatePrinterQueue(&info));
  if (printer) {
    Log(context, W("OK :)"));
  } else {
    LogError(context, ErrAddPrinter, name);
  }
  return printer;
}

void RestorePrinters(InstallContext& context) {
  const bool nothingSaved = !context.SavedPrinters;
  // What comes back whole leaves the list; what does not stays recorded for the next run.
  unique_list<SavedPrinter>* link = &context.SavedPrinters;
  while (SavedPrinter* saved = link->get()) {
    bool whole = false;
    if (const unique_printer printer = AddPrinter(context, saved->Name.get(), saved)) {
      whole = RestoreSettings(printer.get(), *saved);
      if (!whole) {
        LogError(context, ErrRestorePrinter, saved->Name.get());
      }
    }
    if (whole) {
      *link = std::move(saved->Next);
    } else {
      link = &saved->Next;
    }
  }
  if (!context.RecordUnknown && context.RestoreQueues &&
      !WriteSavedQueues(context.SavedPrinters.get())) {
    LogRecordFailure(context, kSavedQueuesValue);
  }
  // The package's own queue, only where the package has none and none is to come back.
  if (nothingSaved && context.KeptQueues == 0 && context.SnapshotTaken && !context.RecordUnknown) {
    AddPrinter(context, kFallbackPrinterName);
  }
}
