// Setting up and driving other processes of the simulated machine, for tests and orvsim:
// the tray program in each of its modes, a help viewer window, files locked by another
// process.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/machine.h"

namespace sim {

// The tray program's protocol with the installer.
inline constexpr char kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
inline constexpr char16_t kTrayWindowClass[] = u"ovs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
inline constexpr char16_t kTrayWindowTitle[] = u"Orvalstone tray";
inline constexpr UINT kTrayExitMessage = 1026;  // WM_USER + 2
inline constexpr char16_t kTrayImage[] = u"C:\\Program Files\\Orvalstone\\orvtray.exe";

// The package's help viewer window.
inline constexpr char16_t kHelpViewerClass[] = u"HH Parent";
inline constexpr char16_t kHelpViewerTitle[] = u"Orvalstone Help";
inline constexpr char16_t kHelpViewerImage[] = u"C:\\Windows\\hh.exe";

// Whether a tray mode is one the tray program knows.
bool IsTrayMode(std::string_view mode);

// Starts the program a command line names as the system starts a Run entry (normal
// priority, SW_SHOWDEFAULT). Returns its pid, or 0 when the line names no existing program.
uint32_t StartCommandLine(Machine& m, std::u16string_view commandLine);

// Starts a tray program as a logon would (the image file need not exist). Returns its pid,
// or 0 for an unknown mode. A second tray program finds the mutex owned and quits at once.
uint32_t StartTray(Machine& m, std::string_view mode = "normal", uint32_t exitDelayMs = 0,
                   std::u16string_view image = kTrayImage);

// Another run of the installer holding the named mutex `name` ("Global\\..." as given);
// after endAfterMs (none: until it is ended) it exits, releasing the mutex or, with `abandon`,
// killed while still owning it. Returns its pid, or 0 when another process owns the mutex.
uint32_t HoldMutex(Machine& m, std::string_view name, std::optional<uint64_t> endAfterMs,
                   bool abandon);

// Opens a help viewer window in a process of its own; `obeysClose` chooses whether it closes
// on SC_CLOSE. Returns the window's handle.
uint64_t OpenHelpViewer(Machine& m, bool obeysClose = true);

// Holds a file open in another process, with the access it has and the sharing it allows
// (a module lock refuses deletion but allows renames). Returns the holder's pid.
uint32_t LockFile(Machine& m, std::u16string_view path, DWORD access = 0x80000000, DWORD share = 0,
                  bool module = false);
// Lets go of every lock on the file, now or after `afterMs` of virtual time; a holder that
// holds nothing more ends. Returns whether the file was locked.
bool UnlockFile(Machine& m, std::u16string_view path, uint64_t afterMs = 0);

SimProcess* FindProcess(Machine& m, uint32_t pid);
// The most recently started running process of a kind ("tray", "helpviewer", "other").
SimProcess* FindRunning(Machine& m, std::string_view program);
SimMutex* FindMutex(Machine& m, std::string_view name);

// Ends a process as TerminateProcess would: its windows and file locks go, mutexes it owns
// are abandoned. Returns false when no such process runs.
bool EndProcess(Machine& m, uint32_t pid, DWORD exitCode = 1);

// What the system does when the running program exits: its mutex handles close and the
// mutexes it owns are abandoned. The program's handle table itself is in-process state.
void EndRunningProgram(Machine& m);

}  // namespace sim
