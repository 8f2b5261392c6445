#include "spooler/monitor.h"

#include <cstring>
#include <optional>

#include "context/install_context.h"
#include "context/names.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "files/copy_file.h"
#include "files/deferred_delete.h"
#include "platform/sized_query.h"
#include "spooler/printer_snapshot.h"
#include "spooler/queue_record.h"
#include "spooler/service_control.h"

namespace {

constexpr size_t kMonitorNameUnits = sizeof(kPackageMonitorName) / sizeof(WCHAR) - 1;  // 11
constexpr size_t kParkingPortUnits = sizeof(kParkingPortName) / sizeof(WCHAR) - 1;     // 5

// The system's text without its line break, which would leave an empty, unindented line.
void LogEnumerationFailure(InstallContext& context, LPCWSTR format, DWORD code) {
  const unique_hlocal text(SystemErrorText(code));
  const LPCWSTR shown = text ? static_cast<LPCWSTR>(text.get()) : W("No Error or no description");
  Log(context, format, shown);
  SetLastError(code);
}

// A name the spooler reports for the module: only a bare file name names a file of ours in
// the system directory; one with a path or a way up could name anything.
bool IsBareFileName(LPCWSTR name) {
  if (!name || !*name) return false;
  if (name[0] == W('.') && (name[1] == 0 || (name[1] == W('.') && name[2] == 0))) return false;
  return FileNamePart(name) == name;
}

// The record's name at index i, or null when the list's level carries no name we know.
LPCWSTR MonitorName(const MonitorList& list, DWORD i) {
  if (!list.Buffer) return nullptr;
  const BYTE* records = list.Buffer.get();
  if (list.Level == 1) return reinterpret_cast<const MONITOR_INFO_1W*>(records)[i].pName;
  if (list.Level == 2) return reinterpret_cast<const MONITOR_INFO_2W*>(records)[i].pName;
  return nullptr;
}

// "…Orvalstone:…" becomes "…file:…" in place; the text gets 6 characters shorter.
void ParkPort(LPWSTR at) {
  std::memcpy(at, kParkingPortName, kParkingPortUnits * sizeof(WCHAR));
  LPWSTR to = at + kParkingPortUnits;
  LPCWSTR from = at + kMonitorNameUnits;
  do {
    *to++ = *from;
  } while (*from++);
}

// "…file:…" becomes "…Orvalstone:…" in place, growing back into the room that parking the
// port left in the snapshot block.
void ReturnPort(LPWSTR at) {
  LPWSTR tail = at + kParkingPortUnits;
  const size_t tailUnits = size_t(lstrlenW(tail)) + 1;
  std::memmove(at + kMonitorNameUnits, tail, tailUnits * sizeof(WCHAR));
  std::memcpy(at, kPackageMonitorName, kMonitorNameUnits * sizeof(WCHAR));
}

// Hands the edited snapshot record to the spooler. False when that failed for a printer
// that is there (one deleted since the snapshot has no port to change).
bool UpdatePrinter(InstallContext& context, PRINTER_INFO_2W* record) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  unique_printer printer;
  if (!OpenPrinterW(record->pPrinterName, printer.put(), &defaults) || !printer) {
    const DWORD error = GetLastError();
    Log(context, W("Can't open printer %s"), record->pPrinterName);
    SetLastError(error);
    return error == ERROR_INVALID_PRINTER_NAME;
  }
  const bool set = SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(record), 0);
  const DWORD error = GetLastError();
  if (set) {
    Log(context, W("SetPrinter(%s) - ok"), record->pPrinterName);
  } else {
    Log(context, W("SetPrinter(%s) - failed"), record->pPrinterName);
  }
  SetLastError(error);
  return set;
}

// Moves every snapshot queue that uses the package's port to "file:" and remembers it in
// RedirectedPrinters, so that the spooler lets the monitor go.
void RedirectPrinters(InstallContext& context) {
  context.RedirectedPrinters.reset();
  const DWORD count = context.PrinterSnapshot.Count;
  if (count == 0) return;
  const SIZE_T bytes = (SIZE_T(count) + 1) * sizeof(PRINTER_INFO_2W*);
  context.RedirectedPrinters.reset(static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, bytes)));
  PRINTER_INFO_2W** redirected = context.RedirectedPrinters.get();
  if (!redirected) return;
  PRINTER_INFO_2W* records = PrinterRecords(context.PrinterSnapshot);
  // Each port is recorded before any is changed, so that a run cut short after this point
  // leaves a later one what it needs to put the printers back.
  unique_list<ParkedPrinter> parked;
  bool recorded = true;
  bool any = false;
  for (DWORD i = 0; i < count && recorded; ++i) {
    PRINTER_INFO_2W* record = &records[i];
    if (!FindText(record->pPortName, kPackageMonitorName)) continue;
    if (!any) recorded = ReadParkedPrinters(parked);
    any = true;
    recorded = recorded && AddParkedPrinter(parked, record->pPrinterName, record->pPortName);
  }
  if (any && recorded) recorded = WriteParkedPrinters(parked.get());
  if (!recorded) {
    LogRecordFailure(context, kParkedPrintersValue);
    return;
  }
  size_t next = 0;
  for (DWORD i = 0; i < count; ++i) {
    PRINTER_INFO_2W* record = &records[i];
    LPWSTR at = FindText(record->pPortName, kPackageMonitorName);
    if (!at) continue;
    redirected[next++] = record;
    ParkPort(at);
    // Still on the package's port, it keeps the monitor from being removed.
    if (!UpdatePrinter(context, record)) {
      LogError(context, ErrParkPrinter, record->pPrinterName);
    }
  }
}

void ReturnRedirectedPrinters(InstallContext& context) {
  PRINTER_INFO_2W** redirected = context.RedirectedPrinters.get();
  if (!redirected) return;
  for (; *redirected; ++redirected) {
    PRINTER_INFO_2W* record = *redirected;
    LPWSTR at = FindText(record->pPortName, kParkingPortName);
    if (!at) continue;
    ReturnPort(at);
    UpdatePrinter(context, record);
  }
}

// Puts one recorded printer back on its old port if it still stands where parking left it.
// True when nothing more is to be done for it.
bool ReturnParkedPrinter(InstallContext& context, const ParkedPrinter& parked,
                         std::optional<LogSection>& section) {
  auto header = [&] {
    if (!section) section.emplace(context, W(">ReturnPrinters"));
  };
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  unique_printer printer;
  if (!OpenPrinterW(parked.Name.get(), printer.put(), &defaults) || !printer) {
    // A printer deleted since has no port to give back.
    if (GetLastError() == ERROR_INVALID_PRINTER_NAME) return true;
    header();
    LogError(context, ErrReturnPort, parked.Name.get());
    return false;
  }
  bool done = false;
  unique_global<PRINTER_INFO_2W> info = GetPrinterInfo(printer.get());
  unique_global<WCHAR> parkedForm;
  if (info) {
    parkedForm.reset(GlobalText(parked.Port.get()));
    // Without its copy nothing can be compared: the entry stays for the next run.
    if (!parkedForm) {
      SetLastError(DWORD(E_OUTOFMEMORY));
      info.reset();
    }
  }
  LPWSTR at = parkedForm ? FindText(parkedForm.get(), kPackageMonitorName) : nullptr;
  if (at) ParkPort(at);
  // Port names compare as the spooler compares them: "file:" comes back "FILE:". A recorded
  // port without the package's names nothing of ours.
  if (info && (!at || !SameTextIgnoringCase(info->pPortName, parkedForm.get()))) {
    done = true;  // back already, or moved elsewhere since: not ours to change
  } else if (info) {
    info->pPortName = parked.Port.get();
    done = SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(info.get()), 0);
    header();
    if (done) Log(context, W("SetPrinter(%s) - ok"), parked.Name.get());
  }
  if (!done) {
    header();
    LogError(context, ErrReturnPort, parked.Name.get());
  }
  return done;
}

}  // namespace

MonitorOutcome KeepMonitorModule(InstallContext& context, MonitorOutcome monitor) {
  const bool kept = monitor == MonitorOutcome::Registered || monitor == MonitorOutcome::ModuleKept;
  if (!kept || Count(context.SystemDir) == 0) return monitor;
  const WideText path = JoinPath(Chars(context.SystemDir), context.MonitorFile);
  if (GetFileAttributesW(Chars(path)) != INVALID_FILE_ATTRIBUTES) return monitor;
  // A module to be registered goes back with the registration; a registered one's at once.
  if (monitor == MonitorOutcome::ModuleKept) return MonitorOutcome::Gone;
  CopyFile(context, Chars(context.SystemDir), context.MonitorFile, nullptr, 0, true);
  return monitor;
}

void ReturnParkedPrinters(InstallContext& context) {
  unique_list<ParkedPrinter> parked;
  if (!ReadParkedPrinters(parked)) {
    LogRecordFailure(context, kParkedPrintersValue);
    return;
  }
  bool changed = false;
  std::optional<LogSection> section;  // begun before the first line, if any
  unique_list<ParkedPrinter>* link = &parked;
  while (ParkedPrinter* entry = link->get()) {
    if (ReturnParkedPrinter(context, *entry, section)) {
      *link = std::move(entry->Next);
      changed = true;
    } else {
      link = &entry->Next;
    }
  }
  if (changed && !WriteParkedPrinters(parked.get())) {
    LogRecordFailure(context, kParkedPrintersValue);
  }
}

bool EnumerateMonitors(InstallContext& context, MonitorList& list) {
  list = MonitorList();
  list.Level = 2;
  DWORD count = 0;
  unique_global<BYTE> block;
  switch (QuerySized(
      [&](LPBYTE buffer, DWORD size, DWORD* needed) {
        return EnumMonitorsW(nullptr, 2, buffer, size, needed, &count);
      },
      block)) {
    case SizedQuery::Empty:
      Log(context, W("1. EnumMonitors returns true"));
      return true;
    case SizedQuery::SizeFailed:
      LogEnumerationFailure(context, W("2. EnumMonitors  failed with code: %s"), GetLastError());
      return false;
    case SizedQuery::NoMemory:
      Log(context, W("3. EnumMonitors - can't allocate memory for buffer"));
      SetLastError(DWORD(E_OUTOFMEMORY));
      return false;
    case SizedQuery::FillFailed:
      LogEnumerationFailure(context, W("3. EnumMonitors  failed with code: %s"), GetLastError());
      return false;
    case SizedQuery::Filled:
      break;
  }
  list.Buffer = std::move(block);
  list.Count = count;
  return true;
}

LONG FindPackageMonitor(const MonitorList& list) {
  for (DWORD i = 0; i < list.Count; ++i) {
    if (SameText(MonitorName(list, i), kPackageMonitorName)) return LONG(i);
  }
  return -1;
}

void LogMonitorList(InstallContext& context, const MonitorList& list) {
  Log(context, W("------- %d existing monitors ----------"), list.Count);
  for (DWORD i = 0; i < list.Count; ++i) {
    // Read by the list's own level: a level-1 record is one pointer wide.
    LPCWSTR name = MonitorName(list, i);
    Log(context, W("%d. %s"), i + 1, name ? name : W("***EMPTY***"));
  }
  Log(context, W("---------------------------------------"));
}

BOOL RemoveMonitor(LPCWSTR environment) {
  return DeleteMonitorW(nullptr, const_cast<LPWSTR>(environment),
                        const_cast<LPWSTR>(kPackageMonitorName));
}

DWORD GetModuleVersion(LPCWSTR path) {
  if (!path || !*path) return kNoModuleVersion;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return kNoModuleVersion;
  const unique_global<void> block(GlobalAlloc(GPTR, size));
  if (!block) return kNoModuleVersion;
  DWORD version = kNoModuleVersion;
  if (GetFileVersionInfoW(path, 0, size, block.get())) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.get(), W("\\"), reinterpret_cast<LPVOID*>(&info), &length) && info &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
      version = info->dwProductVersionLS & 0xFFFF;
    }
  }
  return version;
}

namespace {
// The installed monitors as a removal logs them, and the package's index among them (-1: none).
LONG LogMonitorsFound(InstallContext& context, const MonitorList& monitors) {
  if (monitors.Count != 0) {
    LogMonitorList(context, monitors);
  } else {
    // The setup's log readers know this line as it is spelled.
    Log(context, W("BTW, there is no port monitors on this system."));
  }
  const LONG index = FindPackageMonitor(monitors);
  if (index != -1) {
    Log(context, W("Port monitor is found. Index=%d"), index + 1);
  } else {
    Log(context, W("No Orvalstone port monitor was found."));
  }
  return index;
}

// The module lies in the system directory, under the name the spooler lists for the monitor
// (ours when it lists none). Only a bare name in a known system directory names our module
// (*namesFile); nothing else is read for its version or deleted.
WideText MonitorModulePath(InstallContext& context, const MonitorList& monitors, LONG index,
                           bool* namesFile) {
  LPCWSTR fileName = nullptr;
  if (index != -1) {
    Log(context, W("Trying to get monitor filename from MONITOR_INFO_2"));
    if (monitors.Level == 2) {
      fileName = reinterpret_cast<const MONITOR_INFO_2W*>(monitors.Buffer.get())[index].pDLLName;
    }
  } else {
    Log(context, W("Computing monitor filename"));
    fileName = context.MonitorFile;
  }
  *namesFile = IsBareFileName(fileName) && Count(context.SystemDir) != 0;
  WideText path = JoinPath(Chars(context.SystemDir), fileName);
  Log(context, W("Auto calculated monitor file name: %s"), Chars(path));
  return path;
}

// Whether the installed build is one to keep, where the run asks.
bool CompatibleBuildInstalled(InstallContext& context, LPCWSTR path, bool namesFile) {
  if (!context.CheckMonitorVersion) {
    Log(context, W("There is no check for monitor version"));
    return false;
  }
  const DWORD version = namesFile ? GetModuleVersion(path) : kNoModuleVersion;
  if (version >= kFirstCompatibleMonitor && version <= kLastCompatibleMonitor) {
    Log(context, W("Version (%d) is compatible, proceed without uninstall"), version);
    return true;
  }
  if (version == kNoModuleVersion) {
    Log(context, W("Version is unknown, proceed with reinstall"));
  } else {
    Log(context, W("Version (%d) is not supported, proceed with reinstall"), version);
  }
  return false;
}

// After a first refusal: again with the package's queues on "file:", then once more with the
// spooler restarted.
bool UnregisterAfterRefusal(InstallContext& context) {
  Log(context, W("Can't delete monitor from the first try"));
  RedirectPrinters(context);
  if (RemoveMonitor(context.Environment)) return true;
  RestartSpooler(context);
  return RemoveMonitor(context.Environment);
}
}  // namespace

MonitorOutcome DeleteMonitor(InstallContext& context, const MonitorList& monitors) {
  LogSection section(context, W(">DeleteMonitor"));
  const LONG index = LogMonitorsFound(context, monitors);
  const bool found = index != -1;
  bool namesFile = false;
  const WideText path = MonitorModulePath(context, monitors, index, &namesFile);
  if (CompatibleBuildInstalled(context, Chars(path), namesFile)) {
    // Registered, it is not installed again; a module alone is registered but not copied.
    Log(context, W("InstallMonitor == %d, CopyMonitor == %d"), found ? 0 : 1, found ? 1 : 0);
    return found ? MonitorOutcome::Registered : MonitorOutcome::ModuleKept;
  }
  if (!RemoveMonitor(context.Environment)) {
    if (!found) {
      Log(context, W("Can't delete monitor and monitor was not found. So everything should be ok"));
      // An earlier removal may have unregistered it and left its module: an uninstall takes
      // the module by its own name all the same (a reinstall copies over it).
      // Only a monitor known not to be registered: the spooler said so, or a list was taken.
      const bool unregistered =
          GetLastError() == ERROR_UNKNOWN_PRINT_MONITOR || bool(monitors.Buffer);
      if (!context.RestoreQueues && namesFile && unregistered) DeleteIfThere(context, Chars(path));
      return MonitorOutcome::Gone;
    }
    if (!UnregisterAfterRefusal(context)) {
      LogError(context, ErrDeleteMonitor);
      return MonitorOutcome::Stuck;
    }
  }
  if (namesFile) {
    DeleteOrListFile(context, Chars(path));
  } else {
    Log(context, W("Monitor file name is unknown, no file deleted"));
  }
  Log(context, W("Monitor was removed :)"));
  return MonitorOutcome::Gone;
}

bool AddMonitor(InstallContext& context) {
  LogSection section(context, W(">AddMonitor"));
  if (!context.CopyMonitor) {
    Log(context, W("Skip copy monitor file"));
  } else {
    Log(context, W("Copy monitor file"));
    LPCWSTR directory = Chars(context.SystemDir);
    if (CopyFile(context, directory, context.MonitorFile, nullptr, 0, false) != S_OK) {
      // Most likely the running spooler holds the old module: copy again with it stopped,
      // and let this copy report what goes wrong.
      SpoolerRestart restart(&context);
      CopyFile(context, directory, context.MonitorFile, nullptr, 0, true);
    }
  }

  MONITOR_INFO_2W info = {const_cast<LPWSTR>(kPackageMonitorName),
                          const_cast<LPWSTR>(context.Environment),
                          const_cast<LPWSTR>(context.MonitorFile)};
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) Sleep(kAddMonitorPauseMs);
    if (AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) break;
    const DWORD error = GetLastError();
    Log(context, W("AddMonitor - failed. Trying to wait and install again"));
    if (attempt == kAddMonitorAttempts) {
      SetLastError(error);
      LogError(context, ErrAddMonitor);
      return false;
    }
  }
  Log(context, W("AddMonitor - OK :)"));
  ReturnRedirectedPrinters(context);
  return true;
}
