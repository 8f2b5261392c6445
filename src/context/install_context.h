// The record of one install or uninstall run: names, directories, switches, the log and the
// state that one step hands to a later one. Everything it holds is released at teardown.
#pragma once
#include "context/wide_text.h"
#include "platform/unique.h"
#include "spooler/printer_snapshot.h"

// The installer's build number, as the first log line and the dialog title show it.
constexpr int kBuildNumber = 2300;

// A path whose deletion failed.
struct PendingDelete {
  unique_global<WCHAR> Path;
  unique_list<PendingDelete> Next;
};

// A package queue to re-create, with what it had: name, "SubKey" text, plain and under
// "DsUser" (none: it had none), comment, location and default mark; and, unless the entry
// comes from an earlier build that kept only those (Whole 0), everything else the user can
// set. Every text and block is a global-heap copy.
struct SavedPrinter {
  unique_global<WCHAR> Name;
  unique_global<CHAR> SubKey;
  unique_global<CHAR> DsUserSubKey;
  unique_global<WCHAR> Comment;
  unique_global<WCHAR> Location;
  BOOL Default = FALSE;
  BOOL Whole = FALSE;
  unique_global<WCHAR> ShareName;
  unique_global<WCHAR> SepFile;
  unique_global<WCHAR> PrintProcessor;
  unique_global<WCHAR> Datatype;
  unique_global<WCHAR> Parameters;
  DWORD Attributes = 0;
  DWORD Priority = 0;
  DWORD DefaultPriority = 0;
  DWORD StartTime = 0;
  DWORD UntilTime = 0;
  unique_global<BYTE> DevMode;  // public part and the driver's, as the driver build then wrote it
  DWORD DevModeBytes = 0;
  unique_global<BYTE> Security;  // self-relative
  DWORD SecurityBytes = 0;
  // Every printer-data value, each as the record keeps it ("V=..."), one after another.
  unique_global<WCHAR> Data;
  SIZE_T DataUnits = 0;
  unique_list<SavedPrinter> Next;
};

struct InstallContext {
  WideText ModuleDir;
  WideText SystemDir;
  WideText LogText;
  WideText DriverDir;
  LPCWSTR Environment = nullptr;
  LPCWSTR MonitorFile = nullptr;
  LPCWSTR DriverFile = nullptr;
  LPCWSTR HelpFile = nullptr;
  LPCWSTR UiFile = nullptr;
  BYTE CheckMonitorVersion = 0;
  BYTE InstallMonitor = 0;
  BYTE CopyMonitor = 0;
  // Set by ReInstall: deleted queues are saved, in the machine-wide record too, and come back.
  BYTE RestoreQueues = 0;
  // Whether the snapshot could be taken, and whether the default printer is known (none
  // counts as known); a queue that might be the default is not deleted while it is not.
  BYTE SnapshotTaken = 0;
  BYTE DefaultKnown = 0;
  DWORD DefaultError = 0;    // why the default printer is not known
  DWORD ModuleDirError = 0;  // why the installer's directory is not known
  // Why the removal of the tray program could not be finished (0: it was), for the start
  // that its leftovers may spoil.
  DWORD TrayRemovalError = 0;
  // Package queues that are still there after the removal (not deleted, or not deletable).
  DWORD KeptQueues = 0;
  // The machine-wide record of saved queues could not be read: it is neither written nor
  // taken for empty.
  BYTE RecordUnknown = 0;
  // The package's monitor is registered: kept, not removable, or added in this run.
  BYTE MonitorRegistered = 0;
  LONG ErrorCount = 0;
  LONG Indent = 0;
  unique_list<PendingDelete> PendingDeletes;
  unique_list<SavedPrinter> SavedPrinters;
  PrinterList PrinterSnapshot;
  // Null-terminated array of snapshot records (global heap), or none.
  unique_global<PRINTER_INFO_2W*> RedirectedPrinters;

  // An empty record; BuildInstallContext does the construction work.
  InstallContext() = default;
  InstallContext(const InstallContext&) = delete;
  InstallContext& operator=(const InstallContext&) = delete;
  ~InstallContext();
};

// First log line, spooler check, names and directories, printer snapshot. Never fails:
// problems are logged. The module path comes from the process instance.
void BuildInstallContext(InstallContext& context);
// ModuleDir alone, for a run that builds no more of its context (it logs where it goes).
void ObtainModuleDirectory(InstallContext& context);
// Releases everything the context owns; the record is empty afterwards.
void TearDownInstallContext(InstallContext& context);

// The program's module instance, stored by the entry function before anything else runs.
extern HINSTANCE ProcessInstance;
