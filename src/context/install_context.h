// The record of one install or uninstall run: names, directories, switches, the log and the
// state that one step hands to a later one. Everything it holds is released at teardown.
#pragma once
#include "context/wide_text.h"
#include "platform/sized_query.h"

// The installer's build number, as the first log line and the dialog title show it.
constexpr int kBuildNumber = 2300;

// Lists the context holds for the layers that build them (files/, spooler/).
struct PendingDelete;
struct SavedPrinter;

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
  RecordBlock<PRINTER_INFO_2W> PrinterSnapshot;  // the printers as the run found them
  // Null-terminated array of snapshot records (global heap), or none.
  unique_global<PRINTER_INFO_2W*> RedirectedPrinters;

  // An empty record; BuildInstallContext does the construction work. Made and let go of in
  // procedures/, where the records of every layer are known.
  InstallContext();
  InstallContext(const InstallContext&) = delete;
  InstallContext& operator=(const InstallContext&) = delete;
  ~InstallContext();
};

// The package's names and the directories a run works in: the driver directory, the
// installer's and the system directory (each logged when it cannot be had).
void ObtainDirectories(InstallContext& context);
// ModuleDir alone, for a run that builds no more of its context (it logs where it goes).
void ObtainModuleDirectory(InstallContext& context);

// The program's module instance, stored by the entry function before anything else runs.
extern HINSTANCE ProcessInstance;
