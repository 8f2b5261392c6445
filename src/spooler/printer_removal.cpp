#include "spooler/printer_removal.h"

#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "spooler/printer_snapshot.h"
#include "spooler/queue_record.h"

namespace {
// Opens a queue by name. A missing or empty name would open the print server itself, whose
// handle is no queue to read or purge: it is refused as the spooler refuses a bad name.
bool OpenQueue(LPCWSTR name, unique_printer& printer, PRINTER_DEFAULTSW* defaults) {
  printer.reset();
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return false;
  }
  return OpenPrinterW(const_cast<LPWSTR>(name), printer.put(), defaults) && printer;
}

// What the queue needs to come back: its "SubKey", plain and under "DsUser", each as it is
// (empty: none). False, with the last error set, when a read failed and nobody can tell what
// the queue holds.
bool ReadQueueSubKeys(LPCWSTR name, unique_global<CHAR>& plain, unique_global<CHAR>& dsUser) {
  unique_printer printer;
  if (!OpenQueue(name, printer, nullptr)) return false;
  return ReadSubKeyAt(printer.get(), nullptr, plain) != SubKeyRead::Failed &&
         ReadSubKeyAt(printer.get(), kDsUserKey, dsUser) != SubKeyRead::Failed;
}

bool IsPackageQueue(const PRINTER_INFO_2W& record) {
  return SameText(record.pDriverName, kPackageDriverName);
}
}  // namespace

bool SaveQueue(InstallContext& context, PRINTER_INFO_2W* record, SavedPrinter* earlier) {
  LPCWSTR name = record->pPrinterName;
  // An earlier run that could not finish recorded the queue whole: that record stands.
  if (FindSavedPrinter(earlier, name)) return true;
  if (!context.DefaultKnown) {
    // Any queue might be the default printer: none is deleted without knowing.
    SetLastError(context.DefaultError);
    LogError(context, ErrSavePrinter, W("Can`t save the settings of printer '%s'"), name);
    return false;
  }
  unique_global<CHAR> subKey;
  unique_global<CHAR> dsUserSubKey;
  if (!ReadQueueSubKeys(name, subKey, dsUserSubKey)) {
    // A queue that is no longer there has nothing to save, and its deletion says so.
    if (GetLastError() == ERROR_INVALID_PRINTER_NAME) return true;
    LogError(context, ErrSavePrinter, W("Can`t save the settings of printer '%s'"), name);
    return false;
  }
  SavedPrinter* node =
      NewSavedPrinter(name, subKey.get(), dsUserSubKey.get(), record->pComment, record->pLocation,
                      (record->Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0);
  if (!node) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    LogError(context, ErrSavePrinter, W("Can`t save the settings of printer '%s'"), name);
    return false;
  }
  node->Next = context.SavedPrinters;
  context.SavedPrinters = node;
  return true;
}

bool DeletePrinter(InstallContext& context, LPCWSTR name) {
  LogSection section(context, W(">DeletePrinter(%s)"), name ? name : W("*"));
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, DELETE | PRINTER_ACCESS_ADMINISTER};
  unique_printer printer;
  if (!OpenQueue(name, printer, &defaults)) {
    // One that someone else deleted meanwhile is gone all the same.
    const bool gone = GetLastError() == ERROR_INVALID_PRINTER_NAME;
    LogError(context, ErrOpenPrinter, W("Can`t open printer '%s'"), name);
    return gone;
  }
  if (!PurgeAndDeletePrinter(printer.get())) {
    LogError(context, ErrDeletePrinter, W("Can`t delete printer '%s'"), name);
    return false;
  }
  Log(context, W("OK"));
  return true;
}

void DeleteAllPrinters(InstallContext& context) {
  LogSection section(context, W(">DeleteAllPrinters"));
  PRINTER_INFO_2W* records = PrinterRecords(context.PrinterSnapshot);
  const DWORD count = context.PrinterSnapshot.Count;
  // Which snapshot queues may go: in a reinstall, only those whose settings are recorded.
  const unique_global<BYTE> deletable(static_cast<BYTE*>(GlobalAlloc(GPTR, count ? count : 1)));
  bool recorded = bool(deletable);
  if (context.RestoreQueues) {
    recorded = recorded && ReadSavedQueues(context.SavedPrinters);
    if (!recorded) {
      // What an earlier run left is not known: nothing may be written over it or drop it.
      context.RecordUnknown = 1;
      ReleaseSavedPrinters(context.SavedPrinters);
    }
    // What an earlier run left stays at the tail, behind the queues saved now; only those
    // are looked through, so that saving many queues costs no more per queue.
    SavedPrinter* const earlier = context.SavedPrinters;
    for (DWORD i = 0; recorded && i < count; ++i) {
      if (IsPackageQueue(records[i])) {
        deletable.get()[i] = SaveQueue(context, &records[i], earlier);
      }
    }
    // Recorded once for all, before the first queue goes.
    if (recorded && !WriteSavedQueues(context.SavedPrinters)) {
      // None of these queues goes, so none is to come back; the record holds what it held.
      const DWORD error = GetLastError();
      while (context.SavedPrinters != earlier) {
        SavedPrinter* saved = context.SavedPrinters;
        context.SavedPrinters = saved->Next;
        saved->Next = nullptr;
        ReleaseSavedPrinters(saved);
      }
      SetLastError(error);
      recorded = false;
    }
  } else if (recorded) {
    for (DWORD i = 0; i < count; ++i) deletable.get()[i] = 1;
  }
  if (!recorded) {
    LogRecordFailure(context, kSavedQueuesValue);
  }
  for (DWORD i = 0; i < count; ++i) {
    if (!IsPackageQueue(records[i])) continue;
    if (!recorded || !deletable.get()[i] || !DeletePrinter(context, records[i].pPrinterName)) {
      ++context.KeptQueues;
    }
  }
  // An uninstall takes the queues: nothing of theirs is to come back. A queue it could not
  // delete may be one a failed repair re-created without its settings: the record keeps them.
  if (!context.RestoreQueues && context.KeptQueues == 0 && !WriteSavedQueues(nullptr)) {
    LogRecordFailure(context, kSavedQueuesValue);
  }
}
