// Every name the installer shares with the system and with the package's other parts, in one
// place: the package's files, its spooler objects, its registry places and the tray program's
// protocol. Spooler names are compared exactly; file and registry names as Windows does.
#pragma once
#include "platform/win32.h"

// The package's files, found beside the installer (the tray program one directory up).
inline constexpr WCHAR kMonitorModuleName[] = W("kvxmon64.dll");
inline constexpr WCHAR kDriverModuleName[] = W("kvxdrv64.dll");
inline constexpr WCHAR kUiModuleName[] = W("kvxui64.dll");
inline constexpr WCHAR kHelpFileName[] = W("kvxhelp.chm");
inline constexpr char kTrayProgramName[] = "orvtray.exe";
// The modules that are loaded by someone (the help file never is), so that a pending
// replacement of one of them matters.
inline constexpr LPCWSTR kPackageModules[] = {kMonitorModuleName, kDriverModuleName, kUiModuleName};

// Spooler objects. The monitor's name is also the port of the package's queues.
inline constexpr WCHAR kPackageMonitorName[] = W("Orvalstone:");
inline constexpr WCHAR kPackageDriverName[] = W("Orvalstone printer");
inline constexpr WCHAR kEnvironment[] = W("Windows x64");
inline constexpr WCHAR kPrintProcessor[] = W("WinPrint");
// The queue made when the package has none.
inline constexpr WCHAR kFallbackPrinterName[] = W("Orvalstone");
// What the package's port is swapped for while the monitor is replaced.
inline constexpr WCHAR kParkingPortName[] = W("file:");
inline constexpr WCHAR kDriverManufacturer[] = W("Vantrel Software Kft.");
inline constexpr WCHAR kDriverOemUrl[] = W("https://www.vantrel.example/orvalstone");
inline constexpr WCHAR kSpoolerServiceName[] = W("spooler");

// A queue's "SubKey" printer data, plain and under this key.
inline constexpr char kSubKeyValue[] = "SubKey";
inline constexpr char kDsUserKey[] = "DsUser";
// Per-user settings of the package's queues under HKEY_CURRENT_USER: a queue's own key is
// kQueueSettingsRoot\kQueueSettingsPrefix<SubKey>, whose value "deleted" a re-created queue
// loses.
inline constexpr char kQueueSettingsRoot[] = "Software\\Vantrel Software KFT\\Orvalstone";
inline constexpr char kQueueSettingsPrefix[] = "Orvalstones\\";
inline constexpr char kDeletedMarkValue[] = "deleted";
// The machine-wide record of what a reinstall must not lose, under HKEY_LOCAL_MACHINE.
inline constexpr WCHAR kRecordKeyPath[] = W("Software\\Vantrel Software KFT\\Orvalstone");
inline constexpr WCHAR kSavedQueuesValue[] = W("SavedQueues");
inline constexpr WCHAR kParkedPrintersValue[] = W("ParkedPrinters");
// Where a record that cannot be read is moved, for a person to look at: no run reads it again.
inline constexpr WCHAR kSavedQueuesAside[] = W("SavedQueues.unreadable");
inline constexpr WCHAR kParkedPrintersAside[] = W("ParkedPrinters.unreadable");
// The system's list of file operations for its next start, under HKEY_LOCAL_MACHINE.
inline constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr WCHAR kPendingRenamesValue[] = W("PendingFileRenameOperations");

// The tray program: started at logon through this machine-wide Run value, and asked to exit
// through its mutex, window and message.
inline constexpr char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr WCHAR kTrayRunValue[] = W("OrvalstoneTray");
inline constexpr char kTrayRunValueAnsi[] = "OrvalstoneTray";
inline constexpr char kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
inline constexpr WCHAR kTrayWindowClass[] = W("ovs::{05759F8E-103D-41B6-8A61-EFAA89516692}");
inline constexpr UINT kTrayExitMessage = WM_USER + 2;

// The help viewer window closed before files are replaced.
inline constexpr WCHAR kHelpViewerClass[] = W("HH Parent");
inline constexpr WCHAR kHelpViewerTitle[] = W("Orvalstone Help");
