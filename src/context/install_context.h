// The record of one install or uninstall run: names, directories, switches, the log and the
// state that one step hands to a later one. Everything it holds is released at teardown.
#pragma once
#include "context/wide_text.h"
#include "platform/win32.h"
#include "spooler/printer_snapshot.h"

// The installer's build number, as the first log line and the dialog title show it.
constexpr int kBuildNumber = 2300;

// A path whose deletion failed; Path is a global-heap copy owned by the entry.
struct PendingDelete {
  LPWSTR Path;
  PendingDelete* Next;
};

// A deleted package queue to re-create: its "SubKey" text (global heap, owned) and its
// record in the snapshot (not owned).
struct SavedPrinter {
  LPSTR SubKey;
  PRINTER_INFO_2W* Printer;
  SavedPrinter* Next;
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
  LONG ErrorCount = 0;
  LONG Indent = 0;
  PendingDelete* PendingDeletes = nullptr;
  SavedPrinter* SavedPrinters = nullptr;
  PrinterList PrinterSnapshot;
  // Null-terminated array of snapshot records (global heap), or null.
  PRINTER_INFO_2W** RedirectedPrinters = nullptr;

  // An empty record; BuildInstallContext does the construction work.
  InstallContext() = default;
  InstallContext(const InstallContext&) = delete;
  InstallContext& operator=(const InstallContext&) = delete;
  ~InstallContext();
};

// First log line, spooler check, names and directories, printer snapshot. Never fails:
// problems are logged. The module path comes from the process instance.
void BuildInstallContext(InstallContext& context);
// Releases everything the context owns; the record is empty afterwards.
void TearDownInstallContext(InstallContext& context);

// Frees a list of pending deletions or saved printers, node by node.
void ReleasePendingDeletes(PendingDelete*& head);
void ReleaseSavedPrinters(SavedPrinter*& head);

// The program's module instance, stored by the entry function before anything else runs.
extern HINSTANCE ProcessInstance;
