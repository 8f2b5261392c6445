// The program's entry: one command word in, one exit code out.
#pragma once
#include "app/log_file.h"
#include "app/deployment.h"
#include "platform/win32.h"

// Exit codes the outer setup reads.
enum ExitCode : int {
  ExitInstalled = 1,
  ExitUninstalled = 2,
  ExitChecksFalse = 3,
  ExitDefaultSet = 4,
  ExitNoCommand = 6,  // also an unknown word, and "removetray" done
  ExitErrorsLogged = 100,
  ExitRebootDeletes = 101,
  ExitDefaultPrinterOk = 102,
  ExitDriverCurrent = 103,
  ExitPendingModules = 200,
  // ERROR_INSTALL_ALREADY_RUNNING: another run held the machine past the wait; nothing was
  // done, and deployment tools try again on their own.
  ExitAlreadyRunning = 1618,
};

// Base-10 conversion with the runtime's rules: leading white space, optional sign, digits
// up to the first non-digit (none gives 0), clamped to the signed 32-bit range.
LONG DecimalToLong(LPCWSTR s);

// Asks every help viewer window of the package to close and waits until none is left, for
// a bounded time.
void CloseHelpWindows();

// Close the help viewer (an install only where the machine can take the package), build a
// context, run the procedure, hand leftover files to the system for deletion at
// restart, write the log file, show the log when needed and someone can see it, tear down.
// True when errors were logged.
bool RunInstall(HWND owner, const RunStart& start, DWORD& rebootDeleteCount);
bool RunUninstall(HWND owner, const RunStart& start, DWORD& rebootDeleteCount);
