#include "spooler/printer_removal.h"

#include <cstring>
#include <utility>

#include "context/install_context.h"
#include "context/names.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "platform/sized_query.h"
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

// Keys the spooler and the driver fill from the queue's settings themselves.
bool MadeBySpooler(LPCWSTR key) {
  return SameText(key, W("DsSpooler")) || SameText(key, W("DsDriver"));
}

// Every printer-data value under `key` (empty: the top) and the keys below it, appended to
// `values`. False, with the last error set, when a list could not be had.
bool TakePrinterData(HANDLE printer, const WideText& key, WideText& values) {
  unique_global<BYTE> block;
  DWORD count = 0;
  if (Count(key)) {
    const SizedQuery data = QuerySized(
        [&](BYTE* buffer, DWORD size, DWORD* needed) {
          return SizedAnswer(EnumPrinterDataExW(printer, Chars(key), buffer, size, needed, &count));
        },
        block);
    // A key gone meanwhile holds nothing.
    if (data == SizedQuery::SizeFailed && GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    if (data != SizedQuery::Empty && data != SizedQuery::Filled) return false;
    const auto* records = reinterpret_cast<const PRINTER_ENUM_VALUESW*>(block.get());
    for (DWORD i = 0; data == SizedQuery::Filled && i < count; ++i) {
      if (!AppendDataValue(values, Chars(key), records[i].pValueName, records[i].dwType,
                           records[i].pData, records[i].cbData)) {
        SetLastError(DWORD(E_OUTOFMEMORY));
        return false;
      }
    }
  }
  const SizedQuery keys = QuerySized(
      [&](BYTE* buffer, DWORD size, DWORD* needed) {
        return SizedAnswer(EnumPrinterKeyW(printer, Count(key) ? Chars(key) : W(""),
                                           reinterpret_cast<LPWSTR>(buffer), size, needed));
      },
      block, 2 * sizeof(WCHAR));
  if (keys == SizedQuery::Empty) return true;
  LPCWSTR subkeys = reinterpret_cast<LPCWSTR>(block.get());
  if (keys == SizedQuery::SizeFailed && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
    // A spooler that cannot list keys (Wine's) is read by the keys a package queue has.
    if (Count(key)) return true;
    subkeys = W("PrinterDriverData\0DsUser\0");
  } else if (keys != SizedQuery::Filled) {
    return false;
  }
  for (LPCWSTR sub = subkeys; *sub; sub += lstrlenW(sub) + 1) {
    if (!Count(key) && MadeBySpooler(sub)) continue;
    const WideText child = JoinPath(Chars(key), sub);
    if (!Count(child) || !TakePrinterData(printer, child, values)) {
      if (!Count(child)) SetLastError(DWORD(E_OUTOFMEMORY));
      return false;
    }
  }
  return true;
}

// What the queue needs to come back whole, read from the queue itself: its "SubKey", plain
// and under "DsUser" (empty: none), and the rest of its settings into `node`. False, with the
// last error set, when a read failed and nobody can tell what the queue holds.
bool ReadWholeQueue(const PRINTER_INFO_2W& record, SavedPrinter& node) {
  unique_printer printer;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE | READ_CONTROL};
  if (!OpenQueue(record.pPrinterName, printer, &defaults)) return false;
  unique_global<CHAR> plain;
  unique_global<CHAR> dsUser;
  if (ReadSubKeyAt(printer.get(), nullptr, plain) == SubKeyRead::Failed ||
      ReadSubKeyAt(printer.get(), kDsUserKey, dsUser) == SubKeyRead::Failed) {
    return false;
  }
  node.SubKey = std::move(plain);
  node.DsUserSubKey = std::move(dsUser);
  const unique_global<PRINTER_INFO_2W> info = GetPrinterInfo(printer.get());
  if (!info) return false;
  node.Whole = TRUE;
  node.Default = (record.Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0;
  node.Name.reset(GlobalText(record.pPrinterName));
  node.Comment.reset(GlobalText(record.pComment));
  node.Location.reset(GlobalText(record.pLocation));
  bool copied = node.Name && node.Comment && node.Location;
  for (auto [from, to] : {std::pair{info->pShareName, &node.ShareName},
                          {info->pSepFile, &node.SepFile},
                          {info->pPrintProcessor, &node.PrintProcessor},
                          {info->pDatatype, &node.Datatype},
                          {info->pParameters, &node.Parameters}}) {
    if (from) to->reset(GlobalText(from));
    if (from && !*to) copied = false;
  }
  node.Attributes = info->Attributes & ~DWORD(PRINTER_ATTRIBUTE_DEFAULT);
  node.Priority = info->Priority;
  node.DefaultPriority = info->DefaultPriority;
  node.StartTime = info->StartTime;
  node.UntilTime = info->UntilTime;
  if (const DEVMODEW* dm = info->pDevMode) {
    node.DevModeBytes = DWORD(dm->dmSize) + dm->dmDriverExtra;
    node.DevMode.reset(static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, node.DevModeBytes)));
    if (node.DevMode) std::memcpy(node.DevMode.get(), dm, node.DevModeBytes);
    copied = copied && node.DevMode;
  }
  if (info->pSecurityDescriptor) {
    node.SecurityBytes = GetSecurityDescriptorLength(info->pSecurityDescriptor);
    node.Security.reset(static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, node.SecurityBytes)));
    if (node.Security) {
      std::memcpy(node.Security.get(), info->pSecurityDescriptor, node.SecurityBytes);
    }
    copied = copied && node.Security;
  }
  if (!copied) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    return false;
  }
  WideText top;
  WideText values;
  if (!TakePrinterData(printer.get(), top, values)) return false;
  if (Count(values)) {
    node.DataUnits = SIZE_T(Count(values));
    node.Data.reset(GlobalText(Chars(values), node.DataUnits));
    if (!node.Data) {
      SetLastError(DWORD(E_OUTOFMEMORY));
      return false;
    }
  }
  return true;
}
}  // namespace

bool SaveQueue(InstallContext& context, PRINTER_INFO_2W* record, SavedPrinter* earlier) {
  LPCWSTR name = record->pPrinterName;
  // An earlier run that could not finish recorded the queue whole: that record stands.
  if (FindSavedPrinter(earlier, name)) return true;
  if (!context.DefaultKnown) {
    // Any queue might be the default printer: none is deleted without knowing.
    SetLastError(context.DefaultError);
    LogError(context, ErrSavePrinter, name);
    return false;
  }
  unique_list<SavedPrinter> node = NewNode<SavedPrinter>();
  if (!node) SetLastError(DWORD(E_OUTOFMEMORY));
  if (!node || !ReadWholeQueue(*record, *node.get())) {
    node.reset();
    // A queue that is no longer there has nothing to save, and its deletion says so.
    if (GetLastError() == ERROR_INVALID_PRINTER_NAME) return true;
    LogError(context, ErrSavePrinter, name);
    return false;
  }
  node->Next = std::move(context.SavedPrinters);
  context.SavedPrinters = std::move(node);
  return true;
}

bool DeletePrinter(InstallContext& context, LPCWSTR name) {
  LogSection section(context, W(">DeletePrinter(%s)"), name ? name : W("*"));
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, DELETE | PRINTER_ACCESS_ADMINISTER};
  unique_printer printer;
  if (!OpenQueue(name, printer, &defaults)) {
    // One that someone else deleted meanwhile is gone all the same.
    const bool gone = GetLastError() == ERROR_INVALID_PRINTER_NAME;
    LogError(context, ErrOpenPrinter, name);
    return gone;
  }
  if (!PurgeAndDeletePrinter(printer.get())) {
    LogError(context, ErrDeletePrinter, name);
    return false;
  }
  Log(context, W("OK"));
  return true;
}

namespace {
// What an uninstall leaves of the record: the entries of the queues it could not delete
// (`deleted` 0 for a package queue of the snapshot), whose settings the record may hold alone
// after a restore that failed. Without the list nothing was deleted, and the record stays.
bool KeepRecordOfQueuesLeft(const PRINTER_INFO_2W* records, DWORD count, const BYTE* deleted) {
  if (!deleted) return true;
  unique_list<SavedPrinter> saved;
  if (!ReadSavedQueues(saved)) return false;
  unique_list<SavedPrinter>* link = &saved;
  while (SavedPrinter* entry = link->get()) {
    bool stays = false;
    for (DWORD i = 0; !stays && i < count; ++i) {
      stays = IsPackageQueue(records[i]) && !deleted[i] &&
              SameText(records[i].pPrinterName, entry->Name.get());
    }
    if (stays) {
      link = &entry->Next;
    } else {
      *link = std::move(entry->Next);
    }
  }
  return WriteSavedQueues(saved.get());
}
}  // namespace

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
      context.SavedPrinters.reset();
    }
    // What an earlier run left stays at the tail, behind the queues saved now; only those
    // are looked through, so that saving many queues costs no more per queue.
    SavedPrinter* const earlier = context.SavedPrinters.get();
    for (DWORD i = 0; recorded && i < count; ++i) {
      if (IsPackageQueue(records[i])) {
        deletable.get()[i] = SaveQueue(context, &records[i], earlier);
      }
    }
    // Recorded once for all, before the first queue goes.
    if (recorded && !WriteSavedQueues(context.SavedPrinters.get())) {
      // None of these queues goes, so none is to come back; the record holds what it held.
      while (context.SavedPrinters.get() != earlier) {
        context.SavedPrinters = std::move(context.SavedPrinters->Next);
      }
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
      if (recorded && !context.RestoreQueues) deletable.get()[i] = 0;
    }
  }
  // An uninstall takes the queues: nothing of theirs is to come back, but of those it left.
  // Without the list of printers nobody knows which stay: the record stays whole.
  if (!context.RestoreQueues && context.SnapshotTaken &&
      !(context.KeptQueues == 0
            ? WriteSavedQueues(nullptr)
            : KeepRecordOfQueuesLeft(records, count, recorded ? deletable.get() : nullptr))) {
    LogRecordFailure(context, kSavedQueuesValue);
  }
}
