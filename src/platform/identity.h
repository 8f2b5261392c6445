// Where the installer runs: the machine's own architecture, and whether someone is there to
// see what it starts.
#pragma once
#include "platform/win32.h"

// The machine's native architecture (IMAGE_FILE_MACHINE_*): from IsWow64Process2 where the
// system has it (an x64 program emulated on ARM64 learns the truth only there), otherwise
// from GetNativeSystemInfo.
USHORT NativeMachine();

// Whether the process token's user is the local system account (S-1-5-18), as deployment
// agents and services run programs. False when the token cannot be asked.
bool RunsAsLocalSystem();

// Whether the program's window station is one the user sees. Elsewhere (a service, a
// deployment agent running as the local system account) a modal dialog would wait for ever
// for someone who is not there. A station that cannot be asked counts as not seen.
bool WindowStationVisible();
// Known to be one no one sees; false when it cannot be asked (a program started there is
// harmless, one not started where a user waits for it is missed).
bool WindowStationHidden();
