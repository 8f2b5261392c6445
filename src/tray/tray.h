// The package's tray program: registered in the machine-wide Run key and started at the end
// of an installation; asked to exit, deleted and unregistered at the start of every removal.
// The installer and the tray program meet only through a named mutex, a window class and one
// window message. Nothing here writes to the log or counts an error.
#pragma once
#include "context/names.h"
#include "context/wide_text.h"

struct InstallContext;

// Exit requests and the waits that go with them.
constexpr int kTrayExitAttempts = 20;
constexpr DWORD kTrayMutexWaitMs = 5000;
constexpr DWORD kTrayWindowPauseMs = 250;
constexpr DWORD kRunValueUnreadablePauseMs = 1000;
// Deleting the tray program's file.
constexpr int kTrayDeleteAttempts = 10;
constexpr DWORD kTrayDeleteDeniedPauseMs = 100;
constexpr DWORD kTrayDeleteOtherPauseMs = 10;
// A started tray program that quits within this time did not start (its mutex was held).
constexpr DWORD kTrayStartCheckMs = 500;

// The tray program's path: "orvtray.exe" in the parent of the installer's directory (a
// trailing separator of moduleDir ignored); the bare name when there is no parent.
WideText TrayProgramPath(const WideText& moduleDir);

// On Windows NT 6.0 and later: writes the Run entry and starts the tray program, waiting
// only to see that it stays. Reads only ModuleDir. Logs an error and returns false when the
// Run entry could not be written or the program did not start.
bool InstallTray(InstallContext& context);

// What RemoveTray does with the tray program's file.
enum class TrayFile {
  Delete,  // the file the Run entry names, if it is the package's tray program
  Keep,    // never (a reinstall whose own tray program's path is not known)
};
// Asks a running tray program to exit, then deletes the program file that the Run entry
// names and the entry itself. Only a file named "orvtray.exe" is deleted, and not `keep`
// (letter case aside): a reinstall registers that very file again. False, with the last
// error set, when the program may still run or the entry is still there; a file that would
// not go is left in *leftFile (when given) for the caller to hand over.
bool RemoveTray(LPCWSTR keep = nullptr, TrayFile file = TrayFile::Delete,
                WideText* leftFile = nullptr);
