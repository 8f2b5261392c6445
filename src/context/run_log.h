// The run log: indented lines in the context's LogText, numbered error lines counted in
// ErrorCount, and the system's text for an error code.
#pragma once
#include "context/format.h"
#include "platform/win32.h"

struct InstallContext;

// Every error line of the installer carries one of these codes. The messages keep the
// spellings the setup program and the logs it keeps have always seen ("Can`t", "Cant't"):
// do not correct them.
enum LogErrorCode : DWORD {
  ErrOpenServiceManager = 1,  // "Can't open service manager."
  ErrOpenSpooler = 2,         // "Can't open the spooler"
  ErrStopSpooler = 3,         // "Can't stop the spooler"
  ErrStartSpooler = 4,        // "Can't start the spooler"
  ErrControlService = 5,      // "ControlService failed with code %d (0x%x)"
  ErrDriverDirectory = 6,     // "Can`t retrieve printer driver directory."
  ErrSystemDirectory = 7,     // "Can`t retrieve system directory."
  ErrCopyFileWrite = 8,       // "CopyFile(..,%s)"
  ErrOpenDestination = 9,     // "Cant't open destination file: %s"
  ErrOpenSource = 10,         // "Cant't open source file: %s"
  ErrAddMonitor = 11,         // "Can`t install a local port monitor'Orvalstone:'"
  ErrDeleteMonitor = 12,      // "Can`t remove the port monitor 'Orvalstone:'"
  ErrAddDriver = 13,          // "Can`t install a printer driver 'Orvalstone printer'"
  ErrDeleteDriver = 14,       // "Can`t remove the printer-driver 'Orvalstone printer'"
  ErrAddPrinter = 15,         // "Can`t add printer '%s'"
  ErrOpenPrinter = 16,        // "Can`t open printer '%s'"
  ErrDeletePrinter = 17,      // "Can`t delete printer '%s'"
  ErrSavePrinter = 18,        // "Can`t save the settings of printer '%s'"
  ErrRestorePrinter = 19,     // "Can`t restore the settings of printer '%s'"
  ErrQueueRecord = 20,        // "Can`t update the record of saved printers"
  ErrReturnPort = 21,         // "Can`t move printer '%s' back to its port"
  ErrListPrinters = 22,       // "Can`t list the printers"
  ErrListMonitors = 23,       // "Can`t list the port monitors"
  ErrListDrivers = 24,        // "Can`t list the printer drivers"
  ErrRegisterTray = 25,       // "Can`t register the tray program"
  ErrRemoveTray = 26,         // "Can`t remove the tray program"
  ErrModuleDirectory = 27,    // "Can`t retrieve the installer's directory."
  ErrDeleteFile = 28,         // "Can`t delete %s"
  ErrWithdrawDeletion = 29,   // "Can`t withdraw the pending deletion of %s"
  ErrParkPrinter = 30,        // "Can`t move printer '%s' to the port file:"
  ErrPackageFile = 31,        // "Can`t read the package file %s"
  ErrRecordType = 32,         // "Can`t read the record %s, kept aside as %s"
  ErrMachineType = 33,        // "Can`t install on a machine of type %s: the package is for x64"
  ErrProtectedPrint = 34,     // "Can`t install while Windows protected print mode is on: ..."
  ErrStartTray = 35,          // "Can`t start the tray program"
};

// Units of the buffer a Log or LogError line is formatted into, terminator included.
constexpr size_t kLogLineUnits = 1024;
// Indentation stops deepening here (two spaces a level).
constexpr LONG kMaxIndentLevels = 10;

// Appends indentation, the text (none: nothing) and CR LF.
void AppendLogLine(InstallContext& context, LPCWSTR text);

void LogArgs(InstallContext& context, LPCWSTR format, const FormatArg* args, size_t count);
void LogErrorArgs(InstallContext& context, DWORD code, LPCWSTR format, const FormatArg* args,
                  size_t count);

// One formatted line at the current depth.
template <class... Args>
void Log(InstallContext& context, LPCWSTR format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(nullptr)};
  LogArgs(context, format, list, sizeof...(Args));
}

// "Error(code): message", followed by the system's text for the thread's last error when
// that is not 0; adds one to ErrorCount. The last error is left as it was found.
template <class... Args>
void LogError(InstallContext& context, DWORD code, LPCWSTR format, const Args&... args) {
  const FormatArg list[sizeof...(Args) + 1] = {FormatArg(args)..., FormatArg(nullptr)};
  LogErrorArgs(context, code, format, list, sizeof...(Args));
}

// An operation's part of the log: its ">Header" line at the caller's depth, and its own lines
// `levels` deeper until it goes out of scope.
class LogSection {
 public:
  template <class... Args>
  LogSection(InstallContext& context, LPCWSTR header, const Args&... args)
      : LogSection(context, 1, header, args...) {}
  template <class... Args>
  LogSection(InstallContext& context, LONG levels, LPCWSTR header, const Args&... args)
      : context_(context), levels_(levels) {
    Log(context, header, args...);
    Deepen(context, levels_);
  }
  ~LogSection() { Deepen(context_, -levels_); }
  LogSection(const LogSection&) = delete;
  LogSection& operator=(const LogSection&) = delete;

 private:
  static void Deepen(InstallContext& context, LONG levels);
  InstallContext& context_;
  LONG levels_;
};

// The system's English message for the code without its trailing line breaks, or null.
// The caller owns it (unique_hlocal).
LPWSTR SystemErrorText(DWORD code);
