// The package's own files, as the installer finds them beside itself (the tray program one
// directory up) and registers them. Their contents are none of the installer's business: it
// copies, registers, probes and deletes them, and never loads them.
#pragma once
#include "platform/win32.h"

// The port monitor module, copied into the system directory.
constexpr WCHAR kMonitorModuleName[] = W("kvxmon64.dll");
// The driver module (its own data file), its configuration module and its help file, staged
// in the printer-driver directory for the driver registration.
constexpr WCHAR kDriverModuleName[] = W("kvxdrv64.dll");
constexpr WCHAR kUiModuleName[] = W("kvxui64.dll");
constexpr WCHAR kHelpFileName[] = W("kvxhelp.chm");
// The tray program, in the parent directory of the installer's.
constexpr WCHAR kTrayProgramName[] = W("orvtray.exe");
